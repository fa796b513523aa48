// What a local side's own file system can prove of its files beyond their
// size and time: when the side's records were saved (the file identities of
// a file system without birth times stand only for inodes that did not
// change since), and whether it keeps the times that a copy sets.
#include "TvFileCopy.h"
#include "syncjob.h"
#include "zor-time.h"

int64_t CSyncJob::StateFileSavedNs(int side) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    if (!IsPlainLocalFs(fs)) return 0;
    FsItemInfo info;
    int k = 0;
    CWideString e;
    if (CannotHaveDataFolder(side)) {
        CWideString mirror;
        if (!MakeMirrorFolderPath(false, fs->DisplayPath(CWideString()), false, mirror, k, e) ||
            !GetLocalFileInfo(mirror + u"/" + kStateFileName, info, k, e))
            return 0;
    } else {
        bool bNotFound = false;
        if (!fs->GetInfo(kStateFilePath, info, bNotFound, k, e) || bNotFound) return 0;
    }
    if (info.IsFolder() || info.m_nModTime == 0) return 0;
    return (int64_t)info.m_nModTime * 1'000'000'000 + info.m_nModTimeNs;
}

void CSyncJob::NoteTimeNotKept(int side, const CWideString& path, uint32_t nSet, uint32_t nKept) {
    side &= 1;
    if (m_abTimeNotKeptSaid[side].exchange(true)) return;
    TvFileSys* fs = m_apFs[side].get();
    const CWideString display = fs ? fs->DisplayPath(path) : path;
    Log(2, 13771,
        CWideString::Formatted(u"%s: the file system did not keep the modification time set on a copy (%s set, "
                               u"%s kept): the records take the time it keeps\n",
                               display, FormatTimeStandard(nSet), FormatTimeStandard(nKept)));
}
