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

bool IsQuietItem(const CSyncPairAndAction& item) {
    constexpr uint8_t kFlags = SPF_EXCLUDED | SPF_REINCLUDED | SPF_DIRECTION_SET | SPF_LISTED;
    return item.m_nSysAction == EA_NO_COPY && item.m_nUserAction == EA_USESYSTEM &&
           (item.m_nFlags & kFlags) == SPF_LISTED && item.GetMove().IsEmpty() && item.GetWorkBytes() == 0;
}

void CSyncJob::NoteFolderToEnter(const CSyncTreeNode* pNode) {
    if (!m_pActiveFolders || !pNode) return;
    // A folder noted has every folder above it noted.
    for (const CSyncTreeNode* p = pNode->GetChildCount() ? pNode : pNode->GetParent(); p && p->GetParent();
         p = p->GetParent())
        if (!m_pActiveFolders->insert(p).second) break;
}

namespace {

// The walk enters the node's children: a noted folder, or one that is no
// longer quiet (noted from now on).
bool Enters(CSyncJob& job, const CSyncTreeNode* pNode) {
    if (!pNode->GetChildCount()) return false;
    if (!pNode->GetParent() || job.m_pActiveFolders->count(pNode)) return true;
    if (IsQuietItem(pNode->GetItem())) return false;
    job.NoteFolderToEnter(pNode);
    return true;
}

} // namespace

bool CSyncJob::DoForEntered(CSyncTreeNode* pNode, CDoSmthWithPair& pass) {
    if (!m_pActiveFolders) return DoForSubtree(pNode, pass, false);
    if (!pNode) return false;
    CSyncTreeNode::CChildMap* pMap = pNode->GetChildMap();
    for (CSyncTreeNode::CEntry* e = pMap ? pMap->GetFirst() : nullptr; e; e = CSyncTreeNode::CChildMap::GetNext(e)) {
        CSyncTreeNode* pChild = &e->GetValue();
        if (!pass.DoWithPair(pChild, this)) return false;
        if (Enters(*this, pChild) && !DoForEntered(pChild, pass)) return false;
    }
    return true;
}

bool CSyncJob::DoForEnteredChildrenFirst(CSyncTreeNode* pNode, CDoSmthWithPair& pass) {
    if (!m_pActiveFolders) return DoForSubtreeChildrenFirst(pNode, pass);
    if (!pNode) return false;
    if (Enters(*this, pNode)) {
        CSyncTreeNode::CChildMap* pMap = pNode->GetChildMap();
        for (CSyncTreeNode::CEntry* e = pMap->GetFirst(); e; e = CSyncTreeNode::CChildMap::GetNext(e))
            if (!DoForEnteredChildrenFirst(&e->GetValue(), pass)) return false;
    }
    return pass.DoWithPair(pNode, this);
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
