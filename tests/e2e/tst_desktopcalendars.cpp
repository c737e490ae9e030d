// The real agent and ruvelant command on the calendars of a GNOME desktop: Evolution Data Server
// started by a private session bus in a throw-away home, its calendars made through libecal, beside
// vdir folders; msmtp and an SMTP server on 127.0.0.1 taking the reminders; Radicale as the server
// of a CalDAV calendar that EDS itself reads and writes.
#include "ComKestramoPreferenceQuorvelPref.h"
#include "agentruns.h"
#include "bundle.h"
#include "caldavserver.h"
#include "edsbus.h"
#include "edsfixture.h"

#include <libecal/libecal.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTest>

namespace {
const QString edsCalendar = QStringLiteral("ruvelant-desktop");
const QString edsUid = QStringLiteral("eds/") + edsCalendar;

// The events of tests/data/agent's calendar "home", on the day a run searches: one iCalendar text.
QByteArray homeEvents()
{
    QByteArray events;
    const QByteArray day = searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1();
    for (const char *name : {"dentist.ics", "alone.ics"}) {
        const QByteArray text
            = readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/agent/calendars/home/") + QLatin1String(name))
                  .replace("@DAY@", day);
        events
            += text.mid(text.indexOf("BEGIN:VEVENT"), text.indexOf("END:VEVENT") + 11 - text.indexOf("BEGIN:VEVENT"));
    }
    return "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//EN\n" + events + "END:VCALENDAR\n";
}

// The definition of a zone, as libical has it.
QByteArray zoneDefinition(const char *name)
{
    ICalComponent *zone = i_cal_timezone_get_component(i_cal_timezone_get_builtin_timezone(name));
    gchar *text = i_cal_component_as_ical_string(zone);
    const QByteArray definition(text);
    g_free(text);
    g_object_unref(zone);
    return definition;
}

// The same shapes as the vdir store's calendars hold, for EDS: a weekly meeting moved once (an
// override) and excluded once, an all-day event and one in New York's time, all with attendees.
QByteArray variedEvents()
{
    const QDate day = searchedDay();
    const auto date = [](const QDate &d) { return d.toString(QStringLiteral("yyyyMMdd")).toLatin1(); };
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + zoneDefinition("Europe/Paris")
        + zoneDefinition("America/New_York")
        + "BEGIN:VEVENT\r\nUID:weekly\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Weekly\r\n"
          "DTSTART;TZID=Europe/Paris:"
        + date(day.addDays(-14)) + "T090000\r\nDTEND;TZID=Europe/Paris:" + date(day.addDays(-14))
        + "T093000\r\nRRULE:FREQ=WEEKLY\r\nEXDATE;TZID=Europe/Paris:" + date(day.addDays(7))
        + "T090000\r\nATTENDEE;CN=Ann Lee:mailto:ann@example.org\r\n"
          "ATTENDEE;PARTSTAT=DECLINED:mailto:dora@example.org\r\nEND:VEVENT\r\n"
          "BEGIN:VEVENT\r\nUID:weekly\r\nSUMMARY:Weekly, later\r\nRECURRENCE-ID;TZID=Europe/Paris:"
        + date(day.addDays(-7)) + "T090000\r\nDTSTART;TZID=Europe/Paris:" + date(day)
        + "T160000\r\nDTEND;TZID=Europe/Paris:" + date(day)
        + "T163000\r\nATTENDEE:mailto:eve@example.org\r\nEND:VEVENT\r\n"
          "BEGIN:VEVENT\r\nUID:trip\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Trip\r\nDTSTART;VALUE=DATE:"
        + date(day) + "\r\nDTEND;VALUE=DATE:" + date(day.addDays(2))
        + "\r\nATTENDEE;CUTYPE=ROOM:mailto:van@example.org\r\nATTENDEE:mailto:fred@example.org\r\nEND:VEVENT\r\n"
          "BEGIN:VEVENT\r\nUID:newyork\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:Call\r\nDTSTART;TZID=America/New_York:"
        + date(day)
        + "T060000\r\nDURATION:PT1H\r\nATTENDEE:mailto:gil@example.org\r\nEND:VEVENT\r\n"
          "END:VCALENDAR\r\n";
}

// Who received which subject, sorted.
QStringList received(const SmtpSink &sink)
{
    QStringList out;
    for (const auto &message : sink.messages())
        out.append(QString::fromUtf8(message->to()->addresses().first()) + QStringLiteral(": ")
                   + message->subject()->asUnicodeString());
    out.sort();
    return out;
}

// The agent's run, to its end, with the session bus at address.
int runAgentOn(const QString &busAddress, ThrowAwayHome &home)
{
    home.setEnv("DBUS_SESSION_BUS_ADDRESS", busAddress.toUtf8());
    return runToEnd();
}
} // namespace

class DesktopCalendarsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_edsHome; // where EDS keeps its calendars
    std::unique_ptr<EdsBus> m_bus;
    std::unique_ptr<EdsFixture> m_eds;
    int m_made = 0;

    // A new EDS calendar holding the events; its identifier for the settings.
    QString calendarWith(const QByteArray &events)
    {
        const QString uid = edsCalendar + QString::number(++m_made);
        if (!m_eds->addLocalCalendar(uid, QStringLiteral("Desktop %1").arg(m_made)) || !m_eds->addEvents(uid, events))
            return QString();
        return QStringLiteral("eds/") + uid;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_edsHome = std::make_unique<ThrowAwayHome>("Europe/Paris");
        m_edsHome->setEnv("GSETTINGS_BACKEND", "keyfile");
        m_bus = std::make_unique<EdsBus>(m_edsHome->filePath(QStringLiteral("bus")));
        QVERIFY(m_bus->start());
        m_edsHome->setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        m_eds = std::make_unique<EdsFixture>();
        QVERIFY(m_eds->connect());
    }
    void cleanupTestCase()
    {
        m_eds.reset();
        m_bus.reset();
        m_edsHome.reset();
    }

    // The same events in a vdir folder and in an EDS calendar: the same reminders, the event
    // marked in EDS, and a second run sends nothing.
    void remindsAsTheVdirStoreDoes_data()
    {
        QTest::addColumn<QByteArray>("events");
        QTest::newRow("the agent's test events") << homeEvents();
        QTest::newRow("override, exception, all-day, New York") << variedEvents();
    }
    void remindsAsTheVdirStoreDoes()
    {
        QFETCH(QByteArray, events);
        QStringList fromFolder;
        {
            ThrowAwayHome home("Europe/Paris");
            writeAgentHome(home); // the address book
            QDir(home.calendarsPath()).removeRecursively();
            home.writeFile(QStringLiteral(".local/share/calendars/home/events.ics"), events);
            SmtpSink sink(home);
            QVERIFY(sink.start());
            QCOMPARE(runAgentOn(QString(), home), 0);
            fromFolder = received(sink);
        }
        QVERIFY(fromFolder.size() >= 2);

        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        QDir(home.calendarsPath()).removeRecursively();
        const QString uid = calendarWith(events);
        QVERIFY(!uid.isEmpty());
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {uid}}});
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink), fromFolder);
        // Each reminded occurrence is marked in EDS, in its own override or event.
        const QString source = uid.mid(4);
        for (const QString &event : {QStringLiteral("dentist"), QStringLiteral("weekly"), QStringLiteral("trip")}) {
            const QList<QByteArray> components = m_eds->components(source, event);
            if (!components.isEmpty())
                QVERIFY2(std::any_of(components.cbegin(), components.cend(),
                                     [](const QByteArray &c) { return c.contains("(*)"); }),
                         qPrintable(event));
        }
        QVERIFY(m_eds->components(source, QStringLiteral("alone")).value(0).indexOf("(*)") < 0);
        // A second run finds them marked.
        const int before = sink.rawMessages().size();
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(sink.rawMessages().size(), before);
        const QStringList errors = agentLog(home, "helper_agentrun").filter(QStringLiteral("<Error>"));
        QCOMPARE(errors.filter(QStringLiteral("eds")) + errors.filter(QStringLiteral("marked")), QStringList());
    }

    // In a fresh session where EDS holds a calendar, the pane lists it by its account with no set-up;
    // ticked, the agent's run reminds its attendees and marks the event in EDS. A calendar removed
    // from EDS while the pane is open leaves the list.
    void paneListsTheDesktopsCalendars()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        storePreferences({{QStringLiteral("activeCalendars"), QStringList()}});
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        const QString uid = calendarWith(homeEvents());
        const QString title = QStringLiteral("Desktop %1").arg(m_made);
        const QString leaving = calendarWith(homeEvents());
        QVERIFY(!uid.isEmpty() && !leaving.isEmpty());
        Bundle bundle(buildPath(QStringLiteral("Ruvelant.prefPane")));
        Bundle::setMainBundle(&bundle); // the pane's code is linked into this test
        auto pane = std::make_unique<ComKestramoPreferenceQuorvelPref>(bundle.bundlePath());
        QWidget *view = pane->loadMainView();
        QVERIFY(view);
        view->show();
        auto *calendars = view->findChild<QTableView *>(QStringLiteral("calendarsTable"));
        QAbstractItemModel *rows = calendars->model();
        const auto rowOf = [rows](const QString &name) {
            const QModelIndexList found = rows->match(rows->index(0, 1), Qt::DisplayRole, name, 1, Qt::MatchExactly);
            return found.isEmpty() ? -1 : found.first().row();
        };
        QTRY_VERIFY(rowOf(title) >= 0);
        QCOMPARE(rows->index(rowOf(title), 2).data().toString(), QStringLiteral("On This Computer"));
        QCOMPARE(rows->index(rowOf(QStringLiteral("Home")), 2).data().toString(), QStringLiteral("Calendar folders"));
        calendars->setFocus();
        calendars->setCurrentIndex(rows->index(rowOf(title), 0));
        QTest::keyClick(calendars->viewport(), Qt::Key_Space);
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), QStringList {uid});
        const QString leavingTitle = QStringLiteral("Desktop %1").arg(m_made);
        QVERIFY(rowOf(leavingTitle) >= 0);
        QVERIFY(m_eds->remove(leaving.mid(4)));
        QTRY_COMPARE(rowOf(leavingTitle), -1);
        pane.reset();
        Bundle::setMainBundle(nullptr);

        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
        const QList<QByteArray> dentist = m_eds->components(uid.mid(4), QStringLiteral("dentist"));
        QCOMPARE(dentist.size(), 1);
        QVERIFY2(dentist.first().contains("DESCRIPTION:Room 12 (*)"), dentist.first().constData());
    }

    // A calendar EDS may not write: reminded once, the journal keeps the next runs from sending again.
    void readOnlyCalendar()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        QDir(home.calendarsPath()).removeRecursively();
        const QString file = m_edsHome->filePath(QStringLiteral("readonly.ics"));
        m_edsHome->writeFile(QStringLiteral("readonly.ics"), homeEvents());
        QVERIFY(m_eds->addReadOnlyCalendar(QStringLiteral("ruvelant-readonly"), QStringLiteral("Subscribed"), file));
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {QStringLiteral("eds/ruvelant-readonly")}}});
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
        const QStringList records = agentLog(home, "helper_agentrun");
        QCOMPARE(records
                     .filter(QStringLiteral("'Dentist' cannot be marked, the calendar \"Subscribed\" is read-only; "
                                            "its reminders are not sent again"))
                     .size(),
                 2);
        QVERIFY(!readFile(file).contains("(*)"));
    }

    // A vdir folder and an EDS calendar holding the same event (the same server calendar reached
    // twice): its attendees are reminded once.
    void sameEventInBothStores()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        const QString uid = calendarWith(homeEvents());
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {QStringLiteral("home"), uid}}});
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
        QCOMPARE(deliveries(sink).value(QStringLiteral("ann@example.org")), 1);
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
    }

    // EDS's own CalDAV calendar on Radicale: the marker reaches the server.
    void calDavCalendarOfEds()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        QDir(home.calendarsPath()).removeRecursively();
        CalDavServer server(home.filePath(QStringLiteral("radicale")), {});
        QVERIFY(server.start());
        QVERIFY(server.makeCalendar(QStringLiteral("ann"), QStringLiteral("team"), QStringLiteral("Team")));
        QByteArray single = readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/agent/calendars/home/dentist.ics"))
                                .replace("@DAY@", searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1());
        QCOMPARE(server.request("PUT", QStringLiteral("ann/team/dentist.ics"), QString(), single), 201);
        QVERIFY(m_eds->addCalDavCalendar(QStringLiteral("ruvelant-caldav"), QStringLiteral("Team"),
                                         server.url() + QStringLiteral("ann/team/")));
        QVERIFY(m_eds->refresh(QStringLiteral("ruvelant-caldav"), QStringLiteral("dentist")));
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {QStringLiteral("eds/ruvelant-caldav")}}});
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
        QByteArray onServer;
        QCOMPARE(server.request("GET", QStringLiteral("ann/team/dentist.ics"), QString(), {}, &onServer), 200);
        QVERIFY2(onServer.contains("DESCRIPTION:Room 12 (*)"), onServer.constData());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        QCOMPARE(received(sink).size(), 2);
    }

    // EDS's CalDAV calendar whose server is gone (the network is up): the run skips it, says so, and
    // leaves the day open for a later run.
    void calDavServerGone()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        QDir(home.calendarsPath()).removeRecursively();
        auto server
            = std::make_unique<CalDavServer>(home.filePath(QStringLiteral("radicale")), QHash<QString, QString> {});
        QVERIFY(server->start());
        QVERIFY(server->makeCalendar(QStringLiteral("bob"), QStringLiteral("team"), QStringLiteral("Team")));
        const QString url = server->url();
        server.reset(); // stopped
        QVERIFY(m_eds->addCalDavCalendar(QStringLiteral("ruvelant-gone"), QStringLiteral("Gone"),
                                         url + QStringLiteral("bob/team/")));
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {QStringLiteral("eds/ruvelant-gone")}}});
        SmtpSink sink(home);
        QVERIFY(sink.start());
        QCOMPARE(runAgentOn(m_bus->address(), home), 0);
        const QStringList records = agentLog(home, "helper_agentrun");
        QVERIFY2(records.filter(QStringLiteral("Calendar \"Gone\" [eds/ruvelant-gone] could not be searched")).size()
                     == 1,
                 qPrintable(records.join(u'\n')));
        QVERIFY(readFile(home.filePath(QStringLiteral(".local/state/ruvelant/completed-day"))).trimmed()
                != QDate::currentDate().toString(Qt::ISODate).toLatin1());
    }

    // Without EDS (not on the session bus, or no session bus at all) or with an EDS that does not
    // answer, runs and the calendar list work on the vdir calendars as before, within EDS's bound,
    // and say why once in a verbose log. A ticked EDS calendar that cannot be reached keeps the day
    // open for a later run and stays ticked; one of an EDS that is not installed is gone.
    void withoutAnswerFromEds_data()
    {
        QTest::addColumn<int>("services");
        QTest::addColumn<QString>("why");
        QTest::addColumn<bool>("reachableLater");
        QTest::newRow("no EDS on the bus")
            << int(EdsBus::WithoutEds) << QStringLiteral("Evolution Data Server is not installed") << false;
        QTest::newRow("EDS does not answer")
            << int(EdsBus::StuckEds) << QStringLiteral("Evolution Data Server did not answer within 5 s") << true;
        QTest::newRow("no session bus") << -1 << QStringLiteral("there is no session bus") << true;
    }
    void withoutAnswerFromEds()
    {
        QFETCH(int, services);
        QFETCH(QString, why);
        QFETCH(bool, reachableLater);
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        storePreferences({{QStringLiteral("activeCalendars"), QStringList {QStringLiteral("home"), edsUid}}});
        std::unique_ptr<EdsBus> bus;
        if (services >= 0) {
            bus = std::make_unique<EdsBus>(home.filePath(QStringLiteral("bus")), EdsBus::Services(services));
            QVERIFY(bus->start());
        }
        SmtpSink sink(home);
        QVERIFY(sink.start());
        // The bus waits a minute for a service that does not start; the run does not.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runAgentOn(bus ? bus->address() : QString(), home), 0);
        QVERIFY2(timer.elapsed() < 40000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(received(sink).size(), 2);
        const QStringList records = agentLog(home, "helper_agentrun");
        QCOMPARE(
            records.filter(QStringLiteral("<Info>: Calendars of Evolution Data Server are left out: ") + why).size(),
            1);
        QCOMPARE(records.filter(QStringLiteral("<Error>")).filter(QStringLiteral("Evolution")), QStringList());
        QCOMPARE(records.filter(QStringLiteral("Calendar [%1] could not be searched").arg(edsUid)).size(),
                 reachableLater ? 1 : 0);
        const QByteArray completed
            = readFile(home.filePath(QStringLiteral(".local/state/ruvelant/completed-day"))).trimmed();
        // The run's own reminder day, 4 days ahead by default, is recorded only when every calendar
        // was searched.
        QCOMPARE(completed == "reminder-day " + QDate::currentDate().addDays(4).toString(Qt::ISODate).toLatin1(),
                 !reachableLater);
        // The calendar list: the folders as before. Ticking one stores the settings: an EDS
        // calendar out of reach stays ticked.
        const auto list = startProgram("bin/ruvelant", {QStringLiteral("calendars")});
        QCOMPARE(finish(*list, nullptr, 60000), 0);
        const QString out = QString::fromUtf8(list->readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("home\tvdir\tenabled\tHome")), qPrintable(out));
        const auto tick = startProgram("bin/ruvelant",
                                       {QStringLiteral("calendars"), QStringLiteral("enable"), QStringLiteral("work")});
        QCOMPARE(finish(*tick, nullptr, 60000), 0);
        const QStringList ticked = storedDomain().value(QStringLiteral("activeCalendars")).toStringList();
        QVERIFY(ticked.contains(QStringLiteral("work")));
        QCOMPARE(ticked.contains(edsUid), reachableLater);
    }

    // ruvelant calendars lists both kinds, and ticks an EDS calendar as the pane does.
    void calendarsCommand()
    {
        ThrowAwayHome home("Europe/Paris");
        writeAgentHome(home);
        home.setEnv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        const QString uid = calendarWith(homeEvents());
        const auto run = [](const QStringList &arguments, QString *out) {
            auto program = startProgram("bin/ruvelant", arguments);
            const int status = finish(*program, nullptr, 60000);
            *out = QString::fromUtf8(program->readAllStandardOutput());
            return status;
        };
        QString out;
        QCOMPARE(run({QStringLiteral("calendars")}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("home\tvdir\tenabled\tHome\n")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("%1\teds\tdisabled\tDesktop %2\n").arg(uid).arg(m_made)), qPrintable(out));
        QCOMPARE(run({QStringLiteral("calendars"), QStringLiteral("enable"), uid}, &out), 0);
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(),
                 (QStringList {QStringLiteral("home"), uid}));
        QCOMPARE(run({QStringLiteral("calendars"), QStringLiteral("--json")}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("\"kind\": \"eds\"")), qPrintable(out));
        QCOMPARE(run({QStringLiteral("calendars"), QStringLiteral("disable"), QStringLiteral("home")}, &out), 0);
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), QStringList {uid});
        QCOMPARE(run({QStringLiteral("calendars"), QStringLiteral("enable"), QStringLiteral("eds/nope")}, &out), 2);
    }
};

QTEST_MAIN(DesktopCalendarsTest)
#include "tst_desktopcalendars.moc"
