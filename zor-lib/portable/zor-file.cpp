// Local files on Linux.
#include "zor-file.h"

#include "zor-debug.h"
#include "zor-error.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Appends "<prefix><path>: <system text>" and sets the kind from the errno value.
bool Fail(int code, const char16_t* prefix, const CWideString& path, int& kind, CWideString& err,
          bool bNotFoundKind = false) {
    CWideString text = MakeErrorMessage(code, kind, bNotFoundKind);
    err += prefix;
    if (!path.IsEmpty()) {
        err += path;
        err += u": ";
    }
    err += text;
    return false;
}

constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;

int64_t FileTimeOf(const struct timespec& ts) {
    return kFileTimeOf1970 + (int64_t)ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
}

// The folder part of a native path ("." for a bare name).
std::string NativeFolder(const std::string& p) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

// The last name of a native path, trailing slashes ignored.
std::string NativeName(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool IsDotName(const std::string& name) {
    return name.size() > 1 && name[0] == '.' && name != "..";
}

void FsyncFolder(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

const char kNameChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

void RandomNamePart(char* out, int n) {
    unsigned char bytes[16];
    if (getrandom(bytes, (size_t)n, GRND_NONBLOCK) != (ssize_t)n) {
        // No entropy yet: a counter mixed with the clock and the process id.
        static std::atomic<uint64_t> s_counter{0};
        uint64_t x = (uint64_t)ZorGetClock().MonotonicMs() * 0x9E3779B97F4A7C15ULL ^
                     ((uint64_t)getpid() << 32) ^ s_counter.fetch_add(0x632BE59BD9B4E019ULL);
        for (int i = 0; i < n; ++i) {
            x ^= x >> 29;
            x *= 0xBF58476D1CE4E5B9ULL;
            bytes[i] = (unsigned char)(x >> 56);
        }
    }
    for (int i = 0; i < n; ++i) out[i] = kNameChars[bytes[i] % 62];
}

// Creates a new file "<folder>/<prefix>XXXXXX.tmp" with O_EXCL; returns the
// open descriptor (write only) or -1 with errno set.
int CreateUniqueFile(const std::string& folder, const std::string& prefix, std::string& path, mode_t mode = 0666) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char part[6];
        RandomNamePart(part, 6);
        path = folder;
        if (path.empty() || path.back() != '/') path += '/';
        path += prefix;
        path.append(part, 6);
        path += ".tmp";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Creates a new file "<prefix>XXXXXX.tmp" in the folder dirFd; the name in name.
int CreateUniqueFileAt(int dirFd, const char* prefix, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        char part[6];
        RandomNamePart(part, 6);
        name = prefix;
        name.append(part, 6);
        name += ".tmp";
        int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}
// The process's file-creation mask, as the kernel shows it (Linux 4.7 on);
// else read by setting one: a narrower one (077) for that moment, so that a
// file another thread creates meanwhile is never wider than it should be.
mode_t ReadUmask() {
    if (FILE* f = fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool bFound = false;
        while (!bFound && fgets(line, sizeof line, f)) bFound = sscanf(line, "Umask: %o", &mask) == 1;
        fclose(f);
        if (bFound) return (mode_t)(mask & 0777);
    }
    const mode_t mask = umask(077);
    umask(mask);
    return mask;
}

// --- the stored attribute bits
bool ReadStoredBits(const char* path, uint32_t& bits) {
    char buf[32];
    ssize_t n = getxattr(path, ZOR_ATTRS_XATTR_NAME, buf, sizeof buf - 1);
    if (n <= 0) return false;
    buf[n] = 0;
    char* end = nullptr;
    unsigned long v = strtoul(buf, &end, 10);
    if (end == buf) return false;
    bits = (uint32_t)v;
    return true;
}

bool NoXattrSupport(int e) {
    return e == ENOTSUP || e == EOPNOTSUPP || e == ENOSYS;
}

} // namespace

// ---------------------------------------------------------------- queries
bool ZorFileExists(const CWideString& path) {
    CNarrowString p = ZorNativePath(path);
    struct stat st;
    return !p.IsEmpty() && lstat(p.GetString(), &st) == 0;
}

uint32_t ZorGetFileAttributes(const CWideString& path) {
    CNarrowString p = ZorNativePath(path);
    struct stat st;
    if (p.IsEmpty() || lstat(p.GetString(), &st) != 0) return ZOR_INVALID_FILE_ATTRIBUTES;
    uint32_t attrs = 0;
    bool bLink = S_ISLNK(st.st_mode);
    if (bLink) {
        attrs |= ZOR_FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;
        if (stat(p.GetString(), &target) == 0) st = target;
    }
    bool bDir = S_ISDIR(st.st_mode);
    if (bDir) attrs |= ZOR_FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR)) attrs |= ZOR_FILE_ATTRIBUTE_READONLY;
    if (IsDotName(NativeName(std::string(p.GetString(), p.GetLength())))) attrs |= ZOR_FILE_ATTRIBUTE_HIDDEN;
    uint32_t stored = 0;
    if (!bLink && ReadStoredBits(p.GetString(), stored)) {
        stored &=
            ~(ZOR_FILE_ATTRIBUTE_DIRECTORY | ZOR_FILE_ATTRIBUTE_REPARSE_POINT | ZOR_FILE_ATTRIBUTE_NORMAL);
        if (!bDir) stored &= ~ZOR_FILE_ATTRIBUTE_READONLY; // the permission says it
        attrs |= stored;
    }
    return attrs ? attrs : ZOR_FILE_ATTRIBUTE_NORMAL;
}

bool ZorSetFileAttributes(const CWideString& path, uint32_t nAttributes, int& kind, CWideString& err) {
    static const char16_t kMsg[] = u"Cannot set attributes of ";
    CNarrowString p = ZorNativePath(path);
    if (p.IsEmpty()) return Fail(ENOENT, kMsg, path, kind, err, true);
    // The item itself, held open: a link swapped in at the name afterwards
    // is not followed by what is done to it. Its permissions and extended
    // attribute are changed through /proc/self/fd, which names that item.
    const int fd = ::open(p.GetString(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int e = errno;
        if (fd >= 0) close(fd);
        return Fail(e, kMsg, path, kind, err, true);
    }
    struct CloseFd {
        int fd;
        ~CloseFd() { close(fd); }
    } closer{fd};
    if (S_ISLNK(st.st_mode)) return true; // links carry no attributes of their own here
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    bool bDir = S_ISDIR(st.st_mode);
    mode_t mode = st.st_mode & 07777;
    mode_t newMode = mode;
    if (!bDir) {
        if (nAttributes & ZOR_FILE_ATTRIBUTE_READONLY)
            newMode &= ~(mode_t)(S_IWUSR | S_IWGRP | S_IWOTH);
        else
            newMode |= S_IWUSR;
    }
    uint32_t want = nAttributes & ~(ZOR_FILE_ATTRIBUTE_DIRECTORY | ZOR_FILE_ATTRIBUTE_REPARSE_POINT |
                                    ZOR_FILE_ATTRIBUTE_NORMAL);
    if (!bDir) want &= ~ZOR_FILE_ATTRIBUTE_READONLY;
    if (IsDotName(NativeName(std::string(p.GetString(), p.GetLength())))) want &= ~ZOR_FILE_ATTRIBUTE_HIDDEN;
    uint32_t have = 0;
    bool bHave = ReadStoredBits(self.c_str(), have);
    if (want != (bHave ? have : 0)) {
        // Changing an extended attribute needs write permission on the file.
        bool bTempWrite = !(mode & S_IWUSR) && geteuid() != 0;
        if (bTempWrite && chmod(self.c_str(), mode | S_IWUSR) != 0) return Fail(errno, kMsg, path, kind, err);
        int rc = 0;
        if (want) {
            char buf[16];
            int n = snprintf(buf, sizeof buf, "%u", want);
            rc = setxattr(self.c_str(), ZOR_ATTRS_XATTR_NAME, buf, (size_t)n, 0);
        } else {
            rc = removexattr(self.c_str(), ZOR_ATTRS_XATTR_NAME);
            if (rc != 0 && errno == ENODATA) rc = 0;
        }
        int e = errno;
        if (bTempWrite && newMode == mode) chmod(self.c_str(), mode);
        if (rc != 0 && !NoXattrSupport(e)) return Fail(e, kMsg, path, kind, err);
    }
    if (newMode != mode && chmod(self.c_str(), newMode) != 0) return Fail(errno, kMsg, path, kind, err);
    return true;
}

namespace {

bool StatInfo(const CWideString& path, ZorFileInfo& info, int& kind, CWideString& err, bool& bMissing) {
    bMissing = false;
    CNarrowString p = ZorNativePath(path);
    struct statx sx;
    if (p.IsEmpty() || statx(AT_FDCWD, p.GetString(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        int e = p.IsEmpty() ? ENOENT : errno;
        if (e == ENOENT || e == ENOTDIR) {
            bMissing = true;
            kind = ZEK_NOT_FOUND;
            err += u"cannot find file ";
            err += path;
            return false;
        }
        return Fail(e, u"cannot get file information: ", path, kind, err);
    }
    info.nAttributes = ZorGetFileAttributes(path);
    if (info.nAttributes == ZOR_INVALID_FILE_ATTRIBUTES) info.nAttributes = ZOR_FILE_ATTRIBUTE_NORMAL;
    info.nSize = S_ISDIR(sx.stx_mode) ? 0 : sx.stx_size;
    auto ft = [](const struct statx_timestamp& t) {
        struct timespec ts;
        ts.tv_sec = t.tv_sec;
        ts.tv_nsec = t.tv_nsec;
        return FileTimeOf(ts);
    };
    info.nWriteTime = ft(sx.stx_mtime);
    info.nAccessTime = ft(sx.stx_atime);
    info.nCreationTime = (sx.stx_mask & STATX_BTIME) ? ft(sx.stx_btime) : info.nWriteTime;
    return true;
}

} // namespace

bool ZorGetFileInfo(const CWideString& path, ZorFileInfo& info, int& kind, CWideString& err) {
    bool bMissing;
    return StatInfo(path, info, kind, err, bMissing);
}

bool ZorGetFileInfo(const CWideString& path, ZorFileInfo& info, CWideString& err) {
    int kind = 0;
    return ZorGetFileInfo(path, info, kind, err);
}

bool ZorGetFileDetails(const CWideString& path, bool& bExists, int64_t& nCreationTime, int64_t& nAccessTime,
                       int64_t& nWriteTime, uint64_t& nSize, int& kind, CWideString& err) {
    ZorFileInfo info;
    bool bMissing = false;
    CWideString e;
    int k = 0;
    bExists = false;
    if (!StatInfo(path, info, k, e, bMissing)) {
        if (bMissing) return true;
        kind = k;
        err += e;
        return false;
    }
    bExists = true;
    nCreationTime = info.nCreationTime;
    nAccessTime = info.nAccessTime;
    nWriteTime = info.nWriteTime;
    nSize = info.nSize;
    return true;
}

bool ZorGetFileSizeByName(const CWideString& path, uint64_t& nSize, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    struct stat st;
    if (p.IsEmpty() || stat(p.GetString(), &st) != 0)
        return Fail(p.IsEmpty() ? ENOENT : errno, u"Cannot get size of ", path, kind, err, true);
    nSize = (uint64_t)st.st_size;
    return true;
}

// ---------------------------------------------------------------- whole files
bool ReadWholeFile(const CWideString& path, int nMaxBytes, CNarrowString& text, int& kind, CWideString& err) {
    text.Empty();
    CFileHandle f;
    if (!ZorOpenFileRead(path, f, kind, err)) return false;
    if (nMaxBytes <= 0) return true;
    uint64_t size = 0;
    int k = 0;
    CWideString e;
    int want = nMaxBytes;
    if (f.GetSize(size, k, e) && size < (uint64_t)want) want = (int)size;
    // The size is a hint: read until the limit or the end of the file.
    CNarrowString buf;
    char* p = buf.GetBuffer(want > 0 ? want : 1);
    int done = 0;
    for (;;) {
        int room = nMaxBytes - done;
        if (room <= 0) break;
        if (done == want) {
            // The file grew (or its size was unknown): grow the buffer.
            buf.ReleaseBuffer(done);
            want = (int)std::min<int64_t>((int64_t)nMaxBytes, (int64_t)done * 2 + 4096);
            p = buf.GetBuffer(want);
        }
        ssize_t r = read(f.GetHandle(), p + done, (size_t)(want - done));
        if (r < 0) {
            if (errno == EINTR) continue;
            int errnum = errno;
            buf.ReleaseBuffer(0);
            return Fail(errnum, u"cannot read file: ", path, kind, err);
        }
        if (r == 0) break;
        done += (int)r;
    }
    buf.ReleaseBuffer(done);
    text = buf;
    return true;
}

bool WriteWholeFile(const CWideString& path, const CNarrowString& text, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    if (p.IsEmpty()) return Fail(ENOENT, u"cannot create file to write: ", path, kind, err);
    int dirFd = -1;
    CNarrowString leaf;
    if (ZorPrivateFolderAt(p, dirFd, leaf)) {
        // Below the private folder: a new file beside the name, renamed over
        // whatever stands there; nothing at the name is followed or opened.
        if (dirFd < 0) return Fail(errno, u"cannot create file to write: ", path, kind, err);
        std::string temp;
        const int fd = CreateUniqueFileAt(dirFd, "tvtm", temp);
        if (fd < 0) {
            const int e = errno;
            close(dirFd);
            return Fail(e, u"cannot create file to write: ", path, kind, err);
        }
        size_t done = 0;
        int e = 0;
        bool ok = ZorWriteAllFd(fd, text.GetString(), (size_t)text.GetLength(), done);
        if (!ok) e = errno ? errno : EIO;
        if (ok && fsync(fd) != 0) ok = false, e = errno;
        if (close(fd) != 0 && ok) ok = false, e = errno;
        if (ok && renameat(dirFd, temp.c_str(), dirFd, leaf.GetString()) != 0) ok = false, e = errno;
        if (!ok) unlinkat(dirFd, temp.c_str(), 0);
        else (void)fsync(dirFd);
        close(dirFd);
        return ok || Fail(e, u"cannot write file: ", path, kind, err);
    }
    std::string target(p.GetString(), p.GetLength());
    struct stat st;
    bool bExists = false;
    if (lstat(target.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // Write through the link: replace the file it points to.
            if (char* r = realpath(target.c_str(), nullptr)) {
                target = r;
                free(r);
            }
        }
        if (stat(target.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return Fail(EISDIR, u"cannot create file to write: ", path, kind, err);
            if (!(st.st_mode & S_IWUSR))
                return Fail(EACCES, u"cannot create file to write: ", path, kind, err);
            bExists = true;
        }
    }
    std::string folder = NativeFolder(target);
    std::string temp;
    // Owner-only until complete: a reader let in before the mode is set
    // would keep its descriptor to the new content. Then the permissions of
    // the file it replaces, or those of a new file.
    int fd = CreateUniqueFile(folder, "tvtm", temp, 0600);
    if (fd < 0) return Fail(errno, u"cannot create file to write: ", path, kind, err);
    size_t done = 0;
    int e = 0;
    bool ok = ZorWriteAllFd(fd, text.GetString(), (size_t)text.GetLength(), done);
    if (!ok) e = errno ? errno : EIO;
    // (A file system that keeps no permissions refuses; the file stays as it is.)
    if (ok) (void)fchmod(fd, bExists ? (st.st_mode & 07777) : ZorNewFileMode());
    if (ok && fsync(fd) != 0) ok = false, e = errno;
    if (close(fd) != 0 && ok) ok = false, e = errno;
    if (!ok) {
        unlink(temp.c_str());
        return Fail(e, u"cannot write file: ", path, kind, err);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        e = errno;
        unlink(temp.c_str());
        return Fail(e, u"cannot replace file: ", path, kind, err);
    }
    FsyncFolder(folder);
    return true;
}

// ---------------------------------------------------------------- folders, deletion, moves
bool ZorCreateFolderPath(const CWideString& path, bool /*bFlag*/, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    std::string s(p.GetString(), p.GetLength());
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s.empty()) return Fail(ENOENT, u"Cannot create folder ", path, kind, err);
    struct stat st;
    if (stat(s.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        return Fail(ENOTDIR, u"Cannot create folder ", path, kind, err);
    }
    // Create each missing level from the top.
    size_t pos = 0;
    for (;;) {
        pos = s.find('/', pos + 1);
        std::string part = pos == std::string::npos ? s : s.substr(0, pos);
        if (!part.empty() && part != "/" && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return Fail(errno, u"Cannot create folder ", path, kind, err);
        if (pos == std::string::npos) break;
    }
    if (stat(s.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(ENOTDIR, u"Cannot create folder ", path, kind, err);
    return true;
}

bool ZorDeleteFile(const CWideString& path, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    if (!p.IsEmpty() && unlink(p.GetString()) == 0) return true;
    // Second try after giving the owner write permission.
    struct stat st;
    if (p.IsEmpty() || lstat(p.GetString(), &st) != 0)
        return Fail(p.IsEmpty() ? ENOENT : errno, u"Cannot delete file (set attrs): ", path, kind, err, true);
    bool bMadeWritable = !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR);
    if (bMadeWritable && chmod(p.GetString(), (st.st_mode & 07777) | S_IWUSR) != 0)
        return Fail(errno, u"Cannot delete file (set attrs): ", path, kind, err);
    if (unlink(p.GetString()) != 0) {
        int e = errno;
        // The file stays: so does its read-only state.
        if (bMadeWritable) (void)chmod(p.GetString(), st.st_mode & 07777);
        return Fail(e, u"Cannot delete file (2nd try): ", path, kind, err, true);
    }
    return true;
}

void ZorDeleteFileQuiet(const CWideString& path) {
    int kind = 0;
    CWideString err;
    ZorDeleteFile(path, kind, err);
}

namespace {

// Copies a regular file to a temporary file beside the target, then renames
// it over the target. errno is set on failure.
bool CopyOver(const std::string& from, const struct stat& st, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string temp;
    // Owner-only until complete; the source's permissions before the rename.
    int out = CreateUniqueFile(NativeFolder(to), "tvtm", temp, 0600);
    if (out < 0) {
        int e = errno;
        close(in);
        errno = e;
        return false;
    }
    std::vector<char> buf(1 << 20);
    bool ok = true;
    int e = 0;
    for (;;) {
        ssize_t r = read(in, buf.data(), buf.size());
        if (r < 0) {
            if (errno == EINTR) continue;
            ok = false, e = errno;
            break;
        }
        if (r == 0) break;
        size_t done;
        if (!ZorWriteAllFd(out, buf.data(), (size_t)r, done)) {
            ok = false, e = errno ? errno : EIO;
            break;
        }
    }
    if (ok) {
        // The stored attribute bits go along, as a rename keeps them; before
        // the permissions, which may take away the right to set them.
        char bits[32];
        ssize_t nBits = fgetxattr(in, ZOR_ATTRS_XATTR_NAME, bits, sizeof bits);
        if (nBits > 0) fsetxattr(out, ZOR_ATTRS_XATTR_NAME, bits, (size_t)nBits, 0);
    }
    close(in);
    if (ok) {
        // As a copy: no set-ID bit of an owner the moved file does not keep.
        bool bCleared = false;
        fchmod(out, ZorModeOfCopy(st.st_mode, st.st_uid, st.st_gid, out, bCleared));
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
        if (fsync(out) != 0) ok = false, e = errno;
    }
    if (close(out) != 0 && ok) ok = false, e = errno;
    if (ok && rename(temp.c_str(), to.c_str()) != 0) ok = false, e = errno;
    if (!ok) {
        unlink(temp.c_str());
        errno = e;
        return false;
    }
    FsyncFolder(NativeFolder(to));
    return true;
}

} // namespace

bool ZorMoveFile(const CWideString& from, const CWideString& to, int& kind, CWideString& err) {
    CNarrowString f = ZorNativePath(from), t = ZorNativePath(to);
    auto fail = [&](int e) {
        CWideString text = MakeErrorMessage(e, kind);
        err.AppendFormat(u"Cannot move file %s to %s: %s", from, to, text);
        return false;
    };
    if (f.IsEmpty() || t.IsEmpty()) return fail(ENOENT);
    if (rename(f.GetString(), t.GetString()) == 0) return true;
    if (errno != EXDEV) return fail(errno);
    struct stat st;
    if (lstat(f.GetString(), &st) != 0) return fail(errno);
    if (!S_ISREG(st.st_mode)) return fail(EXDEV); // folders and links are not copied
    if (!CopyOver(std::string(f.GetString(), f.GetLength()), st, std::string(t.GetString(), t.GetLength())))
        return fail(errno);
    if (unlink(f.GetString()) != 0) {
        int e = errno;
        CWideString text = MakeErrorMessage(e, kind);
        err.AppendFormat(u"Cannot delete %s after copying it to %s: %s", from, to, text);
        return false;
    }
    return true;
}

bool ZorMoveFile(const CWideString& from, const CWideString& to, CWideString& err) {
    int kind = 0;
    return ZorMoveFile(from, to, kind, err);
}

uint32_t ZorNewFileMode() {
    static const mode_t s_mask = ReadUmask();
    return 0666 & ~s_mask;
}

CWideString ZorOwnerName(uint32_t uid) {
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwuid_r((uid_t)uid, &pw, buf, sizeof buf, &res) == 0 && res && res->pw_name && *res->pw_name)
        return Utf8ToWide(res->pw_name);
    return CWideString::Formatted(u"uid %u", uid);
}

bool ZorIsTrustedOwner(uint32_t uid) {
    return uid == 0 || uid == (uint32_t)geteuid();
}

bool ZorFindUntrustedLink(const CNarrowString& path, CNarrowString& link, uint32_t& owner) {
    // Links followed before the walk gives up (the system's own limit is
    // 40: an open of such a path fails anyway).
    constexpr int kMaxLinks = 40;
    if (path.IsEmpty() || path[0] != '/') return false;
    // One name at a time, the way the system resolves the path; each link
    // met is looked at before it is followed.
    std::deque<std::string> names;
    auto push = [&names](const std::string& p) {
        std::deque<std::string> parts;
        size_t start = 0;
        for (;;) {
            const size_t slash = p.find('/', start);
            const size_t end = slash == std::string::npos ? p.size() : slash;
            if (end > start) parts.push_back(p.substr(start, end - start));
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        names.insert(names.begin(), parts.begin(), parts.end());
    };
    push(path.GetString());
    std::string done; // the resolved part, "" for "/"
    int nLinks = 0;
    while (!names.empty()) {
        const std::string name = names.front();
        names.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            const size_t slash = done.rfind('/');
            done = slash == std::string::npos ? std::string() : done.substr(0, slash);
            continue;
        }
        const std::string at = done + "/" + name;
        struct stat st;
        if (lstat(at.c_str(), &st) != 0) return false;
        if (!S_ISLNK(st.st_mode)) {
            done = at;
            continue;
        }
        if (!ZorIsTrustedOwner((uint32_t)st.st_uid)) {
            link = at.c_str();
            owner = (uint32_t)st.st_uid;
            return true;
        }
        if (++nLinks > kMaxLinks) return false;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = readlink(at.c_str(), target.data(), target.size());
        if (n < 0 || (size_t)n >= target.size()) return false;
        target.resize((size_t)n);
        if (!target.empty() && target[0] == '/') done.clear();
        push(target);
    }
    return false;
}

// ---------------------------------------------------------------- the private folder
namespace {
std::mutex g_PrivateLock;
std::string g_sPrivatePath; // native, without a trailing '/'
int g_nPrivateFd = -1;

} // namespace

void ZorSetPrivateFolder(const CWideString& path, int fd) {
    std::lock_guard<std::mutex> lock(g_PrivateLock);
    if (g_nPrivateFd >= 0) close(g_nPrivateFd);
    g_nPrivateFd = fd;
    const CNarrowString n = ZorNativePath(path);
    g_sPrivatePath.assign(n.GetString(), (size_t)n.GetLength());
    while (g_sPrivatePath.size() > 1 && g_sPrivatePath.back() == '/') g_sPrivatePath.pop_back();
    if (fd < 0) g_sPrivatePath.clear();
}

bool ZorPrivateFolderAt(const CNarrowString& path, int& dirFd, CNarrowString& name) {
    dirFd = -1;
    errno = 0;
    std::string rel;
    int base = -1;
    {
        std::lock_guard<std::mutex> lock(g_PrivateLock);
        const std::string& root = g_sPrivatePath;
        if (g_nPrivateFd < 0 || root.empty() || (size_t)path.GetLength() <= root.size() + 1 ||
            memcmp(path.GetString(), root.data(), root.size()) != 0 || path[(int)root.size()] != '/')
            return false;
        rel.assign(path.GetString() + root.size() + 1);
        base = fcntl(g_nPrivateFd, F_DUPFD_CLOEXEC, 0);
    }
    if (base < 0) return true; // errno set
    size_t from = 0;
    for (;;) {
        const size_t slash = rel.find('/', from);
        const std::string part = rel.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
        if (slash == std::string::npos) {
            if (part.empty() || part == "." || part == "..") {
                close(base);
                errno = EINVAL;
                return true;
            }
            dirFd = base;
            name = CNarrowString(part.c_str());
            return true;
        }
        from = slash + 1;
        if (part.empty() || part == ".") continue;
        int next = -1;
        if (part != "..") {
            do {
                next = openat(base, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            } while (next < 0 && errno == EINTR);
        } else {
            errno = EINVAL;
        }
        const int e = errno;
        close(base);
        if (next < 0) {
            errno = e;
            return true;
        }
        base = next;
    }
}

int ZorOpenOwnFileAt(int dirFd, const char* name, CWideString& why) {
    int fd = -1;
    do {
        fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ELOOP) why = u"a link stands at the name";
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    if (!S_ISREG(st.st_mode))
        why = u"it is no file (a named pipe, a device or a socket)";
    else if (st.st_uid != geteuid())
        why = u"it is owned by " + ZorOwnerName((uint32_t)st.st_uid) + u", not by " +
              ZorOwnerName((uint32_t)geteuid());
    else if (st.st_nlink != 1)
        why = CWideString::Formatted(u"it has %u names (hard links)", (unsigned)st.st_nlink);
    if (!why.IsEmpty()) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

int ZorOpenFileForReading(const CNarrowString& path, CWideString& why) {
    int dirFd = -1;
    CNarrowString name;
    if (ZorPrivateFolderAt(path, dirFd, name)) {
        if (dirFd < 0) return -1;
        const int fd = ZorOpenOwnFileAt(dirFd, name.GetString(), why);
        const int e = errno;
        close(dirFd);
        errno = e;
        return fd;
    }
    int fd = -1;
    do {
        fd = open(path.GetString(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
        close(fd);
        why = u"it is a named pipe";
        errno = EPERM;
        return -1;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

void ZorMakeFileOwnerOnly(const CWideString& path) {
    CWideString why;
    const int fd = ZorOpenFileForReading(ZorNativePath(path), why);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) (void)fchmod(fd, 0600);
    close(fd);
}

void ZorMakeFolderOwnerOnly(const CWideString& path) {
    CNarrowString native = ZorNativePath(path);
    while (native.GetLength() > 1 && native[native.GetLength() - 1] == '/') native = native.Left(native.GetLength() - 1);
    int dirFd = -1;
    CNarrowString name;
    int fd = -1;
    if (ZorPrivateFolderAt(native, dirFd, name)) {
        if (dirFd < 0) return;
        fd = openat(dirFd, name.GetString(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dirFd);
    } else {
        fd = open(native.GetString(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 077) != 0) (void)fchmod(fd, 0700);
    close(fd);
}

// ---------------------------------------------------------------- temporary names
int ZorCreateNewFileAt(int dirFd, const char* name, int flags, unsigned mode) {
    flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
    // Another user who can write the folder may put something back at the
    // name each time it is removed: a few rounds, then the name is refused.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = -1;
        do {
            fd = ::openat(dirFd, name, flags, (mode_t)mode);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EEXIST) return fd;
        // A folder at the name stays (EISDIR).
        if (::unlinkat(dirFd, name, 0) != 0 && errno != ENOENT) return -1;
    }
    errno = EEXIST;
    return -1;
}

int ZorOpenForWritingAt(int dirFd, const char* name, unsigned mode, bool& bNew) {
    bNew = false;
    int fd = -1;
    do {
        fd = ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (mode_t)mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        bNew = true;
        return fd;
    }
    if (errno != EEXIST) return -1;
    // Not blocking: a named pipe without a reader fails at once.
    fd = ::openat(dirFd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        bool bKeep = false;
        if (fstat(fd, &st) == 0) {
            if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid())
                bKeep = ftruncate(fd, 0) == 0;
            else if (S_ISCHR(st.st_mode))
                bKeep = true; // a device, which only the system makes
        }
        if (bKeep) {
            const int fl = fcntl(fd, F_GETFL);
            if (fl >= 0) (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
            return fd;
        }
        ::close(fd);
    }
    fd = ZorCreateNewFileAt(dirFd, name, O_WRONLY | O_CLOEXEC, mode);
    bNew = fd >= 0;
    return fd;
}

unsigned ZorModeOfCopy(unsigned srcMode, unsigned srcUid, unsigned srcGid, int fd, bool& bCleared) {
    bCleared = false;
    unsigned mode = srcMode & 07777;
    if (!(mode & (S_ISUID | S_ISGID))) return mode;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == (uid_t)srcUid && st.st_gid == (gid_t)srcGid) return mode;
    bCleared = true;
    return mode & ~(unsigned)(S_ISUID | S_ISGID);
}

namespace {
bool MakeTempFile(const CWideString& folder, const char16_t* prefix, CWideString& name, int& fd, int& kind,
                  CWideString& err) {
    fd = -1;
    CWideString pre = (prefix && *prefix) ? CWideString(prefix) : CWideString(ZOR_TEMP_PREFIX);
    CNarrowString f = ZorNativePath(folder);
    CNarrowString pn = ZorNativePath(pre);
    if (f.IsEmpty() || pn.Find('/') >= 0)
        return Fail(EINVAL, u"cannot get temp file name: ", CWideString(), kind, err);
    std::string path;
    // A temporary file holds copies of files on their way (uploads, downloads,
    // spilled answers): it is its owner's alone from the start; a caller that
    // renames it into place sets the final mode itself.
    fd = CreateUniqueFile(std::string(f.GetString(), f.GetLength()), std::string(pn.GetString(), pn.GetLength()),
                          path, 0600);
    if (fd < 0) return Fail(errno, u"cannot get temp file name: ", CWideString(), kind, err);
    // The folder as the caller wrote it, then our separator and the new name.
    name = folder;
    if (!name.IsEmpty() && name.GetLast() != u'/' && name.GetLast() != u'\\') name += u'/';
    size_t slash = path.find_last_of('/');
    name += Utf8ToWide(path.c_str() + slash + 1);
    return true;
}
} // namespace

bool ZorCreateTempFile(const CWideString& folder, const char16_t* prefix, CWideString& name, int& fd, int& kind,
                       CWideString& err) {
    return MakeTempFile(folder, prefix, name, fd, kind, err);
}

bool ZorGetTempFileName(const CWideString& folder, const char16_t* prefix, CWideString& name, int& kind,
                        CWideString& err) {
    int fd = -1;
    if (!MakeTempFile(folder, prefix, name, fd, kind, err)) return false;
    close(fd);
    return true;
}

bool ZorGetTempFileName(const CWideString& folder, const char16_t* prefix, CWideString& name,
                        CWideString& err) {
    int kind = 0;
    return ZorGetTempFileName(folder, prefix, name, kind, err);
}

bool SetFileModTime(const CWideString& path, int64_t nTime, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    // Both times are given: a user-space file system may take an access
    // time left out (UTIME_OMIT) for a request to stamp both with now.
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[1].tv_sec = (time_t)nTime;
    times[1].tv_nsec = 0;
    if (p.IsEmpty() || utimensat(AT_FDCWD, p.GetString(), times, 0) != 0) {
        int e = p.IsEmpty() ? ENOENT : errno;
        if (e == ENOENT || e == ENOTDIR)
            return Fail(e, u"Cannot SetFileModTime (open): ", path, kind, err, true);
        return Fail(e, u"Cannot SetFileModTime: ", path, kind, err);
    }
    return true;
}

// ---------------------------------------------------------------- handles
CFileHandle& CFileHandle::operator=(CFileHandle&& o) noexcept {
    if (this != &o) {
        CloseQuiet();
        m_hFile = o.m_hFile;
        m_sName = o.m_sName;
        o.m_hFile = -1;
    }
    return *this;
}

void CFileHandle::Attach(int hFile, const CWideString& name) {
    CloseQuiet();
    m_hFile = hFile;
    m_sName = name;
}

int CFileHandle::Detach() {
    int h = m_hFile;
    m_hFile = -1;
    return h;
}

bool CFileHandle::Read(void* pBuffer, uint32_t nMax, uint32_t& nRead, int& kind, CWideString& err) {
    nRead = 0;
    if (m_hFile < 0) return Fail(EBADF, u"reading file ", m_sName, kind, err);
    for (;;) {
        ssize_t r = read(m_hFile, pBuffer, nMax);
        if (r >= 0) {
            nRead = (uint32_t)r;
            return true;
        }
        if (errno != EINTR) return Fail(errno, u"reading file ", m_sName, kind, err);
    }
}

bool CFileHandle::Write(const void* pData, uint32_t nLength, int& kind, CWideString& err) {
    if (m_hFile < 0) return Fail(EBADF, u"writing file ", m_sName, kind, err);
    size_t done = 0;
    if (ZorWriteAllFd(m_hFile, pData, nLength, done)) return true;
    if (errno) return Fail(errno, u"writing file ", m_sName, kind, err);
    kind = ZEK_GENERAL;
    err.AppendFormat(u"written less than requested for file %s: %d != %d", m_sName, (int)done, (int)nLength);
    return false;
}

bool CFileHandle::WriteStringA(const CNarrowString& text, int& kind, CWideString& err) {
    return Write(text.GetString(), (uint32_t)text.GetLength(), kind, err);
}

bool CFileHandle::Seek(int64_t nPosition, int& kind, CWideString& err) {
    if (m_hFile < 0 || lseek(m_hFile, (off_t)nPosition, SEEK_SET) < 0)
        return Fail(m_hFile < 0 ? EBADF : errno, u"Cannot set position of ", m_sName, kind, err);
    return true;
}

bool CFileHandle::GetSize(uint64_t& nSize, int& kind, CWideString& err) {
    struct stat st;
    if (m_hFile < 0 || fstat(m_hFile, &st) != 0)
        return Fail(m_hFile < 0 ? EBADF : errno, u"Cannot get size of ", m_sName, kind, err);
    nSize = (uint64_t)st.st_size;
    return true;
}

bool CFileHandle::Sync(int& kind, CWideString& err) {
    if (m_hFile < 0 || fsync(m_hFile) != 0)
        return Fail(m_hFile < 0 ? EBADF : errno, u"Cannot flush file ", m_sName, kind, err);
    return true;
}

bool CFileHandle::Close(int& kind, CWideString& err) {
    if (m_hFile < 0) return true;
    int h = m_hFile;
    m_hFile = -1;
    if (close(h) != 0 && errno != EINTR) return Fail(errno, u"Cannot close file: ", CWideString(), kind, err);
    return true;
}

bool CFileHandle::Close(CWideString& err) {
    int kind = 0;
    return Close(kind, err);
}

void CFileHandle::CloseQuiet() {
    if (m_hFile >= 0) close(m_hFile);
    m_hFile = -1;
}

bool ZorOpenFileRead(const CWideString& path, CFileHandle& file, int& kind, CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    CWideString why;
    int fd = p.IsEmpty() ? -1 : ZorOpenFileForReading(p, why);
    if (fd < 0 && !why.IsEmpty()) {
        kind = ZEK_GENERAL;
        err += u"cannot open file to read: " + path + u": refused, as " + why;
        return false;
    }
    if (fd < 0)
        return Fail(p.IsEmpty() ? ENOENT : errno, u"cannot open file to read: ", path, kind, err, true);
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return Fail(EISDIR, u"cannot open file to read: ", path, kind, err);
    }
    file.Attach(fd, path);
    return true;
}

bool ZorOpenFileWrite(const CWideString& path, CFileHandle& file, uint32_t /*nFlags*/, int& kind,
                      CWideString& err) {
    CNarrowString p = ZorNativePath(path);
    bool bNew = false;
    int fd = p.IsEmpty() ? -1 : ZorOpenForWritingAt(AT_FDCWD, p.GetString(), 0666, bNew);
    if (fd < 0) return Fail(p.IsEmpty() ? ENOENT : errno, u"cannot open file to write: ", path, kind, err);
    file.Attach(fd, path);
    return true;
}

// ---------------------------------------------------------------- buffered file
bool CBufferedFile::Open(int& kind, CWideString& err) {
    if (m_hFile.IsOpen()) return Rewind(kind, err);
    const CWideString& name = GetOpenName();
    if (name.IsEmpty()) {
        kind = ZEK_GENERAL;
        err += u"bad file to read";
        return false;
    }
    if (!ZorOpenFileRead(name, m_hFile, kind, err)) return false;
    uint64_t size = 0;
    if (!m_hFile.GetSize(size, kind, err)) {
        m_hFile.CloseQuiet();
        return false;
    }
    m_nSize = (int64_t)size;
    m_nPosition = 0;
    return true;
}

bool CBufferedFile::Rewind(int& kind, CWideString& err) {
    if (!m_hFile.IsOpen()) return Open(kind, err);
    if (!m_hFile.Seek(0, kind, err)) return false;
    m_nPosition = 0;
    return true;
}

bool CBufferedFile::ReadChunk(CNarrowString& data, int& kind, CWideString& err) {
    data.Empty();
    if (!m_hFile.IsOpen()) {
        kind = ZEK_GENERAL;
        err += u"bad file to read";
        return false;
    }
    int chunk = (m_bBlockMode && m_nBlockSize > 0) ? m_nBlockSize : (m_nChunkSize > 0 ? m_nChunkSize : 32768);
    char* p = data.GetBuffer(chunk);
    int done = 0;
    while (done < chunk) {
        uint32_t n = 0;
        if (!m_hFile.Read(p + done, (uint32_t)(chunk - done), n, kind, err)) {
            data.ReleaseBuffer(0);
            return false;
        }
        if (n == 0) break;
        done += (int)n;
    }
    data.ReleaseBuffer(done);
    m_nPosition += done;
    return true;
}

// ---------------------------------------------------------------- temporary file
CTempFileHolder::CTempFileHolder(const CWideString& folder, const char16_t* prefix) {
    int kind = 0;
    CWideString err;
    bool ok = Create(folder, prefix, kind, err);
    ZOR_ASSERT_E(ok, kind, "cannot create temporary file");
}

CTempFileHolder::~CTempFileHolder() {
    m_hFile.CloseQuiet();
    if (!m_sFileName.IsEmpty()) ZorDeleteFileQuiet(m_sFileName);
}

bool CTempFileHolder::Create(const CWideString& folder, const char16_t* prefix, int& kind, CWideString& err) {
    m_hFile.CloseQuiet();
    if (!m_sFileName.IsEmpty()) ZorDeleteFileQuiet(m_sFileName);
    m_sFileName.Empty();
    m_nSize = -1;
    return ZorGetTempFileName(folder, prefix, m_sFileName, kind, err);
}

// ---------------------------------------------------------------- clean-up
namespace {

bool EndsWithLogNoCase(const char* name) {
    size_t n = strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".log") == 0;
}

bool IsOurTempName(const char* name) {
    if (strlen(name) != 14 || strncmp(name, "tvtm", 4) != 0 || strcmp(name + 10, ".tmp") != 0) return false;
    for (int i = 4; i < 10; ++i)
        if (!strchr(kNameChars, name[i]) || name[i] == 0) return false;
    return true;
}

void LogDeleteFailure(const char16_t* fmt, const std::string& path, const CWideString& text) {
    ZorGetProgramLog().Printf(fmt, Utf8ToWide(path.c_str(), (int)path.size()), text);
}

// One level of the log clean-up; nDeleted counts the files deleted at or below it.
bool CleanLogsIn(const std::string& folder, int64_t cutoff, bool bRecursive, int depth, int& nCount,
                 int& nDeleted, CWideString& err, const ZorDeletedPathSink& onDeleted) {
    DIR* d = opendir(folder.c_str());
    if (!d) {
        if (errno == ENOENT && depth == 0) return true;
        int kind = 0;
        Fail(errno, u"cannot list folder ", Utf8ToWide(folder.c_str(), (int)folder.size()), kind, err);
        return false;
    }
    std::vector<std::string> subFolders;
    while (struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        std::string path = folder + (folder.back() == '/' ? "" : "/") + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (bRecursive) subFolders.push_back(path);
            continue;
        }
        if (!S_ISREG(st.st_mode) || !EndsWithLogNoCase(name) || st.st_mtime >= cutoff) continue;
        if (unlink(path.c_str()) != 0) {
            int kind = 0;
            LogDeleteFailure(u"TvCleanUpLogs: cannot delete %s: %s\n", path, MakeErrorMessage(errno, kind));
            continue;
        }
        ++nCount;
        ++nDeleted;
        if (onDeleted) onDeleted(Utf8ToWide(path.c_str(), (int)path.size()));
    }
    closedir(d);
    for (const std::string& sub : subFolders) {
        if (depth >= 256) break; // deeper trees are left alone
        int nBelow = 0;
        CWideString subErr;
        if (!CleanLogsIn(sub, cutoff, true, depth + 1, nCount, nBelow, subErr, onDeleted)) {
            ZorGetProgramLog().Printf(u"TvCleanUpLogs: %s\n", subErr);
            continue;
        }
        nDeleted += nBelow;
        if (nBelow > 0) rmdir(sub.c_str()); // fails, harmlessly, while other files remain
    }
    return true;
}

} // namespace

bool TvCleanUpLogsEx(const CWideString& folder, int nDays, bool bRecursive, int& nCount, CWideString& err,
                     const ZorDeletedPathSink& onDeleted) {
    nCount = 0;
    CNarrowString f = ZorNativePath(folder);
    if (f.IsEmpty()) return true;
    int nDeleted = 0;
    return CleanLogsIn(std::string(f.GetString(), f.GetLength()), TimeDaysAgo(nDays), bRecursive, 0, nCount,
                       nDeleted, err, onDeleted);
}

bool TvCleanUpTempFilesEx(const CWideString& folder, int& nCount, CWideString& err,
                          const ZorDeletedPathSink& onDeleted) {
    nCount = 0;
    CNarrowString f = ZorNativePath(folder);
    if (f.IsEmpty()) return true;
    std::string dir(f.GetString(), f.GetLength());
    DIR* d = opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT) return true;
        int kind = 0;
        return Fail(errno, u"cannot list folder ", folder, kind, err);
    }
    int64_t cutoff = TimeDaysAgo(2);
    while (struct dirent* e = readdir(d)) {
        if (!IsOurTempName(e->d_name)) continue;
        std::string path = dir + (dir.back() == '/' ? "" : "/") + e->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_mtime >= cutoff) continue;
        if (unlink(path.c_str()) != 0) {
            int kind = 0;
            LogDeleteFailure(u"TvCleanUpTempFiles: cannot delete %s: %s\n", path,
                             MakeErrorMessage(errno, kind));
            continue;
        }
        ++nCount;
        if (onDeleted) onDeleted(Utf8ToWide(path.c_str(), (int)path.size()));
    }
    closedir(d);
    return true;
}

// ---------------------------------------------------------------- remembered paths
namespace {
std::mutex g_rememberLock;
std::deque<CWideString>& RememberedPaths() {
    static std::deque<CWideString> s_paths;
    return s_paths;
}
} // namespace

void RememberFilePath(const CWideString& path) {
    std::lock_guard<std::mutex> lock(g_rememberLock);
    auto& paths = RememberedPaths();
    if (paths.size() >= 250) paths.pop_front();
    paths.push_back(path);
}

std::vector<CWideString> GetRememberedFilePaths() {
    std::lock_guard<std::mutex> lock(g_rememberLock);
    auto& paths = RememberedPaths();
    return std::vector<CWideString>(paths.begin(), paths.end());
}

bool ZorWriteAllFd(int fd, const void* pData, size_t n, size_t& nDone) {
    const char* p = (const char*)pData;
    nDone = 0;
    while (nDone < n) {
        ssize_t w = write(fd, p + nDone, n - nDone);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) {
            errno = 0;
            return false;
        }
        nDone += (size_t)w;
    }
    return true;
}
