// Folders another local user can write: what root's "torvane" refuses to
// trust there (a data folder, a link on the way to a side, a profile) and
// what it leaves as it stands. The built program run as root, with the
// second account "tvother" planting links and folders.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;

class CliUntrusted : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    void SetUp() override {
        // tvother reaches the test's folders (each keeps its own mode).
        chmod(m_tmp.Native().c_str(), 0755);
    }
    std::string P(const std::string& rel = "") const { return m_tmp.NativeSub(rel); }
    CCliRun Run(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        if (env.empty()) args.insert(args.begin(), {"--profile", P("profile")});
        args.insert(args.begin(), CliProgram());
        const std::string n = std::to_string(m_nRun++);
        return CliRunProgram(std::move(args), P("out" + n), P("err" + n), env);
    }
    static std::string Mode(const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return "missing";
        char buf[32];
        snprintf(buf, sizeof buf, "%04o:%u", (unsigned)(st.st_mode & 07777), (unsigned)st.st_uid);
        return buf;
    }
    // Every item below a folder (links not followed) with its mode, owner and content.
    static std::map<std::string, std::string> Tree(const std::string& root) {
        std::map<std::string, std::string> m;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::string v = Mode(it->path().string());
            if (it->is_symlink())
                v += "->" + fs::read_symlink(it->path()).string();
            else if (it->is_regular_file())
                v += ":" + CliReadAll(it->path().string());
            m[it->path().string().substr(root.size())] = v;
        }
        return m;
    }
};

// A shared left folder (root's, open to all) that tvother plants in before
// root's first sync: each plant is refused with exit 3, a message naming the
// item and its owner, and nothing changed on either side or where it points.
TEST_F(CliUntrusted, PlantedDataFolderIsRefusedBeforeAnythingIsDoneToIt) {
    TV_NEED_OTHER_USER();
    struct {
        const char* name;
        const char* plant;    // run in the shared folder; {V}: the victim folder
        bool bOpenDataFolder; // root's own "_tvdata_" stands open (an older version's)
        const char* said;
        bool bAsRoot = false; // what tvother could make only where the system lets it
    } const cases[] = {
        {"link", "ln -s {V} _tvdata_", false, "shared/_tvdata_ is a link (owned by tvother)"},
        {"other's folder", "mkdir -m 777 _tvdata_", false,
         "shared/_tvdata_ is owned by tvother, not by root"},
        {"lock link", "ln -s {V}/secret _tvdata_/lock.tvl", true,
         "_tvdata_/lock.tvl is a link (owned by tvother)"},
        {"state link", "ln -s {V}/secret _tvdata_/_file_state_v4._tv", true,
         "_tvdata_/_file_state_v4._tv is a link (owned by tvother)"},
        {"state of other", "echo x > _tvdata_/_file_state_v4._tv", true,
         "_tvdata_/_file_state_v4._tv is owned by tvother"},
        {"saved link", "ln -s {V} _tvdata_/_saved_", true, "_tvdata_/_saved_ is a link (owned by tvother)"},
        {"history of other", "mkdir -m 777 _tvdata_/_history_", true,
         "_tvdata_/_history_ is owned by tvother"},
        {"nested of other", "mkdir -p sub/_tvdata_ && echo x > sub/_tvdata_/_file_state_v4._tv", false,
         "shared/sub/_tvdata_ is owned by tvother"},
        {"hard link", "ln {V}/secret _tvdata_/_file_state_v4._tv", true,
         "_tvdata_/_file_state_v4._tv is a file with 2 names", true},
        {"fifo", "mkfifo _tvdata_/_file_state_v4._tv", true, "is neither a file nor a folder", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string base = "case" + std::to_string(&c - cases);
        const std::string shared = P(base + "/shared"), mine = P(base + "/mine"),
                          victim = P(base + "/victim");
        ASSERT_TRUE(m_tmp.MakeDir(base + "/shared") && m_tmp.MakeDir(base + "/mine") &&
                    m_tmp.MakeDir(base + "/victim"));
        chmod(shared.c_str(), 0777);
        m_tmp.WriteFile(base + "/shared/a.txt", "a");
        m_tmp.WriteFile(base + "/mine/b.txt", "b");
        m_tmp.WriteFile(base + "/victim/secret", "secret");
        chmod(victim.c_str(), 0755);
        if (c.bOpenDataFolder) {
            ASSERT_TRUE(m_tmp.MakeDir(base + "/shared/_tvdata_"));
            chmod((shared + "/_tvdata_").c_str(), 0777);
        }
        std::string plant = c.plant;
        for (size_t at = 0; (at = plant.find("{V}", at)) != std::string::npos; at += victim.size())
            plant.replace(at, 3, victim);
        ASSERT_TRUE(c.bAsRoot ? system(("cd " + shared + " && " + plant).c_str()) == 0
                              : AsOtherUser("cd " + shared + " && " + plant));
        ASSERT_EQ(Run({"job", "add", base, shared, mine, "--type", "1"}).code, 0);
        auto before = Tree(P(base));
        // Root's own open folder is closed first, so that nothing can be
        // planted after its items were looked at.
        if (c.bOpenDataFolder) before["/shared/_tvdata_"] = "0700:0";
        const CCliRun r = Run({"sync", base});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("To fix: if that item is not the job's, have it removed"), std::string::npos) << r.err;
        EXPECT_EQ(Tree(P(base)), before);
    }
}

// Root's own data folder left open by an older version: it and the folders
// in it are closed, each through its own descriptor; new data folders,
// state files and logs are their owner's alone at any umask.
TEST_F(CliUntrusted, OpenDataFolderIsClosedWithEveryFolderInIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (to check modes at umask 0 as the owner of all)";
    const char* const open[] = {"left/_tvdata_", "left/_tvdata_/_saved_", "left/_tvdata_/_saved_/docs",
                                "left/_tvdata_/_history_", "left/_tvdata_/_history_/docs/old"};
    for (const char* d : open) ASSERT_TRUE(m_tmp.MakeDir(d) && chmod(P(d).c_str(), 0755) == 0);
    chmod(P("left/_tvdata_/_history_/docs").c_str(), 0755);
    m_tmp.WriteFile("left/a.txt", "a");
    ASSERT_TRUE(m_tmp.MakeDir("right") && Run({"job", "add", "j", P("left"), P("right")}).code == 0);
    const mode_t old = umask(0);
    const CCliRun r = Run({"sync", "j"});
    umask(old);
    EXPECT_EQ(r.code, 0) << r.err;
    for (const char* d : open) EXPECT_EQ(Mode(P(d)), "0700:0") << d;
    EXPECT_EQ(Mode(P("left/_tvdata_/_history_/docs")) + Mode(P("right/_tvdata_")), "0700:00700:0");
    EXPECT_EQ(Mode(P("right/_tvdata_/_file_state_v4._tv")), "0600:0");
    // A lock that a killed run left with its temporary's second name does not hold the next run.
    ASSERT_TRUE(m_tmp.WriteFile("left/_tvdata_/lock.tvl", "left by a killed run"));
    fs::create_hard_link(P("left/_tvdata_/lock.tvl"), P("left/_tvdata_/0123._tvtmp"));
    EXPECT_EQ(Run({"sync", "j"}).code, 0);
    for (const auto& e : fs::recursive_directory_iterator(P("profile")))
        EXPECT_TRUE(e.path().extension() != ".log" || Mode(e.path().string()) == "0600:0") << e.path();
}

// tvother owns the folder that holds the shared side and swaps the side
// for a link to root's private folder, which holds another job's data
// folder: the link is refused. The same swap made with a link of root's
// (or any folder put in the side's place) finds none of the job's items
// there: the missing-drive rule holds it, whatever data folder stands there.
TEST_F(CliUntrusted, SideSwappedForAFolderWithAnotherJobsDataFolderIsNotSynced) {
    TV_NEED_OTHER_USER();
    for (const char* d : {"home/shared", "mine", "priv", "privbak"}) ASSERT_TRUE(m_tmp.MakeDir(d));
    chmod(P("priv").c_str(), 0700);
    for (int i = 0; i < 3; ++i) m_tmp.WriteFile("home/shared/s" + std::to_string(i), "s");
    for (int i = 0; i < 2; ++i) m_tmp.WriteFile("priv/p" + std::to_string(i), "private");
    ASSERT_EQ(chown(P("home").c_str(), OtherUser().uid, OtherUser().gid), 0);
    ASSERT_EQ(chown(P("home/shared").c_str(), OtherUser().uid, OtherUser().gid), 0);
    ASSERT_EQ(Run({"job", "add", "a", P("home/shared"), P("mine")}).code, 0);
    ASSERT_EQ(Run({"job", "add", "b", P("priv"), P("privbak")}).code, 0);
    ASSERT_EQ(Run({"sync", "a"}).code + Run({"sync", "b"}).code, 0);

    ASSERT_TRUE(AsOtherUser("cd " + P("home") + " && mv shared old && ln -s " + P("priv") + " shared"));
    const auto mine = Tree(P("mine")), priv = Tree(P("priv"));
    CCliRun r = Run({"sync", "a"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("is reached through the link " + P("home/shared") + ", owned by tvother"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Tree(P("mine")), mine);
    EXPECT_EQ(Tree(P("priv")), priv);

    // The same with a link of root's, to a folder whose data folder is
    // another job's, that recorded items or (its folder emptied) none.
    ASSERT_TRUE(m_tmp.MakeDir("empty") && m_tmp.MakeDir("emptybak") && m_tmp.WriteFile("empty/x", "x"));
    ASSERT_EQ(Run({"job", "add", "c", P("empty"), P("emptybak")}).code + Run({"sync", "c"}).code, 0);
    fs::remove(P("empty/x"));
    ASSERT_TRUE(Run({"sync", "c"}).code == 0 && m_tmp.WriteFile("empty/private", "p"));
    for (const char* target : {"priv", "empty"}) {
        SCOPED_TRACE(target);
        fs::remove(P("home/shared"));
        fs::create_directory_symlink(P(target), P("home/shared"));
        const auto before = Tree(P(target));
        r = Run({"sync", "a"});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find("holds none of the 3 items the last sync left in it, only a _tvdata_ that "
                             "records none of them"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(Tree(P("mine")), mine);
        EXPECT_EQ(Tree(P(target)), before);
    }
}

// A profile folder another user owns or can write is refused, named with
// its owner and mode, whichever way it is given; the program log in an own
// profile is never written through a link or a second name at its name.
TEST_F(CliUntrusted, ProfileOfAnotherUserOrOpenToOthersIsRefused) {
    TV_NEED_OTHER_USER();
    struct {
        const char* name;
        uid_t owner;
        mode_t mode;
        bool bEnv;
        const char* said;
    } const cases[] = {
        {"other's", OtherUser().uid, 0700, false, "is owned by tvother with mode 0700"},
        {"other's by variable", OtherUser().uid, 0755, true, "is owned by tvother with mode 0755"},
        {"open to all", 0, 0777, false, "is owned by root with mode 0777"},
        {"open to the group", 0, 0770, true, "is owned by root with mode 0770"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = P(std::string("prof-") + std::to_string(&c - cases));
        ASSERT_TRUE(fs::create_directory(dir));
        ASSERT_EQ(chown(dir.c_str(), c.owner, OtherUser().gid), 0);
        chmod(dir.c_str(), c.mode);
        const CCliRun r = c.bEnv ? Run({"job", "list"}, {"TORVANE_PROFILE_DIR=" + dir})
                                 : Run({"--profile", dir, "job", "list"}, {"TORVANE_PROFILE_DIR="});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find("the profile folder " + dir + " " + c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.owner ? "To fix: use a profile folder of your own" : "To fix: chmod go-w " + dir),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(fs::is_empty(dir));
    }

    // The stored settings' folder named apart from the profile.
    ASSERT_TRUE(m_tmp.MakeDir("okprof") && chmod(P("okprof").c_str(), 0700) == 0);
    CCliRun r = Run({"job", "list"}, {"TORVANE_PROFILE_DIR=" + P("okprof"), "TORVANE_REGISTRY_DIR=" + P("prof-2")});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("the profile folder " + P("prof-2") + " is owned by root with mode 0777"),
              std::string::npos)
        << r.err;

    // An own profile reached through tvother's link.
    ASSERT_TRUE(m_tmp.MakeDir("theirs") && m_tmp.MakeDir("mineprof"));
    chmod(P("mineprof").c_str(), 0700);
    ASSERT_EQ(chown(P("theirs").c_str(), OtherUser().uid, OtherUser().gid), 0);
    ASSERT_TRUE(AsOtherUser("ln -s " + P("mineprof") + " " + P("theirs/prof")));
    r = Run({"--profile", P("theirs/prof"), "job", "list"}, {"TORVANE_PROFILE_DIR="});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("is reached through the link " + P("theirs/prof") + ", owned by tvother"),
              std::string::npos)
        << r.err;

    // The program log's name today holds a link, then a second name of a file.
    ASSERT_TRUE(m_tmp.MakeDir("own") && m_tmp.MakeDir("target") && m_tmp.MakeDir("side"));
    chmod(P("own").c_str(), 0700);
    m_tmp.WriteFile("target/victim", "victim");
    char day[32];
    const time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    strftime(day, sizeof day, "torvane-%Y-%m-%d.log", &t);
    const std::string victimMode = Mode(P("target/victim"));
    for (bool bHard : {false, true}) {
        SCOPED_TRACE(bHard ? "hard link" : "link");
        const std::string log = P("own/") + day;
        fs::remove(log);
        if (bHard)
            fs::create_hard_link(P("target/victim"), log);
        else
            fs::create_symlink(P("target/victim"), log);
        const CCliRun r =
            Run({"--profile", P("own"), "job", "add", bHard ? "h" : "s", P("target"), P("side")},
                {"TORVANE_PROFILE_DIR="});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(CliReadAll(P("target/victim")), "victim");
        EXPECT_EQ(Mode(P("target/victim")), victimMode);
    }
}

} // namespace
