// Where the user's address book is made: the vCard folders under $XDG_DATA_HOME/contacts, then the
// address books of the desktop's Evolution Data Server, then those of KDE's Akonadi server where one
// runs.
#include "addressbook.h"

#include "akonadimodule.h"
#include "compositeaddressbook.h"
#include "edsaddressbook.h"
#include "sessionbus.h"
#include "vdiraddressbook.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFileInfo>

#include <memory>
#include <vector>

namespace {
AddressBook *s_override = nullptr;

QString contactsRoot()
{
    return QDir::cleanPath(xdgDataHome() + QStringLiteral("/contacts"));
}
} // namespace

AddressBook *AddressBook::sharedAddressBook()
{
    if (s_override) {
        return s_override;
    }
    // Books handed out before the folder or the bus changed stay valid for callers that hold them.
    static std::vector<std::unique_ptr<AddressBook>> books;
    static QString root, bus;
    static bool folder = false;
    const QString nowRoot = contactsRoot();
    const bool nowFolder = QFileInfo(nowRoot).isDir();
    const QString nowBus = sessionBusAddress();
    if (books.empty() || root != nowRoot || folder != nowFolder || bus != nowBus) {
        auto book = std::make_unique<CompositeAddressBook>();
        if (nowFolder) {
            book->addBook(std::make_unique<VdirAddressBook>(nowRoot));
        }
        book->addBook(std::make_unique<EdsAddressBook>());
        // The Akonadi book comes from its module, loaded only while a server runs.
        using MakeAkonadiBook = AddressBook *(*)();
        if (const auto make
            = reinterpret_cast<MakeAkonadiBook>(AkonadiModule::function("ruvelant_akonadi_address_book"))) {
            if (AddressBook *akonadi = make())
                book->addBook(std::unique_ptr<AddressBook>(akonadi));
        }
        books.push_back(std::move(book));
        root = nowRoot;
        folder = nowFolder;
        bus = nowBus;
    }
    return books.back().get();
}

void AddressBook::setSharedAddressBook(AddressBook *book)
{
    s_override = book;
}
