// The file systems mounted below a local side's root, as the last sync of
// the two folders left them: each known by what it is (mounts-below.h), kept
// in the side's mirror folder and in the side's own data folder (so that the
// pair synced from another profile finds them too). A folder that became
// another file system since (another drive, one stacked over it, a bind),
// or stopped being one, holds the side as a drive that is not mounted does:
// what vanished with an unmount is not deleted on the other side, and
// nothing is written into a file system that came, until the user says so
// (--force) or puts the mounts back. Mounts inside folders the job leaves
// out hold nothing, and a layout that changed while the job ran is not
// kept as the one the sync saw.
#include "syncjob.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Descriptor index of the kept file's reads (the comparison
// reads use 11 and 12, the copy logic 13 and 14).
constexpr int kDixMounts = 15;
// The most a kept list is read of: a longer one is taken as damaged.
constexpr int kMaxKeptBytes = 4 << 20;

// Whether the job leaves the mount point's folder out, or a folder above
// it: nothing there is synced, so nothing mounted there tells of the side.
bool LeftOutByJob(const std::string& point, const CFilterMatcher& matcher, bool bExcludeHidden) {
    CWideString path;
    for (size_t at = 0; at < point.size();) {
        size_t slash = point.find('/', at);
        if (slash == std::string::npos) slash = point.size();
        const std::string name = point.substr(at, slash - at);
        at = slash + 1;
        if (name.empty()) continue;
        const CWideString wide = Utf8ToWide(name.c_str(), (int)name.size());
        path += u"/" + wide;
        // The folders every scan leaves out.
        if (wide.EqualsNoCase(CSyncJob::kDataFolderName) || wide.EqualsNoCase(u"_RERIZUR") ||
            wide.EqualsNoCase(u"_tvdata_mirrors_") || wide.EqualsNoCase(u"System Volume Information"))
            return true;
        const bool bHidden = name[0] == '.';
        if (bExcludeHidden && bHidden) return true;
        if (matcher.IsEmpty()) continue;
        CSideInfo rec;
        rec.SetPresent(true);
        rec.SetFolder(true);
        rec.m_Len.SetFolder();
        rec.m_nAttr = FSA_FOLDER | (bHidden ? (uint32_t)FSA_HIDDEN : 0u);
        CWideString reason;
        if (matcher.IsExcluded(path, false, rec, CSideInfo(), reason)) return true;
    }
    return false;
}

// The lines of a text, empty ones left out.
std::vector<std::string> ParseLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Mount points one to a line (a name with a line end cannot be: left out).
std::string JoinPoints(const std::vector<std::string>& points) {
    std::string text;
    for (const std::string& p : points)
        if (p.find('\n') == std::string::npos) {
            text.append(p);
            text += '\n';
        }
    return text;
}

CWideString PointsText(const std::vector<std::string>& points) {
    CWideString text;
    for (const std::string& p : points) {
        if (!text.IsEmpty()) text += u", ";
        text += u"/" + Utf8ToWide(p.c_str(), (int)p.size());
    }
    return text;
}

} // namespace

bool CSyncJob::ListMountsBelow(int side, std::vector<CMountBelow>& mounts) const {
    mounts.clear();
    TvFileSys* fs = m_apFs[side & 1].get();
    if (!fs || !fs->GetCapability(TVFS_CAP_LOCAL)) return false;
    char real[PATH_MAX];
    if (!realpath(ZorNativePath(fs->GetRootDir()).GetString(), real)) return false;
    // The filters of the last Analyze (with the job list's own), else the job's.
    const CFilterMatcher matcher(m_Filters.IsEmpty() ? m_Options.m_Filters : m_Filters);
    return ReadMountsBelowFolder(real, mounts, [&](const std::string& point) {
        return LeftOutByJob(point, matcher, m_Options.m_bExcludeHidden);
    });
}

void CSyncJob::DropMountsLeftOut(std::vector<CMountBelow>& mounts) const {
    const CFilterMatcher matcher(m_Filters.IsEmpty() ? m_Options.m_Filters : m_Filters);
    std::erase_if(mounts, [&](const CMountBelow& m) {
        return LeftOutByJob(m.sPoint, matcher, m_Options.m_bExcludeHidden);
    });
}

CWideString CSyncJob::MountChangesText(const std::vector<CMountBelow>& was, const std::vector<CMountBelow>& now) {
    return PointsText(MountLayoutChanges(was, now, false));
}

void CSyncJob::NoteMountsAtScan(int side) {
    side &= 1;
    m_abMountsAtScan[side] = ListMountsBelow(side, m_aMountsAtScan[side]) ? 1 : 0;
}

bool CSyncJob::MountsKeptPath(int side, CWideString& path) {
    return LastSyncCountPath(side, path, kMountsKeptName);
}

bool CSyncJob::MountsKnownPath(int side, CWideString& path) {
    return LastSyncCountPath(side, path, kMountsKnownName);
}

bool CSyncJob::SideMountsKeptPath(int side, CWideString& path) {
    // The pair's name of the mirror folder's list, in the data folder.
    CWideString kept;
    if (!MountsKeptPath(side, kept)) return false;
    const int slash = kept.ReverseFind(u'/');
    CWideString name = kept.Mid(slash + 1);
    if (name.EndsWith(u".txt")) name = name.Left(name.GetLength() - 4);
    path = CWideString(kDataFolderPath) + u"/" + name + u"._tv";
    return true;
}

bool CSyncJob::SideKeepsMounts(int side, bool bWrite) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!IsPlainLocalFs(fs) || !fs->IsConnected() || CannotHaveDataFolder(side) || m_abUntrusted[side]) return false;
    if (!bWrite) return true;
    // Kept beside the side's state file, only where the run keeps one.
    FsItemInfo stamp;
    return !m_abNotAvailable[side] && !IsReadOnlySide(side) &&
           m_aStateFileStamps[side].Lookup(CWideString(), stamp) && stamp.m_nSize > 0;
}

int CSyncJob::ReadMountsKept(int side, bool bInSide, std::vector<CMountBelow>& kept, std::string& text) {
    side &= 1;
    kept.clear();
    text.clear();
    CWideString path, e;
    int k = 0;
    CNarrowString raw;
    if (!bInSide) {
        // The list with what each mount is, else the folders alone (all an
        // older version kept).
        CWideString older;
        if (!MountsKnownPath(side, path) || !MountsKeptPath(side, older)) return 0;
        if (!ReadWholeFile(path, kMaxKeptBytes, raw, k, e)) {
            e.Empty();
            path = older;
            if (!ReadWholeFile(path, kMaxKeptBytes, raw, k, e)) return 0;
            // Read as such, whatever its lines.
            raw = CNarrowString(JoinPoints(ParseLines(raw.GetString())).c_str());
        }
        text.assign(raw.GetString(), (size_t)raw.GetLength());
    } else {
        TvFileSys* fs = m_apFs[side].get();
        if (!SideKeepsMounts(side, false) || !SideMountsKeptPath(side, path)) return 0;
        // Only a plain file of the runner's own with one name is read.
        const int r = fs->CheckOwnItem(path, 0, k, e);
        if (r == -1) Log(2, 9709, u"The list of file systems mounted in the folder is not read: " + e + u"\n");
        if (r <= 0 || !fs->OpenFile(kDixMounts, path, TVFS_OPEN_READ, k, e)) return 0;
        std::string buf(65536, '\0');
        for (;;) {
            uint32_t n = 0;
            if (!fs->ReadBuf(kDixMounts, buf.data(), (uint32_t)buf.size(), n, k, e) || n == 0) break;
            text.append(buf.data(), n);
            if (text.size() >= (size_t)kMaxKeptBytes) break;
        }
        CWideString ce;
        fs->CloseFile(kDixMounts, k, ce);
        if (!e.IsEmpty()) {
            Log(2, 9709, u"The list of file systems mounted in the folder is not read: " + e + u"\n");
            return 0;
        }
        e.Empty();
    }
    std::string why;
    if (text.size() >= (size_t)kMaxKeptBytes || !ParseMountsBelow(text, kept, why)) {
        if (why.empty()) why = "too long";
        TvFileSys* fs = m_apFs[side].get();
        Log(1, 9709,
            u"The list of file systems mounted in the folder " + (bInSide && fs ? fs->DisplayPath(path) : path) +
                u" is damaged (" + Utf8ToWide(why.c_str()) + u"); it is not taken into account\n");
        kept.clear();
        return -1;
    }
    // Kept by a version that counted them (or before the filters left them out).
    DropMountsLeftOut(kept);
    return 1;
}

bool CSyncJob::WriteSideMountsKept(int side, const std::string& text, CWideString& err) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    CWideString path;
    if (!SideKeepsMounts(side, true) || !SideMountsKeptPath(side, path)) return true;
    // Written whole into a file of the runner's alone, then copied into a
    // temporary of the data folder (which a later run clears away if this
    // one ends before the rename) and renamed: never written through a name
    // that something else stands at.
    const CWideString temp = CWideString(kDataFolderPath) + u"/" +
                             Utf8ToWide(Md5HexOfText(WideToUtf8(OwnTempName(path, fs)))) + GetTempFileSuffix(fs);
    CWideString mirror, local, e;
    int k = 0, fd = -1;
    if (!MountsKeptPath(side, mirror)) return true;
    mirror = mirror.Left(mirror.ReverseFind(u'/'));
    if (!ZorCreateFolderPath(mirror, false, k, e) || !ZorCreateTempFile(mirror, u"tvmb", local, fd, k, e)) {
        err = e;
        return false;
    }
    // The copy takes its mode: like everything in the data folder, the owner's alone.
    (void)fchmod(fd, 0600);
    size_t nDone = 0;
    bool ok = ZorWriteAllFd(fd, text.data(), text.size(), nDone);
    if (!ok) e = u"cannot write " + local;
    close(fd);
    DeleteFileQuietly(fs, temp);
    ok = ok && fs->UploadFile(local, temp, k, e) && fs->MoveFile(temp, path, k, e);
    ZorDeleteFileQuiet(local);
    if (!ok) {
        DeleteFileQuietly(fs, temp);
        err = e;
    }
    return ok;
}

bool CSyncJob::MountsAsLastSynced(int side, CWideString& changed) {
    side &= 1;
    changed.Empty();
    std::vector<CMountBelow> now;
    // A side whose mounts cannot be told: nothing to hold it by.
    if (!ListMountsBelow(side, now)) return true;
    std::vector<std::string> diff;
    auto add = [&](const std::vector<std::string>& d) { diff.insert(diff.end(), d.begin(), d.end()); };
    // What the scan read is the side as it stood then: a mount made or gone
    // since (even the same drive put back) and the tree is not the side.
    const bool bScanned = m_abMountsAtScan[side] != 0;
    if (bScanned) add(MountLayoutChanges(m_aMountsAtScan[side], now, true));
    const std::vector<CMountBelow>& read = bScanned ? m_aMountsAtScan[side] : now;
    // Nothing kept yet (a first sync, or one by an older version): nothing
    // to hold it by. Kept in the mirror folder or in the side, each counts.
    for (const bool bInSide : {false, true}) {
        std::vector<CMountBelow> kept;
        std::string text;
        if (ReadMountsKept(side, bInSide, kept, text) > 0) add(MountLayoutChanges(kept, read, false));
    }
    std::sort(diff.begin(), diff.end());
    diff.erase(std::unique(diff.begin(), diff.end()), diff.end());
    changed = PointsText(diff);
    return diff.empty();
}

void CSyncJob::KeepMountsBelow(bool bOnlyWhereMissing) {
    for (int s = 0; s < 2; ++s) {
        std::vector<CMountBelow> now;
        CWideString path;
        if (!ListMountsBelow(s, now) || !MountsKeptPath(s, path)) continue;
        // A layout that changed while the job ran is not the one it synced
        // with: what was kept stays, and the next sync holds the side.
        if (m_abMountsAtScan[s]) {
            const std::vector<std::string> moved = MountLayoutChanges(m_aMountsAtScan[s], now, true);
            if (!moved.empty()) {
                Log(1, 9708,
                    CWideString::Formatted(u"In the %s folder %s, %s became another file system, or stopped being "
                                           u"one, while the job ran: the next sync holds the side until it is as "
                                           u"it was",
                                           s ? u"right" : u"left", m_apFs[s]->DisplayPath(CWideString()),
                                           PointsText(moved)) +
                        u"\n");
                continue;
            }
        }
        const std::string text = FormatMountsBelow(now);
        std::vector<CMountBelow> kept[2];
        std::string keptText[2];
        const int r[2] = {ReadMountsKept(s, false, kept[0], keptText[0]),
                          ReadMountsKept(s, true, kept[1], keptText[1])};
        bool abWrite[2];
        for (int w = 0; w < 2; ++w) {
            // An older version's list (the points alone) is taken anew.
            const bool bOlder = r[w] > 0 && !kept[w].empty() && !kept[w][0].bKnown;
            abWrite[w] = r[w] <= 0 || (bOnlyWhereMissing ? bOlder : keptText[w] != text);
        }
        // Where the folders were found in sync, only what is not kept yet
        // is, and only as what is kept elsewhere has it.
        if (bOnlyWhereMissing)
            for (int w = 0; w < 2; ++w)
                if (r[w] > 0 && !MountLayoutChanges(kept[w], now, false).empty()) abWrite[0] = abWrite[1] = false;
        CWideString e;
        int k = 0;
        // In the mirror folder, also as the folders alone, the list older
        // versions read (one run by the profile's user after this one holds
        // no side for a list it cannot read).
        CWideString known;
        if (abWrite[0] && MountsKnownPath(s, known)) {
            std::vector<std::string> points;
            for (const CMountBelow& m : now) points.push_back(m.sPoint);
            const std::pair<CWideString, std::string> files[] = {{known, text}, {path, JoinPoints(points)}};
            for (const auto& [file, content] : files) {
                e.Empty();
                if (!WriteWholeFile(file, CNarrowString(content.c_str()), k, e)) {
                    Log(2, 9708, u"Cannot keep the file systems mounted in the folder: " + e + u"\n");
                    break;
                }
                // Like everything in the mirror folders, the owner's alone.
                ZorMakeFileOwnerOnly(file);
            }
        }
        e.Empty();
        if (abWrite[1] && !WriteSideMountsKept(s, text, e))
            Log(2, 9708, u"Cannot keep the file systems mounted in the folder in its data folder: " + e + u"\n");
    }
}
