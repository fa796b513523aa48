// Names that come from outside (servers, peers, stored files) shown in
// messages and logs: control characters in them are written as escapes, so
// that a name cannot move the cursor, rewrite a console line, start a new
// log line or turn the text around.
#pragma once

#include "zor-string.h"

// The text with every control character written as an escape: CR, LF and TAB
// as "\r", "\n", "\t", other units below 0x20, DEL and 0x80-0x9F as "\xNN",
// and the line and paragraph separators and bidirectional controls
// (U+2028, U+2029, U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) as "\uNNNN".
// Everything else, backslashes included, stays as it is.
CWideString EscapeControlChars(const CWideString& text);
// The same for UTF-8 (or other 8-bit) text: bytes below 0x20 and 0x7F, and
// the two-byte UTF-8 forms of 0x80-0x9F and of the marks above.
CNarrowString EscapeControlChars(const CNarrowString& text);
// The same, but a text of several lines stays in its lines: line feeds, a CR
// right before one, and tabs are kept. For the sinks (log files, terminal)
// that take whole multi-line messages.
CWideString EscapeControlCharsInLines(const CWideString& text);
CNarrowString EscapeControlCharsInLines(const CNarrowString& text);
CWideString EscapeControlChars(const CWideString& text, bool bKeepLines);
CNarrowString EscapeControlChars(const CNarrowString& text, bool bKeepLines);
