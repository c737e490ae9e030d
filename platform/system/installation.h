#ifndef RUVELANT_INSTALLATION_H
#define RUVELANT_INSTALLATION_H

#include <QPair>
#include <QString>

// The installation whose launchctl scheduled a program, and what such a program does when that
// installation was removed. The scheduled programs are copies in the user's home (the pane that
// the installer unpacked); once the package is removed, no tool is left that could take their
// schedule away, so each one takes its own away at its next start.
namespace Installation {
// The variable that a schedule gives the program it starts: the folder of the platform programs
// (launchctl, defaults) of the installation that scheduled it.
extern const char Variable[]; // "RUVELANT_INSTALLATION"

// The variable and its value for a schedule that this process writes: the folder of our
// programs (Programs::toolsFolder()); an empty value when it does not hold them.
QPair<QString, QString> scheduleVariable();

// The folder that this process's schedule named (Variable), when it no longer holds our
// programs: the installation that scheduled this program was removed. Empty when it holds them,
// or when the program was not started by such a schedule.
QString removedFolder();

// Takes the schedule of label away from every scheduler of the current user and deletes its
// launch-agent file, as "launchctl unload" and the installer's uninstall do, without either of
// them. Returns false with what went wrong in *error.
bool unschedule(const QString &label, QString *error);
} // namespace Installation

#endif
