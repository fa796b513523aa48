// The cloud file system's pieces that need no service: policy values, the
// connection URL, error mapping, metadata parsers, time and content types.
#include "test-tmp.h"
#include "OrvanFS.h"

#include "zor-debug.h"
#include "zor-registry.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

TEST(CloudUnits, PolicyValuesAndClassFacts) {
    struct {
        const char16_t* value;
        uint32_t kib;
    } blocks[] = {{u"off", 0},    {u"OFF", 0},     {u"31", 1024}, {u"16385", 1024}, {u"32", 32},
                  {u"16384", 16384}, {u"", 1024}, {u"abc", 1024}};
    for (auto& b : blocks) EXPECT_EQ(ParseReadBlockSize(b.value), b.kib) << U8(b.value);

    std::string tmplPath = TvTmpPath("tvcloudregXXXXXX");
    char* tmpl = tmplPath.data();
    ASSERT_TRUE(mkdtemp(tmpl));
    setenv("TORVANE_REGISTRY_DIR", tmpl, 1);
    EXPECT_EQ(GetSendRecvTimeout(), 90u);
    EXPECT_EQ(GetSendRecvIncrement(), 120u);
    EXPECT_TRUE(UseIndexEndpoint());
    EXPECT_FALSE(IsCollabEnabled());
    CNarrowString prodSecret = GetClientSecret(GetCloudServer());
    CNarrowString otherSecret = GetClientSecret("elsewhere.example");
    EXPECT_NE(prodSecret, otherSecret);
    for (const CNarrowString& s : {prodSecret, otherSecret}) {
        ASSERT_EQ(s.GetLength(), 36);
        for (int i = 0; i < 36; i++)
            EXPECT_TRUE((i == 8 || i == 13 || i == 18 || i == 23) ? s[i] == '-' : isxdigit((unsigned char)s[i]) && !isupper(s[i]));
    }
    CWideString err;
    RegSetStringValue(u"my-secret", HKEY_CURRENT_USER, kOrvanPolicyKey, u"ClientSecret", err);
    RegSetStringValue(u"localhost:1234", HKEY_CURRENT_USER, kOrvanPolicyKey, u"KdxServer", err);
    RegSetDwordValue(30, HKEY_CURRENT_USER, kOrvanPolicyKey, u"SendRecvTimeout", err);
    EXPECT_EQ(GetClientSecret(GetCloudServer()), "my-secret");
    EXPECT_EQ(GetKdxServer(), "localhost:1234");
    EXPECT_EQ(GetSendRecvTimeout(), 30u);
    EXPECT_EQ(GetClientId(), "K4Win1");
    unsetenv("TORVANE_REGISTRY_DIR");
    std::system((std::string("rm -rf '") + tmpl + "'").c_str());

    OrvanFS fs;
    EXPECT_EQ(U8(fs.GetTypeInfo(TVFS_TI_SCHEME)), "luds://");
    EXPECT_EQ(U8(fs.GetTypeInfo(TVFS_TI_BAD_NAME_CHARS)), "*<>:|\\/");
    EXPECT_EQ(U8(fs.GetTypeInfo(TVFS_TI_DISPLAY_NAME)), "Disconnected");
    EXPECT_EQ(U8(fs.GetTypeInfo(TVFS_TI_USER_LABEL)), "Username");
    int yes = 0;
    for (int id = 0; id < 200; id++) yes += fs.GetCapability(id);
    EXPECT_EQ(yes, 17);
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_DELETE_TREE));
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_UPLOAD_REPLACES));
    std::unique_ptr<TvFileSys> made(NewFsForUrl(u"LUDS://cloud.example/"));
    ASSERT_TRUE(made);
    EXPECT_TRUE(dynamic_cast<OrvanFS*>(made.get()));

    // the scheme is the secure one with port 443, which the URLs leave out
    struct {
        const char* url;
        const char* target;
        int port;
    } urls[] = {{"luds://h.example", "luds://h.example", 443},
                {"luds://h.example:443/", "luds://h.example/", 443},
                {"luds://h.example:8443", "luds://h.example:8443", 8443}};
    for (auto& u : urls) {
        TvConnectInfo ci;
        ci.m_sUrl = Utf8ToWide(u.url);
        ci.m_sUserID = u"me";
        CWideString path;
        err.Empty();
        ASSERT_TRUE(fs.ParseConnectUrl(ci, "", 0, "luds", 443, false, path, err)) << U8(err);
        EXPECT_EQ(U8(fs.m_Params.m_sUrl), u.target);
        EXPECT_EQ(fs.m_Params.m_nPort, u.port);
        EXPECT_EQ(fs.m_Params.m_nTls, 1);
        EXPECT_EQ(fs.m_Params.m_bProxyStyle, 0);
    }
}

TEST(CloudUnits, ConnectWaitsForAPopulationUnderWay) {
    // another connection is listing the account: a stop ends the wait
    struct Stopper : ICopyProgress {
        int polls = 0;
        bool OnProgress(bool, int64_t, int64_t, int&, CWideString&) override { return true; }
        void OnMessage(int, const CWideString&) override {}
        bool IsStopped() const override { return ++const_cast<Stopper*>(this)->polls > 3; }
    } stop;
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    OrvanFileList& list = GetOrvanFileList();
    list.m_bPopulationRequested = true;
    OrvanFS fs;
    TvConnectInfo ci;
    ci.m_sUrl = u"luds://localhost:1";
    ci.m_sUserID = u"tok";
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(fs.Connect(ci, &stop, kind, err));
    list.m_bPopulationRequested = false;
    EXPECT_EQ(kind, FSE_STOPPED);
    EXPECT_EQ(U8(err), "User Stop waiting for cache");
    EXPECT_EQ(clock.GetSleptMs(), 900);
}

TEST(CloudUnits, ApiErrorMapping) {
    struct Case {
        int status;
        const char* ctype;
        const char* body;
        bool retry;
        int kind, newStatus;
        const char* text;
    } cases[] = {
        {403, "text/plain", "exceeded quota", false, FSE_QUOTA, 507, "E: exceeded quota"},
        {403, "application/json", "{\"error\":\"exceeded quota\"}", false, FSE_NOT_FOUND, 403,
         "E: Sync API says: exceeded quota"},
        {401, "application/json", "{\"error\":\"expired\"}", false, FSE_AUTH, 401, "E: Sync API says: expired"},
        {404, "text/html", "gone", false, FSE_NOT_FOUND, 404, "E: gone"},
        {503, "text/plain", "busy", true, FSE_CONN_LOST, 503, "E: busy"},
        {503, "text/plain", "busy", false, 99, 503, "E: busy"},
        {200, "text/plain", "odd", false, 99, 200, "E"},
        // The server's words never act on a terminal or start a line of their own.
        {500, "text/html", "\x1b[2J\x1b]0;t\x07\nsynced: 0 errors\xc2\x9b", false, 99, 500,
         "E: \\x1B[2J\\x1B]0;t\\x07\\nsynced: 0 errors\u00c2\\x9B"},
        {401, "application/json", "{\"error\":\"a\\u001b[2J\\nb\"}", false, FSE_AUTH, 401,
         "E: Sync API says: a\\x1B[2J\\nb"},
    };
    for (const Case& c : cases) {
        CRsp rsp;
        rsp.m_nStatus = c.status;
        rsp.m_mapHeaders.SetAt("content-type", c.ctype);
        rsp.m_sBody = c.body;
        int kind = 99;
        CWideString err(u"E");
        OrvanFS::AddApiError(rsp, kind, err, c.retry);
        EXPECT_EQ(kind, c.kind) << c.body;
        EXPECT_EQ(rsp.m_nStatus, c.newStatus) << c.body;
        EXPECT_EQ(U8(err), c.text);
    }
}

TEST(CloudUnits, MetadataTimesAndContentTypes) {
    struct Case {
        const char* json;
        bool notification;
        bool ok;
        uint32_t attrs;
        const char* err;
    } cases[] = {
        {"{\"name\":\"a.txt\",\"size\":7,\"modified\":\"2023-11-14T22:13:20Z\",\"created\":\"2023-11-14T22:11:40Z\"}",
         false, true, FSA_NORMAL, ""},
        {"{\"name\":\"d\",\"modified\":\"2023-11-14T22:13:20Z\",\"created\":\"2023-11-14T22:11:40Z\","
         "\"collaboration_root\":{\"id\":\"x\"}}",
         false, true, FSA_NORMAL, "ParseAssetInfo: no size"},
        {"{\"name\":\"a\",\"size\":1,\"modified\":\"soon\",\"created\":\"2023-11-14T22:11:40Z\"}", false, false, 0,
         "ParseAssetInfo: bad mod time: cannot parse inet time: soon"},
        {"{\"size\":1}", false, false, 0, "ParseAssetInfo: no name in metadata"},
        {"{\"name\":\"a\",\"size\":-1}", false, false, 0, "ParseAssetInfo: size -1 is not a valid file size"},
        {"{\"name\":\"a\",\"size\":9223372036854775807}", false, false, 0,
         "ParseAssetInfo: size 9223372036854775807 is not a valid file size"},
        {"null", false, false, 0, "ParseAssetInfo: null value"},
        {"{\"data\":{\"uri\":\"/api/sync/collections/x\",\"metadata\":{\"name\":\"d\",\"modified\":\"2023-11-14T22:"
         "13:20Z\",\"created\":\"2023-11-14T22:11:40Z\",\"collaboration_root\":{}}}}",
         true, true, FSA_FOLDER | FSA_COLLAB_ROOT, ""},
        {"{\"data\":{\"uri\":\"/api/sync/files/x\",\"metadata\":{\"name\":\"f\",\"modified\":\"2023-11-14T22:13:20Z\","
         "\"created\":\"2023-11-14T22:11:40Z\"}}}",
         true, false, 0, "ParseAssetInfo: no size"},
        {"{\"data\":{\"uri\":\"\"}}", true, false, 0, "GetAssetInfoFromNotification: no URI"},
        {"{\"data\":{\"uri\":\"/api/sync/files/x\"}}", true, false, 0, "GetAssetInfoFromNotification: no metadata"},
    };
    for (const Case& c : cases) {
        ZorJsonValuePtr json;
        CWideString err;
        ASSERT_TRUE(JsonParseText(CNarrowString(c.json), json, err)) << c.json;
        FsItemInfo info;
        info.m_nAttributes = FSA_NORMAL;
        int kind = 0;
        bool ok = c.notification ? GetAssetInfoFromNotification(json.get(), info, kind, err)
                                 : ParseAssetInfo(json.get(), info, kind, err);
        if (*c.err && c.ok) {
            // a folder's metadata read as a file's: the size is required
            EXPECT_FALSE(ok);
            EXPECT_EQ(U8(err), c.err);
            continue;
        }
        EXPECT_EQ(ok, c.ok) << c.json;
        if (ok) {
            EXPECT_EQ(info.m_nAttributes, c.attrs) << c.json;
            EXPECT_EQ(info.m_nModTime, 1700000000u);
            EXPECT_EQ(info.m_nCreateTime, 1699999900u);
        } else {
            EXPECT_EQ(kind, FSE_NOT_FOUND);
            EXPECT_EQ(U8(err), c.err);
        }
    }
    bool unsafe = false;
    ZorJsonValuePtr json;
    CWideString err;
    ASSERT_TRUE(JsonParseText(CNarrowString("{\"name\":\"..\",\"modified\":\"2023-11-14T22:13:20Z\","
                                            "\"created\":\"2023-11-14T22:13:20Z\"}"),
                              json, err));
    FsItemInfo info;
    info.m_nAttributes = FSA_FOLDER;
    int kind = 0;
    EXPECT_TRUE(ParseAssetInfo(json.get(), info, kind, err, &unsafe));
    EXPECT_TRUE(unsafe);

    CNarrowString t;
    EXPECT_TRUE(FormatIsoTime(1700000000, t, err));
    EXPECT_EQ(t, "2023-11-14T22:13:20+00:00");
    struct {
        const char16_t* name;
        const char* type;
    } types[] = {{u"a.zip", "application/zip"}, {u"a.tar.gz", nullptr}, {u"a.JPG", nullptr},
                 {u"noext", nullptr},           {u"dot.", nullptr},       {u"x.nef", "image/x-nikon-nef"}};
    for (auto& ty : types) {
        CNarrowString out;
        err.Empty();
        bool ok = GetContentTypeForName(ty.name, out, err);
        if (ty.type) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(out, ty.type);
        } else if (CWideString(ty.name) == u"a.tar.gz") {
            CNarrowString gz;
            CWideString e;
            EXPECT_EQ(ok, MimeTypeByExtension(u"x.gz", gz, e));
        } else {
            EXPECT_FALSE(ok) << U8(ty.name);
            EXPECT_EQ(U8(err), (CWideString(ty.name).Find(u'.') < 0 || CWideString(ty.name) == u"dot.")
                                   ? "no extension in file name"
                                   : "not found");
        }
    }
    CNarrowString b = MakeMultipartBoundary();
    EXPECT_EQ(b.GetLength(), 32);
    EXPECT_EQ(b.Left(2), "--");
    EXPECT_NE(MakeMultipartBoundary(), MakeMultipartBoundary()); // two uploads in one second
}

} // namespace
