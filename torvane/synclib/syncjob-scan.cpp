// The side scan: one side of a job listed into the current records of the
// sync tree, with the state files met on the way read into the old records.
#include "TvFileCopy.h"
#include "state-file.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-time.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// The times the calling thread has waited (given up the processor) so far.
int64_t ThreadWaits() {
    struct rusage ru;
    return getrusage(RUSAGE_THREAD, &ru) == 0 ? (int64_t)ru.ru_nvcsw : 0;
}

// The scan's progress percentage: folders entered against those expected,
// or a running count while nothing is expected.
int ScanPercent(int32_t nDone, int32_t nExpected) {
    if (nExpected > 0) return (int)((int64_t)nDone * 100 / nExpected);
    return nDone % 100;
}

// One node's filtering of what came only from the state files. With
// bFastPre the side's current record becomes its old record first. Without
// it the exclusions then go down to everything below an excluded folder (or
// one in error): in a walk in pre-order a node is filtered after its parent,
// and takes its parent's exclusion after its own filtering.
void FilterStateRecord(CSyncJob& job, CSyncTreeNode* pNode, int side, bool bFastPre) {
    CSyncPairAndAction& item = pNode->GetItem();
    // Without rules nothing is excluded: there is only the copying to do.
    if (bFastPre || !job.m_FilterMatcher.IsEmpty()) {
        if (bFastPre) item.m_aCur[side] = item.m_aOld[side];
        const CSideInfo& old = item.m_aOld[side];
        if (old.IsPresentBit() && !item.IsExcluded() && (bFastPre || !item.m_aCur[side].IsPresentBit())) {
            CWideString reason;
            if (job.m_FilterMatcher.IsExcluded(pNode->GetPath(), false, old, CSideInfo(), reason)) {
                item.m_nFlags |= SPF_EXCLUDED;
                item.SetReason(reason);
            } else if (job.m_bFilterJudging) {
                // Judged on its path in the tree with the record of its kind.
                item.m_nFlags |= SPF_FILTER_JUDGED;
            }
        }
    }
    if (!bFastPre) CDoPropagateExclusionsDown().DoWithPair(pNode, &job);
}

void FilterStateRecords(CSyncJob& job, CSyncTreeNode* pRoot, int side, bool bFastPre) {
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) FilterStateRecord(job, it.GetNode(), side, bFastPre);
}

} // namespace

// Lists the folders of a local side ahead of a full scan, on helper threads,
// in about the order the scan enters them (depth first, each folder's
// subfolders in listing order). The scan takes each listing as it enters the
// folder; what it asks for before a helper got there it lists itself. The
// listings held and not yet taken are limited to a number of entries.
// Started from the root, or (without bFromRoot) in the middle of a scan:
// then the helpers begin below the folders the scan lists from then on.
class CScanPrefetcher {
public:
    CScanPrefetcher(TvFileSys* fs, const CWideString& root, int nThreads, size_t nMaxHeld, bool bFromRoot)
        : m_pFs(fs), m_nMaxHeld(nMaxHeld) {
        if (bFromRoot) Queue(Key(root));
        m_Spent.resize(nThreads > 0 ? (size_t)nThreads : 0);
        for (int i = 0; i < nThreads; i++) {
            try {
                m_Threads.emplace_back([this, i] { Loop(i); });
            } catch (...) {
                break; // fewer helpers; the scan lists what no helper did
            }
        }
    }
    ~CScanPrefetcher() {
        {
            std::lock_guard<std::mutex> l(m_Mutex);
            m_bStop = true;
        }
        m_WorkCv.notify_all();
        for (std::thread& t : m_Threads) t.join();
    }
    TvFileSys* GetFs() const { return m_pFs; }

    // The listing of path when a helper made it (waiting for one that is
    // being made). False when the caller is to list it itself: no helper
    // will then list it, and a failed listing is left to the caller too, so
    // that the error is its own.
    // nOwner: the helper that made it, which is to free it (GiveBack).
    bool Take(const CWideString& path, std::unique_ptr<CListT<FsItemInfo>>& items, int& nOwner) {
        const std::u16string key = Key(path);
        std::unique_lock<std::mutex> l(m_Mutex);
        auto it = m_Slots.find(key);
        if (it == m_Slots.end()) return false;
        if (it->second.nState == kListing) {
            m_DoneCv.wait(l, [&] {
                it = m_Slots.find(key);
                return it == m_Slots.end() || it->second.nState != kListing;
            });
            if (it == m_Slots.end()) return false;
        }
        Slot& slot = it->second;
        const bool bOk = slot.nState == kDone && slot.bOk;
        if (bOk) {
            items = std::move(slot.pItems);
            nOwner = slot.nOwner;
            Release((size_t)items->GetCount());
        }
        m_Slots.erase(it);
        return bOk;
    }
    // A listing taken and done with goes back to the helper that made it,
    // which frees it beside its own allocations (a free from another thread
    // would wait for that helper's heap), a batch at a time.
    void GiveBack(std::unique_ptr<CListT<FsItemInfo>> items, int nOwner) {
        std::lock_guard<std::mutex> l(m_Mutex);
        auto& spent = m_Spent[(size_t)nOwner];
        spent.push_back(std::move(items));
        if (spent.size() == kSpentBatch) m_WorkCv.notify_all();
    }
    // The caller listed path itself: its subfolders are listed ahead.
    void Listed(const CWideString& path, const CListT<FsItemInfo>& items) {
        std::vector<std::u16string> children;
        ChildKeys(path, items, children);
        std::lock_guard<std::mutex> l(m_Mutex);
        for (auto it = children.rbegin(); it != children.rend(); ++it) Queue(std::move(*it));
        m_WorkCv.notify_all();
    }
    // The scan does not enter path (excluded), or entered it and failed
    // (bEntered): what was listed at or below it is dropped, and nothing more
    // is listed there.
    void Skip(const CWideString& path, bool bEntered) {
        const std::u16string key = Key(path);
        std::lock_guard<std::mutex> l(m_Mutex);
        auto it = m_Slots.find(key);
        if (it != m_Slots.end()) {
            Drop(it);
            return;
        }
        // Taken by the scan (it entered the folder): what a helper queued
        // below it is found by the path. A folder never queued has nothing
        // listed below it.
        if (!bEntered) return;
        std::u16string below = key;
        if (below.empty() || below.back() != u'/') below += u'/';
        for (auto at = m_Slots.begin(); at != m_Slots.end();) {
            if (at->first.compare(0, below.size(), below) == 0 && at->second.nState != kListing) {
                if (at->second.pItems) Release((size_t)at->second.pItems->GetCount());
                at = m_Slots.erase(at);
            } else {
                if (at->first.compare(0, below.size(), below) == 0) at->second.bDropped = true;
                ++at;
            }
        }
    }

private:
    enum { kPending, kListing, kDone };
    static constexpr size_t kSpentBatch = 32; // listings given back before an idle helper frees them
    struct Slot {
        int nState = kPending;
        bool bOk = false;
        bool bDropped = false;
        std::unique_ptr<CListT<FsItemInfo>> pItems;
        std::vector<std::u16string> children; // queued from this listing
        int nOwner = 0;                       // the helper that listed it
    };
    // A slot and, through the children it queued, everything below it
    // (called with the mutex held). A listing in progress is dropped by its
    // helper when done, and queues nothing.
    void Drop(std::unordered_map<std::u16string, Slot>::iterator it) {
        std::vector<std::u16string> stack = std::move(it->second.children);
        if (it->second.nState == kListing) {
            it->second.bDropped = true;
        } else {
            if (it->second.pItems) Release((size_t)it->second.pItems->GetCount());
            m_Slots.erase(it);
        }
        while (!stack.empty()) {
            const std::u16string k = std::move(stack.back());
            stack.pop_back();
            auto c = m_Slots.find(k);
            if (c == m_Slots.end()) continue; // taken, or never queued
            for (std::u16string& g : c->second.children) stack.push_back(std::move(g));
            if (c->second.nState == kListing) {
                c->second.bDropped = true;
            } else {
                if (c->second.pItems) Release((size_t)c->second.pItems->GetCount());
                m_Slots.erase(c);
            }
        }
    }

    static std::u16string Key(const CWideString& path) {
        return std::u16string(path.GetString(), (size_t)path.GetLength());
    }
    // The paths the scan would enter below path, in listing order: folders
    // that are not links (a link the scan drills into is listed by the scan,
    // and its subfolders ahead from there).
    static void ChildKeys(const CWideString& path, const CListT<FsItemInfo>& items,
                          std::vector<std::u16string>& children) {
        // Nor those below the depth where the scan stops.
        int nDepth = 0;
        for (int i = 0; i < path.GetLength(); i++) nDepth += path[i] == u'/';
        if (nDepth + 1 >= CSyncJob::kMaxScanDepth) return;
        CWideString prefix = path;
        AddTrailingForwardSlash(prefix);
        const std::u16string base = Key(prefix);
        for (ZorPosition pos = items.GetHeadPosition(); pos;) {
            const FsItemInfo& e = items.GetNext(pos);
            if (e.m_bValid == 0 || !e.IsFolder() || e.IsLink() || e.m_sName.IsEmpty()) continue;
            if (e.m_sName == u"." || e.m_sName == u"..") continue;
            children.push_back(base);
            children.back().append(e.m_sName.GetString(), (size_t)e.m_sName.GetLength());
        }
    }
    // Called with the mutex held.
    void Queue(std::u16string key) {
        auto r = m_Slots.try_emplace(key);
        if (r.second) m_Pending.push_back(std::move(key));
    }
    void Release(size_t n) {
        const bool bWasFull = m_nHeld >= m_nMaxHeld;
        m_nHeld -= n < m_nHeld ? n : m_nHeld;
        if (bWasFull && m_nHeld < m_nMaxHeld) m_WorkCv.notify_all();
    }
    void Loop(int nSelf) {
        std::unique_lock<std::mutex> l(m_Mutex);
        auto& mySpent = m_Spent[(size_t)nSelf];
        for (;;) {
            m_WorkCv.wait(l, [&] {
                return m_bStop || (!m_Pending.empty() && m_nHeld < m_nMaxHeld) || mySpent.size() >= kSpentBatch;
            });
            if (m_bStop) return;
            if (!mySpent.empty()) {
                std::vector<std::unique_ptr<CListT<FsItemInfo>>> spent;
                spent.swap(mySpent);
                l.unlock();
                spent.clear();
                l.lock();
                continue;
            }
            std::u16string key = std::move(m_Pending.back()); // the most recently queued: depth first
            m_Pending.pop_back();
            auto it = m_Slots.find(key);
            if (it == m_Slots.end() || it->second.nState != kPending) continue; // taken or skipped
            it->second.nState = kListing;
            l.unlock();
            auto pItems = std::make_unique<CListT<FsItemInfo>>();
            int k = 0;
            CWideString e;
            const CWideString path(key.data(), (int)key.size());
            const bool bOk = m_pFs->ListDir(path, *pItems, k, e);
            std::vector<std::u16string> children;
            if (bOk) ChildKeys(path, *pItems, children);
            l.lock();
            it = m_Slots.find(key);
            if (it == m_Slots.end()) continue;
            Slot& slot = it->second;
            if (slot.bDropped) {
                m_Slots.erase(it);
            } else {
                slot.nState = kDone;
                slot.bOk = bOk;
                slot.nOwner = nSelf;
                if (bOk) {
                    m_nHeld += (size_t)pItems->GetCount();
                    slot.pItems = std::move(pItems);
                    for (auto c = children.rbegin(); c != children.rend(); ++c) Queue(*c);
                    slot.children = std::move(children);
                    m_WorkCv.notify_all();
                }
            }
            m_DoneCv.notify_all();
        }
    }

    TvFileSys* const m_pFs;
    const size_t m_nMaxHeld;
    std::mutex m_Mutex;
    std::condition_variable m_WorkCv, m_DoneCv;
    std::unordered_map<std::u16string, Slot> m_Slots; // queued, being listed or listed; not yet taken
    std::vector<std::u16string> m_Pending;           // queued; the next at the back (may hold stale keys)
    std::vector<std::vector<std::unique_ptr<CListT<FsItemInfo>>>> m_Spent; // per helper: taken, to be freed
    size_t m_nHeld = 0;                               // entries of the listings not yet taken
    bool m_bStop = false;
    std::vector<std::thread> m_Threads;
};

void CSyncJob::CompleteStoredBits(TvFileSys* fs, const CWideString& entryPath, FsItemInfo& entry, int side,
                                  CSyncTreeNode* pFolder, const CChildNameIndex& index) {
    side &= 1;
    // The record's word stands when the record is the side's own record of
    // this very name and the entry has not changed since the file's time.
    const uint32_t nBefore = m_anStoredBitsBefore[side];
    if (nBefore != 0 && pFolder && entry.m_nChangeTime < nBefore && entry.m_bValid &&
        entry.m_nAttributes != FSA_UNKNOWN) {
        CSyncTreeNode* pNode = GetStateFileIo().FindPlainChild(pFolder, entry.m_sName, CSideInfo(), &index);
        m_pScanChild = pNode;
        m_bScanChildLooked = true;
        if (pNode) {
            const CSyncPairAndAction& item = pNode->GetItem();
            const CSideInfo& old = item.m_aOld[side];
            const CWideString& recName = old.m_sId.IsEmpty() ? pNode->GetNameRef() : old.m_sId;
            if (old.Exists() && !old.GetFlag(SIF_LINK | SIF_CORRECTED) && old.IsFolder() == entry.IsFolder() &&
                old.m_nAttr != FSA_UNKNOWN && !item.m_aCur[side].IsPresentBit() && recName == entry.m_sName) {
                entry.m_nAttributes = fs->WithRecordedStoredBits(entry, old.m_nAttr);
                entry.m_bStoredUnread = 0;
                return;
            }
        }
    }
    // Read now; a failure leaves the word the listing saw, as a failed read
    // while listing does.
    int k = 0;
    CWideString e;
    fs->ReadStoredBits(entryPath, entry, k, e);
    m_anStoredBitsRead[side]++;
}

bool CSyncJob::IsPlainLocalFs(const TvFileSys* fs) {
    // Only the local back-end's listing may run on several threads at once.
    return fs && fs->GetCapability(TVFS_CAP_LOCAL) && fs->GetTypeInfo(TVFS_TI_NAME) == u"Local Folder";
}

void CSyncJob::ClearSideInfoInSubtree(CSyncTreeNode* pNode, int side, bool bCurrent) {
    if (!pNode) return;
    side &= 1;
    (bCurrent ? pNode->GetItem().m_aCur : pNode->GetItem().m_aOld)[side] = CSideInfo();
    (bCurrent ? pNode->GetItem().m_aCurIdent : pNode->GetItem().m_aOldIdent)[side] = 0;
    auto clearMark = [&](CSyncPairAndAction& item) {
        if (bCurrent)
            item.SetNewMark(side, 0);
        else
            item.m_aOldMark[side] = 0;
    };
    clearMark(pNode->GetItem());
    CSyncDepthFirstIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        (bCurrent ? it.GetItem()->m_aCur : it.GetItem()->m_aOld)[side] = CSideInfo();
        (bCurrent ? it.GetItem()->m_aCurIdent : it.GetItem()->m_aOldIdent)[side] = 0;
        clearMark(*it.GetItem());
    }
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
    m_anFsScanStart[side] = 0;
    m_anStoredBitsBefore[side] = 0;
    m_abStoredBitsWhole[side] = false;
    m_anStoredBitsRead[side] = 0;
    m_abSettleStoredBits[side] = false;
    bool bFastPre = false;
    int64_t nScanMs = 0;
    int32_t nCount = 0;
    m_nScanFoldersListed = m_nScanFilesListed = m_nScanFoldersExcluded = m_nScanFilesExcluded = 0;
    m_nScanFoldersDone = m_nScanExpectedFolders = 0;
    m_bScanDepthExceeded = 0;
    m_anStateItemsKnown[side] = m_anStateRecordsRead[side] = 0;
    m_abUntrusted[side] = 0; // the run's checks before the scan passed
    m_anStateRecordsKept[side] = ReadStateRecordsKept(side);
    m_anStateRootPast[side] = m_anStateRootPastMemory[side] = -1;
    m_abStateListingAhead[side] = false;
    m_aStateDeferred[side].clear();

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
            if (m_pChanged) m_pChanged->bWhole = true; // every item's old record is read again
            // What the side holds is in the tree from its last scan.
            CSyncDepthFirstIter it(pRoot);
            for (; it.IsValid(); it.Next())
                m_anStateItemsKnown[side] += it.GetItem()->m_aCur[side].IsPresentBit();
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
                int64_t nSize = 64 * 1024; // the most a stamp may bring (it is a line)
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
                // The stored bits that the records can stand for are left out
                // of the listings from the start (the read of the state file
                // tells the entries that really take them).
                GetStateFileIo().m_anDuplicates[side] = 0;
                if (IsPlainLocalFs(fs) && !CannotHaveDataFolder(side)) {
                    m_anFsScanStart[side] = fs->FileSystemNow();
                    m_abStoredBitsWhole[side] = m_anFsScanStart[side] > 0;
                    // Up to the time this scan can vouch for: the entries
                    // changed since the state file's time but before that
                    // are read one by one and counted (see SettlesStoredBits).
                    if (const uint32_t nHint = PeekStoredBitsTime(side))
                        fs->SetStoredBitsCutoff(
                            std::max<int64_t>(nHint, m_anFsScanStart[side] - s_nStoredBitsMargin));
                }
                // A local side's folders are listed ahead, from the start or
                // once the scan's own listings wait on the disk.
                m_nScanOwnWaits = m_nScanOwnEntries = 0;
                m_nScanStartTick = ZorGetTickMs();
                if (IsPlainLocalFs(fs) && m_nScanPrefetchThreads > 0) {
                    if (m_nScanPrefetchAfterWaits <= 0) {
                        m_pScanPrefetcher = std::make_shared<CScanPrefetcher>(
                            fs, CWideString(), m_nScanPrefetchThreads, m_nScanPrefetchMaxEntries, true);
                        m_nScanPrefetchStarts++;
                    } else {
                        m_bScanMayPrefetch = true;
                    }
                }
                // A state file too large for what the side has shown so far
                // is read once the listing has shown the whole side.
                m_abStateListingAhead[side] = true;
                bool ok = ScanFolder(CWideString(), pRoot, side, bFullScan, bCheckLock, false, 0, false,
                                     &nCount, &bStateRead, errKind, errText);
                m_abStateListingAhead[side] = false;
                m_bScanMayPrefetch = false;
                m_pScanPrefetcher.reset();
                if (m_apFs[side]) m_apFs[side]->SetStoredBitsCutoff(0);
                if (ok) ok = ReadWaitingStateFiles(side, bCheckLock, &nCount, bStateRead, errKind, errText);
                m_anStoredBitsBefore[side] = 0;
                // Saving the state file for the few entries changed since
                // the last save costs more than reading their bits.
                if (m_anStoredBitsRead[side] * 16 < (uint64_t)m_nScanFilesListed + m_nScanFoldersListed)
                    m_anStoredBitsRead[side] = 0;
                nScanMs = sw.ElapsedMs();
                if (!ok) return false;
            } else {
                Log(2, 4014, sideName + u": Do not scan this side due to Fast Pre Analyze" + u"\n");
                int k = 0;
                CWideString e;
                m_abStateListingAhead[side] = true; // a file that cannot be used is read after a listing
                const bool bRead = ReadStateFile(CWideString(), side, bCheckLock, &nCount, k, e);
                m_abStateListingAhead[side] = false;
                if (bRead) {
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
                // Without bFastPre the side-change walk comes next: the
                // filtering goes along with it, node by node.
                if (bFastPre)
                    FilterStateRecords(*this, pRoot, side, bFastPre);
                else
                    m_fnStateFilterStep = [this, side](CSyncTreeNode* pNode) {
                        FilterStateRecord(*this, pNode, side, false);
                    };
                if (!CheckStop(errKind, errText)) {
                    m_fnStateFilterStep = nullptr;
                    return false;
                }
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

    // A data folder refused in the side's tree (another job's, nested)
    // fails the whole Analyze: no Sync may follow that would lock it.
    if (m_abUntrusted[side]) {
        errKind = FSE_GENERAL;
        errText +=
            sideName + u": a data folder in the side cannot be trusted (see above), so nothing is synced";
        return false;
    }
    if (!bFastPre) {
        SetProgress(99, FormatLocalizedString(IDS_Str_Status_CompareOneSide, sideName), false);
        Stopwatch sw;
        uint32_t nChanged = 0;
        AnalyzeSideChanges(pRoot, pScanTime, side, nChanged);
        // Not taken by the walk (there was none): filtered on its own.
        if (m_fnStateFilterStep) {
            m_fnStateFilterStep = nullptr;
            FilterStateRecords(*this, pRoot, side, false);
        }
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
        if (!ReadStateFileInScan(CWideString(), side, bCheckLock, pCount, k, e)) {
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
        if (!ReadStateFileInScan(path, side, bCheckLock, pCount, k, e)) {
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
    std::unique_ptr<CListT<FsItemInfo>> pAhead;
    CScanPrefetcher* pPrefetcher =
        m_pScanPrefetcher && m_pScanPrefetcher->GetFs() == fs ? m_pScanPrefetcher.get() : nullptr;
    int nAheadOwner = 0;
    if (pPrefetcher && pPrefetcher->Take(path, pAhead, nAheadOwner)) pList = pAhead.get(); // listed ahead
    CListT<FsItemInfo>& list = *pList;
    for (; pList == &ownList;) {
        list.RemoveAll();
        int listKind = 0;
        CWideString le;
        const bool bProbe = m_bScanMayPrefetch && !m_pScanPrefetcher;
        const int64_t nWaitsBefore = bProbe ? ThreadWaits() : 0;
        if (fs->ListDir(path, list, listKind, le)) {
            if (bProbe) {
                m_nScanOwnWaits += ThreadWaits() - nWaitsBefore;
                m_nScanOwnEntries += list.GetCount();
                const bool bWaited =
                    m_nScanOwnWaits >= m_nScanPrefetchAfterWaits && m_nScanOwnWaits * 256 >= m_nScanOwnEntries;
                if (bWaited || m_nScanMsBefore + nTick - m_nScanStartTick >= m_nScanPrefetchAfterMs) {
                    m_bScanMayPrefetch = false;
                    m_pScanPrefetcher = std::make_shared<CScanPrefetcher>(fs, CWideString(), m_nScanPrefetchThreads,
                                                                          m_nScanPrefetchMaxEntries, false);
                    pPrefetcher = m_pScanPrefetcher.get();
                    m_nScanPrefetchStarts++;
                }
            }
            if (pPrefetcher) pPrefetcher->Listed(path, list);
            break;
        }
        if (!IsConnectionError(listKind)) {
            errKind = listKind;
            errText += le;
            return false;
        }
        // The helpers use the file system that a reconnect replaces.
        m_bScanMayPrefetch = false;
        m_pScanPrefetcher.reset();
        pPrefetcher = nullptr;
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
    // The entries' nodes are found from the folder's node, not from the root.
    CSyncTreeNode* pFolder = bFullScan ? GetStateFileIo().FindPathNode(path, pRoot) : nullptr;
    // Its entries are judged on their path in the tree when its side path is its own.
    m_pScanPlainFolder =
        pFolder && m_bFilterJudging && !m_FilterMatcher.IsEmpty() && pFolder->GetPath() == path ? pFolder : nullptr;
    CChildNameIndex childIndex;
    if (pFolder) childIndex.Build(pFolder);
    // Each entry's path is made in one buffer (a copy kept by the callee
    // makes it copy on the next entry).
    CWideString entryPath;
    entryPath.Preallocate(prefix.GetLength() + 64);
    entryPath += prefix;
    const int nPrefix = prefix.GetLength();
    for (ZorPosition pos = list.GetHeadPosition(); pos;) {
        FsItemInfo& entry = list.GetNext(pos);
        const CWideString& name = entry.m_sName;
        if (name.IsEmpty()) {
            Log(1, 4943, u"File with empty name\n");
            continue;
        }
        const char16_t* pName = name.GetString();
        if (pName[0] == u'.' && (name.GetLength() == 1 || (name.GetLength() == 2 && pName[1] == u'.'))) continue;
        CSyncTreeNode* pNode = nullptr;
        int listKind = 0;
        CWideString le;
        entryPath.Truncate(nPrefix);
        entryPath += name;
        if (entry.m_bStoredUnread) CompleteStoredBits(fs, entryPath, entry, side, pFolder, childIndex);
        const bool bAdded = AddListedItems(entryPath, entry, side, bFullScan, bParentExcluded, queue, pRoot, pNode,
                                           listKind, le, pFolder, &childIndex);
        m_bScanChildLooked = false;
        if (!bAdded) {
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
                if (!ReadStateFileInScan(GetItemSidePath(pParent, side), side, bCheckLock, pCount, k, e)) {
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
    if (pAhead && m_pScanPrefetcher.get() == pPrefetcher)
        pPrefetcher->GiveBack(std::move(pAhead), nAheadOwner);
    else
        list.RemoveAll();

    for (ZorPosition pos = queue.GetHeadPosition(); pos;) {
        CSyncTreeNode* pNode = queue.GetNext(pos);
        if (!CheckStop(errKind, errText)) return false;
        CSyncPairAndAction& item = pNode->GetItem();
        const CWideString childPath = prefix + GetItemSideName(pNode, side);
        if (!bDescendExcluded && item.IsExcluded()) {
            item.m_nFlags &= (uint8_t)~SPF_LISTED;
            if (m_pScanPrefetcher) m_pScanPrefetcher->Skip(childPath, false);
            continue;
        }
        int childKind = 0;
        CWideString childErr;
        const bool bChildOk = ScanFolder(childPath, pRoot, side, bFullScan, bCheckLock, item.IsExcluded(),
                                         nDepth + 1, bDescendExcluded, pCount, pStateRead, childKind, childErr);
        if (bChildOk) continue;
        if (m_pScanPrefetcher) m_pScanPrefetcher->Skip(childPath, true);
        if (childKind == ZEK_STOPPED || IsConnectionError(childKind) || m_bScanDepthExceeded) {
            errKind = childKind;
            errText += childErr;
            return false;
        }
        item.m_nExecState = ESS_ANALYZED_ERR;
        item.SetReason(childErr);
        TvFileSys* pCurFs = m_apFs[side].get(); // a reconnect below may have replaced it
        const CWideString childDisplay = pCurFs ? pCurFs->DisplayPath(childPath) : childPath;
        Log(1, 5031,
            CWideString::Formatted(u"Cannot read folder %s: %s\n", EscapeControlChars(childDisplay), childErr));
        if (m_bLockedByOther) {
            errKind = childKind;
            errText += childErr;
            return false;
        }
    }
    return true;
}

bool CSyncJob::ReadStateFileInScan(const CWideString& folderPath, int side, bool bCheckLock, int32_t* pCount,
                                   int& errKind, CWideString& errText) {
    side &= 1;
    std::vector<CWideString>& waiting = m_aStateDeferred[side];
    if (waiting.empty()) {
        if (ReadStateFile(folderPath, side, bCheckLock, pCount, errKind, errText)) return true;
        if (errKind != ZEK_NONE || !WasStateOverBudget()) return false;
    } else {
        // The files of a side are read in the order the scan meets them:
        // the side root's first, whose records are the job's own.
        TvFileSys* fs = m_apFs[side].get();
        errText += GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left) + u": state file of " +
                   (fs ? fs->DisplayPath(folderPath) : folderPath) + u" is read once the side is listed";
    }
    waiting.push_back(folderPath);
    errKind = ZEK_NONE;
    return false;
}

bool CSyncJob::ReadWaitingStateFiles(int side, bool bCheckLock, int32_t* pCount, bool& bRootRead,
                                     int& errKind, CWideString& errText) {
    side &= 1;
    std::vector<CWideString> waiting;
    waiting.swap(m_aStateDeferred[side]);
    for (const CWideString& path : waiting) {
        const int64_t nBudget = StateRecordBudget(side), nMemory = StateMemoryBudget(side);
        if (path.IsEmpty() && nMemory <= m_anStateRootPastMemory[side]) {
            // The same for the memory of its records.
            Log(1, 4859,
                GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left) +
                    CWideString::Formatted(
                        u": state file lists records of more than %lld bytes, more than a side of %lld "
                        u"items can need; its records are not used\n",
                        (long long)nMemory, (long long)StateItemsKnown(side)));
            continue;
        }
        if (path.IsEmpty() && nBudget <= m_anStateRootPast[side]) {
            // The listing gave no more room than the file already went past.
            Log(1, 4859,
                GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left) +
                    CWideString::Formatted(
                        u": state file lists more than %lld records, more than a side of %lld "
                        u"items can need; its records are not used\n",
                        (long long)nBudget, (long long)StateItemsKnown(side)));
            continue;
        }
        int k = 0;
        CWideString e;
        if (ReadStateFile(path, side, bCheckLock, pCount, k, e)) {
            if (path.IsEmpty()) bRootRead = true;
            continue;
        }
        if (k != 0) {
            errKind = k;
            errText += e;
            return false;
        }
        Log(2, path.IsEmpty() ? 4859 : 4972, e + u"\n");
    }
    return true;
}
