#include "mounts-below.h"

#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

// The UUID a file system keeps of itself (its superblock's), where the
// kernel tells it.
struct FsUuid {
    uint8_t len;
    uint8_t uuid[16];
};
const unsigned long kGetFsUuid = _IOR(0x15, 0, FsUuid);

constexpr const char* kHeader = "torvane mounts below 2";
constexpr size_t kMaxField = 4096;

// Blanks, line ends, other control bytes and the backslash as \ooo, as the
// mount table writes them.
std::string Escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c <= ' ' || c == '\\' || c == 0x7f) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
    return out;
}

bool Unescape(const std::string& s, std::string& out) {
    out.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c < ' ' || c == 0x7f) return false;
        if (c != '\\') {
            out += (char)c;
            continue;
        }
        if (i + 3 >= s.size()) return false;
        unsigned v = 0;
        for (size_t j = 1; j <= 3; ++j) {
            const char d = s[i + j];
            if (d < '0' || d > '7') return false;
            v = v * 8 + (unsigned)(d - '0');
        }
        if (v > 0377) return false;
        out += (char)v;
        i += 3;
    }
    return !out.empty() && out.size() <= kMaxField;
}

bool ParseHex(const std::string& s, size_t nDigits, uint64_t& v) {
    if (s.size() != nDigits || nDigits > 16) return false;
    v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0) return false;
        v = (v << 4) | (uint64_t)d;
    }
    return true;
}

bool ParseDec(const std::string& s, uint32_t& v) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (uint64_t)(c - '0');
    }
    if (n > UINT32_MAX) return false;
    v = (uint32_t)n;
    return true;
}

bool IsHexUuid(const std::string& s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

} // namespace

bool IsSameFileSystem(const CMountBelow& a, const CMountBelow& b) {
    if (!a.bKnown || !b.bKnown) return true;
    if (a.sType != b.sType || a.sRoot != b.sRoot) return false;
    if (!a.sUuid.empty() && !b.sUuid.empty()) return a.sUuid == b.sUuid;
    if (a.nFsid != 0 && b.nFsid != 0) return a.nFsid == b.nFsid;
    return a.nMajor == b.nMajor && a.nMinor == b.nMinor;
}

std::vector<std::string> MountLayoutChanges(const std::vector<CMountBelow>& was, const std::vector<CMountBelow>& now,
                                            bool bExact) {
    std::vector<std::string> changed;
    size_t i = 0, j = 0;
    while (i < was.size() || j < now.size()) {
        if (j == now.size() || (i < was.size() && was[i].sPoint < now[j].sPoint)) {
            changed.push_back(was[i++].sPoint);
        } else if (i == was.size() || now[j].sPoint < was[i].sPoint) {
            changed.push_back(now[j++].sPoint);
        } else {
            const CMountBelow &a = was[i++], &b = now[j++];
            const bool bSame = IsSameFileSystem(a, b) &&
                               (!bExact || (a.nMountId == b.nMountId && a.nMajor == b.nMajor &&
                                            a.nMinor == b.nMinor && a.bKnown == b.bKnown));
            if (!bSame) changed.push_back(a.sPoint);
        }
    }
    return changed;
}

std::string FormatMountsBelow(const std::vector<CMountBelow>& mounts) {
    std::string text = kHeader;
    text += '\n';
    for (const CMountBelow& m : mounts) {
        if (!m.bKnown || m.sPoint.empty() || m.sType.empty() || m.sRoot.empty()) continue;
        char head[64];
        std::snprintf(head, sizeof head, "%u:%u %016llx ", m.nMajor, m.nMinor, (unsigned long long)m.nFsid);
        text += head;
        text += IsHexUuid(m.sUuid) ? m.sUuid : std::string("-");
        for (const std::string* field : {&m.sType, &m.sRoot, &m.sPoint}) {
            text += ' ';
            text.append(Escape(*field));
        }
        text += '\n';
    }
    return text;
}

bool ParseMountsBelow(const std::string& text, std::vector<CMountBelow>& mounts, std::string& err) {
    mounts.clear();
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) {
            if (lines.size() > kMaxMountsKept) {
                err = "too many mounts";
                return false;
            }
            lines.push_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    if (lines.empty() || lines[0] != kHeader) {
        // An older version's: one mount point to a line, nothing else known.
        for (const std::string& line : lines) {
            if (line.size() > kMaxField || line[0] == '/') {
                err = "a line that is no mount point";
                return false;
            }
            CMountBelow m;
            m.sPoint = line;
            m.bKnown = false;
            mounts.push_back(std::move(m));
        }
    } else {
        for (size_t n = 1; n < lines.size(); ++n) {
            const std::string& line = lines[n];
            std::vector<std::string> f;
            for (size_t at = 0;;) {
                const size_t sp = line.find(' ', at);
                f.push_back(line.substr(at, sp == std::string::npos ? std::string::npos : sp - at));
                if (sp == std::string::npos) break;
                at = sp + 1;
            }
            CMountBelow m;
            const size_t colon = f.empty() ? std::string::npos : f[0].find(':');
            const bool ok = f.size() == 6 && colon != std::string::npos &&
                            ParseDec(f[0].substr(0, colon), m.nMajor) && ParseDec(f[0].substr(colon + 1), m.nMinor) &&
                            ParseHex(f[1], 16, m.nFsid) && (f[2] == "-" || IsHexUuid(f[2])) &&
                            Unescape(f[3], m.sType) && Unescape(f[4], m.sRoot) && Unescape(f[5], m.sPoint) &&
                            m.sPoint[0] != '/';
            if (!ok) {
                err = "line ";
                err.append(std::to_string(n + 1));
                err.append(" cannot be read");
                return false;
            }
            if (f[2] != "-") m.sUuid = f[2];
            mounts.push_back(std::move(m));
        }
    }
    std::sort(mounts.begin(), mounts.end(),
              [](const CMountBelow& a, const CMountBelow& b) { return a.sPoint < b.sPoint; });
    for (size_t i = 1; i < mounts.size(); ++i)
        if (mounts[i].sPoint == mounts[i - 1].sPoint) {
            err = "a mount point listed twice";
            return false;
        }
    return true;
}

bool ReadMountsBelowFolder(const std::string& folder, std::vector<CMountBelow>& mounts,
                           const std::function<bool(const std::string&)>& bLeftOut) {
    mounts.clear();
    std::string prefix = folder;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    std::vector<ZorVolumeInfo> volumes;
    CWideString e;
    if (!ZorListVolumes(volumes, e)) return false;
    std::map<uint64_t, const ZorVolumeInfo*> byId;
    std::map<std::string, std::vector<const ZorVolumeInfo*>> byPoint; // in mount order
    for (const ZorVolumeInfo& v : volumes) {
        byId[v.nMountId] = &v;
        const std::string point = WideToUtf8(v.sMountPoint).GetString();
        if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0)
            byPoint[point].push_back(&v);
    }
    for (const auto& [point, stack] : byPoint) {
        if (bLeftOut && bLeftOut(point.substr(prefix.size()))) continue;
        // The mount that shows at the folder now, looked at through one
        // descriptor: the last one stacked there, unless the folder itself
        // is hidden (a bind over the side, or over a folder above it).
        int fd = open(point.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool bReadable = fd >= 0;
        if (fd < 0) fd = open(point.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct statx sx {};
        const ZorVolumeInfo* shown = nullptr;
        if (statx(fd, "", AT_EMPTY_PATH | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_MNT_ID, &sx) == 0) {
            if (sx.stx_mask & STATX_MNT_ID) {
                const auto it = byId.find(sx.stx_mnt_id);
                if (it != byId.end() && WideToUtf8(it->second->sMountPoint).GetString() == point) shown = it->second;
            } else if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
                       (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) && stack.back()->nMajor == sx.stx_dev_major &&
                       stack.back()->nMinor == sx.stx_dev_minor) {
                shown = stack.back();
            }
        }
        if (!shown) {
            close(fd);
            continue;
        }
        CMountBelow m;
        m.sPoint = point.substr(prefix.size());
        m.sType = WideToUtf8(shown->sFsType).GetString();
        m.sRoot = WideToUtf8(shown->sRoot).GetString();
        m.nMajor = shown->nMajor;
        m.nMinor = shown->nMinor;
        m.nMountId = shown->nMountId;
        struct statfs sf {};
        if (fstatfs(fd, &sf) == 0) {
            uint32_t words[2];
            std::memcpy(words, &sf.f_fsid, sizeof words);
            m.nFsid = ((uint64_t)words[0] << 32) | words[1];
        }
        FsUuid u{};
        if (bReadable && ioctl(fd, kGetFsUuid, &u) == 0 && u.len == 16) {
            static const char* const kDigits = "0123456789abcdef";
            bool bAny = false;
            for (uint8_t b : u.uuid) {
                m.sUuid += kDigits[b >> 4];
                m.sUuid += kDigits[b & 15];
                bAny = bAny || b != 0;
            }
            if (!bAny) m.sUuid.clear();
        }
        close(fd);
        mounts.push_back(std::move(m));
    }
    return true;
}
