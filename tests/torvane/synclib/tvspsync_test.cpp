// A whole job between a local folder and the peer file server of tools/
// (tvtp://127.0.0.1:PORT/file:///<folder>), both ways; and a 16 MiB file with
// one changed block copied through the block delta in each direction.
#include "job-harness.h"

#include "../tvfilesys/tvsp-test-util.h"
#include "TvFileCopy.h"
#include "WinFileSys.h"

#include <gtest/gtest.h>

using namespace tvsptest;

namespace {

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

// Bytes the peer server received in write bodies and sent in read bodies.
int64_t MovedBytes(const std::vector<std::string>& log, const char* verbPrefix, const char* field) {
    int64_t n = 0;
    for (auto& l : log) {
        if (l.find(std::string("\"verb\": \"") + verbPrefix) == std::string::npos) continue;
        size_t p = l.find(field);
        if (p != std::string::npos) n += atoll(l.c_str() + p + strlen(field));
    }
    return n;
}

} // namespace

TEST(TvspSync, LocalFolderAndPeerServerBothWays) {
    PeerEnv env;
    PeerServer srv;
    ASSERT_TRUE(srv.Start());
    CJobHarness h;
    ZorRealClock realClock;
    ZorClockScope clockScope(&realClock);
    CSyncJob job;
    h.Attach(job);
    job.SetName(u"PeerPair");
    ASSERT_TRUE(h.m_tmp.MakeDir("L/docs"));
    ASSERT_TRUE(h.m_tmp.WriteFile("L/docs/a.txt", "left a"));
    testsrv::RunCommand("mkdir -p '" + srv.Root() + "/r'");
    testsrv::WriteFileText(srv.Root() + "/r/remote.txt", "from the peer");
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    ASSERT_TRUE(job.SetSideConnectInfo(1, Info(srv.Url())));
    auto r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_EQ(testsrv::ReadFileText(h.m_tmp.NativeSub("L/r/remote.txt")), "from the peer");
    EXPECT_EQ(testsrv::ReadFileText(srv.Root() + "/docs/a.txt"), "left a");
    h.m_sink.ClearRecords();
    r = h.Run(job, true, true);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult) << h.m_sink.Dump();
    EXPECT_NE(h.m_sink.Dump().find("Changes: 0, Conflicts: 0"), std::string::npos) << h.m_sink.Dump();
    job.SetProgressSink(&g_DummyJobProgress);
}

// A file on the peer that the user rewrote after Analyze, of the same size
// and a second later, stays: the block copy looked it up anyway.
TEST(TvspSync, PeerFileEditedAfterAnalyzeStays) {
    PeerEnv env;
    PeerServer srv;
    ASSERT_TRUE(srv.Start());
    CJobHarness h;
    ZorRealClock realClock;
    ZorClockScope clockScope(&realClock);
    struct : CRecordingSink {
        std::function<void()> beforeSync;
        bool ConfirmSync(int) override {
            if (beforeSync) std::exchange(beforeSync, nullptr)();
            return true;
        }
    } sink;
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.SetName(u"PeerPair");
    const std::string onPeer = srv.Root() + "/f.bin", edit = Pattern(4 * kTvDeltaBlockSize, 3);
    auto put = [](const std::string& path, const std::string& bytes, time_t t) {
        testsrv::WriteFileText(path, bytes);
        const struct timeval tv[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(utimes(path.c_str(), tv), 0);
    };
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    put(h.m_tmp.NativeSub("L/f.bin"), Pattern(edit.size(), 1), 1600000000);
    put(onPeer, Pattern(edit.size(), 1), 1600000000);
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    ASSERT_TRUE(job.SetSideConnectInfo(1, Info(srv.Url())));
    ASSERT_TRUE(h.Run(job, true, true).bOk) << sink.Dump();
    put(h.m_tmp.NativeSub("L/f.bin"), Pattern(edit.size(), 2), 1600000100);
    sink.beforeSync = [&] { put(onPeer, edit, 1600000001); };
    auto r = h.Run(job, true, true);
    EXPECT_EQ(r.nSub, RSS_ATTENTION) << sink.Dump();
    EXPECT_NE(sink.Dump().find("Destination file has changed since Analyze"), std::string::npos)
        << sink.Dump();
    EXPECT_TRUE(testsrv::ReadFileText(onPeer) == edit);
    job.SetProgressSink(&g_DummyJobProgress);
}

TEST(TvspSync, OneChangedBlockMovesAloneInEachDirection) {
    PeerEnv env;
    PeerServer srv;
    ASSERT_TRUE(srv.Start());
    testsrv::TempDir local;
    const size_t size = 16u << 20;
    const std::string base = Pattern(size, 7);
    std::string changed = base;
    for (size_t i = 0; i < 100; ++i) changed[5 * kTvDeltaBlockSize + 1000 + i] ^= 0x5A;

    TvspFileSys peer;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(peer.Connect(Info(srv.Url()), nullptr, k, e)) << e;
    WinFileSys lfs;
    TvConnectInfo lci;
    lci.m_sUrl = NormalizeUrl(Utf8ToWide(local.Path().c_str()));
    ASSERT_TRUE(lfs.Connect(lci, nullptr, k, e)) << e;

    struct Dir {
        const char* name;
        bool upload;
    } dirs[] = {{"local to peer", true}, {"peer to local", false}};
    for (const Dir& d : dirs) {
        SCOPED_TRACE(d.name);
        // destination holds the old content, the source the new one
        testsrv::WriteFileText(local / "f.bin", d.upload ? changed : base);
        testsrv::WriteFileText(srv.Root() + "/f.bin", d.upload ? base : changed);
        size_t logBefore = srv.Log().size();
        int64_t n = -1;
        TvFileSys* src = d.upload ? (TvFileSys*)&lfs : (TvFileSys*)&peer;
        TvFileSys* dst = d.upload ? (TvFileSys*)&peer : (TvFileSys*)&lfs;
        ASSERT_TRUE(TvFileCopy(src, u"/f.bin", dst, true, u"/f.bin.tmp", u"/f.bin", n, nullptr, k, e)) << e;
        EXPECT_TRUE(TvLastCopyStats().bDelta);
        EXPECT_EQ(TvLastCopyStats().nTransferred, kTvDeltaBlockSize);
        auto log = srv.Log();
        std::vector<std::string> mine(log.begin() + (long)logBefore, log.end());
        if (d.upload) {
            EXPECT_EQ(MovedBytes(mine, "WriteBuf", "\"body_len\": "), kTvDeltaBlockSize);
        }
        std::string result = d.upload ? testsrv::ReadFileText(srv.Root() + "/f.bin.tmp")
                                       : testsrv::ReadFileText(local / "f.bin.tmp");
        EXPECT_TRUE(result == changed) << "the copy differs from the source";
    }
}

// A download brings no more than the size the caller expects, a lock file no
// more than 8 MiB: a file grown past it or an answer without end fails with
// the limit named, and nothing of it stays.
TEST(TvspSync, DownloadsStopAtTheirLimit) {
    PeerEnv env;
    PeerServer srv;
    ASSERT_TRUE(srv.Start());
    TvspFileSys fs;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(fs.Connect(Info(srv.Url()), nullptr, k, e)) << e;
    const CWideString lock = CWideString(CSyncJob::kLockFileBase) + CSyncJob::GetLockFileSuffix(&fs);
    testsrv::RunCommand("mkdir -p '" + srv.Root() + "/_tvdata_'");
    testsrv::WriteFileText(srv.Root() + WideToUtf8(lock).GetString(), std::string(100, 'a'));
    const std::string out = srv.Dir() + "/out";
    const std::string flood = R"([{"verb": "DownloadFile", "action": "flood"}])";
    for (const std::string& faults : {std::string("[]"), flood}) {
        srv.Faults(faults);
        int64_t n = 10;
        EXPECT_FALSE(fs.DownloadFile(lock, Utf8ToWide(out.c_str()), n, k, e));
        EXPECT_EQ(k, 7);
        EXPECT_NE(e.Find(u"Response body is longer than 10 bytes"), -1) << e;
        EXPECT_NE(access(out.c_str(), F_OK), 0);
    }
    srv.Faults(flood);
    e.Empty();
    EXPECT_EQ(CSyncJob::ReadLockFile(CWideString(), &fs, CNarrowString(), CNarrowString("By: me"), k, e), -6);
    EXPECT_NE(e.Find(u"downloading lock file: Downloading file: Cannot download file: "
                     u"Response body is longer than 8388608 bytes"),
              -1)
        << e;
}
