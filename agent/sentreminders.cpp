#include "sentreminders.h"

#include "bundle.h"
#include "logservice.h"
#include "mailapplication.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

#include <sys/stat.h>

namespace {
// The lines of the agent's log that tell of a reminder.
const QString handOver = QStringLiteral("  ->"); // " <title>  -><address>", before the hand-over
const QRegularExpression handOverFailed(QStringLiteral("^Failed to hand over the reminder to '(.*)': (.*)$"),
                                        QRegularExpression::DotMatchesEverythingOption);
const QString noMailSystem = QStringLiteral("Cannot create Scripting Bridge to Mail.app");
const QRegularExpression
    noAddress(QStringLiteral("^Failed to notify '(.*)', its AddressBook contact does not have an email assigned$"),
              QRegularExpression::DotMatchesEverythingOption);
const QRegularExpression occurrenceLine(QStringLiteral("^reminding '(.*)': calendar=(\\S+) event=(\\S+) start=(\\S+)$"),
                                        QRegularExpression::DotMatchesEverythingOption);
const QString runStarted = QStringLiteral("started -v.");

// What an exit status of sendmail (sysexits.h) tells of the failure; whether it refused the
// recipient is the mail delivery's own decision, made alike.
HandOverFailure::Cause causeOfStatus(int status, const QString &said, const QString &recipient)
{
    if (MailApplication::refusesRecipient(status, said, recipient)) {
        return HandOverFailure::Refused;
    }
    switch (status) {
    case 65:
        return HandOverFailure::SenderRefused;
    case 68:
        return HandOverFailure::HostUnknown;
    case 69:
    case 74:
    case 76:
        return HandOverFailure::ServerUnavailable;
    case 75:
        return HandOverFailure::TryAgainLater;
    case 77:
        return HandOverFailure::LoginRefused;
    case 64:
    case 78:
        return HandOverFailure::Misconfigured;
    default:
        return HandOverFailure::MailSystemFailed;
    }
}

// Which file is at path now (device and inode); empty when none is.
QByteArray identity(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return QByteArray();
    }
    return QByteArray::number(qulonglong(info.st_dev)) + ':' + QByteArray::number(qulonglong(info.st_ino));
}

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return QByteArray();
    }
    return file.read(64 * 1024 * 1024);
}
} // namespace

QList<SentReminder> SentReminders::fromRecords(const QString &logText, const QDate &today)
{
    QList<SentReminder> reminders;
    QHash<qint64, int> pending; // pid of a run -> its hand-over whose outcome is not known yet
    QHash<qint64, QPair<QString, SendJournal::Occurrence>> named; // pid of a run -> the title and occurrence in hand
    const QList<LogService::Record> records = LogService::parseRecords(logText.toUtf8(), today);
    for (const LogService::Record &record : records) {
        if (record.level == LogService::Info) {
            const QRegularExpressionMatch occurrence = occurrenceLine.match(record.text);
            if (occurrence.hasMatch()) {
                named.insert(record.pid,
                             {occurrence.captured(1),
                              {QUrl::fromPercentEncoding(occurrence.captured(2).toLatin1()),
                               QUrl::fromPercentEncoding(occurrence.captured(3).toLatin1()),
                               QDateTime::fromString(occurrence.captured(4), Qt::ISODateWithMs)}});
            } else if (record.text.startsWith(runStarted)) {
                named.remove(record.pid); // a new run of the same process number
            }
        }
        const auto open = pending.constFind(record.pid);
        SentReminder *last = open != pending.cend() ? &reminders[*open] : nullptr;
        if (record.level == LogService::Error && last) {
            const QRegularExpressionMatch failed = handOverFailed.match(record.text);
            if (failed.hasMatch() && failed.captured(1) == last->address) {
                last->outcome = SentReminder::Failed;
                last->detail = failed.captured(2);
                last->logLine = record.text;
                pending.remove(record.pid);
                continue;
            }
            if (record.text == noMailSystem) {
                last->outcome = SentReminder::Failed;
                last->detail = record.text;
                last->logLine = record.text;
                pending.remove(record.pid);
                continue;
            }
        }
        if (last) {
            // Anything else the run logged afterwards: the mail system took that reminder.
            last->outcome = SentReminder::Sent;
            pending.remove(record.pid);
        }
        const int arrow = record.text.lastIndexOf(handOver);
        if (record.level == LogService::Info && record.text.startsWith(QLatin1Char(' ')) && arrow > 0) {
            pending.insert(record.pid, reminders.size());
            const QString title = record.text.mid(1, arrow - 1);
            const auto occurrence = named.constFind(record.pid);
            reminders.append({record.time, title, record.text.mid(arrow + handOver.size()), SentReminder::Sending,
                              QString(), record.pid, QString(),
                              occurrence != named.cend() && occurrence->first == title ? occurrence->second
                                                                                       : SendJournal::Occurrence()});
        } else if (record.level == LogService::Error) {
            const QRegularExpressionMatch missing = noAddress.match(record.text);
            if (missing.hasMatch()) {
                reminders.append({record.time,
                                  QString(),
                                  missing.captured(1),
                                  SentReminder::NoAddress,
                                  QString(),
                                  record.pid,
                                  record.text,
                                  {}});
            }
        }
    }
    return reminders;
}

QString SentReminders::occurrenceRecord(const QString &title, const SendJournal::Occurrence &occurrence)
{
    return QStringLiteral("reminding '%1': calendar=%2 event=%3 start=%4")
        .arg(title, QString::fromLatin1(QUrl::toPercentEncoding(occurrence.calendar)),
             QString::fromLatin1(QUrl::toPercentEncoding(occurrence.event)),
             occurrence.start.toUTC().toString(Qt::ISODateWithMs));
}

QString SentReminders::readLogText(const QString &logsFolder, const QString &agentName)
{
    const QString current = QStringLiteral("%1/%2.log").arg(logsFolder, agentName);
    const QString previous = QStringLiteral("%1/%2_previous.log").arg(logsFolder, agentName);
    QByteArray text;
    for (int attempt = 0; attempt < 5; ++attempt) {
        // The agent moves the current file to the previous one when it grows too large: read
        // both, and again if either changed meanwhile, so nothing is read twice or missed.
        const QByteArray before = identity(previous) + '|' + identity(current);
        text = readWhole(previous);
        if (!text.isEmpty() && !text.endsWith('\n')) {
            text += '\n';
        }
        text += readWhole(current);
        if (identity(previous) + '|' + identity(current) == before) {
            break;
        }
    }
    return QString::fromUtf8(text);
}

QList<SentReminder> SentReminders::read(const QString &logsFolder, const QString &agentName, const QDate &today)
{
    QList<SentReminder> reminders = fromRecords(readLogText(logsFolder, agentName), today);
    std::reverse(reminders.begin(), reminders.end());
    std::stable_sort(reminders.begin(), reminders.end(),
                     [](const SentReminder &a, const SentReminder &b) { return a.time > b.time; });
    return reminders;
}

HandOverFailure HandOverFailure::fromDetail(const QString &detail, const QString &recipient)
{
    // The reasons that the mail delivery writes (see OutgoingMessage::send); the meaning of an
    // exit status in brackets came later, older logs lack it.
    static const QRegularExpression exited(
        QStringLiteral("^(.+) exited with status (\\d+)(?: \\([^)]*\\))?(?:: (.*))?$"),
        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression timedOut(QStringLiteral("^(.+) did not finish within ([\\d.]+) seconds"));
    static const QRegularExpression notStarted(QStringLiteral("^(.+) could not be started: (.*)$"),
                                               QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression crashed(QStringLiteral("^(.+) crashed$"));
    HandOverFailure failure;
    failure.diagnostics = detail;
    QRegularExpressionMatch match;
    if (detail == noMailSystem) {
        failure.cause = NoMailSystem;
        failure.diagnostics.clear();
    } else if ((match = exited.match(detail)).hasMatch()) {
        failure.program = match.captured(1);
        failure.status = match.captured(2).toInt();
        failure.diagnostics = match.captured(3);
        failure.cause = causeOfStatus(failure.status, failure.diagnostics, recipient);
    } else if ((match = timedOut.match(detail)).hasMatch()) {
        failure.cause = NoAnswer;
        failure.program = match.captured(1);
        failure.diagnostics = match.captured(2);
    } else if ((match = notStarted.match(detail)).hasMatch()) {
        failure.cause = NotStarted;
        failure.program = match.captured(1);
        failure.diagnostics = match.captured(2);
    } else if ((match = crashed.match(detail)).hasMatch()) {
        failure.cause = Crashed;
        failure.program = match.captured(1);
        failure.diagnostics.clear();
    } else if (const SmtpFailure smtp = SmtpFailure::fromReason(detail)) {
        failure.cause = Account;
        failure.smtp = smtp;
        failure.status = smtp.reply;
        failure.program = smtp.server;
        failure.diagnostics = smtp.detail;
    } else if (detail.startsWith(QLatin1String("the sender '"))) {
        failure.cause = BadSender;
    } else if (detail.contains(QLatin1String("is not a single e-mail address"))
               || detail.contains(QLatin1String("holds a line break or control character"))) {
        failure.cause = BadAddress;
    }
    return failure;
}

bool HandOverFailure::isSameCause(const HandOverFailure &other) const
{
    return cause == other.cause && status == other.status && smtp.kind == other.smtp.kind;
}

bool HandOverFailure::isTemporary() const
{
    switch (cause) {
    case Account:
        return !smtp.isFinal();
    case Refused:
    case BadAddress:
    case Other:
        return false;
    default:
        return true;
    }
}

QString HandOverFailure::plainWords(const Bundle &bundle) const
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key)); };
    // A reason read from an exit status, with what sendmail said after it.
    const auto exitWords = [&](const char *key) {
        const QString words = tr(key).arg(status);
        return diagnostics.isEmpty() ? words : tr("FailureSaying").arg(words, diagnostics);
    };
    switch (cause) {
    case NoMailSystem:
        return tr("FailureNoMailSystem");
    case TryAgainLater:
        return exitWords("FailureTryAgainLater");
    case NoAnswer:
        return tr("FailureNoAnswer").arg(diagnostics);
    case NotStarted:
        return tr("FailureNotStarted").arg(program, diagnostics);
    case Crashed:
        return tr("FailureCrashed").arg(program);
    case Refused:
        return exitWords("FailureRecipientRefused");
    case HostUnknown:
        return exitWords("FailureHostUnknown");
    case ServerUnavailable:
        return exitWords("FailureServerUnavailable");
    case LoginRefused:
        return exitWords("FailureLoginRefused");
    case Misconfigured:
        return exitWords("FailureMisconfigured");
    case SenderRefused:
        return exitWords("FailureSenderRefused");
    case MailSystemFailed:
        return exitWords("FailureMailSystem");
    case BadAddress:
        return tr("FailureBadAddress").arg(diagnostics);
    case BadSender:
        return tr("FailureBadSender").arg(diagnostics);
    case Account: {
        // With what the server (or the way to it) said, when it said something.
        const QString words = smtp.inWords(
            bundle.localizedStringForKey(QStringLiteral("SmtpFailure") + SmtpFailure::kindName(smtp.kind)));
        return smtp.detail.isEmpty() ? words : tr("FailureSaying").arg(words, smtp.detail);
    }
    case Other:
        break;
    }
    return diagnostics;
}
