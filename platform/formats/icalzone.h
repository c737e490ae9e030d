#ifndef RUVELANT_ICALZONE_H
#define RUVELANT_ICALZONE_H

#include "icaltext.h"

#include <QDateTime>
#include <QList>

#include <memory>
#include <optional>

namespace KCalendarCore {
class Recurrence;
class RecurrenceRule;
} // namespace KCalendarCore

// A time zone as one VTIMEZONE of a calendar file defines it: each STANDARD and DAYLIGHT part
// gives the transitions of its DTSTART, its RDATEs and its RRULEs, and nothing else. Used for
// zones whose name the zone database does not know, which no QTimeZone can stand for.
//
// Wall-clock times are given and returned as UTC date-times that hold the local date and time,
// so that they can be compared and expanded without any zone of their own.
class ICalZone
{
public:
    // The zone that the VTIMEZONE component of text defines; nullopt when it has no TZID or no
    // readable STANDARD or DAYLIGHT part.
    static std::optional<ICalZone> fromComponent(const ICalText &text, const ICalText::Component &vtimezone);

    QByteArray tzid() const { return m_tzid; }

    // Seconds east of UTC at an instant. Before the first transition, the offset that the
    // earliest part changes from.
    int offsetAt(const QDateTime &instant) const;
    // The wall-clock time at an instant.
    QDateTime wallClock(const QDateTime &instant) const;
    // The instant of a wall-clock time. A time that a transition skips, or passes twice, is read
    // with the offset in force before the transition (so a repeated time is its first instance).
    QDateTime instant(const QDateTime &wallClock) const;

    // The times in [from, to] of a recurrence that starts at an instant in this zone, expanded in
    // the zone's wall-clock as the rules mean it: a weekly 10:00 stays at 10:00 across transitions.
    QList<QDateTime> timesInInterval(const KCalendarCore::Recurrence &recurrence, const QDateTime &from,
                                     const QDateTime &to) const;

private:
    struct Part
    {
        int offsetFrom = 0;
        int offsetTo = 0;
        QList<qint64> onsets; // UTC seconds of DTSTART and the RDATEs, sorted
        QList<std::shared_ptr<KCalendarCore::RecurrenceRule>> rules; // in wall-clock before the onset
    };
    static std::optional<Part> readPart(const ICalText &text, const ICalText::Component &component);

    QByteArray m_tzid;
    QList<Part> m_parts;
};

#endif
