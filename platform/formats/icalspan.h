#ifndef RUVELANT_ICALSPAN_H
#define RUVELANT_ICALSPAN_H

#include <QByteArray>

#include <limits>

// The time span that the occurrences of a calendar file's events can cover, read cheaply from
// their DTSTART, DTEND, DURATION, RRULE, RDATE and RECURRENCE-ID lines without KCalendarCore.
// Times are taken as they are written and the span is widened by two days at each end, so that
// no time zone (the file's own ones included) can put an occurrence outside it.
namespace ICalSpan {
// Seconds since the epoch, both ends included.
struct Span
{
    qint64 start = 1;
    qint64 end = 0; // before start: no occurrence at all

    static constexpr qint64 open = std::numeric_limits<qint64>::max();
    // Meets [from, to]: holds some time of it.
    bool meets(qint64 from, qint64 to) const { return start <= to && end >= from; }
};

// The span of the VEVENTs of a calendar file's bytes; open at both ends when a line it needs
// cannot be read, open at the end for a rule without end (or with a COUNT whose end the rule's
// parts make hard to tell). It does not check the file's form: that is for the reading.
Span of(const QByteArray &bytes);

// The seconds since the epoch of a DATE ("yyyyMMdd") or DATE-TIME ("yyyyMMddTHHmmss", any 'Z'
// ignored) value taken as UTC; false when value is neither.
bool readTime(const QByteArray &value, qint64 *seconds, bool *isDate = nullptr);
} // namespace ICalSpan

#endif
