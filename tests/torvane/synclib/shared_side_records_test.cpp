// One folder as a side of several jobs (a stick synced with two computers,
// each with its own profile; a chain of jobs), on exFAT and ext4 -I 128: a
// file synced in the second it was written and then edited passes along,
// and no run makes a conflict of it.
#include "job-harness.h"
#include "loop-disk.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <set>
#include <thread>

TEST(SharedSideRecords, EachJobPassesOnWhatChangedSinceItsOwnSync) {
    struct Row {
        const char* name;
        ELoopDisk disk;
        bool bChain;   // P1-X, X-Y, Y-P2 (X, Y on the disk); else P1-X, P2-X
        bool bInTheSecond; // a same-size edit within the second of the first sync
    } const rows[] = {
        {"exFAT, two computers, plain edit", ELoopDisk::Exfat, false, false},
        {"exFAT, two computers, edit in the second", ELoopDisk::Exfat, false, true},
        {"ext4 -I 128, two computers, plain edit", ELoopDisk::Ext4Whole, false, false},
        {"ext4 -I 128, two computers, edit in the second", ELoopDisk::Ext4Whole, false, true},
        {"exFAT, a chain", ELoopDisk::Exfat, true, false},
        {"ext4 -I 128, a chain", ELoopDisk::Ext4Whole, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CJobHarness h;
        CLoopDisk disk(h.m_tmp.NativeSub("img"), h.m_tmp.NativeSub("disk"), row.disk);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        std::set<std::string> ran;
        auto sync = [&](const std::string& name, const std::string& l, const std::string& r) {
            // Each computer's job keeps its mirror folder in a profile of its own.
            g_EngineOptions.m_sMirrorFolderRoot = h.m_tmp.Path("profile-" + name);
            CSyncJob job;
            h.Attach(job);
            job.SetName(Utf8ToWide(name.c_str()));
            job.m_bRanBefore = !ran.insert(name).second;
            job.SetSideFolder(0, h.m_tmp.Path(l));
            job.SetSideFolder(1, h.m_tmp.Path(r));
            h.m_sink.ClearRecords();
            EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
            EXPECT_EQ(job.m_nConflicts.load(), 0) << name << h.m_sink.Dump();
            job.SetProgressSink(&g_DummyJobProgress);
        };
        const std::vector<std::array<std::string, 3>> jobs =
            row.bChain ? std::vector<std::array<std::string, 3>>{{"A", "p1", "disk/x"}, {"B", "disk/x", "disk/y"},
                                                                 {"C", "disk/y", "p2"}}
                       : std::vector<std::array<std::string, 3>>{{"A", "p1", "disk/x"}, {"B", "p2", "disk/x"}};
        for (const std::string d : {"p1", "p2", "disk/x", "disk/y"}) {
            ASSERT_TRUE(h.m_tmp.WriteFileAt(d + "/own-" + d.substr(d.size() - 1), "own", 1600000000));
        }
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1));
        ASSERT_TRUE(h.m_tmp.WriteFile("p1/f", "version 1"));
        sync(jobs[0][0], jobs[0][1], jobs[0][2]);
        if (row.bInTheSecond) {
            ASSERT_TRUE(h.m_tmp.WriteFile("p1/f", "version 2"));
        }
        for (size_t i = 1; i < jobs.size(); i++) sync(jobs[i][0], jobs[i][1], jobs[i][2]);
        if (!row.bInTheSecond) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ASSERT_TRUE(h.m_tmp.WriteFile("p1/f", "version 2, longer"));
        }
        for (int i = 0; i < 2; i++)
            for (const auto& j : jobs) sync(j[0], j[1], j[2]);
        for (const auto& j : jobs) EXPECT_EQ(ReadWhole(h.m_tmp.NativeSub(j[2] + "/f")), ReadWhole(h.m_tmp.NativeSub("p1/f"))) << j[2];
    }
}
