#ifndef RUVELANT_EDSADDRESSBOOK_H
#define RUVELANT_EDSADDRESSBOOK_H

#include "addressbook.h"

#include <memory>

// The address books of Evolution Data Server (EDS), read only: the cards of its enabled address
// books, and the card that EDS marks as the user's own (the "me" of GNOME Contacts and
// Evolution), read from where EDS keeps that mark. Nothing is ever made or changed: where no
// card is marked, there is no "me" (EDS's own lookup would make one). Every call to EDS is bounded
// (see EdsSession); without EDS the book is empty.
class EdsAddressBook : public AddressBook
{
public:
    EdsAddressBook();
    ~EdsAddressBook() override;

    // The card of the built-in address book ("Personal") that EDS marks as the user's.
    std::optional<Person> me() const override;
    // Exact (case-sensitive) match of one of a card's addresses, as the vCard folders are read;
    // by address book, then as EDS gives them.
    QList<Person> peopleWithEmail(const QString &address) const override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
