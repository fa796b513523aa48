#include "test-tmp.h"
#include "zor-debug.h"
#include "zor-string.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Collects assertion reports while alive.
struct AssertCatcher {
    static std::vector<std::string>& Reports() {
        static std::vector<std::string> r;
        return r;
    }
    ZorAssertHook prev;
    AssertCatcher() {
        Reports().clear();
        prev = ZorSetAssertHook([](const char* report) { Reports().push_back(report); });
    }
    ~AssertCatcher() { ZorSetAssertHook(prev); }
};

} // namespace

TEST(String, CopyOnWriteSharesUntilWritten) {
    CWideString a(u"hello");
    CWideString b = a;
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.Data()->nRefs.load(), 2);
    b.SetAt(0, u'j');
    EXPECT_NE(a.GetString(), b.GetString());
    EXPECT_EQ(a, u"hello");
    EXPECT_EQ(b, u"jello");
    EXPECT_EQ(a.Data()->nRefs.load(), 1);

    // Every modifier separates a shared copy.
    CNarrowString n("abcabc");
    CNarrowString copies[6] = {n, n, n, n, n, n};
    copies[0].Replace('a', 'x');
    copies[1].Replace("bc", "--");
    copies[2].Delete(1, 2);
    copies[3].TrimLeft('a');
    copies[4].MakeUpper();
    copies[5].Append("!");
    EXPECT_EQ(n, "abcabc");
    EXPECT_EQ(copies[0], "xbcxbc");
    EXPECT_EQ(copies[1], "a--a--");
    EXPECT_EQ(copies[2], "aabc");
    EXPECT_EQ(copies[3], "bcabc");
    EXPECT_EQ(copies[4], "ABCABC");
    EXPECT_EQ(copies[5], "abcabc!");
    EXPECT_EQ(n.Data()->nRefs.load(), 1);

    // All empty strings share one header.
    CWideString e1, e2(u""), e3 = a.Left(0);
    EXPECT_EQ(e1.Data(), e2.Data());
    EXPECT_EQ(e1.Data(), e3.Data());
}

TEST(String, FormatBasics) {
    CWideString s;
    s.Format(u"%s=%d [%5.2f] %S %x %-4s|", u"a", -12, 3.14159, "n\xc3\xa9", 255u, u"ab");
    EXPECT_EQ(s, u"a=-12 [ 3.14] n\u00e9 ff ab  |");
}

TEST(String, LockedBufferIsNotShared) {
    CWideString a(u"abc");
    char16_t* p = a.GetBuffer(10);
    EXPECT_LT(a.Data()->nRefs.load(), 0);
    CWideString b = a; // a copy of a locked buffer owns its characters
    EXPECT_NE(b.GetString(), a.GetString());
    p[0] = u'X';
    p[3] = u'd';
    a.ReleaseBuffer(4);
    EXPECT_EQ(a, u"Xbcd");
    EXPECT_EQ(b, u"abc");
    EXPECT_EQ(a.Data()->nRefs.load(), 1);
    CWideString c = a;
    EXPECT_EQ(c.GetString(), a.GetString());
    // Emptying a locked string keeps its buffer for the writer.
    CNarrowString d("xyz");
    char* q = d.GetBuffer(8);
    d.Delete(0);
    q[0] = 'k';
    d.ReleaseBuffer(1);
    EXPECT_EQ(d, "k");
}

TEST(String, ConcurrentCopiesOnThreads) {
    // Many threads copy one shared string, write their copies, and drop them;
    // the original is never changed and its count returns to one.
    CWideString shared(u"the shared original text");
    CNarrowString sharedN("narrow original");
    const int kThreads = 8, kRounds = 20000;
    std::atomic<int> bad{0};
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; t++) {
        th.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                CWideString c = shared;
                CWideString d;
                d = c;
                if (i % 3 == 0) d.SetAt(0, (char16_t)(u'A' + t));
                if (i % 5 == 0) c += u"!";
                CNarrowString n = sharedN;
                if (i % 7 == 0) n.MakeUpper();
                if (shared != u"the shared original text" || sharedN != "narrow original") bad++;
                if (i % 3 == 0 && d.GetAt(0) != (char16_t)(u'A' + t)) bad++;
            }
        });
    }
    for (auto& x : th) x.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(shared.Data()->nRefs.load(), 1);
    EXPECT_EQ(sharedN.Data()->nRefs.load(), 1);
}

TEST(String, Tokenize) {
    CWideString s(u",,ab,,c d,");
    int pos = 0;
    std::vector<CWideString> toks;
    for (CWideString t = s.Tokenize(u", ", pos); pos != -1; t = s.Tokenize(u", ", pos)) toks.push_back(t);
    ASSERT_EQ(toks.size(), 3u);
    EXPECT_EQ(toks[0], u"ab");
    EXPECT_EQ(toks[1], u"c");
    EXPECT_EQ(toks[2], u"d");
    // Past the last token: empty token and -1.
    pos = 0;
    EXPECT_EQ(CWideString(u",,,").Tokenize(u",", pos), u"");
    EXPECT_EQ(pos, -1);
    pos = 0;
    EXPECT_EQ(CWideString().Tokenize(u",", pos), u"");
    EXPECT_EQ(pos, -1);
    // A token that ends the text gives a start past it; the next call ends.
    pos = 0;
    CNarrowString n("one");
    EXPECT_EQ(n.Tokenize(";", pos), "one");
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(n.Tokenize(";", pos), "");
    EXPECT_EQ(pos, -1);
}

TEST(String, DeleteInsertAndExtraction) {
    CWideString s(u"abcdef");
    EXPECT_EQ(s.Delete(2), 2); // from an index to the end
    EXPECT_EQ(s, u"ab");
    s = u"abcdef";
    EXPECT_EQ(s.Delete(1, 2), 4);
    EXPECT_EQ(s, u"adef");
    EXPECT_EQ(s.Delete(10, 1), 4); // past the end: nothing
    EXPECT_EQ(s.Delete(-3, 1), 3); // negative index counts from 0
    EXPECT_EQ(s, u"def");
    EXPECT_EQ(s.Delete(0), 0);
    EXPECT_TRUE(s.IsEmpty());
    s = u"ace";
    s.Insert(1, u'b');
    s.Insert(99, u"fg");
    EXPECT_EQ(s, u"abcefg");
    EXPECT_EQ(s.Left(2), u"ab");
    EXPECT_EQ(s.Left(99), u"abcefg");
    EXPECT_EQ(s.Right(2), u"fg");
    EXPECT_EQ(s.Mid(4), u"fg");
    EXPECT_EQ(s.Mid(1, 2), u"bc");
    EXPECT_EQ(s.Mid(10), u"");
    EXPECT_EQ(s.Mid(-1, 2), u"ab");
    EXPECT_EQ(s.Find(u'c'), 2);
    EXPECT_EQ(s.Find(u"ef", 3), 3);
    EXPECT_EQ(s.Find(u"ef", 4), -1);
    EXPECT_EQ(s.ReverseFind(u'a'), 0);
    EXPECT_EQ(s.FindOneOf(u"xyzg"), 5);
    EXPECT_EQ(s.FindOneOf(u"xyz"), -1);
}

TEST(String, TrimAndTrimLeftChar) {
    CWideString s(u"//a/b//");
    s.TrimLeft(u'/'); // every leading copy
    EXPECT_EQ(s, u"a/b//");
    s.TrimRight(u'/');
    EXPECT_EQ(s, u"a/b");
    CWideString w(u" \t\u3000 x y \r\n");
    w.Trim();
    EXPECT_EQ(w, u"x y");
    CNarrowString n("xxxx");
    n.TrimLeft('x');
    EXPECT_TRUE(n.IsEmpty());
    CNarrowString m("--a--");
    m.Trim("-");
    EXPECT_EQ(m, "a");
}

TEST(String, StartsWithTailAndEndsWithHeadNoCase) {
    CWideString tail(u"unchanged");
    EXPECT_TRUE(CWideString(u"HTTP://host/x").StartsWithTailNoCase(u"http://", tail));
    EXPECT_EQ(tail, u"host/x");
    tail = u"unchanged";
    EXPECT_FALSE(CWideString(u"ftp://x").StartsWithTailNoCase(u"http://", tail));
    EXPECT_EQ(tail, u"unchanged");                                                // untouched on failure
    EXPECT_TRUE(CWideString(u"\u00c4BC").StartsWithTailNoCase(u"\u00e4b", tail)); // non-ASCII fold
    EXPECT_EQ(tail, u"C");
    EXPECT_TRUE(CWideString(u"ab").StartsWithTailNoCase(u"AB", tail));
    EXPECT_TRUE(tail.IsEmpty());
    EXPECT_FALSE(CWideString(u"a").StartsWithTailNoCase(u"ab", tail));

    CNarrowString head("unchanged");
    EXPECT_TRUE(CNarrowString("Name.TXT").EndsWithHeadNoCase(".txt", head));
    EXPECT_EQ(head, "Name");
    head = "unchanged";
    EXPECT_FALSE(CNarrowString("Name.txt").EndsWithHeadNoCase(".doc", head));
    EXPECT_EQ(head, "unchanged");
    EXPECT_FALSE(CNarrowString("t").EndsWithHeadNoCase(".txt", head));
    EXPECT_TRUE(CNarrowString("X").EndsWithHeadNoCase("x", head));
    EXPECT_EQ(head, "");
}

TEST(String, Replace) {
    CWideString s(u"a\\b\\c");
    EXPECT_EQ(s.Replace(u'\\', u'/'), 2);
    EXPECT_EQ(s, u"a/b/c");
    EXPECT_EQ(s.Replace(u'x', u'y'), 0);

    CNarrowString n("aaaa");
    EXPECT_EQ(n.Replace("aa", "b"), 2); // left to right, no overlap
    EXPECT_EQ(n, "bb");
    n = "aaa";
    EXPECT_EQ(n.Replace("aa", "X"), 1);
    EXPECT_EQ(n, "Xa");
    n = "a.b.c";
    EXPECT_EQ(n.Replace(".", "..."), 2); // growing; the new text is not scanned again
    EXPECT_EQ(n, "a...b...c");
    EXPECT_EQ(n.Replace("...", ""), 2);
    EXPECT_EQ(n, "abc");
    EXPECT_EQ(n.Replace("", "x"), 0); // empty pattern: nothing
    EXPECT_EQ(n.Replace("abcd", "x"), 0);
    EXPECT_EQ(n, "abc");
    n = "xyx";
    EXPECT_EQ(n.Replace("x", n.Mid(1, 1)), 2); // replacement text taken from the string
    EXPECT_EQ(n, "yyy");
}

TEST(String, FormatWithItselfAsArgument) {
    CWideString s(u"abc");
    s.Format(u"[%s|%s]", s, s);
    EXPECT_EQ(s, u"[abc|abc]");
    // Appending a long copy of itself forces the buffer to move while formatting.
    CNarrowString n("0123456789");
    for (int i = 0; i < 6; i++) n.AppendFormat("%s%s", n, n.GetString());
    EXPECT_EQ(n.GetLength(), 10 * 729);
    EXPECT_EQ(n.Left(20), "01234567890123456789");
    CWideString f(u"%d-%d");
    f.Format(f, 1, 2); // the format itself lives in the string
    EXPECT_EQ(f, u"1-2");
}

TEST(String, ComparisonHelpers) {
    EXPECT_EQ(CompareNoCaseThenCase(u"abc"_ws, u"ABC"_ws, false), 0);
    EXPECT_GT(CompareNoCaseThenCase(u"abc"_ws, u"ABC"_ws, true), 0); // 'a' > 'A'
    EXPECT_LT(CompareNoCaseThenCase(u"ABC"_ws, u"abd"_ws, true), 0); // case ignored first
    EXPECT_LT(CompareNoCaseThenCase(u"ab"_ws, u"ABC"_ws, true), 0);
    EXPECT_EQ(ZorStrICmp(u"Stra\u00dfe", u"STRA\u00dfE"), 0);
    EXPECT_EQ(ZorStrICmp(u"\u0391\u03b2", u"\u03b1\u0392"), 0); // Greek
    EXPECT_LT(ZorStrICmp(u"a", u"B"), 0);
    EXPECT_GT(ZorStrCmp(u"a", u"B"), 0);
    EXPECT_EQ(ZorStrCmp(u"same", u"same"), 0);
    EXPECT_TRUE(EqualsNoCase(CNarrowString("Content-Length"), CNarrowString("content-length")));
    EXPECT_FALSE(EqualsNoCase(CNarrowString("a"), CNarrowString("ab")));
    EXPECT_EQ(CNarrowString("ETag").CompareNoCase("etag"), 0);
    EXPECT_TRUE(StrStartsWith(u"\\\\?\\C:", u"\\\\?\\"));
    EXPECT_FALSE(StrStartsWith(u"ab", u"abc"));
    EXPECT_TRUE(StrStartsWithN(u"abcd", u"abXX", 2));
    // MatchPrefixNarrow gives where the prefix stopped matching.
    EXPECT_EQ(MatchPrefixNarrow("abcdef", "abc", 10), 3);
    EXPECT_EQ(MatchPrefixNarrow("abXdef", "abc", 10), 2);
    EXPECT_EQ(MatchPrefixNarrow("abcdef", "abc", 1), 1);
    EXPECT_EQ(MatchPrefixNarrow("ab", "abc", 10), 2);
}

TEST(String, Latin1ConversionOperators) {
    CWideString w(u"a\u00e9\u20ac");
    CNarrowString n = w; // Latin-1: above 255 becomes '?'
    EXPECT_EQ(n, "a\xe9?");
    CWideString back = n;
    EXPECT_EQ(back, u"a\u00e9?");
    CWideString lower(u"\u00c9COLE \u0130I");
    lower.MakeLower();
    EXPECT_EQ(lower, u"\u00e9cole ii"); // simple, locale-independent mapping
}

TEST(String, AssertionHookTakesTheReport) {
    AssertCatcher c;
    long before = ZorAssertCount();
    CWideString s(u"abc");
    EXPECT_EQ(s.GetAt(5), 0); // non-fatal: a fallback value
    ASSERT_EQ(AssertCatcher::Reports().size(), 1u);
    const std::string& r = AssertCatcher::Reports()[0];
    EXPECT_EQ(r.rfind("!!!ASSERT: ", 0), 0u) << r;
    EXPECT_NE(r.find("zor-string.cpp ("), std::string::npos) << r;
    EXPECT_NE(r.find("): error=0, string index out of range(5)\n\n"), std::string::npos) << r;
    EXPECT_EQ(ZorAssertCount(), before + 1);
    ZorAssertFailed("file.cpp", 12, 34, "text", 56);
    EXPECT_EQ(AssertCatcher::Reports().back(), "!!!ASSERT: file.cpp (12): error=34, text(56)\n\n");
}

TEST(String, AssertionReportGoesToTheTraceFile) {
    std::string pathPath = TvTmpPath("zor-trace-XXXXXX");
    char* path = pathPath.data();
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("TORVANE_TRACE", path, 1);
    ZorTraceReconfigure();
    EXPECT_TRUE(ZorTraceEnabled());
    ZorAssertFailed("x.cpp", 7, 0, "to the trace");
    unsetenv("TORVANE_TRACE");
    ZorTraceReconfigure();
    EXPECT_FALSE(ZorTraceEnabled());
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string text = ss.str();
    std::remove(path);
    // "%Y%m%d-%H%M%S: t=%x: " before start-up, then the report.
    ASSERT_GT(text.size(), 19u);
    EXPECT_EQ(text[8], '-');
    EXPECT_EQ(text.substr(15, 4), ": t=");
    EXPECT_NE(text.find(": !!!ASSERT: x.cpp (7): error=0, to the trace(0)\n\n"), std::string::npos) << text;
}
