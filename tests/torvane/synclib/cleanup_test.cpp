// The clean-up of a side's data folder at the end of a Sync, the history
// walk on its own, and the forgetting operations, on real folders.
#include "fake-fs.h"
#include "job-harness.h"

#include "syncjob.h"
#include "zor-file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <time.h>
#include <utime.h>

namespace {

constexpr int64_t kDay = 86400;

// A back-end whose folder delete takes the folder's content along.
class CTreeDeletingFs : public CFakeFs {
public:
    using CFakeFs::CFakeFs;
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
    void SetUp() override {
        h.Attach(job);
        job.SetName(u"J");
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R/_tvdata_/_history_"));
    }
    TvFileSys* Connect(int side, CFakeFs* p) {
        job.m_apFs[side].reset(p);
        TvConnectInfo ci;
        ci.m_sUrl = job.GetSideFolder(side);
        int kind = 0;
        CWideString err;
        EXPECT_TRUE(p->Connect(ci, &h.m_sink, kind, err)) << ToU8(err);
        return p;
    }
    int64_t Now() const { return CZorTime::Now().GetTime(); }
    // The history stamp of a moment, "_YYYY-MMDD-hhmmss".
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
        ASSERT_TRUE(h.m_tmp.WriteFile(rel, content));
        struct utimbuf ut {
            (time_t) t, (time_t)t
        };
        utime(h.m_tmp.NativeSub(rel).c_str(), &ut);
    }
};

// ---------------------------------------------------------------- at the end of a Sync

TEST_F(CleanupTest, DueCleanupAtTheEndOfASync) {
    job.m_Options.m_bSavePastVersions = true;
    Touch("L/a.txt", 1600000000);
    Touch("R/a.txt", 1600000000);
    ASSERT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();

    const std::string stamp = "R/_tvdata_/_cleanup.tvs", hist = "R/_tvdata_/_history_/";
    const std::string yesterday = Stamp(Now() - kDay);
    const std::vector<std::string> all = {"Delete history a_2020-0101-120000.txt", "Delete log old.log",
                                          "Delete log x._tvtmp"};
    struct Case {
        const char* what;
        int64_t nStampAge; // -1: no stamp
        int nLogRetainDays;
        bool bCleanupPastVersions;
        std::vector<std::string> notices;
    };
    const Case cases[] = {
        {"no stamp", -1, 15, true, all},
        {"younger than the 5-day interval", 4 * kDay, 15, true, {}},
        {"older than the interval", 6 * kDay, 15, true, all},
        {"history clean-up off: logs only", 6 * kDay, 15, false, {all[1], all[2]}},
        {"a retention of 2 days: 2 hours", 3 * 3600, 2, true, all},
        {"... and younger than that", 3600, 2, true, {}},
        {"a retention of 0 keeps every log; the interval is the kept versions' 10 days", 11 * kDay, 0, true,
         {all[0], all[2]}},
        {"... which a stamp of 3 hours is not past", 3 * 3600, -1, true, {}},
    };
    int nEdit = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& n : {std::string("a_2020-0101-120000.txt"), "a" + yesterday + ".txt",
                                     std::string("a.txt"), std::string("a_2020-01-01-120000.txt")})
            Touch(hist + n, Now() - 100 * kDay);
        for (const auto& [name, age] : std::vector<std::pair<std::string, int64_t>>{
                 {"old.log", 20}, {"young.log", 1}, {"UP.LOG", 20}, {"x._tvtmp", 3}, {"y._tvtmp", 1}})
            Touch("R/_tvdata_/" + name, Now() - age * kDay);
        std::filesystem::remove(h.m_tmp.NativeSub(stamp));
        const int64_t tStamp = Now() - c.nStampAge;
        if (c.nStampAge >= 0) Touch(stamp, tStamp, "");
        g_EngineOptions.m_nLogRetainDays = c.nLogRetainDays;
        job.m_Options.m_bCleanupPastVersions = c.bCleanupPastVersions;

        // One change on the left, so that the run syncs.
        h.m_sink.ClearRecords();
        ++nEdit;
        Touch("L/a.txt", 1600000000 + 100 * nEdit, std::string(nEdit + 1, 'y'));
        ASSERT_EQ(h.Run(job, true, true).nState, RS_SYNCED) << h.m_sink.Dump();
        std::vector<std::string> notices;
        for (const auto& n : h.m_sink.Notices()) {
            CWideString t = n.text; // "Delete history <path>\n": keep the word and the name
            if (!t.StartsWith(u"Delete history ") && !t.StartsWith(u"Delete log ")) continue;
            t.TrimRight();
            notices.push_back(ToU8(t.Left(t.Find(u' ', 7) + 1) + t.Mid(t.ReverseFind(u'/') + 1)));
        }
        std::sort(notices.begin(), notices.end());
        EXPECT_EQ(notices, c.notices);

        const bool bDone = !c.notices.empty();
        EXPECT_EQ(h.m_tmp.Exists(hist + "a_2020-0101-120000.txt"), !(bDone && c.bCleanupPastVersions));
        EXPECT_EQ(h.m_tmp.Exists("R/_tvdata_/old.log"), !(bDone && c.nLogRetainDays > 0));
        EXPECT_EQ(h.m_tmp.Exists("R/_tvdata_/x._tvtmp"), !bDone);
        for (const std::string& n :
             {"_history_/a" + yesterday + ".txt", std::string("_history_/a.txt"),
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

// ---------------------------------------------------------------- history folders

TEST_F(CleanupTest, OldFoldersGoOnlyWhenTheWalkLeftThemEmpty) {
    const std::string hist = "R/_tvdata_/_history_/";
    // Folders made now are young while the clock says a day later...
    h.m_clock.SetNow(time(nullptr) + kDay);
    ASSERT_TRUE(h.m_tmp.MakeDir(hist + "young"));
    TvFileSys* fs = Connect(1, new CFakeFs(plan));
    CListT<CWideString> deleted;
    CWideString err;
    ASSERT_TRUE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
    EXPECT_TRUE(h.m_tmp.Exists(hist + "young"));

    // ... and old 40 days later, also on a back-end whose folder delete is
    // recursive: a folder still holding a young version stays.
    h.m_clock.SetNow(time(nullptr) + 40 * kDay);
    fs = Connect(1, new CTreeDeletingFs(plan));
    std::string young = "v";
    young += Stamp(Now() - kDay) + ".txt";
    Touch(hist + "d/a" + Stamp(Now() - 35 * kDay), Now());
    Touch(hist + "f/" + young, Now());
    Touch(hist + "f/w" + Stamp(Now() - 35 * kDay) + ".txt", Now());
    ASSERT_TRUE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
    EXPECT_FALSE(h.m_tmp.Exists(hist + "young"));
    EXPECT_FALSE(h.m_tmp.Exists(hist + "d"));
    EXPECT_EQ(h.m_tmp.List(hist + "f"), std::vector<std::string>{young});

    plan->Fail("ListDir", FSE_GENERAL, u"gone");
    EXPECT_FALSE(CleanupHistoryFolder(CSyncJob::kHistoryFolderPath, &job, fs, 30, deleted, err));
    EXPECT_EQ(ToU8(err), "cleaning up files: gone");
}

// ---------------------------------------------------------------- forgetting

TEST_F(CleanupTest, ForgettingStateAndDeletingKeptVersions) {
    for (const char* f : {"R/_tvdata_/_file_state_v4._tv", "R/_tvdata_/_file_state._tv",
                          "R/_tvdata_/_insync_v4.tvl", "R/_tvdata_/lock.tvl", "R/_tvdata_/_saved_/a.txt",
                          "R/_tvdata_/_history_/d/a.txt", "R/sub/_tvdata_/_file_state_v4._tv",
                          "R/sub/_tvdata_/_file_state_v4._tv.bak", "R/sub/_file_state_v4._tv", "R/a.txt"})
        Touch(f, Now());
    TvFileSys* fs = Connect(1, new CFakeFs(plan));
    CWideString mirror, e;
    int k = 0;
    ASSERT_TRUE(MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e));
    ASSERT_TRUE(ZorCreateFolderPath(mirror, e));
    for (const char* f : {"_file_state_v4._tv", "_insync_v4.tvl", "other.txt"})
        std::ofstream(ToU8(mirror) + "/" + f);

    // State-file mode: exactly those names, in data folders at any depth, and the stamps.
    job.ForgetSideState(1);
    const std::vector<std::string> gone = {"_tvdata_/_file_state_v4._tv", "_tvdata_/_file_state._tv",
                                           "_tvdata_/_insync_v4.tvl", "sub/_tvdata_/_file_state_v4._tv"};
    for (const std::string& f : gone) EXPECT_FALSE(h.m_tmp.Exists("R/" + f)) << f;
    for (const char* f : {"_tvdata_/lock.tvl", "_tvdata_/_saved_/a.txt",
                          "sub/_tvdata_/_file_state_v4._tv.bak", "sub/_file_state_v4._tv", "a.txt"})
        EXPECT_TRUE(h.m_tmp.Exists(std::string("R/") + f)) << f;
    EXPECT_EQ(h.m_tmp.List(ToU8(mirror).substr(h.m_tmp.Native().size() + 1)),
              std::vector<std::string>{"other.txt"});
    const std::string dump = h.m_sink.Dump();
    EXPECT_NE(
        dump.find("2/0: Deleted state file " + ToU8(fs->DisplayPath(u"/sub/_tvdata_/_file_state_v4._tv"))),
        std::string::npos)
        << dump;
    EXPECT_NE(dump.find("2/0: Delete Stamp File " + ToU8(fs->DisplayPath(u"/_tvdata_/_insync_v4.tvl"))),
              std::string::npos);

    job.DeleteKeptVersions(1);
    EXPECT_EQ(h.m_tmp.List("R/_tvdata_"), std::vector<std::string>{"lock.tvl"});
    h.m_sink.ClearRecords();
    job.DeleteKeptVersions(1); // nothing kept: nothing to report
    EXPECT_EQ(h.m_sink.Dump(), "");
    job.DeleteDataFolder(1);
    EXPECT_EQ(h.m_tmp.List("R"), (std::vector<std::string>{"a.txt", "sub"}));
    job.DeleteDataFolder(0);
    EXPECT_EQ(h.m_sink.Dump(), "2/0: User Deleted file " + ToU8(fs->DisplayPath(u"/_tvdata_/lock.tvl")) +
                                   "\n2/0: User Deleted folder " + ToU8(fs->DisplayPath(u"/_tvdata_")) +
                                   "\n1/0: Cannot delete _tvdata_ folder: not connected\n");
}

} // namespace
