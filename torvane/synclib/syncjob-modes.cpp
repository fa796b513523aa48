// The modes of a one-way job's copies, looked at again by later runs.
#include "TvFileCopy.h"
#include "sync-tree.h"
#include "syncjob.h"

void CSyncJob::RepairCopyModes() {
    if (!IsOneWayForced()) return;
    const int src = m_Options.m_nDirection == JT_LEFT_TO_RIGHT ? 0 : 1;
    const int dst = 1 - src;
    TvFileSys* fsS = m_apFs[src].get();
    TvFileSys* fsT = m_apFs[dst].get();
    if (!fsS || !fsT || !IsPlainLocalFs(fsS) || !IsPlainLocalFs(fsT) || !fsS->IsConnected() ||
        !fsT->IsConnected())
        return;
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    if (!pRoot) return;
    for (CSyncDepthFirstIter it(pRoot); it.IsValid(); it.Next()) {
        if (IsStopped()) return;
        CSyncTreeNode* pNode = it.GetNode();
        const CSyncPairAndAction& item = pNode->GetItem();
        if (pNode == pRoot || item.IsExcluded() || item.IsError() || item.GetEffAction() != EA_NO_COPY) continue;
        const CSideInfo& S = item.m_aCur[src];
        const CSideInfo& T = item.m_aCur[dst];
        // Files on both sides as files (a link kept as a link, or a file
        // reached through one, is not the copy's own).
        if (!S.Exists() || !T.Exists() || S.IsFolder() || T.IsFolder() || S.GetFlag(SIF_LINK) ||
            T.GetFlag(SIF_LINK) || S.GetFlag(SIF_VIA_LINK) || T.GetFlag(SIF_VIA_LINK) || S.m_Len != T.m_Len)
            continue;
        uint32_t nWas = 0, nNow = 0;
        const CWideString dstPath = GetItemSidePath(pNode, dst);
        if (TvRepairCopyMode(fsS, GetItemSidePath(pNode, src), fsT, dstPath, nWas, nNow))
            Log(2, 14022,
                CWideString::Formatted(u"Mode of %s set to %04o as its copy has it (it was %04o)\n",
                                       fsT->DisplayPath(dstPath), nNow, nWas));
    }
}
