#include "ziparchive.h"

#include <QProcess>
#include <QRegularExpression>

namespace {
const QString unzip = QStringLiteral("/usr/bin/unzip");
constexpr int timeoutMs = 120000;

// Why the finished unzip did not do its work; empty when it did.
QString failure(QProcess &process)
{
    if (process.error() == QProcess::FailedToStart) {
        return QStringLiteral("%1 cannot be started").arg(unzip);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("%1 did not finish in time").arg(unzip);
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return QStringLiteral("%1 cannot read it: %2")
            .arg(unzip, QString::fromLocal8Bit(process.readAllStandardError()).simplified().left(300));
    }
    return QString();
}
} // namespace

bool ZipArchive::list(const QString &archive, QList<Entry> *entries, QString *error)
{
    // zipinfo's long form with exact times: "-rw-r--r--  3.0 unx  123 tx  100 defN 20100305.140500 name".
    QProcess process;
    process.start(unzip, {QStringLiteral("-Z"), QStringLiteral("-T"), QStringLiteral("-l"), archive});
    process.waitForFinished(timeoutMs);
    *error = failure(process);
    if (!error->isEmpty()) {
        return false;
    }
    static const QRegularExpression line(
        QStringLiteral("^(\\S)\\S{9}\\s+\\S+\\s+\\S+\\s+(\\d+)\\s+\\S+\\s+\\d+\\s+\\S+\\s+\\d{8}\\.\\d{6} (.*)$"));
    QList<Entry> found;
    for (const QByteArray &text : process.readAllStandardOutput().split('\n')) {
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(text));
        if (!match.hasMatch()) {
            continue; // the heading and the summary
        }
        Entry entry;
        entry.name = match.captured(3);
        entry.size = match.captured(2).toLongLong();
        const QChar kind = match.captured(1).at(0);
        entry.type = kind == QLatin1Char('d')                      ? Entry::Folder
            : kind == QLatin1Char('l')                             ? Entry::SymbolicLink
            : kind == QLatin1Char('-') || kind == QLatin1Char('?') ? Entry::File
                                                                   : Entry::Other;
        found.append(entry);
    }
    *entries = found;
    return true;
}

qint64 ZipArchive::unpackedSize(const QString &archive, qint64 limit, QString *error)
{
    QProcess process;
    process.start(unzip, {QStringLiteral("-p"), QStringLiteral("-qq"), archive});
    qint64 size = 0;
    while (size <= limit && process.waitForReadyRead(timeoutMs)) {
        size += process.readAllStandardOutput().size();
    }
    if (size > limit) {
        process.kill();
        process.waitForFinished();
        return size;
    }
    process.waitForFinished(timeoutMs);
    size += process.readAllStandardOutput().size();
    *error = failure(process);
    return error->isEmpty() ? size : -1;
}
