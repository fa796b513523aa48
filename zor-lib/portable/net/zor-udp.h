// The UDP socket of local-network discovery, the IPv4 adapter list, the ARP
// (neighbour) list and the private-address test. Socket failures read
// "[<step> <peer>:<bound port>]: <socket error text>" with kind 3.
#pragma once

#include "zor-coll.h"
#include "zor-string.h"

#include <cstdint>
#include <netinet/in.h>

class ZorUdpSocket {
public:
    static constexpr int kBufferSize = 32768;

    int m_hSocket = -1;
    uint32_t m_nReserved = 0;
    uint32_t m_nConstructed = 0;
    CNarrowString m_sPeer;   // quoted in messages
    CNarrowString m_sSecond; // cleared at reset
    int32_t m_nBoundPort = 0;
    sockaddr_in m_addr{};
    uint8_t m_bFlag1 = 0, m_bFlag2 = 0;
    uint32_t m_nCount1 = 0, m_nCount2 = 0;

    ZorUdpSocket();
    ~ZorUdpSocket();
    ZorUdpSocket(const ZorUdpSocket&) = delete;
    ZorUdpSocket& operator=(const ZorUdpSocket&) = delete;

    void Reset(bool bClearFlag);
    bool Create(int& kind, CWideString& err);
    // Socket-level option (SOL_SOCKET, e.g. SO_RCVTIMEO) set to seconds * 1000
    // milliseconds; a time-out option takes the matching time value.
    bool SetTimeout(int option, int seconds, int& kind, CWideString& err);
    // Socket-level option with a 4-byte value (e.g. SO_BROADCAST, SO_REUSEADDR).
    bool SetOption(int option, int value, int& kind, CWideString& err);
    // Binds to the address (network order) and port.
    bool Bind(uint32_t address, int port, int& kind, CWideString& err);
    // Sends the whole text as one datagram.
    bool SendTo(uint32_t address, int port, const CNarrowString& data, int& kind, CWideString& err);
    // Receives one datagram of at most nMaximum bytes. A longer datagram fails
    // with "Message size is larger than maximum supporetd for datagram".
    bool ReceiveFrom(int nMaximum, CNarrowString& data, sockaddr_in& from, int& kind, CWideString& err);
    void Close();
    // "%S:%d" (peer text, bound port).
    CWideString DescribePeer() const;
};

// One IPv4 address of an adapter (network byte order).
struct ZorAdapterEntry {
    uint32_t m_nAddress = 0;
    uint32_t m_nMask = 0;
    CNarrowString m_sDescription; // the interface name
};

// Every IPv4 address of every adapter; zero addresses are dropped, and with
// bSkipLoopback the 127.0.0.0/8 network. An empty list fails with "No
// network interfaces" (kind 5).
bool ZorGetAdapters(bool bSkipLoopback, CArrayT<ZorAdapterEntry>& list, int& kind, CWideString& err);

// The addresses of the dynamic (learnt, complete) entries of the ARP table,
// in table order. An empty table is success.
bool ZorGetArpTable(CArrayT<uint32_t>& list, CWideString& err);

// True for an IPv4 literal inside the private networks of RFC 1918
// (10/8, 172.16/12, 192.168/16). Host names are never private.
bool ZorIsPrivateAddress(const CNarrowString& text);
