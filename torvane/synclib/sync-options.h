// A job's options record, CSyncJobOptions, and its keyword-text form (the
// "Job" block); the proxy settings record CProxyOptions and its "ProxyServer"
// block; the reader of a filter list's "FileMask" block.
//
// The "Job" block, at indent level L (two blanks per level):
//   <Job>
//   Name = "Docs"                       (only when not empty)
//   Dir1 = <ConnectInfo>                (the side's own block at level L+1)
//   ...
//   </ConnectInfo>
//   Dir2 = <ConnectInfo>
//   </ConnectInfo>
//   Direction = 0
//   ...                                 (a key only when it differs from its
//                                        default, or in a full dump)
//   FiltersIncluded = <FileMask>        (only when the list is not empty)
//   Matches = (
//     "*.doc"
//   ) </FileMask>
//   ...
//   </Job>
// Keys are at level L; Dir1, Dir2 and the filter keys are not indented. The
// keys Direction, 1wayMode, FolderLinks, FileLinks, ReconnectAttempts,
// CleanupOldGenerations, TimerIntervalHours, DetectMovesAndRenames and
// DetectFolderMoves are always written. The data-folder side and the
// conflict-copy name have no key and are never written.
#pragma once

#include "TvFsRecords.h"
#include "sync-filters.h"
#include "zor-coll.h"
#include "zor-stream.h"
#include "zor-string.h"

#include <cstdint>
#include <functional>

// How a one-way job treats the destination (CSyncJobOptions::m_n1wayMode).
enum OneWayMode : int32_t {
    OWM_FORCED = 0,   // the destination is made like the source
    OWM_VERIFIED = 1, // changes made on the destination are not overwritten
    OWM_MOVE = 2,     // files are moved: the source's copy is removed after the copy
};

class CSyncJobOptions {
public:
    CWideString m_sName;
    TvConnectInfoEx m_Dir1;   // left side
    TvConnectInfoEx m_Dir2;   // right side
    int32_t m_nDirection = 0; // 0 two-way, 1 left to right, 2 right to left
    int32_t m_n1wayMode = OWM_FORCED; // one-way mode (OneWayMode)
    bool m_bPropagateDeletions = true;
    bool m_bReadOnlySource = false;
    bool m_bConflictOnDiffItemsNoCommonHistory = false;
    bool m_bNoTvDataFolder = false;
    int32_t m_nNoTvDataFolderSide = 1; // (no key) the side to which NoTvDataFolder applies
    bool m_bCompareMD5crc = false;
    bool m_bSavePreviousVersion = true;
    bool m_bCleanupPreviousVersion = true;
    int32_t m_nSaveDaysPreviousVersion = 30;
    bool m_bSavePastVersions = false;
    bool m_bNoSavePreviousPastVersionsLocal = false;
    bool m_bCleanupPastVersions = false;
    int32_t m_nSaveDaysPastVersions = 30;
    bool m_bCleanupOldGenerations = true;
    int32_t m_nSaveMonthsOldGens = 24;
    bool m_bEstimateRequiredSpace = true;
    bool m_bAutoReconnect = true;
    int32_t m_nReconnectAttempts = 3;
    int32_t m_nSpeedLimit = 0;
    int32_t m_nUpSpeedLimit = 0;
    int32_t m_nShowBalloon = 1;
    bool m_bCopyUsingTempFile = true;
    bool m_bCopyACL = false;
    bool m_bCopyCreateTime = false;
    bool m_bSameBeforeSyncAsInAnalyze = false;
    bool m_bCopyLockedFiles = true;
    bool m_bFastPreAnalyzeWithStamps = false;
    bool m_bWaitForLocks = false;
    bool m_bFastStop = false;
    bool m_bDetectMovesAndRenames = true;
    bool m_bDetectFolderMoves = true;
    int32_t m_nWorkerThreads = 0; // 2 or more: files are copied by worker threads
    int32_t m_nFolderLinks = 0;
    int32_t m_nFileLinks = 2;
    int32_t m_nOnFileChangeAction = 0;
    int32_t m_nOnFileChangeDelay = 0;
    int32_t m_nOnStartAction = 0;
    int32_t m_nAutoStartDelay = 0;
    int32_t m_nOnTimerAction = 0;
    int32_t m_nTimerIntervalHours = 2;
    int32_t m_nTimerIntervalMinutes = 0;
    int32_t m_nOnFolderConnectAction = 0;
    int32_t m_nOnLogoutAction = 0;
    int32_t m_nOnVexaformAction = 0;
    int32_t m_nAutoResolveConflicts = 0;
    bool m_bRenameLosingFile = false;
    // (no key) name suffix template of a losing file
    CWideString m_sConflictCopyName{u" (Conflicted copy from %COMPUTERNAME% on %YYYY%-%MM%-%DD%)"};
    int32_t m_nLimitChangesPercent = 10; // auto-sync threshold in percent
    bool m_bAutoClearTree = false;
    CWideString m_sPreAnalyzeScriptOrEmail;
    CWideString m_sPostAnalyzeScriptOrEmail;
    CWideString m_sPostSyncScriptOrEmail;
    bool m_bExcludeEmptyFolders = false;
    bool m_bExcludeHidden = false;
    bool m_bExcludeSystem = false;
    CJobFilters m_Filters; // FiltersIncluded, FiltersExcluded

    CSyncJobOptions() = default;
    CSyncJobOptions(const CSyncJobOptions&) = default;
    CSyncJobOptions& operator=(const CSyncJobOptions&) = default;

    // Stores the direction and the switches that depend on it: two-way jobs
    // skip hidden and system items and keep creation times as they are;
    // one-way jobs copy creation times, use forced mode and sync without a
    // change threshold.
    void SetDirection(int nDirection);
};

// Writes the "Job" block; false on the first failed write.
bool WriteJobOptions(const CSyncJobOptions& opt, ZorOutStream& out, bool bFullDump, int nLevel,
                     CWideString& sErr);

// Reads one "Job" block (an optional "=" before "<Job>") into the record.
// Keys may come in any order, the last wins; absent keys keep the record's
// values; unknown keys are skipped with their values. Fails with "string
// where token expected" for a quoted key, "Unexpected EOF" at an early end,
// or the value reader's words; the fields read before the fault keep their
// new values.
bool ReadJobTix(CSyncJobOptions& opt, ZorInStream& in, CWideString& sErr);

// Reads a "FileMask" block (an optional "=" before "<FileMask>"): its
// "Matches" list replaces the list's contents.
bool ReadFileMasks(CListT<CWideString>& list, ZorInStream& in, CWideString& sErr);

// The body of a keyword block whose opening "<sName>" has been read, up to
// and including "</sName>": readKey(key, bKnown) reads the value of a key it
// knows and sets bKnown; other keys are skipped with their values. Fails with
// "string where token expected" for a quoted key, "Unexpected EOF" at an
// early end, or the words of the value reader.
bool ReadKeywordBlockBody(ZorInStream& in, const char* sName, CWideString& sErr,
                          const std::function<bool(const CNarrowString& key, bool& bKnown)>& readKey);

// ---------------------------------------------------------------- proxy
// CProxyOptions itself lives with the network records (zor-net-records.h).
// The "ProxyServer" block, keys at nLevel; false on the first failed write.
bool WriteProxyOptions(const CProxyOptions& opt, ZorOutStream& out, bool bFullDump, int nLevel,
                       CWideString& sErr);
// Reads a "ProxyServer" block (an optional "=" before "<ProxyServer>").
bool ReadProxyOptions(CProxyOptions& opt, ZorInStream& in, CWideString& sErr);

// ---------------------------------------------------------------- small texts
// Splits at the first occurrence of ch; false (whole text before, empty
// after) when it does not occur.
bool SplitAtChar(const CWideString& s, char16_t ch, CWideString& sBefore, CWideString& sAfter);
// Copies the text and its terminating zero into the buffer; false (the buffer
// then holds an empty text when it has room for one) when it does not fit.
bool CopyWideToBuffer(char16_t* pBuffer, int nCapacity, const CWideString& s);
