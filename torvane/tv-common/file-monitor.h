// Change monitoring of a job's two sides.
//
// Each side of a job with an On File Change or On Folder Connect trigger has
// a CFileSysMonitor: a thread of its own with its own connection to the
// side's file system. For On File Change the thread starts the file system's
// change monitoring and waits for changes; the auto-run tick takes them
// (GetNewChanges), filters them and queues them per side for the incremental
// run. For On Folder Connect the thread checks once a minute that the side's
// folder is reachable and reports when it disappears and comes back.
//
// CMonitoredJob is the part of a job of the list that monitoring and the
// incremental run work on: the two monitors, the per-side change lists, the
// job lock and the flags shared between the monitor threads, the tick and the
// worker. The job list's job class derives from it.
//
// Locks: the job lock guards both change lists and is held while a side is
// switched on or off. Each monitor's file-system pointer is shared under the
// monitor's own small lock, so that a thread that ends never destroys a file
// system that the tick is still draining. The monitor thread never takes the
// job lock, so waiting for it under the job lock cannot deadlock.
#pragma once

#include "TvFileSys.h"
#include "syncjob.h"
#include "zor-coll.h"
#include "zor-string.h"
#include "zor-thread.h"
#include "zor-time.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CMonitoredJob;

class CFileSysMonitor : public ZorThreadImpl<CFileSysMonitor> {
public:
    CFileSysMonitor() = default;
    ~CFileSysMonitor() override;
    CFileSysMonitor(const CFileSysMonitor&) = delete;
    CFileSysMonitor& operator=(const CFileSysMonitor&) = delete;

    // The thread body (MonitorThreadEntry): runs FileMonitor.
    void ThreadBody();
    uint32_t Run();
    // Stops the thread and waits for it.
    void StopThread() { Stop(); }

    // The thread's own file system, shared so that a caller may keep using
    // it after the thread let it go (null: no thread watches).
    std::shared_ptr<TvFileSys> GetFs() const;
    bool HasFs() const { return GetFs() != nullptr; }
    // The display form of the watched root, as the thread found it when it
    // connected (the file system itself is the thread's while it reconnects);
    // the URL before that.
    CWideString GetRootDisplay() const;

    // Reconnect policy of folder watching (seconds).
    static constexpr int kReconnectInterval = 180;
    static constexpr int kHintInterval = 10;
    static constexpr int kHintAttempts = 6;
    static constexpr int kFolderCheckRounds = 60;
    // A local folder costs nothing to look at: one that went away (a drive
    // unmounted) is looked for this often (seconds).
    static constexpr int kLocalReconnectInterval = 2;
    // A reachable folder whose changes cannot be watched is tried again this often.
    static constexpr int kUnwatchableRetrySeconds = 60;

    TvConnectInfo m_ConnectInfo; // the side's settings with the URL prepared
    CMonitoredJob* m_pJob = nullptr;
    int32_t m_nSide = -1;
    std::atomic<bool> m_bRefused{false};    // this side is not monitored
    std::atomic<bool> m_bConnecting{false}; // a start is under way
    std::atomic<bool> m_bStarted{false};    // monitoring or folder watching is active
    std::atomic<bool> m_bRetryNow{false};   // set by the host: cut a reconnect wait short
    std::atomic<bool> m_bRestart{false};    // ends the current wait (set after an intake error)
    std::atomic<bool> m_bPresent{true};     // the folder was reachable when last checked
    std::atomic<bool> m_bRefusalTold{false}; // the user was told why the side is not monitored
    CZorTime m_tLastAttempt;
    std::atomic<int32_t> m_nReconnectInterval{kReconnectInterval};
    std::atomic<int32_t> m_nAttemptsLeft{1};
    // The last error of the thread (kept for tests and the host).
    int m_nLastErrKind = 0;
    CWideString m_sLastError;

private:
    friend class CMonitoredJob;
    void FileMonitor(int& errKind, CWideString& errText);
    // The loop of folder watching after a connect; false when the folder
    // check failed (errText says why), true on a stop request.
    bool WatchFolder(TvFileSys* pFs, bool& bStopRequested, int& errKind, CWideString& errText);
    // Waits out the reconnect interval; false when asked to stop.
    bool WaitBeforeReconnect();
    // Waits to try a folder that cannot be watched again; false when asked to stop.
    bool WaitUnwatchable();
    void SetFs(std::shared_ptr<TvFileSys> pFs);
    void Stamped(const CWideString& text);

    void SetRootDisplay(const CWideString& text);
    // The user's notice (on the terminal at the default verbosity): the
    // side named, then the text.
    void Tell(const CWideString& text);

    // The interval that failed attempts return to: short for a local side.
    int32_t m_nBaseInterval = kReconnectInterval;
    // The last failure to start monitoring that the user was told of (the
    // host starts the thread again and again; it is told once). Only the
    // monitor's thread touches it.
    CWideString m_sToldFailure;
    bool m_bAwayTold = false; // the user was told that the folder went away (the thread's)

    mutable CCritSection m_csFs;
    std::shared_ptr<TvFileSys> m_pFs;
    CWideString m_sRootDisplay; // guarded by m_csFs
};

// The monitoring part of a job of the list.
class CMonitoredJob : public CSyncJob {
public:
    CMonitoredJob();
    // Copies only the CSyncJob part: fresh monitors, empty lists, flags clear.
    explicit CMonitoredJob(const CMonitoredJob& other);
    ~CMonitoredJob() override;

    // -- switching monitors on and off
    // False when the job has neither an On File Change nor an On Folder
    // Connect trigger; else starts each side that has no thread and answers
    // whether either side started (or already ran).
    bool TurnOnFileMonitors(CWideString& errText);
    bool TurnOnFileMonitor(int side, CWideString& errText);
    void TurnOffFileMonitors(const CWideString& reason);
    void TurnOffFileMonitor(int side, const CWideString& reason);
    // Stops and joins both monitor threads.
    void StopMonitors();
    bool HasMonitorTrigger() const;

    // -- change intake
    // Takes each side's new changes; true when a side's list got new ones.
    bool GetNewChanges();
    bool TakeSideChanges(int side, int& nCount, int& errKind, CWideString& errText);
    void FilterNewChanges(int side, CListT<ChangedItem>& changes);
    void ClearSideChanges(int side);
    // A copy of a side's queued changes (tests, display).
    CListT<ChangedItem> GetSideChanges(int side);
    int CountSideChanges(int side);

    // -- the incremental on-change run (incremental-run.cpp)
    // One run that keeps the tree of the previous analyse and re-lists only
    // the changed paths (a full analyse while one is pending). The caller
    // holds the activity word at 3 for the run's duration (RunWithState).
    bool ChangeAnalyzeSyncWorker(const GlobalFilters* pGlobal, int& errKind, CWideString& errText);
    // Under the job lock: sets the first-full-analyse flag, then empties the
    // tree. The only way to empty the tree of a job of the list: a job whose
    // tree went analyses fully next time, so that its state files never hold
    // only the changed items.
    bool ResetTree() override;
    // Applies one side's queued changes to the tree.
    bool IncrementalAnalyzeItems(int side, TvFileSys* pFs, CSyncTreeNode* pRoot, int& errKind,
                                 CWideString& errText) override;
    // Empties the side's list when a full analyse is pending (else it must be empty).
    bool DropSideChanges(int side, int nArg1, int nArg2) override;
    // Enters one change into the tree: re-reads the path on the side.
    bool ApplyChangeToTree(const ChangedItem& change, int side, CSyncTreeNode* pRoot, int& errKind,
                           CWideString& errText);
    // The other names of a changed item's folder that the tree takes as its
    // own (they differ in case or normal form only) are entered with it, as
    // a full scan enters them: the item is refused as it is there.
    bool AddNameTwins(const CWideString& path, const FsItemInfo& info, int side, bool bParentExcluded,
                      CSyncTreeNode* pRoot, int& errKind, CWideString& errText);
    // After an unknown change: the job list turns off the monitors of other
    // jobs that watch a folder this job shares (a job outside a list has none).
    virtual void TurnOffMonitorsOfJobsSharingFolders() {}
    // Appends a re-analyse change of the path to each side that is watched.
    void QueueReAnalyzeChange(const CWideString& path);
    // The analysis of the last run found something to do (the job list's
    // analysis-ready flag; the engine's has-changes flag).
    bool IsAnalysisReady() const { return m_bHasChanges != 0; }
    // The number of conflicts (files and folders) of the last Analyze.
    int32_t GetConflictCount() const { return (int32_t)m_Stats.m_aCounts[CAT_CONFLICT].Total(); }

    // -- a run refused for another owner's lock (incremental-run.cpp)
    // After a run of a job with an On File Change trigger: remembers the
    // lock file that made it fail, or forgets the one of an earlier run.
    void NoteLockRefusal(bool bRunOk);
    // The lock that refused the last run is gone: its file no longer stands
    // on a local side; elsewhere kLockRetrySeconds went by since the refusal.
    bool RefusingLockGone();
    static constexpr int64_t kLockRetrySeconds = 60;

    // -- the job's own writes
    // What a side held of an item right after the job's last Sync wrote it:
    // a change of that path is the job's own while the item still looks so.
    struct OwnWrite {
        bool bPresent = false;
        bool bFolder = false;
        uint64_t nSize = 0;
        uint32_t nModTime = 0;
        uint32_t nStamp = 0; // identity and sub-second time (a file of a local side)
        // A folder above a written item: the Sync set its time again; only
        // a change of the folder's own data or metadata is the job's.
        bool bAbove = false;
    };
    // Replaces the records with the items the last Sync executed (both
    // sides: the source side as it was read, the destination as written).
    // bExecutedOnly: no item was synced before that Sync began (its Analyze
    // reset them all), so only the nodes it executed are looked at. Then
    // the changes pending up to now are told apart with them (TakeOwnWrites).
    void RecordOwnWrites(bool bExecutedOnly = false);
    // Every change the Sync made is pending once it has returned (a local
    // file system queues its event before the call that made it returns):
    // those that are the job's own writes are dropped, the others kept for
    // the intake, and the records go. Changes that come later are never the
    // job's own, whatever they look like (a file put back on the freed inode
    // with the size and time the job left). A side whose changes cannot be
    // taken keeps its records for the intake.
    void TakeOwnWrites();
    // Records one node's item when the Sync wrote it; false when the records
    // grew past their limit (they are then dropped).
    bool RecordOwnWrite(CSyncTreeNode* pNode);
    void ClearOwnWrites();
    // True when the change's path was written by the job's last Sync and the
    // side's file system still shows it with the stamp the job left.
    bool IsOwnWrite(int side, const ChangedItem& change, TvFileSys* pFs);
    // More records than this: the job keeps none (the changes then start a run).
    static constexpr size_t kMaxOwnWrites = 10000;

    // A notice that begins with the local date and time and ends with a line end.
    void StampedNotify(const CWideString& text);
    // The side's display form of the root path through the monitor's file system.
    CWideString MonitorRootDisplay(int side);

    CFileSysMonitor m_aMonitor[2];
    CListT<ChangedItem> m_aChanges[2]{CListT<ChangedItem>(10), CListT<ChangedItem>(10)};
    // Changes taken at the end of a Sync that were not its own writes; the
    // next intake filters and queues them first. Under the job lock.
    CListT<ChangedItem> m_aAfterOwnWrites[2]{CListT<ChangedItem>(10), CListT<ChangedItem>(10)};
    // The folders listed for AddNameTwins in one pass over a side's changes:
    // each name in its folded form with its entry.
    std::unordered_map<std::u16string, std::vector<std::pair<std::u16string, FsItemInfo>>> m_TwinListings;
    CCritSection m_JobLock; // the job lock

    std::atomic<bool> m_bMonitoringStarted{false};
    std::atomic<bool> m_bFolderConnected{false};
    std::atomic<bool> m_bChangesOnlyRun{false};
    std::atomic<bool> m_bFirstFullAnalyzePending{false};
    std::atomic<bool> m_bMonitorEnded{false}; // also the stop request of the monitor threads
    std::atomic<bool> m_bConnectHint{false};
    std::atomic<bool> m_bMonitorsFollowOtherJobs{false};
    std::atomic<bool> m_bUnknownChangeSeen{false};
    std::atomic<bool> m_bBrowseDialogOpen{false};
    std::atomic<int64_t> m_nChangeSeenTime{0}; // CZorTime seconds; 0 none
    // Which folder each side's root was when the kept tree was read from it
    // (device and inode of a local side; unknown elsewhere): a root that is
    // another folder now is analysed afresh.
    struct RootIdentity {
        bool bKnown = false;
        uint64_t nDevice = 0, nInode = 0;
        bool operator==(const RootIdentity&) const = default;
    };
    RootIdentity m_aTreeRoot[2];
    // The file systems mounted below each local side's root when the job
    // was last analysed in full (each known by what it is). A folder that
    // became another file system since, or stopped being one, holds the
    // on-change runs: nothing is written into it and nothing that went with
    // it is deleted on the other side until it is as it was.
    struct MountsBelow {
        bool bKnown = false;
        std::vector<CMountBelow> mounts;
    };
    MountsBelow m_aTreeMounts[2];
    // The last run was held for such a folder (it looks again now and then);
    // the text the user was told of it, said once while it holds.
    bool m_bHeldForMounts = false; // the worker's
    CWideString m_sHeldTold;       // the worker's
    // A state file of the job's sides that another Sync wrote (or that went)
    // since this job read or wrote it: its display path; empty when none.
    CWideString StateFileChangedByOthers();

    // -- a run that failed on a passing cause (incremental-run.cpp)
    // After a run of a job with an On File Change trigger: a failed run that
    // was neither stopped nor refused is tried again after a delay that
    // doubles with each failure in a row (said to the user); a run that
    // went well ends the series.
    void NoteRunOutcome(bool bRunOk, int errKind, const CWideString& errText);
    // The delay of a failed run has passed (the retry is taken).
    bool RetryDue();
    static constexpr int32_t kFirstRetrySeconds = 5;
    static constexpr int32_t kMaxRetrySeconds = 600;
    std::atomic<int64_t> m_nRetryAt{0};                // CZorTime seconds; 0 none
    int32_t m_nRetryDelay = 0;                         // under the job lock
    std::atomic<bool> m_bRefusedForForeignLock{false}; // see NoteLockRefusal
    CWideString m_sRefusingLock;      // the lock file; under the job lock
    bool m_bRefusingLockLocal = false; // a local path; under the job lock
    int64_t m_nRefusedAt = 0;         // CZorTime seconds; under the job lock
    // The job's own writes of its last Sync per side, by path; under the job lock.
    std::unordered_map<std::u16string, OwnWrite> m_aOwnWrites[2];
};

// Prepares the tree of the previous run for a changes-only analyse: items
// with nothing to do are reset, the others are queued for re-analysis.
class CDoInitChangesOnly : public CDoSmthWithPair {
public:
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) override;
};
// The kinds of tree node that CDoInitChangesOnly tells apart.
enum EChangesOnlyNodeType : int {
    CONT_FILE = 1,        // an ordinary file (or link)
    CONT_ERROR = 2,       // an item whose analysis or sync failed
    CONT_FOLDER = 4,      // a folder that was listed
    CONT_UNREADABLE = 5,  // a folder that could not be listed
};
int GetChangesOnlyNodeType(const CSyncTreeNode* pNode);
// Resets an item to "nothing to do, analysed OK".
void ResetNodeForChangesOnly(CSyncPairAndAction& item, bool bKeepExclusion);

// The monitor thread's file-name rules: a component "_tvdata_" or one ending
// in "._tvtmp" (any case) is the engine's own and never starts a run.
bool IsEngineOwnChangePath(const CWideString& path);
