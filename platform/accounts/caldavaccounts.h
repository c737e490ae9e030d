#ifndef RUVELANT_CALDAVACCOUNTS_H
#define RUVELANT_CALDAVACCOUNTS_H

#include <QList>
#include <QString>

// One calendar of a CalDAV account, kept in a folder of the calendar store.
struct CalDavCalendar
{
    QString collection; // its name on the server: the last part of its address, as vdirsyncer names it
    QString displayName; // its title on the server; may be empty
    QString folder; // the folder below the calendars folder that holds it here

    bool operator==(const CalDavCalendar &other) const
    {
        return collection == other.collection && displayName == other.displayName && folder == other.folder;
    }
};

// A CalDAV account whose calendars vdirsyncer keeps in folders of the calendar store.
struct CalDavAccount
{
    QString id; // letters, digits and '_': names its vdirsyncer pair, its password and its folders
    QString address; // the server address as the user gave it
    QString url; // the account's calendar home on the server, where the sync finds its calendars
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
// the file cannot be read or is not a list of accounts: nothing may be written over it then.
bool load(QList<CalDavAccount> *accounts, QString *error);
// Replaces the file with accounts (mode 0600); removes it when there is none.
bool save(const QList<CalDavAccount> &accounts, QString *error);
// Gives an account without id its id, and each of its calendars without folder a folder: the id
// unique among others, each folder "<id>-<calendar>" unique among others' folders and the
// folders already in calendarsFolder, so that two accounts never share one.
void assignNames(CalDavAccount *account, const QList<CalDavAccount> &others, const QString &calendarsFolder);
// Makes the account's calendars those found on the server: a new one gets a folder of its own, a
// known one keeps its folder (and takes the server's display name), one that is gone leaves the
// account (its folder stays, with its events). Returns whether calendars came or went.
bool updateCalendars(CalDavAccount *account, const QList<CalDavCalendar> &found, const QList<CalDavAccount> &others,
                     const QString &calendarsFolder);
} // namespace CalDavAccounts

#endif
