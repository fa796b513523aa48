// Item categories: the 25 predicates that the analysis, the sync and the job
// list count items by, the statistics pass and the category iterator.
#include "syncjob.h"
#include "zor-debug.h"

namespace {

bool MoveEmpty(const CSyncPairAndAction& it) {
    return it.m_sMove.IsEmpty();
}

bool MoveNotParent(const CSyncPairAndAction& it) {
    return !it.m_sMove.IsEmpty() && it.m_sMove[0] != u'=';
}

} // namespace

bool ItemInCategory(const CSyncPairAndAction* p, int category) {
    if (!p) return false;
    const CSyncPairAndAction& it = *p;
    const uint8_t eff = it.GetEffAction();
    const bool bExcl = it.IsExcluded();
    switch (category) {
        case CAT_EXISTING: return it.ExistsAnywhere();
        case CAT_CHANGED: {
            const uint8_t s = it.m_nSysAction;
            return s == EA_CONFLICT || s == EA_ERROR || s == EA_COPY_RIGHT_TO_LEFT || s == EA_NAME_CASE_RIGHT_TO_LEFT ||
                   s == EA_COPY_LEFT_TO_RIGHT || s == EA_NAME_CASE_LEFT_TO_RIGHT || it.m_nUserAction != 0;
        }
        case CAT_CONFLICT: return it.m_nSysAction == EA_CONFLICT || it.m_nUserAction == EA_CONFLICT;
        case CAT_ERROR:
            return !bExcl && (it.m_nExecState == ESS_ANALYZED_ERR || it.m_nExecState == ESS_SYNCED_ERR ||
                              it.m_nSysAction == EA_ERROR || it.m_nUserAction == EA_ERROR);
        case CAT_INCLUDED: return !bExcl && it.ExistsAnywhere();
        case CAT_EXCLUDED: return bExcl && it.ExistsAnywhere();
        case CAT_NEW_COPY: return it.IsNewCopy() && MoveEmpty(it);
        case CAT_OVERWRITE: return it.IsOverwriteCopy() && MoveEmpty(it);
        case CAT_DELETE: return it.IsDeleteAction() && MoveEmpty(it);
        case CAT_COPY_LTOR: return eff == EA_COPY_LEFT_TO_RIGHT && !it.IsDeleteAction() && MoveEmpty(it);
        case CAT_COPY_RTOL: return eff == EA_COPY_RIGHT_TO_LEFT && !it.IsDeleteAction() && MoveEmpty(it);
        case CAT_DELETE_RIGHT: return eff == EA_COPY_LEFT_TO_RIGHT && it.IsDeleteAction() && MoveEmpty(it);
        case CAT_DELETE_LEFT: return eff == EA_COPY_RIGHT_TO_LEFT && it.IsDeleteAction() && MoveEmpty(it);
        case CAT_MOVE_LTOR: return eff == EA_COPY_LEFT_TO_RIGHT && MoveNotParent(it);
        case CAT_MOVE_RTOL: return eff == EA_COPY_RIGHT_TO_LEFT && MoveNotParent(it);
        case CAT_TIME_LTOR: return eff == EA_TIME_LEFT_TO_RIGHT;
        case CAT_TIME_RTOL: return eff == EA_TIME_RIGHT_TO_LEFT;
        case CAT_NAME_CASE_LTOR: return eff == EA_NAME_CASE_LEFT_TO_RIGHT;
        case CAT_NAME_CASE_RTOL: return eff == EA_NAME_CASE_RIGHT_TO_LEFT;
        case CAT_STATE_LTOR: return eff == EA_COPY_STATE_LEFT_TO_RIGHT;
        case CAT_STATE_RTOL: return eff == EA_COPY_STATE_RIGHT_TO_LEFT;
        case CAT_MERGE_GENS: return eff == EA_COPY_STATE_MERGE_GENS;
        case CAT_SAME_LEN_TIME_DIFFERS:
            return it.ExistsBoth() && !bExcl && !it.IsFolder() && it.m_aCur[0].m_Len == it.m_aCur[1].m_Len &&
                   !CSyncTime::IsSame(it.m_aCur[0].m_tAccu, it.m_aCur[1].m_tAccu);
        case CAT_PENDING: return it.m_nExecState == ESS_ANALYZED_OK && eff != EA_NO_COPY && eff != EA_ERROR;
        case CAT_ALL: return true;
        default: return false;
    }
}

bool IsInCategory(const CSyncTreeNode* pNode, int category) {
    if (!pNode) return false;
    const CSyncPairAndAction& item = pNode->GetItem();
    if (ItemInCategory(&item, category)) return true;
    // A folder counts only by members of the category its record was built for.
    const FolderStatsRecord* rec = item.m_pStats;
    return rec && rec->m_nCategory == category && rec->m_Members.Total() > 0;
}

namespace {

FolderStatsRecord* StatsPass(CSyncTreeNode* pNode, CCategoryStats& stats, int chosen) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!item.m_pStats)
        item.m_pStats = new FolderStatsRecord();
    else
        item.m_pStats->Clear();
    FolderStatsRecord& rec = *item.m_pStats;
    rec.m_nCategory = chosen;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        if (pChild->IsContainer()) {
            const FolderStatsRecord* sub = StatsPass(pChild, stats, chosen);
            if (sub && sub != &rec) FolderStatsMerge(rec, *sub);
        }
        const CSyncPairAndAction& child = pChild->GetItem();
        for (int c = 0; c < CAT_COUNT; c++) {
            if (!ItemInCategory(&child, c)) continue;
            if (c == chosen) FolderStatsAddItem(rec, child);
            AddItemCount(stats.m_aCounts[c], child);
        }
    }
    return &rec;
}

} // namespace

FolderStatsRecord* ComputeCategoryStats(CSyncTreeNode* pRoot, CCategoryStats& stats, int chosen) {
    stats = CCategoryStats();
    if (!pRoot || chosen < 0 || chosen >= CAT_COUNT) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "ComputeCategoryStats: no root or bad category", chosen);
        return nullptr;
    }
    return StatsPass(pRoot, stats, chosen);
}

CCategoryIter::CCategoryIter(CSyncTreeNode* pNode, int category) : m_it(pNode), m_nCategory(category) {
    if (category < 0 || category >= CAT_COUNT)
        ZorAssertFailed(__FILE__, __LINE__, 0, "CCategoryIter: bad category", category);
    Skip();
}

bool CCategoryIter::Next() {
    if (!m_it.IsValid()) return false;
    m_it.Next();
    Skip();
    return m_it.IsValid();
}

void CCategoryIter::Skip() {
    while (m_it.IsValid() && !IsInCategory(m_it.GetNode(), m_nCategory)) m_it.Next();
}
