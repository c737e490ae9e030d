#ifndef RUVELANT_MEMORYCALENDARSTORE_H
#define RUVELANT_MEMORYCALENDARSTORE_H

#include "calendarstore.h"

#include <QPair>

#include <algorithm>

// A calendar store held in memory, for tests: set its calendars and events, read back the saves,
// and announce calendar changes with notify().
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
        for (const Calendar &calendar : calendarList) {
            if (calendar.uid == uid) {
                return calendar;
            }
        }
        return std::nullopt;
    }

    // The stored events of the predicate's calendars that overlap its range.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override
    {
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

    // Records the save and, unless failSaves is set, stores the new notes in the matching event.
    bool saveEvent(const Event &event, Span span, Error *error) override
    {
        saves.append(qMakePair(event, span));
        if (failSaves) {
            if (error) {
                *error = Error {WriteFailed, QStringLiteral("saving is switched off in this store")};
            }
            return false;
        }
        for (Event &stored : events) {
            if (stored.origin.uid == event.origin.uid && stored.origin.recurrenceId == event.origin.recurrenceId
                && stored.calendarUid == event.calendarUid) {
                stored.notes = event.notes;
            }
        }
        return true;
    }

    // Announces a change as the real store does when calendars change on disk.
    void notify(const QStringList &inserted, const QStringList &deleted = {}, const QStringList &updated = {})
    {
        QVariantMap userInfo;
        if (!inserted.isEmpty()) {
            userInfo.insert(CalInsertedRecordsKey, inserted);
        }
        if (!deleted.isEmpty()) {
            userInfo.insert(CalDeletedRecordsKey, deleted);
        }
        if (!updated.isEmpty()) {
            userInfo.insert(CalUpdatedRecordsKey, updated);
        }
        Q_EMIT calendarsChangedExternally(userInfo);
    }

    QList<Calendar> calendarList;
    QList<Event> events;
    QList<QPair<Event, Span>> saves;
    bool failSaves = false;
};

#endif
