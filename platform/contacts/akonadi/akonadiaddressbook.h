#ifndef RUVELANT_AKONADIADDRESSBOOK_H
#define RUVELANT_AKONADIADDRESSBOOK_H

#include "addressbook.h"

#include <QList>

#include <memory>

class AkonadiClient;

// The address books that KDE's Akonadi server keeps (KAddressBook's, CardDAV, Google...), read
// only: read on first use and again after Akonadi reports a change of a contact. The user's own
// addresses are those of KDE's e-mail identities (System Settings, KMail), never written.
class AkonadiAddressBook : public AddressBook
{
public:
    // The address book of the running server; nullptr when none runs or answers within timeoutMs
    // (why then says which). Never starts a server.
    static std::unique_ptr<AkonadiAddressBook> ofRunningServer(int timeoutMs, QString *why = nullptr);
    ~AkonadiAddressBook() override;

    // The user as KDE's e-mail identities know them: the addresses of every identity, the default
    // identity's first, with the names and the other addresses of the card that holds its address
    // (if a card does); nullopt when no identity has an address.
    std::optional<Person> me() const override;
    // Exact (case-sensitive) match; in the server's order of address books, then of cards.
    QList<Person> peopleWithEmail(const QString &address) const override;

private:
    explicit AkonadiAddressBook(std::unique_ptr<AkonadiClient> client);
    void load() const; // on the client's thread

    std::unique_ptr<AkonadiClient> m_client;
    mutable bool m_stale = true; // set on the client's thread when a contact changes
    mutable QList<Person> m_people;
};

// The Akonadi address book when a server runs and answers within AkonadiClient's bound; nullptr
// (with the reason logged) otherwise. Never starts a server.
std::unique_ptr<AddressBook> makeAkonadiAddressBook();

#endif
