// The local file system: whose the items are that a job trusts with its
// bookkeeping (its data folder and the files in it), and whose the links are
// on the way to a root folder. Another local user who can write a side must
// not be able to hand the job a folder or a file of theirs, or a link to one
// of the job's user, in their place.
#include "WinFileSys.h"
#include "WinFileSysUtil.h"

#include "zor-file.h"
#include "zor-unicode.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How deep the folders below a data folder are closed; deeper ones are left
// as they are (no real tree of kept versions goes so deep).
constexpr int kMaxCloseDepth = 256;

CWideString OwnerOf(const struct stat& st) {
    return ZorOwnerName((uint32_t)st.st_uid);
}

// Why an item found with st may not hold bookkeeping, or empty when it may.
CWideString Untrusted(const struct stat& st, bool bNamesOk = false) {
    if (S_ISLNK(st.st_mode)) return u"is a link (owned by " + OwnerOf(st) + u")";
    if (st.st_uid != geteuid())
        return u"is owned by " + OwnerOf(st) + u", not by " + ZorOwnerName((uint32_t)geteuid()) +
               u" who runs the job";
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return u"is neither a file nor a folder (owned by " + OwnerOf(st) + u")";
    if (S_ISREG(st.st_mode) && st.st_nlink > 1 && !bNamesOk)
        return CWideString::Formatted(u"is a file with %u names (hard links)", (unsigned)st.st_nlink);
    return CWideString();
}

// A failed fchmod that says the file system keeps no modes to change.
bool NoModesHere(int e) {
    return e == EPERM || e == ENOTSUP || e == EOPNOTSUPP || e == ENOSYS;
}

int Refuse(const CWideString& display, const CWideString& why, int& errKind, CWideString& err) {
    errKind = FSE_GENERAL;
    err += display + u" " + why;
    return -1;
}

// Takes other users' access away from the folders below the open folder fd
// (each through a descriptor of its own), deepest first. Links are not
// followed; a folder of another user refuses the whole.
int CloseFoldersBelow(int fd, const CWideString& display, int depth, int& errKind, CWideString& err) {
    if (depth >= kMaxCloseDepth) return 1;
    const int dupFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* d = dupFd >= 0 ? fdopendir(dupFd) : nullptr;
    if (!d) {
        if (dupFd >= 0) close(dupFd);
        winfs::Fail(errno, u"Cannot list folder ", display, errKind, err, true);
        return -2;
    }
    int result = 1;
    while (dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
        const CWideString child = display + u"/" + Utf8ToWide(name);
        const int cfd = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (cfd < 0) continue; // a link or no folder (any more): nothing to close
        struct stat st;
        if (fstat(cfd, &st) != 0) {
            close(cfd);
            continue;
        }
        if (st.st_uid != geteuid()) {
            close(cfd);
            result = Refuse(child, Untrusted(st), errKind, err);
            break;
        }
        result = CloseFoldersBelow(cfd, child, depth + 1, errKind, err);
        if (result > 0 && (st.st_mode & 077) != 0 && fchmod(cfd, st.st_mode & 07700) != 0 && !NoModesHere(errno)) {
            winfs::Fail(errno, u"Cannot take other users' access away from folder ", child, errKind, err,
                        true);
            result = -2;
        }
        close(cfd);
        if (result <= 0) break;
    }
    closedir(d);
    return result;
}

} // namespace

int WinFileSys::CheckOwnItem(const CWideString& path, int nFlags, int& errKind, CWideString& err) {
    CNarrowString name;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, name, errKind, err)) return -2;
    struct stat st;
    if (fstatat(dirFd, name.GetString(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return 0;
        winfs::Fail(errno, u"Cannot read the owner of ", DisplayPath(path), errKind, err, true);
        return -2;
    }
    CWideString why = Untrusted(st, (nFlags & TVFS_OWN_NAMES_OK) != 0);
    if (!why.IsEmpty()) return Refuse(DisplayPath(path), why, errKind, err);
    if (!S_ISDIR(st.st_mode) || !(nFlags & (TVFS_OWN_CLOSE | TVFS_OWN_CLOSE_TREE))) return 1;
    // The folder that was looked at is the one that is closed: it is opened
    // without following a link and looked at once more through its descriptor.
    const int fd = openat(dirFd, name.GetString(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ELOOP || e == ENOTDIR || e == ENOENT)
            return Refuse(DisplayPath(path), u"was replaced while it was looked at", errKind, err);
        winfs::Fail(e, u"Cannot open folder ", DisplayPath(path), errKind, err, true);
        return -2;
    }
    int result = 1;
    if (fstat(fd, &st) != 0) {
        winfs::Fail(errno, u"Cannot read the owner of ", DisplayPath(path), errKind, err, true);
        result = -2;
    } else if (!(why = Untrusted(st)).IsEmpty()) {
        result = Refuse(DisplayPath(path), why, errKind, err);
    } else if ((st.st_mode & 077) != 0) {
        // Below first: a run stopped half-way leaves the top open and the
        // next one goes through the folders again.
        if (nFlags & TVFS_OWN_CLOSE_TREE) result = CloseFoldersBelow(fd, DisplayPath(path), 0, errKind, err);
        // A file system without modes of its own (FAT, exFAT: one owner and
        // mode for the whole mount) cannot take them: nothing to close there.
        if (result > 0 && fchmod(fd, st.st_mode & 07700) != 0 && !NoModesHere(errno)) {
            winfs::Fail(errno, u"Cannot take other users' access away from folder ", DisplayPath(path),
                        errKind, err, true);
            result = -2;
        }
    }
    close(fd);
    return result;
}

int WinFileSys::OpenOwnFolder(const CWideString& path, int& errKind, CWideString& err) {
    CNarrowString name;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, name, errKind, err)) return -1;
    const int fd = openat(dirFd, name.GetString(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == ELOOP || e == ENOTDIR) {
            Refuse(DisplayPath(path), u"is not a folder (a link or a file stands there)", errKind, err);
            return -1;
        }
        winfs::Fail(e, u"Cannot open folder ", DisplayPath(path), errKind, err, true);
        return -1;
    }
    struct stat st;
    CWideString why;
    if (fstat(fd, &st) != 0) {
        winfs::Fail(errno, u"Cannot read the owner of ", DisplayPath(path), errKind, err, true);
    } else if ((why = Untrusted(st)).IsEmpty()) {
        return fd;
    } else {
        Refuse(DisplayPath(path), why, errKind, err);
    }
    close(fd);
    return -1;
}

bool WinFileSys::CheckRootLinks(int& errKind, CWideString& err) {
    CNarrowString link;
    uint32_t owner = 0;
    if (!ZorFindUntrustedLink(WideToUtf8(m_sRootDir), link, owner)) return true;
    errKind = FSE_GENERAL;
    err += u"The folder " + DisplayPath(CWideString()) + u" is reached through the link " + Utf8ToWide(link) +
           u", owned by " + ZorOwnerName(owner) + u", who can point it at any folder at any time";
    return false;
}
