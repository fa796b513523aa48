// TLS sessions against openssl s_server on 127.0.0.1 with certificates made
// for this run (tools/make-test-pki.sh).
#include "zor-http.h"
#include "zor-socket.h"
#include "zor-ssl.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include "net-test-util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pki = new ntest::TempDir();
        s_bReady = ntest::Shell("bash '" TV_SOURCE_DIR "/tools/make-test-pki.sh' '" + s_pki->Path() + "'",
                                *s_pki / "make.log");
    }
    static void TearDownTestSuite() {
        SetSslRootsFile(CWideString());
        delete s_pki;
        s_pki = nullptr;
    }
    void SetUp() override {
        if (!s_bReady) GTEST_SKIP() << "cannot make test certificates: " << ntest::ReadFile(*s_pki / "make.log");
        SetSslRootsFile(Utf8ToWide(Pki("roots.pem").c_str()));
    }
    static std::string Pki(const std::string& name) { return *s_pki / name; }

    // Starts s_server for one connection with the named certificate; 0 on failure.
    int StartServer(ntest::Child& srv, const std::string& cert, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Pki(cert + ".pem"),
                                         "-key", Pki(cert + ".key"), "-www", "-naccept", "1"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!srv.Start(argv)) return 0;
        std::string line;
        if (!srv.WaitFor("ACCEPT", 5000, &line)) return 0;
        size_t colon = line.rfind(':');
        return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    }

    // Connects with TLS and fetches s_server's status page.
    static bool Fetch(ZorSocket& s, const char* host, int port, bool skip, int& kind, CWideString& err) {
        s.m_nTimeout = 10;
        s.m_nConnectTimeout = 5;
        if (!s.Connect(host, port, true, skip, kind, err)) return false;
        if (!s.SendLine("GET / HTTP/1.0\r", kind, err)) return false;
        CNarrowString line;
        bool eof = false;
        if (!s.ReadLine(line, eof, kind, err)) return false;
        if (!line.StartsWith("HTTP/1.0 200")) {
            err = Utf8ToWide(line);
            return false;
        }
        return true;
    }

    static ntest::TempDir* s_pki;
    static bool s_bReady;
};
ntest::TempDir* Tls::s_pki = nullptr;
bool Tls::s_bReady = false;

struct CheckCase {
    const char* cert;
    const char* host;
    bool skip;
    const char16_t* message; // null: success; else the start of the message
};

TEST_F(Tls, ServerCertificateChecks) {
    const CheckCase cases[] = {
        {"san", "localhost", false, nullptr},
        {"san", "127.0.0.1", false, nullptr},
        {"cnonly", "localhost", false, nullptr},
        // The CN is not consulted when the certificate names DNS names.
        {"other", "localhost", false, u"Name in certificate 'other.test' doesn't match server name 'localhost'"},
        {"wild", "127.0.0.1", false, u"Name in certificate '*.example.com' doesn't match server name '127.0.0.1'"},
        {"expired", "localhost", false, u"No Certificate or it does not verify (error 10): certificate has expired"},
        {"expired", "localhost", true, nullptr},
        {"self", "localhost", false, u"No Certificate or it does not verify (error 18): "},
        {"self", "localhost", true, nullptr},
        {"revoked", "localhost", false, u"No Certificate or it does not verify (error 23): certificate revoked"},
    };
    for (const CheckCase& c : cases) {
        ntest::Child srv;
        int port = StartServer(srv, c.cert);
        ASSERT_GT(port, 0) << c.cert << ": " << srv.Output();
        ZorSocket s;
        int kind = 0;
        CWideString err;
        bool ok = Fetch(s, c.host, port, c.skip, kind, err);
        std::string what = std::string(c.cert) + " as " + c.host + (c.skip ? " (skip check)" : "");
        if (!c.message) {
            EXPECT_TRUE(ok) << what << ": " << U8(err);
            EXPECT_TRUE(err.IsEmpty()) << what << ": the set-up's notes stay out of the caller's text: " << U8(err);
            continue;
        }
        EXPECT_FALSE(ok) << what;
        EXPECT_EQ(U8(err).rfind(U8(c.message), 0), 0u) << what << ": " << U8(err);
        EXPECT_EQ(kind, 2) << what;
        EXPECT_FALSE(s.IsOpen());
        // One connect only: the refusal is not retried (s_server took one).
        EXPECT_TRUE(srv.WaitExit(3000)) << what;
    }
}

TEST_F(Tls, WildcardNamesOnALiveSession) {
    struct NameCase {
        const char* cert;
        const char* host;
        bool match;
    } cases[] = {
        {"wild", "files.example.com", true},  {"wild", "FILES.EXAMPLE.COM", true},
        {"wild", "example.com", false},       {"wild", "a.b.example.com", false},
        {"wild", "files.example.com.evil", false},
        {"partial", "files.example.com", false}, // no partial-label wildcards
        {"starcom", "example.com", false},       // *.com is not a wildcard
        {"san", "localhost", true},              {"san", "127.0.0.1", true},
        {"san", "127.0.0.2", false},             {"cnonly", "LOCALHOST", true},
    };
    std::string last;
    std::unique_ptr<ntest::Child> srv;
    std::unique_ptr<ZorSocket> s;
    for (const NameCase& c : cases) {
        if (last != c.cert) {
            s.reset();
            srv = std::make_unique<ntest::Child>();
            int port = StartServer(*srv, c.cert);
            ASSERT_GT(port, 0);
            s = std::make_unique<ZorSocket>();
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(s->Connect("127.0.0.1", port, true, true, kind, err)) << U8(err);
            last = c.cert;
        }
        CWideString err;
        EXPECT_EQ(VerifyServerCertificate(s->m_pSsl, c.host, err), c.match) << c.cert << " " << c.host << U8(err);
        if (!c.match) {
            EXPECT_EQ(U8(err).rfind("Name in certificate '", 0), 0u) << U8(err);
        }
    }
}

TEST_F(Tls, ClientCertificates) {
    for (const char* version : {"-tls1_3", "-tls1_2"}) {
        bool tls13 = std::string(version) == "-tls1_3";
        {
            // Demanded, not given: TLS 1.3 learns it at the first read, 1.2 in the handshake.
            ntest::Child srv;
            int port = StartServer(srv, "san", {"-Verify", "1", "-CAfile", Pki("ca.pem"), version});
            ASSERT_GT(port, 0);
            ZorSocket s;
            int kind = 0;
            CWideString err;
            EXPECT_FALSE(Fetch(s, "localhost", port, false, kind, err)) << version;
            // At the first read the line reader names its step first.
            EXPECT_EQ(err, CWideString(tls13 ? u"receiving line: Client certificate is required for this connection"
                                             : u"Client certificate is required for this connection"))
                << version << U8(err);
            EXPECT_EQ(kind, tls13 ? 7 : 2) << version;
        }
        {
            ntest::Child srv;
            int port = StartServer(srv, "san", {"-Verify", "1", "-CAfile", Pki("ca.pem"), version});
            ASSERT_GT(port, 0);
            ZorSocket s;
            s.m_sClientCertFile = Utf8ToWide(Pki("client-bundle.pem").c_str());
            int kind = 0;
            CWideString err;
            EXPECT_TRUE(Fetch(s, "localhost", port, false, kind, err)) << version << U8(err);
        }
    }
    ZorSocket s;
    s.m_sClientCertFile = Utf8ToWide(Pki("client-mismatch.pem").c_str());
    ntest::Child srv;
    int port = StartServer(srv, "san", {"-Verify", "1", "-CAfile", Pki("ca.pem")});
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(Fetch(s, "localhost", port, false, kind, err));
    EXPECT_EQ(err, CWideString(u"server private key check failed"));
    EXPECT_EQ(kind, 2);
    // Oversized certificate files are refused before they are read.
    srv.Stop();
    port = StartServer(srv, "san");
    ntest::WriteFile(Pki("huge.pem"), std::string((1 << 20) + 1, 'A'));
    s.m_sClientCertFile = Utf8ToWide(Pki("huge.pem").c_str());
    EXPECT_FALSE(Fetch(s, "localhost", port, false, kind, err));
    EXPECT_EQ(U8(err).rfind("certificate or key file too large", 0), 0u) << U8(err);
    EXPECT_EQ(kind, 5);
}

TEST_F(Tls, RootsFiles) {
    int kind = 0;
    CWideString err;
    // Without a roots file beside the program: the system bundle, which
    // SSL_CERT_FILE points at the test CA here.
    {
        ASSERT_FALSE(ZorFileExists(GetProcessExeFolder() + u"/cacert.pem"));
        setenv("SSL_CERT_FILE", Pki("ca.pem").c_str(), 1);
        SetSslRootsFile(CWideString());
        ntest::Child srv;
        int port = StartServer(srv, "san");
        ZorSocket s;
        EXPECT_TRUE(Fetch(s, "localhost", port, false, kind, err)) << U8(err);
        unsetenv("SSL_CERT_FILE");
    }
    // A damaged roots file: the set-up says so, the handshake then fails.
    ntest::WriteFile(Pki("damaged.pem"), "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
    CWideString damaged = Utf8ToWide(Pki("damaged.pem").c_str());
    SetSslRootsFile(damaged);
    err.Empty();
    ASSERT_TRUE(InitSslLibrary(nullptr, kind, err));
    EXPECT_EQ(U8(err).rfind(U8(u"SSL: Cannot load trusted root certificates from '" + damaged + u"': "), 0), 0u)
        << U8(err);
    EXPECT_EQ(GetSslSetupMessage(), err);
    err.Empty();
    ASSERT_TRUE(InitSslLibrary(nullptr, kind, err));
    EXPECT_EQ(err, CWideString(u"SSL Library already initialized"));
    ntest::Child srv;
    int port = StartServer(srv, "san");
    ZorSocket s;
    EXPECT_FALSE(Fetch(s, "localhost", port, false, kind, err));
    EXPECT_EQ(U8(err).rfind("No Certificate or it does not verify (error 20)", 0), 0u) << U8(err);
}

// A relay on 127.0.0.1 to the real server. It can drop its first
// connection at once, and reset the client's connection on request.
class Relay {
public:
    Relay(int target, bool bDropFirst) {
        m_thread = std::thread([this, target, bDropFirst] {
            int c = m_listener.Accept(5000);
            if (c >= 0 && bDropFirst) {
                ++m_accepted;
                ::close(c);
                c = m_listener.Accept(5000);
            }
            if (c < 0) return;
            ++m_accepted;
            int u = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons((uint16_t)target);
            if (::connect(u, (sockaddr*)&a, sizeof a) == 0) Pump(c, u);
            if (m_reset) {
                linger l{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            ::close(u);
            ::close(c);
        });
    }
    ~Relay() {
        m_stop = true;
        m_thread.join();
    }
    int Port() const { return m_listener.Port(); }
    int Accepted() const { return m_accepted.load(); }
    void Reset() { m_reset = true; }

private:
    void Pump(int c, int u) {
        char buf[16384];
        while (!m_stop && !m_reset) {
            pollfd p[2] = {{c, POLLIN, 0}, {u, POLLIN, 0}};
            int r = ::poll(p, 2, 50);
            if (r < 0) return;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
                ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0 || ::send(p[1 - i].fd, buf, (size_t)n, MSG_NOSIGNAL) != n) return;
            }
        }
    }
    ntest::Listener m_listener;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_stop{false}, m_reset{false};
    std::thread m_thread;
};

TEST_F(Tls, TransportFailures) {
    // A connection dropped during the handshake earns one more connect.
    {
        ntest::Child srv;
        int port = StartServer(srv, "san");
        ASSERT_GT(port, 0);
        Relay relay(port, true);
        ZorSocket s;
        int kind = 0;
        CWideString err;
        EXPECT_TRUE(Fetch(s, "localhost", relay.Port(), false, kind, err)) << U8(err);
        s.CloseQuietly();
        EXPECT_EQ(relay.Accepted(), 2);
    }
    // A connection reset under an open session fails the read; it is not
    // the end of the data.
    ntest::Child srv;
    std::vector<std::string> argv = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Pki("san.pem"),
                                     "-key", Pki("san.key"), "-naccept", "1"};
    ASSERT_TRUE(srv.Start(argv, "", true));
    std::string line;
    ASSERT_TRUE(srv.WaitFor("ACCEPT", 5000, &line));
    Relay relay(std::atoi(line.c_str() + line.rfind(':') + 1), false);
    ZorSocket s;
    s.m_nTimeout = 10;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(s.Connect("localhost", relay.Port(), true, false, kind, err)) << U8(err);
    ::usleep(100000);
    relay.Reset();
    uint8_t b = 0;
    bool eof = false;
    EXPECT_FALSE(s.ReadByte(b, eof, kind, err)) << "read as the end of the data";
    EXPECT_EQ(U8(err), "[receiving data localhost:" + std::to_string(relay.Port()) +
                           "]: Connection was reset by remote machine");
    EXPECT_EQ(kind, 3);
}

// The libcurl transport trusts what the own sessions trust: the roots file
// with its revocation list, else SSL_CERT_FILE. A library that cannot be
// loaded fails the request, and a later request loads it.
TEST_F(Tls, CurlTransportUsesTheSameRoots) {
    struct CurlCase {
        const char* cert;
        const char* roots;    // the roots file; null: none, SSL_CERT_FILE names the CA
        const char* library;  // the transport's library
        bool ok;
        const char* errPart;
    } cases[] = {
        {"san", "roots.pem", "libcurl.so.4", true, ""},
        {"revoked", "roots.pem", "libcurl.so.4", false, "revoked"},
        {"san", nullptr, "libcurl.so.4", true, ""},
        {"san", "roots.pem", "libcurl-missing.so.9", false, "cannot load the HTTP library: "},
        {"san", "roots.pem", "libcurl.so.4", true, ""},
    };
    const char* savedLibrary = g_szHttpCurlLibrary;
    for (const CurlCase& c : cases) {
        SCOPED_TRACE(std::string(c.cert) + " " + (c.roots ? c.roots : "SSL_CERT_FILE") + " " + c.library);
        ntest::Child srv;
        int port = StartServer(srv, c.cert);
        ASSERT_GT(port, 0) << srv.Output();
        if (c.roots) {
            SetSslRootsFile(Utf8ToWide(Pki(c.roots).c_str()));
        } else {
            setenv("SSL_CERT_FILE", Pki("ca.pem").c_str(), 1);
            SetSslRootsFile(CWideString());
        }
        g_szHttpCurlLibrary = c.library;
        HttpConnectParams p;
        p.m_sUrl = Utf8ToWide(("https://localhost:" + std::to_string(port) + "/").c_str());
        p.m_bWinInet = 1;
        p.m_bUseProxy = 0;
        p.m_nTimeout = 10;
        CRsp rsp;
        int kind = 0;
        CWideString err;
        bool ok = HttpGetUrl(rsp, p, "GET", nullptr, kind, err);
        unsetenv("SSL_CERT_FILE");
        g_szHttpCurlLibrary = savedLibrary;
        EXPECT_EQ(ok, c.ok) << U8(err);
        EXPECT_NE(U8(err).find(c.errPart), std::string::npos) << U8(err);
    }
}

// A server that completes the handshake and never answers: the read runs
// into the time-out (kind 3, as without TLS), and a request that is not
// idempotent is not sent again (the server takes one connection only).
TEST_F(Tls, SilentServerTimesOut) {
    for (const char* method : {"POST", "GET"}) {
        SCOPED_TRACE(method);
        ntest::Child srv;
        ASSERT_TRUE(srv.Start({"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", Pki("san.pem"), "-key",
                               Pki("san.key"), "-naccept", "1"}, "", true));
        std::string line;
        ASSERT_TRUE(srv.WaitFor("ACCEPT", 5000, &line));
        HttpConnectParams p;
        p.m_sUrl = Utf8ToWide(("https://localhost:" + std::to_string(std::atoi(line.c_str() + line.rfind(':') + 1)) +
                               "/upload?uploads").c_str());
        p.m_bUseProxy = 0;
        p.m_nTimeout = 1;
        CRsp rsp;
        rsp.m_sReqBody = "initiate";
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(HttpGetUrl(rsp, p, method, nullptr, kind, err));
        EXPECT_EQ(kind, 3) << U8(err);
        EXPECT_EQ(U8(err).rfind("receiving HTTP header: [receiving data localhost:", 0), 0u) << U8(err);
        EXPECT_NE(U8(err).find("]: Time out"), std::string::npos) << U8(err);
    }
}

} // namespace
