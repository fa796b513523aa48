// The analysis of a job: the pair comparison and decision, time shifts, the
// direction/deletion/conflict passes, moves and case changes, the item
// categories and the counting passes. Included by syncjob.h; the CSyncJob
// members that drive them are declared there.
#pragma once

#include "sync-item.h"
#include "sync-tree.h"
#include "zor-coll.h"
#include "zor-string.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_map>

class CSyncJob;
class TvFileSys;
class CbJobProgress;

// A side's own clock as its listing began (nanoseconds since 1970; 0 not
// known) and the step of the file times the side keeps: 1 less than a
// second, 1e9 whole seconds, 2e9 two seconds, 0 not known (a file time
// without nanoseconds is then taken to be as coarse as two seconds). nSkewNs
// is that clock less the one the side's file system stamps change times with.
struct CSideClock {
    int64_t nStartNs = 0;
    uint32_t nStepNs = 0;
    int64_t nSkewNs = 0;
};

// ---------------------------------------------------------------- pending generations and generation lists
// (syncjob-decide.cpp)
void SetPending(CSyncPairAndAction& item, int side);       // an assertion when already set
void AssertNotPending(const CSyncPairAndAction& item, int side);
void SetWinningSide(CSyncPairAndAction& item, int side);   // this side's byte set, the other's cleared
void ClearPending(CSyncPairAndAction& item);

// Same folder bit and presence; for two present files also equal lengths and
// second times within 2 seconds.
bool IsSameSideInfo(const CSideInfo& a, const CSideInfo& b);
// result: -1 right newer, 0 same, 1 left newer, 2 both newer. how: 0 the
// histories agree, 1 no common history (or only inexact agreement), 2 they
// diverged after a common part.
void CompareGenerations(const CGenArray& left, const CGenArray& right, bool bLeftPending, bool bRightPending,
                        bool bSameNow, int& result, int& how);
// Sets the destination side's list for a copy (execution). hint -1 or a side.
bool MergeGenerationsForCopy(CGenArray& left, CGenArray& right, bool bLeftPending, bool bRightPending, int hint,
                             int destSide);
// After a copy onto a side: a set pending byte becomes the side's scan time.
void AddPendingGeneration(CSyncPairAndAction& item, const CSyncJob& job, int side);
CSyncTime LastGeneration(const CGenArray& gens);
void RemoveDuplicateGenerations(CGenArray& gens);
CSyncTime CurrentSyncTime();
// A file record about to be kept whose time is not older than this run's
// scans, nor in the future (a file of a side with exact times): the file may
// still be written to within that second after it was read, unseen by its
// time. Its recorded time goes one second back, so that the next run
// compares its content with the other side's.
void MarkRacyRecord(CSideInfo& rec, const CSyncJob& job, const TvFileSys* fs);
// A file time (seconds and nanoseconds) not clearly before a listing that
// began at the side clock's start: a write after the listing read it, within
// the same step of the side's times (or tick of its clock), would leave the
// time as it is. Times in the future of the side's clock (nNowNs) are not.
bool IsRacyTime(uint32_t nSeconds, uint32_t nNanoseconds, const CSideClock& clock, int64_t nNowNs);
// The identity of a file seen at nSeenMs (a time before the look at it, on
// the clock of the file's own file system, TvFileSys::FileSystemNowMs):
// a file born within the clock tick of that time may lose its inode number
// to one born in the same tick after it, so its identity proves nothing
// then (kIdentBirth cleared). Where the file system keeps no birth time, the
// listing marks kIdentInodeChanged an inode that its record's change mark
// does not prove unchanged (CSyncJob::NoteChangeMark).
uint32_t IdentSeenAt(const FsItemInfo& info, int64_t nSeenMs);
// Copies flag bits 0..2, length, times, attributes and id of rec into the old
// record of the side and merges the generations (bit 0x10 when they changed).
void SetOldSideInfo(CSyncPairAndAction& item, int side, const CSideInfo& rec, const CGenArray& gens);

// Nothing for the decision passes to do: no action (system or user), not
// excluded or re-included, no direction set, listed, no move text and no
// time-shift keys. None of the passes changes a quiet item whose parent is
// quiet too.
bool IsQuietItem(const CSyncPairAndAction& item);
// A file of equal length on both sides, not excluded: what the Left-Right
// time-shift analysis examines.
bool IsLeftRightExamined(const CSyncPairAndAction& item);
// An item that neither side holds and whose old record one side's state
// file alone holds: that record is dropped (not saved again) and true
// returned; nothing is to be done for the item.
bool ForgetRecordOfNeitherSide(CSyncPairAndAction& item);

// ---------------------------------------------------------------- time shifts
// (syncjob-timeshift.cpp)
// A key: type in bits 0..1, whole hours (14-bit two's complement) in bits
// 2..15; 0 (no key) for 8000 hours or more either way.
uint16_t TimeShiftKey(int type, int hours);
void SplitTimeShiftKey(uint16_t key, int& type, int& hours);
// The two times differ by a non-zero whole number of hours within 2 seconds.
bool IsWholeHourShift(uint32_t a, uint32_t b, int& hours);
// Shift table: key -> number of files.
using CTimeShiftTable = CHashMapT<uint16_t, int32_t>;
// Computes a file's candidate keys into keys[4] and counts each non-zero one.
void CountTimeShiftKeys(uint32_t a, uint32_t b, bool bRounding, int16_t keys[4], CTimeShiftTable& table);
bool ExpectsTimeShift(const TvFileSys* pFs);
bool MayHaveRoundingShift(const TvFileSys* pFs);

class CDoAnalyzeLeftRightTimeShift : public CDoSmthWithPair {
public:
    explicit CDoAnalyzeLeftRightTimeShift(bool bRounding) : m_bRounding(bRounding) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    CTimeShiftTable m_Table;
    bool m_bRounding;
    int32_t m_nExamined = 0;
};

class CDoImplementLeftRightTimeShift : public CDoSmthWithPair {
public:
    explicit CDoImplementLeftRightTimeShift(const CTimeShiftTable& table);
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    CTimeShiftTable m_Table;
};

// ---------------------------------------------------------------- exclusion passes
// (syncjob-decide.cpp)
class CIncludeParentsOfIncluded : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};

class CExcludeChildren : public CDoSmthWithPair {
public:
    explicit CExcludeChildren(CbJobProgress* pSink = nullptr) : m_pSink(pSink) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    CbJobProgress* m_pSink;
};

// ---------------------------------------------------------------- direction, deletion and conflict passes
// (syncjob-directions.cpp)
// Forces the copy direction from side (0 left, 1 right) into the user action
// (bUser) or the system action; the side becomes the winning side.
void SetCopyDirection(CSyncPairAndAction& item, int side, bool bUser, CSyncJob* pJob, const CWideString& text);

class CDoOneWayForced : public CDoSmthWithPair {
public:
    explicit CDoOneWayForced(int32_t nDirection) : m_nDirection(nDirection) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    int32_t m_nDirection;
};
class CDoOneWayVerified : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CDoNotPropagateDels1way : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CDoNotPropagateDels2way : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CDoDetectVerticalDeleteConflicts : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CAutoResolveConflicts : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CScanDeleteFolders : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CScanAllUnScannedFolders : public CDoSmthWithPair {
public:
    explicit CScanAllUnScannedFolders(int32_t side) : m_nSide(side) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    int32_t m_nSide;
};
class CDeleteAllSourceItems : public CDoSmthWithPair {
public:
    CDeleteAllSourceItems(int32_t deleted, int32_t other) : m_nDeleted(deleted), m_nOther(other) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    int32_t m_nDeleted, m_nOther;
};
class CDeleteExcludedFilesInFolders : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
class CDoWarnAboutOldFileWins : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};

// ---------------------------------------------------------------- moves and case changes
// (syncjob-moves.cpp)
// The key of a side record for pairing moved files: the full length and the
// second time (0 for a folder). Kept in memory only.
struct CMoveKey {
    uint64_t m_nLen = 0;
    uint32_t m_nTime = 0;
    bool operator==(const CMoveKey& o) const { return m_nLen == o.m_nLen && m_nTime == o.m_nTime; }
};
CMoveKey MoveKey(const CSideInfo& rec);
bool IsNewCopyLtoR(const CSyncPairAndAction& item);
bool IsDeleteLtoR(const CSyncPairAndAction& item);

struct CMoveKeyHash {
    size_t operator()(const CMoveKey& k) const {
        return (size_t)(k.m_nLen * 0x9E3779B97F4A7C15ull) ^ k.m_nTime;
    }
};

class CDetectFileRenamesAndMoves : public CDoSmthWithPair {
public:
    CDetectFileRenamesAndMoves();
    ~CDetectFileRenamesAndMoves() override;
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    // Keys in the order they were first met, each with its new and deleted items.
    struct CTable;
    CTable* m_pTables[2]; // left-to-right, right-to-left
};
class CExamineFolderRenamesAndMoves : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    CSyncTreeNode* m_pRoot = nullptr;
};
class CCommitFolderRenamesAndMoves : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    CSyncTreeNode* m_pRoot = nullptr;
};
class CDetectCaseChanges : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};

// ---------------------------------------------------------------- categories and statistics
// (sync-category.cpp)
enum EItemCategory {
    CAT_EXISTING = 0,
    CAT_CHANGED = 1,
    CAT_CONFLICT = 2,
    CAT_ERROR = 3,
    CAT_INCLUDED = 4,
    CAT_EXCLUDED = 5,
    CAT_NEW_COPY = 6,
    CAT_OVERWRITE = 7,
    CAT_DELETE = 8,
    CAT_COPY_LTOR = 9,
    CAT_COPY_RTOL = 10,
    CAT_DELETE_RIGHT = 11,
    CAT_DELETE_LEFT = 12,
    CAT_MOVE_LTOR = 13,
    CAT_MOVE_RTOL = 14,
    CAT_TIME_LTOR = 15,
    CAT_TIME_RTOL = 16,
    CAT_NAME_CASE_LTOR = 17,
    CAT_NAME_CASE_RTOL = 18,
    CAT_STATE_LTOR = 19,
    CAT_STATE_RTOL = 20,
    CAT_MERGE_GENS = 21,
    CAT_SAME_LEN_TIME_DIFFERS = 22,
    CAT_PENDING = 23,
    CAT_ALL = 24,
    CAT_COUNT = 25,
};
// The category's predicate (false for a null item or an index outside 0..24).
bool ItemInCategory(const CSyncPairAndAction* pItem, int category);
// Bit c set for every category c that holds the item (all of them in one go).
uint32_t ItemCategoryMask(const CSyncPairAndAction& item);
// The node's item is in the category, or the node is a folder whose
// statistics record, built for this same category, counts members.
bool IsInCategory(const CSyncTreeNode* pNode, int category);

struct CCategoryStats {
    CItemCount m_aCounts[CAT_COUNT];
};
// The counts below each folder, as the last statistics pass found them.
using CSubtreeCounts = std::unordered_map<const CSyncTreeNode*, CCategoryStats>;
// Zeroes the counters and counts every node below the root; builds the
// per-folder records for the chosen category (and with pKeep keeps the
// counts below each folder). Returns the root's record.
FolderStatsRecord* ComputeCategoryStats(CSyncTreeNode* pRoot, CCategoryStats& stats, int chosen,
                                        CSubtreeCounts* pKeep = nullptr);
// As ComputeCategoryStats with pKeep, where only some folders changed since
// the counts were kept: recount(folder) is 1 to count its whole subtree again,
// 2 to count its children again (recount tells for the folders among them),
// 0 to take its kept counts and record. False when one is missing (the
// counts are then to be made afresh).
bool RecountCategoryStats(CSyncTreeNode* pRoot, CCategoryStats& stats, int chosen, CSubtreeCounts& keep,
                          const std::function<int(const CSyncTreeNode*)>& recount);

void AddItemCount(CItemCount& count, const CSyncPairAndAction& item);
void FolderStatsAddItem(FolderStatsRecord& rec, const CSyncPairAndAction& item);
void FolderStatsMerge(FolderStatsRecord& rec, const FolderStatsRecord& other);

// Iterates the nodes of a subtree (pre-order) that are in a category.
class CCategoryIter {
public:
    CCategoryIter(CSyncTreeNode* pNode, int category);
    bool IsValid() const { return m_it.IsValid(); }
    CSyncTreeNode* GetNode() const { return m_it.GetNode(); }
    bool Next();

private:
    void Skip();
    CSyncDepthFirstIter m_it;
    int m_nCategory;
};

// ---------------------------------------------------------------- counting passes
// (syncjob-count.cpp)
// ((bytes - 1 + block) / block) * block; block 0 means 1024; 0 stays 0.
uint64_t RoundUpToBlock(uint64_t bytes, uint64_t blockSize);
bool IsUserChanged(const CSyncPairAndAction& item);
bool IsFolderReplacesFile(const CSyncPairAndAction& item);
bool IsFolderWherePresent(const CSyncPairAndAction& item);

class CCalcRequiredFreeSpace : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    bool m_bOneDisk = false; // both sides on one volume: they share one balance
};
class CDoCountBytesOpers : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    uint64_t m_nTotal = 0;
    uint32_t m_nOpers = 0;
};
class CDoLockEmbeddedStates : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    uint8_t m_bRescan = 0;
    uint8_t m_abCreated[2] = {0, 0};
    int m_nErrKind = 0;
    CWideString m_sErrText;
};

// Analyze logs the action of every item (level 2) when set; off unless a host sets it.
extern std::atomic<bool> g_bDumpActions;

// The reason of an item that a conflict of a folder above takes along.
inline constexpr const char16_t* kReasonParentFolderConflict =
    u"Parent folder conflict propagated down to children";
