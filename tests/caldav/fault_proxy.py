#!/usr/bin/python3
"""A loopback HTTP proxy between the CalDAV client under test and a real
server. It can stand in as a Basic-auth gate (Xandikos has none of its own)
or as a gate that takes only an OAuth 2.0 bearer token (the one in
--bearer-file, read again for every request), logs every request and what
it carried in Authorization, and injects the faults named in a JSON rules
file, which it reads again for every request so a test changes faults by
rewriting it.

A rule: {"method": "REPORT", "path": "substring", "after": 0, "times": -1,
         "action": "status" | "delay" | "hold" | "truncate" | "drop" | "wrap207",
         "status": 500, "seconds": 2.0, "until": "/path/of/a/file"}
  status    answer with that status without asking the server
  delay     wait that long (or until the file "until" names exists), then forward
  hold      forward, then wait as delay does before answering: the answer is
            what the server had before whatever a test does meanwhile
  truncate  forward, then send a well-framed answer holding half the body
  drop      forward, then send the headers and part of the body and close
  wrap207   answer a multistatus holding a 412 (as some servers do to a PUT)
"after" lets that many matching requests through first; "times" limits how
often the rule fires (-1: always).
"""
import argparse
import base64
import http.client
import http.server
import json
import os
import sys
import threading
import time

METHODS = ["GET", "HEAD", "PUT", "DELETE", "PROPFIND", "PROPPATCH", "REPORT", "MKCALENDAR", "MKCOL",
           "OPTIONS", "POST", "MOVE", "COPY"]
HOP = {"connection", "keep-alive", "transfer-encoding", "content-length", "proxy-connection", "upgrade"}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--upstream", required=True)  # host:port
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--rules", required=True)
    ap.add_argument("--log", required=True)
    ap.add_argument("--auth-log")
    ap.add_argument("--user")
    ap.add_argument("--password")
    ap.add_argument("--bearer-file")
    args = ap.parse_args()
    host, port = args.upstream.rsplit(":", 1)
    lock = threading.Lock()
    seen = {}   # rule text -> matching requests so far
    expected = None
    if args.user is not None:
        expected = "Basic " + base64.b64encode(f"{args.user}:{args.password}".encode()).decode()

    def pick_rule(method, path):
        try:
            with open(args.rules) as f:
                rules = json.load(f)
        except (OSError, ValueError):
            rules = []
        with lock:
            for rule in rules:
                if rule.get("method") not in (None, method) or rule.get("path", "") not in path:
                    continue
                key = json.dumps(rule, sort_keys=True)
                n = seen.get(key, 0)
                seen[key] = n + 1
                after = rule.get("after", 0)
                times = rule.get("times", -1)
                if n < after or (times >= 0 and n >= after + times):
                    continue
                return rule
        return None

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

        def proxy(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length else b""
            authorization = self.headers.get("Authorization")
            with lock:
                with open(args.log, "a") as f:
                    f.write(f"{self.command} {self.path}\n")
                if args.auth_log:
                    with open(args.auth_log, "a") as f:
                        f.write(f"{authorization or '-'}\n")
            if expected is not None and authorization != expected:
                self.reply(401, b"authentication required", [("WWW-Authenticate", 'Basic realm="test"')])
                return
            if args.bearer_file is not None:
                with open(args.bearer_file) as f:
                    token = f.read().strip()
                if not token or authorization != "Bearer " + token:
                    self.reply(401, b"token required", [("WWW-Authenticate", 'Bearer realm="test"')])
                    return
            rule = pick_rule(self.command, self.path)
            action = rule.get("action") if rule else None
            if action == "status":
                self.reply(rule.get("status", 500), b"injected fault", [("Content-Type", "text/plain")])
                return
            if action == "wrap207":
                ms = (b'<?xml version="1.0" encoding="utf-8"?><ns0:multistatus xmlns:ns0="DAV:"><ns0:response>'
                      b'<ns0:href>' + self.path.encode() + b'</ns0:href><ns0:status>HTTP/1.1 412 Precondition Failed'
                      b'</ns0:status></ns0:response></ns0:multistatus>')
                self.reply(207, ms, [("Content-Type", "application/xml")])
                return
            def wait():
                end = time.monotonic() + rule.get("seconds", 1.0)
                while time.monotonic() < end and not ("until" in rule and os.path.exists(rule["until"])):
                    time.sleep(0.02)

            if action == "delay":
                wait()
            try:
                conn = http.client.HTTPConnection(host, int(port), timeout=120)
                headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP}
                conn.request(self.command, self.path, body=body, headers=headers)
                resp = conn.getresponse()
                data = resp.read()
                status = resp.status
                out_headers = [(k, v) for k, v in resp.getheaders() if k.lower() not in HOP]
                conn.close()
            except OSError:
                self.close_connection = True
                self.connection.close()
                return
            if action == "hold":
                wait()
            if action == "truncate":
                data = data[: len(data) // 2]
            if action == "drop":
                self.send_response(status)
                for k, v in out_headers:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                self.close_connection = True
                self.connection.shutdown(2)
                return
            self.reply(status, data, out_headers)

    for m in METHODS:
        setattr(Handler, "do_" + m, Handler.proxy)

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
