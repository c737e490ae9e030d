#ifndef RUVELANT_MAILROUTE_H
#define RUVELANT_MAILROUTE_H

#include "mailaccount.h"

#include <QList>

#include <chrono>

// The way a reminder from a sender goes out, chosen as the platform's Mail chooses an account:
// the account whose address is the sender's (the desktop's accounts first, then Ruvelant's);
// with no sender, the desktop's default mail account, else the first of Ruvelant's; and when no
// account fits, the sendmail program as before.
struct MailRoute
{
    enum Kind { Account, Sendmail, None };

    Kind kind = None;
    MailAccount account; // Account: the account that sends
    QString sendmail; // Sendmail: the program
    // The sender that no account sends from (the sendmail program takes its reminders, or nothing
    // does); empty when the sender is blank or an account sends from it.
    QString unmatchedSender;

    // The choice for sender among the desktop's accounts (their default marked by isDefault) and
    // Ruvelant's, with sendmail the sendmail program found (empty: none).
    static MailRoute choose(const QString &sender, const QList<MailAccount> &desktop, const QList<MailAccount> &own,
                            const QString &sendmail);
    // The choice as things are now: the desktop's accounts as EDS holds them (waiting at most
    // desktopBound), Ruvelant's as stored, the sendmail program on PATH. *notes (when given)
    // tells what could not be read (Ruvelant's account file, a desktop account that cannot send).
    static MailRoute current(const QString &sender, QStringList *notes = nullptr,
                             std::chrono::milliseconds desktopBound = std::chrono::seconds(3));
    // The desktop's mail accounts that can send, the default one first; *notes as above.
    static QList<MailAccount> desktopAccounts(std::chrono::milliseconds bound = std::chrono::seconds(3),
                                              QStringList *notes = nullptr);
};

// The address in a sender as the settings hold it ("ann@example.org", or "Ann <ann@example.org>"),
// without the white space around it; empty when the sender is blank.
QString senderAddress(const QString &sender);

#endif
