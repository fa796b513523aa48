// What the job list provides to the engine: the engine-wide options record
// g_EngineOptions, the may-run callback g_pfnJobMayRun, and the values of the
// job's activity word, run kinds and run states that the job list and the
// engine share. The job list itself fills and sets these; the engine only
// reads them during runs.
#pragma once

#include "zor-string.h"
#include "zor-net-records.h"

#include <cstdint>

class CSyncJob;

// The engine's version, "9.2.9.0".
extern const char* const kEngineVersion;


// The engine-wide options, copied from the program settings before runs. The
// values below are those at construction, before the job list fills them.
struct CEngineOptions {
    uint8_t m_bCreateFolderIfNotFound = 0; // a side's connect may create a missing root folder
    uint8_t m_bGroupSimilarLogLines = 0;   // group repeated log lines of one message kind
    uint8_t m_bUseSmtpToEmail = 0;         // mail through SMTP (else the system mail client)
    SmtpServerInfo m_SmtpServerInfo;
    CWideString m_sMirrorFolderRoot;   // root of the local mirror folders; empty: not defined
    CWideString m_sProfileFolder;      // the program's profile folder, named by the owner of folder locks
    int32_t m_nLogRetainDays = 15;     // age limit of old run logs (days)
    uint8_t m_bWarnTimeOutOfRange = 0; // log listed items whose times fall outside 1980..2037
    int64_t m_nJobListValue = 0;       // read only by the job list
};

extern CEngineOptions g_EngineOptions;

// The job list's common-folder check: false, with a refusal text in sErr,
// while another job whose folders overlap this job's runs, syncs or analyses
// for a sync. Null until the job list sets it; Analyze and Sync then skip it.
using PfnJobMayRun = bool (*)(CSyncJob* pJob, bool bForSync, CWideString& sErr);
extern PfnJobMayRun g_pfnJobMayRun;

// The refusal texts of the may-run callback (%s: the other job's name).
extern const char16_t* const kJobMayRun_Running;
extern const char16_t* const kJobMayRun_Syncing;
extern const char16_t* const kJobMayRun_AnalyzingForSync;

// The job's activity word. Written only by the job list; 3 while a run that
// analyses is on, 5 during a Sync-only run.
enum JobActivity : int32_t {
    JA_NOT_ANALYZED = 0,
    JA_CONNECTED = 1,
    JA_DISCONNECTED = 2,
    JA_ANALYZING = 3,
    JA_ANALYZED = 4,
    JA_SYNCING = 5,
    JA_SYNCED = 6,
};
// The activity sub-state that marks a paused job.
constexpr int32_t kActivitySubPaused = 6;

// The run kind: who started the run. The job list starts every run as a
// user's run; an unattended run comes only from a starter outside the engine.
enum JobRunKind : int32_t {
    RK_USER = 0,
    RK_AUTOMATIC = 2,
};

// Run states, stored by CSyncJob::SetRunState as (state, sub).
enum JobRunState : int32_t {
    RS_MONITORING = 1,         // sub 1: the job list watches the job's folder for changes
    RS_WAITING_FOR_FOLDER = 2, // sub 1: the job list waits for the folder to appear
    RS_ANALYZED = 4,           // sub 1 ok, 2 with conflicts/errors/no space, 4 failed, 5 stopped
    RS_SYNCED = 6,             // sub 1 ok, 2 errors/conflicts, 3 auto-sync refused, 4 failed, 5 stopped
};
enum JobRunSubState : int32_t {
    RSS_OK = 1,
    RSS_ATTENTION = 2,
    RSS_REFUSED = 3,
    RSS_FAILED = 4,
    RSS_STOPPED = 5,
};

// The job types that the job list creates a job with (CSyncJobOptions::SetDirection).
enum JobType : int32_t {
    JT_TWO_WAY = 0,
    JT_LEFT_TO_RIGHT = 1,
    JT_RIGHT_TO_LEFT = 2,
};
