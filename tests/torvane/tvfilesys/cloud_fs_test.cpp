// The cloud file system against the test account (tools/fake-cloud.py) over
// HTTPS on 127.0.0.1: sign-in, connect refusals, population in its three
// modes with malformed and hostile listings, reads from the cache, quota, and
// the folder and file changes with the exact requests they send.
#include "cloud-test-util.h"

#include "zor-debug.h"
#include "zor-file.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <sys/stat.h>
#include <sys/time.h>
#include <cstring>

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
        // The key that encrypts the account's password is made in a profile
        // of the test's, never in the user's own.
        setenv("TORVANE_PROFILE_DIR", (*s_dir / "profile").c_str(), 1);
        testsrv::RunCommand("mkdir -p '" + (*s_dir / "reg") + "' '" + (*s_dir / "pki") + "' '" +
                            (*s_dir / "profile") + "'");
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
        unsetenv("TORVANE_PROFILE_DIR");
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
        CWideString err;
        if (!m_fs.ListDir(path, items, m_kind, err)) return "ERR " + U8(err);
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
    EXPECT_TRUE(m_fs.m_Conn.m_sPassword.IsEmpty()); // no server challenge can draw it out

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
        {"{\"token\": \"tok\\r\\nX-Injected: 1\"}", FSE_NOT_FOUND, "bad access_token in auth response"},
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
    // past the memory limit a listing fails before it is read, from the body
    // file or from memory
    for (auto [pad, limit] : {std::pair<int, int64_t>{34000000, 16 << 20}, {0, 200}}) {
        s_srv->Set("{\"pad_bytes\": " + std::to_string(pad) + "}");
        GetOrvanFileList().ResetCache();
        SetOrvanBodyMemoryLimit(limit);
        OrvanFS fs;
        EXPECT_FALSE(Connect(fs, CloudInfo(s_srv->Host(), "tok-0123456789", ""))) << pad;
        SetOrvanBodyMemoryLimit(0);
        EXPECT_EQ(m_kind, FSE_CLOUD_CACHE);
        EXPECT_NE(U8(m_err).find("Response body is too long for memory"), std::string::npos) << U8(m_err);
        EXPECT_TRUE(GetOrvanFileList().IsEmpty());
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
        EXPECT_EQ(m_notes.CountContaining("'n\\x00ul'"), std::string(m) == "name_nul" ? 1 : 0) << m;
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
    EXPECT_EQ(m_kind, FSE_NOT_FOUND); // not the connection kind that callers retry
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
    // a chunked answer declares no length: the size is the bytes that came
    s_srv->Ctl("script", R"({"method": "GET", "path": "/api/sync/files/", "action": "chunked", "body": "0123456789"})");
    n = 10;
    ASSERT_TRUE(m_fs.DownloadFile(u"/a/sub/deep.bin", local, n, m_kind, m_err)) << U8(m_err);
    EXPECT_EQ(n, 10);
    EXPECT_EQ(testsrv::ReadFileText(*s_dir / "down.bin"), "0123456789");

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

// ---------------------------------------------------------------- uploads
std::string WriteLocal(const std::string& path, const std::string& data, time_t mtime) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f) {
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    utimes(path.c_str(), tv);
    return path;
}

std::string LastRequest(CloudServer* srv) {
    std::string log = srv->Log();
    size_t at = log.rfind("{\"method\"");
    return at == std::string::npos ? std::string() : log.substr(at);
}

TEST_F(CloudFs, UploadBothFormsConditionalReplaceAndTerminalCases) {
    std::string dir = *s_dir / "up";
    testsrv::RunCommand("mkdir -p '" + dir + "'");
    for (int multipart = 0; multipart <= 1; multipart++) {
        SCOPED_TRACE(multipart ? "multipart" : "query");
        s_srv->Ctl("reset");
        m_fs.Disconnect(true);
        GetOrvanFileList().ResetCache();
        SetPolicy(u"MultipartUpload", (uint32_t)multipart);
        ASSERT_TRUE(Connect()) << U8(m_err);
        std::string local = WriteLocal(dir + "/n\xc3\xa9w file.txt", "new data\r\n--x", 1700001234);
        int pending = GetOrvanFileList().GetPendingCount();

        // a new file: POST with name and parent, then found in the cache under the Location id
        ASSERT_TRUE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/a/n\u00e9w file.txt", m_kind, m_err)) << U8(m_err);
        std::string req = LastRequest(s_srv);
        EXPECT_EQ(req.find("upload_error"), std::string::npos) << req;
        if (multipart) {
            EXPECT_EQ(req.rfind("{\"method\": \"POST\", \"path\": \"/api/sync/files\", ", 0), 0u) << req;
            EXPECT_NE(req.find("\"form\": \"multipart\""), std::string::npos) << req;
            EXPECT_NE(req.find("\"filename\": \"n%C3%A9w%20file.txt\""), std::string::npos) << req;
        } else {
            EXPECT_EQ(req.rfind("{\"method\": \"POST\", \"path\": \"/api/sync/files?name=n%C3%A9w%20file.txt&directory="
                                "n00002&created=",
                                0),
                      0u)
                << req;
            EXPECT_NE(req.find("&modified=2023-11-14T22%3A33%3A54%2B00%3A00\""), std::string::npos) << req;
            EXPECT_NE(req.find("[\"Content-type\", \"text/plain\"]"), std::string::npos) << req;
        }
        EXPECT_NE(req.find("\"name\": \"n\\u00e9w file.txt\", \"directory\": \"n00002\""), std::string::npos) << req;
        EXPECT_NE(req.find("\"modified\": 1700001234"), std::string::npos) << req;
        EXPECT_NE(req.find("\"ctype\": \"text/plain\""), std::string::npos) << req;
        EXPECT_NE(req.find("\"size\": 13"), std::string::npos) << req;
        EXPECT_EQ(GetOrvanFileList().GetPendingCount(), pending + 1);
        FsItemInfo info;
        bool nf = true;
        ASSERT_TRUE(m_fs.GetInfo(u"/a/n\u00e9w file.txt", info, nf, m_kind, m_err));
        EXPECT_FALSE(nf);
        EXPECT_EQ(info.m_nSize, 13);
        EXPECT_EQ(info.m_nModTime, 1700001234u);
        CWideString id;
        ASSERT_TRUE(GetOrvanFileList().FindIdByPath(u"/a/n\u00e9w file.txt", id));
        EXPECT_EQ(U8(id), "n00008");
        std::string back = dir + "/back";
        int64_t n = 0;
        ASSERT_TRUE(m_fs.DownloadFile(u"/a/n\u00e9w file.txt", Utf8ToWide(back.c_str()), n, m_kind, m_err));
        EXPECT_EQ(n, 13);

        // a replace: PUT to the id, no name or parent, a second after the cached time
        WriteLocal(local, "changed", 1700005000);
        ASSERT_TRUE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/a/n\u00e9w file.txt", m_kind, m_err)) << U8(m_err);
        req = LastRequest(s_srv);
        EXPECT_EQ(req.rfind(multipart ? "{\"method\": \"PUT\", \"path\": \"/api/sync/files/n00008\", "
                                      : "{\"method\": \"PUT\", \"path\": \"/api/sync/files/n00008?created=",
                            0),
                  0u)
            << req;
        EXPECT_NE(req.find("[\"If-Unmodified-Since\", \"Tue, 14 Nov 2023 22:33:55 GMT\"]"), std::string::npos) << req;
        EXPECT_EQ(req.find("upload_error"), std::string::npos) << req;
        ASSERT_TRUE(m_fs.GetInfo(u"/a/n\u00e9w file.txt", info, nf, m_kind, m_err));
        EXPECT_EQ(info.m_nSize, 7);
        EXPECT_EQ(Names(u"/a"), "x.txt;sub;n\u00e9w file.txt;");

        // changed on the server since: 412, no overwrite
        s_srv->Ctl("change", "{\"path\": \"/a/n\\u00e9w file.txt\", \"data\": \"theirs\", \"modified\": 1800000000}");
        EXPECT_FALSE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/a/n\u00e9w file.txt", m_kind, m_err));
        EXPECT_NE(U8(m_err).find("Error uploading /a/n\u00e9w file.txt: "), std::string::npos) << U8(m_err);
        EXPECT_FALSE(GetOrvanFileList().IsEmpty());

        // the data folder: no-events header, no transaction id, its own content type
        pending = GetOrvanFileList().GetPendingCount();
        ASSERT_TRUE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/_tvdata_/state.txt", m_kind, m_err)) << U8(m_err);
        req = LastRequest(s_srv);
        EXPECT_NE(req.find("[\"X-Cirrolith-No-Events\", \"true\"]"), std::string::npos) << req;
        EXPECT_NE(req.find(multipart ? "\"ctype\": \"application/vnd.orvan.lumidriftsync\"" : "\"ctype\": \"text/plain\""),
                  std::string::npos)
            << req;
        EXPECT_EQ(GetOrvanFileList().GetPendingCount(), pending);
        // a 412 there is terminal: the cache is reset
        s_srv->Ctl("change", "{\"path\": \"/tvdata_collection/state.txt\", \"modified\": 1800000000}");
        EXPECT_FALSE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/_tvdata_/state.txt", m_kind, m_err));
        EXPECT_EQ(m_kind, FSE_CLOUD_CACHE);
        EXPECT_EQ(U8(m_err).rfind("Terminal Error uploading /_tvdata_/state.txt: ", 0), 0u) << U8(m_err);
        EXPECT_TRUE(GetOrvanFileList().IsEmpty());

        // a name another client took meanwhile: 403, terminal
        m_fs.Disconnect(true);
        ASSERT_TRUE(Connect()) << U8(m_err);
        s_srv->Ctl("seed", "{\"parent\": \"n00002\", \"tree\": [{\"name\": \"theirs.txt\", \"data\": \"t\"}]}");
        EXPECT_FALSE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/a/theirs.txt", m_kind, m_err));
        EXPECT_EQ(m_kind, FSE_CLOUD_CACHE);
        EXPECT_EQ(U8(m_err).rfind("Terminal Error uploading /a/theirs.txt: ", 0), 0u) << U8(m_err);
        EXPECT_TRUE(GetOrvanFileList().IsEmpty());
        // a missing local file fails before anything is sent
        m_fs.Disconnect(true);
        ASSERT_TRUE(Connect()) << U8(m_err);
        int before = Count(s_srv->Log(), "\"method\"");
        EXPECT_FALSE(m_fs.UploadFile(Utf8ToWide((dir + "/missing").c_str()), u"/a/m.txt", m_kind, m_err));
        EXPECT_EQ(Count(s_srv->Log(), "\"method\""), before);
    }
}

TEST_F(CloudFs, UploadTimeoutAndRecoveryBySearch) {
    struct {
        int64_t size;
        uint32_t want;
    } rows[] = {{10LL << 30, 690}, {(3LL << 30) / 4, 90}, {1LL << 30, 120}, {0, 90}, {1LL << 40, 690}};
    for (auto& r : rows) EXPECT_EQ(ComputeUploadTimeout(r.size, 90, 120), r.want) << r.size;

    std::string dir = *s_dir / "rec";
    testsrv::RunCommand("mkdir -p '" + dir + "'");
    std::string local = WriteLocal(dir + "/r.bin", "recovered bytes", 1700000500);
    struct Case {
        const char* what;
        const char* set;
        bool stopAtRetry;
        bool ok;
        int kind;
        const char* errPart;
        int searches;
        int64_t sleptMs;
        bool elsewhereFirst = false; // the same name went up into another folder before
    } cases[] = {
        {"stored after two rounds of 202", "{\"upload_timeout\": \"store\", \"search_codes\": [202, 202, 201]}", false,
         true, 0, "", 3, 1000},
        {"processing throughout", "{\"upload_timeout\": \"nostore\", \"search_codes\": [202]}", false, false,
         FSE_NOT_FOUND, "; Retry #100 err: Retry complete, error: status 202", 100, 50000},
        {"failed on the service", "{\"upload_timeout\": \"nostore\", \"search_codes\": [202, 500]}", false, false,
         FSE_NOT_FOUND, "; Retry #2 err: Retry complete, error: status 500", 2, 500},
        {"empty answer", "{\"upload_timeout\": \"nostore\", \"search_reply\": \"empty\"}", false, false,
         FSE_CLOUD_CACHE, "; Retry #1 err: No entries in proto response", 1, 0},
        {"entry without id", "{\"upload_timeout\": \"nostore\", \"search_reply\": \"noid\"}", false, false,
         FSE_CLOUD_CACHE, "No id or code in proto response", 1, 0},
        {"stopped in recovery", "{\"upload_timeout\": \"store\"}", true, false, FSE_STOPPED,
         "; Retry #1 err: Stopped in retry on timeout", 0, 0},
        {"the entry found is in another folder", "{\"upload_timeout\": \"nostore\"}", false, false, FSE_NOT_FOUND,
         "; Retry #1 err: Retry complete, error: the found id n00008 is in another folder", 1, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        s_srv->Ctl("reset");
        m_fs.Disconnect(true);
        GetOrvanFileList().ResetCache();
        ASSERT_TRUE(Connect()) << U8(m_err);
        if (c.elsewhereFirst) {
            ASSERT_TRUE(m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/b/r.bin", m_kind, m_err)) << U8(m_err);
        }
        s_srv->Set(c.set);
        if (strstr(c.set, "[202]")) {
            std::string codes = "{\"search_codes\": [202";
            for (int i = 1; i < 100; i++) codes += ", 202";
            s_srv->Set(codes + ", 201]}");
        }
        struct StopAtRetry : S3NoticeRecorder {
            bool arm = false;
            void OnMessage(int level, const CWideString& text) override {
                S3NoticeRecorder::OnMessage(level, text);
                if (arm && WideToUtf8(text).Find("retry #1 on timeout") >= 0) RequestStop();
            }
        } notes;
        notes.arm = c.stopAtRetry;
        m_fs.SetProgressCallback(&notes);
        ZorTestClock clock;
        bool ok;
        {
            ZorClockScope scope(&clock);
            m_err.Empty();
            ok = m_fs.UploadFile(Utf8ToWide(local.c_str()), u"/a/r.bin", m_kind, m_err);
        }
        m_fs.SetProgressCallback(&m_notes);
        EXPECT_EQ(ok, c.ok) << U8(m_err);
        if (!c.ok) {
            EXPECT_EQ(m_kind, c.kind);
            EXPECT_NE(U8(m_err).find(c.errPart), std::string::npos) << U8(m_err);
        }
        EXPECT_EQ(Count(s_srv->Log(), "\"path\": \"/api/search?q={\\\"type\\\":"), c.searches) << s_srv->Log().substr(0, 2000);
        EXPECT_EQ(clock.GetSleptMs(), c.sleptMs);
        CWideString id;
        GetOrvanFileList().FindIdByPath(u"/a/r.bin", id);
        EXPECT_EQ(U8(id), c.ok ? "n00008" : "");
        if (!c.ok) {
            // the round that ended the recovery is named in the notice too
            const std::string said = "UploadFile: retry #" + std::to_string(c.searches ? c.searches : 1) + " error: ";
            bool found = false;
            for (auto& [lvl, t] : notes.m_notices) found = found || t.rfind(said, 0) == 0;
            EXPECT_TRUE(found) << said;
        }
    }

    // a close before the whole body went out fails at once, without a search
    s_srv->Ctl("reset");
    m_fs.Disconnect(true);
    GetOrvanFileList().ResetCache();
    ASSERT_TRUE(Connect()) << U8(m_err);
    std::string big(16 << 20, 'b');
    WriteLocal(dir + "/big.bin", big, 1700000500);
    s_srv->Set("{\"upload_close_early\": true}");
    EXPECT_FALSE(m_fs.UploadFile(Utf8ToWide((dir + "/big.bin").c_str()), u"/a/big.bin", m_kind, m_err));
    EXPECT_EQ(Count(s_srv->Log(), "/api/search"), 0);
}

// ---------------------------------------------------------------- long poll
// A long-poll connection whose run goes on a thread, as the monitor runs it.
struct Poller {
    OrvanFS fs;
    std::thread th;
    std::atomic<bool> done{false};
    bool result = false;
    int kind = 0;
    CWideString err;

    bool Start(CloudServer* srv, CWideString& connectErr) {
        TvConnectInfo ci = CloudInfo(srv->Host());
        ci.m_bLongPoll = 1;
        int k = 0;
        if (!fs.Connect(ci, nullptr, k, connectErr) || !fs.StartMonitoring(u"/", k, connectErr)) return false;
        Run();
        return true;
    }
    void Run() {
        done = false;
        th = std::thread([this] {
            result = fs.WaitForChanges(kind, err);
            done = true;
        });
    }
    bool Join(int ms) {
        for (int i = 0; i < ms / 10 && !done; i++) ZorSleepMs(10);
        if (th.joinable()) th.join();
        return done;
    }
    ~Poller() {
        fs.StopMonitoring();
        if (th.joinable()) th.join();
        fs.Disconnect(true);
    }
    std::string Drain() {
        CListT<ChangedItem> items;
        int k = 0;
        CWideString e;
        if (!fs.GetChangedItems(items, k, e)) return "ERR " + U8(e);
        std::string r;
        for (ZorPosition p = items.GetHeadPosition(); p;) r += U8(items.GetNext(p).Dump()) + "\n";
        return r;
    }
};

// Waits until the poll in progress asks for what follows the last event the
// server emitted: everything before it was handled. Bounded by a generous
// deadline; a failure tells whether the run ended, and how.
::testing::AssertionResult WaitCaughtUp(CloudServer* srv, const Poller& lp, int ms = 30000) {
    const int64_t until = ZorGetTickMs() + ms;
    std::string p;
    do {
        p = srv->Ctl("polls");
        size_t at = p.find("\"events\": ");
        size_t get = p.rfind("{\"method\": \"GET\", \"path\": \"");
        if (at != std::string::npos && get != std::string::npos) {
            int n = std::atoi(p.c_str() + at + 10);
            std::string path = p.substr(get + 30, p.find('"', get + 30) - get - 30);
            std::string want = "last_notification=u" + std::to_string(n);
            bool ok = (n == 0 && path.find("last_notification") == std::string::npos) ||
                      (path.size() >= want.size() && path.compare(path.size() - want.size(), want.size(), want) == 0);
            if (ok) return ::testing::AssertionSuccess();
        }
        if (lp.done.load()) break; // the run ended: nothing more will come
        ZorSleepMs(20);
    } while (ZorGetTickMs() < until);
    auto r = ::testing::AssertionFailure();
    if (lp.done.load())
        r << "the run ended (" << (lp.result ? "ok" : "error") << ", kind " << lp.kind << "): " << U8(lp.err) << "\n";
    else
        r << "not caught up in " << ms << " ms\n";
    return r << p;
}

TEST_F(CloudFs, LongPollKeepsTheCacheAndQueuesOtherClientsChanges) {
    s_srv->Set("{\"poll_hold_s\": 1}");
    Poller lp;
    ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    std::string polls = s_srv->Ctl("polls");
    EXPECT_NE(polls.find("{\"method\": \"POST\", \"path\": \"/api/notification\"}, {\"method\": \"GET\", \"path\": "
                         "\"/api/notification?registration_id=reg-1\"}"),
              std::string::npos)
        << polls;
    EXPECT_EQ(Count(s_srv->Log(), "\"path\": \"/api/sync/index\""), 1); // subscribed, then listed once

    // this program's own changes: the cache changes, no record; also when the
    // echo of each change reaches the poll before the change's own reply
    ASSERT_TRUE(Connect()) << U8(m_err);
    std::string dir = *s_dir / "lp";
    testsrv::RunCommand("mkdir -p '" + dir + "'");
    std::string local = WriteLocal(dir + "/own.txt", "own", 1700000000);
    for (const char* late : {"", "-late"}) {
        SCOPED_TRACE(late);
        s_srv->Set(std::string("{\"change_reply_delay_ms\": ") + (*late ? "500" : "0") + "}");
        CWideString folder = u"/a/own" + Utf8ToWide(late);
        ASSERT_TRUE(m_fs.MakeFolder(folder, m_kind, m_err)) << U8(m_err);
        ASSERT_TRUE(m_fs.UploadFile(Utf8ToWide(local.c_str()), folder + u"/own.txt", m_kind, m_err)) << U8(m_err);
        ASSERT_TRUE(m_fs.MoveFile(folder + u"/own.txt", u"/b/own2.txt", m_kind, m_err)) << U8(m_err);
        ASSERT_TRUE(m_fs.DeleteFile(u"/b/own2.txt", m_kind, m_err)) << U8(m_err);
        ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
        EXPECT_EQ(lp.Drain(), "");
        EXPECT_EQ(Names(u"/a"), *late ? "x.txt;sub;own;own-late;" : "x.txt;sub;own;");
        EXPECT_EQ(Names(u"/b"), "");
    }
    s_srv->Set("{\"change_reply_delay_ms\": 0}");
    EXPECT_TRUE(s_srv->Ctl("polls").find("last_notification=u") != std::string::npos);

    // another client's changes, one reply
    const char* events = R"({"events": [
        {"event": "update", "resource": "/api/v1/assets/n00003", "tid": "x1"},
        {"event": "update", "resource": "/api/v1/assets/n00007/metadata/name", "tid": "x2", "data": {"value": "top2.txt"}},
        {"event": "update", "resource": "/api/v1/collections/n00002/members", "tid": "x3",
         "data": {"detail": "resource_added", "uri": "/api/v1/assets/new1",
                  "metadata": {"name": "new.txt", "size": 4, "modified": "2023-11-14T22:13:20Z", "created": "2023-11-14T22:13:20Z"}}},
        {"event": "update", "resource": "/api/v1/collections/n00006/members", "tid": "x4",
         "data": {"detail": "resource_added", "uri": "/api/v1/collections/n00004"}},
        {"event": "update", "resource": "/api/v1/profile/quota", "data": {"storage_used": "3", "storage_quota": "2"}},
        {"event": "update", "resource": "/api/v1/profile/quota", "data": {"storage_used": "1.5", "storage_quota": "2"}},
        {"event": "delete", "resource": "/api/v1/assets/nosuchid", "tid": "x5"},
        {"event": "update", "resource": "/api/v1/assets/new1/metadata/trashed", "tid": "x6", "data": {"value": "true"}}
    ]})";
    s_srv->Ctl("events", events);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Modified path=/a/x.txt\n"
                          "t=Modified path=/a/x.txt\n"
                          "t=MovedFrom path=/top.txt\n"
                          "t=MovedTo path=/top2.txt\n"
                          "t=Created path=/a/new.txt\n"
                          "t=MovedFrom path=/a/sub/deep.bin\n"
                          "t=MovedFrom path=/a/sub\n"
                          "t=MovedTo path=/b/sub\n"
                          "t=MovedTo path=/b/sub/deep.bin\n"
                          "t=Metadata path=\n"
                          "t=Deleted path=/a/new.txt\n");
    EXPECT_EQ(Names(u"/b"), "sub;");
    EXPECT_EQ(Names(u"/"), "a;b;top2.txt;_tvdata_;");
    int64_t f = 0, t = 0;
    // quota below use: nothing free rather than a negative figure, then the later event
    EXPECT_TRUE(GetOrvanFileList().GetCachedQuota(f, t, false));
    EXPECT_EQ(f, (int64_t)1 << 29);
    EXPECT_FALSE(lp.done.load()); // the uncached delete did not end the run

    // a change by another client through the server's own store
    s_srv->Ctl("change", "{\"path\": \"/a/x.txt\", \"data\": \"theirs\"}");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Modified path=/a/x.txt\nt=Modified path=/a/x.txt\n");

    // a stop during a held poll ends the run at once; the unsubscribe still goes out
    s_srv->Set("{\"poll_hold_s\": 20}");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    ZorSleepMs(100);
    // Timed: from the stop until the poll loop has left the held poll; the
    // unsubscribe after it is one more request at the server's pace.
    OrvanFileList& list = GetOrvanFileList();
    auto polling = [&list] {
        CCritSectionLock g(list.Lock());
        return list.m_nLongPollsLive > 0;
    };
    ASSERT_TRUE(polling());
    int64_t t0 = ZorGetTickMs();
    lp.fs.StopMonitoring();
    while (polling() && ZorGetTickMs() - t0 < 30000) ZorSleepMs(1);
    EXPECT_LT(ZorGetTickMs() - t0, 1000);
    ASSERT_TRUE(lp.Join(30000));
    EXPECT_FALSE(lp.result);
    EXPECT_NE(s_srv->Ctl("polls").find("{\"method\": \"DELETE\", \"path\": \"/api/notification?registration_id=reg-1\"}"),
              std::string::npos);
    lp.fs.Disconnect(true);
    EXPECT_EQ(lp.Drain(), "ERR Longpoll not connected");
}

TEST_F(CloudFs, LongPollRestoresFromTheTrash) {
    s_srv->Set("{\"poll_hold_s\": 1}");
    Poller lp;
    ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    ASSERT_TRUE(Connect()) << U8(m_err);
    // another client trashes a folder and a file, then restores them
    s_srv->Ctl("delete", "{\"path\": \"/a/sub\"}");
    s_srv->Ctl("delete", "{\"path\": \"/top.txt\"}");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Deleted path=/a/sub/deep.bin\nt=Deleted path=/a/sub\nt=Deleted path=/top.txt\n");
    EXPECT_EQ(Names(u"/a"), "x.txt;");
    s_srv->Ctl("restore", "{\"path\": \"/a/sub\"}");
    s_srv->Ctl("restore", "{\"path\": \"/top.txt\", \"value\": \"False\"}");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Created path=/a/sub\nt=MovedTo path=/a/sub/deep.bin\nt=Created path=/top.txt\n");
    EXPECT_EQ(Names(u"/a"), "x.txt;sub;");
    EXPECT_EQ(Names(u"/a/sub"), "deep.bin;");
    FsItemInfo info;
    bool bMissing = true;
    ASSERT_TRUE(m_fs.GetInfo(u"/top.txt", info, bMissing, m_kind, m_err)) << U8(m_err);
    EXPECT_FALSE(bMissing);
    EXPECT_EQ(info.m_nSize, 8);
    std::string polls = s_srv->Log();
    EXPECT_NE(polls.find("/metadata/rootcontext\""), std::string::npos);
    EXPECT_FALSE(lp.done.load()); // the restores did not end the run
}

TEST_F(CloudFs, LongPollNewFoldersUnsafeNamesAndCollectionUpdates) {
    s_srv->Set("{\"poll_hold_s\": 1}");
    Poller lp;
    ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    ASSERT_TRUE(Connect()) << U8(m_err);
    // another client's folder (with a file in it) under /a, files whose names
    // may not stand in a path, /a/sub moved into /b with such a file in it,
    // and an update on the collection /b itself
    s_srv->Ctl("seed", R"({"parent": "n00002", "tree": [{"name": "nf", "dir": true, "id": "nf1",
                           "children": [{"name": "in.txt", "data": "in", "id": "nf2"}]}]})");
    const char* md = R"("metadata": {"name": "%s", "size": 1, "modified": "2023-11-14T22:13:20Z", "created": "2023-11-14T22:13:20Z"})";
    auto added = [&](const char* coll, const char* uri, const char* name) {
        char m[300];
        snprintf(m, sizeof m, md, name);
        return std::string("{\"event\": \"update\", \"resource\": \"/api/v1/collections/") + coll +
               "/members\", \"data\": {\"detail\": \"resource_added\", \"uri\": \"" + uri + "\", " + m + "}}";
    };
    s_srv->Ctl("events", "{\"events\": [" + added("n00002", "/api/v1/collections/nf1", "nf") + "," +
                             added("n00002", "/api/v1/assets/dd1", "..") + "," +
                             added("n00004", "/api/v1/assets/bs1", "x\\\\y") + "," +
                             added("n00006", "/api/v1/collections/n00004", "sub") + "," +
                             R"({"event": "update", "resource": "/api/v1/collections/n00006"}]})");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Created path=/a/nf\n"
                          "t=MovedTo path=/a/nf/in.txt\n"
                          "t=MovedFrom path=/a/sub/deep.bin\n"
                          "t=MovedFrom path=/a/sub\n"
                          "t=MovedTo path=/b/sub\n"
                          "t=MovedTo path=/b/sub/deep.bin\n"
                          "t=Modified path=/b\n"
                          "t=Modified path=/b\n");
    EXPECT_FALSE(lp.done.load()) << U8(lp.err);
    EXPECT_EQ(Names(u"/a"), "x.txt;nf;");
    EXPECT_EQ(Names(u"/a/nf"), "in.txt;");
    EXPECT_EQ(Names(u"/b/sub"), "deep.bin;");
    for (const char16_t* p : {u"/a/..", u"/b/sub/x\\y"}) {
        CWideString id;
        EXPECT_TRUE(GetOrvanFileList().FindIdByPath(p, id));
        EXPECT_EQ(U8(id), "") << U8(p);
    }
    FsItemInfo info;
    bool nf = true;
    ASSERT_TRUE(m_fs.GetInfo(u"/b", info, nf, m_kind, m_err)) << U8(m_err);
    EXPECT_TRUE(info.IsFolder());
    EXPECT_NE(s_srv->Log().find("\"/api/v1/collections/n00006/metadata\""), std::string::npos);
}

TEST_F(CloudFs, LongPollRemovedMembersLiteralQuotaAndAFailedRefresh) {
    s_srv->Set("{\"poll_hold_s\": 1}");
    Poller lp;
    ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    // a member removed from its folder (cached, then unknown) and a quota
    // given as number literals
    s_srv->Ctl("events", R"({"events": [
        {"event": "update", "resource": "/api/v1/collections/n00002/members", "tid": "y1",
         "data": {"detail": "resource_removed", "uri": "/api/v1/assets/n00003"}},
        {"event": "update", "resource": "/api/v1/collections/n00002/members", "tid": "y2",
         "data": {"detail": "resource_removed", "uri": "/api/v1/assets/nosuchid"}},
        {"event": "update", "resource": "/api/v1/profile/quota", "data": {"storage_used": 1, "storage_quota": 2.5}}
    ]})");
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    EXPECT_EQ(lp.Drain(), "t=Deleted path=/a/x.txt\nt=Metadata path=\n");
    EXPECT_EQ(Names(u"/a"), "sub;");
    int64_t f = 0, t = 0;
    EXPECT_TRUE(GetOrvanFileList().GetCachedQuota(f, t, false));
    EXPECT_EQ(f, (int64_t)3 << 29);
    EXPECT_EQ(t, (int64_t)5 << 29);
    EXPECT_FALSE(lp.done.load());

    // a content update whose fresh information cannot be fetched: the change
    // is still reported, then the run ends with the error
    s_srv->Ctl("script", "{\"method\": \"GET\", \"path\": \"/api/v1/assets/n00007/metadata\", \"times\": 5, "
                         "\"status\": 404}");
    s_srv->Ctl("events", R"({"events": [{"event": "update", "resource": "/api/v1/assets/n00007", "tid": "y3"}]})");
    ASSERT_TRUE(lp.Join(5000));
    EXPECT_FALSE(lp.result);
    EXPECT_NE(U8(lp.err).find("Couldn't get info for updated file"), std::string::npos) << U8(lp.err);
    EXPECT_EQ(lp.Drain(), "t=Modified path=/top.txt\n");
}

TEST_F(CloudFs, LongPollFailuresRestartsAndTheQueueCap) {
    struct {
        int status;
        bool blank;
    } rows[] = {{404, false}, {502, true}};
    for (auto& r : rows) {
        SCOPED_TRACE(r.status);
        s_srv->Ctl("reset");
        GetOrvanFileList().ResetCache();
        s_srv->Set(r.blank ? "{\"poll_hold_s\": 1, \"reg_blank\": true}" : "{\"poll_hold_s\": 1}");
        Poller lp;
        ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
        ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
        s_srv->Set("{\"poll_status\": " + std::to_string(r.status) + "}");
        ASSERT_TRUE(lp.Join(5000));
        EXPECT_FALSE(lp.result);
        EXPECT_EQ(lp.Drain(), "t=ChangeInFolder path=\n");
        // the monitor calls again: a new subscription and population
        s_srv->Set("{\"poll_status\": 0}");
        int before = Count(s_srv->Log(), "\"path\": \"/api/sync/index\"");
        ASSERT_TRUE(lp.fs.StartMonitoring(u"/", m_kind, m_err)) << U8(m_err);
        lp.Run();
        for (int64_t until = ZorGetTickMs() + 30000;
             ZorGetTickMs() < until &&
             s_srv->Ctl("polls").find("GET\", \"path\": \"/api/notification?registration_id=reg-2") == std::string::npos;)
            ZorSleepMs(20);
        EXPECT_NE(s_srv->Ctl("polls").find("registration_id=reg-2"), std::string::npos) << U8(lp.err);
        EXPECT_EQ(Count(s_srv->Log(), "\"path\": \"/api/sync/index\""), before + 1);
    }

    // nobody drains: the queue collapses to one whole-tree record
    Poller lp;
    s_srv->Ctl("reset");
    GetOrvanFileList().ResetCache();
    ASSERT_TRUE(lp.Start(s_srv, m_err)) << U8(m_err);
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp));
    for (int batch = 0; batch < 2; batch++) {
        std::string ev = "{\"events\": [";
        for (int i = 0; i < 5001; i++)
            ev += std::string(i ? "," : "") + "{\"event\": \"update\", \"resource\": \"/api/v1/assets/n00003/metadata/name\", "
                  "\"data\": {\"value\": \"x" + std::to_string(batch * 10000 + i) + ".txt\"}}";
        s_srv->Ctl("events", ev + "]}");
    }
    ASSERT_TRUE(WaitCaughtUp(s_srv, lp, 60000));
    EXPECT_EQ(lp.Drain(), "t=ChangeInFolder path=\n");
    EXPECT_EQ(Names(u"/a"), "x15000.txt;sub;");
}

} // namespace
