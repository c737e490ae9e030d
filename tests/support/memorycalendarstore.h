#ifndef RUVELANT_MEMORYCALENDARSTORE_H
#define RUVELANT_MEMORYCALENDARSTORE_H

#include "calendarstore.h"

#include <QMap>
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

    // Records the query; the stored events of its calendars that overlap its range. A calendar of
    // offline is not searched: the query says so.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override
    {
        queries.append(predicate);
        for (const Calendar &calendar : predicate.calendars) {
            if (offline.contains(calendar.uid))
                Q_EMIT calendarUnavailable(calendar.uid, offline.value(calendar.uid));
        }
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

    // Records the save; fails when failSaves is set, or with the next code of saveErrors.
    bool saveEvent(const Event &event, Span span, Error *error) override
    {
        saves.append(qMakePair(event, span));
        const int code = failSaves ? int(WriteFailed) : saveErrors.isEmpty() ? int(NoError) : saveErrors.takeFirst();
        if (code != NoError && error) {
            *error = Error {code, QStringLiteral("saving failed in this store")};
        }
        return code == NoError;
    }

    // The event of the same title (its UID in tests) and start, as eventsNow (when set) or events hold it.
    std::optional<Event> currentEvent(const Event &event) override
    {
        const QList<Event> &now = eventsNow ? *eventsNow : events;
        const auto it = std::find_if(now.cbegin(), now.cend(), [&](const Event &e) {
            return e.origin.uid == event.origin.uid && e.startDate == event.startDate;
        });
        return it == now.cend() ? std::nullopt : std::optional<Event>(*it);
    }

    bool isUnreachable(const QString &uid) const override { return unreachable.contains(uid); }

    QList<Calendar> calendarList;
    QMap<QString, QString> offline; // calendar -> why its queries cannot search it
    QStringList unreachable; // calendars it does not have, but may (their service does not answer)
    QList<Event> events;
    QList<EventPredicate> queries;
    QList<QPair<Event, Span>> saves;
    bool failSaves = false;
    QList<int> saveErrors;
    std::optional<QList<Event>> eventsNow; // the events as another program left them after the query
};

#endif
