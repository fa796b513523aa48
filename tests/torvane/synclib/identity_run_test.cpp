// Whole runs where only a file's identity tells what happened: a freed
// inode number taken by the next file, files of one size and one full time
// swapped by name. The left side is a fresh ext4 file system in an image
// mounted through a loop device (so that inode numbers are reused at once).
#include "job-harness.h"
#include "loop-disk.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

namespace {

class IdentityRunTest : public ::testing::Test {
public:
    CJobHarness h;
    CRecordingSink sink;
    std::unique_ptr<CLoopDisk> disk;
    std::string L, R;

    void SetUp() override {
        disk = std::make_unique<CLoopDisk>(h.m_tmp.NativeSub("ext4.img"), h.m_tmp.NativeSub("mnt"), ELoopDisk::Ext4);
        if (!disk->Mounted()) GTEST_SKIP() << disk->Why();
        L = h.m_tmp.NativeSub("mnt/L");
        R = h.m_tmp.NativeSub("R");
        std::filesystem::create_directories(L);
        std::filesystem::create_directories(R);
    }
    void Put(const std::string& rel, const std::string& content, time_t t) {
        std::filesystem::create_directories(std::filesystem::path(L + "/" + rel).parent_path());
        std::ofstream(L + "/" + rel, std::ios::binary) << content;
        const struct timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (L + "/" + rel).c_str(), ts, 0), 0);
    }
    void Sync() {
        CSyncJob job;
        job.SetProgressSink(&sink);
        job.SetName(u"Docs");
        job.SetSideFolder(0, Utf8ToWide(L.c_str()));
        job.SetSideFolder(1, Utf8ToWide(R.c_str()));
        sink.ClearRecords();
        auto r = h.Run(job, true, true);
        EXPECT_TRUE(r.bOk) << sink.Dump();
        EXPECT_EQ(job.m_nSyncErr.load(), 0) << sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
    }
};

// After each change on the left, the right holds what the left holds.
TEST_F(IdentityRunTest, ChangesOnlyTheIdentityTellsArePassedOn) {
    const time_t t2021 = 1609459200, tNpm = 499162500, t2020 = 1600000000;
    struct Case {
        const char* what;
        std::function<void(IdentityRunTest&)> before, change;
    } cases[] = {
        {"a file removed and a new one of its size and time written (the inode is reused)",
         [&](IdentityRunTest& t) { t.Put("X", "old contents X\n", t2021); },
         [&](IdentityRunTest& t) {
             std::filesystem::remove(t.L + "/X");
             t.Put("Y", "NEW contents Y\n", t2021);
         }},
        {"a package folder replaced by its next version under a new name",
         [&](IdentityRunTest& t) {
             t.Put("pkg-1.0.0/index.js", "module.exports = 1;\n", tNpm);
             t.Put("pkg-1.0.0/package.json", "{\"version\":\"1.0.0\"}", tNpm);
         },
         [&](IdentityRunTest& t) {
             std::filesystem::remove_all(t.L + "/pkg-1.0.0");
             t.Put("pkg-1.0.1/index.js", "module.exports = 2;\n", tNpm);
             t.Put("pkg-1.0.1/package.json", "{\"version\":\"1.0.1\"}", tNpm);
         }},
        {"two files of one size and time swapped by name",
         [&](IdentityRunTest& t) {
             t.Put("a", "AAAA", t2020);
             t.Put("b", "BBBB", t2020);
         },
         [&](IdentityRunTest& t) {
             std::filesystem::rename(t.L + "/a", t.L + "/t");
             std::filesystem::rename(t.L + "/b", t.L + "/a");
             std::filesystem::rename(t.L + "/t", t.L + "/b");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& side : {L, R})
            for (auto& e : std::filesystem::directory_iterator(side)) std::filesystem::remove_all(e.path());
        c.before(*this);
        Sync();
        ASSERT_EQ(DiskFiles(R), DiskFiles(L)) << sink.Dump();
        c.change(*this);
        Sync();
        Sync();
        EXPECT_EQ(DiskFiles(R), DiskFiles(L)) << sink.Dump();
    }
}

} // namespace
