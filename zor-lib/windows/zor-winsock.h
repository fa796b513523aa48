// The socket services the network layer was written against, on Linux: the
// socket error numbers (errno and resolver codes mapped to them), the IPv4
// addresses of the network interfaces and the neighbour (ARP) table.
#pragma once

#include "zor-coll.h"
#include "zor-string.h"

#include <cstdint>

// Socket error numbers as the network layer reports them.
enum ZorWsaError : int {
    ZWSA_SHORT_WRITE = 0, // the layer's own code: fewer bytes accepted than offered
    ZWSA_EINTR = 10004,
    ZWSA_EBADF = 10009,
    ZWSA_EACCES = 10013,
    ZWSA_EFAULT = 10014,
    ZWSA_EINVAL = 10022,
    ZWSA_EMFILE = 10024,
    ZWSA_EWOULDBLOCK = 10035,
    ZWSA_EINPROGRESS = 10036,
    ZWSA_EALREADY = 10037,
    ZWSA_ENOTSOCK = 10038,
    ZWSA_EDESTADDRREQ = 10039,
    ZWSA_EMSGSIZE = 10040,
    ZWSA_EPROTOTYPE = 10041,
    ZWSA_ENOPROTOOPT = 10042,
    ZWSA_EPROTONOSUPPORT = 10043,
    ZWSA_ESOCKTNOSUPPORT = 10044,
    ZWSA_EOPNOTSUPP = 10045,
    ZWSA_EPFNOSUPPORT = 10046,
    ZWSA_EAFNOSUPPORT = 10047,
    ZWSA_EADDRINUSE = 10048,
    ZWSA_EADDRNOTAVAIL = 10049,
    ZWSA_ENETDOWN = 10050,
    ZWSA_ENETUNREACH = 10051,
    ZWSA_ENETRESET = 10052,
    ZWSA_ECONNABORTED = 10053,
    ZWSA_ECONNRESET = 10054,
    ZWSA_ENOBUFS = 10055,
    ZWSA_EISCONN = 10056,
    ZWSA_ENOTCONN = 10057,
    ZWSA_ESHUTDOWN = 10058,
    ZWSA_ETOOMANYREFS = 10059,
    ZWSA_ETIMEDOUT = 10060,
    ZWSA_ECONNREFUSED = 10061,
    ZWSA_ELOOP = 10062,
    ZWSA_ENAMETOOLONG = 10063,
    ZWSA_EHOSTDOWN = 10064,
    ZWSA_EHOSTUNREACH = 10065,
    ZWSA_EDISCON = 10101,
    ZWSA_HOST_NOT_FOUND = 11001,
    ZWSA_TRY_AGAIN = 11002,
    ZWSA_NO_RECOVERY = 11003,
    ZWSA_NO_DATA = 11004,
};

// The socket error number of an errno value. EAGAIN is "would block"; an
// errno without a counterpart is returned unchanged (the message then reads
// "Socket error <errno>").
int ZorWsaFromErrno(int nErrno);
// The socket error number of a getaddrinfo result; for EAI_SYSTEM the errno
// saved right after the call is mapped instead.
int ZorWsaFromEai(int nEai, int nSavedErrno);

// One IPv4 address of a network interface (network byte order).
struct ZorIfAddress {
    CNarrowString m_sName; // interface name, e.g. "eth0"
    uint32_t m_nAddress = 0;
    uint32_t m_nMask = 0;
};

// Every IPv4 address of every interface, in the system's order. False with
// the errno in nErrno when the list cannot be read.
bool ZorListIfAddresses(CArrayT<ZorIfAddress>& list, int& nErrno);

// Neighbour table row types, as the network layer tells them apart.
enum ZorNeighbourType : uint32_t {
    ZNT_OTHER = 1,
    ZNT_INVALID = 2, // incomplete or failed resolution
    ZNT_DYNAMIC = 3, // learnt and complete
    ZNT_STATIC = 4,  // permanent
};

struct ZorNeighbour {
    uint32_t m_nAddress = 0; // network byte order
    uint32_t m_nType = ZNT_OTHER;
};

// Reads the IPv4 neighbour table of the calling thread's network namespace
// (/proc/thread-self/net/arp, else /proc/net/arp; another path for tests). A row is dynamic when its
// flags have "complete" (0x2) set and "permanent" (0x4) clear, static when
// both are set, invalid when "complete" is clear. Rows that do not read are
// skipped. False with the errno when the file cannot be read.
bool ZorReadNeighbourTable(CArrayT<ZorNeighbour>& rows, int& nErrno, const char* pszPath = nullptr);
// The table parser alone (the text of the file).
void ZorParseNeighbourTable(const char* text, int len, CArrayT<ZorNeighbour>& rows);
