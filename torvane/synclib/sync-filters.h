// Include and exclude filters of a job.
//
// A job decides for every item whether it takes part in the sync through two
// ordered rule lists, the include list and the exclude list (CJobFilters).
// A rule is one or more conditions separated by ';' that must all hold; a
// list matches when one of its rules holds, and the first such rule is the
// matching rule. Conditions:
//
//   /Docs            the path is that folder or lies inside it
//   /Docs/*.txt      the whole path matches the mask ('*' also covers '/')
//   path <mask>      the whole path matches the mask
//   name <mask>      the name (text after the last '/') matches the mask
//   <mask>           the name matches; a mask holding '/' is matched against the path
//   isfolder, <subfolder>, isfile
//   issymlink, ishidden, issystem, isarchive, isreadonly, isoffline,
//   iscompressed, isencrypted       (also with "any "): an attribute bit on either side
//   existboth, existone
//   size=v size!=v size>=v size<=v size<v size>v size[lo,hi]     v: 123, 10K, 2M
//   time=T time!=T time>=T time<=T time<T time>T time[T1,T2]     T: 2012/5/31, +3d, -7d
//   ("any " or no prefix: one side fulfils it; "all ": both sides do)
//
// The attribute, existence, size and time conditions need both sides' records
// and cannot be evaluated during the scan (one side only): a rule that meets
// such a condition before its first failing one is undecided, and a list that
// is undecided excludes nothing; the item meets the list again in the Analyze
// filter step. A '\' in a rule is read as '/'. Masks compare letters without
// regard to case.
#pragma once

#include "sync-item.h"
#include "zor-coll.h"
#include "zor-path.h"
#include "zor-stream.h"
#include "zor-string.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Attribute bits tested by the attribute conditions.
enum FilterAttributeBit : uint32_t {
    FAB_READONLY = 0x01,
    FAB_HIDDEN = 0x02,
    FAB_SYSTEM = 0x04,
    FAB_ARCHIVE = 0x20,
    FAB_SYMLINK = 0x400,
    FAB_COMPRESSED = 0x800,
    FAB_OFFLINE = 0x1000,
    FAB_ENCRYPTED = 0x4000,
};

class CJobFilters {
public:
    CListT<CWideString> m_lstIncluded{10};
    CListT<CWideString> m_lstExcluded{10};

    CJobFilters() = default;
    CJobFilters(const CJobFilters& o) = default;
    CJobFilters& operator=(const CJobFilters& o) = default;
    ~CJobFilters() = default;

    // Each list becomes a copy of the other pair's list.
    void Assign(const CJobFilters& o);
    // The other pair's rules are appended (include to include, exclude to exclude).
    void Append(const CJobFilters& o);
    bool IsEmpty() const { return m_lstIncluded.IsEmpty() && m_lstExcluded.IsEmpty(); }

    // True when the item is excluded; sReason then says why ("not included:
    // no match ..." or "excluded: match <rule>"); it is meaningless otherwise.
    // bTwoSides: true in the Analyze filter step with the left and right
    // current records in a and b; false during the scan (a is the one side's
    // record, b an empty record).
    bool IsExcluded(const CWideString& sPath, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                    CWideString& sReason) const;

    // "Include <rules> Exclude <rules> " (a part only when its list is not empty).
    CWideString Describe() const;

    bool operator==(const CJobFilters& o) const;
    bool operator!=(const CJobFilters& o) const { return !(*this == o); }
};

// A job's filters read once for many items: each rule split into its
// conditions, masks folded, plain names looked up in a table. It answers as
// CJobFilters::IsExcluded does for the filters it was made from; the
// localised reason texts are taken when it is made.
class CFilterMatcher {
public:
    struct Subject;
    // One condition, read once. The kinds from ATTR on look at both sides'
    // records (see the top of this file).
    struct Cond {
        enum Kind { FOLDER_RULE, PATH_MASK, NAME_MASK, KIND, ATTR, EXIST, SIZE, TIME } kind = NAME_MASK;
        CWideString sFolderRule; // FOLDER_RULE, in the '/' form
        int nFolderLen = 0;      // FOLDER_RULE: its length without a trailing "/*" or "/"
        ZorWildcardMask mask;    // PATH_MASK, NAME_MASK
        bool bFolder = false;    // KIND: folders (isfolder, <subfolder>) or files (isfile)
        uint32_t nBit = 0;       // ATTR
        bool bExistBoth = false; // EXIST
        bool bAll = false;       // SIZE, TIME: both sides rather than either
        bool bParsed = false;    // SIZE, TIME: the value parsed and fits
        int op = 0;              // SIZE, TIME: the comparison
        uint64_t nSize = 0, nSizeHi = 0;
        int64_t nTime = 0, nTime2 = 0;
        // PATH_MASK, NAME_MASK: the folded characters before the first and
        // after the last wildcard (the whole mask when it has none), tested on
        // the text's units before the general match.
        std::u32string sHead, sTail;
        bool bQuick = false;   // the head or the tail is not empty, and the mask is not "*.*"
        bool bLiteral = false; // no wildcard

        bool NeedsBothSides() const { return kind >= ATTR; }
        bool LooksAtPath() const { return kind <= NAME_MASK; }
        // The heads and tails on the text's units: -1 the mask cannot match,
        // 1 it matches, 0 only the general match can tell.
        int Quick(const char16_t* p, int n) const;
        // As EvalFilterCondition.
        bool Eval(const Subject& s, bool bTwoSides, const CSideInfo& a, const CSideInfo& b, bool& bMatched) const;
    };
    class List {
    public:
        void Compile(const CListT<CWideString>& list);
        // The list holds a rule with at least one condition.
        bool IsEmpty() const { return m_Rules.empty(); }
        bool NeedsBothSides() const { return m_bNeedsBothSides; }
        bool LooksAtPath() const { return m_bLooksAtPath; }
        // As MatchFilterList; *ppRule is set to the matching rule's text.
        bool Match(const Subject& s, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                   const CWideString** ppRule, bool& bMatched) const;

    private:
        struct Rule {
            CWideString sText;
            std::vector<Cond> conds;
            bool bLiteral = false; // one plain name: found through m_Literals
        };
        std::vector<Rule> m_Rules;
        std::unordered_map<std::u32string, size_t> m_Literals; // folded name -> first rule
        // A name whose last unit is ASCII can be one of the plain names only
        // when that unit folds to one of these (all plain names end in ASCII).
        uint64_t m_LastAscii[2] = {0, 0};
        bool m_bScreenLiterals = false;
        int m_nShortestLiteral = 0;
        bool m_bNeedsBothSides = false;
        bool m_bLooksAtPath = false;
    };

    CFilterMatcher() = default;
    explicit CFilterMatcher(const CJobFilters& f) { Compile(f); }
    void Compile(const CJobFilters& f);
    bool IsEmpty() const { return m_Included.IsEmpty() && m_Excluded.IsEmpty(); }
    // No include rule: the include list never excludes (a folder included or
    // not is then judged alike on one side and on both).
    bool IncludesAll() const { return m_Included.IsEmpty(); }
    // A rule holds a condition on attributes, existence, size or time.
    bool NeedsBothSides() const { return m_Included.NeedsBothSides() || m_Excluded.NeedsBothSides(); }
    // A rule looks at the item's path or name: when none does, every path
    // of an item is judged alike.
    bool LooksAtPath() const {
        return m_Included.LooksAtPath() || m_Excluded.LooksAtPath() || (!m_Included.IsEmpty() && m_bAllFolderRules);
    }
    bool IsExcluded(const CWideString& sPath, bool bTwoSides, const CSideInfo& a, const CSideInfo& b,
                    CWideString& sReason) const;

private:
    List m_Included, m_Excluded;
    std::vector<CWideString> m_IncludeRules; // as stored, for the folder tests
    bool m_bAllFolderRules = true;
    CWideString m_sNoMatchReason, m_sMatchPrefix;
};

// Matches a list. Returns whether the list is decisive: false when no rule
// matched and at least one rule could not be decided. bMatched is set with the
// matching rule's text (as stored) in sReason.
bool MatchFilterList(const CListT<CWideString>& list, const CWideString& sPath, bool bTwoSides,
                     const CSideInfo& a, const CSideInfo& b, CWideString& sReason, bool& bMatched);

// Evaluates one trimmed condition. Returns whether it is applicable: false for
// a two-sided condition while bTwoSides is false, and for a value that does not
// parse or does not fit; bMatched is meaningful only when it is applicable.
bool EvalFilterCondition(const CWideString& sCondition, const CWideString& sPath, bool bTwoSides,
                         const CSideInfo& a, const CSideInfo& b, bool& bMatched);

// The path is the rule's folder or lies inside it; with bAlsoAbove also when
// the path is one of its ancestors. A trailing "/*" or "/" of the rule and a
// trailing "/" of the path are ignored; letters compare without regard to case.
bool PathMatchesFolderRule(const CWideString& sRule, const CWideString& sPath, bool bAlsoAbove);

// Checks a rule as a user gives it for a list: false with the problem in
// sProblem (English, naming the condition) for a rule with no condition (it
// would hold for every item), a size or time condition whose value does not
// read, and a mask that can match no item (one holding '/' that neither
// begins with '/' nor with a wildcard, as every path begins with '/'; a name
// mask holding '/'). The lists themselves take any rule.
bool CheckFilterRule(const CWideString& sRule, CWideString& sProblem);

// The text when it has at most nCount characters, else its first nCount
// characters and "...".
CWideString CutWithEllipsis(const CWideString& s, int nCount);
// The elements joined with "|" between them.
CWideString JoinWithBar(const CListT<CWideString>& list);

// The "FileMask" block of one rule list:
//   <FileMask>
//   Matches = (
//     "rule"            (two blanks per level)
//   ) </FileMask>
// The full-dump flag does not change it. False on the first failed write.
bool WriteFileMasks(const CListT<CWideString>& list, ZorOutStream& out, bool bFullDump, int nLevel,
                    CWideString& sErr);

// ---------------------------------------------------------------- folder selections
// Conversions between a folder selection (included and excluded folders) and
// the filter rules.

// Not empty, begins with "/", holds no '?', and holds no '*' or ends with "/*".
bool IsSimpleFolderRule(const CWideString& sRule);
// Collects the simple folder rules (one trailing '*' removed) of each list
// into the folder lists (which are emptied first). False when a rule of either
// list is not a simple folder rule, or when no included folder results (an
// empty entry is then added to the included folders).
bool FilterRulesToFolderLists(const CJobFilters& filters, CListT<CWideString>& lstIncluded,
                              CListT<CWideString>& lstExcluded);
// Removes every simple folder rule from both lists, then adds each included
// folder as an include rule ('*' appended to a folder ending with "/") and
// each excluded folder as an exclude rule. An empty folder or "/" adds nothing
// and may only be the single included folder (an assertion otherwise).
bool FolderListsToFilterRules(const CListT<CWideString>& lstIncluded, const CListT<CWideString>& lstExcluded,
                              CJobFilters& filters);
// Removes the prefix from every string of the list. A string without the
// prefix is an assertion report and stays as it is; an empty prefix changes nothing.
void StripPrefixFromAll(CListT<CWideString>& list, const CWideString& sPrefix);
