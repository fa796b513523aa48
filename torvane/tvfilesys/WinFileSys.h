// The local file system: folders of this computer, reached by "file:///path"
// URLs or absolute paths. The body is POSIX (statx, utimensat, rename,
// statvfs, extended attributes).
//
// Names on disk are bytes; the engine's names are UTF-16. A name that is not
// valid UTF-8, or that holds a '\' (the engine's second separator), cannot be
// represented without loss: ListDir reports it as a bad entry (m_bValid 0,
// attributes unknown, the raw bytes percent-escaped in the note; m_sName
// shows the name with U+FFFD for display only), so no item and no file is
// ever made from a converted name. A name longer than the file system takes
// (255 bytes) fails the operation with a clear message.
//
// The change monitor (StartMonitoring, WaitForChanges, GetChangedItems,
// StopMonitoring) lives in WinFileSysMonitor.cpp; its state is m_pMonitor.
// Listings and item information are in WinFileSysList.cpp, the resolution
// of paths below the root (with its cache of open folders) in
// WinFileSysFolders.cpp.
//
// Threads: one object serves one thread at a time (a job's worker owns its
// file systems); its members are not locked for that. The exceptions are
// the few that say so: the helper threads of a listing read only the
// stored-bits cut-off (atomic), the monitor slot may be made from any
// thread, the cache of open folders takes its own lock, and the table of
// unflushed mounts is process-wide with its own locks.
#pragma once

#include "TvFileSys.h"

#include <atomic>

class WinFsMonitor; // defined with the monitor

class WinFileSys : public TvFileSys {
public:
    WinFileSys();
    ~WinFileSys() override;

    TvFileSys* NewInstance() const override;
    // "file://" URLs without a host (or with "localhost") and absolute local paths.
    bool AcceptsUrl(const CWideString& url) const override;
    int GetCapability(int id) const override;
    CWideString GetTypeInfo(int item) const override;
    // Server part: the host of a file URL (empty for local); path: the local path.
    bool BreakURL(const CWideString& url, CWideString& server, CWideString& path, CWideString& err) override;

    bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) override;
    void Disconnect(bool bFull) override;
    bool SetRootDir(const CWideString& path, int& errKind, CWideString& err) override;
    // The full local path.
    CWideString BasePath(const CWideString& path) const override;

    // Monitor (WinFileSysMonitor.cpp).
    bool StartMonitoring(const CWideString& path, int& errKind, CWideString& err) override;
    void SetMonitorFollowsFolderLinks(bool b) override { m_bMonitorFollowsLinks = b; }
    bool WaitForChanges(int& errKind, CWideString& err) override;
    bool GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) override;
    void StopMonitoring() override;

    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) override;
    // On ext2-4, xfs, btrfs, tmpfs and f2fs, and only on the root's own
    // mount. The stored bits are the extended attribute of zor-file.h.
    bool SetStoredBitsCutoff(int64_t nBefore) override;
    int64_t FileSystemNow() const override;
    int64_t ProbeClockNs(const CWideString& folder, uint32_t& nStepNs) override;
    int64_t FileSystemNowMs() const override;
    uint32_t WithRecordedStoredBits(const FsItemInfo& entry, uint32_t nRecorded) const override;
    bool ReadStoredBits(const CWideString& path, FsItemInfo& entry, int& errKind, CWideString& err) override;
    // Stored-bit reads of all listings so far (for tests).
    static uint64_t StoredBitReads();
    bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                 CWideString& err) override;
    bool IsFile(const CWideString& path, bool& bExists, int& errKind, CWideString& err) override;
    bool IsFolder(const CWideString& path, bool& bExists, int& errKind, CWideString& err) override;
    bool GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree,
                          int64_t& nTotal, int& errKind, CWideString& err) override;

    bool GetLinkInfo(const CWideString& path, CWideString& target, int& errKind, CWideString& err) override;
    bool GetLinkTargetInfo(const CWideString& path, FsItemInfo& info, int& errKind,
                           CWideString& err) override;
    bool CreateLink(const CWideString& path, bool bFolder, const CWideString& target, int& errKind,
                    CWideString& err) override;

    bool GetAttributes(const CWideString& path, uint32_t& attrs, int& errKind, CWideString& err) override;
    bool SetAttributes(const CWideString& path, uint32_t attrs, int& errKind, CWideString& err) override;
    bool GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                        CWideString& err) override;
    bool SetFileModTime(const CWideString& path, uint32_t modTime, uint32_t createTime, int& errKind,
                        CWideString& err) override;
    bool GetFolderModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                          CWideString& err) override;
    bool SetFolderModTime(const CWideString& path, uint32_t modTime, uint32_t createTime, int& errKind,
                          CWideString& err) override;

    bool MakeFolder(const CWideString& path, int& errKind, CWideString& err) override;
    int CheckOwnItem(const CWideString& path, int nFlags, int& errKind, CWideString& err) override;
    int OpenOwnFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool CheckRootLinks(int& errKind, CWideString& err) override;
    bool DeleteFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool DeleteFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    // renameat2 RENAME_NOREPLACE (else link and unlink); a case-only rename
    // of the same file is a plain rename.
    bool MoveFileNoReplace(const CWideString& from, const CWideString& to, int& errKind,
                           CWideString& err) override;
    // link(2): fails with bExists on EEXIST.
    bool LinkFile(const CWideString& from, const CWideString& to, bool& bExists, int& errKind,
                  CWideString& err) override;
    // Looked at from the item's checked folder, a link at the name not followed.
    uint32_t GetNameCount(const CWideString& path) override;
    // Off: the folders of a path below the root are opened one by one
    // without following links (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS,
    // else per-component O_NOFOLLOW), and the operation works on the last
    // name inside the folder so opened: a folder swapped for a link never
    // redirects it. A link met fails the operation (kind 5). On by default.
    void SetFollowLinksInPaths(bool b) override;
    // Kept folders are dropped whenever this object moves or deletes a
    // folder, and at a change of root or link mode.
    void KeepFoldersOpen(bool b) override;
    // With other a WinFileSys of the same root: its root folder (opened now
    // when it was not yet).
    bool ShareRootFolder(const TvFileSys& other, int& errKind, CWideString& err) override;
    bool MoveFileFromLocal(const CWideString& localFile, const CWideString& path, int& errKind,
                           CWideString& err) override;
    bool CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool CopyFolderFromLocal(const CWideString& srcDisplayPath, const CWideString& path, uint32_t attrs,
                             int& errKind, CWideString& err) override;
    bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                      CWideString& err) override;
    bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                    CWideString& err) override;
    bool ApplyFileOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                          CWideString& err, const CWideString& srcPath = CWideString()) override;
    bool ApplyFolderOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                            CWideString& err) override;

    bool GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLength, int& errKind,
                    CWideString& err) override;
    bool GetSecurityDescr(const CWideString& path, CWideString& sd, int& errKind, CWideString& err) override;
    bool SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind,
                          CWideString& err) override;
    bool EncryptFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool DecryptFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool SetCompression(const CWideString& path, bool bCompress, int& errKind, CWideString& err) override;

    bool OpenFile(int dix, const CWideString& path, uint32_t mode, int& errKind, CWideString& err) override;
    bool OpenLockedFile(int dix, const CWideString& path, int& errKind, CWideString& err) override;
    bool CloseFile(int dix, int& errKind, CWideString& err) override;
    bool GetFilePosn(int dix, int64_t& pos, int& errKind, CWideString& err) override;
    bool SetFilePosn(int dix, int64_t pos, int& errKind, CWideString& err) override;
    bool SetFileLength(int dix, int64_t length, int& errKind, CWideString& err) override;
    bool ReadBuf(int dix, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err) override;
    bool ReadBufPosn(int dix, void* buf, uint32_t len, int64_t pos, uint32_t& nRead, int& errKind,
                     CWideString& err) override;
    bool ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                    CWideString& err) override;
    bool ReadBufCrcPosn(int dix, uint32_t len, int64_t pos, uint32_t& nRead, CNarrowString& crc, int& errKind,
                        CWideString& err) override;
    bool WriteBuf(int dix, const void* buf, uint32_t len, int& errKind, CWideString& err) override;
    bool WriteBufPosn(int dix, const void* buf, uint32_t len, int64_t pos, int& errKind,
                      CWideString& err) override;

    // False once the root folder was found replaced (see NativeAt).
    bool IsConnected() const override;
    bool ConfirmRoot(int& errKind, CWideString& err) override;

    // The native (UTF-8) form of a root-relative path; false (kind 5) for a
    // relative path or a name the system cannot take.
    bool NativePath(const CWideString& path, CNarrowString& native, int& errKind, CWideString& err) const;
    // Opens a file (or, bFolder, a folder) below the root to read it, never
    // waiting (a file's descriptor is non-blocking, so that a named pipe
    // opens at once and the caller checks the type; a folder's open refuses
    // anything else). A
    // link of another user (neither the running user nor root) on the way
    // is followed only to what that user could read: otherwise -1 with an
    // error that names the path, and *pRefused true (WinFileSysLinks.cpp).
    int OpenToRead(const CWideString& path, bool bFolder, int& errKind, CWideString& err,
                   bool* pRefused = nullptr) const;
    // The same as a folder descriptor (AT_FDCWD: none) and the name in it;
    // the descriptor stays valid for the operation at hand. Items below the
    // root are reached from the root folder as it was first opened (after
    // the connect), never through its path again: a root that is renamed,
    // or swapped for a link, cannot send them elsewhere. The root's path is
    // looked at again for the root itself, for the first item of a folder
    // met anew (the last few folders are remembered) and in ConfirmRoot. A
    // root whose device and inode changed since fails every path (kind 5)
    // and the object no longer counts as connected, which stops a run.
    bool NativeAt(const CWideString& path, int& dirFd, CNarrowString& name, int& errKind,
                  CWideString& err) const;
    // The path form of what NativeAt gives.
    static CNarrowString AtPath(int dirFd, const CNarrowString& name);
    // The plain joined form, whatever the link mode.
    bool NativePathFull(const CWideString& path, CNarrowString& native, int& errKind, CWideString& err) const;
    // True when the connected root lies on a vfat/exfat (FAT-like) mount.
    bool IsFatMount() const { return m_bFatMount; }

    // A new file written through fd (name in the folder dirFd, as NativeAt
    // gives them) is made durable later, with the other files of its mount,
    // by FlushAllWrites: true when it was taken into that batch; false when
    // the caller must flush it itself (a file system that flushes no
    // batches, such as a network mount, or a file on another mount below
    // the root).
    bool DeferFlush(int fd, int dirFd, const CNarrowString& name);
    // Makes every file that DeferFlush took (by any object of this class, on
    // any mount) durable, one flush per mount. On a failure the mounts stay
    // pending for the next call.
    static bool FlushAllWrites(int& errKind, CWideString& err);
    // Whether some file taken by DeferFlush is not flushed yet.
    static bool HasUnflushedWrites();

protected:
    static bool IsLinkOnTheWay(const CNarrowString& root, const CNarrowString& folder);
    // The mount point of the volume (device dev) that holds a folder.
    static CWideString MountPointOf(const CWideString& folder, uint64_t dev);
    // Turns the connection URL into the local root folder. WinNetFileSys
    // overrides it to map a share onto its mount.
    virtual bool ResolveRoot(const CWideString& url, CWideString& localRoot, int& errKind, CWideString& err);
    // Fills an item from a statx result of the entry (name already set).
    bool StatItem(int dirFd, const char* nameOrPath, bool bFollow, FsItemInfo& info, bool& bNotFound,
                  int& errKind, CWideString& err, const CWideString& display) const;
    // Copies through a temporary file beside the target, renamed over it when
    // complete (mode and times kept); gives the size and the source's time.
    // in: the source already open (OpenToRead), closed here; -1: from is opened.
    bool CopyLocalFile(const CNarrowString& from, const CNarrowString& to, int64_t* pSize, int64_t* pSrcTime,
                       uint32_t* pStamp,
                       int& errKind, CWideString& err, int in = -1);
    bool CheckDix(int dix, bool bMustBeOpen, int& errKind, CWideString& err) const;

    // Folders opened without following links (see SetFollowLinksInPaths),
    // kept while KeepFoldersOpen is on.
    struct FolderCache;
    void ForgetFolders() const;
    // Closes the root folder opened by NativeAt (a new root, a new connection).
    void ForgetRoot() const;
    // The root folder's descriptor under the cache's lock (opened on first
    // use with bOpen; -1 while the root is missing or not opened), or
    // kRootReplaced (err set) when the folder at the root's path is no
    // longer the one opened (looked at with bConfirm, or found before).
    static constexpr int kRootReplaced = -2;
    int RootFolder(FolderCache& cache, const CNarrowString& root, bool bOpen, bool bConfirm, int& errKind,
                   CWideString& err) const;

    int m_fds[kMaxOpenFiles];
    bool m_bFatMount = false;
    bool m_bFollowLinksInPaths = true;
    bool m_bKeepFolders = false;
    bool m_bBatchFlush = false; // the root's mount is flushed as a whole (syncfs)
    uint64_t m_nRootDev = 0;    // the device of the root folder
    // The device whose files carry identities: the root folder's, looked at
    // once per connection (0: not yet; kNoIdentDev: none).
    static constexpr uint64_t kNoIdentDev = ~(uint64_t)0;
    mutable std::atomic<uint64_t> m_nIdentDev{0};
    // Whether that device's file system keeps its files' numbers
    // (FileSystemKeepsFileIds), looked at with it; -1: not known.
    mutable std::atomic<int> m_nIdentKeepsIds{-1};
    uint64_t IdentityDevice() const;
    std::atomic<int64_t> m_nStoredCutoff{0}; // see SetStoredBitsCutoff; 0 off (helper threads read it)
    std::atomic<uint64_t> m_nStoredCutoffMnt{0}; // the root's mount, the only one it applies to
    std::unique_ptr<FolderCache> m_pFolders;
    WinFsMonitor* m_pMonitor = nullptr; // owned; created and deleted by the monitor code

    // ------------------------------------------------ change monitor (WinFileSysMonitor.cpp)
public:
    // Tests: the most inotify watches one monitor may hold (0: only the system's limit).
    static void SetMonitorWatchLimitForTest(int nMaxWatches);

private:
    // Holds the monitor state: made on first use (from any thread), deleted with the object.
    struct MonitorSlot {
        WinFsMonitor* m_p = nullptr; // read and set atomically
        WinFsMonitor* Get();
        ~MonitorSlot();
    };
    MonitorSlot m_monitor;
    bool m_bMonitorFollowsLinks = false;
};
