#!/usr/bin/python3
"""Applies the two-line fix to the installed s3rver's signature check
(lib/middleware/authentication.js). Idempotent; exits non-zero when the file
matches neither the original nor the fixed form.

1. A header-signed v2 request is checked with the Date header as its date
   line when no x-amz-date header is sent (s3rver left the line empty).
2. A bucket-level request path keeps its trailing '/' in the canonical
   resource ("/b/" for GET /b/), as S3 signs it.
"""
import sys
from pathlib import Path

FIXES = [
    ("      timestamp: undefined,\n",
     "      timestamp: mechanisms.header && !ctx.get('x-amz-date') ? ctx.get('Date') : undefined, // torvane-fix\n"),
    ("      if (ctx.params.key) {\n",
     "      if (!ctx.params.key && ctx.path.endsWith('/')) canonicalizedResource += '/'; // torvane-fix\n"
     "      if (ctx.params.key) {\n"),
]


def main():
    tools = Path(__file__).resolve().parent
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else \
        tools / "node_modules/s3rver/lib/middleware/authentication.js"
    text = path.read_text()
    out = text
    for old, new in FIXES:
        if new in out:
            continue
        if out.count(old) != 1:
            sys.exit(f"patch-s3rver: {path} matches neither the original nor the fixed form")
        out = out.replace(old, new)
    if out != text:
        path.write_text(out)
        print(f"patch-s3rver: fixed {path}")


if __name__ == "__main__":
    main()
