#ifndef RUVELANT_MAILACCOUNTSTORE_H
#define RUVELANT_MAILACCOUNTSTORE_H

#include "mailaccount.h"

#include <QList>

// The mail accounts added in Ruvelant, kept in $XDG_CONFIG_HOME/ruvelant/mail-accounts.plist,
// without their passwords (see PasswordStore).
namespace MailAccountStore {
QString path();
// Reads the accounts; no file means none. Returns false with a message in *error when the file
// cannot be read or an account in it is not whole: nothing may be written over it then.
bool load(QList<MailAccount> *accounts, QString *error);
// Replaces the file with accounts (mode 0600); removes it when there is none.
bool save(const QList<MailAccount> &accounts, QString *error);
// The id for a new account with address: "smtp-" and the address in lower case, every character
// that a file name or the keyring's attributes could mind as '_', unique among others. (Calendar
// accounts' ids have no '-', so the two never name the same password.)
QString newId(const QString &address, const QList<MailAccount> &others);
// The account of others that sends from address; nullptr when none does.
const MailAccount *find(const QList<MailAccount> &accounts, const QString &address);
} // namespace MailAccountStore

#endif
