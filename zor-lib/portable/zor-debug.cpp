// Non-fatal assertion reports and the debug trace.
#include "zor-debug.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

std::atomic<ZorAssertHook> g_hook{nullptr};
std::atomic<long> g_assertCount{0};
std::atomic<bool> g_started{false};

struct TraceSink {
    std::mutex lock;
    FILE* file = nullptr;
    bool own = false;
    bool configured = false;

    void Configure() {
        if (own && file) std::fclose(file);
        file = nullptr;
        own = false;
        const char* v = std::getenv("TORVANE_TRACE");
        if (v && *v) {
            if (std::strcmp(v, "stderr") == 0) {
                file = stderr;
            } else {
                // Appended to, never through a link at the name.
                const int fd = ::open(v, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
                file = fd >= 0 ? ::fdopen(fd, "ab") : nullptr;
                if (!file && fd >= 0) ::close(fd);
                own = file != nullptr;
            }
        }
        configured = true;
    }
};

TraceSink& Sink() {
    static TraceSink s;
    return s;
}

std::string TracePrefix() {
    char buf[64];
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t t = tv.tv_sec;
    struct tm lt;
    localtime_r(&t, &lt);
    int n;
    if (g_started.load())
        n = std::snprintf(buf, sizeof buf, "%02d%02d%02d.%03d ", lt.tm_hour, lt.tm_min, lt.tm_sec,
                          (int)(tv.tv_usec / 1000));
    else
        n = (int)std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S: ", &lt);
    std::string s(buf, (size_t)n);
    std::snprintf(buf, sizeof buf, "t=%x: ", (unsigned)syscall(SYS_gettid));
    s += buf;
    return s;
}

} // namespace

bool ZorTraceEnabled() {
    TraceSink& s = Sink();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.configured) s.Configure();
    return s.file != nullptr;
}

void ZorTraceText(const char* text) {
    TraceSink& s = Sink();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.configured) s.Configure();
    if (!s.file) return;
    std::string line = TracePrefix();
    line += text ? text : "";
    std::fwrite(line.data(), 1, line.size(), s.file);
    std::fflush(s.file);
}

void ZorTraceSetStarted(bool started) {
    g_started.store(started);
}

void ZorTraceReconfigure() {
    TraceSink& s = Sink();
    std::lock_guard<std::mutex> g(s.lock);
    s.Configure();
}

ZorAssertHook ZorSetAssertHook(ZorAssertHook hook) {
    return g_hook.exchange(hook);
}

long ZorAssertCount() {
    return g_assertCount.load();
}

void ZorAssertFailed(const char* file, int line, int error, const char* text, int extra, bool bFatal) {
    g_assertCount.fetch_add(1);
    char buf[1024];
    std::snprintf(buf, sizeof buf, "!!!ASSERT: %s (%d): error=%d, %s(%d)\n\n", file ? file : "?", line, error,
                  text ? text : "", extra);
    ZorAssertHook hook = g_hook.load();
    if (hook) {
        hook(buf);
        return;
    }
    ZorTraceText(buf);
    if (bFatal) std::abort();
}
