// Text helpers and encoders.
#include "zor-text.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <cstring>
#include <sys/random.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unicode/uchar.h>

namespace {

const char kHexUpper[] = "0123456789ABCDEF";
const char kHexLower[] = "0123456789abcdef";
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int B64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Bytes that the URL encoder escapes ('%' is decided by the mode).
bool UrlNeedsEscape(unsigned char b) {
    if (b <= 32 || b > 126) return true;
    // 34-36, 38, 43, 44, 59-64, 91-94, 96, 123-125
    return std::strchr("\"#$&+,;<=>?@[\\]^`{|}", b) != nullptr;
}

// Digits of n with a separator every three digits.
CWideString Grouped(uint64_t n) {
    char16_t buf[32];
    int i = 32, digits = 0;
    do {
        if (digits && digits % 3 == 0) buf[--i] = u',';
        buf[--i] = (char16_t)(u'0' + n % 10);
        n /= 10;
        digits++;
    } while (n);
    return CWideString(buf + i, 32 - i);
}

// Three significant digits of value / 1000^k (or 1024^k), cut, never rounded up:
// whole part w, fraction f of the remainder. Returns "w", "w.f" or "w.ff".
CWideString ThreeDigits(uint64_t value, uint64_t unit) {
    uint64_t whole = value / unit;
    uint64_t rest = value % unit;
    int decimals = whole < 10 ? 2 : (whole < 100 ? 1 : 0);
    if (decimals == 0) return CWideString::Formatted(u"%llu", (unsigned long long)whole);
    uint64_t scale = decimals == 2 ? 100 : 10;
    // rest < unit <= 2^60, scale <= 100: no overflow.
    uint64_t frac = (uint64_t)((unsigned __int128)rest * scale / unit);
    return CWideString::Formatted(decimals == 2 ? u"%llu.%02llu" : u"%llu.%01llu", (unsigned long long)whole,
                                  (unsigned long long)frac);
}

} // namespace

void MakeValidFileName(CWideString& text) {
    static const char16_t kBad[] = u"\\/:*?\"<>|\r\n\t";
    int len = text.GetLength();
    bool any = false;
    for (int i = 0; i < len && !any; i++)
        for (const char16_t* p = kBad; *p; p++)
            if (text[i] == *p) any = true;
    if (any) {
        char16_t* buf = text.GetBuffer(len);
        for (int i = 0; i < len; i++)
            for (const char16_t* p = kBad; *p; p++)
                if (buf[i] == *p) buf[i] = u'_';
        text.ReleaseBuffer(len);
    }
    text.Replace(u"__", u"_");
}

void SanitizeName(CWideString& text) {
    int len = text.GetLength();
    for (int i = 0; i < len; i++) {
        char16_t c = text[i];
        bool keep;
        if (c < 0x80)
            keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ' ';
        else
            keep = !(c >= 0xD800 && c <= 0xDFFF) && u_isalnum(c);
        if (!keep) text.SetAt(i, u'-');
    }
}

CNarrowString Md5HexOfText(const CNarrowString& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(text.GetString(), (size_t)text.GetLength(), md, &n, EVP_md5(), nullptr) || n != 16)
        return CNarrowString();
    CNarrowString out;
    char* p = out.GetBufferSetLength(32);
    for (unsigned i = 0; i < 16; i++) {
        p[2 * i] = kHexLower[md[i] >> 4];
        p[2 * i + 1] = kHexLower[md[i] & 15];
    }
    out.ReleaseBuffer(32);
    return out;
}

CNarrowString Base64Encode(const void* data, size_t len) {
    if (len > (size_t)(INT_MAX / 4) * 3 - 3 || (!data && len))
        return CNarrowString("--cannot encode base64--");
    const auto* s = (const unsigned char*)data;
    int outLen = (int)((len + 2) / 3 * 4);
    CNarrowString out;
    if (!outLen) return out;
    char* p = out.GetBufferSetLength(outLen);
    size_t i = 0;
    int o = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = (uint32_t)s[i] << 16 | (uint32_t)s[i + 1] << 8 | s[i + 2];
        p[o++] = kB64[v >> 18];
        p[o++] = kB64[(v >> 12) & 63];
        p[o++] = kB64[(v >> 6) & 63];
        p[o++] = kB64[v & 63];
    }
    if (i < len) {
        uint32_t v = (uint32_t)s[i] << 16 | (i + 1 < len ? (uint32_t)s[i + 1] << 8 : 0);
        p[o++] = kB64[v >> 18];
        p[o++] = kB64[(v >> 12) & 63];
        p[o++] = i + 1 < len ? kB64[(v >> 6) & 63] : '=';
        p[o++] = '=';
    }
    out.ReleaseBuffer(outLen);
    return out;
}

CNarrowString Base64EncodeText(const CNarrowString& text) {
    return Base64Encode(text.GetString(), (size_t)text.GetLength());
}

bool Base64Decode(const char* text, int len, CNarrowString& out, CWideString& err) {
    out.Empty();
    if (!text) len = 0;
    if (len % 4) {
        err.AppendFormat(u"bad Base64 text: length %d is not a multiple of 4", len);
        return false;
    }
    int pad = 0;
    if (len && text[len - 1] == '=') pad = text[len - 2] == '=' ? 2 : 1;
    CNarrowString r;
    if (len) r.Preallocate(len / 4 * 3);
    for (int i = 0; i < len; i += 4) {
        uint32_t v = 0;
        bool last = i + 4 == len;
        for (int k = 0; k < 4; k++) {
            char c = text[i + k];
            int d = B64Value(c);
            if (d < 0) {
                if (c == '=' && last && k >= 4 - pad) {
                    d = 0;
                } else {
                    err.AppendFormat(u"bad Base64 text: bad character at pos %d", i + k);
                    return false;
                }
            }
            v = v << 6 | (uint32_t)d;
        }
        char b[3] = {(char)(v >> 16), (char)(v >> 8), (char)v};
        int n = last ? 3 - pad : 3;
        if (last && ((pad == 1 && (v & 0xFF)) || (pad == 2 && (v & 0xFFFF)))) {
            err.AppendFormat(u"bad Base64 text: non-zero bits in the padding at pos %d", i);
            return false;
        }
        r.Append(b, n);
    }
    out = std::move(r);
    return true;
}

bool UrlEncodeTo(const char* text, int len, CNarrowString& out, int mode) {
    out.Empty();
    if (mode & ~(URLENC_STOP_AT_QUERY | URLENC_PERCENT)) return false;
    if (!text || len <= 0) return true;
    CNarrowString r;
    r.Preallocate(len);
    const auto* s = (const unsigned char*)text;
    for (int i = 0; i < len; i++) {
        unsigned char b = s[i];
        if ((mode & URLENC_STOP_AT_QUERY) && (b == '?' || b == '#')) {
            r.Append(text + i, len - i);
            break;
        }
        if (UrlNeedsEscape(b) || (b == '%' && (mode & URLENC_PERCENT))) {
            char e[3] = {'%', kHexUpper[b >> 4], kHexUpper[b & 15]};
            r.Append(e, 3);
        } else {
            r.AppendChar((char)b);
        }
    }
    out = std::move(r);
    return true;
}

bool UrlEncodeAny(const CWideString& text, CNarrowString& out, int mode) {
    CNarrowString n = (mode & URLENC_UTF8) ? WideToUtf8(text) : CNarrowString(text);
    return UrlEncodeTo(n, out, mode & ~URLENC_UTF8);
}

bool UrlEncodeAny(const CNarrowString& text, CNarrowString& out, int mode) {
    return UrlEncodeTo(text, out, mode & ~URLENC_UTF8);
}

CNarrowString UrlEncode(const CNarrowString& text) {
    CNarrowString out;
    if (!UrlEncodeTo(text, out, URLENC_PERCENT)) ZorAssertFailed("zor-url", __LINE__, 0, "UrlEncode failed");
    return out;
}

CNarrowString UrlEncodeW(const CWideString& text) {
    return UrlEncode(WideToUtf8(text));
}

bool UrlDecodeToW(const CNarrowString& text, CWideString& out, CWideString& err) {
    int len = text.GetLength();
    const char* s = text.GetString();
    CNarrowString bytes;
    bytes.Preallocate(len);
    for (int i = 0; i < len; i++) {
        int hi, lo;
        if (s[i] == '%' && i + 2 < len && (hi = HexValue(s[i + 1])) >= 0 && (lo = HexValue(s[i + 2])) >= 0) {
            bytes.AppendChar((char)(hi << 4 | lo));
            i += 2;
        } else {
            bytes.AppendChar(s[i]);
        }
    }
    return Utf8ToWideChecked(bytes, out, err);
}

bool ParseUInt64(const char* text, uint64_t& value, CWideString& err) {
    const char* p = text ? text : "";
    uint64_t v = 0;
    bool ok = *p != 0;
    for (; *p && ok; p++) {
        if (*p < '0' || *p > '9') {
            ok = false;
            break;
        }
        unsigned d = (unsigned)(*p - '0');
        if (v > (UINT64_MAX - d) / 10) ok = false;
        v = v * 10 + d;
    }
    if (!ok) {
        err.AppendFormat(u"bad number: %S", text ? text : "");
        return false;
    }
    value = v;
    return true;
}

CNarrowString CodeTextPair::ToText() const {
    CNarrowString s;
    s.Format("%d.%d.%d.%d", m_nVersion[0], m_nVersion[1], m_nVersion[2], m_nVersion[3]);
    if (!m_sText.IsEmpty()) s.AppendFormat(" %s", m_sText);
    return s;
}

CNarrowString NewGuidString() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "NewGuidString: no random bytes");
        return CNarrowString();
    }
    b[6] = (unsigned char)((b[6] & 0x0F) | 0x40); // version 4
    b[8] = (unsigned char)((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    CNarrowString s;
    s.AppendChar('{');
    for (int i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.AppendChar('-');
        s.AppendChar(kHexUpper[b[i] >> 4]);
        s.AppendChar(kHexUpper[b[i] & 15]);
    }
    s.AppendChar('}');
    return s;
}

CNarrowString NewRandomHex32() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1 && getrandom(b, sizeof b, 0) != (ssize_t)sizeof b) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "NewRandomHex32: no random bytes");
        return CNarrowString();
    }
    CNarrowString s;
    for (unsigned char c : b) {
        s.AppendChar(kHexLower[c >> 4]);
        s.AppendChar(kHexLower[c & 15]);
    }
    return s;
}

CWideString FormatByteSize(uint64_t bytes) {
    if (bytes < 1024) return CWideString::Formatted(u"%llu bytes", (unsigned long long)bytes);
    static const char16_t* const kUnits[] = {u"KB", u"MB", u"GB", u"TB", u"PB", u"EB"};
    // Move up a unit once the value reaches 1000 of the current one, so that
    // three digits always suffice (1000 KB shows as "0.97 MB").
    int k = 0;
    uint64_t unit = 1024;
    while (k < 5 && bytes / unit >= 1000) {
        unit *= 1024;
        k++;
    }
    CWideString s = ThreeDigits(bytes, unit);
    s.AppendChar(u' ');
    s.Append(kUnits[k]);
    return s;
}

CWideString FormatThousands(uint32_t n) {
    return Grouped(n);
}
CWideString FormatThousands64(uint64_t n) {
    return Grouped(n);
}

CWideString FormatCountShort(uint64_t n) {
    if (n < 1000) return CWideString::Formatted(u"%llu", (unsigned long long)n);
    static const char16_t kUnits[] = u"KMGTPE";
    int k = 0;
    uint64_t unit = 1000;
    while (k < 5 && n / unit >= 1000) {
        unit *= 1000;
        k++;
    }
    CWideString s = ThreeDigits(n, unit);
    s.AppendChar(kUnits[k]);
    return s;
}
