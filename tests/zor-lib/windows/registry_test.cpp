// The registry store: values, names, order, the file layout, damaged files,
// and writers in several processes.
#include "zor-registry.h"
#include "zor-unicode.h"

#include "windows-test-util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const CWideString kTvKey = u"Software\\Zorvek Systems\\Torvane";

class Registry : public ::testing::Test {
protected:
    wtest::TempDir m_dir;
    wtest::EnvVar m_env{"TORVANE_REGISTRY_DIR", m_dir.Path()};
    std::string UserFile() const { return m_dir / "user.reg"; }

    void SetString(const CWideString& key, const CWideString& name, const CWideString& text) {
        CWideString err;
        ASSERT_TRUE(RegSetStringValue(text, HKEY_CURRENT_USER, key, name, err)) << err;
    }
    void SetDword(const CWideString& key, const CWideString& name, uint32_t n) {
        CWideString err;
        ASSERT_TRUE(RegSetDwordValue(n, HKEY_CURRENT_USER, key, name, err)) << err;
    }
    std::vector<CWideString> SubKeys(const CWideString& key) {
        CSafeRegKey k;
        CWideString err;
        std::vector<CWideString> names;
        EXPECT_TRUE(k.Open(HKEY_CURRENT_USER, key, err)) << err;
        EXPECT_TRUE(k.EnumSubKeys(names, err)) << err;
        return names;
    }
};

TEST_F(Registry, ValuesRoundTripAndQuietReadsKeepDefaults) {
    SetString(kTvKey, u"ProgOptionsTix", u"text");
    SetDword(kTvKey, u"CleanUpTime", 0xFFFFFFFFu);

    CWideString s = u"default";
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix");
    EXPECT_EQ(s, u"text");
    uint32_t n = 7;
    RegGetDwordValueQuiet(n, HKEY_CURRENT_USER, kTvKey, u"CleanUpTime");
    EXPECT_EQ(n, 0xFFFFFFFFu);

    // Missing key, missing value, and a value of the other type leave the default.
    s = u"default";
    n = 7;
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, u"Software\\Nothing", u"x");
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey, u"Missing");
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey, u"CleanUpTime");
    RegGetDwordValueQuiet(n, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix");
    EXPECT_EQ(s, u"default");
    EXPECT_EQ(n, 7u);

    CWideString err;
    EXPECT_FALSE(RegGetDwordValue(n, HKEY_CURRENT_USER, u"Software\\Nothing", u"x", err));
    EXPECT_EQ(err,
              u"Cannot open registry key 'Software\\Nothing' in 'HKEY_CURRENT_USER': the key does not exist");
    err.Empty();
    EXPECT_FALSE(RegGetDwordValue(n, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix", err));
    EXPECT_EQ(err, u"Cannot read registry value 'ProgOptionsTix' of "
                   u"'HKEY_CURRENT_USER\\Software\\Zorvek Systems\\Torvane': the value is not a DWORD");

    // Overwriting changes the type; the Quiet setter works too.
    RegSetDwordValueQuiet(5, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix");
    EXPECT_TRUE(RegGetDwordValue(n, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix", err));
    EXPECT_EQ(n, 5u);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirFirstCase) {
    SetString(kTvKey, u"ProgOptionsTix", u"one");
    SetString(u"SOFTWARE\\zorvek systems\\TORVANE", u"PROGOPTIONSTIX", u"two");
    SetString(u"Software\\\u00c4rger", u"\u00c9t\u00e9", u"x"); // non-ASCII letters fold too

    CWideString s;
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, u"software\\ZORVEK SYSTEMS\\torvane\\", u"progoptionstix");
    EXPECT_EQ(s, u"two");
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, u"SOFTWARE\\\u00e4RGER", u"\u00e9T\u00c9");
    EXPECT_EQ(s, u"x");

    std::string file = wtest::ReadFile(UserFile());
    EXPECT_NE(
        file.find("[HKEY_CURRENT_USER\\Software\\Zorvek Systems\\Torvane]\n\"ProgOptionsTix\"=\"two\"\n"),
        std::string::npos)
        << file;
    EXPECT_EQ(file.find("TORVANE]"), std::string::npos);
    EXPECT_EQ(SubKeys(u"software").size(), 2u);
}

TEST_F(Registry, SubKeysEnumerateInCaseFoldOrder) {
    for (const char16_t* name :
         {u"beta", u"Alpha", u"gamma", u"Delta", u"alpha2", u"Zeta", u"\u00e9clair", u"_x"})
        SetDword(CWideString(u"Software\\Jobs\\") + name, u"LastRunTime32", 1);
    std::vector<CWideString> want = {u"_x",    u"Alpha", u"alpha2", u"beta",
                                     u"Delta", u"gamma", u"Zeta",   u"\u00e9clair"};
    EXPECT_EQ(SubKeys(u"Software\\Jobs"), want);
    // Deleting one and re-adding it in another case keeps the order.
    RegDeleteKeyTreeQuiet(HKEY_CURRENT_USER, u"Software\\Jobs", u"beta");
    SetDword(u"Software\\Jobs\\BETA", u"x", 1);
    want[3] = u"BETA";
    EXPECT_EQ(SubKeys(u"Software\\Jobs"), want);
}

TEST_F(Registry, FileHasTheRegeditLayout) {
    SetString(kTvKey, u"ProgOptionsTix", u"a \\ b \"c\" d\n\x01\u00e9\U0001D11E");
    SetDword(kTvKey, u"CleanUpTime", 100000000);
    SetDword(kTvKey + u"\\Jobs\\My Job", u"LastRunTime32", 42);
    SetString(kTvKey + u"\\Jobs\\My Job", u"", u"default");
    const char* want = "TORVANE REGISTRY 1\n"
                       "\n[HKEY_CURRENT_USER\\Software]\n"
                       "\n[HKEY_CURRENT_USER\\Software\\Zorvek Systems]\n"
                       "\n[HKEY_CURRENT_USER\\Software\\Zorvek Systems\\Torvane]\n"
                       "\"CleanUpTime\"=dword:05f5e100\n"
                       "\"ProgOptionsTix\"=\"a \\\\ b \\\"c\\\" d\\n\\x01\xc3\xa9\xf0\x9d\x84\x9e\"\n"
                       "\n[HKEY_CURRENT_USER\\Software\\Zorvek Systems\\Torvane\\Jobs]\n"
                       "\n[HKEY_CURRENT_USER\\Software\\Zorvek Systems\\Torvane\\Jobs\\My Job]\n"
                       "@=\"default\"\n"
                       "\"LastRunTime32\"=dword:0000002a\n";
    EXPECT_EQ(wtest::ReadFile(UserFile()), want);
    struct stat st;
    ASSERT_EQ(stat(UserFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Registry, StoredTextKeepsEveryUnitExactly) {
    // Keyword text as the job store keeps it: pure ASCII with its own escapes,
    // line feeds turned into blanks.
    CWideString tix = u"<Job>   Name = \"a\\\\b \\\"q\\\" \\228;\\n\"   Dir1 = <TvConnectInfo>  "
                      u"Url = \"file:///C:\\\\x\"  </TvConnectInfo> </Job> ";
    CWideString all;
    for (char16_t c = 0; c < 0x100; ++c) all.AppendChar(c);
    all += u"\xD800 lone \xDC00 pair \U0001F600 end\\";
    for (const CWideString& text : {tix, all, CWideString()}) {
        SetString(kTvKey, u"ProgOptionsTix", text);
        CWideString got = u"unset", err;
        ASSERT_TRUE(RegGetStringValue(got, HKEY_CURRENT_USER, kTvKey, u"ProgOptionsTix", err)) << err;
        EXPECT_EQ(got, text);
    }
    // Value names are escaped the same way.
    SetString(kTvKey, u"we\"ird\\na\nme", u"v");
    CWideString got;
    RegGetStringValueQuiet(got, HKEY_CURRENT_USER, kTvKey, u"WE\"IRD\\NA\nME");
    EXPECT_EQ(got, u"v");
}

TEST_F(Registry, DamagedHiveIsAnErrorAndIsNeverReplaced) {
    SetString(kTvKey, u"A", u"1");
    const std::string good = wtest::ReadFile(UserFile());
    struct Case {
        std::string text;
        const char16_t* reason;
    } cases[] = {
        {"", u"line 1: the file is empty"},
        {good.substr(0, good.size() - 3), u"the last line is incomplete"},
        {"TORVANE REGISTRY 2\n", u"line 1: the header line"},
        {good + "garbage\n", u"expected a section"},
        {good + "\"B\"=dword:123\n", u"bad dword value"},
        {good + "\"B\"=hex:01,02\n", u"a quoted text or dword:xxxxxxxx expected"},
        {good + "\"B\"=\"a\\qb\"\n", u"unknown escape"},
        {good + "\"B\"=\"open\n", u"quoted text not closed"},
        {good + "\"B\"=\"\\xC3\\xA9\"\n", u"bad \\x escape"},
        {good + "\"A\"=\"again\"\n", u"value given twice"},
        {good + "[HKEY_LOCAL_MACHINE\\X]\n", u"section outside HKEY_CURRENT_USER"},
        {good + "[HKEY_CURRENT_USER\\a\\\\b]\n", u"empty key name"},
        {good + "\"B\"=\"\xff\"\n", u"bad UTF-8"},
        {"TORVANE REGISTRY 1\n\"A\"=\"x\"\n", u"line 2: value before the first section"},
    };
    for (const Case& c : cases) {
        wtest::WriteFile(UserFile(), c.text);
        CWideString s = u"default", err;
        EXPECT_FALSE(RegGetStringValue(s, HKEY_CURRENT_USER, kTvKey, u"A", err)) << c.text;
        EXPECT_NE(err.Find(u"is damaged at line"), -1) << err;
        EXPECT_NE(err.Find(c.reason), -1) << err << " / " << Utf8ToWide(c.text.c_str());
        err.Empty();
        EXPECT_FALSE(RegSetStringValue(u"2", HKEY_CURRENT_USER, kTvKey, u"B", err));
        EXPECT_NE(err.Find(u"is damaged"), -1) << err;
        CSafeRegKey k;
        EXPECT_FALSE(k.Open(HKEY_CURRENT_USER, u"", err));
        RegDeleteKeyTreeQuiet(HKEY_CURRENT_USER, u"", u"Software");
        EXPECT_EQ(wtest::ReadFile(UserFile()), c.text) << "a damaged hive must stay as it is";
    }
    // A hand-edited file with CR LF line ends and blank lines reads.
    wtest::WriteFile(UserFile(), "TORVANE REGISTRY 1\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"A\"=\"1\"\r\n\r\n");
    CWideString s;
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, u"K", u"A");
    EXPECT_EQ(s, u"1");
}

TEST_F(Registry, OversizedHiveIsRefusedUnread) {
    // Sparse files: what is refused unread costs neither time nor memory.
    for (const off_t size : {off_t(kZorRegMaxHiveFileBytes) + 1, off_t(1) << 30, off_t(5) << 30}) {
        wtest::WriteFile(UserFile(), "TORVANE REGISTRY 1\n");
        ASSERT_EQ(truncate(UserFile().c_str(), size), 0);
        CWideString s = u"default", err;
        EXPECT_FALSE(RegGetStringValue(s, HKEY_CURRENT_USER, kTvKey, u"A", err));
        EXPECT_NE(err.Find(u"registry file '" + Utf8ToWide(UserFile().c_str()) + u"' is too large"), -1) << err;
        RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey, u"A");
        EXPECT_EQ(s, u"default");
        EXPECT_FALSE(RegSetStringValue(u"2", HKEY_CURRENT_USER, kTvKey, u"B", err));
    }
}

TEST_F(Registry, DeletesValuesAndKeyTrees) {
    SetString(kTvKey + u"\\Jobs\\One", u"tix", u"1");
    SetDword(kTvKey + u"\\Jobs\\One", u"LastRunTime32", 9);
    SetString(kTvKey + u"\\Jobs\\Two\\Deep", u"tix", u"2");
    SetString(kTvKey + u"\\Jobs", u"keep", u"k");

    RegDeleteValueQuiet(HKEY_CURRENT_USER, kTvKey + u"\\Jobs\\One", u"TIX");
    CWideString s = u"gone";
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey + u"\\Jobs\\One", u"tix");
    EXPECT_EQ(s, u"gone");
    uint32_t n = 0;
    RegGetDwordValueQuiet(n, HKEY_CURRENT_USER, kTvKey + u"\\Jobs\\One", u"LastRunTime32");
    EXPECT_EQ(n, 9u);

    RegDeleteKeyTreeQuiet(HKEY_CURRENT_USER, kTvKey + u"\\Jobs", u"two");
    EXPECT_EQ(SubKeys(kTvKey + u"\\Jobs"), std::vector<CWideString>{u"One"});

    // Missing things are not errors; an unchanged hive is not rewritten.
    std::string before = wtest::ReadFile(UserFile());
    CWideString err;
    EXPECT_TRUE(RegDeleteValue(HKEY_CURRENT_USER, u"No\\Such", u"x", err)) << err;
    EXPECT_TRUE(RegDeleteKeyTree(HKEY_CURRENT_USER, u"No", u"Such", err)) << err;
    EXPECT_EQ(wtest::ReadFile(UserFile()), before);

    // An empty sub-key empties the key and keeps it.
    EXPECT_TRUE(RegDeleteKeyTree(HKEY_CURRENT_USER, kTvKey + u"\\Jobs", u"", err)) << err;
    EXPECT_TRUE(SubKeys(kTvKey + u"\\Jobs").empty());
    s = u"none";
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey + u"\\Jobs", u"keep");
    EXPECT_EQ(s, u"none");
}

TEST_F(Registry, BadPathsAndTheReadOnlyMachineHive) {
    CWideString err;
    EXPECT_FALSE(RegSetStringValue(u"x", HKEY_CURRENT_USER, u"a\\\\b", u"n", err));
    EXPECT_NE(err.Find(u"empty key name"), -1) << err;
    err.Empty();
    EXPECT_FALSE(RegSetStringValue(u"x", HKEY_CURRENT_USER, u"a\nb", u"n", err));
    EXPECT_NE(err.Find(u"control character"), -1) << err;
    err.Empty();
    EXPECT_FALSE(RegSetStringValue(u"x", HKEY_CURRENT_USER, u"a", u"n", err, KEY_READ));
    EXPECT_NE(err.Find(u"access denied"), -1) << err;
    err.Empty();
    EXPECT_FALSE(RegSetStringValue(u"x", HKEY(0x80000003u), u"a", u"n", err));
    EXPECT_NE(err.Find(u"unknown root key"), -1) << err;

    wtest::WriteFile(m_dir / "machine.reg",
                     "TORVANE REGISTRY 1\n\n[HKEY_LOCAL_MACHINE\\Software\\Policies\\Orvan\\Lumidrift]\n"
                     "\"EnableCollab\"=dword:00000001\n");
    uint32_t n = 0;
    EXPECT_TRUE(RegGetDwordValue(n, HKEY_LOCAL_MACHINE, u"Software\\Policies\\Orvan\\Lumidrift",
                                 u"EnableCollab", err))
        << err;
    EXPECT_EQ(n, 1u);
    err.Empty();
    EXPECT_FALSE(RegSetDwordValue(0, HKEY_LOCAL_MACHINE, u"Software", u"x", err));
    EXPECT_NE(err.Find(u"read-only"), -1) << err;
    CSafeRegKey k;
    err.Empty();
    EXPECT_FALSE(k.Open(HKEY_LOCAL_MACHINE, u"Software", err, KEY_READ | KEY_WRITE));
    EXPECT_EQ(err, u"Cannot open registry key 'Software' in 'HKEY_LOCAL_MACHINE': "
                   u"access denied (the machine hive is read-only)");
    EXPECT_TRUE(k.Open(HKEY_LOCAL_MACHINE, u"software", err)) << err;
    std::vector<CWideString> names;
    EXPECT_TRUE(k.EnumSubKeys(names, err));
    EXPECT_EQ(names, std::vector<CWideString>{u"Policies"});
}

TEST_F(Registry, HiveFolderFollowsXdgConfigHome) {
    wtest::EnvVar noOverride("TORVANE_REGISTRY_DIR", nullptr);
    CNarrowString path;
    CWideString err;
    {
        wtest::EnvVar xdg("XDG_CONFIG_HOME", m_dir.Path());
        ASSERT_TRUE(ZorRegHiveFilePath(HKEY_CURRENT_USER, path, err)) << err;
        EXPECT_EQ(std::string(path.GetString()), m_dir / "torvane/registry/user.reg");
        SetDword(u"K", u"v", 3); // creates the folders
        EXPECT_NE(wtest::ReadFile(m_dir / "torvane/registry/user.reg").find("\"v\"=dword:00000003"),
                  std::string::npos);
    }
    {
        wtest::EnvVar xdg("XDG_CONFIG_HOME", "relative/ignored");
        wtest::EnvVar home("HOME", m_dir.Path());
        ASSERT_TRUE(ZorRegHiveFilePath(HKEY_CURRENT_USER, path, err)) << err;
        EXPECT_EQ(std::string(path.GetString()), m_dir / ".config/torvane/registry/user.reg");
    }
    ASSERT_TRUE(ZorRegHiveFilePath(HKEY_LOCAL_MACHINE, path, err));
    EXPECT_EQ(std::string(path.GetString()), "/etc/torvane/registry/machine.reg");
}

// Several processes write different values into one key at the same time;
// every value must be there afterwards.
TEST_F(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
    const int kProcs = 4, kWrites = 25;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1); // wait until all children stand ready
            bool ok = true;
            for (int i = 0; i < kWrites && ok; ++i) {
                CWideString err, name;
                name.Format(u"p%d-v%02d", p, i);
                ok = RegSetDwordValue((uint32_t)(p * 1000 + i), HKEY_CURRENT_USER, u"Software\\Race", name,
                                      err);
            }
            _exit(ok ? 0 : 1);
        }
        kids.push_back(pid);
    }
    close(go[0]);
    close(go[1]); // releases the children together
    for (pid_t pid : kids) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    for (int p = 0; p < kProcs; ++p) {
        for (int i = 0; i < kWrites; ++i) {
            CWideString err, name;
            name.Format(u"p%d-v%02d", p, i);
            uint32_t n = 0;
            EXPECT_TRUE(RegGetDwordValue(n, HKEY_CURRENT_USER, u"Software\\Race", name, err)) << err;
            EXPECT_EQ(n, (uint32_t)(p * 1000 + i));
        }
    }
}

int g_hookPipe = -1;

// A writer killed after writing its temporary file, while holding the lock,
// leaves the previous hive; the lock dies with it and the next write works.
TEST_F(Registry, WriterKilledMidWriteLeavesThePreviousFile) {
    SetString(kTvKey, u"Before", u"kept");
    const std::string before = wtest::ReadFile(UserFile());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        g_hookPipe = ready[1];
        ZorRegSetWriteHook([](const char* stage) {
            if (std::string(stage) == "temp-written") {
                (void)!write(g_hookPipe, "x", 1);
                for (;;) pause(); // killed here
            }
        });
        CWideString err;
        RegSetStringValue(u"lost", HKEY_CURRENT_USER, kTvKey, u"During", err);
        _exit(3);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(pid, SIGKILL);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(st));

    EXPECT_EQ(wtest::ReadFile(UserFile()), before);
    EXPECT_NE(wtest::ReadFile(UserFile() + ".tmp").find("During"), std::string::npos); // the leftover
    CWideString s = u"absent";
    RegGetStringValueQuiet(s, HKEY_CURRENT_USER, kTvKey, u"During");
    EXPECT_EQ(s, u"absent");

    SetString(kTvKey, u"After", u"written");
    CWideString err;
    EXPECT_TRUE(RegGetStringValue(s, HKEY_CURRENT_USER, kTvKey, u"Before", err)) << err;
    EXPECT_EQ(s, u"kept");
    EXPECT_TRUE(RegGetStringValue(s, HKEY_CURRENT_USER, kTvKey, u"After", err)) << err;
    EXPECT_EQ(s, u"written");
    EXPECT_EQ(access((UserFile() + ".tmp").c_str(), F_OK), -1);
}

} // namespace
