// The desktop notification of a run that could not hand reminders over: the agent's run without
// its pause, on a real session bus (dbus-run-session) where a notification service writes down
// what it is shown (helper_notificationserver).
#include "agentruns.h"
#include "datatable.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include <algorithm>

namespace {
// The home of a run that reminds a@, b@ and c@example.org, with sendmail answering each address
// with its status in exits ("a@example.org=75;..."; others: 0), and a System Preferences that
// notes how the notification's action starts it. Returns the path of the agent to start.
QString prepareRun(ThrowAwayHome &home, const QString &exits)
{
    home.copyFixture(QStringLiteral("notifications/calendars"), QStringLiteral(".local/share/calendars"),
                     {{"@DAY@", searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1()}});
    storePreferences();
    home.writeProgram(QStringLiteral("mailbin/sendmail"), readFile(QFINDTESTDATA("../data/agentrun/sendmail")));
    home.writeFile(QStringLiteral("exits"),
                   exits == QLatin1String("-") ? QByteArray() : exits.toUtf8().replace(';', '\n') + '\n');
    home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("mailbin"))) + ":/usr/bin:/bin");
    home.writeProgram(QStringLiteral("tools/SystemPreferences"), "#!/bin/sh\necho \"$*\" > \"$HOME/host\"\n");
    home.setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(home.filePath(QStringLiteral("tools"))));
    return writeQuickPane(home, QStringLiteral("Ruvelant.prefPane"))
        + QStringLiteral("/Contents/Resources/RuvelantAgent");
}

// A session bus that takes every connection and never answers, named by DBUS_SESSION_BUS_ADDRESS.
class SilentBus
{
public:
    explicit SilentBus(ThrowAwayHome &home)
    {
        const QString path = home.filePath(QStringLiteral("run/silent-bus"));
        QVERIFY(m_server.listen(path));
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(path));
        QObject::connect(&m_server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket *socket = m_server.nextPendingConnection())
                m_connections.append(socket);
        });
    }
    // How many programs connected, and how many of them are still connected.
    int connected() const { return m_connections.size(); }
    int open() const
    {
        return int(std::count_if(m_connections.cbegin(), m_connections.cend(), [](QLocalSocket *socket) {
            return socket->state() != QLocalSocket::UnconnectedState;
        }));
    }

private:
    QLocalServer m_server;
    QList<QLocalSocket *> m_connections; // owned by the server
};
} // namespace

class NotificationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void notification_data()
    {
        dataTable<QString, QString, QStringList>("notifications/cases.txt", {"exits", "session", "shown"});
    }
    void notification()
    {
        QFETCH(QString, exits);
        QFETCH(QString, session);
        QFETCH(QStringList, shown);
        ThrowAwayHome home;
        const QString agent = prepareRun(home, exits);

        const QString record = home.filePath(QStringLiteral("notifications"));
        QStringList arguments {QStringLiteral("--"),
                               buildPath(QStringLiteral("tests/helpers/helper_notificationserver")), record};
        if (session == QLatin1String("without bus"))
            arguments << QStringLiteral("--without-bus");
        if (session == QLatin1String("answered"))
            arguments << QStringLiteral("--answer") << QStringLiteral("sent");
        arguments << QStringLiteral("--") << agent;
        QProcess bus;
        bus.setProcessChannelMode(QProcess::ForwardedChannels);
        bus.start(QStringLiteral("dbus-run-session"), arguments);
        QCOMPARE(finish(bus, nullptr, 120000), 0); // the agent's own exit status

        QStringList seen;
        const QStringList lines = QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            seen << line.section(QLatin1Char('|'), 0, 0) << line.section(QLatin1Char('|'), 1, 1);
            QCOMPARE(line.section(QLatin1Char('|'), 2),
                     QStringLiteral("default,Show Sent Reminders,sent,Show Sent Reminders"));
        }
        QCOMPARE(seen, shown);
        if (session == QLatin1String("answered")) {
            QTRY_COMPARE(readFile(home.filePath(QStringLiteral("host"))),
                         "--pane " + QFile::encodeName(buildPath(QStringLiteral("Ruvelant.prefPane")))
                             + " --reveal com.kestramo.ruvelant --show sentTable\n");
        }
    }

    // A session bus that takes the connection and never answers: the notifier gives up once its
    // bound from its start has passed, and says why.
    void notifierGivesUpOnASilentBus()
    {
        ThrowAwayHome home;
        SilentBus bus(home);
        QProcess notifier;
        notifier.start(buildPath(QStringLiteral("Ruvelant.prefPane/Contents/Resources/RuvelantNotifier")),
                       {QStringLiteral("--bus-timeout"), QStringLiteral("2"), QStringLiteral("--title"),
                        QStringLiteral("Ruvelant could not send 1 reminder"), QStringLiteral("--text"),
                        QStringLiteral("The mail system refused it."), QStringLiteral("--action"),
                        QStringLiteral("Show Sent Reminders")});
        QTRY_COMPARE_WITH_TIMEOUT(notifier.state(), QProcess::NotRunning, 60000);
        QCOMPARE(notifier.exitStatus(), QProcess::NormalExit);
        QCOMPARE(notifier.exitCode(), 1);
        QVERIFY(bus.connected() > 0);
        const QByteArray said = notifier.readAllStandardError();
        QVERIFY2(said.contains("did not answer within 2 seconds; no notification is shown"), said.constData());
    }

    // The agent's run does not wait for its notifier on such a bus, and the notifier it started
    // does not stay behind: each failing run would leave one more.
    void agentLeavesNoNotifierBehind()
    {
        ThrowAwayHome home;
        const QString agent = prepareRun(home, QStringLiteral("a@example.org=75"));
        SilentBus bus(home);
        QProcess run;
        run.start(agent, {});
        QTRY_COMPARE_WITH_TIMEOUT(run.state(), QProcess::NotRunning, 60000);
        QCOMPARE(run.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(bus.connected() > 0, 30000); // the notifier it started
        QTRY_COMPARE_WITH_TIMEOUT(bus.open(), 0, 60000);
    }
};

QTEST_GUILESS_MAIN(NotificationTest)
#include "tst_notification.moc"
