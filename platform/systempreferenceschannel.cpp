#include "systempreferenceschannel.h"

#include "programs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>

#include <unistd.h>

QString SystemPreferencesChannel::socketPath()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir()) {
        return QDir::cleanPath(runtime) + QStringLiteral("/SystemPreferences.socket");
    }
    return QStringLiteral("%1/SystemPreferences-%2.socket").arg(QDir::tempPath()).arg(::getuid());
}

SystemPreferencesChannel::Reply SystemPreferencesChannel::send(const QString &request, int timeoutMs)
{
    Reply reply;
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath());
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
    QLocalSocket socket;
    socket.connectToServer(socketPath());
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
    // The host outlives the program that started it: it must not hold that program's input and
    // output open (a caller reading them to their end would wait as long as the host runs).
    QProcess host;
    host.setProgram(program);
    host.setStandardInputFile(QProcess::nullDevice());
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    if (!host.startDetached()) {
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
