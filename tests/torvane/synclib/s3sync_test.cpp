// A whole job between a local folder and an s3rver bucket: the first run
// copies both ways (a 25 MiB file goes up in parts), a second run finds
// nothing to do, and changes made by another client of the bucket (a 25 MiB
// file among them, fetched in ranges) come back.
#include "job-harness.h"

#include "../tvfilesys/s3-test-util.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

std::string Fetch(S3FileSysZorSock& fs, const CWideString& path, const std::string& tmp) {
    int64_t size = -1;
    FsItemInfo info;
    bool bNotFound = false;
    int kind = 0;
    CWideString err;
    if (!fs.GetInfo(path, info, bNotFound, kind, err) || bNotFound) return "<missing>";
    size = info.m_nSize;
    if (!fs.DownloadFile(path, Utf8ToWide(tmp.c_str()), size, kind, err)) return "<error>";
    return testsrv::ReadFileText(tmp);
}

} // namespace

TEST(S3Sync, LocalFolderAndBucketBothWays) {
    if (!S3rver::Available()) GTEST_SKIP() << "s3rver is not installed (tools/install-deps.sh)";
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    S3rver peer;
    ASSERT_TRUE(peer.Start());
    CJobHarness h;
    ZorRealClock realClock; // s3rver refuses requests dated far from now
    ZorClockScope clockScope(&realClock);
    CSyncJob job;
    h.Attach(job);
    job.SetName(u"S3Pair");

    const std::string url = "s3://S3RVER:S3RVER@s3.localhost:" + std::to_string(peer.Port()) + "/tb/e2e";
    S3FileSysZorSock other; // a second client of the bucket
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(other.Connect(S3Settings(url), nullptr, kind, err)) << ToU8(err);
    ASSERT_TRUE(other.MakeFolder(u"", kind, err)) << ToU8(err);

    ASSERT_TRUE(h.m_tmp.MakeDir("L/docs"));
    const std::string big = PatternBytes(25 * 1048576, 25);
    ASSERT_TRUE(h.m_tmp.WriteFile("L/docs/a.txt", "left a"));
    ASSERT_TRUE(h.m_tmp.WriteFile("L/big.bin", big));
    std::string remoteOnly = h.m_tmp.NativeSub("remote.txt");
    testsrv::WriteFileText(remoteOnly, "from the bucket");
    ASSERT_TRUE(other.UploadFile(Utf8ToWide(remoteOnly.c_str()), u"/r/remote.txt", kind, err)) << ToU8(err);

    job.SetSideFolder(0, h.m_tmp.Path("L"));
    TvConnectInfo ci = S3Settings(url);
    ASSERT_TRUE(job.SetSideConnectInfo(1, ci));

    auto r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_EQ(h.m_tmp.List("L/r"), std::vector<std::string>{"remote.txt"});
    EXPECT_EQ(testsrv::ReadFileText(h.m_tmp.NativeSub("L/r/remote.txt")), "from the bucket");
    std::string tmp = h.m_tmp.NativeSub("fetched");
    EXPECT_EQ(Fetch(other, u"/docs/a.txt", tmp), "left a");
    EXPECT_TRUE(Fetch(other, u"/big.bin", tmp) == big);

    // Nothing changed: the second run copies nothing (at most it settles the
    // state of the item that came down), a third one has nothing at all to do.
    for (int run = 2; run <= 3; run++) {
        h.m_sink.ClearRecords();
        r = h.Run(job, true, true);
        ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
        EXPECT_NE(h.m_sink.Dump().find("Changes: 0, Conflicts: 0"), std::string::npos) << h.m_sink.Dump();
        if (run == 3) {
            EXPECT_FALSE(job.m_bHasChanges) << h.m_sink.Dump();
        }
    }

    // Another client changes a file and stores a new large one.
    const std::string big2 = PatternBytes(25 * 1048576 + 17, 26);
    std::string src = h.m_tmp.NativeSub("upload");
    testsrv::WriteFileText(src, "changed by another client");
    ASSERT_TRUE(other.UploadFile(Utf8ToWide(src.c_str()), u"/docs/a.txt", kind, err)) << ToU8(err);
    testsrv::WriteFileText(src, big2);
    ASSERT_TRUE(other.UploadFile(Utf8ToWide(src.c_str()), u"/docs/big2.bin", kind, err)) << ToU8(err);
    h.m_sink.ClearRecords();
    r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_EQ(testsrv::ReadFileText(h.m_tmp.NativeSub("L/docs/a.txt")), "changed by another client");
    EXPECT_TRUE(testsrv::ReadFileText(h.m_tmp.NativeSub("L/docs/big2.bin")) == big2);
    job.SetProgressSink(&g_DummyJobProgress);
}

// A job against the scripted peer, whose request log shows what went over
// the wire: an object above 10 MiB comes down in 5 MiB ranges; listed
// objects whose size or time cannot be true become items in error that name
// themselves and the reason, and the run ends with errors.
TEST(S3Sync, RangedDownloadsAndUnusableEntries) {
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    std::string page = "<ListBucketResult><IsTruncated>false</IsTruncated>";
    for (auto [key, size, when] : {std::tuple{"big.bin", "11534341", "2023-11-14T22:13:20Z"},
                                   {"neg.bin", "-5", "2023-11-14T22:13:20Z"},
                                   {"eb.bin", "9223372036854775807", "2023-11-14T22:13:20Z"},
                                   {"when.bin", "1", "tomorrow"},
                                   {"nosize.bin", "", "2023-11-14T22:13:20Z"}})
        page += std::string("<Contents><Key>j/") + key + "</Key><LastModified>" + when + "</LastModified><Size>" +
                size + "</Size></Contents>";
    FakeS3 peer;
    // The objects have the time the scripted listing gives them.
    ASSERT_TRUE(peer.Start("[{\"path\": \"prefix=j/$\", \"times\": 9, \"body\": \"" + page + "</ListBucketResult>\"}]",
                           1000, 1700000000));
    CJobHarness h;
    CSyncJob job;
    h.Attach(job);
    const std::string url = "s3://FAKEKEY:fakesecret@s3.localhost:" + std::to_string(peer.Port()) + "/b/j";
    S3FileSysZorSock other;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(other.Connect(S3Settings(url), nullptr, kind, err)) << ToU8(err);
    const std::string big = PatternBytes(11 * 1048576 + 5, 9);
    testsrv::WriteFileText(h.m_tmp.NativeSub("upload"), big);
    ASSERT_TRUE(other.UploadFile(h.m_tmp.Path("upload"), u"/big.bin", kind, err)) << ToU8(err);
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    ASSERT_TRUE(job.SetSideConnectInfo(1, S3Settings(url)));

    auto r = h.Run(job, true, true);
    const std::string dump = h.m_sink.Dump();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << dump;
    EXPECT_TRUE(testsrv::ReadFileText(h.m_tmp.NativeSub("L/big.bin")) == big);
    EXPECT_EQ(peer.Count("GET /b/j/big.bin sig=ok"), 3);
    EXPECT_EQ(peer.Count(" range=bytes="), 3);
    EXPECT_EQ(peer.Count("range=bytes=10485760-11534340 "), 1);
    for (const char* part : {"/neg.bin: Analyze error: S3 listing: size -5 is not a valid object size",
                             "/eb.bin: Analyze error: S3 listing: size 9223372036854775807 is not a valid",
                             "/when.bin: Analyze error: S3 listing: time tomorrow is not a valid time",
                             "/nosize.bin: Analyze error: S3 listing: no Size",
                             "Skipping S3 item 'neg.bin': size -5 is not a valid object size", "Errors: 4"})
        EXPECT_NE(dump.find(part), std::string::npos) << part << "\n" << dump;
}

// An object replaced by another client while it comes down in ranges: the
// copy fails instead of joining the two versions, nothing of it is left,
// and the next run brings the new version whole.
TEST(S3Sync, ObjectReplacedDuringRangedDownload) {
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    FakeS3 peer;
    ASSERT_TRUE(peer.Start("[{\"method\": \"GET\", \"path\": \"big.bin$\", \"action\": \"overwrite\", \"size\": "
                           "11534336, \"fill\": \"B\"}]"));
    CJobHarness h;
    CSyncJob job;
    h.Attach(job);
    const std::string url = "s3://FAKEKEY:fakesecret@s3.localhost:" + std::to_string(peer.Port()) + "/b/j";
    S3FileSysZorSock other;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(other.Connect(S3Settings(url), nullptr, kind, err)) << ToU8(err);
    testsrv::WriteFileText(h.m_tmp.NativeSub("upload"), std::string(11534336, 'A'));
    ASSERT_TRUE(other.UploadFile(h.m_tmp.Path("upload"), u"/big.bin", kind, err)) << ToU8(err);
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    ASSERT_TRUE(job.SetSideConnectInfo(1, S3Settings(url)));

    auto r = h.Run(job, true, true);
    std::string dump = h.m_sink.Dump();
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << dump;
    EXPECT_NE(dump.find("Source file changed while copied: "), std::string::npos) << dump;
    EXPECT_EQ(h.m_tmp.List("L"), std::vector<std::string>{"_tvdata_"});

    h.m_sink.ClearRecords();
    r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_TRUE(testsrv::ReadFileText(h.m_tmp.NativeSub("L/big.bin")) == std::string(11534336, 'B'));
}

// An object replaced between its listing and its download: the answer names
// another time than the listing, so what came is not the listed version,
// whichever way the copy takes to the local folder.
TEST(S3Sync, ObjectReplacedAfterItsListingFailsEveryCopyPath) {
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    const struct {
        const char* name;
        bool bTargetExists, bUseTemp;
    } cases[] = {{"a new file, placed once flushed", false, true},
                 {"over the old file, directly", true, false},
                 {"over the old file, through a temporary file", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeS3 peer;
        // Listed at 22:13:20; the download answers with a version of 23:13:20.
        ASSERT_TRUE(
            peer.Start("[{\"method\": \"GET\", \"path\": \"/b/j/a.txt$\", \"times\": 9, \"body\": "
                       "\"version B\", \"headers\": {\"Last-Modified\": \"Tue, 14 Nov 2023 23:13:20 GMT\"}}]",
                       1000, 1700000000));
        CJobHarness h;
        CSyncJob job;
        h.Attach(job);
        const std::string url =
            "s3://FAKEKEY:fakesecret@s3.localhost:" + std::to_string(peer.Port()) + "/b/j";
        S3FileSysZorSock other;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(other.Connect(S3Settings(url), nullptr, kind, err)) << ToU8(err);
        testsrv::WriteFileText(h.m_tmp.NativeSub("upload"), "version A");
        ASSERT_TRUE(other.UploadFile(h.m_tmp.Path("upload"), u"/a.txt", kind, err)) << ToU8(err);
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(!c.bTargetExists || h.m_tmp.WriteFileAt("L/a.txt", "old", 1600000000));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        ASSERT_TRUE(job.SetSideConnectInfo(1, S3Settings(url)));
        job.m_Options.m_nDirection = JT_RIGHT_TO_LEFT;
        job.m_Options.m_bCopyUsingTempFile = c.bUseTemp;
        job.m_Options.m_Dir1.m_bUseTmpDestFile = c.bUseTemp ? 1 : 0;

        auto r = h.Run(job, true, true);
        const std::string dump = h.m_sink.Dump();
        EXPECT_EQ(r.nSub, RSS_ATTENTION) << dump;
        EXPECT_NE(dump.find("Source file changed while copied: "), std::string::npos) << dump;
        EXPECT_EQ(h.m_tmp.Exists("L/a.txt") ? testsrv::ReadFileText(h.m_tmp.NativeSub("L/a.txt")) : "<none>",
                  c.bTargetExists ? "old" : "<none>");
        job.SetProgressSink(&g_DummyJobProgress);
    }
}

// Analyze changes nothing on the bucket: a job folder that holds objects
// but no marker of its own is read as it is, its marker made only by a sync.
TEST(S3Sync, AnalyzeOfAFolderWithoutItsMarkerWritesNothing) {
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    FakeS3 peer;
    ASSERT_TRUE(peer.Start());
    CJobHarness h;
    CSyncJob job;
    h.Attach(job);
    const std::string url = "s3://FAKEKEY:fakesecret@s3.localhost:" + std::to_string(peer.Port()) + "/b/x";
    S3FileSysZorSock other;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(other.Connect(S3Settings(url), nullptr, kind, err)) << ToU8(err);
    testsrv::WriteFileText(h.m_tmp.NativeSub("upload"), "in the bucket");
    ASSERT_TRUE(other.UploadFile(h.m_tmp.Path("upload"), u"/a.txt", kind, err)) << ToU8(err);
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    ASSERT_TRUE(job.SetSideConnectInfo(1, S3Settings(url)));
    const size_t nBefore = peer.Log().size();
    auto r = h.Run(job, true, false);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    const std::vector<std::string> log = peer.Log();
    for (size_t i = nBefore; i < log.size(); i++)
        EXPECT_TRUE(log[i].rfind("GET ", 0) == 0 || log[i].rfind("HEAD ", 0) == 0) << log[i];
    EXPECT_TRUE(h.m_tmp.List("L").empty());
    r = h.Run(job, true, true);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_EQ(peer.Count("PUT /b/x/ "), 1);
    job.SetProgressSink(&g_DummyJobProgress);
}
