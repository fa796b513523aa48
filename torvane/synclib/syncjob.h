// The sync job object.
//
// CSyncJob is one synchronisation job of the engine: it owns the job's
// options, the two sides' file systems, the effective filters, the sync tree,
// the run counters, the transfer workers and the pointer to the progress sink
// through which everything a run says reaches the user. The job list derives
// its own job class from it. The run driver, the side connection, the data
// folders and the folder locks are added by the files syncjob-*.cpp.
//
// Threads: everything of a run executes on the job's own thread, except the
// file transfers that workers carry out. The progress sink's lock serialises
// what the sinks read of the job (worker transfers, counters); the job's
// critical section guards the worker bookkeeping.
#pragma once

#include "TvFileSys.h"
#include "engine-globals.h"
#include "mounts-below.h"
#include "sync-filters.h"
#include "sync-item.h"
#include "sync-options.h"
#include "sync-progress.h"
#include "sync-tree.h"
#include "syncjob-analysis.h"
#include "zor-log.h"
#include "zor-string.h"
#include "zor-thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class CSyncJob;
class CChildNameIndex;

// One transfer worker of an execution (syncjob-workers.cpp): its own two
// connected file systems and progress sink, and the two auto-reset events of
// the hand-off. The job thread gives it one file item at a time; the worker
// signals "work done" once when ready (or failed) and once after each task.
class CSyncWorkerThread : public ZorThreadImpl<CSyncWorkerThread> {
public:
    CSyncWorkerThread() = default;
    ~CSyncWorkerThread() override;
    CSyncWorkerThread(const CSyncWorkerThread&) = delete;
    CSyncWorkerThread& operator=(const CSyncWorkerThread&) = delete;

    // The thread body: connects, then executes handed tasks until finished.
    void ThreadBody() { WorkLoop(); }
    uint32_t WorkLoop();
    // Empties the side URLs, closes and deletes the file systems.
    void ReleaseFileSystems();
    // Back to idle: file systems released, task, results and events cleared.
    void Reset();

    CSyncJob* m_pJob = nullptr;  // null when idle
    CbWorkerProgress m_Progress; // job sink: the job's sink while the worker runs
    CWideString m_asSideUrl[2];
    std::unique_ptr<TvFileSys> m_apFs[2];
    CSyncTreeNode* m_pTaskNode = nullptr;
    CWideString m_sTaskPath;
    std::atomic<uint8_t> m_bSetupFailed{0};
    std::atomic<uint8_t> m_bResult{0};
    int m_nErrKind = 0;
    CWideString m_sErrText;
    std::atomic<uint8_t> m_bFinish{0};
    ZorEvent m_evWorkArrived;
    ZorEvent m_evWorkDone;
};

class CSyncJob {
public:
    CSyncJob();
    // Copies only the other job's options record.
    explicit CSyncJob(const CSyncJob& other);
    CSyncJob& operator=(const CSyncJob&) = delete;
    virtual ~CSyncJob();

    // Closes both job logs' files, then closes and deletes the side file
    // systems that exist.
    virtual void Disconnect();
    // Stores the name in the options; an empty name is an assertion report
    // and is not stored.
    virtual void SetName(const CWideString& name);

    // -- progress sink
    // Stores the sink (null: an assertion report and g_DummyJobProgress),
    // links it back to this job unless it is the no-op sink, and hands it to
    // each side's file system. Returns true. A host sink must outlive the
    // job (or be replaced before it goes): the job unlinks it when destroyed.
    bool SetProgressSink(CbJobProgress* pSink);
    CbJobProgress* GetProgressSink() const { return m_pProgress; }
    // What the job's file systems report to: the sink, or for a job on the
    // shared no-op sink a no-op record of the job's own (a file system
    // writes the transfer fields of its record, and two jobs' copies must
    // not write one record).
    ICopyProgress* GetFsProgress() {
        return m_pProgress == &g_DummyJobProgress ? &m_FsNoProgress : static_cast<ICopyProgress*>(m_pProgress);
    }

    // -- what a run says
    // A log line (level 0 header/summary, 1 error, 2 notice, 3 detail; kind:
    // the call site's message-kind number that groups repeats). The text ends
    // with "\n".
    void Log(int level, int kind, const CWideString& text);
    // Log lines of one thread held back in their order, to be passed on later
    // (work done beside the main thread says what it did in the order a
    // sequential run would have said it).
    struct CHeldLogLines {
        struct SLine {
            int nLevel;
            int nKind;
            CWideString sText;
        };
        std::vector<SLine> m_Lines;
    };
    // While a holder is set, Log on the calling thread appends to it instead
    // of passing the line to the sink. Null ends the holding.
    static void HoldLogLinesOfThisThread(CHeldLogLines* pHeld);
    void PassOnHeldLogLines(const CHeldLogLines& held);
    // A notice (level 1, 2 or 3), passed to the sink's OnNotice under its lock.
    void Notify(int level, const CWideString& text);
    // Passes (percent, text) to the sink's OnShowProgress under its lock.
    void ReportProgress(int percent, const CWideString& text);
    // Scales percent into the sink's stage range and reports it; with
    // bThrottle, a percentage equal to the last one within a second is not
    // reported again.
    void SetProgress(int percent, const CWideString& text, bool bThrottle);

    // -- what the progress sinks read
    // Workers are transferring files for the current execution.
    bool AreWorkersRunning() const { return m_bWorkersRunning.load() != 0; }
    // Bytes of the current transfers of all workers (the caller holds the
    // progress sink's lock).
    int64_t GetWorkersItemDone() const;
    // Items processed by the execution so far: synced OK, failed, conflicts.
    uint32_t GetProcessedItemCount() const;
    // Items the execution has to process (files plus folders).
    uint32_t GetItemsToProcess() const { return m_nItemsToProcess.load(); }
    // The bandwidth limit (KB per second, 0: none) for a direction.
    int64_t GetSpeedLimit(bool bUpload) const;
    // The slow-down level 0..3 of a direction (a stored value outside that
    // range counts as the nearest end).
    int GetSlowDownLevel(bool bUpload) const;
    void SetSlowDownLevels(int nUpload, int nDownload);

    // -- workers
    // Destroys every worker and makes nCount new idle ones (0..65535). Only
    // while no worker thread runs.
    void ResizeWorkers(int nCount);
    int GetWorkerArraySize() const { return m_nWorkerArraySize; }
    CSyncWorkerThread& GetWorker(int i) { return m_pWorkers[i]; }

    // ---------------------------------------------------------------- run driver, side connection, run utilities
    // (syncjob-run.cpp, syncjob-connect.cpp, syncjob-utils.cpp)

    // The include and exclude lists that the job list appends to every job's
    // own filters (RunJob, Analyze).
    struct GlobalFilters {
        CListT<CWideString> m_lstIncluded;
        CListT<CWideString> m_lstExcluded;
    };

    // -- run driver (syncjob-run.cpp)
    // One whole run on the job's own thread: an Analyze, a Sync or both, as
    // the analyse and sync flags say, from the run log to post-run. The job
    // list sets the flags, the activity word and the run kind first. The run
    // state tells how it ended; resultText gets the one-line outcome.
    bool RunJob(const GlobalFilters* pGlobal, int& errKind, CWideString& resultText);
    // "ANALYZE + SYNC", "ANALYZE", "SYNC", or "undefined state" (asserted).
    static CWideString GetRunName(bool bAnalyze, bool bSync);
    // Names this run's log file ("%04d-%02d%02d-%02d%02d%02d-%s-%s%s.log":
    // local time, computer name, job name, "-user-action" for a run that
    // applies a user's edits) and sets it on both job logs; with bReuse the
    // previous run's name is kept when there is one.
    void OpenRunLog(bool bUserAction, bool bReuse);
    const CWideString& GetRunLogName() const { return m_sRunLogName; }
    // Closes both job logs' files and sets their enabled flag.
    void CloseRunLogs(bool bEnabled);
    // Gives both job logs an empty file name.
    void ResetRunLogs();
    CZorLog& GetJobLog(int side) { return m_aJobLog[side & 1]; }
    void SetRunState(int nState, int nSub) {
        m_nRunState.store(nState);
        m_nRunSubState.store(nSub);
    }
    int GetRunState() const { return m_nRunState.load(); }
    int GetRunSubState() const { return m_nRunSubState.load(); }
    // The tree for readers outside a run: null (with a program-log line)
    // while the activity is 3. The run itself (Analyze, Sync, execution on
    // the job thread and its workers) uses GetPairsUnchecked.
    CSyncPairsAndActions* GetPairsForRead();
    // The tree for writers: only while the activity is 3 or 5 (else null
    // and an assertion report).
    CSyncPairsAndActions* GetPairsForWrite();
    CSyncPairsAndActions* GetPairsUnchecked() { return &m_Tree; }
    // The folder URL of side 0 or 1 (another side: assertion, empty text).
    CWideString GetSideFolder(int side) const;
    CWideString GetLeftFolder() const { return GetSideFolder(0); }
    CWideString GetRightFolder() const { return GetSideFolder(1); }
    // Not during a run (activity 3 or 5: assertion). Closes and deletes the
    // side's file system, then takes the connect info. Side >= 2: false.
    bool SetSideConnectInfo(int side, const TvConnectInfo& ci);
    void SetSideFolder(int side, const CWideString& folder);
    // The side's path conversion of arg while it is connected; else empty.
    CWideString GetSideDisplayPath(int side, const CWideString& arg) const;
    // After both sides are connected: refuses the same or nested folders
    // (and folders whose nesting cannot be told), notes the MD5 option and,
    // in an automatic run, makes the data folders.
    bool PrepareRun(int& errKind, CWideString& errText);
    // Per side: an automatic run found no "/_tvdata_" where the last sync
    // left items (the drive may be missing), so it made and locked none
    // while it analysed; Sync does that once the side is known available.
    uint8_t m_abRootInDoubt[2] = {0, 0};
    // Whether the data folder of folder (side-relative, "" the root) may be
    // trusted with the job's bookkeeping: neither it nor its lock, state,
    // "_saved_" and "_history_" is a link, another user's, or (a file) one
    // with other names. Checked before anything is read from it or done to
    // it; an own folder open to other users is closed (through descriptors).
    // A refusal sets m_abUntrusted for the side, and errText says why,
    // naming the path and its owner.
    bool CheckDataFolderTrust(const CWideString& folder, int side, int& errKind, CWideString& errText);
    // On a side that keeps owners: the connected root is reached through no
    // link of another user (a refusal sets m_abUntrusted) and is still the
    // folder its path names.
    bool CheckRootTrust(int side, int& errKind, CWideString& errText);
    // Makes "/_tvdata_" on a side that may hold it (hidden where the file
    // system sets attributes); bCreated tells whether it was made now.
    bool CreateDataFolder(int side, TvFileSys* pFs, bool& bCreated, int& errKind, CWideString& errText);
    // "User" for a user's run, else the starter description.
    CWideString GetStarterText() const;

    // Empties the tree (the has-changes and tree-has-sizes flags too);
    // returns whether it had a root.
    virtual bool ResetTree();
    // The job list's incremental analysis of one side; here it fails with
    // "IncrementalAnalyzeItems not implemented" (kind 5).
    virtual bool IncrementalAnalyzeItems(int side, TvFileSys* pFs, CSyncTreeNode* pRoot, int& errKind,
                                         CWideString& errText);
    // The job list drops the side's queued changes; true here.
    virtual bool DropSideChanges(int side, int nArg1, int nArg2);

    // -- the stages that the run driver calls. The Analyze driver and the
    // Sync driver fill these in; until then Analyze and Sync do nothing and
    // succeed. SendEmailOrRunProgram and PostRun: syncjob-actions.cpp.
    virtual bool Analyze(const GlobalFilters* pGlobal, bool bForSync, bool bScanFlag1, bool bScanFlag2,
                         CWideString& summary, int& errKind, CWideString& errText);
    virtual bool Sync(CWideString& summary, int& errKind, CWideString& errText);
    // Carries out one action (e-mail targets or a program line) of a stage;
    // nReturnCode -1 when nothing was run.
    virtual bool SendEmailOrRunProgram(const CWideString& action, const CWideString& stage,
                                       bool bEndedNormally, CWideString errCopy, const CWideString& summary,
                                       const CWideString& logPath, int& nReturnCode, int& errKind,
                                       CWideString& errText);
    virtual void PostRun(bool bSyncRun, bool bEndedNormally, CWideString errCopy, const CWideString& summary);
    // The required-space estimate: zeroes each side's required bytes and
    // running balance and runs CCalcRequiredFreeSpace over the tree
    // (syncjob-count.cpp).
    virtual void ComputeRequiredSpace();

    // -- side connection (syncjob-connect.cpp)
    // Connects side 0, then side 1; failedSide names the side that failed.
    bool ConnectSides(int& failedSide, int& errKind, CWideString& errText);
    bool ConnectSide(int side, int& errKind, CWideString& errText);
    // Closes and deletes both sides' file systems.
    void DisconnectSides();
    // Whether setting a file's modification time works on that file system.
    bool TestSetFileModTime(TvFileSys* pFs, int& errKind, CWideString& errText);
    // Called after an operation on the side failed with errKind: closes the
    // side and connects it again (after 30 s, or 1 s when bQuick, polling
    // for a stop each second) while the kind is a connection error and the
    // reconnect budget lasts. A refusal keeps a non-connection kind as it was.
    bool TryReconnect(int side, const CWideString& operation, const CWideString& failureText, bool bQuick,
                      int& errKind, CWideString& errText);
    // The side keeps its state in its local mirror folder, not in "/_tvdata_".
    bool CannotHaveDataFolder(int side) const;
    // Writes to the side go through a temporary file.
    bool UseTempFile(int side) const;
    // Builds each side's status text and hands it to the sink.
    void ShowSideStatus(bool bSetChunkLimit);
    void RefreshRequiredSpace();
    const CWideString& GetSideStatusText(int side) const { return m_asSideStatus[side & 1]; }

    // -- run utilities (syncjob-utils.cpp)
    bool IsStopped() const { return m_pProgress->IsStopRequested(); }
    bool IsNotStopped() const { return !IsStopped(); }
    // On a stop: "Stopped by User", kind 10, false; otherwise true.
    bool CheckStop(int& errKind, CWideString& errText) const;
    // Passes (level, text, 0) to the sink's OnMessageLine under its lock.
    void AddMessageLine(int level, const CWideString& text);
    void SetLeftFolder(const CWideString& url) { SetSideFolder(0, url); }
    void SetRightFolder(const CWideString& url) { SetSideFolder(1, url); }
    bool IsActivityWithChanges() const;
    bool IsActivityWithResult() const;
    bool IsActivitySub6() const { return m_nActivitySub.load() == kActivitySubPaused; }

    // ---------------------------------------------------------------- data folder and previous versions
    // (syncjob-datafolder.cpp)
    // Side-relative names of the data folder; shared with every installation
    // that syncs the same folders, so they never change.
    static constexpr const char16_t* kDataFolderName = u"_tvdata_";
    static constexpr const char16_t* kDataFolderPath = u"/_tvdata_";
    static constexpr const char16_t* kLockFileBase = u"/_tvdata_/lock";          // + GetLockFileSuffix
    static constexpr const char16_t* kInSyncStampPath = u"/_tvdata_/_insync_v4.tvl";
    static constexpr const char16_t* kInSyncStampV3Path = u"/_tvdata_/_insync.tvl"; // read, never written
    static constexpr const char16_t* kCleanupStampBase = u"/_tvdata_/_cleanup";  // + GetFileSuffixOr(".tvs")
    static constexpr const char16_t* kStateFilePath = u"/_tvdata_/_file_state_v4._tv";
    static constexpr const char16_t* kStateFileV3Path = u"/_tvdata_/_file_state._tv";
    static constexpr const char16_t* kStateUploadPath = u"/_tvdata_/_file_state_upload";
    static constexpr const char16_t* kSavedFolderPath = u"/_tvdata_/_saved_";     // + item path
    static constexpr const char16_t* kHistoryFolderPath = u"/_tvdata_/_history_"; // + stamped item path
    static constexpr const char16_t* kTestFileBase = u"/_tv_test";               // + GetLockFileSuffix
    // File-name suffixes: the file system's own (type info 3) or "._tvtmp",
    // ".tvl", or the caller's default.
    static CWideString GetTempFileSuffix(const TvFileSys* pFs);
    static CWideString GetLockFileSuffix(const TvFileSys* pFs);
    static CWideString GetFileSuffixOr(const TvFileSys* pFs, const CWideString& def);

    // The side's own name of a node (the current record's id, else the key)
    // and the same from the old record; the node's path on that side ("" for
    // the root).
    static CWideString GetItemSideName(const CSyncTreeNode* pNode, int side);
    static CWideString GetItemOldSideName(const CSyncTreeNode* pNode, int side);
    static CWideString GetItemSidePath(const CSyncTreeNode* pNode, int side);
    // The node or an ancestor below the root is excluded (null: false).
    static bool IsInExcludedSubtree(const CSyncTreeNode* pNode);
    // Every ancestor below the root is a folder on each side where it is present.
    static bool HasOnlyFolderAncestors(const CSyncTreeNode* pNode);
    // A direct child exists on either side (AnyIncludedChildExists: counting
    // only children that are neither excluded nor re-included).
    static bool AnyChildExists(const CSyncTreeNode* pNode);
    static bool AnyIncludedChildExists(const CSyncTreeNode* pNode);
    // "report (12)" -> "report"; names without a digits-only "(n)" at the end unchanged.
    static CWideString StripCopyNumber(const CWideString& name);

    // Moves the item at path away before it is overwritten or deleted (or
    // because it lost a conflict): to a conflict-copy name beside it
    // (RenameLosingFile), to "_history_" with a time stamp (SavePastVersions)
    // or to "_saved_" (one copy per path). attrs: the item's attributes,
    // FSA_UNKNOWN when not known. newPath gets where it went (empty when
    // nothing was kept). Conflict copies and history names never take a name
    // where something stands. May run on worker threads. bKeepInPlace (a
    // file on a side that replaces atomically): the version is kept as a
    // second name (a copy where that cannot be) and the file stays at path
    // until the caller replaces it, so path never lacks a file.
    bool KeepPreviousVersion(const CWideString& path, CSyncTreeNode* pNode, int side, TvFileSys* pFs,
                             bool bConflictLoser, uint32_t attrs, CWideString& newPath, int& errKind,
                             CWideString& errText, bool bKeepInPlace = false);
    // Deletes the saved copies whose saved time is before cutoff (seconds
    // since 1970); bNoneTracked is cleared when any item records one, and
    // pEarliest (when given) lowered to the earliest saved time left.
    void CleanupSavedFiles(CSyncTreeNode* pNode, int side, int64_t cutoff, bool& bNoneTracked,
                           int64_t* pEarliest = nullptr);
    // Changes of the items' saved-version records per side (state reads,
    // saves, tracking, expiry, a new tree), and what the last clean-up walk
    // over the whole tree left: while neither they nor the cut-off allow a
    // deletion, that walk's outcome stands without walking again.
    std::atomic<uint32_t> m_anSavedRecordChanges[2]{0, 0};
    struct CSavedWalk {
        bool bValid = false;
        uint32_t nChanges = 0;     // m_anSavedRecordChanges after the walk
        bool bNoneTracked = true;
        int64_t nEarliest = 0;     // the earliest saved time left
    };
    CSavedWalk m_aSavedWalk[2];
    void NoteSavedRecordsChanged(int side) { m_anSavedRecordChanges[side ? 1 : 0].fetch_add(1); }
    // Records the files found in "_saved_" + folder on their items (time
    // nTime, their size). Files no item knows are kept as they are.
    bool InitSavedTracking(const CWideString& folder, int side, TvFileSys* pFs, bool bTopLevel, int64_t nTime,
                           CSyncTreeNode* pRoot, int& errKind, CWideString& errText);
    // The expiry of saved versions of one side, run before its state file is
    // written at the end of a Sync (CleanupPreviousVersion, not after a stop).
    void ExpireSavedVersions(int side);
    // Forgets the folders made for kept versions (at the start of each Sync).
    void ResetKeptFolderMaps();
    // Helpers of KeepPreviousVersion.
    bool EnsureKeptFolder(int side, TvFileSys* pFs, const CWideString& folder, int& errKind,
                          CWideString& errText);
    bool MakeConflictCopyPath(const CWideString& path, TvFileSys* pFs, CWideString& newPath, int& errKind,
                              CWideString& errText);
    bool MakeHistoryPath(const CWideString& path, TvFileSys* pFs, CWideString& newPath, int& errKind,
                         CWideString& errText);
    // Per side: folders made for kept versions (path -> 1), guarded by m_cs.
    CHashMapT<CWideString, uint8_t> m_aKeptFolders[2];

    // ---------------------------------------------------------------- folder locks
    // (syncjob-locks.cpp)
    // A lock this Sync took: the folder (side-relative, "" for the root) and
    // its side (-1 until the lock is written).
    struct CLockRecord {
        CWideString m_sFolder;
        int32_t m_nSide = -1;
        CNarrowString m_sText; // the lock text written (the first line of the file)
    };
    // Results of ReadLockFile / WriteLockFile: 1 free (written), 2 free after
    // an abandoned or unparseable lock, 0 locked by another owner (errText:
    // the lock's first line), -5 existence test or local write failed, -6
    // download or upload failed, -7 read or abandoned-lock delete failed, -8
    // the lock is this Sync's own (the two sides overlap).
    static int32_t ReadLockFile(const CWideString& folder, TvFileSys* pFs, const CNarrowString& expected,
                                const CNarrowString& owner, int& errKind, CWideString& errText);
    // Also reads the written file back: a first line other than lockText
    // (another owner wrote at the same moment) gives 0.
    static int32_t WriteLockFile(CLockRecord& rec, const CWideString& folder, TvFileSys* pFs, int side,
                                 const CNarrowString& lockText, const CNarrowString& owner, int& errKind,
                                 CWideString& errText);
    static bool DeleteLockFile(const CWideString& folder, TvFileSys* pFs, int& errKind, CWideString& errText);
    // The lock text "<owner> at: YYYY.MM.DD hh:mm:ss GMT" (t in UTC) and the
    // lock file content: lock text, LF, display path (UTF-8), no line end.
    static CNarrowString MakeLockText(const CNarrowString& owner, const CZorTime& t);
    static CNarrowString MakeLockFileContent(const CNarrowString& lockText, const CWideString& display);
    // Analyze: waits for (or overrides) a foreign lock, deletes our own
    // abandoned one; an automatic run takes the lock here.
    bool CheckLockFolder(const CWideString& folder, int side, int& errKind, CWideString& errText);
    // Sync: takes the lock of a folder, then (bCheckStateFile) refuses when
    // the state file differs from what Analyze recorded.
    bool LockFolder(const CWideString& folder, int side, bool bCheckStateFile, int& errKind,
                    CWideString& errText);
    // Releases every held lock: into the in-sync stamp after a clean Sync
    // (see SetSyncEndedClean), else the lock is deleted. Returns true.
    bool UnlockFolders();
    // "By: <job>.<user>@<computer> (profile <tag>, process <pid>)" (UTF-8),
    // built on first use; the tag is a digest of the profile folder.
    const CNarrowString& GetLockOwner();
    // Forgets owner and lock text (start of each run and of each Sync).
    void ResetLockTexts();
    // The Sync driver's word that the Sync ended clean (not refused, stopped
    // or aborted). Cleared when a Sync takes its first lock and by UnlockFolders.
    void SetSyncEndedClean(bool b) { m_bSyncEndedClean = b ? 1 : 0; }
    // The state file's record as Analyze saw it, per side and folder.
    void SetStateFileStamp(int side, const CWideString& folder, const FsItemInfo& info);
    void ClearStateFileStamps();
    bool FailFolderLocked(const CWideString& display, const CWideString& lockLine, int& errKind,
                          CWideString& errText);
    // One round of waiting for a foreign lock (10 s); false ends the wait.
    bool WaitForForeignLock(const CWideString& display, const CWideString& lockLine, int64_t nStartTick,
                            int64_t& nLastMinute, int& errKind, CWideString& errText);
    CNarrowString m_sLockOwner;         // owner text, built on first use
    CNarrowString m_sLockText;          // lock text of the current Sync
    uint8_t m_bLockedByOther = 0;       // a lock could not be had: another owner holds it
    // The lock file of the other owner that refused this job's lock: its
    // local path where the side is local (m_bForeignLockLocal), else its
    // display path. Set on the job's thread; the host empties it.
    CWideString m_sForeignLockFile;
    uint8_t m_bForeignLockLocal = 0;
    // Notes the lock file of the folder after a refusal by another owner.
    void NoteForeignLock(const CWideString& folder, TvFileSys* pFs);
    // A temporary name in a data folder that is this job's own (two jobs
    // that write into one folder never share one): base, "-", 16 hexadecimal
    // digits of the owner text, the side's temporary suffix.
    CWideString OwnTempName(const CWideString& base, const TvFileSys* pFs) const;
    uint8_t m_bOverrideLocks = 0;       // the user's order to break foreign locks
    uint8_t m_bSyncEndedClean = 0;      // set by the Sync driver (SetSyncEndedClean)
    CListT<CLockRecord> m_HeldLocks;    // locks this Sync took, in order
    CHashMapT<CWideString, FsItemInfo> m_aStateFileStamps[2]; // folder -> state file as Analyze saw it

    // ---------------------------------------------------------------- forgetting state and user edits
    // (syncjob-forget.cpp, syncjob-edits.cpp; the actions around a run are in syncjob-actions.cpp)
    // Modes of DeleteSideFiles: everything, or only the state files of the
    // data folders met (and of the side's local mirror folders).
    enum { kDeleteEverything = 0, kDeleteStateFiles = 2 };
    // Deletes every state file of the side's folder tree and its mirror
    // copies, then the in-sync stamps: the next Analyze sees the side as
    // never synchronised.
    void ForgetSideState(int side);
    // Deletes the in-sync stamps of the side's data folder and first mirror folder.
    void DeleteStampFiles(int side);
    // Deletes "/_tvdata_/_saved_" and "/_tvdata_/_history_" with their content.
    void DeleteKeptVersions(int side);
    // Deletes "/_tvdata_" with all its content.
    void DeleteDataFolder(int side);
    bool DeleteSideFiles(int mode, const CWideString& folder, int side, int& errKind, CWideString& errText);
    bool DeleteSideFilesRec(int mode, const CWideString& folder, int side, bool bTopLevel, int& errKind,
                            CWideString& errText);
    // The user's edit of one item of the analysed tree: the item, the items
    // below it that the selected category shows, and the folders above it
    // that must stay or be created; then the statistics are rebuilt.
    void UserChangeActionOnSubtree(CSyncTreeNode* pNode, uint8_t nReq, bool bAllowAnyActivity);
    // The analysis found work to do: set from has-changes at the end of every
    // Analyze, recomputed after execution. Post-Analyze runs only while clear.
    uint8_t m_bWorkRemains = 0;

    // ---------------------------------------------------------------- state file reading, mirror copy and saving
    // (syncjob-state.cpp)
    // Local names of a side's state file in its mirror folder, its ".tvi"
    // description and the stem of the temporary file of a save.
    static constexpr const char16_t* kStateFileName = u"_file_state_v4._tv";
    static constexpr const char16_t* kStateFileV3Name = u"_file_state._tv"; // read, never written
    static constexpr const char16_t* kStateInfoName = u"_file_state_v4.tvi";
    static constexpr const char16_t* kStateUploadName = u"_file_state_upload"; // OwnTempName's base
    // The count of items the last sync left in the side's folder (decimal),
    // + the other folder's hash and ".txt".
    static constexpr const char16_t* kLastSyncCountName = u"_last_sync_items_";
    // A mirror copy older than this is not used (seconds).
    static constexpr int64_t kMirrorStateMaxAge = 3 * 3600;
    // Reads the state file of one folder of a side ("" for the side root)
    // into the old records of that folder's subtree and adds 1 to *pCount
    // (may be null). Error kinds: 0 missing file, parse failure or missing
    // folder node; 5 not connected or unsupported version; 10 stopped; a
    // failed existence check of the file keeps the file system's own kind.
    // bCheckLock runs the folder-lock check first.
    // A file that lists more records than the side's tree can need
    // (StateRecordBudget) fails with kind 0, as one that cannot be parsed;
    // while the side's listing is still to come (m_abStateListingAhead) it
    // fails without a warning, WasStateOverBudget set, to be read again
    // once the side is listed.
    bool ReadStateFile(const CWideString& folderPath, int side, bool bCheckLock, int32_t* pCount, int& errKind,
                       CWideString& errText);
    // The records the side's state files may still bring in this Analyze:
    // kStateRecordsPerItem for each item the side holds as far as is known
    // (listed by the running scan, or held in the tree from the last one),
    // at least s_nStateMinRecords, less what the side's files brought.
    // The records the side root's file held as this job last read or saved
    // it count too: a file that fits what the job itself took or wrote (the
    // deleted items it remembers included) is read once, before the listing.
    int64_t StateRecordBudget(int side) const;
    static int64_t s_nStateMinRecords; // kStateMinRecordBudget (tests lower it)
    // The memory (StateRecordBytes) one state file's records may take:
    // kStateBytesPerRecord for each record that the items known or the kept
    // count allow, at least s_nStateMinMemory.
    int64_t StateMemoryBudget(int side) const;
    static int64_t s_nStateMinMemory; // kStateMinMemoryBudget (tests lower it)
    // The records of the side root's state file as this job last read or
    // saved it, kept in the side's mirror folder beside the last sync's item
    // count (the owner's alone), with the stamp of the file they were
    // counted in: 0 when none is kept. The count stands only for that very
    // file (see StateRecordsKeptFit): a file put in its place, of any
    // number of records, is read within what the side's listing allows.
    // KeepStateRecords counts the tree's records when n is negative.
    int64_t ReadStateRecordsKept(int side);
    void KeepStateRecords(int side, const FsItemInfo& stamp, int64_t n = -1);
    bool StateRecordsKeptPath(int side, CWideString& path);
    static constexpr const char16_t* kStateRecordsName = u"_state_records_";
    // The file systems mounted below a side's root at its last sync (mirror folder).
    static constexpr const char16_t* kMountsKeptName = u"_mounts_below_";
    static constexpr const char16_t* kMountsKnownName = u"_mounts_known_";
    int64_t m_anStateRecordsKept[2] = {0, 0};
    FsItemInfo m_aStateRecordsKeptFor[2]; // the stamp that ReadStateRecordsKept read with the count
    // Whether the side root's state file last read was the one the count was
    // kept with (this job's own, not one put in the side's place).
    bool m_abStateFileKept[2] = {false, false};
    // Whether a kept count was counted in the file of this stamp (size,
    // modification time and, where both know them, its nanoseconds, stamp
    // and change time).
    static bool StateRecordsKeptFit(const FsItemInfo& kept, const FsItemInfo& file);
    int64_t StateItemsKnown(int side) const;
    bool WasStateOverBudget() const { return m_bStateOverBudget; }
    // Per side, for the record budget: the items known before the running
    // scan, the records this Analyze's state files brought, whether a
    // listing is still to come, and the folders whose state files wait for
    // its end (in the order met; the side root's first when it waits), with
    // the budget that the side root's file went past (-1: none).
    int64_t m_anStateItemsKnown[2] = {0, 0};
    int64_t m_anStateRootPast[2] = {-1, -1};
    int64_t m_anStateRootPastMemory[2] = {-1, -1}; // the same for the memory budget
    int64_t m_anStateRecordsRead[2] = {0, 0};
    bool m_abStateListingAhead[2] = {false, false};
    std::vector<CWideString> m_aStateDeferred[2];
    bool m_bStateOverBudget = false;
    // Whether the mirror copy left by an unfinished save may stand for the
    // side's state file (statePath): its ".tvi" description still matches the
    // side's file and it is less than 3 hours old. A copy that does not match
    // is deleted. False only when the side's file information cannot be read.
    bool UseMirrorStateFile(const CWideString& statePath, const CWideString& displayPath,
                            const CWideString& mirrorFile, int side, bool& bUse, CWideString& errText);
    // The content reader and writer (over GetStateFileIo).
    bool ParseStateFile(ZorInStream& in, int side, CSyncTreeNode* pFolder, bool bMayShift,
                        struct StateFileHeader& hdr, bool& bVersionError, CWideString& errText);
    bool WriteStateStream(ZorOutStream& out, int side, const CWideString& folderPath, CWideString& errText);
    // The same into a block-compressed file, taking again the compressed
    // stretches of the side's last such write that are still the same.
    bool WriteSegmentedState(class ZorGzBlockFileStream& out, int side, const CWideString& folderPath,
                             CWideString& errText);
    // A job that keeps its tree from run to run (a watched one) keeps the
    // compressed stretches of its state files for the next save; others
    // write them whole.
    bool m_bKeepStateSegments = false;
    // Saves the state files of one folder node on each connected side whose
    // holds-data-folder byte is set (the save pass of the execution, children
    // before parents). Failures are logged and counted; returns true.
    // Two local sides that both keep a data folder are saved at the same
    // time (each reads only its own records of the tree).
    bool SaveStateFiles(CSyncTreeNode* pNode, int& errKind, CWideString& errText);
    void SaveSideStateFiles(CSyncTreeNode* pNode, int side);
    // Writes the state file of one folder of a side: to a temporary name,
    // flushed and renamed over the old file (a local side, or a side's
    // mirror folder), or through the local mirror copy and an upload.
    bool WriteStateFile(int side, const CWideString& folderPath, int& errKind, CWideString& errText);
    // The job's state-file reader and writer over its tree; the state levels
    // it keeps last for a whole Analyze. Made on first use.
    class CStateFileIo& GetStateFileIo();
    // File times of the side may move by whole hours: it does not answer
    // capability 35 (exact modification times), or it answers 38 (rounded).
    static bool MayHaveTimeShift(const TvFileSys* pFs);
    // A leftover temporary file's name: ends with "._tvtmp" (any case), or 32
    // characters a-z/0-9 followed by exactly ".tmp". Else false with "bad
    // name" or "bad suffix".
    static bool IsTempFileName(const CWideString& name, CWideString& errText);
    std::shared_ptr<class CStateFileIo> m_pStateIo; // made by GetStateFileIo

    // ---------------------------------------------------------------- side scan and listed entries
    // (syncjob-scan.cpp, syncjob-listed.cpp)
    // Fills the side's current records of the tree: lists the side's folder
    // tree (or, with the fast pre-analyse and an unchanged stamp file, takes
    // its state file instead), reads the state files met on the way into the
    // old records, filters what came only from the state files, pushes
    // exclusions down, runs the side's change analysis and logs the side's
    // statistics line. The Analyze driver passes bFullScan and bCheckLock true.
    bool AnalyzeSide(CSyncTreeNode* pRoot, CSyncTime* pScanTime, int side, bool bFullScan, bool bCheckLock,
                     int& errKind, CWideString& errText);
    // Lists one folder (path "" is the side root, depth 0) and enters its
    // subfolders. A subfolder that cannot be read is marked (state 2 with the
    // reason) and the scan goes on; a stop, a connection error that could not
    // be reconnected and the depth limit end the scan with their kind.
    bool ScanFolder(const CWideString& path, CSyncTreeNode* pRoot, int side, bool bFullScan, bool bCheckLock,
                    bool bParentExcluded, int32_t nDepth, bool bDescendExcluded, int32_t* pCount,
                    bool* pStateRead, int& errKind, CWideString& errText);
    // ReadStateFile for a folder the scan meets; a file that must wait for
    // the end of the listing (see ReadStateFile), and every one after it,
    // is put in the side's waiting list: false with kind 0 and a text that
    // says so.
    bool ReadStateFileInScan(const CWideString& folderPath, int side, bool bCheckLock, int32_t* pCount,
                             int& errKind, CWideString& errText);
    // Reads the side's waiting state files after its listing; bRootRead is
    // set when the side root's was read. False only on a failure of a kind
    // other than 0.
    bool ReadWaitingStateFiles(int side, bool bCheckLock, int32_t* pCount, bool& bRootRead, int& errKind,
                               CWideString& errText);
    // Turns one listed entry into a node (pNode, also for an excluded entry):
    // reserved names, attribute options, filters, link options, leftover
    // temporary files and MD5 values. Folders to enter go onto the queue.
    // Fails only when a node cannot be made (kind 7) or on a stop.
    // pFolder, when given, is the node of the listed folder (FindPathNode):
    // a full scan then finds the entry's node from there.
    // pChildIndex, when given, indexes pFolder's children.
    bool AddListedItems(const CWideString& entryPath, const FsItemInfo& entry, int side, bool bFullScan,
                        bool bParentExcluded, CListT<CSyncTreeNode*>& queue, CSyncTreeNode* pRoot,
                        CSyncTreeNode*& pNode, int& errKind, CWideString& errText,
                        CSyncTreeNode* pFolder = nullptr, const CChildNameIndex* pChildIndex = nullptr);
    // The side's change analysis after its scan: the New-Old time shift,
    // then the change marking; nChanged counts the items marked changed.
    virtual void AnalyzeSideChanges(CSyncTreeNode* pRoot, CSyncTime* pScanTime, int side, uint32_t& nChanged);
    // Resets the side's current (bCurrent) or old records of the node and of
    // every descendant to fresh records.
    static void ClearSideInfoInSubtree(CSyncTreeNode* pNode, int side, bool bCurrent);
    // The read-only source of a one-way job (ReadOnlySource): nothing is
    // written or deleted there, not even leftover temporary files.
    bool IsReadOnlySide(int side) const;
    // The rate-limit words the worker progress sink reads (0 at construction).
    uint32_t GetFlaggedRateLimit() const { return m_nFlaggedRateLimit.load(); }
    uint32_t GetPlainRateLimit() const { return m_nPlainRateLimit.load(); }
    void SetFlaggedRateLimit(uint32_t n) { m_nFlaggedRateLimit.store(n); }
    void SetPlainRateLimit(uint32_t n) { m_nPlainRateLimit.store(n); }
    static bool IsPlainLocalFs(const TvFileSys* fs);
    // Helpers that list the folders of a local side ahead of a full scan.
    // Listing on several threads costs more processor time than listing on
    // one, and pays only while listings wait on the disk or the scans take
    // long: the scan lists by itself until its own listings have waited
    // m_nScanPrefetchAfterWaits times (and at least once per 256 entries), or
    // the run's scans have taken m_nScanPrefetchAfterMs, then the helpers list
    // ahead of it. With 0 waits they list from the start, alongside the
    // state-file read.
    std::shared_ptr<class CScanPrefetcher> m_pScanPrefetcher;
    int m_nScanPrefetchThreads = 3;                  // 0: the scan lists every folder itself
    size_t m_nScanPrefetchMaxEntries = (size_t)1 << 17; // entries listed ahead and not yet taken
    int m_nScanPrefetchAfterWaits = 32;
    int64_t m_nScanPrefetchAfterMs = 1000;
    bool m_bScanMayPrefetch = false;                     // the running scan starts them once its listings wait
    int64_t m_nScanOwnWaits = 0, m_nScanOwnEntries = 0; // of the running scan's own listings
    int64_t m_nScanStartTick = 0, m_nScanMsBefore = 0;  // the running scan's start; the run's scans before it
    int m_nScanPrefetchStarts = 0;                       // scans that started the helpers
    // The stored attribute bits of a local side's entries taken from their
    // records: a side root's state file says in its header until when its
    // records' attribute words are the items' own (StoredBitsVerifiedTime),
    // so a full scan need not read the bits of an entry whose inode has not
    // changed since then (syncjob-scan.cpp).
    static int s_nStoredBitsMargin;             // seconds kept clear of that time (tests move it)
    int64_t m_anFsScanStart[2] = {0, 0};        // the side's file-system clock as its full scan began; 0 none
    uint32_t m_anStoredBitsBefore[2] = {0, 0};  // entries changed before this take their record's bits; 0 none
    bool m_abStoredBitsWhole[2] = {false, false}; // no other state file than the root's was read in the scan
    uint64_t m_anStoredBitsRead[2] = {0, 0}; // entries the scan read that its own time would cover (0: too few)
    bool m_abSettleStoredBits[2] = {false, false}; // the side's state file is saved even with nothing to do
    // Whether saving the state files now would let later scans take from
    // the records the bits that this run's scans read (after an Analyze;
    // sets m_abSettleStoredBits: a Sync that finds nothing to do then still
    // saves those sides' files).
    bool SettlesStoredBits();
    // The cutoff that a header time v of a side's file gives (0: none),
    // with the file's modification time and the file system's clock.
    static uint32_t StoredBitsCutoff(uint32_t nVerified, uint32_t nFileTime, int64_t nNow);
    // The header time v of the side root's own state file (before it is read).
    uint32_t PeekStoredBitsTime(int side);
    // The header time v that the side root's state file is saved with.
    uint32_t StoredBitsVerifiedTime(int side);
    // Completes an entry listed without its stored bits; the entry's node
    // as the look-up of a plain name in the folder finds it goes to
    // m_pScanChild (with m_bScanChildLooked) for AddListedItems.
    void CompleteStoredBits(TvFileSys* fs, const CWideString& entryPath, FsItemInfo& entry, int side,
                            CSyncTreeNode* pFolder, const CChildNameIndex& index);
    CSyncTreeNode* m_pScanChild = nullptr;
    bool m_bScanChildLooked = false;
    // Folders deeper than this below the side root are not listed.
    static constexpr int32_t kMaxScanDepth = 30;
    // The filtering of the side's state records, one node at a time, left
    // by the scan to the side-change walk (DetectNewOldTimeShift), which
    // runs it on each node before its own work and then empties it.
    std::function<void(CSyncTreeNode*)> m_fnStateFilterStep;
    // Counters of the current side scan (zeroed by AnalyzeSide).
    uint32_t m_nScanFoldersListed = 0;   // folders that became ordinary items
    uint32_t m_nScanFilesListed = 0;     // files that became ordinary items (followed links too)
    uint32_t m_nScanFoldersExcluded = 0; // folders excluded while listing
    uint32_t m_nScanFilesExcluded = 0;   // files excluded while listing (skipped links too)
    std::vector<CWideString> m_aSkippedFolderLinks; // paths of the folder links this Analyze's scans skipped
    int32_t m_nScanFoldersDone = 0;      // folders entered (progress numerator)
    int32_t m_nScanExpectedFolders = 0;  // folders expected from the state file (0: unknown)
    int64_t m_nScanProgressTick = 0;     // clock of the last scan progress report
    uint8_t m_bScanDepthExceeded = 0;    // the depth limit ended the current scan
    // While set (from the start of an Analyze to its filter step) the scans
    // mark the items the filters kept when judged on the item's path in the
    // tree (SPF_FILTER_JUDGED), so that the filter step need not judge them
    // again, nor the scan of the other side when its record is of the same
    // kind. Still set at the next Analyze: marks of a run that ended early
    // are cleared first.
    uint8_t m_bFilterJudging = 0;
    // The folder being listed when its side path is its path in the tree
    // (its entries can then be judged on their path in the tree); else null.
    const CSyncTreeNode* m_pScanPlainFolder = nullptr;
    // The filter step and the scans judge every item again, as if no scan
    // had judged any.
    uint8_t m_bFilterEveryItem = 0;
    std::atomic<uint32_t> m_nFlaggedRateLimit{0};
    std::atomic<uint32_t> m_nPlainRateLimit{0};

    // ---------------------------------------------------------------- tree pass runners
    // (syncjob-passes.cpp)
    // Runs the pass on the node (with bWithRoot), then on every node below it
    // in pre-order (children in child-map order). The first false ends the
    // walk with false; a null node gives false.
    bool DoForSubtree(CSyncTreeNode* pNode, CDoSmthWithPair& pass, bool bWithRoot);
    // The walks of the decision passes. While the decision has noted the
    // folders to enter (m_pActiveFolders), they leave out what lies below a
    // quiet folder with nothing but quiet items below it (IsQuietItem: no
    // pass changes such an item); otherwise they are DoForSubtree without the
    // node and DoForSubtreeChildrenFirst.
    bool DoForEntered(CSyncTreeNode* pNode, CDoSmthWithPair& pass);
    bool DoForEnteredChildrenFirst(CSyncTreeNode* pNode, CDoSmthWithPair& pass);
    // Notes the node (when it has children) and the folders above it as folders to enter.
    void NoteFolderToEnter(const CSyncTreeNode* pNode);
    // The folders the decision passes enter; null: every folder.
    std::unique_ptr<std::unordered_set<const CSyncTreeNode*>> m_pActiveFolders;
    // The decision passes walk the whole tree, as if every item could change.
    uint8_t m_bPassesOverWholeTree = 0;
    // Files the Left-Right time-shift analysis examines (the decision counts them).
    int32_t m_nLeftRightExamined = 0;
    // Items the last decision visited.
    uint32_t m_nItemsDecided = 0;

    // What may have changed since the tree's last Analyze, as an on-change
    // run names it before its Analyze: the paths read again (each with its
    // subtree) and the nodes reset with work left or marked changed (each
    // alone). The Analyze that follows takes it; its filter step, decision
    // and statistics then visit only those and the folders above them where
    // that ends as a walk of the whole tree would (else, and without it,
    // they walk the whole tree).
    struct CChangedSubtrees {
        std::vector<CWideString> paths;
        std::unordered_set<const CSyncTreeNode*> nodes;
        bool bWhole = false; // anything may have changed
        void NoteNode(const CSyncTreeNode* pNode) { nodes.insert(pNode); }
        void NotePath(const CWideString& path) {
            if (path.IsEmpty())
                bWhole = true;
            else
                paths.push_back(path);
        }
    };
    std::unique_ptr<CChangedSubtrees> m_pChanged;
    // The subtrees this Analyze visits (roots, with their subtrees) and the
    // nodes it visits alone (above: the folders above the roots, and noted
    // nodes with the folders above them); null: the whole tree.
    struct CVisitedSubtrees {
        std::unordered_set<const CSyncTreeNode*> roots, above;
        bool IsRoot(const CSyncTreeNode* p) const { return roots.count(p) != 0; }
        bool IsAbove(const CSyncTreeNode* p) const { return above.count(p) != 0; }
    };
    std::unique_ptr<CVisitedSubtrees> m_pVisited;
    // The folders the last Analyze's passes entered, and the settings it ran
    // with: a restricted Analyze enters them again, so that it enters every
    // folder a walk of the whole tree would.
    std::unique_ptr<std::unordered_set<const CSyncTreeNode*>> m_pEnteredBefore;
    CWideString m_sAnalyzedSettings;
    // The statistics passes keep the counts below each folder (an on-change
    // job sets it), so that a restricted Analyze counts only what it visited.
    uint8_t m_bKeepSubtreeCounts = 0;
    CSubtreeCounts m_SubtreeCounts;
    // Where a statistics pass keeps its counts (null, and none kept, without the switch).
    CSubtreeCounts* KeptSubtreeCounts() {
        if (!m_bKeepSubtreeCounts) m_SubtreeCounts.clear();
        return m_bKeepSubtreeCounts ? &m_SubtreeCounts : nullptr;
    }
    // Takes m_pChanged and answers the subtrees to visit, or null when the
    // whole tree is to be walked.
    std::unique_ptr<CVisitedSubtrees> TakeVisitedSubtrees(CSyncTreeNode* pRoot, const CWideString& settings);
    // Runs fn on each node of the visited subtrees below pNode and on the
    // folders above them, in the pre-order of the whole tree.
    void ForVisitedSubtrees(CSyncTreeNode* pNode, const std::function<void(CSyncTreeNode*)>& fn);
    // ExcludeEmptyFolders over the visited subtrees (pNode: the root or a folder above them).
    void ExcludeEmptyFoldersVisited(CSyncTreeNode* pNode, bool bIsRoot);
    // Excludes the folder when none of its nCounted children is left (the tail of ExcludeEmptyFolders).
    void ExcludeIfEmpty(CSyncTreeNode* pNode, int nCounted, bool bExcludeEmpty, bool bIsRoot);

    // ---------------------------------------------------------------- Sync and execution
    // (syncjob-sync.cpp, syncjob-exec.cpp, syncjob-copy.cpp; the scheduler's
    // free functions are in syncjob-exec.h)
    // Items below pNode (pNode too) whose system or user action writes;
    // clears the node's holds-data-folder bytes where nothing is written.
    int CountPendingItems(CSyncTreeNode* pNode);
    // The nodes whose subtree holds an item with an action or an execution
    // mark, as the Sync's count found them; set while its execution runs
    // (null otherwise): the passes that act on no other item leave the
    // other subtrees out.
    const std::unordered_set<const CSyncTreeNode*>* m_pBusySubtrees = nullptr;
    // No folder outside the busy subtrees holds a data folder (no rescan
    // looked for new ones since the count cleared them).
    bool m_bDataFoldersInBusyOnly = false;
    bool IsBusySubtree(const CSyncTreeNode* pNode) const {
        return !m_pBusySubtrees || m_pBusySubtrees->count(pNode) != 0;
    }
    // New files of a local side are copied under temporary names and take
    // their final names only once their data is on disk (PlaceCopiedFiles,
    // when the execution's items are done), so that a power loss never
    // leaves a name over a partial file. Set while ExecuteAll runs items.
    std::atomic<bool> m_bPlaceCopiesLater{false};
    struct CPendingPlacement {
        int m_nSide = 0;
        CWideString m_sTemp, m_sFinal;
    };
    // A copy of this Sync dropped a set-user-ID or set-group-ID bit (logged once per Sync).
    std::atomic<bool> m_bSetIdDropped{false};
    void AddPendingPlacement(const CSyncTreeNode* pNode, const CPendingPlacement& p);
    // The temporary path of the node's copy that waits for its name (empty: none).
    CWideString PendingPlacementOf(const CSyncTreeNode* pNode);
    // Flushes the waiting copies, gives each its name (their folders keep
    // their times) and flushes the names. A copy that cannot take its name
    // is its item's error and is not recorded on that side.
    void PlaceCopiedFiles();
    std::mutex m_PlacementMutex;
    std::unordered_map<const CSyncTreeNode*, CPendingPlacement> m_PendingPlacements;
    // A replaced or deleted version of side's file is kept (a conflict loser always).
    bool ShouldSaveReplacedVersion(int side, bool bConflictLoser) const;
    // The auto-sync threshold test of an unattended run; false: refused.
    // pStats: the 25 category counters of the tree.
    bool CheckAutoSyncLimits(const CItemCount* pStats, int& errKind, CWideString& errText);

    // ---------------------------------------------------------------- analysis
    // (syncjob-analyze.cpp, syncjob-decide.cpp, syncjob-timeshift.cpp,
    // syncjob-directions.cpp, syncjob-moves.cpp, syncjob-count.cpp)
    // Runs the pass on every child subtree (children in child-map order),
    // then on the node itself; the first false ends the walk with false.
    bool DoForSubtreeChildrenFirst(CSyncTreeNode* pNode, CDoSmthWithPair& pass);
    // Runs the pass on the parent, its parent, ... up to the root; stops at
    // the first false. Returns the number of true results.
    uint32_t DoForParents(CSyncTreeNode* pNode, CDoSmthWithPair& pass);
    // Decides the system action of every item below the root.
    void DecideActions(CSyncTreeNode* pRoot);
    // Whether the item's two files hold the same bytes: 1 the same, 0 they
    // differ, -1 no cheap way to tell (or a file could not be read). Reads
    // between two local sides (up to the first difference), else compares
    // the MD5 values the scans took or both sides compute.
    // Two local files read whole and found the same give the item the digest
    // of their bytes (on both current records).
    int CompareSideContents(const CSyncTreeNode* pNode);
    // The same for the file of pA on sideA and that of pB on sideB (the same
    // side may be named twice); bMd5: else only local sides are compared.
    // pDigest: the digest of the bytes of two local files found the same.
    int CompareFileContents(const CSyncTreeNode* pA, int sideA, const CSyncTreeNode* pB, int sideB, bool bMd5,
                            uint64_t* pDigest = nullptr);
    // Where the side is local: reads the item's file on the side whole and
    // tells whether its bytes are those of the old record's digest (1), other
    // bytes (0), or cannot tell (-1: no digest, not local, not read). Bytes
    // found the recorded ones mark the current record as of the digest.
    int SideMatchesDigest(CSyncTreeNode* pNode, int side);
    // Where a side's times are exact (bExact per side), or both sides can be
    // read: settles by content the files whose times moved since the last
    // sync, or differ between two exact sides, inside the tolerance, and
    // whether two files of one size and time, one of them changed, are the
    // same now.
    void SettleMovedTimes(const CSyncTreeNode* pNode, CSyncPairAndAction& item, const bool bExact[2],
                          bool& bSameNow);
    // Two present files of one length hold the same bytes (read whole).
    bool NewFilesHoldOneContent(const CSyncTreeNode* pNode);
    // The passes after the decision, in their fixed order.
    void RunDecisionPasses();
    // The filter step after both scans: the filters over both sides' records
    // for every item not excluded that the scans did not judge alike (all of
    // them when a rule needs both sides), then the parents of included items
    // included again. Clears the scans' judgement marks.
    void FilterOverBothSides(CSyncTreeNode* pRoot);
    // Starts the scans' judging (clearing the marks an earlier run left).
    void BeginFilterJudging(CSyncTreeNode* pRoot);
    // After both scans: a folder link skipped on one side whose name the
    // other side holds cannot be synced; it stays in the run as an error
    // (not excluded), and nothing below it is copied.
    void KeepSkippedLinksFacingItemsAsErrors(CSyncTreeNode* pRoot);
    // Excludes folders without included content (excludeEmpty; never the root).
    void ExcludeEmptyFolders(CSyncTreeNode* pNode, bool bExcludeEmpty, bool bIsRoot);
    // Lists what is still unlisted below folders that are to be deleted, so
    // that their excluded content is deleted with them.
    bool ScanDeleteFolders(CSyncTreeNode* pNode, bool bDisconnectAfter);
    // Renames, moves, folder moves and case changes.
    void DetectMovesAndRenames(CSyncTreeNode* pRoot);
    void LinkMovePair(CSyncTreeNode* pRoot, const CWideString& fromPath, const CWideString& toPath);
    // Direction 1 or 2 with 1wayMode 0 or 2.
    bool IsOneWayForced() const;
    // The New-Old time shift of one side (first stage of AnalyzeSideChanges).
    // With pChanged it also marks the side's changes (as MarkSideChanges),
    // each item in the same walk unless its marking needs the table, which
    // is marked once the table is final.
    bool DetectNewOldTimeShift(CSyncTreeNode* pRoot, int side, CTimeShiftTable& table,
                               uint32_t* pChanged = nullptr);
    // The change marking of one side over the whole tree, after its New-Old
    // time shift (AnalyzeSideChanges marks along with the time-shift count).
    bool MarkSideChanges(CSyncTreeNode* pRoot, int side, const CTimeShiftTable& table, uint32_t& nChanged);
    // The change marking of one item (counted in nChanged when changed).
    // A state file of the job was found on either side root.
    bool SyncedBefore() const;
    // A file record of an older state file, without a stamp: takes the
    // file's stamp where the file shows that it was not written since that
    // file was saved, else it is made racy (syncjob-decide.cpp).
    void TakeStamplessRecord(CSyncTreeNode* pNode, int side);
    void MarkSideChange(CSyncTreeNode* pNode, int side, const CTimeShiftTable& table, bool bExpects,
                        uint32_t& nChanged);
    // The one-line description of the job's settings and its filter switches.
    CWideString FormatOptionsLine() const;
    CWideString FormatFilterFlags() const;
    CWideString FormatSideText(int side) const;
    // The volume text of a side ("" when not connected).
    CWideString GetDiskDisplayName(int side) const;
    // Both sides tell their free space and lie on one volume.
    bool SidesShareOneDisk() const;
    // One line per item with an action.
    void DumpActions(bool bForWrite, CWideString& text);
    // The user's resolution of the conflicts of a subtree: mode 2 right
    // wins, 1 left wins, 0 newer wins.
    bool ResolveConflictByUser(CSyncTreeNode* pNode, int mode);
    // The same choice as a whole edit (syncjob-edits.cpp): the folders above
    // an item that now gets copied stay or are made, and the statistics
    // follow. Returns how many conflicts of the subtree were resolved.
    int UserResolveConflicts(CSyncTreeNode* pNode, int mode);
    // Per-side disk-space record of the last Analyze.
    struct CDiskSpaceInfo {
        uint64_t m_nRequired = 0; // peak additional bytes the sync needs
        int64_t m_nRunning = 0;   // running balance of the estimate
        uint64_t m_nTotal = 0;    // volume size
        uint64_t m_nFree = 0;     // bytes free to the caller
    };
    CDiskSpaceInfo m_aDiskSpace[2];
    CSyncTime m_aScanTime[2];         // scan time of each side in this Analyze
    int64_t m_anScanStartMs[2] = {0, 0}; // clock time (ms since 1970) at which each side's listing began
    // Each side's own clock as its listing began (a file the run creates in
    // the side's data folder tells it, else the clock its file system stamps
    // with) and the step of the file times the side keeps (IsRacyTime).
    CSideClock m_aSideClock[2];
    void ProbeSideClock(int side);
    // The racy mark (kStampRacy or 0) that the record of a local file of the
    // side listed in this run's scan gets.
    uint32_t RacyMark(int side, uint32_t nSeconds, uint32_t nNanoseconds) const;
    // The change mark a listed file of the side shows, against the one its
    // old record keeps (syncjob-marks.cpp): kept apart where they differ,
    // the record's own where the file has none yet; where the file system
    // keeps no birth time, an identity whose inode the marks do not prove
    // unchanged gets kIdentInodeChanged.
    void NoteChangeMark(CSyncPairAndAction& item, int side, const FsItemInfo& entry);
    // Records whose contents settled them in this Analyze, per side: their
    // state is saved even by a Sync with nothing else to do.
    bool m_abSettledRecords[2] = {false, false};
    int64_t m_anFsScanStartMs[2] = {0, 0}; // the same on the side's own clock (FileSystemNowMs; 0: unknown)
    // When a local side's root state file was saved (nanoseconds since 1970;
    // 0: none or not known), as its scan began: a record of an older version,
    // which keeps no change mark, proves its file's inode unchanged on a file
    // system without birth times where it changed no later (NoteChangeMark).
    int64_t m_anIdentRecordedNs[2] = {0, 0};
    int64_t StateFileSavedNs(int side);
    // The side's file system keeps no birth times (set by the listing of a
    // file whose identity has none; cleared as a full scan begins).
    bool m_abIdentNoBirth[2] = {false, false};
    // A local target that did not keep the time set on a copy is said once
    // per side and run (NoteTimeNotKept; copies run on several threads).
    std::atomic<bool> m_abTimeNotKeptSaid[2] = {false, false};
    void NoteTimeNotKept(int side, const CWideString& path, uint32_t nSet, uint32_t nKept);
    CCategoryStats m_Stats;           // category counters of the last statistics pass
    uint8_t m_bBothMoveFolders = 0;   // both sides answered capability 32 when last connected
    uint8_t m_bNotEnoughSpace = 0;    // the last Analyze found too little free space

    // ---------------------------------------------------------------- members
    // Side file systems, index 0 left, 1 right; null while not connected.
    std::unique_ptr<TvFileSys> m_apFs[2];

    // Effective filters: rebuilt at every Analyze.
    CJobFilters m_Filters;
    // m_Filters read once for matching; made with them.
    CFilterMatcher m_FilterMatcher;

    // The sync tree.
    CSyncPairsAndActions m_Tree;

    // Run counters, zeroed by Sync and filled by item execution (also on
    // worker threads): SyncOk, ChangesOk, SyncErr, Conflicts and the state
    // updates of the left and of the right side.
    std::atomic<int32_t> m_nSyncOk{0};
    std::atomic<int32_t> m_nChangesOk{0};
    std::atomic<int32_t> m_nSyncErr{0};
    // Of SyncErr, the errors of no item (a state file that was not saved).
    std::atomic<int32_t> m_nRunErrors{0};
    std::atomic<int32_t> m_nConflicts{0};
    std::atomic<int32_t> m_anStateUpdates[2]{0, 0};
    // Items of this Sync that did not fit on each side's full disk (the
    // first is said, the others counted with the errors).
    std::atomic<int32_t> m_anDiskFull[2]{0, 0};
    // Items of this run that failed for a cause that may pass (a full disk,
    // a busy file, a lost connection): a watch tries them again. The first
    // one's reason under m_cs.
    std::atomic<int32_t> m_nPassingItemErrors{0};
    CWideString m_sPassingItemError;
    int32_t m_nViewWord = 1;
    uint8_t m_bSyncStatByte = 0;
    // Items the execution has to process (files plus folders), set when Sync
    // counts its work; read by the progress display.
    std::atomic<uint32_t> m_nItemsToProcess{0};

    // Workers of the current execution and their bookkeeping.
    std::unique_ptr<CSyncWorkerThread[]> m_pWorkers;
    int m_nWorkerArraySize = 0;
    CCritSection m_cs;                         // guards the worker bookkeeping
    // The nodes the last Sync executed with an action, and the other ends of
    // its moves, in no particular order (guarded by m_cs).
    std::vector<CSyncTreeNode*> m_ExecutedNodes;
    std::atomic<uint8_t> m_bWorkersRunning{0}; // set while worker threads exist
    int32_t m_nWorkerCount = 0;                // worker threads of this execution

    // Progress sink; never null.
    CbJobProgress* m_pProgress;
    CbDummyJobProgress m_FsNoProgress; // see GetFsProgress

    // Job options (the first field is the job's name).
    CSyncJobOptions m_Options;

    // Slow-down levels (0..3) of uploads and downloads, set by the host.
    std::atomic<int32_t> m_nUpSlowDownLevel{0};
    std::atomic<int32_t> m_nDownSlowDownLevel{0};

    // -- run driver and side connection
    uint8_t m_anSideCaps[2] = {0, 0};       // each side's answer to capability 28
    CWideString m_asSideStatus[2];          // side status texts (ShowSideStatus)
    CZorLog m_aJobLog[2];                   // per-side job logs, in the sides' mirror folders
    int64_t m_anRequiredBytes[2] = {0, 0};  // bytes the sync will need on each side
    uint8_t m_abNothingToWrite[2] = {0, 0}; // per side, as the last Sync computed it
    int64_t m_nChunkLimit = 0;              // transfer chunk limit set by ShowSideStatus
    uint8_t m_bAnalyze = 0;                 // this run analyses (set by the job list)
    uint8_t m_bSync = 0;                    // this run syncs (set by the job list; cleared by the run)
    CWideString m_sRunLogName;              // this run's log file name
    uint8_t m_bFoldersLocked = 0;           // set by Sync while the data folders are locked
    uint8_t m_bConnected = 0;               // both sides connected in this run
    uint8_t m_bReconnecting = 0;            // ConnectSide runs for a reconnect: never create the root
    uint8_t m_bConnectedByte = 0;           // set together with m_bConnected
    // JobRunKind, set by whoever starts the run; read also by the job's
    // progress sink on the threads that report (file monitors between runs).
    std::atomic<int32_t> m_nRunKind{RK_USER};
    CWideString m_sStarter;                 // who started an automatic run
    uint8_t m_bAllowEmptySide = 0;          // the user says an empty side root is meant (set per run)
    // The file systems mounted strictly below a local side's root, sorted
    // by folder, those in folders the job leaves out left out; false where
    // not known (another kind of side, no mount table).
    bool ListMountsBelow(int side, std::vector<CMountBelow>& mounts) const;
    // The folders where two such lists differ, for the user: "/a, /b".
    static CWideString MountChangesText(const std::vector<CMountBelow>& was, const std::vector<CMountBelow>& now);
    uint8_t m_abNotAvailable[2] = {0, 0};   // per side: this run took it as not available (nothing written)
    // Per side: this run refused a folder there that another user can
    // change under it (a data folder not the runner's own, a root reached
    // through another user's link); nothing was read from it or done to it.
    uint8_t m_abUntrusted[2] = {0, 0};
    // The first side from `from` on whose root holds none of the items the
    // last sync left there (an unmounted drive's empty mount point, or one
    // with a stray item in it), or -1: text names the folder and the count,
    // asItStands what the analysed actions do when it is synced as it stands.
    int FindSideNotAvailable(int from, CWideString& text, CWideString& asItStands);
    uint8_t m_bRanBefore = 1;               // the job ran before (0: the job list knows it never did)
    uint8_t m_bTreeHasSizes = 0;            // the required-space estimate ran
    // Run-state block. The activity word and its sub-state are written only
    // by the job list (JobActivity); the run state and sub-state by SetRunState.
    std::atomic<int32_t> m_nActivity{JA_NOT_ANALYZED};
    std::atomic<int32_t> m_nRunState{0};
    std::atomic<int32_t> m_nConnectInProgress{0}; // connects under way
    std::atomic<int32_t> m_nActivitySub{0};
    std::atomic<int32_t> m_nRunSubState{0};
    uint8_t m_bRunStarted = 0;  // set when Analyze or Sync starts; cleared by the job list
    // Set when a Sync, its folders locked, starts carrying out its actions
    // (the job has synced its pair then); cleared when a Sync begins.
    uint8_t m_bSyncCarriedOut = 0;
    // The last Sync could not make or lock its data folders for a reason of
    // its own (a full disk, not another owner's lock): worth another try.
    uint8_t m_bDataFoldersNotTaken = 0;
    uint8_t m_bHasChanges = 0;  // set by Analyze; cleared by the tree reset
    uint8_t m_bChangesByte = 0; // the byte before m_bHasChanges that the activity tests read

private:
    // The steps of Sync, in their order (syncjob-sync.cpp). Those that can
    // refuse return false with the error kind and text set.
    // Start time, first progress report, fresh kept-folder maps and lock texts.
    void BeginSync();
    // Connects the sides unless this run did; sets the link-following mode.
    bool ConnectForSync(int& errKind, CWideString& errText);
    // The pending count (busy: the subtrees with something to do) and the
    // per-side nothing-to-write flags.
    void CountWork(std::unordered_set<const CSyncTreeNode*>& busy);
    // A side FindSideNotAvailable finds is not available: false with the
    // folder and the count in errText and the side's m_abNotAvailable set,
    // unless m_bAllowEmptySide. An Analyze that no Sync follows (bSyncing
    // false) says a sync would refuse.
    bool CheckSidesAvailable(bool bSyncing, int& errKind, CWideString& errText);
    // How many items the last sync of the two folders left in the side's
    // folder, as kept in the side's mirror folder: false when nothing was kept.
    bool ReadLastSyncCount(int side, uint64_t& n);
    // Its path; with another name, the path of another file kept per pair of
    // folders (the name followed by the pair's hash).
    bool LastSyncCountPath(int side, CWideString& path, const char16_t* pszName = kLastSyncCountName);
    // Keeps how many items each side holds as the last sync left them: after
    // a Sync, or, where none is kept yet, after an Analyze that found nothing
    // to do (bOnlyWhereMissing).
    void WriteLastSyncCounts(bool bOnlyWhereMissing);
    // The file systems mounted below a local side's root are those its last
    // sync left (true also where none were kept or they cannot be told);
    // else the folders that became one or stopped being one, in changed.
    bool MountsAsLastSynced(int side, CWideString& changed);
    bool MountsKeptPath(int side, CWideString& path);  // the folders alone, as older versions keep them
    bool MountsKnownPath(int side, CWideString& path); // with what each mount is
    // The same list in the side's data folder, for whichever profile syncs the pair.
    bool SideMountsKeptPath(int side, CWideString& path);
    bool SideKeepsMounts(int side, bool bWrite);
    // A kept list (bInSide: the side's): 1 read, 0 none, -1 damaged (said).
    int ReadMountsKept(int side, bool bInSide, std::vector<CMountBelow>& kept, std::string& text);
    bool WriteSideMountsKept(int side, const std::string& text, CWideString& err);
    // Those in folders the job leaves out hold nothing of it.
    void DropMountsLeftOut(std::vector<CMountBelow>& mounts) const;
    // The mounts as the side's scan began; a change by the end of the run is
    // not kept as the layout the sync saw.
    void NoteMountsAtScan(int side);
    std::vector<CMountBelow> m_aMountsAtScan[2];
    uint8_t m_abMountsAtScan[2] = {0, 0};
    // Keeps them after a Sync, or, where none are kept yet, after an Analyze
    // that found nothing to do (bOnlyWhereMissing).
    void KeepMountsBelow(bool bOnlyWhereMissing);
    // The data folders a user's run writes to (an unattended run made them
    // as it prepared); the lock pass learns which were made.
    bool MakeDataFolders(CDoLockEmbeddedStates& lockPass, int& errKind, CWideString& errText);
    // The start line and the options line.
    void LogSyncStart();
    // Locks the data folders to be written and checks their state files.
    bool LockDataFolders(CDoLockEmbeddedStates& lockPass, const std::unordered_set<const CSyncTreeNode*>& busy,
                         int& errKind, CWideString& errText);
    // With the folders locked: deletes what killed runs left behind, the
    // temporary files in the held folders' data folders that no writer can
    // still be at, and the local lock texts of processes that are gone.
    void RemoveLeftoverTempFiles();
    // A one-way job between local sides makes the destination like the
    // source: a file there that has its source's content, that the last Sync
    // did not record as it stands (a copy of a run that ended before it
    // saved its records: an older version's, killed before the copy had its
    // mode), and that has not the mode a copy gives, gets it (syncjob-modes.cpp).
    // CopiesToLookAt, before the execution updates the records: the source
    // and destination paths of such files; RepairCopyModes after it.
    std::vector<std::pair<CWideString, CWideString>> CopiesToLookAt();
    void RepairCopyModes(const std::vector<std::pair<CWideString, CWideString>>& look);
    // A Sync that Analyze found no work for: the same, taking the lock (and
    // leaving it as a clean Sync does) only of a folder that has leftovers.
    void RemoveLeftoversWithoutWork();
    // The bytes to move for the progress display; the run counters zeroed.
    void PrepareProgressAndCounters(const std::unordered_set<const CSyncTreeNode*>& busy);
    // Executes every item (ExecuteAll); false: failed or stopped.
    bool Execute(const std::unordered_set<const CSyncTreeNode*>& busy, bool bRescanned, int& errKind,
                 CWideString& errText);
    // The category statistics after execution and the result line.
    void CollectResults(CWideString& summary);
    // The run state and the outcome lines; false when execution did not end.
    bool ReportOutcome(bool bExecuted, int errKind);
    // The periodic clean-up of history files and old logs, on each side where due.
    void CleanupDataFolders();
    // The closing line with the time taken and speed, and the last progress reports.
    void ReportCompletion();
};

// ---------------------------------------------------------------- run driver, side connection, run utilities
// True for the error kinds that stop a whole execution: 10 (stopped by the
// user), 1, 2 (authorisation), 9 (out of memory), 11 (cloud cache), 8 (quota).
bool IsFatalErrorKind(int kind);

// The local mirror state folder of a side URL: the mirror root of
// g_EngineOptions + "/" + "_tvdata_mirrors_" ("Mirrors" with bShortName)
// and, unless bWholeFolder, + "/" + the URL flattened to one name. Fails
// (kind 5) while the mirror root is not defined. Creates nothing.
bool MakeMirrorFolderPath(bool bWholeFolder, const CWideString& url, bool bShortName, CWideString& out,
                          int& errKind, CWideString& errText);

// Whether the folders of two connect infos overlap (the same folder, or one
// inside the other), compared after resolving each folder's real path. On
// true canonA/canonB hold the resolved folders. When a folder cannot be
// resolved the answer is "cannot tell": false with bCannotTell set and the
// reason in errText; callers refuse to run then. pJob (may be null) lends
// its connected file systems.
bool HasCommonFolder(const TvConnectInfo& a, const TvConnectInfo& b, CWideString& canonA, CWideString& canonB,
                     CSyncJob* pJob, bool& bCannotTell, CWideString& errText);
// The same for the job list's busy-jobs check: "cannot tell" counts as
// overlapping there, so that such a job never runs beside another.
bool HasCommonFolder(const TvConnectInfo& a, const TvConnectInfo& b, CWideString& canonA, CWideString& canonB,
                     CSyncJob* pJob);
// Forgets the resolved folders (tests, and after folders were moved).
void ClearResolvedFolderCache();

// Sets up a new job: type 0..2 is its direction, a name is required, and
// each non-empty folder is set.
bool InitNewJob(const CWideString& name, int type, const CWideString& leftFolder,
                const CWideString& rightFolder, CSyncJob* pJob, CWideString& errText);

// The narrow text begins with the prefix.
bool NarrowStartsWith(const CNarrowString& text, const char* prefix);
// A completion line formatted with the mark '\x0001' for its speed, the
// speed left out: ", Speed: <mark>" and a following " files/s" go.
CWideString TextWithoutSpeed(const CWideString& text);
// The file system's DeleteFile, ignoring any failure.
void DeleteFileQuietly(TvFileSys* pFs, const CWideString& path);

// A record of one file's name and state: equal when size and modification
// time are equal (the name does not count).
struct CFileStamp {
    CWideString m_sName;
    int64_t m_nSize = 0;
    uint32_t m_nModTime = 0;

    CFileStamp() = default;
    explicit CFileStamp(const FsItemInfo& info)
        : m_sName(info.m_sName), m_nSize(info.m_nSize), m_nModTime(info.m_nModTime) {}
    bool operator==(const CFileStamp& o) const { return m_nSize == o.m_nSize && m_nModTime == o.m_nModTime; }
    bool operator!=(const CFileStamp& o) const { return !(*this == o); }
    // "size=%lld mod-time=%s" (the time as "%Y-%m-%d %H:%M:%S").
    CWideString Describe() const;
};

// ---------------------------------------------------------------- tree pass runners
// Excludes ("excluded by folder above") an item whose parent is excluded or
// could not be read (state 2). Run in pre-order, so it reaches every node below.
class CDoPropagateExclusionsDown : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};

// Counts the folders known from the saved state: items whose left or right
// old record is a folder and exists.
class CCountFolders : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    uint32_t m_nCount = 0;
};

// ---------------------------------------------------------------- history and clean-up, user edits
// (syncjob-cleanup.cpp, syncjob-edits.cpp)
// Whether the side's clean-up is due: the stamp "/_tvdata_/_cleanup" + suffix
// is missing or older than nDays (0 or less: 2 hours). A due stamp is
// rewritten at once. False only when the stamp could not be examined or written.
bool CheckCleanupStamp(TvFileSys* pFs, int nDays, bool& bDue, CWideString& errText);
// Deletes the kept versions below folder whose name stamp is older than
// nDays, and old folders left empty. False when a folder cannot be listed.
bool CleanupHistoryFolder(const CWideString& folder, CSyncJob* pJob, TvFileSys* pFs, int nDays,
                          CListT<CWideString>& deleted, CWideString& errText);
// Deletes run logs older than nDays (0 or less: none, every log is kept)
// and temporary files older than 2 days from the data folder, and old logs
// from the side's mirror folders. False when the data folder cannot be listed.
bool CleanupOldLogs(TvFileSys* pFs, int nDays, CListT<CWideString>& deleted, CWideString& errText);
// Days between two clean-ups of a side: a third of the shortest age limit
// of kept versions and logs; a log retention of 0 or less (keep every log)
// has no part in it.
int CleanupIntervalDays(const CSyncJobOptions& options, int nLogRetainDays);
// mktime of a broken-down local time.
int64_t MakeTimeFromTm(struct tm* pTm);
// The current local time as "%Y%m%d-%H%M%S".
CWideString NowStampText();

// A user's choice for one item (an action code, or 0x10 do not copy, 0x20
// towards the left, 0x40 towards the right). 1 when applied or when nothing
// needed changing, 0 when refused; nResolved gets the concrete action.
int32_t ChangeUserAction(CSyncPairAndAction& item, CSyncJob* pJob, uint8_t nReq, uint8_t& nResolved,
                         const CWideString& path);

// Run up the ancestors of an edited item: keeps the folders above it from
// being deleted, or creates them on the target side.
class CDoNotDeleteUpperFolders : public CDoSmthWithPair {
public:
    explicit CDoNotDeleteUpperFolders(uint8_t nAction) : m_nAction(nAction) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    uint8_t m_nAction;
    uint8_t m_bChanged = 0;
};

// Gives every item of the subtree that the category shows the same choice.
class CChangeActionInVisible : public CDoSmthWithPair {
public:
    CChangeActionInVisible(uint8_t nAction, int32_t nCategory) : m_nAction(nAction), m_nCategory(nCategory) {}
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
    uint8_t m_nAction;
    int32_t m_nCategory;
};
