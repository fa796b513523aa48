// Helpers of the state-file tests: records, small trees, and the text a
// CStateFileIo writes and reads.
#pragma once

#include "state-file.h"

#include "zor-stream.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace statefile_test {

inline std::string U8(const CWideString& s) {
    CNarrowString n = WideToUtf8(s);
    return std::string(n.GetString(), n.GetLength());
}
inline std::string Str(const CNarrowString& s) {
    return std::string(s.GetString(), s.GetLength());
}

inline constexpr char kHeader[] = "^[a=9|b=2|c=9|1=4|2=1|s=0|]";

class TestIo : public CStateFileIo {
public:
    using CStateFileIo::CStateFileIo;
    std::vector<std::pair<int, std::string>> m_Logs;
    bool m_bStop = false;
    bool m_bCap25 = true;
    void Log(int nLevel, int, const CWideString& s) override { m_Logs.emplace_back(nLevel, U8(s)); }
    bool IsStopRequested() override { return m_bStop; }
    bool SideAnswersCapability25(int) override { return m_bCap25; }
    bool HasLog(int nLevel, const std::string& part) const {
        for (auto& l : m_Logs)
            if (l.first == nLevel && l.second.find(part) != std::string::npos) return true;
        return false;
    }
};

inline CSideInfo FileRec(uint64_t nLen, uint32_t t1, uint32_t t2 = 0, uint32_t nAttr = 0) {
    CSideInfo r;
    r.SetPresent(true);
    r.m_Len.SetValue(nLen);
    r.m_tFile = t1;
    r.m_tAccu = t2 ? t2 : t1;
    r.m_nAttr = nAttr;
    return r;
}
inline CSideInfo FolderRec(uint32_t t = 0) {
    CSideInfo r;
    r.SetPresent(true);
    r.SetFolder(true);
    r.m_Len.SetFolder();
    r.m_tFile = r.m_tAccu = t;
    return r;
}
inline CSideInfo DeletedRec() {
    CSideInfo r;
    r.SetPresent(true);
    r.m_Len.SetDeleted();
    r.m_nAttr = 0xFFFFFFFFu;
    return r;
}
inline CGenArray Gens(std::initializer_list<uint32_t> l) {
    CGenArray g;
    for (uint32_t t : l) g.Add(CSyncTime(t));
    return g;
}
inline std::vector<uint32_t> Vec(const CGenArray& g) {
    std::vector<uint32_t> v;
    for (CSyncTime t : g) v.push_back(t.GetTime());
    return v;
}

inline CSyncTreeNode* Add(CSyncTreeNode* pParent, const CWideString& name, const CSideInfo& old,
                          int nSide = 0) {
    CWideString e;
    CSyncTreeNode* p = pParent->AddItemCS(name, old.IsFolder(), false, nullptr, e);
    EXPECT_NE(p, nullptr) << U8(e);
    p->GetItem().m_aOld[nSide] = old;
    return p;
}

inline CSyncTreeNode* Find(CSyncTreeNode* pTree, const char16_t* path) {
    CWideString e;
    return CSyncTreeNode::LookupCS(pTree, path, false, nullptr, e);
}

inline std::string WriteText(CStateFileIo& io, int nSide = 0, const CWideString& folder = CWideString()) {
    ZorStringOutStream out;
    CWideString err;
    EXPECT_TRUE(io.WriteStateStream(out, nSide, folder, err)) << U8(err);
    return Str(out.GetText());
}

inline bool ReadText(CStateFileIo& io, CSyncTreeNode* pFolder, const std::string& text, int& kind,
                     CWideString& err, bool bMayShift = false, int nPresetA = 4, int nSide = 0) {
    ZorStringStream in(CNarrowString(text.data(), (int)text.size()));
    kind = -1;
    return io.ReadStateStream(in, nSide, pFolder, bMayShift, nPresetA, kind, err);
}

inline int CountOldPresent(CSyncTreeNode* pTree, int nSide = 0) {
    int n = 0;
    CSyncDepthFirstIter it(pTree);
    for (bool b = it.IsValid(); b; b = it.Next())
        if (it.GetItem()->m_aOld[nSide].IsPresentBit()) n++;
    return n;
}

inline void ExpectSameRecord(const CSideInfo& a, const CSideInfo& b, const std::string& where) {
    EXPECT_EQ(a.m_nFlags, b.m_nFlags) << where;
    EXPECT_TRUE(a.m_Len == b.m_Len) << where << ": " << U8(a.m_Len.Format()) << " vs "
                                    << U8(b.m_Len.Format());
    EXPECT_EQ(a.m_tFile.GetTime(), b.m_tFile.GetTime()) << where;
    EXPECT_EQ(a.m_tAccu.GetTime(), b.m_tAccu.GetTime()) << where;
    EXPECT_EQ(a.m_nAttr, b.m_nAttr) << where;
    EXPECT_EQ(U8(a.m_sId), U8(b.m_sId)) << where;
}

// A tree with nested folders, files, ids, saved versions and generation lists.
struct SampleTree {
    CSyncPairsAndActions tree;
    SampleTree() {
        tree.GetItem().m_aOld[0] = FolderRec();
        CSyncTreeNode* docs = Add(&tree, u"docs", FolderRec(1600000000));
        CSyncTreeNode* a = Add(docs, u"a.txt", FileRec(5, 1700000000));
        a->GetItem().m_aGens[0] = Gens({1000, 2000});
        Add(docs, u"big.bin", FileRec((1ULL << 40) + 7, 1700000001, 0, 0x20));
        CSyncTreeNode* sub = Add(docs, u"sub", FolderRec());
        CSyncTreeNode* deep = Add(sub, u"deep.txt", FileRec(0, 1500000000));
        CItemLen savedLen;
        savedLen.SetValue(123456);
        deep->GetItem().SetSaved(0, 1690000000, savedLen);
        CGenArray many;
        for (uint32_t i = 0; i < 300; i++) many.Add(CSyncTime(1000000 + i * 10));
        deep->GetItem().m_aGens[0] = many;
        CSideInfo readme = FileRec(9, 1650000000);
        readme.m_sId = u"README.TXT"; // the side's own letter case
        Add(&tree, u"Readme.txt", readme);
        CSideInfo accent = FileRec(3, 1650000000);
        accent.m_sId = u"e\u0301"; // decomposed on the side, composed as the key
        Add(&tree, u"\u00e9", accent);
        CSyncTreeNode* gone = Add(&tree, u"gone.txt", DeletedRec());
        gone->GetItem().m_aGens[0] = Gens({1500});
        Add(&tree, u"near.txt", FileRec(1, 1000, 1002));
        Add(&tree, u"\u65e5\u672c.txt", FileRec(77, 1234567890));
        Add(&tree, u"notsaved.txt", CSideInfo()); // no old record: not written
        Add(&tree, u"emptydir", FolderRec());
    }
};

} // namespace statefile_test
