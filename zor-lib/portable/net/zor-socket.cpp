// The TCP client socket over BSD sockets.
//
// Connect with a time-out: non-blocking connect, then poll for writability in
// slices of at most a quarter second (the stop flag is seen in between), then
// SO_ERROR. A blocked receive polls in the same slices, so a stop request
// ends it within a second. Sends use MSG_NOSIGNAL; SIGPIPE is ignored once
// per process because the TLS layer writes through plain send.
#include "zor-socket.h"

#include "zor-ssl.h"
#include "zor-time.h"
#include "zor-winsock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

std::atomic<uint64_t> g_nZorSocketBytesSent{0};
std::atomic<uint64_t> g_nZorSocketBytesReceived{0};

namespace {

constexpr int kSliceMs = 250;

struct ErrorRow {
    int code;
    const char* text;
};

// The texts are part of the messages users see and tests compare; they are
// kept exactly as they have always read.
const ErrorRow kErrorTable[] = {
    {10004, "Interrupted"},
    {10009, "Bad socket descriptor"},
    {10013, "Permission to access socket is denied (need a proxy?)"},
    {10101, "Disconnected"},
    {10014, "Buffer is not in a valid part of user address space"},
    {10022, "Invalid argument"},
    {10024, "No more file descriptors are available"},
    {10035, "Requested operation would block on non-blocking socket"},
    {10036, "Connection on non-blocking socket in progress"},
    {10037, "Already tried to connect on non-blocking socket"},
    {10038, "The decriptor is not socket"},
    {10039, "Destination address is required"},
    {10040, "Message size is larger than maximum supporetd for datagram"},
    {10041, "Wrong protocol for the socket"},
    {10042, "Unknown or unsupported option"},
    {10043, "The specified protocol is not supported"},
    {10044, "The specified socket type is not supported"},
    {10045, "Operation not supported"},
    {10046, "PF not supported (?)"},
    {10047, "Address family not supported"},
    {10048, "Address is already in use"},
    {10049, "Address is not available on remote machine"},
    {0, "Broken pipe (upload/download dropped by server)"},
    {10050, "Network subsystem has failed"},
    {10051, "Network is unreachable"},
    {10052, "Connection was dropped"},
    {10053, "Connection was aborted due to timeout or other failure"},
    {10054, "Connection was reset by remote machine"},
    {10055, "No buffers left"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "The socket has been already shutdown"},
    {10059, "Too many refs"},
    {10060, "Time out"},
    {10061, "Connection refused"},
    {10062, "Too many symbolic links while translating the name"},
    {10063, "Name too long"},
    {10064, "Host down"},
    {10065, "Host unreachable"},
    {10091, "Network subsystem not ready"},
    {10092, "WinSock version not supported"},
    {10093, "WinSock is not initialized"},
    {11001, "Host not found (Server name incorrect or No connection to Internet)"},
    {11002, "Name Server failed"},
    {11003, "Non-recoverable nameserver error"},
    {11004, "Cannot resolve IP name into IP address"},
};

std::once_flag g_startupOnce;

CWideString Peer(const CNarrowString& host, int port) {
    CWideString s;
    s.Format(u"%S:%d", host, port);
    return s;
}

// errno of a failed send or receive on a socket with SO_SNDTIMEO/SO_RCVTIMEO:
// EAGAIN there means the time-out ran out.
int IoErrorCode(int e) {
    if (e == EAGAIN || e == EWOULDBLOCK) return ZWSA_ETIMEDOUT;
    return ZorWsaFromErrno(e);
}

// Waits for the events in slices, so that a stop request is seen within a
// quarter second. 1: ready; 0: the time ran out; -1: stopped; -2: poll failed
// (the socket error number in code).
int PollSlices(int fd, short events, int64_t leftMs, const std::atomic<int>& stop, int& code) {
    for (;;) {
        if (stop.load()) return -1;
        if (leftMs <= 0) return 0;
        pollfd p{fd, events, 0};
        int slice = (int)(leftMs < kSliceMs ? leftMs : kSliceMs);
        int r = ::poll(&p, 1, slice);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            code = ZorWsaFromErrno(errno);
            return -2;
        }
        if (r > 0) return 1;
        leftMs -= slice;
    }
}

} // namespace

const char* ZorSocketErrorTableText(int code) {
    for (const ErrorRow& r : kErrorTable)
        if (r.code == code) return r.text;
    return nullptr;
}

bool ZorSocketErrorText(int code, const char* what, const CWideString& context, int& kind, CWideString& err) {
    err.Format(u"[%s %S]: ", what, context);
    if (const char* t = ZorSocketErrorTableText(code)) err += CWideString(t);
    else err.AppendFormat(u"Socket error %d", code);
    kind = FSE_CONN_LOST;
    return false;
}

bool ZorSocketStartup(int& kind, CWideString& err) {
    (void)kind;
    (void)err;
    std::call_once(g_startupOnce, [] { ::signal(SIGPIPE, SIG_IGN); });
    return true;
}

bool ZorResolveAddress(const CNarrowString& host, int port, sockaddr_in& addr, CNarrowString& dotted, int& kind,
                       CWideString& err) {
    if (host.IsEmpty()) {
        err = u"empty IP name";
        kind = FSE_GENERAL;
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    in_addr a{};
    // "localhost" and every name below ".localhost" are the loopback address
    // (RFC 6761), whatever the resolver would say.
    CNarrowString lower(host);
    lower.MakeLower();
    if (lower == "localhost" || lower.EndsWith(".localhost")) {
        a.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_addr = a;
        dotted = ::inet_ntoa(a);
        return true;
    }
    if (::inet_aton(host.GetString(), &a) != 0) {
        addr.sin_addr = a;
        dotted = ::inet_ntoa(a);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET; // the socket is IPv4
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* res = nullptr;
    char portText[16];
    std::snprintf(portText, sizeof portText, "%d", port);
    errno = 0;
    int rc = ::getaddrinfo(host.GetString(), portText, &hints, &res);
    int saved = errno;
    if (rc != 0 || !res) {
        if (res) ::freeaddrinfo(res);
        return ZorSocketErrorText(rc ? ZorWsaFromEai(rc, saved) : ZWSA_HOST_NOT_FOUND, "resolving IP name",
                                  CWideString(host), kind, err);
    }
    if (res->ai_family != AF_INET || res->ai_addrlen > sizeof(sockaddr_in)) {
        if (res->ai_family != AF_INET) err.Format(u"do not handle family %d", res->ai_family);
        else err.Format(u"bad block len %d > %d", (int)res->ai_addrlen, (int)sizeof(sockaddr_in));
        ::freeaddrinfo(res);
        kind = FSE_CONN_LOST;
        return false;
    }
    addr.sin_addr = ((const sockaddr_in*)res->ai_addr)->sin_addr;
    dotted = ::inet_ntoa(addr.sin_addr);
    ::freeaddrinfo(res);
    return true;
}

// ---------------------------------------------------------------- ZorSocket
ZorSocket::ZorSocket() : m_pRecvBuf(new uint8_t[kBufferSize]), m_pSendBuf(new uint8_t[kBufferSize]) {
    Reset(true);
}

ZorSocket::~ZorSocket() {
    CloseQuietly();
    if (m_pSavedSession) SSL_SESSION_free(m_pSavedSession);
    delete[] m_pRecvBuf;
    delete[] m_pSendBuf;
}

void ZorSocket::Reset(bool bClearStop) {
    if (m_hSocket >= 0) ::close(m_hSocket);
    m_hSocket = -1;
    m_sHost.Empty();
    m_sDotted.Empty();
    m_nPort = 0;
    m_bUseTls = 0;
    if (m_pSsl) SSL_free(m_pSsl);
    m_pSsl = nullptr;
    // The saved session is forgotten only by a full reset; a close keeps it
    // so that the next handshake can resume.
    std::memset(&m_addr, 0, sizeof m_addr);
    m_nReceived = m_nReadPos = m_nSendCount = m_nProgressPos = 0;
    m_bSkipServerCheck = 0;
    m_nConnectTimeout = 0;
    m_nTimeout = 90;
    m_pProgress = nullptr;
    m_nBusy.store(0);
    m_nFirstVerifyError = 0;
    m_bCertRequested = m_bCertOffered = 0;
    StartLowSpeedWindow(0);
    StopAnswerDeadline();
    if (bClearStop) m_nStop.store(0);
}

void ZorSocket::StartAnswerDeadline(int64_t nGraceMs, int32_t nBytesPerSecond) {
    m_nAnswerStartMs = ZorGetClock().MonotonicMs();
    if (m_nAnswerStartMs == 0) m_nAnswerStartMs = 1;
    m_nAnswerGraceMs = nGraceMs;
    m_nAnswerFloor = std::max(1, nBytesPerSecond);
    m_nAnswerBytes = 0;
}

int64_t ZorSocket::AnswerTimeLeftMs() const {
    if (m_nAnswerStartMs == 0) return INT64_MAX;
    const int64_t allowed = m_nAnswerGraceMs + m_nAnswerBytes * 1000 / m_nAnswerFloor;
    return m_nAnswerStartMs + allowed - ZorGetClock().MonotonicMs();
}

CWideString ZorSocket::DescribePeer() const {
    return Peer(m_sHost, m_nPort);
}

void ZorSocket::SetKeepAliveAndTimeouts() {
    if (m_hSocket < 0) return;
    int on = 1;
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(m_hSocket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval tv{};
    tv.tv_sec = m_nTimeout > 0 ? m_nTimeout : 0;
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool ZorSocket::Close(bool bQuiet, int& kind, CWideString& err) {
    if (m_pSsl) {
        if (SSL_shutdown(m_pSsl) < 0) (void)SslErrorQueueText(false);
        SSL_free(m_pSsl);
        m_pSsl = nullptr;
        ERR_clear_error();
    }
    if (m_hSocket >= 0) {
        CWideString peer = DescribePeer();
        if (::shutdown(m_hSocket, SHUT_RDWR) != 0 && !bQuiet && errno != ENOTCONN)
            ZorSocketErrorText(ZorWsaFromErrno(errno), "shutting down socket", peer, kind, err);
        if (::close(m_hSocket) != 0 && !bQuiet)
            ZorSocketErrorText(ZorWsaFromErrno(errno), "closing socket", peer, kind, err);
        m_hSocket = -1;
    }
    // The caller's settings (progress callback, time-outs, certificate
    // choices) survive a close, so a reconnect uses them again.
    ICopyProgress* pProgress = m_pProgress;
    int32_t nConnectTimeout = m_nConnectTimeout, nTimeout = m_nTimeout;
    uint8_t bSkip = m_bSkipServerCheck;
    Reset(false);
    m_pProgress = pProgress;
    m_nConnectTimeout = nConnectTimeout;
    m_nTimeout = nTimeout;
    m_bSkipServerCheck = bSkip;
    return true;
}

void ZorSocket::CloseQuietly() {
    int kind = 0;
    CWideString scratch;
    Close(true, kind, scratch);
}

bool ZorSocket::Connect(const CNarrowString& host, int port, bool bUseTls, bool bSkipServerCheck, int& kind,
                        CWideString& err) {
    if (!ZorSocketStartup(kind, err)) return false;
    if (IsOpen()) CloseQuietly();
    bool bRetry = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        m_bSkipServerCheck = bSkipServerCheck ? 1 : 0;
        m_bUseTls = 0;
        m_sHost = host;
        m_nPort = port;
        CWideString e;
        int k = 0;
        if (ConnectOnce(attempt == 0, bRetry, k, e)) {
            if (bUseTls) {
                bool bTransport = false;
                if (StartSslOnSocket(*this, host, attempt == 0, m_sClientCertFile, bTransport, k, e)) return true;
                CloseQuietly();
                // Only a transport failure is worth a second handshake; a
                // certificate, name or alert failure would fail the same way.
                bRetry = attempt == 0 && bTransport;
            } else {
                return true;
            }
        }
        if (!bRetry) {
            err = e;
            kind = k;
            return false;
        }
    }
    return false;
}

bool ZorSocket::ConnectOnce(bool bFirstAttempt, bool& bRetry, int& kind, CWideString& err) {
    (void)bFirstAttempt;
    bRetry = false;
    CNarrowString dotted;
    if (!ZorResolveAddress(m_sHost, m_nPort, m_addr, dotted, kind, err)) return false;
    CWideString peer = DescribePeer();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ZorSocketErrorText(ZorWsaFromErrno(errno), "creating socket", peer, kind, err);
    m_hSocket = fd;
    m_sDotted = dotted;
    auto fail = [&](int code, const char* what) {
        ZorSocketErrorText(code, what, peer, kind, err);
        CloseQuietly();
        return false;
    };
    if (m_nConnectTimeout > 0) {
        int fl = ::fcntl(fd, F_GETFL);
        if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return fail(ZorWsaFromErrno(errno), "set non-blocking mode");
        if (::connect(fd, (const sockaddr*)&m_addr, sizeof m_addr) != 0) {
            if (errno != EINPROGRESS && errno != EINTR) return fail(ZorWsaFromErrno(errno), "connecting");
            int code = 0;
            int r = PollSlices(fd, POLLOUT, (int64_t)m_nConnectTimeout * 1000, m_nStop, code);
            if (r == -1) {
                CloseQuietly();
                SetStoppedByUser(kind, err);
                return false;
            }
            if (r == 0) {
                // The handle stays open until the next connect or close.
                err = u"Connection timeout";
                kind = FSE_CONN_LOST;
                return false;
            }
            if (r < 0) return fail(code, "waiting for connection");
            int soErr = 0;
            socklen_t len = sizeof soErr;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0)
                return fail(ZorWsaFromErrno(errno), "detect socket error");
            if (soErr != 0) return fail(ZorWsaFromErrno(soErr), "establishing connection");
        }
        if (::fcntl(fd, F_SETFL, fl) != 0) return fail(ZorWsaFromErrno(errno), "set blocking mode");
    } else if (::connect(fd, (const sockaddr*)&m_addr, sizeof m_addr) != 0) {
        if (errno != EINTR) return fail(ZorWsaFromErrno(errno), "connecting");
        // Interrupted: the connect goes on in the background; wait for it.
        pollfd p{fd, POLLOUT, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0 || soErr != 0)
            return fail(ZorWsaFromErrno(soErr ? soErr : errno), "connecting");
    }
    SetKeepAliveAndTimeouts();
    return true;
}

// ---------------------------------------------------------------- sending
bool ZorSocket::Send(const void* data, int len, int& kind, CWideString& err) {
    ZOR_ASSERT(len > 0);
    if (len <= 0) return true;
    if (m_nStop.load()) {
        err.Empty();
        SetStoppedByUser(kind, err);
        CloseQuietly();
        return false;
    }
    m_nReadPos = m_nReceived;
    if (m_bUseTls) {
        if (!m_pSsl) {
            CloseQuietly();
            err = u"SSL not initialized";
            kind = FSE_GENERAL;
            return false;
        }
        ERR_clear_error();
        int n = SSL_write(m_pSsl, data, len);
        if (n != len) {
            int e = SSL_get_error(m_pSsl, n);
            if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN)
                err = CWideString(u"server closed connection when we were writing to it: ") + SslErrorText(false);
            else if (e == SSL_ERROR_NONE)
                err = u"Bad error code SSL_ERROR_NONE, written wrong number of chars";
            else
                err = CWideString(u"SSL write error: ") + SslErrorText(false);
            kind = FSE_CONN_LOST;
            CloseQuietly();
            return false;
        }
    } else {
        const char* p = (const char*)data;
        int sent = 0;
        while (sent < len) {
            ssize_t n = ::send(m_hSocket, p + sent, (size_t)(len - sent), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ZorSocketErrorText(IoErrorCode(errno), "sending data", DescribePeer(), kind, err);
                CloseQuietly();
                return false;
            }
            if (n == 0) break;
            sent += (int)n;
        }
        if (sent != len) {
            ZorSocketErrorText(ZWSA_SHORT_WRITE, "sending data", DescribePeer(), kind, err);
            err += u": written wrong number of chars";
            CloseQuietly();
            return false;
        }
    }
    g_nZorSocketBytesSent.fetch_add((uint64_t)len);
    return true;
}

bool ZorSocket::PutByte(uint8_t b, int& kind, CWideString& err) {
    if (m_nSendCount >= (uint32_t)kBufferSize) {
        if (m_pProgress && m_pProgress->m_nMultiplier > 0) {
            if (!m_pProgress->ReportProgress(true, m_nProgressPos, kind, err)) {
                CloseQuietly();
                return false;
            }
        }
        if (!Send(m_pSendBuf, (int)m_nSendCount, kind, err)) return false;
        m_nSendCount = 0;
    }
    m_pSendBuf[m_nSendCount++] = b;
    return true;
}

bool ZorSocket::Write(const void* data, int len, int& kind, CWideString& err) {
    m_nProgressPos = 0;
    const uint8_t* p = (const uint8_t*)data;
    for (int i = 0; i < len; ++i) {
        if (!PutByte(p[i], kind, err)) return false;
        ++m_nProgressPos;
    }
    return true;
}

bool ZorSocket::WriteString(const CNarrowString& s, int& kind, CWideString& err) {
    return Write(s.GetString(), s.GetLength(), kind, err);
}

bool ZorSocket::Flush(int& kind, CWideString& err) {
    if (m_nSendCount == 0) return true;
    if (!Send(m_pSendBuf, (int)m_nSendCount, kind, err)) return false;
    m_nSendCount = 0;
    return true;
}

bool ZorSocket::SendLine(const CNarrowString& s, int& kind, CWideString& err) {
    CNarrowString line(s);
    line += "\r\n";
    return WriteString(line, kind, err) && Flush(kind, err);
}

// ---------------------------------------------------------------- receiving
bool ZorSocket::WaitReadable(int& code) {
    int64_t limitMs = (int64_t)(m_nTimeout > 0 ? m_nTimeout : 90) * 1000;
    int64_t leftMs = limitMs;
    // under a low-speed limit the window's earlier waits count too
    if (m_nLowSpeedBytes > 0) leftMs = std::max<int64_t>(0, limitMs - m_nWindowWaitMs);
    // nor does a wait outlast the answer's deadline (a virtual clock does not
    // move while the socket waits: its deadline is checked between reads)
    if (m_nAnswerStartMs != 0 && !ZorGetClock().IsVirtual())
        leftMs = std::max<int64_t>(0, std::min(leftMs, AnswerTimeLeftMs()));
    auto start = std::chrono::steady_clock::now();
    int r = PollSlices(m_hSocket, POLLIN, leftMs, m_nStop, code);
    if (m_nLowSpeedBytes > 0)
        m_nWindowWaitMs +=
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (r == 0) code = ZWSA_ETIMEDOUT;
    if (r == -1) code = -1;
    return r == 1;
}

bool ZorSocket::Refill(bool& bEof, int& kind, CWideString& err) {
    struct Busy {
        std::atomic<int>& n;
        explicit Busy(std::atomic<int>& c) : n(c) { n.fetch_add(1); }
        ~Busy() { n.fetch_sub(1); }
    } busy(m_nBusy);
    m_nReceived = m_nReadPos = 0;
    auto stopped = [&] {
        CloseQuietly();
        err.Empty();
        SetStoppedByUser(kind, err);
        return false;
    };
    if (m_nStop.load()) return stopped();
    if (AnswerTimeLeftMs() <= 0) {
        m_nLastReadError = ZWSA_ETIMEDOUT;
        ZorSocketErrorText(ZWSA_ETIMEDOUT, "receiving data", DescribePeer(), kind, err);
        CloseQuietly();
        return false;
    }
    int n = 0;
    if (m_bUseTls) {
        if (!m_pSsl) {
            err = u"SSL not initialized";
            kind = FSE_GENERAL;
            return false;
        }
        if (SSL_pending(m_pSsl) == 0) {
            int code = 0;
            if (!WaitReadable(code)) {
                if (code == -1) return stopped();
                m_nLastReadError = code;
                ZorSocketErrorText(code, "receiving data", DescribePeer(), kind, err);
                CloseQuietly();
                return false;
            }
        }
        ERR_clear_error();
        errno = 0;
        n = SSL_read(m_pSsl, m_pRecvBuf, kBufferSize);
        if (n <= 0) {
            int sysErr = errno;
            int e = SSL_get_error(m_pSsl, n);
            if (SslIsClientCertificateDemand(*this, e)) {
                err = u"Client certificate is required for this connection";
                kind = FSE_NOT_FOUND;
                return false;
            }
            // A reset or a time-out under the session is a failure, not
            // the end of the data (a peer that just closes reads as 6).
            if (e == SSL_ERROR_SYSCALL && sysErr != 0 && ERR_peek_error() == 0) {
                m_nLastReadError = IoErrorCode(sysErr);
                ZorSocketErrorText(IoErrorCode(sysErr), "receiving data", DescribePeer(), kind, err);
                CloseQuietly();
                return false;
            }
            if (e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN) {
                ERR_clear_error();
                bEof = true;
                return true;
            }
            // The socket's receive time-out ran out inside the session (a
            // record begun but not finished, or only session messages
            // arrived): a time-out like any other, not a broken connection.
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                ERR_clear_error();
                m_nLastReadError = ZWSA_ETIMEDOUT;
                ZorSocketErrorText(ZWSA_ETIMEDOUT, "receiving data", DescribePeer(), kind, err);
                CloseQuietly();
                return false;
            }
            err = CWideString(u"SSL read error: ") + SslErrorText(false);
            kind = FSE_CONN_LOST;
            CloseQuietly();
            return false;
        }
    } else {
        int code = 0;
        if (!WaitReadable(code)) {
            if (code == -1) return stopped();
            m_nLastReadError = code;
            ZorSocketErrorText(code, "receiving data", DescribePeer(), kind, err);
            CloseQuietly();
            return false;
        }
        ssize_t r;
        do {
            r = ::recv(m_hSocket, m_pRecvBuf, kBufferSize, 0);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            m_nLastReadError = IoErrorCode(errno);
            ZorSocketErrorText(m_nLastReadError, "receiving data", DescribePeer(), kind, err);
            CloseQuietly();
            return false;
        }
        n = (int)r;
    }
    if (n == 0) {
        bEof = true;
        return true;
    }
    m_nReceived = (uint32_t)n;
    m_nAnswerBytes += n;
    g_nZorSocketBytesReceived.fetch_add((uint64_t)n);
    if (m_nLowSpeedBytes > 0 && (m_nWindowBytes += n) >= m_nLowSpeedBytes) StartLowSpeedWindow(m_nLowSpeedBytes);
    return true;
}

bool ZorSocket::PeerHasClosed() const {
    if (m_hSocket < 0 || BufferedReadCount() > 0) return false;
    if (m_pSsl && SSL_pending(m_pSsl) > 0) return false;
    pollfd p{m_hSocket, (short)(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) != 1) return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool ZorSocket::ReadByte(uint8_t& b, bool& bEof, int& kind, CWideString& err) {
    bEof = false;
    if (m_nReadPos >= m_nReceived) {
        if (m_hSocket < 0 && !m_pSsl) {
            ZorSocketErrorText(ZWSA_ENOTCONN, "receiving data", DescribePeer(), kind, err);
            return false;
        }
        if (!Refill(bEof, kind, err)) return false;
        if (bEof) return true;
    }
    b = m_pRecvBuf[m_nReadPos++];
    return true;
}

bool ZorSocket::Read(void* buf, int nMax, int& nGot, bool& bEof, int& kind, CWideString& err) {
    nGot = 0;
    bEof = false;
    if (nMax <= 0) return true;
    if (m_nReadPos >= m_nReceived) {
        if (m_hSocket < 0 && !m_pSsl) {
            ZorSocketErrorText(ZWSA_ENOTCONN, "receiving data", DescribePeer(), kind, err);
            return false;
        }
        if (!Refill(bEof, kind, err)) return false;
        if (bEof) return true;
    }
    int n = std::min(nMax, (int)(m_nReceived - m_nReadPos));
    memcpy(buf, m_pRecvBuf + m_nReadPos, (size_t)n);
    m_nReadPos += (uint32_t)n;
    nGot = n;
    return true;
}

bool ZorSocket::ReadLine(CNarrowString& line, bool& bEof, int& kind, CWideString& err) {
    line.Empty();
    bEof = false;
    char buf[1024];
    int n = 0;
    bool bCR = false;
    auto flush = [&] {
        if (n) line.Append(buf, n);
        n = 0;
    };
    for (;;) {
        uint8_t b = 0;
        if (!ReadByte(b, bEof, kind, err)) {
            flush();
            err.Insert(0, u"receiving line: ");
            return false;
        }
        if (bEof) break;
        if (bCR && b != '\n') {
            flush();
            err = u"No LF after CR at the end of line";
            kind = FSE_NOT_FOUND;
            return false;
        }
        if (b == '\n') break;
        if (b == '\r') {
            bCR = true;
            continue;
        }
        if (line.GetLength() + n >= kBufferSize) {
            flush();
            err = u"line too long";
            kind = FSE_NOT_FOUND;
            return false;
        }
        buf[n++] = (char)b;
        if (n == (int)sizeof buf) flush();
    }
    flush();
    return true;
}

bool ZorSocket::ReadToEnd(CNarrowString& text, int& kind, CWideString& err) {
    int start = text.GetLength();
    for (;;) {
        if (text.GetLength() - start + (int64_t)(m_nReceived - m_nReadPos) > kMaxReadToEnd) {
            kind = FSE_GENERAL;
            err += CWideString::Formatted(u"getting tail: more than %d bytes", kMaxReadToEnd);
            CloseQuietly();
            return false;
        }
        if (m_nReadPos < m_nReceived) {
            text.Append((const char*)m_pRecvBuf + m_nReadPos, (int)(m_nReceived - m_nReadPos));
            m_nReadPos = m_nReceived;
        }
        bool bEof = false;
        if (!Refill(bEof, kind, err)) {
            err.Insert(0, u"getting tail: ");
            return false;
        }
        if (bEof) return true;
    }
}
