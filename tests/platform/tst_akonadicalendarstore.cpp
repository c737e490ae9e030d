#include "akonadicalendarstore.h"
#include "akonadiserver.h"
#include "throwawayhome.h"
#include "vdircalendarstore.h"

#include <Akonadi/CollectionFetchJob>
#include <Akonadi/CollectionModifyJob>
#include <Akonadi/EntityDisplayAttribute>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <Akonadi/ItemModifyJob>
#include <KCalendarCore/Event>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include <csignal>

// The Akonadi calendar store against a real Akonadi server of a throw-away home (SQLite, on the
// test's private session bus), its calendars local iCalendar resources on the files of
// tests/data/akonadi; the same files in vdir folders show what the vdir store reads of them.

namespace {
QDateTime at(int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(2030, 6, day), QTime(hour, minute));
}

// An attendee's values, with the defaults that iCalendar gives an absent PARTSTAT or CUTYPE
// written out: KCalendarCore writes them, a file may leave them out.
QString describe(const Attendee &attendee)
{
    const QString status
        = attendee.participationStatus.isEmpty() ? QStringLiteral("NEEDS-ACTION") : attendee.participationStatus;
    const QString type = attendee.userType.isEmpty() ? QStringLiteral("INDIVIDUAL") : attendee.userType;
    return QStringList {attendee.address, attendee.commonName, status, type}.join(QLatin1Char(','));
}

// What a run takes from an occurrence, in one line.
QString describe(const Event &event)
{
    QStringList attendees;
    if (event.attendees) {
        for (const Attendee &attendee : *event.attendees)
            attendees.append(describe(attendee));
    }
    return QStringList {event.title,
                        event.startDate.toString(Qt::ISODate),
                        event.endDate.toString(Qt::ISODate),
                        event.notes.isNull() ? QStringLiteral("(no notes)") : event.notes,
                        event.origin.uid,
                        event.origin.recurrenceId.toUTC().toString(Qt::ISODate),
                        event.attendees ? attendees.join(QLatin1Char(';')) : QStringLiteral("(no attendees)")}
        .join(QLatin1Char('|'));
}

QStringList describe(QList<Event> events)
{
    std::sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        return std::tie(a.startDate, a.origin.uid) < std::tie(b.startDate, b.origin.uid);
    });
    QStringList lines;
    for (const Event &event : events)
        lines.append(describe(event));
    return lines;
}

// The collection of an Akonadi resource (a file resource has one).
Akonadi::Collection collectionOf(const QString &resource)
{
    auto *job = new Akonadi::CollectionFetchJob(Akonadi::Collection::root(), Akonadi::CollectionFetchJob::Recursive);
    if (job->exec()) {
        const Akonadi::Collection::List all = job->collections();
        for (const Akonadi::Collection &collection : all) {
            if (collection.resource() == resource)
                return collection;
        }
    }
    return Akonadi::Collection();
}

// The items of the collection of an Akonadi resource, as Akonadi holds them, by UID and
// recurrence identifier (in UTC).
QMap<QString, Akonadi::Item> storedItems(const QString &resource)
{
    QMap<QString, Akonadi::Item> found;
    auto *fetch = new Akonadi::ItemFetchJob(collectionOf(resource));
    fetch->fetchScope().fetchFullPayload();
    if (!fetch->exec())
        return found;
    const Akonadi::Item::List items = fetch->items();
    for (const Akonadi::Item &item : items) {
        const auto event = item.payload<KCalendarCore::Incidence::Ptr>();
        found.insert(event->uid() + QLatin1Char(' ') + event->recurrenceId().toUTC().toString(Qt::ISODate), item);
    }
    return found;
}

QMap<QString, KCalendarCore::Event::Ptr> storedEvents(const QString &resource)
{
    QMap<QString, KCalendarCore::Event::Ptr> events;
    const QMap<QString, Akonadi::Item> items = storedItems(resource);
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        events.insert(it.key(), it->payload<KCalendarCore::Incidence::Ptr>().dynamicCast<KCalendarCore::Event>());
    return events;
}

// The event with every property that saving notes may change made equal.
KCalendarCore::Event::Ptr withoutNotes(const KCalendarCore::Event::Ptr &event)
{
    KCalendarCore::Event::Ptr copy(event->clone());
    copy->setDescription(QString());
    copy->setLastModified(QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    return copy;
}

void stop(QProcess *process)
{
    if (process->state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process->processId()), SIGCONT);
    process->kill();
    process->waitForFinished();
}
} // namespace

class TestAkonadiCalendarStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<AkonadiServer> m_server;
    std::unique_ptr<AkonadiCalendarStore> m_store;
    std::unique_ptr<VdirCalendarStore> m_vdir;
    QString m_marks, m_readOnly; // resources
    QHash<QString, Calendar> m_calendars; // by title

    QList<Event> events(CalendarStore *store, const QString &title, const QDateTime &from, const QDateTime &to)
    {
        return store->eventsWithPredicate(
            CalendarStore::eventPredicateWithStartDate(from, to, {m_calendars.value(title)}));
    }
    QList<Event> events(const QString &title, const QDateTime &from, const QDateTime &to)
    {
        return events(m_store.get(), title, from, to);
    }

    // The occurrence of uid (of a repeating event: the one whose rule time is recurrenceId) in the
    // calendar titled title, as read now.
    Event occurrence(const QString &title, const QString &uid, const QDateTime &recurrenceId)
    {
        const QList<Event> found = events(title, at(1), at(30));
        for (const Event &event : found) {
            if (event.origin.uid == uid && event.origin.recurrenceId == recurrenceId)
                return event;
        }
        return Event();
    }

    // A session bus of the test's own, with no Akonadi server, where both ways of starting one (the
    // program on PATH, the bus starting the service) would leave the file "started" in root.
    std::unique_ptr<QProcess> startEmptyBus(const QString &root, QString *address)
    {
        const QByteArray starter = "#!/bin/sh\necho \"$0\" >> " + QFile::encodeName(root) + "/started\n";
        m_home->writeProgram(QDir(m_home->path()).relativeFilePath(root + "/bin/akonadi_control"_qs), starter);
        m_home->writeFile(QDir(m_home->path()).relativeFilePath(root + "/services/akonadi.service"_qs),
                          "[D-BUS Service]\nName=org.freedesktop.Akonadi.Control\nExec=" + QFile::encodeName(root)
                              + "/bin/akonadi_control\n");
        m_home->writeFile(QDir(m_home->path()).relativeFilePath(root + "/bus.conf"_qs),
                          "<busconfig><type>session</type><listen>unix:path=" + QFile::encodeName(root)
                              + "/bus</listen><auth>EXTERNAL</auth><servicedir>" + QFile::encodeName(root)
                              + "/services</servicedir><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                "<allow own=\"*\"/></policy></busconfig>\n");
        auto daemon = std::make_unique<QProcess>();
        daemon->start("dbus-daemon"_qs,
                      {"--nofork"_qs, "--print-address"_qs, "--config-file="_qs + root + "/bus.conf"_qs});
        if (!daemon->waitForReadyRead(10000))
            return nullptr;
        *address = QString::fromUtf8(daemon->readLine().trimmed());
        return daemon;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session, as ctest does");
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        m_home = std::make_unique<ThrowAwayHome>();
        m_home->setEnv("DBUS_SESSION_BUS_ADDRESS", bus); // the private bus, for the server
        m_home->copyFixture("akonadi/work"_qs, ".local/share/calendars/work"_qs);
        for (const char *copy : {"work", "marks"})
            m_home->copyFixture("akonadi/work"_qs, "akonadi-files/"_qs + QLatin1String(copy));
        m_home->copyFixture("akonadi/readonly"_qs, "akonadi-files/readonly"_qs);

        m_server = std::make_unique<AkonadiServer>(m_home->path());
        QVERIFY(m_server->start());
        QVERIFY(!m_server->addCalendarFile(m_home->filePath("akonadi-files/work/work.ics"_qs), "Work"_qs).isEmpty());
        m_marks = m_server->addCalendarFile(m_home->filePath("akonadi-files/marks/work.ics"_qs), "Marks"_qs);
        QVERIFY(!m_marks.isEmpty());
        m_readOnly = m_server->addCalendarFile(m_home->filePath("akonadi-files/readonly/readonly.ics"_qs),
                                               "Read only"_qs, true);
        QVERIFY(!m_readOnly.isEmpty());

        QString why;
        m_store = AkonadiCalendarStore::ofRunningServer(5000, &why);
        QVERIFY2(m_store, qPrintable(why));
        for (const Calendar &calendar : m_store->calendars())
            m_calendars.insert(calendar.title, calendar);
        m_vdir = std::make_unique<VdirCalendarStore>(m_home->calendarsPath());
    }

    void cleanupTestCase()
    {
        m_store.reset();
        if (m_server)
            QVERIFY(m_server->stop());
    }

    void calendars()
    {
        QCOMPARE(QSet<QString>(m_calendars.keyBegin(), m_calendars.keyEnd()),
                 (QSet<QString> {"Work"_qs, "Marks"_qs, "Read only"_qs}));
        for (const Calendar &calendar : std::as_const(m_calendars)) {
            // Never the name of a vdir folder (which holds no '/').
            QVERIFY2(calendar.uid.startsWith("akonadi/"_qs), qPrintable(calendar.uid));
            QCOMPARE(calendar.type, CalendarStore::CalCalendarTypeLocal);
            const auto found = m_store->calendarWithUID(calendar.uid);
            QVERIFY(found);
            QCOMPARE(found->title, calendar.title);
        }
        QVERIFY(!m_store->calendarWithUID("work"_qs));
        QVERIFY(!m_store->calendarWithUID(m_calendars.value("Work"_qs).uid + "x"_qs));
        // Another connection (another run) names the calendars alike.
        const auto again = AkonadiCalendarStore::ofRunningServer(5000);
        QVERIFY(again);
        QCOMPARE(again->calendars().size(), m_calendars.size());
        for (const Calendar &calendar : again->calendars())
            QCOMPARE(calendar.uid, m_calendars.value(calendar.title).uid);
    }

    void absentServer_data()
    {
        QTest::addColumn<QString>("bus");
        QTest::addColumn<QStringList>("names"); // held on the bus by a program
        QTest::addColumn<bool>("silent"); // that answers nothing
        QTest::addColumn<QString>("expected");
        QTest::newRow("no session bus") << "none"_qs << QStringList() << false << "none"_qs;
        QTest::newRow("a session bus address where no bus listens") << "dead"_qs << QStringList() << false << "none"_qs;
        QTest::newRow("a session bus without Akonadi") << "empty"_qs << QStringList() << false << "none"_qs;
        QTest::newRow("a server that holds its names and answers nothing")
            << "empty"_qs << QStringList {"org.freedesktop.Akonadi.Control"_qs, "org.freedesktop.Akonadi"_qs} << true
            << "none"_qs;
        QTest::newRow("a server that is still starting")
            << "empty"_qs << QStringList {"org.freedesktop.Akonadi.Control.lock"_qs} << false << "none"_qs;
        QTest::newRow("the running server") << "test"_qs << QStringList() << false << "store"_qs;
    }

    // Without a running server the store is not made, within its bound, and no server is started.
    void absentServer()
    {
        QFETCH(QString, bus);
        QFETCH(QStringList, names);
        QFETCH(bool, silent);
        QFETCH(QString, expected);
        const QString root = m_home->filePath(
            "absent/"_qs + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
        QString address;
        const auto daemon = startEmptyBus(root, &address);
        QVERIFY(daemon);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH"_qs, root + "/bin:"_qs + environment.value("PATH"_qs));
        if (bus == "none"_qs)
            environment.remove("DBUS_SESSION_BUS_ADDRESS"_qs);
        else if (bus == "dead"_qs)
            environment.insert("DBUS_SESSION_BUS_ADDRESS"_qs, "unix:path="_qs + root + "/no-bus"_qs);
        else if (bus == "empty"_qs)
            environment.insert("DBUS_SESSION_BUS_ADDRESS"_qs, address);
        QProcess holder;
        if (!names.isEmpty()) {
            holder.setProcessEnvironment(environment);
            holder.start(buildPath("tests/helpers/helper_busname"_qs), names);
            QVERIFY(holder.waitForReadyRead(10000));
            QCOMPARE(holder.readLine(), QByteArray("ready\n"));
            if (silent)
                ::kill(pid_t(holder.processId()), SIGSTOP);
        }
        constexpr int bound = 2000;
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(buildPath("tests/helpers/helper_akonadiconnect"_qs), {QString::number(bound)});
        QVERIFY(probe.waitForFinished(30000));
        stop(&holder);
        stop(daemon.get());
        const QStringList answer = QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char(' '));
        QCOMPARE(answer.value(0), expected);
        // The bound holds (with a second for the look at an Akonadi item that a store makes).
        QVERIFY2(answer.value(1).toInt() <= bound + 1000, qPrintable(answer.join(QLatin1Char(' '))));
        QVERIFY2(!QFileInfo::exists(root + "/started"_qs), "an Akonadi server was started");
    }

    void occurrencesAsVdir_data()
    {
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("to");
        QTest::addColumn<int>("expected");
        QTest::newRow("a quarter of an hour inside the single event") << at(10, 11, 30) << at(10, 11, 45) << 1;
        QTest::newRow("a range that ends as the single event starts") << at(10, 10) << at(10, 11) << 1;
        QTest::newRow("a range that starts as the single event ends") << at(10, 12) << at(10, 13) << 0;
        QTest::newRow("the week of the moved occurrence and a later one") << at(16) << at(23) << 2;
        QTest::newRow("the second day of the all-day event") << at(13) << at(13, 23, 59) << 1;
        QTest::newRow("the local day of the call from New York") << at(12) << at(12, 23, 59) << 2;
        QTest::newRow("a day with a cancelled event") << at(11) << at(11, 23, 59) << 2;
        QTest::newRow("the whole month") << at(1) << at(30, 23, 59) << 16;
        QTest::newRow("a month with nothing")
            << QDateTime(QDate(2031, 1, 1), QTime(0, 0)) << QDateTime(QDate(2031, 2, 1), QTime(0, 0)) << 0;
    }

    // The occurrences, times, notes and attendees are those that the vdir store reads from the
    // same file.
    void occurrencesAsVdir()
    {
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, to);
        QFETCH(int, expected);
        const QList<Event> akonadi = events("Work"_qs, from, to);
        const QList<Event> vdir = m_vdir->eventsWithPredicate(
            CalendarStore::eventPredicateWithStartDate(from, to, {*m_vdir->calendarWithUID("work"_qs)}));
        QCOMPARE(describe(akonadi), describe(vdir));
        QCOMPARE(akonadi.size(), expected);
        for (const Event &event : akonadi)
            QCOMPARE(event.calendarUid, m_calendars.value("Work"_qs).uid);
    }

    void markOccurrence_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QDateTime>("recurrenceId");
        QTest::newRow("a single event") << "planning-1@example.org"_qs << QDateTime();
        QTest::newRow("an occurrence of a repeating event in another zone")
            << "weekly-1@example.org"_qs << QDateTime(QDate(2030, 6, 10), QTime(8, 0), Qt::UTC);
        QTest::newRow("a moved occurrence")
            << "weekly-1@example.org"_qs << QDateTime(QDate(2030, 6, 17), QTime(8, 0), Qt::UTC);
        QTest::newRow("an all-day event") << "holiday-1@example.org"_qs << QDateTime();
        QTest::newRow("an occurrence of a repeating all-day event")
            << "standup-1@example.org"_qs << QDateTime(QDate(2030, 6, 4), QTime(0, 0));
    }

    // Marking one occurrence changes its notes and nothing else: not its times, not the other
    // occurrences, not any other property of what Akonadi holds.
    void markOccurrence()
    {
        QFETCH(QString, uid);
        QFETCH(QDateTime, recurrenceId);
        const QList<Event> before = events("Marks"_qs, at(1), at(30));
        const auto storedBefore = storedEvents(m_marks);
        Event target = occurrence("Marks"_qs, uid, recurrenceId);
        QVERIFY2(!target.title.isEmpty(), "the occurrence is read");
        QVERIFY(!m_store->isReadOnly(target));
        const QString marked = target.notes + "\nReminded."_qs;
        target.notes = marked;
        CalendarStore::Error error;
        QVERIFY2(m_store->saveEvent(target, CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));

        // Read again: the same occurrences, the one marked with its new notes.
        QList<Event> expected = before;
        for (Event &event : expected) {
            if (event.origin.uid == uid && event.origin.recurrenceId == recurrenceId)
                event.notes = marked;
        }
        QCOMPARE(describe(events("Marks"_qs, at(1), at(30))), describe(expected));
        const auto current = m_store->currentEvent(target);
        QVERIFY(current);
        QCOMPARE(describe(*current), describe(target));
        // Akonadi's items: the one marked keeps every property but its notes; a new override is
        // the occurrence as it was, with the notes; the others are untouched.
        const auto storedAfter = storedEvents(m_marks);
        const QString key = uid + QLatin1Char(' ') + recurrenceId.toUTC().toString(Qt::ISODate);
        QCOMPARE(storedAfter.value(key)->description(), marked);
        if (storedBefore.contains(key)) {
            QCOMPARE(storedAfter.size(), storedBefore.size());
            QVERIFY(*withoutNotes(storedAfter.value(key)) == *withoutNotes(storedBefore.value(key)));
        } else {
            QCOMPARE(storedAfter.size(), storedBefore.size() + 1);
            const auto master = storedBefore.value(uid + QLatin1Char(' '));
            const auto made = storedAfter.value(key);
            QCOMPARE(made->summary(), master->summary());
            QCOMPARE(made->location(), master->location());
            QCOMPARE(made->categories(), master->categories());
            QCOMPARE(made->attendees(), master->attendees());
            QCOMPARE(made->organizer(), master->organizer());
            QCOMPARE(made->allDay(), master->allDay());
            QCOMPARE(made->recurs(), false);
        }
        for (auto it = storedBefore.cbegin(); it != storedBefore.cend(); ++it) {
            if (it.key() != key)
                QVERIFY2(*storedAfter.value(it.key()) == *it.value(), qPrintable(it.key()));
        }
    }

    // Two occurrences of one series, read together, are marked one after the other: the first
    // save (a new override) does not make the second look changed.
    void markTwoOccurrencesOfOneReading()
    {
        const QDateTime first(QDate(2030, 6, 24), QTime(8, 0), Qt::UTC),
            second(QDate(2030, 7, 1), QTime(8, 0), Qt::UTC);
        QList<Event> read = events("Marks"_qs, at(24), at(30).addDays(2));
        QList<Event> targets;
        for (const Event &event : read) {
            if (event.origin.uid == "weekly-1@example.org"_qs
                && (event.origin.recurrenceId == first || event.origin.recurrenceId == second))
                targets.append(event);
        }
        QCOMPARE(targets.size(), 2);
        for (Event &target : targets) {
            target.notes = "Reminded."_qs;
            CalendarStore::Error error;
            QVERIFY2(m_store->saveEvent(target, CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));
        }
        for (const Event &target : std::as_const(targets))
            QCOMPARE(m_store->currentEvent(target)->notes, "Reminded."_qs);
        // What this store wrote since the reading is no change made by another program.
        targets[0].notes = "Reminded twice."_qs;
        CalendarStore::Error error;
        QVERIFY2(m_store->saveEvent(targets[0], CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));
        QCOMPARE(m_store->currentEvent(targets[0])->notes, "Reminded twice."_qs);
    }

    void saveFailures_data()
    {
        QTest::addColumn<QString>("calendar");
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QDateTime>("recurrenceId");
        QTest::addColumn<QString>("change"); // what happens between reading and saving
        QTest::addColumn<int>("span");
        QTest::addColumn<int>("code");
        const int thisEvent = CalendarStore::CalSpanThisEvent;
        QTest::newRow("the calendar is read-only")
            << "Read only"_qs
            << "board-1@example.org"_qs << QDateTime() << QString() << thisEvent << int(CalendarStore::ReadOnly);
        QTest::newRow("every occurrence of a repeating event")
            << "Marks"_qs
            << "weekly-1@example.org"_qs << QDateTime(QDate(2030, 6, 3), QTime(8, 0), Qt::UTC) << QString()
            << int(CalendarStore::CalSpanAllEvents) << int(CalendarStore::NotSupported);
        QTest::newRow("an occurrence changed with all later ones")
            << "Marks"_qs
            << "sync-1@example.org"_qs << QDateTime(QDate(2030, 6, 25), QTime(9, 0), Qt::UTC) << QString() << thisEvent
            << int(CalendarStore::NotSupported);
        QTest::newRow("another program changed the notes")
            << "Marks"_qs
            << "focus-1@example.org"_qs << QDateTime() << "notes"_qs << thisEvent << int(CalendarStore::ChangedOnDisk);
        QTest::newRow("the event is gone")
            << "Marks"_qs
            << "focus-1@example.org"_qs << QDateTime() << "uid"_qs << thisEvent << int(CalendarStore::EventNotFound);
        QTest::newRow("the calendar is gone") << "Marks"_qs
                                              << "focus-1@example.org"_qs << QDateTime() << "calendar"_qs << thisEvent
                                              << int(CalendarStore::EventNotFound);
    }

    // A save that cannot be done says why and changes nothing.
    void saveFailures()
    {
        QFETCH(QString, calendar);
        QFETCH(QString, uid);
        QFETCH(QDateTime, recurrenceId);
        QFETCH(QString, change);
        QFETCH(int, span);
        QFETCH(int, code);
        Event target = occurrence(calendar, uid, recurrenceId);
        QVERIFY2(!target.title.isEmpty(), "the occurrence is read");
        const QString resource = calendar == "Read only"_qs ? m_readOnly : m_marks;
        if (change == "notes"_qs) {
            // Another program (KOrganizer) gives the event new notes.
            Akonadi::Item item = storedItems(resource).value(uid + QLatin1Char(' '));
            QVERIFY(item.isValid());
            KCalendarCore::Incidence::Ptr changed(item.payload<KCalendarCore::Incidence::Ptr>()->clone());
            changed->setDescription("Written elsewhere"_qs);
            item.setPayload(changed);
            QVERIFY((new Akonadi::ItemModifyJob(item))->exec());
        }
        if (change == "uid"_qs)
            target.origin.uid = "gone@example.org"_qs;
        if (change == "calendar"_qs)
            target.calendarUid = m_calendars.value("Marks"_qs).uid + "-gone"_qs;
        const auto storedBefore = storedEvents(resource);
        QCOMPARE(m_store->isReadOnly(target), code == CalendarStore::ReadOnly);
        target.notes = "Reminded."_qs;
        CalendarStore::Error error;
        QVERIFY(!m_store->saveEvent(target, CalendarStore::Span(span), &error));
        QCOMPARE(error.code, code);
        QVERIFY(!error.message.isEmpty());
        const auto storedAfter = storedEvents(resource);
        QCOMPARE(storedAfter.keys(), storedBefore.keys());
        for (auto it = storedBefore.cbegin(); it != storedBefore.cend(); ++it)
            QVERIFY2(*storedAfter.value(it.key()) == *it.value(), qPrintable(it.key()));
    }

    // Calendars added, renamed and removed (as KOrganizer's settings do) are told, one at a time.
    void calendarsChangedExternally()
    {
        QList<QVariantMap> changes;
        QObject receiver;
        connect(m_store.get(), &CalendarStore::calendarsChangedExternally, &receiver,
                [&](const QVariantMap &userInfo) { changes.append(userInfo); });
        m_home->copyFixture("akonadi/readonly"_qs, "akonadi-files/extra"_qs);
        const QString resource
            = m_server->addCalendarFile(m_home->filePath("akonadi-files/extra/readonly.ics"_qs), "Extra"_qs);
        QVERIFY(!resource.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 1, 20000);
        QString uid;
        for (const Calendar &calendar : m_store->calendars())
            uid = calendar.title == "Extra"_qs ? calendar.uid : uid;
        QCOMPARE(changes.at(0), (QVariantMap {{CalendarStore::CalInsertedRecordsKey, QStringList {uid}}}));

        // Renamed as KOrganizer renames a calendar.
        Akonadi::Collection collection = collectionOf(resource);
        collection.attribute<Akonadi::EntityDisplayAttribute>(Akonadi::Collection::AddIfMissing)
            ->setDisplayName("Extra renamed"_qs);
        QVERIFY((new Akonadi::CollectionModifyJob(collection))->exec());
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 2, 20000);
        QCOMPARE(changes.at(1), (QVariantMap {{CalendarStore::CalUpdatedRecordsKey, QStringList {uid}}}));
        QCOMPARE(m_store->calendarWithUID(uid)->title, "Extra renamed"_qs);

        QVERIFY(m_server->removeResource(resource));
        QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 3, 20000);
        QCOMPARE(changes.at(2), (QVariantMap {{CalendarStore::CalDeletedRecordsKey, QStringList {uid}}}));
        QVERIFY(!m_store->calendarWithUID(uid));
    }

    // A server that stops answering in the middle of a run costs the run one bound, once: what
    // follows fails at once, with a warning.
    void stuckServer()
    {
        const auto store = AkonadiCalendarStore::ofRunningServer(5000);
        QVERIFY(store);
        constexpr int bound = 1000;
        store->setJobBound(bound);
        QStringList problems;
        connect(store.get(), &CalendarStore::problemFound, this,
                [&](const QString &problem) { problems.append(problem); });
        const uint server = QDBusConnection::sessionBus().interface()->servicePid("org.freedesktop.Akonadi"_qs);
        QVERIFY(server > 0);
        ::kill(pid_t(server), SIGSTOP);
        QElapsedTimer timer;
        timer.start();
        const QList<Event> first = events(store.get(), "Work"_qs, at(1), at(30));
        const qint64 firstTook = timer.restart();
        const QList<Event> second = events(store.get(), "Work"_qs, at(1), at(30));
        const qint64 secondTook = timer.elapsed();
        ::kill(pid_t(server), SIGCONT);
        QVERIFY(first.isEmpty());
        QVERIFY(second.isEmpty());
        QVERIFY2(firstTook < bound + 2000, qPrintable(QString::number(firstTook)));
        QVERIFY2(secondTook < bound / 2, qPrintable(QString::number(secondTook)));
        QCOMPARE(problems.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestAkonadiCalendarStore)
#include "tst_akonadicalendarstore.moc"
