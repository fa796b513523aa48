// Whole Analyze runs over two real local folders: a synced pair is made, a
// change is applied, and the decided action of every item is checked, along
// with the driver's texts and run states. Nothing may change on disk.
#include "fake-fs.h"
#include "job-harness.h"

#include "zor-locstr.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <map>

namespace {

constexpr uint32_t kCommonGen = 1690000000;
constexpr int64_t kFileTime = 1600000000;

class AnalyzeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        h.Attach(job);
        job.SetName(u"Pair");
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
    }
    void TearDown() override { job.SetProgressSink(&g_DummyJobProgress); }

    // Writes the file on one side ("L" or "R") with a fixed time.
    void Put(const std::string& side, const std::string& rel, const std::string& text, int64_t t = kFileTime) {
        const std::string path = side + "/" + rel;
        const size_t slash = path.rfind('/');
        ASSERT_TRUE(h.m_tmp.MakeDir(path.substr(0, slash)));
        ASSERT_TRUE(h.m_tmp.WriteFile(path, text));
        SetTime(side, rel, t);
    }
    void Both(const std::string& rel, const std::string& text = "content") {
        Put("L", rel, text);
        Put("R", rel, text);
    }
    void SetTime(const std::string& side, const std::string& rel, int64_t t) {
        struct timeval tv[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
        ASSERT_EQ(utimes(h.m_tmp.NativeSub(side + "/" + rel).c_str(), tv), 0);
    }
    void Remove(const std::string& side, const std::string& rel) {
        std::error_code ec;
        std::filesystem::remove_all(h.m_tmp.NativeSub(side + "/" + rel), ec);
    }
    void Rename(const std::string& side, const std::string& from, const std::string& to) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(h.m_tmp.NativeSub(side + "/" + to)).parent_path(),
                                            ec);
        std::filesystem::rename(h.m_tmp.NativeSub(side + "/" + from), h.m_tmp.NativeSub(side + "/" + to), ec);
        ASSERT_FALSE(ec) << ec.message();
    }

    // Analyzes what is on disk and records it as synced: old records = the
    // listed ones, one common generation, state files written on both sides.
    void MakeSyncedPair() {
        ASSERT_TRUE(Analyze().bOk) << h.m_sink.Dump();
        int failed = 0, k = 0;
        CWideString e;
        ASSERT_TRUE(job.ConnectSides(failed, k, e)) << ToU8(e);
        CSyncDepthFirstIter it(&job.m_Tree);
        for (; it.IsValid(); it.Next()) {
            CSyncPairAndAction& item = *it.GetItem();
            if (item.IsExcluded()) continue;
            for (int s = 0; s < 2; s++) {
                item.m_aOld[s] = item.m_aCur[s];
                item.m_aGens[s].RemoveAll();
                if (item.m_aCur[s].Exists()) item.m_aGens[s].Add(CSyncTime(kCommonGen));
            }
            ClearPending(item);
        }
        for (int s = 0; s < 2; s++) {
            bool bCreated = false;
            ASSERT_TRUE(job.CreateDataFolder(s, job.m_apFs[s].get(), bCreated, k, e)) << ToU8(e);
            ASSERT_TRUE(job.WriteStateFile(s, CWideString(), k, e)) << ToU8(e);
        }
        job.DisconnectSides();
        job.ResetTree();
        h.m_sink.ClearRecords();
    }

    CJobHarness::RunResult Analyze() {
        h.m_sink.ClearRecords();
        before = Snapshot();
        auto r = h.Run(job, true, false);
        EXPECT_EQ(Snapshot(), before) << "Analyze changed the disk";
        return r;
    }
    // Every path below both sides with its size and time.
    std::map<std::string, std::pair<uintmax_t, int64_t>> Snapshot() const {
        std::map<std::string, std::pair<uintmax_t, int64_t>> m;
        for (const auto& e : std::filesystem::recursive_directory_iterator(h.m_tmp.Native())) {
            const std::string p = e.path().string();
            if (p.find("mirror-root") != std::string::npos) continue;
            struct stat st {};
            lstat(p.c_str(), &st);
            m[p] = {e.is_regular_file() ? e.file_size() : 0, (int64_t)st.st_mtime};
        }
        return m;
    }

    CSyncTreeNode* Node(const char16_t* path) {
        CWideString e;
        return CSyncTreeNode::LookupCS(&job.m_Tree, path, false, nullptr, e);
    }
    std::string Act(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(GetActionName(p->GetItem().GetEffAction())) : "<no node>";
    }
    std::string Reason(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(p->GetItem().m_sReason) : "<no node>";
    }
    std::string Move(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(p->GetItem().m_sMove) : "<no node>";
    }
    bool Logged(const std::string& part, int level = -1) const {
        for (const auto& l : h.m_sink.Lines())
            if ((level < 0 || l.level == level) && ToU8(l.text).find(part) != std::string::npos) return true;
        return false;
    }
    int CountAct(const char* name) {
        int n = 0;
        CSyncDepthFirstIter it(&job.m_Tree);
        for (; it.IsValid(); it.Next())
            if (ToU8(GetActionName(it.GetItem()->GetEffAction())) == name) ++n;
        return n;
    }

    CJobHarness h;
    CSyncJob job;
    std::map<std::string, std::pair<uintmax_t, int64_t>> before;
};

// ---------------------------------------------------------------- content changes

TEST_F(AnalyzeTest, ChangesOnOneOrBothSides) {
    Both("same.txt");
    Both("changeL.txt");
    Both("changeR.txt", "12345");
    Both("delL.txt");
    Both("delR.txt");
    Both("both.txt");
    Both("delLchangeR.txt");
    Both("keep/k.txt");
    MakeSyncedPair();

    Put("L", "newsame.txt", "n");
    Put("R", "newsame.txt", "n");
    Put("L", "newdiff.txt", "one");
    Put("R", "newdiff.txt", "other");
    Put("L", "changeL.txt", "changed on the left");
    Put("R", "changeR.txt", "12345", kFileTime + 60);
    Remove("L", "delL.txt");
    Remove("R", "delR.txt");
    Put("L", "both.txt", "left edit");
    Put("R", "both.txt", "right edit!");
    Remove("L", "delLchangeR.txt");
    Put("R", "delLchangeR.txt", "right edit");
    auto r = Analyze();
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);

    struct Row {
        const char16_t* path;
        const char* action;
        const char* reason;
    } rows[] = {
        {u"/same.txt", "NO_COPY", ""},
        {u"/keep", "NO_COPY", ""},
        {u"/newsame.txt", "EA_COPY_STATE_MERGE_GENS", ""},
        {u"/newdiff.txt", "CONFLICT", "Conflict: New files that differ"},
        {u"/changeL.txt", "COPY_LEFT_TO_RIGHT", ""},
        {u"/changeR.txt", "COPY_RIGHT_TO_LEFT", ""},
        {u"/delL.txt", "COPY_LEFT_TO_RIGHT", ""},
        {u"/delR.txt", "COPY_RIGHT_TO_LEFT", ""},
        {u"/both.txt", "CONFLICT", "Conflict: File Modified on Both Sides"},
        {u"/delLchangeR.txt", "CONFLICT", "Conflict: File Modified on Both Sides"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Act(row.path), row.action) << ToU8(row.path);
        EXPECT_EQ(Reason(row.path), row.reason) << ToU8(row.path);
    }
    EXPECT_TRUE(Node(u"/delL.txt")->GetItem().IsDeleteAction());
    EXPECT_TRUE(Logged("/both.txt: Conflict: File Modified on Both Sides", 2));
    // Conflicts end in (4, 2) with the advice, and the totals are logged.
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_ATTENTION);
    EXPECT_TRUE(Logged("Analyze has finished with Conflicts."));
    EXPECT_TRUE(Logged("Changes: 7, Conflicts: 3, CopyTime: 0, CopyState: 0/1, Errors: 0", 0));
    EXPECT_TRUE(Logged("Left to Right: Copy File: 1 Delete File: 1 \n", 2));
    EXPECT_TRUE(Logged("Right to Left: Copy File: 1 Delete File: 1 \n", 2));
}

TEST_F(AnalyzeTest, UnchangedPairHasNothingToDoAndDoesNotSync) {
    Both("a.txt");
    Both("d/b.txt");
    MakeSyncedPair();
    auto r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_OK);
    EXPECT_FALSE(job.m_bHasChanges);
    EXPECT_EQ(job.m_bSync, 0); // the driver decided not to run Sync
    bool bSaw = false;
    for (const auto& p : h.m_sink.ProgressLines()) bSaw |= ToU8(p.text) == "Analyzed, no changes detected";
    EXPECT_TRUE(bSaw);
    EXPECT_TRUE(Logged("Changes: 0, Conflicts: 0, CopyTime: 0, CopyState: 0/0, Errors: 0", 0));
    EXPECT_FALSE(Logged("Left to Right:"));
    // Both scans ran within the same 2 seconds: the right one is 3 s later.
    EXPECT_EQ(job.m_aScanTime[1].GetTime(), job.m_aScanTime[0].GetTime() + 3);
    EXPECT_TRUE(Logged("ANALYSIS started by User on computer", 0));
    EXPECT_TRUE(Logged("Pair: ", 2));
}

} // namespace
