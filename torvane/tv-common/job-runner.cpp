// The job runner: worker thread procedure, may-run callback, engine options.
#include "job-runner.h"

#include "engine-globals.h"
#include "job-stores.h"
#include "zor-debug.h"
#include "zor-http.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-registry.h"
#include "zor-thread.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char16_t* kCompanionKey = u"Software\\Zorvek Systems\\Vexaform";
constexpr const char16_t* kZorvekKey = u"Software\\Zorvek Systems";

// The connection settings of a job's side.
const TvConnectInfo& SideInfo(const CSyncJobFromList* pJob, int side) {
    return side == 0 ? (const TvConnectInfo&)pJob->m_Options.m_Dir1 : (const TvConnectInfo&)pJob->m_Options.m_Dir2;
}

bool Overlap(const CSyncJobFromList* pA, int sa, const CSyncJobFromList* pB, int sb) {
    CWideString ca, cb;
    // The overlap test lends a job's connected file system of side i to the
    // i-th folder: right only for a job's own left and right folders. A
    // running job's file systems would else stand for the other job's folders.
    const bool bOwnSides = pA == pB && sa == 0 && sb == 1;
    return HasCommonFolder(SideInfo(pA, sa), SideInfo(pB, sb), ca, cb,
                           bOwnSides ? const_cast<CSyncJobFromList*>(pA) : nullptr);
}

bool FindCompanionProgramFolder(CWideString& folder) {
    CWideString runVf, vfFolder;
    RegGetStringValueQuiet(runVf, HKEY_CURRENT_USER, kZorvekKey, u"_RunVf");
    RegGetStringValueQuiet(vfFolder, HKEY_CURRENT_USER, kZorvekKey, u"VexaformFolder");
    if (!runVf.IsEmpty() && !vfFolder.IsEmpty()) {
        folder = vfFolder;
        return true;
    }
    CWideString prog;
    RegGetStringValueQuiet(prog, HKEY_CURRENT_USER, kCompanionKey, u"HDDProgFilesPath");
    if (prog.IsEmpty()) return false;
    folder = prog;
    return true;
}

} // namespace

// ------------------------------------------------------------ keep awake
CKeepAwake::CKeepAwake(const CWideString& why) {
    CWideString err;
    if (m_inhibitor.Acquire(u"Torvane", why, err)) return;
    // Keep-awake never fails a run: without a system bus or login manager
    // the machine may sleep. Said once per process.
    static std::atomic<bool> s_bTold{false};
    if (!s_bTold.exchange(true))
        ZorGetProgramLog().Printf(u"Cannot keep the machine awake during runs: %s\n", err);
}

CKeepAwake::~CKeepAwake() = default;

// ------------------------------------------------------------ runs
CSyncJob::GlobalFilters MakeGlobalFilters(const ProgramOptions& opt) {
    CSyncJob::GlobalFilters g;
    g.m_lstIncluded.AddTailList(opt.m_GlobalFilters.m_lstIncluded);
    g.m_lstExcluded.AddTailList(opt.m_GlobalFilters.m_lstExcluded);
    return g;
}

bool RunWithState(CSyncJobFromList* pJob, bool bChangesOnly, const CSyncJob::GlobalFilters* pGlobal,
                  int& errKind, CWideString& errText) {
    pJob->m_bRunStarted = 0;
    // A job that never synced syncs its sides for the first time: an empty
    // side of it is a new folder, not a drive that went missing. Its own
    // analyses, and Syncs refused before they did anything, do not count.
    // A version that kept no last-sync time counted every run.
    ReadLastRunTime(pJob);
    if (pJob->m_nLastSyncTime.load() < 0) pJob->m_nLastSyncTime.store(pJob->m_nLastRunTime.load());
    pJob->m_bRanBefore = pJob->m_nLastSyncTime.load() != 0 ? 1 : 0;
    pJob->SetLiveRunState(pJob->m_bAnalyze || bChangesOnly ? JA_ANALYZING : JA_SYNCING, 0);
    pJob->SetRunState(0, 0);
    // Whether another owner's lock refused it is this run's own outcome.
    pJob->m_bLockedByOther = 0;
    pJob->m_sForeignLockFile.Empty();
    pJob->m_nPassingItemErrors = 0; // an analysis alone leaves none
    bool bOk = bChangesOnly ? pJob->ChangeAnalyzeSyncWorker(pGlobal, errKind, errText)
                            : pJob->RunJob(pGlobal, errKind, errText);
    pJob->NoteLockRefusal(bOk);
    // A run that a trigger started is tried again after a failure (one that
    // gave way to a job sharing a folder runs when that job is done); a
    // user's run is the user's to repeat.
    if (pJob->m_nRunKind != RK_USER)
        pJob->NoteRunOutcome(bOk || pJob->m_bRefusedForCommonFolder.load(), errKind, errText);
    // A watched job's own writes must not start an on-change run of their own.
    if (!bChangesOnly && pJob->m_Options.m_nOnFileChangeAction != 0) pJob->RecordOwnWrites();
    int nState = pJob->GetRunState(), nSub = pJob->GetRunSubState();
    if (nState == 0) {
        // A run that set no result: say what its outcome was.
        nState = pJob->m_bSync ? RS_SYNCED : RS_ANALYZED;
        nSub = bOk ? RSS_OK : RSS_FAILED;
    }
    pJob->SetLiveRunState(nState, nSub);
    // The run's outcome is kept for other jobs' Sync (CanRunNow) and the
    // last-run time for the periodic timer, which would else ask again at
    // once.
    pJob->m_bAnalysisReady = bOk && nState == RS_ANALYZED && pJob->m_bHasChanges;
    pJob->m_bWriteLastRunTime = true;
    return bOk;
}

uint32_t JobWorkerThreadProc(CSyncJobFromList* pJob) {
    if (!pJob) {
        ZorAssertFailed("job-list", 713, 0, "JobWorkerThreadProc: null job");
        return 0xFFFFFFFF;
    }
    // The job is claimed under the list lock: a job that was removed
    // meanwhile (and may be destroyed) is never touched.
    bool bListed = false;
    CWideString name;
    if (!g_Settings.BeginRun(pJob, &bListed, &name)) {
        if (bListed)
            ZorGetProgramLog().Printf(u"Reject attemtp to run job thta is already running: %s\n", name);
        else
            ZorGetProgramLog().WriteLine(u"Reject attempt to run a job that is not in the job list\n");
        return 0;
    }
    // Another job's Sync that saw this job idle may be dropping its tree
    // (DropAnalysisResults, under the job lock): the run starts after it.
    { CCritSectionLock barrier(pJob->m_JobLock); }
    ZorOleInit ole(true);
    CKeepAwake awake(pJob->GetName() + u" is running");
    pJob->m_bWriteLastRunTime = false;

    const CSyncJob::GlobalFilters global = MakeGlobalFilters(g_Settings.m_ProgramOptions);
    int errKind = 0;
    CWideString errText;
    bool bResult;
    if (pJob->m_bChangesOnlyRun.load()) {
        bResult = RunWithState(pJob, true, &global, errKind, errText);
        pJob->m_bChangesOnlyRun = false;
    } else {
        bResult = RunWithState(pJob, false, &global, errKind, errText);
    }

    if (pJob->m_bSync && bResult &&
        (pJob->m_Options.m_nOnVexaformAction != 0 || pJob->m_nSyncOk.load() >= 1))
        RefreshCompanionData(pJob, pJob->m_Options.m_nOnVexaformAction != 0);
    if (pJob->m_bWriteLastRunTime.load()) WriteLastRunTime(pJob);
    if (pJob->m_bSaveRequested.exchange(false)) {
        CWideString saveErr;
        const bool bSaved = g_Settings.TvSaveJobs(false, u"Requested by Worker", saveErr);
        // A failed run stays failed after a good save.
        if (!bSaved) {
            if (bResult) errText = saveErr;
            if (!errKind) errKind = FSE_GENERAL;
        }
        bResult = bResult && bSaved;
    }
    {
        CCritSectionLock lock(pJob->m_JobLock);
        pJob->m_sRunErrorText = errText;
    }
    pJob->m_nRunErrorKind = errKind;
    pJob->m_bRunResult = bResult;
    pJob->EmitFinished();
    g_Settings.EndRun(pJob);
    return 0;
}

// ------------------------------------------------------------ engine options
bool InitEngineOptions(const ProgramOptions& opt, CWideString& errText) {
    g_EngineOptions.m_bCreateFolderIfNotFound = opt.m_bCreateFolderIfNotFound ? 1 : 0;
    g_EngineOptions.m_bGroupSimilarLogLines = opt.m_bGroupSimilarLogLines ? 1 : 0;
    g_EngineOptions.m_bUseSmtpToEmail = opt.m_bUseSmtpToEmail ? 1 : 0;
    g_EngineOptions.m_SmtpServerInfo = opt.m_SmtpServer;
    g_EngineOptions.m_bWarnTimeOutOfRange = opt.m_bWarn_TimeOutOfRange ? 1 : 0;
    g_EngineOptions.m_nLogRetainDays = opt.m_nLogRetainDays;
    // The internet back-ends' connections take the program's proxy.
    SetHttpProxyOptions(opt.m_ProxyServer);
    CWideString profile;
    if (!GetProfileFolder(profile, errText)) return false;
    g_EngineOptions.m_sMirrorFolderRoot = profile;
    g_EngineOptions.m_sProfileFolder = profile;
    g_pfnJobMayRun = &CanRunNow;
    return true;
}

bool InitEngineOptions(CWideString& errText) {
    return InitEngineOptions(g_Settings.m_ProgramOptions, errText);
}

// ------------------------------------------------------------ collisions
bool FindBusyJobWithCommonFolder(CSyncJobFromList* pA, CSyncJobFromList* pB) {
    if (!pA) return false;
    if (!pB || pB == pA) return Overlap(pA, 0, pA, 1);
    for (int sa = 0; sa < 2; ++sa)
        for (int sb = 0; sb < 2; ++sb)
            if (Overlap(pA, sa, pB, sb)) return true;
    return false;
}

bool CanRunNow(CSyncJob* pJobBase, bool bAsSync, CWideString& message) {
    CSyncJobFromList* pJob = static_cast<CSyncJobFromList*>(pJobBase);
    std::vector<CWideString> withResults;
    bool bRefused = false;
    {
        // Decided and claimed at once: a job counts as busy only after its
        // own check said yes, so two jobs starting together never refuse
        // each other. Taken before the list lock, never under it.
        static std::mutex s_ClaimLock;
        std::lock_guard<std::mutex> claim(s_ClaimLock);
        g_Settings.ForEachJob([&](CSyncJobFromList* other) {
            if (other == pJob || !FindBusyJobWithCommonFolder(pJob, other)) return true;
            const bool bCleared = !other->m_bMayRunPending.load();
            if (!bAsSync) {
                if (bCleared && other->GetLiveRunState() == JA_SYNCING) {
                    message = CWideString::Formatted(kJobMayRun_Syncing, other->GetName());
                    bRefused = true;
                    return false;
                }
                if (bCleared && other->GetLiveRunState() == JA_ANALYZING && other->m_nRunKind == RK_AUTOMATIC) {
                    message = CWideString::Formatted(kJobMayRun_AnalyzingForSync, other->GetName());
                    bRefused = true;
                    return false;
                }
            } else if (bCleared && other->IsRunning()) {
                message = CWideString::Formatted(kJobMayRun_Running, other->GetName());
                bRefused = true;
                return false;
            }
            if (other->m_bAnalysisReady.load()) withResults.push_back(other->GetName());
            return true;
        });
        pJob->m_bRefusedForCommonFolder = bRefused;
        if (!bRefused) pJob->m_bMayRunPending = false;
    }
    if (bRefused) return false;
    if (!bAsSync || withResults.empty()) return true;
    CWideString names;
    for (size_t i = 0; i < withResults.size(); ++i) names += (i ? u", " : u"") + withResults[i];
    pJob->Log(1, 1887, FormatLocalizedString(IDS_Msg_DeleteIntersectingResults, names) + u"\n");
    const CWideString reason = FormatLocalizedString(IDS_Msg_SyncOfIntersectingJob, pJob->GetName());
    // Each job is found and dropped within one walk of the list: the host
    // cannot remove (and free) it in between.
    for (const CWideString& name : withResults)
        g_Settings.ForEachJob([&](CSyncJobFromList* other) {
            if (other == pJob || other->GetName().CompareNoCase(name) != 0) return true;
            DropAnalysisResults(other, reason, false);
            return false;
        });
    return true;
}

bool DropAnalysisResults(CSyncJobFromList* pJob, const CWideString& reason, bool bForced) {
    if (!pJob) return false;
    // A run that starts meanwhile waits for the drop (JobWorkerThreadProc).
    CCritSectionLock lock(pJob->m_JobLock);
    if (!bForced && pJob->IsRunning()) return false;
    bool bResult = true;
    CbJobProgress* sink = pJob->GetProgressSink();
    if (sink && sink != &g_DummyJobProgress)
        bResult = sink->DropAnalysisResults(reason, bForced);
    else
        pJob->ResetTree();
    pJob->m_bAnalysisReady = false;
    return bResult;
}

// ------------------------------------------------------------ companion refresh
void RefreshCompanionData(CSyncJobFromList* pJob, bool bForced) {
    CWideString folders[2];
    uint32_t counts[2] = {0, 0};
    for (int side = 0; side < 2; ++side) {
        CWideString url = pJob->GetSideFolder(side);
        ExpandPathMacros(url);
        folders[side] = UrlToLocalPath(url);
        counts[side] = (uint32_t)pJob->m_anStateUpdates[side].load();
    }
    CWideString dataDir;
    RegGetStringValueQuiet(dataDir, HKEY_CURRENT_USER, kCompanionKey, u"RootUserDataDirPort");
    if (dataDir.IsEmpty()) RegGetStringValueQuiet(dataDir, HKEY_CURRENT_USER, kCompanionKey, u"RootUserDataDir");
    uint32_t nHappened = 0;
    RegGetDwordValueQuiet(nHappened, HKEY_CURRENT_USER, kCompanionKey, u"RemoteStorageAutoSyncHappened");
    if (nHappened) bForced = false;
    if (dataDir.IsEmpty()) return;
    const bool bGo = (folders[0] == dataDir && (bForced || counts[0] >= 1)) ||
                     (folders[1] == dataDir && (bForced || counts[1] >= 1));
    if (!bGo) return;
    CWideString progFolder;
    if (!FindCompanionProgramFolder(progFolder)) {
        ZorGetProgramLog().WriteLine(u"Cannot get the Vexaform path.\n");
        return;
    }
    pJob->Log(2, 2160, FormatLocalizedString(IDS_Msg_AskRereadDataFolder, dataDir) + u"\n");
    const CWideString command = CWideString::Formatted(u"\"%s\\vexaids.exe\"", progFolder);
    const CWideString params = CWideString::Formatted(u"-refresh folder=\"%s\" -autosynchint=1", dataDir);
    ZorGetProgramLog().Printf(u"Refresh Vexaform data: '%s %s'\n", command, params);
    // The arguments go to the program as they are; no shell reads them.
    std::vector<CWideString> args = {u"-refresh", u"folder=" + dataDir, u"-autosynchint=1"};
    CWideString err;
    if (!ZorShellEx(progFolder + u"/vexaids.exe", u"open", args, true, false, nullptr, nullptr, err))
        ZorGetProgramLog().Printf(u"Cannot call Vexaform to refresh data: '%s %s %s'\n", command, params, err);
}
