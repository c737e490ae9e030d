#include "ziparchive.h"

#include "programs.h"

#include <QRegularExpression>

namespace {
const QString unzip = QStringLiteral("/usr/bin/unzip");
// For a whole run: listing, or decompressing up to the archive's bound on a slow machine.
constexpr int timeoutMs = 600000;

// Runs unzip with arguments, its output kept (up to the end, or stopped once more than
// outputLimit when that is not -1).
Programs::Outcome runUnzip(const QStringList &arguments, qint64 outputLimit = -1)
{
    Programs::Options options;
    options.output = Programs::Keep;
    options.errors = Programs::Keep;
    options.timeoutMs = timeoutMs;
    options.outputLimit = outputLimit;
    if (outputLimit >= 0) {
        options.keepLimit = 0; // only its size counts
    }
    return Programs::execute(unzip, arguments, options);
}

// Why unzip did not do its work; empty when it did.
QString failure(const Programs::Outcome &run)
{
    if (run.how == Programs::Outcome::NotStarted) {
        return QStringLiteral("%1 cannot be started").arg(unzip);
    }
    if (run.how == Programs::Outcome::TimedOut) {
        return QStringLiteral("%1 did not finish in time").arg(unzip);
    }
    if (!run.succeeded()) {
        return QStringLiteral("%1 cannot read it: %2")
            .arg(unzip, QString::fromLocal8Bit(run.errors).simplified().left(300));
    }
    return QString();
}
} // namespace

bool ZipArchive::list(const QString &archive, QList<Entry> *entries, QString *error)
{
    // zipinfo's long form with exact times: "-rw-r--r--  3.0 unx  123 tx  100 defN 20100305.140500 name".
    const Programs::Outcome run = runUnzip({QStringLiteral("-Z"), QStringLiteral("-T"), QStringLiteral("-l"), archive});
    *error = failure(run);
    if (error->isEmpty() && !run.keptAllOutput()) {
        // A cut listing would let the entries after the cut go unchecked.
        *error = QStringLiteral("its listing is larger than %1 bytes").arg(run.output.size());
    }
    if (!error->isEmpty()) {
        return false;
    }
    static const QRegularExpression line(
        QStringLiteral("^(\\S)\\S{9}\\s+\\S+\\s+\\S+\\s+(\\d+)\\s+\\S+\\s+\\d+\\s+\\S+\\s+\\d{8}\\.\\d{6} (.*)$"));
    QList<Entry> found;
    for (const QByteArray &text : run.output.split('\n')) {
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
    const Programs::Outcome run = runUnzip({QStringLiteral("-p"), QStringLiteral("-qq"), archive}, limit);
    if (run.how == Programs::Outcome::TooMuchOutput) {
        return run.outputSize;
    }
    const qint64 size = run.outputSize;
    *error = failure(run);
    return error->isEmpty() ? size : -1;
}
