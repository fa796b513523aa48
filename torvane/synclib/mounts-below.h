// The file systems mounted below a local side's root, each known by what it
// is: its type, the folder of its file system that is mounted there (the
// whole, or a bind mount's source), its device and the file system's own
// identity (statfs f_fsid and, where the kernel tells it, the UUID). Only
// the mount that shows at a folder counts: one stacked over it hides the
// one below, and a mount that a bind over the side hides is not there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CMountBelow {
    std::string sPoint; // below the side's root, without a leading '/'
    std::string sType;  // "ext4", "tmpfs", "fuseblk", ...
    std::string sRoot;  // the folder of the file system mounted there ("/" for the whole)
    uint32_t nMajor = 0, nMinor = 0;
    uint64_t nFsid = 0;    // 0: none told
    std::string sUuid;     // lower-case hexadecimal; empty: none told
    uint64_t nMountId = 0; // this very mount (a new number for every mount); not kept
    bool bKnown = true;    // false: kept by an older version, the mount point alone
};

// Whether two mounts at one folder are the same file system mounted the
// same way: type and mounted folder, and then the UUID where both tell one,
// else the fsid where both have one, else the device. A drive put back on
// another device number is the same; a fresh tmpfs, another drive or a
// bind of another folder is not. A mount kept without its identity (by an
// older version) is taken as the same as any mount at its folder.
bool IsSameFileSystem(const CMountBelow& a, const CMountBelow& b);

// The folders where two layouts (sorted by folder) differ: a mount come or
// gone, or another file system there. bExact: a mount made anew counts too
// (for two looks within one run).
std::vector<std::string> MountLayoutChanges(const std::vector<CMountBelow>& was, const std::vector<CMountBelow>& now,
                                            bool bExact);

// The text a layout is kept in, and its reader. The reader takes the lines
// of mount points alone that older versions kept (bKnown false), and
// refuses anything else that is not the text FormatMountsBelow writes
// (false, with what is wrong); it reads at most kMaxMountsKept mounts.
constexpr size_t kMaxMountsKept = 65536;
std::string FormatMountsBelow(const std::vector<CMountBelow>& mounts);
bool ParseMountsBelow(const std::string& text, std::vector<CMountBelow>& mounts, std::string& err);

// The mounts that show below the folder (an absolute path without links),
// sorted by folder; false when the mount table cannot be read. Those at a
// point (relative to the folder) that bLeftOut answers true for are not
// looked at (a stuck network mount there holds nothing up).
bool ReadMountsBelowFolder(const std::string& folder, std::vector<CMountBelow>& mounts,
                           const std::function<bool(const std::string&)>& bLeftOut = nullptr);
