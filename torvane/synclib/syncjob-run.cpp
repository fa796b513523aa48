// The run driver of a job: one run (Analyze, Sync or both) from its run log
// to post-run, the run states, the run-log names, the tree accessors, the
// side settings, the run preparation with the nested-folder test, and the
// data-folder creation.
#include "syncjob.h"
#include "state-file.h"

#include "zor-escape.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <mutex>

namespace {

CWideString SideName(int side) {
    return GetLocalizedString(side == 0 ? IDS_Str_Left : IDS_Str_Right);
}

const CWideString& JobName(const CSyncJob& job) {
    return job.m_Options.m_sName;
}

// The longest file name (in UTF-8 bytes) the file systems of the logs take.
constexpr int kMaxFileNameBytes = 255;

} // namespace

// ---------------------------------------------------------------- the run

CWideString CSyncJob::GetRunName(bool bAnalyze, bool bSync) {
    if (bAnalyze && bSync) return u"ANALYZE + SYNC";
    if (bAnalyze) return u"ANALYZE";
    if (bSync) return u"SYNC";
    ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::GetRunName: neither analyse nor sync");
    return u"undefined state";
}

bool CSyncJob::RunJob(const GlobalFilters* pGlobal, int& errKind, CWideString& resultText) {
    const CWideString runName = GetRunName(m_bAnalyze, m_bSync);
    ZorGetProgramLog().Printf(u"Job '%s': %s thread started by %s\n", JobName(*this), runName,
                              GetStarterText());
    m_pProgress->ResetMessageRepeat();
    OpenRunLog(false, m_bSync && !m_bAnalyze);

    // The scan turns MD5 comparison off for this run when a side cannot
    // compute checksums; the user's own setting comes back when the run ends,
    // so that saving the job afterwards does not lose it.
    struct RestoreMd5Option {
        bool& ref;
        bool saved;
        ~RestoreMd5Option() { ref = saved; }
    } restoreMd5{m_Options.m_bCompareMD5crc, m_Options.m_bCompareMD5crc};

    m_bFoldersLocked = 0;
    m_bConnected = 0;
    m_abUntrusted[0] = m_abUntrusted[1] = 0;
    resultText = u"not run";
    bool bResult = false;
    CWideString summary;

    if (m_bAnalyze) {
        m_pProgress->SetProgressRange(0, 100);
        {
            CCritSectionLock lock(m_pProgress->GetLock());
            m_pProgress->SetStartTimeNow();
            m_pProgress->m_nCounter1 = 0;
        }
        m_bRunStarted = 1;
        // The per-run look-up maps and texts of the scan and the move
        // detection are emptied by the Analyze driver that owns them.
        ResetTree();

        resultText.Empty();
        if (!m_Options.m_sPreAnalyzeScriptOrEmail.IsEmpty()) {
            int nCode = -1;
            CWideString err;
            if (!SendEmailOrRunProgram(m_Options.m_sPreAnalyzeScriptOrEmail, u"Pre-Analyze", true,
                                       CWideString(), summary, m_aJobLog[0].GetFilePath(), nCode, errKind,
                                       err)) {
                resultText = u"Cannot run Pre-Analyze Script: " + err;
                if (!errKind) errKind = FSE_GENERAL;
            } else if (nCode != 0 && nCode != -1) {
                // -1: the action ran nothing (e.g. an "errors:" e-mail target).
                resultText.Format(u"Pre-Analyze script returned error code %d, so do not Analyze", nCode);
                errKind = FSE_GENERAL;
            } else {
                bResult = true;
            }
        } else {
            bResult = true;
        }
        if (bResult) {
            int failedSide = 0;
            bResult = ConnectSides(failedSide, errKind, resultText);
            if (bResult) {
                m_bConnected = 1;
                m_bConnectedByte = 1;
                bResult = PrepareRun(errKind, resultText);
            }
            if (bResult)
                bResult =
                    Analyze(pGlobal, m_nRunKind == RK_AUTOMATIC, true, true, summary, errKind, resultText);
        }
        if (!bResult) {
            ResetTree();
            if (errKind == FSE_STOPPED) {
                ReportProgress(0, GetLocalizedString(IDS_Str_Status_AnalyzeStopped));
                SetRunState(RS_ANALYZED, RSS_STOPPED);
            } else {
                SetRunState(RS_ANALYZED, RSS_FAILED);
            }
            m_bSync = 0;
        } else {
            resultText.Empty();
            ZorGetProgramLog().Printf(u"Job '%s': Analyze Finished OK\n", JobName(*this));
            // With nothing to do the state files stay as they are, unless
            // saving them spares the later runs what this one read.
            if (m_bSync && !m_bHasChanges && !SettlesStoredBits() && !m_abSettledRecords[0] &&
                !m_abSettledRecords[1]) {
                m_bSync = 0;
                ZorGetProgramLog().Printf(u"Job '%s': decided NOT to run Sync\n", JobName(*this));
                // What a killed run left goes all the same.
                RemoveLeftoversWithoutWork();
                RepairCopyModes(CopiesToLookAt());
            }
        }
        // Post-Analyze reads this; Sync recomputes it after execution.
        m_bWorkRemains = m_bHasChanges;
    }

    if (m_bSync) {
        m_pProgress->SetProgressRange(0, 100);
        if (m_bAnalyze) m_bSync = (uint8_t)m_pProgress->ConfirmSync(1);
        if (m_bSync) {
            resultText.Empty();
            bResult = Sync(summary, errKind, resultText);
            m_pProgress->SetSuppressStop(true);
            if (m_bFoldersLocked) {
                UnlockFolders();
                m_bFoldersLocked = 0;
            }
        }
    }
    if (!m_bSync && m_bFoldersLocked) {
        UnlockFolders();
        m_bFoldersLocked = 0;
    }
    PostRun(m_bSync != 0, bResult, resultText, summary);
    m_pProgress->SetSuppressStop(false);
    return bResult;
}

void CSyncJob::OpenRunLog(bool bUserAction, bool bReuse) {
    if (!(bReuse && !m_sRunLogName.IsEmpty())) {
        const CZorTime now = CZorTime::Now();
        // The job name becomes part of a file name: separators cannot stand in it.
        CWideString name = m_Options.m_sName;
        name.Replace(u'/', u'_');
        name.Replace(u'\\', u'_');
        // So can the computer name (it comes from the environment): the name
        // is also the log's name in each side's data folder.
        CWideString host = GetComputerNameText();
        host.Replace(u'/', u'_');
        host.Replace(u'\\', u'_');
        // A file name holds at most 255 bytes: a long job name is cut (at a
        // whole character) so that the log can be written at all.
        for (;;) {
            m_sRunLogName.Format(u"%04d-%02d%02d-%02d%02d%02d-%s-%s%s.log", now.GetYear(), now.GetMonth(),
                                 now.GetDay(), now.GetHour(), now.GetMinute(), now.GetSecond(), host, name,
                                 bUserAction ? u"-user-action" : u"");
            if (WideToUtf8(m_sRunLogName).GetLength() <= kMaxFileNameBytes) break;
            if (!name.IsEmpty()) {
                const int n = name.GetLength();
                // A surrogate pair goes whole.
                name = name.Left(n >= 2 && (name[n - 1] & 0xFC00) == 0xDC00 ? n - 2 : n - 1);
            } else if (!host.IsEmpty()) {
                host = host.Left(host.GetLength() - 1);
            } else {
                break;
            }
        }
    }
    for (CZorLog& log : m_aJobLog) log.SetFileName(m_sRunLogName);
}

void CSyncJob::CloseRunLogs(bool bEnabled) {
    for (CZorLog& log : m_aJobLog) log.SetEnabled(bEnabled);
}

void CSyncJob::ResetRunLogs() {
    for (CZorLog& log : m_aJobLog) log.SetFileName(CWideString());
}

// ---------------------------------------------------------------- virtual operations

bool CSyncJob::ResetTree() {
    const bool bHad = m_Tree.GetChildCount() > 0;
    m_bTreeHasSizes = 0;
    m_Tree.Clear();
    m_Tree.InitRoot();
    // What was kept about the nodes goes with them.
    m_pChanged.reset();
    m_pVisited.reset();
    m_pEnteredBefore.reset();
    m_sAnalyzedSettings.Empty();
    m_SubtreeCounts.clear();
    NoteSavedRecordsChanged(0);
    NoteSavedRecordsChanged(1);
    // State levels are keyed by item: none may outlive the items they describe.
    GetStateFileIo().ClearStateLevels();
    // Nor may the last Sync's list of the nodes it executed.
    {
        CCritSectionLock lock(m_cs);
        m_ExecutedNodes.clear();
    }
    m_bHasChanges = 0;
    return bHad;
}

bool CSyncJob::IncrementalAnalyzeItems(int, TvFileSys*, CSyncTreeNode*, int& errKind, CWideString& errText) {
    errKind = FSE_GENERAL;
    errText += u"IncrementalAnalyzeItems not implemented";
    return false;
}

bool CSyncJob::DropSideChanges(int, int, int) {
    return true;
}

// ---------------------------------------------------------------- tree access

CSyncPairsAndActions* CSyncJob::GetPairsForRead() {
    if (m_nActivity.load() == JA_ANALYZING) {
        ZorGetProgramLog().Printf(u"[%s] - Read accesss during Analyze!!!\n", JobName(*this));
        return nullptr;
    }
    return &m_Tree;
}

CSyncPairsAndActions* CSyncJob::GetPairsForWrite() {
    const int a = m_nActivity.load();
    if (a != JA_ANALYZING && a != JA_SYNCING) {
        ZorGetProgramLog().Printf(u"[%s] - Write accesss outside Analyze!!!\n", JobName(*this));
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::GetPairsForWrite outside a run", a);
        return nullptr;
    }
    return &m_Tree;
}

// ---------------------------------------------------------------- sides

CWideString CSyncJob::GetSideFolder(int side) const {
    if (side == 0) return m_Options.m_Dir1.m_sUrl;
    if (side == 1) return m_Options.m_Dir2.m_sUrl;
    ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::GetSideFolder: bad side", side);
    return CWideString();
}

bool CSyncJob::SetSideConnectInfo(int side, const TvConnectInfo& ci) {
    const int a = m_nActivity.load();
    ZOR_ASSERT(a != JA_ANALYZING && a != JA_SYNCING);
    if (side < 0 || side >= 2) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::SetSideConnectInfo: bad side", side);
        return false;
    }
    if (m_apFs[side]) {
        m_apFs[side]->Close();
        m_apFs[side].reset();
    }
    (side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2) = ci;
    return true;
}

void CSyncJob::SetSideFolder(int side, const CWideString& folder) {
    if (side < 0 || side >= 2) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CSyncJob::SetSideFolder: bad side", side);
        return;
    }
    TvConnectInfo ci = side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2;
    ci.m_sUrl = folder;
    SetSideConnectInfo(side, ci);
}

CWideString CSyncJob::GetSideDisplayPath(int side, const CWideString& arg) const {
    if (side < 0 || side >= 2) return CWideString();
    const TvFileSys* fs = m_apFs[side].get();
    if (fs && fs->IsConnected()) return fs->BasePath(arg);
    return CWideString();
}

CWideString CSyncJob::GetStarterText() const {
    return m_nRunKind == RK_USER ? CWideString(u"User") : m_sStarter;
}

bool InitNewJob(const CWideString& name, int type, const CWideString& leftFolder,
                const CWideString& rightFolder, CSyncJob* pJob, CWideString& errText) {
    if (type < JT_TWO_WAY || type > JT_RIGHT_TO_LEFT) {
        errText += CWideString::Formatted(u"bad job type %d", type);
        return false;
    }
    pJob->m_Options.SetDirection(type);
    if (name.IsEmpty()) {
        errText += u"cannot create job with empty name";
        return false;
    }
    pJob->SetName(name);
    if (!leftFolder.IsEmpty()) pJob->SetSideFolder(0, leftFolder);
    if (!rightFolder.IsEmpty()) pJob->SetSideFolder(1, rightFolder);
    return true;
}

// ---------------------------------------------------------------- nested folders

namespace {

std::mutex g_resolvedLock;
std::map<CWideString, CWideString> g_resolved; // folder URL -> resolved root (file systems that resolve)

bool IsLocalFs(const TvFileSys* fs) {
    return fs->GetCapability(TVFS_CAP_LOCAL) != 0;
}

// The real path of a local folder (links and "." / ".." resolved).
bool RealLocalPath(const CWideString& path, CWideString& out, CWideString& err) {
    char buf[PATH_MAX];
    if (!realpath(ZorNativePath(path).GetString(), buf)) {
        err += u"cannot resolve folder " + path + u": " + ZorWidePath(strerror(errno));
        return false;
    }
    out = ZorWidePath(buf);
    return true;
}

// Resolves one side's folder to the form that the overlap test compares:
// '/'-separated with a trailing '/'. bCaseSensitive tells how names compare there.
bool ResolveFolder(const TvConnectInfo& ci, TvFileSys* pJobFs, CWideString& resolved, bool& bCaseSensitive,
                   CWideString& err) {
    CWideString folder = ci.m_sUrl;
    ExpandPathMacros(folder);
    folder = NormalizeUrl(folder);
    if (folder.IsEmpty()) {
        err += u"folder is not specified";
        return false;
    }
    std::unique_ptr<TvFileSys> own;
    TvFileSys* fs = pJobFs;
    if (!fs) {
        own.reset(NewFsForUrl(folder));
        fs = own.get();
    }
    if (!fs) {
        err += u"no file system for " + folder;
        return false;
    }
    bCaseSensitive = fs->GetCapability(TVFS_CAP_CASE_SENSITIVE) != 0;
    if (IsLocalFs(fs)) {
        // A local folder compares by its real path, so that a link to a
        // folder inside the other side is seen as nested.
        CWideString local = (fs == pJobFs && fs->IsConnected()) ? fs->GetRootDir() : UrlToLocalPath(folder);
        if (!RealLocalPath(local, resolved, err)) return false;
    } else if (fs->GetCapability(TVFS_CAP_RESOLVES_ROOT)) {
        std::lock_guard<std::mutex> g(g_resolvedLock);
        auto it = g_resolved.find(folder);
        if (it != g_resolved.end()) {
            resolved = it->second;
        } else {
            if (!fs->IsConnected()) {
                TvConnectInfo copy = ci;
                copy.m_sUrl = folder;
                int kind = 0;
                CWideString cerr;
                if (!fs->Connect(copy, &g_DummyJobProgress, kind, cerr)) {
                    err += u"cannot connect to " + folder + u": " + cerr;
                    return false;
                }
            }
            CWideString real = fs->GetTypeInfo(TVFS_TI_REAL_ROOT);
            resolved = real.IsEmpty() ? folder : real;
            g_resolved[folder] = resolved;
        }
    } else {
        resolved = folder;
    }
    ZOR_ASSERT(!resolved.IsEmpty());
    resolved.Replace(u'\\', u'/');
    AddTrailingForwardSlash(resolved);
    return true;
}

// Where a local folder lies in its file system: the file system's device and
// the folder's path from the file system's root ("/" ending), which a bind
// mount (a second path to a folder) does not change. False for a path that
// is not local or whose mount cannot be told.
bool LocalPlace(const CWideString& real, uint32_t& nMajor, uint32_t& nMinor, CWideString& place) {
    if (!real.StartsWith(u"/")) return false;
    ZorVolumeInfo vol;
    CWideString err;
    if (!ZorGetVolumeOfPath(real, vol, err)) return false;
    CWideString mount = vol.sMountPoint, root = vol.sRoot;
    AddTrailingForwardSlash(mount);
    AddTrailingForwardSlash(root);
    CWideString path = real;
    AddTrailingForwardSlash(path);
    if (!path.StartsWith(mount.GetString())) return false;
    place = root + path.Mid(mount.GetLength());
    nMajor = vol.nMajor;
    nMinor = vol.nMinor;
    return true;
}

// Two local folders (real paths) are one, or one lies inside the other, in
// one file system reached by two paths (a bind mount).
bool IsOneLocalPlace(const CWideString& realA, const CWideString& realB) {
    uint32_t aMajor = 0, aMinor = 0, bMajor = 0, bMinor = 0;
    CWideString a, b;
    if (!LocalPlace(realA, aMajor, aMinor, a) || !LocalPlace(realB, bMajor, bMinor, b) || aMajor != bMajor ||
        aMinor != bMinor)
        return false;
    return a.StartsWith(b.GetString()) || b.StartsWith(a.GetString());
}

} // namespace

void ClearResolvedFolderCache() {
    std::lock_guard<std::mutex> g(g_resolvedLock);
    g_resolved.clear();
}

bool HasCommonFolder(const TvConnectInfo& a, const TvConnectInfo& b, CWideString& canonA, CWideString& canonB,
                     CSyncJob* pJob, bool& bCannotTell, CWideString& errText) {
    bCannotTell = false;
    const TvConnectInfo* cis[2] = {&a, &b};
    CWideString res[2];
    bool abCase[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        TvFileSys* pJobFs = pJob ? pJob->m_apFs[i].get() : nullptr;
        CWideString err;
        if (!ResolveFolder(*cis[i], pJobFs, res[i], abCase[i], err)) {
            bCannotTell = true;
            errText += err;
            return false;
        }
    }
    if (!a.m_sUserID.EqualsNoCase(b.m_sUserID.GetString())) return false;
    canonA = res[0];
    canonB = res[1];
    const int n = std::min(canonA.GetLength(), canonB.GetLength());
    const CWideString pa = canonA.Left(n), pb = canonB.Left(n);
    // Names compare exactly where both file systems tell names apart by case.
    const bool bOverlap = (abCase[0] && abCase[1]) ? pa == pb : pa.EqualsNoCase(pb.GetString());
    if (!bOverlap && !IsOneLocalPlace(canonA, canonB)) return false;
    RemoveTrailingForwardSlash(canonA);
    RemoveTrailingForwardSlash(canonB);
    return true;
}

bool HasCommonFolder(const TvConnectInfo& a, const TvConnectInfo& b, CWideString& canonA, CWideString& canonB,
                     CSyncJob* pJob) {
    bool bCannotTell = false;
    CWideString err;
    const bool bOverlap = HasCommonFolder(a, b, canonA, canonB, pJob, bCannotTell, err);
    return bOverlap || bCannotTell;
}

// ---------------------------------------------------------------- run preparation

bool CSyncJob::PrepareRun(int& errKind, CWideString& errText) {
    const CWideString left = GetLeftFolder(), right = GetRightFolder();
    if (left == right) {
        errText += GetLocalizedString(IDS_Str_Msg_SameFolders);
        errKind = FSE_GENERAL;
        return false;
    }
    CWideString canonL, canonR, why;
    bool bCannotTell = false;
    if (HasCommonFolder(m_Options.m_Dir1, m_Options.m_Dir2, canonL, canonR, this, bCannotTell, why)) {
        auto shown = [](const CWideString& url, const CWideString& canon) {
            CWideString local = UrlToLocalPath(url);
            RemoveTrailingSlash(local);
            return local.EqualsNoCase(canon.GetString()) ? url : url + u" == " + canon;
        };
        errText +=
            FormatLocalizedString(IDS_Str_Msg_NestedFolders2, shown(left, canonL), shown(right, canonR));
        errKind = FSE_GENERAL;
        return false;
    }
    if (bCannotTell) {
        errText += u"Cannot tell whether folders '" + left + u"' and '" + right +
                   u"' are nested, so do not Analyze: " + why;
        errKind = FSE_GENERAL;
        return false;
    }
    if (m_Options.m_bCompareMD5crc)
        Log(2, 2168,
            u"== MD5 option is checked, so Analyze WILL RUN VERY SLOWLY, as all file bodies have to be read "
            u"to "
            u"compute their MD5\n");
    m_abRootInDoubt[0] = m_abRootInDoubt[1] = 0;
    m_abNotAvailable[0] = m_abNotAvailable[1] = 0;
    // Before anything reads a data folder (the lock check, the state file).
    for (int side = 0; side < 2; ++side)
        if (!CheckDataFolderTrust(CWideString(), side, errKind, errText)) return false;
    if (m_nRunKind == RK_AUTOMATIC) {
        for (int side = 0; side < 2; ++side) {
            bool bCreated = false;
            CWideString err;
            // No data folder where the last sync left items (or, where no
            // count of them was kept, beside another side that holds a state
            // file): the drive may be missing, and nothing is written into
            // its mount point before Sync has looked.
            bool bIsFolder = true;
            uint64_t nLeft = 0;
            int k = 0;
            auto otherSynced = [&] {
                TvFileSys* other = m_apFs[1 - side].get();
                FsItemInfo info;
                bool bMissing = true;
                CWideString e;
                return other && other->GetInfo(kStateFilePath, info, bMissing, k, e) && !bMissing;
            };
            if (!CannotHaveDataFolder(side) && m_apFs[side] &&
                m_apFs[side]->IsFolder(kDataFolderPath, bIsFolder, k, err) && !bIsFolder &&
                (ReadLastSyncCount(side, nLeft) ? nLeft > 0 : otherSynced())) {
                m_abRootInDoubt[side] = 1;
                continue;
            }
            err.Empty();
            if (CreateDataFolder(side, m_apFs[side].get(), bCreated, errKind, err)) continue;
            if (!m_abNothingToWrite[side] || m_abUntrusted[side]) {
                errText += err;
                return false;
            }
            Log(1, 2186, u"Cannot create _tvdata_ folder: " + err + u"\n");
            (side == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2).m_bNoDataFolder = 1;
        }
    }
    return true;
}

bool CSyncJob::CreateDataFolder(int side, TvFileSys* pFs, bool& bCreated, int& errKind,
                                CWideString& errText) {
    bCreated = false;
    if (CannotHaveDataFolder(side)) return true;
    if (!pFs) {
        errText += u"no file system mounted";
        errKind = FSE_GENERAL;
        return false;
    }
    const CWideString sideName = SideName(side);
    const CWideString path = u"/_tvdata_";
    // A link or another user's folder is refused before anything is done
    // to it; an own one open to others is closed.
    if (!CheckDataFolderTrust(CWideString(), side, errKind, errText)) return false;
    bool bIsFolder = false;
    CWideString err;
    if (!pFs->IsFolder(path, bIsFolder, errKind, err)) {
        errText += u"Cannot determine whether _tvdata_ is folder: " + pFs->DisplayPath(path) + u": " + err;
        return false;
    }
    if (bIsFolder) return true;
    if (!pFs->MakeFolder(path, errKind, err)) {
        // The text continues on a line of its own: what comes from the file
        // system (a path among it) is escaped, so that its line ends are the text's.
        errText += FormatLocalizedString(IDS_Str_Msg_CannotCreateTvdata, sideName, EscapeControlChars(err));
        return false;
    }
    bCreated = true;
    if (pFs->GetCapability(TVFS_CAP_SET_ATTRIBUTES)) {
        uint32_t attrs = 0;
        int kind = 0;
        CWideString aerr;
        if (!pFs->GetAttributes(path, attrs, kind, aerr) ||
            !pFs->SetAttributes(path, attrs | FSA_HIDDEN, kind, aerr))
            Notify(2,
                   CWideString::Formatted(u"Cannot make folder %s hidden: %s", pFs->DisplayPath(path), aerr) +
                       u"\n");
    }
    return true;
}
