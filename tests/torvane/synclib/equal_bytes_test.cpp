// Whole runs on real folders where two files of one size and time hold other
// bytes, or files of other times hold the same bytes: the bytes decide.
#include "job-harness.h"
#include "loop-disk.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

namespace {

constexpr time_t T0 = 1600000000;

struct CPair {
    CJobHarness h;
    std::string m_sRoot; // "x/" where the sides are on another disk
    void Put(const std::string& rel, const std::string& text, time_t t) {
        ASSERT_TRUE(h.m_tmp.WriteFileAt(m_sRoot + rel, text, t));
    }
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(m_sRoot + rel), std::ios::binary);
        return f ? TvStreamText(f) : std::string("<none>");
    }
    // One sync: its conflicts; m_nDone: its operations.
    int m_nDone = 0;
    int Sync() {
        CSyncJob job;
        h.Attach(job);
        job.SetName(u"Bytes");
        job.SetSideFolder(0, h.m_tmp.Path(m_sRoot + "L"));
        job.SetSideFolder(1, h.m_tmp.Path(m_sRoot + "R"));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
        m_nDone = job.m_nChangesOk.load();
        return job.m_nConflicts.load();
    }
};

TEST(EqualBytes, SidesAreEqualWhenTheirBytesAre) {
    struct Row {
        const char* name;
        std::function<void(CPair&)> before; // the files before the first sync
        std::function<void(CPair&)> change; // after it (null: none)
        int nConflicts;
        const char* result; // L/f "|" R/f after the second sync
        bool bExfat = false; // both sides on an exFAT disk (times of 2 s and less exact)
    };
    const Row rows[] = {
        {"both edited to one new size, the old time put back",
         [](CPair& p) { p.Put("L/f", "AAAA", T0); },
         [](CPair& p) { p.Put("L/f", "LLLLL", T0), p.Put("R/f", "RRRRR", T0); },
         1,
         "LLLLL|RRRRR"},
        {"both edited to one new size, the old time put back, on exFAT",
         [](CPair& p) { p.Put("L/f", "AAAA", T0); },
         [](CPair& p) { p.Put("L/f", "LLLLL", T0), p.Put("R/f", "RRRRR", T0); },
         1,
         "LLLLL|RRRRR",
         true},
        {"both edited to one new size and one new time",
         [](CPair& p) { p.Put("L/f", "AAAA", T0); },
         [](CPair& p) { p.Put("L/f", "LLLLL", T0 + 50), p.Put("R/f", "RRRRR", T0 + 50); },
         1,
         "LLLLL|RRRRR"},
        {"both edited to the same bytes, the old time put back",
         [](CPair& p) { p.Put("L/f", "AAAA", T0); },
         [](CPair& p) { p.Put("L/f", "SSSSS", T0), p.Put("R/f", "SSSSS", T0); },
         0,
         "SSSSS|SSSSS"},
        {"new on both sides after the first sync, the same bytes, other times",
         [](CPair& p) { p.Put("L/g", "AAAA", T0); },
         [](CPair& p) { p.Put("L/f", "SAME", T0 + 100), p.Put("R/f", "SAME", T0 + 500); },
         0,
         "SAME|SAME"},
        {"first sync of two filled folders, the same bytes, other times",
         [](CPair& p) { p.Put("L/f", "SAME", T0 + 100), p.Put("R/f", "SAME", T0 + 500); },
         nullptr,
         0,
         "SAME|SAME"},
        {"first sync of two filled folders, other bytes, other times",
         [](CPair& p) { p.Put("L/f", "LLLL", T0 + 100), p.Put("R/f", "RRRR", T0 + 500); },
         nullptr,
         1,
         "LLLL|RRRR"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CPair p;
        std::unique_ptr<CLoopDisk> disk;
        if (row.bExfat) {
            disk = std::make_unique<CLoopDisk>(p.h.m_tmp.NativeSub("x.img"), p.h.m_tmp.NativeSub("x"),
                                               ELoopDisk::Exfat);
            if (!disk->Mounted()) {
                std::cout << "exFAT row skipped: " << disk->Why() << "\n";
                continue;
            }
            p.m_sRoot = "x/";
        }
        ASSERT_TRUE(p.h.m_tmp.MakeDir(p.m_sRoot + "L") && p.h.m_tmp.MakeDir(p.m_sRoot + "R"));
        row.before(p);
        int n = p.Sync();
        if (row.change) {
            EXPECT_EQ(n, 0) << p.h.m_sink.Dump();
            row.change(p);
            n = p.Sync();
        }
        EXPECT_EQ(n, row.nConflicts) << p.h.m_sink.Dump();
        EXPECT_EQ(p.Get("L/f") + "|" + p.Get("R/f"), row.result) << p.h.m_sink.Dump();
        EXPECT_EQ(p.Sync(), row.nConflicts) << p.h.m_sink.Dump();
        EXPECT_EQ(p.m_nDone, 0) << p.h.m_sink.Dump();
    }
}

} // namespace
