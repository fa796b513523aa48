#!/usr/bin/python3
"""A discovery mediator for tests: GET /disco on 127.0.0.1 (or --bind).

Usage: tvtp-mediator.py --records RECORDS.json --log LOG.jsonl
         [--client-ip IP] [--ticket T] [--fail] [--auth-user U --auth-password P]
         [--bind ADDR] [--max-seconds N]

RECORDS is a JSON list of server records, each an object of tag -> value
(strings as texts, true/false as flags, numbers as "=%d|"), written in the
typed text form in list order, one per line. The reply carries "client-ip"
(left out when --client-ip is empty) and "ticket". With --fail every request
gets status 500. With --auth-user a request without the right Basic
credentials gets a challenge. Each request appends {"user", "authorization"}
to LOG. The port is printed on the first line of standard output.
"""
import argparse
import base64
import http.server
import json
import socketserver
import time
import threading


def record(r):
    out = "["
    for tag, v in r.items():
        if isinstance(v, bool):
            out += "%s=%d|" % (tag, 1 if v else 0)
        elif isinstance(v, int):
            out += "%s=%d|" % (tag, v)
        else:
            b = str(v).encode("utf-8")
            out += "%s:%d:%s|" % (tag, len(b), v)
    return out + "]\n"


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def send(self, status, headers, body=b""):
        self.send_response_only(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        with open(ARGS.log, "a") as f:
            f.write(json.dumps({"path": self.path, "user": self.headers.get("user"),
                                "authorization": self.headers.get("Authorization")}) + "\n")
        if self.path != "/disco":
            return self.send(404, [])
        if ARGS.fail:
            return self.send(500, [])
        if ARGS.auth_user:
            want = "Basic " + base64.b64encode(("%s:%s" % (ARGS.auth_user, ARGS.auth_password)).encode()).decode()
            if self.headers.get("Authorization") != want:
                return self.send(401, [("WWW-Authenticate", 'Basic realm="disco"')])
        with open(ARGS.records) as f:
            recs = json.load(f)
        hs = [("ticket", ARGS.ticket)]
        if ARGS.client_ip:
            hs.append(("client-ip", ARGS.client_ip))
        self.send(200, hs, "".join(record(r) for r in recs).encode("utf-8"))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


ap = argparse.ArgumentParser()
ap.add_argument("--records", required=True)
ap.add_argument("--log", required=True)
ap.add_argument("--client-ip", default="203.0.113.7")
ap.add_argument("--ticket", default="TCK-1")
ap.add_argument("--fail", action="store_true")
ap.add_argument("--auth-user")
ap.add_argument("--auth-password", default="")
ap.add_argument("--bind", default="127.0.0.1")
ap.add_argument("--port", type=int, default=0)
ap.add_argument("--max-seconds", type=int, default=120)
ARGS = ap.parse_args()
srv = Server((ARGS.bind, ARGS.port), Handler)
print(srv.server_address[1], flush=True)
threading.Thread(target=srv.serve_forever, daemon=True).start()
time.sleep(ARGS.max_seconds)
