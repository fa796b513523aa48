// Item categories: the 25 predicates that the analysis, the sync and the job
// list count items by, the statistics pass and the category iterator.
#include "syncjob.h"
#include "zor-debug.h"

#include <bit>

namespace {

bool MoveEmpty(const CSyncPairAndAction& it) {
    return it.GetMove().IsEmpty();
}

bool MoveNotParent(const CSyncPairAndAction& it) {
    return !it.GetMove().IsEmpty() && it.GetMove()[0] != u'=';
}

} // namespace

uint32_t ItemCategoryMask(const CSyncPairAndAction& it) {
    const uint8_t eff = it.GetEffAction();
    const uint8_t s = it.m_nSysAction;
    const bool bExcl = it.IsExcluded();
    const bool bAnywhere = it.ExistsAnywhere();
    const bool bMoveEmpty = MoveEmpty(it);
    const bool bMoveNotParent = MoveNotParent(it);
    const bool bDelete = it.IsDeleteAction();
    uint32_t m = 0;
    auto set = [&m](int category, bool b) {
        if (b) m |= 1u << category;
    };
    set(CAT_EXISTING, bAnywhere);
    set(CAT_CHANGED, s == EA_CONFLICT || s == EA_ERROR || s == EA_COPY_RIGHT_TO_LEFT || s == EA_NAME_CASE_RIGHT_TO_LEFT ||
                         s == EA_COPY_LEFT_TO_RIGHT || s == EA_NAME_CASE_LEFT_TO_RIGHT || it.m_nUserAction != 0);
    set(CAT_CONFLICT, s == EA_CONFLICT || it.m_nUserAction == EA_CONFLICT);
    set(CAT_ERROR, !bExcl && (it.m_nExecState == ESS_ANALYZED_ERR || it.m_nExecState == ESS_SYNCED_ERR ||
                              s == EA_ERROR || it.m_nUserAction == EA_ERROR));
    set(CAT_INCLUDED, !bExcl && bAnywhere);
    set(CAT_EXCLUDED, bExcl && bAnywhere);
    set(CAT_NEW_COPY, bMoveEmpty && it.IsNewCopy());
    set(CAT_OVERWRITE, bMoveEmpty && it.IsOverwriteCopy());
    set(CAT_DELETE, bDelete && bMoveEmpty);
    set(CAT_COPY_LTOR, eff == EA_COPY_LEFT_TO_RIGHT && !bDelete && bMoveEmpty);
    set(CAT_COPY_RTOL, eff == EA_COPY_RIGHT_TO_LEFT && !bDelete && bMoveEmpty);
    set(CAT_DELETE_RIGHT, eff == EA_COPY_LEFT_TO_RIGHT && bDelete && bMoveEmpty);
    set(CAT_DELETE_LEFT, eff == EA_COPY_RIGHT_TO_LEFT && bDelete && bMoveEmpty);
    set(CAT_MOVE_LTOR, eff == EA_COPY_LEFT_TO_RIGHT && bMoveNotParent);
    set(CAT_MOVE_RTOL, eff == EA_COPY_RIGHT_TO_LEFT && bMoveNotParent);
    set(CAT_TIME_LTOR, eff == EA_TIME_LEFT_TO_RIGHT);
    set(CAT_TIME_RTOL, eff == EA_TIME_RIGHT_TO_LEFT);
    set(CAT_NAME_CASE_LTOR, eff == EA_NAME_CASE_LEFT_TO_RIGHT);
    set(CAT_NAME_CASE_RTOL, eff == EA_NAME_CASE_RIGHT_TO_LEFT);
    set(CAT_STATE_LTOR, eff == EA_COPY_STATE_LEFT_TO_RIGHT);
    set(CAT_STATE_RTOL, eff == EA_COPY_STATE_RIGHT_TO_LEFT);
    set(CAT_MERGE_GENS, eff == EA_COPY_STATE_MERGE_GENS);
    set(CAT_SAME_LEN_TIME_DIFFERS, it.ExistsBoth() && !bExcl && !it.IsFolder() &&
                                       it.m_aCur[0].m_Len == it.m_aCur[1].m_Len &&
                                       !CSyncTime::IsSame(it.m_aCur[0].m_tAccu, it.m_aCur[1].m_tAccu));
    set(CAT_PENDING, it.m_nExecState == ESS_ANALYZED_OK && eff != EA_NO_COPY && eff != EA_ERROR);
    set(CAT_ALL, true);
    return m;
}

bool ItemInCategory(const CSyncPairAndAction* p, int category) {
    if (!p || category < 0 || category >= CAT_COUNT) return false;
    return (ItemCategoryMask(*p) >> category) & 1u;
}

bool IsInCategory(const CSyncTreeNode* pNode, int category) {
    if (!pNode) return false;
    const CSyncPairAndAction& item = pNode->GetItem();
    if (ItemInCategory(&item, category)) return true;
    // A folder counts only by members of the category its record was built for.
    const FolderStatsRecord* rec = item.GetStats();
    return rec && rec->m_nCategory == category && rec->m_Members.Total() > 0;
}

namespace {

// Counts the item into the counters, and into the folder's record when it
// is in the chosen category.
void CountItem(const CSyncPairAndAction& child, CCategoryStats& stats, FolderStatsRecord& rec, int chosen) {
    uint32_t mask = ItemCategoryMask(child);
    if ((mask >> chosen) & 1u) FolderStatsAddItem(rec, child);
    // As AddItemCount for each category of the item.
    const bool bFolder = child.IsFolder();
    for (; mask; mask &= mask - 1) {
        CItemCount& count = stats.m_aCounts[std::countr_zero(mask)];
        ++(bFolder ? count.m_nFolders : count.m_nFiles);
    }
}

void AddCounts(CCategoryStats& into, const CCategoryStats& from) {
    for (int c = 0; c < CAT_COUNT; ++c) {
        into.m_aCounts[c].m_nFiles += from.m_aCounts[c].m_nFiles;
        into.m_aCounts[c].m_nFolders += from.m_aCounts[c].m_nFolders;
    }
}

FolderStatsRecord& StartRecord(CSyncTreeNode* pNode, int chosen) {
    FolderStatsRecord& rec = pNode->GetItem().EnsureStats();
    rec.Clear();
    rec.m_nCategory = chosen;
    return rec;
}

FolderStatsRecord* StatsPass(CSyncTreeNode* pNode, CCategoryStats& stats, int chosen, CSubtreeCounts* pKeep) {
    FolderStatsRecord& rec = StartRecord(pNode, chosen);
    CCategoryStats below;
    CCategoryStats& into = pKeep ? below : stats;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        if (pChild->IsContainer()) {
            const FolderStatsRecord* sub = StatsPass(pChild, into, chosen, pKeep);
            if (sub && sub != &rec) FolderStatsMerge(rec, *sub);
        }
        CountItem(pChild->GetItem(), into, rec, chosen);
    }
    if (pKeep) {
        AddCounts(stats, below);
        (*pKeep)[pNode] = below;
    }
    return &rec;
}

FolderStatsRecord* RecountPass(CSyncTreeNode* pNode, CCategoryStats& stats, int chosen, CSubtreeCounts& keep,
                               const std::function<int(const CSyncTreeNode*)>& recount, bool& bOk) {
    FolderStatsRecord& rec = StartRecord(pNode, chosen);
    CCategoryStats below;
    CSyncLevelIter it(pNode);
    for (; it.IsValid() && bOk; it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        if (pChild->IsContainer()) {
            const FolderStatsRecord* sub = nullptr;
            switch (recount(pChild)) {
                case 1:
                    sub = StatsPass(pChild, below, chosen, &keep);
                    break;
                case 2:
                    sub = RecountPass(pChild, below, chosen, keep, recount, bOk);
                    break;
                default: {
                    const auto found = keep.find(pChild);
                    sub = pChild->GetItem().GetStats();
                    if (found == keep.end() || !sub || sub->m_nCategory != chosen) {
                        bOk = false;
                        return &rec;
                    }
                    AddCounts(below, found->second);
                }
            }
            if (sub && sub != &rec) FolderStatsMerge(rec, *sub);
        }
        CountItem(pChild->GetItem(), below, rec, chosen);
    }
    AddCounts(stats, below);
    keep[pNode] = below;
    return &rec;
}

} // namespace

FolderStatsRecord* ComputeCategoryStats(CSyncTreeNode* pRoot, CCategoryStats& stats, int chosen,
                                        CSubtreeCounts* pKeep) {
    stats = CCategoryStats();
    if (!pRoot || chosen < 0 || chosen >= CAT_COUNT) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "ComputeCategoryStats: no root or bad category", chosen);
        return nullptr;
    }
    if (pKeep) pKeep->clear();
    return StatsPass(pRoot, stats, chosen, pKeep);
}

bool RecountCategoryStats(CSyncTreeNode* pRoot, CCategoryStats& stats, int chosen, CSubtreeCounts& keep,
                          const std::function<int(const CSyncTreeNode*)>& recount) {
    if (!pRoot || chosen < 0 || chosen >= CAT_COUNT) return false;
    stats = CCategoryStats();
    bool bOk = true;
    RecountPass(pRoot, stats, chosen, keep, recount, bOk);
    return bOk;
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
