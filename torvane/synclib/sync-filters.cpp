#include "sync-filters.h"

#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-tic.h"
#include "zor-time.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr int64_t kDaySeconds = 86400;
// The largest byte count a side record can hold: above it the high part is
// 0xFFFF, the sentinel range.
constexpr uint64_t kMaxItemLength = 0xFFFEFFFFFFFFull;

// Rules may be written with '\' (the way Windows users write paths); every
// use reads it as '/'.
CWideString SlashForm(const CWideString& s) {
    if (s.Find(u'\\') < 0) return s;
    CWideString r(s);
    r.Replace(u'\\', u'/');
    return r;
}

bool HasWildcard(const CWideString& s) {
    return s.FindOneOf(u"*?") >= 0;
}

CWideString NameOf(const CWideString& sPath) {
    int i = sPath.ReverseFind(u'/');
    return i < 0 ? sPath : sPath.Mid(i + 1);
}

// The condition text after a prefix, when it starts with it (case-sensitive).
bool AfterPrefix(const CWideString& s, const char16_t* prefix, CWideString& rest) {
    if (!s.StartsWith(prefix)) return false;
    rest = s.Mid(ZorStrLen(prefix));
    return true;
}

// ---------------------------------------------------------------- size and time
// A record's file length for the size conditions. Folders (and any other
// sentinel) have none and fulfil no size comparison.
bool FileLength(const CSideInfo& r, uint64_t& n) {
    if (!r.Exists() || r.IsFolder() || r.m_Len.GetHigh() == CItemLen::kSentinelHigh) return false;
    n = r.m_Len.GetValue();
    return true;
}

// Reads a size value; false when it does not parse or does not fit a record's length.
bool ReadSize(const CWideString& s, uint64_t& v) {
    int64_t n = ParseSizeWithSuffix(s);
    if (n == INT64_MAX || n < 0 || (uint64_t)n > kMaxItemLength) return false;
    v = (uint64_t)n;
    return true;
}

// Reads a date or relative day count; false when it does not parse or falls
// outside the unsigned 32-bit seconds of the records' times.
bool InTimeRange(int64_t t) {
    return t >= 0 && t <= (int64_t)UINT32_MAX;
}
bool ReadTime(const CWideString& s, int64_t& t) {
    return ParseDateOrRelativeDays(s, t) && InTimeRange(t);
}

// "lo,hi]" -> the text between; false unless it has at least two characters
// and ends with ']'.
bool RangeBody(const CWideString& rest, CWideString& body) {
    if (rest.GetLength() < 2 || rest.GetLast() != u']') return false;
    body = rest.Left(rest.GetLength() - 1);
    return true;
}

enum CmpOp { OP_EQ, OP_NE, OP_GE, OP_LE, OP_LT, OP_GT, OP_RANGE };
struct OpPrefix {
    const char16_t* text;
    CmpOp op;
};
// Longer operators first where one is the prefix of another.
const OpPrefix kOps[] = {{u"=", OP_EQ}, {u"!=", OP_NE}, {u">=", OP_GE},  {u"<=", OP_LE},
                         {u"<", OP_LT}, {u">", OP_GT},  {u"[", OP_RANGE}};

bool SizeFulfils(CmpOp op, uint64_t len, uint64_t v, uint64_t hi) {
    switch (op) {
        case OP_EQ:
            return len == v;
        case OP_NE:
            return len != v;
        case OP_GE:
            return len >= v;
        case OP_LE:
            return len <= v;
        case OP_LT:
            return len < v;
        case OP_GT:
            return len > v;
        case OP_RANGE:
            return v <= len && len < hi;
    }
    return false;
}

// Day conditions: "=" selects the day that begins at T; "<=" everything
// before the end of that day; ">" everything from the next day on.
bool TimeFulfils(CmpOp op, int64_t t, int64_t T, int64_t T2) {
    switch (op) {
        case OP_EQ:
            return T <= t && t < T + kDaySeconds;
        case OP_NE:
            return t < T || t >= T + kDaySeconds;
        case OP_GE:
            return t >= T;
        case OP_LE:
            return t < T + kDaySeconds;
        case OP_LT:
            return t < T;
        case OP_GT:
            return t >= T + kDaySeconds;
        case OP_RANGE:
            return T <= t && t < T2 + kDaySeconds;
    }
    return false;
}

// The size and time forms. bForm: the condition is one of them; the result
// is then whether it is applicable.
bool EvalSizeOrTime(const CWideString& c, bool bTwoSides, const CSideInfo& a, const CSideInfo& b, bool& bForm,
                    bool& bMatched) {
    bForm = false;
    CWideString body = c;
    bool bAll = false;
    CWideString rest;
    if (AfterPrefix(c, u"any ", rest)) {
        body = rest;
    } else if (AfterPrefix(c, u"all ", rest)) {
        body = rest;
        bAll = true;
    }
    bool bSize;
    if (AfterPrefix(body, u"size", rest))
        bSize = true;
    else if (AfterPrefix(body, u"time", rest))
        bSize = false;
    else
        return false;
    const OpPrefix* op = nullptr;
    CWideString value;
    for (const OpPrefix& o : kOps) {
        if (AfterPrefix(rest, o.text, value)) {
            op = &o;
            break;
        }
    }
    if (!op) return false;
    bForm = true;
    if (!bTwoSides) return false; // not even parsed

    CWideString ignored; // the parsers' texts are not shown
    if (bSize) {
        uint64_t v = 0, hi = 0;
        if (op->op == OP_RANGE) {
            CWideString range;
            int64_t lo64, hi64;
            if (!RangeBody(value, range) || !ParseSizeRange(range, lo64, hi64, ignored)) return false;
            if (lo64 < 0 || hi64 < 0 || (uint64_t)lo64 > kMaxItemLength || (uint64_t)hi64 > kMaxItemLength)
                return false;
            v = (uint64_t)lo64;
            hi = (uint64_t)hi64;
        } else if (!ReadSize(value, v)) {
            return false;
        }
        auto fulfils = [&](const CSideInfo& r) {
            uint64_t len;
            return FileLength(r, len) && SizeFulfils(op->op, len, v, hi);
        };
        bMatched = bAll ? (fulfils(a) && fulfils(b)) : (fulfils(a) || fulfils(b));
        return true;
    }
    int64_t T = 0, T2 = 0;
    if (op->op == OP_RANGE) {
        CWideString range;
        if (!RangeBody(value, range) || !ParseTimeRange(range, T, T2, ignored)) return false;
        if (!InTimeRange(T) || !InTimeRange(T2)) return false;
    } else if (!ReadTime(value, T)) {
        return false;
    }
    auto fulfils = [&](const CSideInfo& r) {
        return r.Exists() && TimeFulfils(op->op, (int64_t)r.m_tAccu.GetTime(), T, T2);
    };
    bMatched = bAll ? (fulfils(a) && fulfils(b)) : (fulfils(a) || fulfils(b));
    return true;
}

struct AttrWord {
    const char16_t* word;
    uint32_t bit;
};
const AttrWord kAttrWords[] = {
    {u"issymlink", FAB_SYMLINK},       {u"ishidden", FAB_HIDDEN},       {u"issystem", FAB_SYSTEM},
    {u"isarchive", FAB_ARCHIVE},       {u"isreadonly", FAB_READONLY},   {u"isoffline", FAB_OFFLINE},
    {u"iscompressed", FAB_COMPRESSED}, {u"isencrypted", FAB_ENCRYPTED},
};

bool HasKind(const CSideInfo& r, bool bFolder) {
    return r.IsPresentBit() && r.IsFolder() == bFolder;
}

// The condition words; bForm false when the condition is none of them.
bool EvalConditionWord(const CWideString& c, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                       bool& bForm, bool& bMatched) {
    bForm = true;
    if (c == u"isfolder" || c == u"<subfolder>" || c == u"isfile") {
        bool bFolder = c != u"isfile";
        bMatched = HasKind(a, bFolder) || (bTwoSides && HasKind(b, bFolder));
        return true;
    }
    for (const AttrWord& w : kAttrWords) {
        if (c == w.word || (c.StartsWith(u"any ") && c.Mid(4) == w.word)) {
            if (!bTwoSides) return false;
            bMatched = (a.Exists() && (a.m_nAttr & w.bit)) || (b.Exists() && (b.m_nAttr & w.bit));
            return true;
        }
    }
    if (c == u"existboth" || c == u"existone") {
        if (!bTwoSides) return false;
        bMatched = c == u"existboth" ? (a.Exists() && b.Exists()) : (a.Exists() != b.Exists());
        return true;
    }
    return EvalSizeOrTime(c, bTwoSides, a, b, bForm, bMatched);
}

// Calls f(condition) for each trimmed, non-empty condition of a rule (split
// at ';'); stops when f returns false.
template <typename F> void ForEachCondition(const CWideString& rule, F&& f) {
    const char16_t* s = rule.GetString();
    const int n = rule.GetLength();
    for (int i = 0; i < n;) {
        int j = i;
        while (j < n && s[j] != u';') ++j;
        CWideString cond(s + i, j - i);
        i = j + 1;
        cond.Trim();
        if (!cond.IsEmpty() && !f(cond)) return;
    }
}

// The rule holds at least one condition (it is not made of ';' and blanks only).
bool HasCondition(const CWideString& rule) {
    bool b = false;
    ForEachCondition(rule, [&](const CWideString&) {
        b = true;
        return false; // one is enough
    });
    return b;
}

bool StartsWithConditionWord(const CWideString& c) {
    return c.StartsWith(u"is") || c.StartsWith(u"exist") || c.StartsWith(u"size") || c.StartsWith(u"time") ||
           c.StartsWith(u"any ") || c.StartsWith(u"all ") || c == u"<subfolder>";
}

} // namespace

// ---------------------------------------------------------------- conditions
bool EvalFilterCondition(const CWideString& sCondition, const CWideString& sPath, bool bTwoSides,
                         const CSideInfo& a, const CSideInfo& b, bool& bMatched) {
    bMatched = false;
    const CWideString c = SlashForm(sCondition);
    if (c.StartsWith(u"/")) {
        bMatched = HasWildcard(c) ? PathMatchesSpec(sPath, c) : PathMatchesFolderRule(c, sPath, false);
        return true;
    }
    CWideString rest;
    if (AfterPrefix(c, u"path ", rest)) {
        bMatched = PathMatchesSpec(sPath, rest);
        return true;
    }
    if (AfterPrefix(c, u"name ", rest)) {
        bMatched = PathMatchesSpec(NameOf(sPath), rest);
        return true;
    }
    if (StartsWithConditionWord(c)) {
        bool bForm = false;
        bool bApplicable = EvalConditionWord(c, bTwoSides, a, b, bForm, bMatched);
        if (bForm) return bApplicable;
        bMatched = false;
    }
    // A plain mask (misspelt condition words included).
    bMatched = PathMatchesSpec(c.Find(u'/') >= 0 ? sPath : NameOf(sPath), c);
    return true;
}

bool PathMatchesFolderRule(const CWideString& sRule, const CWideString& sPath, bool bAlsoAbove) {
    const CWideString rule = SlashForm(sRule);
    int r = rule.GetLength();
    if (r >= 2 && rule.EndsWith(u"/*"))
        r -= 2;
    else if (rule.EndsWith(u"/"))
        r -= 1;
    int p = sPath.GetLength();
    if (sPath.EndsWith(u"/")) p -= 1;
    const char16_t* pr = rule.GetString();
    const char16_t* pp = sPath.GetString();
    if (p == r && ZorStrNICmp(pr, pp, r) == 0) return true;
    if (p > r && pp[r] == u'/' && ZorStrNICmp(pr, pp, r) == 0) return true;
    if (bAlsoAbove && r > p && pr[p] == u'/' && ZorStrNICmp(pr, pp, p) == 0) return true;
    return false;
}

// ---------------------------------------------------------------- lists
bool MatchFilterList(const CListT<CWideString>& list, const CWideString& sPath, bool bTwoSides,
                     const CSideInfo& a, const CSideInfo& b, CWideString& sReason, bool& bMatched) {
    bMatched = false;
    bool bUndecided = false;
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        const CWideString& rule = list.GetNext(pos);
        if (rule.IsEmpty()) continue;
        bool bRuleApplicable = true, bRuleMatch = true;
        int nConditions = 0;
        ForEachCondition(rule, [&](const CWideString& cond) {
            ++nConditions;
            bool m = false;
            if (!EvalFilterCondition(cond, sPath, bTwoSides, a, b, m)) {
                bRuleApplicable = false;
                return true;
            }
            bRuleMatch = bRuleMatch && m;
            return bRuleMatch; // a failing condition ends the rule
        });
        // A rule of only ';' and blanks is skipped like an empty one (it
        // would otherwise hold for every item).
        if (nConditions == 0) continue;
        if (bRuleApplicable && bRuleMatch) {
            bMatched = true;
            sReason = rule;
            return true;
        }
        if (!bRuleApplicable) bUndecided = true;
    }
    return !bUndecided;
}

// ---------------------------------------------------------------- CJobFilters
namespace {
// The rule holds '*' or '?' and its text before the first of them agrees with
// the folder path plus "/" (ignoring case) over the shorter of the two.
bool WildcardRuleMayMatchBelow(const CWideString& sRule, const CWideString& sFolder) {
    const CWideString rule = SlashForm(sRule);
    int w = -1;
    for (int i = 0; i < rule.GetLength() && w < 0; i++)
        if (rule[i] == u'*' || rule[i] == u'?') w = i;
    if (w < 0) return false;
    CWideString folder = sFolder;
    if (!folder.EndsWith(u"/")) folder += u"/";
    const int n = std::min(w, folder.GetLength());
    return ZorStrNICmp(rule.GetString(), folder.GetString(), n) == 0;
}
} // namespace

void CJobFilters::Assign(const CJobFilters& o) {
    if (this == &o) return;
    m_lstIncluded = o.m_lstIncluded;
    m_lstExcluded = o.m_lstExcluded;
}

void CJobFilters::Append(const CJobFilters& o) {
    // Copies first, so that appending a pair to itself doubles it once.
    CListT<CWideString> inc(o.m_lstIncluded), exc(o.m_lstExcluded);
    m_lstIncluded.AddTailList(inc);
    m_lstExcluded.AddTailList(exc);
}

namespace {
bool ListsEqual(const CListT<CWideString>& x, const CListT<CWideString>& y) {
    if (x.GetCount() != y.GetCount()) return false;
    ZorPosition px = x.GetHeadPosition(), py = y.GetHeadPosition();
    while (px && py)
        if (x.GetNext(px) != y.GetNext(py)) return false;
    return true;
}
} // namespace

bool CJobFilters::operator==(const CJobFilters& o) const {
    return ListsEqual(m_lstIncluded, o.m_lstIncluded) && ListsEqual(m_lstExcluded, o.m_lstExcluded);
}

bool CJobFilters::IsExcluded(const CWideString& sPath, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                             CWideString& sReason) const {
    bool bMatched = false;
    // An include list without any condition (empty rules, or rules of ';'
    // and blanks only) is treated as an empty list: it includes everything.
    bool bHasIncludeRule = false;
    for (ZorPosition pos = m_lstIncluded.GetHeadPosition(); pos && !bHasIncludeRule;)
        bHasIncludeRule = HasCondition(m_lstIncluded.GetNext(pos));
    if (bHasIncludeRule) {
        bool bAllFolderRules = true;
        for (ZorPosition pos = m_lstIncluded.GetHeadPosition(); pos && bAllFolderRules;) {
            const CWideString& rule = m_lstIncluded.GetNext(pos);
            bAllFolderRules = !rule.IsEmpty() && (rule[0] == u'/' || rule[0] == u'\\');
        }
        bool bSkip = false;
        if (bAllFolderRules) {
            // The item is an included folder, lies inside one, or is one of its ancestors.
            for (ZorPosition pos = m_lstIncluded.GetHeadPosition(); pos && !bSkip;)
                bSkip = PathMatchesFolderRule(m_lstIncluded.GetNext(pos), sPath, true);
            // During the scan a folder is also entered while a wildcard rule
            // could match something below it ('*' covers '/'), so that
            // "/Docs/*.txt" still reaches "/Docs/sub/a.txt".
            if (!bTwoSides && a.IsFolder())
                for (ZorPosition pos = m_lstIncluded.GetHeadPosition(); pos && !bSkip;)
                    bSkip = WildcardRuleMayMatchBelow(m_lstIncluded.GetNext(pos), sPath);
        } else if (!bTwoSides && a.IsFolder()) {
            // During the scan the include list never excludes a folder.
            bSkip = true;
        }
        if (!bSkip) {
            CWideString sRule;
            bool bDecisive = MatchFilterList(m_lstIncluded, sPath, bTwoSides, a, b, sRule, bMatched);
            if (bDecisive && !bMatched) {
                sReason = GetLocalizedString(IDS_Str_ExclBy_NoMatchName) +
                          CutWithEllipsis(JoinWithBar(m_lstIncluded), 40);
                return true;
            }
        }
    }
    CWideString sRule;
    MatchFilterList(m_lstExcluded, sPath, bTwoSides, a, b, sRule, bMatched);
    if (bMatched) {
        sReason = GetLocalizedString(IDS_Str_ExclBy_MatchName) + sRule;
        return true;
    }
    return false;
}

CWideString CJobFilters::Describe() const {
    CWideString s;
    if (!m_lstIncluded.IsEmpty()) {
        s += GetLocalizedString(IDS_Str_Msg_Filter_Included);
        s += u" ";
        s += JoinWithBar(m_lstIncluded);
        s += u" ";
    }
    if (!m_lstExcluded.IsEmpty()) {
        s += GetLocalizedString(IDS_Str_Msg_Filter_Excluded);
        s += u" ";
        s += JoinWithBar(m_lstExcluded);
        s += u" ";
    }
    return s;
}

// ---------------------------------------------------------------- texts
CWideString CutWithEllipsis(const CWideString& s, int nCount) {
    if (nCount < 0) nCount = 0;
    if (s.GetLength() <= nCount) return s;
    int n = nCount;
    // Do not split a surrogate pair.
    if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
    return s.Left(n) + u"...";
}

CWideString JoinWithBar(const CListT<CWideString>& list) {
    CWideString s;
    bool bFirst = true;
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        if (!bFirst) s += u'|';
        s += list.GetNext(pos);
        bFirst = false;
    }
    return s;
}

bool WriteFileMasks(const CListT<CWideString>& list, ZorOutStream& out, bool bFullDump, int nLevel,
                    CWideString& sErr) {
    (void)bFullDump; // the block is the same either way
    return PutTicText(out, "<FileMask>\n", sErr) &&
           PutNameValueStringList(out, "Matches", nLevel, list, sErr) &&
           PutTicText(out, "</FileMask>\n", sErr);
}

// ---------------------------------------------------------------- folder selections
bool IsSimpleFolderRule(const CWideString& sRule) {
    if (sRule.IsEmpty() || sRule[0] != u'/' || sRule.Find(u'?') >= 0) return false;
    return sRule.Find(u'*') < 0 || sRule.EndsWith(u"/*");
}

namespace {
// Adds the simple folder rules of a list (one trailing '*' removed); false
// when the list holds another rule.
bool CollectFolders(const CListT<CWideString>& rules, CListT<CWideString>& folders) {
    bool bOk = true;
    for (ZorPosition pos = rules.GetHeadPosition(); pos;) {
        const CWideString& rule = rules.GetNext(pos);
        if (!IsSimpleFolderRule(rule)) {
            bOk = false;
            continue;
        }
        CWideString f = rule;
        if (f.EndsWith(u"*")) f.Truncate(f.GetLength() - 1);
        folders.AddTail(f);
    }
    return bOk;
}

void RemoveSimpleFolderRules(CListT<CWideString>& rules) {
    for (ZorPosition pos = rules.GetHeadPosition(); pos;) {
        ZorPosition at = pos;
        if (IsSimpleFolderRule(rules.GetNext(pos))) rules.RemoveAt(at);
    }
}
} // namespace

bool FilterRulesToFolderLists(const CJobFilters& filters, CListT<CWideString>& lstIncluded,
                              CListT<CWideString>& lstExcluded) {
    lstIncluded.RemoveAll();
    lstExcluded.RemoveAll();
    bool bOk = CollectFolders(filters.m_lstIncluded, lstIncluded);
    bOk = CollectFolders(filters.m_lstExcluded, lstExcluded) && bOk;
    if (lstIncluded.IsEmpty()) {
        lstIncluded.AddTail(CWideString());
        bOk = false;
    }
    return bOk;
}

bool FolderListsToFilterRules(const CListT<CWideString>& lstIncluded, const CListT<CWideString>& lstExcluded,
                              CJobFilters& filters) {
    RemoveSimpleFolderRules(filters.m_lstIncluded);
    RemoveSimpleFolderRules(filters.m_lstExcluded);
    for (ZorPosition pos = lstIncluded.GetHeadPosition(); pos;) {
        const CWideString& f = lstIncluded.GetNext(pos);
        if (f.IsEmpty() || f == u"/") {
            // "everything": only meaningful as the whole selection
            ZOR_ASSERT(lstIncluded.GetCount() == 1);
            continue;
        }
        filters.m_lstIncluded.AddTail(f.EndsWith(u"/") ? f + u"*" : f);
    }
    for (ZorPosition pos = lstExcluded.GetHeadPosition(); pos;)
        filters.m_lstExcluded.AddTail(lstExcluded.GetNext(pos));
    return true;
}

void StripPrefixFromAll(CListT<CWideString>& list, const CWideString& sPrefix) {
    if (sPrefix.IsEmpty()) return;
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        CWideString& s = list.GetNext(pos);
        if (!s.StartsWith(sPrefix)) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "StripPrefixFromAll: a string without the prefix");
            continue; // left as it is
        }
        s = s.Mid(sPrefix.GetLength());
    }
}
