// The modes of a one-way job's copies, looked at again by later runs.
#include "TvFileCopy.h"
#include "sync-tree.h"
#include "syncjob.h"

std::vector<std::pair<CWideString, CWideString>> CSyncJob::CopiesToLookAt() {
    std::vector<std::pair<CWideString, CWideString>> look;
    if (!IsOneWayForced()) return look;
    const int src = m_Options.m_nDirection == JT_LEFT_TO_RIGHT ? 0 : 1;
    const int dst = 1 - src;
    TvFileSys* fsS = m_apFs[src].get();
    TvFileSys* fsT = m_apFs[dst].get();
    if (!fsS || !fsT || !IsPlainLocalFs(fsS) || !IsPlainLocalFs(fsT)) return look;
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    for (CSyncDepthFirstIter it(pRoot); it.IsValid(); it.Next()) {
        CSyncTreeNode* pNode = it.GetNode();
        const CSyncPairAndAction& item = pNode->GetItem();
        if (item.IsExcluded() || item.IsError()) continue;
        // Items whose content the execution leaves as it is on both sides.
        const uint8_t eff = item.GetEffAction();
        if (eff != EA_NO_COPY && eff != EA_COPY_STATE_MERGE_GENS && eff != EA_COPY_STATE_LEFT_TO_RIGHT &&
            eff != EA_COPY_STATE_RIGHT_TO_LEFT && eff != EA_TIME_LEFT_TO_RIGHT && eff != EA_TIME_RIGHT_TO_LEFT)
            continue;
        const CSideInfo& S = item.m_aCur[src];
        const CSideInfo& T = item.m_aCur[dst];
        // Files on both sides as files (a link kept as a link, or a file
        // reached through one, is not the copy's own).
        if (!S.Exists() || !T.Exists() || S.IsFolder() || T.IsFolder() || S.GetFlag(SIF_LINK) ||
            T.GetFlag(SIF_LINK) || S.GetFlag(SIF_VIA_LINK) || T.GetFlag(SIF_VIA_LINK) || S.m_Len != T.m_Len)
            continue;
        // Only a file that the last Sync did not record as it stands now: a
        // copy whose run ended before it saved its records (one it recorded
        // had its mode before its name).
        const CSideInfo& was = item.m_aOld[dst];
        if (was.Exists() && was.m_Len == T.m_Len && was.m_tFile == T.m_tFile) continue;
        look.emplace_back(GetItemSidePath(pNode, src), GetItemSidePath(pNode, dst));
    }
    return look;
}

void CSyncJob::RepairCopyModes(const std::vector<std::pair<CWideString, CWideString>>& look) {
    if (look.empty()) return;
    const int src = m_Options.m_nDirection == JT_LEFT_TO_RIGHT ? 0 : 1;
    TvFileSys* fsS = m_apFs[src].get();
    TvFileSys* fsT = m_apFs[1 - src].get();
    if (!fsS || !fsT || !fsS->IsConnected() || !fsT->IsConnected()) return;
    for (const auto& [srcPath, dstPath] : look) {
        if (IsStopped()) return;
        uint32_t nWas = 0, nNow = 0;
        if (TvRepairCopyMode(fsS, srcPath, fsT, dstPath, nWas, nNow))
            Log(2, 14022,
                CWideString::Formatted(u"Mode of %s set to %04o as its copy has it (it was %04o)\n",
                                       fsT->DisplayPath(dstPath), nNow, nWas));
    }
}
