// The sync tree's root and the common-parent-folder helper.
#include "sync-tree.h"

#include "zor-path.h"

CSyncPairsAndActions::CSyncPairsAndActions() {
    InitRoot();
}

CSyncPairsAndActions::~CSyncPairsAndActions() = default;

void CSyncPairsAndActions::InitRoot() {
    EnsureChildMap();
    CSyncPairAndAction& item = GetItem();
    for (int nSide = 0; nSide < 2; nSide++) {
        CSideInfo& cur = item.m_aCur[nSide];
        cur.SetPresent(true);
        cur.SetFolder(true);
        cur.m_Len.SetFolder();
        item.m_aHoldsDataFolder[nSide] = 1;
    }
}

// ---------------------------------------------------------------- GetCommonParentFolder

namespace {

bool IsSep(char16_t c, bool bBackslashStyle) {
    return c == u'/' || (bBackslashStyle && c == u'\\');
}

void RemoveOneTrailingSep(CWideString& s, bool bBackslashStyle) {
    int n = s.GetLength();
    if (n > 0 && IsSep(s.GetString()[n - 1], bBackslashStyle)) s.Truncate(n - 1);
}

CWideString ParentFolder(const CWideString& s, bool bBackslashStyle) {
    return bBackslashStyle ? GetPathFolder(s) : GetUrlPathFolder(s);
}

} // namespace

CWideString GetCommonParentFolder(const CWideString* pPaths, int nCount, bool bBackslashStyle) {
    if (!pPaths || nCount <= 0) return CWideString();
    CWideString sResult = pPaths[0];
    RemoveOneTrailingSep(sResult, bBackslashStyle);
    if (nCount == 1) sResult = ParentFolder(sResult, bBackslashStyle);
    for (int i = 1; i < nCount; i++) {
        CWideString sPath = pPaths[i];
        RemoveOneTrailingSep(sPath, bBackslashStyle);
        CWideString sFolder = ParentFolder(sPath, bBackslashStyle);
        const char16_t* a = sResult.GetString();
        const char16_t* b = sFolder.GetString();
        const int na = sResult.GetLength(), nb = sFolder.GetLength();
        int n = 0;
        while (n < na && n < nb && a[n] == b[n]) n++;
        if (n == 0) return CWideString();
        // Cut only between whole names: "/a/bc" and "/a/bd" share "/a/b",
        // but their common folder is "/a".
        bool bBoundary =
            (n == na || IsSep(a[n], bBackslashStyle)) && (n == nb || IsSep(b[n], bBackslashStyle));
        if (!bBoundary) {
            while (n > 0 && !IsSep(a[n - 1], bBackslashStyle)) n--;
            n--; // drop the separator itself
            if (n <= 0) return CWideString();
        }
        sResult.Truncate(n);
    }
    if (sResult == u"/") sResult.Empty();
    return sResult;
}

CWideString GetCommonParentFolder(const CListT<CWideString>& paths, bool bBackslashStyle) {
    CArrayT<CWideString> a;
    for (ZorPosition pos = paths.GetHeadPosition(); pos;) a.Add(paths.GetNext(pos));
    return GetCommonParentFolder(a.GetData(), a.GetSize(), bBackslashStyle);
}
