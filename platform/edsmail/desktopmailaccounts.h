#ifndef RUVELANT_DESKTOPMAILACCOUNTS_H
#define RUVELANT_DESKTOPMAILACCOUNTS_H

#include <QList>
#include <QString>

#include <chrono>

// One mail identity of the desktop (Evolution, or Online Accounts through Evolution Data Server)
// whose mail goes out through an SMTP server, with the settings of that server as EDS holds them.
struct DesktopMailIdentity
{
    QString transportUid; // the uid of its mail transport source, under which Evolution keeps the password
    QString displayName; // the account's name in Evolution
    QString address;
    QString name; // the sender's name
    QString host;
    int port = 0; // 0: not set
    QString security; // "none", "ssl-on-alternate-port", "starttls-on-standard-port"
    QString userName;
    QString authMethod; // "PLAIN", "LOGIN", "XOAUTH2"...; empty or "none": no login
    QString onlineAccountId; // the Online Accounts account it belongs to; empty when none
    bool isDefault = false; // the desktop's default mail identity
};

// The desktop's mail accounts as Evolution Data Server's registry holds them. Every call waits
// for the registry (and the keyring) at most the bound given: no EDS, or one that does not
// answer in time, means no desktop accounts, silently.
namespace DesktopMailAccounts {
constexpr std::chrono::milliseconds Bound {3000};

// The enabled mail identities whose transport is SMTP; the default one (as EDS chooses it) has
// isDefault. Empty when EDS is not there. *problem (when given) says why, for people who ask.
QList<DesktopMailIdentity> read(std::chrono::milliseconds bound = Bound, QString *problem = nullptr);
// The password that Evolution keeps for the transport transportUid (e_source_lookup_password_sync).
// False with *error set when there is none or it cannot be had in time.
bool lookupPassword(const QString &transportUid, QString *password, QString *error,
                    std::chrono::milliseconds bound = Bound);
} // namespace DesktopMailAccounts

// GNOME Online Accounts: OAuth2 access tokens of its accounts, asked for at each use and never kept.
namespace OnlineAccounts {
// Its own refresh may reach the provider over the network: a longer bound than EDS's.
constexpr std::chrono::milliseconds Bound {10000};

// The access token of the account accountId (GoaOAuth2Based, after EnsureCredentials). False
// with *error set when Online Accounts does not give one in time.
bool accessToken(const QString &accountId, QString *token, QString *error, std::chrono::milliseconds bound = Bound);
} // namespace OnlineAccounts

#endif
