#ifndef RUVELANT_CRONJOBSCHEDULER_H
#define RUVELANT_CRONJOBSCHEDULER_H

#include "jobscheduler.h"

#include <QByteArrayList>

// Schedules launch agents with cron: one line in the user's crontab per agent, tagged at its end
// with "# launchctl:<label>", read and replaced through the crontab program ("crontab -l",
// "crontab -"). The user's other lines are kept as they are.
class CronJobScheduler : public JobScheduler
{
public:
    // crontab: the crontab program to run; systemctl: the one that asks whether cron's service
    // runs (empty: none, the processes tell).
    explicit CronJobScheduler(const QString &crontab, const QString &systemctl = QString());

    QString name() const override { return QStringLiteral("cron"); }
    QString kind() const override { return QStringLiteral("cron"); }
    bool load(const LaunchJob &job, QString *error) override;
    bool unload(const QString &label, QString *error) override;
    // Loaded: a line of the crontab carries the label's tag; its interval is read from its fields,
    // and whether cron's service runs is asked (see CronService).
    bool state(const QString &label, JobState *state, bool *loaded, QString *error) override;

    // The five time fields for an agent started every seconds seconds. cron counts in whole
    // minutes and restarts its steps every hour and every day, so the agent runs at the longest
    // step that divides the hour or the day evenly and does not exceed the interval: every
    // 1, 2, 3, 4, 5, 6, 10, 12, 15, 20 or 30 minutes, every 1, 2, 3, 4, 6, 8 or 12 hours, or daily.
    static QString schedule(qint64 seconds);
    // The interval in seconds of the five time fields that schedule() writes; 0 for others.
    static qint64 interval(const QString &fields);
    // The crontab line for a schedulable job, with its tag; empty (and *why set) when an
    // argument cannot be written into a crontab.
    static QString line(const LaunchJob &job, QString *why = nullptr);

private:
    // The user's crontab as its lines; false when it cannot be read (nothing must be written then).
    bool readLines(QByteArrayList *lines, QString *error) const;
    bool writeLines(const QByteArrayList &lines, QString *error) const;

    QString m_crontab;
    QString m_systemctl;
};

#endif
