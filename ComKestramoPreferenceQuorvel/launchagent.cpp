#include "launchagent.h"

#include "logservice.h"
#include "programs.h"
#include "userfolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringList>

#include <cerrno>
#include <unistd.h>

namespace {
const QString launchctl = QStringLiteral("/bin/launchctl");

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
    const int status
        = Programs::run(launchctl, {command, QStringLiteral("-w"), LaunchAgent::plistAgentFilePath()}, &error, &errors);
    LaunchAgent::Result result;
    if (status == 0) {
        return result;
    }
    result.outcome = status < 0 ? LaunchAgent::Result::NotStarted : LaunchAgent::Result::Refused;
    QString why = (errors.trimmed().isEmpty() ? error : errors).trimmed();
    why.replace(QRegularExpression(QStringLiteral("^launchctl: "), QRegularExpression::MultilineOption), QString());
    result.error = why;
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
    return userLibraryPath() + QStringLiteral("/LaunchAgents");
}

QString LaunchAgent::plistAgentFilePath()
{
    return QStringLiteral("%1/com.kestramo.%2.plist").arg(launchAgentsPath(), agentName());
}

void LaunchAgent::createLaunchAgentsFolderIfMissing()
{
    if (!QFileInfo::exists(launchAgentsPath())) {
        // A fresh home has no Library folder yet: it is made too. Whatever the umask, no one but
        // the user may change the folder: launchctl trusts no job file in one that others may.
        QDir().mkpath(launchAgentsPath());
        QFile::setPermissions(launchAgentsPath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                  | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
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
        QStringLiteral("     <string>com.kestramo.") + agentName() + QStringLiteral("</string>"),
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
    createLaunchAgentsFolderIfMissing();
    const QString path = plistAgentFilePath();
    QSaveFile file(path);
    const QByteArray bytes = propertyList(executablePath).toUtf8();
    errno = 0;
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        const int code = errno ? errno : int(file.error());
        LogService::consoleLog(QStringLiteral("error=%1 while installing : %2 file ").arg(code).arg(path));
        Result result;
        result.outcome = Result::FileNotWritten;
        result.error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return result;
    }
    // Writable by the user alone, whatever the umask: launchctl loads no file that others may change.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
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
