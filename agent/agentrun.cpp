#include "agentrun.h"

#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "composition.h"
#include "filelock.h"
#include "maildelivery.h"
#include "textnumber.h"

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

// Hands each attendee of event a reminder. Returns whether at least one reminder was tried and
// none reached the mail system, in which case the event must stay unmarked.
bool remindAttendees(const ComKestramoPreferenceQuorvelModel &model, const Event &event)
{
    int tried = 0;
    int taken = 0;
    for (const Attendee &attendee : *event.attendees) {
        const QString address = mailFromAttendee(attendee);
        if (address.isNull()) {
            ComKestramoLogger::logERR(
                QStringLiteral("Failed to notify '%1', its AddressBook contact does not have an email assigned")
                    .arg(attendee.commonName));
            continue;
        }
        if (model.verboseLogging()) {
            ComKestramoLogger::logINFO(QStringLiteral("[attendee.address description]=%1").arg(attendee.address));
        }
        if (mailIsMine(address)) {
            continue;
        }
        ComKestramoLogger::logINFO(QStringLiteral(" %1  ->%2").arg(event.title, address));
        const QString subject = buildReminderSubject(model, event);
        const QString body = buildReminderBody(model, event, address);
        ++tried;
        if (sendMailCocoa(model.senderEmail(), address, subject, body)) {
            ++taken;
        }
    }
    return tried > 0 && taken == 0;
}

void markEvent(CalendarStore *store, Event event)
{
    event.notes = event.notes.isEmpty() ? notifiedMarker : QStringLiteral("%1 %2").arg(event.notes, notifiedMarker);
    CalendarStore::Error error;
    if (!store->saveEvent(event, CalendarStore::CalSpanThisEvent, &error)) {
        ComKestramoLogger::logERR(QStringLiteral("Error while marking event as notified err:%1").arg(error.code));
    }
}

void handleEvents(const ComKestramoPreferenceQuorvelModel &model, CalendarStore *store, const QDateTime &now)
{
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

    for (const Event &event : foundEvents) {
        if (event.notes.contains(notifiedMarker) || !event.attendees) {
            continue;
        }
        if (remindAttendees(model, event)) {
            // Nothing reached the mail system: leave the event for the next run to try again.
            ComKestramoLogger::logERR(
                QStringLiteral("No reminder of '%1' reached the mail system; it stays unmarked and is tried again")
                    .arg(event.title));
            continue;
        }
        markEvent(store, event);
    }
}
} // namespace

QString logDateText(const QDateTime &dateTime)
{
    const QDateTime local = dateTime.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "))
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
        resetMailDelivery();
        CalendarStore *store = environment.store ? environment.store : CalendarStore::defaultCalendarStore();
        // Reading the settings cannot fail here: missing or unreadable values take their defaults.
        const ComKestramoPreferenceQuorvelModel model(false, store);
        if (!model.quorvelEnabled()) {
            ComKestramoLogger::logERR(QStringLiteral("exiting, disabled in system preferences"));
        } else {
            handleEvents(model, store, environment.now());
        }
        resetMailDelivery();
    }
    if (environment.pause) {
        environment.pause(closingPause);
    } else {
        QThread::usleep(static_cast<unsigned long>(closingPause.count()));
    }
    ComKestramoLogger::logINFO(QStringLiteral("terminated"));
    ComKestramoLogger::closeLogIfOpened();
    return 0;
}
