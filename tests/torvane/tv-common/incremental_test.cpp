// The incremental on-change run's tree upkeep on real folders: queued
// changes re-read only their paths, and the tree's other knowledge stays.
#include "fake-fs.h"
#include "file-monitor.h"
#include "job-harness.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <tuple>
#include <thread>
#include <utility>

namespace {

struct IncFixture {
    CJobHarness h;
    CMonitoredJob job;
    IncFixture() {
        h.m_tmp.MakeDir("left/docs");
        h.m_tmp.MakeDir("right");
        h.m_tmp.WriteFile("left/a.txt", "a");
        h.m_tmp.WriteFile("left/docs/b.txt", "b");
        job.SetName(u"inc");
        job.SetLeftFolder(NormalizeUrl(h.m_tmp.Path("left")));
        job.SetRightFolder(NormalizeUrl(h.m_tmp.Path("right")));
        h.Attach(job);
        int failed = 0, k = 0;
        CWideString e;
        EXPECT_TRUE(job.ConnectSides(failed, k, e)) << ToU8(e);
        for (int side = 0; side < 2; ++side)
            EXPECT_TRUE(job.ScanFolder(u"", Root(), side, true, false, false, 0, false, nullptr, nullptr, k, e))
                << ToU8(e);
    }
    ~IncFixture() {
        job.DisconnectSides();
        job.SetProgressSink(&g_DummyJobProgress);
    }
    CSyncTreeNode* Root() { return job.GetPairsUnchecked(); }
    CSyncTreeNode* Node(const char16_t* path) {
        CWideString e;
        return CSyncTreeNode::LookupCS(Root(), path, true, nullptr, e);
    }
    bool LeftPresent(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p && p->GetItem().m_aCur[0].Exists();
    }
    bool Apply(std::initializer_list<ChangedItem> changes, int side, CWideString& err) {
        {
            CCritSectionLock lock(job.m_JobLock);
            for (const ChangedItem& c : changes) job.m_aChanges[side].AddTail(c);
        }
        int k = 0;
        return job.IncrementalAnalyzeItems(side, nullptr, Root(), k, err);
    }
};

bool LoggedChange(const CRecordingSink& sink, const char* tail) {
    for (const auto& l : sink.Lines()) {
        const std::string s = ToU8(l.text);
        if (s.rfind("Change in: ", 0) == 0 && s.find(tail) != std::string::npos) return true;
    }
    return false;
}

} // namespace

TEST(IncrementalRun, ChangesReReadOnlyTheirPaths) {
    IncFixture f;
    ASSERT_TRUE(f.LeftPresent(u"/a.txt"));
    ASSERT_TRUE(f.LeftPresent(u"/docs/b.txt"));

    // A new folder is listed whole; a Modified file that is gone meanwhile
    // gets the deleted record; a deleted folder takes its content along.
    f.h.m_tmp.MakeDir("left/new/deep");
    f.h.m_tmp.WriteFile("left/new/deep/c.txt", "c");
    std::filesystem::remove(f.h.m_tmp.NativeSub("left/a.txt"));
    std::filesystem::remove_all(f.h.m_tmp.NativeSub("left/docs"));
    CWideString err;
    ASSERT_TRUE(f.Apply({ChangedItem(u"/new", CIK_CREATED), ChangedItem(u"/a.txt", CIK_MODIFIED),
                         ChangedItem(u"/docs", CIK_DELETED)},
                        0, err))
        << ToU8(err);
    EXPECT_TRUE(f.LeftPresent(u"/new/deep/c.txt"));
    EXPECT_FALSE(f.LeftPresent(u"/a.txt"));
    ASSERT_TRUE(f.Node(u"/a.txt"));
    EXPECT_FALSE(f.LeftPresent(u"/docs"));
    EXPECT_FALSE(f.LeftPresent(u"/docs/b.txt"));
    EXPECT_EQ(f.job.CountSideChanges(0), 0);
    EXPECT_TRUE(LoggedChange(f.h.m_sink, "/new"));

    // A modified file gets its new size.
    f.h.m_tmp.WriteFile("left/new/deep/c.txt", "longer content");
    ASSERT_TRUE(f.Apply({ChangedItem(u"/new/deep/c.txt", CIK_MODIFIED)}, 0, err)) << ToU8(err);
    EXPECT_EQ(f.Node(u"/new/deep/c.txt")->GetItem().m_aCur[0].m_Len.GetValue(), 14u);
}

TEST(IncrementalRun, WholeTreeAndBadPaths) {
    IncFixture f;
    // ChangeInFolder of the root: the side's records are cleared and the root listed again.
    std::filesystem::remove(f.h.m_tmp.NativeSub("left/a.txt"));
    f.h.m_tmp.WriteFile("left/z.txt", "z");
    CWideString err;
    ASSERT_TRUE(f.Apply({ChangedItem(u"", CIK_CHANGE_IN_FOLDER)}, 0, err)) << ToU8(err);
    EXPECT_FALSE(f.LeftPresent(u"/a.txt"));
    EXPECT_TRUE(f.LeftPresent(u"/z.txt"));
    EXPECT_TRUE(f.LeftPresent(u"/docs/b.txt"));

    // A folder change for a path the tree does not hold stops the analysis
    // and keeps the list for the full analyse that follows.
    EXPECT_FALSE(f.Apply({ChangedItem(u"/nowhere", CIK_METADATA), ChangedItem(u"/z.txt", CIK_MODIFIED)}, 0, err));
    EXPECT_EQ(ToU8(err), "Bad change-unknown path: /nowhere");
    EXPECT_EQ(f.job.CountSideChanges(0), 2);
    // A pending full analyse drops the list.
    f.job.ResetTree();
    EXPECT_TRUE(f.job.m_bFirstFullAnalyzePending.load());
    EXPECT_TRUE(f.job.DropSideChanges(0, 0, 0));
    EXPECT_EQ(f.job.CountSideChanges(0), 0);
}

TEST(IncrementalRun, PreparingTheTreeQueuesOnlyItemsWithWork) {
    IncFixture f;
    CSyncTreeNode* pA = f.Node(u"/a.txt");
    CSyncTreeNode* pB = f.Node(u"/docs/b.txt");
    ASSERT_TRUE(pA && pB);
    pA->GetItem().m_nSysAction = 0x01; // some copy action
    pA->GetItem().SetReason(u"new");
    pB->GetItem().m_nFlags |= SPF_EXCLUDED | SPF_DONE;
    pB->GetItem().SetReason(u"excluded: match *.txt");
    CDoInitChangesOnly pass;
    ASSERT_TRUE(f.job.DoForSubtree(f.Root(), pass, true));
    // The file with work is queued for both sides and reset with its exclusion cleared.
    std::vector<std::string> queued;
    CListT<ChangedItem> left = f.job.GetSideChanges(0);
    for (ZorPosition p = left.GetHeadPosition(); p;) {
        const ChangedItem& c = left.GetNext(p);
        EXPECT_EQ(c.m_nKind, (uint32_t)CIK_REANALYZE);
        queued.push_back(ToU8(c.m_sPath));
    }
    EXPECT_EQ(queued, std::vector<std::string>{"/a.txt"});
    EXPECT_EQ(f.job.CountSideChanges(1), 1);
    EXPECT_EQ(pA->GetItem().m_nSysAction, EA_NO_COPY);
    EXPECT_TRUE(pA->GetItem().GetReason().IsEmpty());
    // The file with nothing to do keeps its exclusion; the execution marks go.
    EXPECT_TRUE(pB->GetItem().IsExcluded());
    EXPECT_FALSE(pB->GetItem().m_nFlags & SPF_DONE);
    EXPECT_TRUE(pB->GetItem().GetReason().IsEmpty());
}

TEST(IncrementalRun, WholeRunsFirstFullThenOnlyTheChangedPaths) {
    CJobHarness h;
    h.m_tmp.MakeDir("left/docs");
    h.m_tmp.MakeDir("right");
    h.m_tmp.WriteFile("left/a.txt", "a");
    h.m_tmp.WriteFile("left/docs/b.txt", "b");
    CMonitoredJob job;
    job.SetName(u"whole");
    job.SetLeftFolder(NormalizeUrl(h.m_tmp.Path("left")));
    job.SetRightFolder(NormalizeUrl(h.m_tmp.Path("right")));
    h.Attach(job);
    auto run = [&](bool bFull) {
        job.m_bAnalyze = 1;
        job.m_bSync = 1;
        job.m_bRunStarted = 0;
        job.m_nActivity.store(JA_ANALYZING);
        if (bFull) job.m_bFirstFullAnalyzePending = true;
        int k = 0;
        CWideString e;
        const bool ok = job.ChangeAnalyzeSyncWorker(nullptr, k, e);
        job.m_nActivity.store(JA_ANALYZED);
        EXPECT_TRUE(ok) << ToU8(e) << h.m_sink.Dump();
        return ok;
    };
    // The own writes recorded from the executed items are those a walk of
    // the whole tree finds.
    auto expectOwnWritesOfWholeTree = [&](size_t nWritten) {
        using Recs = std::map<std::u16string, std::tuple<bool, bool, uint64_t, uint32_t, bool>>;
        auto take = [&]() {
            std::vector<Recs> sides(2);
            CCritSectionLock lock(job.m_JobLock);
            for (int side = 0; side < 2; ++side)
                for (const auto& [key, w] : job.m_aOwnWrites[side])
                    sides[side][key] = {w.bPresent, w.bFolder, w.nSize, w.nModTime, w.bAbove};
            return sides;
        };
        const std::vector<Recs> fromExecuted = take();
        job.RecordOwnWrites(false);
        EXPECT_EQ(fromExecuted, take());
        EXPECT_EQ(fromExecuted[0].size(), nWritten);
    };
    ASSERT_TRUE(run(true));
    EXPECT_TRUE(h.m_tmp.Exists("right/docs/b.txt"));
    EXPECT_FALSE(job.m_bFirstFullAnalyzePending.load());
    expectOwnWritesOfWholeTree(3);

    // A modified file and a new one: only they are read again and synced.
    h.m_clock.SleepMs(5000);
    h.m_tmp.WriteFile("left/a.txt", "a, longer");
    h.m_tmp.WriteFile("left/docs/new.txt", "n");
    {
        CCritSectionLock lock(job.m_JobLock);
        job.m_aChanges[0].AddTail(ChangedItem(u"/a.txt", CIK_MODIFIED));
        job.m_aChanges[0].AddTail(ChangedItem(u"/docs/new.txt", CIK_CREATED));
    }
    h.m_sink.ClearRecords();
    ASSERT_TRUE(run(false));
    EXPECT_EQ(job.m_nSyncOk.load(), 2) << h.m_sink.Dump();
    std::ifstream f(h.m_tmp.NativeSub("right/a.txt"));
    const std::string content = TvStreamText(f);
    EXPECT_EQ(content, "a, longer");
    EXPECT_TRUE(h.m_tmp.Exists("right/docs/new.txt"));
    const std::string log = h.m_sink.Dump();
    EXPECT_NE(log.find("Change in: " + h.m_tmp.NativeSub("left/a.txt")), std::string::npos) << log;
    EXPECT_EQ(log.find("Files: 2"), std::string::npos) << "a full scan listed the side again";
    expectOwnWritesOfWholeTree(3);
}

// On-change runs keep and expire the saved previous versions as whole runs
// do, also where the clean-up knows without a walk that nothing expired.
TEST(IncrementalRun, SavedVersionsExpireOnTimeAcrossOnChangeRuns) {
    CJobHarness h;
    h.m_tmp.MakeDir("left");
    h.m_tmp.MakeDir("right");
    for (const char* f : {"a.txt", "b.txt"}) h.m_tmp.WriteFile(std::string("left/") + f, "1");
    CMonitoredJob job;
    job.SetName(u"expiry");
    job.SetLeftFolder(NormalizeUrl(h.m_tmp.Path("left")));
    job.SetRightFolder(NormalizeUrl(h.m_tmp.Path("right")));
    job.m_Options.m_bSavePreviousVersion = 1;
    job.m_Options.m_bCleanupPreviousVersion = 1;
    job.m_Options.m_nSaveDaysPreviousVersion = 30;
    h.Attach(job);
    int nChange = 0;
    auto runAfter = [&](int nDays, const char* file, bool bFull = false) {
        h.m_clock.SleepMs((int64_t)nDays * 86400 * 1000);
        h.m_tmp.WriteFile(std::string("left/") + file, std::string((size_t)++nChange, 'v')); // a new size
        {
            CCritSectionLock lock(job.m_JobLock);
            job.m_aChanges[0].AddTail(ChangedItem(Utf8ToWide((std::string("/") + file).c_str()), CIK_MODIFIED));
        }
        job.m_bAnalyze = job.m_bSync = 1;
        job.m_nActivity.store(JA_ANALYZING);
        job.m_bFirstFullAnalyzePending = bFull;
        int k = 0;
        CWideString e;
        EXPECT_TRUE(job.ChangeAnalyzeSyncWorker(nullptr, k, e)) << ToU8(e) << h.m_sink.Dump();
        job.m_nActivity.store(JA_ANALYZED);
    };
    runAfter(0, "c.txt", true);
    runAfter(1, "a.txt"); // a's old version saved
    runAfter(10, "b.txt"); // b's saved, 10 days after a's
    const std::string savedA = "right/_tvdata_/_saved_/a.txt", savedB = "right/_tvdata_/_saved_/b.txt";
    ASSERT_TRUE(h.m_tmp.Exists(savedA) && h.m_tmp.Exists(savedB)) << h.m_sink.Dump();
    // New files from here: no version is saved, the records stay as they are.
    runAfter(15, "d.txt");
    EXPECT_TRUE(h.m_tmp.Exists(savedA) && h.m_tmp.Exists(savedB));
    runAfter(6, "e.txt"); // a's version is 31 days old
    EXPECT_FALSE(h.m_tmp.Exists(savedA));
    EXPECT_TRUE(h.m_tmp.Exists(savedB));
    runAfter(8, "f.txt");
    EXPECT_TRUE(h.m_tmp.Exists(savedB));
    runAfter(2, "g.txt"); // b's is 31 days old
    EXPECT_FALSE(h.m_tmp.Exists(savedB));
}

namespace {

// Lets a test act as a user at the moment the job's Sync has written an item.
class CAfterItemSink : public CRecordingSink {
public:
    std::function<void()> m_onWritten;
    void AfterItem(CSyncNode* pNode, int nEff, int nKind, const CWideString& path, bool bOk, int errKind,
                   const CWideString& reason) override {
        if (m_onWritten) std::exchange(m_onWritten, nullptr)();
        CRecordingSink::AfterItem(pNode, nEff, nKind, path, bOk, errKind, reason);
    }
};

} // namespace

// With the real monitors watching both sides: the job's own writes start no
// run of their own, while a user's edit of an item the Sync has just written
// is still taken.
TEST(IncrementalRun, OneChangeCausesOneRunAndAUserEditDuringTheSyncItsOwn) {
    CJobHarness h;
    ZorRealClock real; // the monitor threads wait in real time
    ZorClockScope clock(&real);
    h.m_tmp.MakeDir("left/docs");
    h.m_tmp.MakeDir("right");
    h.m_tmp.WriteFile("left/a.txt", "a");
    h.m_tmp.WriteFile("left/docs/b.txt", "b");
    CAfterItemSink sink;
    CMonitoredJob job;
    job.SetName(u"own");
    job.SetLeftFolder(NormalizeUrl(h.m_tmp.Path("left")));
    job.SetRightFolder(NormalizeUrl(h.m_tmp.Path("right")));
    job.m_Options.m_nOnFileChangeAction = 1;
    job.SetProgressSink(&sink);
    CWideString err;
    ASSERT_TRUE(job.TurnOnFileMonitors(err)) << ToU8(err);
    for (int i = 0; i < 400 && !(job.m_aMonitor[0].m_bStarted && job.m_aMonitor[1].m_bStarted); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int nRuns = 0;
    auto run = [&](bool bFull) {
        ++nRuns;
        job.m_bAnalyze = job.m_bSync = 1;
        job.m_nActivity.store(JA_ANALYZING);
        job.m_bFirstFullAnalyzePending = bFull;
        int k = 0;
        CWideString e;
        EXPECT_TRUE(job.ChangeAnalyzeSyncWorker(nullptr, k, e)) << ToU8(e) << sink.Dump();
        job.m_nActivity.store(JA_ANALYZED);
    };
    // As the tick: the user acts, then runs follow while the monitors report changes.
    auto runsAfter = [&](const std::function<void()>& user) {
        nRuns = 0;
        user();
        for (int round = 0; round < 5; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            job.GetNewChanges();
            if (job.CountSideChanges(0) + job.CountSideChanges(1) == 0) break;
            run(false);
        }
        return nRuns;
    };
    auto content = [&](const char* rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel));
        return TvStreamText(f);
    };

    EXPECT_EQ(runsAfter([&] { run(true); }), 1) << "the first run's own copies started another";
    EXPECT_EQ(runsAfter([&] {
                  h.m_tmp.WriteFile("left/a.txt", "a, longer");
                  h.m_tmp.WriteFile("left/docs/new.txt", "n");
              }),
              1);
    EXPECT_EQ(content("right/a.txt"), "a, longer");
    EXPECT_EQ(runsAfter([&] { std::filesystem::remove(h.m_tmp.NativeSub("left/docs/new.txt")); }), 1);
    EXPECT_FALSE(h.m_tmp.Exists("right/docs/new.txt"));
    // The user edits the right copy the moment the Sync has written it: that
    // edit is not the job's and gets a run that brings it to the left.
    sink.m_onWritten = [&] { h.m_tmp.WriteFile("right/a.txt", "the user's own edit"); };
    EXPECT_EQ(runsAfter([&] { h.m_tmp.WriteFile("left/a.txt", "a, third"); }), 2);
    EXPECT_EQ(content("left/a.txt"), "the user's own edit");
    EXPECT_EQ(content("right/a.txt"), "the user's own edit");
    // The same with an edit of the copy's size in the copy's second: its
    // identity or sub-second time tells it from the job's own write.
    sink.m_onWritten = [&] { h.m_tmp.WriteFile("right/a.txt", "b, fourth"); };
    EXPECT_EQ(runsAfter([&] { h.m_tmp.WriteFile("left/a.txt", "a, fourth"); }), 2);
    EXPECT_EQ(content("left/a.txt"), "b, fourth");
    job.TurnOffFileMonitors(u"end of test");
    job.SetProgressSink(&g_DummyJobProgress);
}

namespace {

// What a run left in the items, folder records and counters of a job.
std::vector<std::string> RunState(CSyncJob& job) {
    std::vector<std::string> out;
    CSyncDepthFirstIter it(job.GetPairsUnchecked());
    for (; it.IsValid(); it.Next()) {
        const CSyncPairAndAction& i = *it.GetItem();
        std::string s = ToU8(it.GetNode()->GetPath()) + " " + ToU8(i.GetReason()) + " " + ToU8(i.GetMove());
        for (uint64_t n : {(uint64_t)i.m_nSysAction, (uint64_t)i.m_nUserAction, (uint64_t)i.m_nExecState,
                           (uint64_t)i.m_nFlags, (uint64_t)i.m_aPendingGen[0], (uint64_t)i.m_aPendingGen[1],
                           i.GetWorkBytes(), i.GetStats() ? (uint64_t)i.GetStats()->m_Members.Total() : 99})
            s += " " + std::to_string(n);
        for (const CSideInfo* r : {&i.m_aCur[0], &i.m_aCur[1], &i.m_aOld[0], &i.m_aOld[1]})
            s += " " + std::to_string(r->m_nFlags) + "/" + std::to_string(r->m_Len.GetValue()) + "/" +
                 std::to_string(r->m_tAccu.GetTime());
        out.push_back(s);
    }
    for (const CItemCount& c : job.m_Stats.m_aCounts)
        out.push_back(std::to_string(c.m_nFiles) + "/" + std::to_string(c.m_nFolders));
    return out;
}

} // namespace

// On-change runs that visit only the changed subtrees end as runs over the
// whole tree do: two like pairs take the same changes, one job walks the
// whole tree, and after each analyse and each sync both jobs agree.
TEST(IncrementalRun, ChangedSubtreesOnlyEndAsWholeTreeRuns) {
    namespace fs = std::filesystem;
    const std::function<void(CSyncJobOptions&)> variants[] = {
        [](CSyncJobOptions&) {},
        [](CSyncJobOptions& o) { o.m_bDetectMovesAndRenames = false, o.m_bExcludeEmptyFolders = true; },
        [](CSyncJobOptions& o) { o.m_nDirection = JT_LEFT_TO_RIGHT, o.m_bPropagateDeletions = false; },
        [](CSyncJobOptions& o) { o.m_Filters.m_lstIncluded.AddTail(u"f*.txt"), o.m_bCompareMD5crc = true; },
    };
    auto setTime = [](const std::string& p, time_t t) {
        struct timeval tv[2] = {{t, 0}, {t, 0}};
        utimes(p.c_str(), tv);
    };
    auto write = [&](const std::string& p, const char* content, time_t t) {
        std::ofstream(p, std::ios::binary) << content;
        setTime(p, t);
    };
    // The folders a change touched (the item's folder, a new folder and what
    // it holds) get the test clock's time: the two pairs take each change at
    // the same moment, whatever the real clock did meanwhile.
    auto pinFolders = [&](const std::string& sideRoot, const char16_t* path, time_t t) {
        const fs::path item = sideRoot + ToU8(path);
        setTime(item.parent_path().string(), t);
        if (!fs::is_directory(item)) return;
        setTime(item.string(), t);
        for (const auto& e : fs::recursive_directory_iterator(item))
            if (e.is_directory()) setTime(e.path().string(), t);
    };
    using Change = std::tuple<int, const char16_t*, uint32_t>; // side, path, kind
    const std::vector<std::pair<std::function<void(const std::string&)>, std::vector<Change>>> steps = {
        {[&](const std::string& d) { write(d + "/L/d1/new.txt", "new", 1700001000); }, // a new file
         {{0, u"/d1/new.txt", CIK_CREATED}}},
        {[&](const std::string& d) { write(d + "/L/d2/f1.txt", "changed", 1700002000); },
         {{0, u"/d2/f1.txt", CIK_MODIFIED}}},
        {[&](const std::string& d) { fs::remove(d + "/R/d1/f2.txt"); }, {{1, u"/d1/f2.txt", CIK_DELETED}}},
        {[&](const std::string& d) { fs::remove_all(d + "/L/d3"); }, {{0, u"/d3", CIK_DELETED}}},
        {[&](const std::string& d) { fs::rename(d + "/L/d2/f2.txt", d + "/L/d2/renamed.txt"); },
         {{0, u"/d2/f2.txt", CIK_MOVED_FROM}, {0, u"/d2/renamed.txt", CIK_MOVED_TO}}},
        {[&](const std::string& d) { fs::rename(d + "/R/d4/s/f1.txt", d + "/R/d1/moved.txt"); },
         {{1, u"/d4/s/f1.txt", CIK_MOVED_FROM}, {1, u"/d1/moved.txt", CIK_MOVED_TO}}},
        {[&](const std::string& d) { // a conflict
             write(d + "/L/d4/f3.txt", "left edit", 1700003000);
             write(d + "/R/d4/f3.txt", "right's edit", 1700003100);
         },
         {{0, u"/d4/f3.txt", CIK_MODIFIED}, {1, u"/d4/f3.txt", CIK_MODIFIED}}},
        {[&](const std::string& d) { // a new folder, one of its files filtered
             fs::create_directories(d + "/L/d6");
             write(d + "/L/d6/skip.tmp", "x", 1700004000);
             write(d + "/L/d6/f1.txt", "y", 1700004000);
             write(d + "/L/d6/f2.txt", "z", 1700004000);
         },
         {{0, u"/d6", CIK_CREATED}, {0, u"/d6/f1.txt", CIK_CREATED}}},
        {[&](const std::string& d) { fs::create_directories(d + "/L/d2/empty"); },
         {{0, u"/d2/empty", CIK_CREATED}}},
    };
    // Folders' times are their birth times, which no test can set: the
    // sides tell their modification times instead, which the test sets.
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->bFolderBirthIsModTime = true;
    CFakeFsRegistration reg(plan);
    for (const auto& options : variants) {
        CJobHarness h;
        CMonitoredJob jobs[2]; // [1] walks the whole tree
        for (int j = 0; j < 2; ++j) {
            const std::string d = h.m_tmp.NativeSub(std::to_string(j));
            for (const char* f : {"/d1/f1.txt", "/d1/f2.txt", "/d2/f1.txt", "/d2/f2.txt", "/d3/f1.txt",
                                  "/d3/sub/f1.txt", "/d4/f3.txt", "/d4/s/f1.txt", "/d5/f1.txt"})
                for (const char* side : {"/L", "/R"}) {
                    fs::create_directories(fs::path(d + side + f).parent_path());
                    write(d + side + f, f, 1700000000);
                }
            for (const char* side : {"/L", "/R"})
                for (const auto& e : fs::recursive_directory_iterator(d + side))
                    if (e.is_directory()) setTime(e.path().string(), 1700000000);
            jobs[j].SetLeftFolder(Utf8ToWide(("fakefs://" + d + "/L").c_str()));
            jobs[j].SetRightFolder(Utf8ToWide(("fakefs://" + d + "/R").c_str()));
            jobs[j].m_Options.m_Filters.m_lstExcluded.AddTail(u"*.tmp");
            options(jobs[j].m_Options);
            jobs[j].m_bPassesOverWholeTree = (uint8_t)j;
            h.Attach(jobs[j]);
        }
        auto runBoth = [&](bool bFull, bool bSync) {
            for (CMonitoredJob& job : jobs) {
                job.m_bAnalyze = 1, job.m_bSync = bSync, job.m_bFirstFullAnalyzePending = bFull;
                job.m_nActivity.store(JA_ANALYZING);
                int k = 0;
                CWideString e;
                EXPECT_TRUE(job.ChangeAnalyzeSyncWorker(nullptr, k, e)) << ToU8(e);
                job.m_nActivity.store(JA_ANALYZED);
            }
            EXPECT_EQ(RunState(jobs[0]), RunState(jobs[1]));
        };
        runBoth(true, true);
        for (size_t n = 0; n < steps.size(); ++n) {
            SCOPED_TRACE(n);
            h.m_clock.SleepMs(5000);
            for (int j = 0; j < 2; ++j) {
                const std::string d = h.m_tmp.NativeSub(std::to_string(j));
                steps[n].first(d);
                CCritSectionLock lock(jobs[j].m_JobLock);
                for (const auto& [side, path, kind] : steps[n].second) {
                    pinFolders(d + (side ? "/R" : "/L"), path, (time_t)CZorTime::Now().GetTime());
                    jobs[j].m_aChanges[side].AddTail(ChangedItem(path, kind));
                }
            }
            runBoth(false, false); // the analyse alone, then again with its Sync
            runBoth(false, true);
            EXPECT_LT(jobs[0].m_nItemsDecided, jobs[1].m_nItemsDecided);
        }
        // A new rule reaches the items that did not change.
        for (CMonitoredJob& job : jobs) job.m_Options.m_Filters.m_lstExcluded.AddTail(u"f2*");
        runBoth(false, false);
    }
}

// The item of a name that is not UTF-8 is keyed apart from the valid name it
// is shown as; analysed again on its own, it stays an error.
TEST(IncrementalRun, ReAnalysedBadNameStaysAnError) {
    IncFixture f;
    f.h.m_tmp.WriteFile("left/caf\xEF\xBF\xBD.txt", "valid");
    f.h.m_tmp.WriteFile("left/caf\xE9.txt", "bad");
    CWideString err;
    ASSERT_TRUE(f.Apply({ChangedItem(u"", CIK_CHANGE_IN_FOLDER)}, 0, err)) << ToU8(err);
    f.job.QueueReAnalyzeChange(u"/caf\xDCFD.txt");
    ASSERT_TRUE(f.Apply({}, 0, err)) << ToU8(err);
    EXPECT_EQ(f.Node(u"/caf\xFFFD.txt")->GetItem().m_aCur[0].m_Len.GetValue(), 5u);
    CSyncTreeNode* pBad = f.Node(u"/caf\xDCFD.txt");
    ASSERT_TRUE(pBad);
    EXPECT_EQ(pBad->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_FALSE(pBad->GetItem().GetReason().IsEmpty());
}
