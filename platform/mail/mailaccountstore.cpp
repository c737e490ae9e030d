#include "mailaccountstore.h"

#include "privatefile.h"
#include "propertylist.h"
#include "xdgpaths.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QVariant>

namespace {
const QString idPrefix = QStringLiteral("smtp-");

bool isValidId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^smtp-[a-z0-9._@+-]{1,120}$"));
    return pattern.match(id).hasMatch() && !id.contains(QLatin1String(".."));
}

QVariantMap toMap(const MailAccount &account)
{
    QVariantMap map {{QStringLiteral("id"), account.id},
                     {QStringLiteral("address"), account.address},
                     {QStringLiteral("host"), account.host},
                     {QStringLiteral("port"), account.port},
                     {QStringLiteral("security"), mailSecurityName(account.security)},
                     {QStringLiteral("userName"), account.userName},
                     {QStringLiteral("passwordInFile"), account.passwordInFile}};
    if (!account.name.isEmpty()) {
        map.insert(QStringLiteral("name"), account.name);
    }
    if (account.login == MailAccount::NoLogin) {
        map.insert(QStringLiteral("login"), QStringLiteral("none"));
    }
    return map;
}

bool fromMap(const QVariant &value, MailAccount *account, QString *why)
{
    if (value.userType() != QMetaType::QVariantMap) {
        *why = QStringLiteral("an entry is not an account");
        return false;
    }
    const QVariantMap map = value.toMap();
    account->origin = MailAccount::Ruvelant;
    account->id = map.value(QStringLiteral("id")).toString();
    account->address = map.value(QStringLiteral("address")).toString();
    account->name = map.value(QStringLiteral("name")).toString();
    account->host = map.value(QStringLiteral("host")).toString();
    account->port = map.value(QStringLiteral("port")).toInt();
    account->userName = map.value(QStringLiteral("userName")).toString();
    account->passwordInFile = map.value(QStringLiteral("passwordInFile")).toBool();
    account->login = map.value(QStringLiteral("login")).toString() == QLatin1String("none") ? MailAccount::NoLogin
                                                                                            : MailAccount::Password;
    if (!isValidId(account->id)) {
        *why = QStringLiteral("an account has no valid id (\"%1\")").arg(account->id);
        return false;
    }
    if (!mailSecurityFromName(map.value(QStringLiteral("security")).toString(), &account->security)) {
        *why = QStringLiteral("the account %1 has no valid security (tls, starttls or none)").arg(account->id);
        return false;
    }
    const QString problem = account->problem();
    if (!problem.isEmpty()) {
        *why = QStringLiteral("the account %1: %2").arg(account->id, problem);
        return false;
    }
    return true;
}
} // namespace

QString MailAccountStore::path()
{
    return xdgConfigHome() + QStringLiteral("/ruvelant/mail-accounts.plist");
}

bool MailAccountStore::load(QList<MailAccount> *accounts, QString *error)
{
    accounts->clear();
    const QString file = path();
    if (!QFileInfo::exists(file) && !QFileInfo(file).isSymLink()) {
        return true;
    }
    const auto fail = [&](const QString &why) {
        if (error) {
            *error = QStringLiteral("cannot read the mail accounts in %1: %2").arg(file, why);
        }
        accounts->clear();
        return false;
    };
    QVariant value;
    QString why;
    if (!PropertyList::readFile(file, &value, &why)) {
        return fail(why);
    }
    if (value.userType() != QMetaType::QVariantList) {
        return fail(QStringLiteral("it holds no list of accounts"));
    }
    const QVariantList items = value.toList();
    QSet<QString> ids;
    for (const QVariant &item : items) {
        MailAccount account;
        if (!fromMap(item, &account, &why)) {
            return fail(why);
        }
        if (ids.contains(account.id)) {
            return fail(QStringLiteral("two accounts have the id %1").arg(account.id));
        }
        ids.insert(account.id);
        accounts->append(account);
    }
    return true;
}

bool MailAccountStore::save(const QList<MailAccount> &accounts, QString *error)
{
    if (accounts.isEmpty()) {
        return PrivateFile::remove(path(), error);
    }
    QVariantList items;
    for (const MailAccount &account : accounts) {
        items.append(toMap(account));
    }
    return PrivateFile::write(path(), PropertyList::toXml(items), error);
}

QString MailAccountStore::newId(const QString &address, const QList<MailAccount> &others)
{
    QString base;
    for (const QChar c : address.trimmed().toLower()) {
        const bool kept = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || QStringLiteral("@+-").contains(c)
            || (c == QLatin1Char('.') && !base.endsWith(QLatin1Char('.')));
        base.append(kept ? c : QLatin1Char('_'));
    }
    base = idPrefix + (base.isEmpty() ? QStringLiteral("account") : base.left(100));
    QSet<QString> taken;
    for (const MailAccount &other : others) {
        taken.insert(other.id);
    }
    QString id = base;
    for (int n = 2; taken.contains(id); ++n) {
        id = base + QLatin1Char('-') + QString::number(n);
    }
    return id;
}

const MailAccount *MailAccountStore::find(const QList<MailAccount> &accounts, const QString &address)
{
    for (const MailAccount &account : accounts) {
        if (account.sendsFrom(address)) {
            return &account;
        }
    }
    return nullptr;
}
