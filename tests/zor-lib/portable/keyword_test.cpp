// Keyword text: writers' exact lines, escaping, round trips, tokens, skipping
// unknown values, and every reader's error text.
#include "zor-tic.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CNarrowString N(const std::string& s) {
    return CNarrowString(s.data(), (int)s.size());
}

struct Reader {
    explicit Reader(const std::string& s) : in(N(s)) {}
    ZorStringStream in;
    CWideString err;
    CNarrowString Token(bool* pQuoted = nullptr) {
        CNarrowString t;
        bool q = false;
        EXPECT_TRUE(ReadSettingsToken(in, t, q, err)) << err;
        if (pQuoted) *pQuoted = q;
        return t;
    }
};

} // namespace

TEST(KeywordWrite, LinesAreByteExact) {
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(PutTicText(out, "<Job>\n", err));
    ASSERT_TRUE(PutNameValueBool(out, "AutoReconnect", 1, true, err));
    ASSERT_TRUE(PutTicText(out, "\n", err));
    ASSERT_TRUE(PutNameValueBool(out, "FastStop", 0, false, err));
    ASSERT_TRUE(PutTicText(out, "\n", err));
    ASSERT_TRUE(PutNameValueInt(out, "SpeedLimit", 2, -5, err));
    ASSERT_TRUE(PutNameValueString(out, "Name", 1, N("a\"b\\c\nd\te\x7F\x80\xFF\r"), err));
    ASSERT_TRUE(PutNameValueString(out, nullptr, 2, CNarrowString(), err));
    ASSERT_TRUE(PutNameValueWString(out, "W", 0, u"\u00e9\U0001F600"_ws, err));
    CListT<CWideString> masks;
    masks.AddTail(u"*.tmp"_ws);
    masks.AddTail(u"/a b/\"q\""_ws);
    ASSERT_TRUE(PutNameValueStringList(out, "Matches", 1, masks, err));
    ASSERT_TRUE(PutTicText(out, "</Job>\n", err));
    EXPECT_EQ(out.GetText(), N("<Job>\n"
                               "  AutoReconnect = Yes\n"
                               "FastStop = No\n"
                               "    SpeedLimit = -5\n"
                               "  Name = \"a\\\"b\\\\c\\nd\\9;e\x7F\\128;\\255;\\13;\"\n"
                               "    \"\"\n"
                               "W = \"\\195;\\169;\\240;\\159;\\152;\\128;\"\n"
                               "Matches = (\n"
                               "  \"*.tmp\"\n"
                               "  \"/a b/\\\"q\\\"\"\n"
                               ") </Job>\n"));
    // Pure ASCII, no control byte but the line feeds.
    for (int i = 0; i < out.GetText().GetLength(); i++) {
        unsigned char b = (unsigned char)out.GetText()[i];
        EXPECT_TRUE(b == '\n' || (b >= 0x20 && b <= 0x7F)) << i;
    }
}

TEST(KeywordRoundTrip, EveryValueFormAlsoWithLineFeedsAsBlanks) {
    std::string all;
    for (int i = 0; i < 256; i++) all.push_back((char)i);
    const CWideString wide = u"Z\u00fcrich \U0001F600 \u65e5\u672c \"q\" \\"_ws;
    ZorStringOutStream out;
    CWideString err;
    CListT<CWideString> list, empty;
    list.AddTail(wide);
    list.AddTail(CWideString());
    ASSERT_TRUE(PutTicText(out, "<Opts>\n", err));
    ASSERT_TRUE(PutNameValueBool(out, "B", 1, true, err) && PutTicText(out, "\n", err));
    ASSERT_TRUE(PutNameValueInt(out, "I", 1, INT32_MIN, err));
    ASSERT_TRUE(PutNameValueString(out, "S", 1, N(all), err));
    ASSERT_TRUE(PutNameValueString(out, "E", 1, CNarrowString(), err));
    ASSERT_TRUE(PutNameValueWString(out, "W", 1, wide, err));
    ASSERT_TRUE(PutNameValueStringList(out, "L", 1, list, err));
    ASSERT_TRUE(PutNameValueStringList(out, "M", 1, empty, err));
    ASSERT_TRUE(PutTicText(out, "</Opts>\n", err));

    CNarrowString text = out.GetText();
    CNarrowString registryForm = text;
    registryForm.Replace('\n', ' '); // how the registry store keeps it
    for (const CNarrowString& t : {text, registryForm}) {
        ZorStringStream in(t);
        ASSERT_TRUE(ReadObjectPrefix(in, "Opts", err)) << err;
        int keys = 0;
        for (;;) {
            CNarrowString key;
            bool q;
            ASSERT_TRUE(ReadSettingsToken(in, key, q, err)) << err;
            ASSERT_FALSE(q);
            if (key == "</Opts>") break;
            keys++;
            if (key == "B") {
                bool b = false;
                ASSERT_TRUE(ReadNameValueBool(in, key, b, err)) << err;
                EXPECT_TRUE(b);
            } else if (key == "I") {
                int32_t n = 0;
                ASSERT_TRUE(ReadNameValueInt(in, n, err)) << err;
                EXPECT_EQ(n, INT32_MIN);
            } else if (key == "S" || key == "E") {
                CNarrowString s("x");
                ASSERT_TRUE(ReadNameValueString(in, s, err)) << err;
                EXPECT_EQ(s, key == "S" ? N(all) : CNarrowString());
            } else if (key == "W") {
                CWideString w;
                ASSERT_TRUE(ReadNameValueWString(in, w, err)) << err;
                EXPECT_EQ(w, wide);
            } else {
                CListT<CWideString> got;
                got.AddTail(u"stale"_ws);
                ASSERT_TRUE(ReadStringList(in, got, err)) << err;
                if (key == "L") {
                    ASSERT_EQ(got.GetCount(), 2);
                    EXPECT_EQ(got.GetHead(), wide);
                    EXPECT_TRUE(got.GetTail().IsEmpty());
                } else {
                    EXPECT_TRUE(got.IsEmpty());
                }
            }
        }
        EXPECT_EQ(keys, 7);
        CNarrowString tok;
        bool q;
        EXPECT_FALSE(ReadSettingsToken(in, tok, q, err));
        EXPECT_TRUE(in.IsEof());
        err.Empty();
    }
}

TEST(KeywordTokens, FormsLimitsAndOlderEscapes) {
    // Blanks, tabs, CR and LF all separate; a quoted text may hold raw bytes
    // above 127 and "\10;" for a line feed (the older writers' forms).
    Reader r("\t a\tb\r\nc  \"x\xC3\xA9\\10;\\0;y\"\"\"=");
    bool q = false;
    EXPECT_EQ(r.Token(&q), "a"_ns);
    EXPECT_FALSE(q);
    EXPECT_EQ(r.Token(), "b"_ns);
    EXPECT_EQ(r.Token(), "c"_ns);
    EXPECT_EQ(r.Token(&q), N(std::string("x\xC3\xA9\n\0y", 6)));
    EXPECT_TRUE(q);
    EXPECT_EQ(r.Token(&q), CNarrowString());
    EXPECT_TRUE(q);
    EXPECT_EQ(r.Token(&q), "="_ns);
    EXPECT_FALSE(q);

    // 127 bytes make a token, 128 do not.
    Reader ok(std::string(127, 'k'));
    EXPECT_EQ(ok.Token().GetLength(), 127);
    Reader tooLong(std::string(128, 'k'));
    CNarrowString t;
    EXPECT_FALSE(ReadSettingsToken(tooLong.in, t, q, tooLong.err));
    EXPECT_EQ(tooLong.err,
              CWideString(u"token too long: ") + CWideString(CNarrowString(std::string(127, 'k').c_str())));

    // Quoted texts far beyond 4,095 bytes are read (a whole jobs list may sit in one value) up to 1 MiB.
    std::string big(kKeywordMaxString, 'v');
    Reader fits("\"" + big + "\"");
    EXPECT_EQ(fits.Token().GetLength(), kKeywordMaxString);
    Reader over("\"" + big + "v\"");
    EXPECT_FALSE(ReadSettingsToken(over.in, t, q, over.err));
    EXPECT_TRUE(over.err.StartsWith(u"string too long: vvvv")) << over.err.Left(40);
}

TEST(KeywordTokens, MalformedQuotedTexts) {
    struct Case {
        const char* input;
        const char16_t* text;
    };
    const Case cases[] = {
        {"\"ab\ncd\"", u"string terminated by newline: ab"},
        {"\"ab\\x\"", u"bad seq after backslash: x"},
        {"\"\\256;\"", u"bad num seq after backslash: 256;"},
        {"\"\\12x\"", u"bad num seq after backslash: 12x"},
        {"\"\\0001;\"", u"bad num seq after backslash: 0001;"},
        {"\"abc", u"unterminated string: abc"},
        {"\"abc\\", u"unterminated string: abc"},
        {"   ", u"unexpected end of input at posn 3"},
    };
    for (const Case& c : cases) {
        Reader r(c.input);
        CNarrowString t;
        bool q;
        EXPECT_FALSE(ReadSettingsToken(r.in, t, q, r.err)) << c.input;
        EXPECT_EQ(r.err, CWideString(c.text)) << c.input;
    }
}

TEST(KeywordRead, ValueReadersExactErrorTexts) {
    struct Case {
        const char* input;
        int reader; // 0 bool, 1 int, 2 string, 3 object prefix "Job", 4 string list, 5 skip
        const char16_t* text;
    };
    const Case cases[] = {
        {"Yes", 0, u"expecting '=', getting: Yes"},
        {"= \"Yes\"", 0, u"string where bool expected: Yes"},
        {"= maybe", 0, u"Name Flag = Bool: bad value maybe"},
        {"= yes", 0, u"Name Flag = Bool: bad value yes"},
        {": 5", 1, u"expecting '=', getting: :"},
        {"= \"5\"", 1, u"string where number expected: 5"},
        {"= 12a", 1, u"bad number: 12a"},
        {"= 2147483648", 1, u"bad number: 2147483648"},
        {"= -", 1, u"bad number: -"},
        {"= abc", 2, u"got non-string token where string expected: abc"},
        {"\"=\" \"x\"", 2, u"expecting '=', getting: ="},
        {"<Jobs>", 3, u"Bad object prefix '<Jobs>', '<Job>' expected"},
        {"= = <Job>", 3, u"Bad object prefix '=', '<Job>' expected"},
        {"= x", 4, u"Bad start of string list, expecting '(': x"},
        {"= ( \"a\" b )", 4, u"expecting string in strlist, getting: b"},
        {"= ( \"a\"", 4, u"unexpected end of input at posn 7"},
        {"x", 5, u"expected '=' when skipping, got x"},
        {"", 5, u"expected '=' when skipping, got EOF"},
        {"= ", 5, u"EOF when skipping"},
        {"= <Blk> a = 1 <In> </In>", 5, u"premature EOF when skipping"},
        {"= ( \"a\"", 5, u"premature EOF when skipping"},
    };
    for (const Case& c : cases) {
        Reader r(c.input);
        bool b;
        int32_t n;
        CNarrowString s;
        CListT<CWideString> list;
        bool ok = true;
        switch (c.reader) {
            case 0:
                ok = ReadNameValueBool(r.in, "Flag", b, r.err);
                break;
            case 1:
                ok = ReadNameValueInt(r.in, n, r.err);
                break;
            case 2:
                ok = ReadNameValueString(r.in, s, r.err);
                break;
            case 3:
                ok = ReadObjectPrefix(r.in, "Job", r.err);
                break;
            case 4:
                ok = ReadStringList(r.in, list, r.err);
                break;
            case 5:
                ok = SkipNameValue(r.in, "Unknown"_ns, r.err);
                break;
        }
        EXPECT_FALSE(ok) << c.input;
        EXPECT_EQ(r.err, CWideString(c.text)) << c.input;
    }
}

TEST(KeywordRead, BoolWordsAndObjectPrefixForms) {
    Reader r("= T = F = Yes = No");
    unsigned char v = 7;
    ASSERT_TRUE(ReadNameValueBool(r.in, "K", v, r.err));
    EXPECT_EQ(v, 1);
    for (unsigned char want : {0, 1, 0}) {
        ASSERT_TRUE(ReadNameValueBool(r.in, "K", v, r.err)) << r.err;
        EXPECT_EQ(v, want);
    }
    Reader p1("ProgramOptions = <ProgramOptions>\n");
    CNarrowString key = p1.Token();
    EXPECT_EQ(key, "ProgramOptions"_ns);
    EXPECT_TRUE(ReadObjectPrefix(p1.in, "ProgramOptions", p1.err)) << p1.err;
    Reader p2("\r\n<ProgramOptions>");
    EXPECT_TRUE(ReadObjectPrefix(p2.in, "ProgramOptions", p2.err)) << p2.err;
}

TEST(KeywordSkip, UnknownValuesOfEveryShape) {
    // After each skipped value the next key is read normally.
    const std::string values[] = {
        "= 5",
        "= \"text with </Job> and ( inside\"",
        "= Yes",
        "= ( \"a\" \"b\\\"\" )",
        "= (\n) ",
        "= <Blk>\n  A = 1\n  L = (\n  \"x\"\n) <In>\n B = \"</Blk>\"\n </In>\n</Blk>\n",
        "= <FileMask>\nMatches = (\n  \"*.tmp\"\n) </FileMask>\n",
    };
    for (const std::string& v : values) {
        Reader r(v + " Next = 3");
        ASSERT_TRUE(SkipNameValue(r.in, "Unknown"_ns, r.err)) << v << ": " << r.err;
        EXPECT_EQ(r.Token(), "Next"_ns) << v;
    }
    // Blocks nested beyond the limit end with a message.
    std::string deep = "= ";
    for (int i = 0; i < 100000; i++) deep += "<a> ";
    Reader r(deep);
    EXPECT_FALSE(SkipNameValue(r.in, "K"_ns, r.err));
    EXPECT_EQ(r.err, u"blocks nested deeper than 256 levels when skipping"_ws);
}

TEST(KeywordRead, JobBlocksSeparatedByBlankLinesWithCarriageReturns) {
    // Two blocks as a job list holds them, with CR LF and trailing blanks.
    Reader r("<Job>\r\n  Name = \"one\"\r\n</Job>\r\n\r\n\r\n= <Job>\n  Name = \"two\"\n  Extra = "
             "<X>\n</X>\n</Job>\n \t ");
    std::vector<std::string> names;
    for (int job = 0; job < 2; job++) {
        ASSERT_TRUE(ReadObjectPrefix(r.in, "Job", r.err)) << r.err;
        for (;;) {
            bool q;
            CNarrowString key = r.Token(&q);
            ASSERT_FALSE(q);
            if (key == "</Job>") break;
            if (key == "Name") {
                CNarrowString s;
                ASSERT_TRUE(ReadNameValueString(r.in, s, r.err)) << r.err;
                names.emplace_back(s.GetString());
            } else {
                ASSERT_TRUE(SkipNameValue(r.in, key, r.err)) << r.err;
            }
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));
    CNarrowString t;
    bool q;
    EXPECT_FALSE(ReadSettingsToken(r.in, t, q, r.err));
    EXPECT_TRUE(r.in.IsEof());
}

// A writer never produces what its reader refuses: a value at the readers'
// limits fails the write instead of making the whole file unreadable.
TEST(KeywordWrite, ValuesBeyondTheReadersLimitsAreRefused) {
    ZorStringOutStream out;
    CWideString err;
    CNarrowString big('a', kKeywordMaxString);
    EXPECT_FALSE(PutNameValueString(out, "Name", 0, big, err));
    EXPECT_NE(err.Find(u"string too long to store"), -1);
    CNarrowString fits('a', kKeywordMaxString - 1);
    err.Empty();
    EXPECT_TRUE(PutNameValueString(out, "Name", 0, fits, err)) << err;
    err.Empty();
    CNarrowString huge('b', kTicMaxStringLength + 1);
    EXPECT_FALSE(PutTicString(out, huge, err));
    EXPECT_NE(err.Find(u"string too long to store"), -1);
}
