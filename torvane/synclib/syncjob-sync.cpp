// The Sync driver: prepares the sides (connection, data folders, locks),
// applies the auto-sync thresholds to an unattended run, counts the work,
// executes, reports the outcome and runs the periodic clean-up.
#include "syncjob-exec.h"

#include "TvFileCopy.h"

#include "zor-debug.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-process.h"
#include "zor-text.h"
#include "zor-time.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

namespace {

// The item categories that write to each side (files plus folders).
const int kWritesLeft[] = {CAT_COPY_RTOL, CAT_MOVE_RTOL, CAT_DELETE_LEFT, CAT_NAME_CASE_RTOL, CAT_MERGE_GENS,
                           CAT_STATE_RTOL};
const int kWritesRight[] = {CAT_COPY_LTOR, CAT_MOVE_LTOR, CAT_DELETE_RIGHT, CAT_NAME_CASE_LTOR, CAT_MERGE_GENS,
                            CAT_STATE_LTOR};

CWideString ShortNow() {
    return CZorTime::Now().Format(u"%x %X");
}

} // namespace

namespace {

// CountPendingItems, and the subtrees with an action or an execution mark.
int CountPending(CSyncTreeNode* pNode, std::unordered_set<const CSyncTreeNode*>* pBusy, bool& bMarked) {
    CSyncPairAndAction& item = pNode->GetItem();
    // A user's choice writes as much as the analysis's own.
    int n = item.GetEffAction() != EA_NO_COPY ? 1 : 0;
    bool bMarks = (item.m_nFlags & SPF_EXEC_MARKS) != 0;
    if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) n += CountPending(&e->GetValue(), pBusy, bMarks);
    if (n == 0 && (item.m_aHoldsDataFolder[0] || item.m_aHoldsDataFolder[1]))
        item.m_aHoldsDataFolder[0] = item.m_aHoldsDataFolder[1] = 0;
    // Work bytes share their storage with the analysis's time-shift keys:
    // the count clears them where they are not zero.
    if (pBusy && (n > 0 || bMarks || item.GetWorkBytes() != 0)) pBusy->insert(pNode);
    bMarked = bMarked || bMarks;
    return n;
}

// A pass over the subtrees the count found busy (pNode and its descendants
// in pre-order, as DoForSubtree); the other nodes would not be changed by it.
bool DoForBusySubtrees(CSyncTreeNode* pNode, CDoSmthWithPair& pass, CSyncJob* pJob,
                       const std::unordered_set<const CSyncTreeNode*>& busy) {
    if (!pass.DoWithPair(pNode, pJob)) return false;
    if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            if (busy.count(&e->GetValue()) && !DoForBusySubtrees(&e->GetValue(), pass, pJob, busy)) return false;
    return true;
}

} // namespace

int CSyncJob::CountPendingItems(CSyncTreeNode* pNode) {
    if (!pNode) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CountPendingItems: null node", 0);
        return 0;
    }
    bool bMarked = false;
    return CountPending(pNode, nullptr, bMarked);
}

bool CSyncJob::CheckAutoSyncLimits(const CItemCount* stats, int& errKind, CWideString& errText) {
    if (m_nRunKind != RK_AUTOMATIC || m_Options.m_nDirection != 0 || m_Options.m_nLimitChangesPercent >= 100)
        return true;
    const uint32_t total = stats[0].Total(), changed = stats[1].Total();
    const uint32_t nNew = stats[6].Total(), excluded = stats[5].Total();
    if (total == 0) return true;
    const uint32_t percent = (uint32_t)((uint64_t)changed * 100u / total);
    const CWideString frac = CWideString::Formatted(u"%d%% (%d / %d)", (int)percent, (int)changed, (int)total);
    const CWideString limit = CWideString::Formatted(u"%d%%", (int)m_Options.m_nLimitChangesPercent);
    if ((int64_t)percent < m_Options.m_nLimitChangesPercent) {
        Log(2, 9730,
            CWideString::Formatted(u"Fraction of files changed is low enough to perform Auto Sync: %s < %s", frac,
                                   limit) +
                u"\n");
        return true;
    }
    if ((int64_t)total - ((int64_t)nNew + excluded) <= 3) {
        Log(2, 9713, u"Most files are new (no overwrites or deletes), so allow automatic sync\n");
        return true;
    }
    if (changed <= 6) {
        Log(2, 9715, u"6 or less items changed, so allow automatic sync\n");
        return true;
    }
    errKind = FSE_GENERAL;
    errText += FormatLocalizedString(IDS_Str_Msg_LimitChanges2, frac, limit);
    SetRunState(RS_SYNCED, RSS_REFUSED);
    return false;
}

namespace {

// The items below pNode whose old record on each side exists (what the last
// sync left there), excluded items left out.
void CountRecorded(CSyncTreeNode* pNode, uint64_t (&n)[2]) {
    CSyncTreeNode::CChildMap* map = pNode->GetChildMap();
    if (!map) return;
    for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
        CSyncTreeNode* pChild = &e->GetValue();
        const CSyncPairAndAction& item = pChild->GetItem();
        if (item.IsExcluded()) continue;
        for (int s = 0; s < 2; ++s)
            if (item.m_aOld[s].Exists()) ++n[s];
        CountRecorded(pChild, n);
    }
}

// Whether an item below pNode is recorded on both sides.
bool AnyRecordedOnBoth(CSyncTreeNode* pNode) {
    CSyncTreeNode::CChildMap* map = pNode->GetChildMap();
    if (!map) return false;
    for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
        const CSyncPairAndAction& item = e->GetValue().GetItem();
        // A root's lost+found is any ext4 drive's: no record the two share.
        if (item.IsExcluded() || (!pNode->GetParent() && e->GetKey() == u"lost+found")) continue;
        if ((item.m_aOld[0].Exists() && item.m_aOld[1].Exists()) || AnyRecordedOnBoth(&e->GetValue()))
            return true;
    }
    return false;
}

// Whether the side holds an item at or below pNode that a record (the
// job's own or a nested job's) says was there. bOtherOnly: only the other
// side's records count, for this side's own are another job's (a state
// file found where the side's folder was replaced by another one).
bool HoldsRecorded(CSyncTreeNode* pNode, int side, bool bOtherOnly) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (!item.m_aCur[side].Exists()) return false;
    if ((item.m_aOld[side].Exists() && !bOtherOnly) || item.m_aOld[1 - side].Exists()) return true;
    if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            if (HoldsRecorded(&e->GetValue(), side, bOtherOnly)) return true;
    return false;
}

} // namespace

bool CSyncJob::LastSyncCountPath(int side, CWideString& path, const char16_t* pszName) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    CWideString mirror, e;
    int k = 0;
    if (!fs || !MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e))
        return false;
    // One count per pair of folders: jobs that pair the folder with other
    // folders (with filters of their own) keep theirs.
    uint64_t h = 14695981039346656037ull;
    const CWideString other = GetSideFolder(1 - side);
    for (int i = 0; i < other.GetLength(); ++i) h = (h ^ (uint16_t)other[i]) * 1099511628211ull;
    path = mirror + u"/" + pszName + CWideString::Formatted(u"%016llx.txt", (unsigned long long)h);
    return true;
}

bool CSyncJob::ReadLastSyncCount(int side, uint64_t& n) {
    n = 0;
    CWideString path, e;
    int k = 0;
    CNarrowString text;
    if (!LastSyncCountPath(side, path) || !ReadWholeFile(path, 64, text, k, e)) return false;
    text.Trim();
    return ParseUInt64(text, n, e);
}

void CSyncJob::WriteLastSyncCounts(bool bOnlyWhereMissing) {
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    if (!pRoot) return;
    uint64_t anKept[2] = {0, 0};
    const bool abKept[2] = {ReadLastSyncCount(0, anKept[0]), ReadLastSyncCount(1, anKept[1])};
    // A Sync that carried out nothing left the counts as they were: the
    // whole tree is not walked for them.
    if (abKept[0] && abKept[1] && (bOnlyWhereMissing || (m_nSyncOk.load() == 0 && m_nChangesOk.load() == 0)))
        return;
    uint64_t anRecorded[2] = {0, 0};
    CountRecorded(pRoot, anRecorded);
    for (int s = 0; s < 2; ++s) {
        if (abKept[s] && (bOnlyWhereMissing || anKept[s] == anRecorded[s])) continue;
        CWideString path, e;
        int k = 0;
        if (!LastSyncCountPath(s, path)) continue;
        if (!WriteWholeFile(path, CNarrowString(std::to_string(anRecorded[s]).c_str()) + "\n", k, e)) {
            Log(2, 9707, u"Cannot keep the count of synced items: " + e + u"\n");
            continue;
        }
        // Like everything in the mirror folders, the owner's alone.
        ZorMakeFileOwnerOnly(path);
    }
}

int CSyncJob::FindSideNotAvailable(int from, CWideString& text, CWideString& asItStands) {
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    CSyncTreeNode::CChildMap* map = pRoot ? pRoot->GetChildMap() : nullptr;
    // Per side: the root holds nothing, or nothing that a sync recorded on
    // either side (what stands in an empty mount point). A folder counts by
    // what it holds: a nested job's records tell of a side that is there.
    // Where both sides recorded items but none the same, one side's state
    // file is another job's (a folder put in the side's place holds its
    // data folder): neither side's own records then tell of a side that is
    // there, only the other side's.
    uint64_t anRecorded[2] = {0, 0};
    if (pRoot) CountRecorded(pRoot, anRecorded);
    const bool bForeign = anRecorded[0] > 0 && anRecorded[1] > 0 && !AnyRecordedOnBoth(pRoot);
    bool abEmpty[2] = {true, true}, abBare[2] = {true, true};
    if (map)
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
            if (e->GetKey().EqualsNoCase(kDataFolderName)) continue;
            // Every fresh ext4 drive holds one: it tells nothing of which
            // drive is mounted, nor that one is.
            if (e->GetKey() == u"lost+found") continue;
            for (int s = 0; s < 2; ++s)
                if (e->GetValue().GetItem().m_aCur[s].Exists()) {
                    abEmpty[s] = false;
                    if (abBare[s] && HoldsRecorded(&e->GetValue(), s, bForeign)) abBare[s] = false;
                }
        }
    if (!abBare[0] && !abBare[1]) return -1;
    // Without a record on either side (a first sync) nothing recorded can be lost.
    if (anRecorded[0] == 0 && anRecorded[1] == 0) return -1;
    // Which side's state file is another job's: the one that is not the file
    // the job's own count of records was kept with, when the other is.
    const bool abOwnState[2] = {bForeign && m_abStateFileKept[0], bForeign && m_abStateFileKept[1]};
    for (int s = std::max(from, 0); s < 2; ++s) {
        TvFileSys* fs = m_apFs[s].get();
        if (!abBare[s] || !fs) continue;
        if (abOwnState[s] && !abOwnState[1 - s]) continue;
        // A root that holds its data folder and state file (the job's own:
        // not one that shares no record with the other side) was emptied by
        // the user. One without them (an empty mount point) has lost what the
        // last sync left there: the count kept in the side's mirror folder
        // tells, else the other side's records, unless this job never ran (a
        // new folder, beside another job's data folder). A side that keeps
        // its state in the local mirror is told by its own records, and only
        // when its root is empty: it has no data folder to tell a stray item
        // from the user's.
        FsItemInfo stamp;
        const bool bStateThere = m_aStateFileStamps[s].Lookup(CWideString(), stamp) && stamp.m_nSize > 0;
        uint64_t nLeft = 0;
        const bool bCounted = ReadLastSyncCount(s, nLeft);
        if (!bCounted) nLeft = m_bRanBefore ? anRecorded[1 - s] : 0;
        // Nor is one that records nothing where the job's own count says
        // the last sync left items.
        const bool bOwnState = bStateThere && !bForeign && !(bCounted && nLeft > 0 && anRecorded[s] == 0);
        uint64_t n = 0;
        if (CannotHaveDataFolder(s))
            n = abEmpty[s] ? std::max(anRecorded[s], bOwnState ? 0 : nLeft) : 0;
        else
            n = bOwnState ? 0 : nLeft;
        if (n == 0) continue;
        const CWideString folder = fs->DisplayPath(CWideString());
        const int nShown = (int)std::min<uint64_t>(n, INT32_MAX);
        text =
            abEmpty[s]
                ? CWideString::Formatted(u"The %s folder %s is empty, but the last sync left %d items in it",
                                         s ? u"right" : u"left", folder, nShown)
                : CWideString::Formatted(u"The %s folder %s holds none of the %d items the last sync "
                                         u"left in it%s",
                                         s ? u"right" : u"left", folder, nShown,
                                         bStateThere ? u", only a _tvdata_ that records none of them"
                                                     : u", and no _tvdata_");
        // What the analysed actions do with the side taken as it stands.
        int nCopies = 0, nDeletes = 0;
        const uint8_t intoSide = s ? EA_COPY_LEFT_TO_RIGHT : EA_COPY_RIGHT_TO_LEFT;
        for (CSyncDepthFirstIter it(pRoot); it.IsValid(); it.Next()) {
            const CSyncPairAndAction& item = *it.GetItem();
            if (item.IsExcluded()) continue;
            if (item.IsNewCopy() && item.GetEffAction() == intoSide) ++nCopies;
            if (item.IsPlainDelete() && item.GetEffAction() != intoSide) ++nDeletes;
        }
        auto items = [](int k, const char16_t* verb) {
            return CWideString::Formatted(k == 1 ? u"1 item %s" : u"%d items %s", k, verb);
        };
        const char16_t* other = s ? u"left" : u"right";
        if (nCopies > 0 && nDeletes > 0)
            asItStands = items(nCopies, nCopies == 1 ? u"is copied into it" : u"are copied into it") +
                         CWideString::Formatted(u" and %d deleted on the %s", nDeletes, other);
        else if (nCopies > 0)
            asItStands = items(nCopies, nCopies == 1 ? u"is copied into it" : u"are copied into it");
        else if (nDeletes > 0)
            asItStands =
                items(nDeletes, nDeletes == 1 ? u"is deleted on the " : u"are deleted on the ") + other;
        else
            asItStands = CWideString(u"nothing is copied into it or deleted on the ") + other;
        return s;
    }
    return -1;
}

bool CSyncJob::CheckSidesAvailable(bool bSyncing, int& errKind, CWideString& errText) {
    m_abNotAvailable[0] = m_abNotAvailable[1] = 0;
    CWideString text, asItStands;
    for (int s = FindSideNotAvailable(0, text, asItStands); s >= 0;
         s = FindSideNotAvailable(s + 1, text, asItStands)) {
        if (m_bAllowEmptySide) {
            Log(1, 9705, text + u"; as the user asked, it is synced as it stands: " + asItStands + u"\n");
            continue;
        }
        const CWideString refused =
            text +
            (bSyncing
                 ? u": the folder is taken as not available (is its drive mounted?), so nothing is changed"
                 : u": the folder is taken as not available (is its drive mounted?), so a sync would be "
                   u"refused") +
            u". If it was emptied on purpose, a sync with --force syncs it as it stands: " + asItStands;
        Log(1, 9705, refused + u"\n");
        m_abNotAvailable[s] = 1;
        errKind = FSE_GENERAL;
        errText += refused;
        return false;
    }
    // A folder of a side that became another file system since the last
    // sync, or stopped being one: what the unmount took away is no deletion,
    // and what was mounted is not the folder the last sync saw.
    for (int s = 0; s < 2; ++s) {
        CWideString changed;
        if (MountsAsLastSynced(s, changed)) continue;
        const CWideString what =
            CWideString::Formatted(u"In the %s folder %s, %s became another file system, or stopped being one, "
                                   u"since the last sync",
                                   s ? u"right" : u"left", m_apFs[s]->DisplayPath(CWideString()), changed);
        if (m_bAllowEmptySide) {
            Log(1, 9706, what + u"; as the user asked, it is synced as it stands\n");
            continue;
        }
        const CWideString refused =
            what +
            (bSyncing ? u": the side is taken as not available (is a drive missing there?), so nothing is changed"
                      : u": the side is taken as not available (is a drive missing there?), so a sync would be "
                        u"refused") +
            u". Mount it as it was; if it stays so, a sync with --force syncs it as it stands";
        Log(1, 9706, refused + u"\n");
        m_abNotAvailable[s] = 1;
        errKind = FSE_GENERAL;
        errText += refused;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the steps of Sync

void CSyncJob::BeginSync() {
    CbJobProgress* sink = m_pProgress;
    {
        CCritSectionLock lock(sink->GetLock());
        sink->SetStartTimeNow();
    }
    m_bRunStarted = 1;
    sink->SetProgressRange(0, 95);
    ReportProgress(0, u"Synchronization Started");
    {
        // The next progress report is shown at once.
        CCritSectionLock lock(sink->GetLock());
        sink->m_nLastShowTime = 0;
    }
    // The locks this Sync writes carry a fresh owner line and time.
    ResetKeptFolderMaps();
    ResetLockTexts();
    m_bSyncCarriedOut = 0;
    // A Sync refused before it executes anything leaves no list of an earlier
    // one behind (that tree may be gone since).
    CCritSectionLock lock(m_cs);
    m_ExecutedNodes.clear();
}

bool CSyncJob::ConnectForSync(int& errKind, CWideString& errText) {
    if (!m_bConnected) {
        int failedSide = 0;
        if (!ConnectSides(failedSide, errKind, errText)) return false;
        m_bConnected = 1;
        m_bConnectedByte = 1;
    }
    for (int s = 0; s < 2; ++s)
        if (m_apFs[s]) m_apFs[s]->SetFollowLinksInPaths(m_Options.m_nFolderLinks == 2);
    return true;
}

void CSyncJob::CountWork(std::unordered_set<const CSyncTreeNode*>& busy) {
    bool bMarked = false;
    if (CSyncTreeNode* pRoot = GetPairsUnchecked()) {
        uint8_t* const abHolds = pRoot->GetItem().m_aHoldsDataFolder;
        const uint8_t abHeld[2] = {abHolds[0], abHolds[1]};
        CountPending(pRoot, &busy, bMarked);
        // A side whose state file settles the stored bits, or records that
        // contents proved, saves it all the same.
        for (int s = 0; s < 2; ++s)
            if (m_abSettleStoredBits[s] || m_abSettledRecords[s]) abHolds[s] = abHeld[s];
    }
    const CItemCount* stats = m_Stats.m_aCounts;
    for (int s = 0; s < 2; ++s) {
        bool bNothing = true;
        for (int c : s == 0 ? kWritesLeft : kWritesRight) bNothing = bNothing && stats[c].Total() == 0;
        m_abNothingToWrite[s] = bNothing ? 1 : 0;
    }
}

bool CSyncJob::MakeDataFolders(CDoLockEmbeddedStates& lockPass, int& errKind, CWideString& errText) {
    bool bAnyCreated = false;
    for (int s = 0; s < 2; ++s) {
        // An unattended run made them as it prepared, and locked while it
        // analysed, but on a side it was in doubt about. A root whose lock
        // Analyze could not have (another owner held it) is locked by the
        // lock pass as in any run: held ones stay as they are.
        if (m_nRunKind == RK_AUTOMATIC && !m_abRootInDoubt[s]) {
            lockPass.m_abCreated[s] = 1;
            continue;
        }
        bool bCreated = false;
        CWideString e;
        int k = 0;
        const bool bOk = CreateDataFolder(s, m_apFs[s].get(), bCreated, k, e);
        if (!bOk) {
            if (!m_abNothingToWrite[s] || m_abUntrusted[s]) {
                errKind = k;
                errText += e;
                return false;
            }
            // Nothing is written there: the side goes on without one.
            Log(1, 9678, u"Cannot create _tvdata_ folder: " + e + u"\n");
            (s == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2).m_bNoDataFolder = 1;
        }
        lockPass.m_abCreated[s] = bOk ? 1 : 0;
        bAnyCreated = bAnyCreated || (bOk && bCreated);
    }
    // The lock pass rescans every job folder for the ghosts a new data folder may hold.
    lockPass.m_bRescan = bAnyCreated ? 1 : 0;
    if (bAnyCreated) Log(3, 9691, u"New _tvdata_ folder(s) created, so rescan all job folders for their ghosts\n");
    return true;
}

void CSyncJob::LogSyncStart() {
    Log(0, 9697,
        FormatLocalizedString(IDS_Str_Status_SynchroStarted, ShortNow(), m_Options.m_sName, GetStarterText(),
                              GetComputerNameText()) +
            u"\n");
    Log(2, 9699, FormatOptionsLine() + u"\n");
}

bool CSyncJob::LockDataFolders(CDoLockEmbeddedStates& lockPass, const std::unordered_set<const CSyncTreeNode*>& busy,
                               int& errKind, CWideString& errText) {
    // An unattended run locked its roots while it analysed; the data
    // folders of other jobs nested in its tree it locks here, as any run.
    // Outside the busy subtrees no folder holds a data folder any more (the
    // count cleared them); only a rescan for new ones looks at every folder.
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    if (!(lockPass.m_bRescan || !pRoot ? DoForSubtree(pRoot, lockPass, true)
                                       : DoForBusySubtrees(pRoot, lockPass, this, busy))) {
        errKind = lockPass.m_nErrKind ? lockPass.m_nErrKind : FSE_GENERAL;
        errText += lockPass.m_sErrText;
        return false;
    }
    return true;
}

void CSyncJob::PrepareProgressAndCounters(const std::unordered_set<const CSyncTreeNode*>& busy) {
    CbJobProgress* sink = m_pProgress;
    // Items without an action and without work bytes are left as they are.
    CDoCountBytesOpers countPass;
    if (CSyncTreeNode* pRoot = GetPairsUnchecked())
        if (CSyncTreeNode::CChildMap* map = pRoot->GetChildMap())
            for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
                if (busy.count(&e->GetValue())) DoForBusySubtrees(&e->GetValue(), countPass, this, busy);
    const uint64_t nTotal = countPass.m_nTotal;
    m_nItemsToProcess.store(countPass.m_nOpers);
    {
        CCritSectionLock lock(sink->GetLock());
        sink->m_nTotalBytes = nTotal ? (int64_t)nTotal : 1; // percentages never divide by zero
        sink->m_nLastShownDone = 0;
        sink->m_nBaseDone = 0;
        sink->m_nAvgSpeed = 0;
        sink->m_nCurSpeed = 0;
        sink->m_nCounter1 = 0;
    }
    m_nSyncOk = 0;
    m_nChangesOk = 0;
    m_bSetIdDropped = false;
    m_nSyncErr = 0;
    m_nRunErrors = 0;
    m_nConflicts = 0;
    m_anDiskFull[0] = m_anDiskFull[1] = 0;
    m_anStateUpdates[0] = 0;
    m_anStateUpdates[1] = 0;
    m_nPassingItemErrors = 0;
    CCritSectionLock lock(m_cs);
    m_sPassingItemError.Empty();
    m_ExecutedNodes.clear();
}

bool CSyncJob::Execute(const std::unordered_set<const CSyncTreeNode*>& busy, bool bRescanned, int& errKind,
                       CWideString& errText) {
    TvFileSys* const fs[2] = {m_apFs[0].get(), m_apFs[1].get()};
    // The folder of the items at hand stays open while they execute.
    for (TvFileSys* f : fs)
        if (f) f->KeepFoldersOpen(true);
    m_pBusySubtrees = &busy;
    m_bDataFoldersInBusyOnly = !bRescanned;
    const bool bOk = ExecuteAll(this, fs, errKind, errText);
    m_pBusySubtrees = nullptr;
    m_bDataFoldersInBusyOnly = false;
    for (TvFileSys* f : fs)
        if (f) f->KeepFoldersOpen(false);
    return bOk;
}

void CSyncJob::CollectResults(CWideString& summary) {
    CbJobProgress* sink = m_pProgress;
    {
        CCritSectionLock lock(sink->GetLock());
        sink->m_nTotalBytes = 0;
        sink->m_nItemTotal = 0;
        sink->m_nLastPercent = -1;
    }
    sink->SetProgressRange(0, 100);
    sink->SetSuppressStop(true);
    const CItemCount* stats = m_Stats.m_aCounts;
    ComputeCategoryStats(GetPairsUnchecked(), m_Stats, std::clamp<int>(m_nViewWord, 0, CAT_COUNT - 1),
                         KeptSubtreeCounts());
    m_bWorkRemains = (stats[CAT_PENDING].Total() || stats[CAT_ERROR].Total()) ? 1 : 0;
    summary = CWideString::Formatted(u"SyncOk=%d ChangesOk=%d SyncErr=%d Conflicts=%d", m_nSyncOk.load(),
                                     m_nChangesOk.load(), m_nSyncErr.load(), m_nConflicts.load());
}

bool CSyncJob::ReportOutcome(bool bExecuted, int errKind) {
    if (!bExecuted) {
        if (errKind == FSE_STOPPED) {
            SetRunState(RS_SYNCED, RSS_STOPPED);
        } else {
            SetRunState(RS_SYNCED, RSS_FAILED);
            ReportProgress(0, u"Terminal Sync Error");
        }
        return false;
    }
    if (m_nSyncErr.load() > 0) {
        SetRunState(RS_SYNCED, RSS_ATTENTION);
        Log(0, 9877, FormatLocalizedString(IDS_Str_Status_SynchroErrors, FormatThousands(m_nSyncErr.load())) + u"\n");
    } else if (m_nConflicts.load() > 0) {
        SetRunState(RS_SYNCED, RSS_ATTENTION);
        Log(0, 9881,
            FormatLocalizedString(IDS_Str_Status_SynchroConflicts, FormatThousands(m_nConflicts.load())) + u"\n");
    } else {
        SetRunState(RS_SYNCED, RSS_OK);
        // Only a Sync that ended here, clean, with every copy on disk, leaves
        // the in-sync stamps.
        int k = 0;
        CWideString e;
        if (TvFlushCopies(k, e))
            SetSyncEndedClean(true);
        else
            Log(1, 9883, e + u"\n");
    }
    Log(0, 9905,
        FormatLocalizedString(IDS_Str_Status_SynchroSummary, FormatThousands(m_nSyncOk.load()),
                              FormatThousands(m_nSyncErr.load())) +
            u"\n");
    return true;
}

void CSyncJob::CleanupDataFolders() {
    for (int s = 0; s < 2; ++s) {
        TvFileSys* f = m_apFs[s].get();
        if (!f || !f->IsConnected() || CannotHaveDataFolder(s)) continue;
        const int nDays = CleanupIntervalDays(m_Options, g_EngineOptions.m_nLogRetainDays);
        bool bDue = false;
        CWideString e;
        if (!CheckCleanupStamp(f, nDays, bDue, e))
            Log(2, 9936, u"Cannot determine whether to cleanup: " + e + u"\n");
        if (!bDue) continue;
        ReportProgress(95, u"Cleanup history, old logs");
        CListT<CWideString> deleted;
        if (m_Options.m_bCleanupPastVersions) {
            AddMessageLine(2, CWideString::Formatted(u"Cleanup _history_ files in %s",
                                                     f->DisplayPath(kHistoryFolderPath)));
            CWideString he;
            CleanupHistoryFolder(kHistoryFolderPath, this, f, m_Options.m_nSaveDaysPastVersions, deleted, he);
            for (ZorPosition pos = deleted.GetHeadPosition(); pos;)
                Notify(2, u"Delete history " + deleted.GetNext(pos) + u"\n");
        }
        deleted.RemoveAll();
        CWideString le;
        CleanupOldLogs(f, g_EngineOptions.m_nLogRetainDays, deleted, le);
        for (ZorPosition pos = deleted.GetHeadPosition(); pos;) Notify(2, u"Delete log " + deleted.GetNext(pos) + u"\n");
    }
}

void CSyncJob::ReportCompletion() {
    CbJobProgress* sink = m_pProgress;
    const int64_t nSecs = std::max<int64_t>(0, (CZorTime::Now() - sink->GetStartTime()).GetTotalSeconds());
    const CWideString elapsed = CWideString::Formatted(u"%02d:%02d:%02d", (int)(nSecs / 3600), (int)(nSecs / 60 % 60),
                                                       (int)(nSecs % 60));
    CWideString speed;
    {
        CCritSectionLock lock(sink->GetLock());
        speed = sink->m_sSpeedText;
    }
    // A run too short to measure a speed leaves it out.
    const CWideString done = FormatLocalizedString(IDS_Str_Status_SynchroCompleted, ShortNow(), elapsed,
                                                   speed.IsEmpty() ? CWideString(u"\x0001") : speed);
    Log(0, 9986, TextWithoutSpeed(done) + u"\n");
    ReportProgress(99, CWideString(kProgressPartSep) + elapsed);
    ReportProgress(100, GetLocalizedString(IDS_Str_Status_SyncFinished_OK));
}

bool CSyncJob::Sync(CWideString& summary, int& errKind, CWideString& errText) {
    CbJobProgress* sink = m_pProgress;
    auto refuse = [&]() {
        SetRunState(RS_SYNCED, RSS_REFUSED);
        sink->SetSuppressStop(false);
        return false;
    };
    errKind = FSE_NONE;
    m_bDataFoldersNotTaken = 0;
    BeginSync();
    if (!ConnectForSync(errKind, errText)) return refuse();
    std::unordered_set<const CSyncTreeNode*> busy;
    CountWork(busy);
    if (!CheckSidesAvailable(true, errKind, errText)) return refuse();

    // Preparing and locking run to their end even if the user presses Stop.
    sink->SetSuppressStop(true);
    CDoLockEmbeddedStates lockPass;
    auto notTaken = [&]() {
        m_bDataFoldersNotTaken = !m_bLockedByOther && !m_abUntrusted[0] && !m_abUntrusted[1];
        return refuse();
    };
    if (!MakeDataFolders(lockPass, errKind, errText)) return notTaken();
    LogSyncStart();
    if (!CheckAutoSyncLimits(m_Stats.m_aCounts, errKind, errText)) {
        sink->SetSuppressStop(false);
        return false;
    }
    if (g_pfnJobMayRun && !g_pfnJobMayRun(this, true, errText)) {
        if (!errKind) errKind = FSE_GENERAL;
        return refuse();
    }
    if (!LockDataFolders(lockPass, busy, errKind, errText)) return notTaken();
    // Every lock is the job's now: another owner's, met by the Analyze, is
    // gone, and the run is not a refused one.
    m_bLockedByOther = 0;
    RemoveLeftoverTempFiles();
    sink->SetSuppressStop(false);
    ShowSideStatus(true);

    PrepareProgressAndCounters(busy);
    m_bSyncCarriedOut = 1;
    const auto modesToLookAt = CopiesToLookAt();
    const bool bExecuted = Execute(busy, lockPass.m_bRescan != 0, errKind, errText);
    if (bExecuted) RepairCopyModes(modesToLookAt);
    CollectResults(summary);
    WriteLastSyncCounts(false);
    KeepMountsBelow(false);
    if (!ReportOutcome(bExecuted, errKind)) return false;
    CleanupDataFolders();
    ReportCompletion();
    return true;
}
