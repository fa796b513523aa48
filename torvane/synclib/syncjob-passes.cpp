// The tree pass runner and the small passes the side scan runs through it.
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"

#include <algorithm>

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
        CSyncTreeNode::CChildMap::PrefetchFollowing(e);
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

std::unique_ptr<CSyncJob::CVisitedSubtrees> CSyncJob::TakeVisitedSubtrees(CSyncTreeNode* pRoot,
                                                                          const CWideString& settings) {
    const std::unique_ptr<CChangedSubtrees> changed = std::move(m_pChanged);
    if (!changed || changed->bWhole || !pRoot || m_bPassesOverWholeTree || m_bFilterEveryItem) return nullptr;
    // The items outside the changed subtrees end as the last Analyze left
    // them only when it ran with the same settings over this tree, and
    // nothing it decided depends on items elsewhere: the filters judge an
    // item by its own path and records, and no time shift is looked for.
    if (!m_pEnteredBefore || settings != m_sAnalyzedSettings || m_FilterMatcher.NeedsBothSides())
        return nullptr;
    for (const auto& fs : m_apFs)
        if (!fs || ExpectsTimeShift(fs.get()) || MayHaveRoundingShift(fs.get())) return nullptr;
    if (m_Options.m_nDirection != 0 && m_Options.m_n1wayMode != OWM_FORCED && m_Options.m_n1wayMode != OWM_VERIFIED)
        return nullptr;
    // Folders that once held work are entered again: past a share of the
    // folders a walk of the whole tree starts afresh.
    if (m_pEnteredBefore->size() > m_Stats.m_aCounts[CAT_ALL].m_nFolders / 8 + 16) return nullptr;

    auto visited = std::make_unique<CVisitedSubtrees>();
    auto above = [&](const CSyncTreeNode* pNode) {
        for (const CSyncTreeNode* p = pNode; p; p = p->GetParent())
            if (!visited->above.insert(p).second) break;
    };
    auto add = [&](const CSyncTreeNode* pNode) {
        if (!pNode->GetParent()) return false;
        visited->roots.insert(pNode);
        above(pNode->GetParent());
        return true;
    };
    // A node noted for itself is visited alone: the items below it were
    // each noted, or not, for themselves.
    for (const CSyncTreeNode* pNode : changed->nodes) above(pNode);
    for (const CWideString& path : changed->paths) {
        // A path the tree does not hold: the nearest folder above it that it does.
        CWideString at = path;
        CSyncTreeNode* pNode = nullptr;
        while (!pNode) {
            while (at.GetLength() > 0 && at[at.GetLength() - 1] == u'/') at = at.Left(at.GetLength() - 1);
            if (at.IsEmpty()) return nullptr;
            CWideString e;
            pNode = CSyncTreeNode::LookupCS(pRoot, at, true, nullptr, e);
            if (!pNode) at = at.Left(std::max(at.ReverseFind(u'/'), 0));
        }
        if (!add(pNode)) return nullptr;
    }
    return visited;
}
