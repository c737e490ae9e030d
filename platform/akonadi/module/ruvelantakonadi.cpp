// The two functions of the module ruvelant-akonadi, found by name by the program that loads it.
// Each returns a new object that the caller owns, or nullptr when no Akonadi server runs or
// answers in time; neither ever starts a server.
#include "akonadiaddressbook.h"
#include "akonadicalendarstore.h"

extern "C" Q_DECL_EXPORT CalendarStore *ruvelant_akonadi_calendar_store()
{
    return makeAkonadiCalendarStore().release();
}

extern "C" Q_DECL_EXPORT AddressBook *ruvelant_akonadi_address_book()
{
    return makeAkonadiAddressBook().release();
}
