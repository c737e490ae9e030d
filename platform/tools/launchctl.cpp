// launchctl: schedules and unschedules launch agents with the user's own scheduler.
//
//   launchctl load [-w] FILE...
//   launchctl unload [-w] FILE...
//   launchctl list LABEL
//
// FILE is a launch-agent property list (Label, ProgramArguments, StartInterval, KeepAlive). The
// agent is started every StartInterval seconds by the systemd user manager when it answers,
// else by cron; unload takes it away from each of them. list prints where LABEL is scheduled
// (see JobState) and exits 0, or exits 3 when it is scheduled nowhere. Exit status 0 on success,
// 1 with "launchctl: what went wrong" otherwise.

#include "jobscheduler.h"
#include "launchjob.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include <sys/stat.h>
#include <unistd.h>

namespace {
bool complain(const QString &message)
{
    QTextStream(stderr) << "launchctl: " << message << '\n';
    return false;
}

// The file must be the user's own and writable by no one else, in a folder that no one else may
// change (a sticky folder of the user's or root's, as /tmp is, lets no one else replace it):
// whoever may change or replace it chooses the program that runs in the user's name.
bool isTrustworthy(const QString &path, QString *why)
{
    const QFileInfo info(path);
    if (info.ownerId() != ::getuid() && info.ownerId() != 0) {
        *why = QStringLiteral("%1 belongs to another user").arg(path);
        return false;
    }
    if (info.permissions() & (QFile::WriteGroup | QFile::WriteOther)) {
        *why = QStringLiteral("%1 can be changed by others than its owner").arg(path);
        return false;
    }
    // The folder of the name given, and of the file it names after every symbolic link.
    for (const QString &folder : {info.absolutePath(), QFileInfo(info.canonicalFilePath()).absolutePath()}) {
        struct stat st
        {
        };
        if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
            continue;
        }
        const bool sticky = (st.st_mode & S_ISVTX) && (st.st_uid == ::getuid() || st.st_uid == 0);
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !sticky) {
            *why = QStringLiteral("%1 is in %2, which others than its owner may change").arg(path, folder);
            return false;
        }
    }
    return true;
}

class Launchctl
{
public:
    bool load(const QString &path)
    {
        LaunchJob job;
        QString why;
        if (!LaunchJob::read(path, &job, &why) || !isTrustworthy(path, &why) || !job.isSchedulable(&why)) {
            return complain(QStringLiteral("%1: %2").arg(path, why));
        }
        if (!schedulers() || !m_schedulers.front()->canLoad()) {
            return complain(m_noScheduler);
        }
        JobScheduler *scheduler = m_schedulers.front().get();
        if (!scheduler->load(job, &why)) {
            return complain(QStringLiteral("%1 could not schedule %2: %3").arg(scheduler->name(), job.label, why));
        }
        // One schedule: one that another scheduler still holds from an earlier load goes.
        for (size_t i = 1; i < m_schedulers.size(); ++i) {
            if (!m_schedulers[i]->unload(job.label, &why)) {
                complain(QStringLiteral("warning: %1 still starts %2 as well: %3")
                             .arg(m_schedulers[i]->name(), job.label, why));
            }
        }
        return true;
    }

    bool unload(const QString &path)
    {
        QString label;
        QString why;
        if (QFileInfo::exists(path)) {
            LaunchJob job;
            if (!LaunchJob::read(path, &job, &why)) {
                return complain(QStringLiteral("%1: %2").arg(path, why));
            }
            if (!LaunchJob::isValidLabel(job.label, &why)) {
                return complain(QStringLiteral("%1: %2").arg(path, why));
            }
            label = job.label;
        } else {
            // A launch agent's file is named after its label; without the file that name is all
            // there is to know. A name that no schedule can carry was never loaded.
            label = QFileInfo(path).completeBaseName();
            if (!LaunchJob::isValidLabel(label)) {
                return true;
            }
        }
        // Taken away wherever it was loaded, also from a scheduler that took it while the
        // other did not answer.
        bool ok = true;
        if (schedulers()) {
            for (const auto &scheduler : m_schedulers) {
                if (!scheduler->unload(label, &why)) {
                    ok = complain(QStringLiteral("%1 could not unschedule %2: %3").arg(scheduler->name(), label, why));
                }
            }
        }
        return ok;
    }

    // Prints a record for each scheduler that holds label. 0 when one does, 3 when none does, 1
    // when none does and one could not tell (or there is no scheduler at all).
    int list(const QString &label)
    {
        QString why;
        if (!LaunchJob::isValidLabel(label, &why)) {
            complain(why);
            return 1;
        }
        bool found = false;
        bool failed = !schedulers() || !m_schedulers.front()->canLoad();
        if (failed) {
            complain(m_noScheduler);
        }
        QStringList records;
        for (const auto &scheduler : m_schedulers) {
            JobState state;
            bool loaded = false;
            if (!scheduler->state(label, &state, &loaded, &why)) {
                complain(
                    QStringLiteral("%1 cannot tell whether %2 is scheduled: %3").arg(scheduler->name(), label, why));
                failed = true;
            } else if (loaded) {
                found = true;
                records.append(state.toText());
            }
        }
        QTextStream(stdout) << records.join(QLatin1Char('\n'));
        if (found) {
            return 0;
        }
        if (failed) {
            return 1;
        }
        complain(QStringLiteral("%1 is not scheduled").arg(label));
        return notLoadedStatus;
    }

    static constexpr int notLoadedStatus = 3;

private:
    // The user's schedulers, looked for once; false when there is none at all.
    bool schedulers()
    {
        if (!m_looked) {
            m_looked = true;
            m_schedulers = JobScheduler::allForCurrentUser(&m_noScheduler);
        }
        return !m_schedulers.empty();
    }

    bool m_looked = false;
    std::vector<std::unique_ptr<JobScheduler>> m_schedulers;
    QString m_noScheduler; // why none can load
};
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("launchctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(RUVELANT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Schedules launch agents with the user's own scheduler: the systemd user manager "
                       "(units in ~/.config/systemd/user) when it runs, else cron (a line in the user's crontab).\n"
                       "load: starts the agent of each FILE every StartInterval seconds, replacing any earlier "
                       "schedule of its Label.\n"
                       "unload: takes that schedule away, from every scheduler that holds it; nothing to do is no "
                       "error.\n"
                       "list LABEL: prints where the agent LABEL is scheduled (Label, Scheduler, StartInterval and "
                       "NextRun, one per line, a tab after the key); exit status 3 when it is scheduled nowhere."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("w"), QStringLiteral("Accepted for compatibility; no effect.")));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("load, unload or list"));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Launch-agent property lists."),
                                 QStringLiteral("FILE..."));
    if (!parser.parse(app.arguments())) {
        complain(parser.errorText());
        return 1;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
    QStringList arguments = parser.positionalArguments();
    if (arguments.isEmpty()) {
        complain(QStringLiteral("say load, unload or list (see --help)"));
        return 1;
    }
    const QString command = arguments.takeFirst();
    if (command == QLatin1String("list")) {
        if (arguments.size() != 1) {
            complain(QStringLiteral("list needs one label (see --help)"));
            return 1;
        }
        return Launchctl().list(arguments.first());
    }
    if (command != QLatin1String("load") && command != QLatin1String("unload")) {
        complain(QStringLiteral("unknown command \"%1\": say load, unload or list (see --help)").arg(command));
        return 1;
    }
    if (arguments.isEmpty()) {
        complain(QStringLiteral("%1 needs the launch-agent file (see --help)").arg(command));
        return 1;
    }
    Launchctl launchctl;
    bool ok = true;
    for (const QString &path : qAsConst(arguments)) {
        ok = (command == QLatin1String("load") ? launchctl.load(path) : launchctl.unload(path)) && ok;
    }
    return ok ? 0 : 1;
}
