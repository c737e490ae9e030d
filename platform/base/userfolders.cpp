#include "userfolders.h"

#include <QDir>
#include <QFile>

#include <pwd.h>
#include <unistd.h>

QString userShortName()
{
    if (const passwd *account = ::getpwuid(::getuid())) {
        return QFile::decodeName(account->pw_name);
    }
    return qEnvironmentVariable("USER");
}

QString homeFolderOfUser(const QString &shortName)
{
    if (shortName.isEmpty()) {
        return QString();
    }
    if (shortName == userShortName()) {
        return QDir::homePath();
    }
    if (const passwd *account = ::getpwnam(QFile::encodeName(shortName).constData())) {
        return QFile::decodeName(account->pw_dir);
    }
    return QString();
}

QString userLibraryPath()
{
    return QDir::homePath() + QStringLiteral("/Library");
}

QString systemLibraryPath()
{
    const QString root = qEnvironmentVariable("RUVELANT_SYSTEM_ROOT");
    if (root.isEmpty() || !QDir::isAbsolutePath(root)) {
        return QStringLiteral("/Library");
    }
    return QDir::cleanPath(root + QStringLiteral("/Library"));
}
