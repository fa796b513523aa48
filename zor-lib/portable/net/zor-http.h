// The HTTP/1.1 client: one connection of an internet back-end (ZorHttpConn),
// its set-up (direct, through an HTTP-style proxy, or tunnelled with
// CONNECT), the request engine with its attempt loop, the message framing on
// the program's own sockets, and a second transport over libcurl that the
// connection's "WinInet" flag selects.
//
// Errors follow the library's convention: bool result, an error kind
// (FsErrorKind; 1 marks a proxy failure) and a wide error text.
#pragma once

#include "zor-http-auth.h"
#include "zor-http-util.h"
#include "zor-net-records.h"
#include "zor-proxy-discovery.h"
#include "zor-ssl.h"
#include "zor-socket.h"
#include "zor-string.h"

#include <cstdint>

// ---------------------------------------------------------------- limits
constexpr int kHttpMaxHeaderLine = 8190;               // bytes of one header line
constexpr int kHttpMaxHeaderSection = 256 * 1024;      // bytes of all header lines of one message
constexpr int kHttpMaxHeaderLines = 1000;              // header lines of one message
constexpr int64_t kHttpMemoryBodyLimit = 0x2000000;    // 32 MiB: larger bodies never stay in memory
constexpr int64_t kHttpChunkLimit = 0x8000000;         // 128 MiB: one memory read at most
constexpr int kHttpExpectWaitMs = 2000;                // the wait for "100 Continue"
constexpr int kHttpRetryAfterWaitMs = 2000;            // the wait after a 503 with Retry-After
constexpr int64_t kHttpSpillLimit = 0x10000000;        // 256 MiB: a body spilled to a temporary file, by default
// A transfer that moves fewer bytes than this while its waits for data add
// up to the connection's time-out fails with the time-out.
constexpr int kHttpLowSpeedBytes = 1024;
// An answer's head and a body read into memory (listings, small bodies) must
// arrive within kHttpRetryBudgetFactor time-outs of the request going out
// plus one second for every kHttpAnswerFloorBytes of it (on the process
// clock): a server that trickles bytes just above the low-speed limit cannot
// hold a request for hours. A download into the caller's file reports its
// progress and is watched by the low-speed limit alone.
constexpr int kHttpAnswerFloorBytes = 1024;
// The attempts of one request (retries, challenges, redirects) and of one
// connection set-up (proxy, tunnel and TLS retries) start no later than this
// many time-outs after the request or set-up began.
constexpr int kHttpRetryBudgetFactor = 3;

// ---------------------------------------------------------------- process-wide values
// Set once by the host before any request; read without a lock.
extern CNarrowString g_sHttpUserAgent;     // empty: "ZorSocket/9.2.9.0"
extern CNarrowString g_sHttpSystemInfo;    // the text in parentheses after the agent
// The address that the attempt-limit message names (a build setting).
extern const char* const g_szHttpSupportAddress;
// The library of the libcurl transport, loaded on its first use
// ("libcurl.so.4"; tests name another).
extern const char* g_szHttpCurlLibrary;
// The process-wide proxy settings the connections use. The host sets them
// from its program options (SetHttpProxyOptions, also while requests run);
// connections read a copy (GetHttpProxyOptions). The reference is for
// set-up before any request (tests).
CProxyOptions& HttpProxyOptions();
void SetHttpProxyOptions(const CProxyOptions& options);
CProxyOptions GetHttpProxyOptions();

// The program-wide permission to answer Basic challenges without TLS on
// guarded connections: DWORD "AllowBasicAuthWithoutTls" under
// HKCU\Software\Zorvek Systems\Torvane, off when absent or 0.
bool HttpPlainBasicAllowed();
// True for a literal loopback address (127.0.0.0/8, ::1, [::1]).
bool HttpIsLoopbackHost(const CNarrowString& host);
// True when a Basic challenge on the connection's current target must not be
// answered (see m_bGuardPlainBasic), and the error text that says so.
bool HttpPlainBasicRefused(const ZorHttpConn& conn);
CWideString HttpPlainBasicRefusedText(const ZorHttpConn& conn);
// The parameters without server credentials: back-ends that sign their
// requests or carry tokens connect with these, so that no challenge can
// draw their secret out.
HttpConnectParams HttpWithoutServerCredentials(const HttpConnectParams& params);

// The site (registrable domain) of a host: a cookie file's cookies stay
// within one site.
CNarrowString HttpSiteOf(const CNarrowString& host);
// The origin of a target: scheme, host (lower case) and port. Credentials,
// the caller's Authorization and Cookie lines, the connection's cookies and
// a request body follow a redirect only within one origin.
CNarrowString HttpOriginOf(bool bTls, const CNarrowString& host, int port);

// Where a redirect's location leads from the current host, port and TLS
// setting: a path on the same host, or an absolute http(s) URL (a default
// port by scheme, "/" for an empty path). False for an empty location, one
// holding blanks or control characters, or one of any other form.
bool HttpRedirectTarget(const CNarrowString& location, CNarrowString& host, int& port, bool& tls,
                        CNarrowString& path);

// Methods that may be sent twice with the effect of once (GET, HEAD, PUT,
// DELETE, OPTIONS, TRACE and the WebDAV reads and property, copy and unlock
// requests).
bool HttpIsIdempotent(const char* method);
// Whether a failed request may be sent again: an idempotent one always, any
// other only when its last attempt did not go out whole (rsp.m_bSentWhole),
// since the server may have acted on it.
bool HttpMayResend(const char* method, const CRsp& rsp);

// Where bodies too large for memory go: the program log's folder, else the
// system's temporary folder.
CWideString HttpSpillFolder();

// ---------------------------------------------------------------- the connection
class ZorHttpConn {
public:
    // configured target
    CNarrowString m_sHost;
    int32_t m_nPort = 0;
    uint8_t m_bTls = 0;
    uint8_t m_bProxyStyle = 1;
    // the target of the open connection
    CNarrowString m_sCurHost;
    int32_t m_nCurPort = 0;
    uint8_t m_bCurTls = 0;
    uint8_t m_bCurProxyStyle = 0;
    CNarrowString m_sLastPath;
    ICopyProgress* m_pProgress = nullptr; // borrowed
    uint8_t m_bWinInet = 0;               // the libcurl transport
    uint8_t m_bIgnoreCertErrors = 0;
    uint8_t m_bCookies = 0;
    int32_t m_nAttemptLimit = 5;
    uint8_t m_bCookieFiles = 0;
    CWideString m_sUserID;
    CWideString m_sPassword;
    int64_t m_nRequestStart = 0;
    int64_t m_nLastActivity = 0;
    ZorSocket m_sock;
    uint8_t m_bConnected = 0;
    int32_t m_nAuthState = 0; // HttpAuthState
    DigestAuthRecord m_digest;
    CNarrowString m_sProxyHost;
    int32_t m_nProxyPort = 0;
    uint8_t m_bUseProxy = 1;
    uint8_t m_bTunnel = 0;
    CNarrowString m_sTargetUrl;
    CNarrowString m_sProxyUser;
    CNarrowString m_sProxyPassword;
    int32_t m_nProxyAuthState = 0;
    uint8_t m_bCloseAfterResponse = 0;
    int32_t m_nRedirects = 0;
    CWideString m_sClientCertFile;
    HttpCookieMap m_mapCookies;
    CNarrowString m_sCookieSite;
    // the origin whose credentials and caller's header lines the requests may carry
    CNarrowString m_sCredentialOrigin;
    uint8_t m_bForeignSite = 0; // a redirect left the credential origin
    // libcurl transport
    void* m_pCurl = nullptr; // CURL easy handle
    CNarrowString m_sCurlHost;
    uint8_t m_bCurlServerCreds = 0;
    uint8_t m_bCurlProxyCreds = 0;
    int32_t m_nConnectTimeout = 0;
    int32_t m_nTimeout = 90;
    // On for every connection: a Basic challenge on a connection without TLS
    // is answered only for a loopback target or when HttpPlainBasicAllowed()
    // says so; otherwise the request fails with kind 2. Digest and proxy
    // credentials are not affected.
    uint8_t m_bGuardPlainBasic = 1;
    // The end of the running time budget, in the clock's monotonic
    // milliseconds (0: none runs). The outermost request or set-up opens it
    // (HttpBudgetScope); what runs inside (a CONNECT, a reconnect, a redirect's
    // connect) shares it.
    int64_t m_nBudgetEnd = 0;

    ZorHttpConn();
    ~ZorHttpConn();
    ZorHttpConn(const ZorHttpConn&) = delete;
    ZorHttpConn& operator=(const ZorHttpConn&) = delete;

    void Reset();
    void Close();
    // Notes activity for the response timing.
    void Touch();
};

// Opens the connection's time budget (kHttpRetryBudgetFactor time-outs)
// unless one is running; the scope that opened it closes it.
class HttpBudgetScope {
public:
    explicit HttpBudgetScope(ZorHttpConn& conn);
    ~HttpBudgetScope();
    HttpBudgetScope(const HttpBudgetScope&) = delete;
    HttpBudgetScope& operator=(const HttpBudgetScope&) = delete;

private:
    ZorHttpConn& m_conn;
    bool m_bOwner;
};
// Milliseconds left of the running budget (0 when spent; the whole budget
// when none runs).
int64_t HttpBudgetLeftMs(const ZorHttpConn& conn);
// "Time out: no answer within N seconds", N the budget of the connection.
CWideString HttpBudgetSpentText(const ZorHttpConn& conn);
// Starts the deadline of the answer to a request just sent (kHttpAnswerFloorBytes).
void HttpStartAnswerDeadline(ZorHttpConn& conn);

bool HttpConfigureAndConnect(ZorHttpConn& conn, const HttpConnectParams& params, ICopyProgress* pProgress,
                             int& kind, CWideString& err);
bool HttpConnect(ZorHttpConn& conn, bool bTakeTarget, bool bReportProxy, ICopyProgress* pProgress, int& kind,
                 CWideString& err);
bool HttpReconnect(ZorHttpConn& conn, int& kind, CWideString& err);

// One exchange on an open connection (see zor-http-engine.cpp).
bool HttpDoRequest(ZorHttpConn& conn, const char* method, const CNarrowString& path, CRsp& rsp, bool bReadToClose,
                   int& kind, CWideString& err);
// Fetches a file://, http:// or https:// URL (params.m_sUrl) into rsp.
// bGuardPlainBasic sets the connection's m_bGuardPlainBasic.
bool HttpGetUrl(CRsp& rsp, const HttpConnectParams& params, const char* method, ICopyProgress* pProgress,
                int& kind, CWideString& err, bool bGuardPlainBasic = true);

// ---------------------------------------------------------------- framing
// The request head: request line, Content-Length (or chunked), the header
// block, Host, Connection, Pragma, Cache-Control, User-Agent, empty line.
bool HttpWriteRequestHead(ZorSocket& s, const CNarrowString& requestLine, const CNarrowString& headers,
                          const CNarrowString& hostLine, bool bChunked, int64_t nLength, int& kind, CWideString& err);
// Status line and header lines of an answer.
bool HttpReadStatusAndHeaders(ZorSocket& s, int64_t& nLength, HttpHeaderMap& map, int& nStatus,
                              CNarrowString& reason, bool& bClose, int& kind, CWideString& err);
// The same header rules over a CR LF text whose first line (the status line) is skipped.
bool HttpParseRawHeaders(const CNarrowString& raw, int64_t& nLength, HttpHeaderMap& map, bool& bClose, int& kind,
                         CWideString& err);
// One chunk-size line: hexadecimal digits, then the end, a blank, a tab or
// a chunk extension (";..."), which is ignored.
bool HttpParseChunkSize(const CNarrowString& line, int64_t& nSize, int& kind, CWideString& err);

// Where a body goes and how far memory may hold it.
struct HttpBodyTarget {
    CNarrowString* pText = nullptr; // memory target (with nMemoryLimit)
    CWideString sFile;              // file target when not empty
    int64_t nMemoryLimit = kHttpMemoryBodyLimit;
    // Beyond the memory limit: with bSpillAllowed the bytes move to a
    // temporary file in sSpillFolder (sFile gets its name, bSpilled set);
    // otherwise the read stops with "Response body is too long for memory".
    bool bSpillAllowed = false;
    CWideString sSpillFolder;
    bool bSpilled = false;
    bool bRefused = false;  // stopped at the memory limit
    int64_t nReceived = 0; // bytes delivered
    // The most bytes the body may have (-1: no limit); more fail with
    // "Response body is longer than %lld bytes".
    int64_t nMaxBytes = -1;
};

// The body limit of an answer: for a 2xx answer the record's own
// (m_nMaxBody) when set, else the default for where the body goes
// (bCallerFile: the caller's m_sBodyFile); other answers (error texts) keep
// the default.
int64_t HttpBodyLimit(const CRsp& rsp, int nStatus, bool bCallerFile);

// Delivers body bytes to a target's memory or file; spills memory to a
// temporary file (mode 0600) when allowed, refuses otherwise.
class HttpBodySink {
public:
    HttpBodySink(HttpBodyTarget& t, ZorHttpConn* pConn);
    ~HttpBodySink();
    HttpBodySink(const HttpBodySink&) = delete;
    HttpBodySink& operator=(const HttpBodySink&) = delete;

    bool Open(int& kind, CWideString& err);
    // A declared length: refuses (or spills) before a byte is read.
    bool Announce(int64_t nLength, int& kind, CWideString& err);
    bool Put(const char* p, int n, int& kind, CWideString& err);
    bool Finish(int& kind, CWideString& err);
    bool IsFile() const { return m_file.IsOpen(); }
    bool StartedAsFile() const { return !m_bMemory; }

private:
    HttpBodyTarget& m_t;
    ZorHttpConn* m_pConn;
    bool m_bMemory = true;
    CFileHandle m_file;
    char m_buf[32768];
    int m_nBuf = 0;

    bool OpenFile(const CWideString& path, int& kind, CWideString& err);
    bool WithinLimit(int64_t nTotal, int& kind, CWideString& err);
    bool Overflow(int64_t nBytes, int& kind, CWideString& err);
    bool FlushFile(int& kind, CWideString& err);
};

// Reads a body into memory (bReadToClose: an undeclared length runs to the
// end of the stream). A failure closes the socket.
bool HttpReadBody(ZorSocket& s, bool bReadToClose, int64_t nLength, CNarrowString& text, int& kind,
                  CWideString& err);
// Reads a body to the target; progress and activity through conn when given.
bool HttpReadBodyTo(ZorSocket& s, ZorHttpConn* pConn, bool bReadToClose, int64_t nLength, HttpBodyTarget& target,
                    int& kind, CWideString& err);
// Reads a 2xx body into a file (conn's socket), with progress reports.
bool HttpDownloadToFile(ZorHttpConn& conn, const CWideString& file, CRsp& rsp, int& kind, CWideString& err);
// Sends a file body, raw or chunked, checking the promised length.
bool HttpUploadBody(ZorHttpConn& conn, CBufferedFile& source, bool bChunked, CRsp& rsp, int& kind,
                    CWideString& err);
bool HttpWriteChunk(ZorSocket& s, const void* data, int len, int& kind, CWideString& err);
// Reads and drops a body still pending on the record.
bool HttpDrainBody(CRsp& rsp, ZorSocket& s, int& kind, CWideString& err);

// ---------------------------------------------------------------- libcurl transport
bool HttpCurlConnect(ZorHttpConn& conn, int& kind, CWideString& err);
bool HttpCurlDoRequest(ZorHttpConn& conn, const char* method, const CNarrowString& path, CRsp& rsp,
                       const CNarrowString& bodyLog, int& kind, CWideString& err);
void HttpCurlClose(ZorHttpConn& conn);
