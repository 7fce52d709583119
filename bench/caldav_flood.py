#!/usr/bin/python3
"""A CalDAV server on loopback that answers with more than any real one: the
benchmark's big-reply and many-round cases. No authentication.

caldav_flood.py PORT_FILE

Each calendar's URL says what it sends for a sync-collection from no token:
  /objects/MB/    one multistatus of about MB megabytes: ordinary events of
                  about 1.2 kB each, with their data
  /nested/MB/     one multistatus of about MB megabytes: one event, and a
                  property nobody asked for holding that much of empty elements
  /rounds/N/KB/   a small first answer; from its token on, N answers of about
                  KB kilobytes of new events each, every one truncated (507)
                  but the last
  /slow/S/       one event; a PUT is answered after S seconds (stored)
A sync-collection from the last token sends nothing new. Objects are also
answered to a calendar-multiget and a GET.
"""
import http.server
import os
import re
import sys
import time

HEAD = b'<?xml version="1.0" encoding="utf-8"?>\n<d:multistatus xmlns:d="DAV:" xmlns:c="urn:ietf:params:xml:ns:caldav">'


def event(uid, pad=0):
    text = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge//flood//EN\r\nBEGIN:VEVENT\r\n"
            f"UID:{uid}\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:20260105T100000Z\r\nDTEND:20260105T110000Z\r\n"
            f"SUMMARY:Flood {uid}\r\nDESCRIPTION:{'x' * 900 + 'y' * pad}\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n")
    return text.encode()


def member(base, uid, data=None, extra=b""):
    body = b"<d:response><d:href>" + base + uid.encode() + b".ics</d:href><d:propstat><d:prop>"
    body += b'<d:getetag>"' + uid.encode() + b'"</d:getetag>'
    if data is not None:
        body += b"<c:calendar-data>" + data.replace(b"&", b"&amp;").replace(b"<", b"&lt;") + b"</c:calendar-data>"
    body += extra + b"</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>"
    return body


def sync_answer(path, token):
    base = path.encode()
    parts = [HEAD]
    kind = path.strip("/").split("/")
    done = b"<d:sync-token>done</d:sync-token></d:multistatus>"
    if token == "done":
        return b"".join(parts) + done
    if kind[0] == "objects":
        size = int(kind[1]) << 20
        n = 0
        while size > 0:
            piece = member(base, f"o{n}", event(f"o{n}"))
            parts.append(piece)
            size -= len(piece)
            n += 1
        return b"".join(parts) + done
    if kind[0] == "slow":
        parts.append(member(base, "s0", event("s0")))
        return b"".join(parts) + done
    if kind[0] == "nested":
        size = int(kind[1]) << 20
        junk = b"<d:x>" + b"<d:y/>" * (size // 6) + b"</d:x>"
        parts.append(member(base, "n0", event("n0"), junk))
        return b"".join(parts) + done
    rounds, size = int(kind[1]), int(kind[2]) << 10
    if token == "":
        parts.append(member(base, "first", event("first")))
        return b"".join(parts) + b"<d:sync-token>r0</d:sync-token></d:multistatus>"
    at = int(token[1:]) + 1
    per = max(1, size // 1300)
    for k in range(per):
        parts.append(member(base, f"r{at}-{k}", event(f"r{at}-{k}")))
    if at < rounds:
        parts.append(b"<d:response><d:href>" + base + b"</d:href><d:status>HTTP/1.1 507 Insufficient Storage"
                     b"</d:status></d:response>")
        return b"".join(parts) + f"<d:sync-token>r{at}</d:sync-token></d:multistatus>".encode()
    return b"".join(parts) + done


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def answer(self, status, body=b""):
        self.send_response(status)
        self.send_header("Content-Type", "application/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n).decode() if n else ""

    def do_PROPFIND(self):
        self.body()
        if not re.match(r"^/(objects|nested|rounds|slow)/", self.path):
            return self.answer(404)
        props = (b"<d:resourcetype><d:collection/><c:calendar/></d:resourcetype><d:displayname>Flood</d:displayname>"
                 b"<c:supported-calendar-component-set><c:comp name=\"VEVENT\"/></c:supported-calendar-component-set>"
                 b"<d:sync-token>live</d:sync-token>")
        body = HEAD + b"<d:response><d:href>" + self.path.encode() + b"</d:href><d:propstat><d:prop>" + props
        body += b"</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response></d:multistatus>"
        self.answer(207, body)

    def do_REPORT(self):
        request = self.body()
        if "calendar-multiget" in request:
            base = self.path.encode()
            found = re.findall(r"<d:href>[^<]*/([^/<]+)\.ics</d:href>", request)
            return self.answer(207, HEAD + b"".join(member(base, uid, event(uid)) for uid in found) + b"</d:multistatus>")
        if "sync-collection" not in request:
            return self.answer(403)
        token = re.search(r"<d:sync-token>([^<]*)</d:sync-token>", request)
        self.answer(207, sync_answer(self.path, token.group(1) if token else ""))

    def do_PUT(self):
        self.body()
        kind = self.path.strip("/").split("/")
        if kind[0] != "slow":
            return self.answer(403)
        time.sleep(float(kind[1]))
        self.send_response(201)
        self.send_header("ETag", '"put-' + str(time.monotonic_ns()) + '"')
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        uid = self.path.rsplit("/", 1)[-1][:-len(".ics")]
        body = event(uid)
        self.send_response(200)
        self.send_header("Content-Type", "text/calendar")
        self.send_header("ETag", '"' + uid + '"')
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
