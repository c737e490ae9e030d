#ifndef RUVELANT_JOBSCHEDULER_H
#define RUVELANT_JOBSCHEDULER_H

#include "launchjob.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Where and how a launch agent is scheduled: one record of "launchctl list LABEL", which prints
// it as lines "Key<TAB>value" (Label, Scheduler, StartInterval, and NextRun when the scheduler
// tells it), records apart by an empty line.
struct JobState
{
    QString label;
    QString scheduler; // "systemd" or "cron"
    qint64 startInterval = 0; // seconds between two starts as scheduled; 0 when unknown
    QDateTime nextRun; // invalid when the scheduler does not tell

    QString toText() const;
    // The records of a text that toText wrote; lines it does not know are left out.
    static QList<JobState> fromText(const QString &text);
};

// The user's own scheduler, which starts a launch agent every StartInterval seconds in place of
// launchd: the systemd user manager, or cron where no user manager runs.
class JobScheduler
{
public:
    virtual ~JobScheduler();

    // What the scheduler is, for messages: "the systemd user manager", "cron".
    virtual QString name() const = 0;
    // Its short name in a JobState: "systemd", "cron".
    virtual QString kind() const = 0;
    // Whether it can start agents now (and so load one).
    virtual bool canLoad() const { return true; }
    // Schedules job (which must be schedulable), replacing any schedule of the same label, so
    // that loading twice leaves one. Returns false with a message in *error.
    virtual bool load(const LaunchJob &job, QString *error) = 0;
    // Takes the schedule of label away. Returns true, and changes nothing, when there is none;
    // false with a message in *error when it cannot be taken away.
    virtual bool unload(const QString &label, QString *error) = 0;
    // Whether label is scheduled here to start, into *state. Returns false with a message in
    // *error when the scheduler cannot tell; *loaded is false when it holds no such schedule.
    virtual bool state(const QString &label, JobState *state, bool *loaded, QString *error) = 0;

    // The environment variable that names the folder of the scheduler's programs (systemctl,
    // crontab) outright, in place of PATH. Tests name stand-ins that keep the schedule in a
    // throw-away home, so that none of them reaches the user's own crontab or user manager
    // however it sets PATH.
    static const char ProgramsFolderVariable[]; // "RUVELANT_SCHEDULER_DIR"

    // The current user's scheduler: the systemd user manager when "systemctl --user
    // show-environment" succeeds, else cron when a crontab program is on PATH (or in the folder
    // that ProgramsFolderVariable names). nullptr, with a message in *error, when there is neither.
    static std::unique_ptr<JobScheduler> forCurrentUser(QString *error);
    // Every scheduler of the current user that may hold a schedule, the one that loads first:
    // the systemd user manager when it answers, cron when a crontab program is on PATH, and the
    // user's systemd unit folder alone when the manager does not answer (what was loaded while
    // it did stays there). *error says why none can load when the first cannot.
    static std::vector<std::unique_ptr<JobScheduler>> allForCurrentUser(QString *error);

    // The variables that give a started agent the user's language and time zone: LANG,
    // LANGUAGE, LC_* and TZ from this process's environment, when set and not empty, sorted by
    // name. A value holding a control character cannot be written into a schedule and is left
    // out with a warning.
    static QList<QPair<QString, QString>> localeEnvironment();
    // The environment of a scheduled program: localeEnvironment(), then the installation that
    // scheduled it (Installation::scheduleVariable()), when there is one.
    static QList<QPair<QString, QString>> jobEnvironment();

protected:
    // Runs program with arguments, writes input to it, and waits up to a minute. Returns true
    // when it exited with status 0; otherwise false with *error naming the command, its status
    // and what it wrote on standard error. *output receives its standard output, *exitCode its
    // status (-1 when it did not run to its end).
    static bool runCommand(const QString &program, const QStringList &arguments, const QByteArray &input,
                           QByteArray *output, QString *error, int *exitCode = nullptr);
};

#endif
