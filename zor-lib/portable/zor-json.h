// JSON values: a parser for JSON text (RFC 8259 plus one extension, a
// constructor call `new Name(arg, ...)` as a value), a tree of values with a
// virtual interface, look-up by dotted and indexed paths, and a small writer.
//
// Value kinds:
//   scalar  - a number, a string or a literal (true, false, null). The scalar
//             keeps its text and whether it was quoted: a string keeps its
//             decoded text, a number or literal its source text. Callers read
//             any scalar as text ("true", "12.50"), or as a number or a flag.
//   object  - members in document order; look-up by name (case-sensitive).
//             With duplicate names every member is kept and look-up finds the
//             last one.
//   array   - elements in order.
//   new     - `new Name(...)`: the constructor name and its argument values.
//
// Parsing:
//   - Input is UTF-8. Invalid UTF-8 inside a string is an error; a leading
//     UTF-8 byte order mark is skipped.
//   - \u escapes produce UTF-16 units; an escaped surrogate pair produces the
//     pair. A lone escaped surrogate (e.g. "\uD800" not followed by a low
//     surrogate) is kept as that single unit, so nothing is lost; converting
//     such a text to UTF-8 later gives U+FFFD for it.
//   - Arrays, objects and `new` values nest at most ZOR_JSON_MAX_DEPTH deep.
//   - Error texts name what is wrong and where:
//     "JSON parse error at position P (line L, column C): <detail>",
//     P a 0-based byte offset, L and C 1-based (C counts bytes).
//
// Paths: member names separated by '.', each optionally followed by one or
// more indexes in brackets: "data.uri", "events[0].kind", "[1].id" (an index
// first applies to the value itself). A malformed path is a programming
// error (assertion report) and finds nothing.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

enum ZorJsonKind : int {
    ZJK_SCALAR = 1, // number, string or literal
    ZJK_OBJECT = 2,
    ZJK_ARRAY = 3,
    ZJK_NEW = 4, // new Name(...)
};

constexpr int ZOR_JSON_MAX_DEPTH = 512;

// Writer flags.
enum ZorJsonWriteFlags : int {
    ZJW_DEFAULT = 0, // non-ASCII characters written as UTF-8
    ZJW_ASCII = 1,   // every character outside 0x20..0x7E written as \uXXXX
};

class ZorJsonValue;
class ZorJsonArray;
using ZorJsonValuePtr = std::unique_ptr<ZorJsonValue>;
using ZorJsonValueList = std::vector<ZorJsonValuePtr>;

class ZorJsonValue {
public:
    virtual ~ZorJsonValue() = default;
    virtual ZorJsonKind GetKind() const = 0;
    // A deep copy.
    virtual ZorJsonValuePtr Clone() const = 0;

    bool IsScalar() const { return GetKind() == ZJK_SCALAR; }
    bool IsObject() const { return GetKind() == ZJK_OBJECT; }
    bool IsArray() const { return GetKind() == ZJK_ARRAY; }
    bool IsNew() const { return GetKind() == ZJK_NEW; }

    // Members of an object, elements of an array, arguments of a new value;
    // 0 for a scalar.
    virtual int GetCount() const { return 0; }
    // The i-th member value, element or argument; null when out of range.
    virtual const ZorJsonValue* GetElement(int /*i*/) const { return nullptr; }
    ZorJsonValue* GetElement(int i) {
        return const_cast<ZorJsonValue*>(static_cast<const ZorJsonValue*>(this)->GetElement(i));
    }
    // Name of the i-th member of an object; empty otherwise.
    virtual CWideString GetMemberName(int /*i*/) const { return CWideString(); }
    // Member of an object by name (the last one when the name repeats); null
    // when absent or when this is no object. The narrow form takes UTF-8.
    // The name may hold NUL units when its length is given.
    virtual const ZorJsonValue* GetMember(const char16_t* /*name*/, int /*len*/) const { return nullptr; }
    const ZorJsonValue* GetMember(const char16_t* name) const { return GetMember(name, ZorStrLen(name)); }
    const ZorJsonValue* GetMember(const CWideString& name) const {
        return GetMember(name.GetString(), name.GetLength());
    }
    const ZorJsonValue* GetMember(const char* name) const;
    template <typename N> ZorJsonValue* GetMember(const N& name) {
        return const_cast<ZorJsonValue*>(static_cast<const ZorJsonValue*>(this)->GetMember(name));
    }

    // Scalars: the text (decoded for a string, the source text for a number
    // or literal) and whether it was quoted. False / empty for other kinds.
    virtual bool GetString(CWideString& out) const;
    bool GetString(CNarrowString& utf8) const; // as UTF-8
    virtual bool IsQuoted() const { return false; }
    // Integer reads of a scalar whose text is a plain decimal integer (quoted
    // or not: "-12", 12); false for fractions, exponents or out of range.
    bool GetInt32(int32_t& value) const;
    bool GetInt64(int64_t& value) const;
    // true / false, quoted or not.
    bool GetBool(bool& value) const;
    // The literal null (unquoted).
    bool IsNull() const;

    // Writes the value as compact JSON text (appends).
    virtual void WriteTo(CNarrowString& out, int flags = ZJW_DEFAULT) const = 0;

    // -- look-up by path
    const ZorJsonValue* FindByPath(const char* path) const;
    ZorJsonValue* FindByPath(const char* path) {
        return const_cast<ZorJsonValue*>(static_cast<const ZorJsonValue*>(this)->FindByPath(path));
    }
    // False when absent or not a scalar (objects, arrays, new values).
    bool GetStringByPath(const char* path, CWideString& out) const;
    bool GetStringByPath(const char* path, CNarrowString& utf8) const;
    // False when absent or not an integer scalar.
    bool GetInt32ByPath(const char* path, int32_t& value) const;
    bool GetInt64ByPath(const char* path, int64_t& value) const;
    // Copies of the elements of the array at the path; false when absent or
    // not an array (the list is then left empty).
    bool GetArrayByPath(const char* path, ZorJsonValueList& out) const;
    // The array at the path. When it is absent and bCreate is set, missing
    // members along the path are created as objects and the last as an empty
    // array; indexes are never created. Null when absent (and not created) or
    // when a value of another kind stands in the way.
    ZorJsonArray* GetOrCreateArrayByPath(const char* path, bool bCreate);
};

class ZorJsonScalar : public ZorJsonValue {
public:
    ZorJsonScalar(const CWideString& text, bool bQuoted) : m_sText(text), m_bQuoted(bQuoted) {}
    // Helpers for building values.
    static ZorJsonValuePtr String(const CWideString& text) {
        return std::make_unique<ZorJsonScalar>(text, true);
    }
    static ZorJsonValuePtr Number(int64_t value);
    static ZorJsonValuePtr Bool(bool value) {
        return std::make_unique<ZorJsonScalar>(value ? CWideString(u"true") : CWideString(u"false"), false);
    }
    static ZorJsonValuePtr Null() { return std::make_unique<ZorJsonScalar>(CWideString(u"null"), false); }

    ZorJsonKind GetKind() const override { return ZJK_SCALAR; }
    ZorJsonValuePtr Clone() const override { return std::make_unique<ZorJsonScalar>(m_sText, m_bQuoted); }
    bool GetString(CWideString& out) const override {
        out = m_sText;
        return true;
    }
    bool IsQuoted() const override { return m_bQuoted; }
    // An unquoted scalar is written as its text unchanged: the builder of such
    // a value is responsible for it being a valid number or literal.
    void WriteTo(CNarrowString& out, int flags = ZJW_DEFAULT) const override;

    const CWideString& Text() const { return m_sText; }

private:
    CWideString m_sText;
    bool m_bQuoted;
};

class ZorJsonObject : public ZorJsonValue {
public:
    ZorJsonKind GetKind() const override { return ZJK_OBJECT; }
    ZorJsonValuePtr Clone() const override;
    int GetCount() const override { return (int)m_members.size(); }
    const ZorJsonValue* GetElement(int i) const override;
    using ZorJsonValue::GetElement;
    CWideString GetMemberName(int i) const override;
    using ZorJsonValue::GetMember;
    const ZorJsonValue* GetMember(const char16_t* name, int len) const override;
    void WriteTo(CNarrowString& out, int flags = ZJW_DEFAULT) const override;

    // Appends a member (a repeated name is kept as a further member); returns it.
    ZorJsonValue* Add(const CWideString& name, ZorJsonValuePtr value);

private:
    std::vector<std::pair<CWideString, ZorJsonValuePtr>> m_members;
};

class ZorJsonArray : public ZorJsonValue {
public:
    ZorJsonKind GetKind() const override { return ZJK_ARRAY; }
    ZorJsonValuePtr Clone() const override;
    int GetCount() const override { return (int)m_elements.size(); }
    const ZorJsonValue* GetElement(int i) const override;
    using ZorJsonValue::GetElement;
    void WriteTo(CNarrowString& out, int flags = ZJW_DEFAULT) const override;

    ZorJsonValue* Add(ZorJsonValuePtr value);

private:
    ZorJsonValueList m_elements;
};

// new Name(arg, ...): a constructor call such as new Date(1234).
class ZorJsonNew : public ZorJsonValue {
public:
    explicit ZorJsonNew(const CNarrowString& name) : m_sName(name) {}
    ZorJsonKind GetKind() const override { return ZJK_NEW; }
    ZorJsonValuePtr Clone() const override;
    int GetCount() const override { return (int)m_args.size(); }
    const ZorJsonValue* GetElement(int i) const override;
    using ZorJsonValue::GetElement;
    void WriteTo(CNarrowString& out, int flags = ZJW_DEFAULT) const override;

    const CNarrowString& GetName() const { return m_sName; }
    ZorJsonValue* AddArgument(ZorJsonValuePtr value);

private:
    CNarrowString m_sName; // an identifier: [A-Za-z_$][A-Za-z0-9_$]*
    ZorJsonValueList m_args;
};

// Parses JSON text (UTF-8). On success out holds the value tree; on failure
// out is reset, the parser's message is appended to err and false returned.
bool JsonParseText(const char* text, int len, ZorJsonValuePtr& out, CWideString& err);
inline bool JsonParseText(const CNarrowString& text, ZorJsonValuePtr& out, CWideString& err) {
    return JsonParseText(text.GetString(), text.GetLength(), out, err);
}

// The value as compact JSON text.
CNarrowString JsonWriteText(const ZorJsonValue& value, int flags = ZJW_DEFAULT);
// Appends text as a quoted JSON string.
void JsonAppendQuoted(CNarrowString& out, const char16_t* text, int len, int flags = ZJW_DEFAULT);
