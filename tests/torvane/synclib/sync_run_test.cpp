// Whole runs, Analyze and Sync, on real local folders: what arrives where,
// what is kept, what a clean run leaves behind, and that the run after it
// finds nothing to do.
#include "fake-fs.h"
#include "job-harness.h"
#include "test-tmp.h"

#include "state-file.h"
#include "syncjob-exec.h"
#include "zor-stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>

namespace {

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

// A sink that runs a test's action when the run asks to go on to Sync.
class CHookSink : public CRecordingSink {
public:
    std::function<void()> beforeSync;
    bool ConfirmSync(int) override {
        if (beforeSync) beforeSync();
        return true;
    }
};

class SyncRunTest : public ::testing::Test {
public:
    CJobHarness h;
    CHookSink sink;
    std::unique_ptr<CSyncJob> job;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    std::unique_ptr<CFakeFsRegistration> reg;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        NewJob(false);
    }
    void TearDown() override {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
    }
    // A fresh job object (as the job list makes one per run).
    void NewJob(bool bFake, const std::function<void(CSyncJobOptions&)>& opts = nullptr) {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
        job = std::make_unique<CSyncJob>();
        job->SetProgressSink(&sink);
        job->SetName(u"Docs");
        if (bFake && !reg) reg = std::make_unique<CFakeFsRegistration>(plan);
        const std::string pre = bFake ? "fakefs://" : "";
        job->SetSideFolder(0, W(pre + h.m_tmp.NativeSub("L")));
        job->SetSideFolder(1, W(pre + h.m_tmp.NativeSub("R")));
        if (opts) opts(job->m_Options);
    }
    void Put(const std::string& rel, const std::string& content, time_t mtime = 1600000000) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, content, mtime));
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
    CJobHarness::RunResult Run() {
        sink.ClearRecords();
        return h.Run(*job, true, true);
    }
    bool Logged(const std::string& part) const { return sink.Dump().find(part) != std::string::npos; }
    std::string Summary() const {
        return "SyncOk=" + std::to_string(job->m_nSyncOk.load()) +
               " ChangesOk=" + std::to_string(job->m_nChangesOk.load()) +
               " SyncErr=" + std::to_string(job->m_nSyncErr.load()) +
               " Conflicts=" + std::to_string(job->m_nConflicts.load());
    }
    // What a clean run leaves: (6, 1), both state files and stamps with one
    // first line, no lock, no temporary file; the run after it does not Sync.
    void ExpectClean(const CJobHarness::RunResult& r) {
        EXPECT_TRUE(r.bOk) << sink.Dump();
        EXPECT_EQ(r.nState, RS_SYNCED) << sink.Dump();
        EXPECT_EQ(r.nSub, RSS_OK);
        EXPECT_EQ(job->m_nSyncErr.load(), 0);
        EXPECT_EQ(job->m_nConflicts.load(), 0);
        for (const char* side : {"L", "R"}) {
            const std::string s(side);
            EXPECT_TRUE(h.m_tmp.Exists(s + "/_tvdata_/_file_state_v4._tv"));
            const std::string stamp = Get(s + "/_tvdata_/_insync_v4.tvl");
            EXPECT_EQ(stamp.rfind("By: Docs.", 0), 0u) << stamp;
            EXPECT_EQ(std::count(stamp.begin(), stamp.end(), '\n'), 1);
            for (auto& e : std::filesystem::recursive_directory_iterator(h.m_tmp.NativeSub(s))) {
                const std::string n = e.path().filename().string();
                EXPECT_EQ(n.find("._tvtmp"), std::string::npos) << e.path();
                EXPECT_NE(n.rfind("lock", 0), 0u) << e.path();
            }
        }
        NewJob(reg != nullptr, [&](CSyncJobOptions& o) { o = m_lastOptions; });
        auto again = Run();
        EXPECT_TRUE(again.bOk) << sink.Dump();
        // A Sync without work that only saves the state files (to settle the
        // stored bits of files written in the seconds before) changes nothing.
        EXPECT_TRUE(again.nState == RS_ANALYZED || (job->m_nChangesOk.load() == 0 && job->m_nSyncOk.load() == 0))
            << "the next run synced again:\n"
            << sink.Dump();
    }
    CSyncJobOptions m_lastOptions;
    // Runs with the options kept for the follow-up run.
    CJobHarness::RunResult RunWith(const std::function<void(CSyncJobOptions&)>& opts = nullptr) {
        NewJob(reg != nullptr, opts);
        m_lastOptions = job->m_Options;
        return Run();
    }
};

TEST_F(SyncRunTest, FirstRunMergesBothSidesAndTheNextFindsNothing) {
    Put("L/a.txt", "left a");
    Put("L/docs/b.txt", "left b");
    Put("R/c.txt", "right c");
    Put("L/same.txt", "same");
    Put("R/same.txt", "same");
    auto r = RunWith();
    EXPECT_EQ(Summary(), "SyncOk=5 ChangesOk=4 SyncErr=0 Conflicts=0") << sink.Dump();
    EXPECT_EQ(Get("R/a.txt"), "left a");
    EXPECT_EQ(Get("R/docs/b.txt"), "left b");
    EXPECT_EQ(Get("L/c.txt"), "right c");
    EXPECT_EQ(MTime("R/a.txt"), 1600000000);
    ExpectClean(r);
}

TEST_F(SyncRunTest, ChangesArriveReplacedAndDeletedFilesAreKept) {
    Put("L/a.txt", "v1");
    Put("L/b.txt", "bbb");
    Put("L/c.txt", "ccc");
    ExpectClean(RunWith());
    Put("L/a.txt", "v2 longer", 1600000500);
    unlink(h.m_tmp.NativeSub("L/b.txt").c_str());
    Put("R/c.txt", "ccc from right", 1600000700);
    auto r = RunWith();
    EXPECT_EQ(Summary(), "SyncOk=3 ChangesOk=3 SyncErr=0 Conflicts=0") << sink.Dump();
    EXPECT_EQ(Get("R/a.txt"), "v2 longer");
    EXPECT_EQ(Get("R/b.txt"), "<missing>");
    EXPECT_EQ(Get("L/c.txt"), "ccc from right");
    EXPECT_EQ(Get("R/_tvdata_/_saved_/a.txt"), "v1");
    EXPECT_EQ(Get("R/_tvdata_/_saved_/b.txt"), "bbb");
    EXPECT_EQ(Get("L/_tvdata_/_saved_/c.txt"), "ccc");
    ExpectClean(r);
}

TEST_F(SyncRunTest, ConflictsStayUntouchedAndLeaveNoStamp) {
    Put("L/a.txt", "base");
    Put("L/n.txt", "n");
    ExpectClean(RunWith());
    Put("L/a.txt", "left edit", 1600000500);
    Put("R/a.txt", "right edit!", 1600000600);
    Put("L/new.txt", "new");
    Put("L/n.txt", "n2", 1600000800);
    // A copy, a merge-free change and a conflict.
    auto r = RunWith();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << sink.Dump();
    EXPECT_EQ(job->m_nConflicts.load(), 1);
    EXPECT_EQ(job->m_nSyncErr.load(), 0);
    EXPECT_EQ(Get("L/a.txt"), "left edit");
    EXPECT_EQ(Get("R/a.txt"), "right edit!");
    EXPECT_EQ(Get("R/new.txt"), "new");
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_insync_v4.tvl"));
    EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_/_insync_v4.tvl"));
}

TEST_F(SyncRunTest, RenamesMovesAndFolderRenamesAreOneMoveEach) {
    NewJob(true);
    Put("L/a.txt", "rename me");
    Put("L/dir1/m.txt", "move me");
    Put("L/dir2/keep.txt", "k");
    for (int i = 0; i < 5; ++i) Put("L/folder/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    ExpectClean(RunWith());
    std::filesystem::rename(h.m_tmp.NativeSub("L/a.txt"), h.m_tmp.NativeSub("L/b.txt"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/dir1/m.txt"), h.m_tmp.NativeSub("L/dir2/m.txt"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/folder"), h.m_tmp.NativeSub("L/renamed"));
    auto r = RunWith();
    EXPECT_TRUE(r.bOk) << sink.Dump();
    EXPECT_EQ(Get("R/b.txt"), "rename me");
    EXPECT_EQ(Get("R/a.txt"), "<missing>");
    EXPECT_EQ(Get("R/dir2/m.txt"), "move me");
    EXPECT_EQ(Get("R/renamed/f3.txt"), "file 3");
    EXPECT_FALSE(h.m_tmp.Exists("R/folder"));
    // Two file moves; the folder moves in one call of its own; nothing is copied.
    const std::string log = sink.Dump();
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("Move File "), 2u) << log;
    EXPECT_EQ(count("Move Folder "), 1u);
    EXPECT_EQ(count("Copy "), 0u);
    EXPECT_EQ(job->m_nSyncErr.load(), 0);
    ExpectClean(r);
}

// A folder moved on a local side is moved on the other without a byte of
// its files read: the files' identities and full times say they are the
// ones that went. Only a file whose identity changed is read to confirm.
TEST_F(SyncRunTest, LocalMovesAreConfirmedByIdentityWithoutReading) {
    for (int i = 0; i < 8; ++i) Put("L/photos/p" + std::to_string(i) + ".jpg", std::string(4096, char('a' + i)));
    Put("L/copied.txt", "same bytes");
    // Files born within the clock tick of a listing prove nothing by their identity.
    usleep(50'000);
    ExpectClean(RunWith());
    ASSERT_TRUE(h.m_tmp.MakeDir("L/archive"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/photos"), h.m_tmp.NativeSub("L/archive/photos"));
    // A new file of the old one's bytes and time under another name: no
    // identity to go by, so it is compared (and moved, as its bytes agree).
    ASSERT_EQ(system(("cp -p " + h.m_tmp.NativeSub("L/copied.txt") + " " + h.m_tmp.NativeSub("L/moved.txt") +
                      " && rm " + h.m_tmp.NativeSub("L/copied.txt")).c_str()),
              0);
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const char* dir : {"L/archive/photos", "R/photos", "L", "R"})
        ASSERT_GE(inotify_add_watch(fd, h.m_tmp.NativeSub(dir).c_str(), IN_OPEN), 0);
    sink.ClearRecords();
    auto r = h.Run(*job, true, false);
    ASSERT_TRUE(r.bOk) << sink.Dump();
    std::map<std::string, int> opened;
    alignas(struct inotify_event) char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        for (char* p = buf; p < buf + n; p += sizeof(struct inotify_event) + ((struct inotify_event*)p)->len) {
            const auto* ev = (struct inotify_event*)p;
            if (!(ev->mask & IN_ISDIR) && ev->len) ++opened[ev->name];
        }
    close(fd);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(opened["p" + std::to_string(i) + ".jpg"], 0) << i;
    EXPECT_EQ(opened["moved.txt"], 1);
    ExpectClean(RunWith());
    EXPECT_EQ(Get("R/archive/photos/p3.jpg"), std::string(4096, 'd'));
    EXPECT_FALSE(h.m_tmp.Exists("R/photos"));
    EXPECT_EQ(Get("R/moved.txt"), "same bytes");
    EXPECT_FALSE(Logged("Copy ")) << sink.Dump();
}

// A folder whose first file went to the root and the others elsewhere did not move as a whole.
TEST_F(SyncRunTest, FilesOfOneFolderMovedToTwoPlacesMoveOneByOne) {
    for (const char* n : {"a", "b", "c"}) Put(std::string("L/dir/") + n + ".txt", n);
    ExpectClean(RunWith());
    h.m_tmp.MakeDir("L/sub");
    std::filesystem::rename(h.m_tmp.NativeSub("L/dir/a.txt"), h.m_tmp.NativeSub("L/a.txt"));
    for (const std::string n : {"b.txt", "c.txt"})
        std::filesystem::rename(h.m_tmp.NativeSub("L/dir/" + n), h.m_tmp.NativeSub("L/sub/" + n));
    std::filesystem::remove(h.m_tmp.NativeSub("L/dir"));
    auto r = RunWith();
    EXPECT_FALSE(Logged("Move Folder ")) << sink.Dump();
    EXPECT_EQ(h.m_tmp.List("R"), (std::vector<std::string>{"_tvdata_", "a.txt", "sub"}));
    EXPECT_EQ(h.m_tmp.List("R/sub"), (std::vector<std::string>{"b.txt", "c.txt"}));
    ExpectClean(r);
}

// Files of one size and second that were moved, renamed or deleted together:
// a pair is made only where nothing else could have been the source, so the
// other side never gets one file's content under another's name.
TEST_F(SyncRunTest, MovesAmongFilesOfOneSizeAndTimeKeepEachContent) {
    struct Case {
        // {from, to}: "" deletes; "+path" writes "to" half a second after the others
        std::vector<std::pair<std::string, std::string>> ops;
        int nDirection;
        bool bMd5;
        std::map<std::string, std::string> expect; // what both sides hold afterwards
        size_t nMoves;
    } cases[] = {
        // Each file's identity proves its own move, whatever shares its size and time.
        {{{"R/a.txt", ""}, {"R/b.txt", "R/c.txt"}}, 0, false, {{"c.txt", "BBBB"}}, 1},
        {{{"L/a.txt", ""}, {"L/b.txt", "L/c.txt"}}, 1, false, {{"c.txt", "BBBB"}}, 1},
        {{{"L/a.txt", "L/d.txt"}, {"L/b.txt", "L/c.txt"}}, 0, false, {{"c.txt", "BBBB"}, {"d.txt", "AAAA"}}, 2},
        {{{"L/a.txt", ""}, {"L/b.txt", "L/x/c.txt"}}, 0, false, {{"x/c.txt", "BBBB"}}, 1},
        {{{"L/a.txt", ""}, {"+L/c.txt", "BBBB"}}, 0, true, {{"b.txt", "BBBB"}, {"c.txt", "BBBB"}}, 0},
        {{{"L/a.txt", "L/c.txt"}}, 0, true, {{"b.txt", "BBBB"}, {"c.txt", "AAAA"}}, 1},
        // A new file of a deleted one's size and second, holding other bytes, is no move of it.
        {{{"L/a.txt", ""}, {"+L/c.txt", "ZZZZ"}}, 0, false, {{"b.txt", "BBBB"}, {"c.txt", "ZZZZ"}}, 0},
        {{{"R/a.txt", ""}, {"+R/x/a.txt", "ZZZZ"}}, 0, false, {{"b.txt", "BBBB"}, {"x/a.txt", "ZZZZ"}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        for (const char* d : {"L", "R", "mirror-root"}) std::filesystem::remove_all(h.m_tmp.NativeSub(d));
        h.m_tmp.MakeDir("R");
        Put("L/a.txt", "AAAA");
        Put("L/b.txt", "BBBB");
        auto opts = [&](CSyncJobOptions& o) {
            if (c.nDirection) o.SetDirection(c.nDirection);
            o.m_bCompareMD5crc = c.bMd5;
        };
        ExpectClean(RunWith(opts));
        // The copies are seen beyond the tick of their birth.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const auto& [from, to] : c.ops) {
            if (from[0] == '+') {
                ASSERT_TRUE(h.m_tmp.MakeDir(std::filesystem::path(from.substr(1)).parent_path()));
                Put(from.substr(1), to);
                const struct timespec ts[2] = {{1600000000, 500000000}, {1600000000, 500000000}};
                ASSERT_EQ(utimensat(AT_FDCWD, h.m_tmp.NativeSub(from.substr(1)).c_str(), ts, 0), 0);
            } else if (to.empty()) std::filesystem::remove(h.m_tmp.NativeSub(from));
            else if (h.m_tmp.MakeDir(std::filesystem::path(to).parent_path()))
                std::filesystem::rename(h.m_tmp.NativeSub(from), h.m_tmp.NativeSub(to));
        }
        auto r = RunWith(opts);
        for (const std::string side : {"L/", "R/"}) {
            std::map<std::string, std::string> got;
            for (auto& e : std::filesystem::recursive_directory_iterator(h.m_tmp.NativeSub(side))) {
                const std::string rel = std::filesystem::relative(e.path(), h.m_tmp.NativeSub(side));
                if (e.is_regular_file() && rel.rfind("_tvdata_", 0) != 0) got[rel] = Get(side + rel);
            }
            EXPECT_EQ(got, c.expect) << side << sink.Dump();
        }
        const std::string log = sink.Dump();
        size_t n = 0;
        for (size_t p = log.find("Move File "); p != std::string::npos; p = log.find("Move File ", p + 1)) ++n;
        EXPECT_EQ(n, c.nMoves) << log;
        ExpectClean(r);
    }
}

// A skipped folder link facing a real folder on the other side cannot be
// synced: every run says so, none reports success, nothing goes through the link.
TEST_F(SyncRunTest, FolderLinkFacingAFolderStaysAnErrorOnEveryRun) {
    for (const std::string link : {"R", "L"}) {
        SCOPED_TRACE(link);
        const std::string real = link == "R" ? "L" : "R";
        for (const char* d : {"L", "R", "OUT", "mirror-root"}) std::filesystem::remove_all(h.m_tmp.NativeSub(d));
        for (const char* d : {"L", "R", "OUT"}) h.m_tmp.MakeDir(d);
        Put(real + "/docs/a.txt", "a");
        std::filesystem::create_directory_symlink(h.m_tmp.NativeSub("OUT"), h.m_tmp.NativeSub(link + "/docs"));
        for (int run = 0; run < 3; ++run) {
            auto r = RunWith([&](CSyncJobOptions& o) { o.SetDirection(link == "R" ? 1 : 0); });
            EXPECT_EQ(r.nSub, RSS_ATTENTION) << run << sink.Dump();
            EXPECT_GT(job->m_Stats.m_aCounts[CAT_ERROR].Total(), 0u) << run;
            EXPECT_TRUE(h.m_tmp.List("OUT").empty()) << run;
        }
    }
}

// A name that is not UTF-8 is shown with U+FFFD; a real file of that
// shown name is a file of its own and syncs, while the bad name stays an error.
TEST_F(SyncRunTest, NameNotInUtf8LeavesTheValidNameOfItsDisplayAlone) {
    const std::string valid = "caf\xEF\xBF\xBD.txt", bad = "caf\xE9.txt";
    Put("L/" + valid, "valid 1");
    ExpectClean(RunWith());
    Put("L/" + bad, "bad");
    Put("L/" + valid, "valid 2", 1600000100);
    Put("L/new\xEF\xBF\xBD.txt", "new valid");
    Put("L/new\xE9.txt", "new bad");
    for (int run = 0; run < 2; ++run) {
        auto r = RunWith();
        EXPECT_EQ(r.nSub, RSS_ATTENTION) << sink.Dump();
        EXPECT_EQ(job->m_Stats.m_aCounts[CAT_ERROR].Total(), 2u) << sink.Dump();
        EXPECT_TRUE(Logged("cannot be synchronized: caf%E9.txt")) << sink.Dump();
        EXPECT_EQ(Get("R/" + valid), "valid 2");
        EXPECT_EQ(Get("R/new\xEF\xBF\xBD.txt"), "new valid");
        EXPECT_EQ(h.m_tmp.List("R").size(), 3u);
    }
}

TEST_F(SyncRunTest, TimeShiftSetsTimesOnlyAndCaseChangeRenames) {
    Put("L/t.txt", "same body");
    Put("L/Case.txt", "case");
    ExpectClean(RunWith());
    Put("L/t.txt", "same body", 1600003600);
    std::filesystem::rename(h.m_tmp.NativeSub("L/Case.txt"), h.m_tmp.NativeSub("L/CASE.txt"));
    auto r = RunWith();
    EXPECT_TRUE(r.bOk) << sink.Dump();
    EXPECT_EQ(h.m_tmp.List("R"), (std::vector<std::string>{"CASE.txt", "_tvdata_", "t.txt"})) << sink.Dump();
    EXPECT_EQ(Get("R/CASE.txt"), "case");
}

TEST_F(SyncRunTest, MoveModeRunTwiceKeepsTheMovedFiles) {
    auto moveMode = [](CSyncJobOptions& o) {
        o.SetDirection(1);
        o.m_n1wayMode = 2;
    };
    Put("L/a.txt", "moved a");
    Put("L/sub/b.txt", "moved b");
    auto r = RunWith(moveMode);
    EXPECT_TRUE(r.bOk) << sink.Dump();
    EXPECT_EQ(Get("R/a.txt"), "moved a");
    EXPECT_EQ(Get("R/sub/b.txt"), "moved b");
    EXPECT_EQ(Get("L/a.txt"), "<missing>");
    EXPECT_TRUE(Logged(" AND delete source file"));
    auto r2 = RunWith(moveMode);
    EXPECT_TRUE(r2.bOk) << sink.Dump();
    EXPECT_EQ(Get("R/a.txt"), "moved a") << sink.Dump();
    EXPECT_EQ(Get("R/sub/b.txt"), "moved b");
}

TEST_F(SyncRunTest, LargeCopyJustBeforeARenameThenNothingToDo) {
    std::string big(5 * 1024 * 1024, 'x');
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = (char)('a' + (i / 4096) % 26);
    Put("L/big.bin", big);
    Put("L/r.txt", "to rename");
    ExpectClean(RunWith());
    Put("L/big.bin", big + "tail", 1600000900);
    std::filesystem::rename(h.m_tmp.NativeSub("L/r.txt"), h.m_tmp.NativeSub("L/r2.txt"));
    auto r = RunWith([](CSyncJobOptions& o) { o.m_nWorkerThreads = 4; });
    EXPECT_EQ(Get("R/big.bin"), big + "tail");
    EXPECT_EQ(Get("R/r2.txt"), "to rename");
    ExpectClean(r);
}

TEST_F(SyncRunTest, StopDuringExecutionRecordsWorkDoneAndLeavesNoStamp) {
    for (int i = 0; i < 6; ++i) Put("L/f" + std::to_string(i) + ".txt", "x");
    NewJob(false);
    m_lastOptions = job->m_Options;
    int n = 0;
    sink.beforeSync = nullptr;
    // The sink asks for a stop after the second file arrived.
    struct StopSink : CHookSink {
        int* pCount;
        void AfterItem(CSyncNode*, int, int, const CWideString&, bool, int, const CWideString&) override {
            if (++*pCount == 2) RequestStop();
        }
    } stopSink;
    stopSink.pCount = &n;
    job->SetProgressSink(&stopSink);
    auto r = h.Run(*job, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.nSub, RSS_STOPPED);
    // The item during which the stop came was done and recorded, not counted.
    EXPECT_EQ(job->m_nSyncOk.load(), 1);
    EXPECT_EQ(h.m_tmp.List("R").size(), 3u); // two files and the data folder
    EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_/_file_state_v4._tv"));
    EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_/_insync_v4.tvl"));
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_insync_v4.tvl"));
    job->SetProgressSink(&g_DummyJobProgress);
    // The next run copies the rest and converges.
    NewJob(false);
    auto r2 = Run();
    EXPECT_EQ(job->m_nSyncOk.load(), 4) << sink.Dump();
    ExpectClean(r2);
}

TEST_F(SyncRunTest, ForeignLockOnTheSecondSideRefusesWithoutStamp) {
    Put("L/a.txt", "a");
    ExpectClean(RunWith());
    Put("L/b.txt", "b");
    Put("R/_tvdata_/lock.tvl", "By: Other.user@host at: 2020.01.01 00:00:00 GMT\n/elsewhere");
    const std::string state = Get("R/_tvdata_/_file_state_v4._tv");
    // A user's run and an unattended one (which locks while it analyses).
    for (const int kind : {RK_USER, RK_AUTOMATIC}) {
        SCOPED_TRACE(kind);
        NewJob(false);
        auto r = h.Run(*job, true, true, kind);
        EXPECT_FALSE(r.bOk);
        EXPECT_EQ(r.nSub, RSS_REFUSED) << sink.Dump();
        EXPECT_EQ(Get("R/b.txt"), "<missing>");
        EXPECT_EQ(Get("R/_tvdata_/_file_state_v4._tv"), state);
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_insync_v4.tvl"));
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/lock.tvl"));
        EXPECT_TRUE(job->m_bLockedByOther);
        EXPECT_EQ(ToU8(job->m_sForeignLockFile), h.m_tmp.NativeSub("R/_tvdata_/lock.tvl"));
    }
    // The other run ends between this one's Analyze and its Sync: the Sync
    // takes the lock and copies, and the run is not a refused one.
    static std::string s_lock;
    static int s_nAsked;
    s_lock = h.m_tmp.NativeSub("R/_tvdata_/lock.tvl");
    s_nAsked = 0;
    h.SetMayRun([](CSyncJob*, bool, CWideString&) { return ++s_nAsked < 2 || unlink(s_lock.c_str()) == 0; });
    NewJob(false);
    auto r = h.Run(*job, true, true);
    h.SetMayRun(nullptr);
    EXPECT_TRUE(r.bOk) << sink.Dump();
    EXPECT_EQ(Get("R/b.txt"), "b");
    EXPECT_FALSE(job->m_bLockedByOther) << sink.Dump();
}

TEST_F(SyncRunTest, UnattendedRunOverTheLimitWritesNothing) {
    for (int i = 0; i < 101; ++i) Put("L/f" + std::to_string(i) + ".txt", "v1");
    ExpectClean(RunWith());
    for (int changed : {7, 6}) {
        SCOPED_TRACE(changed);
        if (changed == 6) Put("L/f6.txt", "v1"); // as it was: unchanged again
        for (int i = 0; i < changed; ++i) Put("L/f" + std::to_string(i) + ".txt", "v2!", 1600000000 + changed);
        NewJob(false, [](CSyncJobOptions& o) { o.m_nLimitChangesPercent = 5; });
        sink.ClearRecords();
        auto r = h.Run(*job, true, true, RK_AUTOMATIC);
        if (changed == 7) {
            EXPECT_EQ(r.nSub, RSS_REFUSED) << sink.Dump();
            EXPECT_EQ(Get("R/f0.txt"), "v1");
            EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/lock.tvl"));
            EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_insync_v4.tvl"));
        } else {
            EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
            EXPECT_EQ(Get("R/f0.txt"), "v2!");
            EXPECT_TRUE(Logged("6 or less items changed, so allow automatic sync"));
        }
    }
}

TEST_F(SyncRunTest, NestedJobFolderIsLockedOnlyWhenSomethingBelowIsWritten) {
    Put("L/top.txt", "top");
    Put("L/sub/x.txt", "x");
    Put("R/sub/x.txt", "x");
    h.m_tmp.MakeDir("L/sub/_tvdata_");
    h.m_tmp.MakeDir("R/sub/_tvdata_");
    ExpectClean(RunWith());
    const std::string lockSub = "Locking folder " + h.m_tmp.NativeSub("L/sub") + " for write";
    Put("L/top.txt", "top v2", 1600000500);
    auto r = RunWith();
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_FALSE(Logged(lockSub)) << sink.Dump();
    Put("L/sub/x.txt", "x v2", 1600000600);
    r = RunWith();
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_TRUE(Logged(lockSub)) << sink.Dump();
    EXPECT_EQ(Get("R/sub/x.txt"), "x v2");
    EXPECT_TRUE(h.m_tmp.Exists("L/sub/_tvdata_/_insync_v4.tvl"));
    EXPECT_TRUE(h.m_tmp.Exists("R/sub/_tvdata_/_insync_v4.tvl"));
}

} // namespace

TEST_F(SyncRunTest, UnattendedRunLocksTheDataFoldersOfNestedJobs) {
    Put("L/sub/x.txt", "x");
    ExpectClean(RunWith());
    // Another job synchronises the sub-folder; another computer runs it now.
    CSyncJob inner;
    inner.SetName(u"Inner");
    inner.SetSideFolder(0, W(h.m_tmp.NativeSub("L/sub")));
    inner.SetSideFolder(1, W(h.m_tmp.NativeSub("R2")));
    h.m_tmp.MakeDir("R2");
    ASSERT_TRUE(h.Run(inner, true, true).bOk);
    Put("L/sub/_tvdata_/lock.tvl", "By: Other.user@host at: 2020.01.01 00:00:00 GMT\n/elsewhere");
    Put("L/sub/y.txt", "y");
    NewJob(false);
    EXPECT_EQ(h.Run(*job, true, true, RK_AUTOMATIC).nSub, RSS_REFUSED);
    EXPECT_EQ(Get("R/sub/y.txt"), "<missing>") << sink.Dump();
}

TEST_F(SyncRunTest, ActionsAmongManyQuietFoldersAreAllDone) {
    // The execution's passes leave out the subtrees without actions: each
    // kind of action deep among unchanged folders is still done.
    for (int d = 0; d < 12; ++d)
        for (int f = 0; f < 4; ++f) Put("L/d" + std::to_string(d) + "/s/f" + std::to_string(f) + ".txt", "x");
    Put("L/d5/gone/sub/old.txt", "old");
    Put("L/d8/s/moved.txt", "move me");
    ExpectClean(RunWith());
    std::filesystem::remove_all(h.m_tmp.NativeSub("L/d5/gone"));
    Put("L/d3/new/inner.txt", "a new one");
    Put("L/d9/s/f2.txt", "changed", 1600000500);
    std::filesystem::rename(h.m_tmp.NativeSub("L/d8/s/moved.txt"), h.m_tmp.NativeSub("L/d8/moved.txt"));
    ExpectClean(RunWith());
    EXPECT_FALSE(h.m_tmp.Exists("R/d5/gone"));
    EXPECT_EQ(Get("R/d3/new/inner.txt"), "a new one");
    EXPECT_EQ(Get("R/d9/s/f2.txt"), "changed");
    EXPECT_EQ(Get("R/d8/moved.txt"), "move me");
    EXPECT_EQ(Get("R/d8/s/moved.txt"), "<missing>");
    EXPECT_EQ(Get("R/d0/s/f0.txt"), "x");
}

// The destination's root folder is moved away and a link to another folder
// put in its place just before, or while, a file is copied into it, by the
// job's thread or by workers: the run stops, and nothing is written into the
// other folder (the file in flight included).
TEST_F(SyncRunTest, RootSwappedForALinkMidRunStopsTheRun) {
    const std::string root = h.m_tmp.NativeSub("R"), moved = root + ".real";
    ASSERT_TRUE(h.m_tmp.MakeDir("elsewhere"));
    // Armed when the big file's copy is about to begin: the swap comes then,
    // or at the next stop check (the first of the copy's progress reports).
    struct SwapSink : CHookSink {
        std::function<void()> swap;
        bool bAtStopCheck = false;
        std::atomic<bool> bArmed{false};
        bool BeforeItem(CSyncNode* pNode, int nEff, int nOper, const CWideString& path, int& errKind,
                        CWideString& err) override {
            if (ToU8(path).find("a-big.bin") != std::string::npos) bArmed = true;
            if (!bAtStopCheck && bArmed.exchange(false)) std::exchange(swap, nullptr)();
            return CHookSink::BeforeItem(pNode, nEff, nOper, path, errKind, err);
        }
        bool CheckStop(int& errKind, CWideString& err) override {
            if (bArmed.exchange(false) && swap) std::exchange(swap, nullptr)();
            return CHookSink::CheckStop(errKind, err);
        }
    };
    for (int nWorkers : {0, 4}) {
        for (bool bAtStopCheck : {false, true}) {
            SCOPED_TRACE(std::to_string(nWorkers) + " workers" + (bAtStopCheck ? ", during the copy" : ""));
            std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
            std::filesystem::remove(root);
            std::filesystem::remove_all(moved);
            ASSERT_TRUE(h.m_tmp.MakeDir("R"));
            Put("L/a-big.bin", std::string(3 * 1024 * 1024, 'x'));
            for (int i = 0; i < 4; ++i) Put("L/f" + std::to_string(i) + ".txt", "x");
            SwapSink swapSink;
            swapSink.bAtStopCheck = bAtStopCheck;
            swapSink.swap = [&] {
                ASSERT_EQ(rename(root.c_str(), moved.c_str()), 0);
                ASSERT_EQ(symlink(h.m_tmp.NativeSub("elsewhere").c_str(), root.c_str()), 0);
            };
            NewJob(false, [&](CSyncJobOptions& o) { o.m_nWorkerThreads = nWorkers; });
            job->SetProgressSink(&swapSink);
            auto r = h.Run(*job, true, true);
            job->SetProgressSink(&g_DummyJobProgress);
            EXPECT_FALSE(swapSink.swap) << "the copy never began";
            EXPECT_FALSE(r.bOk) << swapSink.Dump();
            EXPECT_NE(swapSink.Dump().find("root folder was moved or replaced"), std::string::npos)
                << swapSink.Dump();
            EXPECT_TRUE(h.m_tmp.List("elsewhere").empty());
            EXPECT_LT(job->m_nSyncOk.load(), 5);
        }
    }
}
TEST_F(SyncRunTest, EmptiedSourceRootIsNotAvailableInEveryRunKind) {
    // A one-way job whose source is an empty mount point (the drive is not
    // there), or one with a stray item in it: no run kind may take that for
    // "everything was deleted", nor write into it, also when the job is new
    // (deleted and added again: the job list knows no run of it).
    const auto oneWay = [](CSyncJobOptions& o) { o.SetDirection(1); };
    for (int i = 0; i < 9; ++i) Put("L/d/f" + std::to_string(i) + ".txt", "x");
    Put("L/top.txt", "top");
    ExpectClean(RunWith(oneWay));
    std::filesystem::rename(h.m_tmp.NativeSub("L"), h.m_tmp.NativeSub("L.real"));
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    for (const char* stray : {"", "stray.txt"}) {
        if (*stray) Put(std::string("L/") + stray, "?");
        for (int kind : {RK_AUTOMATIC, RK_USER}) {
            for (uint8_t bRanBefore : {1, 0}) {
                SCOPED_TRACE(std::string(stray) + " kind " + std::to_string(kind) + " ran " +
                             std::to_string(bRanBefore));
                NewJob(false, oneWay);
                job->m_bRanBefore = bRanBefore;
                sink.ClearRecords();
                auto r = h.Run(*job, true, true, kind);
                EXPECT_FALSE(r.bOk);
                EXPECT_EQ(r.nSub, RSS_REFUSED) << sink.Dump();
                EXPECT_TRUE(job->m_abNotAvailable[0]);
                const std::string why = ToU8(r.sResult);
                EXPECT_NE(why.find(h.m_tmp.NativeSub("L")), std::string::npos) << why;
                EXPECT_NE(why.find(" 11 items"), std::string::npos) << why;
                EXPECT_EQ(Get("R/top.txt"), "top");
                EXPECT_EQ(Get("R/d/f3.txt"), "x");
                const auto left = h.m_tmp.List("L");
                EXPECT_EQ(left, *stray ? std::vector<std::string>{stray} : std::vector<std::string>{});
            }
        }
    }
    // The user may say that the side is meant to be as it stands.
    NewJob(false, oneWay);
    job->m_bAllowEmptySide = 1;
    auto r = Run();
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_EQ(Get("R/top.txt"), "<missing>");
    EXPECT_EQ(Get("R/stray.txt"), "?");
    // An unattended run that finds no data folder where items were left,
    // but the items there, syncs as usual once Sync has looked.
    std::filesystem::remove_all(h.m_tmp.NativeSub("L/_tvdata_"));
    Put("L/new.txt", "new");
    NewJob(false, oneWay);
    r = h.Run(*job, true, true, RK_AUTOMATIC);
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_EQ(Get("R/new.txt"), "new");
    EXPECT_TRUE(h.m_tmp.Exists("L/_tvdata_/_file_state_v4._tv"));
    EXPECT_EQ(Get("L/_tvdata_/_insync_v4.tvl").rfind("By: Docs.", 0), 0u);
}

TEST_F(SyncRunTest, UnreadableStateFileIsSetAsideAndTheSideSyncsAsNew) {
    // A state file that says nothing (empty, garbage, a folder at its name)
    // is a side without one: a warning, then a first sync of that side.
    const std::string state = "R/_tvdata_/_file_state_v4._tv";
    for (const char* kind : {"empty", "garbage", "folder"}) {
        SCOPED_TRACE(kind);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        Put("L/a.txt", "a");
        Put("L/b.txt", "b");
        ExpectClean(RunWith());
        std::filesystem::remove(h.m_tmp.NativeSub(state));
        if (std::string(kind) == "folder")
            ASSERT_TRUE(h.m_tmp.MakeDir(state + "/x"));
        else
            Put(state, std::string(kind) == "empty" ? "" : "\x1f\x8b garbage, not a state file");
        unlink(h.m_tmp.NativeSub("L/b.txt").c_str());
        Put("L/c.txt", "new");
        auto r = RunWith();
        EXPECT_TRUE(r.bOk) << sink.Dump();
        EXPECT_EQ(r.nState, RS_SYNCED) << sink.Dump();
        EXPECT_TRUE(Logged("state file")) << sink.Dump();
        EXPECT_EQ(Get("R/b.txt"), "b"); // never a deletion from what it cannot tell
        EXPECT_EQ(Get("R/c.txt"), "new");
        Put("L/b.txt", "b");
        ExpectClean(RunWith());
    }
}

// A state file that lists far more items than its side holds (a few MB
// once compressed can list millions) takes no more memory than the side's
// tree could need: it is set aside and the side syncs as new (no deletion).
// Measured in a child process, its peak against the record budget (lowered
// here with the file); a real file above the budget's minimum is read once
// the side is listed, and its deletions go on.
TEST_F(SyncRunTest, StateFileListingFarMoreThanTheSideStaysWithinItsMemoryBound) {
    struct MinRecords {
        explicit MinRecords(int64_t n) { CSyncJob::s_nStateMinRecords = n; }
        ~MinRecords() { CSyncJob::s_nStateMinRecords = kStateMinRecordBudget; }
    } lowered(100000);
    Put("L/a.txt", "a");
    Put("L/b.txt", "b");
    ExpectClean(RunWith());
    std::string text = "^[a=9|b=2|c=9|1=4|2=1|s=0|]\n[f=1|N:0:|]<";
    for (int i = 0; i < 1500000; i++)
        text += "\n[f=0|N:8:f" + std::to_string(10000000 + i).substr(1) + "|]<>";
    text += ">>";
    CAutoPtrT<ZorOutStream> out;
    CWideString err;
    ASSERT_TRUE(OpenFileWriter(W(h.m_tmp.NativeSub("R/_tvdata_/_file_state_v4._tv")), true, out, err, true) &&
                out->Write(text.data(), (int)text.size(), err) && out->Close(err))
        << ToU8(err);
    unlink(h.m_tmp.NativeSub("L/b.txt").c_str());
    // In a child: the run, and the growth of its resident memory from its start to its peak.
    // (Under the thread sanitizer, whose fork of a process with threads can
    // hang, the run is made here and its memory not measured.)
    int64_t report[3] = {0, 0, 0};
#if defined(__SANITIZE_THREAD__)
    {
        const auto r = RunWith();
        report[0] = r.bOk && r.nState == RS_SYNCED;
        report[1] = Logged("lists more than 100000 records");
    }
#else
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        long nSize = 0, nResident = -1 << 30;
        if (FILE* f = fopen("/proc/self/statm", "r")) {
            if (fscanf(f, "%ld %ld", &nSize, &nResident) != 2) nResident = -1 << 30;
            fclose(f);
        }
        const auto r = RunWith();
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        const int64_t report[3] = {r.bOk && r.nState == RS_SYNCED, Logged("lists more than 100000 records"),
                                   ru.ru_maxrss * 1024 - nResident * sysconf(_SC_PAGESIZE)};
        _exit(write(fds[1], report, sizeof(report)) == (ssize_t)sizeof(report) ? 0 : 1);
    }
    EXPECT_EQ(read(fds[0], report, sizeof(report)), (ssize_t)sizeof(report));
    waitpid(pid, nullptr, 0);
#endif
    EXPECT_TRUE(report[0] && report[1]) << "run ok: " << report[0] << ", warning: " << report[1];
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // their memory is their own
    // Some 500 bytes a record in the tree and what reading it takes:
    // 100000 of them (the file's are 15 times as many) stay under 100 MB.
    EXPECT_LT(report[2], 100 << 20) << "peak growth in bytes";
#endif
    EXPECT_EQ(Get("R/b.txt"), "b"); // never a deletion from what it cannot tell

    // A real tree above the minimum, in a file this job did not save (no
    // count of its records kept): it is read after the listing.
    CSyncJob::s_nStateMinRecords = 20;
    Put("L/b.txt", "b");
    for (int i = 0; i < 30; i++) Put("L/f" + std::to_string(i), "x");
    ExpectClean(RunWith());
    for (int i = 0; i < 5; i++) unlink(h.m_tmp.NativeSub("L/f" + std::to_string(i)).c_str());
    for (auto& e : std::filesystem::recursive_directory_iterator(ToU8(g_EngineOptions.m_sMirrorFolderRoot)))
        if (e.path().filename().string().rfind(ToU8(CSyncJob::kStateRecordsName), 0) == 0)
            std::filesystem::remove(e.path());
    auto r = RunWith();
    EXPECT_TRUE(Logged("is read once the side is listed")) << sink.Dump();
    EXPECT_EQ(Get("R/f3"), "<missing>") << sink.Dump();
    EXPECT_EQ(Get("R/f29"), "x");
    ExpectClean(r);
}

// A state file above the records' minimum that fits what the job itself
// saved, also once most of the tree is deleted (the file still remembers
// the deleted items), is read once, before the listing, which takes the
// records' stored bits; a run with nothing to do leaves it as it is.
TEST_F(SyncRunTest, StateFileThatFitsItsSideIsReadOnceAndLeftAsItIsWithoutWork) {
    struct Lowered {
        Lowered() { CSyncJob::s_nStateMinRecords = 20, CSyncJob::s_nStoredBitsMargin = -100000; }
        ~Lowered() {
            CSyncJob::s_nStateMinRecords = kStateMinRecordBudget, CSyncJob::s_nStoredBitsMargin = 10;
        }
    } lowered;
    for (int i = 0; i < 40; i++) Put("L/f" + std::to_string(i), "x");
    ExpectClean(RunWith());
    for (const int nDeleted : {0, 36}) {
        SCOPED_TRACE(nDeleted);
        for (int i = 0; i < nDeleted; i++) unlink(h.m_tmp.NativeSub("L/f" + std::to_string(i)).c_str());
        const auto stateOf = [&](int s) {
            struct stat st {};
            const std::string path =
                h.m_tmp.NativeSub(s ? "R/_tvdata_/_file_state_v4._tv" : "L/_tvdata_/_file_state_v4._tv");
            EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
            return st;
        };
        // The run before and the run looked at within one second of the
        // disk's clock: a later second may rightly save what the later scan
        // verified (the records' stored bits of a small side).
        struct stat before[2];
        CJobHarness::RunResult r;
        for (int attempt = 0; attempt < 5; attempt++) {
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            if (now.tv_nsec > 200000000) usleep((useconds_t)((1000000000 - now.tv_nsec) / 1000 + 1000));
            const time_t second = time(nullptr);
            const auto pre = RunWith();
            if (nDeleted && attempt == 0) {
                ExpectClean(pre);
                EXPECT_EQ(Get("R/f0"), "<missing>");
            } else {
                EXPECT_TRUE(pre.bOk) << sink.Dump();
            }
            before[0] = stateOf(0), before[1] = stateOf(1);
            sink.ClearRecords();
            r = RunWith();
            if (time(nullptr) == second) break;
        }
        EXPECT_TRUE(r.bOk && r.nState == RS_ANALYZED) << sink.Dump();
        EXPECT_FALSE(Logged("is read once the side is listed") || Logged("are not used")) << sink.Dump();
        for (int s = 0; s < 2; s++) {
            const struct stat after = stateOf(s);
            EXPECT_TRUE(after.st_ino == before[s].st_ino &&
                        after.st_mtim.tv_nsec == before[s].st_mtim.tv_nsec)
                << "the state file was saved again: " << s;
        }
    }
    EXPECT_EQ(Get("L/f39"), "x");
    EXPECT_EQ(Get("R/f39"), "x");
}

TEST_F(SyncRunTest, KeptVersionOfAFileWithSeveralNamesIsACopyOfItsOwn) {
    // L/a.txt, L/b.txt and L/c.txt are names of one file on the right side
    // that is replaced (b) and deleted (c): the kept versions must not
    // change with what is written to the names that stay.
    // (Linked before the first sync: a name given another file since the
    // last sync is a change of that side.)
    Put("L/a.txt", "one");
    Put("L/b.txt", "one");
    Put("L/c.txt", "one");
    Put("R/a.txt", "one");
    for (const char* n : {"R/b.txt", "R/c.txt"})
        ASSERT_EQ(link(h.m_tmp.NativeSub("R/a.txt").c_str(), h.m_tmp.NativeSub(n).c_str()), 0);
    ExpectClean(RunWith());
    Put("L/b.txt", "two", 1600000500);
    unlink(h.m_tmp.NativeSub("L/c.txt").c_str());
    auto r = RunWith();
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_EQ(Get("R/b.txt"), "two");
    EXPECT_EQ(Get("R/c.txt"), "<missing>");
    std::ofstream(h.m_tmp.NativeSub("R/a.txt"), std::ios::app) << " changed";
    EXPECT_EQ(Get("R/_tvdata_/_saved_/b.txt"), "one");
    EXPECT_EQ(Get("R/_tvdata_/_saved_/c.txt"), "one");
}

TEST_F(SyncRunTest, TemporaryFilesOfAKilledRunAreRemovedByTheNextRun) {
    Put("L/a.txt", "a");
    ExpectClean(RunWith());
    // What a run killed half-way through writing its lock leaves: a copy's
    // temporary file in the data folder, the lock's text in the temporary
    // folder (named for a process that is gone). The next run removes them
    // whether it has work to do or not.
    const char* tmp = getenv("TMPDIR");
    const std::string lockTemp = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/tvlk999999999-a1b2c3.tmp";
    const std::string copy = "L/_tvdata_/0123456789abcdef0123456789abcdef._tvtmp";
    // State files on their way: under the name every job once shared, and
    // under a job's own (each job's is its own).
    CSyncJob other;
    other.SetName(u"Other");
    const std::string ownState = "L/_tvdata_/" + ToU8(other.OwnTempName(CSyncJob::kStateUploadName, nullptr));
    EXPECT_NE(other.OwnTempName(CSyncJob::kStateUploadName, nullptr),
              job->OwnTempName(CSyncJob::kStateUploadName, nullptr));
    for (const bool bWork : {true, false}) {
        SCOPED_TRACE(bWork ? "with work" : "without work");
        ASSERT_TRUE(std::ofstream(lockTemp) << "By: Docs");
        Put("L/_tvdata_/tvtmQ7x2Zk.tmp", "half a lock", time(nullptr) - 3600);
        Put(copy, "a copy on its way", time(nullptr) - 3600);
        Put("L/_tvdata_/_file_state_upload._tvtmp", "half a state", time(nullptr) - 3600);
        Put(ownState, "half a state", time(nullptr) - 3600);
        // The killed run had taken the folder: it no longer claims to be in sync.
        std::filesystem::remove(h.m_tmp.NativeSub("L/_tvdata_/_insync_v4.tvl"));
        if (bWork) Put("L/b.txt", "b");
        auto r = RunWith();
        EXPECT_FALSE(std::filesystem::exists(lockTemp));
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/tvtmQ7x2Zk.tmp"));
        EXPECT_FALSE(h.m_tmp.Exists(copy));
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_file_state_upload._tvtmp"));
        EXPECT_FALSE(h.m_tmp.Exists(ownState));
        if (bWork) {
            ExpectClean(r);
        } else {
            // The folder was taken for the clean-up and left as a Sync without work leaves it.
            EXPECT_EQ(r.nState, RS_ANALYZED) << sink.Dump();
            EXPECT_EQ(Get("L/_tvdata_/_insync_v4.tvl").rfind("By: Docs.", 0), 0u) << sink.Dump();
            EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/lock.tvl"));
        }
    }
    std::filesystem::remove(lockTemp);
}

// The left's clock moved an hour (its files' times shifted): only the times
// go over. A target rewritten after Analyze keeps its own time, so the next
// run still sees the rewrite.
TEST_F(SyncRunTest, TimeCopyLeavesATargetRewrittenSinceAnalyze) {
    constexpr time_t kT = 1600000000;
    for (const char* n : {"a", "b", "c", "f"})
        Put(std::string("L/") + n, "same bytes", kT), Put(std::string("R/") + n, "same bytes", kT);
    RunWith();
    for (const char* n : {"a", "b", "c", "f"}) Put(std::string("L/") + n, "same bytes", kT + 3600);
    sink.beforeSync = [&] { // same size, half a second off the time listed
        Put("R/f", "SAME BYTES", kT);
        const struct timespec ts[2] = {{kT, 500000000}, {kT, 500000000}};
        utimensat(AT_FDCWD, h.m_tmp.NativeSub("R/f").c_str(), ts, 0);
    };
    auto r = RunWith();
    sink.beforeSync = nullptr;
    EXPECT_EQ(job->m_nSyncErr.load(), 1) << sink.Dump();
    EXPECT_TRUE(Logged("Destination file has changed since Analyze")) << sink.Dump();
    EXPECT_EQ(MTime("R/a"), kT + 3600);
    EXPECT_EQ(MTime("R/f"), kT) << "the rewrite took the source's time";
    RunWith();
    EXPECT_EQ(Get("R/f"), "SAME BYTES");
    EXPECT_EQ(job->m_nConflicts.load(), 1) << sink.Dump();
}

// A forced one-way job makes the target like the source: a target file
// rewritten between Analyze and Sync is replaced or deleted as any other.
TEST_F(SyncRunTest, ForcedOneWayJobOverwritesATargetRewrittenSinceAnalyze) {
    constexpr time_t kT = 1600000000;
    const auto forced = [](CSyncJobOptions& o) {
        o.SetDirection(1);
        o.m_n1wayMode = OWM_FORCED;
    };
    for (const char* n : {"new", "gone"})
        Put(std::string("L/") + n, "same bytes", kT), Put(std::string("R/") + n, "same bytes", kT);
    RunWith(forced);
    Put("L/new", "NEW BYTES!", kT + 100);
    std::filesystem::remove(h.m_tmp.NativeSub("L/gone"));
    sink.beforeSync = [&] { // same size, half a second off the time listed
        for (const char* n : {"R/new", "R/gone"}) {
            Put(n, "EDIT BYTES", kT);
            const struct timespec ts[2] = {{kT, 500000000}, {kT, 500000000}};
            utimensat(AT_FDCWD, h.m_tmp.NativeSub(n).c_str(), ts, 0);
        }
    };
    RunWith(forced);
    sink.beforeSync = nullptr;
    EXPECT_EQ(Summary(), "SyncOk=2 ChangesOk=2 SyncErr=0 Conflicts=0") << sink.Dump();
    EXPECT_EQ(Get("R/new"), "NEW BYTES!");
    EXPECT_EQ(Get("R/gone"), "<missing>");
}

// The user edits the target file after Analyze, before its copy begins or
// while it is copied, with its size and (within the tolerance of the time
// comparison) its time kept: the copy, or the deletion passed on, leaves the
// edit alone, the item fails and the next run sees the edit. A source edited
// meanwhile loses nothing either.
TEST_F(SyncRunTest, FileEditedAfterAnalyzeIsNeverReplaced) {
    constexpr size_t kSize = 1024 * 1024 + 1; // more than one chunk of a copy
    constexpr time_t kT = 1600000000;
    const std::string pathL = h.m_tmp.NativeSub("L/f"), pathR = h.m_tmp.NativeSub("R/f"), edited(kSize, 'u');
    auto rewrite = [&](const std::string& path, char c, time_t sec, long ns) { // in place: the inode stays
        const int fd = open(path.c_str(), O_WRONLY);
        const struct timespec ts[2] = {{sec, ns}, {sec, ns}};
        EXPECT_TRUE(pwrite(fd, std::string(kSize, c).data(), kSize, 0) == (ssize_t)kSize &&
                    !futimens(fd, ts));
        close(fd);
    };
    auto replace = [&] { // another file of the same size and time, its identity told apart by the stamp
        struct stat was = {}, now = {};
        stat(pathR.c_str(), &was);
        std::string other;
        for (int i = 0; !now.st_ino || MakeFileStamp(now.st_ino, 0) == MakeFileStamp(was.st_ino, 0); ++i) {
            Put(other = "R/f" + std::to_string(i), edited, kT);
            stat(h.m_tmp.NativeSub(other).c_str(), &now);
        }
        std::filesystem::rename(h.m_tmp.NativeSub(other), pathR);
    };
    struct Edit {
        const char* name;
        bool bDeleted, bSource, bSeen; // deleted on the left; the left edited; the next scan tells it
        std::function<void()> fn;
    } const edits[] = {
        {"rewritten, other nanoseconds", false, false, true, [&] { rewrite(pathR, 'u', kT, 500000000); }},
        {"rewritten, a second later", false, false, true, [&] { rewrite(pathR, 'u', kT + 1, 0); }},
        {"another file, same size and time", false, false, false, replace},
        {"rewritten where a deletion goes", true, false, true, [&] { rewrite(pathR, 'u', kT, 500000000); }},
        {"source rewritten", false, true, true, [&] { rewrite(pathL, 's', kT + 200, 0); }},
    };
    const std::pair<const char*, std::function<void(CSyncJobOptions&)>> modes[] = {
        {"default options", nullptr},
        {"SameBeforeSyncAsInAnalyze", [](CSyncJobOptions& o) { o.m_bSameBeforeSyncAsInAnalyze = true; }},
        {"no temporary file", [](CSyncJobOptions& o) { o.m_bCopyUsingTempFile = false; }},
    };
    // The edit comes as the item begins, or at the first stop check after (in its copy).
    struct EditSink : CHookSink {
        std::function<void()> edit;
        bool bDuring = false, bArmed = false;
        bool BeforeItem(CSyncNode* p, int nEff, int nOp, const CWideString& path, int& k,
                        CWideString& e) override {
            if (edit && path.EndsWith(u"/f") && !(bArmed = bDuring)) std::exchange(edit, nullptr)();
            return CHookSink::BeforeItem(p, nEff, nOp, path, k, e);
        }
        bool CheckStop(int& k, CWideString& e) override {
            if (bArmed && edit) std::exchange(edit, nullptr)();
            return CHookSink::CheckStop(k, e);
        }
    };
    for (const auto& [mode, opts] : modes) {
        for (const bool bDuring : {false, true}) {
            for (const Edit& e : edits) {
                if (bDuring && e.bDeleted) continue; // nothing is copied
                SCOPED_TRACE(std::string(mode) + (bDuring ? ", in the copy: " : ", before: ") + e.name);
                std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
                std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
                Put("L/f", std::string(kSize, 'o'), kT);
                Put("R/f", std::string(kSize, 'o'), kT);
                RunWith(opts);
                if (e.bDeleted)
                    std::filesystem::remove(pathL);
                else
                    Put("L/f", std::string(kSize, 'L'), kT + 100);
                EditSink editSink;
                editSink.edit = e.fn;
                editSink.bDuring = bDuring;
                NewJob(false, opts);
                job->SetProgressSink(&editSink);
                auto r = h.Run(*job, true, true);
                job->SetProgressSink(&sink);
                EXPECT_FALSE(editSink.edit) << "the edit was never made";
                if (e.bSource) { // whatever the copy took, the next runs bring the edit over
                    RunWith(opts);
                    RunWith(opts);
                    EXPECT_TRUE(Get("L/f") == std::string(kSize, 's') && Get("R/f") == Get("L/f"));
                    continue;
                }
                EXPECT_EQ(r.nSub, RSS_ATTENTION);
                EXPECT_EQ(job->m_nSyncErr.load(), 1);
                EXPECT_NE(editSink.Dump().find("Destination file has changed since Analyze"),
                          std::string::npos)
                    << editSink.Dump();
                EXPECT_TRUE(Get("R/f") == edited) << "the user's edit was replaced";
                EXPECT_TRUE(bDuring || !h.m_tmp.Exists("R/_tvdata_/_saved_/f")) << "kept as replaced";
                if (!e.bSeen) continue;
                RunWith(opts); // both sides changed
                EXPECT_EQ(job->m_nConflicts.load(), 1) << sink.Dump();
                EXPECT_TRUE(Get("R/f") == edited);
            }
        }
    }
}
