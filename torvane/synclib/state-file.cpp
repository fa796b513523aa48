// The state file format, its reader and writer, and the merge of its records
// into the sync tree. See state-file.h for the format.
#include "state-file.h"

#include "sync-progress.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-locstr.h"
#include "zor-tic.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Message kinds of the run messages written here.
constexpr int kMsgStateNewer = 7140;
constexpr int kMsgStateParseFailed = 7141;
constexpr int kMsgDuplicateName = 7142;

// Difference between the file-time epoch (1601) and 1970 in 100 ns units.
constexpr uint64_t kFileTimeEpochOffset = 116444736000000000ULL;

// A written record is collected here and handed to the stream in blocks.
constexpr int kWriteBlock = 64 * 1024;

CWideString Nfc(const CWideString& s) {
    if (IsNameNfc(s)) return s;
    CWideString t = s;
    NormalizeNameNfc(t);
    return t;
}

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

// True when a component of the path is "." or "..", or the path holds a NUL:
// such names never come from a listing and must not reach the tree.
bool HasBadComponent(const CWideString& path) {
    const char16_t* p = path.GetString();
    const int n = path.GetLength();
    int start = 0;
    for (int i = 0; i <= n; i++) {
        if (i < n && p[i] == 0) return true;
        if (i == n || p[i] == u'/') {
            const int len = i - start;
            if ((len == 1 && p[start] == u'.') || (len == 2 && p[start] == u'.' && p[start + 1] == u'.'))
                return true;
            start = i + 1;
        }
    }
    return false;
}

// Four units in a word (the first in the low bits): any unit that is zero.
constexpr uint64_t kUnitOnes = 0x0001000100010001ull, kUnitHighs = 0x8000800080008000ull;
bool AnyZeroUnit(uint64_t w) {
    return ((w - kUnitOnes) & ~w & kUnitHighs) != 0;
}

// A name that is a component by itself: not empty, no separator, no NUL,
// not "." or "..", NFC. Below U+0300 every name is NFC. Four units are
// looked at in one step.
bool IsPlainName(const CWideString& name) {
    const char16_t* p = name.GetString();
    const int n = name.GetLength();
    if (n == 0 || (p[0] == u'.' && (n == 1 || (n == 2 && p[1] == u'.')))) return false;
    uint64_t nOr = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        if (AnyZeroUnit(w) || AnyZeroUnit(w ^ (kUnitOnes * u'/'))) return false;
        nOr |= w;
    }
    for (; i < n; i++) {
        const char16_t c = p[i];
        if (c == u'/' || c == 0) return false;
        nOr |= c;
    }
    nOr |= nOr >> 32;
    nOr |= nOr >> 16;
    return (nOr & 0xFFFF) < 0x100 || IsNameNfc(name);
}

// The case fold of the child-map order (CompareNoCaseThenCase), unit by unit.
unsigned FoldNameUnit(unsigned c) {
    return c < 0x80 ? (c - u'A' < 26u ? c + 32 : c) : ZorFoldUnit((char16_t)c);
}

// Names that match ignoring case have equal folded units, so equal hashes.
// Four units are folded and mixed in one step: ASCII units in place (each
// capital gets its 0x20 bit), a word with another unit one unit at a time.
uint32_t FoldedNameHash(const char16_t* p, int n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t)(uint32_t)n;
    auto mix = [&h](uint64_t w) {
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    };
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        if ((w & 0xFF80FF80FF80FF80ull) == 0) {
            const uint64_t atLeastA = w + kUnitOnes * (0x80 - u'A'), pastZ = w + kUnitOnes * (0x80 - u'Z' - 1);
            w |= (atLeastA & ~pastZ & (kUnitOnes * 0x80)) >> 2;
        } else {
            w = 0;
            for (int k = 0; k < 4; k++) w |= (uint64_t)FoldNameUnit(p[i + k]) << (16 * k);
        }
        mix(w);
    }
    if (i < n) {
        uint64_t w = 0;
        for (int k = 0; i + k < n; k++) w |= (uint64_t)FoldNameUnit(p[i + k]) << (16 * k);
        mix(w);
    }
    return (uint32_t)(h ^ (h >> 32));
}

bool NameMatches(const CWideString& a, const CWideString& b, bool bCaseSensitive) {
    const int n = a.GetLength();
    if (n != b.GetLength()) return false;
    const char16_t* pa = a.GetString();
    const char16_t* pb = b.GetString();
    // Equal units are passed four at a time.
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t x, y;
        memcpy(&x, pa + i, sizeof x);
        memcpy(&y, pb + i, sizeof y);
        if (x != y) break;
    }
    if (i == n) return true;
    if (bCaseSensitive) return memcmp(pa + i, pb + i, sizeof(char16_t) * (size_t)(n - i)) == 0;
    for (; i < n; i++) {
        const unsigned ca = pa[i], cb = pb[i];
        if (ca == cb) continue;
        const unsigned fa = (ca | cb) < 0x80 ? (ca - u'A' < 26u ? ca + 32 : ca) : ZorFoldUnit((char16_t)ca);
        const unsigned fb = (ca | cb) < 0x80 ? (cb - u'A' < 26u ? cb + 32 : cb) : ZorFoldUnit((char16_t)cb);
        if (fa != fb) return false;
    }
    return true;
}

int CountComponents(const CWideString& path) {
    int n = 0;
    bool bIn = false;
    for (int i = 0; i < path.GetLength(); i++) {
        if (path[i] == u'/') {
            bIn = false;
        } else if (!bIn) {
            bIn = true;
            n++;
        }
    }
    return n;
}

bool AnyChildPresent(CSyncTreeNode* pNode, int nSide) {
    CSyncLevelIter it(pNode);
    for (bool b = it.IsValid(); b; b = it.Next())
        if (it.GetItem()->m_aOld[nSide].IsPresentBit()) return true;
    return false;
}

} // namespace

// ---------------------------------------------------------------- child index
void CChildNameIndex::Build(CSyncTreeNode* pFolder) {
    m_Slots.clear();
    m_nMask = 0;
    m_pMap = nullptr;
    m_nIndexed = 0;
    m_bCaseTwins = false;
    CSyncTreeNode::CChildMap* pMap = pFolder ? pFolder->GetChildMap() : nullptr;
    // A few children are found as fast by the map's descent.
    constexpr int kMinIndexed = 16;
    if (!pMap || pMap->GetCount() < kMinIndexed) return;
    size_t nSlots = 32;
    while (nSlots < (size_t)pMap->GetCount() * 2) nSlots *= 2;
    m_Slots.assign(nSlots, Slot{nullptr, 0});
    m_nMask = (uint32_t)(nSlots - 1);
    m_pMap = pMap;
    m_nIndexed = pMap->GetCount();
    // In any order: a look-up that ignores case steps back to the first of
    // the names that match (they are neighbours in key order) where two
    // indexed names match ignoring case, or names were added since. The
    // keys' texts are asked for a few entries ahead.
    m_Entries.clear();
    pMap->CollectEntries(m_Entries);
    constexpr size_t kAhead = 8;
    const size_t n = m_Entries.size();
    for (size_t j = 0; j < n && j < kAhead; j++) __builtin_prefetch(m_Entries[j]->GetKey().GetString());
    for (size_t j = 0; j < n; j++) {
        if (j + kAhead < n) __builtin_prefetch(m_Entries[j + kAhead]->GetKey().GetString());
        CSyncTreeNode::CEntry* e = m_Entries[j];
        const CWideString& key = e->GetKey();
        const uint32_t h = FoldedNameHash(key.GetString(), key.GetLength());
        uint32_t i = h & m_nMask;
        for (; m_Slots[i].e; i = (i + 1) & m_nMask)
            if (m_Slots[i].nHash == h && NameMatches(key, m_Slots[i].e->GetKey(), false)) m_bCaseTwins = true;
        m_Slots[i] = Slot{e, h};
    }
}

CSyncTreeNode* CChildNameIndex::Find(const CWideString& name, bool bCaseSensitive) const {
    const uint32_t h = FoldedNameHash(name.GetString(), name.GetLength());
    for (uint32_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
        const Slot& slot = m_Slots[i];
        if (!slot.e) return nullptr;
        if (slot.nHash != h || !NameMatches(name, slot.e->GetKey(), bCaseSensitive)) continue;
        CSyncTreeNode::CEntry* e = slot.e;
        // The first in key order of the names that match ignoring case.
        if (!bCaseSensitive && (m_bCaseTwins || m_pMap->GetCount() != m_nIndexed))
            for (CSyncTreeNode::CEntry* p; (p = CSyncTreeNode::CChildMap::GetPrev(e)) != nullptr &&
                                           NameMatches(name, p->GetKey(), false);)
                e = p;
        return &e->GetValue();
    }
}

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
bool ReadStateStringBytes(ZorInStream& in, unsigned char tag, int32_t len, CNarrowString& text, CWideString& err) {
    if (len > 0) {
        char* p = text.GetBufferSetLength(len);
        int got = 0;
        while (got < len) {
            int n = in.ReadBytes(p + got, len - got, err);
            if (n < 0) return false;
            if (n == 0) {
                err.AppendFormat(u"Posn %ld: @%c: unexpected end of input inside a string", in.GetPosn(), tag);
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
    if (!ReadStateStringLength(in, tag, len, err) || !ReadStateStringBytes(in, tag, len, text, err)) return false;
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
              CSyncTime& tAccu, CSyncTime& tSaved, CItemLen& savedLen, CWideString& wI, CGenArray& gens) {
        int nReady = 0;
        const unsigned char* const pStart = m_In.GetReady(nReady);
        const unsigned char* const pEnd = pStart + nReady;
        const unsigned char* p = pStart;
        uint32_t lh = 0, ll = 0, a = 0, c = 0, t = 0, s = 0, sh = 0, sl = 0;
        uint64_t nGens = 0;
        if (!Take(p, pEnd, "[f=") || p >= pEnd || (*p != '0' && *p != '1')) return false;
        const bool bIsFolder = *p++ == '1';
        if (!Take(p, pEnd, "|N") || !Text(p, pEnd, wN) || !Take(p, pEnd, "l[h") || !Unsigned(p, pEnd, 0xFFFF, lh) ||
            !Take(p, pEnd, "l") || !Unsigned(p, pEnd, 0xFFFFFFFFu, ll) || !Take(p, pEnd, "]a") ||
            !Unsigned(p, pEnd, 0xFFFFFFFFu, a) || !Take(p, pEnd, "C[t") || !Unsigned(p, pEnd, 0xFFFFFFFFu, c) ||
            !Take(p, pEnd, "]t[t") || !Unsigned(p, pEnd, 0xFFFFFFFFu, t) || !Take(p, pEnd, "]p[t") ||
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
        if (!Take(p, pEnd, "}]]")) return false;
        bFolder = bIsFolder;
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
        constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ull, k3 = 0x3030303030303030ull, k6 = 0x0606060606060606ull;
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
        if (!Take(p, pEnd, ":") || !Digits(p, pEnd, n) || !Take(p, pEnd, ":") || n > (uint64_t)kStateMaxString ||
            (uint64_t)(pEnd - p) <= n || p[n] != '|')
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
        if (CWrittenRecord(in).Read(bFolder, wN, len, nAttr, tFile, tAccu, tSave, saved, wI, read)) {
            m_Len = len;
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
    AppendSideRecord(out, *this, sName, tSaved, savedLen, gens);
}

void AppendSideRecord(std::string& out, const CSideInfo& rec, const CWideString& sName, CSyncTime tSaved,
                      const CItemLen& savedLen, const CGenArray& gens) {
    const bool bNameAscii = IsAscii(sName), bIdAscii = IsAscii(rec.m_sId);
    CNarrowString nameUtf8, idUtf8;
    const size_t nMax = 8 + MaxStringBytes(sName, bNameAscii, nameUtf8) + 2 * kMaxLenBytes + 14 +
                        3 * kMaxTimeBytes + MaxStringBytes(rec.m_sId, bIdAscii, idUtf8) + MaxGenArrayBytes(gens);
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

// ---------------------------------------------------------------- CStateFileIo
void CStateFileIo::Log(int nLevel, int nMsgKind, const CWideString& sText) {
    (void)nLevel;
    (void)nMsgKind;
    (void)sText;
}

void CStateFileIo::LogGlobal(const CWideString& sText) {
    if (ZorTraceEnabled()) ZorTraceText(WideToUtf8(sText));
}

bool CStateFileIo::SideAnswersCapability25(int nSide) {
    (void)nSide;
    return true;
}

bool CStateFileIo::IsStopRequested() {
    return m_pProgress && m_pProgress->IsStopRequested();
}

CWideString CStateFileIo::GetSideName(int nSide) {
    return GetLocalizedString(nSide ? IDS_Str_Right : IDS_Str_Left);
}

bool CStateFileIo::CheckStop(CWideString& err) {
    if (!IsStopRequested()) return true;
    err += GetLocalizedString(IDS_Str_Msg_StoppedByUser);
    m_bStopped = true;
    return false;
}

int32_t CStateFileIo::GetStateLevel(const CSyncTreeNode* pNode) const {
    if (!m_Levels.empty()) {
        auto it = m_Levels.find(&pNode->GetItem());
        if (it != m_Levels.end()) return it->second;
    }
    return pNode->GetDepth(nullptr);
}

void CStateFileIo::SetStateLevel(const CSyncTreeNode* pNode, int32_t nLevel) {
    if (nLevel != pNode->GetDepth(nullptr))
        m_Levels[&pNode->GetItem()] = nLevel;
    else if (!m_Levels.empty())
        m_Levels.erase(&pNode->GetItem());
}

void CStateFileIo::Remember(CSyncTreeNode* pNode, int nSide) {
    if (!m_bJournal) return;
    const CSyncPairAndAction& item = pNode->GetItem();
    auto it = m_Levels.empty() ? m_Levels.end() : m_Levels.find(&item);
    m_Journal.push_back(SJournal{pNode, item.m_aOld[nSide], item.m_aGens[nSide], item.GetSavedTime(nSide),
                                 item.GetSavedLen(nSide), it == m_Levels.end() ? 0 : it->second,
                                 it != m_Levels.end(), item.m_nFlags});
}

void CStateFileIo::RememberFresh(CSyncTreeNode* pNode) {
    if (m_bJournal) m_Fresh.push_back(pNode);
}

void CStateFileIo::RollBack(int nSide) {
    for (auto it = m_Journal.rbegin(); it != m_Journal.rend(); ++it) {
        CSyncPairAndAction& item = it->pNode->GetItem();
        item.m_aOld[nSide] = it->old;
        item.m_aGens[nSide] = it->gens;
        item.SetSaved(nSide, it->tSaved, it->savedLen);
        item.m_nFlags = it->nItemFlags;
        if (it->bHadLevel)
            m_Levels[&item] = it->nLevel;
        else
            m_Levels.erase(&item);
    }
    // Nodes created by the read hold no old record of this side.
    for (CSyncTreeNode* pNode : m_Fresh) {
        CSyncPairAndAction& item = pNode->GetItem();
        item.m_aOld[nSide] = CSideInfo();
        item.m_aGens[nSide].RemoveAll();
        item.SetSaved(nSide, CSyncTime(), CItemLen());
        m_Levels.erase(&item);
    }
    m_Journal.clear();
    m_Fresh.clear();
}

// ---------------------------------------------------------------- pipelined tree read
// Parses the tree form on its own thread while the caller merges what was
// parsed into the sync tree. The steps come in file order: a record, the end
// of a record's children, or the parse error that ended the parse. Each step
// carries the error text the parse appended before it, so that the caller's
// text grows exactly as in a read on one thread. The stream belongs to the
// parsing thread until the parser is destroyed.
class CStateFileIo::CTreeParser {
public:
    struct Step {
        enum Kind : uint8_t { kRecord, kEnd, kError };
        Kind nKind = kError;
        StateFile rec;
        CWideString name;
        CSyncTime tSaved;
        CItemLen savedLen;
        CGenArray gens;
        CWideString err;
    };

    explicit CTreeParser(ZorInStream& in) : m_In(in) {}
    ~CTreeParser() {
        {
            std::lock_guard<std::mutex> l(m_Mutex);
            m_bCancel = true;
        }
        m_Cv.notify_all();
        if (m_Thread.joinable()) m_Thread.join();
    }
    // False when no thread could be started (nothing was read).
    bool Start(int nDepth) {
        try {
            m_Thread = std::thread([this, nDepth] {
                ParseNode(nDepth);
                Flush(true);
            });
        } catch (...) {
            return false;
        }
        return true;
    }
    // The next step (waiting for it); it stays valid until Pop.
    Step& Peek() {
        if (m_nAt >= m_Batch.size()) {
            // The batch taken goes back to the parsing thread, which empties
            // it there (what its steps still hold was allocated there) and
            // fills it again.
            std::vector<Step> spent = std::move(m_Batch);
            m_Batch.clear();
            m_nAt = 0;
            std::unique_lock<std::mutex> l(m_Mutex);
            if (spent.capacity() != 0 && !m_bDone) m_Spent.push_back(std::move(spent));
            if (m_Ready.empty() && !m_bDone) {
                m_bReaderWaits = true;
                m_Cv.wait(l, [&] { return !m_Ready.empty() || m_bDone; });
                m_bReaderWaits = false;
            }
            if (m_Ready.empty()) {
                // Cannot happen: the parse ends with the file's last step.
                m_Batch.emplace_back();
                m_Batch.back().err = u"state file parse ended early";
            } else {
                m_Batch = std::move(m_Ready.front());
                m_Ready.pop_front();
                if (m_bParserWaits) m_Cv.notify_all();
            }
        }
        return m_Batch[m_nAt];
    }
    void Pop() { ++m_nAt; }

private:
    // The first batches are small, so that the reader starts soon; later
    // ones are larger, so that the threads wake each other less often.
    static constexpr size_t kFirstBatch = 128;
    static constexpr size_t kMaxBatch = 4096;
    static constexpr size_t kMaxBatches = 4;

    Step& Add(Step::Kind nKind) {
        if (m_Out.capacity() < m_nBatch + 1) m_Out.reserve(m_nBatch + 1); // a batch never moves its steps
        m_Out.emplace_back();
        Step& s = m_Out.back();
        s.nKind = nKind;
        s.err = std::move(m_Err); // leaves it empty
        return s;
    }
    // Hands the collected steps over; false when the reader is gone.
    bool Flush(bool bLast) {
        std::unique_lock<std::mutex> l(m_Mutex);
        if (!m_Out.empty()) {
            if (!m_bCancel && m_Ready.size() >= kMaxBatches) {
                m_bParserWaits = true;
                m_Cv.wait(l, [&] { return m_bCancel || m_Ready.size() < kMaxBatches; });
                m_bParserWaits = false;
            }
            if (!m_bCancel) m_Ready.push_back(std::move(m_Out));
            m_Out.clear();
            if (m_nBatch < kMaxBatch) m_nBatch *= 2;
        }
        if (bLast) m_bDone = true;
        if (m_bReaderWaits || bLast || m_bCancel) m_Cv.notify_all();
        const bool bOk = !m_bCancel;
        std::vector<Step> next;
        if (!m_Spent.empty()) {
            next = std::move(m_Spent.back());
            m_Spent.pop_back();
        }
        l.unlock();
        next.clear();
        m_Out = std::move(next);
        return bOk;
    }
    bool Fail() {
        Add(Step::kError);
        return false;
    }
    // The grammar of ReadNodeTree.
    bool ParseNode(int nDepth) {
        if (nDepth > kStateMaxDepth) {
            m_Err.AppendFormat(u"Posn %ld: state file nodes nested deeper than %d levels", m_In.GetPosn(),
                               kStateMaxDepth);
            return Fail();
        }
        unsigned char ch;
        if (m_In.GetChar(ch, m_Err)) {
            if (ch != '\n') m_In.UngetChar(ch);
        } else if (m_In.HasError()) {
            return Fail();
        }
        {
            Step& s = Add(Step::kRecord);
            if (!s.rec.ReadNode(m_In, s.name, s.tSaved, s.savedLen, s.gens, m_Err)) {
                s.nKind = Step::kError; // the text so far, then what the record's parse added
                s.err += m_Err;
                m_Err.Empty();
                return false;
            }
        }
        if (m_Out.size() >= m_nBatch && !Flush(false)) return false;
        if (!GetTicPrefix(m_In, '<', m_Err)) return Fail();
        for (;;) {
            if (!m_In.GetChar(ch, m_Err)) {
                if (!m_In.HasError())
                    m_Err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", m_In.GetPosn());
                return Fail();
            }
            if (ch == '>') break;
            m_In.UngetChar(ch);
            if (!ParseNode(nDepth + 1)) return false;
        }
        Add(Step::kEnd);
        return true;
    }

    ZorInStream& m_In;
    CWideString m_Err;       // appended since the last step
    std::vector<Step> m_Out; // parsing thread: steps not yet handed over
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::deque<std::vector<Step>> m_Ready;
    std::vector<std::vector<Step>> m_Spent; // taken by the reader, to be filled again
    size_t m_nBatch = kFirstBatch;           // parsing thread: steps in the next batch
    bool m_bDone = false;
    bool m_bCancel = false;
    bool m_bReaderWaits = false, m_bParserWaits = false;
    std::vector<Step> m_Batch; // reader: the batch being taken
    size_t m_nAt = 0;
    std::thread m_Thread;
};

bool CStateFileIo::ParseStateFile(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                                  StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    bVersionError = false;
    m_bStopped = false;
    const int nErrStart = err.GetLength();
    m_Journal.clear();
    m_Fresh.clear();
    m_MergedAt.assign(m_bMergeInOrder ? (size_t)kStateMaxDepth + 2 : 0, nullptr);
    m_bJournal = true;
    m_nAgeLimit =
        m_bCleanupOldGenerations ? std::max<int64_t>(0, m_nSaveMonthsOldGens) * kStateSecondsPerMonth : 0;

    bool ok = false;
    unsigned char ch = 0;
    if (!pFolder) {
        err += u"null folder node";
    } else if (!in.GetChar(ch, err)) {
        if (!in.HasError()) err += u"bad 1st char of state file: end of input";
    } else if (ch == '^') {
        if (hdr.Read(in, err)) {
            if (!pFolder->GetParent()) m_anReadVerified[nSide & 1] = hdr.m_nVerified;
            if (CheckVersion(hdr, bVersionError, err)) {
                unsigned char next;
                if (!in.PeekChar(next, err)) {
                    // Nothing after the header: a folder without state.
                    ok = !in.HasError();
                } else {
                    // The records are parsed on a second thread while this
                    // one merges them into the tree.
                    CTreeParser parser(in);
                    if (parser.Start(0))
                        ok = ReadNodeTreePiped(parser, nSide, m_nAgeLimit, nullptr, pFolder, bMayShift, 0, false,
                                               err);
                    else
                        ok = ReadStateNode(in, nSide, m_nAgeLimit, nullptr, pFolder, bMayShift, 0, err);
                }
            }
        }
    } else if (ch == '<') {
        ok = ParseFlat(in, nSide, pFolder, bMayShift, hdr, bVersionError, err);
    } else {
        err += u"bad 1st char of state file: ";
        err.AppendChar((char16_t)ch);
    }

    m_bJournal = false;
    if (!ok) {
        if (pFolder && !pFolder->GetParent()) m_anReadVerified[nSide & 1] = 0;
        RollBack(nSide);
        if (!bVersionError && !m_bStopped) {
            CWideString s = GetSideName(nSide);
            s += u": cannot parse state file, its records are not used: ";
            s += err.Mid(nErrStart);
            s += u"\n";
            Log(1, kMsgStateParseFailed, s);
        }
    }
    m_Journal.clear();
    m_Journal.shrink_to_fit();
    m_Fresh.clear();
    m_Fresh.shrink_to_fit();
    m_MergedAt.clear(); // the nodes may go before the next read
    return ok;
}

bool CStateFileIo::ReadStateStream(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                                   int nPresetA, int& errKind, CWideString& err) {
    StateFileHeader hdr;
    hdr.m_nA = (uint16_t)nPresetA;
    bool bVersionError = false;
    if (ParseStateFile(in, nSide, pFolder, bMayShift, hdr, bVersionError, err)) return true;
    errKind = bVersionError ? ZEK_GENERAL : m_bStopped ? ZEK_STOPPED : ZEK_NONE;
    return false;
}

bool CStateFileIo::ParseFlat(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                             StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    const int64_t nAge = std::max<int64_t>(0, m_nSaveMonthsOldGens) * kStateSecondsPerMonth;
    for (;;) {
        unsigned char ch;
        bool bEnd = false;
        for (int k = 0; k < 3; k++) {
            if (!in.GetChar(ch, err)) {
                if (!in.HasError())
                    err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", in.GetPosn());
                return false;
            }
            if (ch == '>') {
                bEnd = true;
                break;
            }
            if (k < 2 && (ch == '\n' || ch == '\r')) continue;
            in.UngetChar(ch);
            break;
        }
        if (bEnd) break;
        if (!CheckStop(err)) return false;

        StateFile rec;
        CWideString name;
        CSyncTime tSaved;
        CItemLen savedLen;
        CGenArray gens;
        if (!rec.ReadNode(in, name, tSaved, savedLen, gens, err)) return false;
        if (m_bCleanupOldGenerations && PruneGenerations(gens, nAge) && !rec.Exists() && !rec.IsFolder())
            continue;
        if (rec.Exists() && !bMayShift && rec.m_tFile != rec.m_tAccu) {
            rec.m_tAccu = rec.m_tFile;
            rec.SetFlag(SIF_CORRECTED, true);
        }
        bool bDup = false;
        CWideString e;
        CSyncTreeNode* pNode = SetNodeCS(name, nSide, pFolder, -1, true, false, hdr.m_nA, rec, bDup, e);
        if (!pNode) {
            err += u"Cannot add tree node: ";
            err += EscapeControlChars(name);
            err += u": ";
            err += e;
            return false;
        }
        CSyncPairAndAction& item = pNode->GetItem();
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pNode, nSide, bDup, pNode->GetDepth(pFolder), rec, gens);
    }
    return hdr.Read(in, err) && CheckVersion(hdr, bVersionError, err);
}

bool CStateFileIo::CheckVersion(const StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    if (hdr.m_nMajor > kStateFileVerMajor) {
        err.AppendFormat(
            u"State file format ver %d.%d is not handled by this Torvane who handles only ver %d.%d, "
            u"upgrade Torvane to the latest version",
            hdr.m_nMajor, hdr.m_nMinor, kStateFileVerMajor, kStateFileVerMinor);
        bVersionError = true;
        return false;
    }
    if (hdr.m_nMajor == kStateFileVerMajor && hdr.m_nMinor > kStateFileVerMinor) {
        CWideString s;
        s.Format(u"State file format ver %d.%d is newer than ver %d.%d handled by this Torvane, upgrade "
                 u"Torvane to "
                 u"the latest version",
                 hdr.m_nMajor, hdr.m_nMinor, kStateFileVerMajor, kStateFileVerMinor);
        Log(2, kMsgStateNewer, s + u"\n");
    }
    return true;
}

bool CStateFileIo::ReadStateNode(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                                 CSyncTreeNode* pFolder, bool bMayShift, int nDepth, CWideString& err) {
    return ReadNodeTree(in, nSide, nAgeLimit, pParent, pFolder, bMayShift, nDepth, false, err);
}

CSyncTreeNode* CStateFileIo::FindPlainChild(CSyncTreeNode* pParent, const CWideString& name,
                                            const CSideInfo& rec, const CChildNameIndex* pIndex) const {
    CSyncTreeNode::CChildMap* pMap = pParent ? pParent->GetChildMap() : nullptr;
    if (!pMap || !rec.m_sId.IsEmpty() || !IsPlainName(name)) return nullptr;
    if (pIndex && pIndex->IsBuilt()) return pIndex->Find(name, m_bCaseSensitive);
    CSyncTreeNode::CEntry* e = pMap->LookupCS(name, m_bCaseSensitive);
    return e ? &e->GetValue() : nullptr;
}

CSyncTreeNode* CStateFileIo::AddFreshChild(CSyncTreeNode* pParent, const CWideString& name, int nSide,
                                           const CSideInfo& rec) {
    if (!IsPlainName(name) || pParent->GetDepth(nullptr) >= kStateMaxDepth) return nullptr;
    CWideString e;
    // A new node's item is a new item: only the side's old record is set.
    // The file lists a folder's children in key order.
    CSyncTreeNode* pNode = pParent->AddItemCS(name, rec.IsFolder(), m_bCaseSensitive, nullptr, e, true);
    if (!pNode) return nullptr; // already there: the general way handles it
    pNode->GetItem().m_aOld[nSide] = rec;
    RememberFresh(pNode);
    if (CSyncJob::IsInExcludedSubtree(pNode)) pNode->GetItem().m_nFlags |= SPF_EXCLUDED;
    return pNode;
}

bool CStateFileIo::ReadNodeTree(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                                CSyncTreeNode* pFolder, bool bMayShift, int nDepth, bool bParentFresh,
                                CWideString& err) {
    if (nDepth > kStateMaxDepth) {
        err.AppendFormat(u"Posn %ld: state file nodes nested deeper than %d levels", in.GetPosn(),
                         kStateMaxDepth);
        return false;
    }
    unsigned char ch;
    if (in.GetChar(ch, err)) {
        if (ch != '\n') in.UngetChar(ch);
    } else if (in.HasError()) {
        return false;
    }
    StateFile rec;
    CWideString name;
    CSyncTime tSaved;
    CItemLen savedLen;
    CGenArray gens;
    if (!rec.ReadNode(in, name, tSaved, savedLen, gens, err)) return false;
    if (!CheckStop(err)) return false;

    bool bFresh = false;
    CSyncTreeNode* pNode = ApplyTreeRecord(nSide, pParent, pFolder, bMayShift, nDepth, bParentFresh, rec, name,
                                           tSaved, savedLen, gens, bFresh, err);
    if (!pNode) return false;
    if (!GetTicPrefix(in, '<', err)) return false;
    for (;;) {
        if (!in.GetChar(ch, err)) {
            if (!in.HasError())
                err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", in.GetPosn());
            return false;
        }
        if (ch == '>') break;
        in.UngetChar(ch);
        if (!ReadNodeTree(in, nSide, nAgeLimit, pNode, pFolder, bMayShift, nDepth + 1, bFresh, err))
            return false;
    }
    PruneAgedRecord(nSide, nAgeLimit, pNode, rec, gens);
    return true;
}

CSyncTreeNode* CStateFileIo::ApplyTreeRecord(int nSide, CSyncTreeNode* pParent, CSyncTreeNode* pFolder,
                                             bool bMayShift, int nDepth, bool bParentFresh, StateFile& rec,
                                             const CWideString& name, CSyncTime tSaved,
                                             const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                             CWideString& err) {
    bFresh = false;
    if (!pParent) return pFolder;
    if (rec.Exists() && !rec.IsFolder() && !bMayShift && !CSyncTime::IsSame(rec.m_tFile, rec.m_tAccu)) {
        rec.m_tAccu = rec.m_tFile;
        rec.SetFlag(SIF_CORRECTED, true);
    }
    // Below a node this read created, a plain name is most likely new:
    // it is added at once (what SetNodeCS does for a new node).
    CSyncTreeNode* pNode =
        bParentFresh && rec.m_sId.IsEmpty() ? AddFreshChild(pParent, name, nSide, rec) : nullptr;
    if (pNode) {
        bFresh = true;
        CSyncPairAndAction& item = pNode->GetItem();
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pNode, nSide, false, nDepth, rec, gens);
        return pNode;
    }
    return ReadMergeRecord(nSide, pParent, nDepth, name, rec, tSaved, savedLen, gens, bFresh, err);
}

void CStateFileIo::PruneAgedRecord(int nSide, int64_t nAgeLimit, CSyncTreeNode* pNode, const StateFile& rec,
                                   const CGenArray& gens) {
    if (nAgeLimit != 0 && !rec.Exists()) {
        CGenArray pruned = gens;
        if (PruneGenerations(pruned, nAgeLimit) && !AnyChildPresent(pNode, nSide)) {
            Remember(pNode, nSide);
            pNode->GetItem().m_aOld[nSide].SetPresent(false);
        }
    }
}

bool CStateFileIo::ReadNodeTreePiped(CTreeParser& parser, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                                     CSyncTreeNode* pFolder, bool bMayShift, int nDepth, bool bParentFresh,
                                     CWideString& err) {
    CTreeParser::Step& step = parser.Peek();
    if (!step.err.IsEmpty()) err += step.err;
    if (step.nKind != CTreeParser::Step::kRecord) return false;
    // Kept here: the step goes when the next batch is taken. The name is
    // only read before that (by ApplyTreeRecord), so it is not copied: the
    // parsing thread, which made it, frees it, and a copy would write its
    // count from this thread.
    StateFile rec = std::move(step.rec);
    const CWideString& name = step.name;
    const CSyncTime tSaved = step.tSaved;
    const CItemLen savedLen = step.savedLen;
    const CGenArray gens = std::move(step.gens);
    parser.Pop();
    if (!CheckStop(err)) return false;

    bool bFresh = false;
    CSyncTreeNode* pNode = ApplyTreeRecord(nSide, pParent, pFolder, bMayShift, nDepth, bParentFresh, rec, name,
                                           tSaved, savedLen, gens, bFresh, err);
    if (!pNode) return false;
    for (;;) {
        CTreeParser::Step& next = parser.Peek();
        const CTreeParser::Step::Kind nKind = next.nKind;
        if (nKind != CTreeParser::Step::kRecord) {
            if (!next.err.IsEmpty()) err += next.err;
            parser.Pop();
            if (nKind == CTreeParser::Step::kError) return false;
            break;
        }
        if (!ReadNodeTreePiped(parser, nSide, nAgeLimit, pNode, pFolder, bMayShift, nDepth + 1, bFresh, err))
            return false;
    }
    PruneAgedRecord(nSide, nAgeLimit, pNode, rec, gens);
    return true;
}

CSyncTreeNode* CStateFileIo::ReadMergeRecord(int nSide, CSyncTreeNode* pParent, int nDepth,
                                             const CWideString& name, StateFile& rec, CSyncTime tSaved,
                                             const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                             CWideString& err) {
    // The node this record's sibling before it merged into: the file keeps
    // the child-map order, so the child after that one is most likely this
    // record's. It is taken when it is what the look-up would give.
    CSyncTreeNode** ppMerged =
        nDepth >= 0 && (size_t)nDepth < m_MergedAt.size() ? &m_MergedAt[(size_t)nDepth] : nullptr;
    CSyncTreeNode* pNext = nullptr;
    if (ppMerged && *ppMerged && (*ppMerged)->GetParent() == pParent && rec.m_sId.IsEmpty() &&
        IsPlainName(name)) {
        CSyncTreeNode::CEntry* e =
            CSyncTreeNode::CChildMap::GetNext(CSyncTreeNode::CChildMap::EntryFromValue(*ppMerged));
        if (e && NameMatches(name, e->GetKey(), m_bCaseSensitive) &&
            (m_bCaseSensitive || !NameMatches(name, (*ppMerged)->GetNameRef(), false)))
            pNext = &e->GetValue();
    }
    CSyncTreeNode* pNode =
        ReadMergeInto(nSide, pParent, nDepth, name, rec, tSaved, savedLen, gens, bFresh, err, pNext);
    if (ppMerged) *ppMerged = pNode && pNode->GetParent() == pParent ? pNode : nullptr;
    return pNode;
}

CSyncTreeNode* CStateFileIo::ReadMergeInto(int nSide, CSyncTreeNode* pParent, int nDepth,
                                           const CWideString& name, StateFile& rec, CSyncTime tSaved,
                                           const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                           CWideString& err, CSyncTreeNode* pNext) {
    // The common case, a plain name already below the parent, is merged
    // directly: what SetNodeCS does for "/" + name that it finds.
    if (CSyncTreeNode* pFound = pNext ? pNext : FindPlainChild(pParent, name, rec)) {
        Remember(pFound, nSide);
        CSyncPairAndAction& item = pFound->GetItem();
        CSideInfo& old = item.m_aOld[nSide];
        const bool bDup = old.IsPresentBit();
        if (!bDup) old = rec;
        if (name != pFound->GetNameRef()) old.m_sId = name;
        if (CSyncJob::IsInExcludedSubtree(pFound)) item.m_nFlags |= SPF_EXCLUDED;
        bFresh = false;
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pFound, nSide, bDup, nDepth, rec, gens);
        return pFound;
    }
    CWideString path = u"/";
    if (rec.m_sId.IsEmpty()) {
        path += name;
    } else {
        const CWideString nfcId = Nfc(rec.m_sId), nfcName = Nfc(name);
        if (nfcId == nfcName) {
            path += rec.m_sId;
        } else if (nfcId.CompareNoCase(nfcName) == 0) {
            // The side's own letter case: the node keeps its key, the
            // record keeps the side's form.
            path += name;
        } else {
            rec.m_sId = name;
            path += name;
        }
    }
    bool bDup = false;
    CWideString e;
    const size_t nFresh = m_Fresh.size();
    CSyncTreeNode* pNode = SetNodeCS(path, nSide, pParent, nDepth, true, false, 4, rec, bDup, e);
    if (!pNode) {
        err += u"Cannot add tree node: ";
        err += EscapeControlChars(path);
        err += u": ";
        err += e;
        return nullptr;
    }
    bFresh = m_Fresh.size() > nFresh && m_Fresh.back() == pNode;
    CSyncPairAndAction& item = pNode->GetItem();
    item.SetSaved(nSide, tSaved, savedLen);
    MergeOldRecord(pNode, nSide, bDup, nDepth, rec, gens);
    return pNode;
}

CSyncTreeNode* CStateFileIo::ForceCreatePath(CSyncTreeNode* pParent, const CWideString& path, int nSide,
                                             bool bIntoOld, CWideString& err) {
    if (!pParent) {
        err += u"no parent node";
        return nullptr;
    }
    if (pParent->GetDepth(nullptr) + CountComponents(path) > kStateMaxDepth) {
        err.AppendFormat(u"path nested deeper than %d levels", kStateMaxDepth);
        return nullptr;
    }
    CSideInfo folder;
    folder.SetPresent(true);
    folder.SetFolder(true);
    folder.m_Len.SetFolder();
    CSyncPairAndAction item;
    (bIntoOld ? item.m_aOld : item.m_aCur)[nSide] = folder;

    CSyncTreeNode* pCur = pParent;
    const int n = path.GetLength();
    int i = 0;
    for (;;) {
        while (i < n && path[i] == u'/') i++;
        const int nStart = i;
        while (i < n && path[i] != u'/') i++;
        if (i >= n) return pCur; // the last component is the caller's
        const CWideString comp = path.Mid(nStart, i - nStart);
        CWideString e;
        CSyncTreeNode* pNext = CSyncTreeNode::LookupCS(pCur, comp, m_bCaseSensitive, nullptr, e);
        if (!pNext) {
            pNext = pCur->AddItemCS(comp, true, m_bCaseSensitive, &item, err);
            if (!pNext) return nullptr;
            if (bIntoOld) {
                RememberFresh(pNext);
                SetStateLevel(pNext, 0); // a folder made for a path, not read from a record
            }
        }
        pCur = pNext;
    }
}

CSyncTreeNode* CStateFileIo::SetNodeCS(const CWideString& path, int nSide, CSyncTreeNode* pParent, int nDepth,
                                       bool bIntoOld, bool bPathMode, int nLevel, const CSideInfo& rec,
                                       bool& bDuplicate, CWideString& err) {
    (void)nDepth;
    ZOR_ASSERT(rec.IsPresentBit());
    bDuplicate = false;
    const int nSlash = path.ReverseFind(u'/');
    const CWideString name = nSlash >= 0 ? path.Mid(nSlash + 1) : path;
    if (bPathMode && name.IsEmpty()) {
        err += u"SetNodeCS: empty name";
        return nullptr;
    }
    if (!bPathMode && HasBadComponent(path)) {
        err += u"SetNodeCS: bad name: ";
        err += EscapeControlChars(path);
        return nullptr;
    }
    const CWideString nfcPath = Nfc(path);
    const CWideString nfcName = nSlash >= 0 ? Nfc(name) : nfcPath;

    CSyncTreeNode* pNode = nullptr;
    CSyncTreeNode* pDeep = nullptr;
    if (name.IsEmpty()) {
        pNode = pParent;
        pDeep = pParent ? pParent->GetParent() : nullptr;
    } else {
        CWideString e;
        pNode = CSyncTreeNode::LookupCS(pParent, nfcPath, m_bCaseSensitive, &pDeep, e);
        if (!pNode && !pDeep) {
            if (bPathMode && !bIntoOld) {
                err.AppendFormat(u"Orphaned child, likely caused by corrupted file system on %s: %s\n",
                                 GetSideName(nSide), path);
                return nullptr;
            }
            CWideString e2;
            pDeep = ForceCreatePath(pParent, nfcPath, nSide, bIntoOld, e2);
            if (!pDeep) {
                err += u"SetNodeCS: ForceCreatePath: ";
                err += e2;
                return nullptr;
            }
        }
    }
    if (!pNode) {
        if (!bPathMode && pDeep->GetDepth(nullptr) >= kStateMaxDepth) {
            // Every node a state file creates can be written and read again.
            err.AppendFormat(u"SetNodeCS: path nested deeper than %d levels", kStateMaxDepth);
            return nullptr;
        }
        CSyncPairAndAction item;
        (bIntoOld ? item.m_aOld : item.m_aCur)[nSide] = rec;
        pNode = pDeep->AddItemCS(nfcName, rec.IsFolder(), m_bCaseSensitive, &item, err);
        if (!pNode) return nullptr;
        if (bIntoOld) RememberFresh(pNode);
        // The side's own form of the name goes onto the record being filled.
        if (name != pNode->GetNameRef())
            (bIntoOld ? pNode->GetItem().m_aOld : pNode->GetItem().m_aCur)[nSide].m_sId = name;
    } else if (bIntoOld) {
        Remember(pNode, nSide);
        CSideInfo& old = pNode->GetItem().m_aOld[nSide];
        if (old.IsPresentBit())
            bDuplicate = true;
        else
            old = rec;
        if (nLevel >= 4 && !name.IsEmpty() && name != pNode->GetNameRef()) old.m_sId = name;
    } else {
        CSyncPairAndAction& item = pNode->GetItem();
        CSideInfo& cur = item.m_aCur[nSide];
        if (!cur.IsPresentBit()) {
            cur = rec;
            if (!name.IsEmpty() && name != pNode->GetNameRef()) cur.m_sId = name;
        } else if (bPathMode) {
            // Two listed items map to one node.
            bDuplicate = true;
            int nLogLevel = 2;
            if (!SideAnswersCapability25(nSide)) {
                item.m_nExecState = ESS_ANALYZED_ERR;
                nLogLevel = 1;
            }
            CWideString sNew = pDeep ? CSyncJob::GetItemSidePath(pDeep, nSide) : CWideString();
            sNew += u"/";
            sNew += name;
            const CWideString sOld = CSyncJob::GetItemSidePath(pNode, nSide);
            if (sNew != sOld) {
                // Two distinct items of the side (e.g. "README" and "readme" on a
                // case-sensitive disk) share one node: only one of them could be
                // synced, so the item is an error the user sees, never a quiet note.
                item.m_nExecState = ESS_ANALYZED_ERR;
                nLogLevel = 1;
                item.SetReason(CWideString::Formatted(u"Two items on %s side are named the same after "
                                                      u"normalization and lower-casing: '%s' vs '%s'",
                                                      GetSideName(nSide), EscapeControlChars(sNew),
                                                      EscapeControlChars(sOld)));
                Log(nLogLevel, kMsgDuplicateName, item.GetReason() + u"\n");
            } else {
                item.SetReason(u"same item name, but still dup -- call support");
            }
            CWideString g;
            g.Format(u"Duplicate item name error: %s: %s\n", sNew, item.GetReason());
            LogGlobal(g);
            return pNode;
        }
    }
    if (!bPathMode && CSyncJob::IsInExcludedSubtree(pNode)) pNode->GetItem().m_nFlags |= SPF_EXCLUDED;
    return pNode;
}

CSyncTreeNode* CStateFileIo::FindPathNode(const CWideString& path, CSyncTreeNode* pParent) const {
    bool bAllSeparators = true;
    for (int i = 0; i < path.GetLength() && bAllSeparators; i++) bAllSeparators = path[i] == u'/';
    if (bAllSeparators) return pParent;
    CWideString e;
    return CSyncTreeNode::LookupCS(pParent, Nfc(path), m_bCaseSensitive, nullptr, e);
}

void CStateFileIo::MergeOldRecord(CSyncTreeNode* pNode, int nSide, bool bDuplicate, int nLevel,
                                  const CSideInfo& rec, const CGenArray& gens) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!bDuplicate) {
        SetStateLevel(pNode, nLevel);
        item.m_aGens[nSide] = gens;
        return;
    }
    ++m_anDuplicates[nSide & 1];
    CSideInfo& old = item.m_aOld[nSide];
    // A record from another folder's state file: the side root's file, read
    // first, is this job's own history of the item; a data folder further
    // down belongs to a job over that subfolder, whose records and
    // generations tell what that job did, not what this one did. Taking
    // them over would hide a change from this job's comparison, or give its
    // side a generation the other side never gets.
    if (nLevel != GetStateLevel(pNode)) return;
    if (old.Exists() && !rec.Exists()) {
        bool bChanged = false;
        MergeGenerations(item.m_aGens[nSide], gens, bChanged);
        if (bChanged) old.SetFlag(SIF_CORRECTED, true);
        return;
    }
    // Replace.
    constexpr uint8_t kTaken = SIF_PRESENT | SIF_FOLDER | SIF_LINK;
    old.m_nFlags = (uint8_t)((old.m_nFlags & ~kTaken) | (rec.m_nFlags & kTaken));
    old.m_Len = rec.m_Len;
    old.m_tFile = rec.m_tFile;
    old.m_tAccu = rec.m_tAccu;
    old.m_nAttr = rec.m_nAttr;
    old.m_sId = rec.m_sId;
    bool bChanged = false;
    MergeGenerations(item.m_aGens[nSide], gens, bChanged);
    if (bChanged) old.SetFlag(SIF_CORRECTED, true);
}

// ---------------------------------------------------------------- writing
bool CStateFileIo::HasStateToWrite(int nSide, const CWideString& sFolderPath) {
    if (sFolderPath.IsEmpty()) return m_pTree != nullptr;
    CWideString e;
    CSyncTreeNode* pNode = CSyncTreeNode::LookupCS(m_pTree, sFolderPath, m_bCaseSensitive, nullptr, e);
    return pNode && pNode->GetItem().m_aOld[nSide].IsPresentBit();
}

CSyncTreeNode* CStateFileIo::BeginStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath,
                                              CWideString& err) {
    CSyncTreeNode* pNode = m_pTree;
    if (!sFolderPath.IsEmpty()) {
        CWideString e;
        pNode = CSyncTreeNode::LookupCS(m_pTree, sFolderPath, m_bCaseSensitive, nullptr, e);
    }
    if (!pNode) {
        err += u"null root";
        return nullptr;
    }
    if (pNode->GetParent() && !pNode->GetItem().m_aOld[nSide].IsPresentBit()) {
        // Such a file would hold the header alone.
        err += u"the folder has no state of its own on this side: ";
        err += sFolderPath;
        return nullptr;
    }
    if (!out.PutChar('^', err)) return nullptr;
    StateFileHeader hdr;
    hdr.m_nA = 9;
    hdr.m_nB = 2;
    hdr.m_nC = 9;
    hdr.m_nMajor = kStateFileVerMajor;
    hdr.m_nMinor = kStateFileVerMinor;
    hdr.m_bS = false;
    if (sFolderPath.IsEmpty()) hdr.m_nVerified = m_anWriteVerified[nSide & 1];
    return hdr.Write(out, err) ? pNode : nullptr;
}

bool CStateFileIo::WriteStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath,
                                    CWideString& err) {
    CSyncTreeNode* pNode = BeginStateStream(out, nSide, sFolderPath, err);
    return pNode && WriteStateNode(out, nSide, pNode, err);
}

bool CStateFileIo::WriteStateNode(ZorOutStream& out, int nSide, CSyncTreeNode* pNode, CWideString& err) {
    std::string buf;
    buf.reserve(kWriteBlock + 4096);
    if (!WriteNodeInto(buf, out, nSide, pNode, err)) return false;
    return buf.empty() || out.Write(buf.data(), (int)buf.size(), err);
}

bool CStateFileIo::WriteNodeInto(std::string& buf, ZorOutStream& out, int nSide, CSyncTreeNode* pNode,
                                 CWideString& err) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (pNode->GetParent() && !item.m_aOld[nSide].IsPresentBit()) return true;
    buf.push_back('\n');
    AppendSideRecord(buf, item.m_aOld[nSide], pNode->GetNameRef(), item.GetSavedTime(nSide),
                     item.GetSavedLen(nSide), item.m_aGens[nSide]);
    buf.push_back('<');
    if ((int)buf.size() >= kWriteBlock) {
        if (!out.Write(buf.data(), (int)buf.size(), err)) return false;
        buf.clear();
    }
    if (pNode->IsContainer()) {
        CSyncLevelIter it(pNode);
        for (bool b = it.IsValid(); b; b = it.Next())
            if (!WriteNodeInto(buf, out, nSide, it.GetNode(), err)) return false;
    }
    buf.push_back('>');
    return true;
}

// ---------------------------------------------------------------- segmented writing
//
// The file's text after the header is a run of records in tree order, each
// written as its owed ">"s (closings of the nodes before it), LF, the record
// and "<", then the closings of the last nodes. The run is cut into segments;
// a segment is kept as the values each of its records was written from. A
// later write whose records compare equal, field by written field and with
// the same closings, produces the same text for them, so that segment's
// compressed bytes stand for it.

namespace {
// Text bytes of a segment that is being written fresh: cut at the next
// record once it holds this much and no earlier segment can follow; cut at
// four times as much in any case.
constexpr size_t kSegmentBytes = 256 * 1024;
// Segments ahead of the next one looked at when a fresh segment seeks to
// meet the earlier write again.
constexpr size_t kSegmentLookAhead = 4;
} // namespace

struct CStateFileIo::SWriteSegments {
    struct SRec {
        CSideInfo rec;
        CWideString name;
        CGenArray gens;
        CSyncTime tSaved;
        CItemLen savedLen;
        uint32_t nCloses = 0; // ">" written before the record
        // The node written from: where a segment begins, it tells the same
        // record in another place (equal names in other folders) apart.
        const CSyncTreeNode* pNode = nullptr;
    };
    struct SSegment {
        std::vector<SRec> recs;
        std::shared_ptr<ZorGzBlockFileStream::Segment> pDeflated;
    };
    CWideString sFolder;
    std::vector<SSegment> segments;
};

namespace {

bool SameText(const CWideString& a, const CWideString& b) {
    return a.GetString() == b.GetString() || a == b;
}

} // namespace

class CStateFileIo::CSegmentWriter {
public:
    using SRec = SWriteSegments::SRec;
    using SSegment = SWriteSegments::SSegment;

    CSegmentWriter(ZorGzBlockFileStream& out, int nSide, SWriteSegments& old, CWideString& err)
        : m_out(out), m_nSide(nSide), m_old(old), m_err(err) {
        m_buf.reserve(kWriteBlock + 4096);
    }

    // Writes the node and its subtree (a node other than the first whose
    // record lacks its present bit is left out with its subtree).
    bool Walk(CSyncTreeNode* pNode, bool bFirst) {
        const CSyncPairAndAction& item = pNode->GetItem();
        if (!bFirst && !item.m_aOld[m_nSide].IsPresentBit()) return true;
        if (!Record(pNode)) return false;
        if (pNode->IsContainer()) {
            CSyncLevelIter it(pNode);
            for (bool b = it.IsValid(); b; b = it.Next())
                if (!Walk(it.GetNode(), false)) return false;
        }
        ++m_nOwedCloses;
        return true;
    }

    // Ends the last segment and writes the closings owed after it.
    bool Finish() {
        if (m_mode == kMatching && !FreshFromMatched()) return false;
        if (m_mode == kFresh && !EndFresh()) return false;
        m_buf.append(m_nOwedCloses, '>');
        m_nOwedCloses = 0;
        return FlushText();
    }

    SWriteSegments m_new; // what this write leaves for the next
    int m_nReused = 0;    // segments taken again

private:
    enum EMode { kBoundary, kMatching, kFresh };

    bool Same(const SRec& r, CSyncTreeNode* pNode, uint32_t nCloses) const {
        const CSyncPairAndAction& item = pNode->GetItem();
        const CSideInfo& o = item.m_aOld[m_nSide];
        return r.nCloses == nCloses && r.rec.m_tFile == o.m_tFile && r.rec.m_Len == o.m_Len &&
               r.rec.m_tAccu == o.m_tAccu && r.rec.m_nAttr == o.m_nAttr && r.rec.IsFolder() == o.IsFolder() &&
               r.tSaved == item.GetSavedTime(m_nSide) && r.savedLen == item.GetSavedLen(m_nSide) &&
               r.gens == item.m_aGens[m_nSide] && SameText(r.name, pNode->GetNameRef()) &&
               SameText(r.rec.m_sId, o.m_sId);
    }
    bool Usable(size_t i) const {
        if (i >= m_old.segments.size()) return false;
        const SSegment& s = m_old.segments[i];
        return !s.recs.empty() && s.pDeflated && s.pDeflated->IsComplete();
    }

    bool Record(CSyncTreeNode* pNode) {
        const uint32_t nCloses = m_nOwedCloses;
        m_nOwedCloses = 0;
        if (m_mode == kFresh) {
            // Meets the earlier write again where one of its next segments begins.
            bool bCut = false;
            for (size_t k = 0; k < kSegmentLookAhead && !bCut && m_iOld + k < m_old.segments.size(); ++k) {
                const SSegment* s = Usable(m_iOld + k) ? &m_old.segments[m_iOld + k] : nullptr;
                if (s && s->recs[0].pNode == pNode && Same(s->recs[0], pNode, nCloses)) {
                    m_iOld += k;
                    bCut = true;
                }
            }
            if (!bCut) bCut = m_nFreshBytes >= 4 * kSegmentBytes ||
                              (m_nFreshBytes >= kSegmentBytes && m_iOld >= m_old.segments.size());
            if (bCut && !EndFresh()) return false;
        }
        if (m_mode == kBoundary) {
            while (m_iOld < m_old.segments.size() && !Usable(m_iOld)) ++m_iOld;
            if (m_iOld < m_old.segments.size()) {
                m_mode = kMatching;
                m_nMatched = 0;
            } else if (!BeginFresh()) {
                return false;
            }
        }
        if (m_mode == kMatching) {
            SSegment& s = m_old.segments[m_iOld];
            if (Same(s.recs[m_nMatched], pNode, nCloses)) {
                if (++m_nMatched < s.recs.size()) return true;
                // The whole segment reads as before.
                if (!FlushText() || !m_out.PutSegment(s.pDeflated, m_err)) return false;
                m_new.segments.push_back(std::move(s));
                ++m_nReused;
                ++m_iOld;
                m_mode = kBoundary;
                return true;
            }
            if (!FreshFromMatched()) return false;
        }
        return AppendNode(pNode, nCloses);
    }

    // The records of the segment being compared that matched so far start
    // a fresh segment (the segment itself is not used any more).
    bool FreshFromMatched() {
        SSegment& s = m_old.segments[m_iOld++];
        if (!BeginFresh()) return false;
        for (size_t i = 0; i < m_nMatched; ++i) {
            SRec& r = s.recs[i];
            if (!AppendText(r.rec, r.name, r.tSaved, r.savedLen, r.gens, r.nCloses)) return false;
            m_cur.recs.push_back(std::move(r));
        }
        m_nMatched = 0;
        return true;
    }

    bool AppendNode(CSyncTreeNode* pNode, uint32_t nCloses) {
        const CSyncPairAndAction& item = pNode->GetItem();
        SRec r;
        r.rec = item.m_aOld[m_nSide];
        r.name = pNode->GetNameRef();
        r.gens = item.m_aGens[m_nSide];
        r.tSaved = item.GetSavedTime(m_nSide);
        r.savedLen = item.GetSavedLen(m_nSide);
        r.nCloses = nCloses;
        r.pNode = pNode;
        if (!AppendText(r.rec, r.name, r.tSaved, r.savedLen, r.gens, nCloses)) return false;
        m_cur.recs.push_back(std::move(r));
        return true;
    }

    bool AppendText(const CSideInfo& rec, const CWideString& name, CSyncTime tSaved, const CItemLen& savedLen,
                    const CGenArray& gens, uint32_t nCloses) {
        const size_t nBefore = m_buf.size();
        m_buf.append(nCloses, '>');
        m_buf.push_back('\n');
        AppendSideRecord(m_buf, rec, name, tSaved, savedLen, gens);
        m_buf.push_back('<');
        m_nFreshBytes += m_buf.size() - nBefore;
        return m_buf.size() < (size_t)kWriteBlock || FlushText();
    }

    bool FlushText() {
        if (m_buf.empty()) return true;
        const bool bOk = m_out.Write(m_buf.data(), (int)m_buf.size(), m_err);
        m_buf.clear();
        return bOk;
    }

    bool BeginFresh() {
        if (!FlushText() || !m_out.BeginSegment(m_err)) return false;
        m_cur = SSegment();
        m_nFreshBytes = 0;
        m_mode = kFresh;
        return true;
    }

    bool EndFresh() {
        if (!FlushText() || !m_out.EndSegment(m_cur.pDeflated, m_err)) return false;
        m_new.segments.push_back(std::move(m_cur));
        m_cur = SSegment();
        m_mode = kBoundary;
        return true;
    }

    ZorGzBlockFileStream& m_out;
    const int m_nSide;
    SWriteSegments& m_old;
    CWideString& m_err;
    std::string m_buf;           // text not yet handed to the stream
    uint32_t m_nOwedCloses = 0;  // ">" owed before the next record
    EMode m_mode = kBoundary;
    size_t m_iOld = 0;           // the earlier segment looked at next
    size_t m_nMatched = 0;       // its records matched so far
    SSegment m_cur;              // the fresh segment being written
    size_t m_nFreshBytes = 0;    // its text bytes
};

CStateFileIo::CStateFileIo(CSyncPairsAndActions* pTree) : m_pTree(pTree) {}

CStateFileIo::~CStateFileIo() = default;

void CStateFileIo::DropWriteSegments() {
    m_apWriteSegments[0].reset();
    m_apWriteSegments[1].reset();
}

bool CStateFileIo::WriteStateStreamReusing(ZorGzBlockFileStream& out, int nSide, const CWideString& sFolderPath,
                                           CWideString& err) {
    nSide = nSide ? 1 : 0;
    CSyncTreeNode* pNode = BeginStateStream(out, nSide, sFolderPath, err);
    if (!pNode) return false;
    std::unique_ptr<SWriteSegments> pOld = std::move(m_apWriteSegments[nSide]);
    if (!pOld || pOld->sFolder != sFolderPath) pOld = std::make_unique<SWriteSegments>();
    CSegmentWriter writer(out, nSide, *pOld, err);
    m_anSegmentsReused[nSide] = 0;
    if (!writer.Walk(pNode, true) || !writer.Finish()) return false;
    m_anSegmentsReused[nSide] = writer.m_nReused;
    // Kept only after a whole write (a segment is taken again only once
    // every block of it reached the file).
    writer.m_new.sFolder = sFolderPath;
    m_apWriteSegments[nSide] = std::make_unique<SWriteSegments>(std::move(writer.m_new));
    return true;
}
