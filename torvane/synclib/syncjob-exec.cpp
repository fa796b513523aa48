// Executing one item of the sync tree: the dispatch by its effective action,
// moves, renames and case changes, time copies, the state-only actions, the
// record update after a successful operation, the follow-ups of moves and
// case changes, the run counters and the reconnect of a lost side.
#include "syncjob-exec.h"

#include "TvFileCopy.h"
#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstring>

namespace {

bool WorkersRunning(const CSyncJob* pJob) {
    return pJob->AreWorkersRunning();
}

bool NotifyItemStart(CSyncTreeNode* pNode, CSyncJob* pJob, int kind, const CWideString& path, int& errKind,
                     CWideString& errText) {
    CbJobProgress* sink = pJob->GetProgressSink();
    CCritSectionLock lock(sink->GetLock());
    const bool bGo = sink->BeforeItem(pNode, pNode->GetItem().GetEffAction(), kind, path, errKind, errText);
    sink->NotifyItemChanged(pNode, false);
    return bGo;
}

void NotifyItemDone(CSyncTreeNode* pNode, CSyncJob* pJob, int kind, const CWideString& path, int errKind) {
    CbJobProgress* sink = pJob->GetProgressSink();
    CCritSectionLock lock(sink->GetLock());
    CSyncPairAndAction& item = pNode->GetItem();
    sink->AfterItem(pNode, item.GetEffAction(), kind, path, item.m_nExecState == ESS_SYNCED_OK, errKind,
                    item.GetReason());
    sink->ShowProgress(false);
    sink->NotifyItemChanged(pNode, false);
}

void MarkFailed(CSyncPairAndAction& item, const CWideString& reason) {
    item.m_nExecState = ESS_SYNCED_ERR;
    item.SetReason(reason);
    item.m_nFlags |= SPF_DONE;
}

// The partner of a move, by the path after the move text's first character.
CSyncTreeNode* FindMovePartner(CSyncTreeNode* pNode, CSyncJob* pJob, CWideString& errText) {
    const CWideString& mv = pNode->GetItem().GetMove();
    if (mv.GetLength() < 2) return nullptr;
    CCritSectionLock lock(pJob->m_cs);
    return pJob->GetPairsUnchecked()->LookupCS(mv.Mid(1), true, nullptr, errText);
}

void NoteExecuted(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CCritSectionLock lock(pJob->m_cs);
    pJob->m_ExecutedNodes.push_back(pNode);
}

void UpdateMovePartner(CSyncTreeNode* pPartner, CSyncJob* pJob, TvFileSys* const fs[2],
                       const CWideString& pathBefore, const CWideString& pathAfter) {
    NoteExecuted(pPartner, pJob);
    int k = 0;
    CWideString e;
    NotifyItemStart(pPartner, pJob, IOK_MOVE_RENAME_CASE, pathBefore, k, e);
    CSyncPairAndAction& item = pPartner->GetItem();
    const bool bLtoR = item.GetEffAction() == EA_COPY_LEFT_TO_RIGHT;
    k = 0;
    e.Empty();
    const bool bOk = UpdateStateAfterSync(pPartner, pJob, fs, bLtoR ? 0 : 1, bLtoR ? 1 : 0, false, k, e);
    if (bOk) {
        item.m_nExecState = ESS_SYNCED_OK;
        item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
        if (!WorkersRunning(pJob)) {
            CbJobProgress* sink = pJob->GetProgressSink();
            CCritSectionLock lock(sink->GetLock());
            sink->m_nBaseDone += (int64_t)item.GetWorkBytes();
            sink->m_nItemDone = 0;
        }
    } else {
        pJob->Log(1, bLtoR ? 12906 : 12923, e + u"\n");
        MarkFailed(item, e);
    }
    NotifyItemDone(pPartner, pJob, IOK_MOVE_RENAME_CASE, pathAfter, k);
}

void UpdateMovedFolderChildren(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], bool bTop,
                               bool bSucceeded, const CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!item.ExistsAnywhere() || (item.m_nFlags & (SPF_EXCLUDED | SPF_REINCLUDED))) return;
    CWideString le;
    CSyncTreeNode* pPartner = FindMovePartner(pNode, pJob, le);
    if (!pPartner) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "UpdateMovedFolderChildren: no partner", 0);
        return;
    }
    if (!bTop) {
        if (bSucceeded) {
            const CWideString a = CSyncJob::GetItemSidePath(pNode, 0);
            const CWideString b = CSyncJob::GetItemSidePath(pPartner, 1);
            UpdateMovePartner(pNode, pJob, fs, a, b);
            UpdateMovePartner(pPartner, pJob, fs, b, a);
        } else {
            MarkFailed(item, u"parent folder: " + errText);
            MarkFailed(pPartner->GetItem(), u"parent folder: " + errText);
        }
    }
    if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            UpdateMovedFolderChildren(&e->GetValue(), pJob, fs, false, bSucceeded, errText);
}

void SyncSubtreeState(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int side) {
    CSyncPairAndAction& item = pNode->GetItem();
    item.m_aPendingGen[side] = 1;
    int k = 0;
    CWideString e;
    if (!UpdateStateAfterSync(pNode, pJob, fs, 1 - side, side, false, k, e)) {
        pJob->Log(1, 12801, e + u"\n");
        item.m_nExecState = ESS_SYNCED_ERR;
        item.SetReason(e);
    }
    if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
        for (auto* c = map->GetFirst(); c; c = map->GetNext(c)) SyncSubtreeState(&c->GetValue(), pJob, fs, side);
}

CWideString SideLabel(int side) {
    return GetLocalizedString(side == 0 ? IDS_Str_Left : IDS_Str_Right);
}

// An item did not fit on the side's disk: the first of the Sync says so
// where the user reads errors; the item's own line names it.
void NoteDiskFull(CSyncJob* pJob, TvFileSys* const fs[2], int side) {
    side = side ? 1 : 0;
    if (pJob->m_anDiskFull[side]++ != 0) return;
    pJob->Log(1, 12740,
              CWideString::Formatted(u"The disk of the %s folder %s is full: the items that do not fit are left "
                                     u"out, the others are synced\n",
                                     side ? u"right" : u"left", fs[side]->DisplayPath(CWideString())));
}

// The item failed for a cause that may pass by itself: space that is freed,
// a file that another program stops using, a connection that comes back.
bool IsPassingItemError(int errKind, const CWideString& reason) {
    if (errKind == FSE_QUOTA || IsConnectionError(errKind)) return true;
    // A busy file fails with the system's text and number of the error.
    for (int e : {EBUSY, ETXTBSY, EAGAIN})
        if (reason.Find(CWideString::Formatted(u"(error %d)", e).GetString()) >= 0 ||
            reason.Find(Utf8ToWide(strerror(e)).GetString()) >= 0)
            return true;
    return false;
}

void NotePassingItemError(CSyncJob* pJob, CSyncTreeNode* pNode) {
    if (pJob->m_nPassingItemErrors++ != 0) return;
    CCritSectionLock lock(pJob->m_cs);
    pJob->m_sPassingItemError = pNode->GetPath() + u": " + pNode->GetItem().GetReason();
}

} // namespace

// ---------------------------------------------------------------- record update

bool UpdateStateAfterSync(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst,
                          bool bMerge, int& errKind, CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    // The sides whose records afterwards are of bytes with the item's
    // digest: a file that a run read and found of it, or one unchanged
    // since a record that keeps it (a copy says below what it read).
    bool abDigest[2];
    for (int s = 0; s < 2; s++)
        abDigest[s] = item.m_aCur[s].GetFlag(SIF_DIGEST) || (item.HasDigest(s) && !item.m_aPendingGen[s]);
    auto markDigest = [&](int s, bool b) {
        item.m_aOld[s].SetFlag(SIF_DIGEST, b);
        item.m_aCur[s].SetFlag(SIF_DIGEST, b);
    };
    if (!bMerge && !((src == 0 && dst == 1) || (src == 1 && dst == 0))) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "UpdateStateAfterSync: bad direction", src);
        errKind = FSE_GENERAL;
        errText += u"-bad dir-";
        return false;
    }
    if (bMerge) {
        MergeGenerationsForCopy(item.m_aGens[0], item.m_aGens[1], item.m_aPendingGen[0], item.m_aPendingGen[1], -1, 0);
        AddPendingGeneration(item, *pJob, 0);
        CSideInfo& L = item.m_aCur[0];
        if (!L.Exists() && !L.IsPresentBit()) L.Invalidate(pNode->IsContainer());
        const CSyncTime tRight = item.m_aCur[1].m_tFile;
        const CSideInfo R = item.m_aCur[1];
        item.m_aOld[0] = L;
        item.m_aCur[1] = L;
        item.m_aOld[1] = L;
        item.m_aGens[1] = item.m_aGens[0];
        item.m_aCur[1].m_tFile = tRight;
        item.m_aOld[1].m_tFile = tRight;
        // The stamp and the identity are each file's own.
        item.m_aCur[1].m_nStamp = item.m_aOld[1].m_nStamp = R.m_nStamp;
        item.m_aOldIdent[0] = item.m_aCurIdent[0];
        item.m_aOldIdent[1] = item.m_aCurIdent[1];
        item.RenewMark(0);
        item.RenewMark(1);
        // Nothing was written on the right: a local side's record keeps the
        // attribute word listed there (its records' words are its items' own).
        if (CSyncJob::IsPlainLocalFs(fs[1]) && R.Exists() && L.Exists() && R.IsFolder() == L.IsFolder())
            item.m_aCur[1].m_nAttr = item.m_aOld[1].m_nAttr = R.m_nAttr;
        MarkRacyRecord(item.m_aOld[0], *pJob, fs[0]);
        MarkRacyRecord(item.m_aOld[1], *pJob, fs[1]);
        const bool bFiles = L.Exists() && !L.IsFolder() && R.Exists() && !R.IsFolder();
        for (int s = 0; s < 2; s++) markDigest(s, bFiles && abDigest[s]);
        return true;
    }
    TvFileSys* fsS = fs[src];
    TvFileSys* fsT = fs[dst];
    CSideInfo& S = item.m_aCur[src];
    const bool bFile = !item.IsFolder() && item.ExistsAnywhere() && !item.IsDeleteAction();
    if (bFile) {
        // A new copy that waits for its name is read where it stands.
        const CWideString placed = pJob->PendingPlacementOf(pNode);
        const CWideString dstPath = placed.IsEmpty() ? CSyncJob::GetItemSidePath(pNode, dst) : placed;
        FsItemInfo info;
        bool bNotFound = false;
        int nRetries = 0;
        CWideString e;
        const uint8_t eff = item.GetEffAction();
        const bool bCopy = eff == EA_COPY_LEFT_TO_RIGHT || eff == EA_COPY_RIGHT_TO_LEFT;
        const int64_t nSeenMs = fsT->FileSystemNowMs(); // before the look at the target
        for (;;) {
            e.Empty();
            bNotFound = false;
            const bool bOk = fsT->GetInfo(dstPath, info, bNotFound, errKind, e);
            if (bOk && !bNotFound) break;
            if (!bCopy || !fsT->GetCapability(TVFS_CAP_LISTED_LATE) || nRetries >= 2) break;
            ++nRetries;
            pJob->Log(1, bOk ? 13136 : 13153,
                      bOk ? CWideString(u"File not there after upload, try again.\n")
                          : u"Got error, try again: " + e + u"\n");
            ZorSleepSeconds(nRetries);
        }
        if (e.IsEmpty() && bNotFound) {
            errKind = FSE_NOT_FOUND;
            errText += u"File disappeared after Sync: " + fsT->DisplayPath(dstPath);
            return false;
        }
        if (!e.IsEmpty()) {
            errText += u"Cannot get file info after Sync: " + e;
            return false;
        }
        // The record of what this item's copy read, not an earlier item's.
        if (fsS->m_LastRead.m_bValid) {
            const TvLastReadFile& got = fsS->m_LastRead;
            // A source that is read as the scan listed it gains no
            // generation from being copied: another job that syncs the same
            // folder must not find it newer than it is. One written since
            // the scan was read in a new version.
            const uint32_t tRead = ReadTimeAsListed(got.m_nFileTime);
            const bool bSameTime = S.m_tFile.GetTime() == tRead;
            const bool bAsListed = bSameTime && S.m_Len.GetValue() == (uint64_t)got.m_nSize;
            const bool bNewVersion =
                !bAsListed ||
                (got.m_nStamp && S.FileStamp() && (got.m_nStamp & kStampTimeBits) != (S.m_nStamp & kStampTimeBits));
            // The stamp of what was read; its racy mark stays where the
            // copy read the file the scan saw, else it is set (the file was
            // written since the scan, as lately as it could be).
            if (!got.m_nStamp) {
                if (!bAsListed) S.m_nStamp = 0;
            } else if (got.m_nStamp != S.FileStamp() || !bSameTime) {
                S.m_nStamp = got.m_nStamp | kStampRacy;
            }
            S.m_tFile = tRead;
            S.m_tAccu = tRead;
            S.m_Len.SetValue((uint64_t)got.m_nSize);
            if (bNewVersion) item.m_aPendingGen[src] = 1;
        }
        MergeGenerationsForCopy(item.m_aGens[0], item.m_aGens[1], item.m_aPendingGen[0], item.m_aPendingGen[1], src,
                         src);
        AddPendingGeneration(item, *pJob, src);
        S.m_Len.SetValue((uint64_t)info.m_nSize);
        item.m_aOld[src] = S;
        item.m_aCur[dst] = S;
        item.m_aOld[dst] = S;
        item.m_aGens[dst] = item.m_aGens[src];
        CSideInfo& T = item.m_aCur[dst];
        CSideInfo& TO = item.m_aOld[dst];
        // A copy sets the source's time on a local target; a file system
        // that keeps another one is said once, and the record below takes
        // what it kept (so the next run finds the copy as it left it).
        if (bCopy && fsT->GetCapability(TVFS_CAP_LOCAL) && fsT->GetCapability(TVFS_CAP_MOD_TIMES) &&
            !CSyncTime::IsSame(CSyncTime(info.m_nModTime), S.m_tFile))
            pJob->NoteTimeNotKept(dst, dstPath, S.m_tFile.GetTime(), info.m_nModTime);
        T.m_tFile = info.m_nModTime;
        TO.m_tFile = info.m_nModTime;
        // The target's own stamp. The copy wrote it and then set its time:
        // a later write gives it the time of that write, which is not the
        // source's, racy or not, except where the target keeps whole
        // seconds: a write in the second of the time it took gives it that
        // second again, so such a record is racy within its tick.
        T.m_nStamp = TO.m_nStamp = info.m_nStamp;
        if (info.m_nStamp && info.m_nModTimeNs == 0)
            TO.m_nStamp |= pJob->RacyMark(dst, (uint32_t)info.m_nModTime, 0);
        // The identities: the source's as listed (a file put in its place
        // since shows another one to the next run), the target's as it
        // stands now.
        item.m_aOldIdent[src] = item.m_aCurIdent[src];
        item.m_aCurIdent[dst] = item.m_aOldIdent[dst] = IdentSeenAt(info, nSeenMs);
        // The marks: the source's as listed, the target's as the copy left
        // it, taken within the tick of its change time.
        item.RenewMark(src);
        item.SetNewMark(dst, 0);
        item.m_aOldMark[dst] = info.m_nChangeMark;
        // A local side's record holds the word read back, which is the
        // target's own also where nothing was written to it (the files of a
        // moved folder).
        if (CSyncJob::IsPlainLocalFs(fsT) && info.m_nAttributes != FSA_UNKNOWN)
            T.m_nAttr = TO.m_nAttr = info.m_nAttributes;
        if (CSyncJob::MayHaveTimeShift(fsT)) {
            T.m_tAccu = S.m_tAccu;
            TO.m_tAccu = S.m_tAccu;
        } else {
            T.m_tAccu = info.m_nModTime;
            TO.m_tAccu = info.m_nModTime;
            // (Only where the target kept the source's time: a source record
            // given a time its file does not show would be a change.)
            if (!CSyncJob::MayHaveTimeShift(fsS) && CSyncTime::IsSame(CSyncTime(info.m_nModTime), S.m_tFile)) {
                S.m_tFile = S.m_tAccu = info.m_nModTime;
                item.m_aOld[src].m_tFile = item.m_aOld[src].m_tAccu = info.m_nModTime;
            }
        }
        MarkRacyRecord(item.m_aOld[src], *pJob, fsS);
        // Both files hold the bytes the copy read. Where nothing was copied
        // (a time set, a state taken over) each keeps what it had, the
        // target only where the source keeps it too.
        bool bDst = abDigest[dst] && abDigest[src];
        if (fsS->m_LastRead.m_bValid) {
            if (fsS->m_LastRead.m_bDigest) item.NewDigest(fsS->m_LastRead.m_nDigest);
            abDigest[src] = bDst = fsS->m_LastRead.m_bDigest != 0;
        }
        markDigest(src, abDigest[src]);
        markDigest(dst, bDst);
        return true;
    }
    MergeGenerationsForCopy(item.m_aGens[0], item.m_aGens[1], item.m_aPendingGen[0], item.m_aPendingGen[1], src, src);
    AddPendingGeneration(item, *pJob, src);
    if (!S.Exists() && !S.IsPresentBit()) S.Invalidate(pNode->IsContainer());
    item.m_aOld[src] = S;
    item.m_aCur[dst] = S;
    item.m_aOld[dst] = S;
    item.m_aOldIdent[src] = item.m_aCurIdent[src];
    item.m_aCurIdent[dst] = item.m_aOldIdent[dst] = 0;
    item.RenewMark(src);
    item.SetNewMark(dst, 0);
    item.m_aOldMark[dst] = 0;
    item.m_aGens[dst] = item.m_aGens[src];
    markDigest(0, false);
    markDigest(1, false);
    if (item.IsFolder() && S.Exists()) {
        FsItemInfo info;
        bool bNotFound = false;
        int k = 0;
        CWideString e;
        if (fsT->GetInfo(CSyncJob::GetItemSidePath(pNode, dst), info, bNotFound, k, e) && !bNotFound) {
            ZOR_ASSERT(info.IsFolder());
            item.m_aCur[dst].m_nAttr = info.m_nAttributes;
            item.m_aOld[dst].m_nAttr = info.m_nAttributes;
        }
    }
    return true;
}

// ---------------------------------------------------------------- moves

bool MoveItem(CSyncTreeNode* pNode, const CWideString& fromPath, const CWideString& toPath, CSyncJob* pJob,
              TvFileSys* const fs[2], int side, bool bCaseChange, CWideString& logText, int& errKind,
              CWideString& errText) {
    (void)pJob;
    TvFileSys* f = fs[side];
    const bool bFolder = pNode->GetItem().IsFolder();
    logText = FormatLocalizedString(bFolder ? IDS_Str_Msg_Action_MoveFolder : IDS_Str_Msg_Action_MoveFile,
                                    f->DisplayPath(fromPath), f->DisplayPath(toPath));
    // A move never replaces what stands at its destination: that appeared
    // after Analyze. A case change renames the same file, and only it.
    CWideString e;
    const bool bOk = bFolder ? MoveFolder(f, fromPath, toPath, nullptr, errKind, e)
                             : f->MoveFileNoReplace(fromPath, toPath, errKind, e);
    if (bOk) return true;
    // Only something at the destination is what a new Analyze resolves; a
    // case change on a side that does not tell case apart finds itself there.
    FsItemInfo info;
    bool bNotFound = true;
    int k = 0;
    CWideString le;
    const bool bLooked = (!bCaseChange || f->GetCapability(TVFS_CAP_CASE_SENSITIVE)) &&
                         !IsConnectionError(errKind) && errKind != FSE_STOPPED;
    if (bLooked && f->GetInfo(toPath, info, bNotFound, k, le) && !bNotFound) {
        e += u". Re-Analyze required";
        errKind = FSE_NOT_FOUND;
    }
    errText += e;
    return false;
}

// ---------------------------------------------------------------- ExecuteNode

bool ExecuteNode(CSyncTreeNode* pNode, const CWideString& path, CSyncJob* pJob, TvFileSys* const fs[2],
                 ICopyProgress* pProgress, int& outKind, CWideString& outText) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.m_nExecState == ESS_SYNCED_OK) return true;
    if (item.GetEffAction() == EA_NO_COPY && item.GetMove().IsEmpty() && fs[0]->IsConnected() &&
        fs[1]->IsConnected()) {
        // Most items of a run: nothing to do but to take their state. What
        // the whole way below does for them, without its texts.
        fs[0]->m_LastRead.m_bValid = 0;
        fs[1]->m_LastRead.m_bValid = 0;
        item.m_nExecState = ESS_SYNCED_OK;
        int errKind = 0;
        CWideString errText;
        if (pJob->CheckStop(errKind, errText) || !IsFatalErrorKind(errKind)) return true;
        outKind = errKind;
        outText += errText;
        return false;
    }
    if (item.GetEffAction() != EA_NO_COPY) NoteExecuted(pNode, pJob);
    CbJobProgress* sink = pJob->GetProgressSink();
    const CSyncJobOptions& o = pJob->m_Options;
    for (;;) {
        // Each attempt has its own error: an item's reason is its own, and
        // the caller hears only of a failure that ends the execution.
        int errKind = 0;
        CWideString errText;
        auto endRun = [&]() {
            outKind = errKind;
            outText += errText;
            return false;
        };
        const uint8_t prevState = item.m_nExecState;
        item.m_nExecState = ESS_SYNCING;
        bool ok = true;
        int dir = 0;
        int kind = 0;
        bool bCopy = false;
        CWideString opPath, logText;
        CSyncTreeNode* pPartner = nullptr;
        CWideString partnerFrom, partnerTo;
        const uint8_t eff = item.GetEffAction();
        // The last-read records speak of this item's reads only.
        fs[0]->m_LastRead.m_bValid = 0;
        fs[1]->m_LastRead.m_bValid = 0;
        if (eff != EA_NO_COPY && !WorkersRunning(pJob)) {
            CCritSectionLock lock(sink->GetLock());
            sink->m_nItemDone = 0;
            sink->m_nItemTotal = (int64_t)item.GetWorkBytes();
            sink->m_sItemText = path;
            sink->ShowProgress(false);
        }
        const bool bToLeft = (eff & EA_BIT_TO_LEFT) != 0;
        const int src = bToLeft ? 1 : 0, dst = bToLeft ? 0 : 1;
        switch (eff) {
        case EA_NO_COPY:
            item.m_nExecState = ESS_SYNCED_OK;
            dir = 1;
            break;
        case EA_COPY_STATE_MERGE_GENS:
            item.m_nExecState = ESS_SYNCED_OK;
            pJob->Log(2, 12128, u"Sync State Merge: " + path + u"\n");
            dir = 4;
            break;
        case EA_CONFLICT:
            pJob->Log(2, 12533, path + u": unresolved conflict results in No Copy\n");
            break;
        case EA_ERROR:
            pJob->Log(2, 12542, path + u": Analyze error: " + item.GetReason() + u"\n");
            break;
        case EA_COPY_STATE_LEFT_TO_RIGHT:
        case EA_COPY_STATE_RIGHT_TO_LEFT:
            item.m_nExecState = ESS_SYNCED_OK;
            pJob->Log(2, 12128,
                      (eff == EA_COPY_STATE_LEFT_TO_RIGHT ? u"Copy State LtoR: " : u"Copy State RtoL: ") + path +
                          u"\n");
            dir = eff == EA_COPY_STATE_LEFT_TO_RIGHT ? 3 : 2;
            break;
        case EA_COPY_LEFT_TO_RIGHT:
        case EA_COPY_RIGHT_TO_LEFT:
            if (item.GetMove().IsEmpty()) {
                bCopy = true;
                kind = item.IsDeleteAction() ? IOK_DELETE : item.m_aCur[dst].Exists() ? IOK_OVERWRITE : IOK_NEW_COPY;
                opPath = CSyncJob::GetItemSidePath(pNode, src);
                ok = NotifyItemStart(pNode, pJob, kind, opPath, errKind, errText);
                int opCode = FOP_NONE;
                if (ok) {
                    ok = DoFileOp(pNode, pJob, fs, src, dst, opCode, logText, errKind, errText);
                    if (item.m_nUserAction && item.m_nUserAction != item.m_nSysAction) logText += u" (User Action)";
                    if (ok) dir = bToLeft ? 2 : 3;
                }
                const int k = bToLeft ? opCode : opCode - 7;
                if (!ok) {
                    item.SetReason(errText);
                    item.m_nExecState = ESS_SYNCED_ERR;
                    pJob->Log(1, 12521 + k,
                              CWideString::Formatted(u"%s\n- %s: %s", logText,
                                                     GetLocalizedString(IDS_Str_Status_SyncError),
                                                     item.GetReason()) +
                                  u"\n");
                } else {
                    pJob->Log(2, 12506 + k, logText + u"\n");
                    item.m_nExecState = ESS_SYNCED_OK;
                    item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
                }
            } else {
                const char16_t c = item.GetMove()[0];
                CWideString le;
                pPartner = FindMovePartner(pNode, pJob, le);
                if (!pPartner) {
                    ZorAssertFailed(__FILE__, __LINE__, 0, "ExecuteNode: no move partner", 0);
                    ok = false;
                    errKind = FSE_GENERAL;
                    errText += u"cannot find the other side of move: " + le;
                } else {
                    const CWideString& pm = pPartner->GetItem().GetMove();
                    ZOR_ASSERT(!pm.IsEmpty() && (pm[0] == u'<' || pm[0] == u'>' || pm[0] == u'='));
                    TvFileSys* fT = fs[dst];
                    if (c == u'>' || c == u'<') {
                        partnerFrom = c == u'>' ? CSyncJob::GetItemSidePath(pNode, dst)
                                                : CSyncJob::GetItemSidePath(pPartner, dst);
                        partnerTo = c == u'>' ? CSyncJob::GetItemSidePath(pPartner, src)
                                              : CSyncJob::GetItemSidePath(pNode, src);
                        kind = IOK_MOVE_RENAME_CASE;
                        opPath = partnerFrom;
                        ok = NotifyItemStart(pNode, pJob, kind, partnerFrom, errKind, errText);
                        if (ok)
                            ok = MoveItem(pNode, partnerFrom, partnerTo, pJob, fs, dst, false, logText, errKind,
                                          errText);
                        if (ok) {
                            dir = bToLeft ? 2 : 3;
                            // The side that moved now names the item as the source does.
                            CSyncTreeNode* pNew = c == u'>' ? pPartner : pNode;
                            pNew->GetItem().m_aCur[dst].m_sId = GetUrlPathFileName(partnerTo);
                            // Both files now hold the bytes the moved one held (the
                            // pairing proved the new name's file the same): where its
                            // record keeps their digest, the new name's records do.
                            const CSyncPairAndAction& was = (c == u'>' ? pNode : pPartner)->GetItem();
                            CSyncPairAndAction& now = pNew->GetItem();
                            if (was.HasDigest(dst) && !was.m_aPendingGen[dst] && !now.IsFolder()) {
                                now.NewDigest(was.Digest(dst));
                                now.m_aCur[0].SetFlag(SIF_DIGEST, true);
                                now.m_aCur[1].SetFlag(SIF_DIGEST, true);
                            }
                        }
                    } else if (c == u'=') {
                        logText = FormatLocalizedString(IDS_Str_Msg_Action_MoveFileDone,
                                                        fT->DisplayPath(CSyncJob::GetItemSidePath(pPartner, dst)),
                                                        fT->DisplayPath(path));
                        dir = bToLeft ? 2 : 3;
                    } else {
                        ok = false;
                        errKind = FSE_GENERAL;
                        errText += u"bad rename/move code";
                    }
                }
                if (!ok) {
                    item.SetReason(errText);
                    pJob->Log(1, 12454 + eff, logText + u"\n- ERROR: " + item.GetReason() + u"\n");
                    item.m_nExecState = ESS_SYNCED_ERR;
                } else {
                    pJob->Log(2, 12449 + eff, logText + u"\n");
                    item.m_nExecState = ESS_SYNCED_OK;
                    item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
                }
                item.m_nFlags |= SPF_EXECUTED;
            }
            break;
        case EA_NAME_CASE_LEFT_TO_RIGHT:
        case EA_NAME_CASE_RIGHT_TO_LEFT: {
            const CWideString from = CSyncJob::GetItemSidePath(pNode, dst);
            const CWideString to = GetItemWritePath(pNode, src, dst);
            kind = IOK_MOVE_RENAME_CASE;
            opPath = from;
            ok = NotifyItemStart(pNode, pJob, kind, from, errKind, errText);
            if (!ok)
                logText = u"stopped by callback";
            else
                ok = MoveItem(pNode, from, to, pJob, fs, dst, true, logText, errKind, errText);
            logText = u"Change Name Case: " + logText;
            if (!ok) {
                item.SetReason(errText);
                pJob->Log(1, bToLeft ? 12222 + eff : 12256,
                          logText + u"\n- ERROR: " + item.GetReason() + u"\n");
                item.m_nExecState = ESS_SYNCED_ERR;
            } else {
                pJob->Log(2, bToLeft ? 12214 + eff : 12248 + eff, logText + u"\n");
                dir = bToLeft ? 2 : 3;
                item.m_nExecState = ESS_SYNCED_OK;
                item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
                item.m_aCur[dst].m_sId = GetUrlPathFileName(to);
            }
            item.m_nFlags |= SPF_EXECUTED;
            break;
        }
        case EA_TIME_LEFT_TO_RIGHT:
        case EA_TIME_RIGHT_TO_LEFT: {
            kind = IOK_TIME_COPY;
            CWideString localErr;
            int localKind = 0;
            if (!item.ExistsBoth() || item.m_aCur[0].m_Len != item.m_aCur[1].m_Len) {
                ok = false;
                localKind = FSE_GENERAL;
                localErr = u"SetModTime: file have different length or one of them is deleted";
            } else {
                const CWideString sp = CSyncJob::GetItemSidePath(pNode, src);
                const CWideString dp = CSyncJob::GetItemSidePath(pNode, dst);
                logText = FormatLocalizedString(IDS_Str_Msg_Action_CopyTime, fs[src]->DisplayPath(sp),
                                                fs[dst]->DisplayPath(dp));
                opPath = sp;
                // A target rewritten since Analyze never takes the source's
                // time: that would hide the rewrite from the next run.
                ok = NotifyItemStart(pNode, pJob, kind, sp, localKind, localErr) &&
                     TargetAsListed(pJob, fs[dst], dp, item.m_aCur[dst], localKind, localErr) &&
                     CopyModTime(pNode, sp, dp, pJob, fs, src, dst, localKind, localErr);
                if (ok) item.m_aCur[dst].m_sId = GetUrlPathFileName(dp);
            }
            if (ok) {
                dir = bToLeft ? 2 : 3;
                pJob->Log(2, 12313 + eff, logText + u"\n");
                item.m_nExecState = ESS_SYNCED_OK;
                item.m_nFlags &= (uint8_t)~SPF_DIRECTION_SET;
            } else {
                errKind = localKind;
                errText += localErr;
                item.SetReason(localErr);
                pJob->Log(1, 12318 + eff, logText + u"\n- ERROR: " + localErr + u"\n");
                item.m_nExecState = ESS_SYNCED_ERR;
            }
            break;
        }
        default:
            ZorAssertFailed(__FILE__, __LINE__, 0, "ExecuteNode: incorrect action", eff);
            errText += u"Incorrect Action";
            item.SetReason(u"Incorrect Action");
            item.m_nExecState = ESS_SYNCED_ERR;
            break;
        }

        // Records.
        const bool bHoldStop = ok && dir >= 2;
        if (bHoldStop) pProgress->SetSuppressStop(true);
        if (ok && dir >= 2) {
            int k = 0;
            CWideString e;
            bool bUpd = true;
            int nId = 0, nCloseSide = -1;
            if (dir == 2) {
                pJob->m_anStateUpdates[0]++;
                bUpd = UpdateStateAfterSync(pNode, pJob, fs, 1, 0, false, k, e);
                nId = 12573;
                nCloseSide = 0;
            } else if (dir == 3) {
                pJob->m_anStateUpdates[1]++;
                bUpd = UpdateStateAfterSync(pNode, pJob, fs, 0, 1, false, k, e);
                nId = 12589;
                nCloseSide = 1;
            } else if (dir == 4) {
                pJob->m_anStateUpdates[0]++;
                pJob->m_anStateUpdates[1]++;
                bUpd = UpdateStateAfterSync(pNode, pJob, fs, 0, 1, true, k, e);
                nId = 12609;
            } else {
                ZorAssertFailed(__FILE__, __LINE__, 0, "ExecuteNode: bad update direction", dir);
            }
            if (!bUpd) {
                pJob->Log(1, nId, e + u"\n");
                item.m_nExecState = ESS_SYNCED_ERR;
                item.SetReason(e);
                errKind = k;
                if (IsConnectionError(k) && nCloseSide >= 0) fs[nCloseSide]->Close();
            } else if (bCopy && o.m_nDirection != 0 && o.m_n1wayMode == OWM_MOVE && item.m_aCur[src].Exists() &&
                       !item.m_aCur[src].IsFolder() && logText.Find(u" AND delete source file") >= 0) {
                // Move mode: the source is gone; its state says so, so the
                // next run never takes it for a deletion to propagate.
                item.m_aCur[src].Invalidate(false);
                item.m_aOld[src].Invalidate(false);
            }
        }
        if (item.m_nExecState == ESS_SYNCING)
            item.m_nExecState = (eff == EA_CONFLICT || eff == EA_ERROR) ? prevState : (uint8_t)ESS_SYNCED_ERR;
        if (kind != 0 && !opPath.IsEmpty()) NotifyItemDone(pNode, pJob, kind, opPath, errKind);
        if (item.m_nExecState == ESS_SYNCED_ERR) item.m_nFlags |= SPF_DONE;
        if (pPartner && (item.GetMove()[0] == u'<' || item.GetMove()[0] == u'>')) {
            if (item.m_nExecState != ESS_SYNCED_OK) {
                MarkFailed(pPartner->GetItem(), u"other: " + item.GetReason());
            } else {
                UpdateMovePartner(pPartner, pJob, fs, partnerTo, partnerFrom);
            }
        }
        if (item.IsFolder() && item.ExistsBoth()) {
            if (eff == EA_NAME_CASE_LEFT_TO_RIGHT && !fs[1]->GetCapability(TVFS_CAP_MOVE_FOLDER))
                SyncSubtreeState(pNode, pJob, fs, 1);
            else if (eff == EA_NAME_CASE_RIGHT_TO_LEFT && !fs[0]->GetCapability(TVFS_CAP_MOVE_FOLDER))
                SyncSubtreeState(pNode, pJob, fs, 0);
        }
        if (item.IsFolder() && item.ExistsAnywhere() && !item.GetMove().IsEmpty() &&
            item.GetMove()[0] == u'<')
            UpdateMovedFolderChildren(pNode, pJob, fs, true, item.m_nExecState == ESS_SYNCED_OK,
                                      item.GetReason());
        if (!WorkersRunning(pJob) && eff != EA_NO_COPY && ok) {
            CCritSectionLock lock(sink->GetLock());
            sink->m_nBaseDone += (int64_t)item.GetWorkBytes();
            sink->m_nItemDone = 0;
        }
        if (bHoldStop) pProgress->SetSuppressStop(false);

        if (ok && !pJob->CheckStop(errKind, errText)) ok = false;
        // A full local disk fails the item that did not fit; smaller ones may
        // still fit, and the rest of the run (deletions among them) goes on.
        if (!ok && errKind == FSE_QUOTA && item.m_nExecState == ESS_SYNCED_ERR &&
            fs[dst]->GetCapability(TVFS_CAP_LOCAL))
            NoteDiskFull(pJob, fs, dst);
        else if (!ok && IsFatalErrorKind(errKind))
            return endRun();
        if (!ok && item.m_nExecState == ESS_SYNCED_ERR && IsPassingItemError(errKind, item.GetReason()))
            NotePassingItemError(pJob, pNode);

        // A side that went away during the operation.
        CWideString failureText = item.GetReason();
        int side = -1;
        for (int s = 0; s < 2; ++s) {
            if (fs[s]->IsConnected()) continue;
            side = s;
            const CWideString what = SideLabel(s) + u": " + GetLocalizedString(IDS_Str_Status_SyncDisconnected);
            pJob->Log(1, s == 0 ? 12716 : 12723, what + u"\n");
            item.SetReason(what + u": " + item.GetReason());
        }
        if (side < 0) {
            if (item.m_nExecState == ESS_SYNCED_OK) {
                if (eff != EA_NO_COPY) {
                    pJob->m_nSyncOk++;
                    if (eff != EA_COPY_STATE_MERGE_GENS && eff != EA_COPY_STATE_LEFT_TO_RIGHT &&
                        eff != EA_COPY_STATE_RIGHT_TO_LEFT)
                        pJob->m_nChangesOk++;
                }
                if (bCopy) fs[0]->m_nReconnectCount = fs[1]->m_nReconnectCount = 0;
            } else if (eff == EA_CONFLICT) {
                pJob->m_nConflicts++;
            } else {
                pJob->m_nSyncErr++;
            }
            return true;
        }
        int k = errKind ? errKind : FSE_CONN_LOST;
        CWideString e;
        bool bReconnected;
        if (fs[side] == pJob->m_apFs[side].get()) {
            bReconnected = pJob->TryReconnect(side, u"SYNC", failureText, false, k, e);
        } else {
            // A worker's own connection: connect it again in place.
            TvFileSys* f = fs[side];
            bReconnected = false;
            if (IsConnectionError(k) && f->m_nReconnectCount < o.m_nReconnectAttempts) {
                f->m_nReconnectCount++;
                f->Close();
                TvConnectInfo ci = f->GetConnectInfo();
                bReconnected = f->Connect(ci, pProgress, k, e) && f->SetRootDir(f->GetRootDir(), k, e);
            } else {
                e += u"Reconnect will not fix the error";
            }
        }
        if (bReconnected) {
            item.m_nExecState = ESS_SYNCED_ERR;
            item.SetReason(u"Reconnected, Retry: " + item.GetReason());
            continue;
        }
        pJob->Log(1, 12739, u"Cannot Reconnect after SYNC disconnect: " + e + u"\n");
        item.m_nExecState = ESS_SYNCED_ERR;
        pJob->m_nSyncErr++;
        errKind = k;
        errText += e;
        return endRun();
    }
}
