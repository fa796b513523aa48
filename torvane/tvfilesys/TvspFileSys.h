// The peer file-server back-end ("tvtp://", "tvtps://"): every operation is
// one POST request (a verb) to the peer file server, sent directly or relayed
// by a forwarder; a server is named by its own host or by its registered name
// "<computer>.<user>.torvane", which the discovery mediator and a ping on the
// local network turn into an address.
#pragma once

#include "TvInetFileSys.h"
#include "zor-udp.h"

#include <functional>

// One server as the mediator or the local network reports it.
struct PeerServerInfo {
    CNarrowString m_sComputer;   // 'n'
    CNarrowString m_sUser;       // filled by LAN discovery and the server list
    CNarrowString m_sExtAddress; // 'e'
    CNarrowString m_sText1, m_sText2, m_sText3;
    int32_t m_nNoCallbackPort = 0; // 'q'
    int32_t m_nExtPort = 0;        // 'p'
    CNarrowString m_sLanAddress;   // 'i'
    int32_t m_nLanPort = 0;        // 'P'
    int32_t m_nRelayOnly = 0;      // 'y'
    CNarrowString m_sForwarder;    // 'f'
    int32_t m_nForwarderPort = 0;  // 'F'
    CNarrowString m_sForwarder2;   // 'g'
    int32_t m_nForwarder2Port = 0; // 'G'
    CNarrowString m_sText4;
    CodeTextPair m_Version;
    bool m_bActive = true; // 'a'
    bool m_bFlag1 = false;
    bool m_bReachable = false; // 'r'
    bool m_bFlag2 = false;
    uint32_t m_nT = 0;        // 't'
    uint32_t m_nLastSeen = 0; // 'T'
    int32_t m_nUpCount = 0;   // 'c'
    CWideString m_sWide;
    uint32_t m_nValue = 0;
};

// Reads one record "[...]" (blanks and line ends before it skipped, unknown
// tags skipped). On a failure the record keeps what was read before it.
bool ReadPeerServerInfo(ZorInStream& in, PeerServerInfo& rec, CWideString& err);
// Reads the change records of a GetChangedItems body. A path with an empty,
// ".", "..", or control-character component, or holding '\', becomes the
// whole-tree ChangeInFolder (with a notice through pProgress).
bool ReadPeerChangeRecords(ZorInStream& in, CListT<ChangedItem>& items, ICopyProgress* pProgress,
                           CWideString& err);
// True for a name a listing may hand on: not empty, ".", "..", and no '/',
// '\', NUL or control character.
bool IsAcceptablePeerName(const CWideString& name);

// Where the LAN discovery pings and listens, and the lists it pings. Tests
// replace them; the defaults are ports 33338 and 33339 and the system's
// adapter and ARP lists.
struct TvspDiscoveryEnv {
    int nPingPort = 33338;
    int nReplyPort = 33339;
    int nReceiveTimeoutSec = 2;
    // When set, they replace ZorGetAdapters (without loopback) and ZorGetArpTable.
    std::function<bool(CArrayT<ZorAdapterEntry>&, int&, CWideString&)> getAdapters;
    std::function<bool(CArrayT<uint32_t>&, CWideString&)> getArp;
};
void TvspSetDiscoveryEnv(const TvspDiscoveryEnv& env);
TvspDiscoveryEnv TvspGetDiscoveryEnv();

// The mediator's "host[:port]": the string value "PeerMediator" under
// HKCU\Software\Zorvek Systems\Torvane, else the built-in host.
CNarrowString TvspMediatorHost();

class TvspFileSys : public TvInetFileSys {
public:
    TvspFileSys();
    ~TvspFileSys() override;

    TvFileSys* NewInstance() const override { return new TvspFileSys(); }
    bool AcceptsUrl(const CWideString& url) const override;
    int GetCapability(int id) const override;
    CWideString GetTypeInfo(int item) const override;
    int GetDefaultPort() const override { return 33333; }
    bool BreakURL(const CWideString& url, CWideString& server, CWideString& path, CWideString& err) override;
    bool GetFullPath(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const override;

    bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) override;
    void Disconnect(bool bFull) override;
    bool SetRootDir(const CWideString& path, int& errKind, CWideString& err) override;

    bool StartMonitoring(const CWideString& path, int& errKind, CWideString& err) override;
    bool GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) override;
    void StopMonitoring() override;

    bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) override;
    bool GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind, CWideString& err) override;
    bool IsFile(const CWideString& path, bool& bExists, int& errKind, CWideString& err) override;
    bool IsFolder(const CWideString& path, bool& bExists, int& errKind, CWideString& err) override;
    bool GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree, int64_t& nTotal,
                          int& errKind, CWideString& err) override;
    bool GetLinkInfo(const CWideString& path, CWideString& target, int& errKind, CWideString& err) override;
    bool GetLinkTargetInfo(const CWideString& path, FsItemInfo& info, int& errKind, CWideString& err) override;
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
    bool DeleteFile(const CWideString& path, int& errKind, CWideString& err) override;
    bool DeleteFolder(const CWideString& path, int& errKind, CWideString& err) override;
    bool MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) override;
    bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                      CWideString& err) override;
    bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind, CWideString& err) override;
    bool GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLength, int& errKind, CWideString& err) override;
    bool GetSecurityDescr(const CWideString& path, CWideString& sd, int& errKind, CWideString& err) override;
    bool SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind, CWideString& err) override;

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
    bool WriteBufPosn(int dix, const void* buf, uint32_t len, int64_t pos, int& errKind, CWideString& err) override;

    bool SendRecvTvtpReq(CRsp& rsp, const char* verb, const CWideString& path, int& errKind,
                         CWideString& err) override;
    bool ListServers(const TvConnectInfo& ci, CListT<ServerEntry>& servers, ICopyProgress* pProgress,
                     CWideString& err) override;

    // The one exchange every verb goes through.
    bool SendReq(CRsp& rsp, const char* verb, const CWideString& path, int& errKind, CWideString& err);
    // Reaches the peer server of this computer (connecting first when needed).
    bool SendReqToLocalServer(CRsp& rsp, const char* verb, const CWideString& localPath, int& errKind,
                              CWideString& err);
    bool QueryMediator(const CNarrowString& mediatorHost, const CWideString& user, const CWideString& password,
                       CNarrowString& clientAddress, CListT<PeerServerInfo>& list, ICopyProgress* pProgress,
                       int& errKind, CWideString& err);
    // One discovery at a time in the process; a caller that had to wait
    // reuses a result for the same user that is at most 5 seconds old.
    bool DiscoverLanServers(const CWideString& user, CListT<PeerServerInfo>& list, ICopyProgress* pProgress,
                            int& errKind, CWideString& err);
    static CWideString DescribePeerServer(const PeerServerInfo& rec, bool bRemote);
    static CWideString PeerServerName(const PeerServerInfo& rec);

    // Session state (public for tests).
    CWideString m_sServerPath;
    CWideString m_sHomeFolder;
    CHashMapT<int32_t, bool> m_mapCaps;
    CNarrowString m_sForwarderHost;
    int32_t m_nForwarderPort = 0;
    CWideString m_sUserName;
    CWideString m_sComputerName;
    CNarrowString m_sTicket;
    CNarrowString m_sSessionId;
    int32_t m_nSeqNo = 0;
    CWideString m_sLocalName;
    CNarrowString m_sCaller;
    CNarrowString m_sClientAddress;
    int32_t m_nClientPort = 0;
    int32_t m_nLocalPort = 0;
    bool m_bSendClientAddress = false;
    bool m_bFlag = false;
    CWideString m_sUrlHost; // the host as the URL gave it
    CWideString m_sVersionText;

private:
    bool WaitForServerProgress(const CNarrowString& progress, int64_t start, int& attempts, int& errKind,
                               CWideString& err);
    bool Verb(CRsp& rsp, const char* verb, const CWideString& path, int& errKind, CWideString& err);
    bool PathVerb(const char* verb, const CWideString& path, const CNarrowString& lines, int& errKind,
                  CWideString& err);
    bool FullPath(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const;
    bool ReadTimes(CRsp& rsp, uint32_t& modTime, uint32_t& createTime, int& errKind, CWideString& err);
    bool ReadCrcReply(CRsp& rsp, bool bCrcFirst, uint32_t& nRead, CNarrowString& crc, int& errKind,
                      CWideString& err);
    bool ReadBufReply(CRsp& rsp, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err);
    bool ReadLockedHeaders(CRsp& rsp, bool bOpen, const CWideString& path, int& errKind, CWideString& err);
    bool ReadItemBody(CRsp& rsp, CListT<FsItemInfo>* pList, FsItemInfo* pOne, int& errKind, CWideString& err);
    bool ConnectRegistered(const TvConnectInfo& ci, int& errKind, CWideString& err);
    bool DiscoverLanServersLocked(const CWideString& user, CListT<PeerServerInfo>& list, ICopyProgress* pProgress,
                                  int& errKind, CWideString& err);
};

// Reply header readers of the verbs.
bool GetReplyUInt32(const CRsp& rsp, const char* name, bool bRequired, uint32_t& value, int& errKind,
                    CWideString& err);
bool GetReplyInt64(const CRsp& rsp, const char* name, int64_t& value, int& errKind, CWideString& err);
