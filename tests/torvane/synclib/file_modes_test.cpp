// No byte of a synced file is readable by a user who cannot read its source:
// every file a run creates is its owner's alone from the moment it exists.
// The open calls of this program pass through a watch that notes the mode
// each creation asks for; the C library's (or a sanitizer's) does the work.
#include "job-harness.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

namespace {
std::atomic<bool> g_bWatching{false};
std::mutex g_createdLock;
std::vector<std::pair<std::string, unsigned>> g_created; // name, mode asked for

unsigned NoteCreation(const char* path, int flags, va_list ap) {
    if (!(flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE) return 0;
    const unsigned mode = va_arg(ap, unsigned);
    std::lock_guard<std::mutex> lock(g_createdLock);
    if (g_bWatching) g_created.emplace_back(path ? path : "", mode);
    return mode;
}
} // namespace

extern "C" int TvWatchOpen(const char* path, int flags, ...) __asm__("open");
extern "C" int TvWatchOpenAt(int dirFd, const char* path, int flags, ...) __asm__("openat");
extern "C" int TvWatchOpen(const char* path, int flags, ...) {
    static const auto next = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
    va_list ap;
    va_start(ap, flags);
    const unsigned mode = NoteCreation(path, flags, ap);
    va_end(ap);
    return next(path, flags, mode);
}
extern "C" int TvWatchOpenAt(int dirFd, const char* path, int flags, ...) {
    static const auto next =
        reinterpret_cast<int (*)(int, const char*, int, ...)>(dlsym(RTLD_NEXT, "openat"));
    va_list ap;
    va_start(ap, flags);
    const unsigned mode = NoteCreation(path, flags, ap);
    va_end(ap);
    return next(dirFd, path, flags, mode);
}

// Files given access for others while in a data folder that others can enter.
std::vector<std::string> g_opened;
extern "C" int TvWatchFchmod(int fd, mode_t mode) __asm__("fchmod");
extern "C" int TvWatchFchmod(int fd, mode_t mode) {
    static const auto next = reinterpret_cast<int (*)(int, mode_t)>(dlsym(RTLD_NEXT, "fchmod"));
    char buf[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
    const std::string path(buf, n > 0 ? (size_t)n : 0);
    const size_t at = path.find("/_tvdata_/");
    struct stat folder {};
    std::lock_guard<std::mutex> lock(g_createdLock);
    if (g_bWatching && (mode & 077) && at != std::string::npos &&
        (stat(path.substr(0, at + 9).c_str(), &folder) != 0 || (folder.st_mode & 077)))
        g_opened.push_back(path);
    return next(fd, mode);
}

// Modes given by a name (which a link swapped in at the name redirects).
std::vector<std::string> g_byName;
void NoteModeByName(const char* path) {
    std::lock_guard<std::mutex> lock(g_createdLock);
    if (g_bWatching) g_byName.emplace_back(path ? path : "");
}
extern "C" int TvWatchChmod(const char* path, mode_t mode) __asm__("chmod");
extern "C" int TvWatchChmod(const char* path, mode_t mode) {
    static const auto next = reinterpret_cast<int (*)(const char*, mode_t)>(dlsym(RTLD_NEXT, "chmod"));
    NoteModeByName(path);
    return next(path, mode);
}
extern "C" int TvWatchFchmodAt(int dirFd, const char* path, mode_t mode, int flags) __asm__("fchmodat");
extern "C" int TvWatchFchmodAt(int dirFd, const char* path, mode_t mode, int flags) {
    static const auto next = reinterpret_cast<int (*)(int, const char*, mode_t, int)>(dlsym(RTLD_NEXT, "fchmodat"));
    NoteModeByName(path);
    return next(dirFd, path, mode, flags);
}

// Files of several modes are copied, then replaced (the old ones kept):
// directly beside the target, and through temporary files.
TEST(FileModes, EveryFileARunCreatesIsPrivateUntilComplete) {
    const unsigned modes[] = {0600, 0640, 0644, 0755, 0444};
    auto modeOf = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? (unsigned)(st.st_mode & 07777) : 01000000u;
    };
    const mode_t mask = umask(077);
    umask(mask);
    for (const bool bTemp : {true, false}) {
        SCOPED_TRACE(bTemp ? "through temporary files" : "beside the target");
        CJobHarness h;
        CSyncJob job;
        h.Attach(job);
        ASSERT_TRUE(h.m_tmp.MakeDir("L") && h.m_tmp.MakeDir("R"));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        job.m_Options.m_bCopyUsingTempFile = bTemp;
        job.m_Options.m_Dir2.m_bUseTmpDestFile = bTemp ? 1 : 0;
        g_created.clear();
        g_byName.clear();
        g_bWatching = true;
        for (const char* content : {"first", "second"}) {
            for (unsigned m : modes) {
                const std::string rel = "L/m" + std::to_string(m);
                // A read-only file of the first round is written by its owner
                // again (root writes it anyway).
                chmod(h.m_tmp.NativeSub(rel).c_str(), 0600);
                ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, content, content[0] == 'f' ? 1600000000 : 1600000100));
                ASSERT_EQ(chmod(h.m_tmp.NativeSub(rel).c_str(), m), 0);
            }
            auto r = h.Run(job, true, true);
            EXPECT_TRUE(r.bOk) << h.m_sink.Dump();
        }
        g_bWatching = false;
        int nCopies = 0;
        for (const auto& [name, mode] : g_created) {
            EXPECT_EQ(mode & 077, 0u) << name << " created with mode " << std::oct << mode;
            nCopies += name.find("._tvtmp") != std::string::npos;
        }
        EXPECT_GE(nCopies, 10) << "the copies were not seen";
        // Each copy has its mode before it has its name.
        // Nothing on the side written to gets a mode by a name (a name
        // without a folder is one in a folder held open).
        for (const std::string& name : g_byName)
            EXPECT_FALSE(name.find("/R/") != std::string::npos || name.find('/') == std::string::npos)
                << name << ": mode given by name";
        for (unsigned m : modes) {
            EXPECT_EQ(modeOf(h.m_tmp.NativeSub("R/m" + std::to_string(m))), m);
            EXPECT_EQ(modeOf(h.m_tmp.NativeSub("R/_tvdata_/_saved_/m" + std::to_string(m))), m);
        }
        for (const char* side : {"L/_tvdata_", "R/_tvdata_"}) {
            EXPECT_EQ(modeOf(h.m_tmp.NativeSub(side)), 0700u) << side;
            EXPECT_EQ(modeOf(h.m_tmp.NativeSub(side) + "/_file_state_v4._tv"), 0600u) << side;
        }
        job.SetProgressSink(&g_DummyJobProgress);
    }
}

// Data folders an older version made open to others, a run at umask 000:
// the folders are closed, the state files are the owner's, and no copy or
// kept version in them is opened to others while it is there.
TEST(FileModes, DataFoldersMadeOpenBeforeAreClosedByARun) {
    auto modeOf = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? (unsigned)(st.st_mode & 07777) : 01000000u;
    };
    const mode_t mask = umask(0);
    CJobHarness h;
    CSyncJob job;
    h.Attach(job);
    for (const char* d : {"L", "R", "L/_tvdata_", "R/_tvdata_", "L/priv"}) ASSERT_TRUE(h.m_tmp.MakeDir(d));
    for (const char* d : {"L/_tvdata_", "R/_tvdata_", "L/priv"})
        ASSERT_EQ(chmod(h.m_tmp.NativeSub(d).c_str(), d[2] == 'p' ? 0700 : 0755), 0);
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    job.SetSideFolder(1, h.m_tmp.Path("R"));
    g_opened.clear();
    g_bWatching = true;
    for (const char* content : {"first", "second"}) {
        for (const char* rel : {"L/a.txt", "L/priv/b.txt"}) {
            ASSERT_TRUE(h.m_tmp.WriteFileAt(rel, content, content[0] == 'f' ? 1600000000 : 1600000100));
            ASSERT_EQ(chmod(h.m_tmp.NativeSub(rel).c_str(), 0644), 0);
        }
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
    }
    g_bWatching = false;
    umask(mask);
    for (const std::string& p : g_opened) ADD_FAILURE() << p << " opened to others in the data folder";
    EXPECT_EQ(modeOf(h.m_tmp.NativeSub("R/priv/b.txt")), 0644u);
    for (const char* side : {"L/_tvdata_", "R/_tvdata_"}) {
        EXPECT_EQ(modeOf(h.m_tmp.NativeSub(side)), 0700u) << side;
        EXPECT_EQ(modeOf(h.m_tmp.NativeSub(side) + "/_file_state_v4._tv"), 0600u) << side;
    }
    EXPECT_EQ(modeOf(h.m_tmp.NativeSub("R/_tvdata_/_saved_/priv")) & 077, 0u);
    job.SetProgressSink(&g_DummyJobProgress);
}
