// Copy and path logic shared by every file system: copying one file between
// two file systems (directly or through a temporary file, with a block-level
// delta over an existing file), moving files and folders by the means a file
// system has, creating and deleting folder trees, and the size and times of a
// local file.
//
// Paths are root-relative ("/a/b") unless a function says otherwise. Every
// function returns false with an error kind (FsErrorKind) and an appended
// error text on failure.
#pragma once

#include "TvFileSys.h"

#include <functional>

// Copies one file from fsS to fsT.
//   bToTemp false: the data goes to writePath itself (finalPath is ignored);
//     it is written beside it under a temporary name and renamed over it when
//     complete, so writePath holds either its old content or the new one.
//   bToTemp true: writePath is a temporary path the caller renames later;
//     finalPath (may be empty) names the existing file it will replace. A
//     file of kTvDeltaMinFileSize bytes or more copied between a local file
//     system and one that offers descriptor I/O with block checksums
//     (TVFS_CAP_BLOCK_IO) then moves only the blocks of kTvDeltaBlockSize
//     bytes whose MD5 differs from the block at the same place of finalPath;
//     the other blocks are taken from finalPath on the destination side. The
//     result is checked against the source's MD5; any failure of the block
//     copy falls back to a full copy.
// nSize: in, the expected length (negative: read the source's size), used for
// the progress total; out, the bytes copied. Progress is reported and the stop
// request polled once per chunk (pProgress; null: fsT's callback). A failed
// or stopped copy leaves no partial file behind (a temporary write path is
// deleted). The source file system's last-read record gets the source's size
// and modification time as they were when the copy began.
// A source whose size or modification time (to the nanosecond where the
// source is local) differs at the end of the copy from what it was when the
// copy began was written to meanwhile: the copy is discarded and the call
// fails with "Source file changed while copied: " and the display path. So
// is a local source whose inode change time moved (a write with the old
// time put back), or whose name holds another file by then.
// A source that is downloaded whole must be the listed version: a download
// of another size than nSize (when not negative), or whose answer names
// another modification time than nListedTime (when not 0), fails the same way.
// A direct copy's temporary name beside writePath is the same for each
// attempt at that path: a copy left there by a killed run is replaced by the
// next one.
// Errors: "Source file system not ready.", "Destination file system not
// ready.", "Invalid source path: ", "Invalid destination path: ", and the file
// systems' own texts; a stop gives kind 10 "stopped by user".
enum TvCopyFlags : unsigned {
    // bToTemp false: the finished copy never replaces a file that appeared
    // at writePath meanwhile (the rename fails, "... the destination exists").
    TVCOPY_NO_REPLACE = 1,
    // A local destination file takes the source's modification time, as read
    // when the copy began, before it gets its final name.
    TVCOPY_SOURCE_TIME = 2,
    // A new local file is not flushed on its own before its rename where its
    // file system flushes in batches: it reaches the disk with the others at
    // the next TvFlushCopies, which the caller makes before it records the
    // copy anywhere. Elsewhere the file is flushed as without the flag.
    TVCOPY_DEFER_FLUSH = 4,
};
// A test of what stands at the name a finished direct copy replaces, made
// just before the copy takes that name: false (with its error kind and text)
// leaves the file there as it is and fails the copy.
using TvBeforeReplace = std::function<bool(int& errKind, CWideString& err)>;
// beforeReplace: bToTemp false without TVCOPY_NO_REPLACE, see TvBeforeReplace
// (empty: none).
bool TvFileCopy(TvFileSys* fsS, const CWideString& srcPath, TvFileSys* fsT, bool bToTemp,
                const CWideString& writePath, const CWideString& finalPath, int64_t& nSize,
                ICopyProgress* pProgress, int& errKind, CWideString& err, unsigned nFlags = 0,
                int64_t nListedTime = 0, const TvBeforeReplace& beforeReplace = {});

// Makes the local copies made with TVCOPY_DEFER_FLUSH (by any thread, on
// any mount) durable; a flush running on another thread is waited for.
bool TvFlushCopies(int& errKind, CWideString& err);
// Whether some copy made with TVCOPY_DEFER_FLUSH is not flushed yet.
bool TvHasUnflushedCopies();
// After a file of a local side took its name (a rename), makes the next
// TvFlushCopies flush that name too, with the other changes of its mount;
// where the file system flushes no batches, the folder holding the name is
// flushed now. Other file systems: nothing to do.
bool TvFlushNameLater(TvFileSys* fsT, const CWideString& path, int& errKind, CWideString& err);

// What the last TvFileCopy of this thread did (logs and tests): whether the
// block copy was used, and the bytes moved between the two file systems.
struct TvCopyStats {
    bool bDelta = false;
    int64_t nTransferred = 0;
    int64_t nReused = 0; // bytes taken from the existing destination file
    bool bTimeSet = false; // the copy took the source's modification time (TVCOPY_SOURCE_TIME)
    // The file at finalPath as a block copy to a file system other than a
    // local one looked it up before it began (bBaseRead), also where the
    // copy then went on as a full copy.
    bool bBaseRead = false;
    FsItemInfo base;
    // A local copy is its owner's alone while its bytes are written; then,
    // before any rename, it takes the source's permissions through its
    // descriptor, less the set-user-ID and set-group-ID bits where it does
    // not have the source's owner and group: that such a bit was dropped.
    bool bSetIdCleared = false;
};
const TvCopyStats& TvLastCopyStats();
// A file dst of a local side that has the content of the local file src
// (same size; one name only): when its permissions are not those that a
// copy of src gives it (see TvCopyStats::bSetIdCleared), it gets them,
// through a descriptor of the file itself. True when it changed them (nWas:
// the mode it had, nNow: the mode it has); false when there was nothing to
// do or it could not be done (not local, not regular files, a file system
// that keeps no permissions).
bool TvRepairCopyMode(TvFileSys* fsS, const CWideString& src, TvFileSys* fsT, const CWideString& dst,
                      uint32_t& nWas, uint32_t& nNow);

// fs->CopyFileFs (from, to), then fs->DeleteFile (from); false when either fails.
bool MoveFileByCopy(TvFileSys* fs, const CWideString& from, const CWideString& to, int& errKind,
                    CWideString& err);

// One folder move when the file system answers TVFS_CAP_MOVE_FOLDER, else the
// destination folder is made and the content moved child by child (files by
// MoveFileNoReplace, folders recursively), then the emptied folder is
// removed. Child by child, nothing that stands at a destination is replaced
// or merged into: such a move fails with "... the destination exists".
bool MoveFolder(TvFileSys* fs, const CWideString& from, const CWideString& to, ICopyProgress* pProgress,
                int& errKind, CWideString& err);

// Creates each missing folder of an absolute ("/a/b/c") path in turn;
// "not absolute path specified" for a path without a leading '/'. With
// bLastIsFile set the last component names a file and is not created.
bool MakeFolderRecursive(TvFileSys* fs, const CWideString& path, bool bLastIsFile, int& errKind,
                         CWideString& err);

// Deletes a file, or a folder with all its content ("Deleted file: ",
// "Deleted folder: " at message level 3 with the display path). A link is
// deleted as the link: the content of a linked folder is never touched. A
// path that does not exist is success. Polls the stop request per item.
bool DeleteFolderRecursive(TvFileSys* fs, const CWideString& path, ICopyProgress* pProgress, int& errKind,
                           CWideString& err);

// Size and times of a local file (an absolute local path or file URL); a
// folder at the path fails with "state file cannot be a folder: " + path and
// kind 5; a missing file fails with kind 7.
bool GetLocalFileInfo(const CWideString& path, FsItemInfo& info, int& errKind, CWideString& err);
