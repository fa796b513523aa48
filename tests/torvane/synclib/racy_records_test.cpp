// Whole runs on real folders around records that a file's size and time
// cannot prove, and what the idle runs after them read.
#include "job-harness.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

constexpr time_t T0 = 1600000000;

struct CFiles {
    CJobHarness h;
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return TvStreamText(f);
    }
    void Rewrite(const std::string& rel, const std::string& text) { // in place
        std::fstream(h.m_tmp.NativeSub(rel), std::ios::in | std::ios::out | std::ios::binary) << text;
    }
    timespec MTime(const std::string& rel) {
        struct stat st {};
        return stat(h.m_tmp.NativeSub(rel).c_str(), &st) == 0 ? st.st_mtim : timespec{};
    }
    void SetMTime(const std::string& rel, timespec t) {
        const timespec both[2] = {t, t};
        utimensat(AT_FDCWD, h.m_tmp.NativeSub(rel).c_str(), both, 0);
    }
    // One sync; the conflicts it left. m_nOpens: the opens of files named
    // m_sWatched in either folder during it.
    std::string m_sWatched = "-";
    int m_nOpens = 0;
    int Sync(const std::string& l = "L", const std::string& r = "R") {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const std::string& d : {l, r}) inotify_add_watch(fd, h.m_tmp.NativeSub(d).c_str(), IN_OPEN);
        CSyncJob job;
        h.Attach(job);
        job.SetSideFolder(0, h.m_tmp.Path(l));
        job.SetSideFolder(1, h.m_tmp.Path(r));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
        alignas(inotify_event) char buf[8192];
        m_nOpens = 0;
        for (ssize_t len; (len = read(fd, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + len; p += sizeof(inotify_event) + ((inotify_event*)p)->len)
                m_nOpens += ((inotify_event*)p)->len && m_sWatched == ((inotify_event*)p)->name;
        close(fd);
        return job.m_nConflicts.load();
    }
};

// After the first sync, new files on both sides merge only on equal bytes; a
// time moved over unchanged bytes is read once, and the idle run after reads
// nothing.
TEST(RacyRecords, AfterTheFirstSyncContentsDecideAndTheirProofIsKept) {
    CFiles f;
    ASSERT_TRUE(f.h.m_tmp.WriteFileAt("L/a", "AAAA", T0) && f.h.m_tmp.MakeDir("R"));
    f.Sync();
    f.SetMTime("L/a", {T0 + 1, 0});
    f.m_sWatched = "a";
    f.Sync();
    EXPECT_EQ(f.m_nOpens, 1); // its own bytes against the digest the copy recorded
    f.Sync();
    EXPECT_EQ(f.m_nOpens, 0);
    for (const std::string side : {"L/", "R/"}) {
        ASSERT_TRUE(f.h.m_tmp.WriteFileAt(side + "s", "EQUALBYTES", T0 + 10));
        ASSERT_TRUE(f.h.m_tmp.WriteFileAt(side + "n", side == "L/" ? "LLLLLLLLLL" : "RRRRRRRRRR", T0 + 10));
    }
    EXPECT_EQ(f.Sync(), 1);
    EXPECT_NE(f.h.m_sink.Dump().find("/n: Conflict: New files that differ"), std::string::npos);
    EXPECT_EQ(f.Get("L/n") + f.Get("R/n"), "LLLLLLLLLLRRRRRRRRRR");
}

// Local folders keep this machine's clock: a sync with nothing to do reads
// it without a file of its own, and writes nothing into either data folder.
TEST(RacyRecords, IdleSyncOfLocalFoldersWritesNothingInItsDataFolders) {
    CFiles f;
    ASSERT_TRUE(f.h.m_tmp.WriteFileAt("L/a", "AAAA", T0) && f.h.m_tmp.MakeDir("R"));
    f.Sync();
    f.Sync(); // settles what the first one wrote
    std::vector<std::string> lists[2];
    timespec times[2];
    for (const int s : {0, 1}) {
        lists[s] = f.h.m_tmp.List(s ? "R/_tvdata_" : "L/_tvdata_");
        times[s] = f.MTime(s ? "R/_tvdata_" : "L/_tvdata_");
    }
    f.Sync();
    for (const int s : {0, 1}) {
        SCOPED_TRACE(s ? "right" : "left");
        EXPECT_EQ(f.h.m_tmp.List(s ? "R/_tvdata_" : "L/_tvdata_"), lists[s]);
        const timespec t = f.MTime(s ? "R/_tvdata_" : "L/_tvdata_");
        EXPECT_TRUE(t.tv_sec == times[s].tv_sec && t.tv_nsec == times[s].tv_nsec)
            << "the data folder was written\n" << f.h.m_sink.Dump();
    }
}

// On an ext4 image with 128-byte inodes (whole seconds): a same-length
// rewrite in the second of the sync that copied the file is seen, also where
// the sync began well after the file's time, in the same second; the record
// that the next run's read proves is kept.
TEST(RacyRecords, WholeSecondSideSeesARewriteInTheSecondOfItsSync) {
    CFiles f;
    const std::string img = f.h.m_tmp.NativeSub("ext4.img"), dir = f.h.m_tmp.NativeSub("m");
    if (geteuid() != 0 || !f.h.m_tmp.MakeDir("m") ||
        system(("truncate -s 16M " + img + " && mkfs.ext4 -q -F -I 128 " + img + " >/dev/null 2>&1 && mount -o loop " +
                img + " " + dir)
                   .c_str()) != 0)
        GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device";
    struct Unmount {
        std::string d;
        ~Unmount() { umount2(d.c_str(), MNT_DETACH); }
    } unmount{dir};
    ASSERT_TRUE(f.h.m_tmp.MakeDir("m/L") && f.h.m_tmp.MakeDir("m/R"));
    bool bSameSecond = false;
    using namespace std::chrono;
    for (int i = 0; i < 5 && !bSameSecond; i++) {
        const auto now = system_clock::now().time_since_epoch();
        std::this_thread::sleep_for(seconds(1) - now % seconds(1) + milliseconds(20));
        ASSERT_TRUE(f.h.m_tmp.WriteFile("m/L/f", "AAA" + std::to_string(i)));
        const timespec t = f.MTime("m/L/f");
        // The sync begins 150 ms into the second the file's time names: far
        // more than a tick of the clock, well within the step of the times.
        const auto began = system_clock::time_point(seconds(t.tv_sec) + milliseconds(150));
        std::this_thread::sleep_until(began);
        if (system_clock::now() > began + milliseconds(100)) continue;
        f.Sync("m/L", "m/R");
        f.Rewrite("m/L/f", "BBB" + std::to_string(i));
        ASSERT_EQ(t.tv_nsec, 0) << "whole seconds";
        bSameSecond = f.MTime("m/L/f").tv_sec == t.tv_sec;
    }
    if (!bSameSecond) GTEST_SKIP() << "each sync took more than its second";
    EXPECT_EQ(f.Sync("m/L", "m/R"), 0);
    EXPECT_EQ(f.Get("m/R/f").substr(0, 3), "BBB") << f.h.m_sink.Dump();
    EXPECT_EQ(f.Get("m/R/f"), f.Get("m/L/f"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    f.m_sWatched = "f";
    EXPECT_EQ(f.Sync("m/L", "m/R") + f.Sync("m/L", "m/R"), 0);
    EXPECT_EQ(f.m_nOpens, 0);
}

// A state file of an older version holds no stamps: a same-length edit in
// the second of the copy its last sync made is the edit's. The other side's
// record proves itself by its file's change time; the edited one cannot.
TEST(RacyRecords, StateFileWithoutStampsKeepsAnEditInTheSecondOfItsSync) {
    CFiles f;
    ASSERT_TRUE(f.h.m_tmp.MakeDir("L") && f.h.m_tmp.MakeDir("R") && f.h.m_tmp.WriteFile("L/g", "GGGG"));
    f.Sync();
    for (const std::string side : {"L", "R"}) {
        const std::string state = side + "/_tvdata_/_file_state_v4._tv", path = f.h.m_tmp.NativeSub(state);
        const timespec saved = f.MTime(state);
        ASSERT_EQ(system(("zcat " + path + " | sed -E 's/(x=[0-9]+|w:[0-9]+:[^|]*)\\|//g' | gzip -n > " + path + ".x && mv " + path +
                          ".x " + path)
                             .c_str()),
                  0);
        f.SetMTime(state, saved);
    }
    const timespec copied = f.MTime("R/g");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.Rewrite("R/g", "EDIT");
    f.SetMTime("R/g", copied);
    EXPECT_EQ(f.Sync(), 0) << f.h.m_sink.Dump();
    EXPECT_EQ(f.Get("L/g") + f.Get("R/g"), "EDITEDIT") << f.h.m_sink.Dump();
}

} // namespace
