// Runs a program the way the command-line tests need it: standard input from
// /dev/null, standard output and error into files, the environment changed
// as asked, and waits for it, for a limited time.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

// The built "torvane".
inline std::string CliProgram() {
    return std::string(TV_BINARY_DIR) + "/torvane/cli/torvane";
}

inline std::string CliReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct CCliRun {
    int code = -1; // the exit code, 128 + the signal when one ended it
    std::string out, err;
};

// Starts argv (argv[0] searched in PATH) with standard input from /dev/null
// and its output into the files; -1 when it cannot start. With bOwnGroup it
// leads a process group of its own, which holds whatever it starts.
inline pid_t CliStartProgram(std::vector<std::string> argv, const std::string& outFile, const std::string& errFile,
                             char** envp = environ, bool bOwnGroup = false) {
    std::vector<char*> a;
    for (std::string& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    if (bOwnGroup) {
        posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&at, 0);
    }
    pid_t pid = -1;
    const bool bStarted = posix_spawnp(&pid, a[0], &fa, &at, a.data(), envp) == 0;
    posix_spawnattr_destroy(&at);
    posix_spawn_file_actions_destroy(&fa);
    return bStarted ? pid : -1;
}

// Waits for pid to end, at most nLimitMs; true with its wait status when it
// ended. Without a waiting time lost to polling: its pidfd wakes the wait.
inline bool CliWaitLimited(pid_t pid, int nLimitMs, int& status) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            if (pidfd >= 0) close(pidfd);
            return r == pid;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left.count(), 10)));
        }
    }
    if (pidfd >= 0) close(pidfd);
    return false;
}

// The longest one run of the command may take in a test: one still running
// then hangs (on a FIFO, a lock, a lost child) and fails its test.
inline constexpr int kCliRunLimitMs = 120000;

// argv[0] is searched in PATH. envChanges: "NAME=VALUE" set, "NAME=" removed.
// A run still going after nLimitMs is killed with all it started, and fails
// the test.
inline CCliRun CliRunProgram(std::vector<std::string> argv, const std::string& outFile, const std::string& errFile,
                             const std::vector<std::string>& envChanges = {}, int nLimitMs = kCliRunLimitMs) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string v(*e);
        bool bChanged = false;
        for (const std::string& m : envChanges) bChanged |= v.compare(0, m.find('=') + 1, m, 0, m.find('=') + 1) == 0;
        if (!bChanged) env.push_back(v);
    }
    for (const std::string& m : envChanges)
        if (m.back() != '=') env.push_back(m);
    std::vector<char*> e;
    for (std::string& s : env) e.push_back(s.data());
    e.push_back(nullptr);
    std::string shown;
    for (const std::string& s : argv) shown += (shown.empty() ? "" : " ") + s;
    const pid_t pid = CliStartProgram(std::move(argv), outFile, errFile, e.data(), true);
    int status = 0;
    CCliRun r;
    bool bEnded = pid > 0 && CliWaitLimited(pid, nLimitMs, status);
    const bool bTooLong = pid > 0 && !bEnded;
    if (bTooLong) {
        kill(-pid, SIGKILL);
        bEnded = waitpid(pid, &status, 0) == pid;
    }
    if (bEnded) r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = CliReadAll(outFile);
    r.err = CliReadAll(errFile);
    if (bTooLong) ADD_FAILURE() << shown << "\n  still running after " << nLimitMs << " ms, killed\n" << r.err;
    return r;
}

// A run that may hang: started as CliRunProgram starts it, killed (SIGKILL)
// once it has run nLimitMs; code is then kTimedOut. With nSignalAfterMs, the
// program gets nSignal once it has run that long.
constexpr int kCliTimedOut = -2;
inline CCliRun CliRunProgramWithin(std::vector<std::string> argv, const std::string& outFile,
                                   const std::string& errFile, int nLimitMs, int nSignalAfterMs = -1,
                                   int nSignal = SIGTERM) {
    const pid_t pid = CliStartProgram(std::move(argv), outFile, errFile);
    CCliRun r;
    int status = 0;
    bool bDone = pid <= 0;
    for (int ms = 0; !bDone; ms += 10) {
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            bDone = true;
        } else if (ms >= nLimitMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.code = kCliTimedOut;
            bDone = true;
        } else {
            if (ms == nSignalAfterMs) kill(pid, nSignal);
            usleep(10000);
        }
    }
    r.out = CliReadAll(outFile);
    r.err = CliReadAll(errFile);
    return r;
}
