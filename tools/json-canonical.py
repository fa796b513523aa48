#!/usr/bin/python3
"""Prints a canonical text of each JSON file, as read by Python's json module.

usage: json-canonical.py FILE...

One line per file: the file's base name, a tab, and the canonical text (or
"ERROR <message>" when the json module rejects it). The canonical text is
compact; strings are written ASCII-only with lower-case \\uXXXX escapes (UTF-16
units, so a lone surrogate shows as itself); integers in full; other numbers as
printf "%.17g" of the double; objects keep the json module's member order (the
first position of a name, the last value given for it).
"""
import json
import os
import sys


def canon(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return "%.17g" % v
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=True)
    if isinstance(v, list):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, dict):
        return "{" + ",".join(json.dumps(k, ensure_ascii=True) + ":" + canon(x) for k, x in v.items()) + "}"
    raise TypeError(type(v))


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            data = f.read()
        try:
            text = canon(json.loads(data.decode("utf-8")))
        except (ValueError, UnicodeDecodeError, RecursionError) as e:
            text = "ERROR " + str(e).replace("\n", " ")
        print(os.path.basename(path) + "\t" + text)


if __name__ == "__main__":
    main()
