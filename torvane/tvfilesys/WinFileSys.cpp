// The local file system over POSIX calls.
#include "WinFileSys.h"

#include "zor-error.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <openssl/evp.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kCopyChunk = 1024 * 1024;

uint32_t ClampTime(int64_t t) {
    if (t < 0) return 0;
    if (t > (int64_t)UINT32_MAX) return UINT32_MAX;
    return (uint32_t)t;
}

bool Fail(int e, const char16_t* what, const CWideString& display, int& errKind, CWideString& err,
          bool bNotFoundKind = false) {
    int kind = FSE_GENERAL;
    CWideString text = MakeErrorMessage(e, kind, bNotFoundKind);
    errKind = kind;
    err += what;
    err += display;
    err += u": ";
    err += text;
    return false;
}

bool ReadStoredBitsOfPath(const char* path, uint32_t& bits, bool& bNoXattr, bool bFollow = false) {
    char buf[32];
    ssize_t n = bFollow ? getxattr(path, ZOR_ATTRS_XATTR_NAME, buf, sizeof buf - 1)
                        : lgetxattr(path, ZOR_ATTRS_XATTR_NAME, buf, sizeof buf - 1);
    if (n <= 0) {
        if (n < 0 && (errno == ENOTSUP || errno == ENOSYS)) bNoXattr = true;
        return false;
    }
    buf[n] = 0;
    char* end = nullptr;
    unsigned long v = strtoul(buf, &end, 10);
    if (end == buf) return false;
    bits = (uint32_t)v;
    return true;
}

// The attribute word as the foundation maps it (zor-file.h), from the mode
// of the entry (not following links), the target's mode for a link (when
// bTarget), the entry's name and the stored extra bits.
uint32_t MapAttributeBits(uint16_t mode, bool bTarget, uint16_t targetMode, const char* name, uint32_t stored,
                          bool bHaveStored) {
    uint32_t attrs = 0;
    bool bLink = S_ISLNK(mode);
    if (bLink) {
        attrs |= FSA_LINK;
        if (bTarget) mode = targetMode;
    }
    bool bDir = S_ISDIR(mode);
    if (bDir) attrs |= FSA_FOLDER;
    if (!(mode & S_IWUSR)) attrs |= FSA_READONLY;
    if (name[0] == '.') attrs |= FSA_HIDDEN;
    if (!bLink && bHaveStored) {
        stored &= ~(FSA_FOLDER | FSA_LINK | FSA_NORMAL);
        if (!bDir) stored &= ~FSA_READONLY;
        attrs |= stored;
    }
    return attrs ? attrs : FSA_NORMAL;
}

// The same from a statx of the entry and the target's statx for a link.
uint32_t MapAttributes(const struct statx& st, const struct statx* pTarget, const char* name, uint32_t stored,
                       bool bHaveStored) {
    return MapAttributeBits(st.stx_mode, pTarget != nullptr, pTarget ? pTarget->stx_mode : 0, name, stored,
                            bHaveStored);
}

void FillTimes(const struct statx& st, FsItemInfo& info) {
    info.m_nModTime = ClampTime(st.stx_mtime.tv_sec);
    if ((st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec != 0)
        info.m_nCreateTime = ClampTime(st.stx_btime.tv_sec);
    else
        info.m_nCreateTime = info.m_nModTime;
}

// Raw bytes of a name, percent-escaped where they are not printable ASCII.
CWideString EscapeRawName(const char* name) {
    CWideString s;
    for (const unsigned char* p = (const unsigned char*)name; *p; ++p) {
        if (*p >= 0x20 && *p < 0x7F && *p != '%')
            s.AppendChar((char16_t)*p);
        else
            s.AppendFormat(u"%%%02X", (unsigned)*p);
    }
    return s;
}

// Checks the name of a listed entry; false with a note when it cannot be
// represented without loss.
bool CheckEntryName(const char* name, CWideString& wide, CWideString& note) {
    int len = (int)strlen(name);
    // Plain ASCII without a back slash (the common case) is widened unit by unit.
    int nAscii = 0;
    while (nAscii < len && (unsigned char)name[nAscii] < 0x80 && name[nAscii] != '\\') nAscii++;
    if (nAscii == len && len > 0) {
        char16_t* p = wide.GetBufferSetLength(len);
        for (int i = 0; i < len; i++) p[i] = (char16_t)(unsigned char)name[i];
        wide.ReleaseBuffer(len);
        return true;
    }
    if (!IsValidUtf8(name, len)) {
        wide = Utf8ToWide(name, len);
        note = u"file name is not valid UTF-8, cannot be synchronized: " + EscapeRawName(name);
        return false;
    }
    wide = Utf8ToWide(name, len);
    if (strchr(name, '\\')) {
        note = u"file name contains '\\', cannot be synchronized: " + wide;
        return false;
    }
    return true;
}

const unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME;

// ------------------------------------------------------------ listing helpers
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif
// getxattrat (Linux 6.13 and later) reads an extended attribute of a name
// relative to an open folder, without walking the whole path again. The
// number is the same on every architecture that uses the common table.
#if defined(__linux__) && !defined(__alpha__) && !defined(__NR_getxattrat)
#define __NR_getxattrat 464
#endif

// The argument block of getxattrat.
struct XattrAtArgs {
    uint64_t nValue; // user pointer to the buffer
    uint32_t nSize;
    uint32_t nFlags;
};

// getxattrat: 1 works, 0 not tried yet, -1 not available (an older kernel,
// or a system-call filter that refuses it); then the path is used.
std::atomic<int> g_nXattrAt{0};
// Reads of the stored bits made while listing (the tests look at it).
std::atomic<uint64_t> g_nStoredBitReads{0};

// The stored attribute value of base + name (not following a link), with
// no allocation (helper threads call it): the length, or -1 with errno set.
ssize_t GetStoredValueByPath(const std::string& base, const char* name, char* buf, size_t nBuf) {
    char path[PATH_MAX + NAME_MAX + 2];
    const size_t nName = strlen(name);
    if (base.size() + nName >= sizeof path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(path, base.data(), base.size());
    memcpy(path + base.size(), name, nName + 1);
    return lgetxattr(path, ZOR_ATTRS_XATTR_NAME, buf, nBuf);
}

// Reads the stored attribute value of dirFd/name (not following a link):
// the length, or -1 with errno set. base is the folder's path with a
// trailing '/', used when getxattrat is not available.
ssize_t GetStoredValueAt(int dirFd, const char* name, const std::string& base, char* buf, size_t nBuf) {
#ifdef __NR_getxattrat
    const int nState = g_nXattrAt.load(std::memory_order_relaxed);
    if (nState >= 0) {
        XattrAtArgs a{(uint64_t)(uintptr_t)buf, (uint32_t)nBuf, 0};
        long r =
            syscall(__NR_getxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, ZOR_ATTRS_XATTR_NAME, &a, sizeof a);
        const int e = r < 0 ? errno : 0;
        if (r >= 0 || (e != ENOSYS && e != EPERM)) {
            if (nState == 0) g_nXattrAt.store(1, std::memory_order_relaxed);
            errno = e;
            return (ssize_t)r;
        }
        if (e == ENOSYS) g_nXattrAt.store(-1, std::memory_order_relaxed);
        // EPERM: a real refusal, or a filter that refuses the call itself;
        // the path form tells which.
        ssize_t n = GetStoredValueByPath(base, name, buf, nBuf);
        if (nState == 0 && (n >= 0 || errno != EPERM)) g_nXattrAt.store(-1, std::memory_order_relaxed);
        return n;
    }
#else
    (void)dirFd;
#endif
    return GetStoredValueByPath(base, name, buf, nBuf);
}

// Mounts (by their unique, never reused id) seen to hold no user extended
// attributes, so that later listings there skip the read. A few slots are
// enough: the first free one is taken, nothing is ever removed.
constexpr int kNoXattrMountSlots = 16;
std::atomic<uint64_t> g_aNoXattrMounts[kNoXattrMountSlots];

bool IsNoXattrMount(uint64_t nMnt) {
    for (const auto& slot : g_aNoXattrMounts) {
        const uint64_t v = slot.load(std::memory_order_relaxed);
        if (v == nMnt) return true;
        if (v == 0) return false;
    }
    return false;
}

void RememberNoXattrMount(uint64_t nMnt) {
    for (auto& slot : g_aNoXattrMounts) {
        uint64_t v = 0;
        if (slot.compare_exchange_strong(v, nMnt, std::memory_order_relaxed) || v == nMnt) return;
    }
}

// What ListDir gathers for one entry with system calls only (no strings, so
// that helper threads can fill it).
struct EntryMeta {
    int64_t nSize;
    int64_t nMtime;
    int64_t nBtime; // 0 when the file system keeps none
    int64_t nCtime; // inode change time
    uint32_t nStored;
    int nStatErr; // errno of a failed statx, else 0
    uint16_t nMode;
    uint16_t nTargetMode; // a link's target, when bTarget
    bool bTarget;
    bool bHaveStored;
    bool bStoredUnread; // the stored bits were left to the caller (see SetStoredBitsCutoff)
};

// When a listing may leave out the stored bits: entries of the mount nMnt
// whose inode changed before nBefore (0: never).
struct StoredBitsCutoff {
    int64_t nBefore = 0;
    uint64_t nMnt = 0;
};

// The metadata of one entry of the open folder dirFd. bNoXattr (shared by
// the threads of one listing) is set when the file system turns out to have
// no extended attributes and no mount id tells it for later listings.
void ReadEntryMeta(int dirFd, const char* name, const std::string& base, std::atomic<bool>& bNoXattr,
                   const StoredBitsCutoff& cutoff, EntryMeta& m) {
    m = EntryMeta{};
    struct statx st;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW, kStatxMask | STATX_CTIME | STATX_MNT_ID_UNIQUE, &st) != 0) {
        m.nStatErr = errno ? errno : EIO;
        return;
    }
    m.nMode = st.stx_mode;
    m.nSize = (int64_t)st.stx_size;
    m.nMtime = st.stx_mtime.tv_sec;
    m.nBtime = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : 0;
    m.nCtime = (st.stx_mask & STATX_CTIME) ? st.stx_ctime.tv_sec : 0;
    if (S_ISLNK(st.stx_mode)) {
        struct statx target;
        if (statx(dirFd, name, 0, STATX_TYPE | STATX_MODE, &target) == 0) {
            m.bTarget = true;
            m.nTargetMode = target.stx_mode;
        }
        return; // a link carries no stored bits
    }
    // User extended attributes exist on files and folders only; the system
    // gives none for other kinds.
    if (!S_ISREG(st.stx_mode) && !S_ISDIR(st.stx_mode)) return;
    const bool bMnt = (st.stx_mask & STATX_MNT_ID_UNIQUE) != 0;
    if (bMnt ? IsNoXattrMount(st.stx_mnt_id) : bNoXattr.load(std::memory_order_relaxed)) return;
    if (cutoff.nBefore != 0 && bMnt && st.stx_mnt_id == cutoff.nMnt && (st.stx_mask & STATX_CTIME) &&
        m.nCtime < cutoff.nBefore) {
        m.bStoredUnread = true;
        return;
    }
    g_nStoredBitReads.fetch_add(1, std::memory_order_relaxed);
    char buf[32];
    ssize_t n = GetStoredValueAt(dirFd, name, base, buf, sizeof buf - 1);
    if (n <= 0) {
        if (n < 0 && (errno == ENOTSUP || errno == ENOSYS)) {
            if (bMnt)
                RememberNoXattrMount(st.stx_mnt_id);
            else
                bNoXattr.store(true, std::memory_order_relaxed);
        }
        return;
    }
    buf[n] = 0;
    char* end = nullptr;
    unsigned long v = strtoul(buf, &end, 10);
    if (end == buf) return;
    m.nStored = (uint32_t)v;
    m.bHaveStored = true;
}

// A few helper threads that read the metadata of large folders alongside
// the listing thread. A job is split into chunks that every participant
// takes in turn; the caller always works on its own job too, so it ends
// even when no helper is free (or none could be started). The pool is made
// on first use and lives until the process ends.
class CMetaPool {
public:
    struct Job {
        std::atomic<int> nNext{0};
        int nTotal = 0;
        int nChunk = 32;
        void (*pfnRun)(void* pCtx, int nFrom, int nTo) = nullptr;
        void* pCtx = nullptr;
        int nWorkers = 0; // helpers inside the job (guarded by the pool's mutex)
    };

    static CMetaPool& Get() {
        // Never destroyed: detached helpers may still wait on it at exit.
        static CMetaPool* s_p = new CMetaPool();
        return *s_p;
    }
    int GetThreadCount() const { return m_nThreads; }

    void Run(Job& job) {
        if (m_nThreads > 0) {
            {
                std::lock_guard<std::mutex> l(m_Mutex);
                m_Queue.push_back(&job);
            }
            m_WorkCv.notify_all();
        }
        Drain(job);
        if (m_nThreads > 0) {
            std::unique_lock<std::mutex> l(m_Mutex);
            Unqueue(&job);
            m_DoneCv.wait(l, [&] { return job.nWorkers == 0; });
        }
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_WorkCv, m_DoneCv;
    std::deque<Job*> m_Queue;
    int m_nThreads = 0;

    CMetaPool() {
        const unsigned nCores = std::thread::hardware_concurrency();
        // At most four participants: the gain flattens out beyond that.
        const int nWant = nCores > 1 ? (int)std::min(nCores - 1, 3u) : 0;
        // The helpers take no signals: they inherit a full mask.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        for (int i = 0; i < nWant; i++) {
            try {
                std::thread(&CMetaPool::WorkerLoop, this).detach();
                m_nThreads++;
            } catch (...) {
                break;
            }
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    static void Drain(Job& job) {
        for (;;) {
            const int i = job.nNext.fetch_add(job.nChunk, std::memory_order_relaxed);
            if (i >= job.nTotal) break;
            job.pfnRun(job.pCtx, i, std::min(i + job.nChunk, job.nTotal));
        }
    }
    void Unqueue(Job* p) {
        for (auto it = m_Queue.begin(); it != m_Queue.end(); ++it)
            if (*it == p) {
                m_Queue.erase(it);
                return;
            }
    }
    void WorkerLoop() {
        std::unique_lock<std::mutex> l(m_Mutex);
        for (;;) {
            m_WorkCv.wait(l, [&] { return !m_Queue.empty(); });
            Job* p = m_Queue.front();
            p->nWorkers++;
            l.unlock();
            Drain(*p);
            l.lock();
            Unqueue(p); // every chunk is taken
            if (--p->nWorkers == 0) m_DoneCv.notify_all();
        }
    }
};

// Folders with fewer entries than this are read by the listing thread alone.
constexpr int kParallelMinEntries = 256;

bool Md5Update(EVP_MD_CTX* ctx, const void* p, size_t n) {
    return EVP_DigestUpdate(ctx, p, n) == 1;
}

struct Md5Ctx {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Md5Ctx() { EVP_MD_CTX_free(ctx); }
    bool Init() { return ctx && EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) == 1; }
    bool Final(Md5Crc& crc) {
        unsigned n = 0;
        return EVP_DigestFinal_ex(ctx, crc.m_bytes, &n) == 1 && n == 16;
    }
};

bool IsFatType(const CWideString& type) {
    return type == u"vfat" || type == u"exfat" || type == u"msdos" || type == u"fat" ||
           type == u"fuseblk.exfat" || type == u"fuse.exfat";
}

// Disk file systems whose whole-mount flush (syncfs) makes every file
// written there durable; elsewhere (network and user-space file systems)
// each file is flushed on its own.
bool IsBatchFlushType(const CWideString& type) {
    static const char16_t* const kTypes[] = {u"ext2", u"ext3",  u"ext4",     u"xfs",   u"btrfs",
                                             u"f2fs", u"jfs",   u"bcachefs", u"zfs",   u"tmpfs",
                                             u"vfat", u"msdos", u"exfat",    u"ntfs3", u"overlay"};
    for (const char16_t* t : kTypes)
        if (type == t) return true;
    return false;
}

// Mounts with files written but not flushed yet, each with a folder
// descriptor there for syncfs; shared by every object of the process, as
// the files of one Sync are written through several (one per worker).
struct UnflushedMounts {
    struct Mount {
        uint64_t nDev;
        int fd;
    };
    std::mutex tableMutex;
    std::mutex flushMutex; // one flush at a time: a second caller waits for the first
    std::vector<Mount> mounts;
    std::atomic<bool> bAny{false};
};
UnflushedMounts& Unflushed() {
    static UnflushedMounts* s_p = new UnflushedMounts(); // never destroyed: used until exit
    return *s_p;
}

} // namespace

// The folder descriptors kept by NativePath, most recently used first.
struct WinFileSys::FolderCache {
    static constexpr int kSlots = 8;
    std::mutex mutex;
    std::string aRel[kSlots]; // root-relative folder, no leading '/'
    int aFd[kSlots];
    int nUsed = 0;
    FolderCache() {
        for (int& fd : aFd) fd = -1;
    }
    ~FolderCache() { Clear(false); }
    void Clear(bool bHeld);
};

// ============================================================ construction
WinFileSys::WinFileSys() : m_pFolders(std::make_unique<FolderCache>()) {
    for (int& fd : m_fds) fd = -1;
}

WinFileSys::~WinFileSys() {
    StopMonitoring();
    Disconnect(true);
}

void WinFileSys::SetFollowLinksInPaths(bool b) {
    m_bFollowLinksInPaths = b;
    ForgetFolders();
}

void WinFileSys::KeepFoldersOpen(bool b) {
    m_bKeepFolders = b;
    ForgetFolders();
}

TvFileSys* WinFileSys::NewInstance() const {
    return new WinFileSys();
}

bool WinFileSys::AcceptsUrl(const CWideString& url) const {
    if (url.StartsWith(u"/")) return true;
    CWideString rest;
    if (!url.StartsWithTailNoCase(u"file://", rest)) return false;
    if (rest.StartsWith(u"/")) return true;
    CWideString host;
    if (rest.StartsWithTailNoCase(u"localhost", host)) return host.IsEmpty() || host.StartsWith(u"/");
    return false;
}

int WinFileSys::GetCapability(int id) const {
    bool bFat = m_bFatMount || m_ConnectInfo.m_bFatLike;
    switch (id) {
        case TVFS_CAP_LOCAL:
        case TVFS_CAP_MD5:
        case TVFS_CAP_BLOCK_IO:
        case TVFS_CAP_SOURCE_STATE:
        case TVFS_CAP_LINKS:
        case TVFS_CAP_FREE_SPACE:
        case TVFS_CAP_MOVE_FOLDER:
        case TVFS_CAP_MOD_TIMES:
        case TVFS_CAP_FOLDER_TIMES:
        case TVFS_CAP_MONITOR:
        case TVFS_CAP_SET_ATTRIBUTES:
        case TVFS_CAP_ATOMIC_REPLACE:
            return 1;
        case TVFS_CAP_CASE_SENSITIVE:
            return bFat ? 0 : 1;
        case TVFS_CAP_EXPECTS_TIME_SHIFT:
            return bFat ? 1 : 0;
        case TVFS_CAP_ROUNDED_TIMES:
            // Local times are exact to the second here; whole-hour shifts of
            // a fat-like side are expected (33), never treated as rounding.
            return 0;
        default:
            return 0; // creation times cannot be set, no temp-file rules, ...
    }
}

CWideString WinFileSys::GetTypeInfo(int item) const {
    switch (item) {
        case TVFS_TI_NAME:
            return u"Local Folder";
        case TVFS_TI_SCHEME:
            return u"file://";
        case TVFS_TI_BAD_NAME_CHARS:
            return u"/\\";
        case TVFS_TI_DISPLAY_NAME:
            return IsConnected() ? CWideString(u"Local: ") + m_sRootDir : CWideString(u"Disconnected");
        case TVFS_TI_REAL_ROOT:
            return m_sRootDir;
        case TVFS_TI_VOLUME_ID:
        case TVFS_TI_VOLUME_NAME: {
            if (!IsConnected()) return CWideString();
            struct stat st;
            if (::stat(ZorNativePath(m_sRootDir).GetString(), &st) != 0) return CWideString();
            if (item == TVFS_TI_VOLUME_ID)
                return CWideString::Formatted(u"dev:%u:%u", (unsigned)major(st.st_dev),
                                              (unsigned)minor(st.st_dev));
            return u"Local: " + MountPointOf(m_sRootDir, st.st_dev);
        }
        default:
            return CWideString();
    }
}

namespace {

// A mount point as /proc/self/mountinfo writes it: blank, tab, newline and
// backslash as three octal digits after a backslash.
std::string UnescapeMountPath(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

CWideString WinFileSys::MountPointOf(const CWideString& folder, uint64_t dev) {
    char resolved[PATH_MAX];
    const CNarrowString native = ZorNativePath(folder);
    const std::string path = ::realpath(native.GetString(), resolved) ? resolved : native.GetString();
    // The deepest mount of this device that holds the folder (a folder
    // mounted on a folder of the same disk is named by its own mount point).
    std::string best;
    if (FILE* f = ::fopen("/proc/self/mountinfo", "re")) {
        char line[4096];
        while (::fgets(line, sizeof line, f)) {
            unsigned maj = 0, min = 0;
            char mount[4096];
            if (::sscanf(line, "%*s %*s %u:%u %*s %4095s", &maj, &min, mount) != 3) continue;
            if (maj != major(dev) || min != minor(dev)) continue;
            const std::string m = UnescapeMountPath(mount);
            const bool bHolds =
                m == "/" || path == m ||
                (path.size() > m.size() && path.compare(0, m.size(), m) == 0 && path[m.size()] == '/');
            if (bHolds && m.size() > best.size()) best = m;
        }
        ::fclose(f);
    }
    if (best.empty()) {
        // No mount table: the topmost folder above it on the same device.
        best = path;
        struct stat st;
        for (std::string up = best; up.size() > 1;) {
            const size_t slash = up.rfind('/');
            up = slash == 0 ? "/" : up.substr(0, slash);
            if (::stat(up.c_str(), &st) != 0 || (uint64_t)st.st_dev != dev) break;
            best = up;
        }
    }
    return Utf8ToWide(best.c_str(), (int)best.size());
}

bool WinFileSys::BreakURL(const CWideString& url, CWideString& server, CWideString& path, CWideString& err) {
    server.Empty();
    CWideString rest;
    if (url.StartsWithTailNoCase(u"file://", rest)) {
        int slash = rest.Find(u'/');
        CWideString host = slash < 0 ? rest : rest.Left(slash);
        if (!host.IsEmpty() && !host.EqualsNoCase(u"localhost")) server = host;
        path = UrlToLocalPath(url);
        return true;
    }
    if (url.StartsWith(u"/")) {
        path = url;
        return true;
    }
    err += u"not a local folder URL: ";
    err += url;
    return false;
}

// ============================================================ connection
bool WinFileSys::ResolveRoot(const CWideString& url, CWideString& localRoot, int& errKind, CWideString& err) {
    if (!AcceptsUrl(url)) {
        errKind = FSE_GENERAL;
        if (url.IsEmpty())
            err += u"no local folder given";
        else if (url.Find(u"://") < 0 && url[0] != u'/')
            err += u"relative path is not allowed, an absolute folder path is needed: " + url;
        else
            err += u"not a local folder URL: " + url;
        return false;
    }
    CWideString p = url.StartsWith(u"/") ? url : UrlToLocalPath(url);
    if (!p.StartsWith(u"/")) {
        errKind = FSE_GENERAL;
        err += u"not an absolute local folder: " + url;
        return false;
    }
    if (p.GetLength() > 1 && p.EndsWith(u"/")) p.Truncate(p.GetLength() - 1);
    localRoot = p;
    return true;
}

bool WinFileSys::Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) {
    Disconnect(true);
    m_ConnectInfo = ci;
    m_pProgress = pProgress;
    if (ci.m_bEncrypt) {
        errKind = FSE_GENERAL;
        err += u"Cannot connect to " + ci.m_sUrl +
               u": file encryption (EFS) is not available on this platform; turn off Encrypt for this side";
        return false;
    }
    if (ci.m_bCompress) {
        errKind = FSE_GENERAL;
        err += u"Cannot connect to " + ci.m_sUrl +
               u": file compression is not available on this platform; turn off Compress for this side";
        return false;
    }
    CWideString root;
    if (!ResolveRoot(ci.m_sUrl, root, errKind, err)) return false;
    m_sRootDir = root;
    m_sCurRootDir = root;
    m_sUrlPrefix = u"file://";
    ZorVolumeInfo vol;
    CWideString volErr;
    const bool bVolume = ZorGetVolumeOfPath(root, vol, volErr);
    m_bFatMount = bVolume && IsFatType(vol.sFsType);
    struct stat rootSt;
    m_bBatchFlush =
        bVolume && IsBatchFlushType(vol.sFsType) && ::stat(ZorNativePath(root).GetString(), &rootSt) == 0;
    m_nRootDev = m_bBatchFlush ? (uint64_t)rootSt.st_dev : 0;
    ForgetFolders();
    m_bConnected = true;
    m_nNetworkLocality = TVFS_LOC_THIS_COMPUTER;
    m_bSupportsSetModTime = 1;
    return true;
}

void WinFileSys::Disconnect(bool bFull) {
    for (int& fd : m_fds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    ForgetFolders();
    TvFileSys::Disconnect(bFull);
}

bool WinFileSys::SetRootDir(const CWideString& path, int& errKind, CWideString& err) {
    CWideString p = path;
    if (p.StartsWithNoCase(u"file:")) p = UrlToLocalPath(p);
    p.Replace(u'\\', u'/');
    if (!p.IsEmpty() && !p.StartsWith(u"/")) {
        errKind = FSE_GENERAL;
        err += u"root folder must be an absolute path: " + path;
        return false;
    }
    if (p.GetLength() > 1 && p.EndsWith(u"/")) p.Truncate(p.GetLength() - 1);
    m_sRootDir = p;
    m_sCurRootDir = p;
    ForgetFolders();
    return true;
}

CWideString WinFileSys::BasePath(const CWideString& path) const {
    CWideString full;
    int kind = 0;
    CWideString err;
    if (!GetFullPath(path, full, kind, err)) return m_sRootDir + u"/" + path;
    return full.IsEmpty() ? CWideString(u"/") : full;
}

namespace {

// Folder descriptors that stand for the folder part of a path handed out by
// NativePath ("/proc/self/fd/N/name"): each thread keeps its last few, so a
// path stays valid for the operation that asked for it (operations use at
// most three at once).
struct HeldDirFds {
    static constexpr int kSlots = 16;
    int fds[kSlots];
    int next = 0;
    HeldDirFds() {
        for (int& fd : fds) fd = -1;
    }
    ~HeldDirFds() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void Hold(int fd) {
        if (fds[next] >= 0) close(fds[next]);
        fds[next] = fd;
        next = (next + 1) % kSlots;
    }
};
thread_local HeldDirFds t_heldDirFds;

#ifndef RESOLVE_BENEATH
struct OpenHow {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};
constexpr uint64_t kResolveNoSymlinks = 0x04;
constexpr uint64_t kResolveBeneath = 0x08;
#else
using OpenHow = struct open_how;
constexpr uint64_t kResolveNoSymlinks = RESOLVE_NO_SYMLINKS;
constexpr uint64_t kResolveBeneath = RESOLVE_BENEATH;
#endif

// Opens the folder rel (no leading '/') below the folder rootFd without
// following any link on the way. -1 with errno on failure (ELOOP or ENOTDIR
// for a link).
int OpenBeneathNoLinks(int rootFd, const char* rel) {
#ifdef SYS_openat2
    static std::atomic<int> s_bNoOpenat2{0};
    if (!s_bNoOpenat2.load()) {
        OpenHow how{};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = kResolveBeneath | kResolveNoSymlinks;
        int fd = (int)syscall(SYS_openat2, rootFd, rel, &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) return fd;
        s_bNoOpenat2.store(1);
    }
#endif
    // One name at a time, never following a link.
    int cur = dup(rootFd);
    if (cur < 0) return -1;
    std::string all(rel);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t slash = all.find('/', pos);
        if (slash == std::string::npos) slash = all.size();
        const std::string name = all.substr(pos, slash - pos);
        pos = slash + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            close(cur);
            errno = EXDEV;
            return -1;
        }
        int fd = openat(cur, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        close(cur);
        if (fd < 0) {
            errno = e;
            return -1;
        }
        cur = fd;
    }
    return cur;
}

} // namespace

bool WinFileSys::NativePath(const CWideString& path, CNarrowString& native, int& errKind,
                            CWideString& err) const {
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    if (dirFd != AT_FDCWD) native = AtPath(dirFd, native);
    return true;
}

CNarrowString WinFileSys::AtPath(int dirFd, const CNarrowString& name) {
    if (dirFd == AT_FDCWD) return name;
    CNarrowString path;
    path.Format("/proc/self/fd/%d/%s", dirFd, name.GetString());
    return path;
}

bool WinFileSys::NativeAt(const CWideString& path, int& dirFd, CNarrowString& native, int& errKind,
                          CWideString& err) const {
    dirFd = AT_FDCWD;
    if (!NativePathFull(path, native, errKind, err)) return false;
    if (m_bFollowLinksInPaths || m_sRootDir.IsEmpty()) return true;
    // The folders between the root and the last name: opened without links.
    CNarrowString root = WideToUtf8(m_sRootDir);
    while (root.GetLength() > 1 && root[root.GetLength() - 1] == '/') root = root.Left(root.GetLength() - 1);
    if (native.GetLength() <= root.GetLength() + 1 || native.Left(root.GetLength()) != root ||
        native[root.GetLength()] != '/')
        return true; // the root itself (which may be a link the user chose)
    const CNarrowString rel = native.Mid(root.GetLength() + 1);
    const int slash = rel.ReverseFind('/');
    if (slash < 0) return true; // directly in the root
    const CNarrowString folder = rel.Left(slash), leaf = rel.Mid(slash + 1);
    FolderCache& cache = *m_pFolders;
    std::lock_guard<std::mutex> lock(cache.mutex);
    int fd = -1;
    for (int i = 0; i < cache.nUsed; ++i) {
        if (cache.aRel[i].size() != (size_t)folder.GetLength() ||
            memcmp(cache.aRel[i].data(), folder.GetString(), (size_t)folder.GetLength()) != 0)
            continue;
        fd = cache.aFd[i];
        std::rotate(cache.aRel, cache.aRel + i, cache.aRel + i + 1);
        std::rotate(cache.aFd, cache.aFd + i, cache.aFd + i + 1);
        break;
    }
    if (fd < 0) {
        const int rootFd = open(root.GetString(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0) return true; // the operation reports the missing root itself
        fd = OpenBeneathNoLinks(rootFd, folder.GetString());
        const int e = errno;
        close(rootFd);
        if (fd < 0) {
            if (e == ELOOP || e == EXDEV || (e == ENOTDIR && IsLinkOnTheWay(root, folder))) {
                errKind = FSE_GENERAL;
                err += u"a folder in the path is a link, not followed: " + DisplayPath(path);
                return false;
            }
            return true; // missing folders: the operation reports them
        }
        if (!m_bKeepFolders) {
            t_heldDirFds.Hold(fd);
            dirFd = fd;
            native = leaf;
            return true;
        }
        // The least recently used folder makes room; its descriptor stays
        // open a while for a path handed out before.
        if (cache.nUsed == FolderCache::kSlots) t_heldDirFds.Hold(cache.aFd[--cache.nUsed]);
        std::move_backward(cache.aRel, cache.aRel + cache.nUsed, cache.aRel + cache.nUsed + 1);
        std::move_backward(cache.aFd, cache.aFd + cache.nUsed, cache.aFd + cache.nUsed + 1);
        cache.aRel[0].assign(folder.GetString(), (size_t)folder.GetLength());
        cache.aFd[0] = fd;
        ++cache.nUsed;
    }
    dirFd = fd;
    native = leaf;
    return true;
}

void WinFileSys::FolderCache::Clear(bool bHeld) {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < nUsed; ++i) {
        // A path handed out before stays valid for the operation at hand.
        if (bHeld)
            t_heldDirFds.Hold(aFd[i]);
        else
            close(aFd[i]);
        aFd[i] = -1;
        aRel[i].clear();
    }
    nUsed = 0;
}

void WinFileSys::ForgetFolders() const {
    if (m_pFolders) m_pFolders->Clear(true);
}

// ============================================================ batched flushes
bool WinFileSys::DeferFlush(int fd, int dirFd, const CNarrowString& name) {
    if (!m_bBatchFlush) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || (uint64_t)st.st_dev != m_nRootDev) return false;
    UnflushedMounts& u = Unflushed();
    std::lock_guard<std::mutex> lock(u.tableMutex);
    for (const UnflushedMounts::Mount& m : u.mounts)
        if (m.nDev == m_nRootDev) return true;
    // A readable descriptor of the mount for syncfs: the file's folder.
    const int slash = name.ReverseFind('/');
    CNarrowString folder = slash > 0 ? name.Left(slash) : CNarrowString(slash == 0 ? "/" : ".");
    if (dirFd != AT_FDCWD) folder = AtPath(dirFd, folder);
    const int mountFd = ::open(folder.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mountFd < 0) return false;
    u.mounts.push_back({m_nRootDev, mountFd});
    u.bAny.store(true);
    return true;
}

bool WinFileSys::HasUnflushedWrites() {
    return Unflushed().bAny.load();
}

bool WinFileSys::FlushAllWrites(int& errKind, CWideString& err) {
    UnflushedMounts& u = Unflushed();
    std::lock_guard<std::mutex> flushing(u.flushMutex);
    std::vector<UnflushedMounts::Mount> mounts;
    {
        std::lock_guard<std::mutex> lock(u.tableMutex);
        mounts.swap(u.mounts);
        u.bAny.store(false);
    }
    size_t i = 0;
    for (; i < mounts.size(); ++i) {
        if (syncfs(mounts[i].fd) != 0) break;
        ::close(mounts[i].fd);
    }
    if (i == mounts.size()) return true;
    const int e = errno;
    // What is not flushed stays pending.
    {
        std::lock_guard<std::mutex> lock(u.tableMutex);
        for (size_t j = i; j < mounts.size(); ++j) {
            bool bThere = false;
            for (const UnflushedMounts::Mount& m : u.mounts) bThere = bThere || m.nDev == mounts[j].nDev;
            if (bThere)
                ::close(mounts[j].fd);
            else
                u.mounts.push_back(mounts[j]);
        }
        u.bAny.store(true);
    }
    return Fail(e, u"Cannot flush the copied files to disk", CWideString(), errKind, err);
}

bool WinFileSys::IsLinkOnTheWay(const CNarrowString& root, const CNarrowString& folder) {
    CNarrowString cur = root;
    int start = 0;
    for (int i = 0; i <= folder.GetLength(); ++i) {
        if (i < folder.GetLength() && folder[i] != '/') continue;
        cur += "/" + folder.Mid(start, i - start);
        start = i + 1;
        struct stat st;
        if (lstat(cur.GetString(), &st) != 0) return false;
        if (S_ISLNK(st.st_mode)) return true;
    }
    return false;
}

bool WinFileSys::NativePathFull(const CWideString& path, CNarrowString& native, int& errKind,
                                CWideString& err) const {
    CWideString full;
    if (!GetFullPath(path, full, errKind, err)) return false;
    if (full.IsEmpty()) full = u"/";
    if (!full.StartsWith(u"/")) {
        errKind = FSE_GENERAL;
        err += u"not an absolute local path: " + full;
        return false;
    }
    // NUL and unpaired surrogates have no UTF-8 form.
    for (int i = 0, n = full.GetLength(); i < n; ++i) {
        char16_t c = full[i];
        bool bBad = c == 0;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < n && full[i + 1] >= 0xDC00 && full[i + 1] <= 0xDFFF)
                ++i;
            else
                bBad = true;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            bBad = true;
        }
        if (bBad) {
            errKind = FSE_GENERAL;
            err += u"path holds a character that cannot be stored: " + full;
            return false;
        }
    }
    native = WideToUtf8(full);
    // Each name must fit the file system's limit.
    int start = 1;
    for (int i = 1; i <= native.GetLength(); ++i) {
        if (i == native.GetLength() || native[i] == '/') {
            if (i - start > NAME_MAX) {
                errKind = FSE_GENERAL;
                err.AppendFormat(u"name too long for the file system (%d bytes, at most %d): %s", i - start,
                                 NAME_MAX, Utf8ToWide(native.Mid(start, i - start)));
                return false;
            }
            start = i + 1;
        }
    }
    if (native.GetLength() >= PATH_MAX) {
        errKind = FSE_GENERAL;
        err.AppendFormat(u"path too long for the file system (%d bytes, at most %d): %s", native.GetLength(),
                         PATH_MAX - 1, full);
        return false;
    }
    return true;
}

// ============================================================ listing and information
bool WinFileSys::StatItem(int dirFd, const char* nameOrPath, bool bFollow, FsItemInfo& info, bool& bNotFound,
                          int& errKind, CWideString& err, const CWideString& display) const {
    bNotFound = false;
    struct statx st;
    if (statx(dirFd, nameOrPath, bFollow ? 0 : AT_SYMLINK_NOFOLLOW, kStatxMask, &st) != 0) {
        int e = errno;
        if (e == ENOENT || e == ENOTDIR) {
            bNotFound = true;
            return true;
        }
        return Fail(e, u"Cannot get information of ", display, errKind, err);
    }
    struct statx target;
    const struct statx* pTarget = nullptr;
    if (S_ISLNK(st.stx_mode) && statx(dirFd, nameOrPath, 0, STATX_TYPE | STATX_MODE, &target) == 0)
        pTarget = &target;
    uint32_t stored = 0;
    bool bNoXattr = false, bHave = false;
    if (!S_ISLNK(st.stx_mode)) {
        // Following a link, the bits are the target's (a link itself has none).
        if (dirFd == AT_FDCWD || nameOrPath[0] == '/') {
            bHave = ReadStoredBitsOfPath(nameOrPath, stored, bNoXattr, bFollow);
        } else if (!bFollow) {
            char base[64], buf[32];
            snprintf(base, sizeof base, "/proc/self/fd/%d/", dirFd);
            const ssize_t n = GetStoredValueAt(dirFd, nameOrPath, base, buf, sizeof buf - 1);
            if (n > 0) {
                buf[n] = 0;
                char* end = nullptr;
                const unsigned long v = strtoul(buf, &end, 10);
                bHave = end != buf;
                if (bHave) stored = (uint32_t)v;
            }
        } else {
            char buf[64];
            snprintf(buf, sizeof buf, "/proc/self/fd/%d/", dirFd);
            std::string p = std::string(buf) + nameOrPath;
            bHave = ReadStoredBitsOfPath(p.c_str(), stored, bNoXattr, bFollow);
        }
    }
    const char* slash = strrchr(nameOrPath, '/');
    const char* name = slash ? slash + 1 : nameOrPath;
    info.m_nAttributes = MapAttributes(st, pTarget, name, stored, bHave);
    info.m_nSize = S_ISDIR(st.stx_mode) ? 0 : (int64_t)st.stx_size;
    FillTimes(st, info);
    return true;
}

bool WinFileSys::ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    int dfd = ::open(native.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return Fail(errno, u"Cannot list folder ", DisplayPath(path), errKind, err, true);
    // The folder's path, for an extended attribute that cannot be read
    // relative to dfd.
    std::string base(native.GetString(), native.GetLength());
    if (base.empty() || base.back() != '/') base += '/';
    std::atomic<bool> bNoXattr{false};
    // The mount is set before the cutoff is published.
    const int64_t nCutoff = m_nStoredCutoff.load(std::memory_order_acquire);
    const StoredBitsCutoff cutoff{nCutoff, nCutoff ? m_nStoredCutoffMnt.load(std::memory_order_relaxed) : 0};

    // The entries come a buffer at a time. The metadata of one buffer's
    // entries is read first (by several threads for a large buffer), then
    // the items are made in the order the folder gave the entries.
    constexpr size_t kBufSize = 64 * 1024;
    std::unique_ptr<char[]> dirBuf(new char[kBufSize]);
    std::vector<const char*> names;
    std::vector<EntryMeta> meta;
    struct Ctx {
        int dfd;
        const std::string* pBase;
        std::atomic<bool>* pNoXattr;
        const StoredBitsCutoff* pCutoff;
        const char* const* ppNames;
        EntryMeta* pMeta;
    };
    int count = 0;
    bool ok = true;
    while (ok) {
        const ssize_t nRead = getdents64(dfd, dirBuf.get(), kBufSize);
        if (nRead <= 0) {
            if (nRead < 0) ok = Fail(errno, u"Cannot list folder ", DisplayPath(path), errKind, err);
            break;
        }
        names.clear();
        for (ssize_t off = 0; off < nRead;) {
            const auto* de = (const struct dirent64*)(dirBuf.get() + off);
            off += de->d_reclen;
            const char* name = de->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            names.push_back(name);
        }
        const int n = (int)names.size();
        meta.resize((size_t)n);
        Ctx ctx{dfd, &base, &bNoXattr, &cutoff, names.data(), meta.data()};
        auto run = [](void* p, int nFrom, int nTo) {
            const Ctx& c = *(const Ctx*)p;
            for (int i = nFrom; i < nTo; i++)
                ReadEntryMeta(c.dfd, c.ppNames[i], *c.pBase, *c.pNoXattr, *c.pCutoff, c.pMeta[i]);
        };
        if (n >= kParallelMinEntries && CMetaPool::Get().GetThreadCount() > 0) {
            CMetaPool::Job job;
            job.nTotal = n;
            job.pfnRun = run;
            job.pCtx = &ctx;
            CMetaPool::Get().Run(job);
        } else {
            run(&ctx, 0, n);
        }

        for (int i = 0; i < n; i++) {
            const char* name = names[(size_t)i];
            if ((++count & 1023) == 0 && ICopyProgress::Stopped(m_pProgress)) {
                SetStoppedByUser(errKind, err);
                ok = false;
                break;
            }
            const EntryMeta& m = meta[(size_t)i];
            if (m.nStatErr == ENOENT) continue; // gone since the folder was read
            items.AddTail(FsItemInfo());
            FsItemInfo& info = items.GetTail();
            CWideString note;
            bool bGoodName = CheckEntryName(name, info.m_sName, note);
            if (m.nStatErr != 0) {
                int kind = 0;
                note = MakeErrorMessage(m.nStatErr, kind);
                info.SetBad(u"cannot get information: " + note);
                continue;
            }
            info.m_nAttributes =
                MapAttributeBits(m.nMode, m.bTarget, m.nTargetMode, name, m.nStored, m.bHaveStored);
            info.m_nSize = S_ISDIR(m.nMode) ? 0 : m.nSize;
            info.m_nModTime = ClampTime(m.nMtime);
            info.m_nCreateTime = m.nBtime != 0 ? ClampTime(m.nBtime) : info.m_nModTime;
            if (m.bStoredUnread && bGoodName) {
                info.m_bStoredUnread = 1;
                info.m_nChangeTime = ClampTime(m.nCtime);
            }
            if (!bGoodName) {
                info.m_bValid = 0;
                info.m_nAttributes = FSA_UNKNOWN;
                info.m_sNote = note;
            }
        }
    }
    ::close(dfd);
    return ok;
}

bool WinFileSys::SetStoredBitsCutoff(int64_t nBefore) {
    m_nStoredCutoff.store(0, std::memory_order_relaxed);
    if (nBefore <= 0) return false;
    CNarrowString root;
    int k = 0;
    CWideString e;
    if (!NativePath(CWideString(), root, k, e)) return false;
    // Only where the change time is the local kernel's own: not on network
    // or user-space file systems, whose times come from elsewhere.
    struct statfs sf;
    if (statfs(root.GetString(), &sf) != 0) return false;
    switch ((unsigned long)sf.f_type) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // xfs
    case 0x9123683EUL: // btrfs
    case 0x01021994UL: // tmpfs
    case 0xF2F52010UL: // f2fs
        break;
    default:
        return false;
    }
    struct statx st;
    if (statx(AT_FDCWD, root.GetString(), 0, STATX_MNT_ID_UNIQUE, &st) != 0 || !(st.stx_mask & STATX_MNT_ID_UNIQUE))
        return false;
    m_nStoredCutoffMnt.store(st.stx_mnt_id, std::memory_order_relaxed);
    m_nStoredCutoff.store(nBefore, std::memory_order_release);
    return true;
}

int64_t WinFileSys::FileSystemNow() const {
    return (int64_t)time(nullptr);
}

uint32_t WinFileSys::WithRecordedStoredBits(const FsItemInfo& entry, uint32_t nRecorded) const {
    if (entry.m_nAttributes == FSA_UNKNOWN || (entry.m_nAttributes & FSA_LINK)) return entry.m_nAttributes;
    // As MapAttributeBits adds stored bits: the recorded word holds the
    // bits the mode and name gave then, which are the same now (a change of
    // either moves the change time).
    uint32_t stored = nRecorded & ~(uint32_t)(FSA_FOLDER | FSA_LINK | FSA_NORMAL);
    if (!(entry.m_nAttributes & FSA_FOLDER)) stored &= ~(uint32_t)FSA_READONLY;
    const uint32_t attrs = (entry.m_nAttributes & ~(uint32_t)FSA_NORMAL) | stored;
    return attrs ? attrs : (uint32_t)FSA_NORMAL;
}

bool WinFileSys::ReadStoredBits(const CWideString& path, FsItemInfo& entry, int& errKind, CWideString& err) {
    entry.m_bStoredUnread = 0;
    FsItemInfo info;
    bool bNotFound = false;
    if (!GetInfo(path, info, bNotFound, errKind, err)) return false;
    // Gone or replaced since it was listed: the listing's word stands, as
    // when the read fails while listing.
    if (bNotFound || info.IsFolder() != entry.IsFolder() || info.IsLink() != entry.IsLink()) return true;
    g_nStoredBitReads.fetch_add(1, std::memory_order_relaxed);
    entry.m_nAttributes = info.m_nAttributes;
    return true;
}

uint64_t WinFileSys::StoredBitReads() {
    return g_nStoredBitReads.load(std::memory_order_relaxed);
}

bool WinFileSys::GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                         CWideString& err) {
    info.Clear();
    bNotFound = false;
    CNarrowString native;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    if (!StatItem(dirFd, native.GetString(), false, info, bNotFound, errKind, err, DisplayPath(path)))
        return false;
    if (bNotFound)
        info.Clear();
    else
        info.m_sName = GetUrlPathFileName(path);
    return true;
}

bool WinFileSys::IsFile(const CWideString& path, bool& bExists, int& errKind, CWideString& err) {
    return TvFileSys::IsFile(path, bExists, errKind, err);
}

bool WinFileSys::IsFolder(const CWideString& path, bool& bExists, int& errKind, CWideString& err) {
    return TvFileSys::IsFolder(path, bExists, errKind, err);
}

bool WinFileSys::GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree,
                                  int64_t& nTotal, int& errKind, CWideString& err) {
    nFreeToCaller = nTotalFree = nTotal = 0;
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    // The nearest existing folder of the path.
    CWideString p = ZorWidePath(native);
    struct stat st;
    while (p.GetLength() > 1 && ::stat(ZorNativePath(p).GetString(), &st) != 0) {
        p = GetUrlPathFolder(p);
        if (p.IsEmpty()) p = u"/";
    }
    uint64_t avail = 0, freeB = 0, total = 0;
    if (!ZorGetVolumeSpace(p, avail, freeB, total, errKind, err)) return false;
    nFreeToCaller = (int64_t)avail;
    nTotalFree = (int64_t)freeB;
    nTotal = (int64_t)total;
    return true;
}

// ============================================================ links
bool WinFileSys::GetLinkInfo(const CWideString& path, CWideString& target, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink(native.GetString(), buf.data(), buf.size() - 1);
    if (n < 0) {
        int e = errno;
        if (e == EINVAL) {
            errKind = FSE_GENERAL;
            err += u"not a link: " + DisplayPath(path);
            return false;
        }
        return Fail(e, u"Cannot read link ", DisplayPath(path), errKind, err, true);
    }
    CWideString convErr;
    if (!Utf8ToWideChecked(buf.data(), (int)n, target, convErr)) {
        errKind = FSE_GENERAL;
        err += u"link target is not valid UTF-8: " + DisplayPath(path) + u": " +
               EscapeRawName(std::string(buf.data(), n).c_str());
        return false;
    }
    return true;
}

bool WinFileSys::GetLinkTargetInfo(const CWideString& path, FsItemInfo& info, int& errKind,
                                   CWideString& err) {
    info.Clear();
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    bool bNotFound = false;
    if (!StatItem(AT_FDCWD, native.GetString(), true, info, bNotFound, errKind, err, DisplayPath(path)))
        return false;
    if (bNotFound) {
        info.Clear();
        errKind = FSE_NOT_FOUND;
        err += u"link target not found: " + DisplayPath(path);
        return false;
    }
    info.m_sName = GetUrlPathFileName(path);
    return true;
}

bool WinFileSys::CreateLink(const CWideString& path, bool, const CWideString& target, int& errKind,
                            CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    if (target.IsEmpty()) {
        errKind = FSE_GENERAL;
        err += u"empty link target for " + DisplayPath(path);
        return false;
    }
    if (symlink(WideToUtf8(target).GetString(), native.GetString()) != 0)
        return Fail(errno, u"Cannot create link ", DisplayPath(path), errKind, err);
    return true;
}

// ============================================================ times and attributes
bool WinFileSys::GetAttributes(const CWideString& path, uint32_t& attrs, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    attrs = ZorGetFileAttributes(ZorWidePath(native));
    if (attrs == ZOR_INVALID_FILE_ATTRIBUTES) {
        errKind = FSE_NOT_FOUND;
        err += u"Cannot get attributes, not found: " + DisplayPath(path);
        return false;
    }
    return true;
}

bool WinFileSys::SetAttributes(const CWideString& path, uint32_t attrs, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    return ZorSetFileAttributes(ZorWidePath(native), attrs, errKind, err);
}

bool WinFileSys::GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime,
                                int& errKind, CWideString& err) {
    modTime = createTime = 0;
    FsItemInfo info;
    bool bNotFound = false;
    if (!GetInfo(path, info, bNotFound, errKind, err)) return false;
    if (bNotFound) {
        errKind = FSE_NOT_FOUND;
        err += u"Cannot get modification time, not found: " + DisplayPath(path);
        return false;
    }
    modTime = info.m_nModTime;
    createTime = info.m_nCreateTime;
    return true;
}

bool WinFileSys::SetFileModTime(const CWideString& path, uint32_t modTime, uint32_t, int& errKind,
                                CWideString& err) {
    CNarrowString native;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    // A file that has the time to the second keeps it whole (a copy may have
    // taken its source's time to the nanosecond).
    struct stat st;
    if (fstatat(dirFd, native.GetString(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_mtim.tv_sec == (time_t)modTime)
        return true;
    struct timespec ts[2];
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1].tv_sec = (time_t)modTime;
    ts[1].tv_nsec = 0;
    // Creation times cannot be set on this platform (capability 34 is false).
    if (utimensat(dirFd, native.GetString(), ts, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(errno, u"Cannot set modification time of ", DisplayPath(path), errKind, err, true);
    return true;
}

bool WinFileSys::GetFolderModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime,
                                  int& errKind, CWideString& err) {
    return GetFileModTime(path, modTime, createTime, errKind, err);
}

bool WinFileSys::SetFolderModTime(const CWideString& path, uint32_t modTime, uint32_t createTime,
                                  int& errKind, CWideString& err) {
    return SetFileModTime(path, modTime, createTime, errKind, err);
}

// ============================================================ files and folders
bool WinFileSys::MakeFolder(const CWideString& path, int& errKind, CWideString& err) {
    m_bFolderExisted = 0;
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    if (mkdir(native.GetString(), 0777) == 0) return true;
    int e = errno;
    struct stat st;
    if (e == EEXIST && ::stat(native.GetString(), &st) == 0 && S_ISDIR(st.st_mode)) {
        m_bFolderExisted = 1;
        return true;
    }
    if (e == EEXIST) {
        errKind = FSE_GENERAL;
        err += u"Cannot create folder " + DisplayPath(path) + u": a file of that name exists";
        return false;
    }
    return Fail(e, u"Cannot create folder ", DisplayPath(path), errKind, err, true);
}

bool WinFileSys::DeleteFile(const CWideString& path, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    if (unlink(native.GetString()) != 0)
        return Fail(errno, u"Cannot delete file ", DisplayPath(path), errKind, err, true);
    return true;
}

bool WinFileSys::DeleteFolder(const CWideString& path, int& errKind, CWideString& err) {
    ForgetFolders();
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    struct stat st;
    // A link to a folder is removed as the link itself.
    if (lstat(native.GetString(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (unlink(native.GetString()) != 0)
            return Fail(errno, u"Cannot delete folder link ", DisplayPath(path), errKind, err, true);
        return true;
    }
    if (rmdir(native.GetString()) != 0)
        return Fail(errno, u"Cannot delete folder ", DisplayPath(path), errKind, err, true);
    return true;
}

bool WinFileSys::MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CNarrowString a, b;
    if (!NativePath(from, a, errKind, err) || !NativePath(to, b, errKind, err)) return false;
    struct stat st;
    if (lstat(a.GetString(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"Cannot move file " + DisplayPath(from) + u": it is a folder";
        return false;
    }
    if (rename(a.GetString(), b.GetString()) == 0) return true;
    int e = errno;
    if (e == EXDEV) return ZorMoveFile(ZorWidePath(a), ZorWidePath(b), errKind, err);
    return Fail(e, u"Cannot move file ", DisplayPath(from) + u" to " + DisplayPath(to), errKind, err, true);
}

bool WinFileSys::MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    ForgetFolders();
    CNarrowString a, b;
    if (!NativePath(from, a, errKind, err) || !NativePath(to, b, errKind, err)) return false;
    struct stat st;
    // rename(2) would replace an empty folder at the destination: refuse instead.
    if (lstat(b.GetString(), &st) == 0) {
        errKind = FSE_GENERAL;
        err += u"Cannot move folder " + DisplayPath(from) + u" to " + DisplayPath(to) +
               u": the destination exists";
        return false;
    }
    if (rename(a.GetString(), b.GetString()) == 0) return true;
    return Fail(errno, u"Cannot move folder ", DisplayPath(from) + u" to " + DisplayPath(to), errKind, err,
                true);
}

bool WinFileSys::MoveFileNoReplace(const CWideString& from, const CWideString& to, int& errKind,
                                   CWideString& err) {
    CNarrowString nameA, nameB;
    int dirA = AT_FDCWD, dirB = AT_FDCWD;
    if (!NativeAt(from, dirA, nameA, errKind, err) || !NativeAt(to, dirB, nameB, errKind, err)) return false;
    struct stat sa, sb;
    if (fstatat(dirA, nameA.GetString(), &sa, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(sa.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"Cannot move file " + DisplayPath(from) + u": it is a folder";
        return false;
    }
    const CWideString what = DisplayPath(from) + u" to " + DisplayPath(to);
#ifdef SYS_renameat2
    const int kNoReplace = 1; // RENAME_NOREPLACE
    if (syscall(SYS_renameat2, dirA, nameA.GetString(), dirB, nameB.GetString(), kNoReplace) == 0)
        return true;
    int e = errno;
#else
    int e = ENOSYS;
#endif
    const CNarrowString a = AtPath(dirA, nameA), b = AtPath(dirB, nameB);
    if (e == EINVAL || e == ENOSYS || e == ENOTSUP) {
        // No such rename here: a second name fails the same way when taken.
        if (link(a.GetString(), b.GetString()) == 0) {
            if (unlink(a.GetString()) == 0) return true;
            e = errno;
            unlink(b.GetString());
            return Fail(e, u"Cannot move file ", what, errKind, err, true);
        }
        e = errno;
        if (e != EEXIST) {
            // Nor second names (a FAT drive): a check, then the rename.
            if (lstat(b.GetString(), &sb) == 0) {
                e = EEXIST;
            } else if (rename(a.GetString(), b.GetString()) == 0) {
                return true;
            } else {
                e = errno;
            }
        }
    }
    if (e == EEXIST) {
        // The same file under another letter case: a plain rename.
        if (lstat(a.GetString(), &sa) == 0 && lstat(b.GetString(), &sb) == 0 && sa.st_dev == sb.st_dev &&
            sa.st_ino == sb.st_ino) {
            if (rename(a.GetString(), b.GetString()) == 0) return true;
            return Fail(errno, u"Cannot move file ", what, errKind, err, true);
        }
        errKind = FSE_GENERAL;
        err += u"Cannot move file " + what + u": the destination exists";
        return false;
    }
    if (e == EXDEV) {
        if (lstat(b.GetString(), &sb) == 0) {
            errKind = FSE_GENERAL;
            err += u"Cannot move file " + what + u": the destination exists";
            return false;
        }
        return ZorMoveFile(ZorWidePath(a), ZorWidePath(b), errKind, err);
    }
    return Fail(e, u"Cannot move file ", what, errKind, err, true);
}

bool WinFileSys::LinkFile(const CWideString& from, const CWideString& to, bool& bExists, int& errKind,
                          CWideString& err) {
    bExists = false;
    CNarrowString a, b;
    if (!NativePath(from, a, errKind, err) || !NativePath(to, b, errKind, err)) return false;
    if (linkat(AT_FDCWD, a.GetString(), AT_FDCWD, b.GetString(), 0) == 0) return true;
    const int e = errno;
    if (e == EEXIST) bExists = true;
    return Fail(e, u"Cannot link file ", DisplayPath(from) + u" as " + DisplayPath(to), errKind, err, true);
}

bool WinFileSys::MoveFileFromLocal(const CWideString& localFile, const CWideString& path, int& errKind,
                                   CWideString& err) {
    CNarrowString b;
    if (!NativePath(path, b, errKind, err)) return false;
    return ZorMoveFile(localFile, ZorWidePath(b), errKind, err);
}

bool WinFileSys::CopyLocalFile(const CNarrowString& from, const CNarrowString& to, int64_t* pSize,
                               int64_t* pSrcTime, int& errKind, CWideString& err) {
    CWideString wFrom = ZorWidePath(from), wTo = ZorWidePath(to);
    // Not blocking: a named pipe would wait for a writer forever.
    int in = ::open(from.GetString(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return Fail(errno, u"Cannot open file to read: ", wFrom, errKind, err, true);
    struct stat st;
    if (fstat(in, &st) != 0) {
        int e = errno;
        ::close(in);
        return Fail(e, u"Cannot copy file ", wFrom, errKind, err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(in);
        if (S_ISDIR(st.st_mode)) return Fail(EISDIR, u"Cannot copy file ", wFrom, errKind, err);
        errKind = FSE_GENERAL;
        err += u"Cannot copy file " + wFrom + u": not a regular file";
        return false;
    }
    // A new temporary file beside the target; renamed over it when complete.
    CWideString folder = GetUrlPathFolder(wTo);
    if (folder.IsEmpty()) folder = u"/";
    CWideString tmp;
    if (!ZorGetTempFileName(folder, nullptr, tmp, errKind, err)) {
        ::close(in);
        return false;
    }
    CNarrowString nTmp = ZorNativePath(tmp);
    int out = ::open(nTmp.GetString(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = out >= 0;
    if (!ok) Fail(errno, u"Cannot open file to write: ", tmp, errKind, err);
    else fchmod(out, (st.st_mode & 0777) | S_IWUSR); // no wider than the copy will be, before any byte
    std::unique_ptr<char[]> buf(ok ? new char[kCopyChunk] : nullptr);
    int64_t done = 0;
    ICopyProgress* prog = m_pProgress;
    int64_t savedTotal = prog ? prog->m_nTotal : -1;
    if (prog) prog->m_nTotal = st.st_size;
    while (ok) {
        ssize_t n = ::read(in, buf.get(), kCopyChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = Fail(errno, u"reading file ", wFrom, errKind, err);
            break;
        }
        if (n == 0) break;
        for (ssize_t w = 0; w < n && ok;) {
            ssize_t k = ::write(out, buf.get() + w, n - w);
            if (k < 0) {
                if (errno == EINTR) continue;
                ok = Fail(errno, u"writing file ", wTo, errKind, err);
            } else {
                w += k;
            }
        }
        done += n;
        if (ok && ICopyProgress::Stopped(prog)) {
            SetStoppedByUser(errKind, err);
            ok = false;
        }
        if (ok && !ICopyProgress::Report(prog, true, done, errKind, err)) ok = false;
    }
    if (prog) prog->m_nTotal = savedTotal;
    if (ok && fsync(out) != 0) ok = Fail(errno, u"Cannot flush file ", wTo, errKind, err);
    if (ok) {
        fchmod(out, st.st_mode & 07777);
        struct timespec ts[2] = {st.st_atim, st.st_mtim};
        futimens(out, ts);
    }
    if (out >= 0 && ::close(out) != 0 && ok) ok = Fail(errno, u"Cannot close file: ", wTo, errKind, err);
    ::close(in);
    if (ok && rename(nTmp.GetString(), to.GetString()) != 0)
        ok = Fail(errno, u"Cannot rename temporary file to ", wTo, errKind, err);
    if (!ok) {
        unlink(nTmp.GetString());
        return false;
    }
    if (pSize) *pSize = done;
    if (pSrcTime) *pSrcTime = st.st_mtim.tv_sec;
    return true;
}

bool WinFileSys::CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CNarrowString a, b;
    if (!NativePath(from, a, errKind, err) || !NativePath(to, b, errKind, err)) return false;
    int64_t size = 0, t = 0;
    if (!CopyLocalFile(a, b, &size, &t, errKind, err)) return false;
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = size;
    m_LastRead.m_nFileTime = t;
    return true;
}

bool WinFileSys::CopyFolderFromLocal(const CWideString& srcDisplayPath, const CWideString& path,
                                     uint32_t attrs, int& errKind, CWideString& err) {
    if (!MakeFolder(path, errKind, err)) return false;
    if (m_bFolderExisted) return true;
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    struct stat st;
    CNarrowString src = ZorNativePath(
        srcDisplayPath.StartsWithNoCase(u"file:") ? UrlToLocalPath(srcDisplayPath) : srcDisplayPath);
    if (!src.IsEmpty() && ::stat(src.GetString(), &st) == 0 && S_ISDIR(st.st_mode))
        chmod(native.GetString(), st.st_mode & 07777);
    uint32_t extra =
        attrs == FSA_UNKNOWN ? 0 : (attrs & (FSA_READONLY | FSA_HIDDEN | FSA_SYSTEM | FSA_ARCHIVE));
    if (extra && !ZorSetFileAttributes(ZorWidePath(native), attrs & ~FSA_LINK, errKind, err)) return false;
    return true;
}

bool WinFileSys::DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize,
                              int& errKind, CWideString& err) {
    nSize = 0;
    m_LastRead = TvLastReadFile();
    m_sLockedFilePath.Empty();
    m_bUsedLockedCopy = 0;
    CNarrowString a;
    if (!NativePath(path, a, errKind, err)) return false;
    int64_t t = 0;
    if (!CopyLocalFile(a, ZorNativePath(localFile), &nSize, &t, errKind, err)) return false;
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = nSize;
    m_LastRead.m_nFileTime = t;
    return true;
}

bool WinFileSys::UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                            CWideString& err) {
    CNarrowString b;
    if (!NativePath(path, b, errKind, err)) return false;
    return CopyLocalFile(ZorNativePath(localFile), b, nullptr, nullptr, errKind, err);
}

bool WinFileSys::ApplyFileOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                                  CWideString& err) {
    // Decrypt and uncompress have nothing to undo here; encrypt and compress
    // were refused at connect.
    if (!m_ConnectInfo.m_bCopyACL || !pSource || !pSource->GetCapability(TVFS_CAP_LOCAL)) return true;
    CWideString sd;
    if (!pSource->GetSecurityDescr(path, sd, errKind, err)) return false;
    if (sd.IsEmpty()) return true;
    if (!SetSecurityDescr(path, sd, errKind, err)) return false;
    log += u", ACL copied";
    return true;
}

bool WinFileSys::ApplyFolderOptions(const CWideString&, TvFileSys*, CWideString&, int&, CWideString&) {
    return true; // folder ACLs are copied by the folder pass
}

// ============================================================ checksums, security, EFS
bool WinFileSys::GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLength, int& errKind,
                            CWideString& err) {
    crc = Md5Crc();
    nLength = 0;
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    // Not blocking: a named pipe would wait for a writer forever.
    int fd = ::open(native.GetString(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail(errno, u"Cannot open file to read: ", DisplayPath(path), errKind, err, true);
    struct stat st;
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        errKind = FSE_GENERAL;
        err += u"Cannot compute the checksum of " + DisplayPath(path) + u": not a regular file";
        return false;
    }
    Md5Ctx md5;
    bool ok = md5.Init();
    if (!ok) {
        errKind = FSE_GENERAL;
        err += u"MD5 is not available";
    }
    std::unique_ptr<char[]> buf(new char[kCopyChunk]);
    while (ok) {
        ssize_t n = ::read(fd, buf.get(), kCopyChunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = Fail(errno, u"reading file ", DisplayPath(path), errKind, err);
            break;
        }
        if (n == 0) break;
        nLength += n;
        ok = Md5Update(md5.ctx, buf.get(), (size_t)n);
        if (ok && ICopyProgress::Stopped(m_pProgress)) {
            SetStoppedByUser(errKind, err);
            ok = false;
        }
    }
    ::close(fd);
    if (ok && !md5.Final(crc)) {
        errKind = FSE_GENERAL;
        err += u"MD5 computation failed for " + DisplayPath(path);
        ok = false;
    }
    return ok;
}

bool WinFileSys::GetSecurityDescr(const CWideString& path, CWideString& sd, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    return ZorGetSecurityDescr(ZorWidePath(native), sd, errKind, err);
}

bool WinFileSys::SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind,
                                  CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    return ZorSetSecurityDescr(ZorWidePath(native), sd, errKind, err);
}

bool WinFileSys::EncryptFile(const CWideString& path, int& errKind, CWideString& err) {
    errKind = FSE_GENERAL;
    err +=
        u"Cannot encrypt " + DisplayPath(path) + u": file encryption (EFS) is not available on this platform";
    return false;
}

bool WinFileSys::DecryptFile(const CWideString&, int&, CWideString&) {
    return true;
}

bool WinFileSys::SetCompression(const CWideString& path, bool bCompress, int& errKind, CWideString& err) {
    if (!bCompress) return true;
    errKind = FSE_GENERAL;
    err += u"Cannot compress " + DisplayPath(path) + u": file compression is not available on this platform";
    return false;
}

// ============================================================ descriptor I/O
bool WinFileSys::CheckDix(int dix, bool bMustBeOpen, int& errKind, CWideString& err) const {
    if (dix < 0 || dix >= kMaxOpenFiles) {
        errKind = FSE_GENERAL;
        err.AppendFormat(u"bad file descriptor index %d", dix);
        return false;
    }
    if (bMustBeOpen && m_fds[dix] < 0) {
        errKind = FSE_GENERAL;
        err.AppendFormat(u"file descriptor index %d is not open", dix);
        return false;
    }
    if (!bMustBeOpen && m_fds[dix] >= 0) {
        errKind = FSE_GENERAL;
        err.AppendFormat(u"file descriptor index %d is already open", dix);
        return false;
    }
    return true;
}

bool WinFileSys::OpenFile(int dix, const CWideString& path, uint32_t mode, int& errKind, CWideString& err) {
    if (!CheckDix(dix, false, errKind, err)) return false;
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    int flags = O_CLOEXEC;
    switch (mode) {
        case TVFS_OPEN_READ:
            flags |= O_RDONLY;
            break;
        case TVFS_OPEN_WRITE:
            flags |= O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case TVFS_OPEN_READ_WRITE:
            flags |= O_RDWR | O_CREAT;
            break;
        default:
            errKind = FSE_GENERAL;
            err.AppendFormat(u"bad open mode %u for %s", mode, DisplayPath(path));
            return false;
    }
    int fd = ::open(native.GetString(), flags, 0666);
    if (fd < 0) return Fail(errno, u"Cannot open file ", DisplayPath(path), errKind, err, true);
    m_fds[dix] = fd;
    return true;
}

bool WinFileSys::OpenLockedFile(int dix, const CWideString& path, int& errKind, CWideString& err) {
    // No mandatory locks here: a locked file opens like any other.
    m_sLockedFilePath.Empty();
    m_bUsedLockedCopy = 0;
    return OpenFile(dix, path, TVFS_OPEN_READ, errKind, err);
}

bool WinFileSys::CloseFile(int dix, int& errKind, CWideString& err) {
    if (!CheckDix(dix, true, errKind, err)) return false;
    int fd = m_fds[dix];
    m_fds[dix] = -1;
    // What was written reaches the disk before the caller renames the file
    // into place; a failed flush is a failed write.
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0 && (fl & O_ACCMODE) != O_RDONLY && fsync(fd) != 0) {
        const int e = errno;
        ::close(fd);
        int kind = FSE_GENERAL;
        err += u"Cannot flush file: " + MakeErrorMessage(e, kind);
        errKind = kind;
        return false;
    }
    if (::close(fd) != 0) {
        int kind = FSE_GENERAL;
        err += u"Cannot close file: " + MakeErrorMessage(errno, kind);
        errKind = kind;
        return false;
    }
    return true;
}

bool WinFileSys::GetFilePosn(int dix, int64_t& pos, int& errKind, CWideString& err) {
    if (!CheckDix(dix, true, errKind, err)) return false;
    off_t p = lseek(m_fds[dix], 0, SEEK_CUR);
    if (p < 0) return Fail(errno, u"Cannot get file position", CWideString(), errKind, err);
    pos = p;
    return true;
}

bool WinFileSys::SetFilePosn(int dix, int64_t pos, int& errKind, CWideString& err) {
    if (!CheckDix(dix, true, errKind, err)) return false;
    if (lseek(m_fds[dix], (off_t)pos, SEEK_SET) < 0)
        return Fail(errno, u"Cannot set file position", CWideString(), errKind, err);
    return true;
}

bool WinFileSys::SetFileLength(int dix, int64_t length, int& errKind, CWideString& err) {
    if (!CheckDix(dix, true, errKind, err)) return false;
    if (ftruncate(m_fds[dix], (off_t)length) != 0)
        return Fail(errno, u"Cannot set file length", CWideString(), errKind, err);
    return true;
}

bool WinFileSys::ReadBuf(int dix, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err) {
    nRead = 0;
    if (!CheckDix(dix, true, errKind, err)) return false;
    while (nRead < len) {
        ssize_t n = ::read(m_fds[dix], (char*)buf + nRead, len - nRead);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno, u"Cannot read file", CWideString(), errKind, err);
        }
        if (n == 0) break;
        nRead += (uint32_t)n;
    }
    return true;
}

bool WinFileSys::ReadBufPosn(int dix, void* buf, uint32_t len, int64_t pos, uint32_t& nRead, int& errKind,
                             CWideString& err) {
    return SetFilePosn(dix, pos, errKind, err) && ReadBuf(dix, buf, len, nRead, errKind, err);
}

bool WinFileSys::ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                            CWideString& err) {
    // The block is read in pieces of bounded size: a peer may ask for any
    // length, which must not become an allocation of that size.
    constexpr uint32_t kPiece = 256 * 1024;
    std::unique_ptr<char[]> buf(new char[std::min(std::max(len, 1u), kPiece)]);
    Md5Ctx md5;
    Md5Crc v;
    if (!md5.Init()) {
        errKind = FSE_GENERAL;
        err += u"MD5 computation failed";
        return false;
    }
    nRead = 0;
    while (nRead < len) {
        uint32_t nGot = 0;
        if (!ReadBuf(dix, buf.get(), std::min(len - nRead, kPiece), nGot, errKind, err)) return false;
        if (nGot == 0) break;
        if (!Md5Update(md5.ctx, buf.get(), nGot)) {
            errKind = FSE_GENERAL;
            err += u"MD5 computation failed";
            return false;
        }
        nRead += nGot;
    }
    if (!md5.Final(v)) {
        errKind = FSE_GENERAL;
        err += u"MD5 computation failed";
        return false;
    }
    crc = v.ToText();
    return true;
}

bool WinFileSys::ReadBufCrcPosn(int dix, uint32_t len, int64_t pos, uint32_t& nRead, CNarrowString& crc,
                                int& errKind, CWideString& err) {
    return SetFilePosn(dix, pos, errKind, err) && ReadBufCrc(dix, len, nRead, crc, errKind, err);
}

bool WinFileSys::WriteBuf(int dix, const void* buf, uint32_t len, int& errKind, CWideString& err) {
    if (!CheckDix(dix, true, errKind, err)) return false;
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = ::write(m_fds[dix], (const char*)buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno, u"Cannot write file", CWideString(), errKind, err);
        }
        done += (uint32_t)n;
    }
    return true;
}

bool WinFileSys::WriteBufPosn(int dix, const void* buf, uint32_t len, int64_t pos, int& errKind,
                              CWideString& err) {
    return SetFilePosn(dix, pos, errKind, err) && WriteBuf(dix, buf, len, errKind, err);
}
