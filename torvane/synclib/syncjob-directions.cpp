// The passes that adjust the decided actions to the job's direction, its
// deletion option and the tree structure: one-way jobs, deletions that are
// not propagated, vertical conflicts, automatic conflict resolution, the
// deletion of folders that hold excluded items, and the older-file warning.
#include "syncjob-analysis.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"

namespace {

void LogReason(CSyncJob* pJob, int kind, CSyncTreeNode* pNode) {
    pJob->Log(2, kind, pNode->GetPath() + u": " + pNode->GetItem().GetReason() + u"\n");
}

// Reverses the direction of a copy-kind action, keeping its kind.
void Reverse(CSyncPairAndAction& item, uint8_t to, int winner) {
    item.m_nSysAction = to;
    SetWinningSide(item, winner);
}

} // namespace

void SetCopyDirection(CSyncPairAndAction& item, int side, bool bUser, CSyncJob* pJob, const CWideString& text) {
    uint8_t& target = bUser ? item.m_nUserAction : item.m_nSysAction;
    if (side == 0) {
        target = EA_COPY_LEFT_TO_RIGHT;
    } else {
        if (side != 1) ZorAssertFailed(__FILE__, __LINE__, 0, "SetCopyDirection: bad side", side);
        target = EA_COPY_RIGHT_TO_LEFT;
        side = 1;
    }
    SetWinningSide(item, side);
    item.m_nFlags |= SPF_DIRECTION_SET;
    if (!text.IsEmpty() && pJob) pJob->Log(3, 8350, text);
}

bool CDoOneWayForced::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_CONFLICT) {
        SetCopyDirection(item, m_nDirection == 1 ? 0 : 1, false, pJob, CWideString());
        item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
    } else if (m_nDirection == 1) {
        switch (eff) {
            case EA_COPY_RIGHT_TO_LEFT: Reverse(item, EA_COPY_LEFT_TO_RIGHT, 0); break;
            case EA_NAME_CASE_RIGHT_TO_LEFT: Reverse(item, EA_NAME_CASE_LEFT_TO_RIGHT, 0); break;
            case EA_TIME_RIGHT_TO_LEFT: Reverse(item, EA_TIME_LEFT_TO_RIGHT, 0); break;
            case EA_COPY_STATE_RIGHT_TO_LEFT: Reverse(item, EA_COPY_STATE_LEFT_TO_RIGHT, 0); break;
            default: break;
        }
    } else if (m_nDirection == 2) {
        switch (eff) {
            case EA_COPY_LEFT_TO_RIGHT: Reverse(item, EA_COPY_RIGHT_TO_LEFT, 1); break;
            case EA_NAME_CASE_LEFT_TO_RIGHT: Reverse(item, EA_NAME_CASE_RIGHT_TO_LEFT, 1); break;
            case EA_TIME_LEFT_TO_RIGHT: Reverse(item, EA_TIME_RIGHT_TO_LEFT, 1); break;
            case EA_COPY_STATE_LEFT_TO_RIGHT: Reverse(item, EA_COPY_STATE_RIGHT_TO_LEFT, 1); break;
            default: break;
        }
    }
    // Move mode deletes each source file once it arrived: a source that is
    // gone was moved (or deleted there), never a deletion for the destination.
    if (pJob->m_Options.m_n1wayMode == OWM_MOVE && item.IsDeleteAction()) {
        item.m_nSysAction = EA_NO_COPY;
        item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
    }
    return true;
}

bool CDoOneWayVerified::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    const uint8_t eff = item.GetEffAction();
    const int dir = pJob->m_Options.m_nDirection;
    if (dir == 1) {
        switch (eff) {
            case EA_COPY_RIGHT_TO_LEFT:
                item.m_nSysAction = EA_CONFLICT;
                ClearPending(item);
                item.SetReason(GetLocalizedString(IDS_Str_Msg_Conflict_1way_RtoL));
                LogReason(pJob, 7833, pNode);
                break;
            case EA_NAME_CASE_RIGHT_TO_LEFT: item.m_nSysAction = EA_NAME_CASE_LEFT_TO_RIGHT; break;
            case EA_TIME_RIGHT_TO_LEFT: item.m_nSysAction = EA_TIME_LEFT_TO_RIGHT; break;
            case EA_COPY_STATE_RIGHT_TO_LEFT: item.m_nSysAction = EA_COPY_STATE_LEFT_TO_RIGHT; break;
            default: break;
        }
    } else if (dir == 2) {
        switch (eff) {
            case EA_COPY_LEFT_TO_RIGHT:
                item.m_nSysAction = EA_CONFLICT;
                ClearPending(item);
                item.SetReason(GetLocalizedString(IDS_Str_Msg_Conflict_1way_LtoR));
                LogReason(pJob, 7843, pNode);
                break;
            case EA_NAME_CASE_LEFT_TO_RIGHT: item.m_nSysAction = EA_NAME_CASE_RIGHT_TO_LEFT; break;
            case EA_TIME_LEFT_TO_RIGHT: item.m_nSysAction = EA_TIME_RIGHT_TO_LEFT; break;
            case EA_COPY_STATE_LEFT_TO_RIGHT: item.m_nSysAction = EA_COPY_STATE_RIGHT_TO_LEFT; break;
            default: break;
        }
    }
    return true;
}

bool CDoNotPropagateDels1way::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.IsExcluded() || !item.IsDeleteAction()) return true;
    item.m_nSysAction = EA_NO_COPY;
    item.m_nFlags |= SPF_EXCLUDED;
    item.SetReason(GetLocalizedString(IDS_Str_ExclBy_NoPropDels));
    CExcludeChildren pass;
    pJob->DoForSubtree(pNode, pass, false);
    return true;
}

bool CDoNotPropagateDels2way::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.IsExcluded() || !item.IsDeleteAction()) return true;
    if (item.m_nSysAction == EA_COPY_LEFT_TO_RIGHT) {
        Reverse(item, EA_COPY_RIGHT_TO_LEFT, 1);
    } else if (item.m_nSysAction == EA_COPY_RIGHT_TO_LEFT) {
        Reverse(item, EA_COPY_LEFT_TO_RIGHT, 0);
    } else {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CDoNotPropagateDels2way: delete made by a user action");
        return true;
    }
    item.SetReason(u"Delete turned into Copy by Do Not Propagate Deletions");
    return true;
}

bool CDoDetectVerticalDeleteConflicts::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncTreeNode* pParent = pNode->GetParent();
    if (!pParent) return true;
    CSyncPairAndAction& P = pParent->GetItem();
    CSyncPairAndAction& C = pNode->GetItem();
    const uint8_t pe = P.GetEffAction(), ce = C.GetEffAction();
    // pTop: the folder whose subtree the conflict covers (the parent, or a
    // folder above it deleted on the same side).
    auto both = [&](const CWideString& reasonC, const CWideString& reasonP, int kind, CSyncTreeNode* pTop) {
        C.m_nSysAction = P.m_nSysAction = EA_CONFLICT;
        ClearPending(C);
        ClearPending(P);
        C.SetReason(reasonC);
        P.SetReason(reasonP);
        LogReason(pJob, kind, pNode);
        // The conflict covers everything below the folder, also the items the
        // walk has passed already (the names before this one).
        pJob->DoForSubtree(pTop, *this, false);
    };
    // Paths are made only for the items that get a reason.
    auto pPath = [&] { return pParent->GetPath(); };
    auto cPath = [&] { return pNode->GetPath(); };
    // A deleted folder whose folders above were deleted with it: the
    // conflict reaches up to the highest of them, which gets the same reason.
    auto deleteConflict = [&](const char16_t* format, int kind) {
        CSyncTreeNode* pTop = pParent;
        while (pTop->GetParent() && pTop->GetParent()->GetParent()) {
            const CSyncPairAndAction& a = pTop->GetParent()->GetItem();
            if (a.IsExcluded() || !a.IsDeleteAction() || a.GetEffAction() != pe) break;
            pTop = pTop->GetParent();
        }
        if (pTop != pParent) {
            CSyncPairAndAction& T = pTop->GetItem();
            T.m_nSysAction = EA_CONFLICT;
            ClearPending(T);
            T.SetReason(CWideString::Formatted(format, pTop->GetPath(), cPath()));
        }
        const CWideString r = CWideString::Formatted(format, pPath(), cPath());
        both(r, r, kind, pTop);
    };
    const CSideInfo& pSrcL = P.m_aCur[pe == EA_COPY_RIGHT_TO_LEFT ? 1 : 0];
    const CSideInfo& pSrcR = P.m_aCur[pe == EA_COPY_LEFT_TO_RIGHT ? 0 : 1];
    if (P.m_aCur[0].Exists() && pSrcL.m_Len.IsDeleted() && !C.IsExcluded() && C.SrcExistsDefLeft()) {
        deleteConflict(u"Sync will delete Folder %s on Left because it is deleted on Right, File %s changed on Left "
                       u"(Vertical Conflict)",
                       7976);
    } else if (P.m_aCur[1].Exists() && pSrcR.m_Len.IsDeleted() && !C.IsExcluded() && C.SrcExistsDefRight()) {
        deleteConflict(u"Sync will delete Folder %s on Right because it is deleted on Left, File %s changed on "
                       u"Right (Vertical Conflict)",
                       7987);
    } else if (pe == EA_COPY_RIGHT_TO_LEFT && P.m_aCur[0].Exists() && P.m_aCur[0].IsFolder() &&
               P.m_aCur[1].Exists() && !P.m_aCur[1].IsFolder() && !C.IsExcluded() && C.SrcExistsDefLeft()) {
        // A folder that became a file on the other side: its copy would
        // replace the folder, and with it what changed in it.
        deleteConflict(u"Sync will replace Folder %s on Left with the file that took its name on Right, File %s "
                       u"changed on Left (Vertical Conflict)",
                       7976);
    } else if (pe == EA_COPY_LEFT_TO_RIGHT && P.m_aCur[1].Exists() && P.m_aCur[1].IsFolder() &&
               P.m_aCur[0].Exists() && !P.m_aCur[0].IsFolder() && !C.IsExcluded() && C.SrcExistsDefRight()) {
        deleteConflict(u"Sync will replace Folder %s on Right with the file that took its name on Left, File %s "
                       u"changed on Right (Vertical Conflict)",
                       7987);
    } else if (P.IsFolder() && pe == EA_COPY_LEFT_TO_RIGHT && !C.IsExcluded() &&
               (ce == EA_COPY_RIGHT_TO_LEFT || ce == EA_TIME_RIGHT_TO_LEFT)) {
        both(CWideString::Formatted(u"Sync will Copy Folder %s from Left to Right, yet its child file %s will "
                                    u"Copy from Right to Left (Vertical Conflict)",
                                    pPath(), cPath()),
             CWideString::Formatted(
                 u"Sync will Copy Folder %s from Left to Right, File %s is copied Right to Left (Vertical Conflict)",
                 pPath(), cPath()),
             8000, pParent);
    } else if (P.IsFolder() && pe == EA_COPY_RIGHT_TO_LEFT && !C.IsExcluded() &&
               (ce == EA_COPY_LEFT_TO_RIGHT || ce == EA_TIME_LEFT_TO_RIGHT)) {
        const CWideString r = CWideString::Formatted(u"Sync will Copy Folder %s from Right to Left, yet its child "
                                                     u"file %s will Copy from Left to Right (Vertical Conflict)",
                                                     pPath(), cPath());
        both(r, r, 8013, pParent);
    } else if (pe == EA_CONFLICT && !C.IsExcluded() && ce != EA_CONFLICT) {
        if (C.ExistsAnywhere()) {
            C.m_nSysAction = EA_CONFLICT;
            ClearPending(C);
            C.SetReason(kReasonParentFolderConflict);
            LogReason(pJob, 8027, pNode);
        } else {
            C.m_nSysAction = EA_COPY_STATE_MERGE_GENS;
            ClearPending(C);
        }
    }
    return true;
}

bool CAutoResolveConflicts::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.GetEffAction() != EA_CONFLICT && !(item.m_nFlags & SPF_DIRECTION_SET)) return true;
    const CWideString path = pNode->GetPath();
    if (item.GetEffAction() == EA_CONFLICT) {
        int mode = pJob->m_Options.m_nAutoResolveConflicts;
        if (mode == 3) {
            // In 64 bits: times more than 68 years apart must not pick the older file.
            const int64_t d = (int64_t)item.m_aCur[0].m_tAccu.GetTime() - (int64_t)item.m_aCur[1].m_tAccu.GetTime();
            if (d == 0) {
                pJob->Log(1, 8253, u"Cannot autoresolve the conflict because time is the same on both sides: " +
                                       path + u"\n");
                mode = 0;
            } else {
                mode = d < 0 ? 2 : 1;
            }
        }
        if (mode == 1)
            SetCopyDirection(item, 0, false, pJob, u"Autoresolve the conflict: L wins: " + path + u"\n");
        else if (mode == 2)
            SetCopyDirection(item, 1, false, pJob, u"Autoresolve the conflict: R wins: " + path + u"\n");
        else if (pJob->m_Options.m_nAutoResolveConflicts != 3)
            ZorAssertFailed(__FILE__, __LINE__, 0, "CAutoResolveConflicts: bad option value", mode);
    }
    if (!(item.m_nFlags & SPF_DIRECTION_SET) || !pJob->m_Options.m_bRenameLosingFile) return true;
    if (!item.IsFolder()) {
        for (CSyncTreeNode* p = pNode->GetParent(); p && p->GetParent(); p = p->GetParent()) {
            CSyncPairAndAction& a = p->GetItem();
            if (!a.IsDeleteAction()) continue;
            if (a.m_nSysAction == EA_COPY_LEFT_TO_RIGHT)
                SetCopyDirection(a, 1, false, pJob, CWideString());
            else if (a.m_nSysAction == EA_COPY_RIGHT_TO_LEFT)
                SetCopyDirection(a, 0, false, pJob, CWideString());
            else
                ZorAssertFailed(__FILE__, __LINE__, 0, "CAutoResolveConflicts: odd parent delete");
            pJob->Log(2, 8305, u"Autoresolve the conflict: Reverse Parent delete: " + p->GetPath() + u"\n");
        }
    }
    if (item.ExistsBoth()) return true;
    if (item.LeftExists())
        SetCopyDirection(item, 0, false, pJob, CWideString());
    else if (item.RightExists())
        SetCopyDirection(item, 1, false, pJob, CWideString());
    pJob->Log(2, 8322, u"Autoresolve the conflict: Existing vs delete: " + path + u"\n");
    return true;
}

bool CSyncJob::ScanDeleteFolders(CSyncTreeNode* pNode, bool bDisconnectAfter) {
    CScanDeleteFolders pass;
    const bool ok = DoForSubtree(pNode, pass, true);
    if (bDisconnectAfter) DisconnectSides();
    return ok;
}

bool CScanDeleteFolders::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (!item.IsFolder()) return true;
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_COPY_RIGHT_TO_LEFT && !item.RightExists()) {
        CScanAllUnScannedFolders scan(0);
        pJob->DoForSubtree(pNode, scan, true);
        CDeleteAllSourceItems del(1, 0);
        pJob->DoForSubtree(pNode, del, true);
    } else if (eff == EA_COPY_LEFT_TO_RIGHT && !item.LeftExists()) {
        CScanAllUnScannedFolders scan(1);
        pJob->DoForSubtree(pNode, scan, true);
        CDeleteAllSourceItems del(0, 1);
        pJob->DoForSubtree(pNode, del, true);
    }
    return true;
}

bool CScanAllUnScannedFolders::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.m_nFlags & SPF_LISTED) return true;
    const int side = m_nSide & 1;
    const CWideString path = CSyncJob::GetItemSidePath(pNode, side);
    if (!pJob->m_apFs[side]) {
        int failedSide = 0, kind = 0;
        CWideString err;
        if (!pJob->ConnectSides(failedSide, kind, err)) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CScanAllUnScannedFolders: cannot reconnect");
            pJob->Log(1, 8097, u"While reconnecting folders: " + err + u"\n");
            return false;
        }
        pJob->Log(2, 8100, u"Reconnected folders to scan Excluded folders that have become Deleted\n");
    }
    item.m_nFlags |= SPF_LISTED;
    int kind = 0;
    CWideString err;
    int32_t nCount = 0;
    if (!pJob->ScanFolder(path, pJob->GetPairsUnchecked(), side, true, false, item.IsExcluded(), 0, true, &nCount,
                          nullptr, kind, err))
        pJob->Log(1, 8105, u"Cannot list folder " + path + u": " + err + u"\n");
    return true;
}

bool CDeleteAllSourceItems::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!item.IsExcluded() || (item.m_nFlags & SPF_REINCLUDED)) return true;
    const int a = m_nDeleted & 1, b = m_nOther & 1;
    CSideInfo& rec = item.m_aCur[a];
    rec.SetPresent(true);
    rec.m_Len.SetDeleted();
    rec.m_nAttr = 0xFFFFFFFF;
    rec.SetFolder(item.m_aCur[b].IsFolder());
    item.m_aGens[a] = item.m_aGens[b];
    item.m_aPendingGen[a] = 1;
    CSyncTreeNode* pParent = pNode->GetParent();
    if (!pParent) {
        ZOR_ASSERT(pParent != nullptr);
        return true;
    }
    pParent->GetItem().m_aHoldsDataFolder[0] = pParent->GetItem().m_aHoldsDataFolder[1] = 0;
    return true;
}

bool CDeleteExcludedFilesInFolders::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    CSyncTreeNode* pParent = pNode->GetParent();
    if (!item.IsExcluded() || !item.ExistsAnywhere() || !pParent) return true;
    const CSyncPairAndAction& parent = pParent->GetItem();
    const uint8_t pa = parent.GetEffAction();
    if ((pa == EA_COPY_RIGHT_TO_LEFT && !parent.RightExists()) ||
        (pa == EA_COPY_LEFT_TO_RIGHT && !parent.LeftExists())) {
        item.m_nSysAction = pa;
        item.m_nFlags = (uint8_t)((item.m_nFlags & ~SPF_EXCLUDED) | SPF_REINCLUDED);
        item.SetReason(u"included by delete above: " + item.GetReason());
    }
    return true;
}

bool CDoWarnAboutOldFileWins::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    if (!L.Exists() || !R.Exists() || CSyncTime::IsSame(L.m_tAccu, R.m_tAccu)) return true;
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_COPY_LEFT_TO_RIGHT && R.m_tAccu >= L.m_tAccu) {
        item.SetReason(GetLocalizedString(IDS_Str_Msg_OlderFileVsNewer));
        LogReason(pJob, 7700, pNode);
    } else if (eff == EA_COPY_RIGHT_TO_LEFT && L.m_tAccu >= R.m_tAccu) {
        item.SetReason(GetLocalizedString(IDS_Str_Msg_OlderFileVsNewer));
        LogReason(pJob, 7707, pNode);
    }
    return true;
}
