#!/usr/bin/python3
"""A LAN discovery responder for tests.

Usage: tvtp-udp-responder.py --replies REPLIES.json --log LOG.jsonl
         [--bind ADDR] [--port 33338] [--reply-port 33339] [--user U] [--reply-from ADDR]
         [--max-seconds N]

Listens for "TVTPPING-U<user>" datagrams (with --user, other users are only
logged) and answers each at the sender's address and the reply port with the
scripted replies, a JSON list of
  {"kind": "NAME"|"COMP", "port": N, "name": TEXT, "pad": 36|76, "fill": " "|"\\u0000", "repeat": K}
  {"raw": TEXT}            sent as it is (code points 0-255 are the bytes)
"NAME"/"COMP" replies read "TVTP-NAME,%05d,<name>" padded with the fill
character to the pad length. Each ping appends {"from", "data"} to LOG. The
bound port is printed on the first line of standard output.
"""
import argparse
import json
import socket
import time

ap = argparse.ArgumentParser()
ap.add_argument("--replies", required=True)
ap.add_argument("--log", required=True)
ap.add_argument("--bind", default="127.0.0.1")
ap.add_argument("--port", type=int, default=33338)
ap.add_argument("--reply-port", type=int, default=33339)
ap.add_argument("--user")
ap.add_argument("--reply-from", help="send the replies from this address instead")
ap.add_argument("--max-seconds", type=int, default=60)
a = ap.parse_args()
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((a.bind, a.port))
s.settimeout(0.2)
out_sock = s
if a.reply_from:
    out_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out_sock.bind((a.reply_from, 0))
print(s.getsockname()[1], flush=True)
end = time.time() + a.max_seconds
while time.time() < end:
    try:
        data, peer = s.recvfrom(2048)
    except socket.timeout:
        continue
    text = data.decode("latin-1")
    with open(a.log, "a") as f:
        f.write(json.dumps({"from": peer[0], "data": text}) + "\n")
    if not text.startswith("TVTPPING-U") or (a.user is not None and text[10:] != a.user):
        continue
    with open(a.replies) as f:
        replies = json.load(f)
    for r in replies:
        if "raw" in r:
            out = r["raw"].encode("latin-1")
        else:
            out = ("TVTP-%s,%05d,%s" % (r["kind"], r["port"], r["name"])).encode("utf-8")
            out = out.ljust(r.get("pad", 36), r.get("fill", " ").encode("latin-1"))
        for _ in range(r.get("repeat", 1)):
            out_sock.sendto(out, (peer[0], a.reply_port))
