// The clean-up of a side's data folder (stamp, history, old logs) and the
// forgetting operations, on real folders through the local back-end.
#include "fake-fs.h"
#include "job-harness.h"

#include "syncjob.h"
#include "zor-file.h"
#include "zor-path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <time.h>
#include <utime.h>

namespace {

constexpr int64_t kDay = 86400;

// A back-end whose folder delete takes the folder's content along.
class CTreeDeletingFs : public CFakeFs {
public:
    using CFakeFs::CFakeFs;
    TvFileSys* NewInstance() const override { return new CTreeDeletingFs(Plan()); }
    bool DeleteFolder(const CWideString& path, int& k, CWideString& e) override {
        CWideString full;
        if (!GetFullPath(path, full, k, e)) return false;
        std::error_code ec;
        std::filesystem::remove_all(ToU8(full), ec);
        return !ec;
    }
};

class CleanupTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    TvFileSys* fs = nullptr;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        h.Attach(job);
        job.SetName(u"J");
        ASSERT_TRUE(h.m_tmp.MakeDir("S/_tvdata_/_history_"));
    }
    void Connect(TvFileSys* p) {
        std::unique_ptr<TvFileSys> own(p);
        TvConnectInfo ci;
        ci.m_sUrl = h.m_tmp.Path("S");
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(own->Connect(ci, &h.m_sink, kind, err)) << ToU8(err);
        fs = own.get();
        job.m_apFs[0] = std::move(own);
    }
    int64_t Now() const { return CZorTime::Now().GetTime(); }
    // The history stamp of a moment, "_YYYY-MMDD-hhmmss".
public:
    static std::string Stamp(int64_t t) {
        const time_t tt = (time_t)t;
        struct tm lt {};
        localtime_r(&tt, &lt);
        char buf[32];
        strftime(buf, sizeof buf, "_%Y-%m%d-%H%M%S", &lt);
        return buf;
    }
    void Touch(const std::string& rel, int64_t t, const std::string& content = "x") {
        std::filesystem::create_directories(std::filesystem::path(h.m_tmp.NativeSub(rel)).parent_path());
        h.m_tmp.WriteFile(rel, content);
        struct utimbuf ut {(time_t)t, (time_t)t};
        utime(h.m_tmp.NativeSub(rel).c_str(), &ut);
    }
    static std::vector<std::string> Names(const CListT<CWideString>& list) {
        std::vector<std::string> v;
        for (ZorPosition p = list.GetHeadPosition(); p;) v.push_back(ToU8(list.GetNext(p)));
        std::sort(v.begin(), v.end());
        return v;
    }
};

// ---------------------------------------------------------------- the stamp

TEST_F(CleanupTest, StampDecidesAndIsRenewedWhenDue) {
    Connect(new CFakeFs(plan));
    const std::string stamp = "S/_tvdata_/_cleanup.tvs";
    struct Case {
        int64_t nStampAge; // -1: no stamp
        int nDays;
        bool bDue;
    };
    const Case cases[] = {
        {-1, 5, true},           // no stamp: due, an empty one is written
        {kDay, 5, false},        // younger than the interval
        {6 * kDay, 5, true},     // older
        {3600, 0, false},        // an interval of 0 days means 2 hours
        {3 * 3600, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nStampAge);
        std::filesystem::remove(h.m_tmp.NativeSub(stamp));
        const int64_t t = Now() - c.nStampAge;
        if (c.nStampAge >= 0) Touch(stamp, t, "");
        bool bDue = !c.bDue;
        CWideString err;
        ASSERT_TRUE(CheckCleanupStamp(fs, c.nDays, bDue, err)) << ToU8(err);
        EXPECT_EQ(bDue, c.bDue);
        ASSERT_TRUE(h.m_tmp.Exists(stamp));
        EXPECT_EQ(std::filesystem::file_size(h.m_tmp.NativeSub(stamp)), 0u);
        struct stat st;
        ASSERT_EQ(stat(h.m_tmp.NativeSub(stamp).c_str(), &st), 0);
        if (!c.bDue) EXPECT_EQ(st.st_mtime, (time_t)t); // untouched
        if (c.bDue) EXPECT_NE(st.st_mtime, (time_t)t);
    }
    // A stamp that cannot be examined or written is a failure the caller reports.
    plan->Fail("GetInfo", FSE_GENERAL, u"no answer");
    bool bDue = false;
    CWideString err;
    EXPECT_FALSE(CheckCleanupStamp(fs, 5, bDue, err));
    EXPECT_EQ(ToU8(err), "checking cleanup stamp: no answer");
    std::filesystem::remove(h.m_tmp.NativeSub(stamp));
    plan->Fail("UploadFile", FSE_GENERAL, u"disk full");
    err.Empty();
    EXPECT_FALSE(CheckCleanupStamp(fs, 5, bDue, err));
    EXPECT_EQ(ToU8(err), "uploading cleanup stamp: disk full");
}

// ---------------------------------------------------------------- history

TEST_F(CleanupTest, HistoryVersionsGoByTheStampInTheirNames) {
    // Everything made now counts as 40 days old.
    h.m_clock.SetNow(time(nullptr) + 40 * kDay);
    Connect(new CFakeFs(plan));
    const std::string hist = "S/_tvdata_/_history_/";
    const std::string old = Stamp(Now() - 31 * kDay), young = Stamp(Now() - kDay);
    struct Case {
        std::string rel;
        bool bStays;
    };
    const Case cases[] = {
        {"a" + old + ".txt", false},
        {"a" + old, false}, // no extension
        {"d/b" + old + ".doc", false},
        {"a" + young + ".txt", true},
        {"a.txt", true},
        {"a_2024-03-15-142530.txt", true}, // not the shape of a stamp
        {"a_2024-0315-1425.txt", true},
        {"a_2O24-0315-142530.txt", true}, // a letter where a digit belongs
        {"e/c" + young + ".txt", true},   // keeps its old folder
    };
    for (const Case& c : cases) Touch(hist + c.rel, Now() - 100 * kDay);
    CListT<CWideString> deleted;
    CWideString err;
    ASSERT_TRUE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err)) << ToU8(err);
    for (const Case& c : cases) EXPECT_EQ(h.m_tmp.Exists(hist + c.rel), c.bStays) << c.rel;
    EXPECT_FALSE(h.m_tmp.Exists(hist + "d")); // old and emptied
    EXPECT_TRUE(h.m_tmp.Exists(hist + "e"));
    const std::string base = ToU8(fs->DisplayPath(CSyncJob::kHistoryFolderPath));
    EXPECT_EQ(Names(deleted), (std::vector<std::string>{base + "/a" + old, base + "/a" + old + ".txt", base + "/d",
                                                        base + "/d/b" + old + ".doc"}));
}

TEST_F(CleanupTest, YoungEmptyFoldersStayAndARecursiveFolderDeleteKeepsYoungVersions) {
    const std::string hist = "S/_tvdata_/_history_/";
    {
        // Made a day ago by the clock: young, kept even when empty.
        h.m_clock.SetNow(time(nullptr) + kDay);
        Connect(new CFakeFs(plan));
        ASSERT_TRUE(h.m_tmp.MakeDir(hist + "young"));
        CListT<CWideString> deleted;
        CWideString err;
        ASSERT_TRUE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
        EXPECT_TRUE(h.m_tmp.Exists(hist + "young"));
        EXPECT_TRUE(deleted.IsEmpty());
    }
    // An old folder holding a young version, on a back-end whose folder
    // delete is recursive: the folder is not empty after the walk, so it stays.
    h.m_clock.SetNow(time(nullptr) + 40 * kDay);
    Connect(new CTreeDeletingFs(plan));
    const std::string young = Stamp(Now() - kDay);
    Touch(hist + "f/v" + young + ".txt", Now());
    Touch(hist + "f/w" + Stamp(Now() - 35 * kDay) + ".txt", Now());
    CListT<CWideString> deleted;
    CWideString err;
    ASSERT_TRUE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
    EXPECT_EQ(h.m_tmp.List(hist + "f"), std::vector<std::string>{"v" + young + ".txt"});

    // A folder that cannot be listed ends the walk.
    plan->Fail("ListDir", FSE_GENERAL, u"gone");
    err.Empty();
    EXPECT_FALSE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
    EXPECT_EQ(ToU8(err), "cleaning up files: gone");
}

// ---------------------------------------------------------------- old logs

TEST_F(CleanupTest, OldLogsAndStaleTemporaryFiles) {
    Connect(new CFakeFs(plan));
    struct Case {
        std::string name;
        int64_t nAgeDays;
        bool bStays;
    };
    const Case cases[] = {
        {"2023-0101-120000-pc-J.log", 20, false},
        {"2023-0102-120000-pc-J.log", 10, true},
        {"UP.LOG", 20, true}, // upper case is not a log
        {"_log._tvtmp", 3, false},
        {"_state._tvtmp", 1, true}, // young temporary files stay even where logs of that age go
        {"abc.tmp", 3, false},
        {"notes.txt", 100, true},
    };
    for (const Case& c : cases) Touch("S/_tvdata_/" + c.name, Now() - c.nAgeDays * kDay);
    // Old logs in the side's local mirror folder go too.
    CWideString mirror;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e));
    ASSERT_TRUE(ZorCreateFolderPath(mirror, e));
    const std::string mirrorLog = ToU8(mirror) + "/old.log";
    {
        std::ofstream(mirrorLog) << "x";
        struct utimbuf ut {(time_t)(Now() - 20 * kDay), (time_t)(Now() - 20 * kDay)};
        utime(mirrorLog.c_str(), &ut);
    }

    // A side whose listing the fast pre-analyse skipped is left alone.
    fs->m_nStampMode = 1;
    CListT<CWideString> deleted;
    CWideString err;
    ASSERT_TRUE(CleanupOldLogs(fs, 15, deleted, err));
    EXPECT_TRUE(deleted.IsEmpty());
    fs->m_nStampMode = 0;

    ASSERT_TRUE(CleanupOldLogs(fs, 15, deleted, err)) << ToU8(err);
    std::vector<std::string> expected{mirrorLog};
    for (const Case& c : cases) {
        EXPECT_EQ(h.m_tmp.Exists("S/_tvdata_/" + c.name), c.bStays) << c.name;
        if (!c.bStays) expected.push_back(ToU8(fs->DisplayPath(Utf8ToWide(("/_tvdata_/" + c.name).c_str()))));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(deleted), expected);
    EXPECT_FALSE(std::filesystem::exists(mirrorLog));
    EXPECT_TRUE(h.m_tmp.Exists("S/_tvdata_/_history_"));
}

// ---------------------------------------------------------------- forgetting

class ForgetTest : public CleanupTest {
protected:
    void SetUp() override {
        CleanupTest::SetUp();
        const char* files[] = {
            "S/_tvdata_/_file_state_v4._tv", "S/_tvdata_/_file_state._tv", "S/_tvdata_/_insync_v4.tvl",
            "S/_tvdata_/_insync.tvl", "S/_tvdata_/lock.tvl", "S/_tvdata_/_saved_/a.txt",
            "S/_tvdata_/_history_/d/a_2020-0101-120000.txt", "S/sub/_tvdata_/_file_state_v4._tv",
            "S/sub/_tvdata_/_file_state_v4._tv.bak", "S/sub/_file_state_v4._tv", "S/sub/a.txt", "S/a.txt"};
        for (const char* f : files) {
            std::filesystem::create_directories(std::filesystem::path(h.m_tmp.NativeSub(f)).parent_path());
            h.m_tmp.WriteFile(f, "x");
        }
        Connect(new CFakeFs(plan));
        int k = 0;
        CWideString e;
        ASSERT_TRUE(MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e));
        ASSERT_TRUE(ZorCreateFolderPath(mirror, e));
        for (const char* f : {"_file_state_v4._tv", "_insync_v4.tvl", "other.txt"})
            std::ofstream(ToU8(mirror) + "/" + f) << "x";
    }
    CWideString mirror;
    bool InMirror(const char* name) const { return std::filesystem::exists(ToU8(mirror) + "/" + name); }
};

TEST_F(ForgetTest, ForgettingStateDeletesStateFilesAtAnyDepthAndTheStamps) {
    job.ForgetSideState(0);
    struct Case {
        const char* rel;
        bool bStays;
    };
    const Case cases[] = {
        {"S/_tvdata_/_file_state_v4._tv", false},
        {"S/_tvdata_/_file_state._tv", false},
        {"S/_tvdata_/_insync_v4.tvl", false},
        {"S/_tvdata_/_insync.tvl", false},
        {"S/sub/_tvdata_/_file_state_v4._tv", false}, // a nested job's
        {"S/sub/_tvdata_/_file_state_v4._tv.bak", true},
        {"S/sub/_file_state_v4._tv", true}, // not in a data folder
        {"S/_tvdata_/lock.tvl", true},
        {"S/_tvdata_/_saved_/a.txt", true},
        {"S/a.txt", true},
    };
    for (const Case& c : cases) EXPECT_EQ(h.m_tmp.Exists(c.rel), c.bStays) << c.rel;
    EXPECT_FALSE(InMirror("_file_state_v4._tv"));
    EXPECT_FALSE(InMirror("_insync_v4.tvl"));
    EXPECT_TRUE(InMirror("other.txt"));
    const std::string dump = h.m_sink.Dump();
    EXPECT_NE(dump.find("2/0: Deleted state file " + ToU8(fs->DisplayPath(u"/sub/_tvdata_/_file_state_v4._tv"))),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("2/0: Delete Stamp File " + ToU8(fs->DisplayPath(u"/_tvdata_/_insync_v4.tvl"))),
              std::string::npos);
    EXPECT_NE(dump.find("2/0: Delete Read-Only Side State File " + ToU8(mirror) + "/_file_state_v4._tv"),
              std::string::npos);
}

TEST_F(ForgetTest, KeptVersionsAndTheDataFolder) {
    job.DeleteKeptVersions(0);
    EXPECT_FALSE(h.m_tmp.Exists("S/_tvdata_/_saved_"));
    EXPECT_FALSE(h.m_tmp.Exists("S/_tvdata_/_history_"));
    EXPECT_TRUE(h.m_tmp.Exists("S/_tvdata_/_file_state_v4._tv"));
    EXPECT_NE(h.m_sink.Dump().find("2/0: User Deleted file " + ToU8(fs->DisplayPath(u"/_tvdata_/_saved_/a.txt"))),
              std::string::npos);
    // Nothing kept is nothing to report.
    h.m_sink.ClearRecords();
    job.DeleteKeptVersions(0);
    EXPECT_EQ(h.m_sink.Dump(), "");

    job.DeleteDataFolder(0);
    EXPECT_FALSE(h.m_tmp.Exists("S/_tvdata_"));
    EXPECT_TRUE(h.m_tmp.Exists("S/sub/_tvdata_/_file_state_v4._tv"));
    EXPECT_TRUE(h.m_tmp.Exists("S/a.txt"));
    // Without a file system: the failure is logged.
    h.m_sink.ClearRecords();
    job.DeleteDataFolder(1);
    EXPECT_EQ(h.m_sink.Dump(), "1/0: Cannot delete _tvdata_ folder: not connected\n");
}

} // namespace

// ---------------------------------------------------------------- at the end of a Sync

class CleanupRunTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    int nEdit = 0;
    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R/_tvdata_/_history_"));
        h.Attach(job);
        job.SetName(u"J");
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        job.m_Options.m_bSavePastVersions = true;
        job.m_Options.m_bCleanupPastVersions = true;
        Touch("L/a.txt", 1600000000);
        Touch("R/a.txt", 1600000000);
        ASSERT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
    }
    void Touch(const std::string& rel, int64_t t, const std::string& content = "x") {
        ASSERT_TRUE(h.m_tmp.WriteFile(rel, content));
        struct utimbuf ut {(time_t)t, (time_t)t};
        utime(h.m_tmp.NativeSub(rel).c_str(), &ut);
    }
    int64_t Now() const { return CZorTime::Now().GetTime(); }
    // One change on the left, so that the run syncs.
    std::vector<std::string> SyncAChange() {
        h.m_sink.ClearRecords();
        ++nEdit;
        Touch("L/a.txt", 1600000000 + 100 * nEdit, std::string(nEdit + 1, 'y'));
        auto r = h.Run(job, true, true);
        EXPECT_EQ(r.nState, RS_SYNCED) << h.m_sink.Dump();
        std::vector<std::string> notices;
        for (const auto& n : h.m_sink.Notices()) {
            const std::string t = ToU8(n.text);
            if (t.rfind("Delete history ", 0) == 0 || t.rfind("Delete log ", 0) == 0)
                notices.push_back(t.substr(0, t.find(' ', 7)) + " " + t.substr(t.rfind('/') + 1));
        }
        std::sort(notices.begin(), notices.end());
        return notices;
    }
};

TEST_F(CleanupRunTest, DueCleanupDeletesOldVersionsLogsAndTemporaryFiles) {
    const std::string stamp = "R/_tvdata_/_cleanup.tvs";
    const std::string yesterday = CleanupTest::Stamp(Now() - kDay);
    auto plant = [&] {
        for (const std::string& n : {std::string("a_2020-0101-120000.txt"), "a" + yesterday + ".txt", std::string("a.txt"),
                                     std::string("a_2020-01-01-120000.txt")})
            Touch("R/_tvdata_/_history_/" + n, Now() - 100 * kDay);
        Touch("R/_tvdata_/old.log", Now() - 20 * kDay);
        Touch("R/_tvdata_/young.log", Now() - kDay);
        Touch("R/_tvdata_/UP.LOG", Now() - 20 * kDay);
        Touch("R/_tvdata_/x._tvtmp", Now() - 3 * kDay);
        Touch("R/_tvdata_/y._tvtmp", Now() - kDay);
    };
    struct Case {
        const char* what;
        int64_t nStampAge; // -1: no stamp
        int nLogRetainDays;
        bool bCleanupPastVersions;
        std::vector<std::string> notices;
    };
    const std::vector<std::string> all = {"Delete history a_2020-0101-120000.txt\n", "Delete log old.log\n",
                                          "Delete log x._tvtmp\n"};
    const Case cases[] = {
        {"no stamp", -1, 15, true, all},
        {"younger than the 5-day interval", 4 * kDay, 15, true, {}},
        {"older than the interval", 6 * kDay, 15, true, all},
        {"history clean-up off: logs only", 6 * kDay, 15, false, {"Delete log old.log\n", "Delete log x._tvtmp\n"}},
        {"a retention of 2 days: 2 hours", 3 * 3600, 2, true, all},
        {"... and younger than that", 3600, 2, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        plant();
        std::filesystem::remove(h.m_tmp.NativeSub(stamp));
        const int64_t tStamp = Now() - c.nStampAge;
        if (c.nStampAge >= 0) Touch(stamp, tStamp, "");
        g_EngineOptions.m_nLogRetainDays = c.nLogRetainDays;
        job.m_Options.m_bCleanupPastVersions = c.bCleanupPastVersions;
        EXPECT_EQ(SyncAChange(), c.notices);
        const bool bDone = !c.notices.empty();
        EXPECT_EQ(h.m_tmp.Exists("R/_tvdata_/_history_/a_2020-0101-120000.txt"), !(bDone && c.bCleanupPastVersions));
        EXPECT_EQ(h.m_tmp.Exists("R/_tvdata_/old.log"), !bDone);
        EXPECT_EQ(h.m_tmp.Exists("R/_tvdata_/x._tvtmp"), !bDone);
        for (const std::string& n : {"_history_/a" + yesterday + ".txt", std::string("_history_/a.txt"),
                                     std::string("_history_/a_2020-01-01-120000.txt"), std::string("young.log"),
                                     std::string("UP.LOG"), std::string("y._tvtmp")})
            EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_/" + n)) << n;
        ASSERT_TRUE(h.m_tmp.Exists(stamp));
        EXPECT_EQ(std::filesystem::file_size(h.m_tmp.NativeSub(stamp)), 0u);
        struct stat st;
        ASSERT_EQ(stat(h.m_tmp.NativeSub(stamp).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime == (time_t)tStamp, !bDone); // renewed only when due
    }
}
