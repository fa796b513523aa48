// The data folder's previous versions on a real local folder: saved copies,
// history versions, conflict copies, their tracking and expiry, and the
// naming helpers of tree items.
#include "test-tmp.h"
#include "WinFileSys.h"
#include "fake-fs.h"
#include "recording-sink.h"
#include "syncjob.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}
std::string N(const CWideString& s) {
    CNarrowString n = WideToUtf8(s);
    return std::string(n.GetString(), n.GetLength());
}

class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tvdata-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        auto fs = std::make_unique<CFakeFs>(m_plan);
        TvConnectInfo ci;
        ci.m_sUrl = W("file://" + m_root);
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(fs->Connect(ci, nullptr, kind, err)) << N(err);
        m_fs = fs.get();
        m_job.m_apFs[1] = std::move(fs);
        m_job.SetProgressSink(&m_sink);
        m_job.SetName(u"Docs");
    }
    void TearDown() override {
        m_job.SetProgressSink(&g_DummyJobProgress);
        ASSERT_EQ(system(("rm -rf '" + m_root + "'").c_str()), 0);
    }

    std::string P(const std::string& rel) const { return m_root + rel; }
    void Write(const std::string& rel, const std::string& text) {
        std::string full = P(rel);
        ASSERT_EQ(system(("mkdir -p \"$(dirname '" + full + "')\"").c_str()), 0);
        std::ofstream(full, std::ios::binary) << text;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(P(rel), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string& rel) const {
        struct stat st;
        return lstat(P(rel).c_str(), &st) == 0;
    }
    // Keeps the right side's item at rel; false with m_err on failure.
    bool Keep(const std::string& rel, bool bLoser, CSyncTreeNode* pNode = nullptr,
              uint32_t attrs = FSA_UNKNOWN) {
        m_kind = 0;
        m_err.Empty();
        return m_job.KeepPreviousVersion(W(rel), pNode, 1, m_fs, bLoser, attrs, m_newPath, m_kind, m_err);
    }
    CSyncTreeNode* AddNode(const std::string& rel, bool bFolder = false) {
        CSyncTreeNode* p = &m_job.m_Tree;
        std::stringstream ss(rel.substr(1));
        std::string part;
        std::vector<std::string> parts;
        while (std::getline(ss, part, '/')) parts.push_back(part);
        for (size_t i = 0; i < parts.size(); ++i) {
            CWideString e;
            CSyncTreeNode* c = p->LookupCS(W(parts[i]), true, nullptr, e);
            if (!c) c = p->AddItemCS(W(parts[i]), i + 1 < parts.size() || bFolder, true, nullptr, e);
            p = c;
        }
        return p;
    }
    // Each stamp in a history name has the shape that the clean-up parses.
    static bool HasHistoryStampShape(const std::string& name) {
        std::string base =
            name.substr(0, name.rfind('.') == std::string::npos ? name.size() : name.rfind('.'));
        if (base.size() < 17) return false;
        std::string s = base.substr(base.size() - 17);
        int y, mo, d, h, mi, se;
        return s[0] == '_' && s[5] == '-' && s[10] == '-' &&
               sscanf(s.c_str(), "_%04d-%02d%02d-%02d%02d%02d", &y, &mo, &d, &h, &mi, &se) == 6;
    }
    bool Logged(const std::string& text) const { return m_sink.Dump().find(text) != std::string::npos; }
    static std::string Stamp(int64_t t) { return N(CZorTime(t).Format(u"_%Y-%m%d-%H%M%S")); }

    std::shared_ptr<CFakeFsPlan> m_plan = std::make_shared<CFakeFsPlan>();
    ZorTestClock m_clock{1700000000};
    ZorClockScope m_clockScope{&m_clock};
    std::string m_root;
    CRecordingSink m_sink;
    CSyncJob m_job;
    TvFileSys* m_fs = nullptr;
    int m_kind = 0;
    CWideString m_err, m_newPath;
};

} // namespace

TEST_F(DataFolderTest, SavedModeKeepsOneCopyPerPathAndRecordsIt) {
    CSyncTreeNode* pNode = AddNode("/docs/a.txt");
    CSyncPairAndAction& it = pNode->GetItem();
    it.m_aCur[1].SetPresent(true);
    it.m_aCur[1].m_Len.SetValue(2);

    Write("/docs/a.txt", "v1");
    ASSERT_TRUE(Keep("/docs/a.txt", false)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/_tvdata_/_saved_/docs/a.txt");
    EXPECT_FALSE(Exists("/docs/a.txt"));
    EXPECT_EQ(Read("/_tvdata_/_saved_/docs/a.txt"), "v1");
    // Looked up by path: this side's saved time and length; not a deletion,
    // so the other side stays untouched.
    EXPECT_EQ(it.GetSavedTime(1).GetTime(), 1700000000u);
    EXPECT_EQ(it.GetSavedLen(1).GetValue(), 2u);
    EXPECT_TRUE(it.GetSavedTime(0).IsZero());

    m_clock.Advance(5000);
    Write("/docs/a.txt", "v2");
    // A deletion (left absent, right present, copy towards the right)
    // records the saved version on both sides.
    it.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    ASSERT_TRUE(it.IsDeleteAction());
    ASSERT_TRUE(Keep("/docs/a.txt", false, pNode)) << N(m_err);
    EXPECT_EQ(Read("/_tvdata_/_saved_/docs/a.txt"), "v2");
    EXPECT_EQ(it.GetSavedTime(1).GetTime(), 1700000005u);
    EXPECT_EQ(it.GetSavedTime(0).GetTime(), 1700000005u);
    EXPECT_EQ(it.GetSavedLen(0).GetValue(), 2u);
}

TEST_F(DataFolderTest, SavedModeReplacesWhateverStandsInsideSaved) {
    // A folder left at the saved name (an older layout) is the engine's own:
    // it is removed so that the new copy fits.
    Write("/_tvdata_/_saved_/x/old.txt", "old");
    Write("/x", "file");
    ASSERT_TRUE(Keep("/x", false)) << N(m_err);
    EXPECT_EQ(Read("/_tvdata_/_saved_/x"), "file");
}

TEST_F(DataFolderTest, HistoryModeKeepsEveryVersionEvenWithinOneSecond) {
    m_job.m_Options.m_bSavePastVersions = true;
    std::vector<std::string> kept;
    for (int i = 0; i < 3; ++i) {
        Write("/docs/a.txt", "v" + std::to_string(i));
        ASSERT_TRUE(Keep("/docs/a.txt", false)) << N(m_err);
        kept.push_back(N(m_newPath));
    }
    // The clock did not move: the stamp moves on one second per version.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kept[i], "/_tvdata_/_history_/docs/a" + Stamp(1700000000 + i) + ".txt");
        EXPECT_EQ(Read(kept[i]), "v" + std::to_string(i));
        EXPECT_TRUE(HasHistoryStampShape(kept[i].substr(kept[i].rfind('/') + 1)));
    }

    // The only dot in a folder name: the stamp goes at the end of the name.
    Write("/rel1.2/readme", "r");
    ASSERT_TRUE(Keep("/rel1.2/readme", false)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/_tvdata_/_history_/rel1.2/readme" + Stamp(1700000000));
    EXPECT_TRUE(HasHistoryStampShape("readme" + Stamp(1700000000)));
}

TEST_F(DataFolderTest, HistoryVersionsKeptFromWorkersAtOnceAllSurvive) {
    m_job.m_Options.m_bSavePastVersions = true;
    constexpr int kThreads = 6;
    for (int i = 0; i < kThreads; ++i) Write("/f/n" + std::to_string(i), std::to_string(i));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            int k = 0;
            CWideString e, np;
            if (!m_job.KeepPreviousVersion(W("/f/n" + std::to_string(i)), nullptr, 1, m_fs, false,
                                           FSA_UNKNOWN, np, k, e))
                failures++;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(Read("/_tvdata_/_history_/f/n" + std::to_string(i) + Stamp(1700000000)), std::to_string(i));
}

TEST_F(DataFolderTest, ConflictCopiesTakeFreeNamesAndNeverTouchWhatStands) {
    m_job.m_Options.m_bRenameLosingFile = true;
    m_job.m_Options.m_sConflictCopyName = u" (Conflicted copy from PC1 on %YYYY%-%MM%-%DD%)";
    const std::string tag =
        " (Conflicted copy from PC1 on " + N(CZorTime(1700000000).Format(u"%Y-%m-%d")) + ")";

    Write("/a/report.txt", "first");
    ASSERT_TRUE(Keep("/a/report.txt", true)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/a/report" + tag + ".txt");

    Write("/a/report.txt", "second");
    ASSERT_TRUE(Keep("/a/report.txt", true)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/a/report" + tag + " (1).txt");
    EXPECT_EQ(Read("/a/report" + tag + ".txt"), "first");

    // A user's folder at the next name is an item too: skipped, not replaced.
    Write("/a/report" + tag + " (2).txt/inside", "user data");
    Write("/a/report.txt", "third");
    ASSERT_TRUE(Keep("/a/report.txt", true)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/a/report" + tag + " (3).txt");
    EXPECT_EQ(Read("/a/report" + tag + " (2).txt/inside"), "user data");
    EXPECT_EQ(Read("/a/report" + tag + " (1).txt"), "second");

    // A losing folder gets a copy name as well, beside a file of that name.
    Write("/dir/x", "in folder");
    Write("/dir" + tag, "user file");
    ASSERT_TRUE(Keep("/dir", true, nullptr, FSA_FOLDER)) << N(m_err);
    EXPECT_EQ(N(m_newPath), "/dir" + tag + " (1)");
    EXPECT_EQ(Read("/dir" + tag), "user file");
    EXPECT_EQ(Read("/dir" + tag + " (1)/x"), "in folder");
}

TEST_F(DataFolderTest, ConflictCopyWithoutFreeNameFailsAndKeepsEverything) {
    m_job.m_Options.m_bRenameLosingFile = true;
    m_job.m_Options.m_sConflictCopyName = u"";
    const std::string tag = "lost-in-conflict-" + N(CZorTime(1700000000).Format(u"%Y-%m-%d-%H%M%S"));
    Write("/r.txt", "loser");
    Write("/r" + tag + ".txt", "copy 0");
    for (int n = 1; n <= 1000; ++n)
        std::ofstream(P("/r" + tag + " (" + std::to_string(n) + ").txt")) << "copy " << n;
    EXPECT_FALSE(Keep("/r.txt", true));
    EXPECT_EQ(m_kind, FSE_GENERAL);
    EXPECT_NE(N(m_err).find("No free name for the conflict copy of"), std::string::npos) << N(m_err);
    EXPECT_EQ(Read("/r.txt"), "loser");
    EXPECT_EQ(Read("/r" + tag + " (1000).txt"), "copy 1000");
}

TEST_F(DataFolderTest, FailedMovesAndProbesLeaveTheUsersItems) {
    // A failed probe of a conflict-copy name fails the keep; nothing moves.
    m_job.m_Options.m_bRenameLosingFile = true;
    Write("/c.txt", "loser");
    m_plan->Fail("GetInfo", FSE_GENERAL, u"injected: I/O error");
    EXPECT_FALSE(Keep("/c.txt", true));
    EXPECT_EQ(N(m_err).rfind("Cannot check conflict copy name ", 0), 0u) << N(m_err);
    EXPECT_EQ(Read("/c.txt"), "loser");

    // A failed move to a conflict-copy name is not retried over what might
    // stand there.
    m_plan->Fail("MoveFile", FSE_GENERAL, u"injected: busy", 0, 2);
    EXPECT_FALSE(Keep("/c.txt", true));
    EXPECT_EQ(m_plan->Calls("MoveFile"), 1);
    EXPECT_NE(N(m_err).find("Cannot move destination file to history folder: "), std::string::npos);
    EXPECT_NE(N(m_err).find("injected: busy"), std::string::npos);
    EXPECT_EQ(Read("/c.txt"), "loser");

    // Inside "_saved_" the engine clears the way and tries once more.
    m_job.m_Options.m_bRenameLosingFile = false;
    ASSERT_TRUE(Keep("/c.txt", false)) << N(m_err);
    EXPECT_EQ(m_plan->Calls("MoveFile"), 3);
    EXPECT_EQ(Read("/_tvdata_/_saved_/c.txt"), "loser");
}

TEST_F(DataFolderTest, NothingKeptOnLocalSidesWhenTheOptionSaysSo) {
    m_job.m_Options.m_bNoSavePreviousPastVersionsLocal = true;
    Write("/a.txt", "x");
    ASSERT_TRUE(Keep("/a.txt", false));
    EXPECT_TRUE(m_newPath.IsEmpty());
    EXPECT_TRUE(Exists("/a.txt"));
    EXPECT_FALSE(Exists("/_tvdata_"));
}

TEST_F(DataFolderTest, ExpiryDeletesOldSavedCopiesAndTracksFoundOnes) {
    m_job.m_Tree.InitRoot();
    m_job.m_Options.m_nSaveDaysPreviousVersion = 10;
    CSyncTreeNode* pOld = AddNode("/old.txt");
    CSyncTreeNode* pNew = AddNode("/new.txt");
    pOld->GetItem().SetSaved(1, CSyncTime(1700000000 - 11 * 86400), CItemLen());
    pNew->GetItem().SetSaved(1, CSyncTime(1700000000 - 9 * 86400), CItemLen());
    Write("/_tvdata_/_saved_/old.txt", "o");
    Write("/_tvdata_/_saved_/new.txt", "n");
    m_job.ExpireSavedVersions(1);
    EXPECT_FALSE(Exists("/_tvdata_/_saved_/old.txt"));
    EXPECT_TRUE(Exists("/_tvdata_/_saved_/new.txt"));
    EXPECT_TRUE(pOld->GetItem().GetSavedTime(1).IsZero());
    EXPECT_TRUE(pOld->GetItem().GetSavedLen(1).IsUndefined());
    EXPECT_TRUE(Logged("Deleted recycled file "));
}

TEST_F(DataFolderTest, UntrackedSavedCopiesAreTrackedOrLeftInPlace) {
    // After a lost state no item records a saved version: the files found
    // get half the retention period, and files that no item knows stay.
    m_job.m_Tree.InitRoot();
    m_job.m_Options.m_nSaveDaysPreviousVersion = 30;
    CSyncTreeNode* pKnown = AddNode("/sub/known.txt");
    Write("/_tvdata_/_saved_/sub/known.txt", "12345");
    Write("/_tvdata_/_saved_/sub/orphan.txt", "only copy");
    Write("/_tvdata_/_saved_/_TVDATA_/nested.txt", "nested");
    m_job.ExpireSavedVersions(1);
    EXPECT_EQ(pKnown->GetItem().GetSavedTime(1).GetTime(), (uint32_t)(1700000000 - 15 * 86400));
    EXPECT_EQ(pKnown->GetItem().GetSavedLen(1).GetValue(), 5u);
    EXPECT_EQ(Read("/_tvdata_/_saved_/sub/orphan.txt"), "only copy");
    EXPECT_EQ(Read("/_tvdata_/_saved_/_TVDATA_/nested.txt"), "nested");
    EXPECT_TRUE(Logged("Initialize _saved_ folder tracking in the state: "));

    // Not on a side whose root holds no data folder, and not after a stop.
    pKnown->GetItem().SetSaved(1, CSyncTime(), pKnown->GetItem().GetSavedLen(1));
    m_job.m_Tree.GetItem().m_aHoldsDataFolder[1] = 0;
    m_job.ExpireSavedVersions(1);
    EXPECT_TRUE(pKnown->GetItem().GetSavedTime(1).IsZero());
}

TEST(DataFolderNames, SideNamesPathsAndTreeQuestions) {
    CSyncPairsAndActions tree;
    CWideString e;
    CSyncTreeNode* a = tree.AddItemCS(u"a", true, true, nullptr, e);
    CSyncTreeNode* b = a->AddItemCS(u"b.txt", false, true, nullptr, e);
    a->GetItem().m_aCur[1].m_sId = u"A";
    EXPECT_EQ(CSyncJob::GetItemSidePath(b, 0), CWideString(u"/a/b.txt"));
    EXPECT_EQ(CSyncJob::GetItemSidePath(b, 1), CWideString(u"/A/b.txt"));
    EXPECT_TRUE(CSyncJob::GetItemSidePath(&tree, 0).IsEmpty());
    EXPECT_EQ(CSyncJob::GetItemOldSideName(a, 1), CWideString(u"a"));

    EXPECT_FALSE(CSyncJob::IsInExcludedSubtree(b));
    a->GetItem().m_nFlags |= SPF_EXCLUDED;
    EXPECT_TRUE(CSyncJob::IsInExcludedSubtree(b));
    EXPECT_FALSE(CSyncJob::IsInExcludedSubtree(nullptr));

    a->GetItem().m_aCur[0].SetPresent(true);
    a->GetItem().m_aCur[0].SetFolder(true);
    EXPECT_TRUE(CSyncJob::HasOnlyFolderAncestors(b));
    a->GetItem().m_aCur[1].SetPresent(true); // a file of that name on the right
    EXPECT_FALSE(CSyncJob::HasOnlyFolderAncestors(b));
    EXPECT_FALSE(CSyncJob::HasOnlyFolderAncestors(nullptr));

    EXPECT_FALSE(CSyncJob::AnyChildExists(a));
    b->GetItem().m_aCur[0].SetPresent(true);
    b->GetItem().m_aCur[0].m_Len.SetValue(1);
    EXPECT_TRUE(CSyncJob::AnyChildExists(a));
    EXPECT_TRUE(CSyncJob::AnyIncludedChildExists(a));
    b->GetItem().m_nFlags |= SPF_REINCLUDED;
    EXPECT_FALSE(CSyncJob::AnyIncludedChildExists(a));

    EXPECT_EQ(CSyncJob::StripCopyNumber(u"report (12)"), CWideString(u"report"));
    EXPECT_EQ(CSyncJob::StripCopyNumber(u"report ()"), CWideString(u"report"));
    EXPECT_EQ(CSyncJob::StripCopyNumber(u"report (1a)"), CWideString(u"report (1a)"));
    EXPECT_EQ(CSyncJob::StripCopyNumber(u"report (12) x"), CWideString(u"report (12) x"));
}
