#include "mailproviders.h"

#include <QStringList>

namespace {
struct Entry
{
    const char *domains; // space-separated
    const char *name;
    const char *host;
    int port;
    MailSecurity security;
    bool appPassword;
};

// Each provider's own published submission settings.
const Entry entries[] = {
    {"gmail.com googlemail.com", "Gmail", "smtp.gmail.com", 465, MailSecurity::Tls, true},
    {"outlook.com hotmail.com live.com msn.com outlook.de outlook.fr hotmail.de hotmail.fr hotmail.co.uk live.de "
     "live.fr live.co.uk",
     "Outlook.com", "smtp-mail.outlook.com", 587, MailSecurity::StartTls, true},
    {"yahoo.com yahoo.co.uk yahoo.fr yahoo.de ymail.com rocketmail.com", "Yahoo Mail", "smtp.mail.yahoo.com", 465,
     MailSecurity::Tls, true},
    {"aol.com", "AOL Mail", "smtp.aol.com", 465, MailSecurity::Tls, true},
    {"icloud.com me.com mac.com", "iCloud Mail", "smtp.mail.me.com", 587, MailSecurity::StartTls, true},
    {"fastmail.com fastmail.fm fastmail.net messagingengine.com", "Fastmail", "smtp.fastmail.com", 465,
     MailSecurity::Tls, true},
    {"gmx.net gmx.de gmx.at gmx.ch", "GMX", "mail.gmx.net", 587, MailSecurity::StartTls, false},
    {"gmx.com gmx.fr gmx.co.uk", "GMX", "mail.gmx.com", 587, MailSecurity::StartTls, false},
    {"web.de", "WEB.DE", "smtp.web.de", 587, MailSecurity::StartTls, false},
    {"posteo.de posteo.net posteo.org posteo.eu posteo.at posteo.ch", "Posteo", "posteo.de", 465, MailSecurity::Tls,
     false},
    {"mailbox.org", "mailbox.org", "smtp.mailbox.org", 465, MailSecurity::Tls, false},
    {"t-online.de", "Telekom Mail", "securesmtp.t-online.de", 465, MailSecurity::Tls, false},
    {"orange.fr wanadoo.fr", "Orange", "smtp.orange.fr", 465, MailSecurity::Tls, false},
    {"free.fr", "Free", "smtp.free.fr", 465, MailSecurity::Tls, false},
    {"laposte.net", "La Poste", "smtp.laposte.net", 465, MailSecurity::Tls, false},
    {"zoho.com zohomail.com", "Zoho Mail", "smtp.zoho.com", 465, MailSecurity::Tls, true},
    {"yandex.com yandex.ru ya.ru", "Yandex Mail", "smtp.yandex.com", 465, MailSecurity::Tls, true},
};
} // namespace

bool MailProviders::forAddress(const QString &address, Provider *provider)
{
    const int at = address.lastIndexOf(QLatin1Char('@'));
    if (at < 0) {
        return false;
    }
    const QString domain = address.mid(at + 1).trimmed().toLower();
    for (const Entry &entry : entries) {
        if (QString::fromLatin1(entry.domains).split(QLatin1Char(' ')).contains(domain)) {
            *provider = {QString::fromUtf8(entry.name), QString::fromLatin1(entry.host), entry.port, entry.security,
                         entry.appPassword};
            return true;
        }
    }
    return false;
}
