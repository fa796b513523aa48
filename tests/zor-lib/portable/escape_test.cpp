#include "zor-escape.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

// Names from outside in messages: every control character becomes an escape,
// the same way in wide text and in UTF-8; other bytes pass unchanged.
TEST(EscapeControlChars, WideAndUtf8) {
    const std::pair<const char16_t*, const char*> cases[] = {
        {u"plain \u00e9\u4e2d\\x", "plain \u00e9\u4e2d\\x"},         {u"a\x1b[2Jb", "a\\x1B[2Jb"},
        {u"l\r\nn\tc\x01\x7f\x85", "l\\r\\nn\\tc\\x01\\x7F\\x85"}, {u"e\u202Ex\u2028", "e\\u202Ex\\u2028"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_STREQ(WideToUtf8(EscapeControlChars(CWideString(in))).GetString(), want);
        EXPECT_STREQ(EscapeControlChars(WideToUtf8(CWideString(in))).GetString(), want);
    }
    EXPECT_STREQ(EscapeControlChars(CNarrowString("\xff\xe2\x80\n")).GetString(), "\xff\xe2\x80\\n");
    // Kept in lines: line ends and tabs stay, every other control is escaped.
    const std::pair<const char16_t*, const char*> lines[] = {
        {u"a\r\nb\tc\rd\x1b]0;t\x07\n", "a\r\nb\tc\\rd\\x1B]0;t\\x07\n"},
        {u"csi\u009B2J nel\u0085 rlo\u202E.exe", "csi\\x9B2J nel\\x85 rlo\\u202E.exe"},
    };
    for (const auto& [in, want] : lines) {
        EXPECT_STREQ(WideToUtf8(EscapeControlCharsInLines(CWideString(in))).GetString(), want);
        EXPECT_STREQ(EscapeControlCharsInLines(WideToUtf8(CWideString(in))).GetString(), want);
    }
}
