// What a run's summary says is what the run did: the log it names was
// written (its owner's alone, whatever the umask), and every error the run
// met is counted.
#include "cli-test-run.h"
#include "job-harness.h"

#include "../../zor-lib/portable/net/http-test-servers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

namespace {

class CliSummary : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;

    // torvane with the test's profile, at umask 000.
    CCliRun Run(const std::vector<std::string>& args) {
        const std::string n = std::to_string(m_nRun++);
        std::string cmd = "umask 000; exec '" + CliProgram() + "' --profile '" + m_tmp.NativeSub("profile") + "'";
        for (const std::string& a : args) cmd += " '" + a + "'";
        return CliRunProgram({"/bin/sh", "-c", cmd}, m_tmp.NativeSub("out" + n), m_tmp.NativeSub("err" + n));
    }
    // The log the summary names ("" when it names none).
    static std::string NamedLog(const std::string& out) {
        std::smatch m;
        return std::regex_search(out, m, std::regex("; log: ([^\n]+)")) ? m[1].str() : std::string();
    }
    static unsigned Mode(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (unsigned)(st.st_mode & 07777) : 01000000u;
    }
};

} // namespace

// A job name as long as a file name takes: the log gets a name that fits,
// the summary names it, and a copy of it lies in each side's data folder.
TEST_F(CliSummary, ALongJobNameStillGetsItsLog) {
    ASSERT_TRUE(m_tmp.MakeDir("left") && m_tmp.MakeDir("right"));
    ASSERT_TRUE(m_tmp.WriteFile("left/a.txt", "a"));
    const std::string name(240, 'n');
    ASSERT_EQ(Run({"job", "add", name, m_tmp.NativeSub("left"), m_tmp.NativeSub("right")}).code, 0);
    const CCliRun sync = Run({"sync", name});
    EXPECT_EQ(sync.code, 0) << sync.out << sync.err;
    const std::string log = NamedLog(sync.out);
    ASSERT_FALSE(log.empty()) << sync.out;
    EXPECT_EQ(Mode(log), 0600u) << log;
    const std::string file = log.substr(log.rfind('/') + 1);
    EXPECT_LE(file.size(), 255u);
    for (const char* side : {"left", "right"}) {
        EXPECT_EQ(Mode(m_tmp.NativeSub(side) + "/_tvdata_/" + file), 0600u) << side;
        EXPECT_EQ(Mode(m_tmp.NativeSub(side) + "/_tvdata_/_file_state_v4._tv"), 0600u) << side;
    }
}

// A bucket that refuses the state file: the sync ends with errors, and its
// summary counts the error.
TEST_F(CliSummary, AStateFileNotSavedIsCountedAmongTheErrors) {
    ASSERT_TRUE(m_tmp.MakeDir("left"));
    ASSERT_TRUE(m_tmp.WriteFile("left/a.txt", "a"));
    ASSERT_TRUE(m_tmp.WriteFile("script.json", "[{\"method\": \"PUT\", \"path\": \"_file_state_upload\", \"times\": "
                                               "99, \"status\": 403, \"body\": \"<Error><Code>AccessDenied</Code>"
                                               "<Message>no</Message></Error>\"}]"));
    ntest::Child s3;
    std::string line;
    ASSERT_TRUE(s3.Start({"/usr/bin/python3", std::string(TV_SOURCE_DIR) + "/tools/fake-s3.py", "--key", "K",
                          "--secret", "V", "--bucket", "b", "--script", m_tmp.NativeSub("script.json")}) &&
                s3.WaitFor("", 10000, &line));
    const std::string url = "s3://K:V@127.0.0.1:" + std::to_string(atoi(line.c_str())) + "/b";
    ASSERT_EQ(Run({"job", "add", "S", m_tmp.NativeSub("left"), url}).code, 0);
    const CCliRun sync = Run({"sync", "S"});
    EXPECT_EQ(sync.code, 1) << sync.out << sync.err;
    EXPECT_NE(sync.err.find("Cannot upload temp state file"), std::string::npos) << sync.err;
    EXPECT_TRUE(std::regex_search(sync.out, std::regex("synced: 1 done, 0 conflicts, 1 errors?"))) << sync.out;
}
