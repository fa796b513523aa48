// The HTTP client's small helpers: media types, numbers, cookies, log masking
// and the line-readable body source.
#include "test-tmp.h"
#include "zor-http-util.h"

#include "zor-net-records.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace {

TEST(HttpUtil, MediaTable) {
    ASSERT_EQ(MimeTableSize(), 366);
    std::set<std::string> seen;
    std::string prev;
    for (int i = 0; i < MimeTableSize(); ++i) {
        std::string ext = MimeTableExtension(i);
        EXPECT_TRUE(seen.insert(ext).second) << "twice: " << ext;
        // alphabetical when case and hyphens are ignored
        std::string key;
        for (char c : ext)
            if (c != '-') key += (char)tolower((unsigned char)c);
        EXPECT_LE(prev, key) << ext;
        prev = key;
    }
    struct Case {
        const char16_t* name;
        const char* type; // null: failure
        const char16_t* error;
    } cases[] = {
        {u"report.pdf", "application/pdf", nullptr},
        {u"report.PDF", nullptr, u"not found"},
        {u"archive.tar.gz", "application/x-gzip", nullptr},
        {u"README", nullptr, u"no extension in file name"},
        {u"trailing.", nullptr, u"no extension in file name"},
        {u"clip.IVF", "video/x-ivf", nullptr},
        {u"clip.ivf", nullptr, u"not found"},
        {u"app.dll.config", nullptr, u"not found"}, // the extension is "config" (after the last dot)
        {u"x.323", "text/h323", nullptr},
        {u"a.rp-lib", "application/vnd.cloanto.rplib", nullptr},
        {u"doc.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", nullptr},
        {u"z.zip", "application/x-zip-compressed", nullptr},
    };
    for (const Case& c : cases) {
        CNarrowString type("pre:");
        CWideString err;
        bool ok = MimeTypeByExtension(CWideString(c.name), type, err);
        if (c.type) {
            EXPECT_TRUE(ok) << CWideString(c.name) << " " << err;
            EXPECT_EQ(type, CNarrowString("pre:") + c.type);
        } else {
            EXPECT_FALSE(ok) << CWideString(c.name);
            EXPECT_EQ(err, CWideString(c.error));
        }
    }
    bool found = false;
    for (int i = 0; i < MimeTableSize(); ++i)
        if (std::string(MimeTableExtension(i)) == "dll.config") found = std::string(MimeTableType(i)) == "text/xml";
    EXPECT_TRUE(found);
}

TEST(HttpUtil, Numbers) {
    struct Case {
        const char* text;
        bool ok64;
        int64_t v64;
        bool ok32;
        uint32_t v32;
    } cases[] = {
        {"12 ", true, 12, true, 12},
        {"", true, 0, true, 0},
        {"12a", false, 0, false, 0},
        {"-1", false, 0, false, 0},
        {"4294967295", true, 4294967295LL, true, 4294967295u},
        {"4294967296", true, 4294967296LL, false, 0},
        {"9223372036854775807", true, INT64_MAX, false, 0},
        {"9223372036854775808", false, 0, false, 0},
        {"99999999999999999999999", false, 0, false, 0},
    };
    for (const Case& c : cases) {
        int64_t v = -5;
        uint32_t u = 7;
        int kind = 0;
        CWideString err;
        EXPECT_EQ(ParseDecimal64(CNarrowString(c.text), v, kind, err), c.ok64) << c.text;
        if (c.ok64) {
            EXPECT_EQ(v, c.v64) << c.text;
        } else {
            EXPECT_EQ(err, CWideString(u"bad number: ") + Utf8ToWide(c.text));
            EXPECT_EQ(kind, 5);
        }
        err.Empty();
        EXPECT_EQ(ParseDecimal32(CNarrowString(c.text), u, kind, err), c.ok32) << c.text;
        if (c.ok32) {
            EXPECT_EQ(u, c.v32) << c.text;
        }
    }
    int64_t v = 0;
    EXPECT_TRUE(ParseDecimal64Loose(v, CNarrowString("123abc")));
    EXPECT_EQ(v, 123);
    EXPECT_TRUE(ParseDecimal64Loose(v, CNarrowString("99999999999999999999999")));
    EXPECT_EQ(v, INT64_MAX);
}

std::set<std::string> CookieSet(const HttpCookieMap& m) {
    std::set<std::string> r;
    for (ZorPosition pos = m.GetStartPosition(); pos;) {
        auto* p = m.GetNext(pos);
        r.insert(std::string(p->m_key.GetString()) + "=" + p->m_value.GetString());
    }
    return r;
}

TEST(HttpUtil, Cookies) {
    // Set-Cookie values after the examples of RFC 6265 section 3.1, applied in order.
    struct Step {
        const char* setCookie;
        bool changed;
        std::set<std::string> after;
    } steps[] = {
        {"SID=31d4d96e407aad42", true, {"SID=31d4d96e407aad42"}},
        {"SID=31d4d96e407aad42; Path=/; Domain=example.com", false, {"SID=31d4d96e407aad42"}},
        {"SID=31d4d96e407aad42; Path=/; Secure; HttpOnly", false, {"SID=31d4d96e407aad42"}},
        {"lang=en-US; Path=/; Domain=example.com", true, {"SID=31d4d96e407aad42", "lang=en-US"}},
        {"lang=en-US; Expires=Wed, 09 Jun 2021 10:18:14 GMT", false, {"SID=31d4d96e407aad42", "lang=en-US"}},
        {"lang=; Expires=Sun, 06 Nov 1994 08:49:37 GMT", true, {"SID=31d4d96e407aad42", "lang="}},
        {"sid=1; Path=/; HttpOnly", true, {"SID=31d4d96e407aad42", "lang=", "sid=1"}},
        {"flag; Max-Age=3", true, {"SID=31d4d96e407aad42", "lang=", "sid=1", "flag="}},
        // a header injection attempt from a cookie file never reaches the map whole
        {"evil=a\r\nX-Injected: 1", true, {"SID=31d4d96e407aad42", "lang=", "sid=1", "flag=", "evil=a  X-Injected: 1"}},
    };
    HttpCookieMap map;
    for (const Step& s : steps) {
        bool changed = false;
        ParseSetCookie(CNarrowString(s.setCookie), map, changed);
        EXPECT_EQ(changed, s.changed) << s.setCookie;
        EXPECT_EQ(CookieSet(map), s.after) << s.setCookie;
    }
    CNarrowString text;
    HttpCookieText(map, text);
    EXPECT_EQ(text.Find('\r'), -1);
    EXPECT_EQ(text.Find('\n'), -1);
    // the text reads back as the same set
    HttpCookieMap again;
    bool changed = false;
    ParseSetCookie(text, again, changed);
    EXPECT_EQ(CookieSet(again), CookieSet(map));
}

TEST(HttpUtil, LogMasking) {
    const char* secrets[] = {"s3cr3t-basic", "digest-resp", "proxy-pw", "cookie-val", "set-val", "tkt-123", "nonce-9"};
    CNarrowString req("Authorization: Basic s3cr3t-basic\r\n"
                      "X-Plain: Shown\r\n"
                      "authorization: Digest response=\"digest-resp\"\r\n"
                      "Proxy-Authorization: Basic proxy-pw\r\n"
                      "Cookie: a=cookie-val\r\n"
                      "Set-Cookie: b=set-val\r\n"
                      "Ticket: tkt-123\r\n"
                      "WWW-Authenticate: Digest nonce=\"nonce-9\"\r\n");
    CNarrowString shown = HttpRequestHeadersForLog(req);
    for (const char* s : secrets) EXPECT_EQ(shown.Find(s), -1) << s << " in " << shown;
    EXPECT_EQ(shown, CNarrowString("auth: ...|x-plain: shown|auth: ...|proxy-auth: ...|cookie: ...|"
                                   "set-cookie: ...|ticket: ...|www-auth: ...|"));

    HttpHeaderMap map;
    HttpAddHeader(map, "set-cookie", "a=set-val; Path=/");
    HttpAddHeader(map, "set-cookie", "b=cookie-val;; ");
    HttpAddHeader(map, "authorization", "Basic s3cr3t-basic");
    HttpAddHeader(map, "www-authenticate", "Digest nonce=\"nonce-9\"");
    HttpAddHeader(map, "proxy-authenticate", "Basic realm=\"proxy-pw\"");
    HttpAddHeader(map, "ticket", "tkt-123");
    HttpAddHeader(map, "x-zor-session", "abc ");
    HttpAddHeader(map, "date", "Mon");
    CNarrowString v;
    ASSERT_TRUE(map.Lookup("set-cookie", v));
    EXPECT_EQ(v, CNarrowString("a=set-val; Path=/; b=cookie-val"));
    CNarrowString h = HttpHeadersForLog(map);
    for (const char* s : secrets) EXPECT_EQ(h.Find(s), -1) << s << " in " << h;
    EXPECT_GE(h.Find("x-zor-session=abc|"), 0);
    EXPECT_GE(h.Find("auth=...|"), 0);
    EXPECT_EQ(h.Find("date="), -1);

    EXPECT_EQ(HttpLengthText(kHttpNoLength), CNarrowString("[unknown]"));
    EXPECT_EQ(HttpLengthText(kHttpChunked), CNarrowString("[chunked]"));
    EXPECT_EQ(HttpLengthText(42), CNarrowString("42"));

    CNarrowString block;
    AppendHeaderLine(block, "X-A", "1\r\nX-B: 2");
    AppendHeaderLine(block, "X-Empty", "");
    EXPECT_EQ(block, CNarrowString("X-A: 1  X-B: 2\r\n"));

    CRsp rsp;
    EXPECT_EQ(HttpBodyDescription(rsp), CNarrowString("not-complete len=[unknown]"));
    HttpSetBodyText(rsp, "hello");
    EXPECT_EQ(HttpBodyDescription(rsp), CNarrowString("complete-in-memory[5]"));
    EXPECT_EQ(rsp.GetHeader("nothing"), CNarrowString());
}

TEST(HttpUtil, BodyLines) {
    std::string big(1500000, 'x');
    struct Case {
        std::string text;
        std::vector<std::string> lines;
        bool tooLong;
    } cases[] = {
        {"a\r\nbb\nccc", {"a", "bb", "ccc"}, false},
        {"a\n\nb\n", {"a", "", "b"}, false},
        {"", {}, false},
        {big + "\n", {}, true},
    };
    std::string tmplPath = TvTmpPath("httpbodyXXXXXX");
    char* tmpl = tmplPath.data();
    ASSERT_TRUE(mkdtemp(tmpl));
    CWideString folder = Utf8ToWide(tmpl);
    for (int fromFile = 0; fromFile < 2; ++fromFile) {
        for (const Case& c : cases) {
            ZorHttpBody body;
            int kind = 0;
            CWideString err;
            if (fromFile) {
                body.m_sFilePath = folder + u"/body.txt";
                ASSERT_TRUE(WriteWholeFile(body.m_sFilePath, CNarrowString(c.text.data(), (int)c.text.size()), kind, err));
            } else {
                body.m_sText = CNarrowString(c.text.data(), (int)c.text.size());
                body.m_nLength = body.m_sText.GetLength();
            }
            ASSERT_TRUE(body.Open(kind, err)) << err;
            std::vector<std::string> got;
            bool end = false;
            bool failed = false;
            for (int guard = 0; guard < 10 && !end; ++guard) {
                CNarrowString line;
                if (!body.ReadLine(line, 16, end, kind, err)) {
                    failed = true;
                    break;
                }
                if (!end) got.emplace_back(line.GetString(), line.GetLength());
            }
            if (c.tooLong) {
                EXPECT_TRUE(failed);
                EXPECT_EQ(err, CWideString(u"line too long"));
            } else {
                EXPECT_FALSE(failed) << err;
                EXPECT_EQ(got, c.lines);
            }
        }
    }
    std::string rm = std::string("rm -rf ") + tmpl;
    (void)system(rm.c_str());
}

} // namespace
