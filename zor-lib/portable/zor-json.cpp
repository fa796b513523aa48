// JSON parser, value tree, path look-up and writer.
#include "zor-json.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <algorithm>
#include <climits>
#include <string>

namespace {

// ---------------------------------------------------------------- parser

inline bool IsJsonSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
inline bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
inline bool IsIdentStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$';
}
inline bool IsIdentChar(unsigned char c) {
    return IsIdentStart(c) || IsDigit(c);
}
inline int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class JsonParser {
public:
    JsonParser(const char* text, int len)
        : m_begin((const unsigned char*)text), m_p(m_begin), m_end(m_begin + (len > 0 ? len : 0)) {}

    bool Run(ZorJsonValuePtr& out, CWideString& err) {
        out.reset();
        if (m_end - m_p >= 3 && m_p[0] == 0xEF && m_p[1] == 0xBB && m_p[2] == 0xBF) m_p += 3;
        SkipWs();
        ZorJsonValuePtr value;
        bool ok;
        if (m_p >= m_end) {
            ok = Fail(m_p, "empty JSON text");
        } else {
            ok = ParseValue(value);
            if (ok) {
                SkipWs();
                if (m_p < m_end) ok = FailFound(m_p, "unexpected text after the JSON value");
            }
        }
        if (!ok) {
            AppendError(err);
            return false;
        }
        out = std::move(value);
        return true;
    }

private:
    const unsigned char* m_begin;
    const unsigned char* m_p;
    const unsigned char* m_end;
    int m_depth = 0;
    const unsigned char* m_errAt = nullptr;
    CNarrowString m_sDetail;
    std::u16string m_buf; // string decoding buffer

    bool Fail(const unsigned char* at, const char* detail) {
        m_errAt = at;
        m_sDetail = detail;
        return false;
    }
    // "<what>, found 'c'" / "found byte 0xNN" / "found the end of the text".
    bool FailFound(const unsigned char* at, const char* what) {
        m_errAt = at;
        if (at >= m_end)
            m_sDetail.Format("%s, found the end of the text", what);
        else if (*at >= 0x21 && *at <= 0x7E)
            m_sDetail.Format("%s, found '%c'", what, (char)*at);
        else
            m_sDetail.Format("%s, found byte 0x%02X", what, (unsigned)*at);
        return false;
    }
    void AppendError(CWideString& err) const {
        long pos = (long)(m_errAt - m_begin);
        int line = 1;
        const unsigned char* lineStart = m_begin;
        for (const unsigned char* q = m_begin; q < m_errAt; ++q) {
            if (*q == '\n') {
                ++line;
                lineStart = q + 1;
            }
        }
        long column = (long)(m_errAt - lineStart) + 1;
        err.AppendFormat(u"JSON parse error at position %ld (line %d, column %ld): %s", pos, line, column,
                         m_sDetail);
    }

    void SkipWs() {
        while (m_p < m_end && IsJsonSpace(*m_p)) ++m_p;
    }
    bool StartsWith(const char* word) const {
        const unsigned char* q = m_p;
        for (; *word; ++word, ++q)
            if (q >= m_end || *q != (unsigned char)*word) return false;
        return true;
    }
    bool Enter(const unsigned char* at) {
        if (++m_depth > ZOR_JSON_MAX_DEPTH) {
            m_sDetail.Format("nesting deeper than %d levels", ZOR_JSON_MAX_DEPTH);
            m_errAt = at;
            return false;
        }
        return true;
    }

    bool ParseValue(ZorJsonValuePtr& out) {
        SkipWs();
        if (m_p >= m_end) return FailFound(m_p, "a value expected");
        switch (*m_p) {
            case '{':
                return ParseObject(out);
            case '[':
                return ParseArray(out);
            case '"': {
                CWideString s;
                if (!ParseString(s)) return false;
                out = std::make_unique<ZorJsonScalar>(s, true);
                return true;
            }
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                return ParseNumber(out);
            default:
                break;
        }
        static const char* const kLiterals[] = {"true", "false", "null"};
        for (const char* lit : kLiterals) {
            if (StartsWith(lit)) {
                int n = ZorStrLen(lit);
                out = std::make_unique<ZorJsonScalar>(CWideString(lit, n), false);
                m_p += n;
                return true;
            }
        }
        if (StartsWith("new") && m_p + 3 < m_end && IsJsonSpace(m_p[3])) return ParseNew(out);
        return FailFound(m_p, "a value expected");
    }

    bool ParseNumber(ZorJsonValuePtr& out) {
        const unsigned char* start = m_p;
        if (*m_p == '-') ++m_p;
        if (m_p < m_end && *m_p == '0') {
            ++m_p;
        } else if (m_p < m_end && *m_p >= '1' && *m_p <= '9') {
            while (m_p < m_end && IsDigit(*m_p)) ++m_p;
        } else {
            return FailFound(m_p, "bad number: a digit expected");
        }
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            if (m_p >= m_end || !IsDigit(*m_p))
                return FailFound(m_p, "bad number: a digit expected after '.'");
            while (m_p < m_end && IsDigit(*m_p)) ++m_p;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-')) ++m_p;
            if (m_p >= m_end || !IsDigit(*m_p))
                return FailFound(m_p, "bad number: a digit expected in the exponent");
            while (m_p < m_end && IsDigit(*m_p)) ++m_p;
        }
        out = std::make_unique<ZorJsonScalar>(CWideString((const char*)start, (int)(m_p - start)), false);
        return true;
    }

    // Decodes one UTF-8 sequence at m_p and steps over it; -1 when invalid.
    int32_t DecodeUtf8() {
        int adv;
        int32_t cp = Utf8DecodeOne(m_p, (int)std::min<ptrdiff_t>(m_end - m_p, 4), 0, adv);
        if (cp >= 0) m_p += adv;
        return cp;
    }

    bool ParseString(CWideString& out) {
        const unsigned char* start = m_p;
        ++m_p; // opening quote
        m_buf.clear();
        for (;;) {
            if (m_p >= m_end) return Fail(start, "unterminated string");
            unsigned char c = *m_p;
            if (c == '"') {
                ++m_p;
                break;
            }
            if (c == '\\') {
                const unsigned char* escAt = m_p;
                if (++m_p >= m_end) return Fail(start, "unterminated string");
                char16_t unit;
                switch (*m_p) {
                    case '"':
                        unit = u'"';
                        break;
                    case '\\':
                        unit = u'\\';
                        break;
                    case '/':
                        unit = u'/';
                        break;
                    case 'b':
                        unit = u'\b';
                        break;
                    case 'f':
                        unit = u'\f';
                        break;
                    case 'n':
                        unit = u'\n';
                        break;
                    case 'r':
                        unit = u'\r';
                        break;
                    case 't':
                        unit = u'\t';
                        break;
                    case 'u': {
                        int v = 0;
                        for (int k = 1; k <= 4; k++) {
                            int h = (m_p + k < m_end) ? HexValue(m_p[k]) : -1;
                            if (h < 0) return Fail(escAt, "bad \\u escape: four hexadecimal digits expected");
                            v = v * 16 + h;
                        }
                        m_p += 4;
                        // Units go in as they are: an escaped surrogate pair forms
                        // the pair, a lone surrogate stays a single unit.
                        unit = (char16_t)v;
                        break;
                    }
                    default:
                        return FailFound(m_p, "bad escape sequence in string");
                }
                ++m_p;
                m_buf.push_back(unit);
            } else if (c < 0x20) {
                return FailFound(m_p, "control character in string (must be escaped)");
            } else if (c < 0x80) {
                const unsigned char* run = m_p;
                while (m_p < m_end && *m_p >= 0x20 && *m_p < 0x80 && *m_p != '"' && *m_p != '\\') ++m_p;
                m_buf.append(run, m_p);
            } else {
                const unsigned char* at = m_p;
                int32_t cp = DecodeUtf8();
                if (cp < 0) return Fail(at, "bad UTF-8 sequence in string");
                if (cp >= 0x10000) {
                    cp -= 0x10000;
                    m_buf.push_back((char16_t)(0xD800 + (cp >> 10)));
                    m_buf.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
                } else {
                    m_buf.push_back((char16_t)cp);
                }
            }
        }
        out.SetString(m_buf.data(), (int)m_buf.size());
        return true;
    }

    bool ParseArray(ZorJsonValuePtr& out) {
        if (!Enter(m_p)) return false;
        ++m_p;
        auto arr = std::make_unique<ZorJsonArray>();
        SkipWs();
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
        } else {
            for (;;) {
                ZorJsonValuePtr v;
                if (!ParseValue(v)) return false;
                arr->Add(std::move(v));
                SkipWs();
                if (m_p < m_end && *m_p == ',') {
                    ++m_p;
                    continue;
                }
                if (m_p < m_end && *m_p == ']') {
                    ++m_p;
                    break;
                }
                return FailFound(m_p, "',' or ']' expected after an array element");
            }
        }
        --m_depth;
        out = std::move(arr);
        return true;
    }

    bool ParseObject(ZorJsonValuePtr& out) {
        if (!Enter(m_p)) return false;
        ++m_p;
        auto obj = std::make_unique<ZorJsonObject>();
        SkipWs();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
        } else {
            for (;;) {
                SkipWs();
                if (m_p >= m_end || *m_p != '"')
                    return FailFound(m_p, "a member name in double quotes expected");
                CWideString name;
                if (!ParseString(name)) return false;
                SkipWs();
                if (m_p >= m_end || *m_p != ':') return FailFound(m_p, "':' expected after a member name");
                ++m_p;
                ZorJsonValuePtr v;
                if (!ParseValue(v)) return false;
                obj->Add(name, std::move(v));
                SkipWs();
                if (m_p < m_end && *m_p == ',') {
                    ++m_p;
                    continue;
                }
                if (m_p < m_end && *m_p == '}') {
                    ++m_p;
                    break;
                }
                return FailFound(m_p, "',' or '}' expected after an object member");
            }
        }
        --m_depth;
        out = std::move(obj);
        return true;
    }

    // new Name(arg, ...)
    bool ParseNew(ZorJsonValuePtr& out) {
        if (!Enter(m_p)) return false;
        m_p += 3;
        SkipWs();
        if (m_p >= m_end || !IsIdentStart(*m_p))
            return FailFound(m_p, "a constructor name expected after 'new'");
        const unsigned char* nameStart = m_p;
        while (m_p < m_end && IsIdentChar(*m_p)) ++m_p;
        auto val =
            std::make_unique<ZorJsonNew>(CNarrowString((const char*)nameStart, (int)(m_p - nameStart)));
        SkipWs();
        if (m_p >= m_end || *m_p != '(') return FailFound(m_p, "'(' expected after the constructor name");
        ++m_p;
        SkipWs();
        if (m_p < m_end && *m_p == ')') {
            ++m_p;
        } else {
            for (;;) {
                ZorJsonValuePtr v;
                if (!ParseValue(v)) return false;
                val->AddArgument(std::move(v));
                SkipWs();
                if (m_p < m_end && *m_p == ',') {
                    ++m_p;
                    continue;
                }
                if (m_p < m_end && *m_p == ')') {
                    ++m_p;
                    break;
                }
                return FailFound(m_p, "',' or ')' expected after a constructor argument");
            }
        }
        --m_depth;
        out = std::move(val);
        return true;
    }
};

// ---------------------------------------------------------------- numbers

// A plain decimal integer: optional '-', one or more digits, nothing else.
bool ParseInt64Text(const CWideString& t, int64_t& value) {
    int n = t.GetLength();
    const char16_t* s = t.GetString();
    int i = 0;
    bool neg = false;
    if (n > 0 && s[0] == u'-') {
        neg = true;
        i = 1;
    }
    if (i >= n) return false;
    const uint64_t limit = neg ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
    uint64_t acc = 0;
    for (; i < n; i++) {
        if (s[i] < u'0' || s[i] > u'9') return false;
        unsigned d = (unsigned)(s[i] - u'0');
        if (acc > (limit - d) / 10) return false;
        acc = acc * 10 + d;
    }
    if (neg)
        value = (acc == (uint64_t)INT64_MAX + 1) ? INT64_MIN : -(int64_t)acc;
    else
        value = (int64_t)acc;
    return true;
}

// ---------------------------------------------------------------- paths

struct PathStep {
    bool bIndex;
    CWideString sName;
    int nIndex;
};

// Splits a path into member and index steps; false when malformed.
bool SplitPath(const char* path, std::vector<PathStep>& steps) {
    steps.clear();
    if (!path) return false;
    const char* p = path;
    if (!*p) return true;
    for (;;) {
        const char* nameStart = p;
        while (*p && *p != '.' && *p != '[' && *p != ']') ++p;
        if (p > nameStart) {
            steps.push_back({false, Utf8ToWide(nameStart, (int)(p - nameStart)), 0});
        } else if (*p != '[') {
            return false; // empty member name
        }
        while (*p == '[') {
            ++p;
            if (!IsDigit((unsigned char)*p)) return false;
            long long idx = 0;
            while (IsDigit((unsigned char)*p)) {
                if (idx <= INT_MAX) idx = idx * 10 + (*p - '0');
                ++p;
            }
            if (*p != ']') return false;
            ++p;
            steps.push_back({true, CWideString(), idx > INT_MAX ? INT_MAX : (int)idx});
        }
        if (!*p) return true;
        if (*p != '.') return false;
        ++p;
        if (!*p) return false;
    }
}

bool SplitPathOrReport(const char* path, std::vector<PathStep>& steps) {
    if (SplitPath(path, steps)) return true;
    ZorAssertFailed(__FILE__, __LINE__, 0, "malformed JSON path");
    return false;
}

// ---------------------------------------------------------------- writer

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

void AppendEscapedUnit(std::string& out, char16_t c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u";
    out += kHex[(c >> 12) & 15];
    out += kHex[(c >> 8) & 15];
    out += kHex[(c >> 4) & 15];
    out += kHex[c & 15];
}

} // namespace

// ---------------------------------------------------------------- ZorJsonValue

const ZorJsonValue* ZorJsonValue::GetMember(const char* name) const {
    CWideString w = Utf8ToWide(name);
    return GetMember(w);
}

bool ZorJsonValue::GetString(CWideString& out) const {
    out.Empty();
    return false;
}

bool ZorJsonValue::GetString(CNarrowString& utf8) const {
    CWideString w;
    if (!GetString(w)) {
        utf8.Empty();
        return false;
    }
    utf8 = WideToUtf8(w);
    return true;
}

bool ZorJsonValue::GetInt64(int64_t& value) const {
    CWideString t;
    return GetString(t) && ParseInt64Text(t, value);
}

bool ZorJsonValue::GetInt32(int32_t& value) const {
    int64_t v;
    if (!GetInt64(v) || v < INT32_MIN || v > INT32_MAX) return false;
    value = (int32_t)v;
    return true;
}

bool ZorJsonValue::GetBool(bool& value) const {
    CWideString t;
    if (!GetString(t)) return false;
    if (t == u"true") {
        value = true;
        return true;
    }
    if (t == u"false") {
        value = false;
        return true;
    }
    return false;
}

bool ZorJsonValue::IsNull() const {
    CWideString t;
    return IsScalar() && !IsQuoted() && GetString(t) && t == u"null";
}

const ZorJsonValue* ZorJsonValue::FindByPath(const char* path) const {
    std::vector<PathStep> steps;
    if (!SplitPathOrReport(path, steps)) return nullptr;
    const ZorJsonValue* cur = this;
    for (const PathStep& st : steps) {
        if (st.bIndex)
            cur = cur->IsArray() ? cur->GetElement(st.nIndex) : nullptr;
        else
            cur = cur->GetMember(st.sName);
        if (!cur) return nullptr;
    }
    return cur;
}

bool ZorJsonValue::GetStringByPath(const char* path, CWideString& out) const {
    const ZorJsonValue* v = FindByPath(path);
    return v && v->GetString(out);
}

bool ZorJsonValue::GetStringByPath(const char* path, CNarrowString& utf8) const {
    const ZorJsonValue* v = FindByPath(path);
    return v && v->GetString(utf8);
}

bool ZorJsonValue::GetInt32ByPath(const char* path, int32_t& value) const {
    const ZorJsonValue* v = FindByPath(path);
    return v && v->GetInt32(value);
}

bool ZorJsonValue::GetInt64ByPath(const char* path, int64_t& value) const {
    const ZorJsonValue* v = FindByPath(path);
    return v && v->GetInt64(value);
}

bool ZorJsonValue::GetArrayByPath(const char* path, ZorJsonValueList& out) const {
    out.clear();
    const ZorJsonValue* v = FindByPath(path);
    if (!v || !v->IsArray()) return false;
    int n = v->GetCount();
    out.reserve((size_t)n);
    for (int i = 0; i < n; i++) out.push_back(v->GetElement(i)->Clone());
    return true;
}

ZorJsonArray* ZorJsonValue::GetOrCreateArrayByPath(const char* path, bool bCreate) {
    std::vector<PathStep> steps;
    if (!SplitPathOrReport(path, steps)) return nullptr;
    ZorJsonValue* cur = this;
    for (size_t i = 0; i < steps.size(); i++) {
        const PathStep& st = steps[i];
        if (st.bIndex) {
            cur = cur->IsArray() ? cur->GetElement(st.nIndex) : nullptr;
            if (!cur) return nullptr;
            continue;
        }
        if (!cur->IsObject()) return nullptr;
        ZorJsonValue* next = cur->GetMember(st.sName);
        if (!next) {
            if (!bCreate) return nullptr;
            // Only member steps can be created: refuse before changing
            // anything when an index follows.
            for (size_t k = i + 1; k < steps.size(); k++)
                if (steps[k].bIndex) return nullptr;
            for (; i < steps.size(); i++) {
                ZorJsonValuePtr made;
                if (i + 1 == steps.size())
                    made = std::make_unique<ZorJsonArray>();
                else
                    made = std::make_unique<ZorJsonObject>();
                cur = static_cast<ZorJsonObject*>(cur)->Add(steps[i].sName, std::move(made));
            }
            return static_cast<ZorJsonArray*>(cur);
        }
        cur = next;
    }
    return cur->IsArray() ? static_cast<ZorJsonArray*>(cur) : nullptr;
}

// ---------------------------------------------------------------- kinds

ZorJsonValuePtr ZorJsonScalar::Number(int64_t value) {
    return std::make_unique<ZorJsonScalar>(CWideString::Formatted(u"%lld", (long long)value), false);
}

void ZorJsonScalar::WriteTo(CNarrowString& out, int flags) const {
    if (m_bQuoted)
        JsonAppendQuoted(out, m_sText.GetString(), m_sText.GetLength(), flags);
    else
        AppendWideAsUtf8(out, m_sText.GetString(), m_sText.GetLength());
}

ZorJsonValuePtr ZorJsonObject::Clone() const {
    auto c = std::make_unique<ZorJsonObject>();
    c->m_members.reserve(m_members.size());
    for (const auto& m : m_members) c->m_members.emplace_back(m.first, m.second->Clone());
    return c;
}

const ZorJsonValue* ZorJsonObject::GetElement(int i) const {
    if (i < 0 || i >= (int)m_members.size()) return nullptr;
    return m_members[(size_t)i].second.get();
}

CWideString ZorJsonObject::GetMemberName(int i) const {
    if (i < 0 || i >= (int)m_members.size()) return CWideString();
    return m_members[(size_t)i].first;
}

const ZorJsonValue* ZorJsonObject::GetMember(const char16_t* name, int len) const {
    if (!name) return nullptr;
    for (size_t i = m_members.size(); i-- > 0;) {
        const CWideString& n = m_members[i].first;
        if (n.GetLength() == len &&
            std::char_traits<char16_t>::compare(n.GetString(), name, (size_t)len) == 0)
            return m_members[i].second.get();
    }
    return nullptr;
}

ZorJsonValue* ZorJsonObject::Add(const CWideString& name, ZorJsonValuePtr value) {
    ZOR_ASSERT(value != nullptr);
    if (!value) value = ZorJsonScalar::Null();
    m_members.emplace_back(name, std::move(value));
    return m_members.back().second.get();
}

void ZorJsonObject::WriteTo(CNarrowString& out, int flags) const {
    out.AppendChar('{');
    bool first = true;
    for (const auto& m : m_members) {
        if (!first) out.AppendChar(',');
        first = false;
        JsonAppendQuoted(out, m.first.GetString(), m.first.GetLength(), flags);
        out.AppendChar(':');
        m.second->WriteTo(out, flags);
    }
    out.AppendChar('}');
}

ZorJsonValuePtr ZorJsonArray::Clone() const {
    auto c = std::make_unique<ZorJsonArray>();
    c->m_elements.reserve(m_elements.size());
    for (const auto& e : m_elements) c->m_elements.push_back(e->Clone());
    return c;
}

const ZorJsonValue* ZorJsonArray::GetElement(int i) const {
    if (i < 0 || i >= (int)m_elements.size()) return nullptr;
    return m_elements[(size_t)i].get();
}

ZorJsonValue* ZorJsonArray::Add(ZorJsonValuePtr value) {
    ZOR_ASSERT(value != nullptr);
    if (!value) value = ZorJsonScalar::Null();
    m_elements.push_back(std::move(value));
    return m_elements.back().get();
}

void ZorJsonArray::WriteTo(CNarrowString& out, int flags) const {
    out.AppendChar('[');
    for (size_t i = 0; i < m_elements.size(); i++) {
        if (i) out.AppendChar(',');
        m_elements[i]->WriteTo(out, flags);
    }
    out.AppendChar(']');
}

ZorJsonValuePtr ZorJsonNew::Clone() const {
    auto c = std::make_unique<ZorJsonNew>(m_sName);
    c->m_args.reserve(m_args.size());
    for (const auto& a : m_args) c->m_args.push_back(a->Clone());
    return c;
}

const ZorJsonValue* ZorJsonNew::GetElement(int i) const {
    if (i < 0 || i >= (int)m_args.size()) return nullptr;
    return m_args[(size_t)i].get();
}

ZorJsonValue* ZorJsonNew::AddArgument(ZorJsonValuePtr value) {
    ZOR_ASSERT(value != nullptr);
    if (!value) value = ZorJsonScalar::Null();
    m_args.push_back(std::move(value));
    return m_args.back().get();
}

void ZorJsonNew::WriteTo(CNarrowString& out, int flags) const {
    out.Append("new ");
    out.Append(m_sName);
    out.AppendChar('(');
    for (size_t i = 0; i < m_args.size(); i++) {
        if (i) out.AppendChar(',');
        m_args[i]->WriteTo(out, flags);
    }
    out.AppendChar(')');
}

// ---------------------------------------------------------------- free functions

bool JsonParseText(const char* text, int len, ZorJsonValuePtr& out, CWideString& err) {
    if (!text) len = 0;
    JsonParser parser(text ? text : "", len);
    return parser.Run(out, err);
}

CNarrowString JsonWriteText(const ZorJsonValue& value, int flags) {
    CNarrowString out;
    value.WriteTo(out, flags);
    return out;
}

void JsonAppendQuoted(CNarrowString& out, const char16_t* text, int len, int flags) {
    std::string buf;
    buf.reserve((size_t)len + 2);
    buf += '"';
    const bool ascii = (flags & ZJW_ASCII) != 0;
    for (int i = 0; i < len; i++) {
        char16_t c = text[i];
        switch (c) {
            case u'"':
                buf += "\\\"";
                continue;
            case u'\\':
                buf += "\\\\";
                continue;
            case u'\b':
                buf += "\\b";
                continue;
            case u'\f':
                buf += "\\f";
                continue;
            case u'\n':
                buf += "\\n";
                continue;
            case u'\r':
                buf += "\\r";
                continue;
            case u'\t':
                buf += "\\t";
                continue;
            default:
                break;
        }
        if (c < 0x20 || (ascii && c >= 0x7F)) {
            AppendEscapedUnit(buf, c);
        } else if (c < 0x80) {
            buf += (char)c;
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            AppendUtf8(buf, 0x10000 + (((uint32_t)c - 0xD800) << 10) + ((uint32_t)text[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendEscapedUnit(buf, c); // a lone surrogate has no UTF-8 form
        } else {
            AppendUtf8(buf, c);
        }
    }
    buf += '"';
    out.Append(buf.data(), (int)buf.size());
}
