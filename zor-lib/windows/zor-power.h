// Keeping the machine awake while work runs: a sleep inhibitor of the system's
// login manager (logind), asked for over the system bus.
#pragma once

#include "zor-string.h"

// A held sleep block. While held, the login manager does not suspend the
// machine; releasing it (or destroying the object, or the process ending)
// lets it sleep again.
class ZorSleepInhibitor {
public:
    ZorSleepInhibitor() = default;
    ~ZorSleepInhibitor() { Release(); }
    ZorSleepInhibitor(const ZorSleepInhibitor&) = delete;
    ZorSleepInhibitor& operator=(const ZorSleepInhibitor&) = delete;

    // Asks logind for a "sleep" block ("block" mode) in the name of who, with
    // why as the reason users see. False with the reason in err when there is
    // no system bus, no login manager or the block is refused; nothing is held
    // then. Waits at most nTimeoutMs for the answer. A held block is released
    // first.
    bool Acquire(const CWideString& who, const CWideString& why, CWideString& err, int nTimeoutMs = 5000);
    // Lets the machine sleep again (nothing when nothing is held).
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1; // the block's file descriptor from logind
};
