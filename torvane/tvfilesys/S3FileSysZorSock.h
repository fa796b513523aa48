// The file system of S3 buckets ("s3://host/bucket/folder", "s3s://" with
// TLS), spoken over the program's own HTTP client with signature version 2.
// Folders are zero-length marker objects whose keys end in '/'; a bucket is
// a folder at the top level. Large objects move in parts (multipart upload,
// ranged download).
#pragma once

#include "S3ReplyReader.h"
#include "S3Signing.h"
#include "TvInetFileSys.h"

// Largest object moved in one request; part length of larger ones.
constexpr int64_t kS3SingleRequestLimit = 10485760; // 10 MiB
constexpr int64_t kS3PartSize = 5242880;            // 5 MiB
constexpr int kS3MaxParts = 10000;                  // parts of one multipart upload
constexpr int kS3MaxListPages = 100000;             // pages of one folder listing
constexpr int64_t kS3MaxListItems = 10000000;       // entries of one folder listing
// The part length for a file of that size: 5 MiB, or more for files that
// would need more than kS3MaxParts parts (whole MiB).
int64_t S3PartSizeFor(int64_t nFileSize);

class S3FileSysZorSock : public TvInetFileSys {
public:
    S3FileSysZorSock();
    ~S3FileSysZorSock() override;

    TvFileSys* NewInstance() const override;
    bool AcceptsUrl(const CWideString& url) const override;
    int GetCapability(int id) const override;
    CWideString GetTypeInfo(int item) const override;
    void Disconnect(bool bFull) override;
    void Close() override;
    bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) override;
    bool CheckNewPath(const CWideString& path, bool bIsFolder, int& errKind, CWideString& err) override;
    bool MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool DeleteFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool MakeFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool DeleteFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool MoveFolderItselfOnly(const CWideString& from, const CWideString& to, int& errKind,
                              CWideString& err) override;
    bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                 CWideString& err) override;
    bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                      CWideString& err) override;
    bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind, CWideString& err) override;
    bool CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) override;
    bool ApplyFileOptions(const CWideString& path, TvFileSys* pSource, CWideString& log, int& errKind,
                          CWideString& err, const CWideString& srcPath = CWideString()) override;
    bool ListServers(const TvConnectInfo& ci, CListT<ServerEntry>& servers, ICopyProgress* pProgress,
                     CWideString& err) override;
    int GetDefaultPort() const override;

    // One request: path-style or host-based address, signed headers, the
    // retries of lost connections and of S3's RequestTimeout/InternalError.
    // True when the exchange succeeded (2xx); the caller reads the status.
    bool SendS3Request(CRsp& rsp, const char* verb, const CWideString& bucket, const CWideString& path,
                       bool bPathEncoded, const CNarrowString& extraHeaders, const CNarrowString& contentType,
                       int& errKind, CWideString& err);
    // SendS3Request, then an "Error" document in a successful reply fails (kind 7).
    bool SendS3RequestChecked(CRsp& rsp, const char* verb, const CWideString& bucket, const CWideString& path,
                              bool bPathEncoded, const CNarrowString& extraHeaders,
                              const CNarrowString& contentType, int& errKind, CWideString& err);
    // The whole "Authorization: AWS <key>:<signature>" line, without its line end.
    bool SignS3Request(const char* verb, const CWideString& bucket, const CNarrowString& encodedPath,
                       const CNarrowString& contentType, const CNarrowString& date, const CNarrowString& extraHeaders,
                       CNarrowString& authLine, CWideString& err);
    bool SplitS3Path(const CWideString& path, CWideString& bucket, CWideString& key, CWideString& err,
                     bool bTopLevelAllowed);

    CNarrowString m_sS3Host; // where requests go; set by Connect
    // A listing of one folder that goes on beyond these stops with an error:
    // far more pages, or entries, than any real folder listing has.
    int m_nMaxListPages = kS3MaxListPages;
    int64_t m_nMaxListItems = kS3MaxListItems;

private:
    bool CopyObject(const CWideString& from, const CWideString& to, bool bIsFile, const CNarrowString& contentType,
                    int& errKind, CWideString& err);
    // DELETE of the object, or of the folder's marker "<key>/".
    bool DeleteObject(const CWideString& path, bool bFolder, int& errKind, CWideString& err);
    CNarrowString UploadHeaders() const;
    bool MultipartUpload(CBufferedFile& src, const CWideString& bucket, const CWideString& key,
                         const CNarrowString& extra, int& errKind, CWideString& err);
    void AbortUpload(const CWideString& bucket, const CNarrowString& encodedKey, const CNarrowString& uploadId);
    // Ranges of one version of the object: later ranges carry "If-Match" with
    // the first answer's ETag; an object replaced meanwhile (412, another
    // total or ETag) fails with "Source file changed while copied: ".
    bool RangedDownload(const CWideString& path, const CWideString& bucket, const CWideString& key,
                        const CWideString& localFile, int64_t& nSize, int& errKind, CWideString& err);
    // The last-read record of a download: its size and the answer's time.
    void NoteDownloaded(const CRsp& rsp, int64_t nSize);
    bool EnsureHost(const CNarrowString& host, int& errKind, CWideString& err);
};
