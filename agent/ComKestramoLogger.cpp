#include "ComKestramoLogger.h"

#include "bundle.h"
#include "logservice.h"
#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The process-wide state of the logger.
LogService *asl = nullptr;
LogService::Message *log_msg = nullptr;
bool isOpened = false;
FILE *logFile = nullptr;
bool copyToStandardError = true;

const qint64 maximumLogSize = 256000;
// What one run (the log opened until it is closed) may write into the log file: less than the size
// that rotates it (room left for the record saying so), so that a new log is never rotated by the
// next run alone, and the previous log keeps earlier runs whatever one run has to say.
const qint64 maximumWrittenPerRun = maximumLogSize - 4096;

// The log holds other people's addresses: a new file is readable by its owner only. It is never
// written through a symbolic link (which would append to whatever file it names); *notice says
// when one had to be replaced.
FILE *openForAppending(const QString &path, QString *notice)
{
    QString error;
    const int fd = RegularFile::openOwn(path, O_WRONLY | O_APPEND | O_CREAT, 0600, &error, notice);
    if (fd < 0) {
        return nullptr;
    }
    FILE *file = ::fdopen(fd, "a");
    if (!file) {
        ::close(fd);
    }
    return file;
}
} // namespace

QString ComKestramoLogger::applicationName()
{
    const Bundle *bundle = Bundle::mainBundle();
    const QVariantMap info = bundle ? bundle->infoDictionary() : QVariantMap();
    QString name = info.value(QStringLiteral("CFBundleName")).toString();
    if (name.isEmpty()) {
        name = info.value(QStringLiteral("CFBundleExecutable")).toString();
    }
    if (name.isEmpty()) {
        name = QFileInfo(info.value(QStringLiteral("CFBundleExecutablePath")).toString()).fileName();
    }
    if (name.isEmpty()) {
        name = QStringLiteral("UNKNOWN_APPLICATION");
    }
    return name;
}

QString ComKestramoLogger::logsPath()
{
    return QStringLiteral("%1/Library/Logs").arg(QDir::homePath());
}

QString ComKestramoLogger::logFileName()
{
    return QStringLiteral("%1/%2.log").arg(logsPath(), applicationName());
}

QString ComKestramoLogger::logFileNameBak()
{
    return QStringLiteral("%1/%2_previous.log").arg(logsPath(), applicationName());
}

void ComKestramoLogger::createLogPathIfMissing()
{
    const QString path = logsPath();
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::lstat(native.constData(), &st) == 0) {
        return;
    }
    // ~/Library, which the platform's own home folders always have, may be missing in a Linux
    // home: make it (owner only), but no other missing parent.
    const QByteArray library = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::lstat(library.constData(), &st) != 0 && ::mkdir(library.constData(), 0700) == 0) {
        ::chmod(library.constData(), 0700);
    }
    if (::mkdir(native.constData(), 0700) != 0) {
        const long code = errno;
        LogService::consoleLog(QStringLiteral("Failed to create %1 folder due to error:%2").arg(path).arg(code));
        return;
    }
    // The umask may have narrowed the mode; the folder gets exactly 0700.
    ::chmod(native.constData(), 0700);
}

void ComKestramoLogger::rotateLogFilesIfNecessary()
{
    // The whole size is compared: a log beyond 2 GiB (whose 32-bit size would be negative)
    // must rotate as well. rename(2) replaces an older previous log, so the current log never
    // grows past the limit for good; a failed move is not reported and the log goes on.
    // A symbolic link in the log's place is no log: it is replaced when the log is opened.
    const QByteArray log = QFile::encodeName(logFileName());
    struct stat st;
    if (::lstat(log.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > maximumLogSize) {
        ::rename(log.constData(), QFile::encodeName(logFileNameBak()).constData());
    }
}

void ComKestramoLogger::log(const QString &message, int32_t level)
{
    if (!isOpened) {
        createLogPathIfMissing();
        rotateLogFilesIfNecessary();
        const QString name = applicationName();
        asl = new LogService(name, QStringLiteral("Agent"),
                             copyToStandardError ? LogService::CopyToStandardError
                                                 : LogService::StandardErrorWhenNoFile);
        log_msg = new LogService::Message;
        log_msg->set(LogService::SenderKey, name);
        QString notice;
        logFile = openForAppending(logFileName(), &notice);
        if (logFile) {
            asl->addLogFile(fileno(logFile), maximumWrittenPerRun);
        }
        isOpened = true;
        asl->log(log_msg, level, message);
        if (!notice.isEmpty()) {
            asl->log(log_msg, LogService::Error, notice);
        }
        return;
    }
    asl->log(log_msg, level, message);
}

void ComKestramoLogger::logERR(const QString &message)
{
    log(message, LogService::Error);
}

void ComKestramoLogger::logINFO(const QString &message)
{
    log(message, LogService::Info);
}

void ComKestramoLogger::closeLogIfOpened()
{
    if (asl) {
        asl->close();
        delete asl;
        asl = nullptr;
    }
    delete log_msg;
    log_msg = nullptr;
    if (logFile) {
        fclose(logFile);
        logFile = nullptr;
    }
    isOpened = false;
}

void ComKestramoLogger::setCopyToStandardError(bool copy)
{
    copyToStandardError = copy;
}
