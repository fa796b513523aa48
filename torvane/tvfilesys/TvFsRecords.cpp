// Records shared by the file systems: items, checksums, changes, progress,
// HTTP records and small helpers. The typed and keyword-text forms of the
// records are in TvFsRecordsText.cpp.
#include "TvFsRecords.h"

#include "zor-path.h"
#include "zor-unicode.h"

#include <unistd.h>

// ============================================================ FsItemInfo
void FsItemInfo::Clear() {
    *this = FsItemInfo();
}

void FsItemInfo::SetBad(const CWideString& note) {
    m_bValid = 0;
    m_nAttributes = FSA_UNKNOWN;
    m_sNote = note;
}

bool FsItemInfo::IsSame(const FsItemInfo& o) const {
    return m_sName == o.m_sName && m_nSize == o.m_nSize && m_nModTime == o.m_nModTime;
}

CWideString FsItemInfo::Describe() const {
    CWideString s;
    s.Format(u"name=%s attr=%X size=%lld mod-time=%s cre-time=%s ab=%x dsply=%s cmnt=%s", m_sName,
             m_nAttributes, (long long)m_nSize, FormatTimeStandard(m_nModTime),
             FormatTimeStandard(m_nCreateTime), (unsigned)m_bValid, m_sDisplayName, m_sNote);
    return s;
}

// ============================================================ Md5Crc
bool Md5Crc::IsZero() const {
    for (uint8_t b : m_bytes)
        if (b) return false;
    return true;
}

bool Md5Crc::operator==(const Md5Crc& o) const {
    for (int i = 0; i < 16; ++i)
        if (m_bytes[i] != o.m_bytes[i]) return false;
    return true;
}

CNarrowString Md5Crc::ToText() const {
    if (IsZero()) return CNarrowString("()");
    static const char kHex[] = "0123456789ABCDEF";
    CNarrowString s;
    char* p = s.GetBufferSetLength(32);
    for (int i = 0; i < 16; ++i) {
        p[2 * i] = kHex[m_bytes[i] >> 4];
        p[2 * i + 1] = kHex[m_bytes[i] & 15];
    }
    s.ReleaseBuffer(32);
    return s;
}

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Md5Crc::FromText(const CNarrowString& text, CWideString& err) {
    if (text == "()") {
        *this = Md5Crc();
        return true;
    }
    Md5Crc r;
    bool ok = text.GetLength() == 32;
    for (int i = 0; ok && i < 16; ++i) {
        int h = HexDigit(text[2 * i]), l = HexDigit(text[2 * i + 1]);
        if (h < 0 || l < 0)
            ok = false;
        else
            r.m_bytes[i] = (uint8_t)(h * 16 + l);
    }
    if (!ok) {
        err += u"cannot scan hex str: ";
        err += Utf8ToWide(text);
        return false;
    }
    *this = r;
    return true;
}

// ============================================================ ChangedItem
const char16_t* ChangedItemKindText(uint32_t kind) {
    static const char16_t* const kTexts[] = {u"Created",        u"Deleted",  u"Modified",
                                             u"MovedFrom",      u"MovedTo",  u"ReAnalyze",
                                             u"ChangeInFolder", u"Metadata", u"Unknown"};
    return kind < 9 ? kTexts[kind] : u"Unknown";
}

CWideString ChangedItem::Dump() const {
    CWideString s;
    s.Format(u"t=%s path=%s", ChangedItemKindText(m_nKind), m_sPath);
    return s;
}

// ============================================================ waits
bool WaitAfterConnectionLost(ICopyProgress* pProgress, int& errKind, CWideString& err) {
    if (!pProgress) {
        ZorSleepSeconds(30);
        return true;
    }
    pProgress->OnMessage(
        2, CWideString(u"Connection to the HTTP server was lost, will wait for 30 sec and try again"));
    for (int i = 0; i < 30; ++i) {
        if (!pProgress->OnProgress(false, -1, -1, errKind, err)) return false;
        ZorSleepSeconds(1);
    }
    return true;
}

// ============================================================ servers
CWideString MakeLocalServerPath(const CWideString& path) {
    CWideString r(path);
    r.Replace(u'\\', u'/');
    if (!r.StartsWith(u"/")) r.Insert(0, u'/');
    return r;
}

uint32_t MakeFileIdentity(uint64_t nIno, int64_t nBirthSeconds, uint32_t nBirthNanoseconds, bool bBirth) {
    uint64_t h = nIno * 0x9E3779B97F4A7C15ull;
    if (bBirth) h ^= ((uint64_t)nBirthSeconds * 1'000'000'000ull + nBirthNanoseconds) * 0xC2B2AE3D27D4EB4Full;
    // A final mix (as in splitmix64), so that every input bit moves the top bits.
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    uint32_t d = (uint32_t)(h >> 32) & ~kIdentBirth;
    if (d == 0) d = 2; // 0 stands for "not known"
    return bBirth ? (d | kIdentBirth) : d;
}

uint32_t MakeChangeMark(uint64_t nDev, uint64_t nIno, int64_t nChangeNs) {
    uint64_t h = nIno * 0x9E3779B97F4A7C15ull ^ (uint64_t)nChangeNs * 0xC2B2AE3D27D4EB4Full ^
                 nDev * 0x165667B19E3779F9ull;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    uint32_t d = (uint32_t)(h >> 32) & kMarkDigest;
    return d ? d : 2; // 0 stands for "not known"
}

bool FileSystemKeepsFileIds(unsigned long nFsType) {
    switch (nFsType) {
        case 0xEF53UL:     // ext2, ext3, ext4
        case 0x58465342UL: // xfs
        case 0x9123683EUL: // btrfs
        case 0x01021994UL: // tmpfs
        case 0xF2F52010UL: // f2fs
        case 0x2FC12FC1UL: // zfs
        case 0xCA451A4EUL: // bcachefs
            return true;
        default:
            return false;
    }
}

uint32_t MakeFileStamp(uint64_t nIno, uint32_t nNanoseconds) {
    // Multiplicative hashing: the high bits of each product depend on all of
    // its input's bits, so nearby inodes and times land far apart.
    const uint32_t t = (uint32_t)(nNanoseconds * 2654435761u) >> 14;
    const uint32_t id = (uint32_t)((nIno * 0x9E3779B97F4A7C15ull) >> 51) << 18;
    const uint32_t s = (t & kStampTimeBits) | (id & kStampIdBits);
    // 0 stands for "not known": the identity part gives way, never the time.
    return s ? s : (kStampIdBits & ~(kStampIdBits << 1));
}
