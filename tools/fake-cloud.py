#!/usr/bin/python3
"""A Lumidrift cloud account over HTTPS for the cloud back-end's tests
(standard library only).

One account: a root folder, the data collection "tvdata_collection" and a
tree of folders and files kept in memory. It answers the token endpoint
(POST /kdx/token), the listings (sync/index, sync/directories in recursive
and non-recursive form), downloads, metadata, quota, DELETE, folder creation
(POST sync/directories) and moves (PUT). Every changing request gets an
"x-cirrolith-tid" header. Every /api request needs "Authorization: Bearer
<token>" and "Accept: */*", else 401 with a JSON error.

Control API (plain JSON bodies, no authorisation, same server):
    POST /_ctl/reset              back to the seeded tree, switches cleared, log emptied
    POST /_ctl/seed   {"tree": [...]}   replaces the account below the root
                      (with "parent": <id>, adds the tree below that folder):
                      node = {"name", "dir": true, "children": [...]} or
                             {"name", "data": "<text>", "modified": <epoch>}
                      a node may carry "id" (forced id) and "collab": true
    POST /_ctl/change {"path": "/a/b.txt", "data": "...", "modified": <epoch>}
                      changes a file as another client would
    POST /_ctl/set    {"switch": value, ...}  (see SWITCHES)
    POST /_ctl/script {"method", "path" (prefix of the raw path), "times",
                       "status", "headers", "body", "action": "reply"|"close"|"delay",
                       "delay_ms"}  queues answers that go before the store
    GET  /_ctl/log    the request log: [{"method", "path", "headers": [[name, value]...],
                      "auth": "ok"|"bad"|"none", "form": {...}}]  (secrets never logged)

The port is printed as "PORT <n>" on the first line of standard output.

Usage: fake-cloud.py --cert FILE --key FILE [--port 0] [--plain]
"""
import argparse
import json
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

COLLECTION_TYPE = "application/vnd.orvan.cirrolith.collection"

SWITCHES = {
    "user": "user@example.com",
    "password": "secret",
    "client_id": "K4Win1",
    "client_secret": "",          # empty: any well-formed secret
    "token": "tok-0123456789",
    "token_mode": "ok",           # ok | nonjson | notoken | error
    "delete_status": 200,         # 200 or 204
    "storage_remaining": "12345.9",
    "storage_quota": 2,
    "pad_bytes": 0,               # a "padding" member of this size in the root listing
    "malform": "",                # nosize | badprefix | oneroot | dupid | cycle
                                  # | name_dotdot | name_slash | name_backslash | name_nul | chain300
}


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))


class Account:
    def __init__(self):
        self.lock = threading.RLock()
        self.log = []
        self.scripts = []
        self.reset()

    def reset(self):
        self.switches = dict(SWITCHES)
        self.log = []
        self.scripts = []
        self.next_id = 1
        self.next_tid = 1
        self.items = {}
        self.root = self.add(None, "", True, forced="root0")
        self.tvd = self.add(self.root, "tvdata_collection", True, forced="tvd0")
        self.seed([
            {"name": "a", "dir": True, "children": [
                {"name": "x.txt", "data": "hello"},
                {"name": "sub", "dir": True, "children": [{"name": "deep.bin", "data": "0123456789"}]},
            ]},
            {"name": "b", "dir": True, "collab": True},
            {"name": "top.txt", "data": "top file", "modified": 1600000000},
        ])

    def new_id(self):
        self.next_id += 1
        return "n%05d" % self.next_id

    def tid(self):
        self.next_tid += 1
        return "tid-%d" % self.next_tid

    def add(self, parent, name, is_dir, data=b"", modified=1700000000, forced=None, collab=False):
        i = forced or self.new_id()
        self.items[i] = {"id": i, "dir": is_dir, "name": name, "parent": parent, "children": [],
                         "data": data, "modified": modified, "created": modified - 100, "collab": collab}
        if parent:
            self.items[parent]["children"].append(i)
        return i

    def remove(self, i):
        it = self.items.pop(i, None)
        if not it:
            return
        for c in list(it["children"]):
            self.remove(c)
        if it["parent"] in self.items:
            self.items[it["parent"]]["children"].remove(i)

    def seed(self, tree, parent=None):
        if parent is None:
            for c in list(self.items[self.root]["children"]):
                if c != self.tvd:
                    self.remove(c)
            parent = self.root
        for n in tree:
            is_dir = bool(n.get("dir"))
            data = n.get("data", "")
            data = data.encode("utf-8") if isinstance(data, str) else bytes(data)
            i = self.add(parent, n["name"], is_dir, data, n.get("modified", 1700000000), n.get("id"),
                         bool(n.get("collab")))
            if is_dir:
                self.seed(n.get("children", []), i)

    def find(self, path):
        cur = self.root
        for part in [p for p in path.split("/") if p]:
            nxt = [c for c in self.items[cur]["children"] if self.items[c]["name"].lower() == part.lower()]
            if not nxt:
                return None
            cur = nxt[0]
        return cur

    # ------------------------------------------------------------ listings
    def uri(self, i):
        kind = "directories" if self.items[i]["dir"] else "files"
        return "/api/sync/%s/%s" % (kind, i)

    def node(self, i, recursive, depth=0):
        it = self.items[i]
        n = {"id": self.uri(i)}
        if it["parent"] is not None:
            n["name"] = it["name"]
        n["modified"] = iso(it["modified"])
        n["created"] = iso(it["created"])
        if not it["dir"]:
            n["size"] = len(it["data"])
            n["type"] = "application/octet-stream"
            if self.switches["malform"] == "nosize":
                del n["size"]
        else:
            n["type"] = COLLECTION_TYPE
        if it["collab"]:
            n["collaboration"] = {"root_id": self.uri(i)}
        if it["dir"]:
            kids = [c for c in it["children"] if not (it["parent"] is None and c == self.tvd)]
            if recursive:
                n["children"] = [self.node(c, True, depth + 1) for c in kids]
            else:
                n["children"] = [self.node(c, True) if not self.items[c]["dir"]
                                 else {"id": self.uri(c), "type": COLLECTION_TYPE, "name": self.items[c]["name"]}
                                 for c in kids]
        return n

    def hostile(self, n):
        """Applies the malformed-listing switch to a listing of the root."""
        m = self.switches["malform"]
        if m == "badprefix":
            n.setdefault("children", []).append({"id": "/api/sync/other/zz", "name": "zz", "modified": iso(1)})
        elif m == "dupid" and n.get("children"):
            first = n["children"][0]
            n["children"].append(dict(first, name="copy-of-" + first.get("name", "")))
        elif m == "cycle":
            n.setdefault("children", []).append({"id": self.uri(self.root), "name": "loop", "modified": iso(1),
                                                 "type": COLLECTION_TYPE, "children": []})
        elif m.startswith("name_"):
            bad = {"name_dotdot": "..", "name_slash": "a/b", "name_backslash": "a\\b", "name_nul": "n\x00ul"}[m]
            n.setdefault("children", []).append({"id": "/api/sync/directories/hostile1", "name": bad,
                                                 "modified": iso(1), "type": COLLECTION_TYPE,
                                                 "children": [{"id": "/api/sync/files/hostile2", "name": "inner.txt",
                                                               "modified": iso(1), "size": 3,
                                                               "type": "text/plain"}]})
        return n

    def root_node(self, recursive):
        n = self.hostile(self.node(self.root, recursive))
        n["tvdata"] = self.uri(self.tvd)
        if self.switches["pad_bytes"]:
            n["padding"] = "p" * int(self.switches["pad_bytes"])
        return n


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    acct = None

    def setup(self):
        super().setup()
        # one answer is written in pieces: without this every keep-alive
        # request would wait out a delayed acknowledgement
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, fmt, *args):  # quiet: nothing of a request reaches standard error
        pass

    def reply(self, status, body=b"", headers=None, ctype="application/json"):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode("utf-8")
        elif isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        if ctype:
            self.send_header("Content-Type", ctype)
        for k, v in (headers or {}).items():
            self.send_header(k, str(v))
        self.send_header("Content-Length", str(len(body)))
        self._headers_buffer.append(b"\r\n")
        if self.command != "HEAD":
            self._headers_buffer.append(body)
        self.flush_headers()

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def handle_one(self):
        a = self.acct
        raw = self.path
        parsed = urllib.parse.urlsplit(raw)
        path = parsed.path
        query = urllib.parse.parse_qs(parsed.query, keep_blank_values=True)
        data = self.body()
        if path.startswith("/_ctl/"):
            return self.control(path[6:], data)
        entry = {"method": self.command, "path": raw,
                 "headers": [[k, "<redacted>" if k.lower() == "authorization" else v]
                             for k, v in self.headers.items()]}
        with a.lock:
            a.log.append(entry)
            script = None
            for s in a.scripts:
                if s.get("method", self.command) == self.command and raw.startswith(s.get("path", "")) \
                        and s.get("times", 1) > 0:
                    s["times"] = s.get("times", 1) - 1
                    script = dict(s)
                    break
        if script:
            act = script.get("action", "reply")
            if act == "close":
                self.close_connection = True
                try:
                    self.connection.shutdown(2)
                except OSError:
                    pass
                return
            if act == "delay":
                time.sleep(min(script.get("delay_ms", 100), 10000) / 1000.0)
            else:
                return self.reply(script.get("status", 500), script.get("body", ""), script.get("headers"),
                                  script.get("ctype", "application/json"))
        if path == "/kdx/token" and self.command == "POST":
            return self.token(data, entry)
        if not path.startswith("/api/"):
            return self.reply(404, {"error": "not found"})
        auth = self.headers.get("Authorization", "")
        entry["auth"] = "none" if not auth else ("ok" if auth == "Bearer " + a.switches["token"] else "bad")
        if entry["auth"] != "ok" or self.headers.get("Accept") != "*/*":
            return self.reply(401, {"error": "unauthorized"})
        with a.lock:
            return self.api(path[5:], query)

    def token(self, data, entry):
        a = self.acct
        sw = a.switches
        if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
            return self.reply(400, {"error": "bad content type"})
        try:
            text = data.decode("ascii")
            pairs = urllib.parse.parse_qsl(text, keep_blank_values=True, strict_parsing=True, encoding="utf-8",
                                           errors="strict")
        except (UnicodeDecodeError, ValueError):
            return self.reply(400, {"error": "malformed form"})
        form = dict(pairs)
        entry["form"] = {"keys": [k for k, _ in pairs]}
        want = {"grant_type": "password", "client_id": sw["client_id"], "scope": "openid,lumi_drift",
                "username": sw["user"], "password": sw["password"]}
        for k, v in want.items():
            if form.get(k) != v:
                entry["form"]["bad"] = k
                return self.reply(400, {"error": "invalid_grant"})
        secret = form.get("client_secret", "")
        if (sw["client_secret"] and secret != sw["client_secret"]) or len(secret) != 36:
            entry["form"]["bad"] = "client_secret"
            return self.reply(400, {"error": "invalid_client"})
        mode = sw["token_mode"]
        if mode == "nonjson":
            return self.reply(200, "<html>token service</html>", ctype="text/html")
        if mode == "notoken":
            return self.reply(200, {"token_type": "bearer"})
        return self.reply(200, {"access_token": sw["token"], "token_type": "bearer"})

    # ------------------------------------------------------------ the API
    def api(self, path, q):
        a = self.acct
        parts = path.split("/")
        m = self.command
        mal = a.switches["malform"]
        if m == "GET" and path == "sync/index":
            if mal == "oneroot":
                return self.reply(200, [a.root_node(True)])
            tv = a.node(a.tvd, True)
            return self.reply(200, [a.root_node(True), tv])
        if m == "GET" and path == "sync/directories":
            rec = q.get("recursive", [""])[0] == "true"
            return self.reply(200, a.root_node(rec))
        if m == "GET" and path == "profile/quota":
            return self.reply(200, {"storage_remaining": a.switches["storage_remaining"],
                                    "storage_quota": a.switches["storage_quota"]})
        if len(parts) >= 3 and parts[0] == "sync" and parts[1] in ("files", "directories"):
            i = parts[2]
            it = a.items.get(i)
            if mal == "chain300" and m == "GET" and parts[1] == "directories" and i.startswith("chain"):
                k = int(i[5:])
                n = {"id": "/api/sync/directories/" + i, "name": "c%d" % k, "modified": iso(1),
                     "children": [{"id": "/api/sync/directories/chain%d" % (k + 1), "type": COLLECTION_TYPE}]}
                return self.reply(200, [n])
            if it is None or it["dir"] != (parts[1] == "directories"):
                return self.reply(404, {"error": "no such asset"})
            if len(parts) == 4 and parts[3] == "metadata" and m == "GET":
                md = {"name": it["name"], "modified": iso(it["modified"]), "created": iso(it["created"])}
                if not it["dir"]:
                    md["size"] = len(it["data"])
                md["collaboration_root"] = {"id": a.uri(i)} if it["collab"] else None
                return self.reply(200, md)
            if m == "GET" and len(parts) == 3:
                if it["dir"]:
                    rec = q.get("recursive", [""])[0] == "true"
                    n = a.node(i, rec)
                    if mal == "chain300" and i == a.tvd:
                        n["children"].append({"id": "/api/sync/directories/chain0", "type": COLLECTION_TYPE})
                    return self.reply(200, [n])
                return self.reply(200, it["data"], {"x-cirrolith-tid": a.tid()}, "application/octet-stream")
            if m == "DELETE" and len(parts) == 3:
                a.remove(i)
                st = a.switches["delete_status"]
                return self.reply(st, b"" if st == 204 else {"ok": True}, {"x-cirrolith-tid": a.tid()})
            if m == "PUT" and len(parts) == 3:
                old = q.get("old_directory", [""])[0]
                if old != it["parent"]:
                    return self.reply(409, {"error": "old_directory does not match"})
                dest = q.get("directory", [old])[0]
                name = q.get("name", [it["name"]])[0]
                if dest not in a.items or not a.items[dest]["dir"]:
                    return self.reply(404, {"error": "no such directory"})
                for c in a.items[dest]["children"]:
                    if c != i and a.items[c]["name"].lower() == name.lower():
                        return self.reply(403, {"error": "name already exists in directory"})
                a.items[it["parent"]]["children"].remove(i)
                it["parent"] = dest
                it["name"] = name
                a.items[dest]["children"].append(i)
                return self.reply(200, {"ok": True}, {"x-cirrolith-tid": a.tid()})
        if m == "POST" and path == "sync/directories":
            name = q.get("name", [""])[0]
            parent = q.get("directory", [""])[0]
            if not name or parent not in a.items or not a.items[parent]["dir"]:
                return self.reply(400, {"error": "bad directory request"})
            if any(a.items[c]["name"].lower() == name.lower() for c in a.items[parent]["children"]):
                return self.reply(403, {"error": "name already exists in directory"})
            i = a.add(parent, name, True)
            return self.reply(201, {"ok": True}, {"Location": a.uri(i), "x-cirrolith-tid": a.tid()})
        return self.reply(404, {"error": "unknown resource"})

    def control(self, cmd, data):
        a = self.acct
        try:
            arg = json.loads(data.decode("utf-8")) if data else {}
        except ValueError:
            return self.reply(400, {"error": "bad control JSON"})
        with a.lock:
            if cmd == "reset":
                a.reset()
            elif cmd == "seed":
                a.seed(arg.get("tree", []), arg.get("parent"))
            elif cmd == "set":
                a.switches.update(arg)
            elif cmd == "script":
                a.scripts.append(arg)
            elif cmd == "change":
                i = a.find(arg["path"])
                if i is None:
                    return self.reply(404, {"error": "no such path"})
                if "data" in arg:
                    a.items[i]["data"] = arg["data"].encode("utf-8")
                a.items[i]["modified"] = arg.get("modified", a.items[i]["modified"] + 60)
            elif cmd == "log":
                return self.reply(200, a.log)
            else:
                return self.reply(404, {"error": "unknown control"})
        return self.reply(200, {"ok": True})

    def do_GET(self):
        self.handle_one()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_GET


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--plain", action="store_true", help="no TLS (for refusal tests)")
    args = ap.parse_args()
    Handler.acct = Account()
    srv = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    srv.daemon_threads = True
    if not args.plain:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    print("PORT %d" % srv.server_address[1], flush=True)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
