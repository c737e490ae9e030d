#ifndef RUVELANT_SYSTEMDJOBSCHEDULER_H
#define RUVELANT_SYSTEMDJOBSCHEDULER_H

#include "jobscheduler.h"

// Schedules launch agents with the systemd user manager: <label>.service (a one-shot run of the
// program) and <label>.timer (first run one interval after loading, then one interval after
// each start) in $XDG_CONFIG_HOME/systemd/user, enabled and started through systemctl --user.
// Without a manager that answers it only takes away what an earlier load left in that folder.
class SystemdJobScheduler : public JobScheduler
{
public:
    // systemctl: the systemctl program to run; empty when the user manager does not answer.
    explicit SystemdJobScheduler(const QString &systemctl);

    QString name() const override { return QStringLiteral("the systemd user manager"); }
    QString kind() const override { return QStringLiteral("systemd"); }
    bool canLoad() const override { return !m_systemctl.isEmpty(); }
    bool load(const LaunchJob &job, QString *error) override;
    bool unload(const QString &label, QString *error) override;
    // Loaded: the timer is active ("systemctl --user list-timers"), with its next start.
    bool state(const QString &label, JobState *state, bool *loaded, QString *error) override;

    // The folder of the user's own unit files.
    static QString unitFolder();
    // The text of the service and the timer unit for a schedulable job.
    static QString serviceUnit(const LaunchJob &job);
    static QString timerUnit(const LaunchJob &job);

private:
    bool systemctl(const QStringList &arguments, QString *error) const;

    QString m_systemctl;
};

#endif
