#ifndef RUVELANT_SYNCSTATUS_H
#define RUVELANT_SYNCSTATUS_H

#include "caldavfailure.h"

#include <QDateTime>
#include <QHash>
#include <QString>

// The last sync of one account.
struct SyncOutcome
{
    QDateTime started; // invalid when the account was never synced
    QDateTime finished; // invalid while the first sync runs
    CalDavFailure failure = CalDavFailure::None;
    QString detail; // the sync program's own words about a failure
    qint64 pid = 0; // the process that syncs the account now; 0 when none does

    // Whether that process still syncs the account.
    bool isRunning() const;
};

// What the sync program recorded of each account's last sync, by account id, in
// $XDG_STATE_HOME/ruvelant/calendarsync.plist. Written only by the sync program, under its lock.
namespace SyncStatus {
QString path();
// The outcomes; none when the file is missing or cannot be read.
QHash<QString, SyncOutcome> load();
bool save(const QHash<QString, SyncOutcome> &outcomes, QString *error);
} // namespace SyncStatus

#endif
