// Start-up of "torvane" and its commands.
#include "cli-commands.h"

#include "auto-run.h"
#include "cli-args.h"
#include "cli-console.h"
#include "cli-jobs.h"
#include "cli-process.h"
#include "cli-report.h"
#include "engine-globals.h"
#include "job-list.h"
#include "job-runner.h"
#include "job-stores.h"
#include "syncjob-analysis.h"
#include "zor-escape.h"
#include "zor-file.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}
CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

void UsageError(const std::string& err) {
    fprintf(stderr, "torvane: %s (see torvane --help)\n", err.c_str());
}

// Makes the missing folders of a path, each readable by its owner only.
bool MakeOwnFolders(const std::filesystem::path& p, std::error_code& ec) {
    if (std::filesystem::is_directory(p, ec)) return true;
    if (p.has_parent_path() && p.parent_path() != p && !MakeOwnFolders(p.parent_path(), ec)) return false;
    if (mkdir(p.c_str(), 0700) != 0 && errno != EEXIST) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    ec.clear();
    return true;
}

// --profile DIR stands for both folder variables, so that every store of
// this process (options, jobs, registry values, logs) lives there. Only
// job add makes a missing folder: elsewhere a mistyped folder would look
// like a profile without jobs.
bool ApplyProfile(const CCliArgs& a, std::string& err) {
    if (!a.m_bHasProfile) {
        // The folder the environment names is taken at its word just the same.
        const char* env = getenv("TORVANE_PROFILE_DIR");
        std::error_code ec;
        if (!env || !*env || std::filesystem::exists(env, ec) || ec) return true;
        if (a.m_verb != ECliVerb::JobAdd) {
            err = std::string("the profile folder ") + env +
                  " (TORVANE_PROFILE_DIR) does not exist (job add makes it)";
            return false;
        }
        MakeOwnFolders(std::filesystem::absolute(env, ec).lexically_normal(), ec);
        return true;
    }
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(a.m_sProfile, ec).lexically_normal();
    if (!ec && !std::filesystem::exists(p, ec) && !ec && a.m_verb != ECliVerb::JobAdd) {
        err = "the profile folder " + a.m_sProfile + " does not exist (job add makes it)";
        return false;
    }
    if (!ec) MakeOwnFolders(p, ec);
    if (ec || !std::filesystem::is_directory(p)) {
        err = "cannot use profile folder " + a.m_sProfile + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    const std::string dir = p.string();
    setenv("TORVANE_PROFILE_DIR", dir.c_str(), 1);
    setenv("TORVANE_REGISTRY_DIR", dir.c_str(), 1);
    return true;
}

// The process-wide set-up every command shares: the stores, the start time,
// the engine options, the program log.
bool StartUp(CCliConsole& con, std::string& profile, int& nExit) {
    nExit = CLI_EXIT_ERRORS;
    g_bLoadFromRegistry = false;
    g_bSaveToRegistry = false;
    g_bKeywordTextFiles = true;
    g_bAutoRunBlocked1 = false;
    g_bAutoRunBlocked2 = false;
    g_EngineOptions.m_nJobListValue = CZorTime::Now().GetTime();
    CWideString err, folder;
    if (!GetProfileFolder(folder, err)) {
        con.Error("torvane: no profile folder: " + U8(err));
        return false;
    }
    profile = U8(folder);
    // The profile and the folder of the runs' logs kept in it are their owner's alone.
    std::error_code ec;
    MakeOwnFolders(profile, ec);
    // One that another user owns or can write is not used at all, nor such
    // a folder of the stored settings named apart from it.
    const char* reg = getenv("TORVANE_REGISTRY_DIR");
    int profileFd = -1;
    if (!CheckProfileFolderSafe(folder, err, &profileFd) ||
        (reg && *reg && !CheckProfileFolderSafe(W(reg), err))) {
        if (profileFd >= 0) close(profileFd);
        con.Error("torvane: " + U8(err));
        nExit = CLI_EXIT_REFUSED;
        return false;
    }
    // Every file kept in the profile is opened from here on relative to the
    // folder that was checked.
    if (profileFd >= 0) ZorSetPrivateFolder(folder, profileFd);
    MakeOwnFolders(std::filesystem::path(profile) / "_tvdata_mirrors_", ec);
    ProgramOptions& opt = g_Settings.m_ProgramOptions;
    if (!opt.LoadOptions(err)) {
        if (StoreFileRefused(err)) {
            con.Error("torvane: options: " + U8(err));
            nExit = CLI_EXIT_REFUSED;
            return false;
        }
        con.Error("torvane: options: " + U8(err) + " (defaults used)");
    }
    err.Empty();
    if (SetAsideDamagedRegistry(err)) con.Error("torvane: warning: " + U8(EscapeControlCharsInLines(err)));
    // The program log: the chosen log folder, else the profile folder.
    CZorLog& log = ZorGetProgramLog();
    log.SetFolder(opt.m_sLogFolder.IsEmpty() ? folder : opt.m_sLogFolder);
    log.SetBaseName(u"torvane");
    log.SetEnabled(true);
    err.Empty();
    if (!InitEngineOptions(opt, err)) {
        con.Error("torvane: " + U8(err));
        return false;
    }
    CleanupOldGlobalLogs(opt);
    return true;
}

// Reads the job list.
bool LoadJobList(CCliConsole& con, int& nExit) {
    CWideString err;
    if (!g_Settings.LoadJobs(err)) {
        con.Error("torvane: cannot read the job list: " + U8(err));
        nExit = StoreFileRefused(err) ? CLI_EXIT_REFUSED : CLI_EXIT_ERRORS;
        return false;
    }
    // Loaded, but not as stored: the list came from its backup, or jobs were renamed.
    if (!err.IsEmpty()) con.Error("torvane: warning: job list: " + U8(EscapeControlCharsInLines(err.Trim())));
    return true;
}

// The signal handler's target: the job whose run a signal stops.
std::atomic<CSyncJobFromList*> g_pRunningJob{nullptr};

// Exit code of a finished run.
int ExitCodeOfRun(CSyncJobFromList* job, bool bStopped) {
    const int sub = job->GetRunSubState();
    if (bStopped || sub == RSS_STOPPED || job->m_nRunErrorKind.load() == FSE_STOPPED) return CLI_EXIT_STOPPED;
    // Refused: a folder another owner locked, one taken as not available
    // (an analyze that found one says that a sync would refuse), or one that
    // another user could change under the run. A sync the engine would not
    // start for another reason (a read-only side, a side it cannot reach,
    // the same folder twice) failed.
    if (job->m_bLockedByOther || job->m_abNotAvailable[0] || job->m_abNotAvailable[1] || job->m_abUntrusted[0] ||
        job->m_abUntrusted[1])
        return CLI_EXIT_REFUSED;
    if (!job->m_bRunResult.load() || sub == RSS_FAILED) return CLI_EXIT_ERRORS;
    const int64_t nErrors = (int64_t)job->m_Stats.m_aCounts[CAT_ERROR].Total() + job->m_nSyncErr.load();
    const int64_t nConflicts =
        std::max<int64_t>((int64_t)job->m_Stats.m_aCounts[CAT_CONFLICT].Total(), job->m_nConflicts.load());
    if (nErrors > 0) return CLI_EXIT_ERRORS;
    if (nConflicts > 0) return CLI_EXIT_CONFLICTS;
    return CLI_EXIT_OK;
}

// The process lock of a job: a second process on the same job would take
// the first one's folder locks for abandoned ones.
bool LockJob(CCliConsole& con, const std::string& profile, const CWideString& name, CCliProcessLock& lock,
             int& nExit) {
    bool bBusy = false;
    std::string err;
    if (lock.TryAcquire(JobLockPath(profile, U8(name)), bBusy, err)) return true;
    con.Error("torvane: job '" + U8(name) + "': " + err);
    nExit = bBusy ? CLI_EXIT_REFUSED : CLI_EXIT_ERRORS;
    return false;
}

bool LockProfile(CCliConsole& con, const std::string& profile, CCliProcessLock& lock, int& nExit) {
    bool bBusy = false;
    std::string err;
    if (lock.TryAcquire(ProfileLockPath(profile), bBusy, err)) return true;
    con.Error(bBusy ? "torvane: the profile is busy: watch runs in another process" : "torvane: " + err);
    nExit = bBusy ? CLI_EXIT_REFUSED : CLI_EXIT_ERRORS;
    return false;
}

// The job list between its reading and the saving of a change, or while
// watch takes its jobs: another process holds it for a moment at most.
bool LockJobList(CCliConsole& con, const std::string& profile, CCliProcessLock& lock, int& nExit) {
    bool bBusy = false;
    std::string err;
    if (lock.Acquire(JobListLockPath(profile), 10000, bBusy, err)) return true;
    con.Error(bBusy ? "torvane: the profile is busy: another process is changing the job list" : "torvane: " + err);
    nExit = bBusy ? CLI_EXIT_REFUSED : CLI_EXIT_ERRORS;
    return false;
}

CSyncJobFromList* FindJobOrSay(CCliConsole& con, const std::string& name) {
    CSyncJobFromList* job = g_Settings.FindJob(W(name));
    if (!job) con.Error("torvane: no job named '" + CliShownName(name) + "'");
    return job;
}

// The sync tree of a one-shot run, everything written: the process ends
// soon, and taking down a tree of many nodes costs time for nothing. It is
// kept here, reachable, until the process ends; the job gets an empty tree.
void KeepTreeUntilExit(CSyncJobFromList* job) {
    static CSyncTreeNode::CChildMap* s_pKept = nullptr;
    if (s_pKept) return; // one run per process: a later tree is taken down as usual
    CSyncPairsAndActions* pTree = job->GetPairsUnchecked();
    s_pKept = pTree->ReleaseChildMap();
    pTree->InitRoot();
}

// One user's run of a job on this thread: analyse, or analyse and sync,
// with its report.
int RunOnce(CCliRunConsole& con, CCliSignals& sig, const std::string& profile, const CCliArgs& a) {
    const bool bSync = a.m_verb == ECliVerb::Sync;
    CSyncJobFromList* job = FindJobOrSay(con, a.m_sName);
    if (!job) return CLI_EXIT_ERRORS;
    CCliProcessLock lock;
    int nExit = CLI_EXIT_OK;
    if (!LockJob(con, profile, job->GetName(), lock, nExit)) return nExit;
    job->SetProgressSink(&con);
    job->m_bAnalyze = 1;
    job->m_bSync = bSync ? 1 : 0;
    job->m_nRunKind = RK_USER;
    job->m_sStarter.Empty();
    job->m_bChangesOnlyRun = false;
    job->m_bOverrideLocks = a.m_bOverrideLocks ? 1 : 0;
    job->m_bAllowEmptySide = a.m_bForce ? 1 : 0;
    const int code = CliRunAndReport(
        con, job, a, profile,
        [&] {
            g_pRunningJob = job;
            if (sig.Received()) job->GetProgressSink()->RequestStop();
            JobWorkerThreadProc(job);
            g_pRunningJob = nullptr;
            con.EndLiveLine();
        },
        [&] { return ExitCodeOfRun(job, sig.Received()); });
    job->SetProgressSink(&g_DummyJobProgress);
    KeepTreeUntilExit(job);
    // A hang-up stops the run as the others do; the code tells it apart.
    if (code == CLI_EXIT_STOPPED && sig.Signal() == SIGHUP) return CLI_EXIT_HANGUP;
    return code;
}

// ------------------------------------------------------------ watch
// listLock: the job list's, held until the watched jobs are taken.
int Watch(CCliConsole& con, CCliSignals& sig, const std::string& profile, const std::vector<std::string>& names,
          CCliProcessLock& listLock) {
    CCliProcessLock profileLock;
    int nExit = CLI_EXIT_OK;
    if (!LockProfile(con, profile, profileLock, nExit)) return nExit;
    std::vector<CSyncJobFromList*> named;
    if (names.empty()) {
        named = g_Settings.GetJobs();
    } else {
        for (const std::string& n : names) {
            CSyncJobFromList* j = FindJobOrSay(con, n);
            if (!j) return CLI_EXIT_ERRORS;
            named.push_back(j);
        }
    }
    // Only jobs with a trigger are watched (and kept from other processes).
    std::vector<CSyncJobFromList*> jobs;
    for (CSyncJobFromList* j : named) {
        const CSyncJobOptions& o = j->m_Options;
        if (o.m_nOnTimerAction || o.m_nOnStartAction || o.m_nOnFileChangeAction || o.m_nOnFolderConnectAction) {
            jobs.push_back(j);
            continue;
        }
        const std::string n = CliShellWord(U8(j->GetName())), cmd = CCliConsole::CommandStart();
        con.Error("torvane: job '" + U8(j->GetName()) + "' has no trigger and is not watched; to give it one: " +
                  cmd + " job set " + n +
                  " OnFileChangeAction=1 (or OnTimerAction, OnStartAction, OnFolderConnectAction; "
                  "see torvane job keys)");
    }
    if (jobs.empty()) {
        con.Error(named.empty() ? "torvane: there are no jobs to watch" : "torvane: no job to watch");
        return CLI_EXIT_ERRORS;
    }
    // Each watched job is this process's: no other may run it meanwhile.
    std::map<CSyncJobFromList*, std::unique_ptr<CCliProcessLock>> locks;
    // Each job reports through a console of its own (the sink follows its job's run).
    std::vector<std::unique_ptr<CCliConsole>> consoles;
    struct ResetSinks {
        std::vector<CSyncJobFromList*>& jobs;
        ~ResetSinks() {
            for (CSyncJobFromList* j : jobs) j->SetProgressSink(&g_DummyJobProgress);
        }
    } resetSinks{jobs};
    for (CSyncJobFromList* j : jobs) {
        auto l = std::make_unique<CCliProcessLock>();
        if (!LockJob(con, profile, j->GetName(), *l, nExit)) return nExit;
        locks[j] = std::move(l);
        consoles.push_back(std::make_unique<CCliConsole>(con.IsTerminal()));
        // Several jobs' runs may share the terminal: each line names its job.
        if (jobs.size() > 1)
            consoles.back()->SetLinePrefix("[" + U8(EscapeControlChars(j->GetName())) + "] ");
        j->SetProgressSink(consoles.back().get());
    }
    // The other jobs stay free to be added, changed and deleted meanwhile.
    listLock.Release();
    // Jobs not watched take no part in the ticks.
    std::vector<CSyncJobFromList*> others;
    for (CSyncJobFromList* j : g_Settings.GetJobs())
        if (!locks.count(j)) {
            others.push_back(j);
            j->m_nRunKind = RK_AUTOMATIC; // the tick skips a job with a starter
        }
    con.Error("torvane: watching " + std::to_string(jobs.size()) + (jobs.size() == 1 ? " job" : " jobs") +
              (CCliSignals::EndingNames().empty() ? std::string("; SIGINT and SIGTERM are ignored")
                                                  : "; " + CCliSignals::EndingNames() + " ends"));

    struct Worker {
        CSyncJobFromList* job;
        std::atomic<bool> done{false};
        std::thread thread;
    };
    std::vector<std::unique_ptr<Worker>> workers;
    // Joins finished workers; the job's run kind goes back to the user's
    // (written here, on the thread that ticks, never by the worker).
    auto reap = [&](bool bAll) {
        for (auto it = workers.begin(); it != workers.end();) {
            if (bAll || (*it)->done.load()) {
                if ((*it)->thread.joinable()) (*it)->thread.join();
                (*it)->job->m_nRunKind = RK_USER;
                (*it)->job->m_sStarter.Empty();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    };
    sig.SetHandler([&](int) {
        for (CSyncJobFromList* j : jobs) j->GetProgressSink()->RequestStop();
    });
    while (!sig.Received()) {
        reap(false);
        bool bAny = false;
        AutoRunTick(bAny);
        for (CSyncJobFromList* j : jobs) {
            if (!IsRunRequested(j) || j->IsRunning()) continue;
            const int32_t nAction = j->GetRequestedAction();
            const CWideString reason = j->GetRequestReason();
            j->SetRequestedAction(0);
            j->m_bAnalyze = 1;
            j->m_bSync = nAction == 2 ? 0 : 1;
            j->m_nRunKind = RK_AUTOMATIC;
            j->m_sStarter = reason;
            j->GetProgressSink()->ResetStop();
            auto w = std::make_unique<Worker>();
            w->job = j;
            Worker* pw = w.get();
            w->thread = std::thread([pw] {
                JobWorkerThreadProc(pw->job);
                pw->done = true;
            });
            workers.push_back(std::move(w));
        }
        for (int i = 0; i < 10 && !sig.Received(); ++i) ZorSleepMs(100);
    }
    // The signal thread marks a signal received before it calls the handler:
    // the handler may still be at the consoles. Replacing it waits for that
    // call, and no later signal reaches consoles that are about to go.
    sig.SetHandler(nullptr);
    con.Error("torvane: stopping");
    for (CSyncJobFromList* j : jobs) j->GetProgressSink()->RequestStop();
    reap(true);
    for (CSyncJobFromList* j : jobs) {
        j->TurnOffFileMonitors(u"Program ends");
        j->SetProgressSink(&g_DummyJobProgress);
    }
    for (CSyncJobFromList* j : others) j->m_nRunKind = RK_USER;
    con.EndLiveLine();
    return sig.Signal() == SIGHUP ? CLI_EXIT_HANGUP : CLI_EXIT_OK;
}

} // namespace

int RunCli(const std::vector<std::string>& args) {
    CCliArgs a;
    std::string err;
    if (!ParseCliArgs(args, a, err)) {
        UsageError(err);
        return CLI_EXIT_ERRORS;
    }
    if (a.m_verb == ECliVerb::Help) {
        fputs(CliHelpText(), stdout);
        fputs(CliReportHelpText(), stdout);
        return CLI_EXIT_OK;
    }
    if (a.m_verb == ECliVerb::Version) {
        puts(CliVersionText().c_str());
        return CLI_EXIT_OK;
    }
    if (a.m_verb == ECliVerb::JobKeys) {
        CCliConsole con(false);
        return CliJobKeys(con);
    }
    CCliConsole::SetVerbosity(a.m_nVerbosity);
    if (a.m_bHasProfile) CCliConsole::SetProfileArg(a.m_sProfile);
    if (!ApplyProfile(a, err)) {
        fprintf(stderr, "torvane: %s\n", err.c_str());
        return CLI_EXIT_ERRORS;
    }
    // Signals go to one thread of ours from here on (before any other starts).
    CCliSignals sig;
    CCliRunConsole console(isatty(STDERR_FILENO) != 0);
    sig.SetHandler([](int) {
        if (CSyncJobFromList* j = g_pRunningJob.load()) j->GetProgressSink()->RequestStop();
    });
    std::string profile;
    int nStartExit = CLI_EXIT_OK;
    if (!StartUp(console, profile, nStartExit)) return nStartExit;
    // A change of the job list is made to the list as it stands: two
    // processes that change it take turns.
    const bool bChangesList =
        a.m_verb == ECliVerb::JobAdd || a.m_verb == ECliVerb::JobSet || a.m_verb == ECliVerb::JobDelete;
    int code = CLI_EXIT_OK;
    CCliProcessLock listLock;
    if ((bChangesList || a.m_verb == ECliVerb::Watch) && !LockJobList(console, profile, listLock, code))
        return code;
    if (!LoadJobList(console, code)) return code;

    switch (a.m_verb) {
    case ECliVerb::JobAdd:
    case ECliVerb::JobSet:
    case ECliVerb::JobDelete: {
        if (a.m_verb == ECliVerb::JobAdd) {
            code = CliJobAdd(console, a);
        } else {
            CSyncJobFromList* job = FindJobOrSay(console, a.m_sName);
            if (!job) {
                code = CLI_EXIT_ERRORS;
                break;
            }
            CCliProcessLock jobLock;
            if (!LockJob(console, profile, job->GetName(), jobLock, code)) break;
            code = a.m_verb == ECliVerb::JobSet ? CliJobSet(console, job, a.m_sets) : CliJobDelete(console, job);
        }
        break;
    }
    case ECliVerb::JobList:
        code = CliJobList(console);
        break;
    case ECliVerb::JobShow: {
        CSyncJobFromList* job = FindJobOrSay(console, a.m_sName);
        code = job ? CliJobShow(console, job, a.m_bAll) : CLI_EXIT_ERRORS;
        break;
    }
    case ECliVerb::Analyze:
    case ECliVerb::Sync:
        code = RunOnce(console, sig, profile, a);
        break;
    case ECliVerb::Watch:
        code = Watch(console, sig, profile, a.m_names, listLock);
        break;
    case ECliVerb::Help:
    case ECliVerb::Version:
    case ECliVerb::JobKeys:
        break;
    }
    sig.SetHandler(nullptr);
    CWideString e;
    g_Settings.RemoveAllJobs(e);
    return code;
}
