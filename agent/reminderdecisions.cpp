#include "reminderdecisions.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "mailapplication.h"
#include "maildelivery.h"

#include <QHash>

#include <algorithm>

namespace {
// The calendar day at the given local time. At a change to summer time that skips this time of
// that day, the first existing moment after it.
QDateTime localTimeOfDay(const QDate &day, const QTime &time)
{
    QDateTime result(day, time, Qt::LocalTime);
    for (int minutes = 1; !result.isValid() && minutes <= 180; ++minutes) {
        result = QDateTime(day, time.addSecs(minutes * 60), Qt::LocalTime);
    }
    return result;
}

bool needsReminders(const Event &event)
{
    return !isMarked(event) && event.attendees;
}

// Why the attendee is not one to remind, whatever their address: a room or resource, or one who
// is not coming; Remind otherwise.
AttendeeDecision::Verdict attendance(const Attendee &attendee)
{
    return isRoomOrResource(attendee) ? AttendeeDecision::RoomOrResource : participationVerdict(attendee);
}

// An occurrence of one event file: the same one found by two queries is the same key.
QString occurrenceKey(const Event &event)
{
    const SendJournal::Occurrence occurrence = journalOccurrence(event);
    return sourceOf(event) + QLatin1Char('\n') + occurrence.event + QLatin1Char('\n')
        + QString::number(occurrence.start.toMSecsSinceEpoch());
}

// The reminders that one event file's occurrences among events would send, all attendees
// together (each address once an occurrence), by file (see sourceOf).
QHash<QString, int> remindersBySource(const QList<Event> &events, const DecisionSources &sources)
{
    QHash<QString, int> reminders;
    for (const Event &event : events) {
        if (!needsReminders(event) || !sources.enabledCalendars.contains(event.calendarUid)) {
            continue;
        }
        QSet<QString> addresses;
        for (const Attendee &attendee : *event.attendees) {
            const QString address = mailFromAttendee(attendee);
            if (!address.isNull() && attendance(attendee) == AttendeeDecision::Remind && !sources.isMine(address)) {
                addresses.insert(address.toCaseFolded());
            }
        }
        reminders[sourceOf(event)] += addresses.size();
    }
    return reminders;
}

// For each event, the index of the event whose copy of the same occurrence is taken: its own
// index, or that of a copy in another file of the calendar (a marked one, else the first).
QList<int> takenCopies(const QList<Event> &events)
{
    QStringList keys;
    QHash<QString, int> taken; // occurrence -> index
    for (int i = 0; i < events.size(); ++i) {
        keys.append(occurrenceText(journalOccurrence(events.at(i))));
        const auto known = taken.constFind(keys.last());
        if (known == taken.cend() || (isMarked(events.at(i)) && !isMarked(events.at(*known)))) {
            taken.insert(keys.last(), i);
        }
    }
    QList<int> copies;
    for (const QString &key : std::as_const(keys)) {
        copies.append(taken.value(key));
    }
    return copies;
}
} // namespace

QString notifiedMarker()
{
    return QStringLiteral("(*)");
}

QString unmarkedNotes(const QString &notes)
{
    QString result = notes;
    for (int at = result.indexOf(notifiedMarker()); at >= 0; at = result.indexOf(notifiedMarker(), at)) {
        int from = at, length = notifiedMarker().size();
        if (at > 0 && result.at(at - 1) == QLatin1Char(' ')) {
            --from;
            ++length;
        } else if (at == 0 && result.size() > length && result.at(length) == QLatin1Char(' ')) {
            ++length;
        }
        result.remove(from, length);
        at = from;
    }
    return result;
}

bool isMarked(const Event &event)
{
    return event.notes.contains(notifiedMarker());
}

ReminderWindow reminderWindow(int daysBeforeEventStart, const QDateTime &now)
{
    ReminderWindow window;
    window.secondsDaysBefore = double(daysBeforeEventStart) * 86400;
    window.dayToBeAlerted = now.addMSecs(qint64(window.secondsDaysBefore) * 1000);
    const QDate day = window.dayToBeAlerted.toLocalTime().date();
    window.startDate = localTimeOfDay(day, QTime(0, 0, 0));
    window.endDate = QDateTime(day, QTime(23, 59, 59), Qt::LocalTime);
    return window;
}

QDate ReminderWindow::day() const
{
    return dayToBeAlerted.toLocalTime().date();
}

QList<ReminderDay> reminderDays(int daysBeforeEventStart, const QDateTime &now,
                                const std::optional<QDate> &lastCompleted, bool catchUp)
{
    const ReminderWindow own = reminderWindow(daysBeforeEventStart, now);
    QList<ReminderDay> days {{own, QDate()}};
    if (!catchUp || !lastCompleted) {
        return days;
    }
    // Every day between the last one completed and the run's own, by the calendar: the exact
    // interval of the window can step over a day at a change of summer time, the days here
    // cannot. Never more than the longest lead the pane offers back: the days before hold only
    // events that have begun, and a lead of a thousand days written by hand does not make a run
    // search a thousand days.
    const QDate ownDay = own.day();
    const int back = std::min(daysBeforeEventStart, maxMissedDays);
    for (QDate day = std::max(lastCompleted->addDays(1), ownDay.addDays(-back)); day < ownDay; day = day.addDays(1)) {
        ReminderWindow window;
        window.secondsDaysBefore = own.secondsDaysBefore;
        window.startDate = localTimeOfDay(day, QTime(0, 0, 0));
        window.dayToBeAlerted = window.startDate;
        window.endDate = QDateTime(day, QTime(23, 59, 59), Qt::LocalTime);
        days.append({window, day.addDays(-daysBeforeEventStart)});
    }
    return days;
}

QList<DueEvent> eventsToRemind(const QList<QPair<ReminderDay, QList<Event>>> &found, const QDateTime &now)
{
    QList<DueEvent> events;
    QSet<QString> taken; // by the days before; a day's own list stays as the store gave it
    const auto take = [&](const ReminderDay &day, const QList<Event> &dayEvents) {
        QSet<QString> found;
        for (const Event &event : dayEvents) {
            const QString key = occurrenceKey(event);
            found.insert(key);
            // A late reminder of an event that has begun comes too late to be of use.
            if ((!day.lateDue.isNull() && event.startDate <= now) || taken.contains(key)) {
                continue;
            }
            events.append({event, day.lateDue});
        }
        taken.unite(found);
    };
    for (const auto &[day, dayEvents] : found) {
        if (!day.lateDue.isNull()) {
            take(day, dayEvents);
        }
    }
    for (const auto &[day, dayEvents] : found) {
        if (day.lateDue.isNull()) {
            take(day, dayEvents);
        }
    }
    return events;
}

AttendeeDecision::Verdict participationVerdict(const Attendee &attendee)
{
    const QString answer = attendee.participationStatus.trimmed().toUpper();
    if (answer == QLatin1String("DECLINED")) {
        return AttendeeDecision::Declined;
    }
    if (answer == QLatin1String("DELEGATED")) {
        return AttendeeDecision::Delegated;
    }
    return AttendeeDecision::Remind;
}

bool isRoomOrResource(const Attendee &attendee)
{
    const QString type = attendee.userType.trimmed().toUpper();
    return type == QLatin1String("ROOM") || type == QLatin1String("RESOURCE");
}

QStringList calendarUids(const ComKestramoPreferenceQuorvelModel &model, bool includeDisabled)
{
    QStringList uids;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        if (includeDisabled || entry->enabled()) {
            uids.append(entry->calendaUID());
        }
    }
    return uids;
}

QList<Calendar> calendarsToBeScanned(const QStringList &calendarUids, const CalendarStore &store)
{
    QList<Calendar> calendars;
    for (const QString &uid : calendarUids) {
        // A calendar removed since the settings were read is simply not searched.
        if (const auto calendar = store.calendarWithUID(uid)) {
            calendars.append(*calendar);
        }
    }
    return calendars;
}

QList<Calendar> calendarsToBeScanned(const ComKestramoPreferenceQuorvelModel &model, const CalendarStore &store,
                                     bool includeDisabled)
{
    return calendarsToBeScanned(calendarUids(model, includeDisabled), store);
}

QString occurrenceText(const SendJournal::Occurrence &occurrence)
{
    return occurrence.calendar + QLatin1Char('\n') + occurrence.event + QLatin1Char('\n')
        + QString::number(occurrence.start.toMSecsSinceEpoch());
}

SendJournal::Occurrence journalOccurrence(const Event &event)
{
    const QString uid = event.origin.uid.isEmpty() ? event.origin.filePath : event.origin.uid;
    // A repeating event's occurrence keeps its original start when it is moved.
    return {event.calendarUid, uid, event.origin.recurrenceId.isValid() ? event.origin.recurrenceId : event.startDate};
}

QString sourceOf(const Event &event)
{
    return event.origin.filePath.isEmpty() ? event.calendarUid + QLatin1Char('/') + event.origin.uid
                                           : event.origin.filePath;
}

QList<EventDecision> decideEvents(const QList<Event> &events, const DecisionSources &sources)
{
    const QHash<QString, int> reminders = remindersBySource(events, sources);
    const QList<int> copies = takenCopies(events);
    QList<EventDecision> decisions;
    for (int i = 0; i < events.size(); ++i) {
        const Event &event = events.at(i);
        EventDecision decision;
        decision.event = event;
        if (!sources.enabledCalendars.contains(event.calendarUid)) {
            decision.verdict = EventDecision::CalendarNotEnabled;
        } else if (isMarked(event)) {
            decision.verdict = EventDecision::AlreadyMarked;
        } else if (copies.at(i) != i) {
            decision.verdict = EventDecision::DuplicateOccurrence;
            decision.duplicateOf = copies.at(i);
        } else if (!event.attendees) {
            decision.verdict = EventDecision::NoAttendees;
        } else if (reminders.value(sourceOf(event)) > maxRemindersPerEventFile) {
            decision.verdict = EventDecision::TooManyReminders;
            decision.fileReminders = reminders.value(sourceOf(event));
        } else {
            const SendJournal::Occurrence occurrence = journalOccurrence(event);
            QSet<QString> seen; // mail systems take an address in any case: one reminder each
            for (const Attendee &attendee : *event.attendees) {
                AttendeeDecision attendeeDecision {attendee, mailFromAttendee(attendee), attendance(attendee),
                                                   QString()};
                if (attendeeDecision.verdict != AttendeeDecision::Remind) {
                    decision.attendees.append(attendeeDecision); // whatever their address
                    continue;
                }
                const QString &address = attendeeDecision.address;
                const bool listedBefore = !address.isNull() && seen.contains(address.toCaseFolded());
                if (!address.isNull()) {
                    seen.insert(address.toCaseFolded());
                }
                if (address.isNull()) {
                    attendeeDecision.verdict = AttendeeDecision::NoAddress;
                } else if (sources.isMine(address)) {
                    attendeeDecision.verdict = AttendeeDecision::OwnAddress;
                } else if (listedBefore) {
                    attendeeDecision.verdict = AttendeeDecision::ListedTwice;
                } else if (sources.handedOver(occurrence, event.origin.version, address)) {
                    attendeeDecision.verdict = AttendeeDecision::AlreadyHandedOver;
                } else if (!(attendeeDecision.why = MailApplication::recipientRefusal(address)).isEmpty()) {
                    attendeeDecision.verdict = AttendeeDecision::RefusedAddress;
                }
                decision.attendees.append(attendeeDecision);
            }
        }
        decisions.append(decision);
    }
    return decisions;
}

QList<EventDecision> decideEvents(const QList<DueEvent> &events, const DecisionSources &sources)
{
    QList<Event> plain;
    for (const DueEvent &due : events) {
        plain.append(due.event);
    }
    QList<EventDecision> decisions = decideEvents(plain, sources);
    for (int i = 0; i < decisions.size(); ++i) {
        decisions[i].lateDue = events.at(i).lateDue;
    }
    return decisions;
}

const char *verdictName(EventDecision::Verdict verdict)
{
    switch (verdict) {
    case EventDecision::RemindAttendees:
        return "remind";
    case EventDecision::AlreadyMarked:
        return "alreadyMarked";
    case EventDecision::NoAttendees:
        return "noAttendees";
    case EventDecision::TooManyReminders:
        return "tooManyReminders";
    case EventDecision::CalendarNotEnabled:
        return "calendarNotEnabled";
    case EventDecision::DuplicateOccurrence:
        return "duplicateOccurrence";
    }
    return "";
}

const char *verdictName(AttendeeDecision::Verdict verdict)
{
    switch (verdict) {
    case AttendeeDecision::Remind:
        return "remind";
    case AttendeeDecision::NoAddress:
        return "noAddress";
    case AttendeeDecision::OwnAddress:
        return "ownAddress";
    case AttendeeDecision::AlreadyHandedOver:
        return "alreadyHandedOver";
    case AttendeeDecision::RefusedAddress:
        return "refusedAddress";
    case AttendeeDecision::ListedTwice:
        return "listedTwice";
    case AttendeeDecision::Declined:
        return "declined";
    case AttendeeDecision::Delegated:
        return "delegated";
    case AttendeeDecision::RoomOrResource:
        return "roomOrResource";
    }
    return "";
}
