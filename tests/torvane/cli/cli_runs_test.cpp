// Runs of the "torvane" command that meet other processes, signals and a
// full disk: the built program on temporary folders with private profiles.
#include "cli-test-run.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>


namespace {

// A program started in the background, its output in files.
struct CProc {
    pid_t pid = -1;
    std::string out, err;
    int code = -1;
    std::string Out() const { return CliReadAll(out); }
    std::string Err() const { return CliReadAll(err); }
    bool Wait(int nMs) {
        for (int waited = 0; waited <= nMs; waited += 20) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            usleep(20000);
        }
        return false;
    }
};

// Ends the process when the test leaves early (a failed assertion).
struct CEndOnExit {
    CProc& p;
    ~CEndOnExit() {
        if (p.pid <= 0 || p.code >= 0) return;
        kill(p.pid, SIGKILL);
        kill(p.pid, SIGCONT);
        waitpid(p.pid, nullptr, 0);
    }
};

class CliRuns : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    std::string Sub(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    std::vector<std::string> Argv(const std::string& profile, const std::vector<std::string>& args) {
        std::vector<std::string> all = {CliProgram(), "--profile", Sub(profile)};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    // "torvane --profile <tmp>/<profile> args...", to its end.
    CCliRun Run(const std::string& profile, const std::vector<std::string>& args) {
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram(Argv(profile, args), Sub("out" + n), Sub("err" + n));
    }
    int Code(const std::string& profile, const std::vector<std::string>& args) { return Run(profile, args).code; }
    // argv run to its end or for at most nSeconds (then killed: 124 or 137).
    CCliRun RunFor(int nSeconds, const std::vector<std::string>& argv) {
        std::vector<std::string> all = {"timeout", "-k", "5", std::to_string(nSeconds)};
        all.insert(all.end(), argv.begin(), argv.end());
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram(all, Sub("out" + n), Sub("err" + n));
    }
    // The same started, and stopped (SIGSTOP) as soon as it holds the locks
    // of folders a and b, in the middle of its copies.
    CProc StartHolding(const std::string& profile, const std::vector<std::string>& args, const std::string& a,
                       const std::string& b) {
        CProc c;
        const std::string n = std::to_string(m_nRun++);
        c.out = Sub("out" + n);
        c.err = Sub("err" + n);
        c.pid = CliStartProgram(Argv(profile, args), c.out, c.err);
        EXPECT_GT(c.pid, 0);
        auto held = [&] { return Exists(a + "/_tvdata_/lock.tvl") && Exists(b + "/_tvdata_/lock.tvl"); };
        for (int i = 0; i < 200000 && !held(); ++i) usleep(100);
        kill(c.pid, SIGSTOP);
        EXPECT_TRUE(held()) << c.Err();
        return c;
    }
    bool Exists(const std::string& rel) const { return std::filesystem::exists(Sub(rel)); }
    // The locks and temporary files left in a data folder.
    std::vector<std::string> Leftovers(const std::string& side) const {
        std::vector<std::string> v;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(Sub(side + "/_tvdata_"), ec)) {
            const std::string name = e.path().filename().string();
            if (name.find("lock") != std::string::npos || name.find("._tvtmp") != std::string::npos) v.push_back(name);
        }
        return v;
    }
    // Contents below a folder, outside "_tvdata_".
    std::map<std::string, std::string> Contents(const std::string& rel) const {
        std::map<std::string, std::string> m;
        const std::string root = Sub(rel);
        for (auto it = std::filesystem::recursive_directory_iterator(root);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            const std::string r = it->path().string().substr(root.size());
            if (r.rfind("/_tvdata_", 0) == 0) {
                it.disable_recursion_pending();
                continue;
            }
            m[r] = it->is_regular_file() ? CliReadAll(it->path().string()) : std::string("<dir>");
        }
        return m;
    }
};

} // namespace

TEST_F(CliRuns, SameJobNameInTwoProfilesOverOneFolderNeverSharesItsLock) {
    // Profile p's job J (A-B) copies slowly; profile q's job J (A-C) meets
    // its lock on A.
    const struct {
        const char* what;
        std::vector<std::string> second;
        int secondCode, firstCode;
        const char* firstSays;
        bool bFirstKilled = false; // the first ends by SIGKILL, its lock left behind
    } rounds[] = {
        // Refused while the first holds A; the first ends clean.
        {"refused", {"sync", "J"}, 3, 0, "synced: 2 done, 0 conflicts, 0 errors"},
        // Broken by the user's order: the first says that its lock was taken.
        {"overridden", {"sync", "J", "--override-locks"}, 0, 1, " was broken while it ran"},
        // The first's process has ended: its lock is a leftover for its own
        // profile's job only, which takes it; the other profile's is refused.
        {"left behind", {"sync", "J"}, 3, 128 + SIGKILL, "", true},
    };
    int k = 0;
    for (const auto& r : rounds) {
        SCOPED_TRACE(r.what);
        const std::string n = std::to_string(k++), a = "a" + n, b = "b" + n, c = "c" + n;
        for (const std::string& d : {a, b, c}) m_tmp.MakeDir(d);
        m_tmp.WriteFile(a + "/big.bin", std::string(48 << 20, 'x'));
        m_tmp.WriteFile(a + "/small.txt", "s");
        ASSERT_EQ(Code("p" + n, {"job", "add", "J", Sub(a), Sub(b)}), 0);
        ASSERT_EQ(Code("q" + n, {"job", "add", "J", Sub(a), Sub(c)}), 0);
        CProc first = StartHolding("p" + n, {"sync", "J"}, a, b);
        const std::string lock = CliReadAll(Sub(a + "/_tvdata_/lock.tvl"));
        EXPECT_NE(lock.find("By: J."), std::string::npos) << lock;
        EXPECT_NE(lock.find(", process " + std::to_string(first.pid) + ") at: "), std::string::npos) << lock;
        if (r.bFirstKilled) {
            kill(first.pid, SIGKILL);
            ASSERT_TRUE(first.Wait(60000));
        }
        CCliRun second = Run("q" + n, r.second);
        EXPECT_EQ(second.code, r.secondCode) << second.err;
        EXPECT_EQ(second.err.find("abandoned"), std::string::npos) << second.err;
        if (r.secondCode == 3) {
            EXPECT_NE(second.err.find("Another job is Syncing in folder " + Sub(a)), std::string::npos)
                << second.err;
            EXPECT_FALSE(Exists(c + "/small.txt"));
        }
        if (r.bFirstKilled) {
            EXPECT_EQ(Code("p" + n, {"sync", "J"}), 0);
        } else {
            kill(first.pid, SIGCONT);
            ASSERT_TRUE(first.Wait(60000));
        }
        EXPECT_EQ(first.code, r.firstCode) << first.Out() << first.Err();
        EXPECT_NE((first.Out() + first.Err()).find(r.firstSays), std::string::npos) << first.Out() << first.Err();
        EXPECT_EQ(Contents(b), Contents(a));
        EXPECT_TRUE(Leftovers(a).empty() && Leftovers(b).empty())
            << ::testing::PrintToString(Leftovers(a)) << ::testing::PrintToString(Leftovers(b));
    }
}

TEST_F(CliRuns, HangUpEndsARunAsTerminationDoesLocksReleased) {
    m_tmp.MakeDir("l");
    m_tmp.MakeDir("r");
    m_tmp.WriteFile("l/big.bin", std::string(48 << 20, 'y'));
    ASSERT_EQ(Code("p", {"job", "add", "J", Sub("l"), Sub("r"), "--set", "OnFileChangeAction=1"}), 0);
    // Each: a run that holds both folders' locks when the hang-up comes.
    const std::vector<std::vector<std::string>> runs = {{"sync", "J"}, {"watch", "J"}};
    for (const auto& args : runs) {
        SCOPED_TRACE(args[0]);
        std::filesystem::remove_all(Sub("r"));
        m_tmp.MakeDir("r");
        CProc c = StartHolding("p", args, "l", "r");
        kill(c.pid, SIGHUP);
        kill(c.pid, SIGCONT);
        ASSERT_TRUE(c.Wait(20000)) << c.Err();
        EXPECT_EQ(c.code, 129) << c.Err();
        EXPECT_TRUE(Leftovers("l").empty()) << Leftovers("l")[0];
        EXPECT_TRUE(Leftovers("r").empty()) << Leftovers("r")[0];
    }
    // Nothing stands in the way of the next run.
    EXPECT_EQ(Code("p", {"sync", "J"}), 0);
    EXPECT_EQ(Contents("r"), Contents("l"));
}

TEST_F(CliRuns, ASecondJobIntoANewFolderCountsOnlyItsOwnLastSync) {
    // Job A syncs X with Y; job B pairs X with a new, empty folder (each
    // case its own: a count is kept per pair of folders).
    m_tmp.MakeDir("x");
    for (int i = 0; i < 20; ++i) m_tmp.WriteFile("x/f" + std::to_string(i), "x");
    m_tmp.MakeDir("y");
    ASSERT_EQ(Code("p", {"job", "add", "A", Sub("x"), Sub("y")}) + Code("p", {"sync", "A"}), 0);
    const std::string foreign = "By: other.user@elsewhere at: 2026.01.01 08:00:00 GMT\n";
    const struct {
        const char* what;
        std::vector<std::string> first; // what B ran first
        int firstCode;
        bool bLocked; // another's lock on the new folder refuses it
    } cases[] = {
        {"analyzed first", {"analyze", "B"}, 0, false},
        {"refused by a lock first", {"sync", "B"}, 3, true},
    };
    std::string z;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        z = "z" + std::to_string(&c - cases);
        m_tmp.MakeDir(z);
        Code("p", {"job", "delete", "B"});
        ASSERT_EQ(Code("p", {"job", "add", "B", Sub("x"), Sub(z)}), 0);
        if (c.bLocked) {
            m_tmp.MakeDir(z + "/_tvdata_");
            m_tmp.WriteFile(z + "/_tvdata_/lock.tvl", foreign + Sub(z));
        }
        CCliRun first = Run("p", c.first);
        EXPECT_EQ(first.code, c.firstCode) << first.err;
        std::filesystem::remove_all(Sub(z + "/_tvdata_"));
        CCliRun sync = Run("p", {"sync", "B"});
        EXPECT_EQ(sync.code, 0) << sync.err;
        EXPECT_EQ(Contents(z), Contents("x"));
    }
    // Once B synced, its own count guards the folder.
    std::filesystem::rename(Sub(z), Sub(z + ".real"));
    m_tmp.MakeDir(z);
    CCliRun gone = Run("p", {"sync", "B"});
    EXPECT_EQ(gone.code, 3);
    EXPECT_NE(gone.err.find(Sub(z) + " is empty, but the last sync left 20 items in it"), std::string::npos)
        << gone.err;
    EXPECT_NE(gone.err.find(" sync B --force syncs it as it stands: 20 items are copied into it"),
              std::string::npos)
        << gone.err;
}

TEST_F(CliRuns, EachPreferSettlesThePathsAfterIt) {
    m_tmp.MakeDir("l/d");
    m_tmp.MakeDir("r");
    for (const char* f : {"a.txt", "b.txt", "d/c.txt", "d/e.txt"}) m_tmp.WriteFile("l/" + std::string(f), "base");
    ASSERT_EQ(Code("p", {"job", "add", "J", Sub("l"), Sub("r")}) + Code("p", {"sync", "J"}), 0);
    for (const char* f : {"a.txt", "b.txt", "d/c.txt", "d/e.txt"}) {
        m_tmp.WriteFileAt("l/" + std::string(f), "left's", 1700000000);
        m_tmp.WriteFileAt("r/" + std::string(f), "right's!", 1700000100);
    }
    // Refused before anything changes: a --prefer without paths, --all
    // with another, one item for two sides.
    const std::vector<std::vector<std::string>> refused = {
        {"sync", "J", "--prefer", "right", "/a.txt", "--prefer", "left"},
        {"sync", "J", "--prefer", "right", "--all", "--prefer", "left", "/b.txt"},
        {"analyze", "J", "--prefer", "left", "--prefer", "right", "/a.txt"},
        {"sync", "J", "--prefer", "left", "/d", "--prefer", "right", "/d/e.txt"},
        {"sync", "J", "--prefer", "left", "/a.txt", "--prefer", "right", "/a.txt"},
    };
    for (const auto& args : refused) {
        CCliRun c = Run("p", args);
        EXPECT_EQ(c.code, 1) << args[4] << args[5] << c.err;
        EXPECT_EQ(CliReadAll(Sub("l/a.txt")), "left's");
    }
    // A path before the first --prefer goes with it.
    CCliRun an = Run("p", {"analyze", "J", "/a.txt", "--prefer", "right", "--prefer", "left", "/b.txt", "/d/c.txt",
                         "--prefer", "right", "/d/e.txt"});
    EXPECT_EQ(an.code, 0) << an.err;
    EXPECT_NE(an.err.find("1 conflict would be resolved by sync --prefer right, right wins"), std::string::npos)
        << an.err;
    EXPECT_NE(an.err.find("2 conflicts would be resolved by sync --prefer left, left wins"), std::string::npos)
        << an.err;
    CCliRun sy = Run("p", {"sync", "J", "--prefer", "right", "/a.txt", "--prefer", "left", "/b.txt", "/d/c.txt",
                         "--prefer", "right", "/d/e.txt"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    const std::map<std::string, std::string> want = {
        {"/a.txt", "right's!"}, {"/b.txt", "left's"}, {"/d", "<dir>"}, {"/d/c.txt", "left's"}, {"/d/e.txt", "right's!"}};
    EXPECT_EQ(Contents("l"), want);
    EXPECT_EQ(Contents("r"), want);
}

TEST_F(CliRuns, AFullDiskFailsOnlyTheFilesThatDoNotFit) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    m_tmp.MakeDir("l");
    m_tmp.MakeDir("r");
    if (mount("tmpfs", Sub("r").c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{Sub("r")};
    // The large file comes before the others; the smaller ones fit.
    m_tmp.WriteFile("l/a.txt", "a");
    m_tmp.WriteFile("l/big.bin", std::string(3 << 20, 'b'));
    m_tmp.WriteFile("l/half.bin", std::string(1 << 20, 'h'));
    for (int i = 0; i < 3; ++i) m_tmp.WriteFile("l/z" + std::to_string(i) + ".txt", "z");
    ASSERT_EQ(Code("p", {"job", "add", "J", Sub("l"), Sub("r"), "--type", "1"}), 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        CCliRun c = Run("p", {"sync", "J"});
        EXPECT_EQ(c.code, 1) << c.out << c.err;
        // The file and the full disk are named; the counts are the true ones.
        EXPECT_NE(c.out.find("error\t/big.bin\t"), std::string::npos) << c.out;
        EXPECT_NE(c.out.find("No space left on device"), std::string::npos) << c.out;
        EXPECT_NE(c.err.find("The disk of the right folder " + Sub("r") + " is full"), std::string::npos)
            << c.err;
        EXPECT_NE(c.out.find(round == 0 ? "synced: 5 done, 0 conflicts, 1 error" : "synced: 0 done, 0 conflicts, 1 error"),
                  std::string::npos)
            << c.out;
        auto want = Contents("l");
        want.erase("/big.bin");
        EXPECT_EQ(Contents("r"), want);
        EXPECT_TRUE(Leftovers("r").empty()) << Leftovers("r")[0];
    }
}

TEST_F(CliRuns, ALockOfTheSameJobInAnotherPidNamespaceIsAnotherOwners) {
    if (geteuid() != 0) GTEST_SKIP() << "a PID namespace and mounts need root";
    // One job, twice: profile p on this computer, and a profile of its own
    // at the same path inside a container (a PID and mount namespace of its
    // own, the same host name), both over the folders l and r.
    for (const char* d : {"l", "r", "p", "inner"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("l/big.bin", std::string(48 << 20, 'x'));
    m_tmp.WriteFile("l/small.txt", "s");
    ASSERT_EQ(Code("p", {"job", "add", "J", Sub("l"), Sub("r")}), 0);
    ASSERT_EQ(Code("inner", {"job", "add", "J", Sub("l"), Sub("r")}), 0);
    const std::string inContainer = "mount --bind \"$0\" \"$1\" && shift && exec \"$@\"";
    auto containerSync = [&] {
        return RunFor(120, {"unshare", "--pid", "--fork", "--mount-proc", "sh", "-c", inContainer, Sub("inner"),
                            Sub("p"), CliProgram(), "--profile", Sub("p"), "sync", "J"});
    };
    CProc first = StartHolding("p", {"sync", "J"}, "l", "r");
    CEndOnExit end{first};
    const std::string lock = CliReadAll(Sub("l/_tvdata_/lock.tvl"));
    CCliRun inner = containerSync();
    EXPECT_EQ(inner.code, 3) << inner.out << inner.err;
    EXPECT_NE(inner.err.find("Another job is Syncing in folder " + Sub("l")), std::string::npos) << inner.err;
    EXPECT_EQ(CliReadAll(Sub("l/_tvdata_/lock.tvl")), lock);
    kill(first.pid, SIGCONT);
    ASSERT_TRUE(first.Wait(60000));
    EXPECT_EQ(first.code, 0) << first.Out() << first.Err();
    EXPECT_EQ(Contents("r"), Contents("l"));
    EXPECT_TRUE(Leftovers("l").empty() && Leftovers("r").empty());
}

TEST_F(CliRuns, ASignalIgnoredWhenTheCommandStartedStaysIgnored) {
    // Each: a run started on a terminal of its own, as "nohup" or a script's
    // background job leaves it, then the terminal closed or SIGINT sent. The
    // run goes on to its end, a watch to its next change.
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool bNohup; // else started with SIGINT ignored, and sent SIGINT
    } rounds[] = {
        {"watch with SIGINT ignored", {"watch", "J"}, false},
        {"nohup sync", {"sync", "J"}, true},
        {"nohup watch", {"watch", "J"}, true},
    };
    int k = 0;
    for (const auto& r : rounds) {
        SCOPED_TRACE(r.what);
        const std::string n = std::to_string(k++), l = "l" + n, rr = "r" + n, p = "p" + n, home = Sub("h" + n);
        for (const std::string& d : {l, rr, "h" + n}) m_tmp.MakeDir(d);
        m_tmp.WriteFile(l + "/big.bin", std::string(48 << 20, 'x'));
        ASSERT_EQ(Code(p, {"job", "add", "J", Sub(l), Sub(rr), "--set", "OnFileChangeAction=1"}), 0);
        std::vector<std::string> argv = Argv(p, r.args);
        if (r.bNohup) argv.insert(argv.begin(), "nohup");
        std::vector<char*> a;
        for (std::string& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        int master = -1;
        CProc c;
        c.out = c.err = home + "/nohup.out";
        c.pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(c.pid, 0) << strerror(errno);
        if (c.pid == 0) {
            // nohup writes into "nohup.out" of the folder it starts in.
            if (chdir(home.c_str()) != 0) _exit(126);
            if (!r.bNohup) {
                const int fd = open("nohup.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
                signal(SIGINT, SIG_IGN);
            }
            execvp(a[0], a.data());
            _exit(127);
        }
        struct CTerminal {
            int fd;
            ~CTerminal() {
                if (fd >= 0) close(fd);
            }
        } terminal{master};
        CEndOnExit end{c};
        auto waitFor = [&](const std::function<bool()>& f) {
            for (int i = 0; i < 600 && !f(); ++i) usleep(50000);
            return f();
        };
        // The sync is stopped in the middle of its copy; the hang-up and
        // the signal come meanwhile.
        const bool bWatch = r.args[0] == "watch";
        if (!bWatch) {
            ASSERT_TRUE(waitFor([&] { return Exists(rr + "/_tvdata_/lock.tvl"); })) << c.Out();
            kill(c.pid, SIGSTOP);
        } else {
            ASSERT_TRUE(waitFor([&] { return c.Out().find("Sync Completed") != std::string::npos; })) << c.Out();
        }
        // Without nohup the hang-up would end it: the terminal stays open then.
        if (r.bNohup) {
            close(master);
            terminal.fd = -1;
        } else {
            kill(c.pid, SIGINT);
        }
        kill(c.pid, SIGCONT);
        if (bWatch) {
            usleep(1000000);
            m_tmp.WriteFile(l + "/later.txt", "later");
            ASSERT_TRUE(waitFor([&] { return Exists(rr + "/later.txt"); })) << c.Out();
            EXPECT_FALSE(c.Wait(0)) << c.code << c.Out();
            kill(c.pid, SIGTERM);
        }
        ASSERT_TRUE(c.Wait(30000)) << c.Out();
        EXPECT_EQ(c.code, 0) << c.Out();
        EXPECT_TRUE(Contents(rr) == Contents(l));
    }
}

TEST_F(CliRuns, AFolderReachedTwiceThroughABindMountIsRefusedWhereverTheJobMeetsIt) {
    if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
    for (const char* d : {"l/sub", "r", "twice", "inner"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("l/sub/a.txt", "a");
    struct Unmount {
        std::vector<std::string> paths;
        ~Unmount() {
            for (auto it = paths.rbegin(); it != paths.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
        }
    } unmount;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"l", "twice"}, {"l/sub", "inner"}}) {
        ASSERT_EQ(mount(Sub(from).c_str(), Sub(to).c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        unmount.paths.push_back(Sub(to));
    }
    // The same folder, and a folder inside the other, each through its second path.
    for (const char* other : {"twice", "inner"}) {
        SCOPED_TRACE(other);
        CCliRun add = RunFor(60, Argv("p", {"job", "add", std::string("J") + other, Sub("l"), Sub(other)}));
        EXPECT_EQ(add.code, 1) << add.err;
        EXPECT_NE(add.err.find("the folders are the same or one is inside the other"), std::string::npos) << add.err;
    }
    // Added while the second path led elsewhere, the job is refused by analyze
    // and sync alike, before anything is read or written.
    ASSERT_EQ(Code("p", {"job", "add", "K", Sub("l"), Sub("r")}), 0);
    ASSERT_EQ(mount(Sub("l").c_str(), Sub("r").c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    unmount.paths.push_back(Sub("r"));
    for (const char* verb : {"analyze", "sync"}) {
        SCOPED_TRACE(verb);
        CCliRun run = RunFor(60, Argv("p", {verb, "K"}));
        EXPECT_EQ(run.code, 1) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find("Cannot Analyze nested folders"), std::string::npos) << run.out << run.err;
        EXPECT_FALSE(Exists("l/_tvdata_"));
    }
}
