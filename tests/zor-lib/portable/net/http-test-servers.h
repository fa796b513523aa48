// Servers of the HTTP client's tests on 127.0.0.1, built on the network
// test helpers (net-test-util.h): the scripted byte server of
// tools/http-byte-server.py, Apache with TLS, authentication, DAV, redirects
// and CGI scripts, and tinyproxy.
#pragma once

#include "net-test-util.h"

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsrv {

// Proxy variables of the environment never reach the code under test.
inline void ClearProxyEnvironment() {
    for (const char* v : {"http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "all_proxy",
                          "ALL_PROXY"})
        unsetenv(v);
}

using ntest::Child;
using ntest::FreePort;
using ntest::TempDir;

inline std::string ReadFileText(const std::string& path) {
    return ntest::ReadFile(path);
}

inline void WriteFileText(const std::string& path, const std::string& text, mode_t mode = 0644) {
    ntest::WriteFile(path, text);
    chmod(path.c_str(), mode);
}

inline int RunCommand(const std::string& cmd) {
    return system(cmd.c_str());
}

// True once 127.0.0.1:port accepts a connection (bounded wait).
inline bool WaitForPort(int port, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        int r = connect(s, (sockaddr*)&a, sizeof(a));
        close(s);
        if (r == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// A JSON string literal of bytes (code points 0-255).
inline std::string JsonBytes(const std::string& bytes) {
    std::string r = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            r += '\\';
            r += (char)c;
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            r += buf;
        } else {
            r += (char)c;
        }
    }
    return r + "\"";
}

// Steps of one scripted connection (see tools/http-byte-server.py).
struct Conn {
    std::vector<std::string> steps;
    Conn& Request() { return Add("{\"read\": \"request\"}"); }
    Conn& Head() { return Add("{\"read\": \"head\"}"); }
    Conn& ReadBytes(long n) { return Add("{\"read\": " + std::to_string(n) + "}"); }
    Conn& Send(const std::string& bytes, long repeat = 1) {
        return Add("{\"send\": " + JsonBytes(bytes) + ", \"repeat\": " + std::to_string(repeat) + "}");
    }
    Conn& Sleep(int ms) { return Add("{\"sleep\": " + std::to_string(ms) + "}"); }
    Conn& Drain() { return Add("{\"drain\": true}"); }
    Conn& Close() { return Add("{\"close\": true}"); }
    Conn& Add(const std::string& s) {
        steps.push_back(s);
        return *this;
    }
};

class ByteServer {
public:
    // Starts the server with one script per accepted connection (the last
    // one serves every later connection).
    bool Start(const std::vector<Conn>& conns, int maxSeconds = 30) {
        std::string json = "{\"connections\": [";
        for (size_t i = 0; i < conns.size(); ++i) {
            json += i ? ", [" : "[";
            for (size_t j = 0; j < conns[i].steps.size(); ++j) json += (j ? ", " : "") + conns[i].steps[j];
            json += "]";
        }
        json += "]}";
        WriteFileText(m_dir / "script.json", json);
        std::string script = std::string(TV_SOURCE_DIR) + "/tools/http-byte-server.py";
        if (!m_child.Start({"/usr/bin/python3", script, m_dir / "script.json", m_dir / "log.jsonl",
                            std::to_string(maxSeconds)},
                           "", true))
            return false;
        std::string line; // the first line is the port
        if (!m_child.WaitFor("", 10000, &line)) return false;
        m_port = atoi(line.c_str());
        return m_port > 0;
    }
    int Port() const { return m_port; }
    void Stop() { m_child.Stop(); }
    // The log lines (one JSON object each).
    std::vector<std::string> Log() const {
        std::vector<std::string> r;
        std::istringstream in(ReadFileText(m_dir / "log.jsonl"));
        for (std::string line; std::getline(in, line);) r.push_back(line);
        return r;
    }
    int Accepts() const {
        int n = 0;
        for (const std::string& l : Log())
            if (l.find("\"accept\"") != std::string::npos) ++n;
        return n;
    }
    // The request heads received, JSON-escaped ("\r\n" appears as \\r\\n).
    std::vector<std::string> Heads() const {
        std::vector<std::string> r;
        for (const std::string& l : Log())
            if (l.find("\"head\"") != std::string::npos) r.push_back(l);
        return r;
    }

private:
    TempDir m_dir;
    Child m_child;
    int m_port = 0;
};

// Test certificates: a root and a server certificate for 127.0.0.1 and
// localhost, made once per folder with the openssl tool.
inline bool MakeTestCertificates(const TempDir& dir) {
    std::string d = dir.Path();
    WriteFileText(d + "/san.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    std::string cmd =
        "cd '" + d + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TorvaneTestRoot "
        ">/dev/null 2>&1 && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost >/dev/null 2>&1 && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile san.cnf >/dev/null 2>&1";
    return RunCommand(cmd) == 0;
}

// Apache on 127.0.0.1: a plain and a TLS port, Basic and Digest areas, a DAV
// folder under Digest, redirects and CGI scripts. The document root is
// <dir>/htdocs; access log lines are "<client port> <keep-alive count> <request line> <status>".
class Apache {
public:
    static constexpr const char* kUser = "alice";
    static constexpr const char* kPassword = "s3cret";

    bool Start() {
        if (access("/usr/sbin/apache2", X_OK) != 0) return false;
        std::string d = m_dir.Path();
        if (!MakeTestCertificates(m_dir)) return false;
        for (const char* sub : {"htdocs", "htdocs/basic", "htdocs/digest", "htdocs/dav", "htdocs/files", "cgi", "run"})
            mkdir((d + "/" + sub).c_str(), 0755);
        chmod((d + "/htdocs/dav").c_str(), 0777);
        chmod((d + "/run").c_str(), 0777);
        WriteFileText(d + "/htdocs/files/a.txt", "file a\n");
        WriteFileText(d + "/htdocs/basic/x.txt", "basic x\n");
        WriteFileText(d + "/htdocs/digest/x.txt", "digest x\n");
        // password files: {SHA} for Basic, the MD5 of user:realm:password for Digest
        std::string sha = Capture("printf '%s' '" + std::string(kPassword) + "' | openssl dgst -sha1 -binary | base64");
        WriteFileText(d + "/htpasswd", std::string(kUser) + ":{SHA}" + sha + "\n");
        std::string ha1 = Capture("printf '%s' '" + std::string(kUser) + ":dav:" + kPassword + "' | md5sum | cut -c1-32");
        WriteFileText(d + "/htdigest", std::string(kUser) + ":dav:" + ha1 + "\n");
        WriteCgiScripts();
        // what the shared apache2 fixture does not load or set; the TLS port
        // is chosen anew when apache has to try again
        auto makeConf = [&] {
            m_tlsPort = FreePort();
            std::string mods = "/usr/lib/apache2/modules/";
            std::string conf;
            for (const char* m : {"alias", "cgi", "mime", "dav", "dav_fs", "ssl", "socache_shmcb", "dir", "env"})
                conf += std::string("LoadModule ") + m + "_module " + mods + "mod_" + m + ".so\n";
            conf += "HttpProtocolOptions Unsafe\nListen 127.0.0.1:" + std::to_string(m_tlsPort) + "\n";
            conf += "LogFormat \"%{remote}p %k \\\"%r\\\" %>s\" tv\nCustomLog " + d + "/access.log tv\n";
            // an idle connection stays open between the requests of a test however
            // slow the machine (a redirect is followed on the same connection)
            conf += "KeepAliveTimeout 15\nMaxKeepAliveRequests 100\nTimeout 20\n";
            conf += "TypesConfig /etc/mime.types\nDavLockDB " + d + "/run/davlock\n";
            conf += "ScriptAlias /cgi/ " + d + "/cgi/\n";
            conf += "<Directory " + d + "/cgi>\n Require all granted\n Options +ExecCGI\n CGIPassAuth On\n</Directory>\n";
            conf += "<Directory " + d + "/htdocs/basic>\n AuthType Basic\n AuthName basic\n AuthBasicProvider file\n"
                    " AuthUserFile " + d + "/htpasswd\n Require valid-user\n</Directory>\n";
            for (const char* area : {"digest", "dav"})
                conf += "<Directory " + d + "/htdocs/" + area + ">\n AuthType Digest\n AuthName dav\n AuthDigestProvider file\n"
                        " AuthUserFile " + d + "/htdigest\n Require valid-user\n</Directory>\n";
            conf += "<Location /dav>\n Dav On\n</Location>\n";
            conf += "Redirect 302 /redir /files/a.txt\n";
            conf += "Redirect 302 /to-tls https://127.0.0.1:" + std::to_string(m_tlsPort) + "/files/a.txt\n";
            conf += "<VirtualHost 127.0.0.1:" + std::to_string(m_tlsPort) + ">\n SSLEngine on\n SSLCertificateFile " + d +
                    "/server.pem\n SSLCertificateKeyFile " + d + "/server.key\n</VirtualHost>\n";
            conf += "SSLSessionCache shmcb:" + d + "/run/sslcache(512000)\n";
            return conf;
        };
        if (!m_apache.Start(m_dir, makeConf)) return false;
        m_port = m_apache.Port();
        // the redirects to the plain port learn it from this file
        WriteFileText(d + "/plainport", std::to_string(m_port));
        return WaitForPort(m_tlsPort, 60000);
    }
    int Port() const { return m_port; }
    int TlsPort() const { return m_tlsPort; }
    std::string Dir() const { return m_dir.Path(); }
    std::string RootsFile() const { return m_dir / "ca.pem"; }
    std::string AccessLog() const { return ReadFileText(m_dir / "access.log"); }
    std::string ErrorLog() const { return ReadFileText(m_dir / "error.log"); }
    const std::string& Error() const { return m_apache.Error(); }

private:
    TempDir m_dir;
    ntest::Apache m_apache; // after the folder: stopped before it goes
    int m_port = 0;
    int m_tlsPort = 0;

    static std::string Capture(const std::string& cmd) {
        std::string out;
        FILE* f = popen(cmd.c_str(), "r");
        if (!f) return out;
        char buf[256];
        while (fgets(buf, sizeof(buf), f)) out += buf;
        pclose(f);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return out;
    }

    void Script(const std::string& name, const std::string& body) {
        WriteFileText(m_dir / ("cgi/" + name), "#!/bin/sh\n" + body, 0755);
    }
    void WriteCgiScripts() {
        Script("s519", "printf 'Status: 519 Still Working\\r\\nx-zor-err: 8\\r\\nContent-Type: text/plain\\r\\n\\r\\nbusy'\n");
        Script("s503", "printf 'Status: 503 Busy\\r\\nRetry-After: 1\\r\\nContent-Type: text/plain\\r\\n\\r\\nlater'\n");
        Script("s204", "printf 'Status: 204 No Content\\r\\n\\r\\n'\n");
        Script("s507", "printf 'Status: 507 Full\\r\\nContent-Type: text/plain\\r\\n\\r\\nfull'\n");
        Script("zerr", "printf 'Status: 500 Failed\\r\\nx-zor-err: 3\\r\\nContent-Type: text/plain\\r\\n\\r\\nno'\n");
        Script("reason", "printf 'Status: 500 Failed\\r\\nreason: Fichier d\\303\\251j\\303\\240 pris\\r\\n"
                         "Content-Type: text/plain\\r\\n\\r\\nno'\n");
        Script("session", "printf 'Status: 200 OK\\r\\nx-zor-session: S-42\\r\\nx-zor-seqno: 17\\r\\n"
                          "Set-Cookie: a=1; Path=/\\r\\nSet-Cookie: b=2; HttpOnly\\r\\nContent-Type: text/plain\\r\\n\\r\\nok'\n");
        // no length: Apache sends it chunked on HTTP/1.1
        Script("chunked", "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                          "head -c 300000 /dev/zero | tr '\\000' 'z'\n");
        // redirects to the plain port: back from TLS, and to another site (127.1 is not 127.0.0.1's site)
        Script("to-plain", "printf 'Status: 302 Found\\r\\nLocation: http://127.0.0.1:%s/files/a.txt\\r\\n\\r\\n' "
                           "\"$(cat " + (m_dir / "plainport") + ")\"\n");
        Script("to-other", "printf 'Status: 302 Found\\r\\nLocation: http://127.1:%s/cgi/echo\\r\\n\\r\\n' "
                           "\"$(cat " + (m_dir / "plainport") + ")\"\n");
        // what arrived: the request's Authorization and Cookie lines
        Script("echo", "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                       "printf 'auth=[%s] cookie=[%s] host=[%s]' \"$HTTP_AUTHORIZATION\" \"$HTTP_COOKIE\" \"$HTTP_HOST\"\n");
    }
};

// tinyproxy on 127.0.0.1, optionally with Basic authentication.
class TinyProxy {
public:
    bool Start(const std::string& user = "", const std::string& password = "") {
        if (access("/usr/bin/tinyproxy", X_OK) != 0) return false;
        chmod(m_dir.Path().c_str(), 0777);
        // A port that was free a moment ago may be taken before tinyproxy
        // binds it: tinyproxy then stops without its pid file (written only
        // after the bind), and a new port is tried.
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = FreePort();
            std::string conf = "Port " + std::to_string(m_port) + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                               "LogLevel Info\nLogFile \"" + (m_dir / "proxy.log") + "\"\nAllow 127.0.0.1\n"
                               "DisableViaHeader Yes\nPidFile \"" + (m_dir / "tinyproxy.pid") + "\"\n";
            if (geteuid() == 0) conf += "User nobody\nGroup nogroup\n";
            if (!user.empty()) conf += "BasicAuth " + user + " " + password + "\n";
            WriteFileText(m_dir / "tinyproxy.conf", conf);
            unlink((m_dir / "tinyproxy.pid").c_str());
            if (!m_child.Start({"/usr/bin/tinyproxy", "-d", "-c", m_dir / "tinyproxy.conf"})) return false;
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            bool exited = false;
            while (!exited && std::chrono::steady_clock::now() < until) {
                if (access((m_dir / "tinyproxy.pid").c_str(), F_OK) == 0) return WaitForPort(m_port, 60000);
                exited = m_child.WaitExit(20);
            }
            if (!exited) break; // neither up nor stopped: give up
        }
        m_child.Stop();
        return false;
    }
    void Stop() { m_child.Stop(); }
    int Port() const { return m_port; }
    std::string Log() const { return ReadFileText(m_dir / "proxy.log"); }

private:
    TempDir m_dir;
    Child m_child;
    int m_port = 0;
};

} // namespace testsrv
