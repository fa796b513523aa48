// One run of a job as the job list starts it, on the calling thread.
#pragma once

#include "syncjob.h"

namespace benchrun {

inline bool RunOnce(CSyncJob& job, bool bAnalyze, bool bSync) {
    job.m_bAnalyze = bAnalyze;
    job.m_bSync = bSync;
    job.m_nRunKind = RK_USER;
    job.m_bRunStarted = 0;
    job.SetRunState(0, 0);
    job.m_nActivity.store(bAnalyze ? JA_ANALYZING : JA_SYNCING);
    int kind = 0;
    CWideString result;
    return job.RunJob(nullptr, kind, result);
}

} // namespace benchrun
