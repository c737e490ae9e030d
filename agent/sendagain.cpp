#include "sendagain.h"

#include "agentrun.h"
#include "filelock.h"
#include "reminderdecisions.h"

#include <algorithm>

namespace {
// Saves tried while other programs keep rewriting the event's file.
constexpr int maxAttempts = 5;

// Every copy of the occurrence that its calendar holds now. An occurrence is looked for a day
// around its original start: one moved further than that counts as gone.
QList<Event> copiesOf(CalendarStore &store, const SendJournal::Occurrence &occurrence)
{
    const std::optional<Calendar> calendar = store.calendarWithUID(occurrence.calendar);
    if (!calendar || !occurrence.start.isValid()) {
        return {};
    }
    QList<Event> copies = store.eventsWithPredicate(CalendarStore::eventPredicateWithStartDate(
        occurrence.start.addDays(-1), occurrence.start.addDays(1), {*calendar}));
    const QString wanted = occurrenceText(occurrence);
    copies.erase(std::remove_if(copies.begin(), copies.end(),
                                [&](const Event &event) { return occurrenceText(journalOccurrence(event)) != wanted; }),
                 copies.end());
    return copies;
}

// Takes the marker out of the notes of each copy that has one; a copy that another program
// rewrote meanwhile is read again. Empty when done, else why not.
QString removeMarkers(CalendarStore &store, const SendJournal::Occurrence &occurrence)
{
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        bool changed = false;
        for (const Event &copy : copiesOf(store, occurrence)) {
            if (!isMarked(copy)) {
                continue;
            }
            Event unmarked = copy;
            unmarked.notes = unmarkedNotes(copy.notes);
            CalendarStore::Error error;
            if (store.saveEvent(unmarked, CalendarStore::CalSpanThisEvent, &error)) {
                continue;
            }
            if (error.code != CalendarStore::ChangedOnDisk) {
                return error.message;
            }
            changed = true;
        }
        if (!changed) {
            return QString();
        }
    }
    return QStringLiteral("another program keeps changing the event");
}
} // namespace

std::optional<Event> SendAgain::find(CalendarStore &store, const SendJournal::Occurrence &occurrence)
{
    const QList<Event> copies = copiesOf(store, occurrence);
    const auto marked = std::find_if(copies.cbegin(), copies.cend(), isMarked);
    if (marked != copies.cend()) {
        return *marked;
    }
    return copies.isEmpty() ? std::nullopt : std::optional<Event>(copies.first());
}

SendAgain::Refusal SendAgain::refusal(const std::optional<Event> &event, const QDateTime &now,
                                      const QSet<QString> &enabledCalendars)
{
    if (!event) {
        return Refusal::Gone;
    }
    if (event->startDate <= now) {
        return Refusal::Begun;
    }
    return enabledCalendars.contains(event->calendarUid) ? Refusal::None : Refusal::CalendarNotEnabled;
}

QList<Event> SendAgain::requestedEvents(CalendarStore &store, const SendJournal &journal,
                                        const QList<Calendar> &calendars, const QDateTime &now)
{
    QSet<QString> searched;
    for (const Calendar &calendar : calendars) {
        searched.insert(calendar.uid);
    }
    QList<Event> events;
    for (const SendJournal::Occurrence &occurrence : journal.requested()) {
        if (!searched.contains(occurrence.calendar)) {
            continue;
        }
        const std::optional<Event> event = find(store, occurrence);
        if (event && event->startDate > now) {
            events.append(*event);
        }
    }
    return events;
}

SendAgain::Outcome SendAgain::request(CalendarStore &store, const SendJournal::Occurrence &occurrence,
                                      const QDateTime &now, std::chrono::milliseconds lockWait,
                                      const QString &journalPath)
{
    // A run going on compacts the journal and marks events: the two take turns, as runs do.
    const FileLock lock(agentRunLockPath(), lockWait);
    if (lock.timedOut()) {
        return {Outcome::Busy, lock.errorString()};
    }
    SendJournal journal(journalPath);
    QString error;
    if (!journal.open(now, &error) || !journal.requestAgain(occurrence, &error)) {
        return {Outcome::JournalFailed, error};
    }
    // Recorded first: should the marker stay, the event is passed over as marked, and nothing
    // goes out twice.
    const QString why = removeMarkers(store, occurrence);
    if (!why.isEmpty()) {
        return {Outcome::MarkerNotRemoved, why};
    }
    return {};
}
