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

Q_LOGGING_CATEGORY(lcAccounts, "ruvelant.accounts", QtInfoMsg)

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

// Why the calendar cannot be one of the account's as it stands; empty when it can.
QString calendarProblem(const CalDavAccount &account, const CalDavCalendar &calendar)
{
    if (!CalDavAccounts::isValidCollection(calendar.collection)) {
        return QStringLiteral("a calendar of the account %1 has no valid name (%2)")
            .arg(account.id, QString::fromLatin1(QUrl::toPercentEncoding(calendar.collection)));
    }
    if (!isValidFolder(calendar.folder) || !CalDavAccounts::isValidCollection(calendar.folder)) {
        return QStringLiteral("the calendar %1 of the account %2 has no valid folder")
            .arg(calendar.collection, account.id);
    }
    return QString();
}

// Whether url is an address on the origin of the account's calendar home.
bool onAccountOrigin(const CalDavAccount &account, const QString &url)
{
    const QString home = CalDavAccounts::origin(QUrl(account.url));
    return !home.isEmpty() && CalDavAccounts::origin(QUrl(url, QUrl::StrictMode)) == home;
}

QVariantMap toMap(const CalDavAccount &account)
{
    QVariantList calendars;
    for (const CalDavCalendar &calendar : account.calendars) {
        const QString problem = calendarProblem(account, calendar);
        if (!problem.isEmpty()) {
            qCWarning(lcAccounts).noquote() << "not kept:" << problem;
            continue;
        }
        QVariantMap fields {{QStringLiteral("collection"), calendar.collection},
                            {QStringLiteral("displayName"), calendar.displayName},
                            {QStringLiteral("folder"), calendar.folder}};
        if (!calendar.url.isEmpty() && onAccountOrigin(account, calendar.url)) {
            fields.insert(QStringLiteral("url"), calendar.url);
        }
        calendars.append(fields);
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
                                 fields.value(QStringLiteral("folder")).toString(),
                                 fields.value(QStringLiteral("url")).toString()};
        // One calendar that cannot be used is left out; the others, and the other accounts, stay.
        const QString problem = calendarProblem(*account, calendar);
        if (!problem.isEmpty()) {
            qCWarning(lcAccounts).noquote() << "left out:" << problem;
            continue;
        }
        if (!calendar.url.isEmpty() && !onAccountOrigin(*account, calendar.url)) {
            qCWarning(lcAccounts).noquote() << "the address of the calendar" << calendar.collection << "of the account"
                                            << account->id << "is not on the account's server; not used";
            calendar.url.clear();
        }
        account->calendars.append(calendar);
    }
    return true;
}
} // namespace

QString CalDavAccounts::origin(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        return QString();
    }
    const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1://%2:%3").arg(scheme, url.host(QUrl::FullyEncoded).toLower()).arg(port);
}

bool CalDavAccounts::isValidCollection(const QString &name)
{
    if (name.isEmpty()) {
        return false;
    }
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f) || c.isNonCharacter()) {
            return false;
        }
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            if (QChar::isNonCharacter(QChar::surrogateToUcs4(c, name.at(i + 1)))) {
                return false;
            }
            ++i;
        } else if (c.isSurrogate()) {
            return false;
        }
    }
    return true;
}

QString CalDavAccounts::calendarUrl(const CalDavAccount &account, const CalDavCalendar &calendar)
{
    if (!calendar.url.isEmpty()) {
        return calendar.url;
    }
    QUrl home(account.url);
    if (!home.path().endsWith(QLatin1Char('/'))) {
        home.setPath(home.path() + QLatin1Char('/'));
    }
    return home.resolved(QUrl::fromEncoded(QUrl::toPercentEncoding(calendar.collection) + '/'))
        .toString(QUrl::FullyEncoded);
}

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
        if (!isValidCollection(calendar.collection)) {
            continue;
        }
        const auto known
            = std::find_if(account->calendars.cbegin(), account->calendars.cend(),
                           [&calendar](const CalDavCalendar &c) { return c.collection == calendar.collection; });
        calendars.append({calendar.collection, calendar.displayName,
                          known == account->calendars.cend() ? QString() : known->folder, calendar.url});
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
