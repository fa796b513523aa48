// Starting programs and documents, and the computer name.
#include "zor-process.h"

#include "zor-error.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <sys/utsname.h>
#include <unistd.h>

extern char** environ;

std::vector<CWideString> ZorSplitCommandLine(const CWideString& params) {
    std::vector<CWideString> args;
    CWideString cur;
    bool bInArg = false;
    int nBackslashes = 0;
    int nQuotes = 0; // 1 while inside a quoted part
    const char16_t* s = params.GetString();
    int n = params.GetLength();
    int i = 0;
    while (i < n) {
        char16_t c = s[i];
        if ((c == u' ' || c == u'\t') && nQuotes == 0) {
            if (bInArg) args.push_back(cur);
            cur.Empty();
            bInArg = false;
            nBackslashes = 0;
            while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
            continue;
        }
        bInArg = true;
        if (c == u'\\') {
            cur.AppendChar(c);
            ++nBackslashes;
            ++i;
        } else if (c == u'"') {
            if ((nBackslashes & 1) == 0) {
                cur.Truncate(cur.GetLength() - nBackslashes / 2);
                ++nQuotes;
            } else {
                cur.Truncate(cur.GetLength() - nBackslashes / 2 - 1);
                cur.AppendChar(u'"');
            }
            ++i;
            nBackslashes = 0;
            // Runs of quotes: every third gives a literal quote.
            while (i < n && s[i] == u'"') {
                if (++nQuotes == 3) {
                    cur.AppendChar(u'"');
                    nQuotes = 0;
                }
                ++i;
            }
            if (nQuotes == 2) nQuotes = 0;
        } else {
            cur.AppendChar(c);
            nBackslashes = 0;
            ++i;
        }
    }
    if (bInArg) args.push_back(cur);
    return args;
}

namespace {

bool SetStartError(int code, CWideString& err) {
    int kind = 0;
    err += MakeErrorMessage(code, kind);
    return false;
}

} // namespace

bool ZorSpawnProcess(const std::vector<CNarrowString>& argv, bool bSearchPath, int nStdinFd, pid_t& pid, int& nErr) {
    std::vector<char*> pargv;
    for (const CNarrowString& a : argv) pargv.push_back(const_cast<char*>(a.GetString()));
    pargv.push_back(nullptr);
    // The child starts with default signal dispositions and an empty mask.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (nStdinFd >= 0) posix_spawn_file_actions_adddup2(&fa, nStdinFd, 0);
    pid = 0;
    nErr = bSearchPath ? posix_spawnp(&pid, pargv[0], &fa, &attr, pargv.data(), environ)
                       : posix_spawn(&pid, pargv[0], &fa, &attr, pargv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return nErr == 0;
}

bool ZorWaitForExit(pid_t pid, uint32_t& nExitCode, int& nErr) {
    int status = 0;
    pid_t w;
    while ((w = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (w < 0) {
        nErr = errno;
        return false;
    }
    nExitCode = 0;
    if (WIFEXITED(status))
        nExitCode = (uint32_t)WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        nExitCode = 128u + (uint32_t)WTERMSIG(status);
    return true;
}

bool ZorShellEx(const CWideString& file, const CWideString& verb, const CWideString& params, bool bWait,
                bool bPumpMessages, void* hWindow, uint32_t* pExitCode, CWideString& err) {
    return ZorShellEx(file, verb, ZorSplitCommandLine(params), bWait, bPumpMessages, hWindow, pExitCode, err);
}

bool ZorShellEx(const CWideString& file, const CWideString& /*verb*/, const std::vector<CWideString>& args,
                bool bWait, bool /*bPumpMessages*/, void* /*hWindow*/, uint32_t* pExitCode, CWideString& err) {
    // Callers may quote a path that holds blanks; the quotes are not part of it.
    CWideString path = file;
    if (path.GetLength() >= 2 && path[0] == u'"' && path.GetLast() == u'"')
        path = path.Mid(1, path.GetLength() - 2);
    CNarrowString native = ZorNativePath(path);
    if (native.IsEmpty()) return SetStartError(ENOENT, err);

    std::vector<CNarrowString> argv;
    bool bSearchPath = native.Find('/') < 0;
    bool bOpenWith = false;
    if (!bSearchPath) {
        struct stat st;
        if (stat(native.GetString(), &st) != 0) return SetStartError(errno, err);
        bOpenWith = !S_ISREG(st.st_mode) || access(native.GetString(), X_OK) != 0;
    }
    if (bOpenWith) {
        argv.push_back("xdg-open");
        argv.push_back(native);
        bSearchPath = true;
    } else {
        argv.push_back(native);
        for (const CWideString& a : args) argv.push_back(WideToUtf8(a));
    }
    pid_t pid = 0;
    int rc = 0;
    if (!ZorSpawnProcess(argv, bSearchPath, -1, pid, rc)) return SetStartError(rc, err);

    if (!bWait) {
        std::thread([pid] {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
        return true;
    }
    uint32_t code = 0;
    if (!ZorWaitForExit(pid, code, rc)) return SetStartError(rc, err);
    if (pExitCode) *pExitCode = code;
    return true;
}

CWideString GetSystemText() {
    struct utsname u {};
    if (uname(&u) != 0) return u"unknown on unknown";
    auto part = [](const char* s) { return *s ? Utf8ToWide(s) : CWideString(u"unknown"); };
    CWideString os = part(u.sysname);
    if (*u.release) os += u" " + Utf8ToWide(u.release);
    return part(u.machine) + u" on " + os;
}

CWideString GetComputerNameText() {
    const char* env = getenv("COMPUTERNAME");
    if (env && *env) return Utf8ToWide(env);
    char host[256];
    if (gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = 0;
        if (host[0]) return Utf8ToWide(host);
    }
    return u"-UnknownComputer-";
}
