// Opening to read through links of other users: followed only to what the
// link's owner could read, judged with the owner's identity where the run
// may take it (root) and by the bits and ACLs where it may not.
#include "localfs-test-util.h"
#include "other-user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>

using namespace localfs_test;

TEST_F(LocalFs, OtherUsersLinksLeadOnlyWhereTheirOwnersCanRead) {
    TV_NEED_OTHER_USER();
    const passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody";
    const uid_t nUid = nobody->pw_uid, oUid = OtherUser().uid;
    const gid_t nGid = nobody->pw_gid, oGid = OtherUser().gid;
    ASSERT_EQ(chmod(m_root.c_str(), 0755), 0);
    auto own = [&](const std::string& rel, uid_t u, gid_t g, mode_t mode) {
        ASSERT_EQ(chown(P(rel).c_str(), u, g), 0);
        ASSERT_EQ(chmod(P(rel).c_str(), mode), 0);
    };
    WriteFile(P("/pub"), "pub");
    WriteFile(P("/root600"), "root600");
    own("/root600", 0, 0, 0600);
    WriteFile(P("/theirs600"), "theirs600");
    own("/theirs600", oUid, oGid, 0600);
    WriteFile(P("/theirsacl"), "theirsacl");
    own("/theirsacl", oUid, oGid, 0600);
    const bool bAcl = system(("setfacl -m u:nobody:r " + Quote(P("/theirsacl")) + " 2>/dev/null").c_str()) == 0;
    ASSERT_EQ(mkdir(P("/theirdir").c_str(), 0700), 0);
    WriteFile(P("/theirdir/f"), "f");
    own("/theirdir", oUid, oGid, 0700);
    const struct {
        const char* link; // made for the owner, to the target
        std::string target;
        bool bNobody; // nobody's link, else the other user's
        const char* open; // the path opened
        bool bRoot, bOther; // opened by root, by the other user
    } cases[] = {
        {"/n-theirs600", P("/theirs600"), true, "/n-theirs600", false, false},
        {"/n-pub", P("/pub"), true, "/n-pub", true, true},
        {"/n-theirdir-f", P("/theirdir/f"), true, "/n-theirdir-f", false, false},
        {"/n-dir", P("/theirdir"), true, "/n-dir/f", false, false},
        {"/n-acl", P("/theirsacl"), true, "/n-acl", bAcl, bAcl},
        {"/o-theirs600", P("/theirs600"), false, "/o-theirs600", true, true},
        {"/o-root600", P("/root600"), false, "/o-root600", false, false},
        {"/o-n-pub", P("/n-pub"), false, "/o-n-pub", true, true},
        {"/o-n-theirs600", P("/n-theirs600"), false, "/o-n-theirs600", false, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(symlink(c.target.c_str(), P(c.link).c_str()), 0);
        ASSERT_EQ(lchown(P(c.link).c_str(), c.bNobody ? nUid : oUid, c.bNobody ? nGid : oGid), 0);
    }
    // Which paths open, as one string of 0 and 1.
    auto opened = [&] {
        std::string s;
        for (const auto& c : cases) {
            int kind = 0;
            CWideString err;
            const int fd = m_fs.OpenToRead(W(c.open), false, kind, err);
            s += fd >= 0 ? '1' : '0';
            if (fd >= 0) close(fd);
        }
        return s;
    };
    std::string wantRoot, wantOther;
    for (const auto& c : cases) {
        wantRoot += c.bRoot ? '1' : '0';
        wantOther += c.bOther ? '1' : '0';
    }
    EXPECT_EQ(opened(), wantRoot);
    // The other user, who cannot take nobody's identity.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        m_fs.Disconnect(true);
        TvConnectInfo ci;
        ci.m_sUrl = NormalizeUrl(W(m_root));
        int kind = 0;
        CWideString err;
        if (setgroups(1, &oGid) != 0 || setgid(oGid) != 0 || setuid(oUid) != 0 ||
            !m_fs.Connect(ci, nullptr, kind, err))
            _exit(2);
        const std::string s = opened();
        _exit(write(fds[1], s.data(), s.size()) == (ssize_t)s.size() ? 0 : 3);
    }
    close(fds[1]);
    char buf[64] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), wantOther);
}
