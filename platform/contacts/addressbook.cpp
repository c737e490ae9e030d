#include "addressbook.h"

#include "vdiraddressbook.h"
#include "xdgpaths.h"

#include <QDir>
#include <QFileInfo>

#include <memory>
#include <vector>

namespace {
AddressBook *s_override = nullptr;
VdirAddressBook *s_book = nullptr;
// Books handed out before the folder changed stay valid for callers that still hold them.
std::vector<std::unique_ptr<VdirAddressBook>> s_books;

QString contactsRoot()
{
    return QDir::cleanPath(xdgDataHome() + QStringLiteral("/contacts"));
}
} // namespace

AddressBook::~AddressBook() = default;

AddressBook *AddressBook::sharedAddressBook()
{
    if (s_override) {
        return s_override;
    }
    const QString root = contactsRoot();
    if (!QFileInfo(root).isDir()) {
        s_book = nullptr;
        return nullptr;
    }
    if (!s_book || s_book->rootPath() != root) {
        s_books.push_back(std::make_unique<VdirAddressBook>(root));
        s_book = s_books.back().get();
    }
    return s_book;
}

void AddressBook::setSharedAddressBook(AddressBook *book)
{
    s_override = book;
}
