// The side scan against real folders through the local back-end: depth
// limit, attribute and reserved-name exclusions, links, leftover temporary
// files, listing failures and the statistics line.
#include "WinFileSys.h"
#include "fake-fs.h"
#include "job-harness.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

namespace {

// The local back-end whose MD5 fails for files named "bad*".
class CMd5FailFs : public WinFileSys {
public:
    bool GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLen, int& k, CWideString& e) override {
        if (GetUrlPathFileName(path).Left(3) == u"bad") {
            k = FSE_GENERAL;
            e += u"read error";
            return false;
        }
        return WinFileSys::GetFileCrc(path, crc, nLen, k, e);
    }
};

// The local back-end whose listings wait as on a slow disk (a real sleep
// gives up the processor).
class CWaitingListFs : public WinFileSys {
public:
    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& k, CWideString& e) override {
        if (m_bWait) usleep(200);
        return WinFileSys::ListDir(path, items, k, e);
    }
    std::atomic<bool> m_bWait{false};
};

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_h.Attach(m_job);
        m_job.m_nActivity.store(JA_ANALYZING);
        ASSERT_TRUE(m_h.m_tmp.MakeDir("side"));
    }
    void TearDown() override { m_job.SetProgressSink(&g_DummyJobProgress); }

    // Connects side 0 to the "side" folder with the given back-end.
    void Connect(TvFileSys* fs = new WinFileSys()) {
        TvConnectInfo ci;
        ci.m_sUrl = u"file://" + m_h.m_tmp.Path("side");
        int k = 0;
        CWideString e;
        ASSERT_TRUE(fs->Connect(ci, nullptr, k, e)) << ToU8(e);
        m_job.m_Options.m_Dir1.m_sUrl = ci.m_sUrl; // for a reconnect
        m_job.m_apFs[0].reset(fs);
    }
    bool Scan() {
        m_kind = 0;
        m_err.Empty();
        CSyncTime t;
        return m_job.AnalyzeSide(&m_job.m_Tree, &t, 0, true, false, m_kind, m_err);
    }
    CSyncTreeNode* Node(const char16_t* path) {
        CSyncTreeNode* pParent = nullptr;
        CWideString e;
        return m_job.m_Tree.LookupCS(path, true, &pParent, e);
    }
    std::string Reason(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(p->GetItem().GetReason()) : "<no node>";
    }
    bool Excluded(const char16_t* path) { return Node(path) && Node(path)->GetItem().IsExcluded(); }
    bool Logged(const std::string& part) {
        for (const auto& l : m_h.m_sink.Lines())
            if (ToU8(l.text).find(part) != std::string::npos) return true;
        return false;
    }
    void Write(const std::string& rel, const std::string& text = "x") {
        ASSERT_TRUE(m_h.m_tmp.WriteFile("side/" + rel, text));
    }
    void Dir(const std::string& rel) { ASSERT_TRUE(m_h.m_tmp.MakeDir("side/" + rel)); }
    void SetMTime(const std::string& rel, int64_t t) {
        struct timeval tv[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
        ASSERT_EQ(utimes(m_h.m_tmp.NativeSub("side/" + rel).c_str(), tv), 0);
    }
    std::string Native(const std::string& rel) { return m_h.m_tmp.NativeSub("side/" + rel); }

    CJobHarness m_h;
    CSyncJob m_job;
    int m_kind = 0;
    CWideString m_err;
};

TEST_F(ScanTest, DepthLimitEndsTheScanAtThirtyLevels) {
    std::string chain;
    for (int i = 1; i <= 29; i++) {
        if (i > 1) chain += '/';
        chain += std::to_string(i);
    }
    Dir(chain);
    Write(chain + "/deep.txt");
    Connect();
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    CWideString deepest = u"/" + Utf8ToWide(chain.c_str()) + u"/deep.txt";
    ASSERT_NE(Node(deepest.GetString()), nullptr); // depth 29 is listed

    m_job.ResetTree();
    Dir(chain + "/30");
    Dir("sibling");
    EXPECT_FALSE(Scan());
    EXPECT_EQ(m_kind, ZEK_GENERAL);
    EXPECT_EQ(ToU8(m_err), "Folders go more than 30 levels deep, so your folder tree may have loops in it. "
                           "Stopping Analyze.");
    EXPECT_FALSE(Logged("Cannot read folder")); // the limit is not taken for one unreadable folder
}

TEST_F(ScanTest, AttributeAndReservedNameExclusions) {
    Dir(".hid/inner");
    Write(".hid/inner/f.txt");
    Write(".hfile");
    Dir("sys");
    Dir("_TVDATA_");
    Write("_TVDATA_/x");
    Dir("System Volume Information");
    Dir("sub");
    Write("sub/_tvdata_");
    Write("sub/ok.txt");
    Connect();
    int k = 0;
    CWideString e;
    const bool bSys = m_job.m_apFs[0]->SetAttributes(u"/sys", FSA_SYSTEM, k, e);
    m_job.m_Options.m_bExcludeHidden = true;
    m_job.m_Options.m_bExcludeSystem = true;
    ASSERT_TRUE(Scan()) << ToU8(m_err);

    EXPECT_EQ(Reason(u"/.hid"), "excluded: Hidden folder");
    EXPECT_FALSE(Node(u"/.hid")->GetItem().m_nFlags & SPF_LISTED); // not entered
    EXPECT_EQ(Node(u"/.hid/inner"), nullptr);
    EXPECT_EQ(Reason(u"/.hfile"), "excluded: Hidden file");
    if (bSys) {
        EXPECT_EQ(Reason(u"/sys"), "excluded: System folder");
    }
    EXPECT_EQ(Reason(u"/_TVDATA_"), "excluded: Torvane data folder");
    EXPECT_EQ(Node(u"/_TVDATA_/x"), nullptr);
    EXPECT_EQ(Reason(u"/System Volume Information"), "excluded: System folder");

    CSyncPairAndAction& bad = Node(u"/sub/_tvdata_")->GetItem();
    EXPECT_FALSE(bad.IsExcluded());
    EXPECT_EQ(bad.m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_EQ(ToU8(bad.GetReason()),
              "Files cannot have name _tvdata_ as it is used for Torvane state folder");
    EXPECT_FALSE(Excluded(u"/sub/ok.txt"));
    EXPECT_EQ(m_job.m_nScanFoldersExcluded, bSys ? 4u : 3u);
    EXPECT_EQ(m_job.m_nScanFilesExcluded, 1u);
}

TEST_F(ScanTest, MirrorRootExclusionNeedsASeparator) {
    g_EngineOptions.m_sMirrorFolderRoot = m_h.m_tmp.Path("side/mr");
    Dir("mr/_tvdata_mirrors_/job");
    Dir("mr/_tvdata_mirrors_x");
    Connect();
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_FALSE(Excluded(u"/mr/_tvdata_mirrors_x")) << Reason(u"/mr/_tvdata_mirrors_x");
    EXPECT_EQ(Reason(u"/mr/_tvdata_mirrors_"), "Exclude _tvdata_ mirrors in Torvane profile");

    // Entered on request, a folder inside the mirror root is the mirror's.
    int32_t n = 0;
    bool bRead = false;
    ASSERT_TRUE(
        m_job.ScanFolder(u"/mr", &m_job.m_Tree, 0, true, false, false, 1, true, &n, &bRead, m_kind, m_err));
    EXPECT_EQ(Reason(u"/mr/_tvdata_mirrors_/job"), "Torvane mirror folder");
}

TEST_F(ScanTest, FolderAndFileLinksByOption) {
    Dir("target");
    Write("target/t.txt", "12345");
    Write("file.txt", "1234567");
    ASSERT_EQ(symlink(Native("target").c_str(), Native("dlink").c_str()), 0);
    ASSERT_EQ(symlink(Native("file.txt").c_str(), Native("flink").c_str()), 0);
    ASSERT_EQ(symlink(Native("missing").c_str(), Native("dangling").c_str()), 0);
    Connect();

    m_job.m_Options.m_nFolderLinks = 0;
    m_job.m_Options.m_nFileLinks = 0;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_EQ(Reason(u"/dlink").rfind("Skip Folder Link ", 0), 0u) << Reason(u"/dlink");
    EXPECT_TRUE(Excluded(u"/dlink"));
    EXPECT_EQ(Node(u"/dlink/t.txt"), nullptr);
    EXPECT_EQ(Reason(u"/flink").rfind("Skip File Link ", 0), 0u);

    // Drill down and follow.
    m_job.ResetTree();
    m_job.m_Options.m_nFolderLinks = 2;
    m_job.m_Options.m_nFileLinks = 2;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    const CSideInfo& d = Node(u"/dlink")->GetItem().m_aCur[0];
    EXPECT_TRUE(d.IsFolder());
    EXPECT_TRUE(d.GetFlag(SIF_VIA_LINK));
    EXPECT_FALSE(d.GetFlag(SIF_LINK));
    ASSERT_NE(Node(u"/dlink/t.txt"), nullptr);
    const CSideInfo& f = Node(u"/flink")->GetItem().m_aCur[0];
    EXPECT_EQ(f.m_Len.GetValue(), 7u);
    EXPECT_TRUE(f.GetFlag(SIF_VIA_LINK));
    EXPECT_EQ(Reason(u"/flink"), "Drill down to: " + Native("file.txt"));
    EXPECT_EQ(Node(u"/dangling")->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_EQ(Reason(u"/dangling").rfind("Cannot get link target info: ", 0), 0u) << Reason(u"/dangling");

    // Kept as links.
    m_job.ResetTree();
    m_job.m_Options.m_nFolderLinks = 1;
    m_job.m_Options.m_nFileLinks = 1;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    const CSideInfo& dl = Node(u"/dlink")->GetItem().m_aCur[0];
    EXPECT_TRUE(dl.GetFlag(SIF_LINK));
    EXPECT_FALSE(dl.IsFolder());
    EXPECT_EQ(Node(u"/dlink/t.txt"), nullptr);
    EXPECT_EQ(Reason(u"/flink"), "File link to: " + Native("file.txt"));
    EXPECT_EQ(Node(u"/flink")->GetItem().m_aCur[0].m_Len.GetValue(), 0u);
}

TEST_F(ScanTest, LeftoverTempFilesAgedAndReadOnlySide) {
    const int64_t now = CZorTime::Now().GetTime();
    const std::string aged = "0123456789abcdef0123456789abcdef.tmp";
    Write(aged);
    SetMTime(aged, now - 90000); // older than the local cutoff of one day
    Write("young._TVTMP");
    SetMTime("young._TVTMP", now - 10000);         // older than 2 h, younger than a day
    Write("0123456789ABCDEF0123456789ABCDEF.tmp"); // not a temporary name
    Connect();

    // The read-only source of a one-way job keeps them.
    m_job.m_Options.m_bReadOnlySource = true;
    m_job.m_Options.m_nDirection = JT_LEFT_TO_RIGHT;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_TRUE(m_h.m_tmp.Exists("side/" + aged));
    EXPECT_EQ(Node(u"/0123456789abcdef0123456789abcdef.tmp"), nullptr);

    m_job.ResetTree();
    m_job.m_Options.m_bReadOnlySource = false;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_FALSE(m_h.m_tmp.Exists("side/" + aged));
    EXPECT_TRUE(Logged("Delete temp file: " + Native(aged)));
    EXPECT_TRUE(m_h.m_tmp.Exists("side/young._TVTMP"));
    EXPECT_EQ(Node(u"/young._TVTMP"), nullptr);
    EXPECT_NE(Node(u"/0123456789ABCDEF0123456789ABCDEF.tmp"), nullptr);
    EXPECT_EQ(m_job.m_nScanFilesListed, 1u);
}

TEST_F(ScanTest, Md5FailureMarksOnlyTheItem) {
    Dir("d");
    Write("d/bad.bin");
    Write("d/good.bin", "abc");
    Connect(new CMd5FailFs());
    m_job.m_Options.m_bCompareMD5crc = true;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_EQ(Node(u"/d")->GetItem().m_nExecState, ESS_ANALYZED_OK);
    EXPECT_EQ(Reason(u"/d/bad.bin"), "Cannot get MD5 checksum: read error");
    EXPECT_EQ(Node(u"/d/bad.bin")->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_TRUE(Node(u"/d/good.bin")->GetItem().HasMd5());
    EXPECT_EQ(m_job.m_nScanFilesListed, 2u);
}

TEST_F(ScanTest, ListingFailures) {
    Dir("a");
    Write("a/f");
    Write("top");
    auto plan = std::make_shared<CFakeFsPlan>();

    // Not a connection error: the folder is marked and the scan goes on.
    plan->Fail("ListDir", FSE_GENERAL, u"no access", 1);
    Connect(new CFakeFs(plan));
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_EQ(Node(u"/a")->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_EQ(Reason(u"/a"), "no access");
    EXPECT_NE(Node(u"/top"), nullptr);
    EXPECT_TRUE(Logged("Cannot read folder "));

    // A lost connection that reconnects is listed again.
    m_job.ResetTree();
    m_job.m_Options.m_bAutoReconnect = true;
    m_job.m_Options.m_nReconnectAttempts = 3;
    plan->Disconnect("ListDir", 1);
    ASSERT_TRUE(Scan()) << ToU8(m_err) << m_h.m_sink.Dump();
    EXPECT_NE(Node(u"/a/f"), nullptr);
    EXPECT_EQ(m_job.m_apFs[0]->m_nReconnectCount, 0);

    // One that cannot be reconnected ends the scan with its kind.
    m_job.ResetTree();
    m_job.m_Options.m_bAutoReconnect = false;
    plan->Disconnect("ListDir", 1);
    EXPECT_FALSE(Scan());
    EXPECT_TRUE(IsConnectionError(m_kind)) << m_kind << m_h.m_sink.Dump();
    EXPECT_NE(ToU8(m_err).find(", Cannot reconnect: "), std::string::npos) << ToU8(m_err);
    EXPECT_NE(Node(u"/a")->GetItem().m_nExecState, ESS_ANALYZED_ERR);
}

TEST_F(ScanTest, FastPreAnalyzeFallsBackToAListingWithoutStateFile) {
    Write("f.txt");
    Dir("_tvdata_");
    Write("_tvdata_/_insync_v4.tvl", "By: Docs.user@host at: 2023.11.14 22:13:20 GMT\n/side");
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->SetCap(TVFS_CAP_LOCAL, 0); // a remote side
    Connect(new CFakeFs(plan));
    CWideString mirror;
    ASSERT_TRUE(MakeMirrorFolderPath(false, m_job.m_apFs[0]->DisplayPath(CWideString()), false, mirror, m_kind,
                                     m_err));
    ASSERT_EQ(system(("mkdir -p '" + ToU8(mirror) + "'").c_str()), 0);
    m_job.m_Options.m_bFastPreAnalyzeWithStamps = true;
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_TRUE(Logged("Left: Fast Pre-Analyze detected no changes on server, so skip Full Analyze: By: "
                       "Docs.user@host at: 2023.11.14 22:13:20 GMT\n"));
    EXPECT_TRUE(Logged("Left: Scan this destination side, as there is no state file\n"));
    EXPECT_NE(Node(u"/f.txt"), nullptr); // listed after all
}

TEST_F(ScanTest, StatisticsLineAndExclusionsDownTheTree) {
    Dir("d1");
    Write("d1/a");
    Write("d1/b");
    Write(".h");
    Dir(".hd");
    Connect();
    m_job.m_Options.m_bExcludeHidden = true;
    const int saved = g_LogSwitch.load();
    g_LogSwitch.store(3);
    const bool ok = Scan();
    g_LogSwitch.store(saved);
    ASSERT_TRUE(ok) << ToU8(m_err);
    EXPECT_TRUE(Logged("Left: No State File found, New State will be built\n"));
    // The test clock stands still: a scan of 0 ms gives the rate 100000.
    EXPECT_TRUE(Logged("Left: Files: 2 (excluded 1). Folders: 1 (excluded 1). Times (s): Folder Scan: 0.000 "
                       "(100000 f/s), Compare: 0.000 " +
                       ToU8(m_job.GetSideStatusText(0)) + "\n"))
        << m_h.m_sink.Dump();

    // Exclusion reaches every node below, unreadable folders included.
    CSyncTreeNode* p = Node(u"/d1");
    p->GetItem().m_nExecState = ESS_ANALYZED_ERR;
    CDoPropagateExclusionsDown pass;
    ASSERT_TRUE(m_job.DoForSubtree(&m_job.m_Tree, pass, false));
    EXPECT_EQ(Reason(u"/d1/a"), "excluded by folder above");
    EXPECT_FALSE(Excluded(u"/d1"));
    EXPECT_FALSE(m_job.DoForSubtree(nullptr, pass, true));
}

// The folders listed ahead by helper threads give the same tree as a scan
// that lists every folder itself, whatever the helpers get to first: with a
// limit of one entry held, a single helper, and skipped (excluded,
// unreadable) subtrees whose listings must be dropped, not handed to the
// wrong folder. Helpers that start in the middle of the scan (once its own
// listings have waited) give it too; while listings do not wait, none start.
TEST_F(ScanTest, ListingAheadGivesTheSameTree) {
    for (int i = 0; i < 6; i++) {
        const std::string d = "d" + std::to_string(i);
        Dir(d + "/x/y");
        Write(d + "/f", std::string((size_t)i + 1, 'a'));
        Write(d + "/x/y/g");
        Dir(d + "/.hidden/deep");
        Write(d + "/.hidden/deep/h");
    }
    Dir("big");
    for (int i = 0; i < 300; i++) Write("big/n" + std::to_string(i), std::to_string(i));
    Dir("big/sub");
    Write("big/sub/s");
    Dir("_tvdata_/inner");
    Write("_tvdata_/inner/z");
    Dir("target/t2");
    Write("target/t2/t.txt");
    ASSERT_EQ(symlink(Native("target").c_str(), Native("dlink").c_str()), 0);
    Dir("locked/in");
    Write("locked/in/l");
    auto* fs = new CWaitingListFs();
    Connect(fs);
    m_job.m_Options.m_bExcludeHidden = true;
    m_job.m_Options.m_nFolderLinks = 2;
    const bool bLocked = chmod(Native("locked").c_str(), 0) == 0 && geteuid() != 0;

    auto dump = [&] {
        std::string out;
        for (CSyncDepthFirstIter it(&m_job.m_Tree); it.IsValid(); it.Next()) {
            const CSyncPairAndAction& item = *it.GetItem();
            out += ToU8(it.GetNode()->GetPath()) + " " + ToU8(item.m_aCur[0].Dump()) + " " +
                   std::to_string(item.m_nFlags) + " " + std::to_string(item.m_nExecState) + " " +
                   ToU8(item.GetReason()) + "\n";
        }
        return out;
    };
    struct Case {
        int nThreads;
        size_t nMaxEntries;
        int nAfterWaits; // 0: from the start
        bool bWait;      // the listings wait, so that the helpers start
        bool bLong = false; // the scan counts as long at once, so that they start
    };
    const Case cases[] = {{0, 0, 0, false},  {3, (size_t)1 << 17, 0, false}, {3, 1, 0, false}, {1, 5, 0, false},
                          {2, 40, 0, false}, {3, (size_t)1 << 17, 32, false}, {3, (size_t)1 << 17, 3, true},
                          {2, 3, 1, true},   {3, (size_t)1 << 17, 32, false, true}};
    std::string expected;
    for (const Case& c : cases) {
        m_job.ResetTree();
        m_job.m_nScanPrefetchThreads = c.nThreads;
        m_job.m_nScanPrefetchMaxEntries = c.nMaxEntries;
        m_job.m_nScanPrefetchAfterWaits = c.nAfterWaits;
        fs->m_bWait = c.bWait;
        m_job.m_nScanPrefetchAfterMs = c.bLong ? 0 : INT32_MAX;
        const int nStarts = m_job.m_nScanPrefetchStarts;
        ASSERT_TRUE(Scan()) << ToU8(m_err);
        EXPECT_EQ(m_job.m_pScanPrefetcher, nullptr); // gone with the scan
        const bool bHelpers = c.nThreads > 0 && (c.nAfterWaits == 0 || c.bWait || c.bLong);
        EXPECT_EQ(m_job.m_nScanPrefetchStarts - nStarts, bHelpers ? 1 : 0) << c.nThreads << " after " << c.nAfterWaits;
        const std::string got = dump();
        if (c.nThreads == 0) {
            expected = got;
            EXPECT_NE(expected.find("/big/n299 "), std::string::npos);
            EXPECT_NE(expected.find("/dlink/t2/t.txt "), std::string::npos);
            EXPECT_EQ(expected.find("/d0/.hidden/deep"), std::string::npos);
            EXPECT_EQ(expected.find("/_tvdata_/inner"), std::string::npos);
            if (bLocked) {
                EXPECT_EQ(Node(u"/locked")->GetItem().m_nExecState, ESS_ANALYZED_ERR);
            }
            continue;
        }
        EXPECT_EQ(got, expected) << c.nThreads << " helpers, " << c.nMaxEntries << " entries";
    }
    chmod(Native("locked").c_str(), 0755);
}

} // namespace

// A side without checksums turns MD5 comparison off for the run only: the
// user's setting is back once the run ends, so saving the job keeps it.
namespace {
class CScanningJob : public CSyncJob {
public:
    bool Analyze(const GlobalFilters*, bool, bool, bool, CWideString&, int& errKind, CWideString& errText) override {
        // A remote side without checksums, as the scan meets it.
        auto plan = std::make_shared<CFakeFsPlan>();
        plan->SetCap(TVFS_CAP_MD5, 0);
        CFakeFs* fs = new CFakeFs(plan);
        TvConnectInfo ci;
        ci.m_sUrl = m_Options.m_Dir1.m_sUrl;
        if (!fs->Connect(ci, nullptr, errKind, errText)) return false;
        m_apFs[0].reset(fs);
        CSyncTime t;
        return AnalyzeSide(&m_Tree, &t, 0, true, false, errKind, errText);
    }
};
} // namespace

TEST(ScanRunTest, Md5SwitchLastsOnlyForTheRun) {
    CJobHarness h;
    CScanningJob job;
    h.Attach(job);
    ASSERT_TRUE(h.m_tmp.MakeDir("l"));
    ASSERT_TRUE(h.m_tmp.MakeDir("r"));
    ASSERT_TRUE(h.m_tmp.WriteFile("l/a.txt", "x"));
    job.m_Options.m_Dir1.m_sUrl = u"file://" + h.m_tmp.Path("l");
    job.m_Options.m_Dir2.m_sUrl = u"file://" + h.m_tmp.Path("r");
    job.m_Options.m_bCompareMD5crc = true;
    h.Run(job, true, false);
    bool bLogged = false;
    for (const auto& l : h.m_sink.Lines())
        if (ToU8(l.text).find("Not computing MD5") != std::string::npos) bLogged = true;
    EXPECT_TRUE(bLogged);
    EXPECT_TRUE(job.m_Options.m_bCompareMD5crc);
    job.SetProgressSink(&g_DummyJobProgress);
}

// The folder that cannot be read is named with its control characters as
// escapes: a listed name never writes raw escapes into the log.
TEST_F(ScanTest, UnreadableFolderNameIsEscapedInTheLog) {
    Dir("e\x1b[2J\n");
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->Fail("ListDir", FSE_GENERAL, u"no access", 1);
    Connect(new CFakeFs(plan));
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_TRUE(Logged("Cannot read folder ")) << m_h.m_sink.Dump();
    EXPECT_TRUE(Logged("e\\x1B[2J\\n: no access")) << m_h.m_sink.Dump();
    EXPECT_FALSE(Logged("\x1b"));
}

// A folder known only from the state file that a rule excludes takes what
// the state file knows below it along.
TEST_F(ScanTest, RuleOnAStateOnlyFolderExcludesItsRecordsBelow) {
    Dir("gone");
    Write("gone/x");
    Write("keep");
    Connect();
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    for (CSyncDepthFirstIter it(&m_job.m_Tree); it.IsValid(); it.Next())
        it.GetItem()->m_aOld[0] = it.GetItem()->m_aCur[0];
    bool bCreated = false;
    ASSERT_TRUE(m_job.CreateDataFolder(0, m_job.m_apFs[0].get(), bCreated, m_kind, m_err) &&
                m_job.WriteStateFile(0, CWideString(), m_kind, m_err))
        << ToU8(m_err);
    ASSERT_EQ(system(("rm -r '" + Native("gone") + "'").c_str()), 0);
    m_job.ResetTree();
    CJobFilters filters;
    filters.m_lstExcluded.AddTail(u"gone");
    m_job.m_FilterMatcher.Compile(filters);
    ASSERT_TRUE(Scan()) << ToU8(m_err);
    EXPECT_EQ(Reason(u"/gone"), "excluded: match gone");
    EXPECT_EQ(Reason(u"/gone/x"), "excluded by folder above");
    EXPECT_FALSE(Excluded(u"/keep"));
}
