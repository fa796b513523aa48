#!/usr/bin/python3
"""A peer file server for tests, on 127.0.0.1 (or the address given), serving
one sandbox folder over the tvtp protocol; or, with --forward-to, a forwarder
that relays POST /SendReq to another instance's POST /<verb>.

Usage: tvtp-peer-server.py --root DIR --log LOG.jsonl [--faults FAULTS.json]
         [--bind ADDR] [--tls CERT KEY] [--user U --computer C --ticket T]
         [--expect-client IP:PORT] [--server-header TEXT|none] [--caps "#26=1,#39=0"]
         [--auth basic|digest --auth-user U --auth-password P] [--max-seconds N]
       tvtp-peer-server.py --forward-to PORT --log LOG.jsonl [...]

The port is printed on the first line of standard output; the server ends
after --max-seconds (default 120); tests stop it by pid.

Requests: POST /<Verb>, or POST /SendReq with the verb in the "verb" header
(then "user", "computer" and "ticket" are checked, and "client-ip" and
"client-port" when --expect-client is given). Every request needs "caller",
"x-zor-session" and "x-zor-seqno"; the seqno must be one more than the last
new request of the session, a repeat of the last one gets the stored reply
(never executed twice). Paths ("uri", "dest", "target") are percent-decoded
UTF-8, "file://" prefixes dropped, and must stay inside --root.

Every request appends one JSON line to LOG: {"verb", "session", "seqno",
"uri", "headers", "body_len", "status", "replayed"}.

FAULTS is re-read on every request: a JSON list of rules
  {"verb": V, "count": N, "action": A, ...}  (count default 1, -1 forever)
  A = "busy"      answer 519 with "progress" (the rule's "progress" text)
      "error"     answer "status" with "x-zor-err" (rule "zerr") and "reason"
      "drop"      close the connection without a reply (after "delay" seconds;
                  with "partial" after the start of the status line)
      "long"      ReadBuf/ReadBufPosn: one byte more than the length asked (or
                  the rule's "bytes" more)
      "omit"      leave out reply header "header"
      "set"       set reply header "header" to "value" (or every one of "headers")
      "body"      200 with the rule's "body" text as the reply body
      "flood"     200 without a length, then bytes until the client goes away
                  (the rule's "bytes", default 64 MiB, at most)
"""
import argparse
import base64
import hashlib
import http.client
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

ARGS = None
LOCK = threading.Lock()
SESSIONS = {}  # session id -> {"seqno": n, "reply": (status, headers, body), "files": {dix: file}, "snap": {}}


def log(rec):
    with LOCK:
        with open(ARGS.log, "a", encoding="utf-8") as f:
            f.write(json.dumps(rec) + "\n")


def take_fault(verb):
    if not ARGS.faults or not os.path.exists(ARGS.faults):
        return None
    with LOCK:
        with open(ARGS.faults, encoding="utf-8") as f:
            rules = json.load(f)
        for r in rules:
            if r.get("verb") in (verb, "*") and r.get("count", 1) != 0:
                if r.get("count", 1) > 0:
                    r["count"] = r.get("count", 1) - 1
                with open(ARGS.faults, "w", encoding="utf-8") as f:
                    json.dump(rules, f)
                return r
    return None


class Fail(Exception):
    def __init__(self, status, zerr, reason):
        super().__init__(reason)
        self.status, self.zerr, self.reason = status, zerr, reason


def decode(v):
    return urllib.parse.unquote(v or "", encoding="utf-8", errors="strict")


def enc(v):
    return urllib.parse.quote(v, safe="/:")


def local_path(uri):
    p = decode(uri)
    if p.lower().startswith("file://"):
        p = p[7:]
    if not p.startswith("/"):
        p = "/" + p
    root = os.path.realpath(ARGS.root)
    full = os.path.realpath(p)
    if full != root and not full.startswith(root + "/"):
        raise Fail(403, "5", "path outside the shared folder: " + p)
    return full


def item_tic(name, st):
    def s(tag, text):
        b = text.encode("utf-8")
        return "%s:%d:%s|" % (tag, len(b), text)
    import stat as S
    attrs = 0x10 if S.S_ISDIR(st.st_mode) else 0x80
    out = "[" + s("n", name) + "a=%d|" % attrs
    if not S.S_ISDIR(st.st_mode) and st.st_size:
        out += s("s", str(st.st_size))
    if int(st.st_mtime):
        out += "m=%d|" % int(st.st_mtime)
    return out + "]\n"


def snapshot(root):
    snap = {}
    for d, dirs, files in os.walk(root):
        for n in dirs + files:
            p = os.path.join(d, n)
            try:
                st = os.lstat(p)
                snap[p[len(root):]] = (st.st_size, st.st_mtime_ns)
            except OSError:
                pass
    return snap


def md5_upper(data):
    return hashlib.md5(data).hexdigest().upper()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            out = b""
            while True:
                line = self.rfile.readline().strip()
                n = int(line.split(b";")[0], 16)
                if n == 0:
                    self.rfile.readline()
                    return out
                out += self.rfile.read(n)
                self.rfile.readline()
        n = int(self.headers.get("Content-Length", "0"))
        return self.rfile.read(n) if n else b""

    def reply(self, status, headers, body=b""):
        self.send_response_only(status, "OK" if status == 200 else "Error")
        if ARGS.server_header != "none":
            self.send_header("Server", ARGS.server_header)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
            self.wfile.flush()
        except OSError:  # a client that refuses a body goes away before its end
            self.close_connection = True

    def flood(self, headers, size):
        self.close_connection = True
        self.send_response_only(200, "OK")
        for k, v in headers + [("Connection", "close")]:
            self.send_header(k, v)
        self.end_headers()
        block = b"f" * 65536
        try:
            for _ in range(max(1, size // len(block))):
                self.wfile.write(block)
        except OSError:
            pass

    def check_auth(self):
        if not ARGS.auth:
            return True
        h = self.headers.get("Authorization", "")
        if ARGS.auth == "basic" and h.startswith("Basic "):
            want = base64.b64encode(("%s:%s" % (ARGS.auth_user, ARGS.auth_password)).encode()).decode()
            if h[6:].strip() == want:
                return True
        if ARGS.auth == "digest" and h.startswith("Digest "):
            f = {}
            for part in h[7:].split(","):
                k, _, v = part.strip().partition("=")
                f[k] = v.strip('"')
            ha1 = hashlib.md5(("%s:%s:%s" % (ARGS.auth_user, "tvtp", ARGS.auth_password)).encode()).hexdigest()
            ha2 = hashlib.md5(("POST:%s" % f.get("uri", "")).encode()).hexdigest()
            if "qop" in f:
                want = hashlib.md5(("%s:%s:%s:%s:%s:%s" % (ha1, f.get("nonce"), f.get("nc"), f.get("cnonce"),
                                                           f.get("qop"), ha2)).encode()).hexdigest()
            else:
                want = hashlib.md5(("%s:%s:%s" % (ha1, f.get("nonce"), ha2)).encode()).hexdigest()
            if f.get("username") == ARGS.auth_user and f.get("response") == want:
                return True
        if ARGS.auth == "basic":
            ch = 'Basic realm="tvtp"'
        else:
            ch = 'Digest realm="tvtp", nonce="%s", qop="auth", algorithm=MD5' % hashlib.md5(
                str(time.time()).encode()).hexdigest()
        self.read_body()
        self.reply(401, [("WWW-Authenticate", ch)])
        return False

    def do_GET(self):
        self.reply(404, [])

    def do_POST(self):
        if not self.check_auth():
            return
        body = self.read_body()
        path = self.path
        hdr = {k.lower(): v for k, v in self.headers.items()}
        if ARGS.forward_to:
            return self.forward(hdr, body)
        if path == "/SendReq":
            verb = hdr.get("verb", "")
            try:
                for k, want in (("user", ARGS.user), ("computer", ARGS.computer), ("ticket", ARGS.ticket)):
                    if want is not None and decode(hdr.get(k, "")) != want:
                        raise Fail(403, "2", "wrong %s" % k)
                if ARGS.expect_client:
                    ip, port = ARGS.expect_client.split(":")
                    if hdr.get("client-ip") != ip or hdr.get("client-port") != port:
                        raise Fail(403, "2", "wrong client address")
            except Fail as e:
                return self.send_fail(e, hdr)
        else:
            verb = path[1:]
        self.serve(verb, hdr, body)

    def forward(self, hdr, body):
        verb = hdr.get("verb", "")
        log({"verb": verb, "forwarded": True, "path": self.path, "headers": hdr, "body_len": len(body)})
        c = http.client.HTTPConnection("127.0.0.1", ARGS.forward_to, timeout=60)
        out = {k: v for k, v in hdr.items() if k not in ("verb", "host", "content-length", "transfer-encoding",
                                                           "connection")}
        c.request("POST", "/" + verb, body=body, headers=out)
        r = c.getresponse()
        data = r.read()
        hs = [(k, v) for k, v in r.getheaders() if k.lower() not in ("content-length", "server", "connection")]
        c.close()
        self.reply(r.status, hs, data)

    def send_fail(self, e, hdr, rec=None):
        hs = [("x-zor-err", e.zerr), ("reason", e.reason)]
        for k in ("x-zor-session", "x-zor-seqno"):
            if k in hdr:
                hs.append((k, hdr[k]))
        self.reply(e.status, [(k, v.encode("utf-8").decode("latin-1")) for k, v in hs])
        if rec is not None:
            rec["status"] = e.status
            log(rec)

    def serve(self, verb, hdr, body):
        sess_id = hdr.get("x-zor-session", "")
        rec = {"verb": verb, "session": sess_id, "seqno": hdr.get("x-zor-seqno"), "uri": hdr.get("uri"),
               "headers": hdr, "body_len": len(body), "path": self.path, "replayed": False}
        try:
            if not hdr.get("caller") or not sess_id or "x-zor-seqno" not in hdr:
                raise Fail(400, "2", "missing caller, x-zor-session or x-zor-seqno")
            seqno = int(hdr["x-zor-seqno"])
        except (Fail, ValueError) as e:
            return self.send_fail(e if isinstance(e, Fail) else Fail(400, "2", "bad seqno"), hdr, rec)
        with LOCK:
            sess = SESSIONS.setdefault(sess_id, {"seqno": 0, "reply": None, "files": {}, "snap": None})
        echo = [("x-zor-session", sess_id), ("x-zor-seqno", str(seqno))]
        fault = take_fault(verb)
        if fault and fault["action"] == "drop":
            time.sleep(fault.get("delay", 0))
            rec["status"] = "drop"
            log(rec)
            self.close_connection = True
            if fault.get("partial"):
                self.wfile.write(b"HTTP/1.1 200 OK\r\nx-zor-")
                self.wfile.flush()
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            return
        if fault and fault["action"] == "busy":
            rec["status"] = 519
            log(rec)
            return self.reply(519, echo + [("progress", fault.get("progress", "working"))])
        if seqno == sess["seqno"] and sess["reply"] is not None:
            rec["replayed"] = True
            st, hs, b = sess["reply"]
            rec["status"] = st
            log(rec)
            return self.reply(st, hs, b)
        if seqno != sess["seqno"] + 1:
            return self.send_fail(Fail(400, "2", "seqno %d out of order (last %d)" % (seqno, sess["seqno"])), hdr, rec)
        if fault and fault["action"] == "flood":
            with LOCK:
                sess["seqno"] = seqno
                sess["reply"] = (500, echo + [("x-zor-err", "2"), ("reason", "flooded")], b"")
            rec["status"] = "flood"
            log(rec)
            return self.flood(echo, fault.get("bytes", 64 << 20))
        try:
            if fault and fault["action"] == "error":
                raise Fail(fault.get("status", 500), str(fault.get("zerr", "2")), fault.get("reason", "failed"))
            if fault and fault["action"] == "body":
                hs, out = [], fault.get("body", "").encode("utf-8")
            else:
                hs, out = self.run_verb(verb, hdr, body, sess, fault)
            status = 200
        except Fail as e:
            status, hs, out = e.status, [("x-zor-err", e.zerr), ("reason", e.reason)], b""
        except OSError as e:
            status, hs, out = 500, [("x-zor-err", "2"), ("reason", e.strerror or str(e))], b""
        if fault and fault["action"] == "omit":
            hs = [(k, v) for k, v in hs if k != fault["header"]]
        if fault and fault["action"] == "set":
            extra = fault["headers"] if "headers" in fault else {fault["header"]: fault["value"]}
            hs = [(k, v) for k, v in hs if k not in extra] + list(extra.items())
        hs = echo + [(k, v.encode("utf-8").decode("latin-1")) for k, v in hs]
        with LOCK:
            sess["seqno"] = seqno
            sess["reply"] = (status, hs, out)
        rec["status"] = status
        log(rec)
        self.reply(status, hs, out)
        if verb == "Disconnect":
            with LOCK:
                for f in sess["files"].values():
                    f.close()
                SESSIONS.pop(sess_id, None)

    def run_verb(self, verb, hdr, body, sess, fault):
        uri = hdr.get("uri", "")
        P = lambda: local_path(uri)
        files = sess["files"]

        def fobj():
            d = int(hdr.get("dix", "-1"))
            if d not in files:
                raise Fail(400, "2", "descriptor %d not open" % d)
            return files[d]

        def times(p):
            st = os.stat(p)
            return [("mod-time", str(int(st.st_mtime))), ("cre-time", str(int(st.st_ctime)))]

        def set_times(p):
            m = int(hdr.get("mod-time", "0"))
            os.utime(p, (m, m))
            return [], b""

        if verb == "Connect":
            root = P()
            caps = (ARGS.caps or "").replace(",", "\n")
            r = decode(uri)
            return [("g-server", enc(ARGS.g_server)), ("g-root-folder", enc(r)),
                    ("g-server-info", enc("Test server " + ARGS.g_server)), ("g-home-folder", enc(ARGS.home))], \
                caps.encode()
        if verb == "Disconnect" or verb == "StopMonitoring":
            return [], b""
        if verb == "StartMonitoring":
            sess["snap"] = (P(), snapshot(P()))
            return [], b""
        if verb == "GetChangedItems":
            out = ""
            if sess["snap"]:
                root, old = sess["snap"]
                new = snapshot(root)
                for k in sorted(set(old) | set(new)):
                    kind = 0 if k not in old else 1 if k not in new else 2 if old[k] != new[k] else None
                    if kind is not None:
                        b = k.encode("utf-8")
                        out += "[n:%d:%s|t=%d|]\n" % (len(b), k, kind)
                sess["snap"] = (root, new)
            return [], out.encode("utf-8")
        if verb == "GetFreeDiskSpace":
            u = shutil.disk_usage(ARGS.root)
            return [("available", str(u.free)), ("free", str(u.free)), ("total", str(u.total))], b""
        if verb in ("MoveFile", "MoveFolder"):
            os.replace(P(), local_path(hdr.get("dest", "")))
            return [], b""
        if verb == "CopyFileFs":
            shutil.copyfile(P(), local_path(hdr.get("dest", "")))
            return [], b""
        if verb == "DeleteFile":
            os.remove(P())
            return [], b""
        if verb == "DeleteFolder":
            os.rmdir(P())
            return [], b""
        if verb == "MakeFolder":
            p = P()
            existed = os.path.isdir(p)
            if not existed:
                os.mkdir(p)
            return [("created-already", "1" if existed else "0")], b""
        if verb == "IsFile":
            return [("is-file", "True" if os.path.isfile(P()) else "False")], b""
        if verb == "IsFolder":
            return [("is-folder", "True" if os.path.isdir(P()) else "False")], b""
        if verb in ("GetInfo", "GetLinkTargetInfo"):
            p = P()
            if not os.path.lexists(p):
                if verb == "GetInfo":
                    return [("not-found", "1")], b""
                raise Fail(404, "7", "not found")
            return [], item_tic(os.path.basename(p), os.stat(p)).encode("utf-8")
        if verb == "GetLinkInfo":
            return [("target-path", enc(os.readlink(P())))], b""
        if verb == "CreateLink":
            os.symlink(decode(hdr.get("target", "")), P())
            return [], b""
        if verb == "DownloadFile":
            with open(P(), "rb") as f:
                return [], f.read()
        if verb == "UploadFile":
            p = P()
            with open(p + ".part", "wb") as f:
                f.write(body)
            os.replace(p + ".part", p)
            return [], b""
        if verb == "GetFileCrc":
            with open(P(), "rb") as f:
                data = f.read()
            return [("read", str(len(data))), ("crc", md5_upper(data) if data else "()")], b""
        if verb in ("OpenFile", "OpenLockedFile"):
            d = int(hdr.get("dix", "-1"))
            mode = int(hdr.get("rw-mode", "1"))
            p = P()
            if mode == 2:
                f = open(p, "w+b")
            elif mode == 3:
                f = open(p, "r+b" if os.path.exists(p) else "w+b")
            else:
                f = open(p, "rb")
            if d in files:
                files[d].close()
            files[d] = f
            return [], b""
        if verb == "CloseFile":
            d = int(hdr.get("dix", "-1"))
            if d in files:
                files.pop(d).close()
            return [], b""
        if verb == "GetFilePosn":
            return [("position", str(fobj().tell()))], b""
        if verb == "SetFilePosn":
            fobj().seek(int(hdr["position"]))
            return [], b""
        if verb == "SetFileLength":
            fobj().truncate(int(hdr["length"]))
            return [], b""
        if verb in ("ReadBuf", "ReadBufPosn", "ReadBufCrc", "ReadBufCrcPosn"):
            f = fobj()
            if verb.endswith("Posn"):
                f.seek(int(hdr["position"]))
            data = f.read(int(hdr["length"]))
            if verb.startswith("ReadBufCrc"):
                return [("read", str(len(data))), ("crc", md5_upper(data))], b""
            if fault and fault["action"] == "long":
                data += b"X" * fault.get("bytes", 1)
            return [("read", str(len(data)))], data
        if verb in ("WriteBuf", "WriteBufPosn"):
            f = fobj()
            if verb == "WriteBufPosn":
                f.seek(int(hdr["position"]))
            f.write(body)
            f.flush()
            return [], b""
        if verb == "GetAttributes":
            return [("attributes", "16" if os.path.isdir(P()) else "128")], b""
        if verb in ("SetAttributes", "SetSecurityDescr"):
            P()
            return [], b""
        if verb == "GetSecurityDescr":
            P()
            return [], b""
        if verb in ("GetFileModTime", "GetFolderModTime"):
            return times(P()), b""
        if verb in ("SetFileModTime", "SetFolderModTime"):
            return set_times(P())
        if verb == "ListDir":
            p = P()
            out = ""
            for n in sorted(os.listdir(p)):
                out += item_tic(n, os.lstat(os.path.join(p, n)))
            return [], out.encode("utf-8")
        if verb == "SetRootDir":
            P()
            return [("g-server-info", enc("Test server root " + decode(uri)))], b""
        raise Fail(400, "2", "unknown verb " + verb)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", default="/nonexistent")
    ap.add_argument("--log", required=True)
    ap.add_argument("--faults")
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--tls", nargs=2)
    ap.add_argument("--user")
    ap.add_argument("--computer")
    ap.add_argument("--ticket")
    ap.add_argument("--expect-client")
    ap.add_argument("--server-header", default="ZorSocket/1.2.3.4 test")
    ap.add_argument("--caps", default="")
    ap.add_argument("--g-server", default="peer")
    ap.add_argument("--home", default="")
    ap.add_argument("--auth")
    ap.add_argument("--auth-user", default="")
    ap.add_argument("--auth-password", default="")
    ap.add_argument("--forward-to", type=int, default=0)
    ap.add_argument("--max-seconds", type=int, default=120)
    ARGS = ap.parse_args()
    srv = Server((ARGS.bind, ARGS.port), Handler)
    if ARGS.tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(ARGS.tls[0], ARGS.tls[1])
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    print(srv.server_address[1], flush=True)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    end = time.time() + ARGS.max_seconds

    while time.time() < end:
        time.sleep(0.2)
    os._exit(0)


if __name__ == "__main__":
    main()
