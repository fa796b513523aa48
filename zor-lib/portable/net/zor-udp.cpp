// UDP socket, adapters, ARP list, private-address test.
#include "zor-udp.h"

#include "zor-net-records.h"
#include "zor-socket.h"
#include "zor-winsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

ZorUdpSocket::ZorUdpSocket() {
    Reset(true);
}

ZorUdpSocket::~ZorUdpSocket() {
    Close();
}

void ZorUdpSocket::Close() {
    if (m_hSocket >= 0) {
        ::shutdown(m_hSocket, SHUT_RDWR);
        ::close(m_hSocket);
    }
    m_hSocket = -1;
}

void ZorUdpSocket::Reset(bool bClearFlag) {
    Close();
    m_nReserved = 0;
    if (bClearFlag) m_nConstructed = 0;
    m_sPeer.Empty();
    m_sSecond.Empty();
    m_nBoundPort = 0;
    std::memset(&m_addr, 0, sizeof m_addr);
    m_bFlag1 = m_bFlag2 = 0;
    m_nCount1 = m_nCount2 = 0;
}

CWideString ZorUdpSocket::DescribePeer() const {
    CWideString s;
    s.Format(u"%S:%d", m_sPeer, m_nBoundPort);
    return s;
}

bool ZorUdpSocket::Create(int& kind, CWideString& err) {
    Close();
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return ZorSocketErrorText(ZorWsaFromErrno(errno), "creating UDP socket", DescribePeer(), kind, err);
    m_hSocket = fd;
    return true;
}

bool ZorUdpSocket::SetTimeout(int option, int seconds, int& kind, CWideString& err) {
    int rc;
    if (option == SO_RCVTIMEO || option == SO_SNDTIMEO) {
        timeval tv{};
        tv.tv_sec = seconds;
        rc = ::setsockopt(m_hSocket, SOL_SOCKET, option, &tv, sizeof tv);
    } else {
        int32_t v = seconds * 1000;
        rc = ::setsockopt(m_hSocket, SOL_SOCKET, option, &v, sizeof v);
    }
    if (rc != 0) return ZorSocketErrorText(ZorWsaFromErrno(errno), "setting timeout", DescribePeer(), kind, err);
    return true;
}

bool ZorUdpSocket::SetOption(int option, int value, int& kind, CWideString& err) {
    int32_t v = value;
    if (::setsockopt(m_hSocket, SOL_SOCKET, option, &v, sizeof v) != 0)
        return ZorSocketErrorText(ZorWsaFromErrno(errno), "setting option", DescribePeer(), kind, err);
    return true;
}

bool ZorUdpSocket::Bind(uint32_t address, int port, int& kind, CWideString& err) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons((uint16_t)port);
    if (::bind(m_hSocket, (const sockaddr*)&a, sizeof a) != 0)
        return ZorSocketErrorText(ZorWsaFromErrno(errno), "binding UDP", DescribePeer(), kind, err);
    m_nBoundPort = port;
    if (port == 0) { // an ephemeral port: quote the one the system chose
        socklen_t len = sizeof a;
        if (::getsockname(m_hSocket, (sockaddr*)&a, &len) == 0) m_nBoundPort = ntohs(a.sin_port);
    }
    return true;
}

bool ZorUdpSocket::SendTo(uint32_t address, int port, const CNarrowString& data, int& kind, CWideString& err) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons((uint16_t)port);
    ssize_t n;
    do {
        n = ::sendto(m_hSocket, data.GetString(), (size_t)data.GetLength(), MSG_NOSIGNAL, (const sockaddr*)&a,
                     sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return ZorSocketErrorText(ZorWsaFromErrno(errno), "sending UDP", DescribePeer(), kind, err);
    if (n != data.GetLength()) {
        err.Format(u"Incomplete message sent to UDP socket: %d != %d", (int)n, data.GetLength());
        kind = FSE_CONN_LOST;
        return false;
    }
    return true;
}

bool ZorUdpSocket::ReceiveFrom(int nMaximum, CNarrowString& data, sockaddr_in& from, int& kind, CWideString& err) {
    if (nMaximum < 0) nMaximum = 0;
    char* p = data.GetBuffer(nMaximum + 2);
    std::memset(&from, 0, sizeof from);
    socklen_t len = sizeof from;
    ssize_t n;
    do {
        // MSG_TRUNC: the real length comes back, so a datagram longer than
        // the maximum is seen instead of silently cut.
        n = ::recvfrom(m_hSocket, p, (size_t)nMaximum, MSG_TRUNC, (sockaddr*)&from, &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int e = errno;
        data.ReleaseBuffer(0);
        return ZorSocketErrorText(e == EAGAIN ? ZWSA_ETIMEDOUT : ZorWsaFromErrno(e), "receiving UDP", DescribePeer(),
                                  kind, err);
    }
    if (n > nMaximum) {
        data.ReleaseBuffer(nMaximum);
        return ZorSocketErrorText(ZWSA_EMSGSIZE, "receiving UDP", DescribePeer(), kind, err);
    }
    data.ReleaseBuffer((int)n);
    return true;
}

bool ZorGetAdapters(bool bSkipLoopback, CArrayT<ZorAdapterEntry>& list, int& kind, CWideString& err) {
    list.RemoveAll();
    CArrayT<ZorIfAddress> ifs;
    int e = 0;
    if (!ZorListIfAddresses(ifs, e)) {
        err.Format(u"cannot get GetAdapterInfo: %s", std::strerror(e));
        kind = FSE_GENERAL;
        return false;
    }
    const uint32_t loopNet = htonl(0x7F000000u);
    for (int i = 0; i < ifs.GetSize(); ++i) {
        const ZorIfAddress& a = ifs[i];
        if (a.m_nAddress == 0) continue;
        if (bSkipLoopback && (a.m_nAddress & a.m_nMask) == loopNet && a.m_nMask == htonl(0xFF000000u)) continue;
        ZorAdapterEntry en;
        en.m_nAddress = a.m_nAddress;
        en.m_nMask = a.m_nMask;
        en.m_sDescription = a.m_sName;
        list.Add(en);
    }
    if (list.IsEmpty()) {
        err = u"No network interfaces";
        kind = FSE_GENERAL;
        return false;
    }
    return true;
}

bool ZorGetArpTable(CArrayT<uint32_t>& list, CWideString& err) {
    list.RemoveAll();
    CArrayT<ZorNeighbour> rows;
    int e = 0;
    if (!ZorReadNeighbourTable(rows, e)) {
        err.Format(u"First call to GetIpNetTable() failed, error %d", e);
        return false;
    }
    for (int i = 0; i < rows.GetSize(); ++i)
        if (rows[i].m_nType == ZNT_DYNAMIC) list.Add(rows[i].m_nAddress);
    return true;
}

bool ZorIsPrivateAddress(const CNarrowString& text) {
    // A dotted quad only: inet_pton refuses names, short forms and octal.
    in_addr a{};
    if (::inet_pton(AF_INET, text.GetString(), &a) != 1) return false;
    uint32_t v = ntohl(a.s_addr);
    return (v >> 24) == 10 || (v >> 20) == ((172u << 4) | 1) || (v >> 16) == ((192u << 8) | 168);
}
