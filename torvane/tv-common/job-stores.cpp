#include "job-stores.h"

#include "job-forms.h"
#include "zor-file.h"
#include "zor-http.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-registry.h"
#include "zor-sysfolders.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <vector>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

std::atomic<bool> g_bLoadFromRegistry{false};
std::atomic<bool> g_bSaveToRegistry{false};
std::atomic<bool> g_bKeywordTextFiles{false};
CWideString g_sProfileFolder;
std::atomic<bool> g_bPortable{false};

namespace {

std::mutex g_ProfileLock;               // guards g_sProfileFolder
std::recursive_mutex g_OptionsSaveLock; // saves and loads of the options

// What a user can do with a damaged settings file that was moved aside.
CWideString KeptAsideAdvice(const CWideString& badPath, bool bJobs) {
    return bJobs ? u"\nThe damaged file is kept as " + badPath +
                       u": each job's folders and options stand in it as text. Add the jobs again; their "
                       u"folders keep their state, so nothing is synced anew."
                 : u"\nThe damaged file is kept as " + badPath + u": set the options again as they stand in it.";
}

// ---------------------------------------------------------------- small helpers
void AppendErrno(CWideString& sErr, const char16_t* what, const CWideString& path, int e) {
    sErr.AppendFormat(u"%s%s: %s", what, path, CWideString(strerror(e)));
}

// Keyword text as the registry keeps it: one UTF-16 unit per byte, every
// line feed a blank.
CWideString TixToRegistry(const CNarrowString& text) {
    CNarrowString s = text;
    s.Replace('\n', ' ');
    CWideString w;
    w.Preallocate(s.GetLength());
    for (int i = 0; i < s.GetLength(); i++) w += (char16_t)(unsigned char)s[i];
    return w;
}
CNarrowString RegistryToTix(const CWideString& w) {
    CNarrowString s;
    s.Preallocate(w.GetLength());
    for (int i = 0; i < w.GetLength(); i++) s += (char)(w[i] > 255 ? '?' : (unsigned char)w[i]);
    return s;
}

bool IsTixPath(const CWideString& path) {
    return path.EndsWithNoCase(u".tix");
}

// The exclusive lock of one store file, held while the file is written: an
// flock on the path with the extension ".lock" (shared by the ".tic" and
// ".tix" forms, which share one ".tmp" name), so that two processes never
// write the same temporary file.
class CStoreFileLock {
public:
    bool Lock(const CWideString& path, CWideString& sErr) {
        CWideString lockPath = ReplaceExtension(path, u".lock");
        CNarrowString sys = ZorNativePath(lockPath);
        do {
            m_fd = ::open(sys, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        } while (m_fd < 0 && errno == EINTR);
        if (m_fd < 0) {
            AppendErrno(sErr, u"cannot open lock file ", lockPath, errno);
            return false;
        }
        int r;
        do {
            r = ::flock(m_fd, LOCK_EX);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            AppendErrno(sErr, u"cannot lock ", lockPath, errno);
            return false;
        }
        return true;
    }
    ~CStoreFileLock() {
        if (m_fd >= 0) ::close(m_fd);
    }

private:
    int m_fd = -1;
};

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= (size_t)w;
    }
    return true;
}

void SyncFolderOf(const CNarrowString& sysPath) {
    int slash = sysPath.ReverseFind('/');
    CNarrowString dir = slash > 0 ? sysPath.Left(slash) : CNarrowString(slash == 0 ? "/" : ".");
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

enum class StoreStep { Open, Write, Rename };

// Writes the bytes as the whole new content of a store file: the temporary
// file (path with ".tmp", mode 0600) is written, synced and closed; with
// bBackup ".bak" becomes a hard link to the old file; then one rename
// replaces the file. Every step is checked; on failure the old file stays
// and the temporary file is removed.
bool WriteStoreFile(const CWideString& path, const CNarrowString& content, bool bBackup,
                    StoreStep& failedStep, CWideString& sErr) {
    CStoreFileLock lock;
    failedStep = StoreStep::Open;
    if (!lock.Lock(path, sErr)) return false;
    CWideString tmpPath = ReplaceExtension(path, u".tmp");
    CNarrowString sysTmp = ZorNativePath(tmpPath), sysPath = ZorNativePath(path);
    // In the profile, the names are taken in the folder that was checked.
    int dirFd = AT_FDCWD;
    CNarrowString tmpName = sysTmp, name = sysPath;
    if (ZorPrivateFolderAt(sysTmp, dirFd, tmpName)) {
        if (dirFd < 0) {
            AppendErrno(sErr, u"cannot open file to write: ", tmpPath, errno);
            return false;
        }
        const int slash = sysPath.ReverseFind('/');
        name = sysPath.Mid(slash + 1);
    } else {
        dirFd = AT_FDCWD;
    }
    struct CloseDir {
        int fd;
        ~CloseDir() {
            if (fd >= 0) ::close(fd);
        }
    } closeDir{dirFd};
    // A new file: what stands at the name is removed, never written through.
    const int fd = ZorCreateNewFileAt(dirFd, tmpName, O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        AppendErrno(sErr, u"cannot open file to write: ", tmpPath, errno);
        return false;
    }
    failedStep = StoreStep::Write;
    bool bOk = ::fchmod(fd, 0600) == 0 && WriteAll(fd, content.GetString(), (size_t)content.GetLength()) &&
               ::fsync(fd) == 0;
    int e = errno;
    if (::close(fd) != 0 && bOk) {
        bOk = false;
        e = errno;
    }
    if (!bOk) {
        AppendErrno(sErr, u"cannot write file: ", tmpPath, e);
        ::unlinkat(dirFd, tmpName, 0);
        return false;
    }
    if (bBackup) {
        // The backup only ever takes a file with content: an empty or missing
        // list never replaces the jobs it holds. It is a copy of its own
        // (written whole, then renamed), so that the list keeps one name.
        CNarrowString old;
        int k = 0;
        CWideString re;
        const CNarrowString bak = ZorNativePath(ReplaceExtension(path, u".bak")),
                            bakNew = ZorNativePath(ReplaceExtension(path, u".bak-new"));
        const auto inFolder = [&](const CNarrowString& full) {
            return dirFd == AT_FDCWD ? full : full.Mid(full.ReverseFind('/') + 1);
        };
        if (ReadWholeFile(path, 256 << 20, old, k, re) && !old.IsEmpty()) {
            const int bfd = ZorCreateNewFileAt(dirFd, inFolder(bakNew), O_WRONLY | O_CLOEXEC, 0600);
            const bool bKept = bfd >= 0 && ::fchmod(bfd, 0600) == 0 &&
                               WriteAll(bfd, old.GetString(), (size_t)old.GetLength()) && ::fsync(bfd) == 0;
            const int e2 = errno;
            if (bfd >= 0) ::close(bfd);
            if (!bKept || ::renameat(dirFd, inFolder(bakNew), dirFd, inFolder(bak)) != 0) {
                ZorGetProgramLog().Printf(u"cannot keep backup of %s: %s\n", path,
                                          CWideString(strerror(bKept ? errno : e2)));
                ::unlinkat(dirFd, inFolder(bakNew), 0);
            }
        }
    }
    failedStep = StoreStep::Rename;
    if (::renameat(dirFd, tmpName, dirFd, name) != 0) {
        AppendErrno(sErr, u"cannot rename to ", path, errno);
        ::unlinkat(dirFd, tmpName, 0);
        return false;
    }
    if (dirFd >= 0)
        (void)::fsync(dirFd);
    else
        SyncFolderOf(sysPath);
    return true;
}

// Renames a damaged store file aside (mode 0600); the new name in badPath.
bool RenameAside(const CWideString& path, CWideString& badPath, CWideString& sErr) {
    badPath = MakeBadFileName(path);
    if (!ZorMoveFile(path, badPath, sErr)) return false;
    (void)::chmod(ZorNativePath(badPath), 0600);
    return true;
}

bool ReadStoreFile(const CWideString& path, CAutoPtrT<ZorInStream>& in, CWideString& sErr) {
    CWideString e;
    if (OpenFileReader(path, false, in, e)) return true;
    sErr += e;
    // A file that another user made, or that has a second name through
    // which someone else may change it, is never read as the user's own.
    if (StoreFileRefused(e))
        sErr += u". To fix: if it is not yours, remove it (rm '" + path +
                u"'); if it is, make it a file of your own with one name (cp it to a new name, remove the "
                u"old name and every other name of it, and move the copy back)";
    return false;
}

// Gives loaded jobs unique names that can be stored: a later job whose name
// equals an earlier one's ignoring case, or that is empty or unsafe, is
// renamed "NAME (2)" (or the next free number). Notices go to sNotices.
void MakeLoadedNamesUnique(CTorvaneSettings& settings, CWideString& sNotices) {
    std::vector<CSyncJobFromList*> jobs = settings.GetJobs();
    std::unordered_set<std::u16string> used;
    auto fold = [](const CWideString& s) {
        CWideString f = s;
        f.MakeLower();
        return std::u16string(f.GetString(), (size_t)f.GetLength());
    };
    for (CSyncJobFromList* p : jobs) used.insert(fold(p->GetName()));
    std::unordered_set<std::u16string> seen;
    for (CSyncJobFromList* p : jobs) {
        CWideString name = p->GetName(), err;
        bool bValid = IsValidJobName(name, err);
        if (bValid && seen.insert(fold(name)).second) continue;
        CWideString base = name;
        for (int i = 0; i < base.GetLength(); i++) {
            char16_t c = base[i];
            if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) base.SetAt(i, u'_');
        }
        if (base.IsEmpty() || base == u"." || base == u"..") base = u"Job";
        CWideString candidate;
        for (int n = 2;; n++) {
            candidate.Format(u"%s (%d)", base, n);
            if (!used.count(fold(candidate))) break;
        }
        used.insert(fold(candidate));
        seen.insert(fold(candidate));
        p->m_Options.m_sName = candidate;
        CWideString notice;
        notice.Format(
            u"Job '%s' has been renamed to '%s': its name is used by another job or cannot be stored.\n",
            name, candidate);
        ZorGetProgramLog().WriteLine(notice);
        sNotices += notice;
    }
}

// After the jobs file at path was found empty or damaged and set aside: the
// previous list in the ".bak" file takes its place, in loaded and on disk
// (the backup itself stays as it is). False, with loaded untouched, when
// there is no readable backup with jobs; else sWarning gets what was done.
bool RestoreJobsFromBackup(const CWideString& path, CTorvaneSettings& loaded, CWideString& sWarning) {
    const CWideString bakPath = ReplaceExtension(path, u".bak");
    CNarrowString bytes;
    int kind = 0;
    CWideString err;
    if (!ZorFileExists(bakPath) || !ReadWholeFile(bakPath, 256 << 20, bytes, kind, err) || bytes.IsEmpty())
        return false;
    CTorvaneSettings fromBak;
    ZorStringStream in(bytes);
    if (!(IsTixPath(path) ? ReadJobListTix(fromBak, in, err) : ReadJobListTic(fromBak, in, err)) ||
        fromBak.GetJobCount() == 0)
        return false;
    // Read again into the list being loaded, now that the backup is known good.
    CWideString readErr;
    ZorStringStream again(bytes);
    if (!loaded.RemoveAllJobs(readErr) ||
        !(IsTixPath(path) ? ReadJobListTix(loaded, again, readErr) : ReadJobListTic(loaded, again, readErr)))
        return false;
    StoreStep step;
    CWideString writeErr;
    sWarning.AppendFormat(u"\nBad jobs file has been renamed to %s.\nThe previous job list (%d jobs) has been "
                          u"taken from %s",
                          MakeBadFileName(path), loaded.GetJobCount(), bakPath);
    if (WriteStoreFile(path, bytes, false, step, writeErr))
        sWarning += u" and saved again.";
    else
        sWarning += u"; it cannot be saved again: " + writeErr;
    return true;
}

// The list kept in the ".bak" file beside the jobs file at path may hold
// passwords in its folder URLs (an older version's list, or the one a
// conversion just replaced): they move into the encrypted fields there as
// well, so that no file keeps one in clear. A backup that cannot be read is
// left as it is.
void MoveBackupUrlPasswords(const CWideString& path) {
    const CWideString bakPath = ReplaceExtension(path, u".bak");
    CNarrowString bytes;
    int kind = 0;
    CWideString err;
    if (!ZorFileExists(bakPath) || !ReadWholeFile(bakPath, 256 << 20, bytes, kind, err) || bytes.IsEmpty())
        return;
    CTorvaneSettings bak;
    ZorStringStream in(bytes);
    if (!(IsTixPath(path) ? ReadJobListTix(bak, in, err) : ReadJobListTic(bak, in, err))) return;
    bool bAny = false;
    for (CSyncJobFromList* p : bak.GetJobs()) {
        bool bMoved = false;
        if (!MoveUrlPasswords(p->m_Options, bMoved, err))
            ZorGetProgramLog().Printf(u"LoadJobs: cannot encrypt a password of job '%s' in %s: %s\n",
                                      p->GetName(), bakPath, err);
        bAny |= bMoved;
    }
    if (!bAny) return;
    ZorStringOutStream out;
    StoreStep step = StoreStep::Write;
    err.Empty();
    if (!(IsTixPath(path) ? WriteJobListTix(bak, out, false, err) : WriteJobListTic(bak, out, err)) ||
        !WriteStoreFile(bakPath, out.GetText(), false, step, err))
        ZorGetProgramLog().Printf(u"LoadJobs: cannot rewrite %s: %s\n", bakPath, err);
}

} // namespace

// ---------------------------------------------------------------- names and folders
CWideString GetAppName() {
    return g_bPortable.load() ? u"TorvaneRoam" : u"Torvane";
}

bool GetProfileFolder(CWideString& folder, CWideString& sErr) {
    std::lock_guard<std::mutex> lock(g_ProfileLock);
    if (!g_sProfileFolder.IsEmpty()) {
        folder = g_sProfileFolder;
        return true;
    }
    bool bPortable = false;
    CWideString found;
    if (!ZorGetProfileFolder(found, bPortable, sErr)) return false;
    g_bPortable.store(bPortable);
    g_sProfileFolder = found;
    folder = found;
    return true;
}

void ResetProfileFolder() {
    std::lock_guard<std::mutex> lock(g_ProfileLock);
    g_sProfileFolder.Empty();
    g_bPortable.store(false);
}

namespace {

// Whether the group gid is the private group of the user uid: the user's
// primary group, of the user's name, with no other member listed and no other
// account in it as its primary group (the user-private-group scheme). Such a
// group may write the user's folders: nobody else is in it.
bool IsPrivateGroupOf(uint32_t gid, uint32_t uid) {
    std::vector<char> buf(16384);
    struct passwd pw, *pPw = nullptr;
    if (getpwuid_r((uid_t)uid, &pw, buf.data(), buf.size(), &pPw) != 0 || !pPw || pw.pw_gid != (gid_t)gid)
        return false;
    const std::string user = pw.pw_name;
    std::vector<char> gbuf(65536);
    struct group gr, *pGr = nullptr;
    if (getgrgid_r((gid_t)gid, &gr, gbuf.data(), gbuf.size(), &pGr) != 0 || !pGr || user != gr.gr_name)
        return false;
    for (char** m = gr.gr_mem; m && *m; ++m)
        if (user != *m) return false;
    bool bOthers = false;
    setpwent();
    while (struct passwd* p = getpwent())
        if (p->pw_gid == (gid_t)gid && p->pw_uid != (uid_t)uid) bOthers = true;
    endpwent();
    return !bOthers;
}

// The mount of the open folder fd as /proc/self/mountinfo tells it: its file
// system type and its super-block options.
bool MountOf(int fd, std::string& type, std::string& options) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    CNarrowString text;
    int k = 0;
    CWideString e;
    if (!ReadWholeFile(u"/proc/self/mountinfo", 16 << 20, text, k, e)) return false;
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::string all(text.GetString(), (size_t)text.GetLength());
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        if (nl == std::string::npos) nl = all.size();
        const std::string line = all.substr(pos, nl - pos);
        pos = nl + 1;
        std::vector<std::string> f;
        for (size_t i = 0; i < line.size();) {
            size_t sp = line.find(' ', i);
            if (sp == std::string::npos) sp = line.size();
            f.push_back(line.substr(i, sp - i));
            i = sp + 1;
        }
        if (f.size() < 3 || f[2] != dev) continue;
        size_t dash = 0;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 2 >= f.size()) continue;
        type = f[dash + 1];
        options = dash + 3 < f.size() ? f[dash + 3] : std::string();
        return true;
    }
    return false;
}

// Whether no other user can reach the folder fd at all: a FUSE mount (such
// as exfat-fuse's of a stick, whose modes are one for the whole mount and
// cannot be changed) that the running user made without allow_other, which
// the kernel keeps from every other user.
bool IsUnsharedFuseMount(int fd) {
    struct statfs sf;
    if (fstatfs(fd, &sf) != 0 || sf.f_type != 0x65735546) return false; // FUSE_SUPER_MAGIC
    std::string type, options;
    if (!MountOf(fd, type, options)) return false;
    const std::string opts = "," + options + ",";
    return opts.find(",allow_other,") == std::string::npos &&
           opts.find(",user_id=" + std::to_string(geteuid()) + ",") != std::string::npos;
}

// A file system that keeps no owner and mode per file (FAT, exFAT, NTFS,
// through the kernel or a FUSE driver of a block device): its mount options
// give every file the same, which chmod cannot change.
bool HasNoOwnModes(int fd) {
    struct statfs sf;
    if (fstatfs(fd, &sf) != 0) return false;
    if (sf.f_type == 0x65735546) { // FUSE
        std::string type, options;
        return MountOf(fd, type, options) && type == "fuseblk";
    }
    return sf.f_type == 0x4d44 /* MSDOS */ || sf.f_type == 0x2011BAB0 /* exFAT */ ||
           sf.f_type == 0x5346544e /* NTFS */;
}

CWideString ModeText(const struct stat& st) {
    return CWideString::Formatted(u"%04o", (unsigned)(st.st_mode & 07777));
}

} // namespace

bool StoreFileRefused(const CWideString& err) {
    return err.Find(u": refused, as ") >= 0;
}

bool CheckProfileFolderSafe(const CWideString& folder, CWideString& err, int* pFd) {
    if (pFd) *pFd = -1;
    CNarrowString native = ZorNativePath(folder);
    if (!native.IsEmpty() && native[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) native = CNarrowString(cwd) + "/" + native;
    }
    // A link on the way is its owner's to point elsewhere.
    CNarrowString link;
    uint32_t owner = 0;
    if (ZorFindUntrustedLink(native, link, owner)) {
        err += u"the profile folder " + folder + u" is reached through the link " + Utf8ToWide(link) +
               u", owned by " + ZorOwnerName(owner) +
               u": refused, as that user could point it at other jobs, options and logs. To fix: name a "
               u"profile folder reached without that link (--profile DIR)";
        return false;
    }
    char* real = ::realpath(native.GetString(), nullptr);
    if (!real) return true; // a missing folder: its users say so
    const std::string path = real;
    free(real);
    // Each folder from the top, opened without links through the one above
    // it: what is looked at is what the run then uses.
    const uint32_t me = (uint32_t)::geteuid();
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    std::string at = "/";
    size_t from = 1;
    for (;;) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            ::close(fd);
            return true;
        }
        const bool bProfile = from > path.size();
        const CWideString shown = Utf8ToWide(at.c_str());
        const CWideString what = bProfile ? u"the profile folder " + folder
                                          : u"the folder " + shown + u" above the profile folder " + folder;
        CWideString why, fix;
        const bool bOwnerOk = st.st_uid == me || st.st_uid == 0;
        const bool bOthersWrite = (st.st_mode & 022) != 0;
        if (!bOwnerOk) {
            why = bProfile ? u"it is not the folder of " + ZorOwnerName(me) + u" who runs torvane"
                           : u"its owner could put another folder in the profile's place";
            fix = bProfile ? u"use a profile folder of your own (--profile DIR or TORVANE_PROFILE_DIR)" +
                                 (HasNoOwnModes(fd) ? u"; on a drive without owners of its own (FAT, exFAT), "
                                                      u"mount it with the options uid=" +
                                                          CWideString::Formatted(u"%u", me) + u",umask=077"
                                                    : CWideString())
                           : CWideString(u"keep the profile in folders of your own or root's "
                                         u"(--profile DIR or TORVANE_PROFILE_DIR)");
        } else if (bOthersWrite && !(!bProfile && (st.st_mode & S_ISVTX)) &&
                   !((st.st_mode & 002) == 0 && IsPrivateGroupOf((uint32_t)st.st_gid, (uint32_t)st.st_uid)) &&
                   !(st.st_uid == me && IsUnsharedFuseMount(fd))) {
            why = (st.st_mode & 002) ? CWideString(u"every user can write it")
                                     : u"the members of its group " +
                                           Utf8ToWide(std::to_string(st.st_gid).c_str()) + u" can write it";
            if (struct group* g = getgrgid(st.st_gid); g && !(st.st_mode & 002))
                why = u"the members of its group " + Utf8ToWide(g->gr_name) + u" can write it";
            why += bProfile ? CWideString() : CWideString(u" and put another folder in the profile's place");
            if (HasNoOwnModes(fd))
                fix = u"its drive keeps no owners and modes of its own, so chmod cannot change it: mount it "
                      u"with the options uid=" +
                      CWideString::Formatted(u"%u", me) + u",umask=077 (mount.exfat-fuse -o uid=" +
                      CWideString::Formatted(u"%u", me) + u",umask=077 ...), so that no other user can write it";
            else if (bProfile)
                fix = u"chmod go-w " + shown;
            else
                fix = u"chmod go-w " + shown + u" (or chmod +t " + shown +
                      u" where others must create in it), or keep the profile elsewhere (--profile DIR)";
        }
        if (!why.IsEmpty()) {
            ::close(fd);
            err += what + u" is owned by " + ZorOwnerName((uint32_t)st.st_uid) + u" with mode " + ModeText(st) +
                   u": refused, as " + why + u", and another user could change the jobs, options and logs "
                   u"kept there. To fix: " + fix;
            return false;
        }
        if (bProfile) break;
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(from, slash - from);
        from = slash + 1;
        if (part.empty()) continue;
        const int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        if (next < 0) {
            err += u"the profile folder " + folder + u" changed while it was checked (" +
                   Utf8ToWide(strerror(errno)) + u"): refused";
            return false;
        }
        fd = next;
        at = at == "/" ? "/" + part : at + "/" + part;
    }
    if (pFd)
        *pFd = fd;
    else
        ::close(fd);
    return true;
}

bool ResolveStorePath(const CWideString& path, const char16_t* baseName, CWideString& resolved,
                      CWideString& sErr) {
    if (!path.IsEmpty() && IsAbsoluteWinPath(path)) {
        resolved = path;
        return true;
    }
    CWideString folder;
    if (!GetProfileFolder(folder, sErr)) return false;
    if (path.IsEmpty())
        resolved = folder + u"/" + baseName + (g_bKeywordTextFiles.load() ? u".tix" : u".tic");
    else
        resolved = folder + u"/" + path;
    return true;
}

namespace {
// Index of the dot that starts the extension of the path's file name, or -1.
int ExtensionDot(const CWideString& path) {
    int slash = std::max(path.ReverseFind(u'/'), path.ReverseFind(u'\\'));
    int dot = path.ReverseFind(u'.');
    return dot > slash + 1 ? dot : -1;
}
} // namespace

CWideString MakeBadFileName(const CWideString& path) {
    int dot = ExtensionDot(path);
    if (dot < 0) return path + u"-bad";
    return path.Left(dot) + u"-bad" + path.Mid(dot);
}

bool SetAsideDamagedRegistry(CWideString& sSaid) {
    CNarrowString badPath;
    CWideString why, err;
    if (!ZorRegSetAsideDamagedHive(HKEY_CURRENT_USER, badPath, why, err)) {
        sSaid = err + u"\nThe registry file is left as it is and nothing is stored in it: move it away (or mend "
                      u"it) and start again.";
        return true;
    }
    if (badPath.IsEmpty()) return false;
    ZorGetProgramLog().Printf(u"Bad registry file set aside as %s: %s\n", badPath, why);
    sSaid = why;
    sSaid.AppendFormat(u"\nBad registry file has been renamed to %s.\nThe options set on jobs by hand (job add "
                       u"--set, job set), which a change of a job's Direction keeps, stand in it: set them again.",
                       badPath);
    return true;
}

CWideString ReplaceExtension(const CWideString& path, const char16_t* ext) {
    int dot = ExtensionDot(path);
    return (dot < 0 ? path : path.Left(dot)) + ext;
}

// ---------------------------------------------------------------- options
bool ProgramOptions::AddDefaultGlobalFilters(bool bAll) {
    static const char16_t* const kMasks[] = {u"cache.vfo", u"mru.vfo", u"mpp*.vfo",
                                             u"Vexaform Online Account.vfp", u"name *._tvtmp"};
    static const char16_t* const kMoreMasks[] = {u"/System Volume Information", u"Thumbs.db", u".DS_Store"};
    bool bAdded = false;
    for (const char16_t* m : kMasks) bAdded |= AddIfAbsent(m_GlobalFilters.m_lstExcluded, m);
    if (bAll)
        for (const char16_t* m : kMoreMasks) bAdded |= AddIfAbsent(m_GlobalFilters.m_lstExcluded, m);
    return bAdded;
}

bool ProgramOptions::InitialSave(CWideString& sErr) {
    AddDefaultGlobalFilters(true);
    return SaveOptions(false, u"Initial Save", sErr);
}

bool ProgramOptions::SaveOptions(bool bFullDump, const CWideString& sReason, CWideString& sErr) {
    std::lock_guard<std::recursive_mutex> lock(g_OptionsSaveLock);
    ZorGetProgramLog().Printf(u"SaveOptions: sReason=%s\n", sReason);
    if (g_bSaveToRegistry.load()) {
        ZorStringOutStream out;
        if (!WriteProgramOptionsTix(*this, out, bFullDump, 0, sErr)) return false;
        return RegSetStringValue(TixToRegistry(out.GetText()), HKEY_CURRENT_USER, kTorvaneRegKey,
                                 u"ProgOptionsTix", sErr);
    }
    CWideString path;
    if (!ResolveStorePath(m_sOptionsFile, u"options", path, sErr)) return false;
    m_sOptionsFile = path;
    ZorStringOutStream out;
    bool bOk = IsTixPath(path) ? WriteProgramOptionsTix(*this, out, bFullDump, 0, sErr)
                               : WriteProgramOptionsTic(*this, out, sErr);
    if (!bOk) return false;
    StoreStep step;
    return WriteStoreFile(path, out.GetText(), false, step, sErr);
}

bool ProgramOptions::LoadOptions(CWideString& sErr) {
    std::lock_guard<std::recursive_mutex> lock(g_OptionsSaveLock);
    // However the load ends, the HTTP layer gets the proxy of the program's
    // own record (other records are only read).
    struct ProxyFollows {
        const ProgramOptions* pOpt;
        ~ProxyFollows() {
            if (pOpt == &g_Settings.m_ProgramOptions) SetHttpProxyOptions(pOpt->m_ProxyServer);
        }
    } proxyFollows{this};
    if (g_bLoadFromRegistry.load()) {
        CWideString text;
        RegGetStringValueQuiet(text, HKEY_CURRENT_USER, kTorvaneRegKey, u"ProgOptionsTix");
        if (text.IsEmpty()) return true;
        ZorStringStream in(RegistryToTix(text));
        ProgramOptions read = *this;
        CWideString err;
        if (!ReadProgramOptionsTix(read, in, err)) {
            sErr = CWideString(u"cannot read prog options from registry: ") + err;
            return false;
        }
        *this = read;
    } else {
        CWideString path;
        if (!ResolveStorePath(m_sOptionsFile, u"options", path, sErr)) return false;
        m_sOptionsFile = path;
        RememberFilePath(path);
        if (!ZorFileExists(path)) {
            CWideString err;
            if (!InitialSave(err)) ZorGetProgramLog().Printf(u"LoadOptions: initial save failed: %s\n", err);
            return true;
        }
        CAutoPtrT<ZorInStream> in;
        if (!ReadStoreFile(path, in, sErr)) return false;
        ProgramOptions read = *this;
        CWideString err;
        bool bRead =
            IsTixPath(path) ? ReadProgramOptionsTix(read, *in, err) : ReadProgramOptionsTic(read, *in, err);
        in.Delete();
        if (!bRead) {
            // The damaged file is kept aside, never overwritten.
            sErr = err;
            CWideString badPath, renameErr;
            if (RenameAside(path, badPath, renameErr)) {
                sErr.AppendFormat(
                    u"\nBad options file has been renamed to %s.\nProgram Options were reset to default "
                    u"values.",
                    badPath);
                sErr += KeptAsideAdvice(badPath, false);
            } else {
                sErr.AppendFormat(
                    u"\nBad options file found and cannot be renamed to %s (%s); it was left as it is. Move it "
                    u"away (or mend it) and start again.",
                    badPath, renameErr);
            }
            ResetToDefaults();
            CWideString saveErr;
            // A file that could not be renamed is not replaced either.
            if (!ZorFileExists(path) && !InitialSave(saveErr))
                ZorGetProgramLog().Printf(u"LoadOptions: initial save failed: %s\n", saveErr);
            return false;
        }
        CWideString file = m_sOptionsFile;
        *this = read;
        m_sOptionsFile = file;
    }
    if (AddDefaultGlobalFilters(false)) {
        CWideString err;
        if (!SaveOptions(false, u"Added default global filters", err))
            ZorGetProgramLog().Printf(u"LoadOptions: save failed: %s\n", err);
    }
    return true;
}

// ---------------------------------------------------------------- jobs
bool CTorvaneSettings::LoadJobs(CWideString& sErr) {
    bool bResult = true, bPasswordsMoved = false;
    {
        // No save runs during a load; the jobs are read into a private list and
        // handed over with their final names, so walkers never see a half list.
        std::lock_guard<std::mutex> saveLock(m_SaveLock);
        if (!RemoveAllJobs(sErr)) return false;
        CTorvaneSettings loaded;
        bResult = LoadJobsInto(loaded, sErr);
        CWideString sNotices;
        MakeLoadedNamesUnique(loaded, sNotices);
        if (!sNotices.IsEmpty()) {
            if (!sErr.IsEmpty()) sErr += u"\n";
            sErr += sNotices;
        }
        for (CSyncJobFromList* p : loaded.GetJobs()) {
            // A list from an older version may hold passwords in its folder
            // URLs: they move into the encrypted fields.
            bool bMoved = false;
            CWideString moveErr;
            if (!MoveUrlPasswords(p->m_Options, bMoved, moveErr))
                ZorGetProgramLog().Printf(u"LoadJobs: cannot encrypt a password of job '%s': %s\n", p->GetName(),
                                          moveErr);
            bPasswordsMoved |= bMoved;
            loaded.DetachJob(p);
            AppendLoadedJob(p);
        }
    }
    if (bPasswordsMoved && bResult) {
        CWideString saveErr;
        if (!TvSaveJobs(false, u"Passwords moved out of folder URLs", saveErr))
            ZorGetProgramLog().Printf(u"LoadJobs: %s\n", saveErr);
    }
    if (!g_bSaveToRegistry.load() && !g_bLoadFromRegistry.load() && !m_sJobsFile.IsEmpty()) {
        std::lock_guard<std::mutex> saveLock(m_SaveLock);
        MoveBackupUrlPasswords(m_sJobsFile);
    }
    return bResult;
}

bool CTorvaneSettings::LoadJobsInto(CTorvaneSettings& loaded, CWideString& sErr) {
    bool bResult = true;
    if (!g_bLoadFromRegistry.load()) {
        CWideString path;
        if (!ResolveStorePath(m_sJobsFile, u"jobs", path, sErr)) return false;
        m_sJobsFile = path;
        RememberFilePath(path);
        if (!ZorFileExists(path)) return true;
        CAutoPtrT<ZorInStream> in;
        CWideString err;
        if (!ReadStoreFile(path, in, err)) {
            sErr = CWideString(u"Cannot open Jobs file: ") + path + u": " + err;
            return false;
        }
        bool bRead = IsTixPath(path) ? ReadJobListTix(loaded, *in, err) : ReadJobListTic(loaded, *in, err);
        in.Delete();
        // A list is never empty by accident: a file without a single byte was
        // cut short, not written by a save (an empty list still has content).
        uint64_t nSize = 0;
        int nKind = 0;
        CWideString sizeErr;
        if (bRead && ZorGetFileSizeByName(path, nSize, nKind, sizeErr) && nSize == 0) {
            bRead = false;
            err = u"the file is empty";
        }
        if (!bRead) {
            sErr = CWideString(u"Cannot parse Jobs file: ") + path + u": " + err;
            CWideString badPath, renameErr;
            if (RenameAside(path, badPath, renameErr)) {
                if (RestoreJobsFromBackup(path, loaded, sErr)) {
                    ZorGetProgramLog().WriteLine(sErr);
                    return true;
                }
                sErr.AppendFormat(
                    u"\nBad jobs file has been renamed to %s.\nNew Job list has been created, to replace "
                    u"the corrupted one.",
                    badPath);
                sErr += KeptAsideAdvice(badPath, true);
            } else {
                sErr.AppendFormat(
                    u"\nBad jobs file found and cannot be renamed to %s (%s); it was left as it is. Move it "
                    u"away (or mend it) and start again.",
                    badPath, renameErr);
            }
            bResult = false;
        }
    } else {
        CSafeRegKey key;
        CWideString err;
        std::vector<CWideString> names;
        if (!key.Open(HKEY_CURRENT_USER, kJobsRegKey, err, KEY_READ)) {
            // No job was ever saved: an empty list.
            if (err.EndsWith(u"the key does not exist")) return true;
            sErr = CWideString(u"Cannot open registry Jobs: ") + err;
            return false;
        }
        if (!key.EnumSubKeys(names, err)) {
            sErr = CWideString(u"Cannot read registry Jobs: ") + err;
            return false;
        }
        for (const CWideString& name : names) {
            CWideString text;
            RegGetStringValueQuiet(text, HKEY_CURRENT_USER, JobRegKey(name), u"tix");
            if (text.IsEmpty()) continue;
            ZorStringStream in(RegistryToTix(text));
            auto* pJob = new CSyncJobFromList;
            CWideString readErr;
            if (!ReadJobTix(*pJob, in, readErr)) {
                delete pJob;
                sErr = CWideString(u"Cannot parse job ") + name + u": " + readErr;
                bResult = false;
                break;
            }
            loaded.AppendLoadedJob(pJob);
        }
    }
    return bResult;
}

bool CTorvaneSettings::TvSaveJobs(bool bFullDump, const CWideString& sReason, CWideString& sErr) {
    std::lock_guard<std::mutex> saveLock(m_SaveLock);
    ZorGetProgramLog().Printf(u"TvSaveJobs: sReason=%s\n", sReason);
    if (g_bSaveToRegistry.load()) {
        // Every job is written before anything is deleted, so a failing write
        // loses nothing; then "tix" goes only under keys of jobs no longer listed.
        std::vector<CWideString> existing;
        {
            CSafeRegKey key;
            CWideString err;
            if (key.Open(HKEY_CURRENT_USER, kJobsRegKey, err, KEY_READ)) {
                if (!key.EnumSubKeys(existing, err)) {
                    sErr = CWideString(u"Cannot read registry Jobs: ") + err;
                    return false;
                }
            } else if (!err.EndsWith(u"the key does not exist")) {
                sErr = CWideString(u"Cannot open registry Jobs: ") + err;
                return false;
            }
        }
        std::vector<CWideString> listed;
        bool bOk = true;
        ForEachJob([&](CSyncJobFromList* p) {
            ZorStringOutStream out;
            bOk = p->WriteOptions(out, true, 0, sErr) &&
                  RegSetStringValue(TixToRegistry(out.GetText()), HKEY_CURRENT_USER, JobRegKey(p->GetName()),
                                    u"tix", sErr);
            listed.push_back(p->GetName());
            return bOk;
        });
        if (!bOk) return false;
        for (const CWideString& name : existing) {
            bool bListed = false;
            for (const CWideString& l : listed) bListed |= l.CompareNoCase(name) == 0;
            if (!bListed) RegDeleteValueQuiet(HKEY_CURRENT_USER, JobRegKey(name), u"tix");
        }
    } else {
        CWideString path;
        if (!ResolveStorePath(m_sJobsFile, u"jobs", path, sErr)) return false;
        m_sJobsFile = path;
        ZorStringOutStream out;
        CWideString err;
        bool bOk =
            IsTixPath(path) ? WriteJobListTix(*this, out, bFullDump, err) : WriteJobListTic(*this, out, err);
        // An empty list is stored as one blank line, so that a file of no
        // bytes always means one that was cut short.
        if (bOk && out.GetText().IsEmpty()) bOk = out.PutChar('\n', err);
        StoreStep step = StoreStep::Write;
        if (bOk) bOk = WriteStoreFile(path, out.GetText(), true, step, err);
        if (!bOk) {
            if (step == StoreStep::Open) {
                ZorGetProgramLog().Printf(u"TvSaveJobs: err2=%s\n", err);
                sErr = err;
            } else if (step == StoreStep::Write) {
                ZorGetProgramLog().Printf(u"TvSaveJobs: err3=%s\n", err);
                sErr = err;
            } else {
                sErr = CWideString(u" - Error saving profile: ") + err;
                ZorGetProgramLog().Printf(u"TvSaveJobs: err3=%s\n", sErr);
            }
            return false;
        }
    }
    ZorGetProgramLog().Printf(u"Job List saved: %s\n", sReason);
    return true;
}

// ---------------------------------------------------------------- last-run times and clean-up
void ReadLastRunTime(CSyncJobFromList* pJob) {
    if (!pJob || pJob->GetName().IsEmpty()) return;
    uint32_t n = 0;
    CWideString err;
    if (pJob->m_nLastRunTime.load() == 0 &&
        RegGetDwordValue(n, HKEY_CURRENT_USER, JobRegKey(pJob->GetName()), u"LastRunTime32", err))
        pJob->m_nLastRunTime.store((int64_t)n);
    n = 0;
    if (pJob->m_nLastSyncTime.load() < 0 &&
        RegGetDwordValue(n, HKEY_CURRENT_USER, JobRegKey(pJob->GetName()), u"LastSyncTime32", err))
        pJob->m_nLastSyncTime.store((int64_t)n);
}

void WriteLastRunTime(CSyncJobFromList* pJob) {
    if (!pJob) return;
    int64_t now = CZorTime::Now().GetTime();
    pJob->m_nLastRunTime.store(now);
    if (pJob->m_bSyncCarriedOut) pJob->m_nLastSyncTime.store(now);
    if (pJob->GetName().IsEmpty()) return;
    RegSetDwordValueQuiet((uint32_t)now, HKEY_CURRENT_USER, JobRegKey(pJob->GetName()), u"LastRunTime32");
    if (pJob->m_nLastSyncTime.load() >= 0)
        RegSetDwordValueQuiet((uint32_t)pJob->m_nLastSyncTime.load(), HKEY_CURRENT_USER, JobRegKey(pJob->GetName()),
                              u"LastSyncTime32");
}

void CleanupOldGlobalLogs(const ProgramOptions& opt) {
    uint32_t nLast = 0;
    RegGetDwordValueQuiet(nLast, HKEY_CURRENT_USER, kTorvaneRegKey, u"CleanUpTime");
    uint32_t now = (uint32_t)CZorTime::Now().GetTime();
    if (nLast != 0 && (uint32_t)(now - nLast) < 86400u) return;
    RegSetDwordValueQuiet(now, HKEY_CURRENT_USER, kTorvaneRegKey, u"CleanUpTime");
    // No age limit: every log is kept.
    int nDays = opt.m_nLogRetainDays;
    if (nDays <= 0) return;
    std::vector<CWideString> deleted;
    CWideString err;
    CWideString logFolder = GetLogFolder();
    if (!logFolder.IsEmpty()) TvCleanUpLogs(logFolder, nDays, false, err, &deleted);
    CWideString profile;
    {
        std::lock_guard<std::mutex> lock(g_ProfileLock);
        profile = g_sProfileFolder;
    }
    if (!profile.IsEmpty()) {
        if (profile != logFolder) TvCleanUpLogs(profile, nDays, false, err, &deleted);
        TvCleanUpLogs(profile + u"/Mirrors", nDays, true, err, &deleted);
        TvCleanUpLogs(profile + u"/_tvdata_mirrors_", nDays, true, err, &deleted);
        TvCleanUpTempFiles(profile, (std::vector<CWideString>*)nullptr);
    }
    for (const CWideString& p : deleted) ZorGetProgramLog().Printf(u"Delete old global log %s\n", p);
}
