// The built "torvane" run as root over a folder a second local user can
// write: what that user plants at the names of our temporary files, and the
// modes of files that user puts into a side.
#include "cli-test-run.h"
#include "job-harness.h"
#include "other-user.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

class OtherUserCli : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    void SetUp() override {
        TV_NEED_OTHER_USER();
        // The other user reaches the folders made for it below.
        ASSERT_EQ(chmod(m_tmp.Native().c_str(), 0755), 0);
        ASSERT_TRUE(m_tmp.MakeDir("profile"));
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    // A folder of the other user's.
    void OthersFolder(const std::string& rel) {
        ASSERT_TRUE(m_tmp.MakeDir(rel));
        ASSERT_EQ(chown(P(rel).c_str(), OtherUser().uid, OtherUser().gid), 0);
    }
    // torvane with the test's profile; killed when it runs for a minute.
    CCliRun Tv(std::vector<std::string> args) {
        const std::string n = std::to_string(m_nRun++);
        std::vector<std::string> all = {"timeout", "-s", "KILL", "60", CliProgram(), "--profile", P("profile")};
        all.insert(all.end(), args.begin(), args.end());
        return CliRunProgram(all, P("out" + n), P("err" + n));
    }
    // A file's content; never waits at a named pipe.
    static std::string ReadRegular(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        std::string s;
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            char buf[4096];
            for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, (size_t)n);
        } else {
            s = "<not a regular file>";
        }
        if (fd >= 0) close(fd);
        return s;
    }
    static unsigned ModeOf(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 ? (unsigned)(st.st_mode & 07777) : 0100000u;
    }
    static bool Present(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0;
    }
};

std::string Md5Hex(const std::string& text) {
    return std::string(Md5HexOfText(CNarrowString(text.c_str())).GetString());
}

} // namespace

// Links, hard links and named pipes that the other user puts at the names
// of a copy's temporary (in the data folder, or beside the target where the
// side keeps no data folder) and of the state file's temporary: a one-way
// run into the share writes none of them, follows none and waits for none.
TEST_F(OtherUserCli, NothingPlantedAtATemporarysNameIsWrittenThrough) {
    CWideString who = u"%USERNAME%@%COMPUTERNAME%";
    ExpandPathMacros(who);
    const std::string own = Md5Hex("By: j." + std::string(WideToUtf8(who).GetString())).substr(0, 16);
    const std::string stateTemp = "_file_state_upload-" + own + "._tvtmp";
    const std::string copyTemp = Md5Hex("/a.txt") + "._tvtmp";
    enum Plant { kLink, kDangling, kHardLink, kPipe };
    struct Case {
        const char* what;
        bool bNoDataFolder;
        std::string name; // in the share
        Plant plant;
    } cases[] = {
        {"copy temporary, link to a root file", false, "_tvdata_/" + copyTemp, kLink},
        {"copy temporary, dangling link", false, "_tvdata_/" + copyTemp, kDangling},
        {"copy temporary, hard link", false, "_tvdata_/" + copyTemp, kHardLink},
        {"copy temporary, named pipe", false, "_tvdata_/" + copyTemp, kPipe},
        {"beside the target, link to a root file", true, copyTemp, kLink},
        {"beside the target, named pipe", true, copyTemp, kPipe},
        {"state temporary, link to a root file", false, "_tvdata_/" + stateTemp, kLink},
        {"state temporary, hard link", false, "_tvdata_/" + stateTemp, kHardLink},
        {"log temporary, link to a root file", false, "_tvdata_/_log-" + own + "._tvtmp", kLink},
        {"time test file, link to a root file", false, "_tv_test-" + own + ".tvl", kLink},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string d = "c" + std::to_string(n++);
        ASSERT_TRUE(m_tmp.MakeDir(d + "/src"));
        ASSERT_TRUE(m_tmp.WriteFile(d + "/src/a.txt", "root's data"));
        ASSERT_TRUE(m_tmp.WriteFile(d + "/victim", "root's own file"));
        ASSERT_EQ(chmod(P(d + "/victim").c_str(), 0600), 0);
        OthersFolder(d + "/share");
        OthersFolder(d + "/home");
        ASSERT_TRUE(AsOtherUser("echo bait > " + P(d + "/home/bait")));
        if (!c.bNoDataFolder) {
            // A data folder open to others, as an older version left it.
            ASSERT_TRUE(m_tmp.MakeDir(d + "/share/_tvdata_"));
            ASSERT_EQ(chmod(P(d + "/share/_tvdata_").c_str(), 0777), 0);
        }
        const std::string at = P(d + "/share/" + c.name);
        const char* cmd[] = {"ln -s ", "ln -s ", "ln ", "mkfifo "};
        const std::string from[] = {P(d + "/victim") + " ", P(d + "/made") + " ", P(d + "/home/bait") + " ", ""};
        ASSERT_TRUE(AsOtherUser(cmd[c.plant] + from[c.plant] + at));
        // A reader holds the pipe open: what is written into it is seen.
        const int pipeFd = c.plant == kPipe ? open(at.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        std::vector<std::string> add = {"job", "add", "j", P(d + "/src"), P(d + "/share"), "--type", "1"};
        if (c.bNoDataFolder) add.insert(add.end(), {"--set", "NoTvDataFolder=Yes"});
        ASSERT_EQ(Tv(add).code, 0);
        const CCliRun r = Tv({"sync", "j"});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_EQ(ReadRegular(P(d + "/share/a.txt")), "root's data");
        EXPECT_EQ(ReadRegular(P(d + "/victim")), "root's own file");
        EXPECT_EQ(ModeOf(P(d + "/victim")), 0600u);
        EXPECT_EQ(ReadRegular(P(d + "/home/bait")), "bait\n");
        EXPECT_FALSE(Present(P(d + "/made")));
        EXPECT_FALSE(Present(at)) << "the run did not use the name";
        if (pipeFd >= 0) {
            char buf[64];
            EXPECT_LE(read(pipeFd, buf, sizeof buf), 0) << "written into the pipe";
            close(pipeFd);
        }
        ASSERT_EQ(Tv({"job", "delete", "j"}).code, 0);
    }
}

// Files the other user puts into a shared side, copied by root's one-way
// run into root's own folder: a copy does not keep the other user as its
// owner, so it loses the set-user-ID and set-group-ID bits (said once);
// root's own such file keeps them; every copy has the source's other bits,
// also one that a killed run of an older version left with another mode.
TEST_F(OtherUserCli, CopiesThatDoNotKeepTheOwnerLoseSetIdBits) {
    OthersFolder("share");
    ASSERT_TRUE(m_tmp.MakeDir("mine"));
    struct {
        const char* name;
        unsigned mode;
        bool bRoots; // put there by root
        unsigned want;
    } files[] = {
        {"x6755", 06755, false, 0755}, {"x4777", 04777, false, 0777}, {"x2750", 02750, false, 0750},
        {"p0640", 0640, false, 0640},  {"r4755", 04755, true, 04755}, {"r0700", 0700, true, 0700},
    };
    for (const auto& f : files) {
        const std::string path = P("share/" + std::string(f.name));
        if (f.bRoots) {
            ASSERT_TRUE(m_tmp.WriteFile("share/" + std::string(f.name), "data"));
        } else {
            ASSERT_TRUE(AsOtherUser("echo data > " + path));
        }
        ASSERT_EQ(chmod(path.c_str(), f.mode), 0) << f.name;
    }
    // Copies as an older version's run left them when it was killed before
    // it saved its records: one before it had its mode (still its
    // temporary's), one with the other user's set-ID bits.
    for (const auto& [name, mode] : {std::pair<std::string, unsigned>{"p0640", 0600}, {"x6755", 06755}}) {
        ASSERT_TRUE(m_tmp.WriteFile("mine/" + name, "data\n"));
        struct stat st {};
        ASSERT_EQ(stat(P("share/" + name).c_str(), &st), 0);
        const struct timespec ts[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, P("mine/" + name).c_str(), ts, 0), 0);
        ASSERT_EQ(chmod(P("mine/" + name).c_str(), mode), 0);
    }
    ASSERT_EQ(Tv({"job", "add", "m", P("share"), P("mine"), "--type", "1"}).code, 0);
    const CCliRun r = Tv({"sync", "m"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (const auto& f : files) {
        struct stat st {};
        ASSERT_EQ(lstat(P("mine/" + std::string(f.name)).c_str(), &st), 0) << f.name;
        EXPECT_EQ(st.st_uid, 0u) << f.name;
        EXPECT_EQ(st.st_mode & 07777, f.want) << f.name;
    }
    // The run's log, which the last line names.
    const size_t logAt = r.out.rfind("log: ");
    ASSERT_NE(logAt, std::string::npos) << r.out;
    const std::string said = CliReadAll(r.out.substr(logAt + 5, r.out.find('\n', logAt) - logAt - 5));
    size_t nSaid = 0;
    for (size_t at = said.find("Set-user-ID"); at != std::string::npos; at = said.find("Set-user-ID", at + 1)) nSaid++;
    EXPECT_EQ(nSaid, 1u) << said;
}
