// One query of the user's calendar store as the agent makes it: every calendar, one local day.
// Prints the number of occurrences found, the query's wall time in seconds and the process's
// peak resident set size in kilobytes.
#include "calendarstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QDate day = QDate::fromString(app.arguments().value(1), Qt::ISODate);
    if (!day.isValid()) {
        std::fprintf(stderr, "calendarquery: usage: calendarquery YYYY-MM-DD\n");
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    CalendarStore *store = CalendarStore::defaultCalendarStore();
    const QList<Event> events = store->eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
        QDateTime(day, QTime(0, 0)), QDateTime(day, QTime(23, 59, 59)), store->calendars()));
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %.4f %ld\n", int(events.size()), seconds, usage.ru_maxrss);
    return 0;
}
