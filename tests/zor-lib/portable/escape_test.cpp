#include "zor-escape.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

// Names from outside in messages: every control character becomes an escape,
// the same way in wide text and in UTF-8.
TEST(EscapeControlChars, WideAndUtf8) {
    struct Case {
        const char16_t* in;
        const char* want;
    } cases[] = {
        {u"plain name.txt", "plain name.txt"},
        {u"a\x1b[2Jb", "a\\x1B[2Jb"},
        {u"line\r\nnext\tcol", "line\\r\\nnext\\tcol"},
        {u"nul\x01\x7f\x85", "nul\\x01\\x7F\\x85"},
        {u"evil\u202Etxt.exe\u2028", "evil\\u202Etxt.exe\\u2028"},
        {u"back\\slash \u00e9\u4e2d", "back\\slash \u00e9\u4e2d"},
        {u"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        EXPECT_STREQ(WideToUtf8(EscapeControlChars(CWideString(c.in))).GetString(), c.want);
        EXPECT_STREQ(EscapeControlChars(WideToUtf8(CWideString(c.in))).GetString(), c.want);
    }
    // Bytes that are not UTF-8 pass unchanged.
    EXPECT_STREQ(EscapeControlChars(CNarrowString("\xff\xe2\x80\n")).GetString(), "\xff\xe2\x80\\n");
}
