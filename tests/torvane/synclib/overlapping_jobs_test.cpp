// Two jobs over overlapping folders, each run Analyze and Sync in turn on
// real local folders: what one job passed on, the other passes on too.
#include "job-harness.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <fstream>

namespace {

class OverlappingJobsTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& j : m_jobs) j->SetProgressSink(&g_DummyJobProgress);
    }
    CSyncJob& NewJob(const char16_t* name, const std::string& left, const std::string& right) {
        m_jobs.push_back(std::make_unique<CSyncJob>());
        CSyncJob& j = *m_jobs.back();
        j.SetProgressSink(&h.m_sink);
        j.SetName(name);
        h.m_tmp.MakeDir(right);
        j.SetSideFolder(0, h.m_tmp.Path(left));
        j.SetSideFolder(1, h.m_tmp.Path(right));
        return j;
    }
    void Put(const std::string& rel, const std::string& content, time_t mtime = 1600000000) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, content, mtime));
    }
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return TvStreamText(f);
    }
    // Analyze and Sync, m_nStepMs after the previous run; bSyncs: whether
    // it found something to do, else it must have found nothing.
    void Expect(CSyncJob& j, bool bSyncs) {
        h.m_clock.Advance(m_nStepMs);
        h.m_sink.ClearRecords();
        auto r = h.Run(j, true, true);
        EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
        EXPECT_EQ(r.nState, bSyncs ? RS_SYNCED : RS_ANALYZED) << h.m_sink.Dump();
        EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    }

    CJobHarness h;
    int64_t m_nStepMs = 0;
    std::vector<std::unique_ptr<CSyncJob>> m_jobs;
};

// Job J syncs L with R, job K the subfolder L/sub with R2. A change below
// L/sub reaches both R and R2, whichever job runs first, and then both jobs
// find nothing to do; also when the runs follow each other within a second.
TEST_F(OverlappingJobsTest, AChangeIsPassedOnInEitherOrder) {
    for (int64_t nStepMs : {60000, 100})
        for (bool bNestedFirst : {true, false}) {
            SCOPED_TRACE(std::to_string(nStepMs) + (bNestedFirst ? " ms, nested first" : " ms, outer first"));
            m_nStepMs = nStepMs;
            const std::string b = std::to_string(nStepMs) + (bNestedFirst ? "n/" : "o/");
            Put(b + "L/top.txt", "top");
            Put(b + "L/sub/s1.txt", "s1 v1");
            Put(b + "L/sub/s2.txt", "s2");
            CSyncJob& J = NewJob(u"J", b + "L", b + "R");
            CSyncJob& K = NewJob(u"K", b + "L/sub", b + "R2");
            for (CSyncJob* p : {&J, &K}) Expect(*p, true);
            for (CSyncJob* p : {&J, &K}) Expect(*p, false);

            Put(b + "L/sub/s1.txt", "s1 v2, longer", 1600000600);
            Expect(bNestedFirst ? K : J, true);
            Expect(bNestedFirst ? J : K, true);
            EXPECT_EQ(Get(b + "R/sub/s1.txt"), "s1 v2, longer");
            EXPECT_EQ(Get(b + "R2/s1.txt"), "s1 v2, longer");
            for (CSyncJob* p : {&J, &K}) Expect(*p, false);

            // A change on the far side of the nested job comes on through the outer one.
            Put(b + "R2/s2.txt", "s2 from R2", 1600000900);
            for (CSyncJob* p : {&K, &J}) Expect(*p, true);
            EXPECT_EQ(Get(b + "R/sub/s2.txt"), "s2 from R2");
            for (CSyncJob* p : {&K, &J}) Expect(*p, false);
        }
}

// One folder B synced with two others: j1 with A, j3 with D (and a chain
// A-B, B-D the other way round). A's edit and deletion reach B and then D,
// and neither job finds a conflict: copying B to D gave B no newer history.
TEST_F(OverlappingJobsTest, AFolderSharedByTwoJobsTakesEachJobsChangesAlone) {
    for (int64_t nStepMs : {1500, 0})
    for (bool bChain : {false, true}) {
        SCOPED_TRACE(std::string(bChain ? "chain" : "star") + (nStepMs ? "" : ", all runs in one second"));
        m_nStepMs = nStepMs;
        const std::string b = std::string(bChain ? "c" : "s") + std::to_string(nStepMs) + "/";
        Put(b + "A/f1.txt", "1");
        Put(b + "A/f2.txt", "2");
        Put(b + "D/d.txt", "d");
        CSyncJob& j1 = NewJob(u"j1", b + "A", b + "B");
        CSyncJob& j3 = bChain ? NewJob(u"j3", b + "B", b + "D") : NewJob(u"j3", b + "D", b + "B");
        j3.m_bRanBefore = 0; // a job just added: B's records are j1's
        Expect(j1, true);
        Expect(j3, true);
        Put(b + "A/f1.txt", "edit, longer", 1600000600);
        std::filesystem::remove(h.m_tmp.NativeSub(b + "A/f2.txt"));
        Expect(j1, true);
        EXPECT_EQ(j1.m_nConflicts.load(), 0) << h.m_sink.Dump();
        EXPECT_EQ(Get(b + "B/f1.txt"), "edit, longer");
        EXPECT_FALSE(h.m_tmp.Exists(b + "B/f2.txt"));
        Expect(j3, true);
        EXPECT_EQ(j3.m_nConflicts.load(), 0) << h.m_sink.Dump();
        EXPECT_EQ(Get(b + "D/f1.txt"), "edit, longer");
        EXPECT_FALSE(h.m_tmp.Exists(b + "D/f2.txt"));
        for (CSyncJob* p : {&j1, &j3}) Expect(*p, false);
        // A same-size edit on the far side reaches A through B, and one on
        // A reaches D, in runs of the same second too.
        Put(b + "D/f1.txt", "from D, size", 1600000700);
        for (CSyncJob* p : {&j3, &j1}) Expect(*p, true);
        EXPECT_EQ(Get(b + "A/f1.txt"), "from D, size");
        Put(b + "A/f1.txt", "from A, size", 1600000800);
        for (CSyncJob* p : {&j1, &j3}) Expect(*p, true);
        EXPECT_EQ(Get(b + "D/f1.txt"), "from A, size");
        EXPECT_EQ(j1.m_nConflicts.load() + j3.m_nConflicts.load(), 0) << h.m_sink.Dump();
    }
}

// A chain of two jobs, j1 A-B and j3 B-D, run one after the other within
// milliseconds: a same-size edit on A, then one on D in the same second.
// Each reaches all three folders and neither is a conflict. (B's records
// come from whichever job synced it last: comparing B's bytes with the
// other side tells a job nothing about its own side then.)
TEST_F(OverlappingJobsTest, SameSecondEditsAtBothEndsOfAChainPassOn) {
    h.m_clock.SetNow(1700000000, 0);
    m_nStepMs = 2;
    Put("A/f", "00000", 1699999900);
    CSyncJob& j1 = NewJob(u"j1", "A", "B");
    CSyncJob& j3 = NewJob(u"j3", "B", "D");
    j3.m_bRanBefore = 0;
    Expect(j1, true);
    Expect(j3, true);
    // Written at the clock's time, as an editor does.
    auto edit = [&](const std::string& rel, const std::string& content, int64_t nMs) {
        h.m_clock.Advance(nMs);
        int64_t s = 0;
        int ms = 0;
        h.m_clock.Now(s, ms);
        std::ofstream(h.m_tmp.NativeSub(rel), std::ios::binary) << content;
        const struct timespec ts[2] = {{(time_t)s, ms * 1'000'000L + 123'456}, {(time_t)s, ms * 1'000'000L + 123'456}};
        ASSERT_EQ(utimensat(AT_FDCWD, h.m_tmp.NativeSub(rel).c_str(), ts, 0), 0);
    };
    auto runs = [&](std::initializer_list<CSyncJob*> jobs) {
        for (CSyncJob* p : jobs) {
            h.m_clock.Advance(m_nStepMs);
            h.m_sink.ClearRecords();
            EXPECT_TRUE(h.Run(*p, true, true).bOk) << h.m_sink.Dump();
            EXPECT_EQ(p->m_nConflicts.load(), 0) << h.m_sink.Dump();
        }
    };
    edit("A/f", "rrrrr", 86);
    runs({&j3, &j1, &j3});
    EXPECT_EQ(Get("D/f"), "rrrrr");
    edit("D/f", "fffff", 8);
    runs({&j1, &j3, &j1});
    for (const char* side : {"A", "B", "D"}) EXPECT_EQ(Get(std::string(side) + "/f"), "fffff") << side;
}

} // namespace
