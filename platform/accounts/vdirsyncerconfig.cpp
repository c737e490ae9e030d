#include "vdirsyncerconfig.h"

#include "passwordstore.h"
#include "privatefile.h"
#include "xdgpaths.h"

#include <QJsonArray>
#include <QJsonDocument>

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

QString VdirsyncerConfig::pairName(const CalDavAccount &account)
{
    return account.id;
}

QString VdirsyncerConfig::text(const QList<CalDavAccount> &accounts, const QString &calendarsFolder)
{
    QString text = QStringLiteral("# Written by Ruvelant from %1; changes here are lost when an account is added\n"
                                  "# or removed. Sync by hand with: vdirsyncer -c %2 sync\n\n"
                                  "[general]\nstatus_path = %3\n")
                       .arg(CalDavAccounts::path(), path(), json(statusPath()));
    for (const CalDavAccount &account : accounts) {
        const QString pair = pairName(account);
        // Each calendar by its folder here and its name on the server, so that two accounts
        // never share a folder.
        QJsonArray collections;
        for (const CalDavCalendar &calendar : account.calendars) {
            collections.append(QJsonArray {calendar.folder, calendar.folder, calendar.collection});
        }
        text
            += QStringLiteral("\n[pair %1]\n"
                              "a = %2\n"
                              "b = %3\n"
                              "collections = %4\n"
                              "conflict_resolution = \"b wins\"\n"
                              "metadata = [\"displayname\"]\n"
                              "\n"
                              "[storage %1_local]\n"
                              "type = \"filesystem\"\n"
                              "path = %5\n"
                              "fileext = \".ics\"\n"
                              "\n"
                              "[storage %1_server]\n"
                              "type = \"caldav\"\n"
                              "url = %6\n"
                              "username = %7\n"
                              "password.fetch = %8\n")
                   .arg(pair, json(pair + QStringLiteral("_local")), json(pair + QStringLiteral("_server")),
                        json(collections), json(calendarsFolder), json(account.url), json(account.userName),
                        json(jsonList(QStringList {QStringLiteral("command")} + PasswordStore::fetchCommand(account))));
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
