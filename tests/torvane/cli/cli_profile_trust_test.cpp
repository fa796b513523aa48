// What root's "torvane" opens in its profile and in a side's data folder
// when another user ("tvother") can reach the folders around them: a profile
// checked up to the top, files used only when they are root's own with one
// name, and no open that a link or a named pipe swapped in during a run can
// redirect or hold. The built program, with runs that could hang timed.
#include "cli-test-run.h"
#include "job-harness.h"
#include "loop-disk.h"
#include "other-user.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

constexpr int kRunLimitMs = 30000;

class CliProfileTrust : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    void SetUp() override { chmod(m_tmp.Native().c_str(), 0755); }
    std::string P(const std::string& rel = "") const { return m_tmp.NativeSub(rel); }
    // A run of root's with the test's profile, killed when it hangs.
    CCliRun Run(std::vector<std::string> args, int nSignalAfterMs = -1, const std::string& profile = "prof") {
        args.insert(args.begin(), {CliProgram(), "--profile", P(profile)});
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgramWithin(std::move(args), P("out" + n), P("err" + n), kRunLimitMs, nSignalAfterMs);
    }
    static uid_t Owner(const fs::path& p) {
        struct stat st {};
        return lstat(p.c_str(), &st) == 0 ? st.st_uid : (uid_t)-1;
    }
};

// tvother's loop in a process of its own: each time a file in `watched`
// (its own folder) has been read, the folder at `at` is swapped for a link
// to `to` for a while, and every name that appears in `to` meanwhile
// becomes a named pipe at once; then the folder is put back.
class CSwapLoop {
public:
    CSwapLoop(const std::string& watched, const std::string& at, const std::string& to) : m_at(at) {
        m_pid = fork();
        if (m_pid != 0) return;
        if (setgroups(0, nullptr) != 0 || setgid(OtherUser().gid) != 0 || setuid(OtherUser().uid) != 0) _exit(1);
        const int in = inotify_init1(IN_CLOEXEC);
        const int read = inotify_add_watch(in, watched.c_str(), IN_CLOSE_NOWRITE);
        inotify_add_watch(in, to.c_str(), IN_CREATE | IN_MOVED_TO);
        const int dirFd = open(to.c_str(), O_RDONLY | O_DIRECTORY);
        timespec until{};
        bool bHeld = false;
        for (;;) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (bHeld && (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec > until.tv_nsec))) {
                bHeld = false;
                if (unlink(at.c_str()) == 0) rename((at + ".held").c_str(), at.c_str());
            }
            pollfd p{in, POLLIN, 0};
            if (poll(&p, 1, 1) <= 0) continue;
            alignas(inotify_event) char buf[4096];
            const ssize_t n = ::read(in, buf, sizeof buf);
            for (ssize_t k = 0; k < n;) {
                const auto* e = (const inotify_event*)(buf + k);
                k += (ssize_t)sizeof(inotify_event) + e->len;
                if (!e->len || (e->mask & IN_ISDIR)) continue;
                struct stat st {};
                if (e->wd != read) {
                    if (fstatat(dirFd, e->name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISFIFO(st.st_mode) &&
                        unlinkat(dirFd, e->name, 0) == 0)
                        mkfifoat(dirFd, e->name, 0666);
                } else if (!bHeld && rename(at.c_str(), (at + ".held").c_str()) == 0) {
                    symlink(to.c_str(), at.c_str());
                    bHeld = true;
                    clock_gettime(CLOCK_MONOTONIC, &until);
                    until.tv_nsec += 300 * 1000 * 1000;
                    if (until.tv_nsec >= 1000000000) until.tv_sec += 1, until.tv_nsec -= 1000000000;
                }
            }
        }
    }
    ~CSwapLoop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        // The folder back at its name.
        std::error_code ec;
        if (fs::exists(m_at + ".held", ec)) {
            fs::remove(m_at, ec);
            fs::rename(m_at + ".held", m_at, ec);
        }
    }

private:
    std::string m_at;
    pid_t m_pid = -1;
};

// Root backs up a folder tvother owns, whose data folder tvother swaps for
// a link to a folder of its own once root has read the changed file of each
// run, turning what root creates there into named pipes: every run ends in time (one on SIGTERM
// too), nothing of root's is ever made through the link, and once the loop
// stops the job syncs again.
TEST_F(CliProfileTrust, DataFolderSwappedForALinkDuringRunsIsNeverWrittenThroughNorWaitedOn) {
    TV_NEED_OTHER_USER();
    for (const char* d : {"home/docs", "home/evil", "backup"}) ASSERT_TRUE(m_tmp.MakeDir(d));
    for (int i = 0; i < 400; ++i) m_tmp.WriteFile("home/docs/f" + std::to_string(i), std::string(2000, 'x'));
    for (const char* d : {"home", "home/docs", "home/evil"})
        ASSERT_EQ(chown(P(d).c_str(), OtherUser().uid, OtherUser().gid), 0);
    chmod(P("home/evil").c_str(), 0777);
    ASSERT_EQ(Run({"job", "add", "j", P("home/docs"), P("backup"), "--type", "1"}).code, 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);
    {
        CSwapLoop loop(P("home/docs"), P("home/docs/_tvdata_"), P("home/evil"));
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE(i);
            m_tmp.WriteFile("home/docs/f" + std::to_string(i), "changed " + std::to_string(i));
            const CCliRun r = Run({"sync", "j"}, i == 5 ? 150 : -1);
            ASSERT_NE(r.code, kCliTimedOut) << "the run hung: " << r.err;
            for (const auto& e : fs::directory_iterator(P("home/evil")))
                EXPECT_NE(Owner(e.path()), 0u) << e.path() << " was made by root through the link";
        }
    }
    EXPECT_EQ(Owner(P("home/docs/_tvdata_")), 0u);
    const CCliRun r = Run({"sync", "j"});
    EXPECT_EQ(r.code, 0) << r.err;
}

// Root's profile in folders others can reach: each one above it that another
// user could change refuses it, saying what to do; a sticky folder above it
// and a group of the user's own alone do not; a drive without owners of its
// own is taken once mounted for its user alone.
TEST_F(CliProfileTrust, ProfileIsCheckedUpToTheTopAndEachRefusalSaysWhatToDo) {
    TV_NEED_OTHER_USER();
    struct {
        const char* name;
        const char* parent;
        mode_t parentMode;
        bool bTheirs; // the folder above the profile is tvother's
        const char* said; // empty: accepted
    } const cases[] = {
        {"open to all above", "open", 0777, false, "every user can write it and put another folder in the "
                                                   "profile's place"},
        {"sticky above", "sticky", 01777, false, ""},
        {"another's above", "theirs", 0755, true, "its owner could put another folder in the profile's place"},
        {"group of tvother above", "group", 0775, false, "the members of its group tvother can write it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_tmp.MakeDir(std::string(c.parent) + "/prof"));
        chmod(P(c.parent).c_str(), c.parentMode);
        chmod(P(std::string(c.parent) + "/prof").c_str(), 0700);
        ASSERT_EQ(chown(P(c.parent).c_str(), c.bTheirs ? OtherUser().uid : 0, OtherUser().gid), 0);
        const CCliRun r = Run({"job", "list"}, -1, std::string(c.parent) + "/prof");
        if (!*c.said) {
            EXPECT_EQ(r.code, 0) << r.err;
            continue;
        }
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find("the folder " + P(c.parent) + " above the profile folder"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.bTheirs ? "To fix: keep the profile in folders of your own or root's"
                                       : "To fix: chmod go-w " + P(c.parent)),
                  std::string::npos)
            << r.err;
    }

    // tvother's own profile, open to its private group (umask 002).
    ASSERT_TRUE(m_tmp.MakeDir("upg/prof"));
    ASSERT_EQ(chown(P("upg").c_str(), OtherUser().uid, OtherUser().gid) +
                  chown(P("upg/prof").c_str(), OtherUser().uid, OtherUser().gid),
              0);
    chmod(P("upg/prof").c_str(), 0775);
    EXPECT_TRUE(AsOtherUser(CliProgram() + " --profile " + P("upg/prof") + " job list >/dev/null 2>&1"));

    // An exFAT stick, whose modes chmod cannot change: as mounted for every
    // user it is refused with the mount options to use, and taken with them.
    const std::string img = P("stick.img"), mnt = P("stick");
    const std::string loop = system(("truncate -s 64M " + img + " && mkfs.exfat " + img + " >/dev/null 2>&1").c_str()) == 0
                                 ? LoopDiskSh("losetup -f --show " + img)
                                 : std::string();
    if (loop.empty() || !m_tmp.MakeDir("stick")) GTEST_SKIP() << "no exFAT image on a loop device";
    for (const char* opts : {"", "-o umask=077 "}) {
        SCOPED_TRACE(opts);
        if (system(("mount.exfat-fuse " + std::string(opts) + loop + " " + mnt + " >/dev/null 2>&1").c_str()) != 0)
            break;
        fs::create_directories(mnt + "/prof");
        const CCliRun r = Run({"job", "list"}, -1, "stick/prof");
        umount2(mnt.c_str(), MNT_DETACH);
        EXPECT_EQ(r.code, *opts ? 0 : 3) << r.err;
        if (!*opts) {
            EXPECT_NE(r.err.find("chmod cannot change it: mount it with the options uid=0,umask=077"),
                      std::string::npos)
                << r.err;
        }
    }
    system(("losetup -d " + loop).c_str());
}

// Files in root's own profile that root did not make as they stand: a job
// list with a second name or of another user is refused (exit 3) with what
// to do; named pipes at the kept counts' names and at the lock's name when a
// run ends never hold the run, and such a lock never becomes the stamp.
TEST_F(CliProfileTrust, ProfileFilesNotRootsOwnAreRefusedAndNamedPipesNeverWaitedOn) {
    TV_NEED_OTHER_USER();
    ASSERT_TRUE(m_tmp.MakeDir("prof") && m_tmp.MakeDir("left") && m_tmp.MakeDir("right"));
    for (int i = 0; i < 3000; ++i) m_tmp.WriteFile("left/f" + std::to_string(i), std::string(1000, 'y'));
    chmod(P("prof").c_str(), 0700);
    ASSERT_EQ(Run({"job", "add", "j", P("left"), P("right"), "--type", "1"}).code, 0);
    const std::string list = P("prof/jobs.tix");
    ASSERT_TRUE(fs::exists(list));

    fs::create_hard_link(list, P("prof/second-name"));
    CCliRun r = Run({"job", "list"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("refused, as it has 2 names (hard links). To fix:"), std::string::npos) << r.err;
    fs::remove(P("prof/second-name"));
    ASSERT_EQ(chown(list.c_str(), OtherUser().uid, OtherUser().gid), 0);
    r = Run({"sync", "j"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("refused, as it is owned by tvother, not by root. To fix:"), std::string::npos) << r.err;
    ASSERT_EQ(chown(list.c_str(), 0, 0), 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);

    // Named pipes at every count kept for the folders.
    int nPipes = 0;
    for (const auto& e : fs::recursive_directory_iterator(P("prof/_tvdata_mirrors_"))) {
        const std::string name = e.path().filename().string();
        if (name.rfind("_state_records_", 0) != 0 && name.rfind("_last_sync_items_", 0) != 0) continue;
        fs::remove(e.path());
        ASSERT_EQ(mkfifo(e.path().c_str(), 0600), 0);
        ++nPipes;
    }
    EXPECT_GE(nPipes, 2);
    m_tmp.WriteFile("left/f1", "changed");
    r = Run({"sync", "j"});
    EXPECT_EQ(r.code, 0) << r.err;

    // A named pipe put at the lock's name while the run copies.
    for (int i = 0; i < 3000; i += 2) m_tmp.WriteFile("left/f" + std::to_string(i), "changed again");
    const std::string lock = P("right/_tvdata_/lock.tvl");
    const pid_t pid = CliStartProgram({CliProgram(), "--profile", P("prof"), "sync", "j"}, P("lock-out"),
                                      P("lock-err"));
    bool bPlanted = false;
    for (int ms = 0; ms < kRunLimitMs && !bPlanted; ++ms) {
        if (fs::is_regular_file(lock)) bPlanted = unlink(lock.c_str()) == 0 && mkfifo(lock.c_str(), 0600) == 0;
        usleep(1000);
    }
    int status = 0;
    for (int ms = 0; ms < kRunLimitMs && waitpid(pid, &status, WNOHANG) == 0; ms += 10) usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the run hung";
    }
    ASSERT_TRUE(bPlanted);
    EXPECT_NE(WEXITSTATUS(status), 0) << CliReadAll(P("lock-err"));
    EXPECT_NE(CliReadAll(P("lock-err")).find("cannot be read back, so the folder gets no in-sync stamp"),
              std::string::npos)
        << CliReadAll(P("lock-err"));
    EXPECT_FALSE(fs::is_fifo(P("right/_tvdata_/_insync_v4.tvl")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(lock)));
    EXPECT_EQ(Run({"sync", "j"}).code, 0);
}

} // namespace
