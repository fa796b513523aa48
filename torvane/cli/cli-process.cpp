// Process locks and signal handling of "torvane".
#include "cli-process.h"

#include "cli-args.h"

#include "zor-string.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

bool CCliProcessLock::TryAcquire(const std::string& path, bool& bBusy, std::string& err) {
    bBusy = false;
    Release();
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (std::filesystem::create_directories(folder, ec))
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        err = "cannot open lock file " + path + ": " + strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) {
            bBusy = true;
            err = "busy in another process";
        } else {
            err = "cannot lock " + path + ": " + strerror(e);
        }
        return false;
    }
    // The holder's process id, for a curious user.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0 && ::write(fd, pid.data(), pid.size()) < 0) {
    }
    m_fd = fd;
    return true;
}

bool CCliProcessLock::Acquire(const std::string& path, int nWaitMs, bool& bBusy, std::string& err) {
    for (int waited = 0;; waited += 50) {
        if (TryAcquire(path, bBusy, err) || !bBusy || waited >= nWaitMs) return IsHeld();
        ZorSleepMs(50);
    }
}

void CCliProcessLock::Release() {
    if (m_fd < 0) return;
    flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

std::string JobLockPath(const std::string& profile, const std::string& jobNameUtf8) {
    CWideString name = Utf8ToWide(jobNameUtf8.c_str());
    for (int i = 0; i < name.GetLength(); ++i) name.SetAt(i, ZorFoldUnit(name[i]));
    const CNarrowString folded = WideToUtf8(name);
    static const char* hex = "0123456789abcdef";
    std::string h;
    for (int i = 0; i < folded.GetLength(); ++i) {
        const unsigned char c = (unsigned char)folded[i];
        h += hex[c >> 4];
        h += hex[c & 15];
    }
    // Very long names are cut; the first 200 hex digits tell them apart well enough.
    if (h.size() > 200) h.resize(200);
    return profile + "/jobs-running/" + h + ".lock";
}

std::string ProfileLockPath(const std::string& profile) {
    return profile + "/torvane-watch.lock";
}

std::string JobListLockPath(const std::string& profile) {
    return profile + "/torvane-jobs.lock";
}

// ------------------------------------------------------------ signals
namespace {
// How long a run may take to stop after SIGINT, SIGTERM or SIGHUP.
constexpr int64_t kStopGraceMs = 10000;

// The signals that end a run: an interrupt, a termination, and a hang-up
// (the terminal closed, the connection dropped). One that was ignored when
// the program started stays ignored, as its starter meant: "nohup" ignores
// the hang-up, a shell the interrupt of a script's background job. A
// blocked signal is kept for sigtimedwait even when ignored, so those are
// neither blocked nor waited for.
const sigset_t& EndingSignals() {
    static const sigset_t set = [] {
        sigset_t s;
        sigemptyset(&s);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old = {};
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
            sigaddset(&s, sig);
        }
        return s;
    }();
    return set;
}
} // namespace

CCliSignals::CCliSignals() : m_pLock(new std::mutex) {
    // Output to a reader that went away (a dropped connection) fails as a
    // write; it does not end the process in the middle of a run.
    signal(SIGPIPE, SIG_IGN);
    pthread_sigmask(SIG_BLOCK, &EndingSignals(), nullptr);
    m_thread = std::thread([this] { Loop(); });
}

CCliSignals::~CCliSignals() {
    m_bQuit = true;
    // Woken at once rather than at its next look: a signal for that thread
    // alone, which it takes as the end (blocked there, so it waits). With
    // all of them ignored it ends at its next look.
    if (m_thread.joinable()) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            if (sigismember(&EndingSignals(), sig)) {
                pthread_kill(m_thread.native_handle(), sig);
                break;
            }
        m_thread.join();
    }
    delete m_pLock;
}

std::string CCliSignals::EndingNames() {
    std::string names;
    if (sigismember(&EndingSignals(), SIGINT)) names = "SIGINT";
    if (sigismember(&EndingSignals(), SIGTERM)) names += names.empty() ? "SIGTERM" : " or SIGTERM";
    return names;
}

void CCliSignals::SetHandler(std::function<void(int)> handler) {
    std::lock_guard<std::mutex> g(*m_pLock);
    m_handler = std::move(handler);
}

void CCliSignals::Loop() {
    const sigset_t& set = EndingSignals();
    int64_t nFirstMs = 0; // when the first signal came
    int nSignals = 0;
    while (!m_bQuit.load()) {
        // Wakes every 100 ms to see whether the program is ending.
        struct timespec ts = {0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&set, nullptr, &ts);
        // A run stops at its next look at the stop request; one that does
        // not within the grace time (a wait in the system that never ends)
        // ends with the process: every file it writes is written whole under
        // a temporary name, and its locks are known as those of a process
        // that is gone.
        if (nSignals > 0 && !m_bQuit.load() && ZorGetTickMs() - nFirstMs >= kStopGraceMs) {
            static const char kMsg[] = "torvane: the run did not stop in time; the process ends\n";
            (void)!write(2, kMsg, sizeof kMsg - 1);
            _exit(CLI_EXIT_STOPPED);
        }
        if (sig <= 0 || m_bQuit.load()) continue;
        if (nSignals == 0) {
            nSignals = 1;
            nFirstMs = ZorGetTickMs();
        }
        // The first signal is the one the run ends by.
        int none = 0;
        m_nSignal.compare_exchange_strong(none, sig);
        std::lock_guard<std::mutex> g(*m_pLock);
        if (m_handler) m_handler(sig);
    }
}
