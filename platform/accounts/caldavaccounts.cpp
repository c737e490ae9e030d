#include "caldavaccounts.h"

#include "privatefile.h"
#include "propertylist.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace {
constexpr int maxIdLength = 40;

// Lower-case ASCII letters and digits of text, every other run of characters one '_'.
QString slug(const QString &text, int maxLength)
{
    QString result;
    for (const QChar c : text.toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))) {
            result.append(c);
        } else if (!result.isEmpty() && !result.endsWith(QLatin1Char('_'))) {
            result.append(QLatin1Char('_'));
        }
    }
    result.truncate(maxLength);
    while (result.endsWith(QLatin1Char('_'))) {
        result.chop(1);
    }
    return result;
}

// name, or name with the first of "_2", "_3"... (joined by separator) that taken does not hold.
QString unique(const QString &name, const QString &separator, const QSet<QString> &taken)
{
    QString candidate = name;
    for (int n = 2; taken.contains(candidate.toLower()); ++n) {
        candidate = name + separator + QString::number(n);
    }
    return candidate;
}

bool isValidId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_]{1,64}$"));
    return pattern.match(id).hasMatch();
}

// A folder name that stays one visible folder right below the calendars folder.
bool isValidFolder(const QString &folder)
{
    return !folder.isEmpty() && !folder.startsWith(QLatin1Char('.')) && !folder.contains(QLatin1Char('/'))
        && !folder.contains(QChar(0));
}

QVariantMap toMap(const CalDavAccount &account)
{
    QVariantList calendars;
    for (const CalDavCalendar &calendar : account.calendars) {
        calendars.append(QVariantMap {{QStringLiteral("collection"), calendar.collection},
                                      {QStringLiteral("displayName"), calendar.displayName},
                                      {QStringLiteral("folder"), calendar.folder}});
    }
    return {{QStringLiteral("id"), account.id},
            {QStringLiteral("address"), account.address},
            {QStringLiteral("url"), account.url},
            {QStringLiteral("userName"), account.userName},
            {QStringLiteral("passwordInFile"), account.passwordInFile},
            {QStringLiteral("calendars"), calendars}};
}

bool fromMap(const QVariant &value, CalDavAccount *account, QString *why)
{
    const QVariantMap map = value.toMap();
    account->id = map.value(QStringLiteral("id")).toString();
    account->address = map.value(QStringLiteral("address")).toString();
    account->url = map.value(QStringLiteral("url")).toString();
    account->userName = map.value(QStringLiteral("userName")).toString();
    account->passwordInFile = map.value(QStringLiteral("passwordInFile")).toBool();
    if (!isValidId(account->id)) {
        *why = QStringLiteral("an account has no valid id (\"%1\")").arg(account->id);
        return false;
    }
    const QUrl url(account->url, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        *why = QStringLiteral("the account %1 has no valid server address").arg(account->id);
        return false;
    }
    const QVariantList calendars = map.value(QStringLiteral("calendars")).toList();
    for (const QVariant &item : calendars) {
        const QVariantMap fields = item.toMap();
        CalDavCalendar calendar {fields.value(QStringLiteral("collection")).toString(),
                                 fields.value(QStringLiteral("displayName")).toString(),
                                 fields.value(QStringLiteral("folder")).toString()};
        if (calendar.collection.isEmpty() || !isValidFolder(calendar.folder)) {
            *why = QStringLiteral("a calendar of the account %1 has no collection or no valid folder").arg(account->id);
            return false;
        }
        account->calendars.append(calendar);
    }
    return true;
}
} // namespace

QString CalDavAccount::title() const
{
    const QString host = QUrl(url).host();
    return host.isEmpty() || userName.endsWith(QLatin1Char('@') + host) ? userName : userName + QLatin1Char('@') + host;
}

QString CalDavAccounts::path()
{
    return xdgConfigHome() + QStringLiteral("/ruvelant/accounts.plist");
}

QString CalDavAccounts::calendarsFolder()
{
    return xdgDataHome() + QStringLiteral("/calendars");
}

bool CalDavAccounts::load(QList<CalDavAccount> *accounts, QString *error)
{
    accounts->clear();
    const QString file = path();
    if (!QFileInfo::exists(file) && !QFileInfo(file).isSymLink()) {
        return true;
    }
    QVariant value;
    QString why;
    if (!PropertyList::readFile(file, &value, &why)) {
        if (error) {
            *error = QStringLiteral("cannot read the accounts in %1: %2").arg(file, why);
        }
        return false;
    }
    if (value.userType() != QMetaType::QVariantList) {
        if (error) {
            *error = QStringLiteral("%1 holds no list of accounts").arg(file);
        }
        return false;
    }
    const QVariantList items = value.toList();
    for (const QVariant &item : items) {
        CalDavAccount account;
        if (!fromMap(item, &account, &why)) {
            if (error) {
                *error = QStringLiteral("cannot read the accounts in %1: %2").arg(file, why);
            }
            accounts->clear();
            return false;
        }
        accounts->append(account);
    }
    return true;
}

bool CalDavAccounts::save(const QList<CalDavAccount> &accounts, QString *error)
{
    if (accounts.isEmpty()) {
        return PrivateFile::remove(path(), error);
    }
    QVariantList items;
    for (const CalDavAccount &account : accounts) {
        items.append(toMap(account));
    }
    const QByteArray xml = PropertyList::toXml(items, error);
    return !xml.isEmpty() && PrivateFile::write(path(), xml, error);
}

void CalDavAccounts::assignNames(CalDavAccount *account, const QList<CalDavAccount> &others,
                                 const QString &calendarsFolder)
{
    QSet<QString> ids;
    QSet<QString> folders;
    for (const CalDavAccount &other : others) {
        ids.insert(other.id.toLower());
        for (const CalDavCalendar &calendar : other.calendars) {
            folders.insert(calendar.folder.toLower());
        }
    }
    for (const CalDavCalendar &calendar : qAsConst(account->calendars)) {
        folders.insert(calendar.folder.toLower());
    }
    const QStringList present = QDir(calendarsFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : present) {
        folders.insert(name.toLower());
    }

    if (account->id.isEmpty()) {
        QString base = slug(account->userName.section(QLatin1Char('@'), 0, 0), maxIdLength / 2);
        const QString host = slug(QUrl(account->url).host(), maxIdLength / 2);
        base = base.isEmpty() ? host : host.isEmpty() ? base : base + QLatin1Char('_') + host;
        account->id = unique(base.isEmpty() ? QStringLiteral("account") : base, QStringLiteral("_"), ids);
    }
    for (CalDavCalendar &calendar : account->calendars) {
        if (!calendar.folder.isEmpty()) {
            continue;
        }
        const QString name = slug(calendar.collection, maxIdLength);
        calendar.folder = unique(account->id + QLatin1Char('-') + (name.isEmpty() ? QStringLiteral("calendar") : name),
                                 QStringLiteral("-"), folders);
        folders.insert(calendar.folder.toLower());
    }
}

bool CalDavAccounts::updateCalendars(CalDavAccount *account, const QList<CalDavCalendar> &found,
                                     const QList<CalDavAccount> &others, const QString &calendarsFolder)
{
    QList<CalDavCalendar> calendars;
    for (const CalDavCalendar &calendar : found) {
        const auto known
            = std::find_if(account->calendars.cbegin(), account->calendars.cend(),
                           [&calendar](const CalDavCalendar &c) { return c.collection == calendar.collection; });
        calendars.append({calendar.collection, calendar.displayName,
                          known == account->calendars.cend() ? QString() : known->folder});
    }
    const QList<CalDavCalendar> before = account->calendars;
    // The folders of calendars that are gone stay taken: they keep their events.
    QList<CalDavAccount> taken = others;
    taken.append(*account);
    taken.last().id = QString();
    account->calendars = calendars;
    assignNames(account, taken, calendarsFolder);
    return account->calendars != before;
}
