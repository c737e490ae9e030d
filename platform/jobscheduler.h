#ifndef RUVELANT_JOBSCHEDULER_H
#define RUVELANT_JOBSCHEDULER_H

#include "launchjob.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

// The user's own scheduler, which starts a launch agent every StartInterval seconds in place of
// launchd: the systemd user manager, or cron where no user manager runs.
class JobScheduler
{
public:
    virtual ~JobScheduler();

    // What the scheduler is, for messages: "the systemd user manager", "cron".
    virtual QString name() const = 0;
    // Schedules job (which must be schedulable), replacing any schedule of the same label, so
    // that loading twice leaves one. Returns false with a message in *error.
    virtual bool load(const LaunchJob &job, QString *error) = 0;
    // Takes the schedule of label away. Returns true, and changes nothing, when there is none;
    // false with a message in *error when it cannot be taken away.
    virtual bool unload(const QString &label, QString *error) = 0;

    // The current user's scheduler: the systemd user manager when "systemctl --user
    // show-environment" succeeds, else cron when a crontab program is on PATH. nullptr, with a
    // message in *error, when there is neither.
    static std::unique_ptr<JobScheduler> forCurrentUser(QString *error);

    // The variables that give a started agent the user's language and time zone: LANG,
    // LANGUAGE, LC_* and TZ from this process's environment, when set and not empty, sorted by
    // name. A value holding a control character cannot be written into a schedule and is left
    // out with a warning.
    static QList<QPair<QString, QString>> localeEnvironment();

protected:
    // Runs program with arguments, writes input to it, and waits up to a minute. Returns true
    // when it exited with status 0; otherwise false with *error naming the command, its status
    // and what it wrote on standard error. *output receives its standard output, *exitCode its
    // status (-1 when it did not run to its end).
    static bool runCommand(const QString &program, const QStringList &arguments, const QByteArray &input,
                           QByteArray *output, QString *error, int *exitCode = nullptr);
};

#endif
