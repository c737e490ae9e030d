#include "calendarindex.h"
#include "calendarstore.h"
#include "datatable.h"
#include "icaltext.h"
#include "icalzone.h"
#include "throwawayhome.h"
#include "vdircalendarstore.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimeZone>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {
// Long enough ago for the index to trust a file (it does not trust files changed just now).
constexpr qint64 past = 1262304000; // 2010-01-01

// Rewrites a file in place: same inode.
bool overwrite(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool setModified(const QString &path, qint64 seconds, long nanoseconds = 0)
{
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// The event files of the comma-separated calendars under root.
QStringList eventFiles(const QString &root, const QString &uids)
{
    QStringList files;
    for (const QString &uid : uids.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        for (const QString &name :
             QDir(root + QLatin1Char('/') + uid).entryList({QStringLiteral("*.ics")}, QDir::Files))
            files.append(root + QLatin1Char('/') + uid + QLatin1Char('/') + name);
    }
    return files;
}

// "Title start end notes" (local yyyy-MM-ddTHH:mm) of each occurrence, sorted.
QStringList described(const QList<Event> &events)
{
    QStringList out;
    const QString format = QStringLiteral("yyyy-MM-ddTHH:mm");
    for (const Event &event : events) {
        out.append(QStringList {event.title, event.startDate.toLocalTime().toString(format),
                                event.endDate.toLocalTime().toString(format), event.notes}
                       .join(QLatin1Char(' '))
                       .trimmed());
    }
    out.sort();
    return out;
}

// Takes the next announcement (waiting for it) and checks it names one calendar under one key.
void expectChange(QSignalSpy &spy, const QString &key, const QString &uid)
{
    QVERIFY(!spy.isEmpty() || spy.wait(5000));
    QCOMPARE(spy.takeFirst().at(0).toMap(), (QVariantMap {{key, QStringList {uid}}}));
}
} // namespace

class TestCalendarStore : public QObject
{
    Q_OBJECT
    // The occurrences overlapping the local days first..last in the comma-separated calendars.
    QList<Event> on(const QDate &first, const QDate &last, const QString &uids)
    {
        QList<Calendar> calendars;
        for (const QString &uid : uids.split(QLatin1Char(','), Qt::SkipEmptyParts))
            calendars.append({uid, uid, CalendarStore::CalCalendarTypeLocal});
        return m_store->eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
            QDateTime(first, QTime(0, 0)), QDateTime(last, QTime(23, 59, 59)), calendars));
    }
    Event find(const QDate &day, const QString &title, const QString &uids = QStringLiteral("work"))
    {
        const QList<Event> events = on(day, day, uids);
        const auto it = std::find_if(events.cbegin(), events.cend(), [&](const Event &e) { return e.title == title; });
        return it == events.cend() ? Event() : *it;
    }
    bool save(Event event, const QString &notes, CalendarStore::Error *error = nullptr)
    {
        event.notes = notes;
        return m_store->saveEvent(event, CalendarStore::CalSpanThisEvent, error);
    }
    // "uid=title" of each calendar, in the store's order.
    QString titles() const
    {
        QStringList out;
        for (const Calendar &calendar : m_store->calendars())
            out.append(calendar.uid + QLatin1Char('=') + calendar.title);
        return out.join(QLatin1Char(' '));
    }
    QString path(const QString &file) const { return m_home->calendarsPath() + QLatin1Char('/') + file; }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris");
        m_home->copyFixture(QStringLiteral("calendars/vdir"), QStringLiteral(".local/share/calendars"));
        for (QDirIterator it(m_home->calendarsPath(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            QVERIFY(setModified(it.next(), past));
        m_store = std::make_unique<VdirCalendarStore>(m_home->calendarsPath());
        // An hour on, as later runs see the files: changed long enough ago for the index to trust.
        m_store->setClock([] { return (QDateTime::currentSecsSinceEpoch() + 3600) * 1000000000LL; });
    }
    void setZone(const QString &zone)
    {
        m_home->setEnv("TZ", zone.toLatin1());
        tzset();
    }
    void cleanup()
    {
        m_store.reset();
        m_home.reset();
    }

    void occurrences_data()
    {
        dataTable<QString, QString, QString, QStringList>("calendars/occurrences.txt",
                                                          {"zone", "date", "uids", "expected"});
    }
    void occurrences()
    {
        QFETCH(QString, zone);
        QFETCH(QString, date);
        QFETCH(QString, uids);
        QFETCH(QStringList, expected); // as described()
        const QDate day = QDate::fromString(date, Qt::ISODate);
        setZone(zone);
        QCOMPARE(described(on(day, day, uids)), expected); // index cold
        QCOMPARE(described(on(day, day, uids)), expected); // index warm
        // The index made by readers in the zones furthest apart, and used in the row's zone.
        for (const char *reader : {"Pacific/Kiritimati", "Pacific/Pago_Pago"}) {
            QFile::remove(m_store->indexPath());
            setZone(QLatin1String(reader));
            on(day, day, uids);
            setZone(zone);
            QCOMPARE(described(on(day, day, uids)), expected);
        }
        // Every file edited in place within one second, with the same size: first to hold no event,
        // which the index learns, then back as it was.
        const QStringList files = eventFiles(m_home->calendarsPath(), uids);
        QList<QByteArray> contents;
        for (const QString &file : files) {
            contents.append(readFile(file));
            QVERIFY(overwrite(file, QByteArray(contents.last()).replace("VEVENT", "VTODO_")));
            QVERIFY(setModified(file, past + 60, 100));
        }
        QCOMPARE(described(on(day, day, uids)), QStringList());
        for (int i = 0; i < files.size(); ++i)
            QVERIFY(overwrite(files.at(i), contents.at(i)) && setModified(files.at(i), past + 60, 200));
        QCOMPARE(described(on(day, day, uids)), expected);
        // Stamped a year ahead (a clock set back, files from a machine whose clock ran ahead): indexed
        // like the others, and read the same, cold and warm.
        QFile::remove(m_store->indexPath());
        for (const QString &file : files)
            QVERIFY(setModified(file, QDateTime::currentSecsSinceEpoch() + 366 * 86400));
        QCOMPARE(described(on(day, day, uids)), expected);
        QString problem;
        QCOMPARE(CalendarIndex::load(m_store->indexPath(), m_store->root(), &problem).size(), files.size());
        QCOMPARE(described(on(day, day, uids)), expected);
    }

    // The index follows every change to a file whose old span says nothing of the day asked: an
    // edit in place within the same second and size, a replacement by rename with the same size
    // and time, a removal, an addition, an edit in place that puts the old size and time back.
    void indexFollowsChanges_data()
    {
        dataTable<QString, bool, bool>("calendars/indexchanges.txt", {"how", "before", "after"});
    }
    void indexFollowsChanges()
    {
        QFETCH(QString, how);
        QFETCH(bool, before);
        QFETCH(bool, after);
        const QDate oldDay(2010, 3, 5), newDay(2010, 3, 10);
        const auto calls = [&](const QDate &day) {
            return described(on(day, day, QStringLiteral("home"))).filter(QStringLiteral("Call ")).size();
        };
        QCOMPARE(calls(oldDay), 1);
        QCOMPARE(calls(newDay), 0);
        const QString file = path(QStringLiteral("home/utc-call.ics")), other = path(QStringLiteral("home/other.ics"));
        const QByteArray moved = readFile(file).replace("20100305T22", "20100310T22");
        if (how == QLatin1String("in place")) {
            QVERIFY(overwrite(file, moved) && setModified(file, past, 500));
        } else if (how == QLatin1String("rename")) {
            QVERIFY(overwrite(other, moved) && setModified(other, past)
                    && ::rename(QFile::encodeName(other).constData(), QFile::encodeName(file).constData()) == 0);
        } else if (how == QLatin1String("remove")) {
            QVERIFY(QFile::remove(file));
        } else if (how == QLatin1String("add")) {
            QVERIFY(overwrite(other, moved) && setModified(other, past));
        } else {
            QVERIFY(overwrite(file, moved) && setModified(file, past));
        }
        QCOMPARE(calls(oldDay), before ? 1 : 0);
        QCOMPARE(calls(newDay), after ? 1 : 0);
        QString problem;
        const int files = eventFiles(m_home->calendarsPath(), QStringLiteral("home")).size();
        QCOMPARE(CalendarIndex::load(m_store->indexPath(), m_store->root(), &problem).size(), files);
        QVERIFY(problem.isEmpty());
    }

    // An index file that cannot be used is made anew, with one warning, and nothing is lost; one
    // that is no regular file is never read through nor waited for, and is replaced.
    void damagedIndex_data() { dataTable<QString>("calendars/damagedindex.txt", {"how"}); }
    void damagedIndex()
    {
        QFETCH(QString, how);
        const QDate day(2010, 3, 5);
        const QStringList expected = described(on(day, day, QStringLiteral("home,work")));
        const QString index = m_store->indexPath(), other = m_home->filePath(QStringLiteral("notes.txt"));
        QByteArray bytes = readFile(index);
        QVERIFY(bytes.size() > 100);
        const QByteArray notes = "the user's own notes\n";
        if (how == QLatin1String("cut")) {
            bytes.chop(bytes.size() / 3);
        } else if (how == QLatin1String("junk")) {
            bytes = QByteArray(bytes.size(), '\x5a');
        } else if (how == QLatin1String("empty")) {
            bytes.clear();
        } else if (how == QLatin1String("zeros")) {
            // The file's own header (magic, sizes, counts at 16 and 24, the root after it) with
            // 20,000 entries of zeros and no occurrences: every size agrees with the file's length.
            const int headerSize = bytes.indexOf(QFile::encodeName(m_store->root()));
            const quint64 entries = 20000, occurrences = 0;
            bytes = bytes.left(headerSize + QFile::encodeName(m_store->root()).size());
            bytes.replace(16, 8, reinterpret_cast<const char *>(&entries), 8);
            bytes.replace(24, 8, reinterpret_cast<const char *>(&occurrences), 8);
            bytes += QByteArray(int(entries * sizeof(CalendarIndex::Entry)), '\0');
        } else if (how == QLatin1String("foreign")) {
            VdirCalendarStore other(m_home->filePath(QStringLiteral("elsewhere")));
            QVERIFY(QDir().mkpath(other.root() + QStringLiteral("/work")));
            QVERIFY(QFile::copy(path(QStringLiteral("work/allday-trip.ics")),
                                other.root() + QStringLiteral("/work/trip.ics")));
            other.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
                QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), other.calendars()));
            bytes = readFile(other.indexPath());
        }
        if (how == QLatin1String("fifo")) {
            QVERIFY(QFile::remove(index) && ::mkfifo(QFile::encodeName(index).constData(), 0600) == 0);
        } else if (how == QLatin1String("link")) {
            m_home->writeFile(QStringLiteral("notes.txt"), notes);
            QVERIFY(QFile::remove(index) && QFile::link(other, index));
        } else {
            QVERIFY(overwrite(index, bytes));
        }
        // Should the query wait on a FIFO, it is let go after a while (and fails): a writer that
        // opens the FIFO and goes (a FIFO opened without a reader waiting for it fails instead).
        std::atomic<bool> done {false}, freed {false};
        std::thread rescue([&] {
            for (int i = 0; i < 300 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            struct stat st;
            const bool fifo = !done && ::lstat(QFile::encodeName(index).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
            const int fd = fifo ? ::open(QFile::encodeName(index).constData(), O_WRONLY | O_NONBLOCK) : -1;
            freed = fd >= 0;
            if (fd >= 0)
                ::close(fd);
        });
        QSignalSpy problems(m_store.get(), &CalendarStore::problemFound);
        const QStringList found = described(on(day, day, QStringLiteral("home,work")));
        done = true;
        rescue.join();
        QVERIFY(!freed);
        QCOMPARE(found, expected);
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems.first().first().toString().startsWith(index + u':'),
                 qPrintable(problems.first().first().toString()));
        QCOMPARE(described(on(day, day, QStringLiteral("home,work"))), expected);
        QCOMPARE(problems.size(), 1); // made anew, a regular file in its place
        QVERIFY(QFileInfo(index).isFile() && !QFileInfo(index).isSymLink());
        if (how == QLatin1String("link"))
            QCOMPARE(readFile(other), notes);
    }

    // Two processes that query and change the calendars at once leave an index that reads well.
    void concurrentIndexUpdates()
    {
        std::vector<std::unique_ptr<QProcess>> helpers;
        for (const char *tag : {"first", "second"})
            helpers.push_back(startProgram("tests/helpers/helper_calendarquery",
                                           {QStringLiteral("home"), QLatin1String(tag), QStringLiteral("60")}));
        for (const auto &helper : helpers) {
            QString errors;
            QVERIFY2(finish(*helper, &errors, 120000) == 0, qPrintable(errors));
        }
        QSignalSpy problems(m_store.get(), &CalendarStore::problemFound);
        const QStringList found = described(on(QDate(2010, 3, 5), QDate(2010, 3, 5), QStringLiteral("home")));
        QCOMPARE(found.filter(QRegularExpression(QStringLiteral("^(first|second) "))).size(), 120);
        QVERIFY(problems.isEmpty());
    }

    // Attendees as written, an event with neither notes nor attendees, the calendar of an event.
    void fields()
    {
        const Event meeting = find(QDate(2010, 3, 5), QStringLiteral("Budget review"));
        QVERIFY(meeting.attendees);
        QStringList attendees;
        for (const Attendee &attendee : *meeting.attendees)
            attendees.append(attendee.address + QLatin1Char('|') + attendee.commonName);
        QCOMPARE(attendees.join(QLatin1Char(';')),
                 QStringLiteral("mailto:ann.dupont@example.org|Dupont, Ann;mailto:bob@example.org|;"
                                "urn:uuid:4d2f7a10-room-12|Room 12"));
        const Event trip = find(QDate(2010, 3, 5), QStringLiteral("Trip to Lyon"));
        QVERIFY(trip.notes.isNull() && !trip.attendees);
        QCOMPARE(find(QDate(2010, 3, 5), QStringLiteral("Call"), QStringLiteral("work,home")).calendarUid,
                 QStringLiteral("home"));
    }

    // An occurrence's version is that of the component it comes from, whatever the file's writer
    // leaves to its taste (DTSTAMP, line ends, folding, the order of lines); any edit of it, and
    // only of it, makes another.
    void versions_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<bool>("changed"); // the versions of the series' occurrences
        row("a new DTSTAMP", QByteArray("DTSTAMP:20100301T120000Z"), QByteArray("DTSTAMP:20100302T080000Z"), false);
        row("LF line ends", QByteArray("\r\n"), QByteArray("\n"), false);
        const QByteArray attendee = "ATTENDEE;CUTYPE=INDIVIDUAL;ROLE=REQ-PARTICIPANT;PARTSTAT=ACCEPTED;CN=Eve Ro";
        const QByteArray attendeeEnd = "se;X-NUM-GUESTS=0:mailto:eve@example.org\r\n";
        row("unfolded, lines in another order", "UID:standup-42@google.com\r\n" + attendee + "\r\n " + attendeeEnd,
            attendee + attendeeEnd + "UID:standup-42@google.com\r\n", false);
        row("the calendar's PRODID", QByteArray("Calendar 70.9054"), QByteArray("Calendar 71.0"), false);
        row("a LAST-MODIFIED", QByteArray("SUMMARY:Standup\r\nX-GOOGLE"),
            QByteArray("SUMMARY:Standup\r\nLAST-MODIFIED:20100302T080000Z\r\nX-GOOGLE"), true);
        row("other notes", QByteArray("Weekly standup"), QByteArray("Weekly stand-up"), true);
    }
    void versions()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(bool, changed);
        const QString file = path(QStringLiteral("work/google-standup.ics"));
        const auto versions = [this] {
            QByteArrayList out; // Feb 26 and Mar 12 from the series, the override of Mar 5
            for (const QDate &day : {QDate(2010, 2, 26), QDate(2010, 3, 12), QDate(2010, 3, 4)})
                out.append(find(day, QStringLiteral("Standup")).origin.version);
            return out;
        };
        const QByteArrayList before = versions();
        QVERIFY(!before.at(0).isEmpty());
        QCOMPARE(before.at(1), before.at(0));
        QVERIFY(before.at(2) != before.at(0));
        // Marking one occurrence makes it one of its own; the others stay as they were.
        Event marked = find(QDate(2010, 2, 26), QStringLiteral("Standup"));
        marked.notes += QStringLiteral(" (*)");
        QVERIFY(m_store->saveEvent(marked, CalendarStore::CalSpanThisEvent, nullptr));
        const QByteArrayList after = versions();
        QVERIFY(after.at(0) != before.at(0));
        QCOMPARE(after.mid(1), before.mid(1));

        QVERIFY(readFile(file).contains(from));
        QVERIFY(overwrite(file, readFile(file).replace(from, to)));
        const QByteArrayList edited = versions();
        QCOMPARE(edited.at(1) != before.at(1), changed);
        QCOMPARE(edited.at(2), before.at(2)); // the override is a component of its own
    }

    void attendeeSchemes_data() { dataTable<QString, QString>("calendars/schemes.txt", {"written", "read"}); }
    void attendeeSchemes()
    {
        QFETCH(QString, written);
        QFETCH(QString, read);
        m_home->writeFile(
            QStringLiteral(".local/share/calendars/home/scheme.ics"),
            readFile(QFINDTESTDATA("../data/calendars/scheme.ics")).replace("@ADDRESS@", written.toUtf8()));
        const Event event = find(QDate(2010, 3, 5), QStringLiteral("Scheme"), QStringLiteral("home"));
        QVERIFY(event.attendees && event.attendees->size() == 1);
        QCOMPARE(event.attendees->first().address, read);
    }

    // A save changes the occurrence's notes alone; in the file only one DESCRIPTION line, or one
    // added override, differs and every other byte stays as it was.
    void saveNotes_data()
    {
        dataTable<QString, QString, QString, QString, QString>("calendars/saves.txt",
                                                               {"file", "date", "title", "notes", "change"});
    }
    void saveNotes()
    {
        QFETCH(QString, file); // reached through a symbolic link
        QFETCH(QString, date);
        QFETCH(QString, title);
        QFETCH(QString, notes);
        QFETCH(QString, change);
        const QString uid = file.section(QLatin1Char('/'), 0, 0), link = path(file),
                      real = m_home->filePath(QStringLiteral("elsewhere.ics"));
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        QVERIFY(QFile::rename(link, real) && QFile::setPermissions(real, mode) && QFile::link(real, link));
        const QByteArray before = readFile(real);
        const QDate day = QDate::fromString(date, Qt::ISODate);
        Event event = find(day, title, uid);
        const QString oldNotes = event.notes;
        if (change == QLatin1String("none")) {
            CalendarStore::Error error;
            QVERIFY(!save(event, notes, &error));
            QCOMPARE(error.code, int(CalendarStore::NotSupported));
            QCOMPARE(readFile(real), before);
            return;
        }
        // Every occurrence within a week either side reads back as before, this one with the new notes.
        const auto around = [&] { return described(on(day.addDays(-8), day.addDays(8), uid)); };
        QStringList others = around();
        QVERIFY(others.removeOne(described({event}).first()));
        CalendarStore::Error error;
        QVERIFY2(save(event, notes, &error), qPrintable(error.message));
        event.notes = notes;
        QStringList now = around();
        QVERIFY(now.removeOne(described({event}).first()));
        QCOMPARE(now, others);
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(QFileInfo(real).permissions() & QFileDevice::Permissions(QFlag(0x7077)), mode);

        QByteArray inside = before, after = readFile(real);
        if (change == QLatin1String("wrapped override")) {
            // Compared within the new VCALENDAR lines; an unended last line has got its line end.
            const auto whole = ICalText::parse(after, nullptr);
            QVERIFY(whole && !whole->isBare());
            const QByteArray eol = before.contains('\r') ? "\r\n" : "\n", head = "BEGIN:VCALENDAR" + eol,
                             tail = "END:VCALENDAR" + eol;
            QVERIFY(after.startsWith(head) && after.endsWith(tail));
            after = after.mid(head.size(), after.size() - head.size() - tail.size());
            if (!inside.endsWith('\n'))
                inside += eol;
        }
        const auto original = ICalText::parse(inside, nullptr), changed = ICalText::parse(after, nullptr);
        QVERIFY(original && changed);
        const int n = original->lineCount(), m = changed->lineCount();
        int head = 0, tail = 0;
        while (head < n && original->physical(head) == changed->physical(head))
            ++head;
        while (tail < n - head && original->physical(n - 1 - tail) == changed->physical(m - 1 - tail))
            ++tail;
        QStringList added;
        for (int i = head; i < m - tail; ++i) {
            added.append(QString::fromLatin1(ICalText::name(changed->line(i))));
            QCOMPARE(changed->lineEnd(i), original->lineEnd(0));
            for (const QByteArray &part : changed->physical(i).split('\n'))
                QVERIFY(part.size() <= 76); // folded at 75 octets
        }
        if (change == QLatin1String("split override")) {
            // Taken out: the override's RECURRENCE-ID line with its range, no component; put in: that
            // line without the range, the new notes, and one whole override with the next RECURRENCE-ID.
            QStringList removed;
            for (int i = head; i < n - tail; ++i)
                removed.append(QString::fromLatin1(ICalText::name(original->line(i))));
            QCOMPARE(removed.count(QStringLiteral("RECURRENCE-ID")), 1);
            QCOMPARE(removed.count(QStringLiteral("BEGIN")) + removed.count(QStringLiteral("END")), 0);
            QCOMPARE(changed->calendar().children.size(), original->calendar().children.size() + 1);
            QCOMPARE(added.count(QStringLiteral("RECURRENCE-ID")), 2);
            for (const char *name : {"BEGIN", "END", "DESCRIPTION"})
                QCOMPARE(added.count(QString::fromLatin1(name)), 1);
            return;
        }
        // Taken out: nothing, or the old DESCRIPTION line; put in: one DESCRIPTION line, or one whole override.
        QVERIFY(head + tail == n || (head + tail == n - 1 && ICalText::name(original->line(head)) == "DESCRIPTION"));
        // Notes that extend the old ones keep the old line's bytes, also those that are not valid UTF-8.
        if (head + tail == n - 1 && notes.startsWith(oldNotes))
            QVERIFY(changed->line(head).startsWith(original->line(head)));
        if (change.endsWith(QLatin1String("override"))) {
            QCOMPARE(head + tail, n);
            QCOMPARE(changed->calendar().children.size(), original->calendar().children.size() + 1);
            for (const char *name : {"BEGIN", "END", "RECURRENCE-ID", "DTSTART", "DESCRIPTION"})
                QCOMPARE(added.count(QString::fromLatin1(name)), 1);
            QCOMPARE(added.count(QStringLiteral("RRULE")) + added.count(QStringLiteral("EXDATE")), 0);
        } else {
            QCOMPARE(added, QStringList {QStringLiteral("DESCRIPTION")});
        }
    }

    // What happened to the file between reading an occurrence and saving it: a change made
    // elsewhere, a failed write or a removal refuse the save and leave the file as it was; the
    // store's own save of another occurrence does not.
    void saveAfter_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("code");
        row("own save of another occurrence", "own", int(CalendarStore::NoError));
        row("changed on disk since read", "changed", int(CalendarStore::ChangedOnDisk));
        row("disk full", "full", int(CalendarStore::WriteFailed));
        row("file removed", "removed", int(CalendarStore::EventNotFound));
    }
    void saveAfter()
    {
        QFETCH(QString, how);
        QFETCH(int, code);
        const QString file = path(QStringLiteral("work/google-standup.ics"));
        const QDate day(2010, 3, 12), nextWeek(2010, 3, 19);
        const Event event = find(day, QStringLiteral("Standup")), other = find(nextWeek, QStringLiteral("Standup"));
        if (how == QLatin1String("own"))
            QVERIFY(save(other, QStringLiteral("(*)")));
        else if (how == QLatin1String("changed")) // still a well-formed file
            m_home->writeFile(QStringLiteral(".local/share/calendars/work/google-standup.ics"),
                              readFile(file).replace("CALSCALE:GREGORIAN\r\n", ""));
        else if (how == QLatin1String("removed"))
            QVERIFY(QFile::remove(file));
        const QByteArray before = readFile(file);
        // A file size limit below the file's size makes the write fail as a full disk does.
        rlimit old {};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit small {how == QLatin1String("full") ? 200 : old.rlim_cur, old.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        CalendarStore::Error error;
        const bool saved = save(event, QStringLiteral("(*)"), &error);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(saved, code == CalendarStore::NoError);
        QCOMPARE(error.code, code);
        if (saved) {
            QCOMPARE(find(day, QStringLiteral("Standup")).notes, QStringLiteral("(*)"));
            QCOMPARE(find(nextWeek, QStringLiteral("Standup")).notes, QStringLiteral("(*)"));
        } else {
            QVERIFY(!error.message.isEmpty());
            QCOMPARE(readFile(file), before);
        }
        QCOMPARE(
            QDir(path(QStringLiteral("work"))).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".tmp")),
            QStringList());
    }

    // A save removes what interrupted saves left in its folder, and nothing that a running save holds.
    void leftoverTemporaries()
    {
        const QString folder = path(QStringLiteral("work"));
        for (const char *name :
             {"/.khal-dinner.ics.ruvelant-dead.tmp", "/.khal-dinner.ics.ruvelant-busy.tmp", "/.other-program.tmp"})
            m_home->writeFile(QStringLiteral(".local/share/calendars/work") + QLatin1String(name), "BEGIN:VCALENDAR\n");
        QFile busy(folder + QStringLiteral("/.khal-dinner.ics.ruvelant-busy.tmp"));
        QVERIFY(busy.open(QIODevice::ReadOnly) && ::flock(busy.handle(), LOCK_EX) == 0);
        QVERIFY(save(find(QDate(2010, 3, 12), QStringLiteral("Standup")), QStringLiteral("(*)")));
        QCOMPARE(
            QDir(folder).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".tmp")),
            (QStringList {QStringLiteral(".khal-dinner.ics.ruvelant-busy.tmp"), QStringLiteral(".other-program.tmp")}));
    }

    // A file that cannot be read is skipped, and a rule that never ends or never matches is cut
    // short; the file is left as it is and the other files are still read.
    void badFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("found"); // occurrences of "Odd" on the day; -1: no more than the cap
        QTest::addColumn<bool>("reported"); // the query tells of a problem with the file
        const QByteArray good = readFile(QFINDTESTDATA("../data/calendars/bad/odd.ics"));
        const auto rule = [text = readFile(QFINDTESTDATA("../data/calendars/bad/rule.ics"))](const char *rrule) {
            return QByteArray(text).replace("@RRULE@", rrule);
        };
        row("truncated without END", good.left(good.size() - 30), 0, true);
        row("empty", QByteArray(), 0, true);
        row("binary junk", QByteArray("\x89PNG\r\n\x1a\n\xff\xfe\x01garbage"), 0, true);
        row("NUL bytes", QByteArray(good).replace("SUMMARY:Odd", QByteArray("SUMMARY:O\0d", 11)), 0, true);
        row("UTF-8 BOM", "\xEF\xBB\xBF" + good, 1, false);
        row("bare CR line ends", QByteArray(good).replace("\r\n", "\r"), 1, false);
        row("override without its master",
            QByteArray(good).replace("UID:odd\r\n", "UID:odd\r\nRECURRENCE-ID:20100305T120000\r\n"), 1, false);
        row("two files with one UID", QByteArray(good).replace("UID:odd", "UID:call"), 1, false);
        row("over the size cap", good + QByteArray(VdirCalendarStore::maxFileSize, '\n'), 0, true);
        row("rule with huge COUNT", rule("FREQ=DAILY;COUNT=1000000000"), 1, true);
        row("SECONDLY without end", rule("FREQ=SECONDLY"), int(VdirCalendarStore::maxOccurrencesPerEvent), true);
        row("INTERVAL=0", rule("FREQ=DAILY;INTERVAL=0"), -1, false);
        row("impossible date", rule("FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30"), 0, false);
        row("impossible SECONDLY", rule("FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=31"), 0, false);
        row("impossible BYSETPOS", rule("FREQ=MONTHLY;BYDAY=MO;BYSETPOS=-9"), 0, false);
    }
    void badFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, found);
        QFETCH(bool, reported);
        // Beside it, copies that are no calendar files: a left-over temporary file and another extension.
        for (const char *name : {"odd.ics", "odd.ics.tmp", "odd.txt"})
            m_home->writeFile(QStringLiteral(".local/share/calendars/home/") + QLatin1String(name), content);
        QSignalSpy problems(m_store.get(), &CalendarStore::problemFound);
        const QStringList titles = described(on(QDate(2010, 3, 5), QDate(2010, 3, 5), QStringLiteral("home")));
        QCOMPARE(problems.size(), reported ? 1 : 0);
        if (reported)
            QVERIFY2(problems.first().first().toString().startsWith(path(QStringLiteral("home/odd.ics")) + u':'),
                     qPrintable(problems.first().first().toString()));
        const int odd = titles.filter(QStringLiteral("Odd ")).size();
        QVERIFY2(found < 0 ? odd <= VdirCalendarStore::maxOccurrencesPerEvent : odd == found,
                 qPrintable(QString::number(odd)));
        QCOMPARE(titles.filter(QStringLiteral("Call 2010-03-05T23:00 ")).size(), 1);
        QCOMPARE(readFile(path(QStringLiteral("home/odd.ics"))), content);
    }

    // A time zone that neither the file nor the zone database defines is read as local time, with
    // one warning that names the file and the zone.
    void unknownZone()
    {
        QSignalSpy spy(m_store.get(), &CalendarStore::problemFound);
        QCOMPARE(on(QDate(2012, 7, 12), QDate(2012, 7, 12), QStringLiteral("imported")).size(), 1);
        QStringList problems; // of this file: a damaged one beside it has its own
        for (const QList<QVariant> &problem : std::as_const(spy))
            problems.append(problem.first().toString());
        QCOMPARE(
            problems.filter(QStringLiteral("/unknown-zone.ics:")),
            QStringList {path(QStringLiteral("imported/unknown-zone.ics"))
                         + QStringLiteral(": the time zone \"FOO\" is not known, its times are read as local time")});
    }

    // A zone that a file defines itself has the database zone's offsets a second before and a
    // second after each of that zone's transitions between the row's days.
    void customZoneOffsets_data()
    {
        dataTable<QString, QString, QString, QString, QString>("calendars/zones.txt",
                                                               {"file", "tzid", "zone", "from", "to"});
    }
    void customZoneOffsets()
    {
        QFETCH(QString, file);
        QFETCH(QString, tzid);
        QFETCH(QString, zone);
        QFETCH(QString, from);
        QFETCH(QString, to);
        const auto text
            = ICalText::parse(readFile(QFINDTESTDATA(QStringLiteral("../data/calendars/") + file)), nullptr);
        QVERIFY(text);
        std::optional<ICalZone> custom;
        for (const ICalText::Component &child : text->calendar().children) {
            if (child.name == "VTIMEZONE" && (!custom || custom->tzid() != tzid.toUtf8()))
                custom = ICalZone::fromComponent(*text, child);
        }
        QVERIFY(custom && custom->tzid() == tzid.toUtf8());
        const QTimeZone reference(zone.toLatin1());
        const auto transitions
            = reference.transitions(QDateTime::fromString(from, Qt::ISODate), QDateTime::fromString(to, Qt::ISODate));
        QVERIFY(transitions.size() >= 2);
        for (const QTimeZone::OffsetData &transition : transitions) {
            for (const QDateTime &at : {transition.atUtc.addSecs(-1), transition.atUtc.addSecs(1)})
                QVERIFY2(custom->offsetAt(at) == reference.offsetFromUtc(at), qPrintable(at.toString(Qt::ISODate)));
        }
    }

    // Calendars are the root's folders, named by their displayname file; added, removed and
    // renamed ones are announced.
    void calendarsAndNotifications()
    {
        QCOMPARE(titles(), QStringLiteral("home=home imported=imported work=Work"));
        QCOMPARE(m_store->calendars().at(0).type, CalendarStore::CalCalendarTypeLocal);
        QVERIFY(!m_store->calendarWithUID(QStringLiteral("gone")));
        QVERIFY(!m_store->calendarWithUID(QStringLiteral("../calendars")));
        QSignalSpy spy(m_store.get(), &CalendarStore::calendarsChangedExternally);
        QVERIFY(QDir(m_home->calendarsPath()).mkdir(QStringLiteral("travel")));
        expectChange(spy, CalendarStore::CalInsertedRecordsKey, QStringLiteral("travel"));
        m_home->writeFile(QStringLiteral(".local/share/calendars/travel/displayname"), "\xEF\xBB\xBFTravel\r\n");
        expectChange(spy, CalendarStore::CalUpdatedRecordsKey, QStringLiteral("travel"));
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/displayname"),
                          "Office"); // as vdirsyncer writes it
        expectChange(spy, CalendarStore::CalUpdatedRecordsKey, QStringLiteral("work"));
        QCOMPARE(m_store->calendarWithUID(QStringLiteral("work"))->title, QStringLiteral("Office"));
        QVERIFY(QDir(path(QStringLiteral("home"))).removeRecursively());
        expectChange(spy, CalendarStore::CalDeletedRecordsKey, QStringLiteral("home"));
        QCOMPARE(titles(), QStringLiteral("imported=imported travel=Travel work=Office"));
        // Calendars that come (or go) together are announced one by one.
        QVERIFY(QDir(m_home->calendarsPath()).mkdir(QStringLiteral("a"))
                && QDir(m_home->calendarsPath()).mkdir(QStringLiteral("b")));
        expectChange(spy, CalendarStore::CalInsertedRecordsKey, QStringLiteral("a"));
        expectChange(spy, CalendarStore::CalInsertedRecordsKey, QStringLiteral("b"));
        QVERIFY(QDir(path(QStringLiteral("a"))).removeRecursively()
                && QDir(path(QStringLiteral("b"))).removeRecursively());
        expectChange(spy, CalendarStore::CalDeletedRecordsKey, QStringLiteral("a"));
        expectChange(spy, CalendarStore::CalDeletedRecordsKey, QStringLiteral("b"));
        m_home->writeFile(QStringLiteral(".local/share/calendars/work/new.ics"), "BEGIN:VCALENDAR\nEND:VCALENDAR\n");
        QVERIFY(!spy.wait(500)); // a new event file is no calendar change
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<VdirCalendarStore> m_store;
};

QTEST_GUILESS_MAIN(TestCalendarStore)
#include "tst_calendarstore.moc"
