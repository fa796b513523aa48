// Root's "torvane" backing up a home folder of the second local user with
// owners and ACLs kept (CopyACL), and what that user swaps in or plants
// while it runs.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"
#include "zor-text.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

namespace {

class OwnersCli : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    void SetUp() override {
        TV_NEED_OTHER_USER();
        ASSERT_EQ(chmod(m_tmp.Native().c_str(), 0755), 0);
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    // A folder (or, with text, a file) of the other user's.
    void Others(const std::string& rel, unsigned mode, const char* text = nullptr) {
        ASSERT_TRUE(text ? m_tmp.WriteFile(rel, text) : m_tmp.MakeDir(rel)) << rel;
        ASSERT_EQ(chown(P(rel).c_str(), OtherUser().uid, OtherUser().gid) | chmod(P(rel).c_str(), mode), 0);
    }
    CCliRun Tv(std::vector<std::string> args) {
        const std::string n = std::to_string(m_nRun++);
        args.insert(args.begin(), {"timeout", "-s", "KILL", "120", CliProgram(), "--profile", P("profile")});
        return CliRunProgram(args, P("out" + n), P("err" + n));
    }
    // Owner, mode and both ACLs of an item itself.
    static std::string Sec(const std::string& path) {
        struct stat st {};
        std::string s = lstat(path.c_str(), &st) == 0
                            ? std::to_string(st.st_uid) + ":" + std::to_string(st.st_mode & 07777)
                            : "missing";
        for (const char* name : {"system.posix_acl_access", "system.posix_acl_default"}) {
            char buf[512];
            const ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof buf);
            s += ":" + (n < 0 ? std::string("-") : std::string(buf, (size_t)n));
        }
        return s;
    }
};

} // namespace

// The user's files and folders keep their owners, modes and ACLs in root's
// backup, new and replaced ones; a folder that cannot take them (made
// append-only) is an error of the run, and the new file in it arrives.
TEST_F(OwnersCli, CopiesKeepOwnersModesAndAclsAndAFolderThatCannotTakeThemIsAnError) {
    Others("home/u", 0750);
    Others("home/u/a.txt", 0640, "a");
    Others("home/u/docs", 0700);
    Others("home/u/docs/b.txt", 0600, "b");
    ASSERT_EQ(system(("setfacl -m u:nobody:r " + P("home/u/a.txt") + " && setfacl -d -m u:nobody:rx " +
                      P("home/u/docs"))
                         .c_str()),
              0);
    ASSERT_TRUE(m_tmp.MakeDir("bak"));
    ASSERT_EQ(Tv({"job", "add", "b", P("home"), P("bak"), "--type", "1", "--set", "CopyACL=Yes"}).code, 0);
    CCliRun r = Tv({"sync", "b"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (const char* rel : {"/u", "/u/a.txt", "/u/docs", "/u/docs/b.txt"})
        EXPECT_EQ(Sec(P("bak") + rel), Sec(P("home") + rel)) << rel;

    Others("home/u/docs/c.txt", 0644, "c");
    Others("home/u/a.txt", 0604, "a, changed");
    ASSERT_EQ(chmod(P("home/u/docs").c_str(), 0750), 0);
    if (system(("chattr +a " + P("bak/u/docs") + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +a is not available here";
    r = Tv({"sync", "b"});
    EXPECT_EQ(system(("chattr -a " + P("bak/u/docs")).c_str()), 0);
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Cannot set folder ACL"), std::string::npos) << r.err;
    for (const char* rel : {"/u/a.txt", "/u/docs/c.txt"})
        EXPECT_EQ(Sec(P("bak") + rel), Sec(P("home") + rel)) << rel;
}

// The user owns its folder in the backup and, while root's run copies into
// it, swaps each new folder there for a link to root's own folder as soon as
// root made something in it: no owner, ACL or mode is given through the
// link, and each folder met so is an error line.
TEST_F(OwnersCli, ALinkSwappedInWhileOwnersAreGivenOutIsNeverFollowed) {
    Others("home/u", 0755);
    Others("home/u/keep", 0755);
    ASSERT_TRUE(m_tmp.MakeDir("bak") && m_tmp.MakeDir("victim"));
    ASSERT_EQ(chmod(P("victim").c_str(), 0700), 0);
    const std::string victim = Sec(P("victim"));
    ASSERT_EQ(Tv({"job", "add", "b", P("home"), P("bak"), "--type", "1", "--set", "CopyACL=Yes"}).code, 0);
    CCliRun r = Tv({"sync", "b"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    // The user's loop, until the test stops it.
    const char* const loop = "import os, sys\n"
                             "os.chdir(sys.argv[1])\n"
                             "print('ready', flush=True)\n"
                             "while not os.path.exists(sys.argv[2]):\n"
                             " for d in os.listdir('.'):\n"
                             "  if d[0] == 'n' and not os.path.islink(d) and os.path.isdir(d + '/e'):\n"
                             "   os.rename(d, 'x' + d)\n"
                             "   os.symlink(sys.argv[3], d)\n";
    const pid_t attacker = CliStartProgram(
        {"runuser", "-u", "tvother", "--", "python3", "-c", loop, P("bak/u"), P("stop"), P("victim")},
        P("attack-out"), P("attack-err"));
    ASSERT_GT(attacker, 0);
    for (int i = 0; i < 200 && CliReadAll(P("attack-out")).empty(); ++i) usleep(50000);
    // New folders until the loop has swapped one in time (on a busy machine
    // it may miss a run).
    bool bMet = false;
    for (int round = 0; round < 5 && !bMet && Sec(P("victim")) == victim; ++round) {
        for (int i = 0; i < 40; ++i) {
            const std::string n = "home/u/n" + std::to_string(round) + "-" + std::to_string(i);
            Others(n, 0755);
            Others(n + "/e", 0755);
        }
        r = Tv({"sync", "b"});
        bMet = r.code == 1 && r.err.find("it is a link, not followed") != std::string::npos;
    }
    ASSERT_TRUE(m_tmp.WriteFile("stop", ""));
    waitpid(attacker, nullptr, 0);
    EXPECT_EQ(Sec(P("victim")), victim);
    EXPECT_TRUE(bMet) << r.out << r.err;
}

// Where copies are made beside their targets, the user plants a folder at
// the name a copy to "a.txt" had on its way: every run copies it all the same.
TEST_F(OwnersCli, AFolderPlantedAtACopysFormerNameBesideItsTargetDoesNotStopIt) {
    const std::string planted = std::string(Md5HexOfText("/a.txt").GetString()) + "._tvtmp";
    const char* const settings[] = {"NoTvDataFolder=Yes", "CopyUsingTempFile=No"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(settings[i]);
        const std::string d = "c" + std::to_string(i);
        ASSERT_TRUE(m_tmp.MakeDir(d + "/src"));
        Others(d + "/share", 0755);
        Others(d + "/share/" + planted, 0755);
        Others(d + "/share/" + planted + "/keep", 0644, "mine");
        ASSERT_EQ(
            Tv({"job", "add", d, P(d + "/src"), P(d + "/share"), "--type", "1", "--set", settings[i]}).code,
            0);
        for (const char* text : {"one", "two"}) {
            ASSERT_TRUE(m_tmp.WriteFile(d + "/src/a.txt", text));
            const CCliRun r = Tv({"sync", d});
            EXPECT_EQ(r.code, 0) << r.out << r.err;
            EXPECT_EQ(CliReadAll(P(d + "/share/a.txt")), text);
        }
    }
}
