#ifndef RUVELANT_CALDAVACCOUNTS_H
#define RUVELANT_CALDAVACCOUNTS_H

#include <QList>
#include <QLoggingCategory>
#include <QString>

class QUrl;

Q_DECLARE_LOGGING_CATEGORY(lcAccounts)

// One calendar of a CalDAV account, kept in a folder of the calendar store.
struct CalDavCalendar
{
    QString collection; // its name on the server: the last part of its address, decoded
    QString displayName; // its title on the server; may be empty
    QString folder; // the folder below the calendars folder that holds it here
    QString url; // its address on the server; empty when not known (see CalDavAccounts::calendarUrl)

    bool operator==(const CalDavCalendar &other) const
    {
        return collection == other.collection && displayName == other.displayName && folder == other.folder
            && url == other.url;
    }
};

// A CalDAV account whose calendars vdirsyncer keeps in folders of the calendar store.
struct CalDavAccount
{
    QString id; // letters, digits and '_': names its vdirsyncer pair, its password and its folders
    QString address; // the server address as the user gave it
    // The account's calendar home on the server, where the sync finds its calendars. Its origin
    // (scheme, host, port) is the only one that ever gets the account's password.
    QString url;
    QString userName;
    bool passwordInFile = false; // in a file only the user may read, not in the Secret Service
    QList<CalDavCalendar> calendars;

    // "user@host", for people.
    QString title() const;
};

// The accounts, kept in $XDG_CONFIG_HOME/ruvelant/accounts.plist (no password in it).
namespace CalDavAccounts {
QString path();
// The folder of the calendar store, where the accounts' calendar folders live.
QString calendarsFolder();
// Reads the accounts; no file means no account. Returns false with a message in *error when
// the file cannot be read or is not a list of accounts: nothing may be written over it then. A
// calendar that cannot be one of its account's (no valid name or folder, an address on another
// origin) is left out, with a warning.
bool load(QList<CalDavAccount> *accounts, QString *error);
// Replaces the file with accounts (mode 0600), without the calendars that load() would leave
// out; removes it when there is none.
bool save(const QList<CalDavAccount> &accounts, QString *error);

// The origin of url ("https://host:443"), to which credentials may go; empty for no http(s) URL.
QString origin(const QUrl &url);
// Whether name can be a calendar's name: not empty, and no NUL, control character or
// non-character, which no file of ours could keep.
bool isValidCollection(const QString &name);
// The calendar's address on the server: its url, else (accounts kept before addresses were) the
// collection below the account's calendar home.
QString calendarUrl(const CalDavAccount &account, const CalDavCalendar &calendar);
// Gives an account without id its id, and each of its calendars without folder a folder: the id
// unique among others, each folder "<id>-<calendar>" unique among others' folders and the
// folders already in calendarsFolder, so that two accounts never share one.
void assignNames(CalDavAccount *account, const QList<CalDavAccount> &others, const QString &calendarsFolder);
// Makes the account's calendars those found on the server: a new one gets a folder of its own, a
// known one keeps its folder (and takes the server's display name and address), one that is
// gone leaves the account (its folder stays, with its events); one without a valid name is left
// out. Returns whether anything changed.
bool updateCalendars(CalDavAccount *account, const QList<CalDavCalendar> &found, const QList<CalDavAccount> &others,
                     const QString &calendarsFolder);
} // namespace CalDavAccounts

#endif
