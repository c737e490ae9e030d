#include "mailroute.h"

#include "desktopmailaccounts.h"
#include "desktopnotifications.h"
#include "mailaccountstore.h"
#include "mailapplication.h"

namespace {
// An account of the desktop as this system sends through it; false (with why) when it cannot.
bool fromDesktop(const DesktopMailIdentity &identity, MailAccount *account, QString *why)
{
    account->origin = MailAccount::Desktop;
    account->id = identity.transportUid;
    account->address = identity.address;
    account->name = identity.name;
    account->host = identity.host;
    account->userName = identity.userName;
    account->onlineAccountId = identity.onlineAccountId;
    if (identity.security == QLatin1String("ssl-on-alternate-port")) {
        account->security = MailSecurity::Tls;
    } else if (identity.security == QLatin1String("starttls-on-standard-port")) {
        account->security = MailSecurity::StartTls;
    } else {
        account->security = MailSecurity::None;
    }
    account->port = identity.port > 0 ? identity.port : defaultMailPort(account->security);
    const QString method = identity.authMethod.toUpper();
    if (method.isEmpty() || method == QLatin1String("NONE")) {
        account->login = MailAccount::NoLogin;
    } else if (method == QLatin1String("XOAUTH2") || method == QLatin1String("OAUTH2")
               || method == QLatin1String("GOOGLE") || method == QLatin1String("OUTLOOK")) {
        account->login = MailAccount::OAuth2;
    } else {
        account->login = MailAccount::Password;
    }
    *why = account->problem();
    return why->isEmpty();
}
} // namespace

QString senderAddress(const QString &sender)
{
    const QString trimmed = sender.trimmed();
    const int open = trimmed.lastIndexOf(QLatin1Char('<'));
    if (open >= 0 && trimmed.endsWith(QLatin1Char('>'))) {
        return trimmed.mid(open + 1, trimmed.size() - open - 2).trimmed();
    }
    return trimmed;
}

MailRoute MailRoute::choose(const QString &sender, const QList<MailAccount> &desktop, const QList<MailAccount> &own,
                            const QString &sendmail)
{
    MailRoute route;
    const QString address = senderAddress(sender);
    const MailAccount *chosen = nullptr;
    if (!address.isEmpty()) {
        chosen = MailAccountStore::find(desktop, address);
        if (!chosen) {
            chosen = MailAccountStore::find(own, address);
        }
        if (!chosen) {
            route.unmatchedSender = address;
        }
    } else {
        for (const MailAccount &account : desktop) {
            if (account.isDefault && !chosen) {
                chosen = &account;
            }
        }
        if (!chosen && !own.isEmpty()) {
            chosen = &own.first();
        }
    }
    if (chosen) {
        route.kind = Account;
        route.account = *chosen;
    } else if (!sendmail.isEmpty()) {
        route.kind = Sendmail;
        route.sendmail = sendmail;
    }
    return route;
}

QList<MailAccount> MailRoute::desktopAccounts(std::chrono::milliseconds bound, QStringList *notes)
{
    QList<MailAccount> accounts;
    // No session bus, no desktop: nothing is started to find one (a scheduler's plain environment).
    if (!DesktopNotifications::sessionBusExists()) {
        return accounts;
    }
    const QList<DesktopMailIdentity> identities = DesktopMailAccounts::read(bound);
    for (const DesktopMailIdentity &identity : identities) {
        MailAccount account;
        QString why;
        if (!fromDesktop(identity, &account, &why)) {
            if (notes) {
                notes->append(
                    QStringLiteral("the desktop's mail account %1 cannot send: %2").arg(identity.address, why));
            }
            continue;
        }
        account.isDefault = identity.isDefault;
        if (account.isDefault) {
            accounts.prepend(account);
        } else {
            accounts.append(account);
        }
    }
    return accounts;
}

MailRoute MailRoute::current(const QString &sender, QStringList *notes, std::chrono::milliseconds desktopBound)
{
    QList<MailAccount> own;
    QString error;
    if (!MailAccountStore::load(&own, &error) && notes) {
        notes->append(error);
    }
    return choose(sender, desktopAccounts(desktopBound, notes), own, MailApplication::findSendmail());
}
