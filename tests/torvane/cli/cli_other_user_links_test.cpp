// The built "torvane" run as root over a side a second local user can write:
// links that user plants there are followed only to what that user could
// read itself, and named pipes never hold a run.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class OtherUsersLinks : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    void SetUp() override {
        TV_NEED_OTHER_USER();
        ASSERT_EQ(chmod(m_tmp.Native().c_str(), 0755), 0); // the other user reaches its folders
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    void OthersFolder(const std::string& rel) {
        ASSERT_TRUE(m_tmp.MakeDir(rel));
        ASSERT_EQ(chown(P(rel).c_str(), OtherUser().uid, OtherUser().gid), 0);
    }
    void RootsFile(const std::string& rel, const std::string& text, mode_t mode) {
        ASSERT_TRUE(m_tmp.WriteFile(rel, text));
        ASSERT_EQ(chmod(P(rel).c_str(), mode), 0);
    }
    // torvane with the test's profile; killed when it runs for a minute.
    CCliRun Tv(std::vector<std::string> args) {
        const std::string n = std::to_string(m_nRun++);
        args.insert(args.begin(), {"timeout", "-s", "KILL", "60", CliProgram(), "--profile", P("profile")});
        return CliRunProgram(args, P("out" + n), P("err" + n));
    }
    // A regular file's content ("-" for none); never waits at a named pipe.
    static std::string Read(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        std::string s = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? "" : "-";
        char buf[4096];
        for (ssize_t n; s.empty() && (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, (size_t)n);
        if (fd >= 0) close(fd);
        return s;
    }
    // The run's whole log, named on the output's last line.
    static std::string LogOf(const CCliRun& r) {
        const size_t at = r.out.rfind("log: ");
        return at == std::string::npos ? r.out + r.err
                                       : CliReadAll(r.out.substr(at + 5, r.out.find('\n', at) - at - 5));
    }
};

} // namespace

// Root's files that the other user cannot read (a 0600 file, a 0644 file in
// a 0700 folder, /etc/shadow) stay out of a two-way run through that user's
// links, each named in an error, with nothing deleted on the other side; a
// file that user can read is copied, also through a link of root's, and
// root's own links are followed as before. With folder links followed, the
// same holds for what is reached through that user's folder links.
TEST_F(OtherUsersLinks, FollowedOnlyToWhatTheirOwnerCanRead) {
    ASSERT_TRUE(m_tmp.MakeDir("closed") && m_tmp.MakeDir("open"));
    ASSERT_EQ(chmod(P("closed").c_str(), 0700), 0);
    RootsFile("closed/f644", "in a closed folder", 0644);
    RootsFile("r600", "only root's file", 0600);
    RootsFile("pub", "for everyone", 0644);
    RootsFile("open/o644", "open file", 0644);
    RootsFile("open/o600", "open folder, closed file", 0600);
    ASSERT_EQ(symlink(P("pub").c_str(), P("roots-pub").c_str()), 0);
    ASSERT_EQ(symlink(P("r600").c_str(), P("roots-r600").c_str()), 0);
    OthersFolder("home");
    ASSERT_TRUE(AsOtherUser("mkfifo " + P("home/fifo")));
    const char* const kOut = nullptr; // left out, with an error that names it
    const struct {
        std::string name, target;
        bool bOthers;     // planted by the other user (else by root)
        bool bFolderLink; // only followed with FolderLinks=2
        const char* want; // the copy's content, or the file under a folder link
    } links[] = {
        {"to-r600", P("r600"), true, false, kOut},
        {"to-closed", P("closed/f644"), true, false, kOut},
        {"to-shadow", "/etc/shadow", true, false, kOut},
        {"to-roots-r600", P("roots-r600"), true, false, kOut},
        {"to-pub", P("pub"), true, false, "for everyone"},
        {"to-roots-pub", P("roots-pub"), true, false, "for everyone"},
        {"roots-to-r600", P("r600"), false, false, "only root's file"},
        {"dir-closed/f644", P("closed"), true, true, kOut},
        {"dir-open/o600", P("open"), true, true, kOut},
        {"dir-open/o644", P("open"), true, true, "open file"},
        {"roots-dir/f644", P("closed"), false, true, "in a closed folder"},
    };
    for (const bool bFolders : {false, true}) {
        const std::string j = bFolders ? "d" : "f", share = j + "-share/", mine = j + "-mine/";
        SCOPED_TRACE(bFolders ? "FolderLinks=2" : "FolderLinks=0");
        OthersFolder(share);
        ASSERT_TRUE(m_tmp.MakeDir(mine));
        for (const auto& l : links) {
            const std::string name = l.name.substr(0, l.name.find('/'));
            if (name == "dir-open" && l.name.find("o644") != std::string::npos) continue; // planted once
            if (l.bOthers)
                ASSERT_TRUE(AsOtherUser("ln -s " + l.target + " " + P(share + name)));
            else
                ASSERT_EQ(symlink(l.target.c_str(), P(share + name).c_str()), 0);
        }
        // A named pipe in the side and a link to one, each facing an empty
        // file whose content is compared: nothing waits for a writer.
        ASSERT_TRUE(AsOtherUser("mkfifo " + P(share + "pipe") + " && ln -s " + P("home/fifo") + " " +
                                P(share + "to-fifo")));
        ASSERT_TRUE(m_tmp.WriteFile(mine + "pipe", "") && m_tmp.WriteFile(mine + "to-fifo", ""));
        // Copied on the first run, then turned to root's file: the copy stays.
        ASSERT_TRUE(AsOtherUser("ln -s " + P("pub") + " " + P(share + "turned") + " && ln -s " + P("open") + " " +
                                P(share + "turned-dir")));
        std::vector<std::string> add = {"job", "add", j, P(share), P(mine)};
        if (bFolders) add.insert(add.end(), {"--set", "FolderLinks=2"});
        ASSERT_EQ(Tv(add).code, 0);
        CCliRun r = Tv({"sync", j});
        EXPECT_EQ(Read(P(mine + "turned")), "for everyone") << r.out << r.err;
        EXPECT_EQ(Read(P(mine + "turned-dir/o644")), bFolders ? "open file" : "-");
        ASSERT_TRUE(AsOtherUser("ln -sfn " + P("r600") + " " + P(share + "turned") + " && ln -sfn " + P("closed") +
                                " " + P(share + "turned-dir")));
        r = Tv({"sync", j});
        EXPECT_NE(r.code, 0) << r.out << r.err;
        EXPECT_NE(r.code, 128 + SIGKILL) << "held by a named pipe";
        const std::string log = LogOf(r);
        EXPECT_EQ(Read(P(mine + "turned")), "for everyone");
        EXPECT_NE(log.find(share + "turned"), std::string::npos) << log;
        EXPECT_EQ(Read(P(mine + "turned-dir/o644")), bFolders ? "open file" : "-");
        EXPECT_EQ(Read(P(mine + "turned-dir/o600")), "-");
        EXPECT_EQ(Read(P("r600")), "only root's file");
        for (const auto& l : links) {
            SCOPED_TRACE(l.name);
            const bool bFollowed = !l.bFolderLink || bFolders;
            // Compared, never printed: a leak may be of a secret.
            const std::string got = Read(P(mine + l.name));
            EXPECT_TRUE(got == (bFollowed && l.want ? l.want : "-")) << got.size() << " bytes copied";
            if (bFollowed && !l.want) {
                // A folder link that leads nowhere its owner can read is named itself.
                const std::string named = l.name == "dir-closed/f644" ? "dir-closed" : l.name;
                EXPECT_NE(log.find(share + named), std::string::npos) << log;
            }
        }
        EXPECT_EQ(Read(P(mine + "pipe")), "");
        EXPECT_EQ(Read(P(mine + "to-fifo")), "");
    }
}

// The other user turns a link between a file that user can read and root's
// own file of the same size and time while root copies it, run after run:
// what was judged is what is read, so root's file never reaches a copy.
TEST_F(OtherUsersLinks, ALinkTurnedDuringARunLeadsNowhereElse) {
    RootsFile("pub", "for everyone", 0644);
    RootsFile("r600", "root's alone", 0600); // as long, and of the same time
    struct stat st {};
    ASSERT_EQ(stat(P("pub").c_str(), &st), 0);
    const struct timespec ts[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, P("r600").c_str(), ts, 0), 0);
    OthersFolder("share");
    OthersFolder("home");
    ASSERT_TRUE(AsOtherUser("ln -s " + P("pub") + " " + P("share/l")));
    const std::string turn = "ln -sfn " + P("r600") + " " + P("home/a") + " && mv -fT " + P("home/a") + " " +
                             P("share/l") + " && ln -sfn " + P("pub") + " " + P("home/b") + " && mv -fT " +
                             P("home/b") + " " + P("share/l");
    const pid_t turner = CliStartProgram(
        {"runuser", "-u", "tvother", "--", "sh", "-c", "while [ ! -e " + P("stop") + " ]; do " + turn + "; done"},
        P("turner.out"), P("turner.err"));
    ASSERT_GT(turner, 0);
    int nCopied = 0;
    for (int i = 0; i < 12; ++i) {
        const std::string j = "j" + std::to_string(i), mine = "mine" + std::to_string(i);
        ASSERT_TRUE(m_tmp.MakeDir(mine));
        ASSERT_EQ(Tv({"job", "add", j, P("share"), P(mine), "--type", "1"}).code, 0);
        const CCliRun r = Tv({"sync", j});
        const std::string got = Read(P(mine + "/l"));
        EXPECT_NE(got, "root's alone") << "run " << i << ": " << r.out;
        nCopied += got == "for everyone";
    }
    ASSERT_TRUE(m_tmp.WriteFile("stop", ""));
    int status = 0;
    waitpid(turner, &status, 0);
    EXPECT_GT(nCopied, 0) << "the readable file was never copied";
}
