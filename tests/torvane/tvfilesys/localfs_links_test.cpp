// Opening to read through links of other users: followed only to what the
// link's owner could read, judged with the owner's identity where the run
// may take it (root) and by bits and ACLs where it may not.
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
    for (const char* f : {"/pub", "/root600", "/theirs600", "/theirsacl"}) WriteFile(P(f), f);
    ASSERT_EQ(mkdir(P("/theirdir").c_str(), 0700), 0);
    WriteFile(P("/theirdir/f"), "f");
    for (const char* f : {"/theirs600", "/theirsacl", "/theirdir"}) ASSERT_EQ(chown(P(f).c_str(), oUid, oGid), 0);
    for (const char* f : {"/root600", "/theirs600", "/theirsacl"}) ASSERT_EQ(chmod(P(f).c_str(), 0600), 0);
    const bool bAcl = system(("setfacl -m u:nobody:r " + Quote(P("/theirsacl")) + " 2>/dev/null").c_str()) == 0;
    const struct {
        const char *link, *target; // the link is nobody's ('n') or the other user's ('o')
        const char* open;
        bool bOpens; // by root and by the other user alike
    } cases[] = {
        {"/n-theirs600", "/theirs600", "/n-theirs600", false}, {"/n-pub", "/pub", "/n-pub", true},
        {"/n-theirdir-f", "/theirdir/f", "/n-theirdir-f", false}, {"/n-dir", "/theirdir", "/n-dir/f", false},
        {"/n-acl", "/theirsacl", "/n-acl", bAcl},           {"/o-theirs600", "/theirs600", "/o-theirs600", true},
        {"/o-root600", "/root600", "/o-root600", false},      {"/o-n-pub", "/n-pub", "/o-n-pub", true},
        {"/o-n-theirs600", "/n-theirs600", "/o-n-theirs600", false},
    };
    std::string want;
    for (const auto& c : cases) {
        const bool bNobody = c.link[1] == 'n';
        ASSERT_EQ(symlink(P(c.target).c_str(), P(c.link).c_str()), 0);
        ASSERT_EQ(lchown(P(c.link).c_str(), bNobody ? nUid : oUid, bNobody ? nGid : oGid), 0);
        want += c.bOpens ? '1' : '0';
    }
    auto opened = [&] { // which paths open, as a string of 0 and 1
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
    EXPECT_EQ(opened(), want);
    // The other user, who cannot take nobody's identity.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        m_fs.Disconnect(true);
        TvConnectInfo ci;
        ci.m_sUrl = NormalizeUrl(W(m_root));
        if (setgroups(1, &oGid) != 0 || setgid(oGid) != 0 || setuid(oUid) != 0 ||
            !m_fs.Connect(ci, nullptr, m_kind, m_err))
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
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), want);
}
