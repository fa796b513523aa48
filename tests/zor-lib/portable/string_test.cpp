#include "zor-string.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

TEST(String, CopyOnWriteSharesUntilWritten) {
    CWideString a(u"hello");
    CWideString b = a;
    EXPECT_EQ(a.GetString(), b.GetString());
    b.SetAt(0, u'j');
    EXPECT_NE(a.GetString(), b.GetString());
    EXPECT_EQ(a, u"hello");
    EXPECT_EQ(b, u"jello");
}

TEST(String, FormatBasics) {
    CWideString s;
    s.Format(u"%s=%d [%5.2f] %S %x %-4s|", u"a", -12, 3.14159, "n\xc3\xa9", 255u, u"ab");
    EXPECT_EQ(s, u"a=-12 [ 3.14] n\u00e9 ff ab  |");
}
