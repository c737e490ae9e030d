#ifndef RUVELANT_SYSTEMDJOBSCHEDULER_H
#define RUVELANT_SYSTEMDJOBSCHEDULER_H

#include "jobscheduler.h"

// Schedules launch agents with the systemd user manager: <label>.service (a one-shot run of the
// program) and <label>.timer (first run one interval after loading, then one interval after
// each start) in $XDG_CONFIG_HOME/systemd/user, enabled and started through systemctl --user.
class SystemdJobScheduler : public JobScheduler
{
public:
    // systemctl: the systemctl program to run.
    explicit SystemdJobScheduler(const QString &systemctl);

    QString name() const override { return QStringLiteral("the systemd user manager"); }
    bool load(const LaunchJob &job, QString *error) override;
    bool unload(const QString &label, QString *error) override;

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
