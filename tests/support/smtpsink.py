#!/usr/bin/python3
"""A small SMTP server on 127.0.0.1 that delivers every message it receives into a Maildir.

Usage: smtpsink.py [--tls CERT KEY | --starttls CERT KEY] [--login USER:PASSWORD]
                   [--xoauth2 USER:TOKEN] MAILDIR PORT [PORTFILE]

PORT 0 picks a free port. Once the server listens, the port is printed on a line of its own on
standard output (and written to PORTFILE when given). Each message is stored as received, with
"X-MailFrom:" and "X-RcptTo:" lines in front that record the envelope (and "X-AuthLogin:" the
user that logged in, if any), and line ends as LF. SIGTERM or SIGINT stops the server cleanly.

--tls: TLS from the first byte (smtps). --starttls: STARTTLS offered, and required before
anything else. --login: a login with that user name and password (AUTH PLAIN or LOGIN) is
required before MAIL FROM; another password is refused with 535. --xoauth2: the same with AUTH
XOAUTH2 and that bearer token, the only mechanism offered.

Refusals, as mail servers give them: a sender or recipient whose local part begins with
"refused" is refused for good (553, 550), a recipient whose local part begins with "busy" for
the time being (450).
"""

import argparse
import asyncio
import base64
import os
import signal
import socket
import ssl
import sys
import time

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class MaildirDelivery:
    """Writes each message into MAILDIR/tmp, then moves it to MAILDIR/new (the Maildir rule)."""

    def __init__(self, maildir, xoauth2=None):
        self.maildir = maildir
        self.xoauth2_user, self.xoauth2_token = xoauth2.split(":", 1) if xoauth2 else (None, None)
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

    async def auth_XOAUTH2(self, server, args):
        """The XOAUTH2 of Google and Microsoft: "user=U^Aauth=Bearer T^A^A", base64."""
        if len(args) == 2:
            try:
                blob = base64.b64decode(args[1], validate=True)
            except ValueError:
                return AuthResult(success=False, handled=False, message="501 5.5.2 Can't decode base64")
        else:
            blob = await server.challenge_auth("")
            if not isinstance(blob, bytes):
                return AuthResult(success=False, handled=True)
        fields = dict(part.split("=", 1) for part in blob.decode("utf-8", "replace").split("\x01") if "=" in part)
        if self.xoauth2_user and fields.get("user") == self.xoauth2_user \
                and fields.get("auth") == "Bearer " + self.xoauth2_token:
            return AuthResult(success=True, auth_data=LoginPassword(self.xoauth2_user.encode(), b""))
        return AuthResult(success=False, handled=False, message="535 5.7.8 Username and token not accepted")

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = "%d.%d_%d.smtpsink" % (time.time_ns(), os.getpid(), self.count)
        envelope_lines = "X-MailFrom: %s\r\nX-RcptTo: %s\r\n" % (
            envelope.mail_from, ", ".join(envelope.rcpt_tos))
        login = session.auth_data.login if isinstance(session.auth_data, LoginPassword) else None
        if login:
            envelope_lines += "X-AuthLogin: %s\r\n" % (
                login.decode("utf-8") if isinstance(login, bytes) else login)
        data = envelope_lines.encode("utf-8") + envelope.original_content
        data = data.replace(b"\r\n", b"\n")
        tmp = os.path.join(self.maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.rename(tmp, os.path.join(self.maildir, "new", name))
        return "250 OK delivered"


def tls_context(cert, key):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


async def serve(options):
    loop = asyncio.get_running_loop()
    handler = MaildirDelivery(options.maildir, options.xoauth2)
    smtp_options = {"hostname": "sink.test", "enable_SMTPUTF8": True}
    if options.starttls:
        smtp_options.update(tls_context=tls_context(*options.starttls), require_starttls=True)
    if options.login or options.xoauth2:
        def authenticate(server, session, envelope, mechanism, data):
            if not options.login or not isinstance(data, LoginPassword):
                return AuthResult(success=False, handled=False)
            user, password = options.login.split(":", 1)
            ok = data.login == user.encode() and data.password == password.encode()
            return AuthResult(success=ok, handled=False, auth_data=data)
        # With --tls the whole connection is TLS, which the server does not know of itself.
        smtp_options.update(authenticator=authenticate, auth_required=True,
                            auth_require_tls=bool(options.starttls))
        smtp_options.update(auth_exclude_mechanism=([] if options.login else ["PLAIN", "LOGIN"])
                            + ([] if options.xoauth2 else ["XOAUTH2"]))
    else:
        smtp_options.update(auth_exclude_mechanism=["XOAUTH2"])
    port, portfile = options.port, options.portfile
    server = await loop.create_server(
        lambda: SMTP(handler, **smtp_options),
        host="127.0.0.1", port=port, family=socket.AF_INET,
        ssl=tls_context(*options.tls) if options.tls else None)
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
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--starttls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--login")
    parser.add_argument("--xoauth2")
    parser.add_argument("maildir")
    parser.add_argument("port", type=int)
    parser.add_argument("portfile", nargs="?")
    options = parser.parse_args()
    if options.tls and options.starttls:
        parser.error("--tls and --starttls exclude each other")
    asyncio.run(serve(options))
    return 0


if __name__ == "__main__":
    sys.exit(main())
