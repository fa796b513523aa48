// What "torvane" says as a user meets it: the built program run on temporary
// folders, quiet by default with the whole log in a file, checked input,
// the reference commands and the install step.
#include "cli-console.h"
#include "cli-test-run.h"
#include "job-harness.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

const std::string kProgram = CliProgram();

using SRun = CCliRun;

class CliConsole : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;
    std::vector<std::string> m_env; // NAME=VALUE added to the environment (empty value: removed)

    std::string Profile() const { return m_tmp.NativeSub("profile"); }
    std::string L() const { return m_tmp.NativeSub("left"); }
    std::string R() const { return m_tmp.NativeSub("right"); }
    // Runs argv as it stands (the program first) and waits.
    SRun Exec(std::vector<std::string> argv) {
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram(std::move(argv), m_tmp.NativeSub("out" + n), m_tmp.NativeSub("err" + n), m_env);
    }
    SRun Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kProgram, "--profile", Profile()};
        argv.insert(argv.end(), args.begin(), args.end());
        return Exec(argv);
    }
    void MakePair() {
        m_tmp.MakeDir("left/.git");
        m_tmp.MakeDir("right");
        m_tmp.WriteFile("left/a.txt", "alpha");
        m_tmp.WriteFile("left/.env", "SECRET=1");
        m_tmp.WriteFile("left/.git/HEAD", "ref");
        m_tmp.WriteFile("right/c.txt", "gamma");
    }
    // The file the summary line names ("...; log: PATH").
    static std::string LogOf(const std::string& out) {
        const size_t at = out.rfind("; log: ");
        if (at == std::string::npos) return std::string();
        return out.substr(at + 7, out.find('\n', at) - at - 7);
    }
};

} // namespace

TEST_F(CliConsole, QuietByDefaultWholeLogOnFileVerboseAndQuietSwitches) {
    MakePair();
    SRun add = Run({"job", "add", "j", L(), R()});
    ASSERT_EQ(add.code, 0) << add.err;
    EXPECT_NE(add.out.find("names beginning with '.'"), std::string::npos) << add.out;
    EXPECT_NE(add.out.find("job set j ExcludeHidden=No"), std::string::npos) << add.out;

    struct utsname u {};
    uname(&u);
    const std::string system = std::string(u.machine) + " on " + u.sysname;
    SRun an = Run({"analyze", "j"});
    EXPECT_EQ(an.code, 0) << an.err;
    EXPECT_LE(std::count(an.err.begin(), an.err.end(), '\n'), 3) << an.err;
    EXPECT_EQ(an.err.find("ANALYSIS started"), std::string::npos) << an.err;
    const std::string log = LogOf(an.out);
    ASSERT_FALSE(log.empty()) << an.out;
    EXPECT_EQ(log.rfind(Profile() + "/", 0), 0u) << log;
    const std::string logText = CliReadAll(log);
    EXPECT_NE(logText.find("(Torvane 9.2.9.0 " + system), std::string::npos) << logText;
    EXPECT_EQ(logText.find("Many files/s"), std::string::npos) << logText;

    SRun verbose = Run({"-v", "sync", "j"});
    EXPECT_EQ(verbose.code, 0) << verbose.err;
    EXPECT_NE(verbose.err.find("ANALYSIS started"), std::string::npos);
    EXPECT_NE(verbose.err.find("Sync Completed"), std::string::npos);
    EXPECT_EQ(verbose.err.find("Speed:  "), std::string::npos) << verbose.err;
    EXPECT_EQ(verbose.err.find(" on )"), std::string::npos) << verbose.err;
    EXPECT_NE(CliReadAll(LogOf(verbose.out)).find("Sync Completed"), std::string::npos);

    m_tmp.WriteFile("left/new.txt", "new");
    SRun quiet = Run({"-q", "sync", "j"});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out.rfind("synced: 1 done", 0), 0u) << quiet.out;
}

TEST_F(CliConsole, ConflictsShownWithTheCommandToUseTheLogKeepsTheEngineText) {
    MakePair();
    ASSERT_EQ(Run({"job", "add", "j", L(), R()}).code, 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    m_tmp.WriteFile("left/a.txt", "left's");
    m_tmp.WriteFile("right/a.txt", "right's!");
    // The report lists the conflict once, with its command; -q too.
    const std::string cmd = "torvane --profile " + Profile();
    for (const char* verbosity : {"--", "-q"}) {
        SRun s = Run({verbosity, "sync", "j"});
        EXPECT_EQ(s.code, 2);
        EXPECT_EQ(s.out.find("conflict\t/a.txt\tConflict: File Modified on Both Sides\t" + cmd + " sync j --prefer"), 0u)
            << s.out;
        EXPECT_EQ(s.err.find("onflict"), std::string::npos) << s.err;
    }
    // The whole log on the terminal names the commands instead of the window's buttons.
    SRun s = Run({"-v", "sync", "j"});
    EXPECT_EQ(s.err.find("lick"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("unresolved conflicts. " + cmd + " analyze j lists them; to resolve them: " + cmd +
                         " sync j --prefer"),
              std::string::npos)
        << s.err;
    const std::string log = CliReadAll(LogOf(s.out));
    EXPECT_NE(log.find("Click Conflicts button to see unresolved conflicts\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("[torvane"), std::string::npos);
}

TEST_F(CliConsole, JobAddRefusesBadFoldersAndValuesInOneLine) {
    MakePair();
    m_tmp.WriteFile("file.txt", "x");
    ASSERT_EQ(Run({"job", "add", "ok", L(), R()}).code, 0);
    const std::string before = CliReadAll(Profile() + "/jobs.tix");
    struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"job", "add", "j", "", R()}, "LEFT: a folder is empty"},
        {{"job", "add", "j", L(), m_tmp.NativeSub("file.txt")}, "RIGHT: not a folder"},
        {{"job", "add", "j", m_tmp.NativeSub("M1"), R()}, "LEFT: no such folder"},
        {{"job", "add", "j", L(), "nosuch://host/x"}, "not a kind of URL"},
        {{"job", "add", "j", L(), R(), "--set", "Direction=7"}, "Direction=7: Direction takes a whole number from 0 to 2"},
        {{"job", "add", "j", L(), R(), "--set", "OnTimerAction=-5"}, "from 0 to 2"},
        {{"job", "add", "j", L(), R(), "--set", "WorkerThreads=100000"}, "from 0 to 127"},
        {{"job", "add", "j", L(), R(), "--set", "DetectMovesAndRenames=maybe"}, "takes Yes or No"},
        {{"job", "add", "j", L(), R(), "--set", "Nope=1"}, "Nope is not an option of a job"},
        {{"-v", "-q", "job", "list"}, "see torvane --help"},
        {{"sync"}, "[--force] [--max-delete PERCENT] [--override-locks]"},
        {{"analyze", "j", "--override-locks"}, "--override-locks belongs to sync"},
    };
    for (const auto& c : cases) {
        SRun r = Run(c.args);
        EXPECT_EQ(r.code, 1) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(CliReadAll(Profile() + "/jobs.tix"), before);
    // Flags in the usual spellings; a URL of a known kind passes.
    EXPECT_EQ(Run({"job", "add", "u", L(), "s3://bucket/x", "--set", "ExcludeHidden=no"}).code, 0);
    SRun show = Run({"job", "show", "u", "--all"});
    EXPECT_NE(show.out.find("ExcludeHidden = No"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("WorkerThreads = 0"), std::string::npos) << show.out;
}

TEST_F(CliConsole, VersionKeysOneSettingsFolderAndInstall) {
    struct utsname u {};
    uname(&u);
    SRun v = Exec({kProgram, "--version"});
    EXPECT_EQ(v.out, "torvane 9.2.9.0 (" + std::string(u.machine) + " on " + u.sysname + " " + u.release + ")\n");
    SRun keys = Exec({kProgram, "job", "keys"});
    EXPECT_NE(keys.out.find("\nExcludeHidden "), std::string::npos) << keys.out;
    EXPECT_NE(keys.out.find("[a whole number from 0 to 127]"), std::string::npos);

    // Without --profile: the profile and the registry share $XDG_CONFIG_HOME/torvane,
    // and an older "Torvane" profile is taken over with its jobs.
    MakePair();
    m_env = {"XDG_CONFIG_HOME=" + m_tmp.NativeSub("config"), "TORVANE_PROFILE_DIR=", "TORVANE_REGISTRY_DIR="};
    ASSERT_EQ(Run({"job", "add", "old", L(), R()}).code, 0);
    std::filesystem::create_directories(m_tmp.NativeSub("config"));
    std::filesystem::rename(Profile(), m_tmp.NativeSub("config/Torvane"));
    EXPECT_EQ(Exec({kProgram, "job", "list"}).out.rfind("old\t", 0), 0u);
    EXPECT_TRUE(m_tmp.Exists("config/torvane/jobs.tix"));
    EXPECT_TRUE(m_tmp.Exists("config/torvane/registry/user.reg"));
    EXPECT_FALSE(m_tmp.Exists("config/Torvane"));

    // A profile folder the environment names must exist too.
    m_env = {"TORVANE_PROFILE_DIR=" + m_tmp.NativeSub("typo")};
    SRun typo = Exec({kProgram, "job", "list"});
    EXPECT_EQ(typo.code, 1);
    EXPECT_NE(typo.err.find("typo (TORVANE_PROFILE_DIR) does not exist"), std::string::npos) << typo.err;
    EXPECT_FALSE(m_tmp.Exists("typo"));

    // The command's own install script: `cmake --install` also writes its
    // list of installed files into the build folder, which need not be ours.
    SRun inst = Exec({"cmake", "-DCMAKE_INSTALL_PREFIX=" + m_tmp.NativeSub("prefix"), "-P",
                      std::string(TV_BINARY_DIR) + "/torvane/cli/cmake_install.cmake"});
    ASSERT_EQ(inst.code, 0) << inst.err;
    EXPECT_EQ(access(m_tmp.NativeSub("prefix/bin/torvane").c_str(), X_OK), 0);
    EXPECT_NE(CliReadAll(m_tmp.NativeSub("prefix/share/man/man1/torvane.1")).find(".SH EXIT STATUS"), std::string::npos);
}

TEST_F(CliConsole, EachMessageOnceAndTheCommandThatActsOnIt) {
    MakePair();
    SRun add = Run({"job", "add", "a b", L(), R()});
    EXPECT_NE(add.out.find("job set 'a b' ExcludeHidden=No"), std::string::npos) << add.out;
    ASSERT_EQ(Run({"sync", "a b"}).code, 0);
    const std::string cmd = "torvane --profile " + Profile();
    // A stale lock of another computer: refused, said once with the option
    // that removes it, which then does.
    const std::string lock = R() + "/_tvdata_/lock.tvl";
    m_tmp.WriteFile("right/_tvdata_/lock.tvl",
                    "By: other.user@else\x1b[2Jwhere at: 2026.01.01 08:00:00 GMT\n" + R());
    m_tmp.WriteFile("left/new.txt", "new");
    for (const char* verbosity : {"--", "-q"}) {
        SRun s = Run({verbosity, "sync", "a b"});
        EXPECT_EQ(s.code, 3);
        // The program's own lines as lines; the lock's owner, from outside, escaped.
        EXPECT_EQ(s.err,
                  "Another job is Syncing in folder " + R() +
                      ",\nit was started by: other.user@else\\x1B[2Jwhere at: 2026.01.01 08:00:00 GMT.\n"
                      "Please try again later or if you are *sure* the other job has ended: " +
                      cmd + " sync 'a b' --override-locks\n");
    }
    SRun over = Run({"sync", "a b", "--override-locks"});
    EXPECT_EQ(over.code, 0) << over.err;
    EXPECT_EQ(CliReadAll(m_tmp.NativeSub("right/new.txt")), "new");
    EXPECT_NE(CliReadAll(LogOf(over.out)).find("User Override Deleted Lock at " + R()), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(lock));

    // A dry run with --prefer settles nothing; newer on like times says why not.
        m_tmp.WriteFileAt("left/a.txt", "left's", 1700000000);
    m_tmp.WriteFileAt("right/a.txt", "right's!", 1700000000);
    SRun dry = Run({"analyze", "a b", "--prefer", "left", "--all"});
    EXPECT_EQ(dry.err.find("User resolved"), std::string::npos) << dry.err;
    EXPECT_NE(dry.err.find("1 conflict would be resolved by sync --prefer left"), std::string::npos) << dry.err;
    SRun newer = Run({"sync", "a b", "--prefer", "newer", "/a.txt"});
    EXPECT_EQ(newer.code, 2);
    EXPECT_EQ(newer.err.find("no conflict"), std::string::npos) << newer.err;
    EXPECT_NE(newer.err.find("--prefer left or right settles it"), std::string::npos) << newer.err;
    EXPECT_NE(newer.out.find("synced: 0 done, 1 conflict, 0 errors;"), std::string::npos) << newer.out;
    EXPECT_EQ(CliReadAll(m_tmp.NativeSub("right/a.txt")), "right's!");

    // A side's folder gone: one line.
    std::filesystem::rename(R(), m_tmp.NativeSub("gone"));
    SRun gone = Run({"sync", "a b"});
    EXPECT_NE(gone.code, 0);
    EXPECT_EQ(std::count(gone.err.begin(), gone.err.end(), '\n'), 1) << gone.err;

    // A job list with a NUL in it: the warning is shown whole, up to the backup taken instead.
    m_tmp.WriteFile("profile/jobs.tix", std::string("\0<Job>", 6));
    SRun list = Run({"job", "list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_NE(list.err.find("\\x00<Job>"), std::string::npos) << list.err;
    EXPECT_NE(list.err.find("has been taken from"), std::string::npos) << list.err;
}

namespace {

// What a console off a terminal writes to standard error while f runs.
std::string StderrOf(const std::function<void(CCliConsole&)>& f) {
    CTempFolder tmp;
    const std::string file = tmp.NativeSub("err");
    fflush(stderr);
    const int saved = dup(STDERR_FILENO), fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    {
        CCliConsole con(false);
        f(con);
    }
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(fd);
    close(saved);
    return CliReadAll(file);
}

} // namespace

TEST(CliConsoleProgress, OffATerminalAStatusIsNoProgress) {
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    // A reconnect in the middle of a run shows its statuses at 0%.
    const std::pair<int, const char16_t*> steps[] = {
        {40, u"/a.txt"},
        {0, u"** Disconnected /x, try to reconnect in 30 sec: gone"},
        {0, u"** Connecting to folder /x"},
        {60, u"/b.txt"},
    };
    EXPECT_EQ(StderrOf([&](CCliConsole& con) {
                  for (const auto& [percent, text] : steps) {
                      clock.Advance(2100);
                      con.OnShowProgress(percent, text);
                  }
              }),
              " 40% /a.txt\n** Disconnected /x, try to reconnect in 30 sec: gone\n 60% /b.txt\n");
}

TEST(CliConsoleMessages, AMessageSharingLinesWithAnEarlierOneIsShownWhole) {
    // Two folders locked by one owner, then the first again.
    const std::string tail = ",\nit was started by: me@here.\nPlease try again later.\n";
    EXPECT_EQ(StderrOf([&](CCliConsole& con) {
                  for (const char* folder : {"/a", "/b", "/a"})
                      con.OnMessageLine(1, Utf8ToWide(("Another job is Syncing in folder " + std::string(folder) +
                                                       tail).c_str()),
                                        MLM_NORMAL);
              }),
              "Another job is Syncing in folder /a" + tail + "Another job is Syncing in folder /b" + tail);
}

TEST(CliConsoleMessages, TheEnginesOwnLinesStayLinesAndNamesInThemStayEscaped) {
    // Each: the engine's text, and the terminal's.
    const std::pair<const char16_t*, std::string> texts[] = {
        {u"Locking the already locked folder: means syncing folder with itself or its parent.\n'/b\nx' same as "
         u"or parent/child of '/a'",
         "Locking the already locked folder: means syncing folder with itself or its parent.\n'/b\\nx' same as "
         "or parent/child of '/a'\n"},
        {u"State file has changed since Analyze, by another Sync. Please Analyze again:\nState file: "
         u"/r\n/_tvdata_/s\nnew: [1] != \nold: [2]\n",
         "State file has changed since Analyze, by another Sync. Please Analyze again:\nState file: "
         "/r\\n/_tvdata_/s\nnew: [1] != \nold: [2]\n"},
    };
    for (const auto& [engine, terminal] : texts) {
        const char16_t* text = engine;
        EXPECT_EQ(StderrOf([text](CCliConsole& con) { con.OnMessageLine(1, text, MLM_NORMAL); }), terminal);
    }
}
