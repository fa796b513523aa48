// The HTTP request engine against Apache and tinyproxy on 127.0.0.1: both
// transports (own sockets and the libcurl one) where both apply,
// authentication, Expect, redirects, limits, session headers, proxies.
#include "zor-http.h"

#include "http-test-servers.h"
#include "zor-file.h"
#include "zor-sitekey.h"
#include "zor-ssl.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

namespace {

class RecordingProgress : public ICopyProgress {
public:
    std::vector<std::pair<int, std::string>> messages;
    int reports = 0;
    int64_t lastDone = 0;
    bool OnProgress(bool, int64_t nDone, int64_t, int&, CWideString&) override {
        ++reports;
        if (nDone >= 0) lastDone = nDone;
        return true;
    }
    void OnMessage(int level, const CWideString& text) override {
        messages.emplace_back(level, std::string(WideToUtf8(text).GetString()));
    }
    bool Has(int level, const std::string& part) const {
        for (auto& m : messages)
            if (m.first == level && m.second.find(part) != std::string::npos) return true;
        return false;
    }
    std::string All() const {
        std::string r;
        for (auto& m : messages) r += std::to_string(m.first) + ": " + m.second + "\n";
        return r;
    }
};

// One Apache for the whole suite.
class HttpEngine : public ::testing::Test {
protected:
    static testsrv::Apache* s_apache;
    static std::string s_startError;
    static void SetUpTestSuite() {
        testsrv::ClearProxyEnvironment();
        s_apache = new testsrv::Apache();
        if (!s_apache->Start()) {
            s_startError = s_apache->Error();
            delete s_apache;
            s_apache = nullptr;
            return;
        }
        SetSslRootsFile(Utf8ToWide(s_apache->RootsFile().c_str()));
    }
    static void TearDownTestSuite() {
        delete s_apache;
        s_apache = nullptr;
        SetSslRootsFile(CWideString());
    }
    void SetUp() override {
        ASSERT_NE(s_apache, nullptr) << "apache2 did not start: " << s_startError;
        HttpProxyOptions() = CProxyOptions();
        HttpProxyOptions().m_bUseWinInetProxy = false;
    }
    void TearDown() override { HttpProxyOptions() = CProxyOptions(); }

    static HttpConnectParams Params(bool tls, bool curl, const char* user = nullptr, const char* password = nullptr) {
        HttpConnectParams p;
        p.m_sHost = "127.0.0.1";
        p.m_nPort = tls ? s_apache->TlsPort() : s_apache->Port();
        p.m_nTls = tls;
        p.m_bProxyStyle = !tls;
        p.m_bWinInet = curl;
        p.m_nTimeout = 20;
        p.m_sUrl = Utf8ToWide((std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(p.m_nPort) + "/").c_str());
        if (user) p.m_sUserID = Utf8ToWide(user);
        if (password) p.m_sPassword = Utf8ToWide(password);
        return p;
    }
};
testsrv::Apache* HttpEngine::s_apache = nullptr;
std::string HttpEngine::s_startError;

const char* TransportName(bool curl) {
    return curl ? "libcurl transport" : "own sockets";
}

struct Exchange {
    const char* name;
    bool tls;
    const char* user; // null: none
    const char* password;
    const char* method;
    const char16_t* path;
    bool ok;
    int kind;
    const char* errPart;
    const char* bodyPart;
};

TEST_F(HttpEngine, ExchangesPerTransport) {
    const Exchange cases[] = {
        {"plain get", false, nullptr, nullptr, "GET", u"/files/a.txt", true, 0, "", "file a"},
        {"tls get", true, nullptr, nullptr, "GET", u"/files/a.txt", true, 0, "", "file a"},
        {"basic", false, "alice", "s3cret", "GET", u"/basic/x.txt", true, 0, "", "basic x"},
        {"basic wrong password", false, "alice", "wrong", "GET", u"/basic/x.txt", false, 2, "", ""},
        {"basic over tls", true, "alice", "s3cret", "GET", u"/basic/x.txt", true, 0, "", "basic x"},
        {"digest", false, "alice", "s3cret", "GET", u"/digest/x.txt", true, 0, "", "digest x"},
        {"digest wrong password", false, "alice", "nope", "GET", u"/digest/x.txt", false, 2, "", ""},
        {"redirect on the same host", false, nullptr, nullptr, "GET", u"/redir", true, 0, "", "file a"},
        {"redirect to tls", false, nullptr, nullptr, "GET", u"/to-tls", true, 0, "", "file a"},
        {"https to http refused", true, nullptr, nullptr, "GET", u"/cgi/to-plain", false, 7, "Redirect from https to http refused", ""},
        {"not found", false, nullptr, nullptr, "GET", u"/files/none", false, 7, "(", ""},
        {"507 quota", false, nullptr, nullptr, "GET", u"/cgi/s507", false, 8, "Full", ""},
        {"519 keeps kind 7", false, nullptr, nullptr, "GET", u"/cgi/s519", false, 7, "Still Working", ""},
        {"zor error 3 is not retryable", false, nullptr, nullptr, "GET", u"/cgi/zerr", false, 7, "Failed", ""},
        {"no content", false, nullptr, nullptr, "GET", u"/cgi/s204", true, 0, "", ""},
        {"head", false, nullptr, nullptr, "HEAD", u"/files/a.txt", true, 0, "", ""},
    };
    for (int curl = 0; curl < 2; ++curl) {
        for (const Exchange& c : cases) {
            SCOPED_TRACE(std::string(TransportName(curl)) + ": " + c.name);
            ZorHttpConn conn;
            RecordingProgress progress;
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(c.tls, curl, c.user, c.password), &progress, kind, err)) << err;
            CRsp rsp;
            bool ok = rsp.RequestResponse(conn, c.method, c.path, kind, err);
            EXPECT_EQ(ok, c.ok) << err;
            if (ok) {
                EXPECT_NE(std::string(rsp.m_sBody.GetString()).find(c.bodyPart), std::string::npos) << rsp.m_sBody;
                EXPECT_TRUE(err.IsEmpty()) << err;
            } else {
                EXPECT_EQ(kind, c.kind) << err;
                EXPECT_NE(WideToUtf8(err).Find(c.errPart), -1) << err;
            }
            if (!strcmp(c.name, "no content")) {
                EXPECT_EQ(rsp.m_nStatus, 204);
                EXPECT_EQ(rsp.m_nContentLength, 0);
            }
        }
    }
}

TEST_F(HttpEngine, RedirectsAndSites) {
    // a 302 to the same host is followed on the same connection
    {
        ZorHttpConn conn;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, false), nullptr, kind, err)) << err;
        CRsp rsp;
        rsp.m_sReqHeaders = "X-Mark: one-connection\r\n";
        ASSERT_TRUE(rsp.RequestResponse(conn, "GET", u"/redir", kind, err)) << err;
        rsp.m_sBody.Empty();
        // apache logs a request after its answer went out: wait for both lines
        std::string log;
        size_t a = std::string::npos, b = std::string::npos;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            log = s_apache->AccessLog();
            a = log.rfind("\"GET /redir HTTP/1.1\" 302");
            b = a == std::string::npos ? a : log.find("\"GET /files/a.txt HTTP/1.1\" 200", a);
            if (b != std::string::npos || std::chrono::steady_clock::now() > until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_NE(a, std::string::npos) << log;
        ASSERT_NE(b, std::string::npos) << log;
        // same client port on both lines: one accepted connection
        size_t la = log.rfind('\n', a), lb = log.rfind('\n', b);
        std::string pa = log.substr(la == std::string::npos ? 0 : la + 1, log.find(' ', la + 1) - (la + 1));
        std::string pb = log.substr(lb + 1, log.find(' ', lb + 1) - (lb + 1));
        EXPECT_EQ(pa, pb) << log;
    }
    // the caller's Authorization and Cookie lines stay on their site
    for (int curl = 0; curl < 2; ++curl) {
        SCOPED_TRACE(TransportName(curl));
        struct SiteCase {
            const char16_t* path;
            bool sent;
        } cases[] = {{u"/cgi/echo", true}, {u"/cgi/to-other", false}};
        for (const SiteCase& c : cases) {
            ZorHttpConn conn;
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl), nullptr, kind, err)) << err;
            CRsp rsp;
            rsp.m_sReqHeaders = "Authorization: Bearer tok-123\r\nCookie: c=cookie-9\r\n";
            ASSERT_TRUE(rsp.RequestResponse(conn, "GET", c.path, kind, err)) << err;
            std::string body = rsp.m_sBody.GetString();
            EXPECT_EQ(body.find("tok-123") != std::string::npos, c.sent) << body;
            EXPECT_EQ(body.find("cookie-9") != std::string::npos, c.sent) << body;
        }
    }
}

TEST_F(HttpEngine, ExpectPutToDigestFolder) {
    std::string data;
    for (int i = 0; i < 70000; ++i) data += (char)('a' + (i * 7) % 26);
    for (int curl = 0; curl < 2; ++curl) {
        SCOPED_TRACE(TransportName(curl));
        testsrv::TempDir tmp;
        testsrv::WriteFileText(tmp / "up.bin", data);
        ZorHttpConn conn;
        RecordingProgress progress;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl, "alice", "s3cret"), &progress, kind, err)) << err;
        CBufferedFile src(Utf8ToWide((tmp / "up.bin").c_str()));
        CRsp rsp;
        rsp.m_pReqBodyFile = &src;
        rsp.m_bExpectAllowed = 1;
        std::u16string path = curl ? u"/dav/up-curl.bin" : u"/dav/up.bin";
        ASSERT_TRUE(rsp.RequestResponse(conn, "PUT", CWideString(path.c_str()), kind, err)) << err;
        EXPECT_TRUE(rsp.m_nStatus == 201 || rsp.m_nStatus == 204) << rsp.m_nStatus;
        EXPECT_EQ(testsrv::ReadFileText(s_apache->Dir() + "/htdocs" + (curl ? "/dav/up-curl.bin" : "/dav/up.bin")), data);
        // a second PUT on the same connection reuses the Digest state
        CRsp again;
        again.m_pReqBodyFile = &src;
        again.m_bExpectAllowed = 1;
        ASSERT_TRUE(again.RequestResponse(conn, "PUT", CWideString(path.c_str()), kind, err)) << err;
        EXPECT_EQ(again.m_nStatus, 204);
    }
}

TEST_F(HttpEngine, BodiesSessionsAndStop) {
    testsrv::TempDir tmp;
    // a 40,000,000-byte answer is refused before a byte of it is read
    testsrv::RunCommand("truncate -s 40000000 '" + s_apache->Dir() + "/htdocs/files/big.bin'");
    for (int curl = 0; curl < 2; ++curl) {
        SCOPED_TRACE(TransportName(curl));
        ZorHttpConn conn;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl), nullptr, kind, err)) << err;
        CRsp rsp;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(rsp.RequestResponse(conn, "GET", u"/files/big.bin", kind, err));
        EXPECT_EQ(kind, 5);
        EXPECT_EQ(WideToUtf8(err), CNarrowString("Response body is too long for memory, 40000000 bytes"));
        EXPECT_TRUE(rsp.m_sBody.IsEmpty());
        EXPECT_TRUE(rsp.m_sBodyFile.IsEmpty());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
        // accepted as a file body, it lands in a temporary file
        CRsp inFile;
        inFile.m_bAcceptFileBody = 1;
        err.Empty();
        ASSERT_TRUE(inFile.RequestResponse(conn, "GET", u"/files/big.bin", kind, err)) << err;
        uint64_t size = 0;
        ASSERT_TRUE(inFile.m_bTempBodyFile);
        ASSERT_TRUE(ZorGetFileSizeByName(inFile.m_sBodyFile, size, kind, err));
        EXPECT_EQ(size, 40000000u);
    }
    // chunked answers into memory and into a file, with progress
    for (int curl = 0; curl < 2; ++curl) {
        SCOPED_TRACE(TransportName(curl));
        ZorHttpConn conn;
        RecordingProgress progress;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl), &progress, kind, err)) << err;
        CRsp mem;
        ASSERT_TRUE(mem.RequestResponse(conn, "GET", u"/cgi/chunked", kind, err)) << err;
        EXPECT_EQ(mem.m_sBody.GetLength(), 300000);
        if (!curl) {
            EXPECT_EQ(mem.m_nContentLength, CRsp::kChunked);
        }
        CRsp file;
        file.m_sBodyFile = Utf8ToWide((tmp / (curl ? "c.bin" : "o.bin")).c_str());
        int before = progress.reports;
        ASSERT_TRUE(file.RequestResponse(conn, "GET", u"/cgi/chunked", kind, err)) << err;
        EXPECT_EQ(testsrv::ReadFileText(tmp / (curl ? "c.bin" : "o.bin")), std::string(300000, 'z'));
        EXPECT_GE(progress.reports - before, 9);
        EXPECT_EQ(progress.lastDone, 300000);
    }
    // a 404 with a body file given: the body goes to memory, the file is not touched
    for (int curl = 0; curl < 2; ++curl) {
        ZorHttpConn conn;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl), nullptr, kind, err)) << err;
        CRsp rsp;
        rsp.m_sBodyFile = Utf8ToWide((tmp / "untouched.bin").c_str());
        EXPECT_FALSE(rsp.RequestResponse(conn, "GET", u"/files/none", kind, err));
        EXPECT_EQ(rsp.m_nStatus, 404);
        EXPECT_FALSE(rsp.m_sBody.IsEmpty());
        EXPECT_FALSE(ZorFileExists(rsp.m_sBodyFile));
    }
    // session headers, two Set-Cookie lines, cookies kept per connection
    {
        ZorHttpConn conn;
        HttpConnectParams p = Params(false, false);
        p.m_bCookies = 1;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, p, nullptr, kind, err)) << err;
        CRsp rsp;
        ASSERT_TRUE(rsp.RequestResponse(conn, "GET", u"/cgi/session", kind, err)) << err;
        EXPECT_EQ(rsp.m_sSessionID, CNarrowString("S-42"));
        EXPECT_EQ(rsp.m_nSeqNo, 17u);
        EXPECT_EQ(rsp.GetHeader("set-cookie"), CNarrowString("a=1; Path=/; b=2; HttpOnly"));
        CNarrowString v;
        EXPECT_TRUE(conn.m_mapCookies.Lookup("a", v) && v == "1");
        EXPECT_TRUE(conn.m_mapCookies.Lookup("b", v) && v == "2");
        CRsp echo;
        ASSERT_TRUE(echo.RequestResponse(conn, "GET", u"/cgi/echo", kind, err)) << err;
        EXPECT_NE(std::string(echo.m_sBody.GetString()).find("a=1; b=2"), std::string::npos) << echo.m_sBody;
        // cookie files: written after a reply that set cookies, read by a new connection;
        // a failed write of a request that took effect is only a notice
        testsrv::WriteFileText(tmp / "not-a-folder", "x");
        struct CookieFolderCase {
            std::string folder;
            bool written;
        } folders[] = {{tmp / "cookies", true}, {tmp / "not-a-folder", false}};
        for (const CookieFolderCase& f : folders) {
            SetCookieFolder(Utf8ToWide(f.folder.c_str()));
            ZorHttpConn c2;
            RecordingProgress progress;
            HttpConnectParams p2 = Params(false, false);
            p2.m_bCookies = 1;
            p2.m_bCookieFiles = 1;
            ASSERT_TRUE(HttpConfigureAndConnect(c2, p2, &progress, kind, err)) << err;
            CRsp set;
            EXPECT_TRUE(set.RequestResponse(c2, "GET", u"/cgi/session", kind, err)) << err;
            EXPECT_EQ(progress.Has(2, "writing cookie: "), !f.written) << progress.All();
            if (f.written) {
                ZorHttpConn c3;
                ASSERT_TRUE(HttpConfigureAndConnect(c3, p2, nullptr, kind, err)) << err;
                CRsp echo2;
                ASSERT_TRUE(echo2.RequestResponse(c3, "GET", u"/cgi/echo", kind, err)) << err;
                EXPECT_NE(std::string(echo2.m_sBody.GetString()).find("a=1; b=2"), std::string::npos) << echo2.m_sBody;
            }
        }
        SetCookieFolder(CWideString());
        // a UTF-8 reason header becomes the error text
        CRsp reason;
        EXPECT_FALSE(reason.RequestResponse(conn, "GET", u"/cgi/reason", kind, err));
        EXPECT_EQ(WideToUtf8(err), CNarrowString("server said: Fichier d\xc3\xa9j\xc3\xa0 pris"));
    }
    // a stop request ends the call at once
    for (int curl = 0; curl < 2; ++curl) {
        ZorHttpConn conn;
        RecordingProgress progress;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, curl), &progress, kind, err)) << err;
        progress.RequestStop();
        CRsp rsp;
        EXPECT_FALSE(rsp.RequestResponse(conn, "GET", u"/files/a.txt", kind, err));
        EXPECT_EQ(kind, 10);
        EXPECT_NE(WideToUtf8(err).Find("stopped by user"), -1) << err;
    }
}

TEST_F(HttpEngine, Proxies) {
    testsrv::TinyProxy proxy;
    ASSERT_TRUE(proxy.Start());
    testsrv::TinyProxy authProxy;
    ASSERT_TRUE(authProxy.Start("puser", "ppass"));
    int closedPort = testsrv::FreePort();
    struct ProxyCase {
        const char* name;
        int port;
        const char* user;
        const char* password;
        bool tls;
        const char* message; // expected part of a callback message (level in msgLevel)
        int msgLevel;
        testsrv::TinyProxy* seen; // the proxy whose log shows the request
        const char* logPart;
    } cases[] = {
        {"closed proxy port", closedPort, "", "", false, "CONNECT proxy error, try direct connection: ", 1, nullptr, ""},
        {"http through the proxy", proxy.Port(), "", "", false, "Using proxy", 2, &proxy, "GET http://127.0.0.1:"},
        {"https through a tunnel", proxy.Port(), "", "", true, "Using proxy", 2, &proxy, "CONNECT 127.0.0.1:"},
        {"proxy asks for Basic", authProxy.Port(), "puser", "ppass", false,
         "Basic authentication requested by Connect proxy", 2, &authProxy, "GET http://127.0.0.1:"},
        {"tunnel asks for Basic", authProxy.Port(), "puser", "ppass", true,
         "Basic authentication requested by HTTP proxy", 2, &authProxy, "CONNECT 127.0.0.1:"},
        // (tinyproxy answers wrong credentials with 401; the scripted proxy repeats its 407)
        {"wrong proxy password", 0, "puser", "bad", false,
         "HTTP proxy error, try direct connection: [drop proxy]: Incorrect Proxy Basic Authentication Credentials", 1,
         nullptr, ""},
    };
    testsrv::ByteServer refusing;
    testsrv::Conn refusal;
    for (int i = 0; i < 3; ++i)
        refusal.Request().Send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
                               "Content-Length: 0\r\n\r\n");
    ASSERT_TRUE(refusing.Start({refusal.Close()}));
    cases[5].port = refusing.Port();
    for (const ProxyCase& c : cases) {
        SCOPED_TRACE(c.name);
        CProxyOptions& po = HttpProxyOptions();
        po.m_bUseWinInetProxy = false;
        po.m_bUseProxyBelow = true;
        po.m_sHost = "127.0.0.1";
        po.m_nPort = c.port;
        po.m_sUserID = c.user;
        po.m_sPassword = c.password;
        ZorHttpConn conn;
        RecordingProgress progress;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(c.tls, false), &progress, kind, err)) << err;
        CRsp rsp;
        ASSERT_TRUE(rsp.RequestResponse(conn, "GET", u"/files/a.txt", kind, err)) << err << "\n" << progress.All();
        EXPECT_EQ(rsp.m_sBody, CNarrowString("file a\n"));
        EXPECT_TRUE(progress.Has(c.msgLevel, c.message)) << progress.All();
        if (c.seen) {
            EXPECT_NE(c.seen->Log().find(c.logPart), std::string::npos) << c.seen->Log();
        }
    }
    // the libcurl transport takes the manual proxy as well
    {
        CProxyOptions& po = HttpProxyOptions();
        po.m_bUseWinInetProxy = false;
        po.m_bUseProxyBelow = true;
        po.m_sHost = "127.0.0.1";
        po.m_nPort = authProxy.Port();
        po.m_sUserID = "puser";
        po.m_sPassword = "ppass";
        ZorHttpConn conn;
        RecordingProgress progress;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpConfigureAndConnect(conn, Params(false, true), &progress, kind, err)) << err;
        CRsp rsp;
        ASSERT_TRUE(rsp.RequestResponse(conn, "GET", u"/files/a.txt", kind, err)) << err << "\n" << progress.All();
        EXPECT_TRUE(progress.Has(2, "Using manual WinInet proxy 127.0.0.1:")) << progress.All();
        EXPECT_TRUE(progress.Has(2, "Supplied proxy authentication for WinInet: userid=puser")) << progress.All();
    }
}

TEST(HttpHelpers, FileUrls) {
    testsrv::TempDir tmp;
    std::string big(40000, 'p');
    testsrv::WriteFileText(tmp / "auto.pac", big);
    struct UrlCase {
        std::string url;
        bool ok;
        int length;
        const char* errPart;
        int kind;
    } urls[] = {
        {"file://" + (tmp / "auto.pac"), true, 32768, "", 0},
        {"FILE://" + (tmp / "auto.pac"), true, 32768, "", 0},
        {"file://" + (tmp / "missing.pac"), false, 0, "reading file://: ", 7},
        {"ftp://example.invalid/x", false, 0, "bad URL: ftp://example.invalid/x", 5},
    };
    for (const UrlCase& u : urls) {
        CRsp rsp;
        HttpConnectParams p;
        p.m_sUrl = Utf8ToWide(u.url.c_str());
        int kind = 0;
        CWideString err;
        EXPECT_EQ(HttpGetUrl(rsp, p, "GET", nullptr, kind, err), u.ok) << u.url << " " << err;
        if (u.ok) {
            EXPECT_EQ(rsp.m_sBody.GetLength(), u.length);
            EXPECT_TRUE(rsp.m_bBodyComplete);
        } else {
            EXPECT_NE(WideToUtf8(err).Find(u.errPart), -1) << err;
            EXPECT_EQ(kind, u.kind);
        }
    }
}

TEST_F(HttpEngine, GetUrlOverHttpAndHttps) {
    for (int tls = 0; tls < 2; ++tls) {
        CRsp rsp;
        HttpConnectParams p;
        int port = tls ? s_apache->TlsPort() : s_apache->Port();
        p.m_sUrl = Utf8ToWide((std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/files/a.txt").c_str());
        p.m_bUseProxy = 0;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(HttpGetUrl(rsp, p, "GET", nullptr, kind, err)) << err;
        EXPECT_EQ(rsp.m_sBody, CNarrowString("file a\n"));
    }
}

} // namespace
