#!/usr/bin/python3
"""A TCP server on 127.0.0.1 that replays scripted bytes, for tests of the
HTTP client's framing (malformed and unusual replies).

Usage: http-byte-server.py SCRIPT.json LOG.jsonl [MAX_SECONDS]

SCRIPT is a JSON object {"connections": [conn, ...]}; the n-th accepted
connection runs conn n (the last one is reused when more connections come).
A conn is a list of steps:
  {"read": "request"}   read one request head and its Content-Length body
  {"read": "head"}      read one request head only
  {"read": N}           read N bytes
  {"send": TEXT, "repeat": K}  send TEXT (code points 0-255 are the bytes) K times;
                        "%PORT%" in TEXT becomes the server's port
  {"sleep": MS}         wait
  {"close": true}       close the connection (also the end of the list)
  {"drain": true}       read until the peer closes
Every request read is appended to LOG as one JSON line
{"conn": n, "head": TEXT, "body_len": N}; every accept adds {"accept": n}.
The port is printed on the first line of standard output. The server ends
after MAX_SECONDS (default 60) or when standard input closes.
"""
import json
import socket
import sys
import threading
import time


def read_head(conn, buf):
    while b"\r\n\r\n" not in buf:
        data = conn.recv(65536)
        if not data:
            return None, buf
        buf += data
    i = buf.index(b"\r\n\r\n") + 4
    return buf[:i], buf[i:]


def read_n(conn, buf, n):
    while len(buf) < n:
        data = conn.recv(65536)
        if not data:
            break
        buf += data
    return buf[:n], buf[n:]


def content_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                return int(value.strip())
            except ValueError:
                return 0
    return 0


class Server:
    def __init__(self, script, log_path):
        self.script = script
        self.log = open(log_path, "a", buffering=1)
        self.lock = threading.Lock()
        self.count = 0

    def write_log(self, rec):
        with self.lock:
            self.log.write(json.dumps(rec) + "\n")

    def serve(self, conn, n):
        conns = self.script["connections"]
        steps = conns[min(n, len(conns) - 1)] if conns else []
        buf = b""
        try:
            for step in steps:
                if "read" in step:
                    what = step["read"]
                    if what in ("request", "head"):
                        head, buf = read_head(conn, buf)
                        if head is None:
                            break
                        blen = 0
                        if what == "request":
                            blen = content_length(head)
                            if head.lower().find(b"expect: 100-continue") >= 0:
                                pass  # the script decides when to answer
                            else:
                                _, buf = read_n(conn, buf, blen)
                        self.write_log({"conn": n, "head": head.decode("latin-1"), "body_len": blen})
                    else:
                        data, buf = read_n(conn, buf, int(what))
                        self.write_log({"conn": n, "body_len": len(data)})
                elif "send" in step:
                    text = step["send"].replace("%PORT%", str(self.port))
                    data = text.encode("latin-1") * int(step.get("repeat", 1))
                    conn.sendall(data)
                elif "sleep" in step:
                    time.sleep(step["sleep"] / 1000.0)
                elif "drain" in step:
                    conn.settimeout(10)
                    while conn.recv(65536):
                        pass
                elif "close" in step:
                    break
        except OSError:
            pass
        finally:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()

    def run(self, max_seconds):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        sock.listen(16)
        self.port = sock.getsockname()[1]
        print(self.port, flush=True)
        deadline = time.time() + max_seconds
        threading.Thread(target=self.watch_stdin, daemon=True).start()
        sock.settimeout(0.2)
        while time.time() < deadline and not self.stop:
            try:
                conn, _ = sock.accept()
            except socket.timeout:
                continue
            conn.settimeout(max(1.0, deadline - time.time()))
            n = self.count
            self.count += 1
            self.write_log({"accept": n})
            threading.Thread(target=self.serve, args=(conn, n), daemon=True).start()
        sock.close()

    stop = False

    def watch_stdin(self):
        try:
            sys.stdin.read()
        except OSError:
            pass
        self.stop = True


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        script = json.load(f)
    max_seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60.0
    Server(script, sys.argv[2]).run(max_seconds)


if __name__ == "__main__":
    main()
