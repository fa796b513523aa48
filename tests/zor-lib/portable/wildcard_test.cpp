#include "zor-path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MatchCase {
    const char16_t* text;
    const char16_t* mask;
    bool expected;
};

} // namespace

TEST(Wildcard, MaskTable) {
    const MatchCase cases[] = {
        // case through the library's fold, ASCII and beyond
        {u"readme.txt", u"*.txt", true},
        {u"README.TXT", u"*.txt", true},
        {u"readme.txt", u"*.TXT", true},
        {u"\u00C4rger.doc", u"\u00E4RGER.DOC", true},
        {u"\u03A3\u039F\u03A6\u0399\u0391", u"\u03C3\u03BF\u03C6\u03B9\u03B1", true},
        // '*' crosses separators; '/' and '\' are one character
        {u"a/b/c.txt", u"*.txt", true},
        {u"/Docs/Sub/x.tmp", u"/docs/*", true},
        {u"a/b/c.txt", u"a\\*\\c.txt", true},
        {u"a\\b\\c.txt", u"a/*/c.txt", true},
        {u"a/b", u"a?b", true},
        // the whole text must be covered
        {u"abc.txt.bak", u"*.txt", false},
        {u"xabc", u"abc", false},
        {u"abcx", u"abc", false},
        {u"abc", u"abc", true},
        // '?' is exactly one character, also at the end
        {u"abc", u"a?c", true},
        {u"ac", u"a?c", false},
        {u"ab", u"ab?", false},
        {u"abc", u"ab?", true},
        {u"abcd", u"ab?", false},
        {u"a\U0001F600b", u"a?b", true}, // a surrogate pair is one character
        {u"a\U0001F600b", u"a??b", false},
        // "*.*" matches names without a dot too, but only as the whole mask
        {u"Makefile", u"*.*", true},
        {u"a.b", u"*.*", true},
        {u"", u"*.*", true},
        {u"dir/Makefile", u"dir/*.*", false},
        // empty texts and masks, runs of stars
        {u"", u"", true},
        {u"", u"*", true},
        {u"", u"?", false},
        {u"a", u"", false},
        {u"ab", u"a**b", true},
        {u"abcbd", u"a*b*d", true},
        {u"abcbdx", u"a*b*d", false},
        {u"ab", u"ab*b", false}, // first and last pieces may not overlap
        {u"abb", u"ab*b", true},
        {u"mississippi", u"*sip*", true},
        {u"mississippi", u"m*iss*ppi", true},
        {u"mississippi", u"m*iss*ppix", false},
        // ';' is an ordinary character
        {u"a;b", u"a;b", true},
        {u"a", u"a;b", false},
    };
    for (const MatchCase& c : cases) {
        EXPECT_EQ(PathMatchesSpec(c.text, c.mask), c.expected)
            << "text '" << CWideString(c.text) << "' mask '" << CWideString(c.mask) << "'";
    }
}

TEST(Wildcard, PathologicalMasksFinish) {
    // A backtracking matcher takes exponential time on these.
    CWideString text(u'a', 20000);
    CWideString mask;
    for (int i = 0; i < 40; ++i) mask += u"*a";
    EXPECT_FALSE(PathMatchesSpec(text, mask + u"*b"));
    EXPECT_TRUE(PathMatchesSpec(text, mask + u"*"));
    EXPECT_TRUE(PathMatchesSpec(text + u"b", mask + u"*b"));
    CWideString qmask;
    for (int i = 0; i < 40; ++i) qmask += u"*?a";
    EXPECT_FALSE(PathMatchesSpec(text, qmask + u"*?b"));
}
