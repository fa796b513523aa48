// Folders, volumes, the administrator test and security descriptors,
// compared with what findmnt, stat and getfacl report.
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include "windows-test-util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}
std::string N(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

TEST(SysFolders, AppDataFolderIsTheXdgConfigFolder) {
    CWideString folder, err;
    {
        wtest::EnvVar xdg("XDG_CONFIG_HOME", "/some/where/");
        ASSERT_TRUE(ZorGetAppDataFolder(folder, err)) << err;
        EXPECT_EQ(folder, u"/some/where");
    }
    {
        wtest::EnvVar xdg("XDG_CONFIG_HOME", "relative");
        wtest::EnvVar home("HOME", "/home/u");
        ASSERT_TRUE(ZorGetAppDataFolder(folder, err)) << err;
        EXPECT_EQ(folder, u"/home/u/.config");
    }
    {
        // Without HOME the password database answers.
        wtest::EnvVar xdg("XDG_CONFIG_HOME", nullptr);
        wtest::EnvVar home("HOME", nullptr);
        ASSERT_TRUE(ZorGetAppDataFolder(folder, err)) << err;
        EXPECT_TRUE(folder.EndsWith(u"/.config")) << folder;
        EXPECT_EQ(folder[0], u'/');
    }
}

TEST(SysFolders, ProfileFolderRule) {
    wtest::TempDir dir;
    wtest::EnvVar xdg("XDG_CONFIG_HOME", dir / "config");
    wtest::EnvVar noOverride("TORVANE_PROFILE_DIR", nullptr);
    CWideString folder, err;
    bool bPortable = true;

    // No "Profile" beside the executable: the application-data folder + "/torvane", created.
    mkdir((dir / "bin").c_str(), 0755);
    ASSERT_TRUE(ZorResolveProfileFolder(W(dir / "bin"), folder, bPortable, err)) << err;
    EXPECT_EQ(folder, W(dir / "config/torvane"));
    EXPECT_FALSE(bPortable);
    struct stat st;
    ASSERT_EQ(stat((dir / "config/torvane").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A file named "Profile" does not make a portable edition; a folder does.
    wtest::WriteFile(dir / "bin/Profile", "");
    ASSERT_TRUE(ZorResolveProfileFolder(W(dir / "bin"), folder, bPortable, err)) << err;
    EXPECT_FALSE(bPortable);
    unlink((dir / "bin/Profile").c_str());
    mkdir((dir / "bin/Profile").c_str(), 0755);
    ASSERT_TRUE(ZorResolveProfileFolder(W(dir / "bin/"), folder, bPortable, err)) << err;
    EXPECT_EQ(folder, W(dir / "bin/Profile"));
    EXPECT_TRUE(bPortable);

    // The real executable (the test program) has no "Profile" beside it.
    ASSERT_TRUE(ZorGetProfileFolder(folder, bPortable, err)) << err;
    EXPECT_EQ(folder, W(dir / "config/torvane"));
    EXPECT_FALSE(bPortable);

    // The override wins and is created.
    wtest::EnvVar over("TORVANE_PROFILE_DIR", dir / "over/ride/");
    ASSERT_TRUE(ZorGetProfileFolder(folder, bPortable, err)) << err;
    EXPECT_EQ(folder, W(dir / "over/ride"));
    EXPECT_EQ(stat((dir / "over/ride").c_str(), &st), 0);

    // A file in the way is a clear error.
    wtest::WriteFile(dir / "blocker", "");
    wtest::EnvVar bad("TORVANE_PROFILE_DIR", dir / "blocker/sub");
    err.Empty();
    EXPECT_FALSE(ZorGetProfileFolder(folder, bPortable, err));
    EXPECT_NE(err.Find(u"cannot create folder"), -1) << err;
}

// A profile of the old "Torvane" folder is taken over by "torvane", whether
// that is new or already holds the registry files; nothing is replaced.
TEST(SysFolders, OldProfileFolderIsTakenOver) {
    wtest::TempDir dir;
    wtest::EnvVar xdg("XDG_CONFIG_HOME", dir / "config");
    CWideString folder, err;
    bool bPortable = false;
    for (bool bRegistryFirst : {false, true}) {
        std::filesystem::remove_all(dir / "config");
        std::filesystem::create_directories(dir / "config/Torvane");
        wtest::WriteFile(dir / "config/Torvane/jobs.tix", "old jobs");
        wtest::WriteFile(dir / "config/Torvane/user.reg", "old registry");
        if (bRegistryFirst) {
            std::filesystem::create_directories(dir / "config/torvane/registry");
            wtest::WriteFile(dir / "config/torvane/user.reg", "new registry");
        }
        ASSERT_TRUE(ZorResolveProfileFolder(W(dir / "bin"), folder, bPortable, err)) << err;
        EXPECT_EQ(folder, W(dir / "config/torvane"));
        EXPECT_EQ(wtest::ReadFile(dir / "config/torvane/jobs.tix"), "old jobs");
        EXPECT_EQ(wtest::ReadFile(dir / "config/torvane/user.reg"), bRegistryFirst ? "new registry" : "old registry");
        EXPECT_EQ(std::filesystem::exists(dir / "config/Torvane"), bRegistryFirst) << bRegistryFirst;
    }
}

TEST(SysFolders, AdminMeansEffectiveUidZero) {
    EXPECT_EQ(IsUserAnAdmin(), geteuid() == 0);
    if (geteuid() != 0) return;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresuid(65534, 65534, 65534) != 0) _exit(2);
        _exit(IsUserAnAdmin() ? 1 : 0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(Volumes, ParsesMountInfoLines) {
    const char* text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "35 22 0:31 / /mnt/my\\040disk\\134x ro,nosuid shared:5 master:2 - fuse.sshfs user@host:/dir rw\n"
        "\n"
        "40 22 8:2 /sub /srv rw - xfs /dev/sda2 rw,attr2\n";
    std::vector<ZorVolumeInfo> v;
    CWideString err;
    ASSERT_TRUE(ZorParseMountInfo(text, v, err)) << err;
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].sMountPoint, u"/");
    EXPECT_EQ(v[0].sFsType, u"ext4");
    EXPECT_EQ(v[0].nMajor, 8u);
    EXPECT_EQ(v[0].nMinor, 1u);
    EXPECT_FALSE(v[0].bReadOnly);
    EXPECT_EQ(v[1].sMountPoint, u"/mnt/my disk\\x");
    EXPECT_EQ(v[1].sFsType, u"fuse.sshfs");
    EXPECT_EQ(v[1].sSource, u"user@host:/dir");
    EXPECT_TRUE(v[1].bReadOnly);
    EXPECT_EQ(v[2].sRoot, u"/sub");

    for (const char* bad : {"22 1 8:1 / / rw shared:1 ext4 /dev/sda1 rw\n", // no "-"
                            "22 1 81 / / rw - ext4 /dev/sda1 rw\n",         // no major:minor
                            "22 1 8:1 / /a\\04 rw - ext4 /dev/sda1 rw\n",   // cut escape
                            "22 1 8:1 / relative rw - ext4 /dev/sda1 rw\n"}) {
        err.Empty();
        EXPECT_FALSE(ZorParseMountInfo(CNarrowString("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n") + bad, v, err));
        EXPECT_NE(err.Find(u"bad mount table line 2"), -1) << err;
    }
}

TEST(Volumes, VolumeOfAPathAgreesWithFindmnt) {
    if (!wtest::HaveTool("findmnt")) GTEST_SKIP() << "needs findmnt";
    wtest::TempDir dir;
    std::vector<ZorVolumeInfo> all;
    CWideString err;
    ASSERT_TRUE(ZorListVolumes(all, err)) << err;
    bool bRoot = false;
    for (const auto& v : all) bRoot |= v.sMountPoint == u"/";
    EXPECT_TRUE(bRoot);

    for (const std::string& path : {dir.Path(), std::string("/proc/self"), std::string("/"),
                                    std::string("/dev/shm"), std::string("/etc/hostname")}) {
        if (access(path.c_str(), F_OK) != 0) continue;
        std::string want = wtest::Run("findmnt -n -r -o TARGET,FSTYPE -T " + wtest::Quote(path));
        while (!want.empty() && want.back() == '\n') want.pop_back();
        want = want.substr(want.find_last_of('\n') + 1); // of stacked mounts the last, visible one
        ZorVolumeInfo v;
        ASSERT_TRUE(ZorGetVolumeOfPath(W(path), v, err)) << err;
        EXPECT_EQ(N(v.sMountPoint) + " " + N(v.sFsType), want) << path;
    }
    // A path that does not exist yet belongs to its nearest existing ancestor's volume.
    ZorVolumeInfo a, b;
    ASSERT_TRUE(ZorGetVolumeOfPath(W(dir.Path()), a, err));
    ASSERT_TRUE(ZorGetVolumeOfPath(W(dir / "not/yet/there"), b, err));
    EXPECT_EQ(a.sMountPoint, b.sMountPoint);
    err.Empty();
    EXPECT_FALSE(ZorGetVolumeOfPath(u"relative/path", a, err));
    EXPECT_NE(err.Find(u"not an absolute path"), -1);
}

TEST(Volumes, SpaceAgreesWithStat) {
    wtest::TempDir dir;
    uint64_t avail = 0, free = 0, total = 0;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(ZorGetVolumeSpace(W(dir.Path()), avail, free, total, kind, err)) << err;
    std::string out = wtest::Run("stat -f -c '%S %b %f %a' " + wtest::Quote(dir.Path()));
    unsigned long long bs = 0, blocks = 0, bfree = 0, bavail = 0;
    ASSERT_EQ(sscanf(out.c_str(), "%llu %llu %llu %llu", &bs, &blocks, &bfree, &bavail), 4) << out;
    EXPECT_EQ(total, bs * blocks);
    EXPECT_LE(avail, free);
    // Other programs write meanwhile: allow 256 MiB of drift.
    const long double slack = 256.0L * 1024 * 1024;
    EXPECT_LT(std::abs((long double)free - (long double)(bs * bfree)), slack);
    EXPECT_LT(std::abs((long double)avail - (long double)(bs * bavail)), slack);

    EXPECT_FALSE(ZorGetVolumeSpace(W(dir / "missing"), avail, free, total, kind, err));
    EXPECT_EQ(kind, 7); // not found
}

class SecurityDescr : public ::testing::Test {
protected:
    wtest::TempDir m_dir;
    void SetUp() override {
        if (!wtest::HaveTool("setfacl") || !wtest::HaveTool("getfacl"))
            GTEST_SKIP() << "needs setfacl/getfacl";
        wtest::WriteFile(m_dir / "probe", "");
        int st = 0;
        wtest::Run("setfacl -m u:65534:r " + wtest::Quote(m_dir / "probe") + " 2>/dev/null", &st);
        if (st != 0) GTEST_SKIP() << "the temporary folder's file system keeps no ACLs";
    }
    // getfacl's listing without the header (owner and name lines).
    std::string Facl(const std::string& path) {
        return wtest::Run("getfacl -c -n " + wtest::Quote(path) + " 2>/dev/null");
    }
    CWideString Get(const std::string& path) {
        CWideString text, err;
        int kind = 0;
        EXPECT_TRUE(ZorGetSecurityDescr(W(path), text, kind, err)) << err;
        return text;
    }
    void Set(const std::string& path, const CWideString& text) {
        CWideString err;
        int kind = 0;
        EXPECT_TRUE(ZorSetSecurityDescr(W(path), text, kind, err)) << err;
    }
};

TEST_F(SecurityDescr, CopiesModeAndAclsOfFilesAndFolders) {
    std::string a = m_dir / "a", b = m_dir / "b";
    wtest::WriteFile(a, "x");
    wtest::WriteFile(b, "y");
    chmod(a.c_str(), 0640);
    chmod(b.c_str(), 0604);
    wtest::Run("setfacl -m u:65534:rw,g:65534:r " + wtest::Quote(a));
    CWideString text = Get(a);
    EXPECT_TRUE(text.StartsWith(u"posix1;mode=0")) << text;
    EXPECT_NE(text.Find(u";acl=02000000"), -1) << text;
    EXPECT_EQ(text.Find(u"dacl"), -1);
    for (int i = 0; i < text.GetLength(); ++i) ASSERT_TRUE(text[i] > 0x20 && text[i] < 0x7F) << text;

    Set(b, text);
    EXPECT_EQ(Facl(b), Facl(a));
    EXPECT_EQ(Get(b), text);

    // A descriptor without ACL removes the ACL again.
    std::string c = m_dir / "c";
    wtest::WriteFile(c, "");
    chmod(c.c_str(), 0751);
    Set(b, Get(c));
    EXPECT_EQ(Facl(b), Facl(c));
    EXPECT_EQ(Facl(b), "user::rwx\ngroup::r-x\nother::--x\n\n");

    // Folders carry the default ACL too.
    std::string d1 = m_dir / "d1", d2 = m_dir / "d2";
    mkdir(d1.c_str(), 0755);
    mkdir(d2.c_str(), 0700);
    wtest::Run("setfacl -m u:65534:rx -d -m u:65534:rwx " + wtest::Quote(d1));
    CWideString dtext = Get(d1);
    EXPECT_NE(dtext.Find(u";dacl="), -1) << dtext;
    Set(d2, dtext);
    EXPECT_EQ(Facl(d2), Facl(d1));
    EXPECT_NE(Facl(d2).find("default:user:65534:rwx"), std::string::npos);
}

TEST_F(SecurityDescr, RefusesOtherFormsBeforeChangingAnything) {
    std::string f = m_dir / "f";
    wtest::WriteFile(f, "");
    chmod(f.c_str(), 0640);
    const std::string before = Facl(f);
    std::string own = "uid=" + std::to_string(geteuid()) + ";gid=" + std::to_string(getegid());
    for (const std::string& bad : {
             std::string("O:BAG:BAD:(A;;FA;;;WD)"),
             std::string("posix1;mode=0644"),
             "posix1;mode=10000;" + own,
             "posix1;mode=0644;" + own + ";acl=zz",
             "posix1;mode=0644;" + own + ";acl=0100000001000600ffffffff", // version 1
             "posix1;mode=0644;" + own + ";acl=0200000001",               // cut entry
             "posix1;mode=0644;" + own + ";color=red",
             "posix1;mode=0644;mode=0600;" + own,
             "posix1;mode=0644;" + own + ";",
             "posix1;mode=0644;" + own + ";dacl=02000000", // default ACL on a file
             "posix1;mode=0644 ;" + own,
         }) {
        CWideString err;
        int kind = 0;
        EXPECT_FALSE(ZorSetSecurityDescr(W(f), W(bad), kind, err)) << bad;
        EXPECT_TRUE(err.StartsWith(u"cannot set the security of")) << err;
        EXPECT_EQ(Facl(f), before) << bad;
    }
    CWideString err, text;
    int kind = 0;
    EXPECT_FALSE(ZorGetSecurityDescr(W(m_dir / "missing"), text, kind, err));
    EXPECT_EQ(kind, 7);
}

TEST_F(SecurityDescr, SetsOwnerAndGroupWhenPrivileged) {
    if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
    std::string f = m_dir / "owned";
    wtest::WriteFile(f, "");
    Set(f, u"posix1;mode=0600;uid=65534;gid=65534");
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
