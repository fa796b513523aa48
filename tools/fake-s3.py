#!/usr/bin/python3
"""A scripted S3 peer for the S3 back-end's tests (standard library only).

It keeps buckets and objects in memory (listings with prefix, delimiter,
marker and max-keys; ranged GET; copy; multipart upload and abort) and
checks every request's signature (version 2, computed here) before anything
else: a bad one gets 403 SignatureDoesNotMatch.

A script (JSON, --script) queues answers that take precedence over the
store: a list of rules, each
    {"method": "GET", "path": "<regular expression on the raw request path>",
     "times": 1, "action": "reply" | "drop" | "cut",
     "status": 500, "headers": {"Name": "value"}, "body": "<text>"}
"drop" closes the connection without an answer, "cut" after the first bytes
of a 100-byte body, "endless" answers a listing page that is always
truncated: "keys" (default 1) new keys k00000001, k00000002, ... after the
request's marker, and the last of them as NextMarker; "flood" answers the
rule's status and headers without a length, then bytes until the client goes
away ("bytes", default 64 MiB, at most); "overwrite" answers from the store,
then replaces the object with "size" bytes of the rule's "fill" character (as
another client's upload would). A GET with "If-Match" of another ETag than the
object's is answered 412 PreconditionFailed. A rule applies to the next "times"
requests it matches (method and path are optional); the store answers when no
rule matches.

Every request is appended to the log (--log), one line each:
    <method> <raw path> sig=<ok|bad> host=<host> [range=<Range>] [if-match=<ETag>] len=<body bytes> [body=<POST body>]
The port is printed on the first line of standard output.

Usage: fake-s3.py [--port 0] [--key K] [--secret S] [--bucket NAME]...
                  [--page-size N] [--script FILE] [--log FILE] [--host-suffix .localhost]
                  [--mtime EPOCH]
"""
import argparse
import base64
import hashlib
import hmac
import json
import re
import sys
import threading
import time
import urllib.parse
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SUBRESOURCES = {"acl", "lifecycle", "location", "logging", "notification", "partNumber", "policy",
                "requestPayment", "torrent", "uploadId", "uploads", "versionId", "versioning",
                "versions", "website", "delete", "cors", "tagging"}


class Store:
    def __init__(self, buckets):
        self.lock = threading.Lock()
        self.buckets = {b: {} for b in buckets}
        self.uploads = {}
        self.next_upload = 1


def xml_escape(s):
    return (s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(t))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FakeS3/1.0"

    def log_message(self, fmt, *args):
        pass

    def now(self):
        """The time a stored object takes (--mtime, else the clock's)."""
        return self.server.cfg.mtime if self.server.cfg.mtime is not None else time.time()

    # ------------------------------------------------------------ plumbing
    def answer(self, status, body=b"", headers=None, head_only=False):
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        hdrs = dict(headers or {})
        hdrs.setdefault("Content-Length", str(len(body)))
        for k, v in hdrs.items():
            self.send_header(k, v)
        self.end_headers()
        if body and not head_only:
            self.wfile.write(body)

    def error(self, status, code, message, head_only=False):
        body = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>%s</Code><Message>%s</Message>"
                "<Resource>%s</Resource><RequestId>0</RequestId></Error>"
                % (code, xml_escape(message), xml_escape(self.path)))
        self.answer(status, body, {"Content-Type": "application/xml"}, head_only)

    def record(self, sig_ok, body):
        cfg = self.server.cfg
        line = "%s %s sig=%s host=%s" % (self.command, self.path, "ok" if sig_ok else "bad",
                                        self.headers.get("Host", ""))
        if self.headers.get("Range"):
            line += " range=" + self.headers["Range"]
        if self.headers.get("If-Match"):
            line += " if-match=" + self.headers["If-Match"]
        line += " len=%d" % len(body)
        if self.command == "POST" and body and len(body) < 4096:
            line += " body=" + body.decode("utf-8", "replace").replace("\n", "\\n")
        with cfg.log_lock:
            if cfg.log:
                with open(cfg.log, "a", encoding="utf-8") as f:
                    f.write(line + "\n")

    def bucket_and_key(self):
        """(bucket, key, query) from the host and the raw path."""
        cfg = self.server.cfg
        raw_path, _, query = self.path.partition("?")
        host = self.headers.get("Host", "").rsplit(":", 1)[0].lower()
        vhost = None
        base = cfg.host_suffix_host
        if base and host.endswith("." + base):
            vhost = host[: -len(base) - 1]
        path = urllib.parse.unquote(raw_path)
        if vhost:
            return vhost, path[1:], query, vhost
        parts = path[1:].split("/", 1)
        return parts[0], (parts[1] if len(parts) > 1 else ""), query, None

    def string_to_sign(self, vhost):
        h = self.headers
        amz = {}
        for name in h.keys():
            ln = name.lower()
            if ln.startswith("x-amz-"):
                amz.setdefault(ln, []).append(h[name].strip())
        date = "" if "x-amz-date" in amz else h.get("Date", "")
        s = "%s\n%s\n%s\n%s\n" % (self.command, h.get("Content-MD5", ""), h.get("Content-Type", ""), date)
        for ln in sorted(amz):
            s += "%s:%s\n" % (ln, ",".join(amz[ln]))
        raw_path, _, query = self.path.partition("?")
        resource = ("/" + vhost + raw_path) if vhost else raw_path
        subs = []
        for part in query.split("&") if query else []:
            name = part.split("=", 1)[0]
            if name in SUBRESOURCES:
                subs.append(part)
        if subs:
            resource += "?" + "&".join(sorted(subs))
        return s + resource

    def signature_ok(self, vhost):
        cfg = self.server.cfg
        auth = self.headers.get("Authorization", "")
        m = re.fullmatch(r"AWS ([^:]+):(.+)", auth)
        if not m or m.group(1) != cfg.key or not self.headers.get("Date"):
            return False
        want = base64.b64encode(hmac.new(cfg.secret.encode(), self.string_to_sign(vhost).encode(),
                                         hashlib.sha1).digest()).decode()
        return hmac.compare_digest(want, m.group(2))

    def read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def scripted(self):
        cfg = self.server.cfg
        with cfg.log_lock:
            for rule in cfg.rules:
                if rule.get("times", 1) <= 0:
                    continue
                if rule.get("method") and rule["method"] != self.command:
                    continue
                if rule.get("path") and not re.search(rule["path"], self.path):
                    continue
                rule["times"] = rule.get("times", 1) - 1
                return rule
        return None

    # ------------------------------------------------------------ requests
    def handle_any(self):
        body = self.read_body()
        bucket, key, query, vhost = self.bucket_and_key()
        sig_ok = self.signature_ok(vhost)
        self.record(sig_ok, body)
        head_only = self.command == "HEAD"
        if not sig_ok:
            self.error(403, "SignatureDoesNotMatch",
                       "The request signature we calculated does not match the signature you provided.",
                       head_only)
            return
        rule = self.scripted()
        if rule:
            if rule.get("action") == "drop":
                self.close_connection = True
                return
            if rule.get("action") == "cut":
                # an answer that breaks off in its body
                self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789")
                self.wfile.flush()
                self.close_connection = True
                return
            if rule.get("action") == "flood":
                self.flood(rule.get("status", 200), rule.get("headers") or {}, rule.get("bytes", 64 << 20))
                return
            if rule.get("action") == "overwrite":
                q = urllib.parse.parse_qs(query, keep_blank_values=True)
                store = self.server.store
                with store.lock:
                    self.serve(store, bucket, key, q, body, head_only)
                    data = (rule.get("fill", "B") * rule.get("size", 0)).encode()
                    store.buckets[bucket][key] = (data, "binary/octet-stream", self.now() + 3600)
                return
            if rule.get("action") == "endless":
                self.endless_page(bucket, urllib.parse.parse_qs(query, keep_blank_values=True), rule.get("keys", 1))
                return
            self.answer(rule.get("status", 200), rule.get("body", ""), rule.get("headers"), head_only)
            return
        q = urllib.parse.parse_qs(query, keep_blank_values=True)
        store = self.server.store
        with store.lock:
            self.serve(store, bucket, key, q, body, head_only)

    def serve(self, store, bucket, key, q, body, head_only):
        cmd = self.command
        if not bucket:
            if cmd != "GET":
                return self.error(405, "MethodNotAllowed", "not allowed")
            items = "".join("<Bucket><Name>%s</Name><CreationDate>%s</CreationDate></Bucket>"
                            % (xml_escape(b), iso(0)) for b in sorted(store.buckets))
            return self.answer(200, "<ListAllMyBucketsResult><Owner><ID>1</ID></Owner><Buckets>%s</Buckets>"
                               "</ListAllMyBucketsResult>" % items, {"Content-Type": "application/xml"})
        objs = store.buckets.get(bucket)
        if objs is None and not (cmd == "PUT" and not key):
            return self.error(404, "NoSuchBucket", "The specified bucket does not exist", head_only)
        if not key:
            if cmd == "PUT":
                store.buckets.setdefault(bucket, {})
                return self.answer(200)
            if cmd in ("GET", "HEAD"):
                return self.list_bucket(objs, bucket, q, head_only)
            return self.error(405, "MethodNotAllowed", "not allowed")
        if cmd == "POST" and "uploads" in q:
            uid = "upload-%d" % store.next_upload
            store.next_upload += 1
            store.uploads[uid] = {"bucket": bucket, "key": key, "parts": {},
                                  "type": self.headers.get("Content-Type", "")}
            return self.answer(200, "<InitiateMultipartUploadResult><Bucket>%s</Bucket><Key>%s</Key>"
                               "<UploadId>%s</UploadId></InitiateMultipartUploadResult>"
                               % (xml_escape(bucket), xml_escape(key), uid), {"Content-Type": "application/xml"})
        if "uploadId" in q:
            up = store.uploads.get(q["uploadId"][0])
            if not up:
                return self.error(404, "NoSuchUpload", "The specified upload does not exist")
            if cmd == "PUT":
                n = int(q["partNumber"][0])
                etag = '"%s"' % hashlib.md5(body).hexdigest()
                up["parts"][n] = (etag, body)
                return self.answer(200, "", {"ETag": etag})
            if cmd == "DELETE":
                del store.uploads[q["uploadId"][0]]
                return self.answer(204)
            if cmd == "POST":
                data = b""
                for num, etag in re.findall(r"<PartNumber>(\d+)</PartNumber>\s*<ETag>([^<]*)</ETag>",
                                            body.decode()):
                    part = up["parts"].get(int(num))
                    if not part or part[0] != etag.replace("&quot;", '"'):
                        return self.error(400, "InvalidPart", "One or more of the specified parts could not be found")
                    data += part[1]
                objs[key] = (data, up["type"] or "binary/octet-stream", self.now())
                del store.uploads[q["uploadId"][0]]
                return self.answer(200, "<CompleteMultipartUploadResult><Key>%s</Key>"
                                   "</CompleteMultipartUploadResult>" % xml_escape(key),
                                   {"Content-Type": "application/xml"})
        if cmd == "PUT":
            src = self.headers.get("x-amz-copy-source")
            if src:
                sb, _, sk = urllib.parse.unquote(src).lstrip("/").partition("/")
                so = store.buckets.get(sb, {}).get(sk)
                if so is None:
                    return self.error(404, "NoSuchKey", "The specified key does not exist.")
                ctype = self.headers.get("Content-Type") or so[1]
                if self.headers.get("x-amz-metadata-directive") != "REPLACE":
                    ctype = so[1]
                objs[key] = (so[0], ctype, self.now())
                return self.answer(200, "<CopyObjectResult><LastModified>%s</LastModified></CopyObjectResult>"
                                   % iso(time.time()), {"Content-Type": "application/xml"})
            objs[key] = (body, self.headers.get("Content-Type", "binary/octet-stream"), self.now())
            return self.answer(200, "", {"ETag": '"%s"' % hashlib.md5(body).hexdigest()})
        if cmd == "DELETE":
            objs.pop(key, None)
            return self.answer(204)
        if cmd in ("GET", "HEAD"):
            obj = objs.get(key)
            if obj is None:
                return self.error(404, "NoSuchKey", "The specified key does not exist.", head_only)
            data, ctype, mtime = obj
            hdrs = {"Content-Type": ctype, "Last-Modified": formatdate(mtime, usegmt=True),
                    "ETag": '"%s"' % hashlib.md5(data).hexdigest()}
            match = self.headers.get("If-Match")
            if match is not None and match != hdrs["ETag"] and cmd == "GET":
                return self.error(412, "PreconditionFailed",
                                  "At least one of the pre-conditions you specified did not hold")
            m = re.fullmatch(r"bytes=(\d+)-(\d+)", self.headers.get("Range", ""))
            if m and cmd == "GET":
                a, b = int(m.group(1)), min(int(m.group(2)), len(data) - 1)
                if a >= len(data):
                    return self.error(416, "InvalidRange", "The requested range is not satisfiable")
                hdrs["Content-Range"] = "bytes %d-%d/%d" % (a, b, len(data))
                return self.answer(206, data[a:b + 1], hdrs)
            return self.answer(200, data, hdrs, head_only)
        return self.error(405, "MethodNotAllowed", "not allowed")

    def flood(self, status, headers, size):
        self.close_connection = True
        self.send_response(status)
        for k, v in list(headers.items()) + [("Connection", "close")]:
            self.send_header(k, v)
        self.end_headers()
        block = b"f" * 65536
        try:
            for _ in range(max(1, size // len(block))):
                self.wfile.write(block)
        except OSError:
            pass

    def endless_page(self, bucket, q, keys):
        prefix = q.get("prefix", [""])[0]
        marker = q.get("marker", [""])[0]
        m = re.search(r"k(\d+)$", marker)
        n = int(m.group(1)) if m else 0
        names = [prefix + "k%08d" % (n + i) for i in range(1, keys + 1)]
        out = ["<ListBucketResult><Name>%s</Name><IsTruncated>true</IsTruncated><NextMarker>%s</NextMarker>"
               % (xml_escape(bucket), xml_escape(names[-1]))]
        for name in names:
            out.append("<Contents><Key>%s</Key><LastModified>%s</LastModified><Size>1</Size></Contents>"
                       % (xml_escape(name), iso(0)))
        out.append("</ListBucketResult>")
        self.answer(200, "".join(out), {"Content-Type": "application/xml"})

    def list_bucket(self, objs, bucket, q, head_only):
        prefix = q.get("prefix", [""])[0]
        delim = q.get("delimiter", [""])[0]
        marker = q.get("marker", [""])[0]
        page = int(q.get("max-keys", [str(self.server.cfg.page_size)])[0])
        page = min(page, self.server.cfg.page_size)
        entries = []  # (name, is_prefix)
        seen = set()
        for k in sorted(objs):
            if not k.startswith(prefix):
                continue
            rest = k[len(prefix):]
            if delim and delim in rest:
                cp = prefix + rest[: rest.index(delim) + len(delim)]
                if cp not in seen:
                    seen.add(cp)
                    entries.append((cp, True))
            else:
                entries.append((k, False))
        entries = [e for e in entries if e[0] > marker]
        truncated = len(entries) > page
        entries = entries[:page]
        out = ["<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>%s</Name>"
               "<Prefix>%s</Prefix><Marker>%s</Marker><MaxKeys>%d</MaxKeys><IsTruncated>%s</IsTruncated>"
               % (xml_escape(bucket), xml_escape(prefix), xml_escape(marker), page,
                  "true" if truncated else "false")]
        if truncated and delim:
            out.append("<NextMarker>%s</NextMarker>" % xml_escape(entries[-1][0]))
        for name, is_prefix in entries:
            if is_prefix:
                out.append("<CommonPrefixes><Prefix>%s</Prefix></CommonPrefixes>" % xml_escape(name))
            else:
                data, _, mtime = objs[name]
                out.append("<Contents><Key>%s</Key><LastModified>%s</LastModified><ETag>&quot;%s&quot;</ETag>"
                           "<Size>%d</Size><StorageClass>STANDARD</StorageClass></Contents>"
                           % (xml_escape(name), iso(mtime), hashlib.md5(data).hexdigest(), len(data)))
        out.append("</ListBucketResult>")
        self.answer(200, "".join(out), {"Content-Type": "application/xml"}, head_only)

    do_GET = do_PUT = do_POST = do_DELETE = do_HEAD = handle_any


class Config:
    pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--key", default="FAKEKEY")
    ap.add_argument("--secret", default="fakesecret")
    ap.add_argument("--bucket", action="append", default=[])
    ap.add_argument("--page-size", type=int, default=1000)
    ap.add_argument("--script")
    ap.add_argument("--log")
    ap.add_argument("--mtime", type=float, help="the modification time of every stored object")
    ap.add_argument("--host-suffix", default="s3.localhost",
                    help="host of host-based addressing: <bucket>.<this>")
    args = ap.parse_args()

    cfg = Config()
    cfg.key, cfg.secret, cfg.page_size, cfg.log = args.key, args.secret, args.page_size, args.log
    cfg.host_suffix_host = args.host_suffix.lstrip(".").lower()
    cfg.mtime = args.mtime
    cfg.log_lock = threading.Lock()
    cfg.rules = []
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            cfg.rules = json.load(f)

    srv = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    srv.daemon_threads = True
    srv.cfg = cfg
    srv.store = Store(args.bucket)
    print(srv.server_address[1], flush=True)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
