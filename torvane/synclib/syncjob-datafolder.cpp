// The job's data folder "_tvdata_" on each side: its names and suffixes, the
// side's own names of tree items, and the keeping of previous versions
// ("_saved_", "_history_" and conflict copies) with their tracking and expiry.
#include "syncjob.h"

#include <algorithm>
#include <unistd.h>

#include "TvFileCopy.h"
#include "zor-debug.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

namespace {

// How many seconds a history stamp is moved on to find a free name, and how
// many copy numbers a conflict copy tries.
constexpr int kMaxHistoryStampTries = 3600;
constexpr int kMaxConflictCopyNumber = 1000;

// The path with tag inserted before the extension of its file name (the last
// '.' after the last '/'); appended when the file name has no '.'.
CWideString InsertBeforeExtension(const CWideString& path, const CWideString& tag) {
    const int nSlash = path.ReverseFind(u'/');
    const int nDot = path.ReverseFind(u'.');
    if (nDot > nSlash) return path.Left(nDot) + tag + path.Mid(nDot);
    return path + tag;
}

// Whether anything (file, folder, link) stands at the path. False when the
// question itself fails.
bool ItemExists(TvFileSys* fs, const CWideString& path, bool& bExists, int& errKind, CWideString& err) {
    FsItemInfo info;
    bool bNotFound = false;
    CWideString e;
    if (!fs->GetInfo(path, info, bNotFound, errKind, e)) {
        err += e;
        return false;
    }
    bExists = !bNotFound;
    return true;
}

CWideString DataSuffixOr(const TvFileSys* fs, const char16_t* def) {
    CWideString s = fs ? fs->GetTypeInfo(TVFS_TI_DATA_SUFFIX) : CWideString();
    return s.IsEmpty() ? CWideString(def) : s;
}

// A second name (else a copy) of a file that stays where it is. Inside the
// data folder (bMayReplace) what stands at the new name goes first; a
// conflict copy's name lies in the user's tree and is never replaced.
bool KeepFileCopy(TvFileSys* fs, const CWideString& path, const CWideString& newPath, bool bMayReplace,
                  bool bNoLink, int& errKind, CWideString& err) {
    for (int attempt = 0; attempt < 2 && !bNoLink; ++attempt) {
        bool bExists = false;
        CWideString e;
        if (fs->LinkFile(path, newPath, bExists, errKind, e)) return true;
        if (bExists && bMayReplace && attempt == 0) {
            int k = 0;
            CWideString e2;
            DeleteFolderRecursive(fs, newPath, nullptr, k, e2);
            continue;
        }
        if (bExists) {
            err += e;
            return false;
        }
        break; // no links here (another file system): copy
    }
    if (bMayReplace) {
        int k = 0;
        CWideString e2;
        DeleteFolderRecursive(fs, newPath, nullptr, k, e2);
    } else {
        bool bExists = false;
        if (!ItemExists(fs, newPath, bExists, errKind, err)) return false;
        if (bExists) {
            errKind = FSE_GENERAL;
            err += u"the name is taken: " + fs->DisplayPath(newPath);
            return false;
        }
    }
    return fs->CopyFileFs(path, newPath, errKind, err);
}

} // namespace

// ---------------------------------------------------------------- suffixes

CWideString CSyncJob::GetTempFileSuffix(const TvFileSys* fs) {
    return DataSuffixOr(fs, u"._tvtmp");
}

CWideString CSyncJob::GetLockFileSuffix(const TvFileSys* fs) {
    return DataSuffixOr(fs, u".tvl");
}

CWideString CSyncJob::GetFileSuffixOr(const TvFileSys* fs, const CWideString& def) {
    return DataSuffixOr(fs, def.GetString());
}

// ---------------------------------------------------------------- names of tree items

CWideString CSyncJob::GetItemSideName(const CSyncTreeNode* pNode, int side) {
    if (!pNode) return CWideString();
    const CWideString& id = pNode->GetItem().m_aCur[side ? 1 : 0].m_sId;
    return id.IsEmpty() ? pNode->GetName() : id;
}

CWideString CSyncJob::GetItemOldSideName(const CSyncTreeNode* pNode, int side) {
    if (!pNode) return CWideString();
    const CWideString& id = pNode->GetItem().m_aOld[side ? 1 : 0].m_sId;
    return id.IsEmpty() ? pNode->GetName() : id;
}

CWideString CSyncJob::GetItemSidePath(const CSyncTreeNode* pNode, int side) {
    CWideString path;
    for (const CSyncTreeNode* p = pNode; p && p->GetParent(); p = p->GetParent()) {
        path = (path.IsEmpty() ? GetItemSideName(p, side) : GetItemSideName(p, side) + u"/" + path);
    }
    if (!path.IsEmpty()) path = u"/" + path;
    return path;
}

bool CSyncJob::IsInExcludedSubtree(const CSyncTreeNode* pNode) {
    for (const CSyncTreeNode* p = pNode; p && p->GetParent(); p = p->GetParent())
        if (p->GetItem().m_nFlags & SPF_EXCLUDED) return true;
    return false;
}

bool CSyncJob::HasOnlyFolderAncestors(const CSyncTreeNode* pNode) {
    if (!pNode) return false;
    for (const CSyncTreeNode* p = pNode->GetParent(); p && p->GetParent(); p = p->GetParent()) {
        const CSyncPairAndAction& it = p->GetItem();
        for (int s = 0; s < 2; ++s)
            if (it.m_aCur[s].IsPresentBit() && !it.m_aCur[s].IsFolder()) return false;
    }
    return true;
}

namespace {
template <typename F> bool AnyChild(const CSyncTreeNode* pNode, F pred) {
    if (!pNode || !pNode->GetChildMap()) return false;
    for (auto* e = pNode->GetChildMap()->GetFirst(); e; e = CSyncTreeNode::CChildMap::GetNext(e))
        if (pred(e->GetValue().GetItem())) return true;
    return false;
}
} // namespace

bool CSyncJob::AnyChildExists(const CSyncTreeNode* pNode) {
    return AnyChild(pNode, [](const CSyncPairAndAction& it) { return it.ExistsAnywhere(); });
}

bool CSyncJob::AnyIncludedChildExists(const CSyncTreeNode* pNode) {
    return AnyChild(pNode, [](const CSyncPairAndAction& it) {
        return !(it.m_nFlags & (SPF_EXCLUDED | SPF_REINCLUDED)) && it.ExistsAnywhere();
    });
}

CWideString CSyncJob::StripCopyNumber(const CWideString& name) {
    const int n = name.GetLength();
    if (n == 0 || name[n - 1] != u')') return name;
    const int nOpen = name.ReverseFind(u'(');
    if (nOpen < 0) return name;
    for (int i = nOpen + 1; i < n - 1; ++i)
        if (name[i] < u'0' || name[i] > u'9') return name;
    CWideString s = name.Left(nOpen);
    s.TrimRight();
    return s;
}

// ---------------------------------------------------------------- previous versions

void CSyncJob::ResetKeptFolderMaps() {
    CCritSectionLock lock(m_cs);
    m_aKeptFolders[0].RemoveAll();
    m_aKeptFolders[1].RemoveAll();
}

bool CSyncJob::EnsureKeptFolder(int side, TvFileSys* fs, const CWideString& folder, int& errKind,
                                CWideString& err) {
    if (folder.IsEmpty()) return true;
    // The folder is created inside the lock, so that two workers keeping
    // versions into the same new folder do not race to create it.
    CCritSectionLock lock(m_cs);
    auto& made = m_aKeptFolders[side ? 1 : 0];
    uint8_t b = 0;
    if (made.Lookup(folder, b)) return true;
    CWideString e;
    if (!MakeFolderRecursive(fs, folder, false, errKind, e)) {
        err += u"Cannot create history folder: " + e;
        return false;
    }
    made.SetAt(folder, 1);
    return true;
}

bool CSyncJob::MakeConflictCopyPath(const CWideString& path, TvFileSys* fs, CWideString& newPath,
                                    int& errKind, CWideString& err) {
    CWideString tag = m_Options.m_sConflictCopyName;
    ExpandPathMacros(tag);
    if (tag.IsEmpty()) tag = u"lost-in-conflict-" + CZorTime::Now().Format(u"%Y-%m-%d-%H%M%S");
    MakeValidFileName(tag);
    // Whatever stands at a candidate name (a file or a folder) belongs to the
    // user: only a name where nothing stands is taken.
    for (int n = 0; n <= kMaxConflictCopyNumber; ++n) {
        CWideString cand =
            InsertBeforeExtension(path, n == 0 ? tag : tag + CWideString::Formatted(u" (%d)", n));
        bool bExists = false;
        CWideString e;
        if (!ItemExists(fs, cand, bExists, errKind, e)) {
            err += u"Cannot check conflict copy name " + fs->DisplayPath(cand) + u": " + e;
            return false;
        }
        if (!bExists) {
            newPath = cand;
            return true;
        }
    }
    errKind = FSE_GENERAL;
    err += CWideString::Formatted(u"No free name for the conflict copy of %s: %d copies exist already",
                                  fs->DisplayPath(path), kMaxConflictCopyNumber + 1);
    return false;
}

bool CSyncJob::MakeHistoryPath(const CWideString& path, TvFileSys* fs, CWideString& newPath, int& errKind,
                               CWideString& err) {
    // Versions kept within one second would get the same name: the stamp is
    // moved on a second at a time until the name is free, so that no kept
    // version replaces another.
    const CZorTime now = CZorTime::Now();
    for (int i = 0; i < kMaxHistoryStampTries; ++i) {
        const CWideString stamp = u"_" + (now + CTimeSpan64(i)).Format(u"%Y-%m%d-%H%M%S");
        CWideString cand = kHistoryFolderPath + InsertBeforeExtension(path, stamp);
        bool bExists = false;
        CWideString e;
        if (!ItemExists(fs, cand, bExists, errKind, e)) {
            err += u"Cannot check history name " + fs->DisplayPath(cand) + u": " + e;
            return false;
        }
        if (!bExists) {
            newPath = cand;
            return true;
        }
    }
    errKind = FSE_GENERAL;
    err += u"No free name in the history folder for " + fs->DisplayPath(path);
    return false;
}

bool CSyncJob::KeepPreviousVersion(const CWideString& path, CSyncTreeNode* pNode, int side, TvFileSys* fs,
                                   bool bConflictLoser, uint32_t attrs, CWideString& newPath, int& errKind,
                                   CWideString& err, bool bKeepInPlace) {
    side = side ? 1 : 0;
    newPath.Empty();
    if (!fs) {
        errKind = FSE_GENERAL;
        err += u"not connected";
        return false;
    }
    const bool bRename = bConflictLoser && m_Options.m_bRenameLosingFile;
    const bool bHistory = !bRename && m_Options.m_bSavePastVersions;
    const bool bSaved = !bRename && !bHistory;

    // 1. The new name.
    if (bRename) {
        if (!MakeConflictCopyPath(path, fs, newPath, errKind, err)) return false;
    } else {
        if (m_Options.m_bNoSavePreviousPastVersionsLocal && fs->GetCapability(TVFS_CAP_LOCAL)) return true;
        if (bHistory) {
            if (!MakeHistoryPath(path, fs, newPath, errKind, err)) return false;
        } else {
            newPath = kSavedFolderPath + path;
        }
        // 2. Its folder.
        if (!EnsureKeptFolder(side, fs, GetUrlPathFolder(newPath), errKind, err)) return false;
    }

    const bool bFolder = attrs != FSA_UNKNOWN && (attrs & FSA_FOLDER);
    bKeepInPlace = bKeepInPlace && !bFolder;

    // 3. A read-only, hidden or system item cannot always be moved.
    if (!bKeepInPlace && fs->GetCapability(TVFS_CAP_SET_ATTRIBUTES) && attrs != FSA_UNKNOWN &&
        (attrs & (FSA_READONLY | FSA_HIDDEN | FSA_SYSTEM))) {
        CWideString e;
        if (!fs->SetAttributes(path, FSA_NORMAL, errKind, e)) {
            err += u"Destination file attrs cannot be changed to normal: " + e;
            return false;
        }
    }

    // 4. A conflict copy is an item operation of its own.
    const int nAction = side == 1 ? EA_COPY_LEFT_TO_RIGHT : EA_COPY_RIGHT_TO_LEFT;
    if (bRename) {
        int k = 0;
        CWideString e;
        m_pProgress->BeforeItem(nullptr, nAction, IOK_KEEP_CONFLICT_LOSER, path, k, e);
    }

    // 5. The move. Only inside the data folder may what stands at the new
    // name be deleted: a conflict copy's name lies in the user's tree.
    // A file with other names (hard links) goes on living under them: a
    // second name or the moved name would change with them, so its kept
    // version is a copy of its own.
    const bool bOtherNames = !bFolder && fs->GetNameCount(path) > 1;
    bool bOk;
    CWideString e;
    if (bKeepInPlace || bOtherNames) {
        bOk = KeepFileCopy(fs, path, newPath, !bRename, bOtherNames, errKind, e);
        if (!bOk) e = u"Cannot keep previous version as " + fs->DisplayPath(newPath) + u": " + e;
        if (bOk && !bKeepInPlace) {
            bOk = fs->DeleteFile(path, errKind, e);
            if (!bOk) e = u"Cannot delete destination file: " + e;
        }
    } else if (!bFolder) {
        bOk = fs->MoveFile(path, newPath, errKind, e);
        if (!bOk && !bRename) {
            int k2 = 0;
            CWideString e2;
            DeleteFolderRecursive(fs, newPath, nullptr, k2, e2);
            e.Empty();
            bOk = fs->MoveFile(path, newPath, errKind, e);
        }
        if (!bOk)
            e = u"Cannot move destination file to history folder: " + fs->DisplayPath(newPath) + u": " + e;
    } else {
        bOk = true;
        if (!bRename) bOk = DeleteFolderRecursive(fs, newPath, nullptr, errKind, e);
        if (bOk) bOk = fs->MoveFolder(path, newPath, errKind, e);
        if (!bOk)
            e = u"Cannot move destination folder to history folder: " + fs->DisplayPath(newPath) + u": " + e;
    }
    if (!bOk) {
        err += e;
        if (bRename)
            m_pProgress->AfterItem(nullptr, nAction, IOK_KEEP_CONFLICT_LOSER, newPath, false, errKind, e);
        return false;
    }

    // 6. Bookkeeping.
    if (bRename) {
        m_pProgress->AfterItem(nullptr, nAction, IOK_KEEP_CONFLICT_LOSER, newPath, true, 0, CWideString());
    } else if (bSaved) {
        CCritSectionLock lock(m_cs);
        if (!pNode) {
            CWideString le;
            pNode = m_Tree.LookupCS(path, false, nullptr, le);
        }
        if (pNode) {
            CSyncPairAndAction& it = pNode->GetItem();
            const CSyncTime now = CSyncTime::Now();
            const CItemLen len = it.m_aCur[side].m_Len;
            NoteSavedRecordsChanged(0);
            NoteSavedRecordsChanged(1);
            it.SetSaved(side, now, len);
            if (it.IsDeleteAction()) it.SetSaved(1 - side, now, len);
        }
    }
    return true;
}

// ---------------------------------------------------------------- saved versions: expiry and tracking

void CSyncJob::CleanupSavedFiles(CSyncTreeNode* pNode, int side, int64_t cutoff, bool& bNoneTracked,
                                 int64_t* pEarliest) {
    if (!pNode) return;
    side = side ? 1 : 0;
    CSyncPairAndAction& it = pNode->GetItem();
    if (!it.GetSavedTime(side).IsZero()) {
        bNoneTracked = false;
        TvFileSys* fs = m_apFs[side].get();
        const int64_t nSaved = (int64_t)it.GetSavedTime(side).GetTime();
        if (nSaved >= cutoff || !fs) {
            if (pEarliest) *pEarliest = std::min(*pEarliest, nSaved);
        } else {
            NoteSavedRecordsChanged(side);
            const CWideString saved = kSavedFolderPath + GetItemSidePath(pNode, side);
            it.SetSaved(side, CSyncTime(), CItemLen());
            int k = 0;
            CWideString e;
            if (fs->DeleteFile(saved, k, e)) {
                Log(2, 4501, CWideString::Formatted(u"Deleted recycled file %s\n", fs->DisplayPath(saved)));
            } else {
                bool bExists = true;
                int k2 = 0;
                CWideString e2;
                if (!fs->IsFile(saved, bExists, k2, e2) || bExists)
                    Log(2, 4502,
                        CWideString::Formatted(u"Deleting recycled file %s: %s\n", fs->DisplayPath(saved),
                                               e));
            }
        }
    }
    if (pNode->IsContainer() && pNode->GetChildMap()) {
        for (auto* e = pNode->GetChildMap()->GetFirst(); e; e = CSyncTreeNode::CChildMap::GetNext(e))
            CleanupSavedFiles(&e->GetValue(), side, cutoff, bNoneTracked, pEarliest);
    }
}

bool CSyncJob::InitSavedTracking(const CWideString& folder, int side, TvFileSys* fs, bool bTopLevel,
                                 int64_t nTime, CSyncTreeNode* pRoot, int& errKind, CWideString& err) {
    side = side ? 1 : 0;
    const CWideString listed = kSavedFolderPath + folder;
    CListT<FsItemInfo> items;
    CWideString e;
    if (!fs->ListDir(listed, items, errKind, e)) {
        if (bTopLevel) return true; // no "_saved_" folder: nothing to track
        err += e;
        return false;
    }
    if (bTopLevel)
        Log(2, 4503, u"Initialize _saved_ folder tracking in the state: " + fs->DisplayPath(listed) + u"\n");
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& info = items.GetNext(pos);
        if (info.IsBad()) continue;
        const CWideString child = folder + u"/" + info.m_sName;
        if (info.IsFolder()) {
            if (info.m_sName.CompareNoCase(u"_tvdata_") == 0 || info.m_sName.CompareNoCase(u"_RERIZUR") == 0)
                continue;
            if (!InitSavedTracking(child, side, fs, false, nTime, pRoot, errKind, err)) return false;
            continue;
        }
        CWideString key = child;
        NormalizeNameNfc(key);
        CWideString le;
        CSyncTreeNode* pNode = pRoot ? CSyncTreeNode::LookupCS(pRoot, key, false, nullptr, le) : nullptr;
        if (pNode) {
            NoteSavedRecordsChanged(side);
            CItemLen len;
            len.SetValue((uint64_t)info.m_nSize);
            pNode->GetItem().SetSaved(side, CSyncTime((uint32_t)nTime), len);
        } else {
            // A saved copy that no item knows (the state was lost or
            // forgotten) is the only copy of that version: it stays.
            Log(3, 4504,
                u"Kept recycled file with no state: " + fs->DisplayPath(kSavedFolderPath + child) + u"\n");
        }
    }
    return true;
}

void CSyncJob::ExpireSavedVersions(int side) {
    side = side ? 1 : 0;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || !m_Tree.GetItem().m_aHoldsDataFolder[side]) return;
    if (!m_Options.m_bCleanupPreviousVersion || m_pProgress->IsStopRequested()) return;
    const int nDays = m_Options.m_nSaveDaysPreviousVersion;
    bool bNoneTracked = true;
    CleanupSavedFiles(&m_Tree, side, TimeDaysAgo(nDays), bNoneTracked);
    if (!bNoneTracked) return;
    // Nothing records a saved version (an upgrade, a lost state): the files
    // found get half the retention period.
    const int64_t nTime = CZorTime::Now().GetTime() - (int64_t)(nDays / 2) * 86400;
    int k = 0;
    CWideString e;
    if (!InitSavedTracking(CWideString(), side, fs, true, nTime, &m_Tree, k, e))
        Log(2, 4505, u"Cannot init PrevSyncTime: " + e + u"\n");
}

// ---------------------------------------------------------------- whose the data folder is

bool CSyncJob::CheckDataFolderTrust(const CWideString& folder, int side, int& errKind, CWideString& errText) {
    side = side ? 1 : 0;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || CannotHaveDataFolder(side)) return true;
    // The folder first (and closed when it is open to others): what lies in
    // it is looked at only once no other user can change it any more.
    // The lock is made as a second name of a temporary (a run killed
    // between the link and the removal of the temporary leaves both), and
    // it becomes the in-sync stamp: they may have two names, and they are
    // only read (a few bytes), deleted or renamed, never written through.
    struct CItem {
        CWideString path;
        int nFlags;
    };
    const CItem items[] = {
        {folder + kDataFolderPath, TvFileSys::TVFS_OWN_CLOSE},
        {folder + kLockFileBase + GetLockFileSuffix(fs), TvFileSys::TVFS_OWN_NAMES_OK},
        {folder + kStateFilePath, 0},
        {folder + kStateFileV3Path, 0},
        {folder + kInSyncStampPath, TvFileSys::TVFS_OWN_NAMES_OK},
        {folder + kSavedFolderPath, TvFileSys::TVFS_OWN_CLOSE_TREE},
        {folder + kHistoryFolderPath, TvFileSys::TVFS_OWN_CLOSE_TREE},
    };
    for (const CItem& item : items) {
        int k = 0;
        CWideString e;
        const int r = fs->CheckOwnItem(item.path, item.nFlags, k, e);
        if (r == 0 && &item == &items[0]) return true; // no data folder: nothing in it to trust
        if (r >= 0) continue;
        errKind = k ? k : FSE_GENERAL;
        if (r == -2) {
            errText += u"Cannot tell whose the data folder is: " + e;
            return false;
        }
        m_abUntrusted[side] = 1;
        const CWideString msg =
            CWideString::Formatted(folder.IsEmpty()
                                       ? u"Refused: the %s side's data folder cannot be trusted: "
                                       : u"Refused: a data folder in the %s side cannot be trusted: ",
                                   side ? u"right" : u"left") +
            e +
            u". Another user could change what the job keeps there, so nothing is read from it or done to "
            u"it, and nothing is synced. To fix: if that item is not the job's, have it removed (by its owner "
            u"or root) and the job makes it anew; on a drive without owners of its own (FAT, exFAT) mount it "
            u"with uid=" +
            CWideString::Formatted(u"%u", (unsigned)geteuid()) +
            u" of the user who runs the job; a folder that several users write is synced by one of them, with "
            u"a job of that user";
        Log(1, 4506, msg + u"\n");
        errText += msg;
        return false;
    }
    return true;
}
