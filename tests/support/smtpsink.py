#!/usr/bin/python3
"""A small SMTP server on 127.0.0.1 that delivers every message it receives into a Maildir.

Usage: smtpsink.py MAILDIR PORT [PORTFILE]

PORT 0 picks a free port. Once the server listens, the port is printed on a line of its own on
standard output (and written to PORTFILE when given). Each message is stored as received, with
"X-MailFrom:" and "X-RcptTo:" lines in front that record the envelope, and line ends as LF.
SIGTERM or SIGINT stops the server cleanly.

Refusals, as mail servers give them: a sender or recipient whose local part begins with
"refused" is refused for good (553, 550), a recipient whose local part begins with "busy" for
the time being (450).
"""

import asyncio
import os
import signal
import socket
import sys
import time

from aiosmtpd.smtp import SMTP


class MaildirDelivery:
    """Writes each message into MAILDIR/tmp, then moves it to MAILDIR/new (the Maildir rule)."""

    def __init__(self, maildir):
        self.maildir = maildir
        for sub in ("tmp", "new", "cur"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        self.count = 0

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if address.split("@")[0].startswith("refused"):
            return "553 5.7.1 Sender address rejected: not owned by user"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        local = address.split("@")[0]
        if local.startswith("refused"):
            return "550 5.1.1 Recipient address rejected: user unknown"
        if local.startswith("busy"):
            return "450 4.2.1 Mailbox busy, try again later"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = "%d.%d_%d.smtpsink" % (time.time_ns(), os.getpid(), self.count)
        envelope_lines = "X-MailFrom: %s\r\nX-RcptTo: %s\r\n" % (
            envelope.mail_from, ", ".join(envelope.rcpt_tos))
        data = envelope_lines.encode("utf-8") + envelope.original_content
        data = data.replace(b"\r\n", b"\n")
        tmp = os.path.join(self.maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(tmp, os.path.join(self.maildir, "new", name))
        return "250 OK delivered"


async def serve(maildir, port, portfile):
    loop = asyncio.get_running_loop()
    handler = MaildirDelivery(maildir)
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", enable_SMTPUTF8=True),
        host="127.0.0.1", port=port, family=socket.AF_INET)
    actual = server.sockets[0].getsockname()[1]
    if portfile:
        with open(portfile + ".tmp", "w") as f:
            f.write("%d\n" % actual)
        os.rename(portfile + ".tmp", portfile)
    print(actual, flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.close()
    await server.wait_closed()


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    asyncio.run(serve(sys.argv[1], int(sys.argv[2]), sys.argv[3] if len(sys.argv) == 4 else None))
    return 0


if __name__ == "__main__":
    sys.exit(main())
