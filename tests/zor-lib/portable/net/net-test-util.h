// Helpers of the network tests: temporary folders, child processes stopped
// by pid, per-run certificates made with the openssl command, an openssl
// s_server on 127.0.0.1 and an apache2 in the foreground.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>
#include <vector>

#include "../../windows/windows-test-util.h"

namespace ntest {

using wtest::ReadFile;
using wtest::WriteFile;

// A fresh folder (removed with its content at the end) that others may read:
// apache's worker user serves files from below it.
class TempDir : public wtest::TempDir {
public:
    TempDir() { ::chmod(Path().c_str(), 0755); }
};

// Runs a shell command; true on exit status 0. Output goes to the log file
// when given (else it is dropped).
inline bool Shell(const std::string& cmd, const std::string& log = "/dev/null") {
    std::string full = "(" + cmd + ") >>'" + log + "' 2>&1";
    return std::system(full.c_str()) == 0;
}

inline bool HaveCommand(const char* name) {
    return wtest::HaveTool(name);
}

// A child process with its standard output (and error) on a pipe; killed by
// pid and reaped when the object goes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    // With bStdinPipe the child's standard input stays open until Stop
    // (servers that end when it closes).
    bool Start(const std::vector<std::string>& argv, const std::string& dir = "", bool bStdinPipe = false) {
        Stop();
        m_out.clear();
        m_scan = 0;
        int fds[2], in[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        if (bStdinPipe && ::pipe2(in, O_CLOEXEC) != 0) return false;
        m_pid = ::fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            ::setpgid(0, 0);
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::dup2(bStdinPipe ? in[0] : ::open("/dev/null", O_RDONLY), 0);
            if (!dir.empty() && ::chdir(dir.c_str()) != 0) _exit(126);
            std::vector<char*> a;
            for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
            a.push_back(nullptr);
            ::execvp(a[0], a.data());
            _exit(127);
        }
        ::close(fds[1]);
        m_fd = fds[0];
        if (bStdinPipe) {
            ::close(in[0]);
            m_stdin = in[1];
        }
        return true;
    }

    // Reads output until a line holds the text (true) or the time runs out.
    bool WaitFor(const std::string& text, int ms, std::string* pLine = nullptr) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t p = m_out.find(text, m_scan);
            size_t e = p == std::string::npos ? p : m_out.find('\n', p);
            if (e != std::string::npos) { // only whole lines count
                size_t b = p == 0 ? std::string::npos : m_out.rfind('\n', p - 1);
                b = b == std::string::npos ? 0 : b + 1;
                if (pLine) *pLine = m_out.substr(b, e - b);
                m_scan = e;
                return true;
            }
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until -
                                                                                  std::chrono::steady_clock::now())
                           .count();
            if (left <= 0 || !ReadSome(left)) return false;
        }
    }

    // Everything read so far (and whatever arrives within ms).
    const std::string& Output(int ms = 0) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (ms > 0) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until -
                                                                                  std::chrono::steady_clock::now())
                           .count();
            if (left <= 0 || !ReadSome(left)) break;
        }
        return m_out;
    }

    // Waits for the child to exit by itself (true) within ms.
    bool WaitExit(int ms, int* pStatus = nullptr) {
        for (int i = 0; i < ms / 20 + 1; ++i) {
            ReadSome(0);
            int st = 0;
            pid_t r = ::waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                if (pStatus) *pStatus = st;
                while (ReadSome(0)) {
                }
                return true;
            }
            ::usleep(20000);
        }
        return false;
    }

    void Stop() {
        if (m_stdin >= 0) ::close(m_stdin);
        m_stdin = -1;
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            for (int i = 0; i < 100; ++i) {
                if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                    m_pid = -1;
                    break;
                }
                ::usleep(20000);
            }
            if (m_pid > 0) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
                m_pid = -1;
            }
        }
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    pid_t Pid() const { return m_pid; }

private:
    bool ReadSome(int ms) {
        if (m_fd < 0) return false;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0) return false;
        m_out.append(buf, (size_t)n);
        return true;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    int m_stdin = -1;
    std::string m_out;
    size_t m_scan = 0;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, (sockaddr*)&a, sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, (sockaddr*)&a, &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A listening socket on 127.0.0.1 (ephemeral port), closed at the end.
class Listener {
public:
    explicit Listener(int backlog = 8) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, (sockaddr*)&a, sizeof a);
        ::listen(m_fd, backlog);
        socklen_t len = sizeof a;
        ::getsockname(m_fd, (sockaddr*)&a, &len);
        m_port = ntohs(a.sin_port);
    }
    ~Listener() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int Accept(int ms = 5000) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return -1;
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    int Port() const { return m_port; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    int m_port = 0;
};

} // namespace ntest

namespace ntest {

// An apache2 in the foreground on 127.0.0.1, configured in a folder of its
// own from the configuration body given (Location blocks and the like).
class Apache {
public:
    // False (with the reason in Error()) when apache2 is missing or does not start.
    bool Start(const TempDir& dir, const std::string& body) {
        return Start(dir, [&body] { return body; });
    }
    // The body is made again for every attempt: a port it names may be taken
    // (see PortTaken) and is then chosen anew.
    template <class MakeBody> bool Start(const TempDir& dir, MakeBody makeBody) {
        const char* bin = "/usr/sbin/apache2";
        if (::access(bin, X_OK) != 0) {
            m_error = "apache2 not installed";
            return false;
        }
        // A port that was free a moment ago may be taken by another program
        // before apache binds it: apache then stops at once, and new ports are
        // tried.
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = FreePort();
            WriteFile(dir / "httpd.conf", Config(dir) + makeBody());
            if (TryStart(dir)) return true;
            if (!PortTaken(m_error)) return false;
        }
        return false;
    }
    int Port() const { return m_port; }
    const std::string& Error() const { return m_error; }

    // True when the start failed because a port was in use.
    static bool PortTaken(const std::string& error) {
        return error.find("Address already in use") != std::string::npos;
    }

private:
    Child m_child;
    int m_port = 0;
    std::string m_error;

    std::string Config(const TempDir& dir) const {
        std::string mods = "/usr/lib/apache2/modules/";
        std::string conf;
        conf += "ServerRoot \"" + dir.Path() + "\"\n";
        conf += "ServerName 127.0.0.1\nListen 127.0.0.1:" + std::to_string(m_port) + "\n";
        conf += "PidFile \"" + (dir / "httpd.pid") + "\"\nErrorLog \"" + (dir / "error.log") + "\"\nLogLevel warn\n";
        conf += "DefaultRuntimeDir \"" + dir.Path() + "\"\nMutex file:" + dir.Path() + " default\n";
        for (const char* m : {"mpm_event", "authz_core", "authn_core", "authn_file", "auth_basic", "auth_digest",
                              "authz_user"})
            conf += std::string("LoadModule ") + m + "_module " + mods + "mod_" + m + ".so\n";
        if (::geteuid() == 0) {
            // The workers give up root; the test folder is readable by all.
            bool haveWww = Shell("getent passwd www-data");
            conf += haveWww ? "User www-data\nGroup www-data\n" : "User nobody\nGroup nogroup\n";
        }
        conf += "StartServers 1\nServerLimit 1\nThreadsPerChild 4\nMaxRequestWorkers 4\nKeepAlive On\n";
        conf += "DocumentRoot \"" + (dir / "htdocs") + "\"\n<Directory />\n  Require all granted\n</Directory>\n";
        ::mkdir((dir / "htdocs").c_str(), 0755);
        return conf;
    }

    // Starts apache and waits until it has written its pid file (it does so
    // only after binding every port) and its port answers (true), until it
    // stops, or until a generous deadline passes: a loaded machine may take
    // seconds. The pid file tells apache's port from one another program
    // took.
    bool TryStart(const TempDir& dir) {
        ::unlink((dir / "error.log").c_str());
        ::unlink((dir / "httpd.pid").c_str());
        if (!m_child.Start({"/usr/sbin/apache2", "-DFOREGROUND", "-f", dir / "httpd.conf"})) {
            m_error = "cannot start apache2";
            return false;
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < until) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons((uint16_t)m_port);
            bool ok = ::access((dir / "httpd.pid").c_str(), F_OK) == 0 &&
                      ::connect(fd, (sockaddr*)&a, sizeof a) == 0;
            ::close(fd);
            if (ok) return true;
            if (m_child.WaitExit(20)) break;
        }
        m_error = "apache2 did not start: " + m_child.Output() + ReadFile(dir / "error.log");
        m_child.Stop();
        return false;
    }
};

} // namespace ntest
