#include "xdgpaths.h"

#include <QDir>

QString xdgDataHome()
{
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome)) {
        return QDir::homePath() + QStringLiteral("/.local/share");
    }
    return dataHome;
}

QString xdgConfigHome()
{
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || !QDir::isAbsolutePath(configHome)) {
        return QDir::homePath() + QStringLiteral("/.config");
    }
    return configHome;
}

QString xdgCacheHome()
{
    const QString cacheHome = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cacheHome.isEmpty() || !QDir::isAbsolutePath(cacheHome)) {
        return QDir::homePath() + QStringLiteral("/.cache");
    }
    return cacheHome;
}

QString xdgStateHome()
{
    const QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty() || !QDir::isAbsolutePath(stateHome)) {
        return QDir::homePath() + QStringLiteral("/.local/state");
    }
    return stateHome;
}
