#include "zor-debug.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets or unsets an environment variable for the lifetime of the object.
struct EnvScope {
    std::string name;
    bool had;
    std::string old;
    EnvScope(const char* n, const char* value) : name(n) {
        const char* v = getenv(n);
        had = v != nullptr;
        if (v) old = v;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~EnvScope() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

struct AssertSilencer {
    ZorAssertHook prev;
    AssertSilencer() : prev(ZorSetAssertHook([](const char*) {})) {}
    ~AssertSilencer() { ZorSetAssertHook(prev); }
};

} // namespace

TEST(ZorPath, FolderAndNameParts) {
    EXPECT_EQ(GetPathFolder(u"a/b\\c.txt"), u"a/b");
    EXPECT_EQ(GetPathFolder(u"a\\b/c.txt"), u"a\\b");
    EXPECT_EQ(GetPathFolder(u"c.txt"), u"");
    EXPECT_EQ(GetPathFileName(u"a/b\\c.txt"), u"c.txt");
    EXPECT_EQ(GetPathFileName(u"c.txt"), u"c.txt");
    EXPECT_EQ(GetPathFileName(u"dir/"), u"");
    // URL forms know only '/'
    EXPECT_EQ(GetUrlPathFolder(u"/a/b\\c"), u"/a");
    EXPECT_EQ(GetUrlPathFileName(u"/a/b\\c"), u"b\\c");
    EXPECT_EQ(GetUrlPathFolder(u"name"), u"");
    EXPECT_EQ(GetUrlPathFileName(u"name"), u"name");
}

TEST(ZorPath, TrailingSeparators) {
    struct {
        const char16_t* in;
        const char16_t* back; // RemoveTrailingBackslash
        const char16_t* fwd;  // RemoveTrailingForwardSlash
        const char16_t* any;  // RemoveTrailingSlash
        const char16_t* keep; // RemoveTrailingSlashKeepScheme
        const char16_t* add;  // AddTrailingForwardSlash
    } cases[] = {
        {u"a/b/", u"a/b", u"a/b", u"a/b", u"a/b", u"a/b/"},
        {u"a\\b\\", u"a\\b", u"a\\b\\", u"a\\b", u"a\\b", u"a\\b\\"},
        {u"a//", u"a/", u"a/", u"a/", u"a/", u"a//"},
        {u"a", u"a", u"a", u"a", u"a", u"a/"},
        {u"/", u"/", u"", u"", u"", u"/"},
        {u"", u"", u"", u"", u"", u"/"},
        {u"http://", u"http:/", u"http:/", u"http:/", u"http://", u"http://"},
    };
    for (auto& c : cases) {
        CWideString s;
        s = c.in, RemoveTrailingBackslash(s);
        EXPECT_EQ(s, c.back) << CWideString(c.in);
        s = c.in, RemoveTrailingForwardSlash(s);
        EXPECT_EQ(s, c.fwd) << CWideString(c.in);
        s = c.in, RemoveTrailingSlash(s);
        EXPECT_EQ(s, c.any) << CWideString(c.in);
        s = c.in, RemoveTrailingSlashKeepScheme(s);
        EXPECT_EQ(s, c.keep) << CWideString(c.in);
        s = c.in, AddTrailingForwardSlash(s);
        EXPECT_EQ(s, c.add) << CWideString(c.in);
    }
}

TEST(ZorPath, SlashConversionAndCheckFlag) {
    AssertSilencer quiet;
    CWideString s = u"a\\b/c\\d";
    long before = ZorAssertCount();
    EXPECT_EQ(ToForwardSlashes(s), 2);
    EXPECT_EQ(s, u"a/b/c/d");
    EXPECT_EQ(ZorAssertCount(), before);
    EXPECT_EQ(ToBackslashes(s, true), 3);
    EXPECT_EQ(s, u"a\\b\\c\\d");
    EXPECT_EQ(ZorAssertCount(), before + 1);
    EXPECT_EQ(ToBackslashes(s, true), 0); // nothing replaced: no report
    EXPECT_EQ(ZorAssertCount(), before + 1);
}

TEST(ZorPath, ChangeExtension) {
    EXPECT_EQ(ChangeExtension(u"a\\b.txt", u".bak"), u"a\\b.bak");
    EXPECT_EQ(ChangeExtension(u"dir.d/file", u".bak"), u"dir.d/file.bak");
    EXPECT_EQ(ChangeExtension(u"dir.d\\file", u".bak"), u"dir.d\\file.bak");
    EXPECT_EQ(ChangeExtension(u"a.tar.gz", u""), u"a.tar");
}

TEST(ZorPath, NativeForm) {
    EXPECT_EQ(ZorNativePath(u"\\\\?\\C:\\a\\b"), "C:/a/b");
    EXPECT_EQ(ZorNativePath(u"\\\\?\\UNC\\srv\\share\\x"), "//srv/share/x");
    EXPECT_EQ(ZorNativePath(u"/home/u\\sub/\u00E4\U0001F600"), "/home/u/sub/\xC3\xA4\xF0\x9F\x98\x80");
    EXPECT_EQ(ZorWidePath("/x/\xC3\xA4"), u"/x/\u00E4");
}

TEST(ZorPath, ExpandDateMacrosFromTheClock) {
    ZorTestClock clock(1700000000); // 2023-11-14 22:13:20 UTC
    ZorClockScope scope(&clock);
    struct tm t {};
    ASSERT_TRUE(CZorTime::GetLocalTm(1700000000, t));
    CWideString expected;
    expected.Format(u"%04d-%02d-%02d %d %d %02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                    t.tm_wday + 1, (t.tm_mday - 1) / 7 + 1, t.tm_hour, t.tm_min);
    CWideString s = u"%YYYY%-%MM%-%DD% %DOW% %WOM% %HH%:%II%";
    ExpandPathMacros(s);
    EXPECT_EQ(s, expected);
    s = u"%yyyy%"; // names compare without regard to case
    ExpandPathMacros(s);
    EXPECT_EQ(s, CWideString::Formatted(u"%04d", t.tm_year + 1900));
    // the clock moves, the macros follow
    clock.Advance(86400LL * 1000 * 40);
    s = u"%MM%";
    ExpandPathMacros(s);
    struct tm t2 {};
    ASSERT_TRUE(CZorTime::GetLocalTm(1700000000 + 86400 * 40, t2));
    EXPECT_EQ(s, CWideString::Formatted(u"%02d", t2.tm_mon + 1));
}

TEST(ZorPath, ExpandEnvironmentAndUnknownNames) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    EnvScope var("TV_PATH_TEST_VAR", "/data/x");
    CWideString year = CWideString::Formatted(u"%d", CZorTime(1700000000).GetYear());
    struct {
        const char16_t* in;
        CWideString out;
    } cases[] = {
        {u"%TV_PATH_TEST_VAR%/sub", u"/data/x/sub"},
        {u"%tv_path_test_var%", u"/data/x"},
        {u"%NO_SUCH_VAR_9%/a", u"%NO_SUCH_VAR_9%/a"},
        {u"100%", u"100%"},
        {u"%%", u"%%"},
        {u"50% of %YYYY%", u"50% of " + year},
        {u"%NO_SUCH_VAR_9%YYYY%", u"%NO_SUCH_VAR_9" + year}, // the closing '%' opens the next name
        {u"no macros", u"no macros"},
    };
    for (auto& c : cases) {
        CWideString s = c.in;
        ExpandPathMacros(s);
        EXPECT_EQ(s, c.out) << CWideString(c.in);
    }
}

TEST(ZorPath, ComputerAndUserNamesSuppliedWhenTheEnvironmentLacksThem) {
    EnvScope noComputer("COMPUTERNAME", nullptr);
    EnvScope noUser("USERNAME", nullptr);
    CWideString s = u"By: job.%USERNAME%@%COMPUTERNAME%";
    ExpandPathMacros(s);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_TRUE(s.StartsWith(u"By: job."));
    EXPECT_TRUE(s.EndsWith(u"@" + Utf8ToWide(host))) << s;
    EXPECT_EQ(s.Find(u"%USERNAME%"), -1) << s;
    EXPECT_GT(s.GetLength(), (int)(CWideString(u"By: job.@").GetLength() + strlen(host)));
    {
        EnvScope computer("COMPUTERNAME", "box-7");
        EnvScope user("USERNAME", "alice");
        CWideString t = u"%USERNAME%@%COMPUTERNAME%";
        ExpandPathMacros(t);
        EXPECT_EQ(t, u"alice@box-7");
    }
}

TEST(ZorPath, ExeFolderVolumeRootAndPortableEdition) {
    char exe[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string folder(exe);
    folder = folder.substr(0, folder.find_last_of('/'));
    EXPECT_EQ(GetProcessExeFolder(), Utf8ToWide(folder.c_str()));

    EXPECT_EQ(GetVolumeRoot(u"/"), u"/");
    EXPECT_EQ(GetVolumeRoot(u"/proc/self/status"), u"/proc/");
    EXPECT_EQ(GetVolumeRoot(u"/proc/no/such/thing"), u"/proc/");
    EXPECT_EQ(GetVolumeRoot(u"relative/path"), u"");
    CWideString root = GetVolumeRoot(Utf8ToWide(exe));
    EXPECT_TRUE(root.EndsWith(u"/"));
    EXPECT_TRUE(Utf8ToWide(exe).StartsWith(root)) << root;

    // The portable edition is recognised by a "Profile" folder beside the executable.
    std::string profile = folder + "/Profile";
    struct stat st;
    if (stat(profile.c_str(), &st) != 0) {
        EXPECT_FALSE(IsPortableEdition());
        if (mkdir(profile.c_str(), 0755) == 0) { // the build folder may be read-only
            EXPECT_TRUE(IsPortableEdition());
            rmdir(profile.c_str());
        }
    }
}

TEST(ZorPath, AbsolutePaths) {
    EXPECT_TRUE(IsAbsoluteWinPath(u"\\\\?\\C:\\x"));
    EXPECT_TRUE(IsAbsoluteWinPath(u"\\\\server\\share"));
    EXPECT_TRUE(IsAbsoluteWinPath(u"C:\\x"));
    EXPECT_TRUE(IsAbsoluteWinPath(u"d:"));
    EXPECT_TRUE(IsAbsoluteWinPath(u"/home/x"));
    EXPECT_FALSE(IsAbsoluteWinPath(u"home/x"));
    EXPECT_FALSE(IsAbsoluteWinPath(u"1:\\x"));
    EXPECT_FALSE(IsAbsoluteWinPath(u""));
}

TEST(ZorPath, FileUrlsToLocalPaths) {
    struct {
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {u"file:///home/a%20b/c", u"/home/a b/c"},
        {u"FILE:///x%C3%A4", u"/x\u00E4"},
        {u"file://localhost/srv/x", u"/srv/x"},
        {u"file:///C:/Users/x", u"C:/Users/x"},
        {u"file://server/share/x", u"//server/share/x"},
        {u"file:///bad%zz%4", u"/bad%zz%4"},
        {u"/plain/100%20", u"/plain/100%20"}, // plain paths are not decoded
        {u"C:\\x", u"C:\\x"},
    };
    for (auto& c : cases) EXPECT_EQ(UrlToLocalPath(c.in), c.out) << CWideString(c.in);
}
