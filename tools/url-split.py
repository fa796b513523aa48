#!/usr/bin/python3
"""Splits URLs with urllib.parse.urlsplit, one JSON object per input line.

usage: url-split.py FILE   (one URL per line, UTF-8)

Fields: scheme, user and password (percent-decoded; null when absent), host
(urlsplit's lower-cased hostname), port (null when absent), path, query,
fragment; or {"error": message} when urlsplit refuses the URL.
"""
import json
import sys
from urllib.parse import unquote, urlsplit


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().split("\n")
    for line in lines:
        if not line:
            continue
        try:
            u = urlsplit(line)
            r = {
                "scheme": u.scheme,
                "user": None if u.username is None else unquote(u.username),
                "password": None if u.password is None else unquote(u.password),
                "host": u.hostname or "",
                "port": u.port,
                "path": u.path,
                "query": u.query,
                "fragment": u.fragment,
            }
        except ValueError as e:
            r = {"error": str(e)}
        print(json.dumps(r, ensure_ascii=True))


if __name__ == "__main__":
    main()
