// Proxy discovery.
#include "zor-proxy-discovery.h"

#include "zor-http.h"
#include "zor-inet-settings.h"
#include "zor-log.h"
#include "zor-pac.h"
#include "zor-socket.h"
#include "zor-unicode.h"
#include "zor-url.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {

constexpr int kConnectTimeoutSeconds = 5;

std::mutex g_lock; // serialises script work, probing and the cache
CNarrowString g_sScript;
std::map<std::string, std::pair<CNarrowString, int32_t>> g_cache; // "scheme://host:port" -> proxy
std::atomic<int64_t> g_nEvaluations{0};

bool Fail(int& kind, CWideString& err, const CWideString& text) {
    kind = 5;
    err += text;
    return false;
}

CNarrowString SchemeOf(const CNarrowString& url) {
    const int i = url.Find("://");
    if (i <= 0) return "http";
    CNarrowString s = url.Left(i);
    s.MakeLower();
    return s;
}

// "host:port" with the ':' after the first character and a port of 1 to
// 65535; without a ':' the port is defaultPort when bPortOptional.
bool SplitProxy(const CNarrowString& text, int defaultPort, bool bPortOptional, CNarrowString& host, int32_t& port) {
    const int colon = text.Find(':');
    if (colon < 0) {
        if (!bPortOptional || text.IsEmpty()) return false;
        host = text;
        port = defaultPort;
        return port >= 1 && port <= 65535;
    }
    if (colon == 0) return false;
    const CNarrowString digits = text.Mid(colon + 1);
    if (digits.IsEmpty() || digits.GetLength() > 5) return false;
    int32_t v = 0;
    for (int i = 0; i < digits.GetLength(); ++i) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        v = v * 10 + (digits[i] - '0');
    }
    if (v < 1 || v > 65535) return false;
    host = text.Left(colon);
    port = v;
    return true;
}

bool FetchScript(const CNarrowString& url, int& kind, CWideString& err) {
    HttpConnectParams params;
    params.m_sUrl = Utf8ToWide(url);
    params.m_bUseProxy = 0; // the script's own host never goes through discovery
    params.m_bWinInet = 0;
    params.m_nConnectTimeout = kConnectTimeoutSeconds;
    params.m_nTimeout = 30;
    CRsp rsp;
    CWideString e;
    int k = 0;
    if (!HttpGetUrl(rsp, params, "GET", nullptr, k, e)) return Fail(kind, err, u"auto-proxy read: " + e);
    if (rsp.m_nStatus < 200 || rsp.m_nStatus > 299) {
        CWideString t;
        t.Format(u"auto-proxy read: HTTP status %d", (int)rsp.m_nStatus);
        return Fail(kind, err, t);
    }
    g_sScript = rsp.m_sBody;
    if (g_sScript.IsEmpty()) return Fail(kind, err, u"auto-proxy read: empty script");
    return true;
}

// The first answer of the script's list that can be used.
bool FromScript(const CNarrowString& host, int defaultPort, const CNarrowString& url, CNarrowString& proxyHost,
                int32_t& proxyPort, int& kind, CWideString& err) {
    CJSProxy js;
    CWideString e;
    if (!js.Init(g_sScript, e)) return Fail(kind, err, u"auto-proxy parsing: " + e);
    CNarrowString result;
    ++g_nEvaluations;
    if (!js.Compute(host, url, result, e)) return Fail(kind, err, u"auto-proxy computing: " + e);
    js.Release();
    int start = 0;
    for (int i = 0; i <= result.GetLength(); ++i) {
        if (i < result.GetLength() && result[i] != ';') continue;
        CNarrowString item = result.Mid(start, i - start);
        start = i + 1;
        item.Trim();
        CNarrowString lower = item;
        lower.MakeLower();
        if (lower.Left(6) == "direct") {
            proxyHost.Empty();
            proxyPort = 0;
            return true;
        }
        if (lower.Left(6) != "proxy ") continue;
        CNarrowString candidate = item.Mid(6);
        candidate.Trim();
        CNarrowString h;
        int32_t p = 0;
        if (!SplitProxy(candidate, defaultPort, true, h, p)) {
            ZorGetProgramLog().Printf("auto-proxy: skipped unusable proxy '%s'\n", candidate);
            continue;
        }
        ZorSocket probe;
        probe.m_nConnectTimeout = kConnectTimeoutSeconds;
        int k = 0;
        CWideString pe;
        if (probe.Connect(h, p, false, false, k, pe)) {
            probe.CloseQuietly();
            proxyHost = h;
            proxyPort = p;
            return true;
        }
    }
    return Fail(kind, err, u"none of proxies respond: " + Utf8ToWide(result));
}

} // namespace

int64_t ProxyScriptEvaluationCount() {
    return g_nEvaluations.load();
}

void ResetProxyDiscovery() {
    std::lock_guard<std::mutex> g(g_lock);
    g_sScript.Empty();
    g_cache.clear();
}

bool DiscoverProxy(CNarrowString host, int defaultPort, const CNarrowString& url, CNarrowString& proxyHost,
                   int32_t& proxyPort, int& kind, CWideString& err) {
    proxyHost.Empty();
    proxyPort = 0;
    ZorInternetSettings s;
    ZorReadInternetSettings(s);
    const CNarrowString scheme = SchemeOf(url);

    if (!s.m_sAutoConfigUrl.IsEmpty()) {
        std::lock_guard<std::mutex> g(g_lock);
        if (g_sScript.IsEmpty() && !FetchScript(WideToUtf8(s.m_sAutoConfigUrl), kind, err)) return false;
        CNarrowString lowerHost = host;
        lowerHost.MakeLower();
        const std::string key = std::string(scheme.GetString()) + "://" + lowerHost.GetString() + ":" +
                                std::to_string(defaultPort);
        auto it = g_cache.find(key);
        if (it != g_cache.end()) {
            proxyHost = it->second.first;
            proxyPort = it->second.second;
            return true;
        }
        if (!FromScript(host, defaultPort, url, proxyHost, proxyPort, kind, err)) return false;
        g_cache[key] = {proxyHost, proxyPort};
        return true;
    }

    CNarrowString list = WideToUtf8(s.m_sProxyServer);
    if (list.IsEmpty()) {
        const CNarrowString env = ZorEnvironmentProxy(scheme, host);
        if (env.IsEmpty()) return true;
        if (!SplitProxy(env, 1080, true, proxyHost, proxyPort))
            return Fail(kind, err, u"cannot parse found proxy " + Utf8ToWide(env));
        return true;
    }
    if (s.m_nProxyEnable == 0) return true;
    CNarrowString proxy;
    if (list.Find('=') < 0) {
        proxy = list;
    } else {
        int start = 0;
        bool found = false;
        while (!found && start < list.GetLength()) {
            const int eq = list.Find('=', start);
            if (eq < 0) break;
            int end = list.Find(';', eq);
            if (end < 0) end = list.GetLength();
            CNarrowString entryScheme = list.Mid(start, eq - start);
            entryScheme.Trim();
            if (entryScheme.CompareNoCase(scheme) == 0) {
                proxy = list.Mid(eq + 1, end - eq - 1);
                found = true;
            }
            start = end + 1;
        }
        if (!found) return true;
    }
    proxy.Trim();
    if (!SplitProxy(proxy, 0, false, proxyHost, proxyPort)) {
        proxyHost.Empty();
        proxyPort = 0;
        return Fail(kind, err, u"cannot parse found proxy " + Utf8ToWide(proxy));
    }
    return true;
}
