// Forgetting what a side's data folder remembers: its state files (so that
// the next Analyze sees the side as never synchronised), its in-sync stamps,
// its kept versions, or the whole data folder.
#include "syncjob.h"

#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-path.h"

namespace {

bool IsStateFileName(const CWideString& name) {
    return name == CSyncJob::kStateFileName || name == CSyncJob::kStateFileV3Name;
}

// Whether the path names something on the side: false with bFound false
// for a missing item, false with an error text when the query failed.
bool SideItemExists(TvFileSys* fs, const CWideString& path, bool& bFound, int& errKind,
                    CWideString& errText) {
    FsItemInfo info;
    bool bNotFound = false;
    if (!fs->GetInfo(path, info, bNotFound, errKind, errText)) return false;
    bFound = !bNotFound;
    return true;
}

} // namespace

bool CSyncJob::DeleteSideFiles(int mode, const CWideString& folder, int side, int& errKind,
                               CWideString& errText) {
    return DeleteSideFilesRec(mode, folder, side, true, errKind, errText);
}

bool CSyncJob::DeleteSideFilesRec(int mode, const CWideString& folder, int side, bool bTopLevel, int& errKind,
                                  CWideString& errText) {
    TvFileSys* fs = (side == 0 || side == 1) ? m_apFs[side].get() : nullptr;
    if (!fs) {
        errText += u"not connected";
        errKind = FSE_GENERAL;
        return false;
    }
    bool bIsFolder = false;
    if (!fs->IsFolder(folder, bIsFolder, errKind, errText)) return false;
    if (!bIsFolder) {
        errText += u"not a folder: " + fs->DisplayPath(folder);
        errKind = FSE_GENERAL;
        return false;
    }
    CListT<FsItemInfo> items;
    CWideString listErr;
    if (!fs->ListDir(folder, items, errKind, listErr)) {
        errText += u"cannot list folder: " + listErr;
        return false;
    }
    const bool bStateMode = mode == kDeleteStateFiles;
    const bool bInDataFolder = folder.EndsWith(u"/_tvdata_");
    CListT<CWideString> subFolders;
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& entry = items.GetNext(pos);
        if (entry.IsBad()) continue;
        const CWideString child = folder + u"/" + entry.m_sName;
        // A link is removed as a link, never entered: what it points at is
        // not part of this folder tree.
        if (entry.IsFolder() && !entry.IsLink()) {
            subFolders.AddTail(child);
            continue;
        }
        if (bStateMode && !(bInDataFolder && IsStateFileName(entry.m_sName))) continue;
        const CWideString display = fs->DisplayPath(child);
        int kind = 0;
        CWideString err;
        if (fs->DeleteFile(child, kind, err))
            Log(2, 9501,
                FormatLocalizedString(bStateMode ? IDS_Str_Msg_StateFileDeleted : IDS_Str_Msg_FileDeleted,
                                      display) +
                    u"\n");
        else
            Log(1, 9502, FormatLocalizedString(IDS_Str_Msg_CannotDelete, display, err) + u"\n");
    }
    if (bStateMode) {
        // The copies that a side without a data folder keeps on this computer.
        for (int i = 0; i < 2; ++i) {
            CWideString mirror;
            int k = 0;
            CWideString e;
            if (!MakeMirrorFolderPath(false, fs->DisplayPath(folder), i == 1, mirror, k, e)) continue;
            for (const char16_t* name : {kStateFileName, kStateFileV3Name}) {
                const CWideString local = mirror + u"/" + name;
                if (ZorFileExists(local) && ZorDeleteFile(local, k, e))
                    Log(2, 9503, u"Delete Read-Only Side State File " + local + u"\n");
            }
        }
    }
    for (ZorPosition pos = subFolders.GetHeadPosition(); pos;) {
        const CWideString& sub = subFolders.GetNext(pos);
        int kind = 0;
        CWideString err;
        if (!DeleteSideFilesRec(mode, sub, side, false, kind, err))
            Log(1, 9504, FormatLocalizedString(IDS_Str_Msg_CannotDelete, fs->DisplayPath(sub), err) + u"\n");
    }
    if (!bStateMode) {
        int kind = 0;
        CWideString err;
        if (fs->DeleteFolder(folder, kind, err))
            Log(2, 9505, FormatLocalizedString(IDS_Str_Msg_FolderDeleted, fs->DisplayPath(folder)) + u"\n");
        else
            Log(1, 9506,
                FormatLocalizedString(IDS_Str_Msg_CannotDelete, fs->DisplayPath(folder), err) + u"\n");
    }
    (void)bTopLevel;
    return true;
}

void CSyncJob::ForgetSideState(int side) {
    int kind = 0;
    CWideString err;
    if (!DeleteSideFiles(kDeleteStateFiles, CWideString(), side, kind, err))
        Log(1, 9510, u"Cannot delete state files: " + err + u"\n");
    DeleteStampFiles(side);
}

void CSyncJob::DeleteStampFiles(int side) {
    TvFileSys* fs = (side == 0 || side == 1) ? m_apFs[side].get() : nullptr;
    if (fs) {
        for (const char16_t* stamp : {kInSyncStampPath, kInSyncStampV3Path}) {
            int kind = 0;
            CWideString err;
            if (fs->DeleteFile(stamp, kind, err))
                Log(2, 9511, u"Delete Stamp File " + fs->DisplayPath(stamp) + u"\n");
        }
    }
    CWideString mirror;
    int k = 0;
    CWideString e;
    const CWideString url = fs ? fs->DisplayPath(CWideString()) : GetSideFolder(side);
    if (!MakeMirrorFolderPath(false, url, false, mirror, k, e)) return;
    for (const char16_t* name : {u"_insync_v4.tvl", u"_insync.tvl"}) {
        const CWideString local = mirror + u"/" + name;
        if (ZorFileExists(local) && ZorDeleteFile(local, k, e))
            Log(2, 9511, u"Delete Stamp File " + local + u"\n");
    }
}

void CSyncJob::DeleteKeptVersions(int side) {
    const struct {
        const char16_t* path;
        const char16_t* what;
    } trees[] = {{kSavedFolderPath, u"Cannot delete _saved_ files: "},
                 {kHistoryFolderPath, u"Cannot delete _history_ files: "}};
    for (const auto& t : trees) {
        int kind = 0;
        CWideString err;
        TvFileSys* fs = (side == 0 || side == 1) ? m_apFs[side].get() : nullptr;
        // Nothing kept yet is nothing to delete.
        bool bFound = true;
        if (fs && SideItemExists(fs, t.path, bFound, kind, err) && !bFound) continue;
        err.Empty();
        if (!DeleteSideFiles(kDeleteEverything, t.path, side, kind, err)) Log(1, 9512, t.what + err + u"\n");
    }
}

void CSyncJob::DeleteDataFolder(int side) {
    int kind = 0;
    CWideString err;
    if (!DeleteSideFiles(kDeleteEverything, kDataFolderPath, side, kind, err))
        Log(1, 9513, u"Cannot delete _tvdata_ folder: " + err + u"\n");
}
