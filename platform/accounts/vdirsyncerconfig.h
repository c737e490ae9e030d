#ifndef RUVELANT_VDIRSYNCERCONFIG_H
#define RUVELANT_VDIRSYNCERCONFIG_H

#include "caldavaccounts.h"

#include <QStringList>

// Ruvelant's own vdirsyncer configuration, $XDG_CONFIG_HOME/ruvelant/vdirsyncer/config (never the
// user's own): one pair per calendar between its folder and its address on the server, the
// server's version winning a conflict, the calendar's display name kept in its folder's
// "displayname". vdirsyncer is given each calendar's address and never looks for calendars
// itself, so that it asks the account's own origin only (the password goes nowhere else).
namespace VdirsyncerConfig {
QString path();
// vdirsyncer's record of what it synced: $XDG_STATE_HOME/ruvelant/vdirsyncer/.
QString statusPath();
// The pair of a calendar (its folder's name, in the letters, digits and '_' that vdirsyncer
// takes: '_' doubled, every other byte "_xx"), and its two storages "<pair>_local",
// "<pair>_server".
QString pairName(const CalDavCalendar &calendar);
// The pairs of the account's calendars that the configuration holds.
QStringList pairNames(const CalDavAccount &account);
// The configuration's text for accounts whose calendar folders live in calendarsFolder. A
// calendar whose address is not on its account's origin is left out, with a warning.
QString text(const QList<CalDavAccount> &accounts, const QString &calendarsFolder);
// Writes the configuration of accounts (mode 0600), or removes it when there is none.
bool write(const QList<CalDavAccount> &accounts, QString *error);
// Moves vdirsyncer's record of each of the account's calendars from where a pair of the whole
// account kept it (<status>/<id>/<folder>.items) to the calendar's own pair, so that its sync
// goes on from where it was (and an event deleted on one side is not brought back).
void adoptEarlierStatus(const CalDavAccount &account);
// Removes vdirsyncer's record of the account's calendars: a new account of the same id and
// folders starts afresh.
void removeStatus(const CalDavAccount &account);
} // namespace VdirsyncerConfig

#endif
