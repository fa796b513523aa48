// The file-system work of one copy action: a propagated deletion, a new
// folder, a file copied directly or through a temporary file, a link; the
// check that both sides are still as Analyze saw them, the keeping of the
// replaced version, attributes, file options and times.
//
// The target path always holds a file: the old one or the new one. On a
// side that replaces atomically (TVFS_CAP_ATOMIC_REPLACE) the replaced
// version is kept as a second name first and the new file is renamed over
// the target; on a side whose upload replaces (TVFS_CAP_UPLOAD_REPLACES) the
// new content goes over the old file when no version of it is kept;
// elsewhere the old file is moved away just before the new one is moved in. A new file never replaces what appeared at its name since
// Analyze.
#include "syncjob-exec.h"

#include "TvFileCopy.h"
#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <algorithm>

namespace {

CWideString Quoted(const CWideString& label, const CWideString& display) {
    return label + u" '" + display + u"'";
}

bool HasCap(TvFileSys* fs, int id) {
    return fs && fs->GetCapability(id) != 0;
}

// A copy that did not keep its source's owner and group dropped the
// set-user-ID and set-group-ID bits: said once per Sync.
void NoteSetIdDropped(CSyncJob* pJob, const CWideString& srcDisplay) {
    if (!TvLastCopyStats().bSetIdCleared || pJob->m_bSetIdDropped.exchange(true)) return;
    pJob->Log(2, 14021,
              u"Set-user-ID and set-group-ID bits are not copied to files that do not keep their owner and group "
              u"(first: " +
                  srcDisplay + u")\n");
}

// The temporary path of a copy to writePath on side dst. In the data folder
// (its owner's alone) the name is the same for every copy to that path, so
// that a copy to it replaces what a killed run left; beside the target,
// where others may write, it is random: nobody can take it beforehand. The
// listing knows both forms (32 hex digits) as the job's own leftovers.
CWideString TempPathFor(CSyncJob* pJob, TvFileSys* fsT, int dst, const CWideString& writePath) {
    if (pJob->CannotHaveDataFolder(dst))
        return GetUrlPathFolder(writePath) + u"/" + Utf8ToWide(NewRandomHex32()) +
               CSyncJob::GetTempFileSuffix(fsT);
    return CWideString(CSyncJob::kDataFolderPath) + u"/" + Utf8ToWide(Md5HexOfText(WideToUtf8(writePath))) +
           CSyncJob::GetTempFileSuffix(fsT);
}

// A copy that moved another number of bytes than the source listed: its
// record takes the size seen.
void LogSizeMismatch(CSyncJob* pJob, int nMsgId, const CWideString& srcDisplay, const CSideInfo& S,
                     int64_t nSize) {
    if ((uint64_t)nSize != S.m_Len.GetValue())
        pJob->Log(3, nMsgId,
                  CWideString::Formatted(
                      u"Copying %s: Size mismatch: Expected %s, Transferred %s: will correct state info\n",
                      srcDisplay, S.m_Len.Format(), FormatThousands64((uint64_t)nSize)));
}

// Nothing may stand at a new file's name: it appeared after Analyze.
bool CheckNothingAt(TvFileSys* fsT, const CWideString& path, int& errKind, CWideString& errText) {
    FsItemInfo info;
    bool bNotFound = false;
    CWideString e;
    // A name the side cannot hold (too long, a character it cannot store)
    // fails here too: a new Analyze finds the same, so none is asked for.
    if (!fsT->GetInfo(path, info, bNotFound, errKind, e)) {
        errText += u"Destination file status cannot be determined: " + e;
        return false;
    }
    if (!bNotFound) {
        errKind = FSE_NOT_FOUND;
        errText += u"Destination file appeared since Analyze. Re-Analyze required";
        return false;
    }
    return true;
}

// Whether something stands at the path: what makes a rename that never
// replaces fail for a reason that a new Analyze resolves.
bool SomethingAt(TvFileSys* fs, const CWideString& path) {
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    CWideString e;
    return fs->GetInfo(path, info, bNotFound, k, e) && !bNotFound;
}

// A file as the side shows it now is the one its record from Analyze
// describes: the same size and time. Where the side keeps exact times, a
// time that moved at all is a change, and so is another sub-second time or
// identity where the side tells them.
bool FileAsRecorded(TvFileSys* fs, const FsItemInfo& info, const CSideInfo& rec) {
    const bool bExact = !ExpectsTimeShift(fs);
    const bool bSameTime =
        bExact ? info.m_nModTime == rec.m_tFile.GetTime() : CSyncTime::IsSame(info.m_nModTime, rec.m_tFile);
    const bool bSameStamp =
        !bExact || !rec.FileStamp() || !info.m_nStamp || (info.m_nStamp & kStampFileBits) == rec.FileStamp();
    return bSameTime && bSameStamp && !info.IsFolder() && (uint64_t)info.m_nSize == rec.m_Len.GetValue() &&
           !rec.m_Len.IsUndefined() && !rec.m_Len.IsDeleted();
}

} // namespace

// The file at the target's name is still the one Analyze listed: nothing
// replaces or removes a file the user changed since. Asked of a local side
// (one more look at the file costs next to nothing there); other sides are
// asked with SameBeforeSyncAsInAnalyze. A forced one-way job overwrites the
// target's changes anyway.
bool TargetAsListed(const CSyncJob* pJob, TvFileSys* fsT, const CWideString& path, const CSideInfo& T,
                    int& errKind, CWideString& errText) {
    if (pJob->IsOneWayForced() || !HasCap(fsT, TVFS_CAP_LOCAL) || !T.Exists() || T.IsFolder() ||
        T.GetFlag(SIF_LINK) ||
        (T.m_nAttr != FSA_UNKNOWN && (T.m_nAttr & (FSA_FOLDER | FSA_LINK))))
        return true;
    FsItemInfo info;
    bool bChanged = false;
    int k = 0;
    CWideString e;
    if (VerifySideUnchanged(fsT, path, T, info, bChanged, k, e)) return true;
    errKind = k;
    errText += u"Destination file " + e;
    return false;
}

CWideString GetItemWritePath(const CSyncTreeNode* pNode, int src, int dst) {
    const CSyncTreeNode* pParent = pNode->GetParent();
    const CWideString folder = pParent ? CSyncJob::GetItemSidePath(pParent, dst) : CWideString();
    return folder + u"/" + CSyncJob::GetItemSideName(pNode, src);
}

bool CSyncJob::ShouldSaveReplacedVersion(int side, bool bConflictLoser) const {
    if (bConflictLoser) return true;
    if (!m_Options.m_bSavePreviousVersion && !m_Options.m_bSavePastVersions) return false;
    side = side ? 1 : 0;
    const TvFileSys* fs = m_apFs[side].get();
    if (fs && fs->GetCapability(TVFS_CAP_NO_DATA_FOLDER)) return false;
    return !CannotHaveDataFolder(side);
}

bool DeleteDest(const CWideString& path, CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* fs, int side,
                uint32_t attrs, bool bConflictLoser, bool bKeepInPlace, CWideString& newPath, int& errKind,
                CWideString& errText) {
    newPath.Empty();
    if (attrs != FSA_UNKNOWN && (attrs & FSA_LINK)) {
        CWideString e;
        if (!fs->DeleteItem(path, (attrs & FSA_FOLDER) != 0, errKind, e)) {
            errText += u"cannot delete destination link: " + e;
            return false;
        }
        return true;
    }
    if (attrs != FSA_UNKNOWN && (attrs & FSA_FOLDER)) {
        CWideString e;
        if (bConflictLoser && pJob->m_Options.m_bRenameLosingFile) {
            if (!pJob->KeepPreviousVersion(path, pNode, side, fs, bConflictLoser, attrs, newPath, errKind, e)) {
                errText += u"Cannot rename conflicting folder: " + e;
                return false;
            }
        } else if (!fs->DeleteFolder(path, errKind, e)) {
            errText += u"Cannot delete folder: " + e;
            return false;
        }
        return true;
    }
    if (pJob->ShouldSaveReplacedVersion(side, bConflictLoser))
        return pJob->KeepPreviousVersion(path, pNode, side, fs, bConflictLoser, attrs, newPath, errKind, errText,
                                         bKeepInPlace);
    if (bKeepInPlace) return true; // replaced by the caller's rename
    CWideString e;
    if (!fs->DeleteFile(path, errKind, e)) {
        errText += u"Cannot delete destination file: " + e;
        return false;
    }
    return true;
}

bool VerifySideUnchanged(TvFileSys* fs, const CWideString& path, const CSideInfo& rec, FsItemInfo& info,
                         bool& bChanged, int& errKind, CWideString& errText) {
    bChanged = false;
    info.Clear();
    CWideString e;
    if (rec.GetFlag(SIF_VIA_LINK)) {
        if (!fs->GetLinkTargetInfo(path, info, errKind, e)) {
            errText += u"status cannot be determined: " + e;
            return false;
        }
    } else {
        bool bNotFound = false;
        if (!fs->GetInfo(path, info, bNotFound, errKind, e)) {
            errText += u"status cannot be determined: " + e;
            return false;
        }
        if (bNotFound) {
            errKind = FSE_NOT_FOUND;
            errText += u"has disappeared. Re-Analyze required";
            return false;
        }
    }
    if (info.IsFolder() && rec.IsFolder()) return true;
    if (info.IsFolder() != rec.IsFolder()) {
        errKind = FSE_NOT_FOUND;
        errText += u"changed into folder or vice versa. Re-Analyze required";
        return false;
    }
    if (FileAsRecorded(fs, info, rec)) return true;
    errKind = FSE_NOT_FOUND;
    errText += u"has changed since Analyze. Re-Analyze required";
    bChanged = true;
    return false;
}

bool CheckSameAsAnalyze(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst,
                        int& errKind, CWideString& errText) {
    const CSyncJobOptions& o = pJob->m_Options;
    if (!o.m_bSameBeforeSyncAsInAnalyze) return true;
    CSyncPairAndAction& item = pNode->GetItem();
    CSideInfo& S = item.m_aCur[src];
    const CSideInfo& T = item.m_aCur[dst];
    const bool bOneWayForced = o.m_nDirection != 0 && (o.m_n1wayMode == OWM_FORCED || o.m_n1wayMode == OWM_MOVE);
    FsItemInfo info;
    bool bChanged = false;
    if (!bOneWayForced && T.Exists()) {
        CWideString e;
        int k = 0;
        if (!VerifySideUnchanged(fs[dst], CSyncJob::GetItemSidePath(pNode, dst), T, info, bChanged, k, e)) {
            errKind = k;
            errText += u"Destination file " + e;
            return false;
        }
    }
    const CWideString srcPath = CSyncJob::GetItemSidePath(pNode, src);
    CWideString e;
    int k = 0;
    if (!VerifySideUnchanged(fs[src], srcPath, S, info, bChanged, k, e)) {
        if (!bChanged) {
            errKind = k;
            errText += u"Source file " + e;
            return false;
        }
        pJob->Log(2, 14012,
                  CWideString::Formatted(u"Source file %s has changed since Analyze, but proceed with Sync\n",
                                         fs[src]->DisplayPath(srcPath)));
        S.m_tFile = info.m_nModTime;
        S.m_tAccu = info.m_nModTime;
        S.m_Len.SetValue((uint64_t)info.m_nSize);
        item.m_aPendingGen[src] = 1;
    }
    return true;
}

bool CopyModTime(CSyncTreeNode* pNode, const CWideString& srcPath, const CWideString& dstPath, CSyncJob* pJob,
                 TvFileSys* const fs[2], int src, int dst, int& errKind, CWideString& errText) {
    (void)pJob;
    TvFileSys* fsS = fs[src];
    TvFileSys* fsT = fs[dst];
    if (!HasCap(fsT, TVFS_CAP_MOD_TIMES)) return true;
    uint32_t mtime = 0, ctime = 0;
    const TvLastReadFile& read = fsS->m_LastRead;
    if (HasCap(fsS, TVFS_CAP_MOD_TIMES) && read.m_bValid && read.m_nFileTime > 0) {
        // The copy takes the time its content had when it was read, never a
        // later one of a source written to since.
        mtime = (uint32_t)read.m_nFileTime;
        if (HasCap(fsS, TVFS_CAP_CREATE_TIMES) && HasCap(fsT, TVFS_CAP_CREATE_TIMES)) {
            uint32_t m = 0;
            if (!fsS->GetFileModTime(srcPath, m, ctime, errKind, errText)) return false;
        }
    } else if (HasCap(fsS, TVFS_CAP_MOD_TIMES)) {
        if (!fsS->GetFileModTime(srcPath, mtime, ctime, errKind, errText)) return false;
    } else {
        FsItemInfo info;
        bool bNotFound = false;
        if (!fsS->GetInfo(srcPath, info, bNotFound, errKind, errText)) return false;
        if (bNotFound) {
            errKind = FSE_NOT_FOUND;
            errText += u"source file has disappeared after download";
            return false;
        }
        const CSideInfo& S = pNode->GetItem().m_aCur[src];
        if ((uint64_t)info.m_nSize == S.m_Len.GetValue() && info.m_nModTime == S.m_tFile.GetTime())
            mtime = S.m_tAccu.GetTime();
    }
    // No known source time: the copy keeps the time it got, never 1970.
    if (mtime == 0) return true;
    return fsT->SetFileModTime(dstPath, mtime, ctime, errKind, errText);
}

namespace {

// Step "copy a link" of DoFileOp.
bool CopyLink(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst,
              const CWideString& srcPath, const CWideString& dstPath, const CWideString& writePath,
              CWideString& logText, int& errKind, CWideString& errText) {
    CSyncPairAndAction& item = pNode->GetItem();
    const CSideInfo& S = item.m_aCur[src];
    const CSideInfo& T = item.m_aCur[dst];
    TvFileSys* fsS = fs[src];
    TvFileSys* fsT = fs[dst];
    logText = CWideString::Formatted(u"Copy Link '%s' -> '%s'", fsS->DisplayPath(srcPath),
                                     fsT->DisplayPath(writePath));
    if (!HasCap(fsS, TVFS_CAP_LINKS) || !HasCap(fsT, TVFS_CAP_LINKS)) {
        errKind = FSE_GENERAL;
        errText += u"copy link not supported";
        return false;
    }
    CWideString target, e;
    if (!fsS->GetLinkInfo(srcPath, target, errKind, e)) {
        errText += u"cannot get link target: " + e;
        return false;
    }
    if (T.Exists() && T.m_nAttr != FSA_UNKNOWN) {
        CWideString kept;
        if (!DeleteDest(dstPath, pNode, pJob, fsT, dst, T.m_nAttr, (item.m_nFlags & SPF_DIRECTION_SET) != 0,
                        false, kept, errKind, errText))
            return false;
    }
    e.Empty();
    if (!fsT->CreateLink(writePath, S.m_nAttr != FSA_UNKNOWN && (S.m_nAttr & FSA_FOLDER), target, errKind, e)) {
        errText += u"cannot create link: " + e;
        return false;
    }
    if (!CopyModTime(pNode, srcPath, writePath, pJob, fs, src, dst, errKind, errText)) return false;
    item.m_nFlags |= SPF_EXECUTED;
    return true;
}

// Moves the temporary file to the target's name. A new file never replaces
// what appeared there since Analyze.
bool PlaceTempFile(TvFileSys* fsT, const CWideString& tmpPath, const CWideString& writePath, bool bReplace,
                   int& errKind, CWideString& errText) {
    CWideString e;
    const bool bOk = bReplace ? fsT->MoveFile(tmpPath, writePath, errKind, e)
                              : fsT->MoveFileNoReplace(tmpPath, writePath, errKind, e);
    if (bOk) return true;
    if (!bReplace && SomethingAt(fsT, writePath)) {
        e += u". Re-Analyze required";
        errKind = FSE_NOT_FOUND;
    }
    errText += u"Cannot rename temp file to destination file: " + e;
    DeleteFileQuietly(fsT, tmpPath);
    return false;
}

} // namespace

bool DoFileOp(CSyncTreeNode* pNode, CSyncJob* pJob, TvFileSys* const fs[2], int src, int dst, int& opCode,
              CWideString& logText, int& errKind, CWideString& errText) {
    opCode = FOP_NONE;
    if (!pNode || src == dst || !fs[0] || !fs[1]) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "DoFileOp: bad arguments", src);
        errKind = FSE_GENERAL;
        errText += u"DoFileOp: bad arguments";
        return false;
    }
    CSyncPairAndAction& item = pNode->GetItem();
    const CSyncJobOptions& o = pJob->m_Options;
    CSideInfo& S = item.m_aCur[src];
    const CSideInfo& T = item.m_aCur[dst];
    TvFileSys* fsS = fs[src];
    TvFileSys* fsT = fs[dst];
    const bool bConflictLoser = (item.m_nFlags & SPF_DIRECTION_SET) != 0;
    const CWideString srcPath = CSyncJob::GetItemSidePath(pNode, src);
    const CWideString dstPath = CSyncJob::GetItemSidePath(pNode, dst);
    const CWideString writePath = GetItemWritePath(pNode, src, dst);
    const bool bCheck = o.m_bSameBeforeSyncAsInAnalyze && HasCap(fsS, TVFS_CAP_SOURCE_STATE);
    CWideString kept;

    if (!S.Exists()) {
        // A propagated deletion.
        const bool bFolder = T.IsFolder();
        logText = Quoted(GetLocalizedString(bFolder ? IDS_Str_Msg_Action_DeleteFolder
                                                    : IDS_Str_Msg_Action_DeleteFile),
                         fsT->DisplayPath(dstPath));
        opCode = FOP_DELETE;
        if (bCheck) {
            bool bThere = false;
            CWideString e;
            if (bFolder ? !fsS->IsFolder(srcPath, bThere, errKind, e) : !fsS->IsFile(srcPath, bThere, errKind, e)) {
                errText += bFolder ? u"cannot determine source state: " + e : e;
                return false;
            }
            if (bThere) {
                errKind = FSE_NOT_FOUND;
                errText += bFolder ? u"Folder to be deleted reappeared on the source side. Re-Analyze required."
                                   : u"File to be deleted reappeared on the source side. Re-Analyze required.";
                return false;
            }
        }
        if (T.Exists() && T.m_nAttr != FSA_UNKNOWN &&
            (!TargetAsListed(pJob, fsT, dstPath, T, errKind, errText) ||
             !DeleteDest(dstPath, pNode, pJob, fsT, dst, T.m_nAttr, bConflictLoser, false, kept, errKind,
                         errText)))
            return false;
        item.m_nFlags |= SPF_EXECUTED;
        return true;
    }

    if (S.IsFolder()) {
        logText = Quoted(GetLocalizedString(IDS_Str_Msg_Action_CreateFolder), fsT->DisplayPath(writePath));
        opCode = FOP_COPY;
        if (bCheck) {
            bool bThere = false;
            CWideString e;
            if (!fsS->IsFolder(srcPath, bThere, errKind, e) || !bThere) {
                errKind = FSE_NOT_FOUND;
                errText += u"Folder to be copied disappeared on the source side. Re-Analyze required.";
                return false;
            }
        }
        if (T.Exists() && T.m_nAttr != FSA_UNKNOWN &&
            (!TargetAsListed(pJob, fsT, dstPath, T, errKind, errText) ||
             !DeleteDest(dstPath, pNode, pJob, fsT, dst, T.m_nAttr, bConflictLoser, false, kept, errKind,
                         errText)))
            return false;
        CWideString e;
        const bool bMade = HasCap(fsS, TVFS_CAP_LOCAL) && HasCap(fsT, TVFS_CAP_LOCAL)
                               ? fsT->CopyFolderFromLocal(fsS->DisplayPath(srcPath), writePath, S.m_nAttr,
                                                          errKind, e)
                               : fsT->MakeFolder(writePath, errKind, e);
        if (!bMade) {
            errText += u"Cannot create folder: " + e;
            return false;
        }
        if (!fsT->ApplyFolderOptions(writePath, fsS, logText, errKind, errText)) return false;
        if (HasCap(fsS, TVFS_CAP_FOLDER_TIMES) && HasCap(fsT, TVFS_CAP_FOLDER_TIMES)) {
            uint32_t m = 0, c = 0;
            if (!fsS->GetFolderModTime(srcPath, m, c, errKind, errText)) return false;
            if (m != 0 && !fsT->SetFolderModTime(writePath, m, c, errKind, errText)) return false;
        }
        item.m_aCur[dst].m_sId = GetUrlPathFileName(writePath);
        item.m_nFlags |= SPF_EXECUTED;
        return true;
    }

    // A file (or a link kept as a link).
    const bool bTargetExisted = T.Exists();
    const CWideString srcDisplay = fsS->DisplayPath(srcPath);
    const CWideString dstDisplay = fsT->DisplayPath(writePath);
    if (S.GetFlag(SIF_LINK)) {
        opCode = FOP_LINK;
        if (!CopyLink(pNode, pJob, fs, src, dst, srcPath, dstPath, writePath, logText, errKind, errText))
            return false;
    } else {
        CZorLog& progLog = ZorGetProgramLog();
        if (!progLog.GetFilePath().IsEmpty() && srcDisplay == progLog.GetFilePath()) progLog.SetEnabled(true);
        logText = CWideString::Formatted(
            u"%s '%s' -> '%s'",
            GetLocalizedString(bTargetExisted ? IDS_Str_Msg_Action_CopyOver : IDS_Str_Msg_Action_CopyNew),
            srcDisplay, dstDisplay);
        opCode = FOP_COPY;
        const bool bHasAttrs = bTargetExisted && T.m_nAttr != FSA_UNKNOWN;
        // The target is replaced in one step where the side can; a target
        // whose name changes case is removed under its old name first.
        const bool bPlainTarget = dstPath == writePath &&
                                  !(T.m_nAttr != FSA_UNKNOWN && (T.m_nAttr & (FSA_FOLDER | FSA_LINK)));
        const bool bAtomic = HasCap(fsT, TVFS_CAP_ATOMIC_REPLACE) && bPlainTarget;
        // A side whose upload replaces an existing file gets the new content
        // over the old one, unless the old one is to be kept: that is moved
        // away first (no copy inside such a side).
        const bool bUploadOver = HasCap(fsT, TVFS_CAP_UPLOAD_REPLACES) && bPlainTarget &&
                                 !pJob->ShouldSaveReplacedVersion(dst, bConflictLoser);
        int64_t nSize = (int64_t)S.m_Len.GetValue();
        const bool bCreation = HasCap(fsS, TVFS_CAP_CREATE_TIMES) && HasCap(fsT, TVFS_CAP_CREATE_TIMES);
        const bool bStampTimes =
            (o.m_bCopyCreateTime && bCreation) || (!bCreation && HasCap(fsT, TVFS_CAP_MOD_TIMES));
        // A side whose rename moves the file as it is: the temporary copy is
        // complete, times and attributes included, before its rename.
        const bool bFinishBeforeRename = HasCap(fsT, TVFS_CAP_ATOMIC_REPLACE);
        bool bStamped = false;
        bool bOptionsApplied = false; // the side's file options (owner and ACL kept) are on the copy
        // A new file is flushed with the others before the state files record
        // it; one that replaces a file, or whose source goes once it is
        // copied (move mode), reaches the disk before its rename.
        const bool bMoveMode = o.m_nDirection != 0 && o.m_n1wayMode == OWM_MOVE;
        const unsigned nFlush = !bTargetExisted && !bMoveMode ? (unsigned)TVCOPY_DEFER_FLUSH : 0u;
        // Such a new file on a local side waits under its temporary name
        // until the flush: it takes its name only once its data is on disk.
        const bool bPlaceLater = nFlush && pJob->m_bPlaceCopiesLater.load() && CSyncJob::IsPlainLocalFs(fsT) &&
                                 bFinishBeforeRename && !pJob->CannotHaveDataFolder(dst);
        // Where the copy stands until it is placed.
        CWideString placedPath = writePath;
        if (bPlaceLater) {
            if (!CheckSameAsAnalyze(pNode, pJob, fs, src, dst, errKind, errText)) return false;
            if (!CheckNothingAt(fsT, writePath, errKind, errText)) return false;
            // In the data folder: what a killed run leaves there is never
            // among the user's files.
            placedPath = TempPathFor(pJob, fsT, dst, writePath);
            unsigned nFlags = nFlush;
            if (HasCap(fsS, TVFS_CAP_MOD_TIMES) && HasCap(fsT, TVFS_CAP_MOD_TIMES)) nFlags |= TVCOPY_SOURCE_TIME;
            CWideString e;
            if (!TvFileCopy(fsS, srcPath, fsT, true, placedPath, CWideString(), nSize,
                            fsT->GetProgressCallback(), errKind, e, nFlags, S.m_tFile.GetTime())) {
                errText += u"Copying file: " + e;
                DeleteFileQuietly(fsT, placedPath);
                return false;
            }
            bStamped = TvLastCopyStats().bTimeSet && !bCreation;
            NoteSetIdDropped(pJob, srcDisplay);
            LogSizeMismatch(pJob, 13767, srcDisplay, S, nSize);
            if (!CheckSameAsAnalyze(pNode, pJob, fs, src, dst, errKind, errText)) {
                DeleteFileQuietly(fsT, placedPath);
                return false;
            }
            if (S.m_nAttr != FSA_UNKNOWN && (S.m_nAttr & (FSA_READONLY | FSA_HIDDEN | FSA_SYSTEM)) &&
                HasCap(fsT, TVFS_CAP_SET_ATTRIBUTES)) {
                e.Empty();
                if (!fsT->SetAttributes(placedPath, S.m_nAttr, errKind, e)) {
                    errText += u"Cannot set Destination file attributes: " + e;
                    DeleteFileQuietly(fsT, placedPath);
                    return false;
                }
            }
        } else if (!pJob->UseTempFile(dst)) {
            if (!CheckSameAsAnalyze(pNode, pJob, fs, src, dst, errKind, errText)) return false;
            // The target is looked at before it is kept or moved away, and
            // where the copy's own rename replaces it, again just before that.
            const bool bReplaced = bHasAttrs && bAtomic;
            if (bHasAttrs && !TargetAsListed(pJob, fsT, dstPath, T, errKind, errText)) return false;
            if (bHasAttrs) {
                if (!DeleteDest(dstPath, pNode, pJob, fsT, dst, T.m_nAttr, bConflictLoser, bAtomic || bUploadOver,
                                kept, errKind, errText))
                    return false;
            } else if (!bTargetExisted && !CheckNothingAt(fsT, writePath, errKind, errText)) {
                return false;
            }
            // The finished copy replaces only the old target dealt with just
            // now, and has its time before it gets its name.
            unsigned nFlags = (bHasAttrs && bAtomic ? 0u : (unsigned)TVCOPY_NO_REPLACE) | nFlush;
            if (HasCap(fsS, TVFS_CAP_MOD_TIMES) && HasCap(fsT, TVFS_CAP_MOD_TIMES))
                nFlags |= TVCOPY_SOURCE_TIME;
            CWideString e;
            const TvBeforeReplace asListed = [&](int& k, CWideString& te) {
                return TargetAsListed(pJob, fsT, dstPath, T, k, te);
            };
            if (!TvFileCopy(fsS, srcPath, fsT, false, writePath, CWideString(), nSize,
                            fsT->GetProgressCallback(), errKind, e, nFlags, S.m_tFile.GetTime(),
                            bReplaced ? asListed : TvBeforeReplace())) {
                if ((nFlags & TVCOPY_NO_REPLACE) && !IsConnectionError(errKind) && errKind != FSE_STOPPED &&
                    SomethingAt(fsT, writePath) && (bHasAttrs || !bTargetExisted)) {
                    e += u". Re-Analyze required";
                    errKind = FSE_NOT_FOUND;
                }
                // What this copy left at the target's name is its own: the
                // target's record takes its mark, so that the next run tells
                // no change of the target from it and copies again.
                FsItemInfo left;
                bool bNone = false;
                int k = 0;
                CWideString le;
                if (bHasAttrs && fsT->GetInfo(writePath, left, bNone, k, le) && !bNone) {
                    item.m_aOldMark[dst] = left.m_nChangeMark;
                    item.SetNewMark(dst, 0);
                }
                errText += u"Copying file: " + e;
                return false;
            }
            // The copy has the time the source had when it was read.
            bStamped = TvLastCopyStats().bTimeSet && !bCreation;
            NoteSetIdDropped(pJob, srcDisplay);
            LogSizeMismatch(pJob, 13767, srcDisplay, S, nSize);
        } else {
            const CWideString tmpPath = TempPathFor(pJob, fsT, dst, writePath);
            CWideString e;
            // The copy takes the source's time as it writes (to the nanosecond
            // between local sides), where both sides keep times.
            const unsigned nTime = HasCap(fsS, TVFS_CAP_MOD_TIMES) && HasCap(fsT, TVFS_CAP_MOD_TIMES)
                                       ? (unsigned)TVCOPY_SOURCE_TIME
                                       : 0u;
            if (!TvFileCopy(fsS, srcPath, fsT, true, tmpPath, bTargetExisted ? dstPath : CWideString(), nSize,
                            fsT->GetProgressCallback(), errKind, e, nFlush | nTime, S.m_tFile.GetTime())) {
                errText += u"Error copying file: " + e;
                DeleteFileQuietly(fsT, tmpPath);
                return false;
            }
            // Another side than a local one: where the block copy looked the
            // target up anyway, a target changed since Analyze stays.
            const TvCopyStats& stats = TvLastCopyStats();
            if (bHasAttrs && stats.bBaseRead && !HasCap(fsT, TVFS_CAP_LOCAL) && !pJob->IsOneWayForced() &&
                !FileAsRecorded(fsT, stats.base, T)) {
                errKind = FSE_NOT_FOUND;
                errText += u"Destination file has changed since Analyze. Re-Analyze required";
                DeleteFileQuietly(fsT, tmpPath);
                return false;
            }
            NoteSetIdDropped(pJob, srcDisplay);
            LogSizeMismatch(pJob, 13637, srcDisplay, S, nSize);
            if (!CheckSameAsAnalyze(pNode, pJob, fs, src, dst, errKind, errText)) {
                DeleteFileQuietly(fsT, tmpPath);
                return false;
            }
            const bool bSpecialAttrs =
                S.m_nAttr != FSA_UNKNOWN && (S.m_nAttr & (FSA_READONLY | FSA_HIDDEN | FSA_SYSTEM));
            if (bFinishBeforeRename) {
                // The temporary file gets its attributes and times before it
                // takes the target's name: a run killed at any moment leaves
                // either the old file or the whole new one as it should be.
                e.Empty();
                if (bSpecialAttrs && HasCap(fsT, TVFS_CAP_SET_ATTRIBUTES) &&
                    !fsT->SetAttributes(tmpPath, S.m_nAttr, errKind, e)) {
                    errText += u"Cannot set Destination file attributes: " + e;
                    DeleteFileQuietly(fsT, tmpPath);
                    return false;
                }
                if (bStampTimes &&
                    !CopyModTime(pNode, srcPath, tmpPath, pJob, fs, src, dst, errKind, errText)) {
                    DeleteFileQuietly(fsT, tmpPath);
                    return false;
                }
                // On a local side the owner and ACL too: the file never
                // stands at its name without them.
                if (CSyncJob::IsPlainLocalFs(fsT)) {
                    if (!fsT->ApplyFileOptions(tmpPath, fsS, logText, errKind, errText, srcPath)) {
                        DeleteFileQuietly(fsT, tmpPath);
                        return false;
                    }
                    bOptionsApplied = true;
                }
            } else if (bSpecialAttrs) {
                e.Empty();
                if (!fsT->SetAttributes(tmpPath, FSA_NORMAL, errKind, e)) {
                    errText += u"Temporary file attributes cannot be changed to normal: " + e;
                    DeleteFileQuietly(fsT, tmpPath);
                    return false;
                }
            }
            // The target is looked at before it is kept or moved away, and
            // where it is replaced, again just before that.
            if (bHasAttrs && (!TargetAsListed(pJob, fsT, dstPath, T, errKind, errText) ||
                              !DeleteDest(dstPath, pNode, pJob, fsT, dst, T.m_nAttr, bConflictLoser, bAtomic,
                                          kept, errKind, errText) ||
                              (bAtomic && !TargetAsListed(pJob, fsT, dstPath, T, errKind, errText)))) {
                DeleteFileQuietly(fsT, tmpPath);
                return false;
            }
            // Replace only where the old target was dealt with just now; a
            // new file never replaces one that appeared since Analyze.
            if (!PlaceTempFile(fsT, tmpPath, writePath, bHasAttrs && bAtomic, errKind, errText)) return false;
            bStamped = bFinishBeforeRename;
            if (!bFinishBeforeRename && HasCap(fsT, TVFS_CAP_SET_ATTRIBUTES) && bSpecialAttrs) {
                e.Empty();
                if (!fsT->SetAttributes(writePath, S.m_nAttr, errKind, e)) {
                    errText += u"Cannot set Destination file attributes: " + e;
                    return false;
                }
            }
        }
        if ((!bOptionsApplied &&
             !fsT->ApplyFileOptions(placedPath, fsS, logText, errKind, errText, srcPath)) ||
            (bStampTimes && !bStamped &&
             !CopyModTime(pNode, srcPath, placedPath, pJob, fs, src, dst, errKind, errText))) {
            if (bPlaceLater) DeleteFileQuietly(fsT, placedPath);
            return false;
        }
        if (bPlaceLater) pJob->AddPendingPlacement(pNode, {dst, placedPath, writePath});
        item.m_nFlags |= SPF_EXECUTED;
    }

    // Move mode: the source goes once its content arrived, and only while it
    // is still the version that was copied.
    if (o.m_nDirection != 0 && o.m_n1wayMode == OWM_MOVE) {
        FsItemInfo info;
        bool bNotFound = false;
        CWideString e;
        int k = 0;
        FsItemInfo was;
        was.m_nSize = fsS->m_LastRead.m_bValid ? fsS->m_LastRead.m_nSize : (int64_t)S.m_Len.GetValue();
        was.m_nModTime =
            fsS->m_LastRead.m_bValid ? ReadTimeAsListed(fsS->m_LastRead.m_nFileTime) : S.m_tFile.GetTime();
        const CFileStamp copied(was);
        if (!fsS->GetInfo(srcPath, info, bNotFound, k, e) || bNotFound || info.IsFolder() ||
            CFileStamp(info) != copied) {
            pJob->Log(2, 14020,
                      u"Source file " + srcDisplay + u" changed while it was copied: it is not deleted\n");
        } else if (!fsS->DeleteFile(srcPath, errKind, e)) {
            errText += u"Deleting source file: " + e;
            return false;
        } else {
            logText += u" AND delete source file";
        }
    }
    item.m_aCur[dst].m_sId = GetUrlPathFileName(writePath);
    return true;
}

// ---------------------------------------------------------------- placing new files

void CSyncJob::AddPendingPlacement(const CSyncTreeNode* pNode, const CPendingPlacement& p) {
    std::lock_guard<std::mutex> lock(m_PlacementMutex);
    m_PendingPlacements[pNode] = p;
}

CWideString CSyncJob::PendingPlacementOf(const CSyncTreeNode* pNode) {
    std::lock_guard<std::mutex> lock(m_PlacementMutex);
    const auto it = m_PendingPlacements.find(pNode);
    return it == m_PendingPlacements.end() ? CWideString() : it->second.m_sTemp;
}

void CSyncJob::PlaceCopiedFiles() {
    std::vector<std::pair<CSyncTreeNode*, CPendingPlacement>> pending;
    {
        std::lock_guard<std::mutex> lock(m_PlacementMutex);
        for (auto& e : m_PendingPlacements) pending.emplace_back(const_cast<CSyncTreeNode*>(e.first), e.second);
        m_PendingPlacements.clear();
    }
    if (pending.empty()) return;
    // In path order: the names of one folder are given one after the other.
    std::sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
        return a.second.m_nSide != b.second.m_nSide ? a.second.m_nSide < b.second.m_nSide
                                                    : a.second.m_sFinal.Compare(b.second.m_sFinal) < 0;
    });
    // A copy that takes no name is its item's error: nothing of it is
    // recorded on that side, so the next run copies it again.
    // The job's own file systems: those of the workers that copied are gone.
    auto fsOf = [&](const CPendingPlacement& p) { return m_apFs[p.m_nSide & 1].get(); };
    auto fail = [&](CSyncTreeNode* pNode, const CPendingPlacement& p, const CWideString& why) {
        if (fsOf(p)) DeleteFileQuietly(fsOf(p), p.m_sTemp);
        CSyncPairAndAction& item = pNode->GetItem();
        item.m_aCur[p.m_nSide] = CSideInfo();
        item.m_aOld[p.m_nSide] = CSideInfo();
        item.m_aCurIdent[p.m_nSide & 1] = item.m_aOldIdent[p.m_nSide & 1] = 0;
        item.m_aOldMark[p.m_nSide & 1] = 0;
        item.SetNewMark(p.m_nSide, 0);
        item.m_aGens[p.m_nSide].RemoveAll();
        item.m_nExecState = ESS_SYNCED_ERR;
        item.SetReason(why);
        item.m_nFlags |= SPF_DONE;
        if (m_nSyncOk.load() > 0) m_nSyncOk--;
        if (m_nChangesOk.load() > 0) m_nChangesOk--;
        m_nSyncErr++;
        Log(1, 13790, (fsOf(p) ? fsOf(p)->DisplayPath(p.m_sFinal) : p.m_sFinal) + u": " + why + u"\n");
    };
    Log(3, 13791, u"Flushing the copied files to disk\n");
    int k = 0;
    CWideString e;
    if (!TvFlushCopies(k, e)) {
        for (auto& [pNode, p] : pending) fail(pNode, p, u"Cannot flush the copy to disk: " + e);
        return;
    }
    // The renames leave the folders' times as they were (the execution set
    // those of folders it copied).
    struct CFolderTime {
        TvFileSys* pFs;
        CWideString sPath;
        uint32_t nModTime;
        CWideString sFirstName;
    };
    std::vector<CFolderTime> folders;
    // The roots are still the folders that the copies were made in (a
    // local side looks at its root's path only now and then).
    CWideString aRootErr[2];
    for (int side = 0; side < 2; ++side)
        if (m_apFs[side]) m_apFs[side]->ConfirmRoot(k, aRootErr[side]);
    for (auto& [pNode, p] : pending) {
        TvFileSys* fs = fsOf(p);
        if (!fs || !fs->IsConnected()) {
            const CWideString& why = aRootErr[p.m_nSide & 1];
            fail(pNode, p, why.IsEmpty() ? CWideString(u"not connected") : why);
            continue;
        }
        const CWideString folder = GetUrlPathFolder(p.m_sFinal);
        if (folders.empty() || folders.back().pFs != fs || folders.back().sPath != folder) {
            FsItemInfo info;
            bool bNotFound = false;
            CWideString ie;
            const bool bKnown = fs->GetInfo(folder, info, bNotFound, k, ie) && !bNotFound && info.IsFolder();
            folders.push_back({fs, folder, bKnown ? info.m_nModTime : 0u, CWideString()});
        }
        CWideString me;
        if (!fs->MoveFileNoReplace(p.m_sTemp, p.m_sFinal, k, me)) {
            // The user's own file appeared at the name since Analyze: it stays.
            if (SomethingAt(fs, p.m_sFinal)) me += u". Re-Analyze required";
            fail(pNode, p, u"Cannot rename temp file to destination file: " + me);
            continue;
        }
        if (folders.back().sFirstName.IsEmpty()) folders.back().sFirstName = p.m_sFinal;
        // The rename gave the copy a new change time: its record keeps the
        // mark it shows now (taken within the tick of that time).
        FsItemInfo placed;
        bool bGone = false;
        CWideString pe;
        pNode->GetItem().m_aOldMark[p.m_nSide & 1] =
            fs->GetInfo(p.m_sFinal, placed, bGone, k, pe) && !bGone ? placed.m_nChangeMark : 0;
    }
    bool bFlushed = true;
    for (const CFolderTime& f : folders) {
        if (f.sFirstName.IsEmpty()) continue;
        CWideString te;
        if (f.nModTime) f.pFs->SetFolderModTime(f.sPath, f.nModTime, 0, k, te);
        te.Empty();
        if (!TvFlushNameLater(f.pFs, f.sFirstName, k, te)) {
            bFlushed = false;
            e = te;
        }
    }
    e.Empty();
    if (!bFlushed || !TvFlushCopies(k, e)) Log(1, 13792, u"Cannot flush the copied files' names to disk: " + e + u"\n");
}
