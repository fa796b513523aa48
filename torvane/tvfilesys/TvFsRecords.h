// Records shared by every file system: listed items, checksums, change
// records, error kinds, the progress/stop/message interface, the connection
// settings of one side (with their typed and keyword-text forms), the HTTP
// connection parameters and response record, server-list entries, and a few
// small helpers around them.
//
// Errors follow the library's convention: a function returns bool (or null),
// stores an error kind into the caller's int (FsErrorKind) and appends a
// message to the caller's CWideString.
#pragma once

#include "zor-string.h"
#include "zor-debug.h"
#include "zor-coll.h"
#include "zor-time.h"
#include "zor-text.h"
#include "zor-net-records.h"

#include <cstdint>

class ZorInStream;
class ZorOutStream;
class CBufferedFile;

// ============================================================ FsItemInfo
// File attribute bits as file systems report them.
enum : uint32_t {
    FSA_READONLY = 0x01,
    FSA_HIDDEN = 0x02,
    FSA_SYSTEM = 0x04,
    FSA_FOLDER = 0x10,
    FSA_ARCHIVE = 0x20,
    FSA_NORMAL = 0x80,
    FSA_LINK = 0x400, // reparse point: symbolic link
    FSA_COMPRESSED = 0x800,
    FSA_OFFLINE = 0x1000,
    FSA_ENCRYPTED = 0x4000,
    FSA_COLLAB_ROOT = 0x10000, // cloud: collaboration root
    FSA_UNKNOWN = 0xFFFFFFFFu, // attributes unknown (or a bad entry)
};

// Item-kind bits of an FsItemInfo.
enum : uint32_t {
    FSK_NO_FILES = 1,   // files cannot be created in this folder (a server root is 1)
    FSK_NO_FOLDERS = 2, // folders cannot be created in this folder
};

// One file or folder as a file system reports it. Times are whole seconds
// since 1970 (UTC). A copy keeps every field, the bad-entry marker and its
// note included (a listing copied into a list must keep the mark).
// The fingerprint of one local file: its identity (the inode number, which a
// rename keeps and a rewrite through a new file does not) and the sub-second
// part of its modification time, folded into 32 bits. Bits 0..17 come from
// the nanoseconds, bits 18..30 from the inode; bit 31 is free for the
// records that keep it. 0 means "not known" (file systems that tell neither).
// Two files with equal size, equal second and equal stamp are taken for one
// and the same unchanged file.
constexpr uint32_t kStampTimeBits = 0x0003FFFFu;
constexpr uint32_t kStampIdBits = 0x7FFC0000u;
constexpr uint32_t kStampFileBits = kStampTimeBits | kStampIdBits;
uint32_t MakeFileStamp(uint64_t nIno, uint32_t nNanoseconds);

// The identity of one local file where the file system keeps its files'
// numbers for good (FileSystemKeepsFileIds; not FAT, exFAT or network
// mounts, which number their files anew): a digest of the inode number and,
// where the file system keeps one, the birth time, which no tool can set.
// A freed inode number goes to a file born later, so with the birth time
// (kIdentBirth set) no later file carries the identity of an earlier one;
// without it, the identity tells a new file at a path but proves nothing.
// 0 means "not known". Unlike the stamp, it takes no part in the time.
constexpr uint32_t kIdentBirth = 1u;
// Where the file system keeps no birth time, bit 0 of an identity as a
// listing gives it (IdentSeenAt) says instead that the file's inode changed
// since the last sync recorded the side, or within the tick of the look:
// the inode number then proves nothing.
constexpr uint32_t kIdentInodeChanged = kIdentBirth;
// The bits two identities compare by.
constexpr uint32_t kIdentDigest = ~kIdentBirth;
uint32_t MakeFileIdentity(uint64_t nIno, int64_t nBirthSeconds, uint32_t nBirthNanoseconds, bool bBirth);
// The change mark of one local file, where its identity is known: a digest
// of its device, inode number and inode change time (nanoseconds), in bits
// 1..31. Any change of the inode (a write, a time set, a rename, a file
// made on a freed inode) gives it another change time, so a record that
// keeps the mark its file showed proves the file unchanged by its own
// evidence. Bit 0 (kMarkClear) is for the records that keep it: the change
// time was clear of the clock tick of the look that took it (a later change
// cannot show the same time). 0 means "not known".
constexpr uint32_t kMarkClear = 1u;
constexpr uint32_t kMarkDigest = ~kMarkClear;
uint32_t MakeChangeMark(uint64_t nDev, uint64_t nIno, int64_t nChangeNs);
// Whether the file system of this statfs type keeps its files' inode numbers
// (local disk and memory file systems).
bool FileSystemKeepsFileIds(unsigned long nFsType);

struct FsItemInfo {
    CWideString m_sName;
    uint32_t m_nAttributes = FSA_UNKNOWN;
    int64_t m_nSize = 0;
    uint32_t m_nModTime = 0;
    uint32_t m_nCreateTime = 0;
    uint32_t m_nKind = 0;       // FSK_* bits
    uint8_t m_bValid = 1;       // 0 marks a bad entry (see m_sNote)
    uint8_t m_bStoredUnread = 0; // stored attribute bits left out (TvFileSys::SetStoredBitsCutoff)
    uint32_t m_nChangeTime = 0;  // the inode change time, where m_bStoredUnread
    uint32_t m_nModTimeNs = 0;   // the nanoseconds of the modification time, where known
    uint32_t m_nStamp = 0;       // identity and full time (MakeFileStamp); 0 where not known
    int64_t m_nChangeNs = 0;     // a local file's inode change time, nanoseconds since 1970; 0 where not known
    uint32_t m_nIdent = 0;       // regular files: MakeFileIdentity; 0 where not known
    uint32_t m_nCreateTimeNs = 0; // the nanoseconds of the birth time, where kIdentBirth
    uint32_t m_nChangeMark = 0;   // regular files with an identity: MakeChangeMark (kMarkClear not set)
    CWideString m_sNote;        // why the entry is bad
    CWideString m_sDisplayName; // optional display form of the name

    FsItemInfo() = default;
    FsItemInfo(const FsItemInfo&) = default;
    FsItemInfo& operator=(const FsItemInfo&) = default;

    // Back to the constructed state: empty name, attributes unknown, size and
    // times 0, valid.
    void Clear();
    bool IsFolder() const { return m_nAttributes != FSA_UNKNOWN && (m_nAttributes & FSA_FOLDER); }
    bool IsLink() const { return m_nAttributes != FSA_UNKNOWN && (m_nAttributes & FSA_LINK); }
    bool IsBad() const { return m_bValid == 0; }
    // Marks the entry bad with a note (attributes become unknown).
    void SetBad(const CWideString& note);
    // Same name (exact), size and modification time.
    bool IsSame(const FsItemInfo& o) const;
    // "name=%s attr=%X size=%lld mod-time=%s cre-time=%s ab=%x dsply=%s cmnt=%s"
    CWideString Describe() const;
};

// Typed (tic) form of one FsItemInfo, as the peer protocol carries it:
//   '[' tagged values ']'
//   'n' name (text)          'a' attributes (unsigned 32-bit, "=%u|")
//   's' size (text holding the signed 64-bit decimal, e.g. ":4:1234|")
//   'm' modification time    'c' creation time   (unsigned 32-bit)
//   'k' item kind (unsigned 32-bit)
//   'v' valid flag ("=1|"/"=0|")   'e' note of a bad entry (text)
//   'd' display name (text)
// Name and attributes are always written (unknown attributes as "=-1|"); the
// writer leaves out the other fields at their constructed value (empty texts,
// 0, valid), so a plain file record is short. The reader starts from a cleared
// record, skips leading blanks and line ends before '[', and skips unknown tags.
bool WriteItemInfoTic(ZorOutStream& out, const FsItemInfo& info, CWideString& err);
bool ReadItemInfoTic(ZorInStream& in, FsItemInfo& info, CWideString& err);

// Same as DescribeFileInfo of the job log.
inline CWideString DescribeFileInfo(const FsItemInfo& info) {
    return info.Describe();
}

// ============================================================ Md5Crc
// A 16-byte MD5 value of a file; all zero at construction.
struct Md5Crc {
    uint8_t m_bytes[16] = {};

    bool IsZero() const;
    bool operator==(const Md5Crc& o) const;
    bool operator!=(const Md5Crc& o) const { return !(*this == o); }
    // "()" for all zero, else 32 upper-case hexadecimal digits in byte order.
    CNarrowString ToText() const;
    // Reads the text form; false with "cannot scan hex str: " + text.
    bool FromText(const CNarrowString& text, CWideString& err);
};

// ============================================================ ChangedItem
enum ChangedItemKind : uint32_t {
    CIK_CREATED = 0,
    CIK_DELETED = 1,
    CIK_MODIFIED = 2,
    CIK_MOVED_FROM = 3,
    CIK_MOVED_TO = 4,
    CIK_REANALYZE = 5,
    CIK_CHANGE_IN_FOLDER = 6,
    CIK_METADATA = 7,
    CIK_UNKNOWN = 8,
};

// "Created", "Deleted", "Modified", "MovedFrom", "MovedTo", "ReAnalyze",
// "ChangeInFolder", "Metadata", "Unknown" (any other number: "Unknown").
const char16_t* ChangedItemKindText(uint32_t kind);

// One change reported by a monitor. The path lies inside the monitored root,
// '/'-separated with a leading '/'; an empty path means the whole tree.
struct ChangedItem {
    CWideString m_sPath;
    uint32_t m_nKind = CIK_UNKNOWN;
    CZorTime m_tTime;

    ChangedItem() = default;
    ChangedItem(const CWideString& path, uint32_t kind, CZorTime t = CZorTime())
        : m_sPath(path), m_nKind(kind), m_tTime(t) {}
    // "t=%s path=%s" (kind text, path)
    CWideString Dump() const;
};

// Waits after a lost HTTP connection. Without a callback: 30 seconds, true.
// With one: "Connection to the HTTP server was lost, will wait for 30 sec and
// try again" at level 2, then 30 times a progress report (flag 0, done and
// total -1) and one second of sleep; a false answer returns false at once.
bool WaitAfterConnectionLost(ICopyProgress* pProgress, int& errKind, CWideString& err);

// ============================================================ TvConnectInfo
// Connection settings of one side.
//
// Typed (tic) form, written right after the caller's tag: '[' tagged values ']'.
// Every field is written, in this order; a reader skips unknown tags and
// keeps the default of a field whose tag is absent:
//   'u' URL            'i' user id       'p' password (encrypted form)
//   'c' chunk size     'a' access policy 'S' server profile  'K' private key path
//   flags ("=0|"/"=1|"):
//   'F' fat-like       'E' encrypt       'D' decrypt         'C' compress
//   'U' uncompress     'x' use proxy     'w' use WinINet     'o' send cookies
//   '8' UTF-8          't' temp. destination  'h' host-based address
//   'I' implicit TLS   'A' active mode   'm' MDTM            'g' ping control
//   'b' ignore bad certificates          'r' reduced redundancy
//   's' server-side encryption           'l' copy locked files
//   'L' copy ACL       'n' no data folder
//   'q' 'Q' 'R' the three trailing flags (the second: long-poll connection)
// The extended form adds, before ']':
//   'N' name   'G' unique id   '+' include list   '-' exclude list
//   (a list is '<' texts '>', each text in the typed text form).
//
// Keyword-text form: the block that follows "Dir1 = " / "Dir2 = " (the
// caller writes the key; the opening line follows on the same line):
//   <ConnectInfo>
//     Url = "file:///home/me/docs"
//     UserID = "me"
//     Password = "E1:..."          (the encrypted form, never the clear text)
//     ChunkSize = 65536
//     FatLike = Yes
//   </ConnectInfo>
// Keys, one per field: Url, UserID, Password, ChunkSize, AccessPolicy,
// ServerProfile, PrivateKey, FatLike, Encrypt, Decrypt, Compress, Uncompress,
// UseProxy, WinInet, SendCookies, Utf8, TmpDest, HostBasedAddr, Implicit,
// Active, Mdtm, PingControl, IgnoreBadCerts, ReducedRedundancy,
// ServerSideEncryption, CopyLockedFiles, CopyACL, NoDataFolder, Flag1,
// LongPoll, Flag3; the extended form adds Name, UniqueID, Included, Excluded
// (string lists). A field at its default is left out unless a full dump is
// asked; a reader keeps defaults for absent keys and skips unknown keys with
// their values. Lines are indented two blanks per level; the closing line one
// level less.
class TvConnectInfo {
public:
    CWideString m_sUrl;
    CWideString m_sUserID;
    CWideString m_sPassword; // encrypted form only (see SetPasswordClear)
    int32_t m_nChunkSize = 262144;
    CWideString m_sAccessPolicy; // canned access policy name (S3)
    CWideString m_sServerProfile;
    CWideString m_sPrivateKey; // path of a private key file
    uint8_t m_bFatLike = 0;
    uint8_t m_bEncrypt = 0;
    uint8_t m_bDecrypt = 0;
    uint8_t m_bCompress = 0;
    uint8_t m_bUncompress = 0;
    uint8_t m_bUseProxy = 0;
    uint8_t m_bWinInet = 0;
    uint8_t m_bSendCookies = 0;
    uint8_t m_bUtf8 = 0;
    uint8_t m_bUseTmpDestFile = 0;
    uint8_t m_bHostBasedAddr = 0;
    uint8_t m_bImplicit = 0;
    uint8_t m_bActive = 0;
    uint8_t m_bMdtm = 0;
    uint8_t m_bPingControl = 0;
    uint8_t m_bIgnoreBadCerts = 0;
    uint8_t m_bReducedRedundancy = 0;
    uint8_t m_bServerSideEncryption = 0;
    uint8_t m_bCopyLockedFiles = 0;
    uint8_t m_bCopyACL = 0;
    uint8_t m_bNoDataFolder = 0; // set by the job at every connect
    uint8_t m_bFlag1 = 0;
    uint8_t m_bLongPoll = 0; // the cloud back-end's long-poll connection
    uint8_t m_bFlag3 = 0;

    TvConnectInfo() = default;
    TvConnectInfo(const TvConnectInfo&) = default;
    TvConnectInfo& operator=(const TvConnectInfo&) = default;
    virtual ~TvConnectInfo() = default;

    virtual bool WriteTic(ZorOutStream& out, CWideString& err) const;
    virtual bool ReadTic(ZorInStream& in, CWideString& err);
    // Writes the keyword-text block (see above) at the given indent level.
    virtual bool WriteText(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const;
    // Reads the block that follows a "Dir1"/"Dir2" key (an optional "=" first).
    virtual bool ReadText(ZorInStream& in, CWideString& err);

    // Encrypts a clear password into m_sPassword (empty clears it).
    bool SetPasswordClear(const CWideString& clear, CWideString& err);
    // Decrypts m_sPassword; an empty stored password gives an empty text.
    bool DecryptPassword(CWideString& clear, CWideString& err) const;
    // The clear password, or empty when it cannot be decrypted.
    CWideString GetPasswordClear() const;

    bool operator==(const TvConnectInfo& o) const { return EqualFields(o); }

protected:
    bool WriteTicFields(ZorOutStream& out, CWideString& err) const;
    // Reads one tagged value of this class; false in bKnown for an unknown tag.
    bool ReadTicField(ZorInStream& in, int tag, bool& bKnown, CWideString& err);
    bool WriteTextFields(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const;
    bool ReadTextField(ZorInStream& in, const CNarrowString& key, bool& bKnown, CWideString& err);
    bool EqualFields(const TvConnectInfo& o) const;
    virtual bool WriteTicExtra(ZorOutStream& out, CWideString& err) const;
    virtual bool ReadTicExtra(ZorInStream& in, int tag, bool& bKnown, CWideString& err);
    virtual bool WriteTextExtra(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const;
    virtual bool ReadTextExtra(ZorInStream& in, const CNarrowString& key, bool& bKnown, CWideString& err);
};

// The extended settings that a job's Dir1/Dir2 hold: a name, a unique id and
// include and exclude filters (see the forms above). The URL is empty by default.
class TvConnectInfoEx : public TvConnectInfo {
public:
    CWideString m_sName;
    CWideString m_sUniqueID;
    CListT<CWideString> m_lstIncluded;
    CListT<CWideString> m_lstExcluded;

    TvConnectInfoEx() = default;
    TvConnectInfoEx(const TvConnectInfoEx&) = default;
    TvConnectInfoEx& operator=(const TvConnectInfoEx&) = default;
    TvConnectInfoEx& operator=(const TvConnectInfo& o) {
        TvConnectInfo::operator=(o);
        return *this;
    }
    bool operator==(const TvConnectInfoEx& o) const;

protected:
    bool WriteTicExtra(ZorOutStream& out, CWideString& err) const override;
    bool ReadTicExtra(ZorInStream& in, int tag, bool& bKnown, CWideString& err) override;
    bool WriteTextExtra(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const override;
    bool ReadTextExtra(ZorInStream& in, const CNarrowString& key, bool& bKnown, CWideString& err) override;
};

// ============================================================ servers
// One entry of a server list.
struct ServerEntry {
    CWideString m_sName;
    uint32_t m_nWhere = 0; // 1 known to the mediator only, 0 seen on the local network
    CWideString m_sText;
    CWideString m_sDescription;
};

// A local path as the local peer file server takes it: backslashes become
// '/', with a leading '/'.
CWideString MakeLocalServerPath(const CWideString& path);
