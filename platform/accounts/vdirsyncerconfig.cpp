#include "vdirsyncerconfig.h"

#include "passwordstore.h"
#include "privatefile.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {
// A value as vdirsyncer reads it: JSON, on one line.
QString json(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QJsonArray jsonList(const QStringList &texts)
{
    QJsonArray list;
    for (const QString &text : texts) {
        list.append(text);
    }
    return list;
}

} // namespace

QString VdirsyncerConfig::path()
{
    return xdgConfigHome() + QStringLiteral("/ruvelant/vdirsyncer/config");
}

QString VdirsyncerConfig::statusPath()
{
    return xdgStateHome() + QStringLiteral("/ruvelant/vdirsyncer/");
}

QString VdirsyncerConfig::pairName(const CalDavCalendar &calendar)
{
    QString name;
    const QByteArray bytes = calendar.folder.toUtf8();
    for (const char c : bytes) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            name.append(QLatin1Char(c));
        } else if (c == '_') {
            name.append(QLatin1String("__"));
        } else {
            name.append(QLatin1Char('_') + QString::number(uchar(c), 16).rightJustified(2, QLatin1Char('0')));
        }
    }
    return name;
}

QStringList VdirsyncerConfig::pairNames(const CalDavAccount &account)
{
    QStringList names;
    const QString origin = CalDavAccounts::origin(QUrl(account.url));
    for (const CalDavCalendar &calendar : account.calendars) {
        if (CalDavAccounts::origin(QUrl(CalDavAccounts::calendarUrl(account, calendar))) == origin) {
            names.append(pairName(calendar));
        }
    }
    return names;
}

QString VdirsyncerConfig::text(const QList<CalDavAccount> &accounts, const QString &calendarsFolder)
{
    QString text = QStringLiteral("# Written by Ruvelant from %1; changes here are lost when an account is added\n"
                                  "# or removed. Sync by hand with: vdirsyncer -c %2 sync\n\n"
                                  "[general]\nstatus_path = %3\n")
                       .arg(CalDavAccounts::path(), path(), json(statusPath()));
    for (const CalDavAccount &account : accounts) {
        const QString origin = CalDavAccounts::origin(QUrl(account.url));
        const QString password
            = json(jsonList(QStringList {QStringLiteral("command")} + PasswordStore::fetchCommand(account)));
        text += QStringLiteral("\n# The account %1\n").arg(account.id);
        for (const CalDavCalendar &calendar : account.calendars) {
            const QString url = CalDavAccounts::calendarUrl(account, calendar);
            if (CalDavAccounts::origin(QUrl(url)) != origin) {
                qCWarning(lcAccounts).noquote() << "the calendar" << calendar.folder << "is not synced: its address"
                                                << url << "is not on the account's server" << origin;
                continue;
            }
            const QString pair = pairName(calendar);
            text += QStringLiteral("\n[pair %1]\n"
                                   "a = %2\n"
                                   "b = %3\n"
                                   "collections = null\n"
                                   "conflict_resolution = \"b wins\"\n"
                                   "metadata = [\"displayname\"]\n"
                                   "\n"
                                   "[storage %1_local]\n"
                                   "type = \"filesystem\"\n"
                                   "path = %4\n"
                                   "fileext = \".ics\"\n"
                                   "\n"
                                   "[storage %1_server]\n"
                                   "type = \"caldav\"\n"
                                   "url = %5\n"
                                   "username = %6\n"
                                   "password.fetch = %7\n")
                        .arg(pair, json(pair + QStringLiteral("_local")), json(pair + QStringLiteral("_server")),
                             json(calendarsFolder + QLatin1Char('/') + calendar.folder), json(url),
                             json(account.userName), password);
        }
    }
    return text;
}

bool VdirsyncerConfig::write(const QList<CalDavAccount> &accounts, QString *error)
{
    if (accounts.isEmpty()) {
        return PrivateFile::remove(path(), error);
    }
    return PrivateFile::write(path(), text(accounts, CalDavAccounts::calendarsFolder()).toUtf8(), error);
}

void VdirsyncerConfig::adoptEarlierStatus(const CalDavAccount &account)
{
    const QString folder = statusPath() + account.id;
    if (!QFileInfo(folder).isDir() || QFileInfo(folder).isSymLink()) {
        return;
    }
    bool moved = true;
    for (const CalDavCalendar &calendar : account.calendars) {
        for (const char *kind : {".items", ".metadata"}) {
            const QString earlier = folder + QLatin1Char('/') + calendar.folder + QLatin1String(kind);
            const QString now = statusPath() + pairName(calendar) + QLatin1String(kind);
            if (QFileInfo::exists(earlier) && !QFileInfo::exists(now) && !QFile::rename(earlier, now)) {
                qCWarning(lcAccounts).noquote() << "cannot move" << earlier << "to" << now;
                moved = false;
            }
        }
    }
    // What is left of the account's pair: its collections, and records of calendars it no longer has.
    if (moved) {
        QFile::remove(folder + QStringLiteral(".collections"));
        QDir(folder).removeRecursively();
    }
}

void VdirsyncerConfig::removeStatus(const CalDavAccount &account)
{
    for (const CalDavCalendar &calendar : account.calendars) {
        for (const char *kind : {".items", ".metadata", ".collections"}) {
            QFile::remove(statusPath() + pairName(calendar) + QLatin1String(kind));
        }
    }
    const QString earlier = statusPath() + account.id;
    if (QFileInfo(earlier).isDir() && !QFileInfo(earlier).isSymLink()) {
        QDir(earlier).removeRecursively();
    }
    QFile::remove(earlier + QStringLiteral(".collections"));
}
