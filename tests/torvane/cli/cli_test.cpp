// The "torvane" command as a user meets it: the built program run on
// temporary folders with a private profile, its output and exit codes.
#include "cli-process.h"
#include "cli-test-run.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

const std::string kProgram = CliProgram();
const auto& ReadAll = CliReadAll;

// One started program with its output in files.
struct CChild {
    pid_t pid = -1;
    std::string out, err;
    int code = -1;
    std::string Out() const { return ReadAll(out); }
    std::string Err() const { return ReadAll(err); }
    // Waits up to nMs; false when it is still running then.
    bool Wait(int nMs) {
        for (int waited = 0;; waited += 20) {
            int status = 0;
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            if (waited >= nMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
};

// The processes whose parent is pid, and theirs.
std::vector<pid_t> Descendants(pid_t pid) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "pid (command) state ppid ...": the command may hold blanks and parentheses.
        const std::string stat = ReadAll(e.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid != pid) continue;
        const pid_t child = (pid_t)std::stol(name);
        found.push_back(child);
        for (pid_t d : Descendants(child)) found.push_back(d);
    }
    return found;
}

class Cli : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;
    std::vector<pid_t> m_started;

    // What a test started and left running (an assertion failed before it
    // stopped it: a watch, a wrapper and what runs under it) is killed and
    // reaped, before the temporary folder's mounts and files go.
    ~Cli() override {
        for (pid_t pid : m_started) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) != 0) continue; // ended and reaped, or not ours
            for (pid_t d : Descendants(pid)) kill(d, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }

    std::string Profile() const { return m_tmp.NativeSub("profile"); }
    CChild Start(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {}) {
        CChild c;
        const int n = m_nRun++;
        c.out = m_tmp.NativeSub("out" + std::to_string(n));
        c.err = m_tmp.NativeSub("err" + std::to_string(n));
        std::vector<std::string> all = wrapper;
        if (wrapper.empty()) {
            all.push_back(kProgram);
            all.push_back("--profile");
            all.push_back(Profile());
            all.insert(all.end(), args.begin(), args.end());
        }
        std::vector<char*> argv;
        for (std::string& s : all) argv.push_back(s.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(posix_spawnp(&c.pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        if (c.pid > 0) m_started.push_back(c.pid);
        return c;
    }
    CChild Run(const std::vector<std::string>& args) {
        CChild c = Start(args);
        if (!c.Wait(60000)) {
            kill(c.pid, SIGKILL);
            c.Wait(5000);
            ADD_FAILURE() << "torvane did not end: " << c.Err();
        }
        return c;
    }
    int Code(const std::vector<std::string>& args) {
        return Run(args).code;
    }
    std::string L(const std::string& rel = "") const { return m_tmp.NativeSub("left" + (rel.empty() ? "" : "/" + rel)); }
    std::string R(const std::string& rel = "") const { return m_tmp.NativeSub("right" + (rel.empty() ? "" : "/" + rel)); }

    // Every item below a folder with its content, size, time and inode
    // (outside "_tvdata_" when bUserOnly).
    std::map<std::string, std::string> Snapshot(const std::string& root, bool bUserOnly = false) {
        std::map<std::string, std::string> m;
        for (auto it = std::filesystem::recursive_directory_iterator(root);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            const std::string rel = it->path().string().substr(root.size());
            if (bUserOnly && rel.rfind("/_tvdata_", 0) == 0) {
                it.disable_recursion_pending();
                continue;
            }
            struct stat st {};
            lstat(it->path().c_str(), &st);
            std::string v = std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ino);
            if (S_ISREG(st.st_mode)) v += ":" + ReadAll(it->path().string());
            m[rel] = v;
        }
        return m;
    }
    // Contents only (names and bytes), for comparing the two sides.
    std::map<std::string, std::string> Contents(const std::string& root) {
        std::map<std::string, std::string> m;
        for (auto it = std::filesystem::recursive_directory_iterator(root);
             it != std::filesystem::recursive_directory_iterator(); ++it) {
            const std::string rel = it->path().string().substr(root.size());
            if (rel.rfind("/_tvdata_", 0) == 0) {
                it.disable_recursion_pending();
                continue;
            }
            m[rel] = it->is_regular_file() ? ReadAll(it->path().string()) : std::string("<dir>");
        }
        return m;
    }
    void MakePair() {
        m_tmp.MakeDir("left/docs");
        m_tmp.MakeDir("right");
        m_tmp.WriteFile("left/a.txt", "alpha");
        m_tmp.WriteFile("left/docs/b.txt", "beta");
        m_tmp.WriteFile("right/c.txt", "gamma");
    }
    static bool WaitFor(const std::function<bool()>& cond, int nMs) {
        for (int w = 0; w < nMs; w += 50) {
            if (cond()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return cond();
    }
    static int Count(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
        return n;
    }
};

} // namespace

TEST_F(Cli, JobCommandsAndRefusedArguments) {
    MakePair();
    EXPECT_EQ(Code({"--help"}), 0);
    {
        CChild c = Run({"frobnicate"});
        EXPECT_EQ(c.code, 1);
        EXPECT_EQ(Count(c.Err(), "\n"), 1) << c.Err();
    }
    // Options may follow the operands.
    CChild one = Run({"job", "add", "one", L(), R(), "--set", "SavePastVersions=Yes", "--type", "1"});
    EXPECT_EQ(one.code, 0);
    EXPECT_NE(one.Out().find("\nfilters: hidden items, system items and empty folders are synced\n"),
              std::string::npos)
        << one.Out();
    const std::string before = ReadAll(Profile() + "/jobs.tix");
    struct Case {
        std::vector<std::string> args;
        int code;
    } refused[] = {
        {{"job", "add", "one", L(), R()}, 1},                                 // the name is taken
        {{"job", "add", "ONE", L(), R()}, 1},                                 // in any case
        {{"job", "add", "two", L(), R(), "--set", "NoSuchKey=1"}, 1},         // unknown key
        {{"job", "add", "two", L(), R(), "--set", "1wayMode=lots"}, 1},       // bad value
        {{"job", "add", "two", L(), R(), "--set", "SavePastVersions=Maybe"}, 1},
        {{"job", "add", "two", L(), R(), "--set", "Name=\"x\""}, 1},          // not settable
        {{"job", "add", "two", L(), R(), "--set", "Dir1=x"}, 1},
        {{"job", "add", "two", L(), R(), "--type", "3"}, 1},
        {{"job", "add", "two", L(), L("docs")}, 1},                            // nested folders
        {{"job", "add", "", L(), R()}, 1},
        {{"job", "show", "nobody"}, 1},
        {{"job", "delete", "nobody"}, 1},
        {{"job", "set", "nobody", "ExcludeHidden=No"}, 1},
        {{"job", "set", "one"}, 1},                                            // nothing to set
        {{"job", "set", "one", "ExcludeHidden=No", "NoSuchKey=1"}, 1},         // all or nothing
        {{"job", "set", "one", "ExcludeHidden=No", "SaveDaysPastVersions=-1"}, 1},
        {{"job", "set", "one", "Dir2=x"}, 1},
        {{"job", "set", "one", "ExcludeHidden"}, 1},
        {{"analyze", "nobody"}, 1},
    };
    for (const Case& c : refused) {
        CChild r = Run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args[1] << ": " << r.Err();
    }
    EXPECT_EQ(ReadAll(Profile() + "/jobs.tix"), before) << "a refused command stored something";

    CChild list = Run({"job", "list"});
    EXPECT_EQ(list.Out(), "one\tleft to right\t" + L() + "\t" + R() + "\n");
    CChild show = Run({"job", "show", "one"});
    EXPECT_NE(show.Out().find("Type: 1 (left to right)\nLeft: " + L() + "\nRight: " + R() + "\n"), std::string::npos)
        << show.Out();
    // Only what differs from a new job of its type, indented as a block; --all shows everything.
    EXPECT_NE(show.Out().find("<Job>\n  SavePastVersions = Yes\n</Job>\n"), std::string::npos) << show.Out();
    EXPECT_EQ(show.Out().find("ExcludeHidden"), std::string::npos) << show.Out();
    // --all shows every option job set takes, and nothing it refuses.
    const std::string all = Run({"job", "show", "one", "--all"}).Out();
    EXPECT_NE(all.find("\n  FiltersExcluded =\n"), std::string::npos) << all;
    for (const char* internal : {"Dir1", "Url =", "ChunkSize", "Name ="})
        EXPECT_EQ(all.find(internal), std::string::npos) << internal << "\n" << all;
    EXPECT_EQ(Code({"job", "delete", "one"}), 0);
    EXPECT_EQ(Run({"job", "list"}).Out(), "");

    // A profile folder that is not there: only job add makes it, for its owner only.
    const std::string typo = m_tmp.NativeSub("profiel");
    CChild missing = Start({}, {kProgram, "--profile", typo, "job", "list"});
    ASSERT_TRUE(missing.Wait(60000));
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.Err().find("profiel does not exist"), std::string::npos) << missing.Err();
    EXPECT_FALSE(m_tmp.Exists("profiel"));
    CChild add = Start({}, {kProgram, "--profile", typo, "job", "add", "x", L(), R()});
    ASSERT_TRUE(add.Wait(60000));
    EXPECT_EQ(add.code, 0) << add.Err();
    struct stat st {};
    EXPECT_EQ(stat(typo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(Cli, JobSetOfTheTypeTakesTheNewTypesDefaultsWhereTheJobHadTheOld) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "t", L(), R(), "--set", "LimitChangesPercent=20"}), 0);
    // Each step: the command, then options as "job show --all" has them after it.
    const struct {
        std::vector<std::string> sets;
        std::vector<std::string> after;
    } steps[] = {
        {{"Direction=1"}, {"ExcludeHidden = No", "ExcludeSystem = No", "LimitChangesPercent = 20"}},
        {{"Direction=0", "ExcludeSystem=No"}, {"ExcludeHidden = Yes", "ExcludeSystem = No", "LimitChangesPercent = 20"}},
        {{"Direction=2"}, {"ExcludeHidden = No", "ExcludeSystem = No", "CopyCreateTime = Yes"}},
    };
    for (const auto& step : steps) {
        std::vector<std::string> args = {"job", "set", "t"};
        args.insert(args.end(), step.sets.begin(), step.sets.end());
        CChild set = Run(args);
        EXPECT_EQ(set.code, 0) << set.Err();
        const std::string all = Run({"job", "show", "t", "--all"}).Out();
        for (const std::string& line : step.after)
            EXPECT_NE(all.find("\n  " + line + "\n"), std::string::npos) << step.sets[0] << ": " << line;
    }
}

TEST_F(Cli, FilterRulesAreSetShownAndLeaveTheirItemsAlone) {
    MakePair();
    m_tmp.MakeDir("left/node_modules/pkg");
    m_tmp.MakeDir("left/docs/node_modules");
    m_tmp.WriteFile("left/node_modules/pkg/i.js", "js");
    m_tmp.WriteFile("left/docs/node_modules/j.js", "js");
    m_tmp.WriteFile("left/docs/x.TMP", "tmp");
    m_tmp.WriteFile("right/y.tmp", "tmp");
    CChild add = Run({"job", "add", "f", L(), R(), "--set", "FiltersExcluded=node_modules;isfolder"});
    ASSERT_EQ(add.code, 0) << add.Err();
    EXPECT_NE(add.Out().find("(FiltersExcluded): node_modules;isfolder\n"), std::string::npos) << add.Out();
    EXPECT_NE(Run({"job", "keys"}).Out().find("\nFiltersExcluded "), std::string::npos);
    // The values of one command make the whole list; job set says it with the list it replaced.
    CChild set = Run({"job", "set", "f", "FiltersExcluded=node_modules;isfolder", "FiltersExcluded=*.tmp"});
    EXPECT_EQ(set.code, 0) << set.Err();
    EXPECT_EQ(set.Out(), "f: FiltersExcluded = \"node_modules;isfolder\", \"*.tmp\" (was \"node_modules;isfolder\")\n");
    EXPECT_NE(Run({"job", "show", "f"}).Out().find(
                  "<Job>\n  FiltersExcluded = \"node_modules;isfolder\"\n  FiltersExcluded = \"*.tmp\"\n</Job>\n"),
              std::string::npos);

    // A bad rule is refused with what is wrong, and changes nothing.
    const std::string before = ReadAll(Profile() + "/jobs.tix");
    const struct {
        std::string set, says;
    } bad[] = {
        {"FiltersExcluded=node_modules/", "write \"/node_modules\" for that folder at the top, or "
                                          "\"node_modules;isfolder\" for every folder of that name"},
        {"FiltersExcluded=size>1X", "\"size>1X\": not a size"},
        {"FiltersIncluded=time>=someday", "\"time>=someday\": not a date"},
        {"FiltersExcluded= ; ", "a rule needs a condition"},
        {"FiltersExcluded=name a/b", "a name holds no '/'"},
        {"FiltersExcluded=*/cache/", "write \"*/cache;isfolder\" for folders"},
    };
    for (const auto& b : bad) {
        CChild r = Run({"job", "set", "f", b.set, "FiltersExcluded=ok"});
        EXPECT_EQ(r.code, 1) << b.set;
        EXPECT_NE(r.Err().find(b.set + ": "), std::string::npos) << r.Err();
        EXPECT_NE(r.Err().find(b.says), std::string::npos) << r.Err();
        EXPECT_NE(r.Err().find("nothing was changed"), std::string::npos) << r.Err();
    }
    EXPECT_EQ(Code({"job", "add", "g", L(), R(), "--set", "FiltersExcluded=docs/"}), 1);
    EXPECT_EQ(ReadAll(Profile() + "/jobs.tix"), before);

    // A sync leaves the excluded folders and files alone on both sides.
    CChild sync = Run({"sync", "f"});
    EXPECT_EQ(sync.code, 0) << sync.Err() << sync.Out();
    EXPECT_TRUE(m_tmp.Exists("right/docs/b.txt"));
    EXPECT_TRUE(m_tmp.Exists("left/c.txt"));
    for (const char* left : {"right/node_modules", "right/docs/node_modules", "right/docs/x.TMP", "left/y.tmp"})
        EXPECT_FALSE(m_tmp.Exists(left)) << left;
    EXPECT_TRUE(m_tmp.Exists("left/node_modules/pkg/i.js"));
    EXPECT_TRUE(m_tmp.Exists("right/y.tmp"));
    // Emptied, the list lets them through.
    EXPECT_EQ(Run({"job", "set", "f", "FiltersExcluded="}).Out(),
              "f: FiltersExcluded = none (was \"node_modules;isfolder\", \"*.tmp\")\n");
    EXPECT_EQ(Code({"sync", "f"}), 0);
    EXPECT_TRUE(m_tmp.Exists("right/node_modules/pkg/i.js"));
    EXPECT_TRUE(m_tmp.Exists("left/y.tmp"));
}

TEST_F(Cli, AnalyzeChangesNothingSyncEqualsThePairAndThenLeavesItAlone) {
    MakePair();
    m_tmp.MakeDir("with space/right side");
    // A relative path and a percent-encoded file URL.
    const std::string url = "file://" + m_tmp.NativeSub("with%20space/right%20side");
    const std::string cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(m_tmp.Native());
    const int addCode = Code({"job", "add", "demo", "left", url});
    std::filesystem::current_path(cwd);
    ASSERT_EQ(addCode, 0);
    const std::string right = m_tmp.NativeSub("with space/right side");
    m_tmp.WriteFile("with space/right side/c.txt", "gamma");

    const auto l0 = Snapshot(L()), r0 = Snapshot(right);
    CChild an = Run({"analyze", "demo"});
    EXPECT_EQ(an.code, 0) << an.Err();
    EXPECT_NE(an.Out().find("/docs/b.txt"), std::string::npos) << an.Out();
    EXPECT_EQ(Snapshot(L()), l0);
    EXPECT_EQ(Snapshot(right), r0);

    CChild sync = Run({"sync", "demo"});
    EXPECT_EQ(sync.code, 0) << sync.Err();
    EXPECT_EQ(Contents(L()), Contents(right));
    EXPECT_EQ(Contents(L()).count("/c.txt"), 1u);
    const auto l1 = Snapshot(L()), r1 = Snapshot(right);
    EXPECT_EQ(Code({"sync", "demo"}), 0);
    EXPECT_EQ(Snapshot(L()), l1);
    EXPECT_EQ(Snapshot(right), r1);

    // Deleted and added again, the job finds its state: a file deleted on
    // the left is deleted on the right, not copied back.
    EXPECT_EQ(Code({"job", "delete", "demo"}), 0);
    EXPECT_TRUE(m_tmp.Exists("left/_tvdata_"));
    std::filesystem::remove(L("a.txt"));
    EXPECT_EQ(Code({"job", "add", "demo", L(), right}), 0);
    EXPECT_EQ(Code({"sync", "demo"}), 0);
    EXPECT_FALSE(std::filesystem::exists(right + "/a.txt"));
    EXPECT_EQ(Contents(L()), Contents(right));
}

TEST_F(Cli, ConflictsLocksAndBusyJobs) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "j", L(), R()}), 0);
    ASSERT_EQ(Code({"sync", "j"}), 0);
    // Both sides changed the same file: conflicts stay, for analyze and sync.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    m_tmp.WriteFile("left/a.txt", "left's alpha");
    m_tmp.WriteFile("right/a.txt", "right's alpha!");
    EXPECT_EQ(Code({"analyze", "j"}), 2);
    EXPECT_EQ(Code({"sync", "j"}), 2);
    EXPECT_EQ(ReadAll(L("a.txt")), "left's alpha");
    EXPECT_EQ(ReadAll(R("a.txt")), "right's alpha!");

    // The job busy in another process.
    {
        CCliProcessLock lock;
        bool bBusy = false;
        std::string err;
        ASSERT_TRUE(lock.TryAcquire(JobLockPath(Profile(), "J"), bBusy, err)) << err;
        EXPECT_EQ(Code({"sync", "j"}), 3);
        EXPECT_EQ(Code({"job", "delete", "j"}), 3);
    }
    // A folder locked by another owner.
    m_tmp.WriteFile("right/_tvdata_/lock.tvl", "By: other.user@elsewhere at: 2026.01.01 08:00:00 GMT\n" + R());
    EXPECT_EQ(Code({"sync", "j"}), 3);
    EXPECT_TRUE(m_tmp.Exists("right/_tvdata_/lock.tvl"));
}

TEST_F(Cli, InterruptedRunStopsCleanly) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "slow", L(), R(), "--set", "WaitForLocks=Yes"}), 0);
    // Another owner's lock keeps the run waiting until it is interrupted.
    const std::string foreign = "By: other.user@elsewhere at: 2026.01.01 08:00:00 GMT\n" + R();
    ASSERT_TRUE(m_tmp.MakeDir("right/_tvdata_"));
    ASSERT_TRUE(m_tmp.WriteFile("right/_tvdata_/lock.tvl", foreign));
    CChild c = Start({"sync", "slow"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("Folder Locked, waiting") != std::string::npos; }, 20000))
        << c.Err();
    kill(c.pid, SIGINT);
    ASSERT_TRUE(c.Wait(20000)) << c.Err();
    EXPECT_EQ(c.code, 130) << c.Err();
    // Nothing was copied, no lock of ours is left, the foreign one stays.
    EXPECT_FALSE(m_tmp.Exists("right/a.txt"));
    EXPECT_FALSE(m_tmp.Exists("left/_tvdata_/lock.tvl"));
    EXPECT_EQ(ReadAll(R("_tvdata_/lock.tvl")), foreign);
}

TEST_F(Cli, LiveLineOnATerminalPlainLinesElse) {
    MakePair();
    m_tmp.WriteFile("left/big.bin", std::string(1 << 20, 'y'));
    ASSERT_EQ(Code({"job", "add", "t", L(), R(), "--set", "SpeedLimit=400"}), 0);
    const std::string cmd = kProgram + " --profile '" + Profile() + "' analyze t; " + kProgram + " --profile '" +
                            Profile() + "' sync t";
    CChild c = Start({}, {"script", "-qefc", cmd, "/dev/null"});
    ASSERT_TRUE(c.Wait(60000));
    const std::string tty = c.Out();
    EXPECT_NE(tty.find("\r"), std::string::npos);
    EXPECT_NE(tty.find("%"), std::string::npos);

    std::filesystem::remove(R("big.bin"));
    CChild piped = Run({"sync", "t"});
    EXPECT_EQ(piped.code, 0);
    EXPECT_EQ(piped.Err().find('\r'), std::string::npos);
    EXPECT_EQ(piped.Out().find('\r'), std::string::npos);
}

TEST_F(Cli, WatchRunsOnFileChangeIncrementally) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "w", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    m_tmp.MakeDir("idle");
    ASSERT_EQ(Code({"job", "add", "idle job", L("docs"), m_tmp.NativeSub("idle")}), 0);
    {
        // A job without a trigger is named, not watched.
        CChild idle = Run({"watch", "idle job"});
        EXPECT_EQ(idle.code, 1);
        EXPECT_NE(idle.Err().find("job set 'idle job' OnFileChangeAction=1"), std::string::npos)
            << idle.Err();
    }
    CChild c = Start({"-v", "watch"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("watching 1 job;") != std::string::npos; }, 20000)) << c.Err();
    // The first run after monitoring started is a full one.
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("a.txt")); }, 20000)) << c.Err();
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("Sync Completed") != std::string::npos; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("left/new.txt", "new");
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("new.txt")); }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const std::string after = c.Err().substr(mark);
    EXPECT_NE(after.find("On File Change Incremental"), std::string::npos) << after;
    EXPECT_NE(after.find("Change in: " + L("new.txt")), std::string::npos) << after;
    EXPECT_EQ(after.find("No State File found"), std::string::npos);
    EXPECT_LE(Count(after, "Scheduled to run by"), 2) << after;

    // While watch holds its job, others keep off it; the other jobs stay free.
    const struct {
        std::vector<std::string> args;
        int code;
    } meanwhile[] = {
        {{"analyze", "w"}, 3},
        {{"job", "set", "w", "ExcludeHidden=No"}, 3},
        {{"job", "delete", "w"}, 3},
        {{"analyze", "idle job"}, 0},
        {{"job", "add", "other", L("docs"), R("docs")}, 0},
        {{"job", "set", "idle job", "ExcludeHidden=No"}, 0},
        {{"job", "delete", "other"}, 0},
    };
    for (const auto& m : meanwhile) EXPECT_EQ(Code(m.args), m.code) << m.args[0] << " " << m.args[1];
    EXPECT_EQ(Run({"job", "list"}).Out().find("other"), std::string::npos);

    // The engine's own files start nothing.
    const size_t mark2 = c.Err().size();
    m_tmp.MakeDir("left/_tvdata_/junk");
    m_tmp.WriteFile("left/_tvdata_/junk/x", "x");
    m_tmp.WriteFile("left/part._tvtmp", "t");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    EXPECT_EQ(Count(c.Err().substr(mark2), "Scheduled to run by"), 0) << c.Err().substr(mark2);

    kill(c.pid, SIGTERM);
    ASSERT_TRUE(c.Wait(10000));
    EXPECT_EQ(c.code, 0) << c.Err();
}

TEST_F(Cli, OnChangeRunStopsAtAnotherProcesssLockAndRunsWhenItGoes) {
    // Job ab (A-B) is watched; bc (B-C) of another profile holds B's lock
    // (stopped while it copies B's large file to C).
    for (const char* d : {"left", "right", "c"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("left/a.txt", "a");
    std::ofstream(R("big.bin")) << std::string(96 << 20, 'x');
    const std::vector<std::string> p2 = {kProgram, "--profile", m_tmp.NativeSub("p2")};
    auto other = [&](std::vector<std::string> args) {
        args.insert(args.begin(), p2.begin(), p2.end());
        return Start({}, args);
    };
    ASSERT_EQ(Code({"job", "add", "ab", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    ASSERT_EQ(Code({"sync", "ab"}), 0);
    CChild add = other({"job", "add", "bc", R(), m_tmp.NativeSub("c")});
    ASSERT_TRUE(add.Wait(20000) && add.code == 0);
    m_tmp.WriteFile("left/b.txt", "b"); // the first watched run syncs it
    CChild watch = Start({"watch", "ab"});
    ASSERT_TRUE(WaitFor([&] { return watch.Err().find("Sync Completed") != std::string::npos; }, 20000));
    // watch's own run has let go of B (its lock is not bc's) before bc starts.
    ASSERT_TRUE(WaitFor([&] { return !std::filesystem::exists(R("_tvdata_/lock.tvl")); }, 20000));
    CChild bc = other({"sync", "bc"});
    const auto heldByBc = [&] { return ReadAll(R("_tvdata_/lock.tvl")).rfind("By: bc.", 0) == 0; };
    for (int i = 0; i < 200000 && !heldByBc(); ++i) usleep(100);
    kill(bc.pid, SIGSTOP);
    EXPECT_TRUE(heldByBc()) << bc.Err();
    const std::string state = ReadAll(R("_tvdata_/_file_state_v4._tv"));
    const size_t mark = watch.Err().size();
    // The first change fails the incremental Analyze; the second starts a
    // full one, which reads B's state past the lock: its Sync stops there.
    for (const char* name : {"new1.txt", "new2.txt"}) {
        m_tmp.WriteFile("left/" + std::string(name), "new");
        const int n = Count(watch.Err().substr(mark), "Another job is Syncing");
        WaitFor([&] { return Count(watch.Err().substr(mark), "Another job is Syncing") > n; }, 20000);
    }
    usleep(500000);
    EXPECT_FALSE(std::filesystem::exists(R("new1.txt")) || std::filesystem::exists(R("new2.txt")))
        << watch.Err().substr(mark);
    EXPECT_EQ(ReadAll(R("_tvdata_/_file_state_v4._tv")), state);
    kill(bc.pid, SIGCONT);
    ASSERT_TRUE(bc.Wait(30000));
    EXPECT_EQ(bc.code, 0) << bc.Err();
    // Nothing changed in A or B since: the lock's release starts ab again.
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(R("new2.txt")); }, 20000))
        << watch.Err().substr(mark);
    kill(watch.pid, SIGTERM);
    ASSERT_TRUE(watch.Wait(10000));
    EXPECT_EQ(watch.code, 0);
}

TEST_F(Cli, QuietWatchStillShowsItsRunsConflictsAndErrors) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "q", L(), R(), "--set", "OnStartAction=1"}), 0);
    ASSERT_EQ(Code({"sync", "q"}), 0);
    m_tmp.MakeDir("o1");
    m_tmp.MakeDir("o2");
    ASSERT_EQ(
        Code({"job", "add", "q2", m_tmp.NativeSub("o1"), m_tmp.NativeSub("o2"), "--set", "OnStartAction=1"}),
        0);
    m_tmp.WriteFileAt("left/a.txt", "left's", 1700000000);
    m_tmp.WriteFileAt("right/a.txt", "right's!", 1700000100);
    m_tmp.MakeDir("left/out");
    std::filesystem::create_directory_symlink(L("out"), R("link")); // an item error
    m_tmp.MakeDir("left/link");
    CChild c = Start({"-q", "watch", "q", "q2"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("/a.txt: Conflict") != std::string::npos; }, 20000)) << c.Err();
    ASSERT_TRUE(WaitFor([&] { return c.Err().find(" and why: the whole log: ") != std::string::npos; }, 5000)) << c.Err();
    kill(c.pid, SIGTERM);
    ASSERT_TRUE(c.Wait(10000));
    EXPECT_EQ(c.code, 0);
    // The job is watch's while it runs: the command that settles them waits
    // for its end. With several jobs watched, each line names its job.
    EXPECT_NE(c.Err().find("\n[q] /a.txt: Conflict: "), std::string::npos) << c.Err();
    EXPECT_NE(
        c.Err().find("\n[q] Analyze has finished with Conflicts. To resolve them: end watch, then: torvane "
                     "--profile " +
                     Profile() + " sync q --prefer SIDE PATH ..."),
        std::string::npos)
        << c.Err();
}

TEST_F(Cli, UnattendedStartRunKeepsTheChangeThreshold) {
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    for (int i = 0; i < 100; ++i) m_tmp.WriteFile("left/f" + std::to_string(i), "v1");
    ASSERT_EQ(Code({"job", "add", "s", L(), R(), "--set", "OnStartAction=1"}), 0);
    ASSERT_EQ(Code({"sync", "s"}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    for (int i = 0; i < 20; ++i) m_tmp.WriteFile("left/f" + std::to_string(i), "v2 changed");
    CChild c = Start({"watch", "s"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("Analysis Completed") != std::string::npos; }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    kill(c.pid, SIGTERM);
    ASSERT_TRUE(c.Wait(10000));
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(ReadAll(R("f0")), "v1") << c.Err();
    EXPECT_NE(c.Err().find("So the job will not synchronize automatically. To sync it as it stands: end watch, "
                           "then: torvane --profile " +
                           Profile() + " sync s (or raise"),
              std::string::npos)
        << c.Err();
}

TEST_F(Cli, MissingDriveIsLeftAloneByOnChangeRunsAndAReAddedJob) {
    // A one-way job's source drive is gone: its mount point stands empty,
    // then holds a stray folder for a while.
    m_tmp.MakeDir("right");
    m_tmp.MakeDir("left/d");
    for (int i = 0; i < 9; ++i) m_tmp.WriteFile("left/d/f" + std::to_string(i), "x");
    ASSERT_EQ(Code({"job", "add", "ow", L(), R(), "--type", "1", "--set", "OnFileChangeAction=1"}), 0);
    ASSERT_EQ(Code({"sync", "ow"}), 0);
    const auto target = Snapshot(R(), true);
    std::filesystem::rename(L(), L() + ".real");
    m_tmp.MakeDir("left");
    const std::string refused = " the folder is taken as not available";
    CChild c = Start({"watch", "ow"});
    ASSERT_TRUE(WaitFor([&] { return Count(c.Err(), refused) == 1; }, 20000)) << c.Err();
    m_tmp.MakeDir("left/tmpdir");
    ASSERT_TRUE(WaitFor([&] { return Count(c.Err(), refused) == 2; }, 20000)) << c.Err();
    EXPECT_NE(c.Err().find(L() + " holds none of the 10 items"), std::string::npos) << c.Err();
    std::filesystem::remove(L("tmpdir"));
    kill(c.pid, SIGTERM);
    ASSERT_TRUE(c.Wait(10000));
    EXPECT_EQ(Snapshot(R(), true), target);
    EXPECT_TRUE(Snapshot(L()).empty()); // nothing written into the mount point
    // Deleting and adding the job again keeps what the last sync left there.
    ASSERT_EQ(Code({"job", "delete", "ow"}), 0);
    ASSERT_EQ(Code({"job", "add", "ow", L(), R(), "--type", "1"}), 0);
    CChild an = Run({"analyze", "ow"});
    EXPECT_EQ(an.code, 3) << an.Err();
    EXPECT_NE(an.Out().find("; a sync would be refused"), std::string::npos) << an.Out();
    CChild sy = Run({"sync", "ow", "--max-delete", "100"});
    EXPECT_EQ(sy.code, 3) << sy.Err();
    EXPECT_EQ(sy.Err().find("Cannot upload log"), std::string::npos) << sy.Err();
    EXPECT_EQ(Snapshot(R(), true), target);
    EXPECT_TRUE(Snapshot(L()).empty());
    sy = Run({"sync", "ow", "--force"});
    EXPECT_EQ(sy.code, 0) << sy.Err();
    EXPECT_NE(sy.Err().find("it is synced as it stands"), std::string::npos) << sy.Err();
    EXPECT_TRUE(Snapshot(R(), true).empty());
}

TEST_F(Cli, MissingDriveRefusalComesFirstAndItsCommandSaysWhatItDoes) {
    // One job from each folder, each then emptied: a one-way backup (both
    // rules hold) and a two-way job, which --force fills again.
    for (const char* d : {"left", "right", "l2", "r2"}) m_tmp.MakeDir(d);
    for (int i = 0; i < 20; ++i) m_tmp.WriteFile((i < 15 ? "left/f" : "l2/f") + std::to_string(i), "x");
    ASSERT_EQ(Code({"job", "add", "b", L(), R(), "--type", "1"}), 0);
    ASSERT_EQ(Code({"job", "add", "t", m_tmp.NativeSub("l2"), m_tmp.NativeSub("r2")}), 0);
    ASSERT_EQ(Code({"sync", "b"}) + Code({"sync", "t"}), 0);
    const auto backup = Snapshot(R(), true);
    for (const std::string& d : {L(), m_tmp.NativeSub("r2")}) {
        std::filesystem::rename(d, d + ".real");
        std::filesystem::create_directory(d);
    }
    const std::string err = Run({"sync", "b"}).Err(), cmd = "torvane --profile " + Profile() + " sync ";
    const size_t drive = err.find(L() + " is empty, but the last sync left 15 items in it");
    EXPECT_LT(drive, err.find("; and it would delete 15 of the 15 items on the right")) << err;
    EXPECT_NE(err.find(cmd + "b --force syncs it as it stands: 15 items are deleted on the right"),
              std::string::npos)
        << err;
    EXPECT_EQ(Snapshot(R(), true), backup);
    EXPECT_TRUE(Snapshot(L()).empty());
    EXPECT_NE(
        Run({"sync", "t"}).Err().find(cmd + "t --force syncs it as it stands: 5 items are copied into it"),
        std::string::npos);
    CChild sy = Run({"sync", "t", "--force"});
    EXPECT_NE(sy.Err().find("it is synced as it stands: 5 items are copied into it"), std::string::npos)
        << sy.Err();
    EXPECT_EQ(Contents(m_tmp.NativeSub("r2")), Contents(m_tmp.NativeSub("l2")));
    EXPECT_EQ(Contents(m_tmp.NativeSub("r2")).size(), 5u);

    // The drive is back, a job is nested in it, and the backup job starts
    // afresh: what the nested job recorded counts as held.
    std::filesystem::remove(L());
    std::filesystem::rename(L() + ".real", L());
    m_tmp.MakeDir("left/sub");
    m_tmp.MakeDir("right/sub");
    m_tmp.WriteFile("left/sub/s", "s");
    ASSERT_EQ(Code({"job", "add", "jsub", L("sub"), R("sub")}) + Code({"sync", "jsub"}), 0);
    for (const std::string& d : {L(), R()}) std::filesystem::rename(d + "/_tvdata_", d + ".tvdata");
    ASSERT_EQ(Code({"job", "delete", "b"}) + Code({"job", "add", "b", L(), R()}), 0);
    EXPECT_EQ(Code({"sync", "b"}), 0);
}

TEST_F(Cli, FileSystemMountedOverAWatchedFolderGetsNothingWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    // A one-way job from the right into the watched left folder.
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    for (int i = 0; i < 5; ++i) m_tmp.WriteFile("right/f" + std::to_string(i), "x");
    ASSERT_EQ(Code({"job", "add", "w", L(), R(), "--type", "2", "--set", "OnFileChangeAction=1"}), 0);
    CChild c = Start({"-v", "watch", "w"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("Sync Completed") != std::string::npos; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto real = Snapshot(L(), true);
    if (mount("tmpfs", L().c_str(), "tmpfs", 0, "size=4m") != 0) {
        const int e = errno;
        kill(c.pid, SIGTERM);
        c.Wait(10000);
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(e);
    }
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("right/new.txt", "new");
    const bool bRefused =
        WaitFor([&] { return c.Err().find("taken as not available", mark) != std::string::npos; }, 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const bool bEmpty = Snapshot(L()).empty();
    umount2(L().c_str(), MNT_DETACH);
    // The folder is back: the next run brings the changes there.
    m_tmp.WriteFile("right/new2.txt", "new2");
    const bool bBack = WaitFor([&] { return std::filesystem::exists(L("new.txt")); }, 20000);
    kill(c.pid, SIGTERM);
    ASSERT_TRUE(c.Wait(10000));
    EXPECT_TRUE(bRefused && bEmpty && bBack) << c.code << c.Err().substr(mark);
    auto after = Snapshot(L(), true);
    after.erase("/new.txt");
    after.erase("/new2.txt");
    EXPECT_EQ(after, real);
}

TEST_F(Cli, WhatTheCommandSaysAgreesWithItsPapers) {
    MakePair();
    m_tmp.WriteFile("left/A.txt", "ALPHA"); // two names that differ only in case
    ASSERT_EQ(Code({"job", "add", "p", L(), R()}), 0);
    // Standard output and error on one file, as on a terminal.
    auto both = [&](const std::string& args) {
        CChild c = Start({}, {"/bin/sh", "-c",
                              "exec '" + kProgram + "' --profile '" + Profile() + "' " + args + " 2>&1"});
        EXPECT_TRUE(c.Wait(60000));
        return c;
    };
    // -q analyze: errors, conflicts and the summary only; each error once.
    CChild quiet = both("-q analyze p");
    EXPECT_EQ(quiet.code, 1);
    const std::string q = quiet.Out();
    EXPECT_EQ(Count(q, "named the same after normalization"), 1) << q;
    EXPECT_EQ(q.find("copy "), std::string::npos) << q;
    EXPECT_NE(q.find("analyzed: 3 to do, 0 conflicts, 1 error;"), std::string::npos) << q;
    CChild sync = both("sync p");
    EXPECT_EQ(Count(sync.Out(), "named the same after normalization"), 1) << sync.Out();
    // Apart, standard output keeps its line for each error.
    CChild apart = Run({"analyze", "p"});
    EXPECT_NE(apart.Out().find("error\t/A.txt\t"), std::string::npos) << apart.Out();
    std::filesystem::remove(L("A.txt"));
    ASSERT_EQ(Code({"sync", "p"}), 0);

    // A file deleted on one side and changed on the other says so; with an error too, 1 wins.
    std::filesystem::remove(L("a.txt"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    m_tmp.WriteFile("right/a.txt", "alpha, edited");
    ASSERT_EQ(symlink("/nowhere/at/all", L("dangling").c_str()), 0);
    CChild mixed = Run({"analyze", "p"});
    EXPECT_EQ(mixed.code, 1) << mixed.Out();
    EXPECT_NE(mixed.Out().find("conflict\t/a.txt\tConflict: File Deleted on Left, Modified on Right\t"),
              std::string::npos)
        << mixed.Out();
    EXPECT_NE(mixed.Out().find("FileLinks=1 copies the link itself"), std::string::npos) << mixed.Out();
    EXPECT_NE(Run({"--help"}).Out().find("also with conflicts left"), std::string::npos);
    std::filesystem::remove(L("dangling"));
    ASSERT_EQ(Code({"sync", "p", "--prefer", "right", "/a.txt"}), 0);

    // A damaged state file is kept beside the new one.
    m_tmp.WriteFile("right/_tvdata_/_file_state_v4._tv", "not a state file");
    m_tmp.WriteFile("left/new.txt", "new");
    CChild damaged = Run({"sync", "p"});
    EXPECT_NE(damaged.Err().find("kept as " + R() + "/_tvdata_/_file_state_v4._tv.damaged"), std::string::npos)
        << damaged.Err();
    EXPECT_EQ(ReadAll(R("_tvdata_/_file_state_v4._tv.damaged")), "not a state file");
    EXPECT_NE(ReadAll(R("_tvdata_/_file_state_v4._tv")), "not a state file");
    EXPECT_EQ(Code({"sync", "p"}), 0);

    // A read-only side, and one folder reached twice through a bind mount,
    // are failed runs (1), not refusals.
    m_tmp.MakeDir("bound");
    m_tmp.MakeDir("solo");
    m_tmp.WriteFile("solo/s.txt", "solo");
    ASSERT_EQ(Code({"job", "add", "twice", m_tmp.NativeSub("solo"), m_tmp.NativeSub("bound")}), 0);
    if (mount(m_tmp.NativeSub("solo").c_str(), m_tmp.NativeSub("bound").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount (needs root)";
    CChild twice = Run({"sync", "twice"});
    umount2(m_tmp.NativeSub("bound").c_str(), MNT_DETACH);
    EXPECT_EQ(twice.code, 1) << twice.Err() << twice.Out();
    EXPECT_NE(twice.Err().find("Cannot Analyze nested folders"), std::string::npos) << twice.Err();
    m_tmp.MakeDir("ro");
    ASSERT_EQ(mount("tmpfs", m_tmp.NativeSub("ro").c_str(), "tmpfs", MS_RDONLY, "size=64k"), 0);
    ASSERT_EQ(Code({"job", "add", "ro", L(), m_tmp.NativeSub("ro")}), 0);
    CChild ro = Run({"sync", "ro"});
    umount2(m_tmp.NativeSub("ro").c_str(), MNT_DETACH);
    EXPECT_EQ(ro.code, 1) << ro.Err();
    EXPECT_NE(ro.Out().find("failed; log: "), std::string::npos) << ro.Out();
    EXPECT_EQ(ro.Err().find("Cannot upload log file"), std::string::npos) << ro.Err();
}

TEST_F(Cli, JobListMessagesAndATypeChangeKeepWhatTheUserSet) {
    MakePair();
    // Set by the user, an option keeps its value through changes of the type,
    // also where it equals a type's default.
    ASSERT_EQ(Code({"job", "add", "t", L(), R(), "--set", "ExcludeHidden=Yes"}), 0);
    ASSERT_EQ(Code({"job", "add", "u", L(), R("u")}), 1); // RIGHT missing: nothing stored
    const struct {
        std::vector<std::string> sets;
        std::string hidden, system;
    } steps[] = {
        {{"Direction=1"}, "Yes", "No"},
        {{"ExcludeSystem=No"}, "Yes", "No"},
        {{"Direction=0"}, "Yes", "No"},
        {{"Direction=2"}, "Yes", "No"},
    };
    for (const auto& step : steps) {
        std::vector<std::string> args = {"job", "set", "t"};
        args.insert(args.end(), step.sets.begin(), step.sets.end());
        EXPECT_EQ(Run(args).code, 0);
        const std::string all = Run({"job", "show", "t", "--all"}).Out();
        EXPECT_NE(all.find("\n  ExcludeHidden = " + step.hidden + "\n"), std::string::npos) << step.sets[0];
        EXPECT_NE(all.find("\n  ExcludeSystem = " + step.system + "\n"), std::string::npos) << step.sets[0];
    }
    // Deleted and added again, the job starts from the type's defaults.
    ASSERT_EQ(Code({"job", "delete", "t"}), 0);
    ASSERT_EQ(Code({"job", "add", "t", L(), R()}), 0);
    ASSERT_EQ(Code({"job", "set", "t", "Direction=1"}), 0);
    EXPECT_NE(Run({"job", "show", "t", "--all"}).Out().find("\n  ExcludeHidden = No\n"), std::string::npos);

    // A damaged job list without a backup: the message names the file kept and what to do.
    std::filesystem::remove(Profile() + "/jobs.bak");
    m_tmp.WriteFile("profile/jobs.tix", "<Job>\nName = \"broken\n");
    CChild list = Run({"job", "list"});
    EXPECT_EQ(list.Err().find("e-mail"), std::string::npos) << list.Err();
    EXPECT_NE(list.Err().find("The damaged file is kept as " + Profile() + "/jobs-bad.tix"), std::string::npos)
        << list.Err();
    EXPECT_NE(list.Err().find("Add the jobs again"), std::string::npos) << list.Err();
}

TEST_F(Cli, ADamagedRegistryFileIsSetAsideAndSaidNeverWrittenOver) {
    MakePair();
    ASSERT_EQ(Code({"job", "add", "t", L(), R(), "--set", "ExcludeHidden=Yes"}), 0);
    const std::string reg = Profile() + "/user.reg";
    ASSERT_TRUE(std::filesystem::exists(reg));
    // Each round damages the file anew; an earlier damaged copy stays.
    for (const std::string bad : {"/user-bad.reg", "/user-bad-2.reg"}) {
        SCOPED_TRACE(bad);
        const std::string damaged = ReadAll(reg) + "this line is no registry line\n";
        m_tmp.WriteFile("profile/user.reg", damaged);
        CChild set = Run({"job", "set", "t", "Direction=1"});
        EXPECT_EQ(set.code, 0) << set.Err();
        EXPECT_NE(set.Err().find("registry file '" + reg + "' is damaged at line"), std::string::npos) << set.Err();
        EXPECT_NE(set.Err().find("Bad registry file has been renamed to " + Profile() + bad), std::string::npos)
            << set.Err();
        EXPECT_EQ(ReadAll(Profile() + bad), damaged);
        // Said once: the next command meets a sound file, which keeps what is set again.
        ASSERT_EQ(Code({"job", "set", "t", "ExcludeHidden=Yes", "Direction=0"}), 0);
        CChild show = Run({"job", "set", "t", "Direction=2"});
        EXPECT_EQ(show.Err().find("damaged"), std::string::npos) << show.Err();
        EXPECT_NE(Run({"job", "show", "t", "--all"}).Out().find("\n  ExcludeHidden = Yes\n"), std::string::npos);
    }
    EXPECT_TRUE(std::filesystem::exists(Profile() + "/user-bad.reg"));
}

// ------------------------------------------------------------ watch over links, mounts and other jobs
namespace {

// Ends a watch and waits for it.
void EndWatch(CChild& c) {
    kill(c.pid, SIGTERM);
    if (!c.Wait(15000)) {
        kill(c.pid, SIGKILL);
        c.Wait(5000);
    }
}

} // namespace

TEST_F(Cli, WatchWatchesWhatSyncSyncsThroughFolderLinks) {
    // A two-way job whose left side is a link, a one-way job with a linked
    // source, and a job that follows a folder link inside its side.
    for (const char* d : {"real", "real2", "r1", "r2", "src", "ext", "r3"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("real/a.txt", "a");
    m_tmp.WriteFile("real2/a.txt", "a");
    m_tmp.WriteFile("ext/e.txt", "e");
    std::filesystem::create_directory_symlink(m_tmp.NativeSub("real"), m_tmp.NativeSub("l1"));
    std::filesystem::create_directory_symlink(m_tmp.NativeSub("real2"), m_tmp.NativeSub("l2"));
    std::filesystem::create_directory_symlink(m_tmp.NativeSub("ext"), m_tmp.NativeSub("src/link"));
    // Each job: its name, sides and settings, a file written and where it arrives.
    const std::vector<std::vector<std::string>> jobs = {
        {"two", "l1", "r1", "real/n1.txt", "r1/n1.txt", "--set", "OnFileChangeAction=1"},
        {"one", "l2", "r2", "real2/n2.txt", "r2/n2.txt", "--type", "1", "--set", "OnFileChangeAction=1"},
        {"drill", "src", "r3", "ext/n3.txt", "r3/link/n3.txt", "--set", "OnFileChangeAction=1", "--set",
         "FolderLinks=2"},
    };
    for (const auto& j : jobs) {
        std::vector<std::string> args = {"job", "add", j[0], m_tmp.NativeSub(j[1]), m_tmp.NativeSub(j[2])};
        args.insert(args.end(), j.begin() + 5, j.end());
        ASSERT_EQ(Code(args), 0) << j[0];
    }
    CChild c = Start({"watch"});
    ASSERT_TRUE(WaitFor([&] { return Count(c.Err(), "Sync Completed") >= 3; }, 30000)) << c.Err();
    ASSERT_TRUE(std::filesystem::exists(m_tmp.NativeSub("r3/link/e.txt")));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (const auto& j : jobs) m_tmp.WriteFile(j[3], j[0]);
    for (const auto& j : jobs)
        EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(m_tmp.NativeSub(j[4])); }, 20000))
            << j[0] << c.Err();
    EndWatch(c);
    EXPECT_EQ(c.code, 0);
    EXPECT_EQ(c.Err().find("not a folder"), std::string::npos) << c.Err();
}

TEST_F(Cli, WatchedSideEmptiedWithItsDataFolderIsRefusedAsAMissingDrive) {
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    for (int i = 0; i < 10; ++i) m_tmp.WriteFile("left/f" + std::to_string(i), "x");
    // The run waits for the emptying to end: one that met it half done
    // would sync the deletions it saw, as a user's sync then would.
    ASSERT_EQ(Code({"job", "add", "e", L(), R(), "--set", "OnFileChangeAction=1", "--set", "OnFileChangeDelay=2"}),
              0);
    CChild c = Start({"watch", "e"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("Sync Completed") != std::string::npos; }, 20000))
        << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t mark = c.Err().size();
    for (const auto& e : std::filesystem::directory_iterator(R())) std::filesystem::remove_all(e.path());
    const bool bRefused =
        WaitFor([&] { return c.Err().find("taken as not available", mark) != std::string::npos; }, 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EndWatch(c);
    EXPECT_TRUE(bRefused) << c.Err().substr(mark);
    EXPECT_EQ(c.Err().find("Modified on Both Sides", mark), std::string::npos) << c.Err().substr(mark);
    EXPECT_EQ(Contents(L()).size(), 10u) << c.Err().substr(mark);
    EXPECT_TRUE(Contents(R()).empty());
}

TEST_F(Cli, NestedJobsUnderOneWatchKeepSyncing) {
    // Outer job left <-> right, inner job left/sub <-> z, both watched.
    for (const char* d : {"left/sub", "right", "z"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("left/top.txt", "t");
    m_tmp.WriteFile("left/sub/s.txt", "s");
    ASSERT_EQ(Code({"job", "add", "outer", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    ASSERT_EQ(Code({"job", "add", "inner", L("sub"), m_tmp.NativeSub("z"), "--set", "OnFileChangeAction=1"}),
              0);
    ASSERT_EQ(Code({"sync", "outer"}) + Code({"sync", "inner"}), 0);
    CChild c = Start({"watch"});
    ASSERT_TRUE(WaitFor([&] { return Count(c.Err(), "Analysis Completed") >= 2; }, 30000)) << c.Err();
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const std::string n = std::to_string(round);
        // The outer job writes into left/sub, the inner job takes it on; then
        // the inner job writes there (and into its data folder).
        m_tmp.WriteFile("right/sub/r" + n, n);
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(m_tmp.NativeSub("z/r" + n)); }, 20000))
            << round << c.Err();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        m_tmp.WriteFile("z/z" + n, n);
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("sub/z" + n)); }, 20000))
            << round << c.Err();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        m_tmp.WriteFile("left/t" + n, n);
        EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(R("t" + n)); }, 20000)) << round << c.Err();
    }
    EndWatch(c);
    EXPECT_EQ(c.Err().find("State file has changed since Analyze"), std::string::npos) << c.Err();
}

TEST_F(Cli, WatchedRunThatFailsOnATransientErrorIsTriedAgain) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    MakePair();
    m_tmp.MakeDir("tmp");
    if (mount("tmpfs", m_tmp.NativeSub("tmp").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    ASSERT_EQ(Code({"job", "add", "t", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    ASSERT_EQ(Code({"sync", "t"}), 0);
    CChild c =
        Start({}, {"env", "TMPDIR=" + m_tmp.NativeSub("tmp"), kProgram, "--profile", Profile(), "watch"});
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("watching 1 job;") != std::string::npos; }, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    // The temporary folder is full: the run fails.
    {
        std::ofstream fill(m_tmp.NativeSub("tmp/fill"));
        fill << std::string(256 << 10, 'f');
    }
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("left/n.txt", "n");
    const bool bTold =
        WaitFor([&] { return c.Err().find("tried again in ", mark) != std::string::npos; }, 20000);
    std::filesystem::remove(m_tmp.NativeSub("tmp/fill"));
    // No other change comes: the retry syncs it.
    const bool bSynced = WaitFor([&] { return std::filesystem::exists(R("n.txt")); }, 60000);
    EndWatch(c);
    umount2(m_tmp.NativeSub("tmp").c_str(), MNT_DETACH);
    EXPECT_TRUE(bTold && bSynced) << c.Err().substr(mark);
}

TEST_F(Cli, WatchTellsOfADriveThatWentAwayAndRunsWhenItIsBack) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    // The left side is a folder on a "drive": a bind mount of store on disk.
    m_tmp.MakeDir("store/folder");
    m_tmp.MakeDir("disk");
    m_tmp.MakeDir("right");
    m_tmp.WriteFile("store/folder/a.txt", "a");
    const std::string store = m_tmp.NativeSub("store"), disk = m_tmp.NativeSub("disk");
    if (mount(store.c_str(), disk.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind mount: " << strerror(errno);
    ASSERT_EQ(Code({"job", "add", "d", disk + "/folder", R(), "--set", "OnFileChangeAction=1"}), 0);
    CChild c = Start({"watch", "d"});
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("a.txt")); }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t mark = c.Err().size();
    umount2(disk.c_str(), MNT_DETACH);
    const bool bGone = WaitFor([&] { return c.Err().find("went away", mark) != std::string::npos; }, 15000);
    m_tmp.WriteFile("right/r.txt", "r"); // meanwhile on the other side
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    mount(store.c_str(), disk.c_str(), nullptr, MS_BIND, nullptr);
    const bool bSynced = WaitFor([&] { return std::filesystem::exists(store + "/folder/r.txt"); }, 15000);
    const bool bBack = c.Err().find("is back", mark) != std::string::npos;
    EndWatch(c);
    umount2(disk.c_str(), MNT_DETACH);
    EXPECT_TRUE(bGone && bSynced && bBack) << bGone << bSynced << bBack << c.Err().substr(mark);
}

TEST_F(Cli, FileSystemMountedOverASubFolderOfAWatchedSideIsHeld) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    m_tmp.MakeDir("left/m");
    m_tmp.MakeDir("right");
    m_tmp.WriteFile("left/m/old.txt", "old");
    m_tmp.WriteFile("left/a.txt", "a");
    ASSERT_EQ(Code({"job", "add", "w", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    CChild c = Start({"watch", "w"});
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("m/old.txt")); }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (mount("tmpfs", L("m").c_str(), "tmpfs", 0, "size=4m") != 0) {
        const int e = errno;
        EndWatch(c);
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(e);
    }
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("right/m/new.txt", "new");   // not written into the tmpfs
    m_tmp.WriteFile("left/m/on-tmpfs.txt", "t"); // written into the tmpfs, gone with it
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    const bool bNothingWritten = !std::filesystem::exists(L("m/new.txt"));
    umount2(L("m").c_str(), MNT_DETACH);
    m_tmp.WriteFile("left/b.txt", "b");
    const bool bRuns = WaitFor([&] { return std::filesystem::exists(R("b.txt")); }, 20000);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EndWatch(c);
    EXPECT_TRUE(bNothingWritten && bRuns) << c.Err().substr(mark);
    EXPECT_TRUE(std::filesystem::exists(R("m/old.txt")));
    EXPECT_TRUE(std::filesystem::exists(R("m/new.txt"))) << c.Err().substr(mark);
    EXPECT_TRUE(std::filesystem::exists(L("m/new.txt"))) << c.Err().substr(mark);
}

TEST_F(Cli, OnChangeRunRefusesTwoNamesOfOneItemAsAFullRunDoes) {
    // Two names that differ only in case, on a side that tells them apart:
    // every run refuses the pair, the watch's on-change runs too.
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    m_tmp.WriteFile("left/Index.html", "upper");
    m_tmp.WriteFile("left/index.html", "lower");
    ASSERT_EQ(Code({"job", "add", "w", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    CChild sync = Run({"sync", "w"});
    EXPECT_EQ(sync.code, 1);
    const std::string refused = "Two items on Left side are named the same after normalization and lower-casing";
    EXPECT_NE(sync.Out().find(refused), std::string::npos) << sync.Out();
    CChild c = Start({"-v", "watch"});
    struct End {
        CChild& c;
        ~End() {
            if (c.code < 0) EndWatch(c);
        }
    } end{c};
    ASSERT_TRUE(WaitFor([&] { return Count(c.Err(), "Sync Completed") >= 1; }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Each: the change that starts an on-change run, beside a file that it syncs.
    const char* changed[] = {"left/index.html", "left/Index.html"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(changed[i]);
        const size_t mark = c.Err().size();
        m_tmp.WriteFile(changed[i], "changed " + std::to_string(i));
        m_tmp.WriteFile("left/n" + std::to_string(i) + ".txt", "n");
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("n" + std::to_string(i) + ".txt")); }, 20000))
            << c.Err().substr(mark);
        ASSERT_TRUE(WaitFor([&] { return c.Err().find("Sync Completed", mark) != std::string::npos; }, 10000));
        EXPECT_NE(c.Err().find(refused, mark), std::string::npos) << c.Err().substr(mark);
        EXPECT_FALSE(std::filesystem::exists(R("index.html")) || std::filesystem::exists(R("Index.html")));
    }
    EndWatch(c);
}

TEST_F(Cli, WatchedItemThatFailedOnAFullDiskIsTriedAgainWhenNothingElseChanges) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("disk");
    if (mount("tmpfs", m_tmp.NativeSub("disk").c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{m_tmp.NativeSub("disk")};
    m_tmp.MakeDir("disk/right");
    m_tmp.WriteFile("left/a.txt", "a");
    const std::string right = m_tmp.NativeSub("disk/right");
    ASSERT_EQ(Code({"job", "add", "w", L(), right, "--type", "1", "--set", "OnFileChangeAction=1"}), 0);
    CChild c = Start({"watch"});
    struct End {
        CChild& c;
        ~End() {
            if (c.code < 0) EndWatch(c);
        }
    } end{c};
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(right + "/a.txt"); }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // The disk fills up (beside the job's folder); a new file does not fit.
    {
        std::ofstream fill(m_tmp.NativeSub("disk/fill"));
        fill << std::string(3 << 20, 'f');
    }
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("left/big.bin", std::string(2 << 20, 'b'));
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("tried again in 5 seconds", mark) != std::string::npos; }, 20000))
        << c.Err().substr(mark);
    EXPECT_NE(c.Err().find("1 item failed (/big.bin: ", mark), std::string::npos) << c.Err().substr(mark);
    // Still full at the first retry: the next waits twice as long.
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("tried again in 10 seconds", mark) != std::string::npos; }, 20000))
        << c.Err().substr(mark);
    EXPECT_FALSE(std::filesystem::exists(right + "/big.bin"));
    // Space is freed; no other change comes: the retry brings the file.
    std::filesystem::remove(m_tmp.NativeSub("disk/fill"));
    ASSERT_TRUE(WaitFor([&] { return ReadAll(right + "/big.bin").size() == (2u << 20); }, 30000))
        << c.Err().substr(mark);
    EndWatch(c);
    EXPECT_EQ(c.code, 0) << c.Err();
}

TEST_F(Cli, WatchedItemThatFailedOnABusyFileIsTriedAgainWhenNothingElseChanges) {
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    m_tmp.WriteFile("left/a.txt", "a");
    ASSERT_EQ(Code({"job", "add", "w", L(), R(), "--set", "OnFileChangeAction=1"}), 0);
    CChild c = Start({"watch"});
    struct End {
        CChild& c;
        ~End() {
            if (c.code < 0) EndWatch(c);
        }
    } end{c};
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(R("a.txt")); }, 20000)) << c.Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // Another program holds a new file with a write lease: every open of it
    // that does not wait fails as busy until the program lets it go. The
    // kernel's call to let go (SIGIO) is not heard. The file is held before
    // it is moved in, so no run meets it free.
    struct Holder {
        int fd = -1;
        void (*was)(int) = signal(SIGIO, SIG_IGN);
        ~Holder() {
            if (fd >= 0) close(fd);
            signal(SIGIO, was);
        }
    } holder;
    const size_t mark = c.Err().size();
    m_tmp.WriteFile("busy.txt", "b");
    holder.fd = open(m_tmp.NativeSub("busy.txt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder.fd, 0) << strerror(errno);
    if (fcntl(holder.fd, F_SETLEASE, F_WRLCK) != 0) GTEST_SKIP() << "no file leases here: " << strerror(errno);
    ASSERT_EQ(rename(m_tmp.NativeSub("busy.txt").c_str(), L("busy.txt").c_str()), 0) << strerror(errno);
    ASSERT_TRUE(WaitFor([&] { return c.Err().find("tried again in 5 seconds", mark) != std::string::npos; }, 20000))
        << c.Err().substr(mark);
    const size_t said = c.Err().find("1 item failed (/busy.txt: ", mark);
    EXPECT_NE(said, std::string::npos) << c.Err().substr(mark);
    EXPECT_NE(c.Err().find(strerror(EAGAIN), said), std::string::npos) << c.Err().substr(mark);
    EXPECT_FALSE(std::filesystem::exists(R("busy.txt")));
    // The program lets go; no other change comes: the retry brings the file.
    close(holder.fd);
    holder.fd = -1;
    ASSERT_TRUE(WaitFor([&] { return ReadAll(R("busy.txt")) == "b"; }, 30000)) << c.Err().substr(mark);
    EndWatch(c);
    EXPECT_EQ(c.code, 0) << c.Err();
}
