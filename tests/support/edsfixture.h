#ifndef RUVELANT_EDSFIXTURE_H
#define RUVELANT_EDSFIXTURE_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Calendars and events made in Evolution Data Server through its own libraries (libedataserver,
// libecal), as GNOME Calendar or Evolution would make them, on this process's session bus; and
// their events read back the same way. For tests: the calendars it made are removed when it goes.
class EdsFixture
{
public:
    EdsFixture();
    ~EdsFixture();
    Q_DISABLE_COPY(EdsFixture)

    // Reaches EDS's registry; false with a warning when it cannot.
    bool connect();

    // A calendar "On This Computer" (EDS's local backend); true when EDS made it.
    bool addLocalCalendar(const QString &uid, const QString &title);
    // A calendar read from the iCalendar file path that EDS may not write ("open read-only").
    bool addReadOnlyCalendar(const QString &uid, const QString &title, const QString &path);
    // A calendar on a CalDAV server (EDS's own CalDAV backend), without a password.
    bool addCalDavCalendar(const QString &uid, const QString &title, const QString &url);
    // Renames or switches off a calendar; removes one.
    bool rename(const QString &uid, const QString &title);
    bool setEnabled(const QString &uid, bool enabled);
    bool remove(const QString &uid);

    // Puts the events of an iCalendar text into the calendar (its VTIMEZONEs, then each event, in
    // place of one with its UID, then the overrides of single occurrences), as a program that
    // changes them would; true when EDS took them all.
    bool addEvents(const QString &calendarUid, const QByteArray &icalendar);
    // Removes an event with all its occurrences.
    bool removeEvent(const QString &calendarUid, const QString &eventUid);
    // Every component EDS holds for the event: the master and its overrides, as iCalendar text.
    QList<QByteArray> components(const QString &calendarUid, const QString &eventUid);
    // Asks a calendar on a server to fetch what the server holds; true when its events came.
    bool refresh(const QString &calendarUid, const QString &eventUid);

    // Sets the card that EDS marks as the user's own (GNOME Contacts' "me"), as EDS's own code
    // stores it; and adds a card to the built-in address book.
    static bool setSelfContact(const QString &contactUid);
    bool addContact(const QString &vcard, QString *uid = nullptr);
    // The UIDs of the cards of the built-in address book.
    QStringList contacts();

private:
    struct Private;
    Private *d;
};

#endif
