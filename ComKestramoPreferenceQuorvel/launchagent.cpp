#include "launchagent.h"

#include "launchjob.h"
#include "logservice.h"
#include "programs.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <unistd.h>

namespace {
// Text for an XML element: the characters that would end or break it are written as entities.
QString xmlEscaped(QString text)
{
    text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return text;
}

// Runs launchctl with the command and the file; its own lines are the reason when it fails.
LaunchAgent::Result runLaunchctl(const QString &command)
{
    QString error;
    QString errors;
    const int status = Programs::run(QLatin1String(LaunchJob::LaunchctlPath),
                                     LaunchJob::launchctlArguments(command, LaunchAgent::label()), &error, &errors);
    LaunchAgent::Result result;
    if (status == 0) {
        return result;
    }
    result.outcome = status < 0 ? LaunchAgent::Result::NotStarted : LaunchAgent::Result::Refused;
    result.error = LaunchJob::launchctlReason(errors.trimmed().isEmpty() ? error : errors);
    return result;
}
} // namespace

QString LaunchAgent::agentName()
{
    return QStringLiteral("RuvelantAgent");
}

QString LaunchAgent::label()
{
    return QStringLiteral("com.kestramo.") + agentName();
}

QString LaunchAgent::launchAgentsPath()
{
    return LaunchJob::launchAgentsFolder();
}

QString LaunchAgent::plistAgentFilePath()
{
    return LaunchJob::filePath(label());
}

void LaunchAgent::createLaunchAgentsFolderIfMissing()
{
    LaunchJob::makeLaunchAgentsFolder();
}

QString LaunchAgent::propertyList(const QString &executablePath)
{
    const QString pieces[] = {
        QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"),
        QStringLiteral("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"),
        QStringLiteral("<plist version=\"1.0\">"),
        QStringLiteral("  <dict>"),
        QStringLiteral("     <key>KeepAlive</key>"),
        QStringLiteral("     <false/>"),
        QStringLiteral("     <key>Label</key>"),
        QStringLiteral("     <string>") + label() + QStringLiteral("</string>"),
        QStringLiteral("     <key>ProgramArguments</key>"),
        QStringLiteral("     <array>"),
        QStringLiteral("        <string>") + xmlEscaped(executablePath) + QStringLiteral("</string>"),
        QStringLiteral("     </array>"),
        QStringLiteral("     <key>StartInterval</key>"),
        QStringLiteral("     <integer>1800</integer>"),
        QStringLiteral("  </dict>"),
        QStringLiteral("</plist>"),
    };
    QStringList lines(std::begin(pieces), std::end(pieces));
    return lines.join(QLatin1Char('\n'));
}

LaunchAgent::Result LaunchAgent::load(const QString &executablePath)
{
    // Writable by the user alone, whatever the umask: launchctl loads no file that others may change.
    QString why;
    errno = 0;
    if (!LaunchJob::writeFile(label(), propertyList(executablePath).toUtf8(), 0644, &why)) {
        const int code = errno ? errno : EIO;
        const QString path = plistAgentFilePath();
        LogService::consoleLog(QStringLiteral("error=%1 while installing : %2 file ").arg(code).arg(path));
        Result result;
        result.outcome = Result::FileNotWritten;
        result.error = QStringLiteral("%1: %2").arg(path, why);
        return result;
    }
    return runLaunchctl(QStringLiteral("load"));
}

LaunchAgent::Result LaunchAgent::unload()
{
    return runLaunchctl(QStringLiteral("unload"));
}

void LaunchAgent::removeFile()
{
    const QString path = plistAgentFilePath();
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
        LogService::consoleLog(QStringLiteral("error=%1 , failed to remove : %2 file ").arg(errno).arg(path));
    }
}
