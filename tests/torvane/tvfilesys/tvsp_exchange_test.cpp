// The peer back-end against tools/tvtp-peer-server.py: the request exchange
// (headers, sequence numbers, still-working replies, reconnects, server
// errors) and the file-system verbs.
#include "tvsp-test-util.h"

#include "TvFileCopy.h"
#include "WinFileSys.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace tvsptest;

namespace {

struct Connected {
    PeerEnv env;
    PeerServer srv;
    S3NoticeRecorder rec; // outlives fs, whose destructor still reports
    TvspFileSys fs;
    bool Open(std::vector<std::string> extra = {}, ICopyProgress* prog = nullptr) {
        if (!srv.Start(extra)) return false;
        int k = 0;
        CWideString e;
        bool ok = fs.Connect(Info(srv.Url()), prog, k, e);
        EXPECT_TRUE(ok) << e;
        return ok;
    }
};

bool Has(const std::string& line, const std::string& part) {
    return line.find(part) != std::string::npos;
}

// A clock whose every reading is 100 seconds after the one before: each
// exchange seems to take more than a minute.
class JumpClock : public ZorTestClock {
public:
    void Now(int64_t& s, int& ms) override {
        ZorTestClock::Now(s, ms);
        Advance(100000);
    }
};

} // namespace

TEST(TvspExchange, DirectHeadersSeqnoAndEmptyUri) {
    Connected c;
    ASSERT_TRUE(c.Open());
    int k = 0;
    CWideString e;
    bool b = false;
    ASSERT_TRUE(c.fs.IsFolder(u"/", b, k, e)) << e;
    EXPECT_TRUE(b);
    ASSERT_TRUE(c.fs.CloseFile(3, k, e)) << e;
    auto log = c.srv.Log();
    ASSERT_EQ(log.size(), 3u);
    // Connect carries 1, the next verbs 2 and 3; the session id has its form.
    EXPECT_TRUE(Has(log[0], "\"verb\": \"Connect\"") && Has(log[0], "\"seqno\": \"1\"")) << log[0];
    EXPECT_TRUE(Has(log[0], "\"copy-locked\": \"0\"")) << log[0];
    EXPECT_TRUE(Has(log[1], "\"path\": \"/IsFolder\"") && Has(log[1], "\"seqno\": \"2\"")) << log[1];
    EXPECT_TRUE(Has(log[1], "\"caller\": \"-unknown-\"")) << log[1];
    EXPECT_TRUE(Has(log[1], "\"session\": \"S--unknown--")) << log[1];
    EXPECT_TRUE(Has(log[2], "\"seqno\": \"3\"") && Has(log[2], "\"uri\": null") && Has(log[2], "\"dix\": \"3\""))
        << log[2];
    EXPECT_EQ(c.fs.m_sRootDir, Utf8ToWide(("file://" + c.srv.Root()).c_str()));
    EXPECT_NE(c.fs.m_sVersionText.Find(u"Version 1.2.3.4 test"), -1) << c.fs.m_sVersionText;
}

TEST(TvspExchange, StillWorkingRepliesResendTheSameSeqno) {
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    Connected c;
    ASSERT_TRUE(c.Open());
    S3NoticeRecorder& rec = c.rec;
    c.fs.SetProgressCallback(&rec);
    c.srv.Faults(R"([{"verb": "IsFile", "action": "busy", "count": 2, "progress": "hashing 40%"}])");
    int k = 0;
    CWideString e;
    bool b = true;
    ASSERT_TRUE(c.fs.IsFile(u"/none", b, k, e)) << e;
    EXPECT_FALSE(b);
    auto isFile = c.srv.LogOf("IsFile");
    ASSERT_EQ(isFile.size(), 3u);
    for (auto& l : isFile) EXPECT_TRUE(Has(l, "\"seqno\": \"2\"")) << l;
    EXPECT_EQ(rec.CountContaining("Waiting: "), 2);
    EXPECT_EQ(rec.CountContaining("sec: hashing 40% ..."), 2);
    ASSERT_TRUE(c.fs.IsFile(u"/none", b, k, e)) << e;
    EXPECT_TRUE(Has(c.srv.LogOf("IsFile").back(), "\"seqno\": \"3\""));

    // Busy for good: the call ends 120 seconds after its start.
    c.srv.Faults(R"([{"verb": "IsFile", "action": "busy", "count": -1}])");
    e.Empty();
    EXPECT_FALSE(c.fs.IsFile(u"/none", b, k, e));
    EXPECT_EQ(k, 3);
    EXPECT_EQ(e, CWideString(u"no reply after 120-sec timeout"));
    // a stop request ends the wait
    c.fs.SetProgressCallback(&rec);
    rec.RequestStop();
    e.Empty();
    EXPECT_FALSE(c.fs.IsFile(u"/none", b, k, e));
    EXPECT_EQ(k, 10);
}

TEST(TvspExchange, ReconnectRules) {
    struct Case {
        const char* name;
        int drops;
        bool withProgress;
        bool jumpClock; // every exchange "takes" over 60 seconds
        bool ok;
        size_t attempts;
    } cases[] = {
        {"two drops recover", 2, false, false, true, 3},
        {"three drops end after two reconnects", 3, false, false, false, 3},
        {"30 s wait on the clock between attempts", 2, true, false, true, 3},
        {"a drop after 60 s is not retried", 1, false, true, false, 1},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ZorTestClock plain;
        JumpClock jump;
        Connected c;
        ASSERT_TRUE(c.Open());
        ZorClockScope scope(tc.jumpClock ? (ZorClock*)&jump : (ZorClock*)&plain);
        S3NoticeRecorder& rec = c.rec;
        c.fs.SetProgressCallback(tc.withProgress ? &rec : nullptr);
        c.srv.Faults("[{\"verb\": \"GetAttributes\", \"action\": \"drop\", \"partial\": true, \"count\": " +
                     std::to_string(tc.drops) + "}]");
        int k = 0;
        CWideString e;
        uint32_t attrs = 0;
        EXPECT_EQ(c.fs.GetAttributes(u"/", attrs, k, e), tc.ok) << e;
        if (!tc.ok) {
            EXPECT_TRUE(IsConnectionError(k)) << k;
        }
        EXPECT_EQ(c.srv.LogOf("GetAttributes").size(), tc.attempts);
        if (tc.withProgress) {
            EXPECT_GE(plain.GetSleptMs(), 60000);
            EXPECT_EQ(rec.CountContaining("Recovered the connecttion"), 1);
        }
    }
    // Monitoring switches reconnecting off.
    Connected c;
    ASSERT_TRUE(c.Open());
    int k = 0;
    CWideString e;
    ASSERT_TRUE(c.fs.StartMonitoring(u"/", k, e)) << e;
    c.srv.Faults(R"([{"verb": "GetAttributes", "action": "drop", "partial": true, "count": 1}])");
    uint32_t attrs = 0;
    EXPECT_FALSE(c.fs.GetAttributes(u"/", attrs, k, e));
    EXPECT_EQ(c.srv.LogOf("GetAttributes").size(), 1u);
}

TEST(TvspExchange, ServerErrorsAndNotConnected) {
    struct Case {
        const char* zerr;
        int kind;
    } cases[] = {{"3", 7}, {"4", 7}, {"10", 7}, {"x", 7}, {"2", 2}, {"8", 8}};
    Connected c;
    ASSERT_TRUE(c.Open());
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.zerr);
        c.srv.Faults(std::string("[{\"verb\": \"DeleteFile\", \"action\": \"error\", \"status\": 500, \"zerr\": \"") +
                     tc.zerr + "\", \"reason\": \"Datei gesperrt \u00e4\"}]");
        int k = 0;
        CWideString e;
        EXPECT_FALSE(c.fs.DeleteFile(u"/x", k, e));
        EXPECT_EQ(k, tc.kind);
        EXPECT_NE(e.Find(u"server said: Datei gesperrt \u00e4"), -1) << e;
    }
    TvspFileSys idle;
    int k = 0;
    CWideString e;
    EXPECT_FALSE(idle.DeleteFile(u"/x", k, e));
    EXPECT_EQ(k, 3);
    EXPECT_EQ(e, CWideString(u"TVTP client not connected"));
}

// ------------------------------------------------------------ verbs
TEST(TvspVerbs, FilesFoldersAndRecords) {
    Connected c;
    ASSERT_TRUE(c.Open());
    TvspFileSys& fs = c.fs;
    int k = 0;
    CWideString e;
    testsrv::TempDir local;
    testsrv::WriteFileText(local / "in.txt", "hello peer");
    ASSERT_TRUE(fs.MakeFolder(u"/d\u00fcr", k, e)) << e;
    EXPECT_EQ(fs.m_bFolderExisted, 0);
    ASSERT_TRUE(fs.MakeFolder(u"/d\u00fcr", k, e)) << e;
    EXPECT_EQ(fs.m_bFolderExisted, 1);
    ASSERT_TRUE(fs.UploadFile(Utf8ToWide((local / "in.txt").c_str()), u"/d\u00fcr/a b%.txt", k, e)) << e;
    ASSERT_TRUE(fs.SetFileModTime(u"/d\u00fcr/a b%.txt", 1600000000u, 0, k, e)) << e;
    uint32_t mt = 0, ct = 0;
    ASSERT_TRUE(fs.GetFileModTime(u"/d\u00fcr/a b%.txt", mt, ct, k, e)) << e;
    EXPECT_EQ(mt, 1600000000u);
    ASSERT_TRUE(fs.CopyFileFs(u"/d\u00fcr/a b%.txt", u"/copy.txt", k, e)) << e;
    ASSERT_TRUE(fs.MoveFile(u"/copy.txt", u"/moved.txt", k, e)) << e;

    CListT<FsItemInfo> items;
    ASSERT_TRUE(fs.ListDir(u"/d\u00fcr", items, k, e)) << e;
    ASSERT_EQ(items.GetCount(), 1);
    const FsItemInfo& it = items.GetHead();
    EXPECT_EQ(it.m_sName, CWideString(u"a b%.txt"));
    EXPECT_EQ(it.m_nSize, 10);
    EXPECT_EQ(it.m_nModTime, 1600000000u);
    FsItemInfo info;
    bool nf = true;
    ASSERT_TRUE(fs.GetInfo(u"/d\u00fcr", info, nf, k, e)) << e;
    EXPECT_FALSE(nf);
    EXPECT_TRUE(info.IsFolder());
    ASSERT_TRUE(fs.GetInfo(u"/missing", info, nf, k, e)) << e;
    EXPECT_TRUE(nf);
    EXPECT_TRUE(info.m_sName.IsEmpty());

    int64_t n = -1; // not known: no limit
    ASSERT_TRUE(fs.DownloadFile(u"/moved.txt", Utf8ToWide((local / "out.txt").c_str()), n, k, e)) << e;
    EXPECT_EQ(n, 10);
    EXPECT_EQ(testsrv::ReadFileText(local / "out.txt"), "hello peer");
    ASSERT_TRUE(fs.DeleteFile(u"/moved.txt", k, e)) << e;
    bool b = true;
    ASSERT_TRUE(fs.IsFile(u"/moved.txt", b, k, e)) << e;
    EXPECT_FALSE(b);

    // Descriptor I/O with block checksums, as the delta copy uses it.
    ASSERT_TRUE(fs.OpenFile(1, u"/blk.bin", TVFS_OPEN_READ_WRITE, k, e)) << e;
    ASSERT_TRUE(fs.WriteBufPosn(1, "abc", 3, 0, k, e)) << e;
    uint32_t nr = 0;
    CNarrowString crc;
    ASSERT_TRUE(fs.ReadBufCrcPosn(1, 100, 0, nr, crc, k, e)) << e;
    EXPECT_EQ(nr, 3u);
    EXPECT_EQ(crc, CNarrowString("900150983CD24FB0D6963F7D28E17F72")); // RFC 1321: MD5("abc")
    ASSERT_TRUE(fs.CloseFile(1, k, e)) << e;

    // Paths leaving the shared folder are refused by the server.
    e.Empty();
    EXPECT_FALSE(fs.IsFile(u"/../../etc/passwd", b, k, e));
    EXPECT_NE(e.Find(u"outside"), -1) << e;

    // Free space: the outputs in order, a missing "total" is kind 7.
    int64_t a = 0, f = 0, t = 0;
    ASSERT_TRUE(fs.GetFreeDiskSpace(u"/", a, f, t, k, e)) << e;
    EXPECT_GT(t, 0);
    c.srv.Faults(R"([{"verb": "GetFreeDiskSpace", "action": "omit", "header": "total"}])");
    e.Empty();
    EXPECT_FALSE(fs.GetFreeDiskSpace(u"/", a, f, t, k, e));
    EXPECT_EQ(k, 7);
    EXPECT_EQ(e, CWideString(u"field 'total' is missing in response"));
    EXPECT_GT(a, 0);
    EXPECT_EQ(t, 0);
}

TEST(TvspVerbs, ChecksumTexts) {
    struct Case {
        const char* text;
        bool ok;
        const char* upper; // expected ToText
    } cases[] = {
        {"()", true, "()"},
        {"D41D8CD98F00B204E9800998ECF8427E", true, "D41D8CD98F00B204E9800998ECF8427E"}, // MD5("")
        {"900150983cd24fb0d6963f7d28e17f72", true, "900150983CD24FB0D6963F7D28E17F72"}, // MD5("abc")
        {"90015098", false, ""},
        {"zz0150983cd24fb0d6963f7d28e17f72", false, ""},
    };
    Connected c;
    ASSERT_TRUE(c.Open());
    testsrv::WriteFileText(c.srv.Root() + "/f", "abc");
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.text);
        c.srv.Faults(std::string("[{\"verb\": \"GetFileCrc\", \"action\": \"set\", \"header\": \"crc\", \"value\": \"") +
                     tc.text + "\"}]");
        Md5Crc crc;
        int64_t len = 0;
        int k = 0;
        CWideString e;
        EXPECT_EQ(c.fs.GetFileCrc(u"/f", crc, len, k, e), tc.ok) << e;
        if (tc.ok) {
            EXPECT_EQ(crc.ToText(), CNarrowString(tc.upper));
            EXPECT_EQ(len, 3);
        } else {
            EXPECT_NE(e.Find(u"cannot scan hex str: "), -1) << e;
        }
    }
    c.srv.Faults(R"([{"verb": "GetFileCrc", "action": "omit", "header": "crc"}])");
    Md5Crc crc;
    int64_t len = 0;
    int k = 0;
    CWideString e;
    EXPECT_FALSE(c.fs.GetFileCrc(u"/f", crc, len, k, e));
    EXPECT_EQ(e, CWideString(u"no crc header"));
}

TEST(TvspVerbs, ReadBufChecksLengthsBeforeWriting) {
    Connected c;
    ASSERT_TRUE(c.Open());
    testsrv::WriteFileText(c.srv.Root() + "/f", "0123456789");
    int k = 0;
    CWideString e;
    ASSERT_TRUE(c.fs.OpenFile(2, u"/f", TVFS_OPEN_READ, k, e)) << e;
    struct Case {
        const char* name;
        const char* faults;
        uint32_t len;
        bool ok;
        uint32_t nRead;
    } cases[] = {
        {"exact length", "[]", 4, true, 4},
        {"one byte more than asked", R"([{"verb": "ReadBufPosn", "action": "long"}])", 4, false, 0},
        {"read larger than the body", R"([{"verb": "ReadBufPosn", "action": "set", "header": "read", "value": "9"}])",
         4, false, 0},
        {"read missing", R"([{"verb": "ReadBufPosn", "action": "omit", "header": "read"}])", 4, false, 0},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        c.srv.Faults(tc.faults);
        // The buffer is exactly as long as asked: a write past it shows under ASan.
        std::vector<char> heap(tc.len);
        std::memset(heap.data(), '#', tc.len);
        uint32_t n = 77;
        e.Empty();
        bool ok = c.fs.ReadBufPosn(2, heap.data(), tc.len, 0, n, k, e);
        EXPECT_EQ(ok, tc.ok) << e;
        EXPECT_EQ(n, tc.nRead);
        if (tc.ok) EXPECT_EQ(std::string(heap.data(), tc.len), std::string("0123456789").substr(0, tc.len));
        else EXPECT_EQ(std::string(heap.data(), tc.len), std::string(tc.len, '#'));
    }
    // A longer body is refused by its announced length (or, without one, at
    // the first byte too many), not read into memory first.
    for (const char* faults : {R"([{"verb": "ReadBufPosn", "action": "long"}])",
                               R"([{"verb": "ReadBufPosn", "action": "long", "bytes": 24000000}])",
                               R"([{"verb": "ReadBufPosn", "action": "flood"}])"}) {
        SCOPED_TRACE(faults);
        c.srv.Faults(faults);
        char buf[4];
        uint32_t n = 0;
        e.Empty();
        EXPECT_FALSE(c.fs.ReadBufPosn(2, buf, 4, 0, n, k, e));
        EXPECT_NE(e.Find(u"Response body is longer than 4 bytes"), -1) << e;
    }
}

// A size no file has makes the listed file a bad entry; a file listed at 0
// bytes is downloaded with 0 as its limit, so a body without end is refused.
TEST(TvspVerbs, ListedSizesBoundWhatIsTaken) {
    Connected c;
    ASSERT_TRUE(c.Open());
    c.srv.Faults(R"([{"verb": "ListDir", "action": "body", "body":
        "[n:3:neg|a=128|s:2:-5|]\n[n:3:big|a=128|s:19:9223372036854775807|]\n[n:2:ok|a=128|s:1:7|]\n"}])");
    int k = 0;
    CWideString e;
    CListT<FsItemInfo> items;
    ASSERT_TRUE(c.fs.ListDir(u"/", items, k, e)) << e;
    std::vector<std::string> seen;
    for (ZorPosition p = items.GetHeadPosition(); p;) {
        const FsItemInfo& i = items.GetNext(p);
        seen.push_back(std::string(WideToUtf8(i.m_sName).GetString()) + (i.IsBad() ? " bad " : " ") +
                       std::to_string(i.m_nSize));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"neg bad 0", "big bad 0", "ok 7"}));
    EXPECT_NE(WideToUtf8(items.GetHead().m_sNote).Find("size -5 is not a valid file size"), -1);

    testsrv::WriteFileText(c.srv.Root() + "/empty", "");
    c.srv.Faults(R"([{"verb": "DownloadFile", "action": "flood"}])");
    testsrv::TempDir local;
    const std::string out = local / "out";
    int64_t n = 0;
    e.Empty();
    EXPECT_FALSE(c.fs.DownloadFile(u"/empty", Utf8ToWide(out.c_str()), n, k, e));
    EXPECT_NE(WideToUtf8(e).Find("longer than 0 bytes"), -1) << e;
    EXPECT_NE(access(out.c_str(), F_OK), 0);

    // Read in blocks, a file brings no more than its size either: a server
    // that keeps answering for a file of 0 or 3 bytes is cut off at once.
    testsrv::WriteFileText(c.srv.Root() + "/three", "abc");
    WinFileSys fsL;
    TvConnectInfo ci;
    ci.m_sUrl = Utf8ToWide(("file://" + local.Path()).c_str());
    ASSERT_TRUE(fsL.Connect(ci, nullptr, k, e)) << e;
    const std::string endless = R"({"verb": "ReadBuf", "action": "long", "count": -1})";
    const std::pair<const char16_t*, std::string> sources[] = {
        {u"/empty", "[" + endless + "]"},
        {u"/three", "[" + endless + "]"},
        {u"/three", R"([{"verb": "GetInfo", "action": "body", "body": "[n:5:three|a=128|s:2:-5|]\n"}, )" + endless + "]"},
    };
    for (const auto& [name, faults] : sources) {
        c.srv.Faults(faults);
        int64_t size = -1;
        e.Empty();
        EXPECT_FALSE(TvFileCopy(&c.fs, name, &fsL, false, u"/copy", u"", size, nullptr, k, e));
        EXPECT_NE(WideToUtf8(e).Find("changed while copied"), -1) << e;
        EXPECT_NE(access((local / "copy").c_str(), F_OK), 0);
    }
}

TEST(TvspVerbs, HostileNamesAndChangeRecords) {
    Connected c;
    ASSERT_TRUE(c.Open());
    S3NoticeRecorder& rec = c.rec;
    c.fs.SetProgressCallback(&rec);
    c.srv.Faults(R"([{"verb": "ListDir", "action": "body", "body":
        "[n:2:ok|a=128|]\n[n:0:|a=128|]\n[n:1:.|a=16|]\n[n:2:..|a=16|]\n[n:5:a/../|a=128|]\n[n:3:a\\b|a=128|]\n[n:3:a\u0001b|a=128|]\n[n:3:a\u0000b|a=128|]\n"}])");
    int k = 0;
    CWideString e;
    CListT<FsItemInfo> items;
    ASSERT_TRUE(c.fs.ListDir(u"/", items, k, e)) << e;
    ASSERT_EQ(items.GetCount(), 1);
    EXPECT_EQ(items.GetHead().m_sName, CWideString(u"ok"));
    EXPECT_EQ(rec.CountContaining("unacceptable name"), 7);
    EXPECT_EQ(rec.CountContaining("name 'a\\x01b'"), 1); // control characters shown as escapes

    ASSERT_TRUE(c.fs.StartMonitoring(u"/", k, e)) << e;
    testsrv::WriteFileText(c.srv.Root() + "/new.txt", "x");
    CListT<ChangedItem> changes;
    ASSERT_TRUE(c.fs.GetChangedItems(changes, k, e)) << e;
    ASSERT_EQ(changes.GetCount(), 1);
    EXPECT_EQ(changes.GetHead().m_sPath, CWideString(u"/new.txt"));
    EXPECT_EQ(changes.GetHead().m_nKind, (uint32_t)CIK_CREATED);

    c.srv.Faults(R"([{"verb": "GetChangedItems", "action": "body", "body":
        "[n:4:/a/b|t=2|x=5|]\n[n:9:/a/../../|t=1|]\n[n:4:/a\\b|t=2|]\n"}])");
    changes.RemoveAll();
    ASSERT_TRUE(c.fs.GetChangedItems(changes, k, e)) << e;
    ASSERT_EQ(changes.GetCount(), 3);
    auto pos = changes.GetHeadPosition();
    const ChangedItem& c1 = changes.GetNext(pos);
    const ChangedItem& c2 = changes.GetNext(pos);
    const ChangedItem& c3 = changes.GetNext(pos);
    EXPECT_EQ(c1.m_sPath, CWideString(u"/a/b"));
    EXPECT_EQ(c1.m_nKind, (uint32_t)CIK_MODIFIED);
    EXPECT_TRUE(c2.m_sPath.IsEmpty());
    EXPECT_EQ(c2.m_nKind, (uint32_t)CIK_CHANGE_IN_FOLDER);
    EXPECT_EQ(c3.m_nKind, (uint32_t)CIK_CHANGE_IN_FOLDER);

    // A bad change body disconnects.
    c.srv.Faults(R"([{"verb": "GetChangedItems", "action": "body", "body": "[n:99:/x|]"}])");
    EXPECT_FALSE(c.fs.GetChangedItems(changes, k, e));
    EXPECT_FALSE(c.fs.IsConnected());
}

TEST(TvspVerbs, LocalAnswersAndUrls) {
    TvspFileSys fs;
    struct Cap {
        int id;
        int v;
    } caps[] = {{20, 0}, {22, 0}, {34, 0}, {107, 0}, {27, 1}, {106, 1}, {130, 1}, {26, 1}, {39, 1}, {25, 0}, {33, 0}};
    for (auto& c : caps) EXPECT_EQ(fs.GetCapability(c.id), c.v) << c.id;
    fs.m_mapCaps.SetAt(39, false);
    fs.m_mapCaps.SetAt(27, false);
    EXPECT_EQ(fs.GetCapability(39), 0);
    EXPECT_EQ(fs.GetCapability(27), 1); // fixed answers win over the map
    EXPECT_EQ(fs.GetTypeInfo(1), CWideString(u"tvtp://"));
    EXPECT_EQ(fs.GetTypeInfo(2), CWideString(u"!*<>?\\|/"));
    EXPECT_TRUE(fs.AcceptsUrl(u"TVTPS://h/x"));
    EXPECT_FALSE(fs.AcceptsUrl(u"http://h/x"));
    std::unique_ptr<TvFileSys> made(NewFsForUrl(u"tvtps://host/file:///x"));
    ASSERT_TRUE(made);
    EXPECT_NE(dynamic_cast<TvspFileSys*>(made.get()), nullptr);

    struct Split {
        const char16_t* url;
        bool ok;
        const char16_t* server;
        const char16_t* path;
    } splits[] = {
        {u"tvtp://host:1", true, u"tvtp://host:1", u""},
        {u"tvtp://host:1/", true, u"tvtp://host:1", u""},
        {u"tvtps://host//abs", true, u"tvtps://host", u"/abs"},
        {u"tvtp://host/tvtp://inner//x", true, u"tvtp://host/tvtp://inner", u"/x"},
        {u"tvtp://host/tvtp://inner/x", false, u"", u""}, // "x" names no file system
        {u"tvtp://host/nosuch://x", false, u"", u""},
        {u"http://host/x", false, u"", u""},
    };
    for (auto& s : splits) {
        CWideString server, path, err;
        EXPECT_EQ(fs.BreakURL(s.url, server, path, err), s.ok) << CWideString(s.url) << err;
        if (s.ok) {
            EXPECT_EQ(server, CWideString(s.server));
            EXPECT_EQ(path, CWideString(s.path));
        }
    }
    // Monitoring through a forwarder fails without a request.
    fs.m_sForwarderHost = "127.0.0.1";
    int k = 0;
    CWideString e;
    EXPECT_FALSE(fs.StartMonitoring(u"/", k, e));
    EXPECT_EQ(e, CWideString(u"do not monitor when connecting via forwarder"));
}

TEST(TvspVerbs, LockedFilesAndRootFolder) {
    Connected c;
    ASSERT_TRUE(c.Open());
    c.fs.SetProgressCallback(&c.rec);
    testsrv::WriteFileText(c.srv.Root() + "/busy.db", "locked data");
    testsrv::TempDir local;
    struct Case {
        const char* name;
        const char* verb;
        const char* headers;
        bool ok;
        bool used;
        int64_t length;
    } cases[] = {
        {"open, not locked", "OpenLockedFile", "{}", true, false, 0},
        {"open, locked", "OpenLockedFile", R"({"locked-length": "11", "locked-modtime": "1600000000"})", true, true, 11},
        {"download, locked", "DownloadFile", R"({"locked-length": "11", "locked-modtime": "1600000001"})", true, true, 11},
        {"bad length", "OpenLockedFile", R"({"locked-length": "1x"})", false, false, 0},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        c.fs.m_bUsedLockedCopy = 0;
        c.fs.m_nLockedFileLength = 0;
        c.srv.Faults(std::string("[{\"verb\": \"") + tc.verb + "\", \"action\": \"set\", \"headers\": " + tc.headers +
                     "}]");
        int k = 0;
        CWideString e;
        int64_t n = -1;
        bool ok = std::string(tc.verb) == "OpenLockedFile"
                      ? c.fs.OpenLockedFile(4, u"/busy.db", k, e)
                      : c.fs.DownloadFile(u"/busy.db", Utf8ToWide((local / "busy.db").c_str()), n, k, e);
        EXPECT_EQ(ok, tc.ok) << e;
        EXPECT_EQ(c.fs.m_bUsedLockedCopy != 0, tc.used);
        EXPECT_EQ(c.fs.m_nLockedFileLength, tc.length);
    }
    EXPECT_EQ(c.rec.CountContaining("Opened Locked file "), 1);
    EXPECT_EQ(c.rec.CountContaining("Downloaded Locked file "), 1);

    // A new root: the connection URL follows it, full paths are built on it.
    testsrv::RunCommand("mkdir -p '" + c.srv.Root() + "/sub'");
    CWideString newRoot = Utf8ToWide(("file://" + c.srv.Root() + "/sub/").c_str());
    int k = 0;
    CWideString e;
    ASSERT_TRUE(c.fs.SetRootDir(newRoot, k, e)) << e;
    CWideString want = newRoot.Left(newRoot.GetLength() - 1);
    EXPECT_EQ(c.fs.GetRootDir(), want);
    EXPECT_TRUE(c.fs.GetConnectInfo().m_sUrl.EndsWith(want.GetString())) << c.fs.GetConnectInfo().m_sUrl;
    EXPECT_EQ(c.fs.GetTypeInfo(4), CWideString(u"Test server root ") + want);
    CWideString full;
    ASSERT_TRUE(c.fs.GetFullPath(u"/x/", full, k, e));
    EXPECT_EQ(full, want + u"/x");
    c.fs.m_sHomeFolder = u"/home";
    ASSERT_TRUE(c.fs.GetFullPath(u"", full, k, e));
    EXPECT_EQ(full, want);
}
