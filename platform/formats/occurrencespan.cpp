#include "occurrencespan.h"

#include <KCalendarCore/Event>

#include <algorithm>

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
