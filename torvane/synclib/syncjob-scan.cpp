// The side scan: one side of a job listed into the current records of the
// sync tree, with the state files met on the way read into the old records.
#include "TvFileCopy.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-time.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The scan's progress percentage: folders entered against those expected,
// or a running count while nothing is expected.
int ScanPercent(int32_t nDone, int32_t nExpected) {
    if (nExpected > 0) return (int)((int64_t)nDone * 100 / nExpected);
    return nDone % 100;
}

// Runs the filters over what came only from the state files. With bFastPre
// the side's current records become its old records first.
void FilterStateRecords(CSyncJob& job, CSyncTreeNode* pRoot, int side, bool bFastPre) {
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pNode = it.GetNode();
        CSyncPairAndAction& item = pNode->GetItem();
        if (bFastPre) item.m_aCur[side] = item.m_aOld[side];
        const CSideInfo& old = item.m_aOld[side];
        if (!old.IsPresentBit() || item.IsExcluded()) continue;
        if (!bFastPre && item.m_aCur[side].IsPresentBit()) continue;
        CWideString reason;
        if (job.m_Filters.IsExcluded(pNode->GetPath(), false, old, CSideInfo(), reason)) {
            item.m_nFlags |= SPF_EXCLUDED;
            item.m_sReason = reason;
        }
    }
}

} // namespace

// Helper threads that list subfolders ahead during one side scan. They live
// for the scan, so that no thread is started per folder.
class CListAheadPool {
public:
    explicit CListAheadPool(int nThreads) {
        for (int i = 0; i < nThreads; i++) {
            try {
                m_Threads.emplace_back([this] { Loop(); });
            } catch (...) {
                break; // fewer helpers; the scanning thread always takes part
            }
        }
    }
    ~CListAheadPool() {
        {
            std::lock_guard<std::mutex> l(m_Mutex);
            m_bStop = true;
        }
        m_WorkCv.notify_all();
        for (std::thread& t : m_Threads) t.join();
    }
    // Runs fn on every helper and on the caller; returns when all are done.
    void RunOnAll(const std::function<void()>& fn) {
        {
            std::lock_guard<std::mutex> l(m_Mutex);
            m_pTask = &fn;
            ++m_nGeneration;
            m_nActive = (int)m_Threads.size();
        }
        m_WorkCv.notify_all();
        fn();
        std::unique_lock<std::mutex> l(m_Mutex);
        m_DoneCv.wait(l, [&] { return m_nActive == 0; });
        m_pTask = nullptr;
    }

private:
    void Loop() {
        uint64_t nSeen = 0;
        std::unique_lock<std::mutex> l(m_Mutex);
        for (;;) {
            m_WorkCv.wait(l, [&] { return m_bStop || m_nGeneration != nSeen; });
            if (m_bStop) return;
            nSeen = m_nGeneration;
            const std::function<void()>* pTask = m_pTask;
            l.unlock();
            (*pTask)();
            l.lock();
            if (--m_nActive == 0) m_DoneCv.notify_all();
        }
    }
    std::mutex m_Mutex;
    std::condition_variable m_WorkCv, m_DoneCv;
    std::vector<std::thread> m_Threads;
    const std::function<void()>* m_pTask = nullptr;
    uint64_t m_nGeneration = 0;
    int m_nActive = 0;
    bool m_bStop = false;
};

bool CSyncJob::IsPlainLocalFs(const TvFileSys* fs) {
    // Only the local back-end's listing may run on several threads at once.
    return fs && fs->GetCapability(TVFS_CAP_LOCAL) && fs->GetTypeInfo(TVFS_TI_NAME) == u"Local Folder";
}

void CSyncJob::ListAhead(CListAheadPool& pool, TvFileSys* fs, const CListT<CSyncTreeNode*>& queue,
                         ZorPosition pos, const CWideString& prefix, int side, bool bDescendExcluded,
                         std::vector<CListedAhead>& ahead) {
    // The next few subfolders that will be entered (two per participating
    // thread; a few listings per folder level are held at a time).
    constexpr size_t kWindow = 8;
    ahead.clear();
    ahead.reserve(kWindow);
    while (pos && ahead.size() < kWindow) {
        CSyncTreeNode* pNode = queue.GetNext(pos);
        if (!bDescendExcluded && pNode->GetItem().IsExcluded()) continue;
        ahead.emplace_back();
        ahead.back().path = prefix + GetItemSideName(pNode, side);
    }
    std::atomic<size_t> next{0};
    const std::function<void()> work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < ahead.size();) {
            int k = 0;
            CWideString e;
            ahead[i].bOk = fs->ListDir(ahead[i].path, ahead[i].items, k, e);
        }
    };
    if (ahead.size() > 1)
        pool.RunOnAll(work);
    else
        work();
}

void CSyncJob::ClearSideInfoInSubtree(CSyncTreeNode* pNode, int side, bool bCurrent) {
    if (!pNode) return;
    side &= 1;
    (bCurrent ? pNode->GetItem().m_aCur : pNode->GetItem().m_aOld)[side] = CSideInfo();
    CSyncDepthFirstIter it(pNode);
    for (; it.IsValid(); it.Next())
        (bCurrent ? it.GetItem()->m_aCur : it.GetItem()->m_aOld)[side] = CSideInfo();
}

bool CSyncJob::AnalyzeSide(CSyncTreeNode* pRoot, CSyncTime* pScanTime, int side, bool bFullScan,
                           bool bCheckLock, int& errKind, CWideString& errText) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs) {
        errText += u"no file system mounted";
        errKind = ZEK_GENERAL;
        return false;
    }
    const CWideString sideName = GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left);
    bool bFastPre = false;
    int64_t nScanMs = 0;
    int32_t nCount = 0;
    m_nScanFoldersListed = m_nScanFilesListed = m_nScanFoldersExcluded = m_nScanFilesExcluded = 0;
    m_nScanFoldersDone = m_nScanExpectedFolders = 0;
    m_bScanDepthExceeded = 0;

    if (!bFullScan) {
        // Incremental: re-read the side root's state file only when it changed.
        CWideString statePath;
        FsItemInfo info;
        if (CannotHaveDataFolder(side)) {
            CWideString mirror;
            if (!MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, errKind, errText))
                return false;
            statePath = mirror + u"/" + kStateFileName;
            int k = 0;
            CWideString e;
            if (!GetLocalFileInfo(statePath, info, k, e)) info = FsItemInfo();
        } else {
            statePath = fs->DisplayPath(kStateFilePath);
            bool bNotFound = false;
            if (!fs->GetInfo(kStateFilePath, info, bNotFound, errKind, errText)) return false;
            if (bNotFound) info = FsItemInfo();
        }
        FsItemInfo last;
        m_aStateFileStamps[side].Lookup(CWideString(), last);
        if (CFileStamp(info) != CFileStamp(last)) {
            Log(2, 3878, sideName + u": " + u"State File has changed, so re-read it: " + statePath + u"\n");
            ClearSideInfoInSubtree(pRoot, side, false);
            int k = 0;
            CWideString e;
            if (!ReadStateFile(CWideString(), side, bCheckLock, &nCount, k, e)) {
                if (k != 0) {
                    errKind = k;
                    errText += e;
                    return false;
                }
                Log(2, 3890, e + u"\n");
            }
        } else if (bCheckLock) {
            if (!CheckLockFolder(CWideString(), side, errKind, errText)) return false;
        }
        if (!IncrementalAnalyzeItems(side, fs, pRoot, errKind, errText)) return false;
    } else {
        if (!DropSideChanges(side, 0, 0)) {
            if (errText.IsEmpty()) errText += u"Cannot drop the side's queued changes";
            if (errKind == 0) errKind = ZEK_GENERAL;
            return false;
        }
        // Fast pre-analyse: a remote side whose in-sync stamp says that
        // nothing changed since the last sync is not listed.
        if (m_Options.m_bFastPreAnalyzeWithStamps && !fs->GetCapability(TVFS_CAP_LOCAL)) {
            fs->m_nStampMode = 1;
            bool bExists = true;
            int k = 0;
            CWideString e;
            CWideString mirror;
            if (fs->IsFile(kInSyncStampV3Path, bExists, k, e) && !bExists &&
                MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e)) {
                const CWideString local = mirror + u"/_insync_v4.tvl";
                int64_t nSize = 0;
                if (fs->DownloadFile(kInSyncStampPath, local, nSize, k, e)) {
                    CNarrowString text;
                    const bool bRead = ReadWholeFile(local, 2048, text, k, e);
                    const int nLf = text.Find('\n');
                    if (nLf > 0) text = text.Left(nLf);
                    ZorDeleteFileQuiet(local);
                    if (bRead && NarrowStartsWith(text, "By: ")) {
                        bFastPre = true;
                        CWideString wide;
                        for (int i = 0; i < text.GetLength(); i++)
                            wide.AppendChar((char16_t)(unsigned char)text[i]);
                        Log(0, 3962,
                            sideName +
                                u": Fast Pre-Analyze detected no changes on server, so skip Full Analyze: " +
                                wide + u"\n");
                    }
                }
            }
        }
        if (!bFastPre) fs->m_nStampMode = 0;

        bool bStateRead = false;
        for (;;) {
            nCount = 0;
            bStateRead = false;
            if (!bFastPre) {
                Stopwatch sw;
                m_nScanProgressTick = 0;
                if (IsPlainLocalFs(fs)) m_pListAheadPool = std::make_shared<CListAheadPool>(3);
                const bool ok = ScanFolder(CWideString(), pRoot, side, bFullScan, bCheckLock, false, 0, false,
                                           &nCount, &bStateRead, errKind, errText);
                m_pListAheadPool.reset();
                nScanMs = sw.ElapsedMs();
                if (!ok) return false;
            } else {
                Log(2, 4014, sideName + u": Do not scan this side due to Fast Pre Analyze" + u"\n");
                int k = 0;
                CWideString e;
                if (ReadStateFile(CWideString(), side, bCheckLock, &nCount, k, e)) {
                    bStateRead = true;
                } else {
                    if (k != 0) {
                        errKind = k;
                        errText += e;
                        return false;
                    }
                    Log(2, 4025, e + u"\n");
                }
            }
            if (nCount > 0) {
                SetProgress(99, u"Filtering", false);
                FilterStateRecords(*this, pRoot, side, bFastPre);
                if (!bFastPre) {
                    CDoPropagateExclusionsDown pass;
                    DoForSubtree(pRoot, pass, false);
                }
                if (!CheckStop(errKind, errText)) return false;
            }
            if (bStateRead) break;
            if (bFastPre) {
                bFastPre = false;
                Log(2, 4099, sideName + u": Scan this destination side, as there is no state file" + u"\n");
                continue;
            }
            break;
        }
        if (!bStateRead) {
            const CWideString msg = FormatLocalizedString(IDS_Str_Status_NewStateFile, sideName);
            Log(2, 4105, msg + u"\n");
            SetProgress(99, msg, false);
        }
    }

    if (!bFastPre) {
        SetProgress(99, FormatLocalizedString(IDS_Str_Status_CompareOneSide, sideName), false);
        Stopwatch sw;
        uint32_t nChanged = 0;
        AnalyzeSideChanges(pRoot, pScanTime, side, nChanged);
        const int64_t nCompareMs = sw.ElapsedMs();
        if (!CheckStop(errKind, errText)) return false;
        if (bFullScan) {
            CWideString line = FormatLocalizedString(
                IDS_Str_Status_OneSideStats, sideName, FormatThousands(m_nScanFilesListed),
                FormatThousands(m_nScanFilesExcluded), FormatThousands(m_nScanFoldersListed),
                FormatThousands(m_nScanFoldersExcluded));
            if (g_LogSwitch.load() >= 3) {
                const uint64_t nAll = (uint64_t)m_nScanFilesListed + m_nScanFilesExcluded +
                                      m_nScanFoldersListed + m_nScanFoldersExcluded;
                const uint64_t nRate = nScanMs > 0 ? nAll * 1000 / (uint64_t)nScanMs : 100000;
                line.AppendFormat(u" Times (s): Folder Scan: %.3f (%d f/s), Compare: %.3f", nScanMs / 1000.0,
                                  (int64_t)nRate, nCompareMs / 1000.0);
            }
            line += u" ";
            line += GetSideStatusText(side);
            Log(2, 4144, line + u"\n");
        }
    }
    SetProgress(100, u" ", false);
    return true;
}

bool CSyncJob::ScanFolder(const CWideString& path, CSyncTreeNode* pRoot, int side, bool bFullScan,
                          bool bCheckLock, bool bParentExcluded, int32_t nDepth, bool bDescendExcluded,
                          int32_t* pCount, bool* pStateRead, int& errKind, CWideString& errText) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs) {
        errText += u"no file system mounted";
        return false;
    }
    const CWideString display = fs->ProgressPath(path);
    if (!CheckStop(errKind, errText)) return false;

    const int64_t nTick = ZorGetTickMs();
    if (nTick - m_nScanProgressTick >= 1000) {
        m_nScanProgressTick = nTick;
        SetProgress(ScanPercent(m_nScanFoldersDone, m_nScanExpectedFolders),
                    FormatLocalizedString(IDS_Str_Status_Scanning, display), true);
    }
    ++m_nScanFoldersDone;

    if (nDepth >= kMaxScanDepth) {
        // Ends the whole scan, not only this folder.
        m_bScanDepthExceeded = 1;
        errKind = ZEK_GENERAL;
        errText += u"Folders go more than 30 levels deep, so your folder tree may have loops in it. Stopping "
                   u"Analyze.";
        return false;
    }

    // State files met on the way down.
    if (path.IsEmpty() && bFullScan) {
        int k = 0;
        CWideString e;
        if (!ReadStateFile(CWideString(), side, bCheckLock, pCount, k, e)) {
            if (k != 0) {
                errKind = k;
                errText += e;
                return false;
            }
            Log(2, 4859, e + u"\n");
        } else {
            if (pStateRead) *pStateRead = true;
            CCountFolders count;
            DoForSubtree(pRoot, count, true);
            m_nScanExpectedFolders = (int32_t)count.m_nCount;
            SetProgress(ScanPercent(m_nScanFoldersDone, m_nScanExpectedFolders),
                        CWideString::Formatted(u"Expecting %d folders", (int64_t)count.m_nCount), false);
        }
    } else if (!path.IsEmpty() && CannotHaveDataFolder(side)) {
        int k = 0;
        CWideString e;
        if (!ReadStateFile(path, side, bCheckLock, pCount, k, e)) {
            if (k != 0) {
                errKind = k;
                errText += e;
                return false;
            }
            Log(2, 4886, e + u"\n");
        }
    }

    // The listing; a connection error is retried while the reconnect policy
    // allows it. A failure that stays passes its kind up.
    CListT<FsItemInfo> ownList;
    CListT<FsItemInfo>* pList = &ownList;
    if (m_pPrefetched && m_pPrefetched->path == path) {
        pList = &m_pPrefetched->items; // listed ahead by the parent folder
        m_pPrefetched = nullptr;
    }
    CListT<FsItemInfo>& list = *pList;
    for (; pList == &ownList;) {
        list.RemoveAll();
        int listKind = 0;
        CWideString le;
        if (fs->ListDir(path, list, listKind, le)) break;
        if (!IsConnectionError(listKind)) {
            errKind = listKind;
            errText += le;
            return false;
        }
        CWideString reconnectText;
        if (!TryReconnect(side, u"LISTDIR", le, false, listKind, reconnectText)) {
            errText += le + u", Cannot reconnect: " + reconnectText;
            fs->Close();
            errKind = listKind != 0 ? listKind : ZEK_CONNECTION;
            return false;
        }
        fs = m_apFs[side].get();
        if (!fs) {
            errText += u"no file system mounted";
            errKind = ZEK_GENERAL;
            return false;
        }
    }
    fs->m_nReconnectCount = 0;

    CListT<CSyncTreeNode*> queue;
    CWideString prefix = path;
    AddTrailingForwardSlash(prefix);
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        const FsItemInfo& entry = list.GetNext(pos);
        const CWideString& name = entry.m_sName;
        if (name.IsEmpty()) {
            Log(1, 4943, u"File with empty name\n");
            continue;
        }
        if (name == u"." || name == u"..") continue;
        CSyncTreeNode* pNode = nullptr;
        int listKind = 0;
        CWideString le;
        if (!AddListedItems(prefix + name, entry, side, bFullScan, bParentExcluded, queue, pRoot, pNode,
                            listKind, le)) {
            errKind = listKind;
            errText += le;
            return false;
        }
        if (entry.IsFolder() && name.EqualsNoCase(kDataFolderName)) {
            // A nested job's data folder below the side root.
            CSyncTreeNode* pParent = pNode ? pNode->GetParent() : nullptr;
            ZOR_ASSERT(pParent != nullptr);
            if (pParent && !CannotHaveDataFolder(side) && !path.IsEmpty()) {
                pParent->GetItem().m_aHoldsDataFolder[side] = 1;
                int k = 0;
                CWideString e;
                if (!ReadStateFile(GetItemSidePath(pParent, side), side, bCheckLock, pCount, k, e)) {
                    if (k != 0) {
                        errKind = k;
                        errText += e;
                        return false;
                    }
                    Log(2, 4972, e + u"\n");
                }
            }
        }
    }
    list.RemoveAll();

    // Subfolders of a local side are listed ahead, a few at a time on
    // helper threads; they are still entered one by one in order below.
    std::vector<CListedAhead> ahead;
    size_t nAheadNext = 0;

    for (ZorPosition pos = queue.GetHeadPosition(); pos;) {
        const ZorPosition posNode = pos;
        CSyncTreeNode* pNode = queue.GetNext(pos);
        if (!CheckStop(errKind, errText)) return false;
        CSyncPairAndAction& item = pNode->GetItem();
        const CWideString childPath = prefix + GetItemSideName(pNode, side);
        if (!bDescendExcluded && item.IsExcluded()) {
            item.m_nFlags &= (uint8_t)~SPF_LISTED;
            continue;
        }
        // A reconnect below may have replaced the side's file system.
        TvFileSys* pAheadFs = m_apFs[side].get();
        if (m_pListAheadPool && IsPlainLocalFs(pAheadFs)) {
            if (nAheadNext >= ahead.size()) {
                ListAhead(*m_pListAheadPool, pAheadFs, queue, posNode, prefix, side, bDescendExcluded, ahead);
                nAheadNext = 0;
            }
            if (nAheadNext < ahead.size() && ahead[nAheadNext].path == childPath && ahead[nAheadNext].bOk)
                m_pPrefetched = &ahead[nAheadNext];
            ++nAheadNext;
        }
        int childKind = 0;
        CWideString childErr;
        const bool bChildOk = ScanFolder(childPath, pRoot, side, bFullScan, bCheckLock, item.IsExcluded(),
                                         nDepth + 1, bDescendExcluded, pCount, pStateRead, childKind, childErr);
        m_pPrefetched = nullptr;
        if (bChildOk) continue;
        if (childKind == ZEK_STOPPED || IsConnectionError(childKind) || m_bScanDepthExceeded) {
            errKind = childKind;
            errText += childErr;
            return false;
        }
        item.m_nExecState = ESS_ANALYZED_ERR;
        item.m_sReason = childErr;
        TvFileSys* pCurFs = m_apFs[side].get(); // a reconnect below may have replaced it
        const CWideString childDisplay = pCurFs ? pCurFs->DisplayPath(childPath) : childPath;
        Log(1, 5031, CWideString::Formatted(u"Cannot read folder %s: %s\n", childDisplay, childErr));
        if (m_bLockedByOther) {
            errKind = childKind;
            errText += childErr;
            return false;
        }
    }
    return true;
}
