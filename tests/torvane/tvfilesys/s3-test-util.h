// Helpers of the S3 back-end tests: a progress callback that records its
// notices, and reading the reply fixtures.
#pragma once

#include "test-tmp.h"
#include "TvFsRecords.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <mutex>
#include <string>
#include <vector>

class S3NoticeRecorder : public ICopyProgress {
public:
    std::vector<std::pair<int, std::string>> m_notices;
    int m_nReports = 0;
    int m_nStopAfterReports = -1; // answer "stop" at this report (counting from 1)
    std::mutex m_lock;

    bool OnProgress(bool, int64_t, int64_t, int& errKind, CWideString& err) override {
        std::lock_guard<std::mutex> g(m_lock);
        if (++m_nReports == m_nStopAfterReports) {
            SetStoppedByUser(errKind, err);
            return false;
        }
        return true;
    }
    void OnMessage(int level, const CWideString& text) override {
        std::lock_guard<std::mutex> g(m_lock);
        m_notices.emplace_back(level, std::string(WideToUtf8(text).GetString()));
    }
    int CountContaining(const std::string& part) {
        std::lock_guard<std::mutex> g(m_lock);
        int n = 0;
        for (auto& [lvl, t] : m_notices)
            if (t.find(part) != std::string::npos) n++;
        return n;
    }
};

inline std::string S3Fixture(const char* name) {
    std::string path = std::string(TV_SOURCE_DIR) + "/tests/fuzz/corpus/s3reply/" + name;
    CNarrowString body;
    CWideString err;
    int kind = 0;
    if (!ReadWholeFile(Utf8ToWide(path.c_str()), 1 << 24, body, kind, err)) return std::string();
    return std::string(body.GetString(), body.GetLength());
}

// ------------------------------------------------------------ test peers
#include "S3FileSysZorSock.h"

// ------------------------------------------------------------ processes and files
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace testsrv {

inline void ClearProxyEnvironment() {
    for (const char* v : {"http_proxy", "https_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "all_proxy",
                          "ALL_PROXY"})
        unsetenv(v);
}
inline std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
inline void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}
inline int RunCommand(const std::string& cmd) {
    return system(cmd.c_str());
}

class TempDir {
public:
    TempDir() {
        std::string tmplPath = TvTmpPath("tvs3XXXXXX");
        char* tmpl = tmplPath.data();
        if (mkdtemp(tmpl)) m_path = tmpl;
    }
    ~TempDir() {
        if (!m_path.empty()) RunCommand("rm -rf '" + m_path + "'");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A server process with its standard output on a pipe; stopped by its pid.
class Child {
public:
    ~Child() { Stop(); }
    bool Start(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe(out)) return false;
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            setpgid(0, 0);
            int nul = open("/dev/null", O_RDWR);
            dup2(nul, 0);
            dup2(out[1], 1);
            close(out[0]);
            ClearProxyEnvironment();
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back((char*)a.c_str());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        m_stdout = out[0];
        return true;
    }
    // One line of the output (bounded wait).
    std::string ReadLine(int timeoutMs) {
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{m_stdout, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c;
            if (read(m_stdout, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
    void Stop() {
        if (m_stdout >= 0) close(m_stdout);
        m_stdout = -1;
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
};

} // namespace testsrv

// s3rver on 127.0.0.1 (patched by tools/install-deps.sh), one bucket "tb",
// keys S3RVER/S3RVER, names under ".localhost" for host-based addressing;
// with bTls a second form with a per-run root and a certificate for
// s3.localhost and *.s3.localhost.
class S3rver {
public:
    static std::string Script() { return std::string(TV_SOURCE_DIR) + "/tools/node_modules/s3rver/bin/s3rver.js"; }
    static bool Available() { return access(Script().c_str(), R_OK) == 0 && access("/usr/bin/node", X_OK) == 0; }

    bool Start(bool bTls = false) {
        std::vector<std::string> argv = {"/usr/bin/node", Script(), "-a", "127.0.0.1", "-p", "0", "-s",
                                         "-d", m_dir / "data", "--service-endpoint", "localhost",
                                         "--configure-bucket", "tb"};
        testsrv::RunCommand("mkdir -p '" + (m_dir / "data") + "'");
        if (bTls) {
            std::string d = m_dir.Path();
            testsrv::WriteFileText(d + "/san.cnf", "subjectAltName=DNS:s3.localhost,DNS:*.s3.localhost\n");
            std::string cmd =
                "cd '" + d + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
                "-subj /CN=TorvaneS3TestRoot >/dev/null 2>&1 && openssl req -newkey rsa:2048 -nodes -keyout "
                "server.key -out server.csr -subj /CN=s3.localhost >/dev/null 2>&1 && openssl x509 -req -in "
                "server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.cnf "
                ">/dev/null 2>&1";
            if (testsrv::RunCommand(cmd) != 0) return false;
            argv.insert(argv.end(), {"--key", d + "/server.key", "--cert", d + "/server.pem"});
        }
        if (!m_child.Start(argv)) return false;
        std::smatch m;
        static const std::regex re("listening on [^:]+:(\\d+)");
        std::string line;
        for (int i = 0; i < 5 && !std::regex_search(line, m, re); i++) line = m_child.ReadLine(20000);
        if (m.empty()) return false;
        m_nPort = std::stoi(m[1]);
        return true;
    }
    int Port() const { return m_nPort; }
    std::string RootsFile() const { return m_dir / "ca.pem"; }
    std::string DataDir() const { return m_dir / "data"; }

private:
    testsrv::TempDir m_dir;
    testsrv::Child m_child;
    int m_nPort = 0;
};

// tools/fake-s3.py with a script of queued answers; its request log.
class FakeS3 {
public:
    // mtime: the modification time of every stored object (0: when stored).
    bool Start(const std::string& scriptJson = "[]", int pageSize = 1000, int64_t mtime = 0) {
        testsrv::WriteFileText(m_dir / "script.json", scriptJson);
        std::vector<std::string> argv = {"/usr/bin/python3", std::string(TV_SOURCE_DIR) + "/tools/fake-s3.py",
                                         "--bucket", "b", "--page-size", std::to_string(pageSize),
                                         "--script", m_dir / "script.json", "--log", m_dir / "log.txt"};
        if (mtime) argv.insert(argv.end(), {"--mtime", std::to_string(mtime)});
        if (!m_child.Start(argv)) return false;
        std::string line = m_child.ReadLine(10000);
        m_nPort = line.empty() ? 0 : std::atoi(line.c_str());
        return m_nPort > 0;
    }
    int Port() const { return m_nPort; }
    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        std::ifstream f(m_dir / "log.txt");
        for (std::string l; std::getline(f, l);) lines.push_back(l);
        return lines;
    }
    // Log lines holding the text.
    int Count(const std::string& part) const {
        int n = 0;
        for (const std::string& l : Log())
            if (l.find(part) != std::string::npos) n++;
        return n;
    }
    std::string Dir() const { return m_dir.Path(); }

private:
    testsrv::TempDir m_dir;
    testsrv::Child m_child;
    int m_nPort = 0;
};

// The default host and suffix of the tests: nothing leaves the machine.
inline void UseLocalS3Hosts() {
    g_sS3DefaultHost = "s3.localhost";
    g_sS3HostSuffix = ".localhost";
}

inline TvConnectInfo S3Settings(const std::string& url, bool bHostBased = false) {
    TvConnectInfo ci;
    ci.m_sUrl = Utf8ToWide(url.c_str());
    ci.m_bHostBasedAddr = bHostBased ? 1 : 0;
    ci.m_bUseProxy = 0;
    return ci;
}

inline std::string ReadLocal(const std::string& path) {
    return testsrv::ReadFileText(path);
}
inline std::string PatternBytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 24);
    }
    return s;
}
