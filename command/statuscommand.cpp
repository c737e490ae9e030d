// ruvelant status: on or off, the schedule as the scheduler holds it, the mail system, the last
// run and the last failure, the calendars that take part; its exit status says whether reminders
// can go out, and the lines that end it say why not.
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

// The calendar's events: the event files of its folder; -1 for a calendar that is no folder (one
// of the desktop's store).
int eventCount(const QString &uid)
{
    if (uid.contains(QLatin1Char('/'))) {
        return -1;
    }
    return int(QDir(xdgDataHome() + QStringLiteral("/calendars/") + uid)
                   .entryList({QStringLiteral("*.ics")}, QDir::Files)
                   .size());
}

QString calendarsText(const ComKestramoPreferenceQuorvelModel &model, int *ticked)
{
    QStringList enabled;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        if (entry->enabled()) {
            const int count = eventCount(entry->calendaUID());
            enabled.append(count < 0 ? QStringLiteral("%1 (%2)").arg(entry->calendarTitle(), entry->calendaUID())
                                     : QStringLiteral("%1 (%2, %3 %4)")
                                           .arg(entry->calendarTitle(), entry->calendaUID())
                                           .arg(count)
                                           .arg(count == 1 ? QStringLiteral("event") : QStringLiteral("events")));
        }
    }
    *ticked = enabled.size();
    if (enabled.isEmpty()) {
        return model.allCalendars().isEmpty()
            ? QStringLiteral("none yet (Ruvelant reads your desktop's calendars and those in %1/calendars)")
                  .arg(xdgDataHome())
            : QStringLiteral("none ticked (ruvelant set activeCalendars ...)");
    }
    return enabled.join(QStringLiteral(", "));
}

// When a run started: its time of day, and its day when that is not today.
QString runText(const RunOutcome &run, const Bundle &texts, const QDate &today)
{
    const QString day = run.started.date() == today
        ? QString()
        : QStringLiteral(" (%1)").arg(
            DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle).stringFromDate(run.started));
    return run.summary(texts) + day;
}

// Why reminders cannot go out with the schedule as it is; empty when they can.
QString scheduleProblem(const ScheduleStatus::Result &schedule)
{
    switch (schedule.state) {
    case ScheduleStatus::On:
    case ScheduleStatus::Off: // said as "reminders are off"
    case ScheduleStatus::OffButScheduled:
        return QString();
    case ScheduleStatus::NotScheduled:
        return QStringLiteral("nothing starts the agent: it is not scheduled (ruvelant enable schedules it)");
    case ScheduleStatus::SchedulerStopped:
        return QStringLiteral("nothing starts the agent: cron's service is not running");
    case ScheduleStatus::Checking:
    case ScheduleStatus::Failed:
        break;
    }
    return QStringLiteral("the scheduler cannot be asked: %1").arg(schedule.error);
}
} // namespace

int statusCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("status"),
                        QStringLiteral("Tells whether reminders are on, the schedule as the user's scheduler holds it "
                                       "(systemd timer with its next run, or cron), the mail account that sends the "
                                       "reminders (or the mail system they are handed to, or what is missing), what "
                                       "the last run did (from the agent's log), the last failure to hand reminders "
                                       "over until a run hands one over again, and the "
                                       "calendars that take part with their events.\n\n"
                                       "Exit status: 0 when reminders can go out: they are on and scheduled, a "
                                       "calendar is ticked, a mail system is there, and no failure of a run stands; "
                                       "1 otherwise (also without an installed pane), with a line \"Not going out: "
                                       "...\" for each reason."));
    InstalledPane pane;
    if (const int status = pane.openFor(line, arguments, ExitStatus::Failure); status >= 0) {
        return status;
    }
    const Bundle &texts = pane.texts();
    const ComKestramoPreferenceQuorvelModel model(false);
    const QDateTime now = QDateTime::currentDateTime();
    QStringList problems;

    const ScheduleStatus::Result schedule = ScheduleStatus::query(LaunchAgent::label(), model.quorvelEnabled());
    if (!model.preferencesReadable()) {
        // The agent's runs send nothing while the settings cannot be read.
        Output::line(QStringLiteral("Reminders: not sent, the settings cannot be read: ") + model.preferencesProblem());
        problems.append(QStringLiteral("the settings cannot be read: ") + model.preferencesProblem());
    } else {
        Output::line(QStringLiteral("Reminders: %1, %2 days before each event")
                         .arg(model.quorvelEnabled() ? QStringLiteral("on") : QStringLiteral("off"),
                              model.daysBeforeEventStart()));
    }
    if (!model.preferencesReadable()) {
        // Said above: nothing else matters until they can be read.
    } else if (!model.quorvelEnabled()) {
        problems.append(QStringLiteral("reminders are off (ruvelant enable switches them on)"));
    } else if (const QString problem = scheduleProblem(schedule); !problem.isEmpty()) {
        problems.append(problem);
    }
    Output::line(QStringLiteral("Schedule: ") + ScheduleStatus::text(schedule, texts, now));
    const MailStatus mail = MailStatus::current(texts, model.senderEmail());
    Output::line(mail.text);
    if (!mail.found) {
        problems.append(QStringLiteral("no mail account and no mail system (sendmail) was found"));
    }

    const QString log = SentReminders::readLogText(ComKestramoLogger::logsPath(), LaunchAgent::agentName());
    qint64 pid = 0;
    const RunOutcome last = RunOutcome::lastRun(log, now.date(), &pid);
    const bool running = last.found && !last.finished && isRunning(pid);
    if (!last.found) {
        Output::line(QStringLiteral("Last run: none yet"));
    } else if (running) {
        Output::line(
            QStringLiteral("Last run: going on since %1")
                .arg(DateFormatter(DateFormatter::ShortStyle, DateFormatter::ShortStyle).stringFromDate(last.started)));
    } else {
        Output::line(QStringLiteral("Last run: ") + runText(last, texts, now.date()));
        if (!last.finished) {
            problems.append(QStringLiteral("the last run did not end"));
        }
    }
    // A failure stays in sight until a later run has handed reminders over: runs with nothing
    // to send prove nothing.
    const RunOutcome failed = RunOutcome::standingFailure(log, now.date());
    if (failed.found) {
        if (failed.pid != last.pid || failed.started != last.started) {
            Output::line(QStringLiteral("Last failure: ") + runText(failed, texts, now.date()));
        }
        problems.append(QStringLiteral("the run at %1 could not hand reminders over, and no run has since")
                            .arg(DateFormatter(DateFormatter::ShortStyle, DateFormatter::ShortStyle)
                                     .stringFromDate(failed.started)));
    }
    int ticked = 0;
    Output::line(QStringLiteral("Calendars: ") + calendarsText(model, &ticked));
    if (ticked == 0) {
        problems.append(QStringLiteral("no calendar is ticked"));
    }
    Output::line(QStringLiteral("Pane: %1, version %2").arg(pane.path(), pane.version()));

    for (const QString &problem : qAsConst(problems)) {
        Output::line(QStringLiteral("Not going out: ") + problem);
    }
    return problems.isEmpty() ? ExitStatus::Success : ExitStatus::Failure;
}
