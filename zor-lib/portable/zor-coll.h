// Collections of the foundation library: the growable arrays CArrayT and
// CSmallArrayT, the doubly linked list CListT and the chained hash map
// CHashMapT. List and map nodes come from blocks (CPlexBlock) and are
// recycled through a free list; the blocks go back to the heap when the
// container becomes empty.
//
// Programming errors (a null position, an index past the end, removing from
// an empty list) are reported through ZOR_ASSERT and then handled without
// touching memory that is not ours. Running out of memory is the out-of-memory
// failure of the library: an assertion report followed by std::bad_alloc, as
// the strings do.
#pragma once

#include "zor-debug.h"
#include "zor-string.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// An opaque position inside a list or a hash map; null means "none".
struct ZorPositionTag;
using ZorPosition = ZorPositionTag*;

namespace zor_detail {
// Reports the out-of-memory failure and throws std::bad_alloc.
[[noreturn]] void CollOutOfMemory(const char* file, int line);
// Smallest bin count of the fixed prime table that is >= n (the largest one
// when n is beyond the table).
size_t PickHashBinCount(size_t n);
} // namespace zor_detail

// ---------------------------------------------------------------- CPlexBlock
// A raw block of nMax elements of cbElement bytes, chained to the blocks
// allocated before it. The element storage is aligned for any type.
struct alignas(std::max_align_t) CPlexBlock {
    CPlexBlock* m_pNext;

    void* data() { return this + 1; }
    // Allocates a block and puts it at the front of the chain; null when the
    // heap is exhausted or the size overflows.
    static CPlexBlock* Create(CPlexBlock*& pHead, size_t nMax, size_t cbElement);
    // Frees this block and every block after it.
    void FreeDataChain();
};

// ---------------------------------------------------------------- CArrayT
// A growable array. With no grow step (nGrowBy -1 or 0) the array grows by an
// eighth of its size, at least 4 and at most 1024 elements at a time.
template <typename T> class CArrayT {
public:
    CArrayT() = default;
    CArrayT(const CArrayT& src) { Copy(src); }
    CArrayT(CArrayT&& src) noexcept { Swap(src); }
    ~CArrayT() { FreeAll(); }
    CArrayT& operator=(const CArrayT& src) {
        if (this != &src) Copy(src);
        return *this;
    }
    CArrayT& operator=(CArrayT&& src) noexcept {
        if (this != &src) {
            FreeAll();
            Swap(src);
        }
        return *this;
    }

    int GetSize() const { return m_nSize; }
    int GetCount() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }
    int GetUpperBound() const { return m_nSize - 1; }
    T* GetData() { return m_pData; }
    const T* GetData() const { return m_pData; }

    // Resizes to nNewSize elements (new ones default-constructed); nGrowBy,
    // when not -1, becomes the grow step.
    void SetSize(int nNewSize, int nGrowBy = -1);
    void RemoveAll() { SetSize(0); }

    T& ElementAt(int i) {
        ZOR_ASSERT(i >= 0 && i < m_nSize);
        return m_pData[Clamp(i)];
    }
    const T& GetAt(int i) const {
        ZOR_ASSERT(i >= 0 && i < m_nSize);
        return m_pData[Clamp(i)];
    }
    void SetAt(int i, const T& v) {
        ZOR_ASSERT(i >= 0 && i < m_nSize);
        if (i >= 0 && i < m_nSize) m_pData[i] = v;
    }
    T& operator[](int i) { return ElementAt(i); }
    const T& operator[](int i) const { return GetAt(i); }

    // Appends a copy; returns its index.
    int Add(const T& v) {
        if (m_nSize == m_nMaxSize) {
            T copy(v); // v may live inside this array
            Reserve(NextCapacity(m_nSize + 1));
            ::new ((void*)(m_pData + m_nSize)) T(std::move(copy));
        } else {
            ::new ((void*)(m_pData + m_nSize)) T(v);
        }
        return m_nSize++;
    }
    int Add(T&& v) {
        if (m_nSize == m_nMaxSize) {
            T tmp(std::move(v));
            Reserve(NextCapacity(m_nSize + 1));
            ::new ((void*)(m_pData + m_nSize)) T(std::move(tmp));
        } else {
            ::new ((void*)(m_pData + m_nSize)) T(std::move(v));
        }
        return m_nSize++;
    }
    // Appends every element of src; returns the index of the first one.
    int Append(const CArrayT& src) {
        int nOld = m_nSize;
        if (&src == this) {
            CArrayT copy(src);
            return Append(copy);
        }
        Reserve(NextCapacity(m_nSize + src.m_nSize));
        for (int i = 0; i < src.m_nSize; i++) ::new ((void*)(m_pData + m_nSize + i)) T(src.m_pData[i]);
        m_nSize += src.m_nSize;
        return nOld;
    }
    void Copy(const CArrayT& src) {
        if (&src == this) return;
        SetSize(0);
        Append(src);
    }
    // Inserts nCount copies of v before index i (0 <= i <= size).
    void InsertAt(int i, const T& v, int nCount = 1);
    // Removes nCount elements from index i.
    void RemoveAt(int i, int nCount = 1);

    T* begin() { return m_pData; }
    T* end() { return m_pData + m_nSize; }
    const T* begin() const { return m_pData; }
    const T* end() const { return m_pData + m_nSize; }

    // Capacity, for tests and diagnostics.
    int GetCapacity() const { return m_nMaxSize; }
    // The capacity the array takes when it must hold nNeeded elements.
    int NextCapacity(int nNeeded) const {
        if (nNeeded <= m_nMaxSize) return m_nMaxSize;
        int nGrow = m_nGrowBy;
        if (nGrow <= 0) {
            nGrow = m_nSize / 8;
            if (nGrow < 4) nGrow = 4;
            if (nGrow > 1024) nGrow = 1024;
        }
        int64_t n = (int64_t)m_nMaxSize + nGrow;
        if (n < nNeeded) n = nNeeded;
        if (n > INT32_MAX) n = INT32_MAX;
        return (int)n;
    }

private:
    T* m_pData = nullptr;
    int m_nSize = 0;
    int m_nMaxSize = 0;
    int m_nGrowBy = -1;

    int Clamp(int i) const { return i < 0 ? 0 : (i >= m_nSize ? m_nSize - 1 : i); }
    void Swap(CArrayT& o) noexcept {
        std::swap(m_pData, o.m_pData);
        std::swap(m_nSize, o.m_nSize);
        std::swap(m_nMaxSize, o.m_nMaxSize);
        std::swap(m_nGrowBy, o.m_nGrowBy);
    }
    void Reserve(int nCap) {
        if (nCap <= m_nMaxSize) return;
        if ((size_t)nCap > SIZE_MAX / sizeof(T)) zor_detail::CollOutOfMemory(__FILE__, __LINE__);
        T* p = (T*)::operator new(sizeof(T) * (size_t)nCap, std::align_val_t(alignof(T)), std::nothrow);
        if (!p) zor_detail::CollOutOfMemory(__FILE__, __LINE__);
        if (m_pData) {
            std::uninitialized_move(m_pData, m_pData + m_nSize, p);
            std::destroy(m_pData, m_pData + m_nSize);
            ::operator delete(m_pData, std::align_val_t(alignof(T)));
        }
        m_pData = p;
        m_nMaxSize = nCap;
    }
    void FreeAll() {
        if (m_pData) {
            std::destroy(m_pData, m_pData + m_nSize);
            ::operator delete(m_pData, std::align_val_t(alignof(T)));
        }
        m_pData = nullptr;
        m_nSize = m_nMaxSize = 0;
    }
};

template <typename T> void CArrayT<T>::SetSize(int nNewSize, int nGrowBy) {
    ZOR_ASSERT(nNewSize >= 0);
    if (nNewSize < 0) nNewSize = 0;
    if (nGrowBy != -1) m_nGrowBy = nGrowBy;
    if (nNewSize == 0) {
        FreeAll();
        return;
    }
    if (nNewSize < m_nSize) {
        std::destroy(m_pData + nNewSize, m_pData + m_nSize);
        m_nSize = nNewSize;
        return;
    }
    Reserve(NextCapacity(nNewSize));
    for (int i = m_nSize; i < nNewSize; i++) ::new ((void*)(m_pData + i)) T();
    m_nSize = nNewSize;
}

template <typename T> void CArrayT<T>::InsertAt(int i, const T& v, int nCount) {
    ZOR_ASSERT(i >= 0 && i <= m_nSize && nCount >= 0);
    if (i < 0 || i > m_nSize || nCount <= 0) return;
    T copy(v);
    Reserve(NextCapacity(m_nSize + nCount));
    // Move the tail up by nCount, back to front, into raw memory first.
    for (int k = m_nSize - 1; k >= i; k--) {
        ::new ((void*)(m_pData + k + nCount)) T(std::move(m_pData[k]));
        m_pData[k].~T();
    }
    for (int k = 0; k < nCount; k++) ::new ((void*)(m_pData + i + k)) T(copy);
    m_nSize += nCount;
}

template <typename T> void CArrayT<T>::RemoveAt(int i, int nCount) {
    ZOR_ASSERT(i >= 0 && nCount >= 0 && i + nCount <= m_nSize);
    if (i < 0 || nCount <= 0 || i >= m_nSize) return;
    if (nCount > m_nSize - i) nCount = m_nSize - i;
    std::move(m_pData + i + nCount, m_pData + m_nSize, m_pData + i);
    std::destroy(m_pData + m_nSize - nCount, m_pData + m_nSize);
    m_nSize -= nCount;
}

// ---------------------------------------------------------------- CSmallArrayT
// A compact array: one element pointer, a 16-bit count and a 16-bit capacity.
// The capacity doubles from 1. It holds at most 65,535 elements: a further Add
// is an assertion report and fails (returns -1) instead of wrapping the count.
template <typename T> class CSmallArrayT {
public:
    static constexpr int kMaxCount = 65535;

    CSmallArrayT() = default;
    CSmallArrayT(const CSmallArrayT& src) { CopyFrom(src); }
    CSmallArrayT(CSmallArrayT&& src) noexcept
        : m_pData(src.m_pData), m_nCount(src.m_nCount), m_nCapacity(src.m_nCapacity) {
        src.m_pData = nullptr;
        src.m_nCount = src.m_nCapacity = 0;
    }
    ~CSmallArrayT() { RemoveAll(); }
    CSmallArrayT& operator=(const CSmallArrayT& src) {
        if (this != &src) {
            RemoveAll();
            CopyFrom(src);
        }
        return *this;
    }
    CSmallArrayT& operator=(CSmallArrayT&& src) noexcept {
        if (this != &src) {
            RemoveAll();
            std::swap(m_pData, src.m_pData);
            std::swap(m_nCount, src.m_nCount);
            std::swap(m_nCapacity, src.m_nCapacity);
        }
        return *this;
    }

    int GetSize() const { return m_nCount; }
    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    int GetCapacity() const { return m_nCapacity; }
    T* GetData() { return m_pData; }
    const T* GetData() const { return m_pData; }

    // Appends a copy; returns its index, or -1 when the array is full or the
    // heap is exhausted.
    int Add(const T& v) {
        if (m_nCount == m_nCapacity) {
            if (m_nCount >= kMaxCount) {
                ZorAssertFailed(__FILE__, __LINE__, 0, "CSmallArrayT: more than 65535 elements");
                return -1;
            }
            T copy(v); // v may live inside this array
            if (!Grow()) return -1;
            ::new ((void*)(m_pData + m_nCount)) T(std::move(copy));
        } else {
            ::new ((void*)(m_pData + m_nCount)) T(v);
        }
        return m_nCount++;
    }

    // The element at i; an index past the count is an assertion report and
    // gives a reference to a default element that is not part of the array.
    T& ElementAt(int i) {
        if (i < 0 || i >= m_nCount) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CSmallArrayT::ElementAt: index out of range", i);
            return BadElement();
        }
        return m_pData[i];
    }
    const T& GetAt(int i) const { return const_cast<CSmallArrayT*>(this)->ElementAt(i); }
    T& operator[](int i) { return ElementAt(i); }
    const T& operator[](int i) const { return GetAt(i); }

    void RemoveAll() {
        if (m_pData) {
            std::destroy(m_pData, m_pData + m_nCount);
            ::operator delete(m_pData, std::align_val_t(alignof(T)));
        }
        m_pData = nullptr;
        m_nCount = m_nCapacity = 0;
    }

    T* begin() { return m_pData; }
    T* end() { return m_pData + m_nCount; }
    const T* begin() const { return m_pData; }
    const T* end() const { return m_pData + m_nCount; }

private:
    T* m_pData = nullptr;
    uint16_t m_nCount = 0;
    uint16_t m_nCapacity = 0;

    static T& BadElement() {
        static thread_local T s_bad{};
        s_bad = T();
        return s_bad;
    }
    bool Grow() {
        int nCap = m_nCapacity ? m_nCapacity * 2 : 1;
        if (nCap > kMaxCount) nCap = kMaxCount;
        T* p = (T*)::operator new(sizeof(T) * (size_t)nCap, std::align_val_t(alignof(T)), std::nothrow);
        if (!p) {
            ZorAssertFailed(__FILE__, __LINE__, ZEK_NO_MEMORY, "CSmallArrayT: out of memory");
            return false;
        }
        if (m_pData) {
            std::uninitialized_move(m_pData, m_pData + m_nCount, p);
            std::destroy(m_pData, m_pData + m_nCount);
            ::operator delete(m_pData, std::align_val_t(alignof(T)));
        }
        m_pData = p;
        m_nCapacity = (uint16_t)nCap;
        return true;
    }
    void CopyFrom(const CSmallArrayT& src) {
        for (int i = 0; i < src.m_nCount; i++)
            if (Add(src.m_pData[i]) < 0) break;
    }
};

// ---------------------------------------------------------------- CListT
// A doubly linked list of values. Nodes come nBlockSize at a time from blocks
// and are recycled through a free list; the blocks are released when the list
// becomes empty. A null position given where a node is needed is an
// assertion report.
template <typename T> class CListT {
    struct CNode {
        CNode* pNext;
        CNode* pPrev;
        T data;
    };

public:
    explicit CListT(int nBlockSize = 10) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}
    CListT(const CListT& src) : m_nBlockSize(src.m_nBlockSize) { AddTailList(src); }
    CListT& operator=(const CListT& src) {
        if (this != &src) {
            RemoveAll();
            AddTailList(src);
        }
        return *this;
    }
    ~CListT() { RemoveAll(); }

    int GetCount() const { return m_nCount; }
    int GetSize() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    ZorPosition GetHeadPosition() const { return (ZorPosition)m_pHead; }
    ZorPosition GetTailPosition() const { return (ZorPosition)m_pTail; }

    T& GetHead() { return Checked(m_pHead, "CListT::GetHead on an empty list")->data; }
    const T& GetHead() const { return Checked(m_pHead, "CListT::GetHead on an empty list")->data; }
    T& GetTail() { return Checked(m_pTail, "CListT::GetTail on an empty list")->data; }
    const T& GetTail() const { return Checked(m_pTail, "CListT::GetTail on an empty list")->data; }

    // Appends (prepends) a copy; returns its position.
    ZorPosition AddTail(const T& v) { return (ZorPosition)LinkAfter(m_pTail, NewNode(v)); }
    ZorPosition AddHead(const T& v) { return (ZorPosition)LinkBefore(m_pHead, NewNode(v)); }
    ZorPosition InsertAfter(ZorPosition pos, const T& v) {
        CNode* p = Checked((CNode*)pos, "CListT::InsertAfter: null position");
        return (ZorPosition)LinkAfter(p, NewNode(v));
    }
    ZorPosition InsertBefore(ZorPosition pos, const T& v) {
        CNode* p = Checked((CNode*)pos, "CListT::InsertBefore: null position");
        return (ZorPosition)LinkBefore(p, NewNode(v));
    }
    void AddTailList(const CListT& src) {
        for (CNode* p = src.m_pHead; p; p = p->pNext) AddTail(p->data);
    }

    // Removes the head (tail) and returns a copy of it. On an empty list this
    // is an assertion report and gives a default value.
    T RemoveHead() {
        if (!m_pHead) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CListT::RemoveHead on an empty list");
            return T();
        }
        T v(std::move(m_pHead->data));
        FreeNode(m_pHead);
        return v;
    }
    T RemoveTail() {
        if (!m_pTail) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CListT::RemoveTail on an empty list");
            return T();
        }
        T v(std::move(m_pTail->data));
        FreeNode(m_pTail);
        return v;
    }
    void RemoveAt(ZorPosition pos) {
        if (!pos) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CListT::RemoveAt: null position");
            return;
        }
        FreeNode((CNode*)pos);
    }
    void RemoveAll() {
        for (CNode* p = m_pHead; p; p = p->pNext) p->data.~T();
        m_pHead = m_pTail = m_pFree = nullptr;
        m_nCount = 0;
        if (m_pBlocks) m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
    }

    // The element at pos; pos moves to the next (previous) element, null at the end.
    T& GetNext(ZorPosition& pos) {
        CNode* p = Checked((CNode*)pos, "CListT::GetNext: null position");
        pos = (ZorPosition)p->pNext;
        return p->data;
    }
    const T& GetNext(ZorPosition& pos) const { return const_cast<CListT*>(this)->GetNext(pos); }
    T& GetPrev(ZorPosition& pos) {
        CNode* p = Checked((CNode*)pos, "CListT::GetPrev: null position");
        pos = (ZorPosition)p->pPrev;
        return p->data;
    }
    const T& GetPrev(ZorPosition& pos) const { return const_cast<CListT*>(this)->GetPrev(pos); }
    T& GetAt(ZorPosition pos) { return Checked((CNode*)pos, "CListT::GetAt: null position")->data; }
    const T& GetAt(ZorPosition pos) const { return const_cast<CListT*>(this)->GetAt(pos); }
    void SetAt(ZorPosition pos, const T& v) {
        CNode* p = (CNode*)pos;
        ZOR_ASSERT(p != nullptr);
        if (p) p->data = v;
    }

    // The position of the first element equal to v, searching from the
    // element after startAfter (from the head when startAfter is null); null
    // when there is none. Repeated calls with the last result walk every match.
    ZorPosition Find(const T& v, ZorPosition startAfter = nullptr) const {
        CNode* p = startAfter ? ((CNode*)startAfter)->pNext : m_pHead;
        for (; p; p = p->pNext)
            if (p->data == v) return (ZorPosition)p;
        return nullptr;
    }
    // The position of the element with the zero-based index i; null when out of range.
    ZorPosition FindIndex(int i) const {
        if (i < 0 || i >= m_nCount) return nullptr;
        CNode* p = m_pHead;
        while (i-- > 0) p = p->pNext;
        return (ZorPosition)p;
    }

private:
    CNode* m_pHead = nullptr;
    CNode* m_pTail = nullptr;
    CNode* m_pFree = nullptr;
    CPlexBlock* m_pBlocks = nullptr;
    int m_nCount = 0;
    int m_nBlockSize;

    // Null node: assertion, then a node whose data is a fresh default value,
    // so that the caller never reads through a null pointer.
    template <typename N> static N* Checked(N* p, const char* what) {
        if (p) return p;
        ZorAssertFailed(__FILE__, __LINE__, 0, what);
        return BadNode();
    }
    static CNode* BadNode() {
        static thread_local CNode s_bad{nullptr, nullptr, T()};
        s_bad.pNext = s_bad.pPrev = nullptr;
        s_bad.data = T();
        return &s_bad;
    }

    CNode* NewNode(const T& v) {
        if (!m_pFree) {
            CPlexBlock* b = CPlexBlock::Create(m_pBlocks, (size_t)m_nBlockSize, sizeof(CNode));
            if (!b) zor_detail::CollOutOfMemory(__FILE__, __LINE__);
            CNode* n = (CNode*)b->data();
            for (int i = m_nBlockSize - 1; i >= 0; i--) {
                n[i].pNext = m_pFree;
                m_pFree = &n[i];
            }
        }
        CNode* p = m_pFree;
        CNode* pNextFree = p->pNext;
        ::new ((void*)&p->data) T(v); // may throw: the node stays on the free list
        m_pFree = pNextFree;
        m_nCount++;
        return p;
    }
    CNode* LinkAfter(CNode* pAfter, CNode* p) {
        p->pPrev = pAfter;
        p->pNext = pAfter ? pAfter->pNext : m_pHead;
        if (p->pNext)
            p->pNext->pPrev = p;
        else
            m_pTail = p;
        if (pAfter)
            pAfter->pNext = p;
        else
            m_pHead = p;
        return p;
    }
    CNode* LinkBefore(CNode* pBefore, CNode* p) {
        p->pNext = pBefore;
        p->pPrev = pBefore ? pBefore->pPrev : m_pTail;
        if (p->pPrev)
            p->pPrev->pNext = p;
        else
            m_pHead = p;
        if (pBefore)
            pBefore->pPrev = p;
        else
            m_pTail = p;
        return p;
    }
    void FreeNode(CNode* p) {
        if (p->pPrev)
            p->pPrev->pNext = p->pNext;
        else
            m_pHead = p->pNext;
        if (p->pNext)
            p->pNext->pPrev = p->pPrev;
        else
            m_pTail = p->pPrev;
        p->data.~T();
        p->pNext = m_pFree;
        m_pFree = p;
        if (--m_nCount == 0) RemoveAll();
    }
};

// ---------------------------------------------------------------- CHashMapT
// Hashing of keys: wide strings as h*33 + unit, narrow strings as h*33 + byte,
// integers, enums and pointers by their value.
template <typename K, typename = void> struct ZorHashTraits {
    static size_t Hash(const K& k) { return std::hash<K>()(k); }
    static bool Equal(const K& a, const K& b) { return a == b; }
};
template <typename K> struct ZorHashTraits<K, std::enable_if_t<std::is_integral_v<K> || std::is_enum_v<K>>> {
    static size_t Hash(K k) { return (size_t)k; }
    static bool Equal(K a, K b) { return a == b; }
};
template <typename K> struct ZorHashTraits<K*, void> {
    static size_t Hash(const K* k) { return (size_t)(uintptr_t)k; }
    static bool Equal(const K* a, const K* b) { return a == b; }
};
template <typename C> struct ZorHashTraits<CStringT<C>, void> {
    static size_t Hash(const CStringT<C>& k) {
        size_t h = 0;
        const C* p = k.GetString();
        for (int i = 0, n = k.GetLength(); i < n; i++) h = h * 33 + (std::make_unsigned_t<C>)p[i];
        return h;
    }
    static bool Equal(const CStringT<C>& a, const CStringT<C>& b) { return a == b; }
};

// A chained hash map. It starts with nBins bins (17), rehashes to the bin
// count for the optimal load (0.75) when the load passes the grow threshold
// (2.25) and, after a removal, when it falls below the shrink threshold
// (0.25); bin counts come from a fixed table of primes and never go below the
// starting count. Nodes come nBlockSize (10) at a time from blocks.
// Iteration walks the bins in order from the first non-empty one; inside a
// bin the most recently inserted key comes first.
template <typename K, typename V, typename KTraits = ZorHashTraits<K>> class CHashMapT {
public:
    class CPair {
    public:
        const K m_key;
        V m_value;

    private:
        friend class CHashMapT;
        CPair* m_pNext;
        size_t m_nHash;
        CPair(const K& k, size_t h) : m_key(k), m_value(), m_pNext(nullptr), m_nHash(h) {}
    };

    explicit CHashMapT(unsigned nBins = 17, float fOptimalLoad = 0.75f, float fLoThreshold = 0.25f,
                       float fHiThreshold = 2.25f, int nBlockSize = 10)
        : m_nMinBins(nBins ? nBins : 17), m_nBins(m_nMinBins), m_fOptimalLoad(fOptimalLoad),
          m_fLoThreshold(fLoThreshold), m_fHiThreshold(fHiThreshold),
          m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {
        ZOR_ASSERT(fLoThreshold < fOptimalLoad && fOptimalLoad < fHiThreshold);
        SetThresholds();
    }
    // A copy has the same parameters, bin count and iteration order.
    CHashMapT(const CHashMapT& src)
        : m_nMinBins(src.m_nMinBins), m_nBins(src.m_nMinBins), m_fOptimalLoad(src.m_fOptimalLoad),
          m_fLoThreshold(src.m_fLoThreshold), m_fHiThreshold(src.m_fHiThreshold),
          m_nBlockSize(src.m_nBlockSize) {
        SetThresholds();
        CopyPairs(src);
    }
    CHashMapT& operator=(const CHashMapT& src) {
        if (this != &src) {
            RemoveAll();
            CopyPairs(src);
        }
        return *this;
    }
    ~CHashMapT() { RemoveAll(); }

    int GetCount() const { return (int)m_nCount; }
    size_t GetSize() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }
    unsigned GetBinCount() const { return (unsigned)m_nBins; }

    // Copies the value out; false when the key is absent (value untouched).
    bool Lookup(const K& key, V& value) const {
        size_t h;
        CPair* p = Find(key, h);
        if (!p) return false;
        value = p->m_value;
        return true;
    }
    // The pair of a key, or null.
    CPair* LookupPair(const K& key) const {
        size_t h;
        return Find(key, h);
    }
    // Inserts or assigns; returns the position of the pair.
    ZorPosition SetAt(const K& key, const V& value) {
        CPair* p = GetOrAdd(key);
        p->m_value = value;
        return (ZorPosition)p;
    }
    // The value of a key, inserting a default value when it is absent.
    V& operator[](const K& key) { return GetOrAdd(key)->m_value; }
    // Removes a key; false when it is absent.
    bool RemoveKey(const K& key) {
        size_t h;
        CPair* p = Find(key, h);
        if (!p) return false;
        Unlink(p, true);
        return true;
    }
    void RemoveAll() {
        if (m_ppBins) {
            for (size_t i = 0; i < m_nBins; i++)
                for (CPair* p = m_ppBins[i]; p;) {
                    CPair* pNext = p->m_pNext; // not read from a destroyed pair
                    p->~CPair();
                    p = pNext;
                }
            std::free(m_ppBins);
        }
        m_ppBins = nullptr;
        m_nCount = 0;
        m_pFree = nullptr;
        if (m_pBlocks) m_pBlocks->FreeDataChain();
        m_pBlocks = nullptr;
        m_nBins = m_nMinBins;
        SetThresholds();
    }

    // Iteration in bin order. GetNext gives the pair at pos and moves pos on
    // (null after the last pair).
    ZorPosition GetStartPosition() const { return (ZorPosition)FirstFrom(0); }
    CPair* GetNext(ZorPosition& pos) const {
        CPair* p = (CPair*)pos;
        if (!p) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CHashMapT::GetNext: null position");
            return nullptr;
        }
        pos = (ZorPosition)NextOf(p);
        return p;
    }
    void GetNext(ZorPosition& pos, K& key, V& value) const {
        CPair* p = GetNext(pos);
        if (!p) return;
        key = p->m_key;
        value = p->m_value;
    }
    const K& GetKeyAt(ZorPosition pos) const { return Checked(pos)->m_key; }
    V& GetValueAt(ZorPosition pos) const { return Checked(pos)->m_value; }
    // Removes the pair at pos. It never rehashes, so a walk that removes the
    // pair it has just passed with GetNext still visits every other pair
    // once; the bins shrink at a later RemoveKey.
    void RemoveAtPos(ZorPosition pos) {
        if (!pos) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CHashMapT::RemoveAtPos: null position");
            return;
        }
        Unlink((CPair*)pos, false);
    }

private:
    CPair** m_ppBins = nullptr;
    size_t m_nMinBins;
    size_t m_nBins;
    size_t m_nCount = 0;
    size_t m_nLoRehash = 0;
    size_t m_nHiRehash = 0;
    float m_fOptimalLoad, m_fLoThreshold, m_fHiThreshold;
    CPair* m_pFree = nullptr;
    CPlexBlock* m_pBlocks = nullptr;
    int m_nBlockSize;

    void CopyPairs(const CHashMapT& src) {
        if (!src.m_nCount) return;
        m_nBins = src.m_nBins;
        SetThresholds();
        m_nHiRehash = SIZE_MAX; // no rehash while copying
        // Each bin's chain is rebuilt by inserting at its head, so walk it backwards.
        CArrayT<CPair*> chain;
        for (size_t i = 0; i < src.m_nBins; i++) {
            chain.RemoveAll();
            for (CPair* p = src.m_ppBins[i]; p; p = p->m_pNext) chain.Add(p);
            for (int j = chain.GetSize() - 1; j >= 0; j--)
                GetOrAdd(chain[j]->m_key)->m_value = chain[j]->m_value;
        }
        SetThresholds();
    }
    void SetThresholds() {
        m_nHiRehash = (size_t)(m_fHiThreshold * (double)m_nBins);
        m_nLoRehash = (size_t)(m_fLoThreshold * (double)m_nBins);
        if (m_nBins <= m_nMinBins) m_nLoRehash = 0; // never below the starting count
    }
    CPair* Checked(ZorPosition pos) const {
        if (pos) return (CPair*)pos;
        ZorAssertFailed(__FILE__, __LINE__, 0, "CHashMapT: null position");
        static thread_local union U {
            CPair pair;
            U() : pair(K(), 0) {}
            ~U() {}
        } s_bad;
        s_bad.pair.m_value = V();
        return &s_bad.pair;
    }
    CPair* Find(const K& key, size_t& h) const {
        h = KTraits::Hash(key);
        if (!m_ppBins) return nullptr;
        for (CPair* p = m_ppBins[h % m_nBins]; p; p = p->m_pNext)
            if (p->m_nHash == h && KTraits::Equal(p->m_key, key)) return p;
        return nullptr;
    }
    CPair* FirstFrom(size_t bin) const {
        if (!m_ppBins) return nullptr;
        for (size_t i = bin; i < m_nBins; i++)
            if (m_ppBins[i]) return m_ppBins[i];
        return nullptr;
    }
    CPair* NextOf(CPair* p) const { return p->m_pNext ? p->m_pNext : FirstFrom(p->m_nHash % m_nBins + 1); }

    CPair* GetOrAdd(const K& key) {
        size_t h;
        CPair* p = Find(key, h);
        if (p) return p;
        if (!m_ppBins) {
            m_ppBins = (CPair**)std::calloc(m_nBins, sizeof(CPair*));
            if (!m_ppBins) zor_detail::CollOutOfMemory(__FILE__, __LINE__);
        }
        if (!m_pFree) {
            CPlexBlock* b = CPlexBlock::Create(m_pBlocks, (size_t)m_nBlockSize, sizeof(CPair));
            if (!b) zor_detail::CollOutOfMemory(__FILE__, __LINE__);
            CPair* n = (CPair*)b->data();
            for (int i = m_nBlockSize - 1; i >= 0; i--) {
                // Free nodes are raw memory; only the link is used.
                CPair** link = (CPair**)(void*)&n[i];
                *link = m_pFree;
                m_pFree = &n[i];
            }
        }
        CPair* pNew = m_pFree;
        CPair* pNextFree = *(CPair**)(void*)pNew;
        ::new ((void*)pNew) CPair(key, h); // may throw: the node stays free
        m_pFree = pNextFree;
        size_t bin = h % m_nBins;
        pNew->m_pNext = m_ppBins[bin];
        m_ppBins[bin] = pNew;
        m_nCount++;
        if (m_nCount > m_nHiRehash) Rehash(zor_detail::PickHashBinCount((size_t)(m_nCount / m_fOptimalLoad)));
        return pNew;
    }
    void Unlink(CPair* p, bool bMayShrink) {
        CPair** pp = &m_ppBins[p->m_nHash % m_nBins];
        while (*pp && *pp != p) pp = &(*pp)->m_pNext;
        ZOR_ASSERT(*pp == p);
        if (*pp != p) return;
        *pp = p->m_pNext;
        p->~CPair();
        *(CPair**)(void*)p = m_pFree;
        m_pFree = p;
        if (--m_nCount == 0) {
            RemoveAll();
            return;
        }
        if (bMayShrink && m_nCount < m_nLoRehash) {
            size_t n = zor_detail::PickHashBinCount((size_t)(m_nCount / m_fOptimalLoad));
            if (n < m_nMinBins) n = m_nMinBins;
            Rehash(n);
        }
    }
    void Rehash(size_t nBins) {
        if (nBins == m_nBins) {
            SetThresholds();
            return;
        }
        CPair** pp = (CPair**)std::calloc(nBins, sizeof(CPair*));
        if (!pp) {
            // Keep working with the old bins; the map only gets slower.
            SetThresholds();
            m_nHiRehash = SIZE_MAX;
            return;
        }
        for (size_t i = 0; i < m_nBins; i++) {
            CPair* p = m_ppBins[i];
            while (p) {
                CPair* pNext = p->m_pNext;
                size_t b = p->m_nHash % nBins;
                p->m_pNext = pp[b];
                pp[b] = p;
                p = pNext;
            }
        }
        std::free(m_ppBins);
        m_ppBins = pp;
        m_nBins = nBins;
        SetThresholds();
    }
};
