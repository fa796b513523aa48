// Sync and execution on real folders with hand-decided actions: copies,
// kept versions, deletions, moves and case changes, the checks against what
// Analyze saw, worker threads, failures that end the run, the in-sync stamp,
// the locks, and writes that must never leave the side's root.
#include "fake-fs.h"
#include "job-harness.h"
#include "test-tmp.h"

#include "syncjob-exec.h"
#include "zor-locstr.h"
#include "zor-text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

// One decided action: the item's path, its action and its move text.
struct Decision {
    std::string path;
    uint8_t action;
    std::string move;
};

// A job whose Analyze lists the named items of both sides into the tree
// (their folders too) and gives them the decided actions.
class CDecidedJob : public CSyncJob {
public:
    std::vector<Decision> decisions;
    std::function<void()> beforeSync; // runs between Analyze and Sync

    bool Analyze(const GlobalFilters*, bool, bool, bool, CWideString& summary, int&, CWideString&) override {
        for (const Decision& d : decisions) {
            CSyncTreeNode* node = GetPairsUnchecked();
            std::stringstream ss(d.path);
            std::string part, sofar;
            while (std::getline(ss, part, '/')) {
                sofar += "/" + part;
                CWideString e;
                CSyncTreeNode* child = node->LookupCS(W(part), true, nullptr, e);
                if (!child) {
                    e.Empty();
                    child = node->AddItemCS(W(part), false, true, nullptr, e);
                    for (int s = 0; s < 2; ++s) List(W(sofar), child->GetItem().m_aCur[s], s);
                    if (child->GetItem().IsFolder()) child->EnsureChildMap();
                }
                node = child;
            }
            node->GetItem().m_nSysAction = d.action;
            node->GetItem().SetMove(W(d.move));
        }
        m_bHasChanges = 1;
        summary = u"decided";
        if (beforeSync) beforeSync();
        return true;
    }
    void List(const CWideString& path, CSideInfo& rec, int side) {
        FsItemInfo info;
        bool bNotFound = false;
        int k = 0;
        CWideString e;
        if (!m_apFs[side]->GetInfo(path, info, bNotFound, k, e) || bNotFound) return;
        rec.SetPresent(true);
        rec.SetFolder(info.IsFolder());
        info.IsFolder() ? rec.m_Len.SetFolder() : rec.m_Len.SetValue((uint64_t)info.m_nSize);
        rec.m_tFile = rec.m_tAccu = info.m_nModTime;
        rec.m_nAttr = info.m_nAttributes;
        if (info.IsLink()) rec.SetFlag(SIF_LINK, true);
    }
};

class ExecTest : public ::testing::Test {
public:
    CJobHarness h;
    CDecidedJob job;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    std::unique_ptr<CFakeFsRegistration> reg;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        h.Attach(job);
        job.SetName(u"Docs");
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
    }
    void TearDown() override { job.SetProgressSink(&g_DummyJobProgress); }
    // Both sides through the test file system.
    void UseFakeFs() {
        reg = std::make_unique<CFakeFsRegistration>(plan);
        job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
        job.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
    }
    void Put(const std::string& rel, const std::string& content, time_t mtime = 1600000000) {
        std::string dir = rel.substr(0, rel.rfind('/'));
        h.m_tmp.MakeDir(dir);
        ASSERT_TRUE(h.m_tmp.WriteFile(rel, content));
        struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        utimes(h.m_tmp.NativeSub(rel).c_str(), tv);
    }
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        if (!f) return "<missing>";
        return TvStreamText(f);
    }
    time_t MTime(const std::string& rel) {
        struct stat st {};
        stat(h.m_tmp.NativeSub(rel).c_str(), &st);
        return st.st_mtime;
    }
    CJobHarness::RunResult Run() { return h.Run(job, true, true); }
    bool Logged(const std::string& part) const { return h.m_sink.Dump().find(part) != std::string::npos; }
    // Files named "._tvtmp" or "lock" left anywhere below a folder.
    bool Leftovers(const std::string& rel) {
        for (auto& e : std::filesystem::recursive_directory_iterator(h.m_tmp.NativeSub(rel))) {
            const std::string n = e.path().filename().string();
            if (n.find("._tvtmp") != std::string::npos || n.rfind("lock", 0) == 0) return true;
        }
        return false;
    }
};

// ---------------------------------------------------------------- whole runs

TEST_F(ExecTest, CopiesKeptVersionsDeletionsAndConflictsInOneRun) {
    Put("L/new.txt", "new left");
    Put("L/over.txt", "left v2", 1600000100);
    Put("R/over.txt", "right v1");
    Put("R/gone.txt", "delete me");
    Put("L/d/deep.txt", "deep");
    Put("L/c.txt", "left c");
    Put("R/c.txt", "right c");
    Put("L/same.txt", "same");
    Put("R/same.txt", "same");
    job.decisions = {{"new.txt", EA_COPY_LEFT_TO_RIGHT, ""},  {"over.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                     {"gone.txt", EA_COPY_LEFT_TO_RIGHT, ""}, {"d", EA_COPY_LEFT_TO_RIGHT, ""},
                     {"d/deep.txt", EA_COPY_LEFT_TO_RIGHT, ""}, {"c.txt", EA_CONFLICT, ""},
                     {"same.txt", EA_COPY_STATE_MERGE_GENS, ""}};
    auto r = Run();
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_EQ(r.nState, RS_SYNCED);
    EXPECT_EQ(r.nSub, RSS_ATTENTION);
    EXPECT_EQ(job.m_nSyncOk.load(), 6);
    EXPECT_EQ(job.m_nChangesOk.load(), 5);
    EXPECT_EQ(job.m_nConflicts.load(), 1);
    EXPECT_EQ(Get("R/new.txt"), "new left");
    EXPECT_EQ(Get("R/over.txt"), "left v2");
    EXPECT_EQ(MTime("R/over.txt"), 1600000100);
    EXPECT_EQ(Get("R/d/deep.txt"), "deep");
    EXPECT_EQ(Get("R/gone.txt"), "<missing>");
    // Replaced and deleted versions are kept.
    EXPECT_EQ(Get("R/_tvdata_/_saved_/over.txt"), "right v1");
    EXPECT_EQ(Get("R/_tvdata_/_saved_/gone.txt"), "delete me");
    // The conflict is untouched; no stamp after a Sync with a conflict.
    EXPECT_EQ(Get("R/c.txt"), "right c");
    EXPECT_EQ(Get("L/c.txt"), "left c");
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_insync_v4.tvl"));
    EXPECT_TRUE(h.m_tmp.Exists("L/_tvdata_/_file_state_v4._tv"));
    EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_/_file_state_v4._tv"));
    EXPECT_FALSE(Leftovers("L"));
    EXPECT_FALSE(Leftovers("R"));
}

TEST_F(ExecTest, CleanSyncStampsBothSidesAndWorkersGiveTheSameTrees) {
    for (int nThreads : {0, 4}) {
        SCOPED_TRACE(nThreads);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        h.m_sink.ClearRecords();
        Put("L/a.txt", "aaa");
        Put("R/b.txt", "bbb");
        Put("L/sub/c.txt", "ccc");
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.SetSideFolder(0, h.m_tmp.Path("L"));
        j.SetSideFolder(1, h.m_tmp.Path("R"));
        j.m_Options.m_nWorkerThreads = nThreads;
        j.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"b.txt", EA_COPY_RIGHT_TO_LEFT, ""},
                       {"sub", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"sub/c.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
        auto r = h.Run(j, true, true);
        EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
        EXPECT_EQ(r.nSub, RSS_OK);
        EXPECT_EQ(Get("R/a.txt"), "aaa");
        EXPECT_EQ(Get("L/b.txt"), "bbb");
        EXPECT_EQ(Get("R/sub/c.txt"), "ccc");
        if (nThreads == 4) {
            EXPECT_TRUE(Logged("Start only 3 threads, limited by tasks to run\n"));
        }
        for (const char* side : {"L", "R"}) {
            const std::string stamp = Get(std::string(side) + "/_tvdata_/_insync_v4.tvl");
            EXPECT_EQ(stamp.rfind("By: Docs.", 0), 0u) << stamp;
            EXPECT_EQ(std::count(stamp.begin(), stamp.end(), '\n'), 1);
            EXPECT_FALSE(Leftovers(side));
        }
        EXPECT_EQ(j.m_nSyncOk.load(), 4);
        j.SetProgressSink(&g_DummyJobProgress);
    }
}

TEST_F(ExecTest, ItemFailuresAndRunEndingFailures) {
    struct Case {
        const char* name;
        const char* op;
        int kind;
        int sub;
        const char* text;
    };
    const Case cases[] = {
        {"item error", "MoveFile", FSE_GENERAL, RSS_ATTENTION, "injected"},
        // A full disk fails the item that does not fit, not the run.
        {"quota", "MoveFile", FSE_QUOTA, RSS_ATTENTION, "is full: the items that do not fit are left out"},
        {"out of memory", "MoveFile", FSE_NO_MEMORY, RSS_FAILED, "Terminal Sync Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        h.m_tmp.MakeDir("R");
        h.m_sink.ClearRecords();
        plan = std::make_shared<CFakeFsPlan>();
        UseFakeFs();
        Put("L/a.txt", "aaa");
        Put("L/b.txt", "bbb");
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
        j.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
        j.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""}, {"b.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
        plan->Fail("MoveFile", c.kind, u"injected", 0, 1);
        auto r = h.Run(j, true, true);
        EXPECT_EQ(r.nSub, c.sub) << h.m_sink.Dump();
        bool bSaw = Logged(c.text);
        for (const auto& p : h.m_sink.ProgressLines()) bSaw = bSaw || ToU8(p.text) == c.text;
        EXPECT_TRUE(bSaw);
        // State files are written whatever happened, and no temporary is left.
        EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_/_file_state_v4._tv"));
        EXPECT_FALSE(Leftovers("R"));
        EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_/_insync_v4.tvl"));
        j.SetProgressSink(&g_DummyJobProgress);
        reg.reset();
    }
}

TEST_F(ExecTest, WorkerThatCannotConnectEndsTheRun) {
    UseFakeFs();
    Put("L/a.txt", "aaa");
    Put("L/b.txt", "bbb");
    job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
    job.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
    job.m_Options.m_nWorkerThreads = 2;
    job.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""}, {"b.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
    // The job's own two connects work, every worker's fails.
    plan->Fail("Connect", FSE_GENERAL, u"refused", 2, 100);
    auto r = Run();
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_TRUE(Logged("worker thread failed: cannot connect to")) << h.m_sink.Dump();
}

// ---------------------------------------------------------------- checks against Analyze

TEST_F(ExecTest, SideChangedSinceAnalyze) {
    struct Case {
        const char* name;
        std::function<void(ExecTest&)> change;
        bool bCopied;
        const char* line;
    };
    const Case cases[] = {
        {"destination changed", [](ExecTest& t) { t.Put("R/f.txt", "user edit!!", 1600000500); }, false,
         "Destination file has changed since Analyze. Re-Analyze required"},
        {"source grew", [](ExecTest& t) { t.Put("L/f.txt", "left, longer now", 1600000600); }, true,
         "has changed since Analyze, but proceed with Sync"},
        {"source vanished", [](ExecTest& t) { unlink(t.h.m_tmp.NativeSub("L/f.txt").c_str()); }, false,
         "/L/f.txt: No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        h.m_sink.ClearRecords();
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        Put("L/f.txt", "left", 1600000100);
        Put("R/f.txt", "right");
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.SetSideFolder(0, h.m_tmp.Path("L"));
        j.SetSideFolder(1, h.m_tmp.Path("R"));
        j.m_Options.m_bSameBeforeSyncAsInAnalyze = true;
        j.decisions = {{"f.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
        j.beforeSync = [&] { c.change(*this); };
        auto r = h.Run(j, true, true);
        EXPECT_TRUE(Logged(c.line)) << h.m_sink.Dump();
        if (c.bCopied) {
            EXPECT_EQ(r.nSub, RSS_OK);
            EXPECT_EQ(Get("R/f.txt"), Get("L/f.txt"));
        } else {
            EXPECT_EQ(r.nSub, RSS_ATTENTION);
            EXPECT_NE(Get("R/f.txt"), "left");
        }
        j.SetProgressSink(&g_DummyJobProgress);
    }
}

// ---------------------------------------------------------------- moves, case changes, times

TEST_F(ExecTest, RenameIsOneMoveAndNeverReplacesAFileThatAppeared) {
    UseFakeFs();
    job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
    job.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
    Put("L/new-name.txt", "content");
    Put("R/old-name.txt", "content");
    Put("L/x.txt", "x");
    Put("R/y.txt", "x");
    job.decisions = {{"old-name.txt", EA_COPY_LEFT_TO_RIGHT, ">/new-name.txt"},
                     {"new-name.txt", EA_COPY_LEFT_TO_RIGHT, "</old-name.txt"},
                     {"y.txt", EA_COPY_LEFT_TO_RIGHT, ">/x.txt"},
                     {"x.txt", EA_COPY_LEFT_TO_RIGHT, "</y.txt"}};
    // A file the user made at the second move's destination after Analyze.
    job.beforeSync = [&] { Put("R/x.txt", "user's own"); };
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << h.m_sink.Dump();
    EXPECT_EQ(Get("R/new-name.txt"), "content");
    EXPECT_EQ(Get("R/old-name.txt"), "<missing>");
    EXPECT_EQ(Get("R/x.txt"), "user's own");
    EXPECT_EQ(Get("R/y.txt"), "x");
    EXPECT_TRUE(Logged("Re-Analyze required"));
    EXPECT_EQ(job.m_nSyncErr.load(), 1); // the failed move; its partner is marked with it
}

TEST_F(ExecTest, CaseChangeRenamesAndTimeCopySetsTheTimeOnly) {
    Put("L/Report.txt", "same");
    Put("R/report.txt", "same");
    Put("L/t.txt", "tt", 1600000900);
    Put("R/t.txt", "tt", 1600000000);
    job.decisions = {{"report.txt", EA_NAME_CASE_LEFT_TO_RIGHT, ""}, {"t.txt", EA_TIME_LEFT_TO_RIGHT, ""}};
    // The item's key is the right side's name; the left side names it Report.txt.
    job.beforeSync = [&] {
        CWideString e;
        job.GetPairsUnchecked()->LookupCS(u"report.txt", true, nullptr, e)->GetItem().m_aCur[0].m_sId = u"Report.txt";
    };
    Put("L/report.txt", "same"); // listed under the key on the left while Analyze runs
    job.beforeSync = [&, prev = job.beforeSync] {
        unlink(h.m_tmp.NativeSub("L/report.txt").c_str());
        prev();
    };
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_EQ(h.m_tmp.List("R"), (std::vector<std::string>{"Report.txt", "_tvdata_", "t.txt"}));
    EXPECT_EQ(MTime("R/t.txt"), 1600000900);
    EXPECT_EQ(Get("R/t.txt"), "tt");
}

TEST_F(ExecTest, UnknownSourceTimeKeepsTheCopysTime) {
    // A source side that cannot read exact times, whose listing no longer
    // matches the record: no time is known, and none is set.
    UseFakeFs();
    job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
    job.SetSideFolder(1, h.m_tmp.Path("R"));
    plan->SetCap(TVFS_CAP_MOD_TIMES, 0);
    Put("L/a.txt", "aaa", 1600000000);
    job.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
    job.beforeSync = [&] {
        CWideString e;
        job.GetPairsUnchecked()->LookupCS(u"a.txt", true, nullptr, e)->GetItem().m_aCur[0].m_tFile = 1500000000;
    };
    auto r = Run();
    EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
    EXPECT_GT(MTime("R/a.txt"), 1600000000); // the copy's own time, never 1970
}

TEST_F(ExecTest, FileListedLateIsLookedForTwiceMore) {
    struct Case {
        int nHidden;
        bool bOk;
        const char* line;
    };
    for (const Case& c : {Case{2, true, "File not there after upload, try again."},
                          Case{3, false, "File disappeared after Sync: "}}) {
        SCOPED_TRACE(c.nHidden);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        h.m_tmp.MakeDir("R");
        h.m_sink.ClearRecords();
        plan = std::make_shared<CFakeFsPlan>();
        UseFakeFs();
        plan->SetCap(TVFS_CAP_LISTED_LATE, 1);
        Put("L/a.txt", "aaa");
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.SetSideFolder(0, h.m_tmp.Path("L"));
        j.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
        j.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
        j.beforeSync = [&] {
            std::lock_guard<std::mutex> g(plan->lock);
            plan->hidePath = "/a.txt";
            plan->nHideTimes = c.nHidden;
        };
        const int64_t sleptBefore = h.m_clock.GetSleptMs();
        auto r = h.Run(j, true, true);
        EXPECT_EQ(r.nSub, c.bOk ? RSS_OK : RSS_ATTENTION) << h.m_sink.Dump();
        EXPECT_TRUE(Logged(c.line));
        // Waits of 1 and then 2 seconds between the looks.
        EXPECT_GE(h.m_clock.GetSleptMs() - sleptBefore, 3000);
        j.SetProgressSink(&g_DummyJobProgress);
        reg.reset();
    }
}

TEST_F(ExecTest, StoppedDirectCopyLeavesNoPartialFile) {
    // A sink that asks for a stop as soon as the copy reports progress.
    struct StopOnProgress : CRecordingSink {
        bool OnProgress(bool up, int64_t done, int64_t total, int& k, CWideString& e) override {
            if (done > 0) RequestStop();
            return CbJobProgress::OnProgress(up, done, total, k, e);
        }
    } sink;
    job.SetProgressSink(&sink);
    job.m_Options.m_bCopyUsingTempFile = false;
    Put("L/big.bin", std::string(6 << 20, 'b'));
    Put("R/big.bin", "the old one");
    job.decisions = {{"big.bin", EA_COPY_LEFT_TO_RIGHT, ""}};
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_STOPPED) << sink.Dump();
    // The old file stands as it was (or is kept), and nothing half-written is left.
    const std::string now = Get("R/big.bin");
    EXPECT_TRUE(now == "the old one" || Get("R/_tvdata_/_saved_/big.bin") == "the old one") << now.size();
    EXPECT_TRUE(now == "the old one" || now.size() == (6u << 20));
    for (const std::string& n : h.m_tmp.List("R")) EXPECT_TRUE(n == "big.bin" || n == "_tvdata_") << n;
    job.SetProgressSink(&g_DummyJobProgress);
}

TEST_F(ExecTest, SidesWithoutSecondNamesStillLockAndKeepVersions) {
    // A drive that cannot link (FAT): the lock is written and read back, the
    // replaced version is copied aside before the new file is renamed over it.
    UseFakeFs();
    job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
    job.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
    plan->Fail("LinkFile", FSE_GENERAL, u"Operation not permitted", 0, 1000);
    Put("L/f.txt", "new", 1600000100);
    Put("R/f.txt", "old");
    job.decisions = {{"f.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_GT(plan->Calls("LinkFile"), 0);
    EXPECT_EQ(Get("R/f.txt"), "new");
    EXPECT_EQ(Get("R/_tvdata_/_saved_/f.txt"), "old");
    EXPECT_EQ(Get("R/_tvdata_/_insync_v4.tvl").rfind("By: Docs.", 0), 0u);
}

// ---------------------------------------------------------------- scheduler

TEST_F(ExecTest, DeletionOrderAndOneCallForANativeFolderDelete) {
    for (int nTreeDelete : {0, 1}) {
        SCOPED_TRACE(nTreeDelete);
        plan = std::make_shared<CFakeFsPlan>();
        UseFakeFs();
        plan->SetCap(TVFS_CAP_DELETE_TREE, nTreeDelete);
        Put("R/old/a.txt", "a");
        Put("R/old/b.txt", "b");
        Put("R/x", "file becomes folder");
        Put("L/x/in.txt", "in");
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.m_Options.m_bSavePreviousVersion = false;
        j.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
        j.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
        j.decisions = {{"old", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"old/a.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"old/b.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"x", EA_COPY_LEFT_TO_RIGHT, ""},
                       {"x/in.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
        h.m_sink.ClearRecords();
        auto r = h.Run(j, true, true);
        EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
        EXPECT_FALSE(h.m_tmp.Exists("R/old"));
        EXPECT_EQ(Get("R/x/in.txt"), "in");
        // Children go before their folder, one by one unless the side
        // deletes a tree at once; the file "x" goes before its folder comes.
        const std::string log = h.m_sink.Dump();
        const size_t a = log.find("Delete File '" + h.m_tmp.NativeSub("R/old/a.txt"));
        const size_t f = log.find("Delete Folder '" + h.m_tmp.NativeSub("R/old"));
        EXPECT_NE(f, std::string::npos);
        EXPECT_EQ(a == std::string::npos, nTreeDelete == 1);
        if (a != std::string::npos) {
            EXPECT_LT(a, f);
        }
        EXPECT_EQ(plan->Calls("DeleteFolder"), 1);
        EXPECT_LT(log.find("Delete Folder"), log.find("Create Folder"));
        j.SetProgressSink(&g_DummyJobProgress);
        reg.reset();
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
    }
}

// ---------------------------------------------------------------- safety

TEST_F(ExecTest, FolderSwappedForALinkIsNeverWrittenThrough) {
    ASSERT_TRUE(h.m_tmp.MakeDir("outside"));
    Put("outside/victim.txt", "keep me");
    Put("L/sub/victim.txt", "from left");
    Put("L/sub/new.txt", "new");
    Put("R/sub/victim.txt", "old right");
    Put("R/sub/gone.txt", "x");
    job.decisions = {{"sub/victim.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                     {"sub/new.txt", EA_COPY_LEFT_TO_RIGHT, ""},
                     {"sub/gone.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
    job.beforeSync = [&] {
        std::filesystem::rename(h.m_tmp.NativeSub("R/sub"), h.m_tmp.NativeSub("R-sub-moved"));
        std::filesystem::create_directory_symlink(h.m_tmp.NativeSub("outside"), h.m_tmp.NativeSub("R/sub"));
        Put("outside/gone.txt", "keep me too");
    };
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << h.m_sink.Dump();
    EXPECT_EQ(h.m_tmp.List("outside"), (std::vector<std::string>{"gone.txt", "victim.txt"}));
    EXPECT_EQ(Get("outside/victim.txt"), "keep me");
    EXPECT_EQ(Get("outside/gone.txt"), "keep me too");
    EXPECT_TRUE(Logged("a folder in the path is a link, not followed"));
}

TEST_F(ExecTest, TwoJobsLockingOneFolderAtOnceOneProceeds) {
    ASSERT_TRUE(h.m_tmp.MakeDir("L/_tvdata_"));
    for (int round = 0; round < 20; ++round) {
        CSyncJob a, b;
        a.SetName(u"A");
        b.SetName(u"B");
        for (CSyncJob* j : {&a, &b}) {
            j->SetSideFolder(0, h.m_tmp.Path("L"));
            j->SetSideFolder(1, h.m_tmp.Path("R"));
            int k = 0;
            CWideString e;
            ASSERT_TRUE(j->ConnectSide(0, k, e)) << ToU8(e);
        }
        std::atomic<int> go{0};
        bool ok[2] = {false, false};
        auto lock = [&](CSyncJob* j, bool* out) {
            while (!go.load()) {
            }
            int k = 0;
            CWideString e;
            *out = j->LockFolder(CWideString(), 0, false, k, e);
        };
        std::thread ta(lock, &a, &ok[0]), tb(lock, &b, &ok[1]);
        go.store(1);
        ta.join();
        tb.join();
        EXPECT_EQ(ok[0] + ok[1], 1) << "round " << round;
        a.m_bSyncEndedClean = b.m_bSyncEndedClean = 0;
        a.UnlockFolders();
        b.UnlockFolders();
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/lock.tvl"));
    }
}

TEST_F(ExecTest, OwnAbandonedLockIsKnownWhenTheJobNameHoldsAt) {
    job.SetName(u"Nightly at: 2");
    ASSERT_TRUE(h.m_tmp.MakeDir("L/_tvdata_"));
    int k = 0;
    CWideString e;
    ASSERT_TRUE(job.ConnectSide(0, k, e));
    const std::string mine = ToU8(Utf8ToWide(job.GetLockOwner())) + " at: 2020.01.01 00:00:00 GMT\n/x";
    Put("L/_tvdata_/lock.tvl", mine);
    EXPECT_TRUE(job.CheckLockFolder(CWideString(), 0, k, e)) << ToU8(e);
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/lock.tvl"));
}

// ---------------------------------------------------------------- writes racing the Sync

// Runs a step once the copy of a file of nSize bytes is under way.
struct StepSink : CRecordingSink {
    int64_t nSize = -1;
    std::function<void()> step;
    bool OnProgress(bool up, int64_t done, int64_t total, int& k, CWideString& e) override {
        if (total == nSize && done > 0 && step) std::exchange(step, nullptr)();
        return CbJobProgress::OnProgress(up, done, total, k, e);
    }
};

TEST_F(ExecTest, WritesDuringTheSyncLeaveNoTornOrReplacedFile) {
    struct Case {
        const char* name;
        Decision decision;
        bool bDirect;
        const char* path; // rewritten in place while copied, or made at the name after Analyze
        std::string after;
        const char* line;
        // The source's time put back after the write: rewritten in place
        // ('k'), or another file renamed over it ('r').
        char keep = 0;
    };
    const Case cases[] = {
        {"source rewritten",
         {"big.bin", EA_COPY_LEFT_TO_RIGHT, ""},
         false,
         "L/big.bin",
         "<missing>",
         "changed while copied"},
        {"source rewritten, its time put back",
         {"big.bin", EA_COPY_LEFT_TO_RIGHT, ""},
         false,
         "L/big.bin",
         "<missing>",
         "changed while copied",
         'k'},
        {"source rewritten, its time put back, direct copy",
         {"big.bin", EA_COPY_LEFT_TO_RIGHT, ""},
         true,
         "L/big.bin",
         "<missing>",
         "changed while copied",
         'k'},
        {"another file of the source's size and time renamed over it",
         {"big.bin", EA_COPY_LEFT_TO_RIGHT, ""},
         false,
         "L/big.bin",
         "<missing>",
         "changed while copied",
         'r'},
        {"direct copy",
         {"new.txt", EA_COPY_LEFT_TO_RIGHT, ""},
         true,
         "R/new.txt",
         "mine",
         "Re-Analyze required"},
        {"case change",
         {"report.txt", EA_NAME_CASE_LEFT_TO_RIGHT, ""},
         false,
         "R/Report.txt",
         "mine",
         "Re-Analyze required"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        Put("L/big.bin", std::string(6 << 20, 'o'));
        Put("L/new.txt", "new left");
        Put("L/report.txt", "same");
        Put("R/report.txt", "same");
        StepSink sink;
        CDecidedJob j;
        j.SetProgressSink(&sink);
        j.SetSideFolder(0, h.m_tmp.Path("L"));
        j.SetSideFolder(1, h.m_tmp.Path("R"));
        j.m_Options.m_bCopyUsingTempFile = !c.bDirect;
        j.decisions = {c.decision};
        const std::string native = h.m_tmp.NativeSub(c.path);
        j.beforeSync = [&] {
            sink.nSize = c.path[0] == 'L' ? 6 << 20 : 8;
            sink.step = [&] {
                if (c.path[0] == 'R') return Put(c.path, "mine");
                struct stat was {};
                stat(native.c_str(), &was);
                const std::string other = c.keep == 'r' ? native + ".new" : native;
                if (c.keep == 'r') {
                    ASSERT_TRUE(h.m_tmp.WriteFile(std::string(c.path) + ".new", std::string(6 << 20, 'o')));
                }
                std::fstream(other, std::ios::in | std::ios::out | std::ios::binary) << std::string(65536, 'N');
                const struct timespec t[2] = {was.st_atim, was.st_mtim};
                if (c.keep) {
                    ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), t, 0), 0);
                }
                if (c.keep == 'r') {
                    ASSERT_EQ(rename(other.c_str(), native.c_str()), 0);
                }
            };
            if (c.decision.action != EA_NAME_CASE_LEFT_TO_RIGHT) return;
            // The left side names the file Report.txt; one of the user's own appears at that name.
            CWideString e;
            j.GetPairsUnchecked()->LookupCS(u"report.txt", true, nullptr, e)->GetItem().m_aCur[0].m_sId =
                u"Report.txt";
            rename(h.m_tmp.NativeSub("L/report.txt").c_str(), h.m_tmp.NativeSub("L/Report.txt").c_str());
            std::exchange(sink.step, nullptr)();
        };
        auto r = h.Run(j, true, true);
        EXPECT_EQ(r.nSub, RSS_ATTENTION);
        EXPECT_NE(sink.Dump().find(c.line), std::string::npos) << sink.Dump();
        EXPECT_TRUE(Get(std::string("R") + (c.path + 1)) == c.after);
        EXPECT_FALSE(Leftovers("R"));
        j.SetProgressSink(&g_DummyJobProgress);
    }
}

// A job with a real Analyze over L and R of dir, through the test file system.
void SetUpPlainJob(CSyncJob& j, const std::string& dir, bool bFake) {
    j.SetName(u"Plain");
    j.SetSideFolder(0, W((bFake ? "fakefs://" : "") + dir + "/L"));
    j.SetSideFolder(1, W((bFake ? "fakefs://" : "") + dir + "/R"));
}

// The child of the next test: one run, killed where it first sets a time.
TEST(KilledCopyChild, RunsUntilKilled) {
    const char* dir = getenv("TV_KILLED_COPY_DIR");
    if (!dir) GTEST_SKIP() << "started by KilledBeforeTheTimeIsSetLeavesNoFalseConflict only";
    auto plan = std::make_shared<CFakeFsPlan>();
    CFakeFsRegistration reg(plan);
    plan->KillAt("SetFileModTime");
    CJobHarness h;
    CSyncJob j;
    h.Attach(j);
    SetUpPlainJob(j, dir, true);
    h.Run(j, true, true);
    _exit(0);
}

TEST_F(ExecTest, KilledBeforeTheTimeIsSetLeavesNoFalseConflict) {
    UseFakeFs();
    CSyncJob j;
    h.Attach(j);
    SetUpPlainJob(j, h.m_tmp.Native(), true);
    Put("L/f.txt", "version one", 1600000000);
    ASSERT_EQ(h.Run(j, true, true).nSub, RSS_OK) << h.m_sink.Dump();
    Put("L/f.txt", "version two", 1600000100);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=KilledCopyChild.*", env = "TV_KILLED_COPY_DIR=" + h.m_tmp.Native();
    // The killed child's temporary folder lies in ours, and goes with it.
    std::string childTmp = "TMPDIR=" + h.m_tmp.NativeSub("child-tmp");
    h.m_tmp.MakeDir("child-tmp");
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "TMPDIR=", 7) != 0) envp.push_back(*e);
    envp.push_back(childTmp.data());
    envp.push_back(env.data());
    envp.push_back(nullptr);
    char* argv[] = {(char*)self.c_str(), filter.data(), nullptr};
    pid_t pid = 0;
    int st = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << st;
    // The old file, or the whole new one with its time; the next run then goes clean.
    EXPECT_TRUE(Get("R/f.txt") == "version one" || MTime("R/f.txt") == 1600000100);
    EXPECT_EQ(h.Run(j, true, true).nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_EQ(Get("R/f.txt"), "version two");
    EXPECT_EQ(MTime("R/f.txt"), 1600000100);
    j.SetProgressSink(&g_DummyJobProgress);
}

TEST_F(ExecTest, CopyLeftBesideItsTargetByAKilledRunGoesAtTheNextRun) {
    // Only where the job copies beside the target is such a name its own.
    for (bool bTemp : {false, true}) {
        // A copy on its way to a file that this run does not copy, made just now by the test clock.
        const std::string left = "R/sub/" + std::string(Md5HexOfText("/sub/y.txt").GetString()) + "._tvtmp";
        Put("L/sub/x.txt", "x");
        Put(left, "partial", 1700000000);
        CSyncJob j;
        h.Attach(j);
        SetUpPlainJob(j, h.m_tmp.Native(), false);
        j.m_Options.m_bCopyUsingTempFile = bTemp;
        EXPECT_EQ(h.Run(j, true, true).nSub, RSS_OK) << h.m_sink.Dump();
        EXPECT_EQ(h.m_tmp.Exists(left), bTemp);
        j.SetProgressSink(&g_DummyJobProgress);
    }
}

// ---------------------------------------------------------------- each item's own failure

TEST_F(ExecTest, EachFailedItemKeepsItsOwnReasonWithOrWithoutWorkers) {
    for (int nThreads : {0, 2}) {
        SCOPED_TRACE(nThreads);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        plan = std::make_shared<CFakeFsPlan>();
        UseFakeFs();
        CDecidedJob j;
        h.Attach(j);
        j.SetName(u"Docs");
        j.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
        j.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
        j.m_Options.m_nWorkerThreads = nThreads;
        for (const char* n : {"a.txt", "b.txt", "c.txt"}) {
            Put(std::string("L/") + n, n);
            j.decisions.push_back({n, EA_COPY_LEFT_TO_RIGHT, ""});
        }
        Put("R/gone.txt", "to delete");
        j.decisions.push_back({"gone.txt", EA_COPY_LEFT_TO_RIGHT, ""});
        // Every rename fails, and nothing stands at the names.
        plan->Fail("MoveFile", FSE_GENERAL, u"Permission denied", 0, 1000);
        plan->Fail("LinkFile", FSE_GENERAL, u"Permission denied", 0, 1000);
        auto r = h.Run(j, true, true);
        EXPECT_EQ(r.nSub, RSS_ATTENTION);
        EXPECT_EQ(j.m_nSyncErr.load(), 4);
        EXPECT_TRUE(r.sResult.IsEmpty()) << ToU8(r.sResult); // the run itself ended normally
        for (const Decision& d : j.decisions) {
            CWideString e;
            CSyncTreeNode* node = j.GetPairsUnchecked()->LookupCS(W(d.path), true, nullptr, e);
            const std::string why = ToU8(node->GetItem().GetReason());
            EXPECT_NE(why.find("Permission denied"), std::string::npos) << d.path;
            EXPECT_EQ(why.find("Permission denied"), why.rfind("Permission denied")) << why;
            EXPECT_EQ(why.find("Re-Analyze required"), std::string::npos) << why;
        }
        j.SetProgressSink(&g_DummyJobProgress);
        reg.reset();
    }
}

TEST_F(ExecTest, AnEarlierItemsFailureNeverStopsALaterReconnect) {
    UseFakeFs();
    StepSink sink;
    job.SetProgressSink(&sink);
    job.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
    job.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
    Put("L/a.txt", "aaa");
    Put("L/b.txt", "bbbbb");
    job.decisions = {{"a.txt", EA_COPY_LEFT_TO_RIGHT, ""}, {"b.txt", EA_COPY_LEFT_TO_RIGHT, ""}};
    plan->Fail("MoveFile", FSE_GENERAL, u"injected", 0, 1);
    // The right side's connection drops in the listing after b.txt's copy; the listing is tried again.
    plan->SetCap(TVFS_CAP_LISTED_LATE, 1);
    sink.nSize = 5;
    sink.step = [&] { plan->Disconnect("GetInfo"); };
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << sink.Dump();
    EXPECT_EQ(Get("R/b.txt"), "bbbbb");
    EXPECT_EQ(plan->Connects(), 3); // both sides, then the reconnect
    job.SetProgressSink(&g_DummyJobProgress);
}

// ---------------------------------------------------------------- thresholds and pending work

TEST(AutoSyncLimits, ThresholdsOfAnUnattendedRun) {
    struct Case {
        int kind, limit;
        uint32_t total, changed, nNew;
        bool allowed;
        const char* line;
    };
    const Case cases[] = {
        {RK_AUTOMATIC, 5, 101, 7, 0, false, "6% (7 / 101) files have changed, more than a threshold of 5%"},
        {RK_AUTOMATIC, 5, 101, 6, 0, true, "6 or less items changed, so allow automatic sync"},
        {RK_AUTOMATIC, 10, 200, 200, 200, true, "Most files are new (no overwrites or deletes)"},
        {RK_AUTOMATIC, 10, 1000, 50, 0, true, "low enough to perform Auto Sync: 5% (50 / 1000) < 10%"},
        {RK_USER, 5, 101, 90, 0, true, ""},
        {RK_AUTOMATIC, 5, 0, 0, 0, true, ""},
    };
    for (const Case& c : cases) {
        CJobHarness h;
        CSyncJob job;
        h.Attach(job);
        job.m_nRunKind = c.kind;
        job.m_Options.m_nLimitChangesPercent = c.limit;
        CItemCount stats[25];
        stats[0].m_nFiles = c.total;
        stats[1].m_nFiles = c.changed;
        stats[6].m_nFiles = c.nNew;
        int k = 0;
        CWideString e;
        EXPECT_EQ(job.CheckAutoSyncLimits(stats, k, e), c.allowed) << c.line;
        EXPECT_NE((ToU8(e) + h.m_sink.Dump()).find(c.line), std::string::npos) << c.line;
        if (!c.allowed) {
            EXPECT_EQ(job.GetRunSubState(), RSS_REFUSED);
        }
        job.SetProgressSink(&g_DummyJobProgress);
    }
}

TEST(PendingItems, NestedDataFolderKeptOnlyWhereSomethingIsWritten) {
    CSyncJob job;
    CSyncPairsAndActions* root = job.GetPairsUnchecked();
    CWideString e;
    CSyncTreeNode* a = root->AddItemCS(u"a", true, true, nullptr, e);
    CSyncTreeNode* b = root->AddItemCS(u"b", true, true, nullptr, e);
    CSyncTreeNode* c = root->AddItemCS(u"c", true, true, nullptr, e);
    a->AddItemCS(u"x", false, true, nullptr, e)->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    b->AddItemCS(u"y", false, true, nullptr, e);
    // Only the user's choice writes below c.
    c->AddItemCS(u"z", false, true, nullptr, e)->GetItem().m_nUserAction = EA_COPY_RIGHT_TO_LEFT;
    for (CSyncTreeNode* n : {a, b, c}) n->GetItem().m_aHoldsDataFolder[0] = 1;
    EXPECT_EQ(job.CountPendingItems(root), 2);
    EXPECT_EQ(a->GetItem().m_aHoldsDataFolder[0], 1);
    EXPECT_EQ(b->GetItem().m_aHoldsDataFolder[0], 0);
    EXPECT_EQ(c->GetItem().m_aHoldsDataFolder[0], 1);
}

} // namespace
