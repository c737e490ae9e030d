#ifndef RUVELANT_VDIRSYNCERCONFIG_H
#define RUVELANT_VDIRSYNCERCONFIG_H

#include "caldavaccounts.h"

// Ruvelant's own vdirsyncer configuration, $XDG_CONFIG_HOME/ruvelant/vdirsyncer/config (never the
// user's own): one pair per account between the calendar folders and the server, the server's
// version winning a conflict, each calendar's display name kept in its folder's "displayname".
namespace VdirsyncerConfig {
QString path();
// vdirsyncer's record of what it synced: $XDG_STATE_HOME/ruvelant/vdirsyncer/.
QString statusPath();
// The pair of an account, and its two storages.
QString pairName(const CalDavAccount &account);
// The configuration's text for accounts whose calendar folders live in calendarsFolder.
QString text(const QList<CalDavAccount> &accounts, const QString &calendarsFolder);
// Writes the configuration of accounts (mode 0600), or removes it when there is none.
bool write(const QList<CalDavAccount> &accounts, QString *error);
} // namespace VdirsyncerConfig

#endif
