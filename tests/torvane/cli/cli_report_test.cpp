// What "torvane analyze" and "torvane sync" tell a user and decide for one:
// the action list and its counts, conflicts resolved with --prefer, and
// the refusal to delete most of a side. The built program on temporary
// folders.
#include "cli-test-run.h"
#include "job-harness.h"

#include <gtest/gtest.h>


#include <chrono>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;

using CRun = CCliRun;

class CliReport : public ::testing::Test {
protected:
    CTempFolder m_tmp;

    CRun Run(std::vector<std::string> args) {
        args.insert(args.begin(), {CliProgram(), "--profile", P("profile")});
        CRun r = CliRunProgram(std::move(args), m_tmp.NativeSub("out"), m_tmp.NativeSub("err"));
        // The summary ends by naming the run's log file; the lines are compared without it.
        for (size_t at; (at = r.out.find("; log: ")) != std::string::npos;)
            r.out.erase(at, r.out.find('\n', at) - at);
        return r;
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    // The run logs in the profile whose names end as given, each as "NAME\nTEXT".
    std::string Logs(const std::string& ending = ".log") {
        std::string all;
        for (const auto& e : fs::recursive_directory_iterator(P("profile/_tvdata_mirrors_"))) {
            const std::string name = e.path().filename().string();
            if (name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
                all += name + "\n" + CliReadAll(e.path().string());
        }
        return all;
    }
    void Write(const std::string& rel, const std::string& text) {
        m_tmp.MakeDir(fs::path(rel).parent_path().string());
        m_tmp.WriteFile(rel, text);
    }
    // Names and contents below a folder, without its data folder.
    std::map<std::string, std::string> Tree(const std::string& rel) {
        std::map<std::string, std::string> m;
        const std::string root = P(rel);
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
             ++it) {
            const std::string sub = it->path().string().substr(root.size());
            if (sub == "/_tvdata_") {
                it.disable_recursion_pending();
                continue;
            }
            m[sub] = it->is_regular_file() ? CliReadAll(it->path().string()) : "<dir>";
        }
        return m;
    }
};

} // namespace

TEST_F(CliReport, DeletesMovesAndStateMergesAreCountedAsAPersonWould) {
    Write("L/a.txt", "alpha");
    Write("L/b.txt", "bravo!");
    for (int i = 0; i < 3; ++i) Write("L/docs/f" + std::to_string(i), "doc " + std::to_string(i));
    // The same files on both sides before the first sync: merged, not copied.
    for (int i = 0; i < 8; ++i) {
        const std::string n = "/same" + std::to_string(i);
        Write("L" + n, "same");
        Write("R" + n, "same");
        fs::last_write_time(P("R" + n), fs::last_write_time(P("L" + n)));
    }
    ASSERT_EQ(Run({"job", "add", "j", P("L"), P("R")}).code, 0);
    EXPECT_EQ(Run({"analyze", "j"}).out.find("same"), std::string::npos);
    EXPECT_EQ(Run({"sync", "j"}).out, "synced: 6 done, 0 conflicts, 0 errors\n");

    fs::remove(P("L/a.txt"));
    fs::rename(P("L/docs"), P("L/papers"));
    fs::create_directory(P("R/sub"));
    fs::rename(P("R/b.txt"), P("R/sub/b.txt"));
    const auto r0 = Tree("R");
    const CRun an = Run({"analyze", "j"});
    EXPECT_EQ(an.code, 0) << an.err;
    EXPECT_EQ(an.out, "delete right\t/a.txt\n"
                      "rename \xE2\x86\x92\t/docs/\t/papers/\n"
                      "copy \xE2\x86\x90\t/sub/\n"
                      "move \xE2\x86\x90\t/b.txt\t/sub/b.txt\n"
                      "analyzed: 4 to do, 0 conflicts, 0 errors\n");
    EXPECT_EQ(Tree("R"), r0);
    const CRun sy = Run({"sync", "j"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    EXPECT_EQ(sy.out,
              "synced: 4 done, 0 conflicts, 0 errors; deleted: 0 items on the left, 1 on the right\n");
    EXPECT_EQ(Tree("L"), Tree("R"));
    EXPECT_EQ(Tree("R").count("/papers/f2"), 1u);

    const std::string help = Run({"--help"}).out;
    for (const char* word :
         {"copy \xE2\x86\x92", "delete right", "rename \xE2\x86\x92", "case \xE2\x86\x92",
          "time \xE2\x86\x92", "conflict PATH", "--max-delete", "--type 0|1|2   job add",
          "--set KEY=VALUE  job add", "--all          job show",
          "sync NAME [--prefer SIDE (PATH ... | --all)]\n"
          "                                  [--force] [--max-delete PERCENT] [--override-locks]"})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST_F(CliReport, ConflictsResolvedWithPreferKeepTheLosingVersion) {
    Write("L/a.txt", "a");
    Write("L/d/b.txt", "b");
    Write("L/v/x.txt", "x");
    Write("L/v/y.txt", "y");
    m_tmp.MakeDir("R");
    ASSERT_EQ(Run({"job", "add", "j", P("L"), P("R")}).code, 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Write("L/a.txt", "left a");
    Write("R/a.txt", "right a!");
    Write("L/d/b.txt", "left b");
    Write("R/d/b.txt", "right b!");
    // Changed on the left inside a folder the right deleted.
    Write("L/v/x.txt", "left x");
    fs::remove_all(P("R/v"));

    CRun an = Run({"analyze", "j"});
    EXPECT_EQ(an.code, 2);
    EXPECT_NE(an.out.find("conflict\t/a.txt\t"), std::string::npos) << an.out;
    EXPECT_NE(an.out.find("sync j --prefer SIDE /d/b.txt\n"), std::string::npos) << an.out;
    // The summary counts the conflict lines it printed.
    EXPECT_NE(an.out.find("0 to do, 4 conflicts, 0 errors; to resolve: torvane --profile"),
              std::string::npos);
    // Each printed command, pasted into a shell as it stands, changes nothing.
    const auto l0 = Tree("L"), r0 = Tree("R");
    for (size_t at = 0, end; (end = an.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = an.out.substr(at, end - at);
        const size_t cmd = line.find("torvane --profile");
        ASSERT_NE(cmd, std::string::npos) << line;
        const CRun pasted =
            CliRunProgram({"bash", "-c", line.substr(cmd)}, P("out"), P("err"),
                          {"PATH=" + fs::path(CliProgram()).parent_path().string() + ":" + getenv("PATH")});
        EXPECT_NE(pasted.code, 0) << line;
    }
    EXPECT_EQ(Tree("L"), l0);
    EXPECT_EQ(Tree("R"), r0);
    // analyze shows the choice and changes nothing.
    an = Run({"analyze", "j", "--prefer", "left", "/a.txt"});
    EXPECT_EQ(an.code, 2);
    EXPECT_NE(an.out.find("copy \xE2\x86\x92\t/a.txt\n"), std::string::npos) << an.out;
    EXPECT_NE(an.out.find("analyzed: 1 to do, 3 conflicts"), std::string::npos) << an.out;
    EXPECT_EQ(CliReadAll(P("R/a.txt")), "right a!");

    const std::vector<std::vector<std::string>> refused = {
        {"sync", "j", "--prefer", "left", "/nothing/here"},
        {"sync", "j", "--prefer", "left", "../a.txt"},
        {"sync", "j", "/a.txt"},
        {"sync", "j", "--prefer", "up"},
        {"analyze", "j", "--force"},
        {"sync", "j", "--max-delete", "101"},
        {"sync", "j", "--prefer", "left", "--all", "/a.txt"},
        {"sync", "j", "--all"},
        {"sync", "j", "-n"}};
    for (const auto& args : refused) EXPECT_EQ(Run(args).code, 1) << args.back();
    // Every conflict at once takes the word that says so.
    for (const char* verb : {"sync", "analyze"}) {
        const CRun all = Run({verb, "j", "--prefer", "left"});
        EXPECT_EQ(all.code, 1);
        EXPECT_NE(all.err.find("PATH ... (one or more), or --all for every conflict"), std::string::npos)
            << all.err;
    }
    EXPECT_NE(Run({"sync", "j", "--dry-run"}).err.find("analyze NAME lists what a sync would do"),
              std::string::npos);
    EXPECT_EQ(CliReadAll(P("L/a.txt")), "left a");

    // A local path names the item too; the other conflict stays.
    CRun sy = Run({"sync", "j", "--prefer", "right", P("L/d")});
    EXPECT_EQ(sy.code, 2) << sy.err;
    EXPECT_EQ(CliReadAll(P("L/d/b.txt")), "right b!");
    EXPECT_EQ(CliReadAll(P("L/_tvdata_/_saved_/d/b.txt")), "left b");
    EXPECT_NE(sy.out.find("synced: 1 done, 3 conflicts"), std::string::npos) << sy.out;
    // A choice that changes a file's decision goes to a log of the user's actions.
    EXPECT_NE(Logs("-user-action.log").find("User resolved the conflict: R wins: /d/b.txt"), std::string::npos);
    // The folder a chosen copy needs is made again.
    sy = Run({"sync", "j", "--prefer", "left", "/v/x.txt"});
    EXPECT_EQ(sy.code, 2) << sy.out;
    EXPECT_EQ(CliReadAll(P("R/v/x.txt")), "left x");
    sy = Run({"sync", "j", "--prefer", "left", "--all"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    EXPECT_NE(sy.out.find(" done, 0 conflicts, 0 errors"), std::string::npos) << sy.out;
    EXPECT_EQ(CliReadAll(P("R/a.txt")), "left a");
    EXPECT_EQ(CliReadAll(P("R/_tvdata_/_saved_/a.txt")), "right a!");
}

TEST_F(CliReport, SyncRefusesToDeleteMostOfASideUnlessForced) {
    for (int i = 0; i < 10; ++i) Write("L/f" + std::to_string(i), "x");
    for (int i = 0; i < 5; ++i) Write("L/d/g" + std::to_string(i), "y");
    Write("S/one", "1");
    Write("S/two", "2");
    m_tmp.MakeDir("R");
    m_tmp.MakeDir("T");
    ASSERT_EQ(Run({"job", "add", "j", P("L"), P("R")}).code, 0);
    ASSERT_EQ(Run({"job", "add", "small", P("S"), P("T")}).code, 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);
    ASSERT_EQ(Run({"sync", "small"}).code, 0);
    // 12 of the 16 items on the right would go.
    fs::remove_all(P("L/d"));
    for (int i = 0; i < 6; ++i) fs::remove(P("L/f" + std::to_string(i)));
    const auto r0 = Tree("R");
    CRun sy = Run({"sync", "j"});
    EXPECT_EQ(sy.code, 3);
    EXPECT_EQ(sy.out, "refused\n");
    EXPECT_NE(sy.err.find("delete 12 of the 16 items on the right"), std::string::npos) << sy.err;
    EXPECT_NE(sy.err.find("--force"), std::string::npos);
    EXPECT_EQ(Run({"sync", "j", "--max-delete", "70"}).code, 3);
    EXPECT_EQ(Tree("R"), r0);
    // analyze says that a sync would be refused, as for a folder not available.
    CRun an = Run({"analyze", "j"});
    EXPECT_EQ(an.code, 3);
    EXPECT_NE(an.err.find("a sync would stop here"), std::string::npos);
    EXPECT_NE(an.out.find("; a sync would be refused"), std::string::npos) << an.out;

    sy = Run({"sync", "j", "--force"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    EXPECT_EQ(sy.out,
              "synced: 7 done, 0 conflicts, 0 errors; deleted: 0 items on the left, 12 on the right\n");
    EXPECT_EQ(Tree("L"), Tree("R"));
    // The log has every line of a group the terminal cut short.
    EXPECT_EQ(Logs().find("select Job"), std::string::npos);
    EXPECT_EQ(Logs().find("more similar log lines"), std::string::npos);
    // Six or fewer may go, whatever their share.
    fs::remove(P("S/one"));
    fs::remove(P("S/two"));
    EXPECT_EQ(Run({"sync", "small"}).code, 0);
    EXPECT_TRUE(Tree("T").empty());
}

TEST_F(CliReport, EmptiedSourceFolderIsNotAvailableUnlessForced) {
    for (int i = 0; i < 8; ++i) Write("W/f" + std::to_string(i), "x");
    m_tmp.MakeDir("T");
    ASSERT_EQ(Run({"job", "add", "ow", P("W"), P("T"), "--type", "1"}).code, 0);
    ASSERT_EQ(Run({"sync", "ow"}).code, 0);
    // The source's drive is gone: its mount point stands empty.
    fs::rename(P("W"), P("W.real"));
    m_tmp.MakeDir("W");
    const auto t0 = Tree("T");
    CRun sy = Run({"sync", "ow", "--max-delete", "100"});
    EXPECT_EQ(sy.code, 3) << sy.err;
    EXPECT_NE(sy.err.find(P("W") + " is empty, but the last sync left 8 items"), std::string::npos) << sy.err;
    EXPECT_EQ(Tree("T"), t0);
    sy = Run({"sync", "ow", "--force"});
    EXPECT_EQ(sy.code, 0) << sy.err;
    EXPECT_TRUE(Tree("T").empty());
}

TEST_F(CliReport, FolderConflictIsOneLineAndTheSummaryCountsDeletionsPerSide) {
    // A folder deleted on the left against a change inside it on the right:
    // one line for the folder, one for the change, none for the rest inside.
    for (int i = 0; i < 40; ++i) Write("L/D/sub/f" + std::to_string(i), "x");
    for (const char* f : {"L/D/a.txt", "L/E/e0", "L/E/e1", "L/E/e2"}) Write(f, "a");
    m_tmp.MakeDir("R");
    ASSERT_EQ(Run({"job", "add", "j", P("L"), P("R")}).code, 0);
    ASSERT_EQ(Run({"sync", "j"}).code, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    fs::remove_all(P("L/D"));
    fs::remove_all(P("L/E"));
    Write("R/D/a.txt", "changed");
    const CRun r = Run({"sync", "j"});
    EXPECT_EQ(r.code, 2) << r.err;
    const std::string folder =
        "conflict\t/D/\tSync will delete Folder /D on Right because it is deleted on Left, "
        "File /D/a.txt changed on Right (Vertical Conflict); with it 41 items inside are in "
        "conflict\t";
    EXPECT_EQ(r.out.rfind(folder, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nconflict\t/D/a.txt\t"), std::string::npos) << r.out;
    // The third and last line: /E/ and what it held went on the right.
    EXPECT_NE(
        r.out.find("\nsynced: 1 done, 2 conflicts, 0 errors; deleted: 0 items on the left, 4 on the right;"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
}
