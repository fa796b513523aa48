#include "zor-coll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Counts assertion reports while it lives and keeps them out of the trace.
class AssertCounter {
public:
    AssertCounter() : m_nStart(ZorAssertCount()), m_prev(ZorSetAssertHook([](const char*) {})) {}
    ~AssertCounter() { ZorSetAssertHook(m_prev); }
    long Count() const { return ZorAssertCount() - m_nStart; }

private:
    long m_nStart;
    ZorAssertHook m_prev;
};

template <typename T> std::vector<T> ListToVector(const CListT<T>& l) {
    std::vector<T> v;
    for (ZorPosition pos = l.GetHeadPosition(); pos;) v.push_back(l.GetNext(pos));
    return v;
}
template <typename T> std::vector<T> ListToVectorBackwards(const CListT<T>& l) {
    std::vector<T> v;
    for (ZorPosition pos = l.GetTailPosition(); pos;) v.push_back(l.GetPrev(pos));
    std::reverse(v.begin(), v.end());
    return v;
}

} // namespace

// ---------------------------------------------------------------- CArrayT

TEST(CArrayT, DefaultGrowStepIsAnEighthClampedTo4And1024) {
    CArrayT<int> a;
    std::vector<int> caps;
    for (int i = 0; i < 20000; i++) {
        int before = a.GetCapacity();
        a.Add(i);
        if (a.GetCapacity() != before) caps.push_back(a.GetCapacity());
    }
    // 0 -> 4, then +4 until the size reaches 32, then +size/8, at most +1024.
    ASSERT_GE(caps.size(), 10u);
    EXPECT_EQ(caps[0], 4);
    EXPECT_EQ(caps[1], 8);
    int prev = 0;
    for (int c : caps) {
        int step = c - prev;
        int expected = std::clamp(prev / 8, 4, 1024);
        EXPECT_EQ(step, prev == 0 ? 4 : expected) << "at capacity " << prev;
        prev = c;
    }
    EXPECT_EQ(caps.back() - caps[caps.size() - 2], 1024);
    for (int i = 0; i < 20000; i++) ASSERT_EQ(a[i], i);
}

TEST(CArrayT, ExplicitGrowStep) {
    CArrayT<int> a;
    a.SetSize(0, 100);
    a.Add(1);
    EXPECT_EQ(a.GetCapacity(), 100);
    a.SetSize(150);
    EXPECT_EQ(a.GetCapacity(), 200);
    EXPECT_EQ(a.GetSize(), 150);
    EXPECT_EQ(a[149], 0);
}

TEST(CArrayT, RandomOperationsMatchVector) {
    std::mt19937 rng(7);
    CArrayT<CWideString> a;
    std::vector<std::u16string> model;
    for (int step = 0; step < 4000; step++) {
        int op = (int)(rng() % 10);
        std::u16string v = u"v" + std::u16string(1, (char16_t)(u'a' + rng() % 26)) +
                           std::u16string(1, (char16_t)(0x400 + rng() % 64));
        if (op < 4) {
            a.Add(CWideString(v.c_str()));
            model.push_back(v);
        } else if (op < 6) {
            int i = model.empty() ? 0 : (int)(rng() % (model.size() + 1));
            int n = 1 + (int)(rng() % 3);
            a.InsertAt(i, CWideString(v.c_str()), n);
            model.insert(model.begin() + i, n, v);
        } else if (op < 8 && !model.empty()) {
            int i = (int)(rng() % model.size());
            int n = 1 + (int)(rng() % std::min<size_t>(3, model.size() - i));
            a.RemoveAt(i, n);
            model.erase(model.begin() + i, model.begin() + i + n);
        } else if (op == 8 && !model.empty()) {
            // Adding an element of the array itself while it must grow.
            int i = (int)(rng() % model.size());
            a.Add(a[i]);
            model.push_back(model[i]);
        } else if (op == 9 && rng() % 50 == 0) {
            int n = (int)(rng() % 20);
            a.SetSize(n);
            model.resize(n);
        }
        ASSERT_EQ(a.GetSize(), (int)model.size());
    }
    for (size_t i = 0; i < model.size(); i++) EXPECT_EQ(std::u16string(a[(int)i].GetString()), model[i]);
    CArrayT<CWideString> b(a);
    b.Append(b);
    EXPECT_EQ(b.GetSize(), 2 * a.GetSize());
    if (a.GetSize()) {
        EXPECT_EQ(b[a.GetSize()], a[0]);
    }
}

TEST(CArrayT, OutOfRangeIsAnAssertion) {
    AssertCounter ac;
    CArrayT<int> a;
    a.Add(5);
    a.SetAt(3, 9);
    a.RemoveAt(2);
    EXPECT_EQ(a.GetAt(0), 5);
    EXPECT_EQ(ac.Count(), 2);
}

// ---------------------------------------------------------------- CSmallArrayT

TEST(CSmallArrayT, CompactLayoutAndDoublingFromOne) {
    static_assert(sizeof(CSmallArrayT<int>) == sizeof(void*) + 2 * sizeof(uint16_t) ||
                  sizeof(CSmallArrayT<int>) == 2 * sizeof(void*));
    CSmallArrayT<CWideString> a;
    std::vector<int> caps;
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(a.Add(CWideString::Formatted(u"%d", i)), i);
        if (caps.empty() || caps.back() != a.GetCapacity()) caps.push_back(a.GetCapacity());
    }
    EXPECT_EQ(caps, (std::vector<int>{1, 2, 4, 8, 16, 32, 64, 128}));
    EXPECT_EQ(a.ElementAt(42), u"42");
    CSmallArrayT<CWideString> b(a);
    a.RemoveAll();
    EXPECT_EQ(b.GetSize(), 100);
    EXPECT_EQ(b[99], u"99");
}

TEST(CSmallArrayT, RefusesToGrowPast65535) {
    AssertCounter ac;
    CSmallArrayT<uint8_t> a;
    for (int i = 0; i < 65535; i++) ASSERT_EQ(a.Add((uint8_t)i), i);
    EXPECT_EQ(a.GetCapacity(), 65535);
    EXPECT_EQ(ac.Count(), 0);
    EXPECT_EQ(a.Add(1), -1);
    EXPECT_EQ(ac.Count(), 1);
    EXPECT_EQ(a.GetSize(), 65535); // no wrap to 0
    EXPECT_EQ(a[65534], (uint8_t)65534);
    // The element just past the count is not reachable.
    a.ElementAt(65535) = 7;
    EXPECT_EQ(ac.Count(), 2);
    EXPECT_EQ(a[0], 0);
}

TEST(CSmallArrayT, ElementAtPastCountAsserts) {
    AssertCounter ac;
    CSmallArrayT<int> a;
    a.Add(3);
    a.Add(4); // capacity 2
    int& bad = a.ElementAt(2);
    bad = 99;
    EXPECT_EQ(ac.Count(), 1);
    EXPECT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a[1], 4);
    a.ElementAt(-1);
    EXPECT_EQ(ac.Count(), 2);
}

// ---------------------------------------------------------------- CListT

TEST(CListT, OperationsKeepOrder) {
    CListT<CWideString> l;
    EXPECT_TRUE(l.IsEmpty());
    EXPECT_EQ(l.GetHeadPosition(), nullptr);
    ZorPosition pb = l.AddTail(u"b");
    ZorPosition pa = l.AddHead(u"a");
    ZorPosition pc = l.AddTail(u"c");
    EXPECT_EQ(l.GetAt(pa), u"a");
    EXPECT_EQ(l.GetAt(pb), u"b");
    EXPECT_EQ(l.GetHeadPosition(), pa);
    EXPECT_EQ(l.GetTailPosition(), pc);
    EXPECT_EQ(l.GetHead(), u"a");
    EXPECT_EQ(l.GetTail(), u"c");
    EXPECT_EQ(l.GetCount(), 3);
    ZorPosition pos = pb;
    EXPECT_EQ(l.GetPrev(pos), u"b");
    EXPECT_EQ(pos, pa);
    EXPECT_EQ(l.GetNext(pos), u"a");
    EXPECT_EQ(pos, pb);
    EXPECT_EQ(l.RemoveHead(), u"a");
    EXPECT_EQ(l.RemoveTail(), u"c");
    EXPECT_EQ(l.GetCount(), 1);
    l.RemoveAt(pb);
    EXPECT_TRUE(l.IsEmpty());
    EXPECT_EQ(l.GetTailPosition(), nullptr);
    // Usable again after it emptied and released its blocks.
    l.AddTail(u"x");
    EXPECT_EQ(ListToVector(l), std::vector<CWideString>{u"x"_ws});
}

TEST(CListT, FindWalksEveryMatch) {
    CListT<int> l(3);
    for (int v : {1, 2, 1, 3, 1}) l.AddTail(v);
    std::vector<ZorPosition> hits;
    for (ZorPosition p = l.Find(1); p; p = l.Find(1, p)) hits.push_back(p);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[0], l.GetHeadPosition());
    EXPECT_EQ(hits[2], l.GetTailPosition());
    EXPECT_EQ(l.Find(4), nullptr);
    EXPECT_EQ(l.Find(3, hits[2]), nullptr); // nothing after the last match
}

TEST(CListT, NullPositionIsAnAssertion) {
    AssertCounter ac;
    CListT<int> l;
    ZorPosition pos = nullptr;
    EXPECT_EQ(l.GetNext(pos), 0);
    EXPECT_EQ(pos, nullptr);
    EXPECT_EQ(l.GetPrev(pos), 0);
    EXPECT_EQ(l.GetAt(nullptr), 0);
    l.RemoveAt(nullptr);
    EXPECT_EQ(l.RemoveHead(), 0);
    EXPECT_EQ(l.RemoveTail(), 0);
    EXPECT_EQ(l.GetHead(), 0);
    EXPECT_EQ(ac.Count(), 7);
    EXPECT_TRUE(l.IsEmpty());
}

TEST(CListT, RandomOperationsMatchStdList) {
    std::mt19937 rng(11);
    CListT<CNarrowString> l(4);
    std::list<std::string> model;
    std::vector<std::pair<ZorPosition, std::list<std::string>::iterator>> pos; // live positions
    auto dropPos = [&](ZorPosition p) {
        pos.erase(std::remove_if(pos.begin(), pos.end(), [&](auto& e) { return e.first == p; }), pos.end());
    };
    for (int step = 0; step < 5000; step++) {
        std::string v = std::to_string(rng() % 50);
        switch (rng() % 8) {
            case 0:
            case 1:
                pos.push_back({l.AddTail(v.c_str()), model.insert(model.end(), v)});
                break;
            case 2:
                pos.push_back({l.AddHead(v.c_str()), model.insert(model.begin(), v)});
                break;
            case 3:
                if (!model.empty()) {
                    ZorPosition p = l.GetHeadPosition();
                    EXPECT_EQ(std::string(l.RemoveHead().GetString()), model.front());
                    model.pop_front();
                    dropPos(p);
                }
                break;
            case 4:
                if (!model.empty()) {
                    ZorPosition p = l.GetTailPosition();
                    EXPECT_EQ(std::string(l.RemoveTail().GetString()), model.back());
                    model.pop_back();
                    dropPos(p);
                }
                break;
            case 5:
            case 6:
                if (!pos.empty()) {
                    size_t i = rng() % pos.size();
                    EXPECT_EQ(std::string(l.GetAt(pos[i].first).GetString()), *pos[i].second);
                    l.RemoveAt(pos[i].first);
                    model.erase(pos[i].second);
                    pos.erase(pos.begin() + (ptrdiff_t)i);
                }
                break;
            case 7: {
                ZorPosition p = l.Find(v.c_str());
                auto it = std::find(model.begin(), model.end(), v);
                EXPECT_EQ(p == nullptr, it == model.end());
                if (p) {
                    auto e = std::find_if(pos.begin(), pos.end(), [&](auto& x) { return x.first == p; });
                    ASSERT_NE(e, pos.end());
                    EXPECT_EQ(e->second, it);
                }
                break;
            }
        }
        ASSERT_EQ(l.GetCount(), (int)model.size());
        if (step % 97 == 0) {
            std::vector<std::string> got, back;
            for (auto& s : ListToVector(l)) got.emplace_back(s.GetString());
            for (auto& s : ListToVectorBackwards(l)) back.emplace_back(s.GetString());
            std::vector<std::string> want(model.begin(), model.end());
            ASSERT_EQ(got, want);
            ASSERT_EQ(back, want);
        }
    }
    CListT<CNarrowString> copy(l);
    EXPECT_EQ(ListToVector(copy), ListToVector(l));
}

// ---------------------------------------------------------------- CHashMapT

TEST(CHashMapT, KeyHashes) {
    EXPECT_EQ(ZorHashTraits<CNarrowString>::Hash("ab"), 97u * 33 + 98);
    EXPECT_EQ(ZorHashTraits<CNarrowString>::Hash("\xC3\x84"), 0xC3u * 33 + 0x84); // bytes, unsigned
    EXPECT_EQ(ZorHashTraits<CWideString>::Hash(u"\u00c4\u03a3"), 0xC4u * 33 + 0x3A3);
    EXPECT_EQ(ZorHashTraits<uint16_t>::Hash(40000), 40000u);
    EXPECT_EQ(ZorHashTraits<int64_t>::Hash(123456789012LL), (size_t)123456789012LL);
}

TEST(CHashMapT, BinsGrowAndShrinkThroughThePrimeTable) {
    CHashMapT<int, int> m;
    EXPECT_EQ(m.GetBinCount(), 17u);
    for (int i = 0; i < 38; i++) m[i] = i; // 38 = 2.25 * 17, not above it
    EXPECT_EQ(m.GetBinCount(), 17u);
    m[38] = 38; // 39 / 0.75 = 52 -> 53
    EXPECT_EQ(m.GetBinCount(), 53u);
    for (int i = 39; i < 1000; i++) m.SetAt(i, i);
    unsigned nBig = m.GetBinCount();
    EXPECT_GE(nBig, 1000u / 2.25);
    EXPECT_LE(nBig, 1000u / 0.75 * 1.35);
    for (int i = 0; i < 1000; i++) {
        int v = -1;
        ASSERT_TRUE(m.Lookup(i, v));
        ASSERT_EQ(v, i);
    }
    // Shrinks once the load falls below a quarter, never below 17 bins.
    int i = 999;
    while (m.GetCount() >= (int)(nBig / 4)) ASSERT_TRUE(m.RemoveKey(i--));
    EXPECT_LT(m.GetBinCount(), nBig);
    while (m.GetCount() > 1) ASSERT_TRUE(m.RemoveKey(i--));
    EXPECT_EQ(m.GetBinCount(), 17u);
    EXPECT_FALSE(m.RemoveKey(999));
    m.RemoveAll();
    EXPECT_TRUE(m.IsEmpty());
    EXPECT_EQ(m.GetStartPosition(), nullptr);
}

TEST(CHashMapT, IterationIsInBinOrder) {
    CHashMapT<unsigned, int> m;
    for (unsigned k : {20u, 3u, 37u, 5u, 16u, 0u}) m.SetAt(k, (int)k * 10);
    // 17 bins: bin 0 {0}, bin 3 {37, 20, 3 -> newest first}, bin 5 {5}, bin 16 {16}.
    std::vector<unsigned> keys;
    for (ZorPosition pos = m.GetStartPosition(); pos;) {
        unsigned k = m.GetKeyAt(pos);
        EXPECT_EQ(m.GetValueAt(pos), (int)k * 10);
        EXPECT_EQ(m.GetNext(pos)->m_key, k);
        keys.push_back(k);
    }
    EXPECT_EQ(keys, (std::vector<unsigned>{0, 37, 3, 20, 5, 16}));
    // A copy iterates in the same order, also after the source grew.
    for (unsigned k = 100; k < 400; k++) m[k] = 1;
    CHashMapT<unsigned, int> copy(m);
    CHashMapT<unsigned, int> assigned;
    assigned[5] = 5;
    assigned = m;
    EXPECT_EQ(copy.GetBinCount(), m.GetBinCount());
    for (auto* pm : {&copy, &assigned}) {
        ZorPosition a = m.GetStartPosition(), b = pm->GetStartPosition();
        while (a && b) {
            auto* pa = m.GetNext(a);
            auto* pb = pm->GetNext(b);
            ASSERT_EQ(pa->m_key, pb->m_key);
            ASSERT_EQ(pa->m_value, pb->m_value);
        }
        EXPECT_EQ(a, b);
        EXPECT_EQ(pm->GetCount(), m.GetCount());
    }
}

TEST(CHashMapT, RemovingWhileIteratingVisitsEveryPairOnce) {
    // Removing at the current position must not rehash under the walk, or
    // pairs would be skipped or seen twice.
    CHashMapT<int, int> m;
    for (int i = 0; i < 2000; i++) m[i] = i;
    std::set<int> seen;
    for (ZorPosition pos = m.GetStartPosition(); pos;) {
        ZorPosition cur = pos;
        int k = m.GetNext(pos)->m_key;
        EXPECT_TRUE(seen.insert(k).second) << "seen twice: " << k;
        if (k % 10 != 0) m.RemoveAtPos(cur);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(m.GetCount(), 200);
    // The next plain removal shrinks the bins.
    unsigned n = m.GetBinCount();
    m.RemoveKey(0);
    EXPECT_LT(m.GetBinCount(), n);
    int v;
    EXPECT_TRUE(m.Lookup(1990, v));
    EXPECT_FALSE(m.Lookup(1991, v));
}

TEST(CHashMapT, RandomOperationsMatchUnorderedMap) {
    std::mt19937 rng(5);
    CHashMapT<CWideString, CNarrowString> m(17, 0.75f, 0.25f, 2.25f, 10);
    std::unordered_map<std::u16string, std::string> model;
    static const char16_t* const parts[] = {u"a",      u"A",      u"\u00e4", u"\u00c4",
                                            u"\u03c3", u"\u03a3", u"\u03c2", u"x"};
    for (int step = 0; step < 20000; step++) {
        std::u16string k;
        int len = 1 + (int)(rng() % 3);
        for (int j = 0; j < len; j++) k += parts[rng() % 8];
        if (rng() % 5 == 0) k += std::u16string(1, (char16_t)(u'0' + rng() % 10));
        CWideString wk(k.c_str());
        std::string v = std::to_string(rng());
        int op = (int)(rng() % 10);
        if (step > 12000) op = op < 3 ? op : 4; // drain
        switch (op) {
            case 0:
                m.SetAt(wk, v.c_str());
                model[k] = v;
                break;
            case 1:
                m[wk] += "+";
                model[k] += "+";
                break;
            case 2: {
                CNarrowString got = "unchanged";
                bool b = m.Lookup(wk, got);
                auto it = model.find(k);
                ASSERT_EQ(b, it != model.end());
                if (b)
                    ASSERT_EQ(std::string(got.GetString()), it->second);
                else
                    ASSERT_EQ(got, "unchanged");
                break;
            }
            default:
                ASSERT_EQ(m.RemoveKey(wk), model.erase(k) == 1);
                break;
        }
        ASSERT_EQ(m.GetCount(), (int)model.size());
        ASSERT_EQ(m.IsEmpty(), model.empty());
        if (step % 500 == 0) {
            size_t n = 0;
            for (ZorPosition pos = m.GetStartPosition(); pos; n++) {
                auto* p = m.GetNext(pos);
                auto it = model.find(std::u16string(p->m_key.GetString()));
                ASSERT_NE(it, model.end());
                ASSERT_EQ(std::string(p->m_value.GetString()), it->second);
            }
            ASSERT_EQ(n, model.size());
            // The load stays within the thresholds.
            if (!model.empty()) {
                ASSERT_LE(model.size(), 2.25 * m.GetBinCount());
            }
        }
    }
}

TEST(CHashMapT, NullPositionIsAnAssertion) {
    AssertCounter ac;
    CHashMapT<int, int> m;
    ZorPosition pos = nullptr;
    EXPECT_EQ(m.GetNext(pos), nullptr);
    EXPECT_EQ(m.GetValueAt(nullptr), 0);
    m.RemoveAtPos(nullptr);
    EXPECT_EQ(ac.Count(), 3);
}

TEST(CHashMapT, ValuesAreDestroyed) {
    // Strings as values and keys: leaks would show under the sanitizers.
    CHashMapT<CNarrowString, CListT<CWideString>> m;
    for (int i = 0; i < 100; i++) m[CNarrowString::Formatted("k%d", i % 30)].AddTail(u"label");
    EXPECT_EQ(m.GetCount(), 30);
    CListT<CWideString>* pl = nullptr;
    auto* p = m.LookupPair("k3");
    ASSERT_NE(p, nullptr);
    pl = &p->m_value;
    EXPECT_EQ(pl->GetCount(), 4);
    m.RemoveKey("k3");
    EXPECT_EQ(m.LookupPair("k3"), nullptr);
}
