// The file systems mounted below a local side's root, as the last sync of
// the two folders left them, kept in the side's mirror folder. A folder that
// became another file system since (or stopped being one) holds the side as
// a drive that is not mounted does: what vanished with an unmount is not
// deleted on the other side, and nothing is written into a file system that
// came, until the user says so (--force) or puts the mounts back.
#include "syncjob.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

bool CSyncJob::ListMountsBelow(TvFileSys* fs, std::vector<std::string>& points) {
    points.clear();
    if (!fs || !fs->GetCapability(TVFS_CAP_LOCAL)) return false;
    char real[PATH_MAX];
    if (!realpath(ZorNativePath(fs->GetRootDir()).GetString(), real)) return false;
    std::string prefix = real;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    std::vector<ZorVolumeInfo> volumes;
    CWideString e;
    if (!ZorListVolumes(volumes, e)) return false;
    for (const ZorVolumeInfo& v : volumes) {
        const std::string point = WideToUtf8(v.sMountPoint).GetString();
        // A name with a line end cannot be kept one to a line: left out.
        if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0 &&
            point.find('\n') == std::string::npos)
            points.push_back(point.substr(prefix.size()));
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return true;
}

namespace {

std::string JoinLines(const std::vector<std::string>& points) {
    std::string text;
    for (const std::string& p : points) text += p + "\n";
    return text;
}

} // namespace

bool CSyncJob::MountsKeptPath(int side, CWideString& path) {
    return LastSyncCountPath(side, path, kMountsKeptName);
}

bool CSyncJob::MountsAsLastSynced(int side, CWideString& changed) {
    changed.Empty();
    CWideString path, e;
    int k = 0;
    CNarrowString kept;
    std::vector<std::string> now;
    // Nothing kept yet (a first sync, or one by an older version), or a
    // side whose mounts cannot be told: nothing to hold it by.
    if (!MountsKeptPath(side, path) || !ReadWholeFile(path, 1 << 20, kept, k, e) ||
        !ListMountsBelow(m_apFs[side].get(), now))
        return true;
    std::vector<std::string> was;
    const std::string text = kept.GetString();
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) was.push_back(text.substr(at, end - at));
    }
    std::sort(was.begin(), was.end());
    std::vector<std::string> diff;
    std::set_symmetric_difference(was.begin(), was.end(), now.begin(), now.end(), std::back_inserter(diff));
    for (const std::string& d : diff) {
        if (!changed.IsEmpty()) changed += u", ";
        changed += u"/" + Utf8ToWide(d.c_str(), (int)d.size());
    }
    return diff.empty();
}

void CSyncJob::KeepMountsBelow(bool bOnlyWhereMissing) {
    for (int s = 0; s < 2; ++s) {
        std::vector<std::string> now;
        CWideString path, e;
        int k = 0;
        if (!ListMountsBelow(m_apFs[s].get(), now) || !MountsKeptPath(s, path)) continue;
        CNarrowString kept;
        const bool bKept = ReadWholeFile(path, 1 << 20, kept, k, e);
        const std::string text = JoinLines(now);
        if ((bKept && bOnlyWhereMissing) || (bKept && text == kept.GetString())) continue;
        e.Empty();
        if (!WriteWholeFile(path, CNarrowString(text.c_str()), k, e)) {
            Log(2, 9708, u"Cannot keep the file systems mounted in the folder: " + e + u"\n");
            continue;
        }
        // Like everything in the mirror folders, the owner's alone.
        ZorMakeFileOwnerOnly(path);
    }
}
