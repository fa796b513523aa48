// Shared copy logic: TvFileCopy with its block-level delta, folder moves,
// recursive folder creation and deletion, local file information.
#include "TvFileCopy.h"

#include "TvByteDigest.h"

#include "WinFileSys.h"
#include "zor-error.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <openssl/evp.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

constexpr uint32_t kLocalChunk = 1024 * 1024;
// Descriptor indexes used on the two file systems (distinct, so that one
// object may be both source and destination).
constexpr int kDixSrc = 13;
constexpr int kDixDst = 14;

thread_local TvCopyStats t_stats;

// ------------------------------------------------------------ small helpers
bool SysFail(int e, const CWideString& what, int& errKind, CWideString& err) {
    int kind = FSE_GENERAL;
    CWideString text = MakeErrorMessage(e, kind, true);
    errKind = kind;
    err += what;
    err += u": ";
    err += text;
    return false;
}

// The file system as a local one whose paths have a native form, or null.
WinFileSys* NativeOf(TvFileSys* fs) {
    WinFileSys* w = dynamic_cast<WinFileSys*>(fs);
    return w && fs->GetCapability(TVFS_CAP_LOCAL) ? w : nullptr;
}

bool HasBlockIo(TvFileSys* fs) {
    return fs->GetCapability(TVFS_CAP_BLOCK_IO) != 0;
}

bool IsRootRelative(const CWideString& p) {
    return !p.IsEmpty() && (p[0] == u'/' || p[0] == u'\\');
}

// A temporary name beside a path: the path's folder + "/" + 32 random hex
// digits + "._tvtmp". Others may write that folder: a name they cannot know
// beforehand cannot be taken from the copy. What a killed run left there is
// still known by its form and removed by the next run's listing.
CWideString TempSibling(const CWideString& path) {
    CWideString folder = GetUrlPathFolder(path);
    return folder + u"/" + Utf8ToWide(NewRandomHex32()) + u"._tvtmp";
}

CWideString ChangedWhileCopied(TvFileSys* fsS, const CWideString& src) {
    return u"Source file changed while copied: " + fsS->DisplayPath(src);
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a local source is still the file it was when it was opened (fd:
// the open source): the same identity, size, modification time and inode
// change time. A write with the old time put back (an archive tool, an
// editor that keeps times) still moves the change time.
bool LocalSourceUnchanged(int fd, const struct stat& was) {
    struct stat now;
    return fstat(fd, &now) == 0 && now.st_dev == was.st_dev && now.st_ino == was.st_ino &&
           now.st_size == was.st_size && SameTime(now.st_mtim, was.st_mtim) && SameTime(now.st_ctim, was.st_ctim);
}

// Whether the source's name still names the file that was read (was: that
// file as it was opened): another file put in its place meanwhile is not
// the version the copy holds. The name is followed as the open followed it.
bool LocalNameStillNames(WinFileSys* fs, const CWideString& src, const struct stat& was) {
    int dirFd = AT_FDCWD, k = 0;
    CNarrowString native;
    CWideString e;
    struct stat now;
    return fs->NativeAt(src, dirFd, native, k, e) && fstatat(dirFd, native.GetString(), &now, 0) == 0 &&
           now.st_dev == was.st_dev && now.st_ino == was.st_ino;
}

// The same for a source reached through its file system (to the second).
bool ListedSourceUnchanged(TvFileSys* fsS, const CWideString& src, int64_t nSize, int64_t nModTime,
                           bool& bChanged, int& errKind, CWideString& err) {
    FsItemInfo info;
    bool bNotFound = false;
    if (!fsS->GetInfo(src, info, bNotFound, errKind, err)) return false;
    if (!bNotFound && !info.IsFolder() && info.m_nSize == nSize && (int64_t)info.m_nModTime == nModTime)
        return true;
    bChanged = true;
    errKind = FSE_GENERAL;
    err += ChangedWhileCopied(fsS, src);
    return false;
}

class Md5 {
public:
    Md5() : m_ctx(EVP_MD_CTX_new()) { m_bOk = m_ctx && EVP_DigestInit_ex(m_ctx, EVP_md5(), nullptr) == 1; }
    ~Md5() { EVP_MD_CTX_free(m_ctx); }
    void Update(const void* p, size_t n) {
        if (m_bOk && n) m_bOk = EVP_DigestUpdate(m_ctx, p, n) == 1;
    }
    bool Final(Md5Crc& crc) {
        unsigned n = 0;
        return m_bOk && EVP_DigestFinal_ex(m_ctx, crc.m_bytes, &n) == 1 && n == 16;
    }
    static CNarrowString Text(const void* p, size_t n) {
        Md5 m;
        m.Update(p, n);
        Md5Crc c;
        return m.Final(c) ? c.ToText() : CNarrowString("-md5-failed-");
    }

private:
    EVP_MD_CTX* m_ctx;
    bool m_bOk;
};

bool ReadFull(int fd, char* buf, uint32_t len, uint32_t& nRead) {
    nRead = 0;
    while (nRead < len) {
        ssize_t n = ::read(fd, buf + nRead, len - nRead);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        nRead += (uint32_t)n;
    }
    return true;
}

bool PreadFull(int fd, char* buf, uint32_t len, int64_t pos, uint32_t& nRead) {
    nRead = 0;
    while (nRead < len) {
        ssize_t n = ::pread(fd, buf + nRead, len - nRead, (off_t)(pos + nRead));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        nRead += (uint32_t)n;
    }
    return true;
}

bool WriteFull(int fd, const char* buf, uint32_t len) {
    uint32_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, buf + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += (uint32_t)n;
    }
    return true;
}

struct Fd {
    int fd = -1;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// ------------------------------------------------------------ progress
struct Progress {
    ICopyProgress* p = nullptr;
    bool bUpload = false;
    int64_t nSavedTotal = -1;
    int64_t nDone = 0;

    Progress(ICopyProgress* prog, bool bUp, int64_t total) : p(prog), bUpload(bUp) {
        if (p) {
            nSavedTotal = p->m_nTotal;
            p->m_nTotal = total;
        }
    }
    ~Progress() {
        if (p) p->m_nTotal = nSavedTotal;
    }
    // After each chunk: the stop request, then the report.
    bool Step(int64_t n, int& errKind, CWideString& err) {
        nDone += n;
        if (ICopyProgress::Stopped(p)) {
            SetStoppedByUser(errKind, err);
            return false;
        }
        if (!ICopyProgress::Report(p, bUpload, nDone, errKind, err)) {
            if (errKind == FSE_NONE) SetStoppedByUser(errKind, err);
            return false;
        }
        return true;
    }
};

// ------------------------------------------------------------ readers
struct SourceInfo;

class Reader {
public:
    virtual ~Reader() = default;
    virtual bool Read(char* buf, uint32_t len, uint32_t& n, int& errKind, CWideString& err) = 0;
    // After the last read: false when the source was written to meanwhile.
    virtual bool Unchanged(TvFileSys* fsS, const CWideString& src, const SourceInfo& si, int& errKind,
                           CWideString& err) = 0;
};

class NativeReader : public Reader {
public:
    Fd m_fd;
    CWideString m_sDisplay;
    CNarrowString m_sTempToDelete; // a downloaded copy of a remote source
    ~NativeReader() override {
        m_fd.Close();
        if (!m_sTempToDelete.IsEmpty()) unlink(m_sTempToDelete.GetString());
    }
    struct stat m_Opened {}; // the source as it was opened
    bool Read(char* buf, uint32_t len, uint32_t& n, int& errKind, CWideString& err) override {
        if (!ReadFull(m_fd.fd, buf, len, n))
            return SysFail(errno, u"Cannot read file " + m_sDisplay, errKind, err);
        return true;
    }
    bool Unchanged(TvFileSys* fsS, const CWideString& src, const SourceInfo&, int& errKind,
                   CWideString& err) override {
        // A downloaded copy is a whole version of the source (of the listed
        // size, checked when it arrived).
        if (!m_sTempToDelete.IsEmpty()) return true;
        WinFileSys* nS = NativeOf(fsS);
        if (LocalSourceUnchanged(m_fd.fd, m_Opened) && (!nS || LocalNameStillNames(nS, src, m_Opened))) return true;
        errKind = FSE_GENERAL;
        err += ChangedWhileCopied(fsS, src);
        return false;
    }
};

class FsReader : public Reader {
public:
    TvFileSys* m_fs = nullptr;
    bool m_bOpen = false;
    ~FsReader() override {
        if (m_bOpen) {
            int k = 0;
            CWideString e;
            m_fs->CloseFile(kDixSrc, k, e);
        }
    }
    bool Read(char* buf, uint32_t len, uint32_t& n, int& errKind, CWideString& err) override {
        return m_fs->ReadBuf(kDixSrc, buf, len, n, errKind, err);
    }
    bool Unchanged(TvFileSys* fsS, const CWideString& src, const SourceInfo& si, int& errKind,
                   CWideString& err) override;
};

// A local temporary file for data that must pass through this computer.
bool MakeLocalTemp(CNarrowString& native, int& errKind, CWideString& err) {
    const char* dir = getenv("TMPDIR");
    if (!dir || dir[0] != '/') dir = "/tmp";
    CWideString name;
    if (!ZorGetTempFileName(ZorWidePath(dir), u"tvcp", name, errKind, err)) return false;
    native = ZorNativePath(name);
    return true;
}

struct SourceInfo {
    int64_t nSize = -1;
    int64_t nModTime = 0;
    long nModTimeNs = 0; // the nanoseconds of a local source's time
    uint32_t nStamp = 0; // MakeFileStamp of a local source (0: unknown)
    uint32_t nMode = 0; // permission bits of a local source (0: unknown)
    uint32_t nUid = 0, nGid = 0; // owner and group of a local source (with nMode)
    bool bChanged = false; // the source was written to during the copy
    int64_t nListedTime = 0; // the modification time the caller listed (0: not known)
    bool bDigest = false;    // nDigest is the digest of every byte the copy read
    uint64_t nDigest = 0;
};

bool FsReader::Unchanged(TvFileSys* fsS, const CWideString& src, const SourceInfo& si, int& errKind,
                         CWideString& err) {
    bool bChanged = false;
    return ListedSourceUnchanged(fsS, src, si.nSize, si.nModTime, bChanged, errKind, err);
}

// Opens the source for reading: a local file directly, a file system with
// descriptor I/O through it, any other through a downloaded local copy.
bool OpenReader(TvFileSys* fsS, const CWideString& src, std::unique_ptr<Reader>& reader, SourceInfo& si,
                int& errKind, CWideString& err) {
    WinFileSys* nS = NativeOf(fsS);
    CNarrowString native;
    int dirFd = AT_FDCWD;
    auto nr = std::make_unique<NativeReader>();
    if (nS) {
        // Through another user's link only to what that user could read.
        nr->m_fd.fd = nS->OpenToRead(src, false, errKind, err);
        if (nr->m_fd.fd < 0) return false;
        nr->m_sDisplay = fsS->DisplayPath(src);
    } else if (HasBlockIo(fsS)) {
        FsItemInfo info;
        bool bNotFound = false;
        if (!fsS->GetInfo(src, info, bNotFound, errKind, err)) return false;
        if (bNotFound) {
            errKind = FSE_NOT_FOUND;
            err += u"Source file not found: " + fsS->DisplayPath(src);
            return false;
        }
        if (info.IsFolder()) {
            errKind = FSE_GENERAL;
            err += u"Source is a folder: " + fsS->DisplayPath(src);
            return false;
        }
        si.nSize = info.m_nSize;
        si.nModTime = info.m_nModTime;
        auto fr = std::make_unique<FsReader>();
        fr->m_fs = fsS;
        if (!fsS->OpenFile(kDixSrc, src, TVFS_OPEN_READ, errKind, err)) return false;
        fr->m_bOpen = true;
        reader = std::move(fr);
        return true;
    } else {
        if (!MakeLocalTemp(native, errKind, err)) return false;
        nr->m_sTempToDelete = native;
        int64_t n = si.nSize; // the size the caller expects: a back-end may fetch large files in pieces
        if (!fsS->DownloadFile(src, ZorWidePath(native), n, errKind, err)) return false;
        nr->m_sDisplay = fsS->DisplayPath(src);
        // A download is one whole version of the source; one of another size
        // or (where the back-end's answer names it) time than the caller
        // listed is not the listed version.
        const TvLastReadFile& got = fsS->m_LastRead;
        if ((si.nSize >= 0 && n != si.nSize) ||
            (si.nListedTime > 0 && got.m_bValid && got.m_nFileTime > 0 && got.m_nFileTime != si.nListedTime)) {
            errKind = FSE_GENERAL;
            err += ChangedWhileCopied(fsS, src);
            return false;
        }
    }
    // Not blocking: a named pipe would wait for a writer forever.
    if (nr->m_fd.fd < 0) nr->m_fd.fd = ::openat(dirFd, native.GetString(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (nr->m_fd.fd < 0) return SysFail(errno, u"Cannot open file to read: " + nr->m_sDisplay, errKind, err);
    struct stat st;
    if (fstat(nr->m_fd.fd, &st) != 0)
        return SysFail(errno, u"Cannot read file " + nr->m_sDisplay, errKind, err);
    if (S_ISDIR(st.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"Source is a folder: " + nr->m_sDisplay;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"Source is not a regular file: " + nr->m_sDisplay;
        return false;
    }
    si.nSize = st.st_size;
    nr->m_Opened = st;
    if (nS) {
        si.nModTime = st.st_mtim.tv_sec;
        si.nModTimeNs = st.st_mtim.tv_nsec;
        si.nStamp = MakeFileStamp(st.st_ino, (uint32_t)st.st_mtim.tv_nsec);
        si.nMode = st.st_mode & 07777;
        si.nUid = st.st_uid;
        si.nGid = st.st_gid;
    } else if (fsS->m_LastRead.m_bValid) {
        si.nModTime = fsS->m_LastRead.m_nFileTime;
    }
    reader = std::move(nr);
    return true;
}

// ------------------------------------------------------------ writers
class Writer {
public:
    virtual ~Writer() = default;
    virtual bool Write(const char* buf, uint32_t len, int& errKind, CWideString& err) = 0;
    // Makes the written file complete and durable.
    virtual bool Finish(int& errKind, CWideString& err) = 0;
    // Removes what was written (after a failure).
    virtual void Abort() = 0;
};

class NativeWriter : public Writer {
public:
    Fd m_fd;
    int m_nDirFd = AT_FDCWD; // the folder m_sPath is relative to
    CNarrowString m_sPath;
    CWideString m_sDisplay;
    bool m_bStampTime = false; // the file takes m_nStampTime (any, 1970 or before too) when complete
    int64_t m_nStampTime = 0;
    long m_nStampNs = 0;
    WinFileSys* m_pBatch = nullptr; // flushes the file with others later, where it can
    uint32_t m_nFinalMode = 0;      // the permissions the file takes when complete
    uint32_t m_nSrcUid = 0, m_nSrcGid = 0; // the source's owner and group (with a source's mode)
    // mode: the source's permissions (0: those of a new file), its owner and group.
    bool Open(uint32_t mode, int& errKind, CWideString& err, uint32_t srcUid = 0, uint32_t srcGid = 0) {
        // The file is its owner's alone until it is complete: a reader let in
        // earlier would keep its descriptor to everything written later. The
        // name may be one that another user who can write the folder knows
        // (a temporary's): what stands there is removed, never written through.
        m_fd.fd = ZorCreateNewFileAt(m_nDirFd, m_sPath.GetString(), O_WRONLY | O_CLOEXEC, 0600);
        if (m_fd.fd < 0) return SysFail(errno, u"Cannot open file to write: " + m_sDisplay, errKind, err);
        m_nFinalMode = mode ? mode : ZorNewFileMode();
        m_nSrcUid = mode ? srcUid : (uint32_t)geteuid();
        m_nSrcGid = mode ? srcGid : (uint32_t)getegid();
        return true;
    }
    bool Write(const char* buf, uint32_t len, int& errKind, CWideString& err) override {
        if (!WriteFull(m_fd.fd, buf, len))
            return SysFail(errno, u"Cannot write file " + m_sDisplay, errKind, err);
        return true;
    }
    bool Finish(int& errKind, CWideString& err) override {
        // All its bytes are written: the file takes its permissions now,
        // through its descriptor, before it gets any other name. A file
        // system that keeps none refuses and the file stays as it is.
        bool bCleared = false;
        const unsigned mode = ZorModeOfCopy(m_nFinalMode, m_nSrcUid, m_nSrcGid, m_fd.fd, bCleared);
        if (bCleared) t_stats.bSetIdCleared = true;
        (void)fchmod(m_fd.fd, mode);
        if (m_bStampTime) {
            // The access time is given too (a user-space file system may
            // take one left out for a request to stamp both with now).
            struct timespec ts[2] = {{0, 0}, {(time_t)m_nStampTime, m_nStampNs}};
            clock_gettime(CLOCK_REALTIME, &ts[0]);
            if (futimens(m_fd.fd, ts) != 0)
                return SysFail(errno, u"Cannot set modification time of " + m_sDisplay, errKind, err);
        }
        if (!(m_pBatch && m_pBatch->DeferFlush(m_fd.fd, m_nDirFd, m_sPath)) && fsync(m_fd.fd) != 0)
            return SysFail(errno, u"Cannot flush file " + m_sDisplay, errKind, err);
        int fd = m_fd.fd;
        m_fd.fd = -1;
        if (::close(fd) != 0) return SysFail(errno, u"Cannot close file " + m_sDisplay, errKind, err);
        return true;
    }
    void Abort() override {
        m_fd.Close();
        unlinkat(m_nDirFd, m_sPath.GetString(), 0);
    }
};

class FsWriter : public Writer {
public:
    TvFileSys* m_fs = nullptr;
    CWideString m_sPath;
    bool m_bOpen = false;
    bool Write(const char* buf, uint32_t len, int& errKind, CWideString& err) override {
        return m_fs->WriteBuf(kDixDst, buf, len, errKind, err);
    }
    bool Finish(int& errKind, CWideString& err) override {
        m_bOpen = false;
        return m_fs->CloseFile(kDixDst, errKind, err);
    }
    void Abort() override {
        int k = 0;
        CWideString e;
        if (m_bOpen) m_fs->CloseFile(kDixDst, k, e);
        m_bOpen = false;
        m_fs->DeleteFile(m_sPath, k, e);
    }
};

// Collects the data in a local temporary file and uploads it at the end.
class UploadWriter : public NativeWriter {
public:
    TvFileSys* m_fs = nullptr;
    CWideString m_sTarget;
    int64_t m_nModTime = 0; // the source's modification time (0: unknown)
    ~UploadWriter() override { unlink(m_sPath.GetString()); }
    bool Finish(int& errKind, CWideString& err) override {
        if (!NativeWriter::Finish(errKind, err)) return false;
        // The upload sends the local file's times: the temporary copy takes
        // the source's modification time, not the time it was written.
        if (m_nModTime > 0) {
            const struct timespec ts[2] = {{(time_t)m_nModTime, 0}, {(time_t)m_nModTime, 0}};
            if (utimensat(AT_FDCWD, m_sPath.GetString(), ts, 0) != 0)
                return SysFail(errno, u"Cannot set the time of the upload copy of " + m_sDisplay, errKind, err);
        }
        return m_fs->UploadFile(ZorWidePath(m_sPath), m_sTarget, errKind, err);
    }
    void Abort() override { m_fd.Close(); }
};

// ------------------------------------------------------------ full copy
// nLimit: the most the source may bring (-1: no limit); a source that
// brings more fails with bOver set, before the excess reaches the target.
bool CopyStream(Reader& r, Writer& w, uint32_t chunk, Progress& prog, int64_t nLimit, int64_t& nCopied,
                bool& bOver, TvByteDigest& digest, int& errKind, CWideString& err) {
    std::unique_ptr<char[]> buf(new char[chunk]);
    nCopied = 0;
    bOver = false;
    digest.Reset();
    for (;;) {
        uint32_t n = 0;
        if (!r.Read(buf.get(), chunk, n, errKind, err)) return false;
        if (n == 0) break;
        if (nLimit >= 0 && (int64_t)n > nLimit - nCopied) {
            bOver = true;
            errKind = FSE_GENERAL;
            return false;
        }
        digest.Update(buf.get(), n);
        if (!w.Write(buf.get(), n, errKind, err)) return false;
        nCopied += n;
        if (!prog.Step(n, errKind, err)) return false;
        if (n < chunk) {
            // A short read is the end for a local file; other readers are asked again.
            if (dynamic_cast<NativeReader*>(&r)) break;
        }
    }
    return true;
}

bool FullCopy(TvFileSys* fsS, const CWideString& src, TvFileSys* fsT, bool bToTemp,
              const CWideString& writePath, int64_t nExpected, ICopyProgress* pProgress, unsigned nFlags,
              const TvBeforeReplace& beforeReplace, int64_t& nCopied, SourceInfo& si, int& errKind,
              CWideString& err) {
    std::unique_ptr<Reader> reader;
    si.nSize = nExpected;
    if (!OpenReader(fsS, src, reader, si, errKind, err)) return false;
    WinFileSys* nS = NativeOf(fsS);
    WinFileSys* nT = NativeOf(fsT);
    // A local source's time is known whatever it is (1970 or before too);
    // another source's where it was told.
    const bool bTimeKnown = nS || si.nModTime > 0;
    // Direct copies go to a temporary name beside the target first.
    CWideString target = bToTemp ? writePath : TempSibling(writePath);
    std::unique_ptr<Writer> writer;
    bool bRename = !bToTemp;
    if (nT) {
        auto w = std::make_unique<NativeWriter>();
        if (!nT->NativeAt(target, w->m_nDirFd, w->m_sPath, errKind, err)) return false;
        w->m_sDisplay = fsT->DisplayPath(target);
        if (nFlags & TVCOPY_SOURCE_TIME) {
            w->m_bStampTime = bTimeKnown;
            w->m_nStampTime = si.nModTime;
            w->m_nStampNs = si.nModTimeNs;
        }
        if (nFlags & TVCOPY_DEFER_FLUSH) w->m_pBatch = nT;
        if (!w->Open(nS ? si.nMode : 0, errKind, err, si.nUid, si.nGid)) return false;
        writer = std::move(w);
    } else if (HasBlockIo(fsT)) {
        auto w = std::make_unique<FsWriter>();
        w->m_fs = fsT;
        w->m_sPath = target;
        if (bRename) {
            int k = 0;
            CWideString e;
            fsT->DeleteFile(target, k, e);
        }
        if (!fsT->OpenFile(kDixDst, target, TVFS_OPEN_WRITE, errKind, err)) return false;
        w->m_bOpen = true;
        writer = std::move(w);
    } else {
        // The back-end's upload replaces the file as a whole.
        auto w = std::make_unique<UploadWriter>();
        w->m_fs = fsT;
        w->m_sTarget = writePath;
        w->m_sDisplay = fsT->DisplayPath(writePath);
        w->m_nModTime = si.nModTime;
        if (!MakeLocalTemp(w->m_sPath, errKind, err)) return false;
        // A local copy on its way stays its owner's alone.
        if (!w->Open(0600, errKind, err)) return false;
        writer = std::move(w);
        bRename = false;
    }
    bool bLocalBoth = nS && nT;
    uint32_t chunk = bLocalBoth ? kLocalChunk : (uint32_t)kTvDeltaBlockSize;
    Progress prog(pProgress, !nT, nExpected >= 0 ? nExpected : si.nSize);
    // A file read in blocks through its file system ends at the size it has
    // now: a server that keeps answering past it does not fill the target.
    const int64_t nLimit = dynamic_cast<FsReader*>(reader.get()) ? si.nSize : -1;
    bool bOver = false;
    TvByteDigest digest;
    bool ok = CopyStream(*reader, *writer, chunk, prog, nLimit, nCopied, bOver, digest, errKind, err);
    if (bOver) err += ChangedWhileCopied(fsS, src);
    if (ok) ok = reader->Unchanged(fsS, src, si, errKind, err);
    if (ok) {
        si.bDigest = true;
        si.nDigest = digest.Value();
    }
    reader.reset(); // closes the source (and drops a downloaded copy)
    if (ok) ok = writer->Finish(errKind, err);
    if (ok && nT && (nFlags & TVCOPY_SOURCE_TIME) && bTimeKnown) t_stats.bTimeSet = true;
    if (ok && bRename) {
        if (nFlags & TVCOPY_NO_REPLACE) {
            ok = fsT->MoveFileNoReplace(target, writePath, errKind, err);
        } else if (beforeReplace && !beforeReplace(errKind, err)) {
            ok = false;
        } else if (nT) {
            CNarrowString a, b;
            ok = nT->NativePath(target, a, errKind, err) && nT->NativePath(writePath, b, errKind, err);
            if (ok && rename(a.GetString(), b.GetString()) != 0)
                ok = SysFail(errno, u"Cannot rename temporary file to " + fsT->DisplayPath(writePath),
                             errKind, err);
        } else {
            ok = fsT->MoveFile(target, writePath, errKind, err);
        }
    }
    if (!ok) writer->Abort();
    return ok;
}

// ------------------------------------------------------------ block-level delta
// A block copy that cannot be done (or goes wrong) says so in err and returns
// false; a stop request returns false with FSE_STOPPED.

// Local source, destination with descriptor I/O: the existing final file is
// copied inside the destination to the write path, then only the differing
// blocks are written over it.
bool DeltaUp(WinFileSys* nS, const CWideString& src, TvFileSys* fsT, const CWideString& writePath,
             const CWideString& finalPath, ICopyProgress* pProgress, int64_t nExpected, int64_t& nCopied,
             SourceInfo& si, int& errKind, CWideString& err) {
    FsItemInfo old;
    bool bNotFound = false;
    if (!fsT->GetInfo(finalPath, old, bNotFound, errKind, err)) return false;
    if (!bNotFound) {
        t_stats.bBaseRead = true;
        t_stats.base = old;
    }
    if (bNotFound || old.IsFolder()) {
        errKind = FSE_GENERAL;
        err += u"no existing file to update";
        return false;
    }
    Fd in;
    in.fd = nS->OpenToRead(src, false, errKind, err); // never waits, follows no other user's link astray
    if (in.fd < 0) return false;
    struct stat st;
    if (fstat(in.fd, &st) != 0)
        return SysFail(errno, u"Cannot read file " + nS->DisplayPath(src), errKind, err);
    if (!S_ISREG(st.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"Source is not a regular file: " + nS->DisplayPath(src);
        return false;
    }
    si.nSize = st.st_size;
    si.nModTime = st.st_mtim.tv_sec;
    if (!fsT->CopyFileFs(finalPath, writePath, errKind, err)) return false;
    bool bOpen = false;
    auto cleanup = [&]() {
        int k = 0;
        CWideString e;
        if (bOpen) fsT->CloseFile(kDixDst, k, e);
        bOpen = false;
        fsT->DeleteFile(writePath, k, e);
    };
    if (!fsT->OpenFile(kDixDst, writePath, TVFS_OPEN_READ_WRITE, errKind, err)) {
        cleanup();
        return false;
    }
    bOpen = true;
    Progress prog(pProgress, true, nExpected >= 0 ? nExpected : si.nSize);
    std::unique_ptr<char[]> buf(new char[kTvDeltaBlockSize]);
    Md5 whole;
    TvByteDigest digest;
    int64_t pos = 0;
    for (;;) {
        uint32_t n = 0;
        if (!ReadFull(in.fd, buf.get(), kTvDeltaBlockSize, n)) {
            SysFail(errno, u"Cannot read file " + nS->DisplayPath(src), errKind, err);
            cleanup();
            return false;
        }
        if (n == 0) break;
        whole.Update(buf.get(), n);
        digest.Update(buf.get(), n);
        bool bSame = false;
        if (pos + n <= old.m_nSize) {
            uint32_t nRemote = 0;
            CNarrowString crc;
            if (!fsT->ReadBufCrcPosn(kDixDst, n, pos, nRemote, crc, errKind, err)) {
                cleanup();
                return false;
            }
            bSame = nRemote == n && crc == Md5::Text(buf.get(), n);
        }
        if (bSame) {
            t_stats.nReused += n;
        } else {
            if (!fsT->WriteBufPosn(kDixDst, buf.get(), n, pos, errKind, err)) {
                cleanup();
                return false;
            }
            t_stats.nTransferred += n;
        }
        pos += n;
        if (!prog.Step(n, errKind, err)) {
            cleanup();
            return false;
        }
        if (n < (uint32_t)kTvDeltaBlockSize) break;
    }
    if (!LocalSourceUnchanged(in.fd, st) || !LocalNameStillNames(nS, src, st)) {
        si.bChanged = true;
        errKind = FSE_GENERAL;
        err += ChangedWhileCopied(nS, src);
        cleanup();
        return false;
    }
    if (!fsT->SetFileLength(kDixDst, pos, errKind, err)) {
        cleanup();
        return false;
    }
    bOpen = false;
    if (!fsT->CloseFile(kDixDst, errKind, err)) {
        cleanup();
        return false;
    }
    // The result must be the source, byte for byte.
    Md5Crc want, got;
    int64_t len = 0;
    if (!whole.Final(want) || !fsT->GetFileCrc(writePath, got, len, errKind, err) || got != want ||
        len != pos) {
        if (errKind == FSE_NONE) errKind = FSE_GENERAL;
        err += u"the updated file does not match the source";
        cleanup();
        return false;
    }
    nCopied = pos;
    si.bDigest = true;
    si.nDigest = digest.Value();
    return true;
}

// Source with descriptor I/O, local destination: the blocks whose checksums
// match the existing final file are read from it; only the others are read
// from the source.
bool DeltaDown(TvFileSys* fsS, const CWideString& src, WinFileSys* nT, const CWideString& writePath,
               const CWideString& finalPath, ICopyProgress* pProgress, int64_t nExpected, int64_t& nCopied,
               SourceInfo& si, int& errKind, CWideString& err) {
    FsItemInfo info;
    bool bNotFound = false;
    if (!fsS->GetInfo(src, info, bNotFound, errKind, err)) return false;
    if (bNotFound || info.IsFolder()) {
        errKind = bNotFound ? FSE_NOT_FOUND : FSE_GENERAL;
        err += u"Source file not found: " + fsS->DisplayPath(src);
        return false;
    }
    si.nSize = info.m_nSize;
    si.nModTime = info.m_nModTime;
    CNarrowString baseNative;
    NativeWriter out;
    if (!nT->NativePath(finalPath, baseNative, errKind, err) ||
        !nT->NativePath(writePath, out.m_sPath, errKind, err))
        return false;
    Fd base;
    base.fd = ::open(baseNative.GetString(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (base.fd < 0 || fstat(base.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errKind = FSE_GENERAL;
        err += u"no existing file to update";
        return false;
    }
    out.m_sDisplay = nT->DisplayPath(writePath);
    if (!out.Open(0, errKind, err)) return false;
    if (!fsS->OpenFile(kDixSrc, src, TVFS_OPEN_READ, errKind, err)) {
        out.Abort();
        return false;
    }
    auto fail = [&]() {
        int k = 0;
        CWideString e;
        fsS->CloseFile(kDixSrc, k, e);
        out.Abort();
        return false;
    };
    Progress prog(pProgress, false, nExpected >= 0 ? nExpected : si.nSize);
    std::unique_ptr<char[]> buf(new char[kTvDeltaBlockSize]);
    Md5 whole;
    int64_t pos = 0;
    for (;;) {
        uint32_t nRemote = 0;
        CNarrowString crc;
        if (!fsS->ReadBufCrcPosn(kDixSrc, kTvDeltaBlockSize, pos, nRemote, crc, errKind, err)) return fail();
        if (nRemote == 0) break;
        if (nRemote > (uint32_t)kTvDeltaBlockSize) {
            // More than asked for would not fit the block buffer.
            errKind = FSE_GENERAL;
            err.AppendFormat(u"the source reported a block of %u bytes, at most %d were asked for", nRemote,
                             kTvDeltaBlockSize);
            return fail();
        }
        uint32_t nLocal = 0;
        bool bSame = PreadFull(base.fd, buf.get(), nRemote, pos, nLocal) && nLocal == nRemote &&
                     Md5::Text(buf.get(), nLocal) == crc;
        if (bSame) {
            t_stats.nReused += nRemote;
        } else {
            uint32_t got = 0;
            if (!fsS->ReadBufPosn(kDixSrc, buf.get(), nRemote, pos, got, errKind, err)) return fail();
            if (got != nRemote) {
                errKind = FSE_GENERAL;
                err += u"the source changed during the copy";
                return fail();
            }
            t_stats.nTransferred += got;
        }
        whole.Update(buf.get(), nRemote);
        if (!out.Write(buf.get(), nRemote, errKind, err)) return fail();
        pos += nRemote;
        if (!prog.Step(nRemote, errKind, err)) return fail();
        if (nRemote < (uint32_t)kTvDeltaBlockSize) break;
    }
    {
        int k = 0;
        CWideString e;
        fsS->CloseFile(kDixSrc, k, e);
    }
    if (!ListedSourceUnchanged(fsS, src, si.nSize, si.nModTime, si.bChanged, errKind, err)) {
        out.Abort();
        return false;
    }
    if (!out.Finish(errKind, err)) {
        out.Abort();
        return false;
    }
    Md5Crc want, got;
    int64_t len = 0;
    if (!whole.Final(got) || !fsS->GetFileCrc(src, want, len, errKind, err) || got != want || len != pos) {
        if (errKind == FSE_NONE) errKind = FSE_GENERAL;
        err += u"the copied file does not match the source";
        out.Abort();
        return false;
    }
    nCopied = pos;
    return true;
}

} // namespace

bool TvFlushCopies(int& errKind, CWideString& err) {
    return WinFileSys::FlushAllWrites(errKind, err);
}

bool TvHasUnflushedCopies() {
    return WinFileSys::HasUnflushedWrites();
}

bool TvFlushNameLater(TvFileSys* fsT, const CWideString& path, int& errKind, CWideString& err) {
    WinFileSys* n = NativeOf(fsT);
    if (!n) return true;
    int dirFd = AT_FDCWD;
    CNarrowString name;
    if (!n->NativeAt(path, dirFd, name, errKind, err)) return false;
    Fd f;
    f.fd = ::openat(dirFd, name.GetString(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (f.fd < 0) return SysFail(errno, u"Cannot open file " + fsT->DisplayPath(path), errKind, err);
    if (n->DeferFlush(f.fd, dirFd, name)) return true;
    const int slash = name.ReverseFind('/');
    const CNarrowString folder = slash > 0 ? name.Left(slash) : CNarrowString(slash == 0 ? "/" : ".");
    Fd d;
    d.fd = ::openat(dirFd, folder.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.fd < 0 || fsync(d.fd) != 0)
        return SysFail(errno, u"Cannot flush the folder of " + fsT->DisplayPath(path), errKind, err);
    return true;
}

bool TvRepairCopyMode(TvFileSys* fsS, const CWideString& src, TvFileSys* fsT, const CWideString& dst,
                      uint32_t& nWas, uint32_t& nNow) {
    nWas = nNow = 0;
    WinFileSys* nS = NativeOf(fsS);
    WinFileSys* nT = NativeOf(fsT);
    if (!nS || !nT) return false;
    int sDir = AT_FDCWD, tDir = AT_FDCWD, k = 0;
    CNarrowString sName, tName;
    CWideString e;
    if (!nS->NativeAt(src, sDir, sName, k, e) || !nT->NativeAt(dst, tDir, tName, k, e)) return false;
    struct stat ss, ts;
    if (fstatat(sDir, sName.GetString(), &ss, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(ss.st_mode) ||
        fstatat(tDir, tName.GetString(), &ts, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(ts.st_mode) ||
        ts.st_size != ss.st_size || ts.st_nlink != 1)
        return false;
    // The mode its copy gives (ZorModeOfCopy), from what was listed.
    unsigned want = ss.st_mode & 07777;
    if ((want & (S_ISUID | S_ISGID)) && (ts.st_uid != ss.st_uid || ts.st_gid != ss.st_gid))
        want &= ~(unsigned)(S_ISUID | S_ISGID);
    if ((ts.st_mode & 07777) == want) return false;
    // Through the file itself: a link swapped in at the name is not followed.
    Fd f;
    f.fd = ::openat(tDir, tName.GetString(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat now;
    if (f.fd < 0 || fstat(f.fd, &now) != 0 || now.st_dev != ts.st_dev || now.st_ino != ts.st_ino) return false;
    bool bCleared = false;
    want = ZorModeOfCopy(ss.st_mode, ss.st_uid, ss.st_gid, f.fd, bCleared);
    // A file system that keeps no permissions refuses, or shows the old ones.
    if (fchmod(f.fd, want) != 0 || fstat(f.fd, &now) != 0 || (now.st_mode & 07777) != want) return false;
    nWas = ts.st_mode & 07777;
    nNow = want;
    return true;
}

const TvCopyStats& TvLastCopyStats() {
    return t_stats;
}

// ============================================================ TvFileCopy
bool TvFileCopy(TvFileSys* fsS, const CWideString& srcPath, TvFileSys* fsT, bool bToTemp,
                const CWideString& writePath, const CWideString& finalPath, int64_t& nSize,
                ICopyProgress* pProgress, int& errKind, CWideString& err, unsigned nFlags,
                int64_t nListedTime, const TvBeforeReplace& beforeReplace) {
    t_stats = TvCopyStats();
    if (!fsS || !fsS->IsConnected()) {
        errKind = FSE_GENERAL;
        err += u"Source file system not ready.";
        return false;
    }
    if (!fsT || !fsT->IsConnected()) {
        errKind = FSE_GENERAL;
        err += u"Destination file system not ready.";
        return false;
    }
    if (!IsRootRelative(srcPath)) {
        errKind = FSE_GENERAL;
        err += u"Invalid source path: " + srcPath;
        return false;
    }
    if (!IsRootRelative(writePath) || (bToTemp && !finalPath.IsEmpty() && !IsRootRelative(finalPath))) {
        errKind = FSE_GENERAL;
        err += u"Invalid destination path: " + (IsRootRelative(writePath) ? finalPath : writePath);
        return false;
    }
    if (!pProgress) pProgress = fsT->GetProgressCallback();
    int64_t nExpected = nSize;
    int64_t nCopied = 0;
    SourceInfo si;
    fsS->m_LastRead = TvLastReadFile();

    WinFileSys* nS = NativeOf(fsS);
    WinFileSys* nT = NativeOf(fsT);
    bool bDone = false;
    if (bToTemp && !finalPath.IsEmpty() &&
        ((nS && !nT && HasBlockIo(fsT)) || (nT && !nS && HasBlockIo(fsS)))) {
        int64_t nLen = nExpected;
        if (nLen < 0) {
            FsItemInfo info;
            bool bNotFound = false;
            int k = 0;
            CWideString e;
            if (fsS->GetInfo(srcPath, info, bNotFound, k, e) && !bNotFound) nLen = info.m_nSize;
        }
        if (nLen >= kTvDeltaMinFileSize) {
            int k = FSE_NONE;
            CWideString e;
            t_stats.bDelta = true;
            bDone =
                nS ? DeltaUp(nS, srcPath, fsT, writePath, finalPath, pProgress, nExpected, nCopied, si, k, e)
                   : DeltaDown(fsS, srcPath, nT, writePath, finalPath, pProgress, nExpected, nCopied, si, k,
                               e);
            if (!bDone) {
                // A stop, or a source that is being written to, ends the copy.
                if (k == FSE_STOPPED || si.bChanged) {
                    errKind = k;
                    err += e;
                    return false;
                }
                ICopyProgress::Message(pProgress, 3,
                                       u"Block copy of " + fsS->DisplayPath(srcPath) +
                                           u" not possible, copying the whole file: " + e);
                const TvCopyStats was = t_stats;
                t_stats = TvCopyStats();
                t_stats.bBaseRead = was.bBaseRead;
                t_stats.base = was.base;
                si = SourceInfo();
            }
        }
    }
    if (!bDone) {
        si.nListedTime = nListedTime;
        if (!FullCopy(fsS, srcPath, fsT, bToTemp, writePath, nExpected, pProgress, nFlags, beforeReplace,
                      nCopied, si, errKind, err))
            return false;
        t_stats.nTransferred = nCopied;
    }
    nSize = nCopied;
    fsS->m_LastRead.m_bValid = 1;
    fsS->m_LastRead.m_nSize = si.nSize >= 0 ? si.nSize : nCopied;
    fsS->m_LastRead.m_nFileTime = si.nModTime;
    fsS->m_LastRead.m_nStamp = si.nStamp;
    fsS->m_LastRead.m_bDigest = si.bDigest;
    fsS->m_LastRead.m_nDigest = si.nDigest;
    return true;
}

// ============================================================ moves
bool MoveFileByCopy(TvFileSys* fs, const CWideString& from, const CWideString& to, int& errKind,
                    CWideString& err) {
    if (!fs->CopyFileFs(from, to, errKind, err)) return false;
    return fs->DeleteFile(from, errKind, err);
}

static CWideString ChildPath(const CWideString& folder, const CWideString& name) {
    if (folder.IsEmpty() || folder == u"/") return u"/" + name;
    return folder + u"/" + name;
}

bool MoveFolder(TvFileSys* fs, const CWideString& from, const CWideString& to, ICopyProgress* pProgress,
                int& errKind, CWideString& err) {
    if (fs->GetCapability(TVFS_CAP_MOVE_FOLDER)) return fs->MoveFolder(from, to, errKind, err);
    // Child by child, nothing at a destination is replaced or merged into.
    FsItemInfo there;
    bool bNotFound = false;
    if (!fs->GetInfo(to, there, bNotFound, errKind, err)) return false;
    if (!bNotFound) {
        errKind = FSE_GENERAL;
        err += u"Cannot move folder " + fs->DisplayPath(from) + u" to " + fs->DisplayPath(to) +
               u": the destination exists";
        return false;
    }
    if (!fs->MakeFolder(to, errKind, err)) return false;
    CListT<FsItemInfo> items;
    if (!fs->ListDir(from, items, errKind, err)) return false;
    for (auto pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& it = items.GetNext(pos);
        if (ICopyProgress::Stopped(pProgress)) {
            SetStoppedByUser(errKind, err);
            return false;
        }
        if (it.IsBad()) {
            errKind = FSE_GENERAL;
            err += u"Cannot move folder " + fs->DisplayPath(from) + u": " + it.m_sNote;
            return false;
        }
        CWideString a = ChildPath(from, it.m_sName), b = ChildPath(to, it.m_sName);
        bool ok = it.IsFolder() && !it.IsLink() ? MoveFolder(fs, a, b, pProgress, errKind, err)
                                                : fs->MoveFileNoReplace(a, b, errKind, err);
        if (!ok) return false;
    }
    return fs->DeleteFolder(from, errKind, err);
}

// ============================================================ folder trees
bool MakeFolderRecursive(TvFileSys* fs, const CWideString& path, bool bLastIsFile, int& errKind,
                         CWideString& err) {
    CWideString p(path);
    p.Replace(u'\\', u'/');
    if (p.IsEmpty() || p[0] != u'/') {
        errKind = FSE_GENERAL;
        err += u"not absolute path specified";
        if (!path.IsEmpty()) err += u": " + path;
        return false;
    }
    if (bLastIsFile) p = GetUrlPathFolder(p);
    // Folders that exist are passed quickly; the first missing one and all
    // below it are made.
    int end = 1;
    bool bMaking = false;
    while (end <= p.GetLength()) {
        int slash = p.Find(u'/', end);
        if (slash < 0) slash = p.GetLength();
        if (slash > end) {
            CWideString part = p.Left(slash);
            bool bExists = false;
            if (!bMaking) {
                if (!fs->IsFolder(part, bExists, errKind, err)) return false;
            }
            if (!bExists) {
                if (!fs->MakeFolder(part, errKind, err)) return false;
                bMaking = !fs->m_bFolderExisted;
            }
        }
        end = slash + 1;
    }
    return true;
}

static bool DeleteTree(TvFileSys* fs, const CWideString& path, const FsItemInfo& info,
                       ICopyProgress* pProgress, int& errKind, CWideString& err) {
    if (ICopyProgress::Stopped(pProgress)) {
        SetStoppedByUser(errKind, err);
        return false;
    }
    if (!info.IsFolder() || info.IsLink()) {
        // A link (to a folder or a file) goes as the link itself.
        bool ok = info.IsFolder() ? fs->DeleteFolder(path, errKind, err) : fs->DeleteFile(path, errKind, err);
        if (!ok) return false;
        ICopyProgress::Message(pProgress, 3, u"Deleted file: " + fs->DisplayPath(path));
        return true;
    }
    if (!fs->GetCapability(TVFS_CAP_DELETE_TREE)) {
        // The folder may have been replaced (by a link, say) since its parent
        // was listed: its content is listed only while it is still a folder.
        FsItemInfo now;
        bool bNotFound = false;
        if (!fs->GetInfo(path, now, bNotFound, errKind, err)) return false;
        if (bNotFound) return true;
        if (now.IsBad()) {
            errKind = FSE_GENERAL;
            err += u"Cannot delete " + fs->DisplayPath(path) + u": " + now.m_sNote;
            return false;
        }
        if (!now.IsFolder() || now.IsLink()) return DeleteTree(fs, path, now, pProgress, errKind, err);
        CListT<FsItemInfo> items;
        if (!fs->ListDir(path, items, errKind, err)) return false;
        for (auto pos = items.GetHeadPosition(); pos;) {
            const FsItemInfo& it = items.GetNext(pos);
            if (it.IsBad()) {
                errKind = FSE_GENERAL;
                err += u"Cannot delete folder " + fs->DisplayPath(path) + u": " + it.m_sNote;
                return false;
            }
            if (!DeleteTree(fs, ChildPath(path, it.m_sName), it, pProgress, errKind, err)) return false;
        }
    }
    if (!fs->DeleteFolder(path, errKind, err)) return false;
    ICopyProgress::Message(pProgress, 3, u"Deleted folder: " + fs->DisplayPath(path));
    return true;
}

bool DeleteFolderRecursive(TvFileSys* fs, const CWideString& path, ICopyProgress* pProgress, int& errKind,
                           CWideString& err) {
    FsItemInfo info;
    bool bNotFound = false;
    if (!fs->GetInfo(path, info, bNotFound, errKind, err)) return false;
    if (bNotFound) return true;
    if (info.IsBad()) {
        errKind = FSE_GENERAL;
        err += u"Cannot delete " + fs->DisplayPath(path) + u": " + info.m_sNote;
        return false;
    }
    return DeleteTree(fs, path, info, pProgress, errKind, err);
}

// ============================================================ local files
bool GetLocalFileInfo(const CWideString& path, FsItemInfo& info, int& errKind, CWideString& err) {
    info.Clear();
    CWideString local = path.StartsWithNoCase(u"file:") ? UrlToLocalPath(path) : path;
    CNarrowString native = ZorNativePath(local);
    struct statx st;
    if (native.IsEmpty() || native[0] != '/') {
        errKind = FSE_GENERAL;
        err += u"not an absolute local path: " + path;
        return false;
    }
    if (statx(AT_FDCWD, native.GetString(), 0, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &st) != 0)
        return SysFail(errno, u"Cannot get information of " + local, errKind, err);
    if (S_ISDIR(st.stx_mode)) {
        errKind = FSE_GENERAL;
        err += u"state file cannot be a folder: " + local;
        return false;
    }
    info.m_sName = GetPathFileName(local);
    info.m_nAttributes = FSA_NORMAL;
    info.m_nSize = (int64_t)st.stx_size;
    auto clamp = [](int64_t t) -> uint32_t {
        return t < 0 ? 0 : t > (int64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)t;
    };
    info.m_nModTime = clamp(st.stx_mtime.tv_sec);
    info.m_nCreateTime =
        (st.stx_mask & STATX_BTIME) && st.stx_btime.tv_sec ? clamp(st.stx_btime.tv_sec) : info.m_nModTime;
    return true;
}
