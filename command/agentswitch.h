#ifndef RUVELANT_AGENTSWITCH_H
#define RUVELANT_AGENTSWITCH_H

class ComKestramoPreferenceQuorvelModel;
class InstalledPane;

// Reminders switched on and off as the pane's enable box does it: the stored setting first, then
// the schedule (the launch-agent file of the pane's agent, loaded or unloaded with launchctl).
// A schedule that the scheduler refuses leaves the setting off. Each says what came of it and
// returns the command's exit status.
namespace AgentSwitch {
int switchOn(ComKestramoPreferenceQuorvelModel &model, const InstalledPane &pane);
// model and pane: nullptr where no pane is installed; then only the stored setting is switched
// off, as the installer's uninstall does (a model would store its defaults without the pane's
// texts).
int switchOff(ComKestramoPreferenceQuorvelModel *model, const InstalledPane *pane);
} // namespace AgentSwitch

#endif
