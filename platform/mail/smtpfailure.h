#ifndef RUVELANT_SMTPFAILURE_H
#define RUVELANT_SMTPFAILURE_H

#include <QString>

// Why a message did not reach a mail account's SMTP server, or was not taken by it; one line of
// text in the agent's log (reason()) that reads back to the same failure (fromReason()).
struct SmtpFailure
{
    enum Kind {
        None, // the server took the message
        HostUnknown, // the server's name did not resolve (often: offline)
        Unreachable, // nothing answered at the server's address, or the connection was lost
        NoAnswer, // no answer within the time limit
        UntrustedCertificate, // the server's certificate is not trusted by this computer
        SecureConnectionFailed, // TLS could not be set up (STARTTLS not offered, a plain server...)
        LoginRefused, // the server refused the user name and password (or token)
        PasswordUnavailable, // the keyring (or Online Accounts) did not give the password or token
        TryAgainLater, // a 4xx answer
        RecipientRefused, // a 5xx answer to RCPT TO that refuses the recipient's address: final
        NotAllowed, // a 5xx answer to MAIL FROM or RCPT TO that wants a login, or will not relay
        SenderRefused, // a 5xx answer to MAIL FROM
        MessageRefused, // a 5xx answer to the message itself
        Failed, // anything else
    };

    Kind kind = None;
    QString server; // "host:port"
    QString account; // the sending address
    QString step; // the SMTP command that the server answered ("RCPT TO", "AUTH"...); may be empty
    int reply = 0; // the server's reply code, when it gave one
    QString detail; // the server's words, or the library's; one line

    explicit operator bool() const { return kind != None; }
    // Only a refusal of the recipient's address is final: a later try would change nothing.
    bool isFinal() const { return kind == RecipientRefused; }
    // Whether it would be the same for every message of the account now (the server, its
    // certificate, the login): a run then does not try the server again for its other reminders.
    bool concernsAccount() const;

    // The server's host name, without its port.
    QString host() const;
    // text (the words of the kind, in a language) with %1 the server's host name and %2 the
    // account, each where text has it.
    QString inWords(const QString &text) const;

    // "SMTP server smtp.example.org:587 for ann@example.org: recipient refused at RCPT TO: 550 5.1.1 ..."
    QString reason() const;
    // The failure that reason() wrote; kind None when text is not such a reason.
    static SmtpFailure fromReason(const QString &text);
    // What a reply of the server with code and text to the command step means.
    static Kind kindOfReply(const QString &step, int code, const QString &text);
    // The kind's name, as the texts' keys use it ("LoginRefused").
    static QString kindName(Kind kind);
};

#endif
