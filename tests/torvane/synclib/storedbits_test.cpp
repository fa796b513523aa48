// Whole runs over two real local folders whose items carry stored attribute
// bits: a scan that takes the bits of unchanged entries from the state
// file's records must see exactly what a scan reading every entry sees,
// after copies, a merge of equal new files and a folder move whose files'
// bits differ between the sides.
#include "WinFileSys.h"
#include "job-harness.h"
#include "state-file.h"
#include "zor-file.h"

#include <sys/time.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <map>

namespace {

class StoredBitsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        h.Attach(job);
        job.SetName(u"Pair");
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        job.m_Options.m_bExcludeHidden = false;
        job.m_Options.m_bExcludeSystem = false;
    }
    void TearDown() override {
        CSyncJob::s_nStoredBitsMargin = 10;
        job.SetProgressSink(&g_DummyJobProgress);
    }
    void Put(const std::string& rel, const std::string& text, const char* bits = nullptr) {
        const size_t slash = rel.rfind('/');
        ASSERT_TRUE(h.m_tmp.MakeDir(rel.substr(0, slash)));
        ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, text, 1600000000));
        if (bits) Bits(rel, bits);
    }
    // Sets (or with "" removes) the stored bits; false where the file system has none.
    bool Bits(const std::string& rel, const char* bits) {
        const std::string p = h.m_tmp.NativeSub(rel);
        if (!*bits) return removexattr(p.c_str(), ZOR_ATTRS_XATTR_NAME) == 0 || errno == ENODATA;
        return setxattr(p.c_str(), ZOR_ATTRS_XATTR_NAME, bits, strlen(bits), 0) == 0;
    }
    // Every item's listed attribute word per side after an Analyze.
    std::map<std::string, uint32_t> Listed() {
        auto r = h.Run(job, true, false);
        EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
        std::map<std::string, uint32_t> m;
        for (CSyncDepthFirstIter it(&job.m_Tree); it.IsValid(); it.Next())
            for (int s = 0; s < 2; s++)
                if (it.GetItem()->m_aCur[s].IsPresentBit())
                    m[std::to_string(s) + ToU8(it.GetNode()->GetPath())] = it.GetItem()->m_aCur[s].m_nAttr;
        return m;
    }

    CJobHarness h;
    CSyncJob job;
};

TEST_F(StoredBitsTest, RecordsStandInForTheBitsOfUnchangedEntries) {
    Put("L/a.txt", "a");
    Put("L/h.txt", "h", "2");
    if (!Bits("L/h.txt", "2")) GTEST_SKIP() << "no user extended attributes here";
    Put("L/s.txt", "s", "4");
    Put("L/d/x.txt", "x", "32");
    Bits("L/d", "1");
    Put("L/m/y.txt", "y", "2");
    Put("L/m/z.txt", "z");
    // Equal new files on both sides, their bits apart: merged without a copy.
    Put("L/e.txt", "e", "4");
    Put("R/e.txt", "e");
    auto r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
    ASSERT_TRUE(h.m_tmp.Exists("R/m/y.txt"));

    // The right side's files of a folder that then moves on the left differ
    // in their bits from the left's; the move carries them along unwritten.
    ASSERT_TRUE(Bits("R/m/y.txt", ""));
    ASSERT_TRUE(Bits("R/m/z.txt", "4"));
    std::error_code ec;
    std::filesystem::rename(h.m_tmp.NativeSub("L/m"), h.m_tmp.NativeSub("L/m2"), ec);
    ASSERT_FALSE(ec);
    job.ResetTree();
    r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
    ASSERT_TRUE(h.m_tmp.Exists("R/m2/y.txt"));
    for (int s = 0; s < 2; s++) EXPECT_NE(job.GetStateFileIo().m_anReadVerified[s], 0u) << s;

    // Every entry reads; then every entry counts as unchanged since the
    // files' time (as it would be some time later) and takes its record.
    job.ResetTree();
    const uint64_t n0 = WinFileSys::StoredBitReads();
    const auto read = Listed();
    const uint64_t n1 = WinFileSys::StoredBitReads();
    CSyncJob::s_nStoredBitsMargin = -100000;
    job.ResetTree();
    const auto taken = Listed();
    const uint64_t n2 = WinFileSys::StoredBitReads();
    EXPECT_EQ(taken, read);
    EXPECT_EQ(read.at("1/m2/y.txt") & FSA_HIDDEN, 0u);
    EXPECT_NE(read.at("0/m2/y.txt") & FSA_HIDDEN, 0u);
    EXPECT_NE(read.at("1/m2/z.txt") & FSA_SYSTEM, 0u);
    EXPECT_EQ(read.at("1/e.txt") & FSA_SYSTEM, 0u);
    EXPECT_NE(read.at("1/d") & FSA_READONLY, 0u);
    EXPECT_GE(n1 - n0, 20u);
    EXPECT_LE(n2 - n1, 4u); // the data folders, which have no record

    // The header's time counts only before the file was written and before now.
    CSyncJob::s_nStoredBitsMargin = 10;
    EXPECT_EQ(CSyncJob::StoredBitsCutoff(0, 2000000000u, 2000000010), 0u);
    EXPECT_EQ(CSyncJob::StoredBitsCutoff(2000000005u, 2000000000u, 2000000010), 0u); // after the file
    EXPECT_EQ(CSyncJob::StoredBitsCutoff(1999999990u, 2000000000u, 1999999999), 0u); // clock set back
    EXPECT_EQ(CSyncJob::StoredBitsCutoff(1999999990u, 2000000000u, 2000000010), 1999999980u);
}

// A pair synced in the second its files were written: its state files can
// vouch for none of their bits yet. The next Sync, with nothing to do,
// reads them once and saves the state files; the runs after it take every
// entry's bits from the records.
TEST_F(StoredBitsTest, ASyncWithNothingToDoSettlesTheBitsItRead) {
    for (int i = 0; i < 20; ++i) Put("L/d/f" + std::to_string(i) + ".txt", "x", "2");
    if (!Bits("L/d/f0.txt", "2")) GTEST_SKIP() << "no user extended attributes here";
    CSyncJob::s_nStoredBitsMargin = 0;
    ASSERT_TRUE(h.Run(job, true, true).bOk);
    const time_t synced = time(nullptr);
    while (time(nullptr) <= synced) usleep(20000);
    uint64_t reads[3] = {};
    for (uint64_t& n : reads) {
        job.ResetTree();
        const uint64_t n0 = WinFileSys::StoredBitReads();
        auto r = h.Run(job, true, true);
        ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
        n = WinFileSys::StoredBitReads() - n0;
    }
    EXPECT_GE(reads[0], 20u);
    // The data folders, which have no record, and the entries of the
    // data folders that a sync without work lists for leftovers of a killed
    // run (five files in each): a few, however many files the sides hold.
    EXPECT_LE(reads[1], 10u);
    EXPECT_LE(reads[2], 10u);
    EXPECT_EQ(Listed().at("1/d/f7.txt") & FSA_HIDDEN, (uint32_t)FSA_HIDDEN);
}

} // namespace
