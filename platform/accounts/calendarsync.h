#ifndef RUVELANT_CALENDARSYNC_H
#define RUVELANT_CALENDARSYNC_H

#include "caldavaccounts.h"
#include "caldavfailure.h"

#include <QString>
#include <QStringList>

// Syncs the accounts' calendars with vdirsyncer. For each account: its calendars asked of the
// server (within CalDavLimits), the configuration written afresh from the accounts, the
// account's missing calendar folders made, then "discover", "sync" and "metasync" of its
// calendars' pairs; its outcome kept in SyncStatus. One sync of an account at a time: a second
// one waits for the first, then syncs what changed meanwhile; other accounts go on.
namespace CalendarSync {
// The program that syncs (it lives beside the agent, in the pane's resources).
QString programName(); // "RuvelantSync"
// The label of its schedule, every 15 minutes: "com.kestramo.RuvelantSync".
QString scheduleLabel();

// The lock held while the files shared by the syncs (the accounts, the configuration, the
// status) are read and written.
QString lockPath();
// The lock held while the account is synced.
QString lockPath(const QString &accountId);

// Syncs the accounts with the given ids, every account when ids is empty. Returns false when
// one could not be synced (or an id names no account), with one line per problem in *problems.
bool run(const QStringList &ids, QStringList *problems);

// Makes the account's calendar folders that are missing, each with its calendar's display name,
// so that they show at once with their titles (vdirsyncer would only ask whether to make them).
bool makeFolders(const CalDavAccount &account, QString *problem);

// What vdirsyncer's diagnostics say went wrong, and the line that says it.
CalDavFailure failureOf(const QString &diagnostics, QString *detail);

// Starts the sync program found in programFolder, in the background and on its own, when there is
// an account to sync. Returns whether it was started.
bool startInBackground(const QString &programFolder);
} // namespace CalendarSync

#endif
