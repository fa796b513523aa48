// The engine's localised texts: built-in English tables by numeric id and by
// key, with "%1".."%5" substitution.
//
// Only the built-in English texts are held; translated string-table files
// are not loaded.
#pragma once

#include "zor-string.h"

// Ids of the engine's texts (10000..11127). The key of IDS_Str_X is "Str_X".
enum ZorStringId : int {
    IDS_Str_Left = 10489,
    IDS_Str_Right = 10490,
    IDS_Str_NotSeenBefore = 11000,
    IDS_Str_ExclBy_NoMatchName = 11001,
    IDS_Str_ExclBy_MatchName = 11002,
    IDS_Str_Msg_Filter_Included = 11003,
    IDS_Str_Msg_Filter_Excluded = 11004,
    IDS_Str_Msg_StoppedByUser = 11005,
    IDS_Str_Status_NewStateFile = 11006,
    IDS_Str_Status_CompareOneSide = 11007,
    IDS_Str_Status_OneSideStats = 11008,
    IDS_Str_Status_Scanning = 11009,
    IDS_Str_Status_Paused = 11010,
    IDS_Str_Status_NotYetAnalyzed = 11011,
    IDS_Str_Status_Connected = 11012,
    IDS_Str_Status_Disconnected = 11013,
    IDS_Str_Status_Analyzing = 11014,
    IDS_Str_Status_Connecting = 11015,
    IDS_Str_Status_Errors = 11016,
    IDS_Str_Status_ConflictsCnt = 11017,
    IDS_Str_Status_ErrorsCnt = 11018,
    IDS_Str_Status_FilesChangedCnt = 11019,
    IDS_Str_Status_Syncing = 11020,
    IDS_Str_Status_SyncAttention = 11021,
    IDS_Str_Status_InSync = 11022,
    IDS_Str_Status_Remaining_Speed = 10611,
    IDS_Str_Msg_AndMoreSimilarLogLines = 10633,
    IDS_Str_ExclBy_SyncFolder = 11023,
    IDS_Str_ExclBy_SystemFolder = 11024,
    IDS_Str_ExclBy_FolderAbove = 11025,
    IDS_Str_ExclBy_HiddenFolder = 11026,
    IDS_Str_Msg_SkipFolderLink = 11027,
    IDS_Str_ExclBy_HiddenFile = 11028,
    IDS_Str_ExclBy_SystemFile = 11029,
    IDS_Str_Msg_SkipFileLink = 11030,
    IDS_Str_Status_ReadStateFile = 10523,
    IDS_Str_Status_ReadEmbeddedStateFile = 10524,
    IDS_Str_Status_SaveStateFile = 10526,
    IDS_Str_Status_AnalyzeStopped = 10597,
    IDS_Str_Msg_SameFolders = 11031,
    IDS_Str_Msg_NestedFolders2 = 11032,
    IDS_Str_Msg_CannotCreateTvdata = 11033,
    IDS_Str_Msg_SetFolder = 11034,
    IDS_Str_Status_ConnectingToFolder = 11035,
    IDS_Str_Msg_CannotConnect = 11036,
    IDS_Str_Msg_WillCreateFolder = 11037,
    IDS_Str_Msg_Created_Folder = 11038,
    IDS_Str_Msg_NoTvDataSide_Option = 11039,
    IDS_Str_Msg_NoTvDataSide_Warn = 11040,
    IDS_Str_Msg_ReadOnlySide_TvData = 11041,
    IDS_Str_Status_VolumeInfo_Free = 11042,
    IDS_Str_Status_VolumeInfo_Reqd = 11043,
    IDS_Str_Status_AnalysisStarted = 11044,
    IDS_Str_Status_CompareLeftToRight = 11045,
    IDS_Str_Status_PostProcessing = 11046,
    IDS_Str_Status_ComputePrevVerSize = 11047,
    IDS_Str_Msg_RequiredDiskSpace = 11048,
    IDS_Str_Msg_NotEnoughDiskSpace = 11049,
    IDS_Str_Status_AnalyzeFinished_ReadyToSync = 11050,
    IDS_Str_Status_Advise_HaveConflicts = 11051,
    IDS_Str_Status_Advise_HaveErrors = 11052,
    IDS_Str_Status_AnalyzeFinished_NoChanges = 11053,
    IDS_Str_Status_AnalysisSummary = 11054,
    IDS_Str_Status_AnalysisCompleted = 11055,
    IDS_Str_Msg_Filter_ExcludeHidden = 11056,
    IDS_Str_Msg_Filter_ExcludeSystem = 11057,
    IDS_Str_Msg_Filter_ExcludeEmptyFolders = 11058,
    IDS_Str_Msg_Conflict_NewFilesDiff = 11059,
    IDS_Str_Msg_Conflict_BothChanged = 11060,
    IDS_Str_ExclBy_ChildOfExcl = 11061,
    IDS_Str_ExclBy_EmptyFolder = 11062,
    IDS_Str_Msg_OldNewWholeHour_TimeShift = 11063,
    IDS_Str_Msg_OldNewRounding_TimeShift = 11064,
    IDS_Str_Msg_LeftRight_TimeShift = 11065,
    IDS_Str_Msg_Conflict_1way_RtoL = 11066,
    IDS_Str_Msg_Conflict_1way_LtoR = 11067,
    IDS_Str_ExclBy_NoPropDels = 11068,
    IDS_Str_Msg_OlderFileVsNewer = 11069,
    IDS_Str_Status_SynchroStarted = 11070,
    IDS_Str_Status_SynchroErrors = 11071,
    IDS_Str_Status_SynchroConflicts = 11072,
    IDS_Str_Status_SynchroSummary = 11073,
    IDS_Str_Status_SynchroCompleted = 11074,
    IDS_Str_Status_SyncFinished_OK = 11075,
    IDS_Str_Msg_LimitChanges2 = 11076,
    IDS_Str_Msg_Action_MoveFile = 11077,
    IDS_Str_Msg_Action_MoveFolder = 11078,
    IDS_Str_Status_SyncDisconnected = 11079,
    IDS_Str_Status_SyncError = 11080,
    IDS_Str_Msg_Action_MoveFileDone = 11081,
    IDS_Str_Msg_Action_CopyTime = 11082,
    IDS_Str_Msg_Action_DeleteFolder = 11083,
    IDS_Str_Msg_Action_DeleteFile = 11084,
    IDS_Str_Msg_Action_CreateFolder = 11085,
    IDS_Str_Msg_Action_CopyOver = 11086,
    IDS_Str_Msg_Action_CopyNew = 11087,
    IDS_Str_Msg_FolderLocked = 11088,
    IDS_Str_Msg_FileDeleted = 11089,
    IDS_Str_Msg_StateFileDeleted = 11090,
    IDS_Str_Msg_CannotDelete = 11091,
    IDS_Str_Msg_FolderDeleted = 11092,
    IDS_Msg_DetectedDisconnect = 10576,
    IDS_Msg_DetectedConnect = 10578,
    IDS_Msg_JobScheduledToRun = 10592,
    IDS_Msg_DeleteIntersectingResults = 10620,
    IDS_Msg_SyncOfIntersectingJob = 10621,
    IDS_Msg_AskRereadDataFolder = 10632,
};

class CLocalizedString {
public:
    // The process-wide tables.
    static const CLocalizedString& Instance();

    // The text of an id or key; false when there is none.
    bool Lookup(int id, CWideString& text) const;
    bool Lookup(const char* key, CWideString& text) const;
    // The id of a key; 0 when there is none.
    int IdOfKey(const char* key) const;
    // Replaces "%1".."%5" by the arguments (a missing one by nothing) and
    // "%%" by "%"; every other '%' stays. Arguments are not scanned again.
    static CWideString Substitute(const CWideString& text, const CWideString* const* args, int nArgs);

private:
    CLocalizedString();
    struct Impl;
    Impl* m_pImpl;
};

// The text of an id or key; an unknown one gives an empty text and an
// assertion report.
CWideString GetLocalizedString(int id);
CWideString GetLocalizedString(const char* key);

// The text of an id with "%1".."%5" filled and "%%" giving "%".
CWideString FormatLocalizedString(int id, const CWideString& a1 = CWideString(),
                                  const CWideString& a2 = CWideString(),
                                  const CWideString& a3 = CWideString(),
                                  const CWideString& a4 = CWideString(),
                                  const CWideString& a5 = CWideString());
CWideString FormatLocalizedString(const char* key, const CWideString& a1 = CWideString(),
                                  const CWideString& a2 = CWideString(),
                                  const CWideString& a3 = CWideString(),
                                  const CWideString& a4 = CWideString(),
                                  const CWideString& a5 = CWideString());
