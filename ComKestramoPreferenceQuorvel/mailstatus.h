#ifndef RUVELANT_MAILSTATUS_H
#define RUVELANT_MAILSTATUS_H

#include <QString>

class Bundle;

// The mail system that reminders are handed to, as the agent finds it, in one line of the pane's
// texts: "Mail: reminders are handed to msmtp (/usr/sbin/sendmail → /usr/bin/msmtp)." or that
// there is none.
struct MailStatus
{
    bool found = false; // a sendmail program was found
    QString text;

    static MailStatus current(const Bundle &bundle);
};

#endif
