#include "engine-globals.h"

CEngineOptions g_EngineOptions;

PfnJobMayRun g_pfnJobMayRun = nullptr;

const char16_t* const kJobMayRun_Running =
    u"Job %s has common folder with this job and it is now running. Let it finish first";
const char16_t* const kJobMayRun_Syncing =
    u"Job %s has common folder with this job and it is now syncing. Let it finish first";
const char16_t* const kJobMayRun_AnalyzingForSync =
    u"Job %s has common folder with this job and it is now analyzing for sync. Let it finish first";

const char* const kEngineVersion = "9.2.9.0";
