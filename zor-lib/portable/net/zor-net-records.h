// Plain records shared by the network layer and the layers above it: the
// error kinds, the progress/stop/message interface, the HTTP connection
// parameters and response record, the proxy settings and the mail-server
// settings. Their readers and writers live with the layers that store them.
#pragma once

#include "zor-string.h"
#include "zor-coll.h"
#include "zor-text.h"

#include <cstdint>

class CBufferedFile;
class ZorHttpConn;

// ============================================================ error kinds
// The error kind stored beside every error text. The numbers are shared with
// the foundation's ZEK_* values.
enum FsErrorKind : int {
    FSE_NONE = 0,
    FSE_PROXY = 1,       // a proxy that cannot be used or refuses the credentials
    FSE_AUTH = 2,        // authorisation
    FSE_CONN_LOST = 3,   // connection lost (callers may retry)
    FSE_CONN_CLOSED = 4, // closed before an answer, or timed out (callers may retry)
    FSE_GENERAL = 5,
    FSE_NOT_FOUND = 7, // bad reply or not found
    FSE_QUOTA = 8,
    FSE_NO_MEMORY = 9,
    FSE_STOPPED = 10, // stopped by the user
    FSE_CLOUD_CACHE = 11,
};

// True for the kinds a reconnect may cure (3 and 4).
inline bool IsConnectionError(int kind) {
    return kind == FSE_CONN_LOST || kind == FSE_CONN_CLOSED;
}

// ============================================================ ICopyProgress
// The progress, stop and message callback every long operation receives.
// A caller sets the scaling words around a transfer: while m_nDivisor is not
// 0 a reported position p becomes (p + m_nOffset) * m_nMultiplier / m_nDivisor
// + m_nBase, computed in 128 bits (no overflow for files over 4 GiB). The
// total handed on is m_nTotal (-1 unknown), scaled the same way when known.
class ICopyProgress {
public:
    int64_t m_nDivisor = 0;
    int64_t m_nOffset = 0;
    int64_t m_nMultiplier = 0;
    int64_t m_nBase = 0;
    int64_t m_nTotal = -1; // total of the current transfer, -1 unknown
    uint8_t m_bStopRequested = 0;
    uint8_t m_bSuppressStop = 0;

    virtual ~ICopyProgress();
    // Progress report: upload flag, bytes done, total (-1 unknown). Returns
    // false to stop; the error kind and text then say why.
    virtual bool OnProgress(bool bUpload, int64_t nDone, int64_t nTotal, int& errKind, CWideString& err) = 0;
    // A stop was requested and is not suppressed.
    virtual bool IsStopped() const { return m_bStopRequested && !m_bSuppressStop; }
    // Clears the stop request and the suppress flag.
    virtual void ResetStop() {
        m_bStopRequested = 0;
        m_bSuppressStop = 0;
    }
    virtual void RequestStop() { m_bStopRequested = 1; }
    virtual void SetSuppressStop(bool b) { m_bSuppressStop = b ? 1 : 0; }
    // Message at a level (1 error, 2 normal, 3 detail).
    virtual void OnMessage(int level, const CWideString& text) = 0;
    virtual bool Query() { return true; }
    virtual void Hook() {}
    // Whether messages of that level are wanted.
    virtual bool WantsLevel(int level) const {
        (void)level;
        return true;
    }

    // Scales the position (see above) and hands it to OnProgress.
    bool ReportProgress(bool bFlag, int64_t nPos, int& errKind, CWideString& err);
    // The scaling alone (128-bit intermediate, result clamped to 64 bits).
    int64_t ScalePosition(int64_t nPos) const;
    // Null-safe forms: a null callback means continue / not stopped / no message.
    static bool Report(ICopyProgress* p, bool bFlag, int64_t nPos, int& errKind, CWideString& err) {
        return p ? p->ReportProgress(bFlag, nPos, errKind, err) : true;
    }
    static bool Stopped(const ICopyProgress* p) { return p && p->IsStopped(); }
    static void Message(ICopyProgress* p, int level, const CWideString& text) {
        if (p) p->OnMessage(level, text);
    }
};

// Sets the error for a stop: kind 10 and "stopped by user".
void SetStoppedByUser(int& errKind, CWideString& err);

// ============================================================ HTTP records
// The parameters an internet back-end fills and the HTTP client copies.
struct HttpConnectParams {
    CWideString m_sUrl;
    CWideString m_sUserID;
    CWideString m_sPassword;
    uint8_t m_bIgnoreBadCerts = 0;
    uint8_t m_bCookies = 0;
    uint8_t m_bCookieFiles = 0;
    uint8_t m_bWinInet = 0;
    uint8_t m_bUseProxy = 1;
    uint8_t m_bProxyStyle = 1;     // set for a plain, cleared for a secure connection
    int32_t m_nConnectTimeout = 0; // seconds
    int32_t m_nTimeout = 90;       // seconds
    uint32_t m_nUrlMode = 0;       // set to 1 by HttpGetUrl and the back-ends; unread by the client
    CNarrowString m_sHost;         // UTF-8
    int32_t m_nPort = 0;
    int32_t m_nTls = 0;
    CWideString m_sClientCertFile;

    HttpConnectParams() = default;
    HttpConnectParams(const HttpConnectParams&) = default;
    HttpConnectParams& operator=(const HttpConnectParams&) = default;
};

// The record of one HTTP exchange. The HTTP client (RequestResponse,
// GetHeader) is defined with the client itself.
class CRsp {
public:
    // -- set by the caller before the request
    CNarrowString m_sReqHeaders; // extra header lines, each ending in CR LF
    CNarrowString m_sReqBody;
    CBufferedFile* m_pReqBodyFile = nullptr; // open body source, borrowed
    CNarrowString m_sBodyPrefix;             // sent before the source's data
    CNarrowString m_sBodySuffix;             // sent after it
    uint8_t m_bExpectAllowed = 0;
    uint8_t m_bNoRetry = 0;
    CWideString m_sBodyFile; // file that receives a 2xx body
    uint8_t m_bAcceptFileBody = 0;
    uint8_t m_nRspOptions = 0;
    // The most body bytes the answer may bring; a longer body fails. -1: the
    // client's default (a finite one for a body spilled to a temporary file,
    // none for m_sBodyFile).
    int64_t m_nMaxBody = -1;
    // -- filled by the HTTP client
    int32_t m_nStatus = 0;
    CNarrowString m_sReason;
    CNarrowString m_sServer;                              // the "server" header value
    CodeTextPair m_ServerVersion;                         // zor-text.h
    CHashMapT<CNarrowString, CNarrowString> m_mapHeaders; // lower-case name -> value
    int64_t m_nContentLength = kNoLength;
    int64_t m_nBodyLength = 0;
    CNarrowString m_sBody;
    uint8_t m_bBodyComplete = 0;
    uint8_t m_bTempBodyFile = 0; // m_sBodyFile is ours: deleted on reset/destruction
    // The last attempt's request went out whole: the server may have acted
    // on it even when no answer came (see HttpMayResend).
    uint8_t m_bSentWhole = 0;
    CNarrowString m_sSessionID;
    uint32_t m_nSeqNo = 0;
    int32_t m_nTotalTime = 0; // seconds
    int32_t m_nWaitTime = 0;  // seconds

    static constexpr int64_t kNoLength = 0x7FFFFFFFFFFFFFFFLL;
    static constexpr int64_t kChunked = 0x7FFFFFFFFFFFFFFELL;

    CRsp() = default;
    CRsp(const CRsp&) = delete;
    CRsp& operator=(const CRsp&) = delete;
    ~CRsp();
    // Clears the reply part (status, headers, body; a temporary body file is deleted).
    void ResetResponse();
    // Clears everything.
    void Reset();

    // Defined by the HTTP client.
    bool RequestResponse(ZorHttpConn& conn, const char* method, const CWideString& path, int& errKind,
                         CWideString& err);
    CNarrowString GetHeader(const char* lowerName) const;
};

// ============================================================ proxy and mail
// The program's proxy settings (the options' "ProxyServer" block).
struct CProxyOptions {
    bool m_bUseWinInetProxy = true;
    bool m_bUseProxyBelow = false;
    CNarrowString m_sHost;
    int32_t m_nPort = 0;
    CNarrowString m_sUserID;
    CNarrowString m_sPassword;

    CProxyOptions() = default;
    ~CProxyOptions() = default;
    bool operator==(const CProxyOptions& o) const;
};

// The mail server settings of the result e-mail (the program options'
// "SmtpServer" block). Copying copies all six fields.
struct SmtpServerInfo {
    CWideString m_sHost;
    int32_t m_nPort = 587;
    uint8_t m_bSecureSSL = 0;
    CWideString m_sUserID;
    CWideString m_sPassword;
    CWideString m_sSenderEmail; // a display name and "<address>", or a bare address
};
