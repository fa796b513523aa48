// The tree pass runner and the small passes the side scan runs through it.
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"

bool CSyncJob::DoForSubtree(CSyncTreeNode* pNode, CDoSmthWithPair& pass, bool bWithRoot) {
    if (!pNode) return false;
    if (bWithRoot && !pass.DoWithPair(pNode, this)) return false;
    // Pre-order: a node, then its children in child-map order, each followed
    // by its own subtree.
    CSyncDepthFirstIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        if (!pass.DoWithPair(it.GetNode(), this)) return false;
    }
    return true;
}

bool CDoPropagateExclusionsDown::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    if (!pNode) {
        ZOR_ASSERT(pNode != nullptr);
        return false;
    }
    CSyncTreeNode* pParent = pNode->GetParent();
    if (!pParent) return true;
    const CSyncPairAndAction& parent = pParent->GetItem();
    CSyncPairAndAction& item = pNode->GetItem();
    if ((parent.IsExcluded() || parent.m_nExecState == ESS_ANALYZED_ERR) && !item.IsExcluded()) {
        item.m_nFlags |= SPF_EXCLUDED;
        item.SetReason(GetLocalizedString(IDS_Str_ExclBy_FolderAbove));
    }
    return true;
}

bool CCountFolders::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    const CSyncPairAndAction& item = pNode->GetItem();
    const CSideInfo& l = item.m_aOld[0];
    const CSideInfo& r = item.m_aOld[1];
    if ((l.IsFolder() || r.IsFolder()) && (l.Exists() || r.Exists())) ++m_nCount;
    return true;
}
