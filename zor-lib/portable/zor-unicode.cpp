// UTF-8/UTF-16 conversion, Windows-1252, NFC and the one case fold.
#include "zor-unicode.h"

#include "zor-debug.h"
#include "zor-fold.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

static_assert(sizeof(UChar) == sizeof(char16_t), "ICU works on UTF-16 units");

namespace {

// Table of the simple case fold for every UTF-16 unit. Built once; a unit
// whose fold lies outside the BMP (none in current Unicode data) maps to itself.
struct FoldTable {
    std::unique_ptr<char16_t[]> fold{new char16_t[0x10000]};
    FoldTable() {
        for (uint32_t c = 0; c < 0x10000; c++) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                fold[c] = (char16_t)c;
                continue;
            }
            UChar32 f = u_foldCase((UChar32)c, U_FOLD_CASE_DEFAULT);
            fold[c] = (f >= 0 && f <= 0xFFFF) ? (char16_t)f : (char16_t)c;
        }
    }
};

const FoldTable& Fold() {
    static const FoldTable t;
    return t;
}

// Bytes 0x80..0x9F of Windows-1252; 0 where the code page has no character
// (those bytes map to the C1 control of the same value, as Windows does).
const char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

inline void AppendCodePoint(CWideString& out, int32_t cp) {
    if (cp < 0x10000) {
        out.AppendChar((char16_t)cp);
    } else {
        cp -= 0x10000;
        char16_t pair[2] = {(char16_t)(0xD800 + (cp >> 10)), (char16_t)(0xDC00 + (cp & 0x3FF))};
        out.Append(pair, 2);
    }
}

} // namespace

int32_t Utf8DecodeOne(const unsigned char* s, int len, int i, int& adv) {
    unsigned char b = s[i];
    if (b < 0x80) {
        adv = 1;
        return b;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    int32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        cp = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        cp = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        adv = 1;
        return -1;
    }
    int k = 1;
    for (; k <= need; k++) {
        if (i + k >= len) break;
        unsigned char c = s[i + k];
        if (c < lo || c > hi) break;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (c & 0x3F);
    }
    adv = k;
    return k > need ? cp : -1;
}

char16_t ZorFoldUnit(char16_t c) {
    if (c < 0x80) return (char16_t)ZorFoldAscii(c);
    return Fold().fold[c];
}

char16_t ZorLowerUnit(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? (char16_t)(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    UChar32 r = u_tolower(c);
    return r <= 0xFFFF ? (char16_t)r : c;
}

char16_t ZorUpperUnit(char16_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? (char16_t)(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    UChar32 r = u_toupper(c);
    return r <= 0xFFFF ? (char16_t)r : c;
}

CWideString Utf8ToWide(const char* s, int len) {
    CWideString out;
    if (!s || len <= 0) return out;
    // Every byte gives at most one unit (a 4-byte sequence gives two).
    char16_t* p = out.GetBuffer(len);
    char16_t* start = p;
    const auto* u = (const unsigned char*)s;
    int i = 0;
    while (i < len) {
        if (u[i] < 0x80) {
            *p++ = u[i++];
            continue;
        }
        int adv;
        int32_t cp = Utf8DecodeOne(u, len, i, adv);
        if (cp < 0) {
            *p++ = 0xFFFD;
        } else if (cp < 0x10000) {
            *p++ = (char16_t)cp;
        } else {
            cp -= 0x10000;
            *p++ = (char16_t)(0xD800 + (cp >> 10));
            *p++ = (char16_t)(0xDC00 + (cp & 0x3FF));
        }
        i += adv;
    }
    int n = (int)(p - start);
    out.ReleaseBuffer(n);
    // Mostly multi-byte text: do not keep up to three times the room it needs.
    if (len > 64 && n < len / 2) return CWideString(out.GetString(), n);
    return out;
}

bool IsValidUtf8(const char* s, int len) {
    const auto* u = (const unsigned char*)s;
    for (int i = 0; i < len;) {
        int adv;
        if (Utf8DecodeOne(u, len, i, adv) < 0) return false;
        i += adv;
    }
    return true;
}

bool Utf8ToWideChecked(const char* s, int len, CWideString& out, CWideString& err) {
    out.Empty();
    if (!s || len <= 0) return true;
    const auto* u = (const unsigned char*)s;
    CWideString w;
    w.Preallocate(len);
    for (int i = 0; i < len;) {
        int adv;
        int32_t cp = Utf8DecodeOne(u, len, i, adv);
        if (cp < 0) {
            err.AppendFormat(u"bad UTF-8 sequence at pos %d in string %s", i, Utf8ToWide(s, len));
            return false;
        }
        AppendCodePoint(w, cp);
        i += adv;
    }
    out = std::move(w);
    return true;
}

void AppendWideAsUtf8(CNarrowString& out, const char16_t* s, int len) {
    if (!s || len <= 0) return;
    // First pass: the exact UTF-8 length (a lone surrogate takes the 3 bytes of U+FFFD).
    int64_t need = 0;
    for (int i = 0; i < len; i++) {
        uint32_t c = s[i];
        if (c < 0x80)
            need += 1;
        else if (c < 0x800)
            need += 2;
        else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            need += 4;
            i++;
        } else
            need += 3;
    }
    int base = out.GetLength();
    if (need > INT_MAX / 2 - base) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "string too long");
        return;
    }
    char* p = out.GetBuffer(base + (int)need) + base;
    for (int i = 0; i < len; i++) {
        uint32_t c = s[i];
        if (c < 0x80) {
            *p++ = (char)c;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // lone surrogate
        }
        if (c < 0x800) {
            *p++ = (char)(0xC0 | (c >> 6));
            *p++ = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = (char)(0xE0 | (c >> 12));
            *p++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (char)(0x80 | (c & 0x3F));
        } else {
            *p++ = (char)(0xF0 | (c >> 18));
            *p++ = (char)(0x80 | ((c >> 12) & 0x3F));
            *p++ = (char)(0x80 | ((c >> 6) & 0x3F));
            *p++ = (char)(0x80 | (c & 0x3F));
        }
    }
    out.ReleaseBuffer(base + (int)need);
}

CNarrowString WideToUtf8(const char16_t* s, int len) {
    CNarrowString out;
    AppendWideAsUtf8(out, s, len);
    return out;
}

CWideString AnsiToWide(const char* s, int len) {
    CWideString out;
    if (!s || len <= 0) return out;
    char16_t* buf = out.GetBufferSetLength(len);
    for (int i = 0; i < len; i++) {
        unsigned char b = (unsigned char)s[i];
        char16_t c = b;
        if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80]) c = kCp1252High[b - 0x80];
        buf[i] = c;
    }
    out.ReleaseBuffer(len);
    return out;
}

CNarrowString WideToAnsi(const CWideString& s) {
    CNarrowString out;
    int len = s.GetLength();
    if (!len) return out;
    char* buf = out.GetBufferSetLength(len);
    for (int i = 0; i < len; i++) {
        char16_t c = s[i];
        char b = '?';
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            b = (char)c;
        } else {
            for (int k = 0; k < 32; k++)
                if (kCp1252High[k] == c) b = (char)(0x80 + k);
            if (c >= 0x80 && c <= 0x9F && !kCp1252High[c - 0x80]) b = (char)c;
        }
        buf[i] = b;
    }
    out.ReleaseBuffer(len);
    return out;
}

CWideString Utf8OrAnsiToWide(const char* s, int len) {
    if (IsValidUtf8(s, len)) return Utf8ToWide(s, len);
    return AnsiToWide(s, len);
}

static const icu::Normalizer2* NfcInstance() {
    static const icu::Normalizer2* inst = [] {
        UErrorCode ec = U_ZERO_ERROR;
        const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(ec);
        return U_SUCCESS(ec) ? n : nullptr;
    }();
    return inst;
}

namespace {

// The length of the text's start whose units are all below U+0300, where
// nothing composes or decomposes. Four units are looked at in one step.
int LeadBelowCombining(const char16_t* p, int len) {
    int i = 0;
    for (; i + 4 <= len; i += 4) {
        const uint64_t w = ZorLoadUnits4(p + i);
        // A unit's top bit, or the carry into it of the unit plus 0x7D00: U+0300 or above.
        if (((w | ((w & ~kZorUnitHighs) + kZorUnitOnes * 0x7D00)) & kZorUnitHighs) != 0) break;
    }
    while (i < len && p[i] < 0x300) i++;
    return i;
}

} // namespace

bool IsNameNfc(const CWideString& text) {
    // Below U+0300 nothing composes or decomposes (as in NormalizeNameNfc).
    const int len = text.GetLength();
    if (LeadBelowCombining(text.GetString(), len) == len) return true;
    const icu::Normalizer2* n = NfcInstance();
    if (!n) return true;
    icu::UnicodeString u(false, (const UChar*)text.GetString(), text.GetLength());
    UErrorCode ec = U_ZERO_ERROR;
    UBool ok = n->isNormalized(u, ec);
    return U_SUCCESS(ec) && ok;
}

bool NormalizeNameNfc(CWideString& text) {
    const icu::Normalizer2* n = NfcInstance();
    if (!n) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "NFC normaliser not available");
        return false;
    }
    int len = text.GetLength();
    // Pure ASCII (the common case) is always NFC.
    const char16_t* p = text.GetString();
    if (LeadBelowCombining(p, len) == len) return true;
    icu::UnicodeString src(false, (const UChar*)p, len);
    UErrorCode ec = U_ZERO_ERROR;
    if (n->isNormalized(src, ec) && U_SUCCESS(ec)) return true;
    ec = U_ZERO_ERROR;
    icu::UnicodeString dst = n->normalize(src, ec);
    if (U_FAILURE(ec)) return false;
    text = CWideString((const char16_t*)dst.getBuffer(), dst.length());
    return true;
}
