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
#include "sync-filters.h"
#include "sync-item.h"
#include "sync-options.h"
#include "sync-progress.h"
#include "sync-tree.h"
#include "zor-string.h"
#include "zor-thread.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CSyncJob;

// One transfer worker of an execution: the job it works for and the progress
// sink it hands to its file systems. The execution scheduler adds the
// worker's thread, its connections and its events.
class CSyncWorkerThread {
public:
    CSyncWorkerThread() = default;
    CSyncWorkerThread(const CSyncWorkerThread&) = delete;
    CSyncWorkerThread& operator=(const CSyncWorkerThread&) = delete;

    CSyncJob* m_pJob = nullptr;  // null when idle
    CbWorkerProgress m_Progress; // job sink: the job's sink while the worker runs
};

class CSyncJob {
public:
    CSyncJob();
    // Copies only the other job's options record.
    explicit CSyncJob(const CSyncJob& other);
    CSyncJob& operator=(const CSyncJob&) = delete;
    virtual ~CSyncJob();

    // Closes and deletes the side file systems that exist.
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

    // -- what a run says
    // A log line (level 0 header/summary, 1 error, 2 notice, 3 detail; kind:
    // the call site's message-kind number that groups repeats). The text ends
    // with "\n".
    void Log(int level, int kind, const CWideString& text);
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

    // ---------------------------------------------------------------- data folder and previous versions
    // (syncjob-datafolder.cpp)

    // ---------------------------------------------------------------- folder locks
    // (syncjob-locks.cpp)

    // ---------------------------------------------------------------- members
    // Side file systems, index 0 left, 1 right; null while not connected.
    std::unique_ptr<TvFileSys> m_apFs[2];

    // Effective filters: rebuilt at every Analyze.
    CJobFilters m_Filters;

    // The sync tree.
    CSyncPairsAndActions m_Tree;

    // Run counters, zeroed by Sync and filled by item execution (also on
    // worker threads): SyncOk, ChangesOk, SyncErr, Conflicts and the state
    // updates of the left and of the right side.
    std::atomic<int32_t> m_nSyncOk{0};
    std::atomic<int32_t> m_nChangesOk{0};
    std::atomic<int32_t> m_nSyncErr{0};
    std::atomic<int32_t> m_nConflicts{0};
    std::atomic<int32_t> m_anStateUpdates[2]{0, 0};
    int32_t m_nViewWord = 1;
    uint8_t m_bSyncStatByte = 0;
    // Items the execution has to process (files plus folders), set when Sync
    // counts its work; read by the progress display.
    std::atomic<uint32_t> m_nItemsToProcess{0};

    // Workers of the current execution and their bookkeeping.
    std::unique_ptr<CSyncWorkerThread[]> m_pWorkers;
    int m_nWorkerArraySize = 0;
    CCritSection m_cs;                         // guards the worker bookkeeping
    std::atomic<uint8_t> m_bWorkersRunning{0}; // set while worker threads exist
    int32_t m_nWorkerCount = 0;                // worker threads of this execution

    // Progress sink; never null.
    CbJobProgress* m_pProgress;

    // Job options (the first field is the job's name).
    CSyncJobOptions m_Options;

    // Slow-down levels (0..3) of uploads and downloads, set by the host.
    std::atomic<int32_t> m_nUpSlowDownLevel{0};
    std::atomic<int32_t> m_nDownSlowDownLevel{0};
};
