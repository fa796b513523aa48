// The auto-run triggers: the tick that turns a job's trigger options into
// run requests, keeps its monitors running and takes their changes.
//
// The host calls AutoRunTick periodically on its own thread and starts a
// worker (JobWorkerThreadProc) for each job that got a request; the tick
// starts no thread and sleeps nowhere.
#pragma once

#include "job-list.h"

#include <atomic>

// The two auto-run blocking switches, set only by the host: while either is
// set the tick does nothing.
extern std::atomic<bool> g_bAutoRunBlocked1;
extern std::atomic<bool> g_bAutoRunBlocked2;

// The request reasons.
extern const char16_t* const kReasonFileChange1stFull;  // "On File Change 1st Full Analyze"
extern const char16_t* const kReasonFileChangeIncr;     // "On File Change Incremental"
extern const char16_t* const kReasonFileChangeDelay;    // "On File Change, After Delay"
extern const char16_t* const kReasonFolderConnect;      // "On Folder Connect"
extern const char16_t* const kReasonProgramStart;       // "Torvane Start"
extern const char16_t* const kReasonPeriodicTimer;      // "Periodic Timer"

// One tick over every job of the settings' list. bAnyRequested becomes true
// when at least one job got a request in this tick.
void AutoRunTick(CTorvaneSettings& settings, bool& bAnyRequested);
inline void AutoRunTick(bool& bAnyRequested) {
    AutoRunTick(g_Settings, bAnyRequested);
}
