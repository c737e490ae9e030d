#include "agentrun.h"

#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "calendarsync.h"
#include "completedday.h"
#include "composition.h"
#include "failurenotice.h"
#include "filelock.h"
#include "installation.h"
#include "launchagent.h"
#include "maildelivery.h"
#include "sendagain.h"
#include "sendjournal.h"
#include "sentreminders.h"
#include "textnumber.h"
#include "textutils.h"

#include <QCoreApplication>
#include <QLocale>
#include <QSet>
#include <QStringList>
#include <QThread>

namespace {
const QString agentVersion = QStringLiteral("5");
constexpr std::chrono::microseconds closingPause(10000000);
// Saves of a marker tried while other programs keep rewriting the event's file.
constexpr int maxMarkingAttempts = 5;
// How long a run waits for an earlier one to finish: a run stuck for longer is not waited for
// by every later one.
constexpr std::chrono::minutes runLockWait(10);

// Runs of the agent (the scheduler's and the pane's) take turns: an exclusive lock on a file
// beside the log, held from before the settings are read until the run's work is done. A second
// run waits, then finds the first run's events marked.
QString runLockPath()
{
    return ComKestramoLogger::logsPath() + QLatin1Char('/') + ComKestramoLogger::applicationName()
        + QStringLiteral(".lock");
}

// A list as the verbose log shows it: one item a line, as the platform prints its arrays.
QString describeList(const QStringList &items)
{
    return items.isEmpty() ? QStringLiteral("(\n)")
                           : QStringLiteral("(\n    %1\n)").arg(items.join(QStringLiteral(",\n    ")));
}

QString describeCalendars(const QList<Calendar> &calendars)
{
    QStringList items;
    for (const Calendar &calendar : calendars) {
        items.append(QStringLiteral("\"%1\" [%2]").arg(calendar.title, calendar.uid));
    }
    return describeList(items);
}

QString describeEvents(const QList<Event> &events)
{
    QStringList items;
    for (const Event &event : events) {
        items.append(
            QStringLiteral("%1 \"%2\" [%3]").arg(logDateText(event.startDate), event.title, event.calendarUid));
    }
    return describeList(items);
}

// The run's state beside the settings: the store, the send journal and what stops the run.
struct Run
{
    const ComKestramoPreferenceQuorvelModel &model;
    CalendarStore *store;
    SendJournal &journal;
    bool journalFailed = false;
    QStringList unmarkable; // events not reminded: they cannot be marked, and the journal cannot be written
    int marked = 0; // events whose marker was saved

    // Keeps the first failure of the journal in the log; later ones would only repeat it.
    void journalError(const QString &error)
    {
        if (!journalFailed) {
            journalFailed = true;
            ComKestramoLogger::logERR(
                QStringLiteral("Cannot keep the record of sent reminders: %1; a run that ends early may send "
                               "some reminders twice")
                    .arg(error));
        }
    }
};

// Why an attendee is not one to remind, for the verbose log; nullptr for those who are.
const char *notComing(AttendeeDecision::Verdict verdict)
{
    switch (verdict) {
    case AttendeeDecision::Declined:
        return "declined";
    case AttendeeDecision::Delegated:
        return "delegated to someone else";
    case AttendeeDecision::RoomOrResource:
        return "a room or resource";
    default:
        return nullptr;
    }
}

// What became of the reminders of one event.
struct Reminders
{
    int taken = 0;
    int temporaryFailures = 0;
};

// Hands each attendee of the event a reminder as decided: not to those without an address, the
// user's own addresses, nor those that an earlier run handed over (or that were refused for
// good) for the same occurrence.
Reminders remindAttendees(Run &run, const EventDecision &decision)
{
    const Event &event = decision.event;
    const SendJournal::Occurrence occurrence = journalOccurrence(event);
    Reminders result;
    bool named = false; // the occurrence, for the Sent tab's "Send Again"
    for (const AttendeeDecision &attendee : decision.attendees) {
        const QString &address = attendee.address;
        if (const char *why = notComing(attendee.verdict)) {
            if (run.model.verboseLogging()) {
                if (!address.isNull()) {
                    ComKestramoLogger::logINFO(QStringLiteral("[attendee.address description]=%1")
                                                   .arg(loggedValue(attendee.attendee.address)));
                }
                ComKestramoLogger::logINFO(
                    QStringLiteral("'%1' is not reminded of '%2': %3")
                        .arg(loggedValue(attendee.attendee.address), event.title, QLatin1String(why)));
            }
            continue;
        }
        if (attendee.verdict == AttendeeDecision::NoAddress) {
            ComKestramoLogger::logERR(
                QStringLiteral("Failed to notify '%1', its AddressBook contact does not have an email assigned")
                    .arg(attendee.attendee.commonName));
            continue;
        }
        if (run.model.verboseLogging()) {
            ComKestramoLogger::logINFO(
                QStringLiteral("[attendee.address description]=%1").arg(loggedValue(attendee.attendee.address)));
        }
        if (attendee.verdict == AttendeeDecision::OwnAddress || attendee.verdict == AttendeeDecision::ListedTwice) {
            continue;
        }
        if (attendee.verdict == AttendeeDecision::AlreadyHandedOver) {
            if (run.model.verboseLogging()) {
                ComKestramoLogger::logINFO(QStringLiteral("'%1' already has the reminder of '%2' from an earlier run")
                                               .arg(loggedValue(address), event.title));
            }
            continue;
        }
        // A reminder, also to an address the mail system refuses: the refusal is logged and kept.
        if (!named) {
            ComKestramoLogger::logINFO(SentReminders::occurrenceRecord(event.title, occurrence));
            named = true;
        }
        if (!decision.lateDue.isNull()) {
            ComKestramoLogger::logINFO(
                QStringLiteral("late: the reminder of '%1' to %2 was due on %3")
                    .arg(event.title, loggedValue(address), decision.lateDue.toString(Qt::ISODate)));
        }
        ComKestramoLogger::logINFO(QStringLiteral(" %1  ->%2").arg(event.title, loggedValue(address)));
        const QString subject = buildReminderSubject(run.model, event);
        const QString body = buildReminderBody(run.model, event, address);
        const HandOver handOver = sendMailCocoa(run.model.senderEmail(), address, subject, body);
        if (handOver == HandOver::TemporaryFailure) {
            ++result.temporaryFailures;
            continue;
        }
        // Taken, or refused for good: either way not to be sent again for this occurrence.
        if (handOver == HandOver::Taken) {
            ++result.taken;
        } else {
            ComKestramoLogger::logINFO(QStringLiteral("the address %1 is refused for good; the reminder of '%2' "
                                                      "to it is not tried again")
                                           .arg(loggedValue(address), event.title));
        }
        QString error;
        if (!run.journal.record(occurrence, address, &error)) {
            run.journalError(error);
        }
    }
    return result;
}

// Saves the marker into the event's notes. Another program (a sync tool) may rewrite the file
// at any moment: then the occurrence is read again as the file holds it now and the marker added
// to its notes as they are now. The journal keeps the reminders sent whether or not the marker
// stays: a sync tool that puts back the version without it gets it again, and nothing is sent.
void markEvent(Run &run, Event event)
{
    CalendarStore::Error error;
    QList<QByteArray> versions {event.origin.version}; // read without the marker, before it was saved
    for (int attempt = 0; attempt < maxMarkingAttempts; ++attempt) {
        if (attempt > 0) {
            const std::optional<Event> current = run.store->currentEvent(event);
            if (!current) {
                ComKestramoLogger::logERR(
                    QStringLiteral("'%1' was changed by another program and is no longer in its calendar; it is "
                                   "not marked")
                        .arg(event.title));
                return;
            }
            event = *current;
        }
        if (isMarked(event)) {
            error = CalendarStore::Error(); // marked meanwhile by someone else
            break;
        }
        versions.append(event.origin.version);
        Event marked = event;
        marked.notes
            = event.notes.isEmpty() ? notifiedMarker() : QStringLiteral("%1 %2").arg(event.notes, notifiedMarker());
        if (run.store->saveEvent(marked, CalendarStore::CalSpanThisEvent, &error)) {
            error = CalendarStore::Error();
            break;
        }
        if (error.code != CalendarStore::ChangedOnDisk) {
            break;
        }
    }
    if (error.code == CalendarStore::ReadOnly) {
        // Its reminders are in the send journal: later runs do not send them again.
        ComKestramoLogger::logERR(QStringLiteral("'%1' cannot be marked, %2; its reminders are not sent again")
                                      .arg(event.title, error.message));
        return;
    }
    if (error.code != CalendarStore::NoError) {
        ComKestramoLogger::logERR(QStringLiteral("Error while marking event as notified err:%1").arg(error.code));
        return;
    }
    ++run.marked;
    // A sync tool that undoes the marker puts one of these back: its reminders are not sent again.
    const SendJournal::Occurrence occurrence = journalOccurrence(event);
    for (const QByteArray &version : QSet<QByteArray>(versions.cbegin(), versions.cend())) {
        QString failure;
        if (!run.journal.recordMarked(occurrence, version, &failure)) {
            run.journalError(failure);
        }
    }
}

void recordCompletedDay(const CompletedDay &completedDay, const QDate &day)
{
    QString error;
    if (!completedDay.write(day, &error)) {
        ComKestramoLogger::logERR(
            QStringLiteral("Cannot record the day whose reminders were sent: %1; later runs may look for missed "
                           "reminders from an earlier day")
                .arg(error));
    }
}

// Logs each event file that would send more reminders than one event file may, once: none of
// its reminders is sent, and the refusal is kept in the journal, so later runs pass over the same
// content quietly.
void logRefusedSources(Run &run, const QList<EventDecision> &decisions)
{
    QSet<QString> refused;
    for (const EventDecision &decision : decisions) {
        const QString source = sourceOf(decision.event);
        if (decision.verdict != EventDecision::TooManyReminders || refused.contains(source)) {
            continue;
        }
        refused.insert(source);
        if (run.journal.isRefused(source, decision.event.origin.fingerprint)) {
            continue;
        }
        ComKestramoLogger::logERR(
            QStringLiteral("%1: %2 reminders in one run, more than the %3 allowed for one event file; none is sent")
                .arg(source)
                .arg(decision.fileReminders)
                .arg(maxRemindersPerEventFile));
        QString error;
        if (!run.journal.refuse(source, decision.event.origin.fingerprint, &error)) {
            run.journalError(error);
        }
    }
}

// The events of the days missed since the last day a run completed (the computer was off or
// asleep), each day's found as the run's own day is; appended to found.
void searchMissedDays(const ComKestramoPreferenceQuorvelModel &model, CalendarStore *store,
                      const QList<Calendar> &scanned, const QList<ReminderDay> &days,
                      QList<QPair<ReminderDay, QList<Event>>> *found)
{
    for (const ReminderDay &day : days) {
        if (day.lateDue.isNull()) {
            continue;
        }
        const QList<Event> events = store->eventsWithPredicate(
            CalendarStore::eventPredicateWithStartDate(day.window.startDate, day.window.endDate, scanned));
        if (model.verboseLogging()) {
            ComKestramoLogger::logINFO(QStringLiteral("missed day %1: startDate=%2\nendDate=%3\nfoundEvents=%4")
                                           .arg(day.lateDue.toString(Qt::ISODate), logDateText(day.window.startDate),
                                                logDateText(day.window.endDate), describeEvents(events)));
        }
        found->append({day, events});
    }
}

// What a run is to handle: the calendars it searched and, for each day it owes, that day's events.
struct Search
{
    QList<Calendar> scanned;
    QList<QPair<ReminderDay, QList<Event>>> found;
    QDate ownDay; // the reminder day of the run's own window
    std::optional<QDate> lastCompleted; // as recorded before the run
};

// Searches the calendars for the events whose reminders are due now, and for those of the days
// missed since the last completed reminder day. The first run that searches any records the day
// before its own as completed: no day before it is owed.
Search searchCalendars(const ComKestramoPreferenceQuorvelModel &model, CalendarStore *store, const QDateTime &now,
                       const CompletedDay &completedDay)
{
    const int daysBefore = leadingInteger(model.daysBeforeEventStart());
    const ReminderWindow window = reminderWindow(daysBefore, now);
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(QStringLiteral("secondsDaysBefore=%1\ndayToBeAlerted=%2\nstartDate=%3\nendDate=%4")
                                       .arg(QString::number(window.secondsDaysBefore, 'f', 6),
                                            logDateText(window.dayToBeAlerted), logDateText(window.startDate),
                                            logDateText(window.endDate)));
    }

    Search search;
    search.scanned = calendarsToBeScanned(model, *store);
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(QStringLiteral("calendarsToBeScanned=%1").arg(describeCalendars(search.scanned)));
    }

    const QList<Event> foundEvents = store->eventsWithPredicate(
        CalendarStore::eventPredicateWithStartDate(window.startDate, window.endDate, search.scanned));
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(QStringLiteral("foundEvents=%1").arg(describeEvents(foundEvents)));
    }

    QString notice;
    search.ownDay = window.day();
    search.lastCompleted = completedDay.read(daysBefore, &notice);
    if (!notice.isEmpty()) {
        ComKestramoLogger::logERR(notice);
    }
    if (!search.lastCompleted && !search.scanned.isEmpty()) {
        recordCompletedDay(completedDay, search.ownDay.addDays(-1));
    }
    const QList<ReminderDay> days = reminderDays(daysBefore, now, search.lastCompleted, model.sendMissedReminders());
    search.found = {{days.first(), foundEvents}};
    searchMissedDays(model, store, search.scanned, days, &search.found);
    return search;
}

// What each event found is to come to, from the journal's record of what was handed over; with
// the occurrences whose reminders were asked for again ("Send Again"), whatever day they lie on.
QList<EventDecision> decide(Run &run, Search search, const QDateTime &now)
{
    QString error;
    if (!run.journal.open(now, &error)) {
        run.journalError(error);
    }
    if (!run.journal.notice().isEmpty()) {
        ComKestramoLogger::logERR(run.journal.notice());
    }
    search.found.append(
        {search.found.first().first, SendAgain::requestedEvents(*run.store, run.journal, search.scanned, now)});
    DecisionSources sources;
    sources.isMine = mailIsMine;
    sources.handedOver
        = [&journal = run.journal](const SendJournal::Occurrence &occurrence, const QByteArray &version,
                                   const QString &address) { return journal.handedOver(occurrence, address, version); };
    for (const Calendar &calendar : search.scanned) {
        sources.enabledCalendars.insert(calendar.uid);
    }
    const QList<EventDecision> decisions = decideEvents(eventsToRemind(search.found, now), sources);
    logRefusedSources(run, decisions);
    return decisions;
}

// An occurrence that was marked, and is now unmarked in a version other than those read before
// marking, had its marker removed by an edit of the event: its reminders go out again, and the
// journal starts it anew (so that a retry of this round does not send twice).
void forgetIfMarkerRemoved(Run &run, const Event &event)
{
    const SendJournal::Occurrence occurrence = journalOccurrence(event);
    if (!run.journal.isMarkerRemoved(occurrence, event.origin.version)) {
        return;
    }
    ComKestramoLogger::logINFO(
        QStringLiteral("'%1' was edited and no longer holds the marker; its attendees are reminded again")
            .arg(event.title));
    QString error;
    if (!run.journal.forget(occurrence, &error)) {
        run.journalError(error);
    }
}

// How handling one event went: done (or nothing to do), left for a later run, or the run asked
// to stop before it.
enum class Handled { Done, Left, Stopped };

// Reminds the attendees of one decided event and marks it.
Handled handleDecision(Run &run, const QList<EventDecision> &decisions, const EventDecision &decision,
                       const AgentRunEnvironment &environment)
{
    const Event &event = decision.event;
    if (decision.verdict == EventDecision::DuplicateOccurrence
        && decisions.at(decision.duplicateOf).verdict == EventDecision::RemindAttendees) {
        ComKestramoLogger::logERR(
            QStringLiteral("%1: skipped, it holds the same occurrence of '%2' as %3, whose attendees are reminded")
                .arg(sourceOf(event), event.title, sourceOf(decisions.at(decision.duplicateOf).event)));
    }
    if (decision.verdict != EventDecision::RemindAttendees) {
        return Handled::Done;
    }
    // Its marker cannot be saved: only the journal keeps the next runs from sending again.
    if (!run.journal.isWritable() && run.store->isReadOnly(event)) {
        run.unmarkable.append(QStringLiteral("'%1'").arg(event.title));
        return Handled::Left;
    }
    if (environment.stopRequested && environment.stopRequested()) {
        ComKestramoLogger::logINFO(
            QStringLiteral("asked to stop; the events not handled yet are left for the next run"));
        return Handled::Stopped;
    }
    forgetIfMarkerRemoved(run, event);
    const Reminders reminders = remindAttendees(run, decision);
    if (reminders.temporaryFailures > 0) {
        // Left for the next run, which tries again those that did not reach the mail system;
        // the journal keeps it from sending the others twice.
        ComKestramoLogger::logERR(
            reminders.taken == 0
                ? QStringLiteral("No reminder of '%1' reached the mail system; it stays unmarked and is tried again")
                      .arg(event.title)
                : QStringLiteral("%1 reminder(s) of '%2' did not reach the mail system; it stays unmarked and "
                                 "they are tried again")
                      .arg(reminders.temporaryFailures)
                      .arg(event.title));
        return Handled::Left;
    }
    markEvent(run, event);
    return Handled::Done;
}

// Returns how many events it marked.
int handleEvents(const ComKestramoPreferenceQuorvelModel &model, CalendarStore *store,
                 const AgentRunEnvironment &environment)
{
    const QDateTime now = environment.now();
    // A day counts as completed once a run searched calendars for it and handled all it found.
    const CompletedDay completedDay(environment.completedDayPath);
    const Search search = searchCalendars(model, store, now, completedDay);

    SendJournal journal(environment.journalPath);
    Run run {model, store, journal, false, {}};
    const QList<EventDecision> decisions = decide(run, search, now);
    bool completed = !search.scanned.isEmpty();
    for (const EventDecision &decision : decisions) {
        const Handled handled = handleDecision(run, decisions, decision, environment);
        completed = completed && handled == Handled::Done;
        if (handled == Handled::Stopped) {
            break;
        }
    }
    if (!run.unmarkable.isEmpty()) {
        ComKestramoLogger::logERR(QStringLiteral("Not reminded, since they cannot be marked and the record of sent "
                                                 "reminders cannot be kept (they would go out at every run): %1")
                                      .arg(run.unmarkable.join(QStringLiteral(", "))));
    }
    // Left unrecorded, a day whose reminders wait for a retry is searched again as a missed one.
    // The record only moves on, to the day the run searched: a shorter lead, or a clock set
    // back, does not make later runs search again the days after it.
    if (completed && (!search.lastCompleted || *search.lastCompleted < search.ownDay)) {
        recordCompletedDay(completedDay, search.ownDay);
    }
    return run.marked;
}

// Whether the installation that scheduled this run was removed (the package removed): then the
// run takes its own schedule away, as nothing else is left to do it, and sends nothing.
bool installationRemoved()
{
    const QString folder = Installation::removedFolder();
    if (folder.isEmpty()) {
        return false;
    }
    ComKestramoLogger::logERR(QStringLiteral("The Ruvelant installation that scheduled this agent was removed (%1 "
                                             "no longer holds its programs): its schedule is taken away and no "
                                             "reminder is sent")
                                  .arg(folder));
    QString error;
    if (!Installation::unschedule(LaunchAgent::label(), &error)) {
        ComKestramoLogger::logERR(QStringLiteral("Cannot take the agent's schedule away: %1").arg(error));
    }
    return true;
}

void endRun(const AgentRunEnvironment &environment)
{
    if (environment.pause) {
        environment.pause(closingPause);
    } else {
        // Cut short when asked to stop: nothing is left to finish.
        for (auto left = closingPause; left.count() > 0 && !(environment.stopRequested && environment.stopRequested());
             left -= std::chrono::microseconds(100000)) {
            QThread::usleep(static_cast<unsigned long>(std::min<qint64>(left.count(), 100000)));
        }
    }
    ComKestramoLogger::logINFO(QStringLiteral("terminated"));
    ComKestramoLogger::closeLogIfOpened();
}
} // namespace

QString logDateText(const QDateTime &dateTime)
{
    const QDateTime local = dateTime.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    // The log is a machine format: ASCII digits in every locale.
    return QLocale::c().toString(local, QStringLiteral("yyyy-MM-dd HH:mm:ss "))
        + QStringLiteral("%1%2%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

int runAgent(const AgentRunEnvironment &environment)
{
    ComKestramoLogger::logINFO(QStringLiteral("started -v.%1").arg(agentVersion));
    if (installationRemoved()) {
        endRun(environment);
        return 0;
    }
    int marked = 0;
    {
        const FileLock lock(runLockPath(), runLockWait);
        if (!lock.notice().isEmpty()) {
            ComKestramoLogger::logERR(lock.notice());
        }
        const bool held = lock.timedOut();
        if (held) {
            // The earlier run is stuck: this one leaves the work to the next, rather than doing it
            // beside it (and queueing every later run behind both).
            ComKestramoLogger::logERR(QStringLiteral("Cannot take the run lock %1 (%2); this run does nothing")
                                          .arg(runLockPath(), lock.errorString()));
        } else if (!lock.isLocked()) {
            // The run still does its work; a second run at the same time could then remind the
            // same attendees once more.
            ComKestramoLogger::logERR(QStringLiteral("Cannot take the run lock %1 (%2); running without it")
                                          .arg(runLockPath(), lock.errorString()));
        }
        // The mail application and the user's own addresses live for this run only.
        resetMailDelivery(environment.sendTimeout);
        CalendarStore *store = environment.store ? environment.store : CalendarStore::defaultCalendarStore();
        // Every file the store skips, and why, is in the run's log (and on standard error).
        const QMetaObject::Connection problems = QObject::connect(
            store, &CalendarStore::problemFound, [](const QString &message) { ComKestramoLogger::logERR(message); });
        // Missing settings take their defaults; a settings file that is there but cannot be read
        // is no model: its defaults (reminders off) are not the user's settings.
        const ComKestramoPreferenceQuorvelModel model(false, store);
        if (!model.preferencesReadable()) {
            ComKestramoLogger::logERR(QStringLiteral("failed reading preferences"));
            ComKestramoLogger::logERR(model.preferencesProblem());
        } else if (!model.quorvelEnabled()) {
            ComKestramoLogger::logERR(QStringLiteral("exiting, disabled in system preferences"));
        } else if (!held) {
            marked = handleEvents(model, store, environment);
        }
        QObject::disconnect(problems);
        resetMailDelivery();
    }
    if (marked > 0) {
        // The markers go to the calendars' server now, not at the next scheduled sync.
        if (environment.afterMarking) {
            environment.afterMarking();
        } else {
            CalendarSync::startInBackground(QCoreApplication::applicationDirPath());
        }
    }
    FailureNotice::afterRun(environment.notifierPath);
    endRun(environment);
    return 0;
}

QString agentRunLockPath()
{
    return runLockPath();
}
