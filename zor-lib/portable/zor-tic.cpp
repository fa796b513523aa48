// Tic typed values and the keyword text.
#include "zor-tic.h"

#include "zor-unicode.h"

#include <cstring>

namespace {

// ---------------------------------------------------------------- shared helpers
bool PutBytes(ZorOutStream& out, const char* p, int n, CWideString& sErr) {
    return out.Write(p, n, sErr);
}

[[gnu::cold, gnu::noinline]] bool TicEndOfInput(ZorInStream& in, unsigned char tag, CWideString& sErr) {
    if (!in.HasError()) sErr.AppendFormat(u"Posn %ld: @%c: unexpected end of input", in.GetPosn(), tag);
    return false;
}

// Reads one byte inside a value; the end of the input there is an error.
inline bool TicGet(ZorInStream& in, unsigned char tag, unsigned char& ch, CWideString& sErr) {
    if (in.GetChar(ch, sErr)) [[likely]]
        return true;
    return TicEndOfInput(in, tag, sErr);
}

enum class NumEnd { Ok, NoDigits, Overflow, BadEnd };

// Reads an optional '-', decimal digits and the end byte; the digits must fit
// in 19 decimal places. On BadEnd `bad` holds the offending byte.
bool ReadTicDigits(ZorInStream& in, unsigned char tag, unsigned char end, int64_t& v, NumEnd& how,
                   unsigned char& bad, CWideString& sErr) {
    // A well-formed number of at most 18 digits whose end byte is already in
    // memory is read in place; anything else goes the byte-by-byte way below.
    {
        int nReady = 0;
        const unsigned char* p = in.GetReady(nReady);
        int i = 0;
        const bool bNeg = nReady > 0 && p[0] == '-';
        if (bNeg) i++;
        const int nFirst = i;
        uint64_t mag = 0;
        while (i < nReady && i - nFirst < 18 && (unsigned)(p[i] - '0') < 10u)
            mag = mag * 10 + (uint64_t)(p[i++] - '0');
        if (i < nReady && i > nFirst && p[i] == end) {
            in.TakeReady(i + 1);
            v = bNeg ? -(int64_t)mag : (int64_t)mag;
            how = NumEnd::Ok;
            return true;
        }
    }
    unsigned char ch;
    if (!TicGet(in, tag, ch, sErr)) return false;
    bool neg = false;
    if (ch == '-') {
        neg = true;
        if (!TicGet(in, tag, ch, sErr)) return false;
    }
    uint64_t mag = 0;
    int nDigits = 0;
    while (ch >= '0' && ch <= '9') {
        if (mag > (uint64_t)INT64_MAX / 10) {
            how = NumEnd::Overflow;
            return true;
        }
        mag = mag * 10 + (uint64_t)(ch - '0');
        if (mag > (uint64_t)INT64_MAX) {
            how = NumEnd::Overflow;
            return true;
        }
        nDigits++;
        if (!TicGet(in, tag, ch, sErr)) return false;
    }
    if (ch != end) {
        how = NumEnd::BadEnd;
        bad = ch;
        return true;
    }
    if (nDigits == 0) {
        how = NumEnd::NoDigits;
        return true;
    }
    v = neg ? -(int64_t)mag : (int64_t)mag;
    how = NumEnd::Ok;
    return true;
}

// The number after a prefix already checked; errors in the words of GetTicInt32No.
bool ReadTicInt64Body(ZorInStream& in, unsigned char tag, unsigned char end, int64_t& v, CWideString& sErr) {
    NumEnd how;
    unsigned char bad = 0;
    if (!ReadTicDigits(in, tag, end, v, how, bad, sErr)) return false;
    switch (how) {
        case NumEnd::Ok:
            return true;
        case NumEnd::BadEnd:
            sErr.AppendFormat(u"GetTicInt32No: posn %ld: bad char %X after Int number, '|' expected",
                              in.GetPosn(), bad);
            return false;
        case NumEnd::NoDigits:
            sErr.AppendFormat(u"Posn %ld: @%c: no digits in number", in.GetPosn(), tag);
            return false;
        case NumEnd::Overflow:
            sErr.AppendFormat(u"Posn %ld: @%c: number out of range", in.GetPosn(), tag);
            return false;
    }
    return false;
}

// The unsigned readers: "=", optional "-", digits, "|", at most `max`.
bool GetTicUnsigned(ZorInStream& in, unsigned char tag, uint32_t max, uint32_t& n, CWideString& sErr) {
    unsigned char ch;
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != '=') {
        sErr.AppendFormat(u"Posn %ld: @%c: UInt prefix wrong: %c", in.GetPosn(), tag, ch);
        return false;
    }
    int64_t v = 0;
    NumEnd how;
    unsigned char bad = 0;
    if (!ReadTicDigits(in, tag, '|', v, how, bad, sErr)) return false;
    if (how == NumEnd::BadEnd) {
        sErr.AppendFormat(u"Posn %ld: @%c: bad char %c after Int number, '|' expected", in.GetPosn(), tag,
                          bad);
        return false;
    }
    if (how == NumEnd::NoDigits) {
        sErr.AppendFormat(u"Posn %ld: @%c: no digits in number", in.GetPosn(), tag);
        return false;
    }
    if (how == NumEnd::Overflow || v > (int64_t)max) {
        sErr.AppendFormat(u"Posn %ld: @%c: number out of range", in.GetPosn(), tag);
        return false;
    }
    if (v < 0) {
        if (v < -3) {
            sErr.AppendFormat(u"Posn %ld: @%c: negative number %ld where unsigned expected", in.GetPosn(),
                              tag, v);
            return false;
        }
        n = max + 1 + (int32_t)v; // -1 -> max, -2 -> max-1, -3 -> max-2
        return true;
    }
    n = (uint32_t)v;
    return true;
}

// Reads and drops n bytes.
bool SkipBytes(ZorInStream& in, unsigned char tag, int64_t n, CWideString& sErr) {
    char buf[4096];
    while (n > 0) {
        int want = n < (int64_t)sizeof(buf) ? (int)n : (int)sizeof(buf);
        int got = in.ReadBytes(buf, want, sErr);
        if (got < 0) return false;
        if (got == 0) {
            sErr.AppendFormat(u"Posn %ld: @%c: unexpected end of input inside a string", in.GetPosn(), tag);
            return false;
        }
        n -= got;
    }
    return true;
}

// Reads the length of a text ("<n>:" after the first ':'), checking it.
bool ReadTicStringLength(ZorInStream& in, unsigned char tag, int32_t& len, CWideString& sErr) {
    if (!GetTicInt32No(in, tag, ':', ':', len, sErr)) return false;
    if (len < 0) {
        sErr.AppendFormat(u"Posn %ld: @%c: bad string length %d", in.GetPosn(), tag, len);
        return false;
    }
    if (len > kTicMaxStringLength) {
        sErr.AppendFormat(u"Posn %ld: @%c: string too long (%d bytes)", in.GetPosn(), tag, len);
        return false;
    }
    return true;
}

bool ReadStringEnd(ZorInStream& in, unsigned char tag, CWideString& sErr) {
    unsigned char ch;
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != '|') {
        sErr.AppendFormat(u"Posn %ld: @%c: string delimiter wrong: %c", in.GetPosn(), tag, ch);
        return false;
    }
    return true;
}

bool SkipBody(ZorInStream& in, unsigned char tag, unsigned char first, int depth, CWideString& sErr);

bool SkipArrayBody(ZorInStream& in, unsigned char tag, int depth, CWideString& sErr) {
    int32_t count = 0;
    if (!GetTicInt32No(in, tag, '=', '|', count, sErr)) return false;
    if (count < 0) {
        sErr.AppendFormat(u"Posn %ld: @%c: bad array count %d", in.GetPosn(), tag, count);
        return false;
    }
    for (int32_t i = 0; i < count; i++) {
        unsigned char ch;
        if (!TicGet(in, tag, ch, sErr)) return false;
        if (!SkipBody(in, tag, ch, depth + 1, sErr)) return false;
        if (!GetTicArrayElementEnd(in, sErr)) return false;
    }
    return GetTicArrayEnd(in, sErr);
}

// Skips one value whose first byte has been read.
bool SkipBody(ZorInStream& in, unsigned char tag, unsigned char first, int depth, CWideString& sErr) {
    if (depth > kTicMaxDepth) {
        sErr.AppendFormat(u"Cannot skip: Posn %ld: values nested deeper than %d levels", in.GetPosn(),
                          kTicMaxDepth);
        return false;
    }
    unsigned char ch;
    switch (first) {
        case ':': {
            int64_t len = 0;
            if (!ReadTicInt64Body(in, tag, ':', len, sErr)) return false;
            if (len < 0) {
                sErr.AppendFormat(u"Posn %ld: @%c: bad string length %ld", in.GetPosn(), tag, len);
                return false;
            }
            if (!SkipBytes(in, tag, len, sErr)) return false;
            return ReadStringEnd(in, tag, sErr);
        }
        case '=': {
            int64_t v = 0;
            return ReadTicInt64Body(in, tag, '|', v, sErr);
        }
        case '[':
            for (;;) {
                if (!TicGet(in, tag, ch, sErr)) return false;
                if (ch == ']') return true;
                unsigned char inner;
                if (!TicGet(in, ch, inner, sErr)) return false;
                if (!SkipBody(in, ch, inner, depth + 1, sErr)) return false;
            }
        case '<':
            for (;;) {
                if (!TicGet(in, tag, ch, sErr)) return false;
                if (ch == '>') return true;
                if (ch == '\n') {
                    if (!TicGet(in, tag, ch, sErr)) return false;
                    if (ch == '>') return true;
                }
                if (!SkipBody(in, tag, ch, depth + 1, sErr)) return false;
            }
        case '{':
            return SkipArrayBody(in, tag, depth, sErr);
        default:
            sErr.AppendFormat(u"Cannot skip: Posn %ld: type='%X' pfx='%X'", in.GetPosn(), tag, first);
            return false;
    }
}

// Writes the decimal form of n (at most 20 bytes) and returns its length.
int FormatDecimal(char* p, int64_t n) {
    char tmp[24];
    int k = 0;
    uint64_t m = n < 0 ? (uint64_t)0 - (uint64_t)n : (uint64_t)n;
    do {
        tmp[k++] = (char)('0' + m % 10);
        m /= 10;
    } while (m);
    int len = 0;
    if (n < 0) p[len++] = '-';
    while (k) p[len++] = tmp[--k];
    return len;
}

void AppendIndent(CNarrowString& s, int nLevel) {
    for (int i = 0; i < nLevel; i++) s.Append("  ", 2);
}

// Appends a token to an error text, shortened to 100 bytes.
void AppendTokenText(CWideString& sErr, const CNarrowString& sToken) {
    if (sToken.GetLength() > 100)
        sErr.AppendFormat(u"%s...", sToken.Left(100));
    else
        sErr.AppendFormat(u"%s", sToken);
}

bool IsBlank(unsigned char ch) {
    return ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t';
}

// The token reader. At the end of the input before a token, returns false
// with bEof set and nothing appended.
bool ReadToken(ZorInStream& in, CNarrowString& sToken, bool& bQuoted, bool& bEof, CWideString& sErr) {
    sToken.Empty();
    bQuoted = false;
    bEof = false;
    unsigned char ch;
    do {
        if (!in.GetChar(ch, sErr)) {
            bEof = !in.HasError();
            return false;
        }
    } while (IsBlank(ch));

    if (ch != '"') {
        char buf[kKeywordMaxToken + 1];
        int n = 0;
        for (;;) {
            if (n >= kKeywordMaxToken) {
                sErr.AppendFormat(u"token too long: %s", CNarrowString(buf, n));
                return false;
            }
            buf[n++] = (char)ch;
            if (!in.GetChar(ch, sErr)) {
                if (in.HasError()) return false;
                break;
            }
            if (IsBlank(ch)) break;
        }
        sToken.SetString(buf, n);
        return true;
    }

    bQuoted = true;
    char chunk[256];
    int n = 0;
    auto flush = [&]() {
        sToken.Append(chunk, n);
        n = 0;
    };
    auto fail = [&](const char16_t* what, const CNarrowString& extra) {
        flush();
        sErr += what;
        AppendTokenText(sErr, extra);
        return false;
    };
    for (;;) {
        if (!in.GetChar(ch, sErr)) {
            if (in.HasError()) return false;
            return fail(u"unterminated string: ", sToken);
        }
        if (ch == '"') break;
        if (ch == '\n') return fail(u"string terminated by newline: ", sToken);
        if (ch == '\\') {
            if (!in.GetChar(ch, sErr)) {
                if (in.HasError()) return false;
                return fail(u"unterminated string: ", sToken);
            }
            if (ch == 'n') {
                ch = '\n';
            } else if (ch == '\\' || ch == '"') {
                // as it is
            } else if (ch >= '0' && ch <= '9') {
                int v = 0, nd = 0;
                CNarrowString sSeq;
                while (ch >= '0' && ch <= '9' && nd < 4) {
                    v = v * 10 + (ch - '0');
                    nd++;
                    sSeq.AppendChar((char)ch);
                    if (!in.GetChar(ch, sErr)) {
                        if (in.HasError()) return false;
                        return fail(u"bad num seq after backslash: ", sSeq);
                    }
                }
                if (ch != ';' || nd > 3 || v > 255) {
                    sSeq.AppendChar((char)ch);
                    return fail(u"bad num seq after backslash: ", sSeq);
                }
                ch = (unsigned char)v;
            } else {
                return fail(u"bad seq after backslash: ", CNarrowString((char)ch, 1));
            }
        }
        if (sToken.GetLength() + n >= kKeywordMaxString) return fail(u"string too long: ", sToken);
        chunk[n++] = (char)ch;
        if (n == (int)sizeof(chunk)) flush();
    }
    flush();
    return true;
}

bool ReadEquals(ZorInStream& in, const char16_t* sWhat, CWideString& sErr) {
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (bQuoted || tok != "=") {
        sErr += sWhat;
        AppendTokenText(sErr, tok);
        return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- tic writers
bool PutTicText(ZorOutStream& out, const char* sText, CWideString& sErr) {
    return PutBytes(out, sText, ZorStrLen(sText), sErr);
}

bool PutTicText(ZorOutStream& out, const CNarrowString& sText, CWideString& sErr) {
    return PutBytes(out, sText.GetString(), sText.GetLength(), sErr);
}

bool PutTicBool(ZorOutStream& out, unsigned char tag, bool b, CWideString& sErr) {
    const char s[4] = {(char)tag, '=', b ? '1' : '0', '|'};
    return PutBytes(out, s, 4, sErr);
}

bool PutTicInt32(ZorOutStream& out, unsigned char tag, int32_t n, CWideString& sErr) {
    char buf[16];
    buf[0] = (char)tag;
    buf[1] = '=';
    int len = 2 + FormatDecimal(buf + 2, n);
    buf[len++] = '|';
    return PutBytes(out, buf, len, sErr);
}

bool PutTicUInt16(ZorOutStream& out, unsigned char tag, uint16_t n, CWideString& sErr) {
    if (n == 0xFFFF) return PutTicInt32(out, tag, -1, sErr);
    return PutTicInt32(out, tag, (int32_t)n, sErr);
}

bool PutTicUInt32(ZorOutStream& out, unsigned char tag, uint32_t n, CWideString& sErr) {
    if (n == 0xFFFFFFFFu) return PutTicInt32(out, tag, -1, sErr);
    if (n == 0xFFFFFFFEu) return PutTicInt32(out, tag, -2, sErr);
    char buf[16];
    buf[0] = (char)tag;
    buf[1] = '=';
    int len = 2 + FormatDecimal(buf + 2, n);
    buf[len++] = '|';
    return PutBytes(out, buf, len, sErr);
}

bool PutTicString(ZorOutStream& out, const CNarrowString& s, CWideString& sErr) {
    // Never write what the reader would refuse: the file would be unreadable.
    if (s.GetLength() > kTicMaxStringLength) {
        sErr.AppendFormat(u"string too long to store (%d bytes)", s.GetLength());
        return false;
    }
    char head[16];
    head[0] = ':';
    int len = 1 + FormatDecimal(head + 1, s.GetLength());
    head[len++] = ':';
    return PutBytes(out, head, len, sErr) && PutBytes(out, s.GetString(), s.GetLength(), sErr) &&
           out.PutChar('|', sErr);
}

bool PutTicWString(ZorOutStream& out, const CWideString& s, CWideString& sErr) {
    return PutTicString(out, WideToUtf8(s), sErr);
}

bool PutTicRecordBegin(ZorOutStream& out, unsigned char tag, CWideString& sErr) {
    return out.PutChar(tag, sErr) && out.PutChar('[', sErr);
}
bool PutTicRecordBegin(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar('[', sErr);
}
bool PutTicRecordEnd(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar(']', sErr);
}
bool PutTicListBegin(ZorOutStream& out, unsigned char tag, CWideString& sErr) {
    return out.PutChar(tag, sErr) && out.PutChar('<', sErr);
}
bool PutTicListBegin(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar('<', sErr);
}
bool PutTicListEnd(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar('>', sErr);
}
bool PutTicArrayBegin(ZorOutStream& out, unsigned char tag, int nCount, CWideString& sErr) {
    CNarrowString s;
    s.Format("%c{=%d|", (char)tag, nCount);
    return PutTicText(out, s, sErr);
}
bool PutTicArrayElementEnd(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar('|', sErr);
}
bool PutTicArrayEnd(ZorOutStream& out, CWideString& sErr) {
    return out.PutChar('}', sErr);
}

// ---------------------------------------------------------------- tic readers
void GetTicPrefixFailed(ZorInStream& in, bool bGot, unsigned char ch, unsigned char expected,
                        CWideString& sErr) {
    if (!bGot) {
        if (!in.HasError())
            sErr.AppendFormat(u"GetTicPrefix: Posn %ld: unexpected end of input, '%c' expected", in.GetPosn(),
                              expected);
        return;
    }
    sErr.AppendFormat(u"GetTicPrefix: Posn %ld: bad type '%c' (%X), '%c' expected", in.GetPosn(), ch, ch,
                      expected);
}

bool GetTicBool(ZorInStream& in, unsigned char tag, unsigned char& b, CWideString& sErr) {
    unsigned char ch;
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != '=') {
        sErr.AppendFormat(u"Posn %ld: @%c: Bool prefix wrong: %c", in.GetPosn(), tag, ch);
        return false;
    }
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != '0' && ch != '1') {
        sErr.AppendFormat(u"Posn %ld: @%c: bad char %c, '0/1' expected", in.GetPosn(), tag, ch);
        return false;
    }
    unsigned char v = ch == '1' ? 1 : 0;
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != '|') {
        sErr.AppendFormat(u"Posn %ld: @%c: bad char %c after Int number, '|' expected", in.GetPosn(), tag,
                          ch);
        return false;
    }
    b = v;
    return true;
}

bool GetTicBool(ZorInStream& in, unsigned char tag, bool& b, CWideString& sErr) {
    unsigned char v = 0;
    if (!GetTicBool(in, tag, v, sErr)) return false;
    b = v != 0;
    return true;
}

bool GetTicInt32No(ZorInStream& in, unsigned char tag, unsigned char prefix, unsigned char end, int32_t& n,
                   CWideString& sErr) {
    unsigned char ch;
    if (!TicGet(in, tag, ch, sErr)) return false;
    if (ch != prefix) {
        sErr.AppendFormat(u"Posn %ld: @%c: Int prefix wrong '%c', expected '%c'", in.GetPosn(), tag, ch,
                          prefix);
        return false;
    }
    int64_t v = 0;
    if (!ReadTicInt64Body(in, tag, end, v, sErr)) return false;
    if (v < INT32_MIN || v > INT32_MAX) {
        sErr.AppendFormat(u"Posn %ld: @%c: number out of range", in.GetPosn(), tag);
        return false;
    }
    n = (int32_t)v;
    return true;
}

bool GetTicInt32(ZorInStream& in, unsigned char tag, int32_t& n, CWideString& sErr) {
    return GetTicInt32No(in, tag, '=', '|', n, sErr);
}

bool GetTicUInt16(ZorInStream& in, unsigned char tag, uint16_t& n, CWideString& sErr) {
    uint32_t v = 0;
    if (!GetTicUnsigned(in, tag, 0xFFFF, v, sErr)) return false;
    n = (uint16_t)v;
    return true;
}

bool GetTicUInt32(ZorInStream& in, unsigned char tag, uint32_t& n, CWideString& sErr) {
    return GetTicUnsigned(in, tag, 0xFFFFFFFFu, n, sErr);
}

bool GetTicString(ZorInStream& in, unsigned char tag, CNarrowString& s, CWideString& sErr) {
    int32_t len = 0;
    if (!ReadTicStringLength(in, tag, len, sErr)) return false;
    // The text grows with the bytes that actually arrive, so a large length
    // in a short input allocates nothing big.
    CNarrowString text;
    char buf[65536];
    int remaining = len;
    while (remaining > 0) {
        int want = remaining < (int)sizeof(buf) ? remaining : (int)sizeof(buf);
        int got = in.ReadBytes(buf, want, sErr);
        if (got < 0) return false;
        if (got == 0) {
            sErr.AppendFormat(u"Posn %ld: @%c: unexpected end of input inside a string", in.GetPosn(), tag);
            return false;
        }
        text.Append(buf, got);
        remaining -= got;
    }
    if (!ReadStringEnd(in, tag, sErr)) return false;
    s = std::move(text);
    return true;
}

bool GetTicWString(ZorInStream& in, unsigned char tag, CWideString& s, CWideString& sErr) {
    CNarrowString u;
    if (!GetTicString(in, tag, u, sErr)) return false;
    s = Utf8ToWide(u);
    return true;
}

bool GetTicChar(ZorInStream& in, unsigned char tag, unsigned char& ch, CWideString& sErr) {
    return TicGet(in, tag, ch, sErr);
}

bool SkipTicValue(ZorInStream& in, unsigned char tag, CWideString& sErr) {
    unsigned char first;
    if (!TicGet(in, tag, first, sErr)) return false;
    return SkipBody(in, tag, first, 0, sErr);
}

bool SkipTicElement(ZorInStream& in, unsigned char tag, unsigned char first, CWideString& sErr) {
    return SkipBody(in, tag, first, 0, sErr);
}

void GetTicTagAtEnd(ZorInStream& in, unsigned char end, CWideString& sErr) {
    if (!in.HasError())
        sErr.AppendFormat(u"Posn %ld: unexpected end of input, tag or '%c' expected", in.GetPosn(), end);
}

bool GetTicListNext(ZorInStream& in, bool& bEnd, CWideString& sErr) {
    unsigned char ch;
    for (int i = 0; i < 2; i++) {
        if (!in.GetChar(ch, sErr)) {
            if (!in.HasError())
                sErr.AppendFormat(u"Posn %ld: unexpected end of input inside a list, '>' expected",
                                  in.GetPosn());
            return false;
        }
        if (ch == '\n' && i == 0) continue;
        break;
    }
    bEnd = ch == '>';
    if (!bEnd) in.UngetChar(ch);
    return true;
}

bool GetTicArrayBegin(ZorInStream& in, unsigned char tag, int& nCount, CWideString& sErr) {
    if (!GetTicPrefix(in, '{', sErr)) return false;
    int32_t n = 0;
    if (!GetTicInt32No(in, tag, '=', '|', n, sErr)) return false;
    if (n < 0) {
        sErr.AppendFormat(u"Posn %ld: @%c: bad array count %d", in.GetPosn(), tag, n);
        return false;
    }
    nCount = n;
    return true;
}

// Reads one closing character of a counted array; what names the place in
// the message ("bad char after array element: ", "bad char after array: ").
static bool GetTicArrayCloser(ZorInStream& in, unsigned char want, const char16_t* what, CWideString& sErr) {
    unsigned char ch;
    if (!in.GetChar(ch, sErr)) {
        if (!in.HasError()) {
            sErr += what;
            sErr += u"end of input";
        }
        return false;
    }
    if (ch != want) {
        sErr += what;
        sErr.AppendChar((char16_t)ch);
        return false;
    }
    return true;
}

bool GetTicArrayElementEnd(ZorInStream& in, CWideString& sErr) {
    return GetTicArrayCloser(in, '|', u"bad char after array element: ", sErr);
}

bool GetTicArrayEnd(ZorInStream& in, CWideString& sErr) {
    return GetTicArrayCloser(in, '}', u"bad char after array: ", sErr);
}

// ---------------------------------------------------------------- keyword writers
CNarrowString QuoteKeywordString(const CNarrowString& s) {
    CNarrowString q;
    q.Preallocate(s.GetLength() + 2);
    q.AppendChar('"');
    const unsigned char* p = (const unsigned char*)s.GetString();
    for (int i = 0; i < s.GetLength(); i++) {
        unsigned char b = p[i];
        if (b == '\\' || b == '"') {
            q.AppendChar('\\');
            q.AppendChar((char)b);
        } else if (b == '\n') {
            q.Append("\\n", 2);
        } else if (b >= 0x20 && b <= 0x7F) {
            q.AppendChar((char)b);
        } else {
            q.AppendFormat("\\%u;", (unsigned)b);
        }
    }
    q.AppendChar('"');
    return q;
}

bool PutNameValueBool(ZorOutStream& out, const char* sKey, int nLevel, bool b, CWideString& sErr) {
    CNarrowString s;
    AppendIndent(s, nLevel);
    s.Append(sKey);
    s.Append(b ? " = Yes" : " = No");
    return PutTicText(out, s, sErr);
}

bool PutNameValueInt(ZorOutStream& out, const char* sKey, int nLevel, int32_t n, CWideString& sErr) {
    CNarrowString s;
    AppendIndent(s, nLevel);
    s.Append(sKey);
    s.AppendFormat(" = %d\n", n);
    return PutTicText(out, s, sErr);
}

bool PutNameValueString(ZorOutStream& out, const char* sKey, int nLevel, const CNarrowString& v,
                        CWideString& sErr) {
    // Never write what the reader would refuse: the file would be unreadable.
    if (v.GetLength() >= kKeywordMaxString) {
        sErr.AppendFormat(u"string too long to store (%d bytes)", v.GetLength());
        return false;
    }
    CNarrowString s;
    AppendIndent(s, nLevel);
    if (sKey) {
        s.Append(sKey);
        s.Append(" = ", 3);
    }
    s.Append(QuoteKeywordString(v));
    s.AppendChar('\n');
    return PutTicText(out, s, sErr);
}

bool PutNameValueWString(ZorOutStream& out, const char* sKey, int nLevel, const CWideString& v,
                         CWideString& sErr) {
    return PutNameValueString(out, sKey, nLevel, WideToUtf8(v), sErr);
}

bool PutNameValueStringList(ZorOutStream& out, const char* sKey, int nLevel, const CListT<CWideString>& list,
                            CWideString& sErr) {
    CNarrowString s(sKey);
    s.Append(" = (\n", 5);
    if (!PutTicText(out, s, sErr)) return false;
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        if (!PutNameValueWString(out, nullptr, nLevel, list.GetNext(pos), sErr)) return false;
    }
    return PutTicText(out, ") ", sErr);
}

// ---------------------------------------------------------------- keyword readers
bool ReadSettingsToken(ZorInStream& in, CNarrowString& sToken, bool& bQuoted, CWideString& sErr) {
    bool bEof = false;
    if (ReadToken(in, sToken, bQuoted, bEof, sErr)) return true;
    if (bEof) sErr.AppendFormat(u"unexpected end of input at posn %ld", in.GetPosn());
    return false;
}

bool ReadObjectPrefix(ZorInStream& in, const char* sName, CWideString& sErr) {
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (!bQuoted && tok == "=" && !ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    CNarrowString want;
    want.Format("<%s>", sName);
    if (bQuoted || tok != want) {
        sErr.AppendFormat(u"Bad object prefix '%S', '%S' expected", tok, want);
        return false;
    }
    return true;
}

bool ReadNameValueBool(ZorInStream& in, const char* sKey, unsigned char& b, CWideString& sErr) {
    if (!ReadEquals(in, u"expecting '=', getting: ", sErr)) return false;
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (bQuoted) {
        sErr += u"string where bool expected: ";
        AppendTokenText(sErr, tok);
        return false;
    }
    if (tok == "T" || tok == "Yes") {
        b = 1;
    } else if (tok == "F" || tok == "No") {
        b = 0;
    } else {
        sErr.AppendFormat(u"Name %S = Bool: bad value %s", sKey, tok);
        return false;
    }
    return true;
}

bool ReadNameValueBool(ZorInStream& in, const char* sKey, bool& b, CWideString& sErr) {
    unsigned char v = 0;
    if (!ReadNameValueBool(in, sKey, v, sErr)) return false;
    b = v != 0;
    return true;
}

bool ReadNameValueInt(ZorInStream& in, int32_t& n, CWideString& sErr) {
    if (!ReadEquals(in, u"expecting '=', getting: ", sErr)) return false;
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (bQuoted) {
        sErr += u"string where number expected: ";
        AppendTokenText(sErr, tok);
        return false;
    }
    const char* p = tok.GetString();
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    int64_t v = 0;
    int nd = 0;
    for (; *p >= '0' && *p <= '9'; p++, nd++) {
        v = v * 10 + (*p - '0');
        if (v > (int64_t)INT32_MAX + 1) break;
    }
    if (neg) v = -v;
    if (nd == 0 || *p != 0 || v < INT32_MIN || v > INT32_MAX) {
        sErr += u"bad number: ";
        AppendTokenText(sErr, tok);
        return false;
    }
    n = (int32_t)v;
    return true;
}

bool ReadNameValueString(ZorInStream& in, CNarrowString& s, CWideString& sErr) {
    if (!ReadEquals(in, u"expecting '=', getting: ", sErr)) return false;
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (!bQuoted) {
        sErr += u"got non-string token where string expected: ";
        AppendTokenText(sErr, tok);
        return false;
    }
    s = std::move(tok);
    return true;
}

bool ReadNameValueWString(ZorInStream& in, CWideString& s, CWideString& sErr) {
    CNarrowString u;
    if (!ReadNameValueString(in, u, sErr)) return false;
    s = Utf8ToWide(u);
    return true;
}

bool SkipNameValue(ZorInStream& in, const CNarrowString& sKey, CWideString& sErr) {
    (void)sKey; // the messages do not name the key
    CNarrowString tok;
    bool bQuoted = false, bEof = false;
    if (!ReadToken(in, tok, bQuoted, bEof, sErr)) {
        if (bEof) sErr += u"expected '=' when skipping, got EOF";
        return false;
    }
    if (bQuoted || tok != "=") {
        sErr += u"expected '=' when skipping, got ";
        AppendTokenText(sErr, tok);
        return false;
    }
    if (!ReadToken(in, tok, bQuoted, bEof, sErr)) {
        if (bEof) sErr += u"EOF when skipping";
        return false;
    }
    if (bQuoted) return true;
    bool bBlock = tok.GetLength() >= 3 && tok[0] == '<' && tok[1] != '/' && tok.GetLast() == '>';
    if (!bBlock && tok != "(") return true;
    // A block: count nested openings and closings until the block closes. A
    // string list: read up to its ")".
    int depth = 1;
    for (;;) {
        if (!ReadToken(in, tok, bQuoted, bEof, sErr)) {
            if (bEof) sErr += u"premature EOF when skipping";
            return false;
        }
        if (bQuoted) continue;
        if (!bBlock) {
            if (tok == ")") return true;
            continue;
        }
        if (tok.GetLength() >= 3 && tok[0] == '<' && tok.GetLast() == '>') {
            if (tok[1] == '/') {
                if (--depth == 0) return true;
            } else if (++depth > kTicMaxDepth) {
                sErr.AppendFormat(u"blocks nested deeper than %d levels when skipping", kTicMaxDepth);
                return false;
            }
        }
    }
}

bool ReadStringList(ZorInStream& in, CListT<CWideString>& list, CWideString& sErr) {
    list.RemoveAll();
    if (!ReadEquals(in, u"expecting '=', getting: ", sErr)) return false;
    CNarrowString tok;
    bool bQuoted;
    if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
    if (bQuoted || tok != "(") {
        sErr += u"Bad start of string list, expecting '(': ";
        AppendTokenText(sErr, tok);
        return false;
    }
    for (;;) {
        if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
        if (!bQuoted) {
            if (tok == ")") return true;
            sErr += u"expecting string in strlist, getting: ";
            AppendTokenText(sErr, tok);
            return false;
        }
        list.AddTail(Utf8ToWide(tok));
    }
}
