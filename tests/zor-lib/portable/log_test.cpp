#include "test-tmp.h"
#include "zor-debug.h"
#include "zor-log.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Str(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class ZorLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tv-log-test-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        const char* old = std::getenv("TZ");
        m_bHadTz = old != nullptr;
        if (old) m_oldTz = old;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        if (m_bHadTz)
            setenv("TZ", m_oldTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    CWideString Dir() const { return Utf8ToWide(m_dir.c_str()); }

    std::string m_dir;
    bool m_bHadTz = false;
    std::string m_oldTz;
};

// Berlin local 2024-03-30 23:59:59.250 (UTC+1) as UTC seconds.
const int64_t kBeforeMidnight = 1711839599;

} // namespace

TEST_F(ZorLogTest, DailyFileRollsOverAtLocalMidnight) {
    ZorTestClock clock(kBeforeMidnight, 250);
    ZorClockScope scope(&clock);
    CZorLog log;
    log.SetFolder(Dir() + u"/"); // a trailing separator is not doubled
    log.SetBaseName(u"tv"_ws);
    log.SetEnabled(true);
    EXPECT_EQ(Str(log.GetFileName()), "tv-2024-03-30.log");
    EXPECT_EQ(Str(log.GetFilePath()), m_dir + "/tv-2024-03-30.log");

    log.Printf(u"before %d %s", 1, "midnight");
    EXPECT_TRUE(log.IsOpen());
    ZorSleepMs(750); // 00:00:00.000 of the next day (the DST day)
    log.Printf("after %s", CWideString(u"midnight"));
    log.WriteLine(u"line one\nline two\r\nline three\n"_ws);
    log.Printf(u"\n");
    EXPECT_EQ(Str(log.GetFileName()), "tv-2024-03-31.log");
    ZorSleepMs(7200 * 1000 + 1234); // clocks go forward: 02:00 becomes 03:00 local
    log.WriteLine(u"after the change"_ws);
    log.Close();

    EXPECT_EQ(ReadFile(m_dir + "/tv-2024-03-30.log"), "235959.250 before 1 midnight\r\n");
    EXPECT_EQ(ReadFile(m_dir + "/tv-2024-03-31.log"), "000000.000 after midnight\r\n"
                                                      "000000.000 line one\r\nline two\r\nline three\r\n"
                                                      "000000.000 \r\n"
                                                      "030001.234 after the change\r\n");
}

TEST_F(ZorLogTest, AppendsToAnExistingFileAndWritesUtf8) {
    ZorTestClock clock(kBeforeMidnight + 3601, 7);
    ZorClockScope scope(&clock);
    {
        std::ofstream f(m_dir + "/fixed.log", std::ios::binary);
        f << "old\r\n";
    }
    CZorLog log;
    log.SetFolder(Dir());
    log.SetFileName(u"fixed.log"_ws); // enables the log
    EXPECT_TRUE(log.IsEnabled());
    log.Printf(u"Grüße %s", u"→ ok"_ws);
    EXPECT_EQ(Str(log.GetFileName()), "fixed.log");
    log.SetEnabled(false);
    EXPECT_FALSE(log.IsOpen());
    log.Printf(u"not written");
    EXPECT_EQ(ReadFile(m_dir + "/fixed.log"), "old\r\n010000.007 Grüße → ok\r\n");
}

TEST_F(ZorLogTest, UnopenableFolderTurnsLoggingOffWithoutFailingTheCaller) {
    // The log folder's parent is a regular file: no one, root included, can create the log.
    std::string blocker = m_dir + "/not-a-folder";
    { std::ofstream f(blocker); }
    CZorLog log;
    log.SetFolder(Utf8ToWide((blocker + "/logs").c_str()));
    log.SetBaseName(u"tv"_ws);
    log.SetEnabled(true);
    log.Printf(u"lost %d", 1);
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(log.IsEnabled());
    log.WriteLine(u"also lost"_ws); // off: no further open attempts
    EXPECT_FALSE(log.IsOpen());

    // Once the folder exists, enabling again works.
    std::filesystem::remove(blocker);
    std::filesystem::create_directories(blocker + "/logs");
    log.SetEnabled(true);
    log.WriteLine(u"kept"_ws);
    EXPECT_TRUE(log.IsOpen());
    log.Close();
    EXPECT_NE(ReadFile(Str(log.GetFilePath())).find(" kept\r\n"), std::string::npos);
}

TEST_F(ZorLogTest, FailedWriteClosesTheFileAndTheNextEntryReopens) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not available";
    CZorLog log;
    log.SetFolder(u"/dev"_ws);
    log.SetFileName(u"full"_ws);
    log.Printf(u"no space");
    EXPECT_FALSE(log.IsOpen());   // closed by the failed write
    EXPECT_TRUE(log.IsEnabled()); // but still on
    log.SetFolder(Dir());
    log.SetFileName(u"ok.log"_ws);
    log.Printf(u"fine");
    EXPECT_TRUE(log.IsOpen());
}

TEST_F(ZorLogTest, ProgramLogObeysTheSwitchAndNamesItsFolder) {
    CZorLog& g = ZorGetProgramLog();
    CWideString oldFolder = g.GetFolder();
    g.SetFolder(Dir());
    g.SetFileName(u"program.log"_ws);
    EXPECT_EQ(Str(GetLogFolder()), m_dir);

    int oldSwitch = g_LogSwitch.exchange(9);
    g.Printf(u"silent");
    g.WriteLine(u"silent too"_ws);
    CZorLog other; // the switch is the program log's only
    other.SetFolder(Dir());
    other.SetFileName(u"other.log"_ws);
    other.Printf(u"written");
    g_LogSwitch.store(3);
    g.Printf(u"loud");
    g_LogSwitch.store(oldSwitch);

    g.SetEnabled(false);
    g.SetFolder(oldFolder);
    EXPECT_EQ(ReadFile(m_dir + "/program.log").find("silent"), std::string::npos);
    EXPECT_NE(ReadFile(m_dir + "/program.log").find(" loud\r\n"), std::string::npos);
    EXPECT_NE(ReadFile(m_dir + "/other.log").find(" written\r\n"), std::string::npos);
}

TEST_F(ZorLogTest, NamesAndPaths) {
    CZorLog log;
    EXPECT_TRUE(log.GetFilePath().IsEmpty());
    log.SetFileName(u"a.log"_ws);
    EXPECT_TRUE(log.GetFilePath().IsEmpty()); // no folder
    log.SetFolder(u"/x"_ws);
    EXPECT_EQ(Str(log.GetFilePath()), "/x/a.log");
    long before = ZorAssertCount();
    ZorAssertHook prev = ZorSetAssertHook([](const char*) {});
    log.SetBaseName(CWideString()); // refused
    ZorSetAssertHook(prev);
    EXPECT_EQ(ZorAssertCount(), before + 1);
    EXPECT_EQ(Str(log.GetFileName()), "a.log");
}

TEST_F(ZorLogTest, ConcurrentWritersKeepLinesWhole) {
    CZorLog log;
    log.SetFolder(Dir());
    log.SetFileName(u"mt.log"_ws);
    std::vector<std::thread> ts;
    for (int t = 0; t < 6; ++t)
        ts.emplace_back([&log, t] {
            for (int i = 0; i < 200; ++i) log.Printf(u"thread %d entry %d with some padding text", t, i);
        });
    for (auto& th : ts) th.join();
    log.Close();
    std::istringstream in(ReadFile(m_dir + "/mt.log"));
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        ASSERT_GE(line.size(), 12u);
        EXPECT_EQ(line.back(), '\r');
        EXPECT_EQ(line[6], '.');
        EXPECT_NE(line.find(" with some padding text\r"), std::string::npos) << line;
    }
    EXPECT_EQ(n, 1200);
}
