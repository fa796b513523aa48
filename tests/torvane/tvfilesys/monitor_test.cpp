// The local change monitor against real file operations in a temporary tree.
#include "test-tmp.h"
#include "WinFileSys.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Change {
    std::string path;
    uint32_t kind;
};

std::string Narrow(const CWideString& w) {
    CNarrowString n = WideToUtf8(w);
    return std::string(n.GetString(), n.GetLength());
}

void Touch(const std::string& path, const std::string& content = std::string()) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    if (!content.empty()) {
        ASSERT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    }
    close(fd);
}

void Append(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
}

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tvmon-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_base = tmpl;
        m_root = m_base + "/root";
        m_outside = m_base + "/outside";
        ASSERT_EQ(mkdir(m_root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_outside.c_str(), 0755), 0);
    }
    void TearDown() override {
        m_fs.StopMonitoring();
        WinFileSys::SetMonitorWatchLimitForTest(0);
        std::string cmd = "rm -rf '" + m_base + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void Start() {
        TvConnectInfo ci;
        ci.m_sUrl = Utf8ToWide(("file://" + m_root).c_str());
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(m_fs.Connect(ci, nullptr, kind, err)) << Narrow(err);
        ASSERT_TRUE(m_fs.StartMonitoring(CWideString(), kind, err)) << Narrow(err);
    }

    // Waits (through the monitor) until the collected changes satisfy the
    // test, at most a few seconds; then collects for a short while more so
    // that unexpected extra changes show up.
    std::vector<Change> Collect(const std::function<bool(const std::vector<Change>&)>& done) {
        std::vector<Change> all;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool bSettled = false;
        while (std::chrono::steady_clock::now() < until) {
            CListT<ChangedItem> items;
            int kind = 0;
            CWideString err;
            EXPECT_TRUE(m_fs.GetChangedItems(items, kind, err)) << Narrow(err);
            for (auto pos = items.GetHeadPosition(); pos;) {
                const ChangedItem& c = items.GetNext(pos);
                all.push_back({Narrow(c.m_sPath), c.m_nKind});
            }
            if (bSettled) break;
            if (done(all)) {
                bSettled = true;
                usleep(100 * 1000);
                continue;
            }
            if (!m_fs.WaitForChanges(kind, err)) {
                ADD_FAILURE() << "wait failed: " << Narrow(err);
                break;
            }
        }
        return all;
    }
    // Collects until exactly the expected list is there (in order).
    void Expect(const std::vector<Change>& want) {
        std::vector<Change> got =
            Collect([&](const std::vector<Change>& all) { return all.size() >= want.size(); });
        std::string text;
        for (auto& c : got) text += std::string(" ") + Narrow(ChangedItemKindText(c.kind)) + ":" + c.path;
        ASSERT_EQ(got.size(), want.size()) << text;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i].path, want[i].path) << text;
            EXPECT_EQ(got[i].kind, want[i].kind) << text;
        }
    }

    std::string m_base, m_root, m_outside;
    WinFileSys m_fs;
};

TEST_F(MonitorTest, CreateWriteRenameDeleteInOrder) {
    Start();
    Touch(m_root + "/a.txt");
    Expect({{"/a.txt", CIK_CREATED}});
    Append(m_root + "/a.txt", "more");
    Append(m_root + "/a.txt", "and more"); // repeated writes give one Modified
    Expect({{"/a.txt", CIK_MODIFIED}});
    ASSERT_EQ(rename((m_root + "/a.txt").c_str(), (m_root + "/b.txt").c_str()), 0);
    Expect({{"/a.txt", CIK_MOVED_FROM}, {"/b.txt", CIK_MOVED_TO}});
    ASSERT_EQ(chmod((m_root + "/b.txt").c_str(), 0600), 0);
    Expect({{"/b.txt", CIK_METADATA}});
    ASSERT_EQ(unlink((m_root + "/b.txt").c_str()), 0);
    Expect({{"/b.txt", CIK_DELETED}});
}

TEST_F(MonitorTest, FoldersMadeBeforeTheWatchAreWatched) {
    ASSERT_EQ(system(("mkdir -p '" + m_root + "/x/y/z'").c_str()), 0);
    Touch(m_root + "/x/y/z/old.txt", "old");
    Start();
    Append(m_root + "/x/y/z/old.txt", "new");
    Expect({{"/x/y/z/old.txt", CIK_MODIFIED}});
}

TEST_F(MonitorTest, MkdirPWithFilesReportsTheNewFolderAndWatchesItsTree) {
    Start();
    // A tree made in one go, its files written before the monitor can watch
    // the new folders: the top folder is reported; what follows inside is seen.
    ASSERT_EQ(system(("mkdir -p '" + m_root + "/a/b/c' && echo hi > '" + m_root +
                      "/a/b/c/f1' && echo hi > '" + m_root + "/a/b/f2'")
                         .c_str()),
              0);
    std::vector<Change> got = Collect([](const std::vector<Change>& all) { return !all.empty(); });
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].path, "/a");
    EXPECT_EQ(got[0].kind, (uint32_t)CIK_CREATED);
    for (auto& c : got) EXPECT_EQ(c.path.rfind("/a", 0), 0u) << c.path; // nothing outside the new tree

    Touch(m_root + "/a/b/c/late");
    Expect({{"/a/b/c/late", CIK_CREATED}});
}

TEST_F(MonitorTest, FolderMovedOutIsForgottenAndMovedInIsWatched) {
    ASSERT_EQ(system(("mkdir -p '" + m_root + "/sub/deep'").c_str()), 0);
    Start();
    ASSERT_EQ(rename((m_root + "/sub").c_str(), (m_outside + "/sub").c_str()), 0);
    Expect({{"/sub", CIK_MOVED_FROM}});
    // Changes in the folder that left the tree are not ours.
    Touch(m_outside + "/sub/deep/elsewhere");
    Expect({});
    ASSERT_EQ(rename((m_outside + "/sub").c_str(), (m_root + "/back").c_str()), 0);
    Expect({{"/back", CIK_MOVED_TO}});
    Touch(m_root + "/back/deep/inside");
    Expect({{"/back/deep/inside", CIK_CREATED}});
}

TEST_F(MonitorTest, FolderMovedOutAndRemadeAtOnceStaysWatched) {
    // Both changes are read in one go: forgetting the folder that left must
    // not drop the watch of the one now at its path.
    ASSERT_EQ(system(("mkdir -p '" + m_root + "/build/sub'").c_str()), 0);
    Start();
    ASSERT_EQ(rename((m_root + "/build").c_str(), (m_outside + "/build").c_str()), 0);
    ASSERT_EQ(mkdir((m_root + "/build").c_str(), 0755), 0);
    Expect({{"/build", CIK_MOVED_FROM}, {"/build", CIK_CREATED}});
    Touch(m_root + "/build/new");
    Expect({{"/build/new", CIK_CREATED}});
    // Out and back in under the same name.
    ASSERT_EQ(rename((m_root + "/build").c_str(), (m_outside + "/b2").c_str()), 0);
    ASSERT_EQ(rename((m_outside + "/b2").c_str(), (m_root + "/build").c_str()), 0);
    Expect({{"/build", CIK_MOVED_FROM}, {"/build", CIK_MOVED_TO}});
    Touch(m_root + "/build/again");
    Expect({{"/build/again", CIK_CREATED}});
}

TEST_F(MonitorTest, FolderRenamedInsideKeepsCorrectPaths) {
    ASSERT_EQ(system(("mkdir -p '" + m_root + "/d/e'").c_str()), 0);
    Start();
    ASSERT_EQ(rename((m_root + "/d").c_str(), (m_root + "/f").c_str()), 0);
    Expect({{"/d", CIK_MOVED_FROM}, {"/f", CIK_MOVED_TO}});
    Touch(m_root + "/f/e/x");
    Expect({{"/f/e/x", CIK_CREATED}});
}

TEST_F(MonitorTest, UnrepresentableNameAsksForTheFolderToBeListed) {
    ASSERT_EQ(mkdir((m_root + "/sub").c_str(), 0755), 0);
    Start();
    Touch(m_root + "/sub/bad\xff"
                   "name");
    Touch(m_root + "/sub/back\\slash");
    Expect({{"/sub", CIK_CHANGE_IN_FOLDER}, {"/sub", CIK_CHANGE_IN_FOLDER}});
}

TEST_F(MonitorTest, NothingInsideAFolderWithAnUnrepresentableNameIsReported) {
    // Its paths have no exact wide form: a converted one could name another item.
    ASSERT_EQ(mkdir((m_root + "/bad\xff").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_root + "/bad\xff/in").c_str(), 0755), 0);
    Start();
    Touch(m_root + "/bad\xff/x");
    Touch(m_root + "/bad\xff/in/y");
    Touch(m_root + "/good");
    Expect({{"/good", CIK_CREATED}});
}

TEST_F(MonitorTest, WatchLimitGivesOneUnknown) {
    ASSERT_EQ(mkdir((m_root + "/one").c_str(), 0755), 0);
    WinFileSys::SetMonitorWatchLimitForTest(2); // the root and "one"
    Start();
    ASSERT_EQ(mkdir((m_root + "/two").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_root + "/three").c_str(), 0755), 0);
    Expect({{"/two", CIK_CREATED}, {"", CIK_UNKNOWN}, {"/three", CIK_CREATED}});
}

TEST_F(MonitorTest, QueueOverflowGivesOneUnknown) {
    FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "r");
    int maxQueued = 0;
    if (f) {
        if (fscanf(f, "%d", &maxQueued) != 1) maxQueued = 0;
        fclose(f);
    }
    if (maxQueued <= 0 || maxQueued > 40000) GTEST_SKIP() << "inotify queue too large to overflow quickly";
    Start();
    // Nobody reads while the events pile up.
    for (int i = 0; i < maxQueued + 100; ++i) Touch(m_root + "/f" + std::to_string(i));
    std::vector<Change> got = Collect([](const std::vector<Change>& all) {
        for (auto& c : all)
            if (c.kind == CIK_UNKNOWN) return true;
        return false;
    });
    int unknown = 0;
    for (auto& c : got) {
        if (c.kind == CIK_UNKNOWN) {
            ++unknown;
            EXPECT_EQ(c.path, "");
        }
    }
    EXPECT_EQ(unknown, 1);
}

TEST_F(MonitorTest, UntakenChangesCollapseToTheWholeTree) {
    FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "r");
    int maxQueued = 0;
    if (f) {
        if (fscanf(f, "%d", &maxQueued) != 1) maxQueued = 0;
        fclose(f);
    }
    if (maxQueued < 12000) GTEST_SKIP() << "inotify queue too small for the cap";
    Start();
    for (int i = 0; i < 10001; ++i) Touch(m_root + "/c" + std::to_string(i));
    Expect({{"", CIK_CHANGE_IN_FOLDER}});
    // taken: the next change is recorded one by one again
    Touch(m_root + "/after");
    Expect({{"/after", CIK_CREATED}});
}

TEST_F(MonitorTest, RemovedRootFailsTheWait) {
    Start();
    ASSERT_EQ(rmdir(m_root.c_str()), 0);
    bool bFailed = false;
    CWideString err;
    for (int i = 0; i < 5 && !bFailed; ++i) {
        int kind = 0;
        bFailed = !m_fs.WaitForChanges(kind, err);
        if (bFailed) {
            EXPECT_EQ(kind, FSE_GENERAL);
        }
    }
    ASSERT_TRUE(bFailed);
    EXPECT_NE(Narrow(err).find("monitored folder was removed"), std::string::npos) << Narrow(err);
    EXPECT_NE(Narrow(err).find(m_root), std::string::npos) << Narrow(err);
}

TEST_F(MonitorTest, FileSystemMountedOnTheRootFailsTheWait) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    Start();
    if (mount("tmpfs", m_root.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    int kind = 0;
    CWideString err;
    bool bFailed = false;
    for (int i = 0; i < 3 && !bFailed; ++i) bFailed = !m_fs.WaitForChanges(kind, err);
    umount2(m_root.c_str(), MNT_DETACH);
    EXPECT_TRUE(bFailed);
    EXPECT_NE(Narrow(err).find("another folder stands at the monitored folder's path"), std::string::npos)
        << Narrow(err);
}

TEST_F(MonitorTest, StopFromAnotherThreadEndsTheWaitAtOnce) {
    Start();
    std::atomic<bool> bEnded{false};
    std::atomic<int> endKind{0};
    std::thread waiter([&] {
        for (;;) {
            int kind = 0;
            CWideString err;
            if (!m_fs.WaitForChanges(kind, err)) {
                endKind = kind;
                break;
            }
        }
        bEnded = true;
    });
    // Changes are taken from this thread while the other one waits.
    for (int i = 0; i < 20; ++i) {
        Touch(m_root + "/t" + std::to_string(i));
        CListT<ChangedItem> items;
        int kind = 0;
        CWideString err;
        EXPECT_TRUE(m_fs.GetChangedItems(items, kind, err));
        usleep(5000);
    }
    auto t0 = std::chrono::steady_clock::now();
    m_fs.StopMonitoring();
    while (!bEnded && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) usleep(1000);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    waiter.join();
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(endKind.load(), FSE_STOPPED);
    // The monitor starts again after a stop.
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(m_fs.StartMonitoring(CWideString(), kind, err)) << Narrow(err);
    Touch(m_root + "/again");
    Expect({{"/again", CIK_CREATED}});
}

TEST_F(MonitorTest, WaitWithoutStartAndStartOnBadFolderFail) {
    TvConnectInfo ci;
    ci.m_sUrl = Utf8ToWide(("file://" + m_root).c_str());
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(m_fs.Connect(ci, nullptr, kind, err));
    EXPECT_FALSE(m_fs.WaitForChanges(kind, err));
    EXPECT_NE(Narrow(err).find("not started"), std::string::npos) << Narrow(err);
    EXPECT_FALSE(m_fs.StartMonitoring(u"/no-such", kind, err));
    EXPECT_NE(Narrow(err).find("no-such"), std::string::npos) << Narrow(err);
    EXPECT_FALSE(m_fs.StartMonitoring(u"relative", kind, err));
}

} // namespace

TEST_F(MonitorTest, FolderLinksAreFollowedWhenAskedEachFolderOnce) {
    // A link to a folder outside, one to the root (a loop), one made while watching.
    ASSERT_EQ(mkdir((m_outside + "/in").c_str(), 0755), 0);
    ASSERT_EQ(symlink(m_outside.c_str(), (m_root + "/out").c_str()), 0);
    ASSERT_EQ(symlink(m_root.c_str(), (m_root + "/loop").c_str()), 0);
    m_fs.SetMonitorFollowsFolderLinks(true);
    Start();
    Touch(m_outside + "/in/a");
    ASSERT_EQ(symlink(m_outside.c_str(), (m_root + "/later").c_str()), 0);
    // The folder behind two links is watched at the first path only.
    Expect({{"/out/in/a", CIK_CREATED}, {"/later", CIK_CREATED}});
    Touch(m_outside + "/in/b");
    Expect({{"/out/in/b", CIK_CREATED}});
    // A link moved away takes its watches along; moved in again, it is followed at its new path.
    ASSERT_EQ(rename((m_root + "/out").c_str(), (m_base + "/away").c_str()), 0);
    Expect({{"/out", CIK_MOVED_FROM}});
    Touch(m_outside + "/in/c");
    Expect({{"/later/in/c", CIK_CREATED}});
}
