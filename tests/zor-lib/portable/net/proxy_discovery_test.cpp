// Proxy discovery: the fixed list of the user's settings, the environment,
// and auto-config scripts from file:// and from Apache with tinyproxy and a
// closed port as the proxies; scripts that never end or eat memory; and a
// request that follows the script through tinyproxy.
#include "zor-http.h"
#include "zor-proxy-discovery.h"
#include "zor-registry.h"
#include "zor-script-host.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <chrono>

#include "http-test-servers.h"

namespace {

const char16_t* const kKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string U8(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

struct Found {
    bool ok;
    std::string host;
    int port;
    std::string err;
    int kind;
};

Found Discover(const std::string& host, int port, const std::string& url) {
    Found f{false, "", -1, "", 0};
    CNarrowString h;
    int32_t p = -1;
    CWideString err;
    f.ok = DiscoverProxy(CNarrowString(host.c_str()), port, CNarrowString(url.c_str()), h, p, f.kind, err);
    f.host = h.GetString();
    f.port = p;
    f.err = U8(err);
    return f;
}

class ProxyDiscoveryTest : public ::testing::Test {
protected:
    ntest::TempDir m_regDir;
    wtest::EnvVar m_reg{"TORVANE_REGISTRY_DIR", m_regDir.Path().c_str()};
    void SetUp() override {
        testsrv::ClearProxyEnvironment();
        ResetProxyDiscovery();
    }
    void TearDown() override { ResetProxyDiscovery(); }
    void Set(const char16_t* name, const std::string& value) {
        CWideString err;
        ASSERT_TRUE(RegSetStringValue(Utf8ToWide(value.c_str()), HKEY_CURRENT_USER, kKey, name, err)) << U8(err);
    }
    void SetEnable(uint32_t v) {
        CWideString err;
        ASSERT_TRUE(RegSetDwordValue(v, HKEY_CURRENT_USER, kKey, u"ProxyEnable", err)) << U8(err);
    }
};

} // namespace

TEST_F(ProxyDiscoveryTest, FixedListAndEnvironment) {
    struct Case {
        const char* proxyServer; // null: no value
        uint32_t enable;
        const char* env; // "name=value;name=value"
        const char* host;
        const char* url;
        bool ok;
        const char* proxy; // "host:port", "" direct, or the error
    } cases[] = {
        {"http=p1:80;https=p2:443", 1, "", "x.test", "https://x.test/", true, "p2:443"},
        {"http=p1:80;https=p2:443", 1, "", "x.test", "http://x.test/", true, "p1:80"},
        {"http=p1:80;https=p2:443", 1, "", "x.test", "ftp://x.test/", true, ""},
        {"p4:8080", 1, "", "x.test", "not a url", true, "p4:8080"},
        {"p4:8080", 0, "http_proxy=http://127.0.0.1:9", "x.test", "http://x.test/", true, ""},
        {"p3", 1, "", "x.test", "http://x.test/", false, "cannot parse found proxy p3"},
        {":80", 1, "", "x.test", "http://x.test/", false, "cannot parse found proxy :80"},
        {"p:99999", 1, "", "x.test", "http://x.test/", false, "cannot parse found proxy p:99999"},
        {"p:0", 1, "", "x.test", "http://x.test/", false, "cannot parse found proxy p:0"},
        // no settings: the environment as curl reads it
        {nullptr, 0, "", "x.test", "http://x.test/", true, ""},
        {nullptr, 0, "http_proxy=http://127.0.0.1:3128/", "x.test", "http://x.test/", true, "127.0.0.1:3128"},
        {nullptr, 0, "http_proxy=127.0.0.1:3128", "x.test", "https://x.test/", true, ""},
        {nullptr, 0, "https_proxy=http://u:p@127.0.0.1:3129", "x.test", "https://x.test/", true, "127.0.0.1:3129"},
        {nullptr, 0, "HTTPS_PROXY=127.0.0.1", "x.test", "https://x.test/", true, "127.0.0.1:1080"},
        {nullptr, 0, "http_proxy=127.0.0.1:3128;no_proxy=*", "x.test", "http://x.test/", true, ""},
        {nullptr, 0, "http_proxy=127.0.0.1:3128;no_proxy=other, .example.test", "a.example.test", "http://a/", true, ""},
        {nullptr, 0, "http_proxy=127.0.0.1:3128;no_proxy=example.test", "example.test", "http://a/", true, ""},
        {nullptr, 0, "http_proxy=127.0.0.1:3128;no_proxy=example.test", "example.test.evil", "http://a/", true,
         "127.0.0.1:3128"},
        {nullptr, 0, "http_proxy=127.0.0.1:3128;no_proxy=example.test", "badexample.test", "http://a/", true,
         "127.0.0.1:3128"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.proxyServer ? c.proxyServer : "(none)") + " " + c.env + " " + c.url);
        CWideString e;
        RegDeleteValueQuiet(HKEY_CURRENT_USER, kKey, u"ProxyServer");
        RegDeleteValueQuiet(HKEY_CURRENT_USER, kKey, u"ProxyEnable");
        if (c.proxyServer) {
            Set(u"ProxyServer", c.proxyServer);
            SetEnable(c.enable);
        }
        testsrv::ClearProxyEnvironment();
        std::string env = c.env;
        for (size_t p = 0; p < env.size();) {
            size_t e2 = env.find(';', p);
            if (e2 == std::string::npos) e2 = env.size();
            const std::string kv = env.substr(p, e2 - p);
            setenv(kv.substr(0, kv.find('=')).c_str(), kv.substr(kv.find('=') + 1).c_str(), 1);
            p = e2 + 1;
        }
        Found f = Discover(c.host, 80, c.url);
        EXPECT_EQ(f.ok, c.ok) << f.err;
        if (c.ok) {
            EXPECT_EQ(f.host.empty() ? std::string() : f.host + ":" + std::to_string(f.port), c.proxy);
            if (f.host.empty()) {
                EXPECT_EQ(f.port, 0);
            }
        } else {
            EXPECT_EQ(f.err, c.proxy);
            EXPECT_EQ(f.kind, 5);
        }
    }
    testsrv::ClearProxyEnvironment();
}

TEST_F(ProxyDiscoveryTest, AutoConfigScripts) {
    testsrv::TinyProxy tiny;
    if (!tiny.Start()) GTEST_SKIP() << "no tinyproxy";
    const int closed = ntest::FreePort();
    const std::string tp = "127.0.0.1:" + std::to_string(tiny.Port());
    const std::string script =
        "function FindProxyForURL(url, host) {\n"
        " if (host == 'a.test') return 'PROXY 127.0.0.1:" + std::to_string(closed) + "; PROXY " + tp + "; DIRECT';\n"
        " if (host == 'd.test') return 'DIRECT';\n"
        " if (host == 's.test') return 'SOCKS s:1080';\n"
        " if (host == 'big.test') return 'PROXY 127.0.0.1:99999;PROXY 127.0.0.1:x; proxy " + tp + "';\n"
        " if (host == 'port.test') return 'PROXY 127.0.0.1';\n"
        " if (host == 'loop.test') for (;;) {}\n"
        " if (host == 'hog.test') { var a = []; for (;;) a.push('x'.repeat(4096) + a.length); }\n"
        " if (url.substring(0, 6) == 'https:') return 'PROXY " + tp + "';\n"
        " return 'DIRECT';\n}\n";
    ntest::TempDir dir;
    ntest::WriteFile(dir / "proxy.pac", script);
    Set(u"AutoConfigURL", "file://" + dir.Path() + "/proxy.pac");
    const int64_t oldLimit = ZorScriptGetTimeLimitMs();
    ZorScriptSetTimeLimitMs(500);
    struct Case {
        const char* host;
        int port;
        const char* url;
        bool ok;
        std::string proxy; // "host:port", "" direct, or the start of the error
        int evaluations;   // how many times the script ran for this discovery
    } cases[] = {
        {"a.test", 80, "http://a.test/x", true, tp, 1},
        {"a.test", 80, "http://a.test/other", true, tp, 0}, // cached
        {"A.TEST", 80, "http://A.TEST/", true, tp, 0},      // host names ignore case
        {"d.test", 80, "http://d.test/", true, "", 1},
        {"d.test", 80, "http://d.test/", true, "", 0},
        {"s.test", 80, "http://s.test/", false, "none of proxies respond: SOCKS s:1080", 1},
        {"u.test", 80, "http://u.test/", true, "", 1},
        {"u.test", 443, "https://u.test/", true, tp, 1}, // https apart
        {"u.test", 80, "http://u.test/", true, "", 0},
        {"big.test", 80, "http://big.test/", true, tp, 1},
        {"port.test", tiny.Port(), "http://port.test/", true, tp, 1},
        {"loop.test", 80, "http://loop.test/", false, "auto-proxy computing: cannot translate: err=80004005: ", 1},
        {"hog.test", 80, "http://hog.test/", false, "auto-proxy computing: cannot translate: err=80004005: ", 1},
        {"d.test", 80, "http://d.test/", true, "", 0}, // the lock is free again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " " + c.url);
        const int64_t before = ProxyScriptEvaluationCount();
        const auto start = std::chrono::steady_clock::now();
        Found f = Discover(c.host, c.port, c.url);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
        EXPECT_EQ(ProxyScriptEvaluationCount() - before, c.evaluations);
        EXPECT_EQ(f.ok, c.ok) << f.err;
        if (c.ok) {
            EXPECT_EQ(f.host.empty() ? std::string() : f.host + ":" + std::to_string(f.port), c.proxy);
        } else {
            EXPECT_EQ(f.err.substr(0, c.proxy.size()), c.proxy);
            EXPECT_EQ(f.kind, 5);
        }
    }
    ZorScriptSetTimeLimitMs(oldLimit);
    // A script that cannot be read fails every discovery, and is tried again.
    ResetProxyDiscovery();
    Set(u"AutoConfigURL", "file://" + dir.Path() + "/missing.pac");
    Found f = Discover("a.test", 80, "http://a.test/");
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.err.substr(0, 19), "auto-proxy read: re") << f.err;
    ntest::WriteFile(dir / "missing.pac", "function FindProxyForURL(u, h) { return 'DIRECT'; }");
    EXPECT_TRUE(Discover("a.test", 80, "http://a.test/").ok);
    ntest::WriteFile(dir / "bad.pac", "function FindProxyForURL(u, h) { return ; ; ) }");
    ResetProxyDiscovery();
    Set(u"AutoConfigURL", "file://" + dir.Path() + "/bad.pac");
    f = Discover("a.test", 80, "http://a.test/");
    EXPECT_EQ(f.err.substr(0, 20), "auto-proxy parsing: ") << f.err;
}

TEST_F(ProxyDiscoveryTest, RequestFollowsTheScriptThroughTinyproxy) {
    testsrv::Apache apache;
    testsrv::TinyProxy tiny;
    if (!apache.Start() || !tiny.Start()) GTEST_SKIP() << "no apache2 or tinyproxy";
    // The script lives on the same host that it sends through the proxy: its
    // own fetch must go direct (no discovery for it, no recursion).
    ntest::WriteFile(apache.Dir() + "/htdocs/proxy.pac",
                     "function FindProxyForURL(url, host) {\n"
                     " if (host == 'localhost') return 'PROXY 127.0.0.1:" + std::to_string(tiny.Port()) + "';\n"
                     " return 'DIRECT';\n}\n");
    Set(u"AutoConfigURL", "http://localhost:" + std::to_string(apache.Port()) + "/proxy.pac");
    CProxyOptions saved = HttpProxyOptions();
    HttpProxyOptions().m_bUseWinInetProxy = true;
    HttpProxyOptions().m_bUseProxyBelow = false;
    for (int winInet = 0; winInet < 2; ++winInet) {
        SCOPED_TRACE(winInet ? "libcurl transport" : "own sockets");
        ResetProxyDiscovery();
        CRsp rsp;
        HttpConnectParams params;
        params.m_sUrl = Utf8ToWide(("http://localhost:" + std::to_string(apache.Port()) + "/files/a.txt").c_str());
        params.m_bWinInet = (uint8_t)winInet;
        params.m_bUseProxy = 1;
        int kind = 0;
        CWideString err;
        const int64_t before = ProxyScriptEvaluationCount();
        ASSERT_TRUE(HttpGetUrl(rsp, params, "GET", nullptr, kind, err)) << U8(err);
        EXPECT_EQ(rsp.m_nStatus, 200);
        EXPECT_EQ(std::string(rsp.m_sBody.GetString()), "file a\n");
        EXPECT_GE(ProxyScriptEvaluationCount() - before, 1);
    }
    HttpProxyOptions() = saved;
    // both requests went through the proxy; the script's fetch did not
    const std::string log = tiny.Log();
    size_t n = 0;
    for (size_t p = 0; (p = log.find("/files/a.txt", p)) != std::string::npos; ++p) ++n;
    EXPECT_GE(n, 2u) << log;
    EXPECT_EQ(log.find("proxy.pac"), std::string::npos);
}
