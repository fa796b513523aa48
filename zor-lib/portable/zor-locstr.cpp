// The built-in English string tables.
#include "zor-locstr.h"

#include "zor-debug.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace {

struct Entry {
    int id;
    const char* key; // null for texts known by id only
    const char16_t* text;
};

// clang-format off
const Entry kEntries[] = {
    {IDS_Str_Left, "Str_Left", u"Left"},
    {IDS_Str_Right, "Str_Right", u"Right"},
    {IDS_Str_Status_ReadStateFile, "Str_Status_ReadStateFile", u"Reading State File %1"},
    {IDS_Str_Status_ReadEmbeddedStateFile, "Str_Status_ReadEmbeddedStateFile", u"Reading State File %1 and merge it with the root state"},
    {IDS_Str_Status_SaveStateFile, "Str_Status_SaveStateFile", u"Save State File %1"},
    {IDS_Msg_DetectedDisconnect, nullptr, u"%1: Detected Disconnect: %2"},
    {IDS_Msg_DetectedConnect, nullptr, u"%1: Detected Connect, perform Analyze"},
    {IDS_Msg_JobScheduledToRun, nullptr, u"----- Job '%1': Scheduled to run by %2"},
    {IDS_Str_Status_AnalyzeStopped, "Str_Status_AnalyzeStopped", u"Analysis Stopped by User"},
    {IDS_Str_Status_Remaining_Speed, "Str_Status_Remaining_Speed", u"Remaining %1, Speed %2"},
    {IDS_Msg_DeleteIntersectingResults, nullptr, u"Delete Analysis results of the jobs that intersect with this job: %1"},
    {IDS_Msg_SyncOfIntersectingJob, nullptr, u"Sync of intersecting job %1"},
    {IDS_Msg_AskRereadDataFolder, nullptr, u"Asking Vexaform to re-read data folder %1"},
    {IDS_Str_Msg_AndMoreSimilarLogLines, "Str_Msg_AndMoreSimilarLogLines", u"... and %1 more similar log lines are skipped here (select Job -> Open Left/Right Log to view the entire log)"},
    {IDS_Str_NotSeenBefore, "Str_NotSeenBefore", u"not seen before"},
    {IDS_Str_ExclBy_NoMatchName, "Str_ExclBy_NoMatchName", u"not included: no match "},
    {IDS_Str_ExclBy_MatchName, "Str_ExclBy_MatchName", u"excluded: match "},
    {IDS_Str_Msg_Filter_Included, "Str_Msg_Filter_Included", u"Include"},
    {IDS_Str_Msg_Filter_Excluded, "Str_Msg_Filter_Excluded", u"Exclude"},
    {IDS_Str_Msg_StoppedByUser, "Str_Msg_StoppedByUser", u"Stopped by User"},
    {IDS_Str_Status_NewStateFile, "Str_Status_NewStateFile", u"%1: No State File found, New State will be built"},
    {IDS_Str_Status_CompareOneSide, "Str_Status_CompareOneSide", u"Comparing %1"},
    {IDS_Str_Status_OneSideStats, "Str_Status_OneSideStats", u"%1: Files: %2 (excluded %3). Folders: %4 (excluded %5)."},
    {IDS_Str_Status_Scanning, "Str_Status_Scanning", u"Scanning %1"},
    {IDS_Str_Status_Paused, "Str_Status_Paused", u"Paused"},
    {IDS_Str_Status_NotYetAnalyzed, "Str_Status_NotYetAnalyzed", u"Not Analyzed Yet"},
    {IDS_Str_Status_Connected, "Str_Status_Connected", u"Connected"},
    {IDS_Str_Status_Disconnected, "Str_Status_Disconnected", u"Disconnected"},
    {IDS_Str_Status_Analyzing, "Str_Status_Analyzing", u"Analyzing"},
    {IDS_Str_Status_Connecting, "Str_Status_Connecting", u"Connecting"},
    {IDS_Str_Status_Errors, "Str_Status_Errors", u"Errors"},
    {IDS_Str_Status_ConflictsCnt, "Str_Status_ConflictsCnt", u"Conflicts: %1"},
    {IDS_Str_Status_ErrorsCnt, "Str_Status_ErrorsCnt", u"Errors: %1"},
    {IDS_Str_Status_FilesChangedCnt, "Str_Status_FilesChangedCnt", u"Files Changed: %1"},
    {IDS_Str_Status_Syncing, "Str_Status_Syncing", u"Synchronizing"},
    {IDS_Str_Status_SyncAttention, "Str_Status_SyncAttention", u"Requires Attention"},
    {IDS_Str_Status_InSync, "Str_Status_InSync", u"In Sync"},
    {IDS_Str_ExclBy_SyncFolder, "Str_ExclBy_SyncFolder", u"excluded: Torvane data folder"},
    {IDS_Str_ExclBy_SystemFolder, "Str_ExclBy_SystemFolder", u"excluded: System folder"},
    {IDS_Str_ExclBy_FolderAbove, "Str_ExclBy_FolderAbove", u"excluded by folder above"},
    {IDS_Str_ExclBy_HiddenFolder, "Str_ExclBy_HiddenFolder", u"excluded: Hidden folder"},
    {IDS_Str_Msg_SkipFolderLink, "Str_Msg_SkipFolderLink", u"Skip Folder Link %1"},
    {IDS_Str_ExclBy_HiddenFile, "Str_ExclBy_HiddenFile", u"excluded: Hidden file"},
    {IDS_Str_ExclBy_SystemFile, "Str_ExclBy_SystemFile", u"excluded: System file"},
    {IDS_Str_Msg_SkipFileLink, "Str_Msg_SkipFileLink", u"Skip File Link %1"},
    {IDS_Str_Msg_SameFolders, "Str_Msg_SameFolders", u"Left and right folders are the same."},
    {IDS_Str_Msg_NestedFolders2, "Str_Msg_NestedFolders2", u"Folder '%1' is a sub-folder of folder '%2' or vice versa. Cannot Analyze nested folders."},
    {IDS_Str_Msg_CannotCreateTvdata, "Str_Msg_CannotCreateTvdata", u"Cannot create Torvane State Folder _tvdata_ on %1: %2\nIf this is a read-only folder then set this job to 1-way Forced ReadOnlySource in Job -> Options"},
    {IDS_Str_Msg_SetFolder, "Str_Msg_SetFolder", u"Folder is not specified"},
    {IDS_Str_Status_ConnectingToFolder, "Str_Status_ConnectingToFolder", u"Connecting to folder %1"},
    {IDS_Str_Msg_CannotConnect, "Str_Msg_CannotConnect", u"Cannot connect to "},
    {IDS_Str_Msg_WillCreateFolder, "Str_Msg_WillCreateFolder", u"Folder '%1' not found, so we will try to create it"},
    {IDS_Str_Msg_Created_Folder, "Str_Msg_Created_Folder", u"Created folder '%1' successfully"},
    {IDS_Str_Msg_NoTvDataSide_Option, "Str_Msg_NoTvDataSide_Option", u"No _tvdata_ folder %1 side, per job option: Use Mirror State folder: %2"},
    {IDS_Str_Msg_NoTvDataSide_Warn, "Str_Msg_NoTvDataSide_Warn", u"_TVDATA_ folder disabled: turning OFF Save Previous/Past Versions options"},
    {IDS_Str_Msg_ReadOnlySide_TvData, "Str_Msg_ReadOnlySide_TvData", u"Read-only %1 side: Use Mirror State folder: %2"},
    {IDS_Str_Status_VolumeInfo_Free, "Str_Status_VolumeInfo_Free", u"Free: %1, Total: %2"},
    {IDS_Str_Status_VolumeInfo_Reqd, "Str_Status_VolumeInfo_Reqd", u"Required: %1"},
    {IDS_Str_Status_AnalysisStarted, "Str_Status_AnalysisStarted", u"----- %1: Job '%2': ANALYSIS started by %3 on computer '%4' (Torvane %5) -----"},
    {IDS_Str_Status_CompareLeftToRight, "Str_Status_CompareLeftToRight", u"Comparing Left to Right"},
    {IDS_Str_Status_PostProcessing, "Str_Status_PostProcessing", u"PostProcessing"},
    {IDS_Str_Status_ComputePrevVerSize, "Str_Status_ComputePrevVerSize", u"Compute _saved_ file sizes"},
    {IDS_Str_Msg_RequiredDiskSpace, "Str_Msg_RequiredDiskSpace", u"On disk %1 space required for sync is %2, you have %3"},
    {IDS_Str_Msg_NotEnoughDiskSpace, "Str_Msg_NotEnoughDiskSpace", u"Not enough free space on disk %1 need %2, have %3"},
    {IDS_Str_Status_AnalyzeFinished_ReadyToSync, "Str_Status_AnalyzeFinished_ReadyToSync", u"Analyzed, click Sync to synchronize"},
    {IDS_Str_Status_Advise_HaveConflicts, "Str_Status_Advise_HaveConflicts", u"Analyze has finished with Conflicts. Resolve Conflicts by selecting the correct sync direction, then click Sync"},
    {IDS_Str_Status_Advise_HaveErrors, "Str_Status_Advise_HaveErrors", u"Analyze has finished with Errors. Click Errors button to see all error items"},
    {IDS_Str_Status_AnalyzeFinished_NoChanges, "Str_Status_AnalyzeFinished_NoChanges", u"Analyzed, no changes detected"},
    {IDS_Str_Status_AnalysisSummary, "Str_Status_AnalysisSummary", u"Changes: %1, Conflicts: %2, CopyTime: %3, CopyState: %4, Errors: %5"},
    {IDS_Str_Status_AnalysisCompleted, "Str_Status_AnalysisCompleted", u"----- %1: Analysis Completed. Time %2, Speed: %3 files/s -----"},
    {IDS_Str_Msg_Filter_ExcludeHidden, "Str_Msg_Filter_ExcludeHidden", u"Exclude Hidden"},
    {IDS_Str_Msg_Filter_ExcludeSystem, "Str_Msg_Filter_ExcludeSystem", u"Exclude System"},
    {IDS_Str_Msg_Filter_ExcludeEmptyFolders, "Str_Msg_Filter_ExcludeEmptyFolders", u"Exclude Empty Folders"},
    {IDS_Str_Msg_Conflict_NewFilesDiff, "Str_Msg_Conflict_NewFilesDiff", u"Conflict: New files that differ"},
    {IDS_Str_Msg_Conflict_BothChanged, "Str_Msg_Conflict_BothChanged", u"Conflict: File Modified on Both Sides"},
    {IDS_Str_ExclBy_ChildOfExcl, "Str_ExclBy_ChildOfExcl", u"excluded: child of excluded"},
    {IDS_Str_ExclBy_EmptyFolder, "Str_ExclBy_EmptyFolder", u"excluded: empty folder"},
    {IDS_Str_Msg_OldNewWholeHour_TimeShift, "Str_Msg_OldNewWholeHour_TimeShift", u"%1: Old-New Time Shift of %2 hours detected for %3 of files. Decided: No Change on this side"},
    {IDS_Str_Msg_OldNewRounding_TimeShift, "Str_Msg_OldNewRounding_TimeShift", u"%1: Old-New Rounding Time Shift of %2 hours (type %3) detected for %4 files. Decided: No Change on this side"},
    {IDS_Str_Msg_LeftRight_TimeShift, "Str_Msg_LeftRight_TimeShift", u"Left-Right Time Shift of %1 hours (type %2) detected for %3 files: Decided: Change Copy File operations to Copy Time"},
    {IDS_Str_Msg_Conflict_1way_RtoL, "Str_Msg_Conflict_1way_RtoL", u"RightToLeft sync in LeftToRight 1-Way job"},
    {IDS_Str_Msg_Conflict_1way_LtoR, "Str_Msg_Conflict_1way_LtoR", u"LeftToRight sync in RightToLeft 1-Way job"},
    {IDS_Str_ExclBy_NoPropDels, "Str_ExclBy_NoPropDels", u"excluded: do not propagate deletions"},
    {IDS_Str_Msg_OlderFileVsNewer, "Str_Msg_OlderFileVsNewer", u"Warning: Older file to replace Newer file"},
    {IDS_Str_Status_SynchroStarted, "Str_Status_SynchroStarted", u"===== %1: Job '%2': SYNC started by %3 on computer '%4' ====="},
    {IDS_Str_Status_SynchroErrors, "Str_Status_SynchroErrors", u"Sync finished with %1 errors. Click Errors button to see sync errors"},
    {IDS_Str_Status_SynchroConflicts, "Str_Status_SynchroConflicts", u"Sync finished with %1 unresolved conflicts. Click Conflicts button to see unresolved conflicts"},
    {IDS_Str_Status_SynchroSummary, "Str_Status_SynchroSummary", u"Items Synced OK: %1, Errors: %2"},
    {IDS_Str_Status_SynchroCompleted, "Str_Status_SynchroCompleted", u"===== %1: Sync Completed. Time: %2, Speed: %3 ====="},
    {IDS_Str_Status_SyncFinished_OK, "Str_Status_SyncFinished_OK", u"Sync completed successfully"},
    {IDS_Str_Msg_LimitChanges2, "Str_Msg_LimitChanges2", u"%1 files have changed, more than a threshold of %2. So the job will not synchronize automatically."},
    {IDS_Str_Msg_Action_MoveFile, "Str_Msg_Action_MoveFile", u"Move File %1 -> %2"},
    {IDS_Str_Msg_Action_MoveFolder, "Str_Msg_Action_MoveFolder", u"Move Folder %1 -> %2"},
    {IDS_Str_Status_SyncDisconnected, "Str_Status_SyncDisconnected", u"Folder Disconnected"},
    {IDS_Str_Status_SyncError, "Str_Status_SyncError", u"ERROR"},
    {IDS_Str_Msg_Action_MoveFileDone, "Str_Msg_Action_MoveFileDone", u"Move File %1 <-> %2: already done"},
    {IDS_Str_Msg_Action_CopyTime, "Str_Msg_Action_CopyTime", u"Copy Mod Time of %1 to %2"},
    {IDS_Str_Msg_Action_DeleteFolder, "Str_Msg_Action_DeleteFolder", u"Delete Folder"},
    {IDS_Str_Msg_Action_DeleteFile, "Str_Msg_Action_DeleteFile", u"Delete File"},
    {IDS_Str_Msg_Action_CreateFolder, "Str_Msg_Action_CreateFolder", u"Create Folder"},
    {IDS_Str_Msg_Action_CopyOver, "Str_Msg_Action_CopyOver", u"Copy Over"},
    {IDS_Str_Msg_Action_CopyNew, "Str_Msg_Action_CopyNew", u"Copy New"},
    {IDS_Str_Msg_FolderLocked, "Str_Msg_FolderLocked", u"Another job is Syncing in folder %1,\nit was started by: %2.\nPlease try again later or Override locks if you are *sure* the other job has ended."},
    {IDS_Str_Msg_FileDeleted, "Str_Msg_FileDeleted", u"User Deleted file %1"},
    {IDS_Str_Msg_StateFileDeleted, "Str_Msg_StateFileDeleted", u"Deleted state file %1"},
    {IDS_Str_Msg_CannotDelete, "Str_Msg_CannotDelete", u"Cannot delete %1: %2"},
    {IDS_Str_Msg_FolderDeleted, "Str_Msg_FolderDeleted", u"User Deleted folder %1"},
};
// clang-format on

} // namespace

struct CLocalizedString::Impl {
    std::unordered_map<int, const Entry*> byId;
    std::unordered_map<std::string, const Entry*> byKey;
};

CLocalizedString::CLocalizedString() : m_pImpl(new Impl) {
    for (const Entry& e : kEntries) {
        ZOR_ASSERT(e.id >= 10000 && e.id <= 11127);
        bool fresh = m_pImpl->byId.emplace(e.id, &e).second;
        ZOR_ASSERT(fresh);
        if (e.key) m_pImpl->byKey.emplace(e.key, &e);
    }
}

const CLocalizedString& CLocalizedString::Instance() {
    // Never destroyed: texts may be asked for while the process ends.
    static const CLocalizedString* inst = new CLocalizedString();
    return *inst;
}

bool CLocalizedString::Lookup(int id, CWideString& text) const {
    auto it = m_pImpl->byId.find(id);
    if (it == m_pImpl->byId.end()) return false;
    text = it->second->text;
    return true;
}

bool CLocalizedString::Lookup(const char* key, CWideString& text) const {
    if (!key) return false;
    auto it = m_pImpl->byKey.find(key);
    if (it == m_pImpl->byKey.end()) return false;
    text = it->second->text;
    return true;
}

int CLocalizedString::IdOfKey(const char* key) const {
    if (!key) return 0;
    auto it = m_pImpl->byKey.find(key);
    return it == m_pImpl->byKey.end() ? 0 : it->second->id;
}

CWideString CLocalizedString::Substitute(const CWideString& text, const CWideString* const* args, int nArgs) {
    CWideString out;
    int len = text.GetLength();
    const char16_t* s = text.GetString();
    out.Preallocate(len);
    int run = 0;
    for (int i = 0; i < len; i++) {
        if (s[i] != u'%' || i + 1 >= len) continue;
        char16_t n = s[i + 1];
        if (n == u'%') {
            out.Append(s + run, i + 1 - run); // keeps one '%'
            run = i + 2;
            i++;
        } else if (n >= u'1' && n <= u'5') {
            out.Append(s + run, i - run);
            int k = n - u'1';
            if (k < nArgs && args[k]) out.Append(*args[k]);
            run = i + 2;
            i++;
        }
    }
    out.Append(s + run, len - run);
    return out;
}

CWideString GetLocalizedString(int id) {
    CWideString s;
    if (!CLocalizedString::Instance().Lookup(id, s))
        ZorAssertFailed(__FILE__, __LINE__, 0, "no localised text for id", id);
    return s;
}

CWideString GetLocalizedString(const char* key) {
    CWideString s;
    if (!CLocalizedString::Instance().Lookup(key, s))
        ZorAssertFailed(__FILE__, __LINE__, 0, "no localised text for key");
    return s;
}

CWideString FormatLocalizedString(int id, const CWideString& a1, const CWideString& a2, const CWideString& a3,
                                  const CWideString& a4, const CWideString& a5) {
    const CWideString* args[5] = {&a1, &a2, &a3, &a4, &a5};
    return CLocalizedString::Substitute(GetLocalizedString(id), args, 5);
}

CWideString FormatLocalizedString(const char* key, const CWideString& a1, const CWideString& a2,
                                  const CWideString& a3, const CWideString& a4, const CWideString& a5) {
    const CWideString* args[5] = {&a1, &a2, &a3, &a4, &a5};
    return CLocalizedString::Substitute(GetLocalizedString(key), args, 5);
}
