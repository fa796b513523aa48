// The cloud file system against the test account (tools/fake-cloud.py) over
// HTTPS on 127.0.0.1: sign-in, connect refusals, population in its three
// modes with malformed and hostile listings, reads from the cache, quota, and
// the folder and file changes with the exact requests they send.
#include "cloud-test-util.h"

#include "zor-debug.h"
#include "zor-file.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

class CloudFs : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsrv::ClearProxyEnvironment();
        s_dir = new testsrv::TempDir();
        setenv("TORVANE_REGISTRY_DIR", (*s_dir / "reg").c_str(), 1);
        testsrv::RunCommand("mkdir -p '" + (*s_dir / "reg") + "' '" + (*s_dir / "pki") + "'");
        s_bReady = testsrv::RunCommand("bash '" TV_SOURCE_DIR "/tools/make-test-pki.sh' '" + (*s_dir / "pki") +
                                       "' >/dev/null 2>&1") == 0;
        s_srv = new CloudServer();
        s_bReady = s_bReady && s_srv->Start(*s_dir / "pki");
        SetSslRootsFile(Utf8ToWide((*s_dir / "pki/roots.pem").c_str()));
        HttpProxyOptions().m_bUseWinInetProxy = false;
    }
    static void TearDownTestSuite() {
        delete s_srv;
        s_srv = nullptr;
        SetSslRootsFile(CWideString());
        unsetenv("TORVANE_REGISTRY_DIR");
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_bReady) GTEST_SKIP() << "cannot start the test account";
        m_prevHook = ZorSetAssertHook([](const char*) {});
        ClearPolicies();
        SetPolicy(u"KdxServer", s_srv->Host().c_str());
        s_srv->Ctl("reset");
        GetOrvanFileList().ResetCache();
        GetOrvanFileList().InvalidateQuota();
    }
    void TearDown() override {
        m_fs.Disconnect(true);
        GetOrvanFileList().ResetCache();
        ZorSetAssertHook(m_prevHook);
    }
    bool Connect(OrvanFS& fs, const TvConnectInfo& ci) {
        m_kind = 0;
        m_err.Empty();
        return fs.Connect(ci, &m_notes, m_kind, m_err);
    }
    bool Connect() { return Connect(m_fs, CloudInfo(s_srv->Host())); }
    std::string Names(const char16_t* path) {
        CListT<FsItemInfo> items;
        int kind = 0;
        CWideString err;
        if (!m_fs.ListDir(path, items, kind, err)) return "ERR " + U8(err);
        std::string r;
        for (ZorPosition p = items.GetHeadPosition(); p;) r += U8(items.GetNext(p).m_sName) + ";";
        return r;
    }

    static testsrv::TempDir* s_dir;
    static CloudServer* s_srv;
    static bool s_bReady;
    OrvanFS m_fs;
    S3NoticeRecorder m_notes;
    int m_kind = 0;
    CWideString m_err;
    ZorAssertHook m_prevHook = nullptr;
};
testsrv::TempDir* CloudFs::s_dir = nullptr;
CloudServer* CloudFs::s_srv = nullptr;
bool CloudFs::s_bReady = false;

TEST_F(CloudFs, SignInFormErrorsAndHeaders) {
    // a non-ASCII password travels percent-encoded UTF-8 and is accepted as typed
    s_srv->Set("{\"password\": \"p\\u00e4ss w\\u00f6rd&=+\\u2713\"}");
    ASSERT_TRUE(Connect(m_fs, CloudInfo(s_srv->Host(), "user@example.com", "p\xc3\xa4ss w\xc3\xb6rd&=+\xe2\x9c\x93")))
        << U8(m_err);
    std::string log = s_srv->Log();
    EXPECT_NE(log.find("\"keys\": [\"grant_type\", \"client_id\", \"client_secret\", \"username\", \"password\", "
                       "\"scope\"]"),
              std::string::npos)
        << log;
    EXPECT_EQ(Count(log, "\"auth\": \"ok\""), 1) << log; // the index request
    EXPECT_NE(log.find("[\"Authorization\", \"<redacted>\"], [\"Accept\", \"*/*\"]"), std::string::npos) << log;
    EXPECT_EQ(log.find("X-Feature-Override"), std::string::npos);
    // neither the password nor the token reaches our notices or the server's log
    for (auto& [lvl, t] : m_notes.m_notices) {
        EXPECT_EQ(t.find("tok-0123456789"), std::string::npos) << t;
        EXPECT_EQ(t.find("w%C3%B6rd"), std::string::npos) << t;
    }
    EXPECT_EQ(log.find("tok-0123456789"), std::string::npos);
    EXPECT_EQ(log.find("rd&="), std::string::npos);

    // the collaboration header follows Accept
    SetPolicy(u"EnableCollab", 1);
    int64_t f = 0, a = 0, t = 0;
    EXPECT_TRUE(m_fs.GetFreeDiskSpace(u"/", f, a, t, m_kind, m_err)) << U8(m_err);
    CRsp rsp;
    EXPECT_TRUE(m_fs.SendApiRequest(m_fs.m_Params, rsp, "GET", u"profile/quota", nullptr, m_kind, m_err, true));
    log = s_srv->Log();
    EXPECT_NE(log.find("[\"Accept\", \"*/*\"], [\"X-Feature-Override\", \"collaboration,invites\"]"), std::string::npos)
        << log;
    SetPolicy(u"EnableCollab", 0u);

    struct Case {
        const char* sw;
        int kind;
        const char* text;
    } cases[] = {
        {"{\"password\": \"other\"}", FSE_NOT_FOUND, "invalid_grant"},
        {"{\"token_mode\": \"nonjson\"}", FSE_NOT_FOUND, "Couldn't parse auth response: "},
        {"{\"token_mode\": \"notoken\"}", FSE_NOT_FOUND, "access_token not present in auth response"},
    };
    m_fs.m_Params.m_sPassword = u"secret";
    for (const Case& c : cases) {
        s_srv->Ctl("reset");
        s_srv->Set(c.sw);
        CRsp r;
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(m_fs.SendApiRequest(m_fs.m_Params, r, "GET", u"profile/quota", nullptr, kind, err, true)) << c.sw;
        EXPECT_EQ(kind, c.kind) << c.sw;
        EXPECT_EQ(U8(err).rfind(c.text, 0), 0u) << c.sw << ": " << U8(err);
    }
}

TEST_F(CloudFs, BearerModeFake503AndRetryAfter) {
    // an empty password: the user field is a ready token, no sign-in
    ASSERT_TRUE(Connect(m_fs, CloudInfo(s_srv->Host(), "tok-0123456789", ""))) << U8(m_err);
    std::string log = s_srv->Log();
    EXPECT_EQ(log.find("/kdx/token"), std::string::npos);
    EXPECT_EQ(Count(log, "\"auth\": \"ok\""), 1);
    int64_t f = 0, a = 0, t = 0;
    EXPECT_TRUE(m_fs.RequestQuota(u"", f, a, t, m_kind, m_err)) << U8(m_err);

    SetPolicy(u"EnableFake503", 1);
    CRsp rsp;
    EXPECT_FALSE(m_fs.SendApiRequest(m_fs.m_Params, rsp, "GET", u"profile/quota", nullptr, m_kind, m_err, true));
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);
    EXPECT_EQ(rsp.m_nStatus, 503);
    SetPolicy(u"EnableFake503", 0u);

    // 503 with Retry-After is tried again after the (virtual) 2 s; without it the request fails
    ZorTestClock clock;
    {
        ZorClockScope scope(&clock);
        s_srv->Ctl("script", "{\"method\": \"GET\", \"path\": \"/api/profile/quota\", \"times\": 1, \"status\": 503, "
                             "\"headers\": {\"Retry-After\": \"2\"}}");
        CRsp r1;
        EXPECT_TRUE(m_fs.SendApiRequest(m_fs.m_Params, r1, "GET", u"profile/quota", nullptr, m_kind, m_err, true))
            << U8(m_err);
        EXPECT_GE(clock.GetSleptMs(), 2000);
        s_srv->Ctl("script", "{\"method\": \"GET\", \"path\": \"/api/profile/quota\", \"times\": 1, \"status\": 503}");
        CRsp r2;
        EXPECT_FALSE(m_fs.SendApiRequest(m_fs.m_Params, r2, "GET", u"profile/quota", nullptr, m_kind, m_err, true));
        EXPECT_EQ(m_kind, FSE_NOT_FOUND);
        EXPECT_EQ(r2.m_nStatus, 503);
    }
}

TEST_F(CloudFs, ConnectRefusals) {
    struct Case {
        TvConnectInfo ci;
        int kind;
        const char* text;
    } cases[] = {
        {[] { TvConnectInfo c = CloudInfo("x"); c.m_sUrl = u"https://localhost/"; return c; }(), FSE_GENERAL,
         "URL must have luds:// or :// prefix"},
        {CloudInfo(s_srv->Host(), "user@example.com", "secret", "/docs"), FSE_GENERAL,
         "Root directory is not root of Hub account; URI path must be empty"},
        {CloudInfo(s_srv->Host(), "", "secret"), FSE_GENERAL, "Empty UserID"},
    };
    for (Case& c : cases) {
        OrvanFS fs;
        EXPECT_FALSE(Connect(fs, c.ci)) << c.text;
        EXPECT_EQ(m_kind, c.kind) << c.text;
        EXPECT_EQ(U8(m_err), c.text);
    }
    EXPECT_TRUE(Connect(m_fs, CloudInfo(s_srv->Host(), "user@example.com", "secret", "/"))) << U8(m_err);

    // TLS is required and verified: a plain server, an untrusted certificate, a wrong host name
    struct Peer {
        const char* cert;
        bool plain;
        const char* text;
    } peers[] = {{"san", true, "cannot switch to SSL mode"},
                 {"self", false, "No Certificate or it does not verify"},
                 {"other", false, "doesn't match server name 'localhost'"}};
    for (const Peer& p : peers) {
        CloudServer other;
        ASSERT_TRUE(other.Start(*s_dir / "pki", p.cert, p.plain));
        GetOrvanFileList().ResetCache();
        OrvanFS fs;
        EXPECT_FALSE(Connect(fs, CloudInfo(other.Host(), "tok-0123456789", ""))) << p.cert << p.plain;
        EXPECT_NE(U8(m_err).find(p.text), std::string::npos) << U8(m_err);
        EXPECT_EQ(Count(other.Log(), "\"/api/"), 0) << p.cert;
        EXPECT_FALSE(fs.IsConnected());
        EXPECT_TRUE(GetOrvanFileList().IsEmpty());
    }
}

TEST_F(CloudFs, PopulationModesAndRefresh) {
    struct Mode {
        uint32_t index, recursive;
        const char* listing;
    } modes[] = {{1, 1, "/api/sync/index"},
                 {0, 1, "/api/sync/directories?recursive=true"},
                 {0, 0, "/api/sync/directories/n00004"}};
    for (const Mode& m : modes) {
        s_srv->Ctl("reset");
        GetOrvanFileList().ResetCache();
        SetPolicy(u"IndexEndpoint", m.index);
        SetPolicy(u"RecursiveListing", m.recursive);
        OrvanFS fs;
        ASSERT_TRUE(Connect(fs, CloudInfo(s_srv->Host()))) << m.listing << ": " << U8(m_err);
        EXPECT_NE(s_srv->Log().find(std::string("\"") + m.listing + "\""), std::string::npos) << m.listing;
        EXPECT_EQ(GetOrvanFileList().GetCount(), 8) << m.listing;
        OrvanFileItem item;
        CWideString id;
        ASSERT_TRUE(GetOrvanFileList().FindIdByPath(u"/a/sub/deep.bin", id));
        EXPECT_EQ(U8(id), "n00005");
        ASSERT_TRUE(GetOrvanFileList().FindIdByPath(u"/_tvdata_", id));
        EXPECT_EQ(U8(id), "tvd0");
    }
    ClearPolicies();
    SetPolicy(u"KdxServer", s_srv->Host().c_str());

    // a listing reply of 32 MiB or more is read back from the temporary body file
    s_srv->Ctl("reset");
    s_srv->Set("{\"pad_bytes\": 34000000}");
    GetOrvanFileList().ResetCache();
    {
        OrvanFS fs;
        ASSERT_TRUE(Connect(fs, CloudInfo(s_srv->Host(), "tok-0123456789", ""))) << U8(m_err);
        EXPECT_EQ(GetOrvanFileList().GetCount(), 8);
    }

    // no long poll: the first connect filled the cache; a later run (no other
    // connection open) refreshes it and sees a change made by another client,
    // a worker joining an open run does not list again
    s_srv->Ctl("reset");
    GetOrvanFileList().ResetCache();
    {
        OrvanFS fs;
        ASSERT_TRUE(Connect(fs, CloudInfo(s_srv->Host()))) << U8(m_err);
    }
    s_srv->Ctl("change", "{\"path\": \"/a/x.txt\", \"data\": \"changed by another client\"}");
    ASSERT_TRUE(Connect()) << U8(m_err);
    FsItemInfo info;
    bool nf = false;
    ASSERT_TRUE(m_fs.GetInfo(u"/a/x.txt", info, nf, m_kind, m_err));
    EXPECT_EQ(info.m_nSize, 25);
    OrvanFS worker;
    ASSERT_TRUE(Connect(worker, CloudInfo(s_srv->Host())));
    EXPECT_EQ(Count(s_srv->Log(), "\"/api/sync/index\""), 2);
}

TEST_F(CloudFs, MalformedAndHostileListings) {
    const char* bad[] = {"nosize", "badprefix", "oneroot", "dupid", "cycle"};
    for (const char* m : bad) {
        s_srv->Set(std::string("{\"malform\": \"") + m + "\"}");
        GetOrvanFileList().ResetCache();
        OrvanFS fs;
        EXPECT_FALSE(Connect(fs, CloudInfo(s_srv->Host()))) << m;
        EXPECT_EQ(m_kind, FSE_CLOUD_CACHE) << m << ": " << U8(m_err);
        EXPECT_EQ(U8(m_err).rfind("Cache is empty: ", 0), 0u) << U8(m_err);
        EXPECT_TRUE(GetOrvanFileList().IsEmpty()) << m;
    }
    // a long-poll connection that fails its listing stores the failure and
    // lets the others go on
    GetOrvanFileList().ResetCache();
    TvConnectInfo lp = CloudInfo(s_srv->Host());
    lp.m_bLongPoll = 1;
    EXPECT_FALSE(Connect(m_fs, lp));
    EXPECT_EQ(m_kind, FSE_CLOUD_CACHE);
    EXPECT_FALSE(GetOrvanFileList().m_bPopulationRequested);
    EXPECT_EQ(GetOrvanFileList().m_nPopulationErrKind, FSE_CLOUD_CACHE);
    EXPECT_FALSE(m_fs.IsConnected());

    SetPolicy(u"IndexEndpoint", 0u);
    SetPolicy(u"RecursiveListing", 0u);
    s_srv->Set("{\"malform\": \"chain300\"}");
    GetOrvanFileList().ResetCache();
    EXPECT_FALSE(Connect(m_fs, CloudInfo(s_srv->Host(), "tok-0123456789", "")));
    EXPECT_EQ(m_kind, FSE_CLOUD_CACHE);
    EXPECT_NE(U8(m_err).find("deeper than 256"), std::string::npos) << U8(m_err);
    EXPECT_LE(Count(s_srv->Log(), "chain"), 260);
    SetPolicy(u"IndexEndpoint", 1);
    SetPolicy(u"RecursiveListing", 1);

    const char* hostile[] = {"name_dotdot", "name_slash", "name_backslash", "name_nul"};
    for (const char* m : hostile) {
        s_srv->Set(std::string("{\"malform\": \"") + m + "\"}");
        GetOrvanFileList().ResetCache();
        m_notes.m_notices.clear();
        OrvanFS fs;
        ASSERT_TRUE(Connect(fs, CloudInfo(s_srv->Host()))) << m << ": " << U8(m_err);
        EXPECT_EQ(GetOrvanFileList().GetCount(), 10) << m; // kept in the cache
        CListT<FsItemInfo> items;
        ASSERT_TRUE(fs.ListDir(u"/", items, m_kind, m_err));
        EXPECT_EQ(items.GetCount(), 4) << m; // a, b, top.txt, _tvdata_
        EXPECT_EQ(m_notes.CountContaining("cannot be used in a path"), 1) << m;
        for (const char16_t* p : {u"/../inner.txt", u"/a/b/inner.txt", u"/a\\b/inner.txt", u"/.."}) {
            FsItemInfo info;
            bool nf = false;
            EXPECT_TRUE(fs.GetInfo(p, info, nf, m_kind, m_err)) << U8(p);
            EXPECT_TRUE(nf) << m << " " << U8(p);
        }
    }
}

TEST_F(CloudFs, ReadsComeFromTheCache) {
    ASSERT_TRUE(Connect()) << U8(m_err);
    int before = Count(s_srv->Log(), "\"method\"");
    FsItemInfo info;
    bool nf = false;
    ASSERT_TRUE(m_fs.GetInfo(u"/top.txt", info, nf, m_kind, m_err));
    EXPECT_FALSE(nf);
    EXPECT_EQ(info.m_nSize, 8);
    EXPECT_EQ(info.m_nModTime, 1600000000u);
    ASSERT_TRUE(m_fs.GetInfo(u"", info, nf, m_kind, m_err));
    EXPECT_EQ(info.m_nAttributes, (uint32_t)FSA_FOLDER);
    ASSERT_TRUE(m_fs.GetInfo(u"/a/none", info, nf, m_kind, m_err));
    EXPECT_TRUE(nf);
    ASSERT_TRUE(m_fs.GetInfo(u"/b", info, nf, m_kind, m_err));
    EXPECT_EQ(info.m_nAttributes, (uint32_t)(FSA_FOLDER | FSA_COLLAB_ROOT));
    EXPECT_EQ(Names(u"/a"), "x.txt;sub;");
    EXPECT_EQ(Names(u"/top.txt"), "");
    EXPECT_EQ(Names(u"/nowhere").rfind("ERR Couldn't find ID for directory /nowhere", 0), 0u);
    uint32_t mt = 0, ct = 0;
    EXPECT_TRUE(m_fs.GetFileModTime(u"/top.txt", mt, ct, m_kind, m_err));
    EXPECT_EQ(mt, 1600000000u);
    EXPECT_EQ(ct, 1599999900u);
    EXPECT_EQ(Count(s_srv->Log(), "\"method\""), before);

    // metadata of one asset, and a folder listed again after it came back
    FsItemInfo md;
    md.m_nAttributes = FSA_NORMAL;
    ASSERT_TRUE(m_fs.GetAssetMetadata(u"https://h/api/sync/files/n00003", md, m_kind, m_err)) << U8(m_err);
    EXPECT_EQ(U8(md.m_sName), "x.txt");
    EXPECT_EQ(md.m_nSize, 5);
    EXPECT_NE(s_srv->Log().find("\"/api/sync/files/n00003/metadata\""), std::string::npos);
    CWideString rerr;
    ASSERT_TRUE(GetOrvanFileList().RemoveFromCache(u"n00004", rerr));
    ASSERT_TRUE(m_fs.GetInfo(u"/a/sub/deep.bin", info, nf, m_kind, m_err));
    EXPECT_TRUE(nf);
    ASSERT_TRUE(m_fs.ListUndeletedFolder(u"n00004", u"n00002", m_kind, m_err)) << U8(m_err);
    ASSERT_TRUE(m_fs.GetInfo(u"/a/sub/deep.bin", info, nf, m_kind, m_err));
    EXPECT_FALSE(nf);
    EXPECT_FALSE(m_fs.ListUndeletedFolder(u"n00004", u"nowhere", m_kind, m_err));
    EXPECT_EQ(U8(m_err), "parent for undeleted folder not found");

    // a download: the bytes and the cached modification time
    CWideString local = Utf8ToWide((*s_dir / "down.bin").c_str());
    int64_t n = 0;
    ASSERT_TRUE(m_fs.DownloadFile(u"/a/sub/deep.bin", local, n, m_kind, m_err)) << U8(m_err);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(testsrv::ReadFileText(*s_dir / "down.bin"), "0123456789");
    struct stat st {};
    stat((*s_dir / "down.bin").c_str(), &st);
    EXPECT_EQ(st.st_mtime, 1700000000);

    // quota: a decimal text of bytes and a count of GiB, for a password account
    int64_t f = 0, a = 0, t = 0;
    ASSERT_TRUE(m_fs.GetFreeDiskSpace(u"/", f, a, t, m_kind, m_err)) << U8(m_err);
    EXPECT_EQ(f, 12345);
    EXPECT_EQ(a, 12345);
    EXPECT_EQ(t, 2147483648LL);
    EXPECT_NE(s_srv->Log().find("\"/api/profile/quota\""), std::string::npos);
    s_srv->Set("{\"storage_remaining\": 77}");
    EXPECT_FALSE(m_fs.RequestQuota(u"", f, a, t, m_kind, m_err));
    EXPECT_EQ(U8(m_err), "Unexpected quota response format");
}

TEST_F(CloudFs, FolderAndFileChanges) {
    ASSERT_TRUE(Connect()) << U8(m_err);
    auto last = [&]() {
        std::string log = s_srv->Log();
        size_t at = log.rfind("{\"method\"");
        return at == std::string::npos ? std::string() : log.substr(at, 300);
    };
    struct Step {
        const char* what;
        std::function<bool()> op;
        bool ok;
        const char* request; // start of the last logged request; "" = nothing sent
    } steps[] = {
        {"make folder", [&] { return m_fs.MakeFolder(u"/a/new", m_kind, m_err); }, true,
         "{\"method\": \"POST\", \"path\": \"/api/sync/directories?name=new&directory=n00002\""},
        {"make existing", [&] { return m_fs.MakeFolder(u"/A/NEW", m_kind, m_err); }, false, ""},
        {"rename in place", [&] { return m_fs.MoveFile(u"/a/x.txt", u"/a/y.txt", m_kind, m_err); }, true,
         "{\"method\": \"PUT\", \"path\": \"/api/sync/files/n00003?old_directory=n00002&name=y.txt\""},
        {"case only", [&] { return m_fs.MoveFile(u"/a/y.txt", u"/a/Y.txt", m_kind, m_err); }, true,
         "{\"method\": \"PUT\", \"path\": \"/api/sync/files/n00003?old_directory=n00002&name=Y.txt\""},
        {"move keeping name", [&] { return m_fs.MoveFolder(u"/a/sub", u"/b/sub", m_kind, m_err); }, true,
         "{\"method\": \"PUT\", \"path\": \"/api/sync/directories/n00004?old_directory=n00002&directory=n00006\""},
        {"onto a folder", [&] { return m_fs.MoveFile(u"/top.txt", u"/b", m_kind, m_err); }, false, ""},
        {"onto a file", [&] { return m_fs.MoveFile(u"/top.txt", u"/a/Y.txt", m_kind, m_err); }, true,
         "{\"method\": \"PUT\", \"path\": \"/api/sync/files/n00007?old_directory=root0&directory=n00002&name=Y.txt\""},
        {"delete file", [&] { return m_fs.DeleteFile(u"/b/sub/deep.bin", m_kind, m_err); }, true,
         "{\"method\": \"DELETE\", \"path\": \"/api/sync/files/n00005\""},
        {"delete folder", [&] { return m_fs.DeleteFolder(u"/b/sub", m_kind, m_err); }, true,
         "{\"method\": \"DELETE\", \"path\": \"/api/sync/directories/n00004\""},
    };
    for (Step& s : steps) {
        int before = Count(s_srv->Log(), "\"method\"");
        m_err.Empty();
        EXPECT_EQ(s.op(), s.ok) << s.what << ": " << U8(m_err);
        if (*s.request)
            EXPECT_EQ(last().rfind(s.request, 0), 0u) << s.what << ": " << last();
        else
            EXPECT_EQ(Count(s_srv->Log(), "\"method\""), before) << s.what;
    }
    EXPECT_EQ(Names(u"/a"), "new;Y.txt;");
    FsItemInfo info;
    bool nf = false;
    ASSERT_TRUE(m_fs.GetInfo(u"/a/Y.txt", info, nf, m_kind, m_err));
    EXPECT_EQ(info.m_nSize, 8); // the moved top.txt
    // deletion marks hide the items until the echo arrives
    ASSERT_TRUE(m_fs.GetInfo(u"/b/sub", info, nf, m_kind, m_err));
    EXPECT_TRUE(nf);
    EXPECT_EQ(Names(u"/b"), "");
    EXPECT_GE(GetOrvanFileList().GetPendingCount(), 4);

    m_err.Empty();
    EXPECT_FALSE(m_fs.MoveFile(u"/a/Y.txt", u"/a/new", m_kind, m_err));
    EXPECT_EQ(U8(m_err), "Error moving /a/Y.txt to /a/new: destination object already exists");
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);

    // the data folder: the query and the no-events header, no transaction id
    s_srv->Ctl("seed", "{\"parent\": \"tvd0\", \"tree\": [{\"name\": \"state\", \"data\": \"x\"}]}");
    s_srv->Ctl("seed", "{\"tree\": [{\"name\": \"f\", \"data\": \"x\"}]}");
    m_fs.Disconnect(true);
    GetOrvanFileList().ResetCache();
    ASSERT_TRUE(Connect()) << U8(m_err);
    int pending = GetOrvanFileList().GetPendingCount();
    ASSERT_TRUE(m_fs.DeleteFile(u"/_tvdata_/state", m_kind, m_err)) << U8(m_err);
    std::string log = last();
    EXPECT_EQ(log.rfind("{\"method\": \"DELETE\", \"path\": \"/api/sync/files/n", 0), 0u) << log;
    EXPECT_NE(log.find("?delete=yes\""), std::string::npos) << log;
    EXPECT_NE(log.find("[\"X-Cirrolith-No-Events\", \"true\"]"), std::string::npos) << log;
    EXPECT_EQ(GetOrvanFileList().GetPendingCount(), pending);
    s_srv->Set("{\"delete_status\": 204}");
    EXPECT_FALSE(m_fs.DeleteFile(u"/f", m_kind, m_err));
    EXPECT_EQ(U8(m_err), "Unexpected DELETE status 204");
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);
}

} // namespace
