#include "zor-debug.h"
#include "zor-string.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int g_mismatches = 0;

// Formats one value with the C library and with the engine (narrow and
// wide) and compares the three.
template <typename V> void Check(const char* fmt, V value) {
    std::string c((size_t)std::snprintf(nullptr, 0, fmt, value) + 1, '\0');
    std::snprintf(c.data(), c.size(), fmt, value);
    const char* buf = c.c_str();
    CNarrowString n;
    n.Format(fmt, value);
    CWideString wfmt(fmt); // ASCII formats: Latin-1 widening is exact
    CWideString w;
    w.Format(wfmt.GetString(), value);
    if (n != buf || w != CWideString(buf)) {
        if (++g_mismatches <= 20)
            ADD_FAILURE() << "format \"" << fmt << "\": libc \"" << buf << "\" narrow \"" << n << "\" wide \""
                          << w << "\"";
    }
}

template <typename V> void CheckAll(const std::vector<std::string>& fmts, const std::vector<V>& values) {
    for (auto& f : fmts)
        for (V v : values) Check(f.c_str(), v);
}

// Every flag combination with a few widths and precisions around one conversion.
std::vector<std::string> Formats(const std::string& lenMod, const std::string& convs,
                                 bool withPrecision = true) {
    std::vector<std::string> r;
    const char* flags[] = {"", "-", "0", "+", " ", "#", "-+", "0+", "0 ", "-#", "0#", "+ "};
    const char* widths[] = {"", "1", "6", "25"};
    const char* precs[] = {"", ".0", ".1", ".3", ".12"};
    for (char c : convs)
        for (auto f : flags)
            for (auto w : widths)
                for (auto p : precs) {
                    if (!withPrecision && *p) continue;
                    r.push_back(std::string("%") + f + w + p + lenMod + c);
                }
    return r;
}

} // namespace

TEST(Format, IntegersMatchSnprintf) {
    g_mismatches = 0;
    CheckAll<int>(Formats("", "diuxXo"), {0, 1, -1, 7, -42, 255, 4096, INT_MAX, INT_MIN, 123456789});
    CheckAll<unsigned>(Formats("", "uxXo"), {0u, 1u, 9u, 0xABCDu, UINT_MAX, 0x80000000u});
    CheckAll<long>(Formats("l", "diuxXo"), {0L, -1L, LONG_MAX, LONG_MIN, 1234567890123L});
    CheckAll<unsigned long>(Formats("l", "uxX"), {0UL, ULONG_MAX, 0xDEADBEEFCAFEUL});
    CheckAll<long long>(Formats("ll", "diuxX"), {0LL, -5LL, LLONG_MAX, LLONG_MIN, -1234567890123456LL});
    CheckAll<unsigned long long>(Formats("ll", "uxXo"), {0ULL, 1ULL, ULLONG_MAX, 10000000000000000000ULL});
    CheckAll<short>(Formats("h", "dux"), {(short)0, (short)-1, (short)SHRT_MIN, (short)12345});
    // Narrow types are promoted to int, as through C varargs.
    CheckAll<short>(Formats("", "dux"), {(short)-1, (short)SHRT_MIN, (short)300});
    CheckAll<unsigned char>(Formats("", "dux"), {(unsigned char)0, (unsigned char)200, (unsigned char)255});
    CheckAll<signed char>(Formats("", "dux"), {(signed char)-1, (signed char)-128, (signed char)100});
    CheckAll<int>(Formats("h", "dux"), {70000, -70000, 65535}); // h narrows an int
    CheckAll<int>(Formats("hh", "dux"), {300, -129, 255});
    EXPECT_EQ(g_mismatches, 0);
}

TEST(Format, IntegerPrecisionBeyondSixtyFourDigits) {
    // Long zero-padded numbers once overran a fixed digit buffer (and lost zeros past 64).
    g_mismatches = 0;
    CheckAll<unsigned long long>({"%.80llx", "%.100llo", "%#.90llo", "%120.100llu"},
                                 {0ULL, 5ULL, ULLONG_MAX});
    CheckAll<long long>({"%.100lld", "%+.73lld", "%-110.99lli"}, {0LL, -1LL, LLONG_MIN, LLONG_MAX});
    EXPECT_EQ(g_mismatches, 0);
}

TEST(Format, MicrosoftLengthPrefixes) {
    // %I64d is not C; it reads the same as %lld.
    CNarrowString s;
    s.Format("%I64d|%I64u|%I64X|%I32d", (int64_t)-7, (uint64_t)UINT64_MAX, (uint64_t)0xABCDEF, 5);
    EXPECT_EQ(s, "-7|18446744073709551615|ABCDEF|5");
}

TEST(Format, FloatingPointMatchesSnprintf) {
    g_mismatches = 0;
    std::vector<double> values = {0.0,    -0.0,   1.0,      -1.5,       0.5,     2.5,     3.14159265358979,
                                  1e10,   1.5e-7, -2e300,   123456.789, DBL_MAX, DBL_MIN, 1.0 / 3,
                                  99.995, 0.125,  INFINITY, -INFINITY,  NAN};
    CheckAll<double>(Formats("", "feEgGa"), values);
    CheckAll<double>(Formats("l", "f"), values); // %lf is %f
    Check("%.40f", 0.1);
    Check("%.300f", 1e300); // longer than the engine's stack buffer
    EXPECT_EQ(g_mismatches, 0);
}

TEST(Format, CharactersMatchSnprintf) {
    g_mismatches = 0;
    CheckAll<int>({"%c", "%3c", "%-3c|"}, {'a', ' ', '~'});
    EXPECT_EQ(g_mismatches, 0);
    CWideString w;
    w.Format(u"[%c%c%c]", u'\u20ac', 'x', (char)0xE9); // a char is a Latin-1 byte
    EXPECT_EQ(w, u"[\u20acx\u00e9]");
    CNarrowString n;
    n.Format("[%c]", u'\u00e9'); // a wide character in a narrow format is UTF-8
    EXPECT_EQ(n, "[\xc3\xa9]");
}

TEST(Format, StringsOfEitherTypeInEitherFormat) {
    CWideString w(u"w\u00e9\U0001F600");
    CNarrowString n("n\xc3\xa9"); // UTF-8
    CNarrowString ansi("a\xe9");  // not UTF-8: read as Windows-1252
    CWideString r;
    r.Format(u"%s|%S|%s|%S|%s|%S", w, n, n, w, u"lit", "lit");
    EXPECT_EQ(r, u"w\u00e9\U0001F600|n\u00e9|n\u00e9|w\u00e9\U0001F600|lit|lit");
    r.Format(u"%s", ansi);
    EXPECT_EQ(r, u"a\u00e9");
    CNarrowString o;
    o.Format("%s|%S|%s", w, n, std::string("std"));
    EXPECT_EQ(o, "w\xc3\xa9\xf0\x9f\x98\x80|n\xc3\xa9|std");
    // Width and precision.
    r.Format(u"[%5s][%-5s][%.2s][%5.1S]", u"ab", u"ab", u"abcdef", "xyz");
    EXPECT_EQ(r, u"[   ab][ab   ][ab][    x]");
    // Precision never cuts a UTF-8 sequence in a narrow format.
    o.Format("[%.2s]", u"a\u00e9b"_ws);
    EXPECT_EQ(o, "[a]");
    // Embedded NUL in a counted string is kept.
    CNarrowString withNul("a\0b", 3);
    o.Format("%s", withNul);
    EXPECT_EQ(o.GetLength(), 3);
    const char* nul = nullptr;
    o.Format("%s", nul);
    EXPECT_EQ(o, "(null)");
}

TEST(Format, PercentAndBadSpecs) {
    long before = ZorAssertCount();
    auto prev = ZorSetAssertHook([](const char*) {});
    CNarrowString s;
    s.Format("100%% %d%%", 5);
    EXPECT_EQ(s, "100% 5%");
    s.Format("%d and %d", 1); // too few arguments: reported, the rest goes on
    EXPECT_EQ(s, "1 and ");
    EXPECT_EQ(ZorAssertCount(), before + 1);
    s.Format("%s", 42); // a number where a string is expected
    EXPECT_EQ(s, "(bad)");
    EXPECT_EQ(ZorAssertCount(), before + 2);
    s.Format("%y %", 1); // an unknown conversion stays as written
    EXPECT_EQ(s, "%y %");
    s.Format("%*d|%-*d|%.*f", 5, 42, 4, 7, 2, 3.14159);
    EXPECT_EQ(s, "   42|7   |3.14");
    ZorSetAssertHook(prev);
}
