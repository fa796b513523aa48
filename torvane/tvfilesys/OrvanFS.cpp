// The Lumidrift cloud file system: policy values, sign-in, connection,
// requests and their error mapping, account population, reads and changes.
#include "OrvanFS.h"

#include "zor-escape.h"
#include "zor-file.h"
#include "zor-http.h"
#include "zor-log.h"
#include "zor-registry.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"
#include "zor-url.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

// Deployment values: the production hosts and the two built-in client secrets.
constexpr const char* kProductionCloudHost = "cloud.lumidrift.example";
constexpr const char* kDefaultKdxHost = "id.lumidrift.example";
constexpr const char* kClientSecretProduction = "5f0c6c2e-8a4b-4d1e-9c3a-2b7e1f9d6a40";
constexpr const char* kClientSecretOther = "0d3b8e71-2c5f-4a96-b8e4-7f1a3c9d2e65";

CWideString PolicyString(const char16_t* name) {
    CWideString v;
    RegGetStringValueQuiet(v, HKEY_CURRENT_USER, kOrvanPolicyKey, name);
    return v;
}

uint32_t PolicyDword(const char16_t* name, uint32_t def) {
    uint32_t v = def;
    RegGetDwordValueQuiet(v, HKEY_CURRENT_USER, kOrvanPolicyKey, name);
    return v;
}

bool ReadStr(const ZorJsonValue* node, const char* name, CWideString& out) {
    const ZorJsonValue* v = node ? node->GetMember(name) : nullptr;
    return v && v->IsScalar() && v->IsQuoted() && v->GetString(out);
}

CWideString LastSegment(const CWideString& s) {
    int i = s.ReverseFind(u'/');
    return i < 0 ? s : s.Mid(i + 1);
}

CWideString ParentPath(const CWideString& path) {
    int i = path.ReverseFind(u'/');
    return i <= 0 ? CWideString() : path.Left(i);
}

bool InDataFolder(const CWideString& path) {
    CWideString p = path;
    p.TrimLeft(u'/');
    return p.Left(8) == u"_tvdata_";
}

CWideString Widen(const CNarrowString& s) {
    return Utf8OrAnsiToWide(s);
}

} // namespace

// ---------------------------------------------------------------- policy values
uint32_t GetSendRecvTimeout() {
    return PolicyDword(u"SendRecvTimeout", 90);
}
uint32_t GetSendRecvIncrement() {
    return PolicyDword(u"SendRecvIncrement", 120);
}
uint32_t ParseReadBlockSize(const CWideString& value) {
    if (value.IsEmpty()) return 1024;
    if (value.EqualsNoCase(u"off")) return 0;
    long n = strtol(WideToUtf8(value).GetString(), nullptr, 10);
    return (n < 32 || n > 16384) ? 1024 : (uint32_t)n;
}
uint32_t GetReadBlockSize() {
    static std::once_flag once;
    static uint32_t s_n = 1024;
    std::call_once(once, [] { s_n = ParseReadBlockSize(PolicyString(u"ReadBlockSize")); });
    ZOR_ASSERT(s_n == 0 || (s_n >= 32 && s_n <= 16384));
    return s_n;
}
bool UseMultipartUpload() {
    return PolicyDword(u"MultipartUpload", 0) != 0;
}
bool IsFake503Enabled() {
    return PolicyDword(u"EnableFake503", 0) != 0;
}
bool IsCollabEnabled() {
    return PolicyDword(u"EnableCollab", 0) != 0;
}
bool UseIndexEndpoint() {
    return PolicyDword(u"IndexEndpoint", 1) != 0;
}
bool UseRecursiveListing() {
    return PolicyDword(u"RecursiveListing", 1) != 0;
}
CNarrowString GetClientId() {
    return CNarrowString("K4Win1");
}
CNarrowString GetKdxServer() {
    CWideString v = PolicyString(u"KdxServer");
    return v.IsEmpty() ? CNarrowString(kDefaultKdxHost) : WideToUtf8(v);
}
CNarrowString GetCloudServer() {
    CWideString v = PolicyString(u"CloudServer");
    return v.IsEmpty() ? CNarrowString(kProductionCloudHost) : WideToUtf8(v);
}
CNarrowString GetClientSecret(const CNarrowString& cloudServer) {
    CWideString v = PolicyString(u"ClientSecret");
    if (!v.IsEmpty()) return WideToUtf8(v);
    return CNarrowString(cloudServer == kProductionCloudHost ? kClientSecretProduction : kClientSecretOther);
}

namespace {
std::atomic<int64_t> s_nBodyMemoryLimit{kOrvanMaxBodyInMemory};
}
int64_t GetOrvanBodyMemoryLimit() {
    return s_nBodyMemoryLimit.load();
}
void SetOrvanBodyMemoryLimit(int64_t n) {
    s_nBodyMemoryLimit = n > 0 && n <= kOrvanMaxBodyInMemory ? n : kOrvanMaxBodyInMemory;
}

// ---------------------------------------------------------------- upload helpers
CNarrowString MakeMultipartBoundary() {
    // letters from the random source: a boundary nobody can foresee, new for every upload
    CNarrowString hex = NewGuidString() + NewGuidString();
    CNarrowString s("--");
    for (int i = 0; i < hex.GetLength() && s.GetLength() < 32; i++) {
        char c = hex[i];
        if (c >= '0' && c <= '9') s += (char)('a' + (c - '0'));
        else if (c >= 'A' && c <= 'F') s += (char)('k' + (c - 'A'));
    }
    return s;
}

bool FormatIsoTime(int64_t t, CNarrowString& out, CWideString& err) {
    time_t tt = (time_t)t;
    struct tm tmv;
    if (!gmtime_r(&tt, &tmv)) {
        err = u"bad nulll time";
        return false;
    }
    if (tmv.tm_wday >= 7) {
        err = u"DOW out of range";
        return false;
    }
    if (tmv.tm_mon >= 12) {
        err = u"month out of range";
        return false;
    }
    char buf[96];
    snprintf(buf, sizeof(buf), "%d-%02d-%02dT%02d:%02d:%02d+00:00", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    out = CNarrowString(buf).Left(28);
    return true;
}

bool GetContentTypeForName(const CWideString& name, CNarrowString& type, CWideString& err) {
    static const struct {
        const char16_t* ext;
        const char* type;
    } kOwn[] = {
        {u"eps", "image/x-eps"},       {u"js", "application/javascript"}, {u"wav", "audio/x-wav"},
        {u"zip", "application/zip"},   {u"aac", "audio/x-aac"},           {u"cr2", "image/x-dcraw"},
        {u"f4v", "video/x-f4v"},       {u"jp2", "image/jp2"},             {u"nef", "image/x-nikon-nef"},
        {u"pct", "image/x-pict"},      {u"lds", "application/vnd.orvan.lumidrift-sketch"},
        {u"ldp", "application/vnd.orvan.lumidrift-project"},
    };
    int dot = name.ReverseFind(u'.');
    if (dot < 0 || dot == name.GetLength() - 1) {
        err = u"no extension in file name";
        return false;
    }
    CWideString ext = name.Mid(dot + 1);
    for (const auto& row : kOwn) {
        if (ext == row.ext) {
            type = row.type;
            return true;
        }
    }
    CNarrowString t;
    CWideString e;
    if (!MimeTypeByExtension(name, t, e)) {
        err = u"not found";
        return false;
    }
    type = t;
    return true;
}

// ---------------------------------------------------------------- metadata parsers
bool ParseAssetInfo(const ZorJsonValue* json, FsItemInfo& info, int& kind, CWideString& err, bool* pbUnsafe) {
    if (!json || json->IsNull()) {
        kind = FSE_NOT_FOUND;
        err = u"ParseAssetInfo: null value";
        return false;
    }
    if (!ReadStr(json, "name", info.m_sName)) {
        kind = FSE_NOT_FOUND;
        err = u"ParseAssetInfo: no name in metadata";
        return false;
    }
    if (pbUnsafe) *pbUnsafe = !IsSafeCloudName(info.m_sName);
    if (info.m_nAttributes == FSA_NORMAL) {
        const ZorJsonValue* sz = json->GetMember("size");
        if (!sz || !sz->GetInt64(info.m_nSize)) {
            kind = FSE_NOT_FOUND;
            err = u"ParseAssetInfo: no size";
            return false;
        }
        if (info.m_nSize < 0 || info.m_nSize > kOrvanMaxFileSize) {
            kind = FSE_NOT_FOUND;
            err = CWideString::Formatted(u"ParseAssetInfo: size %lld is not a valid file size", (long long)info.m_nSize);
            return false;
        }
    }
    struct {
        const char* member;
        const char16_t* prefix;
        uint32_t* out;
    } times[] = {{"modified", u"ParseAssetInfo: bad mod time: ", &info.m_nModTime},
                 {"created", u"ParseAssetInfo: bad create time: ", &info.m_nCreateTime}};
    for (auto& t : times) {
        CWideString text, e;
        int64_t v = 0;
        if (!ReadStr(json, t.member, text) || !ParseInternetTime(WideToUtf8(text), v, e)) {
            kind = FSE_NOT_FOUND;
            err = t.prefix + e;
            return false;
        }
        *t.out = (uint32_t)v;
    }
    const ZorJsonValue* collab = json->GetMember("collaboration_root");
    if (collab && !collab->IsNull()) info.m_nAttributes |= FSA_COLLAB_ROOT;
    return true;
}

bool GetAssetInfoFromNotification(const ZorJsonValue* json, FsItemInfo& info, int& kind, CWideString& err,
                                  bool* pbUnsafe) {
    if (!json || json->IsNull()) {
        kind = FSE_NOT_FOUND;
        err = u"GetAssetInfoFromNotification: null value";
        return false;
    }
    CWideString uri;
    if (!json->GetStringByPath("data.uri", uri) || uri.IsEmpty()) {
        kind = FSE_NOT_FOUND;
        err = u"GetAssetInfoFromNotification: no URI";
        return false;
    }
    info.m_nAttributes = uri.Find(u"collections") >= 0 ? FSA_FOLDER : FSA_NORMAL;
    const ZorJsonValue* md = json->FindByPath("data.metadata");
    if (!md) {
        kind = FSE_NOT_FOUND;
        err = u"GetAssetInfoFromNotification: no metadata";
        return false;
    }
    return ParseAssetInfo(md, info, kind, err, pbUnsafe);
}

// ---------------------------------------------------------------- the class
OrvanFS::OrvanFS() {
    m_bRecursiveListing = 1;
    OrvanFS::Disconnect(true);
}

OrvanFS::~OrvanFS() {
    OrvanFS::Disconnect(true);
}

int OrvanFS::GetCapability(int id) const {
    switch (id) {
    case TVFS_CAP_SOURCE_STATE:
    case TVFS_CAP_FREE_SPACE:
    case TVFS_CAP_MOVE_FOLDER:
    case TVFS_CAP_MONITOR:
    case TVFS_CAP_INET_100:
    case TVFS_CAP_DIRECT_DEST_OK:
    case TVFS_CAP_SECURE_SCHEME:
    case TVFS_CAP_NO_SECURE_SCHEME:
    case TVFS_CAP_LISTED_LATE:
    case TVFS_CAP_INET_111:
    case TVFS_CAP_CLOUD_S3_115:
    case TVFS_CAP_CLOUD_S3_116:
    case TVFS_CAP_CLOUD_S3_117:
    case TVFS_CAP_WININET:
    case TVFS_CAP_INET_130:
    case TVFS_CAP_DELETE_TREE:
    case TVFS_CAP_UPLOAD_REPLACES:
        return 1;
    default:
        return 0;
    }
}

CWideString OrvanFS::GetTypeInfo(int item) const {
    switch (item) {
    case TVFS_TI_NAME:
        return u"Orvan Cloud";
    case TVFS_TI_SCHEME:
        return u"luds://";
    case TVFS_TI_BAD_NAME_CHARS:
        return u"*<>:|\\/";
    case TVFS_TI_DISPLAY_NAME:
        return IsConnected() ? u"Orvan Cloud" : u"Disconnected";
    case TVFS_TI_USER_LABEL:
        return u"Username";
    case TVFS_TI_PASSWORD_LABEL:
        return u"Password";
    default:
        return CWideString();
    }
}

void OrvanFS::Disconnect(bool bFull) {
    m_bOpen = false;
    m_LongPoll.m_bPrimed = false;
    if (m_bCountedOpen) {
        OrvanFileList& list = GetOrvanFileList();
        CCritSectionLock g(list.Lock());
        list.m_nOpenConnections--;
        m_bCountedOpen = false;
    }
    TvInetFileSys::Disconnect(bFull);
}

CWideString OrvanFS::GetUrl() const {
    ZorUrl url;
    ParseUrl(m_ConnectInfo.m_sUrl, url);
    return MakeUrl() + url.GetHost();
}

bool OrvanFS::ListServers(const TvConnectInfo&, CListT<ServerEntry>& servers, ICopyProgress*, CWideString&) {
    ServerEntry e;
    e.m_sName = Widen(GetCloudServer());
    servers.AddTail(e);
    return true;
}

bool OrvanFS::Full(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const {
    if (!GetFullPath(path, full, errKind, err)) return false;
    if (full == u"/") full.Empty();
    return true;
}

// ---------------------------------------------------------------- sign-in
bool OrvanFS::GetAccessToken(bool bUseProxy, const char* grant, const CNarrowString& extra,
                             const CNarrowString& cloudServer, CNarrowString& header, int& errKind, CWideString& err) {
    HttpConnectParams params;
    params.m_sUrl = Widen(CNarrowString::Formatted("https://%s/kdx/token", GetKdxServer()));
    params.m_bUseProxy = bUseProxy ? 1 : 0;
    CRsp rsp;
    rsp.m_sReqHeaders = "Content-Type: application/x-www-form-urlencoded\r\n";
    rsp.m_sReqBody.Format("grant_type=%s&client_id=%s&client_secret=%s%s&scope=openid,lumi_drift", grant,
                          GetClientId(), GetClientSecret(cloudServer), extra);
    CWideString e;
    int kind = 0;
    bool ok = HttpGetUrl(rsp, params, "POST", m_pProgress, kind, e);
    if (!ok && rsp.m_sBody.IsEmpty()) {
        // no answer at all (connection, certificate): the transport's own error
        errKind = kind;
        err = e;
        return false;
    }
    ZorJsonValuePtr json;
    CWideString perr;
    if (!JsonParseText(rsp.m_sBody, json, perr)) {
        errKind = FSE_NOT_FOUND;
        err = u"Couldn't parse auth response: " + perr;
        return false;
    }
    if (!ok) {
        errKind = kind;
        CWideString text;
        err = ReadStr(json.get(), "error", text) ? EscapeControlChars(text) : e;
        return false;
    }
    CNarrowString token;
    if (!json->GetStringByPath("access_token", token) || !json->GetMember("access_token")->IsQuoted()) {
        errKind = FSE_NOT_FOUND;
        err = u"access_token not present in auth response";
        return false;
    }
    // the token becomes a header line: nothing in it may end that line
    if (HttpCleanHeaderValue(token) != token) {
        errKind = FSE_NOT_FOUND;
        err = u"bad access_token in auth response";
        return false;
    }
    header.Format("Authorization: Bearer %s\r\n", token);
    return true;
}

bool OrvanFS::MakeAuthHeader(CNarrowString& header, int& errKind, CWideString& err) {
    if (m_Params.m_sPassword.IsEmpty()) {
        header = "Authorization: Bearer " + WideToUtf8(m_Params.m_sUserID) + "\r\n";
        return true;
    }
    CNarrowString extra;
    extra.Format("&username=%s&password=%s", UrlEncodeW(m_Params.m_sUserID), UrlEncodeW(m_Params.m_sPassword));
    return GetAccessToken(m_Params.m_bUseProxy != 0, "password", extra, GetCloudServer(), header, errKind, err);
}

// ---------------------------------------------------------------- requests
void OrvanFS::AddApiError(CRsp& rsp, int& errKind, CWideString& err, bool bRetry) {
    bool given = false;
    if (!rsp.m_sBody.IsEmpty() && rsp.GetHeader("content-type").Find("json") >= 0) {
        ZorJsonValuePtr json;
        if (JsonParseText(rsp.m_sBody, json, err)) {
            CWideString text;
            if (ReadStr(json.get(), "error", text)) {
                err += u": Sync API says: " + EscapeControlChars(text);
                given = true;
            }
        }
    }
    if (rsp.m_nStatus == 401) errKind = FSE_AUTH;
    if (rsp.m_nStatus == 403 || rsp.m_nStatus == 404) errKind = FSE_NOT_FOUND;
    if (!given && rsp.m_nStatus != 200) {
        CWideString body;
        for (int i = 0; i < rsp.m_sBody.GetLength(); i++) body += (char16_t)(unsigned char)rsp.m_sBody[i];
        // The server's own words, shown as they are but never acting on a terminal or a log.
        err += u": " + EscapeControlChars(body);
        if (rsp.m_nStatus == 403 && rsp.m_sBody == "exceeded quota") {
            rsp.m_nStatus = 507;
            errKind = FSE_QUOTA;
        }
    }
    if (bRetry && rsp.m_nStatus >= 500 && rsp.m_nStatus <= 504) errKind = FSE_CONN_LOST;
}

bool OrvanFS::SendApiRequest(const HttpConnectParams& params, CRsp& rsp, const char* method, const CWideString& path,
                             ICopyProgress* pProgress, int& errKind, CWideString& err, bool bNoRetry) {
    (void)pProgress;
    err.Empty();
    CWideString p = path.Left(4).EqualsNoCase(u"/api") ? path : u"/api/" + path;
    CNarrowString enc;
    if (!UrlEncodeTo(WideToUtf8(p), enc, URLENC_STOP_AT_QUERY)) ZOR_ASSERT(false);
    if (enc.IsEmpty()) enc = "/";
    CNarrowString auth;
    HttpConnectParams saved = m_Params;
    m_Params = params;
    bool authOk = MakeAuthHeader(auth, errKind, err);
    m_Params = saved;
    if (!authOk) return false;
    rsp.m_sReqHeaders += auth;
    rsp.m_sReqHeaders += "Accept: */*\r\n";
    if (IsCollabEnabled()) rsp.m_sReqHeaders += "X-Feature-Override: collaboration,invites\r\n";
    rsp.m_bNoRetry = bNoRetry ? 1 : 0;
    bool ok = rsp.RequestResponse(m_Conn, method, Widen(enc), errKind, err);
    if (IsFake503Enabled()) {
        ok = false;
        errKind = FSE_NOT_FOUND;
        rsp.m_nStatus = 503;
        rsp.m_sBody = "{error:\"Fake 503 error\"}";
    }
    if (ok) return true;
    AddApiError(rsp, errKind, err, false);
    return false;
}

bool OrvanFS::SendCachedApiRequest(const HttpConnectParams& params, CRsp& rsp, const char* method,
                                   const CWideString& path, ICopyProgress* pProgress, int& errKind, CWideString& err,
                                   bool bNoRetry) {
    if (GetOrvanFileList().IsEmpty()) {
        err = u"ERROR: cache is empty";
        errKind = FSE_CLOUD_CACHE;
        return false;
    }
    return SendApiRequest(params, rsp, method, path, pProgress, errKind, err, bNoRetry);
}

// ---------------------------------------------------------------- connect
bool OrvanFS::WaitForCache(int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    for (int pass = 1; list.m_bPopulationRequested; pass++) {
        if (ICopyProgress::Stopped(m_pProgress)) {
            errKind = FSE_STOPPED;
            err = u"User Stop waiting for cache";
            return false;
        }
        if (pass % 100 == 0) ZorGetProgramLog().Printf(u"OrvanFS::ConnectFS: still waiting for cache (%d)\n", pass);
        ZorSleepMs(300);
    }
    return true;
}

bool OrvanFS::PopulateFromConnect(bool bRefresh, int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    int kind = 0;
    CWideString e;
    bool ok = PopulateAccount(m_pProgress, kind, e);
    {
        CCritSectionLock g(list.Lock());
        list.m_bPopulationRequested = false;
        list.m_nPopulationErrKind = ok ? 0 : kind;
        list.m_sPopulationErr = ok ? CWideString() : e;
    }
    if (!ok) {
        errKind = kind;
        err = (bRefresh ? u"Cache refresh failed: " : u"Cache is empty: ") + e;
    }
    return ok;
}

bool OrvanFS::Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) {
    SetProgressCallback(pProgress);
    m_ConnectInfo = ci;
    OrvanFileList& list = GetOrvanFileList();
    bool bLongPoll = ci.m_bLongPoll != 0;
    if (!bLongPoll) {
        if (!WaitForCache(errKind, err)) return false;
    } else {
        ZorGetProgramLog().Printf(u"OrvanFS::ConnectFS: connecting longpoll\n");
        CCritSectionLock g(list.Lock());
        list.m_nPopulationErrKind = 0;
        list.m_sPopulationErr.Empty();
        list.m_bPopulationRequested = true;
    }
    bool ok = OpenConnection(ci, bLongPoll, errKind, err);
    if (bLongPoll) {
        // the long-poll connection fills the cache; a failure before the
        // listing is stored for the waiting connections as its failure is
        // it subscribes first: what changes after the listing reaches its poll
        m_LongPoll.m_bPrimed = false;
        if (ok && !m_LongPoll.Subscribe(errKind, err)) {
            Disconnect(false);
            ok = false;
        }
        if (ok) {
            if (!PopulateFromConnect(false, errKind, err)) {
                Disconnect(false);
                return false;
            }
            m_LongPoll.m_bPrimed = true;
            return true;
        }
        CCritSectionLock g(list.Lock());
        list.m_bPopulationRequested = false;
        list.m_nPopulationErrKind = errKind ? errKind : FSE_GENERAL;
        list.m_sPopulationErr = err;
        return false;
    }
    if (!ok) return false;
    // An ordinary connection with no long poll to fill the cache fills it
    // itself; with no other cloud connection open it refreshes a filled
    // cache, which nothing keeps current then. Workers joining an open run
    // reuse the cache as it stands.
    bool populate = false, refresh = false;
    {
        CCritSectionLock g(list.Lock());
        if (!list.m_bPopulationRequested &&
            (list.IsEmpty() || (list.m_nOpenConnections <= 1 && list.m_nLongPollsLive == 0))) {
            refresh = !list.IsEmpty();
            populate = true;
            list.m_nPopulationErrKind = 0;
            list.m_sPopulationErr.Empty();
            list.m_bPopulationRequested = true;
        }
    }
    if (populate ? !PopulateFromConnect(refresh, errKind, err) : !WaitForCache(errKind, err)) {
        Disconnect(false);
        return false;
    }
    CCritSectionLock g(list.Lock());
    if (list.IsEmpty()) {
        if (list.m_nPopulationErrKind != 0) {
            errKind = list.m_nPopulationErrKind;
            err = u"Cache is empty: " + list.m_sPopulationErr;
        } else {
            ZOR_ASSERT(false);
            errKind = FSE_CLOUD_CACHE;
            err = u"Cache is empty and no error set";
        }
        Disconnect(false);
        return false;
    }
    return true;
}

bool OrvanFS::OpenConnection(const TvConnectInfo& ci, bool bLongPoll, int& errKind, CWideString& err) {
    // The scheme is the secure one: the token and the data never travel in clear.
    ZorUrl url;
    if (ParseUrl(ci.m_sUrl, url) && !url.GetScheme().EqualsNoCase(u"luds")) {
        errKind = FSE_GENERAL;
        err = u"URL must have luds:// or :// prefix";
        return false;
    }
    CWideString root;
    if (!ParseConnectUrl(ci, "", 0, "luds", 443, false, root, err)) {
        errKind = FSE_GENERAL;
        return false;
    }
    m_sRootDir = root;
    if (!root.IsEmpty()) {
        errKind = FSE_GENERAL;
        err = u"Root directory is not root of Hub account; URI path must be empty";
        return false;
    }
    if (m_Params.m_sUserID.IsEmpty()) {
        errKind = FSE_GENERAL;
        err = u"Empty UserID";
        return false;
    }
    m_Params.m_sUrl.Replace(u"luds://", u"https://");
    m_Params.m_nTimeout = (int32_t)GetSendRecvTimeout();
    ZorGetProgramLog().Printf(u"send/receive timeout: %d seconds\n", m_Params.m_nTimeout);
    if (bLongPoll && m_Params.m_nTimeout < 60) {
        m_Params.m_nTimeout = 60;
        ZorGetProgramLog().Printf(u"Longpoll send/receive timeout: %d seconds\n", m_Params.m_nTimeout);
    }
    ZorGetProgramLog().Printf(u"using multipart uploads: %d\n", (int)UseMultipartUpload());
    // the password signs in and the token rides in each request: neither answers a server's challenge
    if (!HttpConfigureAndConnect(m_Conn, HttpWithoutServerCredentials(m_Params), m_pProgress, errKind, err)) return false;
    m_sUrlPrefix = MakeHostUrl();
    m_sCurRootDir = m_sRootDir;
    m_bRecursiveListing = UseRecursiveListing() ? 1 : 0;
    if (!m_bRecursiveListing) ZorGetProgramLog().Printf(u"OrvanFS: Using non-recursive listing.\n");
    {
        OrvanFileList& list = GetOrvanFileList();
        CCritSectionLock g(list.Lock());
        list.m_nOpenConnections++;
        m_bCountedOpen = true;
    }
    m_bReconnectAllowed = 1;
    m_bConnected = true;
    m_bOpen = true;
    return true;
}

// ---------------------------------------------------------------- population
bool OrvanFS::FetchFolder(const CWideString& path, ZorJsonValuePtr& reply, int& kind, CWideString& err) {
    CRsp rsp;
    if (!SendCachedApiRequest(m_Params, rsp, "GET", path, m_pProgress, kind, err, true)) {
        kind = FSE_NOT_FOUND;
        return false;
    }
    if (!JsonParseText(rsp.m_sBody, reply, err)) {
        kind = FSE_NOT_FOUND;
        return false;
    }
    return true;
}

bool OrvanFS::PopulateAccount(ICopyProgress* pProgress, int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount()\n");
    CCritSectionLock g(list.Lock());
    list.Clear();
    bool ok = false;
    CRsp rsp;
    rsp.m_bAcceptFileBody = 1; // a large account's reply comes through a temporary file
    CNarrowString body;
    // A listing costs several times its size once parsed and cached: a reply
    // past the limit fails before it is read.
    const int64_t limit = GetOrvanBodyMemoryLimit();
    auto tooLong = [&] {
        errKind = FSE_CLOUD_CACHE;
        err = u"Response body is too long for memory";
        return false;
    };
    auto readBody = [&](CRsp& r) -> bool {
        if (r.m_bTempBodyFile && !r.m_sBodyFile.IsEmpty()) {
            ZorFileInfo fi;
            int k = 0;
            CWideString e;
            if (ZorGetFileInfo(r.m_sBodyFile, fi, k, e) && (int64_t)fi.nSize > limit) return tooLong();
            if (!ReadWholeFile(r.m_sBodyFile, (int)limit + 1, body, k, e)) {
                errKind = FSE_CLOUD_CACHE;
                err = e;
                return false;
            }
            if (body.GetLength() > limit) {
                body.Empty();
                return tooLong();
            }
        } else {
            if (r.m_sBody.GetLength() > limit) return tooLong();
            body = r.m_sBody;
        }
        return true;
    };
    if (UseIndexEndpoint()) {
        ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): index endpoint\n");
        if (!SendApiRequest(m_Params, rsp, "GET", u"sync/index", pProgress, errKind, err, true)) {
            err = u"Initial listing request failed: " + err;
            AddApiError(rsp, errKind, err, true);
            list.ResetCache();
            return false;
        }
        if (!readBody(rsp)) {
            list.ResetCache();
            return false;
        }
        return list.PopulateFromIndex(body.GetString(), body.GetLength(), errKind, err);
    }
    bool rec = m_bRecursiveListing != 0;
    ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): recursive=%d\n", (int)rec);
    CWideString tvId;
    do {
        if (!SendApiRequest(m_Params, rsp, "GET", rec ? u"sync/directories?recursive=true" : u"sync/directories",
                            pProgress, errKind, err, true)) {
            err = u"Initial listing request failed: " + err;
            break;
        }
        if (!readBody(rsp)) break;
        if (!list.PopulateRootFromDirectories(body.GetString(), body.GetLength(), rec, this, tvId, errKind, err))
            break;
        CRsp rsp2;
        rsp2.m_bAcceptFileBody = 1;
        if (!SendApiRequest(m_Params, rsp2, "GET",
                            u"sync/directories/" + tvId + (rec ? u"?recursive=true" : u""), pProgress, errKind, err,
                            true)) {
            err = u"tvdata listing failed: " + err;
            break;
        }
        ZorJsonValuePtr json;
        if (!readBody(rsp2)) break;
        if (!JsonParseText(body, json, err)) {
            errKind = FSE_CLOUD_CACHE;
            break;
        }
        ok = list.PopulateCollection(json.get(), rec, this, errKind, err);
    } while (false);
    if (!ok) {
        ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): error %s\n", err);
        list.ResetCache();
        return false;
    }
    ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): OK, items=%d\n", list.GetCount());
    return true;
}

bool OrvanFS::ListUndeletedFolder(const CWideString& folderId, const CWideString& parentId, int& errKind,
                                  CWideString& err) {
    ZorJsonValuePtr reply;
    CRsp rsp;
    if (!SendCachedApiRequest(m_Params, rsp, "GET", u"sync/directories/" + folderId + u"?recursive=true", m_pProgress,
                              errKind, err, true))
        return false;
    if (!JsonParseText(rsp.m_sBody, reply, err)) {
        errKind = FSE_NOT_FOUND;
        return false;
    }
    OrvanFileList& list = GetOrvanFileList();
    if (!list.Find(parentId)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"parent for undeleted folder not found";
        return false;
    }
    const ZorJsonValue* node = !reply ? nullptr : reply->IsArray() ? reply->GetElement(0) : reply.get();
    return list.ListNode(parentId, node, true, this, 1, errKind, err);
}

bool OrvanFS::GetAssetMetadata(const CWideString& uri, FsItemInfo& info, int& errKind, CWideString& err) {
    int at = uri.Find(u"/api/");
    CWideString path = (at < 0 ? uri : uri.Mid(at + 5)) + u"/metadata";
    CRsp rsp;
    if (!SendCachedApiRequest(m_Params, rsp, "GET", path, m_pProgress, errKind, err, false)) return false;
    ZorJsonValuePtr json;
    if (!JsonParseText(rsp.m_sBody, json, err)) {
        errKind = FSE_NOT_FOUND;
        return false;
    }
    info.m_nAttributes = path.Find(u"collections") >= 0 ? FSA_FOLDER : FSA_NORMAL;
    return ParseAssetInfo(json.get(), info, errKind, err);
}

// ---------------------------------------------------------------- reads
bool OrvanFS::GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    CCritSectionLock g(list.Lock());
    info.Clear();
    bNotFound = false;
    CWideString full, id;
    if (!Full(path, full, errKind, err)) return false;
    if (list.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"ERROR: cache is empty";
        return false;
    }
    if (full.IsEmpty()) {
        info.m_nAttributes = FSA_FOLDER;
        return true;
    }
    if (!list.FindIdByPath(full, id)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting id";
        return false;
    }
    if (id.IsEmpty()) {
        bNotFound = true;
        return true;
    }
    OrvanFileItem* item = list.Find(id);
    if (!item) {
        errKind = FSE_CLOUD_CACHE;
        err = u"file info for id " + id + u" not found in cache";
        return false;
    }
    if (item->HasMark(ORVAN_MARK_DELETED))
        bNotFound = true;
    else
        info = item->m_Info;
    return true;
}

bool OrvanFS::ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) {
    items.RemoveAll();
    errKind = 0;
    OrvanFileList& list = GetOrvanFileList();
    CWideString full, id;
    if (!Full(path, full, errKind, err)) return false;
    CCritSectionLock g(list.Lock());
    if (!list.FindIdByPath(full, id) || id.IsEmpty()) {
        errKind = FSE_NOT_FOUND;
        err.Format(u"Couldn't find ID for directory %s", full);
        return false;
    }
    OrvanFileItem* folder = list.Find(id);
    if (!folder) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting file info for folder id " + id;
        return false;
    }
    for (ZorPosition p = folder->m_lstChildren.GetHeadPosition(); p;) {
        const CWideString& cid = folder->m_lstChildren.GetNext(p);
        OrvanFileItem* c = list.Find(cid);
        if (!c) {
            errKind = FSE_CLOUD_CACHE;
            err = u"error getting info for file id " + cid;
            items.RemoveAll();
            return false;
        }
        if (c->HasMark(ORVAN_MARK_DELETED)) continue;
        if (c->m_bHidden) {
            Message(2, u"Skipping a cloud item whose name cannot be used in a path: '" +
                           EscapeControlChars(c->m_Info.m_sName) + u"' in " +
                           (full.IsEmpty() ? CWideString(u"/") : EscapeControlChars(full)));
            continue;
        }
        items.AddTail(c->m_Info);
    }
    return true;
}

bool OrvanFS::DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                           CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    CWideString full, id;
    if (!Full(path, full, errKind, err)) return false;
    if (!list.FindIdByPath(full, id) || id.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting id";
        return false;
    }
    CRsp rsp;
    rsp.m_sBodyFile = localFile;
    // the body never runs past the size the listing promised (the caller's,
    // should the item have left the cache meanwhile)
    OrvanFileItem listed;
    rsp.m_nMaxBody = list.Lookup(id, listed) ? (int64_t)listed.m_Info.m_nSize : (nSize >= 0 ? nSize : -1);
    bool ok = SendCachedApiRequest(m_Params, rsp, "GET", u"sync/files/" + id, m_pProgress, errKind, err, true);
    nSize = 0;
    CNarrowString tid = rsp.GetHeader("x-cirrolith-tid");
    if (!ok) {
        err = u"Error downloading " + path + u": " + err;
        ZorGetProgramLog().Printf(u"OrvanFS::DownloadFile: %s: %s tid=%s\n", path, err, Widen(tid));
        return false;
    }
    // the bytes that came (a chunked answer declares no length)
    if (!DownloadedLength(localFile, nSize, errKind, err)) return false;
    OrvanFileItem item;
    if (!list.Lookup(id, item)) {
        errKind = FSE_NOT_FOUND;
        err = u"couldn't get info for id " + id;
        return false;
    }
    int k = 0;
    if (!::SetFileModTime(localFile, (int64_t)item.m_Info.m_nModTime, k, err)) {
        errKind = FSE_GENERAL;
        return false;
    }
    return true;
}

bool OrvanFS::GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                             CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    CWideString full, id;
    if (!Full(path, full, errKind, err)) return false;
    OrvanFileItem item;
    if (list.FindIdByPath(full, id) && !id.IsEmpty() && list.Lookup(id, item)) {
        modTime = item.m_Info.m_nModTime;
        createTime = item.m_Info.m_nCreateTime;
        return true;
    }
    errKind = FSE_CLOUD_CACHE;
    err = u"error getting file id";
    return false;
}

bool OrvanFS::GetFreeDiskSpace(const CWideString& path, int64_t& nFreeToCaller, int64_t& nTotalFree, int64_t& nTotal,
                               int& errKind, CWideString& err) {
    return GetQuotaCached(path, nFreeToCaller, nTotalFree, nTotal, errKind, err);
}

bool OrvanFS::GetQuotaCached(const CWideString& path, int64_t& nFree, int64_t& nAvail, int64_t& nTotal, int& errKind,
                             CWideString& err) {
    int64_t f = 0, t = 0;
    if (GetOrvanFileList().GetCachedQuota(f, t, false)) {
        nFree = nAvail = f;
        nTotal = t;
        return true;
    }
    return RequestQuota(path, nFree, nAvail, nTotal, errKind, err);
}

bool OrvanFS::RequestQuota(const CWideString&, int64_t& nFree, int64_t& nAvail, int64_t& nTotal, int& errKind,
                           CWideString& err) {
    auto fail = [&](int kind, const CWideString& text) {
        errKind = kind;
        err = text;
        ZorGetProgramLog().Printf(u"OrvanFS::GetFreeDiskSpace: sErr=%s\n", err);
        return false;
    };
    CRsp rsp;
    // a password account signs in as every API request does; a ready token goes as it is
    CNarrowString auth;
    CWideString e;
    int kind = 0;
    if (!MakeAuthHeader(auth, kind, e)) return fail(kind, u"Error getting quota info: " + e);
    rsp.m_sReqHeaders = auth + "Accept: */*\r\n";
    if (!rsp.RequestResponse(m_Conn, "GET", u"/api/profile/quota", kind, e))
        return fail(kind, u"Error getting quota info: " + e);
    ZorJsonValuePtr json;
    CWideString perr;
    if (!JsonParseText(rsp.m_sBody, json, perr)) return fail(FSE_NOT_FOUND, u"Error parsing quota JSON: " + perr);
    CNarrowString remaining;
    int64_t quota = 0;
    const ZorJsonValue* rem = json->GetMember("storage_remaining");
    if (!rem || !rem->IsQuoted() || !rem->GetString(remaining) || !json->GetInt64ByPath("storage_quota", quota))
        return fail(FSE_NOT_FOUND, u"Unexpected quota response format");
    double d = 0;
    if (sscanf(remaining.GetString(), "%lf", &d) != 1) return fail(FSE_NOT_FOUND, u"Error parsing free space");
    nFree = nAvail = (int64_t)d;
    nTotal = quota * 1024 * 1024 * 1024;
    GetOrvanFileList().UpdateQuota(nFree, nTotal, 0);
    return true;
}

// ---------------------------------------------------------------- changes
namespace {

// A change of this program in flight for the whole of the call that sends it
// (see OrvanFileList::BeginOwnChange): the long poll waits for it before it
// handles events that may be its echo.
class OwnChange {
public:
    OwnChange() : m_nTicket(GetOrvanFileList().BeginOwnChange()) {}
    ~OwnChange() { GetOrvanFileList().EndOwnChange(m_nTicket); }
    OwnChange(const OwnChange&) = delete;
    OwnChange& operator=(const OwnChange&) = delete;

private:
    uint64_t m_nTicket;
};

} // namespace

bool OrvanFS::DeleteItemReq(const CWideString& path, bool bFile, int& errKind, CWideString& err) {
    OwnChange inFlight;
    OrvanFileList& list = GetOrvanFileList();
    CWideString full, id;
    if (!Full(path, full, errKind, err)) return false;
    if (!list.FindIdByPath(full, id) || id.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = bFile ? u"Error getting file id" : u"error getting id";
        return false;
    }
    bool data = InDataFolder(full);
    CRsp rsp;
    if (data) rsp.m_sReqHeaders = "X-Cirrolith-No-Events: true\r\n";
    CWideString req = (bFile ? u"sync/files/" : u"sync/directories/") + id;
    if (bFile && data) req += u"?delete=yes";
    bool ok = SendCachedApiRequest(m_Params, rsp, "DELETE", req, m_pProgress, errKind, err, true);
    if (bFile) {
        CNarrowString tid = rsp.GetHeader("x-cirrolith-tid");
        if (!tid.IsEmpty() && !data) list.AddPendingTid(Widen(tid), id);
    }
    if (!ok) return false;
    if (bFile && rsp.m_nStatus != 200) {
        errKind = FSE_NOT_FOUND;
        err.Format(u"Unexpected DELETE status %d", rsp.m_nStatus);
        return false;
    }
    CCritSectionLock g(list.Lock());
    if (OrvanFileItem* item = list.Find(id)) item->m_lstMarks.AddTail(ORVAN_MARK_DELETED);
    return true;
}

bool OrvanFS::DeleteFile(const CWideString& path, int& errKind, CWideString& err) {
    return DeleteItemReq(path, true, errKind, err);
}

bool OrvanFS::DeleteFolder(const CWideString& path, int& errKind, CWideString& err) {
    return DeleteItemReq(path, false, errKind, err);
}

bool OrvanFS::MakeFolder(const CWideString& path, int& errKind, CWideString& err) {
    OwnChange inFlight;
    OrvanFileList& list = GetOrvanFileList();
    CWideString full, id, parentId;
    if (!Full(path, full, errKind, err)) return false;
    if (list.FindIdByPath(full, id) && !id.IsEmpty()) {
        errKind = FSE_NOT_FOUND;
        err = u"Path already exists";
        return false;
    }
    if (!list.FindIdByPath(ParentPath(full), parentId) || parentId.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting parent id";
        return false;
    }
    CWideString name = LastSegment(full);
    CRsp rsp;
    if (InDataFolder(full)) rsp.m_sReqHeaders = "X-Cirrolith-No-Events: true\r\n";
    CWideString req = u"sync/directories?name=" + Widen(UrlEncodeW(name)) + u"&directory=" + parentId;
    if (!SendCachedApiRequest(m_Params, rsp, "POST", req, m_pProgress, errKind, err, true)) return false;
    CWideString newId = LastSegment(Widen(rsp.GetHeader("location")));
    if (newId.IsEmpty()) {
        ZOR_ASSERT(false);
        errKind = FSE_NOT_FOUND;
        err = u"no location in the reply";
        return false;
    }
    OrvanFileItem item;
    item.m_Info.m_sName = name;
    item.m_Info.m_nAttributes = FSA_FOLDER;
    item.m_lstMarks.AddTail(ORVAN_MARK_CREATED);
    item.m_lstParents.AddTail(parentId);
    CCritSectionLock g(list.Lock());
    if (!list.Add(newId, item)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting parent id";
        return false;
    }
    list.AddChild(parentId, newId);
    return true;
}

bool OrvanFS::MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    return Move(from, to, true, errKind, err);
}

bool OrvanFS::MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    return Move(from, to, false, errKind, err);
}

bool OrvanFS::Move(const CWideString& from, const CWideString& to, bool bFile, int& errKind, CWideString& err) {
    OwnChange inFlight;
    OrvanFileList& list = GetOrvanFileList();
    CWideString oldFull, newFull;
    if (!Full(from, oldFull, errKind, err) || !Full(to, newFull, errKind, err)) return false;
    if (!oldFull.EqualsNoCase(newFull)) {
        FsItemInfo info;
        bool notFound = false;
        if (!GetInfo(to, info, notFound, errKind, err)) return false;
        if (!notFound) {
            // a folder tree is never deleted to make room
            if (info.IsFolder()) {
                errKind = FSE_NOT_FOUND;
                err = u"Error moving " + from + u" to " + to + u": destination object already exists";
                return false;
            }
            if (!DeleteFile(to, errKind, err)) return false;
        }
    }
    bool noEvents = InDataFolder(oldFull) || InDataFolder(newFull);
    CWideString newName = LastSegment(newFull);
    CWideString id, oldParent, newParent;
    bool okIds = list.FindIdByPath(oldFull, id) && list.FindIdByPath(ParentPath(oldFull), oldParent) &&
                 list.FindIdByPath(ParentPath(newFull), newParent);
    if (ParentPath(oldFull).IsEmpty()) oldParent = list.GetRootId();
    if (ParentPath(newFull).IsEmpty()) newParent = list.GetRootId();
    if (!okIds || id.IsEmpty() || oldParent.IsEmpty() || newParent.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting item id or old/new parent folder id";
        return false;
    }
    OrvanFileItem item;
    list.Lookup(id, item);
    CWideString req = (bFile ? u"sync/files/" : u"sync/directories/") + id + u"?old_directory=" + oldParent;
    if (oldParent != newParent) req += u"&directory=" + newParent;
    bool nameChanged = LastSegment(oldFull) != newName;
    if (nameChanged) req += u"&name=" + Widen(UrlEncodeW(newName));
    CRsp rsp;
    bool ok = SendCachedApiRequest(m_Params, rsp, "PUT", req, m_pProgress, errKind, err, true);
    CNarrowString tid = rsp.GetHeader("x-cirrolith-tid");
    if (!noEvents && !tid.IsEmpty()) list.AddPendingTid(Widen(tid), id);
    if (!ok) {
        if (rsp.m_nStatus == 403) err = u"destination object already exists";
        err = u"Error moving " + from + u" to " + to + u": " + err;
        return false;
    }
    CCritSectionLock g(list.Lock());
    OrvanFileItem* cached = list.Find(id);
    if (!cached) {
        errKind = FSE_CLOUD_CACHE;
        err = u"couldn't get info for id " + id;
        return false;
    }
    if (oldParent != newParent) {
        list.RemoveChild(oldParent, id);
        cached->m_lstParents.RemoveAll();
        cached->m_lstParents.AddHead(newParent);
        list.AddChild(newParent, id);
    }
    if (cached->m_Info.m_sName != newName) {
        cached->m_lstMarks.AddTail(ORVAN_MARK_RENAMED);
        return list.RenameInCache(id, newName, err);
    }
    return list.RenameInCache(id, CWideString(), err);
}

// ---------------------------------------------------------------- upload
uint32_t ComputeUploadTimeout(int64_t nSize, uint32_t nBase, uint32_t nPerGiB) {
    int64_t t = (int64_t)((double)nSize / 1073741824.0 * (double)nPerGiB);
    if (t > kOrvanMaxUploadTimeout) t = kOrvanMaxUploadTimeout;
    return t > (int64_t)nBase ? (uint32_t)t : nBase;
}

namespace {

// Sets the connection's socket time-out (seconds) and applies it to an open socket.
void ApplySocketTimeout(ZorHttpConn& conn, int32_t seconds) {
    conn.m_nTimeout = seconds;
    conn.m_sock.m_nTimeout = seconds;
    if (conn.m_sock.IsOpen()) conn.m_sock.SetKeepAliveAndTimeouts();
}

// Restores the socket time-out and the progress scaling whatever the outcome.
struct UploadScope {
    ZorHttpConn& conn;
    ICopyProgress* prog;
    bool raised = false;
    bool scaled = false;
    ~UploadScope() {
        if (raised) ApplySocketTimeout(conn, (int32_t)GetSendRecvTimeout());
        if (scaled) prog->m_nDivisor = prog->m_nMultiplier = prog->m_nOffset = 0;
    }
};

} // namespace

bool OrvanFS::FindUploadedProto(const CNarrowString& encName, const CWideString& path, const CWideString& knownId,
                                const CWideString& parentId, CWideString& foundId, int& round, int& errKind,
                                CWideString& err) {
    // Each round asks whether the service holds the upload's proto resource.
    // 202: still processing, ask again after 500 ms; another 2xx: stored;
    // anything else: failed. Rounds that never leave 202 fail.
    CWideString req = u"search?q={\"type\":\"application/vnd.orvan.cirrolith.protoresource\",\"name\":\"" +
                      Widen(encName) + u"\"}&metadata=true";
    CWideString lastMessage;
    for (round = 1; round <= kOrvanUploadRetryRounds; round++) {
        ICopyProgress::Message(m_pProgress, 1,
                               CWideString::Formatted(u"UploadFile: retry #%d on timeout for %s", round, path));
        if (ICopyProgress::Stopped(m_pProgress)) {
            errKind = FSE_STOPPED;
            err = u"Stopped in retry on timeout";
            return false;
        }
        CRsp rsp;
        CWideString e;
        int k = 0;
        if (!SendCachedApiRequest(m_Params, rsp, "POST", req, m_pProgress, k, e, true)) {
            errKind = FSE_CLOUD_CACHE;
            err = u"Proto search error: " + e;
            return false;
        }
        ZorJsonValuePtr json;
        if (!JsonParseText(rsp.m_sBody, json, e) || !json || !json->IsArray()) {
            errKind = FSE_CLOUD_CACHE;
            err = u"Invalid proto response body";
            return false;
        }
        if (json->GetCount() == 0) {
            errKind = FSE_CLOUD_CACHE;
            err = u"No entries in proto response";
            return false;
        }
        const ZorJsonValue* entry = json->GetElement(0);
        CWideString id;
        int64_t code = 0;
        const ZorJsonValue* status = entry ? entry->GetMember("status") : nullptr;
        const ZorJsonValue* codeNode = status ? status->GetMember("code") : nullptr;
        if (!ReadStr(entry, "id", id) || !codeNode || codeNode->IsQuoted() || !codeNode->GetInt64(code)) {
            errKind = FSE_CLOUD_CACHE;
            err = u"No id or code in proto response";
            return false;
        }
        lastMessage.Empty();
        ReadStr(status, "message", lastMessage);
        if (code == 202) {
            ZorSleepMs(kOrvanUploadRetryWaitMs);
            continue;
        }
        if (code < 200 || code > 299) {
            errKind = FSE_NOT_FOUND;
            err = u"Retry complete, error: " + lastMessage;
            return false;
        }
        foundId = LastSegment(id);
        if (foundId.IsEmpty() || (!knownId.IsEmpty() && !foundId.EqualsNoCase(knownId))) {
            errKind = FSE_NOT_FOUND;
            err = u"Retry complete, error: the found id " + foundId + u" is not the uploaded one";
            return false;
        }
        // a name is no proof: the entry is the upload only in the upload's folder
        CRsp ctx;
        ZorJsonValuePtr parents;
        ZorJsonValueList chain;
        CWideString parentUri;
        e.Empty();
        if (!SendCachedApiRequest(m_Params, ctx, "GET", u"v1/assets/" + foundId + u"/metadata/rootcontext", m_pProgress,
                                  k, e, true) ||
            !JsonParseText(ctx.m_sBody, parents, e) || !parents || !parents->GetArrayByPath("value", chain) ||
            chain.empty() || !chain.back()->GetStringByPath("id", parentUri)) {
            errKind = FSE_CLOUD_CACHE;
            err = u"Proto search error: no folder for the found id " + foundId + (e.IsEmpty() ? u"" : u": " + e);
            return false;
        }
        if (LastSegment(parentUri) != parentId) {
            errKind = FSE_NOT_FOUND;
            err = u"Retry complete, error: the found id " + foundId + u" is in another folder";
            return false;
        }
        ICopyProgress::Message(m_pProgress, 1,
                               CWideString::Formatted(u"UploadFile: retry #%d success for %s", round, path));
        return true;
    }
    round = kOrvanUploadRetryRounds;
    errKind = FSE_NOT_FOUND;
    err = u"Retry complete, error: " + lastMessage;
    return false;
}

bool OrvanFS::UploadFile(const CWideString& localFile, const CWideString& path, int& errKind, CWideString& err) {
    OwnChange inFlight;
    OrvanFileList& list = GetOrvanFileList();
    CWideString full;
    if (!Full(path, full, errKind, err)) return false;
    CNarrowString boundary = MakeMultipartBoundary();
    const bool multipart = UseMultipartUpload();
    CRsp rsp;
    CWideString fileName = LastSegment(full);
    CNarrowString contentType;
    CWideString e;
    if (!GetContentTypeForName(fileName, contentType, e)) contentType = "application/octet-stream";
    if (multipart)
        rsp.m_sReqHeaders = "Content-Type: multipart/form-data; boundary=" + boundary.Mid(2) + "\r\n";
    else
        rsp.m_sReqHeaders = "Content-type: " + contentType + "\r\n";
    const bool noEvents = full.Left(9) == u"/_tvdata_";
    if (noEvents) rsp.m_sReqHeaders += "X-Cirrolith-No-Events: true\r\n";

    CWideString id;
    if (!list.FindIdByPath(full, id)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error checking id";
        return false;
    }
    const char* method = "POST";
    CWideString req = u"sync/files";
    if (!id.IsEmpty()) {
        method = "PUT";
        req += u"/" + id;
        OrvanFileItem cached;
        list.Lookup(id, cached);
        CNarrowString when;
        if (!FormatInternetTime((int64_t)cached.m_Info.m_nModTime + 1, when, e)) {
            errKind = FSE_GENERAL;
            err = u"error converting to http time: " + e;
            return false;
        }
        rsp.m_sReqHeaders += "If-Unmodified-Since: " + when + "\r\n";
    }
    CWideString parentId;
    if (ParentPath(full).IsEmpty())
        parentId = list.GetRootId();
    else
        list.FindIdByPath(ParentPath(full), parentId);
    if (parentId.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting parent id";
        return false;
    }
    CNarrowString rawName = WideToUtf8(fileName), encName;
    if (!UrlEncodeTo(rawName, encName, URLENC_PERCENT)) {
        errKind = FSE_GENERAL;
        err = u"error encoding the file name";
        return false;
    }
    const CNarrowString line = boundary + "\r\n";
    CNarrowString prefix = line;
    if (multipart && id.IsEmpty()) {
        prefix += "Content-Type: text/plain;charset=utf8\r\n";
        prefix += "Content-Disposition: form-data; name=\"name\"\r\n\r\n" + rawName + "\r\n" + line;
        prefix += "Content-Disposition: form-data; name=\"directory\"\r\n\r\n" + WideToUtf8(parentId) + "\r\n" + line;
    } else if (id.IsEmpty()) {
        req += u"?name=" + Widen(encName) + u"&directory=" + parentId;
    }
    ZorFileInfo fi;
    if (!ZorGetFileInfo(localFile, fi, errKind, err)) return false;
    const int64_t times[2] = {TimeTFromFileTime(fi.nCreationTime), TimeTFromFileTime(fi.nWriteTime)};
    const char* names[2] = {"created", "modified"};
    for (int i = 0; i < 2; i++) {
        CNarrowString text;
        if (!FormatIsoTime(times[i], text, err)) {
            errKind = FSE_NOT_FOUND;
            return false;
        }
        if (multipart) {
            prefix += CNarrowString("Content-Disposition: form-data; name=\"") + names[i] + "\"\r\n\r\n" + text +
                      "\r\n" + line;
        } else {
            CNarrowString enc;
            UrlEncodeTo(text, enc, URLENC_PERCENT);
            enc.Replace(":", "%3A");
            req += (req.Find(u'?') >= 0 ? u"&" : u"?") + Widen(CNarrowString(names[i])) + u"=" + Widen(enc);
        }
    }
    if (multipart) {
        prefix += "Content-Disposition: form-data; name=\"data\"; filename=\"" + encName + "\"\r\n";
        prefix += noEvents ? CNarrowString("Content-Type: application/vnd.orvan.lumidriftsync\r\n\r\n")
                           : "Content-type: " + contentType + "\r\n\r\n";
        rsp.m_sBodyPrefix = prefix;
        rsp.m_sBodySuffix = "\r\n" + boundary + "--\r\n";
    }

    CBufferedFile src(localFile);
    uint32_t block = GetReadBlockSize();
    if (block > 0) src.SetReadBlock((int)block * 1024);
    if (!src.Open(errKind, e)) {
        err = u"Error opening " + path + u" for upload: " + e;
        return false;
    }
    rsp.m_pReqBodyFile = &src;
    UploadScope scope{m_Conn, m_pProgress};
    if (m_pProgress && block > 0) {
        m_pProgress->m_nDivisor = m_pProgress->m_nMultiplier = src.m_nSize;
        m_pProgress->m_nOffset = 0;
        scope.scaled = true;
    }
    uint32_t base = GetSendRecvTimeout();
    uint32_t t = ComputeUploadTimeout(src.m_nSize, base, GetSendRecvIncrement());
    if (t > base) {
        ApplySocketTimeout(m_Conn, (int32_t)t);
        scope.raised = true;
        ZorGetProgramLog().Printf(u"Dynamic Timeout: increased to %d\n", (int)t);
    }
    bool ok = SendCachedApiRequest(m_Params, rsp, method, req, m_pProgress, errKind, err, !noEvents);
    CWideString tid = Widen(rsp.GetHeader("x-cirrolith-tid"));
    if (!noEvents && !tid.IsEmpty()) list.AddPendingTid(tid, id);
    if (!ok) {
        ZorGetProgramLog().Printf(u"OrvanFS::UploadFile: Error uploading '%s' (%s) tid=%s, err: %s\n", full, id, tid,
                                  err);
        err = u"Error uploading " + path + u": " + err;
        bool terminal = (id.IsEmpty() && rsp.m_nStatus == 403 && rsp.m_sBody == "name already exists in directory") ||
                        (noEvents && rsp.m_nStatus == 412);
        if (terminal) {
            ICopyProgress::Message(m_pProgress, 0, err);
            errKind = FSE_CLOUD_CACHE;
            err = u"Terminal " + err;
            list.ResetCache();
            return false;
        }
        // A time-out after the whole file went out: the service may have
        // stored it; ask before reporting a failure.
        if (!IsConnectionError(errKind) || rsp.m_nStatus != 0 || src.m_nPosition < src.m_nSize) return false;
        CWideString found, e2;
        int k2 = 0, round = 0;
        if (!FindUploadedProto(encName, path, id, parentId, found, round, k2, e2)) {
            ICopyProgress::Message(m_pProgress, 1, CWideString::Formatted(u"UploadFile: retry #%d error: %s", round, e2));
            errKind = k2;
            err.AppendFormat(u"; Retry #%d err: %s", round, e2);
            return false;
        }
        errKind = 0;
        err.Empty();
        id = found;
    }
    CWideString loc = LastSegment(Widen(rsp.GetHeader("location")));
    if (!loc.IsEmpty()) {
        ZOR_ASSERT(id.IsEmpty() || id == loc);
        id = loc;
    }
    if (id.IsEmpty()) {
        ZOR_ASSERT(false);
        errKind = FSE_NOT_FOUND;
        err = u"Error uploading " + path + u": no id for the uploaded file";
        return false;
    }
    OrvanFileItem item;
    item.m_Info.m_sName = fileName;
    item.m_Info.m_nAttributes = FSA_NORMAL;
    item.m_Info.m_nSize = (int64_t)fi.nSize;
    item.m_Info.m_nModTime = (uint32_t)times[1];
    item.m_Info.m_nCreateTime = (uint32_t)times[0];
    CCritSectionLock g(list.Lock());
    CWideString newParent;
    if (ParentPath(full).IsEmpty())
        newParent = list.GetRootId();
    else
        list.FindIdByPath(ParentPath(full), newParent);
    if (newParent.IsEmpty()) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting new parent id";
        return false;
    }
    item.m_lstParents.AddHead(newParent);
    if (!list.Find(newParent)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting info for parent folder id " + newParent;
        return false;
    }
    if (!list.Add(id, item)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"error getting new parent id";
        return false;
    }
    list.AddChild(newParent, id);
    return true;
}

// ---------------------------------------------------------------- monitoring
bool OrvanFS::StartMonitoring(const CWideString&, int& errKind, CWideString& err) {
    if (!IsConnected()) {
        errKind = FSE_GENERAL;
        err = u"FS not connected, can't start monitoring";
        return false;
    }
    // a stop that came between runs is not carried into the next one
    m_bStopMonitor = false;
    m_Conn.m_sock.m_nStop.store(0);
    m_LongPoll.ResetStop();
    return true;
}

bool OrvanFS::WaitForChanges(int& errKind, CWideString& err) {
    bool ok = m_LongPoll.Run(errKind, err);
    if (!ok) ICopyProgress::Message(m_pProgress, 1, err);
    return ok;
}

bool OrvanFS::GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) {
    if (!m_bOpen.load()) {
        errKind = FSE_CONN_LOST;
        err = u"Longpoll not connected";
        return false;
    }
    m_LongPoll.Drain(items);
    return true;
}

void OrvanFS::StopMonitoring() {
    // Called from another thread: the flag ends the loop, the socket's stop
    // request ends a poll blocked in its read.
    m_bStopMonitor = true;
    if (m_Conn.m_sock.IsOpen()) m_Conn.m_sock.RequestStop();
}

void OrvanFS::ResumeAfterStop() {
    m_Conn.m_sock.m_nStop.store(0);
    m_Conn.m_sock.CloseQuietly();
}
