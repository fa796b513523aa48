// One folder as a side of several jobs (a stick synced with two computers, a
// chain of jobs), on disks whose times and identities tell little: each job
// passes on what changed since its own last sync, and no conflict is made
// of a file only one side changed.
#include "job-harness.h"
#include "loop-disk.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

namespace {

void WaitForNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1) +
                                std::chrono::milliseconds(5));
}

struct CJobs {
    CJobHarness h;
    // One sync of the job named; its conflicts and items done.
    struct Outcome {
        int nConflicts = 0;
        int nDone = 0;
    };
    std::set<std::string> m_ran; // jobs that ran before, as the job list knows them
    Outcome Sync(const char16_t* name, const std::string& l, const std::string& r) {
        // Each computer's job keeps its mirror folder in a profile of its own.
        g_EngineOptions.m_sMirrorFolderRoot = h.m_tmp.Path("profile-" + ToU8(name));
        CSyncJob job;
        h.Attach(job);
        job.SetName(name);
        job.m_bRanBefore = !m_ran.insert(ToU8(name) + l).second;
        job.SetSideFolder(0, h.m_tmp.Path(l));
        job.SetSideFolder(1, h.m_tmp.Path(r));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
        return {job.m_nConflicts.load(), (int)job.m_nSyncOk.load()};
    }
    std::string Get(const std::string& rel) { return ReadWhole(h.m_tmp.NativeSub(rel)); }
};

} // namespace

// A new file reaches the stick within the second it was written; the other
// computer's job syncs the stick; the file is edited on the first computer.
// Each job passes the edit on, and then both find nothing to do.
TEST(SharedSideRecords, EachJobOfAStickPassesOnWhatChangedSinceItsOwnSync) {
    struct Row {
        const char* name;
        ELoopDisk disk;
        char edit; // p: a plain edit later, s: a same-size edit within the second
    };
    const Row rows[] = {
        {"exFAT, plain edit", ELoopDisk::Exfat, 'p'},
        {"exFAT, same-size edit in the second", ELoopDisk::Exfat, 's'},
        {"ext4 -I 128, plain edit", ELoopDisk::Ext4Whole, 'p'},
        {"ext4 -I 128, same-size edit in the second", ELoopDisk::Ext4Whole, 's'},
    };
    int nRow = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CJobs f;
        const std::string n = std::to_string(nRow++);
        CLoopDisk disk(f.h.m_tmp.NativeSub("img" + n), f.h.m_tmp.NativeSub("stick" + n), row.disk);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        const std::string S = "stick" + n + "/s", P1 = "pc1-" + n, P2 = "pc2-" + n;
        ASSERT_TRUE(f.h.m_tmp.MakeDir(S) && f.h.m_tmp.MakeDir(P1) && f.h.m_tmp.MakeDir(P2));
        // The second computer has files of its own.
        ASSERT_TRUE(f.h.m_tmp.WriteFileAt(P2 + "/own", "own", 1600000000));
        WaitForNextSecond();
        ASSERT_TRUE(f.h.m_tmp.WriteFile(P1 + "/f", "version 1"));
        EXPECT_EQ(f.Sync(u"A", P1, S).nConflicts, 0) << f.h.m_sink.Dump();
        if (row.edit == 's') {
            ASSERT_TRUE(f.h.m_tmp.WriteFile(P1 + "/f", "version 2"));
        }
        EXPECT_EQ(f.Sync(u"B", P2, S).nConflicts, 0) << f.h.m_sink.Dump();
        if (row.edit == 'p') {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ASSERT_TRUE(f.h.m_tmp.WriteFile(P1 + "/f", "version 2, longer"));
        }
        const std::string want = f.Get(P1 + "/f");
        for (int i = 0; i < 2; i++) {
            SCOPED_TRACE("round " + std::to_string(i));
            EXPECT_EQ(f.Sync(u"A", P1, S).nConflicts, 0) << f.h.m_sink.Dump();
            EXPECT_EQ(f.Sync(u"B", P2, S).nConflicts, 0) << f.h.m_sink.Dump();
        }
        EXPECT_EQ(f.Get(S + "/f"), want);
        EXPECT_EQ(f.Get(P2 + "/f"), want);
        EXPECT_EQ(f.Get(P1 + "/f"), want);
    }
}

// Jobs in a chain, P1 with X, X with Y, Y with P3 (X and Y on one disk): a
// file new in P1 and synced within its second passes along the chain, and
// so does an edit of it; no run makes a conflict of it.
TEST(SharedSideRecords, AChainOfJobsPassesAnEditAlong) {
    for (ELoopDisk kind : {ELoopDisk::Ext4Whole, ELoopDisk::Exfat}) {
        SCOPED_TRACE(kind == ELoopDisk::Exfat ? "exFAT" : "ext4 -I 128");
        CJobs f;
        CLoopDisk disk(f.h.m_tmp.NativeSub("img"), f.h.m_tmp.NativeSub("disk"), kind);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        const std::string P1 = "p1", X = "disk/x", Y = "disk/y", P3 = "p3";
        for (const std::string& d : {P1, X, Y, P3}) {
            ASSERT_TRUE(f.h.m_tmp.MakeDir(d));
            ASSERT_TRUE(f.h.m_tmp.WriteFileAt(d + "/own-" + d.substr(d.size() - 1), "own", 1600000000));
        }
        auto chain = [&] {
            EXPECT_EQ(f.Sync(u"A", P1, X).nConflicts, 0) << f.h.m_sink.Dump();
            EXPECT_EQ(f.Sync(u"B", X, Y).nConflicts, 0) << f.h.m_sink.Dump();
            EXPECT_EQ(f.Sync(u"C", Y, P3).nConflicts, 0) << f.h.m_sink.Dump();
        };
        WaitForNextSecond();
        ASSERT_TRUE(f.h.m_tmp.WriteFile(P1 + "/f", "version 1"));
        chain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_TRUE(f.h.m_tmp.WriteFile(P1 + "/f", "version 2, longer"));
        for (int i = 0; i < 2; i++) {
            SCOPED_TRACE("round " + std::to_string(i));
            chain();
        }
        for (const std::string& d : {X, Y, P3}) EXPECT_EQ(f.Get(d + "/f"), "version 2, longer") << d;
    }
}
