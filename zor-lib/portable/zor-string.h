// Reference-counted, copy-on-write strings of UTF-16 units (CWideString) and
// of 8-bit characters (CNarrowString), with the library's printf engine.
//
// Layout: a string object holds one pointer to its characters; a StringData
// header stands right before them. All empty strings share one static
// header. The reference count is atomic (strings cross threads) and is
// negative while the buffer is locked by GetBuffer.
//
// Conversions between the two string types through constructors and
// assignment are Latin-1 (a unit above 255 becomes '?'); UTF-8 conversions
// are the separate functions of zor-unicode.h.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

struct StringData {
    int nDataLength;        // characters in use, terminator not counted
    int nAllocLength;       // characters that fit, terminator not counted
    std::atomic<int> nRefs; // reference count; negative while locked
    int bTerminated;        // the characters end with a NUL (always set here)
    void* data() { return this + 1; }
};

template <typename T> class CStringT;
using CWideString = CStringT<char16_t>;
using CNarrowString = CStringT<char>;

// Length of a NUL-terminated text of either character type (0 for null).
template <typename T> inline int ZorStrLen(const T* s) {
    if (!s) return 0;
    const T* p = s;
    while (*p) ++p;
    return (int)(p - s);
}

// One-unit case fold shared by every case-insensitive comparison (wide: the
// Unicode simple case fold; narrow: ASCII).
char16_t ZorFoldUnit(char16_t c);
inline char ZorFoldUnit(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c;
}

namespace zor_detail {
// The header all empty strings share, with room for a terminator of either type.
struct EmptyBlock {
    StringData hdr;
    char32_t zero;
};
extern EmptyBlock g_emptyBlock;
inline StringData* EmptyStringData() {
    return &g_emptyBlock.hdr;
}
}

// ---------------------------------------------------------------- printf args
// The printf engine is type-safe: every argument is captured with its type.
// In either format "%s" and "%S" take a string of either type; a narrow text
// in a wide format is read as UTF-8 (Windows-1252 where it is not valid
// UTF-8), a wide text in a narrow format is written as UTF-8.
struct ZorFmtArg {
    enum Kind : uint8_t { Int, UInt, Double, Narrow, Wide, Pointer, None };
    Kind kind = None;
    uint8_t size = 0; // bytes of the original integer type
    union {
        int64_t i;
        uint64_t u;
        double d;
        const void* p;
    } v{};
    int len = -1; // string length when known, -1 for NUL-terminated
};

template <typename A> inline ZorFmtArg ZorMakeFmtArg(const A& a) {
    using D = std::decay_t<A>;
    ZorFmtArg r;
    if constexpr (std::is_same_v<D, bool>) {
        r.kind = ZorFmtArg::Int;
        r.size = 4;
        r.v.i = a ? 1 : 0;
    } else if constexpr (std::is_same_v<D, char16_t> || std::is_same_v<D, char32_t> ||
                         std::is_same_v<D, wchar_t>) {
        r.kind = ZorFmtArg::UInt;
        r.size = sizeof(D);
        r.v.u = (uint64_t)a;
    } else if constexpr (std::is_enum_v<D>) {
        return ZorMakeFmtArg((std::underlying_type_t<D>)a);
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        r.kind = ZorFmtArg::Int;
        r.size = sizeof(D);
        r.v.i = (int64_t)a;
    } else if constexpr (std::is_integral_v<D>) {
        r.kind = ZorFmtArg::UInt;
        r.size = sizeof(D);
        r.v.u = (uint64_t)a;
    } else if constexpr (std::is_floating_point_v<D>) {
        r.kind = ZorFmtArg::Double;
        r.size = 8;
        r.v.d = (double)a;
    } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
        r.kind = ZorFmtArg::Narrow;
        r.v.p = a;
    } else if constexpr (std::is_same_v<D, const char16_t*> || std::is_same_v<D, char16_t*>) {
        r.kind = ZorFmtArg::Wide;
        r.v.p = a;
    } else if constexpr (std::is_same_v<D, CNarrowString>) {
        r.kind = ZorFmtArg::Narrow;
        r.v.p = a.GetString();
        r.len = a.GetLength();
    } else if constexpr (std::is_same_v<D, CWideString>) {
        r.kind = ZorFmtArg::Wide;
        r.v.p = a.GetString();
        r.len = a.GetLength();
    } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
        r.kind = ZorFmtArg::Narrow;
        r.v.p = a.data();
        r.len = (int)a.size();
    } else if constexpr (std::is_same_v<D, std::u16string> || std::is_same_v<D, std::u16string_view>) {
        r.kind = ZorFmtArg::Wide;
        r.v.p = a.data();
        r.len = (int)a.size();
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        r.kind = ZorFmtArg::Pointer;
        r.v.p = nullptr;
    } else if constexpr (std::is_pointer_v<D>) {
        r.kind = ZorFmtArg::Pointer;
        r.v.p = (const void*)a;
    } else {
        static_assert(sizeof(D) == 0, "unsupported printf argument type");
    }
    return r;
}

// Formats onto the end of out. The format and string arguments may point into
// out itself. Implemented for char and char16_t.
template <typename T> void ZorFormatArgs(CStringT<T>& out, const T* fmt, const ZorFmtArg* args, int nArgs);

// ---------------------------------------------------------------- the string
template <typename T> class CStringT {
public:
    using XCHAR = T;
    using YCHAR = std::conditional_t<std::is_same_v<T, char>, char16_t, char>;

    CStringT() noexcept : m_pch(EmptyChars()) {}
    // An empty string is shared without a count (the common case is inline).
    CStringT(const CStringT& s) noexcept : m_pch(EmptyChars()) {
        if (s.m_pch != EmptyChars()) CopyShared(s);
    }
    CStringT(CStringT&& s) noexcept : m_pch(s.m_pch) { s.m_pch = EmptyChars(); }
    CStringT(const T* s) : CStringT() { SetString(s, ZorStrLen(s)); }
    CStringT(const T* s, int len) : CStringT() { SetString(s, len); }
    CStringT(std::basic_string_view<T> s) : CStringT() { SetString(s.data(), (int)s.size()); }
    explicit CStringT(T ch, int repeat = 1);
    // Latin-1 conversion from the other character type.
    CStringT(const CStringT<YCHAR>& s) : CStringT() { AssignOther(s.GetString(), s.GetLength()); }
    explicit CStringT(const YCHAR* s) : CStringT() { AssignOther(s, ZorStrLen(s)); }
    explicit CStringT(const YCHAR* s, int len) : CStringT() { AssignOther(s, len); }
    ~CStringT() {
        if (m_pch != EmptyChars()) Release();
    }

    // Assigning the same buffer (two empty strings most often) does nothing.
    CStringT& operator=(const CStringT& s) {
        if (s.m_pch != m_pch) AssignShared(s);
        return *this;
    }
    CStringT& operator=(CStringT&& s) noexcept {
        if (this != &s) {
            if (m_pch != EmptyChars()) Release();
            m_pch = s.m_pch;
            s.m_pch = EmptyChars();
        }
        return *this;
    }
    CStringT& operator=(const T* s) {
        SetString(s, ZorStrLen(s));
        return *this;
    }
    CStringT& operator=(T ch) {
        SetString(&ch, 1);
        return *this;
    }
    CStringT& operator=(const CStringT<YCHAR>& s) {
        AssignOther(s.GetString(), s.GetLength());
        return *this;
    }

    // -- access
    int GetLength() const { return Data()->nDataLength; }
    bool IsEmpty() const { return GetLength() == 0; }
    void Empty();
    const T* GetString() const { return m_pch; }
    const T* c_str() const { return m_pch; }
    operator const T*() const { return m_pch; }
    std::basic_string_view<T> View() const { return {m_pch, (size_t)GetLength()}; }
    T GetAt(int i) const;
    T operator[](int i) const { return GetAt(i); }
    void SetAt(int i, T ch);
    T GetLast() const { return IsEmpty() ? T(0) : m_pch[GetLength() - 1]; }

    // -- buffer access. GetBuffer makes the characters private, writable and
    // locked; ReleaseBuffer(-1) takes the length from the terminator.
    T* GetBuffer(int nMinLength = 0);
    T* GetBufferSetLength(int nLength);
    void ReleaseBuffer(int nNewLength = -1);
    void Preallocate(int nLength);
    void Truncate(int nLength);
    void SetString(const T* s, int len);

    // -- concatenation
    CStringT& Append(const T* s, int len);
    CStringT& Append(const T* s) { return Append(s, ZorStrLen(s)); }
    CStringT& Append(const CStringT& s) { return Append(s.m_pch, s.GetLength()); }
    CStringT& AppendChar(T ch) { return Append(&ch, 1); }
    CStringT& operator+=(const CStringT& s) { return Append(s); }
    CStringT& operator+=(const T* s) { return Append(s); }
    CStringT& operator+=(T ch) { return AppendChar(ch); }

    // -- comparison
    int Compare(const T* s) const; // code-unit order
    int Compare(const CStringT& s) const;
    int CompareNoCase(const T* s) const; // the library's case fold
    int CompareNoCase(const CStringT& s) const;
    bool EqualsNoCase(const T* s) const { return CompareNoCase(s) == 0; }
    bool StartsWith(const T* prefix) const;
    bool StartsWithNoCase(const T* prefix) const;
    bool EndsWith(const T* suffix) const;
    bool EndsWithNoCase(const T* suffix) const;
    // Case-insensitive prefix test; on success tail gets the rest of the text.
    bool StartsWithTailNoCase(const T* prefix, CStringT& tail) const;
    // Case-insensitive suffix test; on success head gets the text before it.
    bool EndsWithHeadNoCase(const T* suffix, CStringT& head) const;

    // -- extraction
    CStringT Left(int n) const;
    CStringT Right(int n) const;
    CStringT Mid(int start) const { return Mid(start, INT_MAX); }
    CStringT Mid(int start, int count) const;
    CStringT SpanIncluding(const T* set) const;
    CStringT SpanExcluding(const T* set) const;

    // -- search; -1 when not found
    int Find(T ch, int start = 0) const;
    int Find(const T* s, int start = 0) const;
    int ReverseFind(T ch) const;
    int ReverseFind(const T* s) const;
    int FindOneOf(const T* set) const;
    // Skips leading delimiters from start and returns the text up to the next
    // delimiter; start moves past it. No more tokens: empty text, start -1.
    CStringT Tokenize(const T* delims, int& start) const;

    // -- modification
    int Insert(int index, T ch);
    int Insert(int index, const T* s);
    // Deletes count characters from index (to the end by default); returns the new length.
    int Delete(int index, int count = INT_MAX);
    int Replace(T oldCh, T newCh);                   // returns the count replaced
    int Replace(const T* oldText, const T* newText); // every occurrence; returns the count
    int Remove(T ch);
    CStringT& Trim(); // white space both ends
    CStringT& Trim(T ch);
    CStringT& Trim(const T* set);
    CStringT& TrimLeft();
    CStringT& TrimLeft(T ch); // removes every leading copy of ch
    CStringT& TrimLeft(const T* set);
    CStringT& TrimRight();
    CStringT& TrimRight(T ch);
    CStringT& TrimRight(const T* set);
    CStringT& MakeLower(); // simple lower-case mapping (ASCII for narrow)
    CStringT& MakeUpper();
    CStringT& MakeReverse();

    // -- printf-style formatting through the library's engine
    // The format and the arguments may be this string itself: the result is
    // built aside and assigned at the end.
    template <typename... A> void Format(const T* fmt, const A&... args) {
        CStringT r;
        r.AppendFormat(fmt, args...);
        *this = std::move(r);
    }
    template <typename... A> void AppendFormat(const T* fmt, const A&... args) {
        if constexpr (sizeof...(A) == 0) {
            ZorFormatArgs<T>(*this, fmt, nullptr, 0);
        } else {
            const ZorFmtArg a[] = {ZorMakeFmtArg(args)...};
            ZorFormatArgs<T>(*this, fmt, a, (int)sizeof...(A));
        }
    }
    template <typename... A> static CStringT Formatted(const T* fmt, const A&... args) {
        CStringT s;
        s.AppendFormat(fmt, args...);
        return s;
    }

    size_t Hash() const; // h*33 + unit

    StringData* Data() const { return ((StringData*)m_pch) - 1; }

private:
    T* m_pch;

    static T* EmptyChars() { return (T*)zor_detail::EmptyStringData()->data(); }
    // The copy of a string that is not empty: shared, or copied while locked.
    void CopyShared(const CStringT& s) noexcept;
    void AssignShared(const CStringT& s);
    void Release();
    void AssignOther(const YCHAR* s, int len);
    // Makes the buffer private with room for nLength characters, keeping the content.
    void PrepareWrite(int nLength);
    static StringData* Allocate(int nLength);
    static void Free(StringData* d);
};

static_assert(sizeof(CWideString) == sizeof(void*), "one-pointer layout");

template <typename T> inline CStringT<T> operator+(const CStringT<T>& a, const CStringT<T>& b) {
    CStringT<T> r;
    r.Preallocate(a.GetLength() + b.GetLength());
    r.Append(a);
    r.Append(b);
    return r;
}
template <typename T> inline CStringT<T> operator+(const CStringT<T>& a, const T* b) {
    CStringT<T> r(a);
    r.Append(b);
    return r;
}
template <typename T> inline CStringT<T> operator+(const T* a, const CStringT<T>& b) {
    CStringT<T> r(a);
    r.Append(b);
    return r;
}
template <typename T> inline CStringT<T> operator+(const CStringT<T>& a, T ch) {
    CStringT<T> r(a);
    r.AppendChar(ch);
    return r;
}
template <typename T> inline CStringT<T> operator+(T ch, const CStringT<T>& b) {
    CStringT<T> r(ch);
    r.Append(b);
    return r;
}
template <typename T> inline bool operator==(const CStringT<T>& a, const CStringT<T>& b) {
    // Equal units, and a shared buffer needs no look at them.
    const int n = a.GetLength();
    return n == b.GetLength() &&
           (a.GetString() == b.GetString() || memcmp(a.GetString(), b.GetString(), sizeof(T) * (size_t)n) == 0);
}
template <typename T> inline bool operator==(const CStringT<T>& a, const T* b) {
    return a.Compare(b) == 0;
}
template <typename T> inline bool operator==(const T* a, const CStringT<T>& b) {
    return b.Compare(a) == 0;
}
template <typename T> inline bool operator!=(const CStringT<T>& a, const CStringT<T>& b) {
    return !(a == b);
}
template <typename T> inline bool operator!=(const CStringT<T>& a, const T* b) {
    return !(a == b);
}
template <typename T> inline bool operator!=(const T* a, const CStringT<T>& b) {
    return !(b == a);
}
template <typename T> inline bool operator<(const CStringT<T>& a, const CStringT<T>& b) {
    return a.Compare(b) < 0;
}

namespace std {
template <typename T> struct hash<CStringT<T>> {
    size_t operator()(const CStringT<T>& s) const { return s.Hash(); }
};
} // namespace std

// Comparisons of plain texts. ZorStrICmp uses the library's case fold.
// Results are the difference of the first differing (folded) units.
int ZorStrCmp(const char16_t* a, const char16_t* b);
int ZorStrICmp(const char16_t* a, const char16_t* b);
int ZorStrNICmp(const char16_t* a, const char16_t* b, int n);
int ZorStrICmpNarrow(const char* a, const char* b);
bool EqualsNoCase(const CNarrowString& a, const CNarrowString& b);
bool EqualsNoCase(const CWideString& a, const CWideString& b);
// Case-insensitive comparison; with bCaseSensitive set, texts equal ignoring
// case are then ordered by their exact code units.
int CompareNoCaseThenCase(const CWideString& a, const CWideString& b, bool bCaseSensitive);
int CompareNoCaseThenCase(const char16_t* a, int na, const char16_t* b, int nb, bool bCaseSensitive);
// Case-sensitive prefix tests of a wide string.
bool StrStartsWith(const char16_t* text, const char16_t* prefix);
bool StrStartsWithN(const char16_t* text, const char16_t* prefix, int n);
// Walks prefix against text for at most n bytes while equal; returns the
// position in prefix where they stopped (its terminator when all matched).
int MatchPrefixNarrow(const char* text, const char* prefix, int n);

// Literal helpers: u"..."_ws is a CWideString.
inline CWideString operator""_ws(const char16_t* s, size_t n) {
    return CWideString(s, (int)n);
}
inline CNarrowString operator""_ns(const char* s, size_t n) {
    return CNarrowString(s, (int)n);
}

// gtest/iostream printing support.
#include <iosfwd>
std::ostream& operator<<(std::ostream& os, const CWideString& s);
std::ostream& operator<<(std::ostream& os, const CNarrowString& s);
