// The cloud test account (tools/fake-cloud.py) over HTTPS with this run's
// certificates, its control API, the policy values in a per-run registry,
// and connect helpers.
#pragma once

#include "OrvanFS.h"
#include "s3-test-util.h"
#include "zor-http.h"
#include "zor-registry.h"
#include "zor-ssl.h"

#include <cstdlib>
#include <string>

class CloudServer {
public:
    // cert: "san" (trusted, localhost), "self" (untrusted), "other" (wrong name); plain: no TLS.
    bool Start(const std::string& pkiDir, const std::string& cert = "san", bool plain = false) {
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(TV_SOURCE_DIR) + "/tools/fake-cloud.py",
                                         "--cert", pkiDir + "/" + cert + ".pem", "--key", pkiDir + "/" + cert + ".key"};
        if (plain) argv.push_back("--plain");
        if (!m_child.Start(argv)) return false;
        std::string line = m_child.ReadLine(10000);
        if (line.rfind("PORT ", 0) != 0) return false;
        m_port = std::atoi(line.c_str() + 5);
        return m_port > 0;
    }
    int Port() const { return m_port; }
    std::string Host() const { return "localhost:" + std::to_string(m_port); }

    // POST /_ctl/<cmd> with a JSON body; the reply body.
    std::string Ctl(const std::string& cmd, const std::string& json = "{}", const char* method = "POST") {
        HttpConnectParams p;
        p.m_sUrl = Utf8ToWide(("https://" + Host() + "/_ctl/" + cmd).c_str());
        p.m_bUseProxy = 0;
        CRsp rsp;
        rsp.m_sReqBody = CNarrowString(json.c_str());
        int kind = 0;
        CWideString err;
        if (!HttpGetUrl(rsp, p, method, nullptr, kind, err)) return "CTL FAILED: " + std::string(WideToUtf8(err).GetString());
        return std::string(rsp.m_sBody.GetString(), rsp.m_sBody.GetLength());
    }
    std::string Log() { return Ctl("log", "", "GET"); }
    void Set(const std::string& json) { Ctl("set", json); }

private:
    testsrv::Child m_child;
    int m_port = 0;
};

// Policy values of the cloud back-end in a registry of this run.
inline void SetPolicy(const char16_t* name, uint32_t v) {
    CWideString err;
    RegSetDwordValue(v, HKEY_CURRENT_USER, kOrvanPolicyKey, name, err);
}
inline void SetPolicy(const char16_t* name, const char* v) {
    CWideString err;
    RegSetStringValue(Utf8ToWide(v), HKEY_CURRENT_USER, kOrvanPolicyKey, name, err);
}
inline void ClearPolicies() {
    RegDeleteKeyTreeQuiet(HKEY_CURRENT_USER, kOrvanPolicyKey, CWideString());
}

inline TvConnectInfo CloudInfo(const std::string& host, const char* user = "user@example.com",
                               const char* password = "secret", const std::string& path = "") {
    TvConnectInfo ci;
    ci.m_sUrl = Utf8ToWide(("luds://" + host + path).c_str());
    ci.m_sUserID = Utf8ToWide(user);
    CWideString err;
    ci.SetPasswordClear(Utf8ToWide(password), err);
    return ci;
}

inline int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}
