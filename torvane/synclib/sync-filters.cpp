#include "sync-filters.h"

#include "zor-debug.h"
#include "zor-fold.h"
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

bool StartsWithConditionWord(const CWideString& c) {
    return c.StartsWith(u"is") || c.StartsWith(u"exist") || c.StartsWith(u"size") || c.StartsWith(u"time") ||
           c.StartsWith(u"any ") || c.StartsWith(u"all ") || c == u"<subfolder>";
}

// The text after the last '/' of a path.
std::pair<const char16_t*, int> NameSpan(const CWideString& sPath) {
    const char16_t* p = sPath.GetString();
    int i = sPath.GetLength();
    while (i > 0 && p[i - 1] != u'/') --i;
    return {p + i, sPath.GetLength() - i};
}

// An ASCII unit as the wildcard masks fold it ('/' read as '\').
inline char32_t FoldAscii(char16_t c) {
    return c == u'/' ? U'\\' : (char32_t)ZorFoldAscii(c);
}

} // namespace

namespace {

// The size and time forms; false when the condition is none of them.
bool ReadSizeOrTime(const CWideString& c, CFilterMatcher::Cond& out) {
    CWideString body = c;
    CWideString rest;
    bool bAll = false;
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
    out.kind = bSize ? CFilterMatcher::Cond::SIZE : CFilterMatcher::Cond::TIME;
    out.bAll = bAll;
    out.op = op->op;
    CWideString ignored; // the parsers' texts are not shown
    if (bSize) {
        if (op->op == OP_RANGE) {
            CWideString range;
            int64_t lo64, hi64;
            if (!RangeBody(value, range) || !ParseSizeRange(range, lo64, hi64, ignored)) return true;
            if (lo64 < 0 || hi64 < 0 || (uint64_t)lo64 > kMaxItemLength || (uint64_t)hi64 > kMaxItemLength)
                return true;
            out.nSize = (uint64_t)lo64;
            out.nSizeHi = (uint64_t)hi64;
        } else if (!ReadSize(value, out.nSize)) {
            return true;
        }
        out.bParsed = true;
        return true;
    }
    if (op->op == OP_RANGE) {
        CWideString range;
        if (!RangeBody(value, range) || !ParseTimeRange(range, out.nTime, out.nTime2, ignored)) return true;
        if (!InTimeRange(out.nTime) || !InTimeRange(out.nTime2)) return true;
    } else if (!ReadTime(value, out.nTime)) {
        return true;
    }
    out.bParsed = true;
    return true;
}

// The condition words (attributes, kinds, existence, size and time); false
// when the condition is none of them.
bool ReadConditionWord(const CWideString& c, CFilterMatcher::Cond& out) {
    if (c == u"isfolder" || c == u"<subfolder>" || c == u"isfile") {
        out.kind = CFilterMatcher::Cond::KIND;
        out.bFolder = c != u"isfile";
        return true;
    }
    for (const AttrWord& w : kAttrWords) {
        if (c == w.word || (c.StartsWith(u"any ") && c.Mid(4) == w.word)) {
            out.kind = CFilterMatcher::Cond::ATTR;
            out.nBit = w.bit;
            return true;
        }
    }
    if (c == u"existboth" || c == u"existone") {
        out.kind = CFilterMatcher::Cond::EXIST;
        out.bExistBoth = c == u"existboth";
        return true;
    }
    return ReadSizeOrTime(c, out);
}

// A folder rule's length without a trailing "/*" or "/".
int FolderRuleLength(const CWideString& rule) {
    int r = rule.GetLength();
    if (r >= 2 && rule.EndsWith(u"/*"))
        r -= 2;
    else if (rule.EndsWith(u"/"))
        r -= 1;
    return r;
}

// Prepares the mask and its head and tail for the quick test.
void SetMask(CFilterMatcher::Cond& r, const CWideString& text) {
    r.mask = ZorWildcardMask(text);
    const char16_t* p = text.GetString();
    const int n = text.GetLength();
    int first = 0, last = n;
    while (first < n && p[first] != u'*' && p[first] != u'?') ++first;
    while (last > 0 && p[last - 1] != u'*' && p[last - 1] != u'?') --last;
    r.bLiteral = first == n;
    ZorWildcardMask::PrepareText(p, first, r.sHead);
    if (r.bLiteral)
        r.sTail = r.sHead;
    else
        ZorWildcardMask::PrepareText(p + last, n - last, r.sTail);
    r.bQuick = text != u"*.*" && (!r.sHead.empty() || !r.sTail.empty() || r.bLiteral);
}

CFilterMatcher::Cond CompileCondition(const CWideString& sCondition) {
    CFilterMatcher::Cond r;
    const CWideString c = SlashForm(sCondition);
    CWideString rest;
    if (c.StartsWith(u"/")) {
        if (HasWildcard(c)) {
            r.kind = CFilterMatcher::Cond::PATH_MASK;
            SetMask(r, c);
        } else {
            r.kind = CFilterMatcher::Cond::FOLDER_RULE;
            r.sFolderRule = c;
            r.nFolderLen = FolderRuleLength(c);
        }
    } else if (AfterPrefix(c, u"path ", rest)) {
        r.kind = CFilterMatcher::Cond::PATH_MASK;
        SetMask(r, rest);
    } else if (AfterPrefix(c, u"name ", rest)) {
        r.kind = CFilterMatcher::Cond::NAME_MASK;
        SetMask(r, rest);
    } else if (!StartsWithConditionWord(c) || !ReadConditionWord(c, r)) {
        // A plain mask (misspelt condition words included).
        r = CFilterMatcher::Cond();
        r.kind = c.Find(u'/') >= 0 ? CFilterMatcher::Cond::PATH_MASK : CFilterMatcher::Cond::NAME_MASK;
        SetMask(r, c);
    }
    return r;
}

} // namespace

// The item's path, folded once for the masks that need it (into buffers kept
// by the thread, so that matching allocates nothing once they have grown).
struct CFilterMatcher::Subject {
    const CWideString& sPath;
    std::u32string& path;
    std::u32string& name;
    mutable bool bPath = false, bName = false, bNameSpan = false;
    mutable std::pair<const char16_t*, int> nameSpan{nullptr, 0};

    explicit Subject(const CWideString& p) : sPath(p), path(Buffers().path), name(Buffers().name) {}

    // The name's units (after the last '/').
    std::pair<const char16_t*, int> Name() const {
        if (!bNameSpan) nameSpan = NameSpan(sPath), bNameSpan = true;
        return nameSpan;
    }

    const std::u32string& FoldedPath() const {
        if (!bPath) ZorWildcardMask::PrepareText(sPath.GetString(), sPath.GetLength(), path), bPath = true;
        return path;
    }
    const std::u32string& FoldedName() const {
        if (!bName) {
            auto [p, n] = Name();
            ZorWildcardMask::PrepareText(p, n, name);
            bName = true;
        }
        return name;
    }

private:
    struct Folded {
        std::u32string path, name;
    };
    static Folded& Buffers() {
        thread_local Folded f;
        return f;
    }
};

namespace {
bool PathMatchesSlashRule(const CWideString& rule, const CWideString& sPath, bool bAlsoAbove);
} // namespace

bool CFilterMatcher::Cond::Eval(const Subject& s, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                                bool& bMatched) const {
    bMatched = false;
    switch (kind) {
        case FOLDER_RULE: { // compiled in the slash form, as PathMatchesSlashRule without bAlsoAbove
            const char16_t* pp = s.sPath.GetString();
            int p = s.sPath.GetLength();
            if (p > 0 && pp[p - 1] == u'/') p -= 1;
            const int r = nFolderLen;
            bMatched = (p == r || (p > r && pp[r] == u'/')) && ZorStrNICmp(sFolderRule.GetString(), pp, r) == 0;
            return true;
        }
        case PATH_MASK:
            if (const int q = Quick(s.sPath.GetString(), s.sPath.GetLength())) {
                bMatched = q > 0;
                return true;
            }
            bMatched = mask.Matches(s.FoldedPath());
            return true;
        case NAME_MASK: {
            auto [p, n] = s.Name();
            if (const int q = Quick(p, n)) {
                bMatched = q > 0;
                return true;
            }
            bMatched = mask.Matches(s.FoldedName());
            return true;
        }
        case KIND:
            bMatched = HasKind(a, bFolder) || (bTwoSides && HasKind(b, bFolder));
            return true;
        case ATTR:
            if (!bTwoSides) return false;
            bMatched = (a.Exists() && (a.m_nAttr & nBit)) || (b.Exists() && (b.m_nAttr & nBit));
            return true;
        case EXIST:
            if (!bTwoSides) return false;
            bMatched = bExistBoth ? (a.Exists() && b.Exists()) : (a.Exists() != b.Exists());
            return true;
        case SIZE: {
            if (!bTwoSides || !bParsed) return false;
            auto fulfils = [&](const CSideInfo& r) {
                uint64_t len;
                return FileLength(r, len) && SizeFulfils((CmpOp)op, len, nSize, nSizeHi);
            };
            bMatched = bAll ? (fulfils(a) && fulfils(b)) : (fulfils(a) || fulfils(b));
            return true;
        }
        case TIME: {
            if (!bTwoSides || !bParsed) return false;
            auto fulfils = [&](const CSideInfo& r) {
                return r.Exists() && TimeFulfils((CmpOp)op, (int64_t)r.m_tAccu.GetTime(), nTime, nTime2);
            };
            bMatched = bAll ? (fulfils(a) && fulfils(b)) : (fulfils(a) || fulfils(b));
            return true;
        }
    }
    return false;
}

// Where the text's units are ASCII they are its characters one for one, from
// either end, and fold as the mask's do: a head or tail that differs there
// rules the mask out. A literal mask equal over all of an ASCII text matches.
int CFilterMatcher::Cond::Quick(const char16_t* p, int n) const {
    if (!bQuick) return 0;
    const size_t nTail = sTail.size();
    for (size_t i = 0; i < nTail; ++i) {
        if (i >= (size_t)n) return -1; // fewer characters than the tail
        const char16_t c = p[n - 1 - i];
        if (c >= 0x80) break;
        if (FoldAscii(c) != sTail[nTail - 1 - i]) return -1;
    }
    const size_t nHead = sHead.size();
    size_t j = 0;
    for (; j < nHead; ++j) {
        if (j >= (size_t)n) return -1;
        const char16_t c = p[j];
        if (c >= 0x80) break;
        if (FoldAscii(c) != sHead[j]) return -1;
    }
    if (bLiteral && j == nHead && (size_t)n == nHead) return 1;
    return 0;
}

// ---------------------------------------------------------------- compiled lists
void CFilterMatcher::List::Compile(const CListT<CWideString>& list) {
    m_Rules.clear();
    m_Literals.clear();
    m_LastAscii[0] = m_LastAscii[1] = 0;
    m_bScreenLiterals = true;
    m_nShortestLiteral = INT32_MAX;
    m_bLooksAtPath = false;
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        const CWideString& text = list.GetNext(pos);
        Rule rule;
        rule.sText = text;
        ForEachCondition(text, [&](const CWideString& cond) {
            rule.conds.push_back(CompileCondition(cond));
            return true;
        });
        // A rule of only ';' and blanks is skipped like an empty one (it
        // would otherwise hold for every item).
        if (rule.conds.empty()) continue;
        for (const Cond& c : rule.conds) {
            m_bNeedsBothSides |= c.NeedsBothSides();
            m_bLooksAtPath |= c.LooksAtPath();
        }
        // A plain name is looked up rather than matched: the first rule of a
        // name wins, as it would in order.
        const Cond& c0 = rule.conds.front();
        if (rule.conds.size() == 1 && c0.kind == Cond::NAME_MASK && c0.mask.IsLiteral()) {
            rule.bLiteral = true;
            m_Literals.emplace(c0.mask.Folded(), m_Rules.size());
            const std::u32string& lit = c0.mask.Folded();
            if (lit.empty() || lit.back() >= 0x80) {
                m_bScreenLiterals = false;
            } else {
                m_LastAscii[lit.back() >> 6] |= uint64_t(1) << (lit.back() & 63);
                m_nShortestLiteral = std::min(m_nShortestLiteral, (int)lit.size());
            }
        }
        m_Rules.push_back(std::move(rule));
    }
}

bool CFilterMatcher::List::Match(const Subject& s, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                                 const CWideString** ppRule, bool& bMatched) const {
    bMatched = false;
    size_t nLiteral = m_Rules.size();
    if (!m_Literals.empty()) {
        // A name with fewer units than the shortest plain name has fewer
        // characters too.
        bool bMaybe = true;
        if (m_bScreenLiterals) {
            auto [p, n] = s.Name();
            if (n < m_nShortestLiteral) {
                bMaybe = false;
            } else if (p[n - 1] < 0x80) {
                const char32_t c = FoldAscii(p[n - 1]);
                bMaybe = (m_LastAscii[c >> 6] >> (c & 63)) & 1;
            }
        }
        if (bMaybe) {
            auto it = m_Literals.find(s.FoldedName());
            if (it != m_Literals.end()) nLiteral = it->second;
        }
    }
    bool bUndecided = false;
    for (size_t i = 0; i < m_Rules.size(); ++i) {
        const Rule& rule = m_Rules[i];
        if (i == nLiteral) {
            bMatched = true;
            *ppRule = &rule.sText;
            return true;
        }
        if (rule.bLiteral) continue; // not this name
        bool bRuleApplicable = true, bRuleMatch = true;
        for (const Cond& c : rule.conds) {
            bool m = false;
            if (!c.Eval(s, bTwoSides, a, b, m)) {
                bRuleApplicable = false;
                continue;
            }
            bRuleMatch = m;
            if (!m) break; // a failing condition ends the rule
        }
        if (bRuleApplicable && bRuleMatch) {
            bMatched = true;
            *ppRule = &rule.sText;
            return true;
        }
        if (!bRuleApplicable) bUndecided = true;
    }
    return !bUndecided;
}

// ---------------------------------------------------------------- conditions
bool EvalFilterCondition(const CWideString& sCondition, const CWideString& sPath, bool bTwoSides,
                         const CSideInfo& a, const CSideInfo& b, bool& bMatched) {
    const CFilterMatcher::Subject s(sPath);
    return CompileCondition(sCondition).Eval(s, bTwoSides, a, b, bMatched);
}

namespace {
// PathMatchesFolderRule for a rule already in the slash form.
bool PathMatchesSlashRule(const CWideString& rule, const CWideString& sPath, bool bAlsoAbove) {
    const int r = FolderRuleLength(rule);
    int p = sPath.GetLength();
    if (sPath.EndsWith(u"/")) p -= 1;
    const char16_t* pr = rule.GetString();
    const char16_t* pp = sPath.GetString();
    if (p == r && ZorStrNICmp(pr, pp, r) == 0) return true;
    if (p > r && pp[r] == u'/' && ZorStrNICmp(pr, pp, r) == 0) return true;
    if (bAlsoAbove && r > p && pr[p] == u'/' && ZorStrNICmp(pr, pp, p) == 0) return true;
    return false;
}
} // namespace

bool PathMatchesFolderRule(const CWideString& sRule, const CWideString& sPath, bool bAlsoAbove) {
    return PathMatchesSlashRule(SlashForm(sRule), sPath, bAlsoAbove);
}

// ---------------------------------------------------------------- lists
bool MatchFilterList(const CListT<CWideString>& list, const CWideString& sPath, bool bTwoSides,
                     const CSideInfo& a, const CSideInfo& b, CWideString& sReason, bool& bMatched) {
    CFilterMatcher::List compiled;
    compiled.Compile(list);
    const CFilterMatcher::Subject s(sPath);
    const CWideString* pRule = nullptr;
    const bool bDecisive = compiled.Match(s, bTwoSides, a, b, &pRule, bMatched);
    if (bMatched) sReason = *pRule;
    return bDecisive;
}

// ---------------------------------------------------------------- checking a rule
namespace {
// Ways to write what a mask that matches nothing was likely meant for.
CWideString MaskHint(CWideString m) {
    while (m.GetLength() > 1 && m.EndsWith(u"/")) m = m.Left(m.GetLength() - 1);
    if (m.Find(u'/') < 0)
        return u"write \"/" + m + u"\" for that folder at the top, or \"" + m +
               u";isfolder\" for every folder of that name";
    return u"write \"/" + m + u"\" to match from the top, or \"*/" + m + u"\" at any depth";
}
} // namespace

bool CheckFilterRule(const CWideString& sRule, CWideString& sProblem) {
    bool bAny = false, bOk = true;
    ForEachCondition(sRule, [&](const CWideString& c) {
        bAny = true;
        const CFilterMatcher::Cond cond = CompileCondition(c);
        const CWideString slash = SlashForm(c);
        CWideString rest;
        if ((cond.kind == CFilterMatcher::Cond::SIZE || cond.kind == CFilterMatcher::Cond::TIME) && !cond.bParsed) {
            sProblem = u"\"" + c + u"\": " +
                       (cond.kind == CFilterMatcher::Cond::SIZE
                            ? CWideString(u"not a size (123, 10K or 2M; a range as size[10K,20K])")
                            : CWideString(u"not a date (2012/5/31, or days from now as +3d or -7d; a range as "
                                          u"time[2012/1/1,2012/5/31])"));
            bOk = false;
        } else if (cond.kind == CFilterMatcher::Cond::NAME_MASK && AfterPrefix(slash, u"name ", rest) &&
                   rest.Find(u'/') >= 0) {
            sProblem = u"\"" + c + u"\": a name holds no '/', so this matches nothing; " + MaskHint(rest);
            bOk = false;
        } else if (cond.kind == CFilterMatcher::Cond::PATH_MASK) {
            const CWideString mask = AfterPrefix(slash, u"path ", rest) ? rest : slash;
            if (!mask.IsEmpty() && mask[0] != u'/' && mask[0] != u'*' && mask[0] != u'?') {
                sProblem = u"\"" + c + u"\": a mask with '/' is matched against the whole path, which begins "
                           u"with '/', so this matches nothing; " +
                           MaskHint(mask);
                bOk = false;
            } else if (mask.GetLength() > 1 && mask.EndsWith(u"/")) {
                CWideString bare = mask;
                while (bare.GetLength() > 1 && bare.EndsWith(u"/")) bare = bare.Left(bare.GetLength() - 1);
                sProblem = u"\"" + c + u"\": a path never ends in '/', so this matches nothing; write \"" + bare +
                           u";isfolder\" for folders";
                bOk = false;
            }
        }
        return bOk;
    });
    if (bOk && !bAny) {
        sProblem = u"a rule needs a condition (a rule of only ';' and blanks would hold for every item)";
        return false;
    }
    return bOk;
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
    return CFilterMatcher(*this).IsExcluded(sPath, bTwoSides, a, b, sReason);
}

// ---------------------------------------------------------------- CFilterMatcher
void CFilterMatcher::Compile(const CJobFilters& f) {
    m_Included = List();
    m_Excluded = List();
    m_Included.Compile(f.m_lstIncluded);
    m_Excluded.Compile(f.m_lstExcluded);
    m_IncludeRules.clear();
    m_bAllFolderRules = true;
    for (ZorPosition pos = f.m_lstIncluded.GetHeadPosition(); pos;) {
        const CWideString& rule = f.m_lstIncluded.GetNext(pos);
        m_IncludeRules.push_back(rule);
        m_bAllFolderRules = m_bAllFolderRules && !rule.IsEmpty() && (rule[0] == u'/' || rule[0] == u'\\');
    }
    m_sNoMatchReason.Empty();
    if (!m_Included.IsEmpty())
        m_sNoMatchReason =
            GetLocalizedString(IDS_Str_ExclBy_NoMatchName) + CutWithEllipsis(JoinWithBar(f.m_lstIncluded), 40);
    m_sMatchPrefix = GetLocalizedString(IDS_Str_ExclBy_MatchName);
}

bool CFilterMatcher::IsExcluded(const CWideString& sPath, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                                CWideString& sReason) const {
    const Subject s(sPath);
    bool bMatched = false;
    const CWideString* pRule = nullptr;
    // An include list without any condition (empty rules, or rules of ';'
    // and blanks only) is treated as an empty list: it includes everything.
    if (!m_Included.IsEmpty()) {
        bool bSkip = false;
        if (m_bAllFolderRules) {
            // The item is an included folder, lies inside one, or is one of its ancestors.
            for (size_t i = 0; i < m_IncludeRules.size() && !bSkip; ++i)
                bSkip = PathMatchesFolderRule(m_IncludeRules[i], sPath, true);
            // During the scan a folder is also entered while a wildcard rule
            // could match something below it ('*' covers '/'), so that
            // "/Docs/*.txt" still reaches "/Docs/sub/a.txt".
            if (!bTwoSides && a.IsFolder())
                for (size_t i = 0; i < m_IncludeRules.size() && !bSkip; ++i)
                    bSkip = WildcardRuleMayMatchBelow(m_IncludeRules[i], sPath);
        } else if (!bTwoSides && a.IsFolder()) {
            // During the scan the include list never excludes a folder.
            bSkip = true;
        }
        if (!bSkip) {
            bool bDecisive = m_Included.Match(s, bTwoSides, a, b, &pRule, bMatched);
            if (bDecisive && !bMatched) {
                sReason = m_sNoMatchReason;
                return true;
            }
        }
    }
    m_Excluded.Match(s, bTwoSides, a, b, &pRule, bMatched);
    if (bMatched) {
        sReason = m_sMatchPrefix + *pRule;
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
