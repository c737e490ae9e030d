#include "vdircalendarstore.h"

#include "calendarindex.h"
#include "folderlisting.h"
#include "icalreader.h"
#include "icalspan.h"
#include "icaltext.h"
#include "parallel.h"
#include "regularfile.h"
#include "watchedpaths.h"

#include <KCalendarCore/Event>
#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLocale>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCalendarStore, "ruvelant.calendarstore")

namespace {
// KCalendarCore caches this many occurrences of a COUNT rule and answers wrongly past them.
constexpr int countLimit = 10000;
// How far a floating or all-day time moves between two time zones (UTC-12:00 to UTC+14:00).
constexpr qint64 zoneRange = 26 * 3600;
// How far ahead the index lists the occurrences of a repeating event: a run looks at one day, at
// most a week ahead, every half hour, so one reading serves a month of runs.
constexpr qint64 indexWindow = 35 * 86400;
// A file whose times lie this close to now (nanoseconds), before or after, is not trusted yet.
constexpr qint64 settleTime = 2000000000LL;

// One VEVENT of a file, parsed.
struct ParsedEvent
{
    int child = 0; // index among the VCALENDAR's components
    KCalendarCore::Event::Ptr event;
    QString uid;
    bool hasDescription = false;
    bool cancelled = false; // STATUS:CANCELLED
    std::optional<QList<Attendee>> attendees;
    std::shared_ptr<const ICalZone> zone; // the file's own zone of DTSTART, if any
    QByteArray version; // see Event::Origin::version
};

struct ParsedFile
{
    QString path;
    QByteArray fingerprint;
    ICalText text;
    ICalReader reader;
    QList<ParsedEvent> events;
};

QByteArray fingerprintOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + '-' + QByteArray::number(bytes.size());
}

// The version of a component (see Event::Origin::version): its content lines and those of the
// components it holds (alarms), unfolded, with their names in upper case, in any order (a server
// that stores the event anew may sort them), but DTSTAMP: a program that copies the event or
// writes it out anew sets it to the moment it does so (RFC 5545 3.8.7.2), though nobody edited it.
// An edit in a calendar program changes LAST-MODIFIED or SEQUENCE, and the edited property.
QByteArray versionOf(const ICalText &text, const ICalText::Component &component)
{
    QList<QByteArray> lines;
    for (int index = component.begin + 1; index < component.end; ++index) {
        const QByteArray &line = text.line(index);
        const QByteArray name = ICalText::name(line);
        if (name == "DTSTAMP")
            continue;
        const QByteArray parameters = ICalText::parameters(line);
        lines.append(name + (parameters.isEmpty() ? QByteArray() : ';' + parameters) + ':' + ICalText::value(line));
    }
    std::sort(lines.begin(), lines.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &line : std::as_const(lines)) {
        hash.addData(line);
        hash.addData("\n", 1);
    }
    return hash.result().toHex().left(32);
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// A collection identifier that names a folder right below the root.
bool isCollectionName(const QString &uid)
{
    return !uid.isEmpty() && !uid.startsWith(QLatin1Char('.')) && !uid.contains(QLatin1Char('/'));
}

bool readBytes(const QString &path, QByteArray *bytes, QString *error)
{
    return RegularFile::read(path, VdirCalendarStore::maxFileSize, bytes, error);
}

// A URL with its scheme in lower case, the canonical form ("MAILTO:x" is "mailto:x", as Outlook
// and Exchange write it); the rest as it is, and a text without a scheme unchanged.
QString withLowerCaseScheme(QString url)
{
    const int colon = url.indexOf(QLatin1Char(':'));
    const auto isSchemeCharacter = [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') || c == QLatin1Char('-')
            || c == QLatin1Char('.');
    };
    if (colon < 1 || !url.at(0).isLetter() || url.at(0).unicode() > 0x7F
        || !std::all_of(url.cbegin(), url.cbegin() + colon, isSchemeCharacter))
        return url;
    return url.left(colon).toLower() + url.mid(colon);
}

// Of overrides of one occurrence (one UID and RECURRENCE-ID, as revisions that a sync or an
// import left side by side), the one with the highest SEQUENCE (RFC 5545 3.8.7.4), then the
// latest DTSTAMP, then the later in the file is the occurrence; the others are not read.
void dropSupersededOverrides(ParsedFile *file)
{
    const auto revision = [file](const ParsedEvent &parsed) {
        qint64 stamp = std::numeric_limits<qint64>::min();
        for (int index : file->text.calendar().children.at(parsed.child).properties) {
            if (ICalText::name(file->text.line(index)) == "DTSTAMP")
                ICalSpan::readTime(ICalText::value(file->text.line(index)), &stamp);
        }
        return std::make_pair(parsed.event->revision(), stamp);
    };
    QList<ParsedEvent> kept;
    QHash<QString, int> overrides; // UID and RECURRENCE-ID -> index in kept
    for (const ParsedEvent &parsed : std::as_const(file->events)) {
        const QDateTime recurrenceId = parsed.event->recurrenceId();
        const QString key = parsed.uid + QLatin1Char('\n')
            + (parsed.event->allDay() ? recurrenceId.date().toString(Qt::ISODate)
                                      : QString::number(recurrenceId.toSecsSinceEpoch()));
        const auto same = parsed.event->hasRecurrenceId() ? overrides.constFind(key) : overrides.cend();
        if (same == overrides.cend()) {
            if (parsed.event->hasRecurrenceId())
                overrides.insert(key, kept.size());
            kept.append(parsed);
        } else if (revision(parsed) >= revision(kept.at(same.value()))) {
            kept[same.value()] = parsed;
        }
    }
    file->events = kept;
}

// The VEVENTs of a file. A VEVENT that KCalendarCore cannot read is left out with a warning, and
// so is each time zone that the file names but nobody defines, and what the file's reading
// passed over; nullopt when the file as a whole is not an iCalendar object.
ParsedFile parseText(const QString &path, const QByteArray &bytes, const ICalText &text, QStringList *warnings)
{
    ParsedFile file {path, fingerprintOf(bytes), text, ICalReader(text), {}};
    if (!text.problems().isEmpty())
        warnings->append(QStringLiteral("%1: the file %2").arg(path, text.problems().join(QLatin1String("; "))));
    QSet<QByteArray> unknownZones;
    const QList<ICalText::Component> &children = file.text.calendar().children;
    for (int c = 0; c < children.size(); ++c) {
        const ICalText::Component &component = children.at(c);
        if (component.name != "VEVENT")
            continue;
        ParsedEvent parsed;
        parsed.event = file.reader.event(component, &unknownZones);
        if (!parsed.event) {
            warnings->append(QStringLiteral("%1: skipping the event at line %2, it cannot be read")
                                 .arg(path)
                                 .arg(component.begin + 1));
            continue;
        }
        parsed.child = c;
        parsed.zone = file.reader.startZone(component);
        parsed.version = versionOf(file.text, component);
        parsed.cancelled = parsed.event->status() == KCalendarCore::Incidence::StatusCanceled;
        for (int index : component.properties) {
            const QByteArray &line = file.text.line(index);
            const QByteArray name = ICalText::name(line);
            if (name == "DESCRIPTION") {
                parsed.hasDescription = true;
            } else if (name == "UID") {
                parsed.uid = file.text.decode(ICalText::value(line)).trimmed();
            } else if (name == "ATTENDEE") {
                if (!parsed.attendees)
                    parsed.attendees.emplace();
                parsed.attendees->append({withLowerCaseScheme(file.text.decode(ICalText::value(line)).trimmed()),
                                          file.text.decode(ICalText::parameter(line, "CN")),
                                          file.text.decode(ICalText::parameter(line, "PARTSTAT")),
                                          file.text.decode(ICalText::parameter(line, "CUTYPE"))});
            }
        }
        file.events.append(parsed);
    }
    dropSupersededOverrides(&file);
    QList<QByteArray> zones = unknownZones.values();
    std::sort(zones.begin(), zones.end());
    for (const QByteArray &zone : std::as_const(zones)) {
        warnings->append(QStringLiteral("%1: the time zone \"%2\" is not known, its times are read as local time")
                             .arg(path, file.text.decode(zone)));
    }
    return file;
}

std::optional<ParsedFile> parseFile(const QString &path, const QByteArray &bytes, QString *error, QStringList *warnings)
{
    const std::optional<ICalText> text = ICalText::parse(bytes, error);
    if (!text)
        return std::nullopt;
    return parseText(path, bytes, *text, warnings);
}

// Start and end of the occurrence of event that begins at start, in local time. An all-day
// occurrence runs from local midnight of its first day to local midnight after its last day.
std::pair<QDateTime, QDateTime> occurrenceSpan(const KCalendarCore::Event &event, const QDateTime &start)
{
    if (event.allDay()) {
        const QDate first = start.date();
        qint64 days = 1;
        if (event.dtEnd().isValid())
            days = std::max<qint64>(1, event.dtStart().date().daysTo(event.dtEnd().date()) + 1);
        return {QDateTime(first, QTime(0, 0), Qt::LocalTime),
                QDateTime(first.addDays(days), QTime(0, 0), Qt::LocalTime)};
    }
    qint64 seconds = 0;
    if (event.dtEnd().isValid())
        seconds = std::max<qint64>(0, event.dtStart().secsTo(event.dtEnd()));
    return {start.toLocalTime(), start.addSecs(seconds).toLocalTime()};
}

// An occurrence overlaps the range when it starts before the range ends and ends after the
// range starts; an occurrence without length counts when it starts inside the range.
bool overlaps(const std::pair<QDateTime, QDateTime> &span, const QDateTime &rangeStart, const QDateTime &rangeEnd)
{
    if (span.first >= rangeEnd)
        return false;
    return span.second > rangeStart || (span.second <= span.first && span.first >= rangeStart);
}

bool sameOccurrence(const QDateTime &a, const QDateTime &b, bool allDay)
{
    return allDay ? a.date() == b.date() : a == b;
}

Event makeEvent(const ParsedFile &file, const ParsedEvent &parsed, const QString &calendarUid,
                const std::pair<QDateTime, QDateTime> &span, const QDateTime &recurrenceId)
{
    Event event;
    event.title = parsed.event->summary();
    event.startDate = span.first;
    event.endDate = span.second;
    if (parsed.hasDescription) {
        event.notes = parsed.event->description();
        if (event.notes.isNull())
            event.notes = QLatin1String("");
    }
    event.attendees = parsed.attendees;
    event.calendarUid = calendarUid;
    event.origin.filePath = file.path;
    event.origin.uid = parsed.uid;
    event.origin.recurrenceId = recurrenceId;
    event.origin.fingerprint = file.fingerprint;
    event.origin.version = parsed.version;
    return event;
}

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

// One occurrence: the component it takes its properties from, its span, and for an occurrence of
// a repeating event, the time the rule gives it (its RECURRENCE-ID).
struct Occurrence
{
    const ParsedEvent *source = nullptr;
    std::pair<QDateTime, QDateTime> span;
    QDateTime recurrenceId;
};

// The occurrence of master's series that the rule gives at time. From a RANGE=THISANDFUTURE
// override on, the latest such override before time gives the properties, and moves and sizes
// the occurrence as it moved and sized its own; an RDATE with a PERIOD gives its own end.
Occurrence occurrenceAt(const ParsedFile &file, const ParsedEvent &master, const QDateTime &time)
{
    const ParsedEvent *source = &master;
    for (const ParsedEvent &parsed : file.events) {
        const KCalendarCore::Event &event = *parsed.event;
        if (parsed.uid == master.uid && event.hasRecurrenceId() && event.thisAndFuture() && event.recurrenceId() < time
            && (source == &master || event.recurrenceId() > source->event->recurrenceId()))
            source = &parsed;
    }
    if (source != &master) {
        const KCalendarCore::Event &event = *source->event;
        const QDateTime start = event.allDay()
            ? time.addDays(event.recurrenceId().date().daysTo(event.dtStart().date()))
            : time.addSecs(event.recurrenceId().secsTo(event.dtStart()));
        return {source, occurrenceSpan(event, start), time};
    }
    auto span = occurrenceSpan(*master.event, time);
    const KCalendarCore::Period period = master.event->recurrence()->rDateTimePeriod(time);
    if (!master.event->allDay() && period.isValid() && period.end() >= time)
        span.second = period.end().toLocalTime();
    return {source, span, time};
}

// The times that the rules of parsed give in [from, to]; KCalendarCore may answer outside it.
QList<QDateTime> ruleTimes(const ParsedEvent &parsed, const QDateTime &from, const QDateTime &to)
{
    return parsed.zone ? parsed.zone->timesInInterval(*parsed.event->recurrence(), from, to)
                       : parsed.event->recurrence()->timesInInterval(from, to);
}

// Whether an override of the file replaces the occurrence of master's series at time.
bool isOverridden(const ParsedFile &file, const ParsedEvent &master, const QDateTime &time)
{
    return std::any_of(file.events.cbegin(), file.events.cend(), [&](const ParsedEvent &parsed) {
        return parsed.uid == master.uid && parsed.event->hasRecurrenceId()
            && sameOccurrence(parsed.event->recurrenceId(), time, master.event->allDay());
    });
}

// The first occurrence after the RANGE=THISANDFUTURE override source that still takes its
// properties from it: the first later time of master's rules that no override replaces, unless
// a later such override takes over first. Invalid when there is none.
QDateTime nextInRange(const ParsedFile &file, const ParsedEvent &master, const ParsedEvent &source)
{
    if (!master.event->recurs())
        return {};
    const QDateTime end = master.event->recurrence()->endDateTime();
    // Windows that double from an hour on, so that neither a rule of seconds nor one of years costs much.
    QDateTime from = source.event->recurrenceId().addSecs(1);
    for (qint64 hours = 1; hours <= (qint64(1) << 20) && !(end.isValid() && end < from); hours *= 2) {
        const QDateTime to = from.addSecs(hours * 3600);
        QList<QDateTime> times = ruleTimes(master, from, to);
        std::sort(times.begin(), times.end());
        for (const QDateTime &time : std::as_const(times)) {
            if (time < from || time > to || isOverridden(file, master, time))
                continue;
            return occurrenceAt(file, master, time).source == &source ? time : QDateTime();
        }
        from = to.addSecs(1);
    }
    return {};
}

// Every occurrence of the file's events that overlaps the range; cancelled ones are left out.
// Overrides count by their own start; a repeating event is expanded from before the range by its
// longest length and shift, so that occurrences that began earlier and reach into the range, or
// are moved into it, are found. False when the occurrences of an event were cut short.
bool occurrencesIn(const ParsedFile &file, const QDateTime &rangeStart, const QDateTime &rangeEnd,
                   QList<Occurrence> *out, QStringList *warnings)
{
    bool complete = true;
    QHash<QString, QList<QDateTime>> overridden;
    for (const ParsedEvent &parsed : file.events) {
        if (parsed.event->hasRecurrenceId())
            overridden[parsed.uid].append(parsed.event->recurrenceId());
    }
    for (const ParsedEvent &parsed : file.events) {
        KCalendarCore::Event &event = *parsed.event;
        if (event.hasRecurrenceId() || !event.recurs()) {
            const auto span = occurrenceSpan(event, event.dtStart());
            if (!parsed.cancelled && overlaps(span, rangeStart, rangeEnd))
                out->append({&parsed, span, event.hasRecurrenceId() ? event.recurrenceId() : QDateTime()});
            continue;
        }
        const auto rules = event.recurrence()->rRules();
        for (KCalendarCore::RecurrenceRule *rule : rules) {
            if (rule->duration() > countLimit) {
                warnings->append(QStringLiteral("%1: a rule with COUNT=%2 is treated as endless")
                                     .arg(file.path)
                                     .arg(rule->duration()));
                rule->setDuration(-1);
            }
        }
        // How far before the range an occurrence may start, and how far after, and still overlap it.
        const auto length = occurrenceSpan(event, event.dtStart());
        qint64 before = length.first.secsTo(length.second) + (event.allDay() ? 2 * 86400 : 0), after = 0;
        const auto rDateTimes = event.recurrence()->rDateTimes();
        for (const QDateTime &rdate : rDateTimes) {
            const KCalendarCore::Period period = event.recurrence()->rDateTimePeriod(rdate);
            if (period.isValid())
                before = std::max(before, rdate.secsTo(period.end()));
        }
        for (const ParsedEvent &other : file.events) {
            const KCalendarCore::Event &moved = *other.event;
            if (other.uid == parsed.uid && moved.hasRecurrenceId() && moved.thisAndFuture()) {
                const auto span = occurrenceSpan(moved, moved.dtStart());
                const qint64 shift = moved.recurrenceId().secsTo(span.first);
                before = std::max(before, shift + span.first.secsTo(span.second) + 2 * 86400);
                after = std::max(after, 2 * 86400 - shift);
            }
        }
        const QDateTime from = rangeStart.addSecs(-before), to = rangeEnd.addSecs(after);
        const QList<QDateTime> times = ruleTimes(parsed, from, to);
        const QList<QDateTime> replaced = overridden.value(parsed.uid);
        int count = 0;
        for (const QDateTime &time : times) {
            if (time < from || time > to) // KCalendarCore may answer outside the interval
                continue;
            const bool isReplaced = std::any_of(replaced.cbegin(), replaced.cend(), [&](const QDateTime &recurrenceId) {
                return sameOccurrence(recurrenceId, time, event.allDay());
            });
            if (isReplaced)
                continue;
            const Occurrence occurrence = occurrenceAt(file, parsed, time);
            if (occurrence.source->cancelled || !overlaps(occurrence.span, rangeStart, rangeEnd))
                continue;
            if (++count > VdirCalendarStore::maxOccurrencesPerEvent) {
                warnings->append(QStringLiteral("%1: more than %2 occurrences in the range, the rest are left out")
                                     .arg(file.path)
                                     .arg(VdirCalendarStore::maxOccurrencesPerEvent));
                complete = false;
                break;
            }
            out->append(occurrence);
        }
    }
    return complete;
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

// The value of a DTSTART/DTEND/RECURRENCE-ID line for time, in the form of the given line:
// a date, a UTC time, a time in the line's zone (the file's own one, or zone), or a floating
// (local) time.
QByteArray timeValueLike(const ICalReader &reader, const ICalText::Component &component, const QByteArray &line,
                         const QDateTime &time, const QTimeZone &zone, const QDate &date)
{
    const QByteArray value = ICalText::value(line).trimmed();
    if (ICalText::parameter(line, "VALUE").toUpper() == "DATE" || value.size() == 8)
        return QLocale::c().toString(date, QStringLiteral("yyyyMMdd")).toLatin1();
    const QString format = QStringLiteral("yyyyMMdd'T'HHmmss");
    if (value.endsWith('Z') || value.endsWith('z'))
        return QLocale::c().toString(time.toUTC(), format).toLatin1() + 'Z';
    const QByteArray tzid = ICalText::parameter(line, "TZID");
    if (const auto own = reader.zone(component, tzid))
        return QLocale::c().toString(own->wallClock(time), format).toLatin1();
    if (!tzid.isNull() && zone.isValid())
        return QLocale::c().toString(time.toTimeZone(zone), format).toLatin1();
    return QLocale::c().toString(time.toLocalTime(), format).toLatin1();
}

QByteArray withValue(const QByteArray &line, const QByteArray &value)
{
    return line.left(line.size() - ICalText::value(line).size()) + value;
}

// The line with its name (as written, up to the first ';' or ':') replaced.
QByteArray renamed(const QByteArray &line, const QByteArray &name)
{
    int end = 0;
    while (end < line.size() && line.at(end) != ';' && line.at(end) != ':')
        ++end;
    return name + line.mid(end);
}

bool endsLine(const QByteArray &bytes)
{
    return bytes.endsWith('\n') || bytes.endsWith('\r');
}

// The place for a new property of component: before its first nested component, else before its END.
int propertyInsertionPoint(const ICalText::Component &component)
{
    return component.children.isEmpty() ? component.end : component.children.first().begin;
}

// The DESCRIPTION line of component that is read as its notes: the last one, when there are several.
int descriptionLine(const ICalText &text, const ICalText::Component &component)
{
    int found = -1;
    for (int index : component.properties) {
        if (ICalText::name(text.line(index)) == "DESCRIPTION")
            found = index;
    }
    return found;
}

// The edit that gives the component of parsed the description notes.
ICalText::Edit descriptionEdit(const ParsedFile &file, const ParsedEvent &parsed, const QByteArray &notes)
{
    const ICalText::Component &component = file.text.calendar().children.at(parsed.child);
    const int index = descriptionLine(file.text, component);
    if (index >= 0) {
        const QByteArray &line = file.text.line(index);
        return ICalText::Edit {index, true, file.text.fold(withValue(line, notes), file.text.lineEnd(index))};
    }
    const int at = propertyInsertionPoint(component);
    return ICalText::Edit {at, false, file.text.fold("DESCRIPTION:" + notes, file.text.lineEnd(at - 1))};
}

// The one DTSTART line of a component to be copied. Each DTSTART line would make a RECURRENCE-ID,
// and with several UIDs other programs may take the copy for an occurrence of another event: for
// such a malformed event, nullopt with *error set.
std::optional<QByteArray> singleStartLine(const ICalText &text, const ICalText::Component &component, QString *error)
{
    QByteArray startLine;
    int starts = 0, uids = 0;
    for (int index : component.properties) {
        const QByteArray name = ICalText::name(text.line(index));
        if (name == "DTSTART" && ++starts == 1)
            startLine = text.line(index);
        uids += name == "UID" ? 1 : 0;
    }
    if (starts != 1 || uids != 1) {
        *error = QStringLiteral("the repeating event has %1 DTSTART and %2 UID lines").arg(starts).arg(uids);
        return std::nullopt;
    }
    return startLine;
}

// What overrideEdit adds: an override of one occurrence with new notes, or the rest of a
// RANGE=THISANDFUTURE override's range, from the occurrence on, with its notes as they stand.
enum class Copy { Occurrence, RestOfRange };

// The edit that adds an override of the occurrence recurrenceId: a copy of the component it
// takes its properties from (the master, or a RANGE=THISANDFUTURE override), less repetition
// rules, moved to the occurrence's span. An Occurrence copy comes after the master, with the
// notes and a RECURRENCE-ID of its own; a RestOfRange copy comes after its source and keeps the
// source's RECURRENCE-ID line (its range) with the new time.
std::optional<ICalText::Edit> overrideEdit(const ParsedFile &file, const ParsedEvent &master,
                                           const QDateTime &recurrenceId, const Occurrence &occurrence,
                                           const QByteArray &notes, Copy copy, QString *error)
{
    const bool rest = copy == Copy::RestOfRange;
    const ICalText &text = file.text;
    const ParsedEvent &base = *occurrence.source;
    const ICalText::Component &component = text.calendar().children.at(base.child);
    const KCalendarCore::Event &event = *base.event;
    const QSet<int> own(component.properties.cbegin(), component.properties.cend());
    const std::optional<QByteArray> startLine = singleStartLine(text, component, error);
    if (!startLine)
        return std::nullopt;
    const QTimeZone zone = event.dtStart().timeZone();
    const auto dateOf
        = [&](const QDateTime &time) { return event.allDay() ? time.date() : time.toTimeZone(zone).date(); };
    const QDateTime startTime = occurrence.span.first;
    const QDate startDate = dateOf(startTime);
    const QByteArray start = timeValueLike(file.reader, component, *startLine, startTime, zone, startDate);
    const QByteArray recurrence = timeValueLike(file.reader, component, *startLine, recurrenceId,
                                                master.event->dtStart().timeZone(), dateOf(recurrenceId));
    const QDate rawStartDate = QDate::fromString(QString::fromLatin1(ICalText::value(*startLine).trimmed().left(8)),
                                                 QStringLiteral("yyyyMMdd"));
    const qint64 length = startTime.secsTo(occurrence.span.second);
    // Without DTEND and DURATION the copy would have no length: an occurrence that has one (an
    // RDATE with a PERIOD) gets it as a DURATION.
    const bool hasEnd = std::any_of(component.properties.cbegin(), component.properties.cend(), [&](int index) {
        const QByteArray name = ICalText::name(text.line(index));
        return name == "DTEND" || name == "DURATION";
    });

    QByteArray out;
    const int descriptionAt = propertyInsertionPoint(component);
    const int description = descriptionLine(text, component);
    for (int index = component.begin; index <= component.end; ++index) {
        const QByteArray &line = text.line(index);
        const QByteArray eol = text.lineEnd(index);
        if (index == descriptionAt && description < 0 && !rest)
            out += text.fold("DESCRIPTION:" + notes, eol);
        if (!own.contains(index)) {
            out += text.physical(index);
            continue;
        }
        const QByteArray name = ICalText::name(line);
        if (name == "RECURRENCE-ID" && rest) {
            out += text.fold(withValue(line,
                                       timeValueLike(file.reader, component, line, recurrenceId,
                                                     event.recurrenceId().timeZone(), dateOf(recurrenceId))),
                             eol);
        } else if (name == "RRULE" || name == "RDATE" || name == "EXDATE" || name == "EXRULE"
                   || name == "RECURRENCE-ID") {
            continue;
        } else if (name == "DTSTART") {
            out += text.fold(withValue(line, start), eol);
            if (!rest)
                out += text.fold(renamed(withValue(line, recurrence), "RECURRENCE-ID"), eol);
            if (!hasEnd && !event.allDay() && length > 0)
                out += text.fold("DURATION:PT" + QByteArray::number(length) + 'S', eol);
        } else if (name == "DTEND") {
            const QDate rawEndDate = QDate::fromString(QString::fromLatin1(ICalText::value(line).trimmed().left(8)),
                                                       QStringLiteral("yyyyMMdd"));
            const QDate endDate = startDate.addDays(
                rawStartDate.isValid() && rawEndDate.isValid() ? rawStartDate.daysTo(rawEndDate) : 1);
            const QDateTime endTime = startTime.addSecs(length);
            out += text.fold(
                withValue(line,
                          timeValueLike(file.reader, component, line, endTime, event.dtEnd().timeZone(), endDate)),
                eol);
        } else if (name == "DURATION" && !event.allDay() && length != event.dtStart().secsTo(event.dtEnd())) {
            out += text.fold(withValue(line, "PT" + QByteArray::number(length) + 'S'), eol);
        } else if (index == description && !rest) {
            out += text.fold(withValue(line, notes), eol);
        } else if (name != "DESCRIPTION" || rest) { // an Occurrence copy has one, with the notes
            out += text.physical(index);
        }
    }
    // After the last line of a bare file, which may lack its line end.
    const int at = text.calendar().children.at(rest ? base.child : master.child).end + 1;
    if (at == text.lineCount() && !endsLine(text.physical(at - 1)))
        out.prepend(text.lineEnd(at - 1));
    if (!endsLine(out))
        out += text.lineEnd(component.end);
    return ICalText::Edit {at, false, out};
}

// The edits that put bare components into a VCALENDAR, around the edits that add a component
// (two top-level components are no iCalendar object that other programs read). Nothing else is
// added: the file gains no VERSION or PRODID it did not have.
QList<ICalText::Edit> wrapped(const ICalText &text, QList<ICalText::Edit> edits)
{
    const QByteArray eol = text.lineEnd(0);
    // An unended last line is ended by an edit that comes after it.
    const bool open = !endsLine(text.physical(text.lineCount() - 1))
        && std::none_of(edits.cbegin(), edits.cend(),
                        [&](const ICalText::Edit &edit) { return edit.at == text.lineCount(); });
    edits.prepend({0, false, "BEGIN:VCALENDAR" + eol});
    edits.append({int(text.lineCount()), false, (open ? eol : QByteArray()) + "END:VCALENDAR" + eol});
    return edits;
}

// The line without its RANGE parameter; a quoted parameter value may hold ';'.
QByteArray withoutRange(const QByteArray &line)
{
    int end = 0;
    while (end < line.size() && line.at(end) != ';' && line.at(end) != ':')
        ++end;
    QByteArray out = line.left(end), parameter;
    bool quoted = false;
    for (const char c : ICalText::parameters(line) + ';') {
        quoted = c == '"' ? !quoted : quoted;
        if (c != ';' || quoted) {
            parameter += c;
            continue;
        }
        if (!parameter.isEmpty() && !parameter.toUpper().startsWith("RANGE="))
            out += ';' + parameter;
        parameter.clear();
    }
    return out + ':' + ICalText::value(line);
}

// The temporary files of saves are named ".<file>.ruvelant-<random>.tmp" and locked (flock) by
// the save that writes them, for as long as it runs.
bool isSaveTemporary(const char *name, std::size_t length)
{
    constexpr char tag[] = ".ruvelant-";
    return length > 4 && name[0] == '.' && std::memcmp(name + length - 4, ".tmp", 4) == 0
        && std::search(name, name + length, tag, tag + sizeof tag - 1) != name + length;
}

// Removes, of the named files in folder, the temporary files that saves left behind when they
// were interrupted (a crash, a kill): those that no running save holds locked.
void removeLeftoverTemporaries(const QString &folder, const QList<QByteArray> &names)
{
    for (const QByteArray &name : names) {
        const QByteArray path = QFile::encodeName(folder) + '/' + name;
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            qCInfo(lcCalendarStore, "%s: removing what an interrupted save left behind", path.constData());
            ::unlink(path.constData());
        }
        ::close(fd);
    }
}

// A new, empty file beside target (".<name>.ruvelant-<random>.tmp", mode 0600), locked so that
// a later save can tell a left-over one and remove it. Its descriptor and in *temporary its path;
// -1 with errno set when none can be made.
int createLockedTemporary(const QFileInfo &target, QByteArray *temporary)
{
    const QByteArray folder = QFile::encodeName(target.absolutePath());
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        *temporary = folder + "/." + QFile::encodeName(target.fileName()) + ".ruvelant-"
            + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        fd = ::open(temporary->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
        struct stat made
        {
        };
        struct stat named
        {
        };
        // Locked, and still under its name (a cleaner of another process may have come between).
        if (fd >= 0
            && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &made) != 0
                || ::stat(temporary->constData(), &named) != 0 || made.st_ino != named.st_ino)) {
            ::close(fd);
            fd = -1;
        }
    }
    return fd;
}

// Writes bytes into the new file fd with the owner and mode of old, and flushes it to disk.
// What failed (errno tells why) or an empty text; *made is the new file's status.
QString writeLike(int fd, const QByteArray &bytes, const struct stat &old, struct stat *made)
{
    if (!RegularFile::writeAll(fd, bytes))
        return QStringLiteral("cannot write the new content");
    if (::fstat(fd, made) != 0)
        return QStringLiteral("cannot examine the new file");
    if ((made->st_uid != old.st_uid || made->st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return QStringLiteral("cannot keep the file's owner");
    if (::fchmod(fd, old.st_mode & 07777) != 0)
        return QStringLiteral("cannot keep the file's mode");
    if (::fsync(fd) != 0)
        return QStringLiteral("cannot flush the new content");
    return QString();
}

// How putInPlace() came out.
enum class Placing { Done, Changed, Failed };

// Puts the written file at temporary (its status made) in target's place, if target still holds
// the content whose fingerprint is expected. Where the file system can swap two names in one step
// (renameat2 with RENAME_EXCHANGE), the new file takes the old one's place that way and the
// content it replaced is checked afterwards: when it is not what was read, the swap is undone, so
// that the other program's write stays (Changed). Elsewhere the content is checked right before
// rename(2): a write in the microseconds between is lost. Failed: errno tells why, and *removed
// whether target was removed meanwhile. The temporary file is gone afterwards, but on Failed.
Placing putInPlace(const QByteArray &temporary, const QByteArray &targetPath, const struct stat &made,
                   const QByteArray &expected, bool *removed)
{
    const auto holdsExpected = [&](const QByteArray &path) {
        QByteArray content;
        QString why;
        return RegularFile::read(QFile::decodeName(path), VdirCalendarStore::maxFileSize, &content, &why)
            && fingerprintOf(content) == expected;
    };
    const auto isOurs = [&](const QByteArray &path) {
        struct stat named
        {
        };
        return ::stat(path.constData(), &named) == 0 && named.st_ino == made.st_ino && named.st_dev == made.st_dev;
    };
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE) == 0) {
        // The temporary name now holds what the file held at the moment of the swap.
        if (!holdsExpected(temporary)) {
            // Their file back in its place, unless they replaced ours already (then theirs is there).
            if (isOurs(targetPath)
                && ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE) == 0
                && !isOurs(temporary)) {
                // Written yet again in the microseconds between: the newest back in place.
                ::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, targetPath.constData(), RENAME_EXCHANGE);
            }
            if (isOurs(temporary))
                ::unlink(temporary.constData());
            return Placing::Changed;
        }
        ::unlink(temporary.constData());
        return Placing::Done;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        *removed = errno == ENOENT;
        return Placing::Failed;
    }
    if (!holdsExpected(targetPath)) {
        ::unlink(temporary.constData());
        return Placing::Changed;
    }
    return ::rename(temporary.constData(), targetPath.constData()) == 0 ? Placing::Done : Placing::Failed;
}

// Flushes the folder's entries to disk, so that a new name in it survives a crash.
void flushFolder(const QByteArray &folder, const QString &target)
{
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0)
        qCWarning(lcCalendarStore, "%s: cannot flush the folder: %s", qPrintable(target), qPrintable(errnoText()));
    if (dir >= 0)
        ::close(dir);
}

// Replaces the file at target with bytes, if it still holds the content whose fingerprint is
// expected: a new file in the same folder, with the old file's mode and owner, flushed to disk,
// put in the old one's place (see putInPlace); then the folder is flushed. The new file is locked
// while it is written, so that a later save can tell a left-over one and remove it. *changed is
// set when another program wrote or removed the file meanwhile.
bool replaceFile(const QString &target, const QByteArray &bytes, const QByteArray &expected, bool *changed,
                 QString *error)
{
    *changed = false;
    const QByteArray targetPath = QFile::encodeName(target);
    struct stat old
    {
    };
    if (::stat(targetPath.constData(), &old) != 0) {
        *error = errnoText();
        return false;
    }
    const QFileInfo info(target);
    QByteArray temporary;
    const int fd = createLockedTemporary(info, &temporary);
    if (fd < 0) {
        *error = QStringLiteral("cannot create a file in %1: %2").arg(info.absolutePath(), errnoText());
        return false;
    }
    struct stat made
    {
    };
    QString failed = writeLike(fd, bytes, old, &made);
    Placing placing = Placing::Failed;
    if (failed.isEmpty()) {
        placing = putInPlace(temporary, targetPath, made, expected, changed);
        if (placing == Placing::Failed)
            failed = QStringLiteral("cannot replace the file");
    }
    if (!failed.isEmpty()) {
        *error = failed + QStringLiteral(": ") + errnoText();
        ::unlink(temporary.constData());
        ::close(fd);
        return false;
    }
    ::close(fd); // the content is on disk (fsync above); this only releases the lock
    if (placing == Placing::Changed) {
        *changed = true;
        *error = QStringLiteral("another program wrote the file while it was saved");
        return false;
    }
    flushFolder(QFile::encodeName(info.absolutePath()), target);
    return true;
}

// The component of the occurrence (uid, recurrenceId), and in *master the series it belongs to.
// *ambiguous (when given) tells whether the file holds more than one such component or series,
// so that a save cannot tell which one is meant.
const ParsedEvent *findEvent(const ParsedFile &file, const QString &uid, const QDateTime &recurrenceId,
                             const ParsedEvent **master, bool *ambiguous = nullptr)
{
    *master = nullptr;
    const ParsedEvent *found = nullptr;
    int masters = 0, overrides = 0;
    for (const ParsedEvent &parsed : file.events) {
        if (parsed.uid != uid)
            continue;
        if (!parsed.event->hasRecurrenceId()) {
            if (++masters == 1)
                *master = &parsed;
        } else if (recurrenceId.isValid()
                   && sameOccurrence(parsed.event->recurrenceId(), recurrenceId,
                                     parsed.event->allDay() || !recurrenceId.time().isValid())) {
            if (++overrides == 1)
                found = &parsed;
        }
    }
    if (ambiguous)
        *ambiguous = masters > 1 || overrides > 1;
    return recurrenceId.isValid() ? found : *master;
}

QString normalizedBreaks(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}
// The edits that put the event's notes into file: into the component found, or as an override
// of the occurrence of master's series; its span (which the edits must keep) in *kept, the number
// of components they add in *added. A RANGE=THISANDFUTURE override found whose range goes on
// is split: it keeps its own occurrence alone, with the notes, and a copy of it carries the
// range on, with its notes, from the next occurrence that takes its properties from it. nullopt
// with *error when they cannot be made.
std::optional<QList<ICalText::Edit>> notesEdit(const ParsedFile &file, const Event &event, const ParsedEvent *found,
                                               const ParsedEvent *master, std::pair<QDateTime, QDateTime> *kept,
                                               int *added, QString *error)
{
    // The notes in UTF-8; the bytes of the notes they extend stay as written, also where they are
    // not valid UTF-8.
    const auto notesFor = [&](const ParsedEvent &parsed) {
        const int line = descriptionLine(file.text, file.text.calendar().children.at(parsed.child));
        return ICalText::encode(ICalText::escapeText(event.notes),
                                line < 0 ? QByteArray() : ICalText::value(file.text.line(line)));
    };
    if (found) {
        *kept = occurrenceSpan(*found->event, found->event->dtStart());
        *added = 0;
        QList<ICalText::Edit> edits {descriptionEdit(file, *found, notesFor(*found))};
        const QDateTime next
            = master && found->event->thisAndFuture() ? nextInRange(file, *master, *found) : QDateTime();
        if (!next.isValid())
            return edits;
        const auto rest
            = overrideEdit(file, *master, next, occurrenceAt(file, *master, next), {}, Copy::RestOfRange, error);
        if (!rest)
            return std::nullopt;
        for (int index : file.text.calendar().children.at(found->child).properties) {
            const QByteArray &line = file.text.line(index);
            if (ICalText::name(line) == "RECURRENCE-ID" && !ICalText::parameter(line, "RANGE").isNull())
                edits.append({index, true, file.text.fold(withoutRange(line), file.text.lineEnd(index))});
        }
        edits.append(*rest);
        *added = 1;
        return edits;
    }
    const Occurrence occurrence = occurrenceAt(file, *master, event.origin.recurrenceId);
    *kept = occurrence.span;
    *added = 1;
    const auto edit = overrideEdit(file, *master, event.origin.recurrenceId, occurrence, notesFor(*occurrence.source),
                                   Copy::Occurrence, error);
    return edit ? std::optional(QList<ICalText::Edit> {*edit}) : std::nullopt;
}

// Whether the edited file check reads back as intended: the same events as file and the added
// ones, the event with its new notes, and its occurrence where it was.
bool readsBack(const ParsedFile &check, const ParsedFile &file, const Event &event, int added,
               const std::pair<QDateTime, QDateTime> &kept)
{
    const ParsedEvent *checkMaster = nullptr;
    const ParsedEvent *checked = findEvent(check, event.origin.uid, event.origin.recurrenceId, &checkMaster);
    return checked && check.events.size() == file.events.size() + added
        && normalizedBreaks(checked->event->description()) == normalizedBreaks(event.notes)
        && occurrenceSpan(*checked->event, checked->event->dtStart()) == kept;
}

} // namespace

VdirCalendarStore::VdirCalendarStore(const QString &root, QObject *parent)
    : CalendarStore(parent)
    , m_root(QDir::cleanPath(root))
    , m_indexPath(CalendarIndex::defaultPath(m_root))
    , m_clock([] { return QDateTime::currentMSecsSinceEpoch() * 1000000LL; })
{
}

void VdirCalendarStore::setClock(const std::function<qint64()> &now)
{
    m_clock = now;
}

void VdirCalendarStore::removeLeftovers(const QString &folder)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0)
        return;
    const QPair<quint64, quint64> id {quint64(info.st_dev), quint64(info.st_ino)};
    auto known = m_leftovers.find(id);
    if (known == m_leftovers.end()) { // a folder that no query listed (reached through a link)
        const auto temporaries = [](const char *name, std::size_t length) {
            return isSaveTemporary(name, length) ? FolderListing::Keep : FolderListing::Skip;
        };
        known = m_leftovers.insert(id, FolderListings({folder}, temporaries)[0].kept());
    }
    removeLeftoverTemporaries(folder, *known);
    known->clear();
}

VdirCalendarStore::~VdirCalendarStore() = default;

QString VdirCalendarStore::titleOf(const QString &uid) const
{
    QString title;
    QByteArray bytes;
    QString error;
    const QString path = m_root + QLatin1Char('/') + uid + QStringLiteral("/displayname");
    if (RegularFile::read(path, 4096, &bytes, &error))
        // The first line; vdirsyncer writes the name without a line break. Drops a byte order mark.
        title = QString::fromUtf8(bytes.indexOf('\n') < 0 ? bytes : bytes.left(bytes.indexOf('\n'))).trimmed();
    else if (QFileInfo::exists(path))
        qCWarning(lcCalendarStore, "%s: not read, %s", qPrintable(path), qPrintable(error));
    return title.isEmpty() ? uid : title;
}

QMap<QString, QString> VdirCalendarStore::scanCalendars() const
{
    QMap<QString, QString> result;
    const QStringList folders = QDir(m_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders)
        result.insert(folder, titleOf(folder));
    return result;
}

QList<Calendar> VdirCalendarStore::calendars() const
{
    QList<Calendar> result;
    const QMap<QString, QString> found = scanCalendars();
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        result.append({it.key(), it.value(), CalCalendarTypeLocal});
    return result;
}

std::optional<Calendar> VdirCalendarStore::calendarWithUID(const QString &uid) const
{
    if (!isCollectionName(uid) || !QFileInfo(m_root + QLatin1Char('/') + uid).isDir())
        return std::nullopt;
    return Calendar {uid, titleOf(uid), CalCalendarTypeLocal};
}

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

bool VdirCalendarStore::saveEvent(const Event &event, Span span, Error *error)
{
    const QString path = event.origin.filePath;
    auto fail = [&](int code, const QString &message) {
        qCWarning(lcCalendarStore, "%s: not saved, %s", qPrintable(path), qPrintable(message));
        if (error)
            *error = Error {code, message};
        return false;
    };
    if (path.isEmpty() || !QFileInfo::exists(path))
        return fail(EventNotFound, QStringLiteral("the event's file is gone"));
    if (span != CalSpanThisEvent && event.origin.recurrenceId.isValid())
        return fail(NotSupported, QStringLiteral("only one occurrence of a repeating event can be saved"));

    // Through a symbolic link: the link stays, its target gets the new content.
    const QString target = QFileInfo(path).canonicalFilePath();
    const QString readOnly = readOnlyReason(target);
    if (!readOnly.isEmpty())
        return fail(ReadOnly, readOnly);
    QByteArray bytes;
    QString message;
    if (!readBytes(target, &bytes, &message))
        return fail(WriteFailed, message);
    const QByteArray current = fingerprintOf(bytes);
    QByteArray known = event.origin.fingerprint;
    const QHash<QByteArray, QByteArray> ownWrites = m_ownWrites.value(target);
    for (int step = 0; known != current && ownWrites.contains(known) && step <= ownWrites.size(); ++step)
        known = ownWrites.value(known);
    if (known != current)
        return fail(ChangedOnDisk, QStringLiteral("the file changed since the event was read"));

    QStringList ignored; // the query that read the event has reported them
    const std::optional<ParsedFile> file = parseFile(target, bytes, &message, &ignored);
    if (!file)
        return fail(WriteFailed, message);
    const ParsedEvent *master = nullptr;
    bool ambiguous = false;
    const ParsedEvent *found = findEvent(*file, event.origin.uid, event.origin.recurrenceId, &master, &ambiguous);
    if (ambiguous)
        return fail(NotSupported, QStringLiteral("the file holds this event more than once"));
    if (!found && !(event.origin.recurrenceId.isValid() && master && master->event->recurs()))
        return fail(EventNotFound, QStringLiteral("the file holds no such event"));
    std::pair<QDateTime, QDateTime> kept; // the occurrence's span, which the edits must keep
    int added = 0; // components
    const auto edits = notesEdit(*file, event, found, master, &kept, &added, &message);
    if (!edits)
        return fail(NotSupported, message);
    if (added && file->text.isBare() && file->text.isDamaged())
        return fail(NotSupported,
                    QStringLiteral("the file holds content beside its events that a VCALENDAR put "
                                   "around them would take in"));
    const QByteArray changed = file->text.bytes(added && file->text.isBare() ? wrapped(file->text, *edits) : *edits);

    // The new content must read back with the new notes, and the occurrence where it was, before
    // it replaces the old.
    const std::optional<ParsedFile> check = parseFile(target, changed, &message, &ignored);
    if (!check || !readsBack(*check, *file, event, added, kept))
        return fail(WriteFailed, QStringLiteral("the edited file would not read back as intended"));

    removeLeftovers(QFileInfo(target).absolutePath());
    bool writtenMeanwhile = false;
    if (!replaceFile(target, changed, current, &writtenMeanwhile, &message))
        return fail(writtenMeanwhile ? ChangedOnDisk : WriteFailed, message);
    m_ownWrites[target].insert(current, check->fingerprint);
    return true;
}

std::optional<Event> VdirCalendarStore::currentEvent(const Event &event)
{
    QByteArray bytes;
    QString error;
    QStringList ignored;
    const QString target = QFileInfo(event.origin.filePath).canonicalFilePath();
    if (target.isEmpty() || !readBytes(target, &bytes, &error))
        return std::nullopt;
    const std::optional<ParsedFile> file = parseFile(event.origin.filePath, bytes, &error, &ignored);
    if (!file)
        return std::nullopt;
    const ParsedEvent *master = nullptr;
    bool ambiguous = false;
    const QDateTime &recurrenceId = event.origin.recurrenceId;
    const ParsedEvent *found = findEvent(*file, event.origin.uid, recurrenceId, &master, &ambiguous);
    if (ambiguous)
        return std::nullopt;
    if (found) {
        const auto span = occurrenceSpan(*found->event, found->event->dtStart());
        if (found->cancelled || (!recurrenceId.isValid() && span.first != event.startDate))
            return std::nullopt;
        return makeEvent(*file, *found, event.calendarUid, span, recurrenceId);
    }
    if (!recurrenceId.isValid() || !master || !master->event->recurs()
        || !master->event->recurrence()->recursAt(recurrenceId))
        return std::nullopt;
    const Occurrence occurrence = occurrenceAt(*file, *master, recurrenceId);
    if (occurrence.source->cancelled)
        return std::nullopt;
    return makeEvent(*file, *occurrence.source, event.calendarUid, occurrence.span, recurrenceId);
}

void VdirCalendarStore::connectNotify(const QMetaMethod &signal)
{
    if (signal == QMetaMethod::fromSignal(&CalendarStore::calendarsChangedExternally))
        startWatching();
}

void VdirCalendarStore::startWatching()
{
    if (m_watcher || m_stopped)
        return;
    m_known = scanCalendars();
    m_watcher = new QFileSystemWatcher(this);
    m_rescanTimer = new QTimer(this);
    m_rescanTimer->setSingleShot(true);
    m_rescanTimer->setInterval(100); // a burst of changes is looked at once
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_rescanTimer, qOverload<>(&QTimer::start));
    connect(m_watcher, &QFileSystemWatcher::fileChanged, m_rescanTimer, qOverload<>(&QTimer::start));
    connect(m_rescanTimer, &QTimer::timeout, this, &VdirCalendarStore::rescan);
    updateWatchedPaths();
}

void VdirCalendarStore::stopWatching()
{
    m_stopped = true;
    delete m_watcher;
    m_watcher = nullptr;
    delete m_rescanTimer;
    m_rescanTimer = nullptr;
}

void VdirCalendarStore::updateWatchedPaths()
{
    QStringList wanted;
    if (QFileInfo(m_root).isDir()) {
        wanted.append(m_root);
        for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
            const QString folder = m_root + QLatin1Char('/') + it.key();
            wanted.append(folder);
            if (QFileInfo::exists(folder + QStringLiteral("/displayname")))
                wanted.append(folder + QStringLiteral("/displayname"));
        }
    } else {
        // Until the root exists, its nearest existing ancestor tells when it appears.
        QString ancestor = m_root;
        while (!QFileInfo(ancestor).isDir() && ancestor != QDir::rootPath())
            ancestor = QFileInfo(ancestor).absolutePath();
        wanted.append(ancestor);
    }
    watchExactly(m_watcher, wanted);
}

void VdirCalendarStore::rescan()
{
    if (!m_watcher)
        return;
    const QMap<QString, QString> now = scanCalendars();
    QStringList inserted, deleted, updated;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto before = m_known.constFind(it.key());
        if (before == m_known.cend())
            inserted.append(it.key());
        else if (before.value() != it.value())
            updated.append(it.key());
    }
    for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
        if (!now.contains(it.key()))
            deleted.append(it.key());
    }
    m_known = now;
    updateWatchedPaths();
    // One notification per calendar: a listener may act on the first identifier of a list alone,
    // and calendars often come and go together (a sync tool adding an account's calendars).
    const QPair<QString, QStringList> changes[]
        = {{CalDeletedRecordsKey, deleted}, {CalInsertedRecordsKey, inserted}, {CalUpdatedRecordsKey, updated}};
    for (const auto &change : changes) {
        for (const QString &uid : change.second)
            Q_EMIT calendarsChangedExternally(QVariantMap {{change.first, QStringList {uid}}});
    }
}
