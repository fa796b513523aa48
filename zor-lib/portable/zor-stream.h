// Byte streams of the serialisers: an in-stream and an out-stream interface,
// a reader over a narrow string, a writer into a narrow string, buffered
// local files and gzip files (zlib), and the owner pointer CAutoPtrT.
//
// Every operation that can fail returns false and appends its message to the
// caller's error text. An in-stream counts the bytes taken from it; the tic
// and keyword readers quote that count as "Posn %ld" in their messages.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <utility>

// ---------------------------------------------------------------- owner pointer
// Owns one object created with new; the destructor and Delete destroy it.
// Streams close themselves when destroyed (an out-stream's result is then
// lost: call Close first to learn whether everything was written).
template <typename T> class CAutoPtrT {
public:
    CAutoPtrT() noexcept = default;
    explicit CAutoPtrT(T* p) noexcept : m_p(p) {}
    CAutoPtrT(const CAutoPtrT&) = delete;
    CAutoPtrT& operator=(const CAutoPtrT&) = delete;
    CAutoPtrT(CAutoPtrT&& o) noexcept : m_p(o.Detach()) {}
    template <typename U> CAutoPtrT(CAutoPtrT<U>&& o) noexcept : m_p(o.Detach()) {}
    CAutoPtrT& operator=(CAutoPtrT&& o) noexcept {
        if (this != &o) Attach(o.Detach());
        return *this;
    }
    ~CAutoPtrT() { Delete(); }

    // Destroys the held object (if any) and nulls the pointer.
    void Delete() {
        T* p = m_p;
        m_p = nullptr;
        delete p;
    }
    // Takes ownership of p, destroying the object held before.
    void Attach(T* p) {
        if (p == m_p) return;
        Delete();
        m_p = p;
    }
    // Gives up ownership without destroying.
    T* Detach() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    T* Get() const noexcept { return m_p; }
    bool IsNull() const noexcept { return m_p == nullptr; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    operator T*() const noexcept { return m_p; }

    T* m_p = nullptr;
};

// ---------------------------------------------------------------- interfaces
class ZorInStream {
public:
    ZorInStream() = default;
    ZorInStream(const ZorInStream&) = delete;
    ZorInStream& operator=(const ZorInStream&) = delete;
    virtual ~ZorInStream() = default;

    // Reads one byte. False at the end of the input (nothing appended to
    // sErr, IsEof() is then true) or on a read error (message appended,
    // HasError() is then true). Bytes the stream has ready in memory are
    // taken inline; the stream's own GetCharSlow serves the rest.
    bool GetChar(unsigned char& ch, CWideString& sErr) {
        if (m_pRd < m_pRdEnd) {
            ch = *m_pRd++;
            ++m_nPosn;
            return true;
        }
        return GetCharSlow(ch, sErr);
    }
    // Puts back the byte that the last GetChar returned (one byte back).
    virtual void UngetChar(unsigned char ch) = 0;
    // GetChar then UngetChar; false at the end of the input or on an error.
    virtual bool PeekChar(unsigned char& ch, CWideString& sErr);
    // True when no byte is left to read and no error happened.
    virtual bool IsEof() = 0;

    // Reads up to n bytes into p. Returns the count (0 only at the end of the
    // input), or -1 on a read error (message appended).
    virtual int ReadBytes(void* p, int n, CWideString& sErr);

    // The bytes ready in memory after the read position (possibly none; the
    // rest of the input may follow). Readers of small tokens scan them in
    // place and take what they used with TakeReady.
    const unsigned char* GetReady(int& n) const {
        n = (int)(m_pRdEnd - m_pRd);
        return m_pRd;
    }
    // Takes n of the ready bytes (n at most what GetReady gave), as n GetChar calls would.
    void TakeReady(int n) {
        m_pRd += n;
        m_nPosn += n;
    }

    // Bytes taken so far (put-back bytes are not counted).
    long GetPosn() const { return m_nPosn; }
    bool HasError() const { return m_bError; }

protected:
    // GetChar when no ready byte is left (a put-back byte, a refill, the end).
    virtual bool GetCharSlow(unsigned char& ch, CWideString& sErr) = 0;

    // The ready bytes: GetChar takes them from m_pRd up to m_pRdEnd. A stream
    // that has put a byte back keeps the window empty until that byte is read.
    const unsigned char* m_pRd = nullptr;
    const unsigned char* m_pRdEnd = nullptr;
    long m_nPosn = 0;
    bool m_bError = false;
};

class ZorOutStream {
public:
    ZorOutStream() = default;
    ZorOutStream(const ZorOutStream&) = delete;
    ZorOutStream& operator=(const ZorOutStream&) = delete;
    virtual ~ZorOutStream() = default;

    // True when the stream took the byte; false on a write error (message appended).
    virtual bool PutChar(unsigned char ch, CWideString& sErr) = 0;
    // Writes n bytes; false on the first failure.
    virtual bool Write(const void* p, int n, CWideString& sErr);
    // Flushes and closes; true only when every byte written so far reached its
    // destination. Closing twice returns the first result.
    virtual bool Close(CWideString& sErr) = 0;
};

// ---------------------------------------------------------------- strings
// Reads the bytes of a narrow string (the string is shared, not copied).
class ZorStringStream : public ZorInStream {
public:
    explicit ZorStringStream(const CNarrowString& s) : m_sText(s) {
        m_pRd = Begin();
        m_pRdEnd = End();
    }
    void UngetChar(unsigned char ch) override;
    bool IsEof() override { return m_nPushed < 0 && m_pRd >= End(); }
    int ReadBytes(void* p, int n, CWideString& sErr) override;

protected:
    bool GetCharSlow(unsigned char& ch, CWideString& sErr) override;

private:
    CNarrowString m_sText;
    int m_nPushed = -1; // a put-back byte that is not the one before m_pRd

    const unsigned char* Begin() const { return (const unsigned char*)m_sText.GetString(); }
    const unsigned char* End() const { return Begin() + m_sText.GetLength(); }
};

// Makes an in-stream over a copy of the text.
void OpenStringReader(const CNarrowString& sText, CAutoPtrT<ZorInStream>& pStream);

// Collects the written bytes in a narrow string. Never fails.
class ZorStringOutStream : public ZorOutStream {
public:
    bool PutChar(unsigned char ch, CWideString& sErr) override;
    bool Write(const void* p, int n, CWideString& sErr) override;
    bool Close(CWideString&) override { return true; }
    const CNarrowString& GetText() const { return m_sText; }
    CNarrowString& Text() { return m_sText; }

private:
    CNarrowString m_sText;
};

// ---------------------------------------------------------------- files
// A local file read or written through a 64 KiB buffer (POSIX descriptor).
//
// Writers have two modes. Direct: the file itself is created or truncated.
// Atomic: the bytes go to a new temporary file in the same folder; Close
// flushes it, syncs it to the disk and renames it over the target, so the
// target holds either its old content or the complete new one. An atomic
// writer destroyed without a successful Close removes its temporary file.
class ZorFileStream : public ZorInStream, public ZorOutStream {
public:
    ZorFileStream();
    ~ZorFileStream() override;

    bool OpenRead(const CWideString& sPath, CWideString& sErr);
    bool OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr);
    // After an open to write: the file is its owner's alone, also once it is
    // complete, whatever the umask or the permissions of a file it replaces.
    void MakePrivate();
    // Before an open to write without bAtomic: the file is made anew at its
    // name, whatever stood there (a file left by a killed run, a link, a
    // named pipe) removed first, never truncated or written through.
    void NewFileAtName() { m_bNewFileAtName = true; }
    // Before an open: the file is the name (the last part of the path given
    // to the open, which then only names it in messages) in the open folder
    // dirFd, which the stream takes and closes. A file to read is used only
    // when it is a regular file of the running user with one name
    // (ZorOpenOwnFileAt); a file written without bAtomic is made anew
    // (NewFileAtName) and synced to the disk when it is closed; the
    // temporary of an atomic write is made and renamed in that folder. A
    // path below the private folder (ZorSetPrivateFolder) is opened so
    // without this call.
    void InFolder(int dirFd);

    void UngetChar(unsigned char ch) override;
    bool IsEof() override;
    int ReadBytes(void* p, int n, CWideString& sErr) override;

    bool PutChar(unsigned char ch, CWideString& sErr) override;
    bool Write(const void* p, int n, CWideString& sErr) override;
    bool Close(CWideString& sErr) override;

    const CWideString& GetPath() const { return m_sPath; }

protected:
    bool GetCharSlow(unsigned char& ch, CWideString& sErr) override;
    // Refills the read buffer; returns the count, 0 at the end, -1 on an error.
    virtual int FillBuffer(CWideString& sErr);
    // Hands the buffered bytes to the file.
    virtual bool FlushBuffer(CWideString& sErr);
    // Finishes the written content before the descriptor is synced and closed.
    virtual bool FinishWrite(CWideString&) { return true; }
    // Drops the state of a derived layer without reporting errors.
    virtual void Abandon() {}
    bool CloseImpl(CWideString& sErr);
    void Discard();
    // End of life of an open stream: a direct writer keeps what was written,
    // as a closed file would; a temporary file is removed. Each class calls
    // it from its own destructor, while its overrides are still in place.
    void FinishOnDestroy();
    bool OpenWriteFd(const CWideString& sPath, bool bAtomic, CWideString& sErr);

    CWideString m_sPath;
    CNarrowString m_sSysPath; // UTF-8 path of the target
    CNarrowString m_sTmpPath; // atomic mode: the temporary file
    uint32_t m_nFinalMode = 0; // the permissions a file created here takes when complete (0: keep)
    bool m_bNewFileAtName = false; // NewFileAtName
    int m_nDirFd = -1;             // InFolder, or the private folder's part that holds the file
    CNarrowString m_sAtName;       // the file's name in m_nDirFd
    CNarrowString m_sTmpAtName;    // atomic mode in m_nDirFd: the temporary's name
    bool m_bDirGiven = false;      // m_nDirFd came from InFolder
    // Finds the folder of a path below the private folder; false with errno set.
    bool ResolveInFolder();
    int m_fd = -1;
    bool m_bWrite = false;
    bool m_bClosed = false;
    bool m_bCloseResult = false;
    bool m_bAtEnd = false;
    unsigned char* m_pBuf = nullptr;
    int m_nBufSize = 0;
    int m_nEnd = 0;     // read: bytes in the buffer; write: bytes waiting
    int m_nPushed = -1; // a put-back byte that is not the one before m_pRd
    // Read position in the buffer (m_pRd walks the buffer while reading).
    int Cur() const { return m_pRd ? (int)(m_pRd - m_pBuf) : 0; }
    bool m_bFailedWrite = false;
};

// A gzip file (zlib's gzip file format): reading decompresses every member of
// a multi-member file; writing compresses. A file that is not gzip, a
// truncated file and damaged data are read errors, never a short read.
class ZorGzFileStream : public ZorFileStream {
public:
    ZorGzFileStream();
    ~ZorGzFileStream() override;

    bool OpenRead(const CWideString& sPath, CWideString& sErr);
    bool OpenWrite(const CWideString& sPath, bool bAtomic, CWideString& sErr);

protected:
    int FillBuffer(CWideString& sErr) override;
    bool FlushBuffer(CWideString& sErr) override;
    bool FinishWrite(CWideString& sErr) override;
    void Abandon() override;

private:
    struct Inflater;
    // Reading: the file's members are inflated here, their CRCs checked by
    // ZorCrc32 (zlib's own check is the slower part of reading).
    int Inflate(CWideString& sErr);

    void* m_gz = nullptr;          // writing: gzFile
    Inflater* m_pInflate = nullptr; // reading
};

// Opens a file for reading: gzip decompression when bCompressed is set, else
// the plain buffered file. pStream is null on failure.
bool OpenFileReader(const CWideString& sPath, bool bCompressed, CAutoPtrT<ZorInStream>& pStream,
                    CWideString& sErr);
// Opens a file for writing (created or truncated), gzip-compressed when
// bCompressed is set. With bAtomic the content goes to a temporary file that
// Close renames over sPath (see ZorFileStream). pStream is null on failure.
bool OpenFileWriter(const CWideString& sPath, bool bCompressed, CAutoPtrT<ZorOutStream>& pStream,
                    CWideString& sErr, bool bAtomic = false);
