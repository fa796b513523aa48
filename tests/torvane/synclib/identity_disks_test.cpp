// Whole runs on the disks that tell a file's identity each in its own way:
// ext4 with 128-byte inodes (whole seconds, no birth time), ext4 (birth
// times), a second disk mounted inside a side, and exFAT through its
// user-space driver. Each is a fresh image mounted through a loop device;
// reads are counted as opens seen by inotify.
#include "job-harness.h"
#include "loop-disk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& content, timespec t) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    const timespec ts[2] = {t, t};
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct CRuns {
    CJobHarness h;
    std::string L, R;
    int m_nOpens = 0; // of the last Sync, in the watched folders
    bool bAsItStands = false; // the user takes the folders as they stand (--force)

    // One sync of L and R; opens of files in the folders watched are counted.
    bool Sync(const std::vector<std::string>& watched = {}) {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        for (const std::string& d : watched) inotify_add_watch(fd, d.c_str(), IN_OPEN);
        CSyncJob job;
        h.Attach(job);
        job.SetName(u"Disks");
        job.SetSideFolder(0, Utf8ToWide(L.c_str()));
        job.SetSideFolder(1, Utf8ToWide(R.c_str()));
        job.m_bAllowEmptySide = bAsItStands;
        h.m_sink.ClearRecords();
        const bool bOk = h.Run(job, true, true).bOk && job.m_nSyncErr.load() == 0;
        job.SetProgressSink(&g_DummyJobProgress);
        alignas(inotify_event) char buf[65536];
        m_nOpens = 0;
        for (ssize_t len; (len = read(fd, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + len; p += sizeof(inotify_event) + ((inotify_event*)p)->len)
                m_nOpens += ((inotify_event*)p)->len != 0 && !(((inotify_event*)p)->mask & IN_ISDIR);
        close(fd);
        return bOk;
    }
};

constexpr time_t T0 = 1600000000;

// On a disk without birth times, a file written where another was removed
// takes its inode; with the same size and second it differs from the old
// file only in the inode's change time.
TEST(IdentityDisks, NewFileOnAFreedInodeIsSeenWhereNoBirthTimeIs) {
    CRuns r;
    CLoopDisk disk(r.h.m_tmp.NativeSub("whole.img"), r.h.m_tmp.NativeSub("m"), ELoopDisk::Ext4Whole);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    r.L = r.h.m_tmp.NativeSub("m/L");
    r.R = r.h.m_tmp.NativeSub("m/R");
    const std::string tarDir = r.h.m_tmp.NativeSub("tar");
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> replace;
    } cases[] = {
        {"removed, then written anew and given the old time (touch -d)",
         [&](const std::string& path) {
             fs::remove(path);
             Put(path, "NEW contents 1\n", {T0, 0});
         }},
        {"removed, then extracted from an archive (tar x)",
         [&](const std::string& path) {
             Put(tarDir + "/f", "NEW contents 2\n", {T0, 0});
             ASSERT_EQ(system(("tar -C " + tarDir + " -cf " + tarDir + ".tar f").c_str()), 0);
             fs::remove(path);
             ASSERT_EQ(system(("tar -C " + fs::path(path).parent_path().string() + " -xf " + tarDir + ".tar").c_str()), 0);
         }},
        {"swapped by name with a file of its size and time",
         [&](const std::string& path) {
             fs::rename(path, path + ".t");
             fs::rename(path + "2", path);
             fs::rename(path + ".t", path + "2");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(r.L);
        fs::remove_all(r.R);
        fs::create_directories(r.R);
        Put(r.L + "/f", "old contents X\n", {T0, 0});
        Put(r.L + "/f2", "old contents Y\n", {T0, 0});
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        ASSERT_EQ(ReadWhole(r.R + "/f"), "old contents X\n");
        SleepMs(1100);
        const ino_t ino = Inode(r.L + "/f");
        c.replace(r.L + "/f");
        if (ReadWhole(r.L + "/f2") == "old contents Y\n" && Inode(r.L + "/f") != ino)
            GTEST_SKIP() << "the file system gave the new file another inode";
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L)) << r.h.m_sink.Dump();
    }
}

// A folder renamed on either side, whether the user wrote its files or the
// sync did, is moved on the other side without reading a file: on a disk
// without birth times (the inodes did not change since the last sync) and
// on one with them (a later run gives the copies back the proof that the
// look right after the copy could not).
TEST(IdentityDisks, RenamedFolderIsMovedWithoutReading) {
    struct Case {
        ELoopDisk disk;
        bool bRenameCopies; // on the side the sync wrote
    } cases[] = {{ELoopDisk::Ext4Whole, false}, {ELoopDisk::Ext4Whole, true}, {ELoopDisk::Ext4, false}, {ELoopDisk::Ext4, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.disk == ELoopDisk::Ext4 ? "ext4" : "ext4 -I 128") +
                     (c.bRenameCopies ? ", the copies renamed" : ", the originals renamed"));
        CRuns r;
        CLoopDisk disk(r.h.m_tmp.NativeSub("d.img"), r.h.m_tmp.NativeSub("m"), c.disk);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        r.L = r.h.m_tmp.NativeSub("m/L");
        r.R = r.h.m_tmp.NativeSub("m/R");
        fs::create_directories(r.R);
        for (int i = 0; i < 40; i++)
            Put(r.L + "/photos/p" + std::to_string(i) + ".jpg", std::string(4096 + i, (char)('a' + i % 26)),
                {T0 + i, 0});
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        SleepMs(1100);
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        const std::string& moved = c.bRenameCopies ? r.R : r.L;
        const std::string& other = c.bRenameCopies ? r.L : r.R;
        fs::rename(moved + "/photos", moved + "/pictures");
        ASSERT_TRUE(r.Sync({moved + "/pictures", other + "/photos"})) << r.h.m_sink.Dump();
        EXPECT_EQ(r.m_nOpens, 0);
        EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L));
        EXPECT_TRUE(fs::exists(other + "/pictures/p39.jpg"));
    }
}

// A second disk mounted inside a side may hold a file of the same inode
// number and birth time as one that was there (a copy of the disk's image):
// no identity proves a move between them.
TEST(IdentityDisks, FileOnAnotherMountInsideASideIsNoMove) {
    CRuns r;
    r.L = r.h.m_tmp.NativeSub("L");
    r.R = r.h.m_tmp.NativeSub("R");
    fs::create_directories(r.R);
    const std::string imgA = r.h.m_tmp.NativeSub("a.img"), imgB = r.h.m_tmp.NativeSub("b.img");
    CLoopDisk a(imgA, r.L + "/m1", ELoopDisk::Ext4);
    if (!a.Mounted()) GTEST_SKIP() << a.Why();
    const timespec t{T0, 123456789};
    Put(r.L + "/m1/f", "contents of the first disk\n", t);
    SleepMs(50);
    ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
    ASSERT_EQ(ReadWhole(r.R + "/m1/f"), "contents of the first disk\n");
    // The first disk goes; a copy of its image comes at another folder,
    // where its file gets other bytes of the same size and time.
    a.Unmount();
    fs::copy_file(imgA, imgB);
    CLoopDisk b(imgB, r.L + "/m2", ELoopDisk::Ext4, false);
    ASSERT_TRUE(b.Mounted()) << b.Why();
    {
        std::fstream f(r.L + "/m2/f", std::ios::in | std::ios::out | std::ios::binary);
        f << "CONTENTS OF THE CLONED DISK";
    }
    const timespec ts[2] = {t, t};
    utimensat(AT_FDCWD, (r.L + "/m2/f").c_str(), ts, 0);
    SleepMs(50);
    r.bAsItStands = true; // one disk gone, another come: the user says so
    ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
    EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L)) << r.h.m_sink.Dump();
}

// A folder of a side that was a disk's mount point at the last sync and is
// no longer (or one that became one since) holds the side: nothing that
// went with the unmount is deleted on the other side, nothing of a disk that
// came is copied, until the mounts are as they were or the user takes the
// folders as they stand.
TEST(MountsBelowASide, AFolderThatBecameOrStoppedBeingADiskHoldsTheSide) {
    CRuns r;
    r.L = r.h.m_tmp.NativeSub("L");
    r.R = r.h.m_tmp.NativeSub("R");
    fs::create_directories(r.R);
    const std::string img = r.h.m_tmp.NativeSub("a.img"), img2 = r.h.m_tmp.NativeSub("b.img");
    {
        CLoopDisk a(img, r.L + "/m", ELoopDisk::Ext4);
        if (!a.Mounted()) GTEST_SKIP() << a.Why();
        Put(r.L + "/m/f", "on the disk\n", timespec{T0, 0});
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        ASSERT_EQ(ReadWhole(r.R + "/m/f"), "on the disk\n");
    }
    EXPECT_FALSE(r.Sync()) << "synced with the disk gone";
    EXPECT_NE(r.h.m_sink.Dump().find("/m became another file system, or stopped being one"), std::string::npos)
        << r.h.m_sink.Dump();
    EXPECT_EQ(ReadWhole(r.R + "/m/f"), "on the disk\n");
    {
        CLoopDisk back(img, r.L + "/m", ELoopDisk::Ext4, false);
        ASSERT_TRUE(back.Mounted()) << back.Why();
        EXPECT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        CLoopDisk come(img2, r.L + "/n", ELoopDisk::Ext4);
        ASSERT_TRUE(come.Mounted()) << come.Why();
        Put(r.L + "/n/g", "on another disk\n", timespec{T0, 0});
        EXPECT_FALSE(r.Sync()) << "synced with a disk come";
        EXPECT_FALSE(fs::exists(r.R + "/n/g"));
        r.bAsItStands = true;
        EXPECT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        r.bAsItStands = false;
        EXPECT_EQ(ReadWhole(r.R + "/n/g"), "on another disk\n");
        EXPECT_TRUE(r.Sync()) << "the mounts it synced with are kept: " << r.h.m_sink.Dump();
    }
}

// A copy keeps its source's time where the disk can keep it: exFAT through
// its user-space driver does (both times are given). Where the disk cannot
// (a time after 2038 on ext4 with 128-byte inodes), the record takes what it
// kept and the log says so once. Either way no later run copies again, and
// an edit of a copy is passed on.
TEST(IdentityDisks, CopiesKeepTheirTimesOrTheRecordsTakeWhatTheDiskKept) {
    const time_t t2040 = 2219000000;
    struct Case {
        ELoopDisk disk;
        time_t t;
        size_t nSaid; // lines that say the disk did not keep a time
    } cases[] = {{ELoopDisk::Exfat, T0 + 1, 0}, {ELoopDisk::Ext4Whole, t2040, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk == ELoopDisk::Exfat ? "exFAT" : "ext4 -I 128");
        CRuns r;
        CLoopDisk disk(r.h.m_tmp.NativeSub("x.img"), r.h.m_tmp.NativeSub("x"), c.disk);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        r.L = r.h.m_tmp.NativeSub("L");
        r.R = r.h.m_tmp.NativeSub("x/R");
        fs::create_directories(r.R);
        Put(r.L + "/a", std::string(3000, 'a'), {c.t, 500000000});
        Put(r.L + "/b", std::string(3001, 'b'), {c.t, 0});
        SleepMs(50);
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        struct stat st {};
        ASSERT_EQ(stat((r.R + "/a").c_str(), &st), 0);
        if (c.nSaid == 0) {
            EXPECT_LE(std::abs(st.st_mtim.tv_sec - c.t), 1); // whole or two seconds
        }
        const std::string log = r.h.m_sink.Dump();
        size_t n = 0;
        for (size_t p = log.find("did not keep the modification time"); p != std::string::npos;
             p = log.find("did not keep the modification time", p + 1))
            n++;
        EXPECT_EQ(n, c.nSaid) << log;
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(r.Sync({r.L, r.R})) << r.h.m_sink.Dump();
            EXPECT_EQ(r.m_nOpens, 0) << r.h.m_sink.Dump();
        }
        Put(r.R + "/a", "edited on the stick\n", {T0 + 100, 0});
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        EXPECT_EQ(ReadWhole(r.L + "/a"), "edited on the stick\n");
        EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L));
    }
}

// Files of one size and one time renamed together: each one's identity
// proves its move, whatever the others share; nothing is read or deleted.
TEST(IdentityDisks, FilesOfOneSizeAndTimeRenamedTogetherAreMoves) {
    for (const int nFiles : {200, 2000}) {
        SCOPED_TRACE(nFiles);
        CRuns r;
        r.L = r.h.m_tmp.NativeSub("L");
        r.R = r.h.m_tmp.NativeSub("R");
        fs::create_directories(r.R);
        char name[32];
        for (int i = 0; i < nFiles; i++) {
            snprintf(name, sizeof name, "/d/IMG_%05d.JPG", i);
            Put(r.L + name, "photo number " + std::to_string(100000 + i), {T0, 0});
        }
        SleepMs(50);
        ASSERT_TRUE(r.Sync()) << r.h.m_sink.Dump();
        for (int i = 0; i < nFiles; i++) {
            snprintf(name, sizeof name, "/d/IMG_%05d.JPG", i);
            char to[32];
            snprintf(to, sizeof to, "/d/holiday-%05d.jpg", i);
            fs::rename(r.L + name, r.L + to);
        }
        ASSERT_TRUE(r.Sync({r.L + "/d", r.R + "/d"})) << r.h.m_sink.Dump();
        EXPECT_EQ(r.m_nOpens, 0);
        EXPECT_EQ(DiskFiles(r.R), DiskFiles(r.L));
        EXPECT_FALSE(fs::exists(r.R + "/_tvdata_/_saved_/d"));
    }
}

} // namespace
