// UDP socket, adapters and the ARP list, inside a network namespace this
// test makes on a thread of its own (needs root; skipped otherwise), with a
// veth pair at 198.18.0.1/24 and neighbours added by hand.
#include "zor-udp.h"
#include "zor-unicode.h"
#include "zor-winsock.h"

#include "net-test-util.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <thread>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

uint32_t Ip(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(NeighbourTable, ParsesTheKernelTable) {
    const char text[] = "IP address       HW type     Flags       HW address            Mask     Device\n"
                        "198.18.0.2       0x1         0x2         02:00:00:00:00:02     *        veth0\n"
                        "198.18.0.3       0x1         0x6         02:00:00:00:00:03     *        veth0\n"
                        "198.18.0.4       0x1         0x0         00:00:00:00:00:00     *        veth0\n"
                        "garbage line\n"
                        "198.18.0.5       0x1         0xZZ        02:00:00:00:00:05     *        veth0\n";
    CArrayT<ZorNeighbour> rows;
    ZorParseNeighbourTable(text, (int)sizeof text - 1, rows);
    ASSERT_EQ(rows.GetSize(), 3);
    EXPECT_EQ(rows[0].m_nAddress, Ip("198.18.0.2"));
    EXPECT_EQ(rows[0].m_nType, (uint32_t)ZNT_DYNAMIC);
    EXPECT_EQ(rows[1].m_nType, (uint32_t)ZNT_STATIC);
    EXPECT_EQ(rows[2].m_nType, (uint32_t)ZNT_INVALID);
}

// Runs body on a thread inside a fresh network namespace; false when the
// namespace cannot be made.
template <typename F> bool InNetworkNamespace(std::string& why, F body) {
    bool made = false;
    std::thread t([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        made = true;
        body();
    });
    t.join();
    return made;
}

TEST(NetworkNamespace, AdaptersArpAndUdp) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    if (!ntest::HaveCommand("ip")) GTEST_SKIP() << "iproute2 not installed";
    ntest::TempDir dir;
    std::string log = dir / "ip.log";
    std::string why;
    bool made = InNetworkNamespace(why, [&] {
        int kind = 0;
        CWideString err;
        CArrayT<ZorAdapterEntry> adapters;
        // Only the loopback: nothing left when it is skipped.
        ASSERT_TRUE(ntest::Shell("ip link set lo up", log)) << ntest::ReadFile(log);
        EXPECT_FALSE(ZorGetAdapters(true, adapters, kind, err));
        EXPECT_EQ(err, CWideString(u"No network interfaces"));
        EXPECT_EQ(kind, 5);
        ASSERT_TRUE(ZorGetAdapters(false, adapters, kind, err)) << U8(err);
        ASSERT_EQ(adapters.GetSize(), 1);
        EXPECT_EQ(adapters[0].m_nAddress, Ip("127.0.0.1"));
        EXPECT_EQ(adapters[0].m_nMask, Ip("255.0.0.0"));
        // An empty neighbour table is an empty list.
        CArrayT<uint32_t> arp;
        ASSERT_TRUE(ZorGetArpTable(arp, err)) << U8(err);
        EXPECT_EQ(arp.GetSize(), 0);

        if (!ntest::Shell("ip link add veth0 type veth peer name veth1", log)) {
            why = "cannot make a veth pair: " + ntest::ReadFile(log);
            return;
        }
        ASSERT_TRUE(ntest::Shell(
                                 "ip addr add 198.18.0.1/24 dev veth0 && ip link set veth0 up && "
                                 "ip link set veth1 up && "
                                 "ip neigh add 198.18.0.2 lladdr 02:00:00:00:00:02 dev veth0 nud reachable && "
                                 "ip neigh add 198.18.0.3 lladdr 02:00:00:00:00:03 dev veth0 nud permanent",
                                 log))
            << ntest::ReadFile(log);
        ASSERT_TRUE(ZorGetAdapters(true, adapters, kind, err)) << U8(err);
        ASSERT_EQ(adapters.GetSize(), 1);
        EXPECT_EQ(adapters[0].m_nAddress, Ip("198.18.0.1"));
        EXPECT_EQ(adapters[0].m_nMask, Ip("255.255.255.0"));
        EXPECT_STREQ(adapters[0].m_sDescription.GetString(), "veth0");
        ASSERT_TRUE(ZorGetArpTable(arp, err)) << U8(err);
        ASSERT_EQ(arp.GetSize(), 1); // the permanent entry is not a learnt one
        EXPECT_EQ(arp[0], Ip("198.18.0.2"));

        // UDP on the veth address: a datagram longer than the maximum fails,
        // a shorter one arrives with its sender, an idle wait times out.
        ZorUdpSocket u;
        ASSERT_TRUE(u.Create(kind, err)) << U8(err);
        ASSERT_TRUE(u.SetOption(SO_BROADCAST, 1, kind, err)) << U8(err);
        ASSERT_TRUE(u.SetTimeout(SO_RCVTIMEO, 1, kind, err)) << U8(err);
        u.m_sPeer = "198.18.0.1";
        ASSERT_TRUE(u.Bind(Ip("198.18.0.1"), 0, kind, err)) << U8(err);
        ASSERT_GT(u.m_nBoundPort, 0);
        ZorUdpSocket sender;
        ASSERT_TRUE(sender.Create(kind, err));
        ASSERT_TRUE(sender.SendTo(Ip("198.18.0.1"), u.m_nBoundPort, CNarrowString(std::string(100, 'x').c_str()), kind,
                                  err))
            << U8(err);
        CNarrowString data;
        sockaddr_in from{};
        EXPECT_FALSE(u.ReceiveFrom(80, data, from, kind, err));
        EXPECT_EQ(err, CWideString::Formatted(u"[receiving UDP 198.18.0.1:%d]: Message size is larger than maximum "
                                              u"supporetd for datagram",
                                              u.m_nBoundPort));
        EXPECT_EQ(kind, 3);
        ASSERT_TRUE(sender.SendTo(Ip("198.18.0.1"), u.m_nBoundPort, "TVTPPING-U", kind, err));
        ASSERT_TRUE(u.ReceiveFrom(80, data, from, kind, err)) << U8(err);
        EXPECT_STREQ(data.GetString(), "TVTPPING-U");
        EXPECT_EQ(from.sin_family, AF_INET);
        EXPECT_EQ(from.sin_addr.s_addr, Ip("198.18.0.1"));
        EXPECT_FALSE(u.ReceiveFrom(80, data, from, kind, err));
        EXPECT_EQ(U8(err).find("]: Time out"), U8(err).size() - 11) << U8(err);
        // A port in use cannot be bound twice.
        ZorUdpSocket second;
        ASSERT_TRUE(second.Create(kind, err));
        second.m_sPeer = "198.18.0.1";
        EXPECT_FALSE(second.Bind(Ip("198.18.0.1"), u.m_nBoundPort, kind, err));
        EXPECT_EQ(err, CWideString::Formatted(u"[binding UDP 198.18.0.1:0]: Address is already in use"));
    });
    if (!made || !why.empty()) GTEST_SKIP() << why;
}

} // namespace
