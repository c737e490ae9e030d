#ifndef RUVELANT_MEMORYADDRESSBOOK_H
#define RUVELANT_MEMORYADDRESSBOOK_H

#include "addressbook.h"

#include <QHash>

// An address book held in memory, for tests: the "me" card and the cards of each address.
class MemoryAddressBook : public AddressBook
{
public:
    std::optional<Person> me() const override { return meCard; }
    QList<Person> peopleWithEmail(const QString &address) const override { return cards.value(address); }

    std::optional<Person> meCard;
    QHash<QString, QList<Person>> cards; // in card order
};

#endif
