#ifndef RUVELANT_REMINDERDECISIONS_H
#define RUVELANT_REMINDERDECISIONS_H

#include "calendarstore.h"
#include "sendjournal.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ComKestramoPreferenceQuorvelModel;

// What a run decides, before it sends or writes anything: the day it reminds, the calendars it
// searches, and for each event found and each of its attendees whether a reminder goes out and,
// when not, why. The agent's run carries these decisions out; the pane's preview shows them. Both
// build them with the functions below, so they cannot disagree.

// The whole local day that a run at now reminds: it lies the given number of days ahead (an
// exact interval, so a change of summer time on the way can move it by a day).
struct ReminderWindow
{
    double secondsDaysBefore = 0;
    QDateTime dayToBeAlerted;
    QDateTime startDate; // 00:00:00 of the day (the first existing moment at a change of time)
    QDateTime endDate; // 23:59:59 of the day

    // The local day searched.
    QDate day() const;
};
ReminderWindow reminderWindow(int daysBeforeEventStart, const QDateTime &now);

// One day that a run reminds: its window and, for a day missed (no run completed its reminders:
// the computer was off or asleep, or a change of summer time made the runs' windows step over
// it), the day on which its reminders were due.
struct ReminderDay
{
    ReminderWindow window;
    QDate lateDue; // null for the run's own day
};
// The most days back that a run looks for missed ones.
constexpr int maxMissedDays = 7;
// The days a run at now reminds: its own day first, then every day after lastCompleted (the last
// reminder day that a run completed) and before its own, the whole local day each, at most
// daysBeforeEventStart (and maxMissedDays) days back, the oldest first. Without lastCompleted (no
// run completed a day yet), or with catchUp off, its own day alone.
QList<ReminderDay> reminderDays(int daysBeforeEventStart, const QDateTime &now,
                                const std::optional<QDate> &lastCompleted, bool catchUp);

// An occurrence found for a reminder day, with that day's lateDue.
struct DueEvent
{
    Event event;
    QDate lateDue;
};
// The occurrences that a run handles, in the order it handles them, from what the store gave for
// each reminder day: the late days' first, the oldest first, and only those that have not begun
// at now; then the run's own day's. An occurrence that several days found (the same file, event
// and start) is taken with the earliest of them only; each day's own list stays as it is.
QList<DueEvent> eventsToRemind(const QList<QPair<ReminderDay, QList<Event>>> &found, const QDateTime &now);

// The calendars of the store, in the model's order, that are enabled (or all of the model's
// calendars, when includeDisabled); a calendar removed since the settings were read is left out.
QList<Calendar> calendarsToBeScanned(const ComKestramoPreferenceQuorvelModel &model, const CalendarStore &store,
                                     bool includeDisabled = false);
// The store's calendars with these identifiers, in this order; those it no longer has are left out.
QList<Calendar> calendarsToBeScanned(const QStringList &calendarUids, const CalendarStore &store);
// The identifiers of the model's calendars, in its order: the enabled ones, or all.
QStringList calendarUids(const ComKestramoPreferenceQuorvelModel &model, bool includeDisabled);

// What becomes of one attendee of an event that is reminded.
struct AttendeeDecision
{
    enum Verdict {
        Remind, // a reminder is handed to the mail system
        NoAddress, // the attendee has no "mailto:" address
        OwnAddress, // one of the user's own addresses
        AlreadyHandedOver, // an earlier run handed it over for this occurrence
        RefusedAddress, // the mail system refuses the address as unsafe (the run tries, and logs it)
        ListedTwice, // listed before in the same event (upper and lower case alike): one reminder
        Declined, // answered that they do not come
        Delegated, // handed their place to a delegate, who is an attendee of their own
        RoomOrResource, // a meeting room or a piece of equipment, not a person (it may have a mailbox)
    };
    Attendee attendee;
    QString address; // null when the attendee has no "mailto:" address
    Verdict verdict = Remind;
    QString why; // the refusal, for RefusedAddress
};

// What becomes of one event occurrence of the day.
struct EventDecision
{
    enum Verdict {
        RemindAttendees, // see the attendees' decisions
        AlreadyMarked, // its notes hold the marker of a reminded event
        NoAttendees, // it has no attendee list
        TooManyReminders, // its file would send more reminders than one event file may in one run
        CalendarNotEnabled, // its calendar does not take part (only in a preview)
        DuplicateOccurrence, // the same occurrence (event and start) in another file of its calendar
    };
    Event event;
    Verdict verdict = RemindAttendees;
    QList<AttendeeDecision> attendees; // for RemindAttendees
    int fileReminders = 0; // for TooManyReminders: how many its file would send
    int duplicateOf = -1; // for DuplicateOccurrence: the index of the decision for the copy taken
    QDate lateDue; // for an occurrence of a missed day: the day its reminders were due
};

// What the decisions ask of the run's surroundings; a preview answers without writing anything.
struct DecisionSources
{
    // Whether address is one of the user's own.
    std::function<bool(const QString &address)> isMine;
    // Whether earlier runs handed a reminder to address over for the occurrence, read as version
    // (see SendJournal::handedOver).
    std::function<bool(const SendJournal::Occurrence &occurrence, const QByteArray &version, const QString &address)>
        handedOver;
    // The calendars that take part; events of others are CalendarNotEnabled.
    QSet<QString> enabledCalendars;
};

// The most reminders that the occurrences of one event file may send in one run, all attendees
// together; a file that would send more sends none.
constexpr int maxRemindersPerEventFile = 500;

// The decisions for the events of the day, in their order. One reminder per person and
// occurrence: an address listed again in an event, and an occurrence that a second file of the
// same calendar holds too (a sync tool's conflict copy), are taken once; of the copies, a marked
// one counts, else the first.
QList<EventDecision> decideEvents(const QList<Event> &events, const DecisionSources &sources);
// The same for the occurrences of several reminder days, each decision with its event's lateDue.
QList<EventDecision> decideEvents(const QList<DueEvent> &events, const DecisionSources &sources);

// What the attendee's answer to the invitation (PARTSTAT) makes of their reminder: Declined, or
// Delegated; Remind for NEEDS-ACTION, TENTATIVE, ACCEPTED, no answer and any other.
AttendeeDecision::Verdict participationVerdict(const Attendee &attendee);
// Whether the attendee is a room or a resource (CUTYPE), not a person to remind.
bool isRoomOrResource(const Attendee &attendee);

// The occurrence as the send journal knows it: calendar, event, and its original start.
SendJournal::Occurrence journalOccurrence(const Event &event);
// The same as one text, equal for the copies of the occurrence in several files of its calendar.
QString occurrenceText(const SendJournal::Occurrence &occurrence);
// The file an event comes from, which the bound on reminders per event file counts by.
QString sourceOf(const Event &event);
// Whether the event's notes hold the marker of a reminded event.
bool isMarked(const Event &event);

// A verdict as one word ("alreadyMarked", "noAddress"...): for scripts, and the end of the key of
// the text that tells it ("PreviewAlreadyMarked"). A new verdict makes the compiler ask for its
// word here.
const char *verdictName(EventDecision::Verdict verdict);
const char *verdictName(AttendeeDecision::Verdict verdict);
// The marker appended to the notes of a reminded event.
QString notifiedMarker();
// The notes without the marker: each "(*)" goes, with the space that marking put before it (or,
// at the start, the one after it); null notes stay null.
QString unmarkedNotes(const QString &notes);

#endif
