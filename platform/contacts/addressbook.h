#ifndef RUVELANT_ADDRESSBOOK_H
#define RUVELANT_ADDRESSBOOK_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One card of the address book, as far as this system reads it.
struct Person
{
    QString uid;
    QString firstName; // null when the card has none
    QString lastName; // null when the card has none
    QStringList emails; // in the card's order
};

// The user's address book (read only).
class AddressBook
{
public:
    virtual ~AddressBook();

    // The user's address book: vCard collections under $XDG_DATA_HOME/contacts (when that folder
    // exists), then the address books of the desktop's Evolution Data Server, then those of KDE's
    // Akonadi server where one runs (see CompositeAddressBook). Owned by the process; made anew when the folder or the
    // session bus changes.
    static AddressBook *sharedAddressBook();
    // Replaces the shared address book (tests); the caller keeps ownership, nullptr restores the real one.
    static void setSharedAddressBook(AddressBook *book);

    // The card that the user marked as their own, if any.
    virtual std::optional<Person> me() const = 0;
    // The people one of whose e-mail addresses equals the address exactly, in a stable order.
    virtual QList<Person> peopleWithEmail(const QString &address) const = 0;
};

#endif
