// System folders, volumes, the administrator test and file security
// descriptors, for Linux.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <vector>

// ---------------------------------------------------------------- folders
// The user's application-data folder: $XDG_CONFIG_HOME when it is an absolute
// path, else the home folder ($HOME, else the password database) + "/.config".
// The folder is not created. False only when no home folder can be found.
bool ZorGetAppDataFolder(CWideString& folder, CWideString& err);

// The program's profile folder:
//   1. $TORVANE_PROFILE_DIR when set (an override for tests and special set-ups);
//   2. the executable's folder + "/Profile" when that is a folder: the portable edition;
//   3. the application-data folder + "/torvane" (the folder that also holds
//      the registry files); an older "Torvane" profile there is taken over.
// Cases 1 and 3 create the folder (mode 0700) with missing parents. Errors:
// "cannot get AppData folder: ..." or the folder creation's message.
bool ZorGetProfileFolder(CWideString& folder, bool& bPortable, CWideString& err);
// The same rule with the executable's folder given (cases 2 and 3).
bool ZorResolveProfileFolder(const CWideString& exeFolder, CWideString& folder, bool& bPortable,
                             CWideString& err);

// True when the process runs with administrator rights (effective uid 0).
bool IsUserAnAdmin();

// ---------------------------------------------------------------- volumes
// One mounted file system, as /proc/self/mountinfo lists it.
struct ZorVolumeInfo {
    CWideString sMountPoint; // where it is mounted (escapes decoded)
    CWideString sFsType;     // "ext4", "tmpfs", "nfs4", "fuse.sshfs", ...
    CWideString sSource;     // the device or remote source
    CWideString sRoot;       // the folder of the file system mounted there ("/" or a bind source)
    uint32_t nMajor = 0, nMinor = 0;
    uint64_t nMountId = 0;  // the mount's number in the table (a new one for every mount)
    bool bReadOnly = false; // mounted read-only
};

// Parses the text of a mountinfo file; every line must be well formed.
bool ZorParseMountInfo(const CNarrowString& text, std::vector<ZorVolumeInfo>& volumes, CWideString& err);
// The mounts of this process's mount name space, in mount order.
bool ZorListVolumes(std::vector<ZorVolumeInfo>& volumes, CWideString& err);
// The volume that holds an absolute path: the mount whose mount point is the
// longest prefix of the path (symbolic links resolved; for a path that does
// not exist, its nearest existing ancestor); of mounts stacked on one mount
// point the last one, which is the visible one.
bool ZorGetVolumeOfPath(const CWideString& path, ZorVolumeInfo& volume, CWideString& err);
// Space of the volume that holds a path (statvfs): bytes available to this
// user, bytes free in total, and the volume's size.
bool ZorGetVolumeSpace(const CWideString& path, uint64_t& nAvail, uint64_t& nFree, uint64_t& nTotal,
                       int& kind, CWideString& err);

// ---------------------------------------------------------------- security
// A file's security descriptor as one line of ASCII text:
//   "posix1;mode=0755;uid=1000;gid=1000;acl=<hex>;dacl=<hex>"
// mode is the octal permission bits (07777), uid and gid the numeric owner
// and group, acl and dacl the raw values of the extended attributes
// system.posix_acl_access and system.posix_acl_default in lower-case hex;
// acl and dacl are left out when the file has none.
bool ZorGetSecurityDescr(const CWideString& path, CWideString& text, int& kind, CWideString& err);
// The same for the item name in the folder dirFd (AT_FDCWD: a path), read
// through a descriptor of the item itself; a link at the name is followed
// only with bFollow (else refused). display names the item in messages.
bool ZorGetSecurityDescrAt(int dirFd, const CNarrowString& name, bool bFollow, const CWideString& display,
                           CWideString& text, int& kind, CWideString& err);
// Applies a descriptor: owner and group (only when they differ), the access
// ACL (removed when the text has none), the default ACL of a folder (the
// same), then the mode. A text of another form is refused before anything is
// changed.
// The item is opened once, without following a link at its name (a link
// there is refused: "it is a link, not followed", as is a file with more
// than one name), and everything is done through that descriptor.
bool ZorSetSecurityDescr(const CWideString& path, const CWideString& text, int& kind, CWideString& err);
// The same for the item name in the folder dirFd (AT_FDCWD: a path).
bool ZorSetSecurityDescrAt(int dirFd, const CNarrowString& name, const CWideString& display,
                           const CWideString& text, int& kind, CWideString& err);
