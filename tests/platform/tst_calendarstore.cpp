#include "calendarstore.h"
#include "icaltext.h"
#include "throwawayhome.h"
#include "vdircalendarstore.h"

#include <KCalendarCore/ICalFormat>
#include <KCalendarCore/MemoryCalendar>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <linux/capability.h>
#include <memory>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        QDir().mkpath(QFileInfo(target).absolutePath());
        QVERIFY(QFile::copy(source, target));
    }
}

QList<Calendar> calendarsNamed(const QStringList &uids)
{
    QList<Calendar> list;
    for (const QString &uid : uids)
        list.append({uid, uid, CalendarStore::CalCalendarTypeLocal});
    return list;
}

QList<Event> eventsOn(CalendarStore &store, const QDate &day, const QStringList &uids)
{
    return store.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
        QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), calendarsNamed(uids)));
}

// "Title yyyy-MM-ddTHH:mm" (local time) of each occurrence, sorted.
QStringList described(const QList<Event> &events)
{
    QStringList out;
    for (const Event &event : events)
        out.append(event.title + QLatin1Char(' ')
                   + event.startDate.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm")));
    out.sort();
    return out;
}

Event find(const QList<Event> &events, const QString &title)
{
    for (const Event &event : events) {
        if (event.title == title)
            return event;
    }
    return Event();
}

// Root may write to read-only folders; this drops that power from the calling thread for a while.
class WithoutDacOverride
{
public:
    WithoutDacOverride()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        syscall(SYS_capset, &m_header, reduced);
    }
    ~WithoutDacOverride() { syscall(SYS_capset, &m_header, m_saved); }

private:
    __user_cap_header_struct m_header {};
    __user_cap_data_struct m_saved[2] {};
};
} // namespace

class TestCalendarStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris");
        copyTree(QFINDTESTDATA("../data/calendars/vdir"), m_home->calendarsPath());
        m_store = std::make_unique<VdirCalendarStore>(m_home->calendarsPath());
    }
    void cleanup()
    {
        m_store.reset();
        m_home.reset();
    }

    void calendars()
    {
        const QList<Calendar> calendars = m_store->calendars();
        QCOMPARE(calendars.size(), 2);
        QCOMPARE(calendars.at(0).uid, QStringLiteral("home"));
        QCOMPARE(calendars.at(0).title, QStringLiteral("home"));
        QCOMPARE(calendars.at(1).title, QStringLiteral("Work"));
        QCOMPARE(calendars.at(1).type, CalendarStore::CalCalendarTypeLocal);
        QCOMPARE(m_store->calendarWithUID(QStringLiteral("work"))->title, QStringLiteral("Work"));
        QVERIFY(!m_store->calendarWithUID(QStringLiteral("gone")));
        QVERIFY(!m_store->calendarWithUID(QStringLiteral("../calendars")));
    }

    void defaultStoreFollowsHome()
    {
        CalendarStore *first = CalendarStore::defaultCalendarStore();
        QCOMPARE(first->calendars().size(), 2);
        ThrowAwayHome other;
        CalendarStore *second = CalendarStore::defaultCalendarStore();
        QVERIFY(second != first);
        QVERIFY(second->calendars().isEmpty());
    }

    void occurrences_data()
    {
        QTest::addColumn<QDate>("day");
        QTest::addColumn<QStringList>("uids");
        QTest::addColumn<QStringList>("expected");
        const QStringList work {QStringLiteral("work")}, home {QStringLiteral("home")};
        auto list = [](std::initializer_list<const char *> items) {
            QStringList out;
            for (const char *item : items)
                out.append(QString::fromUtf8(item));
            return out;
        };
        QTest::newRow("timed, all-day and khal events; override moved off the day")
            << QDate(2010, 3, 5) << work
            << list({"Board dinner with a rather long title that needs folding in the file 2010-03-05T18:30",
                     "Budget review 2010-03-05T10:00", "Trip to Lyon 2010-03-05T00:00"});
        QTest::newRow("override moved onto the day") << QDate(2010, 3, 4) << work << list({"Standup 2010-03-04T14:00"});
        QTest::newRow("override moved to the day before")
            << QDate(2010, 3, 25) << work << list({"Standup 2010-03-25T17:00"});
        QTest::newRow("its slot is empty") << QDate(2010, 3, 26) << work << QStringList();
        QTest::newRow("excluded date") << QDate(2010, 2, 19) << work << QStringList();
        QTest::newRow("plain weekly occurrence") << QDate(2010, 2, 26) << work << list({"Standup 2010-02-26T09:00"});
        QTest::newRow("second day of an all-day event")
            << QDate(2010, 3, 6) << work << list({"Trip to Lyon 2010-03-05T00:00"});
        QTest::newRow("day after an all-day event") << QDate(2010, 3, 7) << work << QStringList();
        QTest::newRow("khal weekly after summer time starts")
            << QDate(2010, 3, 29) << work << list({"Khal weekly 2010-03-29T08:00"});
        QTest::newRow("khal weekly after summer time ends")
            << QDate(2010, 11, 1) << work << list({"Khal weekly 2010-11-01T08:00"});
        QTest::newRow("crossing midnight in, ending at midnight out, UTC late")
            << QDate(2010, 3, 5) << home
            << list({"Call 2010-03-05T23:00", "Night shift 2010-03-04T22:00", "Party 2010-03-04T22:00"});
        QTest::newRow("daily on the day summer time starts")
            << QDate(2010, 3, 28) << home << list({"Swim 2010-03-28T09:00"});
        QTest::newRow("daily the day before") << QDate(2010, 3, 27) << home << list({"Swim 2010-03-27T09:00"});
        QTest::newRow("last of COUNT") << QDate(2010, 4, 3) << home << list({"Swim 2010-04-03T09:00"});
        QTest::newRow("after COUNT") << QDate(2010, 4, 4) << home << QStringList();
        QTest::newRow("no calendars asked") << QDate(2010, 3, 5) << QStringList() << QStringList();
        QTest::newRow("unknown calendar") << QDate(2010, 3, 5) << list({"nope"}) << QStringList();
    }
    void occurrences()
    {
        QFETCH(QDate, day);
        QFETCH(QStringList, uids);
        QFETCH(QStringList, expected);
        QCOMPARE(described(eventsOn(*m_store, day, uids)), expected);
    }

    void fields()
    {
        const QList<Event> events
            = eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("work"), QStringLiteral("home")});
        const Event meeting = find(events, QStringLiteral("Budget review"));
        QCOMPARE(meeting.notes,
                 QStringLiteral("Bring the figures for Q1, Q2 and the forecast; also the long list of open questions "
                                "from last time.\nSecond line."));
        QVERIFY(meeting.attendees);
        QCOMPARE(meeting.attendees->size(), 3);
        QCOMPARE(meeting.attendees->at(0).address, QStringLiteral("mailto:ann.dupont@example.org"));
        QCOMPARE(meeting.attendees->at(0).commonName, QStringLiteral("Dupont, Ann"));
        QCOMPARE(meeting.attendees->at(1).address, QStringLiteral("mailto:bob@example.org"));
        QVERIFY(meeting.attendees->at(1).commonName.isEmpty());
        QCOMPARE(meeting.attendees->at(2).address, QStringLiteral("urn:uuid:4d2f7a10-room-12"));
        QCOMPARE(meeting.endDate, QDateTime(QDate(2010, 3, 5), QTime(11, 0)));
        QCOMPARE(meeting.calendarUid, QStringLiteral("work"));
        QVERIFY(!meeting.origin.recurrenceId.isValid());
        const Event trip = find(events, QStringLiteral("Trip to Lyon"));
        QVERIFY(trip.notes.isNull());
        QVERIFY(!trip.attendees);
        QCOMPARE(trip.endDate, QDateTime(QDate(2010, 3, 7), QTime(0, 0)));
        QCOMPARE(find(events, QStringLiteral("Call")).calendarUid, QStringLiteral("home"));
        const Event standup
            = find(eventsOn(*m_store, QDate(2010, 2, 26), {QStringLiteral("work")}), QStringLiteral("Standup"));
        QCOMPARE(standup.origin.recurrenceId, QDateTime(QDate(2010, 2, 26), QTime(9, 0)));
        QCOMPARE(standup.notes, QStringLiteral("Weekly standup"));
    }

    // After a save the file reads back and differs from the original only in the notes
    // (or the added override); everything else stays byte for byte.
    void saveNotes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QDate>("day");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<bool>("addsOverride");
        const QString marked = QStringLiteral("Weekly standup (*)");
        QTest::newRow("folded notes of a single event")
            << "work/thunderbird-meeting.ics" << QDate(2010, 3, 5) << "Budget review"
            << QStringLiteral(
                   "Bring the figures, all of them; \\ really\nand a second line that is long enough to be folded (*)")
            << false;
        QTest::newRow("all-day event without notes, LF")
            << "work/allday-trip.ics" << QDate(2010, 3, 6) << "Trip to Lyon"
            << "(*)" << false;
        QTest::newRow("occurrence gets an override")
            << "work/google-standup.ics" << QDate(2010, 2, 26) << "Standup" << marked << true;
        QTest::newRow("existing override") << "work/google-standup.ics" << QDate(2010, 3, 4) << "Standup"
                                           << "Moved to Thursday (*)" << false;
        QTest::newRow("override without notes") << "work/google-standup.ics" << QDate(2010, 3, 25) << "Standup"
                                                << "(*)" << false;
        QTest::newRow("khal single event") << "work/khal-dinner.ics" << QDate(2010, 3, 5)
                                           << "Board dinner with a rather long title that needs folding in the file"
                                           << "Table for six, bring the slides (*)" << false;
        QTest::newRow("khal weekly occurrence after summer time")
            << "work/khal-weekly.ics" << QDate(2010, 3, 29) << "Khal weekly"
            << "(*)" << true;
        QTest::newRow("floating single event")
            << "home/late-party.ics" << QDate(2010, 3, 5) << "Party" << QStringLiteral("caf\u00e9 (*)") << false;
        QTest::newRow("daily with DURATION and no VTIMEZONE") << "home/daily-swim.ics" << QDate(2010, 3, 28) << "Swim"
                                                              << "Pool (*)" << true;
    }
    void saveNotes()
    {
        QFETCH(QString, file);
        QFETCH(QDate, day);
        QFETCH(QString, title);
        QFETCH(QString, notes);
        QFETCH(bool, addsOverride);
        const QString path = m_home->calendarsPath() + QLatin1Char('/') + file;
        const QString uid = file.section(QLatin1Char('/'), 0, 0);
        const QByteArray before = readAll(path);
        Event event = find(eventsOn(*m_store, day, {uid}), title);
        QVERIFY(event.startDate.isValid());
        const QStringList otherDays = described(eventsOn(*m_store, day.addDays(-7), {uid}));
        event.notes = notes;
        CalendarStore::Error error;
        QVERIFY2(m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error), qPrintable(error.message));

        const Event saved = find(eventsOn(*m_store, day, {uid}), title);
        QCOMPARE(saved.notes, notes);
        QCOMPARE(saved.startDate, event.startDate);
        QCOMPARE(described(eventsOn(*m_store, day.addDays(-7), {uid})), otherDays);
        const QList<Event> weekBefore = eventsOn(*m_store, day.addDays(-7), {uid});
        if (addsOverride)
            QVERIFY(find(weekBefore, title).notes != notes);

        // Line by line: the changed region is a DESCRIPTION line or one added VEVENT.
        const QByteArray after = readAll(path);
        KCalendarCore::ICalFormat format;
        auto calendar = KCalendarCore::MemoryCalendar::Ptr::create(QTimeZone::systemTimeZone());
        QVERIFY(format.fromRawString(calendar, after));
        const auto original = ICalText::parse(before, nullptr), changed = ICalText::parse(after, nullptr);
        QVERIFY(original && changed);
        if (addsOverride) {
            // Taking out the one added component gives back the original bytes.
            QCOMPARE(changed->calendar().children.size(), original->calendar().children.size() + 1);
            QStringList added;
            for (const ICalText::Component &component : changed->calendar().children) {
                QByteArray text;
                QStringList names;
                for (int i = component.begin; i <= component.end; ++i) {
                    text += changed->physical(i);
                    names.append(QString::fromLatin1(ICalText::name(changed->line(i))));
                }
                QByteArray rest = after;
                if (rest.replace(text, QByteArray()) == before && component.name == "VEVENT")
                    added = names;
            }
            QCOMPARE(added.count(QStringLiteral("RECURRENCE-ID")), 1);
            QCOMPARE(added.count(QStringLiteral("DTSTART")), 1);
            QCOMPARE(added.count(QStringLiteral("RRULE")) + added.count(QStringLiteral("EXDATE")), 0);
            QCOMPARE(added.count(QStringLiteral("DESCRIPTION")), 1);
        } else {
            // The lines that differ are the DESCRIPTION line alone.
            int head = 0, tail = 0;
            while (head < original->lineCount() && original->physical(head) == changed->physical(head))
                ++head;
            while (tail < original->lineCount() - head
                   && original->physical(original->lineCount() - 1 - tail)
                       == changed->physical(changed->lineCount() - 1 - tail))
                ++tail;
            QVERIFY(head + tail >= original->lineCount() - 1);
            if (head + tail < original->lineCount())
                QCOMPARE(ICalText::name(original->line(head)), QByteArray("DESCRIPTION"));
            QCOMPARE(changed->lineCount() - head - tail, 1);
            QCOMPARE(ICalText::name(changed->line(head)), QByteArray("DESCRIPTION"));
            QVERIFY(changed->physical(head).endsWith(original->lineEnd(head)));
            for (const QByteArray &part : changed->physical(head).split('\n'))
                QVERIFY(part.size() <= 76);
        }
    }

    void savesTwoOccurrencesOfOneFile()
    {
        const QList<Event> events = eventsOn(*m_store, QDate(2010, 3, 12), {QStringLiteral("work")});
        Event first = find(events, QStringLiteral("Standup"));
        Event second
            = find(eventsOn(*m_store, QDate(2010, 3, 19), {QStringLiteral("work")}), QStringLiteral("Standup"));
        first.notes = second.notes = QStringLiteral("(*)");
        QVERIFY(m_store->saveEvent(first, CalendarStore::CalSpanThisEvent, nullptr));
        QVERIFY(m_store->saveEvent(second, CalendarStore::CalSpanThisEvent, nullptr));
        QCOMPARE(
            find(eventsOn(*m_store, QDate(2010, 3, 12), {QStringLiteral("work")}), QStringLiteral("Standup")).notes,
            QStringLiteral("(*)"));
        QCOMPARE(
            find(eventsOn(*m_store, QDate(2010, 3, 19), {QStringLiteral("work")}), QStringLiteral("Standup")).notes,
            QStringLiteral("(*)"));
    }

    void saveRefusals_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("code");
        QTest::newRow("changed on disk since read") << "changed" << int(CalendarStore::ChangedOnDisk);
        QTest::newRow("read-only folder") << "readonly" << int(CalendarStore::WriteFailed);
        QTest::newRow("disk full") << "full" << int(CalendarStore::WriteFailed);
        QTest::newRow("file removed") << "removed" << int(CalendarStore::EventNotFound);
    }
    void saveRefusals()
    {
        QFETCH(QString, how);
        QFETCH(int, code);
        const QString folder = m_home->calendarsPath() + QStringLiteral("/work");
        const QString path = folder + QStringLiteral("/thunderbird-meeting.ics");
        Event event
            = find(eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("work")}), QStringLiteral("Budget review"));
        event.notes = QStringLiteral("(*)");
        if (how == QLatin1String("changed")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("X-EDITED-ELSEWHERE:1\r\n"); // a well-formed file is still refused
            file.close();
        } else if (how == QLatin1String("removed")) {
            QVERIFY(QFile::remove(path));
        }
        const QByteArray before = readAll(path);
        CalendarStore::Error error;
        bool saved = true;
        if (how == QLatin1String("readonly")) {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            WithoutDacOverride asPlainUser;
            saved = m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error);
        } else if (how == QLatin1String("full")) {
            // A file size limit below the file's size makes the write fail as a full disk does.
            rlimit old {};
            getrlimit(RLIMIT_FSIZE, &old);
            rlimit small = old;
            small.rlim_cur = 200;
            auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &small);
            saved = m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error);
            setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldHandler);
        } else {
            saved = m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error);
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!saved);
        QCOMPARE(error.code, code);
        QVERIFY(!error.message.isEmpty());
        QCOMPARE(readAll(path), before);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".tmp")), QStringList());
    }

    void saveThroughSymlinkKeepsLinkAndMode()
    {
        const QString real = m_home->filePath(QStringLiteral("elsewhere/trip.ics"));
        QDir().mkpath(QFileInfo(real).absolutePath());
        const QString link = m_home->calendarsPath() + QStringLiteral("/work/allday-trip.ics");
        QVERIFY(QFile::rename(link, real));
        QVERIFY(QFile::setPermissions(real, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(QFile::link(real, link));
        Event event
            = find(eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("work")}), QStringLiteral("Trip to Lyon"));
        event.notes = QStringLiteral("(*)");
        QVERIFY(m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, nullptr));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(readAll(real).contains("DESCRIPTION:(*)\n"));
        const QFileDevice::Permissions modeBits(QFlag(0x7077));
        QCOMPARE(QFileInfo(real).permissions() & modeBits, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    }

    // A file that cannot be read is skipped; the other files are still read.
    void malformedFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("found");
        const QByteArray good = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:odd\r\nDTSTART:"
                                "20100305T120000\r\nSUMMARY:Odd\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        QTest::newRow("truncated without END") << good.left(good.size() - 30) << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("binary junk") << QByteArray("\x89PNG\r\n\x1a\n\xff\xfe\x01garbage") << false;
        QTest::newRow("NUL bytes") << QByteArray(good).replace("SUMMARY:Odd", QByteArray("SUMMARY:O\0d", 11)) << false;
        QTest::newRow("content after the calendar") << good + "junk\r\n" << false;
        QTest::newRow("Latin-1") << QByteArray(good).replace("Odd", "Odd\xe9") << true;
        QTest::newRow("UTF-8 BOM") << "\xEF\xBB\xBF" + good << true;
        QTest::newRow("bare CR line ends") << QByteArray(good).replace("\r\n", "\r") << true;
        QTest::newRow("override without its master")
            << QByteArray(good).replace("UID:odd\r\n", "UID:odd\r\nRECURRENCE-ID:20100305T120000\r\n") << true;
        QTest::newRow("two files with one UID") << QByteArray(good).replace("UID:odd", "UID:call") << true;
        QTest::newRow("over the size cap") << good + QByteArray(VdirCalendarStore::maxFileSize, '\n') << false;
    }
    void malformedFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, found);
        const QString path = m_home->calendarsPath() + QStringLiteral("/home/odd.ics");
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/odd.ics"), content);
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/odd.ics.tmp"), content);
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/odd.txt"), content);
        const QStringList titles = described(eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("home")}));
        QCOMPARE(titles.filter(QStringLiteral("Odd")).size(), found ? 1 : 0);
        QVERIFY(titles.contains(QStringLiteral("Call 2010-03-05T23:00")));
        QCOMPARE(readAll(path), content);
        if (found && content.contains('\xe9')) {
            Event odd
                = find(eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("home")}), QString::fromUtf8("Odd\u00e9"));
            odd.notes = QString::fromUtf8("caf\u00e9 (*)");
            QVERIFY(m_store->saveEvent(odd, CalendarStore::CalSpanThisEvent, nullptr));
            QVERIFY(readAll(path).contains("DESCRIPTION:caf\xe9 (*)\r\n"));
        }
    }

    void unreadableFolder()
    {
        const QString folder = m_home->calendarsPath() + QStringLiteral("/home");
        QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions()));
        QList<Event> events;
        {
            WithoutDacOverride asPlainUser;
            events = eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("home"), QStringLiteral("work")});
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(described(events).contains(QStringLiteral("Budget review 2010-03-05T10:00")));
        QVERIFY(described(events).filter(QStringLiteral("Call")).isEmpty());
    }

    // Rules that never end or never match still leave the other events to be found.
    void pathologicalRules_data()
    {
        QTest::addColumn<QByteArray>("rule");
        QTest::newRow("huge COUNT") << QByteArray("FREQ=DAILY;COUNT=1000000000");
        QTest::newRow("SECONDLY without end") << QByteArray("FREQ=SECONDLY");
        QTest::newRow("SECONDLY with huge COUNT") << QByteArray("FREQ=SECONDLY;COUNT=1000000000");
        QTest::newRow("MINUTELY without end") << QByteArray("FREQ=MINUTELY");
        QTest::newRow("INTERVAL=0") << QByteArray("FREQ=DAILY;INTERVAL=0");
        QTest::newRow("impossible date") << QByteArray("FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30");
        QTest::newRow("impossible SECONDLY") << QByteArray("FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=31");
        QTest::newRow("impossible BYSETPOS") << QByteArray("FREQ=MONTHLY;BYDAY=MO;BYSETPOS=-9");
    }
    void pathologicalRules()
    {
        QFETCH(QByteArray, rule);
        m_home->writeFile(QStringLiteral(".local/share/calendars/home/rule.ics"),
                          "BEGIN:VCALENDAR\nVERSION:2.0\nBEGIN:VEVENT\nUID:rule\nDTSTART:19000101T090000Z\nDTEND:"
                          "19000101T090001Z\nRRULE:"
                              + rule + "\nSUMMARY:Rule\nEND:VEVENT\nEND:VCALENDAR\n");
        const QStringList titles = described(eventsOn(*m_store, QDate(2010, 3, 5), {QStringLiteral("home")}));
        QVERIFY(titles.contains(QStringLiteral("Call 2010-03-05T23:00")));
        QVERIFY(titles.filter(QStringLiteral("Rule")).size() <= VdirCalendarStore::maxOccurrencesPerEvent);
        if (rule.startsWith("FREQ=DAILY;COUNT"))
            QVERIFY(titles.contains(QStringLiteral("Rule 2010-03-05T10:00")));
    }

    void notifications()
    {
        QSignalSpy spy(m_store.get(), &CalendarStore::calendarsChangedExternally);
        const QString root = m_home->calendarsPath();
        auto next = [&spy]() {
            if (spy.isEmpty() && !spy.wait(5000))
                return QVariantMap();
            return spy.takeFirst().at(0).toMap();
        };
        QVERIFY(QDir(root).mkdir(QStringLiteral("travel")));
        QVariantMap info = next();
        QCOMPARE(info.keys(), QStringList {CalendarStore::CalInsertedRecordsKey});
        QCOMPARE(info.value(CalendarStore::CalInsertedRecordsKey).toStringList(),
                 QStringList {QStringLiteral("travel")});

        m_home->writeFile(QStringLiteral(".local/share/calendars/travel/displayname"), "Travel\n");
        info = next();
        QCOMPARE(info.value(CalendarStore::CalUpdatedRecordsKey).toStringList(),
                 QStringList {QStringLiteral("travel")});
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/displayname"), "Office\n");
        info = next();
        QCOMPARE(info.keys(), QStringList {CalendarStore::CalUpdatedRecordsKey});
        QCOMPARE(info.value(CalendarStore::CalUpdatedRecordsKey).toStringList(), QStringList {QStringLiteral("work")});
        QCOMPARE(m_store->calendarWithUID(QStringLiteral("work"))->title, QStringLiteral("Office"));

        QVERIFY(QDir(root + QStringLiteral("/home")).removeRecursively());
        info = next();
        QCOMPARE(info.keys(), QStringList {CalendarStore::CalDeletedRecordsKey});
        QCOMPARE(info.value(CalendarStore::CalDeletedRecordsKey).toStringList(), QStringList {QStringLiteral("home")});
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/new.ics"), "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
        QVERIFY(!spy.wait(500)); // a new event file is no calendar change
    }

    void notificationWhenRootAppears()
    {
        ThrowAwayHome fresh;
        VdirCalendarStore store(fresh.calendarsPath());
        QSignalSpy spy(&store, &CalendarStore::calendarsChangedExternally);
        QVERIFY(QDir().mkpath(fresh.calendarsPath() + QStringLiteral("/first")));
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.first().at(0).toMap().value(CalendarStore::CalInsertedRecordsKey).toStringList(),
                 QStringList {QStringLiteral("first")});
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<VdirCalendarStore> m_store;
};

QTEST_GUILESS_MAIN(TestCalendarStore)
#include "tst_calendarstore.moc"
