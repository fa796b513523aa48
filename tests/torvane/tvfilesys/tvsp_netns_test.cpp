// The peer back-end on a real local network: a network namespace of this
// test (its thread) and a named one for the servers, joined by a veth pair
// at 198.18.0.1/24 and 198.18.0.2/24; nothing is routed out. Needs root and
// iproute2; skipped otherwise.
#include "tvsp-test-util.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <thread>

using namespace tvsptest;

namespace {

bool Sh(const std::string& cmd) {
    return testsrv::RunCommand("(" + cmd + ") >/dev/null 2>&1") == 0;
}

// A server started inside the named namespace.
int StartIn(testsrv::Child& c, const std::string& ns, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/sbin/ip", "netns", "exec", ns});
    return StartAndReadPort(c, argv);
}

} // namespace

TEST(TvspNetns, BroadcastDiscoveryAndPlainBasicOnTheLan) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
    if (access("/usr/sbin/ip", X_OK) != 0) GTEST_SKIP() << "iproute2 not installed";
    const std::string ns = "tvsp" + std::to_string(getpid());
    std::string why;
    std::thread t([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            why = "unshare failed";
            return;
        }
        if (!Sh("ip link set lo up && ip netns add " + ns)) {
            why = "cannot make a named namespace";
            return;
        }
        struct Cleanup {
            std::string ns;
            ~Cleanup() { Sh("ip netns del " + ns); }
        } cleanup{ns};
        ASSERT_TRUE(Sh("ip link add veth0 type veth peer name veth1 && ip link set veth1 netns " + ns +
                       " && ip addr add 198.18.0.1/24 dev veth0 && ip link set veth0 up && "
                       "ip netns exec " + ns + " sh -c 'ip link set lo up && ip addr add 198.18.0.2/24 dev veth1 && "
                       "ip link set veth1 up'"));
        PeerEnv env;
        TvspDiscoveryEnv de; // real adapters, ARP list and ports
        de.nReceiveTimeoutSec = 1;
        TvspSetDiscoveryEnv(de);
        testsrv::TempDir dir;
        testsrv::RunCommand("mkdir -p '" + (dir / "root") + "'");
        struct Case {
            const char* name;
            const char* auth;
            bool allow;
            bool ok;
        } cases[] = {
            {"Basic away from loopback", "basic", false, false},
            {"Digest", "digest", false, true},
            {"Basic with the opt-in", "basic", true, true},
        };
        Mediator down;
        ASSERT_TRUE(down.Start("[]", {"--fail"}));
        env.SetMediator(down.Port());
        for (const Case& tc : cases) {
            SCOPED_TRACE(tc.name);
            env.AllowPlainBasic(tc.allow);
            testsrv::Child server, responder;
            std::string log = dir / (std::string(tc.auth) + "-log.jsonl");
            testsrv::RunCommand("rm -f '" + log + "'");
            int sp = StartIn(server, ns, {"/usr/bin/python3", Tool("tvtp-peer-server.py"), "--bind", "198.18.0.2",
                                          "--root", dir / "root", "--log", log, "--auth", tc.auth, "--auth-user",
                                          "alice", "--auth-password", "pw"});
            ASSERT_GT(sp, 0);
            testsrv::WriteFileText(dir / "replies.json", "[{\"kind\": \"NAME\", \"port\": " + std::to_string(sp) +
                                                             ", \"name\": \"pc1.alice.torvane\"}]");
            ASSERT_GT(StartIn(responder, ns, {"/usr/bin/python3", Tool("tvtp-udp-responder.py"), "--bind", "0.0.0.0",
                                              "--replies", dir / "replies.json", "--log", dir / "udp.jsonl"}),
                      0);
            // Two discoveries at once: both find the server.
            TvspFileSys a, b;
            CListT<PeerServerInfo> la, lb;
            bool oka = false, okb = false;
            int ka = 0, kb = 0;
            CWideString ea, eb;
            std::thread ta([&] { oka = a.DiscoverLanServers(u"alice", la, nullptr, ka, ea); });
            std::thread tb([&] { okb = b.DiscoverLanServers(u"alice", lb, nullptr, kb, eb); });
            ta.join();
            tb.join();
            ASSERT_TRUE(oka && okb) << ea << eb;
            ASSERT_EQ(la.GetCount(), 1);
            ASSERT_EQ(lb.GetCount(), 1);
            EXPECT_EQ(la.GetHead().m_sLanAddress, CNarrowString("198.18.0.2"));
            EXPECT_EQ(lb.GetHead().m_nLanPort, sp);

            TvspFileSys fs;
            int k = 0;
            CWideString e;
            EXPECT_EQ(fs.Connect(Info("tvtp://pc1.alice.torvane/file://" + (dir / "root"), "alice", "pw"), nullptr, k,
                                 e),
                      tc.ok)
                << e;
            std::string text = testsrv::ReadFileText(log);
            if (!tc.ok) {
                EXPECT_EQ(k, 2);
                EXPECT_EQ(text.find("uthorization"), std::string::npos) << text;
            } else {
                EXPECT_EQ(fs.m_nNetworkLocality, 1);
            }
            fs.Disconnect(true);
        }
    });
    t.join();
    if (!why.empty()) GTEST_SKIP() << why;
}
