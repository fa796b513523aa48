// The Analyze driver: scans both sides, applies the filters, decides every
// item's action, runs the decision passes, estimates the space the sync will
// need and reports the outcome. Nothing is changed on either side.
#include "syncjob.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

std::atomic<bool> g_bDumpActions{false};

namespace {

// "9.2.9.0 x86_64 on Linux 6.1.0": the version, then the machine as uname tells it.
CWideString VersionText() {
    return Utf8ToWide(kEngineVersion) + u" " + GetSystemText();
}

} // namespace

CWideString TextWithoutSpeed(const CWideString& text) {
    const int at = text.Find(u'\x0001');
    if (at < 0) return text;
    int from = text.Left(at).ReverseFind(u',');
    if (from < 0) from = at;
    int to = at + 1;
    if (text.Mid(to).StartsWith(u" files/s")) to += 8;
    return text.Left(from) + text.Mid(to);
}

// ---------------------------------------------------------------- texts

CWideString CSyncJob::FormatSideText(int side) const {
    side &= 1;
    const TvConnectInfo& ci = side ? m_Options.m_Dir2 : m_Options.m_Dir1;
    CWideString text = UrlToLocalPath(ci.m_sUrl);
    const TvFileSys* fs = m_apFs[side].get();
    if (fs) {
        const CWideString root = fs->DisplayPath(CWideString());
        if (!root.EqualsNoCase(text.GetString())) text += u" (" + root + u")";
    }
    if (ci.m_bFatLike) text += u" [fat-like]";
    if (ci.m_bDecrypt) text += u" [decrypt]";
    if (ci.m_bEncrypt) text += u" [encrypt]";
    if (ci.m_bCompress) text += u" [compress]";
    if (ci.m_bUncompress) text += u" [uncompress]";
    if (ci.m_bImplicit) text += u" [implicit]";
    if (ci.m_bActive) text += u" [active]";
    if (ci.m_bMdtm) text += u" [mdtm]";
    if (ci.m_bPingControl) text += u" [ping-control]";
    if (fs && fs->GetCapability(TVFS_CAP_COOKIES)) text += ci.m_bSendCookies ? u" [cookies]" : u" [no-cookies]";
    if (fs && fs->GetCapability(TVFS_CAP_DIRECT_DEST_OK))
        text += ci.m_bUseTmpDestFile ? u" [TmpDest]" : u" [DirectDest]";
    if (ci.m_nChunkSize != 262144) text += CWideString::Formatted(u" [chunk-size=%d]", (int64_t)ci.m_nChunkSize);
    if (ci.m_bHostBasedAddr && fs && fs->GetCapability(TVFS_CAP_HOST_BASED)) text += u" [host-based]";
    if (!ci.m_bUtf8) text += u" [ansi]";
    if (ci.m_bWinInet && fs && fs->GetCapability(TVFS_CAP_WININET)) text += u" [wininet]";
    if (!ci.m_bUseProxy) text += u" [no-proxy]";
    if (!ci.m_sAccessPolicy.IsEmpty()) text += u" acp=" + ci.m_sAccessPolicy;
    if (!ci.m_sServerProfile.IsEmpty()) text += u" session=" + ci.m_sServerProfile;
    if (!ci.m_sPrivateKey.IsEmpty()) text += u" [priv-key]";
    return text;
}

CWideString CSyncJob::FormatOptionsLine() const {
    const CSyncJobOptions& o = m_Options;
    const CWideString props = o.m_bPropagateDeletions ? u"PropDels" : u"NoPropDels";
    CWideString dir;
    if (o.m_nDirection == 0) {
        dir = o.m_bPropagateDeletions ? u"<->" : u"<-no-prop-del->";
    } else if (o.m_nDirection == 1 || o.m_nDirection == 2) {
        const bool r = o.m_nDirection == 1;
        switch (o.m_n1wayMode) {
            case OWM_FORCED: dir = CWideString::Formatted(r ? u"=forced-%s=>" : u"<=forced-%s=", props); break;
            case OWM_VERIFIED: dir = CWideString::Formatted(r ? u"-verified-%s->" : u"<-verified-%s-", props); break;
            case OWM_MOVE: dir = r ? u"-move->" : u"<-move-"; break;
            default: dir = u"-(!BAD-DIR!)-"; break;
        }
    } else {
        dir = u"-(!BAD-DIR!)-";
    }
    CWideString s = CWideString::Formatted(u"%s: %s %s %s", o.m_sName, FormatSideText(0), dir, FormatSideText(1));
    auto flag = [&](bool b, const char16_t* t) {
        if (b) s += t;
    };
    auto num = [&](bool b, const char16_t* fmt, int64_t n) {
        if (b) s += CWideString::Formatted(fmt, n);
    };
    flag(o.m_bReadOnlySource, u", ReadOnlySrc");
    flag(o.m_bConflictOnDiffItemsNoCommonHistory, u", ConflictOnDiffItemsNoCommonHistory");
    flag(o.m_bCompareMD5crc, u", CompareMD5crc");
    flag(o.m_bSavePreviousVersion, u", SavePrevVers");
    num(o.m_bCleanupPreviousVersion, u", CleanupPrevVers=%dd", o.m_nSaveDaysPreviousVersion);
    flag(o.m_bNoSavePreviousPastVersionsLocal, u", NoSavePrevVersionsLocal");
    flag(o.m_bSavePastVersions, u", SavePastVers");
    num(o.m_bCleanupPastVersions, u", bCleanupPastVers=%dd", o.m_nSaveDaysPastVersions);
    num(o.m_bCleanupOldGenerations, u", CleanupOldGens=%dm", o.m_nSaveMonthsOldGens);
    s += o.m_bCopyUsingTempFile ? u", TmpDest" : u", DirDest";
    flag(o.m_bSameBeforeSyncAsInAnalyze, u", SameBeforeSyncAsInAnalyze");
    flag(o.m_bEstimateRequiredSpace, u", EstReq");
    flag(o.m_bCopyLockedFiles, u", CopyLocked");
    flag(o.m_bFastPreAnalyzeWithStamps, u", FastPreAnalyze");
    flag(o.m_bWaitForLocks, u", WaitForLocks");
    flag(o.m_bFastStop, u", FastStop");
    flag(o.m_bDetectMovesAndRenames, u", DetectMovesAndRenames");
    flag(o.m_bDetectFolderMoves, u", DetectFolderMoves");
    num(o.m_nWorkerThreads != 0, u", WorkerThreads=%d", o.m_nWorkerThreads);
    flag(o.m_nFolderLinks == 1, u", FolderLinksCopy");
    flag(o.m_nFolderLinks == 2, u", FolderLinksDrill");
    flag(o.m_nFileLinks == 1, u", FileLinksCopy");
    flag(o.m_nFileLinks == 2, u", FileLinksDrill");
    num(o.m_bAutoReconnect, u", Reconnect=%d", o.m_nReconnectAttempts);
    num(o.m_nSpeedLimit != 0, u", SpeedLimit=%d", o.m_nSpeedLimit);
    num(o.m_nUpSpeedLimit != 0, u", UpSpeedLimit=%d", o.m_nUpSpeedLimit);
    flag(o.m_bCopyACL, u", CopyACL");
    flag(o.m_bCopyCreateTime, u", CopyCreateTime");
    if (o.m_nDirection == 0 && o.m_nAutoResolveConflicts != 0) {
        const int v = o.m_nAutoResolveConflicts;
        s += u", ResolveConflicts=";
        s += v == 1 ? u"LeftToRight" : v == 2 ? u"RightToLeft" : v == 3 ? u"NewerFileWins" : u"bad-value";
    }
    num(o.m_nAutoStartDelay != 0, u", AutoStartDelay=%d", o.m_nAutoStartDelay);
    num(o.m_nOnFileChangeDelay != 0, u", OnFileChangeDelay=%d", o.m_nOnFileChangeDelay);
    num(o.m_nLimitChangesPercent != 100, u", ChangeLimit=%d", o.m_nLimitChangesPercent);
    flag(o.m_bRenameLosingFile, u", RenamesLosingFile");
    flag(o.m_bAutoClearTree, u", AutoClear");
    if (!o.m_sPreAnalyzeScriptOrEmail.IsEmpty()) s += u", PreAnalyzeAction=" + o.m_sPreAnalyzeScriptOrEmail;
    if (!o.m_sPostAnalyzeScriptOrEmail.IsEmpty()) s += u", PostAnalyzeAction=" + o.m_sPostAnalyzeScriptOrEmail;
    if (!o.m_sPostSyncScriptOrEmail.IsEmpty()) s += u", PostSyncAction=" + o.m_sPostSyncScriptOrEmail;
    return s;
}

CWideString CSyncJob::FormatFilterFlags() const {
    CWideString s;
    if (m_Options.m_bExcludeHidden) s += GetLocalizedString(IDS_Str_Msg_Filter_ExcludeHidden) + u", ";
    if (m_Options.m_bExcludeSystem) s += GetLocalizedString(IDS_Str_Msg_Filter_ExcludeSystem) + u", ";
    if (m_Options.m_bExcludeEmptyFolders) s += GetLocalizedString(IDS_Str_Msg_Filter_ExcludeEmptyFolders) + u", ";
    return s;
}

// ---------------------------------------------------------------- the driver

void CSyncJob::ProbeSideClock(int side) {
    side &= 1;
    m_aSideClock[side] = CSideClock();
    m_abSettledRecords[side] = false;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs) return;
    // A run that may write on the side reads its clock, and the step of the
    // times it keeps, from a file it makes in the side's data folder (a
    // mounted file system may keep its own time, and whole seconds only);
    // else the clock its file system stamps with stands, step unknown.
    const bool bProbe = m_bSync && !IsReadOnlySide(side) && !CannotHaveDataFolder(side);
    uint32_t nStep = 0, nNone = 0;
    const int64_t nStart = fs->ProbeClockNs(bProbe ? CWideString(kDataFolderPath) : CWideString(), nStep);
    const int64_t nClock = fs->ProbeClockNs(CWideString(), nNone);
    if (nStart <= 0) return;
    m_aSideClock[side].nStartNs = nStart;
    m_aSideClock[side].nStepNs = nStep;
    m_aSideClock[side].nSkewNs = nClock > 0 ? nStart - nClock : 0;
}

uint32_t CSyncJob::RacyMark(int side, uint32_t nSeconds, uint32_t nNanoseconds) const {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || m_aSideClock[side].nStartNs <= 0) return 0;
    // The side's clock now is read only for a time that is not clearly old.
    if (!IsRacyTime(nSeconds, nNanoseconds, m_aSideClock[side], 0)) return 0;
    uint32_t nNone = 0;
    return IsRacyTime(nSeconds, nNanoseconds, m_aSideClock[side], fs->ProbeClockNs(CWideString(), nNone))
               ? kStampRacy
               : 0;
}

bool CSyncJob::Analyze(const GlobalFilters* pGlobal, bool bForSync, bool bScanFlag1, bool bScanFlag2,
                       CWideString& summary, int& errKind, CWideString& errText) {
    // The changed subtrees are this Analyze's alone; a full scan reads every item.
    struct CDropChanged {
        CSyncJob& job;
        ~CDropChanged() {
            job.m_pChanged.reset();
            job.m_pVisited.reset();
        }
    } dropChanged{*this};
    const int64_t nStart = CZorTime::Now().GetTime();
    const CWideString start = FormatLocalDateTime(nStart);
    Log(0, 2223,
        FormatLocalizedString(IDS_Str_Status_AnalysisStarted, start, m_Options.m_sName, GetStarterText(),
                              GetComputerNameText(), VersionText()) +
            u"\n");
    Log(2, 2225, FormatOptionsLine() + u"\n");
    if (g_pfnJobMayRun && !g_pfnJobMayRun(this, bForSync, errText)) return false;
    {
        CCritSectionLock lock(m_pProgress->GetLock());
        m_pProgress->m_nCounter1 = 0;
        m_pProgress->m_nCounter2 = 0;
        m_pProgress->m_nLastPercent = -1;
    }
    m_Filters = m_Options.m_Filters;
    if (pGlobal) {
        m_Filters.m_lstIncluded.AddTailList(CListT<CWideString>(pGlobal->m_lstIncluded));
        m_Filters.m_lstExcluded.AddTailList(CListT<CWideString>(pGlobal->m_lstExcluded));
    }
    m_FilterMatcher.Compile(m_Filters);
    Log(2, 2251, FormatFilterFlags() + m_Filters.Describe() + u"\n");
    m_bNotEnoughSpace = 0;
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    if (bScanFlag1) m_pChanged.reset();
    const CWideString settings = FormatOptionsLine() + u"\n" + FormatFilterFlags() + m_Filters.Describe();

    BeginFilterJudging(pRoot);
    m_aSkippedFolderLinks.clear();
    // The two scans.
    const int64_t nScansStart = ZorGetTickMs();
    for (int side = 0; side < 2; side++) {
        m_nScanMsBefore = side ? ZorGetTickMs() - nScansStart : 0;
        CSyncTime t = CurrentSyncTime();
        if (side == 1 && CSyncTime::IsSame(t, m_aScanTime[0])) t = CSyncTime(m_aScanTime[0].GetTime() + 3);
        m_aScanTime[side] = t;
        m_anScanStartMs[side] = ZorGetClock().NowMs();
        ProbeSideClock(side);
        m_anFsScanStartMs[side] = m_apFs[side] ? m_apFs[side]->FileSystemNowMs() : 0;
        m_anIdentRecordedNs[side] = StateFileSavedNs(side);
        if (bScanFlag1) m_abIdentNoBirth[side] = false;
        m_abTimeNotKeptSaid[side].store(false);
        NoteMountsAtScan(side);
        m_pProgress->SetProgressRange(side ? 48 : 1, side ? 95 : 47);
        CWideString e;
        const bool bOk = AnalyzeSide(pRoot, &m_aScanTime[side], side, bScanFlag1, bScanFlag2, errKind, e);
        m_nScanMsBefore = 0;
        if (!bOk) {
            errText = u"Error analyzing " + UrlToLocalPath(GetSideFolder(side)) + u": " + e;
            return false;
        }
    }

    KeepSkippedLinksFacingItemsAsErrors(pRoot);
    // Filters over both sides' records.
    SetProgress(96, u"Applying Exclude and Include Filters", false);
    m_pVisited = TakeVisitedSubtrees(pRoot, settings);
    FilterOverBothSides(pRoot);

    m_pProgress->SetProgressRange(0, 100);
    SetProgress(97, GetLocalizedString(IDS_Str_Status_CompareLeftToRight), false);
    // Without the option the walk would change nothing.
    if (m_Options.m_bExcludeEmptyFolders) ExcludeEmptyFolders(pRoot, true, true);
    // The decision notes the folders the passes after it enter; one that
    // visits some subtrees only starts from those the last passes entered.
    if (!m_bPassesOverWholeTree) {
        if (m_pVisited)
            m_pActiveFolders = std::move(m_pEnteredBefore);
        else
            m_pActiveFolders = std::make_unique<std::unordered_set<const CSyncTreeNode*>>();
    }
    m_pEnteredBefore.reset();
    m_sAnalyzedSettings.Empty();
    DecideActions(pRoot);
    SetProgress(98, GetLocalizedString(IDS_Str_Status_PostProcessing), false);
    RunDecisionPasses();
    m_sAnalyzedSettings = settings;

    SetProgress(99, u"Computing Statistics", false);
    for (int side = 0; side < 2; side++) {
        m_aDiskSpace[side] = CDiskSpaceInfo();
        TvFileSys* fs = m_apFs[side].get();
        int64_t nFree = 0, nTotalFree = 0, nTotal = 0;
        int k = 0;
        CWideString e;
        if (fs && fs->GetCapability(TVFS_CAP_FREE_SPACE) &&
            fs->GetFreeDiskSpace(CWideString(), nFree, nTotalFree, nTotal, k, e)) {
            m_aDiskSpace[side].m_nTotal = (uint64_t)nTotal;
            m_aDiskSpace[side].m_nFree = (uint64_t)nFree;
        }
    }
    if (m_Options.m_bEstimateRequiredSpace) {
        SetProgress(99, GetLocalizedString(IDS_Str_Status_ComputePrevVerSize), false);
        ComputeRequiredSpace();
        m_bTreeHasSizes = 1;
        for (int side = 0; side < 2; side++) {
            const CDiskSpaceInfo& d = m_aDiskSpace[side];
            const CWideString disk = GetDiskDisplayName(side);
            const CWideString req = FormatByteSize(d.m_nRequired), fr = FormatByteSize(d.m_nFree);
            Log(2, 2381, FormatLocalizedString(IDS_Str_Msg_RequiredDiskSpace, disk, req, fr) + u"\n");
            const TvFileSys* fs = m_apFs[side].get();
            if (fs && fs->GetCapability(TVFS_CAP_FREE_SPACE) && d.m_nRequired > 0 && d.m_nRequired >= d.m_nFree) {
                m_bNotEnoughSpace = 1;
                errText = FormatLocalizedString(IDS_Str_Msg_NotEnoughDiskSpace, disk, req, fr);
                Log(1, 2388, errText + u"\n");
            }
        }
    }

    // The folder records are built for the category the user is viewing.
    const int nView = (m_nViewWord >= 0 && m_nViewWord < CAT_COUNT) ? (int)m_nViewWord : (int)CAT_CHANGED;
    // Only the folders whose items this Analyze visited or its passes entered
    // are counted again; the others keep the counts of the last statistics.
    const auto recount = [&](const CSyncTreeNode* p) {
        return m_pVisited->IsRoot(p) ? 1 : (m_pVisited->IsAbove(p) || m_pEnteredBefore->count(p)) ? 2 : 0;
    };
    if (!m_pVisited || !m_pEnteredBefore || !m_bKeepSubtreeCounts ||
        !RecountCategoryStats(pRoot, m_Stats, nView, m_SubtreeCounts, recount))
        ComputeCategoryStats(pRoot, m_Stats, nView, KeptSubtreeCounts());
    m_pVisited.reset();
    auto cnt = [&](int c) { return (int64_t)m_Stats.m_aCounts[c].Total(); };
    const int64_t nChanges = cnt(CAT_CHANGED), nConflicts = cnt(CAT_CONFLICT), nErrors = cnt(CAT_ERROR);
    const int64_t nCopyTime = cnt(CAT_TIME_LTOR) + cnt(CAT_TIME_RTOL);
    const int64_t nNameCase = cnt(CAT_NAME_CASE_LTOR) + cnt(CAT_NAME_CASE_RTOL);
    const int64_t nCopyState = cnt(CAT_STATE_LTOR) + cnt(CAT_STATE_RTOL);
    const int64_t nMerge = cnt(CAT_MERGE_GENS);
    m_bHasChanges = (nChanges || nConflicts || nCopyTime || nCopyState || nMerge || nNameCase) ? 1 : 0;
    summary = CWideString::Formatted(u"Changed=%d Errors=%d Conflicts=%d",
                                     nChanges + nConflicts + nCopyTime + nCopyState + nNameCase, nErrors, nConflicts);

    const int64_t nNow = CZorTime::Now().GetTime();
    const CWideString end = FormatLocalDateTime(nNow);
    // The run driver starts the sink's clock; an Analyze called on its own
    // measures from its own start.
    const int64_t nSinkStart = m_pProgress->GetStartTime().GetTime();
    int64_t elapsed = nNow - (nSinkStart > 0 ? nSinkStart : nStart);
    if (elapsed < 0) elapsed = 0;
    const CWideString elapsedText = CWideString::Formatted(u"%02d:%02d:%02d", elapsed / 3600, (elapsed / 60) % 60,
                                                           elapsed % 60);
    SetProgress(99, CWideString(kProgressPartSep) + elapsedText, false);

    // A pair found in sync keeps what its last sync left, where that was not kept yet.
    if (!m_bHasChanges) WriteLastSyncCounts(true), KeepMountsBelow(true);
    // An analysis that no Sync follows says so when a Sync would be refused.
    CWideString refusal;
    int nRefusalKind = 0;
    if (!m_bSync && CheckSidesAvailable(false, nRefusalKind, refusal)) refusal.Empty();
    if (!refusal.IsEmpty()) {
        SetRunState(RS_ANALYZED, RSS_ATTENTION);
        errText = refusal;
        ReportProgress(100, CWideString());
    } else if (m_bNotEnoughSpace) {
        SetRunState(RS_ANALYZED, RSS_ATTENTION);
        ReportProgress(100, GetLocalizedString(IDS_Str_Status_AnalyzeFinished_ReadyToSync));
    } else if (nConflicts > 0) {
        SetRunState(RS_ANALYZED, RSS_ATTENTION);
        errText = GetLocalizedString(IDS_Str_Status_Advise_HaveConflicts);
        Log(2, 2447, errText + u"\n");
        ReportProgress(100, CWideString());
    } else if (nErrors > 0) {
        SetRunState(RS_ANALYZED, RSS_ATTENTION);
        errText = GetLocalizedString(IDS_Str_Status_Advise_HaveErrors);
        Log(2, 2453, errText + u"\n");
        ReportProgress(100, CWideString());
    } else {
        SetRunState(RS_ANALYZED, RSS_OK);
        ReportProgress(100, GetLocalizedString(m_bHasChanges ? IDS_Str_Status_AnalyzeFinished_ReadyToSync
                                                             : IDS_Str_Status_AnalyzeFinished_NoChanges));
    }
    if (g_bDumpActions.load()) {
        CWideString dump;
        DumpActions(true, dump);
        Log(2, 2477, dump);
    }
    auto th = [](int64_t n) { return FormatThousands((uint32_t)n); };
    Log(0, 2488,
        FormatLocalizedString(IDS_Str_Status_AnalysisSummary, th(nChanges), th(nConflicts), th(nCopyTime),
                              th(nCopyState) + u"/" + th(nMerge), th(nErrors)) +
            u"\n");
    static const int kDirCats[2][6] = {{CAT_COPY_LTOR, CAT_DELETE_RIGHT, CAT_MOVE_LTOR, CAT_TIME_LTOR,
                                        CAT_NAME_CASE_LTOR, CAT_STATE_LTOR},
                                       {CAT_COPY_RTOL, CAT_DELETE_LEFT, CAT_MOVE_RTOL, CAT_TIME_RTOL,
                                        CAT_NAME_CASE_RTOL, CAT_STATE_RTOL}};
    static const char16_t* const kDirTexts[6] = {u"Copy File: %d ",      u"Delete File: %d ",
                                                 u"Rename/Move File/Folder: %d ", u"Copy Time: %d ",
                                                 u"Name Case Change: %d ", u"Copy State: %d "};
    for (int d = 0; d < 2; d++) {
        CWideString line = d == 0 ? u"Left to Right: " : u"Right to Left: ";
        bool bAny = false;
        for (int i = 0; i < 6; i++) {
            const int64_t n = cnt(kDirCats[d][i]);
            if (!n) continue;
            bAny = true;
            line += CWideString::Formatted(kDirTexts[i], n);
        }
        if (bAny) Log(2, d == 0 ? 2553 : 2556, line + u"\n");
    }
    Log(3, 2564, CWideString::Formatted(u" All Nodes (Live+Dead): %d", cnt(CAT_ALL)) + u"\n");
    Log(3, 2567,
        CWideString::Formatted(u" All Live Files: %d, Folders: %d", (int64_t)m_Stats.m_aCounts[CAT_EXISTING].m_nFiles,
                               (int64_t)m_Stats.m_aCounts[CAT_EXISTING].m_nFolders) +
            u"\n");
    // A speed is a number: a run too short to measure one leaves it out.
    CWideString done = FormatLocalizedString(IDS_Str_Status_AnalysisCompleted, end, elapsedText, u"\x0001");
    if (elapsed != 0)
        done.Replace(u"\x0001", FormatCountShort((uint64_t)(cnt(CAT_EXISTING) / elapsed)));
    else
        done = TextWithoutSpeed(done);
    Log(0, 2573, done + u"\n");
    return true;
}

// ---------------------------------------------------------------- dump and user resolution

void CSyncJob::DumpActions(bool bForWrite, CWideString& text) {
    CSyncTreeNode* pRoot = bForWrite ? GetPairsUnchecked() : GetPairsForRead();
    if (!pRoot) return;
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pNode = it.GetNode();
        const CSyncPairAndAction& item = pNode->GetItem();
        if (item.IsExcluded()) continue;
        const uint8_t eff = item.GetEffAction();
        const bool bToR = (eff & EA_BIT_TO_RIGHT) != 0;
        const int dst = bToR ? 1 : 0;
        CWideString path = pNode->GetPath();
        switch (eff) {
            case EA_NO_COPY: break;
            case EA_COPY_STATE_MERGE_GENS: text += u"<> SyncState: " + path + u"\n"; break;
            case EA_CONFLICT: text += u"?? CONFLICT: " + path + u"\n"; break;
            case EA_ERROR: text += u"?? ERROR: " + path + u"\n"; break;
            case EA_COPY_LEFT_TO_RIGHT:
            case EA_COPY_RIGHT_TO_LEFT: {
                const CSideInfo& src = item.m_aCur[1 - dst];
                const CSideInfo& tgt = item.m_aCur[dst];
                const CWideString arrow = bToR ? u"->" : u"<-";
                const CWideString del = bToR ? u"x>" : u"<x";
                if (!item.GetMove().IsEmpty()) {
                    text += arrow + u" Rename: " + GetItemSidePath(pNode, dst) + u"\n";
                } else if (src.IsFolder() != tgt.IsFolder() && src.Exists() && tgt.Exists()) {
                    text += u"?? File vs Folder: " + path + u"\n";
                } else if (!src.Exists() && tgt.IsFolder()) {
                    text += del + u" Delete Folder: " + path + u"\n";
                } else if (src.IsFolder()) {
                    text += arrow + u" Create Folder: " + path + u"\n";
                } else if (!src.Exists()) {
                    text += del + u" Delete File: " + path + u"\n";
                } else {
                    text += arrow + (tgt.Exists() ? u" Copy Over: " : u" Copy New: ") + path + u"\n";
                }
                break;
            }
            case EA_NAME_CASE_LEFT_TO_RIGHT: text += u"-> NameCase: " + path + u"\n"; break;
            case EA_NAME_CASE_RIGHT_TO_LEFT: text += u"<- NameCase: " + path + u"\n"; break;
            case EA_TIME_LEFT_TO_RIGHT: text += u"-> CopyTime: " + path + u"\n"; break;
            case EA_TIME_RIGHT_TO_LEFT: text += u"<- CopyTime: " + path + u"\n"; break;
            case EA_COPY_STATE_LEFT_TO_RIGHT: text += u"-> CopyState: " + path + u"\n"; break;
            case EA_COPY_STATE_RIGHT_TO_LEFT: text += u"<- CopyState: " + path + u"\n"; break;
            default: text += u"!! UNKNOWN: " + path + u"\n"; break;
        }
    }
}

bool CSyncJob::ResolveConflictByUser(CSyncTreeNode* pNode, int mode) {
    if (!pNode) return false;
    CSyncPairAndAction& item = pNode->GetItem();
    const CWideString path = pNode->GetPath();
    if (item.GetEffAction() == EA_CONFLICT || IsUserChanged(item)) {
        int side = -1;
        CWideString text;
        if (mode == 2) {
            side = 1;
            text = u"User resolved the conflict: R wins: " + path + u"\n";
        } else if (mode == 1) {
            side = 0;
            text = u"User resolved the conflict: L wins: " + path + u"\n";
        } else {
            const uint32_t l = item.m_aCur[0].m_tFile.GetTime(), r = item.m_aCur[1].m_tFile.GetTime();
            if (r > l) {
                side = 1;
                text = u"User resolved the conflict: Newer R wins: " + path + u"\n";
            } else if (l > r) {
                side = 0;
                text = u"User resolved the conflict: Newer L wins: " + path + u"\n";
            } else {
                Log(1, 15903, u"Cannot resolve conflict because time is the same on both sides: " + path + u"\n");
            }
        }
        if (side >= 0) {
            // The run's lines go on in the log of the user's actions, as with every edit.
            OpenRunLog(true, GetRunLogName().EndsWith(u"-user-action.log"));
            SetCopyDirection(item, side, true, this, text);
        }
    }
    if (pNode->IsContainer()) {
        // A folder whose direction was set hands that direction to every
        // item below it that the user's view shows.
        if ((item.m_nFlags & SPF_DIRECTION_SET) && item.IsFolder() && mode != 0) {
            CChangeActionInVisible pass(item.m_nUserAction, m_nViewWord);
            DoForSubtree(pNode, pass, false);
            return true;
        }
        CSyncLevelIter it(pNode);
        for (; it.IsValid(); it.Next())
            if (!ResolveConflictByUser(it.GetNode(), mode)) return false;
    }
    return true;
}
