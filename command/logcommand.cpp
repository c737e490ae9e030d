// ruvelant log [--follow]: the agent's log.
#include "ComKestramoLogger.h"
#include "commandline.h"
#include "launchagent.h"
#include "logfollower.h"
#include "regularfile.h"
#include "subcommands.h"

#include <QFileInfo>

#include <unistd.h>

int logCommand(const QStringList &arguments)
{
    SubcommandLine line(QStringLiteral("log [--follow]"),
                        QStringLiteral("Prints the agent's log, ~/Library/Logs/RuvelantAgent.log: a line for every "
                                       "run, every reminder handed to the mail system and every failure. The log "
                                       "before its last rotation is RuvelantAgent_previous.log beside it."));
    const QCommandLineOption follow(QStringLiteral("follow"),
                                    QStringLiteral("Goes on printing what is added, also after the log rotates, "
                                                   "until stopped (Ctrl+C)."));
    line.parser().addOption(follow);
    const int status = line.parse(arguments, 0, 0);
    if (status >= 0) {
        return status;
    }
    const QString path = QStringLiteral("%1/%2.log").arg(ComKestramoLogger::logsPath(), LaunchAgent::agentName());
    if (line.parser().isSet(follow)) {
        if (!QFileInfo::exists(path)) {
            Output::note(QStringLiteral("There is no log yet: %1 appears at the agent's first run.").arg(path));
        }
        LogFollower(path).follow();
        return ExitStatus::Failure; // standard output was closed
    }
    QString error;
    if (!QFileInfo::exists(path)) {
        return Output::fail(QStringLiteral("there is no log yet: Ruvelant writes %1 the first time it runs").arg(path));
    }
    QByteArray text;
    if (!RegularFile::read(path, LogFollower::maxSize, &text, &error)) {
        return Output::fail(QStringLiteral("cannot read the log: %1").arg(error));
    }
    if (!RegularFile::writeAll(STDOUT_FILENO, text)) {
        return Output::fail(QStringLiteral("cannot write the log to standard output"));
    }
    return ExitStatus::Success;
}
