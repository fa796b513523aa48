// Reference-counted strings: storage, operations and comparisons.
#include "zor-string.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

// The one shared empty header, followed by room for a terminator of either width.
constinit zor_detail::EmptyBlock zor_detail::g_emptyBlock = {{0, 0, {1}, 1}, 0};

static inline bool IsEmptyData(const StringData* d) {
    return d == &zor_detail::g_emptyBlock.hdr;
}

template <typename T> StringData* CStringT<T>::Allocate(int nLength) {
    if (nLength < 0 || (size_t)nLength > (INT_MAX - sizeof(StringData)) / sizeof(T) - 1) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "string too long");
        throw std::bad_alloc();
    }
    // Round the block up to what the allocator hands out anyway (chunks of
    // 16 bytes with one 8-byte word of its own) and use the slack as capacity:
    // short keys (the sync tree holds millions) waste nothing, and appends one
    // character at a time still find room.
    size_t bytes = sizeof(StringData) + ((size_t)nLength + 1) * sizeof(T);
    bytes = ((bytes + 8 + 15) & ~(size_t)15) - 8;
    int nAlloc = (int)((bytes - sizeof(StringData)) / sizeof(T)) - 1;
    auto* d = (StringData*)std::malloc(bytes);
    if (!d) throw std::bad_alloc();
    d->nDataLength = 0;
    d->nAllocLength = nAlloc;
    new (&d->nRefs) std::atomic<int>(1);
    d->bTerminated = 1;
    ((T*)d->data())[0] = 0;
    return d;
}

template <typename T> void CStringT<T>::Free(StringData* d) {
    d->nRefs.~atomic<int>();
    std::free(d);
}

template <typename T> void CStringT<T>::CopyShared(const CStringT& s) noexcept {
    StringData* d = s.Data();
    if (IsEmptyData(d)) {
        m_pch = s.m_pch;
    } else if (d->nRefs.load(std::memory_order_relaxed) < 0) {
        // Locked buffer: its owner may still write into it, so copy.
        m_pch = (T*)zor_detail::EmptyStringData()->data();
        SetString(s.m_pch, d->nDataLength);
    } else {
        d->nRefs.fetch_add(1, std::memory_order_relaxed);
        m_pch = s.m_pch;
    }
}

template <typename T> CStringT<T>::CStringT(T ch, int repeat) : CStringT() {
    if (repeat <= 0) return;
    PrepareWrite(repeat);
    for (int i = 0; i < repeat; i++) m_pch[i] = ch;
    m_pch[repeat] = 0;
    Data()->nDataLength = repeat;
}

template <typename T> void CStringT<T>::Release() {
    StringData* d = Data();
    if (IsEmptyData(d)) return;
    int r = d->nRefs.load(std::memory_order_acquire);
    if (r < 0 || d->nRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) Free(d);
    m_pch = (T*)zor_detail::EmptyStringData()->data();
}

template <typename T> void CStringT<T>::AssignShared(const CStringT& s) {
    CStringT tmp(s);
    std::swap(m_pch, tmp.m_pch);
}

template <typename T> void CStringT<T>::Empty() {
    StringData* d = Data();
    if (IsEmptyData(d)) return;
    if (d->nRefs.load(std::memory_order_relaxed) < 0) {
        // Keep a locked buffer, just cut it.
        d->nDataLength = 0;
        m_pch[0] = 0;
        return;
    }
    Release();
}

template <typename T> void CStringT<T>::PrepareWrite(int nLength) {
    StringData* d = Data();
    bool shared = !IsEmptyData(d) && d->nRefs.load(std::memory_order_acquire) > 1;
    if (!IsEmptyData(d) && !shared && d->nAllocLength >= nLength) return;
    int keep = d->nDataLength < nLength ? d->nDataLength : nLength;
    int nAlloc = nLength;
    if (!IsEmptyData(d) && !shared) {
        // Growing a private buffer: grow geometrically.
        int grow = d->nAllocLength + d->nAllocLength / 2;
        if (grow > nAlloc) nAlloc = grow;
    }
    StringData* nd = Allocate(nAlloc);
    std::memcpy(nd->data(), m_pch, (size_t)keep * sizeof(T));
    ((T*)nd->data())[keep] = 0;
    nd->nDataLength = keep;
    bool wasLocked = !IsEmptyData(d) && d->nRefs.load(std::memory_order_relaxed) < 0;
    Release();
    m_pch = (T*)nd->data();
    if (wasLocked) nd->nRefs.store(-1, std::memory_order_relaxed);
}

template <typename T> void CStringT<T>::SetString(const T* s, int len) {
    if (!s || len <= 0) {
        Empty();
        return;
    }
    StringData* d = Data();
    // The source may lie inside our own buffer.
    if (!IsEmptyData(d) && s >= m_pch && s <= m_pch + d->nDataLength) {
        CStringT tmp(s, len);
        *this = tmp;
        return;
    }
    PrepareWrite(len);
    std::memcpy(m_pch, s, (size_t)len * sizeof(T));
    m_pch[len] = 0;
    Data()->nDataLength = len;
}

template <typename T> void CStringT<T>::AssignOther(const YCHAR* s, int len) {
    if (!s || len <= 0) {
        Empty();
        return;
    }
    CStringT tmp;
    tmp.PrepareWrite(len);
    for (int i = 0; i < len; i++) {
        if constexpr (std::is_same_v<T, char>) {
            char16_t c = s[i];
            tmp.m_pch[i] = c > 255 ? '?' : (char)(unsigned char)c;
        } else {
            tmp.m_pch[i] = (char16_t)(unsigned char)s[i];
        }
    }
    tmp.m_pch[len] = 0;
    tmp.Data()->nDataLength = len;
    *this = std::move(tmp);
}

template <typename T> T CStringT<T>::GetAt(int i) const {
    if (i < 0 || i >= GetLength()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "string index out of range", i);
        return T(0);
    }
    return m_pch[i];
}

template <typename T> void CStringT<T>::SetAt(int i, T ch) {
    if (i < 0 || i >= GetLength()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "string index out of range", i);
        return;
    }
    PrepareWrite(GetLength());
    m_pch[i] = ch;
}

template <typename T> T* CStringT<T>::GetBuffer(int nMinLength) {
    int len = GetLength();
    PrepareWrite(nMinLength > len ? nMinLength : (len > 0 ? len : 1));
    Data()->nRefs.store(-1, std::memory_order_relaxed);
    return m_pch;
}

template <typename T> T* CStringT<T>::GetBufferSetLength(int nLength) {
    if (nLength < 0) nLength = 0;
    T* p = GetBuffer(nLength);
    Data()->nDataLength = nLength;
    p[nLength] = 0;
    return p;
}

template <typename T> void CStringT<T>::ReleaseBuffer(int nNewLength) {
    StringData* d = Data();
    if (IsEmptyData(d)) return;
    if (nNewLength < 0) {
        nNewLength = 0;
        while (nNewLength < d->nAllocLength && m_pch[nNewLength]) nNewLength++;
    }
    if (nNewLength > d->nAllocLength) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "ReleaseBuffer length past the buffer", nNewLength);
        nNewLength = d->nAllocLength;
    }
    d->nDataLength = nNewLength;
    m_pch[nNewLength] = 0;
    d->nRefs.store(1, std::memory_order_release);
    if (nNewLength == 0) Release();
}

template <typename T> void CStringT<T>::Preallocate(int nLength) {
    if (nLength > GetLength()) {
        bool empty = IsEmpty();
        PrepareWrite(nLength);
        if (empty) m_pch[0] = 0;
    }
}

template <typename T> void CStringT<T>::Truncate(int nLength) {
    if (nLength < 0) nLength = 0;
    if (nLength >= GetLength()) return;
    if (nLength == 0) {
        Empty();
        return;
    }
    PrepareWrite(GetLength());
    m_pch[nLength] = 0;
    Data()->nDataLength = nLength;
}

template <typename T> CStringT<T>& CStringT<T>::Append(const T* s, int len) {
    if (!s || len <= 0) return *this;
    int old = GetLength();
    if (old == 0) {
        SetString(s, len);
        return *this;
    }
    StringData* d = Data();
    if (s >= m_pch && s <= m_pch + d->nDataLength) {
        CStringT tmp(s, len);
        return Append(tmp.m_pch, len);
    }
    if ((size_t)old + (size_t)len > (size_t)INT_MAX / 2) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "string too long");
        throw std::bad_alloc();
    }
    PrepareWrite(old + len);
    std::memcpy(m_pch + old, s, (size_t)len * sizeof(T));
    m_pch[old + len] = 0;
    Data()->nDataLength = old + len;
    return *this;
}

// ---------------------------------------------------------------- comparison
template <typename T> static int CmpUnits(const T* a, int na, const T* b, int nb) {
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; i++) {
        using U = std::make_unsigned_t<T>;
        if (a[i] != b[i]) return (int)(U)a[i] - (int)(U)b[i];
    }
    return na - nb < 0 ? -1 : (na > nb ? 1 : 0);
}

template <typename T> static int CmpUnitsNoCase(const T* a, int na, const T* b, int nb) {
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; i++) {
        using U = std::make_unsigned_t<T>;
        if (a[i] != b[i]) {
            U fa = (U)ZorFoldUnit(a[i]), fb = (U)ZorFoldUnit(b[i]);
            if (fa != fb) return (int)fa - (int)fb;
        }
    }
    return na - nb < 0 ? -1 : (na > nb ? 1 : 0);
}

template <typename T> int CStringT<T>::Compare(const T* s) const {
    return CmpUnits(m_pch, GetLength(), s ? s : (const T*)m_pch + GetLength(), ZorStrLen(s));
}
template <typename T> int CStringT<T>::Compare(const CStringT& s) const {
    return CmpUnits(m_pch, GetLength(), s.m_pch, s.GetLength());
}
template <typename T> int CStringT<T>::CompareNoCase(const T* s) const {
    return CmpUnitsNoCase(m_pch, GetLength(), s ? s : (const T*)m_pch + GetLength(), ZorStrLen(s));
}
template <typename T> int CStringT<T>::CompareNoCase(const CStringT& s) const {
    return CmpUnitsNoCase(m_pch, GetLength(), s.m_pch, s.GetLength());
}

template <typename T> bool CStringT<T>::StartsWith(const T* prefix) const {
    int n = ZorStrLen(prefix);
    return n <= GetLength() && CmpUnits(m_pch, n, prefix, n) == 0;
}
template <typename T> bool CStringT<T>::StartsWithNoCase(const T* prefix) const {
    int n = ZorStrLen(prefix);
    return n <= GetLength() && CmpUnitsNoCase(m_pch, n, prefix, n) == 0;
}
template <typename T> bool CStringT<T>::EndsWith(const T* suffix) const {
    int n = ZorStrLen(suffix), len = GetLength();
    return n <= len && CmpUnits(m_pch + len - n, n, suffix, n) == 0;
}
template <typename T> bool CStringT<T>::EndsWithNoCase(const T* suffix) const {
    int n = ZorStrLen(suffix), len = GetLength();
    return n <= len && CmpUnitsNoCase(m_pch + len - n, n, suffix, n) == 0;
}
template <typename T> bool CStringT<T>::StartsWithTailNoCase(const T* prefix, CStringT& tail) const {
    if (!StartsWithNoCase(prefix)) return false;
    tail = Mid(ZorStrLen(prefix));
    return true;
}
template <typename T> bool CStringT<T>::EndsWithHeadNoCase(const T* suffix, CStringT& head) const {
    if (!EndsWithNoCase(suffix)) return false;
    head = Left(GetLength() - ZorStrLen(suffix));
    return true;
}

// ---------------------------------------------------------------- extraction
template <typename T> CStringT<T> CStringT<T>::Left(int n) const {
    if (n <= 0) return CStringT();
    if (n >= GetLength()) return *this;
    return CStringT(m_pch, n);
}
template <typename T> CStringT<T> CStringT<T>::Right(int n) const {
    int len = GetLength();
    if (n <= 0) return CStringT();
    if (n >= len) return *this;
    return CStringT(m_pch + len - n, n);
}
template <typename T> CStringT<T> CStringT<T>::Mid(int start, int count) const {
    int len = GetLength();
    if (start < 0) start = 0;
    if (start >= len || count <= 0) return CStringT();
    if (count > len - start) count = len - start;
    if (start == 0 && count == len) return *this;
    return CStringT(m_pch + start, count);
}

template <typename T> static bool InSet(T c, const T* set) {
    for (; set && *set; ++set)
        if (*set == c) return true;
    return false;
}

template <typename T> CStringT<T> CStringT<T>::SpanIncluding(const T* set) const {
    int i = 0, len = GetLength();
    while (i < len && InSet(m_pch[i], set)) i++;
    return Left(i);
}
template <typename T> CStringT<T> CStringT<T>::SpanExcluding(const T* set) const {
    int i = 0, len = GetLength();
    while (i < len && !InSet(m_pch[i], set)) i++;
    return Left(i);
}

// ---------------------------------------------------------------- search
template <typename T> int CStringT<T>::Find(T ch, int start) const {
    int len = GetLength();
    if (start < 0) start = 0;
    for (int i = start; i < len; i++)
        if (m_pch[i] == ch) return i;
    return -1;
}
template <typename T> int CStringT<T>::Find(const T* s, int start) const {
    int len = GetLength(), n = ZorStrLen(s);
    if (start < 0) start = 0;
    if (n == 0) return start <= len ? start : -1;
    for (int i = start; i + n <= len; i++)
        if (m_pch[i] == s[0] && std::memcmp(m_pch + i, s, (size_t)n * sizeof(T)) == 0) return i;
    return -1;
}
template <typename T> int CStringT<T>::ReverseFind(T ch) const {
    for (int i = GetLength() - 1; i >= 0; i--)
        if (m_pch[i] == ch) return i;
    return -1;
}
template <typename T> int CStringT<T>::ReverseFind(const T* s) const {
    int len = GetLength(), n = ZorStrLen(s);
    if (n == 0) return len;
    for (int i = len - n; i >= 0; i--)
        if (std::memcmp(m_pch + i, s, (size_t)n * sizeof(T)) == 0) return i;
    return -1;
}
template <typename T> int CStringT<T>::FindOneOf(const T* set) const {
    int len = GetLength();
    for (int i = 0; i < len; i++)
        if (InSet(m_pch[i], set)) return i;
    return -1;
}

template <typename T> CStringT<T> CStringT<T>::Tokenize(const T* delims, int& start) const {
    int len = GetLength();
    if (start < 0 || start >= len) {
        start = -1;
        return CStringT();
    }
    int i = start;
    while (i < len && InSet(m_pch[i], delims)) i++;
    if (i >= len) {
        start = -1;
        return CStringT();
    }
    int j = i;
    while (j < len && !InSet(m_pch[j], delims)) j++;
    start = j < len ? j + 1 : j;
    return CStringT(m_pch + i, j - i);
}

// ---------------------------------------------------------------- modification
template <typename T> int CStringT<T>::Insert(int index, T ch) {
    return Insert(index, CStringT(ch).m_pch);
}
template <typename T> int CStringT<T>::Insert(int index, const T* s) {
    int len = GetLength(), n = ZorStrLen(s);
    if (index < 0) index = 0;
    if (index > len) index = len;
    if (n == 0) return len;
    CStringT r;
    r.Preallocate(len + n);
    r.Append(m_pch, index);
    r.Append(s, n);
    r.Append(m_pch + index, len - index);
    *this = std::move(r);
    return GetLength();
}
template <typename T> int CStringT<T>::Delete(int index, int count) {
    int len = GetLength();
    if (index < 0) index = 0;
    if (count <= 0 || index >= len) return len;
    if (count > len - index) count = len - index;
    PrepareWrite(len);
    std::memmove(m_pch + index, m_pch + index + count, (size_t)(len - index - count + 1) * sizeof(T));
    Data()->nDataLength = len - count;
    if (len - count == 0) Empty(); // keeps a locked buffer
    return len - count;
}
template <typename T> int CStringT<T>::Replace(T oldCh, T newCh) {
    int len = GetLength(), count = 0;
    if (oldCh == newCh) return 0;
    for (int i = 0; i < len; i++) {
        if (m_pch[i] == oldCh) {
            if (count == 0) PrepareWrite(len);
            m_pch[i] = newCh;
            count++;
        }
    }
    return count;
}
template <typename T> int CStringT<T>::Replace(const T* oldText, const T* newText) {
    int n = ZorStrLen(oldText), len = GetLength();
    if (n == 0 || len < n) return 0;
    int nNew = ZorStrLen(newText);
    CStringT r;
    int count = 0, i = 0, last = 0;
    while (i + n <= len) {
        if (std::memcmp(m_pch + i, oldText, (size_t)n * sizeof(T)) == 0) {
            r.Append(m_pch + last, i - last);
            r.Append(newText, nNew);
            i += n;
            last = i;
            count++;
        } else {
            i++;
        }
    }
    if (count) {
        r.Append(m_pch + last, len - last);
        *this = std::move(r);
    }
    return count;
}
template <typename T> int CStringT<T>::Remove(T ch) {
    int len = GetLength(), j = 0;
    if (Find(ch) < 0) return 0;
    PrepareWrite(len);
    for (int i = 0; i < len; i++)
        if (m_pch[i] != ch) m_pch[j++] = m_pch[i];
    m_pch[j] = 0;
    Data()->nDataLength = j;
    if (j == 0) Empty(); // keeps a locked buffer
    return len - j;
}

template <typename T> static bool IsSpaceUnit(T c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
           (sizeof(T) > 1 && ((char16_t)c == 0xA0 || (char16_t)c == 0x3000 ||
                              ((char16_t)c >= 0x2000 && (char16_t)c <= 0x200A)));
}

template <typename T> CStringT<T>& CStringT<T>::TrimLeft() {
    int i = 0, len = GetLength();
    while (i < len && IsSpaceUnit(m_pch[i])) i++;
    if (i) Delete(0, i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::TrimLeft(T ch) {
    int i = 0, len = GetLength();
    while (i < len && m_pch[i] == ch) i++;
    if (i) Delete(0, i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::TrimLeft(const T* set) {
    int i = 0, len = GetLength();
    while (i < len && InSet(m_pch[i], set)) i++;
    if (i) Delete(0, i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::TrimRight() {
    int len = GetLength(), i = len;
    while (i > 0 && IsSpaceUnit(m_pch[i - 1])) i--;
    if (i < len) Truncate(i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::TrimRight(T ch) {
    int len = GetLength(), i = len;
    while (i > 0 && m_pch[i - 1] == ch) i--;
    if (i < len) Truncate(i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::TrimRight(const T* set) {
    int len = GetLength(), i = len;
    while (i > 0 && InSet(m_pch[i - 1], set)) i--;
    if (i < len) Truncate(i);
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::Trim() {
    TrimRight();
    return TrimLeft();
}
template <typename T> CStringT<T>& CStringT<T>::Trim(T ch) {
    TrimRight(ch);
    return TrimLeft(ch);
}
template <typename T> CStringT<T>& CStringT<T>::Trim(const T* set) {
    TrimRight(set);
    return TrimLeft(set);
}

template <typename T> CStringT<T>& CStringT<T>::MakeLower() {
    int len = GetLength();
    for (int i = 0; i < len; i++) {
        T c = m_pch[i];
        T l;
        if constexpr (std::is_same_v<T, char>)
            l = (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
        else
            l = ZorLowerUnit(c);
        if (l != c) {
            PrepareWrite(len);
            m_pch[i] = l;
        }
    }
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::MakeUpper() {
    int len = GetLength();
    for (int i = 0; i < len; i++) {
        T c = m_pch[i];
        T u;
        if constexpr (std::is_same_v<T, char>)
            u = (c >= 'a' && c <= 'z') ? (char)(c - 32) : c;
        else
            u = ZorUpperUnit(c);
        if (u != c) {
            PrepareWrite(len);
            m_pch[i] = u;
        }
    }
    return *this;
}
template <typename T> CStringT<T>& CStringT<T>::MakeReverse() {
    int len = GetLength();
    if (len < 2) return *this;
    PrepareWrite(len);
    for (int i = 0, j = len - 1; i < j; i++, j--) std::swap(m_pch[i], m_pch[j]);
    return *this;
}

template <typename T> size_t CStringT<T>::Hash() const {
    size_t h = 0;
    int len = GetLength();
    for (int i = 0; i < len; i++) h = h * 33 + (std::make_unsigned_t<T>)m_pch[i];
    return h;
}

template class CStringT<char>;
template class CStringT<char16_t>;

// ---------------------------------------------------------------- free helpers
int ZorStrCmp(const char16_t* a, const char16_t* b) {
    return CmpUnits(a, ZorStrLen(a), b, ZorStrLen(b));
}
int ZorStrICmp(const char16_t* a, const char16_t* b) {
    return CmpUnitsNoCase(a, ZorStrLen(a), b, ZorStrLen(b));
}
int ZorStrNICmp(const char16_t* a, const char16_t* b, int n) {
    int na = ZorStrLen(a), nb = ZorStrLen(b);
    return CmpUnitsNoCase(a, na < n ? na : n, b, nb < n ? nb : n);
}
int ZorStrICmpNarrow(const char* a, const char* b) {
    return CmpUnitsNoCase(a, ZorStrLen(a), b, ZorStrLen(b));
}
bool EqualsNoCase(const CNarrowString& a, const CNarrowString& b) {
    return a.GetLength() == b.GetLength() && a.CompareNoCase(b) == 0;
}
bool EqualsNoCase(const CWideString& a, const CWideString& b) {
    return a.GetLength() == b.GetLength() && a.CompareNoCase(b) == 0;
}
int CompareNoCaseThenCase(const char16_t* a, int na, const char16_t* b, int nb, bool bCaseSensitive) {
    int r = CmpUnitsNoCase(a, na, b, nb);
    if (r != 0 || !bCaseSensitive) return r;
    return CmpUnits(a, na, b, nb);
}
int CompareNoCaseThenCase(const CWideString& a, const CWideString& b, bool bCaseSensitive) {
    return CompareNoCaseThenCase(a.GetString(), a.GetLength(), b.GetString(), b.GetLength(), bCaseSensitive);
}
bool StrStartsWith(const char16_t* text, const char16_t* prefix) {
    if (!text || !prefix) return false;
    while (*prefix)
        if (*text++ != *prefix++) return false;
    return true;
}
bool StrStartsWithN(const char16_t* text, const char16_t* prefix, int n) {
    if (!text || !prefix) return false;
    for (int i = 0; i < n; i++) {
        if (text[i] != prefix[i]) return false;
        if (!prefix[i]) return true;
    }
    return true;
}
int MatchPrefixNarrow(const char* text, const char* prefix, int n) {
    int i = 0;
    if (!prefix) return 0;
    if (!text) return 0;
    while (i < n && prefix[i] && text[i] == prefix[i]) i++;
    return i;
}

std::ostream& operator<<(std::ostream& os, const CWideString& s) {
    CNarrowString u = WideToUtf8(s);
    return os.write(u.GetString(), u.GetLength());
}
std::ostream& operator<<(std::ostream& os, const CNarrowString& s) {
    return os.write(s.GetString(), s.GetLength());
}
