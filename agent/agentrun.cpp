#include "agentrun.h"

#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "composition.h"
#include "filelock.h"
#include "maildelivery.h"
#include "sendjournal.h"
#include "textnumber.h"

#include <QHash>
#include <QLocale>
#include <QSet>
#include <QStringList>
#include <QThread>

namespace {
const QString notifiedMarker = QStringLiteral("(*)");
const QString agentVersion = QStringLiteral("5");
constexpr std::chrono::microseconds closingPause(10000000);

// Runs of the agent (the scheduler's and the pane's) take turns: an exclusive lock on a file
// beside the log, held from before the settings are read until the run's work is done. A second
// run waits, then finds the first run's events marked.
QString runLockPath()
{
    return ComKestramoLogger::logsPath() + QLatin1Char('/') + ComKestramoLogger::applicationName()
        + QStringLiteral(".lock");
}

// The calendar day of dayToBeAlerted at the given local time. At a change to summer time that
// skips this time of that day, the first existing moment after it.
QDateTime localTimeOfDay(const QDate &day, const QTime &time)
{
    QDateTime result(day, time, Qt::LocalTime);
    for (int minutes = 1; !result.isValid() && minutes <= 180; ++minutes) {
        result = QDateTime(day, time.addSecs(minutes * 60), Qt::LocalTime);
    }
    return result;
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

// The occurrence as the send journal knows it: calendar, event, and start (the original start of
// a repeating event's occurrence, which stays when the occurrence is moved).
SendJournal::Occurrence journalOccurrence(const Event &event)
{
    const QString uid = event.origin.uid.isEmpty() ? event.origin.filePath : event.origin.uid;
    return {event.calendarUid, uid, event.origin.recurrenceId.isValid() ? event.origin.recurrenceId : event.startDate};
}

// The file an event comes from, for the bound on reminders per event file.
QString sourceOf(const Event &event)
{
    return event.origin.filePath.isEmpty() ? event.calendarUid + QLatin1Char('/') + event.origin.uid
                                           : event.origin.filePath;
}

bool needsReminders(const Event &event)
{
    return !event.notes.contains(notifiedMarker) && event.attendees;
}

// The run's state beside the settings: the store, the send journal and what stops the run.
struct Run
{
    const ComKestramoPreferenceQuorvelModel &model;
    CalendarStore *store;
    SendJournal &journal;
    bool journalFailed = false;

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

// What became of the reminders of one event.
struct Reminders
{
    int taken = 0;
    int temporaryFailures = 0;
};

// Hands each attendee of event a reminder, except those that an earlier run handed over (or
// that were refused for good) for the same occurrence.
Reminders remindAttendees(Run &run, const Event &event)
{
    const SendJournal::Occurrence occurrence = journalOccurrence(event);
    QHash<QString, int> seen; // an address listed twice is reminded twice
    Reminders result;
    for (const Attendee &attendee : *event.attendees) {
        const QString address = mailFromAttendee(attendee);
        if (address.isNull()) {
            ComKestramoLogger::logERR(
                QStringLiteral("Failed to notify '%1', its AddressBook contact does not have an email assigned")
                    .arg(attendee.commonName));
            continue;
        }
        if (run.model.verboseLogging()) {
            ComKestramoLogger::logINFO(QStringLiteral("[attendee.address description]=%1").arg(attendee.address));
        }
        if (mailIsMine(address)) {
            continue;
        }
        if (++seen[address] <= run.journal.handedOver(occurrence, address)) {
            if (run.model.verboseLogging()) {
                ComKestramoLogger::logINFO(QStringLiteral("'%1' already has the reminder of '%2' from an earlier run")
                                               .arg(address, event.title));
            }
            continue;
        }
        ComKestramoLogger::logINFO(QStringLiteral(" %1  ->%2").arg(event.title, address));
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
        }
        QString error;
        if (!run.journal.record(occurrence, address, &error)) {
            run.journalError(error);
        }
    }
    return result;
}

void markEvent(Run &run, Event event)
{
    event.notes = event.notes.isEmpty() ? notifiedMarker : QStringLiteral("%1 %2").arg(event.notes, notifiedMarker);
    CalendarStore::Error error;
    if (!run.store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error)) {
        ComKestramoLogger::logERR(QStringLiteral("Error while marking event as notified err:%1").arg(error.code));
        return;
    }
    QString journalError;
    if (!run.journal.forget(journalOccurrence(event), &journalError)) {
        run.journalError(journalError);
    }
}

// The event files whose occurrences in the window would send more reminders than one event file
// may (all occurrences and attendees together): none of their reminders is sent. Each refusal
// is logged once and kept in the journal, so later runs pass over the same content quietly.
QSet<QString> refusedSources(Run &run, const QList<Event> &events)
{
    QHash<QString, int> reminders;
    for (const Event &event : events) {
        if (!needsReminders(event)) {
            continue;
        }
        int &count = reminders[sourceOf(event)];
        for (const Attendee &attendee : *event.attendees) {
            const QString address = mailFromAttendee(attendee);
            if (!address.isNull() && !mailIsMine(address)) {
                ++count;
            }
        }
    }
    QSet<QString> refused;
    for (const Event &event : events) {
        const QString source = sourceOf(event);
        const int count = reminders.value(source);
        if (count <= maxRemindersPerEventFile || refused.contains(source)) {
            continue;
        }
        refused.insert(source);
        if (run.journal.isRefused(source, event.origin.fingerprint)) {
            continue;
        }
        ComKestramoLogger::logERR(
            QStringLiteral("%1: %2 reminders in one run, more than the %3 allowed for one event file; none is sent")
                .arg(source)
                .arg(count)
                .arg(maxRemindersPerEventFile));
        QString error;
        if (!run.journal.refuse(source, event.origin.fingerprint, &error)) {
            run.journalError(error);
        }
    }
    return refused;
}

void handleEvents(const ComKestramoPreferenceQuorvelModel &model, CalendarStore *store,
                  const AgentRunEnvironment &environment)
{
    const QDateTime now = environment.now();
    // The reminder window: the whole local calendar day that lies the configured number of days
    // ahead. An exact interval, so a change of summer time on the way can move it by a day.
    const int days = leadingInteger(model.daysBeforeEventStart());
    const double secondsDaysBefore = double(days) * 86400;
    const QDateTime dayToBeAlerted = now.addMSecs(qint64(secondsDaysBefore) * 1000);
    const QDate day = dayToBeAlerted.toLocalTime().date();
    const QDateTime startDate = localTimeOfDay(day, QTime(0, 0, 0));
    const QDateTime endDate = QDateTime(day, QTime(23, 59, 59), Qt::LocalTime);
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(QStringLiteral("secondsDaysBefore=%1\ndayToBeAlerted=%2\nstartDate=%3\nendDate=%4")
                                       .arg(QString::number(secondsDaysBefore, 'f', 6), logDateText(dayToBeAlerted),
                                            logDateText(startDate), logDateText(endDate)));
    }

    QList<Calendar> calendarsToBeScanned;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        if (!entry->enabled()) {
            continue;
        }
        // A calendar removed since the settings were read is simply not searched.
        if (const auto calendar = store->calendarWithUID(entry->calendaUID())) {
            calendarsToBeScanned.append(*calendar);
        }
    }
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(
            QStringLiteral("calendarsToBeScanned=%1").arg(describeCalendars(calendarsToBeScanned)));
    }

    const QList<Event> foundEvents = store->eventsWithPredicate(
        CalendarStore::eventPredicateWithStartDate(startDate, endDate, calendarsToBeScanned));
    if (model.verboseLogging()) {
        ComKestramoLogger::logINFO(QStringLiteral("foundEvents=%1").arg(describeEvents(foundEvents)));
    }

    SendJournal journal(environment.journalPath);
    Run run {model, store, journal};
    QString error;
    if (!journal.open(now, &error)) {
        run.journalError(error);
    }
    const QSet<QString> refused = refusedSources(run, foundEvents);
    for (const Event &event : foundEvents) {
        if (event.notes.contains(notifiedMarker)) {
            // Marked: what an earlier run recorded for it is no longer needed.
            if (!journal.forget(journalOccurrence(event), &error)) {
                run.journalError(error);
            }
            continue;
        }
        if (!event.attendees || refused.contains(sourceOf(event))) {
            continue;
        }
        if (environment.stopRequested && environment.stopRequested()) {
            ComKestramoLogger::logINFO(
                QStringLiteral("asked to stop; the events not handled yet are left for the next run"));
            break;
        }
        const Reminders reminders = remindAttendees(run, event);
        if (reminders.temporaryFailures > 0) {
            // Left for the next run, which tries again those that did not reach the mail system;
            // the journal keeps it from sending the others twice.
            ComKestramoLogger::logERR(
                reminders.taken == 0
                    ? QStringLiteral(
                          "No reminder of '%1' reached the mail system; it stays unmarked and is tried again")
                          .arg(event.title)
                    : QStringLiteral("%1 reminder(s) of '%2' did not reach the mail system; it stays unmarked and "
                                     "they are tried again")
                          .arg(reminders.temporaryFailures)
                          .arg(event.title));
            continue;
        }
        markEvent(run, event);
    }
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
    {
        const FileLock lock(runLockPath());
        if (!lock.isLocked()) {
            // The run still does its work; a second run at the same time could then remind the
            // same attendees once more.
            ComKestramoLogger::logERR(QStringLiteral("Cannot take the run lock %1 (%2); running without it")
                                          .arg(runLockPath(), lock.errorString()));
        }
        // The mail application and the user's own addresses live for this run only.
        resetMailDelivery(environment.sendTimeout);
        CalendarStore *store = environment.store ? environment.store : CalendarStore::defaultCalendarStore();
        // Reading the settings cannot fail here: missing or unreadable values take their defaults.
        const ComKestramoPreferenceQuorvelModel model(false, store);
        if (!model.quorvelEnabled()) {
            ComKestramoLogger::logERR(QStringLiteral("exiting, disabled in system preferences"));
        } else {
            handleEvents(model, store, environment);
        }
        resetMailDelivery();
    }
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
    return 0;
}
