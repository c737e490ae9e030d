#ifndef RUVELANT_SMTPSUBMISSION_H
#define RUVELANT_SMTPSUBMISSION_H

#include "mailaccount.h"
#include "smtpfailure.h"

#include <QByteArray>

#include <chrono>

// Where to submit mail and how to log in there.
struct SmtpServer
{
    QString host;
    int port = 0; // 0: the security's usual port
    MailSecurity security = MailSecurity::StartTls;
    MailAccount::Login login = MailAccount::Password;
    QString userName;
    QString secret; // the password, or the OAuth2 access token; never written anywhere
};

// SMTP submission through libcurl: one message to one recipient, synchronous, within a time
// limit, needing no event loop. The server's certificate is checked against the system's
// certificates and also those that SSL_CERT_FILE and SSL_CERT_DIR name, as OpenSSL's programs
// take them. Logs in with the best mechanism both sides know (PLAIN, LOGIN...), or XOAUTH2 with
// a token.
namespace SmtpSubmission {
// Submits message (a whole RFC 5322 message; its line ends become CRLF) from envelopeFrom to
// recipient (bare ASCII addresses). Returns a failure of kind None when the server took it; its
// server field is "host:port", its account field left for the caller.
SmtpFailure send(const SmtpServer &server, const QByteArray &envelopeFrom, const QByteArray &recipient,
                 const QByteArray &message, std::chrono::milliseconds timeout);
// Connects, sets up TLS and logs in, and leaves without sending anything: whether the account's
// settings and password work.
SmtpFailure checkLogin(const SmtpServer &server, std::chrono::milliseconds timeout);
} // namespace SmtpSubmission

#endif
