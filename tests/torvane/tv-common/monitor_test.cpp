// Change monitoring on real folders with the real inotify monitor: which
// sides are watched, what reaches the change lists, how monitors stop, and
// how folder watching reports a folder that goes and comes back.
#include "file-monitor.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

// Polls a condition in real time (the monitor threads run on their own).
bool WaitFor(const std::function<bool()>& cond, int nMaxMs = 8000) {
    for (int waited = 0; waited < nMaxMs; waited += 20) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

bool HasNotice(const CRecordingSink& sink, const char16_t* part) {
    for (const auto& n : sink.Notices())
        if (n.text.Find(part) >= 0) return true;
    return false;
}

std::vector<std::string> Paths(const CListT<ChangedItem>& list) {
    std::vector<std::string> v;
    for (ZorPosition p = list.GetHeadPosition(); p;) v.push_back(ToU8(list.GetNext(p).m_sPath));
    return v;
}

struct MonitorFixture {
    CTempFolder tmp;
    CRecordingSink sink;
    CMonitoredJob job;
    MonitorFixture(int nDirection, bool bFileChange, bool bFolderConnect) {
        tmp.MakeDir("left");
        tmp.MakeDir("right");
        job.SetName(u"mon");
        job.m_Options.SetDirection(nDirection);
        job.SetLeftFolder(NormalizeUrl(tmp.Path("left")));
        job.SetRightFolder(NormalizeUrl(tmp.Path("right")));
        job.m_Options.m_nOnFileChangeAction = bFileChange ? 1 : 0;
        job.m_Options.m_nOnFolderConnectAction = bFolderConnect ? 1 : 0;
        job.SetProgressSink(&sink);
    }
    ~MonitorFixture() {
        job.TurnOffFileMonitors(u"end of test");
        job.SetProgressSink(&g_DummyJobProgress);
    }
};

} // namespace

TEST(FileMonitor, DestinationOfOneWayJobIsNotWatched) {
    struct Case {
        int nDirection;
        int nRefusedSide; // -1: none
    } cases[] = {{JT_TWO_WAY, -1}, {JT_LEFT_TO_RIGHT, 1}, {JT_RIGHT_TO_LEFT, 0}};
    for (const Case& c : cases) {
        MonitorFixture f(c.nDirection, true, false);
        CWideString err;
        EXPECT_TRUE(f.job.TurnOnFileMonitors(err));
        for (int side = 0; side < 2; ++side) {
            CFileSysMonitor& m = f.job.m_aMonitor[side];
            if (side == c.nRefusedSide) {
                EXPECT_TRUE(m.m_bRefused.load());
                EXPECT_EQ(err.Find(u"TurnOnFileMonitor: destination of 1-way job file://"), 0) << ToU8(err);
                EXPECT_FALSE(m.IsRunning());
            } else {
                EXPECT_TRUE(WaitFor([&] { return m.m_bStarted.load(); })) << "side " << side;
            }
        }
        EXPECT_TRUE(f.job.m_bFirstFullAnalyzePending.load());
        // Without a trigger nothing is switched on.
        f.job.m_Options.m_nOnFileChangeAction = 0;
        EXPECT_FALSE(f.job.TurnOnFileMonitors(err));
    }
}

TEST(FileMonitor, ChangesAreFilteredAndEitherSideStopsPromptly) {
    MonitorFixture f(JT_TWO_WAY, true, false);
    // (A new folder is reported alone: its content is listed by the run.)
    ASSERT_TRUE(f.tmp.MakeDir("left/_tvdata_/x"));
    ASSERT_TRUE(f.tmp.MakeDir("left/sub/_TVDATA_"));
    CWideString err;
    ASSERT_TRUE(f.job.TurnOnFileMonitors(err));
    ASSERT_TRUE(WaitFor([&] { return f.job.m_aMonitor[0].m_bStarted && f.job.m_aMonitor[1].m_bStarted; }));

    // The engine's own files never reach the lists, on any level.
    ASSERT_TRUE(f.tmp.WriteFile("left/sub/_TVDATA_/state", "s"));
    ASSERT_TRUE(f.tmp.WriteFile("left/_tvdata_/x/lock", "l"));
    ASSERT_TRUE(f.tmp.WriteFile("left/sub/part.doc._TvTmp", "t"));
    ASSERT_TRUE(f.tmp.WriteFile("left/sub/real.txt", "r"));
    ASSERT_TRUE(f.tmp.WriteFile("right/r.txt", "r"));
    std::vector<std::string> left, right;
    ASSERT_TRUE(WaitFor([&] {
        f.job.GetNewChanges();
        left = Paths(f.job.GetSideChanges(0));
        right = Paths(f.job.GetSideChanges(1));
        return std::find(left.begin(), left.end(), "/sub/real.txt") != left.end() && !right.empty();
    }));
    for (const std::string& p : left) {
        EXPECT_EQ(p.find("_tvdata_"), std::string::npos) << p;
        EXPECT_EQ(p.find("_TVDATA_"), std::string::npos) << p;
        EXPECT_EQ(p.find("._TvTmp"), std::string::npos) << p;
    }
    EXPECT_EQ(right.front(), "/r.txt");
    EXPECT_TRUE(HasNotice(f.sink, u"Change detected [0]: t=Created path=/sub/real.txt"));

    // Stopping the left side alone must not wait for a change that never comes.
    const auto t0 = std::chrono::steady_clock::now();
    f.job.TurnOffFileMonitor(0, u"test");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 2500);
    EXPECT_FALSE(f.job.m_aMonitor[0].HasFs());
    EXPECT_EQ(f.job.CountSideChanges(0), 0);
    EXPECT_TRUE(f.job.m_bMonitorEnded.load());
    EXPECT_TRUE(HasNotice(f.sink, u": File Monitoring was asked to stop on: "));
    // The ended right thread is joined and a new one starts on both sides.
    f.job.StopMonitors();
    ASSERT_TRUE(f.job.TurnOnFileMonitors(err)) << ToU8(err);
    EXPECT_TRUE(WaitFor([&] { return f.job.m_aMonitor[0].m_bStarted && f.job.m_aMonitor[1].m_bStarted; }));
}

TEST(FileMonitor, IntakeRules) {
    MonitorFixture f(JT_TWO_WAY, true, false);
    // An excluded folder of the tree drops changes inside it, also for
    // paths the tree does not know yet.
    CWideString err;
    CSyncTreeNode* pEx = f.job.GetPairsUnchecked()->AddItemCS(u"ex", true, false, nullptr, err);
    ASSERT_TRUE(pEx);
    pEx->GetItem().m_nFlags |= SPF_EXCLUDED;
    struct Case {
        const char16_t* path;
        uint32_t kind;
        bool bQueued;
    } cases[] = {
        {u"/a.txt", CIK_CREATED, true},          {u"/ex", CIK_MODIFIED, false},
        {u"/ex/new/deep.txt", CIK_CREATED, false}, {u"/exe.txt", CIK_CREATED, true},
        {u"/x/y._tvtmp/z", CIK_CREATED, false},  {u"", CIK_UNKNOWN, true},
        {u"/after-unknown", CIK_CREATED, false},
    };
    CListT<ChangedItem> batch;
    for (const Case& c : cases) batch.AddTail(ChangedItem(c.path, c.kind));
    f.job.FilterNewChanges(0, batch);
    std::vector<std::string> want;
    for (const Case& c : cases)
        if (c.bQueued) want.push_back(ToU8(CWideString(c.path)));
    EXPECT_EQ(Paths(f.job.GetSideChanges(0)), want);
    EXPECT_TRUE(f.job.m_bUnknownChangeSeen.load());

    // A dropped Unknown still ends the batch and marks the job.
    f.job.m_bUnknownChangeSeen = 0;
    CListT<ChangedItem> batch2;
    batch2.AddTail(ChangedItem(u"/_tvdata_", CIK_UNKNOWN));
    batch2.AddTail(ChangedItem(u"/b.txt", CIK_CREATED));
    f.job.FilterNewChanges(1, batch2);
    EXPECT_EQ(f.job.CountSideChanges(1), 0);
    EXPECT_TRUE(f.job.m_bUnknownChangeSeen.load());
    // A side without a thread gives the intake nothing and says why.
    int n = 5, k = 0;
    CWideString e;
    EXPECT_TRUE(f.job.TakeSideChanges(0, n, k, e));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(e, u"not monitoring Null FS");
}

TEST(FileMonitor, FolderConnectReportsAbsentFolderAndItsReturn) {
    // Virtual time: the minute checks and the reconnect waits pass at once.
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    MonitorFixture f(JT_TWO_WAY, false, true);
    std::filesystem::remove_all(f.tmp.NativeSub("left"));
    CWideString err;
    ASSERT_TRUE(f.job.TurnOnFileMonitors(err));
    // Absent at start: reported as gone, waiting in the running thread.
    ASSERT_TRUE(WaitFor([&] { return HasNotice(f.sink, u": Detected Disconnect: "); }));
    EXPECT_TRUE(WaitFor([&] { return f.job.GetRunState() == RS_WAITING_FOR_FOLDER; }));
    EXPECT_FALSE(f.job.m_bFolderConnected.load());
    EXPECT_TRUE(f.job.m_aMonitor[0].IsRunning());
    // The right side is present and is watched.
    EXPECT_TRUE(WaitFor([&] { return f.job.m_aMonitor[1].m_bStarted.load(); }));

    // It comes back: one connect notice, state (1, 1) and the job's flag.
    ASSERT_TRUE(f.tmp.MakeDir("left"));
    ASSERT_TRUE(WaitFor([&] { return f.job.m_bFolderConnected.load() != 0; }));
    EXPECT_TRUE(HasNotice(f.sink, u"Detected Connect, perform Analyze"));
    int nDisconnects = 0;
    for (const auto& n : f.sink.Notices())
        if (n.text.Find(u"Detected Disconnect") >= 0) nDisconnects++;
    EXPECT_EQ(nDisconnects, 1);

    // Stopping the job ends both threads.
    f.job.m_bMonitorEnded = 1;
    f.job.StopMonitors();
    EXPECT_FALSE(f.job.m_aMonitor[0].HasFs());
    EXPECT_FALSE(f.job.m_aMonitor[1].HasFs());
}
