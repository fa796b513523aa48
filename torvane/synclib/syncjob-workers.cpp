// The execution scheduler: the order in which the items of the tree reach
// ExecuteNode (deletions, then case changes and new folders, then files,
// then each folder's own action and properties, then the state files), the
// worker threads that copy files in parallel, and the hand-off of one file
// to whichever worker is free.
#include "syncjob-exec.h"

#include "zor-debug.h"
#include "zor-log.h"

#include <vector>

namespace {

using CChildMap = CSyncTreeNode::CChildMap;

bool IsToLeft(uint8_t eff) {
    return (eff & EA_BIT_TO_LEFT) != 0;
}

// A folder that replaces a file on the destination.
bool FolderReplacesFile(const CSyncPairAndAction& item) {
    const uint8_t eff = item.GetEffAction();
    if (eff == EA_COPY_RIGHT_TO_LEFT)
        return item.m_aCur[1].Exists() && item.m_aCur[1].IsFolder() && item.m_aCur[0].Exists() &&
               !item.m_aCur[0].IsFolder();
    if (eff == EA_COPY_LEFT_TO_RIGHT)
        return item.m_aCur[0].Exists() && item.m_aCur[0].IsFolder() && item.m_aCur[1].Exists() &&
               !item.m_aCur[1].IsFolder();
    return false;
}

bool AnyDirectChildExists(CSyncTreeNode* pNode) {
    if (CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            if (e->GetValue().GetItem().ExistsAnywhere()) return true;
    return false;
}

bool IsNodeFolder(CSyncTreeNode* pNode) {
    return pNode->GetItem().IsFolder();
}

} // namespace

// ---------------------------------------------------------------- passes

bool ExecuteDeletionsPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& errKind,
                          CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    item.m_nFlags &= (uint8_t)~SPF_EXEC_MARKS;
    if (item.IsExcluded()) return true;
    const int dst = IsToLeft(item.GetEffAction()) ? 0 : 1;
    const bool bTreeDelete = fs[dst]->GetCapability(TVFS_CAP_DELETE_TREE) != 0;
    const bool bFolder = IsNodeFolder(pNode);
    if (pNode->GetParent() && bFolder && item.IsPlainDelete() && bTreeDelete &&
        item.m_nExecState != ESS_SYNCED_OK) {
        if (!ExecuteNode(pNode, pNode->GetPath(), pJob, fs, pJob->GetProgressSink(), errKind, errText)) return false;
        item.m_nFlags |= SPF_DONE;
        return pJob->CheckStop(errKind, errText);
    }
    // A subtree without actions and marks has nothing to clear or delete.
    if (CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            if (pJob->IsBusySubtree(&e->GetValue()) &&
                !ExecuteDeletionsPass(&e->GetValue(), pJob, fs, errKind, errText))
                return false;
    if (!pNode->GetParent() || item.m_nExecState == ESS_SYNCED_OK) return true;
    const bool bRun = (!bFolder && item.IsPlainDelete()) ||
                      (bFolder && item.IsPlainDelete() && !AnyDirectChildExists(pNode)) ||
                      (bFolder && FolderReplacesFile(item));
    if (!bRun) return true;
    if (!ExecuteNode(pNode, pNode->GetPath(), pJob, fs, pJob->GetProgressSink(), errKind, errText)) return false;
    return pJob->CheckStop(errKind, errText);
}

bool ExecuteFolderPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& nTasks,
                       int& errKind, CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (pNode->GetParent() && !item.IsExcluded() && item.m_nExecState != ESS_SYNCED_OK) {
        const uint8_t eff = item.GetEffAction();
        if (eff == EA_NAME_CASE_LEFT_TO_RIGHT || eff == EA_NAME_CASE_RIGHT_TO_LEFT)
            return ExecuteNode(pNode, pNode->GetPath(), pJob, fs, pJob->GetProgressSink(), errKind, errText);
        const bool bNewFolder = item.IsFolder() && ((eff == EA_COPY_RIGHT_TO_LEFT && !item.m_aCur[0].Exists() &&
                                                     item.m_aCur[1].IsFolder()) ||
                                                    (eff == EA_COPY_LEFT_TO_RIGHT && !item.m_aCur[1].Exists() &&
                                                     item.m_aCur[0].IsFolder()));
        if (bNewFolder) {
            const CWideString& mv = item.GetMove();
            if (!mv.IsEmpty() && mv[0] == u'<')
                return ExecuteNode(pNode, pNode->GetPath(), pJob, fs, pJob->GetProgressSink(), errKind, errText);
            if (mv.IsEmpty() || mv[0] != u'>') {
                if (!ExecuteNode(pNode, pNode->GetPath(), pJob, fs, pJob->GetProgressSink(), errKind, errText))
                    return false;
            }
        } else if (!item.IsFolder() && eff != EA_NO_COPY) {
            ++nTasks;
        }
    }
    if (!pJob->CheckStop(errKind, errText)) return false;
    // A subtree without actions has nothing for this pass but the stop check.
    if (CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
            const bool bOk = pJob->IsBusySubtree(&e->GetValue())
                                 ? ExecuteFolderPass(&e->GetValue(), pJob, fs, nTasks, errKind, errText)
                                 : pJob->CheckStop(errKind, errText);
            if (!bOk) return false;
        }
    return true;
}

bool ExecuteSubtree(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int& errKind,
                    CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    const bool bRoot = !pNode->GetParent();
    // The other end of a move is done by the worker that moves: it may be
    // writing this item now, so nothing here reads more than its move text.
    if (!bRoot && !pNode->GetChildMap() && pJob->AreWorkersRunning() && !item.GetMove().IsEmpty() &&
        item.GetMove()[0] == u'<')
        return true;
    if (!bRoot && (item.m_nFlags & (SPF_EXCLUDED | SPF_DONE))) return true;
    if (!bRoot && item.m_nExecState != ESS_SYNCED_OK) {
        if (item.IsFolder() || pNode->GetChildMap()) {
            item.m_nFlags |= SPF_FOLDER_AFTER;
        } else if (item.GetMove().IsEmpty() || item.GetMove()[0] != u'<') {
            if (pJob->AreWorkersRunning() && item.GetEffAction() != EA_NO_COPY) {
                if (!ExecuteNodeWorker(pNode, pJob, errKind, errText)) {
                    ZorGetProgramLog().Printf(u"ExecuteNodeWorker error: %s (%d) on file %s\n", errText, errKind,
                                              pNode->GetPath());
                    return false;
                }
            } else if (!ExecuteNode(pNode,
                                    // An item without an action only gets its state: its path is
                                    // not shown, and not built for every unchanged item of the tree.
                                    item.GetEffAction() == EA_NO_COPY ? CWideString() : pNode->GetPath(), pJob,
                                    fs, pJob->GetProgressSink(), errKind, errText)) {
                return false;
            }
        }
    }
    if (CChildMap* map = pNode->GetChildMap()) {
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
            if (!ExecuteSubtree(&e->GetValue(), pJob, fs, errKind, errText)) {
                ZorGetProgramLog().Printf(u"ExecuteNode error: %s (%d) on file %s\n", errText, errKind,
                                          pNode->GetPath());
                return false;
            }
        }
    }
    if ((pNode->GetChildMap() || bRoot) && !pJob->AreWorkersRunning())
        return CloseModifiedFolder(pNode, pNode->GetPath(), pJob, fs, errKind, errText);
    return true;
}

bool ExecuteFinalPass(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], bool bWorkersUsed,
                      int& errKind, CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    const bool bRoot = !pNode->GetParent();
    if (item.IsExcluded() || (!pNode->GetChildMap() && !bRoot)) return true;
    bool bOk = true;
    // Without workers the pass only saves state files: a subtree where no
    // folder holds a data folder has none to save.
    const bool bSkipQuiet = !bWorkersUsed && pJob->m_pBusySubtrees && pJob->m_bDataFoldersInBusyOnly;
    if (CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e && bOk; e = map->GetNext(e))
            if (!bSkipQuiet || pJob->IsBusySubtree(&e->GetValue()))
                bOk = ExecuteFinalPass(&e->GetValue(), pJob, fs, bWorkersUsed, errKind, errText);
    if (bOk && bWorkersUsed) bOk = CloseModifiedFolder(pNode, pNode->GetPath(), pJob, fs, errKind, errText);
    int k = 0;
    CWideString e;
    const bool bSaved = pJob->SaveStateFiles(pNode, k, e);
    if (!bSaved && bOk) {
        errKind = k;
        errText += e;
    }
    return bOk && bSaved;
}

bool CloseModifiedFolder(CSyncTreeNode* pNode, const CWideString& path, CSyncJob* pJob, TvFileSys* const fs[2],
                         int& errKind, CWideString& errText) {
    if (!pNode->GetChildMap() && pNode->GetParent()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CloseModifiedFolder: not a folder", 0);
        return true;
    }
    CSyncPairAndAction& item = pNode->GetItem();
    if (item.m_nFlags & SPF_FOLDER_AFTER) {
        if (!pJob->CheckStop(errKind, errText)) return false;
        if (!ExecuteNode(pNode, path, pJob, fs, pJob->GetProgressSink(), errKind, errText)) return false;
    }
    if (!item.ExistsBoth() || !pNode->GetParent()) return true;
    bool bChildChanged = false;
    if (CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e && !bChildChanged; e = map->GetNext(e))
            bChildChanged = (e->GetValue().GetItem().m_nFlags & SPF_EXECUTED) != 0;
    if (!bChildChanged) return true;
    const int dst = IsToLeft(item.GetEffAction()) ? 0 : 1;
    const int src = 1 - dst;
    TvFileSys* fsT = fs[dst];
    TvFileSys* fsS = fs[src];
    if (!fsT->GetCapability(TVFS_CAP_FOLDER_TIMES)) return true;
    const CWideString sp = CSyncJob::GetItemSidePath(pNode, src);
    const CWideString dp = CSyncJob::GetItemSidePath(pNode, dst);
    pJob->Log(2, 11739, CWideString::Formatted(u"Close Modified Folder (mod-time, acl): %s", path) + u"\n");
    uint32_t m = 0, c = 0;
    int k = 0;
    CWideString e;
    if (fsS->GetFolderModTime(sp, m, c, k, e) && m != 0) {
        e.Empty();
        if (!fsT->SetFolderModTime(dp, m, c, k, e))
            pJob->Log(1, 11750, u"ERROR: Cannot set folder mod time: " + e + u"\n");
    }
    const uint32_t attrs = item.m_aCur[src].m_nAttr;
    if (fsT->GetCapability(TVFS_CAP_SET_ATTRIBUTES) && attrs != FSA_UNKNOWN &&
        (attrs & (FSA_READONLY | FSA_HIDDEN | FSA_SYSTEM))) {
        e.Empty();
        if (!fsT->SetAttributes(dp, attrs, k, e))
            pJob->Log(1, 11765, CWideString::Formatted(u"ERROR: Cannot set folder attrs: %s: %s", path, e) + u"\n");
    }
    if (pJob->m_Options.m_bCopyACL && fsS->GetCapability(TVFS_CAP_LOCAL) && fsT->GetCapability(TVFS_CAP_LOCAL)) {
        // A folder left without its owner or ACL is one of the run's errors.
        CWideString sd;
        e.Empty();
        if (!fsS->GetSecurityDescr(sp, sd, k, e)) {
            pJob->Log(1, 11777,
                      CWideString::Formatted(u"ERROR: Cannot get folder ACL: %s: %s", fsS->DisplayPath(sp), e) +
                          u"\n");
            pJob->m_nSyncErr++;
            pJob->m_nRunErrors++;
        } else if (!fsT->SetSecurityDescr(dp, sd, k, e)) {
            pJob->Log(1, 11783,
                      CWideString::Formatted(u"ERROR: Cannot set folder ACL: %s: %s", fsT->DisplayPath(dp), e) +
                          u"\n");
            pJob->m_nSyncErr++;
            pJob->m_nRunErrors++;
        }
    }
    (void)errKind;
    return true;
}

// ---------------------------------------------------------------- hand-off

bool ExecuteNodeWorker(CSyncTreeNode* pNode, CSyncJob* pJob, int& errKind, CWideString& errText) {
    CbJobProgress* sink = pJob->GetProgressSink();
    if (sink->IsStopRequested()) {
        errKind = FSE_STOPPED;
        errText += u"stopped by user";
        return false;
    }
    std::vector<ZorEvent*> events;
    std::vector<int> index;
    for (int i = 0; i < pJob->m_nWorkerCount; ++i) {
        CSyncWorkerThread& w = pJob->GetWorker(i);
        if (w.m_evWorkDone.IsOpen()) {
            events.push_back(&w.m_evWorkDone);
            index.push_back(i);
        }
    }
    if (events.empty()) {
        errKind = FSE_GENERAL;
        errText += u"all worker threads died";
        return false;
    }
    int n = -1, k = 0;
    CWideString e;
    if (!ZorWaitForEvents(events, n, k, e)) {
        errKind = k ? k : FSE_GENERAL;
        errText += e;
        return false;
    }
    if (sink->IsStopRequested()) {
        errKind = FSE_STOPPED;
        errText += u"stopped by user";
        return false;
    }
    if (n < 0 || n >= (int)index.size()) {
        errKind = FSE_GENERAL;
        errText += u"bad worker index";
        return false;
    }
    CSyncWorkerThread& w = pJob->GetWorker(index[n]);
    CCritSectionLock lock(sink->GetLock());
    if (w.m_bSetupFailed.load()) {
        CSyncPairAndAction& item = pNode->GetItem();
        item.SetReason(u"worker thread failed: " + w.m_sErrText);
        item.m_nExecState = ESS_SYNCED_ERR;
        errText += item.GetReason();
        errKind = w.m_nErrKind ? w.m_nErrKind : FSE_GENERAL;
        pJob->Log(1, 11648, item.GetReason() + u"\n");
        return false;
    }
    if (!w.m_bResult.load()) {
        // Its last task failed in a way that ends the execution.
        errText += w.m_sErrText;
        errKind = w.m_nErrKind ? w.m_nErrKind : FSE_GENERAL;
        return false;
    }
    if (!w.IsRunning()) {
        errText += u"worker thread died: " + w.m_sErrText;
        errKind = w.m_nErrKind ? w.m_nErrKind : FSE_GENERAL;
        pJob->Log(1, 11656, u"worker thread died: " + w.m_sErrText + u"\n");
        return false;
    }
    w.m_pTaskNode = pNode;
    w.m_sTaskPath = pNode->GetPath();
    w.m_Progress.m_pItemNode = pNode;
    w.m_Progress.m_nItemTotal = (int64_t)pNode->GetItem().GetWorkBytes();
    w.m_Progress.m_nItemDone = 0;
    w.m_Progress.ResetStop();
    return w.m_evWorkArrived.Set();
}

// ---------------------------------------------------------------- worker

CSyncWorkerThread::~CSyncWorkerThread() {
    // The body uses the members below: the thread ends first.
    if (IsRunning()) {
        m_bFinish.store(1);
        m_evWorkArrived.Set();
    }
    Stop();
    m_evWorkArrived.Close();
    m_evWorkDone.Close();
    ReleaseFileSystems();
}

void CSyncWorkerThread::ReleaseFileSystems() {
    m_asSideUrl[0].Empty();
    m_asSideUrl[1].Empty();
    for (auto& fs : m_apFs) {
        if (fs) fs->Close();
        fs.reset();
    }
}

void CSyncWorkerThread::Reset() {
    ReleaseFileSystems();
    m_pJob = nullptr;
    m_pTaskNode = nullptr;
    m_sTaskPath.Empty();
    m_Progress.ResetStop();
    m_Progress.SetJobSink(&g_DummyJobProgress);
    m_bResult.store(0);
    m_bSetupFailed.store(0);
    m_nErrKind = 0;
    m_sErrText.Empty();
    m_bFinish.store(0);
    m_evWorkArrived.Close();
    m_evWorkDone.Close();
}

uint32_t CSyncWorkerThread::WorkLoop() {
    ZorOleInit ole(true);
    m_bResult.store(1);
    CSyncJob* pJob = m_pJob;
    m_Progress.SetJobSink(pJob->GetProgressSink());
    bool bSetupOk = true;
    for (int side = 0; side < 2 && bSetupOk; ++side) {
        const CWideString& url = m_asSideUrl[side];
        TvFileSys* fs = NewFsForUrl(url);
        if (!fs) {
            m_nErrKind = FSE_GENERAL;
            m_sErrText = u"no file system for " + url;
            bSetupOk = false;
            break;
        }
        m_apFs[side].reset(fs);
        const TvFileSys* jobFs = pJob->m_apFs[side].get();
        fs->m_bOnlyReads = pJob->m_bSync ? 0 : 1;
        TvConnectInfo ci = jobFs ? jobFs->GetConnectInfo() : TvConnectInfo();
        if (!jobFs) ci = side == 0 ? (const TvConnectInfo&)pJob->m_Options.m_Dir1 : pJob->m_Options.m_Dir2;
        ci.m_bCopyLockedFiles = (uint8_t)(pJob->m_Options.m_bCopyLockedFiles && !IsPortableEdition());
        ci.m_bCopyACL = (uint8_t)pJob->m_Options.m_bCopyACL;
        ci.m_sUrl = url;
        fs->SetProgressCallback(&m_Progress);
        int k = 0;
        CWideString e;
        if (!fs->Connect(ci, &m_Progress, k, e)) {
            m_nErrKind = k ? k : FSE_GENERAL;
            m_sErrText = u"cannot connect to " + url + u": " + e;
            bSetupOk = false;
            break;
        }
        e.Empty();
        const CWideString root = jobFs ? jobFs->GetRootDir() : fs->GetRootDir();
        if (!fs->SetRootDir(root, k, e)) {
            m_nErrKind = k ? k : FSE_GENERAL;
            m_sErrText = u"Cannot set root dir: " + url + u": " + e;
            bSetupOk = false;
            break;
        }
        if (jobFs && !fs->ShareRootFolder(*jobFs, k, e)) {
            m_nErrKind = k ? k : FSE_GENERAL;
            m_sErrText = u"Cannot set root dir: " + url + u": " + e;
            bSetupOk = false;
            break;
        }
        fs->SetFollowLinksInPaths(pJob->m_Options.m_nFolderLinks == 2);
        fs->KeepFoldersOpen(true); // a worker's file systems last for one Sync
        fs->m_nStampMode = jobFs ? jobFs->m_nStampMode : 0;
    }
    if (!bSetupOk) {
        m_bResult.store(0);
        m_bSetupFailed.store(1);
    }
    if (!m_evWorkDone.Set()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "worker: cannot signal ready", 0);
        return 3;
    }
    if (!bSetupOk) {
        ReleaseFileSystems();
        return 5;
    }
    TvFileSys* const fs[2] = {m_apFs[0].get(), m_apFs[1].get()};
    for (;;) {
        if (!m_evWorkArrived.Wait(-1)) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "worker: wait failed", 0);
            return 1;
        }
        if (m_pTaskNode) {
            int k = 0;
            CWideString e;
            const bool bOk = ExecuteNode(m_pTaskNode, m_sTaskPath, pJob, fs, &m_Progress, k, e);
            // A failure that ends the execution stays this worker's result.
            if (!bOk) {
                m_bResult.store(0);
                m_nErrKind = k;
                m_sErrText = e;
            }
            CbJobProgress* sink = pJob->GetProgressSink();
            CCritSectionLock lock(sink->GetLock());
            sink->m_nBaseDone += m_Progress.m_nItemTotal;
            m_Progress.m_nItemTotal = 0;
            m_Progress.m_nItemDone = 0;
            // One task at a time: the finishing signal never runs it again.
            m_pTaskNode = nullptr;
            m_Progress.m_pItemNode = nullptr;
        }
        if (m_bFinish.load()) {
            m_Progress.SetSuppressStop(true);
            ReleaseFileSystems();
            m_evWorkDone.Set();
            return 0;
        }
        if (!m_evWorkDone.Set()) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "worker: cannot signal done", 0);
            return 2;
        }
    }
}

// ---------------------------------------------------------------- ExecuteAll

bool ExecuteAll(CSyncJob* pJob, TvFileSys* const fs[2], int& errKind, CWideString& errText) {
    CSyncPairsAndActions* pRoot = pJob->GetPairsUnchecked();
    CbJobProgress* sink = pJob->GetProgressSink();
    if (!ExecuteDeletionsPass(pRoot, pJob, fs, errKind, errText)) return false;
    int nTasks = 0;
    if (!ExecuteFolderPass(pRoot, pJob, fs, nTasks, errKind, errText)) return false;
    // From here new files wait for their names until their data is on disk.
    pJob->m_bPlaceCopiesLater.store(true);

    int nCount = 0;
    const int nWanted = std::min(pJob->m_Options.m_nWorkerThreads, ZOR_MAX_WAIT_EVENTS);
    if (!pJob->AreWorkersRunning() && nWanted >= 2) {
        nCount = nWanted;
        if (nTasks < nWanted) {
            nCount = nTasks;
            pJob->Log(2, 10848, CWideString::Formatted(u"Start only %d threads, limited by tasks to run", nCount) +
                                    u"\n");
        }
    }
    pJob->ResizeWorkers(nCount);
    pJob->m_nWorkerCount = nCount;
    pJob->m_bWorkersRunning.store(nCount > 0 ? 1 : 0);
    bool bMainOk = true;
    int nMainKind = 0;
    CWideString sMainErr;
    for (int i = 0; i < nCount; ++i) {
        CSyncWorkerThread& w = pJob->GetWorker(i);
        w.m_pJob = pJob;
        w.m_asSideUrl[0] = pJob->m_apFs[0] ? pJob->m_apFs[0]->GetConnectInfo().m_sUrl : pJob->GetLeftFolder();
        w.m_asSideUrl[1] = pJob->m_apFs[1] ? pJob->m_apFs[1]->GetConnectInfo().m_sUrl : pJob->GetRightFolder();
        w.m_evWorkArrived.Create(CWideString::Formatted(u"Work Arrived #%d", i), false, false);
        w.m_evWorkDone.Create(CWideString::Formatted(u"Work Done #%d", i), false, false);
        CWideString e;
        if (!w.Start(e)) {
            // A worker that never ran counts as one whose set-up failed.
            w.m_nErrKind = FSE_GENERAL;
            w.m_sErrText = u"cannot start worker thread: " + e;
            w.m_bSetupFailed.store(1);
            w.m_evWorkDone.Set();
        }
    }
    if (!ExecuteSubtree(pRoot, pJob, fs, nMainKind, sMainErr)) {
        bMainOk = false;
        if (nMainKind == 0) ZorAssertFailed(__FILE__, __LINE__, 0, "ExecuteAll: main pass failed without kind", 0);
        ZorGetProgramLog().Printf(u"ExecuteAll main pass error : %s (%d)\n", sMainErr, nMainKind);
    }
    int nFinalKind = 0;
    CWideString sFinalErr;
    bool bFinalOk;
    // The roots are looked at once for the whole batch of items: one moved
    // or replaced meanwhile fails the run (what was written went into the
    // folder as first opened, never to where its path leads now).
    const auto confirmRoots = [&]() {
        for (int s = 0; s < 2; ++s) {
            int k = 0;
            CWideString e;
            if (!fs[s] || fs[s]->ConfirmRoot(k, e) || !bMainOk) continue;
            bMainOk = false;
            nMainKind = k ? k : FSE_GENERAL;
            sMainErr = e;
        }
    };
    if (nCount == 0) {
        sink->SetSuppressStop(true);
        confirmRoots();
        pJob->m_bPlaceCopiesLater.store(false);
        pJob->PlaceCopiedFiles();
        bFinalOk = ExecuteFinalPass(pRoot, pJob, fs, false, nFinalKind, sFinalErr);
    } else {
        for (int i = 0; i < nCount; ++i) {
            CSyncWorkerThread& w = pJob->GetWorker(i);
            w.m_bFinish.store(1);
            w.m_evWorkArrived.Set();
        }
        bool bWorkerFailed = false;
        for (int i = 0; i < nCount; ++i) {
            CSyncWorkerThread& w = pJob->GetWorker(i);
            w.Stop();
            if (!w.m_bResult.load() && bMainOk && !bWorkerFailed) {
                bWorkerFailed = true;
                nMainKind = w.m_nErrKind ? w.m_nErrKind : FSE_GENERAL;
                sMainErr = w.m_sErrText;
            }
            w.Reset();
        }
        if (bWorkerFailed) bMainOk = false;
        if (bMainOk)
            ZorGetProgramLog().Printf(u"ExecuteAll: all threads stopped\n");
        else
            ZorGetProgramLog().Printf(u"ExecuteAll stop threads error: %s (%d)\n", sMainErr, nMainKind);
        pJob->m_bWorkersRunning.store(0);
        sink->SetSuppressStop(true);
        confirmRoots();
        pJob->m_bPlaceCopiesLater.store(false);
        pJob->PlaceCopiedFiles();
        bFinalOk = ExecuteFinalPass(pRoot, pJob, fs, true, nFinalKind, sFinalErr);
    }
    pJob->m_nWorkerCount = 0;
    if (!bFinalOk) {
        if (nFinalKind == 0) ZorAssertFailed(__FILE__, __LINE__, 0, "ExecuteAll: final pass failed without kind", 0);
        ZorGetProgramLog().Printf(u"Error in final pass: %s\n", sFinalErr);
    }
    sink->SetSuppressStop(false);
    if (!bMainOk) {
        errKind = nMainKind;
        errText += sMainErr;
        return false;
    }
    if (!bFinalOk) {
        errKind = nFinalKind;
        errText += sFinalErr;
        return false;
    }
    return true;
}
