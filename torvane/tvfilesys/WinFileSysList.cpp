// The local file system: folder listings (the metadata of large folders read
// by helper threads alongside the listing thread), item information and the
// stored attribute bits.
#include "WinFileSys.h"
#include "WinFileSysUtil.h"

#include "zor-error.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"


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

using winfs::EscapeRawName;
using winfs::Fail;

namespace {

uint32_t ClampTime(int64_t t) {
    if (t < 0) return 0;
    if (t > (int64_t)UINT32_MAX) return UINT32_MAX;
    return (uint32_t)t;
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
    info.m_nModTimeNs = st.stx_mtime.tv_nsec;
    info.m_nStamp = S_ISREG(st.stx_mode) && (st.stx_mask & STATX_INO) ? MakeFileStamp(st.stx_ino, st.stx_mtime.tv_nsec) : 0;
    if (st.stx_mask & STATX_CTIME) info.m_nChangeNs = st.stx_ctime.tv_sec * 1'000'000'000LL + st.stx_ctime.tv_nsec;
    if ((st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec != 0)
        info.m_nCreateTime = ClampTime(st.stx_btime.tv_sec);
    else
        info.m_nCreateTime = info.m_nModTime;
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

const unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME | STATX_INO;

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
    uint32_t nCtimeNs;
    uint32_t nMtimeNs;
    uint32_t nStamp; // regular files: MakeFileStamp
    uint64_t nIno;   // regular files: the inode number (0: not known)
    uint64_t nDev;   // the device the entry lies on
    uint32_t nBtimeNs;
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
    m.nMtimeNs = st.stx_mtime.tv_nsec;
    if (S_ISREG(st.stx_mode) && (st.stx_mask & STATX_INO)) m.nStamp = MakeFileStamp(st.stx_ino, st.stx_mtime.tv_nsec);
    m.nBtime = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : 0;
    m.nBtimeNs = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_nsec : 0;
    if (S_ISREG(st.stx_mode) && (st.stx_mask & STATX_INO)) m.nIno = st.stx_ino;
    m.nDev = makedev(st.stx_dev_major, st.stx_dev_minor);
    m.nCtime = (st.stx_mask & STATX_CTIME) ? st.stx_ctime.tv_sec : 0;
    m.nCtimeNs = (st.stx_mask & STATX_CTIME) ? st.stx_ctime.tv_nsec : 0;
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

} // namespace

// ============================================================ listing and information
bool WinFileSys::StatItem(int dirFd, const char* nameOrPath, bool bFollow, FsItemInfo& info, bool& bNotFound,
                          int& errKind, CWideString& err, const CWideString& display) const {
    bNotFound = false;
    struct statx st;
    if (statx(dirFd, nameOrPath, bFollow ? 0 : AT_SYMLINK_NOFOLLOW, kStatxMask | STATX_CTIME, &st) != 0) {
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
    struct statfs sf;
    // (The identity device's file system is known once: one device number
    // is one file system.)
    int nKeepsIds = -1;
    if (S_ISREG(st.stx_mode) && (st.stx_mask & STATX_INO) &&
        makedev(st.stx_dev_major, st.stx_dev_minor) == IdentityDevice() &&
        ((nKeepsIds = m_nIdentKeepsIds.load(std::memory_order_relaxed)) >= 0
             ? nKeepsIds == 1
             : (dirFd == AT_FDCWD || nameOrPath[0] == '/' ? statfs(nameOrPath, &sf) : fstatfs(dirFd, &sf)) == 0 &&
                   FileSystemKeepsFileIds((unsigned long)sf.f_type))) {
        const bool bBirth = (st.stx_mask & STATX_BTIME) && (st.stx_btime.tv_sec != 0 || st.stx_btime.tv_nsec != 0);
        info.m_nIdent = MakeFileIdentity(st.stx_ino, bBirth ? st.stx_btime.tv_sec : 0,
                                         bBirth ? st.stx_btime.tv_nsec : 0, bBirth);
        info.m_nCreateTimeNs = bBirth ? st.stx_btime.tv_nsec : 0;
        if (info.m_nChangeNs > 0)
            info.m_nChangeMark =
                MakeChangeMark(makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino, info.m_nChangeNs);
    }
    return true;
}

bool WinFileSys::ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) {
    CNarrowString native;
    if (!NativePath(path, native, errKind, err)) return false;
    // Through another user's folder link only where that user could list.
    int dfd = OpenToRead(path, true, errKind, err);
    if (dfd < 0) return false;
    // The folder's path, for an extended attribute that cannot be read
    // relative to dfd.
    std::string base(native.GetString(), native.GetLength());
    if (base.empty() || base.back() != '/') base += '/';
    std::atomic<bool> bNoXattr{false};
    // Only files on the root's own device carry an identity: another mount
    // inside the side (a clone of a disk image, a snapshot) may hold a file
    // of the same inode number and birth time. That device's file system is
    // known once; else the folder's is asked (the entries are on it: a mount
    // point is a folder).
    const uint64_t nRootDev = IdentityDevice();
    const int nKnownKeepsIds = m_nIdentKeepsIds.load(std::memory_order_relaxed);
    struct statfs sf;
    const bool bKeepsIds = nKnownKeepsIds >= 0
                               ? nKnownKeepsIds == 1
                               : fstatfs(dfd, &sf) == 0 && FileSystemKeepsFileIds((unsigned long)sf.f_type);
    const uint64_t nIdentDev = bKeepsIds ? nRootDev : 0;
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
            info.m_nModTimeNs = m.nMtimeNs;
            info.m_nStamp = m.nStamp;
            if (m.nCtime > 0) info.m_nChangeNs = m.nCtime * 1'000'000'000LL + m.nCtimeNs;
            info.m_nCreateTime = m.nBtime != 0 ? ClampTime(m.nBtime) : info.m_nModTime;
            if (bKeepsIds && m.nIno && m.nDev == nIdentDev) {
                const bool bBirth = m.nBtime != 0 || m.nBtimeNs != 0;
                info.m_nIdent = MakeFileIdentity(m.nIno, m.nBtime, m.nBtimeNs, bBirth);
                info.m_nCreateTimeNs = m.nBtimeNs;
                if (info.m_nChangeNs > 0) info.m_nChangeMark = MakeChangeMark(m.nDev, m.nIno, info.m_nChangeNs);
            }
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

uint64_t WinFileSys::IdentityDevice() const {
    uint64_t d = m_nIdentDev.load(std::memory_order_relaxed);
    if (d != 0) return d;
    CNarrowString root;
    int k = 0;
    CWideString e;
    struct stat st;
    if (!NativePath(CWideString(), root, k, e) || ::stat(root.GetString(), &st) != 0) return kNoIdentDev;
    // A device number 0 is never a block device's; it stands for "not known".
    d = st.st_dev != 0 ? (uint64_t)st.st_dev : kNoIdentDev;
    struct statfs sf;
    m_nIdentKeepsIds.store(statfs(root.GetString(), &sf) == 0 && ::stat(root.GetString(), &st) == 0 &&
                                   (uint64_t)st.st_dev == d
                               ? (FileSystemKeepsFileIds((unsigned long)sf.f_type) ? 1 : 0)
                               : -1,
                           std::memory_order_relaxed);
    m_nIdentDev.store(d, std::memory_order_relaxed);
    return d;
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
    if (statx(AT_FDCWD, root.GetString(), 0, STATX_MNT_ID_UNIQUE, &st) != 0 ||
        !(st.stx_mask & STATX_MNT_ID_UNIQUE))
        return false;
    m_nStoredCutoffMnt.store(st.stx_mnt_id, std::memory_order_relaxed);
    m_nStoredCutoff.store(nBefore, std::memory_order_release);
    return true;
}

int64_t WinFileSys::FileSystemNow() const {
    return (int64_t)time(nullptr);
}

int64_t WinFileSys::ProbeClockNs(const CWideString& folder, uint32_t& nStepNs) {
    nStepNs = 0;
    CNarrowString native;
    int k = 0;
    CWideString e;
    // A file system of a disk of this machine stamps its files with this
    // machine's clock: nothing needs writing to read it. Only its step may
    // differ (FAT keeps two seconds; whole seconds are taken as unknown,
    // and a time without nanoseconds then as coarse as two seconds).
    struct statfs local;
    bool bLocalClock = false;
    if (!folder.IsEmpty() && NativePath(folder, native, k, e) && statfs(native.GetString(), &local) == 0) {
        if ((uint32_t)local.f_type == 0x4d44u) nStepNs = 2'000'000'000u; // FAT
        bLocalClock = nStepNs != 0 || FileSystemKeepsFileIds((unsigned long)local.f_type) ||
                      (uint32_t)local.f_type == 0x794c7630u; // overlay
    }
    if (!folder.IsEmpty() && !bLocalClock && !native.IsEmpty()) {
        // A name that the clean-up of a data folder takes for a leftover of
        // an atomic write, should the process die before the unlink.
        static std::atomic<uint32_t> s_nProbe{0};
        const uint32_t n = (uint32_t)getpid() * 2654435761u + s_nProbe.fetch_add(1) * 40503u;
        static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        char name[16] = "tvtm";
        for (int i = 0; i < 6; ++i) name[4 + i] = kDigits[(n >> (5 * i)) % 36];
        memcpy(name + 10, ".tmp", 5);
        const std::string path = std::string(native.GetString()) + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            struct stat st;
            struct statfs sfs;
            const bool bStat = fstat(fd, &st) == 0;
            const bool bFat = fstatfs(fd, &sfs) == 0 && sfs.f_type == 0x4d44; // MSDOS_SUPER_MAGIC
            close(fd);
            unlink(path.c_str());
            if (bStat && st.st_mtim.tv_sec > 0) {
                nStepNs = bFat ? 2'000'000'000u : st.st_mtim.tv_nsec == 0 ? 1'000'000'000u : 1u;
                return (int64_t)st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec;
            }
        }
    }
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
    return (int64_t)ts.tv_sec * 1'000'000'000 + ts.tv_nsec;
}

int64_t WinFileSys::FileSystemNowMs() const {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1'000'000;
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
