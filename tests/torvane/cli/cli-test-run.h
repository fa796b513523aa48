// Runs a program the way the command-line tests need it: standard input from
// /dev/null, standard output and error into files, the environment changed
// as asked, and waits for it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
// and its output into the files; -1 when it cannot start.
inline pid_t CliStartProgram(std::vector<std::string> argv, const std::string& outFile, const std::string& errFile,
                             char** envp = environ) {
    std::vector<char*> a;
    for (std::string& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const bool bStarted = posix_spawnp(&pid, a[0], &fa, nullptr, a.data(), envp) == 0;
    posix_spawn_file_actions_destroy(&fa);
    return bStarted ? pid : -1;
}

// argv[0] is searched in PATH. envChanges: "NAME=VALUE" set, "NAME=" removed.
inline CCliRun CliRunProgram(std::vector<std::string> argv, const std::string& outFile, const std::string& errFile,
                             const std::vector<std::string>& envChanges = {}) {
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
    const pid_t pid = CliStartProgram(std::move(argv), outFile, errFile, e.data());
    int status = 0;
    CCliRun r;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = CliReadAll(outFile);
    r.err = CliReadAll(errFile);
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
