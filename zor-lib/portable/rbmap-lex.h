// CRBLexMapT: an ordered map (red-black tree) from a wide-string name to a
// value held inside the entry. It holds the children of every node of a sync
// tree, so an entry is kept small: three links (the colour is the low bit of
// the parent link), the key (one pointer to a shared string buffer) and the
// value.
//
// Key order: the library's case fold (CompareNoCaseThenCase of zor-string.h);
// keys that are equal ignoring case are ordered by their exact UTF-16 units.
// Look-up and insertion take a case-sensitive flag:
//   - case-sensitive: keys match only when their units are equal, so "A" and
//     "a" are two entries (with "A" first);
//   - case-insensitive: a key matches every entry equal to it ignoring case,
//     and a look-up gives the FIRST of them in key order.
//
// Entries come nGrowBy at a time from blocks (CPlexBlock) and are recycled
// through a free list; the blocks are released by RemoveAll and by the
// destructor. Entry pointers stay valid until their entry is removed, and a
// value never moves while its entry exists.
//
// Tree node names. A sync-tree node does not store its own name: the node is
// the value of an entry in its parent's child map (a CRBLexMapT of the node
// type), and its name is that entry's key. TreeNodeName(pNode) gives it:
// for a node type TNode with a GetParent() member, a node with a parent must
// live as the value of a CRBLexMapT<TNode> entry; a node without a parent
// (the root, or a node not linked into a tree) has an empty name. The tree
// may also keep entry pointers itself and read CEntry::GetKey directly.
#pragma once

#include "zor-coll.h"
#include "zor-debug.h"
#include "zor-fold.h"
#include "zor-string.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

template <typename V> class CRBLexMapT {
public:
    // One entry. The value is stored right after this header, in the same slot.
    class CEntry {
    public:
        const CWideString& GetKey() const { return m_sKey; }
        V& GetValue() { return *std::launder((V*)((char*)this + ValueOffset())); }
        const V& GetValue() const { return *std::launder((const V*)((const char*)this + ValueOffset())); }

    private:
        friend class CRBLexMapT;
        CEntry* m_pLeft;
        CEntry* m_pRight;
        uintptr_t m_nParentColor; // parent pointer | 1 when red
        CWideString m_sKey;

        CEntry* Parent() const { return (CEntry*)(m_nParentColor & ~(uintptr_t)1); }
        bool IsRed() const { return (m_nParentColor & 1) != 0; }
        void SetParent(CEntry* p) { m_nParentColor = (uintptr_t)p | (m_nParentColor & 1); }
        void SetRed(bool bRed) { m_nParentColor = (m_nParentColor & ~(uintptr_t)1) | (bRed ? 1 : 0); }
    };

    // Offset of the value inside an entry slot, and the size of one slot.
    static constexpr size_t ValueOffset() {
        return (sizeof(CEntry) + alignof(V) - 1) / alignof(V) * alignof(V);
    }
    static constexpr size_t SlotSize() {
        constexpr size_t a = alignof(V) > alignof(CEntry) ? alignof(V) : alignof(CEntry);
        return (ValueOffset() + sizeof(V) + a - 1) / a * a;
    }

    explicit CRBLexMapT(int nGrowBy = 10) : m_nGrowBy(nGrowBy > 0 ? nGrowBy : 10) {
        static_assert(alignof(V) <= alignof(CPlexBlock), "value alignment above the block alignment");
    }
    CRBLexMapT(const CRBLexMapT&) = delete;
    CRBLexMapT& operator=(const CRBLexMapT&) = delete;
    ~CRBLexMapT() { RemoveAll(); }

    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    // Counts every change of the map's entries (an added or removed entry,
    // RemoveAll): whoever keeps entries of the map aside knows by it whether
    // they still stand for the map as it is.
    uint64_t GetGeneration() const { return m_nGeneration; }

    // The first entry in key order that matches the key in the given mode; null when none.
    CEntry* LookupCS(const char16_t* key, int nLen, bool bCaseSensitive) const {
        CEntry* x = m_pRoot;
        CEntry* pFound = nullptr;
        while (x) {
            int c = Compare(key, nLen, x->m_sKey, bCaseSensitive);
            if (c < 0) {
                x = x->m_pLeft;
            } else if (c > 0) {
                x = x->m_pRight;
            } else {
                if (bCaseSensitive) return x;
                pFound = x;
                x = x->m_pLeft; // an earlier entry may match too
            }
        }
        return pFound;
    }
    CEntry* LookupCS(const CWideString& key, bool bCaseSensitive) const {
        return LookupCS(key.GetString(), key.GetLength(), bCaseSensitive);
    }
    CEntry* LookupCS(const char16_t* key, bool bCaseSensitive) const {
        return LookupCS(key, ZorStrLen(key), bCaseSensitive);
    }

    // The entry matching the key in the given mode (the first one, as
    // LookupCS), or a new entry with a default-constructed value. *pbAdded
    // tells which. Null (after an out-of-memory report) when no entry block
    // can be allocated.
    // With bLikelyLast (keys added in key order) a key that sorts after the
    // last entry is placed by one comparison: it matches none and belongs at
    // the last entry's right, where the descent would end.
    CEntry* GetOrAddCS(const CWideString& key, bool bCaseSensitive, bool* pbAdded = nullptr,
                       bool bLikelyLast = false) {
        if (pbAdded) *pbAdded = false;
        CEntry* pParent = nullptr;
        bool bLeft = false;
        CEntry* pLast = bLikelyLast && m_pRoot ? Max(m_pRoot) : nullptr;
        if (pLast && Compare(key.GetString(), key.GetLength(), pLast->m_sKey, bCaseSensitive) > 0) {
            pParent = pLast;
        } else if (CEntry* pFound = FindSlot(key, bCaseSensitive, pParent, bLeft)) {
            return pFound;
        }
        CEntry* e = NewEntry(key);
        if (!e) return nullptr;
        Link(e, pParent, bLeft);
        if (pbAdded) *pbAdded = true;
        return e;
    }
    // Inserts the key with a copy of the value, or assigns the value to the
    // entry that matches in the given mode. Null when out of memory.
    CEntry* SetAtCS(const CWideString& key, const V& value, bool bCaseSensitive) {
        CEntry* e = GetOrAddCS(key, bCaseSensitive);
        if (e) e->GetValue() = value;
        return e;
    }

    // Removes one entry (destroying its key and value).
    void RemoveEntry(CEntry* z) {
        if (!z) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CRBLexMapT::RemoveEntry: null entry");
            return;
        }
        Erase(z);
        FreeEntry(z);
        if (m_nCount == 0) ReleaseBlocks();
    }
    // Removes the entry matching the key (the first one in case-insensitive
    // mode); false when there is none.
    bool RemoveKeyCS(const CWideString& key, bool bCaseSensitive) {
        CEntry* e = LookupCS(key, bCaseSensitive);
        if (!e) return false;
        RemoveEntry(e);
        return true;
    }
    // Destroys every entry and releases the blocks.
    void RemoveAll() {
        CEntry* pRoot = m_pRoot;
        m_pRoot = nullptr;
        DestroySubtree(pRoot);
        m_nCount = 0;
        m_nGeneration++;
        ReleaseBlocks();
    }

    // In-order iteration.
    CEntry* GetFirst() const { return m_pRoot ? Min(m_pRoot) : nullptr; }
    CEntry* GetLast() const { return m_pRoot ? Max(m_pRoot) : nullptr; }
    static CEntry* GetNext(const CEntry* e) {
        if (!e) return nullptr;
        if (e->m_pRight) return Min(e->m_pRight);
        CEntry* p = e->Parent();
        while (p && e == p->m_pRight) {
            e = p;
            p = p->Parent();
        }
        return p;
    }
    static CEntry* GetPrev(const CEntry* e) {
        if (!e) return nullptr;
        if (e->m_pLeft) return Max(e->m_pLeft);
        CEntry* p = e->Parent();
        while (p && e == p->m_pLeft) {
            e = p;
            p = p->Parent();
        }
        return p;
    }

    // Asks for the slots a few places after e's. Entries added in key order
    // (most maps) lie one slot after another in their blocks, so a walk in
    // key order finds its next entries in cache; a wrong guess costs nothing.
    static void PrefetchFollowing(const CEntry* e) {
        const char* p = (const char*)e + kPrefetchSlots * SlotSize();
        for (size_t o = 0; o < SlotSize(); o += 64) __builtin_prefetch(p + o);
    }

    // Every entry, in no useful order (level by level), appended to out. The
    // links of the entries still to visit are known ahead, so their loads
    // overlap, where the walk in key order waits for each link in turn.
    void CollectEntries(std::vector<CEntry*>& out) const {
        if (!m_pRoot) return;
        size_t i = out.size();
        out.reserve(i + (size_t)m_nCount);
        out.push_back(m_pRoot);
        for (; i < out.size(); i++) {
            const CEntry* e = out[i];
            for (CEntry* c : {e->m_pLeft, e->m_pRight}) {
                if (!c) continue;
                __builtin_prefetch(c);
                out.push_back(c);
            }
        }
    }

    // The entry that holds a value of this map.
    static CEntry* EntryFromValue(const V* pValue) {
        return pValue ? (CEntry*)((char*)const_cast<V*>(pValue) - ValueOffset()) : nullptr;
    }

    // Checks the red-black rules, the links and the key order; returns the
    // black height, or -1 when the tree is broken. For tests.
    int CheckTree() const {
        if (m_pRoot && (m_pRoot->IsRed() || m_pRoot->Parent())) return -1;
        int n = 0;
        int h = CheckSubtree(m_pRoot, n);
        if (n != m_nCount) return -1;
        for (CEntry *e = GetFirst(), *p = nullptr; e; p = e, e = GetNext(e))
            if (p && Compare(p->m_sKey.GetString(), p->m_sKey.GetLength(), e->m_sKey, true) >= 0) return -1;
        return h;
    }

private:
    static constexpr size_t kPrefetchSlots = 3;
    CEntry* m_pRoot = nullptr;
    CEntry* m_pFree = nullptr;
    CPlexBlock* m_pBlocks = nullptr;
    int m_nCount = 0;
    int m_nGrowBy;
    uint64_t m_nGeneration = 0;

    // The same result as CompareNoCaseThenCase (zor-string.h), computed in
    // one pass: equal units are skipped four at a time, ASCII units fold
    // inline, and the first exact difference is kept for the case-sensitive
    // tie-break (only reached when the folded keys are equal, so of equal
    // length).
    static int Compare(const char16_t* a, int na, const CWideString& sb, bool bCaseSensitive) {
        const char16_t* b = sb.GetString();
        const int nb = sb.GetLength();
        const int n = na < nb ? na : nb;
        int nExact = 0;
        for (int i = ZorSkipEqualUnits4(a, b, n); i < n; i++) {
            const unsigned ca = a[i], cb = b[i];
            if (ca == cb) continue;
            const unsigned fa = ZorFoldNameUnit(ca), fb = ZorFoldNameUnit(cb);
            if (fa != fb) return (int)fa - (int)fb;
            if (nExact == 0) nExact = (int)ca - (int)cb;
        }
        if (na != nb) return na < nb ? -1 : 1;
        return bCaseSensitive ? nExact : 0;
    }
    static CEntry* Min(CEntry* e) {
        while (e->m_pLeft) e = e->m_pLeft;
        return e;
    }
    static CEntry* Max(CEntry* e) {
        while (e->m_pRight) e = e->m_pRight;
        return e;
    }

    // One descent: the matching entry, or null with the place where the key
    // belongs. Without a match in case-insensitive mode no comparison on the
    // path is equal, and the case-insensitive order agrees there with the
    // full order that places the key.
    CEntry* FindSlot(const CWideString& key, bool bCaseSensitive, CEntry*& pParent, bool& bLeft) const {
        const char16_t* k = key.GetString();
        int n = key.GetLength();
        CEntry* x = m_pRoot;
        CEntry* pFound = nullptr;
        pParent = nullptr;
        bLeft = false;
        while (x) {
            int c = Compare(k, n, x->m_sKey, bCaseSensitive);
            if (c == 0) {
                if (bCaseSensitive) return x;
                pFound = x;
                x = x->m_pLeft;
                continue;
            }
            pParent = x;
            bLeft = c < 0;
            x = bLeft ? x->m_pLeft : x->m_pRight;
        }
        return pFound;
    }

    CEntry* NewEntry(const CWideString& key) {
        if (!m_pFree) {
            CPlexBlock* b = CPlexBlock::Create(m_pBlocks, (size_t)m_nGrowBy, SlotSize());
            if (!b) {
                ZorAssertFailed(__FILE__, __LINE__, ZEK_NO_MEMORY, "CRBLexMapT: out of memory");
                return nullptr;
            }
            char* p = (char*)b->data();
            for (int i = m_nGrowBy - 1; i >= 0; i--) {
                auto* e = (CEntry*)(p + (size_t)i * SlotSize());
                e->m_pLeft = m_pFree;
                m_pFree = e;
            }
        }
        CEntry* e = m_pFree;
        CEntry* pNextFree = e->m_pLeft;
        ::new ((char*)e + ValueOffset()) V(); // may throw: the slot stays free
        m_pFree = pNextFree;
        ::new (&e->m_sKey) CWideString(key); // shares the buffer; does not throw
        e->m_pLeft = e->m_pRight = nullptr;
        e->m_nParentColor = 0;
        m_nCount++;
        m_nGeneration++;
        return e;
    }
    void FreeEntry(CEntry* e) {
        e->GetValue().~V();
        e->m_sKey.~CWideString();
        e->m_pLeft = m_pFree;
        m_pFree = e;
        m_nCount--;
        m_nGeneration++;
    }
    void ReleaseBlocks() {
        if (m_nCount != 0) return;
        m_pFree = nullptr;
        if (m_pBlocks) m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
    }
    void DestroySubtree(CEntry* e) {
        // Recursion depth is the tree height (at most 2 log2 n).
        if (!e) return;
        DestroySubtree(e->m_pLeft);
        DestroySubtree(e->m_pRight);
        e->GetValue().~V();
        e->m_sKey.~CWideString();
    }

    void RotateLeft(CEntry* x) {
        CEntry* y = x->m_pRight;
        x->m_pRight = y->m_pLeft;
        if (y->m_pLeft) y->m_pLeft->SetParent(x);
        CEntry* p = x->Parent();
        y->SetParent(p);
        if (!p)
            m_pRoot = y;
        else if (x == p->m_pLeft)
            p->m_pLeft = y;
        else
            p->m_pRight = y;
        y->m_pLeft = x;
        x->SetParent(y);
    }
    void RotateRight(CEntry* x) {
        CEntry* y = x->m_pLeft;
        x->m_pLeft = y->m_pRight;
        if (y->m_pRight) y->m_pRight->SetParent(x);
        CEntry* p = x->Parent();
        y->SetParent(p);
        if (!p)
            m_pRoot = y;
        else if (x == p->m_pRight)
            p->m_pRight = y;
        else
            p->m_pLeft = y;
        y->m_pRight = x;
        x->SetParent(y);
    }

    void Link(CEntry* z, CEntry* pParent, bool bLeft) {
        z->m_nParentColor = (uintptr_t)pParent | 1; // red
        if (!pParent)
            m_pRoot = z;
        else if (bLeft)
            pParent->m_pLeft = z;
        else
            pParent->m_pRight = z;
        CEntry* p;
        while ((p = z->Parent()) && p->IsRed()) {
            CEntry* g = p->Parent(); // a red parent is never the root
            if (p == g->m_pLeft) {
                CEntry* u = g->m_pRight;
                if (u && u->IsRed()) {
                    p->SetRed(false);
                    u->SetRed(false);
                    g->SetRed(true);
                    z = g;
                    continue;
                }
                if (z == p->m_pRight) {
                    RotateLeft(p);
                    z = p;
                    p = z->Parent();
                }
                p->SetRed(false);
                g->SetRed(true);
                RotateRight(g);
            } else {
                CEntry* u = g->m_pLeft;
                if (u && u->IsRed()) {
                    p->SetRed(false);
                    u->SetRed(false);
                    g->SetRed(true);
                    z = g;
                    continue;
                }
                if (z == p->m_pLeft) {
                    RotateRight(p);
                    z = p;
                    p = z->Parent();
                }
                p->SetRed(false);
                g->SetRed(true);
                RotateLeft(g);
            }
        }
        m_pRoot->SetRed(false);
    }

    void Transplant(CEntry* u, CEntry* v) {
        CEntry* p = u->Parent();
        if (!p)
            m_pRoot = v;
        else if (u == p->m_pLeft)
            p->m_pLeft = v;
        else
            p->m_pRight = v;
        if (v) v->SetParent(p);
    }
    static bool IsRed(const CEntry* e) { return e && e->IsRed(); }

    // Unlinks z from the tree and rebalances. Other entries keep their slots.
    void Erase(CEntry* z) {
        CEntry* x;
        CEntry* xParent;
        bool bRemovedBlack = !z->IsRed();
        if (!z->m_pLeft) {
            x = z->m_pRight;
            xParent = z->Parent();
            Transplant(z, x);
        } else if (!z->m_pRight) {
            x = z->m_pLeft;
            xParent = z->Parent();
            Transplant(z, x);
        } else {
            CEntry* y = Min(z->m_pRight);
            bRemovedBlack = !y->IsRed();
            x = y->m_pRight;
            if (y->Parent() == z) {
                xParent = y;
            } else {
                xParent = y->Parent();
                Transplant(y, x);
                y->m_pRight = z->m_pRight;
                y->m_pRight->SetParent(y);
            }
            Transplant(z, y);
            y->m_pLeft = z->m_pLeft;
            y->m_pLeft->SetParent(y);
            y->SetRed(z->IsRed());
        }
        if (bRemovedBlack) EraseFixup(x, xParent);
    }
    void EraseFixup(CEntry* x, CEntry* xParent) {
        while (x != m_pRoot && !IsRed(x)) {
            if (x == xParent->m_pLeft) {
                CEntry* w = xParent->m_pRight;
                if (w->IsRed()) {
                    w->SetRed(false);
                    xParent->SetRed(true);
                    RotateLeft(xParent);
                    w = xParent->m_pRight;
                }
                if (!IsRed(w->m_pLeft) && !IsRed(w->m_pRight)) {
                    w->SetRed(true);
                    x = xParent;
                    xParent = x->Parent();
                } else {
                    if (!IsRed(w->m_pRight)) {
                        w->m_pLeft->SetRed(false);
                        w->SetRed(true);
                        RotateRight(w);
                        w = xParent->m_pRight;
                    }
                    w->SetRed(xParent->IsRed());
                    xParent->SetRed(false);
                    w->m_pRight->SetRed(false);
                    RotateLeft(xParent);
                    x = m_pRoot;
                    break;
                }
            } else {
                CEntry* w = xParent->m_pLeft;
                if (w->IsRed()) {
                    w->SetRed(false);
                    xParent->SetRed(true);
                    RotateRight(xParent);
                    w = xParent->m_pLeft;
                }
                if (!IsRed(w->m_pLeft) && !IsRed(w->m_pRight)) {
                    w->SetRed(true);
                    x = xParent;
                    xParent = x->Parent();
                } else {
                    if (!IsRed(w->m_pLeft)) {
                        w->m_pRight->SetRed(false);
                        w->SetRed(true);
                        RotateLeft(w);
                        w = xParent->m_pLeft;
                    }
                    w->SetRed(xParent->IsRed());
                    xParent->SetRed(false);
                    w->m_pLeft->SetRed(false);
                    RotateRight(xParent);
                    x = m_pRoot;
                    break;
                }
            }
        }
        if (x) x->SetRed(false);
    }

    int CheckSubtree(const CEntry* e, int& n) const {
        if (!e) return 1;
        n++;
        if (e->m_pLeft && e->m_pLeft->Parent() != e) return -1;
        if (e->m_pRight && e->m_pRight->Parent() != e) return -1;
        if (e->IsRed() && (IsRed(e->m_pLeft) || IsRed(e->m_pRight))) return -1;
        int hl = CheckSubtree(e->m_pLeft, n);
        int hr = CheckSubtree(e->m_pRight, n);
        if (hl < 0 || hr < 0 || hl != hr) return -1;
        return hl + (e->IsRed() ? 0 : 1);
    }
};

// The name of a tree node: the key of its entry in its parent's child map
// (a CRBLexMapT<TNode> that holds the node by value); empty for a null node
// and for a node without a parent.
template <typename TNode> CWideString TreeNodeName(const TNode* pNode) {
    if (!pNode || !pNode->GetParent()) return CWideString();
    return CRBLexMapT<TNode>::EntryFromValue(pNode)->GetKey();
}
