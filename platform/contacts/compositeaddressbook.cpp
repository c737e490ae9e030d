#include "compositeaddressbook.h"

void CompositeAddressBook::addBook(std::unique_ptr<AddressBook> book)
{
    m_books.push_back(std::move(book));
}

std::optional<Person> CompositeAddressBook::me() const
{
    for (const auto &book : m_books) {
        if (std::optional<Person> person = book->me())
            return person;
    }
    return std::nullopt;
}

QList<Person> CompositeAddressBook::peopleWithEmail(const QString &address) const
{
    QList<Person> people;
    for (const auto &book : m_books)
        people += book->peopleWithEmail(address);
    return people;
}
