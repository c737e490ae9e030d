#include "vdiroccurrences.h"

#include "vdircalendarstore.h"

#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QHash>

#include <algorithm>

namespace vdir {
namespace {
// KCalendarCore caches this many occurrences of a COUNT rule and answers wrongly past them.
constexpr int countLimit = 10000;

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
} // namespace

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

const ParsedEvent *findEvent(const ParsedFile &file, const QString &uid, const QDateTime &recurrenceId,
                             const ParsedEvent **master, bool *ambiguous)
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
} // namespace vdir
