// Local files: existence, attributes, sizes and times, whole-file reads and
// atomic writes, folders, deletion, atomic moves, temporary files, file
// handles, the buffered read stream, the clean-up of old logs and leftover
// temporary files.
//
// Paths are wide texts; at the system call they become UTF-8 with '\' read
// as '/' (ZorNativePath, zor-path.h). Every function that can fail returns
// bool and appends its message to the caller's error text; the error kind
// (zor-debug.h) follows the system error (no space: 8, no memory: 9,
// missing file where it says so: 7, otherwise 5).
//
// Attribute words use the Windows bit values. Read from the file system:
// folder 0x10; symbolic link 0x400; read-only 0x01 = no write permission for
// the owner (for a folder also the stored bit, below); hidden 0x02 = a name
// that begins with '.'. Bits that the file system cannot show (hidden on
// another name, system, archive, read-only of a folder, ...) are kept in the
// extended attribute "user.torvane.attrs" as a decimal number and silently
// dropped where the file system has no extended attributes. A file with no
// bit at all reads as 0x80 (normal).
//
// Stored files are written to a temporary file in the target's folder,
// flushed to disk and renamed over the target, so a failure never leaves a
// half-written file in place of a good one. Temporary files are named
// <prefix><6 letters or digits>.tmp (prefix "tvtm" unless another is given).
#pragma once

#include "zor-string.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

enum : uint32_t {
    ZOR_FILE_ATTRIBUTE_READONLY = 0x01,
    ZOR_FILE_ATTRIBUTE_HIDDEN = 0x02,
    ZOR_FILE_ATTRIBUTE_SYSTEM = 0x04,
    ZOR_FILE_ATTRIBUTE_DIRECTORY = 0x10,
    ZOR_FILE_ATTRIBUTE_ARCHIVE = 0x20,
    ZOR_FILE_ATTRIBUTE_NORMAL = 0x80,
    ZOR_FILE_ATTRIBUTE_REPARSE_POINT = 0x400,
};
// ZorGetFileAttributes of a missing path.
constexpr uint32_t ZOR_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
// The extended attribute that keeps the bits the file system cannot show.
constexpr const char* ZOR_ATTRS_XATTR_NAME = "user.torvane.attrs";
// The default prefix of temporary file names.
constexpr const char16_t* ZOR_TEMP_PREFIX = u"tvtm";

// Attributes, size and times of a local file. Times are file times: 100 ns
// units since 1601-01-01 UTC (TimeTFromFileTime in zor-time.h gives seconds
// since 1970). The creation time is the birth time where the file system
// keeps one, else the modification time.
struct ZorFileInfo {
    uint32_t nAttributes = 0;
    uint64_t nSize = 0;
    int64_t nCreationTime = 0;
    int64_t nAccessTime = 0;
    int64_t nWriteTime = 0;
};

// A file or folder exists at the path (a dangling link counts).
bool ZorFileExists(const CWideString& path);
// The attribute word; ZOR_INVALID_FILE_ATTRIBUTES when the path is missing.
uint32_t ZorGetFileAttributes(const CWideString& path);
// Sets the attribute word (see the mapping above). Read-only of a file
// removes every write permission; clearing it gives the owner write
// permission back. The folder and link bits cannot be set and are ignored.
bool ZorSetFileAttributes(const CWideString& path, uint32_t nAttributes, int& kind, CWideString& err);
// False with "cannot find file " and the path when it is missing.
bool ZorGetFileInfo(const CWideString& path, ZorFileInfo& info, int& kind, CWideString& err);
bool ZorGetFileInfo(const CWideString& path, ZorFileInfo& info, CWideString& err);
// True with bExists false for a missing file; false for other failures.
bool ZorGetFileDetails(const CWideString& path, bool& bExists, int64_t& nCreationTime, int64_t& nAccessTime,
                       int64_t& nWriteTime, uint64_t& nSize, int& kind, CWideString& err);
bool ZorGetFileSizeByName(const CWideString& path, uint64_t& nSize, int& kind, CWideString& err);

// Reads at most nMaxBytes bytes from the start of the file ("cannot open
// file to read: ", "cannot read file: ").
bool ReadWholeFile(const CWideString& path, int nMaxBytes, CNarrowString& text, int& kind, CWideString& err);
// Writes the text as the whole content of the file, atomically: temporary
// file in the same folder, fsync, rename over the target (keeping the
// target's permissions; a link is followed). A read-only target is refused.
// Both argument orders are accepted.
bool WriteWholeFile(const CWideString& path, const CNarrowString& text, int& kind, CWideString& err);
inline bool WriteWholeFile(const CNarrowString& text, const CWideString& path, int& kind, CWideString& err) {
    return WriteWholeFile(path, text, kind, err);
}

// Creates the folder and its missing parents; an existing folder is success.
// The flag is accepted for the callers that pass one and has no effect.
bool ZorCreateFolderPath(const CWideString& path, bool bFlag, int& kind, CWideString& err);
inline bool ZorCreateFolderPath(const CWideString& path, CWideString& err) {
    int kind = 0;
    return ZorCreateFolderPath(path, false, kind, err);
}

// Deletes a file; on failure gives the owner write permission and tries once
// more ("Cannot delete file (set attrs): ", "Cannot delete file (2nd try): ").
bool ZorDeleteFile(const CWideString& path, int& kind, CWideString& err);
void ZorDeleteFileQuiet(const CWideString& path);

// Renames a file or folder, replacing an existing target atomically. Across
// file systems a file is copied to a temporary file beside the target
// (permissions, times and stored attribute bits kept), flushed, renamed over
// the target, and the source is deleted.
bool ZorMoveFile(const CWideString& from, const CWideString& to, int& kind, CWideString& err);
bool ZorMoveFile(const CWideString& from, const CWideString& to, CWideString& err);

// Creates a new empty file with a unique name in the folder (prefix null or
// empty: "tvtm") and gives its path ("cannot get temp file name: ").
bool ZorGetTempFileName(const CWideString& folder, const char16_t* prefix, CWideString& name, int& kind,
                        CWideString& err);
bool ZorGetTempFileName(const CWideString& folder, const char16_t* prefix, CWideString& name,
                        CWideString& err);

// ---------------------------------------------------------------- the private folder
// The folder of this process's own settings and bookkeeping (the profile),
// checked once with its folders above it: a file below it is opened relative
// to the descriptor kept here, the folders on the way without links, and a
// file to read is used only when it is a regular file of the running user
// with one name (ZorOpenOwnFileAt).
//
// Keeps fd (an open folder, from now the process's) as the folder at path;
// fd -1 forgets it.
void ZorSetPrivateFolder(const CWideString& path, int fd);
// Whether the path lies below the private folder: dirFd then gets a new
// descriptor of the folder that holds the last part (the caller closes it)
// and name that part. False with errno 0 for a path elsewhere, with errno
// set when a folder on the way cannot be opened (ELOOP: a link).
bool ZorPrivateFolderAt(const CNarrowString& path, int& dirFd, CNarrowString& name);
// Opens the file name in the folder dirFd to read, as a file that only the
// running user can have made: with O_NOFOLLOW and O_NONBLOCK (a link or a
// named pipe is never followed or waited on), then used only when it is a
// regular file of the running user with one name. Returns the descriptor
// (blocking again), or -1 with errno set: EPERM with why telling what stands
// there instead.
int ZorOpenOwnFileAt(int dirFd, const char* name, CWideString& why);
// Opens a file to read: below the private folder as ZorOpenOwnFileAt does,
// elsewhere by its path without waiting on a named pipe. -1 with errno set
// (why as ZorOpenOwnFileAt's).
int ZorOpenFileForReading(const CNarrowString& path, CWideString& why);
// Makes the file at path its owner's alone (mode 0600) through a descriptor
// opened as ZorOpenFileForReading opens it; what is not a file of the
// running user's is left as it is.
void ZorMakeFileOwnerOnly(const CWideString& path);
// The same for a folder of the running user's (mode 0700), opened without
// following a link.
void ZorMakeFolderOwnerOnly(const CWideString& path);

// Creates a new file at a name of a folder where others may have put
// something first (dirFd: an open folder or AT_FDCWD; flags: the access mode
// and extra flags such as O_CLOEXEC). The file is created with O_CREAT |
// O_EXCL | O_NOFOLLOW; whatever stands at the name already (a left-over
// copy, a link, a hard link to another file, a named pipe, a device file) is
// removed with unlinkat, never followed or opened, and the creation tried
// again. Returns the descriptor, or -1 with errno set (EISDIR for a folder
// at the name, which stays).
int ZorCreateNewFileAt(int dirFd, const char* name, int flags, unsigned mode);

// Opens a file to write its whole content anew, at a name others may have
// put something at: a new file (mode) where there is none; the file itself,
// truncated, where a regular file of the running user with no other name
// stands there, or a device; anything else (a link, a hard link, a file of
// another user, a named pipe) is removed with unlinkat and a new file made
// (ZorCreateNewFileAt). bNew tells whether the file is new. Returns the
// write-only descriptor, or -1 with errno set.
int ZorOpenForWritingAt(int dirFd, const char* name, unsigned mode, bool& bNew);

// The permission bits a copy takes (the copy open as fd): the source's
// (srcMode & 07777), less the set-user-ID and set-group-ID bits where the
// copy does not have the source's owner and group (bCleared then tells that
// such a bit was dropped), as cp does.
unsigned ZorModeOfCopy(unsigned srcMode, unsigned srcUid, unsigned srcGid, int fd, bool& bCleared);

// Like ZorGetTempFileName, but the new file stays open: fd gets a write-only
// descriptor of it (the caller closes it). Nothing is reopened by its name.
bool ZorCreateTempFile(const CWideString& folder, const char16_t* prefix, CWideString& name, int& fd, int& kind,
                       CWideString& err);

// The permissions a new file gets from the process's file-creation mask
// (0666 less the mask). Files that hold data on its way are created owner-only
// and take these (or their source's) only once they are complete.
uint32_t ZorNewFileMode();

// How messages name the owner of a file: the account's name, else "uid N".
CWideString ZorOwnerName(uint32_t uid);
// Whether an item owned by uid may be trusted by this process: its own
// user's or the system's (uid 0).
bool ZorIsTrustedOwner(uint32_t uid);
// Whether a link of an owner this process may not trust (another user,
// who can point it elsewhere at any time) lies on the way to the absolute
// path, as the system resolves it: true with that link's path and owner.
// A missing item ends the walk (false).
bool ZorFindUntrustedLink(const CNarrowString& path, CNarrowString& link, uint32_t& owner);

// Writes all n bytes to fd, retrying after interruptions and short writes.
// False with errno set (0 when the system took no bytes without an error);
// nDone tells how many bytes went out.
bool ZorWriteAllFd(int fd, const void* pData, size_t n, size_t& nDone);

// Sets the modification time (seconds since 1970); the access time is kept
// ("Cannot SetFileModTime (open): " when the file is missing, else
// "Cannot SetFileModTime: ").
bool SetFileModTime(const CWideString& path, int64_t nTime, int& kind, CWideString& err);

// ---------------------------------------------------------------- handles
// An open file descriptor with its name (-1 when none); closed on destruction.
class CFileHandle {
public:
    CFileHandle() = default;
    ~CFileHandle() { CloseQuiet(); }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    CFileHandle(CFileHandle&& o) noexcept : m_hFile(o.m_hFile), m_sName(o.m_sName) { o.m_hFile = -1; }
    CFileHandle& operator=(CFileHandle&& o) noexcept;

    bool IsOpen() const { return m_hFile >= 0; }
    int GetHandle() const { return m_hFile; }
    const CWideString& GetName() const { return m_sName; }
    // Takes ownership of a descriptor (closing the one held).
    void Attach(int hFile, const CWideString& name);
    // Gives up the descriptor without closing it.
    int Detach();

    // Up to nMax bytes; nRead 0 at the end of the file ("reading file ").
    bool Read(void* pBuffer, uint32_t nMax, uint32_t& nRead, int& kind, CWideString& err);
    // All nLength bytes ("written less than requested for file %s: %d != %d"
    // when the system takes fewer without an error; "writing file " with the
    // system's text otherwise).
    bool Write(const void* pData, uint32_t nLength, int& kind, CWideString& err);
    bool WriteStringA(const CNarrowString& text, int& kind, CWideString& err);
    // Absolute position ("Cannot set position of ").
    bool Seek(int64_t nPosition, int& kind, CWideString& err);
    // ("Cannot get size of ").
    bool GetSize(uint64_t& nSize, int& kind, CWideString& err);
    // Flushes the file's data to the disk ("Cannot flush file ").
    bool Sync(int& kind, CWideString& err);
    // ("Cannot close file: "). Closing a closed handle succeeds.
    bool Close(int& kind, CWideString& err);
    bool Close(CWideString& err);
    void CloseQuiet();

private:
    int m_hFile = -1;
    CWideString m_sName;
};

// Opens an existing file for reading ("cannot open file to read: ").
bool ZorOpenFileRead(const CWideString& path, CFileHandle& file, int& kind, CWideString& err);
// Creates a file for writing ("cannot open file to write: "): a new one,
// after what stood at the name was removed (ZorCreateNewFileAt).
// The flags are accepted for the callers that pass them and have no effect.
bool ZorOpenFileWrite(const CWideString& path, CFileHandle& file, uint32_t nFlags, int& kind,
                      CWideString& err);

// ---------------------------------------------------------------- buffered file
// A local file read chunk by chunk (a request body source). Opened from the
// alternate name when one is set, else from the name.
class CBufferedFile {
public:
    CBufferedFile() = default;
    explicit CBufferedFile(const CWideString& name) : m_sFileName(name) {}

    // Opens the file and reads its size; an open file is rewound. "bad file
    // to read" (kind 5) when no name is set.
    bool Open(int& kind, CWideString& err);
    // Back to the start (opens the file when it is not open).
    bool Rewind(int& kind, CWideString& err);
    // The next chunk (m_nChunkSize bytes, or m_nBlockSize in block mode);
    // empty at the end of the file.
    bool ReadChunk(CNarrowString& data, int& kind, CWideString& err);
    // Block mode: chunks of nBytes (0 switches block mode off).
    void SetReadBlock(int nBytes) {
        m_nBlockSize = nBytes > 0 ? nBytes : 0;
        m_bBlockMode = nBytes > 0;
    }
    void Close() { m_hFile.CloseQuiet(); }
    bool IsOpen() const { return m_hFile.IsOpen(); }
    const CWideString& GetOpenName() const { return m_sAltName.IsEmpty() ? m_sFileName : m_sAltName; }

    CWideString m_sFileName;
    CWideString m_sAltName;
    CFileHandle m_hFile;
    int64_t m_nSize = -1;    // -1 until opened
    int64_t m_nPosition = 0; // bytes handed out since the start
    uint32_t m_nFlags = 0;   // the caller's flags; not used here
    int m_nChunkSize = 32768;
    bool m_bBlockMode = false;
    int m_nBlockSize = 0; // bytes per chunk in block mode
};

// ---------------------------------------------------------------- temporary file
// A new empty temporary file and its handle (closed at first). Destruction
// closes the handle and deletes the file.
class CTempFileHolder {
public:
    CTempFileHolder() = default;
    // Creates the file in the folder; a failure is an assertion report (and
    // leaves the name empty).
    explicit CTempFileHolder(const CWideString& folder, const char16_t* prefix = nullptr);
    ~CTempFileHolder();
    CTempFileHolder(const CTempFileHolder&) = delete;
    CTempFileHolder& operator=(const CTempFileHolder&) = delete;

    // Deletes a file held so far and creates a new one.
    bool Create(const CWideString& folder, const char16_t* prefix, int& kind, CWideString& err);
    const CWideString& GetFileName() const { return m_sFileName; }

    CWideString m_sFileName;
    CFileHandle m_hFile;
    int64_t m_nSize = -1;
};

// ---------------------------------------------------------------- clean-up
using ZorDeletedPathSink = std::function<void(const CWideString&)>;

// Deletes the files of the folder whose names end in ".log" (any case) and
// whose modification time is older than TimeDaysAgo(nDays); with bRecursive
// also in sub-folders, removing those that it emptied. Links are neither
// followed nor deleted. A file that cannot be deleted is logged
// ("TvCleanUpLogs: cannot delete %s: %s\n") and skipped. A missing folder is
// success; a folder that cannot be listed is an error. Each deleted path goes
// to onDeleted (when set) and is counted in nCount.
bool TvCleanUpLogsEx(const CWideString& folder, int nDays, bool bRecursive, int& nCount, CWideString& err,
                     const ZorDeletedPathSink& onDeleted);
// Deletes the folder's leftover temporary files: only names of the form
// "tvtm" + 6 letters or digits + ".tmp", regular files, modified more than
// two days ago (not recursive). Failures are logged ("TvCleanUpTempFiles:
// cannot delete %s: %s\n") and skipped.
bool TvCleanUpTempFilesEx(const CWideString& folder, int& nCount, CWideString& err,
                          const ZorDeletedPathSink& onDeleted);

namespace zor_detail {
template <typename L> ZorDeletedPathSink DeletedListSink(L* pList) {
    if (!pList) return {};
    return [pList](const CWideString& p) {
        if constexpr (requires { pList->AddTail(p); })
            pList->AddTail(p);
        else
            pList->push_back(p);
    };
}
} // namespace zor_detail

// The forms the callers use; the list (a CListT or a std::vector of wide
// strings, or null) receives the deleted paths.
template <typename L>
bool TvCleanUpLogs(const CWideString& folder, int nDays, bool bRecursive, int& nCount, CWideString& err,
                   L* pDeleted) {
    return TvCleanUpLogsEx(folder, nDays, bRecursive, nCount, err, zor_detail::DeletedListSink(pDeleted));
}
template <typename L>
bool TvCleanUpLogs(const CWideString& folder, int nDays, bool bRecursive, int& nCount, L* pDeleted) {
    CWideString err;
    return TvCleanUpLogsEx(folder, nDays, bRecursive, nCount, err, zor_detail::DeletedListSink(pDeleted));
}
template <typename L>
bool TvCleanUpLogs(const CWideString& folder, int nDays, bool bRecursive, CWideString& err, L* pDeleted) {
    int nCount = 0;
    return TvCleanUpLogsEx(folder, nDays, bRecursive, nCount, err, zor_detail::DeletedListSink(pDeleted));
}
template <typename L> bool TvCleanUpTempFiles(const CWideString& folder, L* pDeleted) {
    int nCount = 0;
    CWideString err;
    return TvCleanUpTempFilesEx(folder, nCount, err, zor_detail::DeletedListSink(pDeleted));
}
// The same without a list of deleted paths.
inline bool TvCleanUpLogs(const CWideString& folder, int nDays, bool bRecursive, int& nCount,
                          CWideString& err, std::nullptr_t) {
    return TvCleanUpLogsEx(folder, nDays, bRecursive, nCount, err, {});
}
inline bool TvCleanUpLogs(const CWideString& folder, int nDays, bool bRecursive, CWideString& err,
                          std::nullptr_t) {
    int nCount = 0;
    return TvCleanUpLogsEx(folder, nDays, bRecursive, nCount, err, {});
}
inline bool TvCleanUpTempFiles(const CWideString& folder, std::nullptr_t) {
    int nCount = 0;
    CWideString err;
    return TvCleanUpTempFilesEx(folder, nCount, err, {});
}

// ---------------------------------------------------------------- remembered paths
// Adds a path to the process-wide table of the last 250 paths (the oldest
// goes first).
void RememberFilePath(const CWideString& path);
// A copy of the table, oldest first.
std::vector<CWideString> GetRememberedFilePaths();
