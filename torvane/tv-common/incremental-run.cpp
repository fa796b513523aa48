// The incremental on-change run: the tree of the previous analyse is kept,
// only the changed paths are read again, and the engine's Analyze and Sync
// then run over the tree as usual.
#include "file-monitor.h"
#include "state-file.h"

#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-fold.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

CWideString JobLabel(const CSyncJob& job) {
    return job.m_Options.m_sName;
}

// Clears the side record of every node below pNode (not pNode itself): the
// items are gone with their folder.
void MarkSubtreeMissing(CSyncTreeNode* pNode, int side) {
    CSyncDepthFirstIter it(pNode);
    for (bool b = it.IsValid(); b; b = it.Next()) {
        CSyncTreeNode* p = it.GetNode();
        CSyncPairAndAction& item = p->GetItem();
        item.m_aCur[side].Invalidate(p->IsContainer());
        item.m_aCur[side].SetPresent(false);
        item.m_nExecState = ESS_ANALYZED_OK;
    }
}

// Which folder a local side's root is now; unknown on other sides and
// where the root cannot be read.
CMonitoredJob::RootIdentity ReadRootIdentity(TvFileSys* fs) {
    CMonitoredJob::RootIdentity id;
    struct stat st {};
    if (fs && fs->GetCapability(TVFS_CAP_LOCAL) &&
        stat(ZorNativePath(fs->GetRootDir()).GetString(), &st) == 0) {
        id.bKnown = true;
        id.nDevice = (uint64_t)st.st_dev;
        id.nInode = (uint64_t)st.st_ino;
    }
    return id;
}

// The file systems mounted below a local side's root (not on it); unknown
// on other sides and where the mount table cannot be read.
CMonitoredJob::MountsBelow ReadMountsBelow(const CSyncJob& job, int side) {
    CMonitoredJob::MountsBelow m;
    m.bKnown = job.ListMountsBelow(side, m.mounts);
    return m;
}

} // namespace

// ------------------------------------------------------------ tree preparation
int GetChangesOnlyNodeType(const CSyncTreeNode* pNode) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (item.IsError()) return pNode->IsContainer() ? CONT_UNREADABLE : CONT_ERROR;
    return pNode->IsContainer() ? CONT_FOLDER : CONT_FILE;
}

void ResetNodeForChangesOnly(CSyncPairAndAction& item, bool bKeepExclusion) {
    item.m_nSysAction = EA_NO_COPY;
    item.m_nUserAction = 0;
    item.m_nExecState = ESS_ANALYZED_OK;
    item.m_nFlags &= (uint8_t)~SPF_EXECUTED;
    if (!bKeepExclusion) {
        item.m_nFlags &= (uint8_t)~(SPF_EXCLUDED | SPF_REINCLUDED);
        item.m_nFlags |= SPF_LISTED;
    }
    item.m_nFlags &= (uint8_t)~(SPF_DIRECTION_SET | SPF_FOLDER_AFTER | SPF_DONE);
    item.ClearReason();
    item.ClearMove();
    item.m_aPendingGen[0] = item.m_aPendingGen[1] = 0;
    item.SetWorkBytes(0);
}

// Nothing of the last run is left in the item but the marks of a Sync that
// passed it by: the reset gives it what its decision gave it.
static bool IsResetForChangesOnly(const CSyncPairAndAction& item) {
    return item.m_nSysAction == EA_NO_COPY && item.m_nUserAction == 0 &&
           (item.m_nExecState == ESS_ANALYZED_OK || item.m_nExecState == ESS_SYNCED_OK) &&
           !(item.m_nFlags & (SPF_EXECUTED | SPF_DIRECTION_SET)) && item.GetReason().IsEmpty() &&
           item.GetMove().IsEmpty() && !item.m_aPendingGen[0] && !item.m_aPendingGen[1] &&
           item.GetWorkBytes() == 0;
}

bool CDoInitChangesOnly::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CMonitoredJob* job = static_cast<CMonitoredJob*>(pJob);
    CSyncPairAndAction& item = pNode->GetItem();
    // An item with work left from the last run is analysed again.
    if (job->m_pChanged && pNode->GetParent() && !IsResetForChangesOnly(item))
        job->m_pChanged->NoteNode(pNode);
    switch (GetChangesOnlyNodeType(pNode)) {
    case CONT_FILE:
        if (item.GetEffAction() == EA_NO_COPY)
            ResetNodeForChangesOnly(item, true);
        else
            job->QueueReAnalyzeChange(pNode->GetPath());
        break;
    case CONT_ERROR:
    case CONT_UNREADABLE:
        job->QueueReAnalyzeChange(pNode->GetPath());
        break;
    case CONT_FOLDER:
        ResetNodeForChangesOnly(item, true);
        break;
    default:
        ZOR_ASSERT(!"CDoInitChangesOnly: bad node type");
        ZorGetProgramLog().Printf(u"!!!CDoInitChangesOnly: BAD NODE TYPE: %s\n", pNode->GetPath());
        break;
    }
    return true;
}

void CMonitoredJob::QueueReAnalyzeChange(const CWideString& path) {
    CCritSectionLock lock(m_JobLock);
    for (int side = 0; side < 2; ++side)
        if (!m_aMonitor[side].m_bRefused.load()) m_aChanges[side].AddTail(ChangedItem(path, CIK_REANALYZE));
    CSyncTreeNode* pNode = nullptr;
    CWideString err;
    if (path.IsEmpty())
        pNode = GetPairsUnchecked();
    else
        pNode = CSyncTreeNode::LookupCS(GetPairsUnchecked(), path, true, nullptr, err);
    if (pNode) ResetNodeForChangesOnly(pNode->GetItem(), false);
}

// ------------------------------------------------------------ job overrides
bool CMonitoredJob::ResetTree() {
    // Another job's worker may drop this job's tree while the tick reads it
    // (FilterNewChanges): both hold the job lock.
    CCritSectionLock lock(m_JobLock);
    m_bFirstFullAnalyzePending = 1;
    return CSyncJob::ResetTree();
}

bool CMonitoredJob::DropSideChanges(int side, int, int) {
    CCritSectionLock lock(m_JobLock);
    if (m_bFirstFullAnalyzePending.load())
        m_aChanges[side & 1].RemoveAll();
    else
        ZOR_ASSERT(m_aChanges[side & 1].IsEmpty());
    return true;
}

bool CMonitoredJob::IncrementalAnalyzeItems(int side, TvFileSys* pFs, CSyncTreeNode* pRoot, int& errKind,
                                            CWideString& errText) {
    side &= 1;
    CCritSectionLock lock(m_JobLock);
    TvFileSys* fs = pFs ? pFs : m_apFs[side].get();
    bool bOk = true;
    bool bKeepList = false;
    m_TwinListings.clear();
    struct ForgetListings {
        CMonitoredJob* job;
        ~ForgetListings() { job->m_TwinListings.clear(); }
    } forget{this};
    for (ZorPosition pos = m_aChanges[side].GetHeadPosition(); pos;) {
        const ChangedItem c = m_aChanges[side].GetNext(pos);
        if (m_pChanged) m_pChanged->NotePath(c.m_sPath);
        const CWideString display = fs ? fs->DisplayPath(c.m_sPath) : c.m_sPath;
        Log(2, 1251, u"Change in: " + display + u"\n");
        switch (c.m_nKind) {
        case CIK_CREATED:
        case CIK_DELETED:
        case CIK_MODIFIED:
        case CIK_MOVED_FROM:
        case CIK_MOVED_TO:
        case CIK_REANALYZE:
            bOk = ApplyChangeToTree(c, side, pRoot, errKind, errText);
            break;
        case CIK_CHANGE_IN_FOLDER:
        case CIK_METADATA:
        case CIK_UNKNOWN: {
            CSyncTreeNode* pNode = pRoot;
            if (!c.m_sPath.IsEmpty()) {
                CWideString e;
                pNode = CSyncTreeNode::LookupCS(pRoot, c.m_sPath, true, nullptr, e);
            }
            if (!pNode) {
                errText = u"Bad change-unknown path: " + c.m_sPath;
                errKind = FSE_GENERAL;
                bOk = false;
                bKeepList = true;
                break;
            }
            ClearSideInfoInSubtree(pNode, side, true);
            bOk = ApplyChangeToTree(c, side, pRoot, errKind, errText);
            break;
        }
        default:
            ZOR_ASSERT(!"IncrementalAnalyzeItems: bad change kind");
            break;
        }
        if (!bOk) break;
    }
    if (!bKeepList) m_aChanges[side].RemoveAll();
    return bOk;
}

bool CMonitoredJob::ApplyChangeToTree(const ChangedItem& change, int side, CSyncTreeNode* pRoot, int& errKind,
                                      CWideString& errText) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs) {
        errKind = FSE_GENERAL;
        errText += u"no file system mounted";
        return false;
    }
    const CWideString& path = change.m_sPath;
    CListT<CSyncTreeNode*> queue;
    CSyncTreeNode* pNode = nullptr;

    // The whole tree: list the side's root again.
    if (path.IsEmpty()) {
        return ScanFolder(CWideString(), pRoot, side, true, false, false, 0, false, nullptr, nullptr, errKind,
                          errText);
    }

    FsItemInfo info;
    bool bMissing = false;
    int k = 0;
    CWideString e;
    CWideString lookErr;
    CSyncTreeNode* pParent = nullptr;
    CSyncTreeNode* pKnown = CSyncTreeNode::LookupCS(pRoot, path, true, &pParent, lookErr);
    const bool bParentExcluded = pParent && IsInExcludedSubtree(pParent);
    if (!fs->GetInfo(path, info, bMissing, k, e)) {
        // Unknown state: the tree's knowledge of the item stands.
        FsItemInfo none;
        none.m_sName = GetUrlPathFileName(path);
        none.m_bValid = 0;
        if (!AddListedItems(path, none, side, false, bParentExcluded, queue, pRoot, pNode, errKind, errText)) {
            Log(1, 1378, errText + u"\n");
            return false;
        }
        return true;
    }
    if (!bMissing) {
        // What the tree held of the item on this side is replaced.
        if (pKnown) {
            if (info.m_nAttributes & FSA_FOLDER)
                ClearSideInfoInSubtree(pKnown, side, true);
            else
                pKnown->GetItem().m_aCur[side] = CSideInfo();
        }
        if (!AddListedItems(path, info, side, false, bParentExcluded, queue, pRoot, pNode, errKind, errText) ||
            (pNode && !AddNameTwins(path, info, side, bParentExcluded, pRoot, errKind, errText))) {
            Log(1, 1426, errText + u"\n");
            return false;
        }
        if (pNode && pNode->GetItem().m_aCur[side].IsFolder()) {
            pNode->GetItem().m_nFlags |= SPF_LISTED;
            int nDepth = 0;
            for (const CSyncTreeNode* p = pNode; p && p->GetParent(); p = p->GetParent()) nDepth++;
            if (!pNode->GetItem().IsExcluded() &&
                !ScanFolder(path, pRoot, side, true, false, pNode->GetItem().IsExcluded(), nDepth, false, nullptr,
                            nullptr, errKind, errText)) {
                Log(1, 1426, errText + u"\n");
                return false;
            }
        }
        return true;
    }
    // Missing: the side's record becomes the deleted record.
    if (pKnown) {
        CSyncPairAndAction& item = pKnown->GetItem();
        const bool bFolder = item.m_aCur[side].IsFolder() || pKnown->IsContainer();
        item.m_aCur[side].Invalidate(pKnown->IsContainer());
        if (bFolder) MarkSubtreeMissing(pKnown, side);
    }
    return true;
}

namespace {
// A name as the tree compares names that it does not tell apart by case.
std::u16string FoldedName(const CWideString& name) {
    CWideString nfc = name;
    NormalizeNameNfc(nfc);
    std::u16string f(nfc.GetString(), (size_t)nfc.GetLength());
    for (char16_t& c : f) c = (char16_t)ZorFoldNameUnit(c);
    return f;
}
} // namespace

bool CMonitoredJob::AddNameTwins(const CWideString& path, const FsItemInfo& info, int side, bool bParentExcluded,
                                 CSyncTreeNode* pRoot, int& errKind, CWideString& errText) {
    TvFileSys* fs = m_apFs[side & 1].get();
    // A side that does not tell names apart by case holds no such pair.
    if (!fs || GetStateFileIo().m_bCaseSensitive || !fs->GetCapability(TVFS_CAP_CASE_SENSITIVE)) return true;
    const CWideString folder = GetUrlPathFolder(path);
    const std::u16string key(folder.GetString(), (size_t)folder.GetLength());
    auto it = m_TwinListings.find(key);
    if (it == m_TwinListings.end()) {
        // Listed once per pass: many changes in one folder cost one listing.
        CListT<FsItemInfo> items;
        int k = 0;
        CWideString e;
        // A folder that cannot be listed now: the item stands as the change gave it.
        if (!fs->ListDir(folder, items, k, e)) return true;
        std::vector<std::pair<std::u16string, FsItemInfo>> names;
        for (ZorPosition pos = items.GetHeadPosition(); pos;) {
            const FsItemInfo& item = items.GetNext(pos);
            names.emplace_back(FoldedName(item.m_sName), item);
        }
        it = m_TwinListings.emplace(key, std::move(names)).first;
    }
    const std::u16string folded = FoldedName(info.m_sName);
    for (const auto& [name, twin] : it->second) {
        if (name != folded || twin.m_sName == info.m_sName) continue;
        CListT<CSyncTreeNode*> queue;
        CSyncTreeNode* pTwin = nullptr;
        // Entered as a full scan enters a listed name: the second name of one
        // item makes it an error.
        if (!AddListedItems(folder + u"/" + twin.m_sName, twin, side, true, bParentExcluded, queue, pRoot, pTwin,
                            errKind, errText))
            return false;
    }
    return true;
}

// ------------------------------------------------------------ the job's own writes
namespace {

std::u16string OwnWriteKey(const CWideString& path) {
    std::u16string key;
    if (!path.StartsWith(u"/")) key += u'/';
    key.append(path.GetString(), (size_t)path.GetLength());
    while (key.size() > 1 && key.back() == u'/') key.pop_back();
    return key;
}

} // namespace

void CMonitoredJob::ClearOwnWrites() {
    CCritSectionLock lock(m_JobLock);
    m_aOwnWrites[0].clear();
    m_aOwnWrites[1].clear();
}

void CMonitoredJob::RecordOwnWrites(bool bExecutedOnly) {
    CCritSectionLock lock(m_JobLock);
    m_aOwnWrites[0].clear();
    m_aOwnWrites[1].clear();
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    // A Sync that changed nothing leaves nothing to tell apart.
    if (!pRoot || (m_nSyncOk.load() == 0 && m_nChangesOk.load() == 0)) return;
    if (!bExecutedOnly) {
        CSyncDepthFirstIter it(pRoot);
        for (bool b = it.IsValid(); b; b = it.Next())
            if (!RecordOwnWrite(it.GetNode())) return;
        TakeOwnWrites();
        return;
    }
    // The executed nodes in tree order: the walk enters only the folders
    // above them.
    std::unordered_set<const CSyncTreeNode*> executed, above;
    {
        CCritSectionLock execLock(m_cs);
        for (CSyncTreeNode* p : m_ExecutedNodes) {
            executed.insert(p);
            for (const CSyncTreeNode* q = p; q && above.insert(q).second;) q = q->GetParent();
        }
    }
    std::vector<CSyncLevelIter> stack;
    stack.emplace_back(pRoot);
    while (!stack.empty()) {
        CSyncLevelIter& it = stack.back();
        if (!it.IsValid()) {
            stack.pop_back();
            if (!stack.empty()) stack.back().Next();
            continue;
        }
        CSyncTreeNode* pNode = it.GetNode();
        if (!above.count(pNode)) {
            it.Next();
            continue;
        }
        if (executed.count(pNode) && !RecordOwnWrite(pNode)) return;
        stack.emplace_back(pNode);
    }
    TakeOwnWrites();
}

void CMonitoredJob::TakeOwnWrites() {
    CCritSectionLock lock(m_JobLock);
    for (int side = 0; side < 2; ++side) {
        CFileSysMonitor& m = m_aMonitor[side];
        const std::shared_ptr<TvFileSys> fs = m.GetFs();
        // (Only a local side's changes are told apart from the job's writes.)
        if (m_aOwnWrites[side].empty() || m.m_bRefused.load() || !fs || !fs->GetCapability(TVFS_CAP_LOCAL))
            continue;
        CListT<ChangedItem> items(10);
        int k = 0;
        CWideString e;
        if (!fs->GetChangedItems(items, k, e)) {
            // As the intake does: said, and the monitor started again.
            Notify(2, u"getting new changes: " + e + u"\n");
            m.m_bRestart = true;
            m_aAfterOwnWrites[side].AddTailList(items);
            continue;
        }
        for (ZorPosition pos = items.GetHeadPosition(); pos;) {
            const ChangedItem& c = items.GetNext(pos);
            if (!IsOwnWrite(side, c, fs.get())) m_aAfterOwnWrites[side].AddTail(c);
        }
        m_aOwnWrites[side].clear();
    }
}

bool CMonitoredJob::RecordOwnWrite(CSyncTreeNode* pNode) {
    {
        const CSyncPairAndAction& item = pNode->GetItem();
        const uint8_t eff = item.GetEffAction();
        if (item.m_nExecState != ESS_SYNCED_OK || !(eff & (EA_BIT_TO_LEFT | EA_BIT_TO_RIGHT)) ||
            eff == EA_COPY_STATE_LEFT_TO_RIGHT || eff == EA_COPY_STATE_RIGHT_TO_LEFT)
            return true;
        if (m_aOwnWrites[0].size() >= kMaxOwnWrites) {
            m_aOwnWrites[0].clear();
            m_aOwnWrites[1].clear();
            return false;
        }
        for (int side = 0; side < 2; ++side) {
            const CSideInfo& s = item.m_aCur[side];
            OwnWrite w;
            w.bPresent = s.Exists();
            w.bFolder = s.IsFolder() || (w.bPresent && pNode->IsContainer() && s.m_Len.IsFolder());
            w.nSize = s.m_Len.GetValue();
            w.nModTime = s.m_tFile.GetTime();
            w.nStamp = s.FileStamp();
            m_aOwnWrites[side][OwnWriteKey(GetItemSidePath(pNode, side))] = w;
            OwnWrite above;
            above.bPresent = above.bFolder = above.bAbove = true;
            for (CSyncTreeNode* p = pNode->GetParent(); p && p->GetParent(); p = p->GetParent())
                if (!m_aOwnWrites[side].try_emplace(OwnWriteKey(GetItemSidePath(p, side)), above).second) break;
        }
    }
    return true;
}

bool CMonitoredJob::IsOwnWrite(int side, const ChangedItem& change, TvFileSys* pFs) {
    CCritSectionLock lock(m_JobLock);
    const auto& records = m_aOwnWrites[side & 1];
    // The look is made through the monitor's own connection while its thread
    // waits for changes: only a local side allows that.
    if (records.empty() || change.m_sPath.IsEmpty() || !pFs || !pFs->GetCapability(TVFS_CAP_LOCAL)) return false;
    switch (change.m_nKind) {
    case CIK_CREATED:
    case CIK_DELETED:
    case CIK_MODIFIED:
    case CIK_MOVED_FROM:
    case CIK_MOVED_TO:
    case CIK_METADATA:
        break;
    default:
        return false;
    }
    const auto found = records.find(OwnWriteKey(change.m_sPath));
    if (found == records.end()) return false;
    const OwnWrite& w = found->second;
    if (w.bAbove && change.m_nKind != CIK_METADATA && change.m_nKind != CIK_MODIFIED) return false;
    FsItemInfo info;
    bool bMissing = false;
    int k = 0;
    CWideString e;
    if (!pFs->GetInfo(change.m_sPath, info, bMissing, k, e)) return false;
    if (!w.bPresent) return bMissing;
    if (bMissing) return false;
    if (w.bFolder) return info.IsFolder();
    // A file is the job's own write only while it is exactly what the job
    // left: where the side tells identity and sub-second time, those too (a
    // same-size write by anyone else in the same second is a change).
    return !info.IsFolder() && (uint64_t)info.m_nSize == w.nSize && info.m_nModTime == w.nModTime &&
           (info.m_nStamp & kStampFileBits) == w.nStamp;
}

// ------------------------------------------------------------ refused for another owner's lock
void CMonitoredJob::NoteLockRefusal(bool bRunOk) {
    CCritSectionLock lock(m_JobLock);
    const bool bRefused =
        !bRunOk && m_Options.m_nOnFileChangeAction != 0 && m_bLockedByOther && !m_sForeignLockFile.IsEmpty();
    m_sRefusingLock = bRefused ? m_sForeignLockFile : CWideString();
    m_bRefusingLockLocal = bRefused && m_bForeignLockLocal;
    m_nRefusedAt = bRefused ? CZorTime::Now().GetTime() : 0;
    m_bRefusedForForeignLock = bRefused;
}

bool CMonitoredJob::RefusingLockGone() {
    CCritSectionLock lock(m_JobLock);
    if (m_sRefusingLock.IsEmpty()) return true;
    if (m_bRefusingLockLocal) return !ZorFileExists(m_sRefusingLock);
    return CZorTime::Now().GetTime() - m_nRefusedAt >= kLockRetrySeconds;
}

// ------------------------------------------------------------ state files written by others
CWideString CMonitoredJob::StateFileChangedByOthers() {
    for (int side = 0; side < 2; ++side) {
        TvFileSys* fs = m_apFs[side].get();
        if (!fs || CannotHaveDataFolder(side)) continue;
        for (ZorPosition pos = m_aStateFileStamps[side].GetStartPosition(); pos;) {
            CWideString folder;
            FsItemInfo seen;
            m_aStateFileStamps[side].GetNext(pos, folder, seen);
            // As a Sync's lock looks at it: the older name where the newer is none.
            CWideString path = folder + kStateFilePath;
            FsItemInfo info;
            bool bMissing = false;
            int k = 0;
            CWideString e;
            if (!fs->GetInfo(path, info, bMissing, k, e)) return fs->DisplayPath(path);
            if (bMissing || info.IsFolder()) {
                info = FsItemInfo();
                path = folder + kStateFileV3Path;
                if (!fs->GetInfo(path, info, bMissing, k, e)) return fs->DisplayPath(path);
            }
            if ((bMissing ? CFileStamp() : CFileStamp(info)) != CFileStamp(seen))
                return fs->DisplayPath(path);
        }
    }
    return CWideString();
}

// ------------------------------------------------------------ a failed run tried again
void CMonitoredJob::NoteRunOutcome(bool bRunOk, int errKind, const CWideString& errText) {
    if (m_Options.m_nOnFileChangeAction == 0) return;
    if (m_bHeldForMounts) {
        // Looked at again in a while, quietly (the user was told once).
        CCritSectionLock lock(m_JobLock);
        m_nRetryDelay = 0;
        m_nRetryAt = CZorTime::Now().GetTime() + kFirstRetrySeconds;
        return;
    }
    const int nSub = GetRunSubState();
    // Stopped, refused (a missing drive, too many deletions) or another
    // owner's lock (its own retry): nothing that a while changes. A Sync that
    // could not lock its folders for a reason of its own (a full disk) may
    // well go through later.
    const bool bRunPassing = !bRunOk && errKind != FSE_STOPPED && nSub != RSS_STOPPED &&
                             (nSub != RSS_REFUSED || m_bDataFoldersNotTaken) && !m_bLockedByOther &&
                             !m_abNotAvailable[0] && !m_abNotAvailable[1] && !IsStopped();
    // A run that went through but left items that failed for a cause that
    // may pass (a full disk, a busy file): those items, with no other change
    // to start a run, are tried again the same way.
    const int32_t nItems = bRunOk && !IsStopped() ? m_nPassingItemErrors.load() : 0;
    int32_t nDelay = 0;
    {
        CCritSectionLock lock(m_JobLock);
        if (!bRunPassing && nItems == 0) {
            m_nRetryDelay = 0;
            m_nRetryAt = 0;
            return;
        }
        m_nRetryDelay =
            m_nRetryDelay <= 0 ? kFirstRetrySeconds : std::min(m_nRetryDelay * 2, kMaxRetrySeconds);
        nDelay = m_nRetryDelay;
        m_nRetryAt = CZorTime::Now().GetTime() + nDelay;
    }
    CWideString why;
    if (bRunPassing) {
        why = errText;
    } else {
        CCritSectionLock lock(m_cs);
        why = m_sPassingItemError;
    }
    const int nLf = why.Find(u'\n');
    if (nLf >= 0) why = why.Left(nLf);
    why.Trim();
    if (why.IsEmpty()) why = u"an error";
    why = EscapeControlChars(why);
    if (bRunPassing)
        Notify(2, CWideString::Formatted(u"** The run failed (%s); it is tried again in %d seconds\n", why,
                                         nDelay));
    else if (nItems == 1)
        Notify(2, CWideString::Formatted(u"** 1 item failed (%s); it is tried again in %d seconds\n", why,
                                         nDelay));
    else
        Notify(2, CWideString::Formatted(u"** %d items failed (the first: %s); they are tried again in %d "
                                         u"seconds\n",
                                         (int)nItems, why, nDelay));
}

bool CMonitoredJob::RetryDue() {
    const int64_t at = m_nRetryAt.load();
    if (at == 0 || CZorTime::Now().GetTime() < at) return false;
    m_nRetryAt = 0;
    return true;
}

// ------------------------------------------------------------ the run
bool CMonitoredJob::ChangeAnalyzeSyncWorker(const GlobalFilters* pGlobal, int& errKind, CWideString& errText) {
    ZorGetProgramLog().Printf(u"Job '%s': ChangeAnalyzeSyncWorker thread started\n", JobLabel(*this));
    {
        CCritSectionLock lock(m_pProgress->GetLock());
        m_pProgress->SetStartTimeNow();
        m_pProgress->m_nCounter1 = 0;
    }
    ResetLockTexts();
    m_bRunStarted = 1;
    m_bKeepSubtreeCounts = 1;

    CWideString summary;
    int failedSide = 0;
    bool bResult = ConnectSides(failedSide, errKind, errText);
    if (bResult) {
        m_bConnected = 1;
        m_bConnectedByte = 1;
        bResult = PrepareRun(errKind, errText);
    }
    if (!bResult) {
        ResetTree();
        SetRunState(RS_ANALYZED, RSS_FAILED);
        PostRun(false, false, errText, summary);
        return false;
    }

    m_pProgress->ResetMessageRepeat();
    OpenRunLog(false, false);
    m_bFoldersLocked = 0;
    m_pProgress->SetProgressRange(0, 100);

    // A root that is no longer the folder the kept tree was read from (a
    // file system mounted on it, or the folder replaced) is analysed afresh,
    // with every check a root gets.
    const RootIdentity aRoot[2] = {ReadRootIdentity(m_apFs[0].get()), ReadRootIdentity(m_apFs[1].get())};
    for (int side = 0; side < 2 && !m_bFirstFullAnalyzePending.load(); ++side) {
        if (aRoot[side] == m_aTreeRoot[side]) continue;
        Log(2, 1253,
            CWideString::Formatted(
                u"The %s folder %s is no longer the folder that was watched (a file system "
                u"mounted on it, or the folder replaced), so it is analysed afresh\n",
                side ? u"right" : u"left", m_apFs[side]->DisplayPath(CWideString())));
        ClearSideChanges(0);
        ClearSideChanges(1);
        ResetTree();
    }

    // A folder below a side's root that became another file system since
    // the tree was read, or stopped being one: the run leaves the job alone
    // (nothing written into it, nothing that went with it deleted on the
    // other side) until the folder is as it was.
    const MountsBelow aMounts[2] = {ReadMountsBelow(*this, 0), ReadMountsBelow(*this, 1)};
    m_bHeldForMounts = false;
    for (int side = 0; side < 2; ++side) {
        if (!m_aTreeMounts[side].bKnown || !aMounts[side].bKnown ||
            MountChangesText(m_aTreeMounts[side].mounts, aMounts[side].mounts).IsEmpty())
            continue;
        errKind = FSE_GENERAL;
        errText = CWideString::Formatted(
            u"In the %s folder %s, the folder %s is another file system than when the job was last analysed "
            u"(mounted or unmounted since): nothing is synced until it is as it was. If it stays so, a sync "
            u"with --force syncs it as it stands",
            side ? u"right" : u"left", m_apFs[side]->DisplayPath(CWideString()),
            MountChangesText(m_aTreeMounts[side].mounts, aMounts[side].mounts));
        // Said once while it holds: the run looks again now and then.
        const bool bNews = errText != m_sHeldTold;
        if (!bNews) Log(2, 1254, errText + u"\n");
        m_sHeldTold = errText;
        m_bHeldForMounts = true;
        ClearSideChanges(0);
        ClearSideChanges(1);
        // What changed meanwhile is found by a full analyse once it is back.
        ResetTree();
        m_abNotAvailable[side] = 1;
        SetRunState(RS_ANALYZED, RSS_REFUSED);
        m_bSync = 0;
        PostRun(false, false, bNews ? errText : CWideString(), summary);
        return false;
    }

    m_sHeldTold.Empty();

    // A state file that another Sync wrote since this job read it (a job
    // nested in a side, or one sharing it), or that went with the side's
    // data folder: the tree is read again with every check of a full run.
    if (!m_bFirstFullAnalyzePending.load()) {
        const CWideString changed = StateFileChangedByOthers();
        if (!changed.IsEmpty()) {
            Log(2, 1255,
                u"The state file " + changed +
                    u" was written by another sync (or removed) since this job read it, so the job is "
                    u"analysed afresh\n");
            ClearSideChanges(0);
            ClearSideChanges(1);
            ResetTree();
        }
    }

    if (!m_bFirstFullAnalyzePending.load()) {
        GetNewChanges();
        // What the last Sync wrote was told apart from the user's changes
        // up to here; this run's Sync records its own.
        ClearOwnWrites();
        CCritSectionLock lock(m_JobLock);
        // The Analyze visits what the changes and the items with work left name.
        m_pChanged = std::make_unique<CChangedSubtrees>();
        CDoInitChangesOnly pass;
        if (CSyncPairsAndActions* pTree = GetPairsForWrite()) DoForSubtree(pTree, pass, true);
    } else {
        ResetTree();
    }

    if (m_bUnknownChangeSeen.load()) {
        TurnOffFileMonitors(u"Unknown Change Detected");
        m_bChangesOnlyRun = 0;
        m_bFirstFullAnalyzePending = 1;
        ClearSideChanges(0);
        ClearSideChanges(1);
        ResetTree();
        m_bUnknownChangeSeen = 0;
        m_bMonitorsFollowOtherJobs = 1;
        TurnOffMonitorsOfJobsSharingFolders();
    }

    const bool bFull = m_bFirstFullAnalyzePending.load() != 0;
    bResult = Analyze(pGlobal, true, bFull, true, summary, errKind, errText);
    if (!bResult) {
        ResetTree();
        if (errKind == FSE_STOPPED) {
            SetRunState(RS_ANALYZED, RSS_STOPPED);
            ReportProgress(0, GetLocalizedString(IDS_Str_Status_AnalyzeStopped));
        } else {
            SetRunState(RS_ANALYZED, RSS_FAILED);
        }
        m_bSync = 0;
    } else {
        m_bFirstFullAnalyzePending = 0;
        if (bFull) {
            m_aTreeRoot[0] = aRoot[0];
            m_aTreeRoot[1] = aRoot[1];
            m_aTreeMounts[0] = aMounts[0];
            m_aTreeMounts[1] = aMounts[1];
        }
        errText.Empty();
        if (!IsAnalysisReady()) m_bSync = 0;
        if (m_bSync && GetConflictCount() > 0) {
            ZorGetProgramLog().Printf(u"Job '%s': Do not run because of conflicts\n", JobLabel(*this));
            m_bSync = 0;
        }
        ZorGetProgramLog().Printf(u"Job '%s': Analyze Finished OK\n", JobLabel(*this));
    }

    bool bSyncDone = false;
    if (!m_bSync) {
        if (m_bFoldersLocked) {
            UnlockFolders();
            m_bFoldersLocked = 0;
        }
        m_pProgress->ConfirmSync(0);
    } else {
        m_pProgress->SetProgressRange(0, 100);
        if (m_bAnalyze) m_bSync = (uint8_t)m_pProgress->ConfirmSync(1);
        if (m_bSync) {
            bResult = Sync(summary, errKind, errText);
            bSyncDone = true;
            // Its Analyze started from a tree with every item reset (or a new one).
            RecordOwnWrites(true);
            // A Sync that failed (a state file another Sync wrote meanwhile,
            // a lock that could not be written) leaves a tree that no longer
            // tells what the sides hold: the next run reads them afresh.
            if (!bResult) ResetTree();
        }
        if (m_bFoldersLocked) {
            UnlockFolders();
            m_bFoldersLocked = 0;
        }
    }
    PostRun(bSyncDone, bResult, errText, summary);
    return bResult;
}
