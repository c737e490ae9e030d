#ifndef RUVELANT_ACCOUNTMAIL_H
#define RUVELANT_ACCOUNTMAIL_H

#include "mailaccount.h"
#include "mailapplication.h"
#include "smtpfailure.h"
#include "smtpsubmission.h"

#include <chrono>

// Sending through a mail account: its password (from the keyring, Evolution's keyring entry or
// the private file) or its OAuth2 token (from Online Accounts), fetched at each use and never
// kept, and the submission to its server.
namespace AccountMail {
// How long the keyring may take to give a password (it may ask to be unlocked).
constexpr std::chrono::milliseconds KeyringBound {30000};

// The account's server with its password or token; false with *failure set (PasswordUnavailable)
// when the secret cannot be had.
bool server(const MailAccount &account, SmtpServer *server, SmtpFailure *failure);
// The account's server with password typed by the user (the account is not stored yet).
SmtpServer serverWithPassword(const MailAccount &account, const QString &password);
// Submits message to recipient (ASCII) through server, from the account's address; the failure
// names the account.
SmtpFailure submit(const MailAccount &account, const SmtpServer &server, const QByteArray &message,
                   const QByteArray &recipient, std::chrono::milliseconds timeout);
// Builds a message with subject and content from the account to recipient, as the agent builds
// its reminders, and submits it through server: the way a reminder goes, for a test.
SmtpFailure sendMessage(const MailAccount &account, const SmtpServer &server, const QString &recipient,
                        const QString &subject, const QString &content, std::chrono::milliseconds timeout);
// The From line of the account's messages: "Name <address>", or the address alone.
QString fromText(const MailAccount &account);
// A transport for OutgoingMessage that submits through the account (looking its secret up at
// each message); a failure is taken for good only when it refuses the recipient.
OutgoingMessage::Transport transport(const MailAccount &account, std::chrono::milliseconds timeout);
// The outcome of submit as an OutgoingMessage hand-over.
OutgoingMessage::HandOverResult handOverResult(const SmtpFailure &failure);
} // namespace AccountMail

#endif
