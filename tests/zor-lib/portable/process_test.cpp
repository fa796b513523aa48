#include "test-tmp.h"
#include "zor-process.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class ProcessDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tv-process-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        // Writes its arguments after the first (the output file), one per
        // line, and exits with their count.
        m_script = m_dir + "/argv.py";
        WriteText(m_script, "import sys\n"
                            "with open(sys.argv[1], 'w', encoding='utf-8') as f:\n"
                            "    f.write('\\n'.join(sys.argv[2:]))\n"
                            "sys.exit(len(sys.argv) - 2)\n");
    }
    void TearDown() override { (void)!system(("rm -rf '" + m_dir + "'").c_str()); }

    static void WriteText(const std::string& path, const std::string& text, mode_t mode = 0644) {
        std::ofstream(path, std::ios::binary) << text;
        chmod(path.c_str(), mode);
    }
    static std::string ReadText(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    CWideString W(const std::string& s) { return Utf8ToWide(s.c_str()); }

    std::string m_dir;
    std::string m_script;
};

std::vector<CWideString> Args(std::initializer_list<const char16_t*> l) {
    std::vector<CWideString> r;
    for (const char16_t* s : l) r.emplace_back(s);
    return r;
}

} // namespace

TEST(ZorProcess, SplitsByTheWindowsCommandLineRules) {
    struct {
        const char16_t* in;
        std::vector<CWideString> out;
    } cases[] = {
        {u"a b\t c", Args({u"a", u"b", u"c"})},
        {u"  ", Args({})},
        {uR"("a b" c)", Args({u"a b", u"c"})},
        {uR"("he said \"hi; there\"" x)", Args({uR"(he said "hi; there")", u"x"})},
        {uR"(a\b c\\d)", Args({uR"(a\b)", uR"(c\\d)"})}, // backslashes alone are literal
        {uR"(a\"b)", Args({uR"(a"b)"})},                 // odd count: literal quote
        {uR"(a\\"b c")", Args({uR"(a\b c)"})},           // even count: halved, quote opens
        {uR"("a\\\\" b)", Args({uR"(a\\)", u"b"})},      // trailing backslashes of a quoted part
        {uR"("a""b")", Args({uR"(a"b)"})},               // "" inside quotes: literal, part ends
        {uR"(a "" b)", Args({u"a", u"", u"b"})},         // an empty argument
        {uR"(x""y)", Args({u"xy"})},
        {uR"(""")", Args({uR"(")"})},
        {uR"("unterminated part)", Args({u"unterminated part"})},
    };
    for (auto& c : cases) {
        std::vector<CWideString> got = ZorSplitCommandLine(c.in);
        EXPECT_EQ(got, c.out) << CWideString(c.in);
    }
}

TEST_F(ProcessDir, ArgumentWithQuotesBlanksAndSemicolonArrivesWhole) {
    std::string out = m_dir + "/out.txt";
    // No shell sees the text: ';', '|', '$' and '&' are ordinary characters.
    CWideString params = W(m_script + " " + out) + uR"( "he said \"hi; there\" | $HOME & more" plain ")" +
                         CWideString(u"\u00E4 b\"");
    uint32_t code = 99;
    CWideString err;
    ASSERT_TRUE(ZorShellEx(u"/usr/bin/python3", u"open", params, true, false, nullptr, &code, err)) << err;
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(ReadText(out), "he said \"hi; there\" | $HOME & more\nplain\n\xC3\xA4 b");
}

TEST_F(ProcessDir, ArgumentListIsPassedAsGiven) {
    std::string out = m_dir + "/list.txt";
    // Quotes, blanks, backslashes and an empty element stay what they are.
    std::vector<CWideString> args = {W(m_script), W(out), uR"(a "b" c\)", u"", u"$(touch x); y"};
    uint32_t code = 99;
    CWideString err;
    ASSERT_TRUE(ZorShellEx(u"/usr/bin/python3", u"", args, true, false, nullptr, &code, err)) << err;
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(ReadText(out), "a \"b\" c\\\n\n$(touch x); y");
}

TEST_F(ProcessDir, QuotedProgramPathWithBlanks) {
    std::string prog = m_dir + "/my tool";
    WriteText(prog, "#!/bin/sh\nexit 5\n", 0755);
    uint32_t code = 0;
    CWideString err;
    ASSERT_TRUE(ZorShellEx(W("\"" + prog + "\""), u"open", u"", true, false, nullptr, &code, err)) << err;
    EXPECT_EQ(code, 5u);
}

TEST_F(ProcessDir, ExitCodesAndSignals) {
    uint32_t code = 0;
    CWideString err;
    ASSERT_TRUE(
        ZorShellEx(u"python3", u"", uR"x(-c "import sys; sys.exit(7)")x", true, false, nullptr, &code, err))
        << err; // a bare name is looked up on PATH
    EXPECT_EQ(code, 7u);
    ASSERT_TRUE(ZorShellEx(u"/usr/bin/python3", u"",
                           uR"x(-c "import os, signal; os.kill(os.getpid(), signal.SIGTERM)")x", true, false,
                           nullptr, &code, err))
        << err;
    EXPECT_EQ(code, 128u + 15u);
}

TEST_F(ProcessDir, StartFailuresGiveTheSystemText) {
    CWideString err;
    EXPECT_FALSE(ZorShellEx(W(m_dir + "/no-such-program"), u"", u"", true, err));
    EXPECT_NE(err.Find(u"No such file"), -1) << err;
    err.Empty();
    EXPECT_FALSE(ZorShellEx(u"tv-no-such-program-on-path", u"", u"", true, err));
    EXPECT_FALSE(err.IsEmpty());
    err.Empty();
    EXPECT_FALSE(ZorShellEx(u"", u"", u"", true, err));
    EXPECT_FALSE(err.IsEmpty());
}

TEST_F(ProcessDir, DocumentsOpenWithXdgOpen) {
    // A stand-in "xdg-open" first on PATH records what it was asked to open.
    std::string bin = m_dir + "/bin";
    mkdir(bin.c_str(), 0755);
    std::string opened = m_dir + "/opened.txt";
    WriteText(bin + "/xdg-open", "#!/bin/sh\nprintf '%s|%s' \"$1\" \"$#\" > '" + opened + "'\n", 0755);
    std::string doc = m_dir + "/report one.txt";
    WriteText(doc, "text", 0644);
    const char* oldPath = getenv("PATH");
    std::string saved = oldPath ? oldPath : "";
    setenv("PATH", (bin + ":" + saved).c_str(), 1);
    CWideString err;
    uint32_t code = 1;
    bool ok = ZorShellEx(W(doc), u"open", u"ignored params", true, false, nullptr, &code, err);
    setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(ok) << err;
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadText(opened), doc + "|1");
}

TEST_F(ProcessDir, WithoutWaitTheProgramRunsOn) {
    std::string out = m_dir + "/nowait.txt";
    CWideString err;
    ASSERT_TRUE(ZorShellEx(u"/usr/bin/python3", u"", W(m_script + " " + out + " x"), false, err)) << err;
    // Real process: poll for its output (bounded).
    for (int i = 0; i < 500 && ReadText(out) != "x"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadText(out), "x");
}

TEST(ZorProcess, ComputerName) {
    const char* old = getenv("COMPUTERNAME");
    std::string saved = old ? old : "";
    setenv("COMPUTERNAME", "desk-42", 1);
    EXPECT_EQ(GetComputerNameText(), u"desk-42");
    unsetenv("COMPUTERNAME");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(GetComputerNameText(), host[0] ? Utf8ToWide(host) : CWideString(u"-UnknownComputer-"));
    if (old) setenv("COMPUTERNAME", saved.c_str(), 1);
}
