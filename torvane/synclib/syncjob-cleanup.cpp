// The periodic clean-up of a side's data folder: the clean-up stamp, old
// kept versions in "_history_" (by the time stamp in their names), old run
// logs and stale temporary files.
#include "syncjob.h"

#include "zor-file.h"
#include "zor-path.h"
#include "zor-time.h"

#include <algorithm>

#include <stdlib.h>
#include <time.h>

namespace {

// Reads the 17-character history stamp "_YYYY-MMDD-hhmmss" that a kept
// version carries before its extension. False for any other shape.
bool ParseHistoryStamp(const CWideString& name, struct tm& tmOut) {
    CWideString base = name;
    const int dot = base.ReverseFind(u'.');
    if (dot >= 0) base = base.Left(dot);
    if (base.GetLength() < 17) return false;
    const CWideString s = base.Right(17);
    if (s[0] != u'_' || s[5] != u'-' || s[10] != u'-') return false;
    int v[6] = {0, 0, 0, 0, 0, 0};
    // year 1..4, month 6..7, day 8..9, hour 11..12, minute 13..14, second 15..16
    static const int kStart[6] = {1, 6, 8, 11, 13, 15};
    static const int kLen[6] = {4, 2, 2, 2, 2, 2};
    for (int f = 0; f < 6; ++f) {
        for (int i = 0; i < kLen[f]; ++i) {
            const char16_t c = s[kStart[f] + i];
            if (c < u'0' || c > u'9') return false;
            v[f] = v[f] * 10 + (c - u'0');
        }
    }
    tmOut = {};
    tmOut.tm_year = v[0] - 1900;
    tmOut.tm_mon = v[1] - 1;
    tmOut.tm_mday = v[2];
    tmOut.tm_hour = v[3];
    tmOut.tm_min = v[4];
    tmOut.tm_sec = v[5];
    tmOut.tm_isdst = 0;
    return true;
}

// A local folder for small files on their way to a side.
CWideString LocalScratchFolder() {
    CWideString folder;
    int k = 0;
    CWideString e;
    if (MakeMirrorFolderPath(true, CWideString(), false, folder, k, e) && ZorFileExists(folder))
        return folder;
    const char* tmp = getenv("TMPDIR");
    return ZorWidePath(tmp && *tmp ? tmp : "/tmp");
}

bool EndsWith(const CWideString& name, const char16_t* suffix) {
    return name.EndsWith(suffix);
}

} // namespace

int64_t MakeTimeFromTm(struct tm* pTm) {
    return (int64_t)mktime(pTm);
}

CWideString NowStampText() {
    return FormatTimeWithPattern(CZorTime::Now(), "%Y%m%d-%H%M%S");
}

bool CheckCleanupStamp(TvFileSys* pFs, int nDays, bool& bDue, CWideString& errText) {
    bDue = false;
    const CWideString stamp =
        CWideString(CSyncJob::kCleanupStampBase) + CSyncJob::GetFileSuffixOr(pFs, u".tvs");
    FsItemInfo info;
    bool bNotFound = false;
    int kind = 0;
    CWideString err;
    if (!pFs->GetInfo(stamp, info, bNotFound, kind, err)) {
        errText += u"checking cleanup stamp: " + err;
        return false;
    }
    const int64_t limit = TimeDaysAgo(nDays);
    bDue = bNotFound || (int64_t)info.m_nModTime < limit;
    if (!bDue) return true;

    // Renewed before the clean-up runs, so that a clean-up that fails half
    // way is not tried again before the next interval.
    CWideString local;
    if (!ZorGetTempFileName(LocalScratchFolder(), u"tvcs", local, kind, err) ||
        !WriteWholeFile(local, CNarrowString(), kind, err)) {
        if (!local.IsEmpty()) ZorDeleteFileQuiet(local);
        errText += u"writing cleanup stamp: " + err;
        return false;
    }
    const bool bUploaded = pFs->UploadFile(local, stamp, kind, err);
    ZorDeleteFileQuiet(local);
    if (!bUploaded) {
        errText += u"uploading cleanup stamp: " + err;
        return false;
    }
    return true;
}

bool CleanupHistoryFolder(const CWideString& folder, CSyncJob* pJob, TvFileSys* pFs, int nDays,
                          CListT<CWideString>& deleted, CWideString& errText) {
    const int64_t cutoff = TimeDaysAgo(nDays);
    CListT<FsItemInfo> items;
    int kind = 0;
    CWideString err;
    if (!pFs->ListDir(folder, items, kind, err)) {
        errText += u"cleaning up files: " + err;
        return false;
    }
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& entry = items.GetNext(pos);
        if (entry.IsBad()) continue;
        const CWideString child = folder + u"/" + entry.m_sName;
        const CWideString display = pFs->DisplayPath(child);
        // A link is never entered: it goes or stays by its own name like a file.
        if (!entry.IsFolder() || entry.IsLink()) {
            struct tm t;
            if (!ParseHistoryStamp(entry.m_sName, t)) continue;
            if (MakeTimeFromTm(&t) >= cutoff) continue;
            CWideString delErr;
            if (pFs->DeleteFile(child, kind, delErr))
                deleted.AddTail(display);
            else if (pJob)
                pJob->Log(2, 9410,
                          CWideString::Formatted(u"Deleting recycled file %s: %s", display, delErr) + u"\n");
            continue;
        }
        // A folder whose creation time is not known counts as young.
        const bool bOld = entry.m_nCreateTime != 0 && (int64_t)entry.m_nCreateTime < cutoff;
        if (!CleanupHistoryFolder(child, pJob, pFs, nDays, deleted, errText)) return false;
        if (!bOld) continue;
        // Only a folder that the walk left empty goes: a back-end whose
        // folder delete takes the content along must not remove the young
        // versions inside it.
        CListT<FsItemInfo> rest;
        CWideString listErr;
        if (!pFs->ListDir(child, rest, kind, listErr) || !rest.IsEmpty()) continue;
        CWideString delErr;
        if (pFs->DeleteFolder(child, kind, delErr)) deleted.AddTail(display);
    }
    return true;
}

int CleanupIntervalDays(const CSyncJobOptions& options, int nLogRetainDays) {
    int nDays = std::min(options.m_nSaveDaysPastVersions / 3, options.m_nSaveDaysPreviousVersion / 3);
    if (nLogRetainDays > 0) nDays = std::min(nDays, nLogRetainDays / 3);
    return nDays;
}

bool CleanupOldLogs(TvFileSys* pFs, int nDays, CListT<CWideString>& deleted, CWideString& errText) {
    // A side whose listing was skipped by the fast pre-analyse is not listed here either.
    if (pFs->m_nStampMode) return true;
    // No age limit: every log is kept, only stale temporary files go.
    const bool bKeepLogs = nDays <= 0;
    const CWideString rootDisplay = pFs->DisplayPath(CWideString());
    for (int i = 0; i < 2 && !bKeepLogs; ++i) {
        CWideString mirror;
        int k = 0;
        CWideString e;
        if (!MakeMirrorFolderPath(false, rootDisplay, i == 1, mirror, k, e) || mirror.IsEmpty()) continue;
        TvCleanUpLogs(mirror, nDays, false, e, &deleted);
    }
    const int64_t cutoff = TimeDaysAgo(nDays);
    const int64_t cutoff2 = TimeDaysAgo(2);
    CListT<FsItemInfo> items;
    int kind = 0;
    CWideString err;
    if (!pFs->ListDir(CSyncJob::kDataFolderPath, items, kind, err)) {
        errText += u"cleaning up logs: " + err;
        return false;
    }
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& entry = items.GetNext(pos);
        if (entry.IsBad() || entry.IsFolder()) continue;
        const CWideString& name = entry.m_sName;
        const int64_t mod = entry.m_nModTime;
        bool bDelete = false;
        if (EndsWith(name, u".log"))
            bDelete = !bKeepLogs && mod < cutoff;
        else if (EndsWith(name, u".tmp") || EndsWith(name, u"._tvtmp"))
            bDelete = mod < cutoff2;
        if (!bDelete) continue;
        const CWideString path = CWideString(CSyncJob::kDataFolderPath) + u"/" + name;
        CWideString delErr;
        if (pFs->DeleteFile(path, kind, delErr)) deleted.AddTail(pFs->DisplayPath(path));
    }
    return true;
}
