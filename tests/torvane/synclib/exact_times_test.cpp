// Whole runs on real local folders, whose times are exact: a same-size edit
// that moved the time by less than the comparison tolerance, or by whole
// hours, is still an edit; a time that moved over unchanged bytes is not.
#include "job-harness.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>

namespace {

constexpr time_t T0 = 1600000000;

TEST(ExactTimes, SameSizeChangesCloseToTheRecordedTime) {
    CJobHarness h;
    auto put = [&](const std::string& rel, const std::string& text, time_t t, long ns = 0) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, text, t));
        const struct timespec ts[2] = {{t, ns}, {t, ns}};
        ASSERT_EQ(utimensat(AT_FDCWD, h.m_tmp.NativeSub(rel).c_str(), ts, 0), 0);
    };
    auto get = [&](const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return TvStreamText(f);
    };
    time_t now = 0; // the second of the case's first scan, on the file system's clock
    const char* shifted[] = {"e1", "e2", "e3", "p1", "p2", "p3"};
    struct Case {
        const char* name;
        std::function<void()> change;
        std::map<std::string, std::string> expect;
        int conflicts;
        const char* log;
    } cases[] = {
        {"edit 1 s later", [&] { put("L/a.txt", "BBBB", T0 + 1); }, {{"R/a.txt", "BBBB"}}, 0, nullptr},
        {"edit 2 s later on the right",
         [&] { put("R/a.txt", "CCCC", T0 + 2); },
         {{"L/a.txt", "CCCC"}},
         0,
         nullptr},
        {"edit, then a later edit on the other side",
         [&] {
             put("L/a.txt", "BBBB", T0 + 1);
             put("R/a.txt", "CCCCCC", T0 + 60);
         },
         {{"L/a.txt", "BBBB"}, {"R/a.txt", "CCCCCC"}},
         1,
         "File Modified on Both Sides"},
        {"edits on both sides at one and the same time",
         [&] {
             put("L/a.txt", "BBBB", T0 + 60), put("R/a.txt", "CCCC", T0 + 60);
             put("L/n.txt", "DDDD", T0 + 60), put("R/n.txt", "DDDD", T0 + 60);
         },
         {{"L/a.txt", "BBBB"}, {"R/a.txt", "CCCC"}, {"R/n.txt", "DDDD"}},
         1,
         "/a.txt: Conflict: File Modified on Both Sides"},
        {"edits to one new size on both sides, the old time put back",
         [&] { put("L/a.txt", "BBBBB", T0, 123456789), put("R/a.txt", "CCCCC", T0, 123456789); },
         {{"L/a.txt", "BBBBB"}, {"R/a.txt", "CCCCC"}},
         1,
         "/a.txt: Conflict: File Modified on Both Sides"},
        {"new files of one content, times far apart",
         [&] { put("L/m.txt", "equal", T0 + 100), put("R/m.txt", "equal", T0 + 500); },
         {{"L/m.txt", "equal"}, {"R/m.txt", "equal"}},
         0,
         "Sync State Merge: /m.txt"},
        {"touch with the same bytes",
         [&] { put("L/a.txt", "AAAA", T0 + 1); },
         {{"R/a.txt", "AAAA"}},
         0,
         nullptr},
        {"edit in the second of the scan",
         [&] { put("L/n.txt", "BBBB", now); },
         {{"R/n.txt", "BBBB"}},
         0,
         nullptr},
        {"new files within the tolerance",
         [&] {
             put("L/same.txt", "equal", T0), put("R/same.txt", "equal", T0 + 1);
             put("L/diff.txt", "left!", T0), put("R/diff.txt", "right", T0 + 2);
         },
         {{"R/diff.txt", "right"}},
         1,
         "/diff.txt: Conflict: New files that differ"},
        // Within one second only the nanoseconds (and the file's identity) tell.
        {"edit on the other side in the second of the copy",
         [&] { put("R/a.txt", "BBBB", T0, 223456789); },
         {{"L/a.txt", "BBBB"}},
         0,
         nullptr},
        {"edit on the copied side in the second of its copy",
         [&] { put("L/n.txt", "BBBB", now, 500000000); },
         {{"R/n.txt", "BBBB"}},
         0,
         nullptr},
        {"same-size rewrite within one second", [&] { put("L/a.txt", "CCCC", T0, 923456789); },
         {{"R/a.txt", "CCCC"}}, 0, nullptr},
        {"swap and rotation among files of one size and second",
         [&] {
             auto mv = [&](const char* a, const char* b) {
                 std::filesystem::rename(h.m_tmp.NativeSub(a), h.m_tmp.NativeSub(b));
             };
             mv("L/s0", "L/t"), mv("L/s1", "L/s0"), mv("L/t", "L/s1");
             std::filesystem::remove(h.m_tmp.NativeSub("L/s2")), mv("L/s3", "L/s2");
         },
         {{"R/s0", "s1!!"}, {"R/s1", "s0!!"}, {"R/s2", "s3!!"}},
         0,
         nullptr},
        {"new files of one size written in one second on both sides",
         [&] { put("L/new.txt", "left", T0 + 5, 100000000), put("R/new.txt", "rite", T0 + 5, 400000000); },
         {{"L/new.txt", "left"}, {"R/new.txt", "rite"}},
         1,
         "/new.txt: Conflict: New files that differ"},
        {"hour shift: new bytes are copied, the same bytes get their time",
         [&] {
             for (const char* n : shifted)
                 put(std::string("L/") + n, n[0] == 'e' ? "new!" : "old!", T0 + 3600);
         },
         {{"R/e1", "new!"}, {"R/e2", "new!"}, {"R/e3", "new!"}, {"R/p1", "old!"}},
         0,
         "detected for 3 files"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(h.m_tmp.NativeSub("L"));
        std::filesystem::remove_all(h.m_tmp.NativeSub("R"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        now = time(nullptr);
        put("L/a.txt", "AAAA", T0, 123456789);
        put("L/n.txt", "AAAA", now);
        for (const char* n : shifted) put(std::string("L/") + n, "old!", T0);
        for (int i = 0; i < 4; i++) put("L/s" + std::to_string(i), "s" + std::to_string(i) + "!!", T0, 1000 * (i + 1));
        for (int run = 0; run < 2; run++) {
            CSyncJob job;
            h.Attach(job);
            job.SetName(u"Exact");
            job.SetSideFolder(0, h.m_tmp.Path("L"));
            job.SetSideFolder(1, h.m_tmp.Path("R"));
            h.m_sink.ClearRecords();
            EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
            if (run == 0) {
                struct stat st {};
                ASSERT_EQ(stat(h.m_tmp.NativeSub("R/a.txt").c_str(), &st), 0);
                EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << "the copy's time to the nanosecond";
                c.change();
            } else {
                for (const auto& [path, text] : c.expect)
                    EXPECT_EQ(get(path), text) << path << h.m_sink.Dump();
                EXPECT_EQ(job.m_nConflicts.load(), c.conflicts) << h.m_sink.Dump();
                if (c.log) {
                    EXPECT_NE(h.m_sink.Dump().find(c.log), std::string::npos) << h.m_sink.Dump();
                }
            }
            job.SetProgressSink(&g_DummyJobProgress);
        }
    }
}

// With digests compared, a difference that only they show stays a conflict
// when a side's time moves later: the time settles nothing.
TEST(ExactTimes, ConflictShownByDigestsHoldsWhenATimeMoves) {
    CJobHarness h;
    auto put = [&](const std::string& rel, const std::string& text, time_t t) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, text, t));
    };
    auto get = [&](const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return TvStreamText(f);
    };
    // (Two filled folders: a rewrite in place would show in its file's
    // change time.)
    put("L/e.txt", "AAAA", T0);
    put("R/e.txt", "BBBB", T0);
    const std::function<void()> steps[] = {[] {}, [] {}, [&] { put("R/e.txt", "BBBB", T0 + 100); }, [] {}};
    const int conflicts[] = {1, 1, 1, 1};
    for (int run = 0; run < 4; run++) {
        steps[run]();
        CSyncJob job;
        h.Attach(job);
        job.SetName(u"Md5");
        job.m_Options.m_bCompareMD5crc = true;
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        EXPECT_EQ(job.m_nConflicts.load(), conflicts[run]) << run << h.m_sink.Dump();
        EXPECT_EQ(get("L/e.txt"), "AAAA") << run;
        job.SetProgressSink(&g_DummyJobProgress);
    }
}

} // namespace
