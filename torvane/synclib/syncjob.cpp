// The sync job object: construction, the progress sink and what a run says.
#include "syncjob.h"

#include "zor-debug.h"

#include <algorithm>

CSyncJob::CSyncJob() : m_pProgress(&g_DummyJobProgress) {}

CSyncJob::CSyncJob(const CSyncJob& other) : m_pProgress(&g_DummyJobProgress), m_Options(other.m_Options) {}

CSyncJob::~CSyncJob() {
    Disconnect();
    // A host sink that outlives the job must not point back at it.
    if (m_pProgress && m_pProgress != &g_DummyJobProgress && m_pProgress->GetJob() == this)
        m_pProgress->SetJob(nullptr);
}

void CSyncJob::Disconnect() {
    CloseRunLogs(true);
    DisconnectSides();
}

void CSyncJob::SetName(const CWideString& name) {
    if (name.IsEmpty()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::SetName: empty name");
        return;
    }
    m_Options.m_sName = name;
}

bool CSyncJob::SetProgressSink(CbJobProgress* pSink) {
    if (!pSink) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::SetProgressSink: null sink");
        pSink = &g_DummyJobProgress;
    }
    m_pProgress = pSink;
    if (pSink != &g_DummyJobProgress) pSink->SetJob(this);
    for (auto& fs : m_apFs)
        if (fs) fs->SetProgressCallback(GetFsProgress());
    return true;
}

namespace {
thread_local CSyncJob::CHeldLogLines* t_pHeldLogLines = nullptr;
} // namespace

void CSyncJob::Log(int level, int kind, const CWideString& text) {
    if (t_pHeldLogLines) {
        t_pHeldLogLines->m_Lines.push_back({level, kind, text});
        return;
    }
    m_pProgress->AddMessage(level, kind, text);
}

void CSyncJob::HoldLogLinesOfThisThread(CHeldLogLines* pHeld) {
    t_pHeldLogLines = pHeld;
}

void CSyncJob::PassOnHeldLogLines(const CHeldLogLines& held) {
    for (const CHeldLogLines::SLine& l : held.m_Lines) Log(l.nLevel, l.nKind, l.sText);
}

void CSyncJob::Notify(int level, const CWideString& text) {
    CCritSectionLock lock(m_pProgress->GetLock());
    m_pProgress->OnNotice(level, text);
}

void CSyncJob::ReportProgress(int percent, const CWideString& text) {
    CCritSectionLock lock(m_pProgress->GetLock());
    m_pProgress->OnShowProgress(percent, text);
}

void CSyncJob::SetProgress(int percent, const CWideString& text, bool bThrottle) {
    CbJobProgress* sink = m_pProgress;
    CCritSectionLock lock(sink->GetLock());
    const int p = sink->ScaleProgress(percent);
    ZOR_ASSERT(p <= 100);
    const int64_t now = ZorGetTickMs();
    if (bThrottle && p == sink->m_nLastPercent && (now - sink->m_nLastShowTime) / 1000 == 0) return;
    sink->m_nLastPercent = p;
    sink->m_nLastShowTime = now;
    ReportProgress(p, text);
}

int64_t CSyncJob::GetWorkersItemDone() const {
    int64_t sum = 0;
    for (int i = 0; i < m_nWorkerArraySize; ++i) sum += m_pWorkers[i].m_Progress.m_nItemDone;
    return sum;
}

uint32_t CSyncJob::GetProcessedItemCount() const {
    // Each executed item ends in exactly one of these three counters.
    const int64_t n = (int64_t)m_nSyncOk.load() + m_nSyncErr.load() + m_nConflicts.load();
    return (uint32_t)std::clamp<int64_t>(n, 0, UINT32_MAX);
}

int64_t CSyncJob::GetSpeedLimit(bool bUpload) const {
    return bUpload ? m_Options.m_nUpSpeedLimit : m_Options.m_nSpeedLimit;
}

int CSyncJob::GetSlowDownLevel(bool bUpload) const {
    const int32_t n = bUpload ? m_nUpSlowDownLevel.load() : m_nDownSlowDownLevel.load();
    return std::clamp<int32_t>(n, 0, 3);
}

void CSyncJob::SetSlowDownLevels(int nUpload, int nDownload) {
    m_nUpSlowDownLevel.store(nUpload);
    m_nDownSlowDownLevel.store(nDownload);
}

void CSyncJob::ResizeWorkers(int nCount) {
    if (nCount < 0 || nCount > 65535) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::ResizeWorkers: bad count", nCount);
        nCount = std::clamp(nCount, 0, 65535);
    }
    // The progress display reads the workers' transfers under the sink's lock.
    CCritSectionLock lock(m_pProgress->GetLock());
    m_pWorkers.reset();
    m_nWorkerArraySize = 0;
    if (nCount > 0) {
        m_pWorkers = std::make_unique<CSyncWorkerThread[]>((size_t)nCount);
        m_nWorkerArraySize = nCount;
    }
}
