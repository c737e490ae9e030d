#ifndef RUVELANT_CALDAVFAILURE_H
#define RUVELANT_CALDAVFAILURE_H

#include <QString>

// Why finding or syncing an account's calendars failed, in the kinds a person can act on. Each
// has a name (kept in files, and the key of its text in the pane's strings tables, with the
// prefix "CalDavFailure").
enum class CalDavFailure {
    None,
    WrongPassword, // the server refused the user name or password
    Unreachable, // no answer from the server's address
    UntrustedCertificate, // the server's certificate is not trusted by this computer
    NotCalDav, // the address answers, but not as a CalDAV server
    NoCalendars, // the account has no calendar of events
    DigestOnly, // the server takes only Digest authentication, which the sync cannot use
    PasswordUnavailable, // the password could not be read (a locked keyring, a missing file)
    CalendarGone, // a calendar of the account is no longer on the server
    SyncProgramMissing, // vdirsyncer is not installed
    ServerMoved, // the server sends on to another origin (scheme, host, port), which was not followed
    Other,
};

QString calDavFailureName(CalDavFailure failure);
// The failure of a name; Other for a name that names none.
CalDavFailure calDavFailureFromName(const QString &name);

#endif
