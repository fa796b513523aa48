#include "sync-options.h"

#include "zor-tic.h"
#include "zor-unicode.h"

#include <cstring>

// ---------------------------------------------------------------- CSyncJobOptions
void CSyncJobOptions::SetDirection(int nDirection) {
    m_nDirection = nDirection;
    m_bPropagateDeletions = true;
    m_bSavePreviousVersion = true;
    m_bCopyUsingTempFile = true;
    m_bCopyLockedFiles = true;
    m_bEstimateRequiredSpace = true;
    if (nDirection == 0) {
        m_bCopyCreateTime = false;
        m_bExcludeHidden = true;
        m_bExcludeSystem = true;
    } else {
        m_n1wayMode = OWM_FORCED;
        m_bExcludeHidden = false;
        m_bExcludeSystem = false;
        m_nLimitChangesPercent = 100;
        m_bCopyCreateTime = true;
    }
}

namespace {

// One keyed field of the "Job" block: exactly one member pointer is set.
// A field is written when the full-dump flag is set, when bAlways is set, or
// when its value differs from nOmitWhen (a flag: 0/1; a text: empty).
struct JobKey {
    const char* key;
    bool CSyncJobOptions::*pFlag;
    int32_t CSyncJobOptions::*pNumber;
    CWideString CSyncJobOptions::*pText;
    CListT<CWideString> CJobFilters::*pList;
    int32_t nOmitWhen;
    bool bAlways;
};

using O = CSyncJobOptions;
constexpr JobKey Flag(const char* k, bool O::*p, bool bOmitWhen) {
    return {k, p, nullptr, nullptr, nullptr, bOmitWhen ? 1 : 0, false};
}
// A flag that is written whatever its value: its default is on, so leaving
// out "No" would turn a user's "off" back on at the next read.
constexpr JobKey FlagAlways(const char* k, bool O::*p) {
    return {k, p, nullptr, nullptr, nullptr, 0, true};
}
constexpr JobKey Number(const char* k, int32_t O::*p, int32_t nOmitWhen) {
    return {k, nullptr, p, nullptr, nullptr, nOmitWhen, false};
}
constexpr JobKey NumberAlways(const char* k, int32_t O::*p) {
    return {k, nullptr, p, nullptr, nullptr, 0, true};
}
constexpr JobKey Text(const char* k, CWideString O::*p) {
    return {k, nullptr, nullptr, p, nullptr, 0, false};
}
constexpr JobKey Filters(const char* k, CListT<CWideString> CJobFilters::*p) {
    return {k, nullptr, nullptr, nullptr, p, 0, false};
}

// The keys after Name, Dir1 and Dir2, in the order they are written.
const JobKey kJobKeys[] = {
    Number("Direction", &O::m_nDirection, -1),
    Number("1wayMode", &O::m_n1wayMode, -1),
    Flag("ReadOnlySource", &O::m_bReadOnlySource, false),
    Flag("PropagateDeletions", &O::m_bPropagateDeletions, true),
    Flag("SavePreviousVersion", &O::m_bSavePreviousVersion, true),
    Flag("CleanupPreviousVersion", &O::m_bCleanupPreviousVersion, true),
    Number("SaveDaysPreviousVersion", &O::m_nSaveDaysPreviousVersion, 30),
    Flag("CompareMD5crc", &O::m_bCompareMD5crc, false),
    Flag("ConflictOnDiffItemsNoCommonHistory", &O::m_bConflictOnDiffItemsNoCommonHistory, false),
    Flag("NoTvDataFolder", &O::m_bNoTvDataFolder, false),
    Flag("SavePastVersions", &O::m_bSavePastVersions, false),
    Flag("CleanupPastVersions", &O::m_bCleanupPastVersions, false),
    Number("SaveDaysPastVersions", &O::m_nSaveDaysPastVersions, 30),
    FlagAlways("CleanupOldGenerations", &O::m_bCleanupOldGenerations),
    Number("SaveMonthsOldGens", &O::m_nSaveMonthsOldGens, 24),
    Flag("CopyUsingTempFile", &O::m_bCopyUsingTempFile, true),
    Flag("EstimateRequiredSpace", &O::m_bEstimateRequiredSpace, true),
    Flag("CopyLockedFiles", &O::m_bCopyLockedFiles, true),
    Flag("SameBeforeSyncAsInAnalyze", &O::m_bSameBeforeSyncAsInAnalyze, false),
    Flag("CopyACL", &O::m_bCopyACL, false),
    Flag("CopyCreateTime", &O::m_bCopyCreateTime, false),
    Flag("FastPreAnalyzeWithStamps", &O::m_bFastPreAnalyzeWithStamps, false),
    Flag("WaitForLocks", &O::m_bWaitForLocks, false),
    Number("FolderLinks", &O::m_nFolderLinks, -1),
    Number("FileLinks", &O::m_nFileLinks, -1),
    Filters("FiltersIncluded", &CJobFilters::m_lstIncluded),
    Filters("FiltersExcluded", &CJobFilters::m_lstExcluded),
    Flag("ExcludeEmptyFolders", &O::m_bExcludeEmptyFolders, false),
    Flag("ExcludeHidden", &O::m_bExcludeHidden, false),
    Flag("ExcludeSystem", &O::m_bExcludeSystem, false),
    Number("SpeedLimit", &O::m_nSpeedLimit, 0),
    Number("UpSpeedLimit", &O::m_nUpSpeedLimit, 0),
    Flag("AutoReconnect", &O::m_bAutoReconnect, true),
    Number("ReconnectAttempts", &O::m_nReconnectAttempts, -1),
    Text("PreAnalyzeScriptOrEmail", &O::m_sPreAnalyzeScriptOrEmail),
    Text("PostAnalyzeScriptOrEmail", &O::m_sPostAnalyzeScriptOrEmail),
    Text("PostSyncScriptOrEmail", &O::m_sPostSyncScriptOrEmail),
    Number("LimitChangesPercent", &O::m_nLimitChangesPercent, 10),
    Number("ShowBalloon", &O::m_nShowBalloon, 1),
    Number("OnFolderConnectAction", &O::m_nOnFolderConnectAction, 0),
    Number("OnFileChangeAction", &O::m_nOnFileChangeAction, 0),
    Number("OnStartAction", &O::m_nOnStartAction, 0),
    Number("OnTimerAction", &O::m_nOnTimerAction, 0),
    NumberAlways("TimerIntervalHours", &O::m_nTimerIntervalHours),
    Number("TimerIntervalMinutes", &O::m_nTimerIntervalMinutes, 0),
    Number("OnLogoutAction", &O::m_nOnLogoutAction, 0),
    Number("OnVexaformAction", &O::m_nOnVexaformAction, 0),
    Number("AutoResolveConflicts", &O::m_nAutoResolveConflicts, 0),
    Flag("RenameLosingFile", &O::m_bRenameLosingFile, false),
    Flag("AutoClearTree", &O::m_bAutoClearTree, false),
    Number("AutoStartDelay", &O::m_nAutoStartDelay, 0),
    Number("OnFileChangeDelay", &O::m_nOnFileChangeDelay, 0),
    Flag("NoSavePreviousPastVersionsLocal", &O::m_bNoSavePreviousPastVersionsLocal, false),
    Flag("FastStop", &O::m_bFastStop, false),
    FlagAlways("DetectMovesAndRenames", &O::m_bDetectMovesAndRenames),
    FlagAlways("DetectFolderMoves", &O::m_bDetectFolderMoves),
    Number("WorkerThreads", &O::m_nWorkerThreads, 0),
};

bool PutLine(ZorOutStream& out, CWideString& sErr) {
    return PutTicText(out, "\n", sErr);
}

bool PutFlagLine(ZorOutStream& out, const char* sKey, int nLevel, bool b, CWideString& sErr) {
    return PutNameValueBool(out, sKey, nLevel, b, sErr) && PutLine(out, sErr);
}

bool WriteJobKey(const CSyncJobOptions& opt, const JobKey& k, ZorOutStream& out, bool bFull, int nLevel,
                 CWideString& sErr) {
    if (k.pFlag) {
        bool b = opt.*k.pFlag;
        if (!bFull && !k.bAlways && (b ? 1 : 0) == k.nOmitWhen) return true;
        return PutFlagLine(out, k.key, nLevel, b, sErr);
    }
    if (k.pNumber) {
        int32_t n = opt.*k.pNumber;
        if (!bFull && !k.bAlways && n == k.nOmitWhen) return true;
        return PutNameValueInt(out, k.key, nLevel, n, sErr);
    }
    if (k.pText) {
        const CWideString& s = opt.*k.pText;
        if (!bFull && s.IsEmpty()) return true;
        return PutNameValueWString(out, k.key, nLevel, s, sErr);
    }
    // A filter list: left out when empty, in a full dump too.
    const CListT<CWideString>& list = opt.m_Filters.*k.pList;
    if (list.IsEmpty()) return true;
    CNarrowString s(k.key);
    s += " = ";
    return PutTicText(out, s, sErr) && WriteFileMasks(list, out, bFull, nLevel + 1, sErr);
}

// The next token; at the end of the input before one, false with bEof set and
// nothing appended.
bool NextToken(ZorInStream& in, CNarrowString& sToken, bool& bQuoted, bool& bEof, CWideString& sErr) {
    bEof = false;
    unsigned char ch;
    do {
        if (!in.GetChar(ch, sErr)) {
            bEof = !in.HasError();
            return false;
        }
    } while (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n');
    in.UngetChar(ch);
    return ReadSettingsToken(in, sToken, bQuoted, sErr);
}

// The body of a keyword block after its opening: readKey(key, bKnown) reads
// the value of a key it knows; other keys are skipped with their values.
template <typename F> bool ReadBlockBody(ZorInStream& in, const char* sName, CWideString& sErr, F&& readKey) {
    CNarrowString closing;
    closing.Format("</%s>", sName);
    for (;;) {
        CNarrowString tok;
        bool bQuoted = false, bEof = false;
        if (!NextToken(in, tok, bQuoted, bEof, sErr)) {
            if (bEof) sErr += u"Unexpected EOF";
            return false;
        }
        if (bQuoted) {
            sErr += u"string where token expected";
            return false;
        }
        if (tok == closing) return true;
        bool bKnown = false;
        if (!readKey(tok, bKnown)) return false;
        if (!bKnown && !SkipNameValue(in, tok, sErr)) return false;
    }
}

} // namespace

bool WriteJobOptions(const CSyncJobOptions& opt, ZorOutStream& out, bool bFullDump, int nLevel,
                     CWideString& sErr) {
    if (!PutTicText(out, "<Job>\n", sErr)) return false;
    if ((bFullDump || !opt.m_sName.IsEmpty()) && !PutNameValueWString(out, "Name", nLevel, opt.m_sName, sErr))
        return false;
    if (!PutTicText(out, "Dir1 = ", sErr) || !opt.m_Dir1.WriteText(out, bFullDump, nLevel + 1, sErr))
        return false;
    if (!PutTicText(out, "Dir2 = ", sErr) || !opt.m_Dir2.WriteText(out, bFullDump, nLevel + 1, sErr))
        return false;
    for (const JobKey& k : kJobKeys)
        if (!WriteJobKey(opt, k, out, bFullDump, nLevel, sErr)) return false;
    return PutTicText(out, "</Job>\n", sErr);
}

bool ReadFileMasks(CListT<CWideString>& list, ZorInStream& in, CWideString& sErr) {
    if (!ReadObjectPrefix(in, "FileMask", sErr)) return false;
    return ReadBlockBody(in, "FileMask", sErr, [&](const CNarrowString& key, bool& bKnown) {
        bKnown = key == "Matches";
        return !bKnown || ReadStringList(in, list, sErr);
    });
}

bool ReadJobTix(CSyncJobOptions& opt, ZorInStream& in, CWideString& sErr) {
    if (!ReadObjectPrefix(in, "Job", sErr)) return false;
    return ReadBlockBody(in, "Job", sErr, [&](const CNarrowString& key, bool& bKnown) {
        bKnown = true;
        if (key == "Name") return ReadNameValueWString(in, opt.m_sName, sErr);
        if (key == "Dir1") return opt.m_Dir1.ReadText(in, sErr);
        if (key == "Dir2") return opt.m_Dir2.ReadText(in, sErr);
        for (const JobKey& k : kJobKeys) {
            if (key != k.key) continue;
            if (k.pFlag) return ReadNameValueBool(in, k.key, opt.*k.pFlag, sErr);
            if (k.pNumber) return ReadNameValueInt(in, opt.*k.pNumber, sErr);
            if (k.pText) return ReadNameValueWString(in, opt.*k.pText, sErr);
            return ReadFileMasks(opt.m_Filters.*k.pList, in, sErr);
        }
        bKnown = false;
        return true;
    });
}

bool ReadKeywordBlockBody(ZorInStream& in, const char* sName, CWideString& sErr,
                          const std::function<bool(const CNarrowString& key, bool& bKnown)>& readKey) {
    return ReadBlockBody(in, sName, sErr, readKey);
}

// ---------------------------------------------------------------- proxy
bool WriteProxyOptions(const CProxyOptions& opt, ZorOutStream& out, bool bFullDump, int nLevel,
                       CWideString& sErr) {
    if (!PutTicText(out, "<ProxyServer>\n", sErr)) return false;
    if ((bFullDump || !opt.m_bUseWinInetProxy) &&
        !PutFlagLine(out, "UseWinInetProxy", nLevel, opt.m_bUseWinInetProxy, sErr))
        return false;
    if ((bFullDump || opt.m_bUseProxyBelow) &&
        !PutFlagLine(out, "UseProxyBelow", nLevel, opt.m_bUseProxyBelow, sErr))
        return false;
    if ((bFullDump || !opt.m_sHost.IsEmpty()) && !PutNameValueString(out, "Host", nLevel, opt.m_sHost, sErr))
        return false;
    if ((bFullDump || opt.m_nPort != 0) && !PutNameValueInt(out, "Port", nLevel, opt.m_nPort, sErr))
        return false;
    if ((bFullDump || !opt.m_sUserID.IsEmpty()) &&
        !PutNameValueString(out, "UserID", nLevel, opt.m_sUserID, sErr))
        return false;
    if ((bFullDump || !opt.m_sPassword.IsEmpty()) &&
        !PutNameValueString(out, "Password", nLevel, opt.m_sPassword, sErr))
        return false;
    return PutTicText(out, "</ProxyServer>\n", sErr);
}

bool ReadProxyOptions(CProxyOptions& opt, ZorInStream& in, CWideString& sErr) {
    if (!ReadObjectPrefix(in, "ProxyServer", sErr)) return false;
    return ReadBlockBody(in, "ProxyServer", sErr, [&](const CNarrowString& key, bool& bKnown) {
        bKnown = true;
        if (key == "UseWinInetProxy")
            return ReadNameValueBool(in, "UseWinInetProxy", opt.m_bUseWinInetProxy, sErr);
        if (key == "UseProxyBelow") return ReadNameValueBool(in, "UseProxyBelow", opt.m_bUseProxyBelow, sErr);
        if (key == "Host") return ReadNameValueString(in, opt.m_sHost, sErr);
        if (key == "Port") return ReadNameValueInt(in, opt.m_nPort, sErr);
        if (key == "UserID") return ReadNameValueString(in, opt.m_sUserID, sErr);
        if (key == "Password") return ReadNameValueString(in, opt.m_sPassword, sErr);
        bKnown = false;
        return true;
    });
}

// ---------------------------------------------------------------- small texts
bool SplitAtChar(const CWideString& s, char16_t ch, CWideString& sBefore, CWideString& sAfter) {
    int i = s.Find(ch);
    if (i < 0) {
        sBefore = s;
        sAfter.Empty();
        return false;
    }
    // Copies first: the outputs may be the input itself.
    CWideString before = s.Left(i), after = s.Mid(i + 1);
    sBefore = before;
    sAfter = after;
    return true;
}

bool CopyWideToBuffer(char16_t* pBuffer, int nCapacity, const CWideString& s) {
    if (!pBuffer || nCapacity <= 0) return false;
    int n = s.GetLength();
    if (n + 1 > nCapacity) {
        pBuffer[0] = 0;
        return false;
    }
    std::memcpy(pBuffer, s.GetString(), (size_t)n * sizeof(char16_t));
    pBuffer[n] = 0;
    return true;
}
