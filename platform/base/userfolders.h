#ifndef RUVELANT_USERFOLDERS_H
#define RUVELANT_USERFOLDERS_H

#include <QString>

// The current user's login short name; empty when the account cannot be looked up.
QString userShortName();
// The home folder of the user with that short name: $HOME for the current user, else the
// account's home; empty for an unknown user.
QString homeFolderOfUser(const QString &shortName);
// $HOME/Library
QString userLibraryPath();
// The folder of the system-wide Library, /Library. Tests and staged installs move it below
// another root with RUVELANT_SYSTEM_ROOT.
QString systemLibraryPath();

#endif
