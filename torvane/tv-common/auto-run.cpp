// The auto-run tick.
#include "auto-run.h"

#include "engine-globals.h"
#include "job-runner.h"
#include "job-stores.h"
#include "zor-time.h"

#include <mutex>
#include <set>
#include <string>

std::atomic<bool> g_bAutoRunBlocked1{false};
std::atomic<bool> g_bAutoRunBlocked2{false};

const char16_t* const kReasonFileChange1stFull = u"On File Change 1st Full Analyze";
const char16_t* const kReasonFileChangeIncr = u"On File Change Incremental";
const char16_t* const kReasonFileChangeDelay = u"On File Change, After Delay";
const char16_t* const kReasonFolderConnect = u"On Folder Connect";
const char16_t* const kReasonProgramStart = u"Torvane Start";
const char16_t* const kReasonPeriodicTimer = u"Periodic Timer";

namespace {

void Notice(CSyncJobFromList* pJob, const CWideString& text) {
    pJob->Notify(2, text.EndsWith(u"\n") ? text : text + u"\n");
}

// Jobs already told that their timer is off (told once per job and load).
std::mutex g_TimerOffLock;
std::set<std::u16string> g_TimerOffTold;

// Whole seconds since the program's start time (0 at load: every start
// delay has passed at once).
int64_t SecondsSinceStart() {
    return CZorTime::Now().GetTime() - g_EngineOptions.m_nJobListValue;
}

// Another job sharing a folder with the job is running.
bool SharingJobRuns(CSyncJobFromList* job, const std::vector<CSyncJobFromList*>& jobs) {
    for (CSyncJobFromList* other : jobs)
        if (other != job && other->IsRunning() && FindBusyJobWithCommonFolder(job, other)) return true;
    return false;
}

} // namespace

void AutoRunTick(CTorvaneSettings& settings, bool& bAnyRequested) {
    bAnyRequested = false;
    if (g_bAutoRunBlocked1.load() || g_bAutoRunBlocked2.load()) return;
    const std::vector<CSyncJobFromList*> jobs = settings.GetJobs();
    for (CSyncJobFromList* job : jobs) {
        bool bRequested = false, bStartPending = false;
        if (job->IsRunning() || job->m_nRunKind != RK_USER || IsRunRequested(job)) continue;
        CSyncJobOptions& opt = job->m_Options;
        if (job->m_bBrowseDialogOpen.load() && (opt.m_nOnFileChangeAction || opt.m_nOnFolderConnectAction ||
                                                opt.m_nOnStartAction || opt.m_nOnTimerAction)) {
            job->Notify(2, u"Auto-Run blocked by Browse dialog");
            continue;
        }
        if (opt.m_nOnFileChangeAction && opt.m_nOnStartAction) {
            Notice(job, u"Reset On Torvane Start option when On File Change is on\n");
            opt.m_nOnStartAction = 0;
        }
        if (opt.m_nOnFileChangeAction && opt.m_nOnFolderConnectAction) {
            Notice(job, u"Reset On Folder Connect option when On File Change is on\n");
            opt.m_nOnFolderConnectAction = 0;
        }

        // On File Change.
        if (opt.m_nOnFileChangeAction) {
            if (job->m_bMonitorEnded.load()) {
                job->StopMonitors();
                job->m_bMonitorEnded = false;
            } else {
                bool bSettled = true;
                for (int side = 0; side < 2; ++side)
                    if (!job->m_aMonitor[side].m_bStarted.load() && !job->m_aMonitor[side].m_bRefused.load())
                        bSettled = false;
                if (bSettled) {
                    if (job->m_bMonitoringStarted.load() && !job->m_bMonitorsFollowOtherJobs.load()) {
                        job->m_bMonitoringStarted = false;
                        job->m_bChangesOnlyRun = true;
                        job->m_bFirstFullAnalyzePending = true;
                        bRequested = true;
                    } else if (job->GetNewChanges()) {
                        job->m_bChangesOnlyRun = true;
                        bRequested = true;
                    } else if (job->m_bRefusedForCommonFolder.load() && !SharingJobRuns(job, jobs)) {
                        // The run the changes asked for gave way to a job
                        // sharing a folder; that job is done: run now (a full
                        // run: the refused one dropped its tree).
                        job->m_bRefusedForCommonFolder = false;
                        job->m_bChangesOnlyRun = true;
                        bRequested = true;
                    } else if (job->m_bRefusedForForeignLock.load() && job->RefusingLockGone()) {
                        // The last run met another process's lock on a
                        // folder; the lock is gone: run now.
                        job->m_bRefusedForForeignLock = false;
                        job->m_bChangesOnlyRun = true;
                        bRequested = true;
                    } else if (job->RetryDue()) {
                        // The last run failed on something that may pass: again now.
                        job->m_bChangesOnlyRun = true;
                        bRequested = true;
                    }
                }
            }
            const int32_t nDelay = opt.m_nOnFileChangeDelay;
            if (nDelay > 0 && !job->m_bFirstFullAnalyzePending.load()) {
                if (bRequested) {
                    Notice(job, CWideString::Formatted(u"Detected File Changes, will start after Delay of %d sec",
                                                       nDelay));
                    job->m_nChangeSeenTime = CZorTime::Now().GetTime();
                    bRequested = false;
                } else if (job->m_nChangeSeenTime.load() != 0) {
                    const int64_t nWaited = CZorTime::Now().GetTime() - job->m_nChangeSeenTime.load();
                    if (nWaited >= nDelay) {
                        bRequested = true;
                        job->m_nChangeSeenTime = 0;
                        job->RequestRun(opt.m_nOnFileChangeAction, kReasonFileChangeDelay, 0);
                    } else {
                        Notice(job, CWideString::Formatted(u"Waiting out Delay after On File Change: %d out of %d sec",
                                                           (int)nWaited, nDelay));
                    }
                }
            } else if (bRequested) {
                job->RequestRun(opt.m_nOnFileChangeAction,
                                job->m_bFirstFullAnalyzePending.load() ? kReasonFileChange1stFull
                                                                       : kReasonFileChangeIncr,
                                0);
            }
        }

        // Monitors.
        if ((opt.m_nOnFileChangeAction || opt.m_nOnFolderConnectAction) && job->m_nRunKind == RK_USER &&
            !bRequested && !bStartPending) {
            CWideString err;
            if (!job->m_bMonitorsFollowOtherJobs.load()) {
                job->TurnOnFileMonitors(err);
            } else if (!job->IsRunning()) {
                if (SharingJobRuns(job, jobs))
                    job->TurnOffFileMonitors(u"Dependent Job Started");
                else
                    job->TurnOnFileMonitors(err);
            }
        }

        // On Folder Connect (again after giving way to a job sharing a folder).
        if (!opt.m_nOnFileChangeAction && opt.m_nOnFolderConnectAction && job->m_bRefusedForCommonFolder.load() &&
            !SharingJobRuns(job, jobs)) {
            job->m_bRefusedForCommonFolder = false;
            job->m_bFolderConnected = true;
        }
        if (job->m_bFolderConnected.load() && job->m_nRunKind == RK_USER && !bRequested && !bStartPending) {
            job->m_bFolderConnected = false;
            job->RequestRun(opt.m_nOnFolderConnectAction, kReasonFolderConnect, 0);
            bRequested = true;
        }
        if (!opt.m_nOnFileChangeAction && !opt.m_nOnFolderConnectAction) job->m_bMonitorEnded = true;

        // Program start: a delay of 0 starts the job at once.
        if (opt.m_nOnStartAction && opt.m_nAutoStartDelay >= 0 && !job->m_bRequestedSinceLoad.load() &&
            !bRequested && !bStartPending) {
            if (SecondsSinceStart() >= opt.m_nAutoStartDelay) {
                job->RequestRun(opt.m_nOnStartAction, kReasonProgramStart, 0);
                bRequested = true;
            } else {
                bStartPending = true;
            }
        }

        // Periodic timer.
        if (opt.m_nOnTimerAction && job->m_nRunKind == RK_USER && !bRequested && !bStartPending) {
            const int64_t nInterval =
                (int64_t)opt.m_nTimerIntervalHours * 3600 + (int64_t)opt.m_nTimerIntervalMinutes * 60;
            bool bCheck = true;
            if (nInterval <= 0) {
                // An interval of nothing would ask at every tick: the timer is off.
                bCheck = false;
                std::lock_guard<std::mutex> g(g_TimerOffLock);
                if (g_TimerOffTold.insert(std::u16string(job->GetName().GetString())).second)
                    Notice(job, u"Periodic Timer interval is 0: the timer is off\n");
            } else if (!job->m_bRequestedSinceLoad.load()) {
                if (SecondsSinceStart() >= opt.m_nAutoStartDelay) {
                    if (opt.m_nOnStartAction) {
                        // One request per tick: the timer looks again at the next.
                        job->RequestRun(opt.m_nOnStartAction, kReasonProgramStart, 0);
                        bRequested = true;
                        bCheck = false;
                    } else {
                        job->m_bRequestedSinceLoad = true;
                    }
                } else {
                    bCheck = false;
                }
            }
            if (bCheck) {
                if (job->m_nLastRunTime.load() == 0) ReadLastRunTime(job);
                if (CZorTime::Now().GetTime() - job->m_nLastRunTime.load() >= nInterval) {
                    job->RequestRun(opt.m_nOnTimerAction, kReasonPeriodicTimer, 0);
                    bRequested = true;
                }
            }
        }
        if (bRequested) bAnyRequested = true;
    }
}
