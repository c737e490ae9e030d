#ifndef RUVELANT_COMPOSITEADDRESSBOOK_H
#define RUVELANT_COMPOSITEADDRESSBOOK_H

#include "addressbook.h"

#include <memory>
#include <vector>

// Several address books as one, in the order they were added: the user's own card is the first
// book's that has one (the vCard folder's me file wins), and the people with an address are
// those of each book in turn.
class CompositeAddressBook : public AddressBook
{
public:
    // Adds a book, owned from now on.
    void addBook(std::unique_ptr<AddressBook> book);

    std::optional<Person> me() const override;
    QList<Person> peopleWithEmail(const QString &address) const override;

private:
    std::vector<std::unique_ptr<AddressBook>> m_books;
};

#endif
