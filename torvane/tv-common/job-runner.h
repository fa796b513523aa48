// The job runner: the worker thread procedure of a job of the list, the
// engine's may-run callback that keeps jobs sharing a folder from colliding,
// and the set-up of the engine-wide options.
#pragma once

#include "job-list.h"
#include "zor-power.h"

#include <cstdint>

// The worker thread procedure: refuses a job that is already running or is
// not in the job list (g_Settings; claimed with BeginRun), keeps
// the machine awake, runs the full or the incremental run (RunWithState),
// then the companion refresh, the last-run time, a save the run asked for,
// and the finished event. 0, or 0xFFFFFFFF for a null job.
uint32_t JobWorkerThreadProc(CSyncJobFromList* pJob);

// One run with the live state set for its duration: the activity word is 3
// (a run that analyses) or 5 (Sync only) and the run-started flag is clear
// when the run begins; afterwards the run's result state becomes the live
// state. bChangesOnly runs the incremental on-change run.
bool RunWithState(CSyncJobFromList* pJob, bool bChangesOnly, const CSyncJob::GlobalFilters* pGlobal,
                  int& errKind, CWideString& errText);

// Fills the engine-wide options from the program options (profile folder as
// the mirror root), hands their proxy to the HTTP layer and installs
// CanRunNow.
bool InitEngineOptions(CWideString& errText);
bool InitEngineOptions(const ProgramOptions& opt, CWideString& errText);

// The engine's may-run callback.
bool CanRunNow(CSyncJob* pJob, bool bAsSync, CWideString& message);

// With B null or A itself: whether A's own folders overlap. Otherwise whether
// any folder of A overlaps any folder of B.
bool FindBusyJobWithCommonFolder(CSyncJobFromList* pA, CSyncJobFromList* pB);

// Drops a job's analysis results (unless it runs and bForced is clear): the
// sink discards what it shows, the tree is emptied, the job is not analysed.
bool DropAnalysisResults(CSyncJobFromList* pJob, const CWideString& reason, bool bForced);

// Asks the companion product to re-read its data folder when the run
// changed it (or bForced).
void RefreshCompanionData(CSyncJobFromList* pJob, bool bForced);

// The global filters of the program options in the form a run takes.
CSyncJob::GlobalFilters MakeGlobalFilters(const ProgramOptions& opt);

// Keeps the machine from sleeping while held: a logind sleep inhibitor
// ("Torvane", why) when a system bus and a login manager answer; otherwise
// nothing, and never a failure (one line in the program log per process).
class CKeepAwake {
public:
    explicit CKeepAwake(const CWideString& why);
    ~CKeepAwake();
    CKeepAwake(const CKeepAwake&) = delete;
    CKeepAwake& operator=(const CKeepAwake&) = delete;
    bool IsHeld() const { return m_inhibitor.IsHeld(); }

private:
    ZorSleepInhibitor m_inhibitor;
};
