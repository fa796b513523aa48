// The child-name index of a folder against the child map's own look-up.
#include "statefile-test-util.h"

using namespace statefile_test;

// The index of a folder's children finds what the child map's look-up finds,
// also beside names that come first among their case variants, added before
// the index was made or after it.
TEST(StateFile, ChildIndexFindsWhatTheMapFinds) {
    const std::vector<const char16_t*> twins = {u"Readme", u"FILE-000.DAT",
                                                u"\u00c9T\u00c9-r\u00e9sum\u00e9.TXT"};
    for (bool bCase : {false, true}) {
        for (bool bTwinsFirst : {false, true}) {
            CSyncPairsAndActions tree;
            TestIo io(&tree);
            io.m_bCaseSensitive = bCase;
            CWideString e;
            for (int i = 0; i < 40; i++)
                tree.AddItemCS(CWideString::Formatted(u"file-%03d.dat", (int64_t)i), false, bCase, nullptr,
                               e);
            for (const char16_t* n : {u"README", u"\u00c9t\u00e9", u"\u00e9t\u00e9-r\u00e9sum\u00e9.txt"})
                tree.AddItemCS(n, false, true, nullptr, e);
            if (bTwinsFirst)
                for (const char16_t* n : twins) tree.AddItemCS(n, false, true, nullptr, e);
            CChildNameIndex index;
            index.Build(&tree);
            ASSERT_TRUE(index.IsBuilt());
            if (!bTwinsFirst)
                for (const char16_t* n : twins) tree.AddItemCS(n, false, true, nullptr, e);
            for (const char16_t* n :
                 {u"file-000.dat", u"FILE-039.DAT", u"file-040.dat", u"readme", u"Readme", u"\u00e9t\u00e9",
                  u"e\u0301t\u00e9", u"\u00e9t\u00e9-R\u00c9SUM\u00c9.txt",
                  u"\u00c9T\u00c9-r\u00e9sum\u00e9.TXT", u"..", u"a/b", u"file-0000.dat", u""}) {
                CSyncTreeNode* pMap = io.FindPlainChild(&tree, n, FileRec(1, 2));
                CSyncTreeNode* pIndexed = io.FindPlainChild(&tree, n, FileRec(1, 2), &index);
                // Only a name added after the index was made may be missed.
                bool bAddedLater = false;
                for (const char16_t* t : twins) bAddedLater |= !bTwinsFirst && pMap && pMap->GetName() == t;
                if (pIndexed || !bAddedLater) {
                    EXPECT_EQ(pIndexed, pMap) << U8(n) << bCase << bTwinsFirst;
                }
            }
        }
    }
}

// Children removed after the index was made, with or without others added
// to make up the count: the look-ups still give what the map's look-up gives
// (a removed child's slot is never taken for the folder's state).
TEST(StateFile, ChildIndexAfterRemovalsFindsWhatTheMapFinds) {
    struct Case {
        const char* what;
        std::vector<const char16_t*> removed, added;
    } cases[] = {
        {"one removed, a case variant added", {u"zzz"}, {u"README"}},
        {"one removed, none added", {u"file-005.dat"}, {}},
        {"one removed, the same name added again", {u"readme"}, {u"readme"}},
        {"two removed, two added", {u"file-001.dat", u"file-002.dat"}, {u"FILE-003.DAT", u"new"}},
    };
    for (const Case& c : cases) {
        CSyncPairsAndActions tree;
        TestIo io(&tree);
        CWideString e;
        for (int i = 0; i < 30; i++)
            tree.AddItemCS(CWideString::Formatted(u"file-%03d.dat", (int64_t)i), false, true, nullptr, e);
        for (const char16_t* n : {u"readme", u"zzz"}) tree.AddItemCS(n, false, true, nullptr, e);
        CChildNameIndex index;
        index.Build(&tree);
        ASSERT_TRUE(index.IsUsable());
        for (const char16_t* n : c.removed) ASSERT_TRUE(tree.GetChildMap()->RemoveKeyCS(n, true)) << c.what;
        for (const char16_t* n : c.added) tree.AddItemCS(n, false, true, nullptr, e);
        EXPECT_FALSE(index.IsUsable()) << c.what;
        for (const char16_t* n : {u"readme", u"README", u"zzz", u"file-001.dat", u"file-003.dat",
                                  u"file-005.dat", u"new", u"file-029.dat"})
            EXPECT_EQ(io.FindPlainChild(&tree, n, FileRec(1, 2), &index),
                      io.FindPlainChild(&tree, n, FileRec(1, 2)))
                << c.what << " " << U8(n);
    }
}
