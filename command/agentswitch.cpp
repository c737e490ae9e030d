#include "agentswitch.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "ComKestramoPreferencesUtils.h"
#include "commandline.h"
#include "installedpane.h"
#include "launchagent.h"
#include "schedulestatus.h"
#include "subcommands.h"

#include <QDateTime>
#include <QFileInfo>

namespace {
// The schedule as the scheduler now holds it, in the pane's words.
void showSchedule(bool enabled, const InstalledPane &pane)
{
    const ScheduleStatus::Result result = ScheduleStatus::query(LaunchAgent::label(), enabled);
    Output::line(ScheduleStatus::text(result, pane.texts(), QDateTime::currentDateTime()));
}
} // namespace

int AgentSwitch::switchOn(ComKestramoPreferenceQuorvelModel &model, const InstalledPane &pane)
{
    if (!model.preferencesReadable()) {
        return Output::fail(model.preferencesProblem()
                            + QStringLiteral("; reminders were not switched on. Repair that file, or remove it to "
                                             "start afresh with the default settings."));
    }
    model.setQuorvelEnabled(true);
    if (!model.preferencesProblem().isEmpty()) {
        return Output::fail(model.preferencesProblem() + QStringLiteral("\nReminders stay off."));
    }
    const LaunchAgent::Result result = LaunchAgent::load(pane.agentPath());
    if (!result.ok()) {
        // Reminders that cannot be scheduled are not on.
        model.setQuorvelEnabled(false);
        return Output::fail(
            QStringLiteral("the scheduler did not take Ruvelant: %1\nReminders stay off.").arg(result.error));
    }
    showSchedule(true, pane);
    return ExitStatus::Success;
}

int AgentSwitch::switchOff(ComKestramoPreferenceQuorvelModel *model, const InstalledPane *pane)
{
    if (model) {
        model->setQuorvelEnabled(false);
    } else {
        ComKestramoPreferencesUtils *preferences = ComKestramoPreferencesUtils::sharedPreferences();
        preferences->setPrefernceValue(false, QStringLiteral("quorvelEnabled"));
        preferences->synchronize();
    }
    // Unloaded from every scheduler that may hold it, also where the file is gone.
    const LaunchAgent::Result result = LaunchAgent::unload();
    if (QFileInfo::exists(LaunchAgent::plistAgentFilePath())) {
        LaunchAgent::removeFile();
    }
    if (!result.ok()) {
        return Output::fail(QStringLiteral("the schedule could not be removed: %1\nReminders are off: a run that "
                                           "still starts ends at once without sending.")
                                .arg(result.error));
    }
    if (pane) {
        showSchedule(false, *pane);
    } else {
        Output::line(QStringLiteral("Off: no reminders are sent."));
    }
    return ExitStatus::Success;
}

int enableCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("enable"),
                        QStringLiteral("Switches reminders on, as the pane's box does: stores the setting and has the "
                                       "user's scheduler (systemd user timer, else cron) start the installed pane's "
                                       "agent every 30 minutes. Exit status 0 when it is scheduled; 1 when it cannot "
                                       "be (reminders then stay off, and the reason is given)."));
    InstalledPane pane;
    if (const int status = pane.openFor(line, arguments, ExitStatus::Failure); status >= 0) {
        return status;
    }
    ComKestramoPreferenceQuorvelModel model(false);
    return AgentSwitch::switchOn(model, pane);
}

int disableCommand(const QStringList &arguments)
{
    SubcommandLine line(
        QStringLiteral("disable"),
        QStringLiteral("Switches reminders off, as the pane's box does: stores the setting and takes the "
                       "agent's schedule away from every scheduler that holds it. Exit status 0 when "
                       "it is done; 1 when a scheduler could not take it away."));
    const int status = line.parse(arguments, 0, 0);
    if (status >= 0) {
        return status;
    }
    InstalledPane pane;
    QString ignored;
    if (!pane.find(&ignored)) {
        return AgentSwitch::switchOff(nullptr, nullptr);
    }
    pane.actAsAgent();
    ComKestramoPreferenceQuorvelModel model(false);
    return AgentSwitch::switchOff(&model, &pane);
}
