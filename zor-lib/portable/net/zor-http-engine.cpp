// The HTTP request engine: one exchange on an open connection with its
// attempt loop (lost keep-alive connections, redirects, server and proxy
// challenges, cookies, a server's request to retry later), the back-ends'
// entry CRsp::RequestResponse, and HttpGetUrl.
#include "zor-http.h"

#include "zor-file.h"
#include "zor-log.h"
#include "zor-proxy-discovery.h"
#include "zor-sitekey.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"
#include "zor-url.h"
#include "zor-registry.h"

#include <arpa/inet.h>

#include <poll.h>

#include <chrono>

#ifndef TV_HTTP_SUPPORT_ADDRESS
#define TV_HTTP_SUPPORT_ADDRESS "support@torvane.invalid"
#endif

CNarrowString g_sHttpUserAgent;
CNarrowString g_sHttpSystemInfo;
const char* const g_szHttpSupportAddress = TV_HTTP_SUPPORT_ADDRESS;
const char* g_szHttpCurlLibrary = "libcurl.so.4";

CNarrowString HttpSiteOf(const CNarrowString& host) {
    return WideToUtf8(UrlSiteKey(CWideString(u"http://") + Utf8ToWide(host), true, false, false));
}

CNarrowString HttpOriginOf(bool bTls, const CNarrowString& host, int port) {
    CNarrowString h(host);
    h.MakeLower();
    return CNarrowString::Formatted("%s://%s:%d", bTls ? "https" : "http", h, port);
}

bool HttpRedirectTarget(const CNarrowString& location, CNarrowString& host, int& port, bool& tls,
                        CNarrowString& path) {
    if (location.IsEmpty()) return false;
    for (int i = 0; i < location.GetLength(); ++i)
        if ((unsigned char)location[i] <= ' ' || location[i] == 0x7F) return false;
    if (location[0] == '/' && (location.GetLength() < 2 || location[1] != '/')) {
        path = location; // a path on the same host
        return true;
    }
    ZorUrl url;
    if (!ParseUrl(Utf8ToWide(location).GetString(), url) || url.GetHost().IsEmpty() ||
        (url.GetSchemeIndex() != ZURL_SCHEME_HTTP && url.GetSchemeIndex() != ZURL_SCHEME_HTTPS))
        return false;
    tls = url.GetSchemeIndex() == ZURL_SCHEME_HTTPS;
    host = WideToUtf8(url.GetHost());
    port = url.GetPort() ? url.GetPort() : (tls ? 443 : 80);
    path = WideToUtf8(url.GetPathAndExtra());
    if (path.IsEmpty()) path = "/";
    return true;
}

bool HttpIsIdempotent(const char* method) {
    static const char* const kMethods[] = {"GET", "HEAD", "PUT", "DELETE", "OPTIONS", "TRACE",
                                           "PROPFIND", "PROPPATCH", "COPY", "UNLOCK"};
    for (const char* m : kMethods)
        if (!strcmp(method, m)) return true;
    return false;
}

bool HttpMayResend(const char* method, const CRsp& rsp) {
    return HttpIsIdempotent(method) || !rsp.m_bSentWhole;
}

CWideString HttpSpillFolder() {
    CWideString folder = GetLogFolder();
    if (!folder.IsEmpty()) return folder;
    const char* tmp = getenv("TMPDIR");
    return Utf8ToWide(tmp && *tmp ? tmp : "/tmp");
}

namespace {

int64_t NowSeconds() {
    int64_t s = 0;
    int ms = 0;
    ZorGetClock().Now(s, ms);
    return s;
}

bool Fail(int& kind, CWideString& err, int k, const CWideString& text) {
    kind = k;
    err += text;
    return false;
}

// The reply part of the record, emptied before every attempt. A temporary
// body file of an earlier attempt is deleted.
void ClearResponsePart(CRsp& rsp) {
    if (rsp.m_bTempBodyFile && !rsp.m_sBodyFile.IsEmpty()) {
        ZorDeleteFileQuiet(rsp.m_sBodyFile);
        rsp.m_sBodyFile.Empty();
    }
    rsp.m_bTempBodyFile = 0;
    rsp.m_nStatus = 0;
    rsp.m_sReason.Empty();
    rsp.m_sServer.Empty();
    rsp.m_ServerVersion = CodeTextPair();
    rsp.m_mapHeaders.RemoveAll();
    rsp.m_nContentLength = 0;
    rsp.m_sBody.Empty();
    rsp.m_bBodyComplete = 0;
    rsp.m_bSentWhole = 0;
}

// "ZorSocket/a.b.c.d rest" names our own server: its version goes to the record.
void ParseServerVersion(CRsp& rsp) {
    if (!rsp.m_sServer.StartsWith("ZorSocket/")) return;
    CNarrowString rest = rsp.m_sServer.Mid(10, rsp.m_sServer.GetLength());
    CodeTextPair v;
    int part = 0;
    int i = 0;
    int n = rest.GetLength();
    while (part < 4 && i < n) {
        int num = 0;
        int digits = 0;
        while (i < n && rest[i] >= '0' && rest[i] <= '9' && digits < 3) {
            num = num * 10 + (rest[i] - '0');
            ++i;
            ++digits;
        }
        if (!digits) break;
        v.m_nVersion[part++] = (uint8_t)(num > 255 ? 255 : num);
        if (i < n && rest[i] == '.') ++i;
        else break;
    }
    while (i < n && rest[i] == ' ') ++i;
    v.m_sText = rest.Mid(i, n);
    rsp.m_ServerVersion = v;
}

// Removes the caller's lines that carry a name's value (case-insensitive).
CNarrowString WithoutLines(const CNarrowString& block, const char* const* names, int nNames) {
    CNarrowString out;
    int pos = 0;
    int n = block.GetLength();
    while (pos < n) {
        int end = block.Find('\n', pos);
        end = end < 0 ? n : end + 1;
        CNarrowString line = block.Mid(pos, end - pos);
        bool drop = false;
        for (int i = 0; i < nNames; ++i) {
            CNarrowString prefix(names[i]);
            prefix += ":";
            if (line.StartsWithNoCase(prefix)) drop = true;
        }
        if (!drop) out += line;
        pos = end;
    }
    return out;
}


// The caller's header block: lines of "name: value", each ending in CR LF,
// with no other CR, LF or NUL, so that no value can start a line of its own.
bool CheckCallerHeaders(const CNarrowString& block, int& kind, CWideString& err) {
    int pos = 0;
    int n = block.GetLength();
    while (pos < n) {
        int end = block.Find("\r\n", pos);
        CNarrowString line = block.Mid(pos, (end < 0 ? n : end) - pos);
        bool ok = end >= 0;
        int colon = line.Find(':');
        if (colon <= 0) ok = false;
        for (int i = 0; ok && i < line.GetLength(); ++i) {
            unsigned char c = (unsigned char)line[i];
            if (c == '\r' || c == '\n' || c == 0 || (i < colon && (c <= ' ' || c == 0x7F))) ok = false;
        }
        if (!ok)
            return Fail(kind, err, FSE_GENERAL,
                        CWideString(u"bad request header: ") + Utf8OrAnsiToWide(HttpCleanHeaderValue(line)));
        pos = end + 2;
    }
    return true;
}

// Whether the connection's cookie map belongs to the current target. Without
// cookie files the map holds the configured site's cookies only: a site
// reached by a redirect neither gets nor adds any.
bool CookiesApply(const ZorHttpConn& conn) {
    if (!conn.m_bCookies || conn.m_bTunnel) return false;
    return !conn.m_bForeignSite || (conn.m_bCookieFiles && !GetCookieFolder().IsEmpty());
}

// Loads the cookie file of the current host when the site changed.
void LoadSiteCookies(ZorHttpConn& conn) {
    if (!conn.m_bCookieFiles || GetCookieFolder().IsEmpty()) return;
    if (!conn.m_sCookieSite.IsEmpty() && EqualsNoCase(conn.m_sCookieSite, conn.m_sCurHost)) return;
    // cookies belong to one site: another site starts from its own file
    if (!conn.m_sCookieSite.IsEmpty() && HttpSiteOf(conn.m_sCookieSite) != HttpSiteOf(conn.m_sCurHost))
        conn.m_mapCookies.RemoveAll();
    conn.m_sCookieSite = conn.m_sCurHost;
    CNarrowString text;
    int kind = 0;
    CWideString err;
    if (!ReadCookieFile(conn.m_sCurHost, text, kind, err)) return;
    bool changed = false;
    ParseSetCookie(text, conn.m_mapCookies, changed);
}

bool SaveSiteCookies(ZorHttpConn& conn, int& kind, CWideString& err) {
    if (!conn.m_bCookieFiles || GetCookieFolder().IsEmpty()) return true;
    CNarrowString text;
    HttpCookieText(conn.m_mapCookies, text);
    CWideString e;
    if (!WriteCookieFile(conn.m_sCurHost, text, kind, e)) {
        err += u"writing cookie: ";
        err += e;
        return false;
    }
    return true;
}

// Waits up to ms for the first byte of an answer. This is a wait on the
// socket, measured on the monotonic clock like the socket's own time-outs.
bool WaitForAnswer(ZorSocket& s, int ms) {
    if (s.BufferedReadCount() > 0 || !s.IsOpen()) return true;
    pollfd p{s.m_hSocket, POLLIN, 0};
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || s.m_nStop.load()) return false;
        if (::poll(&p, 1, (int)std::min<int64_t>(left, 100)) != 0) return true;
    }
}

struct RequestBody {
    int64_t nLength = 0;
    bool bFile = false;
};

// Sends prefix, body and suffix, then flushes.
bool SendBody(ZorHttpConn& conn, CRsp& rsp, const RequestBody& body, int& kind, CWideString& err) {
    ZorSocket& s = conn.m_sock;
    if (!rsp.m_sBodyPrefix.IsEmpty() && !s.Write(rsp.m_sBodyPrefix.GetString(), rsp.m_sBodyPrefix.GetLength(), kind, err))
        return false;
    if (body.bFile) {
        if (!HttpUploadBody(conn, *rsp.m_pReqBodyFile, false, rsp, kind, err)) return false;
    } else if (!rsp.m_sReqBody.IsEmpty()) {
        if (!s.Write(rsp.m_sReqBody.GetString(), rsp.m_sReqBody.GetLength(), kind, err)) return false;
        conn.Touch();
    }
    if (!rsp.m_sBodySuffix.IsEmpty() && !s.Write(rsp.m_sBodySuffix.GetString(), rsp.m_sBodySuffix.GetLength(), kind, err))
        return false;
    return s.Flush(kind, err);
}

} // namespace

// ============================================================ ZorHttpConn
ZorHttpConn::ZorHttpConn() {
    Reset();
}

ZorHttpConn::~ZorHttpConn() {
    Close();
}

void ZorHttpConn::Reset() {
    Close();
    m_sHost.Empty();
    m_nPort = 0;
    m_bTls = 0;
    m_bProxyStyle = 1;
    m_sCurHost.Empty();
    m_nCurPort = 0;
    m_bCurTls = 0;
    m_bCurProxyStyle = 0;
    m_sLastPath.Empty();
    m_pProgress = nullptr;
    m_bWinInet = 0;
    m_bIgnoreCertErrors = 0;
    m_bCookies = 0;
    m_nAttemptLimit = 5;
    m_bCookieFiles = 0;
    m_sUserID.Empty();
    m_sPassword.Empty();
    m_nRequestStart = 0;
    m_nLastActivity = 0;
    m_sock.Reset(true);
    m_bConnected = 0;
    m_nAuthState = 0;
    m_digest = DigestAuthRecord();
    m_sProxyHost.Empty();
    m_nProxyPort = 0;
    m_bUseProxy = 1;
    m_bTunnel = 0;
    m_sTargetUrl.Empty();
    m_sProxyUser.Empty();
    m_sProxyPassword.Empty();
    m_nProxyAuthState = 0;
    m_bCloseAfterResponse = 0;
    m_nRedirects = 0;
    m_sClientCertFile.Empty();
    m_mapCookies.RemoveAll();
    m_sCookieSite.Empty();
    m_sCredentialOrigin.Empty();
    m_bForeignSite = 0;
    m_sCurlHost.Empty();
    m_bCurlServerCreds = 0;
    m_bCurlProxyCreds = 0;
    m_nConnectTimeout = 0;
    m_nTimeout = 90;
    m_bGuardPlainBasic = 1;
    m_nBudgetEnd = 0;
}

void ZorHttpConn::Close() {
    m_sock.CloseQuietly();
    HttpCurlClose(*this);
    m_bConnected = 0;
}

void ZorHttpConn::Touch() {
    m_nLastActivity = NowSeconds();
}

// ============================================================ time budget
namespace {
int64_t BudgetMs(const ZorHttpConn& conn) {
    return (int64_t)kHttpRetryBudgetFactor * 1000 * std::max(1, (int)conn.m_nTimeout);
}
} // namespace

HttpBudgetScope::HttpBudgetScope(ZorHttpConn& conn) : m_conn(conn), m_bOwner(conn.m_nBudgetEnd == 0) {
    if (m_bOwner) m_conn.m_nBudgetEnd = ZorGetClock().MonotonicMs() + BudgetMs(conn);
}

HttpBudgetScope::~HttpBudgetScope() {
    if (m_bOwner) m_conn.m_nBudgetEnd = 0;
}

int64_t HttpBudgetLeftMs(const ZorHttpConn& conn) {
    if (conn.m_nBudgetEnd == 0) return BudgetMs(conn);
    return std::max<int64_t>(0, conn.m_nBudgetEnd - ZorGetClock().MonotonicMs());
}

void HttpStartAnswerDeadline(ZorHttpConn& conn) {
    conn.m_sock.StartAnswerDeadline(BudgetMs(conn), kHttpAnswerFloorBytes);
}

CWideString HttpBudgetSpentText(const ZorHttpConn& conn) {
    return CWideString::Formatted(u"Time out: no answer within %lld seconds",
                                  (long long)(BudgetMs(conn) / 1000));
}

// ============================================================ the engine
bool HttpDoRequest(ZorHttpConn& conn, const char* method, const CNarrowString& pathIn, CRsp& rsp, bool bReadToClose,
                   int& kind, CWideString& err) {
    ICopyProgress* prog = conn.m_pProgress;
    // Nothing that could end a line of the head gets into the request line.
    for (const char* p = method; *p; ++p)
        if ((unsigned char)*p <= ' ' || *p == 0x7F) return Fail(kind, err, FSE_GENERAL, CWideString(u"bad request method"));
    for (int i = 0; i < pathIn.GetLength(); ++i)
        if ((unsigned char)pathIn[i] <= ' ' || pathIn[i] == 0x7F)
            return Fail(kind, err, FSE_GENERAL, CWideString(u"bad request path: ") + Utf8OrAnsiToWide(HttpCleanHeaderValue(pathIn)));
    if (!CheckCallerHeaders(rsp.m_sReqHeaders, kind, err)) return false;
    // the target, the reply part and the body source
    if (prog && !prog->OnProgress(false, -1, -1, kind, err)) return false;
    if (!conn.m_sCurHost.IsEmpty() && !conn.m_bTunnel &&
        (conn.m_sHost != conn.m_sCurHost || conn.m_nPort != conn.m_nCurPort || conn.m_bTls != conn.m_bCurTls))
        conn.m_sock.CloseQuietly();
    conn.m_sCurHost = conn.m_sHost;
    conn.m_nCurPort = conn.m_nPort;
    conn.m_bCurTls = conn.m_bTls;
    conn.m_bCurProxyStyle = conn.m_bProxyStyle;
    if (!conn.m_bTunnel) conn.m_bForeignSite = 0; // every call starts at the configured site
    ClearResponsePart(rsp);
    const CWideString callerBodyFile = rsp.m_sBodyFile;

    RequestBody body;
    CNarrowString bodyLog;
    CBufferedFile* src = rsp.m_pReqBodyFile;
    if (src && src->m_sFileName.IsEmpty() && (src->m_nSize == 0 || src->m_nSize == -1)) src = nullptr;
    if (src) {
        if (!src->Open(kind, err)) return false;
        body.bFile = true;
        body.nLength = src->m_nSize;
        bodyLog.Format("file@%lld:%s", (long long)body.nLength, WideToUtf8(src->GetOpenName()));
    } else if (!rsp.m_sReqBody.IsEmpty()) {
        body.nLength = rsp.m_sReqBody.GetLength();
        bodyLog.Format("mem@%d", rsp.m_sReqBody.GetLength());
    }
    rsp.m_nBodyLength = body.nLength;
    if (prog && prog->WantsLevel(3)) {
        CNarrowString line;
        line.Format("CReq-> %s:%d %s %s h=[%s] b=[%s]", conn.m_sCurHost, conn.m_nCurPort, method, pathIn,
                    HttpRequestHeadersForLog(rsp.m_sReqHeaders), bodyLog);
        prog->OnMessage(3, Utf8OrAnsiToWide(line));
    }
    // the attempts of one request share one time budget (a CONNECT inside a
    // request or a set-up shares the outer one)
    HttpBudgetScope budget(conn);
    if (conn.m_bWinInet && !conn.m_bTunnel) return HttpCurlDoRequest(conn, method, pathIn, rsp, bodyLog, kind, err);

    // the attempt loop on our own sockets; an answer's deadline ends with it
    struct AnswerDeadlineOff {
        ZorSocket& s;
        ~AnswerDeadlineOff() { s.StopAnswerDeadline(); }
    } deadlineOff{conn.m_sock};
    CNarrowString path(pathIn);
    CWideString history;
    int attempt = -1;
    int stale = 0;
    bool dropProxy = false;
    CWideString dropText;
    bool noExpect = false;
    static const char* const kSiteLines[] = {"authorization", "cookie"};
    for (;;) {
        if (attempt >= 0 && HttpBudgetLeftMs(conn) <= 0) {
            conn.m_sock.CloseQuietly();
            err += history;
            err += u"; ";
            err += HttpBudgetSpentText(conn);
            kind = FSE_CONN_LOST;
            return false;
        }
        kind = 0;
        ClearResponsePart(rsp);
        if (!conn.m_bTunnel) conn.m_sLastPath = path;
        if (ICopyProgress::Stopped(prog)) return Fail(kind, err, FSE_STOPPED, CWideString(u"stopped by user"));
        if (dropProxy) {
            ICopyProgress::Message(prog, 1, CWideString(u"HTTP proxy error, try direct connection: ") + dropText);
            conn.m_sProxyHost.Empty();
            conn.m_nProxyPort = 0;
            conn.m_bUseProxy = 0;
            conn.m_sock.CloseQuietly();
        }
        if (++attempt >= conn.m_nAttemptLimit) {
            err += history;
            err += CWideString::Formatted(u"; Too many send-receive attempts, please report to %s", g_szHttpSupportAddress);
            kind = FSE_NOT_FOUND;
            return false;
        }
        // a kept-alive connection that the server has closed meanwhile is
        // replaced before the request goes out on it
        if (conn.m_sock.IsOpen() && conn.m_sock.PeerHasClosed()) conn.m_sock.CloseQuietly();
        if (!conn.m_sock.IsOpen()) {
            CWideString e;
            if (!HttpReconnect(conn, kind, e)) {
                conn.Close();
                if (!history.IsEmpty()) {
                    err += history;
                    err += u", on reconnect: ";
                }
                err += e;
                return false;
            }
        }
        conn.m_sock.StartLowSpeedWindow(kHttpLowSpeedBytes);
        // the header block
        CNarrowString headers = conn.m_bForeignSite ? WithoutLines(rsp.m_sReqHeaders, kSiteLines, 2) : rsp.m_sReqHeaders;
        // a CONNECT goes to the proxy: it carries proxy credentials only
        if (!conn.m_bTunnel && (conn.m_nAuthState == 1 || conn.m_nAuthState == 2)) {
            if (conn.m_sUserID.IsEmpty())
                return Fail(kind, err, FSE_AUTH,
                            CWideString::Formatted(u"Server requests authentication %d, but you have not provided even UserID",
                                                   conn.m_nAuthState));
            CNarrowString line;
            bool ok = conn.m_nAuthState == 1
                          ? BuildBasicAuthorization(false, conn.m_sUserID, conn.m_sPassword, line, kind, err)
                          : BuildDigestAuthorization(conn.m_digest, line, CNarrowString(method), path, conn.m_sUserID,
                                                     kind, err);
            if (!ok) return false;
            headers += line;
        }
        bool httpProxy = conn.m_bUseProxy && !conn.m_sProxyHost.IsEmpty() && conn.m_bCurProxyStyle;
        if (conn.m_nProxyAuthState == 1 && (httpProxy || conn.m_bTunnel)) {
            if (conn.m_sProxyUser.IsEmpty())
                return Fail(kind, err, FSE_AUTH,
                            CWideString::Formatted(u"Proxy requests authentication %d, but you have not provided even UserID",
                                                   conn.m_nProxyAuthState));
            CNarrowString line;
            if (!BuildBasicAuthorization(true, Utf8ToWide(conn.m_sProxyUser), Utf8ToWide(conn.m_sProxyPassword), line,
                                         kind, err)) {
                kind = FSE_PROXY;
                return false;
            }
            headers += line;
        }
        if (CookiesApply(conn)) {
            LoadSiteCookies(conn);
            CNarrowString text;
            HttpCookieText(conn.m_mapCookies, text);
            AppendHeaderLine(headers, "Cookie", text);
        }
        if (!headers.StartsWith("Date:") && headers.Find("\r\nDate:") < 0) {
            CNarrowString date;
            CWideString e;
            if (FormatInternetTime(NowSeconds(), date, e)) headers.AppendFormat("Date: %s\r\n", date);
        }
        bool usingProxy = conn.m_bUseProxy && !conn.m_sProxyHost.IsEmpty();
        bool expect = !usingProxy && !noExpect && rsp.m_bExpectAllowed && body.nLength >= 65536;
        if (expect) headers += "Expect: 100-continue\r\n";
        // request line and head
        CNarrowString requestLine;
        if (httpProxy)
            requestLine.Format("%s http://%s:%d%s HTTP/1.1", method, conn.m_sCurHost, conn.m_nCurPort, path);
        else
            requestLine.Format("%s %s HTTP/1.1", method, path);
        // a port other than the scheme's default is part of the Host line
        CNarrowString hostLine = conn.m_sCurHost;
        if (!hostLine.IsEmpty() && conn.m_nCurPort != (conn.m_bCurTls ? 443 : 80) && !conn.m_bTunnel)
            hostLine.AppendFormat(":%d", conn.m_nCurPort);
        if (conn.m_bTunnel) hostLine = path;
        int64_t total = body.nLength + rsp.m_sBodyPrefix.GetLength() + rsp.m_sBodySuffix.GetLength();
        if (!body.bFile && rsp.m_sReqBody.GetLength() >= 0x40000000)
            return Fail(kind, err, FSE_GENERAL, CWideString::Formatted(u"HTTP string body too long: %lld", (long long)total));
        CWideString sendErr;
        bool sent = HttpWriteRequestHead(conn.m_sock, requestLine, headers, hostLine, false, total, kind, sendErr);
        bool bodyWithheld = expect;
        if (sent && !expect) sent = SendBody(conn, rsp, body, kind, sendErr);
        if (sent && expect) {
            sent = conn.m_sock.Flush(kind, sendErr);
            // a server that ignores Expect gets the body after a short wait
            if (sent && !WaitForAnswer(conn.m_sock, kHttpExpectWaitMs)) {
                bodyWithheld = false;
                sent = SendBody(conn, rsp, body, kind, sendErr);
            }
        }
        // once the whole request is out the server may act on it: a request
        // that is not idempotent is not sent again after that
        rsp.m_bSentWhole = sent && !bodyWithheld;
        auto mayResend = [&] { return !rsp.m_bNoRetry && HttpMayResend(method, rsp); };
        if (!sent) {
            // a failed send: the server has at most part of the request
            if (rsp.m_bNoRetry || !IsConnectionError(kind) || conn.m_sock.m_nStop.load() || attempt >= 2) {
                conn.m_sock.CloseQuietly();
                err += u"uploading file: ";
                err += sendErr;
                return false;
            }
            if (history.IsEmpty()) history = sendErr;
            conn.m_sock.CloseQuietly();
            continue;
        }
        conn.Touch();
        HttpStartAnswerDeadline(conn);
        // the answer's head (interim answers skipped; 100 releases a withheld body)
        bool readOk = true;
        CWideString readErr;
        bool bClose = false;
        for (int interim = 0; interim < 20; ++interim) {
            readOk = HttpReadStatusAndHeaders(conn.m_sock, rsp.m_nContentLength, rsp.m_mapHeaders, rsp.m_nStatus,
                                              rsp.m_sReason, bClose, kind, readErr);
            if (!readOk) break;
            if (rsp.m_nContentLength == kHttpNoLength &&
                (rsp.m_nStatus == 0 || (rsp.m_nStatus >= 100 && rsp.m_nStatus < 200) || rsp.m_nStatus == 204 ||
                 rsp.m_nStatus == 304))
                rsp.m_nContentLength = 0;
            if (rsp.m_nStatus < 100 || rsp.m_nStatus >= 200 || !strcmp(method, "HEAD")) break;
            if (rsp.m_nStatus == 100 && bodyWithheld) {
                bodyWithheld = false;
                CWideString e;
                rsp.m_bSentWhole = 1;
                if (!SendBody(conn, rsp, body, kind, e)) {
                    conn.m_sock.CloseQuietly();
                    err += u"uploading file: ";
                    err += e;
                    return false;
                }
                HttpStartAnswerDeadline(conn);
            }
        }
        if (!readOk) {
            // only a connection dropped before the answer began is retried, and
            // only when the request may be sent again
            if (!mayResend() || kind != FSE_CONN_CLOSED || conn.m_sock.m_nStop.load() || attempt >= 3) {
                conn.m_sock.CloseQuietly();
                err += readErr;
                return false;
            }
            if (history.IsEmpty()) history = readErr;
            conn.m_sock.CloseQuietly();
            continue;
        }
        rsp.m_sServer = rsp.GetHeader("server");
        ParseServerVersion(rsp);
        if (bClose) conn.m_bCloseAfterResponse = 1;
        if (bReadToClose && !conn.m_bCloseAfterResponse && rsp.m_nContentLength == kHttpNoLength)
            conn.m_bCloseAfterResponse = 1;
        // a final answer while the body was withheld: the server may still
        // wait for it, so the connection ends with this answer
        if (bodyWithheld) conn.m_bCloseAfterResponse = 1;
        // the answer's body: the caller's file for a 2xx answer, else memory
        bool is2xx = rsp.m_nStatus >= 200 && rsp.m_nStatus < 300;
        if (!strcmp(method, "HEAD")) {
            rsp.m_bBodyComplete = 1;
        } else {
            CWideString bodyFile = is2xx ? callerBodyFile : CWideString();
            if (!bodyFile.IsEmpty()) {
                CWideString e;
                rsp.m_sBodyFile = bodyFile;
                // a download into the caller's file reports its progress (and
                // may be held back by a speed limit): the low-speed limit
                // watches it, the answer's deadline does not
                conn.m_sock.StopAnswerDeadline();
                if (!HttpDownloadToFile(conn, bodyFile, rsp, kind, e)) {
                    if (mayResend() && IsConnectionError(kind) && !conn.m_sock.m_nStop.load() && attempt < 2) {
                        if (history.IsEmpty()) history = e;
                        conn.m_sock.CloseQuietly();
                        continue;
                    }
                    conn.m_sock.CloseQuietly();
                    rsp.m_mapHeaders.RemoveAll();
                    err += u"Cannot download file: ";
                    err += e;
                    return false;
                }
            } else {
                HttpBodyTarget t;
                t.pText = &rsp.m_sBody;
                t.bSpillAllowed = rsp.m_bAcceptFileBody != 0;
                t.sSpillFolder = HttpSpillFolder();
                t.nMaxBytes = HttpBodyLimit(rsp, rsp.m_nStatus, false);
                CWideString e;
                bool ok = HttpReadBodyTo(conn.m_sock, &conn, bReadToClose, rsp.m_nContentLength, t, kind, e);
                if (t.bSpilled) {
                    rsp.m_sBodyFile = t.sFile;
                    rsp.m_bTempBodyFile = 1;
                }
                if (!ok) {
                    rsp.m_mapHeaders.RemoveAll();
                    if (!t.bRefused) err += u"Receiving body: ";
                    err += e;
                    return false;
                }
            }
            rsp.m_bBodyComplete = 1;
        }
        if (conn.m_bCloseAfterResponse) {
            conn.m_sock.CloseQuietly();
            conn.m_bCloseAfterResponse = 0;
        }
        // cookies, then the status: success, challenges, redirects, retries
        if (CookiesApply(conn)) {
            CNarrowString sc = rsp.GetHeader("set-cookie");
            if (!sc.IsEmpty()) {
                bool changed = false;
                ParseSetCookie(sc, conn.m_mapCookies, changed);
                CWideString e;
                int k = 0;
                if (changed && !SaveSiteCookies(conn, k, e)) ICopyProgress::Message(prog, 2, e);
            }
        }
        int status = rsp.m_nStatus;
        CWideString statusMsg =
            CWideString::Formatted(u"Server says: %s (status code %d)", Utf8OrAnsiToWide(rsp.m_sReason), status);
        if (is2xx) {
            conn.m_bConnected = 1;
            return true;
        }
        if ((status == 401 || status == 403) && conn.m_bTunnel)
            return Fail(kind, err, FSE_PROXY, CWideString(u"Proxy refuses the tunnel: ") + statusMsg);
        if (status == 401 || status == 403) {
            CNarrowString challenge = rsp.GetHeader("www-authenticate");
            if (challenge.IsEmpty()) return Fail(kind, err, FSE_NOT_FOUND, statusMsg);
            // a site reached by a redirect never gets the user's credentials
            if (conn.m_bForeignSite) return Fail(kind, err, FSE_AUTH, statusMsg);
            HttpAuthChallengeMap challenges;
            int32_t method2 = 0;
            CWideString perr;
            if (!ParseAuthenticateHeader(challenge, challenges, method2, false, kind, perr)) {
                err += statusMsg;
                err += u"; auth: ";
                err += perr;
                return false;
            }
            if (method2 == 1) {
                if (HttpPlainBasicRefused(conn)) return Fail(kind, err, FSE_AUTH, HttpPlainBasicRefusedText(conn));
                if (conn.m_nAuthState == 1)
                    return Fail(kind, err, FSE_AUTH, CWideString(u"Incorrect Basic auth UserID or Password: ") + statusMsg);
                ICopyProgress::Message(prog, 3,
                                       CWideString(u"Basic authentication requested by server ") +
                                           Utf8ToWide(conn.m_sCurHost) + u": " + Utf8ToWide(rsp.m_sServer));
                conn.m_nAuthState = 1;
                history = u"[requesting Basic auth]: ";
                continue;
            }
            if (method2 == 2) {
                bool bStale = false;
                CWideString derr;
                if (!HttpDigestChallenge(conn.m_digest, challenges, conn.m_sUserID, conn.m_sPassword, bStale, kind, derr)) {
                    err += statusMsg;
                    err += u"; auth: ";
                    err += derr;
                    return false;
                }
                if (conn.m_nAuthState != 2) {
                    ICopyProgress::Message(prog, 3,
                                           CWideString(u"Digest authentication requested by server ") +
                                               Utf8ToWide(conn.m_sCurHost) + u": " + Utf8ToWide(rsp.m_sServer));
                    conn.m_nAuthState = 2;
                    history = u"[requesting Digest auth]: ";
                    continue;
                }
                if (!bStale)
                    return Fail(kind, err, FSE_AUTH, CWideString(u"Incorrect Digest auth UserID or Password: ") + statusMsg);
                if (++stale >= 5)
                    return Fail(kind, err, FSE_AUTH,
                                CWideString(u"Digest authentication failed due to everlasting nonce expiration"));
                history = u"[Digest auth stale nonce]: ";
                continue;
            }
            return Fail(kind, err, FSE_AUTH,
                        CWideString(u"Auth method not supported: ") + Utf8OrAnsiToWide(challenge) + u", Error: " + statusMsg);
        }
        if (status == 407) {
            CNarrowString challenge = rsp.GetHeader("proxy-authenticate");
            HttpAuthChallengeMap challenges;
            int32_t method2 = 0;
            CWideString perr;
            if (!ParseAuthenticateHeader(challenge, challenges, method2, false, kind, perr)) {
                err += statusMsg;
                err += u"; proxy header: ";
                err += perr;
                kind = FSE_PROXY;
                return false;
            }
            CWideString e;
            if (method2 == 1 && conn.m_nProxyAuthState != 1) {
                if (conn.m_bTunnel)
                    ICopyProgress::Message(prog, 2,
                                           CWideString(u"Basic authentication requested by HTTP proxy ") + Utf8ToWide(conn.m_sCurHost));
                else
                    ICopyProgress::Message(prog, 2,
                                           CWideString(u"Basic authentication requested by Connect proxy ") + Utf8ToWide(conn.m_sProxyHost));
                conn.m_nProxyAuthState = 1;
                continue;
            }
            if (method2 == 1)
                e = u"Incorrect Proxy Basic Authentication Credentials";
            else
                e = CWideString(u"Proxy Auth method not supported: ") + Utf8OrAnsiToWide(challenge) + u", Error: " + statusMsg;
            if (conn.m_sProxyHost.IsEmpty()) return Fail(kind, err, FSE_PROXY, e);
            dropProxy = true;
            history = CWideString(u"[drop proxy]: ") + e;
            dropText = history;
            continue;
        }
        if (status == 301 || status == 302 || status == 307) {
            CNarrowString location = rsp.GetHeader("location");
            if (location.IsEmpty()) return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"Cannot get redirect location"));
            CNarrowString newHost = conn.m_sCurHost;
            int newPort = conn.m_nCurPort;
            bool newTls = conn.m_bCurTls;
            CNarrowString newPath;
            if (!HttpRedirectTarget(location, newHost, newPort, newTls, newPath))
                return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"Cannot parse redirect URL"));
            if (conn.m_bCurTls && !newTls)
                return Fail(kind, err, FSE_NOT_FOUND,
                            CWideString(u"Redirect from https to http refused: ") + Utf8OrAnsiToWide(location));
            if (++conn.m_nRedirects <= 3)
                ICopyProgress::Message(prog, 2, CWideString(u"Redirecting to ") + Utf8OrAnsiToWide(location));
            // the request's body (a password, a file) goes to its own origin only
            const bool leaves = HttpOriginOf(newTls, newHost, newPort) != conn.m_sCredentialOrigin;
            if (leaves && (body.nLength > 0 || !rsp.m_sBodyPrefix.IsEmpty() || !rsp.m_sBodySuffix.IsEmpty()))
                return Fail(kind, err, FSE_NOT_FOUND,
                            CWideString(u"Redirect of a request with a body to another site refused: ") +
                                Utf8OrAnsiToWide(location));
            if (!EqualsNoCase(newHost, conn.m_sCurHost) || newPort != conn.m_nCurPort || newTls != (bool)conn.m_bCurTls) {
                if (leaves) conn.m_bForeignSite = 1;
                conn.m_sock.CloseQuietly();
                conn.m_sCurHost = newHost;
                conn.m_nCurPort = newPort;
                conn.m_bCurTls = newTls;
                conn.m_bCurProxyStyle = !newTls;
                conn.m_sTargetUrl = location;
                CWideString e;
                if (!HttpConnect(conn, false, false, prog, kind, e)) {
                    err += u"when redirecting: ";
                    err += e;
                    return false;
                }
                if (conn.m_bForeignSite) conn.m_nAuthState = 0;
                conn.m_bCloseAfterResponse = 1;
            }
            path = newPath;
            history = u"[redirecting]: ";
            continue;
        }
        if (status == 503 && !rsp.GetHeader("retry-after").IsEmpty() && attempt < conn.m_nAttemptLimit) {
            ZorSleepMs(kHttpRetryAfterWaitMs);
            history = CWideString(u"Server wants retry: ") + Utf8OrAnsiToWide(rsp.m_sReason);
            continue;
        }
        if (status == 417 && expect && !noExpect) {
            noExpect = true;
            history = statusMsg;
            continue;
        }
        return Fail(kind, err, status == 507 ? FSE_QUOTA : FSE_NOT_FOUND, statusMsg);
    }
}

// ============================================================ plain Basic guard
bool HttpPlainBasicRefused(const ZorHttpConn& conn) {
    return conn.m_bGuardPlainBasic && !conn.m_bCurTls && !HttpIsLoopbackHost(conn.m_sCurHost) &&
           !HttpPlainBasicAllowed();
}

CWideString HttpPlainBasicRefusedText(const ZorHttpConn& conn) {
    return CWideString(u"Server ") + Utf8ToWide(conn.m_sCurHost) +
           u" asks for Basic authentication on a connection without TLS, which would send "
           u"the password readable; refused. Use tvtps:// (a TLS connection), or allow it "
           u"with the AllowBasicAuthWithoutTls setting";
}

HttpConnectParams HttpWithoutServerCredentials(const HttpConnectParams& params) {
    HttpConnectParams p = params;
    p.m_sUserID.Empty();
    p.m_sPassword.Empty();
    return p;
}

bool HttpPlainBasicAllowed() {
    uint32_t n = 0;
    RegGetDwordValueQuiet(n, HKEY_CURRENT_USER, u"Software\\Zorvek Systems\\Torvane", u"AllowBasicAuthWithoutTls");
    return n != 0;
}

bool HttpIsLoopbackHost(const CNarrowString& host) {
    if (host == "::1" || host == "[::1]") return true;
    in_addr a{};
    if (inet_pton(AF_INET, host.GetString(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

// ============================================================ RequestResponse
bool CRsp::RequestResponse(ZorHttpConn& conn, const char* method, const CWideString& path, int& errKind,
                           CWideString& err) {
    m_nStatus = 0;
    errKind = 0;
    if (conn.m_sock.IsOpen() && !m_bBodyComplete && m_nContentLength != 0) {
        int k = 0;
        CWideString e;
        HttpDrainBody(*this, conn.m_sock, k, e);
    }
    conn.m_nRequestStart = NowSeconds();
    conn.m_nLastActivity = conn.m_nRequestStart;
    CWideString e;
    bool ok = HttpDoRequest(conn, method, WideToUtf8(path), *this, true, errKind, e);
    m_sSessionID = GetHeader("x-zor-session");
    CNarrowString seq = GetHeader("x-zor-seqno");
    if (!seq.IsEmpty()) {
        int k = 0;
        CWideString pe;
        if (!ParseDecimal32(seq, m_nSeqNo, k, pe)) m_nSeqNo = 0;
    }
    if (!ok && m_nStatus != 0) {
        CNarrowString reason = GetHeader("reason");
        if (!reason.IsEmpty()) {
            CWideString text;
            CWideString de;
            if (Utf8ToWideChecked(reason, text, de)) {
                e = CWideString(u"server said: ") + text;
            } else {
                e = CWideString(u"Bad UTF-8: ") + Utf8OrAnsiToWide(reason);
            }
        }
        CNarrowString zerr = GetHeader("x-zor-err");
        if (m_nStatus != 519 && !zerr.IsEmpty()) {
            uint32_t n = 0;
            int k = 0;
            CWideString pe;
            if (!ParseDecimal32(zerr, n, k, pe) || n == 1 || n == 3 || n == 4 || n == 5 || n == 10 || n > 1000)
                errKind = FSE_NOT_FOUND;
            else
                errKind = (int)n;
        }
    }
    ICopyProgress* prog = conn.m_pProgress;
    if (prog && prog->WantsLevel(3)) {
        CNarrowString line;
        if (ok)
            line.Format("CRsp<- %s:%d %d '%s' h=[%s] b=%s", conn.m_sCurHost, conn.m_nCurPort, m_nStatus, m_sReason,
                        HttpHeadersForLog(m_mapHeaders), HttpBodyDescription(*this));
        else
            line.Format("CRsp<- %s:%d ERR='%s' %d '%s' h=[%s] b=%s", conn.m_sCurHost, conn.m_nCurPort, WideToUtf8(e),
                        m_nStatus, m_sReason, HttpHeadersForLog(m_mapHeaders), HttpBodyDescription(*this));
        prog->OnMessage(3, Utf8OrAnsiToWide(line));
    }
    int64_t now = NowSeconds();
    m_nTotalTime = (int32_t)(now - conn.m_nRequestStart);
    m_nWaitTime = (int32_t)(now - conn.m_nLastActivity);
    if (ok && m_bTempBodyFile && !m_bAcceptFileBody) {
        errKind = FSE_GENERAL;
        e = CWideString::Formatted(u"Response body is too long for memory, %lld bytes", (long long)m_nContentLength);
        ok = false;
    }
    err += e;
    return ok;
}

// ============================================================ HttpGetUrl
bool HttpGetUrl(CRsp& rsp, const HttpConnectParams& paramsIn, const char* method, ICopyProgress* pProgress,
                int& kind, CWideString& err, bool bGuardPlainBasic) {
    rsp.m_mapHeaders.RemoveAll();
    ZorUrl url;
    if (!ParseUrl(paramsIn.m_sUrl.GetString(), url))
        return Fail(kind, err, FSE_GENERAL, CWideString(u"cannot crack URL ") + paramsIn.m_sUrl);
    if (url.GetSchemeIndex() == ZURL_SCHEME_FILE) {
        CWideString tail;
        if (!paramsIn.m_sUrl.StartsWithTailNoCase(u"file://", tail))
            return Fail(kind, err, FSE_GENERAL, CWideString(u"Bad File URL: ") + paramsIn.m_sUrl);
        CNarrowString text;
        CWideString e;
        if (!ReadWholeFile(tail, 32768, text, kind, e)) {
            err += u"reading file://: ";
            err += e;
            return false;
        }
        HttpSetBodyText(rsp, text);
        rsp.m_nStatus = 200;
        return true;
    }
    if (url.GetSchemeIndex() != ZURL_SCHEME_HTTP && url.GetSchemeIndex() != ZURL_SCHEME_HTTPS)
        return Fail(kind, err, FSE_GENERAL, CWideString(u"bad URL: ") + paramsIn.m_sUrl);
    bool tls = url.GetSchemeIndex() == ZURL_SCHEME_HTTPS;
    CWideString path = url.GetPathAndExtra();
    if (path.IsEmpty()) path = u"/";
    HttpConnectParams params = paramsIn;
    params.m_nUrlMode = 1;
    params.m_sHost = WideToUtf8(url.GetHost());
    params.m_nPort = url.GetPort() ? url.GetPort() : (tls ? 443 : 80);
    params.m_bProxyStyle = tls ? 0 : 1;
    params.m_nTls = tls ? 1 : 0;
    ZorHttpConn conn;
    conn.m_bGuardPlainBasic = bGuardPlainBasic ? 1 : 0;
    if (!HttpConfigureAndConnect(conn, params, pProgress, kind, err)) return false;
    return rsp.RequestResponse(conn, method, path, kind, err);
}
