// Include and exclude filters: a table of rules, paths and records with the
// decision and reason text; the condition forms with their applicability
// (scan versus Analyze, unparsable and overflowing values, day boundaries);
// folder rules; the list texts and the folder-selection conversions.
#include "sync-filters.h"

#include "zor-debug.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace {

CSideInfo None() {
    return CSideInfo();
}
CSideInfo File(uint64_t nLen, uint32_t t = 1000000000, uint32_t nAttr = 0) {
    CSideInfo r;
    r.SetPresent(true);
    r.m_Len.SetValue(nLen);
    r.m_tAccu.SetTime(t);
    r.m_nAttr = nAttr;
    return r;
}
CSideInfo Folder(uint32_t nAttr = 0, uint32_t t = 1000000000) {
    CSideInfo r;
    r.SetPresent(true);
    r.SetFolder(true);
    r.m_Len.SetFolder();
    r.m_tAccu.SetTime(t);
    r.m_nAttr = nAttr;
    return r;
}

CListT<CWideString> List(std::initializer_list<const char16_t*> rules) {
    CListT<CWideString> l;
    for (const char16_t* r : rules) l.AddTail(r);
    return l;
}

CJobFilters Pair(std::initializer_list<const char16_t*> inc, std::initializer_list<const char16_t*> exc) {
    CJobFilters f;
    f.m_lstIncluded = List(inc);
    f.m_lstExcluded = List(exc);
    return f;
}

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

// 00:00:00 local time of a date, as the day conditions read it.
int64_t LocalMidnight(int y, int m, int d) {
    struct tm v = {};
    v.tm_year = y - 1900;
    v.tm_mon = m - 1;
    v.tm_mday = d;
    v.tm_isdst = -1;
    return (int64_t)mktime(&v);
}

// Applicability and result of one condition in the Analyze step.
enum Eval { NA, NO, YES };
Eval Cond(const char16_t* c, const CSideInfo& a, const CSideInfo& b = CSideInfo(), bool bTwoSides = true,
          const char16_t* path = u"/dir/file.txt") {
    bool m = false;
    if (!EvalFilterCondition(c, path, bTwoSides, a, b, m)) return NA;
    return m ? YES : NO;
}

class AssertCounter {
public:
    AssertCounter() : m_nStart(ZorAssertCount()), m_prev(ZorSetAssertHook([](const char*) {})) {}
    ~AssertCounter() { ZorSetAssertHook(m_prev); }
    long Count() const { return ZorAssertCount() - m_nStart; }

private:
    long m_nStart;
    ZorAssertHook m_prev;
};

} // namespace

TEST(Filters, DecisionTable) {
    const CSideInfo none = None(), file = File(10), big = File(2 * 1048576), mb = File(1048576),
                    dir = Folder(), hidden = File(10, 1000000000, FAB_HIDDEN);
    struct Case {
        int line;
        CJobFilters f;
        const char16_t* path;
        bool bTwoSides;
        CSideInfo a, b;
        const char16_t* reason; // null: not excluded
    };
    const Case cases[] = {
        // empty lists
        {__LINE__, Pair({}, {}), u"/a.txt", false, file, none, nullptr},
        {__LINE__, Pair({}, {}), u"/a", true, dir, dir, nullptr},
        // folder include rules: the folders, their contents and their ancestors stay
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Docs/a.txt", false, file, none, nullptr},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Docs", false, dir, none, nullptr},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Work/x/y", true, file, file, nullptr},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"", false, dir, none, nullptr},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/docs/A.TXT", false, file, none, nullptr},
        {__LINE__, Pair({u"/Docs/Sub"}, {}), u"/Docs", false, dir, none, nullptr},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Other/b.txt", false, file, none,
         u"not included: no match /Docs|/Work/*"},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Other", false, dir, none,
         u"not included: no match /Docs|/Work/*"},
        {__LINE__, Pair({u"/Docs", u"/Work/*"}, {}), u"/Workshop/a", true, file, none,
         u"not included: no match /Docs|/Work/*"},
        {__LINE__, Pair({u"/aaaaaaaaaa", u"/bbbbbbbbbb", u"/cccccccccc", u"/dddddddddd"}, {}), u"/x", false,
         file, none, u"not included: no match /aaaaaaaaaa|/bbbbbbbbbb|/cccccccccc|/ddd..."},
        // a mask include list: folders pass during the scan only
        {__LINE__, Pair({u"*.txt"}, {}), u"/sub", false, dir, none, nullptr},
        {__LINE__, Pair({u"*.txt"}, {}), u"/sub", true, dir, none, u"not included: no match *.txt"},
        {__LINE__, Pair({u"*.txt"}, {}), u"/sub/a.TXT", false, file, none, nullptr},
        {__LINE__, Pair({u"*.txt"}, {}), u"/sub/a.doc", false, file, none, u"not included: no match *.txt"},
        {__LINE__, Pair({u"*.*"}, {}), u"/README", true, file, file, nullptr},
        // exclude masks
        {__LINE__, Pair({}, {u"*.tmp"}), u"/a/b.TMP", false, file, none, u"excluded: match *.tmp"},
        {__LINE__, Pair({}, {u"*.tmp"}), u"/a.tmp/b", false, file, none, nullptr},
        {__LINE__, Pair({}, {u"path /Docs/*.bak"}), u"/Docs/sub/x.bak", false, file, none,
         u"excluded: match path /Docs/*.bak"},
        {__LINE__, Pair({}, {u"path /Docs/*.bak"}), u"/Other/x.bak", false, file, none, nullptr},
        {__LINE__, Pair({}, {u"/Docs/*.bak"}), u"/Docs/x.bak", false, file, none,
         u"excluded: match /Docs/*.bak"},
        {__LINE__, Pair({}, {u"name a*"}), u"/abc/xyz", false, file, none, nullptr},
        {__LINE__, Pair({}, {u"name a*"}), u"/xyz/abc", false, file, none, u"excluded: match name a*"},
        {__LINE__, Pair({}, {u"*/sub/*.tmp"}), u"/a/sub/x.tmp", false, file, none,
         u"excluded: match */sub/*.tmp"},
        {__LINE__, Pair({}, {u"isfoldr"}), u"/x/isfoldr", false, file, none, u"excluded: match isfoldr"},
        {__LINE__, Pair({}, {u"isfoldr"}), u"/x/y", false, dir, none, nullptr},
        // a two-sided condition is undecided during the scan
        {__LINE__, Pair({}, {u"size>1M;name *.log"}), u"/big.log", false, big, none, nullptr},
        {__LINE__, Pair({}, {u"size>1M;name *.log"}), u"/big.log", true, big, none,
         u"excluded: match size>1M;name *.log"},
        {__LINE__, Pair({}, {u"size>1M;name *.log"}), u"/mb.log", true, mb, mb, nullptr},
        {__LINE__, Pair({}, {u"size>1M;name *.log"}), u"/big.txt", true, big, none, nullptr},
        {__LINE__, Pair({u"size>1M", u"*.doc"}, {}), u"/a.txt", false, big, none, nullptr},
        {__LINE__, Pair({u"size>1M", u"*.doc"}, {}), u"/a.txt", true, big, none, nullptr},
        {__LINE__, Pair({u"size>1M", u"*.doc"}, {}), u"/a.txt", false, file, none, nullptr},
        {__LINE__, Pair({u"size>1M", u"*.doc"}, {}), u"/a.txt", true, file, file,
         u"not included: no match size>1M|*.doc"},
        // kind, attribute and existence conditions
        {__LINE__, Pair({}, {u"isfolder"}), u"/d", false, dir, none, u"excluded: match isfolder"},
        {__LINE__, Pair({}, {u"isfolder"}), u"/d", true, none, dir, u"excluded: match isfolder"},
        {__LINE__, Pair({}, {u"<subfolder>"}), u"/d", false, dir, none, u"excluded: match <subfolder>"},
        {__LINE__, Pair({}, {u"isfolder"}), u"/f", true, file, file, nullptr},
        {__LINE__, Pair({}, {u"isfile"}), u"/f", false, file, none, u"excluded: match isfile"},
        {__LINE__, Pair({}, {u"isfile"}), u"/d", true, dir, dir, nullptr},
        {__LINE__, Pair({}, {u"ishidden"}), u"/h", false, hidden, none, nullptr},
        {__LINE__, Pair({}, {u"ishidden"}), u"/h", true, hidden, file, u"excluded: match ishidden"},
        {__LINE__, Pair({}, {u"any ishidden"}), u"/h", true, file, hidden, u"excluded: match any ishidden"},
        {__LINE__, Pair({}, {u"ishidden"}), u"/h", true, file, file, nullptr},
        {__LINE__, Pair({}, {u"existone"}), u"/n", true, file, none, u"excluded: match existone"},
        {__LINE__, Pair({}, {u"existone"}), u"/n", true, file, file, nullptr},
        {__LINE__, Pair({}, {u"existone"}), u"/n", false, file, none, nullptr},
        {__LINE__, Pair({}, {u"existboth"}), u"/n", true, file, dir, u"excluded: match existboth"},
        // empty rules and rules of separators only are skipped
        {__LINE__, Pair({}, {u"", u""}), u"/a", true, file, file, nullptr},
        {__LINE__, Pair({}, {u";; ;", u" "}), u"/a", true, file, file, nullptr},
        {__LINE__, Pair({}, {u";;", u"*.tmp ;; "}), u"/a.tmp", true, file, file,
         u"excluded: match *.tmp ;; "},
        {__LINE__, Pair({u"", u" ; "}, {}), u"/a", true, file, file, nullptr},
        // '\' is read as '/'; the reason shows the rule as stored
        {__LINE__, Pair({}, {u"\\Docs"}), u"/Docs/a.txt", false, file, none, u"excluded: match \\Docs"},
        {__LINE__, Pair({}, {u"path \\Docs\\*.bak"}), u"/Docs/s/x.bak", false, file, none,
         u"excluded: match path \\Docs\\*.bak"},
        {__LINE__, Pair({u"\\Docs\\*"}, {}), u"", false, dir, none, nullptr},
        {__LINE__, Pair({u"\\Docs\\*"}, {}), u"/Other", false, dir, none,
         u"not included: no match \\Docs\\*"},
        // exclusion after inclusion
        {__LINE__, Pair({u"/Docs"}, {u"*.bak"}), u"/Docs/a.bak", false, file, none, u"excluded: match *.bak"},
        // plain names are looked up, yet the first matching rule still gives the reason
        {__LINE__, Pair({}, {u"*.db", u"Thumbs.db", u"name thumbs.DB"}), u"/x/THUMBS.db", false, file, none,
         u"excluded: match *.db"},
        {__LINE__, Pair({}, {u"*.bak", u"name thumbs.DB", u"Thumbs.db"}), u"/x/THUMBS.db", false, file, none,
         u"excluded: match name thumbs.DB"},
        {__LINE__, Pair({}, {u"size>5", u"Thumbs.db"}), u"/Thumbs.db", false, file, none,
         u"excluded: match Thumbs.db"},
        {__LINE__, Pair({}, {u"size>5", u"Thumbs.db"}), u"/Thumbs.db", true, file, file,
         u"excluded: match size>5"},
        {__LINE__, Pair({}, {u"Thumbs.db;size>50"}), u"/Thumbs.db", true, file, file, nullptr},
        {__LINE__, Pair({}, {u"Thumbs.db"}), u"/Thumbs.db.old", true, file, file, nullptr},
        {__LINE__, Pair({u"Thumbs.db"}, {}), u"/a/b", true, file, file, u"not included: no match Thumbs.db"},
    };
    // The rules are read once per list and then serve many paths.
    std::vector<std::pair<CFilterMatcher, const CJobFilters*>> matchers;
    for (const Case& c : cases) {
        CWideString reason;
        bool bExcluded = c.f.IsExcluded(c.path, c.bTwoSides, c.a, c.b, reason);
        EXPECT_EQ(bExcluded, c.reason != nullptr) << "line " << c.line << ": " << U8(reason);
        if (bExcluded && c.reason) {
            EXPECT_EQ(U8(reason), U8(c.reason)) << "line " << c.line;
        }
        if (matchers.empty() || *matchers.back().second != c.f) matchers.emplace_back(CFilterMatcher(c.f), &c.f);
    }
    for (const Case& c : cases) {
        for (const auto& [m, f] : matchers) {
            if (*f != c.f) continue;
            CWideString reason, again;
            EXPECT_EQ(m.IsExcluded(c.path, c.bTwoSides, c.a, c.b, reason),
                      c.f.IsExcluded(c.path, c.bTwoSides, c.a, c.b, again))
                << "line " << c.line;
            EXPECT_EQ(U8(reason), U8(again)) << "line " << c.line;
        }
    }
}

// Masks on names and paths decide as the general wildcard match, whatever
// the case, dots, non-ASCII units and lengths of the names; plain names looked
// up together decide as each matched alone.
TEST(Filters, MasksDecideAsTheGeneralMatch) {
    auto repeated = [](const char16_t* s, int n) {
        CWideString r;
        for (int i = 0; i < n; ++i) r += s;
        return r;
    };
    const CWideString longName = repeated(u"x", 300) + u".txt";
    const CWideString masks[] = {
        u"*.txt", u"a*", u"A?C", u"a*b", u"*.", u"a.", u"*a?", u"?a*", u"abc", u"ABC.", u"Thumbs.db",
        u".DS_Store", u"mpp*.vfo", u"*._tvtmp", u"*.*", u"*", u"?", u"caf\u00E9*", u"*\u00C9", u"x*y*z", u"x?y",
        u"\u212Aelvin", u"k*", u"*s", u"*\U0001F600", u"?.txt", u"", longName, u"x*x.txt", u"a?c.d??"};
    const CWideString names[] = {
        u"abc", u"ABC", u"abc.", u"a.", u"A.TXT", u"a.txt.", u"thumbs.DB", u"THUMBS.db.", u".ds_store", u"MPP1.VFO",
        u"mpp.vfo", u"mp.vfo", u"x._tvtmp", u"._TVTMP", u"caf\u00E9", u"CAF\u00C9", u"cafe\u0301", u"\u212Aelvin",
        u"kelvin", u"KELVIN", u"\u017F", u"S", u"\U0001F600.txt", u"x\U0001F600", u"xayaz", u"xy", u"a?c", u"abc.def",
        u"AbC.dEf", longName, repeated(u"X", 300) + u".TXT", u"z", u"s"};
    const CSideInfo file = File(10), none = None();
    std::vector<const char16_t*> literals;
    for (const CWideString& m : masks)
        if (m.FindOneOf(u"*?") < 0 && !m.IsEmpty()) literals.push_back(m.GetString());
    CJobFilters plain;
    for (const char16_t* m : literals) plain.m_lstExcluded.AddTail(m);
    const CFilterMatcher plainMatcher(plain);
    for (const CWideString& name : names) {
        bool bAnyLiteral = false;
        for (const CWideString& mask : masks) {
            const bool bExpected = PathMatchesSpec(name, mask);
            if (mask.FindOneOf(u"*?") < 0 && !mask.IsEmpty()) bAnyLiteral |= bExpected;
            const std::pair<CWideString, bool> rules[] = {
                {mask, bExpected},
                {u"name " + mask, bExpected},
                {u"path /d/" + mask, PathMatchesSpec(u"/d/" + name, u"/d/" + mask)}};
            for (const auto& [rule, bRule] : rules) {
                if (rule.IsEmpty()) continue; // an empty rule is skipped
                CWideString reason;
                const CFilterMatcher m(Pair({}, {rule.GetString()}));
                EXPECT_EQ(m.IsExcluded(u"/d/" + name, false, file, none, reason), bRule)
                    << U8(rule) << " on " << U8(name);
            }
        }
        CWideString reason;
        EXPECT_EQ(plainMatcher.IsExcluded(u"/d/" + name, true, file, file, reason), bAnyLiteral) << U8(name);
    }
}

TEST(Filters, ListDecisiveness) {
    // A rule is undecided when a condition before its first failing one
    // cannot be evaluated.
    const CSideInfo none = None();
    CListT<CWideString> list = List({u"*.log;size>1M"});
    CWideString reason;
    bool m = true;
    EXPECT_TRUE(MatchFilterList(list, u"/a.txt", false, File(5), none, reason, m)); // fails at the mask
    EXPECT_FALSE(m);
    EXPECT_FALSE(MatchFilterList(list, u"/b.log", false, File(5), none, reason, m)); // undecided
    EXPECT_FALSE(m);
    EXPECT_TRUE(MatchFilterList(list, u"/b.log", true, File(5), none, reason, m)); // decided: too small
    EXPECT_FALSE(m);
    CListT<CWideString> two = List({u"size>1M;*.log", u"*.txt"});
    EXPECT_TRUE(MatchFilterList(two, u"/a.txt", false, File(5), none, reason, m)); // another rule matches
    EXPECT_TRUE(m);
    EXPECT_EQ(reason, CWideString(u"*.txt"));
    EXPECT_FALSE(MatchFilterList(two, u"/a.doc", false, File(5), none, reason, m));
}

TEST(Filters, SizeConditions) {
    const CSideInfo none = None();
    EXPECT_EQ(Cond(u"size=10", File(10)), YES);
    EXPECT_EQ(Cond(u"size!=10", File(10)), NO);
    EXPECT_EQ(Cond(u"size>=10k", File(10240)), YES);
    EXPECT_EQ(Cond(u"size<=10K", File(10241)), NO);
    EXPECT_EQ(Cond(u"size<1m", File(1048575)), YES);
    EXPECT_EQ(Cond(u"size>", File(1)), YES); // an empty value is 0
    EXPECT_EQ(Cond(u"size=", none), NO);
    EXPECT_EQ(Cond(u"size[10K,20K]", File(10240)), YES);
    EXPECT_EQ(Cond(u"size[10K,20K]", File(20479)), YES);
    EXPECT_EQ(Cond(u"size[10K,20K]", File(20480)), NO);
    EXPECT_EQ(Cond(u"size[10K,20K]", File(10239)), NO);
    // any / all
    EXPECT_EQ(Cond(u"size>5", File(1), File(9)), YES);
    EXPECT_EQ(Cond(u"any size>5", File(1), File(9)), YES);
    EXPECT_EQ(Cond(u"all size>5", File(1), File(9)), NO);
    EXPECT_EQ(Cond(u"all size>5", File(6), File(9)), YES);
    EXPECT_EQ(Cond(u"all size>5", File(6), none), NO);
    // lengths beyond 32 bits
    EXPECT_EQ(Cond(u"size>4194304M", File(0x40000000001ull)), YES);
    EXPECT_EQ(Cond(u"size<4194304M", File(0x3FFFFFFFFFFull)), YES);
    EXPECT_EQ(Cond(u"size=281470681743359", File(0xFFFEFFFFFFFFull)), YES);
    // a folder fulfils no size comparison
    for (const char16_t* c : {u"size>1K", u"size!=5", u"size>=0", u"size[0,1]", u"any size>0"})
        EXPECT_EQ(Cond(c, Folder(), Folder()), NO) << U8(c);
    EXPECT_EQ(Cond(u"all size<1M", Folder(), File(3)), NO);
    // not applicable: during the scan, unparsable, overflowing, malformed ranges
    for (const char16_t* c : {u"size>1", u"size>abc", u"size[1,2]"})
        EXPECT_EQ(Cond(c, File(5), none, false), NA) << U8(c);
    for (const char16_t* c :
         {u"size>abc", u"size>1G", u"size>-1", u"size>99999999999999999999", u"size>9223372036854775807",
          u"size>281474976710656", u"size>281470681743360", u"size>268435456M", u"size[10K]", u"size[10K,20K",
          u"size[]", u"size[1,2,3]", u"size[1,x]", u"size[1,281474976710656]"})
        EXPECT_EQ(Cond(c, File(5)), NA) << U8(c);
}

TEST(Filters, TimeConditionsUseTheDayBoundary) {
    const int64_t T = LocalMidnight(2012, 5, 31);
    const int64_t E = T + 86400; // the first second of the next day
    auto at = [](int64_t t) { return File(1, (uint32_t)t); };
    EXPECT_EQ(Cond(u"time=2012/5/31", at(T)), YES);
    EXPECT_EQ(Cond(u"time=2012/5/31", at(E - 1)), YES);
    EXPECT_EQ(Cond(u"time=2012/5/31", at(T - 1)), NO);
    EXPECT_EQ(Cond(u"time=2012/5/31", at(E)), NO);
    EXPECT_EQ(Cond(u"time!=2012/5/31", at(E)), YES);
    EXPECT_EQ(Cond(u"time!=2012/5/31", at(T)), NO);
    EXPECT_EQ(Cond(u"time>=2012/5/31", at(T)), YES);
    EXPECT_EQ(Cond(u"time>=2012/5/31", at(T - 1)), NO);
    EXPECT_EQ(Cond(u"time<2012/5/31", at(T - 1)), YES);
    EXPECT_EQ(Cond(u"time<2012/5/31", at(T)), NO);
    // "<=" is everything up to the end of the day, ">" everything after it,
    // both split at the same second as "=".
    EXPECT_EQ(Cond(u"time<=2012/5/31", at(E - 1)), YES);
    EXPECT_EQ(Cond(u"time<=2012/5/31", at(E)), NO);
    EXPECT_EQ(Cond(u"time>2012/5/31", at(E)), YES);
    EXPECT_EQ(Cond(u"time>2012/5/31", at(E - 1)), NO);
    EXPECT_EQ(Cond(u"time[2012/5/30,2012/5/31]", at(T - 86400)), YES);
    EXPECT_EQ(Cond(u"time[2012/5/30,2012/5/31]", at(E - 1)), YES);
    EXPECT_EQ(Cond(u"time[2012/5/30,2012/5/31]", at(E)), NO);
    EXPECT_EQ(Cond(u"time[2012/5/30,2012/5/31]", at(T - 86401)), NO);
    EXPECT_EQ(Cond(u"all time=2012/5/31", at(T), at(T - 1)), NO);
    EXPECT_EQ(Cond(u"any time=2012/5/31", at(T - 1), at(T)), YES);
    EXPECT_EQ(Cond(u"time=2012/5/31", None(), None()), NO);
    // Folders have times too.
    EXPECT_EQ(Cond(u"time=2012/5/31", Folder(0, (uint32_t)T)), YES);

    // Relative days go through the process clock.
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    EXPECT_EQ(Cond(u"time>=+0d", at(1700000000)), YES);
    EXPECT_EQ(Cond(u"time>=+0d", at(1699999999)), NO);
    EXPECT_EQ(Cond(u"time>=-2d", at(1700000000 - 2 * 86400)), YES);
    EXPECT_EQ(Cond(u"time<-2d", at(1700000000 - 2 * 86400)), NO);

    // Not applicable: during the scan, bad dates and values outside the records' 32-bit seconds.
    EXPECT_EQ(Cond(u"time=2012/5/31", at(T), None(), false), NA);
    for (const char16_t* c :
         {u"time=", u"time=2012/13/1", u"time=2012/5", u"time=1969/12/31", u"time=3000/1/1", u"time=2106/2/8",
          u"time>=+99999999d", u"time>=+2147483647d", u"time>=+99999999999d", u"time<=-20000d",
          u"time[2012/5/1]", u"time[2012/5/1,3000/1/1]", u"time>=+x"})
        EXPECT_EQ(Cond(c, at(T)), NA) << U8(c);
}

TEST(Filters, KindAttributeAndExistenceForms) {
    const CSideInfo none = None();
    struct AttrCase {
        const char16_t* word;
        uint32_t bit;
    };
    const AttrCase attrs[] = {{u"issymlink", 0x400},    {u"ishidden", 0x02},     {u"issystem", 0x04},
                              {u"isarchive", 0x20},     {u"isreadonly", 0x01},   {u"isoffline", 0x1000},
                              {u"iscompressed", 0x800}, {u"isencrypted", 0x4000}};
    for (const AttrCase& c : attrs) {
        CWideString any = CWideString(u"any ") + c.word;
        EXPECT_EQ(Cond(c.word, File(1, 1, c.bit), File(1)), YES) << U8(c.word);
        EXPECT_EQ(Cond(any, File(1), File(1, 1, c.bit)), YES) << U8(c.word);
        EXPECT_EQ(Cond(c.word, File(1, 1, ~c.bit), File(1)), NO) << U8(c.word);
        EXPECT_EQ(Cond(c.word, File(1, 1, c.bit), none, false), NA) << U8(c.word);
        // the attribute of a record that does not exist does not count
        CSideInfo gone = File(1, 1, c.bit);
        gone.m_Len.SetDeleted();
        EXPECT_EQ(Cond(c.word, gone, none), NO) << U8(c.word);
    }
    // "all " is not an attribute form: the condition is a mask on the name.
    EXPECT_EQ(Cond(u"all ishidden", File(1, 1, 2), File(1, 1, 2), true, u"/x/all ishidden"), YES);
    EXPECT_EQ(Cond(u"all ishidden", File(1, 1, 2), File(1, 1, 2)), NO);

    // isfolder/isfile look at the present and folder bits, not at the length.
    CSideInfo presentBitOnly;
    presentBitOnly.SetPresent(true);
    presentBitOnly.SetFolder(true);
    EXPECT_EQ(Cond(u"isfolder", presentBitOnly, none, false), YES);
    EXPECT_EQ(Cond(u"isfolder", none, Folder(), false), NO); // the scan sees record A only
    EXPECT_EQ(Cond(u"isfile", none, File(1), true), YES);
    EXPECT_EQ(Cond(u"existboth", File(1), File(1), false), NA);
    EXPECT_EQ(Cond(u"existone", none, none), NO);
    // Words that begin like a condition but fit no form are masks.
    EXPECT_EQ(Cond(u"sizes*", none, none, false, u"/a/sizes.txt"), YES);
    EXPECT_EQ(Cond(u"time", none, none, false, u"/a/time"), YES);
    EXPECT_EQ(Cond(u"Isfolder", Folder(), none, false, u"/a/ISFOLDER"), YES);
}

TEST(Filters, FolderRules) {
    struct Case {
        const char16_t* rule;
        const char16_t* path;
        bool bAbove;
        bool bExpected;
    };
    const Case cases[] = {
        {u"/Docs", u"/Docs", false, true},
        {u"/Docs", u"/docs/a", false, true},
        {u"/Docs/", u"/Docs", false, true},
        {u"/Docs/*", u"/Docs/x", false, true},
        {u"/Docs", u"/Docs/", false, true},
        {u"/Docs", u"/DocsX", false, false},
        {u"/Docs", u"/Doc", false, false},
        {u"/Docs", u"/", false, false},
        {u"/Docs", u"/", true, true},
        {u"/Docs", u"", true, true},
        {u"/a/b", u"/a", true, true},
        {u"/a/b", u"/A/", true, true},
        {u"/a/b", u"/ab", true, false},
        {u"/a/b/*", u"/a/b", true, true},
        {u"/", u"/x/y", false, true},
        {u"/*", u"", false, true},
        {u"/", u"", false, true},
        {u"\\a\\b", u"/a/b/c", false, true},
        {u"/\u00c9t\u00e9", u"/\u00e9T\u00c9/x", false, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PathMatchesFolderRule(c.rule, c.path, c.bAbove), c.bExpected)
            << U8(c.rule) << " " << U8(c.path) << " " << c.bAbove;
}

TEST(Filters, TextsAndBlock) {
    CJobFilters f = Pair({u"/a", u"*.b"}, {u"*.tmp"});
    EXPECT_EQ(f.Describe(), CWideString(u"Include /a|*.b Exclude *.tmp "));
    EXPECT_EQ(Pair({}, {u"x"}).Describe(), CWideString(u"Exclude x "));
    EXPECT_TRUE(Pair({}, {}).Describe().IsEmpty());

    EXPECT_EQ(CutWithEllipsis(u"abc", 3), CWideString(u"abc"));
    EXPECT_EQ(CutWithEllipsis(u"abcd", 3), CWideString(u"abc..."));
    EXPECT_EQ(CutWithEllipsis(u"ab\U0001F600", 3), CWideString(u"ab...")); // no half surrogate pair
    EXPECT_TRUE(JoinWithBar(List({})).IsEmpty());
    EXPECT_EQ(JoinWithBar(List({u"", u"x", u""})), CWideString(u"|x|"));

    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(WriteFileMasks(List({u"a\"b", u"\u00e9"}), out, true, 2, err));
    EXPECT_STREQ(out.GetText().GetString(),
                 "<FileMask>\nMatches = (\n    \"a\\\"b\"\n    \"\\195;\\169;\"\n) </FileMask>\n");
    ZorStringOutStream empty;
    ASSERT_TRUE(WriteFileMasks(List({}), empty, false, 1, err));
    EXPECT_STREQ(empty.GetText().GetString(), "<FileMask>\nMatches = (\n) </FileMask>\n");
}

TEST(Filters, AssignAppendCompare) {
    CJobFilters a = Pair({u"/x"}, {u"*.tmp"});
    CJobFilters b;
    b.Assign(a);
    EXPECT_TRUE(a == b);
    b.Append(b);
    EXPECT_EQ(b.m_lstIncluded.GetCount(), 2);
    EXPECT_EQ(b.m_lstExcluded.GetCount(), 2);
    EXPECT_TRUE(b != a);
    b.Assign(b);
    EXPECT_EQ(b.m_lstIncluded.GetCount(), 2);
}

TEST(FolderSelections, RulesToFoldersAndBack) {
    EXPECT_TRUE(IsSimpleFolderRule(u"/docs"));
    EXPECT_TRUE(IsSimpleFolderRule(u"/docs/*"));
    EXPECT_FALSE(IsSimpleFolderRule(u"/docs/*.txt"));
    EXPECT_FALSE(IsSimpleFolderRule(u"/do?s"));
    EXPECT_FALSE(IsSimpleFolderRule(u"docs"));
    EXPECT_FALSE(IsSimpleFolderRule(u""));

    CListT<CWideString> inc, exc;
    EXPECT_TRUE(FilterRulesToFolderLists(Pair({u"/a/*", u"/b"}, {u"/a/tmp"}), inc, exc));
    EXPECT_EQ(JoinWithBar(inc), CWideString(u"/a/|/b"));
    EXPECT_EQ(JoinWithBar(exc), CWideString(u"/a/tmp"));
    EXPECT_FALSE(FilterRulesToFolderLists(Pair({u"/a", u"*.txt"}, {}), inc, exc));
    EXPECT_EQ(JoinWithBar(inc), CWideString(u"/a"));
    EXPECT_FALSE(FilterRulesToFolderLists(Pair({}, {u"/x"}), inc, exc));
    ASSERT_EQ(inc.GetCount(), 1);
    EXPECT_TRUE(inc.GetHead().IsEmpty());

    CJobFilters f = Pair({u"/old", u"*.txt"}, {u"/old/x", u"*.tmp"});
    EXPECT_TRUE(FolderListsToFilterRules(List({u"/a/", u"/b"}), List({u"/a/tmp"}), f));
    EXPECT_EQ(JoinWithBar(f.m_lstIncluded), CWideString(u"*.txt|/a/*|/b"));
    EXPECT_EQ(JoinWithBar(f.m_lstExcluded), CWideString(u"*.tmp|/a/tmp"));

    AssertCounter asserts;
    CJobFilters g;
    EXPECT_TRUE(FolderListsToFilterRules(List({u"/"}), List({}), g));
    EXPECT_TRUE(g.m_lstIncluded.IsEmpty());
    EXPECT_EQ(asserts.Count(), 0);
    EXPECT_TRUE(FolderListsToFilterRules(List({u"/", u"/a"}), List({}), g));
    EXPECT_EQ(asserts.Count(), 1);
    EXPECT_EQ(JoinWithBar(g.m_lstIncluded), CWideString(u"/a"));
}

TEST(FolderSelections, StripPrefixLeavesOtherStringsAlone) {
    AssertCounter asserts;
    CListT<CWideString> l = List({u"/root/a", u"/root/b", u"/other", u"/ro"});
    StripPrefixFromAll(l, u"/root");
    EXPECT_EQ(JoinWithBar(l), CWideString(u"/a|/b|/other|/ro"));
    EXPECT_EQ(asserts.Count(), 2);
    StripPrefixFromAll(l, CWideString());
    EXPECT_EQ(JoinWithBar(l), CWideString(u"/a|/b|/other|/ro"));
}
