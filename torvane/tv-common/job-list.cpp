#include "job-list.h"

#include "job-forms.h"
#include "job-runner.h"
#include "job-stores.h"
#include "task-scheduler.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-registry.h"
#include "zor-url.h"

const char16_t* const kTorvaneRegKey = u"Software\\Zorvek Systems\\Torvane";
const char16_t* const kJobsRegKey = u"Software\\Zorvek Systems\\Torvane\\Jobs";

CWideString JobRegKey(const CWideString& jobName) {
    return CWideString(kJobsRegKey) + u"\\" + jobName;
}

bool IsValidJobName(const CWideString& name, CWideString& sErr) {
    if (name.IsEmpty()) {
        sErr = u"cannot create job with empty name";
        return false;
    }
    if (name == u"." || name == u"..") {
        sErr.Format(u"Job name '%s' is not allowed", EscapeControlChars(name));
        return false;
    }
    for (int i = 0; i < name.GetLength(); i++) {
        char16_t c = name[i];
        if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) {
            // Shown escaped: the message stays on its line.
            sErr.Format(u"Job name '%s' must not contain '/', '\\' or control characters", EscapeControlChars(name));
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- CSyncJobFromList
CSyncJobFromList::CSyncJobFromList() = default;

CSyncJobFromList::CSyncJobFromList(const CSyncJobFromList& other) : CMonitoredJob(other) {}

CSyncJobFromList::~CSyncJobFromList() {
    m_bMonitorEnded = 1;
    StopMonitors();
    m_Signal.DisconnectAll();
}

void CSyncJobFromList::Disconnect() {
    m_bMonitorEnded = 1;
    StopMonitors();
    CSyncJob::Disconnect();
}

void CSyncJobFromList::SetName(const CWideString& name) {
    CWideString err;
    if (!IsValidJobName(name, err)) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJobFromList::SetName: name refused");
        return;
    }
    CWideString sOld, sNew;
    if (CTorvaneSettings* pOwner = m_pOwner.load()) {
        // Walkers read names under the list lock; two jobs of one list never
        // share a name (the registry would merge them into one key).
        std::unique_lock<std::shared_mutex> lock(pOwner->GetListLock());
        ZorPosition pos = pOwner->FindJobPositionLocked(name);
        if (pos && pOwner->m_Jobs.GetAt(pos) != this) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJobFromList::SetName: name used by another job");
            return;
        }
        sOld = m_Options.m_sName;
        CSyncJob::SetName(name);
        sNew = m_Options.m_sName;
    } else {
        sOld = m_Options.m_sName;
        CSyncJob::SetName(name);
        sNew = m_Options.m_sName;
    }
    m_Signal.Emit(&ISyncJobListener::OnJobRenamed, sOld, sNew);
}

bool CSyncJobFromList::SetProgressSink(CbJobProgress* pSink) {
    bool bOk = CSyncJob::SetProgressSink(pSink);
    for (CFileSysMonitor& m : m_aMonitor)
        if (std::shared_ptr<TvFileSys> pFs = m.GetFs()) pFs->SetProgressCallback(GetFsProgress());
    return bOk;
}

void CSyncJobFromList::TurnOffMonitorsOfJobsSharingFolders() {
    CTorvaneSettings* pOwner = m_pOwner.load();
    if (!pOwner) return;
    const CWideString reason = u"Starting Job " + GetName();
    // Under the list lock, so that none of them is removed meanwhile; their
    // monitor threads never take it.
    pOwner->ForEachJob([&](CSyncJobFromList* other) {
        if (other != this && other->m_Options.m_nOnFileChangeAction != 0 && FindBusyJobWithCommonFolder(this, other))
            other->TurnOffFileMonitors(reason);
        return true;
    });
}

void CSyncJobFromList::ResetMessageRepeat() {
    m_pProgress->ResetMessageRepeat();
}

void CSyncJobFromList::SetLiveRunState(int nState, int nSub) {
    int nOldState = m_nActivity.exchange(nState);
    int nOldSub = m_nActivitySub.exchange(nSub);
    if (nOldState != nState || nOldSub != nSub) m_Signal.Emit(&ISyncJobListener::OnJobStateChanged, this);
}

void CSyncJobFromList::SetRequestedAction(int32_t nAction) {
    if (m_nRequestedAction.exchange(nAction) != nAction)
        m_Signal.Emit(&ISyncJobListener::OnJobStateChanged, this);
}

void CSyncJobFromList::RequestRun(int32_t nAction, const CWideString& reason, int32_t nFlag) {
    SetRequestedAction(nAction);
    {
        CCritSectionLock lock(m_csRequest);
        m_sRequestReason = reason;
    }
    m_nRequestFlag.store(nFlag);
    m_bRequestedSinceLoad.store(true);
    CWideString line = FormatLocalizedString(IDS_Msg_JobScheduledToRun, GetName(), reason);
    line += u"\n";
    ZorGetProgramLog().WriteLine(line);
}

CWideString CSyncJobFromList::GetRequestReason() const {
    CCritSectionLock lock(m_csRequest);
    return m_sRequestReason;
}

void CSyncJobFromList::SetMark(bool bMark) {
    if (m_bMark.exchange(bMark) != bMark) m_Signal.Emit(&ISyncJobListener::OnJobMarkChanged, this);
}

// ---------------------------------------------------------------- CTorvaneSettings
CTorvaneSettings g_Settings;

CTorvaneSettings::CTorvaneSettings() = default;

CTorvaneSettings::~CTorvaneSettings() {
    std::unique_lock<std::shared_mutex> lock(m_ListLock);
    DeleteAllJobsLocked();
}

void CTorvaneSettings::DeleteAllJobsLocked() {
    while (!m_Jobs.IsEmpty()) {
        CSyncJobFromList* p = m_Jobs.RemoveHead();
        delete p;
    }
}

ZorPosition CTorvaneSettings::FindJobPositionLocked(const CWideString& name) const {
    for (ZorPosition pos = m_Jobs.GetHeadPosition(); pos;) {
        ZorPosition cur = pos;
        if (m_Jobs.GetNext(pos)->GetName().CompareNoCase(name) == 0) return cur;
    }
    return nullptr;
}

ZorPosition FindJobPosition(const CTorvaneSettings& settings, const CWideString& name) {
    std::shared_lock<std::shared_mutex> lock(settings.GetListLock());
    return settings.FindJobPositionLocked(name);
}

CSyncJobFromList* CTorvaneSettings::FindJob(const CWideString& name) const {
    std::shared_lock<std::shared_mutex> lock(m_ListLock);
    ZorPosition pos = FindJobPositionLocked(name);
    return pos ? m_Jobs.GetAt(pos) : nullptr;
}

int CTorvaneSettings::GetJobCount() const {
    std::shared_lock<std::shared_mutex> lock(m_ListLock);
    return m_Jobs.GetCount();
}

std::vector<CSyncJobFromList*> CTorvaneSettings::GetJobs() const {
    std::vector<CSyncJobFromList*> v;
    ForEachJob([&](CSyncJobFromList* p) {
        v.push_back(p);
        return true;
    });
    return v;
}

bool CTorvaneSettings::IsListed(const CSyncJobFromList* pJob) const {
    for (ZorPosition pos = m_Jobs.GetHeadPosition(); pos;)
        if (m_Jobs.GetNext(pos) == pJob) return true;
    return false;
}

bool CTorvaneSettings::BeginRun(CSyncJobFromList* pJob, bool* pbListed, CWideString* pName) {
    std::shared_lock<std::shared_mutex> lock(m_ListLock);
    const bool bListed = pJob && IsListed(pJob);
    if (pbListed) *pbListed = bListed;
    if (!bListed) return false;
    if (pName) *pName = pJob->GetName();
    if (!pJob->TrySetRunning()) return false;
    // Until this is set other jobs count the run as busy: a check of theirs
    // in between refuses them, never both (each job checks after its own
    // BeginRun, and a refused job stays pending).
    pJob->m_bMayRunPending = true;
    return true;
}

void CTorvaneSettings::EndRun(CSyncJobFromList* pJob) {
    if (!pJob) return;
    // In this order: a next run of the job sets its pending flag only after
    // the running flag is clear.
    pJob->m_bMayRunPending = false;
    pJob->SetRunning(false);
}

CSyncJobFromList* CTorvaneSettings::AddJob(const CSyncJobFromList& job) {
    if (job.GetName().IsEmpty()) ZorAssertFailed(__FILE__, __LINE__, 0, "AddJob: empty job name");
    auto* pCopy = new CSyncJobFromList(job);
    {
        std::unique_lock<std::shared_mutex> lock(m_ListLock);
        m_Jobs.AddTail(pCopy);
        pCopy->m_pOwner.store(this);
    }
    CWideString name = job.GetName();
    m_Observers.Emit(&ISettingsObserver::OnSettingsJobAdded, const_cast<CSyncJobFromList*>(&job), name);
    ConnectToJob(pCopy);
    return pCopy;
}

void CTorvaneSettings::AppendLoadedJob(CSyncJobFromList* pJob) {
    std::unique_lock<std::shared_mutex> lock(m_ListLock);
    m_Jobs.AddTail(pJob);
    pJob->m_pOwner.store(this);
}

void CTorvaneSettings::DetachJob(CSyncJobFromList* pJob) {
    std::unique_lock<std::shared_mutex> lock(m_ListLock);
    for (ZorPosition pos = m_Jobs.GetHeadPosition(); pos;) {
        ZorPosition cur = pos;
        if (m_Jobs.GetNext(pos) == pJob) {
            m_Jobs.RemoveAt(cur);
            pJob->m_pOwner.store(nullptr);
            return;
        }
    }
}

bool CTorvaneSettings::RemoveJob(const CWideString& name) {
    CWideString err;
    return RemoveJob(name, err);
}

bool CTorvaneSettings::RemoveJob(const CWideString& nameIn, CWideString& sErr) {
    // The name may belong to the job that is about to go.
    CWideString name = nameIn;
    CSyncJobFromList* pJob = nullptr;
    bool bWasCurrent = false;
    CWideString sNextCurrent;
    {
        std::unique_lock<std::shared_mutex> lock(m_ListLock);
        ZorPosition pos = FindJobPositionLocked(name);
        if (!pos) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "RemoveJob: no such job");
            sErr.Format(u"Job '%s' not found", name);
            return false;
        }
        pJob = m_Jobs.GetAt(pos);
        if (pJob->IsRunning()) {
            sErr.Format(u"Job '%s' is running", name);
            return false;
        }
        {
            CCritSectionLock cur(m_csCurrent);
            bWasCurrent = !m_sCurrentJob.IsEmpty() && m_sCurrentJob.CompareNoCase(name) == 0;
        }
        if (bWasCurrent) {
            ZorPosition next = pos, prev = pos;
            m_Jobs.GetNext(next);
            m_Jobs.GetPrev(prev);
            if (next)
                sNextCurrent = m_Jobs.GetAt(next)->GetName();
            else if (prev)
                sNextCurrent = m_Jobs.GetAt(prev)->GetName();
        }
        m_Jobs.RemoveAt(pos);
        pJob->m_pOwner.store(nullptr);
    }
    if (bWasCurrent) SetCurrentJob(sNextCurrent);
    m_Observers.Emit(&ISettingsObserver::OnSettingsJobDeleted, name);
    pJob->SetMark(false);
    pJob->RemoveListener(this);
    delete pJob;
    return true;
}

bool CTorvaneSettings::RemoveAllJobs(CWideString& sErr) {
    std::unique_lock<std::shared_mutex> lock(m_ListLock);
    for (ZorPosition pos = m_Jobs.GetHeadPosition(); pos;) {
        CSyncJobFromList* p = m_Jobs.GetNext(pos);
        if (p->IsRunning()) {
            sErr.Format(u"Job '%s' is running", p->GetName());
            return false;
        }
    }
    DeleteAllJobsLocked();
    return true;
}

bool CTorvaneSettings::SetCurrentJob(const CWideString& name) {
    if (!name.IsEmpty() && !FindJob(name)) return false;
    {
        CCritSectionLock lock(m_csCurrent);
        m_sCurrentJob = name;
    }
    m_Observers.Emit(&ISettingsObserver::OnCurrentJobChanged, (CSyncJobFromList*)nullptr, name);
    return true;
}

CWideString CTorvaneSettings::GetCurrentJob() const {
    CCritSectionLock lock(m_csCurrent);
    return m_sCurrentJob;
}

void CTorvaneSettings::MarkJob(const CWideString& name) {
    CSyncJobFromList* p = FindJob(name);
    if (!p) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "MarkJob: no such job");
        return;
    }
    p->SetMark(true);
}

void CTorvaneSettings::UnmarkJob(const CWideString& name) {
    CSyncJobFromList* p = FindJob(name);
    if (!p) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "UnmarkJob: no such job");
        return;
    }
    p->SetMark(false);
}

int CTorvaneSettings::CountMarkedJobs() const {
    int n = 0;
    ForEachJob([&](CSyncJobFromList* p) {
        n += p->GetMark() ? 1 : 0;
        return true;
    });
    return n;
}

int CTorvaneSettings::CountBusyJobs() const {
    int n = 0;
    ForEachJob([&](CSyncJobFromList* p) {
        int s = p->GetLiveRunState();
        if (s == JA_ANALYZING || s == JA_SYNCING || IsRunRequested(p)) n++;
        return true;
    });
    return n;
}

bool CTorvaneSettings::AnyMarkedJobRunning() const {
    bool b = false;
    ForEachJob([&](CSyncJobFromList* p) {
        b = p->GetMark() && p->IsRunning();
        return !b;
    });
    return b;
}

bool CTorvaneSettings::AnyMarkedJobIdle() const {
    bool b = false;
    ForEachJob([&](CSyncJobFromList* p) {
        b = p->GetMark() && !p->IsRunning() && !IsRunRequested(p);
        return !b;
    });
    return b;
}

// -- listener relays
void CTorvaneSettings::OnJobStateChanged(CSyncJobFromList* pJob) {
    if (pJob) m_Observers.Emit(&ISettingsObserver::OnSettingsJobStateChanged, pJob, pJob->GetName());
}
void CTorvaneSettings::OnJobFinished(CSyncJobFromList*) {}
void CTorvaneSettings::OnJobText(CSyncJobFromList* pJob, int nNumber, const CWideString& text) {
    if (pJob) m_Observers.Emit(&ISettingsObserver::OnSettingsJobText, pJob, nNumber, text, pJob->GetName());
}
void CTorvaneSettings::OnJobFlag(CSyncJobFromList* pJob, int nFlag) {
    if (pJob) m_Observers.Emit(&ISettingsObserver::OnSettingsJobFlag, pJob, nFlag, pJob->GetName());
}
void CTorvaneSettings::OnJobRenamed(const CWideString& oldName, const CWideString& newName) {
    m_Observers.Emit(&ISettingsObserver::OnSettingsJobRenamed, oldName, newName);
}
void CTorvaneSettings::OnJobMarkChanged(CSyncJobFromList* pJob) {
    if (pJob) m_Observers.Emit(&ISettingsObserver::OnSettingsJobMarkChanged, pJob, pJob->GetName());
}

// ---------------------------------------------------------------- filters
bool CTorvaneSettings::ReapplyFilters(CSyncJobFromList* pJob) {
    if (!pJob) return false;
    CJobFilters filters;
    filters.Assign(pJob->m_Options.m_Filters);
    filters.Append(m_ProgramOptions.m_GlobalFilters);
    const CFilterMatcher matcher(filters);
    bool bAny = false;
    CSyncDepthFirstIter it(pJob->GetPairsUnchecked());
    for (bool bOk = it.IsValid(); bOk; bOk = it.Next()) {
        CSyncTreeNode* pNode = it.GetNode();
        CSyncPairAndAction& item = pNode->GetItem();
        if (item.IsExcluded()) continue;
        CWideString reason;
        if (!matcher.IsExcluded(pNode->GetPath(), false, item.m_aCur[0], CSideInfo(), reason)) continue;
        item.m_nFlags |= SPF_EXCLUDED;
        item.SetReason(reason);
        item.m_nSysAction = EA_NO_COPY;
        item.m_nUserAction = EA_USESYSTEM;
        pJob->GetProgressSink()->NotifyItemChanged(pNode, true);
        CExcludeChildren pass(pJob->GetProgressSink());
        pJob->DoForSubtree(pNode, pass, false);
        bAny = true;
    }
    return bAny;
}

// ---------------------------------------------------------------- task names, new and delete
CWideString MakeTaskName(const CWideString& jobName, bool bDotsToUnderscores) {
    CWideString s = CWideString(u"Torvane - ") + jobName;
    if (bDotsToUnderscores) s.Replace(u'.', u'_');
    return s;
}

CWideString MakeTaskName(const CSyncJobFromList* pJob, bool bDotsToUnderscores) {
    return MakeTaskName(pJob ? pJob->GetName() : CWideString(), bDotsToUnderscores);
}

namespace {
// A template name is one path component.
bool IsValidTemplateName(const CWideString& name) {
    CWideString err;
    return IsValidJobName(name, err);
}
} // namespace

bool MoveUrlPasswords(CSyncJobOptions& options, bool& bMoved, CWideString& sErr) {
    bMoved = false;
    for (TvConnectInfoEx* ci : {&options.m_Dir1, &options.m_Dir2}) {
        CWideString url, password;
        if (!ZorUrlTakePassword(ci->m_sUrl, url, password, true)) continue;
        if (!password.IsEmpty() && !ci->SetPasswordClear(password, sErr)) return false;
        ci->m_sUrl = url;
        bMoved = true;
    }
    return true;
}

bool NewJob(CTorvaneSettings& settings, const CWideString& name, int nType, const CWideString& templateName,
            const CWideString& leftFolder, const CWideString& rightFolder, bool bCompanionData,
            CWideString& sErr) {
    if (settings.FindJob(name)) {
        sErr.Format(u"Job '%s' already exists.", name);
        return false;
    }
    if (!name.IsEmpty() && !IsValidJobName(name, sErr)) return false;
    CSyncJobFromList job;
    if (!InitNewJob(name, nType, leftFolder, rightFolder, &job, sErr)) return false;
    if (!templateName.IsEmpty() && IsValidTemplateName(templateName)) {
        CWideString folder, err;
        if (GetProfileFolder(folder, err)) {
            CWideString path = folder + u"/Templates/" + templateName + u".tvt";
            CAutoPtrT<ZorInStream> in;
            if (OpenFileReader(path, false, in, err)) {
                CSyncJobFromList tmpl;
                if (ReadJobTic(tmpl, *in, err)) {
                    // The template gives the options; the caller's folders stay.
                    CSyncJobOptions& o = job.m_Options;
                    TvConnectInfoEx dir1 = o.m_Dir1, dir2 = o.m_Dir2;
                    o = tmpl.m_Options;
                    if (!leftFolder.IsEmpty()) o.m_Dir1 = dir1;
                    if (!rightFolder.IsEmpty()) o.m_Dir2 = dir2;
                }
            }
        }
    }
    job.SetName(name);
    if (bCompanionData) {
        AddIfAbsent(job.m_Options.m_Filters.m_lstIncluded, u"*.vf*");
        AddIfAbsent(job.m_Options.m_Filters.m_lstExcluded, u"options.vfo");
        AddIfAbsent(job.m_Options.m_Filters.m_lstExcluded, u"VexaformDataHere.txt");
        if (rightFolder.StartsWith(u"http")) job.m_Options.m_bFastPreAnalyzeWithStamps = true;
    }
    settings.AddJob(job);
    CWideString saveErr;
    settings.TvSaveJobs(false, u"New Job created", saveErr);
    return true;
}

bool DeleteJob(CTorvaneSettings& settings, CSyncJobFromList* pJob, CWideString& sErr) {
    if (!pJob) {
        sErr = u"Cannot delete, invalid job specified";
        return false;
    }
    // Everything needed after the removal is copied first: the job is gone then.
    const CWideString name = pJob->GetName();
    const CWideString taskName = MakeTaskName(name, true);
    if (!settings.FindJob(name)) {
        sErr.Format(u"Job '%s' not found", name);
        return false;
    }
    CWideString removeErr;
    if (!settings.RemoveJob(name, removeErr)) {
        sErr = removeErr;
        return false;
    }
    CWideString taskErr;
    if (!TvDeleteTask(taskName, taskErr))
        ZorGetProgramLog().Printf(u"Failed to delete scheduled task for '%s': %s\n", name, taskErr);
    RegDeleteKeyTreeQuiet(HKEY_CURRENT_USER, kJobsRegKey, name);
    return settings.TvSaveJobs(false, u"Job Deleted", sErr);
}
