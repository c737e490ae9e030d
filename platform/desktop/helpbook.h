#ifndef RUVELANT_HELPBOOK_H
#define RUVELANT_HELPBOOK_H

#include <QString>
#include <QStringList>

// The help system: bundles register their help book (HTML pages in the bundle's resources,
// <lang>.lproj/<CFBundleHelpBookFolder>/, start page index.html); a book is opened by its name
// (the bundle's CFBundleHelpBookName) in the user's browser. The registry is process-wide.
namespace HelpBook {
// Registers the help book of the bundle at bundlePath. Returns false when the bundle names no
// book or holds no pages for it.
bool registerHelpBook(const QString &bundlePath);
// Opens page (empty: the start page) of the registered book, at anchor (may be empty), in the
// language that the user prefers among the book's. Returns false when the book or page is unknown
// or cannot be opened.
bool gotoPage(const QString &bookName, const QString &page = QString(), const QString &anchor = QString());
// The names of the registered books, once per registration, in order (for diagnostics).
QStringList registrations();
// The file that gotoPage would open; empty when there is none.
QString pagePath(const QString &bookName, const QString &page = QString());
} // namespace HelpBook

#endif
