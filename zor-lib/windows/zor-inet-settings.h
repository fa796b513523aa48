// The current user's proxy settings: "AutoConfigURL", "ProxyServer" and
// "ProxyEnable" under "Software\Microsoft\Windows\CurrentVersion\Internet
// Settings" in the registry store, and, where the store names no proxy, the
// proxy variables of the environment as curl reads them.
#pragma once

#include "zor-string.h"

#include <cstdint>

struct ZorInternetSettings {
    CWideString m_sAutoConfigUrl;
    CWideString m_sProxyServer;
    uint32_t m_nProxyEnable = 0;
};

// Missing values read as empty or 0.
void ZorReadInternetSettings(ZorInternetSettings& s);

// The environment's proxy for a URL of that scheme to that host: https_proxy
// (or HTTPS_PROXY) for "https", http_proxy for "http", nothing for other
// schemes; empty when no_proxy (or NO_PROXY) is "*" or names the host or one
// of its parent domains. The proxy as "host[:port]", without a scheme prefix
// or path.
CNarrowString ZorEnvironmentProxy(const CNarrowString& scheme, const CNarrowString& host);
