// The program's own blocking TCP client socket: IPv4, 32 KiB receive and send
// buffers, an optional TLS session (zor-ssl.h), progress and stop through the
// caller's ICopyProgress and a stop flag another thread may set.
//
// Every failure returns false, sets an error kind and appends one message of
// the form "[<step> <host>:<port>]: <socket error text>" (kind 3) to the
// caller's error text; the steps and texts are listed in zor-socket.cpp.
#pragma once

#include "zor-net-records.h"
#include "zor-string.h"

#include <atomic>
#include <cstdint>
#include <netinet/in.h>

typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

// Process-wide byte counters of all sockets (plain and TLS).
extern std::atomic<uint64_t> g_nZorSocketBytesSent;
extern std::atomic<uint64_t> g_nZorSocketBytesReceived;

// Once per process: makes the process ignore SIGPIPE (the TLS layer writes
// with plain send). Later calls succeed at once.
bool ZorSocketStartup(int& kind, CWideString& err);

// The table text of a socket error number, or null when the table has none.
const char* ZorSocketErrorTableText(int code);

// Sets err to "[<what> <context>]: " and the table text of code ("Socket
// error %d" when the table lacks it); kind 3. Always returns false.
bool ZorSocketErrorText(int code, const char* what, const CWideString& context, int& kind, CWideString& err);

// Resolves an IPv4 address: a dotted-decimal host is taken as it is, a name
// goes through the resolver (IPv4 only); "localhost" and names under
// ".localhost" are 127.0.0.1 without asking it. Fills the socket address (port in
// network order) and the dotted text.
bool ZorResolveAddress(const CNarrowString& host, int port, sockaddr_in& addr, CNarrowString& dotted, int& kind,
                       CWideString& err);

class ZorSocket {
public:
    static constexpr int kBufferSize = 32768;

    int m_hSocket = -1;
    CNarrowString m_sHost;   // host name as given to connect
    CNarrowString m_sDotted; // resolved IPv4 address
    int32_t m_nPort = 0;
    uint8_t m_bUseTls = 0;
    SSL* m_pSsl = nullptr;
    SSL_SESSION* m_pSavedSession = nullptr; // offered at the next handshake, owned
    sockaddr_in m_addr{};
    uint32_t m_nReceived = 0;
    uint32_t m_nReadPos = 0;
    uint32_t m_nSendCount = 0;
    uint32_t m_nProgressPos = 0;
    ICopyProgress* m_pProgress = nullptr; // borrowed, may be null
    uint8_t m_bSkipServerCheck = 0;
    CWideString m_sClientCertFile; // PEM file with certificate and key; empty for none
    int32_t m_nConnectTimeout = 0; // seconds; 0 = plain blocking connect
    int32_t m_nTimeout = 90;       // receive and send time-out, seconds
    std::atomic<int> m_nBusy{0};   // raised while a refill is in progress
    std::atomic<int> m_nStop{0};   // set by another party to stop the transfer

    // The socket error number of the last failed receive (10060 a time-out,
    // 10054 a reset); it outlives the close that follows the failure, and
    // whoever reads it clears it first.
    int32_t m_nLastReadError = 0;
    // The low-speed limit of a transfer (0: off): while it is on, the waits
    // for data add up, and once they reach the time-out before the transfer
    // has moved m_nLowSpeedBytes the receive fails with the time-out (10060).
    // Reaching the minimum starts a new window. A reset or close turns it off.
    int32_t m_nLowSpeedBytes = 0;
    int64_t m_nWindowWaitMs = 0;
    int64_t m_nWindowBytes = 0;
    void StartLowSpeedWindow(int32_t nMinBytes) {
        m_nLowSpeedBytes = nMinBytes;
        m_nWindowWaitMs = 0;
        m_nWindowBytes = 0;
    }

    // The deadline of an answer (off while m_nAnswerStartMs is 0): counted on
    // the process clock (ZorGetClock) from the start, it allows a grace of
    // m_nAnswerGraceMs and then one second per m_nAnswerFloor bytes
    // received, so a short answer must come soon and a long one may take
    // its time; a peer that trickles bytes just fast enough for the
    // low-speed limit is still cut off. Past it a receive fails with the
    // time-out (10060). A reset or close turns it off.
    int64_t m_nAnswerStartMs = 0;
    int64_t m_nAnswerGraceMs = 0;
    int32_t m_nAnswerFloor = 0;
    int64_t m_nAnswerBytes = 0;
    void StartAnswerDeadline(int64_t nGraceMs, int32_t nBytesPerSecond);
    void StopAnswerDeadline() { m_nAnswerStartMs = 0; }
    // Milliseconds left before the deadline (INT64_MAX while it is off).
    int64_t AnswerTimeLeftMs() const;

    // Set by the TLS layer during a handshake (zor-ssl.cpp).
    int m_nFirstVerifyError = 0;      // first certificate-chain fault seen, 0 none
    uint8_t m_bCertRequested = 0;     // the server asked for a client certificate
    uint8_t m_bCertOffered = 0;       // a client certificate was given

    ZorSocket();
    ~ZorSocket();
    ZorSocket(const ZorSocket&) = delete;
    ZorSocket& operator=(const ZorSocket&) = delete;

    // Back to the closed state; the stop flag is cleared only when asked.
    void Reset(bool bClearStop);

    // Connects to host:port (closing an open socket first); with bUseTls the
    // TLS handshake follows, checking the server's certificate unless
    // bSkipServerCheck. The connect time-out (m_nConnectTimeout) and the
    // client certificate (m_sClientCertFile) are read from the socket.
    bool Connect(const CNarrowString& host, int port, bool bUseTls, bool bSkipServerCheck, int& kind,
                 CWideString& err);

    // SO_KEEPALIVE, TCP_NODELAY and the send/receive time-outs; failures ignored.
    void SetKeepAliveAndTimeouts();

    // Sends one block at once (length must be positive); unread received
    // bytes are dropped first.
    bool Send(const void* data, int len, int& kind, CWideString& err);

    // Buffered sending: blocks of 32768 bytes leave as the buffer fills.
    bool PutByte(uint8_t b, int& kind, CWideString& err);
    bool Write(const void* data, int len, int& kind, CWideString& err);
    bool WriteString(const CNarrowString& s, int& kind, CWideString& err);
    bool Flush(int& kind, CWideString& err);
    // The text, CR LF, and a flush.
    bool SendLine(const CNarrowString& s, int& kind, CWideString& err);

    // The next received byte; at the end of the data bEof is set and the call
    // succeeds.
    bool ReadByte(uint8_t& b, bool& bEof, int& kind, CWideString& err);
    // Up to nMax received bytes (at least one unless the data ended, which
    // sets bEof); refills the receive buffer only when it is used up.
    bool Read(void* buf, int nMax, int& nGot, bool& bEof, int& kind, CWideString& err);
    // One line without its CR LF (a lone LF also ends it).
    bool ReadLine(CNarrowString& line, bool& bEof, int& kind, CWideString& err);
    // Everything up to the end of the data, appended to text; more than
    // kMaxReadToEnd bytes fail ("getting tail: more than %d bytes", kind 5)
    // and close the socket.
    static constexpr int kMaxReadToEnd = 32 * 1024 * 1024;
    bool ReadToEnd(CNarrowString& text, int& kind, CWideString& err);

    // Ends TLS, shuts the socket down, closes it and resets (the stop flag
    // stays). Messages only when !bQuiet; the close always succeeds.
    bool Close(bool bQuiet, int& kind, CWideString& err);
    void CloseQuietly();

    bool IsOpen() const { return m_hSocket >= 0; }
    // The callback that transfers report progress to (borrowed, may be null).
    void SetProgress(ICopyProgress* pProgress) { m_pProgress = pProgress; }
    void RequestStop() { m_nStop.store(1); }
    // "%S:%d" (host, port).
    CWideString DescribePeer() const;

    // True when the peer has ended its side of an idle connection (or it
    // failed) and nothing received is left to read: a kept-alive connection
    // the server closed, which a new request must not be sent on.
    bool PeerHasClosed() const;

    // Received bytes not yet handed out.
    int BufferedReadCount() const { return (int)(m_nReceived - m_nReadPos); }

private:
    bool Refill(bool& bEof, int& kind, CWideString& err);
    bool ConnectOnce(bool bFirstAttempt, bool& bRetry, int& kind, CWideString& err);
    // Waits until the socket is readable: true when readable, false on time-out
    // (code 10060) or stop (code -1) or a poll failure (the code).
    bool WaitReadable(int& code);

    uint8_t* m_pRecvBuf;
    uint8_t* m_pSendBuf;
};

// The connect as a free function, for callers that use that form.
inline bool ZorSocketConnect(ZorSocket& s, const CNarrowString& host, int port, bool bUseTls,
                             bool bSkipServerCheck, int& kind, CWideString& err) {
    return s.Connect(host, port, bUseTls, bSkipServerCheck, kind, err);
}
