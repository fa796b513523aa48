// Whole runs on the local disk and on a loop-mounted exFAT disk: files dated
// at or before 1970, the records a moving job leaves of the files it moved,
// and two files of one size and time where the disk's times are not exact.
#include "job-harness.h"
#include "loop-disk.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

namespace {

struct CTimedPair {
    CJobHarness h;
    std::string m_sLeft = "L", m_sRight = "R";
    int m_nDone = 0, m_nErrors = 0;
    // One sync; its conflicts.
    int Sync(int nDirection = 0, int n1wayMode = 0) {
        CSyncJob job;
        h.Attach(job);
        job.SetName(u"Records");
        job.SetSideFolder(0, h.m_tmp.Path(m_sLeft));
        job.SetSideFolder(1, h.m_tmp.Path(m_sRight));
        job.m_Options.m_nDirection = nDirection;
        job.m_Options.m_n1wayMode = n1wayMode;
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
        m_nDone = job.m_nChangesOk.load();
        m_nErrors = job.m_nSyncErr.load();
        return job.m_nConflicts.load();
    }
    // An exFAT disk mounted at "x" (null, said, where there is none).
    std::unique_ptr<CLoopDisk> Exfat() {
        auto disk = std::make_unique<CLoopDisk>(h.m_tmp.NativeSub("x.img"), h.m_tmp.NativeSub("x"), ELoopDisk::Exfat);
        if (disk->Mounted()) return disk;
        std::cout << "exFAT case skipped: " << disk->Why() << "\n";
        return nullptr;
    }
    timespec MTime(const std::string& rel) {
        struct stat st {};
        return stat(h.m_tmp.NativeSub(rel).c_str(), &st) == 0 ? st.st_mtim : timespec{-7, 0};
    }
};

// A file dated at or before 1970 is copied once, with its time where the
// disk can hold it; then nothing is done for it.
TEST(CopyRecords, FilesDatedBefore1970AreCopiedOnceWithTheirTime) {
    struct Row {
        const char* name;
        time_t t;
        bool bExfat = false; // the copies on an exFAT disk (which holds no time before 1980)
    };
    const Row rows[] = {
        {"1966", -100000000},
        {"a second before 1970", -1},
        {"the first second of 1970", 0},
        {"1966 onto exFAT", -100000000, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CTimedPair p;
        std::unique_ptr<CLoopDisk> disk;
        if (row.bExfat && !(disk = p.Exfat())) continue;
        if (row.bExfat) p.m_sRight = "x/R";
        ASSERT_TRUE(p.h.m_tmp.MakeDir("L") && p.h.m_tmp.MakeDir(p.m_sRight));
        ASSERT_TRUE(p.h.m_tmp.WriteFileAt("L/f", "early", row.t));
        EXPECT_EQ(p.Sync(), 0);
        EXPECT_EQ(p.m_nDone, 1) << p.h.m_sink.Dump();
        EXPECT_EQ(ReadWhole(p.h.m_tmp.NativeSub(p.m_sRight + "/f")), "early");
        if (!row.bExfat) {
            EXPECT_EQ(p.MTime(p.m_sRight + "/f").tv_sec, row.t);
        }
        EXPECT_EQ(p.MTime("L/f").tv_sec, row.t) << "the source keeps its time";
        for (int run = 0; run < 2; run++) {
            EXPECT_EQ(p.Sync(), 0);
            EXPECT_EQ(p.m_nDone + p.m_nErrors, 0) << p.h.m_sink.Dump();
        }
    }
}

// A moving job's records of the files it moved are of deleted files: they
// keep no digest of bytes.
TEST(CopyRecords, MovedFilesLeaveNoDigestOnTheirSource) {
    CTimedPair p;
    ASSERT_TRUE(p.h.m_tmp.MakeDir("L") && p.h.m_tmp.MakeDir("R"));
    ASSERT_TRUE(p.h.m_tmp.WriteFileAt("L/f", "moved", 1600000000));
    EXPECT_EQ(p.Sync(JT_LEFT_TO_RIGHT, OWM_MOVE), 0);
    EXPECT_FALSE(p.h.m_tmp.Exists("L/f"));
    EXPECT_EQ(ReadWhole(p.h.m_tmp.NativeSub("R/f")), "moved");
    const std::string state = p.h.m_tmp.NativeSub("L/_tvdata_/_file_state_v4._tv");
    EXPECT_EQ(system(("zcat " + state + " | grep -q 'N:1:f|'").c_str()), 0);
    EXPECT_NE(system(("zcat " + state + " | grep -q 'N:1:f|.*h:11:'").c_str()), 0);
}

// Both sides on exFAT, both files edited to one new size with the old time
// put back: their bytes differ, a conflict.
TEST(CopyRecords, FilesOfOneSizeAndTimeOnExfatAreJudgedByTheirBytes) {
    CTimedPair p;
    const auto disk = p.Exfat();
    if (!disk) GTEST_SKIP() << "no exFAT disk";
    p.m_sLeft = "x/L", p.m_sRight = "x/R";
    ASSERT_TRUE(p.h.m_tmp.MakeDir("x/R") && p.h.m_tmp.WriteFileAt("x/L/f", "AAAA", 1600000000));
    EXPECT_EQ(p.Sync(), 0);
    ASSERT_TRUE(p.h.m_tmp.WriteFileAt("x/L/f", "LLLLL", 1600000000) &&
                p.h.m_tmp.WriteFileAt("x/R/f", "RRRRR", 1600000000));
    for (int run = 0; run < 2; run++) EXPECT_EQ(p.Sync(), 1) << p.h.m_sink.Dump();
    EXPECT_EQ(ReadWhole(p.h.m_tmp.NativeSub("x/L/f")) + ReadWhole(p.h.m_tmp.NativeSub("x/R/f")), "LLLLLRRRRR");
}

} // namespace
