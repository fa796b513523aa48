// The local file system: how a path below the root becomes the name the
// system calls take. With links in paths not followed, the folders between
// the root and the last name are opened without links (openat2 beneath the
// root, or one name at a time) and the descriptors kept in a small cache.
#include "WinFileSys.h"
#include "WinFileSysUtil.h"

#include "zor-unicode.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>

using winfs::Fail;

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
    if (m_sRootDir.IsEmpty()) return true;
    FolderCache& cache = *m_pFolders;
    std::lock_guard<std::mutex> lock(cache.mutex);
    // The root's native form, made again only when the root changed.
    if (cache.sRootWide != m_sRootDir) {
        cache.sRootWide = m_sRootDir;
        cache.sRoot = WideToUtf8(m_sRootDir);
        while (cache.sRoot.GetLength() > 1 && cache.sRoot[cache.sRoot.GetLength() - 1] == '/')
            cache.sRoot = cache.sRoot.Left(cache.sRoot.GetLength() - 1);
    }
    const CNarrowString& root = cache.sRoot;
    const bool bRoot = native == root;
    if (!bRoot && (native.GetLength() <= root.GetLength() + 1 ||
                   memcmp(native.GetString(), root.GetString(), (size_t)root.GetLength()) != 0 ||
                   native[root.GetLength()] != '/'))
        return true; // not below the root
    // The root itself is named by its path (which may be a link the user
    // chose), once its identity is confirmed. It is opened for the items
    // below it only: an open descriptor keeps a removed folder in being,
    // and the change monitor of the root waits for its removal. Items below
    // it are reached from its descriptor, which a swapped root cannot
    // redirect: its identity is confirmed once per folder they are in (see
    // ConfirmRoot for the rest).
    const CNarrowString rel = bRoot ? CNarrowString() : native.Mid(root.GetLength() + 1);
    const int slash = rel.ReverseFind('/');
    const char* const pFolder = rel.GetString();
    const size_t nFolder = slash < 0 ? 0 : (size_t)slash;
    const bool bConfirm = bRoot || !cache.WasConfirmed(pFolder, nFolder);
    const int rootFd = RootFolder(cache, root, !bRoot, bConfirm, errKind, err);
    if (rootFd == kRootReplaced) return false;
    if (bRoot || rootFd < 0) return true; // a missing root: the operation reports it
    if (bConfirm) cache.NoteConfirmed(pFolder, nFolder);
    // A job's data folder is never reached through a link, whatever the
    // link mode: what it holds is the job's own bookkeeping.
    const bool bInDataFolder = rel.Find("_tvdata_/") == 0 || rel.Find("/_tvdata_/") >= 0;
    if ((m_bFollowLinksInPaths && !bInDataFolder) || slash < 0) {
        dirFd = rootFd;
        native = rel;
        return true;
    }
    // The folders between the root and the last name: opened without links.
    const CNarrowString folder = rel.Left(slash), leaf = rel.Mid(slash + 1);
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
        fd = OpenBeneathNoLinks(rootFd, folder.GetString());
        const int e = errno;
        if (fd < 0) {
            if (e == ELOOP || e == EXDEV || (e == ENOTDIR && IsLinkOnTheWay(root, folder))) {
                errKind = FSE_GENERAL;
                err += u"a folder in the path is a link, not followed: " + DisplayPath(path);
                return false;
            }
            return true; // missing folders: the operation reports them
        }
        // A data folder swapped for another user's folder during the run
        // (in a side others can write) takes nothing of the job's.
        struct stat st;
        if (bInDataFolder && (fstat(fd, &st) != 0 || st.st_uid != geteuid())) {
            close(fd);
            errKind = FSE_GENERAL;
            err += u"a folder in the path is not the running user's own: " + DisplayPath(path);
            return false;
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

int WinFileSys::RootFolder(FolderCache& cache, const CNarrowString& root, bool bOpen, bool bConfirm,
                           int& errKind, CWideString& err) const {
    struct stat st;
    if (!cache.bRootReplaced.load()) {
        if (cache.nRootFd < 0) {
            if (!bOpen) return -1;
            // Opened on first use: the connect may have made the root first.
            const int fd = open(root.GetString(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) return -1;
            if (fstat(fd, &st) != 0) {
                close(fd);
                return -1;
            }
            cache.nRootFd = fd;
            cache.nRootDev = (uint64_t)st.st_dev;
            cache.nRootIno = (uint64_t)st.st_ino;
            return fd;
        }
        if (!bConfirm) return cache.nRootFd;
        if (stat(root.GetString(), &st) == 0 && (uint64_t)st.st_dev == cache.nRootDev &&
            (uint64_t)st.st_ino == cache.nRootIno)
            return cache.nRootFd;
        cache.bRootReplaced.store(true);
    }
    errKind = FSE_GENERAL;
    err += u"the root folder was moved or replaced while in use, nothing more is done in it: " +
           Utf8ToWide(root.GetString(), root.GetLength());
    return kRootReplaced;
}

bool WinFileSys::ShareRootFolder(const TvFileSys& other, int& errKind, CWideString& err) {
    const WinFileSys* pOther = dynamic_cast<const WinFileSys*>(&other);
    if (!pOther || pOther == this || !pOther->m_pFolders || m_sRootDir.IsEmpty() ||
        pOther->m_sRootDir != m_sRootDir)
        return true;
    CNarrowString root = WideToUtf8(m_sRootDir);
    while (root.GetLength() > 1 && root[root.GetLength() - 1] == '/') root = root.Left(root.GetLength() - 1);
    int fd = -1;
    uint64_t nDev = 0, nIno = 0;
    {
        FolderCache& theirs = *pOther->m_pFolders;
        std::lock_guard<std::mutex> lock(theirs.mutex);
        const int theirFd = pOther->RootFolder(theirs, root, true, true, errKind, err);
        if (theirFd == kRootReplaced) {
            m_pFolders->bRootReplaced.store(true);
            return false;
        }
        if (theirFd < 0) return true; // a missing root: each opens it when it is there
        fd = fcntl(theirFd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return Fail(errno, u"Cannot open the root folder ", DisplayPath(u""), errKind, err);
        nDev = theirs.nRootDev;
        nIno = theirs.nRootIno;
    }
    FolderCache& mine = *m_pFolders;
    std::lock_guard<std::mutex> lock(mine.mutex);
    if (mine.nRootFd >= 0) t_heldDirFds.Hold(mine.nRootFd);
    mine.nRootFd = fd;
    mine.nRootDev = nDev;
    mine.nRootIno = nIno;
    mine.bRootReplaced.store(false);
    return true;
}

bool WinFileSys::ConfirmRoot(int& errKind, CWideString& err) {
    if (m_sRootDir.IsEmpty() || !m_pFolders) return true;
    CNarrowString root = WideToUtf8(m_sRootDir);
    while (root.GetLength() > 1 && root[root.GetLength() - 1] == '/') root = root.Left(root.GetLength() - 1);
    FolderCache& cache = *m_pFolders;
    std::lock_guard<std::mutex> lock(cache.mutex);
    return RootFolder(cache, root, false, true, errKind, err) != kRootReplaced;
}

bool WinFileSys::IsConnected() const {
    return m_bConnected && !(m_pFolders && m_pFolders->bRootReplaced.load());
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

void WinFileSys::FolderCache::ForgetRoot(bool bHeld) {
    std::lock_guard<std::mutex> lock(mutex);
    if (nRootFd >= 0) {
        if (bHeld)
            t_heldDirFds.Hold(nRootFd);
        else
            close(nRootFd);
    }
    nRootFd = -1;
    nRootDev = nRootIno = 0;
    bRootReplaced.store(false);
    nConfirmed = 0;
}

bool WinFileSys::FolderCache::WasConfirmed(const char* folder, size_t n) {
    for (int i = 0; i < nConfirmed; ++i) {
        if (aConfirmed[i].size() != n || memcmp(aConfirmed[i].data(), folder, n) != 0) continue;
        std::rotate(aConfirmed, aConfirmed + i, aConfirmed + i + 1);
        return true;
    }
    return false;
}

void WinFileSys::FolderCache::NoteConfirmed(const char* folder, size_t n) {
    if (nConfirmed < kSlots) ++nConfirmed;
    std::move_backward(aConfirmed, aConfirmed + nConfirmed - 1, aConfirmed + nConfirmed);
    aConfirmed[0].assign(folder, n);
}

void WinFileSys::ForgetRoot() const {
    if (m_pFolders) m_pFolders->ForgetRoot(true);
}

void WinFileSys::ForgetFolders() const {
    if (m_pFolders) m_pFolders->Clear(true);
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
