// The Lumidrift cloud file system (luds://host): the service's REST
// interface under "/api" over HTTPS, token sign-in, every path resolved
// through the process-wide id/path cache (OrvanFileList.h), reads answered
// from the cache, changes sent as single requests and mirrored in the cache.
//
// Policy values are read from the current user's registry key
// "Software\Policies\Orvan\Lumidrift" at each use.
#pragma once

#include "OrvanFileList.h"
#include "TsLongPoll.h"
#include "TvInetFileSys.h"

// Policy readers.
uint32_t GetSendRecvTimeout();
uint32_t GetSendRecvIncrement();
uint32_t GetReadBlockSize(); // KiB, 0 = off; read once per process
uint32_t ParseReadBlockSize(const CWideString& value); // the rule behind it
bool UseMultipartUpload();
bool IsFake503Enabled();
bool IsCollabEnabled();
bool UseIndexEndpoint();
bool UseRecursiveListing();
CNarrowString GetClientSecret(const CNarrowString& cloudServer);
CNarrowString GetClientId();
CNarrowString GetKdxServer();
CNarrowString GetCloudServer();

// The largest listing reply read into memory (it costs several times its
// size once parsed and cached); the limit in force may be lowered (tests).
constexpr int64_t kOrvanMaxBodyInMemory = 256LL << 20;
int64_t GetOrvanBodyMemoryLimit();
void SetOrvanBodyMemoryLimit(int64_t n); // 0: back to kOrvanMaxBodyInMemory

constexpr const char16_t* kOrvanPolicyKey = u"Software\\Policies\\Orvan\\Lumidrift";

// Upload helpers.
CNarrowString MakeMultipartBoundary();
bool FormatIsoTime(int64_t t, CNarrowString& out, CWideString& err);
bool GetContentTypeForName(const CWideString& name, CNarrowString& type, CWideString& err);
// The socket time-out of an upload of nSize bytes: nPerGiB seconds per GiB,
// at most kOrvanMaxUploadTimeout, never below nBase.
constexpr uint32_t kOrvanMaxUploadTimeout = 690;
constexpr int kOrvanUploadRetryRounds = 100;
constexpr int kOrvanUploadRetryWaitMs = 500;
uint32_t ComputeUploadTimeout(int64_t nSize, uint32_t nBase, uint32_t nPerGiB);

// Asset metadata parsers (metadata replies and change notifications). A name
// that may not stand in a path sets *pbUnsafe (when given).
bool ParseAssetInfo(const ZorJsonValue* json, FsItemInfo& info, int& kind, CWideString& err, bool* pbUnsafe = nullptr);
bool GetAssetInfoFromNotification(const ZorJsonValue* json, FsItemInfo& info, int& kind, CWideString& err,
                                  bool* pbUnsafe = nullptr);

class OrvanFS : public TvInetFileSys, private IOrvanFolderFetch {
public:
    OrvanFS();
    ~OrvanFS() override;

    TvFileSys* NewInstance() const override { return new OrvanFS(); }
    int GetCapability(int id) const override;
    CWideString GetTypeInfo(int item) const override;
    void Close() override { Disconnect(false); }
    void Disconnect(bool bFull) override;
    bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) override;
    CWideString GetUrl() const override;
    bool ListServers(const TvConnectInfo& ci, CListT<ServerEntry>& servers, ICopyProgress* pProgress,
                     CWideString& err) override;
    int GetDefaultPort() const override { return 443; }

    // reads
    bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind, CWideString& err) override;
    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) override;
    bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                      CWideString& err) override;
    bool GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                        CWideString& err) override;
    bool GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree, int64_t& nTotal,
                          int& errKind, CWideString& err) override;
    bool GetQuotaCached(const CWideString& path, int64_t& nFree, int64_t& nAvail, int64_t& nTotal, int& errKind,
                        CWideString& err);
    bool RequestQuota(const CWideString& path, int64_t& nFree, int64_t& nAvail, int64_t& nTotal, int& errKind,
                      CWideString& err);

    // changes
    bool MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool DeleteFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool DeleteFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool MakeFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind, CWideString& err) override;

    // requests
    bool SendApiRequest(const HttpConnectParams& params, CRsp& rsp, const char* method, const CWideString& path,
                        ICopyProgress* pProgress, int& errKind, CWideString& err, bool bNoRetry);
    bool SendCachedApiRequest(const HttpConnectParams& params, CRsp& rsp, const char* method, const CWideString& path,
                              ICopyProgress* pProgress, int& errKind, CWideString& err, bool bNoRetry);
    static void AddApiError(CRsp& rsp, int& errKind, CWideString& err, bool bRetry);
    bool GetAccessToken(bool bUseProxy, const char* grant, const CNarrowString& extra, const CNarrowString& cloudServer,
                        CNarrowString& header, int& errKind, CWideString& err);
    // The authorisation header line of an API request.
    bool MakeAuthHeader(CNarrowString& header, int& errKind, CWideString& err);

    // the cache
    bool PopulateAccount(ICopyProgress* pProgress, int& errKind, CWideString& err);
    bool ListUndeletedFolder(const CWideString& folderId, const CWideString& parentId, int& errKind, CWideString& err);
    bool GetAssetMetadata(const CWideString& uri, FsItemInfo& info, int& errKind, CWideString& err);

    // monitoring: the long poll runs inside WaitForChanges (see TsLongPoll.h)
    bool StartMonitoring(const CWideString& path, int& errKind, CWideString& err) override;
    bool WaitForChanges(int& errKind, CWideString& err) override;
    bool GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) override;
    void StopMonitoring() override;
    // After a stop: the connection is made usable again for the unsubscribe.
    void ResumeAfterStop();

    uint8_t m_bRecursiveListing = 1;
    std::atomic<bool> m_bStopMonitor{false};
    TsLongPoll m_LongPoll{this};

private:
    CWideString m_sSpare;
    bool m_bCountedOpen = false;
    // Connected, as the job's threads may ask while the monitor thread's
    // requests change the connection's own state.
    std::atomic<bool> m_bOpen{false};

    bool FetchFolder(const CWideString& path, ZorJsonValuePtr& reply, int& kind, CWideString& err) override;
    bool Move(const CWideString& from, const CWideString& to, bool bFile, int& errKind, CWideString& err);
    // After an upload timed out: whether the service stored it (see UploadFile).
    // The entry found counts only in the upload's folder; round: the last one asked.
    bool FindUploadedProto(const CNarrowString& encName, const CWideString& path, const CWideString& knownId,
                           const CWideString& parentId, CWideString& foundId, int& round, int& errKind,
                           CWideString& err);
    bool DeleteItemReq(const CWideString& path, bool bFile, int& errKind, CWideString& err);
    bool WaitForCache(int& errKind, CWideString& err);
    bool OpenConnection(const TvConnectInfo& ci, bool bLongPoll, int& errKind, CWideString& err);
    bool PopulateFromConnect(bool bRefresh, int& errKind, CWideString& err);
    bool Full(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const;
};
