#ifndef RUVELANT_ACCOUNTSETUP_H
#define RUVELANT_ACCOUNTSETUP_H

#include "caldavaccounts.h"

#include <QObject>

class PasswordStore;
class SyncSchedule;

// Adds and removes CalDAV accounts: the account's settings, its password, Ruvelant's vdirsyncer
// configuration, its calendar folders, the sync schedule (loaded with the first account,
// unloaded with the last), and a sync right after adding. One operation at a time, each ending
// with finished(); nothing is written before the password is kept.
class AccountSetup : public QObject
{
    Q_OBJECT
public:
    // syncProgram: the sync program that the schedule and "Sync Now" start.
    explicit AccountSetup(const QString &syncProgram, QObject *parent = nullptr);

    // Adds account as found by the discovery (its id and folders are given here) with its password.
    void add(CalDavAccount account, const QString &password);
    // Removes the account with that id, and its calendar folders when removeFolders.
    void remove(const QString &id, bool removeFolders);
    // Starts a sync of every account in the background; false when the program cannot be started.
    bool syncNow();
    bool isBusy() const { return m_busy; }

    // The accounts as stored; none when they cannot be read.
    static QList<CalDavAccount> accounts();

Q_SIGNALS:
    // ok: the account was added or removed. warning: what did not work besides (the schedule, a
    // password or folder that could not be removed), or, with !ok, why nothing changed.
    void finished(bool ok, const QString &warning);
    // The Secret Service did not take the password of an account being added (before finished()).
    void keyringRefused(const QString &error);

private:
    void saveAdded(const CalDavAccount &account);
    void schedule(bool load, const QString &warning);
    // Reads the accounts; when they cannot be read, ends the operation with the reason.
    bool loadAccounts(QList<CalDavAccount> *accounts);
    // Ends the operation once the caller has returned, as a change made later would.
    void finishLater(bool ok, const QString &warning);
    void finish(bool ok, const QString &warning);

    QString m_syncProgram;
    PasswordStore *m_passwords;
    SyncSchedule *m_schedule;
    bool m_busy = false;
};

#endif
