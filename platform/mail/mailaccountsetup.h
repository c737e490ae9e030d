#ifndef RUVELANT_MAILACCOUNTSETUP_H
#define RUVELANT_MAILACCOUNTSETUP_H

#include "mailaccount.h"

#include <QObject>

class PasswordStore;

// Adds and removes Ruvelant's mail accounts: the password in the keyring (or the private file,
// as the account says) first, then the account in its file; nothing is written when the password
// could not be kept. One operation at a time, each ending with finished().
class MailAccountSetup : public QObject
{
    Q_OBJECT
public:
    explicit MailAccountSetup(QObject *parent = nullptr);

    // Adds account with password. An account with the same address is replaced (keeping its id);
    // a new one gets its id here.
    void add(MailAccount account, const QString &password);
    // Removes the account that sends from address, and its password.
    void remove(const QString &address);
    bool isBusy() const { return m_busy; }

Q_SIGNALS:
    // ok: done; otherwise error says why nothing changed. With ok, error may hold what did not
    // work besides (a password that could not be removed).
    void finished(bool ok, const QString &error);
    // The keyring did not take the password of an account being added (before finished()).
    void keyringRefused(const QString &error);

private:
    void finishLater(bool ok, const QString &error);
    void finish(bool ok, const QString &error);

    PasswordStore *m_passwords;
    bool m_busy = false;
};

#endif
