// The local file system: opening a side's file or folder to read it. A link
// that belongs to another user (neither the running user nor root) is
// followed only to what that user could read itself: a user who can write a
// side cannot have a privileged run copy out what the user may not read. The
// object is read from the descriptor that was checked, so a link swapped
// after the check leads nowhere else. Nothing opened here waits: a named
// pipe opens at once and is told apart by its type.
#include "WinFileSys.h"
#include "WinFileSysUtil.h"

#include "zor-unicode.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

using winfs::Fail;

namespace {

// A link of another user met on the way to a path.
struct ForeignLink {
    uid_t uid;
    gid_t gid;
    int folderFd;     // the folder that holds the link (O_PATH)
    std::string rest; // the link's target and the names after it
};

struct PathWalk {
    std::vector<ForeignLink> links;
    struct stat end {}; // what the path ends at
    ~PathWalk() {
        for (const ForeignLink& l : links) close(l.folderFd);
    }
};

constexpr int kMaxLinks = 40; // as the system follows at most

// Pushes the names of path on the stack, the first name on top.
void PushNames(std::vector<std::string>& stack, const std::string& path) {
    std::vector<std::string> names;
    for (size_t pos = 0; pos <= path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string name = path.substr(pos, slash - pos);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
        pos = slash + 1;
    }
    stack.insert(stack.end(), names.rbegin(), names.rend());
}

std::string JoinNames(const std::vector<std::string>& stack) {
    std::string s;
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) s += "/" + *it;
    return s;
}

// Follows rel from the folder startFd name by name, as the system does, and
// notes every link on the way that belongs to neither the running user nor
// root. False with errno when the path cannot be followed.
bool WalkPath(int startFd, const char* rel, PathWalk& w) {
    const uid_t me = geteuid();
    int cur = fcntl(startFd, F_DUPFD_CLOEXEC, 0);
    if (cur < 0) return false;
    std::vector<std::string> todo;
    PushNames(todo, rel);
    bool ok = true;
    int nLinks = 0;
    if (todo.empty()) ok = fstat(cur, &w.end) == 0;
    while (ok && !todo.empty()) {
        const std::string name = todo.back();
        todo.pop_back();
        if (fstatat(cur, name.c_str(), &w.end, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
        } else if (S_ISLNK(w.end.st_mode)) {
            char buf[PATH_MAX];
            const ssize_t n = readlinkat(cur, name.c_str(), buf, sizeof buf);
            if (n <= 0 || n >= (ssize_t)sizeof buf || ++nLinks > kMaxLinks) {
                if (n >= 0) errno = n == 0 ? ENOENT : ELOOP;
                ok = false;
                break;
            }
            const std::string target(buf, (size_t)n);
            if (w.end.st_uid != me && w.end.st_uid != 0) {
                const int at = fcntl(cur, F_DUPFD_CLOEXEC, 0);
                if (at < 0) {
                    ok = false;
                    break;
                }
                w.links.push_back({w.end.st_uid, w.end.st_gid, at, target + JoinNames(todo)});
            }
            if (target[0] == '/') {
                const int top = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (top < 0) {
                    ok = false;
                    break;
                }
                close(cur);
                cur = top;
            }
            PushNames(todo, target);
            if (todo.empty()) ok = fstat(cur, &w.end) == 0; // a link to "/" or "."
        } else if (!todo.empty()) {
            const int next = openat(cur, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) {
                ok = false;
            } else {
                close(cur);
                cur = next;
            }
        }
    }
    const int e = errno;
    close(cur);
    errno = e;
    return ok;
}

// The user's primary group and groups as the user database lists them; a
// user it does not know has the link's group alone.
void GroupsOf(uid_t uid, gid_t linkGid, gid_t& gid, std::vector<gid_t>& groups, CWideString& name) {
    // The last user asked for on this thread: the files below one link are
    // opened one after the other.
    struct Known {
        bool bValid = false;
        uid_t uid = 0;
        gid_t linkGid = 0, gid = 0;
        std::vector<gid_t> groups;
        CWideString name;
    };
    thread_local Known t_known;
    if (t_known.bValid && t_known.uid == uid && t_known.linkGid == linkGid) {
        gid = t_known.gid;
        groups = t_known.groups;
        name = t_known.name;
        return;
    }
    struct Remember {
        uid_t uid;
        gid_t linkGid;
        gid_t& gid;
        std::vector<gid_t>& groups;
        CWideString& name;
        ~Remember() {
            t_known.bValid = true;
            t_known.uid = uid;
            t_known.linkGid = linkGid;
            t_known.gid = gid;
            t_known.groups = groups;
            t_known.name = name;
        }
    } remember{uid, linkGid, gid, groups, name};
    gid = linkGid;
    groups.assign(1, linkGid);
    name.Format(u"%u", (unsigned)uid);
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* p = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &p) != 0 || !p) return;
    gid = p->pw_gid;
    name = Utf8ToWide(p->pw_name);
    int n = 64;
    groups.resize((size_t)n);
    if (getgrouplist(p->pw_name, gid, groups.data(), &n) < 0) {
        groups.resize((size_t)n);
        if (getgrouplist(p->pw_name, gid, groups.data(), &n) < 0) n = 0;
    }
    groups.resize((size_t)n);
    if (groups.empty()) groups.push_back(gid);
}

// Opens rel from the folder folderFd with the file-system identity of uid
// (gid, groups) on this thread alone: what that user could open itself.
// bSwitched false: the identity cannot be taken (an unprivileged run).
int OpenAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, int folderFd, const char* rel, int flags,
               bool& bSwitched) {
    bSwitched = false;
    const int nOwn = getgroups(0, nullptr);
    std::vector<gid_t> own((size_t)std::max(nOwn, 0));
    if (nOwn < 0 || (nOwn > 0 && getgroups(nOwn, own.data()) != nOwn)) return -1;
    // The raw calls change this thread's identity only (the library's
    // setgroups would change every thread's).
    const uid_t ownFsUid = (uid_t)syscall(SYS_setfsuid, (uid_t)-1);
    const gid_t ownFsGid = (gid_t)syscall(SYS_setfsgid, (gid_t)-1);
    if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return -1;
    syscall(SYS_setfsgid, gid);
    syscall(SYS_setfsuid, uid);
    bSwitched = (uid_t)syscall(SYS_setfsuid, (uid_t)-1) == uid && (gid_t)syscall(SYS_setfsgid, (gid_t)-1) == gid;
    const int fd = bSwitched ? openat(folderFd, rel, flags) : -1;
    const int e = errno;
    syscall(SYS_setfsuid, ownFsUid);
    syscall(SYS_setfsgid, ownFsGid);
    if (syscall(SYS_setgroups, own.size(), own.data()) != 0) abort(); // never runs on as another user
    errno = e;
    return fd;
}

// POSIX access ACL entries (the extended attribute's form).
constexpr uint16_t kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08, kAclMask = 0x10, kAclOther = 0x20;

// Whether uid (with groups) may do want (4 read, 1 search) on what st
// describes, whose access ACL is acl (empty: none), by its bits.
bool MayAccess(const struct stat& st, const std::string& acl, uid_t uid, const std::vector<gid_t>& groups,
               unsigned want) {
    auto inGroups = [&](gid_t g) { return std::find(groups.begin(), groups.end(), g) != groups.end(); };
    if (uid == 0 || st.st_uid == uid) return uid == 0 || ((st.st_mode >> 6) & want) == want;
    if (acl.size() >= 12 && (acl.size() - 4) % 8 == 0) {
        unsigned mask = 7, other = 0;
        bool bUser = false, bGroup = false, bGroupMay = false;
        unsigned user = 0;
        for (size_t at = 4; at < acl.size(); at += 8) {
            uint16_t tag, perm;
            uint32_t id;
            memcpy(&tag, acl.data() + at, 2);
            memcpy(&perm, acl.data() + at + 2, 2);
            memcpy(&id, acl.data() + at + 4, 4);
            if (tag == kAclMask) mask = perm;
            if (tag == kAclOther) other = perm;
            if (tag == kAclUser && id == uid) bUser = true, user = perm;
            const bool bMember = (tag == kAclGroupObj && inGroups(st.st_gid)) || (tag == kAclGroup && inGroups(id));
            bGroup = bGroup || bMember;
            bGroupMay = bGroupMay || (bMember && (perm & want) == want);
        }
        if (bUser) return (user & mask & want) == want;
        if (bGroup) return bGroupMay && (mask & want) == want;
        return (other & want) == want;
    }
    if (inGroups(st.st_gid)) return ((st.st_mode >> 3) & want) == want;
    return (st.st_mode & want) == want;
}

std::string AclOf(int fd, const char* path) {
    char buf[4096];
    const ssize_t n = fd >= 0 ? fgetxattr(fd, "system.posix_acl_access", buf, sizeof buf)
                              : getxattr(path, "system.posix_acl_access", buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

// For a run that cannot take another user's identity: whether uid could
// read the object open at fd (and search it, a folder) and search every
// folder above it, by their bits and ACLs.
bool OwnerMayRead(int fd, uid_t uid, const std::vector<gid_t>& groups) {
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        !MayAccess(st, AclOf(fd, nullptr), uid, groups, S_ISDIR(st.st_mode) ? 5u : 4u))
        return false;
    char real[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(self.c_str(), real, sizeof real - 1);
    if (n <= 0 || real[0] != '/') return false;
    std::string up(real, (size_t)n);
    while (up.size() > 1) {
        const size_t slash = up.rfind('/');
        up = slash == 0 ? "/" : up.substr(0, slash);
        if (stat(up.c_str(), &st) != 0 || !MayAccess(st, AclOf(-1, up.c_str()), uid, groups, 1)) return false;
    }
    return true;
}

bool SameObject(int fd, const struct stat& st) {
    struct stat now;
    return fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// Opens rel below dirFd in one call that fails at any link on the way
// (openat2 RESOLVE_NO_SYMLINKS); -1 where it fails for any reason, also
// where the kernel has no such call.
int OpenNoLinks(int dirFd, const char* rel, int flags) {
#ifdef SYS_openat2
    struct {
        uint64_t flags;
        uint64_t mode;
        uint64_t resolve;
    } how{(uint64_t)(unsigned)flags, 0, 0x04 /* RESOLVE_NO_SYMLINKS */};
    static std::atomic<bool> s_bNone{false};
    if (s_bNone.load(std::memory_order_relaxed)) return -1;
    const int fd = (int)syscall(SYS_openat2, dirFd, rel, &how, sizeof how);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) s_bNone.store(true, std::memory_order_relaxed);
    return fd;
#else
    (void)dirFd;
    (void)rel;
    (void)flags;
    return -1;
#endif
}

} // namespace

int WinFileSys::OpenToRead(const CWideString& path, bool bFolder, int& errKind, CWideString& err,
                           bool* pRefused) const {
    if (pRefused) *pRefused = false;
    CNarrowString name;
    int dirFd = AT_FDCWD;
    if (!NativeAt(path, dirFd, name, errKind, err)) return -1;
    const char16_t* const what = bFolder ? u"Cannot list folder " : u"Cannot open file to read: ";
    // A file is opened without waiting at a named pipe; a folder's open
    // refuses anything but a folder before it could wait.
    const int flags = O_RDONLY | O_CLOEXEC | (bFolder ? O_DIRECTORY : O_NONBLOCK);
    // The root itself, or a path outside it: where the user pointed the side.
    if (dirFd == AT_FDCWD) {
        const int fd = open(name.GetString(), flags);
        if (fd < 0) Fail(errno, what, DisplayPath(path), errKind, err, true);
        return fd;
    }
    // No link on the way: folders above the name were opened without links.
    if (name.Find('/') < 0) {
        const int fd = openat(dirFd, name.GetString(), flags | O_NOFOLLOW);
        if (fd >= 0) return fd;
        if (errno != ELOOP && errno != ENOTDIR) {
            Fail(errno, what, DisplayPath(path), errKind, err, true);
            return -1;
        }
    }
    // No link anywhere on the way, the common case: one call. Where it
    // fails (a link met, or no such call), the names are walked one by one.
    if (name.Find('/') >= 0) {
        const int fd = OpenNoLinks(dirFd, name.GetString(), flags);
        if (fd >= 0) return fd;
    }
    PathWalk w;
    if (!WalkPath(dirFd, name.GetString(), w)) {
        Fail(errno, what, DisplayPath(path), errKind, err, true);
        return -1;
    }
    auto changed = [&](int fd) {
        close(fd);
        errKind = FSE_GENERAL;
        err += CWideString(what) + DisplayPath(path) + u": it changed while it was opened";
        return -1;
    };
    if (w.links.empty()) {
        // Only the running user's and root's links: followed as they are.
        // What is opened must be what the walk came to.
        const int fd = openat(dirFd, name.GetString(), flags);
        if (fd < 0) Fail(errno, what, DisplayPath(path), errKind, err, true);
        return fd < 0 || SameObject(fd, w.end) ? fd : changed(fd);
    }
    // Each other user's link on the way is followed as its owner: from the
    // link's folder, with the owner's identity. The object is read from
    // that descriptor.
    int fd = -1;
    for (const ForeignLink& l : w.links) {
        gid_t gid = 0;
        std::vector<gid_t> groups;
        CWideString owner;
        GroupsOf(l.uid, l.gid, gid, groups, owner);
        bool bSwitched = false;
        int f = OpenAsUser(l.uid, gid, groups, l.folderFd, l.rest.c_str(), flags, bSwitched);
        bool bMay = f >= 0;
        if (!bSwitched) {
            // Not privileged: opened as the running user, judged by the bits.
            f = openat(l.folderFd, l.rest.c_str(), flags);
            bMay = f >= 0 && OwnerMayRead(f, l.uid, groups);
        } else if (f < 0 && errno != EACCES && errno != EPERM) {
            Fail(errno, what, DisplayPath(path), errKind, err, true);
            if (fd >= 0) close(fd);
            return -1;
        }
        if (!bMay) {
            if (f >= 0) close(f);
            if (fd >= 0) close(fd);
            if (pRefused) *pRefused = true;
            errKind = FSE_GENERAL;
            err += u"Link not followed: " + DisplayPath(path) + u" is reached through a link of user '" + owner +
                   u"' to what that user cannot read";
            return -1;
        }
        if (fd < 0) {
            fd = f;
            continue;
        }
        struct stat st;
        const bool bSame = fstat(fd, &st) == 0 && SameObject(f, st);
        close(f);
        if (!bSame) return changed(fd);
    }
    return fd;
}
