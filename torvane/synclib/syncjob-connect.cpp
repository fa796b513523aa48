// Side connection and the reconnect policy: connecting each side's file
// system at its folder, the per-side rules (data folder or mirror folder,
// temporary files), the side status lines and the mirror folder paths.
#include "syncjob.h"

#include "TvFileCopy.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

namespace {

CWideString SideName(int side) {
    return GetLocalizedString(side == 0 ? IDS_Str_Left : IDS_Str_Right);
}

// The connect-in-progress counter, held for the length of a scope.
class ConnectCounter {
public:
    explicit ConnectCounter(std::atomic<int32_t>& n) : m_n(n) { m_n.fetch_add(1); }
    ~ConnectCounter() { m_n.fetch_sub(1); }
    ConnectCounter(const ConnectCounter&) = delete;
    ConnectCounter& operator=(const ConnectCounter&) = delete;

private:
    std::atomic<int32_t>& m_n;
};

// A host whose servers do not speak the file protocols correctly.
constexpr const char16_t* kBrokenStorageHost = u"webdav.unreliable-storage.example";

} // namespace

bool MakeMirrorFolderPath(bool bWholeFolder, const CWideString& url, bool bShortName, CWideString& out,
                          int& errKind, CWideString& errText) {
    CWideString name = url;
    name.Replace(u"://", u"-");
    name.Replace(u':', u'-');
    name.Replace(u'/', u'-');
    name.Replace(u'\\', u'-');
    name.Replace(u"--", u"-");
    if (name.GetLength() >= 200) {
        uint32_t sum = 0;
        for (int i = 0; i < name.GetLength(); ++i) sum += (uint16_t)name[i];
        CWideString tail = name.Right(200);
        name.Format(u"%s-%d", tail, (int32_t)sum);
    }
    const CWideString& root = g_EngineOptions.m_sMirrorFolderRoot;
    if (root.IsEmpty()) {
        errText += u"torvane mirror folder root not defined";
        errKind = FSE_GENERAL;
        return false;
    }
    out = root;
    RemoveTrailingSlash(out);
    out += u"/";
    out += bShortName ? u"Mirrors" : u"_tvdata_mirrors_";
    if (!bWholeFolder) {
        out += u"/";
        out += name;
    }
    return true;
}

bool CSyncJob::ConnectSides(int& failedSide, int& errKind, CWideString& errText) {
    for (int side = 0; side < 2; ++side) {
        failedSide = side;
        if (!ConnectSide(side, errKind, errText)) return false;
        m_anSideCaps[side] = (uint8_t)(m_apFs[side]->GetCapability(TVFS_CAP_SOURCE_STATE) != 0);
    }
    return true;
}

bool CSyncJob::ConnectSide(int side, int& errKind, CWideString& errText) {
    const CWideString sideName = SideName(side);
    ConnectCounter counter(m_nConnectInProgress);

    CWideString folder = GetSideFolder(side);
    if (folder.IsEmpty()) {
        ZOR_ASSERT(!m_apFs[side]);
        errText += sideName + u": " + GetLocalizedString(IDS_Str_Msg_SetFolder);
        errKind = FSE_GENERAL;
        return false;
    }
    if (folder.Find(u'%') >= 0) {
        CWideString expanded = folder;
        ExpandPathMacros(expanded);
        if (expanded != folder) {
            Notify(2, CWideString::Formatted(u"Expanded '%s' to '%s'\n", folder, expanded));
            folder = NormalizeUrl(expanded);
        }
    }
    if (folder.Find(kBrokenStorageHost) >= 0)
        Notify(1,
               CWideString::Formatted(u"The servers of %s do not implement FTP and DAV protocols correctly, "
                                      u"so this program will not work with them.\n",
                                      kBrokenStorageHost));
    SetProgress(0, u"** " + FormatLocalizedString(IDS_Str_Status_ConnectingToFolder, folder), false);

    TvConnectInfoEx& optCi = side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2;
    TvConnectInfo ci = optCi;
    if (!m_apFs[side]) {
        TvFileSys* pNew = NewFsForUrl(folder);
        if (!pNew) {
            errText += sideName + u": Do not have file system for " + folder;
            errKind = FSE_GENERAL;
            return false;
        }
        m_apFs[side].reset(pNew);
        pNew->SetProgressCallback(GetFsProgress());
    } else {
        m_apFs[side]->Close();
    }
    TvFileSys* fs = m_apFs[side].get();
    // An analysis leaves the sides as they are.
    fs->m_bOnlyReads = m_bSync ? 0 : 1;
    ci.m_bCopyLockedFiles = (uint8_t)(m_Options.m_bCopyLockedFiles && !IsPortableEdition());
    ci.m_bCopyACL = (uint8_t)m_Options.m_bCopyACL;

    if (!fs->IsConnected()) {
        fs->Close();
        ZorGetProgramLog().Printf(u"Connecting side %d to %s\n", side, folder);
        ci.m_sUrl = folder;
        CWideString err;
        if (!fs->Connect(ci, GetFsProgress(), errKind, err)) {
            errText += GetLocalizedString(IDS_Str_Msg_CannotConnect) + folder + u": " + err;
            return false;
        }
    }
    const CWideString rootPath = fs->GetRootDir();
    {
        CWideString err;
        if (!fs->SetRootDir(rootPath, errKind, err)) {
            errText += u"Cannot set root dir: " + folder + u": " + err;
            return false;
        }
    }
    if (!CheckRootTrust(side, errKind, errText)) return false;

    // The root folder must exist and take files and folders.
    bool bExists = true;
    if (!m_Options.m_bFastPreAnalyzeWithStamps || fs->GetCapability(TVFS_CAP_LOCAL)) {
        FsItemInfo info;
        bool bNotFound = false;
        CWideString err;
        if (!fs->GetInfo(u"", info, bNotFound, errKind, err)) {
            errText += u"Checking root folder: " + err;
            return false;
        }
        bExists = !bNotFound;
        if (bExists && (info.m_nKind & FSK_NO_FOLDERS)) {
            errText +=
                fs->DisplayPath(u"") + u" cannot be sync folder, because folders cannot be created here";
            errKind = FSE_GENERAL;
            return false;
        }
        if (bExists && (info.m_nKind & FSK_NO_FILES)) {
            errText += fs->DisplayPath(u"") + u" cannot be sync folder, because files cannot be created here";
            errKind = FSE_GENERAL;
            return false;
        }
    }
    if (!bExists) {
        if (m_bReconnecting) {
            // A root that vanished during the run (an unmounted disk, a lost
            // share) is a lost connection: creating an empty folder in its
            // place would let the run write beside the user's data.
            errText += u"Root folder does not exist: " + folder;
            errKind = FSE_CONN_LOST;
            return false;
        }
        if (!g_EngineOptions.m_bCreateFolderIfNotFound) {
            errText += u"Root folder does not exist: " + folder;
            errKind = FSE_GENERAL;
            return false;
        }
        const CWideString display = fs->DisplayPath(u"");
        CWideString err;
        if (!fs->SetRootDir(u"", errKind, err)) {
            errText += u"Cannot set root dir: " + folder + u": " + err;
            return false;
        }
        Notify(2, FormatLocalizedString(IDS_Str_Msg_WillCreateFolder, display) + u"\n");
        {
            CCritSectionLock lock(m_cs);
            if (!MakeFolderRecursive(fs, rootPath, false, errKind, err)) {
                errText += u"Cannot create root folder: " + folder + u": " + err;
                return false;
            }
        }
        Notify(2, FormatLocalizedString(IDS_Str_Msg_Created_Folder, display) + u"\n");
        if (!fs->SetRootDir(rootPath, errKind, err)) {
            errText += u"Cannot set root dir after creating folder: " + folder + u": " + err;
            return false;
        }
    }

    // Whether the side may hold the data folder: not a file system that
    // keeps none, and not the read-only source of a one-way job.
    bool bNoData = fs->GetCapability(TVFS_CAP_NO_DATA_FOLDER) != 0;
    if (!bNoData)
        bNoData = m_Options.m_bReadOnlySource && ((m_Options.m_nDirection == JT_LEFT_TO_RIGHT && side == 0) ||
                                                  (m_Options.m_nDirection == JT_RIGHT_TO_LEFT && side == 1));
    optCi.m_bNoDataFolder = (uint8_t)bNoData;

    const CWideString rootDisplay = fs->DisplayPath(u"");
    CWideString mirror;
    if (!MakeMirrorFolderPath(false, rootDisplay, false, mirror, errKind, errText)) return false;
    if (m_Options.m_bNoTvDataFolder && side == m_Options.m_nNoTvDataFolderSide) {
        Notify(2, FormatLocalizedString(IDS_Str_Msg_NoTvDataSide_Option, sideName, mirror) + u"\n");
        Notify(2, sideName + u": " + GetLocalizedString(IDS_Str_Msg_NoTvDataSide_Warn) + u"\n");
    } else if (CannotHaveDataFolder(side)) {
        Notify(2, FormatLocalizedString(IDS_Str_Msg_ReadOnlySide_TvData, sideName, mirror) + u"\n");
    }
    {
        int kind = 0;
        CWideString err;
        if (!ZorCreateFolderPath(mirror, false, kind, err)) {
            errText += u"Cannot create mirror state folder: " + err;
            errKind = kind ? kind : FSE_GENERAL;
            return false;
        }
        // The mirror folders hold the run logs and copies of the state
        // files: they are their owner's alone.
        CWideString whole;
        int k = 0;
        CWideString e;
        if (MakeMirrorFolderPath(true, CWideString(), false, whole, k, e)) ZorMakeFolderOwnerOnly(whole);
        ZorMakeFolderOwnerOnly(mirror);
    }

    CZorLog& log = m_aJobLog[side];
    if (log.GetBaseName().IsEmpty()) {
        log.SetBaseName(u"Torvane");
        // The base name switches the log to daily files; this run's log
        // keeps the name the run gave it.
        if (!m_sRunLogName.IsEmpty()) log.SetFileName(m_sRunLogName);
    }
    log.SetFolder(mirror);
    ZorGetProgramLog().Printf(u"write %s Job Log to %s\n", sideName, mirror);

    if (fs->GetCapability(TVFS_CAP_TEST_MOD_TIME)) {
        int kind = 0;
        CWideString err;
        const bool bOk = TestSetFileModTime(fs, kind, err);
        fs->m_bSupportsSetModTime = (uint8_t)bOk;
        Notify(2, CWideString(bOk ? u"File System supports SetFileModTime at "
                                  : u"File System does NOT support SetFileModTime at ") +
                      rootDisplay + u"\n");
    } else {
        fs->m_bSupportsSetModTime = 1;
    }
    if (fs->GetCapability(TVFS_CAP_LOCAL) && !fs->GetCapability(TVFS_CAP_MOD_TIMES))
        Notify(2, u"Detected WebDAV server mounted as Windows file system. This is not real Windows FS, so "
                  u"problems may occur.\n");
    return true;
}

bool CSyncJob::CheckRootTrust(int side, int& errKind, CWideString& errText) {
    TvFileSys* fs = m_apFs[side & 1].get();
    CWideString err;
    if (fs->CheckRootLinks(errKind, err)) {
        // The root opened by the connect is the one the path leads to now:
        // a link swapped in or out since is taken as a replaced root.
        err.Empty();
        if (fs->ConfirmRoot(errKind, err)) return true;
        errText += SideName(side) + u": " + err;
        return false;
    }
    m_abUntrusted[side & 1] = 1;
    const CWideString msg = u"Refused: " + err + u". Nothing is read from the folder or done to it";
    Log(1, 3120, msg + u"\n");
    errText += msg;
    return false;
}

void CSyncJob::DisconnectSides() {
    for (auto& fs : m_apFs) {
        if (fs) {
            fs->Close();
            fs.reset();
        }
    }
}

bool CSyncJob::TestSetFileModTime(TvFileSys* pFs, int& errKind, CWideString& errText) {
    const CWideString display = pFs->DisplayPath(u"");
    CWideString local;
    {
        CWideString err;
        // A local folder for the test file: the mirror folders' root (made
        // by the connect before this test), else the system's temporary folder.
        CWideString folder;
        int k = 0;
        CWideString e;
        if (!MakeMirrorFolderPath(true, CWideString(), false, folder, k, e) || !ZorFileExists(folder)) {
            const char* tmp = getenv("TMPDIR");
            folder = ZorWidePath(tmp && *tmp ? tmp : "/tmp");
        }
        if (!ZorGetTempFileName(folder, nullptr, local, errKind, err) ||
            !WriteWholeFile(local, WideToUtf8(u"Testing " + display), errKind, err)) {
            if (!local.IsEmpty()) ZorDeleteFileQuiet(local);
            errText += u"writing test file: " + err;
            return false;
        }
    }
    const CWideString path = u"/" + OwnTempName(u"_tv_test", pFs);
    CWideString err;
    const bool bUploaded = pFs->UploadFile(local, path, errKind, err);
    ZorDeleteFileQuiet(local);
    if (!bUploaded) {
        errText += u"uploading test file: " + err;
        return false;
    }
    const uint32_t t = (uint32_t)(CZorTime::Now().GetTime() - 259200);
    uint32_t modTime = 0, createTime = 0;
    if (!pFs->SetFileModTime(path, t, t, errKind, err) ||
        !pFs->GetFileModTime(path, modTime, createTime, errKind, err)) {
        DeleteFileQuietly(pFs, path);
        errText += err;
        return false;
    }
    DeleteFileQuietly(pFs, path);
    if (modTime == t) return true;
    errKind = FSE_GENERAL;
    errText += u"mod time differs";
    return false;
}

bool CSyncJob::TryReconnect(int side, const CWideString& operation, const CWideString& failureText,
                            bool bQuick, int& errKind, CWideString& errText) {
    if (!m_Options.m_bAutoReconnect) {
        errText = u"Reconnect not requested by option";
        return false;
    }
    TvFileSys* fs = m_apFs[side & 1].get();
    if (!fs) {
        errText = u"Reconnect will not fix the error";
        return false;
    }
    CWideString lastError = failureText;
    for (;;) {
        // Only a lost connection is cured by connecting again; any other
        // failure keeps its own kind (authorisation, quota and memory
        // failures stay fatal).
        if (!IsConnectionError(errKind)) {
            errText = u"Reconnect will not fix the error";
            fs->Close();
            return false;
        }
        if (fs->m_nReconnectCount >= m_Options.m_nReconnectAttempts) {
            errText = u"Too Many Reconnects";
            fs->Close();
            errKind = FSE_CONN_LOST;
            return false;
        }
        fs->m_nReconnectCount++;
        const int nWait = bQuick ? 1 : 30;
        CWideString msg;
        msg.Format(u"Disconnected %s at %s doing %s, try to reconnect in %d sec: %s", fs->DisplayPath(u""),
                   FormatTimeStandard(CZorTime::Now().GetTime()), operation, nWait, lastError);
        Log(2, 3087, msg + u"\n");
        SetProgress(0, u"** " + msg, false);
        fs->Close();
        for (int i = 0; i < nWait; ++i) {
            ZorSleepMs(1000);
            errText.Empty();
            if (!CheckStop(errKind, errText)) return false;
        }
        errText.Empty();
        m_bReconnecting = 1;
        const bool bConnected = ConnectSide(side, errKind, errText);
        m_bReconnecting = 0;
        if (bConnected) {
            fs = m_apFs[side & 1].get();
            msg.Format(u"Reconnected %s after %s disconnect\n", fs->DisplayPath(u""), operation);
            Log(2, 3113, msg);
            SetProgress(0, u"** " + msg, false);
            return true;
        }
        fs = m_apFs[side & 1].get();
        lastError = errText;
    }
}

bool CSyncJob::CannotHaveDataFolder(int side) const {
    const TvConnectInfo& ci = side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2;
    if (ci.m_bNoDataFolder) return true;
    if (!m_Options.m_bNoTvDataFolder) return false;
    return side == m_Options.m_nNoTvDataFolderSide;
}

bool CSyncJob::UseTempFile(int side) const {
    const TvFileSys* fs = m_apFs[side & 1].get();
    if (fs && fs->GetCapability(TVFS_CAP_ALWAYS_TEMP)) return true;
    if (!m_Options.m_bCopyUsingTempFile) return false;
    const TvConnectInfo& ci = side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2;
    if (!fs || !fs->GetCapability(TVFS_CAP_DIRECT_DEST_OK)) return true;
    return ci.m_bUseTmpDestFile != 0;
}

namespace {
bool ShowRequired(const CSyncJob& job) {
    return job.m_Options.m_bEstimateRequiredSpace && job.m_bTreeHasSizes && job.m_bHasChanges;
}
} // namespace

void CSyncJob::ShowSideStatus(bool bSetChunkLimit) {
    if (bSetChunkLimit) m_nChunkLimit = 262144;
    for (int side = 0; side < 2; ++side) {
        TvFileSys* fs = m_apFs[side].get();
        CWideString text;
        if (!fs) {
            text = u"Disconnected: " + UrlToLocalPath(GetSideFolder(side));
        } else {
            text = fs->GetTypeInfo(TVFS_TI_DISPLAY_NAME);
            int64_t nFree = 0, nTotalFree = 0, nTotal = 0;
            int kind = 0;
            CWideString err;
            if (fs->GetCapability(TVFS_CAP_FREE_SPACE) &&
                fs->GetFreeDiskSpace(u"", nFree, nTotalFree, nTotal, kind, err)) {
                text += u", " + FormatLocalizedString(IDS_Str_Status_VolumeInfo_Free,
                                                      FormatByteSize((uint64_t)nFree),
                                                      FormatByteSize((uint64_t)nTotal));
                if (bSetChunkLimit) {
                    const int64_t limit = std::min<int64_t>(nTotal / 200, nTotalFree / 100);
                    if (limit < m_nChunkLimit) m_nChunkLimit = limit;
                }
            }
        }
        m_asSideStatus[side] = text;
        if (ShowRequired(*this))
            text += u", " + FormatLocalizedString(IDS_Str_Status_VolumeInfo_Reqd,
                                                  FormatByteSize((uint64_t)m_anRequiredBytes[side]));
        m_pProgress->OnVolumeInfo(side, text);
    }
}

void CSyncJob::RefreshRequiredSpace() {
    ComputeRequiredSpace();
    for (int side = 0; side < 2; ++side) {
        CWideString text = m_asSideStatus[side];
        if (ShowRequired(*this))
            text += u", " + FormatLocalizedString(IDS_Str_Status_VolumeInfo_Reqd,
                                                  FormatByteSize((uint64_t)m_anRequiredBytes[side]));
        m_pProgress->OnVolumeInfo(side, text);
    }
}
