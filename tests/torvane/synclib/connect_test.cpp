// Side connection and the reconnect policy: folder checks, root creation,
// the data-folder rule of a read-only source, mirror folder paths, the
// modification-time probe, side status, and reconnects after failures of
// the fake file system.
#include "fake-fs.h"
#include "job-harness.h"

#include "syncjob.h"
#include "zor-file.h"
#include "zor-locstr.h"

#include <gtest/gtest.h>

namespace {

class ConnectTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        h.Attach(job);
        job.SetName(u"Docs");
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
    }
    void TearDown() override { job.DisconnectSides(); }

    // The right side goes through the fake file system.
    void UseFakeRight() { job.m_apFs[1].reset(new CFakeFs(plan)); }

    std::vector<std::string> NoticeTexts() const {
        std::vector<std::string> v;
        for (const auto& n : h.m_sink.Notices()) v.push_back(ToU8(n.text));
        return v;
    }
    bool HasLine(const std::string& part) const { return h.m_sink.Dump().find(part) != std::string::npos; }

    // What the scan does with a listing: on a connection error, reconnect
    // through the job's policy and list again.
    bool ListWithReconnect(int side, int& kind, CWideString& err) {
        for (;;) {
            CListT<FsItemInfo> items;
            int listKind = 0;
            CWideString listErr;
            if (job.m_apFs[side]->ListDir(u"/", items, listKind, listErr)) {
                job.m_apFs[side]->m_nReconnectCount = 0;
                return true;
            }
            kind = listKind;
            if (!IsConnectionError(listKind)) {
                err = listErr;
                return false;
            }
            CWideString reconnectErr;
            if (!job.TryReconnect(side, u"LISTDIR", listErr, false, kind, reconnectErr)) {
                err = listErr + u", Cannot reconnect: " + reconnectErr;
                return false;
            }
        }
    }
};

// ---------------------------------------------------------------- folders

TEST_F(ConnectTest, AnEmptyFolderFailsBeforeAnyFileSystemIsMade) {
    job.SetSideFolder(0, u"");
    int failedSide = -1, kind = 0;
    CWideString err;
    EXPECT_FALSE(job.ConnectSides(failedSide, kind, err));
    EXPECT_EQ(failedSide, 0);
    EXPECT_EQ(ToU8(err), "Left: Folder is not specified");
    EXPECT_FALSE(job.m_apFs[0]);
    EXPECT_FALSE(job.m_apFs[1]);
}

TEST_F(ConnectTest, AMissingRootFailsUnlessTheEngineMayCreateIt) {
    job.SetSideFolder(1, h.m_tmp.Path("new/root"));
    int failedSide = -1, kind = 0;
    CWideString err;
    EXPECT_FALSE(job.ConnectSides(failedSide, kind, err));
    EXPECT_EQ(failedSide, 1);
    EXPECT_EQ(ToU8(err), "Root folder does not exist: " + h.m_tmp.NativeSub("new/root"));
    EXPECT_FALSE(h.m_tmp.Exists("new"));

    h.SetCreateFolderIfNotFound(true);
    err.Empty();
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_TRUE(h.m_tmp.Exists("new/root"));
    const std::string root = h.m_tmp.NativeSub("new/root");
    const auto notices = NoticeTexts();
    ASSERT_GE(notices.size(), 2u);
    EXPECT_NE(std::find(notices.begin(), notices.end(),
                        "Folder '" + root + "' not found, so we will try to create it\n"),
              notices.end());
    EXPECT_NE(std::find(notices.begin(), notices.end(), "Created folder '" + root + "' successfully\n"),
              notices.end());
}

TEST_F(ConnectTest, AFailedConnectNamesTheFolder) {
    UseFakeRight();
    plan->Fail("Connect", FSE_AUTH, u"login refused");
    int failedSide = -1, kind = 0;
    CWideString err;
    EXPECT_FALSE(job.ConnectSides(failedSide, kind, err));
    EXPECT_EQ(failedSide, 1);
    EXPECT_EQ(kind, FSE_AUTH);
    EXPECT_EQ(ToU8(err), "Cannot connect to " + h.m_tmp.NativeSub("R") + ": login refused");
}

TEST_F(ConnectTest, ExpandedMacrosAreAnnounced) {
    setenv("TV_TEST_SIDE", h.m_tmp.NativeSub("R").c_str(), 1);
    job.SetSideFolder(1, u"%TV_TEST_SIDE%");
    int failedSide = -1, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_EQ(ToU8(job.m_apFs[1]->GetRootDir()), h.m_tmp.NativeSub("R"));
    EXPECT_EQ(NoticeTexts().front(), "Expanded '%TV_TEST_SIDE%' to '" + h.m_tmp.NativeSub("R") + "'\n");
    unsetenv("TV_TEST_SIDE");
}

TEST_F(ConnectTest, CapabilityByteAndSideLogs) {
    UseFakeRight();
    plan->SetCap(TVFS_CAP_SOURCE_STATE, 0);
    int failedSide = -1, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_EQ(job.m_anSideCaps[0], 1); // the local file system answers 28
    EXPECT_EQ(job.m_anSideCaps[1], 0);
    // Each side's job log is written into its local mirror folder.
    CWideString mirror;
    ASSERT_TRUE(MakeMirrorFolderPath(false, h.m_tmp.Path("L"), false, mirror, kind, err));
    EXPECT_EQ(job.GetJobLog(0).GetFolder(), mirror);
    EXPECT_EQ(ToU8(job.GetJobLog(0).GetBaseName()), "Torvane");
}

// ---------------------------------------------------------------- data folder or mirror folder

TEST_F(ConnectTest, AReadOnlyOneWaySourceKeepsItsStateInTheMirrorFolder) {
    job.m_Options.SetDirection(JT_LEFT_TO_RIGHT);
    job.m_Options.m_bReadOnlySource = true;
    auto r = h.Run(job, true, false, RK_AUTOMATIC);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_TRUE(job.CannotHaveDataFolder(0));
    EXPECT_FALSE(job.CannotHaveDataFolder(1));
    // The automatic run made the data folder on the destination only.
    EXPECT_TRUE(h.m_tmp.List("L").empty());
    EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_"));

    CWideString mirror, err;
    int kind = 0;
    ASSERT_TRUE(MakeMirrorFolderPath(false, h.m_tmp.Path("L"), false, mirror, kind, err));
    EXPECT_TRUE(ZorFileExists(mirror));
    const auto notices = NoticeTexts();
    EXPECT_NE(std::find(notices.begin(), notices.end(),
                        "Read-only Left side: Use Mirror State folder: " + ToU8(mirror) + "\n"),
              notices.end());

    // Direction 2 makes the right side the read-only one; the flag follows
    // the options at every connect.
    job.m_Options.SetDirection(JT_RIGHT_TO_LEFT);
    job.m_Options.m_bReadOnlySource = true;
    int failedSide = 0;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    EXPECT_FALSE(job.CannotHaveDataFolder(0));
    EXPECT_TRUE(job.CannotHaveDataFolder(1));
    bool bCreated = true;
    EXPECT_TRUE(job.CreateDataFolder(1, job.m_apFs[1].get(), bCreated, kind, err));
    EXPECT_FALSE(bCreated);
}

TEST_F(ConnectTest, NoDataFolderOptionAndFileSystemsWithoutOne) {
    job.m_Options.m_bNoTvDataFolder = true; // side 1 by default
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    EXPECT_FALSE(job.CannotHaveDataFolder(0));
    EXPECT_TRUE(job.CannotHaveDataFolder(1));
    CWideString mirror;
    ASSERT_TRUE(MakeMirrorFolderPath(false, h.m_tmp.Path("R"), false, mirror, kind, err));
    const auto n = NoticeTexts();
    EXPECT_NE(std::find(n.begin(), n.end(),
                        "No _tvdata_ folder Right side, per job option: Use Mirror State folder: " +
                            ToU8(mirror) + "\n"),
              n.end());
    EXPECT_NE(std::find(n.begin(), n.end(),
                        "Right: _TVDATA_ folder disabled: turning OFF Save Previous/Past Versions options\n"),
              n.end());

    job.m_Options.m_bNoTvDataFolder = false;
    UseFakeRight();
    plan->SetCap(TVFS_CAP_NO_DATA_FOLDER, 1);
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    EXPECT_TRUE(job.CannotHaveDataFolder(1));
}

TEST_F(ConnectTest, CreateDataFolderReportsAFailureWithTheSideName) {
    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    plan->Fail("MakeFolder", FSE_GENERAL, u"read-only file system");
    bool bCreated = true;
    EXPECT_FALSE(job.CreateDataFolder(1, job.m_apFs[1].get(), bCreated, kind, err));
    EXPECT_EQ(ToU8(err),
              "Cannot create Torvane State Folder _tvdata_ on Right: read-only file system\nIf this is "
              "a read-only folder then set this job to 1-way Forced ReadOnlySource in Job -> Options");
    err.Empty();
    EXPECT_TRUE(job.CreateDataFolder(1, job.m_apFs[1].get(), bCreated, kind, err)) << ToU8(err);
    EXPECT_TRUE(bCreated);
    EXPECT_TRUE(job.CreateDataFolder(1, job.m_apFs[1].get(), bCreated, kind, err));
    EXPECT_FALSE(bCreated);
}

TEST_F(ConnectTest, AnAutomaticRunCarriesOnWithoutADataFolderWhereNothingIsWritten) {
    UseFakeRight();
    plan->Fail("MakeFolder", FSE_GENERAL, u"read-only file system", 0, 100);
    job.m_abNothingToWrite[1] = 1;
    auto r = h.Run(job, true, false, RK_AUTOMATIC);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_TRUE(HasLine("Cannot create _tvdata_ folder: "));
    EXPECT_EQ(job.m_Options.m_Dir2.m_bNoDataFolder, 1);

    job.m_abNothingToWrite[1] = 0;
    UseFakeRight();
    r = h.Run(job, true, false, RK_AUTOMATIC);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult).rfind("Cannot create Torvane State Folder _tvdata_ on Right", 0), 0u);
}

TEST(MirrorFolderPath, FlattensTheUrlUnderTheMirrorRoot) {
    CEngineOptions saved = g_EngineOptions;
    g_EngineOptions.m_sMirrorFolderRoot = u"/var/mirrors/";
    CWideString out, err;
    int kind = 0;
    ASSERT_TRUE(MakeMirrorFolderPath(false, u"ftp://host:21/a/b", false, out, kind, err));
    EXPECT_EQ(ToU8(out), "/var/mirrors/_tvdata_mirrors_/ftp-host-21-a-b");
    ASSERT_TRUE(MakeMirrorFolderPath(false, u"/x/Data", true, out, kind, err));
    EXPECT_EQ(ToU8(out), "/var/mirrors/Mirrors/-x-Data");
    ASSERT_TRUE(MakeMirrorFolderPath(true, u"/x/Data", false, out, kind, err));
    EXPECT_EQ(ToU8(out), "/var/mirrors/_tvdata_mirrors_");
    // One pass over "--": three dashes leave two.
    ASSERT_TRUE(MakeMirrorFolderPath(false, u"a:/--b", false, out, kind, err));
    EXPECT_EQ(ToU8(out), "/var/mirrors/_tvdata_mirrors_/a--b");

    // A long name keeps its last 200 units and the sum of all its units.
    CWideString longUrl;
    uint32_t sum = 0;
    for (int i = 0; i < 250; ++i) {
        const char16_t c = (char16_t)(u'a' + i % 26);
        longUrl.AppendChar(c);
        sum += c;
    }
    ASSERT_TRUE(MakeMirrorFolderPath(false, longUrl, false, out, kind, err));
    EXPECT_EQ(out, u"/var/mirrors/_tvdata_mirrors_/" + longUrl.Right(200) +
                       CWideString::Formatted(u"-%d", (int)sum));

    g_EngineOptions.m_sMirrorFolderRoot.Empty();
    EXPECT_FALSE(MakeMirrorFolderPath(false, u"/x", false, out, kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_EQ(ToU8(err), "torvane mirror folder root not defined");
    g_EngineOptions = saved;
}

// ---------------------------------------------------------------- per-side rules, probe, status

TEST_F(ConnectTest, TempFileRule) {
    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    EXPECT_TRUE(job.UseTempFile(1)); // no direct-destination capability
    plan->SetCap(TVFS_CAP_DIRECT_DEST_OK, 1);
    EXPECT_FALSE(job.UseTempFile(1));
    job.m_Options.m_Dir2.m_bUseTmpDestFile = 1;
    EXPECT_TRUE(job.UseTempFile(1));
    job.m_Options.m_bCopyUsingTempFile = false;
    EXPECT_FALSE(job.UseTempFile(1));
    plan->SetCap(TVFS_CAP_ALWAYS_TEMP, 1);
    EXPECT_TRUE(job.UseTempFile(1));
}

TEST_F(ConnectTest, ModificationTimeProbe) {
    UseFakeRight();
    plan->SetCap(TVFS_CAP_TEST_MOD_TIME, 1);
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_EQ(job.m_apFs[1]->m_bSupportsSetModTime, 1);
    EXPECT_EQ(NoticeTexts().back(),
              "File System supports SetFileModTime at " + h.m_tmp.NativeSub("R") + "\n");
    EXPECT_EQ(plan->Calls("UploadFile"), 1);

    // A file system that does not keep the time: reported, the connect still succeeds.
    plan->nModTimeSkew = 7200;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_EQ(job.m_apFs[1]->m_bSupportsSetModTime, 0);
    EXPECT_EQ(NoticeTexts().back(),
              "File System does NOT support SetFileModTime at " + h.m_tmp.NativeSub("R") + "\n");
    // The probe's file is gone on the side.
    EXPECT_EQ(h.m_tmp.List("R"), std::vector<std::string>{});
}

class VolumeSink : public CRecordingSink {
public:
    std::vector<std::pair<int, std::string>> volumes;
    void OnVolumeInfo(int side, const CWideString& text) override { volumes.push_back({side, ToU8(text)}); }
};

TEST_F(ConnectTest, SideStatusLines) {
    VolumeSink sink;
    job.SetProgressSink(&sink);
    job.ShowSideStatus(false);
    ASSERT_EQ(sink.volumes.size(), 2u);
    EXPECT_EQ(sink.volumes[0].second, "Disconnected: " + h.m_tmp.NativeSub("L"));

    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    sink.volumes.clear();
    job.ShowSideStatus(true);
    ASSERT_EQ(sink.volumes.size(), 2u);
    EXPECT_EQ(sink.volumes[1].second.rfind("Test: " + h.m_tmp.NativeSub("R") + ", Free: ", 0), 0u)
        << sink.volumes[1].second;
    EXPECT_NE(sink.volumes[1].second.find(", Total: "), std::string::npos);
    EXPECT_GT(job.m_nChunkLimit, 0);
    EXPECT_LE(job.m_nChunkLimit, 262144);

    job.m_bTreeHasSizes = 1;
    job.m_bHasChanges = 1;
    job.m_anRequiredBytes[1] = 2048;
    sink.volumes.clear();
    job.RefreshRequiredSpace();
    ASSERT_EQ(sink.volumes.size(), 2u);
    EXPECT_NE(sink.volumes[1].second.find(", Required: "), std::string::npos);
    job.SetProgressSink(&h.m_sink);
}

// ---------------------------------------------------------------- reconnect

TEST_F(ConnectTest, ALostConnectionIsReconnectedAfterTheWaitAndTheListingRetried) {
    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    plan->Disconnect("ListDir");
    const int connectsBefore = plan->Connects();
    const int64_t sleptBefore = h.m_clock.GetSleptMs();

    EXPECT_TRUE(ListWithReconnect(1, kind, err)) << ToU8(err);
    EXPECT_EQ(plan->Calls("ListDir"), 2);
    EXPECT_EQ(plan->Connects(), connectsBefore + 1);
    EXPECT_EQ(h.m_clock.GetSleptMs() - sleptBefore, 30000);
    EXPECT_TRUE(HasLine("Disconnected " + h.m_tmp.NativeSub("R") + " at "));
    EXPECT_TRUE(HasLine(" doing LISTDIR, try to reconnect in 30 sec: connection reset by peer"));
    EXPECT_TRUE(HasLine("Reconnected " + h.m_tmp.NativeSub("R") + " after LISTDIR disconnect"));
    EXPECT_TRUE(job.m_apFs[1]->IsConnected());

    // A quick reconnect waits one second.
    plan->Disconnect("ListDir");
    kind = FSE_CONN_CLOSED;
    CWideString text;
    const int64_t before = h.m_clock.GetSleptMs();
    EXPECT_TRUE(job.TryReconnect(1, u"GETINFO", u"timed out", true, kind, text));
    EXPECT_EQ(h.m_clock.GetSleptMs() - before, 1000);
}

TEST_F(ConnectTest, WithoutAutoReconnectTheFailureStands) {
    UseFakeRight();
    job.m_Options.m_bAutoReconnect = false;
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    plan->Disconnect("ListDir");
    const int64_t before = h.m_clock.GetSleptMs();
    EXPECT_FALSE(ListWithReconnect(1, kind, err));
    EXPECT_EQ(ToU8(err), "connection reset by peer, Cannot reconnect: Reconnect not requested by option");
    EXPECT_EQ(kind, FSE_CONN_LOST);
    EXPECT_EQ(h.m_clock.GetSleptMs(), before);
    EXPECT_EQ(plan->Calls("ListDir"), 1);
}

TEST_F(ConnectTest, TheFourthDisconnectIsTooMany) {
    UseFakeRight();
    job.m_Options.m_nReconnectAttempts = 3;
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    plan->Disconnect("ListDir", 0, 4);
    const int64_t before = h.m_clock.GetSleptMs();
    EXPECT_FALSE(ListWithReconnect(1, kind, err));
    EXPECT_EQ(ToU8(err), "connection reset by peer, Cannot reconnect: Too Many Reconnects");
    EXPECT_EQ(kind, FSE_CONN_LOST);
    // Three reconnects of 30 s each; the fourth is refused without waiting.
    EXPECT_EQ(h.m_clock.GetSleptMs() - before, 90000);
    EXPECT_EQ(plan->Calls("ListDir"), 4);
    EXPECT_FALSE(job.m_apFs[1]->IsConnected());
}

// A root that vanishes during the run (an unmounted disk) is a lost
// connection: a reconnect never creates an empty folder in its place, even
// where a first connect may create a missing root.
TEST_F(ConnectTest, AReconnectNeverCreatesAVanishedRoot) {
    h.SetCreateFolderIfNotFound(true);
    job.m_Options.m_nReconnectAttempts = 2;
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    ASSERT_EQ(rmdir(h.m_tmp.NativeSub("R").c_str()), 0);
    kind = FSE_CONN_LOST;
    CWideString text;
    EXPECT_FALSE(job.TryReconnect(1, u"LISTDIR", u"gone", false, kind, text));
    EXPECT_EQ(ToU8(text), "Too Many Reconnects");
    struct stat st;
    EXPECT_NE(stat(h.m_tmp.NativeSub("R").c_str(), &st), 0); // not created again
    EXPECT_TRUE(HasLine("Root folder does not exist: "));
}

TEST_F(ConnectTest, NonConnectionFailuresKeepTheirKind) {
    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));

    // A quota failure is not retried and stays fatal.
    kind = FSE_QUOTA;
    CWideString text;
    EXPECT_FALSE(job.TryReconnect(1, u"UPLOAD", u"quota exceeded", false, kind, text));
    EXPECT_EQ(ToU8(text), "Reconnect will not fix the error");
    EXPECT_EQ(kind, FSE_QUOTA);
    EXPECT_TRUE(IsFatalErrorKind(kind));

    // A reconnect that fails on authorisation stops with that kind.
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    plan->Fail("Connect", FSE_AUTH, u"password expired");
    kind = FSE_CONN_LOST;
    text.Empty();
    EXPECT_FALSE(job.TryReconnect(1, u"LISTDIR", u"reset", false, kind, text));
    EXPECT_EQ(ToU8(text), "Reconnect will not fix the error");
    EXPECT_EQ(kind, FSE_AUTH);
    EXPECT_TRUE(IsFatalErrorKind(kind));
    EXPECT_TRUE(HasLine("try to reconnect in 30 sec: reset"));

    // A reconnect whose connect fails with a lost connection tries again.
    plan->Fail("Connect", FSE_CONN_LOST, u"no route", 0, 1);
    kind = FSE_CONN_LOST;
    text.Empty();
    const int64_t before = h.m_clock.GetSleptMs();
    EXPECT_TRUE(job.TryReconnect(1, u"LISTDIR", u"reset", false, kind, text)) << ToU8(text);
    EXPECT_EQ(h.m_clock.GetSleptMs() - before, 60000);
    EXPECT_TRUE(
        HasLine("try to reconnect in 30 sec: Cannot connect to " + h.m_tmp.NativeSub("R") + ": no route"));
}

TEST_F(ConnectTest, AStopDuringTheWaitEndsItAtTheNextSecond) {
    UseFakeRight();
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err));
    h.m_sink.RequestStop();
    kind = FSE_CONN_LOST;
    CWideString text;
    const int64_t before = h.m_clock.GetSleptMs();
    EXPECT_FALSE(job.TryReconnect(1, u"LISTDIR", u"reset", false, kind, text));
    EXPECT_EQ(kind, FSE_STOPPED);
    EXPECT_EQ(ToU8(text), "Stopped by User");
    EXPECT_EQ(h.m_clock.GetSleptMs() - before, 1000);
    h.m_sink.ResetStop();
}

TEST_F(ConnectTest, FakeFileSystemByUrl) {
    CFakeFsRegistration reg(plan);
    job.SetSideFolder(1, Utf8ToWide(("fakefs://" + h.m_tmp.NativeSub("R")).c_str()));
    int failedSide = 0, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    EXPECT_EQ(plan->Connects(), 1);
    EXPECT_EQ(ToU8(job.m_apFs[1]->GetRootDir()), h.m_tmp.NativeSub("R"));
    job.DisconnectSides();
}

} // namespace
