// Change monitoring of a job's sides: the monitor thread, switching monitors
// on and off, and the intake and filtering of changes.
#include "file-monitor.h"

#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"

namespace {

constexpr const char16_t* kAskedToStop = u"Was asked to stop";

CWideString JoinError(const CWideString& head, const CWideString& err) {
    return head + err;
}

} // namespace

bool IsEngineOwnChangePath(const CWideString& path) {
    const char16_t* p = path.GetString();
    const int n = path.GetLength();
    int i = 0;
    while (i < n) {
        while (i < n && p[i] == u'/') i++;
        const int nStart = i;
        while (i < n && p[i] != u'/') i++;
        if (i == nStart) break;
        CWideString comp(p + nStart, i - nStart);
        if (comp.EqualsNoCase(CSyncJob::kDataFolderName) || comp.EndsWithNoCase(u"._tvtmp")) return true;
    }
    return false;
}

// ============================================================ CFileSysMonitor
CFileSysMonitor::~CFileSysMonitor() {
    Stop();
}

std::shared_ptr<TvFileSys> CFileSysMonitor::GetFs() const {
    CCritSectionLock lock(m_csFs);
    return m_pFs;
}

CWideString CFileSysMonitor::GetRootDisplay() const {
    CCritSectionLock lock(m_csFs);
    return m_sRootDisplay.IsEmpty() ? m_ConnectInfo.m_sUrl : m_sRootDisplay;
}

void CFileSysMonitor::SetRootDisplay(const CWideString& text) {
    CCritSectionLock lock(m_csFs);
    m_sRootDisplay = text;
}

void CFileSysMonitor::SetFs(std::shared_ptr<TvFileSys> pFs) {
    std::shared_ptr<TvFileSys> old;
    {
        CCritSectionLock lock(m_csFs);
        old = std::move(m_pFs);
        m_pFs = std::move(pFs);
    }
    // The old file system goes here, outside the lock, unless an intake
    // still holds it; then it goes when the intake lets it go.
}

void CFileSysMonitor::Stamped(const CWideString& text) {
    if (m_pJob) m_pJob->StampedNotify(text);
}

void CFileSysMonitor::Tell(const CWideString& text) {
    if (m_pJob)
        m_pJob->Notify(2,
                       CWideString(u"** The ") + (m_nSide ? u"right" : u"left") + u" folder " + text + u"\n");
}

void CFileSysMonitor::ThreadBody() {
    Run();
}

uint32_t CFileSysMonitor::Run() {
    int errKind = 0;
    CWideString errText;
    FileMonitor(errKind, errText);
    m_nLastErrKind = errKind;
    m_sLastError = errText;
    return 0;
}

bool CFileSysMonitor::WaitBeforeReconnect() {
    CMonitoredJob* job = m_pJob;
    if (m_nAttemptsLeft < 1)
        m_nReconnectInterval = m_nBaseInterval;
    else
        m_nAttemptsLeft--;
    for (;;) {
        if (job->m_bMonitorEnded.load() || IsStopRequested()) return false;
        if (m_bRetryNow.exchange(false)) return true;
        if (job->m_bConnectHint.exchange(0)) {
            m_nReconnectInterval = kHintInterval;
            m_nAttemptsLeft = kHintAttempts;
            return true;
        }
        if ((CZorTime::Now() - m_tLastAttempt).GetTimeSpan() >= m_nReconnectInterval) return true;
        ZorSleepMs(1000);
    }
}

bool CFileSysMonitor::WaitUnwatchable() {
    CMonitoredJob* job = m_pJob;
    for (int i = 0; i < kUnwatchableRetrySeconds; ++i) {
        if (job->m_bMonitorEnded.load() || IsStopRequested()) return false;
        if (m_bRetryNow.exchange(false)) break;
        ZorSleepMs(1000);
    }
    return !job->m_bMonitorEnded.load() && !IsStopRequested();
}

bool CFileSysMonitor::WatchFolder(TvFileSys* pFs, bool& bStopRequested, int& errKind, CWideString& errText) {
    CMonitoredJob* job = m_pJob;
    const CWideString& url = m_ConnectInfo.m_sUrl;
    for (;;) {
        pFs->Close();
        for (int round = 0; round < kFolderCheckRounds; ++round) {
            ZorSleepMs(1000);
            if (job->m_bMonitorEnded.load() || IsStopRequested()) {
                errKind = FSE_GENERAL;
                errText = kAskedToStop;
                bStopRequested = true;
                return true;
            }
            if (m_bRestart.exchange(false) || m_bRetryNow.exchange(false)) break;
        }
        int k = 0;
        CWideString e;
        if (!pFs->Connect(m_ConnectInfo, job->GetFsProgress(), k, e)) {
            errKind = k;
            errText = u"Cannot connect to monitor: " + url + u": " + e;
            return false;
        }
        FsItemInfo info;
        bool bMissing = false;
        if (!pFs->GetInfo(u"", info, bMissing, k, e)) {
            errKind = k;
            errText = u"Doing GetInfo on Folder to monitor: " + url + u": " + e;
            return false;
        }
        if (bMissing) {
            errKind = FSE_GENERAL;
            errText = u"Folder to monitor does not exist: " + url;
            return false;
        }
    }
}

void CFileSysMonitor::FileMonitor(int& errKind, CWideString& errText) {
    CMonitoredJob* job = m_pJob;
    const CSyncJobOptions& opt = job->m_Options;
    const bool bFileChange = opt.m_nOnFileChangeAction != 0;
    const bool bFolderConnect = opt.m_nOnFolderConnectAction != 0;
    const CWideString url = m_ConnectInfo.m_sUrl;

    // A run of the job may be under way (folder watching goes on during
    // runs): its stop request is the user's and stays.
    const int nActivity = job->m_nActivity.load();
    if (nActivity != JA_ANALYZING && nActivity != JA_SYNCING) {
        job->GetProgressSink()->ResetStop();
    }
    m_bStarted = false;
    job->m_bMonitoringStarted = 0;
    job->m_bMonitorEnded = 0;
    job->m_bConnectHint = 0;
    m_bPresent = true;

    bool bFailed = false;
    bool bStopSteps = false;
    {
        CWideString e;
        int k = 0;
        TvFileSys* pNew = NewFsForUrl(url, k, e);
        if (!pNew) {
            errKind = FSE_GENERAL;
            errText = u"FileMonitor: no file system for " + url;
            m_bConnecting = false;
            Stamped(u": File Monitoring has stopped: " + errText);
            job->m_bMonitorEnded = 1;
            return;
        }
        pNew->SetProgressCallback(job->GetFsProgress());
        SetFs(std::shared_ptr<TvFileSys>(pNew));
    }
    std::shared_ptr<TvFileSys> fsHold = GetFs();
    TvFileSys* fs = fsHold.get();
    m_nBaseInterval = fs->GetCapability(TVFS_CAP_LOCAL) ? kLocalReconnectInterval : kReconnectInterval;
    // The job enters folder links: changes inside them are its too.
    fs->SetMonitorFollowsFolderLinks(opt.m_nFolderLinks == 2);

    if (bFileChange && !fs->GetCapability(TVFS_CAP_MONITOR)) {
        errKind = FSE_GENERAL;
        errText = u"FileMonitor: not monitoring file system: " + url;
        bFailed = true;
    } else {
        for (;;) {
            m_bStarted = false;
            job->m_bMonitoringStarted = 0;
            m_tLastAttempt = CZorTime::Now();

            // Connect and make sure the folder is there: a side whose folder
            // is missing waits here for it to come back.
            bool bReachable = true;
            {
                int k = 0;
                CWideString e;
                // On File Change: the monitor's own connection is the one
                // that waits for change notifications (a long poll where the
                // file system has one); the job's runs connect as usual.
                TvConnectInfo ci = m_ConnectInfo;
                ci.m_bLongPoll = bFileChange ? 1 : 0;
                if (!fs->Connect(ci, job->GetFsProgress(), k, e)) {
                    errKind = k;
                    errText = u"FileMonitor: cannot connect " + url + u": " + e;
                    bReachable = false;
                } else {
                    FsItemInfo info;
                    bool bMissing = false;
                    e.Empty();
                    if (!fs->GetInfo(u"", info, bMissing, k, e)) {
                        errKind = k;
                        errText = u"Doing GetInfo on Folder to monitor: " + url + u": " + e;
                        bReachable = false;
                    } else if (bMissing) {
                        errKind = FSE_GENERAL;
                        errText = u"Folder to monitor does not exist: " + url;
                        bReachable = false;
                    }
                }
            }
            if (bReachable) {
                SetRootDisplay(fs->DisplayPath(u""));
                if (m_bAwayTold) {
                    Tell(GetRootDisplay() + u" is back: the job runs again now");
                    m_bAwayTold = false;
                }
                if (!m_bPresent.load()) {
                    Stamped(FormatLocalizedString(IDS_Msg_DetectedConnect, url));
                    m_bPresent = true;
                    job->SetRunState(RS_MONITORING, 1);
                    if (bFolderConnect && !bFileChange) job->m_bFolderConnected = 1;
                }
                m_nReconnectInterval = m_nBaseInterval;
                m_nAttemptsLeft = 1;

                if (bFileChange) {
                    int k = 0;
                    CWideString e;
                    if (!fs->StartMonitoring(u"", k, e)) {
                        errKind = k;
                        errText = u"Cannot start file monitoring: " + e;
                        if (e != m_sToldFailure) {
                            Tell(GetRootDisplay() +
                                 u" cannot be watched, so only changes on the other side start a "
                                 u"run (watch tries again every minute): " +
                                 e);
                            m_sToldFailure = e;
                        }
                        // The side counts as not monitored while it waits to
                        // be tried again: the other side's changes still run
                        // the job.
                        m_bRefused = true;
                        m_bConnecting = false;
                        fs->Close();
                        const bool bGoOn = WaitUnwatchable();
                        m_bRefused = false;
                        if (!bGoOn) {
                            errKind = FSE_GENERAL;
                            errText = kAskedToStop;
                            bStopSteps = true;
                            break;
                        }
                        continue;
                    }
                    m_sToldFailure.Empty();
                    m_bConnecting = false;
                    m_bStarted = true;
                    job->m_bMonitoringStarted = 1;
                    job->m_bFirstFullAnalyzePending = 1;
                    Stamped(u": On File Change Monitoring started on " + url);
                    for (;;) {
                        e.Empty();
                        const bool bOk = fs->WaitForChanges(k, e);
                        if (job->m_bMonitorEnded.load() || IsStopRequested()) {
                            errKind = FSE_GENERAL;
                            errText = kAskedToStop;
                            break;
                        }
                        if (!bOk) {
                            errKind = k;
                            errText = u"Error while monitoring: " + e;
                            break;
                        }
                        if (m_bRestart.exchange(false)) {
                            errKind = FSE_GENERAL;
                            errText = u"Device signaled disconnect";
                            break;
                        }
                    }
                    bFailed = true;
                    bStopSteps = true;
                    break;
                }

                // On Folder Connect only.
                m_bConnecting = false;
                m_bStarted = true;
                Stamped(u": On Folder Connect Monitoring started on " + url);
                bool bStop = false;
                if (WatchFolder(fs, bStop, errKind, errText) && bStop) {
                    bStopSteps = true;
                    break;
                }
            }
            m_bConnecting = false;

            // The folder could not be reached.
            m_bStarted = false;
            fs->Close();
            m_bRestart = false;
            m_bRetryNow = false;
            bFailed = true;
            if (job->m_bMonitorEnded.load() || IsStopRequested()) {
                errText = JoinError(errText + u"; ", kAskedToStop);
                break;
            }
            if (m_bPresent.load()) {
                Stamped(FormatLocalizedString(IDS_Msg_DetectedDisconnect, url, errText) + u"\n");
                if (!m_bAwayTold) {
                    Tell(GetRootDisplay() + u" went away (" + errText +
                         u"); the job runs again when it is back");
                    m_bAwayTold = true;
                }
                m_bPresent = false;
                m_nReconnectInterval = m_nBaseInterval;
                m_nAttemptsLeft = 1;
                job->SetRunState(RS_WAITING_FOR_FOLDER, 1);
            }
            if (!WaitBeforeReconnect()) {
                errKind = FSE_GENERAL;
                errText = kAskedToStop;
                break;
            }
            bFailed = false;
        }
    }

    if (bStopSteps) {
        if (m_bStarted.load()) {
            Stamped(u": File Monitoring stopped on: " + GetRootDisplay());
            m_bStarted = false;
        }
        fs->StopMonitoring();
        fs->Close();
    }
    fsHold.reset();
    SetFs(nullptr);
    job->m_bMonitorEnded = 1;
    m_bConnecting = false;
    if (bFailed) Stamped(u": File Monitoring has stopped: " + errText);
}

// ============================================================ CMonitoredJob
// A watched job keeps its tree between runs: its state-file saves take
// again what did not change.
CMonitoredJob::CMonitoredJob() {
    m_bKeepStateSegments = true;
}

CMonitoredJob::CMonitoredJob(const CMonitoredJob& other) : CSyncJob(other) {
    m_bKeepStateSegments = true;
}

CMonitoredJob::~CMonitoredJob() {
    m_bMonitorEnded = 1;
    StopMonitors();
}

bool CMonitoredJob::HasMonitorTrigger() const {
    return m_Options.m_nOnFileChangeAction != 0 || m_Options.m_nOnFolderConnectAction != 0;
}

void CMonitoredJob::StampedNotify(const CWideString& text) {
    CWideString s = FormatLocalDateTime(CZorTime::Now().GetTime());
    if (!text.StartsWith(u":")) s += u" ";
    s += text;
    if (!s.EndsWith(u"\n")) s += u"\n";
    Notify(2, s);
}

CWideString CMonitoredJob::MonitorRootDisplay(int side) {
    return m_aMonitor[side & 1].GetRootDisplay();
}

bool CMonitoredJob::TurnOnFileMonitors(CWideString& errText) {
    if (!HasMonitorTrigger()) return false;
    CCritSectionLock lock(m_JobLock);
    bool bAny = false;
    for (int side = 0; side < 2; ++side)
        if (!m_aMonitor[side].HasFs() && TurnOnFileMonitor(side, errText)) bAny = true;
    return bAny;
}

bool CMonitoredJob::TurnOnFileMonitor(int side, CWideString& errText) {
    CFileSysMonitor& m = m_aMonitor[side & 1];
    CCritSectionLock lock(m_JobLock);
    if (m.m_bConnecting.load()) {
        errText = u"Already connecting";
        return false;
    }
    m.m_bConnecting = true;
    if (m.HasFs()) {
        errText = u"TurnOnFileMonitor: already connected";
        return true;
    }
    // A thread that ended is joined before a new one starts.
    if (!m.IsRunning()) m.Stop();

    m.m_ConnectInfo = side == 0 ? (const TvConnectInfo&)m_Options.m_Dir1 : (const TvConnectInfo&)m_Options.m_Dir2;
    CWideString url = m.m_ConnectInfo.m_sUrl;
    if (url.Find(u'%') >= 0) {
        CWideString expanded = url;
        ExpandPathMacros(expanded);
        if (expanded != url) url = NormalizeUrl(expanded);
    }
    if (url.EndsWith(u"/") || url.EndsWith(u"\\")) url = url.Left(url.GetLength() - 1);
    m.m_ConnectInfo.m_sUrl = url;
    m.m_bRefused = false;

    if (m_Options.m_nOnFileChangeAction != 0) {
        const int dir = m_Options.m_nDirection;
        if ((dir == JT_RIGHT_TO_LEFT && side == 0) || (dir == JT_LEFT_TO_RIGHT && side == 1)) {
            errText = u"TurnOnFileMonitor: destination of 1-way job " + url;
            m.m_bRefused = true;
            m.m_bConnecting = false;
            return false;
        }
        TvFileSys* proto = FindFsForUrl(url);
        if (proto && !proto->GetCapability(TVFS_CAP_MONITOR)) {
            errText = u"TurnOnFileMonitor: File System cannot monitor: " + url;
            if (!m.m_bRefusalTold.exchange(true)) {
                m.m_nSide = side & 1;
                m.m_pJob = this;
                m.Tell(url + u" is on a file system whose changes cannot be watched, so only changes on the "
                             u"other side start a run");
            }
            m.m_bRefused = true;
            m.m_bConnecting = false;
            return false;
        }
    }
    m.m_pJob = this;
    m.m_nSide = side & 1;
    if (!m.Start(errText)) {
        m.m_bConnecting = false;
        return false;
    }
    return true;
}

void CMonitoredJob::TurnOffFileMonitor(int side, const CWideString& reason) {
    CFileSysMonitor& m = m_aMonitor[side & 1];
    CCritSectionLock lock(m_JobLock);
    m_bMonitoringStarted = 0;
    m_bMonitorEnded = 1;
    if (std::shared_ptr<TvFileSys> fs = m.GetFs()) {
        // Wakes the thread's change wait on either side.
        fs->StopMonitoring();
        StampedNotify(u": File Monitoring was asked to stop on: " + m.GetRootDisplay() + u": " + reason);
    }
    m.Stop();
    ZOR_ASSERT(!m.HasFs());
    m_aChanges[side & 1].RemoveAll();
    m_aAfterOwnWrites[side & 1].RemoveAll();
}

void CMonitoredJob::TurnOffFileMonitors(const CWideString& reason) {
    TurnOffFileMonitor(0, reason);
    TurnOffFileMonitor(1, reason);
}

void CMonitoredJob::StopMonitors() {
    for (int side = 0; side < 2; ++side) {
        m_aMonitor[side].Stop();
        ZOR_ASSERT(!m_aMonitor[side].HasFs());
    }
}

bool CMonitoredJob::GetNewChanges() {
    // Only changes taken now count: changes that wait for a run were
    // announced when they came (an On File Change delay would otherwise
    // start anew at every tick and never end).
    bool bAny = false;
    for (int side = 0; side < 2; ++side) {
        int n = 0, k = 0;
        CWideString e;
        const int nBefore = CountSideChanges(side);
        if (TakeSideChanges(side, n, k, e)) {
            if (n > nBefore) bAny = true;
        } else {
            Notify(2, u"getting new changes: " + e + u"\n");
            m_aMonitor[side].m_bRestart = true;
        }
    }
    return bAny;
}

bool CMonitoredJob::TakeSideChanges(int side, int& nCount, int& errKind, CWideString& errText) {
    CCritSectionLock lock(m_JobLock);
    nCount = 0;
    CFileSysMonitor& m = m_aMonitor[side & 1];
    if (m.m_bRefused.load()) return true;
    std::shared_ptr<TvFileSys> fs = m.GetFs();
    if (!fs) {
        errKind = FSE_GENERAL;
        errText = u"not monitoring Null FS";
        return true;
    }
    CListT<ChangedItem> items(10);
    // What the end of the last Sync took comes before what came since.
    items.AddTailList(m_aAfterOwnWrites[side & 1]);
    m_aAfterOwnWrites[side & 1].RemoveAll();
    if (!fs->GetChangedItems(items, errKind, errText)) {
        if (!items.IsEmpty()) FilterNewChanges(side, items);
        return false;
    }
    if (items.IsEmpty()) return true;
    FilterNewChanges(side, items);
    nCount = m_aChanges[side & 1].GetCount();
    return true;
}

void CMonitoredJob::FilterNewChanges(int side, CListT<ChangedItem>& changes) {
    CCritSectionLock lock(m_JobLock);
    // The tree is read only while no run writes it.
    const int nActivity = m_nActivity.load();
    CSyncTreeNode* pRoot = nActivity == JA_ANALYZING || nActivity == JA_SYNCING ? nullptr : GetPairsUnchecked();
    const bool bCaseSensitive = false;
    const std::shared_ptr<TvFileSys> fs = m_aMonitor[side & 1].GetFs();
    for (ZorPosition pos = changes.GetHeadPosition(); pos;) {
        const ChangedItem& c = changes.GetNext(pos);
        bool bDrop = IsEngineOwnChangePath(c.m_sPath);
        if (!bDrop) {
            CWideString reason;
            CSideInfo none;
            if (!m_FilterMatcher.IsEmpty() && m_FilterMatcher.IsExcluded(c.m_sPath, false, none, none, reason)) bDrop = true;
        }
        if (!bDrop && pRoot && !c.m_sPath.IsEmpty()) {
            CWideString err;
            CSyncTreeNode* pParent = nullptr;
            CSyncTreeNode* pNode = CSyncTreeNode::LookupCS(pRoot, c.m_sPath, bCaseSensitive, &pParent, err);
            if (!pNode) {
                // The deepest existing ancestor decides.
                CWideString path = c.m_sPath;
                while (!pNode) {
                    const int i = path.ReverseFind(u'/');
                    if (i <= 0) break;
                    path = path.Left(i);
                    err.Empty();
                    pNode = CSyncTreeNode::LookupCS(pRoot, path, bCaseSensitive, nullptr, err);
                }
            }
            if (pNode && IsInExcludedSubtree(pNode)) bDrop = true;
        }
        // The job's own Sync made this change and nobody changed the item since.
        if (!bDrop && IsOwnWrite(side, c, fs.get())) bDrop = true;
        if (!bDrop) {
            StampedNotify(CWideString::Formatted(u"Change detected [%d]: %s", side, c.Dump()));
            m_aChanges[side & 1].AddTail(c);
        }
        if (c.m_nKind == CIK_UNKNOWN) {
            m_bUnknownChangeSeen = 1;
            break;
        }
    }
}

void CMonitoredJob::ClearSideChanges(int side) {
    CCritSectionLock lock(m_JobLock);
    m_aChanges[side & 1].RemoveAll();
    m_aAfterOwnWrites[side & 1].RemoveAll();
}

CListT<ChangedItem> CMonitoredJob::GetSideChanges(int side) {
    CCritSectionLock lock(m_JobLock);
    return m_aChanges[side & 1];
}

int CMonitoredJob::CountSideChanges(int side) {
    CCritSectionLock lock(m_JobLock);
    return m_aChanges[side & 1].GetCount();
}
