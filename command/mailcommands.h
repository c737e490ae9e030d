#ifndef RUVELANT_MAILCOMMANDS_H
#define RUVELANT_MAILCOMMANDS_H

#include "mailaccount.h"

#include <QList>
#include <QStringList>

// The subcommands of "ruvelant mail", one file each, and what they share.
int mailAddCommand(const QStringList &arguments);
int mailListCommand(const QStringList &arguments);
int mailRemoveCommand(const QStringList &arguments);
int mailTestCommand(const QStringList &arguments);

namespace MailCommands {
// The sender of the settings ("senderEmail"), as the agent reads it; empty when none is chosen.
QString sender();
// Every mail account that can send: the desktop's, then Ruvelant's. *notes: what could not be read.
QList<MailAccount> accounts(QStringList *notes);
// The account that sends from address; false after a complaint when there is none.
bool findAccount(const QString &address, MailAccount *account);
// "smtp.example.org, STARTTLS, user ann" for people.
QString describe(const MailAccount &account);
} // namespace MailCommands

#endif
