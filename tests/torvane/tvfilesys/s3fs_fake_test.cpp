// The S3 file system against the scripted fake peer: the retry rules, the
// request structure of multipart uploads and ranged downloads, and the
// replies a real peer rarely gives (errors inside 200, ignored ranges,
// listings that do not advance).
#include "s3-test-util.h"

#include "zor-time.h"

#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

namespace {

std::string ErrorXml(const char* code, const char* message) {
    return std::string("<?xml version=\\\"1.0\\\"?><Error><Code>") + code + "</Code><Message>" + message +
           "</Message></Error>";
}
std::string Rule(const char* method, const char* path, int status, const std::string& body, int times = 1,
                 const char* action = "reply", const std::string& headers = "{}") {
    return std::string("{\"method\": \"") + method + "\", \"path\": \"" + path + "\", \"times\": " +
           std::to_string(times) + ", \"action\": \"" + action + "\", \"status\": " + std::to_string(status) +
           ", \"headers\": " + headers + ", \"body\": \"" + body + "\"}";
}
std::string Script(const std::vector<std::string>& rules) {
    std::string s = "[";
    for (size_t i = 0; i < rules.size(); i++) s += (i ? ", " : "") + rules[i];
    return s + "]";
}

class S3FakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsrv::ClearProxyEnvironment();
        UseLocalS3Hosts();
    }
    void TearDown() override {
        if (m_fake) {
            EXPECT_EQ(m_fake->Count("sig=bad"), 0) << "a request was signed wrongly";
        }
    }
    std::unique_ptr<S3FileSysZorSock> Start(const std::string& script, int pageSize = 1000, bool bHostBased = false,
                                            ICopyProgress* pProgress = nullptr) {
        m_fake = std::make_unique<FakeS3>();
        EXPECT_TRUE(m_fake->Start(script, pageSize));
        auto fs = std::make_unique<S3FileSysZorSock>();
        std::string url = "s3://FAKEKEY:fakesecret@s3.localhost:" + std::to_string(m_fake->Port()) + "/b";
        int kind = 0;
        CWideString err;
        EXPECT_TRUE(fs->Connect(S3Settings(url, bHostBased), pProgress, kind, err)) << err;
        return fs;
    }
    std::string LocalFile(const std::string& name, const std::string& bytes) {
        std::string p = m_tmp / name;
        testsrv::WriteFileText(p, bytes);
        return p;
    }
    std::unique_ptr<FakeS3> m_fake;
    testsrv::TempDir m_tmp;
};

} // namespace

TEST(S3PartSize, GrowsOnlyBeyondTheLimitOfParts) {
    const int64_t mib = 1048576;
    struct Case {
        int64_t size, part;
    } cases[] = {
        {0, 5 * mib},
        {12 * mib, 5 * mib},
        {5 * mib * 10000, 5 * mib},              // 48.8 GiB: 10,000 parts of 5 MiB
        {5 * mib * 10000 + 1, 6 * mib},          // one byte more
        {100LL * 1024 * mib, 11 * mib},          // 100 GiB: 9,310 parts
        {5LL * 1024 * 1024 * mib, 525 * mib},    // 5 TiB
    };
    for (const Case& c : cases) {
        EXPECT_EQ(S3PartSizeFor(c.size), c.part) << c.size;
        EXPECT_LE((c.size + c.part - 1) / c.part, 10000);
    }
}

// S3's retry rules: lost connections are retried twice after the 30-second
// wait (on the test clock), RequestTimeout and InternalError once; other
// errors go back with S3's message.
TEST_F(S3FakeTest, RetryRules) {
    struct Case {
        const char* what;
        std::string rule;
        bool ok;
        int requests;
        int64_t sleptMs;
        const char* errPart;
    } cases[] = {
        {"two cut answers recover", Rule("GET", "delimiter", 0, "", 2, "cut"), true, 3, 60000, ""},
        {"a third cut answer is returned", Rule("GET", "delimiter", 0, "", 3, "cut"), false, 3, 60000, ""},
        {"two drops recover", Rule("GET", "delimiter", 0, "", 2, "drop"), true, 3, 0, ""},
        {"InternalError twice is returned",
         Rule("GET", "delimiter", 500, ErrorXml("InternalError", "We encountered an internal error."), 2), false, 2,
         0, "; S3 says: We encountered an internal error."},
        {"RequestTimeout once is retried",
         Rule("GET", "delimiter", 400, ErrorXml("RequestTimeout", "Your socket connection timed out."), 1), true, 2,
         0, ""},
        {"PermanentRedirect carries the hint",
         Rule("GET", "delimiter", 301, ErrorXml("PermanentRedirect", "Use the right endpoint."), 5), false, 1, 0,
         "; S3 says: Use the right endpoint.\nHow to Fix: Specify correct S3 host name for this bucket or Turn On "
         "Host-Based addressing option."},
        {"a bad signature is refused", Rule("GET", "delimiter", 403, ErrorXml("AccessDenied", "Access Denied"), 1),
         false, 1, 0, "Server says: Forbidden (status code 403); S3 says: Access Denied"},
        {"line breaks in S3's message are escaped",
         Rule("GET", "delimiter", 403, ErrorXml("AccessDenied", "Access&#13;&#10;Denied"), 1), false, 1, 0,
         "; S3 says: Access\\r\\nDenied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZorTestClock clock;
        ZorClockScope scope(&clock);
        S3NoticeRecorder rec;
        auto fs = Start(Script({c.rule}), 1000, false, &rec);
        CListT<FsItemInfo> items;
        int kind = 0;
        CWideString err;
        int64_t slept0 = clock.GetSleptMs();
        EXPECT_EQ(fs->ListDir(u"/", items, kind, err), c.ok) << err;
        EXPECT_EQ(m_fake->Count("GET /b/?delimiter=/"), c.requests);
        EXPECT_GE(clock.GetSleptMs() - slept0, c.sleptMs);
        EXPECT_LT(clock.GetSleptMs() - slept0, c.sleptMs + 5000);
        EXPECT_NE(std::string(WideToUtf8(err).GetString()).find(c.errPart), std::string::npos) << err;
        if (!c.ok) {
            EXPECT_NE(kind, 0);
        }
    }
}

// 12 MiB go up as parts of 5, 5 and 2 MiB and one completion naming them in
// order, host-based; the download of a grown object runs to its new total.
TEST_F(S3FakeTest, MultipartAndRangedStructure) {
    auto fs = Start("[]", 1000, true);
    std::string bytes = PatternBytes(12 * 1048576, 7);
    std::string src = LocalFile("big", bytes);
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(fs->UploadFile(Utf8ToWide(src.c_str()), u"/dir/big.bin", kind, err)) << err;
    std::vector<std::string> want = {
        "POST /dir/big.bin?uploads sig=ok host=b.s3.localhost",
        "PUT /dir/big.bin?partNumber=1&uploadId=upload-1 sig=ok host=b.s3.localhost",
        "PUT /dir/big.bin?partNumber=2&uploadId=upload-1 sig=ok host=b.s3.localhost",
        "PUT /dir/big.bin?partNumber=3&uploadId=upload-1 sig=ok host=b.s3.localhost",
        "POST /dir/big.bin?uploadId=upload-1 sig=ok host=b.s3.localhost",
    };
    std::vector<std::string> log = m_fake->Log();
    ASSERT_GE(log.size(), 6u);
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(log[i + 1].rfind(want[i], 0), 0u) << log[i + 1];
    EXPECT_NE(log[2].find("len=5242880"), std::string::npos);
    EXPECT_NE(log[3].find("len=5242880"), std::string::npos);
    EXPECT_NE(log[4].find("len=2097152"), std::string::npos);
    const std::string& done = log[5];
    size_t p1 = done.find("<PartNumber>1</PartNumber>"), p2 = done.find("<PartNumber>2</PartNumber>"),
           p3 = done.find("<PartNumber>3</PartNumber>");
    EXPECT_TRUE(p1 != std::string::npos && p1 < p2 && p2 < p3 && p3 != std::string::npos) << done;
    EXPECT_NE(done.find("<CompleteMultipartUpload><Part>\t<PartNumber>1</PartNumber>\t<ETag>\""), std::string::npos);

    // One byte under 10 MiB goes in one PUT; 10 MiB in two parts.
    for (int64_t n : {10485759LL, 10485760LL}) {
        std::string f = LocalFile("edge", PatternBytes((size_t)n, 1));
        ASSERT_TRUE(fs->UploadFile(Utf8ToWide(f.c_str()), CWideString::Formatted(u"/edge%lld", (long long)n), kind,
                                   err))
            << err;
    }
    EXPECT_EQ(m_fake->Count("PUT /edge10485759 sig=ok"), 1);
    EXPECT_EQ(m_fake->Count(" len=10485759"), 1);
    EXPECT_EQ(m_fake->Count("PUT /edge10485760?partNumber=1&"), 1);
    EXPECT_EQ(m_fake->Count("PUT /edge10485760?partNumber=2&"), 1);
    EXPECT_EQ(m_fake->Count("PUT /edge10485760?partNumber="), 2);

    // The caller expected 10 MiB; the object has 12: not the listed object,
    // and the listed size is the most a download brings.
    std::string dst = m_tmp / "back";
    int64_t size = 10 * 1048576;
    EXPECT_FALSE(fs->DownloadFile(u"/dir/big.bin", Utf8ToWide(dst.c_str()), size, kind, err));
    EXPECT_NE(WideToUtf8(err).Find("Source file changed while copied: "), -1) << err;
    EXPECT_NE(access(dst.c_str(), F_OK), 0);
    size = 12 * 1048576;
    ASSERT_TRUE(fs->DownloadFile(u"/dir/big.bin", Utf8ToWide(dst.c_str()), size, kind, err)) << err;
    EXPECT_EQ(size, 12 * 1048576);
    EXPECT_TRUE(ReadLocal(dst) == bytes);
    EXPECT_EQ(m_fake->Count("range=bytes=0-5242879"), 2); // the refused download asked it too
    EXPECT_EQ(m_fake->Count("range=bytes=5242880-10485759"), 1);
    EXPECT_EQ(m_fake->Count("range=bytes=10485760-12582911"), 1);

    // Listed at 12 MiB, 1 KiB by now: the download ends with the object.
    std::string small = PatternBytes(1024, 5);
    ASSERT_TRUE(fs->UploadFile(Utf8ToWide(LocalFile("small", small).c_str()), u"/dir/big.bin", kind, err)) << err;
    size = 12 * 1048576;
    ASSERT_TRUE(fs->DownloadFile(u"/dir/big.bin", Utf8ToWide(dst.c_str()), size, kind, err)) << err;
    EXPECT_EQ(size, 1024);
    EXPECT_TRUE(ReadLocal(dst) == small);
}

// Ranged answers that are not the asked bytes fail with kind 7 before any of
// their bytes reach the file.
TEST_F(S3FakeTest, RangedDownloadRefusesOtherBytes) {
    struct Case {
        const char* what;
        int status;
        std::string headers;
    } cases[] = {
        {"range ignored", 200, "{}"},
        {"other range", 206, "{\"Content-Range\": \"bytes 5-14/20000000\"}"},
        {"short body", 206, "{\"Content-Range\": \"bytes 0-5242879/20000000\"}"},
        {"no total", 206, "{\"Content-Range\": \"bytes 0-9/*\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = Start(Script({Rule("GET", "big", c.status, "0123456789", 1, "reply", c.headers)}));
        std::string dst = LocalFile("dst", "old");
        int64_t size = 11 * 1048576;
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(fs->DownloadFile(u"/big", Utf8ToWide(dst.c_str()), size, kind, err));
        EXPECT_EQ(kind, 7) << err;
        EXPECT_EQ(size, 0);
        EXPECT_EQ(ReadLocal(dst), "");
    }
}

// The ranges of one download are of one version: an object replaced after
// the first range fails the download (412 on "If-Match", or a server that
// ignores it answering another total or ETag) and nothing of it stays.
TEST_F(S3FakeTest, RangedDownloadKeepsToOneVersion) {
    const std::string overwrite = "{\"method\": \"GET\", \"path\": \"big$\", \"action\": \"overwrite\", "
                                  "\"size\": 11534336, \"fill\": \"B\"}";
    const char* range2 = "{\"Content-Range\": \"bytes 5242880-10485759/%s\", \"ETag\": \"%s\"}";
    auto second = [&](const char* total, const char* etag) {
        char h[200];
        snprintf(h, sizeof h, range2, total, etag);
        return Rule("GET", "big$", 206, "0123456789", 1, "reply", h);
    };
    struct Case {
        const char* what;
        std::string script;
        bool ok;
    } cases[] = {
        {"unchanged", "[]", true},
        {"overwritten after the first range", Script({overwrite}), false},
        {"If-Match ignored, another total", Script({overwrite, second("20000000", "x")}), false},
        {"If-Match ignored, another ETag", Script({overwrite, second("11534336", "x")}), false},
    };
    const std::string a = PatternBytes(11 * 1048576, 7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = Start(c.script);
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(fs->UploadFile(Utf8ToWide(LocalFile("src", a).c_str()), u"/big", kind, err)) << err;
        std::string dst = m_tmp / "dst";
        int64_t size = (int64_t)a.size();
        err.Empty();
        EXPECT_EQ(fs->DownloadFile(u"/big", Utf8ToWide(dst.c_str()), size, kind, err), c.ok) << err;
        if (c.ok) {
            EXPECT_TRUE(ReadLocal(dst) == a);
            EXPECT_EQ(m_fake->Count("if-match=\""), 2); // the second and third ranges
            continue;
        }
        EXPECT_EQ(err, CWideString(u"Source file changed while copied: /b/big"));
        EXPECT_NE(access(dst.c_str(), F_OK), 0);
    }
}

// A download brings no more than the size the caller expects, a range no
// more than was asked: an object grown since it was listed or an answer
// without end fails with the limit named, and nothing of it stays. An error
// answer is not held to that limit.
TEST_F(S3FakeTest, DownloadsStopAtTheExpectedSize) {
    const char* range = "{\"Content-Range\": \"bytes 0-5242879/11534336\"}";
    struct Case {
        std::string script;
        int64_t expected;
        const char* errPart;
    } cases[] = {
        {"[]", 1000, "Response body is longer than 1000 bytes"},
        {Script({Rule("GET", "g$", 200, "", 1, "flood")}), 1000, "Response body is longer than 1000 bytes"},
        {Script({Rule("GET", "g$", 200, "", 1, "flood")}), 0, "Response body is longer than 0 bytes"},
        {Script({Rule("GET", "g$", 206, "", 1, "flood", range)}), 11534336,
         "Response body is longer than 5242880 bytes"},
        {Script({Rule("GET", "g$", 404, ErrorXml("NoSuchKey", "Gone"))}), 5, "S3 says: Gone"},
    };
    for (const Case& c : cases) {
        auto fs = Start(c.script);
        int kind = 0;
        CWideString err;
        const std::string src = LocalFile("src", std::string(2000, 'g'));
        ASSERT_TRUE(fs->UploadFile(Utf8ToWide(src.c_str()), u"/g", kind, err));
        std::string dst = m_tmp / "dst";
        int64_t size = c.expected;
        EXPECT_FALSE(fs->DownloadFile(u"/g", Utf8ToWide(dst.c_str()), size, kind, err));
        EXPECT_NE(WideToUtf8(err).Find(c.errPart), -1) << err;
        EXPECT_NE(access(dst.c_str(), F_OK), 0);
    }
}

// A failed part, a completion answered 200 with an error document, and a
// source that ends early each abort the upload; no part is sent after.
TEST_F(S3FakeTest, FailedUploadsAreAborted) {
    std::string bytes = PatternBytes(11 * 1048576, 3);
    struct Case {
        const char* what;
        std::string rule;
        bool bShrink;
        const char* errPart;
        int parts;
    } cases[] = {
        {"part refused", Rule("PUT", "partNumber=2", 403, ErrorXml("AccessDenied", "Access Denied")), false,
         "S3 says: Access Denied", 2},
        {"completion answered 200 with an error",
         Rule("POST", "uploadId=", 200, ErrorXml("InternalError", "We encountered an internal error.")), false,
         "Commit failed: ; Server said: We encountered an internal error.", 3},
        {"source ends early", "", true, "ended at 5242880 bytes, 11534336 were expected", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        struct Shrinker : S3NoticeRecorder {
            std::string path;
            bool bOn = false;
            bool OnProgress(bool b, int64_t done, int64_t total, int& k, CWideString& e) override {
                if (bOn && done > 0) truncate(path.c_str(), 0);
                return S3NoticeRecorder::OnProgress(b, done, total, k, e);
            }
        } prog;
        auto fs = Start(c.rule.empty() ? "[]" : Script({c.rule}), 1000, false, &prog);
        prog.path = LocalFile("src", bytes);
        prog.bOn = c.bShrink;
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(fs->UploadFile(Utf8ToWide(prog.path.c_str()), u"/up.bin", kind, err));
        EXPECT_NE(std::string(WideToUtf8(err).GetString()).find(c.errPart), std::string::npos) << err;
        EXPECT_NE(kind, 0);
        EXPECT_EQ(m_fake->Count("?partNumber="), c.parts);
        EXPECT_EQ(m_fake->Count("DELETE /b/up.bin?uploadId=upload-1"), 1);
        EXPECT_EQ(prog.m_nDivisor, 0);
    }
}

// A multipart initiation is not idempotent: dropped once it went out, it is
// not sent again (a second would leave an upload nobody completes or aborts).
TEST_F(S3FakeTest, DroppedInitiationIsNotSentAgain) {
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    auto fs = Start(Script({Rule("POST", "uploads", 0, "", 5, "drop")}));
    std::string src = LocalFile("src", PatternBytes(11 * 1048576, 5));
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(fs->UploadFile(Utf8ToWide(src.c_str()), u"/up.bin", kind, err));
    EXPECT_EQ(kind, 4) << err;
    EXPECT_EQ(m_fake->Count("POST /b/up.bin?uploads"), 1);
}

// Listing pages: one without NextMarker goes on after its greatest name; a
// marker that does not advance fails instead of asking for ever.
TEST_F(S3FakeTest, ListingPagesMustAdvance) {
    std::string noMarker = "<ListBucketResult><IsTruncated>true</IsTruncated>"
                           "<Contents><Key>a</Key><LastModified>2020-01-01T00:00:00Z</LastModified><Size>1</Size>"
                           "</Contents><CommonPrefixes><Prefix>d/</Prefix></CommonPrefixes></ListBucketResult>";
    auto fs = Start(Script({Rule("GET", "delimiter=/$", 200, noMarker)}));
    int kind = 0;
    CWideString err;
    std::string one = LocalFile("one", "1");
    for (const char16_t* k : {u"/a", u"/c", u"/e"}) ASSERT_TRUE(fs->UploadFile(Utf8ToWide(one.c_str()), k, kind, err));
    CListT<FsItemInfo> items;
    ASSERT_TRUE(fs->ListDir(u"/", items, kind, err)) << err;
    EXPECT_EQ(items.GetCount(), 3); // a and d from the first page, e after the marker d/
    EXPECT_EQ(m_fake->Count("GET /b/?delimiter=/&marker=d/ "), 1);

    std::string stuck = "<ListBucketResult><IsTruncated>true</IsTruncated><NextMarker>m</NextMarker>"
                        "</ListBucketResult>";
    auto fs2 = Start(Script({Rule("GET", "delimiter", 200, stuck, 10)}));
    items.RemoveAll();
    err.Empty();
    EXPECT_FALSE(fs2->ListDir(u"/", items, kind, err));
    EXPECT_EQ(kind, 7);
    EXPECT_NE(std::string(WideToUtf8(err).GetString()).find("does not advance after marker 'm'"), std::string::npos)
        << err;
    EXPECT_EQ(m_fake->Count("GET /b/?delimiter=/"), 2);
}

// A folder with objects but no marker is a folder even when the marker cannot
// be stored (read-only credentials): a notice, not a failed read.
TEST_F(S3FakeTest, FolderWithoutMarkerOnReadOnlyCredentials) {
    S3NoticeRecorder rec;
    auto fs = Start(Script({Rule("PUT", "/b/nm/$", 403, ErrorXml("AccessDenied", "Access Denied"))}), 1000, false,
                    &rec);
    int kind = 0;
    CWideString err;
    std::string one = LocalFile("one", "1");
    ASSERT_TRUE(fs->UploadFile(Utf8ToWide(one.c_str()), u"/nm/a", kind, err)) << err;
    FsItemInfo info;
    bool bNotFound = true;
    ASSERT_TRUE(fs->GetInfo(u"/nm", info, bNotFound, kind, err)) << err;
    EXPECT_TRUE(info.IsFolder() && !bNotFound);
    EXPECT_EQ(rec.CountContaining("Cannot create folder marker: "), 1);
    EXPECT_EQ(m_fake->Count("PUT /b/nm/ "), 1);
}

// Deleting or moving a folder removes its marker "<key>/": afterwards the
// folder is gone, and an object named like the folder without '/' stays.
TEST_F(S3FakeTest, FolderMarkersGoWithTheirFolders) {
    auto fs = Start("[]");
    int kind = 0;
    CWideString err;
    std::string one = LocalFile("one", "1");
    for (const char16_t* f : {u"/del", u"/mv", u"/keep"}) ASSERT_TRUE(fs->MakeFolder(f, kind, err)) << err;
    ASSERT_TRUE(fs->UploadFile(Utf8ToWide(one.c_str()), u"/keep", kind, err)) << err; // an object, no '/'
    ASSERT_TRUE(fs->DeleteFolder(u"/del", kind, err)) << err;
    ASSERT_TRUE(fs->MoveFolderItselfOnly(u"/mv", u"/mv2", kind, err)) << err;
    ASSERT_TRUE(fs->DeleteFolder(u"/keep", kind, err)) << err;
    for (const char* line : {"DELETE /b/del/ ", "DELETE /b/mv/ ", "DELETE /b/keep/ "}) EXPECT_EQ(m_fake->Count(line), 1);
    struct Case {
        const char16_t* path;
        bool bNotFound, bFolder;
    } cases[] = {{u"/del", true, false}, {u"/mv", true, false}, {u"/mv2", false, true}, {u"/keep", false, false}};
    for (const Case& c : cases) {
        FsItemInfo info;
        bool bNotFound = false;
        ASSERT_TRUE(fs->GetInfo(c.path, info, bNotFound, kind, err)) << err;
        EXPECT_EQ(bNotFound, c.bNotFound) << WideToUtf8(c.path).GetString();
        EXPECT_EQ(info.IsFolder(), c.bFolder) << WideToUtf8(c.path).GetString();
    }
}

// A listing that always says "truncated", with markers that do advance,
// stops at a page count or an entry count far beyond any real folder, with
// a clear error, instead of growing without end.
TEST_F(S3FakeTest, EndlessListingsStop) {
    struct Case {
        int keysPerPage;
        int maxPages;
        int64_t maxItems;
        int requests;
        const char* errPart;
    } cases[] = {
        {1, 40, 1000000, 40, "S3 listing of /b stopped after 40 pages: the server keeps saying there is more"},
        {50, 1000, 500, 10, "S3 listing of /b stopped at 500 entries: more than a folder can hold"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keysPerPage);
        auto fs = Start("[{\"method\": \"GET\", \"path\": \"delimiter\", \"times\": 100000, \"action\": \"endless\", "
                        "\"keys\": " + std::to_string(c.keysPerPage) + "}]");
        fs->m_nMaxListPages = c.maxPages;
        fs->m_nMaxListItems = c.maxItems;
        CListT<FsItemInfo> items;
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(fs->ListDir(u"/", items, kind, err));
        EXPECT_EQ(kind, 7);
        EXPECT_NE(std::string(WideToUtf8(err).GetString()).find(c.errPart), std::string::npos) << err;
        EXPECT_EQ(m_fake->Count("GET /b/?delimiter=/"), c.requests);
    }
    EXPECT_EQ(S3FileSysZorSock().m_nMaxListPages, 100000);
    EXPECT_EQ(S3FileSysZorSock().m_nMaxListItems, 10000000);
}
