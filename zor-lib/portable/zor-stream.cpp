// Byte streams: strings, buffered local files and gzip files.
#include "zor-stream.h"

#include "zor-crc32.h"
#include "zor-debug.h"
#include "zor-error.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

constexpr int kFileBufSize = 65536;

void AppendSysError(CWideString& sErr, const char* what, const CWideString& sPath, int code) {
    sErr.AppendFormat(u"%s%s: %s", what, sPath, ZorErrorText(code));
}

// Writes all n bytes to fd, retrying after interruptions and short writes.
bool WriteAll(int fd, const unsigned char* p, size_t n, int& code) {
    size_t done = 0;
    if (ZorWriteAllFd(fd, p, n, done)) return true;
    code = errno ? errno : EIO;
    return false;
}

// Syncs the folder that holds a path, so that a rename into it is durable.
void SyncFolderOf(const CNarrowString& sPath) {
    int slash = sPath.ReverseFind('/');
    CNarrowString sDir = slash > 0 ? sPath.Left(slash) : CNarrowString(slash == 0 ? "/" : ".");
    int fd = ::open(sDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace

// ---------------------------------------------------------------- interfaces
bool ZorInStream::PeekChar(unsigned char& ch, CWideString& sErr) {
    if (!GetChar(ch, sErr)) return false;
    UngetChar(ch);
    return true;
}

int ZorInStream::ReadBytes(void* p, int n, CWideString& sErr) {
    unsigned char* q = (unsigned char*)p;
    int got = 0;
    while (got < n) {
        unsigned char ch;
        if (!GetChar(ch, sErr)) {
            if (HasError()) return -1;
            break;
        }
        q[got++] = ch;
    }
    return got;
}

bool ZorOutStream::Write(const void* p, int n, CWideString& sErr) {
    const unsigned char* q = (const unsigned char*)p;
    for (int i = 0; i < n; i++)
        if (!PutChar(q[i], sErr)) return false;
    return true;
}

// ---------------------------------------------------------------- strings
bool ZorStringStream::GetCharSlow(unsigned char& ch, CWideString&) {
    if (m_nPushed >= 0) {
        ch = (unsigned char)m_nPushed;
        m_nPushed = -1;
        m_pRdEnd = End();
        ++m_nPosn;
        return true;
    }
    if (m_pRd >= End()) return false;
    ch = *m_pRd++;
    ++m_nPosn;
    return true;
}

void ZorStringStream::UngetChar(unsigned char ch) {
    if (m_nPushed < 0 && m_pRd > Begin() && m_pRd[-1] == ch) {
        --m_pRd;
    } else {
        ZOR_ASSERT(m_nPushed < 0);
        m_nPushed = ch;
        m_pRdEnd = m_pRd; // the put-back byte comes first
    }
    if (m_nPosn > 0) --m_nPosn;
}

int ZorStringStream::ReadBytes(void* p, int n, CWideString& sErr) {
    if (n <= 0) return 0;
    unsigned char* q = (unsigned char*)p;
    int got = 0;
    if (m_nPushed >= 0) {
        unsigned char ch;
        GetChar(ch, sErr);
        q[got++] = ch;
    }
    int avail = (int)(End() - m_pRd);
    int take = n - got < avail ? n - got : avail;
    if (take > 0) {
        std::memcpy(q + got, m_pRd, (size_t)take);
        m_pRd += take;
        m_nPosn += take;
        got += take;
    }
    return got;
}

void OpenStringReader(const CNarrowString& sText, CAutoPtrT<ZorInStream>& pStream) {
    pStream.Attach(new ZorStringStream(sText));
}

bool ZorStringOutStream::PutChar(unsigned char ch, CWideString&) {
    m_sText.AppendChar((char)ch);
    return true;
}

bool ZorStringOutStream::Write(const void* p, int n, CWideString&) {
    if (n > 0) m_sText.Append((const char*)p, n);
    return true;
}

// ---------------------------------------------------------------- plain files
ZorFileStream::ZorFileStream() = default;

void ZorFileStream::FinishOnDestroy() {
    if (!m_bClosed && m_fd >= 0) {
        if (m_bWrite && m_sTmpPath.IsEmpty()) {
            CWideString sIgnored;
            CloseImpl(sIgnored);
        } else {
            Discard();
        }
    }
    Abandon();
}

ZorFileStream::~ZorFileStream() {
    FinishOnDestroy();
    if (m_nDirFd >= 0) ::close(m_nDirFd);
    delete[] m_pBuf;
}

void ZorFileStream::InFolder(int dirFd) {
    if (m_nDirFd >= 0) ::close(m_nDirFd);
    m_nDirFd = dirFd;
    m_bDirGiven = dirFd >= 0;
}

bool ZorFileStream::ResolveInFolder() {
    if (m_nDirFd >= 0 && m_bDirGiven) {
        const int slash = m_sSysPath.ReverseFind('/');
        m_sAtName = slash >= 0 ? m_sSysPath.Mid(slash + 1) : m_sSysPath;
        return true;
    }
    // The folder of an earlier open of this stream is not this path's.
    if (m_nDirFd >= 0) ::close(m_nDirFd);
    m_nDirFd = -1;
    int dirFd = -1;
    CNarrowString name;
    if (!ZorPrivateFolderAt(m_sSysPath, dirFd, name)) return true;
    if (dirFd < 0) return false;
    m_nDirFd = dirFd;
    m_sAtName = name;
    return true;
}

bool ZorFileStream::OpenRead(const CWideString& sPath, CWideString& sErr) {
    ZOR_ASSERT(m_fd < 0);
    m_sPath = sPath;
    m_sSysPath = ZorNativePath(sPath);
    int fd = -1;
    CWideString why;
    if (!ResolveInFolder()) {
        AppendSysError(sErr, "cannot open file to read: ", sPath, errno);
        return false;
    }
    fd = m_nDirFd >= 0 ? ZorOpenOwnFileAt(m_nDirFd, m_sAtName, why) : ZorOpenFileForReading(m_sSysPath, why);
    if (fd < 0 && !why.IsEmpty()) {
        sErr += u"cannot open file to read: " + sPath + u": refused, as " + why;
        return false;
    }
    if (fd < 0) {
        AppendSysError(sErr, "cannot open file to read: ", sPath, errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        AppendSysError(sErr, "cannot open file to read: ", sPath, EISDIR);
        return false;
    }
    m_fd = fd;
    m_bWrite = false;
    m_nBufSize = kFileBufSize;
    m_pBuf = new unsigned char[(size_t)m_nBufSize];
    m_pRd = m_pRdEnd = m_pBuf; // nothing ready yet
    return true;
}

void ZorFileStream::MakePrivate() {
    if (m_fd < 0 || !m_bWrite) return;
    (void)::fchmod(m_fd, 0600);
    m_nFinalMode = 0600;
}

bool ZorFileStream::OpenWriteFd(const CWideString& sPath, bool bAtomic, CWideString& sErr) {
    ZOR_ASSERT(m_fd < 0);
    m_sPath = sPath;
    m_sSysPath = ZorNativePath(sPath);
    m_nFinalMode = 0;
    int fd = -1;
    if (!ResolveInFolder()) {
        AppendSysError(sErr, "cannot open file to write: ", sPath, errno);
        return false;
    }
    if (m_nDirFd >= 0 && bAtomic) {
        std::random_device rd;
        std::mt19937_64 rng(((uint64_t)rd() << 32) ^ rd() ^ (uint64_t)::getpid());
        for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
            CNarrowString sTmp;
            sTmp.Format("tvtm%06x.tmp", (unsigned)(rng() & 0xFFFFFF));
            fd = ::openat(m_nDirFd, sTmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                m_sTmpAtName = sTmp;
                m_sTmpPath = m_sSysPath + ".tmp"; // marks the atomic mode; never used as a path
                struct stat st;
                m_nFinalMode = ::fstatat(m_nDirFd, m_sAtName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                       S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
                                   ? (st.st_mode & 07777)
                                   : ZorNewFileMode();
            } else if (errno != EEXIST && errno != EINTR) {
                break;
            }
        }
    } else if (m_nDirFd >= 0) {
        fd = ZorCreateNewFileAt(m_nDirFd, m_sAtName, O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) m_nFinalMode = ZorNewFileMode();
    } else if (bAtomic) {
        // A new file beside the target: the rename then stays on one file system.
        int slash = m_sSysPath.ReverseFind('/');
        CNarrowString sDir = slash >= 0 ? m_sSysPath.Left(slash + 1) : CNarrowString();
        std::random_device rd;
        std::mt19937_64 rng(((uint64_t)rd() << 32) ^ rd() ^ (uint64_t)::getpid());
        for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
            CNarrowString sTmp;
            sTmp.Format("%stvtm%06x.tmp", sDir, (unsigned)(rng() & 0xFFFFFF));
            fd = ::open(sTmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                m_sTmpPath = sTmp;
                // The replacement takes the permissions of the file it
                // replaces (or a new file's) once it is complete.
                struct stat st;
                m_nFinalMode = ::stat(m_sSysPath, &st) == 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777)
                                                                                   : ZorNewFileMode();
            } else if (errno != EEXIST && errno != EINTR) {
                break;
            }
        }
    } else if (m_bNewFileAtName) {
        // Nothing that stood at the name is truncated or written through.
        fd = ZorCreateNewFileAt(AT_FDCWD, m_sSysPath, O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) m_nFinalMode = ZorNewFileMode();
    } else {
        // A new file is its owner's alone until it is complete; an existing
        // one of ours keeps its permissions; a link or another's file at the
        // name is never written through (ZorOpenForWritingAt).
        bool bNew = false;
        fd = ZorOpenForWritingAt(AT_FDCWD, m_sSysPath, 0600, bNew);
        if (fd >= 0 && bNew) m_nFinalMode = ZorNewFileMode();
    }
    if (fd < 0) {
        AppendSysError(sErr, "cannot open file to write: ", sPath, errno);
        return false;
    }
    m_fd = fd;
    m_bWrite = true;
    return true;
}

bool ZorFileStream::OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr) {
    if (!OpenWriteFd(sPath, bAtomic, sErr)) return false;
    m_nBufSize = kFileBufSize;
    m_pBuf = new unsigned char[(size_t)m_nBufSize];
    return true;
}

int ZorFileStream::FillBuffer(CWideString& sErr) {
    for (;;) {
        ssize_t r = ::read(m_fd, m_pBuf, (size_t)m_nBufSize);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            AppendSysError(sErr, "cannot read file: ", m_sPath, errno);
            return -1;
        }
        return (int)r;
    }
}

bool ZorFileStream::GetCharSlow(unsigned char& ch, CWideString& sErr) {
    if (m_nPushed >= 0) {
        ch = (unsigned char)m_nPushed;
        m_nPushed = -1;
        if (m_pRd) m_pRdEnd = m_pBuf + m_nEnd; // a writer has no read window
        ++m_nPosn;
        return true;
    }
    if (m_bWrite || Cur() >= m_nEnd) {
        if (m_bError || m_bAtEnd || m_fd < 0 || m_bWrite) {
            if (m_bError) sErr.AppendFormat(u"cannot read file: %s: earlier read error", m_sPath);
            return false;
        }
        int n = FillBuffer(sErr);
        if (n < 0) {
            m_bError = true;
            return false;
        }
        if (n == 0) {
            m_bAtEnd = true;
            return false;
        }
        m_pRd = m_pBuf;
        m_nEnd = n;
        m_pRdEnd = m_pBuf + n;
    }
    ch = *m_pRd++;
    ++m_nPosn;
    return true;
}

void ZorFileStream::UngetChar(unsigned char ch) {
    if (m_nPushed < 0 && Cur() > 0 && m_pRd[-1] == ch) {
        --m_pRd;
    } else {
        ZOR_ASSERT(m_nPushed < 0);
        m_nPushed = ch;
        m_pRdEnd = m_pRd; // the put-back byte comes first
    }
    if (m_nPosn > 0) --m_nPosn;
}

bool ZorFileStream::IsEof() {
    if (m_nPushed >= 0 || Cur() < m_nEnd) return false;
    if (m_bError) return false;
    if (m_bAtEnd) return true;
    if (m_fd < 0 || m_bWrite) return false;
    CWideString sErr;
    int n = FillBuffer(sErr);
    if (n < 0) {
        // The error is reported by the next read.
        m_bError = true;
        return false;
    }
    m_pRd = m_pBuf;
    m_nEnd = n;
    m_pRdEnd = m_pBuf + n;
    if (n == 0) m_bAtEnd = true;
    return n == 0;
}

int ZorFileStream::ReadBytes(void* p, int n, CWideString& sErr) {
    unsigned char* q = (unsigned char*)p;
    int got = 0;
    while (got < n) {
        const int nCur = Cur();
        if (m_nPushed < 0 && !m_bWrite && nCur < m_nEnd) {
            int take = m_nEnd - nCur < n - got ? m_nEnd - nCur : n - got;
            std::memcpy(q + got, m_pRd, (size_t)take);
            m_pRd += take;
            m_nPosn += take;
            got += take;
            continue;
        }
        unsigned char ch;
        if (!GetChar(ch, sErr)) {
            if (m_bError) return -1;
            break;
        }
        q[got++] = ch;
    }
    return got;
}

bool ZorFileStream::FlushBuffer(CWideString& sErr) {
    if (m_nEnd == 0) return true;
    int code = 0;
    if (!WriteAll(m_fd, m_pBuf, (size_t)m_nEnd, code)) {
        AppendSysError(sErr, "cannot write file: ", m_sPath, code);
        return false;
    }
    m_nEnd = 0;
    return true;
}

bool ZorFileStream::PutChar(unsigned char ch, CWideString& sErr) {
    if (m_fd < 0 || !m_bWrite || m_bFailedWrite) {
        sErr.AppendFormat(u"cannot write file: %s: the stream is not open for writing", m_sPath);
        return false;
    }
    if (m_nEnd >= m_nBufSize && !FlushBuffer(sErr)) {
        m_bFailedWrite = true;
        return false;
    }
    m_pBuf[m_nEnd++] = ch;
    return true;
}

bool ZorFileStream::Write(const void* p, int n, CWideString& sErr) {
    const unsigned char* q = (const unsigned char*)p;
    while (n > 0) {
        if (m_fd < 0 || !m_bWrite || m_bFailedWrite) {
            sErr.AppendFormat(u"cannot write file: %s: the stream is not open for writing", m_sPath);
            return false;
        }
        if (m_nEnd >= m_nBufSize && !FlushBuffer(sErr)) {
            m_bFailedWrite = true;
            return false;
        }
        int take = m_nBufSize - m_nEnd < n ? m_nBufSize - m_nEnd : n;
        std::memcpy(m_pBuf + m_nEnd, q, (size_t)take);
        m_nEnd += take;
        q += take;
        n -= take;
    }
    return true;
}

// Removes an unfinished atomic write (or just closes a reader).
void ZorFileStream::Discard() {
    Abandon();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_sTmpAtName.IsEmpty())
        ::unlinkat(m_nDirFd, m_sTmpAtName, 0);
    else if (!m_sTmpPath.IsEmpty())
        ::unlink(m_sTmpPath);
    m_sTmpPath.Empty();
    m_sTmpAtName.Empty();
    m_bClosed = true;
    m_bCloseResult = false;
}

bool ZorFileStream::CloseImpl(CWideString& sErr) {
    if (m_bClosed) {
        if (!m_bCloseResult) sErr.AppendFormat(u"cannot close file: %s: an earlier close failed", m_sPath);
        return m_bCloseResult;
    }
    if (m_fd < 0) {
        m_bClosed = true;
        m_bCloseResult = false;
        sErr.AppendFormat(u"cannot close file: %s: the file is not open", m_sPath);
        return false;
    }
    if (!m_bWrite) {
        Abandon();
        ::close(m_fd);
        m_fd = -1;
        m_bClosed = true;
        m_bCloseResult = !m_bError;
        if (m_bError) sErr.AppendFormat(u"cannot read file: %s: read error", m_sPath);
        return m_bCloseResult;
    }
    bool bOk = !m_bFailedWrite;
    if (!bOk) sErr.AppendFormat(u"cannot write file: %s: an earlier write failed", m_sPath);
    if (bOk) bOk = FlushBuffer(sErr);
    if (bOk) bOk = FinishWrite(sErr);
    // (A file system that keeps no permissions refuses; the file stays as it is.)
    if (bOk && m_nFinalMode) (void)::fchmod(m_fd, (mode_t)m_nFinalMode);
    bool bAtomic = !m_sTmpPath.IsEmpty();
    if (bOk && (bAtomic || m_nDirFd >= 0) && ::fsync(m_fd) != 0) {
        AppendSysError(sErr, "cannot write file: ", m_sPath, errno);
        bOk = false;
    }
    if (!bOk) {
        if (bAtomic) {
            Discard();
            return false;
        }
        Abandon();
    }
    int rc = ::close(m_fd);
    m_fd = -1;
    if (rc != 0 && errno != EINTR && bOk) {
        AppendSysError(sErr, "cannot close file: ", m_sPath, errno);
        bOk = false;
    }
    if (bAtomic && m_nDirFd >= 0) {
        if (bOk && ::renameat(m_nDirFd, m_sTmpAtName, m_nDirFd, m_sAtName) != 0) {
            int code = errno;
            sErr.AppendFormat(u"cannot rename %s to %s: %s", Utf8ToWide(m_sTmpAtName), m_sPath,
                              ZorErrorText(code));
            bOk = false;
        }
        if (!bOk) ::unlinkat(m_nDirFd, m_sTmpAtName, 0);
        m_sTmpPath.Empty();
        m_sTmpAtName.Empty();
    } else if (bAtomic) {
        if (bOk && ::rename(m_sTmpPath, m_sSysPath) != 0) {
            int code = errno;
            sErr.AppendFormat(u"cannot rename %s to %s: %s", m_sTmpPath, m_sPath, ZorErrorText(code));
            bOk = false;
        }
        if (!bOk)
            ::unlink(m_sTmpPath);
        else
            SyncFolderOf(m_sSysPath);
        m_sTmpPath.Empty();
    }
    if (bOk && m_bWrite && m_nDirFd >= 0) (void)::fsync(m_nDirFd);
    m_bClosed = true;
    m_bCloseResult = bOk;
    return bOk;
}

bool ZorFileStream::Close(CWideString& sErr) {
    return CloseImpl(sErr);
}

// ---------------------------------------------------------------- gzip files
struct ZorGzFileStream::Inflater {
    z_stream zs{};
    uint32_t nCrc = 0;           // of the member's bytes so far
    uint32_t nLen = 0;           // their count, modulo 2^32
    unsigned char aTail[8] = {}; // the last bytes taken from the file: a member's trailer at its end
    bool bEof = false;           // the file has no more bytes
    bool bDone = false;          // the last member ended
    // The member's header: inflate stops after it (Z_BLOCK) so that its
    // optional CRC (FHCRC, the low 16 bits of the CRC-32 of the header bytes
    // before it) can be checked here, as the check values are turned off in
    // zlib. The last two bytes taken wait in aHdrPend: they are the CRC.
    gz_header head{};
    bool bInHeader = true;
    uint32_t nHdrCrc = 0;
    unsigned char aHdrPend[2] = {};
    int nHdrPend = 0;
    unsigned char aIn[kFileBufSize];

    bool StartMember() {
        head = gz_header{};
        bInHeader = true;
        nHdrCrc = 0;
        nHdrPend = 0;
        return inflateGetHeader(&zs, &head) == Z_OK;
    }
    // Notes header bytes taken; every byte but the last two enters the CRC.
    void TookHeader(const unsigned char* p, size_t n) {
        if (n >= 2) {
            nHdrCrc = ZorCrc32(nHdrCrc, aHdrPend, (size_t)nHdrPend);
            nHdrCrc = ZorCrc32(nHdrCrc, p, n - 2);
            aHdrPend[0] = p[n - 2];
            aHdrPend[1] = p[n - 1];
            nHdrPend = 2;
        } else if (n == 1) {
            if (nHdrPend == 2) {
                nHdrCrc = ZorCrc32(nHdrCrc, aHdrPend, 1);
                aHdrPend[0] = aHdrPend[1];
                nHdrPend = 1;
            }
            aHdrPend[nHdrPend++] = p[0];
        }
    }
    // False when the finished header carries a CRC that does not match.
    bool HeaderCrcMatches() const {
        if (!head.hcrc) return true;
        return nHdrPend == 2 && (uint32_t)(aHdrPend[0] | aHdrPend[1] << 8) == (nHdrCrc & 0xFFFF);
    }

    // Notes the n bytes just taken, which end at pEnd.
    void Took(const unsigned char* pEnd, size_t n) {
        if (n >= sizeof aTail) {
            memcpy(aTail, pEnd - sizeof aTail, sizeof aTail);
        } else if (n > 0) {
            memmove(aTail, aTail + n, sizeof aTail - n);
            memcpy(aTail + sizeof aTail - n, pEnd - n, n);
        }
    }
};

ZorGzFileStream::ZorGzFileStream() = default;

ZorGzFileStream::~ZorGzFileStream() {
    FinishOnDestroy();
}

void ZorGzFileStream::Abandon() {
    if (m_gz) {
        gzclose((gzFile)m_gz);
        m_gz = nullptr;
    }
    if (m_pInflate) {
        inflateEnd(&m_pInflate->zs);
        delete m_pInflate;
        m_pInflate = nullptr;
    }
}

bool ZorGzFileStream::OpenRead(const CWideString& sPath, CWideString& sErr) {
    if (!ZorFileStream::OpenRead(sPath, sErr)) return false;
    // Only gzip data is accepted: zlib would pass any other content through.
    unsigned char magic[2] = {0, 0};
    ssize_t r;
    do {
        r = ::pread(m_fd, magic, 2, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        AppendSysError(sErr, "cannot read file: ", sPath, errno);
        Discard();
        return false;
    }
    if (r < 2 || magic[0] != 0x1F || magic[1] != 0x8B) {
        sErr.AppendFormat(u"cannot read file: %s: not a gzip file", sPath);
        Discard();
        return false;
    }
    auto* p = new Inflater();
    // gzip members only; the check values are compared below.
    if (inflateInit2(&p->zs, 16 + MAX_WBITS) != Z_OK || inflateValidate(&p->zs, 0) != Z_OK || !p->StartMember()) {
        inflateEnd(&p->zs);
        delete p;
        sErr.AppendFormat(u"cannot open file to read: %s: cannot start gzip decompression", sPath);
        Discard();
        return false;
    }
    m_pInflate = p;
    return true;
}

bool ZorGzFileStream::OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr) {
    if (!OpenWriteFd(sPath, bAtomic, sErr)) return false;
    int fd2 = ::dup(m_fd);
    gzFile gz = fd2 >= 0 ? gzdopen(fd2, "wb") : nullptr;
    if (!gz) {
        if (fd2 >= 0) ::close(fd2);
        sErr.AppendFormat(u"cannot open file to write: %s: cannot start gzip compression", sPath);
        Discard();
        return false;
    }
    gzbuffer(gz, kFileBufSize);
    m_gz = gz;
    m_nBufSize = kFileBufSize;
    m_pBuf = new unsigned char[(size_t)m_nBufSize];
    return true;
}

int ZorGzFileStream::FillBuffer(CWideString& sErr) {
    if (m_pInflate) return Inflate(sErr);
    return 0;
}

int ZorGzFileStream::Inflate(CWideString& sErr) {
    Inflater& g = *m_pInflate;
    z_stream& zs = g.zs;
    zs.next_out = m_pBuf;
    zs.avail_out = (uInt)m_nBufSize;
    auto fail = [&](const char* what) {
        sErr.AppendFormat(u"cannot read file: %s: gzip: %s", m_sPath, what);
        return -1;
    };
    // More of the file; false on a read error (reported).
    auto refill = [&]() {
        if (zs.avail_in > 0 && zs.next_in != g.aIn) memmove(g.aIn, zs.next_in, zs.avail_in);
        zs.next_in = g.aIn;
        ssize_t r;
        do {
            r = ::read(m_fd, g.aIn + zs.avail_in, sizeof g.aIn - zs.avail_in);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            AppendSysError(sErr, "cannot read file: ", m_sPath, errno);
            return false;
        }
        if (r == 0) g.bEof = true;
        zs.avail_in += (uInt)r;
        return true;
    };
    while (zs.avail_out > 0 && !g.bDone) {
        if (zs.avail_in == 0 && !g.bEof && !refill()) return -1;
        if (zs.avail_in == 0 && g.bEof) {
            // A member cut short: what it gave is handed out first.
            if (zs.avail_out < (uInt)m_nBufSize) break;
            return fail("unexpected end of file (truncated)");
        }
        const unsigned char* pIn = zs.next_in;
        unsigned char* pOut = zs.next_out;
        const int rc = inflate(&zs, g.bInHeader ? Z_BLOCK : Z_NO_FLUSH);
        g.Took(zs.next_in, (size_t)(zs.next_in - pIn));
        if (g.bInHeader) {
            g.TookHeader(pIn, (size_t)(zs.next_in - pIn));
            if (g.head.done) {
                g.bInHeader = false;
                if (!g.HeaderCrcMatches()) return fail("header crc mismatch");
            }
        }
        const size_t nOut = (size_t)(zs.next_out - pOut);
        g.nCrc = ZorCrc32(g.nCrc, pOut, nOut);
        g.nLen += (uint32_t)nOut;
        if (rc == Z_STREAM_END) {
            // The trailer, just taken: the CRC and the length, both little-endian.
            const unsigned char* t = g.aTail;
            const uint32_t nCrc = t[0] | (uint32_t)t[1] << 8 | (uint32_t)t[2] << 16 | (uint32_t)t[3] << 24;
            const uint32_t nLen = t[4] | (uint32_t)t[5] << 8 | (uint32_t)t[6] << 16 | (uint32_t)t[7] << 24;
            if (nCrc != g.nCrc) return fail("incorrect data check");
            if (nLen != g.nLen) return fail("incorrect length check");
            // Another member follows, or the file ends; bytes after the last
            // member that do not start one are ignored, as zlib does.
            while (zs.avail_in < 2 && !g.bEof)
                if (!refill()) return -1;
            if (zs.avail_in >= 2 && zs.next_in[0] == 0x1F && zs.next_in[1] == 0x8B) {
                inflateReset(&zs);
                g.nCrc = g.nLen = 0;
                if (!g.StartMember()) return fail("cannot read the member header");
            } else {
                g.bDone = true;
            }
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return fail(zs.msg ? zs.msg : rc == Z_MEM_ERROR ? "out of memory" : "damaged data");
        }
    }
    return m_nBufSize - (int)zs.avail_out;
}

bool ZorGzFileStream::FlushBuffer(CWideString& sErr) {
    if (m_nEnd == 0) return true;
    if (!m_gz || gzwrite((gzFile)m_gz, m_pBuf, (unsigned)m_nEnd) != m_nEnd) {
        int errnum = Z_OK;
        const char* msg = m_gz ? gzerror((gzFile)m_gz, &errnum) : "not open";
        if (errnum == Z_ERRNO)
            AppendSysError(sErr, "cannot write file: ", m_sPath, errno);
        else
            sErr.AppendFormat(u"cannot write file: %s: gzip: %s", m_sPath, msg);
        return false;
    }
    m_nEnd = 0;
    return true;
}

bool ZorGzFileStream::FinishWrite(CWideString& sErr) {
    if (!m_gz) return true;
    gzFile gz = (gzFile)m_gz;
    m_gz = nullptr;
    errno = 0;
    int rc = gzclose(gz); // writes the trailer and closes the duplicate descriptor
    if (rc != Z_OK) {
        if (rc == Z_ERRNO)
            AppendSysError(sErr, "cannot write file: ", m_sPath, errno ? errno : EIO);
        else
            sErr.AppendFormat(u"cannot write file: %s: gzip: error %d", m_sPath, rc);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- openers
bool OpenFileReader(const CWideString& sPath, bool bCompressed, CAutoPtrT<ZorInStream>& pStream,
                    CWideString& sErr) {
    pStream.Delete();
    if (bCompressed) {
        auto* p = new ZorGzFileStream();
        if (!p->OpenRead(sPath, sErr)) {
            delete p;
            return false;
        }
        pStream.Attach(p);
    } else {
        auto* p = new ZorFileStream();
        if (!p->OpenRead(sPath, sErr)) {
            delete p;
            return false;
        }
        pStream.Attach(p);
    }
    return true;
}

bool OpenFileWriter(const CWideString& sPath, bool bCompressed, CAutoPtrT<ZorOutStream>& pStream,
                    CWideString& sErr, bool bAtomic) {
    pStream.Delete();
    if (bCompressed) {
        auto* p = new ZorGzFileStream();
        if (!p->OpenWrite(sPath, bAtomic, sErr)) {
            delete p;
            return false;
        }
        pStream.Attach(p);
    } else {
        auto* p = new ZorFileStream();
        if (!p->OpenWrite(sPath, bAtomic, sErr)) {
            delete p;
            return false;
        }
        pStream.Attach(p);
    }
    return true;
}
