// HTTP message framing on our own sockets, against a server that replays
// scripted (often malformed) replies: status line and header rules, bodies
// by length, chunks and close, limits, retries of dropped keep-alive
// connections, and what the request head carries.
#include "zor-http.h"

#include "http-test-servers.h"
#include "zor-file.h"
#include "zor-log.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using testsrv::Conn;

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
    bool Has(const std::string& part) const {
        for (auto& m : messages)
            if (m.second.find(part) != std::string::npos) return true;
        return false;
    }
};

// A connection to the byte server on 127.0.0.1.
struct Client {
    ZorHttpConn conn;
    RecordingProgress progress;
    bool Connect(int port, int& kind, CWideString& err, bool curl = false) {
        HttpConnectParams p;
        p.m_sHost = "127.0.0.1";
        p.m_nPort = port;
        p.m_bUseProxy = 0;
        p.m_bWinInet = curl;
        p.m_nTimeout = 10;
        return HttpConfigureAndConnect(conn, p, &progress, kind, err);
    }
};

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

struct Case {
    const char* name;
    std::string reply;       // sent after the request
    bool ok;                 // the call succeeds
    int kind;                // expected kind on failure
    const char* errPart;     // expected part of the error text
    int status;              // expected status (0: not checked)
    std::string body;        // expected memory body on success
    const char* reason = nullptr;
};

TEST(HttpFraming, RepliesTable) {
    testsrv::ClearProxyEnvironment();
    std::string flood;
    for (int i = 0; i < 1200; ++i) flood += "X-Flood-" + std::to_string(i) + ": v\r\n";
    std::string wide;
    for (int i = 0; i < 40; ++i) wide += "X-Wide-" + std::to_string(i) + ": " + std::string(8000, 'w') + "\r\n";
    const Case cases[] = {
        {"plain", Ok("hello"), true, 0, "", 200, "hello", "OK"},
        {"chunked after length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         true, 0, "", 200, "hello"},
        {"chunk extension ignored", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;name=v\r\nhello\r\n3 ; x\r\nabc\r\n0\r\n\r\n",
         true, 0, "", 200, "helloabc"},
        {"coding before chunked", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: gzip, chunked\r\n\r\nhello",
         false, 7, "Unsupported Transfer-Encoding in HTTP header: gzip, chunked", 0, ""},
        {"chunked twice", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         false, 7, "Unsupported Transfer-Encoding in HTTP header: chunked", 0, ""},
        {"status without reason", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nhi", true, 0, "", 200, "hi", ""},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nhi", false, 7,
         "Duplicate Content-Length line in HTTP header", 0, ""},
        {"line without colon", "HTTP/1.1 200 OK\r\nBogus\r\n\r\n", false, 7, "Bad HTTP header line: 'Bogus'", 0, ""},
        {"CR without LF", "HTTP/1.1 200 OK\rX\n\r\n", false, 7, "No LF after CR at the end of line of HTTP header", 0, ""},
        {"empty status line", "\r\n\r\n", false, 7, "No HTTP Request-Line/Status-Line received", 0, ""},
        {"bad status line", "HTTP/2 200 OK\r\n\r\n", false, 7, "Bad HTTP header Status-Line: 'HTTP/2 200 OK'", 0, ""},
        {"length over 18 digits", "HTTP/1.1 200 OK\r\nContent-Length: 1234567890123456789\r\n\r\n", false, 7,
         "Bad Content-Length HTTP header: 1234567890123456789", 0, ""},
        {"length of 19 nines", "HTTP/1.1 200 OK\r\nContent-Length: 9999999999999999999\r\n\r\n", false, 7,
         "Bad Content-Length HTTP header: 9999999999999999999", 0, ""},
        {"length with text", "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n", false, 7, "Bad Content-Length HTTP header: 12x", 0, ""},
        {"chunk size over 15 digits", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000000000000000\r\n", false, 7,
         "Receiving body: bad chunk length: 1000000000000000", 0, ""},
        {"chunk size not hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, 7, "bad chunk length: zz", 0, ""},
        {"bad chunk closing", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhiX\r\n0\r\n\r\n", false, 7,
         "bad chunk closing: X", 0, ""},
        {"header line flood", "HTTP/1.1 200 OK\r\n" + flood + "\r\n", false, 7, "Too many HTTP header lines", 0, ""},
        {"header bytes flood", "HTTP/1.1 200 OK\r\n" + wide + "\r\n", false, 7, "HTTP header too long", 0, ""},
        {"header line too long", "HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", false, 7, "line too long", 0, ""},
        {"read to close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end", true, 0, "", 200, "until the end"},
        {"404 body to memory", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope", false, 7,
         "Server says: Not Found (status code 404)", 404, ""},
        {"507 quota", "HTTP/1.1 507 Full\r\nContent-Length: 0\r\n\r\n", false, 8, "Server says: Full (status code 507)", 507, ""},
        {"closed in body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", false, 3,
         "Receiving body: socket closed while receiving message body", 0, ""},
        {"closed in chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", false, 3,
         "socket closed while receiving chunked content", 0, ""},
        {"closed in header", "HTTP/1.1 200 OK\r\nX-A: 1\r\n", false, 3, "socket closed while receiving HTTP header", 0, ""},
        {"declared body over memory limit", "HTTP/1.1 200 OK\r\nContent-Length: 40000000\r\n\r\n", false, 5,
         "Response body is too long for memory, 40000000 bytes", 0, ""},
        {"declared body over the chunk limit", "HTTP/1.1 200 OK\r\nContent-Length: 200000000\r\n\r\n", false, 5,
         "Response body is too long for memory, 200000000 bytes", 0, ""},
        {"chunk over memory limit", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000000\r\n", false, 5,
         "Response body is too long for memory, 134217728 bytes", 0, ""},
        {"zor error header", "HTTP/1.1 500 Failed\r\nx-zor-err: 8\r\nContent-Length: 0\r\n\r\n", false, 8,
         "Server says: Failed (status code 500)", 500, ""},
        {"zor error header of a retryable kind", "HTTP/1.1 500 Failed\r\nx-zor-err: 3\r\nContent-Length: 0\r\n\r\n", false, 7,
         "Server says", 500, ""},
        {"519 ignores zor error", "HTTP/1.1 519 Working\r\nx-zor-err: 8\r\nContent-Length: 0\r\n\r\n", false, 7,
         "Server says: Working (status code 519)", 519, ""},
        {"redirect with a blank", "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/a b\r\nContent-Length: 0\r\n\r\n", false,
         7, "Cannot parse redirect URL", 302, ""},
        {"redirect without location", "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n", false, 7,
         "Cannot get redirect location", 302, ""},
        {"reason header in UTF-8", "HTTP/1.1 500 Failed\r\nreason: d\xc3\xa9j\xc3\xa0 vu\r\nContent-Length: 0\r\n\r\n", false, 7,
         "server said: d\xc3\xa9j\xc3\xa0 vu", 500, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Request().Send(c.reply).Sleep(200).Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp rsp;
        rsp.m_bNoRetry = 1; // one connection per case
        bool ok = rsp.RequestResponse(cl.conn, "GET", u"/x", kind, err);
        EXPECT_EQ(ok, c.ok) << err;
        std::string e = WideToUtf8(err).GetString();
        if (c.ok) {
            EXPECT_TRUE(err.IsEmpty()) << e;
            EXPECT_EQ(std::string(rsp.m_sBody.GetString(), rsp.m_sBody.GetLength()), c.body);
        } else {
            EXPECT_EQ(kind, c.kind) << e;
            EXPECT_NE(e.find(c.errPart), std::string::npos) << e;
        }
        if (c.status) {
            EXPECT_EQ(rsp.m_nStatus, c.status);
        }
        if (c.reason) {
            EXPECT_EQ(std::string(rsp.m_sReason.GetString()), c.reason);
        }
    }
}

// Sequences on one connection: trailers, a dropped keep-alive connection, the
// request head, the spill of a large body and a download cut short.
TEST(HttpFraming, ConnectionSequences) {
    testsrv::ClearProxyEnvironment();
    // trailers are read, so the second answer on the same connection is intact
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn()
                                      .Request()
                                      .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\none\r\n0\r\nX-Trailer: t\r\n\r\n")
                                      .Request()
                                      .Send(Ok("two"))
                                      .Sleep(300)
                                      .Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp a, b;
        ASSERT_TRUE(a.RequestResponse(cl.conn, "GET", u"/1", kind, err)) << err;
        EXPECT_EQ(a.m_sBody, CNarrowString("one"));
        ASSERT_TRUE(b.RequestResponse(cl.conn, "GET", u"/2", kind, err)) << err;
        EXPECT_EQ(b.m_sBody, CNarrowString("two"));
        EXPECT_EQ(server.Accepts(), 1);
        // the Host line carries the port that is not the default one
        std::vector<std::string> heads = server.Heads();
        ASSERT_EQ(heads.size(), 2u);
        EXPECT_NE(heads[0].find("Host: 127.0.0.1:" + std::to_string(server.Port()) + "\\r\\n"), std::string::npos) << heads[0];
        EXPECT_NE(heads[0].find("GET /1 HTTP/1.1\\r\\nContent-Length: 0\\r\\n"), std::string::npos) << heads[0];
        EXPECT_NE(heads[0].find("Connection: Keep-Alive"), std::string::npos);
    }
    // a kept connection that the server drops before answering: retried on a
    // new connection, and the caller sees no trace of it
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Request().Send(Ok("first")).Request().Close(),
                                  Conn().Request().Send(Ok("second")).Sleep(300).Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp a, b;
        ASSERT_TRUE(a.RequestResponse(cl.conn, "GET", u"/1", kind, err)) << err;
        ASSERT_TRUE(b.RequestResponse(cl.conn, "GET", u"/2", kind, err)) << err;
        EXPECT_EQ(b.m_sBody, CNarrowString("second"));
        EXPECT_TRUE(err.IsEmpty()) << err;
        EXPECT_EQ(kind, 0);
        EXPECT_EQ(server.Accepts(), 2);
    }
    // a request dropped once it went out whole is sent again only when that is
    // harmless; a kept connection the server has closed is not used at all
    struct ResendCase {
        const char* method;
        bool kept; // a first exchange, then the server closes
        bool ok;
        size_t heads;
    } resends[] = {{"GET", false, true, 2}, {"PUT", false, true, 2}, {"POST", false, false, 1}, {"POST", true, true, 2}};
    for (const ResendCase& c : resends) {
        SCOPED_TRACE(std::string(c.method) + (c.kept ? " after a kept exchange" : ""));
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({c.kept ? Conn().Request().Send(Ok("kept")).Close() : Conn().Request().Close(),
                                  Conn().Request().Send(Ok("again")).Sleep(300).Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        CRsp first, rsp;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err) && (!c.kept || first.RequestResponse(cl.conn, "GET", u"/", kind, err)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        rsp.m_sReqBody = "payload";
        EXPECT_EQ(rsp.RequestResponse(cl.conn, c.method, u"/r", kind, err), c.ok) << err;
        EXPECT_EQ(kind, c.ok ? 0 : 4) << err;
        EXPECT_EQ(server.Heads().size(), c.heads);
    }
    // a path that would end the request line never leaves
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Request().Send(Ok("x")).Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        for (const char16_t* path : {u"/a\r\nX-Injected: 1", u"/a b", u"/a\nb"}) {
            CRsp rsp;
            err.Empty();
            EXPECT_FALSE(rsp.RequestResponse(cl.conn, "GET", path, kind, err));
            EXPECT_EQ(kind, 5);
            EXPECT_EQ(WideToUtf8(err).Find("bad request path: "), 0) << err;
        }
        // nor does a caller's header line that would end early or start another
        using namespace std::string_literals;
        for (std::string block : {"X-A: 1\r\nX-B\r\n"s, "Authorization: Bearer a\nX-Injected: 1\r\n"s, "X-A: 1\rX: 2\r\n"s,
                                  "X-A: 1"s, " X: 1\r\n"s, "X-A: 1\0X-B: 2\r\n"s}) {
            CRsp rsp;
            rsp.m_sReqHeaders = CNarrowString(block.data(), (int)block.size());
            err.Empty();
            EXPECT_FALSE(rsp.RequestResponse(cl.conn, "GET", u"/h", kind, err)) << block;
            EXPECT_EQ(kind, 5);
            EXPECT_EQ(WideToUtf8(err).Find("bad request header: "), 0) << err;
        }
        cl.conn.Close();
        server.Stop();
        EXPECT_TRUE(server.Heads().empty());
    }
    // the same drop with retries forbidden: kind 4 reaches the caller
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Request().Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp a;
        a.m_bNoRetry = 1;
        EXPECT_FALSE(a.RequestResponse(cl.conn, "GET", u"/1", kind, err));
        EXPECT_EQ(kind, 4);
        EXPECT_NE(WideToUtf8(err).Find("socket closed while receiving HTTP header"), -1) << err;
    }
}

// "Expect: 100-continue": the body waits for the interim answer, a server
// that ignores Expect gets it after a bounded wait, a final answer instead
// of 100 ends the connection, and 417 is retried without Expect.
TEST(HttpFraming, ExpectContinue) {
    testsrv::ClearProxyEnvironment();
    const std::string body(70000, 'e');
    struct ExpectCase {
        const char* name;
        std::vector<Conn> script;
        int accepts;
        bool authorizationOnLast;
        bool expectOnLast;
    } cases[] = {
        {"100 then body", {Conn().Head().Send("HTTP/1.1 100 Continue\r\n\r\n").ReadBytes(70000).Send(Ok("stored")).Sleep(200).Close()},
         1, false, true},
        {"no interim answer", {Conn().Head().ReadBytes(70000).Send(Ok("stored")).Sleep(200).Close()}, 1, false, true},
        {"challenge instead of 100",
         {Conn().Head().Send("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 0\r\n\r\n").Sleep(3000).Close(),
          Conn().Head().Send("HTTP/1.1 100 Continue\r\n\r\n").ReadBytes(70000).Send(Ok("stored")).Sleep(200).Close()},
         2, true, true},
        {"417",
         {Conn().Head().Send("HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\n\r\n").Sleep(3000).Close(),
          Conn().Request().Send(Ok("stored")).Sleep(200).Close()},
         2, false, false},
    };
    for (const ExpectCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start(c.script));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        cl.conn.m_sUserID = u"u";
        cl.conn.m_sPassword = u"p";
        CRsp rsp;
        rsp.m_sReqBody = CNarrowString(body.data(), (int)body.size());
        rsp.m_bExpectAllowed = 1;
        ASSERT_TRUE(rsp.RequestResponse(cl.conn, "PUT", u"/up", kind, err)) << err;
        EXPECT_EQ(rsp.m_sBody, CNarrowString("stored"));
        EXPECT_EQ(server.Accepts(), c.accepts);
        std::vector<std::string> heads = server.Heads();
        ASSERT_FALSE(heads.empty());
        EXPECT_NE(heads[0].find("Expect: 100-continue"), std::string::npos);
        EXPECT_EQ(heads.back().find("Authorization: Basic ") != std::string::npos, c.authorizationOnLast) << heads.back();
        EXPECT_EQ(heads.back().find("Expect: 100-continue") != std::string::npos, c.expectOnLast) << heads.back();
    }
}

// Hostile servers: a proxy that challenges CONNECT like a server, or meets a
// connection that answered a challenge before (no server credentials go to
// it), a Basic challenge without TLS (answered only on a loopback address),
// silence and dripping answers (one time-out, not retried), a body past the
// request's limit, and an upload source that grew past its promised length;
// on both transports where they differ. What the server must never see is
// checked in its log.
TEST(HttpFraming, HostileServers) {
    testsrv::ClearProxyEnvironment();
    testsrv::TempDir dir;
    const std::string challenge = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 0\r\n\r\n";
    Conn dripBody, dripHead;
    dripBody.Request().Send("HTTP/1.1 200 OK\r\nContent-Length: 60\r\n\r\n");
    dripHead.Request().Send("HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < 60; ++i) {
        dripBody.Send("x").Sleep(250);
        dripHead.Send("X-Drip: 1\r\n").Sleep(250);
    }
    // a pipelined second request would be read before any answer
    const Conn twoRequests = Conn().Request().Request().Send(Ok("stored")).Close();
    struct HostileCase {
        const char* name;
        Conn script;
        const char* host;
        uint8_t curl;
        bool grownSource;
        int authState; // -1: no proxy; else a CONNECT tunnel, the connection in that state
        int kind;
        const char* errPart;
        const char* neverSent;
    } cases[] = {
        {"challenge to CONNECT", Conn().Head().Send(challenge).Head().Send(challenge).Close(), "127.0.0.1", 0, false, 0, 0,
         "", "Authorization"},
        {"tunnel after a challenge", Conn().Head().Send("HTTP/1.1 200 Connection established\r\n\r\nno TLS").Close(),
         "127.0.0.1", 0, false, 1, 0, "", "Authorization"},
        {"Basic without TLS", Conn().Request().Send(challenge).Request().Send(Ok("in")).Close(), "localhost", 0, false, -1, 2,
         "asks for Basic authentication on a connection without TLS", "Authorization"},
        {"Basic without TLS, libcurl", Conn().Request().Send(challenge).Request().Send(challenge).Request().Send(Ok("in")).Close(),
         "localhost", 1, false, -1, 2, "asks for Basic authentication on a connection without TLS", "Authorization"},
        {"silent", Conn().Request().Sleep(5000).Close(), "127.0.0.1", 0, false, -1, 3, "Time out", "\"accept\": 1"},
        {"dripping body", dripBody.Close(), "127.0.0.1", 0, false, -1, 3, "Time out", "\"accept\": 1"},
        {"dripping header", dripHead.Close(), "127.0.0.1", 0, false, -1, 3, "Time out", "\"accept\": 1"},
        {"endless body past the limit", Conn().Request().Send("HTTP/1.1 200 OK\r\n\r\n").Send(std::string(1 << 20, 'e'), 3).Close(),
         "127.0.0.1", 0, false, -1, 7, "Response body is longer than 1048576 bytes", "\"accept\": 1"},
        {"grown source", twoRequests, "127.0.0.1", 0, true, -1, 7, "Uploaded file longer than promised: expected 100", "injected"},
        {"grown source, libcurl", twoRequests, "127.0.0.1", 1, true, -1, 7, "Uploaded file longer than promised: expected 100",
         "injected"},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({c.script}));
        std::string path = dir / "grows.bin";
        testsrv::WriteFileText(path, std::string(100, 'a'));
        CBufferedFile src(Utf8ToWide(path.c_str()));
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(src.Open(kind, err)) << err;
        // past the send buffer, so that bytes beyond the promise would leave at once
        std::ofstream(path, std::ios::app) << "GET /injected HTTP/1.1\r\nHost: x\r\n\r\n" << std::string(40000, 'z');
        ZorHttpConn conn;
        HttpConnectParams p;
        p.m_sHost = c.host;
        p.m_nPort = server.Port();
        p.m_bUseProxy = c.authState >= 0;
        p.m_bWinInet = c.curl;
        p.m_nTimeout = 1;
        p.m_sUserID = u"account";
        p.m_sPassword = u"secret";
        CProxyOptions saved = HttpProxyOptions();
        if (c.authState >= 0) {
            HttpProxyOptions().m_bUseWinInetProxy = false;
            HttpProxyOptions().m_bUseProxyBelow = true;
            HttpProxyOptions().m_sHost = "127.0.0.1";
            HttpProxyOptions().m_nPort = server.Port();
            p.m_nPort = testsrv::FreePort(); // a TLS target that nothing serves
            p.m_nTls = 1;
            p.m_bProxyStyle = 0;
            conn.m_nAuthState = c.authState;
        }
        bool connected = HttpConfigureAndConnect(conn, p, nullptr, kind, err);
        HttpProxyOptions() = saved;
        EXPECT_EQ(connected, c.authState < 0) << err;
        CRsp rsp;
        rsp.m_bAcceptFileBody = 1;
        rsp.m_nMaxBody = 1 << 20;
        if (c.grownSource) rsp.m_pReqBodyFile = &src;
        else rsp.m_sReqBody = "data";
        auto start = std::chrono::steady_clock::now();
        if (connected) {
            EXPECT_FALSE(rsp.RequestResponse(conn, "POST", u"/x", kind, err));
            EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
            EXPECT_EQ(kind, c.kind) << err;
            EXPECT_NE(WideToUtf8(err).Find(c.errPart), -1) << err;
        }
        conn.Close();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (const std::string& line : server.Log()) EXPECT_EQ(line.find(c.neverSent), std::string::npos) << line;
    }
}

// A site reached by a redirect neither gets the configured site's cookies
// nor leaves its own for it (cookie files off).
TEST(HttpFraming, RedirectedSiteCookies) {
    testsrv::ClearProxyEnvironment();
    testsrv::ByteServer server;
    const std::string redirect =
        "HTTP/1.1 302 Found\r\nSet-Cookie: own=1\r\nLocation: http://127.1:%PORT%/x\r\nContent-Length: 0\r\n\r\n";
    ASSERT_TRUE(server.Start({Conn().Request().Send(redirect).Sleep(300).Close(),
                              Conn().Request().Send(Ok("there", "Set-Cookie: foreign=1\r\n")).Sleep(300).Close(),
                              Conn().Request().Send(Ok("back")).Sleep(300).Close()}));
    ZorHttpConn conn;
    int kind = 0;
    CWideString err;
    HttpConnectParams p;
    p.m_sHost = "127.0.0.1";
    p.m_nPort = server.Port();
    p.m_bUseProxy = 0;
    p.m_bCookies = 1;
    ASSERT_TRUE(HttpConfigureAndConnect(conn, p, nullptr, kind, err)) << err;
    CRsp a, b;
    ASSERT_TRUE(a.RequestResponse(conn, "GET", u"/a", kind, err)) << err;
    ASSERT_TRUE(b.RequestResponse(conn, "GET", u"/b", kind, err)) << err;
    std::vector<std::string> heads = server.Heads();
    ASSERT_EQ(heads.size(), 3u);
    EXPECT_EQ(heads[1].find("own=1"), std::string::npos) << heads[1];
    EXPECT_EQ(heads[2].find("foreign=1"), std::string::npos) << heads[2];
}

// What a request carries for its own origin (the caller's Authorization line,
// a body such as a sign-in form) does not follow a redirect to another host
// or port, however near; within the origin it does.
TEST(HttpFraming, RedirectsKeepSecretsWithTheirOrigin) {
    testsrv::ClearProxyEnvironment();
    struct OriginCase {
        const char* location;
        bool body; // a POST with a form, else a GET with an Authorization line
        bool ok;
        size_t heads;
        bool carried; // the second request carries the line or the body
    } cases[] = {
        {"/there", false, true, 2, true},
        {"http://localhost:%PORT%/there", false, true, 2, false},
        {"http://127.0.0.1:%OTHER%/there", false, true, 1, false},
        {"/there", true, true, 2, true},
        {"http://localhost:%PORT%/there", true, false, 1, false},
    };
    for (int curl = 0; curl < 2; ++curl) {
        for (const OriginCase& c : cases) {
            SCOPED_TRACE(std::string(c.location) + (c.body ? " with a body" : "") + (curl ? ", libcurl" : ""));
            testsrv::ByteServer other, server;
            ASSERT_TRUE(other.Start({Conn().Request().Send(Ok("other")).Sleep(300).Close()}));
            std::string location = c.location;
            size_t at = location.find("%OTHER%");
            if (at != std::string::npos) location.replace(at, 7, std::to_string(other.Port()));
            const std::string redirect = "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
            ASSERT_TRUE(server.Start({Conn().Request().Send(redirect).Request().Send(Ok("there")).Sleep(300).Close(),
                                      Conn().Request().Send(Ok("there")).Sleep(300).Close()}));
            Client cl;
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(cl.Connect(server.Port(), kind, err, curl)) << err;
            CRsp rsp;
            if (c.body) rsp.m_sReqBody = "username=me&password=secret";
            else rsp.m_sReqHeaders = "Authorization: Bearer tok-123\r\n";
            EXPECT_EQ(rsp.RequestResponse(cl.conn, c.body ? "POST" : "GET", u"/sign-in", kind, err), c.ok) << err;
            EXPECT_EQ(WideToUtf8(err).Find("Redirect of a request with a body to another site refused") >= 0, !c.ok) << err;
            cl.conn.Close();
            std::vector<std::string> heads = server.Heads(), more = other.Heads();
            heads.insert(heads.end(), more.begin(), more.end());
            ASSERT_EQ(heads.size(), c.heads + (at != std::string::npos ? 1 : 0));
            if (heads.size() > 1) {
                EXPECT_EQ(heads[1].find(c.body ? "\"body_len\": 27" : "tok-123") != std::string::npos, c.carried) << heads[1];
            }
        }
    }
}

// A tunnel request: CONNECT with the target and "Proxy-Connection: Keep-Alive".
TEST(HttpFraming, TunnelRequest) {
    testsrv::ClearProxyEnvironment();
    testsrv::ByteServer proxy;
    ASSERT_TRUE(proxy.Start({Conn().Head().Send("HTTP/1.1 200 Connection established\r\n\r\nnot a TLS server").Close()}));
    CProxyOptions saved = HttpProxyOptions();
    HttpProxyOptions().m_bUseWinInetProxy = false;
    HttpProxyOptions().m_bUseProxyBelow = true;
    HttpProxyOptions().m_sHost = "127.0.0.1";
    HttpProxyOptions().m_nPort = proxy.Port();
    ZorHttpConn conn;
    RecordingProgress progress;
    HttpConnectParams p;
    p.m_sHost = "127.0.0.1";
    p.m_nPort = 4433;
    p.m_nTls = 1;
    p.m_bProxyStyle = 0;
    p.m_nTimeout = 5;
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(HttpConfigureAndConnect(conn, p, &progress, kind, err)); // the "tunnel" speaks no TLS
    HttpProxyOptions() = saved;
    std::vector<std::string> heads = proxy.Heads();
    ASSERT_EQ(heads.size(), 2u); // a second TLS attempt on a new tunnel
    EXPECT_NE(heads[0].find("CONNECT 127.0.0.1:4433 HTTP/1.1\\r\\n"), std::string::npos) << heads[0];
    EXPECT_NE(heads[0].find("Proxy-Connection: Keep-Alive\\r\\n"), std::string::npos) << heads[0];
    EXPECT_NE(heads[0].find("Host: 127.0.0.1:4433\\r\\n"), std::string::npos) << heads[0];
}

TEST(HttpFraming, LargeBodies) {
    testsrv::ClearProxyEnvironment();
    testsrv::TempDir logDir;
    const long big = 33L * 1024 * 1024 + 5;
    std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct LargeCase {
        const char* name;
        std::string head;
        bool chunked;
        bool accept;
        bool ok;
    } cases[] = {
        {"to close, file bodies refused", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", false, false, false},
        {"to close, spilled", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", false, true, true},
        {"chunked, refused", chunkedHead, true, false, false},
        {"chunked, spilled", chunkedHead, true, true, true},
    };
    for (const LargeCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsrv::ByteServer server;
        Conn script;
        script.Request().Send(c.head);
        if (c.chunked)
            script.Send("100000\r\n" + std::string(0x100000, 'q') + "\r\n", 34).Send("0\r\n\r\n");
        else
            script.Send(std::string(1 << 20, 'q'), 33).Send("qqqqq");
        script.Close();
        ASSERT_TRUE(server.Start({script}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp rsp;
        rsp.m_bNoRetry = 1;
        rsp.m_bAcceptFileBody = c.accept;
        bool ok = rsp.RequestResponse(cl.conn, "GET", u"/big", kind, err);
        EXPECT_EQ(ok, c.ok) << err;
        if (!c.ok) {
            EXPECT_EQ(kind, 5);
            EXPECT_EQ(WideToUtf8(err).Find("Response body is too long for memory"), 0) << err;
            EXPECT_LE(rsp.m_sBody.GetLength(), 0x2000000);
            continue;
        }
        ASSERT_TRUE(rsp.m_bTempBodyFile);
        uint64_t size = 0;
        ASSERT_TRUE(ZorGetFileSizeByName(rsp.m_sBodyFile, size, kind, err)) << err;
        EXPECT_EQ((long)size, c.chunked ? 34L * 0x100000 : big);
        struct stat st{};
        ASSERT_EQ(stat(WideToUtf8(rsp.m_sBodyFile).GetString(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_TRUE(rsp.m_sBody.IsEmpty());
        CWideString file = rsp.m_sBodyFile;
        rsp.ResetResponse();
        EXPECT_FALSE(ZorFileExists(file));
    }
    // reading to the end of the stream stops at its limit
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Send(std::string(1 << 20, 't'), 33).Close()}));
        ZorSocket s;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(s.Connect("127.0.0.1", server.Port(), false, false, kind, err)) << err;
        CNarrowString tail;
        EXPECT_FALSE(s.ReadToEnd(tail, kind, err));
        EXPECT_EQ(kind, 5);
        EXPECT_NE(WideToUtf8(err).Find("getting tail: more than"), -1) << err;
        EXPECT_LE(tail.GetLength(), ZorSocket::kMaxReadToEnd);
        EXPECT_FALSE(s.IsOpen());
    }
    // a download into the caller's file that stops halfway
    {
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start({Conn().Request().Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                                        std::string(50000, 'h')).Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        CRsp rsp;
        rsp.m_sBodyFile = Utf8ToWide((logDir / "half.bin").c_str());
        EXPECT_FALSE(rsp.RequestResponse(cl.conn, "GET", u"/half", kind, err));
        EXPECT_EQ(WideToUtf8(err), CNarrowString("Cannot download file: Premature end of file while reading remote file"));
        EXPECT_EQ(kind, 3);
        EXPECT_EQ(server.Accepts(), 3); // two retries of a lost transfer
    }
}

// A server that keeps asking to retry later: the waits run on the test clock,
// and the attempts end at the limit or when the request's time budget (three
// time-outs) is spent.
TEST(HttpFraming, RetryAfterRunsOnTheClock) {
    testsrv::ClearProxyEnvironment();
    struct BudgetCase {
        int timeout;
        int kind;
        const char* err;
        int sleeps;
    } cases[] = {{10, 7, "Server wants retry: Busy; Too many send-receive attempts, please report to ", 5},
                 {1, 3, "Server wants retry: Busy; Time out: no answer within 3 seconds", 2}};
    for (const BudgetCase& b : cases) {
        ZorTestClock clock;
        ZorClockScope scope(&clock);
        testsrv::ByteServer server;
        Conn c;
        for (int i = 0; i < 6; ++i) c.Request().Send("HTTP/1.1 503 Busy\r\nRetry-After: 30\r\nContent-Length: 0\r\n\r\n");
        ASSERT_TRUE(server.Start({c.Close()}));
        Client cl;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(cl.Connect(server.Port(), kind, err)) << err;
        cl.conn.m_nTimeout = b.timeout;
        CRsp rsp;
        EXPECT_FALSE(rsp.RequestResponse(cl.conn, "GET", u"/busy", kind, err));
        EXPECT_EQ(kind, b.kind);
        EXPECT_EQ(WideToUtf8(err).Find(b.err), 0) << err;
        EXPECT_EQ(clock.GetSleepCount(), b.sleeps);
    }
}

// A server that trickles its answer just fast enough for the low-speed limit
// is cut off once the answer is late for its size. The test clock runs 25
// times faster than the server's drip.
TEST(HttpFraming, TricklingAnswersAreCutOff) {
    testsrv::ClearProxyEnvironment();
    Conn dripHead, dripBody;
    dripHead.Request().Send("HTTP/1.1 200 OK\r\n");
    dripBody.Request().Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 200; ++i) {
        dripHead.Send("X-Drip: 12345678901234\r\n").Sleep(20);
        dripBody.Send(std::string(24, 'x')).Sleep(20);
    }
    for (int curl = 0; curl < 2; ++curl) {
        for (Conn* script : {&dripHead, &dripBody}) {
            SCOPED_TRACE(std::string(script == &dripHead ? "head" : "body") + (curl ? ", libcurl" : ""));
            ZorTestClock clock;
            ZorClockScope scope(&clock);
            testsrv::ByteServer server;
            ASSERT_TRUE(server.Start({script->Close()}));
            Client cl;
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(cl.Connect(server.Port(), kind, err, curl)) << err;
            std::atomic<bool> done{false};
            std::thread ticker([&] {
                while (!done) {
                    clock.Advance(500);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
            CRsp rsp;
            EXPECT_FALSE(rsp.RequestResponse(cl.conn, "GET", u"/list", kind, err));
            done = true;
            ticker.join();
            EXPECT_EQ(kind, 3) << err;
            EXPECT_NE(WideToUtf8(err).Find("Time out"), -1) << err;
        }
    }
}

} // namespace

// The tries of a set-up share the budget of the set-up or request around them
// (three time-outs, on the test clock): a proxy that asks to retry a CONNECT
// later sees no further CONNECT once it is spent, whether the tunnel opens
// again for TLS or for a reconnect inside a request. On libcurl a TLS
// handshake without an answer ends with the budget.
TEST(HttpFraming, SetUpRetriesShareTheBudget) {
    testsrv::ClearProxyEnvironment();
    const std::string busy = "HTTP/1.1 503 Busy\r\nRetry-After: 9\r\n";
    const std::string retry = busy + "Content-Length: 0\r\n\r\n";
    const std::string tunnel = "HTTP/1.1 200 Connection established\r\n\r\n";
    const Conn tlsRetry = Conn().Head().Send(retry).Head().Send(tunnel + "no TLS").Close();
    const std::vector<Conn> scripts[] = {
        {Conn().Head().Send(tunnel).Request().Send(busy + "Connection: close\r\n\r\n"),
         Conn().Head().Send(retry).Head().Send(tunnel).Request().Send(Ok("late"))},
        {tlsRetry, tlsRetry}};
    for (int tls = 0; tls <= 2; ++tls) {
        ZorTestClock clock;
        ZorClockScope scope(tls < 2 ? &clock : nullptr);
        testsrv::ByteServer server;
        ASSERT_TRUE(server.Start(tls < 2 ? scripts[tls] : std::vector<Conn>{Conn().Sleep(9000)}));
        CProxyOptions saved = HttpProxyOptions();
        HttpProxyOptions() = CProxyOptions();
        HttpProxyOptions().m_bUseWinInetProxy = false;
        HttpProxyOptions().m_bUseProxyBelow = tls < 2;
        HttpProxyOptions().m_sHost = "127.0.0.1";
        HttpProxyOptions().m_nPort = server.Port();
        ZorHttpConn conn;
        HttpConnectParams p;
        p.m_sHost = "127.0.0.1";
        p.m_nPort = tls < 2 ? testsrv::FreePort() : server.Port(); // behind the proxy: nothing serves it
        p.m_nTls = tls > 0;
        p.m_bProxyStyle = 0;
        p.m_bWinInet = tls == 2;
        p.m_nTimeout = 1;
        int kind = 0;
        CWideString err;
        CRsp rsp;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(HttpConfigureAndConnect(conn, p, nullptr, kind, err) &&
                     rsp.RequestResponse(conn, "GET", u"/", kind, err));
        HttpProxyOptions() = saved;
        EXPECT_EQ(kind, 3) << err;
        EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
        if (tls < 2) {
            EXPECT_NE(WideToUtf8(err).Find("Time out: no answer within 3 seconds"), -1) << err;
        }
    }
}
