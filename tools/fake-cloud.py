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
    POST /_ctl/create {"path": "/a/n.txt", "data": "...", "modified": <epoch>, "dir": false}
    POST /_ctl/rename {"path": "/a/n.txt", "name": "m.txt"}
    POST /_ctl/delete {"path": "/a/m.txt"}  (moved to the trash)
    POST /_ctl/restore {"path": "/a/m.txt", "value": "false"}  back from the trash
                      add, rename or remove an item as another client would,
                      with the events that client's request would emit
    POST /_ctl/set    {"switch": value, ...}  (see SWITCHES)

Notifications: POST notification (the body compared byte for byte with
SUBSCRIPTION) registers "reg-<n>"; GET notification?registration_id=..&
last_notification=.. holds until events after that uid exist or poll_hold_s
pass; DELETE notification?registration_id=.. ends the registration. Every
API change emits its event with the reply's tid (none with the no-events
header).
    POST /_ctl/events {"events": [...]}  adds events as another client would
                      (each gets the next uid; "timestamp" defaults to now)
    GET  /_ctl/polls  [{"method", "path"}] of the notification requests
    GET  /_ctl/tree   text, one line per item below the root: "D <path>" or
                      "F <modified> x<hex of the bytes> <path>"

Uploads (POST sync/files, PUT sync/files/<id>) are checked byte for byte in
both forms, the multipart form and the bare file with the metadata in the
query string; a request that breaks the form is answered 400 with the reason.
The log entry of an upload carries "upload": {"form", "name", "directory",
"created", "modified", "ctype", "size"}.
    POST /_ctl/script {"method", "path" (prefix of the raw path), "times",
                       "status", "headers", "body", "action": "reply"|"close"|"delay"|"chunked",
                       "delay_ms"}  queues answers that go before the store
                      ("chunked": the body sent in chunks, without a length)
    GET  /_ctl/log    the request log: [{"method", "path", "headers": [[name, value]...],
                      "auth": "ok"|"bad"|"none", "form": {...}}]  (secrets never logged)

The port is printed as "PORT <n>" on the first line of standard output.

Usage: fake-cloud.py --cert FILE --key FILE [--port 0] [--plain]
"""
import argparse
import calendar
import email.utils
import re
import json
import socket
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

COLLECTION_TYPE = "application/vnd.orvan.cirrolith.collection"
SUBSCRIPTION = (r'{"notification":{"type":"longpolling","verbose":true},"resources":[{"uri":"^/api/v\\d+/'
                r'(profile/quota|(collections|assets)(/([\\w\\-]+(/(?=(metadata/trashed|metadata/name|members))'
                r'.*)?)?)?)$"}]}')

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
    "upload_timeout": "",         # "" | store | nostore: read the whole upload, close without answer
    "upload_close_early": False,  # close an upload before reading its body
    "search_codes": [],           # status codes of the proto searches, one per search (then 201)
    "search_reply": "",           # "" | empty (an empty array) | noid (an entry without id)
    "reg_blank": False,           # a blank after the colon in the subscription reply
    "poll_status": 0,             # answer every poll with this status (404, 502)
    "poll_hold_s": 3,             # how long a poll waits for events
    "change_reply_delay_ms": 0,   # the reply of a change goes this long after its events
    "pad_bytes": 0,               # a "padding" member of this size in the root listing
    "malform": "",                # nosize | badprefix | oneroot | dupid | cycle
                                  # | name_dotdot | name_slash | name_backslash | name_nul | chain300
}


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))


def parse_upload_time(text):
    """The upload's time form "YYYY-MM-DDTHH:MM:SS+00:00" as seconds, else None."""
    m = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\+00:00", text)
    if not m:
        return None
    return calendar.timegm(tuple(int(g) for g in m.groups()) + (0, 0, 0))


class Account:
    def __init__(self):
        self.lock = threading.RLock()
        self.cond = threading.Condition(self.lock)
        self.log = []
        self.scripts = []
        self.reset()

    def reset(self):
        self.switches = dict(SWITCHES)
        self.log = []
        self.scripts = []
        self.next_id = 1
        self.next_tid = 1
        self.last_upload = None
        self.events = []
        self.regs = set()
        self.reg_start = {}
        self.next_reg = 0
        self.polls = []
        self.trash = {}
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

    def emit(self, event, resource, tid, data=None, no_events=False):
        if no_events:
            return
        e = {"event": event, "resource": resource, "timestamp": int(time.time())}
        if tid:
            e["tid"] = tid
        if data is not None:
            e["data"] = data
        self.add_event(e)

    def add_event(self, e):
        with self.cond:
            e = dict(e)
            e.setdefault("timestamp", int(time.time()))
            e["uid"] = "u%d" % (len(self.events) + 1)
            self.events.append(e)
            self.cond.notify_all()

    def v1(self, i):
        return "/api/v1/%s/%s" % ("collections" if self.items[i]["dir"] else "assets", i)

    def added(self, i, tid, no_events=False):
        it = self.items[i]
        md = {"name": it["name"], "modified": iso(it["modified"]), "created": iso(it["created"])}
        if not it["dir"]:
            md["size"] = len(it["data"])
        self.emit("update", "/api/v1/collections/%s/members" % it["parent"], tid,
                  {"detail": "resource_added", "uri": self.v1(i), "metadata": md}, no_events)

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

    deferred = None  # a list while a reply is held back (change_reply_delay_ms)

    def reply(self, status, body=b"", headers=None, ctype="application/json"):
        if self.deferred is not None:
            self.deferred.append((status, body, headers, ctype))
            return None
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

    def reply_chunked(self, status, body):
        """The body in chunks of at most 4 bytes, without a declared length."""
        body = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for i in range(0, len(body), 4):
            part = body[i:i + 4]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def handle_one(self):
        a = self.acct
        raw = self.path
        parsed = urllib.parse.urlsplit(raw)
        path = parsed.path
        query = urllib.parse.parse_qs(parsed.query, keep_blank_values=True)
        if a.switches["upload_close_early"] and path.startswith("/api/sync/files") and self.command in ("POST", "PUT"):
            with a.lock:
                a.log.append({"method": self.command, "path": raw, "closed_early": True})
            self.close_connection = True
            try:
                self.connection.shutdown(2)
            except OSError:
                pass
            return None
        data = self.body()
        self.upload_body = data
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
            if act == "chunked":
                return self.reply_chunked(script.get("status", 200), script.get("body", ""))
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
        if path == "/api/notification":
            return self.notification(query, data)
        delay = a.switches["change_reply_delay_ms"] if self.command in ("POST", "PUT", "DELETE") else 0
        if not delay:
            with a.lock:
                return self.api(path[5:], query)
        # the change and its events now, its reply later (outside the lock: the polls answer meanwhile)
        self.deferred = []
        with a.lock:
            self.api(path[5:], query)
        held, self.deferred = self.deferred, None
        time.sleep(delay / 1000.0)
        for args in held:
            self.reply(*args)
        return None

    def notification(self, q, data):
        a = self.acct
        reg = q.get("registration_id", [""])[0]
        with a.lock:
            a.polls.append({"method": self.command, "path": self.path})
            if self.command == "POST":
                if data.decode("utf-8", "replace") != SUBSCRIPTION:
                    return self.reply(400, {"error": "unexpected subscription"})
                a.next_reg += 1
                r = "reg-%d" % a.next_reg
                a.regs.add(r)
                a.reg_start[r] = len(a.events)
                sep = ": " if a.switches["reg_blank"] else ":"
                return self.reply(201, '{"registration_id"%s"%s"}' % (sep, r))
            if self.command == "DELETE":
                a.regs.discard(reg)
                return self.reply(200, {"ok": True})
            if reg not in a.regs:
                return self.reply(404, {"error": "unknown registration"})
            if a.switches["poll_status"]:
                return self.reply(a.switches["poll_status"], {"error": "poll refused"})
        last = q.get("last_notification", [""])[0]
        start = int(last[1:]) if last.startswith("u") and last[1:].isdigit() else a.reg_start.get(reg, 0)
        end = time.time() + min(float(a.switches["poll_hold_s"]), 50.0)
        with a.cond:
            while len(a.events) <= start and time.time() < end and reg in a.regs:
                a.cond.wait(max(0.0, min(0.2, end - time.time())))
            evs = a.events[start:]
            uid = evs[-1]["uid"] if evs else "u%d" % start
        return self.reply(200, {"uid": uid, "events": evs})

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
        if (m == "POST" and path == "sync/files") or \
                (m == "PUT" and len(parts) == 3 and parts[:2] == ["sync", "files"] and "old_directory" not in q):
            return self.upload(parts[2] if m == "PUT" else None, q)
        if m == "POST" and path == "search":
            return self.search()
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
        if len(parts) >= 4 and parts[0] == "v1" and parts[1] in ("assets", "collections") and m == "GET":
            # an item's metadata, and its rootcontext (its parents from the root down)
            it = a.items.get(parts[2])
            if it is None or it["dir"] != (parts[1] == "collections"):
                return self.reply(404, {"error": "no such asset"})
            if parts[3:] == ["metadata"]:
                md = {"name": it["name"], "modified": iso(it["modified"]), "created": iso(it["created"])}
                if not it["dir"]:
                    md["size"] = len(it["data"])
                return self.reply(200, md)
            if parts[3:] == ["metadata", "rootcontext"]:
                chain = []
                p = it["parent"]
                while p:
                    chain.insert(0, {"id": a.v1(p)})
                    p = a.items[p]["parent"]
                return self.reply(200, {"value": chain})
            return self.reply(404, {"error": "unknown resource"})
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
                tid = a.tid()
                ne = self.headers.get("X-Cirrolith-No-Events") == "true"
                res = a.v1(i)
                a.remove(i)
                a.emit("update", res + "/metadata/trashed", tid, {"value": "true"}, ne)
                a.emit("delete", res, tid, None, ne)
                st = a.switches["delete_status"]
                return self.reply(st, b"" if st == 204 else {"ok": True}, {"x-cirrolith-tid": tid})
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
                tid = a.tid()
                ne = self.headers.get("X-Cirrolith-No-Events") == "true"
                if dest != old:
                    a.added(i, tid, ne)
                if "name" in q:
                    a.emit("update", a.v1(i) + "/metadata/name", tid, {"value": name}, ne)
                return self.reply(200, {"ok": True}, {"x-cirrolith-tid": tid})
        if m == "POST" and path == "sync/directories":
            name = q.get("name", [""])[0]
            parent = q.get("directory", [""])[0]
            if not name or parent not in a.items or not a.items[parent]["dir"]:
                return self.reply(400, {"error": "bad directory request"})
            if any(a.items[c]["name"].lower() == name.lower() for c in a.items[parent]["children"]):
                return self.reply(403, {"error": "name already exists in directory"})
            i = a.add(parent, name, True)
            tid = a.tid()
            a.added(i, tid, self.headers.get("X-Cirrolith-No-Events") == "true")
            return self.reply(201, {"ok": True}, {"Location": a.uri(i), "x-cirrolith-tid": tid})
        return self.reply(404, {"error": "unknown resource"})

    def upload_form(self, new):
        """The upload's fields from either form; (fields, None) or (None, reason)."""
        ctype = self.headers.get("Content-Type", "")
        data = self.upload_body
        raw_q = urllib.parse.urlsplit(self.path).query
        if ctype.startswith("multipart/form-data"):
            m = re.fullmatch(r"multipart/form-data; boundary=([a-z]{30})", ctype)
            if not m:
                return None, "bad multipart content type"
            if raw_q:
                return None, "query string on a multipart upload"
            b = ("--" + m.group(1)).encode()
            line = b + b"\r\n"
            pos = 0
            if not data.startswith(line):
                return None, "body does not start with the boundary"
            pos = len(line)
            f = {"form": "multipart"}
            names = (["name", "directory"] if new else []) + ["created", "modified"]
            for i, n in enumerate(names):
                head = b""
                if i == 0 and new:
                    head = b"Content-Type: text/plain;charset=utf8\r\n"
                head += b'Content-Disposition: form-data; name="' + n.encode() + b'"\r\n\r\n'
                if not data.startswith(head, pos):
                    return None, "bad head of part " + n
                pos += len(head)
                end = data.find(b"\r\n" + line, pos)
                if end < 0:
                    return None, "no boundary after part " + n
                f[n] = data[pos:end].decode("utf-8")
                pos = end + 2 + len(line)
            m2 = re.compile(rb'Content-Disposition: form-data; name="data"; filename="([^"\r\n]*)"\r\n'
                            rb'(Content-Type: application/vnd\.orvan\.lumidriftsync|Content-type: ([^\r\n]+))\r\n\r\n')
            mm = m2.match(data, pos)
            if not mm:
                return None, "bad head of the data part"
            f["filename"] = mm.group(1).decode()
            f["ctype"] = mm.group(3).decode() if mm.group(3) else "application/vnd.orvan.lumidriftsync"
            tail = b"\r\n" + b + b"--\r\n"
            if not data.endswith(tail):
                return None, "bad trailer"
            f["data"] = data[mm.end():len(data) - len(tail)]
        else:
            f = {"form": "query", "ctype": self.headers.get("Content-type", ""), "data": data}
            pairs = raw_q.split("&") if raw_q else []
            keys = [p.split("=", 1)[0] for p in pairs]
            want = (["name", "directory"] if new else []) + ["created", "modified"]
            if keys != want:
                return None, "query keys %s, expected %s" % (keys, want)
            for p in pairs:
                k, v = p.split("=", 1)
                if k in ("created", "modified") and (":" in v or "+" in v):
                    return None, "raw ':' or '+' in " + k
                f[k] = urllib.parse.unquote(v)
        for n in ("created", "modified"):
            t = parse_upload_time(f[n])
            if t is None:
                return None, "bad time form in " + n
            f[n] = t
        return f, None

    def upload(self, i, q):
        a = self.acct
        f, why = self.upload_form(i is None)
        entry = a.log[-1]
        if f is None:
            entry["upload_error"] = why
            return self.reply(400, {"error": why})
        entry["upload"] = {k: v for k, v in f.items() if k != "data"}
        entry["upload"]["size"] = len(f["data"])
        no_events = self.headers.get("X-Cirrolith-No-Events") == "true"
        if i is None:
            parent = f["directory"]
            if parent not in a.items or not a.items[parent]["dir"]:
                return self.reply(404, {"error": "no such directory"})
            if any(a.items[c]["name"].lower() == f["name"].lower() for c in a.items[parent]["children"]):
                return self.reply(403, "name already exists in directory", ctype="text/plain")
        else:
            it = a.items.get(i)
            if it is None or it["dir"]:
                return self.reply(404, {"error": "no such asset"})
            ius = self.headers.get("If-Unmodified-Since")
            if ius is not None:
                try:
                    limit = email.utils.parsedate_to_datetime(ius).timestamp()
                except (TypeError, ValueError):
                    return self.reply(400, {"error": "bad If-Unmodified-Since"})
                if limit < it["modified"]:
                    return self.reply(412, {"error": "precondition failed"})
        store = a.switches["upload_timeout"] != "nostore"
        if store:
            if i is None:
                i = a.add(parent, f["name"], False, f["data"], f["modified"])
            else:
                a.items[i]["data"] = f["data"]
                a.items[i]["modified"] = f["modified"]
            a.items[i]["created"] = f["created"]
            a.last_upload = i
            tid = a.tid()
            if self.command == "POST":
                a.added(i, tid, no_events)
            else:
                a.emit("update", a.v1(i), tid, None, no_events)
        else:
            tid = a.tid()
        if a.switches["upload_timeout"]:
            self.close_connection = True
            try:
                self.connection.shutdown(2)
            except OSError:
                pass
            return None
        hdr = {"x-cirrolith-tid": tid}
        if self.command == "POST":
            hdr["Location"] = a.uri(i)
            return self.reply(201, {"ok": True}, hdr)
        return self.reply(200, {"ok": True}, hdr)

    def search(self):
        a = self.acct
        raw_q = urllib.parse.urlsplit(self.path).query
        if not raw_q.startswith('q={"type":"application/vnd.orvan.cirrolith.protoresource","name":"') \
                or not raw_q.endswith('"}&metadata=true'):
            return self.reply(400, {"error": "bad search"})
        mode = a.switches["search_reply"]
        if mode == "empty":
            return self.reply(200, [])
        codes = a.switches["search_codes"]
        code = codes.pop(0) if codes else 201
        e = {"status": {"code": code, "message": "status %d" % code}}
        if mode != "noid":
            e["id"] = a.uri(a.last_upload) if a.last_upload else "/api/sync/files/none"
        return self.reply(200, [e])

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
                a.emit("update", a.v1(i), "ext-%d" % len(a.events))
            elif cmd == "create":
                parent, _, name = arg["path"].rpartition("/")
                d = a.find(parent)
                if d is None or not name:
                    return self.reply(404, {"error": "no such path"})
                i = a.add(d, name, bool(arg.get("dir")), arg.get("data", "").encode("utf-8"),
                          arg.get("modified", 1700000000))
                a.added(i, "ext-%d" % len(a.events))
            elif cmd == "rename":
                i = a.find(arg["path"])
                if i is None:
                    return self.reply(404, {"error": "no such path"})
                a.items[i]["name"] = arg["name"]
                a.emit("update", a.v1(i) + "/metadata/name", "ext-%d" % len(a.events), {"value": arg["name"]})
            elif cmd == "delete":
                # to the trash: out of its folder, kept (with its content) for a restore
                i = a.find(arg["path"])
                if i is None:
                    return self.reply(404, {"error": "no such path"})
                a.items[a.items[i]["parent"]]["children"].remove(i)
                a.trash[arg["path"]] = i
                a.emit("update", a.v1(i) + "/metadata/trashed", "ext-%d" % len(a.events), {"value": "true"})
            elif cmd == "restore":
                i = a.trash.pop(arg["path"], None)
                if i is None:
                    return self.reply(404, {"error": "not in the trash"})
                a.items[a.items[i]["parent"]]["children"].append(i)
                a.emit("update", a.v1(i) + "/metadata/trashed", "ext-%d" % len(a.events),
                       {"value": arg.get("value", "false")})
            elif cmd == "tree":
                lines = []

                def walk(i, prefix):
                    for c in a.items[i]["children"]:
                        it = a.items[c]
                        path = prefix + "/" + it["name"]
                        if it["dir"]:
                            lines.append("D %s" % path)
                        else:
                            lines.append("F %d x%s %s" % (int(it["modified"]), it["data"].hex(), path))
                        walk(c, path)
                walk(a.root, "")
                return self.reply(200, "".join(l + "\n" for l in lines).encode("utf-8"), None, "text/plain")
            elif cmd == "log":
                return self.reply(200, a.log)
            elif cmd == "events":
                for e in arg.get("events", []):
                    a.add_event(e)
            elif cmd == "polls":
                return self.reply(200, {"events": len(a.events), "polls": a.polls})
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
    srv.handle_error = lambda request, client_address: None  # a client that hangs up is no error here
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
