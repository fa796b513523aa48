#include "test-tmp.h"
#include "zor-string.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string RunCommand(const std::string& cmd, int* rc = nullptr) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (rc) *rc = st;
    return out;
}

std::string TempDir() {
    std::string tmplPath = TvTmpPath("zor-unicode-XXXXXX");
    char* tmpl = tmplPath.data();
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
}

void AppendCp(CWideString& w, uint32_t cp) {
    if (cp < 0x10000) {
        w.AppendChar((char16_t)cp);
    } else {
        cp -= 0x10000;
        w.AppendChar((char16_t)(0xD800 + (cp >> 10)));
        w.AppendChar((char16_t)(0xDC00 + (cp & 0x3FF)));
    }
}

// "1E0A 0323" -> UTF-16 text.
CWideString ParseCps(const std::string& field) {
    CWideString w;
    std::istringstream in(field);
    std::string hex;
    while (in >> hex) AppendCp(w, (uint32_t)std::stoul(hex, nullptr, 16));
    return w;
}

CWideString Nfc(CWideString s) {
    EXPECT_TRUE(NormalizeNameNfc(s));
    return s;
}

std::string Hex(const char16_t* s, int n) {
    std::string r;
    char b[8];
    for (int i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, "%04x", (unsigned)s[i]);
        r += b;
    }
    return r;
}
std::string Hex(const char* s, int n) {
    std::string r;
    char b[4];
    for (int i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, "%02x", (unsigned char)s[i]);
        r += b;
    }
    return r;
}

} // namespace

// Unicode's own conformance data: for every line,
// c2 == NFC(c1) == NFC(c2) == NFC(c3) and c4 == NFC(c4) == NFC(c5); every
// code point that part 1 does not list is its own NFC.
TEST(Unicode, NfcConformance) {
    const char* kFile = "/usr/share/unicode/NormalizationTest.txt.bz2";
    ASSERT_EQ(access(kFile, R_OK), 0) << kFile << " missing (Debian package unicode-data)";
    int rc = -1;
    std::string text = RunCommand(std::string("bzcat ") + kFile, &rc);
    ASSERT_EQ(rc, 0);
    std::istringstream in(text);
    std::string line;
    int lines = 0, failures = 0, supplementary = 0;
    bool part1 = false;
    std::set<uint32_t> part1Chars;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '@') {
            part1 = line.rfind("@Part1", 0) == 0;
            continue;
        }
        std::vector<std::string> f;
        size_t start = 0;
        for (int k = 0; k < 5; k++) {
            size_t semi = line.find(';', start);
            if (semi == std::string::npos) break;
            f.push_back(line.substr(start, semi - start));
            start = semi + 1;
        }
        ASSERT_EQ(f.size(), 5u) << line;
        CWideString c[5];
        for (int k = 0; k < 5; k++) c[k] = ParseCps(f[k]);
        if (part1) part1Chars.insert((uint32_t)std::stoul(f[0], nullptr, 16));
        bool ok = c[1] == Nfc(c[0]) && c[1] == Nfc(c[1]) && c[1] == Nfc(c[2]) && c[3] == Nfc(c[3]) &&
                  c[3] == Nfc(c[4]) && IsNameNfc(c[1]) && IsNameNfc(c[3]);
        for (int i = 0; i < c[0].GetLength(); i++)
            if (c[0][i] >= 0xD800 && c[0][i] <= 0xDBFF) {
                supplementary++;
                break;
            }
        if (!ok && ++failures <= 10) ADD_FAILURE() << "line: " << line;
        lines++;
    }
    EXPECT_GT(lines, 19000);
    EXPECT_GT(supplementary, 100);
    EXPECT_EQ(failures, 0);
    ASSERT_GT(part1Chars.size(), 10000u);
    int invariantFailures = 0;
    for (uint32_t cp = 0; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        if (part1Chars.count(cp)) continue;
        CWideString w;
        AppendCp(w, cp);
        CWideString n = w;
        NormalizeNameNfc(n);
        if (n != w && ++invariantFailures <= 10) ADD_FAILURE() << "not invariant: " << std::hex << cp;
    }
    EXPECT_EQ(invariantFailures, 0);
}

TEST(Unicode, NfcComposesPathNames) {
    CWideString s(u"/Cafe\u0301/A\u030a.txt");
    EXPECT_FALSE(IsNameNfc(s));
    EXPECT_TRUE(NormalizeNameNfc(s));
    EXPECT_EQ(s, u"/Caf\u00e9/\u00c5.txt");
    CWideString ascii(u"plain/ascii.txt");
    const char16_t* before = ascii.GetString();
    EXPECT_TRUE(NormalizeNameNfc(ascii));
    EXPECT_EQ(ascii.GetString(), before); // untouched, not even copied
    CWideString lone(u"a\xd800\u0301b");  // a lone surrogate survives
    EXPECT_TRUE(NormalizeNameNfc(lone));
    EXPECT_EQ(lone, u"a\xd800\u0301b");
}

// The lenient and the strict decoder against Python's codecs: the same
// U+FFFD placement (errors="replace") and the same first bad position.
TEST(Unicode, Utf8DecodingMatchesPython) {
    std::vector<std::string> inputs = {
        "",
        "plain",
        "caf\xc3\xa9",
        "\xe2\x82\xac",
        "\xf0\x9f\x98\x80",
        "\xf4\x8f\xbf\xbf",
        "\x80",
        "\xbf",
        "\xc0\x80",
        "\xc1\xbf",
        "\xc2",
        "\xc2\x41",
        "\xe0\x80\x80",
        "\xe0\x9f\xbf",
        "\xe0\xa0",
        "\xe2\x82",
        "\xe2\x82\x41",
        "\xed\xa0\x80",
        "\xed\xbf\xbf",
        "\xed\x9f\xbf",
        "\xf0\x80\x80\x80",
        "\xf0\x8f\xbf\xbf",
        "\xf0\x90",
        "\xf0\x90\x80",
        "\xf4\x90\x80\x80",
        "\xf5\x80\x80\x80",
        "\xf8\x88\x80\x80\x80",
        "\xfc\x84\x80\x80\x80\x80",
        "\xfe",
        "\xff",
        "a\x80\x80\x80z",
        "\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
        std::string("nul\0byte", 8),
        "\xef\xbb\xbf"
        "bom",
        "\xef\xbf\xbe",
        "\xef\xbf\xbd",
    };
    // Random byte strings biased towards the bytes that start or continue sequences.
    std::mt19937 rng(12345);
    const unsigned char interesting[] = {0x00, 0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1,
                                         0xc2, 0xdf, 0xe0, 0xe1, 0xec, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf3,
                                         0xf4, 0xf5, 0xf7, 0xf8, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
    for (int i = 0; i < 3000; i++) {
        std::string s;
        int len = (int)(rng() % 12);
        for (int k = 0; k < len; k++)
            s += (char)(rng() % 3 ? interesting[rng() % sizeof interesting] : rng() % 256);
        inputs.push_back(s);
    }
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    std::string inPath = dir + "/in.txt", pyPath = dir + "/dec.py";
    {
        std::ofstream f(inPath);
        for (auto& s : inputs) f << Hex(s.data(), (int)s.size()) << "\n";
        std::ofstream py(pyPath);
        py << "import sys\n"
              "for line in open(sys.argv[1]):\n"
              "    b = bytes.fromhex(line.strip())\n"
              "    r = b.decode('utf-8', errors='replace').encode('utf-16-be').hex()\n"
              "    try:\n"
              "        b.decode('utf-8'); pos = -1\n"
              "    except UnicodeDecodeError as e:\n"
              "        pos = e.start\n"
              "    print(r, pos)\n";
    }
    int rc = -1;
    std::string out = RunCommand("/usr/bin/python3 " + pyPath + " " + inPath, &rc);
    ASSERT_EQ(rc, 0);
    std::istringstream res(out);
    int mismatches = 0;
    for (auto& s : inputs) {
        std::string line;
        ASSERT_TRUE(std::getline(res, line));
        std::string want = line.substr(0, line.find(' '));
        int pos = std::stoi(line.substr(line.find(' ') + 1));
        CWideString w = Utf8ToWide(s.data(), (int)s.size());
        std::string got = Hex(w.GetString(), w.GetLength());
        CWideString strict, err;
        bool ok = Utf8ToWideChecked(s.data(), (int)s.size(), strict, err);
        bool same = got == want && ok == (pos < 0) && IsValidUtf8(s.data(), (int)s.size()) == ok;
        if (ok) same = same && strict == w && err.IsEmpty();
        if (!ok) {
            CWideString want2 = CWideString::Formatted(u"bad UTF-8 sequence at pos %d in string %s", pos, w);
            same = same && err == want2 && strict.IsEmpty();
        }
        if (!same && ++mismatches <= 10)
            ADD_FAILURE() << "input " << Hex(s.data(), (int)s.size()) << ": got " << got << " want " << want
                          << " strict " << ok << " python pos " << pos << " err " << err;
    }
    EXPECT_EQ(mismatches, 0);
    std::remove(inPath.c_str());
    std::remove(pyPath.c_str());
    rmdir(dir.c_str());
}

// UTF-16 -> UTF-8 against Python (lone surrogates become U+FFFD), and the
// round trip of well-formed text.
TEST(Unicode, Utf16EncodingMatchesPythonAndRoundTrips) {
    std::mt19937 rng(777);
    std::vector<std::u16string> inputs = {u"",
                                          u"abc",
                                          u"\u00e9\u20ac",
                                          u"\U0001F600",
                                          u"\U0010FFFF",
                                          std::u16string(1, (char16_t)0xD800),
                                          std::u16string(1, (char16_t)0xDC00),
                                          u"a\xDBFF"
                                          u"b",
                                          u"\xDC00\xD800",
                                          u"\xD800\xD800\xDC00"};
    const char16_t pool[] = {0x41,   0x7F,   0x80,   0x7FF,  0x800,  0xFFFF, 0xFFFD,
                             0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0};
    for (int i = 0; i < 2000; i++) {
        std::u16string s;
        int len = (int)(rng() % 10);
        for (int k = 0; k < len; k++) s += rng() % 2 ? pool[rng() % 13] : (char16_t)(rng() % 0x10000);
        inputs.push_back(s);
    }
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    std::string inPath = dir + "/in.txt", pyPath = dir + "/enc.py";
    {
        std::ofstream f(inPath);
        for (auto& s : inputs) f << Hex(s.data(), (int)s.size()) << "\n";
        std::ofstream py(pyPath);
        py << "import sys\n"
              "for line in open(sys.argv[1]):\n"
              "    b = bytes.fromhex(line.strip())\n"
              "    print(b.decode('utf-16-be', errors='replace').encode('utf-8').hex())\n";
    }
    int rc = -1;
    std::string out = RunCommand("/usr/bin/python3 " + pyPath + " " + inPath, &rc);
    ASSERT_EQ(rc, 0);
    std::istringstream res(out);
    int mismatches = 0;
    for (auto& s : inputs) {
        std::string want;
        ASSERT_TRUE(std::getline(res, want));
        CNarrowString u = WideToUtf8(s.data(), (int)s.size());
        std::string got = Hex(u.GetString(), u.GetLength());
        // Decoding the result gives the input back, with U+FFFD for each lone surrogate.
        CWideString back = Utf8ToWide(u);
        CNarrowString again = WideToUtf8(back);
        bool same = got == want && again == u && IsValidUtf8(u.GetString(), u.GetLength());
        if (!same && ++mismatches <= 10)
            ADD_FAILURE() << "input " << Hex(s.data(), (int)s.size()) << ": got " << got << " want " << want;
    }
    EXPECT_EQ(mismatches, 0);
    std::remove(inPath.c_str());
    std::remove(pyPath.c_str());
    rmdir(dir.c_str());

    // Every scalar value survives UTF-16 -> UTF-8 -> UTF-16.
    int bad = 0;
    for (uint32_t cp = 1; cp <= 0x10FFFF; cp += (cp < 0x3000 ? 1 : 7)) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        CWideString w;
        AppendCp(w, cp);
        if (Utf8ToWide(WideToUtf8(w)) != w) bad++;
    }
    EXPECT_EQ(bad, 0);
}

TEST(Unicode, Utf8OrAnsiReadsWindows1252) {
    EXPECT_EQ(Utf8OrAnsiToWide(CNarrowString("caf\xc3\xa9")), u"caf\u00e9"); // valid UTF-8
    EXPECT_EQ(Utf8OrAnsiToWide(CNarrowString("caf\xe9")), u"caf\u00e9");     // not UTF-8: 1252
    EXPECT_EQ(Utf8OrAnsiToWide(CNarrowString("\x80 \x93q\x94 \x9f \x81")),
              u"\u20ac \u201cq\u201d \u0178 \u0081");
    EXPECT_EQ(WideToAnsi(u"\u20ac\u00ff\u0178\u4e00"_ws), "\x80\xff\x9f?");
}

// One fold for every case-insensitive compare, whatever the process locale:
// switching to a Turkish locale (whose C library maps 'I' to dotless 'ı')
// changes nothing.
TEST(Unicode, CaseFoldIgnoresTheProcessLocale) {
    auto snapshot = [] {
        std::vector<char16_t> t(0x10000);
        for (uint32_t c = 0; c < 0x10000; c++) t[c] = ZorFoldUnit((char16_t)c);
        return t;
    };
    std::vector<char16_t> before = snapshot();
    CWideString lowerBefore(u"DIR I\u0130\u0049"), upperBefore(u"dir i\u0131");
    lowerBefore.MakeLower();
    upperBefore.MakeUpper();

    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    int rc = -1;
    RunCommand("localedef -i tr_TR -f UTF-8 " + dir + "/tr_TR.UTF-8 2>&1", &rc);
    setenv("LOCPATH", dir.c_str(), 1);
    const char* loc = std::setlocale(LC_ALL, "tr_TR.UTF-8");
    ASSERT_NE(loc, nullptr) << "cannot build a tr_TR locale (Debian package locales)";
    ASSERT_EQ(std::towlower(L'I'), (wint_t)0x131); // the locale is in effect

    EXPECT_EQ(snapshot(), before);
    CWideString lowerAfter(u"DIR I\u0130\u0049"), upperAfter(u"dir i\u0131");
    lowerAfter.MakeLower();
    upperAfter.MakeUpper();
    EXPECT_EQ(lowerAfter, lowerBefore);
    EXPECT_EQ(upperAfter, upperBefore);
    EXPECT_EQ(ZorStrICmp(u"FILE.TXT", u"file.txt"), 0);
    EXPECT_NE(ZorStrICmp(u"I", u"\u0131"), 0); // dotless i is its own letter
    EXPECT_NE(ZorStrICmp(u"i", u"\u0130"), 0); // so is dotted capital I
    EXPECT_EQ(ZorStrICmp(u"\u212a", u"k"), 0); // Kelvin sign folds to k
    EXPECT_EQ(CWideString(u"\u03a3").CompareNoCase(u"\u03c3"), 0);

    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    RunCommand("rm -rf '" + dir + "'");
}

// A text that is not NFC is seen at every place in the words of four units
// looked at together, whatever the unit's range; one below U+0300 is NFC.
TEST(Unicode, NfcSeenAtEveryPlace) {
    struct Row {
        const char16_t* part;
        bool bNfc;
    } rows[] = {{u"e\u0301", false}, {u"\uF900", false}, {u"\u212B", false}, {u"\u02FF\u00FF", true}};
    for (const Row& r : rows) {
        for (int at = 0; at <= 9; at++) {
            CWideString s = CWideString(u"abcdefghijk").Left(at) + r.part + u"xyz";
            EXPECT_EQ(IsNameNfc(s), r.bNfc) << at;
            CWideString t = s;
            EXPECT_TRUE(NormalizeNameNfc(t));
            EXPECT_EQ(t == s, r.bNfc) << at;
        }
    }
}
