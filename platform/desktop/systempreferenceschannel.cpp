#include "systempreferenceschannel.h"

#include "programs.h"
#include "xdgpaths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// Whether path is a folder (not a symbolic link) of the current user that no one else may use;
// made so (0700) when missing and create is set. Sets *why when not.
bool isPrivateFolder(const QString &path, bool create, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st
    {
    };
    if (::lstat(native.constData(), &st) != 0 && create && ::mkdir(native.constData(), 0700) == 0) {
        ::chmod(native.constData(), 0700); // whatever the umask
    }
    if (::lstat(native.constData(), &st) != 0) {
        *why = QStringLiteral("%1 cannot be made").arg(path);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        *why = QStringLiteral("%1 is not a folder of this user's own that no one else may use").arg(path);
        return false;
    }
    return true;
}
} // namespace

QString SystemPreferencesChannel::socketFolder(QString *error)
{
    QString why;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime, false, &why)) {
        return QDir::cleanPath(runtime);
    }
    // A name others can foresee in a folder that everyone writes: used only when it is ours alone.
    const QString temporary = QStringLiteral("%1/SystemPreferences-%2").arg(QDir::tempPath()).arg(::getuid());
    if (isPrivateFolder(temporary, true, &why)) {
        return temporary;
    }
    const QString cache = xdgCacheHome() + QStringLiteral("/SystemPreferences");
    QDir().mkpath(QFileInfo(cache).absolutePath());
    if (isPrivateFolder(cache, true, &why)) {
        return cache;
    }
    if (error) {
        *error = why;
    }
    return QString();
}

QString SystemPreferencesChannel::socketPath(QString *error)
{
    const QString folder = socketFolder(error);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/SystemPreferences.socket");
}

SystemPreferencesChannel::Reply SystemPreferencesChannel::send(const QString &request, int timeoutMs)
{
    Reply reply;
    const QDeadlineTimer deadline(timeoutMs);
    const QString path = socketPath(&reply.error);
    if (path.isEmpty()) {
        return reply;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(int(deadline.remainingTime()))) {
        reply.error = QStringLiteral("System Preferences is not running");
        return reply;
    }
    socket.write(request.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(int(deadline.remainingTime()))) {
        reply.error = QStringLiteral("System Preferences did not take the request: %1").arg(socket.errorString());
        return reply;
    }
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (answer.isEmpty()) {
        reply.error = QStringLiteral("System Preferences did not answer");
        return reply;
    }
    reply.delivered = true;
    QStringList lines = QString::fromUtf8(answer).split(QLatin1Char('\n'));
    if (lines.last().isEmpty()) {
        lines.removeLast();
    }
    const QString status = lines.takeFirst();
    reply.ok = status == QLatin1String("ok");
    if (!reply.ok) {
        reply.error = status.startsWith(QLatin1String("error ")) ? status.mid(6) : status;
    }
    reply.lines = lines;
    return reply;
}

bool SystemPreferencesChannel::isHostRunning()
{
    const QString path = socketPath();
    if (path.isEmpty()) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    const bool running = socket.waitForConnected(2000);
    socket.abort();
    return running;
}

QString SystemPreferencesChannel::hostProgramPath()
{
    const QString commands = Programs::commandsFolder();
    return (commands.isEmpty() ? QCoreApplication::applicationDirPath() : commands)
        + QStringLiteral("/SystemPreferences");
}

bool SystemPreferencesChannel::startHost(QString *error)
{
    if (isHostRunning()) {
        return true;
    }
    const QString program = hostProgramPath();
    // The host outlives the program that started it.
    if (!Programs::startDetached(program, {}, Programs::Options())) {
        if (error) {
            *error = QStringLiteral("cannot start %1").arg(program);
        }
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (isHostRunning()) {
            return true;
        }
        QThread::msleep(50);
    }
    if (error) {
        *error = QStringLiteral("%1 did not answer after it was started").arg(program);
    }
    return false;
}
