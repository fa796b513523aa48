// Whole runs on real local folders, whose times are exact: a same-size edit
// that moved the time by less than the comparison tolerance, or by a whole
// hour, is still an edit; a time that moved over unchanged bytes is not.
#include "job-harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

namespace {

constexpr time_t T0 = 1600000000;

class ExactTimesTest : public ::testing::Test {
public:
    CJobHarness h;
    std::unique_ptr<CSyncJob> job;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
    }
    void TearDown() override {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
    }
    void Put(const std::string& rel, const std::string& content, time_t t, long ns = 0) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, content, t));
        const struct timespec ts[2] = {{t, ns}, {t, ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, h.m_tmp.NativeSub(rel).c_str(), ts, 0), 0);
    }
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return f ? std::string(std::istreambuf_iterator<char>(f), {}) : "<missing>";
    }
    CJobHarness::RunResult Run() {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
        job = std::make_unique<CSyncJob>();
        h.Attach(*job);
        job->SetName(u"Exact");
        job->SetSideFolder(0, h.m_tmp.Path("L"));
        job->SetSideFolder(1, h.m_tmp.Path("R"));
        h.m_sink.ClearRecords();
        return h.Run(*job, true, true);
    }
    bool Logged(const std::string& part) const { return h.m_sink.Dump().find(part) != std::string::npos; }
};

// Each case starts from a synced pair, changes the sides and syncs again.
TEST_F(ExactTimesTest, SameSizeChangesCloseToTheRecordedTime) {
    struct Case {
        const char* name;
        std::function<void(ExactTimesTest&)> change;
        const char* left;  // expected after the run
        const char* right;
        int conflicts;
        const char* log; // a text the run logs, or null
    };
    const Case cases[] = {
        {"edit 1 s later", [](ExactTimesTest& t) { t.Put("L/a.txt", "BBBB", T0 + 1); }, "BBBB", "BBBB", 0, nullptr},
        {"edit 2 s later on the right", [](ExactTimesTest& t) { t.Put("R/a.txt", "CCCC", T0 + 2); }, "CCCC",
         "CCCC", 0, nullptr},
        {"edit, then a later edit on the other side",
         [](ExactTimesTest& t) {
             t.Put("L/a.txt", "BBBB", T0 + 1);
             t.Put("R/a.txt", "CCCCCC", T0 + 60);
         },
         "BBBB", "CCCCCC", 1, "File Modified on Both Sides"},
        {"touch with the same bytes", [](ExactTimesTest& t) { t.Put("L/a.txt", "AAAA", T0 + 1); }, "AAAA", "AAAA",
         0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        Put("L/a.txt", "AAAA", T0);
        ASSERT_TRUE(Run().bOk) << h.m_sink.Dump();
        ASSERT_EQ(Get("R/a.txt"), "AAAA");
        c.change(*this);
        auto r = Run();
        EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
        EXPECT_EQ(Get("L/a.txt"), c.left) << h.m_sink.Dump();
        EXPECT_EQ(Get("R/a.txt"), c.right) << h.m_sink.Dump();
        EXPECT_EQ(job->m_nConflicts.load(), c.conflicts) << h.m_sink.Dump();
        if (c.log) {
            EXPECT_TRUE(Logged(c.log)) << h.m_sink.Dump();
        }
        if (c.conflicts) continue;
        // Nothing is left to do.
        r = Run();
        EXPECT_EQ(r.nState, RS_ANALYZED) << h.m_sink.Dump();
    }
}

TEST_F(ExactTimesTest, NewFilesWithinTheToleranceMergeOnlyWhenEqual) {
    Put("L/same.txt", "equal", T0);
    Put("R/same.txt", "equal", T0 + 1);
    Put("L/diff.txt", "left!", T0);
    Put("R/diff.txt", "right", T0 + 2);
    auto r = Run();
    EXPECT_EQ(job->m_nConflicts.load(), 1) << h.m_sink.Dump();
    EXPECT_TRUE(Logged("/diff.txt: Conflict: New files that differ")) << h.m_sink.Dump();
    EXPECT_FALSE(Logged("/same.txt: Conflict")) << h.m_sink.Dump();
    EXPECT_EQ(Get("R/diff.txt"), "right");
}

// Three same-size files moved by one hour: those with new bytes are copied,
// those with the same bytes only get their times.
TEST_F(ExactTimesTest, HourShiftCopiesChangedContent) {
    for (const char* n : {"e1", "e2", "e3", "p1", "p2", "p3"}) Put(std::string("L/") + n, "old!", T0);
    ASSERT_TRUE(Run().bOk) << h.m_sink.Dump();
    for (const char* n : {"e1", "e2", "e3"}) Put(std::string("L/") + n, "new!", T0 + 3600);
    for (const char* n : {"p1", "p2", "p3"}) Put(std::string("L/") + n, "old!", T0 + 3600);
    struct stat was {};
    ASSERT_EQ(stat(h.m_tmp.NativeSub("R/p1").c_str(), &was), 0);
    auto r = Run();
    EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
    for (const char* n : {"e1", "e2", "e3"}) EXPECT_EQ(Get(std::string("R/") + n), "new!") << h.m_sink.Dump();
    for (const char* n : {"p1", "p2", "p3"}) {
        struct stat st {};
        ASSERT_EQ(stat(h.m_tmp.NativeSub(std::string("R/") + n).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, T0 + 3600) << n;
    }
    struct stat st {};
    stat(h.m_tmp.NativeSub("R/p1").c_str(), &st);
    EXPECT_EQ(st.st_ino, was.st_ino) << "a pure time shift rewrote the file";
    EXPECT_TRUE(Logged("detected for 3 files")) << h.m_sink.Dump();
}

// A file written in the second of the scan may be written again in that
// second after it was read: the next run still looks at its content.
TEST_F(ExactTimesTest, EditInTheSecondOfTheScanArrivesAtTheNextRun) {
    const time_t now = (time_t)CSyncTime::Now().GetTime();
    Put("L/a.txt", "AAAA", now);
    ASSERT_TRUE(Run().bOk) << h.m_sink.Dump();
    ASSERT_EQ(Get("R/a.txt"), "AAAA");
    Put("L/a.txt", "BBBB", now);
    EXPECT_TRUE(Run().bOk) << h.m_sink.Dump();
    EXPECT_EQ(Get("R/a.txt"), "BBBB") << h.m_sink.Dump();
    EXPECT_EQ(job->m_nConflicts.load(), 0);
}

TEST_F(ExactTimesTest, CopiesCarryTheSourceTimeToTheNanosecond) {
    Put("L/a.txt", "nano", T0, 123456789);
    ASSERT_TRUE(Run().bOk) << h.m_sink.Dump();
    struct stat st {};
    ASSERT_EQ(stat(h.m_tmp.NativeSub("R/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, T0);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
}

} // namespace
