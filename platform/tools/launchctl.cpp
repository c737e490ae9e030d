// launchctl: schedules and unschedules launch agents with the user's own scheduler.
//
//   launchctl load [-w] FILE...
//   launchctl unload [-w] FILE...
//
// FILE is a launch-agent property list (Label, ProgramArguments, StartInterval, KeepAlive). The
// agent is started every StartInterval seconds by the systemd user manager when it answers,
// else by cron. Exit status 0 on success, 1 with "launchctl: what went wrong" otherwise.

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
        JobScheduler *scheduler = this->scheduler();
        if (!scheduler) {
            return false;
        }
        if (!scheduler->load(job, &why)) {
            return complain(QStringLiteral("%1 could not schedule %2: %3").arg(scheduler->name(), job.label, why));
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
        JobScheduler *scheduler = this->scheduler();
        if (!scheduler) {
            return false;
        }
        if (!scheduler->unload(label, &why)) {
            return complain(QStringLiteral("%1 could not unschedule %2: %3").arg(scheduler->name(), label, why));
        }
        return true;
    }

private:
    JobScheduler *scheduler()
    {
        if (!m_scheduler) {
            QString why;
            m_scheduler = JobScheduler::forCurrentUser(&why);
            if (!m_scheduler) {
                complain(why);
            }
        }
        return m_scheduler.get();
    }

    std::unique_ptr<JobScheduler> m_scheduler;
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
                       "unload: takes that schedule away; nothing to do is no error."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringLiteral("w"), QStringLiteral("Accepted for compatibility; no effect.")));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("load or unload"));
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
        complain(QStringLiteral("say load or unload (see --help)"));
        return 1;
    }
    const QString command = arguments.takeFirst();
    if (command != QLatin1String("load") && command != QLatin1String("unload")) {
        complain(QStringLiteral("unknown command \"%1\": say load or unload (see --help)").arg(command));
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
