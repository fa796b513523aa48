// Program options: both forms byte for byte, the readers' rules, and the
// options store (first load, damaged files, default masks, modes).
#include "program-options.h"

#include "tv-common-test-util.h"
#include "zor-stream.h"
#include "zor-unicode.h"

#include <sys/stat.h>

using tvtest::StoreTest;

namespace {

const char kDefaultTic[] =
    "[F[i[L<>]x[L<>]]z=0|t=1|j=0|s=0|l=1|b=1|o=1|c=1|f=0|n=2|e=0|r:0:|M=1|S[a:0:|b=587|c=0|d:0:|e:0:|f:0:|]"
    "q=0|T[a=0|b:0:|c=3128|d:0:|e:0:|f=1|]a=1|L=7|N:0:|B=0|]";

const char kDefaultTix[] = "<ProgramOptions>\n"
                           "GlobalFilterIncluded = <FileMask>\n"
                           "Matches = (\n"
                           ") </FileMask>\n"
                           "GlobalFilterExcluded = <FileMask>\n"
                           "Matches = (\n"
                           ") </FileMask>\n"
                           "SmtpServer = <SmtpServer>\n"
                           "  Port = 587\n"
                           "</SmtpServer>\n"
                           "ProxyServer = <ProxyServer>\n"
                           "  Port = 3128\n"
                           "</ProxyServer>\n"
                           "</ProgramOptions>\n";

std::string Tic(const ProgramOptions& o) {
    ZorStringOutStream out;
    CWideString err;
    EXPECT_TRUE(WriteProgramOptionsTic(o, out, err)) << tvtest::U8(err);
    return out.GetText().GetString();
}
std::string Tix(const ProgramOptions& o, bool bFull = false) {
    ZorStringOutStream out;
    CWideString err;
    EXPECT_TRUE(WriteProgramOptionsTix(o, out, bFull, 0, err)) << tvtest::U8(err);
    return out.GetText().GetString();
}
bool ReadTic(ProgramOptions& o, const std::string& text, CWideString& err) {
    ZorStringStream in(CNarrowString(text.c_str(), (int)text.size()));
    return ReadProgramOptionsTic(o, in, err);
}
bool ReadTix(ProgramOptions& o, const std::string& text, CWideString& err) {
    ZorStringStream in(CNarrowString(text.c_str(), (int)text.size()));
    return ReadProgramOptionsTix(o, in, err);
}

// Every field away from its default, with texts that need care.
ProgramOptions ChangedOptions() {
    ProgramOptions o;
    o.m_bShowTrayIcon = false;
    o.m_bHideToTrayOnClose = true;
    o.m_bCheckNewVersion = false;
    o.m_bCreateFolderIfNotFound = true;
    o.m_bAutoHideMiniWindow = false;
    o.m_bGroupSimilarLogLines = false;
    o.m_nLogLevel = -3;
    o.m_sLogFolder = u"/var/log/t\u00f6rvane \u65e5\u672c";
    o.m_nLogRetainDays = 30;
    o.m_sCompareProgramPath = u"/usr/bin/meld \"%1\" \"%2\"";
    o.m_bWarn_TimeOutOfRange = true;
    o.m_ProxyServer.m_bUseWinInetProxy = false;
    o.m_ProxyServer.m_bUseProxyBelow = true;
    o.m_ProxyServer.m_sHost = CNarrowString("pr\xf6xy.local");
    o.m_ProxyServer.m_nPort = 8080;
    o.m_ProxyServer.m_sUserID = CNarrowString("us\xe9r");
    o.m_ProxyServer.m_sPassword = CNarrowString("p\"w\\\xff");
    o.m_SmtpServer.m_sHost = u"smtp.example";
    o.m_SmtpServer.m_nPort = 465;
    o.m_SmtpServer.m_bSecureSSL = 1;
    o.m_SmtpServer.m_sUserID = u"J\u00fcrgen";
    o.m_SmtpServer.m_sPassword = u"s\u00e9cret|:]";
    o.m_SmtpServer.m_sSenderEmail = u"Torvane <t@example>";
    o.m_bSmtpImported = true;
    o.m_bUseSmtpToEmail = false;
    o.m_bWarnAboutTrayOnClose = true;
    o.m_GlobalFilters.m_lstIncluded.AddTail(u"*.d\u00f6c");
    o.m_GlobalFilters.m_lstIncluded.AddTail(u"name \"quoted\" \\back");
    o.m_GlobalFilters.m_lstExcluded.AddTail(u"/Temp");
    o.m_bShowJobListWindow = true;
    o.m_bShowFiltersWindow = true;
    o.m_bShowLogWindow = false;
    o.m_bShowStatusBar = false;
    return o;
}

} // namespace

TEST(ProgramOptionsForms, DefaultsAreByteExactInBothForms) {
    ProgramOptions o;
    EXPECT_EQ(Tic(o), kDefaultTic);
    EXPECT_EQ(Tix(o), kDefaultTix);
    // Each default read back into a fresh record gives the defaults.
    ProgramOptions back;
    CWideString err;
    ASSERT_TRUE(ReadTix(back, Tix(o, true), err)) << tvtest::U8(err);
    EXPECT_TRUE(back == o);
}

TEST(ProgramOptionsForms, EveryFieldChangedRoundTripsByteIdentical) {
    ProgramOptions o = ChangedOptions();
    for (bool bFull : {false, true}) {
        SCOPED_TRACE(bFull);
        std::string tic = Tic(o), tix = Tix(o, bFull);
        ProgramOptions a, b;
        CWideString err;
        ASSERT_TRUE(ReadTic(a, tic, err)) << tvtest::U8(err);
        ASSERT_TRUE(ReadTix(b, tix, err)) << tvtest::U8(err);
        EXPECT_TRUE(a == o);
        EXPECT_TRUE(b == o);
        EXPECT_EQ(Tic(a), tic);
        EXPECT_EQ(Tix(b, bFull), tix);
        // The registry keeps the text with blanks for line feeds.
        std::string flat = tix;
        for (char& c : flat)
            if (c == '\n') c = ' ';
        ProgramOptions c;
        ASSERT_TRUE(ReadTix(c, flat, err)) << tvtest::U8(err);
        EXPECT_EQ(Tix(c, bFull), tix);
    }
}

TEST(ProgramOptionsForms, PortsOfZeroReadBackAsTheRecordDefaults) {
    ProgramOptions o;
    o.m_ProxyServer.m_nPort = 0;
    o.m_SmtpServer.m_nPort = 0;
    ProgramOptions back;
    CWideString err;
    ASSERT_TRUE(ReadTix(back, Tix(o), err)) << tvtest::U8(err);
    EXPECT_EQ(back.m_ProxyServer.m_nPort, 3128);
    EXPECT_EQ(back.m_SmtpServer.m_nPort, 587);
}

TEST(ProgramOptionsForms, ReaderRules) {
    struct Case {
        const char* name;
        bool bTix;
        std::string text;
        bool bOk;
        int nLogLevel;
        int nRetain;
    };
    const Case cases[] = {
        {"no L tag keeps 7", false, "[n=5|]", true, 5, 7},
        {"unknown tag skipped", false, "[?=12|Q[x:1:a|]n=4|]", true, 4, 7},
        {"last value wins", false, "[n=4|n=9|]", true, 9, 7},
        {"bad first char", false, "n=4|]", false, 2, 7},
        {"end before ]", false, "[n=4|", false, 4, 7},
        {"prefix with =", true, "ProgramOptions = <ProgramOptions>\nLogLevel = 3\n</ProgramOptions>\n", true,
         3, 7},
        {"other case key skipped", true,
         "<ProgramOptions>\nlogLevel = 3\nLogRetainDays = 2\n</ProgramOptions>", true, 2, 2},
        {"key twice", true, "<ProgramOptions> LogLevel = 3 LogLevel = 5 </ProgramOptions>", true, 5, 7},
        {"end before closing", true, "<ProgramOptions>\nLogLevel = 3\n", false, 3, 7},
        {"quoted key", true, "<ProgramOptions>\n\"LogLevel\" = 3\n</ProgramOptions>", false, 2, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramOptions o;
        CWideString err;
        EXPECT_EQ(c.bTix ? ReadTix(o, c.text, err) : ReadTic(o, c.text, err), c.bOk) << tvtest::U8(err);
        EXPECT_EQ(o.m_nLogLevel, c.nLogLevel);
        EXPECT_EQ(o.m_nLogRetainDays, c.nRetain);
    }
    CWideString err;
    ProgramOptions o;
    ASSERT_TRUE(ReadTix(o, "<ProgramOptions> \"x\" </ProgramOptions>", err) == false);
    EXPECT_EQ(err, u"string where token expected");
}

TEST(ProgramOptionsForms, MaskListsAcceptTheLegacyForm) {
    struct Case {
        const char* text;
        std::vector<CWideString> expected;
    };
    const Case cases[] = {
        {"[l<:5:\\a\\b*|:3:x\\y|>]", {u"/a/b*", u"x/y"}},
        {"[L<:2:/n|>l<:4:\\old|>]", {u"/n"}},
        {"[L<\n:1:a|\n:1:b|>]", {u"a", u"b"}},
        {"[L<>]", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CListT<CWideString> list;
        CWideString err;
        ZorStringStream in(CNarrowString(c.text));
        ASSERT_TRUE(ReadFileMaskListTic(list, in, err)) << tvtest::U8(err);
        ASSERT_EQ(list.GetCount(), (int)c.expected.size());
        ZorPosition pos = list.GetHeadPosition();
        for (const CWideString& e : c.expected) EXPECT_EQ(list.GetNext(pos), e);
    }
}
