#ifndef RUVELANT_MEMORYCALENDARSTORE_H
#define RUVELANT_MEMORYCALENDARSTORE_H

#include "calendarstore.h"

#include <QPair>

#include <algorithm>

// A calendar store held in memory, for tests: set its calendars and events, read back the
// queries and the saves (which change nothing).
class MemoryCalendarStore : public CalendarStore
{
public:
    using CalendarStore::CalendarStore;

    // A local calendar (or one of another type).
    static Calendar calendar(const QString &uid, const QString &title, const QString &type = CalCalendarTypeLocal)
    {
        return Calendar {uid, title, type};
    }

    QList<Calendar> calendars() const override { return calendarList; }

    std::optional<Calendar> calendarWithUID(const QString &uid) const override
    {
        const auto it
            = std::find_if(calendarList.cbegin(), calendarList.cend(), [&](const Calendar &c) { return c.uid == uid; });
        return it == calendarList.cend() ? std::nullopt : std::optional<Calendar>(*it);
    }

    // Records the query; the stored events of its calendars that overlap its range.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override
    {
        queries.append(predicate);
        QList<Event> found;
        for (const Event &event : std::as_const(events)) {
            const bool inCalendar = std::any_of(predicate.calendars.cbegin(), predicate.calendars.cend(),
                                                [&](const Calendar &c) { return c.uid == event.calendarUid; });
            if (inCalendar && event.startDate < predicate.endDate && event.endDate > predicate.startDate) {
                found.append(event);
            }
        }
        return found;
    }

    // Records the save; fails when failSaves is set.
    bool saveEvent(const Event &event, Span span, Error *error) override
    {
        saves.append(qMakePair(event, span));
        if (failSaves && error) {
            *error = Error {WriteFailed, QStringLiteral("saving is switched off in this store")};
        }
        return !failSaves;
    }

    QList<Calendar> calendarList;
    QList<Event> events;
    QList<EventPredicate> queries;
    QList<QPair<Event, Span>> saves;
    bool failSaves = false;
};

#endif
