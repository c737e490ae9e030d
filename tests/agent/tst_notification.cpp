// The desktop notification of a run that could not hand reminders over: the agent's run without
// its pause, on a real session bus (dbus-run-session) where a notification service writes down
// what it is shown (helper_notificationserver).
#include "agentruns.h"
#include "datatable.h"

#include <QProcess>
#include <QTest>

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
        home.copyFixture(QStringLiteral("notifications/calendars"), QStringLiteral(".local/share/calendars"),
                         {{"@DAY@", searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1()}});
        storePreferences();
        home.writeProgram(QStringLiteral("mailbin/sendmail"), readFile(QFINDTESTDATA("../data/agentrun/sendmail")));
        home.writeFile(QStringLiteral("exits"),
                       exits == QLatin1String("-") ? QByteArray() : exits.toUtf8().replace(';', '\n') + '\n');
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("mailbin"))) + ":/usr/bin:/bin");
        // System Preferences as the notification's action starts it: it notes how.
        home.writeProgram(QStringLiteral("tools/SystemPreferences"), "#!/bin/sh\necho \"$*\" > \"$HOME/host\"\n");
        home.setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(home.filePath(QStringLiteral("tools"))));
        const QString pane = writeQuickPane(home, QStringLiteral("Ruvelant.prefPane"));

        const QString record = home.filePath(QStringLiteral("notifications"));
        QStringList arguments {QStringLiteral("--"),
                               buildPath(QStringLiteral("tests/helpers/helper_notificationserver")), record};
        if (session == QLatin1String("without bus"))
            arguments << QStringLiteral("--without-bus");
        if (session == QLatin1String("answered"))
            arguments << QStringLiteral("--answer") << QStringLiteral("sent");
        arguments << QStringLiteral("--") << pane + QStringLiteral("/Contents/Resources/RuvelantAgent");
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
};

QTEST_GUILESS_MAIN(NotificationTest)
#include "tst_notification.moc"
