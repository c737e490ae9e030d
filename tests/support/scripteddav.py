#!/usr/bin/python3
"""A CalDAV server for tests that misbehaves on purpose, on two origins of 127.0.0.1.

Usage: scripteddav.py SCENARIO LOG [CERTIFICATE KEY]

Two servers listen: the account's own (the first port) and "another origin" (the second port).
Once both listen, their ports are printed on one line ("PORT OTHERPORT") on standard output.
With CERTIFICATE and KEY both speak https, else http. Every request is appended to LOG as one
JSON line: {"port", "method", "path", "depth", "auth" (whether it carried credentials), "agent"};
every answer that was cut off by the client adds {"port", "path", "sent"} (bytes of body sent).

Both servers are the same small CalDAV server (Basic authentication, any password): the
principal /principals/alice/, the calendar home /calendars/alice/, the calendars below it, empty
reports. SCENARIO changes what the account's own server does:

  plain                 behaves
  redirect              sends every request on (301) to the same path on the other origin
  same-origin-redirect  sends / on (301) to /dav/ on its own origin, where it behaves
  home-elsewhere        names the calendar home on the other origin
  principal-elsewhere   names the principal on the other origin (and no calendar home)
  calendar-elsewhere    lists, beside its own calendar "mine", the calendar "work" of the other origin
  elsewhere-for-sync    behaves for Ruvelant; lists the calendars of the other origin to vdirsyncer
  endless-for-sync      behaves for Ruvelant; answers vdirsyncer white space without end
  huge                  pads its answers to 150 MB with white space (announced length)
  huge-unannounced      the same, without a length (the answer ends with the connection)
  endless               answers white space without end
  slow                  sends its answers one byte every 10 seconds
  names                 lists calendars whose names hold a NUL or control characters beside "work"
  nul-inside            lists the calendar "a%00b" beside "work"

SIGTERM or SIGINT stops both servers.
"""

import http.server
import json
import signal
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

HUGE = 150 * 1024 * 1024
PAD = b" " * 65536


def multistatus(responses):
    body = '<?xml version="1.0" encoding="utf-8"?>\n'
    body += '<d:multistatus xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:caldav">'
    for href, props in responses:
        body += ("<d:response><d:href>%s</d:href><d:propstat><d:prop>%s</d:prop>"
                 "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>" % (href, props))
    return (body + "</d:multistatus>\n").encode("utf-8")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    # The setting of this server: its scenario ("plain" for the other origin), its origin, the other one's.
    scenario = "plain"
    own = ""
    other = ""
    log = None
    lock = threading.Lock()

    def record(self, entry):
        with Handler.lock:
            self.log.write(json.dumps(entry) + "\n")
            self.log.flush()

    def send_body(self, status, body, announce=True, total=None, pace=None):
        """Sends body, padded with white space to total bytes (None: body alone; inf: without end),
        its length announced or not (the answer then ends with the connection), paced seconds
        apart byte by byte when pace is given."""
        total = len(body) if total is None else total
        self.send_response(status)
        self.send_header("Content-Type", "application/xml; charset=utf-8")
        if announce and total != float("inf"):
            self.send_header("Content-Length", str(total))
        else:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        sent = 0
        try:
            if pace:
                for i in range(len(body)):
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                    sent += 1
                    time.sleep(pace)
            else:
                self.wfile.write(body)
                sent = len(body)
            while sent < total:
                chunk = PAD if total - sent >= len(PAD) else PAD[:int(total - sent)]
                self.wfile.write(chunk)
                sent += len(chunk)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            self.record({"port": self.server.server_port, "path": self.path, "sent": sent})
            self.close_connection = True

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        request = self.rfile.read(length) if length else b""
        auth = self.headers.get("Authorization") or ""
        agent = self.headers.get("User-Agent") or ""
        self.record({"port": self.server.server_port, "method": self.command, "path": self.path,
                     "depth": self.headers.get("Depth"), "auth": bool(auth), "agent": agent})
        scenario = self.scenario
        if scenario == "redirect":
            return self.moved(self.other + self.path)
        if scenario == "same-origin-redirect" and not self.path.startswith("/dav/"):
            return self.moved(self.own + "/dav" + self.path)
        if not auth.startswith("Basic "):
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="calendars"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        path = urllib.parse.urlsplit(self.path).path
        if path.startswith("/dav/"):
            path = path[4:]
        answer = self.answer(path, request, agent)
        if answer is None:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if scenario == "huge":
            return self.send_body(207, answer, total=HUGE)
        if scenario == "huge-unannounced":
            return self.send_body(207, answer, announce=False, total=HUGE)
        if scenario == "endless" or (scenario == "endless-for-sync" and "Ruvelant" not in agent):
            return self.send_body(207, answer, total=float("inf"))
        if scenario == "slow":
            return self.send_body(207, answer, pace=10)
        self.send_body(207, answer)

    def moved(self, location):
        self.send_response(301)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def calendars(self, agent):
        scenario = self.scenario
        if scenario == "calendar-elsewhere":
            return [("mine", "Mine"), (self.other + "/calendars/alice/work/", "Work")]
        if scenario == "elsewhere-for-sync" and "Ruvelant" not in agent:
            return [(self.other + "/calendars/alice/work/", "Work")]
        if scenario == "names":
            return [("work", "Work"), ("%00", "Nul"), ("a%00b", "A nul b"), ("c%01d", "Control"),
                    ("e%7Ff", "Delete"), ("%EF%BF%BE", "Not a character")]
        if scenario == "nul-inside":
            return [("work", "Work"), ("a%00b", "A nul b")]
        return [("work", "Work")]

    def answer(self, path, request, agent):
        home = "/calendars/alice/"
        scenario = self.scenario
        if self.command == "REPORT":
            return multistatus([])
        if self.command == "PROPPATCH":
            return multistatus([(self.path, "<d:displayname/>")])
        if self.command != "PROPFIND":
            return None
        depth = self.headers.get("Depth")
        if path == home and depth == "1":
            responses = [(home, "<d:resourcetype><d:collection/></d:resourcetype>")]
            for name, title in self.calendars(agent):
                href = name if name.startswith("http") else home + name + "/"
                responses.append((href, "<d:resourcetype><d:collection/><c:calendar/></d:resourcetype>"
                                  "<d:displayname>%s</d:displayname>"
                                  "<c:supported-calendar-component-set><c:comp name=\"VEVENT\"/>"
                                  "</c:supported-calendar-component-set>" % title))
            return multistatus(responses)
        if path.startswith(home) and path != home:
            name = urllib.parse.unquote(path[len(home):].strip("/"))
            return multistatus([(self.path, "<d:resourcetype><d:collection/><c:calendar/></d:resourcetype>"
                                 "<d:displayname>%s</d:displayname>" % name.title())])
        principal = "/principals/alice/"
        if scenario == "principal-elsewhere":
            return multistatus([(self.path, "<d:current-user-principal><d:href>%s</d:href>"
                                 "</d:current-user-principal>" % (self.other + principal))])
        home_href = self.other + home if scenario == "home-elsewhere" else home
        return multistatus([(self.path, "<d:current-user-principal><d:href>%s</d:href></d:current-user-principal>"
                             "<c:calendar-home-set><d:href>%s</d:href></c:calendar-home-set>"
                             "<d:resourcetype><d:collection/></d:resourcetype>" % (principal, home_href))])

    do_PROPFIND = do_REPORT = do_PROPPATCH = do_GET = do_PUT = do_DELETE = do_OPTIONS = handle_any


def main():
    scenario, log = sys.argv[1], open(sys.argv[2], "a")
    context = None
    if len(sys.argv) > 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
    scheme = "https" if context else "http"
    servers = []
    for _ in range(2):
        server = Server(("127.0.0.1", 0), None)
        if context:
            server.socket = context.wrap_socket(server.socket, server_side=True)
        servers.append(server)
    origins = ["%s://127.0.0.1:%d" % (scheme, s.server_port) for s in servers]
    for index, server in enumerate(servers):
        settings = {"scenario": scenario if index == 0 else "plain", "own": origins[index],
                    "other": origins[1 - index], "log": log}
        server.RequestHandlerClass = type("Handler%d" % index, (Handler,), settings)
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print("%d %d" % (servers[0].server_port, servers[1].server_port), flush=True)
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    stop.wait()
    for server in servers:
        server.shutdown()


if __name__ == "__main__":
    main()
