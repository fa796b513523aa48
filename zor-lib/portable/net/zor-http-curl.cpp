// The second HTTP transport, chosen by a connection's "WinInet" flag: one
// libcurl handle per connection, a connect limit of 90 seconds or what is
// left of the request's time budget, the low-speed limit, the answer's
// deadline and the attempt budget of the own sockets, our own redirect step,
// server credentials once per connect after the first 401 or 403 and proxy
// credentials after the first 407, the program's manual proxy (else
// libcurl's http_proxy / https_proxy / no_proxy), and our TLS roots and
// revocation lists.
#include "zor-http.h"
#include "zor-proxy-discovery.h"

#include "zor-file.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-ssl.h"
#include "zor-time.h"
#include "zor-unicode.h"
#include "zor-url.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <mutex>
#include <type_traits>

namespace {

constexpr long kCurlLimitSeconds = 90;
constexpr int kCurlAttempts = 5;

// libcurl is loaded on first use, not with the program: the libraries it
// brings take several milliseconds of every start of the program, and most
// runs never use this transport.
struct CurlApi {
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL*);
    void (*easy_reset)(CURL*);
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_perform)(CURL*);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    const char* (*easy_strerror)(CURLcode);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
    curl_version_info_data* (*version_info)(CURLversion);
    // libcurl's TLS contexts are those of our own TLS library (the same
    // OpenSSL major version, so the same shared library): only then can
    // the own revocation checks be applied to them
    bool bSharesOpenSsl;
};
CurlApi g_Curl;
std::mutex g_curlLoadLock;
CNarrowString g_sCurlLoaded; // under the lock: the library g_Curl comes from, empty before

// Loads and initializes libcurl; false with the reason when it cannot. A
// failure is not kept: a later use tries again (a long-running watch may see
// the library installed or repaired meanwhile).
bool LoadCurl(CWideString& err) {
    std::lock_guard<std::mutex> g(g_curlLoadLock);
    const char* lib = g_szHttpCurlLibrary;
    if (g_sCurlLoaded == lib) return true;
    CNarrowString why;
    void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        why = e ? CNarrowString(e) : CNarrowString(lib) + " not found";
    } else {
        CurlApi api{};
        bool ok = true;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(h, name));
            if (!fn && ok) {
                ok = false;
                why = CNarrowString(lib) + " has no " + name;
            }
        };
        get(api.global_init, "curl_global_init");
        get(api.easy_init, "curl_easy_init");
        get(api.easy_cleanup, "curl_easy_cleanup");
        get(api.easy_reset, "curl_easy_reset");
        get(api.easy_setopt, "curl_easy_setopt");
        get(api.easy_perform, "curl_easy_perform");
        get(api.easy_getinfo, "curl_easy_getinfo");
        get(api.easy_strerror, "curl_easy_strerror");
        get(api.slist_append, "curl_slist_append");
        get(api.slist_free_all, "curl_slist_free_all");
        get(api.version_info, "curl_version_info");
        if (ok && api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            ok = false;
            why = "libcurl could not be initialized";
        }
        if (ok) {
            const curl_version_info_data* v = api.version_info(CURLVERSION_NOW);
            CNarrowString ours = CNarrowString::Formatted("OpenSSL/%u.", OPENSSL_version_major());
            api.bSharesOpenSsl = v && v->ssl_version && !strncmp(v->ssl_version, ours.GetString(), ours.GetLength());
            g_Curl = api;
            g_sCurlLoaded = lib;
            return true;
        }
        dlclose(h);
    }
    err += u"cannot load the HTTP library: " + Utf8OrAnsiToWide(why);
    return false;
}

// The TLS context of a transfer: the own sessions' revocation checks.
CURLcode OnSslContext(CURL*, void* sslctx, void*) {
    SslApplyRevocationChecks(sslctx);
    return CURLE_OK;
}

// Options of one transfer; the first that libcurl refuses is kept and fails
// the request before it is sent.
struct CurlOptions {
    CURL* c;
    CURLcode rc = CURLE_OK;
    CURLoption failed = (CURLoption)0;
    template <class T>
    void Set(CURLoption opt, T value) {
        CURLcode r = g_Curl.easy_setopt(c, opt, value);
        if (r != CURLE_OK && rc == CURLE_OK) {
            rc = r;
            failed = opt;
        }
    }
};

// The kinds of the transport's failures: connection 3, TLS and
// authentication 2, everything else 7.
int CurlKind(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return FSE_CONN_LOST;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
        return FSE_AUTH;
    default:
        return FSE_NOT_FOUND;
    }
}

struct Transfer {
    ZorHttpConn* conn = nullptr;
    CRsp* rsp = nullptr;
    // request body: prefix, source file or memory, suffix
    CBufferedFile* src = nullptr;
    int64_t srcLength = 0;
    int part = 0; // 0 prefix, 1 body, 2 suffix, 3 done
    CNarrowString piece;
    int piecePos = 0;
    int64_t sent = 0;
    int64_t srcSent = 0;
    bool srcShort = false;
    int readKind = 0;
    CWideString readErr;
    // response
    CNarrowString rawHeaders;
    bool headersDone = false;
    bool bodyStarted = false;
    CWideString callerFile;
    HttpBodyTarget target;
    HttpBodySink* sink = nullptr;
    int writeKind = 0;
    CWideString writeErr;
    bool stopped = false;
    // the answer's deadline, as on the own sockets: from the moment the
    // request is out, the budget and one second per kHttpAnswerFloorBytes
    int64_t answerStartMs = 0;
    int64_t answerGraceMs = 0;
    bool answerLate = false;
};

// The next bytes of the request body.
size_t ReadBody(char* buf, size_t size, size_t n, void* user) {
    Transfer& t = *(Transfer*)user;
    size_t want = size * n;
    while (t.part < 3) {
        if (t.piecePos < t.piece.GetLength()) {
            size_t take = std::min(want, (size_t)(t.piece.GetLength() - t.piecePos));
            memcpy(buf, t.piece.GetString() + t.piecePos, take);
            t.piecePos += (int)take;
            t.sent += (int64_t)take;
            t.conn->Touch();
            int k = 0;
            CWideString e;
            if (!ICopyProgress::Report(t.conn->m_pProgress, true, t.sent, k, e)) {
                t.stopped = true;
                return CURL_READFUNC_ABORT;
            }
            return take;
        }
        t.piece.Empty();
        t.piecePos = 0;
        if (t.part == 0) {
            t.piece = t.rsp->m_sBodyPrefix;
            t.part = 1;
            if (t.src && !t.src->Rewind(t.readKind, t.readErr)) return CURL_READFUNC_ABORT;
            if (!t.src) t.piece += t.rsp->m_sReqBody;
        } else if (t.part == 1) {
            if (t.src) {
                CNarrowString chunk;
                if (!t.src->ReadChunk(chunk, t.readKind, t.readErr)) {
                    if (t.readKind == FSE_CONN_LOST) t.readKind = FSE_GENERAL;
                    return CURL_READFUNC_ABORT;
                }
                if (!chunk.IsEmpty()) {
                    t.srcSent += chunk.GetLength();
                    if (t.srcSent > t.srcLength) return CURL_READFUNC_ABORT;
                    t.piece = chunk;
                    continue;
                }
                if (t.srcSent < t.srcLength) {
                    t.srcShort = true;
                    return CURL_READFUNC_ABORT;
                }
            }
            t.piece = t.rsp->m_sBodySuffix;
            t.part = 2;
        } else {
            t.part = 3;
        }
    }
    return 0;
}

// Back to the start of the body (libcurl re-sends it after a challenge).
int SeekBody(void* user, curl_off_t offset, int origin) {
    Transfer& t = *(Transfer*)user;
    if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    t.part = 0;
    t.piece.Empty();
    t.piecePos = 0;
    t.sent = 0;
    t.srcSent = 0;
    t.srcShort = false;
    return CURL_SEEKFUNC_OK;
}

// Header lines; a new status line (interim answers, authentication round
// trips, the proxy's CONNECT answer) starts the collection again.
size_t OnHeader(char* data, size_t size, size_t n, void* user) {
    Transfer& t = *(Transfer*)user;
    size_t len = size * n;
    if (len >= 5 && !memcmp(data, "HTTP/", 5)) {
        t.rawHeaders.Empty();
        t.headersDone = false;
    }
    if (t.rawHeaders.GetLength() + (int)len > kHttpMaxHeaderSection) {
        t.writeKind = FSE_NOT_FOUND;
        t.writeErr = CWideString::Formatted(u"HTTP header too long: more than %d bytes", kHttpMaxHeaderSection);
        return 0;
    }
    t.rawHeaders.Append(data, (int)len);
    if (len <= 2 && (len == 0 || data[0] == '\r' || data[0] == '\n')) t.headersDone = true;
    return len;
}

size_t OnBody(char* data, size_t size, size_t n, void* user) {
    Transfer& t = *(Transfer*)user;
    size_t len = size * n;
    CRsp& rsp = *t.rsp;
    if (!t.bodyStarted) {
        t.bodyStarted = true;
        long status = 0;
        g_Curl.easy_getinfo((CURL*)t.conn->m_pCurl, CURLINFO_RESPONSE_CODE, &status);
        bool is2xx = status >= 200 && status < 300;
        int64_t declared = kHttpNoLength;
        HttpHeaderMap map;
        bool close = false;
        int k = 0;
        CWideString e;
        HttpParseRawHeaders(t.rawHeaders, declared, map, close, k, e);
        t.target.pText = &rsp.m_sBody;
        if (is2xx && !t.callerFile.IsEmpty()) t.target.sFile = t.callerFile;
        t.target.bSpillAllowed = rsp.m_bAcceptFileBody != 0;
        t.target.sSpillFolder = HttpSpillFolder();
        t.target.nMaxBytes = HttpBodyLimit(rsp, (int)status, !t.target.sFile.IsEmpty());
        if (!t.sink->Open(t.writeKind, t.writeErr)) return 0;
        if (declared != kHttpNoLength && declared != kHttpChunked && !t.sink->Announce(declared, t.writeKind, t.writeErr))
            return 0;
    }
    if (!t.sink->Put(data, (int)len, t.writeKind, t.writeErr)) return 0;
    return len;
}

int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    Transfer& t = *(Transfer*)user;
    if (t.conn->m_sock.m_nStop.load() || ICopyProgress::Stopped(t.conn->m_pProgress)) {
        t.stopped = true;
        return 1;
    }
    // a download into the caller's file is watched by the low-speed limit only
    if (t.bodyStarted && !t.callerFile.IsEmpty() && t.target.sFile == t.callerFile) return 0;
    const int64_t now = ZorGetClock().MonotonicMs();
    if (t.answerStartMs == 0 && ulnow >= ultotal) t.answerStartMs = now;
    if (t.answerStartMs != 0 &&
        now - t.answerStartMs > t.answerGraceMs + (int64_t)dlnow * 1000 / kHttpAnswerFloorBytes) {
        t.answerLate = true;
        return 1;
    }
    return 0;
}

// The status line's reason.
CNarrowString ReasonOf(const CNarrowString& raw) {
    int end = raw.Find('\n');
    CNarrowString line = end < 0 ? raw : raw.Left(end);
    line.TrimRight("\r");
    int sp = line.Find(' ');
    if (sp < 0) return CNarrowString();
    int sp2 = line.Find(' ', sp + 1);
    return sp2 < 0 ? CNarrowString() : line.Mid(sp2 + 1, line.GetLength());
}

} // namespace

bool HttpCurlConnect(ZorHttpConn& conn, int& kind, CWideString& err) {
    if (!LoadCurl(err)) {
        kind = FSE_GENERAL;
        return false;
    }
    if (!conn.m_pCurl) conn.m_pCurl = g_Curl.easy_init();
    if (!conn.m_pCurl) {
        kind = FSE_GENERAL;
        err += u"cannot create an HTTP session";
        return false;
    }
    conn.m_sCurlHost = conn.m_sCurHost;
    const CProxyOptions po = GetHttpProxyOptions();
    if (po.m_bUseWinInetProxy || po.m_bUseProxyBelow) {
        conn.m_sProxyUser = po.m_sUserID;
        conn.m_sProxyPassword = po.m_sPassword;
    }
    conn.m_bConnected = 1;
    return true;
}

void HttpCurlClose(ZorHttpConn& conn) {
    if (conn.m_pCurl && g_Curl.easy_cleanup) g_Curl.easy_cleanup((CURL*)conn.m_pCurl);
    conn.m_pCurl = nullptr;
    conn.m_sCurlHost.Empty();
}

bool HttpCurlDoRequest(ZorHttpConn& conn, const char* method, const CNarrowString& pathIn, CRsp& rsp,
                       const CNarrowString& bodyLog, int& kind, CWideString& err) {
    (void)bodyLog;
    ICopyProgress* prog = conn.m_pProgress;
    CNarrowString path(pathIn);
    CWideString history;
    const CWideString callerFile = rsp.m_bTempBodyFile ? CWideString() : rsp.m_sBodyFile;
    if (!rsp.m_pReqBodyFile && rsp.m_sReqBody.GetLength() >= 0x8000000) {
        kind = FSE_GENERAL;
        err += u"string too long to upload";
        return false;
    }
    for (int attempt = 0;; ++attempt) {
        kind = 0;
        if (rsp.m_bTempBodyFile && !rsp.m_sBodyFile.IsEmpty()) ZorDeleteFileQuiet(rsp.m_sBodyFile);
        rsp.m_bTempBodyFile = 0;
        rsp.m_sBodyFile = callerFile;
        rsp.m_nStatus = 0;
        rsp.m_sReason.Empty();
        rsp.m_mapHeaders.RemoveAll();
        rsp.m_nContentLength = 0;
        rsp.m_sBody.Empty();
        rsp.m_bBodyComplete = 0;
        rsp.m_bSentWhole = 0;
        // the attempts share the request's time budget, as on the own sockets
        if (attempt > 0 && HttpBudgetLeftMs(conn) <= 0) {
            err += history;
            err += u"; ";
            err += HttpBudgetSpentText(conn);
            kind = FSE_CONN_LOST;
            return false;
        }
        if (attempt >= kCurlAttempts) {
            err += history;
            err += CWideString::Formatted(u"; Too many send-receive attempts, please report to %s", g_szHttpSupportAddress);
            kind = FSE_NOT_FOUND;
            return false;
        }
        conn.m_sLastPath = path;
        if (!conn.m_pCurl || !EqualsNoCase(conn.m_sCurlHost, conn.m_sCurHost)) {
            HttpCurlClose(conn);
            if (!HttpCurlConnect(conn, kind, err)) return false;
        }
        CURL* c = (CURL*)conn.m_pCurl;
        g_Curl.easy_reset(c);
        CurlOptions opts{c};
        Transfer t;
        t.conn = &conn;
        t.rsp = &rsp;
        t.callerFile = callerFile;
        t.answerGraceMs = (int64_t)kHttpRetryBudgetFactor * 1000 * std::max(1, (int)conn.m_nTimeout);
        HttpBodySink sink(t.target, &conn);
        t.sink = &sink;
        CNarrowString url;
        url.Format("%s://%s:%d%s", conn.m_bCurTls ? "https" : "http", conn.m_sCurHost, conn.m_nCurPort, path);
        char errbuf[CURL_ERROR_SIZE] = {0};
        opts.Set(CURLOPT_ERRORBUFFER, errbuf);
        opts.Set(CURLOPT_URL, url.GetString());
        opts.Set(CURLOPT_NOSIGNAL, 1L);
        opts.Set(CURLOPT_PROTOCOLS_STR, "http,https");
        opts.Set(CURLOPT_FOLLOWLOCATION, 0L);
        // the set-up (connect, proxy tunnel, TLS) gets what is left of the budget
        const int64_t connectMs = std::min<int64_t>(kCurlLimitSeconds * 1000, HttpBudgetLeftMs(conn));
        opts.Set(CURLOPT_CONNECTTIMEOUT_MS, (long)std::max<int64_t>(1, connectMs));
        // the own sockets' low-speed limit: kHttpLowSpeedBytes per time-out
        const long window = std::max(1L, (long)conn.m_nTimeout);
        opts.Set(CURLOPT_LOW_SPEED_LIMIT, std::max(1L, (long)kHttpLowSpeedBytes / window));
        opts.Set(CURLOPT_LOW_SPEED_TIME, window);
        opts.Set(CURLOPT_USERAGENT, "ZorSocket/9.2.9.0");
        opts.Set(CURLOPT_HEADERFUNCTION, OnHeader);
        opts.Set(CURLOPT_HEADERDATA, &t);
        opts.Set(CURLOPT_WRITEFUNCTION, OnBody);
        opts.Set(CURLOPT_WRITEDATA, &t);
        opts.Set(CURLOPT_NOPROGRESS, 0L);
        opts.Set(CURLOPT_XFERINFOFUNCTION, OnProgress);
        opts.Set(CURLOPT_XFERINFODATA, &t);
        if (conn.m_bCookies) opts.Set(CURLOPT_COOKIEFILE, "");
        // TLS: the same roots and revocation lists as our own sessions (the
        // configured file, else "cacert.pem" beside the program, else the
        // system's, SSL_CERT_FILE and SSL_CERT_DIR honoured); checks off only
        // when certificate errors are to be ignored
        CNarrowString rootsFile, rootsDir;
        GetSslRootsLocations(rootsFile, rootsDir);
        if (!rootsFile.IsEmpty() && ::access(rootsFile.GetString(), R_OK) == 0) opts.Set(CURLOPT_CAINFO, rootsFile.GetString());
        if (!rootsDir.IsEmpty() && ::access(rootsDir.GetString(), R_OK) == 0) opts.Set(CURLOPT_CAPATH, rootsDir.GetString());
        if (g_Curl.bSharesOpenSsl) opts.Set(CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
        opts.Set(CURLOPT_SSL_VERIFYPEER, conn.m_bIgnoreCertErrors ? 0L : 1L);
        opts.Set(CURLOPT_SSL_VERIFYHOST, conn.m_bIgnoreCertErrors ? 0L : 2L);
        CNarrowString cert = WideToUtf8(conn.m_sClientCertFile);
        if (!cert.IsEmpty()) {
            opts.Set(CURLOPT_SSLCERT, cert.GetString());
            opts.Set(CURLOPT_SSLKEY, cert.GetString());
        }
        // proxy: the program's manual proxy, else libcurl's environment
        const CProxyOptions po = GetHttpProxyOptions();
        CNarrowString proxy;
        if (po.m_bUseProxyBelow && !po.m_sHost.IsEmpty() && conn.m_bUseProxy) {
            proxy.Format("%s:%d", po.m_sHost, po.m_nPort);
            if (attempt == 0) ICopyProgress::Message(prog, 2, CWideString(u"Using manual WinInet proxy ") + Utf8ToWide(proxy));
            opts.Set(CURLOPT_PROXY, proxy.GetString());
        } else if (!conn.m_bUseProxy) {
            opts.Set(CURLOPT_PROXY, "");
        } else if (po.m_bUseWinInetProxy) {
            // the system's proxy, as the own-socket transport finds it
            CNarrowString ph;
            int32_t pp = 0;
            if (!DiscoverProxy(conn.m_sCurHost, conn.m_nCurPort, url, ph, pp, kind, err)) return false;
            if (!ph.IsEmpty()) proxy.Format("%s:%d", ph, pp);
            opts.Set(CURLOPT_PROXY, proxy.GetString());
        }
        CNarrowString user = WideToUtf8(conn.m_sUserID), pass = WideToUtf8(conn.m_sPassword);
        if (conn.m_bCurlServerCreds) {
            // the plain-Basic guard: only Digest where Basic would go out readable
            long methods = HttpPlainBasicRefused(conn) ? (long)CURLAUTH_DIGEST : (long)(CURLAUTH_BASIC | CURLAUTH_DIGEST);
            opts.Set(CURLOPT_HTTPAUTH, methods);
            opts.Set(CURLOPT_USERNAME, user.GetString());
            opts.Set(CURLOPT_PASSWORD, pass.GetString());
        }
        if (conn.m_bCurlProxyCreds) {
            opts.Set(CURLOPT_PROXYAUTH, (long)CURLAUTH_BASIC);
            opts.Set(CURLOPT_PROXYUSERNAME, conn.m_sProxyUser.GetString());
            opts.Set(CURLOPT_PROXYPASSWORD, conn.m_sProxyPassword.GetString());
        }
        // the caller's header lines, cleaned, and no Expect
        curl_slist* headers = nullptr;
        {
            int pos = 0;
            const CNarrowString& h = rsp.m_sReqHeaders;
            while (pos < h.GetLength()) {
                int end = h.Find('\n', pos);
                if (end < 0) end = h.GetLength();
                CNarrowString line = h.Mid(pos, end - pos);
                line.TrimRight("\r");
                line = HttpCleanHeaderValue(line);
                // a site reached by a redirect gets none of the caller's credentials or cookies
                if (conn.m_bForeignSite && (line.StartsWithNoCase("authorization:") || line.StartsWithNoCase("cookie:")))
                    line.Empty();
                if (!line.IsEmpty()) headers = g_Curl.slist_append(headers, line.GetString());
                pos = end + 1;
            }
            headers = g_Curl.slist_append(headers, "Expect:");
            headers = g_Curl.slist_append(headers, "Pragma: no-cache");
            headers = g_Curl.slist_append(headers, "Cache-Control: no-cache");
        }
        opts.Set(CURLOPT_HTTPHEADER, headers);
        // method and body
        t.src = rsp.m_pReqBodyFile;
        if (t.src && t.src->m_sFileName.IsEmpty() && (t.src->m_nSize == 0 || t.src->m_nSize == -1)) t.src = nullptr;
        t.srcLength = t.src ? t.src->m_nSize : 0;
        int64_t total = rsp.m_sBodyPrefix.GetLength() + rsp.m_sBodySuffix.GetLength() +
                        (t.src ? t.srcLength : rsp.m_sReqBody.GetLength());
        bool head = !strcmp(method, "HEAD");
        if (head) {
            opts.Set(CURLOPT_NOBODY, 1L);
        } else if (total > 0 || strcmp(method, "GET")) {
            if (total > 0 || !strcmp(method, "POST") || !strcmp(method, "PUT")) {
                opts.Set(CURLOPT_POST, 1L);
                opts.Set(CURLOPT_READFUNCTION, ReadBody);
                opts.Set(CURLOPT_READDATA, &t);
                opts.Set(CURLOPT_SEEKFUNCTION, SeekBody);
                opts.Set(CURLOPT_SEEKDATA, &t);
                opts.Set(CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)total);
            }
            opts.Set(CURLOPT_CUSTOMREQUEST, method);
        }
        if (opts.rc != CURLE_OK) {
            g_Curl.slist_free_all(headers);
            kind = FSE_GENERAL;
            err += CWideString::Formatted(u"cannot set HTTP option %d: ", (int)opts.failed) +
                   Utf8OrAnsiToWide(g_Curl.easy_strerror(opts.rc));
            return false;
        }
        CURLcode rc = g_Curl.easy_perform(c);
        g_Curl.slist_free_all(headers);
        long requestBytes = 0;
        g_Curl.easy_getinfo(c, CURLINFO_REQUEST_SIZE, &requestBytes);
        rsp.m_bSentWhole = requestBytes > 0 && (total == 0 || t.part == 3);
        CWideString sinkErr;
        int sinkKind = 0;
        if (rc == CURLE_OK && t.bodyStarted && !sink.Finish(sinkKind, sinkErr)) {
            kind = sinkKind;
            err += sinkErr;
            return false;
        }
        if (t.target.bSpilled) {
            rsp.m_sBodyFile = t.target.sFile;
            rsp.m_bTempBodyFile = 1;
        }
        conn.Touch();
        if (rc != CURLE_OK) {
            if (t.stopped) {
                kind = FSE_STOPPED;
                err += u"stopped by user";
                return false;
            }
            if (t.answerLate) {
                kind = FSE_CONN_LOST;
                err += CWideString::Formatted(u"Time out: the answer came too slowly (%lld bytes)", (long long)t.target.nReceived);
                HttpCurlClose(conn);
                return false;
            }
            if (!t.writeErr.IsEmpty()) {
                kind = t.writeKind;
                if (!t.target.bRefused) err += u"Cannot write downloaded body: ";
                err += t.writeErr;
                HttpCurlClose(conn);
                return false;
            }
            if (!t.readErr.IsEmpty()) {
                kind = t.readKind == FSE_CONN_LOST ? FSE_GENERAL : t.readKind;
                err += t.readErr;
                HttpCurlClose(conn);
                return false;
            }
            if (t.srcShort || t.srcSent > t.srcLength) {
                kind = FSE_NOT_FOUND;
                err += CWideString::Formatted(t.srcShort ? u"Uploaded file shorter than promised: expected %lld, actual %lld bytes"
                                                         : u"Uploaded file longer than promised: expected %lld, actual %lld bytes",
                                              (long long)t.srcLength, (long long)t.srcSent);
                return false;
            }
            kind = CurlKind(rc);
            err += Utf8OrAnsiToWide(errbuf[0] ? errbuf : g_Curl.easy_strerror(rc));
            HttpCurlClose(conn);
            return false;
        }
        long status = 0;
        g_Curl.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        rsp.m_nStatus = (int)status;
        bool close = false;
        CWideString perr;
        if (!HttpParseRawHeaders(t.rawHeaders, rsp.m_nContentLength, rsp.m_mapHeaders, close, kind, perr)) {
            err += perr;
            return false;
        }
        rsp.m_sReason = ReasonOf(t.rawHeaders);
        rsp.m_sServer = rsp.GetHeader("server");
        if (rsp.m_nContentLength == kHttpNoLength &&
            (status == 0 || (status >= 100 && status < 200) || status == 204 || status == 304))
            rsp.m_nContentLength = 0;
        rsp.m_bBodyComplete = 1;
        CWideString statusMsg = CWideString::Formatted(u"Server says: %s (code %d)", Utf8OrAnsiToWide(rsp.m_sReason), (int)status);
        if (status >= 200 && status < 300) {
            conn.m_bConnected = 1;
            return true;
        }
        if (status == 401 || status == 403) {
            if (conn.m_bCurlServerCreds || conn.m_bForeignSite) {
                kind = FSE_AUTH;
                err += statusMsg;
                return false;
            }
            HttpAuthChallengeMap challenges;
            int32_t method = 0;
            int k = 0;
            CWideString e;
            if (ParseAuthenticateHeader(rsp.GetHeader("www-authenticate"), challenges, method, false, k, e) &&
                method == HAS_BASIC && HttpPlainBasicRefused(conn)) {
                kind = FSE_AUTH;
                err += HttpPlainBasicRefusedText(conn);
                return false;
            }
            conn.m_bCurlServerCreds = 1;
            ICopyProgress::Message(prog, 2, CWideString(u"Supplied server authentication"));
            if (history.IsEmpty()) history = CWideString::Formatted(u"Access Denied (code %d)", (int)status);
            continue;
        }
        if (status == 407 && !conn.m_bCurlProxyCreds) {
            conn.m_bCurlProxyCreds = 1;
            if (!conn.m_sProxyUser.IsEmpty())
                ICopyProgress::Message(prog, 2, CWideString(u"Supplied proxy authentication for WinInet: userid=") +
                                                    Utf8ToWide(conn.m_sProxyUser));
            else
                ICopyProgress::Message(prog, 2,
                                       CWideString(u"Empty UserId for proxy authentication requested by WinInet, not likely to succeed"));
            if (history.IsEmpty()) history = CWideString::Formatted(u"Proxy Access Denied (code %d)", (int)status);
            continue;
        }
        if (status == 301 || status == 302 || status == 307) {
            CNarrowString location = rsp.GetHeader("location");
            CNarrowString newHost = conn.m_sCurHost;
            int newPort = conn.m_nCurPort;
            bool newTls = conn.m_bCurTls;
            CNarrowString newPath;
            if (!HttpRedirectTarget(location, newHost, newPort, newTls, newPath)) {
                kind = FSE_NOT_FOUND;
                err += u"Cannot get redirect location: ";
                err += Utf8OrAnsiToWide(location);
                return false;
            }
            if (conn.m_bCurTls && !newTls) {
                kind = FSE_NOT_FOUND;
                err += CWideString(u"Redirect from https to http refused: ") + Utf8OrAnsiToWide(location);
                return false;
            }
            // the request's body (a password, a file) goes to its own origin only
            const bool leaves = HttpOriginOf(newTls, newHost, newPort) != conn.m_sCredentialOrigin;
            if (leaves && total > 0) {
                kind = FSE_NOT_FOUND;
                err += CWideString(u"Redirect of a request with a body to another site refused: ") + Utf8OrAnsiToWide(location);
                return false;
            }
            if (!EqualsNoCase(newHost, conn.m_sCurHost) || newPort != conn.m_nCurPort || newTls != (bool)conn.m_bCurTls) {
                if (leaves) {
                    conn.m_bForeignSite = 1;
                    conn.m_bCurlServerCreds = 0;
                }
                HttpCurlClose(conn);
                conn.m_sCurHost = newHost;
                conn.m_nCurPort = newPort;
                conn.m_bCurTls = newTls;
                conn.m_bCurProxyStyle = !newTls;
                conn.m_sTargetUrl = location;
                if (!HttpCurlConnect(conn, kind, err)) return false;
            }
            path = newPath;
            if (history.IsEmpty()) history = CWideString::Formatted(u"Redirecting (code %d)", (int)status);
            continue;
        }
        kind = status == 507 ? FSE_QUOTA : FSE_NOT_FOUND;
        err += statusMsg;
        return false;
    }
}
