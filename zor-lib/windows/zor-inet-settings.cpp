// The current user's proxy settings.
#include "zor-inet-settings.h"

#include "zor-registry.h"

#include <cstdlib>
#include <strings.h>

void ZorReadInternetSettings(ZorInternetSettings& s) {
    static const char16_t* const kKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    s = ZorInternetSettings();
    RegGetStringValueQuiet(s.m_sAutoConfigUrl, HKEY_CURRENT_USER, kKey, u"AutoConfigURL");
    RegGetStringValueQuiet(s.m_sProxyServer, HKEY_CURRENT_USER, kKey, u"ProxyServer");
    RegGetDwordValueQuiet(s.m_nProxyEnable, HKEY_CURRENT_USER, kKey, u"ProxyEnable");
}

namespace {

const char* Env(const char* lower, const char* upper) {
    const char* v = getenv(lower);
    if ((!v || !*v) && upper) v = getenv(upper);
    return v && *v ? v : nullptr;
}

// True when a no_proxy list names the host: "*", the host itself, or a
// domain the host lies in (a leading '.' of an entry is optional).
bool NoProxyMatches(const char* list, const CNarrowString& host) {
    CNarrowString all(list);
    int start = 0;
    for (int i = 0; i <= all.GetLength(); ++i) {
        if (i < all.GetLength() && all[i] != ',') continue;
        CNarrowString e = all.Mid(start, i - start);
        start = i + 1;
        e.Trim();
        if (e == "*") return true;
        while (!e.IsEmpty() && e[0] == '.') e = e.Mid(1);
        if (e.IsEmpty()) continue;
        if (strcasecmp(host.GetString(), e.GetString()) == 0) return true;
        const int hl = host.GetLength(), el = e.GetLength();
        if (hl > el && host[hl - el - 1] == '.' && strcasecmp(host.GetString() + hl - el, e.GetString()) == 0)
            return true;
    }
    return false;
}

} // namespace

CNarrowString ZorEnvironmentProxy(const CNarrowString& scheme, const CNarrowString& host) {
    const char* v = nullptr;
    if (strcasecmp(scheme.GetString(), "https") == 0) v = Env("https_proxy", "HTTPS_PROXY");
    else if (strcasecmp(scheme.GetString(), "http") == 0) v = Env("http_proxy", nullptr);
    if (!v) return CNarrowString();
    const char* np = Env("no_proxy", "NO_PROXY");
    if (np && NoProxyMatches(np, host)) return CNarrowString();
    CNarrowString p(v);
    p.Trim();
    const int sep = p.Find("://");
    if (sep >= 0) p = p.Mid(sep + 3);
    const int at = p.ReverseFind('@');
    if (at >= 0) p = p.Mid(at + 1);
    const int slash = p.Find('/');
    if (slash >= 0) p = p.Left(slash);
    return p;
}
