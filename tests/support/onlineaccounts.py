#!/usr/bin/python3
"""A stand-in for GNOME Online Accounts on the session bus, for tests that must never reach the
real one: it owns org.gnome.OnlineAccounts and exports, below /org/gnome/OnlineAccounts, one
account that logs in with OAuth2 and hands out a fixed access token.

Usage: onlineaccounts.py ACCOUNT_ID IDENTITY TOKEN CALLS_FILE

Every call of EnsureCredentials and GetAccessToken is written to CALLS_FILE, a line each. Once the
name is owned, "ready" is printed on standard output. SIGTERM stops it.
"""

import signal
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BUS_NAME = "org.gnome.OnlineAccounts"
MANAGER_PATH = "/org/gnome/OnlineAccounts"
ACCOUNT = "org.gnome.OnlineAccounts.Account"
OAUTH2 = "org.gnome.OnlineAccounts.OAuth2Based"
PROPERTIES = "org.freedesktop.DBus.Properties"


class OnlineAccount(dbus.service.Object):
    def __init__(self, bus, path, account_id, identity, token, calls):
        super().__init__(bus, path)
        self.token = token
        self.calls = calls
        self.interfaces = {
            ACCOUNT: dbus.Dictionary({
                "Id": dbus.String(account_id),
                "ProviderType": dbus.String("google"),
                "ProviderName": dbus.String("Google"),
                "Identity": dbus.String(identity),
                "PresentationIdentity": dbus.String(identity),
                "AttentionNeeded": dbus.Boolean(False),
                "MailDisabled": dbus.Boolean(False),
            }, signature="sv"),
            OAUTH2: dbus.Dictionary({
                "ClientId": dbus.String("test-client"),
                "ClientSecret": dbus.String("test-secret"),
            }, signature="sv"),
        }

    def note(self, call):
        with open(self.calls, "a") as f:
            f.write(call + "\n")

    @dbus.service.method(ACCOUNT, in_signature="", out_signature="i")
    def EnsureCredentials(self):
        self.note("EnsureCredentials")
        return 3600

    @dbus.service.method(OAUTH2, in_signature="", out_signature="si")
    def GetAccessToken(self):
        self.note("GetAccessToken")
        return (self.token, 3600)

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.interfaces[interface][name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.interfaces.get(interface, dbus.Dictionary({}, signature="sv"))


class Manager(dbus.service.Object):
    def __init__(self, bus, accounts):
        super().__init__(bus, MANAGER_PATH)
        self.accounts = accounts

    @dbus.service.method("org.freedesktop.DBus.ObjectManager", in_signature="", out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return dbus.Dictionary({
            dbus.ObjectPath(account.__dbus_object_path__): dbus.Dictionary(account.interfaces, signature="sa{sv}")
            for account in self.accounts}, signature="oa{sa{sv}}")


def main():
    if len(sys.argv) != 5:
        sys.stderr.write(__doc__)
        return 2
    account_id, identity, token, calls = sys.argv[1:]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    account = OnlineAccount(bus, MANAGER_PATH + "/Accounts/" + account_id, account_id, identity, token, calls)
    manager = Manager(bus, [account])
    name = dbus.service.BusName(BUS_NAME, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready", flush=True)
    loop.run()
    del name, manager
    return 0


if __name__ == "__main__":
    sys.exit(main())
