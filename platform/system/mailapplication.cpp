#include "mailapplication.h"

#include "logservice.h"
#include "programs.h"

#include <KMime/Message>
#include <KMime/Util>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPair>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <cerrno>

Q_LOGGING_CATEGORY(lcMail, "ruvelant.mail")

const QString MailApplication::MailBundleIdentifier = QStringLiteral("com.apple.Mail");

namespace {
// sendmail's exit statuses (sysexits.h) that can refuse the recipient's address.
constexpr int exDataErr = 65;
constexpr int exNoUser = 67;

// Every exit status that sysexits.h names, with its meaning there.
struct ExitStatus
{
    int status;
    const char *name;
    const char *meaning;
};
constexpr ExitStatus exitStatuses[] = {
    {64, "EX_USAGE", "command line usage error"},
    {65, "EX_DATAERR", "data format error"},
    {66, "EX_NOINPUT", "cannot open input"},
    {67, "EX_NOUSER", "addressee unknown"},
    {68, "EX_NOHOST", "host name unknown"},
    {69, "EX_UNAVAILABLE", "service unavailable"},
    {70, "EX_SOFTWARE", "internal software error"},
    {71, "EX_OSERR", "system error"},
    {72, "EX_OSFILE", "critical system file missing"},
    {73, "EX_CANTCREAT", "cannot create output file"},
    {74, "EX_IOERR", "input/output error"},
    {75, "EX_TEMPFAIL", "temporary failure, try again later"},
    {76, "EX_PROTOCOL", "remote error in protocol"},
    {77, "EX_NOPERM", "permission denied"},
    {78, "EX_CONFIG", "configuration error"},
};
// The longest address a mail system takes (RFC 5321: a path of 256 octets with its brackets).
constexpr int maxAddressSize = 254;
// The longest line a message header may have (RFC 5322), the sender's name and address in it.
constexpr int maxHeaderLine = 998;
// How much of a refused value an error message quotes.
constexpr int quotedSize = 80;

QStringList defaultFallbackPaths()
{
    return {QStringLiteral("/usr/sbin/sendmail"), QStringLiteral("/usr/lib/sendmail")};
}

QStringList &fallbackPaths()
{
    static QStringList paths = defaultFallbackPaths();
    return paths;
}

// Line breaks and other control characters: none of them may reach a header or a command line.
// A tab is white space in a header (like a space) and is left to the address checks.
bool isControl(QChar c)
{
    const auto category = c.category();
    return (category == QChar::Other_Control && c != QLatin1Char('\t')) || category == QChar::Separator_Line
        || category == QChar::Separator_Paragraph;
}

bool hasControl(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), isControl);
}

// The text with its control characters written as escapes, for error messages.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\r')) {
            out += QLatin1String("\\r");
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else if (isControl(c)) {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

// The start of a value too long to quote whole in a message, with its length.
QString quoted(const QString &text)
{
    return LogService::shortened(text, quotedSize);
}

// One bare addr-spec "local@domain": no name, no angle brackets, no white space, no list, and
// short enough for a mail system (and a command line).
bool isPlainAddress(const QString &address)
{
    static const QString specials = QStringLiteral("<>()[],;:\"\\");
    if (hasControl(address) || address.toUtf8().size() > maxAddressSize) {
        return false;
    }
    for (const QChar c : address) {
        if (c.isSpace() || specials.contains(c)) {
            return false;
        }
    }
    const int at = address.indexOf(QLatin1Char('@'));
    return at > 0 && at == address.lastIndexOf(QLatin1Char('@')) && at < address.size() - 1;
}

// The address as a message and a command line carry it: ASCII, an international domain name in
// its ASCII form; empty when the part before the @ is not ASCII.
QByteArray asciiAddress(const QString &address)
{
    const int at = address.lastIndexOf(QLatin1Char('@'));
    const QString local = address.left(at);
    if (std::any_of(local.cbegin(), local.cend(), [](QChar c) { return c.unicode() > 0x7f; })) {
        return QByteArray();
    }
    const QString domain = address.mid(at + 1);
    const bool ascii = std::none_of(domain.cbegin(), domain.cend(), [](QChar c) { return c.unicode() > 0x7f; });
    const QByteArray ace = ascii ? domain.toLatin1() : QUrl::toAce(domain);
    return ace.isEmpty() ? QByteArray() : local.toLatin1() + '@' + ace;
}

// A subject is one header line: every run of line breaks or control characters becomes one space.
QString oneLine(const QString &text)
{
    QString out;
    out.reserve(text.size());
    bool inBreak = false;
    for (const QChar c : text) {
        if (isControl(c)) {
            if (!inBreak) {
                out += QLatin1Char(' ');
            }
            inBreak = true;
        } else {
            out += c;
            inBreak = false;
        }
    }
    return out;
}

// Plain text with every CR LF and every lone CR turned into LF, the sendmail line end.
QByteArray unixLines(const QString &text)
{
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return lines.toUtf8();
}

// Runs sendmail with arguments and message as its whole input. The message is complete, in a
// sealed memory file, before the program starts, and the program is stopped (SIGKILL) when this
// process dies: a crash or kill in the middle of a hand-over can never deliver part of a message
// or an empty one; the next run sends it whole. Stopped after timeoutMs. What it writes to
// standard error is kept for the failure's message.
Programs::Outcome runSendmail(const QString &program, const QStringList &arguments, const QByteArray &message,
                              int timeoutMs)
{
    Programs::Options options;
    options.input = message;
    options.errors = Programs::Keep;
    options.keepLimit = 4096;
    options.timeoutMs = timeoutMs;
    options.endsWithThisProcess = true;
    return Programs::execute(program, arguments, options);
}

// A character that can stand next to an address inside a longer one: a letter or digit of it,
// or one of the other characters of its local part.
bool continuesAddress(QChar c)
{
    static const QString others = QStringLiteral("!#$%&*+-/=?^_{|}~.");
    return c.isLetterOrNumber() || others.contains(c);
}

// Whether text names address as a whole (in any case), not as a part of a longer address.
bool namesAddress(const QString &text, const QString &address)
{
    if (address.isEmpty()) {
        return false;
    }
    for (int at = text.indexOf(address, 0, Qt::CaseInsensitive); at >= 0;
         at = text.indexOf(address, at + 1, Qt::CaseInsensitive)) {
        const int end = at + address.size();
        const bool before = at > 0 && continuesAddress(text.at(at - 1));
        // A full stop after it ends a sentence, unless the domain goes on after it.
        const bool after = end < text.size()
            && (text.at(end) == QLatin1Char('.') ? end + 1 < text.size() && text.at(end + 1).isLetterOrNumber()
                                                 : continuesAddress(text.at(end)));
        if (!before && !after) {
            return true;
        }
    }
    return false;
}

QByteArray messageIdDomain()
{
    const QByteArray host = QSysInfo::machineHostName().toLatin1();
    const bool usable = !host.isEmpty() && std::all_of(host.cbegin(), host.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    return usable ? host : QByteArrayLiteral("localhost");
}
} // namespace

OutgoingMessage::OutgoingMessage(const QString &subject, const QString &content)
    : m_subject(subject), m_content(content)
{
}

OutgoingMessage::OutgoingMessage(const QString &sendmailProgram, int timeoutMs, const QString &subject,
                                 const QString &content)
    : m_sendmail(sendmailProgram), m_timeoutMs(timeoutMs), m_subject(subject), m_content(content)
{
}

QByteArray OutgoingMessage::rfc5322Message(const QString &recipient, QString *error) const
{
    auto fail = [error](const QString &text) {
        if (error) {
            *error = text;
        }
        return QByteArray();
    };
    const QString refusal = MailApplication::recipientRefusal(recipient);
    if (!refusal.isEmpty()) {
        return fail(refusal);
    }

    const QString senderRefusal = senderProblem();
    if (!senderRefusal.isEmpty()) {
        return fail(senderRefusal);
    }
    KMime::Message message;
    // A blank sender is no sender: the mail system chooses the sending address.
    if (!m_sender.trimmed().isEmpty()) {
        message.from()->fromUnicodeString(m_sender, "utf-8");
    }
    const QByteArray to = asciiAddress(recipient);
    message.to()->addAddress(to);
    // Never a message without its recipient: the header must carry the address as it is.
    const auto mailboxes = message.to()->mailboxes();
    if (mailboxes.size() != 1 || mailboxes.first().address() != to) {
        return fail(QStringLiteral("'%1' is not an address that a message can carry").arg(quoted(recipient)));
    }
    message.subject()->fromUnicodeString(oneLine(m_subject), "utf-8");
    message.date()->setDateTime(QDateTime::currentDateTime());
    message.messageID()->generate(messageIdDomain());

    const QByteArray body = unixLines(m_content);
    message.contentType()->setMimeType("text/plain");
    message.contentType()->setCharset("utf-8");
    // Only an encoding that keeps every byte and line intact: long lines, lone dots, 8-bit text.
    KMime::Headers::contentEncoding encoding = KMime::Headers::CEbase64;
    for (const auto candidate : KMime::encodingsForData(body)) {
        if (candidate == KMime::Headers::CEquPr || candidate == KMime::Headers::CEbase64) {
            encoding = candidate;
            break;
        }
    }
    message.contentTransferEncoding()->setEncoding(encoding);
    message.contentTransferEncoding()->setDecoded(true);
    message.setBody(body);
    message.assemble();
    return message.encodedContent();
}

QString OutgoingMessage::senderProblem() const
{
    if (hasControl(m_sender)) {
        return QStringLiteral("the sender '%1' holds a line break or control character")
            .arg(quoted(printable(m_sender)));
    }
    if (m_sender.toUtf8().size() > maxHeaderLine) {
        return QStringLiteral("the sender '%1' is too long").arg(quoted(m_sender));
    }
    if (!m_sender.trimmed().isEmpty()) {
        KMime::Headers::From from;
        from.fromUnicodeString(m_sender, "utf-8");
        const auto mailboxes = from.mailboxes();
        if (mailboxes.size() != 1 || !mailboxes.first().hasAddress()) {
            return QStringLiteral("the sender '%1' is not one e-mail address").arg(quoted(m_sender));
        }
    }
    return QString();
}

bool OutgoingMessage::send(QString *error, bool *temporary) const
{
    QStringList errors;
    // A recipient refused for good (or none at all): trying again would change nothing. Any
    // other failure is the mail system's, or the sender's, and may be put right meanwhile.
    bool permanent = false;
    if (m_toRecipients.isEmpty()) {
        errors << QStringLiteral("the message has no recipient");
        permanent = true;
    }
    for (const QString &recipient : m_toRecipients) {
        const QString senderRefusal = senderProblem();
        if (!senderRefusal.isEmpty()) {
            errors << senderRefusal;
            continue;
        }
        QString problem;
        const QByteArray data = rfc5322Message(recipient, &problem);
        if (data.isEmpty()) {
            errors << problem;
            permanent = true;
            continue;
        }
        if (m_transport) {
            const HandOverResult result = m_transport(data, asciiAddress(recipient));
            if (!result.taken) {
                errors << result.error;
                permanent = permanent || !result.temporary;
            }
            continue;
        }
        if (m_sendmail.isEmpty()) {
            errors << QStringLiteral("no sendmail program was found");
            continue;
        }
        QStringList arguments {QStringLiteral("-i")};
        // The envelope sender: the address without the white space around it, and only when
        // it is one bare address (a name or a list is never passed on the command line).
        const QString envelopeSender = m_sender.trimmed();
        if (isPlainAddress(envelopeSender)) {
            arguments << QStringLiteral("-f") << envelopeSender;
        }
        // After "--" an address that begins with "-" can never be taken as an option.
        arguments << QStringLiteral("--") << QString::fromLatin1(asciiAddress(recipient));

        const Programs::Outcome run = runSendmail(m_sendmail, arguments, data, m_timeoutMs);
        if (run.how == Programs::Outcome::NotStarted) {
            errors << QStringLiteral("%1 could not be started: %2").arg(m_sendmail, run.error);
            // A command line too long for the system stays too long.
            permanent = permanent || run.startError == E2BIG;
        } else if (run.how == Programs::Outcome::TimedOut) {
            errors << QStringLiteral("%1 did not finish within %2 seconds and was stopped")
                          .arg(m_sendmail)
                          .arg(m_timeoutMs / 1000.0);
        } else if (run.how == Programs::Outcome::Signalled) {
            errors << QStringLiteral("%1 crashed").arg(m_sendmail);
        } else if (run.status != 0) {
            const QString diagnostics = QString::fromLocal8Bit(run.errors).simplified().left(500);
            const QString meaning = MailApplication::exitStatusMeaning(run.status);
            errors << QStringLiteral("%1 exited with status %2%3%4")
                          .arg(m_sendmail)
                          .arg(run.status)
                          .arg(meaning.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(meaning),
                               diagnostics.isEmpty() ? QString() : QStringLiteral(": ") + diagnostics);
            // Decided on the words as they are logged, so that a reader of the log decides alike.
            permanent = permanent || MailApplication::refusesRecipient(run.status, diagnostics, recipient);
        }
    }
    if (temporary) {
        *temporary = !errors.isEmpty() && !permanent;
    }
    if (!errors.isEmpty()) {
        qCWarning(lcMail) << (m_transport ? "hand-over failed:" : "hand-over to sendmail failed:") << errors;
        if (error) {
            *error = errors.join(QLatin1String("; "));
        }
        return false;
    }
    return true;
}

MailApplication::MailApplication(const QString &sendmailProgram) : m_sendmail(sendmailProgram) { }

std::unique_ptr<MailApplication> MailApplication::applicationWithBundleIdentifier(const QString &bundleIdentifier)
{
    if (bundleIdentifier != MailBundleIdentifier) {
        return nullptr;
    }
    const QString sendmail = findSendmail();
    if (sendmail.isEmpty()) {
        return nullptr;
    }
    return std::unique_ptr<MailApplication>(new MailApplication(sendmail));
}

QString MailApplication::findSendmail()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("sendmail"));
    if (!onPath.isEmpty()) {
        return onPath;
    }
    for (const QString &path : fallbackPaths()) {
        const QFileInfo info(path);
        if (info.isFile() && info.isExecutable()) {
            return path;
        }
    }
    return QString();
}

QByteArray MailApplication::asciiAddress(const QString &address)
{
    return isPlainAddress(address) ? ::asciiAddress(address) : QByteArray();
}

QString MailApplication::recipientRefusal(const QString &address)
{
    if (hasControl(address)) {
        return QStringLiteral("the address '%1' holds a line break or control character")
            .arg(quoted(printable(address)));
    }
    if (address.contains(QChar::ReplacementCharacter)) {
        return QStringLiteral("the address '%1' is not valid UTF-8 text").arg(quoted(address));
    }
    if (address.toUtf8().size() > maxAddressSize) {
        return QStringLiteral("the address '%1' is too long for an e-mail address (at most %2 bytes)")
            .arg(quoted(address))
            .arg(maxAddressSize);
    }
    if (!isPlainAddress(address)) {
        return QStringLiteral("'%1' is not a single e-mail address").arg(quoted(address));
    }
    if (asciiAddress(address).isEmpty()) {
        return QStringLiteral("the address '%1' has letters other than ASCII before its @, which no message "
                              "header can carry")
            .arg(quoted(address));
    }
    return QString();
}

bool MailApplication::refusesRecipient(int status, const QString &said, const QString &recipient)
{
    if (status == exNoUser) {
        return true;
    }
    if (status != exDataErr) {
        return false;
    }
    if (said.trimmed().isEmpty()) {
        return true;
    }
    // sendmail was given the address in its ASCII form; a log may quote it as written.
    const QByteArray ascii = isPlainAddress(recipient) ? asciiAddress(recipient) : QByteArray();
    return namesAddress(said, recipient) || (!ascii.isEmpty() && namesAddress(said, QString::fromLatin1(ascii)));
}

QString MailApplication::exitStatusMeaning(int status)
{
    for (const ExitStatus &known : exitStatuses) {
        if (known.status == status) {
            return QStringLiteral("%1, %2").arg(QLatin1String(known.name), QLatin1String(known.meaning));
        }
    }
    return QString();
}

MailApplication::MailSystem MailApplication::mailSystem()
{
    MailSystem system;
    system.sendmail = findSendmail();
    if (system.sendmail.isEmpty()) {
        return system;
    }
    const QFileInfo target(QFileInfo(system.sendmail).canonicalFilePath());
    system.target = target.filePath();
    const QString name = target.fileName();
    // The programs that Debian's mail systems install as sendmail, or link it to.
    static const QList<QPair<QString, QString>> programs {
        {QStringLiteral("msmtp"), QStringLiteral("msmtp")},
        {QStringLiteral("exim4"), QStringLiteral("Exim")},
        {QStringLiteral("exim"), QStringLiteral("Exim")},
        {QStringLiteral("ssmtp"), QStringLiteral("sSMTP")},
        {QStringLiteral("dma"), QStringLiteral("DragonFly Mail Agent")},
        {QStringLiteral("smtpctl"), QStringLiteral("OpenSMTPD")},
        {QStringLiteral("esmtp"), QStringLiteral("ESMTP")},
        {QStringLiteral("sendmail.postfix"), QStringLiteral("Postfix")},
        {QStringLiteral("sendmail.sendmail"), QStringLiteral("Sendmail")},
        {QStringLiteral("sendmail-msp"), QStringLiteral("Sendmail")},
    };
    for (const auto &program : programs) {
        if (name == program.first) {
            system.name = program.second;
            return system;
        }
    }
    // A program that is called sendmail itself: its mail system installs its other programs beside it.
    static const QList<QPair<QString, QString>> siblings {
        {QStringLiteral("postfix"), QStringLiteral("Postfix")},
        {QStringLiteral("nullmailer-send"), QStringLiteral("nullmailer")},
        {QStringLiteral("exim4"), QStringLiteral("Exim")},
        {QStringLiteral("sendmail-mta"), QStringLiteral("Sendmail")},
    };
    for (const auto &sibling : siblings) {
        if (QFileInfo::exists(target.absolutePath() + QLatin1Char('/') + sibling.first)) {
            system.name = sibling.second;
            return system;
        }
    }
    QFile file(target.filePath());
    if (target.isFile() && file.open(QIODevice::ReadOnly) && file.read(2) == "#!") {
        system.name = QStringLiteral("script");
    }
    return system;
}

void MailApplication::setFallbackSendmailPaths(const QStringList &paths)
{
    fallbackPaths() = paths.isEmpty() ? defaultFallbackPaths() : paths;
}

QStringList MailApplication::fallbackSendmailPaths()
{
    return fallbackPaths();
}

OutgoingMessage MailApplication::outgoingMessage(const QString &subject, const QString &content) const
{
    return OutgoingMessage(m_sendmail, m_timeoutMs, subject, content);
}
