// System folders, volumes, the administrator test and security descriptors.
#include "zor-sysfolders.h"

#include "zor-debug.h"
#include "zor-error.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char kAclAccess[] = "system.posix_acl_access";
const char kAclDefault[] = "system.posix_acl_default";

CWideString ErrnoText(int e) {
    return Utf8ToWide(std::strerror(e));
}

CNarrowString ToSys(const CWideString& path) {
    return WideToUtf8(path);
}

// Creates a folder and its missing parents; new folders get mode 0700.
bool MakeFolders(const CNarrowString& path, CWideString& err) {
    struct stat st;
    if (stat(path.GetString(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        err.AppendFormat(u"cannot create folder '%s': a file of that name exists", path);
        return false;
    }
    int slash = path.ReverseFind('/');
    if (slash > 0 && !MakeFolders(path.Left(slash), err)) return false;
    if (mkdir(path.GetString(), 0700) != 0 && errno != EEXIST) {
        err.AppendFormat(u"cannot create folder '%s': %s", path, ErrnoText(errno));
        return false;
    }
    return true;
}

bool IsFolder(const CWideString& path) {
    struct stat st;
    return stat(ToSys(path).GetString(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- mountinfo

// Decodes the octal escapes (\040 blank, \011 tab, \012 line feed, \134 backslash).
bool DecodeMountField(const char* p, int n, CWideString& out) {
    CNarrowString s;
    for (int i = 0; i < n; ++i) {
        if (p[i] == '\\') {
            if (i + 3 >= n) return false;
            int v = 0;
            for (int k = 1; k <= 3; ++k) {
                char c = p[i + k];
                if (c < '0' || c > '7') return false;
                v = v * 8 + (c - '0');
            }
            if (v > 255) return false;
            s.AppendChar((char)v);
            i += 3;
        } else {
            s.AppendChar(p[i]);
        }
    }
    out = Utf8ToWide(s);
    return true;
}

bool ParseUInt(const CNarrowString& s, uint64_t maxValue, uint64_t& v, int base = 10) {
    if (s.IsEmpty()) return false;
    v = 0;
    for (int i = 0; i < s.GetLength(); ++i) {
        int d = s[i] - '0';
        if (d < 0 || d >= base) return false;
        v = v * (uint64_t)base + (uint64_t)d;
        if (v > maxValue) return false;
    }
    return true;
}

// True when mount point m holds path p (both absolute, no trailing '/').
bool MountHolds(const CWideString& m, const CWideString& p) {
    if (m == u"/") return true;
    int n = m.GetLength();
    return p.GetLength() >= n &&
           std::char_traits<char16_t>::compare(p.GetString(), m.GetString(), (size_t)n) == 0 &&
           (p.GetLength() == n || p[n] == u'/');
}

// ---- security descriptor text

void AppendHex(CNarrowString& out, const CNarrowString& bytes) {
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < bytes.GetLength(); ++i) {
        unsigned char b = (unsigned char)bytes[i];
        out.AppendChar(digits[b >> 4]);
        out.AppendChar(digits[b & 15]);
    }
}

bool DecodeHex(const CNarrowString& hex, CNarrowString& out) {
    if (hex.GetLength() % 2) return false;
    out.Empty();
    for (int i = 0; i < hex.GetLength(); i += 2) {
        auto d = [](char c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int h = d(hex[i]), l = d(hex[i + 1]);
        if (h < 0 || l < 0) return false;
        out.AppendChar((char)(h * 16 + l));
    }
    return true;
}

// An extended-attribute ACL value: a little-endian version word 2, then
// entries of 8 bytes (tag, permissions, id).
bool IsAclBlob(const CNarrowString& b) {
    if (b.GetLength() < 4 || (b.GetLength() - 4) % 8 != 0) return false;
    const unsigned char* p = (const unsigned char*)b.GetString();
    return p[0] == 2 && p[1] == 0 && p[2] == 0 && p[3] == 0;
}

// An item held open for its security: a descriptor of the item itself,
// opened without following a link at its name, so that nothing done to it
// reaches another file. io is a readable descriptor of it where the item
// can be opened so (-1 otherwise: its permissions and extended attributes
// are then reached through /proc/self/fd, which names the same item).
struct HeldItem {
    int fd = -1; // O_PATH
    int io = -1;
    struct stat st {};
    std::string self;
    HeldItem() = default;
    HeldItem(const HeldItem&) = delete;
    HeldItem& operator=(const HeldItem&) = delete;
    ~HeldItem() {
        if (io >= 0) close(io);
        if (fd >= 0) close(fd);
    }
    // errno set on failure; ELOOP for a link not followed, EINVAL for an
    // item that is neither a file nor a folder.
    bool Open(int dirFd, const char* name, bool bFollow) {
        fd = openat(dirFd, name, O_PATH | O_CLOEXEC | (bFollow ? 0 : O_NOFOLLOW));
        if (fd < 0 || fstat(fd, &st) != 0) return false;
        if (S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            errno = EINVAL;
            return false;
        }
        self = "/proc/self/fd/" + std::to_string(fd);
        // Never waits: the item is a file or a folder, and stays that one.
        io = open(self.c_str(),
                  O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0));
        return true;
    }
    ssize_t GetXattr(const char* name, void* buf, size_t n) const {
        return io >= 0 ? fgetxattr(io, name, buf, n) : getxattr(self.c_str(), name, buf, n);
    }
    int SetXattr(const char* name, const void* v, size_t n) const {
        return io >= 0 ? fsetxattr(io, name, v, n, 0) : setxattr(self.c_str(), name, v, n, 0);
    }
    int RemoveXattr(const char* name) const {
        return io >= 0 ? fremovexattr(io, name) : removexattr(self.c_str(), name);
    }
    int Chmod(mode_t mode) const { return io >= 0 ? fchmod(io, mode) : chmod(self.c_str(), mode); }
    int Chown(uid_t u, gid_t g) const { return fchownat(fd, "", u, g, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW); }
};

// Reads an extended attribute; bPresent false when the file has none (or the
// file system keeps none).
bool GetXattr(const HeldItem& item, const char* name, CNarrowString& value, bool& bPresent, int& err) {
    bPresent = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t n = item.GetXattr(name, nullptr, 0);
        if (n < 0) {
            if (errno == ENODATA || errno == ENOTSUP) return true;
            err = errno;
            return false;
        }
        value.Empty();
        char* buf = value.GetBufferSetLength((int)n);
        ssize_t m = n ? item.GetXattr(name, buf, (size_t)n) : 0;
        if (m < 0 && errno == ERANGE) { // grew in between
            value.ReleaseBuffer(0);
            continue;
        }
        if (m < 0) {
            value.ReleaseBuffer(0);
            if (errno == ENODATA) return true;
            err = errno;
            return false;
        }
        value.ReleaseBuffer((int)m);
        bPresent = true;
        return true;
    }
    err = ERANGE;
    return false;
}

struct SecurityDescr {
    unsigned mode = 0;
    uint32_t uid = 0, gid = 0;
    bool bAcl = false, bDacl = false;
    CNarrowString acl, dacl;
};

bool ParseSecurityDescr(const CWideString& text, SecurityDescr& sd, CWideString& reason) {
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text[i] < 0x21 || text[i] > 0x7E) {
            reason = u"unknown security descriptor format (not printable ASCII)";
            return false;
        }
    }
    CNarrowString s(text);
    if (!s.StartsWith("posix1;")) {
        reason = u"unknown security descriptor format (\"posix1;\" expected)";
        return false;
    }
    bool bMode = false, bUid = false, bGid = false;
    int start = 7; // after "posix1;"
    while (start <= s.GetLength()) {
        int semi = s.Find(';', start);
        int end = semi < 0 ? s.GetLength() : semi;
        CNarrowString field = s.Mid(start, end - start);
        start = end + 1;
        int eq = field.Find('=');
        if (eq <= 0) {
            reason.Format(u"bad security descriptor field '%s'", field);
            return false;
        }
        CNarrowString key = field.Left(eq), val = field.Mid(eq + 1);
        uint64_t v = 0;
        bool ok;
        bool* seen;
        if (key == "mode") {
            seen = &bMode;
            ok = ParseUInt(val, 07777, v, 8);
            sd.mode = (unsigned)v;
        } else if (key == "uid") {
            seen = &bUid;
            ok = ParseUInt(val, 0xFFFFFFFEu, v);
            sd.uid = (uint32_t)v;
        } else if (key == "gid") {
            seen = &bGid;
            ok = ParseUInt(val, 0xFFFFFFFEu, v);
            sd.gid = (uint32_t)v;
        } else if (key == "acl") {
            seen = &sd.bAcl;
            ok = DecodeHex(val, sd.acl) && IsAclBlob(sd.acl);
        } else if (key == "dacl") {
            seen = &sd.bDacl;
            ok = DecodeHex(val, sd.dacl) && IsAclBlob(sd.dacl);
        } else {
            reason.Format(u"unknown security descriptor field '%s'", key);
            return false;
        }
        if (*seen || !ok) {
            reason.Format(u"bad security descriptor field '%s'", field);
            return false;
        }
        *seen = true;
    }
    if (!bMode || !bUid || !bGid) {
        reason = u"security descriptor lacks mode, uid or gid";
        return false;
    }
    return true;
}

bool SecFail(CWideString& err, int& kind, const char16_t* what, const CWideString& path, int e) {
    CWideString msg = MakeErrorMessage(e, kind, true);
    err.AppendFormat(u"%s '%s': %s", what, path, msg);
    return false;
}

// The failure to open an item for its security.
bool OpenFail(CWideString& err, int& kind, const char16_t* what, const CWideString& path, int e) {
    if (e != ELOOP && e != EINVAL) return SecFail(err, kind, what, path, e);
    SetErrorKind(kind, ZEK_GENERAL);
    err.AppendFormat(u"%s '%s': %s", what, path,
                     e == ELOOP ? u"it is a link, not followed" : u"it is neither a file nor a folder");
    return false;
}

// The profile once lived in "Torvane", beside the registry's "torvane":
// both are one folder now. An old profile folder becomes the new one when
// that is not there yet; otherwise each of its entries that the new folder
// lacks moves over (nothing is replaced), and the old folder goes when
// empty. Failures leave things as they were.
void TakeOverOldProfile(const CNarrowString& oldDir, const CNarrowString& newDir) {
    struct stat so, sn;
    if (stat(oldDir.GetString(), &so) != 0 || !S_ISDIR(so.st_mode)) return;
    if (stat(newDir.GetString(), &sn) != 0) {
        rename(oldDir.GetString(), newDir.GetString());
        return;
    }
    if (so.st_dev == sn.st_dev && so.st_ino == sn.st_ino) return; // a file system that ignores case
    DIR* d = opendir(oldDir.GetString());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    closedir(d);
    for (const std::string& n : names) {
        const std::string from = std::string(oldDir.GetString()) + "/" + n;
        const std::string to = std::string(newDir.GetString()) + "/" + n;
        struct stat st;
        if (lstat(to.c_str(), &st) == 0 || errno != ENOENT) continue;
        rename(from.c_str(), to.c_str());
    }
    rmdir(oldDir.GetString());
}

} // namespace

// ---------------------------------------------------------------- folders

bool ZorGetAppDataFolder(CWideString& folder, CWideString& err) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') { // a relative value is to be ignored
        folder = Utf8ToWide(xdg);
    } else {
        CNarrowString home;
        const char* h = std::getenv("HOME");
        if (h && *h == '/') {
            home = h;
        } else {
            struct passwd pw, *res = nullptr;
            char buf[4096];
            if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir &&
                res->pw_dir[0] == '/')
                home = res->pw_dir;
        }
        if (home.IsEmpty()) {
            err.Append(u"no home folder for the current user");
            return false;
        }
        folder = Utf8ToWide(home);
        if (folder.GetLast() != u'/') folder.AppendChar(u'/');
        folder.Append(u".config");
    }
    while (folder.GetLength() > 1 && folder.GetLast() == u'/') folder.Truncate(folder.GetLength() - 1);
    return true;
}

bool ZorResolveProfileFolder(const CWideString& exeFolder, CWideString& folder, bool& bPortable,
                             CWideString& err) {
    bPortable = false;
    if (!exeFolder.IsEmpty()) {
        CWideString portable(exeFolder);
        if (portable.GetLast() != u'/') portable.AppendChar(u'/');
        portable.Append(u"Profile");
        if (IsFolder(portable)) {
            folder = portable;
            bPortable = true;
            return true;
        }
    }
    CWideString appData, why;
    if (!ZorGetAppDataFolder(appData, why)) {
        err.Append(u"cannot get AppData folder: ").Append(why);
        return false;
    }
    CWideString result = appData + u"/torvane";
    TakeOverOldProfile(ToSys(appData + u"/Torvane"), ToSys(result));
    if (!MakeFolders(ToSys(result), err)) return false;
    folder = result;
    return true;
}

bool ZorGetProfileFolder(CWideString& folder, bool& bPortable, CWideString& err) {
    const char* over = std::getenv("TORVANE_PROFILE_DIR");
    if (over && *over) {
        bPortable = false;
        CNarrowString path(over);
        while (path.GetLength() > 1 && path.GetLast() == '/') path.Truncate(path.GetLength() - 1);
        if (!MakeFolders(path, err)) return false;
        folder = Utf8ToWide(path);
        return true;
    }
    return ZorResolveProfileFolder(GetProcessExeFolder(), folder, bPortable, err);
}

bool IsUserAnAdmin() {
    return geteuid() == 0;
}

// ---------------------------------------------------------------- volumes

bool ZorParseMountInfo(const CNarrowString& text, std::vector<ZorVolumeInfo>& volumes, CWideString& err) {
    volumes.clear();
    int lineNo = 0, pos = 0;
    const int total = text.GetLength();
    while (pos < total) {
        ++lineNo;
        int nl = text.Find('\n', pos);
        int end = nl < 0 ? total : nl;
        CNarrowString line = text.Mid(pos, end - pos);
        pos = end + 1;
        if (line.IsEmpty()) continue;
        // Fields split at single blanks: id parent major:minor root mount-point
        // options [optional fields...] - fstype source super-options
        std::vector<CNarrowString> f;
        int s = 0;
        for (int i = 0; i <= line.GetLength(); ++i) {
            if (i == line.GetLength() || line[i] == ' ') {
                f.push_back(line.Mid(s, i - s));
                s = i + 1;
            }
        }
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        ZorVolumeInfo v;
        uint64_t maj = 0, min = 0;
        int colon = f.size() > 2 ? f[2].Find(':') : -1;
        bool ok = f.size() >= 10 && dash + 3 < f.size() && colon > 0 && ParseUInt(f[0], UINT64_MAX, v.nMountId) &&
                  ParseUInt(f[2].Left(colon), UINT32_MAX, maj) &&
                  ParseUInt(f[2].Mid(colon + 1), UINT32_MAX, min) &&
                  DecodeMountField(f[3], f[3].GetLength(), v.sRoot) &&
                  DecodeMountField(f[4], f[4].GetLength(), v.sMountPoint) &&
                  DecodeMountField(f[dash + 1], f[dash + 1].GetLength(), v.sFsType) &&
                  DecodeMountField(f[dash + 2], f[dash + 2].GetLength(), v.sSource) &&
                  !v.sMountPoint.IsEmpty() && v.sMountPoint[0] == u'/';
        if (!ok) {
            err.AppendFormat(u"bad mount table line %d: %s", lineNo, line);
            return false;
        }
        v.nMajor = (uint32_t)maj;
        v.nMinor = (uint32_t)min;
        CNarrowString opts = f[5] + ",";
        v.bReadOnly = opts.StartsWith("ro,") || opts.Find(",ro,") >= 0;
        volumes.push_back(std::move(v));
    }
    return true;
}

bool ZorListVolumes(std::vector<ZorVolumeInfo>& volumes, CWideString& err) {
    volumes.clear();
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err.AppendFormat(u"cannot read the mount table /proc/self/mountinfo: %s", ErrnoText(errno));
        return false;
    }
    CNarrowString text;
    char buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err.AppendFormat(u"cannot read the mount table /proc/self/mountinfo: %s", ErrnoText(errno));
            close(fd);
            return false;
        }
        if (n == 0) break;
        text.Append(buf, (int)n);
    }
    close(fd);
    return ZorParseMountInfo(text, volumes, err);
}

bool ZorGetVolumeOfPath(const CWideString& path, ZorVolumeInfo& volume, CWideString& err) {
    if (path.IsEmpty() || path[0] != u'/') {
        err.AppendFormat(u"cannot find the volume of '%s': not an absolute path", path);
        return false;
    }
    // Resolve links; walk up to the nearest existing ancestor.
    CNarrowString p = ToSys(path);
    CNarrowString resolved;
    for (;;) {
        char* r = realpath(p.GetString(), nullptr);
        if (r) {
            resolved = r;
            std::free(r);
            break;
        }
        int slash = p.ReverseFind('/');
        if (slash <= 0) {
            resolved = "/";
            break;
        }
        p = p.Left(slash);
    }
    std::vector<ZorVolumeInfo> vols;
    if (!ZorListVolumes(vols, err)) return false;
    CWideString target = Utf8ToWide(resolved);
    const ZorVolumeInfo* best = nullptr;
    for (const ZorVolumeInfo& v : vols) {
        if (!MountHolds(v.sMountPoint, target)) continue;
        if (!best || v.sMountPoint.GetLength() >= best->sMountPoint.GetLength()) best = &v;
    }
    if (!best) {
        err.AppendFormat(u"cannot find the volume of '%s': no mount holds it", path);
        return false;
    }
    volume = *best;
    return true;
}

bool ZorGetVolumeSpace(const CWideString& path, uint64_t& nAvail, uint64_t& nFree, uint64_t& nTotal,
                       int& kind, CWideString& err) {
    struct statvfs sv;
    CNarrowString p = ToSys(path);
    if (statvfs(p.GetString(), &sv) != 0) {
        return SecFail(err, kind, u"cannot get the free space of", path, errno);
    }
    uint64_t unit = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    nAvail = (uint64_t)sv.f_bavail * unit;
    nFree = (uint64_t)sv.f_bfree * unit;
    nTotal = (uint64_t)sv.f_blocks * unit;
    return true;
}

// ---------------------------------------------------------------- security

bool ZorGetSecurityDescr(const CWideString& path, CWideString& text, int& kind, CWideString& err) {
    return ZorGetSecurityDescrAt(AT_FDCWD, ToSys(path), true, path, text, kind, err);
}

bool ZorGetSecurityDescrAt(int dirFd, const CNarrowString& name, bool bFollow, const CWideString& display,
                           CWideString& text, int& kind, CWideString& err) {
    HeldItem item;
    if (!item.Open(dirFd, name.GetString(), bFollow))
        return OpenFail(err, kind, u"cannot read the security of", display, errno);
    const struct stat& st = item.st;
    CNarrowString out;
    out.Format("posix1;mode=%04o;uid=%u;gid=%u", (unsigned)(st.st_mode & 07777), (unsigned)st.st_uid,
               (unsigned)st.st_gid);
    CNarrowString value;
    bool bPresent;
    int e = 0;
    if (!GetXattr(item, kAclAccess, value, bPresent, e))
        return SecFail(err, kind, u"cannot read the ACL of", display, e);
    if (bPresent) {
        out.Append(";acl=");
        AppendHex(out, value);
    }
    if (S_ISDIR(st.st_mode)) {
        if (!GetXattr(item, kAclDefault, value, bPresent, e))
            return SecFail(err, kind, u"cannot read the default ACL of", display, e);
        if (bPresent) {
            out.Append(";dacl=");
            AppendHex(out, value);
        }
    }
    text = CWideString(out);
    return true;
}

bool ZorSetSecurityDescr(const CWideString& path, const CWideString& text, int& kind, CWideString& err) {
    return ZorSetSecurityDescrAt(AT_FDCWD, ToSys(path), path, text, kind, err);
}

bool ZorSetSecurityDescrAt(int dirFd, const CNarrowString& name, const CWideString& display,
                           const CWideString& text, int& kind, CWideString& err) {
    SecurityDescr sd;
    CWideString reason;
    if (!ParseSecurityDescr(text, sd, reason)) {
        SetErrorKind(kind, ZEK_GENERAL);
        err.AppendFormat(u"cannot set the security of '%s': %s", display, reason);
        return false;
    }
    // Everything below is done to the item opened here: a link at its name
    // (one swapped in since it was made) is refused, never followed.
    HeldItem item;
    if (!item.Open(dirFd, name.GetString(), false))
        return OpenFail(err, kind, u"cannot set the security of", display, errno);
    const struct stat& st = item.st;
    // A file with another name (a hard link put at the name) is another
    // file too: it is not given away.
    if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
        SetErrorKind(kind, ZEK_GENERAL);
        err.AppendFormat(u"cannot set the security of '%s': it is a file with %u names (hard links)", display,
                         (unsigned)st.st_nlink);
        return false;
    }
    if (sd.bDacl && !S_ISDIR(st.st_mode)) {
        SetErrorKind(kind, ZEK_GENERAL);
        err.AppendFormat(u"cannot set the security of '%s': a default ACL is for folders only", display);
        return false;
    }
    if (st.st_uid != sd.uid || st.st_gid != sd.gid) {
        uid_t u = st.st_uid != sd.uid ? (uid_t)sd.uid : (uid_t)-1;
        gid_t g = st.st_gid != sd.gid ? (gid_t)sd.gid : (gid_t)-1;
        if (item.Chown(u, g) != 0) return SecFail(err, kind, u"cannot set the owner of", display, errno);
    }
    struct AclStep {
        const char* name;
        bool bWanted;
        const CNarrowString* value;
    } steps[] = {{kAclAccess, sd.bAcl, &sd.acl}, {kAclDefault, sd.bDacl, &sd.dacl}};
    for (const AclStep& a : steps) {
        if (a.name == kAclDefault && !S_ISDIR(st.st_mode)) continue;
        if (a.bWanted) {
            if (item.SetXattr(a.name, a.value->GetString(), (size_t)a.value->GetLength()) != 0)
                return SecFail(err, kind, u"cannot set the ACL of", display, errno);
        } else if (item.RemoveXattr(a.name) != 0 && errno != ENODATA && errno != ENOTSUP) {
            return SecFail(err, kind, u"cannot remove the ACL of", display, errno);
        }
    }
    if (item.Chmod((mode_t)sd.mode) != 0)
        return SecFail(err, kind, u"cannot set the mode of", display, errno);
    return true;
}
