#include "zor-escape.h"

#include <cstdint>
#include <cstdio>

namespace {

bool IsFormatMark(uint32_t c) {
    return c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool NeedsEscape(uint32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || IsFormatMark(c);
}

// Appends the escape of c when it needs one; false when c stays as it is.
template <typename S> bool AppendEscape(S& out, uint32_t c) {
    char buf[12]; // a backslash, a letter and up to eight hex digits
    if (c == '\r') {
        out += "\\r";
    } else if (c == '\n') {
        out += "\\n";
    } else if (c == '\t') {
        out += "\\t";
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
        std::snprintf(buf, sizeof buf, "\\x%02X", (unsigned)c);
        out += buf;
    } else if (IsFormatMark(c)) {
        std::snprintf(buf, sizeof buf, "\\u%04X", (unsigned)c);
        out += buf;
    } else {
        return false;
    }
    return true;
}

// The units that stay as they are in a text kept in lines: line feeds, a CR
// right before one, and tabs.
template <typename S> bool KeptInLines(const S& text, int i) {
    const int n = text.GetLength();
    return text[i] == '\n' || text[i] == '\t' || (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n');
}

} // namespace

CWideString EscapeControlChars(const CWideString& text) {
    return EscapeControlChars(text, false);
}

CNarrowString EscapeControlChars(const CNarrowString& text) {
    return EscapeControlChars(text, false);
}

CWideString EscapeControlCharsInLines(const CWideString& text) {
    return EscapeControlChars(text, true);
}

CNarrowString EscapeControlCharsInLines(const CNarrowString& text) {
    return EscapeControlChars(text, true);
}

CWideString EscapeControlChars(const CWideString& text, bool bKeepLines) {
    const int n = text.GetLength();
    int i = 0;
    while (i < n && (!NeedsEscape(text[i]) || (bKeepLines && KeptInLines(text, i)))) i++;
    if (i == n) return text;
    CWideString out = text.Left(i);
    for (; i < n; i++) {
        CNarrowString esc;
        if (bKeepLines && KeptInLines(text, i))
            out += text[i];
        else if (AppendEscape(esc, text[i]))
            out += CWideString(esc);
        else
            out += text[i];
    }
    return out;
}

CNarrowString EscapeControlChars(const CNarrowString& text, bool bKeepLines) {
    const int n = text.GetLength();
    int i = 0;
    // Most texts hold nothing to escape: they come back as they are.
    while (i < n && (uint8_t)text[i] >= 0x20 && (uint8_t)text[i] != 0x7F && (uint8_t)text[i] != 0xC2 &&
           (uint8_t)text[i] != 0xE2)
        i++;
    if (i == n) return text;
    CNarrowString out = text.Left(i);
    for (; i < n; i++) {
        const uint8_t b = (uint8_t)text[i];
        if (bKeepLines && KeptInLines(text, i)) {
            out += (char)b;
            continue;
        }
        if (b == 0xC2 && i + 1 < n && (uint8_t)text[i + 1] >= 0x80 && (uint8_t)text[i + 1] <= 0x9F) {
            AppendEscape(out, (uint8_t)text[i + 1]);
            i++;
            continue;
        }
        if (b == 0xE2 && i + 2 < n) {
            const uint32_t c = 0x2000u | (((uint8_t)text[i + 1] & 0x3Fu) << 6) | ((uint8_t)text[i + 2] & 0x3Fu);
            if (((uint8_t)text[i + 1] & 0xC0) == 0x80 && ((uint8_t)text[i + 2] & 0xC0) == 0x80 && IsFormatMark(c)) {
                AppendEscape(out, c);
                i += 2;
                continue;
            }
        }
        if (b >= 0x80 || !AppendEscape(out, b)) out += (char)b;
    }
    return out;
}
