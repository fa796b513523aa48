// The auto-run tick and the job runner over the job list: which trigger asks
// for a run when, how the worker refuses and reports, and how jobs that share
// a folder keep out of each other's way.
#include "auto-run.h"
#include "job-harness.h"
#include "job-runner.h"
#include "tv-common-test-util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

namespace {

using tvtest::U8;

class Triggers : public tvtest::StoreTest {
protected:
    CTempFolder m_tmp;
    CRecordingSink m_sink;
    CEngineOptions m_saved = g_EngineOptions;
    PfnJobMayRun m_savedMayRun = g_pfnJobMayRun;
    // The test clock belongs to the fixture: monitor threads that a tick
    // started read it until TearDown has stopped them.
    ZorTestClock m_clock;
    std::unique_ptr<ZorClockScope> m_clockScope;

    ZorTestClock& UseTestClock() {
        m_clockScope = std::make_unique<ZorClockScope>(&m_clock);
        return m_clock;
    }

    void TearDown() override {
        for (CSyncJobFromList* j : g_Settings.GetJobs()) {
            j->TurnOffFileMonitors(u"end of test");
            j->SetProgressSink(&g_DummyJobProgress);
        }
        CWideString err;
        EXPECT_TRUE(g_Settings.RemoveAllJobs(err)) << U8(err);
        m_clockScope.reset();
        g_EngineOptions = m_saved;
        g_pfnJobMayRun = m_savedMayRun;
        g_bAutoRunBlocked1 = false;
        tvtest::StoreTest::TearDown();
    }
    // A job over two folders below the test folder (made when bMake).
    CSyncJobFromList* AddJob(const char* name, const std::string& left, const std::string& right,
                             bool bMake = true) {
        if (bMake) {
            m_tmp.MakeDir(left);
            m_tmp.MakeDir(right);
        }
        CSyncJobFromList j;
        j.SetName(Utf8ToWide(name));
        j.SetLeftFolder(NormalizeUrl(m_tmp.Path(left)));
        j.SetRightFolder(NormalizeUrl(m_tmp.Path(right)));
        CSyncJobFromList* p = g_Settings.AddJob(j);
        p->SetProgressSink(&m_sink);
        return p;
    }
    static std::string Reason(CSyncJobFromList* j) {
        return IsRunRequested(j) ? U8(j->GetRequestReason()) : std::string();
    }
    bool Tick() {
        bool b = false;
        AutoRunTick(b);
        return b;
    }
    int CountNotices(const char16_t* part) {
        int n = 0;
        for (const auto& x : m_sink.Notices())
            if (x.text.Find(part) >= 0) n++;
        return n;
    }
};

} // namespace

TEST_F(Triggers, StartAndTimerAskOncePerTickAtTheRightTime) {
    ZorTestClock& clock = UseTestClock();
    const int64_t t0 = CZorTime::Now().GetTime();
    g_EngineOptions.m_nJobListValue = t0;
    struct Case {
        const char* name;
        int nOnStart, nStartDelay, nTimer, nHours, nMinutes;
        int64_t nLastRunAgo; // seconds; 0 unknown
        int nTickAt;         // seconds after the start time
        const char* reason;  // expected at that tick ("" none)
    } cases[] = {
        {"start-120-early", 1, 120, 0, 0, 0, 0, 119, ""},
        {"start-120", 1, 120, 0, 0, 0, 0, 120, "Torvane Start"},
        {"start-at-once", 2, 0, 0, 0, 0, 0, 0, "Torvane Start"},
        {"timer-due", 0, 0, 1, 2, 0, 3 * 3600, 0, "Periodic Timer"},
        {"timer-not-due", 0, 0, 1, 2, 0, 3600, 0, ""},
        {"timer-zero-is-off", 0, 0, 1, 0, 0, 10 * 3600, 0, ""},
        {"timer-negative-is-off", 0, 0, 1, -1, 30, 10 * 3600, 0, ""},
        {"start-then-timer", 1, 10, 1, 0, 30, 3600, 10, "Torvane Start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.SetNow(t0);
        CSyncJobFromList* j = AddJob(c.name, std::string(c.name) + "/l", std::string(c.name) + "/r");
        j->m_Options.m_nOnStartAction = c.nOnStart;
        j->m_Options.m_nAutoStartDelay = c.nStartDelay;
        j->m_Options.m_nOnTimerAction = c.nTimer;
        j->m_Options.m_nTimerIntervalHours = c.nHours;
        j->m_Options.m_nTimerIntervalMinutes = c.nMinutes;
        j->m_nLastRunTime = c.nLastRunAgo ? t0 + c.nTickAt - c.nLastRunAgo : t0;
        clock.SetNow(t0 + c.nTickAt);
        const bool bAny = Tick();
        EXPECT_EQ(Reason(j), c.reason);
        EXPECT_EQ(bAny, *c.reason != 0);
        // The host starts the run and clears the request; the start trigger
        // fires once per load, the timer only when it is due again.
        j->SetRequestedAction(0);
        if (c.nTimer && std::string(c.name) != "start-then-timer") j->m_nLastRunTime = CZorTime::Now().GetTime();
        Tick();
        if (std::string(c.name) == "start-then-timer") {
            EXPECT_EQ(Reason(j), "Periodic Timer");
            j->SetRequestedAction(0);
            j->m_nLastRunTime = t0 + c.nTickAt;
            Tick();
        }
        EXPECT_EQ(Reason(j), "");
        CWideString err;
        g_Settings.RemoveJob(j->GetName(), err);
    }
    // An interval of nothing is told once, not at every tick.
    EXPECT_EQ(CountNotices(u"Periodic Timer interval is 0"), 2);
}

TEST_F(Triggers, BlockedTicksAndConflictingTriggers) {
    UseTestClock();
    g_EngineOptions.m_nJobListValue = 0;
    CSyncJobFromList* j = AddJob("both", "b/l", "b/r");
    j->m_Options.m_nOnStartAction = 1;
    g_bAutoRunBlocked1 = true;
    EXPECT_FALSE(Tick());
    EXPECT_FALSE(IsRunRequested(j));
    g_bAutoRunBlocked1 = false;
    j->m_bBrowseDialogOpen = true;
    EXPECT_FALSE(Tick());
    EXPECT_EQ(CountNotices(u"Auto-Run blocked by Browse dialog"), 1);
    j->m_bBrowseDialogOpen = false;
    // On File Change wins over the start and folder triggers.
    j->m_Options.m_nOnFileChangeAction = 1;
    j->m_Options.m_nOnFolderConnectAction = 1;
    Tick();
    EXPECT_EQ(j->m_Options.m_nOnStartAction, 0);
    EXPECT_EQ(j->m_Options.m_nOnFolderConnectAction, 0);
    EXPECT_EQ(CountNotices(u"Reset On Torvane Start option when On File Change is on"), 1);
    EXPECT_EQ(CountNotices(u"Reset On Folder Connect option when On File Change is on"), 1);
}

TEST_F(Triggers, FileChangeFirstRunIsFullThenDelayRestartsWithNewChanges) {
    // Real time and real inotify: the delay is three seconds.
    CSyncJobFromList* j = AddJob("fc", "fc/l", "fc/r");
    j->m_Options.m_nOnFileChangeAction = 1;
    j->m_Options.m_nOnFileChangeDelay = 3;
    // The first tick starts the monitors; once both watch, the first run is a
    // full one, at once despite the delay.
    std::string reason;
    for (int i = 0; i < 200 && reason.empty(); ++i) {
        Tick();
        reason = Reason(j);
        if (reason.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(reason, "On File Change 1st Full Analyze");
    EXPECT_TRUE(j->m_bChangesOnlyRun.load());
    // The host ran it: the next analyses are incremental.
    j->SetRequestedAction(0);
    j->m_bFirstFullAnalyzePending = false;

    auto waitChange = [&](int nExpected) {
        for (int i = 0; i < 200; ++i) {
            Tick();
            if (j->CountSideChanges(0) >= nExpected) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    const auto t0 = std::chrono::steady_clock::now();
    m_tmp.WriteFile("fc/l/one.txt", "1");
    ASSERT_TRUE(waitChange(1));
    EXPECT_EQ(CountNotices(u"Detected File Changes, will start after Delay of 3 sec"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    m_tmp.WriteFile("fc/l/two.txt", "2");
    ASSERT_TRUE(waitChange(2));
    const auto tSecond = std::chrono::steady_clock::now();
    // The delay runs from the second batch (whole seconds: at least two
    // seconds later; from the first it would have ended 1.5 s later).
    while (!IsRunRequested(j) && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
        Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(Reason(j), "On File Change, After Delay");
    EXPECT_GE(std::chrono::steady_clock::now() - tSecond, std::chrono::milliseconds(1990));
    EXPECT_GE(CountNotices(u"Waiting out Delay after On File Change: "), 1);
}

TEST_F(Triggers, OnChangeRunRefusedByAnotherProcesssLockRunsWhenTheLockGoes) {
    ZorTestClock& clock = UseTestClock(); // moves on while the monitors sleep
    CSyncJobFromList* j = AddJob("lk", "lk/l", "lk/r");
    j->m_Options.m_nOnFileChangeAction = 1;
    m_tmp.MakeDir("lk/r/_tvdata_");
    m_tmp.WriteFile("lk/r/_tvdata_/lock.tvl", "By: other.user@host at: 2026.01.01 00:00:00 GMT\n/x");
    for (int i = 0; i < 200 && !IsRunRequested(j); ++i)
        Tick(), std::this_thread::sleep_for(std::chrono::milliseconds(20));
    j->SetRequestedAction(0);
    j->m_bFirstFullAnalyzePending = false;
    clock.SetHeld(true); // from here only the test moves the clock
    // A local lock file is watched; elsewhere the run is tried again after a while.
    for (const bool bLocal : {true, false}) {
        j->m_bLockedByOther = 1;
        j->m_bForeignLockLocal = bLocal;
        j->m_sForeignLockFile = bLocal ? m_tmp.Path("lk/r/_tvdata_/lock.tvl") : u"sftp://h/_tvdata_/lock.tvl";
        j->NoteLockRefusal(false);
        clock.SetNow(j->m_nRefusedAt + (bLocal ? 600 : 0));
        Tick();
        EXPECT_FALSE(IsRunRequested(j)) << bLocal;
        if (bLocal) std::filesystem::remove(m_tmp.NativeSub("lk/r/_tvdata_/lock.tvl"));
        clock.SetNow(j->m_nRefusedAt + CMonitoredJob::kLockRetrySeconds);
        Tick();
        EXPECT_EQ(Reason(j), "On File Change Incremental") << bLocal;
        j->SetRequestedAction(0);
    }
}

TEST_F(Triggers, WorkerRefusesARunningJobAndReportsRunAndSave) {
    CSyncJobFromList* j = AddJob("w", "w/l", "w/r", false);
    j->m_bAnalyze = 1;
    j->m_bSync = 1;
    // A running job is left alone.
    j->SetRunning(true);
    EXPECT_EQ(JobWorkerThreadProc(j), 0u);
    EXPECT_TRUE(j->IsRunning());
    j->SetRunning(false);
    EXPECT_EQ(JobWorkerThreadProc(nullptr), 0xFFFFFFFFu);
    // A job that is not (or no longer) in the list never runs.
    CSyncJobFromList unlisted(*j);
    EXPECT_EQ(JobWorkerThreadProc(&unlisted), 0u);
    EXPECT_FALSE(unlisted.IsRunning());
    EXPECT_EQ(unlisted.GetLiveRunState(), JA_NOT_ANALYZED);
    // A failed run (the folders are missing) stays failed after a good save.
    j->m_bSaveRequested = true;
    EXPECT_EQ(JobWorkerThreadProc(j), 0u);
    EXPECT_FALSE(j->m_bRunResult.load());
    EXPECT_NE(j->m_nRunErrorKind.load(), 0);
    EXPECT_FALSE(j->IsRunning());
    EXPECT_FALSE(j->m_bSaveRequested.load());
    // The run's result state became the live state.
    EXPECT_EQ(j->GetLiveRunState(), RS_ANALYZED);
    EXPECT_EQ(j->GetLiveRunSubState(), RSS_FAILED);
}

TEST_F(Triggers, JobsSharingAFolderKeepOutOfEachOthersWay) {
    CSyncJobFromList* a = AddJob("A", "p/inner", "q");
    CSyncJobFromList* b = AddJob("B", "x", "p");
    CSyncJobFromList* c = AddJob("C", "q", "y");
    CSyncJobFromList* d = AddJob("D", "z", "p/inner/deep");
    CSyncJobFromList* e = AddJob("E", "far1", "far2");
    EXPECT_TRUE(FindBusyJobWithCommonFolder(a, b));
    EXPECT_FALSE(FindBusyJobWithCommonFolder(a, e));
    EXPECT_FALSE(FindBusyJobWithCommonFolder(a, nullptr));

    CWideString msg;
    b->SetRunning(true);
    b->SetLiveRunState(JA_ANALYZING, 0);
    b->m_nRunKind = RK_USER;
    EXPECT_FALSE(CanRunNow(a, true, msg));
    EXPECT_EQ(U8(msg), "Job B has common folder with this job and it is now running. Let it finish first");
    EXPECT_TRUE(CanRunNow(a, false, msg));
    b->m_nRunKind = RK_AUTOMATIC;
    EXPECT_FALSE(CanRunNow(a, false, msg));
    EXPECT_EQ(U8(msg), "Job B has common folder with this job and it is now analyzing for sync. Let it finish first");
    b->SetRunning(false);
    b->m_nRunKind = RK_USER;
    b->SetLiveRunState(JA_ANALYZED, 1);

    // Two others hold results: a Sync of A drops both and says so.
    c->m_bAnalysisReady = true;
    d->m_bAnalysisReady = true;
    e->m_bAnalysisReady = true;
    EXPECT_TRUE(CanRunNow(a, true, msg));
    EXPECT_FALSE(c->m_bAnalysisReady.load());
    EXPECT_FALSE(d->m_bAnalysisReady.load());
    EXPECT_TRUE(e->m_bAnalysisReady.load());
    bool bLogged = false;
    for (const auto& l : m_sink.Lines())
        if (l.text.Find(u"intersect with this job: C, D") >= 0) bLogged = true;
    EXPECT_TRUE(bLogged) << m_sink.Dump();
}

TEST_F(Triggers, WatchedJobsStartingTogetherOneGoesOnAndTheOtherRunsAfter) {
    // Two watched jobs share folder s; their monitors (real inotify) start.
    CSyncJobFromList* a = AddJob("A", "t/a", "t/s");
    CSyncJobFromList* b = AddJob("B", "t/b", "t/s");
    for (CSyncJobFromList* j : {a, b}) j->m_Options.m_nOnFileChangeAction = 1;
    for (int i = 0; i < 200 && !(IsRunRequested(a) && IsRunRequested(b)); ++i) {
        Tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(Reason(b), "On File Change 1st Full Analyze");
    a->SetRequestedAction(0);
    b->SetRequestedAction(0);

    // Both workers claim their runs before either reaches its check.
    ASSERT_TRUE(g_Settings.BeginRun(a));
    ASSERT_TRUE(g_Settings.BeginRun(b));
    CWideString msg;
    EXPECT_TRUE(CanRunNow(a, true, msg));
    EXPECT_FALSE(CanRunNow(b, true, msg));
    EXPECT_EQ(U8(msg), "Job A has common folder with this job and it is now running. Let it finish first");
    g_Settings.EndRun(b);
    // The refused job asks again, without a new change, once A is done.
    Tick();
    EXPECT_FALSE(IsRunRequested(b));
    g_Settings.EndRun(a);
    Tick();
    EXPECT_EQ(Reason(b), "On File Change 1st Full Analyze");
    EXPECT_FALSE(IsRunRequested(a));
    // Its run claims the folders in turn.
    b->SetRequestedAction(0);
    ASSERT_TRUE(g_Settings.BeginRun(b));
    ASSERT_TRUE(g_Settings.BeginRun(a));
    EXPECT_TRUE(CanRunNow(b, true, msg));
    EXPECT_FALSE(CanRunNow(a, true, msg));
    g_Settings.EndRun(a);
    g_Settings.EndRun(b);
}

namespace {

class SharedFolder : public Triggers {
protected:
    void SetUp() override {
        Triggers::SetUp();
        g_EngineOptions.m_sMirrorFolderRoot = m_tmp.Path("mirror");
        g_pfnJobMayRun = &CanRunNow;
    }
    // One run as the worker does it, after a created file was queued.
    bool Run(CSyncJobFromList* j, bool bChangesOnly, bool bSync, const char16_t* created = nullptr) {
        if (created) {
            m_tmp.WriteFile(U8(CWideString(u"s") + created), "new");
            CCritSectionLock lock(j->m_JobLock);
            j->m_aChanges[0].AddTail(ChangedItem(created, CIK_CREATED));
        }
        j->m_bAnalyze = 1;
        j->m_bSync = bSync ? 1 : 0;
        j->m_bChangesOnlyRun = bChangesOnly;
        std::thread t([j] { JobWorkerThreadProc(j); });
        t.join();
        return j->m_bRunResult.load();
    }
};

} // namespace

TEST_F(SharedFolder, DroppedResultsMakeTheNextOnChangeRunFull) {
    UseTestClock();
    CSyncJobFromList* a = AddJob("A", "s", "ra");
    CSyncJobFromList* b = AddJob("B", "s", "rb");
    a->SetProgressSink(&g_DummyJobProgress); // the drop empties its tree itself
    m_tmp.WriteFile("s/gone.txt", "g");
    a->m_bFirstFullAnalyzePending = true;
    ASSERT_TRUE(Run(a, true, true));
    ASSERT_TRUE(Run(b, false, true));
    // A, in incremental mode, holds results of an Analyze; B's Sync drops them.
    ASSERT_TRUE(Run(a, true, false, u"/one.txt"));
    ASSERT_TRUE(a->m_bAnalysisReady.load());
    ASSERT_TRUE(Run(b, false, true));
    EXPECT_FALSE(a->m_bAnalysisReady.load());
    ASSERT_TRUE(Run(a, true, true, u"/two.txt"));
    // A's state still knows every item: a deleted file stays deleted.
    std::filesystem::remove(m_tmp.NativeSub("s/gone.txt"));
    ASSERT_TRUE(Run(a, false, true));
    EXPECT_FALSE(m_tmp.Exists("s/gone.txt"));
    EXPECT_FALSE(m_tmp.Exists("ra/gone.txt"));
    EXPECT_TRUE(m_tmp.Exists("ra/two.txt"));
}

TEST_F(SharedFolder, UnknownChangeTurnsOffTheMonitorsOfJobsSharingAFolder) {
    CSyncJobFromList* a = AddJob("A", "s", "ra");
    CSyncJobFromList* b = AddJob("B", "s/sub", "rb");
    CSyncJobFromList* c = AddJob("C", "cl", "cr");
    CWideString err;
    for (CSyncJobFromList* j : {b, c}) {
        j->m_Options.m_nOnFileChangeAction = 1;
        ASSERT_TRUE(j->TurnOnFileMonitors(err)) << U8(err);
    }
    auto watching = [](CSyncJobFromList* j) { return j->m_aMonitor[0].HasFs() && j->m_aMonitor[1].HasFs(); };
    for (int i = 0; i < 400 && !(watching(b) && watching(c)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a->m_bUnknownChangeSeen = true;
    ASSERT_TRUE(Run(a, true, true));
    EXPECT_FALSE(b->m_aMonitor[0].HasFs() || b->m_aMonitor[1].HasFs());
    EXPECT_TRUE(watching(c));
    EXPECT_EQ(CountNotices(u": Starting Job A"), 2);
}

// For ThreadSanitizer: B's Sync drops the results of A while the tick reads
// A's tree, and of C while the host removes C.
TEST_F(SharedFolder, DroppingResultsRacesNeitherTheTickNorTheHost) {
    CSyncJobFromList* a = AddJob("A", "s", "ra");
    CSyncJobFromList* b = AddJob("B", "s", "rb");
    a->SetProgressSink(&g_DummyJobProgress);
    m_tmp.MakeDir("s/x");
    int failed = 0, k = 0;
    CWideString e;
    ASSERT_TRUE(a->ConnectSides(failed, k, e)) << U8(e);
    std::atomic<bool> bStop{false};
    std::thread tick([&] {
        for (; !bStop.load(); a->ClearSideChanges(0)) {
            CListT<ChangedItem> changes(10);
            changes.AddTail(ChangedItem(u"/x/y", CIK_MODIFIED));
            a->FilterNewChanges(0, changes);
        }
    });
    std::thread host([&] {
        for (CSyncJobFromList c(*a); !bStop.load(); g_Settings.RemoveJob(u"C")) {
            c.SetName(u"C");
            g_Settings.AddJob(c)->m_bAnalysisReady = true;
        }
    });
    for (int i = 0; i < 100; ++i) {
        m_tmp.WriteFile("s/x/y", "y");
        {
            CCritSectionLock lock(a->m_JobLock);
            a->ScanFolder(u"", a->GetPairsUnchecked(), 0, true, false, false, 0, false, nullptr, nullptr, k, e);
        }
        a->m_bAnalysisReady = true;
        EXPECT_TRUE(CanRunNow(b, true, e));
    }
    bStop = true;
    tick.join();
    host.join();
    a->DisconnectSides();
}

TEST_F(Triggers, FailedOnChangeRunIsTriedAgainAfterADelayThatDoublesUntilOneGoesWell) {
    ZorTestClock& clock = UseTestClock();
    CSyncJobFromList* j = AddJob("retry", "l", "r");
    j->m_Options.m_nOnFileChangeAction = 1;
    // Run outcome (ok, error kind), the delay of its retry (0: none) and the
    // items of a run that went through that failed for a cause that may pass.
    const int runs[][4] = {{0, FSE_GENERAL, 5, 0}, {0, FSE_GENERAL, 10, 0}, {0, FSE_GENERAL, 20, 0}, {1, 0, 0, 0},
                           {0, FSE_GENERAL, 5, 0}, {0, FSE_STOPPED, 0, 0},  {0, FSE_GENERAL, 5, 0},
                           {1, 0, 10, 1},          {1, 0, 20, 1},           {1, 0, 0, 0},
                           {1, 0, 5, 1},           {0, FSE_STOPPED, 0, 1}};
    j->m_sPassingItemError = u"No space left on device\nmore";
    for (const auto& r : runs) {
        m_sink.ClearRecords();
        j->m_nPassingItemErrors = r[3];
        j->NoteRunOutcome(r[0] != 0, r[1], u"No space left on device\nmore");
        EXPECT_EQ(j->m_nRetryAt.load() != 0, r[2] != 0);
        if (r[2] == 0) continue;
        EXPECT_EQ(CountNotices(CWideString::Formatted(
                                   u"(No space left on device); it is tried again in %d seconds", r[2])
                                   .GetString()),
                  1);
        clock.Advance((r[2] - 1) * 1000LL);
        EXPECT_FALSE(j->RetryDue()) << r[2];
        clock.Advance(1000);
        EXPECT_TRUE(j->RetryDue() && !j->RetryDue()) << r[2];
    }
}
