// ruvelant run: one run of the pane's agent now, in this process as the agent itself (its log,
// its run lock, its texts); exit status 0 when every reminder it handed over was taken.
#include "ComKestramoLogger.h"
#include "ComKestramoPreferenceQuorvelModel.h"
#include "agentrun.h"
#include "bundle.h"
#include "commandline.h"
#include "installedpane.h"
#include "launchagent.h"
#include "runoutcome.h"
#include "stoprequest.h"
#include "subcommands.h"

#include <QCoreApplication>

int runCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("run [--no-pause]"),
                        QStringLiteral("Runs the agent once now, as the pane's Send Reminders Now does: the reminders "
                                       "due are handed to the mail system and their events marked. The run writes the "
                                       "agent's log (its lines also go to standard error), and waits for a scheduled "
                                       "run that is going on. Then a line says what it did.\n\n"
                                       "Exit status: 0 when every reminder of the run reached the mail system; 1 when "
                                       "one did not, the run did not end, or reminders are off (a run then sends "
                                       "nothing)."));
    const QCommandLineOption noPause(QStringLiteral("no-pause"),
                                     QStringLiteral("Ends at once, without the agent's closing pause of 10 seconds."));
    line.parser().addOption(noPause);
    InstalledPane pane;
    if (const int status = pane.openFor(line, arguments, ExitStatus::Failure); status >= 0) {
        return status;
    }
    {
        const ComKestramoPreferenceQuorvelModel model(false);
        if (!model.preferencesReadable()) {
            return Output::fail(model.preferencesProblem()
                                + QStringLiteral("; a run sends nothing until that file is repaired or removed"));
        }
        if (!model.quorvelEnabled()) {
            return Output::fail(QStringLiteral("reminders are off, and a run sends nothing while they are: switch "
                                               "them on with \"ruvelant enable\""));
        }
    }

    // Stopped (Ctrl+C, logging out), the run finishes the event in hand and ends.
    StopRequest::catchSignals();
    AgentRunEnvironment environment;
    if (line.parser().isSet(noPause)) {
        environment.pause = [](std::chrono::microseconds) {};
    }
    environment.notifierPath = pane.notifierPath();
    const QDateTime started = QDateTime::currentDateTime();
    runAgent(environment);

    const QString log = SentReminders::readLogText(ComKestramoLogger::logsPath(), LaunchAgent::agentName());
    const RunOutcome outcome
        = RunOutcome::ofProcess(log, QCoreApplication::applicationPid(), started, QDate::currentDate());
    if (!outcome.found) {
        return Output::fail(pane.texts().localizedStringForKey(QStringLiteral("RunNotInLog")));
    }
    Output::line(outcome.summary(pane.texts()));
    const bool allTaken = outcome.finished && !outcome.disabled && outcome.failures.isEmpty();
    return allTaken ? ExitStatus::Success : ExitStatus::Failure;
}
