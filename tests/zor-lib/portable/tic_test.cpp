// Tic typed values: exact bytes of the writers, round trips of every value
// form, the readers' error texts, and safe handling of hostile input.
#include "test-tmp.h"
#include "zor-tic.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

CNarrowString N(const std::string& s) {
    return CNarrowString(s.data(), (int)s.size());
}

struct Reader {
    explicit Reader(const std::string& s) : in(N(s)) {}
    ZorStringStream in;
    CWideString err;
    unsigned char Next() {
        unsigned char ch = 0;
        EXPECT_TRUE(in.GetChar(ch, err));
        return ch;
    }
};

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; i++) s.push_back((char)i);
    return s;
}

} // namespace

TEST(TicWrite, ValueFormsAreByteExact) {
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(PutTicBool(out, 'f', true, err));
    ASSERT_TRUE(PutTicBool(out, 's', false, err));
    ASSERT_TRUE(PutTicUInt16(out, 'h', 65535, err));
    ASSERT_TRUE(PutTicUInt16(out, 'h', 7, err));
    ASSERT_TRUE(PutTicUInt32(out, 'l', 0xFFFFFFFFu, err));
    ASSERT_TRUE(PutTicUInt32(out, 'l', 0xFFFFFFFEu, err));
    ASSERT_TRUE(PutTicUInt32(out, 'l', 0xFFFFFFFDu, err));
    ASSERT_TRUE(PutTicInt32(out, '%', INT32_MIN, err));
    ASSERT_TRUE(PutTicText(out, "N", err));
    ASSERT_TRUE(PutTicString(out, CNarrowString(), err));
    ASSERT_TRUE(PutTicText(out, "i", err));
    ASSERT_TRUE(PutTicWString(out, u"\u00e9\U0001F600"_ws, err));
    ASSERT_TRUE(PutTicBool(out, 0xC2, true, err));
    EXPECT_EQ(out.GetText(), N("f=1|s=0|h=-1|h=7|l=-1|l=-2|l=4294967293|%=-2147483648|N:0:|"
                               "i:6:\xC3\xA9\xF0\x9F\x98\x80|\xC2=1|"));
}

TEST(TicWrite, StateFileExampleComposes) {
    // The header and root record of a state file, written with the helpers.
    ZorStringOutStream out;
    CWideString err;
    auto time = [&](unsigned char tag, uint32_t t) {
        return PutTicRecordBegin(out, tag, err) && PutTicUInt32(out, 't', t, err) &&
               PutTicRecordEnd(out, err);
    };
    auto len = [&](unsigned char tag, uint16_t h, uint32_t l) {
        return PutTicRecordBegin(out, tag, err) && PutTicUInt16(out, 'h', h, err) &&
               PutTicUInt32(out, 'l', l, err) && PutTicRecordEnd(out, err);
    };
    ASSERT_TRUE(PutTicText(out, "^[", err));
    for (auto [tag, v] : {std::pair{'a', 9}, {'b', 2}, {'c', 9}, {'1', 4}, {'2', 1}})
        ASSERT_TRUE(PutTicUInt16(out, tag, (uint16_t)v, err));
    ASSERT_TRUE(PutTicBool(out, 's', false, err) && PutTicRecordEnd(out, err));
    ASSERT_TRUE(PutTicText(out, "\n", err) && PutTicRecordBegin(out, err));
    ASSERT_TRUE(PutTicBool(out, 'f', true, err) && PutTicText(out, "N", err) &&
                PutTicString(out, CNarrowString(), err));
    ASSERT_TRUE(len('l', 0xFFFF, 0xFFFFFFFDu) && PutTicUInt32(out, 'a', 0, err));
    ASSERT_TRUE(time('C', 0) && time('t', 0) && time('p', 0) && len('s', 0xFFFF, 0xFFFFFFFEu));
    ASSERT_TRUE(PutTicText(out, "i", err) && PutTicString(out, CNarrowString(), err));
    ASSERT_TRUE(PutTicRecordBegin(out, 'g', err) && PutTicArrayBegin(out, 'a', 0, err) &&
                PutTicArrayEnd(out, err) && PutTicRecordEnd(out, err));
    ASSERT_TRUE(PutTicRecordEnd(out, err) && PutTicListBegin(out, err) && PutTicListEnd(out, err));
    EXPECT_EQ(out.GetText(),
              N("^[a=9|b=2|c=9|1=4|2=1|s=0|]\n[f=1|N:0:|l[h=-1|l=4294967293|]a=0|C[t=0|]t[t=0|]"
                "p[t=0|]s[h=-1|l=-2|]i:0:|g[a{=0|}]]<>"));
}

TEST(TicRoundTrip, EveryValueForm) {
    ZorStringOutStream out;
    CWideString err;
    const std::string bytes = AllBytes();
    const CWideString wide = u"Gr\u00fc\u00dfe \U0001D11E \u4e2d|:[]"_ws;
    ASSERT_TRUE(PutTicRecordBegin(out, 'R', err));
    ASSERT_TRUE(PutTicBool(out, 'b', true, err));
    ASSERT_TRUE(PutTicUInt16(out, 'u', 65535, err));
    ASSERT_TRUE(PutTicUInt16(out, 'v', 0, err));
    ASSERT_TRUE(PutTicUInt32(out, 'U', 0xFFFFFFFEu, err));
    ASSERT_TRUE(PutTicUInt32(out, 'W', 4000000000u, err));
    ASSERT_TRUE(PutTicInt32(out, 'i', -123456, err));
    ASSERT_TRUE(PutTicText(out, "s", err) && PutTicString(out, N(bytes), err));
    ASSERT_TRUE(PutTicText(out, "e", err) && PutTicString(out, CNarrowString(), err));
    ASSERT_TRUE(PutTicText(out, "w", err) && PutTicWString(out, wide, err));
    ASSERT_TRUE(PutTicBool(out, 0xC2, false, err));
    ASSERT_TRUE(PutTicInt32(out, 0xCD, 8, err));
    ASSERT_TRUE(PutTicListBegin(out, 'L', err));
    for (const char* m : {"*.tmp", "", "a|b"}) {
        ASSERT_TRUE(PutTicText(out, "\n", err) && PutTicString(out, CNarrowString(m), err));
    }
    ASSERT_TRUE(PutTicListEnd(out, err));
    ASSERT_TRUE(PutTicArrayBegin(out, 'A', 2, err));
    for (uint32_t t : {5u, 1700000000u}) {
        ASSERT_TRUE(PutTicRecordBegin(out, err) && PutTicUInt32(out, 'y', t, err) &&
                    PutTicRecordEnd(out, err) && PutTicArrayElementEnd(out, err));
    }
    ASSERT_TRUE(PutTicArrayEnd(out, err) && PutTicRecordEnd(out, err));

    ZorStringStream in(out.GetText());
    ASSERT_TRUE(GetTicPrefix(in, 'R', err) && GetTicPrefix(in, '[', err)) << err;
    int seen = 0;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        ASSERT_TRUE(GetTicTag(in, ']', tag, bEnd, err)) << err;
        if (bEnd) break;
        seen++;
        bool b;
        uint16_t u16;
        uint32_t u32;
        int32_t i32;
        CNarrowString s;
        CWideString w;
        switch (tag) {
            case 'b':
                ASSERT_TRUE(GetTicBool(in, tag, b, err)) << err;
                EXPECT_TRUE(b);
                break;
            case 'u':
                ASSERT_TRUE(GetTicUInt16(in, tag, u16, err)) << err;
                EXPECT_EQ(u16, 65535);
                break;
            case 'v':
                ASSERT_TRUE(GetTicUInt16(in, tag, u16, err)) << err;
                EXPECT_EQ(u16, 0);
                break;
            case 'U':
                ASSERT_TRUE(GetTicUInt32(in, tag, u32, err)) << err;
                EXPECT_EQ(u32, 0xFFFFFFFEu);
                break;
            case 'W':
                ASSERT_TRUE(GetTicUInt32(in, tag, u32, err)) << err;
                EXPECT_EQ(u32, 4000000000u);
                break;
            case 'i':
                ASSERT_TRUE(GetTicInt32(in, tag, i32, err)) << err;
                EXPECT_EQ(i32, -123456);
                break;
            case 's':
                ASSERT_TRUE(GetTicString(in, tag, s, err)) << err;
                EXPECT_EQ(s, N(bytes));
                break;
            case 'e':
                s = "x";
                ASSERT_TRUE(GetTicString(in, tag, s, err)) << err;
                EXPECT_TRUE(s.IsEmpty());
                break;
            case 'w':
                ASSERT_TRUE(GetTicWString(in, tag, w, err)) << err;
                EXPECT_EQ(w, wide);
                break;
            case 0xC2:
                b = true;
                ASSERT_TRUE(GetTicBool(in, tag, b, err)) << err;
                EXPECT_FALSE(b);
                break;
            case 0xCD:
                ASSERT_TRUE(GetTicInt32(in, tag, i32, err)) << err;
                EXPECT_EQ(i32, 8);
                break;
            case 'L': {
                ASSERT_TRUE(GetTicPrefix(in, '<', err));
                std::vector<std::string> got;
                for (;;) {
                    bool bListEnd = false;
                    ASSERT_TRUE(GetTicListNext(in, bListEnd, err)) << err;
                    if (bListEnd) break;
                    ASSERT_TRUE(GetTicString(in, tag, s, err)) << err;
                    got.emplace_back(s.GetString(), s.GetLength());
                }
                EXPECT_EQ(got, (std::vector<std::string>{"*.tmp", "", "a|b"}));
                break;
            }
            case 'A': {
                int n = -1;
                ASSERT_TRUE(GetTicArrayBegin(in, tag, n, err)) << err;
                ASSERT_EQ(n, 2);
                std::vector<uint32_t> got;
                for (int k = 0; k < n; k++) {
                    ASSERT_TRUE(GetTicPrefix(in, '[', err) && GetTicPrefix(in, 'y', err) &&
                                GetTicUInt32(in, 'y', u32, err) && GetTicPrefix(in, ']', err) &&
                                GetTicArrayElementEnd(in, err))
                        << err;
                    got.push_back(u32);
                }
                ASSERT_TRUE(GetTicArrayEnd(in, err)) << err;
                EXPECT_EQ(got, (std::vector<uint32_t>{5u, 1700000000u}));
                break;
            }
            default:
                FAIL() << "unexpected tag " << (int)tag;
        }
    }
    EXPECT_EQ(seen, 13);
    EXPECT_TRUE(in.IsEof());
}

TEST(TicRead, UnsignedSentinelsAndRanges) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t value;
    };
    const Case u32[] = {{"=-1|", true, 0xFFFFFFFFu},
                        {"=-2|", true, 0xFFFFFFFEu},
                        {"=-3|", true, 0xFFFFFFFDu},
                        {"=4294967295|", true, 0xFFFFFFFFu},
                        {"=0|", true, 0},
                        {"=4294967296|", false, 0},
                        {"=99999999999999999999999|", false, 0},
                        {"=|", false, 0},
                        {"=-|", false, 0}};
    for (const Case& c : u32) {
        Reader r(c.text);
        uint32_t v = 0;
        EXPECT_EQ(GetTicUInt32(r.in, 'l', v, r.err), c.ok) << c.text << " " << r.err;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_FALSE(r.err.IsEmpty()) << c.text;
        }
    }
    Reader r16("=-1|=65535|=65536|");
    uint16_t v16 = 0;
    EXPECT_TRUE(GetTicUInt16(r16.in, 'h', v16, r16.err));
    EXPECT_EQ(v16, 65535);
    EXPECT_TRUE(GetTicUInt16(r16.in, 'h', v16, r16.err));
    EXPECT_EQ(v16, 65535);
    EXPECT_FALSE(GetTicUInt16(r16.in, 'h', v16, r16.err));
    EXPECT_EQ(r16.err, u"Posn 18: @h: number out of range"_ws);

    Reader ri("=2147483647|=-2147483648|=2147483648|");
    int32_t i = 0;
    EXPECT_TRUE(GetTicInt32(ri.in, 'n', i, ri.err));
    EXPECT_EQ(i, INT32_MAX);
    EXPECT_TRUE(GetTicInt32(ri.in, 'n', i, ri.err));
    EXPECT_EQ(i, INT32_MIN);
    EXPECT_FALSE(GetTicInt32(ri.in, 'n', i, ri.err));
}

TEST(TicRead, ExactErrorTexts) {
    struct Case {
        const char* input;
        int reader;
        const char16_t* text;
    };
    // reader: 0 GetTicPrefix('['), 1 GetTicBool, 2 GetTicInt32No('=','|'), 3 GetTicUInt32,
    // 4 GetTicString, 5 SkipTicValue, 6 array element end, 7 array end, 8 GetTicUInt16
    const Case cases[] = {
        {"x", 0, u"GetTicPrefix: Posn 1: bad type 'x' (78), '[' expected"},
        {"\xC3", 0, u"GetTicPrefix: Posn 1: bad type '\u00c3' (C3), '[' expected"},
        {"-1|", 1, u"Posn 1: @f: Bool prefix wrong: -"},
        {"=2|", 1, u"Posn 2: @f: bad char 2, '0/1' expected"},
        {"=1x", 1, u"Posn 3: @f: bad char x after Int number, '|' expected"},
        {":5|", 2, u"Posn 1: @f: Int prefix wrong ':', expected '='"},
        {"=12x", 2, u"GetTicInt32No: posn 4: bad char 78 after Int number, '|' expected"},
        {":1|", 3, u"Posn 1: @f: UInt prefix wrong: :"},
        {"=-4|", 3, u"Posn 4: @f: negative number -4 where unsigned expected"},
        {"=-70000|", 8, u"Posn 8: @f: negative number -70000 where unsigned expected"},
        {":3:abcX", 4, u"Posn 7: @f: string delimiter wrong: X"},
        {"=3:abc|", 4, u"Posn 1: @f: Int prefix wrong '=', expected ':'"},
        {"?", 5, u"Cannot skip: Posn 1: type='66' pfx='3F'"},
        {"{=1|=5||x", 5, u"bad char after array: x"},
        {"{=1|=5x", 5, u"GetTicInt32No: posn 7: bad char 78 after Int number, '|' expected"},
        {"{=2|=5|x", 5, u"bad char after array element: x"},
        {"x", 6, u"bad char after array element: x"},
        {"]", 7, u"bad char after array: ]"},
        {"", 1, u"Posn 0: @f: unexpected end of input"},
    };
    for (const Case& c : cases) {
        Reader r(c.input);
        bool b;
        int32_t i;
        uint32_t u;
        uint16_t u16;
        CNarrowString s;
        bool ok = true;
        switch (c.reader) {
            case 0:
                ok = GetTicPrefix(r.in, '[', r.err);
                break;
            case 1:
                ok = GetTicBool(r.in, 'f', b, r.err);
                break;
            case 2:
                ok = GetTicInt32No(r.in, 'f', '=', '|', i, r.err);
                break;
            case 3:
                ok = GetTicUInt32(r.in, 'f', u, r.err);
                break;
            case 4:
                ok = GetTicString(r.in, 'f', s, r.err);
                break;
            case 5:
                ok = SkipTicValue(r.in, 'f', r.err);
                break;
            case 6:
                ok = GetTicArrayElementEnd(r.in, r.err);
                break;
            case 7:
                ok = GetTicArrayEnd(r.in, r.err);
                break;
            case 8:
                ok = GetTicUInt16(r.in, 'f', u16, r.err);
                break;
        }
        EXPECT_FALSE(ok) << c.input;
        EXPECT_EQ(r.err, CWideString(c.text)) << c.input;
    }
}

TEST(TicSkip, SkipsEveryFormAndStopsRightAfterIt) {
    // Every form, nested, with line feeds before list elements and raw tags
    // above 127; '#' follows each value.
    const std::string values[] = {
        "=1|",
        "=-2|",
        ":0:|",
        ":5:a]>}||",
        "[]",
        "[a=1|b:2:xy|c[d=1|]\xC2=0|\xFF[]]",
        "<>",
        "<:1:a|\n:1:b|>",
        "<\n[a=1|]\n[b=2|]\n>",
        "{=0|}",
        "{=2|[y=5|]|[y=6|]|}",
        "[g[a{=1|[y=7|t[t=9|]]|}]l<\n[y=1|]>]",
        // a state-file node with its children, as untagged list elements
        "<\n[f=1|N:1:x|]<\n[N:1:y|]<>>>",
    };
    for (const std::string& v : values) {
        Reader r(v + "#");
        ASSERT_TRUE(SkipTicValue(r.in, 'q', r.err)) << v << ": " << r.err;
        EXPECT_EQ(r.Next(), '#') << v;
    }
}

TEST(TicSkip, HostileInputFailsCleanlyAndFast) {
    auto start = std::chrono::steady_clock::now();
    // Lengths and counts that promise far more than the input holds.
    const char* inputs[] = {":2147483647:abc|",
                            ":-5:abc|",
                            ":9223372036854775807:x",
                            ":99999999999999999999:x",
                            "{=2147483647|=1|",
                            "{=-1|}",
                            "[a=1|",
                            "<:1:a|",
                            "<\n\n:1:a|>"};
    for (const char* s : inputs) {
        Reader r(s);
        EXPECT_FALSE(SkipTicValue(r.in, 'x', r.err)) << s;
        EXPECT_FALSE(r.err.IsEmpty()) << s;
    }
    // Reading (not skipping) a text with a huge or negative length allocates nothing.
    for (const char* s : {":2147483647:abc|", ":67108865:abc|", ":-1:|"}) {
        Reader r(s);
        CNarrowString out("keep");
        EXPECT_FALSE(GetTicString(r.in, 'N', out, r.err)) << s;
        EXPECT_EQ(out, "keep"_ns); // untouched on failure
    }
    Reader neg(":-1:|");
    CNarrowString out;
    EXPECT_FALSE(GetTicString(neg.in, 'N', out, neg.err));
    EXPECT_EQ(neg.err, u"Posn 4: @N: bad string length -1"_ws);
    Reader big(":67108865:x");
    EXPECT_FALSE(GetTicString(big.in, 'N', out, big.err));
    EXPECT_EQ(big.err, u"Posn 10: @N: string too long (67108865 bytes)"_ws);
    Reader shortText(":10:abc");
    EXPECT_FALSE(GetTicString(shortText.in, 'N', out, shortText.err));
    EXPECT_EQ(shortText.err, u"Posn 7: @N: unexpected end of input inside a string"_ws);

    // Nesting far beyond the limit ends with a message, not a stack overflow.
    for (const char* unit : {"[a", "<", "{=1|"}) {
        std::string deep;
        for (int i = 0; i < 100000; i++) deep += unit;
        Reader r(deep);
        EXPECT_FALSE(SkipTicValue(r.in, 'x', r.err));
        EXPECT_TRUE(r.err.Find(u"nested deeper than 256 levels") >= 0) << unit << ": " << r.err;
    }
    // Just inside the limit is fine.
    std::string ok = "[";
    for (int i = 0; i < kTicMaxDepth - 1; i++) ok += "a[";
    ok += std::string(kTicMaxDepth, ']');
    Reader r(ok);
    EXPECT_TRUE(SkipTicValue(r.in, 'x', r.err)) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A number reads the same (value, error text, position) whether its bytes are
// all in memory or it straddles the end of a file stream's buffer.
TEST(TicRead, NumbersAcrossBufferEdges) {
    const char* const kTexts[] = {
        "=0|", "=-1|", "=-3|", "=123456789012345678|",  "=1234567890123456789|", "=4294967296|", "=12x",
        "=-|", "=|",   "=42",  "=99999999999999999999|"};
    std::string tmplPath = TvTmpPath("tv-tic-XXXXXX");
    char* tmpl = tmplPath.data();
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/n.tic";
    constexpr int kBuf = 65536; // the file stream's buffer
    for (const char* text : kTexts) {
        const std::string t = text;
        auto readOne = [&](ZorInStream& in, CWideString& err, int64_t& v) {
            int32_t n32 = 0;
            const bool ok = GetTicInt32No(in, 'x', '=', '|', n32, err);
            v = n32;
            uint32_t u = 0;
            return std::make_pair(ok, ok ? GetTicUInt32(in, 'u', u, err) : false);
        };
        const std::string both = t + t;
        for (int nBefore = kBuf - (int)both.size(); nBefore <= kBuf; nBefore++) {
            const std::string data = std::string(nBefore, ' ') + both;
            {
                std::FILE* f = std::fopen(path.c_str(), "wb");
                ASSERT_NE(f, nullptr);
                std::fwrite(data.data(), 1, data.size(), f);
                std::fclose(f);
            }
            CAutoPtrT<ZorInStream> file;
            CWideString err;
            ASSERT_TRUE(OpenFileReader(Utf8ToWide(path.c_str()), false, file, err));
            Reader ref(data);
            std::string skip(nBefore, '\0');
            ASSERT_EQ(file->ReadBytes(skip.data(), nBefore, err), nBefore);
            ASSERT_EQ(ref.in.ReadBytes(skip.data(), nBefore, ref.err), nBefore);
            int64_t v = 0, vRef = 0;
            const auto ok = readOne(*file, err, v);
            EXPECT_EQ(ok, readOne(ref.in, ref.err, vRef)) << text << " at " << nBefore;
            EXPECT_EQ(v, vRef) << text;
            EXPECT_EQ(file->GetPosn(), ref.in.GetPosn()) << text << " at " << nBefore;
            EXPECT_EQ(err, ref.err) << text << " at " << nBefore;
        }
    }
    std::remove(path.c_str());
    rmdir(tmpl);
}
