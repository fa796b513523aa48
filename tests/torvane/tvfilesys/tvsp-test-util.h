// Helpers of the peer back-end tests: the peer file server, forwarder,
// mediator and UDP responder of tools/, each on 127.0.0.1 and stopped by pid.
#pragma once

#include "TvspFileSys.h"
#include "s3-test-util.h"
#include "zor-registry.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace tvsptest {

inline std::string Tool(const char* name) {
    return std::string(TV_SOURCE_DIR) + "/tools/" + name;
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
}

inline int StartAndReadPort(testsrv::Child& child, const std::vector<std::string>& argv) {
    if (!child.Start(argv)) return 0;
    std::string line = child.ReadLine(10000);
    return line.empty() ? 0 : std::atoi(line.c_str());
}

// tools/tvtp-peer-server.py over <dir>/root; faults in <dir>/faults.json.
class PeerServer {
public:
    bool Start(std::vector<std::string> extra = {}) {
        testsrv::RunCommand("mkdir -p '" + Root() + "'");
        testsrv::WriteFileText(m_dir / "faults.json", "[]");
        std::vector<std::string> argv = {"/usr/bin/python3", Tool("tvtp-peer-server.py"), "--root", Root(),
                                         "--log", m_dir / "log.jsonl", "--faults", m_dir / "faults.json"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_nPort = StartAndReadPort(m_child, argv);
        return m_nPort > 0;
    }
    void Faults(const std::string& json) { testsrv::WriteFileText(m_dir / "faults.json", json); }
    std::string Root() const { return m_dir / "root"; }
    std::string Dir() const { return m_dir.Path(); }
    int Port() const { return m_nPort; }
    std::vector<std::string> Log() const { return ReadLines(m_dir / "log.jsonl"); }
    // Log lines of one verb.
    std::vector<std::string> LogOf(const std::string& verb) const {
        std::vector<std::string> r;
        for (auto& l : Log())
            if (l.find("\"verb\": \"" + verb + "\"") != std::string::npos) r.push_back(l);
        return r;
    }
    std::string Url() const { return "tvtp://127.0.0.1:" + std::to_string(m_nPort) + "/file://" + Root(); }

private:
    testsrv::TempDir m_dir;
    testsrv::Child m_child;
    int m_nPort = 0;
};

class Mediator {
public:
    bool Start(const std::string& records, std::vector<std::string> extra = {}) {
        testsrv::WriteFileText(m_dir / "records.json", records);
        std::vector<std::string> argv = {"/usr/bin/python3", Tool("tvtp-mediator.py"), "--records",
                                         m_dir / "records.json", "--log", m_dir / "log.jsonl"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_nPort = StartAndReadPort(m_child, argv);
        return m_nPort > 0;
    }
    int Port() const { return m_nPort; }
    std::vector<std::string> Log() const { return ReadLines(m_dir / "log.jsonl"); }

private:
    testsrv::TempDir m_dir;
    testsrv::Child m_child;
    int m_nPort = 0;
};

class UdpResponder {
public:
    bool Start(const std::string& replies, int replyPort, std::vector<std::string> extra = {}) {
        testsrv::WriteFileText(m_dir / "replies.json", replies);
        std::vector<std::string> argv = {"/usr/bin/python3", Tool("tvtp-udp-responder.py"), "--replies",
                                         m_dir / "replies.json", "--log", m_dir / "log.jsonl", "--port", "0",
                                         "--reply-port", std::to_string(replyPort)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_nPort = StartAndReadPort(m_child, argv);
        return m_nPort > 0;
    }
    int Port() const { return m_nPort; }
    std::vector<std::string> Log() const { return ReadLines(m_dir / "log.jsonl"); }

private:
    testsrv::TempDir m_dir;
    testsrv::Child m_child;
    int m_nPort = 0;
};

// A free UDP port on 127.0.0.1.
inline int FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr*)&a, &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Registry and profile of one test in a folder of its own; the discovery
// settings back at their defaults at the end.
class PeerEnv {
public:
    PeerEnv() {
        setenv("TORVANE_REGISTRY_DIR", m_dir.Path().c_str(), 1);
        setenv("TORVANE_PROFILE_DIR", m_dir.Path().c_str(), 1);
        testsrv::ClearProxyEnvironment();
    }
    ~PeerEnv() {
        unsetenv("TORVANE_REGISTRY_DIR");
        unsetenv("TORVANE_PROFILE_DIR");
        TvspSetDiscoveryEnv(TvspDiscoveryEnv());
    }
    void SetMediator(int port) {
        CWideString e;
        RegSetStringValue(CWideString::Formatted(u"127.0.0.1:%d", port), HKEY_CURRENT_USER,
                          u"Software\\Zorvek Systems\\Torvane", u"PeerMediator", e);
    }
    void AllowPlainBasic(bool b) {
        CWideString e;
        RegSetDwordValue(b ? 1 : 0, HKEY_CURRENT_USER, u"Software\\Zorvek Systems\\Torvane",
                         u"AllowBasicAuthWithoutTls", e);
    }
    // LAN discovery on loopback: no adapters, the given neighbours, the
    // responder's port and a reply port of our own.
    int UseLoopbackLan(int pingPort, std::vector<uint32_t> neighbours = {htonl(INADDR_LOOPBACK)}) {
        TvspDiscoveryEnv env;
        env.nPingPort = pingPort;
        env.nReplyPort = m_nReplyPort;
        env.nReceiveTimeoutSec = 1;
        env.getAdapters = [](CArrayT<ZorAdapterEntry>& l, int&, CWideString&) {
            l.RemoveAll();
            return true;
        };
        env.getArp = [neighbours](CArrayT<uint32_t>& l, CWideString&) {
            l.RemoveAll();
            for (uint32_t a : neighbours) l.Add(a);
            return true;
        };
        TvspSetDiscoveryEnv(env);
        return m_nReplyPort;
    }
    int ReplyPort() const { return m_nReplyPort; }
    std::string Dir() const { return m_dir.Path(); }

private:
    testsrv::TempDir m_dir;
    int m_nReplyPort = FreeUdpPort();
};

inline TvConnectInfo Info(const std::string& url, const char* user = "alice", const char* password = "pw") {
    TvConnectInfo ci;
    ci.m_sUrl = Utf8ToWide(url.c_str());
    ci.m_sUserID = Utf8ToWide(user);
    CWideString e;
    ci.SetPasswordClear(Utf8ToWide(password), e);
    return ci;
}

} // namespace tvsptest
