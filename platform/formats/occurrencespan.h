#ifndef RUVELANT_OCCURRENCESPAN_H
#define RUVELANT_OCCURRENCESPAN_H

#include <QDateTime>

#include <utility>

namespace KCalendarCore {
class Event;
}

// Start and end of the occurrence of event that begins at start, in local time. An all-day
// occurrence runs from local midnight of its first day to local midnight after its last day.
std::pair<QDateTime, QDateTime> occurrenceSpan(const KCalendarCore::Event &event, const QDateTime &start);

#endif
