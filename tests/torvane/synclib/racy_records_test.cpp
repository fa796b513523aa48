// Whole runs on real folders around records that their own file cannot
// prove: files written within the step of their time before a sync, new
// files on both sides, records of an older state file; and what an idle run
// reads once contents proved a record.
#include "job-harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

constexpr time_t T0 = 1600000000;

std::string Get(const CTempFolder& t, const std::string& rel) {
    std::ifstream f(t.NativeSub(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Rewrites a file in place (same inode).
void Rewrite(const CTempFolder& t, const std::string& rel, const std::string& text) {
    std::fstream f(t.NativeSub(rel), std::ios::in | std::ios::out | std::ios::binary);
    f << text;
}

struct timespec MTime(const CTempFolder& t, const std::string& rel) {
    struct stat st {};
    stat(t.NativeSub(rel).c_str(), &st);
    return st.st_mtim;
}

void SetMTime(const CTempFolder& t, const std::string& rel, struct timespec ts) {
    const struct timespec both[2] = {ts, ts};
    utimensat(AT_FDCWD, t.NativeSub(rel).c_str(), both, 0);
}

// Counts the opens of the files directly inside the watched folders.
class COpenWatch {
public:
    explicit COpenWatch(const std::vector<std::string>& folders) {
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const std::string& f : folders) inotify_add_watch(m_fd, f.c_str(), IN_OPEN);
    }
    ~COpenWatch() { close(m_fd); }
    int FileOpens() {
        alignas(struct inotify_event) char buf[8192];
        int n = 0;
        for (ssize_t len; (len = read(m_fd, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + len;) {
                const auto* ev = reinterpret_cast<const struct inotify_event*>(p);
                if (!(ev->mask & IN_ISDIR)) ++n;
                p += sizeof(struct inotify_event) + ev->len;
            }
        return n;
    }

private:
    int m_fd = -1;
};

struct RunOutcome {
    int nConflicts = 0;
    std::string log;
};

RunOutcome SyncOnce(CJobHarness& h, const CWideString& left, const CWideString& right) {
    CSyncJob job;
    h.Attach(job);
    job.SetName(u"Racy");
    job.SetSideFolder(0, left);
    job.SetSideFolder(1, right);
    h.m_sink.ClearRecords();
    EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
    RunOutcome r{job.m_nConflicts.load(), h.m_sink.Dump()};
    job.SetProgressSink(&g_DummyJobProgress);
    return r;
}

// Waits for the start of the next second of the real clock.
void WaitForNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto next = std::chrono::duration_cast<std::chrono::seconds>(now) + std::chrono::seconds(1);
    std::this_thread::sleep_for(next - now + std::chrono::milliseconds(20));
}

// A file whose time moved over unchanged bytes is read once: the next idle
// run opens no user file.
TEST(RacyRecords, ContentsProofIsKeptAndAnIdleRunOpensNoFile) {
    CJobHarness h;
    ASSERT_TRUE(h.m_tmp.MakeDir("R"));
    ASSERT_TRUE(h.m_tmp.WriteFileAt("L/f", "AAAA", T0));
    SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
    SetMTime(h.m_tmp, "L/f", {T0 + 1, 0});
    COpenWatch watch({h.m_tmp.NativeSub("L"), h.m_tmp.NativeSub("R")});
    for (int run = 0; run < 3; run++) {
        SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
        EXPECT_EQ(watch.FileOpens(), run == 0 ? 2 : 0) << "run " << run;
    }
    EXPECT_EQ(Get(h.m_tmp, "R/f"), "AAAA");
}

// An ext4 image with 128-byte inodes keeps whole seconds, mounted through a
// loop device below the test's folder.
class CWholeSecondMount {
public:
    explicit CWholeSecondMount(const CTempFolder& t) : m_dir(t.NativeSub("mnt")) {
        const std::string img = t.NativeSub("ext4.img");
        if (geteuid() != 0 || !t.MakeDir("mnt")) return;
        const std::string mk = "truncate -s 16M " + img + " && mkfs.ext4 -q -F -I 128 " + img + " 2>/dev/null";
        m_bMounted = system(mk.c_str()) == 0 && system(("mount -o loop " + img + " " + m_dir).c_str()) == 0;
    }
    ~CWholeSecondMount() {
        if (m_bMounted) umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool m_bMounted = false;
    std::string m_dir;
};

// A file written in the second of its sync and rewritten with its length in
// that second, on a side whose times are whole seconds and whose clock is not
// the machine's (the test clock): the rewrite is seen. A record that the
// contents proved is kept: the idle run after opens no file.
TEST(RacyRecords, WholeSecondSideSeesARewriteInTheSecondOfItsSync) {
    CJobHarness h;
    CWholeSecondMount mnt(h.m_tmp);
    if (!mnt.m_bMounted) GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device";
    const CWideString L = h.m_tmp.Path("mnt/L"), R = h.m_tmp.Path("mnt/R");
    ASSERT_TRUE(h.m_tmp.MakeDir("mnt/L") && h.m_tmp.MakeDir("mnt/R"));
    bool bSameSecond = false;
    for (int attempt = 0; attempt < 3 && !bSameSecond; attempt++) {
        ASSERT_TRUE(h.m_tmp.WriteFile("mnt/L/z", "ZZ" + std::to_string(attempt)));
        SyncOnce(h, L, R); // the data folders are there before the timed runs
        WaitForNextSecond();
        ASSERT_TRUE(h.m_tmp.WriteFile("mnt/L/f", "AAA" + std::to_string(attempt)));
        const struct timespec t = MTime(h.m_tmp, "mnt/L/f");
        SyncOnce(h, L, R);
        Rewrite(h.m_tmp, "mnt/L/f", "BBB" + std::to_string(attempt));
        const struct timespec t2 = MTime(h.m_tmp, "mnt/L/f");
        ASSERT_EQ(t.tv_nsec, 0) << "whole seconds";
        bSameSecond = t2.tv_sec == t.tv_sec;
    }
    if (!bSameSecond) GTEST_SKIP() << "the sync took more than the second";
    const RunOutcome r = SyncOnce(h, L, R);
    const std::string want = Get(h.m_tmp, "mnt/L/f");
    EXPECT_EQ(want.substr(0, 3), "BBB");
    // Both records are within that second: which side wrote last, the times
    // cannot tell, and the item is a conflict; never "in sync" with other bytes.
    EXPECT_TRUE(Get(h.m_tmp, "mnt/R/f") == want || r.nConflicts == 1) << r.log;
    // Both sides given the same bytes and time: one read settles both
    // records for good, and the idle run after opens no file.
    WaitForNextSecond();
    Rewrite(h.m_tmp, "mnt/R/f", want);
    SetMTime(h.m_tmp, "mnt/R/f", MTime(h.m_tmp, "mnt/L/f"));
    SyncOnce(h, L, R);
    COpenWatch watch({mnt.m_dir + "/L", mnt.m_dir + "/R"});
    EXPECT_EQ(SyncOnce(h, L, R).nConflicts, 0);
    EXPECT_EQ(watch.FileOpens(), 0);
}

// After the job's first sync, two new files of one length and one full time
// are one file only when their bytes are equal.
TEST(RacyRecords, NewFilesOnBothSidesMergeOnlyWithEqualBytes) {
    CJobHarness h;
    ASSERT_TRUE(h.m_tmp.MakeDir("R"));
    ASSERT_TRUE(h.m_tmp.WriteFileAt("L/a", "first", T0));
    SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
    for (const char* side : {"L/", "R/"}) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(std::string(side) + "same", "EQUALBYTES", T0 + 10));
        ASSERT_TRUE(h.m_tmp.WriteFileAt(std::string(side) + "n", side[0] == 'L' ? "LLLLLLLLLL" : "RRRRRRRRRR",
                                        T0 + 10));
    }
    const RunOutcome r = SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
    EXPECT_EQ(r.nConflicts, 1) << r.log;
    EXPECT_NE(r.log.find("/n: Conflict: New files that differ"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("/same: Conflict"), std::string::npos) << r.log;
    EXPECT_EQ(Get(h.m_tmp, "L/n"), "LLLLLLLLLL");
    EXPECT_EQ(Get(h.m_tmp, "R/n"), "RRRRRRRRRR");
}

// A state file written by an older version holds no stamps. A same-length
// edit of a file that its last sync had just copied, in the same second as
// that copy, is the edit's: the other side's record proves itself by its
// file's change time, the edited one cannot.
TEST(RacyRecords, StateFileWithoutStampsKeepsAnEditInTheSecondOfItsSync) {
    CJobHarness h;
    ASSERT_TRUE(h.m_tmp.MakeDir("L") && h.m_tmp.MakeDir("R"));
    ASSERT_TRUE(h.m_tmp.WriteFile("L/g", "GGGG"));
    SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
    for (const char* side : {"L", "R"}) {
        const std::string state = std::string(side) + "/_tvdata_/_file_state_v4._tv";
        const struct timespec saved = MTime(h.m_tmp, state);
        const std::string path = h.m_tmp.NativeSub(state);
        const std::string strip =
            "zcat " + path + " | sed -E 's/x=[0-9]+\\|//g' | gzip -n > " + path + ".new && mv " + path + ".new " + path;
        ASSERT_EQ(system(strip.c_str()), 0);
        SetMTime(h.m_tmp, state, saved);
    }
    const struct timespec copied = MTime(h.m_tmp, "R/g");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Rewrite(h.m_tmp, "R/g", "EDIT");
    SetMTime(h.m_tmp, "R/g", copied);
    const RunOutcome r = SyncOnce(h, h.m_tmp.Path("L"), h.m_tmp.Path("R"));
    EXPECT_EQ(Get(h.m_tmp, "L/g"), "EDIT") << r.log;
    EXPECT_EQ(Get(h.m_tmp, "R/g"), "EDIT") << r.log;
    EXPECT_EQ(r.nConflicts, 0) << r.log;
}

} // namespace
