#ifndef RUVELANT_MAILACCOUNT_H
#define RUVELANT_MAILACCOUNT_H

#include <QString>

// How the connection to a mail server is protected.
enum class MailSecurity {
    Tls, // TLS from the first byte (smtps, usually port 465)
    StartTls, // plain connection switched to TLS before anything else (usually port 587)
    None, // no protection: only for a server on this computer
};

// The security's name in files and on the command line ("tls", "starttls", "none"), and back;
// false when name is none of them.
QString mailSecurityName(MailSecurity security);
bool mailSecurityFromName(const QString &name, MailSecurity *security);
// The usual submission port of a security: 465, 587, 25.
int defaultMailPort(MailSecurity security);

// A mail account that can send reminders: a sending address and the SMTP submission server that
// takes its mail, with how to log in. Either one of the desktop's (Evolution or Online Accounts,
// as EDS holds them) or one added in Ruvelant (its settings in a file, its password in the keyring).
struct MailAccount
{
    enum Origin { Desktop, Ruvelant };
    // How the account logs in to its server.
    enum Login { Password, OAuth2, NoLogin };

    Origin origin = Ruvelant;
    // Ruvelant's: the id that names its password; the desktop's: the uid of its mail transport.
    QString id;
    QString address; // the sending address
    QString name; // the sender's name for the From line; may be empty
    QString host;
    int port = 0;
    MailSecurity security = MailSecurity::StartTls;
    QString userName;
    Login login = Password;
    bool passwordInFile = false; // Ruvelant's: in a file only the user may read, not in the keyring
    QString onlineAccountId; // the desktop's OAuth2 accounts: the Online Accounts account that gives the token
    bool isDefault = false; // the desktop's: its default mail account

    // "smtp.example.org", or "smtp.example.org:2525" when the port is not the security's usual one.
    QString serverText() const;
    // Why the account cannot send as it is (no address, no server, a port out of range, no
    // protection for a server that is not on this computer...); empty when it can.
    QString problem() const;
    // Whether the address is this account's (compared without case).
    bool sendsFrom(const QString &address) const;
};

// Whether host names this computer (127.0.0.1 and the rest of 127/8, ::1, localhost).
bool isLoopbackHost(const QString &host);

// Reads "HOST[:PORT]" (an IPv6 address in brackets) into host and port (0 when not given);
// false when it is not one host name or address with an optional port.
bool parseMailServer(const QString &text, QString *host, int *port);

#endif
