#ifndef RUVELANT_CRONSERVICE_H
#define RUVELANT_CRONSERVICE_H

#include <QString>

// Whether a cron daemon runs to start the lines of the users' crontabs. A crontab line alone
// starts nothing: in a container or on a minimal server the crontab program may be installed
// while its daemon is not running.
namespace CronService {
enum State { Running, Stopped, Unknown };

// Asks the system's service manager with "systemctl is-active" for the units of the known cron
// daemons; where no service manager answers (no systemd as the first process), looks for a cron
// daemon among the processes in procRoot. systemctl: the systemctl program, empty when there is none.
State state(const QString &systemctl, const QString &procRoot = QStringLiteral("/proc"));

// From the units' states that "systemctl is-active UNIT..." printed, one per line: Running when
// one of them is active (or starting, or reloading), Stopped when every line is another state,
// Unknown when the answer is not one line per unit.
State fromUnitStates(const QString &output, int units);

// From the processes in procRoot alone: Running when one of them is a cron daemon (cron, crond,
// cronie, fcron, dcron, bcron-sched, or busybox running its crond), Stopped when none is and
// the system's processes can be seen, Unknown when they are hidden from this user (hidepid).
State fromProcesses(const QString &procRoot);
} // namespace CronService

#endif
