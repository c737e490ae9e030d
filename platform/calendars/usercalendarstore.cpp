// Where the user's store is made: the vdir folders under $XDG_DATA_HOME/calendars, the calendars of
// the desktop's Evolution Data Server, and those of KDE's Akonadi server where one runs, as one store.
#include "calendarstore.h"

#include "akonadimodule.h"
#include "compositecalendarstore.h"
#include "edscalendarstore.h"
#include "sessionbus.h"
#include "vdircalendarstore.h"
#include "xdgpaths.h"

#include <QDir>

namespace {
CalendarStore *g_replacement = nullptr;

QString calendarsRoot()
{
    return QDir::cleanPath(xdgDataHome() + QStringLiteral("/calendars"));
}

// The user's stores, vdir first: a vdir folder's name keeps naming it.
std::unique_ptr<CompositeCalendarStore> makeStores(const QString &root, VdirCalendarStore **vdir = nullptr)
{
    auto store = std::make_unique<CompositeCalendarStore>();
    auto folders = std::make_unique<VdirCalendarStore>(root);
    if (vdir)
        *vdir = folders.get();
    store->addStore(std::move(folders), QStringLiteral("vdir"));
    store->addStore(std::make_unique<EdsCalendarStore>(), EdsCalendarStore::kindName);
    // The Akonadi store comes from its module, loaded only while a server runs.
    using MakeAkonadiStore = CalendarStore *(*)();
    if (const auto make
        = reinterpret_cast<MakeAkonadiStore>(AkonadiModule::function("ruvelant_akonadi_calendar_store"))) {
        if (CalendarStore *akonadi = make())
            store->addStore(std::unique_ptr<CalendarStore>(akonadi), QStringLiteral("akonadi"));
    }
    return store;
}

struct Made
{
    CompositeCalendarStore *store = nullptr;
    VdirCalendarStore *vdir = nullptr;
    QString root;
    QString bus;
};
} // namespace

CalendarStore *CalendarStore::defaultCalendarStore()
{
    if (g_replacement)
        return g_replacement;
    static Made made;
    const QString root = calendarsRoot();
    const QString bus = sessionBusAddress();
    if (!made.store || made.root != root || made.bus != bus) {
        // A store made for an earlier folder or bus stays alive (callers may still hold it) but
        // goes quiet; it is never destroyed either.
        if (made.store) {
            made.vdir->stopWatching();
            made.store->stopWatching();
        }
        made.store = makeStores(root, &made.vdir).release();
        made.root = root;
        made.bus = bus;
    }
    return made.store;
}

std::unique_ptr<CalendarStore> CalendarStore::makeUserCalendarStore()
{
    return makeStores(calendarsRoot());
}

void CalendarStore::setDefaultCalendarStore(CalendarStore *store)
{
    g_replacement = store;
}
