#include "accountmail.h"

#include "desktopmailaccounts.h"
#include "passwordstore.h"

#include <QRegularExpression>

namespace {
SmtpServer serverOf(const MailAccount &account)
{
    SmtpServer server;
    server.host = account.host;
    server.port = account.port;
    server.security = account.security;
    server.login = account.login;
    server.userName = account.userName;
    return server;
}

QString serverText(const MailAccount &account)
{
    const QString host
        = account.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(account.host) : account.host;
    return QStringLiteral("%1:%2").arg(host).arg(account.port > 0 ? account.port : defaultMailPort(account.security));
}
} // namespace

bool AccountMail::server(const MailAccount &account, SmtpServer *server, SmtpFailure *failure)
{
    *server = serverOf(account);
    QString error;
    bool found = true;
    switch (account.login) {
    case MailAccount::NoLogin:
        break;
    case MailAccount::OAuth2:
        found = OnlineAccounts::accessToken(account.onlineAccountId, &server->secret, &error);
        break;
    case MailAccount::Password:
        found = account.origin == MailAccount::Desktop
            ? DesktopMailAccounts::lookupPassword(account.id, &server->secret, &error)
            : PasswordStore::lookup(account.id, account.passwordInFile, int(KeyringBound.count()), &server->secret,
                                    &error);
        break;
    }
    if (!found) {
        failure->kind = SmtpFailure::PasswordUnavailable;
        failure->server = serverText(account);
        failure->account = account.address;
        failure->detail = error.simplified();
        return false;
    }
    return true;
}

SmtpServer AccountMail::serverWithPassword(const MailAccount &account, const QString &password)
{
    SmtpServer server = serverOf(account);
    server.secret = password;
    return server;
}

SmtpFailure AccountMail::submit(const MailAccount &account, const SmtpServer &server, const QByteArray &message,
                                const QByteArray &recipient, std::chrono::milliseconds timeout)
{
    SmtpFailure failure;
    const QByteArray from = MailApplication::asciiAddress(account.address);
    if (from.isEmpty()) {
        failure.kind = SmtpFailure::SenderRefused;
        failure.server = serverText(account);
        failure.detail = QStringLiteral("the account's address cannot be an SMTP sender");
    } else {
        failure = SmtpSubmission::send(server, from, recipient, message, timeout);
    }
    failure.account = account.address;
    return failure;
}

SmtpFailure AccountMail::sendMessage(const MailAccount &account, const SmtpServer &server, const QString &recipient,
                                     const QString &subject, const QString &content, std::chrono::milliseconds timeout)
{
    OutgoingMessage message(subject, content);
    message.setSender(fromText(account));
    message.setVisible(false);
    QString problem;
    const QByteArray data = message.rfc5322Message(recipient, &problem);
    if (data.isEmpty()) {
        SmtpFailure failure;
        failure.kind = MailApplication::recipientRefusal(recipient).isEmpty() ? SmtpFailure::SenderRefused
                                                                              : SmtpFailure::RecipientRefused;
        failure.server = serverText(account);
        failure.account = account.address;
        failure.detail = problem;
        return failure;
    }
    return submit(account, server, data, MailApplication::asciiAddress(recipient), timeout);
}

QString AccountMail::fromText(const MailAccount &account)
{
    if (account.name.trimmed().isEmpty()) {
        return account.address;
    }
    // A name with characters that are special in an address is given in quotes.
    QString name = account.name.trimmed();
    if (name.contains(QRegularExpression(QStringLiteral("[()<>\\[\\]:;@\\\\,.\"]")))) {
        name = QLatin1Char('"')
            + name.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""))
            + QLatin1Char('"');
    }
    return QStringLiteral("%1 <%2>").arg(name, account.address);
}

OutgoingMessage::HandOverResult AccountMail::handOverResult(const SmtpFailure &failure)
{
    OutgoingMessage::HandOverResult result;
    result.taken = !failure;
    if (failure) {
        result.error = failure.reason();
        result.temporary = !failure.isFinal();
    }
    return result;
}

OutgoingMessage::Transport AccountMail::transport(const MailAccount &account, std::chrono::milliseconds timeout)
{
    return [account, timeout](const QByteArray &message, const QByteArray &recipient) {
        SmtpServer smtp;
        SmtpFailure failure;
        if (server(account, &smtp, &failure)) {
            failure = submit(account, smtp, message, recipient, timeout);
        }
        return handOverResult(failure);
    };
}
