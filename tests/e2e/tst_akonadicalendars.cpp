// The real ruvelant command and agent on the calendars of a KDE Plasma desktop: an Akonadi server of
// a throw-away home on the test's private session bus, holding a local iCalendar calendar; msmtp
// and an SMTP server on 127.0.0.1 taking the reminders. The programs load the module of the
// Akonadi stores only where a server runs.
#include "agentruns.h"
#include "akonadicalendarstore.h"
#include "akonadiserver.h"

#include <QDBusConnection>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace {
const QString title = QStringLiteral("Plasma home");

// A run of bin/ruvelant with the loader's debug lines on: exit status, output, standard error.
struct Ran
{
    int status = -1;
    QString out;
    QString errors;
};

Ran ruvelant(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("ruvelant.akonadimodule.debug=true"));
    process.setProcessEnvironment(environment);
    process.start(buildPath(QStringLiteral("bin/ruvelant")), arguments);
    Ran ran;
    ran.status = finish(process, &ran.errors);
    ran.out = QString::fromUtf8(process.readAllStandardOutput());
    return ran;
}

// The notes of the Dentist on the searched day as the Akonadi server holds them now.
QString dentistNotes()
{
    const auto store = AkonadiCalendarStore::ofRunningServer(5000);
    if (!store)
        return QStringLiteral("(no server)");
    const QDateTime day(searchedDay().startOfDay());
    const QList<Event> events = store->eventsWithPredicate(
        CalendarStore::eventPredicateWithStartDate(day, day.addDays(1), store->calendars()));
    for (const Event &event : events) {
        if (event.title == QLatin1String("Dentist"))
            return event.notes;
    }
    return QStringLiteral("(no Dentist)");
}
} // namespace

class AkonadiCalendarsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<AkonadiServer> m_server;
    QByteArray m_bus;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        m_bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        // One home for the server, the command and the agent: the server's settings are there.
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris");
        writeAgentHome(*m_home);
        const QByteArray day = searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1();
        const QString folder = m_home->calendarsPath() + QStringLiteral("/home/");
        QByteArray events = readFile(folder + QStringLiteral("dentist.ics")).replace("@DAY@", day);
        const QByteArray alone = readFile(folder + QStringLiteral("alone.ics")).replace("@DAY@", day);
        events.insert(
            events.lastIndexOf("END:VCALENDAR"),
            alone.mid(alone.indexOf("BEGIN:VEVENT"), alone.indexOf("END:VCALENDAR") - alone.indexOf("BEGIN:VEVENT")));
        QDir(m_home->calendarsPath()).removeRecursively();
        m_home->writeFile(QStringLiteral("akonadi-files/home.ics"), events);
        storePreferences({{QStringLiteral("activeCalendars"), QStringList()}});
    }
    void cleanupTestCase()
    {
        m_server.reset();
        m_home.reset();
    }

    // Without a session bus, or on one where no Akonadi server runs, the module is not loaded (and
    // its libraries with it); once a server runs, it is.
    void loadedOnlyWhereAServerRuns_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<bool>("server");
        QTest::newRow("no session bus") << false << false;
        QTest::newRow("a bus without an Akonadi server") << true << false;
        QTest::newRow("an Akonadi server on the bus") << true << true;
    }
    void loadedOnlyWhereAServerRuns()
    {
        QFETCH(bool, bus);
        QFETCH(bool, server);
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", bus ? m_bus : QByteArray());
        if (server && !m_server) {
            m_server = std::make_unique<AkonadiServer>(m_home->path());
            QVERIFY(m_server->start());
        }
        const Ran listed = ruvelant({QStringLiteral("calendars")});
        QCOMPARE(listed.status, 0);
        const QString loaded
            = QStringLiteral("loaded ") + buildPath(QStringLiteral("lib/ruvelant/libruvelant-akonadi.so"));
        QCOMPARE(listed.errors.contains(loaded), server);
        QVERIFY2(server || listed.errors.contains(QStringLiteral("not loaded: ")), qPrintable(listed.errors));
    }

    // A calendar of the server is listed as the command lists every kind, ticked, and searched
    // by the agent's run: the reminders go out and the event is marked in Akonadi; a second run
    // sends nothing.
    void remindsFromAkonadi()
    {
        QVERIFY(m_server);
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus);
        QVERIFY(
            !m_server->addCalendarFile(m_home->filePath(QStringLiteral("akonadi-files/home.ics")), title).isEmpty());
        const Ran listed = ruvelant({QStringLiteral("calendars")});
        QCOMPARE(listed.status, 0);
        const QRegularExpressionMatch row
            = QRegularExpression(QStringLiteral("^(akonadi/\\S+)\takonadi\tdisabled\t") + title + QLatin1Char('$'),
                                 QRegularExpression::MultilineOption)
                  .match(listed.out);
        QVERIFY2(row.hasMatch(), qPrintable(listed.out + listed.errors));
        const QString uid = row.captured(1);
        QCOMPARE(ruvelant({QStringLiteral("calendars"), QStringLiteral("enable"), uid}).status, 0);
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), QStringList {uid});

        SmtpSink sink(*m_home);
        QVERIFY(sink.start());
        // The agent as installed: once its work is done (the event marked), its closing pause is
        // cut short as at logout.
        const auto agent = startProgram(AgentWithPause);
        QTRY_VERIFY_WITH_TIMEOUT(dentistNotes().endsWith(QStringLiteral("(*)")), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(deliveries(sink).size(), 2, 10000);
        ::kill(agent->processId(), SIGTERM);
        QString errors;
        QCOMPARE(finish(*agent, &errors), 0);
        QCOMPARE(dentistNotes(), QStringLiteral("Room 12 (*)"));
        QStringList recipients = deliveries(sink).keys();
        recipients.sort();
        QCOMPARE(recipients, (QStringList {QStringLiteral("ann@example.org"), QStringLiteral("juergen@example.de")}));
        const QStringList records = agentLog(*m_home);
        QCOMPARE(records.filter(QStringLiteral("<Error>")), QStringList());

        const Ran second = ruvelant({QStringLiteral("run"), QStringLiteral("--no-pause")});
        QVERIFY2(second.status == 0, qPrintable(second.out + second.errors));
        QCOMPARE(sink.rawMessages().size(), 2);
    }
};

QTEST_GUILESS_MAIN(AkonadiCalendarsTest)
#include "tst_akonadicalendars.moc"
