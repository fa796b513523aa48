// The state file of one side of a job and its merge into the sync tree.
//
// A state file remembers what one side looked like after the last completed
// sync, for one folder (the side root or a subfolder that has a data folder
// of its own). Reading it fills the *old* side records of the tree; after a
// sync the old records are written back. This file declares the content
// format and the merge (the record codec in state-file-record.cpp, the tree
// parser in state-file-parse.cpp, the writer in state-file-write.cpp, the
// merge in state-file.cpp); finding, fetching and storing the files is the job's.
//
// Content: gzip around 8-bit tic text (zor-tic.h), every string UTF-8.
//
// Tree form (written and read), first byte "^":
//   "^" "[a=9|b=2|c=9|1=4|2=1|s=0|]"          the header (1: major, 2: minor;
//                                             a side root's file may add v=..|)
//   then the node of the folder that owns the file, each node being
//   LF "[" record "]" "<" child nodes ">", children in child-map order.
// Node record, fields in written order:
//   f=0|1|                 folder bit           N:len:name|   the node's key
//   l[h=..|l=..|]          length               a=..|         attributes
//   C[t=..|]               first (file) time    t[t=..|]      second time
//   p[t=..|]               saved-version time   s[h=..|l=..|] saved-version length
//   i:len:id|              the side's own form of the name (empty when the key is it)
//   g[a{=n|[y=..|]|...}]   generation list, a counted array
//   x=..|  or  w:11:..|    the file's stamp, or stamp and identity (where known)
//   h:11:..|               the digest of the record's bytes (where known), 64
//                          bits in 11 digits of 6 bits, the lowest first
// (Readers skip tags they do not know, so older ones read x, w and h past.)
// Lengths keep their sentinels: deleted h=-1 l=-1, undefined h=-1 l=-2,
// folder h=-1 l=4294967293.
//
// Flat form (older files, read only), first byte "<": records whose N is a
// "/"-separated path below the folder, each after up to two line ends, then
// ">" and the header.
//
// The reader also understands the older record forms: n (a back-slash path,
// used when N is empty), time records holding a 64-bit file time as h and l,
// generation lists "l<...>" and entries holding a nested time record t.
//
// The reader treats the file as untrusted: nesting depth, string lengths and
// generation counts are bounded, and a file that fails to parse leaves the
// tree as it was before the read (the records merged so far are taken back).
#pragma once

#include "state-file-index.h"
#include "sync-tree.h"
#include "zor-gzblocks.h"
#include "zor-stream.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CbJobProgress;

// The format version this engine writes and reads.
constexpr int kStateFileVerMajor = 4;
constexpr int kStateFileVerMinor = 1;
// The merge level preset (StateFileHeader::m_nA) of a file by its name:
// "_file_state_v4._tv", or the older name.
constexpr uint16_t kStatePresetV4Name = 4;
constexpr uint16_t kStatePresetOlderName = 0;
// Bounds of the reader: node nesting (both below the folder node and of the
// nodes a file creates below the tree root, so that whatever a read creates
// can be written and read again), bytes of one string, entries of one
// generation list.
constexpr int kStateMaxDepth = 256;
constexpr int kStateMaxString = 128 * 1024;
constexpr int kStateMaxGenerations = 65535;
// Bounds of one file, far above any real tree, so that a file made to
// inflate without end (from any side) is refused before it fills memory:
// records, and bytes of its text once inflated (a generous 256 bytes for
// each record; a real one takes about half of that).
constexpr int64_t kStateMaxRecords = int64_t(1) << 24;
constexpr int64_t kStateMaxTextBytes = kStateMaxRecords * 256;
// What the job lets one side's state files bring in one Analyze, in
// records, so that a file made to list far more items than the side holds
// (anyone who can write a shared side's data folder can place one) cannot
// take memory that the side's own tree never would (some 500 bytes for
// each record read into the tree): kStateRecordsPerItem records for each
// item the side's scan listed, and never fewer than kStateMinRecordBudget.
// A real file lists the side's items and the deleted items it still
// remembers (for SaveMonthsOldGens months): four times the items leaves
// room for three quarters of a tree deleted since the last sync, and the
// minimum (some 500 MB) for any tree of up to a million records whatever
// happened to it. The side root's file is read before the listing (which
// takes the records' word for what did not change): a larger one is read
// again once the listing has counted the side's items.
constexpr int64_t kStateRecordsPerItem = 4;
constexpr int64_t kStateMinRecordBudget = 1000000;
// Seconds in one month of the generation ageing (31 days).
constexpr int64_t kStateSecondsPerMonth = 2678400;
// A record whose name (or the side's own form of it) has a component of
// more than kStateMaxNameBytes bytes, or that stands at a path (from the
// side root) of more than kStateMaxPathBytes bytes, makes the file damaged:
// no file system the engine syncs holds such an item.
constexpr int kStateMaxNameBytes = 255;
constexpr int kStateMaxPathBytes = 4096;
// What a record read is taken to cost in memory: kStateRecordBaseBytes for
// its node and records in the tree, and the bytes of its texts and
// generations (see StateRecordBytes). A read is bounded in these bytes as
// well as in records, so that records of long names or long generation
// lists cannot take more memory than short ones: the job allows
// kStateBytesPerRecord for each record that the side's listing (or the
// job's own count of the file) allows (a real record, of a name of up to
// some 190 letters, costs less), and never less than kStateMinMemoryBudget,
// which holds the minimum of records (kStateMinRecordBudget) only as far
// as they stay within some 350 MB.
constexpr int64_t kStateRecordBaseBytes = 384;
constexpr int64_t kStateBytesPerRecord = 768;
constexpr int64_t kStateMinMemoryBudget = int64_t(320) << 20;
constexpr int64_t kStateMaxReadMemory = kStateMaxRecords * kStateBytesPerRecord;

// ---------------------------------------------------------------- name, path and memory bounds
// UTF-8 bytes of a text.
int64_t StateUtf8Bytes(const CWideString& s);
// Checks the names of one record read below a node whose path from the side
// root takes nParentBytes bytes ("" the side root: 0), and gives the bytes
// of the record's own path. The path is the side's own form (the id) where
// the record has one, else its name; either may hold several components
// ("/"-separated, as in the flat form). False (err set, at posn) when a
// component of the side's form is longer than kStateMaxNameBytes (of a
// name beside an id, the tree's composed key: three times that), or the
// path than kStateMaxPathBytes.
bool CheckStateRecordPath(const CWideString& name, const CWideString& id, int64_t nParentBytes,
                          int64_t& nPathBytes, long nPosn, CWideString& err);
// The memory a record read is taken to cost (see kStateRecordBaseBytes).
int64_t StateRecordBytes(const CWideString& name, const CSideInfo& rec, const CGenArray& gens);

// The bounds of one running read, kept by the thread that parses it: the
// path bytes of the node at each depth below the read folder and the memory
// of the records so far.
class CStateReadBounds {
public:
    // A new read below pFolder (null: the tree root), at most nMaxMemory.
    void Begin(CSyncTreeNode* pFolder, int64_t nMaxMemory);
    // Checks one record read at a depth below the read folder (0: the
    // folder's own record, -1: a flat-form record, whose name is its path
    // below the folder) and counts its memory. False (err set) past a bound.
    bool Check(const ZorInStream& in, int nDepth, const CWideString& name, const CSideInfo& rec,
               const CGenArray& gens, CWideString& err);
    bool IsOverMemory() const { return m_bOverMemory; }

private:
    std::vector<int64_t> m_PathBytes;
    int64_t m_nMemory = 0;
    int64_t m_nMaxMemory = 0;
    bool m_bOverMemory = false;
};

// ---------------------------------------------------------------- header
struct StateFileHeader {
    uint16_t m_nA = 0; // not interpreted; a flat-form file's merge level is the caller's preset
    uint16_t m_nB = 0;
    uint16_t m_nC = 0;
    uint16_t m_nMajor = 0; // tag 1
    uint16_t m_nMinor = 0; // tag 2
    bool m_bS = true;      // a fresh header holds 1; the writer writes 0
    // Tag v, written when not 0 (readers skip tags they do not know): a time
    // (seconds since 1970, the side's file-system clock) before which an
    // item's inode must have last changed for the attribute word of its
    // record to be the item's own (see CSyncJob::StoredBitsVerifiedTime).
    uint32_t m_nVerified = 0;

    // "[" tagged values "]"; unknown tags are skipped.
    bool Read(ZorInStream& in, CWideString& err);
    // "[a=..|b=..|c=..|1=..|2=..|s=..|]".
    bool Write(ZorOutStream& out, CWideString& err) const;
};

// ---------------------------------------------------------------- value records
// Each reader starts after the tag (at "["), each writer writes the tag.
bool ReadItemLenTic(ZorInStream& in, unsigned char tag, CItemLen& len, CWideString& err);
void AppendItemLenTic(std::string& out, char tag, const CItemLen& len);
bool ReadSyncTimeTic(ZorInStream& in, unsigned char tag, CSyncTime& t, CWideString& err);
void AppendSyncTimeTic(std::string& out, char tag, CSyncTime t);
// Both list forms; at most kStateMaxGenerations entries.
bool ReadGenArrayTic(ZorInStream& in, unsigned char tag, CGenArray& gens, CWideString& err);
void AppendGenArrayTic(std::string& out, char tag, const CGenArray& gens);
// One entry "[y=..|]" (an older entry may hold a time record t that wins).
bool ReadGenEntry(ZorInStream& in, CSyncTime& t, CWideString& err);
void AppendGenEntry(std::string& out, CSyncTime t);
// A string of at most kStateMaxString bytes, after its tag: ":" length ":" bytes "|".
bool ReadStateString(ZorInStream& in, unsigned char tag, CNarrowString& s, CWideString& err);

// ---------------------------------------------------------------- node record
// A side record as the state file carries it.
class StateFile : public CSideInfo {
public:
    // Reads one record "[...]" into this record (which should be fresh) and
    // the item values that travel with it. At "]" the record is completed:
    // present bit set, folder bit from f; a length that is then deleted or
    // undefined becomes deleted with attributes 0xFFFFFFFF; an existing
    // folder gets the folder length.
    bool ReadNode(ZorInStream& in, CWideString& sName, CSyncTime& tSaved, CItemLen& savedLen, CGenArray& gens,
                  CWideString& err);
    // Appends the record "[...]" to a buffer.
    void AppendRecord(std::string& out, const CWideString& sName, CSyncTime tSaved, const CItemLen& savedLen,
                      const CGenArray& gens) const;
    bool WriteRecord(ZorOutStream& out, const CWideString& sName, CSyncTime tSaved, const CItemLen& savedLen,
                     const CGenArray& gens, CWideString& err) const;

    // The identity of the record's file (tag "w", with the stamp), 0 where not known.
    uint32_t m_nIdent = 0;
    // The change mark of the record's file (tag "k"), 0 where not known.
    uint32_t m_nMark = 0;
    // The digest of the record's bytes (tag "h"), where SIF_DIGEST is set.
    uint64_t m_nDigest = 0;

private:
    void CompleteRead(bool bFolder, CWideString& wN, const CNarrowString& sPathN, CWideString& wI,
                      CWideString& sName);
};

// Appends a side record "[...]" as a node record to a buffer.
// The digest nDigest is written where the record has SIF_DIGEST.
void AppendSideRecord(std::string& out, const CSideInfo& rec, const CWideString& sName, CSyncTime tSaved,
                      const CItemLen& savedLen, const CGenArray& gens, uint32_t nIdent = 0,
                      uint64_t nDigest = 0, uint32_t nMark = 0);
// The change mark a side's old record is saved with: that of an existing
// file's record, 0 for others.
inline uint32_t RecordMark(const CSyncPairAndAction& item, int nSide) {
    const CSideInfo& rec = item.m_aOld[nSide & 1];
    return rec.Exists() && !rec.IsFolder() ? item.m_aOldMark[nSide & 1] : 0;
}

// ---------------------------------------------------------------- generations
// Ages a generation list against the clock: entries at or beyond now + age
// are removed, of the entries older than now - age only the three latest
// stay, and entries within 3 seconds of the entry before them collapse into
// it (an unordered list is sorted once). True when no entry younger than the
// limit is left (an empty list gives true). Computes in 64 bits.
bool PruneGenerations(CGenArray& gens, int64_t nAgeSeconds);
// Merges a second history into a list: an empty target takes the incoming
// list (changed stays false); otherwise differing entries are replaced and
// missing ones appended, and changed is set. Always true.
bool MergeGenerations(CGenArray& target, const CGenArray& incoming, bool& bChanged);

// ---------------------------------------------------------------- reader, writer, merge
// One job's state-file reader and writer over its sync tree. The job keeps
// one for a whole Analyze: the state level of each item (how many levels
// below the folder of the state file that supplied its old record it lies)
// lives here and decides how records from several files merge.
class CStateFileIo {
public:
    explicit CStateFileIo(CSyncPairsAndActions* pTree);
    virtual ~CStateFileIo();
    CStateFileIo(const CStateFileIo&) = delete;
    CStateFileIo& operator=(const CStateFileIo&) = delete;

    // -- what the job supplies
    bool m_bCleanupOldGenerations = false; // job option CleanupOldGenerations
    int32_t m_nSaveMonthsOldGens = 0;      // job option SaveMonthsOldGens
    bool m_bCaseSensitive = false;         // case mode of the tree's look-ups
    CbJobProgress* m_pProgress = nullptr;  // stop requests (none when null)
    // A record read into a folder whose children exist is first matched
    // with the child after the one the record before it (its sibling in the
    // file) merged into: the file keeps the child-map order. False: every
    // record is looked up (for tests).
    bool m_bMergeInOrder = true;
    // The bounds of one read (kStateMaxRecords, kStateMaxTextBytes; tests lower them).
    int64_t m_nMaxReadRecords = kStateMaxRecords;
    int64_t m_nMaxReadBytes = kStateMaxTextBytes;
    // A read that fails at m_nMaxReadRecords is not logged (the caller says
    // what it does with such a file).
    bool m_bQuietOverRecords = false;
    // Of the last read: whether it failed at m_nMaxReadRecords, and the
    // records it took (those of a read that succeeded are in the tree).
    bool WasOverRecords() const { return m_bOverRecords; }
    int64_t GetRecordsRead() const { return m_nReadRecords; }
    // The bound of one read in the memory its records are taken to cost
    // (StateRecordBytes; tests lower it). A read that goes past it fails as
    // one past m_nMaxReadRecords does, and also sets WasOverMemory.
    int64_t m_nMaxReadMemory = kStateMaxReadMemory;
    bool WasOverMemory() const { return m_bOverMemory; }

    // A run message (level, message kind, text ending with "\n"). Default: dropped.
    virtual void Log(int nLevel, int nMsgKind, const CWideString& sText);
    // A line for the program log. Default: the debug trace.
    virtual void LogGlobal(const CWideString& sText);
    // Whether the side's file system answers its capability query 25 (the
    // scan's duplicate-name check). Default: true.
    virtual bool SideAnswersCapability25(int nSide);
    virtual bool IsStopRequested();
    // "Left" / "Right" (localised).
    static CWideString GetSideName(int nSide);

    // -- reading
    // Reads one state file's content into the old records of nSide below
    // pFolder. The caller passes a fresh header whose m_nA is
    // kStatePresetV4Name for a file named "_file_state_v4._tv", else
    // kStatePresetOlderName. False with an error text on any failure;
    // bVersionError is set for a format version this engine does not
    // handle. A failed read leaves the tree's old records as they were
    // before it, and is logged at level 1 (a stop is not logged).
    bool ParseStateFile(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                        StateFileHeader& hdr, bool& bVersionError, CWideString& err);
    // ParseStateFile with a fresh header preset to nPresetA and the error
    // kind: ZEK_GENERAL for a version error, ZEK_STOPPED for a stop, else
    // ZEK_NONE.
    bool ReadStateStream(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift, int nPresetA,
                         int& errKind, CWideString& err);
    // One node of the tree form and its children (recursive). pParent is
    // null for the file's first record, which stands for pFolder.
    bool ReadStateNode(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                       CSyncTreeNode* pFolder, bool bMayShift, int nDepth, CWideString& err);

    // Finds or creates the node for a path below pParent and fills its old
    // (bIntoOld) or current record of nSide from rec. The side scan calls it
    // with bPathMode (current records), the state reader without.
    CSyncTreeNode* SetNodeCS(const CWideString& path, int nSide, CSyncTreeNode* pParent, int nDepth,
                             bool bIntoOld, bool bPathMode, int nLevel, const CSideInfo& rec,
                             bool& bDuplicate, CWideString& err);
    // The node that SetNodeCS reaches through the folder part of a path
    // below pParent ("" stands for pParent itself); null when it is not in
    // the tree. Where it is found, SetNodeCS with bPathMode for a path
    // relative to it does what it does for the whole path below pParent.
    CSyncTreeNode* FindPathNode(const CWideString& path, CSyncTreeNode* pParent) const;
    // The child of pParent that a record of a plain name (no side's own
    // form, no separator, NFC, not "." or "..") merges into; null when there
    // is none or the name is not plain.
    // With an index of the parent's children, it is searched first.
    CSyncTreeNode* FindPlainChild(CSyncTreeNode* pParent, const CWideString& name, const CSideInfo& rec,
                                  const CChildNameIndex* pIndex = nullptr) const;
    // Merges a record read from a state file into the node's old record.
    void MergeOldRecord(CSyncTreeNode* pNode, int nSide, bool bDuplicate, int nLevel, const StateFile& rec,
                        const CGenArray& gens);

    // The state level of a node's item. Only levels that differ from the
    // node's depth below the tree root are kept (records of the side root's
    // file, nearly all of them, cost nothing); a node without a kept level
    // reports its depth.
    int32_t GetStateLevel(const CSyncTreeNode* pNode) const;
    void SetStateLevel(const CSyncTreeNode* pNode, int32_t nLevel);
    // Forgets every state level (a new Analyze).
    void ClearStateLevels() { m_Levels.clear(); }

    // -- writing
    // False when a subfolder's own old record of nSide is absent: its state
    // file would hold nothing but the header, and is not to be written.
    bool HasStateToWrite(int nSide, const CWideString& sFolderPath);
    // Writes the content of the state file of one folder (empty path: the
    // side root). Fails with "null root" for a folder that is not in the
    // tree, and without writing anything for a folder without state
    // (HasStateToWrite false).
    bool WriteStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath, CWideString& err);
    // One node and its subtree; a node other than the tree root whose old
    // record of nSide lacks its present bit is skipped with its subtree.
    bool WriteStateNode(ZorOutStream& out, int nSide, CSyncTreeNode* pNode, CWideString& err);
    // WriteStateStream into a block-compressed file, in segments of records
    // of some 256 KB of text: a segment whose records read exactly as in the
    // last such write of the side (same folder) takes that write's
    // compressed bytes instead of being written and compressed again. The
    // content is the same as WriteStateStream's. One side's writes must not
    // run at the same time; the two sides' may.
    bool WriteStateStreamReusing(ZorGzBlockFileStream& out, int nSide, const CWideString& sFolderPath,
                                 CWideString& err);
    // Forgets what the segmented writes of both sides kept.
    void DropWriteSegments();
    // Segments the last segmented write of each side took again.
    int m_anSegmentsReused[2] = {0, 0};
    // The header time v of each side root's state file as last read (0 for
    // none, an older file, or a failed read), the one the next write of it
    // carries, and the records merged into a node that had one already.
    uint32_t m_anReadVerified[2] = {0, 0};
    uint32_t m_anWriteVerified[2] = {0, 0};
    int m_anDuplicates[2] = {0, 0};
    // Each side root's state file as the last read found it damaged (it
    // could not be read, parsed or held too many records): the next write
    // sets it aside before its place is taken. Empty when it was sound.
    CWideString m_asDamaged[2];

private:
    // The node a state stream of sFolderPath starts from, after its marker
    // and header are written; null (err set) when there is none to write.
    CSyncTreeNode* BeginStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath,
                                    CWideString& err);
    struct SJournal {
        CSyncTreeNode* pNode;
        CSideInfo old;
        CGenArray gens;
        CSyncTime tSaved;
        CItemLen savedLen;
        int32_t nLevel;
        bool bHadLevel;
        uint8_t nItemFlags;
        uint32_t nOldIdent;
        uint32_t nOldMark;
    };
    // Journal of the running read: the state of a node before the read
    // changed it, or a node the read created (taken back to a new item's state).
    void Remember(CSyncTreeNode* pNode, int nSide);
    void RememberFresh(CSyncTreeNode* pNode);
    void RollBack(int nSide);
    bool ParseFlat(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift, StateFileHeader& hdr,
                   bool& bVersionError, CWideString& err);
    bool CheckStop(CWideString& err);
    // Counts one more record of the running read; false (err set) past the bound.
    bool CountRecord(const ZorInStream& in, CWideString& err);
    // The bounds of a record read on this thread (CStateReadBounds::Check);
    // those of a read started otherwise begin below the tree root.
    bool CheckRecordBounds(const ZorInStream& in, int nDepth, const CWideString& name, const StateFile& rec,
                           const CGenArray& gens, CWideString& err);
    bool ReadNodeTree(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                      CSyncTreeNode* pFolder, bool bMayShift, int nDepth, bool bParentFresh,
                      CWideString& err);
    // The same over what a parsing thread read ahead (state-file-parse.cpp).
    class CTreeParser;
    bool ReadNodeTreePiped(CTreeParser& parser, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                           CSyncTreeNode* pFolder, bool bMayShift, int nDepth, bool bParentFresh,
                           CWideString& err);
    // What both take from one parsed record: the node it goes to (pFolder
    // for the file's first record), bFresh when the read created it.
    CSyncTreeNode* ApplyTreeRecord(int nSide, CSyncTreeNode* pParent, CSyncTreeNode* pFolder, bool bMayShift,
                                   int nDepth, bool bParentFresh, StateFile& rec, const CWideString& name,
                                   CSyncTime tSaved, const CItemLen& savedLen, const CGenArray& gens,
                                   bool& bFresh, CWideString& err);
    // After a node's children: a deleted record whose generations all aged
    // out and that has no present child is dropped.
    void PruneAgedRecord(int nSide, int64_t nAgeLimit, CSyncTreeNode* pNode, const StateFile& rec,
                         const CGenArray& gens);
    // A new child under its plain name, or null when it cannot be added so.
    CSyncTreeNode* AddFreshChild(CSyncTreeNode* pParent, const CWideString& name, int nSide,
                                 const CSideInfo& rec);
    // Steps 5.2 to 5.4 of reading a node: its path, SetNodeCS and the merge.
    CSyncTreeNode* ReadMergeRecord(int nSide, CSyncTreeNode* pParent, int nDepth, const CWideString& name,
                                   StateFile& rec, CSyncTime tSaved, const CItemLen& savedLen,
                                   const CGenArray& gens, bool& bFresh, CWideString& err);
    // Its merge, into pNext when given (the child it found for the record).
    CSyncTreeNode* ReadMergeInto(int nSide, CSyncTreeNode* pParent, int nDepth, const CWideString& name,
                                 StateFile& rec, CSyncTime tSaved, const CItemLen& savedLen,
                                 const CGenArray& gens, bool& bFresh, CWideString& err, CSyncTreeNode* pNext);
    // A newer major version fails (bVersionError set); a newer minor one is
    // logged as a notice and accepted.
    bool CheckVersion(const StateFileHeader& hdr, bool& bVersionError, CWideString& err);
    CSyncTreeNode* ForceCreatePath(CSyncTreeNode* pParent, const CWideString& path, int nSide, bool bIntoOld,
                                   CWideString& err);
    bool WriteNodeInto(std::string& buf, ZorOutStream& out, int nSide, CSyncTreeNode* pNode,
                       CWideString& err);
    // The segments of the last segmented write of each side (state-file-write.cpp).
    struct SWriteSegments;
    class CSegmentWriter;
    std::unique_ptr<SWriteSegments> m_apWriteSegments[2];

    CSyncPairsAndActions* m_pTree;
    std::unordered_map<const CSyncPairAndAction*, int32_t> m_Levels;
    std::deque<SJournal> m_Journal;                       // grows without moving what it holds
    std::unordered_set<const CSyncTreeNode*> m_Journaled; // journaled when they held a record
    std::vector<CSyncTreeNode*> m_Fresh;
    // Per depth below the read folder: the node the last record there merged into.
    std::vector<CSyncTreeNode*> m_MergedAt;
    bool m_bJournal = false;
    int64_t m_nReadRecords = 0; // records of the running read (on this thread)
    bool m_bOverRecords = false;
    bool m_bOverMemory = false;
    bool m_bBoundsBegun = false;
    CStateReadBounds m_Bounds; // of a read on this thread
    CSyncTreeNode* m_pBoundsFolder = nullptr;
    bool m_bStopped = false;
    int64_t m_nAgeLimit = 0;
};
