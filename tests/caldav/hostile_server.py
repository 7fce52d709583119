#!/usr/bin/python3
"""A CalDAV server on loopback that answers as a hostile or broken one would,
from a scenario file it reads again for every request. It listens on two
ports: A, the account's server, which asks for Basic auth, and B, another
server, which serves anything without asking (as one after credentials
would). Every request is logged as one JSON line: port ("A" or "B"), method,
path, whether it carried Authorization, and its header names.

Scenario (JSON; "{A}" and "{B}" in any string stand for http://127.0.0.1:port):
  user, password         what port A takes (default alice / secret)
  redirects              {path: Location} answered 301
  principal, home        the current-user-principal and calendar-home-set hrefs
  calendars              [{"href", "displayname", "members": [{"href", "etag",
                          "uid", "summary"}]}]; an href is written as given and
                          served at the path it resolves to
  get_etag               the ETag header of every GET (default "g1" quoted); a
                          calendar-multiget answers each member's own etag
  put_status             the status a PUT gets (default 201), with an ETag
  sync_token_500         a PROPFIND asking for DAV:sync-token on the home
                          collection gets 500 (as DAViCal's principal collection)
  status_everywhere      every request on port A gets this status
"""
import argparse
import base64
import http.server
import json
import os
import posixpath
import re
import sys
import threading
import urllib.parse
from xml.sax.saxutils import escape, unescape

EVENT = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//hostile//EN\r\nBEGIN:VEVENT\r\nUID:{uid}\r\n"
         "DTSTAMP:20260101T000000Z\r\nDTSTART:20260110T090000Z\r\nDTEND:20260110T100000Z\r\n"
         "SUMMARY:{summary}\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
DEFAULT = {"user": "alice", "password": "secret", "redirects": {}, "principal": "/alice/",
           "home": "/alice/cals/", "calendars": [], "get_etag": '"g1"', "put_status": 201}


def served_path(href):
    """Where a client that resolves an href as RFC 3986 says ends up."""
    path = urllib.parse.unquote(urllib.parse.urlsplit(href).path)
    normal = posixpath.normpath(path)
    if normal.startswith("//"):
        normal = normal[1:]
    return normal + ("/" if path.endswith("/") and normal != "/" else "")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--scenario", required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    lock = threading.Lock()
    ports = {}

    def scenario():
        with open(args.scenario) as f:
            text = f.read()
        for name, port in ports.items():
            text = text.replace("{" + name + "}", f"http://127.0.0.1:{port}")
        s = dict(DEFAULT)
        s.update(json.loads(text))
        return s

    def multistatus(responses):
        body = '<?xml version="1.0" encoding="utf-8"?>\n<d:multistatus xmlns:d="DAV:" ' \
               'xmlns:c="urn:ietf:params:xml:ns:caldav">' + "".join(responses) + "</d:multistatus>"
        return body.encode()

    def response(href, props):
        # props are written as given: a test's scenario may hold character references.
        return f"<d:response><d:href>{escape(href)}</d:href><d:propstat><d:prop>{props}</d:prop>" \
               "<d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>"

    calendar_type = "<d:resourcetype><d:collection/><c:calendar/></d:resourcetype>"

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *a):
            pass

        def reply(self, status, body=b"", headers=()):
            self.send_response(status)
            for k, v in headers:
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def handle_any(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
            port = "A" if self.server.server_address[1] == ports["A"] else "B"
            entry = {"port": port, "method": self.command, "path": self.path,
                     "auth": self.headers.get("Authorization") is not None,
                     "headers": [k.lower() for k in self.headers.keys()]}
            with lock, open(args.log, "a") as f:
                f.write(json.dumps(entry) + "\n")
            s = scenario()
            if port == "A":
                if "status_everywhere" in s:
                    self.reply(s["status_everywhere"], b"no")
                    return
                expected = "Basic " + base64.b64encode(f"{s['user']}:{s['password']}".encode()).decode()
                if self.headers.get("Authorization") != expected:
                    self.reply(401, b"who", [("WWW-Authenticate", 'Basic realm="hostile"')])
                    return
            path = served_path(self.path)
            if self.path in s["redirects"]:
                self.reply(301, b"", [("Location", s["redirects"][self.path])])
                return
            calendars = [(served_path(c["href"]), c) for c in s["calendars"]]
            members = {served_path(m["href"]): m for _, c in calendars for m in c.get("members", [])}
            if self.command == "PROPFIND":
                self.propfind(s, path, body, calendars)
            elif self.command == "GET" and path in members:
                m = members[path]
                self.reply(200, EVENT.format(**m).encode(), [("Content-Type", "text/calendar"), ("ETag", s["get_etag"])])
            elif self.command == "PUT":
                self.reply(s["put_status"], b"", [("ETag", '"p1"')])
            elif self.command in ("DELETE", "MKCALENDAR"):
                self.reply(204 if self.command == "DELETE" else 201)
            elif self.command == "REPORT" and "calendar-multiget" in body:
                rows = []
                for href in re.findall(r"<d:href>(.*?)</d:href>", body):
                    m = members.get(served_path(unescape(href)))
                    if m is None:
                        continue
                    rows.append(response(m["href"], f"<d:getetag>{m['etag']}</d:getetag>"
                                                    f"<c:calendar-data>{escape(EVENT.format(**m))}</c:calendar-data>"))
                self.reply(207, multistatus(rows), [("Content-Type", "application/xml")])
            elif self.command == "REPORT":
                self.reply(501, b"not here")
            else:
                self.reply(404, b"none")

        def propfind(self, s, path, body, calendars):
            depth = self.headers.get("Depth", "1")
            for where, c in calendars:
                if where == path and depth == "1":
                    rows = [response(c["href"], calendar_type)]
                    rows += [response(m["href"], f"<d:getetag>{m['etag']}</d:getetag><d:resourcetype/>")
                             for m in c.get("members", [])]
                    self.reply(207, multistatus(rows), [("Content-Type", "application/xml")])
                    return
            principal = f"<d:current-user-principal><d:href>{escape(s['principal'])}</d:href></d:current-user-principal>"
            home = f"<c:calendar-home-set><d:href>{escape(s['home'])}</d:href></c:calendar-home-set>"
            collection = "<d:resourcetype><d:collection/></d:resourcetype>"
            if path == served_path(s["home"]):
                if s.get("sync_token_500") and "sync-token" in body:
                    self.reply(500, b"Internal Server Error")
                    return
                rows = [response(s["home"], collection + principal + home)]
                if depth == "1":
                    rows += [response(c["href"], calendar_type + f"<d:displayname>{escape(c['displayname'])}</d:displayname>")
                             for c in s["calendars"]]
                self.reply(207, multistatus(rows), [("Content-Type", "application/xml")])
                return
            # The principal names the home; any other collection only the principal.
            if path == served_path(s["principal"]):
                self.reply(207, multistatus([response(self.path, collection + principal + home)]),
                           [("Content-Type", "application/xml")])
                return
            for where, c in calendars:
                if where == path:
                    props = calendar_type + f"<d:displayname>{escape(c['displayname'])}</d:displayname>"
                    self.reply(207, multistatus([response(c["href"], props)]), [("Content-Type", "application/xml")])
                    return
            if path in ("/", "/.well-known/caldav", "/dav/"):
                self.reply(207, multistatus([response(self.path, collection + principal)]),
                           [("Content-Type", "application/xml")])
                return
            self.reply(404, b"none")

    for m in ["GET", "PUT", "DELETE", "PROPFIND", "REPORT", "MKCALENDAR", "PROPPATCH", "OPTIONS", "HEAD"]:
        setattr(Handler, "do_" + m, Handler.handle_any)

    servers = []
    for name in ("A", "B"):
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.daemon_threads = True
        ports[name] = server.server_address[1]
        servers.append(server)
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{ports['A']} {ports['B']}")
    os.rename(tmp, args.port_file)
    servers[0].serve_forever()


if __name__ == "__main__":
    sys.exit(main())
