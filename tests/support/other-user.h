// A second local account for tests of folders that other users can write.
//
// OtherUser() makes the account "tvother" once (useradd -m) and gives its
// uid and gid; AsOtherUser() runs a shell command as that account with
// runuser. Both need root: a test calls TV_NEED_OTHER_USER() first, which
// skips it with the reason elsewhere. Under ctest the account is made before
// the first test and removed after the last (tests/CMakeLists.txt); a test
// program run by itself that had to make it removes it when it ends.
#pragma once

#include <gtest/gtest.h>

#include <pwd.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>

struct COtherUser {
    bool bReady = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why; // why the account cannot be had
};

inline const COtherUser& OtherUser() {
    static COtherUser u;
    static std::once_flag once;
    std::call_once(once, [] {
        if (geteuid() != 0) {
            u.why = "needs root (to make a second local user)";
            return;
        }
        if (!getpwnam("tvother")) {
            if (system("useradd -m tvother >/dev/null 2>&1") != 0 && !getpwnam("tvother")) {
                u.why = "useradd -m tvother failed";
                return;
            }
            static const pid_t s_maker = getpid();
            atexit([] {
                if (getpid() == s_maker) (void)!system("userdel -r -f tvother >/dev/null 2>&1");
            });
        }
        if (system("command -v runuser >/dev/null 2>&1") != 0) {
            u.why = "runuser is missing";
            return;
        }
        const passwd* pw = getpwnam("tvother");
        if (!pw) {
            u.why = "no user tvother";
            return;
        }
        u.uid = pw->pw_uid;
        u.gid = pw->pw_gid;
        u.bReady = true;
    });
    return u;
}

// Runs sh -c `cmd` as tvother; true when it exited with 0.
inline bool AsOtherUser(const std::string& cmd) {
    std::string quoted = "'";
    for (char c : cmd) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const int rc = system(("runuser -u tvother -- sh -c " + quoted).c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

#define TV_NEED_OTHER_USER()                                            \
    do {                                                                \
        if (!OtherUser().bReady) GTEST_SKIP() << OtherUser().why;       \
    } while (0)
