#ifndef RUVELANT_XDGPATHS_H
#define RUVELANT_XDGPATHS_H

#include <QString>

// $XDG_DATA_HOME, or ~/.local/share when the variable is unset or not an absolute path.
QString xdgDataHome();

// $XDG_CONFIG_HOME, or ~/.config when the variable is unset or not an absolute path.
QString xdgConfigHome();

// $XDG_CACHE_HOME, or ~/.cache when the variable is unset or not an absolute path.
QString xdgCacheHome();

// $XDG_STATE_HOME, or ~/.local/state when the variable is unset or not an absolute path.
QString xdgStateHome();

#endif
