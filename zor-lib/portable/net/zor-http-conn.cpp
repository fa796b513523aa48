// HTTP connection set-up on the program's own sockets: direct, through an
// HTTP-style proxy (absolute URLs) or through a CONNECT tunnel, with the
// fall-back to a direct connection when the proxy fails.
#include "zor-http.h"

#include "zor-udp.h"
#include "zor-unicode.h"

#include <arpa/inet.h>

#include <mutex>

namespace {
std::mutex g_ProxyOptionsLock;
} // namespace

CProxyOptions& HttpProxyOptions() {
    static CProxyOptions s_options;
    return s_options;
}

void SetHttpProxyOptions(const CProxyOptions& options) {
    std::lock_guard<std::mutex> lock(g_ProxyOptionsLock);
    HttpProxyOptions() = options;
}

CProxyOptions GetHttpProxyOptions() {
    std::lock_guard<std::mutex> lock(g_ProxyOptionsLock);
    return HttpProxyOptions();
}

bool HttpConfigureAndConnect(ZorHttpConn& conn, const HttpConnectParams& params, ICopyProgress* pProgress,
                             int& kind, CWideString& err) {
    conn.m_sUserID = params.m_sUserID;
    conn.m_sPassword = params.m_sPassword;
    conn.m_bIgnoreCertErrors = params.m_bIgnoreBadCerts;
    conn.m_bCookies = params.m_bCookies;
    conn.m_bCookieFiles = params.m_bCookieFiles;
    conn.m_bWinInet = params.m_bWinInet;
    conn.m_bUseProxy = params.m_bUseProxy;
    conn.m_sTargetUrl = WideToUtf8(params.m_sUrl);
    conn.m_sock.m_nConnectTimeout = params.m_nConnectTimeout;
    conn.m_sock.m_nTimeout = params.m_nTimeout;
    conn.m_nConnectTimeout = params.m_nConnectTimeout;
    conn.m_nTimeout = params.m_nTimeout;
    conn.m_sHost = params.m_sHost;
    conn.m_nPort = params.m_nPort;
    conn.m_bTls = params.m_nTls ? 1 : 0;
    conn.m_sClientCertFile = params.m_sClientCertFile;
    conn.m_bProxyStyle = params.m_bProxyStyle;
    conn.m_pProgress = pProgress;
    return HttpConnect(conn, true, true, pProgress, kind, err);
}

namespace {

// Opens the CONNECT tunnel on a socket connected to the proxy, then TLS
// inside it. bTlsFailed tells a TLS failure apart from a tunnel failure.
bool OpenTunnel(ZorHttpConn& conn, bool bFirstAttempt, bool& bTlsFailed, int& kind, CWideString& err) {
    bTlsFailed = false;
    CNarrowString savedHost = conn.m_sHost, savedCurHost = conn.m_sCurHost;
    int savedPort = conn.m_nPort, savedCurPort = conn.m_nCurPort;
    uint8_t savedTls = conn.m_bTls, savedCurTls = conn.m_bCurTls;
    uint8_t savedStyle = conn.m_bProxyStyle, savedCurStyle = conn.m_bCurProxyStyle;
    CNarrowString proxyHost = conn.m_sProxyHost;
    int proxyPort = conn.m_nProxyPort;
    auto restore = [&]() {
        conn.m_sHost = savedHost;
        conn.m_sCurHost = savedCurHost;
        conn.m_nPort = savedPort;
        conn.m_nCurPort = savedCurPort;
        conn.m_bTls = savedTls;
        conn.m_bCurTls = savedCurTls;
        conn.m_bProxyStyle = savedStyle;
        conn.m_bCurProxyStyle = savedCurStyle;
        conn.m_sProxyHost = proxyHost;
        conn.m_nProxyPort = proxyPort;
        conn.m_bTunnel = 0;
    };
    conn.m_sHost = proxyHost;
    conn.m_nPort = proxyPort;
    conn.m_bTls = 0;
    conn.m_bProxyStyle = 0;
    conn.m_sProxyHost.Empty();
    conn.m_bUseProxy = 0;
    conn.m_bTunnel = 1;
    CRsp rsp;
    rsp.m_sReqHeaders = "Proxy-Connection: Keep-Alive\r\n";
    CNarrowString target;
    target.Format("%s:%d", savedCurHost, savedCurPort);
    CWideString e;
    bool ok = HttpDoRequest(conn, "CONNECT", target, rsp, false, kind, e);
    restore();
    if (!ok) {
        err += u"Connect to Proxy: ";
        err += e;
        return false;
    }
    conn.m_bUseProxy = 1;
    if (!conn.m_bCurTls) return true;
    conn.m_sock.m_bSkipServerCheck = conn.m_bIgnoreCertErrors;
    conn.m_sock.m_sClientCertFile = conn.m_sClientCertFile;
    bool transport = false;
    if (!StartSslOnSocket(conn.m_sock, conn.m_sCurHost, bFirstAttempt, conn.m_sClientCertFile, transport, kind, err)) {
        bTlsFailed = true;
        return false;
    }
    return true;
}

// The proxy to use for the current target, from the program's settings.
bool ChooseProxy(ZorHttpConn& conn, int& kind, CWideString& err) {
    conn.m_sProxyHost.Empty();
    conn.m_nProxyPort = 0;
    if (ZorIsPrivateAddress(conn.m_sCurHost) || !conn.m_bUseProxy) return true;
    const CProxyOptions po = GetHttpProxyOptions();
    if (!po.m_bUseWinInetProxy && po.m_bUseProxyBelow) {
        conn.m_sProxyHost = po.m_sHost;
        conn.m_nProxyPort = po.m_nPort;
        conn.m_sProxyUser = po.m_sUserID;
        conn.m_sProxyPassword = po.m_sPassword;
        return true;
    }
    if (po.m_bUseWinInetProxy) {
        conn.m_sProxyUser = po.m_sUserID;
        conn.m_sProxyPassword = po.m_sPassword;
        int i = conn.m_sTargetUrl.Find("://");
        if (i >= 0) {
            CNarrowString rest = conn.m_sTargetUrl.Mid(i + 3, conn.m_sTargetUrl.GetLength());
            conn.m_sTargetUrl = (conn.m_bCurTls ? "https://" : "http://") + rest;
        }
        return DiscoverProxy(conn.m_sCurHost, conn.m_nCurPort, conn.m_sTargetUrl, conn.m_sProxyHost, conn.m_nProxyPort,
                             kind, err);
    }
    return true;
}

} // namespace

bool HttpConnect(ZorHttpConn& conn, bool bTakeTarget, bool bReportProxy, ICopyProgress* pProgress, int& kind,
                 CWideString& err) {
    conn.m_pProgress = pProgress;
    if (conn.m_sHost.IsEmpty() && (bTakeTarget || conn.m_sCurHost.IsEmpty())) {
        kind = FSE_GENERAL;
        err += u"cannot connect to host with empty name";
        return false;
    }
    if (bTakeTarget) {
        conn.m_sCurHost = conn.m_sHost;
        conn.m_nCurPort = conn.m_nPort;
        conn.m_bCurTls = conn.m_bTls;
        conn.m_bCurProxyStyle = conn.m_bProxyStyle;
        conn.m_sCredentialOrigin = HttpOriginOf(conn.m_bTls, conn.m_sHost, conn.m_nPort);
        conn.m_bForeignSite = 0;
    }
    conn.m_bTunnel = 0;
    conn.m_nProxyAuthState = 0;
    conn.m_bCloseAfterResponse = 0;
    conn.m_nRedirects = 0;
    conn.m_sLastPath.Empty();
    // the map is emptied, so the site's cookie file is read again
    conn.m_mapCookies.RemoveAll();
    conn.m_sCookieSite.Empty();
    conn.m_bCurlServerCreds = 0;
    conn.m_bCurlProxyCreds = 0;
    if (conn.m_bWinInet) {
        if (!HttpCurlConnect(conn, kind, err)) return false;
        conn.m_nAuthState = 0;
        conn.m_bConnected = 1;
        return true;
    }
    bool proxyFailed = false;
    bool tlsRetried = false;
    CWideString proxyErr;
    // the tries of the set-up share one time budget with the request around
    // it, if any: none starts once it is spent
    HttpBudgetScope budget(conn);
    for (int pass = 0; pass < 4; ++pass) {
        if (pass > 0 && HttpBudgetLeftMs(conn) <= 0) {
            conn.m_sock.CloseQuietly();
            kind = FSE_CONN_LOST;
            err += proxyErr;
            if (proxyErr.Find(HttpBudgetSpentText(conn)) < 0) err += u"; " + HttpBudgetSpentText(conn);
            return false;
        }
        if (proxyFailed) {
            ICopyProgress::Message(conn.m_pProgress, 1, CWideString(u"CONNECT proxy error, try direct connection: ") + proxyErr);
            conn.m_sProxyHost.Empty();
            conn.m_nProxyPort = 0;
            conn.m_bUseProxy = 0;
            conn.m_sock.CloseQuietly();
            proxyFailed = false;
        } else if (conn.m_bUseProxy) {
            int k = 0;
            CWideString e;
            if (!ChooseProxy(conn, k, e)) {
                proxyFailed = true;
                proxyErr = e;
                continue;
            }
        }
        if (conn.m_sProxyHost.IsEmpty()) {
            conn.m_sock.m_pProgress = conn.m_pProgress;
            conn.m_sock.m_sClientCertFile = conn.m_sClientCertFile;
            if (!ZorSocketConnect(conn.m_sock, conn.m_sCurHost, conn.m_nCurPort, conn.m_bCurTls, conn.m_bIgnoreCertErrors,
                                  kind, err))
                return false;
            break;
        }
        conn.m_sock.m_pProgress = conn.m_pProgress;
        CWideString e;
        int k = 0;
        if (!ZorSocketConnect(conn.m_sock, conn.m_sProxyHost, conn.m_nProxyPort, false, false, k, e)) {
            proxyFailed = true;
            proxyErr = e;
            continue;
        }
        if (conn.m_bCurProxyStyle) break;
        bool tlsFailed = false;
        if (OpenTunnel(conn, !tlsRetried, tlsFailed, k, e)) break;
        if (tlsFailed) {
            conn.m_sock.CloseQuietly();
            if (tlsRetried) {
                kind = k;
                err += e;
                return false;
            }
            tlsRetried = true;
            proxyErr = e;
            continue; // the same proxy once more
        }
        proxyFailed = true;
        proxyErr = e;
    }
    if (!conn.m_sock.IsOpen()) {
        kind = FSE_CONN_LOST;
        err += u"cannot connect";
        return false;
    }
    if (bReportProxy && !conn.m_sProxyHost.IsEmpty())
        ICopyProgress::Message(conn.m_pProgress, 2,
                               CWideString::Formatted(u"Using proxy %s:%d http-style=%d", Utf8ToWide(conn.m_sProxyHost),
                                                      conn.m_nProxyPort, (int)conn.m_bCurProxyStyle));
    conn.m_nAuthState = 0;
    conn.m_bConnected = 1;
    return true;
}

bool HttpReconnect(ZorHttpConn& conn, int& kind, CWideString& err) {
    if (conn.m_bWinInet) return HttpCurlConnect(conn, kind, err);
    HttpBudgetScope budget(conn);
    conn.m_sock.m_pProgress = conn.m_pProgress;
    if (!conn.m_sProxyHost.IsEmpty() && conn.m_bUseProxy) {
        if (!ZorSocketConnect(conn.m_sock, conn.m_sProxyHost, conn.m_nProxyPort, false, false, kind, err)) return false;
        if (!conn.m_bCurProxyStyle) {
            bool tlsFailed = false;
            if (!OpenTunnel(conn, true, tlsFailed, kind, err)) {
                conn.m_sock.CloseQuietly();
                return false;
            }
        }
    } else {
        conn.m_sock.m_sClientCertFile = conn.m_sClientCertFile;
        if (!ZorSocketConnect(conn.m_sock, conn.m_sCurHost, conn.m_nCurPort, conn.m_bCurTls, conn.m_bIgnoreCertErrors,
                              kind, err))
            return false;
    }
    conn.m_bConnected = 1;
    return true;
}
