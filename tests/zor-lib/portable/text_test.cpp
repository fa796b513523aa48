#include "zor-debug.h"
#include "zor-error.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

namespace {

std::string RunCommand(const std::string& cmd, int* rc) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *rc = pclose(p);
    return out;
}

} // namespace

TEST(Text, Md5Rfc1321Suite) {
    struct {
        const char* in;
        const char* md5;
    } v[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (auto& t : v) EXPECT_EQ(Md5HexOfText(CNarrowString(t.in)), t.md5) << t.in;
    // Bytes, not characters: an embedded NUL counts.
    EXPECT_EQ(Md5HexOfText(CNarrowString("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
}

TEST(Text, Base64Rfc4648Vectors) {
    const char* v[][2] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"}};
    for (auto& t : v) {
        EXPECT_EQ(Base64EncodeText(CNarrowString(t[0])), t[1]);
        CNarrowString out;
        CWideString err;
        EXPECT_TRUE(Base64Decode(CNarrowString(t[1]), out, err)) << err;
        EXPECT_EQ(out, t[0]);
    }
    // All byte values, both ways; the alphabet's last two characters appear.
    std::string all;
    for (int i = 0; i < 256; i++) all += (char)i;
    CNarrowString enc = Base64Encode(all.data(), all.size());
    EXPECT_EQ(enc.Right(12), "+fr7/P3+/w==");
    CNarrowString dec;
    CWideString err;
    ASSERT_TRUE(Base64Decode(enc, dec, err));
    EXPECT_EQ(std::string(dec.GetString(), (size_t)dec.GetLength()), all);
    EXPECT_EQ(Base64Encode("\xfb\xff", 2), "+/8=");
}

TEST(Text, Base64DecodeIsStrict) {
    const char* bad[] = {"Zm9",       // length not a multiple of 4
                         "Zm9v\n",    // line break
                         "Zm 9v",     // blank
                         "Zm9v====",  // too much padding
                         "Z===",      // padding in the wrong place
                         "Zg=a",      // data after padding
                         "Zm=v",      //
                         "Zm9-",      // URL-safe alphabet is not this one
                         "Zh==",      // unused bits set
                         "Zm9=Zm9v"}; // padding inside
    for (const char* b : bad) {
        CNarrowString out("keep");
        CWideString err;
        EXPECT_FALSE(Base64Decode(CNarrowString(b), out, err)) << b;
        EXPECT_TRUE(err.StartsWith(u"bad Base64 text: ")) << err;
        EXPECT_TRUE(out.IsEmpty());
    }
}

TEST(Text, UrlEncodeModes) {
    std::string all;
    for (int i = 1; i < 256; i++) all += (char)i;
    CNarrowString plain, pct;
    ASSERT_TRUE(UrlEncodeTo(CNarrowString(all.data(), (int)all.size()), plain, 0));
    ASSERT_TRUE(UrlEncodeTo(CNarrowString(all.data(), (int)all.size()), pct, URLENC_PERCENT));
    // Compare with Python's quote() given the characters left as they are.
    std::string py = "/usr/bin/python3 -c \"import urllib.parse as u; b=bytes(range(1,256)); "
                     "print(u.quote(b, safe=\\\"!'()*/:%\\\")); print(u.quote(b, safe=\\\"!'()*/:\\\"))\"";
    int rc = -1;
    std::string out = RunCommand(py, &rc);
    ASSERT_EQ(rc, 0);
    size_t nl = out.find('\n');
    EXPECT_EQ(std::string(plain.GetString()), out.substr(0, nl));
    EXPECT_EQ(std::string(pct.GetString()), out.substr(nl + 1, out.size() - nl - 2));

    CNarrowString r;
    EXPECT_TRUE(UrlEncodeTo(CNarrowString("a b%41"), r, 0));
    EXPECT_EQ(r, "a%20b%41"); // '%' kept without flag 64
    EXPECT_TRUE(UrlEncodeTo(CNarrowString("a b%41"), r, URLENC_PERCENT));
    EXPECT_EQ(r, "a%20b%2541");
    // Flag 32: from the first '?' or '#' on, the text is copied unchanged.
    EXPECT_TRUE(UrlEncodeTo(CNarrowString("/p a/x?q=a b#f g"), r, URLENC_STOP_AT_QUERY));
    EXPECT_EQ(r, "/p%20a/x?q=a b#f g");
    EXPECT_TRUE(UrlEncodeTo(CNarrowString("/a#b?c d"), r, URLENC_STOP_AT_QUERY | URLENC_PERCENT));
    EXPECT_EQ(r, "/a#b?c d");
    EXPECT_TRUE(UrlEncodeTo(CNarrowString("%/x y"), r, URLENC_STOP_AT_QUERY | URLENC_PERCENT));
    EXPECT_EQ(r, "%25/x%20y");
    EXPECT_FALSE(UrlEncodeTo(CNarrowString("x"), r, 2)); // unknown mode bit
    EXPECT_TRUE(r.IsEmpty());

    // UrlEncodeAny: flag 1 turns a wide text into UTF-8 first, else Latin-1.
    EXPECT_TRUE(UrlEncodeAny(u"d\u00e9j\u00e0 \u20ac"_ws, r, URLENC_UTF8 | URLENC_PERCENT));
    EXPECT_EQ(r, "d%C3%A9j%C3%A0%20%E2%82%AC");
    EXPECT_TRUE(UrlEncodeAny(u"d\u00e9j\u00e0 \u20ac"_ws, r, URLENC_PERCENT));
    EXPECT_EQ(r, "d%E9j%E0%20%3F");
    EXPECT_TRUE(UrlEncodeAny(CNarrowString("a&b"), r, URLENC_UTF8));
    EXPECT_EQ(r, "a%26b");
    EXPECT_EQ(UrlEncode(CNarrowString("50% off/now")), "50%25%20off/now");
    EXPECT_EQ(UrlEncodeW(u"/dir/\u00c5 & \U0001F600%"_ws), "/dir/%C3%85%20%26%20%F0%9F%98%80%25");
}

TEST(Text, UrlDecodeToW) {
    CWideString w, err;
    EXPECT_TRUE(UrlDecodeToW(CNarrowString("/dir/%C3%85%20%26+x%zz%4"), w, err));
    EXPECT_EQ(w, u"/dir/\u00c5 &+x%zz%4"); // bad escapes stay; '+' stays
    EXPECT_TRUE(UrlDecodeToW(CNarrowString("%e2%82%ac"), w, err));
    EXPECT_EQ(w, u"\u20ac");
    EXPECT_FALSE(UrlDecodeToW(CNarrowString("ab%FFcd"), w, err));
    EXPECT_EQ(err, u"bad UTF-8 sequence at pos 2 in string ab\ufffdcd");
    // Round trip of random texts through the peer path encoding.
    std::mt19937 rng(99);
    for (int i = 0; i < 500; i++) {
        CWideString s;
        int len = (int)(rng() % 12);
        for (int k = 0; k < len; k++) {
            char16_t c = (char16_t)(rng() % 3 == 0 ? rng() % 0x80 : 0x20 + rng() % 0xD700);
            s.AppendChar(c ? c : u'x');
        }
        CWideString back, e;
        ASSERT_TRUE(UrlDecodeToW(UrlEncodeW(s), back, e)) << e;
        EXPECT_EQ(back, s);
    }
}

TEST(Text, ParseUInt64) {
    uint64_t v = 5;
    CWideString err;
    EXPECT_TRUE(ParseUInt64("0", v, err));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(ParseUInt64("18446744073709551615", v, err));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_TRUE(ParseUInt64("000123", v, err));
    EXPECT_EQ(v, 123u);
    EXPECT_TRUE(err.IsEmpty());
    for (const char* bad :
         {"18446744073709551616", "99999999999999999999", "12a", "", "-1", " 1", "1 ", "+1"}) {
        CWideString e(u"prev; ");
        v = 77;
        EXPECT_FALSE(ParseUInt64(bad, v, e)) << bad;
        EXPECT_EQ(e, CWideString(u"prev; bad number: ") + CWideString(bad)); // appended
        EXPECT_EQ(v, 77u);                                                   // untouched
    }
}

TEST(Text, MakeValidFileNameAndSanitizeName) {
    CWideString s(u"a\\b/c:d*e?f\"g<h>i|j\rk\nl\tm");
    MakeValidFileName(s);
    EXPECT_EQ(s, u"a_b_c_d_e_f_g_h_i_j_k_l_m");
    s = u"x<>y"; // two replaced characters in a row give one underscore
    MakeValidFileName(s);
    EXPECT_EQ(s, u"x_y");
    s = u"a____b"; // one pass over pairs
    MakeValidFileName(s);
    EXPECT_EQ(s, u"a__b");
    s = u"\u00e9t\u00e9 2024.txt";
    MakeValidFileName(s);
    EXPECT_EQ(s, u"\u00e9t\u00e9 2024.txt");

    CWideString n(u"john's-pc_01 X.local \u00e9\u4e2d\u0661\U0001F600");
    SanitizeName(n);
    EXPECT_EQ(n, u"john-s-pc_01 --local \u00e9\u4e2d\u0661--");
}

TEST(Text, CodeTextPair) {
    CodeTextPair p;
    EXPECT_EQ(p.ToText(), "0.0.0.0");
    p.m_nVersion[0] = 6;
    p.m_nVersion[1] = 255;
    p.m_nVersion[3] = 12;
    EXPECT_EQ(p.ToText(), "6.255.0.12");
    p.m_sText = "beta 2";
    EXPECT_EQ(p.ToText(), "6.255.0.12 beta 2");
}

TEST(Text, NewGuidString) {
    std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; i++) {
        CNarrowString g = NewGuidString();
        ASSERT_TRUE(std::regex_match(g.GetString(), form)) << g;
        seen.insert(g.GetString());
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Text, NumberFormatting) {
    EXPECT_EQ(FormatByteSize(0), u"0 bytes");
    EXPECT_EQ(FormatByteSize(1023), u"1023 bytes");
    EXPECT_EQ(FormatByteSize(1024), u"1.00 KB");
    EXPECT_EQ(FormatByteSize(1536), u"1.50 KB");
    EXPECT_EQ(FormatByteSize(10 * 1024 - 1), u"9.99 KB"); // cut, not rounded up
    EXPECT_EQ(FormatByteSize(123456), u"120 KB");
    EXPECT_EQ(FormatByteSize(1000 * 1024), u"0.97 MB");
    EXPECT_EQ(FormatByteSize(5ULL << 30), u"5.00 GB");
    EXPECT_EQ(FormatByteSize(UINT64_MAX), u"15.9 EB");

    EXPECT_EQ(FormatThousands(0), u"0");
    EXPECT_EQ(FormatThousands(999), u"999");
    EXPECT_EQ(FormatThousands(1000), u"1,000");
    EXPECT_EQ(FormatThousands(4294967295u), u"4,294,967,295");
    EXPECT_EQ(FormatThousands64(100000), u"100,000");
    EXPECT_EQ(FormatThousands64(UINT64_MAX), u"18,446,744,073,709,551,615");

    EXPECT_EQ(FormatCountShort(0), u"0");
    EXPECT_EQ(FormatCountShort(999), u"999");
    EXPECT_EQ(FormatCountShort(1000), u"1.00K");
    EXPECT_EQ(FormatCountShort(1999), u"1.99K");
    EXPECT_EQ(FormatCountShort(45678), u"45.6K");
    EXPECT_EQ(FormatCountShort(999999), u"999K");
    EXPECT_EQ(FormatCountShort(1000000), u"1.00M");
    EXPECT_EQ(FormatCountShort(UINT64_MAX), u"18.4E");
}

TEST(Text, ErrorTextsAndKinds) {
    EXPECT_EQ(GetWinErrorText(ENOENT), u"No such file or directory (error 2)");
    EXPECT_EQ(GetWinErrorText(99999), u"(error 99999)");
    EXPECT_EQ(ZorErrorText(EACCES), u"Permission denied");
    EXPECT_EQ(ZorErrorText(99999), u"(error 99999)");
    EXPECT_EQ(ZorErrorText((int)0x80070005), u"(error 0x80070005)");
    struct {
        int code;
        bool notFound;
        int kind;
    } k[] = {{ENOSPC, false, 8},     {EDQUOT, false, 8}, {ENOMEM, false, 9}, {ETIMEDOUT, false, 4},
             {ECONNRESET, false, 3}, {EPIPE, false, 3},  {EACCES, false, 5}, {ENOENT, false, 5},
             {ENOENT, true, 7},      {EACCES, true, 5},  {0, false, 5}};
    for (auto& t : k) {
        int kind = -1;
        CWideString msg = MakeErrorMessage(t.code, kind, t.notFound);
        EXPECT_EQ(kind, t.kind) << t.code;
        EXPECT_EQ(msg, GetWinErrorText(t.code));
    }
}
