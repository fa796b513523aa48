// Proxy discovery for connections that follow the system's proxy settings
// (zor-inet-settings.h): an auto-config script named by "AutoConfigURL",
// else the fixed list of "ProxyServer" when "ProxyEnable" is set, else the
// environment's proxy variables.
#pragma once

#include "zor-string.h"

#include <cstdint>

// The proxy for a target: an empty host (and port 0) means a direct
// connection. defaultPort is the target's port, the port of a proxy that
// names none. Failures carry kind 5. Discoveries run one at a time.
//
// The script is fetched once per process, directly (never through a proxy),
// with a 5-second connect time-out; its answers are cached per scheme, host
// and port. Each named proxy is probed by a TCP connect (5-second time-out)
// and the first that accepts is the answer.
bool DiscoverProxy(CNarrowString host, int defaultPort, const CNarrowString& url, CNarrowString& proxyHost,
                   int32_t& proxyPort, int& kind, CWideString& err);

// How many times a script's FindProxyForURL ran in this process.
int64_t ProxyScriptEvaluationCount();
// Forgets the fetched script and the cached answers (tests: the settings
// changed).
void ResetProxyDiscovery();
