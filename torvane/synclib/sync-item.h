// The sync item and its side records.
//
// Every name found on either side of a job (or in the saved state of either
// side) becomes one CSyncPairAndAction, held by value in a node of the sync
// tree (sync-tree.h). The item's name is the node's key in its parent's child
// map and is not stored here. Per side the item keeps what the side holds now
// (current record, from the scan) and what it held after the last
// synchronisation (old record, from the state file), the side's generation
// history, the action the analysis decided and the action a user chose.
//
// The tree holds up to millions of items, so the records are packed: a side
// record is 32 bytes, an item 208 bytes. The fields that most items never
// set (saved versions, reason and move texts, the statistics record, MD5s)
// live in one block that the item allocates on first use (CItemExtra).
#pragma once

#include "TvFsRecords.h" // Md5Crc
#include "zor-debug.h"
#include "zor-string.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- action codes
// Low nibble: the kind; 0x10: no direction; 0x40: towards the right side;
// 0x20: towards the left side.
enum ESyncAction : uint8_t {
    EA_USESYSTEM = 0x00, // user action only: no user choice
    EA_NO_COPY = 0x11,
    EA_COPY_STATE_MERGE_GENS = 0x12,
    EA_CONFLICT = 0x13,
    EA_ERROR = 0x14,
    EA_COPY_LEFT_TO_RIGHT = 0x41,
    EA_COPY_RIGHT_TO_LEFT = 0x21,
    EA_NAME_CASE_LEFT_TO_RIGHT = 0x42,
    EA_NAME_CASE_RIGHT_TO_LEFT = 0x22,
    EA_TIME_LEFT_TO_RIGHT = 0x43,
    EA_TIME_RIGHT_TO_LEFT = 0x23,
    EA_COPY_STATE_LEFT_TO_RIGHT = 0x44,
    EA_COPY_STATE_RIGHT_TO_LEFT = 0x24,
};
constexpr uint8_t EA_BIT_NO_DIRECTION = 0x10;
constexpr uint8_t EA_BIT_TO_LEFT = 0x20;
constexpr uint8_t EA_BIT_TO_RIGHT = 0x40;
constexpr uint8_t EA_KIND_MASK = 0x0F;

// Execution states of an item.
enum EExecState : uint8_t {
    ESS_ANALYZED_OK = 1,
    ESS_ANALYZED_ERR = 2,
    ESS_SYNCING = 3,
    ESS_SYNCED_OK = 4,
    ESS_SYNCED_ERR = 5,
};

// The action's name ("NO_COPY", "COPY_LEFT_TO_RIGHT", ...; 0 is "USESYSTEM").
// An unknown code is an assertion report and gives the text "UNKNOWN" (never null).
const char16_t* GetActionName(uint8_t nAction);
// "ESS_ANALYZED_OK" .. "ESS_SYNCED_ERR" for 1..5; any other value is an
// assertion report and gives "UNKNOWN" (never null).
const char16_t* GetExecStateName(uint8_t nState);

// ---------------------------------------------------------------- CItemLen
// The length of an item on one side: a 48-bit value, an unsigned 16-bit high
// part and an unsigned 32-bit low part. A high part of 0xFFFF with one of the
// low parts below is a sentinel.
class CItemLen {
public:
    static constexpr uint16_t kSentinelHigh = 0xFFFF;
    static constexpr uint32_t kLowDeleted = 0xFFFFFFFF;
    static constexpr uint32_t kLowUndefined = 0xFFFFFFFE;
    static constexpr uint32_t kLowFolder = 0xFFFFFFFD;

    CItemLen() { SetRaw(kSentinelHigh, kLowUndefined); }

    uint16_t GetHigh() const { return m_nHigh; }
    uint32_t GetLow() const { return (uint32_t)m_aLow[0] | ((uint32_t)m_aLow[1] << 16); }
    void SetRaw(uint16_t nHigh, uint32_t nLow) {
        m_nHigh = nHigh;
        m_aLow[0] = (uint16_t)nLow;
        m_aLow[1] = (uint16_t)(nLow >> 16);
    }

    // High part from bits 32..47, low part from bits 0..31.
    void SetValue(uint64_t n) { SetRaw((uint16_t)(n >> 32), (uint32_t)n); }
    // The byte count; 0 for the deleted and undefined sentinels (a folder gives its raw value).
    uint64_t GetValue() const {
        if (IsDeleted() || IsUndefined()) return 0;
        return ((uint64_t)m_nHigh << 32) | GetLow();
    }

    bool IsDeleted() const { return m_nHigh == kSentinelHigh && GetLow() == kLowDeleted; }
    bool IsUndefined() const { return m_nHigh == kSentinelHigh && GetLow() == kLowUndefined; }
    bool IsFolder() const { return m_nHigh == kSentinelHigh && GetLow() == kLowFolder; }
    void SetDeleted() { SetRaw(kSentinelHigh, kLowDeleted); }
    void SetUndefined() { SetRaw(kSentinelHigh, kLowUndefined); }
    void SetFolder() { SetRaw(kSentinelHigh, kLowFolder); }

    bool operator==(const CItemLen& o) const { return m_nHigh == o.m_nHigh && GetLow() == o.GetLow(); }
    bool operator!=(const CItemLen& o) const { return !(*this == o); }
    // High parts first, then the low parts (unsigned).
    bool operator<(const CItemLen& o) const {
        return m_nHigh != o.m_nHigh ? m_nHigh < o.m_nHigh : GetLow() < o.GetLow();
    }
    bool operator>(const CItemLen& o) const { return o < *this; }
    bool operator<=(const CItemLen& o) const { return !(o < *this); }
    bool operator>=(const CItemLen& o) const { return !(*this < o); }

    // "[del]", "[folder]", "[undef]" or the decimal byte count.
    CWideString Format() const;

private:
    // Stored in 16-bit halves so that the value takes 6 bytes.
    uint16_t m_nHigh;
    uint16_t m_aLow[2];
};
static_assert(sizeof(CItemLen) == 6);

// ---------------------------------------------------------------- CSyncTime
// Seconds since 1970-01-01 UTC, unsigned 32-bit; 0 means unset.
class CSyncTime {
public:
    CSyncTime() = default;
    CSyncTime(uint32_t nTime) : m_nTime(nTime) {}

    uint32_t GetTime() const { return m_nTime; }
    void SetTime(uint32_t nTime) { m_nTime = nTime; }
    bool IsZero() const { return m_nTime == 0; }

    // The same when the two differ by less than 3 seconds (so times kept in
    // two-second resolution on one side match exact times on the other). The
    // difference is taken in 64 bits, so 0 and 0xFFFFFFFF are far apart.
    static bool IsSame(CSyncTime a, CSyncTime b) {
        int64_t d = (int64_t)a.m_nTime - (int64_t)b.m_nTime;
        return (d < 0 ? -d : d) < 3;
    }
    bool IsSame(CSyncTime o) const { return IsSame(*this, o); }

    // Exact comparisons of the 32-bit values (unsigned order).
    bool operator==(CSyncTime o) const { return m_nTime == o.m_nTime; }
    bool operator!=(CSyncTime o) const { return m_nTime != o.m_nTime; }
    bool operator<(CSyncTime o) const { return m_nTime < o.m_nTime; }
    bool operator>(CSyncTime o) const { return m_nTime > o.m_nTime; }
    bool operator<=(CSyncTime o) const { return m_nTime <= o.m_nTime; }
    bool operator>=(CSyncTime o) const { return m_nTime >= o.m_nTime; }

    // Stores the current time of the library clock (its low 32 bits).
    void StampNow();
    static CSyncTime Now();

    // "%Y-%m-%d %H:%M:%S" in local time; an unset time gives
    // "(not seen before)" (localised).
    CWideString Format() const;

private:
    uint32_t m_nTime = 0;
};
static_assert(sizeof(CSyncTime) == 4);

// ---------------------------------------------------------------- CGenArray
// The generation history of one side of an item: CSyncTime values, at most
// 65,535 of them. Adding to a full array doubles the capacity; an add that
// cannot get storage, or would pass 65,535 elements, fails and leaves the
// array unchanged. Up to two elements are kept inside the object itself
// (most items have one or two generations per side), so that small histories
// cost no heap block.
class CGenArray {
public:
    static constexpr int kMaxCount = 65535;

    CGenArray() = default;
    CGenArray(const CGenArray& o);
    CGenArray(CGenArray&& o) noexcept { Take(o); }
    CGenArray& operator=(const CGenArray& o);
    CGenArray& operator=(CGenArray&& o) noexcept {
        if (this == &o) return *this;
        RemoveAll();
        Take(o);
        return *this;
    }
    ~CGenArray() {
        if (!IsInline()) ::operator delete(HeapBlock());
    }

    bool IsEmpty() const { return Count() == 0; }
    int GetSize() const { return Count(); }
    int GetCapacity() const { return IsInline() ? kInline : Capacity(); }

    // The element at i; past the count: an assertion report and a reference
    // to a zero time that is not part of the array.
    CSyncTime& ElementAt(int i);
    CSyncTime GetAt(int i) const { return const_cast<CGenArray*>(this)->ElementAt(i); }
    CSyncTime operator[](int i) const { return GetAt(i); }
    // The last element; a zero time for an empty array.
    CSyncTime GetLast() const { return Count() ? Data()[Count() - 1] : CSyncTime(); }

    // Appends; false (array unchanged) when full or out of memory.
    bool Add(CSyncTime t);
    void RemoveAll() {
        if (!IsInline()) ::operator delete(HeapBlock());
        m_a[0] = m_a[1] = m_a[2] = CSyncTime();
    }

    const CSyncTime* begin() const { return Data(); }
    const CSyncTime* end() const { return Data() + Count(); }

    bool operator==(const CGenArray& o) const;
    bool operator!=(const CGenArray& o) const { return !(*this == o); }

private:
    static constexpr int kInline = 2;
    // Three words, so that the array needs only 4-byte alignment and takes
    // 12 bytes: two of them hold the inline elements or, once the elements
    // live on the heap, the heap block's address; the third holds the count
    // (low half) and the capacity (high half; 0 while the elements are
    // inline). The two are the pair that starts on an 8-byte boundary
    // wherever the array lies, so that the address is where a scan of memory
    // for pointers (the leak check) looks.
    CSyncTime m_a[3];

    // The first word of the pair, and the word of the count.
    int Pair() const { return ((uintptr_t)this & 4) ? 1 : 0; }
    int SizeWord() const { return ((uintptr_t)this & 4) ? 0 : 2; }
    int Count() const { return (int)(m_a[SizeWord()].GetTime() & 0xFFFF); }
    int Capacity() const { return (int)(m_a[SizeWord()].GetTime() >> 16); }
    void SetSizes(int nCount, int nCapacity) {
        m_a[SizeWord()].SetTime((uint32_t)nCount | ((uint32_t)nCapacity << 16));
    }
    bool IsInline() const { return Capacity() == 0; }
    CSyncTime* HeapBlock() const {
        CSyncTime* p;
        std::memcpy(&p, m_a + Pair(), sizeof p);
        return p;
    }
    void SetHeapBlock(CSyncTime* p) { std::memcpy((void*)(m_a + Pair()), &p, sizeof p); }
    CSyncTime* Data() { return IsInline() ? m_a + Pair() : HeapBlock(); }
    const CSyncTime* Data() const { return IsInline() ? m_a + Pair() : HeapBlock(); }
    // Takes o's elements (o is left empty); this array holds none.
    void Take(CGenArray& o) {
        std::memcpy((void*)(m_a + Pair()), o.m_a + o.Pair(), 2 * sizeof(CSyncTime));
        SetSizes(o.Count(), o.Capacity());
        o.m_a[0] = o.m_a[1] = o.m_a[2] = CSyncTime();
    }
};
static_assert(sizeof(CGenArray) == 12);

// Appends t when the array is empty or its last element differs exactly from
// t; true when it appended.
bool AppendTimeIfNew(CGenArray& gens, CSyncTime t);

// ---------------------------------------------------------------- CSideInfo
// Flag bits of a side record (bits 6 and 7 are not part of the record).
enum ESideFlag : uint8_t {
    SIF_PRESENT = 0x01,
    SIF_FOLDER = 0x02,
    SIF_LINK = 0x04,      // a link kept as a link
    SIF_VIA_LINK = 0x08,  // reached through a followed folder or file link
    SIF_CORRECTED = 0x10, // corrected by the state-file reader
    // (An old record:) the side's digest (m_anDigest) is that of the bytes of
    // the file this record was taken of.
    SIF_DIGEST = 0x20,
    SIF_RECORD_MASK = 0x3F,
    // (Not part of the record, set by the listing of its file:) an old
    // record of a file that keeps neither a digest nor a change mark, as
    // versions before those kept none.
    SIF_UNMARKED = 0x40,
};

constexpr uint32_t kStampRacy = 0x80000000u;

// What one side holds for an item.
class CSideInfo {
public:
    CSideInfo() = default;
    CSideInfo(const CSideInfo& o) = default;
    CSideInfo& operator=(const CSideInfo& o) {
        m_nFlags = o.m_nFlags & SIF_RECORD_MASK;
        m_nTimeShift = o.m_nTimeShift;
        m_Len = o.m_Len;
        m_tFile = o.m_tFile;
        m_tAccu = o.m_tAccu;
        m_nAttr = o.m_nAttr;
        m_nStamp = o.m_nStamp;
        m_sId = o.m_sId;
        return *this;
    }

    // Present: the present bit is set and the length is neither undefined nor
    // deleted (a folder length counts as present).
    bool Exists() const {
        if (!(m_nFlags & SIF_PRESENT)) return false;
        return !m_Len.IsUndefined() && !m_Len.IsDeleted();
    }
    bool IsPresentBit() const { return (m_nFlags & SIF_PRESENT) != 0; }
    bool IsFolder() const { return (m_nFlags & SIF_FOLDER) != 0; }
    void SetPresent(bool b) { SetFlag(SIF_PRESENT, b); }
    void SetFolder(bool b) { SetFlag(SIF_FOLDER, b); }
    // Marks the record as a deleted item that was present: present bit set,
    // folder bit from bFolder, link and digest bits cleared, deleted length,
    // attributes unknown.
    void Invalidate(bool bFolder) {
        SetPresent(true);
        SetFolder(bFolder);
        SetFlag(SIF_LINK, false);
        SetFlag(SIF_DIGEST, false);
        m_Len.SetDeleted();
        m_nAttr = 0xFFFFFFFF;
    }
    bool GetFlag(uint8_t f) const { return (m_nFlags & f) != 0; }
    void SetFlag(uint8_t f, bool b) {
        m_nFlags = (uint8_t)(b ? (m_nFlags | f) : (m_nFlags & ~f));
    }
    int GetTimeShift() const { return m_nTimeShift; }

    // "ni=%s f=%d len=%s t-file=%s t-accu=%s ts-c=%d attr=%x".
    CWideString Dump() const;

    uint8_t m_nFlags = 0;    // ESideFlag bits
    int8_t m_nTimeShift = 0; // time-shift correction in effect for this record
    CItemLen m_Len;          // undefined at construction
    CSyncTime m_tFile;       // first time: the file time ("t-file", state-file tag "C")
    CSyncTime m_tAccu;       // second time: the time comparisons use ("t-accu", tag "t")
    uint32_t m_nAttr = 0;    // file attribute bits
    // What the side's own file system tells of the file beyond size and
    // second (MakeFileStamp: identity and sub-second time), 0 where it tells
    // nothing; bit 31 (kStampRacy) marks a record taken while the file could
    // still be written unseen within the clock tick of its time. State-file
    // tag "x".
    uint32_t m_nStamp = 0;
    CWideString m_sId;       // the side's own form of the name where it differs from the key

    // The stamp without the racy mark (0: not known).
    uint32_t FileStamp() const { return m_nStamp & kStampFileBits; }
    bool IsRacy() const { return (m_nStamp & kStampRacy) != 0 && FileStamp() != 0; }
};
static_assert(sizeof(CSideInfo) == 32);

// A file of identity nCur is the one a record of identity nOld was taken
// of, proven (no delete and create, no time set by a tool can give this):
// the file is seen clear of the clock tick of its birth, or, where the file
// system keeps no birth time (bNoBirth), its inode has not changed since the
// sync that recorded it. A record taken within the tick of the birth (a
// file the sync had just written) stands for the file that a later listing
// shows beyond it.
inline bool IdentProvesSameFile(uint32_t nOld, uint32_t nCur, bool bNoBirth) {
    return nOld && ((nOld ^ nCur) & kIdentDigest) == 0 &&
           (bNoBirth ? !(nCur & kIdentInodeChanged) : (nCur & kIdentBirth) != 0);
}
// Both identities are known and the current one does not show the recorded
// file: another inode or birth, or, where no birth time tells a new file
// from the old one (bNoBirth), an inode changed since the sync that recorded it.
inline bool IdentsDiffer(uint32_t nOld, uint32_t nCur, bool bNoBirth) {
    return nOld && nCur && (((nOld ^ nCur) & kIdentDigest) != 0 || (bNoBirth && (nCur & kIdentInodeChanged)));
}
// The record of identity nOld was taken within the tick of its file's birth,
// and the unchanged file it stands for (nCur) now shows it clear of that
// tick: the record may take the proof back.
inline bool IdentRegainsProof(uint32_t nOld, uint32_t nCur, bool bNoBirth) {
    return !bNoBirth && nOld && !(nOld & kIdentBirth) && (nCur & kIdentBirth) && ((nOld ^ nCur) & kIdentDigest) == 0;
}

// ---------------------------------------------------------------- statistics record
// Counts of files and folders. The statistics passes fill them.
struct CItemCount {
    uint32_t m_nFiles = 0;
    uint32_t m_nFolders = 0;
    uint32_t Total() const { return m_nFiles + m_nFolders; }
};
// Files, folders and bytes of one side.
struct CSideCounter {
    uint32_t m_nFiles = 0;
    uint32_t m_nFolders = 0;
    uint64_t m_nBytes = 0;
};
// The per-folder statistics record that the category statistics pass
// attaches to a container node's item (the item owns it). The counting
// operations belong to the statistics passes.
struct FolderStatsRecord {
    CItemCount m_Members;
    CSideCounter m_LeftPresent, m_LeftOper;
    CSideCounter m_RightPresent, m_RightOper;
    int32_t m_nCategory = -1; // the category the members were counted for
    void Clear() { *this = FolderStatsRecord(); }
};

// ---------------------------------------------------------------- the item's rare fields
// What few items set, in one block owned by the item. An item without the
// block reads every field at its default.
struct CItemExtra {
    CSyncTime m_aSavedTime[2];             // time of the saved previous version, per side; 0 none
    CItemLen m_aSavedLen[2];               // length of that saved version; undefined none
    CWideString m_sReason;                 // reason text shown with the item
    CWideString m_sMove;                   // "<path", ">path", "=path" or empty
    FolderStatsRecord* m_pStats = nullptr; // owned
    Md5Crc* m_pMd5 = nullptr;              // two values, left then right; null while both are zero (owned)
    // The change mark (MakeChangeMark) a side's file shows now where it is
    // not its old record's (m_aOldMark), per side; 0 none.
    uint32_t m_aNewMark[2] = {0, 0};
    // The right side's digest where it is not the left side's (rare: a
    // folder that other jobs sync too).
    bool m_bRightDigest = false;
    uint64_t m_nRightDigest = 0;

    CItemExtra() = default;
    CItemExtra(const CItemExtra&) = delete;
    CItemExtra& operator=(const CItemExtra&) = delete;
    ~CItemExtra() {
        delete m_pStats;
        delete[] m_pMd5;
    }
    bool IsDefault() const;
};

// ---------------------------------------------------------------- the item
// Item flag bits.
enum EItemFlag : uint8_t {
    SPF_EXECUTED = 0x01,      // an operation on the item completed (execution mark)
    SPF_EXCLUDED = 0x02,      // excluded by the filters or an exclusion pass
    SPF_REINCLUDED = 0x04,    // an excluded file included again so that its folder can be deleted
    SPF_LISTED = 0x08,        // folder listing done (set at construction)
    SPF_DIRECTION_SET = 0x10, // a pass gave the item a copy direction
    SPF_FOLDER_AFTER = 0x20,  // a folder whose own action waits until after its contents (execution mark)
    SPF_DONE = 0x40,          // done for this execution (execution mark)
    // This Analyze's scan judged the item by the filters on its path in the
    // tree and its kind, and they kept it (cleared by the filter step).
    SPF_FILTER_JUDGED = 0x80,
    SPF_EXEC_MARKS = SPF_EXECUTED | SPF_FOLDER_AFTER | SPF_DONE,
};

class CSyncPairAndAction {
public:
    explicit CSyncPairAndAction(uint8_t nExecState = ESS_ANALYZED_OK);
    // A new item (state 1) with the other item assigned to it (see operator=).
    CSyncPairAndAction(const CSyncPairAndAction& o);
    ~CSyncPairAndAction();

    // Copies the execution state, flags 0x02 and 0x04 (the other flag bits
    // stay), the user and system actions and the four side records; then
    // clears the work bytes, the reason text and the statistics record.
    // Generations, pending and data-folder bytes, saved versions, MD5s and the
    // move text stay as they were. The rare-field block is freed when nothing
    // in it is left set.
    CSyncPairAndAction& operator=(const CSyncPairAndAction& o);

    // -- predicates
    uint8_t GetEffAction() const { return m_nUserAction ? m_nUserAction : m_nSysAction; }
    bool IsFolder() const { return m_aCur[0].IsFolder() || m_aCur[1].IsFolder(); }
    bool LeftExists() const { return m_aCur[0].Exists(); }
    bool RightExists() const { return m_aCur[1].Exists(); }
    bool SideExists(int nSide) const { return m_aCur[nSide ? 1 : 0].Exists(); }
    bool ExistsAnywhere() const { return LeftExists() || RightExists(); }
    bool ExistsBoth() const { return LeftExists() && RightExists(); }
    bool IsError() const { return m_nExecState == ESS_ANALYZED_ERR || m_nExecState == ESS_SYNCED_ERR; }
    bool IsExcluded() const { return (m_nFlags & SPF_EXCLUDED) != 0; }

    // A copy whose source is absent and whose target is present.
    bool IsDeleteAction() const;
    // IsDeleteAction and not part of a move.
    bool IsPlainDelete() const { return IsDeleteAction() && GetMove().IsEmpty(); }
    // A copy whose source is present and whose target is absent.
    bool IsNewCopy() const;
    // A copy with both sides present.
    bool IsOverwriteCopy() const;
    // The source of the effective action is present (the left unless it goes right to left).
    bool SrcExistsDefLeft() const;
    // The source of the effective action is present (the right unless it goes left to right).
    bool SrcExistsDefRight() const;
    bool IsNewCopyRtoL() const;
    bool IsDeleteRtoL() const;

    // -- user edits
    bool CanSetUserAction(uint8_t nAction) const;
    // The action that sends the item towards the side of the request while
    // keeping its kind.
    uint8_t GetActionTowards(uint8_t nRequest) const;

    // "State=[..], Eff=[..], Sys=[..], User=[..]" and the four side records.
    CWideString Dump() const;

    // Work bytes (Sync) and time-shift keys (Analyze) share their storage.
    uint64_t GetWorkBytes() const { return m_u.m_nWorkBytes; }
    void SetWorkBytes(uint64_t n) { m_u.m_nWorkBytes = n; }
    int16_t GetTimeShiftKey(int i) const { return m_u.m_aTimeShiftKeys[i & 3]; }
    void SetTimeShiftKey(int i, int16_t n) { m_u.m_aTimeShiftKeys[i & 3] = n; }

    // -- the rare fields (CItemExtra). Reading never allocates; setting a
    // default value on an item without the block leaves it without one.
    // The block is created at most once per item, also when two threads set
    // different fields of one item at the same time; each field keeps the
    // sharing rules it had as a plain member.
    CSyncTime GetSavedTime(int nSide) const {
        const CItemExtra* p = Extra();
        return p ? p->m_aSavedTime[nSide ? 1 : 0] : CSyncTime();
    }
    CItemLen GetSavedLen(int nSide) const {
        const CItemExtra* p = Extra();
        return p ? p->m_aSavedLen[nSide ? 1 : 0] : CItemLen();
    }
    // The saved previous version of one side: its time and length.
    void SetSaved(int nSide, CSyncTime t, const CItemLen& len);
    bool HasRareFields() const { return Extra() != nullptr; }

    // Reason text shown with the item (empty at construction).
    const CWideString& GetReason() const;
    void SetReason(const CWideString& s);
    void ClearReason() { SetReason(CWideString()); }
    // Move text: "<path", ">path", "=path" or empty (at construction).
    const CWideString& GetMove() const;
    void SetMove(const CWideString& s);
    void ClearMove() { SetMove(CWideString()); }

    // The statistics record; null at construction.
    const FolderStatsRecord* GetStats() const {
        const CItemExtra* p = Extra();
        return p ? p->m_pStats : nullptr;
    }
    // The statistics record, created (zeroed) when there is none.
    FolderStatsRecord& EnsureStats();
    // Frees the statistics record.
    void FreeStats();

    // Per-side MD5 values (zero at construction). They are stored only once a
    // non-zero value is set, as most jobs never compute them.
    const Md5Crc& GetMd5(int nSide) const;
    void SetMd5(int nSide, const Md5Crc& md5);
    bool HasMd5() const {
        const CItemExtra* p = Extra();
        return p && p->m_pMd5;
    }

    // -- change marks (MakeChangeMark; bit 0 kMarkClear). The old record's
    // mark is the one its file showed when the record was taken, kept with
    // it (state-file tag "k") until the record is renewed. A side whose
    // file shows another one now keeps that apart (a rare field): the side
    // changed, or its bytes decide.
    uint32_t NewMark(int nSide) const {
        const CItemExtra* p = Extra();
        return p ? p->m_aNewMark[nSide & 1] : 0;
    }
    void SetNewMark(int nSide, uint32_t m);
    // The mark the side's file showed at its listing.
    uint32_t CurMark(int nSide) const {
        const uint32_t m = NewMark(nSide);
        return m ? m : m_aOldMark[nSide & 1];
    }
    // The side's old record is renewed from what its file shows now.
    void RenewMark(int nSide) {
        nSide &= 1;
        m_aOldMark[nSide] = CurMark(nSide);
        SetNewMark(nSide, 0);
    }

    // -- data (the field order keeps the item small; sides are 0 left, 1 right)
    uint8_t m_nSysAction;          // decided by the analysis; EA_NO_COPY at construction
    uint8_t m_nUserAction;         // chosen by a user; EA_USESYSTEM at construction
    uint8_t m_nExecState;          // EExecState
    uint8_t m_nFlags;              // EItemFlag bits; SPF_LISTED at construction
    uint8_t m_aPendingGen[2];      // a change seen in this run, per side
    uint8_t m_aHoldsDataFolder[2]; // the folder holds a nested job's data folder, per side
    CGenArray m_aGens[2];          // generation history per side (state-file tag "g")
    union {
        uint64_t m_nWorkBytes;
        int16_t m_aTimeShiftKeys[4];
    } m_u;
    CSideInfo m_aCur[2]; // what each side holds now (scan)
    CSideInfo m_aOld[2]; // what each side held after the last sync (state file)
    // The identity (MakeFileIdentity) of the file each side holds now and of
    // the one its old record is of, 0 where not known (state-file tag "w",
    // beside the stamp).
    // An old identity keeps kIdentBirth only where its record was taken
    // clear of the file's birth; a current one has it where the file is seen
    // clear of it (IdentProvesSameFile). Where the file system keeps no
    // birth time, a current identity's bit 0 is kIdentInodeChanged instead.
    uint32_t m_aCurIdent[2] = {0, 0};
    uint32_t m_aOldIdent[2] = {0, 0};
    // The change mark each side's old record keeps (CurMark, RenewMark); for
    // a side without an old record of a file, the mark its file shows now.
    uint32_t m_aOldMark[2] = {0, 0};
    // The digest (TvByteDigest) of the bytes each side's old record is of,
    // where that record has SIF_DIGEST (state-file tag "h"): taken where the
    // bytes passed through a run anyway (a copy, a comparison), it lets a
    // side whose time and identity cannot prove its file unchanged be judged
    // by its own bytes. Each side keeps its own: a folder that other jobs
    // sync too may hold a record of bytes this job's other side never had.
    // (A current record with SIF_DIGEST holds bytes of the digest as well:
    // a run read them.)
    bool HasDigest(int nSide) const { return m_aOld[nSide & 1].GetFlag(SIF_DIGEST); }
    uint64_t Digest(int nSide) const {
        const CItemExtra* p = (nSide & 1) ? Extra() : nullptr;
        return p && p->m_bRightDigest ? p->m_nRightDigest : m_nDigest;
    }
    // Both sides' digest becomes d: a record marked as of another one loses
    // its mark.
    void NewDigest(uint64_t d);
    // One side's digest becomes d (its records lose their mark where it is
    // another one); the other side's stays.
    void SetSideDigest(int nSide, uint64_t d);

private:
    // The left side's digest, and the right side's where it has none of its
    // own (CItemExtra::m_bRightDigest): most items hold one file's bytes on
    // both sides.
    uint64_t m_nDigest = 0;
    // The rare fields; null while all of them are at their defaults (owned).
    // Created by a compare-and-swap, so that two threads setting fields of one
    // item never both create it.
    std::atomic<CItemExtra*> m_pExtra{nullptr};

    const CItemExtra* Extra() const { return m_pExtra.load(std::memory_order_acquire); }
    CItemExtra* Extra() { return m_pExtra.load(std::memory_order_acquire); }
    CItemExtra& EnsureExtra();
};
static_assert(sizeof(void*) != 8 || sizeof(CSyncPairAndAction) <= 208, "the item grew");
