// Whole runs whose outcome rests on the analysis: folders whose files went
// different ways, two jobs over overlapping folders, and the free space that
// two sides on one volume need together.
#include "fake-fs.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <fstream>

namespace {

class AnalysisRunTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.m_tmp.IsValid()); }
    void TearDown() override {
        for (auto& j : m_jobs) j->SetProgressSink(&g_DummyJobProgress);
    }

    // A fresh job object over two folders below the temporary folder.
    CSyncJob& NewJob(const char16_t* name, const std::string& left, const std::string& right,
                     const std::string& scheme = std::string()) {
        m_jobs.push_back(std::make_unique<CSyncJob>());
        CSyncJob& j = *m_jobs.back();
        j.SetProgressSink(&h.m_sink);
        j.SetName(name);
        h.m_tmp.MakeDir(left);
        h.m_tmp.MakeDir(right);
        j.SetSideFolder(0, Utf8ToWide((scheme + h.m_tmp.NativeSub(left)).c_str()));
        j.SetSideFolder(1, Utf8ToWide((scheme + h.m_tmp.NativeSub(right)).c_str()));
        return j;
    }
    // Analyze and Sync, a while after the previous run.
    CJobHarness::RunResult Run(CSyncJob& j) {
        h.m_clock.Advance(m_nStepMs);
        h.m_sink.ClearRecords();
        return h.Run(j, true, true);
    }
    void Put(const std::string& rel, const std::string& content, time_t mtime = 1600000000) {
        h.m_tmp.MakeDir(rel.substr(0, rel.rfind('/')));
        ASSERT_TRUE(h.m_tmp.WriteFile(rel, content));
        struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        utimes(h.m_tmp.NativeSub(rel).c_str(), tv);
    }
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        if (!f) return "<missing>";
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    bool Logged(const std::string& part) const { return h.m_sink.Dump().find(part) != std::string::npos; }
    // A run that synced without errors or conflicts.
    void ExpectSynced(CSyncJob& j) {
        auto r = Run(j);
        EXPECT_EQ(r.nState, RS_SYNCED) << h.m_sink.Dump();
        EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    }
    // A run that found nothing to do.
    void ExpectNothingToDo(CSyncJob& j) {
        auto r = Run(j);
        EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
        EXPECT_EQ(r.nState, RS_ANALYZED) << "synced again:\n" << h.m_sink.Dump();
    }

    CJobHarness h;
    int64_t m_nStepMs = 60000;
    std::vector<std::unique_ptr<CSyncJob>> m_jobs;
};

// A folder whose first file went to the root and whose other files went to
// another folder did not move as a whole.
TEST_F(AnalysisRunTest, FilesOfOneFolderMovedToTwoPlacesMoveOneByOne) {
    CSyncJob& j = NewJob(u"Docs", "L", "R");
    Put("L/dir/a.txt", "first");
    Put("L/dir/b.txt", "second");
    Put("L/dir/c.txt", "third");
    ExpectSynced(j);
    std::filesystem::create_directories(h.m_tmp.NativeSub("L/sub"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/dir/a.txt"), h.m_tmp.NativeSub("L/a.txt"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/dir/b.txt"), h.m_tmp.NativeSub("L/sub/b.txt"));
    std::filesystem::rename(h.m_tmp.NativeSub("L/dir/c.txt"), h.m_tmp.NativeSub("L/sub/c.txt"));
    std::filesystem::remove(h.m_tmp.NativeSub("L/dir"));
    ExpectSynced(j);
    EXPECT_FALSE(Logged("Move Folder ")) << h.m_sink.Dump();
    EXPECT_EQ(h.m_tmp.List("R"), (std::vector<std::string>{"_tvdata_", "a.txt", "sub"}));
    EXPECT_EQ(h.m_tmp.List("R/sub"), (std::vector<std::string>{"b.txt", "c.txt"}));
    EXPECT_EQ(Get("R/a.txt"), "first");
    ExpectNothingToDo(j);
}

// Job J syncs L with R, job K the subfolder L/sub with R2. A change below
// L/sub reaches both R and R2, whichever job runs first, and then both jobs
// find nothing to do; also when the runs follow each other within a second.
TEST_F(AnalysisRunTest, OverlappingJobsPassAChangeOnInEitherOrder) {
    for (int64_t nStepMs : {60000, 100})
        for (bool bNestedFirst : {true, false}) {
            SCOPED_TRACE(std::to_string(nStepMs) +
                         (bNestedFirst ? " ms, nested job first" : " ms, outer job first"));
            m_nStepMs = nStepMs;
            const std::string b = std::to_string(nStepMs) + (bNestedFirst ? "n/" : "o/");
            Put(b + "L/top.txt", "top");
            Put(b + "L/sub/s1.txt", "s1 v1");
            Put(b + "L/sub/s2.txt", "s2");
            CSyncJob& J = NewJob(u"J", b + "L", b + "R");
            CSyncJob& K = NewJob(u"K", b + "L/sub", b + "R2");
            ExpectSynced(J);
            ExpectSynced(K);
            for (CSyncJob* p : {&J, &K}) ExpectNothingToDo(*p);

            Put(b + "L/sub/s1.txt", "s1 v2, longer", 1600000600);
            ExpectSynced(bNestedFirst ? K : J);
            ExpectSynced(bNestedFirst ? J : K);
            EXPECT_EQ(Get(b + "R/sub/s1.txt"), "s1 v2, longer");
            EXPECT_EQ(Get(b + "R2/s1.txt"), "s1 v2, longer");
            for (CSyncJob* p : {&J, &K}) ExpectNothingToDo(*p);

            // A change on the far side of the nested job comes on through the outer one.
            Put(b + "R2/s2.txt", "s2 from R2", 1600000900);
            ExpectSynced(K);
            ExpectSynced(J);
            EXPECT_EQ(Get(b + "R/sub/s2.txt"), "s2 from R2");
            for (CSyncJob* p : {&K, &J}) ExpectNothingToDo(*p);
        }
}

// Each side's copies fit into the free space of the volume, both together do
// not; the disk is named by its mount point, the same for both sides.
TEST_F(AnalysisRunTest, TwoSidesOnOneVolumeShareItsFreeSpace) {
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->nFreeBytes = 300 * 1024;
    CFakeFsRegistration reg(plan);
    Put("L/a.bin", std::string(200 * 1024, 'a'));
    Put("R/b.bin", std::string(200 * 1024, 'b'));
    CSyncJob& j = NewJob(u"Docs", "L", "R", "fakefs://");
    auto r = h.Run(j, true, false);
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << h.m_sink.Dump();
    EXPECT_TRUE(Logged("Not enough free space on disk ")) << h.m_sink.Dump();
    std::vector<std::string> disks;
    for (const auto& rec : h.m_sink.Lines()) {
        const std::string t = ToU8(rec.text);
        if (t.rfind("On disk ", 0) == 0) disks.push_back(t.substr(0, t.find(" space required")));
    }
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0], disks[1]);
    EXPECT_EQ(disks[0].find(h.m_tmp.Native()), std::string::npos) << disks[0];
}

} // namespace
