// State files between the sides and the tree: reading a folder's state file
// (directly on a local side, from a local mirror copy left by an unfinished
// save, or through a download), saving it after a sync, and the names of
// leftover temporary files.
//
// A state file is the most precious file the engine writes: without it a
// two-way sync cannot tell a deletion from a creation. So every save goes to
// a temporary name in the same folder, is flushed to the disk and renamed
// over the old file (a crash or a full disk leaves the previous file whole),
// and a read whose existence check fails reports that failure instead of
// taking the file as absent.
#include "syncjob.h"

#include "TvFileCopy.h"
#include "state-file.h"
#include "zor-error.h"
#include "zor-file.h"
#include "zor-gzblocks.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-stream.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// The most a remote side's state file may bring when it is downloaded.
constexpr int64_t kStateFileDownloadMax = (int64_t)1 << 30;

// Message kinds of this file's log lines (they only group repeats).
enum : int {
    kMsgCheckLockFailed = 4700,
    kMsgReadStatus = 4701,
    kMsgReadFromMirror = 4702,
    kMsgTryDownload = 4703,
    kMsgStateChangedAfterRead = 4704,
    kMsgMirrorNotUsed = 4705,
    kMsgMirrorDeleted = 4706,
    kMsgMirrorUsed = 4707,
    kMsgSaveFailed = 4708,
    kMsgInitPrevSyncTime = 4709,
    kMsgTryFsWay = 4710,
    kMsgSaved = 4711,
    kMsgFlushCopies = 4712,
    kMsgStateUnreadable = 4713,
    kMsgStateSetAside = 4714,
};

// The compression of a written state file: its text repeats itself so much
// that the fastest level already shrinks it some 25 times, at a third of the
// default level's time; blocks of a big file are compressed on a few threads
// while the tree is still being written out.
constexpr int kStateFileGzLevel = 1;
constexpr int kStateFileGzThreads = 4;
// Bytes of a ".tvi" description that are read back.
constexpr int kMaxInfoBytes = 512;
// Upload attempts of a remote save that failed on a lost connection.
constexpr int kMaxUploadAttempts = 3;

CWideString SideName(int side) {
    return GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left);
}

// The reader and writer of one job: run messages and stop requests go
// through the job, the duplicate-name check asks the side's file system.
class CJobStateFileIo : public CStateFileIo {
public:
    explicit CJobStateFileIo(CSyncJob* pJob) : CStateFileIo(pJob->GetPairsUnchecked()), m_pJob(pJob) {}
    void Log(int nLevel, int nMsgKind, const CWideString& sText) override {
        m_pJob->Log(nLevel, nMsgKind, sText);
    }
    bool SideAnswersCapability25(int nSide) override {
        const TvFileSys* fs = m_pJob->m_apFs[nSide ? 1 : 0].get();
        return !fs || fs->GetCapability(TVFS_CAP_CASE_SENSITIVE) != 0;
    }
    bool IsStopRequested() override { return m_pJob->IsStopped(); }

private:
    CSyncJob* m_pJob;
};

// The name with its extension replaced by ".tvi".
CWideString InfoFileOf(const CWideString& file) {
    const int slash = file.ReverseFind(u'/');
    const int dot = file.ReverseFind(u'.');
    return (dot > slash ? file.Left(dot) : file) + u".tvi";
}

// Syncs a written local file, then its folder after a rename into it.
bool FsyncLocal(const CWideString& path, bool bFolder, CWideString& err) {
    const CNarrowString n = ZorNativePath(path);
    const int fd =
        ::open(n.GetString(), (bFolder ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NOFOLLOW | O_NONBLOCK) | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        err.AppendFormat(u"cannot flush %s: %s", path, ZorErrorText(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// Removes a downloaded temporary copy when the read is done with it.
class CTempFileGuard {
public:
    ~CTempFileGuard() { Drop(); }
    void Set(const CWideString& path) { m_sPath = path; }
    void Drop() {
        if (!m_sPath.IsEmpty()) ZorDeleteFileQuiet(m_sPath);
        m_sPath.Empty();
    }

private:
    CWideString m_sPath;
};

} // namespace

// ---------------------------------------------------------------- helpers

CStateFileIo& CSyncJob::GetStateFileIo() {
    if (!m_pStateIo) m_pStateIo = std::make_shared<CJobStateFileIo>(this);
    // Set only when changed: the two sides' saves use it at the same time.
    CStateFileIo& io = *m_pStateIo;
    if (io.m_bCleanupOldGenerations != (bool)m_Options.m_bCleanupOldGenerations)
        io.m_bCleanupOldGenerations = m_Options.m_bCleanupOldGenerations;
    if (io.m_nSaveMonthsOldGens != m_Options.m_nSaveMonthsOldGens)
        io.m_nSaveMonthsOldGens = m_Options.m_nSaveMonthsOldGens;
    if (io.m_pProgress != m_pProgress) io.m_pProgress = m_pProgress;
    return io;
}

bool CSyncJob::MayHaveTimeShift(const TvFileSys* pFs) {
    return pFs && (!pFs->GetCapability(TVFS_CAP_MOD_TIMES) || pFs->GetCapability(TVFS_CAP_ROUNDED_TIMES));
}

bool CSyncJob::IsTempFileName(const CWideString& name, CWideString& errText) {
    if (name.EndsWithNoCase(u"._tvtmp")) return true;
    if (name.GetLength() < 32) {
        errText += u"bad name";
        return false;
    }
    for (int i = 0; i < 32; ++i) {
        const char16_t c = name[i];
        if (!((c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'))) {
            errText += u"bad name";
            return false;
        }
    }
    if (name.Mid(32) != u".tmp") {
        errText += u"bad suffix";
        return false;
    }
    return true;
}

bool CSyncJob::ParseStateFile(ZorInStream& in, int side, CSyncTreeNode* pFolder, bool bMayShift,
                              StateFileHeader& hdr, bool& bVersionError, CWideString& errText) {
    NoteSavedRecordsChanged(side);
    return GetStateFileIo().ParseStateFile(in, side ? 1 : 0, pFolder, bMayShift, hdr, bVersionError, errText);
}

bool CSyncJob::WriteStateStream(ZorOutStream& out, int side, const CWideString& folderPath,
                                CWideString& errText) {
    CWideString key = folderPath;
    NormalizeNameNfc(key);
    return GetStateFileIo().WriteStateStream(out, side ? 1 : 0, key, errText);
}

// The state file written through the job's reader and writer, which keeps
// the compressed stretches of the side's last write for the next.
bool CSyncJob::WriteSegmentedState(ZorGzBlockFileStream& out, int side, const CWideString& folderPath,
                                   CWideString& errText) {
    if (!m_bKeepStateSegments) return WriteStateStream(out, side, folderPath, errText);
    CWideString key = folderPath;
    NormalizeNameNfc(key);
    return GetStateFileIo().WriteStateStreamReusing(out, side ? 1 : 0, key, errText);
}

// ---------------------------------------------------------------- reading

bool CSyncJob::UseMirrorStateFile(const CWideString& statePath, const CWideString& displayPath,
                                  const CWideString& mirrorFile, int side, bool& bUse, CWideString& errText) {
    (void)displayPath;
    bUse = false;
    TvFileSys* fs = m_apFs[side ? 1 : 0].get();
    if (!fs) {
        errText += u"file system not connected";
        return false;
    }
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    CWideString e;
    if (!fs->GetInfo(statePath, info, bNotFound, k, e)) {
        errText += e;
        return false;
    }
    if (bNotFound) info = FsItemInfo();
    const CWideString described = DescribeFileInfo(info);

    CNarrowString stored8;
    int rk = 0;
    CWideString re;
    const bool bRead = ReadWholeFile(InfoFileOf(mirrorFile), kMaxInfoBytes, stored8, rk, re);
    const CWideString stored = Utf8ToWide(stored8);
    if (!bRead || stored != described) {
        Log(2, kMsgMirrorNotUsed,
            CWideString::Formatted(
                u"Not using cached state file, because remote state file has changed since "
                u"last Sync:\nState file: %s\n%S != \n%S",
                statePath, described, stored) +
                u"\n");
        ZorDeleteFileQuiet(mirrorFile);
        Log(2, kMsgMirrorDeleted,
            u"Deleting old mirror state file (left by unfinished sync): " + mirrorFile + u"\n");
        return true;
    }
    ZorFileInfo fi;
    CWideString fe;
    if (ZorGetFileInfo(mirrorFile, fi, fe)) {
        const int64_t nMod = TimeTFromFileTime(fi.nWriteTime);
        const int64_t nNow = CZorTime::Now().GetTime();
        if (nNow > nMod && nNow - nMod < kMirrorStateMaxAge) {
            bUse = true;
            Log(2, kMsgMirrorUsed,
                u"Found mirror state file (left by unfinished sync), use it instead of remote state file: " +
                    mirrorFile + u"\n");
        }
    }
    return true;
}

namespace {

// A folder standing at the state file's name would take every save: it is
// renamed beside it (to the first free "<name>.aside<n>"), never deleted.
bool SetAsideFolderAtStatePath(CSyncJob* pJob, TvFileSys* fs, const CWideString& statePath, int& errKind,
                               CWideString& errText) {
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    CWideString e;
    if (!fs->GetInfo(statePath, info, bNotFound, k, e) || bNotFound || !info.IsFolder()) return true;
    for (int n = 1; n < 100; ++n) {
        const CWideString aside = statePath + CWideString::Formatted(u".aside%d", n);
        bool bFree = false;
        if (!fs->GetInfo(aside, info, bFree, k, e)) break;
        if (!bFree) continue;
        if (!fs->MoveFolder(statePath, aside, k, e)) break;
        pJob->Log(1, kMsgStateSetAside,
                  u"A folder stood at the state file's name; it is set aside as " + fs->DisplayPath(aside) +
                      u"\n");
        return true;
    }
    errText += u"a folder stands at the state file's name: " + fs->DisplayPath(statePath);
    if (!e.IsEmpty()) errText += u": " + e;
    errKind = k != FSE_NONE ? k : FSE_GENERAL;
    return false;
}

// A state file found damaged is renamed beside it (to the first free
// "<name>.damaged", "<name>.damaged2", ...) before a new one takes its
// place, so that what it held stays for a look. False when it cannot be;
// the save goes on then.
bool SetAsideDamagedStateFile(CSyncJob* pJob, TvFileSys* fs, const CWideString& statePath, CWideString& e) {
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    if (!fs->GetInfo(statePath, info, bNotFound, k, e)) return false;
    if (bNotFound || info.IsFolder()) return true;
    for (int n = 1; n < 100; ++n) {
        const CWideString aside = statePath + (n == 1 ? CWideString(u".damaged") : CWideString::Formatted(u".damaged%d", n));
        bool bFree = false;
        if (!fs->GetInfo(aside, info, bFree, k, e)) return false;
        if (!bFree) continue;
        if (!fs->MoveFile(statePath, aside, k, e)) return false;
        pJob->Log(1, kMsgStateSetAside,
                  u"The damaged state file is kept as " + fs->DisplayPath(aside) +
                      u"; a new one takes its place\n");
        return true;
    }
    e += u"no free name beside it";
    return false;
}

} // namespace

bool CSyncJob::ReadStateFile(const CWideString& folderPath, int side, bool bCheckLock, int32_t* pCount,
                             int& errKind, CWideString& errText) {
    side = side ? 1 : 0;
    m_bStateOverBudget = false;
    // A read brings (or takes back) saved-version records.
    NoteSavedRecordsChanged(side);
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || !fs->IsConnected()) {
        errText += u"file system not connected";
        errKind = FSE_GENERAL;
        return false;
    }
    const CWideString sideName = SideName(side);
    const bool bNoData = CannotHaveDataFolder(side);
    if (folderPath.IsEmpty()) GetStateFileIo().m_asDamaged[side].Empty();

    CWideString mirrorFolder;
    if (!MakeMirrorFolderPath(false, fs->DisplayPath(folderPath), false, mirrorFolder, errKind, errText))
        return false;

    std::unique_ptr<ZorGzFileStream> pReader;
    CTempFileGuard download;  // a downloaded copy, deleted when the read ends
    CWideString readCopy;     // the local copy that was read (download or mirror), if any
    bool bFromMirror = false; // the file read is a mirror copy
    bool bOnSide = false;     // the state file was found on the side
    int nPresetA = kStatePresetOlderName;
    FsItemInfo stamp;
    CWideString statePath, display;
    auto openLocal = [&](const CWideString& path, CWideString& e, int dirFd = -1) {
        auto p = std::make_unique<ZorGzFileStream>();
        if (dirFd >= 0) p->InFolder(dirFd);
        if (!p->OpenRead(path, e)) return false;
        pReader = std::move(p);
        return true;
    };

    if (bNoData) {
        CWideString mirrorFile = mirrorFolder + u"/" + kStateFileName;
        nPresetA = kStatePresetV4Name;
        if (!ZorFileExists(mirrorFile)) {
            mirrorFile = mirrorFolder + u"/" + kStateFileV3Name;
            nPresetA = kStatePresetOlderName;
        }
        if (!ZorFileExists(mirrorFile)) {
            if (!folderPath.IsEmpty()) return true;
            errText += sideName + u": State file does not exist in mirror: " + mirrorFile;
            errKind = FSE_NONE;
            return false;
        }
        display = mirrorFile;
        int k = 0;
        CWideString e;
        if (!GetLocalFileInfo(mirrorFile, stamp, k, e)) stamp = FsItemInfo();
        CWideString oe;
        if (openLocal(mirrorFile, oe)) {
            readCopy = mirrorFile;
            bFromMirror = true;
        }
        Log(2, kMsgReadFromMirror,
            sideName + CWideString::Formatted(u": Read state from mirror (read-only or no-tvdata side) %s\n",
                                              mirrorFile));
    } else {
        if (!CheckDataFolderTrust(folderPath, side, errKind, errText)) return false;
        if (bCheckLock) {
            int k = 0;
            CWideString e;
            if (!CheckLockFolder(folderPath, side, k, e)) {
                // An automatic run takes the side's lock here, and its Sync
                // takes none: a lock it could not write for a reason of its
                // own (the data folder removed while the side was read) ends
                // the run, whose reading of the side is in doubt; it is tried
                // again. Another owner's lock is refused by its Sync.
                if (m_nRunKind == RK_AUTOMATIC && folderPath.IsEmpty() && !m_bLockedByOther) {
                    errKind = k != FSE_NONE ? k : FSE_GENERAL;
                    errText += e;
                    return false;
                }
                Log(1, kMsgCheckLockFailed, e + u"\n");
            }
        }
        // Which name the side holds. A check that fails (a lost connection,
        // an operation the back-end lacks) fails the read with its own kind:
        // taking the file as absent would make every item look new.
        FsItemInfo info;
        bool bNotFound = false;
        int k = 0;
        CWideString e;
        statePath = folderPath + kStateFilePath;
        nPresetA = kStatePresetV4Name;
        bool bChecked = fs->GetInfo(statePath, info, bNotFound, k, e);
        if (bChecked && !bNotFound && info.IsFolder())
            Log(1, kMsgStateUnreadable,
                sideName + u": a folder stands at the state file's name, its state is not used: " +
                    fs->DisplayPath(statePath) + u"\n");
        if (bChecked && (bNotFound || info.IsFolder())) {
            statePath = folderPath + kStateFileV3Path;
            nPresetA = kStatePresetOlderName;
            info = FsItemInfo();
            bChecked = fs->GetInfo(statePath, info, bNotFound, k, e);
        }
        // Where neither is there, what is said names the file a sync writes.
        display = fs->DisplayPath(bChecked && bNotFound ? folderPath + kStateFilePath : statePath);

        const CWideString status =
            folderPath.IsEmpty()
                ? FormatLocalizedString(IDS_Str_Status_ReadStateFile, display)
                : FormatLocalizedString(IDS_Str_Status_ReadEmbeddedStateFile, fs->DisplayPath(folderPath));
        // At the scan's percentage.
        int nPercent = m_nScanExpectedFolders > 0
                           ? (int)((int64_t)m_nScanFoldersDone * 100 / m_nScanExpectedFolders)
                           : m_nScanFoldersDone % 100;
        if (nPercent > 100) nPercent = 100;
        if (nPercent < 0) nPercent = 0;
        SetProgress(nPercent, status, false);
        Log(2, kMsgReadStatus, sideName + u": " + status + u"\n");

        if (!bChecked) {
            errText += u"Cannot determine state file status: " + e;
            errKind = k != FSE_NONE ? k : FSE_GENERAL;
            return false;
        }
        // The mirror copy of an unfinished save always has the current name,
        // also when the side still holds only the older file (or none): its
        // description tells whether it still stands for the side's file.
        CWideString mirrorFile = mirrorFolder + u"/" + kStateFileName;
        bool bMirrorV4 = true;
        if (nPresetA == kStatePresetOlderName && !ZorFileExists(mirrorFile)) {
            mirrorFile = mirrorFolder + u"/" + kStateFileV3Name;
            bMirrorV4 = false;
        }
        const bool bExists = !bNotFound && !info.IsFolder();
        // What this Analyze saw is what Sync compares with: no file, not
        // the file an earlier Sync wrote (the state may have been forgotten).
        if (!bExists) SetStateFileStamp(side, folderPath, FsItemInfo());

        auto tryMirror = [&]() -> bool {
            bool bUse = false;
            CWideString me;
            if (!UseMirrorStateFile(statePath, display, mirrorFile, side, bUse, me)) {
                errText += u"Cannot determine state file status: " + me;
                errKind = FSE_GENERAL;
                return false;
            }
            CWideString oe;
            if (bUse && openLocal(mirrorFile, oe)) {
                readCopy = mirrorFile;
                bFromMirror = true;
                nPresetA = bMirrorV4 ? kStatePresetV4Name : kStatePresetOlderName;
            }
            return true;
        };

        if (bExists) {
            stamp = info;
            bOnSide = true;
            if (fs->GetCapability(TVFS_CAP_LOCAL)) {
                // Read in the data folder taken without a link, and only a
                // file of the job's user with one name: never through a link
                // or a named pipe put there after the check.
                CWideString local, le;
                int lk = 0;
                const bool bPath = fs->GetFullPath(statePath, local, lk, le);
                const int dataFd = bPath ? fs->OpenOwnFolder(folderPath + kDataFolderPath, lk, le) : -1;
                if (bPath && dataFd < 0 && !le.IsEmpty() && lk != FSE_NOT_FOUND) {
                    m_abUntrusted[side] = 1;
                    errText += sideName + u": Refused: the data folder cannot be trusted: " + le;
                    errKind = FSE_GENERAL;
                    return false;
                }
                if (bPath) le.Empty();
                if (!bPath || !openLocal(local, le, dataFd)) {
                    if (le.Find(u": refused, as ") >= 0) {
                        m_abUntrusted[side] = 1;
                        errText += sideName + u": Refused: " + le;
                        errKind = FSE_GENERAL;
                        return false;
                    }
                    Log(2, kMsgTryDownload,
                        u"Error while reading state file, try download first: " + le + u"\n");
                }
            }
            if (!pReader && ZorFileExists(mirrorFile) && !tryMirror()) return false;
            if (!pReader) {
                CWideString tmp, te;
                int tk = 0;
                if (!ZorCreateFolderPath(mirrorFolder, false, tk, te) ||
                    !ZorGetTempFileName(mirrorFolder, u"tvst", tmp, tk, te)) {
                    errText += u"Cannot download state file: " + te;
                    errKind = tk != FSE_NONE ? tk : FSE_GENERAL;
                    return false;
                }
                download.Set(tmp);
                // The most a state file may bring: far beyond any real tree's,
                // yet a server that never ends its reply cannot fill the disk.
                int64_t nSize = kStateFileDownloadMax;
                CWideString de;
                int dk = 0;
                if (!fs->DownloadFile(statePath, tmp, nSize, dk, de)) {
                    errText += u"Cannot download state file: " + de;
                    errKind = dk != FSE_NONE ? dk : FSE_GENERAL;
                    return false;
                }
                CWideString oe;
                if (openLocal(tmp, oe)) readCopy = tmp;
            }
        } else {
            if (!ZorFileExists(mirrorFile)) {
                errText += sideName + u": State file does not exist: " + display;
                errKind = FSE_NONE;
                return false;
            }
            if (!tryMirror()) return false;
        }
    }

    if (!pReader) {
        if (bOnSide) {
            // A file that is no state file (empty, not compressed) is set
            // aside as one that cannot be parsed: the side is read as one
            // without a state file, and Sync finds it as this read saw it.
            SetStateFileStamp(side, folderPath, stamp);
            if (folderPath.IsEmpty()) GetStateFileIo().m_asDamaged[side] = statePath;
            Log(1, kMsgStateUnreadable,
                sideName + u": cannot read state file, its records are not used: " + display + u"\n");
        }
        errText += sideName + u": Cannot open state file: " + display;
        errKind = FSE_NONE;
        return false;
    }

    // The folder node the file's records go below.
    CSyncTreeNode* pFolder = nullptr;
    if (folderPath.IsEmpty()) {
        pFolder = GetPairsForWrite();
    } else {
        CWideString key = folderPath, le;
        NormalizeNameNfc(key);
        pFolder =
            CSyncTreeNode::LookupCS(GetPairsUnchecked(), key, GetStateFileIo().m_bCaseSensitive, nullptr, le);
    }
    if (!pFolder) {
        errText += sideName + u": no tree node for the state file's folder: " + display;
        errKind = FSE_NONE;
        return false;
    }

    const bool bMayShift = MayHaveTimeShift(fs);
    int parseKind = FSE_NONE;
    CWideString pe;
    CStateFileIo& io = GetStateFileIo();
    // The count kept of the side root's file stands for the file it was
    // counted in only.
    if (folderPath.IsEmpty()) m_abStateFileKept[side] = StateRecordsKeptFit(m_aStateRecordsKeptFor[side], stamp);
    if (folderPath.IsEmpty() && !m_abStateFileKept[side]) m_anStateRecordsKept[side] = 0;
    const int64_t nBudget = StateRecordBudget(side);
    io.m_nMaxReadRecords = nBudget;
    const int64_t nMemory = StateMemoryBudget(side);
    io.m_nMaxReadMemory = nMemory;
    io.m_bQuietOverRecords = true;
    const bool bParsed = io.ReadStateStream(*pReader, side, pFolder, bMayShift, nPresetA, parseKind, pe);
    io.m_nMaxReadRecords = kStateMaxRecords;
    io.m_nMaxReadMemory = kStateMaxReadMemory;
    io.m_bQuietOverRecords = false;
    pReader.reset();
    const bool bOverBudget = !bParsed && io.WasOverRecords();
    const bool bOverMemory = bOverBudget && io.WasOverMemory();
    if (bParsed) m_anStateRecordsRead[side] += io.GetRecordsRead();
    const FsItemInfo readStamp = stamp;

    // Another Sync may have rewritten the file while it was read.
    if (!bNoData && bOnSide) {
        FsItemInfo again;
        bool bNotFound = false;
        int k = 0;
        CWideString e;
        if (fs->GetInfo(statePath, again, bNotFound, k, e) && !bNotFound &&
            CFileStamp(again) != CFileStamp(stamp)) {
            Log(2, kMsgStateChangedAfterRead,
                CWideString::Formatted(
                    u"State file has changed after the 1st reading:\nState file: %s\n[%s] != \n[%s]", display,
                    CFileStamp(stamp).Describe(), CFileStamp(again).Describe()) +
                    u"\n");
            stamp = again;
        }
    }
    SetStateFileStamp(side, folderPath, stamp);
    // A side root's file read within the bound (one read after the listing
    // fits the side as listed) is read before the next listing, as long as
    // it stays the file it is.
    if (bParsed && folderPath.IsEmpty() && CFileStamp(stamp) == CFileStamp(readStamp) &&
        (io.GetRecordsRead() != m_anStateRecordsKept[side] ||
         !StateRecordsKeptFit(m_aStateRecordsKeptFor[side], stamp)))
        KeepStateRecords(side, stamp, m_anStateRecordsKept[side] = io.GetRecordsRead());
    // The records' stored bits stand for entries not changed since the
    // header's time: only for the side root's own file, read where it lies,
    // in a full scan; a nested job's state file ends it for the scan.
    if (!folderPath.IsEmpty()) {
        m_anStoredBitsBefore[side] = 0;
        m_abStoredBitsWhole[side] = false;
    } else if (m_anFsScanStart[side] != 0) {
        m_anStoredBitsBefore[side] =
            bParsed && bOnSide && !bFromMirror && readCopy.IsEmpty()
                ? StoredBitsCutoff(GetStateFileIo().m_anReadVerified[side], stamp.m_nModTime, fs->FileSystemNow())
                : 0;
    }

    if (bOverBudget && m_abStateListingAhead[side]) {
        // Read again once the side is listed; a mirror copy stays for that.
        m_bStateOverBudget = true;
        if (folderPath.IsEmpty())
            (bOverMemory ? m_anStateRootPastMemory : m_anStateRootPast)[side] =
                bOverMemory ? nMemory : nBudget;
        errText +=
            sideName +
            (bOverMemory ? CWideString::Formatted(u": state file %s lists records of more than %lld bytes: "
                                                  u"it is read once the side is listed",
                                                  display, (long long)nMemory)
                         : CWideString::Formatted(u": state file %s lists more than %lld records: it is "
                                                  u"read once the side is listed",
                                                  display, (long long)nBudget));
        errKind = FSE_NONE;
        return false;
    }
    if (bOverBudget) {
        // Set aside as one that cannot be parsed: the side is read as one
        // without a state file (conflicts, never deletions).
        const CWideString why =
            bOverMemory
                ? CWideString::Formatted(
                      u": state file %s lists records of more than %lld bytes, more than a "
                      u"side of %lld items can need; its records are not used",
                      display, (long long)nMemory, (long long)StateItemsKnown(side))
                : CWideString::Formatted(u": state file %s lists more than %lld records, more than a side of "
                                         u"%lld items can need; its records are not used",
                                         display, (long long)nBudget, (long long)StateItemsKnown(side));
        Log(1, kMsgStateUnreadable, sideName + why + u"\n");
        pe = sideName + why;
        if (folderPath.IsEmpty() && bOnSide) io.m_asDamaged[side] = statePath;
    }
    if (!bParsed) {
        if (parseKind == FSE_GENERAL) {
            // A format version this engine does not handle: the copy stays
            // useful to a newer engine; only a download goes.
            download.Drop();
        } else if (parseKind != FSE_STOPPED) {
            download.Drop();
            if (bFromMirror && !bNoData) ZorDeleteFileQuiet(readCopy);
            if (folderPath.IsEmpty() && bOnSide) io.m_asDamaged[side] = statePath;
        }
        if (parseKind == FSE_NONE && !bOverBudget) errText += u"cannot parse state file: ";
        errText += pe;
        errKind = parseKind;
        return false;
    }
    download.Drop();
    if (!CheckStop(errKind, errText)) return false;
    if (pCount) ++*pCount;
    return true;
}

int64_t CSyncJob::StateItemsKnown(int side) const {
    return m_anStateItemsKnown[side & 1] + (int64_t)m_nScanFoldersListed + m_nScanFilesListed +
           m_nScanFoldersExcluded + m_nScanFilesExcluded;
}

int64_t CSyncJob::s_nStateMinRecords = kStateMinRecordBudget;

int64_t CSyncJob::StateRecordBudget(int side) const {
    const int64_t n = std::max({s_nStateMinRecords, StateItemsKnown(side) * kStateRecordsPerItem,
                                m_anStateRecordsKept[side & 1]}) -
                      m_anStateRecordsRead[side & 1];
    return std::clamp<int64_t>(n, 0, kStateMaxRecords);
}

int64_t CSyncJob::s_nStateMinMemory = kStateMinMemoryBudget;

int64_t CSyncJob::StateMemoryBudget(int side) const {
    const int64_t nRecords =
        std::min(std::max(StateItemsKnown(side) * kStateRecordsPerItem, m_anStateRecordsKept[side & 1]),
                 kStateMaxRecords);
    return std::max(s_nStateMinMemory, nRecords * kStateBytesPerRecord);
}

namespace {

// The records that the side root's file holds as written from the tree:
// every node whose old record of the side is present, below a node whose
// record is (the root's own always).
int64_t CountStateRecords(CSyncTreeNode* pNode, int side) {
    if (pNode->GetParent() && !pNode->GetItem().m_aOld[side].IsPresentBit()) return 0;
    int64_t n = 1;
    if (pNode->IsContainer()) {
        CSyncLevelIter it(pNode);
        for (bool b = it.IsValid(); b; b = it.Next()) n += CountStateRecords(it.GetNode(), side);
    }
    return n;
}

} // namespace

bool CSyncJob::StateRecordsKeptPath(int side, CWideString& path) {
    return LastSyncCountPath(side, path, kStateRecordsName);
}

bool CSyncJob::StateRecordsKeptFit(const FsItemInfo& kept, const FsItemInfo& file) {
    const auto same = [](int64_t a, int64_t b) { return a == 0 || b == 0 || a == b; };
    return kept.m_nSize > 0 && kept.m_nSize == file.m_nSize && kept.m_nModTime == file.m_nModTime &&
           same(kept.m_nModTimeNs, file.m_nModTimeNs) && same(kept.m_nStamp, file.m_nStamp) &&
           same(kept.m_nChangeNs, file.m_nChangeNs);
}

int64_t CSyncJob::ReadStateRecordsKept(int side) {
    side &= 1;
    m_aStateRecordsKeptFor[side] = FsItemInfo();
    CWideString path, e;
    int k = 0;
    CNarrowString text;
    if (!StateRecordsKeptPath(side, path) || !ZorFileExists(path) || !ReadWholeFile(path, 128, text, k, e))
        return 0;
    // "records size mod-time nanoseconds stamp change-time". A count without
    // the stamp of its file (as older versions kept it, or set by hand)
    // stands for no file: the side's listing alone lets a file through.
    uint64_t v[6] = {0, 0, 0, 0, 0, 0};
    int nAt = 0, nRead = 0;
    for (uint64_t& x : v) {
        while (nAt < text.GetLength() && text[nAt] == ' ') nAt++;
        const int nStart = nAt;
        while (nAt < text.GetLength() && text[nAt] >= '0' && text[nAt] <= '9') nAt++;
        if (nAt == nStart || nAt - nStart > 19 || !ParseUInt64(text.Mid(nStart, nAt - nStart), x, e)) break;
        nRead++;
    }
    if (nRead != 6) return 0;
    if (v[1] > (uint64_t)INT64_MAX || v[2] > UINT32_MAX || v[3] > UINT32_MAX || v[4] > UINT32_MAX ||
        v[5] > (uint64_t)INT64_MAX)
        return 0;
    FsItemInfo& kept = m_aStateRecordsKeptFor[side];
    kept.m_nSize = (int64_t)v[1];
    kept.m_nModTime = (uint32_t)v[2];
    kept.m_nModTimeNs = (uint32_t)v[3];
    kept.m_nStamp = (uint32_t)v[4];
    kept.m_nChangeNs = (int64_t)v[5];
    return (int64_t)std::min<uint64_t>(v[0], (uint64_t)kStateMaxRecords);
}

void CSyncJob::KeepStateRecords(int side, const FsItemInfo& stamp, int64_t n) {
    side &= 1;
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    CWideString path, e;
    int k = 0;
    if (!pRoot || !StateRecordsKeptPath(side, path)) return;
    if (n < 0) n = CountStateRecords(pRoot, side);
    if (n == ReadStateRecordsKept(side) && StateRecordsKeptFit(m_aStateRecordsKeptFor[side], stamp) &&
        CFileStamp(m_aStateRecordsKeptFor[side]) == CFileStamp(stamp))
        return;
    const std::string line = std::to_string(n) + " " + std::to_string(stamp.m_nSize) + " " +
                             std::to_string(stamp.m_nModTime) + " " + std::to_string(stamp.m_nModTimeNs) +
                             " " + std::to_string(stamp.m_nStamp) + " " +
                             std::to_string(std::max<int64_t>(0, stamp.m_nChangeNs)) + "\n";
    if (!WriteWholeFile(path, CNarrowString(line.c_str()), k, e)) {
        Log(2, kMsgSaveFailed, u"Cannot keep the count of state records: " + e + u"\n");
        return;
    }
    ZorMakeFileOwnerOnly(path);
}

// ---------------------------------------------------------------- stored bits from the records

int CSyncJob::s_nStoredBitsMargin = 10;

uint32_t CSyncJob::StoredBitsCutoff(uint32_t nVerified, uint32_t nFileTime, int64_t nNow) {
    // A time after the file was written, or a file written after now (a
    // clock set back since, or another machine's clock): no cutoff.
    if (nVerified == 0 || nNow <= 0 || nVerified > nFileTime || (int64_t)nFileTime > nNow) return 0;
    const int64_t c = (int64_t)nVerified - s_nStoredBitsMargin;
    return c > 0 && c <= (int64_t)UINT32_MAX ? (uint32_t)c : 0;
}

uint32_t CSyncJob::PeekStoredBitsTime(int side) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!IsPlainLocalFs(fs) || CannotHaveDataFolder(side)) return 0;
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    CWideString e, local;
    if (!fs->GetInfo(kStateFilePath, info, bNotFound, k, e) || bNotFound || info.IsFolder()) return 0;
    if (!fs->GetFullPath(kStateFilePath, local, k, e)) return 0;
    // In the data folder as the state file's read takes it.
    const int dataFd = fs->OpenOwnFolder(kDataFolderPath, k, e);
    if (dataFd < 0) return 0;
    ZorGzFileStream in;
    in.InFolder(dataFd);
    unsigned char ch = 0;
    StateFileHeader hdr;
    if (!in.OpenRead(local, e) || !in.GetChar(ch, e) || ch != '^' || !hdr.Read(in, e)) return 0;
    return StoredBitsCutoff(hdr.m_nVerified, info.m_nModTime, fs->FileSystemNow());
}

// The time the side root's state file may say its records' attribute words
// hold until: the start of this run's full scan of the side when every
// present record's word is the word the scan listed (or, for an item this
// run wrote, the word read back); else the time of the file read, whose
// records that are left as they were still hold it. Nothing after merged
// duplicate records.
uint32_t CSyncJob::StoredBitsVerifiedTime(int side) {
    side &= 1;
    CStateFileIo& io = GetStateFileIo();
    if (io.m_anDuplicates[side] != 0) return 0;
    const uint32_t nCarry = io.m_anReadVerified[side];
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    if (!m_abStoredBitsWhole[side] || m_anFsScanStart[side] <= 0 || m_anFsScanStart[side] > UINT32_MAX || !pRoot)
        return nCarry;
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) {
        const CSyncPairAndAction& item = *it.GetItem();
        const CSideInfo& old = item.m_aOld[side];
        if (!old.IsPresentBit() || !old.Exists() || it.GetNode() == pRoot) continue;
        const CSideInfo& cur = item.m_aCur[side];
        if (!cur.IsPresentBit() || !cur.Exists() || cur.IsFolder() != old.IsFolder() || cur.m_nAttr != old.m_nAttr)
            return nCarry;
    }
    return (uint32_t)m_anFsScanStart[side];
}

bool CSyncJob::SettlesStoredBits() {
    for (int side = 0; side < 2; ++side)
        m_abSettleStoredBits[side] = m_anStoredBitsRead[side] != 0 &&
                                     StoredBitsVerifiedTime(side) > GetStateFileIo().m_anReadVerified[side];
    return m_abSettleStoredBits[0] || m_abSettleStoredBits[1];
}

// ---------------------------------------------------------------- saving

bool CSyncJob::SaveStateFiles(CSyncTreeNode* pNode, int& errKind, CWideString& errText) {
    (void)errKind;
    (void)errText;
    if (!pNode) return true;
    bool abSave[2] = {false, false}, bBothLocal = true;
    int k = 0;
    for (int side = 0; side < 2; ++side) {
        TvFileSys* fs = m_apFs[side].get();
        // A state file is written by its full path: only into the very root
        // folder that the run worked in.
        CWideString re;
        if (fs && fs->IsConnected() && pNode->GetItem().m_aHoldsDataFolder[side] && !fs->ConfirmRoot(k, re)) {
            Log(1, kMsgSaveFailed,
                FormatLocalizedString(IDS_Str_Status_SaveStateFile, GetItemSidePath(pNode, side)) +
                    u"\n- ERROR: " + re + u"\n");
            m_nSyncErr.fetch_add(1);
            m_nRunErrors.fetch_add(1);
        }
        abSave[side] = fs && fs->IsConnected() && pNode->GetItem().m_aHoldsDataFolder[side];
        bBothLocal = bBothLocal && abSave[side] && fs->GetCapability(TVFS_CAP_LOCAL) && !CannotHaveDataFolder(side);
    }
    if (!abSave[0] && !abSave[1]) return true;
    // A state file records only copies that are on disk: the copies not
    // flushed one by one reach it first, on both sides (a flush that another
    // job runs just now is waited for).
    if (TvHasUnflushedCopies()) Log(3, kMsgFlushCopies, u"Flushing the copied files to disk\n");
    CWideString e;
    if (!TvFlushCopies(k, e)) {
        for (int side = 0; side < 2; ++side)
            if (abSave[side])
                Log(1, kMsgSaveFailed,
                    FormatLocalizedString(IDS_Str_Status_SaveStateFile, GetItemSidePath(pNode, side)) +
                        u"\n- ERROR: " + e + u"\n");
        m_nSyncErr.fetch_add(1);
        m_nRunErrors.fetch_add(1);
        return true;
    }
    if (bBothLocal) {
        // The right side on a thread of its own: it writes only the right
        // side's saved-version records and reads the right side's records;
        // its log lines follow the left side's, as in a sequential save.
        GetStateFileIo();
        CHeldLogLines held;
        std::thread right;
        try {
            right = std::thread([this, pNode, &held] {
                HoldLogLinesOfThisThread(&held);
                SaveSideStateFiles(pNode, 1);
                HoldLogLinesOfThisThread(nullptr);
            });
        } catch (const std::system_error&) {
        }
        SaveSideStateFiles(pNode, 0);
        if (right.joinable()) {
            right.join();
            PassOnHeldLogLines(held);
        } else {
            SaveSideStateFiles(pNode, 1);
        }
        return true;
    }
    for (int side = 0; side < 2; ++side)
        if (abSave[side]) SaveSideStateFiles(pNode, side);
    return true;
}

void CSyncJob::SaveSideStateFiles(CSyncTreeNode* pNode, int side) {
    TvFileSys* fs = m_apFs[side].get();
    const CWideString sidePath = GetItemSidePath(pNode, side);
    if (m_Options.m_bCleanupPreviousVersion && !IsStopped()) {
        const int nDays = m_Options.m_nSaveDaysPreviousVersion;
        const int64_t nNow = CZorTime::Now().GetTime();
        const int64_t cutoff = nNow - (int64_t)nDays * 86400;
        bool bNoneTracked = true;
        // The whole tree's walk finds nothing to delete while no record
        // changed since the last one and none of those it left has expired.
        CSavedWalk& last = m_aSavedWalk[side];
        const bool bRoot = pNode->GetParent() == nullptr;
        if (bRoot && last.bValid && last.nChanges == m_anSavedRecordChanges[side].load() &&
            (last.bNoneTracked || cutoff <= last.nEarliest)) {
            bNoneTracked = last.bNoneTracked;
        } else {
            int64_t nEarliest = INT64_MAX;
            CleanupSavedFiles(pNode, side, cutoff, bNoneTracked, &nEarliest);
            // What the next walk would find: the records this one left.
            if (bRoot)
                last = CSavedWalk{true, m_anSavedRecordChanges[side].load(), nEarliest == INT64_MAX, nEarliest};
        }
        if (bNoneTracked) {
            int k = 0;
            CWideString e;
            // The saved copies lie under their full paths in the side
            // root's "_saved_": they are looked up from the tree root.
            if (!InitSavedTracking(sidePath, side, fs, pNode->GetParent() == nullptr,
                                   nNow - (int64_t)(nDays / 2) * 86400, GetPairsUnchecked(), k, e))
                Log(2, kMsgInitPrevSyncTime, u"Cannot init PrevSyncTime: " + e + u"\n");
        }
    }
    // A subfolder's data folder belongs to a job over that subfolder: its
    // state file is that job's history, kept by that job alone. This job's
    // records of the subfolder live in its side root's file.
    if (pNode->GetParent()) return;
    int k = 0;
    CWideString e;
    if (!WriteStateFile(side, sidePath, k, e)) {
        Log(1, kMsgSaveFailed,
            FormatLocalizedString(IDS_Str_Status_SaveStateFile, sidePath) + u"\n- ERROR: " + e + u"\n");
        m_nSyncErr.fetch_add(1);
        m_nRunErrors.fetch_add(1);
        return;
    }
    // The count goes with the file as the next read will see it (a local
    // side's as its file system tells it, with the nanoseconds and change
    // time; another's as the save found it).
    FsItemInfo saved;
    bool bNotFound = false;
    if (!CannotHaveDataFolder(side) && fs->GetCapability(TVFS_CAP_LOCAL)
            ? fs->GetInfo(kStateFilePath, saved, bNotFound, k, e) && !bNotFound
            : m_aStateFileStamps[side].Lookup(CWideString(), saved))
        KeepStateRecords(side, saved);
}

bool CSyncJob::WriteStateFile(int side, const CWideString& folderPath, int& errKind, CWideString& errText) {
    side = side ? 1 : 0;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs || !fs->IsConnected()) {
        errText += u"file system not connected";
        errKind = FSE_GENERAL;
        return false;
    }
    {
        // A subfolder without a record of its own would get a header-only
        // file; there is no state to keep for it.
        CWideString key = folderPath;
        NormalizeNameNfc(key);
        if (!GetStateFileIo().HasStateToWrite(side, key)) return true;
    }
    const CWideString statePath = folderPath + kStateFilePath;
    CWideString mirrorFolder;
    if (!MakeMirrorFolderPath(false, fs->DisplayPath(folderPath), false, mirrorFolder, errKind, errText))
        return false;
    const CWideString mirrorFile = mirrorFolder + u"/" + kStateFileName;
    const bool bData = !CannotHaveDataFolder(side);
    if (bData && !SetAsideFolderAtStatePath(this, fs, statePath, errKind, errText)) return false;
    CStateFileIo& io = GetStateFileIo();
    if (bData && folderPath.IsEmpty() && io.m_asDamaged[side] == statePath) {
        CWideString e;
        if (!SetAsideDamagedStateFile(this, fs, statePath, e))
            Log(1, kMsgStateSetAside,
                u"The damaged state file " + fs->DisplayPath(statePath) + u" cannot be set aside, and a new one "
                u"takes its place: " + e + u"\n");
        io.m_asDamaged[side].Empty();
    }
    if (folderPath.IsEmpty())
        io.m_anWriteVerified[side] = bData && IsPlainLocalFs(fs) ? StoredBitsVerifiedTime(side) : 0;

    bool bRemote = true;
    if (fs->GetCapability(TVFS_CAP_LOCAL) || !bData) {
        // Local branch: into the side's data folder, or into the mirror
        // folder of a side that keeps no data folder. Always through a
        // temporary file that is flushed and renamed over the old one.
        CWideString target;
        int k = 0;
        CWideString e;
        // The folder the file is written in, taken once without a link: the
        // temporary is made, written, synced and renamed in it, never by a
        // path that a swapped folder could lead elsewhere.
        int targetFd = -1;
        if (bData) {
            if (!fs->GetFullPath(folderPath + kDataFolderPath, target, k, e)) {
                errText += e;
                errKind = k != FSE_NONE ? k : FSE_GENERAL;
                return false;
            }
            targetFd = fs->OpenOwnFolder(folderPath + kDataFolderPath, k, e);
            if (targetFd < 0 && !e.IsEmpty() && k != FSE_NOT_FOUND) {
                m_abUntrusted[side] = 1;
                errText += u"Refused: the data folder cannot be trusted: " + e +
                           u". To fix: if the item is not the job's, have it removed; the job makes its data "
                           u"folder again";
                errKind = k != FSE_NONE ? k : FSE_GENERAL;
                return false;
            }
        } else {
            target = mirrorFolder;
            if (!ZorCreateFolderPath(target, false, k, e)) {
                errText += u"creating mirror folder: " + e;
                errKind = k != FSE_NONE ? k : FSE_GENERAL;
                return false;
            }
        }
        const CWideString perm = target + u"/" + kStateFileName;
        const CWideString status = FormatLocalizedString(IDS_Str_Status_SaveStateFile, perm);
        const CWideString tempName = OwnTempName(kStateUploadName, fs);
        const CWideString temp = target + u"/" + tempName;
        const CNarrowString tempName8 = ZorNativePath(tempName), permName8 = ZorNativePath(CWideString(kStateFileName));
        ZorGzBlockFileStream out;
        CWideString oe;
        // The name is the same for every run: what stands there is never written through.
        out.NewFileAtName();
        if (targetFd >= 0) out.InFolder(fcntl(targetFd, F_DUPFD_CLOEXEC, 0));
        auto dropTemp = [&]() {
            if (targetFd >= 0)
                (void)::unlinkat(targetFd, tempName8, 0);
            else
                ZorDeleteFileQuiet(temp);
        };
        const bool bOpened = (!bData || targetFd >= 0) &&
                             out.OpenWrite(temp, false, oe, kStateFileGzLevel, kStateFileGzThreads);
        if (bOpened) {
            // Every name and size of the side: no other user reads (or
            // writes records the next run trusts).
            out.MakePrivate();
            bRemote = false;
            CWideString we;
            if (!WriteSegmentedState(out, side, folderPath, we)) {
                CWideString ignored;
                out.Close(ignored);
                dropTemp();
                if (targetFd >= 0) ::close(targetFd);
                errText += u"writing temp: " + we;
                errKind = FSE_GENERAL;
                return false;
            }
            CWideString ce;
            // (Written in a folder taken by its descriptor, the stream syncs the file as it closes it.)
            if (!out.Close(ce) || (targetFd < 0 && !FsyncLocal(temp, false, ce))) {
                dropTemp();
                if (targetFd >= 0) ::close(targetFd);
                errText += u"closing temp: " + ce;
                errKind = FSE_GENERAL;
                return false;
            }
            CWideString me;
            int mk = 0;
            bool bMoved;
            if (targetFd >= 0) {
                bMoved = ::renameat(targetFd, tempName8, targetFd, permName8) == 0;
                if (!bMoved) me = u"cannot rename " + temp + u" to " + perm + u": " + ZorErrorText(errno);
            } else {
                bMoved = bData ? fs->MoveFileFromLocal(temp, statePath, mk, me) : ZorMoveFile(temp, perm, mk, me);
            }
            if (!bMoved) {
                dropTemp();
                if (targetFd >= 0) ::close(targetFd);
                errText += u"moving temp to perm: " + me;
                errKind = mk != FSE_NONE ? mk : FSE_GENERAL;
                return false;
            }
            CWideString se;
            // The rename itself; a failure here changes nothing.
            if (targetFd >= 0)
                (void)::fsync(targetFd);
            else
                FsyncLocal(target, true, se);
            Log(2, kMsgSaved, status + u"\n");
            if (folderPath.IsEmpty()) io.m_anReadVerified[side] = io.m_anWriteVerified[side];
            FsItemInfo info;
            int ik = 0;
            CWideString ie;
            if (GetLocalFileInfo(perm, info, ik, ie)) SetStateFileStamp(side, folderPath, info);
        } else if (!bData) {
            errText += u"opening temp: " + oe;
            errKind = FSE_GENERAL;
            return false;
        } else {
            Log(2, kMsgTryFsWay, u"Cannot open temp file directly, try FS way: " + oe + e + u"\n");
        }
        if (targetFd >= 0) ::close(targetFd);
    }

    if (bRemote) {
        // Remote branch: a local mirror copy, its description, one upload to
        // a temporary name and a move over the old file.
        int k = 0;
        CWideString e;
        if (!ZorCreateFolderPath(mirrorFolder, false, k, e)) {
            errText += u"creating mirror folder: " + e;
            errKind = k != FSE_NONE ? k : FSE_GENERAL;
            return false;
        }
        const CWideString status =
            FormatLocalizedString(IDS_Str_Status_SaveStateFile, fs->DisplayPath(statePath));
        {
            ZorGzBlockFileStream out;
            CWideString we;
            if (!out.OpenWrite(mirrorFile, true, we, kStateFileGzLevel, kStateFileGzThreads)) {
                errText += u"opening mirror file: " + we;
                errKind = FSE_GENERAL;
                return false;
            }
            out.MakePrivate();
            if (!WriteSegmentedState(out, side, folderPath, we)) {
                errText += u"writing mirror file: " + we;
                errKind = FSE_GENERAL;
                return false; // the atomic writer drops its temporary file
            }
            if (!out.Close(we)) {
                errText += u"closing mirror file: " + we;
                errKind = FSE_GENERAL;
                return false;
            }
        }
        FsItemInfo last;
        if (!m_aStateFileStamps[side].Lookup(folderPath, last)) last = FsItemInfo();
        {
            int wk = 0;
            CWideString we;
            if (!WriteWholeFile(InfoFileOf(mirrorFile), WideToUtf8(DescribeFileInfo(last)), wk, we)) {
                errText += u"cannot write state file info: " + we;
                errKind = wk != FSE_NONE ? wk : FSE_GENERAL;
                return false;
            }
        }
        if (m_Options.m_bFastStop && IsStopped()) {
            errText += u"terminal error previously detected";
            errKind = FSE_STOPPED;
            return false;
        }
        const CWideString remoteTemp = folderPath + kDataFolderPath + u"/" + OwnTempName(kStateUploadName, fs);
        for (int nFailed = 0;;) {
            int uk = 0;
            CWideString ue;
            if (fs->UploadFile(mirrorFile, remoteTemp, uk, ue)) break;
            ++nFailed;
            if (IsConnectionError(uk) && nFailed < kMaxUploadAttempts) {
                int rk = uk;
                CWideString re;
                if (!TryReconnect(side, u"Uploading State", ue, true, rk, re)) {
                    errText += u"Cannot reconnect when uploading state file: " + re;
                    errKind = rk != FSE_NONE ? rk : uk;
                    if (m_apFs[side]) m_apFs[side]->Close();
                    return false;
                }
                fs = m_apFs[side].get();
                if (!fs || !fs->IsConnected()) {
                    errText += u"Cannot reconnect when uploading state file: " + re;
                    errKind = uk;
                    return false;
                }
                continue;
            }
            errText += u"Cannot upload temp state file: " + ue;
            errKind = uk != FSE_NONE ? uk : FSE_GENERAL;
            return false;
        }
        {
            int mk = 0;
            CWideString me;
            if (!fs->MoveFile(remoteTemp, statePath, mk, me)) {
                errText += u"Cannot move state file temp to perm: " + me;
                errKind = mk != FSE_NONE ? mk : FSE_GENERAL;
                DeleteFileQuietly(fs, remoteTemp);
                return false;
            }
        }
        Log(2, kMsgSaved, status + u"\n");
        FsItemInfo info;
        bool bNotFound = false;
        int ik = 0;
        CWideString ie;
        if (!fs->GetInfo(statePath, info, bNotFound, ik, ie) || bNotFound) info = FsItemInfo();
        SetStateFileStamp(side, folderPath, info);
    }

    if (bData) {
        // A complete write: no mirror copy is needed any more.
        ZorDeleteFileQuiet(mirrorFile);
        if (bRemote) ZorDeleteFileQuiet(InfoFileOf(mirrorFile));
    }
    return true;
}
