// Whole Analyze runs over two real local folders: a synced pair is made, a
// change is applied, and the decided action of every item is checked, along
// with the driver's texts and run states. Nothing may change on disk.
#include "fake-fs.h"
#include "job-harness.h"

#include "zor-locstr.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cstring>
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
        return p ? ToU8(p->GetItem().GetReason()) : "<no node>";
    }
    std::string Move(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(p->GetItem().GetMove()) : "<no node>";
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
        {u"/delLchangeR.txt", "CONFLICT", "Conflict: File Deleted on Left, Modified on Right"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Act(row.path), row.action) << ToU8(row.path);
        EXPECT_EQ(Reason(row.path), row.reason) << ToU8(row.path);
    }
    EXPECT_TRUE(Node(u"/delL.txt")->GetItem().IsDeleteAction());
    CWideString dump;
    job.DumpActions(true, dump);
    for (const char* line : {"-> Copy Over: /changeL.txt\n", "x> Delete File: /delL.txt\n", "?? CONFLICT: /both.txt\n",
                             "<> SyncState: /newsame.txt\n"})
        EXPECT_NE(ToU8(dump).find(line), std::string::npos) << line << ToU8(dump);
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

// ---------------------------------------------------------------- moves, renames and case changes

TEST_F(AnalyzeTest, RenamesAndMovesArePaired) {
    Both("a/old.txt", "renamed file");
    Both("a/moved.txt", "moved file!");
    Both("b/keep.txt");
    Both("c/grown.txt", "grows");
    Both("f/1.txt", "one");
    Both("f/2.txt", "two!");
    Both("f/3.txt", "three");
    Both("h/1.txt", "uno"); // f/1.txt's name, size and time, deleted while f is renamed
    MakeSyncedPair();
    Rename("L", "a/old.txt", "a/new.txt");
    Rename("L", "a/moved.txt", "b/moved.txt");
    Rename("L", "c/grown.txt", "c/grown2.txt");
    Put("L", "c/grown2.txt", "grows much longer");
    Rename("R", "f", "g");
    Remove("R", "h/1.txt");
    ASSERT_TRUE(Analyze().bOk);

    EXPECT_EQ(Move(u"/a/new.txt"), "</a/old.txt");
    EXPECT_EQ(Reason(u"/a/new.txt"), "Rename from /a/old.txt");
    EXPECT_EQ(Move(u"/a/old.txt"), ">/a/new.txt");
    EXPECT_EQ(Reason(u"/a/old.txt"), "Rename to /a/new.txt");
    EXPECT_EQ(Move(u"/b/moved.txt"), "</a/moved.txt");
    EXPECT_EQ(Move(u"/a/moved.txt"), ">/b/moved.txt");
    // A rename that also changed the length stays a copy and a delete.
    EXPECT_EQ(Move(u"/c/grown2.txt"), "");
    EXPECT_EQ(Act(u"/c/grown2.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Act(u"/c/grown.txt"), "COPY_LEFT_TO_RIGHT");
    // The folder renamed on the right moves as a whole; its files ride along.
    EXPECT_EQ(Move(u"/g"), "</f");
    EXPECT_EQ(Reason(u"/g"), "Rename Folder from /f");
    EXPECT_EQ(Move(u"/f"), ">/g");
    EXPECT_EQ(Reason(u"/f"), "Rename Folder to /g");
    for (const char16_t* p : {u"/f/1.txt", u"/g/1.txt", u"/g/3.txt"}) {
        EXPECT_EQ(Move(p).substr(0, 1), "=") << ToU8(p);
        EXPECT_EQ(Reason(p), "parent folder renamed") << ToU8(p);
    }
    EXPECT_TRUE(Logged("Right to Left: Delete File: 1 Rename/Move File/Folder: 2 ", 2)) << h.m_sink.Dump();

    // Without move detection the same changes are copies and deletes.
    job.m_Options.m_bDetectMovesAndRenames = false;
    job.ResetTree();
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_EQ(Move(u"/a/new.txt"), "");
    EXPECT_EQ(Act(u"/a/new.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_TRUE(Node(u"/a/old.txt")->GetItem().IsDeleteAction());
    EXPECT_EQ(Move(u"/g"), "");
}

TEST_F(AnalyzeTest, NameCaseChangeOnACaseSensitiveSide) {
    Both("a.txt");
    MakeSyncedPair();
    Rename("L", "a.txt", "A.txt");
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_EQ(Act(u"/a.txt"), "NAME_CASE_LEFT_TO_RIGHT");
    EXPECT_TRUE(Logged("Name Case Change: 1 ", 2));
}

// ---------------------------------------------------------------- time shifts

TEST_F(AnalyzeTest, LeftRightTimeShiftNeedsAQuarterOfTheEqualFiles) {
    struct Case {
        int nShifted;
        int64_t shift;
        int nTimeCopies;
        const char* message;
    } cases[] = {
        {10, 3600, 10, "Left-Right Time Shift of -1 hours (type 0) detected for 10 files"},
        {9, 3600, 0, "Left-Right Time Shift of -1 hours at 9 files: drop because not enough files"},
        {12, 24 * 3600, 0, "Left-Right Time Shift of -24 hours at 12 files: drop because too many hours"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Remove("L", "");
        Remove("R", "");
        ASSERT_TRUE(h.m_tmp.MakeDir("L") && h.m_tmp.MakeDir("R"));
        job.ResetTree();
        for (int i = 0; i < 40; i++) Both("f" + std::to_string(i) + ".txt", "same size");
        MakeSyncedPair();
        for (int i = 0; i < c.nShifted; i++) SetTime("R", "f" + std::to_string(i) + ".txt", kFileTime + c.shift);
        ASSERT_TRUE(Analyze().bOk);
        EXPECT_TRUE(Logged(c.message, 2)) << h.m_sink.Dump();
        if (c.nShifted == 10) {
            EXPECT_TRUE(Logged("Right: Old-New Time Shift of 1 hours detected for 25% (10/40) of files", 2));
        }
        EXPECT_EQ(CountAct("TIME_RIGHT_TO_LEFT"), c.nTimeCopies);
        EXPECT_EQ(CountAct("COPY_RIGHT_TO_LEFT"), c.nShifted - c.nTimeCopies);
    }
    // An ordinary local side does not expect shifts: the New-Old stage
    // reports one and gives the advice.
    EXPECT_TRUE(Logged("consider setting FAT option on this file system.", 2));
}

// ---------------------------------------------------------------- direction and deletion options

TEST_F(AnalyzeTest, DeletionsAndOneWayJobs) {
    Both("gone.txt");
    Both("dir/x.txt");
    Both("newer.txt", "same");
    MakeSyncedPair();
    Remove("L", "gone.txt");
    Remove("L", "dir");
    Put("R", "newer.txt", "changed on the right");

    struct Case {
        int dir, mode;
        bool bPropDels;
        const char* gone;
        const char* newer;
        bool bGoneExcluded;
    } cases[] = {
        {0, 0, false, "COPY_RIGHT_TO_LEFT", "COPY_RIGHT_TO_LEFT", false},
        {1, 0, false, "NO_COPY", "COPY_LEFT_TO_RIGHT", true},
        {1, 0, true, "COPY_LEFT_TO_RIGHT", "COPY_LEFT_TO_RIGHT", false},
        {1, 1, true, "COPY_LEFT_TO_RIGHT", "CONFLICT", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.dir) + "/" + std::to_string(c.mode) + "/" + std::to_string(c.bPropDels));
        job.m_Options.m_nDirection = c.dir;
        job.m_Options.m_n1wayMode = c.mode;
        job.m_Options.m_bPropagateDeletions = c.bPropDels;
        job.ResetTree();
        ASSERT_TRUE(Analyze().bOk);
        EXPECT_EQ(Act(u"/gone.txt"), c.gone);
        EXPECT_EQ(Act(u"/newer.txt"), c.newer);
        EXPECT_EQ(Node(u"/gone.txt")->GetItem().IsExcluded(), c.bGoneExcluded);
        EXPECT_EQ(Node(u"/dir/x.txt")->GetItem().IsExcluded(), c.bGoneExcluded);
    }
    // The last case was one-way verified: the right-side change is refused.
    EXPECT_EQ(Reason(u"/newer.txt"), "RightToLeft sync in LeftToRight 1-Way job");
    job.m_Options.m_nDirection = 0;
    job.m_Options.m_bPropagateDeletions = false;
    job.ResetTree();
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_EQ(Reason(u"/gone.txt"), "Delete turned into Copy by Do Not Propagate Deletions");
    job.m_Options.m_nDirection = 1;
    job.m_Options.m_n1wayMode = 0;
    job.m_Options.m_bPropagateDeletions = true;
    job.ResetTree();
    ASSERT_TRUE(Analyze().bOk); // forced: the left wins and gets the new generation
    EXPECT_EQ(Node(u"/newer.txt")->GetItem().m_aPendingGen[0], 1);
}

TEST_F(AnalyzeTest, VerticalConflictsExcludedContentAndOlderFileWarning) {
    Both("p/changed.txt", "abc");
    Both("p/before.txt"); // met by the walk before the changed file
    Both("p/other.txt");
    Both("t/top.txt");    // t goes with the folder below it
    Both("t/u/changed.txt", "abc");
    Both("q/skip.tmp");
    Both("q/plain.txt");
    Both("old.txt", "same");
    MakeSyncedPair();
    Remove("R", "p");                              // folder deleted on the right...
    Put("L", "p/changed.txt", "changed on left");  // ...while a file in it changed on the left
    Remove("R", "t");
    Put("L", "t/u/changed.txt", "changed on left");
    Remove("L", "q");                              // folder deleted on the left holds an excluded file
    Put("L", "old.txt", "left!", kFileTime - 100); // an older left file replaces a newer right one
    job.m_Options.m_Filters.m_lstExcluded.AddTail(u"*.tmp");
    ASSERT_TRUE(Analyze().bOk);

    EXPECT_EQ(Act(u"/p"), "CONFLICT");
    EXPECT_EQ(Act(u"/p/changed.txt"), "CONFLICT");
    EXPECT_EQ(Reason(u"/p/changed.txt"), "Sync will delete Folder /p on Left because it is deleted on Right, File "
                                         "/p/changed.txt changed on Left (Vertical Conflict)")
        << h.m_sink.Dump();
    for (const char16_t* p : {u"/p/before.txt", u"/p/other.txt", u"/t/top.txt"}) {
        EXPECT_EQ(Act(p), "CONFLICT") << ToU8(p);
        EXPECT_EQ(Reason(p), "Parent folder conflict propagated down to children") << ToU8(p);
    }
    EXPECT_EQ(Act(u"/t"), "CONFLICT");
    EXPECT_EQ(Act(u"/q/skip.tmp"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Reason(u"/q/skip.tmp"), "included by delete above: excluded: match *.tmp");
    EXPECT_EQ(Act(u"/old.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Reason(u"/old.txt"), "Warning: Older file to replace Newer file");
}

// ---------------------------------------------------------------- include rules

TEST_F(AnalyzeTest, WildcardIncludeRuleReachesDeepFilesAndPrunesOtherFolders) {
    Put("L", "Docs/a.txt", "a");
    Put("L", "Docs/sub/deep/b.txt", "b");
    Put("L", "Docs/sub/c.doc", "c");
    Put("L", "Other/d.txt", "d");
    job.m_Options.m_Filters.m_lstIncluded.AddTail(u"/Docs/*.txt");
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_EQ(Act(u"/Docs/a.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Act(u"/Docs/sub/deep/b.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Reason(u"/Docs/sub/c.doc"), "not included: no match /Docs/*.txt");
    EXPECT_EQ(Reason(u"/Other"), "not included: no match /Docs/*.txt");
    EXPECT_EQ(Node(u"/Other/d.txt"), nullptr); // not entered by the scan

    job.m_Options.m_Filters.m_lstIncluded.RemoveAll();
    job.m_Options.m_Filters.m_lstIncluded.AddTail(u"/Docs");
    job.ResetTree();
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_EQ(Act(u"/Docs/sub/c.doc"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Node(u"/Other/d.txt"), nullptr);
}

// The filter step leaves alone what the scans judged alike: for every kind
// of rule it decides as when it judges every item again.
TEST_F(AnalyzeTest, FilterStepDecidesAsWhenJudgingEveryItemAgain) {
    Both("Docs/a.txt");
    Both("Docs/sub/b.tmp");
    Both("Docs/sub/c.doc", "longer content");
    Both("Other/d.txt");
    Both("gone.txt");
    Both("gone/e.txt");
    Both("caf\xC3\xA9.txt");         // NFC on both sides
    ASSERT_TRUE(h.m_tmp.MakeDir("L/mixed")); // a folder on the left...
    Put("R", "mixed", "a file");        // ...a file on the right
    Put("L", "nfd/cafe\xCC\x81.txt", "d"); // an NFD name
    MakeSyncedPair();
    Remove("L", "gone.txt"); // known only from the state file on the left
    Remove("R", "gone");
    Put("L", "new.tmp", "n");
    Put("R", "Docs/new.txt", "new on the right", kFileTime + 86400 * 30);
    ASSERT_EQ(symlink(h.m_tmp.NativeSub("L/Docs").c_str(), h.m_tmp.NativeSub("L/link").c_str()), 0);
    job.m_Options.m_nFolderLinks = 1;

    struct Rules {
        std::vector<const char16_t*> inc, exc;
    } table[] = {
        {{}, {u"*.tmp"}},           {{}, {u"/Docs/sub"}},       {{u"/Docs/*.txt"}, {}},
        {{u"/Docs"}, {}},           {{u"*.txt"}, {}},           {{}, {u"size>5"}},
        {{}, {u"time>2020/9/20"}},  {{}, {u"existone"}},        {{}, {u"isfolder;name m*"}},
        {{}, {u"isfile;name m*"}},  {{u"isfile"}, {}},          {{}, {u"name link"}},
        {{}, {u"caf\u00E9*"}},     {{}, {u"/nfd/cafe\u0301.txt"}},   {{}, {u"isfile;isfolder;name m*"}},
        {{u"/nfd/cafe\u0301.txt"}, {u"gone"}},
        {{}, {u"?.T?T", u"D*s", u"CAF\u00C9.txt"}}, {{}, {u"name *.doc", u"path /docs/*/b.*"}},
    };
    // Every item: excluded or not, the reason and the action.
    auto decisions = [&] {
        std::map<std::string, std::string> m;
        for (CSyncDepthFirstIter it(&job.m_Tree); it.IsValid(); it.Next()) {
            const CSyncPairAndAction& item = *it.GetItem();
            m[ToU8(it.GetNode()->GetPath())] = (item.IsExcluded() ? "excluded " : "") + ToU8(item.GetReason()) +
                                               " " + ToU8(GetActionName(item.GetEffAction()));
        }
        return m;
    };
    for (const Rules& r : table) {
        SCOPED_TRACE(ToU8(r.inc.empty() ? r.exc[0] : r.inc[0]));
        CJobFilters& f = job.m_Options.m_Filters;
        f.m_lstIncluded.RemoveAll();
        f.m_lstExcluded.RemoveAll();
        for (const char16_t* s : r.inc) f.m_lstIncluded.AddTail(s);
        for (const char16_t* s : r.exc) f.m_lstExcluded.AddTail(s);
        std::map<std::string, std::string> every, judged;
        for (int bEvery = 1; bEvery >= 0; bEvery--) {
            job.m_bFilterEveryItem = (uint8_t)bEvery;
            job.ResetTree();
            ASSERT_TRUE(Analyze().bOk);
            (bEvery ? every : judged) = decisions();
        }
        EXPECT_EQ(judged, every);
    }
    job.m_bFilterEveryItem = 0;
}

// The passes after the decision leave out what lies below quiet folders:
// for every kind of pass they decide and log as over the whole tree.
TEST_F(AnalyzeTest, DecisionPassesDecideAsOverTheWholeTree) {
    for (const char* d : {"quiet1", "quiet2/deep", "p", "q", "a", "f", "t"})
        for (int i = 0; i < 3; i++) Both(std::string(d) + "/file" + std::to_string(i) + ".txt", d);
    Both("q/skip.tmp");
    Both("a/old.txt", "renamed file");
    Both("t/shifted.txt", "shifted");
    Both("case.txt");
    MakeSyncedPair();
    Remove("R", "p");                             // a folder deleted on the right...
    Put("L", "p/file0.txt", "changed on left");   // ...while a file in it changed on the left
    Remove("L", "q");                             // a folder deleted on the left holds an excluded file
    Rename("L", "a/old.txt", "a/new.txt");        // a rename
    Rename("R", "f", "g");                        // a folder rename
    Rename("L", "case.txt", "Case.txt");          // a case change
    Put("L", "quiet2/deep/new.txt", "new", kFileTime - 100);
    Put("R", "quiet2/deep/new.txt", "newer", kFileTime); // a conflict deep below
    Put("R", "t/shifted.txt", "shifted", kFileTime + 3600);
    Put("L", "t/file1.txt", "older left", kFileTime - 50);
    job.m_Options.m_Filters.m_lstExcluded.AddTail(u"*.tmp");
    struct Row {
        int dir, mode;
        bool bPropDels;
        int autoResolve;
    } rows[] = {{0, 0, true, 0}, {0, 0, false, 0}, {0, 0, true, 3}, {1, 0, true, 0},
                {1, 1, false, 0}, {2, 1, true, 0}, {1, 2, true, 0}};
    auto decisions = [&] {
        std::map<std::string, std::string> m;
        for (CSyncDepthFirstIter it(&job.m_Tree); it.IsValid(); it.Next()) {
            const CSyncPairAndAction& item = *it.GetItem();
            m[ToU8(it.GetNode()->GetPath())] = std::to_string(item.m_nFlags) + " " + ToU8(item.GetReason()) + " " +
                                               ToU8(GetActionName(item.m_nSysAction)) + " " +
                                               std::to_string(item.m_aPendingGen[0] * 2 + item.m_aPendingGen[1]) +
                                               " " + ToU8(item.GetMove());
        }
        // The free space a log line names moves with whatever else writes to the disk.
        for (const auto& l : h.m_sink.Lines())
            if (l.level > 0)
                m["log " + std::to_string(m.size())] =
                    ToU8(l.text).rfind("On disk ", 0) == 0 ? "On disk ..." : ToU8(l.text);
        return m;
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.dir) + "/" + std::to_string(r.mode) + "/" + std::to_string(r.bPropDels) +
                     "/" + std::to_string(r.autoResolve));
        job.m_Options.m_nDirection = r.dir;
        job.m_Options.m_n1wayMode = r.mode;
        job.m_Options.m_bPropagateDeletions = r.bPropDels;
        job.m_Options.m_nAutoResolveConflicts = r.autoResolve;
        std::map<std::string, std::string> whole, entered;
        for (int bWhole = 1; bWhole >= 0; bWhole--) {
            job.m_bPassesOverWholeTree = (uint8_t)bWhole;
            job.ResetTree();
            ASSERT_TRUE(Analyze().bOk);
            (bWhole ? whole : entered) = decisions();
        }
        // Name only what differs: the whole maps are too long to read.
        for (const auto& kv : whole) EXPECT_EQ(entered[kv.first], kv.second) << kv.first;
        EXPECT_EQ(entered.size(), whole.size());
        if (&r != rows) continue;
        // The scenario meets the passes: conflicts, deletions, moves, case changes.
        std::string all;
        for (const auto& kv : whole) all += kv.second + "\n";
        for (const char* t : {"(Vertical Conflict)", "included by delete above", "Rename Folder from /f",
                              "Rename from /a/old.txt", "NAME_CASE_LEFT_TO_RIGHT", "Older file"})
            EXPECT_NE(all.find(t), std::string::npos) << t;
    }
    job.m_bPassesOverWholeTree = 0;
}

// ---------------------------------------------------------------- driver texts and free space

TEST(AnalyzeTexts, DirectionTexts) {
    struct Row {
        int dir, mode;
        bool bProp;
        const char* text;
    } rows[] = {
        {0, 0, true, " <-> "},
        {0, 0, false, " <-no-prop-del-> "},
        {1, 0, true, " =forced-PropDels=> "},
        {2, 0, false, " <=forced-NoPropDels= "},
        {1, 1, true, " -verified-PropDels-> "},
        {2, 1, true, " <-verified-PropDels- "},
        {1, 2, true, " -move-> "},
        {2, 2, true, " <-move- "},
        {1, 7, true, " -(!BAD-DIR!)- "},
    };
    for (const Row& r : rows) {
        CSyncJob job;
        job.SetName(u"J");
        job.m_Options.m_nDirection = r.dir;
        job.m_Options.m_n1wayMode = r.mode;
        job.m_Options.m_bPropagateDeletions = r.bProp;
        job.m_Options.m_Dir1.m_sUrl = u"/l";
        job.m_Options.m_Dir2.m_sUrl = u"/r";
        job.m_Options.m_Dir2.m_nChunkSize = 1000;
        const std::string line = ToU8(job.FormatOptionsLine());
        EXPECT_NE(line.find(r.text), std::string::npos) << line;
        EXPECT_EQ(line.rfind("J: /l [ansi] [no-proxy]", 0), 0u) << line;
        EXPECT_NE(line.find("/r [chunk-size=1000] [ansi]"), std::string::npos) << line;
    }
}

class RecordingSyncJob : public CSyncJob {
public:
    bool bSyncRan = false;
    bool Sync(CWideString&, int&, CWideString&) override {
        bSyncRan = true;
        return true;
    }
};

// The mount point of the volume that holds a folder, as the system's own tool tells it.
std::string MountPointOf(const std::string& folder) {
    char buf[4096] = "";
    if (FILE* p = popen(("stat -c %m '" + folder + "'").c_str(), "r")) {
        if (!fgets(buf, sizeof buf, p)) buf[0] = 0;
        pclose(p);
    }
    return std::string(buf, strcspn(buf, "\n"));
}

TEST_F(AnalyzeTest, RequiredSpaceAndTooLittleFreeSpace) {
    Put("L", "a.txt", std::string(3000, 'x'));
    job.m_Options.m_bEstimateRequiredSpace = false;
    ASSERT_TRUE(Analyze().bOk);
    EXPECT_FALSE(Logged("space required for sync"));
    job.m_Options.m_bEstimateRequiredSpace = true;
    job.ResetTree();
    ASSERT_TRUE(Analyze().bOk);
    const std::string disk = "Local: " + MountPointOf(h.m_tmp.NativeSub("R"));
    EXPECT_TRUE(Logged("On disk " + disk + " space required for sync is ", 2)) << h.m_sink.Dump();
    EXPECT_FALSE(Logged("Not enough free space"));

    // A right side that cannot tell its free space has none: a warning, the
    // run state asks for attention, and the run still goes on to Sync.
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->Fail("GetFreeDiskSpace", FSE_GENERAL, u"no figures", 0, 1000);
    CFakeFsRegistration reg(plan);
    RecordingSyncJob sj;
    h.Attach(sj);
    sj.SetName(u"Low");
    sj.SetSideFolder(0, h.m_tmp.Path("L"));
    sj.SetSideFolder(1, u"fakefs://" + h.m_tmp.Path("R"));
    h.m_sink.ClearRecords();
    auto r = h.Run(sj, true, true);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_TRUE(Logged("Not enough free space on disk " + disk + " need ", 1)) << h.m_sink.Dump();
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_ATTENTION);
    EXPECT_TRUE(sj.bSyncRan);
    sj.SetProgressSink(&g_DummyJobProgress);
}

// Two folders of one volume share its free space: each side's copy fits into
// it, both together do not.
TEST_F(AnalyzeTest, TwoSidesOnOneVolumeShareItsFreeSpace) {
    Put("L", "a.bin", std::string(3000, 'a'));
    Put("R", "b.bin", std::string(3000, 'b'));
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->nFreeBytes = 5000;
    CFakeFsRegistration reg(plan);
    job.SetSideFolder(0, u"fakefs://" + h.m_tmp.Path("L"));
    job.SetSideFolder(1, u"fakefs://" + h.m_tmp.Path("R"));
    ASSERT_TRUE(Analyze().bOk);
    const std::string disk = "Local: " + MountPointOf(h.m_tmp.NativeSub("R"));
    EXPECT_TRUE(Logged("Not enough free space on disk " + disk + " need 6.00 KB", 1)) << h.m_sink.Dump();
}

} // namespace
