#ifndef RUVELANT_SUBCOMMANDS_H
#define RUVELANT_SUBCOMMANDS_H

#include <QStringList>

// The subcommands of ruvelant: each takes the arguments that follow its name and returns the
// command's exit status (see ExitStatus).
int statusCommand(const QStringList &arguments);
int upcomingCommand(const QStringList &arguments);
int runCommand(const QStringList &arguments);
int enableCommand(const QStringList &arguments);
int disableCommand(const QStringList &arguments);
int getCommand(const QStringList &arguments);
int setCommand(const QStringList &arguments);
int logCommand(const QStringList &arguments);
int resendCommand(const QStringList &arguments);
int calendarsCommand(const QStringList &arguments);
int mailCommand(const QStringList &arguments);

#endif
