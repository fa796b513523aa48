// The local file system over POSIX calls.
#include "WinFileSys.h"
#include "WinFileSysUtil.h"

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
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A message that names a native path of the form "/proc/self/fd/N/name"
// (a folder reached through its descriptor) names the folder instead, as
// the descriptor finds it now.
CWideString WithFolderNames(const CWideString& text) {
    static const char16_t kPrefix[] = u"/proc/self/fd/";
    const int nPrefix = (int)(sizeof kPrefix / sizeof kPrefix[0]) - 1;
    CWideString out;
    int from = 0;
    for (int at = text.Find(kPrefix); at >= 0; at = text.Find(kPrefix, at + 1)) {
        int end = at + nPrefix;
        while (end < text.GetLength() && text[end] >= u'0' && text[end] <= u'9') ++end;
        if (end == at + nPrefix || end - at - nPrefix > 9) continue;
        char folder[PATH_MAX];
        const ssize_t n = readlink(WideToUtf8(text.Mid(at, end - at)).GetString(), folder, sizeof folder - 1);
        if (n <= 0 || folder[0] != '/') continue;
        folder[n] = 0;
        out += text.Mid(from, at - from);
        // The root folder's name ends in '/' already: the name after it keeps one.
        if (n > 1 || end >= text.GetLength() || text[end] != u'/') out += Utf8ToWide(folder);
        from = end;
    }
    return out + text.Mid(from);
}

// Makes the error text added from here on name folders, not descriptors,
// when the operation fails (Succeeded not called).
class CFolderNamesInError {
public:
    explicit CFolderNamesInError(CWideString& err) : m_err(err), m_nFrom(err.GetLength()) {}
    ~CFolderNamesInError() {
        if (!m_bOk && m_err.GetLength() > m_nFrom)
            m_err = m_err.Left(m_nFrom) + WithFolderNames(m_err.Mid(m_nFrom));
    }
    bool Succeeded() {
        m_bOk = true;
        return true;
    }

private:
    CWideString& m_err;
    int m_nFrom;
    bool m_bOk = false;
};

constexpr size_t kCopyChunk = 1024 * 1024;

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

namespace winfs {

bool Fail(int e, const char16_t* what, const CWideString& display, int& errKind, CWideString& err,
          bool bNotFoundKind) {
    int kind = FSE_GENERAL;
    CWideString text = MakeErrorMessage(e, kind, bNotFoundKind);
    errKind = kind;
    err += what;
    err += display;
    err += u": ";
    err += text;
    return false;
}

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

} // namespace winfs

using winfs::EscapeRawName;
using winfs::Fail;

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
    m_nIdentKeepsIds.store(-1, std::memory_order_relaxed);
    m_nIdentDev.store(0, std::memory_order_relaxed);
    ForgetFolders();
    ForgetRoot();
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
    ForgetRoot();
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
    m_nIdentKeepsIds.store(-1, std::memory_order_relaxed);
    m_nIdentDev.store(0, std::memory_order_relaxed);
    ForgetFolders();
    ForgetRoot();
    return true;
}

CWideString WinFileSys::BasePath(const CWideString& path) const {
    CWideString full;
    int kind = 0;
    CWideString err;
    if (!GetFullPath(path, full, kind, err)) return m_sRootDir + u"/" + path;
    return full.IsEmpty() ? CWideString(u"/") : full;
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
    // Another user's link counts only where that user could read.
    int kind = 0;
    CWideString why;
    bool bRefused = false;
    const int fd = OpenToRead(path, info.IsFolder(), kind, why, &bRefused);
    if (fd >= 0) ::close(fd);
    if (bRefused) {
        info.Clear();
        errKind = kind;
        err += why;
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
    // Both times are given: a user-space file system may take an access
    // time left out (UTIME_OMIT) for a request to stamp both with now.
    struct timespec ts[2];
    clock_gettime(CLOCK_REALTIME, &ts[0]);
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
    // The data folder holds copies on their way and kept versions of files
    // that may be private: only its owner enters it, and the folders made
    // inside it are its owner's too.
    const bool bDataFolder = GetUrlPathFileName(path) == u"_tvdata_" || path.StartsWith(u"/_tvdata_/");
    if (mkdir(native.GetString(), bDataFolder ? 0700 : 0777) == 0) return true;
    int e = errno;
    struct stat st;
    // A link at the name is a folder only where folder links are followed.
    if (e == EEXIST &&
        (m_bFollowLinksInPaths ? ::stat(native.GetString(), &st) : lstat(native.GetString(), &st)) == 0 &&
        S_ISDIR(st.st_mode)) {
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

uint32_t WinFileSys::GetNameCount(const CWideString& path) {
    CNarrowString name;
    int dirFd = AT_FDCWD;
    int k = 0;
    CWideString e;
    struct stat st;
    if (!NativeAt(path, dirFd, name, k, e) ||
        fstatat(dirFd, name.GetString(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_nlink < 1)
        return 1;
    return (uint32_t)st.st_nlink;
}

bool WinFileSys::MoveFileFromLocal(const CWideString& localFile, const CWideString& path, int& errKind,
                                   CWideString& err) {
    CFolderNamesInError names(err);
    CNarrowString b;
    if (!NativePath(path, b, errKind, err)) return false;
    return ZorMoveFile(localFile, ZorWidePath(b), errKind, err) && names.Succeeded();
}

bool WinFileSys::CopyLocalFile(const CNarrowString& from, const CNarrowString& to, int64_t* pSize,
                               int64_t* pSrcTime, uint32_t* pStamp, int& errKind, CWideString& err, int in) {
    CFolderNamesInError names(err);
    CWideString wFrom = ZorWidePath(from), wTo = ZorWidePath(to);
    // Not blocking: a named pipe would wait for a writer forever.
    if (in < 0) in = ::open(from.GetString(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    CWideString tmp, tmpErr;
    // The temporary file is its owner's alone until it is complete; then it
    // takes the source's permissions, before its rename. It is written
    // through the descriptor that made it, never opened again by its name.
    int out = -1;
    if (!ZorCreateTempFile(folder, nullptr, tmp, out, errKind, tmpErr)) {
        err += u"Cannot make a temporary file in " + folder + u": " + tmpErr;
        ::close(in);
        return false;
    }
    CNarrowString nTmp = ZorNativePath(tmp);
    bool ok = true;
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
        bool bCleared = false;
        fchmod(out, ZorModeOfCopy(st.st_mode, st.st_uid, st.st_gid, out, bCleared));
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
    if (pStamp) *pStamp = S_ISREG(st.st_mode) ? MakeFileStamp(st.st_ino, (uint32_t)st.st_mtim.tv_nsec) : 0;
    return names.Succeeded();
}

bool WinFileSys::CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CNarrowString a, b;
    if (!NativePath(from, a, errKind, err) || !NativePath(to, b, errKind, err)) return false;
    int64_t size = 0, t = 0;
    uint32_t stamp = 0;
    m_LastRead = TvLastReadFile();
    const int in = OpenToRead(from, false, errKind, err);
    if (in < 0 || !CopyLocalFile(a, b, &size, &t, &stamp, errKind, err, in)) return false;
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = size;
    m_LastRead.m_nFileTime = t;
    m_LastRead.m_nStamp = stamp;
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
    // The source folder's own mode: a link at its name gives none.
    if (!src.IsEmpty() && lstat(src.GetString(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // Through the new folder itself: a link swapped in at its name is not followed.
        const int fd = ::open(native.GetString(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            bool bCleared = false;
            (void)fchmod(fd, ZorModeOfCopy(st.st_mode, st.st_uid, st.st_gid, fd, bCleared));
            ::close(fd);
        }
    }
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
    uint32_t stamp = 0;
    const int in = OpenToRead(path, false, errKind, err);
    if (in < 0 || !CopyLocalFile(a, ZorNativePath(localFile), &nSize, &t, &stamp, errKind, err, in)) return false;
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = nSize;
    m_LastRead.m_nFileTime = t;
    m_LastRead.m_nStamp = stamp;
    return true;
}

bool WinFileSys::UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                            CWideString& err) {
    CNarrowString b;
    if (!NativePath(path, b, errKind, err)) return false;
    return CopyLocalFile(ZorNativePath(localFile), b, nullptr, nullptr, nullptr, errKind, err);
}

bool WinFileSys::ApplyFileOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                                  CWideString& err, const CWideString& srcPath) {
    // Decrypt and uncompress have nothing to undo here; encrypt and compress
    // were refused at connect.
    if (!m_ConnectInfo.m_bCopyACL || !pSource || !pSource->GetCapability(TVFS_CAP_LOCAL)) return true;
    CWideString sd;
    if (!pSource->GetSecurityDescr(srcPath.IsEmpty() ? path : srcPath, sd, errKind, err)) return false;
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
    // Not blocking: a named pipe would wait for a writer forever.
    int fd = OpenToRead(path, false, errKind, err);
    if (fd < 0) return false;
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
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    // A link at the name is read through where its content is: to a file
    // (as the copy of its content does), to a folder only where folder links
    // are followed.
    struct stat st;
    bool bFollow = false;
    if (fstatat(dirFd, native.GetString(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        bFollow =
            fstatat(dirFd, native.GetString(), &st, 0) == 0 && (S_ISREG(st.st_mode) || m_bFollowLinksInPaths);
    return ZorGetSecurityDescrAt(dirFd, native, bFollow, DisplayPath(path), sd, errKind, err);
}

bool WinFileSys::SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind,
                                  CWideString& err) {
    // Owner, ACLs and mode go to the item itself, reached from its checked
    // folder and never through a link at its name.
    CNarrowString native;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    return ZorSetSecurityDescrAt(dirFd, native, DisplayPath(path), sd, errKind, err);
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
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, native, errKind, err)) return false;
    int flags = O_CLOEXEC;
    switch (mode) {
        case TVFS_OPEN_READ:
            flags |= O_RDONLY;
            break;
        case TVFS_OPEN_WRITE:
            flags |= O_WRONLY;
            break;
        case TVFS_OPEN_READ_WRITE:
            // A link at the name is never written through, a named pipe
            // never waited for.
            flags |= O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK;
            break;
        default:
            errKind = FSE_GENERAL;
            err.AppendFormat(u"bad open mode %u for %s", mode, DisplayPath(path));
            return false;
    }
    int fd = -1;
    if (mode == TVFS_OPEN_READ) {
        // Never waits at a named pipe; reads only a regular file.
        fd = OpenToRead(path, false, errKind, err);
        if (fd < 0) return false;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            errKind = FSE_GENERAL;
            err += u"Cannot open file " + DisplayPath(path) + u": not a regular file";
            return false;
        }
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        m_fds[dix] = fd;
        return true;
    }
    if (mode == TVFS_OPEN_WRITE) {
        // Written anew: a link, a hard link or a named pipe at the name is
        // removed, never written through.
        bool bNew = false;
        fd = ZorOpenForWritingAt(dirFd, native.GetString(), 0666, bNew);
    } else {
        fd = ::openat(dirFd, native.GetString(), flags, 0666);
    }
    if (fd < 0) return Fail(errno, u"Cannot open file ", DisplayPath(path), errKind, err, true);
    if (mode == TVFS_OPEN_READ_WRITE) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
            ::close(fd);
            errKind = FSE_GENERAL;
            err += u"Cannot open file " + DisplayPath(path) + u": not a regular file of its own";
            return false;
        }
        (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
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
