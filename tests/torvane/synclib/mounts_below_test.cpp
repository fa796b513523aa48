// File systems mounted below a side (and at it) changed between syncs, in
// whole runs on loop-mounted ext4 images, tmpfs and bind mounts: what the
// last sync saw there is told by what each mount is, not by its folder's
// name, so that no drive's files are deleted on the other side because
// another one stands in its place.
#include "job-harness.h"
#include "loop-disk.h"
#include "mounts-below.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <functional>
#include <memory>

namespace fs = std::filesystem;

namespace {

constexpr time_t T0 = 1600000000;

void Put(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    const timespec ts[2] = {{T0, 0}, {T0, 0}};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

struct CPair {
    CJobHarness h;
    std::string L = h.m_tmp.NativeSub("L"), R = h.m_tmp.NativeSub("R");
    bool bAsItStands = false, bExcludeHidden = false;
    std::string sExcluded; // a FiltersExcluded rule
    std::vector<std::string> mounts; // made by the test, unmounted last first
    std::unique_ptr<CLoopDisk> disks[2]; // unmounted after those
    CRecordingSink* pSink = &h.m_sink;

    CPair() {
        fs::create_directories(L);
        fs::create_directories(R);
    }
    ~CPair() {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
    bool Mount(const char* type, const std::string& source, const std::string& at, unsigned long flags) {
        fs::create_directories(at);
        if (mount(source.c_str(), at.c_str(), type, flags, nullptr) != 0) return false;
        mounts.push_back(at);
        return true;
    }
    bool Sync() {
        CSyncJob job;
        job.SetProgressSink(pSink);
        job.SetName(u"Mounts");
        job.SetSideFolder(0, Utf8ToWide(L.c_str()));
        job.SetSideFolder(1, Utf8ToWide(R.c_str()));
        job.m_Options.m_bExcludeHidden = bExcludeHidden;
        if (!sExcluded.empty()) job.m_Options.m_Filters.m_lstExcluded.AddTail(Utf8ToWide(sExcluded.c_str()));
        job.m_bAllowEmptySide = bAsItStands;
        pSink->ClearRecords();
        const bool bOk = h.Run(job, true, true).bOk && job.m_nSyncErr.load() == 0;
        job.SetProgressSink(&g_DummyJobProgress);
        return bOk;
    }
};

} // namespace

// Each row: a pair synced with a drive at L/m (or at L itself), then the
// mounts changed; the next sync holds the side (nothing deleted or copied),
// or, where the change is in a folder the job leaves out, syncs.
TEST(MountsBelowASide, WhatEachMountIsDecidesNotItsFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    enum EStart { kDiskBelow, kDiskAtSide, kNoDisk };
    struct Case {
        const char* name;
        EStart start;
        std::function<bool(CPair&)> change;
        bool bHeld;
    };
    auto otherDrive = [](const std::string& at) {
        return [at](CPair& p) {
            p.disks[0]->Unmount();
            p.disks[1] = std::make_unique<CLoopDisk>(p.h.m_tmp.NativeSub("b.img"), p.h.m_tmp.NativeSub(at),
                                                     ELoopDisk::Ext4);
            Put(p.h.m_tmp.NativeSub(at) + "/g", "on the other drive\n");
            return p.disks[1]->Mounted();
        };
    };
    const Case cases[] = {
        {"another drive at the same folder", kDiskBelow, otherDrive("L/m"), true},
        {"a tmpfs stacked over the drive", kDiskBelow,
         [](CPair& p) { return p.Mount("tmpfs", "none", p.L + "/m", 0); }, true},
        {"the side bound onto itself", kDiskBelow,
         [](CPair& p) { return p.Mount(nullptr, p.L, p.L, MS_BIND); }, true},
        {"the drive gone, the pair synced from another profile", kDiskBelow,
         [](CPair& p) {
             p.disks[0]->Unmount();
             g_EngineOptions.m_sMirrorFolderRoot = p.h.m_tmp.Path("mirror-root-2");
             return true;
         },
         true},
        {"another ext4 drive at the side, its own lost+found", kDiskAtSide, otherDrive("L"), true},
        {"a tmpfs in a hidden folder the job leaves out", kNoDisk,
         [](CPair& p) {
             p.bExcludeHidden = true;
             if (!p.Mount("tmpfs", "none", p.L + "/.cache", 0)) return false;
             Put(p.L + "/.cache/c", "cache\n");
             return true;
         },
         false},
        {"a tmpfs in a folder the filters leave out", kNoDisk,
         [](CPair& p) {
             p.sExcluded = "/build";
             if (!p.Mount("tmpfs", "none", p.L + "/build/out", 0)) return false;
             Put(p.L + "/build/out/o", "built\n");
             return true;
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CPair p;
        if (c.start != kNoDisk) {
            p.disks[0] = std::make_unique<CLoopDisk>(p.h.m_tmp.NativeSub("a.img"),
                                                     c.start == kDiskBelow ? p.L + "/m" : p.L, ELoopDisk::Ext4);
            if (!p.disks[0]->Mounted()) GTEST_SKIP() << p.disks[0]->Why();
            for (int i = 0; i < 3; ++i) Put(p.L + "/m/f" + std::to_string(i), "on the first drive\n");
        }
        Put(p.L + "/top", "on the side\n");
        ASSERT_TRUE(p.Sync()) << p.h.m_sink.Dump();
        auto expected = DiskFiles(p.R);
        ASSERT_TRUE(c.change(p));
        // Something to sync, so that the run gets to the side.
        Put(p.R + "/new", "new on the right\n");
        expected["new"] = "new on the right\n";
        EXPECT_EQ(p.Sync(), !c.bHeld) << p.h.m_sink.Dump();
        EXPECT_EQ(DiskFiles(p.R), expected) << p.h.m_sink.Dump();
        EXPECT_EQ(fs::exists(p.L + "/new"), !c.bHeld);
        if (c.bHeld) continue;
        // Gone again: nothing of it was synced, nothing holds the side.
        umount2(p.mounts.back().c_str(), 0);
        p.mounts.pop_back();
        EXPECT_TRUE(p.Sync()) << p.h.m_sink.Dump();
    }
}

// A file system mounted over a folder while a sync writes into it: the
// layout the run began with is kept, and the next sync holds the side.
TEST(MountsBelowASide, AMountMadeWhileTheSyncRunsIsNotKeptAsTheLayout) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
    CPair p;
    Put(p.L + "/top", "on the side\n");
    fs::create_directories(p.L + "/m");
    ASSERT_TRUE(p.Sync()) << p.h.m_sink.Dump();
    for (int i = 0; i < 3; ++i) Put(p.R + "/m/n" + std::to_string(i), "new on the right\n");
    // Mounted as soon as the first copy into the folder is done.
    struct CMountingSink : CRecordingSink {
        CPair* pPair = nullptr;
        std::atomic<bool> bMounted{false};
        void OnMessageLine(int level, const CWideString& text, int mode) override {
            CRecordingSink::OnMessageLine(level, text, mode);
            if (text.Find(u"/m/n") >= 0 && !bMounted.exchange(true))
                pPair->Mount("tmpfs", "none", pPair->L + "/m", 0);
        }
    } sink;
    sink.pPair = &p;
    p.pSink = &sink;
    p.Sync();
    p.pSink = &p.h.m_sink;
    ASSERT_TRUE(sink.bMounted.load());
    ASSERT_EQ(p.mounts.size(), 1u) << sink.Dump();
    const std::string said = sink.Dump();
    EXPECT_FALSE(p.Sync()) << p.h.m_sink.Dump();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fs::exists(p.R + "/m/n" + std::to_string(i)));
    EXPECT_NE(said.find("while the job ran"), std::string::npos) << said;
}

// Two looks at one folder: the same drive put back on another device number
// is the same file system; a fresh tmpfs, another drive or another bind is
// not. Within one run a mount made anew counts too.
TEST(MountsBelowASide, SameFileSystemByWhatItIs) {
    CMountBelow was;
    was.sPoint = "m";
    was.sType = "ext4";
    was.sRoot = "/";
    was.nMajor = 7;
    was.nMinor = 3;
    was.nFsid = 1;
    was.sUuid = std::string(32, 'a');
    was.nMountId = 40;
    struct Row {
        const char* name;
        std::function<void(CMountBelow&)> change;
        bool bSame, bSameInARun;
    } rows[] = {
        {"as it was", [](CMountBelow&) {}, true, true},
        {"put back on another device", [](CMountBelow& m) { m.nMajor = 8, m.nMountId = 41; }, true, false},
        {"another drive", [](CMountBelow& m) { m.sUuid = std::string(32, 'b'), m.nFsid = 2; }, false, false},
        {"a bind of a folder of it", [](CMountBelow& m) { m.sRoot = "/sub"; }, false, false},
        {"another kind", [](CMountBelow& m) { m.sType = "tmpfs"; }, false, false},
        {"no UUID, another fsid", [](CMountBelow& m) { m.sUuid.clear(), m.nFsid = 2; }, false, false},
        {"neither, another device", [](CMountBelow& m) { m.sUuid.clear(), m.nFsid = 0, m.nMinor = 4; }, false,
         false},
        {"kept by an older version",
         [](CMountBelow& m) {
             std::vector<CMountBelow> kept;
             std::string err;
             ASSERT_TRUE(ParseMountsBelow("m\n", kept, err)) << err;
             m = kept.at(0);
         },
         true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        CMountBelow now = was;
        r.change(now);
        EXPECT_EQ(MountLayoutChanges({was}, {now}, false).empty(), r.bSame);
        EXPECT_EQ(MountLayoutChanges({was}, {now}, true).empty(), r.bSameInARun);
    }
}
