// Socket error numbers, interface addresses and the neighbour table on Linux.
#include "zor-winsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

int ZorWsaFromErrno(int e) {
    switch (e) {
    case EINTR: return ZWSA_EINTR;
    case EBADF: return ZWSA_EBADF;
    case EACCES:
    case EPERM: return ZWSA_EACCES;
    case EFAULT: return ZWSA_EFAULT;
    case EINVAL: return ZWSA_EINVAL;
    case EMFILE:
    case ENFILE: return ZWSA_EMFILE;
    case EAGAIN: return ZWSA_EWOULDBLOCK;
    case EINPROGRESS: return ZWSA_EINPROGRESS;
    case EALREADY: return ZWSA_EALREADY;
    case ENOTSOCK: return ZWSA_ENOTSOCK;
    case EDESTADDRREQ: return ZWSA_EDESTADDRREQ;
    case EMSGSIZE: return ZWSA_EMSGSIZE;
    case EPROTOTYPE: return ZWSA_EPROTOTYPE;
    case ENOPROTOOPT: return ZWSA_ENOPROTOOPT;
    case EPROTONOSUPPORT: return ZWSA_EPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return ZWSA_ESOCKTNOSUPPORT;
    case EOPNOTSUPP: return ZWSA_EOPNOTSUPP;
    case EPFNOSUPPORT: return ZWSA_EPFNOSUPPORT;
    case EAFNOSUPPORT: return ZWSA_EAFNOSUPPORT;
    case EADDRINUSE: return ZWSA_EADDRINUSE;
    case EADDRNOTAVAIL: return ZWSA_EADDRNOTAVAIL;
    case ENETDOWN: return ZWSA_ENETDOWN;
    case ENETUNREACH: return ZWSA_ENETUNREACH;
    case ENETRESET: return ZWSA_ENETRESET;
    case ECONNABORTED: return ZWSA_ECONNABORTED;
    case ECONNRESET:
    case EPIPE: return ZWSA_ECONNRESET;
    case ENOBUFS:
    case ENOMEM: return ZWSA_ENOBUFS;
    case EISCONN: return ZWSA_EISCONN;
    case ENOTCONN: return ZWSA_ENOTCONN;
    case ESHUTDOWN: return ZWSA_ESHUTDOWN;
    case ETOOMANYREFS: return ZWSA_ETOOMANYREFS;
    case ETIMEDOUT: return ZWSA_ETIMEDOUT;
    case ECONNREFUSED: return ZWSA_ECONNREFUSED;
    case ELOOP: return ZWSA_ELOOP;
    case ENAMETOOLONG: return ZWSA_ENAMETOOLONG;
    case EHOSTDOWN: return ZWSA_EHOSTDOWN;
    case EHOSTUNREACH: return ZWSA_EHOSTUNREACH;
    default: return e;
    }
}

int ZorWsaFromEai(int nEai, int nSavedErrno) {
    switch (nEai) {
    case 0: return 0;
    case EAI_NONAME: return ZWSA_HOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return ZWSA_NO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return ZWSA_NO_DATA;
#endif
    case EAI_AGAIN: return ZWSA_TRY_AGAIN;
    case EAI_FAIL: return ZWSA_NO_RECOVERY;
    case EAI_MEMORY: return ZWSA_ENOBUFS;
    case EAI_FAMILY: return ZWSA_EAFNOSUPPORT;
    case EAI_SOCKTYPE: return ZWSA_ESOCKTNOSUPPORT;
    case EAI_BADFLAGS: return ZWSA_EINVAL;
    case EAI_SYSTEM: return ZorWsaFromErrno(nSavedErrno);
    default: return nEai < 0 ? 11000 - nEai : nEai;
    }
}

bool ZorListIfAddresses(CArrayT<ZorIfAddress>& list, int& nErrno) {
    list.RemoveAll();
    struct ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0) {
        nErrno = errno;
        return false;
    }
    for (struct ifaddrs* p = head; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
        ZorIfAddress a;
        a.m_sName = p->ifa_name ? p->ifa_name : "";
        a.m_nAddress = ((const sockaddr_in*)p->ifa_addr)->sin_addr.s_addr;
        if (p->ifa_netmask) a.m_nMask = ((const sockaddr_in*)p->ifa_netmask)->sin_addr.s_addr;
        list.Add(a);
    }
    ::freeifaddrs(head);
    return true;
}

void ZorParseNeighbourTable(const char* text, int len, CArrayT<ZorNeighbour>& rows) {
    rows.RemoveAll();
    int i = 0;
    bool bHeader = true;
    while (i < len) {
        int j = i;
        while (j < len && text[j] != '\n') ++j;
        CNarrowString line(text + i, j - i);
        i = j + 1;
        if (bHeader) { // the first line names the columns
            bHeader = false;
            continue;
        }
        char ip[64] = {}, hw[32] = {}, flags[32] = {};
        if (std::sscanf(line.GetString(), "%63s %31s %31s", ip, hw, flags) != 3) continue;
        in_addr a{};
        if (::inet_pton(AF_INET, ip, &a) != 1) continue;
        char* end = nullptr;
        unsigned long f = std::strtoul(flags, &end, 16);
        if (end == flags || *end) continue;
        ZorNeighbour n;
        n.m_nAddress = a.s_addr;
        if (!(f & 0x2)) n.m_nType = ZNT_INVALID;
        else if (f & 0x4) n.m_nType = ZNT_STATIC;
        else n.m_nType = ZNT_DYNAMIC;
        rows.Add(n);
    }
}

bool ZorReadNeighbourTable(CArrayT<ZorNeighbour>& rows, int& nErrno, const char* pszPath) {
    rows.RemoveAll();
    // The calling thread's view: a thread may have a network namespace of its own.
    int fd = ::open(pszPath ? pszPath : "/proc/thread-self/net/arp", O_RDONLY | O_CLOEXEC);
    if (fd < 0 && !pszPath) fd = ::open("/proc/net/arp", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        nErrno = errno;
        return false;
    }
    CNarrowString text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            nErrno = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        text.Append(buf, (int)n);
        if (text.GetLength() > (64 << 20)) break; // a sane bound on a table
    }
    ::close(fd);
    ZorParseNeighbourTable(text.GetString(), text.GetLength(), rows);
    return true;
}
