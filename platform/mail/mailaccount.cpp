#include "mailaccount.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace {
// A host name as DNS takes it (letters other than ASCII in their ASCII form), or an IP address.
bool isHostName(const QString &host)
{
    if (host.isEmpty() || host.size() > 253) {
        return false;
    }
    if (!QHostAddress(host).isNull()) {
        return true;
    }
    const QString ascii = QString::fromLatin1(QUrl::toAce(host));
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    const QStringList labels = ascii.split(QLatin1Char('.'));
    if (ascii.isEmpty()) {
        return false;
    }
    for (const QString &part : labels) {
        if (!label.match(part).hasMatch()) {
            return false;
        }
    }
    return true;
}
} // namespace

QString mailSecurityName(MailSecurity security)
{
    switch (security) {
    case MailSecurity::Tls:
        return QStringLiteral("tls");
    case MailSecurity::StartTls:
        return QStringLiteral("starttls");
    case MailSecurity::None:
        break;
    }
    return QStringLiteral("none");
}

bool mailSecurityFromName(const QString &name, MailSecurity *security)
{
    for (const MailSecurity candidate : {MailSecurity::Tls, MailSecurity::StartTls, MailSecurity::None}) {
        if (name.compare(mailSecurityName(candidate), Qt::CaseInsensitive) == 0) {
            *security = candidate;
            return true;
        }
    }
    return false;
}

int defaultMailPort(MailSecurity security)
{
    switch (security) {
    case MailSecurity::Tls:
        return 465;
    case MailSecurity::StartTls:
        return 587;
    case MailSecurity::None:
        break;
    }
    return 25;
}

QString MailAccount::serverText() const
{
    const QString shown = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return port == defaultMailPort(security) || port == 0 ? shown : QStringLiteral("%1:%2").arg(shown).arg(port);
}

QString MailAccount::problem() const
{
    const int at = address.indexOf(QLatin1Char('@'));
    if (at <= 0 || at != address.lastIndexOf(QLatin1Char('@')) || at == address.size() - 1
        || address.contains(QRegularExpression(QStringLiteral("[\\s<>,;\"]")))) {
        return QStringLiteral("'%1' is not one e-mail address").arg(address);
    }
    if (!isHostName(host)) {
        return QStringLiteral("'%1' is not a server name or address").arg(host);
    }
    if (port < 1 || port > 65535) {
        return QStringLiteral("%1 is not a port (1 to 65535)").arg(port);
    }
    // A password, or anything at all, in the clear over a network: only to this computer itself.
    if (origin == Ruvelant && security == MailSecurity::None && !isLoopbackHost(host)) {
        return QStringLiteral("a connection without TLS is only allowed to a server on this computer (127.0.0.1), "
                              "not to %1")
            .arg(host);
    }
    if (login == OAuth2 && onlineAccountId.isEmpty()) {
        return QStringLiteral("the account logs in with OAuth2 but names no Online Accounts account");
    }
    if (login != NoLogin && userName.isEmpty()) {
        return QStringLiteral("the account has no user name");
    }
    return QString();
}

bool MailAccount::sendsFrom(const QString &other) const
{
    return !address.isEmpty() && address.compare(other.trimmed(), Qt::CaseInsensitive) == 0;
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

bool parseMailServer(const QString &text, QString *host, int *port)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]\\s]+))(?::(\\d{1,5}))?$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch()) {
        return false;
    }
    const QString name = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    if (!match.captured(1).isEmpty() && QHostAddress(name).protocol() != QAbstractSocket::IPv6Protocol) {
        return false;
    }
    if (!isHostName(name)) {
        return false;
    }
    const int number = match.captured(3).isEmpty() ? 0 : match.captured(3).toInt();
    if (!match.captured(3).isEmpty() && (number < 1 || number > 65535)) {
        return false;
    }
    *host = name;
    *port = number;
    return true;
}
