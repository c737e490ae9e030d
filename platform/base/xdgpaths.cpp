#include "xdgpaths.h"

#include <QDir>

namespace {
// The folder named by variable, or fallback below the home folder when the variable is unset or
// not an absolute path.
QString xdgHome(const char *variable, const char *fallback)
{
    const QString folder = qEnvironmentVariable(variable);
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) {
        return QDir::homePath() + QLatin1String(fallback);
    }
    return folder;
}
} // namespace

QString xdgDataHome()
{
    return xdgHome("XDG_DATA_HOME", "/.local/share");
}

QString xdgConfigHome()
{
    return xdgHome("XDG_CONFIG_HOME", "/.config");
}

QString xdgCacheHome()
{
    return xdgHome("XDG_CACHE_HOME", "/.cache");
}

QString xdgStateHome()
{
    return xdgHome("XDG_STATE_HOME", "/.local/state");
}
