#include "eventseries.h"

#include "occurrencespan.h"

#include <KCalendarCore/Recurrence>
#include <KCalendarCore/RecurrenceRule>

#include <QHash>

#include <algorithm>

namespace {
bool sameOccurrence(const QDateTime &a, const QDateTime &b, bool allDay)
{
    return allDay ? a.date() == b.date() : a == b;
}

bool overlaps(const std::pair<QDateTime, QDateTime> &span, const QDateTime &rangeStart, const QDateTime &rangeEnd)
{
    if (span.first >= rangeEnd)
        return false;
    return span.second > rangeStart || (span.second <= span.first && span.first >= rangeStart);
}

bool cancelled(const KCalendarCore::Event &event)
{
    return event.status() == KCalendarCore::Incidence::StatusCanceled;
}

// Which of two overrides of one occurrence is the later revision.
bool isLater(const EventSeries::Member &a, const EventSeries::Member &b)
{
    const auto key = [](const EventSeries::Member &member) {
        return std::make_tuple(member.event->revision(), member.event->lastModified(), member.itemId);
    };
    return key(a) > key(b);
}
} // namespace

EventSeries::EventSeries(const QList<Member> &members)
{
    QHash<QString, int> overrides; // RECURRENCE-ID -> index in m_members
    for (const Member &member : members) {
        const KCalendarCore::Event &event = *member.event;
        if (!event.hasRecurrenceId()) {
            m_members.append(member);
            continue;
        }
        const QString key = event.allDay() ? event.recurrenceId().date().toString(Qt::ISODate)
                                           : QString::number(event.recurrenceId().toSecsSinceEpoch());
        const auto same = overrides.constFind(key);
        if (same == overrides.cend()) {
            overrides.insert(key, m_members.size());
            m_members.append(member);
        } else if (isLater(member, m_members.at(same.value()))) {
            m_members[same.value()] = member;
        }
    }
}

std::pair<QDateTime, QDateTime> EventSeries::span(const KCalendarCore::Event &event, const QDateTime &start)
{
    return occurrenceSpan(event, start);
}

QStringList EventSeries::limitCount(KCalendarCore::Event &event)
{
    QStringList warnings;
    if (!event.recurs())
        return warnings;
    const auto rules = event.recurrence()->rRules();
    for (KCalendarCore::RecurrenceRule *rule : rules) {
        if (rule->duration() > countLimit) {
            warnings.append(QStringLiteral("a rule with COUNT=%1 is treated as endless").arg(rule->duration()));
            rule->setDuration(-1);
        }
    }
    return warnings;
}

// The occurrence of master's series that the rule gives at time. From a RANGE=THISANDFUTURE
// override on, the latest such override before time gives the properties, and moves and sizes the
// occurrence as it moved and sized its own; an RDATE with a PERIOD gives its own end.
EventSeries::Occurrence EventSeries::occurrenceAt(const Member &master, const QDateTime &time) const
{
    const Member *source = &master;
    for (const Member &member : m_members) {
        const KCalendarCore::Event &event = *member.event;
        if (event.hasRecurrenceId() && event.thisAndFuture() && event.recurrenceId() < time
            && (source == &master || event.recurrenceId() > source->event->recurrenceId()))
            source = &member;
    }
    if (source != &master) {
        const KCalendarCore::Event &event = *source->event;
        const QDateTime start = event.allDay()
            ? time.addDays(event.recurrenceId().date().daysTo(event.dtStart().date()))
            : time.addSecs(event.recurrenceId().secsTo(event.dtStart()));
        const auto occurrenceSpan = span(event, start);
        return {source, occurrenceSpan.first, occurrenceSpan.second, time};
    }
    auto occurrenceSpan = span(*master.event, time);
    const KCalendarCore::Period period = master.event->recurrence()->rDateTimePeriod(time);
    if (!master.event->allDay() && period.isValid() && period.end() >= time)
        occurrenceSpan.second = period.end().toLocalTime();
    return {source, occurrenceSpan.first, occurrenceSpan.second, time};
}

QList<EventSeries::Occurrence> EventSeries::occurrencesIn(const QDateTime &rangeStart, const QDateTime &rangeEnd,
                                                          const QString &where, QStringList *warnings) const
{
    QList<Occurrence> out;
    for (const Member &member : m_members) {
        const KCalendarCore::Event &event = *member.event;
        if (event.hasRecurrenceId() || !event.recurs()) {
            const auto own = span(event, event.dtStart());
            if (!cancelled(event) && overlaps(own, rangeStart, rangeEnd))
                out.append({&member, own.first, own.second,
                            event.hasRecurrenceId() ? event.recurrenceId() : QDateTime(), true});
            continue;
        }
        // How far before the range an occurrence may start, and how far after, and still overlap it.
        const auto length = span(event, event.dtStart());
        qint64 before = length.first.secsTo(length.second) + (event.allDay() ? 2 * 86400 : 0), after = 0;
        const auto rDateTimes = event.recurrence()->rDateTimes();
        for (const QDateTime &rdate : rDateTimes) {
            const KCalendarCore::Period period = event.recurrence()->rDateTimePeriod(rdate);
            if (period.isValid())
                before = std::max(before, rdate.secsTo(period.end()));
        }
        for (const Member &other : m_members) {
            const KCalendarCore::Event &moved = *other.event;
            if (moved.hasRecurrenceId() && moved.thisAndFuture()) {
                const auto movedSpan = span(moved, moved.dtStart());
                const qint64 shift = moved.recurrenceId().secsTo(movedSpan.first);
                before = std::max(before, shift + movedSpan.first.secsTo(movedSpan.second) + 2 * 86400);
                after = std::max(after, 2 * 86400 - shift);
            }
        }
        const QDateTime from = rangeStart.addSecs(-before), to = rangeEnd.addSecs(after);
        const QList<QDateTime> times = event.recurrence()->timesInInterval(from, to);
        int count = 0;
        for (const QDateTime &time : times) {
            if (time < from || time > to) // KCalendarCore may answer outside the interval
                continue;
            const bool replaced = std::any_of(m_members.cbegin(), m_members.cend(), [&](const Member &other) {
                return other.event->hasRecurrenceId()
                    && sameOccurrence(other.event->recurrenceId(), time, event.allDay());
            });
            if (replaced)
                continue;
            const Occurrence occurrence = occurrenceAt(member, time);
            if (cancelled(*occurrence.source->event)
                || !overlaps({occurrence.start, occurrence.end}, rangeStart, rangeEnd))
                continue;
            if (++count > maxOccurrences) {
                warnings->append(QStringLiteral("%1: more than %2 occurrences in the range, the rest are left out")
                                     .arg(where)
                                     .arg(maxOccurrences));
                break;
            }
            out.append(occurrence);
        }
    }
    return out;
}

const EventSeries::Member *EventSeries::master() const
{
    const auto found = std::find_if(m_members.cbegin(), m_members.cend(),
                                    [](const Member &member) { return !member.event->hasRecurrenceId(); });
    return found == m_members.cend() ? nullptr : &*found;
}

std::optional<EventSeries::Occurrence> EventSeries::occurrence(const QDateTime &recurrenceId, bool *ambiguous) const
{
    const Member *found = nullptr;
    const Member *master = nullptr;
    int masters = 0;
    for (const Member &member : m_members) {
        const KCalendarCore::Event &event = *member.event;
        if (!event.hasRecurrenceId()) {
            if (++masters == 1)
                master = &member;
        } else if (recurrenceId.isValid()
                   && sameOccurrence(event.recurrenceId(), recurrenceId,
                                     event.allDay() || !recurrenceId.time().isValid())) {
            found = &member;
        }
    }
    if (ambiguous)
        *ambiguous = masters > 1;
    if (masters > 1)
        return std::nullopt;
    if (!recurrenceId.isValid())
        found = master;
    if (found) {
        const auto own = span(*found->event, found->event->dtStart());
        return Occurrence {found, own.first, own.second, recurrenceId, true};
    }
    if (!master || !master->event->recurs() || !master->event->recurrence()->recursAt(recurrenceId))
        return std::nullopt;
    return occurrenceAt(*master, recurrenceId);
}
