#include "zor-proxy-discovery.h"

bool DiscoverProxy(const CNarrowString& host, int defaultPort, const CNarrowString& url, CNarrowString& proxyHost,
                   int32_t& proxyPort, int& kind, CWideString& err) {
    (void)host;
    (void)defaultPort;
    (void)url;
    (void)kind;
    (void)err;
    proxyHost.Empty();
    proxyPort = 0;
    return true;
}
