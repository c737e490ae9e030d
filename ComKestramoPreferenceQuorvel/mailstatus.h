#ifndef RUVELANT_MAILSTATUS_H
#define RUVELANT_MAILSTATUS_H

#include "mailapplication.h"
#include "mailroute.h"

#include <QString>

class Bundle;

// The way reminders go out, as the agent chooses it for the sender, in one line of the pane's
// texts: "Sends from ann@example.org through smtp.example.org.", "Mail: reminders are handed to
// msmtp (/usr/sbin/sendmail → /usr/bin/msmtp).", or what is missing.
struct MailStatus
{
    bool found = false; // reminders can go out: an account sends, or a sendmail program takes them
    bool offerAccount = false; // nothing sends for this sender: the place to add a mail account
    QString text;

    // As things are now (the desktop's accounts, Ruvelant's, the sendmail program).
    static MailStatus current(const Bundle &bundle, const QString &sender);
    // For the route chosen, and the mail system found when it is the sendmail program.
    static MailStatus of(const MailRoute &route, const MailApplication::MailSystem &system, const Bundle &bundle);
};

#endif
