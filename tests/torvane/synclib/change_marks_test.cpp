// Whole runs where only a file's inode change time tells what happened to
// it (a rewrite that keeps its size and time, as `cp -p` over it does; a
// new file on a freed inode): each record keeps that evidence until it is
// renewed itself, whatever other items, runs and saves do meanwhile.
#include "job-harness.h"
#include "loop-disk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr time_t T0 = 1600000000;

void Put(const std::string& path, const std::string& content, time_t t) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    const timespec ts[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

// Other bytes over path, its size and time kept, by the real `cp -p`.
void CopyKeepingTime(const std::string& path, const std::string& content) {
    const std::string src = path + ".src";
    std::ofstream(src, std::ios::binary) << content;
    ASSERT_EQ(system(("touch -r '" + path + "' '" + src + "' && cp -p '" + src + "' '" + path + "' && rm '" + src + "'").c_str()), 0);
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void WaitForNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1) +
                                std::chrono::milliseconds(5));
}

struct CRuns {
    CJobHarness h;
    std::string L, R;
    int nConflicts = 0, nErrors = 0;
    void Sync() {
        CSyncJob job;
        h.Attach(job);
        job.SetName(u"Marks");
        job.SetSideFolder(0, Utf8ToWide(L.c_str()));
        job.SetSideFolder(1, Utf8ToWide(R.c_str()));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        nConflicts = job.m_nConflicts.load();
        nErrors = job.m_nSyncErr.load();
        job.SetProgressSink(&g_DummyJobProgress);
    }
};

} // namespace

// A change that only the change time shows stays a change until its own
// record is renewed: a copy that failed is tried again after a run that
// saved the state for another item; a conflict is not settled by copying
// the other side over it; two such rewrites stay a conflict.
TEST(ChangeMarks, AChangeOnlyTheChangeTimeShowsIsKeptUntilItsRecordIsRenewed) {
    for (ELoopDisk kind : {ELoopDisk::Ext4Whole, ELoopDisk::Ext4}) {
        struct Row {
            const char* name;
            char kind; // f: the copy fails once, c: the other side edited, b: both rewritten
        } const rows[] = {{"a copy that failed once", 'f'},
                          {"the other side edited as well", 'c'},
                          {"both sides rewritten", 'b'}};
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(kind == ELoopDisk::Ext4 ? "ext4, " : "ext4 -I 128, ") + row.name);
            CRuns r;
            CLoopDisk disk(r.h.m_tmp.NativeSub("d.img"), r.h.m_tmp.NativeSub("m"), kind);
            if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
            r.L = r.h.m_tmp.NativeSub("m/L");
            r.R = r.h.m_tmp.NativeSub("m/R");
            fs::create_directories(r.R);
            Put(r.L + "/f", "version A\n", T0);
            Put(r.L + "/g", "g one\n", T0);
            SleepMs(1100);
            r.Sync();
            SleepMs(1100);
            CopyKeepingTime(r.L + "/f", "version B\n");
            if (row.kind == 'f') {
                // Another item passes on in the same run, which saves the state.
                Put(r.L + "/g", "g two, longer\n", T0 + 50);
                ASSERT_EQ(system(("chattr +i '" + r.R + "/f'").c_str()), 0);
                r.Sync();
                ASSERT_EQ(system(("chattr -i '" + r.R + "/f'").c_str()), 0);
                EXPECT_EQ(r.nErrors, 1) << r.h.m_sink.Dump();
                EXPECT_EQ(ReadWhole(r.R + "/g"), "g two, longer\n");
                SleepMs(1100);
                r.Sync();
                EXPECT_EQ(ReadWhole(r.R + "/f"), "version B\n") << r.h.m_sink.Dump();
                continue;
            }
            if (row.kind == 'c')
                Put(r.R + "/f", "version C, longer\n", T0 + 100);
            else
                CopyKeepingTime(r.R + "/f", "version C\n");
            for (int i = 0; i < 2; i++) {
                r.Sync();
                EXPECT_EQ(r.nConflicts, 1) << i << r.h.m_sink.Dump();
                EXPECT_EQ(ReadWhole(r.L + "/f"), "version B\n") << i;
            }
        }
    }
}

// Without birth times: a file removed and another of its size and time
// written on the freed inode in the second the last sync saved its state
// is no move of the old one; its bytes pass on.
TEST(ChangeMarks, NewFileOnAFreedInodeInTheSecondOfTheSaveIsNoMove) {
    CRuns r;
    CLoopDisk disk(r.h.m_tmp.NativeSub("d.img"), r.h.m_tmp.NativeSub("m"), ELoopDisk::Ext4Whole);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    r.L = r.h.m_tmp.NativeSub("m/L");
    r.R = r.h.m_tmp.NativeSub("m/R");
    fs::create_directories(r.R);
    Put(r.L + "/a", "old contents\n", T0);
    SleepMs(1100);
    r.Sync();
    SleepMs(1100);
    WaitForNextSecond();
    Put(r.L + "/g", "a change that saves the state\n", T0);
    r.Sync();
    struct stat was {};
    ASSERT_EQ(stat((r.L + "/a").c_str(), &was), 0);
    fs::remove(r.L + "/a");
    Put(r.L + "/b", "NEW contents\n", T0);
    struct stat now {};
    ASSERT_EQ(stat((r.L + "/b").c_str(), &now), 0);
    if (now.st_ino != was.st_ino || now.st_ctime != time(nullptr))
        GTEST_SKIP() << "the new file took another inode, or another second";
    SleepMs(1100);
    r.Sync();
    EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L)) << r.h.m_sink.Dump();
}
