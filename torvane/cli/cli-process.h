// Process-level services of "torvane": the locks that keep two processes
// from working on one job (or one changing the job list while another
// watches it), and the handling of SIGINT, SIGTERM and SIGHUP.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// An exclusive lock on a file in the profile folder, held while the object
// lives (flock: released by the kernel when the process ends, so a crashed
// process never leaves a stale lock behind).
class CCliProcessLock {
public:
    CCliProcessLock() = default;
    ~CCliProcessLock() { Release(); }
    CCliProcessLock(const CCliProcessLock&) = delete;
    CCliProcessLock& operator=(const CCliProcessLock&) = delete;

    // False when another process holds it (bBusy) or the file cannot be made.
    bool TryAcquire(const std::string& path, bool& bBusy, std::string& err);
    // The same, tried again for up to nWaitMs while another process holds it.
    bool Acquire(const std::string& path, int nWaitMs, bool& bBusy, std::string& err);
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The lock file of a job ("jobs-running/<folded name in hex>.lock"), of the
// profile's one watch ("torvane-watch.lock") and of the job list while a
// process reads it to change it or to take its jobs ("torvane-jobs.lock"),
// below the profile folder.
std::string JobLockPath(const std::string& profile, const std::string& jobNameUtf8);
std::string ProfileLockPath(const std::string& profile);
std::string JobListLockPath(const std::string& profile);

// SIGINT, SIGTERM and SIGHUP (those not ignored when the program started)
// are blocked in every thread and taken by one
// thread that calls the handler (not in signal context) for each; SIGPIPE
// is ignored.
class CCliSignals {
public:
    // Must run before any other thread starts.
    CCliSignals();
    ~CCliSignals();
    CCliSignals(const CCliSignals&) = delete;
    CCliSignals& operator=(const CCliSignals&) = delete;

    void SetHandler(std::function<void(int)> handler);
    bool Received() const { return m_nSignal.load() != 0; }
    // The first signal received (0: none).
    int Signal() const { return m_nSignal.load(); }
    // "SIGINT or SIGTERM": those of them that end the program (not ignored at its start).
    static std::string EndingNames();

private:
    void Loop();
    std::atomic<int> m_nSignal{0};
    std::atomic<bool> m_bQuit{false};
    std::function<void(int)> m_handler;
    std::mutex* m_pLock;
    std::thread m_thread;
};
