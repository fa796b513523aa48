#include "rbmap-lex.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// The map's order as a strict weak order for the model.
struct FullOrder {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return CompareNoCaseThenCase(a.data(), (int)a.size(), b.data(), (int)b.size(), true) < 0;
    }
};
bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    return CompareNoCaseThenCase(a.data(), (int)a.size(), b.data(), (int)b.size(), false) == 0;
}
std::u16string Key(const CWideString& s) {
    return std::u16string(s.GetString(), (size_t)s.GetLength());
}

template <typename V> std::vector<std::u16string> Keys(const CRBLexMapT<V>& m) {
    std::vector<std::u16string> v;
    for (auto* e = m.GetFirst(); e; e = m.GetNext(e)) v.push_back(Key(e->GetKey()));
    return v;
}

// Counts live values, so that the tests see every value destroyed.
struct Counted {
    static int s_nLive;
    int n = 0;
    Counted() { s_nLive++; }
    Counted(const Counted& o) : n(o.n) { s_nLive++; }
    Counted& operator=(const Counted&) = default;
    ~Counted() { s_nLive--; }
};
int Counted::s_nLive = 0;

// A minimal tree node of the kind the sync tree uses: held by value in its
// parent's child map, with a parent pointer and its own child map.
struct Node {
    Node* m_pParent = nullptr;
    CRBLexMapT<Node>* m_pChildren = nullptr;
    int m_nId = 0;
    Node() = default;
    Node(const Node&) = delete;
    ~Node() { delete m_pChildren; }
    Node* GetParent() const { return m_pParent; }
    Node* AddChild(const CWideString& name, bool bCaseSensitive) {
        if (!m_pChildren) m_pChildren = new CRBLexMapT<Node>(10);
        bool bAdded = false;
        auto* e = m_pChildren->GetOrAddCS(name, bCaseSensitive, &bAdded);
        if (!e || !bAdded) return nullptr;
        e->GetValue().m_pParent = this;
        return &e->GetValue();
    }
    CWideString GetPath() const {
        return m_pParent ? m_pParent->GetPath() + u"/" + TreeNodeName(this) : CWideString();
    }
};

} // namespace

TEST(CRBLexMap, CaseInsensitiveOrderThenExactUnits) {
    CRBLexMapT<int> m;
    for (const char16_t* k : {u"b", u"A", u"c", u"a", u"B"}) ASSERT_NE(m.GetOrAddCS(k, true), nullptr);
    EXPECT_EQ(Keys(m), (std::vector<std::u16string>{u"A", u"a", u"B", u"b", u"c"}));
    // Case-insensitive look-up gives the first of the keys equal ignoring case.
    EXPECT_EQ(Key(m.LookupCS(u"a", false)->GetKey()), u"A");
    EXPECT_EQ(Key(m.LookupCS(u"b", false)->GetKey()), u"B");
    EXPECT_EQ(Key(m.LookupCS(u"a", true)->GetKey()), u"a");
    EXPECT_EQ(m.LookupCS(u"C", true), nullptr);
    EXPECT_EQ(Key(m.LookupCS(u"C", false)->GetKey()), u"c");
    // Prefixes order before longer keys.
    m.GetOrAddCS(u"ab", true);
    m.GetOrAddCS(u"AB", true);
    EXPECT_EQ(Keys(m), (std::vector<std::u16string>{u"A", u"a", u"AB", u"ab", u"B", u"b", u"c"}));
    EXPECT_GT(m.CheckTree(), 0);
}

TEST(CRBLexMap, NonAsciiKeysFoldTogether) {
    CRBLexMapT<int> m;
    // Sigma: capital, final small and small fold to one letter.
    for (const char16_t* k : {u"\u03c3", u"\u00e4", u"\u03a3", u"\u00c4", u"\u03c2", u"z"})
        m.SetAtCS(k, 1, true);
    EXPECT_EQ(m.GetCount(), 6);
    EXPECT_EQ(Keys(m),
              (std::vector<std::u16string>{u"z", u"\u00c4", u"\u00e4", u"\u03a3", u"\u03c2", u"\u03c3"}));
    EXPECT_EQ(Key(m.LookupCS(u"\u03c3", false)->GetKey()), u"\u03a3");
    EXPECT_EQ(Key(m.LookupCS(u"\u03c2", false)->GetKey()), u"\u03a3");
    EXPECT_EQ(Key(m.LookupCS(u"\u00e4", false)->GetKey()), u"\u00c4");
    EXPECT_EQ(Key(m.LookupCS(u"\u03c2", true)->GetKey()), u"\u03c2");
    // A case-insensitive insertion of an existing name assigns the first match.
    bool bAdded = true;
    auto* e = m.GetOrAddCS(u"\u03c3", false, &bAdded);
    EXPECT_FALSE(bAdded);
    EXPECT_EQ(Key(e->GetKey()), u"\u03a3");
    m.SetAtCS(u"\u00e4", 7, false);
    EXPECT_EQ(m.LookupCS(u"\u00c4", true)->GetValue(), 7);
    EXPECT_EQ(m.LookupCS(u"\u00e4", true)->GetValue(), 1);
    EXPECT_EQ(m.GetCount(), 6);
    // Removing case-insensitively takes the first match and leaves the others.
    EXPECT_TRUE(m.RemoveKeyCS(u"\u03c3", false));
    EXPECT_EQ(Key(m.LookupCS(u"\u03c3", false)->GetKey()), u"\u03c2");
    EXPECT_TRUE(m.RemoveKeyCS(u"\u03c3", true));
    EXPECT_FALSE(m.RemoveKeyCS(u"\u03c3", true));
    EXPECT_EQ(m.GetCount(), 4);
    EXPECT_GT(m.CheckTree(), 0);
}

TEST(CRBLexMap, RandomOperationsMatchModel) {
    std::mt19937 rng(3);
    static const char16_t* const parts[] = {u"a",      u"A",      u"b",      u"B",      u"\u00e4", u"\u00c4",
                                            u"\u03c3", u"\u03a3", u"\u03c2", u"\u00df", u"0",      u"_"};
    for (int round = 0; round < 3; round++) {
        CRBLexMapT<int> m(round == 0 ? 1 : 7);
        std::map<std::u16string, int, FullOrder> model;
        auto firstNoCase = [&](const std::u16string& k) {
            for (auto it = model.begin(); it != model.end(); ++it)
                if (EqualNoCase(it->first, k)) return it;
            return model.end();
        };
        for (int step = 0; step < 6000; step++) {
            std::u16string k;
            int len = 1 + (int)(rng() % 3);
            for (int j = 0; j < len; j++) k += parts[rng() % 12];
            bool bCS = rng() % 2 == 0;
            int v = (int)(rng() % 1000);
            int op = (int)(rng() % 6);
            if (step > 4000) op = op < 2 ? op : 3; // mostly removals at the end
            auto it = bCS ? model.find(k) : firstNoCase(k);
            switch (op) {
                case 0:
                case 1: {
                    // The second way places a key after the last entry at once.
                    bool bAdded = false;
                    auto* e = op == 0 ? m.SetAtCS(CWideString(k.data(), (int)k.size()), v, bCS)
                                      : m.GetOrAddCS(CWideString(k.data(), (int)k.size()), bCS, &bAdded, true);
                    ASSERT_NE(e, nullptr);
                    if (op == 1) {
                        ASSERT_EQ(bAdded, it == model.end());
                        e->GetValue() = v;
                    }
                    if (it != model.end()) {
                        ASSERT_EQ(Key(e->GetKey()), it->first);
                        it->second = v;
                    } else {
                        ASSERT_EQ(Key(e->GetKey()), k);
                        model[k] = v;
                    }
                    break;
                }
                case 2: {
                    auto* e = m.LookupCS(k.data(), (int)k.size(), bCS);
                    ASSERT_EQ(e == nullptr, it == model.end())
                        << (bCS ? "cs " : "ci ") << WideToUtf8(k.c_str());
                    if (e) {
                        ASSERT_EQ(Key(e->GetKey()), it->first);
                        ASSERT_EQ(e->GetValue(), it->second);
                    }
                    break;
                }
                default: {
                    bool b = m.RemoveKeyCS(CWideString(k.data(), (int)k.size()), bCS);
                    ASSERT_EQ(b, it != model.end());
                    if (b) model.erase(it);
                    break;
                }
            }
            ASSERT_EQ(m.GetCount(), (int)model.size());
            if (step % 250 == 0) {
                ASSERT_GT(m.CheckTree(), 0) << "step " << step;
                std::vector<std::u16string> want;
                for (auto& p : model) want.push_back(p.first);
                ASSERT_EQ(Keys(m), want);
                std::vector<std::u16string> back;
                for (auto* e = m.GetLast(); e; e = m.GetPrev(e)) back.push_back(Key(e->GetKey()));
                std::reverse(back.begin(), back.end());
                ASSERT_EQ(back, want);
            }
        }
        ASSERT_GE(m.CheckTree(), 0);
    }
}

TEST(CRBLexMap, SequentialInsertAndRemoveKeepBalance) {
    CRBLexMapT<int> m;
    const int n = 5000;
    for (int i = 0; i < n; i++) m.SetAtCS(CWideString::Formatted(u"%05d", i), i, true);
    int h = m.CheckTree();
    ASSERT_GT(h, 0);
    EXPECT_LE(h, 14); // black height <= log2(n + 1)
    // Remove every entry through its pointer, from the middle outwards.
    std::vector<CRBLexMapT<int>::CEntry*> entries;
    for (auto* e = m.GetFirst(); e; e = m.GetNext(e)) entries.push_back(e);
    ASSERT_EQ((int)entries.size(), n);
    for (int i = 0; i < n; i++) {
        int idx = (i % 2) ? n / 2 + i / 2 + 1 : n / 2 - i / 2;
        if (idx < 0 || idx >= n) continue;
        ASSERT_EQ(entries[idx]->GetValue(), idx);
        m.RemoveEntry(entries[idx]);
        entries[idx] = nullptr;
        if (i % 500 == 0) {
            ASSERT_GE(m.CheckTree(), 0);
        }
    }
    for (auto* e : entries)
        if (e) m.RemoveEntry(e);
    EXPECT_TRUE(m.IsEmpty());
    EXPECT_EQ(m.GetFirst(), nullptr);
    EXPECT_EQ(m.GetNext(nullptr), nullptr);
}

TEST(CRBLexMap, ValuesStayInPlaceAndAreDestroyed) {
    {
        CRBLexMapT<Counted> m(3);
        std::vector<std::pair<Counted*, int>> held;
        for (int i = 0; i < 300; i++) {
            auto* e = m.GetOrAddCS(CWideString::Formatted(u"k%d", i), true);
            e->GetValue().n = i;
            held.push_back({&e->GetValue(), i});
        }
        EXPECT_EQ(Counted::s_nLive, 300);
        for (int i = 0; i < 300; i += 3) m.RemoveKeyCS(CWideString::Formatted(u"k%d", i), true);
        EXPECT_EQ(Counted::s_nLive, 200);
        // Reused slots do not disturb the others; the entry of a value is found from it.
        for (int i = 0; i < 50; i++) m.GetOrAddCS(CWideString::Formatted(u"new%d", i), true);
        for (auto& [p, i] : held) {
            if (i % 3 == 0) continue;
            ASSERT_EQ(p->n, i);
            ASSERT_EQ(CRBLexMapT<Counted>::EntryFromValue(p)->GetKey(), CWideString::Formatted(u"k%d", i));
        }
        m.RemoveAll();
        EXPECT_EQ(Counted::s_nLive, 0);
        EXPECT_TRUE(m.IsEmpty());
        m.GetOrAddCS(u"again", false);
        EXPECT_EQ(Counted::s_nLive, 1);
    }
    EXPECT_EQ(Counted::s_nLive, 0);
}

TEST(CRBLexMap, TreeNodeNameAndNestedMaps) {
    // The root lives on the heap, as a tree's root does. A root on the stack
    // lets GCC at -O3 follow TreeNodeName(&root) into the entry header in front
    // of it (-Warray-bounds), a branch that the root's null parent never takes.
    auto pRoot = std::make_unique<Node>();
    Node& root = *pRoot;
    Node* a = root.AddChild(u"a", false);
    ASSERT_NE(a, nullptr);
    Node* x = a->AddChild(u"X", false);
    Node* y = a->AddChild(u"\u00fc", false);
    EXPECT_EQ(root.AddChild(u"A", false), nullptr); // already present ignoring case
    EXPECT_NE(a->AddChild(u"x", true), nullptr);    // a second name in case-sensitive mode
    Node* deep = y->AddChild(u"d", true);
    EXPECT_EQ(TreeNodeName(&root), u"");
    EXPECT_EQ(TreeNodeName<Node>(nullptr), u"");
    EXPECT_EQ(TreeNodeName(a), u"a");
    EXPECT_EQ(TreeNodeName(x), u"X");
    EXPECT_EQ(deep->GetPath(), u"/a/\u00fc/d");
    // Many siblings: names stay right while the parent's map rebalances.
    for (int i = 0; i < 200; i++) a->AddChild(CWideString::Formatted(u"f%03d", i), true);
    EXPECT_EQ(TreeNodeName(x), u"X");
    EXPECT_EQ(TreeNodeName(y), u"\u00fc");
    EXPECT_EQ(a->m_pChildren->GetCount(), 203);
    // Removing a subtree destroys the nested maps (checked by the sanitizers).
    EXPECT_TRUE(root.m_pChildren->RemoveKeyCS(u"A", false));
    EXPECT_TRUE(root.m_pChildren->IsEmpty());
}

TEST(CRBLexMap, EntryIsCompact) {
    // Three links, the key and the value: nothing else per entry.
    EXPECT_EQ(CRBLexMapT<void*>::SlotSize(), 5 * sizeof(void*));
    EXPECT_EQ(CRBLexMapT<int>::SlotSize(), 5 * sizeof(void*));
    EXPECT_EQ(CRBLexMapT<char>::ValueOffset(), 4 * sizeof(void*));
}

// Longer keys with long equal prefixes, case and non-ASCII differences at
// every offset: the map's order and both look-up modes agree with the
// library compare.
TEST(CRBLexMap, LongKeysOrderAsTheLibraryCompare) {
    std::mt19937 rng(11);
    static const char16_t units[] = {u'a', u'A', u'z',   u'Z',   u'0',   u'-',   u'.',   u'_',
                                     u'[', u'`', 0x00e4, 0x00c4, 0x03c3, 0x03a3, 0x00df, 0x0130};
    CRBLexMapT<int> m;
    std::vector<std::u16string> keys;
    for (int i = 0; i < 3000; i++) {
        std::u16string k = (i % 3) ? u"file-0" : u"";
        const int len = (int)(rng() % 14);
        for (int j = 0; j < len; j++) k += units[rng() % (sizeof units / sizeof units[0])];
        if (k.empty()) continue;
        bool bAdded = false;
        m.GetOrAddCS(CWideString(k.data(), (int)k.size()), true, &bAdded);
        if (bAdded) keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end(), FullOrder());
    ASSERT_EQ(Keys(m), keys);
    ASSERT_GT(m.CheckTree(), 0);
    for (int i = 0; i < 2000; i++) {
        std::u16string k = keys[rng() % keys.size()];
        // Change the case of one unit, or probe a key that may be missing.
        const size_t at = rng() % k.size();
        if (i % 2)
            k[at] = (char16_t)ZorUpperUnit(k[at]);
        else
            k[at] = units[rng() % (sizeof units / sizeof units[0])];
        auto* cs = m.LookupCS(k.data(), (int)k.size(), true);
        auto it = std::lower_bound(keys.begin(), keys.end(), k, FullOrder());
        const bool bHave = it != keys.end() && *it == k;
        ASSERT_EQ(cs != nullptr, bHave);
        auto* ci = m.LookupCS(k.data(), (int)k.size(), false);
        auto first = std::find_if(keys.begin(), keys.end(),
                                  [&](const std::u16string& x) { return EqualNoCase(x, k); });
        ASSERT_EQ(ci != nullptr, first != keys.end());
        if (ci) {
            ASSERT_EQ(Key(ci->GetKey()), *first);
        }
    }
}
