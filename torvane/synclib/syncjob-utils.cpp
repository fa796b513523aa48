// Small job services of a run: stop tests, activity tests, reporting helpers
// and a few records and formatters that several stages share.
#include "syncjob.h"

#include "zor-locstr.h"

bool IsFatalErrorKind(int kind) {
    switch (kind) {
        case FSE_STOPPED:
        case FSE_PROXY:
        case FSE_AUTH:
        case FSE_NO_MEMORY:
        case FSE_CLOUD_CACHE:
        case FSE_QUOTA:
            return true;
        default:
            return false;
    }
}

bool CSyncJob::CheckStop(int& errKind, CWideString& errText) const {
    if (!IsStopped()) return true;
    errText = GetLocalizedString(IDS_Str_Msg_StoppedByUser);
    errKind = FSE_STOPPED;
    return false;
}

void CSyncJob::AddMessageLine(int level, const CWideString& text) {
    CCritSectionLock lock(m_pProgress->GetLock());
    m_pProgress->OnMessageLine(level, text, MLM_NORMAL);
}

bool CSyncJob::IsActivityWithChanges() const {
    const int a = m_nActivity.load();
    const int sub = m_nActivitySub.load();
    const bool bChanges = m_bHasChanges || m_bChangesByte;
    if (a == JA_ANALYZED || a == JA_CONNECTED) return (sub == 2 || sub == 1) && bChanges;
    return a == JA_SYNCED && bChanges;
}

bool CSyncJob::IsActivityWithResult() const {
    const int a = m_nActivity.load();
    const int sub = m_nActivitySub.load();
    if (a == JA_ANALYZED || a == JA_CONNECTED) return sub == 1 || sub == 2;
    return a == JA_SYNCED;
}

bool NarrowStartsWith(const CNarrowString& text, const char* prefix) {
    if (!prefix) return true;
    const int n = text.GetLength();
    int i = 0;
    for (; prefix[i]; ++i)
        if (i >= n || text[i] != prefix[i]) return false;
    return true;
}

void DeleteFileQuietly(TvFileSys* pFs, const CWideString& path) {
    if (!pFs) return;
    int kind = 0;
    CWideString err;
    pFs->DeleteFile(path, kind, err);
}

CWideString CFileStamp::Describe() const {
    CWideString s;
    s.Format(u"size=%lld mod-time=%s", (long long)m_nSize,
             FormatTimeWithPattern(CZorTime(m_nModTime), u"%Y-%m-%d %H:%M:%S"));
    return s;
}
