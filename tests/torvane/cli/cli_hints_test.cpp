// The hints and refusals the "torvane" command prints: each names the side
// and the action that are true, and each command it prints, pasted into a
// shell as it stands, does what the text says. The built program on
// temporary folders with a private profile.
#include "cli-test-run.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <thread>

namespace {

namespace fs = std::filesystem;

class CliHints : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;
    std::vector<std::string> m_mounts; // unmounted at the end, also after a failure

    ~CliHints() override {
        for (auto it = m_mounts.rbegin(); it != m_mounts.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    void Write(const std::string& rel, const std::string& content) {
        m_tmp.MakeDir(fs::path(rel).parent_path().string());
        ASSERT_TRUE(m_tmp.WriteFile(rel, content)) << rel;
    }
    CCliRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), {CliProgram(), "--profile", P("profile")});
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram(std::move(args), P("out" + n), P("err" + n));
    }
    // A printed command line run by a shell, "torvane" found in PATH.
    CCliRun Paste(const std::string& line) {
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram({"bash", "-c", line}, P("out" + n), P("err" + n),
                             {"PATH=" + fs::path(CliProgram()).parent_path().string() + ":" + getenv("PATH")});
    }
    // The names and bytes below a folder, outside "_tvdata_".
    std::map<std::string, std::string> Tree(const std::string& rel) {
        std::map<std::string, std::string> m;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(P(rel), ec); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string name = it->path().string().substr(P(rel).size());
            if (name == "/_tvdata_") {
                it.disable_recursion_pending();
                continue;
            }
            m[name] = it->is_directory() ? "<dir>" : CliReadAll(it->path().string());
        }
        return m;
    }
    // A pair "<job>/L", "<job>/R" synced once, both holding "<job>.txt"
    // and "<job>/<job>.txt".
    void SyncedPair(const std::string& job) {
        Write(job + "/L/" + job + ".txt", "a");
        Write(job + "/L/" + job + "/" + job + ".txt", "b");
        m_tmp.MakeDir(job + "/R");
        ASSERT_EQ(Run({"job", "add", job, P(job + "/L"), P(job + "/R")}).code, 0);
        ASSERT_EQ(Run({"sync", job}).code, 0);
    }
    bool Mount(const std::string& rel, const std::string& options) {
        if (mount("tvhint", P(rel).c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
        m_mounts.push_back(P(rel));
        return true;
    }
};

// Per situation: what makes it, the command that meets it and its exit
// code, what the text says and must never say, the command it prints (after
// "torvane --profile PROFILE ") and what pasting that command does.
struct SHintCase {
    const char* what;
    bool bNeedsRoot;
    std::function<void()> make;
    std::vector<std::string> command;
    int code;
    std::vector<std::string> says, neverSays;
    std::string printed;     // empty: a text without a command
    int pastedCode;
    std::function<void()> checkPasted;
};

TEST_F(CliHints, EveryTextNamesWhatIsTrueAndEveryPrintedCommandDoesWhatItSays) {
    const bool bRoot = geteuid() == 0;
    const std::string start = "torvane --profile " + P("profile") + " ";
    // A right root so deep that a long name fits the left and not the right.
    std::string deep = "deep/R";
    while (P(deep).size() < 4096 - 250 + 20) deep += "/" + std::string(std::min<size_t>(200, 4096 - 230 - P(deep).size()), 'd');
    const std::string longName(240, 'n');

    const SHintCase cases[] = {
        {"a right folder replaced by another job's right folder", false,
         [&] {
             SyncedPair("fr");
             SyncedPair("other");
             fs::rename(P("fr/R"), P("fr/R.real"));
             fs::copy(P("other/R"), P("fr/R"), fs::copy_options::recursive);
             Write("fr/R/theirs.txt", "t");
         },
         {"sync", "fr"}, 3,
         {"The right folder " + P("fr/R") + " holds none of the 3 items"}, {"The left folder"},
         "sync fr --force", 0,
         [&] {
             EXPECT_EQ(CliReadAll(P("fr/R/fr.txt")), "a");
             EXPECT_EQ(CliReadAll(P("fr/L/theirs.txt")), "t");
         }},
        {"a folder below the left side that became a mount point", true,
         [&] {
             SyncedPair("mt");
             ASSERT_TRUE(Mount("mt/L/mt", "size=1m"));
         },
         {"sync", "mt"}, 3, {"In the left folder " + P("mt/L") + ", /mt became another file system"}, {},
         "sync mt --force", 0, [&] { EXPECT_FALSE(fs::exists(P("mt/R/mt/mt.txt"))); }},
        {"a read-only right side", false,
         [&] {
             Write("ro/L/l.txt", "l");
             Write("ro/R/r.txt", "r");
             ASSERT_EQ(Run({"job", "add", "ro", P("ro/L"), P("ro/R")}).code, 0);
             if (bRoot) {
                 ASSERT_TRUE(Mount("ro/R", "size=1m"));
                 Write("ro/R/r.txt", "r");
                 ASSERT_EQ(mount(nullptr, P("ro/R").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
             } else {
                 chmod(P("ro/R").c_str(), 0555);
             }
         },
         {"sync", "ro"}, 1, {"Cannot create Torvane State Folder _tvdata_ on Right"}, {"Direction=1"},
         "job set ro Direction=2 ReadOnlySource=Yes", 0,
         [&] {
             // The right side is the read-only source now: the left becomes its copy.
             EXPECT_EQ(Run({"sync", "ro"}).code, 0);
             EXPECT_EQ(Tree("ro/L"), Tree("ro/R"));
             EXPECT_FALSE(fs::exists(P("ro/R/_tvdata_")));
             chmod(P("ro/R").c_str(), 0755);
         }},
        {"a lock an older version left for this job", false,
         [&] {
             SyncedPair("ol");
             // This version's owner line without its profile and process.
             std::string owner = CliReadAll(P("ol/L/_tvdata_/_insync_v4.tvl"));
             owner = owner.substr(0, owner.find(" (profile "));
             Write("ol/L/_tvdata_/lock.tvl", owner + " at: 2024.01.02 10:00:00 GMT\n" + P("ol/L"));
             Write("ol/L/new.txt", "n");
         },
         {"sync", "ol"}, 3, {"is locked by an older version of this program, for this job"},
         {"Another job is Syncing"}, "sync ol --override-locks", 0,
         [&] { EXPECT_EQ(CliReadAll(P("ol/R/new.txt")), "n"); }},
        {"a name too long for the right side's file system", false,
         [&] {
             Write("deep/L/" + longName, "x");
             m_tmp.MakeDir(deep);
             ASSERT_EQ(Run({"job", "add", "tl", P("deep/L"), P(deep)}).code, 0);
         },
         {"sync", "tl"}, 1, {"path too long for the file system"}, {"Re-Analyze"}, "", 0, nullptr},
        {"a folder that became a file on the right while a file in it changed on the left", false,
         [&] {
             SyncedPair("vf");
             std::this_thread::sleep_for(std::chrono::milliseconds(1100));
             Write("vf/L/vf/vf.txt", "changed");
             fs::remove_all(P("vf/R/vf"));
             Write("vf/R/vf", "a file now");
         },
         {"sync", "vf"}, 2,
         {"Sync will replace Folder /vf on Left with the file that took its name on Right, File /vf/vf.txt"},
         {"Sync will delete Folder", "Cannot delete folder"}, "", 0, nullptr},
        {"a job name with a line end", false, [] {}, {"job", "add", "a\nb", P("fr/L"), P("fr/R")}, 1,
         {"torvane: bad job name 'a\\nb': Job name 'a\\nb' must not contain"}, {"a\nb"}, "", 0, nullptr},
        {"a first sync names the state file it writes", false,
         [&] {
             Write("fs/L/a.txt", "a");
             m_tmp.MakeDir("fs/R");
             ASSERT_EQ(Run({"job", "add", "fs", P("fs/L"), P("fs/R")}).code, 0);
         },
         {"-v", "sync", "fs"}, 0, {"State file does not exist: " + P("fs/L/_tvdata_/_file_state_v4._tv")},
         {"_file_state._tv"}, "", 0, nullptr},
    };
    for (const SHintCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.bNeedsRoot && !bRoot) {
            std::cout << "[ SKIPPED  ] " << c.what << ": needs root (mounts)\n";
            continue;
        }
        c.make();
        if (HasFatalFailure()) return;
        const CCliRun r = Run(c.command);
        const std::string text = r.out + r.err;
        EXPECT_EQ(r.code, c.code) << text;
        for (const std::string& s : c.says) EXPECT_NE(text.find(s), std::string::npos) << s << "\n" << text;
        for (const std::string& s : c.neverSays) EXPECT_EQ(text.find(s), std::string::npos) << s << "\n" << text;
        if (c.printed.empty()) continue;
        // The line's command, as a user copies it from the text.
        const size_t at = text.find(start + c.printed);
        if (at == std::string::npos) {
            ADD_FAILURE() << "not printed: " << start + c.printed << "\n" << text;
            continue;
        }
        const CCliRun pasted = Paste(text.substr(at, start.size() + c.printed.size()));
        EXPECT_EQ(pasted.code, c.pastedCode) << pasted.out << pasted.err;
        c.checkPasted();
    }
}

TEST_F(CliHints, EveryOptionShownSetBackAsShownChangesNothing) {
    Write("L/a.txt", "a");
    m_tmp.MakeDir("R");
    ASSERT_EQ(Run({"job", "add", "j", P("L"), P("R"), "--set", "FiltersExcluded=*.tmp"}).code, 0);
    const CCliRun shown = Run({"job", "show", "j", "--all"});
    ASSERT_EQ(shown.code, 0);
    // Each "  KEY = VALUE" of the <Job> block, given back as KEY=VALUE.
    std::vector<std::string> sets = {"job", "set", "j"};
    std::istringstream lines(shown.out.substr(shown.out.find("<Job>\n") + 6));
    for (std::string line; std::getline(lines, line) && line != "</Job>";) {
        const size_t eq = line.find(" =");
        ASSERT_NE(eq, std::string::npos) << line;
        std::string value = line.substr(std::min(line.size(), eq + 3));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        sets.push_back(line.substr(2, eq - 2) + "=" + value);
    }
    EXPECT_GT(sets.size(), 30u);
    ASSERT_EQ(Run(sets).code, 0);
    EXPECT_EQ(Run({"job", "show", "j", "--all"}).out, shown.out);
    const CCliRun sy = Run({"sync", "j"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    EXPECT_EQ(CliReadAll(P("R/a.txt")), "a");
}

} // namespace
