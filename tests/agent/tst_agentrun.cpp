// One run of the agent with an injected clock and pause, on a calendar store in memory.
#include "ComKestramoLogger.h"
#include "agentrun.h"
#include "completedday.h"
#include "datatable.h"
#include "launchagent.h"
#include "mailapplication.h"
#include "memorycalendarstore.h"
#include "reminderdecisions.h"
#include "sendagain.h"
#include "sendjournal.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {
const Attendee me {QStringLiteral("mailto:me@example.com"), QStringLiteral("Me"), {}, {}};

// An hour at 09:00 on the day that a run on 1 March 2010 searches with 4 days.
Event makeEvent(const QString &title, const QString &notes, const std::optional<QList<Attendee>> &attendees,
                const QString &calendar = QStringLiteral("home"))
{
    const QDateTime start(QDate(2010, 3, 5), QTime(9, 0), Qt::LocalTime);
    return Event {title, start, start.addSecs(3600), notes, attendees, calendar, {QString(), title, {}, {}, {}}};
}

// The run's log records as "<Level>: message", without time stamp, host and sender.
QStringList logMessages()
{
    QStringList messages = logRecords(ComKestramoLogger::logFileName());
    for (QString &message : messages) {
        message = message.section(QStringLiteral("] "), 1);
    }
    return messages;
}

// A home with the usual settings and address book (the "me" card has me@example.com), the
// calendars "home" and "work" in memory, and no mail system unless a test starts one.
class Fixture
{
public:
    explicit Fixture(const QByteArray &zone = "Europe/Paris") : home(zone)
    {
        store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("home"), QStringLiteral("Home")),
                              MemoryCalendarStore::calendar(QStringLiteral("work"), QStringLiteral("Work"))};
        home.copyFixture(QStringLiteral("agent/contacts"), QStringLiteral(".local/share/contacts"));
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("no-bin"))) + ":/usr/bin:/bin");
        MailApplication::setFallbackSendmailPaths({home.filePath(QStringLiteral("no-sendmail"))});
        storePreferences();
    }
    ~Fixture() { MailApplication::setFallbackSendmailPaths({}); }

    int run(const QDateTime &now = QDateTime(QDate(2010, 3, 1), QTime(14, 5), Qt::LocalTime))
    {
        AgentRunEnvironment environment;
        environment.now = [now] { return now; };
        environment.pause = [this](std::chrono::microseconds pause) { pauses.append(pause); };
        environment.store = onDisk ? nullptr : &store;
        environment.stopRequested = stopRequested;
        environment.sendTimeout = std::chrono::milliseconds(500);
        return runAgent(environment);
    }

    // A sendmail that answers each recipient with the exit status given for it in exits
    // ("address=status ..."), and notes the recipients it took (tests/data/agentrun/sendmail).
    void useSendmail(const QString &exits)
    {
        home.writeFile(QStringLiteral("exits"), exits.toUtf8().replace(' ', '\n') + '\n');
        home.writeProgram(QStringLiteral("bin/sendmail"), readFile(QFINDTESTDATA("../data/agentrun/sendmail")));
        home.setEnv("PATH", QFile::encodeName(home.filePath(QStringLiteral("bin"))) + ":/usr/bin:/bin");
    }
    // The recipients that the sendmail took since the last call.
    QStringList taken()
    {
        const QStringList result = QString::fromUtf8(readFile(home.filePath(QStringLiteral("taken"))))
                                       .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QFile::remove(home.filePath(QStringLiteral("taken")));
        return result;
    }

    // The notes that the run saved for the event of this title, or a null text.
    QString savedNotes(const QString &title) const
    {
        const auto saved = std::find_if(store.saves.cbegin(), store.saves.cend(),
                                        [&](const auto &save) { return save.first.title == title; });
        return saved == store.saves.cend() ? QString() : saved->first.notes;
    }

    ThrowAwayHome home;
    MemoryCalendarStore store;
    bool onDisk = false; // runs read and mark the vdir calendars of the home instead of store
    QList<std::chrono::microseconds> pauses;
    std::function<bool()> stopRequested = [] { return false; };
};

// Attendees named by their addresses, given space-separated or as a list.
QList<Attendee> attendees(const QStringList &addresses)
{
    QList<Attendee> list;
    for (const QString &address : addresses)
        list.append({QStringLiteral("mailto:") + address, address, {}, {}});
    return list;
}
QList<Attendee> attendees(const char *addresses)
{
    return attendees(QString::fromUtf8(addresses).split(QLatin1Char(' ')));
}
} // namespace

class AgentRunTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reminderWindow_data()
    {
        dataTable<QString, QString, QString>("agentrun/window.txt", {"days", "now", "searched"});
    }
    void reminderWindow()
    {
        QFETCH(QString, days);
        QFETCH(QString, now);
        QFETCH(QString, searched);
        Fixture fixture;
        storePreferences({{QStringLiteral("daysBeforeEventStart"), days}});
        QCOMPARE(fixture.run(QDateTime::fromString(now, Qt::ISODate)), 0);
        QCOMPARE(fixture.store.queries.size(), 1);
        const QDate day = QDate::fromString(searched, Qt::ISODate);
        QCOMPARE(fixture.store.queries.first().startDate, QDateTime(day, QTime(0, 0), Qt::LocalTime));
        QCOMPARE(fixture.store.queries.first().endDate, QDateTime(day, QTime(23, 59, 59), Qt::LocalTime));
        QCOMPARE(fixture.pauses, QList<std::chrono::microseconds> {std::chrono::microseconds(10000000)});
    }

    // With no calendar ticked the run still searches (no calendar) and logs its window.
    void verboseLogOfAnEmptySearch()
    {
        Fixture fixture;
        storePreferences({{QStringLiteral("activeCalendars"), QStringList()}});
        fixture.run();
        QCOMPARE(fixture.store.queries.size(), 1);
        QVERIFY(fixture.store.queries.first().calendars.isEmpty());
        const QStringList messages = logMessages();
        QVERIFY(messages.contains(QStringLiteral("<Info>: secondsDaysBefore=345600.000000\n"
                                                 "dayToBeAlerted=2010-03-05 14:05:00 +0100\n"
                                                 "startDate=2010-03-05 00:00:00 +0100\n"
                                                 "endDate=2010-03-05 23:59:59 +0100")));
        QVERIFY(messages.contains(QStringLiteral("<Info>: calendarsToBeScanned=(\n)")));
        QCOMPARE(messages.first(), QStringLiteral("<Info>: started -v.5"));
        QCOMPARE(messages.last(), QStringLiteral("<Info>: terminated"));
    }

    void marker_data() { dataTable<QString, QString>("agentrun/marker.txt", {"notes", "saved"}); }
    void marker()
    {
        QFETCH(QString, notes);
        QFETCH(QString, saved);
        Fixture fixture;
        fixture.useSendmail(QString());
        fixture.store.events = {makeEvent(QStringLiteral("Meeting"), notes, attendees("ann@example.org") << me)};
        fixture.run();
        QCOMPARE(fixture.savedNotes(QStringLiteral("Meeting")), saved);
        if (!saved.isNull()) {
            QCOMPARE(fixture.store.saves.first().second, CalendarStore::CalSpanThisEvent);
        }
        // A marked event is not reminded again; the user's own address is never reminded.
        QCOMPARE(fixture.taken(), saved.isNull() ? QStringList() : QStringList {QStringLiteral("ann@example.org")});
    }

    // Only events with an attendee list are marked, and only in the ticked calendars; a marker
    // that cannot be saved is logged.
    void attendeeListsAndFailedSave()
    {
        Fixture fixture;
        fixture.store.failSaves = true;
        fixture.store.events
            = {makeEvent(QStringLiteral("No list"), QString(), std::nullopt),
               makeEvent(QStringLiteral("Empty list"), QString(), QList<Attendee> {}),
               makeEvent(QStringLiteral("Other calendar"), QString(), QList<Attendee> {me}, QStringLiteral("work"))};
        fixture.run();
        QVERIFY(fixture.savedNotes(QStringLiteral("No list")).isNull());
        QCOMPARE(fixture.savedNotes(QStringLiteral("Empty list")), QStringLiteral("(*)"));
        QVERIFY(fixture.savedNotes(QStringLiteral("Other calendar")).isNull());
        const QStringList messages = logMessages();
        QVERIFY(messages.filter(QStringLiteral("No list")).size() == 1); // in foundEvents only
        QVERIFY(messages.contains(QStringLiteral("<Error>: Error while marking event as notified err:%1")
                                      .arg(int(CalendarStore::WriteFailed))));
    }

    void withoutMailSystemNothingIsLostOrMarked()
    {
        Fixture fixture;
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), QStringLiteral("Room 12"),
                         attendees("a@example.org b@example.org c@example.org")
                             << Attendee {QStringLiteral("tel:123"), QStringLiteral("Phone"), {}, {}})};
        fixture.run();
        const QStringList messages = logMessages();
        QCOMPARE(messages.filter(QStringLiteral("<Error>: Cannot create Scripting Bridge to Mail.app")).size(), 3);
        QVERIFY(messages.contains(QStringLiteral(
            "<Error>: Failed to notify 'Phone', its AddressBook contact does not have an email assigned")));
        QVERIFY(messages.contains(QStringLiteral("<Info>:  Meeting  ->a@example.org")));
        QVERIFY(messages.contains(QStringLiteral("<Info>: [attendee.address description]=mailto:b@example.org")));
        QVERIFY(fixture.store.saves.isEmpty());
        QCOMPARE(messages.filter(QStringLiteral("<Error>: No reminder of 'Meeting' reached the mail system")).size(),
                 1);
    }

    // A run started by a schedule whose installation was removed (the package removed) sends
    // nothing, takes its schedule away wherever it is, and says why; a run whose installation is
    // there, or that no such schedule started, is an ordinary run.
    void removedInstallation_data()
    {
        QTest::addColumn<QString>("installation"); // its programs' folder: "there", "emptied", "gone", or not named
        QTest::addColumn<QString>("scheduler");
        QTest::addColumn<bool>("removed");
        row("installation there, systemd", "there", "systemd", false);
        row("no installation named, cron", "-", "cron", false);
        row("folder gone (apt-get remove), systemd", "gone", "systemd", true);
        row("folder gone (apt-get remove), cron", "gone", "cron", true);
        row("programs removed from the folder, cron", "emptied", "cron", true);
    }
    void removedInstallation()
    {
        QFETCH(QString, installation);
        QFETCH(QString, scheduler);
        QFETCH(bool, removed);
        Fixture fixture;
        fixture.useSendmail(QString());
        fixture.store.events = {makeEvent(QStringLiteral("Meeting"), QString(), attendees("a@example.org"))};
        if (scheduler == QLatin1String("cron"))
            fixture.home.writeFile(QStringLiteral("no-user-manager"), {});
        // An installation of the platform programs in a prefix of its own, which loads the agent.
        const QString tools = fixture.home.filePath(QStringLiteral("prefix/lib/ruvelant/bin"));
        for (const char *program : {"launchctl", "defaults"})
            fixture.home.writeProgram("prefix/lib/ruvelant/bin/"_qs + QLatin1String(program),
                                      readFile(buildPath("bin/"_qs + QLatin1String(program))));
        fixture.home.setEnv("RUVELANT_TOOLS_DIR", QFile::encodeName(tools));
        fixture.home.writeFile("Library/LaunchAgents/com.kestramo.RuvelantAgent.plist"_qs,
                               LaunchAgent::propertyList(QStringLiteral("/opt/RuvelantAgent")).toUtf8());
        QFile::setPermissions(LaunchAgent::plistAgentFilePath(), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(QProcess::execute(tools + "/launchctl"_qs, {"load"_qs, "-w"_qs, LaunchAgent::plistAgentFilePath()}),
                 0);
        fixture.home.setEnv("RUVELANT_TOOLS_DIR", QByteArray());
        const QByteArray crontab = readFile(fixture.home.filePath("crontab"_qs));
        const QByteArray timers = readFile(fixture.home.filePath("timers"_qs));
        QCOMPARE(crontab.contains("RUVELANT_INSTALLATION='" + QFile::encodeName(tools)), scheduler == "cron"_qs);
        QCOMPARE(timers.contains("com.kestramo.RuvelantAgent.timer"), scheduler == "systemd"_qs);

        // The run, with the variable its schedule gives it.
        if (installation != QLatin1String("-"))
            fixture.home.setEnv("RUVELANT_INSTALLATION", QFile::encodeName(tools));
        if (installation == QLatin1String("gone"))
            QVERIFY(QDir(fixture.home.filePath("prefix"_qs)).removeRecursively());
        if (installation == QLatin1String("emptied"))
            QVERIFY(QFile::remove(tools + "/launchctl"_qs) && QFile::remove(tools + "/defaults"_qs));
        QCOMPARE(fixture.run(), 0);

        QCOMPARE(fixture.taken(), removed ? QStringList() : QStringList {"a@example.org"_qs});
        QCOMPARE(fixture.store.queries.isEmpty(), removed);
        const QStringList messages = logMessages();
        QCOMPARE(messages.filter("was removed ("_qs + tools + " no longer holds its programs)"_qs).size(),
                 removed ? 1 : 0);
        QVERIFY2(messages.filter("Cannot take the agent's schedule away"_qs).isEmpty(),
                 qPrintable(messages.join(QLatin1Char('\n'))));
        QCOMPARE(messages.last(), "<Info>: terminated"_qs);
        QCOMPARE(readFile(fixture.home.filePath("crontab"_qs)).contains("RuvelantAgent"),
                 !removed && scheduler == "cron"_qs);
        QCOMPARE(readFile(fixture.home.filePath("timers"_qs)).contains("RuvelantAgent"),
                 !removed && scheduler == "systemd"_qs);
        QCOMPARE(QFileInfo::exists(fixture.home.filePath(".config/systemd/user/com.kestramo.RuvelantAgent.service"_qs)),
                 !removed && scheduler == "systemd"_qs);
        QCOMPARE(QFileInfo::exists(LaunchAgent::plistAgentFilePath()), !removed);
    }

    // Only a recipient's address refused for good is not tried again: an event stays unmarked
    // while a hand-over failed in the mail system itself (none, "try again later", no answer in
    // time, offline, its configuration or login, any other status), and the next run sends only
    // those; a refusal for good is logged once and counts as handled.
    void handOverOutcomes_data()
    {
        dataTable<QString, bool, int, QStringList>("agentrun/handovers.txt", {"exits", "marked", "refusals", "again"});
    }
    void handOverOutcomes()
    {
        QFETCH(QString, exits);
        QFETCH(bool, marked);
        QFETCH(int, refusals);
        QFETCH(QStringList, again);
        Fixture fixture;
        fixture.useSendmail(exits);
        fixture.store.events
            = {makeEvent(QStringLiteral("Meeting"), QString(), attendees("a@example.org b@example.org"))};
        fixture.run();
        QCOMPARE(fixture.store.saves.size(), marked ? 1 : 0);
        if (!marked) {
            fixture.taken();
            fixture.useSendmail(QString());
            fixture.run();
            QCOMPARE(fixture.taken(), again);
            QCOMPARE(fixture.store.saves.size(), 1);
        }
        QCOMPARE(logMessages().filter(QStringLiteral("<Error>: Failed to hand over the reminder")).size(), refusals);
    }

    // One event file may send at most 500 reminders in a run, all occurrences and attendees
    // together; past it, none is sent and the refusal is logged once, not at every run.
    void reminderBound_data()
    {
        dataTable<int, int, bool>("agentrun/bound.txt", {"occurrences", "attendeesEach", "sent"});
    }
    void reminderBound()
    {
        QFETCH(int, occurrences);
        QFETCH(int, attendeesEach);
        QFETCH(bool, sent);
        Fixture fixture;
        QStringList addresses;
        for (int i = 0; i < attendeesEach; ++i)
            addresses.append(QStringLiteral("p%1@example.org").arg(i));
        for (int i = 0; i < occurrences; ++i) {
            Event event = makeEvent(QStringLiteral("Crowd"), QString(), attendees(addresses));
            event.startDate = event.startDate.addSecs(3600 * i);
            event.origin.filePath = fixture.home.filePath(QStringLiteral("crowd.ics"));
            fixture.store.events.append(event);
        }
        fixture.run(); // without a mail system: every reminder is tried, none taken
        fixture.run();
        const QStringList messages = logMessages();
        QCOMPARE(messages.filter(QStringLiteral("  ->p")).size(), sent ? 2 * attendeesEach : 0);
        QCOMPARE(messages
                     .filter(QStringLiteral("crowd.ics: %1 reminders in one run, more than the 500 allowed")
                                 .arg(occurrences * attendeesEach))
                     .size(),
                 sent ? 0 : 1);
    }

    // A save refused because the file changed is made again on the event as it is now; an event
    // that is gone, or that cannot be written, is logged once.
    void markingAfterOtherWrites_data()
    {
        QTest::addColumn<QList<int>>("errors"); // of the saves, in turn
        QTest::addColumn<QString>("notesNow"); // of the event after the first save; null: gone
        QTest::addColumn<QStringList>("saved"); // the notes of each save
        QTest::addColumn<QString>("logged");
        QTest::addColumn<QString>("versions"); // recorded as read before marking (v0 first, v1 now)
        const QList<int> changed {CalendarStore::ChangedOnDisk};
        const QString marker = QStringLiteral("(*)");
        row("changed, still there", changed, "Edited elsewhere",
            QStringList {marker, QStringLiteral("Edited elsewhere (*)")}, nullptr, "v0 v1");
        row("changed, marked meanwhile", changed, "Done (*)", QStringList {marker}, nullptr, "v0");
        row("changed and gone", changed, nullptr, QStringList {marker},
            "'Meeting' was changed by another program and is no longer in its calendar; it is not marked", "");
        row("read-only", QList<int> {CalendarStore::ReadOnly}, nullptr, QStringList {marker},
            "'Meeting' cannot be marked, saving failed in this store; its reminders are not sent again", "");
    }
    void markingAfterOtherWrites()
    {
        QFETCH(QList<int>, errors);
        QFETCH(QString, notesNow);
        QFETCH(QStringList, saved);
        QFETCH(QString, logged);
        QFETCH(QString, versions);
        Fixture fixture;
        fixture.store.events = {makeEvent(QStringLiteral("Meeting"), QString(), QList<Attendee> {me})};
        fixture.store.events.first().origin.version = "v0";
        fixture.store.saveErrors = errors;
        fixture.store.eventsNow = notesNow.isNull() ? QList<Event>() : fixture.store.events;
        if (!notesNow.isNull()) {
            fixture.store.eventsNow->first().notes = notesNow;
            fixture.store.eventsNow->first().origin.version = "v1";
        }
        fixture.run();
        // A sync tool that undoes the marker puts back one of the versions the run marked.
        SendJournal journal;
        QString error;
        QVERIFY(journal.read(QDateTime(QDate(2010, 3, 1), QTime(14, 5)), &error));
        const SendJournal::Occurrence meeting {QStringLiteral("home"), QStringLiteral("Meeting"),
                                               fixture.store.events.first().startDate};
        for (const QByteArray version : {"v0", "v1", "v2"})
            QCOMPARE(journal.isMarkerRemoved(meeting, version),
                     !versions.isEmpty() && !versions.contains(QLatin1String(version)));
        QStringList notes;
        for (const auto &save : std::as_const(fixture.store.saves))
            notes.append(save.first.notes);
        QCOMPARE(notes, saved);
        const QStringList errorLines = logMessages().filter(QStringLiteral("<Error>:"));
        QCOMPARE(errorLines, logged.isEmpty() ? QStringList() : QStringList {QStringLiteral("<Error>: ") + logged});
    }

    // Runs under a faked clock, on vdir calendars: a run also sends, late, the reminders of the
    // days missed since the last day a run completed, of events that have not begun, through the
    // same journal and marker; the first run, and a run with the setting off, its own day only; a
    // day whose reminder is left for a later try is searched again.
    void catchUp_data() { dataTable<bool, QStringList>("agentrun/catchup.txt", {"catchUp", "runs"}); }
    void catchUp()
    {
        QFETCH(bool, catchUp);
        QFETCH(QStringList, runs);
        Fixture fixture;
        fixture.onDisk = true;
        fixture.useSendmail(QString());
        storePreferences({{QStringLiteral("sendMissedReminders"), catchUp}});
        const QByteArray event = readFile(QFINDTESTDATA("../data/agentrun/catchup.ics"));
        const auto addEvent = [&](const char *name, const char *start, const char *end) {
            fixture.home.writeFile(
                QStringLiteral(".local/share/calendars/home/%1.ics").arg(QLatin1String(name)),
                QByteArray(event).replace("@NAME@", name).replace("@START@", start).replace("@END@", end));
        };
        addEvent("thursday", "20100304T100000", "20100304T110000");
        addEvent("friday", "20100305T100000", "20100305T110000");
        addEvent("saturday", "20100306T100000", "20100306T110000");
        addEvent("sunday", "20100307T100000", "20100307T110000");
        for (int i = 0; i < runs.size(); ++i) {
            if (i == 1)
                addEvent("started", "20100303T080000", "20100306T120000");
            const QString when = runs.at(i).section(QLatin1Char('='), 0, 0);
            QStringList expected = runs.at(i).section(QLatin1Char('='), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            QStringList failing;
            for (const QString &name : expected.filter(QRegularExpression(QStringLiteral("^!"))))
                failing.append(name.mid(1) + QStringLiteral("@example.org=75"));
            expected = expected.filter(QRegularExpression(QStringLiteral("^[^!]")));
            fixture.useSendmail(failing.join(QLatin1Char(' ')));
            const QDateTime now = when.contains(QLatin1Char('T'))
                ? QDateTime::fromString(when, Qt::ISODate)
                : QDateTime(QDate::fromString(when, Qt::ISODate), QTime(9, 0), Qt::LocalTime);
            const int logged = logMessages().size();
            fixture.run(now);
            const QStringList lines = logMessages().mid(logged);
            QStringList reminded;
            for (const QString &to : fixture.taken()) {
                const QRegularExpression late(QStringLiteral("late: the reminder of '.*' to %1 was due on (\\S+)$")
                                                  .arg(QRegularExpression::escape(to)));
                const QStringList lateLines = lines.filter(late);
                reminded.append(to.section(QLatin1Char('@'), 0, 0)
                                + (lateLines.isEmpty()
                                       ? QString()
                                       : QStringLiteral("(%1)").arg(late.match(lateLines.first()).captured(1))));
            }
            reminded.sort();
            QCOMPARE(reminded.join(QLatin1Char(' ')), expected.join(QLatin1Char(' ')));
        }
    }

    // One event (UID and start) kept in several calendars, as when one server calendar is reached
    // both through a vdir folder and through the desktop's store: its attendees are reminded once,
    // from the marked copy if there is one; copies in calendars that do not take part (a preview
    // sees them) are no copies.
    void sameOccurrenceInSeveralCalendars_data()
    {
        QTest::addColumn<QStringList>("events"); // calendar:uid[:start hour][:marked]
        QTest::addColumn<QStringList>("verdicts");
        row("the same event in two calendars", QStringList {"home:meeting"_qs, "eds/x:meeting"_qs},
            QStringList {"remind"_qs, "duplicateOccurrence"_qs});
        row("the copy in the second calendar is marked", QStringList {"home:meeting"_qs, "eds/x:meeting:9:marked"_qs},
            QStringList {"duplicateOccurrence"_qs, "alreadyMarked"_qs});
        row("another occurrence of the same event", QStringList {"home:meeting:9"_qs, "eds/x:meeting:10"_qs},
            QStringList {"remind"_qs, "remind"_qs});
        row("another event at the same time", QStringList {"home:meeting"_qs, "eds/x:other"_qs},
            QStringList {"remind"_qs, "remind"_qs});
        row("a copy in a calendar that takes no part", QStringList {"off:meeting"_qs, "home:meeting"_qs},
            QStringList {"calendarNotEnabled"_qs, "remind"_qs});
    }
    void sameOccurrenceInSeveralCalendars()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, verdicts);
        QList<Event> found;
        for (const QString &event : std::as_const(events)) {
            const QStringList parts = event.split(QLatin1Char(':'));
            Event made
                = makeEvent(parts.at(1), parts.value(3) == QLatin1String("marked") ? notifiedMarker() : QString(),
                            attendees("ann@example.org"), parts.at(0));
            made.origin.uid = parts.at(1);
            made.startDate.setTime(QTime(parts.value(2, QStringLiteral("9")).toInt(), 0));
            found.append(made);
        }
        DecisionSources sources;
        sources.isMine = [](const QString &) { return false; };
        sources.handedOver = [](const SendJournal::Occurrence &, const QByteArray &, const QString &) { return false; };
        sources.enabledCalendars = {QStringLiteral("home"), QStringLiteral("eds/x")};
        QStringList got;
        for (const EventDecision &decision : decideEvents(found, sources))
            got.append(QLatin1String(verdictName(decision.verdict)));
        QCOMPARE(got, verdicts);
    }

    // A calendar the run could not search (its server offline, its store not answering) leaves
    // the day open: a line in the log, the day not recorded, and the next run searches it again.
    void unsearchedCalendarLeavesTheDayOpen_data()
    {
        QTest::addColumn<QStringList>("enabled");
        QTest::addColumn<QString>("offline");
        QTest::addColumn<QString>("unreachable");
        QTest::addColumn<QString>("logged");
        const QStringList homeWork {QStringLiteral("home"), QStringLiteral("work")};
        row("every calendar searched", homeWork, "", "", "");
        row("a calendar offline", homeWork, "work", "",
            "Calendar \"Work\" [work] could not be searched: offline; the day is not counted as done");
        row("a calendar whose store does not answer", QStringList {QStringLiteral("home"), QStringLiteral("eds/x")}, "",
            "eds/x",
            "Calendar [eds/x] could not be searched: its calendar store does not answer; the day is not counted as "
            "done");
        row("a calendar that is gone", QStringList {QStringLiteral("home"), QStringLiteral("gone")}, "", "", "");
    }
    void unsearchedCalendarLeavesTheDayOpen()
    {
        QFETCH(QStringList, enabled);
        QFETCH(QString, offline);
        QFETCH(QString, unreachable);
        QFETCH(QString, logged);
        Fixture fixture;
        storePreferences({{QStringLiteral("activeCalendars"), enabled}});
        if (!offline.isEmpty())
            fixture.store.offline.insert(offline, QStringLiteral("offline"));
        if (!unreachable.isEmpty())
            fixture.store.unreachable.append(unreachable);
        fixture.run(QDateTime(QDate(2010, 3, 1), QTime(14, 5), Qt::LocalTime));
        const QStringList lines = logMessages().filter(QStringLiteral("could not be searched"));
        QCOMPARE(lines, logged.isEmpty() ? QStringList() : QStringList {QStringLiteral("<Info>: ") + logged});
        const QString record = QString::fromUtf8(
            readFile(fixture.home.filePath(QStringLiteral(".local/state/ruvelant/completed-day"))).trimmed());
        // The run's own reminder day (4 days ahead) when every calendar was searched, else the one before.
        QCOMPARE(record,
                 logged.isEmpty() ? QStringLiteral("reminder-day 2010-03-05")
                                  : QStringLiteral("reminder-day 2010-03-04"));
        // The next day, all calendars answer: a day left open is searched again.
        fixture.store.offline.clear();
        fixture.store.queries.clear();
        fixture.run(QDateTime(QDate(2010, 3, 2), QTime(14, 5), Qt::LocalTime));
        QCOMPARE(fixture.store.queries.size(), logged.isEmpty() ? 1 : 2);
    }

    // Whatever a change of summer time does to the exact interval of a run's window, the days
    // between the last completed day and a run's own are each searched, by one run, and only a
    // day that was searched is recorded; in zones of both hemispheres.
    void catchUpAcrossClockChanges_data()
    {
        dataTable<QString, QString, QStringList>("agentrun/clockchanges.txt", {"zone", "days", "runs"});
    }
    void catchUpAcrossClockChanges()
    {
        QFETCH(QString, zone);
        QFETCH(QString, days);
        QFETCH(QStringList, runs);
        Fixture fixture(zone.toUtf8());
        storePreferences({{QStringLiteral("daysBeforeEventStart"), days}});
        QSet<QDate> searched;
        for (const QString &run : std::as_const(runs)) {
            fixture.store.queries.clear();
            fixture.run(QDateTime::fromString(run.section(QLatin1Char('='), 0, 0), Qt::ISODate));
            QStringList queried;
            for (const EventPredicate &query : std::as_const(fixture.store.queries)) {
                queried.append(query.startDate.date().toString(Qt::ISODate));
                QCOMPARE(query.endDate, QDateTime(query.startDate.date(), QTime(23, 59, 59), Qt::LocalTime));
                searched.insert(query.startDate.date());
            }
            QCOMPARE(queried.join(QLatin1Char(' ')), run.section(QLatin1Char('='), 1));
            const std::optional<QDate> recorded = CompletedDay().read(days.toInt());
            QVERIFY(recorded && searched.contains(*recorded));
        }
    }

    // The record of the last completed day as this version writes it, as earlier versions wrote
    // it (the day of the run, whose reminder day lies the lead after it), and one that is not a
    // record: the days a run at 14:05 on 1 March 2010 searches with 4 days, and what it records.
    void completedDayRecords_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("searched");
        row("a reminder day", QByteArray("reminder-day 2010-03-03\n"), "2010-03-05 2010-03-04");
        row("the day of a run, by an earlier version", QByteArray("2010-02-27\n"), "2010-03-05 2010-03-04");
        row("the day before, by an earlier version", QByteArray("2010-02-28\n"), "2010-03-05");
        row("no record of this program", QByteArray("soon\n"), "2010-03-05");
    }
    void completedDayRecords()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, searched);
        Fixture fixture;
        fixture.home.writeFile(QStringLiteral(".local/state/ruvelant/completed-day"), record);
        fixture.run();
        QStringList queried;
        for (const EventPredicate &query : std::as_const(fixture.store.queries))
            queried.append(query.startDate.date().toString(Qt::ISODate));
        QCOMPARE(queried.join(QLatin1Char(' ')), searched);
        QCOMPARE(readFile(fixture.home.filePath(QStringLiteral(".local/state/ruvelant/completed-day"))),
                 QByteArray("reminder-day 2010-03-05\n"));
    }

    void unmarkedNotes_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("unmarked");
        row("the marker a run added", "Room 12 (*)", "Room 12");
        row("notes of the marker alone", "(*)", "");
        row("at the start, with the space after it", "(*) Room 12", "Room 12");
        row("in the middle of a word", "Room(*)12", "Room12");
        row("twice", "A (*) B (*)", "A B");
        row("a spaced marker is no marker", "( * )", "( * )");
        row("no notes", nullptr, nullptr);
    }
    void unmarkedNotes()
    {
        QFETCH(QString, notes);
        QFETCH(QString, unmarked);
        QCOMPARE(::unmarkedNotes(notes), unmarked);
        QCOMPARE(::unmarkedNotes(notes).isNull(), unmarked.isNull());
    }

    // On vdir calendars: a run sends and marks. When the marker goes, a calendar program's edit
    // (a new LAST-MODIFIED) is a new version, reminded again once, also when a reminder of it
    // waits for a retry; the file put back as it was before marking by a sync tool is marked again
    // without a mail; "Send Again" sends once more, also when the next run's window has passed the
    // event. (What makes a version is the calendar store's test.)
    void markerRemoved_data()
    {
        QTest::addColumn<QByteArray>("from"); // the text replaced in the file as it was before marking
        QTest::addColumn<QByteArray>("to"); // "again": Send Again instead
        QTest::addColumn<int>("day"); // in March 2010, of the runs after the first
        QTest::addColumn<QString>("exits"); // of sendmail in the second run
        QTest::addColumn<QStringList>("sent"); // by the second run
        QTest::addColumn<QStringList>("retried"); // by the third; the fourth sends nothing
        const QStringList ann {QStringLiteral("ann@example.org")}, none;
        row("calendar program: new LAST-MODIFIED", QByteArray("LAST-MODIFIED:20100201T100000Z"),
            QByteArray("LAST-MODIFIED:20100301T140000Z"), 1, "", ann, none);
        row("calendar program, a reminder to retry", QByteArray("ATTENDEE:mailto:ann@example.org"),
            QByteArray("ATTENDEE:mailto:ann@example.org\r\nATTENDEE:mailto:bob@example.org"), 1, "bob@example.org=75",
            ann, QStringList {QStringLiteral("bob@example.org")});
        row("sync tool: the file before marking", QByteArray(), QByteArray(), 1, "", none, none);
        row("Send Again, the window passed", QByteArray(), QByteArray("again"), 3, "", ann, none);
    }
    void markerRemoved()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(int, day);
        QFETCH(QString, exits);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, retried);
        Fixture fixture;
        fixture.onDisk = true;
        fixture.useSendmail(QString());
        const QByteArray before = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:board\r\n"
                                  "DTSTAMP:20100201T100000Z\r\nLAST-MODIFIED:20100201T100000Z\r\nSEQUENCE:0\r\n"
                                  "SUMMARY:Board\r\nDESCRIPTION:Room 12\r\nDTSTART:20100305T100000\r\n"
                                  "DTEND:20100305T110000\r\nATTENDEE:mailto:ann@example.org\r\nEND:VEVENT\r\n"
                                  "END:VCALENDAR\r\n";
        const QString file = QStringLiteral(".local/share/calendars/home/board.ics");
        fixture.home.writeFile(file, before);
        fixture.run();
        QCOMPARE(fixture.taken(), QStringList {QStringLiteral("ann@example.org")});
        QVERIFY(readFile(fixture.home.filePath(file)).contains("DESCRIPTION:Room 12 (*)"));

        const QDateTime later(QDate(2010, 3, day), QTime(15, 0), Qt::LocalTime);
        if (to == "again") {
            const SendAgain::Outcome outcome = SendAgain::request(
                *CalendarStore::defaultCalendarStore(),
                {QStringLiteral("home"), QStringLiteral("board"), QDateTime(QDate(2010, 3, 5), QTime(10, 0))}, later,
                std::chrono::milliseconds::zero());
            QCOMPARE(outcome.code, SendAgain::Outcome::Done);
            QVERIFY(!readFile(fixture.home.filePath(file)).contains("(*)"));
        } else {
            fixture.home.writeFile(file, from.isEmpty() ? before : QByteArray(before).replace(from, to));
        }
        fixture.useSendmail(exits);
        fixture.run(later);
        QCOMPARE(fixture.taken(), sent);
        fixture.useSendmail(QString());
        fixture.run(later.addSecs(1800));
        QCOMPARE(fixture.taken(), retried);
        QCOMPARE(readFile(fixture.home.filePath(file)).count("(*)"), 1);
        fixture.run(later.addSecs(3600));
        QCOMPARE(fixture.taken(), QStringList());
    }

    // Asked to stop, the run finishes the event in hand, marks it, and leaves the others; a later
    // run does not send again what an earlier one handed over for an occurrence still unmarked,
    // nor twice to an address listed twice, and the journal keeps it once the event is marked.
    void stopAndJournal()
    {
        Fixture fixture;
        fixture.useSendmail(QString());
        fixture.store.events
            = {makeEvent(QStringLiteral("First"), QString(), attendees("a@example.org")),
               makeEvent(QStringLiteral("Second"), QString(), attendees("b@example.org c@example.org b@example.org"))};
        int asked = 0;
        fixture.stopRequested = [&asked] { return ++asked > 1; };
        fixture.run();
        QCOMPARE(fixture.taken(), QStringList {QStringLiteral("a@example.org")});
        QCOMPARE(fixture.store.saves.size(), 1);
        QVERIFY(logMessages().contains(
            QStringLiteral("<Info>: asked to stop; the events not handled yet are left for the next run")));

        // An earlier run handed "Second" to b and then ended before marking it.
        SendJournal journal;
        QString error;
        QVERIFY(journal.open(QDateTime::currentDateTime(), &error));
        const SendJournal::Occurrence second {QStringLiteral("home"), QStringLiteral("Second"),
                                              fixture.store.events.at(1).startDate};
        QVERIFY(journal.record(second, QStringLiteral("b@example.org"), &error));
        fixture.stopRequested = [] { return false; };
        fixture.store.events.removeFirst();
        fixture.run();
        QCOMPARE(fixture.taken(), QStringList {QStringLiteral("c@example.org")});
        SendJournal after;
        QVERIFY(after.open(QDateTime::currentDateTime(), &error));
        QVERIFY(after.handedOver(second, QStringLiteral("b@example.org"))); // should the marker be undone
    }
};

QTEST_GUILESS_MAIN(AgentRunTest)
#include "tst_agentrun.moc"
