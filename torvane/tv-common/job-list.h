// The job list: the settings object CTorvaneSettings with the program options
// and the jobs, the jobs of the list (CSyncJobFromList), the job events and
// the operations that create, delete and change jobs.
//
// Threads. The host changes the list (new, remove, load) on its own thread
// while job workers walk it (their may-run check, their save). The list is
// guarded by a reader-writer lock: walkers hold it shared, changes hold it
// exclusively. Jobs live on the heap and keep their address while listed; a
// job whose worker runs (IsRunning) cannot be removed, deleted or replaced by
// a reload ("Job '%s' is running"). Saves are serialised by one save lock
// (job-stores.cpp). Events are sent outside the list lock, on the thread that
// caused them.
#pragma once

#include "file-monitor.h"
#include "program-options.h"
#include "syncjob-analysis.h"
#include "syncjob.h"
#include "zor-coll.h"
#include "zor-signal.h"
#include "zor-string.h"
#include "zor-thread.h"
#include "zor-time.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

class CSyncJobFromList;
class CTorvaneSettings;

// Listener of one job's events.
class ISyncJobListener {
public:
    virtual ~ISyncJobListener() = default;
    // The run state, run sub-state or requested action changed.
    virtual void OnJobStateChanged(CSyncJobFromList* pJob) = 0;
    // The job's worker thread ended a run.
    virtual void OnJobFinished(CSyncJobFromList* pJob) = 0;
    virtual void OnJobText(CSyncJobFromList* pJob, int nNumber, const CWideString& text) = 0;
    virtual void OnJobFlag(CSyncJobFromList* pJob, int nFlag) = 0;
    virtual void OnJobRenamed(const CWideString& oldName, const CWideString& newName) = 0;
    virtual void OnJobMarkChanged(CSyncJobFromList* pJob) = 0;
};

// Observer of the settings object (a user interface or service of the host).
// Every event carries the job's name. The two operations that this library
// never calls keep their places in the interface.
class ISettingsObserver {
public:
    virtual ~ISettingsObserver() = default;
    virtual void OnSettingsJobAdded(CSyncJobFromList*, const CWideString&) {}
    virtual void OnSettingsJobStateChanged(CSyncJobFromList*, const CWideString&) {}
    virtual void OnSettingsReserved1() {}
    virtual void OnSettingsJobText(CSyncJobFromList*, int, const CWideString&, const CWideString&) {}
    virtual void OnSettingsJobFlag(CSyncJobFromList*, int, const CWideString&) {}
    virtual void OnSettingsJobRenamed(const CWideString&, const CWideString&) {}
    virtual void OnSettingsJobMarkChanged(CSyncJobFromList*, const CWideString&) {}
    virtual void OnSettingsJobDeleted(const CWideString&) {}
    virtual void OnSettingsReserved2() {}
    virtual void OnCurrentJobChanged(CSyncJobFromList*, const CWideString&) {}
};

// A job of the list: a monitored job (file-monitor.h: monitors, per-side
// change lists, the job lock) with a run request, an announced run state, a
// mark and its listeners.
class CSyncJobFromList : public CMonitoredJob {
public:
    CSyncJobFromList();
    // Copies only the CSyncJob part (the options): the copy starts with no
    // listener, no request, empty change lists and every flag clear.
    explicit CSyncJobFromList(const CSyncJobFromList& other);
    CSyncJobFromList& operator=(const CSyncJobFromList&) = delete;
    ~CSyncJobFromList() override;

    const CWideString& GetName() const { return m_Options.m_sName; }
    CSyncJobOptions& GetOptions() { return m_Options; }
    const CSyncJobOptions& GetOptions() const { return m_Options; }

    // Writes the job's options as the "Job" block of the keyword text.
    bool WriteOptions(ZorOutStream& out, bool bFullDump, int nLevel, CWideString& sErr) const {
        return WriteJobOptions(m_Options, out, bFullDump, nLevel, sErr);
    }

    // -- CSyncJob
    // Sets the monitor-ended flag, stops the monitors, then disconnects.
    void Disconnect() override;
    // Renames and emits OnJobRenamed (old, new). A name that IsValidJobName
    // refuses, or that another job of the same list has (ignoring case), is
    // an assertion report and changes nothing. Takes the list lock: not to be
    // called from inside a walk of the list.
    void SetName(const CWideString& name) override;
    // Sets the sink and hands it to the file systems of the side monitors.
    bool SetProgressSink(CbJobProgress* pSink);
    // After an unknown change: every other job of the list with On File
    // Change that shares a folder with this one has its monitors turned off
    // ("Starting Job " and this job's name); its tick starts them again and
    // its next run analyses fully. Walks the list: not to be called from
    // inside a walk.
    void TurnOffMonitorsOfJobsSharingFolders() override;

    // -- announced state
    // Stores the live run state pair (the activity word and its sub-state);
    // emits OnJobStateChanged when either changed.
    void SetLiveRunState(int nState, int nSub);
    int GetLiveRunState() const { return m_nActivity.load(); }
    int GetLiveRunSubState() const { return m_nActivitySub.load(); }
    // Stores the requested action; emits OnJobStateChanged when it changed.
    void SetRequestedAction(int32_t nAction);
    int32_t GetRequestedAction() const { return m_nRequestedAction.load(); }
    // Sets the request (action, reason, flag), marks the job requested since
    // load and logs "----- Job '%1': Scheduled to run by %2". Starts nothing.
    void RequestRun(int32_t nAction, const CWideString& reason, int32_t nFlag);
    CWideString GetRequestReason() const;
    int32_t GetRequestFlag() const { return m_nRequestFlag.load(); }
    // A change emits OnJobMarkChanged; the same value emits nothing.
    void SetMark(bool bMark);
    bool GetMark() const { return m_bMark.load(); }
    // The worker runs this job (set by the worker for the duration of a run).
    bool IsRunning() const { return m_bRunning.load(); }
    void SetRunning(bool b) { m_bRunning.store(b); }
    // Sets the running flag unless it is set; true when this call set it.
    bool TrySetRunning() {
        bool bExpected = false;
        return m_bRunning.compare_exchange_strong(bExpected, true);
    }
    // Resets the repeat suppression of the job's progress sink.
    void ResetMessageRepeat();

    // -- listeners
    bool AddListener(ISyncJobListener* p) { return m_Signal.Connect(p); }
    bool RemoveListener(ISyncJobListener* p) { return m_Signal.Disconnect(p); }
    ZorSignal<ISyncJobListener>& GetSignal() { return m_Signal; }
    void EmitFinished() { m_Signal.Emit(&ISyncJobListener::OnJobFinished, this); }

    // -- result of the last run (worker thread; read by the host)
    std::atomic<bool> m_bRunResult{false};
    std::atomic<int32_t> m_nRunErrorKind{0};
    CWideString m_sRunErrorText; // guarded by m_JobLock

    // -- run bookkeeping of the job list
    std::atomic<int64_t> m_nLastRunTime{0}; // seconds since 1970; 0 unknown
    // The last run whose Sync carried out its actions, seconds since 1970;
    // 0 never, -1 not known (not read yet, or not kept by the version that
    // last ran the job).
    std::atomic<int64_t> m_nLastSyncTime{-1};
    std::atomic<bool> m_bWriteLastRunTime{false};
    std::atomic<bool> m_bSaveRequested{false};
    std::atomic<bool> m_bAnalysisReady{false};
    std::atomic<bool> m_bPrepared{false};
    std::atomic<bool> m_bRequestedSinceLoad{false};
    // Two jobs sharing a folder may start together: a run counts as busy for
    // the other jobs only once it has passed its common-folder check
    // (CanRunNow), so exactly one of them goes on. Set after the running flag
    // (BeginRun), cleared by the check's yes.
    std::atomic<bool> m_bMayRunPending{false};
    // The last common-folder check said no: the auto-run asks again once no
    // job sharing a folder runs.
    std::atomic<bool> m_bRefusedForCommonFolder{false};

    // The settings object whose list holds the job (null while unlisted).
    std::atomic<CTorvaneSettings*> m_pOwner{nullptr};

private:
    ZorSignal<ISyncJobListener> m_Signal;
    std::atomic<int32_t> m_nRequestedAction{0};
    std::atomic<int32_t> m_nRequestFlag{0};
    mutable CCritSection m_csRequest; // guards m_sRequestReason
    CWideString m_sRequestReason;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bMark{false};
};

// The requested action is not zero.
inline bool IsRunRequested(const CSyncJobFromList* pJob) {
    return pJob && pJob->GetRequestedAction() != 0;
}

// A job name that can name a registry key, a log file and a scheduled task:
// not empty, no '/', '\' or control character, not "." or "..". False with
// the reason in sErr.
bool IsValidJobName(const CWideString& name, CWideString& sErr);

class CTorvaneSettings : public ISyncJobListener {
public:
    CTorvaneSettings();
    ~CTorvaneSettings() override;
    CTorvaneSettings(const CTorvaneSettings&) = delete;
    CTorvaneSettings& operator=(const CTorvaneSettings&) = delete;

    // -- the list (the list lock is taken inside)
    // Appends a copy of the job (asserting on an empty name), sends
    // OnSettingsJobAdded with the caller's job, and listens to the copy.
    // Returns the stored copy.
    CSyncJobFromList* AddJob(const CSyncJobFromList& job);
    // Removes the job (name compared ignoring case): the current job moves
    // to the next job (else the previous, else none), OnSettingsJobDeleted is
    // sent, the mark is cleared and the job is destroyed. False with an
    // assertion when there is no such job; false with "Job '%s' is running"
    // in sErr while its worker runs.
    bool RemoveJob(const CWideString& name);
    bool RemoveJob(const CWideString& name, CWideString& sErr);
    // Empties the list; false (nothing removed) while any job runs.
    bool RemoveAllJobs(CWideString& sErr);
    // Appends a job without connecting the settings to it (loading). The
    // settings object owns the job afterwards.
    void AppendLoadedJob(CSyncJobFromList* pJob);

    // First job whose name equals the name ignoring case, or null. The
    // pointer stays valid while the job is listed.
    CSyncJobFromList* FindJob(const CWideString& name) const;
    int GetJobCount() const;
    // Calls f(job) for every job in list order under the shared lock; f must
    // not change the list. A false result of f ends the walk.
    template <typename F> void ForEachJob(F&& f) const {
        std::shared_lock<std::shared_mutex> lock(m_ListLock);
        for (ZorPosition pos = m_Jobs.GetHeadPosition(); pos;)
            if (!f(m_Jobs.GetNext(pos))) break;
    }
    // The jobs in list order (a snapshot of the pointers).
    std::vector<CSyncJobFromList*> GetJobs() const;
    // The list lock, for walkers that hold it across several calls.
    std::shared_mutex& GetListLock() const { return m_ListLock; }

    // A worker's start of a run: sets the job's running flag while the job is
    // listed and not running (under the shared lock, so a removal cannot
    // pass between the check and the flag). False: do not run. pbListed, when
    // given, tells whether the job was in the list; pName then gets its name
    // (read under the lock: a job that is not listed may be gone).
    bool BeginRun(CSyncJobFromList* pJob, bool* pbListed = nullptr, CWideString* pName = nullptr);
    // Clears the running flag.
    void EndRun(CSyncJobFromList* pJob);
    // The job is in the list (caller holds the list lock).
    bool IsListed(const CSyncJobFromList* pJob) const;

    // -- current job
    bool SetCurrentJob(const CWideString& name);
    CWideString GetCurrentJob() const;

    // -- marks and counts
    void MarkJob(const CWideString& name);
    void UnmarkJob(const CWideString& name);
    int CountMarkedJobs() const;
    // Jobs analysing or syncing (live state 3 or 5) or with a pending request.
    int CountBusyJobs() const;
    bool AnyMarkedJobRunning() const;
    bool AnyMarkedJobIdle() const;

    // -- observers
    bool AddObserver(ISettingsObserver* p) { return m_Observers.Connect(p); }
    bool RemoveObserver(ISettingsObserver* p) { return m_Observers.Disconnect(p); }
    // Connects the settings object as listener of the job.
    void ConnectToJob(CSyncJobFromList* pJob) { pJob->AddListener(this); }

    // Re-applies the job's and the global filters to an analysed job's tree;
    // true when at least one item became excluded.
    bool ReapplyFilters(CSyncJobFromList* pJob);

    // -- stores (job-stores.cpp)
    // Replaces the list by the stored one (refused while a job runs). A
    // damaged file is renamed aside and the jobs read before the fault stay.
    // Jobs whose names repeat an earlier one's (ignoring case) or cannot be
    // stored are renamed "NAME (2)"; the notices are put into sErr, also
    // when the result is true.
    bool LoadJobs(CWideString& sErr);
    // Saves the list to the registry or the jobs file; false when anything
    // failed. The jobs file then holds the list before; in the registry the
    // jobs written before the failure have their new text and no job's text
    // was deleted.
    bool TvSaveJobs(bool bFullDump, const CWideString& sReason, CWideString& sErr);

    // -- ISyncJobListener: relayed to the observers with the job's name
    void OnJobStateChanged(CSyncJobFromList* pJob) override;
    void OnJobFinished(CSyncJobFromList* pJob) override;
    void OnJobText(CSyncJobFromList* pJob, int nNumber, const CWideString& text) override;
    void OnJobFlag(CSyncJobFromList* pJob, int nFlag) override;
    void OnJobRenamed(const CWideString& oldName, const CWideString& newName) override;
    void OnJobMarkChanged(CSyncJobFromList* pJob) override;

    CWideString m_sJobsFile;         // empty: the default name in the profile folder
    ProgramOptions m_ProgramOptions; // its first field is the options file path

    // Serialises the saves of the job list and of the options.
    std::mutex m_SaveLock;

private:
    friend bool ReadJobListTic(CTorvaneSettings&, ZorInStream&, CWideString&);
    friend bool ReadJobListTix(CTorvaneSettings&, ZorInStream&, CWideString&);
    friend ZorPosition FindJobPosition(const CTorvaneSettings&, const CWideString&);
    friend class CSyncJobFromList;
    // The reading half of LoadJobs: the stored jobs into another settings object.
    bool LoadJobsInto(CTorvaneSettings& loaded, CWideString& sErr);
    // Unlinks the job without destroying it (the caller takes it over).
    void DetachJob(CSyncJobFromList* pJob);
    // Position of the first job with the name (lock held).
    ZorPosition FindJobPositionLocked(const CWideString& name) const;
    // Destroys every job (lock held exclusively).
    void DeleteAllJobsLocked();

    mutable std::shared_mutex m_ListLock;
    CListT<CSyncJobFromList*> m_Jobs{10};
    mutable CCritSection m_csCurrent;
    CWideString m_sCurrentJob;
    ZorSignal<ISettingsObserver> m_Observers;
};

// The one settings object of the process.
extern CTorvaneSettings g_Settings;

// Position of the first job with the name (ignoring case), or null.
ZorPosition FindJobPosition(const CTorvaneSettings& settings, const CWideString& name);
inline CSyncJobFromList* FindJob(const CTorvaneSettings& settings, const CWideString& name) {
    return settings.FindJob(name);
}

// "Torvane - " and the job's name; with bDotsToUnderscores every '.' becomes '_'.
CWideString MakeTaskName(const CSyncJobFromList* pJob, bool bDotsToUnderscores);
CWideString MakeTaskName(const CWideString& jobName, bool bDotsToUnderscores);

// Creates a job (type 0 two-way, 1 left to right, 2 right to left),
// optionally from the template "<profile>/Templates/<name>.tvt", adds it and
// saves the list ("New Job created"). The result is that of the creation.
bool NewJob(CTorvaneSettings& settings, const CWideString& name, int nType, const CWideString& templateName,
            const CWideString& leftFolder, const CWideString& rightFolder, bool bCompanionData,
            CWideString& sErr);
inline bool NewJob(const CWideString& name, int nType, const CWideString& templateName,
                   const CWideString& leftFolder, const CWideString& rightFolder, bool bCompanionData,
                   CWideString& sErr) {
    return NewJob(g_Settings, name, nType, templateName, leftFolder, rightFolder, bCompanionData, sErr);
}
// A password written in a side's folder URL goes into the side's encrypted
// password field and out of the URL, so that no URL that is stored, shown
// or logged carries it; also one written as it is with a '/', '?' or '#'
// in it, as an older version stored it ("s3://KEY:ab/cd@host/b"). bMoved
// tells whether a password was moved; false with sErr when it could not be
// encrypted (the URL is left as it is).
bool MoveUrlPasswords(CSyncJobOptions& options, bool& bMoved, CWideString& sErr);
// Removes the job, its scheduled task (a failure there is logged) and its
// registry key, and saves the list ("Job Deleted"); the result is the save's.
// The job's folders are never touched.
bool DeleteJob(CTorvaneSettings& settings, CSyncJobFromList* pJob, CWideString& sErr);
inline bool DeleteJob(CSyncJobFromList* pJob, CWideString& sErr) {
    return DeleteJob(g_Settings, pJob, sErr);
}

// The registry key of the job list and of one job.
extern const char16_t* const kTorvaneRegKey; // "Software\Zorvek Systems\Torvane"
extern const char16_t* const kJobsRegKey;    // "Software\Zorvek Systems\Torvane\Jobs"
CWideString JobRegKey(const CWideString& jobName);
