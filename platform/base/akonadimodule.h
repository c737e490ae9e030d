#ifndef RUVELANT_AKONADIMODULE_H
#define RUVELANT_AKONADIMODULE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The module that holds the calendar store and address book on KDE's Akonadi server. It is built
// apart (Akonadi's client library brings KIO and Qt Widgets, which our programs do not load) and
// loaded only where an Akonadi server runs on the session bus.
namespace AkonadiModule {
// The module's file name.
extern const char fileName[]; // "libruvelant-akonadi.so"

// Whether the session bus is known and an Akonadi server holds its control name there. Asked
// without starting any service and within about a second; false (with why set) otherwise.
bool serverRuns(QString *why = nullptr);

// The folders searched for the module, in order: lib/ruvelant beside the program's bin/ folder,
// the build tree's lib/ruvelant for the agent in its pane bundle, then the installed one.
QStringList folders();

// The function of the module by that name, the module loaded on first use. nullptr when no
// Akonadi server runs, or the module is missing or cannot be loaded (a debug line of the
// category ruvelant.akonadimodule says which).
QFunctionPointer function(const char *name);
} // namespace AkonadiModule

#endif
