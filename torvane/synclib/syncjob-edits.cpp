// A user's edits of the analysed tree: the choice for one item
// (ChangeUserAction), the passes that carry it to the items below and the
// folders above, and the whole edit of one item as the user interface asks
// for it.
#include "syncjob.h"

#include "zor-debug.h"

#include <algorithm>
#include <vector>

namespace {

bool IsDirectionRequest(uint8_t nReq) {
    return nReq == EA_BIT_NO_DIRECTION || nReq == EA_BIT_TO_LEFT || nReq == EA_BIT_TO_RIGHT;
}

} // namespace

int32_t ChangeUserAction(CSyncPairAndAction& item, CSyncJob* pJob, uint8_t nReq, uint8_t& nResolved,
                         const CWideString& path) {
    if (!item.IsFolder() && (item.m_nExecState == ESS_SYNCED_OK || item.m_nExecState == ESS_ANALYZED_ERR))
        return 0;
    const uint8_t nOldEff = item.GetEffAction();
    // A user edit always breaks a detected move or rename.
    item.ClearMove();
    nResolved = IsDirectionRequest(nReq) ? item.GetActionTowards(nReq) : nReq;

    const uint8_t sys = item.m_nSysAction;
    if ((sys == EA_CONFLICT || sys == EA_ERROR) &&
        (nResolved == EA_NO_COPY || nResolved == EA_BIT_NO_DIRECTION)) {
        item.m_nUserAction = EA_USESYSTEM;
        return 1;
    }
    if (nResolved == EA_TIME_LEFT_TO_RIGHT || nResolved == EA_TIME_RIGHT_TO_LEFT) {
        if (item.IsFolder()) return 1;
        if (item.m_aCur[0].m_Len != item.m_aCur[1].m_Len) return 0;
    }

    if (pJob) {
        // One log for a series of edits.
        const bool bReuse = pJob->GetRunLogName().EndsWith(u"-user-action.log");
        pJob->OpenRunLog(true, bReuse);
    }
    if (nResolved == sys) {
        if (item.m_nUserAction != EA_USESYSTEM && pJob)
            pJob->Log(2, 9601,
                      CWideString::Formatted(u"=== User Reverts Action form '%s' to '%s' on item %s",
                                             GetActionName(item.m_nUserAction), GetActionName(sys), path) +
                          u"\n");
        item.m_nUserAction = EA_USESYSTEM;
    } else if (sys != EA_NO_COPY && sys != EA_COPY_STATE_MERGE_GENS && sys != EA_COPY_STATE_LEFT_TO_RIGHT &&
               sys != EA_COPY_STATE_RIGHT_TO_LEFT) {
        if (pJob)
            pJob->Log(2, 9602,
                      CWideString::Formatted(u"=== User Changed Action from '%s' to '%s' on item %s",
                                             GetActionName(sys), GetActionName(nResolved), path) +
                          u"\n");
        item.m_nUserAction = nResolved;
        switch (nResolved) {
            case EA_COPY_LEFT_TO_RIGHT:
            case EA_TIME_LEFT_TO_RIGHT:
            case EA_NAME_CASE_LEFT_TO_RIGHT:
                SetWinningSide(item, 0);
                break;
            case EA_COPY_RIGHT_TO_LEFT:
            case EA_TIME_RIGHT_TO_LEFT:
            case EA_NAME_CASE_RIGHT_TO_LEFT:
                SetWinningSide(item, 1);
                break;
            default:
                break;
        }
    }

    // Exclusion follows the direction.
    const bool bRealCopy = (nResolved == EA_COPY_RIGHT_TO_LEFT && item.RightExists()) ||
                           (nResolved == EA_COPY_LEFT_TO_RIGHT && item.LeftExists());
    const bool bDeletion = (nResolved == EA_COPY_RIGHT_TO_LEFT && !item.RightExists()) ||
                           (nResolved == EA_COPY_LEFT_TO_RIGHT && !item.LeftExists());
    if ((item.m_nFlags & SPF_REINCLUDED) && bRealCopy) {
        item.m_nFlags |= SPF_EXCLUDED;
        item.m_nUserAction = EA_NO_COPY;
        item.SetReason(u"excluded again: " + item.GetReason());
    } else if ((item.m_nFlags & SPF_EXCLUDED) && nOldEff == EA_NO_COPY && bDeletion) {
        item.m_nFlags = (uint8_t)((item.m_nFlags & ~SPF_EXCLUDED) | SPF_REINCLUDED);
        item.SetReason(u"included again: " + item.GetReason());
    }
    return 1;
}

bool CDoNotDeleteUpperFolders::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    bool bApply = false;
    switch (m_nAction) {
        case EA_NO_COPY:
        case EA_COPY_STATE_MERGE_GENS:
        case EA_COPY_STATE_RIGHT_TO_LEFT:
        case EA_COPY_STATE_LEFT_TO_RIGHT:
            bApply = item.IsDeleteAction();
            break;
        case EA_COPY_RIGHT_TO_LEFT:
            bApply = !item.LeftExists();
            break;
        case EA_COPY_LEFT_TO_RIGHT:
            bApply = !item.RightExists();
            break;
        default:
            break;
    }
    if (bApply) {
        uint8_t nResolved = 0;
        ChangeUserAction(item, pJob, m_nAction, nResolved, pNode->GetPath());
        m_bChanged = 1;
    }
    return true;
}

bool CChangeActionInVisible::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    if (IsInCategory(pNode, m_nCategory)) {
        uint8_t nResolved = 0;
        ChangeUserAction(pNode->GetItem(), pJob, m_nAction, nResolved, pNode->GetPath());
    }
    return true;
}

namespace {

// The job shows an analysed tree that no run is working on.
bool ActivityAllowsEdit(int activity, int sub) {
    return ((activity == JA_CONNECTED || activity == JA_ANALYZED) &&
            (sub == RSS_OK || sub == RSS_ATTENTION)) ||
           activity == JA_SYNCED;
}

} // namespace

void CSyncJob::UserChangeActionOnSubtree(CSyncTreeNode* pNode, uint8_t nReq, bool bAllowAnyActivity) {
    if (!pNode) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "UserChangeActionOnSubtree: no item");
        return;
    }
    const bool bActivityOk = ActivityAllowsEdit(m_nActivity.load(), m_nActivitySub.load());
    if (!bAllowAnyActivity && !bActivityOk) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "UserChangeActionOnSubtree: the job is busy",
                        m_nActivity.load());
        return;
    }
    uint8_t nResolved = 0;
    if (ChangeUserAction(pNode->GetItem(), this, nReq, nResolved, pNode->GetPath()) < 1) return;

    // The items below that the user sees get the same request.
    const int nCategory = std::clamp<int>(m_nViewWord, 0, CAT_COUNT - 1);
    CChangeActionInVisible down(nReq, nCategory);
    DoForSubtree(pNode, down, false);
    ScanDeleteFolders(pNode, true);
    CDeleteExcludedFilesInFolders include;
    DoForSubtree(pNode, include, false);
    // The folders above stay, or are created on the target side.
    if (!pNode->GetItem().IsDeleteAction()) {
        CDoNotDeleteUpperFolders up(nResolved);
        DoForParents(pNode, up);
    }
    if (m_Options.m_bDetectMovesAndRenames) DetectMovesAndRenames(&m_Tree);
    ComputeCategoryStats(&m_Tree, m_Stats, nCategory, KeptSubtreeCounts());
    if (m_bTreeHasSizes && bActivityOk && m_bHasChanges) RefreshRequiredSpace();
    Log(2, 9603, u"Done\n");
}

int CSyncJob::UserResolveConflicts(CSyncTreeNode* pNode, int mode) {
    if (!pNode) return 0;
    std::vector<CSyncTreeNode*> conflicts;
    CSyncDepthFirstIter it(pNode);
    if (pNode->GetParent() && pNode->GetItem().GetEffAction() == EA_CONFLICT) conflicts.push_back(pNode);
    for (; it.IsValid(); it.Next())
        if (it.GetItem()->GetEffAction() == EA_CONFLICT) conflicts.push_back(it.GetNode());
    if (conflicts.empty()) return 0;
    ResolveConflictByUser(pNode, mode);
    int n = 0;
    for (CSyncTreeNode* p : conflicts) {
        const CSyncPairAndAction& item = p->GetItem();
        if (item.GetEffAction() == EA_CONFLICT) continue;
        ++n;
        // A copy into a folder the analysis meant to delete keeps it.
        if (!item.IsDeleteAction()) {
            CDoNotDeleteUpperFolders up(item.GetEffAction());
            DoForParents(p, up);
        }
    }
    ComputeCategoryStats(&m_Tree, m_Stats, std::clamp<int>(m_nViewWord, 0, CAT_COUNT - 1),
                         KeptSubtreeCounts());
    return n;
}
