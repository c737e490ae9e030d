#!/usr/bin/env python3
# A SystemPreferences host that answers every request "ok" and notes each one in RECORD with the
# pane in place at that moment ("old": the older pane of tests/data/installer/old, "new": another
# one, "none"); it ends after "quit".  Usage: host.py SOCKET PANE RECORD
import os, socket, sys

path, pane, record = sys.argv[1:4]
server = socket.socket(socket.AF_UNIX)
server.bind(path)
server.listen()
while True:
    connection, _ = server.accept()
    request = connection.makefile().readline().strip()
    if request:  # an empty one is a check that the host runs
        state = "old" if os.path.exists(pane + "/Contents/Resources/old.txt") else "new" if os.path.exists(pane) else "none"
        with open(record, "a") as out:
            out.write(f"{request} {state}\n")
        connection.sendall(b"ok\n")
    connection.close()
    if request == "quit":
        os.unlink(path)
        break
