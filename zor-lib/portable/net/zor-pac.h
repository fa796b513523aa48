// The proxy auto-config evaluator: a script's FindProxyForURL run in the
// script host (zor-script-host.h) with the 13 functions auto-config scripts
// may call, and the wildcard match behind "shExpMatch".
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <memory>

class ZorScriptHost;

// Wildcard match: '*' any run, '?' one character, "^." a '.' or the end of
// the text, "^?" one optional character other than '.', "^*" one character
// other than '.'; any other character matches itself (case-sensitively). A
// '^' before anything else, a pattern of more than 2082 tokens or a text of
// 2084 characters or more match nothing.
bool ShExpMatch(const char* text, const char* pattern);

// The dotted address of a host: a numeric host as it is, else the first IPv4
// address the resolver gives. 0 on success; 122 (with the needed size in
// nSize) when the buffer is too small; 8 or 12007 when the host cannot be
// resolved.
int ResolveHostName(const char* host, char* buffer, uint32_t& nSize);

// The evaluator of one discovery.
class CJSProxy {
public:
    CJSProxy();
    ~CJSProxy();
    CJSProxy(const CJSProxy&) = delete;
    CJSProxy& operator=(const CJSProxy&) = delete;
    // A fresh engine with the 13 functions, running the script's text.
    // "cannot init: err=80004005: " and the script's error on failure.
    bool Init(const CNarrowString& script, CWideString& err);
    // FindProxyForURL(url, host). "not initialized", or "cannot translate:
    // err=80004005: " and the script's error.
    bool Compute(const CNarrowString& host, const CNarrowString& url, CNarrowString& result, CWideString& err);
    void Release();

private:
    std::unique_ptr<ZorScriptHost> m_pHost;
    bool m_bInitialized = false;
};
