// Root's "torvane" backing up folders that a second local user owns, with
// owners and ACLs kept (CopyACL): what the copies get, a folder whose owner
// cannot be set, links that user swaps in while the run gives out owners,
// and what that user plants at the names of copies on their way.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"
#include "zor-text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

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
    // A folder or file of the other user's, with a mode.
    void Others(const std::string& rel, unsigned mode, const char* text = nullptr) {
        ASSERT_TRUE(text ? m_tmp.WriteFile(rel, text) : m_tmp.MakeDir(rel)) << rel;
        ASSERT_EQ(chown(P(rel).c_str(), OtherUser().uid, OtherUser().gid), 0) << rel;
        ASSERT_EQ(chmod(P(rel).c_str(), mode), 0) << rel;
    }
    CCliRun Tv(std::vector<std::string> args) {
        const std::string n = std::to_string(m_nRun++);
        args.insert(args.begin(), {"timeout", "-s", "KILL", "120", CliProgram(), "--profile", P("profile")});
        return CliRunProgram(args, P("out" + n), P("err" + n));
    }
    // "uid:mode" of an item itself (links not followed).
    static std::string Owner(const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return "missing";
        return std::to_string(st.st_uid) + ":" + std::to_string(st.st_mode & 07777);
    }
    static std::string Acl(const std::string& path, const char* name = "system.posix_acl_access") {
        char buf[512];
        const ssize_t n = lgetxattr(path.c_str(), name, buf, sizeof buf);
        return n < 0 ? std::string("none") : std::string(buf, (size_t)n);
    }
    std::string Who() const { return std::to_string(OtherUser().uid) + ":"; }
};

// Clears the append-only flag that a test set, whatever happens in it.
struct CAppendOnly {
    std::string path;
    bool bSet = false;
    explicit CAppendOnly(const std::string& p) : path(p) {
        bSet = system(("chattr +a " + path + " 2>/dev/null").c_str()) == 0;
    }
    ~CAppendOnly() {
        if (bSet) (void)!system(("chattr -a " + path).c_str());
    }
};

} // namespace

// New files and folders of the user's home copied by root: each keeps its
// owner, mode and ACL; a folder whose owner and ACL cannot be set (one made
// append-only) is an error of the run, whose new file still arrives.
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
    for (const char* rel : {"u", "u/a.txt", "u/docs", "u/docs/b.txt"}) {
        SCOPED_TRACE(rel);
        EXPECT_EQ(Owner(P(std::string("bak/") + rel)), Owner(P(std::string("home/") + rel)));
        EXPECT_EQ(Acl(P(std::string("bak/") + rel)), Acl(P(std::string("home/") + rel)));
    }
    EXPECT_EQ(Acl(P("bak/u/docs"), "system.posix_acl_default"), Acl(P("home/u/docs"), "system.posix_acl_default"));
    EXPECT_NE(Acl(P("bak/u/a.txt")), "none");

    Others("home/u/docs/c.txt", 0644, "c");
    ASSERT_EQ(chmod(P("home/u/docs").c_str(), 0750), 0);
    const CAppendOnly appendOnly(P("bak/u/docs"));
    if (!appendOnly.bSet) GTEST_SKIP() << "chattr +a is not available here";
    r = Tv({"sync", "b"});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Cannot set folder ACL"), std::string::npos) << r.err;
    EXPECT_EQ(Owner(P("bak/u/docs/c.txt")), Who() + std::to_string(0644));
}

// The user owns its folder in the backup and, while root's run copies into
// it, swaps each new folder there for a link to a folder of root's own as
// soon as root made something in it: the pass that gives out owners, ACLs
// and modes never reaches through the link. Each folder met so fails with
// an error line.
TEST_F(OwnersCli, ALinkSwappedInWhileOwnersAreGivenOutIsNeverFollowed) {
    Others("home/u", 0755);
    Others("home/u/keep", 0755);
    ASSERT_TRUE(m_tmp.MakeDir("bak") && m_tmp.MakeDir("victim"));
    ASSERT_EQ(chmod(P("victim").c_str(), 0700), 0);
    ASSERT_EQ(Tv({"job", "add", "b", P("home"), P("bak"), "--type", "1", "--set", "CopyACL=Yes"}).code, 0);
    CCliRun r = Tv({"sync", "b"});
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    ASSERT_EQ(Owner(P("bak/u")), Who() + std::to_string(0755));
    for (int i = 0; i < 40; ++i) {
        Others("home/u/n" + std::to_string(i), 0755);
        Others("home/u/n" + std::to_string(i) + "/e", 0755);
    }
    // The user's loop, until the test stops it.
    const std::string loop = "cd " + P("bak/u") + " && while [ ! -e " + P("stop") +
                             " ]; do for d in n*; do [ ! -L $d ] && [ -d $d/e ] && mv $d x$d && ln -s " +
                             P("victim") + " $d; done; done";
    const pid_t attacker =
        CliStartProgram({"runuser", "-u", "tvother", "--", "sh", "-c", loop}, P("attack-out"), P("attack-err"));
    ASSERT_GT(attacker, 0);
    r = Tv({"sync", "b"});
    ASSERT_TRUE(m_tmp.WriteFile("stop", ""));
    int st = 0;
    waitpid(attacker, &st, 0);
    EXPECT_EQ(Owner(P("victim")), "0:" + std::to_string(0700));
    // A link met is said, and the run ends with errors.
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("it is a link, not followed"), std::string::npos) << r.err;
}

// Where copies are made beside their targets (no data folder, or no
// temporary copies), the user plants a folder of its own at the name a copy
// to "a.txt" had on its way: every run copies the file all the same.
TEST_F(OwnersCli, AFolderPlantedAtACopysFormerNameBesideItsTargetDoesNotStopIt) {
    const std::string planted = std::string(Md5HexOfText("/a.txt").GetString()) + "._tvtmp";
    const char* const settings[] = {"NoTvDataFolder=Yes", "CopyUsingTempFile=No"};
    for (int i = 0; i < 2; ++i) {
        const char* const set = settings[i];
        SCOPED_TRACE(set);
        const std::string d = "c" + std::to_string(i);
        ASSERT_TRUE(m_tmp.MakeDir(d + "/src") && m_tmp.WriteFile(d + "/src/a.txt", "root's data"));
        Others(d + "/share", 0755);
        Others(d + "/share/" + planted, 0755);
        Others(d + "/share/" + planted + "/keep", 0644, "mine");
        ASSERT_EQ(Tv({"job", "add", d, P(d + "/src"), P(d + "/share"), "--type", "1", "--set", set}).code, 0);
        for (const char* text : {"one", "two"}) {
            ASSERT_TRUE(m_tmp.WriteFile(d + "/src/a.txt", text));
            const CCliRun r = Tv({"sync", d});
            EXPECT_EQ(r.code, 0) << r.out << r.err;
            EXPECT_EQ(CliReadAll(P(d + "/share/a.txt")), text);
        }
    }
}
