// The state file's record codec: the header, the value records, the node
// record (with its in-place fast path) and the generation lists. See
// state-file.h for the format.
#include "state-file.h"

#include "zor-debug.h"
#include "zor-tic.h"
#include "zor-unicode.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace {

// Difference between the file-time epoch (1601) and 1970 in 100 ns units.
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000ULL;

// The writer puts a record's fields through a pointer into space reserved in
// the output (one bounds check per record instead of one per byte).
char* PutDecimal(char* p, uint64_t v) {
    // Most fields of a record are a single digit (zero lengths, attributes,
    // counts, absent times).
    if (v < 10) {
        *p = (char)('0' + v);
        return p + 1;
    }
    return std::to_chars(p, p + 20, v).ptr;
}

// T=value| with the unsigned 32-bit sentinels written as -1 and -2: at most 14 bytes.
char* PutU32(char* p, char tag, uint32_t v) {
    *p++ = tag;
    *p++ = '=';
    if (v >= 0xFFFFFFFEu) {
        *p++ = '-';
        *p++ = v == 0xFFFFFFFFu ? '1' : '2';
    } else {
        p = PutDecimal(p, v);
    }
    *p++ = '|';
    return p;
}

// At most 8 bytes.
char* PutU16(char* p, char tag, uint16_t v) {
    *p++ = tag;
    *p++ = '=';
    if (v == 0xFFFF) {
        *p++ = '-';
        *p++ = '1';
    } else {
        p = PutDecimal(p, v);
    }
    *p++ = '|';
    return p;
}

// T[h=..|l=..|]: at most 25 bytes.
constexpr size_t kMaxLenBytes = 25;
char* PutItemLen(char* p, char tag, const CItemLen& len) {
    *p++ = tag;
    *p++ = '[';
    p = PutU16(p, 'h', len.GetHigh());
    p = PutU32(p, 'l', len.GetLow());
    *p++ = ']';
    return p;
}

// T[t=..|]: at most 17 bytes.
constexpr size_t kMaxTimeBytes = 17;
char* PutSyncTime(char* p, char tag, CSyncTime t) {
    *p++ = tag;
    *p++ = '[';
    p = PutU32(p, 't', t.GetTime());
    *p++ = ']';
    return p;
}

// [y=..|]: at most 16 bytes.
constexpr size_t kMaxGenEntryBytes = 16;
char* PutGenEntry(char* p, CSyncTime t) {
    *p++ = '[';
    p = PutU32(p, 'y', t.GetTime());
    *p++ = ']';
    return p;
}

// T[a{=n|...}]: at most 20 bytes plus 17 per entry.
size_t MaxGenArrayBytes(const CGenArray& gens) {
    return 20 + (size_t)gens.GetSize() * (kMaxGenEntryBytes + 1);
}
char* PutGenArray(char* p, char tag, const CGenArray& gens) {
    *p++ = tag;
    memcpy(p, "[a{=", 4);
    p += 4;
    p = PutDecimal(p, (uint64_t)gens.GetSize());
    *p++ = '|';
    for (CSyncTime t : gens) {
        p = PutGenEntry(p, t);
        *p++ = '|';
    }
    *p++ = '}';
    *p++ = ']';
    return p;
}

// The stamp and the identity of a file together, where the identity is
// known: T:11:digits| with the 64-bit value stamp * 2^32 + identity in 11
// digits of 6 bits, the last one first (the stamp alone stays "x=..|").
constexpr size_t kMaxStampIdentBytes = 16;
constexpr size_t kMaxDigestBytes = 17;
constexpr size_t kMaxMarkBytes = 11;
constexpr char kDigits64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
char* PutStampIdent(char* p, char tag, uint32_t nStamp, uint32_t nIdent) {
    memcpy(p, " :11:", 5);
    *p = tag;
    p += 5;
    uint64_t v = (uint64_t)nStamp << 32 | nIdent;
    for (int i = 0; i < 11; i++, v >>= 6) *p++ = kDigits64[v & 63];
    *p++ = '|';
    return p;
}
// The value of each digit, -1 for any other byte.
constexpr std::array<int8_t, 256> kDigitValues = [] {
    std::array<int8_t, 256> t{};
    for (int8_t& d : t) d = -1;
    for (int i = 0; i < 64; i++) t[(unsigned char)kDigits64[i]] = (int8_t)i;
    return t;
}();
// n digits of 6 bits, the last one first; the last digit at most nTopMax
// (so that the value fits its width).
bool DecodeDigits64(const unsigned char* s, size_t n, int nTopMax, uint64_t& v) {
    v = 0;
    for (size_t i = n; i-- > 0;) {
        const int d = kDigitValues[s[i]];
        if (d < 0 || (i == n - 1 && d > nTopMax)) return false;
        v = v << 6 | (uint64_t)d;
    }
    return true;
}
bool DecodeStampIdent(const unsigned char* s, size_t n, uint32_t& nStamp, uint32_t& nIdent) {
    uint64_t v = 0;
    if (n != 11 || !DecodeDigits64(s, n, 15, v)) return false;
    nStamp = (uint32_t)(v >> 32);
    nIdent = (uint32_t)v;
    return true;
}

// The digest of a record's bytes: T:11:digits| with the 64-bit value in 11
// digits of 6 bits, the last one first, as PutStampIdent.
char* PutDigest(char* p, char tag, uint64_t v) {
    memcpy(p, " :11:", 5);
    *p = tag;
    p += 5;
    for (int i = 0; i < 11; i++, v >>= 6) *p++ = kDigits64[v & 63];
    *p++ = '|';
    return p;
}
// A change mark: T:6:digits| with the 32-bit value in 6 digits of 6 bits,
// the last one first.
char* PutMark(char* p, char tag, uint32_t v) {
    memcpy(p, " :6:", 4);
    *p = tag;
    p += 4;
    for (int i = 0; i < 6; i++, v >>= 6) *p++ = kDigits64[v & 63];
    *p++ = '|';
    return p;
}
bool DecodeMark(const unsigned char* s, size_t n, uint32_t& v) {
    uint64_t x = 0;
    if (n != 6 || !DecodeDigits64(s, n, 3, x)) return false;
    v = (uint32_t)x;
    return true;
}
bool DecodeDigest(const unsigned char* s, size_t n, uint64_t& v) {
    uint32_t hi = 0, lo = 0;
    if (!DecodeStampIdent(s, n, hi, lo)) return false;
    v = (uint64_t)hi << 32 | lo;
    return true;
}

// A string field T:len:bytes|. ASCII text is copied unit by unit; other text
// goes through the UTF-8 conversion first (utf8 holds it then).
bool IsAscii(const CWideString& s) {
    const char16_t* p = s.GetString();
    const int n = s.GetLength();
    for (int i = 0; i < n; i++)
        if (p[i] >= 0x80) return false;
    return true;
}
size_t MaxStringBytes(const CWideString& s, bool bAscii, CNarrowString& utf8) {
    if (bAscii) return 14 + (size_t)s.GetLength();
    utf8 = WideToUtf8(s);
    return 14 + (size_t)utf8.GetLength();
}
char* PutString(char* p, char tag, const CWideString& s, bool bAscii, const CNarrowString& utf8) {
    *p++ = tag;
    *p++ = ':';
    if (bAscii) {
        const char16_t* w = s.GetString();
        const int n = s.GetLength();
        p = PutDecimal(p, (uint64_t)n);
        *p++ = ':';
        for (int i = 0; i < n; i++) *p++ = (char)w[i];
    } else {
        p = PutDecimal(p, (uint64_t)utf8.GetLength());
        *p++ = ':';
        memcpy(p, utf8.GetString(), (size_t)utf8.GetLength());
        p += utf8.GetLength();
    }
    *p++ = '|';
    return p;
}

// Runs put on space of at most nMax bytes at the end of out.
template <typename F> void AppendBounded(std::string& out, size_t nMax, F put) {
    const size_t nAt = out.size();
    out.resize(nAt + nMax);
    char* const pStart = out.data() + nAt;
    char* const pEnd = put(pStart);
    ZOR_ASSERT((size_t)(pEnd - pStart) <= nMax);
    out.resize(nAt + (size_t)(pEnd - pStart));
}

bool ReadEnd(ZorInStream& in, unsigned char tag, unsigned char expected, CWideString& err) {
    unsigned char ch;
    if (!GetTicChar(in, tag, ch, err)) return false;
    if (ch != expected) {
        err.AppendFormat(u"Posn %ld: @%c: string delimiter wrong: %c", in.GetPosn(), tag, ch);
        return false;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------- header
bool StateFileHeader::Read(ZorInStream& in, CWideString& err) {
    if (!GetTicPrefix(in, '[', err)) return false;
    for (;;) {
        unsigned char tag;
        bool bEnd;
        if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
        if (bEnd) return true;
        bool ok;
        switch (tag) {
            case 'a':
                ok = GetTicUInt16(in, tag, m_nA, err);
                break;
            case 'b':
                ok = GetTicUInt16(in, tag, m_nB, err);
                break;
            case 'c':
                ok = GetTicUInt16(in, tag, m_nC, err);
                break;
            case '1':
                ok = GetTicUInt16(in, tag, m_nMajor, err);
                break;
            case '2':
                ok = GetTicUInt16(in, tag, m_nMinor, err);
                break;
            case 's':
                ok = GetTicBool(in, tag, m_bS, err);
                break;
            case 'v':
                ok = GetTicUInt32(in, tag, m_nVerified, err);
                break;
            default:
                ok = SkipTicValue(in, tag, err);
                break;
        }
        if (!ok) return false;
    }
}

bool StateFileHeader::Write(ZorOutStream& out, CWideString& err) const {
    char buf[64];
    char* p = buf;
    *p++ = '[';
    p = PutU16(p, 'a', m_nA);
    p = PutU16(p, 'b', m_nB);
    p = PutU16(p, 'c', m_nC);
    p = PutU16(p, '1', m_nMajor);
    p = PutU16(p, '2', m_nMinor);
    memcpy(p, m_bS ? "s=1|" : "s=0|", 4);
    p += 4;
    if (m_nVerified != 0) p += snprintf(p, 16, "v=%u|", (unsigned)m_nVerified);
    *p++ = ']';
    return out.Write(buf, (int)(p - buf), err);
}

// ---------------------------------------------------------------- value records
namespace {

// The length part of a string record ("@t:len:"), checked against the limit.
bool ReadStateStringLength(ZorInStream& in, unsigned char tag, int32_t& len, CWideString& err) {
    if (!GetTicInt32No(in, tag, ':', ':', len, err)) return false;
    if (len < 0 || len > kStateMaxString) {
        err.AppendFormat(u"Posn %ld: @%c: bad string length %d (at most %d bytes)", in.GetPosn(), tag, len,
                         kStateMaxString);
        return false;
    }
    return true;
}

// The len bytes of a string record and its end.
bool ReadStateStringBytes(ZorInStream& in, unsigned char tag, int32_t len, CNarrowString& text,
                          CWideString& err) {
    if (len > 0) {
        char* p = text.GetBufferSetLength(len);
        int got = 0;
        while (got < len) {
            int n = in.ReadBytes(p + got, len - got, err);
            if (n < 0) return false;
            if (n == 0) {
                err.AppendFormat(u"Posn %ld: @%c: unexpected end of input inside a string", in.GetPosn(),
                                 tag);
                return false;
            }
            got += n;
        }
        text.ReleaseBuffer(len);
    }
    return ReadEnd(in, tag, '|', err);
}

// A text read as ReadStateString does, in its wide form. An ASCII text whose
// bytes the stream holds in memory is widened in place (no narrow copy).
bool ReadStateWideString(ZorInStream& in, unsigned char tag, CWideString& s, CWideString& err) {
    int32_t len = 0;
    if (!ReadStateStringLength(in, tag, len, err)) return false;
    int nReady = 0;
    const unsigned char* p = in.GetReady(nReady);
    bool bAscii = nReady >= len;
    for (int i = 0; bAscii && i < len; i++) bAscii = p[i] < 0x80;
    if (!bAscii) {
        CNarrowString text;
        if (!ReadStateStringBytes(in, tag, len, text, err)) return false;
        s = Utf8ToWide(text);
        return true;
    }
    CWideString w;
    if (len > 0) {
        char16_t* q = w.GetBufferSetLength(len);
        for (int i = 0; i < len; i++) q[i] = p[i];
        w.ReleaseBuffer(len);
        in.TakeReady(len);
    }
    if (!ReadEnd(in, tag, '|', err)) return false;
    s = std::move(w);
    return true;
}

} // namespace

bool ReadStateString(ZorInStream& in, unsigned char tag, CNarrowString& s, CWideString& err) {
    int32_t len = 0;
    CNarrowString text;
    if (!ReadStateStringLength(in, tag, len, err) || !ReadStateStringBytes(in, tag, len, text, err))
        return false;
    s = std::move(text);
    return true;
}

bool ReadItemLenTic(ZorInStream& in, unsigned char tag, CItemLen& len, CWideString& err) {
    (void)tag;
    if (!GetTicPrefix(in, '[', err)) return false;
    uint16_t h = 0;
    uint32_t l = 0;
    for (;;) {
        unsigned char t;
        bool bEnd;
        if (!GetTicTag(in, ']', t, bEnd, err)) return false;
        if (bEnd) break;
        bool ok;
        if (t == 'h')
            ok = GetTicUInt16(in, t, h, err);
        else if (t == 'l')
            ok = GetTicUInt32(in, t, l, err);
        else
            ok = SkipTicValue(in, t, err);
        if (!ok) return false;
    }
    len.SetRaw(h, l);
    return true;
}

void AppendItemLenTic(std::string& out, char tag, const CItemLen& len) {
    AppendBounded(out, kMaxLenBytes, [&](char* p) { return PutItemLen(p, tag, len); });
}

bool ReadSyncTimeTic(ZorInStream& in, unsigned char tag, CSyncTime& time, CWideString& err) {
    (void)tag;
    if (!GetTicPrefix(in, '[', err)) return false;
    uint32_t t = 0, h = 0, l = 0;
    for (;;) {
        unsigned char c;
        bool bEnd;
        if (!GetTicTag(in, ']', c, bEnd, err)) return false;
        if (bEnd) break;
        bool ok;
        if (c == 't')
            ok = GetTicUInt32(in, c, t, err);
        else if (c == 'h')
            ok = GetTicUInt32(in, c, h, err);
        else if (c == 'l')
            ok = GetTicUInt32(in, c, l, err);
        else
            ok = SkipTicValue(in, c, err);
        if (!ok) return false;
    }
    if (t == 0 && (h || l)) {
        // An older record: a 64-bit file time (100 ns units since 1601).
        const uint64_t ft = ((uint64_t)h << 32) | l;
        if (ft > kFileTimeEpochOffset) {
            const uint64_t secs = (ft - kFileTimeEpochOffset) / 10000000ULL;
            t = secs > 0xFFFFFFFFULL ? 0xFFFFFFFFu : (uint32_t)secs;
        }
    }
    time.SetTime(t);
    return true;
}

void AppendSyncTimeTic(std::string& out, char tag, CSyncTime t) {
    AppendBounded(out, kMaxTimeBytes, [&](char* p) { return PutSyncTime(p, tag, t); });
}

bool ReadGenEntry(ZorInStream& in, CSyncTime& time, CWideString& err) {
    if (!GetTicPrefix(in, '[', err)) return false;
    uint32_t y = 0;
    CSyncTime nested;
    for (;;) {
        unsigned char c;
        bool bEnd;
        if (!GetTicTag(in, ']', c, bEnd, err)) return false;
        if (bEnd) break;
        bool ok;
        if (c == 'y')
            ok = GetTicUInt32(in, c, y, err);
        else if (c == 't')
            ok = ReadSyncTimeTic(in, c, nested, err);
        else
            ok = SkipTicValue(in, c, err);
        if (!ok) return false;
    }
    time = nested.IsZero() ? CSyncTime(y) : nested;
    return true;
}

void AppendGenEntry(std::string& out, CSyncTime t) {
    AppendBounded(out, kMaxGenEntryBytes, [&](char* p) { return PutGenEntry(p, t); });
}

static bool AddGeneration(ZorInStream& in, CGenArray& gens, CSyncTime t, CWideString& err) {
    if (gens.GetSize() >= kStateMaxGenerations || !gens.Add(t)) {
        err.AppendFormat(u"Posn %ld: @g: more than %d generations", in.GetPosn(), kStateMaxGenerations);
        return false;
    }
    return true;
}

bool ReadGenArrayTic(ZorInStream& in, unsigned char tag, CGenArray& gens, CWideString& err) {
    (void)tag;
    if (!GetTicPrefix(in, '[', err)) return false;
    for (;;) {
        unsigned char c;
        bool bEnd;
        if (!GetTicTag(in, ']', c, bEnd, err)) return false;
        if (bEnd) return true;
        if (c == 'a') {
            int n = 0;
            if (!GetTicArrayBegin(in, c, n, err)) return false;
            if (n > kStateMaxGenerations) {
                err.AppendFormat(u"Posn %ld: @%c: generation count %d above %d", in.GetPosn(), c, n,
                                 kStateMaxGenerations);
                return false;
            }
            for (int i = 0; i < n; i++) {
                CSyncTime t;
                if (!ReadGenEntry(in, t, err) || !GetTicArrayElementEnd(in, err)) return false;
                if (!AddGeneration(in, gens, t, err)) return false;
            }
            if (!GetTicArrayEnd(in, err)) return false;
        } else if (c == 'l') {
            if (!GetTicPrefix(in, '<', err)) return false;
            for (;;) {
                bool bListEnd;
                if (!GetTicListNext(in, bListEnd, err)) return false;
                if (bListEnd) break;
                CSyncTime t;
                if (!ReadGenEntry(in, t, err)) return false;
                if (!t.IsZero() && !AddGeneration(in, gens, t, err)) return false;
            }
        } else if (!SkipTicValue(in, c, err)) {
            return false;
        }
    }
}

void AppendGenArrayTic(std::string& out, char tag, const CGenArray& gens) {
    AppendBounded(out, MaxGenArrayBytes(gens), [&](char* p) { return PutGenArray(p, tag, gens); });
}

// ---------------------------------------------------------------- node record
namespace {

// Reads a record laid out as the writer lays it out (AppendSideRecord) from
// the bytes the stream holds in memory, giving what the general reader
// gives for it. Anything else (another field order or form, text that is
// not ASCII, a value the general reader refuses, a record that goes past the
// bytes in memory) makes it give up: nothing is taken from the stream, and
// the general reader reads the record.
class CWrittenRecord {
public:
    explicit CWrittenRecord(ZorInStream& in) : m_In(in) {}
    // The cursor is a local that no store can be taken to change, and the
    // steps are inlined, so that it stays in a register; neighbouring
    // literals are compared at once.
    bool Read(bool& bFolder, CWideString& wN, CItemLen& len, uint32_t& nAttr, CSyncTime& tFile,
              CSyncTime& tAccu, CSyncTime& tSaved, CItemLen& savedLen, CWideString& wI, CGenArray& gens,
              uint32_t& nStamp, uint32_t& nIdent, bool& bDigest, uint64_t& nDigest, uint32_t& nMark) {
        int nReady = 0;
        const unsigned char* const pStart = m_In.GetReady(nReady);
        const unsigned char* const pEnd = pStart + nReady;
        const unsigned char* p = pStart;
        uint32_t lh = 0, ll = 0, a = 0, c = 0, t = 0, s = 0, sh = 0, sl = 0;
        uint64_t nGens = 0;
        if (!Take(p, pEnd, "[f=") || p >= pEnd || (*p != '0' && *p != '1')) return false;
        const bool bIsFolder = *p++ == '1';
        if (!Take(p, pEnd, "|N") || !Text(p, pEnd, wN) || !Take(p, pEnd, "l[h") ||
            !Unsigned(p, pEnd, 0xFFFF, lh) || !Take(p, pEnd, "l") || !Unsigned(p, pEnd, 0xFFFFFFFFu, ll) ||
            !Take(p, pEnd, "]a") || !Unsigned(p, pEnd, 0xFFFFFFFFu, a) || !Take(p, pEnd, "C[t") ||
            !Unsigned(p, pEnd, 0xFFFFFFFFu, c) || !Take(p, pEnd, "]t[t") ||
            !Unsigned(p, pEnd, 0xFFFFFFFFu, t) || !Take(p, pEnd, "]p[t") ||
            !Unsigned(p, pEnd, 0xFFFFFFFFu, s) || !Take(p, pEnd, "]s[h") || !Unsigned(p, pEnd, 0xFFFF, sh) ||
            !Take(p, pEnd, "l") || !Unsigned(p, pEnd, 0xFFFFFFFFu, sl) || !Take(p, pEnd, "]i") ||
            !Text(p, pEnd, wI) || !Take(p, pEnd, "g[a{=") || !Digits(p, pEnd, nGens) || !Take(p, pEnd, "|") ||
            nGens > (uint64_t)kStateMaxGenerations)
            return false;
        for (uint64_t i = 0; i < nGens; i++) {
            uint32_t y = 0;
            if (!Take(p, pEnd, "[y") || !Unsigned(p, pEnd, 0xFFFFFFFFu, y) || !Take(p, pEnd, "]|") ||
                !gens.Add(CSyncTime(y)))
                return false;
        }
        if (!Take(p, pEnd, "}]")) return false;
        uint32_t x = 0, w = 0;
        if (p < pEnd && *p == 'x' && !(++p, Unsigned(p, pEnd, 0xFFFFFFFFu, x))) return false;
        if (p < pEnd && *p == 'w') {
            if (!Take(p, pEnd, "w:11:") || pEnd - p < 12 || p[11] != '|' || !DecodeStampIdent(p, 11, x, w))
                return false;
            p += 12;
        }
        uint64_t h = 0;
        const bool bH = p < pEnd && *p == 'h';
        if (bH) {
            if (!Take(p, pEnd, "h:11:") || pEnd - p < 12 || p[11] != '|' || !DecodeDigest(p, 11, h))
                return false;
            p += 12;
        }
        uint32_t k = 0;
        if (p < pEnd && *p == 'k') {
            if (!Take(p, pEnd, "k:6:") || pEnd - p < 7 || p[6] != '|' || !DecodeMark(p, 6, k)) return false;
            p += 7;
        }
        if (!Take(p, pEnd, "]")) return false;
        nMark = k;
        bDigest = bH;
        nDigest = h;
        bFolder = bIsFolder;
        nStamp = x;
        nIdent = w;
        len.SetRaw((uint16_t)lh, ll);
        nAttr = a;
        tFile.SetTime(c);
        tAccu.SetTime(t);
        tSaved.SetTime(s);
        savedLen.SetRaw((uint16_t)sh, sl);
        m_In.TakeReady((int)(p - pStart));
        return true;
    }

private:
    using Cursor = const unsigned char*;
    // The literal's bytes (its size known here, so the compare is inlined).
    template <size_t N> [[gnu::always_inline]] static bool Take(Cursor& p, Cursor pEnd, const char (&s)[N]) {
        constexpr size_t n = N - 1;
        if ((size_t)(pEnd - p) < n || memcmp(p, s, n) != 0) return false;
        p += n;
        return true;
    }
    // At most 18 digits, as the tic reader takes in place. Eight digits in a
    // row (most times) are taken in one step.
    [[gnu::always_inline]] static bool Digits(Cursor& cur, Cursor pEnd, uint64_t& v) {
        const unsigned char* p = cur;
        // One digit alone (most counts and lengths) is taken at once.
        if (pEnd - p >= 2 && (unsigned)(p[0] - '0') < 10u && (unsigned)(p[1] - '0') >= 10u) {
            v = p[0] - '0';
            cur = p + 1;
            return true;
        }
        const unsigned char* const pLast = pEnd - p > 18 ? p + 18 : pEnd;
        uint64_t n = 0;
        if constexpr (std::endian::native == std::endian::little) {
            uint64_t w;
            if (pEnd - p >= 8 && (memcpy(&w, p, 8), AllDigits(w))) {
                n = EightDigits(w);
                p += 8;
            }
        }
        while (p < pLast && (unsigned)(*p - '0') < 10u) n = n * 10 + (*p++ - '0');
        v = n;
        const bool bAny = p > cur;
        cur = p;
        return bAny;
    }
    // Eight bytes, the first in the low byte, that are all '0' to '9'.
    [[gnu::always_inline]] static bool AllDigits(uint64_t w) {
        constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull, k3 = 0x3030303030303030ull,
                           k6 = 0x0606060606060606ull;
        return (w & kHigh) == k3 && ((w + k6) & kHigh) == k3;
    }
    // Their value: pairs, then fours, then all eight.
    [[gnu::always_inline]] static uint64_t EightDigits(uint64_t w) {
        w -= 0x3030303030303030ull;
        w = (w * 10 + (w >> 8)) & 0x00FF00FF00FF00FFull;
        w = (w * 100 + (w >> 16)) & 0x0000FFFF0000FFFFull;
        return (w * 10000 + (w >> 32)) & 0xFFFFFFFFull;
    }
    // "=" number "|" up to max, where -1 to -3 stand for max to max - 2.
    [[gnu::always_inline]] static bool Unsigned(Cursor& p, Cursor pEnd, uint32_t max, uint32_t& n) {
        if (p >= pEnd || *p != '=') return false;
        ++p;
        const bool bNeg = p < pEnd && *p == '-';
        if (bNeg) ++p;
        uint64_t v = 0;
        if (!Digits(p, pEnd, v) || p >= pEnd || *p != '|') return false;
        ++p;
        if (!bNeg) {
            if (v > max) return false;
            n = (uint32_t)v;
        } else {
            if (v > 3) return false;
            n = v == 0 ? 0 : (uint32_t)((uint64_t)max + 1 - v);
        }
        return true;
    }
    // ":" length ":" ASCII bytes "|".
    [[gnu::always_inline]] static bool Text(Cursor& p, Cursor pEnd, CWideString& s) {
        uint64_t n = 0;
        if (!Take(p, pEnd, ":") || !Digits(p, pEnd, n) || !Take(p, pEnd, ":") ||
            n > (uint64_t)kStateMaxString || (uint64_t)(pEnd - p) <= n || p[n] != '|')
            return false;
        for (uint64_t i = 0; i < n; i++)
            if (p[i] >= 0x80) return false;
        if (n > 0) {
            char16_t* q = s.GetBufferSetLength((int)n);
            for (uint64_t i = 0; i < n; i++) q[i] = p[i];
            s.ReleaseBuffer((int)n);
        }
        p += n + 1;
        return true;
    }

    ZorInStream& m_In;
};

} // namespace

// What a record read completes (the field values already in place).
void StateFile::CompleteRead(bool bFolder, CWideString& wN, const CNarrowString& sPathN, CWideString& wI,
                             CWideString& sName) {
    sName = std::move(wN);
    if (sName.IsEmpty() && !sPathN.IsEmpty()) {
        sName = Utf8ToWide(sPathN);
        sName.Replace(u'\\', u'/');
    }
    m_sId = std::move(wI);
    SetPresent(true);
    SetFolder(bFolder);
    if (m_Len.IsDeleted() || m_Len.IsUndefined()) {
        m_Len.SetDeleted();
        m_nAttr = 0xFFFFFFFFu;
    } else if (bFolder) {
        m_Len.SetFolder();
    }
}

bool StateFile::ReadNode(ZorInStream& in, CWideString& sName, CSyncTime& tSaved, CItemLen& savedLen,
                         CGenArray& gens, CWideString& err) {
    if (gens.IsEmpty()) {
        bool bFolder = false;
        CWideString wN, wI;
        CItemLen len, saved;
        uint32_t nAttr = 0;
        CSyncTime tFile, tAccu, tSave;
        CGenArray read;
        uint32_t nStamp = 0, nIdent = 0;
        bool bDigest = false;
        uint64_t nDigest = 0;
        uint32_t nMark = 0;
        if (CWrittenRecord(in).Read(bFolder, wN, len, nAttr, tFile, tAccu, tSave, saved, wI, read, nStamp,
                                    nIdent, bDigest, nDigest, nMark)) {
            m_Len = len;
            m_nStamp = nStamp;
            m_nIdent = nIdent;
            m_nDigest = nDigest;
            m_nMark = nMark;
            SetFlag(SIF_DIGEST, bDigest);
            m_nAttr = nAttr;
            m_tFile = tFile;
            m_tAccu = tAccu;
            tSaved = tSave;
            savedLen = saved;
            gens = std::move(read);
            CompleteRead(bFolder, wN, CNarrowString(), wI, sName);
            return true;
        }
    }
    if (!GetTicPrefix(in, '[', err)) return false;
    m_nStamp = 0;
    m_nIdent = 0;
    m_nDigest = 0;
    m_nMark = 0;
    SetFlag(SIF_DIGEST, false);
    bool bFolder = false;
    CNarrowString sPathN;
    CWideString wN, wI;
    for (;;) {
        unsigned char c;
        bool bEnd;
        if (!GetTicTag(in, ']', c, bEnd, err)) return false;
        if (bEnd) break;
        bool ok;
        switch (c) {
            case 'f':
                ok = GetTicBool(in, c, bFolder, err);
                break;
            case 'N':
                ok = ReadStateWideString(in, c, wN, err);
                break;
            case 'n':
                ok = ReadStateString(in, c, sPathN, err);
                break;
            case 'l':
                ok = ReadItemLenTic(in, c, m_Len, err);
                break;
            case 'a':
                ok = GetTicUInt32(in, c, m_nAttr, err);
                break;
            case 'C':
                ok = ReadSyncTimeTic(in, c, m_tFile, err);
                break;
            case 't':
                ok = ReadSyncTimeTic(in, c, m_tAccu, err);
                break;
            case 'p':
                ok = ReadSyncTimeTic(in, c, tSaved, err);
                break;
            case 's':
                ok = ReadItemLenTic(in, c, savedLen, err);
                break;
            case 'i':
                ok = ReadStateWideString(in, c, wI, err);
                break;
            case 'g':
                ok = ReadGenArrayTic(in, c, gens, err);
                break;
            case 'x':
                ok = GetTicUInt32(in, c, m_nStamp, err);
                break;
            case 'w': {
                CNarrowString text;
                ok = ReadStateString(in, c, text, err);
                // A value this build cannot read is left out, as an unknown tag.
                if (ok && !DecodeStampIdent((const unsigned char*)text.GetString(), (size_t)text.GetLength(),
                                            m_nStamp, m_nIdent))
                    m_nStamp = m_nIdent = 0;
                break;
            }
            case 'h': {
                CNarrowString text;
                ok = ReadStateString(in, c, text, err);
                // Likewise: a digest this build cannot read is none.
                const bool bRead = ok && DecodeDigest((const unsigned char*)text.GetString(),
                                                      (size_t)text.GetLength(), m_nDigest);
                SetFlag(SIF_DIGEST, bRead);
                if (!bRead) m_nDigest = 0;
                break;
            }
            case 'k': {
                CNarrowString text;
                ok = ReadStateString(in, c, text, err);
                // Likewise: a mark this build cannot read is none.
                if (ok && !DecodeMark((const unsigned char*)text.GetString(), (size_t)text.GetLength(), m_nMark))
                    m_nMark = 0;
                break;
            }
            default:
                ok = SkipTicValue(in, c, err);
                break;
        }
        if (!ok) return false;
    }
    CompleteRead(bFolder, wN, sPathN, wI, sName);
    return true;
}

void StateFile::AppendRecord(std::string& out, const CWideString& sName, CSyncTime tSaved,
                             const CItemLen& savedLen, const CGenArray& gens) const {
    AppendSideRecord(out, *this, sName, tSaved, savedLen, gens, m_nIdent, m_nDigest, m_nMark);
}

void AppendSideRecord(std::string& out, const CSideInfo& rec, const CWideString& sName, CSyncTime tSaved,
                      const CItemLen& savedLen, const CGenArray& gens, uint32_t nIdent, uint64_t nDigest,
                      uint32_t nMark) {
    const bool bNameAscii = IsAscii(sName), bIdAscii = IsAscii(rec.m_sId);
    CNarrowString nameUtf8, idUtf8;
    const size_t nMax = 8 + MaxStringBytes(sName, bNameAscii, nameUtf8) + 2 * kMaxLenBytes + 14 +
                        3 * kMaxTimeBytes + MaxStringBytes(rec.m_sId, bIdAscii, idUtf8) +
                        MaxGenArrayBytes(gens) + kMaxStampIdentBytes + kMaxDigestBytes + kMaxMarkBytes;
    AppendBounded(out, nMax, [&](char* p) {
        *p++ = '[';
        memcpy(p, rec.IsFolder() ? "f=1|" : "f=0|", 4);
        p += 4;
        p = PutString(p, 'N', sName, bNameAscii, nameUtf8);
        p = PutItemLen(p, 'l', rec.m_Len);
        p = PutU32(p, 'a', rec.m_nAttr);
        p = PutSyncTime(p, 'C', rec.m_tFile);
        p = PutSyncTime(p, 't', rec.m_tAccu);
        p = PutSyncTime(p, 'p', tSaved);
        p = PutItemLen(p, 's', savedLen);
        p = PutString(p, 'i', rec.m_sId, bIdAscii, idUtf8);
        p = PutGenArray(p, 'g', gens);
        // The stamp only where the side tells one, with the identity where
        // that is known: older readers skip the tags.
        if (nIdent)
            p = PutStampIdent(p, 'w', rec.m_nStamp, nIdent);
        else if (rec.m_nStamp)
            p = PutU32(p, 'x', rec.m_nStamp);
        // The digest of the record's bytes where a run read them.
        if (rec.GetFlag(SIF_DIGEST)) p = PutDigest(p, 'h', nDigest);
        // The change mark the record's file showed when it was taken.
        if (nMark) p = PutMark(p, 'k', nMark);
        *p++ = ']';
        return p;
    });
}

bool StateFile::WriteRecord(ZorOutStream& out, const CWideString& sName, CSyncTime tSaved,
                            const CItemLen& savedLen, const CGenArray& gens, CWideString& err) const {
    std::string s;
    AppendRecord(s, sName, tSaved, savedLen, gens);
    return out.Write(s.data(), (int)s.size(), err);
}

// ---------------------------------------------------------------- generations
bool PruneGenerations(CGenArray& gens, int64_t nAgeSeconds) {
    std::vector<uint32_t> v;
    v.reserve(gens.GetSize());
    for (CSyncTime t : gens) v.push_back(t.GetTime());
    const size_t nBefore = v.size();

    int64_t now = 0;
    int ms = 0;
    ZorGetClock().Now(now, ms);
    const int64_t low = now - nAgeSeconds;
    const int64_t high = now + nAgeSeconds;
    bool bSorted = false;
    bool bChanged = false;
    for (;;) {
        int nOld = 0;
        bool bDisorder = false;
        for (int i = (int)v.size() - 1; i >= 0; i--) {
            const int64_t e = v[i];
            if (e >= high) {
                v.erase(v.begin() + i);
                bChanged = true;
                continue;
            }
            if (e < low) {
                if (nOld >= 3) {
                    v.erase(v.begin() + i);
                    bChanged = true;
                    continue;
                }
                nOld++;
            }
            // Followers within 3 seconds collapse into this entry; a follower
            // that was counted as old is no longer kept.
            while (i + 1 < (int)v.size() && CSyncTime::IsSame(v[i], v[i + 1])) {
                if ((int64_t)v[i + 1] < low) nOld--;
                v.erase(v.begin() + i + 1);
                bChanged = true;
            }
            if (i + 1 < (int)v.size() && v[i] > v[i + 1]) {
                bDisorder = true;
                break;
            }
        }
        if (!bDisorder || bSorted) break;
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
        bSorted = true;
        bChanged = true;
    }
    if (bChanged || v.size() != nBefore) {
        gens.RemoveAll();
        for (uint32_t t : v) gens.Add(CSyncTime(t));
    }
    // True when no entry younger than the limit is left.
    for (uint32_t t : v)
        if ((int64_t)t >= low) return false;
    return true;
}

bool MergeGenerations(CGenArray& target, const CGenArray& incoming, bool& bChanged) {
    if (incoming.IsEmpty()) return true;
    if (target.IsEmpty()) {
        target = incoming;
        return true;
    }
    int i = 0, j = 0;
    const int nT = target.GetSize(), nI = incoming.GetSize();
    while (i < nT && j < nI) {
        const CSyncTime a = target.GetAt(i), b = incoming.GetAt(j);
        if (a == b) {
            i++;
            j++;
        } else if (!(a < b)) {
            bChanged = true;
            target.ElementAt(i) = b;
            i++;
            j++;
        } else {
            i++;
        }
    }
    if (i >= nT && j < nI) {
        for (; j < nI; j++) AppendTimeIfNew(target, incoming.GetAt(j));
        bChanged = true;
    }
    return true;
}
