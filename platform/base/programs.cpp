#include "programs.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QThread>

Q_LOGGING_CATEGORY(lcPrograms, "ruvelant.programs", QtInfoMsg)

const char Programs::ToolsFolderVariable[] = "RUVELANT_TOOLS_DIR";

namespace {
// The absolute paths that name our own programs, and their names in the tools folder.
struct OwnProgram
{
    const char *absolutePath;
    const char *name;
};
constexpr OwnProgram ownPrograms[] = {{"/bin/launchctl", "launchctl"}, {"/usr/bin/defaults", "defaults"}};

bool holdsOurPrograms(const QString &folder)
{
    for (const OwnProgram &program : ownPrograms) {
        const QFileInfo file(folder + QLatin1Char('/') + QLatin1String(program.name));
        if (!file.isFile() || !file.isExecutable()) {
            return false;
        }
    }
    return true;
}
} // namespace

QString Programs::toolsFolderNear(const QString &programFolder)
{
    QDir dir(QFileInfo(programFolder).absoluteFilePath());
    // Five levels up reaches PREFIX from PREFIX/lib/ruvelant/X.app/Contents/MacOS.
    for (int level = 0; level <= 5; ++level) {
        for (const QString &candidate :
             {dir.path(), dir.filePath(QStringLiteral("bin")), dir.filePath(QStringLiteral("lib/ruvelant/bin"))}) {
            if (holdsOurPrograms(candidate)) {
                return QDir::cleanPath(candidate);
            }
        }
        if (!dir.cdUp()) {
            break;
        }
    }
    return QString();
}

QString Programs::toolsFolder()
{
    const QString named = qEnvironmentVariable(ToolsFolderVariable);
    if (!named.isEmpty()) {
        return QDir::cleanPath(QFileInfo(named).absoluteFilePath());
    }
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return toolsFolderNear(QFileInfo(executable).absolutePath());
}

QString Programs::commandsFolder()
{
    const QString tools = toolsFolder();
    const QLatin1String privateFolder("/lib/ruvelant/bin");
    return tools.endsWith(privateFolder) ? tools.chopped(privateFolder.size()) + QStringLiteral("/bin") : tools;
}

QString Programs::pathFor(const QString &absolutePath)
{
    for (const OwnProgram &program : ownPrograms) {
        if (absolutePath != QLatin1String(program.absolutePath)) {
            continue;
        }
        const QString folder = toolsFolder();
        if (folder.isEmpty()) {
            qCWarning(lcPrograms).noquote() << "our programs (launchctl, defaults) are not found near this program"
                                            << "and" << ToolsFolderVariable << "is not set; starting" << absolutePath;
            return absolutePath;
        }
        return folder + QLatin1Char('/') + QLatin1String(program.name);
    }
    return absolutePath;
}

int Programs::run(const QString &absolutePath, const QStringList &arguments, QString *error, QString *standardError)
{
    const auto fail = [error](const QString &message) {
        qCWarning(lcPrograms).noquote() << message;
        if (error) {
            *error = message;
        }
        return -1;
    };
    if (!QDir::isAbsolutePath(absolutePath)) {
        return fail(QStringLiteral("%1 is not an absolute path").arg(absolutePath));
    }
    const QString path = pathFor(absolutePath);
    qCDebug(lcPrograms).noquote() << "starting" << absolutePath << arguments.join(QLatin1Char(' '));
    QProcess process;
    process.setProgram(path);
    process.setArguments(arguments);
    process.setProcessChannelMode(standardError ? QProcess::ForwardedOutputChannel : QProcess::ForwardedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop, &QEventLoop::quit);
    process.start();
    if (!process.waitForStarted(-1)) {
        return fail(QStringLiteral("%1 could not be started: %2").arg(path, process.errorString()));
    }
    const QCoreApplication *app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread()) {
        if (process.state() != QProcess::NotRunning) {
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
    } else {
        process.waitForFinished(-1);
    }
    if (standardError) {
        *standardError = QString::fromLocal8Bit(process.readAllStandardError());
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        return fail(QStringLiteral("%1 did not exit normally").arg(path));
    }
    return process.exitCode();
}
