// The peer back-end: connect and disconnect, the discovery mediator, the
// ping on the local network, and the server list.
#include "TvBookmark.h"
#include "TvspFileSys.h"

#include "zor-http-util.h"
#include "zor-registry.h"
#include "zor-stream.h"
#include "zor-text.h"
#include "zor-tic.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <arpa/inet.h>
#include <atomic>
#include <ctime>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultMediatorHost = "disco.torvane.net";
constexpr int kLanReuseSeconds = 5;

std::mutex g_envLock;
TvspDiscoveryEnv g_env;
std::atomic<long> g_sessionCounter{0};

// One LAN discovery at a time: every discovery listens on the same reply port.
std::mutex g_discoveryLock;
struct LanResult {
    CWideString sUser;
    int64_t nTime = 0;
    bool bValid = false;
    bool bOk = false;
    int nKind = 0;
    CWideString sErr;
    CListT<PeerServerInfo> list;
};
LanResult g_lastLan;

bool Fail(int& errKind, CWideString& err, int kind, const CWideString& text) {
    errKind = kind;
    err += text;
    return false;
}

int64_t NowSec() {
    int64_t s = 0;
    int ms = 0;
    ZorGetClock().Now(s, ms);
    return s;
}

CNarrowString AddrText(uint32_t netOrder) {
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = netOrder;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return CNarrowString(buf);
}

CNarrowString TrimPadding(const CNarrowString& s) {
    int b = 0, e = s.GetLength();
    while (b < e && (s[b] == ' ' || s[b] == '\0')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
    return s.Mid(b, e - b);
}

bool SameNoCase(const CNarrowString& a, const CNarrowString& b) {
    return a.CompareNoCase(b) == 0;
}

void CopyList(const CListT<PeerServerInfo>& from, CListT<PeerServerInfo>& to) {
    for (auto pos = from.GetHeadPosition(); pos;) to.AddTail(from.GetNext(pos));
}

} // namespace

void TvspSetDiscoveryEnv(const TvspDiscoveryEnv& env) {
    {
        std::lock_guard<std::mutex> g(g_envLock);
        g_env = env;
    }
    // a discovery holds this lock while it reads the settings: never both at once
    std::lock_guard<std::mutex> g(g_discoveryLock);
    g_lastLan = LanResult();
}

TvspDiscoveryEnv TvspGetDiscoveryEnv() {
    std::lock_guard<std::mutex> g(g_envLock);
    return g_env;
}

CNarrowString TvspMediatorHost() {
    CWideString v;
    RegGetStringValueQuiet(v, HKEY_CURRENT_USER, u"Software\\Zorvek Systems\\Torvane", u"PeerMediator");
    v.Trim();
    return v.IsEmpty() ? CNarrowString(kDefaultMediatorHost) : WideToUtf8(v);
}

// ============================================================ records
bool ReadPeerServerInfo(ZorInStream& in, PeerServerInfo& r, CWideString& err) {
    unsigned char ch = 0;
    for (;;) {
        if (!in.PeekChar(ch, err)) return false;
        if (ch != ' ' && ch != '\n' && ch != '\r' && ch != '\t') break;
        in.GetChar(ch, err);
    }
    if (!GetTicPrefix(in, '[', err)) return false;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
        if (bEnd) return true;
        bool ok = true;
        switch (tag) {
        case 'n': ok = GetTicString(in, tag, r.m_sComputer, err); break;
        case 'e': ok = GetTicString(in, tag, r.m_sExtAddress, err); break;
        case 'q': ok = GetTicInt32(in, tag, r.m_nNoCallbackPort, err); break;
        case 'p': ok = GetTicInt32(in, tag, r.m_nExtPort, err); break;
        case 'i': ok = GetTicString(in, tag, r.m_sLanAddress, err); break;
        case 'P': ok = GetTicInt32(in, tag, r.m_nLanPort, err); break;
        case 'y': ok = GetTicInt32(in, tag, r.m_nRelayOnly, err); break;
        case 'f': ok = GetTicString(in, tag, r.m_sForwarder, err); break;
        case 'F': ok = GetTicInt32(in, tag, r.m_nForwarderPort, err); break;
        case 'g': ok = GetTicString(in, tag, r.m_sForwarder2, err); break;
        case 'G': ok = GetTicInt32(in, tag, r.m_nForwarder2Port, err); break;
        case 'a': ok = GetTicBool(in, tag, r.m_bActive, err); break;
        case 'r': ok = GetTicBool(in, tag, r.m_bReachable, err); break;
        case 't': ok = GetTicUInt32(in, tag, r.m_nT, err); break;
        case 'T': ok = GetTicUInt32(in, tag, r.m_nLastSeen, err); break;
        case 'c': ok = GetTicInt32(in, tag, r.m_nUpCount, err); break;
        default: ok = SkipTicValue(in, tag, err); break;
        }
        if (!ok) return false;
    }
}

CWideString TvspFileSys::PeerServerName(const PeerServerInfo& r) {
    return Utf8ToWide(r.m_sComputer) + u"." + Utf8ToWide(r.m_sUser) + u".torvane";
}

CWideString TvspFileSys::DescribePeerServer(const PeerServerInfo& r, bool bRemote) {
    CWideString s;
    if (bRemote) {
        if (r.m_bReachable && r.m_nExtPort > 0)
            s = CWideString::Formatted(u"remote at %S:%d last %s up %d", r.m_sExtAddress, r.m_nExtPort,
                                       FormatTimeStandard((int64_t)r.m_nLastSeen), r.m_nUpCount);
        else if (r.m_nNoCallbackPort > 0)
            s = CWideString::Formatted(u"remote at %S:%d no callback", r.m_sExtAddress, r.m_nNoCallbackPort);
        else if (!r.m_sExtAddress.IsEmpty())
            s = CWideString::Formatted(u"remote at %S no port", r.m_sExtAddress);
        else
            s = u"global not visible";
        if (!r.m_bActive) s = CWideString(u"[INACTIVE] ") + s;
        return s;
    }
    if (r.m_nLanPort > 0) return CWideString::Formatted(u"local at %S:%d", r.m_sLanAddress, r.m_nLanPort);
    return u"local not visible";
}

// ============================================================ connect
void TvspFileSys::Disconnect(bool bFull) {
    if (IsConnected()) {
        m_bReconnectAllowed = 0;
        CRsp rsp;
        int k = 0;
        CWideString e;
        SendReq(rsp, "Disconnect", CWideString(), k, e);
    }
    m_sServerPath.Empty();
    m_sHomeFolder.Empty();
    m_mapCaps.RemoveAll();
    m_sLockedFilePath.Empty();
    m_sForwarderHost.Empty();
    m_nForwarderPort = 0;
    m_sUserName.Empty();
    m_sComputerName.Empty();
    m_sSessionId.Empty();
    m_nSeqNo = 0;
    m_sClientAddress.Empty();
    m_nClientPort = 0;
    m_nLocalPort = 0;
    m_bSendClientAddress = false;
    m_bFlag = false;
    TvInetFileSys::Disconnect(bFull);
}

bool TvspFileSys::Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) {
    Disconnect(false);
    m_ConnectInfo = ci;
    SetProgressCallback(pProgress);
    CWideString path;
    if (!ParseConnectUrl(ci, "tvtp", 33333, "tvtps", 33333, true, path, err)) {
        errKind = FSE_GENERAL;
        return false;
    }
    SanitizeName(m_Params.m_sUserID);
    if (!path.IsEmpty()) {
        if (path[0] != u'/') return Fail(errKind, err, FSE_GENERAL, CWideString(u"Wrong URL inside TVTP server: ") + path);
        path = path.Mid(1);
    }
    m_sServerPath = path;
    {
        TvConnectInfo local;
        CWideString name, e;
        if (ReadLocalAccountBookmark(local, name, e))
            m_sLocalName = name;
        else
            m_sLocalName = u"-unknown-";
        SanitizeName(m_sLocalName);
        m_sCaller = WideToUtf8(m_sLocalName);
    }
    m_sUrlPrefix = MakeUrl() + Utf8ToWide(m_Params.m_sHost);
    m_nClientPort = 0;
    m_nLocalPort = 0;
    if (Utf8ToWide(m_Params.m_sHost).EndsWithNoCase(u".torvane")) {
        if (!ConnectRegistered(ci, errKind, err)) return false;
    }
    if (!m_sForwarderHost.IsEmpty()) {
        m_Params.m_sHost = m_sForwarderHost;
        m_Params.m_nPort = m_nForwarderPort;
        ICopyProgress::Message(m_pProgress, 2,
                               CWideString::Formatted(u"Remote Computer has registered but is not reachable directly, "
                                                      u"trying through forwarder %S:%d",
                                                      m_sForwarderHost, m_nForwarderPort));
    }
    // The peer protocol runs on our own sockets, where the plain-Basic guard applies.
    m_Params.m_bWinInet = 0;
    m_Conn.m_bGuardPlainBasic = 1;
    if (!HttpConfigureAndConnect(m_Conn, m_Params, m_pProgress, errKind, err)) return false;

    long counter = ++g_sessionCounter;
    {
        time_t t = (time_t)NowSec();
        struct tm lt {};
        localtime_r(&t, &lt);
        m_sSessionId.Format("S-%s-%02d%02d%02d_%02d%02d%02d-%lx-%lx-%06ld", m_sCaller, lt.tm_year + 1900 - 2000,
                            lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, (long)getpid(),
                            (long)gettid(), counter);
    }
    CRsp rsp;
    rsp.m_sReqHeaders.Format("copy-locked: %d\r\n", ci.m_bCopyLockedFiles ? 1 : 0);
    if (!SendReq(rsp, "Connect", m_sServerPath, errKind, err)) return false;
    CWideString gServer, gRoot, gInfo, gHome;
    struct {
        const char* name;
        CWideString* out;
    } heads[] = {{"g-server", &gServer}, {"g-root-folder", &gRoot}, {"g-server-info", &gInfo}, {"g-home-folder", &gHome}};
    for (auto& h : heads) {
        if (!UrlDecodeToW(rsp.GetHeader(h.name), *h.out, err)) {
            Disconnect(false);
            return Fail(errKind, err, FSE_NOT_FOUND, CWideString());
        }
    }
    if (!gServer.IsEmpty()) m_sUrlPrefix += CWideString(u"/") + gServer;
    m_sRootDir = gRoot;
    m_sCurRootDir = gRoot;
    m_sServerInfo = gInfo;
    m_sHomeFolder = gHome;

    m_mapCaps.RemoveAll();
    int lines = 0;
    const CNarrowString& body = rsp.m_sBody;
    for (int pos = 0; pos < body.GetLength();) {
        int nl = body.Find('\n', pos);
        CNarrowString line = body.Mid(pos, nl < 0 ? body.GetLength() - pos : nl - pos);
        pos = nl < 0 ? body.GetLength() : nl + 1;
        ++lines;
        int id = 0, v = 0;
        if (sscanf(line.GetString(), "#%d=%d", &id, &v) == 2) m_mapCaps.SetAt(id, v != 0);
    }
    const CodeTextPair& ver = rsp.m_ServerVersion;
    if (!ver.m_nVersion[0] && !ver.m_nVersion[1] && !ver.m_nVersion[2] && !ver.m_nVersion[3]) {
        m_sVersionText = CWideString(u"Old ver ") + Utf8OrAnsiToWide(rsp.m_sServer);
    } else {
        m_sVersionText = CWideString::Formatted(u"Version %d.%d.%d.%d", ver.m_nVersion[0], ver.m_nVersion[1],
                                                ver.m_nVersion[2], ver.m_nVersion[3]);
        if (!ver.m_sText.IsEmpty()) m_sVersionText += CWideString(u" ") + Utf8OrAnsiToWide(ver.m_sText);
    }
    if (lines > 0) m_sVersionText += u", with properties";
    ICopyProgress::Message(m_pProgress, 2,
                           CWideString::Formatted(u"Connected to Torvane Server %s on session %S", m_sVersionText,
                                                  m_sSessionId));
    m_bReconnectAllowed = 1;
    m_bConnected = true;
    return true;
}

// "<computer>.<user>.torvane": ask the mediator, then the local network.
bool TvspFileSys::ConnectRegistered(const TvConnectInfo&, int& errKind, CWideString& err) {
    if (m_Params.m_nPort != 33333)
        return Fail(errKind, err, FSE_GENERAL,
                    u"you cannot specify port in .torvane addressing, as actual port of the server will be used");
    CNarrowString rest = m_Params.m_sHost.Left(m_Params.m_sHost.GetLength() - 8);
    int dot = rest.ReverseFind('.');
    CNarrowString compPart = dot < 0 ? CNarrowString() : rest.Left(dot);
    CNarrowString userPart = dot < 0 ? rest : rest.Mid(dot + 1);
    CWideString e;
    if (!UrlDecodeToW(compPart, m_sComputerName, e) || !UrlDecodeToW(userPart, m_sUserName, e)) {
        // the host is plain UTF-8; a percent sign in it has no meaning here
        return Fail(errKind, err, FSE_GENERAL, e);
    }
    SanitizeName(m_sComputerName);
    SanitizeName(m_sUserName);
    m_sUrlHost = Utf8ToWide(m_Params.m_sHost);
    m_Params.m_sHost.Empty();
    m_bSendClientAddress = true;
    bool bRelayOnly = false;
    bool bRemote = true;
    CWideString remoteStatus, localStatus;
    CListT<PeerServerInfo> recs;
    int mk = 0;
    if (!QueryMediator(TvspMediatorHost(), m_sUserName, m_Params.m_sPassword, m_sClientAddress, recs, m_pProgress, mk,
                       remoteStatus)) {
        ICopyProgress::Message(m_pProgress, 2, remoteStatus);
        bRemote = false;
    } else if (m_sClientAddress.IsEmpty()) {
        remoteStatus = u"Mediator did not tell us our external IP address";
        ICopyProgress::Message(m_pProgress, 2, remoteStatus);
        bRemote = false;
    } else {
        const PeerServerInfo* wanted = nullptr;
        CNarrowString compUtf8 = WideToUtf8(m_sComputerName);
        for (auto pos = recs.GetHeadPosition(); pos;) {
            const PeerServerInfo& r = recs.GetNext(pos);
            if (SameNoCase(r.m_sComputer, m_sCaller)) {
                if (!r.m_bReachable) {
                    m_bSendClientAddress = false;
                } else {
                    m_nClientPort = r.m_nExtPort;
                    m_nLocalPort = r.m_nLanPort;
                }
            }
            if (!wanted && SameNoCase(r.m_sComputer, compUtf8)) wanted = &r;
        }
        auto chooseForwarder = [&](const PeerServerInfo& r) {
            if (r.m_sForwarder == m_sClientAddress && r.m_nForwarder2Port != 0 && !r.m_sForwarder2.IsEmpty()) {
                m_sForwarderHost = r.m_sForwarder2;
                m_nForwarderPort = r.m_nForwarder2Port;
            } else {
                m_sForwarderHost = r.m_sForwarder;
                m_nForwarderPort = r.m_nForwarderPort;
            }
        };
        if (!wanted) {
            remoteStatus = CWideString::Formatted(u"Computer %S has not registered, because it is offline or turned off",
                                                  m_sComputerName);
            bRemote = false;
        } else if (wanted->m_nRelayOnly != 0) {
            bRelayOnly = true;
            chooseForwarder(*wanted);
        } else if (wanted->m_sExtAddress == m_sClientAddress) {
            m_Params.m_sHost = wanted->m_sLanAddress;
            m_Params.m_nPort = wanted->m_nLanPort;
            if (SameNoCase(wanted->m_sComputer, m_sCaller)) {
                m_nNetworkLocality = TVFS_LOC_THIS_COMPUTER;
                remoteStatus = CWideString::Formatted(u"%S is this computer, so to speed up transfer you should access "
                                                      u"its files via My Computer tab of Browse dialog",
                                                      m_sUrlHost);
            } else {
                m_nNetworkLocality = TVFS_LOC_LAN;
                remoteStatus = CWideString::Formatted(u"%S is on local network, trying direct connect at %S:%d",
                                                      m_sUrlHost, wanted->m_sLanAddress, wanted->m_nLanPort);
            }
        } else {
            m_nNetworkLocality = TVFS_LOC_REMOTE;
            if (!wanted->m_bReachable || wanted->m_nExtPort < 1) {
                remoteStatus = u"Not directly reachable";
                bRemote = false;
                chooseForwarder(*wanted);
            } else {
                m_Params.m_sHost = wanted->m_sExtAddress;
                m_Params.m_nPort = wanted->m_nExtPort;
                remoteStatus = CWideString::Formatted(u"%S is remote, trying direct connect at %S:%d", m_sUrlHost,
                                                      wanted->m_sExtAddress, wanted->m_nExtPort);
            }
        }
        ICopyProgress::Message(m_pProgress, 2, remoteStatus);
    }
    localStatus = u"not tried";
    if (m_Params.m_sHost.IsEmpty() && !bRelayOnly) {
        CListT<PeerServerInfo> lan;
        int lk = 0;
        CWideString le;
        if (!DiscoverLanServers(m_sUserName, lan, m_pProgress, lk, le)) {
            localStatus = le;
            ICopyProgress::Message(m_pProgress, 2, localStatus);
        } else {
            bool found = false;
            CNarrowString compUtf8 = WideToUtf8(m_sComputerName), userUtf8 = WideToUtf8(m_sUserName);
            for (auto pos = lan.GetHeadPosition(); pos;) {
                const PeerServerInfo& r = lan.GetNext(pos);
                if (SameNoCase(r.m_sComputer, compUtf8) && SameNoCase(r.m_sUser, userUtf8)) {
                    m_Params.m_sHost = r.m_sLanAddress;
                    m_Params.m_nPort = r.m_nLanPort;
                    m_sForwarderHost.Empty();
                    m_nForwarderPort = 0;
                    m_nNetworkLocality = TVFS_LOC_LAN;
                    found = true;
                    break;
                }
            }
            if (!found) localStatus = u"not found";
        }
    }
    if (m_Params.m_sHost.IsEmpty() && m_sForwarderHost.IsEmpty()) {
        if (bRemote) remoteStatus = u"ok";
        return Fail(errKind, err, FSE_CONN_LOST,
                    CWideString::Formatted(u"Cannot find computer '%s' of user '%s': Remote: %s; Local: %s",
                                           m_sComputerName, m_sUserName, remoteStatus, localStatus));
    }
    return true;
}

// ============================================================ mediator
bool TvspFileSys::QueryMediator(const CNarrowString& mediatorHost, const CWideString& user,
                                const CWideString& password, CNarrowString& clientAddress,
                                CListT<PeerServerInfo>& list, ICopyProgress* pProgress, int& errKind,
                                CWideString& err) {
    clientAddress.Empty();
    m_nClientPort = 0;
    m_nLocalPort = 0;
    CWideString u = user;
    SanitizeName(u);
    // "host[:port]", port 80 unless given
    CNarrowString host = mediatorHost;
    int port = 80;
    int colon = host.ReverseFind(':');
    if (colon > 0 && host.Find(':') == colon) {
        port = atoi(host.Mid(colon + 1).GetString());
        host = host.Left(colon);
    }
    HttpConnectParams params;
    params.m_sUrl = CWideString::Formatted(u"http://%S:%d/disco", host, port);
    params.m_sUserID = u;
    params.m_sPassword = password;
    params.m_bWinInet = 0;
    params.m_bUseProxy = m_ConnectInfo.m_bUseProxy;
    CRsp rsp;
    AppendHeaderLine(rsp.m_sReqHeaders, "user", WideToUtf8(u));
    if (!HttpGetUrl(rsp, params, "GET", pProgress, errKind, err, true)) return false;
    clientAddress = rsp.GetHeader("client-ip");
    m_sTicket = rsp.GetHeader("ticket");
    ZorStringStream in(rsp.m_sBody);
    for (;;) {
        PeerServerInfo r;
        CWideString e;
        bool ok = ReadPeerServerInfo(in, r, e);
        if (!ok && in.IsEof() && r.m_sComputer.IsEmpty()) break;
        if (r.m_bActive) list.AddTail(r);
        if (!ok) break;
    }
    return true;
}

// ============================================================ LAN discovery
bool TvspFileSys::DiscoverLanServers(const CWideString& user, CListT<PeerServerInfo>& list, ICopyProgress* pProgress,
                                     int& errKind, CWideString& err) {
    std::unique_lock<std::mutex> lock(g_discoveryLock, std::try_to_lock);
    bool waited = false;
    if (!lock.owns_lock()) {
        lock.lock();
        waited = true;
    }
    if (waited && g_lastLan.bValid && g_lastLan.sUser == user && NowSec() - g_lastLan.nTime <= kLanReuseSeconds) {
        if (!g_lastLan.bOk) return Fail(errKind, err, g_lastLan.nKind, g_lastLan.sErr);
        CopyList(g_lastLan.list, list);
        return true;
    }
    CListT<PeerServerInfo> found;
    CWideString e;
    int k = 0;
    bool ok = DiscoverLanServersLocked(user, found, pProgress, k, e);
    g_lastLan.bValid = true;
    g_lastLan.sUser = user;
    g_lastLan.nTime = NowSec();
    g_lastLan.bOk = ok;
    g_lastLan.nKind = k;
    g_lastLan.sErr = e;
    g_lastLan.list.RemoveAll();
    CopyList(found, g_lastLan.list);
    if (!ok) return Fail(errKind, err, k, e);
    CopyList(found, list);
    return true;
}

bool TvspFileSys::DiscoverLanServersLocked(const CWideString& user, CListT<PeerServerInfo>& list,
                                           ICopyProgress* pProgress, int& errKind, CWideString& err) {
    TvspDiscoveryEnv env = TvspGetDiscoveryEnv();
    ZorUdpSocket listen;
    if (!listen.Create(errKind, err) || !listen.SetTimeout(SO_RCVTIMEO, env.nReceiveTimeoutSec, errKind, err) ||
        !listen.SetOption(SO_REUSEADDR, 1, errKind, err) || !listen.Bind(INADDR_ANY, env.nReplyPort, errKind, err))
        return false;
    CNarrowString userUtf8 = WideToUtf8(user);
    CNarrowString ping = CNarrowString("TVTPPING-U") + userUtf8;
    CArrayT<ZorAdapterEntry> adapters;
    bool ok = env.getAdapters ? env.getAdapters(adapters, errKind, err) : ZorGetAdapters(true, adapters, errKind, err);
    if (!ok) return false;
    // Replies count only from the networks and neighbours that were pinged.
    struct Net {
        uint32_t addr, mask;
    };
    CArrayT<Net> nets;
    CArrayT<uint32_t> neighbours;
    for (int i = 0; i < adapters.GetSize(); ++i) {
        const ZorAdapterEntry& a = adapters[i];
        ZorUdpSocket s;
        uint32_t bcast = a.m_nAddress | ~a.m_nMask;
        if (!s.Create(errKind, err) || !s.Bind(a.m_nAddress, 0, errKind, err) ||
            !s.SetOption(SO_BROADCAST, 1, errKind, err) || !s.SendTo(bcast, env.nPingPort, ping, errKind, err))
            return false;
        nets.Add(Net{a.m_nAddress, a.m_nMask});
    }
    CArrayT<uint32_t> arp;
    CWideString ae;
    if (env.getArp ? env.getArp(arp, ae) : ZorGetArpTable(arp, ae)) {
        for (int i = 0; i < arp.GetSize(); ++i) {
            if (ICopyProgress::Stopped(pProgress)) return Fail(errKind, err, FSE_STOPPED, u"Cancelled");
            ZorUdpSocket s;
            if (!s.Create(errKind, err) || !s.SendTo(arp[i], env.nPingPort, ping, errKind, err)) return false;
            neighbours.Add(arp[i]);
        }
    }
    for (int n = 0; n < 200; ++n) {
        if (ICopyProgress::Stopped(pProgress)) return Fail(errKind, err, FSE_STOPPED, u"Cancelled");
        CNarrowString data;
        sockaddr_in from{};
        int rk = 0;
        CWideString re;
        if (!listen.ReceiveFrom(80, data, from, rk, re)) {
            if (data.GetLength() > 0) { // longer than any reply: skipped
                ICopyProgress::Message(pProgress, 2, CWideString(u"Skipped an oversize discovery reply: ") + re);
                continue;
            }
            break; // silence ends the discovery
        }
        uint32_t sender = from.sin_addr.s_addr;
        bool inside = false;
        for (int i = 0; i < nets.GetSize() && !inside; ++i)
            inside = (sender & nets[i].mask) == (nets[i].addr & nets[i].mask);
        for (int i = 0; i < neighbours.GetSize() && !inside; ++i) inside = neighbours[i] == sender;
        if (!inside) {
            ICopyProgress::Message(pProgress, 2,
                                   CWideString(u"Ignored a discovery reply from outside the pinged networks: ") +
                                       Utf8ToWide(AddrText(sender)));
            continue;
        }
        ZOR_ASSERT(data.GetLength() == 36 || data.GetLength() == 76);
        CNarrowString text = TrimPadding(data);
        bool bName = text.StartsWith("TVTP-NAME,"), bComp = text.StartsWith("TVTP-COMP,");
        if (!bName && !bComp) continue;
        if (text.GetLength() < 16 || text[15] != ',') continue;
        int port = 0;
        bool digits = true;
        for (int i = 10; i < 15; ++i) {
            if (text[i] < '0' || text[i] > '9') digits = false;
            port = port * 10 + (text[i] - '0');
        }
        if (!digits || port > 65535) continue;
        CNarrowString name = TrimPadding(text.Mid(16));
        name.Trim();
        PeerServerInfo r;
        r.m_sLanAddress = AddrText(sender);
        r.m_nLanPort = port;
        if (bName) {
            if (name.GetLength() >= 8 && name.Right(8).CompareNoCase(".torvane") == 0) {
                name = name.Left(name.GetLength() - 8);
                int d = name.Find('.');
                r.m_sComputer = d < 0 ? name : name.Left(d);
                r.m_sUser = d < 0 ? CNarrowString() : name.Mid(d + 1);
            } else {
                r.m_sComputer = name;
            }
            if (!userUtf8.IsEmpty() && r.m_sUser != userUtf8) continue;
        } else {
            r.m_sComputer = name;
            r.m_sUser = userUtf8;
        }
        bool dup = false;
        for (auto pos = list.GetHeadPosition(); pos && !dup;) {
            const PeerServerInfo& o = list.GetNext(pos);
            dup = o.m_sComputer == r.m_sComputer && (bComp || o.m_sUser == r.m_sUser) &&
                  o.m_sLanAddress == r.m_sLanAddress && o.m_nLanPort == r.m_nLanPort;
        }
        if (!dup) list.AddTail(r);
    }
    return true;
}

// ============================================================ server list
bool TvspFileSys::ListServers(const TvConnectInfo& ci, CListT<ServerEntry>& servers, ICopyProgress* pProgress,
                              CWideString& err) {
    m_ConnectInfo = ci;
    CWideString password, pe;
    ci.DecryptPassword(password, pe);
    CListT<PeerServerInfo> recs;
    CNarrowString client;
    int mk = 0;
    CWideString merr;
    bool mOk = QueryMediator(TvspMediatorHost(), ci.m_sUserID, password, client, recs, pProgress, mk, merr);
    CNarrowString userUtf8 = WideToUtf8(ci.m_sUserID);
    if (!mOk) {
        ICopyProgress::Message(pProgress, 1, CWideString(u"Cannot connect to Mediator: ") + merr + u"\n");
    } else {
        for (auto pos = recs.GetHeadPosition(); pos;) {
            PeerServerInfo& r = recs.GetNext(pos);
            r.m_sUser = userUtf8;
            ServerEntry en;
            en.m_sName = PeerServerName(r);
            en.m_nWhere = 1;
            en.m_sDescription = DescribePeerServer(r, true);
            servers.AddTail(en);
        }
    }
    CListT<PeerServerInfo> lan;
    int lk = 0;
    CWideString lerr;
    bool lOk = DiscoverLanServers(ci.m_sUserID, lan, pProgress, lk, lerr);
    if (!lOk) {
        ICopyProgress::Message(pProgress, 1, CWideString(u"No local discovery: ") + lerr);
    } else {
        for (auto pos = lan.GetHeadPosition(); pos;) {
            const PeerServerInfo& r = lan.GetNext(pos);
            CWideString name = PeerServerName(r), local = DescribePeerServer(r, false);
            bool matched = false;
            for (auto sp = servers.GetHeadPosition(); sp;) {
                ServerEntry& en = servers.GetNext(sp);
                if (en.m_sName == name) {
                    en.m_nWhere = 0;
                    en.m_sDescription = local + u"; " + en.m_sDescription;
                    matched = true;
                }
            }
            if (!matched) {
                ServerEntry en;
                en.m_sName = name;
                en.m_nWhere = 0;
                en.m_sDescription = local;
                servers.AddTail(en);
            }
        }
    }
    if (mOk || (lOk && !servers.IsEmpty())) return true;
    err += CWideString(u"Global Err: ") + merr;
    if (!lOk) err += CWideString(u"; Local Err: ") + lerr;
    return false;
}
