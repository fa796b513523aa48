// The sync tree, its look-ups and iterators, the pass base and the common parent folder.
#include "sync-tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::u16string S(const CWideString& s) {
    return std::u16string(s.GetString(), s.GetLength());
}

// Adds a chain of components ("a/b/c"), folders for all but the last unless bLastFolder.
CSyncTreeNode* Add(CSyncTreeNode* pRoot, const char16_t* path, bool bLastFolder = false, bool bCS = false) {
    CWideString sPath(path);
    CSyncTreeNode* p = pRoot;
    int start = 0;
    for (;;) {
        CWideString name = sPath.Tokenize(u"/", start);
        if (start < 0) break;
        bool bLast = start >= sPath.GetLength();
        CWideString err;
        CSyncTreeNode* pNext = p->LookupCS(name, bCS, nullptr, err);
        if (!pNext) pNext = p->AddItemCS(name, !bLast || bLastFolder, bCS, nullptr, err);
        EXPECT_NE(pNext, nullptr) << S(err).size();
        if (!pNext) return nullptr;
        p = pNext;
    }
    return p;
}

std::vector<std::u16string> PreOrder(CSyncTreeNode* pStart) {
    std::vector<std::u16string> v;
    CSyncDepthFirstIter it(pStart);
    for (bool ok = it.IsValid(); ok; ok = it.Next()) v.push_back(S(it.GetPath()));
    return v;
}

TEST(SyncTree, RootAndPaths) {
    CSyncPairsAndActions tree;
    EXPECT_TRUE(tree.IsContainer());
    EXPECT_EQ(tree.GetParent(), nullptr);
    EXPECT_TRUE(S(tree.GetPath()).empty());
    EXPECT_TRUE(S(tree.GetName()).empty());
    // InitRoot: both current records present folders, both data-folder bytes set.
    const CSyncPairAndAction& root = tree.GetItem();
    for (int s = 0; s < 2; s++) {
        EXPECT_TRUE(root.m_aCur[s].Exists());
        EXPECT_TRUE(root.m_aCur[s].IsFolder());
        EXPECT_TRUE(root.m_aCur[s].m_Len.IsFolder());
        EXPECT_EQ(root.m_aHoldsDataFolder[s], 1);
    }
    ASSERT_NE(tree.GetChildMap(), nullptr);
    EXPECT_EQ(tree.GetChildCount(), 0);

    CSyncTreeNode* pA = Add(&tree, u"a/b/c");
    ASSERT_NE(pA, nullptr);
    EXPECT_EQ(S(pA->GetPath()), u"/a/b/c");
    EXPECT_EQ(S(pA->GetName()), u"c");
    EXPECT_FALSE(pA->IsContainer()); // a file: parent but no child map
    EXPECT_TRUE(pA->GetParent()->IsContainer());
    EXPECT_EQ(S(pA->GetParent()->GetPath()), u"/a/b");
    EXPECT_EQ(pA->GetItem().m_nExecState, ESS_ANALYZED_OK);
    EXPECT_EQ(pA->GetDepth(&tree), 3);
    EXPECT_EQ(pA->GetDepth(pA->GetParent()), 1);
    EXPECT_EQ(pA->GetDepth(pA), 0);
    CSyncTreeNode* pX = Add(&tree, u"x/y");
    EXPECT_EQ(pA->GetDepth(pX), 3); // not an ancestor: up to the root
    EXPECT_EQ(pA->GetDepth(nullptr), 3);
}

TEST(SyncTree, LookupPathForms) {
    CSyncPairsAndActions tree;
    CSyncTreeNode* pB = Add(&tree, u"a/b");
    CWideString err;
    EXPECT_EQ(tree.LookupCS(u"a/b", false, nullptr, err), pB);
    EXPECT_EQ(tree.LookupCS(u"/a/b", false, nullptr, err), pB);
    EXPECT_EQ(tree.LookupCS(u"a//b", false, nullptr, err), pB);
    EXPECT_EQ(tree.LookupCS(u"//a///b", true, nullptr, err), pB);
    EXPECT_TRUE(err.IsEmpty());
    // Relative to a node below the root.
    CSyncTreeNode* pA = tree.LookupCS(u"a", false, nullptr, err);
    EXPECT_EQ(pA->LookupCS(u"b", false, nullptr, err), pB);

    for (const char16_t* bad : {u"a/b/", u"", u"/", u"///"}) {
        CWideString e;
        CSyncTreeNode* pParent = pB;
        EXPECT_EQ(tree.LookupCS(bad, false, &pParent, e), nullptr);
        EXPECT_EQ(S(e), u"LookupCS: empty name") << S(CWideString(bad)).size();
        EXPECT_EQ(pParent, nullptr); // cleared first
    }
    CWideString e;
    EXPECT_EQ(CSyncTreeNode::LookupCS(nullptr, u"a", false, nullptr, e), nullptr);
    EXPECT_EQ(S(e), u"LookupCS: no pTree");
}

TEST(SyncTree, LookupMissingReportsParent) {
    CSyncPairsAndActions tree;
    CSyncTreeNode* pB = Add(&tree, u"a/b", true);
    CWideString err;
    CSyncTreeNode* pParent = nullptr;
    EXPECT_EQ(tree.LookupCS(u"/a/b/missing", false, &pParent, err), nullptr);
    EXPECT_EQ(pParent, pB);
    EXPECT_TRUE(err.IsEmpty()); // not found is no error
    // A missing middle component: no parent for the last one.
    pParent = pB;
    EXPECT_EQ(tree.LookupCS(u"/a/zz/c", false, &pParent, err), nullptr);
    EXPECT_EQ(pParent, nullptr);
    // Found: the parent of the last component.
    EXPECT_EQ(tree.LookupCS(u"/a/b", false, &pParent, err), pB);
    EXPECT_EQ(pParent, pB->GetParent());
    // A file (no child map) has no children to find.
    CSyncTreeNode* pF = Add(&tree, u"a/f");
    EXPECT_EQ(pF->LookupCS(u"x", false, &pParent, err), nullptr);
    EXPECT_EQ(pParent, pF);
}

TEST(SyncTree, CaseModes) {
    CSyncPairsAndActions tree;
    CWideString err;
    CSyncTreeNode* pReadme = tree.AddItemCS(u"readme", false, false, nullptr, err);
    ASSERT_NE(pReadme, nullptr);
    EXPECT_EQ(tree.LookupCS(u"README", false, nullptr, err), pReadme);
    EXPECT_EQ(tree.LookupCS(u"README", true, nullptr, err), nullptr);
    EXPECT_EQ(tree.LookupCS(u"readme", true, nullptr, err), pReadme);
    // Case-insensitive add of a name differing only in case is refused.
    EXPECT_EQ(tree.AddItemCS(u"ReadMe", false, false, nullptr, err), nullptr);
    EXPECT_EQ(S(err), u"AddItemCS: child already present");
    err.Empty();

    // Children differing only in case (added in case-sensitive mode).
    CSyncTreeNode* pLower = tree.AddItemCS(u"a", false, true, nullptr, err);
    CSyncTreeNode* pUpper = tree.AddItemCS(u"A", false, true, nullptr, err);
    ASSERT_NE(pLower, nullptr);
    ASSERT_NE(pUpper, nullptr);
    EXPECT_NE(pLower, pUpper);
    EXPECT_EQ(tree.AddItemCS(u"a", false, true, nullptr, err), nullptr);
    EXPECT_EQ(tree.LookupCS(u"a", true, nullptr, err), pLower);
    EXPECT_EQ(tree.LookupCS(u"A", true, nullptr, err), pUpper);
    // Case-insensitive: the first in map order, whatever case is asked.
    EXPECT_EQ(tree.LookupCS(u"a", false, nullptr, err), pUpper);
    EXPECT_EQ(tree.LookupCS(u"A", false, nullptr, err), pUpper);
    EXPECT_EQ(S(pLower->GetPath()), u"/a");
    EXPECT_EQ(S(pUpper->GetPath()), u"/A");

    // Non-ASCII letters fold too.
    CSyncTreeNode* pU = tree.AddItemCS(u"Ärger", false, false, nullptr, err);
    EXPECT_EQ(tree.LookupCS(u"ärger", false, nullptr, err), pU);
    EXPECT_EQ(tree.LookupCS(u"ärger", true, nullptr, err), nullptr);
}

TEST(SyncTree, AddItemMessagesAndContainers) {
    CSyncPairsAndActions tree;
    CWideString err;
    EXPECT_EQ(tree.AddItemCS(u"", false, false, nullptr, err), nullptr);
    EXPECT_EQ(S(err), u"AddItemCS: name is empty");
    err.Empty();
    EXPECT_EQ(tree.AddItemCS(u"x/y", false, false, nullptr, err), nullptr);
    EXPECT_EQ(S(err), u"AddItemCS: name contains '/': x/y");
    EXPECT_EQ(tree.GetChildCount(), 0);
    err.Empty();

    CSyncTreeNode* pDir = tree.AddItemCS(u"dir", true, false, nullptr, err);
    ASSERT_NE(pDir, nullptr);
    EXPECT_TRUE(pDir->IsContainer());
    EXPECT_NE(pDir->GetChildMap(), nullptr);
    EXPECT_EQ(pDir->GetChildCount(), 0);
    EXPECT_EQ(pDir->GetParent(), &tree);
    EXPECT_EQ(tree.AddItemCS(u"dir", false, false, nullptr, err), nullptr);
    EXPECT_EQ(S(err), u"AddItemCS: child already present");
    err.Empty();

    // A given item is assigned (item assignment: no reason text, no work bytes).
    CSyncPairAndAction item(ESS_SYNCED_OK);
    item.m_nSysAction = EA_COPY_RIGHT_TO_LEFT;
    item.m_aCur[1].SetPresent(true);
    item.m_aCur[1].m_Len.SetValue(77);
    item.SetReason(u"why");
    CSyncTreeNode* pFile = pDir->AddItemCS(u"f.txt", false, false, &item, err);
    ASSERT_NE(pFile, nullptr);
    EXPECT_EQ(pFile->GetItem().m_nExecState, ESS_SYNCED_OK);
    EXPECT_EQ(pFile->GetItem().m_nSysAction, EA_COPY_RIGHT_TO_LEFT);
    EXPECT_EQ(pFile->GetItem().m_aCur[1].m_Len.GetValue(), 77u);
    EXPECT_TRUE(pFile->GetItem().GetReason().IsEmpty());
    EXPECT_TRUE(err.IsEmpty());

    // A key built in a larger buffer is stored compactly and keeps its text.
    CWideString big;
    big.Preallocate(200);
    big = u"n";
    big.Append(u"ame");
    CSyncTreeNode* pN = pDir->AddItemCS(big, false, false, nullptr, err);
    ASSERT_NE(pN, nullptr);
    EXPECT_EQ(S(pN->GetName()), u"name");
    // No more room than a string made for the name alone.
    EXPECT_LE(pN->GetNameRef().Data()->nAllocLength, CWideString(u"name").Data()->nAllocLength);
}

TEST(SyncTree, LevelIteratorOrderAndBackwards) {
    CSyncPairsAndActions tree;
    for (const char16_t* n : {u"b", u"A", u"c"}) Add(&tree, n);
    CSyncLevelIter it(&tree);
    std::vector<std::u16string> names;
    for (bool ok = it.IsValid(); ok; ok = it.Next()) names.push_back(S(it.GetName()));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"b", u"c"}));
    EXPECT_FALSE(it.IsValid());
    EXPECT_EQ(it.GetItem(), nullptr);
    EXPECT_TRUE(S(it.GetPath()).empty());
    EXPECT_FALSE(it.Next());

    ASSERT_TRUE(it.Reset());
    ASSERT_TRUE(it.Next()); // on b
    EXPECT_EQ(S(it.GetPath()), u"/b");
    std::unique_ptr<ITreeIterator<CSyncPairAndAction>> clone(it.Clone());
    EXPECT_TRUE(it.Prev());
    EXPECT_EQ(S(it.GetName()), u"A");
    EXPECT_FALSE(it.Prev());
    EXPECT_FALSE(it.IsValid());
    EXPECT_EQ(S(clone->GetName()), u"b"); // the clone kept its place
    EXPECT_TRUE(clone->Next());
    EXPECT_EQ(S(clone->GetName()), u"c");

    // A node without a child map: not positioned.
    CWideString err;
    CSyncTreeNode* pFile = tree.LookupCS(u"c", false, nullptr, err);
    CSyncLevelIter none(pFile);
    EXPECT_FALSE(none.IsValid());
    EXPECT_FALSE(none.IsOnLevel());
    EXPECT_EQ(none.CreateChildIter(), nullptr);
}

TEST(SyncTree, LevelIteratorOnLevelAndChildIter) {
    CSyncPairsAndActions tree;
    Add(&tree, u"d/x");
    Add(&tree, u"d/y");
    CSyncLevelIter it(&tree);
    ASSERT_TRUE(it.IsOnLevel());
    std::unique_ptr<ITreeIterator<CSyncPairAndAction>> child(it.CreateChildIter());
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(S(child->GetPath()), u"/d/x");
    EXPECT_TRUE(child->Next());
    EXPECT_EQ(S(child->GetName()), u"y");
    EXPECT_FALSE(child->Next());

    // Emptied: a reset finds nothing.
    CSyncTreeNode* pD = it.GetNode();
    CSyncLevelIter inner(pD);
    ASSERT_TRUE(inner.IsOnLevel());
    pD->Clear(); // children removed, the map stays
    EXPECT_EQ(pD->GetChildCount(), 0);
    EXPECT_FALSE(inner.Reset());
    EXPECT_FALSE(inner.IsOnLevel());
    EXPECT_EQ(inner.CreateChildIter(), nullptr);
}

TEST(SyncTree, DepthFirstPreOrder) {
    CSyncPairsAndActions tree;
    Add(&tree, u"b");
    Add(&tree, u"a/x");
    EXPECT_EQ(PreOrder(&tree), (std::vector<std::u16string>{u"/a", u"/a/x", u"/b"}));

    Add(&tree, u"a/X/deep/file", false, true); // case-sensitive: X beside x
    Add(&tree, u"a/empty", true);
    Add(&tree, u"C/z");
    EXPECT_EQ(PreOrder(&tree),
              (std::vector<std::u16string>{u"/a", u"/a/empty", u"/a/X", u"/a/X/deep", u"/a/X/deep/file",
                                           u"/a/x", u"/b", u"/C", u"/C/z"}));
    // Over a subtree: the start node itself is not visited.
    CWideString err;
    CSyncTreeNode* pA = tree.LookupCS(u"a", false, nullptr, err);
    EXPECT_EQ(PreOrder(pA),
              (std::vector<std::u16string>{u"/a/empty", u"/a/X", u"/a/X/deep", u"/a/X/deep/file", u"/a/x"}));
    // No children: not valid at once, nothing visited.
    CSyncTreeNode* pEmpty = tree.LookupCS(u"a/empty", false, nullptr, err);
    CSyncDepthFirstIter it(pEmpty);
    EXPECT_FALSE(it.IsValid());
    EXPECT_FALSE(it.Next());
    EXPECT_EQ(it.GetNode(), nullptr);
    EXPECT_TRUE(PreOrder(tree.LookupCS(u"b", false, nullptr, err)).empty());
}

// Children given to the current node during a walk are walked next; a
// clone taken deep in the walk goes on exactly as the original.
TEST(SyncTree, DepthFirstWalkSeesChildrenAddedOnTheWay) {
    CSyncPairsAndActions tree;
    for (const char16_t* p : {u"a/b/c/1", u"a/b/c/2", u"a/b/d", u"a/e", u"f"}) Add(&tree, p);
    CSyncDepthFirstIter it(&tree);
    std::vector<std::u16string> seen;
    std::unique_ptr<ITreeIterator<CSyncPairAndAction>> clone;
    for (bool ok = it.IsValid(); ok; ok = it.Next()) {
        seen.push_back(S(it.GetPath()));
        CWideString err;
        if (seen.back() == u"/a/b/d") it.GetNode()->AddItemCS(u"new", false, false, nullptr, err);
        if (seen.back() == u"/a/b/c/1") clone.reset(it.Clone());
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"/a", u"/a/b", u"/a/b/c", u"/a/b/c/1", u"/a/b/c/2",
                                                 u"/a/b/d", u"/a/b/d/new", u"/a/e", u"/f"}));
    ASSERT_NE(clone, nullptr);
    std::vector<std::u16string> rest;
    while (clone->Next()) rest.push_back(S(clone->GetPath()));
    EXPECT_EQ(rest, std::vector<std::u16string>(seen.begin() + 4, seen.end()));
}

TEST(SyncTree, DepthFirstCloneChildIterAndReset) {
    CSyncPairsAndActions tree;
    Add(&tree, u"a/x/1");
    Add(&tree, u"a/y");
    Add(&tree, u"b");
    CSyncDepthFirstIter it(&tree);
    ASSERT_TRUE(it.Next()); // /a/x
    ASSERT_TRUE(it.Next()); // /a/x/1
    EXPECT_EQ(S(it.GetPath()), u"/a/x/1");
    EXPECT_EQ(it.GetLevelCount(), 3);
    std::unique_ptr<ITreeIterator<CSyncPairAndAction>> clone(it.Clone());
    std::vector<std::u16string> rest;
    while (clone->Next()) rest.push_back(S(clone->GetPath()));
    EXPECT_EQ(rest, (std::vector<std::u16string>{u"/a/y", u"/b"}));
    EXPECT_EQ(S(it.GetPath()), u"/a/x/1"); // the original did not move

    ASSERT_TRUE(it.Reset());
    EXPECT_EQ(S(it.GetPath()), u"/a");
    std::unique_ptr<ITreeIterator<CSyncPairAndAction>> sub(it.CreateChildIter());
    ASSERT_NE(sub, nullptr);
    std::vector<std::u16string> below;
    for (bool ok = sub->IsValid(); ok; ok = sub->Next()) below.push_back(S(sub->GetPath()));
    EXPECT_EQ(below, (std::vector<std::u16string>{u"/a/x", u"/a/x/1", u"/a/y"}));

    // Reset to another start node.
    CWideString err;
    EXPECT_TRUE(it.Reset(tree.LookupCS(u"a/x", false, nullptr, err)));
    EXPECT_EQ(S(it.GetPath()), u"/a/x/1");
    EXPECT_FALSE(it.Next());
}

TEST(SyncTree, ClearKeepsMapAndInitRootRestores) {
    CSyncPairsAndActions tree;
    Add(&tree, u"a/b/c");
    tree.GetItem().m_nSysAction = EA_CONFLICT;
    tree.Clear();
    EXPECT_EQ(tree.GetChildCount(), 0);
    EXPECT_NE(tree.GetChildMap(), nullptr);
    EXPECT_EQ(tree.GetItem().m_nSysAction, EA_NO_COPY);
    EXPECT_FALSE(tree.GetItem().m_aCur[0].Exists());
    tree.InitRoot();
    EXPECT_TRUE(tree.GetItem().m_aCur[0].Exists());
    EXPECT_TRUE(tree.GetItem().m_aCur[1].IsFolder());
    EXPECT_NE(Add(&tree, u"new"), nullptr);
}

TEST(SyncTree, NodeCopiesAreUnlinked) {
    CSyncPairsAndActions tree;
    CSyncTreeNode* pF = Add(&tree, u"d/f");
    pF->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    CSyncTreeNode copy(*pF);
    EXPECT_EQ(copy.GetParent(), nullptr);
    EXPECT_TRUE(S(copy.GetName()).empty());
    EXPECT_TRUE(S(copy.GetPath()).empty());
    EXPECT_EQ(copy.GetItem().m_nSysAction, EA_COPY_LEFT_TO_RIGHT);
    // Assignment takes the item only; the target stays where it is.
    CSyncTreeNode* pG = Add(&tree, u"g");
    *pG = copy;
    EXPECT_EQ(S(pG->GetPath()), u"/g");
    EXPECT_EQ(pG->GetItem().m_nSysAction, EA_COPY_LEFT_TO_RIGHT);
}

// A pass that records the paths it sees and stops at a given one.
class CRecordPass : public CDoSmthWithPair {
public:
    std::vector<std::u16string> m_Seen;
    std::u16string m_sStopAt;
    bool DoWithPair(CSyncTreeNode* pNode, CSyncJob*) override {
        m_Seen.push_back(S(pNode->GetPath()));
        return m_Seen.back() != m_sStopAt;
    }
};

TEST(SyncTree, PassBaseThroughTheIterator) {
    CSyncPairsAndActions tree;
    Add(&tree, u"a/x");
    Add(&tree, u"b");
    CRecordPass pass;
    pass.m_sStopAt = u"/a/x";
    CDoSmthWithPair& base = pass;
    CSyncDepthFirstIter it(&tree);
    for (bool ok = it.IsValid(); ok; ok = it.Next())
        if (!base.DoWithPair(it.GetNode(), nullptr)) break;
    EXPECT_EQ(pass.m_Seen, (std::vector<std::u16string>{u"/a", u"/a/x"}));
}

TEST(SyncTree, CommonParentFolder) {
    auto Common = [](std::initializer_list<const char16_t*> paths, bool bBackslash = false) {
        std::vector<CWideString> v(paths.begin(), paths.end());
        return S(GetCommonParentFolder(v.data(), (int)v.size(), bBackslash));
    };
    EXPECT_EQ(Common({}), u"");
    EXPECT_EQ(Common({u"/a/x.txt", u"/a/y.txt"}), u"/a");
    EXPECT_EQ(Common({u"/a/b/c.txt"}), u"/a/b");
    EXPECT_EQ(Common({u"/x", u"/y"}), u"");
    EXPECT_EQ(Common({u"/x"}), u"");
    // The cut falls on a separator, never inside a name.
    EXPECT_EQ(Common({u"/a/bc/x", u"/a/bd/y"}), u"/a");
    EXPECT_EQ(Common({u"/a/b", u"/a/bc/y"}), u"/a");
    EXPECT_EQ(Common({u"/ab/x", u"/ac/y"}), u"");
    EXPECT_EQ(Common({u"/a/b/x", u"/a/b/y", u"/a/bz/q"}), u"/a");
    // A folder and items inside it give the folder (trailing separators ignored).
    EXPECT_EQ(Common({u"/a/b/", u"/a/b/c.txt", u"/a/b/d/e"}), u"/a/b");
    // The backslash style.
    EXPECT_EQ(Common({u"C:\\a\\bc\\x", u"C:\\a\\bd\\y"}, true), u"C:\\a");
    EXPECT_EQ(Common({u"C:\\a\\x.txt", u"C:\\a\\y.txt"}, true), u"C:\\a");
    EXPECT_EQ(Common({u"C:\\a\\x.txt"}, true), u"C:\\a");
    // The list form.
    CListT<CWideString> list;
    list.AddTail(u"/m/n/1");
    list.AddTail(u"/m/n/2");
    EXPECT_EQ(S(GetCommonParentFolder(list, false)), u"/m/n");
}

TEST(SyncTree, LargeFolderStaysOrderedAndFindable) {
    CSyncPairsAndActions tree;
    CWideString err;
    CSyncTreeNode* pDir = tree.AddItemCS(u"big", true, false, nullptr, err);
    const int n = 5000;
    for (int i = n - 1; i >= 0; i--)
        ASSERT_NE(pDir->AddItemCS(CWideString::Formatted(u"f%05d", i), false, false, nullptr, err), nullptr);
    EXPECT_EQ(pDir->GetChildCount(), n);
    EXPECT_GT(pDir->GetChildMap()->CheckTree(), 0);
    int i = 0;
    CSyncLevelIter it(pDir);
    for (bool ok = it.IsValid(); ok; ok = it.Next(), i++)
        ASSERT_EQ(S(it.GetName()), S(CWideString::Formatted(u"f%05d", i)));
    EXPECT_EQ(i, n);
    EXPECT_NE(tree.LookupCS(u"/BIG/F04321", false, nullptr, err), nullptr);
    EXPECT_TRUE(err.IsEmpty());
}

} // namespace
