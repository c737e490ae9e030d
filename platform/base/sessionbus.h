#ifndef RUVELANT_SESSIONBUS_H
#define RUVELANT_SESSIONBUS_H

#include <QString>

// The session bus of this process as D-Bus clients find it: $DBUS_SESSION_BUS_ADDRESS, else the
// socket $XDG_RUNTIME_DIR/bus of the user's session. Empty when there is none, as on a server or in
// cron's plain environment: no bus is ever started for this process.
QString sessionBusAddress();

#endif
