// Counting the decided tree: per-folder statistics records, the required
// free-space estimate, the work bytes of the progress display, and the lock
// pass that finds and locks nested data folders before Sync writes.
#include "syncjob.h"
#include "zor-debug.h"

#include <algorithm>

// ---------------------------------------------------------------- predicates and records

uint64_t RoundUpToBlock(uint64_t bytes, uint64_t blockSize) {
    if (blockSize == 0) blockSize = 1024;
    if (bytes == 0) return 0;
    const int64_t b = (int64_t)bytes, s = (int64_t)blockSize;
    return (uint64_t)(((b - 1 + s) / s) * s);
}

bool IsUserChanged(const CSyncPairAndAction& item) {
    return item.m_nUserAction != 0 && item.m_nUserAction != item.m_nSysAction;
}

bool IsFolderReplacesFile(const CSyncPairAndAction& item) {
    const uint8_t eff = item.GetEffAction();
    const CSideInfo &L = item.m_aCur[0], &R = item.m_aCur[1];
    if (eff == EA_COPY_RIGHT_TO_LEFT) return R.Exists() && R.IsFolder() && L.Exists() && !L.IsFolder();
    if (eff == EA_COPY_LEFT_TO_RIGHT) return L.Exists() && L.IsFolder() && R.Exists() && !R.IsFolder();
    return false;
}

bool IsFolderWherePresent(const CSyncPairAndAction& item) {
    for (const CSideInfo& r : item.m_aCur)
        if (r.IsPresentBit() && !r.IsFolder()) return false;
    return true;
}

void AddItemCount(CItemCount& count, const CSyncPairAndAction& item) {
    if (item.IsFolder())
        ++count.m_nFolders;
    else
        ++count.m_nFiles;
}

namespace {

void AddSide(CSideCounter& c, const CSideInfo& rec, bool bBytes) {
    if (rec.IsFolder()) {
        ++c.m_nFolders;
        return;
    }
    ++c.m_nFiles;
    if (bBytes && rec.Exists()) c.m_nBytes += rec.m_Len.GetValue();
}

// The side's record, or the other side's when this one lacks the present bit.
const CSideInfo* RecordFrom(const CSyncPairAndAction& item, int first) {
    if (item.m_aCur[first].IsPresentBit()) return &item.m_aCur[first];
    if (item.m_aCur[1 - first].IsPresentBit()) return &item.m_aCur[1 - first];
    return nullptr;
}

void AddCounter(CSideCounter& a, const CSideCounter& b) {
    a.m_nFiles += b.m_nFiles;
    a.m_nFolders += b.m_nFolders;
    a.m_nBytes += b.m_nBytes;
}

} // namespace

void FolderStatsAddItem(FolderStatsRecord& rec, const CSyncPairAndAction& item) {
    AddItemCount(rec.m_Members, item);
    if (const CSideInfo* p = RecordFrom(item, 0)) AddSide(rec.m_LeftPresent, *p, true);
    if (const CSideInfo* p = RecordFrom(item, 1)) AddSide(rec.m_RightPresent, *p, true);
    if (item.m_nExecState == ESS_SYNCED_OK) return;
    switch (item.GetEffAction()) {
        case EA_COPY_RIGHT_TO_LEFT:
            if (const CSideInfo* p = RecordFrom(item, 1)) AddSide(rec.m_LeftOper, *p, true);
            break;
        case EA_NAME_CASE_RIGHT_TO_LEFT:
        case EA_TIME_RIGHT_TO_LEFT:
        case EA_COPY_STATE_RIGHT_TO_LEFT:
            if (const CSideInfo* p = RecordFrom(item, 1))
                AddSide(rec.m_LeftOper, *p, false);
            else
                ZorAssertFailed(__FILE__, __LINE__, 0, "FolderStatsAddItem: item without records");
            break;
        case EA_COPY_LEFT_TO_RIGHT:
            if (const CSideInfo* p = RecordFrom(item, 0)) AddSide(rec.m_RightOper, *p, true);
            break;
        case EA_NAME_CASE_LEFT_TO_RIGHT:
        case EA_TIME_LEFT_TO_RIGHT:
        case EA_COPY_STATE_LEFT_TO_RIGHT:
            if (const CSideInfo* p = RecordFrom(item, 0))
                AddSide(rec.m_RightOper, *p, false);
            else
                ZorAssertFailed(__FILE__, __LINE__, 0, "FolderStatsAddItem: item without records");
            break;
        default:
            break;
    }
}

void FolderStatsMerge(FolderStatsRecord& rec, const FolderStatsRecord& o) {
    if (&rec == &o) {
        ZOR_ASSERT(&rec != &o);
        return;
    }
    rec.m_Members.m_nFiles += o.m_Members.m_nFiles;
    rec.m_Members.m_nFolders += o.m_Members.m_nFolders;
    AddCounter(rec.m_LeftPresent, o.m_LeftPresent);
    AddCounter(rec.m_LeftOper, o.m_LeftOper);
    AddCounter(rec.m_RightPresent, o.m_RightPresent);
    AddCounter(rec.m_RightOper, o.m_RightOper);
}

// ---------------------------------------------------------------- required free space

CWideString CSyncJob::GetDiskDisplayName(int side) const {
    const TvFileSys* fs = m_apFs[side & 1].get();
    if (!fs) return CWideString();
    const CWideString volume = fs->GetTypeInfo(TVFS_TI_VOLUME_NAME);
    return volume.IsEmpty() ? fs->GetTypeInfo(TVFS_TI_DISPLAY_NAME) : volume;
}

bool CSyncJob::SidesShareOneDisk() const {
    const TvFileSys* fsL = m_apFs[0].get();
    const TvFileSys* fsR = m_apFs[1].get();
    if (!fsL || !fsR || !fsL->GetCapability(TVFS_CAP_FREE_SPACE) || !fsR->GetCapability(TVFS_CAP_FREE_SPACE))
        return false;
    // Two folders of one volume have different names but one identity.
    const CWideString idL = fsL->GetTypeInfo(TVFS_TI_VOLUME_ID), idR = fsR->GetTypeInfo(TVFS_TI_VOLUME_ID);
    if (!idL.IsEmpty() && !idR.IsEmpty()) return idL == idR;
    return GetDiskDisplayName(0).EqualsNoCase(GetDiskDisplayName(1).GetString());
}

void CSyncJob::ComputeRequiredSpace() {
    for (CDiskSpaceInfo& d : m_aDiskSpace) {
        d.m_nRequired = 0;
        d.m_nRunning = 0;
    }
    CCalcRequiredFreeSpace pass;
    pass.m_bOneDisk = SidesShareOneDisk();
    DoForSubtree(GetPairsUnchecked(), pass, true);
    for (int side = 0; side < 2; side++) m_anRequiredBytes[side] = (int64_t)m_aDiskSpace[side].m_nRequired;
}

bool CCalcRequiredFreeSpace::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (item.IsExcluded() || item.IsFolder() || !item.GetMove().IsEmpty()) return true;
    const bool bNew = item.IsNewCopy();
    if (!bNew && !item.IsOverwriteCopy() && !item.IsDeleteAction()) return true;
    int src = 0, dst = 1;
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_COPY_RIGHT_TO_LEFT) {
        src = 1;
        dst = 0;
    } else if (eff != EA_COPY_LEFT_TO_RIGHT) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CCalcRequiredFreeSpace: not a copy", eff);
        return true;
    }
    const int64_t a = (int64_t)RoundUpToBlock(item.m_aCur[dst].m_Len.GetValue(), 1024);
    const int64_t b = (int64_t)RoundUpToBlock(item.m_aCur[src].m_Len.GetValue(), 1024);
    const int64_t c = (int64_t)RoundUpToBlock(item.GetSavedLen(dst).GetValue(), 1024);
    const CSyncJobOptions& o = pJob->m_Options;
    const int64_t freed = a + c;
    int64_t need = b;
    if (!o.m_bSavePreviousVersion && !o.m_bSavePastVersions)
        need += c;
    else
        need += bNew ? c : a;
    const int64_t peak = o.m_bCopyUsingTempFile ? a + b + c : std::max(freed, need);
    CSyncJob::CDiskSpaceInfo& R = pJob->m_aDiskSpace[dst];
    const int64_t at = R.m_nRunning + peak - freed;
    if (at > 0 && (uint64_t)at > R.m_nRequired) R.m_nRequired = (uint64_t)at;
    R.m_nRunning += need - freed;
    if (m_bOneDisk) pJob->m_aDiskSpace[src] = R;
    return true;
}

// ---------------------------------------------------------------- work bytes

bool CDoCountBytesOpers::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    item.SetWorkBytes(0);
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_NO_COPY) return true;
    ++m_nOpers;
    uint64_t work = 512;
    const bool bLtoR = eff == EA_COPY_LEFT_TO_RIGHT;
    if ((bLtoR || eff == EA_COPY_RIGHT_TO_LEFT) && (bLtoR || item.GetMove().IsEmpty())) {
        const CSideInfo& src = item.m_aCur[bLtoR ? 0 : 1];
        if (!src.IsFolder() && src.Exists() && item.GetMove().IsEmpty()) {
            work = src.m_Len.GetValue();
            if (work > 0 && work < 512) work = 512;
        }
    }
    item.SetWorkBytes(work);
    m_nTotal += work;
    return true;
}

// ---------------------------------------------------------------- nested data folders

bool CDoLockEmbeddedStates::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    for (int side = 0; side < 2; side++) {
        TvFileSys* fs = pJob->m_apFs[side].get();
        const bool bProbe = m_bRescan && !item.m_aHoldsDataFolder[side] && item.IsFolder() && fs &&
                            (fs->GetCapability(TVFS_CAP_LOCAL) || fs->GetCapability(TVFS_CAP_MD5));
        // The pass visits every item of the tree; the path is built only for
        // the few that need it (a probe, or a folder that holds a data folder).
        if (!bProbe && !item.m_aHoldsDataFolder[side]) continue;
        const CWideString sidePath = CSyncJob::GetItemSidePath(pNode, side);
        if (bProbe) {
            const CWideString dataPath = sidePath + CSyncJob::kDataFolderPath;
            bool bIsFolder = false;
            int k = 0;
            CWideString e;
            FsItemInfo info;
            bool bNotFound = false;
            if (fs->IsFolder(dataPath, bIsFolder, k, e) && bIsFolder &&
                fs->GetInfo(dataPath, info, bNotFound, k, e) && k == 0 && !bNotFound &&
                info.m_nAttributes != FSA_UNKNOWN && (info.m_nAttributes & FSA_FOLDER) &&
                !(info.m_nAttributes & FSA_LINK)) {
                item.m_aHoldsDataFolder[side] = 1;
                pJob->Notify(3, u"_TvData_ rescan detected new folder " + fs->DisplayPath(dataPath) + u"\n");
                FsItemInfo state;
                int k2 = 0;
                CWideString e2;
                bool bNf = false;
                if (fs->GetInfo(dataPath + u"/_file_state_v4._tv", state, bNf, k2, e2) && k2 == 0 && !bNf)
                    pJob->SetStateFileStamp(side, sidePath, state);
            }
        }
        if (!item.m_aHoldsDataFolder[side] || pJob->CannotHaveDataFolder(side)) continue;
        if (sidePath.IsEmpty() && !m_abCreated[side]) continue;
        if (!pJob->LockFolder(sidePath, side, true, m_nErrKind, m_sErrText)) return false;
    }
    return true;
}
