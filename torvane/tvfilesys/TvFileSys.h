// The abstract file system every side of a job is read and written through,
// the registry of file-system prototypes that makes one for a URL, and the
// URL helpers around it.
//
// Paths handed to the operations are root-relative, '/'-separated and begin
// with '/' ("" and "/" both name the root). GetFullPath joins them with the
// root folder. Each failing operation returns false, stores an FsErrorKind
// into errKind and appends a message to err. Optional operations a back-end
// does not override fail with "<operation> not implemented" and kind 5.
#pragma once

#include "TvFsRecords.h"
#include "zor-path.h"

#include <cstdint>
#include <memory>

// ------------------------------------------------------------ capability ids
// GetCapability answers 0 (false) for an id a class does not know.
enum TvFsCapability : int {
    TVFS_CAP_LOCAL = 20,              // a local disk: fast pre-analyse, data-folder search,
                                      // folder creation by copying from the source, ACL copy,
                                      // FastStop, no previous versions under
                                      // NoSavePreviousPastVersionsLocal
    TVFS_CAP_RESOLVES_ROOT = 22,      // resolves the real root of a folder (type info 23)
    TVFS_CAP_NO_DATA_FOLDER = 24,     // the side holds no data folder
    TVFS_CAP_CASE_SENSITIVE = 25,     // names differing only in case are distinct items
    TVFS_CAP_MD5 = 26,                // MD5 values are computed; folders may be searched for
                                      // a data folder
    TVFS_CAP_BLOCK_IO = 27,           // descriptor I/O (OpenFile, ReadBuf, WriteBuf...) with
                                      // block checksums (ReadBufCrc): block-level delta copy
    TVFS_CAP_SOURCE_STATE = 28,       // the source state can be tested before an action
    TVFS_CAP_LINKS = 29,              // links are copied as links
    TVFS_CAP_FREE_SPACE = 30,         // free-space figures exist
    TVFS_CAP_MOVE_FOLDER = 32,        // a folder moves in one operation
    TVFS_CAP_EXPECTS_TIME_SHIFT = 33, // times may shift by whole hours (local-time storage)
    TVFS_CAP_CREATE_TIMES = 34,       // creation times are copied
    TVFS_CAP_MOD_TIMES = 35,          // modification times are read and set exactly
    TVFS_CAP_FOLDER_TIMES = 37,       // folder times are copied
    TVFS_CAP_ROUNDED_TIMES = 38,      // times are rounded (2-second or day resolution)
    TVFS_CAP_MONITOR = 39,            // changes can be monitored
    TVFS_CAP_SET_ATTRIBUTES = 40,     // attributes are set
    TVFS_CAP_TEST_MOD_TIME = 41,      // setting modification times is tested at connect
    // Ids that the internet back-ends answer for callers outside this engine
    // (nothing here asks them), named by the back-ends that answer them.
    TVFS_CAP_INET_100 = 100,          // cloud, S3 and peer back-ends
    TVFS_CAP_DIRECT_DEST_OK = 103,    // writing straight to the destination is allowed
                                      // (the side's temp-destination flag decides)
    TVFS_CAP_RENAME_LOCK_FILE = 104,  // the lock file is renamed (not copied) at unlock
    TVFS_CAP_ALWAYS_TEMP = 105,       // writes always go through a temporary file
    TVFS_CAP_SECURE_SCHEME = 106,     // the scheme has a secure ("s://") form
    TVFS_CAP_NO_SECURE_SCHEME = 107,  // ... which is not used
    TVFS_CAP_LISTED_LATE = 109,       // a newly written file may be listed late
    TVFS_CAP_INET_111 = 111,          // cloud, S3 and peer back-ends (see TVFS_CAP_INET_100)
    TVFS_CAP_CLOUD_S3_115 = 115,      // cloud and S3 back-ends (see TVFS_CAP_INET_100)
    TVFS_CAP_CLOUD_S3_116 = 116,      // cloud and S3 back-ends (see TVFS_CAP_INET_100)
    TVFS_CAP_CLOUD_S3_117 = 117,      // cloud and S3 back-ends (see TVFS_CAP_INET_100)
    TVFS_CAP_WININET = 118,           // the WinINet transport option exists
    TVFS_CAP_HOST_BASED = 122,        // the host-based address option exists
    TVFS_CAP_INET_130 = 130,          // cloud, S3 and peer back-ends (see TVFS_CAP_INET_100)
    TVFS_CAP_COOKIES = 131,           // the cookie option exists
    TVFS_CAP_DELETE_TREE = 132,       // a folder is deleted with its content in one operation
    TVFS_CAP_ATOMIC_REPLACE = 140,    // MoveFile replaces a file atomically; LinkFile and
                                      // MoveFileNoReplace never replace what stands at the
                                      // destination (a check and the operation in one step)
    TVFS_CAP_UPLOAD_REPLACES = 141,   // an upload onto an existing file replaces its content in
                                      // one request: the file is never absent meanwhile
};

// ------------------------------------------------------------ type-info items
enum TvFsTypeInfo : int {
    TVFS_TI_NAME = 0,           // display name of the class
    TVFS_TI_SCHEME = 1,         // URL scheme, e.g. "file://"
    TVFS_TI_BAD_NAME_CHARS = 2, // characters names may not hold
    TVFS_TI_DATA_SUFFIX = 3,    // file-name suffix wanted on the engine's data files, or empty
    TVFS_TI_DISPLAY_NAME = 4,   // display name of this connected file system
    TVFS_TI_REAL_ROOT = 23,     // resolved root
    TVFS_TI_VOLUME_ID = 24,     // identity of the volume that holds the root: the same text for
                                // two roots on one volume; empty when not known
    TVFS_TI_VOLUME_NAME = 25,   // display name of that volume (for a local disk its mount
                                // point), or empty
    TVFS_TI_USER_LABEL = 133,   // label of the user field
    TVFS_TI_PASSWORD_LABEL = 134,
};

// Open modes of OpenFile.
enum TvFsOpenMode : uint32_t {
    TVFS_OPEN_READ = 1,       // existing file, read only
    TVFS_OPEN_WRITE = 2,      // create or truncate, write only
    TVFS_OPEN_READ_WRITE = 3, // existing file or a new one, read and write, not truncated
};

// Network locality of a connected file system.
enum : int {
    TVFS_LOC_REMOTE = 0,
    TVFS_LOC_LAN = 1,
    TVFS_LOC_THIS_COMPUTER = 3,
};

// Record of the last file a file system read (used after a copy).
struct TvLastReadFile {
    uint8_t m_bValid = 0;
    int64_t m_nSize = 0;
    int64_t m_nFileTime = 0; // modification time, seconds since 1970
    uint32_t m_nStamp = 0;   // MakeFileStamp of a local file (0: not known)
    uint8_t m_bDigest = 0;   // m_nDigest holds the digest of every byte read (TvByteDigest)
    uint64_t m_nDigest = 0;
};

// Size of the blocks of a block-level delta copy and the smallest file for it.
constexpr int kTvDeltaBlockSize = 262144;
constexpr int64_t kTvDeltaMinFileSize = 262144;

// ============================================================ TvFileSys
class TvFileSys {
public:
    TvFileSys() = default;
    TvFileSys(const TvFileSys&) = delete;
    TvFileSys& operator=(const TvFileSys&) = delete;
    virtual ~TvFileSys();

    // -------------------------------------------------- class level
    // A new, unconnected object of the same class (caller owns it).
    virtual TvFileSys* NewInstance() const = 0;
    // The URL test of the prototype registry. Default: the URL begins with the
    // scheme of type-information item 1, ignoring case.
    virtual bool AcceptsUrl(const CWideString& url) const;
    virtual int GetCapability(int id) const = 0;
    virtual CWideString GetTypeInfo(int item) const = 0;
    // Splits a URL into its server part and its path.
    virtual bool BreakURL(const CWideString& url, CWideString& server, CWideString& path, CWideString& err);
    // The URL scheme text of this object (default: type-information item 1).
    virtual CWideString MakeUrl() const;
    // The URL of the connection (scheme and host).
    virtual CWideString GetUrl() const;

    // -------------------------------------------------- connection
    virtual bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind,
                         CWideString& err) = 0;
    // Base: clears the connected state and the network locality.
    virtual void Disconnect(bool bFull);
    // Short disconnect (used after a failed reconnect): Disconnect(false).
    virtual void Close();
    virtual bool IsConnected() const { return m_bConnected; }
    virtual bool SetRootDir(const CWideString& path, int& errKind, CWideString& err);
    const CWideString& GetRootDir() const { return m_sRootDir; }
    const TvConnectInfo& GetConnectInfo() const { return m_ConnectInfo; }
    // Stores the callback (borrowed, may be null); returns the previous one.
    virtual ICopyProgress* SetProgressCallback(ICopyProgress* p);
    ICopyProgress* GetProgressCallback() const { return m_pProgress; }
    // Passes a message to the progress callback, if any.
    void Message(int level, const CWideString& text);

    // -------------------------------------------------- paths
    // Root folder joined with the path, '\' made '/', one trailing separator
    // removed, "" giving the root. A path without a leading separator is
    // refused (false, kind 5).
    virtual bool GetFullPath(const CWideString& path, CWideString& full, int& errKind,
                             CWideString& err) const;
    // Base path conversion (the side root in messages).
    virtual CWideString BasePath(const CWideString& path) const;
    // Second conversion (folder text of the scan progress); default BasePath.
    virtual CWideString ProgressPath(const CWideString& path) const;
    // Full display path of an entry or folder; default BasePath.
    virtual CWideString DisplayPath(const CWideString& path) const;

    // -------------------------------------------------- change monitoring
    virtual bool StartMonitoring(const CWideString& path, int& errKind, CWideString& err);
    // Waits for changes; returns at least once a second. Base: sleeps briefly, true.
    virtual bool WaitForChanges(int& errKind, CWideString& err);
    // Hands over (appends) what the monitor collected.
    virtual bool GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err);
    virtual void StopMonitoring();

    // -------------------------------------------------- listing and information
    virtual bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err);
    // Stored attribute bits (the bits a file system cannot show by itself,
    // kept aside by the back-end) may be left out of a listing for entries
    // whose inode changed before nBefore (seconds since 1970, the file
    // system's clock): such entries come with m_bStoredUnread and their
    // change time, and their word holds only what the listing saw. The
    // caller completes them: from a record of the bits that is known to
    // hold for an entry not changed since that time (WithRecordedStoredBits),
    // or by ReadStoredBits. 0 (and the default): every entry's bits are
    // read. True when listings may leave bits out from now on.
    virtual bool SetStoredBitsCutoff(int64_t nBefore) {
        (void)nBefore;
        return false;
    }
    // The clock the file system stamps change times with (0: unknown).
    virtual int64_t FileSystemNow() const { return 0; }
    // The file system's own clock in nanoseconds since 1970 (0: unknown).
    // With a folder, as the time of a file created there now (and removed
    // again), and nStepNs the step of the file times it keeps: 1 for less than
    // a second, 1e9 for whole seconds, 2e9 for two; 0 where the file could not
    // be made or the folder is empty (the clock is then the one change times
    // are stamped with, where known).
    virtual int64_t ProbeClockNs(const CWideString& folder, uint32_t& nStepNs) {
        (void)folder;
        nStepNs = 0;
        return 0;
    }
    // The same in milliseconds: the clock that gives new files their birth time (0: unknown).
    virtual int64_t FileSystemNowMs() const { return 0; }
    virtual uint32_t WithRecordedStoredBits(const FsItemInfo& entry, uint32_t nRecorded) const {
        (void)nRecorded;
        return entry.m_nAttributes;
    }
    virtual bool ReadStoredBits(const CWideString& path, FsItemInfo& entry, int& errKind, CWideString& err) {
        (void)path;
        (void)errKind;
        (void)err;
        entry.m_bStoredUnread = 0;
        return true;
    }
    // True with bNotFound set when the path does not exist.
    virtual bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                         CWideString& err);
    virtual bool IsFile(const CWideString& path, bool& bExists, int& errKind, CWideString& err);
    virtual bool IsFolder(const CWideString& path, bool& bExists, int& errKind, CWideString& err);
    virtual bool GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree,
                                  int64_t& nTotal, int& errKind, CWideString& err);

    // -------------------------------------------------- links
    virtual bool GetLinkInfo(const CWideString& path, CWideString& target, int& errKind, CWideString& err);
    virtual bool GetLinkTargetInfo(const CWideString& path, FsItemInfo& info, int& errKind, CWideString& err);
    virtual bool CreateLink(const CWideString& path, bool bFolder, const CWideString& target, int& errKind,
                            CWideString& err);

    // -------------------------------------------------- times and attributes
    virtual bool GetAttributes(const CWideString& path, uint32_t& attrs, int& errKind, CWideString& err);
    // Bit 0x02 hidden; 128 (0x80) means normal.
    virtual bool SetAttributes(const CWideString& path, uint32_t attrs, int& errKind, CWideString& err);
    virtual bool GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime,
                                int& errKind, CWideString& err);
    // A creation time of 0 is left alone.
    virtual bool SetFileModTime(const CWideString& path, uint32_t modTime, uint32_t createTime, int& errKind,
                                CWideString& err);
    virtual bool GetFolderModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime,
                                  int& errKind, CWideString& err);
    virtual bool SetFolderModTime(const CWideString& path, uint32_t modTime, uint32_t createTime,
                                  int& errKind, CWideString& err);

    // -------------------------------------------------- files and folders
    // Sets m_bFolderExisted when the folder was there already (success).
    virtual bool MakeFolder(const CWideString& path, int& errKind, CWideString& err);
    // Where the side keeps owners: whether the item at path may hold the
    // job's bookkeeping. 1: it is the running user's own (or the side keeps
    // no owners: the base); 0: nothing stands there; -1 refused: a link, an
    // item of another user, neither file nor folder, or (without
    // TVFS_OWN_NAMES_OK) a file with other names (hard links), err naming
    // the path and its owner; -2: the question failed. Nothing is followed.
    // An own folder open to other users is closed through a descriptor of
    // the folder itself, never its path: TVFS_OWN_CLOSE the folder,
    // TVFS_OWN_CLOSE_TREE also the folders below it (an older version made
    // them open).
    enum { TVFS_OWN_CLOSE = 1, TVFS_OWN_CLOSE_TREE = 2, TVFS_OWN_NAMES_OK = 4 };
    virtual int CheckOwnItem(const CWideString& path, int nFlags, int& errKind, CWideString& err);
    // A descriptor of the local folder at path, for the job's bookkeeping
    // files in it: opened without following a link on the way or at its
    // name, and only when it is a folder of the running user. The caller
    // closes it. -1 when it is not (errKind and err set), or (base, without
    // an error) where the side has no local folders.
    virtual int OpenOwnFolder(const CWideString& path, int& errKind, CWideString& err);
    // Where the side keeps owners: every link on the way to the root folder
    // is the running user's or the system's. False with err naming the link
    // and its owner when one is another user's (who could point it
    // elsewhere at any time). Base: true.
    virtual bool CheckRootLinks(int& errKind, CWideString& err);
    virtual bool DeleteFile(const CWideString& path, int& errKind, CWideString& err);
    virtual bool DeleteFolder(const CWideString& path, int& errKind, CWideString& err);
    // DeleteFolder when bFolder, else DeleteFile.
    virtual bool DeleteItem(const CWideString& path, bool bFolder, int& errKind, CWideString& err);
    // Moves or renames a file, replacing an existing destination file.
    virtual bool MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err);
    virtual bool MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err);
    // Moves the folder itself without its content (a back-end whose folders
    // are markers: the marker is made at the target and the old one removed).
    virtual bool MoveFolderItselfOnly(const CWideString& from, const CWideString& to, int& errKind,
                                      CWideString& err);
    // Whether an item of that kind may be created at the path (names the
    // back-end cannot store are refused before any request).
    virtual bool CheckNewPath(const CWideString& path, bool bIsFolder, int& errKind, CWideString& err);
    // Moves or renames a file, never replacing anything at the destination:
    // false (kind 5, "... exists") when something stands there. A rename
    // that changes only the letter case of the same file is allowed. Base:
    // a check, then MoveFile (not atomic).
    virtual bool MoveFileNoReplace(const CWideString& from, const CWideString& to, int& errKind,
                                   CWideString& err);
    // A second name for a file (a hard link), never replacing anything at
    // the destination; kind 5 with bExists set when something stands there.
    // Base: not implemented.
    virtual bool LinkFile(const CWideString& from, const CWideString& to, bool& bExists, int& errKind,
                          CWideString& err);
    // The number of names (hard links) the file has; 1 where that cannot be
    // told. Base: a local side's file through its full path.
    virtual uint32_t GetNameCount(const CWideString& path);
    // With b false, operations refuse a path whose folders below the root
    // pass through a symbolic link (the last name itself is handled as
    // each operation says). Base: nothing.
    virtual void SetFollowLinksInPaths(bool b) { (void)b; }
    // With b true, change monitoring started afterwards also watches the
    // folders that folder links below the monitored folder lead to (a job
    // that enters folder links syncs them). Base: nothing.
    virtual void SetMonitorFollowsFolderLinks(bool b) { (void)b; }
    // While on, the folders that operations open on the way to their items
    // stay open for the operations that follow (the items of one folder
    // executed one after the other); off closes them, so that what others
    // changed meanwhile is seen again. Base: nothing.
    virtual void KeepFoldersOpen(bool b) { (void)b; }
    // A job's worker connects file systems of its own to the job's sides:
    // with this one connected to the same root as other (the job's), it
    // works in the very root folder that other works in, not in whatever
    // the root's path names by now. False (err, kind) when the folder at
    // the path is no longer that one. Base: nothing (true).
    virtual bool ShareRootFolder(const TvFileSys& other, int& errKind, CWideString& err) {
        (void)other, (void)errKind, (void)err;
        return true;
    }
    // Whether the root folder is still the one this object works in: false
    // (err, kind; the object no longer counts as connected) once it was
    // moved or replaced. A local file system looks at the root's path only
    // now and then (once per folder); callers ask before a batch of renames
    // or before writing a file by its full path. Base: true.
    virtual bool ConfirmRoot(int& errKind, CWideString& err) {
        (void)errKind, (void)err;
        return true;
    }
    // Moves a local file (absolute local path) into the side.
    virtual bool MoveFileFromLocal(const CWideString& localFile, const CWideString& path, int& errKind,
                                   CWideString& err);
    // Copies a file inside this file system.
    virtual bool CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err);
    // Creates a folder as a copy of a local source folder (its display path).
    virtual bool CopyFolderFromLocal(const CWideString& srcDisplayPath, const CWideString& path,
                                     uint32_t attrs, int& errKind, CWideString& err);
    // Copies a file of the side to a local file. nSize: in, the size the
    // caller expects (its listing's, 0 included; negative: not known), which a
    // network back-end takes as the most the copy may bring (a negative size
    // sets no limit); out, the bytes copied.
    virtual bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize,
                              int& errKind, CWideString& err);
    // Copies a local file to the side, replacing an existing file.
    virtual bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                            CWideString& err);
    // Apply the side's encryption, compression and (files) ACL preferences to
    // a written item, appending what was done to log. Base: nothing, true.
    // srcPath: the source's own file on pSource (empty: the same path; a copy
    // still under a temporary name gives its source's here).
    virtual bool ApplyFileOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                                  CWideString& err, const CWideString& srcPath = CWideString());
    virtual bool ApplyFolderOptions(const CWideString& path, TvFileSys* pSource, CWideString& log,
                                    int& errKind, CWideString& err);

    // -------------------------------------------------- checksums, security, EFS
    // MD5 of a whole file and its length.
    virtual bool GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLength, int& errKind,
                            CWideString& err);
    // Security descriptor in its text form (empty when the item has none).
    virtual bool GetSecurityDescr(const CWideString& path, CWideString& sd, int& errKind, CWideString& err);
    virtual bool SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind,
                                  CWideString& err);
    virtual bool EncryptFile(const CWideString& path, int& errKind, CWideString& err);
    virtual bool DecryptFile(const CWideString& path, int& errKind, CWideString& err);
    virtual bool SetCompression(const CWideString& path, bool bCompress, int& errKind, CWideString& err);

    // -------------------------------------------------- descriptor I/O
    // dix is a small descriptor index (0..kMaxOpenFiles-1) the caller chooses.
    static constexpr int kMaxOpenFiles = 16;
    virtual bool OpenFile(int dix, const CWideString& path, uint32_t mode, int& errKind, CWideString& err);
    // Opens a file that another program holds locked (records the locked-file state).
    virtual bool OpenLockedFile(int dix, const CWideString& path, int& errKind, CWideString& err);
    virtual bool CloseFile(int dix, int& errKind, CWideString& err);
    virtual bool GetFilePosn(int dix, int64_t& pos, int& errKind, CWideString& err);
    virtual bool SetFilePosn(int dix, int64_t pos, int& errKind, CWideString& err);
    virtual bool SetFileLength(int dix, int64_t length, int& errKind, CWideString& err);
    // Reads up to len bytes at the current position (nRead 0 at the end).
    virtual bool ReadBuf(int dix, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err);
    virtual bool ReadBufPosn(int dix, void* buf, uint32_t len, int64_t pos, uint32_t& nRead, int& errKind,
                             CWideString& err);
    // Reads up to len bytes and returns only their MD5 (Md5Crc text form).
    virtual bool ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                            CWideString& err);
    virtual bool ReadBufCrcPosn(int dix, uint32_t len, int64_t pos, uint32_t& nRead, CNarrowString& crc,
                                int& errKind, CWideString& err);
    virtual bool WriteBuf(int dix, const void* buf, uint32_t len, int& errKind, CWideString& err);
    virtual bool WriteBufPosn(int dix, const void* buf, uint32_t len, int64_t pos, int& errKind,
                              CWideString& err);

    // -------------------------------------------------- peer protocol, servers
    virtual bool SendRecvTvtpReq(CRsp& rsp, const char* verb, const CWideString& path, int& errKind,
                                 CWideString& err);
    virtual bool ListServers(const TvConnectInfo& ci, CListT<ServerEntry>& servers, ICopyProgress* pProgress,
                             CWideString& err);

    // -------------------------------------------------- members callers use
    TvConnectInfo m_ConnectInfo;          // copy of the connection settings
    ICopyProgress* m_pProgress = nullptr; // borrowed, may be null
    CWideString m_sUrlPrefix;             // scheme prefix and host
    CWideString m_sRootDir;               // root folder
    CWideString m_sCurRootDir;            // current root folder
    bool m_bConnected = false;
    CWideString m_sServerInfo;
    int m_nNetworkLocality = TVFS_LOC_REMOTE;
    uint8_t m_bFolderExisted = 0;      // set by MakeFolder
    int32_t m_nReconnectCount = 0;     // reconnects made through this object
    uint8_t m_bSupportsSetModTime = 0; // set at connect
    uint8_t m_nStampMode = 0;          // fast pre-analyse stamp mode (set by the job)
    // Set by a run that only reads (an analysis): reads repair nothing on
    // the side, such as a missing folder marker.
    uint8_t m_bOnlyReads = 0;
    TvLastReadFile m_LastRead;         // the last file this file system read
    // Locked-file state.
    CWideString m_sLockedFilePath;
    int64_t m_nLockedFileLength = 0;
    CZorTime m_tLockedFileModTime;
    uint8_t m_bUsedLockedCopy = 0;

protected:
    // "<op> not implemented", kind 5, false.
    static bool NotImplemented(const char* op, int& errKind, CWideString& err);
};

// ============================================================ registry and URLs
// Registers a prototype (the registry owns it). Later registrations are
// tried after earlier ones. The library's own back-ends are registered on
// first use of the registry.
void RegisterFsPrototype(std::unique_ptr<TvFileSys> proto);
// Removes and deletes a prototype registered by RegisterFsPrototype (tests).
void UnregisterFsPrototype(const TvFileSys* proto);
// The first registered prototype whose URL test accepts the URL, or null.
TvFileSys* FindFsForUrl(const CWideString& url);
// A new file system of that prototype's class (caller owns it), or null.
TvFileSys* NewFsForUrl(const CWideString& url);
// As above; on null, err says why (unknown scheme, relative path, empty URL), kind 5.
TvFileSys* NewFsForUrl(const CWideString& url, int& errKind, CWideString& err);

// The internal URL form of a path or URL as typed:
//   "/home/me"            -> "file:///home/me"
//   "\\server\share\dir"  -> "file://server/share/dir"
//   "FILE:///x", "TVTP://h/x" -> the scheme lower-cased, the rest kept
// A local path becomes a file URL with every '%' written "%25" (nothing else
// is encoded), so that UrlToLocalPath (zor-path.h, percent-decoding) gives
// the path back exactly. Other texts are returned unchanged.
CWideString NormalizeUrl(const CWideString& url);
// UrlToLocalPath (URL) -> the local path of a local or share URL: see zor-path.h.
