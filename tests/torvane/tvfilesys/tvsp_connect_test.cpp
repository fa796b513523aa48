// Connecting the peer back-end: registered names through the mediator, the
// forwarder, discovery on the local network (loopback, injected lists and
// ports), the server list, the plain-Basic rule and tvtps.
#include "tvsp-test-util.h"
#include "zor-ssl.h"

#include <gtest/gtest.h>

using namespace tvsptest;

namespace {

bool Has(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
}

std::string Rec(const std::string& fields) {
    return "{" + fields + "}";
}

} // namespace

TEST(TvspConnect, RegisteredNamesThroughTheMediator) {
    PeerServer srv, fwd;
    ASSERT_TRUE(srv.Start());
    ASSERT_TRUE(fwd.Start({"--forward-to", std::to_string(srv.Port())}));
    std::string sp = std::to_string(srv.Port()), fp = std::to_string(fwd.Port());
    struct Case {
        const char* name;
        std::string host;
        std::string records;
        std::vector<std::string> mediatorArgs;
        bool ok;
        int kind;
        std::string text; // part of the error or of a notice
        int locality;
        bool viaForwarder;
    } cases[] = {
        {"port in registered form", "pc1.alice.torvane:4444", "[]", {}, false, 5,
         "you cannot specify port in .torvane addressing", 0, false},
        {"same external address: LAN address", "pc1.alice.torvane",
         "[" + Rec("\"n\": \"pc1\", \"e\": \"203.0.113.7\", \"i\": \"127.0.0.1\", \"P\": " + sp + ", \"r\": true") + "]",
         {}, true, 0, "pc1.alice.torvane is on local network, trying direct connect at 127.0.0.1:" + sp, 1, false},
        {"own computer", "-unknown-.alice.torvane",
         "[" + Rec("\"n\": \"-unknown-\", \"e\": \"203.0.113.7\", \"i\": \"127.0.0.1\", \"P\": " + sp + ", \"r\": true, \"p\": 7") + "]",
         {}, true, 0, "is this computer", 3, false},
        {"remote and reachable", "pc1.alice.torvane",
         "[" + Rec("\"n\": \"pc1\", \"e\": \"127.0.0.1\", \"p\": " + sp + ", \"r\": true") + "]", {"--client-ip", "198.51.100.1"},
         true, 0, "pc1.alice.torvane is remote, trying direct connect at 127.0.0.1:" + sp, 0, false},
        {"relay-only, second forwarder", "pc1.alice.torvane",
         "[" + Rec("\"n\": \"pc1\", \"y\": 1, \"f\": \"203.0.113.7\", \"F\": 9, \"g\": \"127.0.0.1\", \"G\": " + fp) + "]", {},
         true, 0, "trying through forwarder 127.0.0.1:" + fp, 0, true},
        {"inactive and unregistered", "pc1.alice.torvane",
         "[" + Rec("\"n\": \"pc1\", \"a\": false, \"e\": \"1.2.3.4\"") + "]", {}, false, 3,
         "Cannot find computer 'pc1' of user 'alice': Remote: Computer pc1 has not registered, because it is offline or "
         "turned off; Local: not found", 0, false},
        {"two dots before the ending", "my.pc.alice.torvane", "[]", {"--fail"}, false, 3,
         "Cannot find computer 'my-pc' of user 'alice': Remote: ", 0, false},
        {"no external address", "pc1.alice.torvane", "[]", {"--client-ip", ""}, false, 3,
         "Remote: Mediator did not tell us our external IP address; Local: not found", 0, false},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        PeerEnv env;
        Mediator med;
        ASSERT_TRUE(med.Start(tc.records, tc.mediatorArgs));
        env.SetMediator(med.Port());
        UdpResponder udp; // answers nothing: LAN discovery finds nobody
        ASSERT_TRUE(udp.Start("[]", env.ReplyPort()));
        env.UseLoopbackLan(udp.Port());
        S3NoticeRecorder rec;
        TvspFileSys fs;
        int k = 0;
        CWideString e;
        std::string url = "tvtp://" + tc.host + "/file://" + srv.Root();
        bool ok = fs.Connect(Info(url), &rec, k, e);
        ASSERT_EQ(ok, tc.ok) << e;
        if (!ok) {
            EXPECT_EQ(k, tc.kind);
            EXPECT_NE(WideToUtf8(e).Find(tc.text.c_str()), -1) << e;
            continue;
        }
        EXPECT_EQ(rec.CountContaining(tc.text), 1) << tc.text;
        EXPECT_EQ(fs.m_nNetworkLocality, tc.locality);
        EXPECT_EQ(rec.CountContaining("Connected to Torvane Server Version 1.2.3.4 test on session S-"), 1);
        auto mlog = med.Log();
        ASSERT_FALSE(mlog.empty());
        EXPECT_TRUE(Has(mlog[0], "\"user\": \"alice\"")) << mlog[0];
        uint32_t attrs = 0;
        ASSERT_TRUE(fs.GetAttributes(u"/", attrs, k, e)) << e;
        if (tc.viaForwarder) {
            // the relayed form: /SendReq with the verb, user, computer and ticket
            auto flog = fwd.LogOf("GetAttributes");
            ASSERT_EQ(flog.size(), 1u);
            EXPECT_TRUE(Has(flog[0], "\"path\": \"/SendReq\"")) << flog[0];
            EXPECT_TRUE(Has(flog[0], "\"x-zor-seqno\": \"2\"")) << flog[0];
            EXPECT_TRUE(Has(flog[0], "\"user\": \"alice\"") && Has(flog[0], "\"computer\": \"pc1\"") &&
                        Has(flog[0], "\"ticket\": \"TCK-1\""))
                << flog[0];
            // the own record is missing: the client address goes with the request only when known
            EXPECT_FALSE(Has(flog[0], "client-ip")) << flog[0];
            EXPECT_FALSE(fs.StartMonitoring(u"/", k, e));
        }
    }
}

TEST(TvspConnect, RelayedHeadersWithClientAddressAndEmptyTicket) {
    PeerServer srv, fwd;
    ASSERT_TRUE(srv.Start());
    ASSERT_TRUE(fwd.Start({"--forward-to", std::to_string(srv.Port())}));
    struct Case {
        const char* name;
        std::string ticket;
        std::string own; // the caller's own record
        bool clientLines;
    } cases[] = {
        {"own record reachable", "T9", ",{\"n\": \"-unknown-\", \"r\": true, \"p\": 4711, \"P\": 33333}", true},
        {"own record unreachable", "T9", ",{\"n\": \"-unknown-\", \"p\": 4711}", false},
        {"empty ticket", "", "", false},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        PeerEnv env;
        Mediator med;
        std::string recs = "[{\"n\": \"pc1\", \"y\": 1, \"f\": \"127.0.0.1\", \"F\": " + std::to_string(fwd.Port()) +
                           "}" + tc.own + "]";
        ASSERT_TRUE(med.Start(recs, {"--ticket", tc.ticket}));
        env.SetMediator(med.Port());
        TvspFileSys fs;
        int k = 0;
        CWideString e;
        ASSERT_TRUE(fs.Connect(Info("tvtp://pc1.alice.torvane/file://" + srv.Root()), nullptr, k, e)) << e;
        auto flog = fwd.LogOf("Connect"); // the forwarder serves every case
        ASSERT_FALSE(flog.empty());
        const std::string& l = flog.back();
        EXPECT_EQ(Has(l, "\"ticket\""), !tc.ticket.empty()) << l;
        EXPECT_EQ(Has(l, "\"client-ip\": \"203.0.113.7\"") && Has(l, "\"client-port\": \"4711\""), tc.clientLines)
            << l;
        EXPECT_EQ(Has(l, "client-ip"), tc.clientLines) << l;
    }
}

TEST(TvspConnect, LanDiscoveryAndServerList) {
    PeerServer srv;
    ASSERT_TRUE(srv.Start());
    std::string sp = std::to_string(srv.Port());
    PeerEnv env;
    S3NoticeRecorder rec;
    Mediator med;
    ASSERT_TRUE(med.Start(
        "[{\"n\": \"pc1\", \"e\": \"198.51.100.9\", \"p\": 5000, \"r\": true, \"T\": 1700000000, \"c\": 4},"
        " {\"n\": \"far\", \"e\": \"198.51.100.10\", \"q\": 6000}]"));
    env.SetMediator(med.Port());
    UdpResponder udp;
    ASSERT_TRUE(udp.Start("[{\"kind\": \"NAME\", \"port\": " + sp + ", \"name\": \"pc1.alice.torvane\", \"repeat\": 2},"
                          " {\"kind\": \"NAME\", \"port\": 1, \"name\": \"pc2.bob.torvane\", \"pad\": 76, \"fill\": \"\\u0000\"},"
                          " {\"kind\": \"COMP\", \"port\": 2, \"name\": \"box\"},"
                          " {\"kind\": \"NAME\", \"port\": 99999, \"name\": \"pc3.alice.torvane\"},"
                          " {\"raw\": \"" + std::string(100, 'Z') + "\"},"
                          " {\"raw\": \"TVTP-XXXX,00001,x\"}]",
                          env.ReplyPort(), {"--user", "alice"}));
    env.UseLoopbackLan(udp.Port());
    TvspFileSys fs;
    CListT<PeerServerInfo> lan;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(fs.DiscoverLanServers(u"alice", lan, nullptr, k, e)) << e;
    // pc1 once (a duplicate), the COMP reply under the asked user; bob's, port
    // 99999, the oversize and the unknown reply are skipped
    ASSERT_EQ(lan.GetCount(), 2);
    EXPECT_EQ(lan.GetHead().m_sComputer, CNarrowString("pc1"));
    EXPECT_EQ(lan.GetHead().m_sUser, CNarrowString("alice"));
    EXPECT_EQ(lan.GetHead().m_sLanAddress, CNarrowString("127.0.0.1"));
    EXPECT_EQ(lan.GetTail().m_sComputer, CNarrowString("box"));
    EXPECT_EQ(lan.GetTail().m_sUser, CNarrowString("alice"));
    EXPECT_TRUE(Has(udp.Log().at(0), "TVTPPING-Ualice"));

    CListT<ServerEntry> servers;
    ASSERT_TRUE(fs.ListServers(Info("tvtp://x/"), servers, nullptr, e)) << e;
    ASSERT_EQ(servers.GetCount(), 3);
    auto pos = servers.GetHeadPosition();
    const ServerEntry& s1 = servers.GetNext(pos);
    const ServerEntry& s2 = servers.GetNext(pos);
    const ServerEntry& s3 = servers.GetNext(pos);
    EXPECT_EQ(s1.m_sName, CWideString(u"pc1.alice.torvane"));
    EXPECT_EQ(s1.m_nWhere, 0u);
    EXPECT_EQ(WideToUtf8(s1.m_sDescription),
              CNarrowString("local at 127.0.0.1:" + sp + "; remote at 198.51.100.9:5000 last " +
                            WideToUtf8(FormatTimeStandard(1700000000)).GetString() + " up 4"));
    EXPECT_EQ(s2.m_nWhere, 1u);
    EXPECT_EQ(s2.m_sDescription, CWideString(u"remote at 198.51.100.10:6000 no callback"));
    EXPECT_EQ(s3.m_sName, CWideString(u"box.alice.torvane"));

    // The mediator fails: the LAN still finds the computer.
    Mediator down;
    ASSERT_TRUE(down.Start("[]", {"--fail"}));
    env.SetMediator(down.Port());
    ASSERT_TRUE(fs.Connect(Info("tvtp://pc1.alice.torvane/file://" + srv.Root()), &rec, k, e)) << e;
    EXPECT_EQ(fs.m_nNetworkLocality, 1);
    EXPECT_EQ(srv.LogOf("Connect").size(), 1u);
}

TEST(TvspConnect, RepliesFromOutsideThePingedNetworksAreIgnored) {
    PeerEnv env;
    UdpResponder udp;
    ASSERT_TRUE(udp.Start("[{\"kind\": \"COMP\", \"port\": 1, \"name\": \"box\"}]", env.ReplyPort(),
                          {"--reply-from", "127.0.0.5"}));
    env.UseLoopbackLan(udp.Port());
    S3NoticeRecorder rec;
    TvspFileSys fs;
    CListT<PeerServerInfo> lan;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(fs.DiscoverLanServers(u"alice", lan, &rec, k, e)) << e;
    EXPECT_EQ(lan.GetCount(), 0);
    EXPECT_EQ(rec.CountContaining("outside the pinged networks: 127.0.0.5"), 1);
}

TEST(TvspConnect, PlainBasicIsRefusedAwayFromLoopback) {
    struct Case {
        const char* name;
        const char* auth;
        const char* host; // "localhost" is not a loopback address literal
        bool allow;
        bool ok;
    } cases[] = {
        {"Basic on loopback", "basic", "127.0.0.1", false, true},
        {"Basic by name", "basic", "localhost", false, false},
        {"Basic by name, allowed", "basic", "localhost", true, true},
        {"Digest by name", "digest", "localhost", false, true},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        PeerEnv env;
        env.AllowPlainBasic(tc.allow);
        PeerServer srv;
        ASSERT_TRUE(srv.Start({"--auth", tc.auth, "--auth-user", "alice", "--auth-password", "s3cret"}));
        TvspFileSys fs;
        int k = 0;
        CWideString e;
        std::string url = std::string("tvtp://") + tc.host + ":" + std::to_string(srv.Port()) + "/file://" + srv.Root();
        EXPECT_EQ(fs.Connect(Info(url, "alice", "s3cret"), nullptr, k, e), tc.ok) << e;
        if (!tc.ok) {
            EXPECT_EQ(k, 2);
            EXPECT_NE(e.Find(u"tvtps://"), -1) << e;
            for (auto& l : srv.Log()) EXPECT_FALSE(Has(l, "authorization")) << l;
        }
    }
}

TEST(TvspConnect, SecureScheme) {
    PeerEnv env;
    testsrv::TempDir pki;
    std::string d = pki.Path();
    std::string cmd = "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
                      "-subj /CN=TvtpTestRoot >/dev/null 2>&1 && openssl req -newkey rsa:2048 -nodes -keyout s.key "
                      "-out s.csr -subj /CN=localhost >/dev/null 2>&1 && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' "
                      "> san.cnf && openssl x509 -req -in s.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out s.pem "
                      "-days 2 -extfile san.cnf >/dev/null 2>&1";
    ASSERT_EQ(testsrv::RunCommand(cmd), 0);
    PeerServer srv;
    ASSERT_TRUE(srv.Start({"--tls", d + "/s.pem", d + "/s.key", "--auth", "basic", "--auth-user", "alice",
                           "--auth-password", "pw"}));
    std::string url = "tvtps://localhost:" + std::to_string(srv.Port()) + "/file://" + srv.Root();
    // An unknown root is refused; with the per-run root trusted, Basic over TLS works.
    {
        CWideString savedRoots = GetSslRootsFile();
        SetSslRootsFile(Utf8ToWide((d + "/none.pem").c_str()));
        TvspFileSys fs;
        int k = 0;
        CWideString e;
        EXPECT_FALSE(fs.Connect(Info(url), nullptr, k, e));
        SetSslRootsFile(savedRoots);
    }
    CWideString savedRoots = GetSslRootsFile();
    SetSslRootsFile(Utf8ToWide((d + "/ca.pem").c_str()));
    TvspFileSys fs;
    int k = 0;
    CWideString e;
    bool ok = fs.Connect(Info(url), nullptr, k, e);
    SetSslRootsFile(savedRoots);
    ASSERT_TRUE(ok) << e;
    EXPECT_TRUE(fs.GetUrl().StartsWith(u"tvtps://localhost")) << fs.GetUrl();
}
