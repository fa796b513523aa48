// Proxy discovery for connections that follow the system's proxy settings.
#pragma once

#include "zor-string.h"

// The proxy for a target: an empty host (and port 0) means a direct
// connection. Discovery from the system's settings and auto-config scripts is
// not available on this platform yet, so every target goes direct; the
// program's manual proxy (CProxyOptions) is applied by the caller.
bool DiscoverProxy(const CNarrowString& host, int defaultPort, const CNarrowString& url, CNarrowString& proxyHost,
                   int32_t& proxyPort, int& kind, CWideString& err);
