#ifndef RUVELANT_SENTREMINDERS_H
#define RUVELANT_SENTREMINDERS_H

#include "sendjournal.h"
#include "smtpfailure.h"

#include <QDateTime>
#include <QList>
#include <QString>

class Bundle;

// One reminder that the agent handed to the mail system, or failed to, as its log tells.
struct SentReminder
{
    enum Outcome { Sent, Failed, NoAddress, Sending };
    QDateTime time;
    QString event; // the event's title; empty when the log does not name it
    QString address; // the attendee's address (or name, when it had no address)
    Outcome outcome = Sent;
    QString detail; // why it failed
    qint64 pid = 0; // the run's process
    QString logLine; // the failure's record as the log holds it
    SendJournal::Occurrence occurrence; // the occurrence reminded; an empty calendar when the log does not name it
};

// Why a hand-over failed, read from the reason that the log gives.
struct HandOverFailure
{
    enum Cause {
        NoMailSystem, // no sendmail program
        TryAgainLater, // sendmail's exit status 75
        NoAnswer, // stopped after the time limit
        NotStarted, // sendmail could not be started
        Crashed, // sendmail ended by a signal
        Refused, // the recipient's address refused for good (see MailApplication::refusesRecipient)
        BadAddress, // refused before the hand-over: not one plain address
        HostUnknown, // exit status 68: the mail server's name was not found (often: offline)
        ServerUnavailable, // 69, 74, 76: the server not reached, or not taking mail now
        LoginRefused, // 77: the server refused the mail system's login
        Misconfigured, // 64, 78: the mail system's configuration or command line
        SenderRefused, // 65 that names something else than the recipient: the sender or message
        MailSystemFailed, // any other exit status (1, 66, 70 to 73...)
        BadSender, // the sender in the settings cannot be used
        Account, // the mail account's server did not take it (see smtp)
        Other,
    };
    Cause cause = Other;
    int status = 0; // sendmail's exit status, for the causes read from one; the server's reply code for Account
    SmtpFailure smtp; // Account: what the server (or the way to it) did
    QString program; // the sendmail program, where the reason names it
    QString diagnostics; // what sendmail said, or the rest of the reason

    // The failure of a reminder to recipient (the address that the log line quotes), from the
    // reason the log gives.
    static HandOverFailure fromDetail(const QString &detail, const QString &recipient);
    // Whether a later run tries it again: the agent leaves the event unmarked for these. Only a
    // recipient's address refused for good is not.
    bool isTemporary() const;
    // Whether other is the same cause, for counting reminders by cause.
    bool isSameCause(const HandOverFailure &other) const;
    // The reason in plain words, from bundle's texts ("No mail system (sendmail) was found").
    QString plainWords(const Bundle &bundle) const;
};

// The reminders of the agent's log: its current and its previous file, newest first.
namespace SentReminders {
// Reads the log files in logsFolder ("<agent>.log", "<agent>_previous.log") as they are now; a
// rotation while they are read is noticed and the reading done again.
QList<SentReminder> read(const QString &logsFolder, const QString &agentName, const QDate &today);
// The text of both log files, the previous one first, read as read() does.
QString readLogText(const QString &logsFolder, const QString &agentName);
// The reminders told by the records of a log, oldest first: every hand-over line of a run, with
// the failure that the same run logged right after it, if any, and the occurrence that the
// run's occurrenceRecord() before it names.
QList<SentReminder> fromRecords(const QString &logText, const QDate &today);
// The log line that names the occurrence whose reminders follow it (the agent writes it before
// the first of them): "reminding 'Board': calendar=work event=b%401 start=2010-03-05T08:00:00.000Z".
QString occurrenceRecord(const QString &title, const SendJournal::Occurrence &occurrence);
} // namespace SentReminders

#endif
