// The built "torvane" run as root over folders a second local user can write:
// what that user plants at the names of our temporary files, and the modes
// of files that user puts into a side.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

class OtherUserCli : public ::testing::Test {
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
    // torvane with the test's profile; killed when it runs for a minute.
    CCliRun Tv(std::vector<std::string> args) {
        const std::string n = std::to_string(m_nRun++);
        args.insert(args.begin(), {"timeout", "-s", "KILL", "60", CliProgram(), "--profile", P("profile")});
        return CliRunProgram(args, P("out" + n), P("err" + n));
    }
    // A regular file's content; never waits at a named pipe.
    static std::string Read(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        std::string s = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? "" : "<not a regular file>";
        char buf[4096];
        for (ssize_t n; s.empty() && (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, (size_t)n);
        if (fd >= 0) close(fd);
        return s;
    }
    static unsigned ModeOf(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? (unsigned)(st.st_mode & 07777) : 0100000u;
    }
};

std::string Md5Hex(const std::string& text) {
    return Md5HexOfText(CNarrowString(text.c_str())).GetString();
}

} // namespace

// Links, hard links and named pipes that the other user puts at the names
// of a copy's temporary (in a data folder open to others, or beside the
// target where the side keeps no data folder), of the state file's, the
// log's and the time test's: a one-way run into the share writes none of
// them, follows none and waits for none.
TEST_F(OtherUserCli, NothingPlantedAtATemporarysNameIsWrittenThrough) {
    CWideString who = u"%USERNAME%@%COMPUTERNAME%";
    ExpandPathMacros(who);
    // A job's own temporaries are named for its owner: job, user, computer and profile.
    const std::string own = Md5Hex("By: j." + std::string(WideToUtf8(who).GetString()) + " (profile " +
                                   Md5Hex(P("profile")).substr(0, 8))
                                .substr(0, 16);
    const std::string copy = Md5Hex("/a.txt") + "._tvtmp", state = "_file_state_upload-" + own + "._tvtmp";
    enum Plant { kLink, kDangling, kHardLink, kPipe };
    const struct {
        bool bNoDataFolder;
        std::string name; // in the share
        Plant plant;
    } cases[] = {
        {false, "_tvdata_/" + copy, kLink},     {false, "_tvdata_/" + copy, kDangling},
        {false, "_tvdata_/" + copy, kHardLink}, {false, "_tvdata_/" + copy, kPipe},
        {true, copy, kLink},                    {true, copy, kPipe},
        {false, "_tvdata_/" + state, kLink},    {false, "_tvdata_/" + state, kHardLink},
        {false, "_tvdata_/_log-" + own + "._tvtmp", kLink}, {false, "_tv_test-" + own + ".tvl", kLink},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string d = "c" + std::to_string(n++), at = P(d + "/share/" + c.name);
        SCOPED_TRACE(at + " plant " + std::to_string(c.plant));
        ASSERT_TRUE(m_tmp.MakeDir(d + "/src") && m_tmp.WriteFile(d + "/src/a.txt", "root's data") &&
                    m_tmp.WriteFile(d + "/victim", "root's own file"));
        ASSERT_EQ(chmod(P(d + "/victim").c_str(), 0600), 0);
        OthersFolder(d + "/share");
        OthersFolder(d + "/home");
        ASSERT_TRUE(AsOtherUser("echo bait > " + P(d + "/home/bait")));
        // A data folder open to others, as an older version left it.
        ASSERT_TRUE(c.bNoDataFolder || (m_tmp.MakeDir(d + "/share/_tvdata_") &&
                                        chmod(P(d + "/share/_tvdata_").c_str(), 0777) == 0));
        const std::string plant[] = {"ln -s " + P(d + "/victim"), "ln -s " + P(d + "/made"),
                                     "ln " + P(d + "/home/bait"), "mkfifo"};
        ASSERT_TRUE(AsOtherUser(plant[c.plant] + " " + at));
        // A reader holds the pipe open: what is written into it is seen.
        const int pipeFd = c.plant == kPipe ? open(at.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        std::vector<std::string> add = {"job", "add", "j", P(d + "/src"), P(d + "/share"), "--type", "1"};
        if (c.bNoDataFolder) add.insert(add.end(), {"--set", "NoTvDataFolder=Yes"});
        ASSERT_EQ(Tv(add).code, 0);
        const CCliRun r = Tv({"sync", "j"});
        // Outside the data folder, the other user's link to root's file is an
        // item of the side: left out with an error, never followed nor removed.
        const bool bLeftOut = c.plant == kLink && c.name.rfind("_tv_test-", 0) == 0;
        EXPECT_EQ(r.code, bLeftOut ? 1 : 0) << r.out << r.err;
        EXPECT_EQ(Read(P(d + "/share/a.txt")), "root's data");
        EXPECT_EQ(Read(P(d + "/victim")), "root's own file");
        EXPECT_EQ(ModeOf(P(d + "/victim")), 0600u);
        EXPECT_EQ(Read(P(d + "/home/bait")), "bait\n");
        EXPECT_EQ(ModeOf(P(d + "/made")), 0100000u) << "made through a dangling link";
        EXPECT_EQ(ModeOf(at), bLeftOut ? 0777u : 0100000u) << "the run did not use the name";
        char buf[64];
        EXPECT_TRUE(pipeFd < 0 || read(pipeFd, buf, sizeof buf) <= 0) << "written into the pipe";
        if (pipeFd >= 0) close(pipeFd);
        ASSERT_EQ(Tv({"job", "delete", "j"}).code, 0);
    }
}

// Files the other user puts into a shared side, copied by root's one-way
// run into root's own folder: a copy does not keep the other user as its
// owner, so it loses the set-user-ID and set-group-ID bits (said once);
// root's own such file keeps them; every copy has the source's other bits,
// also one that an older version's run, killed before it saved its records,
// left with its temporary's mode or the other user's set-ID bits.
TEST_F(OtherUserCli, CopiesThatDoNotKeepTheOwnerLoseSetIdBits) {
    OthersFolder("share");
    ASSERT_TRUE(m_tmp.MakeDir("mine"));
    const struct {
        std::string name;
        unsigned mode, want;
        bool bRoots; // put there by root
        unsigned leftOver; // the mode of a copy left in "mine" (0: none)
    } files[] = {
        {"x6755", 06755, 0755, false, 06755}, {"x4777", 04777, 0777, false, 0}, {"x2750", 02750, 0750, false, 0},
        {"p0640", 0640, 0640, false, 0600},   {"r4755", 04755, 04755, true, 0}, {"r0700", 0700, 0700, true, 0},
    };
    for (const auto& f : files) {
        const std::string path = P("share/" + f.name);
        ASSERT_TRUE(f.bRoots ? m_tmp.WriteFile("share/" + f.name, "data\n") : AsOtherUser("echo data > " + path));
        ASSERT_EQ(chmod(path.c_str(), f.mode), 0) << f.name;
        if (!f.leftOver) continue;
        struct stat st {};
        ASSERT_TRUE(stat(path.c_str(), &st) == 0 && m_tmp.WriteFile("mine/" + f.name, "data\n"));
        const struct timespec ts[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, P("mine/" + f.name).c_str(), ts, 0), 0);
        ASSERT_EQ(chmod(P("mine/" + f.name).c_str(), f.leftOver), 0);
    }
    ASSERT_EQ(Tv({"job", "add", "m", P("share"), P("mine"), "--type", "1"}).code, 0);
    const CCliRun r = Tv({"sync", "m"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (const auto& f : files) {
        struct stat st {};
        ASSERT_EQ(lstat(P("mine/" + f.name).c_str(), &st), 0) << f.name;
        EXPECT_EQ(st.st_uid, 0u) << f.name;
        EXPECT_EQ(st.st_mode & 07777, f.want) << f.name;
    }
    const size_t logAt = r.out.rfind("log: "); // the run's log, named on the last line
    ASSERT_NE(logAt, std::string::npos) << r.out;
    const std::string said = CliReadAll(r.out.substr(logAt + 5, r.out.find('\n', logAt) - logAt - 5));
    const size_t first = said.find("Set-user-ID");
    EXPECT_TRUE(first != std::string::npos && said.find("Set-user-ID", first + 1) == std::string::npos) << said;
}

// The other user's links in a side root syncs two ways, followed (also as
// folder links, with FolderLinks=2) only to what that user can read: root's
// 0600 file, a 0644 file in a 0700 folder and /etc/shadow stay out, each
// named in an error, and a copy of what the link led to before stays; what
// that user can read is copied, also through root's links; root's own links
// are followed as before. A named pipe, or a link to one, facing a file of
// the same size holds no run.
TEST_F(OtherUserCli, OthersLinksLeadOnlyWhereTheyCanRead) {
    const std::string kNone = "<not a regular file>";
    auto rootsFile = [&](const std::string& rel, const std::string& text, mode_t mode) {
        ASSERT_TRUE(m_tmp.WriteFile(rel, text));
        ASSERT_EQ(chmod(P(rel).c_str(), mode), 0);
    };
    ASSERT_TRUE(m_tmp.MakeDir("closed") && m_tmp.MakeDir("open"));
    ASSERT_EQ(chmod(P("closed").c_str(), 0700), 0);
    rootsFile("closed/f644", "in a closed folder", 0644);
    rootsFile("r600", "only root's file", 0600);
    rootsFile("pub", "for everyone", 0644);
    rootsFile("open/o644", "open file", 0644);
    rootsFile("open/o600", "open folder, closed file", 0600);
    ASSERT_EQ(symlink(P("pub").c_str(), P("roots-pub").c_str()), 0);
    ASSERT_EQ(symlink(P("r600").c_str(), P("roots-r600").c_str()), 0);
    OthersFolder("home");
    ASSERT_TRUE(AsOtherUser("mkfifo " + P("home/fifo")));
    const struct {
        std::string path, target; // the link is the path's first name
        bool bOthers;             // planted by the other user, else by root
        bool bFolderLink;
        const char* want; // the copy's content; null: left out with an error
    } links[] = {
        {"to-r600", P("r600"), true, false, nullptr},
        {"to-closed", P("closed/f644"), true, false, nullptr},
        {"to-shadow", "/etc/shadow", true, false, nullptr},
        {"to-roots-r600", P("roots-r600"), true, false, nullptr},
        {"to-pub", P("pub"), true, false, "for everyone"},
        {"to-roots-pub", P("roots-pub"), true, false, "for everyone"},
        {"roots-to-r600", P("r600"), false, false, "only root's file"},
        {"dir-closed/f644", P("closed"), true, true, nullptr},
        {"dir-open/o600", P("open"), true, true, nullptr},
        {"dir-open/o644", P("open"), true, true, "open file"},
        {"roots-dir/f644", P("closed"), false, true, "in a closed folder"},
    };
    for (const bool bFolders : {false, true}) {
        const std::string j = bFolders ? "d" : "f", share = j + "-share/", mine = j + "-mine/";
        SCOPED_TRACE(bFolders ? "FolderLinks=2" : "FolderLinks=0");
        OthersFolder(share);
        ASSERT_TRUE(m_tmp.MakeDir(mine));
        for (const auto& l : links) {
            const std::string at = P(share + l.path.substr(0, l.path.find('/')));
            struct stat st {};
            if (lstat(at.c_str(), &st) == 0) continue;
            ASSERT_TRUE(l.bOthers ? AsOtherUser("ln -s " + l.target + " " + at)
                                  : symlink(l.target.c_str(), at.c_str()) == 0);
        }
        ASSERT_TRUE(AsOtherUser("mkfifo " + P(share + "pipe") + " && ln -s " + P("home/fifo") + " " +
                                P(share + "to-fifo") + " && ln -s " + P("pub") + " " + P(share + "turned") +
                                " && ln -s " + P("open") + " " + P(share + "turned-dir")));
        ASSERT_TRUE(m_tmp.WriteFile(mine + "pipe", "") && m_tmp.WriteFile(mine + "to-fifo", ""));
        std::vector<std::string> add = {"job", "add", j, P(share), P(mine)};
        if (bFolders) add.insert(add.end(), {"--set", "FolderLinks=2"});
        ASSERT_EQ(Tv(add).code, 0);
        CCliRun r = Tv({"sync", j});
        EXPECT_EQ(Read(P(mine + "turned")), "for everyone") << r.out << r.err;
        const std::string turnedDir = bFolders ? "open file" : kNone;
        EXPECT_EQ(Read(P(mine + "turned-dir/o644")), turnedDir);
        ASSERT_TRUE(AsOtherUser("ln -sfn " + P("r600") + " " + P(share + "turned") + " && ln -sfn " + P("closed") +
                                " " + P(share + "turned-dir")));
        r = Tv({"sync", j});
        EXPECT_EQ(r.code, 1) << r.out << r.err; // 137: held by a named pipe
        const size_t logAt = r.out.rfind("log: ");
        ASSERT_NE(logAt, std::string::npos) << r.out;
        const std::string log = CliReadAll(r.out.substr(logAt + 5, r.out.find('\n', logAt) - logAt - 5));
        EXPECT_EQ(Read(P(mine + "turned")), "for everyone");
        EXPECT_NE(log.find(share + "turned"), std::string::npos) << log;
        EXPECT_EQ(Read(P(mine + "turned-dir/o644")), turnedDir);
        EXPECT_EQ(Read(P(mine + "turned-dir/o600")), kNone);
        for (const auto& l : links) {
            SCOPED_TRACE(l.path);
            const bool bFollowed = !l.bFolderLink || bFolders;
            const std::string got = Read(P(mine + l.path)); // never printed: it may be a secret
            EXPECT_TRUE(got == (bFollowed && l.want ? l.want : kNone)) << got.size() << " bytes copied";
            // A folder link its owner cannot list is named itself.
            const std::string named = l.path == "dir-closed/f644" ? "dir-closed" : l.path;
            EXPECT_TRUE(!bFollowed || l.want || log.find(share + named) != std::string::npos) << log;
        }
        EXPECT_EQ(Read(P(mine + "pipe")) + Read(P(mine + "to-fifo")), "");
    }
}

// The other user turns a link between a file that user can read and root's
// file of the same size and time, again and again while root copies it:
// what was judged is what is read, so root's file never reaches a copy.
TEST_F(OtherUserCli, ALinkTurnedDuringARunLeadsNowhereElse) {
    ASSERT_TRUE(m_tmp.WriteFile("pub", "for everyone") && m_tmp.WriteFile("r600", "root's alone"));
    struct stat st {};
    ASSERT_EQ(stat(P("pub").c_str(), &st), 0);
    const struct timespec ts[2] = {st.st_atim, st.st_mtim};
    ASSERT_TRUE(chmod(P("r600").c_str(), 0600) == 0 && utimensat(AT_FDCWD, P("r600").c_str(), ts, 0) == 0);
    OthersFolder("share");
    OthersFolder("home");
    ASSERT_TRUE(AsOtherUser("ln -s " + P("pub") + " " + P("share/l")));
    std::string turn;
    for (const char* to : {"r600", "pub"})
        turn += "ln -sfn " + P(to) + " " + P("home/t") + " && mv -fT " + P("home/t") + " " + P("share/l") + "; ";
    const pid_t turner = CliStartProgram(
        {"runuser", "-u", "tvother", "--", "sh", "-c", "while [ ! -e " + P("stop") + " ]; do " + turn + "done"},
        P("turner.out"), P("turner.err"));
    ASSERT_GT(turner, 0);
    int nCopied = 0;
    // At least 12 runs, more until one copy fell between two turns (a copy
    // whose link turned while it was read is refused as changed).
    for (int i = 0; i < 60 && (i < 12 || nCopied == 0); ++i) {
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
