// The store's query of events: its folders listed, their files read through the index, the
// occurrences that meet the range gathered.
#include "vdircalendarstore.h"

#include "calendarindex.h"
#include "folderlisting.h"
#include "icalspan.h"
#include "icaltext.h"
#include "parallel.h"
#include "regularfile.h"
#include "vdirfilereplace.h"
#include "vdiroccurrences.h"
#include "vdirparsedfile.h"

#include <KCalendarCore/Event>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <vector>

using namespace vdir;

namespace {
// How far a floating or all-day time moves between two time zones (UTC-12:00 to UTC+14:00).
constexpr qint64 zoneRange = 26 * 3600;
// How far ahead the index lists the occurrences of a repeating event: a run looks at one day, at
// most a week ahead, every half hour, so one reading serves a month of runs.
constexpr qint64 indexWindow = 35 * 86400;
// A file whose times lie this close to now (nanoseconds), before or after, is not trusted yet.
constexpr qint64 settleTime = 2000000000LL;

// What a look ahead found of a file that the index cannot answer for.
struct Scan
{
    enum State { Untouched, Read, Failed } state = Untouched;
    ICalSpan::Span span; // when read
    QByteArray bytes; // when read and its span meets the range
    QString error; // when it failed
};

// Reads the files [begin, end) of a listing that the index does not know as they are (on a first
// run, every file), and takes their spans, on a few threads at once.
std::vector<Scan> lookAhead(const FolderListing &listing, const CalendarIndex &index, const QByteArray &uid, int begin,
                            int end, qint64 from, qint64 to)
{
    std::vector<Scan> scans(std::size_t(end - begin));
    const std::size_t threads = std::clamp<std::size_t>(std::size_t(end - begin) / 256, 1, Parallel::threads());
    Parallel::run(threads, [&](std::size_t t) {
        const int first = begin + int(qint64(end - begin) * qint64(t) / qint64(threads)),
                  last = begin + int(qint64(end - begin) * qint64(t + 1) / qint64(threads));
        std::size_t cursor = 0;
        for (int i = first; i < last; ++i) {
            const FolderListing::Info &info = listing.info(i);
            if (info.error != 0 || !S_ISREG(info.mode)
                || index.knows(CalendarIndex::keyOf(uid, listing.name(i)),
                               {info.inode, info.size, info.modified, info.changed, info.device}, &cursor))
                continue;
            Scan &scan = scans[std::size_t(i - begin)];
            if (!listing.read(i, VdirCalendarStore::maxFileSize, &scan.bytes, &scan.error)) {
                scan.state = Scan::Failed;
                continue;
            }
            scan.state = Scan::Read;
            scan.span = ICalSpan::of(scan.bytes);
            if (!scan.span.meets(from, to))
                scan.bytes = QByteArray();
        }
    });
    return scans;
}

// Seconds that a time of event can move with the reader's time zone.
qint64 zoneWidening(const KCalendarCore::Event &event)
{
    const bool floating = event.allDay() || event.dtStart().timeSpec() == Qt::LocalTime
        || (event.hasEndDate() && event.dtEnd().timeSpec() == Qt::LocalTime);
    return floating ? zoneRange : 0;
}

// What the index records of a file that was read: the exact span of its single events; for a file
// with a repeating event, its span as the cheap scan gave it and the occurrences that meet
// [from, from + indexWindow], when there are not too many.
void describe(const ParsedFile &file, qint64 from, CalendarIndex::Entry *entry,
              std::vector<CalendarIndex::Occurrence> *window)
{
    qint64 first = ICalSpan::Span::open, last = -ICalSpan::Span::open;
    bool repeats = false;
    for (const ParsedEvent &parsed : file.events) {
        const KCalendarCore::Event &event = *parsed.event;
        if (!event.hasRecurrenceId() && event.recurs()) {
            repeats = true;
            continue;
        }
        const auto span = occurrenceSpan(event, event.dtStart());
        first = std::min(first, span.first.toSecsSinceEpoch() - zoneWidening(event));
        last = std::max(last, span.second.toSecsSinceEpoch() + zoneWidening(event));
    }
    entry->flags = CalendarIndex::Exact;
    entry->windowLength = 0;
    if (!repeats) {
        entry->span = first <= last ? ICalSpan::Span {first, last} : ICalSpan::Span();
        return;
    }
    entry->flags |= CalendarIndex::Repeats;
    // Listed as far as a time zone can move them, so that any zone's reader finds them.
    const QDateTime start = QDateTime::fromSecsSinceEpoch(from, Qt::UTC);
    QList<Occurrence> found;
    QStringList reported; // by the query
    if (!occurrencesIn(file, start.addSecs(-zoneRange), start.addSecs(indexWindow + zoneRange), &found, &reported)
        || found.size() > CalendarIndex::maxOccurrences) {
        entry->flags |= CalendarIndex::Dense;
        return;
    }
    for (const Occurrence &occurrence : std::as_const(found)) {
        const qint64 widening = zoneWidening(*occurrence.source->event);
        const qint64 start = occurrence.span.first.toSecsSinceEpoch() - widening - from,
                     end = occurrence.span.second.toSecsSinceEpoch() + widening - from;
        if (end >= 0 && start <= indexWindow) // within the window, as far as it reaches into it
            window->push_back({quint32(std::max<qint64>(start, 0)), quint32(std::min(end, indexWindow))});
    }
    entry->windowStart = from;
    entry->windowLength = quint32(indexWindow);
}
} // namespace

// One query of the store: the calendars' folders, listed while the index is read; each folder's
// event files, those the index cannot answer for read ahead on helper threads; each file read,
// parsed and expanded into the occurrences that meet the range, and indexed anew when it changed.
class VdirCalendarStore::EventsQuery
{
public:
    EventsQuery(VdirCalendarStore *store, const EventPredicate &predicate)
        : m_store(store)
        , m_predicate(predicate)
        , m_from(predicate.startDate.toSecsSinceEpoch())
        , m_to(predicate.endDate.toSecsSinceEpoch())
        , m_now(store->m_clock())
    {
    }

    QList<Event> run()
    {
        chooseFolders();
        // The folders are listed while the index is read (the temporary files of interrupted saves
        // noted, so that the next save in a folder removes them without listing it again); their
        // event files are stated by helper threads ahead of the run going through them.
        QString problem;
        const FolderListings listings(m_folders, chooseEntry, [&] {
            m_index = CalendarIndex::load(m_store->m_indexPath, m_store->m_root, &problem);
        });
        if (!problem.isEmpty())
            m_warnings.append(problem);
        report();
        QList<Event> result;
        for (int c = 0; c < m_uids.size(); ++c)
            result += calendarEvents(m_uids.at(c), m_folders.at(c), listings[c]);
        QString error;
        if (!m_index.save(&error))
            qCWarning(lcCalendarStore, "%s", qPrintable(error));
        return result;
    }

private:
    // The event files of a folder are stated; the temporary files of interrupted saves kept.
    static FolderListing::Choice chooseEntry(const char *name, std::size_t length)
    {
        if (isSaveTemporary(name, length))
            return FolderListing::Keep;
        const bool event = name[0] != '.' && length >= 4 && qstrnicmp(name + length - 4, ".ics", 4) == 0;
        return event ? FolderListing::Stat : FolderListing::Skip;
    }

    // The folders of the predicate's calendars that are there, each once.
    void chooseFolders()
    {
        for (const Calendar &calendar : m_predicate.calendars) {
            const QString folder = m_store->m_root + QLatin1Char('/') + calendar.uid;
            if (isCollectionName(calendar.uid) && !m_uids.contains(calendar.uid) && QFileInfo(folder).isDir()) {
                m_uids.append(calendar.uid);
                m_folders.append(folder);
            }
        }
    }

    // Every problem is reported as soon as the file that caused it is done with.
    void report()
    {
        for (const QString &warning : std::as_const(m_warnings)) {
            qCWarning(lcCalendarStore, "%s", qPrintable(warning));
            Q_EMIT m_store->problemFound(warning);
        }
        m_warnings.clear();
    }

    // A file changed in the last seconds may change again within its clock's resolution, unseen:
    // it is read again next time rather than trusted. So is one whose time lies just ahead (a
    // clock a little fast); a file stamped further ahead (a clock set back, files copied from a
    // machine whose clock ran ahead) is trusted like any other, since its change time, which no
    // program sets, moves with every change.
    bool settled(qint64 time) const { return time <= m_now - settleTime || time >= m_now + settleTime; }

    // The occurrences in one calendar's folder, in the order of their files' names.
    QList<Event> calendarEvents(const QString &calendarUid, const QString &folder, const FolderListing &listing)
    {
        if (!listing.isListed()) {
            m_warnings.append(
                QStringLiteral("%1: cannot read the calendar folder (%2)").arg(folder, listing.errorString()));
            report();
            return {};
        }
        m_store->m_leftovers.insert({listing.folderDevice(), listing.folderInode()}, listing.kept());
        m_calendarUid = calendarUid;
        m_folder = folder;
        m_uid = QFile::encodeName(calendarUid);
        m_calendarKey = CalendarIndex::calendarOf(m_uid);
        m_found.clear();
        // Only the files whose span (or listed occurrences) meet the range are read; a file whose
        // identity changed since it was indexed, or that is new, is read and indexed anew.
        // Ahead of them, the files that the index cannot answer for are read on a few threads, as
        // long as there are many: a first run's, a new calendar's.
        constexpr int chunk = 4096;
        std::vector<Scan> scans;
        bool ahead = true;
        for (int i = 0; i < listing.count(); ++i) {
            if (i % chunk == 0) {
                const int end = std::min(i + chunk, listing.count());
                scans = ahead ? lookAhead(listing, m_index, m_uid, i, end, m_from, m_to)
                              : std::vector<Scan>(std::size_t(end - i));
                ahead = std::count_if(scans.cbegin(), scans.cend(),
                                      [](const Scan &s) { return s.state != Scan::Untouched; })
                    >= chunk / 64;
            }
            fileEvents(listing, i, scans[std::size_t(i % chunk)]);
            report();
        }
        m_index.dropUnseen(m_uid);
        std::stable_sort(m_found.begin(), m_found.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        QList<Event> events;
        for (const auto &file : std::as_const(m_found))
            events += file.second;
        return events;
    }

    // The occurrences of the listing's file i that meet the range, into m_found; the file's
    // index entry brought up to date.
    void fileEvents(const FolderListing &listing, int i, const Scan &scan)
    {
        const FolderListing::Info &info = listing.info(i);
        const QByteArray name = listing.name(i);
        if (info.error != 0 || !S_ISREG(info.mode)) { // never opened: a FIFO would block the run
            if (info.error != ENOENT) // not just removed since it was listed
                m_warnings.append(QStringLiteral("%1/%2: skipped, %3")
                                      .arg(m_folder, QFile::decodeName(name),
                                           info.error != 0 ? QString::fromLocal8Bit(std::strerror(info.error))
                                                           : RegularFile::refusal(info.mode)));
            return;
        }
        const CalendarIndex::Stamp stamp {info.inode, info.size, info.modified, info.changed, info.device};
        const quint64 key = CalendarIndex::keyOf(m_uid, name);
        const CalendarIndex::Entry *known = m_index.find(key, stamp);
        if (known && !m_index.meets(*known, m_from, m_to))
            return;
        CalendarIndex::Entry entry;
        if (known) {
            entry = *known;
        } else {
            entry.key = key;
            entry.calendar = m_calendarKey;
            entry.stamp = stamp;
        }
        const bool indexed = settled(stamp.modified) && settled(stamp.changed);
        QByteArray bytes = scan.bytes;
        QString error = scan.error;
        if (scan.state == Scan::Failed
            || (scan.state == Scan::Untouched && !listing.read(i, maxFileSize, &bytes, &error))) {
            // Not indexed: it may be readable next time.
            m_warnings.append(QStringLiteral("%1/%2: skipped, %3").arg(m_folder, QFile::decodeName(name), error));
            return;
        }
        if (!known) {
            entry.span = scan.state == Scan::Read ? scan.span : ICalSpan::of(bytes);
            if (!entry.span.meets(m_from, m_to)) {
                if (indexed)
                    m_index.put(entry);
                return;
            }
        }
        const QString path = m_folder + QLatin1Char('/') + QFile::decodeName(name);
        const std::optional<ICalText> text = ICalText::parse(bytes, &error);
        if (!text) {
            m_warnings.append(QStringLiteral("%1: skipped, the file %2").arg(path, error));
            entry.span = ICalSpan::Span(); // reported once, not again until it changes
            entry.flags = CalendarIndex::Exact;
            if (indexed)
                m_index.put(entry);
            return;
        }
        const ParsedFile file = parseText(path, bytes, *text, &m_warnings);
        QList<Occurrence> occurrences;
        occurrencesIn(file, m_predicate.startDate, m_predicate.endDate, &occurrences, &m_warnings);
        QList<Event> events;
        for (const Occurrence &occurrence : std::as_const(occurrences))
            events.append(makeEvent(file, *occurrence.source, m_calendarUid, occurrence.span, occurrence.recurrenceId));
        if (!events.isEmpty())
            m_found.append({QFile::decodeName(name), events});
        if (indexed && needsDescribing(known)) {
            std::vector<CalendarIndex::Occurrence> window;
            describe(file, m_from, &entry, &window);
            m_index.put(entry, window);
        }
    }

    // Whether a file read for this query is indexed anew: it is new or changed, its entry is not
    // exact, or it repeats sparsely and its listed occurrences do not cover the range.
    bool needsDescribing(const CalendarIndex::Entry *known) const
    {
        if (!known || !(known->flags & CalendarIndex::Exact))
            return true;
        const bool windowed = (known->flags & CalendarIndex::Repeats) && known->windowLength > 0
            && m_from >= known->windowStart && m_to <= known->windowStart + qint64(known->windowLength);
        return (known->flags & CalendarIndex::Repeats) && !(known->flags & CalendarIndex::Dense) && !windowed;
    }

    VdirCalendarStore *m_store;
    const EventPredicate &m_predicate;
    const qint64 m_from, m_to, m_now;
    QStringList m_uids, m_folders;
    QStringList m_warnings;
    CalendarIndex m_index;
    // The calendar being gone through.
    QString m_calendarUid, m_folder;
    QByteArray m_uid;
    quint32 m_calendarKey = 0;
    QList<std::pair<QString, QList<Event>>> m_found; // by file name
};

QList<Event> VdirCalendarStore::eventsWithPredicate(const EventPredicate &predicate)
{
    if (!predicate.startDate.isValid() || !predicate.endDate.isValid() || predicate.endDate < predicate.startDate
        || predicate.calendars.isEmpty())
        return {};
    return EventsQuery(this, predicate).run();
}
