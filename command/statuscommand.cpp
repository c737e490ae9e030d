// ruvelant status: on or off, the schedule as the scheduler holds it, the mail system, the last
// run, the calendars that take part; its exit status says whether reminders go out.
#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "bundle.h"
#include "commandline.h"
#include "dateformatter.h"
#include "installedpane.h"
#include "launchagent.h"
#include "mailstatus.h"
#include "runoutcome.h"
#include "schedulestatus.h"
#include "subcommands.h"
#include "xdgpaths.h"

#include <QDir>

#include <cerrno>
#include <csignal>

namespace {
// Whether the process is still there (a run that has not logged its end may be going on).
bool isRunning(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The calendar's events: the event files of its folder.
int eventCount(const QString &uid)
{
    return int(QDir(xdgDataHome() + QStringLiteral("/calendars/") + uid)
                   .entryList({QStringLiteral("*.ics")}, QDir::Files)
                   .size());
}

QString calendarsText(const ComKestramoPreferenceQuorvelModel &model)
{
    QStringList enabled;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        if (entry->enabled()) {
            const int count = eventCount(entry->calendaUID());
            enabled.append(QStringLiteral("%1 (%2, %3 %4)")
                               .arg(entry->calendarTitle(), entry->calendaUID())
                               .arg(count)
                               .arg(count == 1 ? QStringLiteral("event") : QStringLiteral("events")));
        }
    }
    if (enabled.isEmpty()) {
        return model.allCalendars().isEmpty()
            ? QStringLiteral("none yet (Ruvelant reads them in %1/calendars)").arg(xdgDataHome())
            : QStringLiteral("none ticked (ruvelant set activeCalendars ...)");
    }
    return enabled.join(QStringLiteral(", "));
}
} // namespace

int statusCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("status"),
                        QStringLiteral("Tells whether reminders are on, the schedule as the user's scheduler holds it "
                                       "(systemd timer with its next run, or cron), the mail account that sends the "
                                       "reminders (or the mail system they are handed to, or what is missing), what "
                                       "the last run did (from the agent's log), and the "
                                       "calendars that take part with their events.\n\n"
                                       "Exit status: 0 when reminders are on and scheduled and the last run (if any) "
                                       "handed every reminder over; 1 when the last run did not; 3 when reminders do "
                                       "not go out (off, on but not scheduled, the scheduler cannot be asked, or no "
                                       "pane installed)."));
    InstalledPane pane;
    if (const int status = pane.openFor(line, arguments, ExitStatus::NotGoingOut); status >= 0) {
        return status;
    }
    const Bundle &texts = pane.texts();
    const ComKestramoPreferenceQuorvelModel model(false);
    const QDateTime now = QDateTime::currentDateTime();

    const ScheduleStatus::Result schedule = ScheduleStatus::query(LaunchAgent::label(), model.quorvelEnabled());
    if (!model.preferencesReadable()) {
        // The agent's runs send nothing while the settings cannot be read.
        Output::line(QStringLiteral("Reminders: not sent, the settings cannot be read: ") + model.preferencesProblem());
    } else {
        Output::line(QStringLiteral("Reminders: %1, %2 days before each event")
                         .arg(model.quorvelEnabled() ? QStringLiteral("on") : QStringLiteral("off"),
                              model.daysBeforeEventStart()));
    }
    Output::line(QStringLiteral("Schedule: ") + ScheduleStatus::text(schedule, texts, now));
    Output::line(MailStatus::current(texts, model.senderEmail()).text);

    qint64 pid = 0;
    const RunOutcome last = RunOutcome::lastRun(
        SentReminders::readLogText(ComKestramoLogger::logsPath(), LaunchAgent::agentName()), now.date(), &pid);
    const bool running = last.found && !last.finished && isRunning(pid);
    if (!last.found) {
        Output::line(QStringLiteral("Last run: none yet"));
    } else if (running) {
        Output::line(
            QStringLiteral("Last run: going on since %1")
                .arg(DateFormatter(DateFormatter::ShortStyle, DateFormatter::ShortStyle).stringFromDate(last.started)));
    } else {
        // The summary tells the time of day; a run of another day says which.
        const QString day = last.started.date() == now.date()
            ? QString()
            : QStringLiteral(" (%1)").arg(
                DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle).stringFromDate(last.started));
        Output::line(QStringLiteral("Last run: ") + last.summary(texts) + day);
    }
    Output::line(QStringLiteral("Calendars: ") + calendarsText(model));
    Output::line(QStringLiteral("Pane: %1, version %2").arg(pane.path(), pane.version()));

    if (schedule.state != ScheduleStatus::On || !model.preferencesReadable()) {
        return ExitStatus::NotGoingOut;
    }
    const bool failed = last.found && !running && (!last.finished || !last.failures.isEmpty());
    return failed ? ExitStatus::Failure : ExitStatus::Success;
}
