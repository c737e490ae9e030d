#include "smtpfailure.h"

#include <QRegularExpression>

namespace {
// The words of each kind in a reason, fixed: the log's readers recognise the kind by them.
struct KindText
{
    SmtpFailure::Kind kind;
    const char *name;
    const char *words;
};
constexpr KindText kindTexts[] = {
    {SmtpFailure::HostUnknown, "HostUnknown", "name not found"},
    {SmtpFailure::Unreachable, "Unreachable", "not reachable"},
    {SmtpFailure::NoAnswer, "NoAnswer", "no answer in time"},
    {SmtpFailure::UntrustedCertificate, "UntrustedCertificate", "certificate not trusted"},
    {SmtpFailure::SecureConnectionFailed, "SecureConnectionFailed", "no secure connection"},
    {SmtpFailure::LoginRefused, "LoginRefused", "login refused"},
    {SmtpFailure::PasswordUnavailable, "PasswordUnavailable", "password not available"},
    {SmtpFailure::TryAgainLater, "TryAgainLater", "try again later"},
    {SmtpFailure::RecipientRefused, "RecipientRefused", "recipient refused"},
    {SmtpFailure::NotAllowed, "NotAllowed", "sending not allowed"},
    {SmtpFailure::SenderRefused, "SenderRefused", "sender refused"},
    {SmtpFailure::MessageRefused, "MessageRefused", "message refused"},
    {SmtpFailure::Failed, "Failed", "failed"},
};

// The enhanced status code (RFC 3463) at the start of a reply's text ("5.7.1"); empty when none.
QString enhancedStatus(const QString &text)
{
    static const QRegularExpression code(QStringLiteral("^\\s*([245])\\.(\\d{1,3})\\.(\\d{1,3})\\b"));
    const QRegularExpressionMatch match = code.match(text);
    return match.hasMatch() ? match.captured(0).trimmed() : QString();
}
} // namespace

bool SmtpFailure::concernsAccount() const
{
    switch (kind) {
    case HostUnknown:
    case Unreachable:
    case NoAnswer:
    case UntrustedCertificate:
    case SecureConnectionFailed:
    case LoginRefused:
    case PasswordUnavailable:
    case NotAllowed:
    case SenderRefused:
        return true;
    default:
        return false;
    }
}

QString SmtpFailure::kindName(Kind kind)
{
    for (const KindText &text : kindTexts) {
        if (text.kind == kind) {
            return QLatin1String(text.name);
        }
    }
    return QStringLiteral("None");
}

QString SmtpFailure::host() const
{
    const int colon = server.lastIndexOf(QLatin1Char(':'));
    QString name = colon > 0 && !server.endsWith(QLatin1Char(']')) ? server.left(colon) : server;
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        name = name.mid(1, name.size() - 2);
    }
    return name;
}

QString SmtpFailure::inWords(const QString &text) const
{
    QString words;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('%') && i + 1 < text.size()
            && (text.at(i + 1) == QLatin1Char('1') || text.at(i + 1) == QLatin1Char('2'))) {
            words += text.at(i + 1) == QLatin1Char('1') ? host() : account;
            ++i;
        } else {
            words += text.at(i);
        }
    }
    return words;
}

QString SmtpFailure::reason() const
{
    QString words = QStringLiteral("failed");
    for (const KindText &text : kindTexts) {
        if (text.kind == kind) {
            words = QLatin1String(text.words);
        }
    }
    QString line = QStringLiteral("SMTP server %1 for %2: %3").arg(server, account, words);
    if (!step.isEmpty()) {
        line += QStringLiteral(" at ") + step;
    }
    if (!detail.isEmpty()) {
        line += QStringLiteral(": ") + detail;
    }
    return line;
}

SmtpFailure SmtpFailure::fromReason(const QString &text)
{
    static const QRegularExpression form = [] {
        QStringList words;
        for (const KindText &kind : kindTexts) {
            words << QRegularExpression::escape(QLatin1String(kind.words));
        }
        return QRegularExpression(QStringLiteral("^SMTP server (\\S+) for (\\S*): (%1)(?: at ([A-Z]+(?: [A-Z]+)*))?"
                                                 "(?:: (.*))?$")
                                      .arg(words.join(QLatin1Char('|'))),
                                  QRegularExpression::DotMatchesEverythingOption);
    }();
    SmtpFailure failure;
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        return failure;
    }
    for (const KindText &kind : kindTexts) {
        if (match.captured(3) == QLatin1String(kind.words)) {
            failure.kind = kind.kind;
        }
    }
    failure.server = match.captured(1);
    failure.account = match.captured(2);
    failure.step = match.captured(4);
    failure.detail = match.captured(5);
    static const QRegularExpression replyCode(QStringLiteral("^([2-5]\\d\\d)\\b"));
    const QRegularExpressionMatch code = replyCode.match(failure.detail);
    failure.reply = code.hasMatch() ? code.captured(1).toInt() : 0;
    return failure;
}

SmtpFailure::Kind SmtpFailure::kindOfReply(const QString &step, int code, const QString &text)
{
    if (code >= 400 && code < 500) {
        return TryAgainLater;
    }
    if (code < 500 || code > 599) {
        return Failed;
    }
    const QString status = enhancedStatus(text);
    // 530 and x.7.0 "authentication required", x.7.8 and x.7.9 (credentials, mechanism), x.7.14
    // (a trust relationship): the account's login, not the address.
    const bool wantsLogin
        = code == 530 || QRegularExpression(QStringLiteral("^5\\.7\\.(0|8|9|11|14)$")).match(status).hasMatch();
    if (step == QLatin1String("AUTH")) {
        return LoginRefused;
    }
    if (step == QLatin1String("STARTTLS")) {
        return SecureConnectionFailed;
    }
    if (step == QLatin1String("MAIL FROM")) {
        return wantsLogin ? NotAllowed : SenderRefused;
    }
    if (step == QLatin1String("RCPT TO")) {
        // A server that will not relay for this account refuses every address alike: that is the
        // account's settings, to be put right, and no verdict on the address.
        const bool relaying
            = text.contains(QRegularExpression(QStringLiteral("\\brelay"), QRegularExpression::CaseInsensitiveOption));
        return wantsLogin || relaying ? NotAllowed : RecipientRefused;
    }
    if (step == QLatin1String("DATA") || step == QLatin1String("END OF DATA")) {
        return MessageRefused;
    }
    return Failed;
}
