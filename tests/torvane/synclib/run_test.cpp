// The run driver: run names, run-log names, the order of the stages and the
// run states, the nested-folder refusals, the tree accessors and the small
// job services.
#include "job-harness.h"

#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-process.h"

#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

namespace {

// A job whose later stages record that they ran and do what a test asks.
class CStagedJob : public CSyncJob {
public:
    std::vector<std::string> calls;
    bool bAnalyzeOk = true;
    int nAnalyzeKind = 0;
    bool bFindChanges = false;
    bool bSyncOk = true;
    bool bLockInSync = false;
    bool bActionStarts = true;
    int nActionCode = 0;
    bool bPostSync = false, bPostOk = false;
    CWideString sPostErr;

    bool Analyze(const GlobalFilters*, bool bForSync, bool, bool, CWideString& summary, int& errKind,
                 CWideString& errText) override {
        const bool bConnected =
            m_bConnected && m_apFs[0] && m_apFs[0]->IsConnected() && m_apFs[1] && m_apFs[1]->IsConnected();
        calls.push_back(std::string("analyze") + (bConnected ? "+connected" : "") +
                        (bForSync ? "+forSync" : ""));
        summary = u"Changed=1 Errors=0 Conflicts=0";
        if (bFindChanges) m_bHasChanges = 1;
        if (!bAnalyzeOk) {
            errKind = nAnalyzeKind;
            errText += u"analyze failed";
        }
        return bAnalyzeOk;
    }
    bool Sync(CWideString&, int& errKind, CWideString& errText) override {
        calls.push_back("sync");
        if (bLockInSync) m_bFoldersLocked = 1;
        if (!bSyncOk) {
            errKind = FSE_GENERAL;
            errText += u"sync failed";
        }
        return bSyncOk;
    }
    bool SendEmailOrRunProgram(const CWideString& action, const CWideString& stage, bool, CWideString,
                               const CWideString&, const CWideString&, int& nCode, int& errKind,
                               CWideString& errText) override {
        calls.push_back("action:" + ToU8(stage) + ":" + ToU8(action));
        nCode = nActionCode;
        if (!bActionStarts) {
            errKind = FSE_GENERAL;
            errText += u"no such program";
        }
        return bActionStarts;
    }
    void PostRun(bool bSyncRun, bool bOk, CWideString errCopy, const CWideString& summary) override {
        calls.push_back("post-run");
        bPostSync = bSyncRun;
        bPostOk = bOk;
        sPostErr = errCopy;
        CSyncJob::PostRun(bSyncRun, bOk, errCopy, summary);
    }
};

class ConfirmingSink : public CRecordingSink {
public:
    bool bAnswer = true;
    bool ConfirmSync(int) override { return bAnswer; }
};

class RunTest : public ::testing::Test {
protected:
    CJobHarness h;
    CStagedJob job;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        h.Attach(job);
        job.SetName(u"Docs");
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
    }
    bool SawProgress(const CWideString& text) const {
        for (const auto& p : h.m_sink.ProgressLines())
            if (p.text == text) return true;
        return false;
    }
};

using Calls = std::vector<std::string>;

// ---------------------------------------------------------------- names

TEST(RunNames, ByFlags) {
    EXPECT_EQ(ToU8(CSyncJob::GetRunName(true, true)), "ANALYZE + SYNC");
    EXPECT_EQ(ToU8(CSyncJob::GetRunName(true, false)), "ANALYZE");
    EXPECT_EQ(ToU8(CSyncJob::GetRunName(false, true)), "SYNC");
    const long before = ZorAssertCount();
    EXPECT_EQ(ToU8(CSyncJob::GetRunName(false, false)), "undefined state");
    EXPECT_EQ(ZorAssertCount(), before + 1);
}

TEST_F(RunTest, RunLogNameFromLocalStartTimeComputerAndJob) {
    const int64_t t = 1700000000 + 86400 * 40 + 3723; // some moment
    h.m_clock.SetNow(t);
    struct tm lt {};
    const time_t tt = (time_t)t;
    ASSERT_NE(localtime_r(&tt, &lt), nullptr);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d%02d-%02d%02d%02d-", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
             lt.tm_hour, lt.tm_min, lt.tm_sec);
    const std::string expected = std::string(buf) + ToU8(GetComputerNameText()) + "-Docs";

    job.OpenRunLog(false, false);
    EXPECT_EQ(ToU8(job.GetRunLogName()), expected + ".log");
    EXPECT_EQ(ToU8(job.GetJobLog(0).GetFileName()), expected + ".log");
    EXPECT_EQ(ToU8(job.GetJobLog(1).GetFileName()), expected + ".log");

    job.OpenRunLog(true, false);
    EXPECT_EQ(ToU8(job.GetRunLogName()), expected + "-user-action.log");

    // A job name cannot carry a path into the log's file name.
    job.SetName(u"a/b\\c");
    job.OpenRunLog(false, false);
    EXPECT_EQ(job.GetRunLogName().Find(u'/'), -1);
    EXPECT_EQ(job.GetRunLogName().Find(u'\\'), -1);
    // Nor a computer name from the environment.
    const char* saved = getenv("COMPUTERNAME");
    const std::string keep = saved ? saved : "";
    setenv("COMPUTERNAME", "pc/../..\\x", 1);
    job.OpenRunLog(false, false);
    if (saved)
        setenv("COMPUTERNAME", keep.c_str(), 1);
    else
        unsetenv("COMPUTERNAME");
    EXPECT_EQ(job.GetRunLogName().Find(u'/'), -1);
    EXPECT_EQ(job.GetRunLogName().Find(u'\\'), -1);
}

TEST_F(RunTest, SyncOnlyRunReusesThePreviousLogNameAnalyzeMakesANewOne) {
    // Sync-only with no previous name: a new one.
    auto r = h.Run(job, false, true);
    const CWideString first = job.GetRunLogName();
    ASSERT_FALSE(first.IsEmpty());
    h.m_clock.Advance(5000);
    r = h.Run(job, false, true);
    EXPECT_EQ(job.GetRunLogName(), first);
    r = h.Run(job, true, false);
    EXPECT_NE(job.GetRunLogName(), first);
}

// ---------------------------------------------------------------- order and states

TEST_F(RunTest, AnalyzeAndSyncRunInOrderAfterTheConnect) {
    job.bFindChanges = true;
    auto r = h.Run(job, true, true);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "sync", "post-run"}));
    EXPECT_TRUE(job.bPostSync);
    EXPECT_TRUE(job.bPostOk);
    EXPECT_TRUE(r.sResult.IsEmpty());
    EXPECT_EQ(job.m_bRunStarted, 1);
    // Post-run leaves both sides disconnected.
    EXPECT_FALSE(job.m_apFs[0]);
    EXPECT_FALSE(job.m_apFs[1]);
    // The connect showed its progress line for each side.
    EXPECT_TRUE(
        SawProgress(u"** " + FormatLocalizedString(IDS_Str_Status_ConnectingToFolder, h.m_tmp.Path("L"))));
    EXPECT_TRUE(
        SawProgress(u"** " + FormatLocalizedString(IDS_Str_Status_ConnectingToFolder, h.m_tmp.Path("R"))));
}

TEST_F(RunTest, NoChangesMeansNoSync) {
    auto r = h.Run(job, true, true);
    EXPECT_TRUE(r.bOk);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "post-run"}));
    EXPECT_FALSE(job.bPostSync);
    EXPECT_EQ(job.m_bSync, 0);
}

TEST_F(RunTest, AnalyzeOnlyNeverSyncs) {
    job.bFindChanges = true;
    auto r = h.Run(job, true, false);
    EXPECT_TRUE(r.bOk);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "post-run"}));
}

TEST_F(RunTest, TheSinkMayDeclineTheSync) {
    ConfirmingSink sink;
    sink.bAnswer = false;
    job.SetProgressSink(&sink);
    job.bFindChanges = true;
    auto r = h.Run(job, true, true);
    EXPECT_TRUE(r.bOk);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "post-run"}));
    job.SetProgressSink(&h.m_sink);
}

TEST_F(RunTest, SyncOnlyRunDoesNotConnectOrAnalyze) {
    auto r = h.Run(job, false, true);
    EXPECT_TRUE(r.bOk);
    EXPECT_EQ(job.calls, (Calls{"sync", "post-run"}));
    EXPECT_TRUE(job.bPostSync);
}

TEST_F(RunTest, NeitherFlagRunsOnlyPostRun) {
    const long before = ZorAssertCount();
    auto r = h.Run(job, false, false);
    EXPECT_GT(ZorAssertCount(), before);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), "not run");
    EXPECT_EQ(job.calls, (Calls{"post-run"}));
}

TEST_F(RunTest, AutomaticRunAsksTheMayRunCheckForSync) {
    auto r = h.Run(job, true, false, RK_AUTOMATIC);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected+forSync", "post-run"}));
    // An automatic run makes the data folders while preparing.
    EXPECT_TRUE(h.m_tmp.Exists("L/_tvdata_"));
    EXPECT_TRUE(h.m_tmp.Exists("R/_tvdata_"));
}

TEST_F(RunTest, FailedOrStoppedAnalyzeSetsItsRunStateAndResetsTheTree) {
    job.bFindChanges = true;
    job.bAnalyzeOk = false;
    job.nAnalyzeKind = FSE_GENERAL;
    CWideString addErr;
    ASSERT_NE(job.GetPairsUnchecked()->AddItemCS(u"x", false, false, nullptr, addErr), nullptr);
    auto r = h.Run(job, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_EQ(ToU8(r.sResult), "analyze failed");
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "post-run"}));
    EXPECT_EQ(job.GetPairsUnchecked()->GetChildCount(), 0);
    EXPECT_EQ(ToU8(job.sPostErr), "analyze failed");

    job.calls.clear();
    job.nAnalyzeKind = FSE_STOPPED;
    r = h.Run(job, true, true);
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_STOPPED);
    EXPECT_TRUE(SawProgress(u"Analysis Stopped by User"));
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "post-run"}));
}

TEST_F(RunTest, ConnectFailureEndsTheRunBeforeAnalyze) {
    job.SetSideFolder(1, h.m_tmp.Path("missing"));
    auto r = h.Run(job, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_EQ(ToU8(r.sResult), "Root folder does not exist: " + h.m_tmp.NativeSub("missing"));
    EXPECT_EQ(job.calls, (Calls{"post-run"}));
    EXPECT_FALSE(h.m_tmp.Exists("missing"));
}

TEST_F(RunTest, PreAnalyzeActionRunsFirstAndItsFailureStopsTheRun) {
    job.m_Options.m_sPreAnalyzeScriptOrEmail = u"/bin/check-disks";
    job.nActionCode = 3;
    auto r = h.Run(job, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), "Pre-Analyze script returned error code 3, so do not Analyze");
    EXPECT_EQ(r.nErrKind, FSE_GENERAL);
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_EQ(job.calls, (Calls{"action:Pre-Analyze:/bin/check-disks", "post-run"}));
    // No connection was made: no mirror folder exists yet.
    EXPECT_FALSE(h.m_tmp.Exists("mirror-root"));

    job.calls.clear();
    job.bActionStarts = false;
    r = h.Run(job, true, true);
    EXPECT_EQ(ToU8(r.sResult), "Cannot run Pre-Analyze Script: no such program");
    EXPECT_EQ(r.nSub, RSS_FAILED);

    // Exit code 0 (and -1, nothing run) go on to connect and Analyze.
    for (int code : {0, -1}) {
        job.calls.clear();
        job.bActionStarts = true;
        job.nActionCode = code;
        r = h.Run(job, true, false);
        EXPECT_TRUE(r.bOk) << code;
        EXPECT_EQ(job.calls, (Calls{"action:Pre-Analyze:/bin/check-disks", "analyze+connected", "post-run"}));
    }
}

TEST_F(RunTest, FoldersLockedBySyncAreUnlockedBeforePostRun) {
    job.bFindChanges = true;
    job.bLockInSync = true;
    job.bSyncOk = false;
    auto r = h.Run(job, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), "sync failed");
    EXPECT_EQ(job.m_bFoldersLocked, 0);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected", "sync", "post-run"}));
}

// ---------------------------------------------------------------- nested folders

class NestedTest : public RunTest {
protected:
    // An automatic run would make the data folders right after the test:
    // a refusal must leave both sides untouched.
    CJobHarness::RunResult RunAuto(const CWideString& left, const CWideString& right) {
        job.SetSideFolder(0, left);
        job.SetSideFolder(1, right);
        job.calls.clear();
        return h.Run(job, true, false, RK_AUTOMATIC);
    }
    std::string Nested(const std::string& l, const std::string& r) {
        return ToU8(
            FormatLocalizedString(IDS_Str_Msg_NestedFolders2, Utf8ToWide(l.c_str()), Utf8ToWide(r.c_str())));
    }
};

TEST_F(NestedTest, SameFolderIsRefused) {
    auto r = RunAuto(h.m_tmp.Path("L"), h.m_tmp.Path("L"));
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), "Left and right folders are the same.");
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_EQ(job.calls, (Calls{"post-run"}));
    EXPECT_TRUE(h.m_tmp.List("L").empty());
}

TEST_F(NestedTest, NestedFoldersAreRefusedAndNothingIsCreated) {
    ASSERT_TRUE(h.m_tmp.MakeDir("x/Data/sub"));
    auto r = RunAuto(h.m_tmp.Path("x/Data"), h.m_tmp.Path("x/Data/sub"));
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), Nested(h.m_tmp.NativeSub("x/Data"), h.m_tmp.NativeSub("x/Data/sub")));
    EXPECT_EQ(job.calls, (Calls{"post-run"}));
    EXPECT_EQ(h.m_tmp.List("x/Data"), std::vector<std::string>{"sub"});
    EXPECT_TRUE(h.m_tmp.List("x/Data/sub").empty());

    // The other way round, and with the second given as a URL with a trailing '/'.
    r = RunAuto(Utf8ToWide(("file://" + h.m_tmp.NativeSub("x/Data/sub")).c_str()), h.m_tmp.Path("x/Data"));
    EXPECT_FALSE(r.bOk);
    r = RunAuto(h.m_tmp.Path("x/Data"), Utf8ToWide(("file://" + h.m_tmp.NativeSub("x/Data") + "/").c_str()));
    EXPECT_FALSE(r.bOk);
    EXPECT_NE(ToU8(r.sResult).find("Cannot Analyze nested folders."), std::string::npos);
    EXPECT_TRUE(h.m_tmp.List("x/Data/sub").empty());
}

TEST_F(NestedTest, APrefixThatIsNotAFolderBoundaryIsNotNested) {
    ASSERT_TRUE(h.m_tmp.MakeDir("x/Data"));
    ASSERT_TRUE(h.m_tmp.MakeDir("x/Database"));
    auto r = RunAuto(h.m_tmp.Path("x/Data"), h.m_tmp.Path("x/Database"));
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(job.calls, (Calls{"analyze+connected+forSync", "post-run"}));
}

TEST_F(NestedTest, ASymlinkedSideIsComparedByItsRealPath) {
    ASSERT_TRUE(h.m_tmp.MakeDir("x/Data/sub"));
    ASSERT_EQ(symlink(h.m_tmp.NativeSub("x/Data/sub").c_str(), h.m_tmp.NativeSub("link").c_str()), 0);
    auto r = RunAuto(h.m_tmp.Path("x/Data"), h.m_tmp.Path("link"));
    EXPECT_FALSE(r.bOk);
    // The shown right folder names its real path.
    EXPECT_EQ(ToU8(r.sResult), Nested(h.m_tmp.NativeSub("x/Data"),
                                      h.m_tmp.NativeSub("link") + " == " + h.m_tmp.NativeSub("x/Data/sub")))
        << ToU8(r.sResult);
    EXPECT_TRUE(h.m_tmp.List("x/Data/sub").empty());
    EXPECT_EQ(job.calls, (Calls{"post-run"}));
}

TEST_F(NestedTest, FoldersDifferingInCaseAreDistinctOnACaseSensitiveDisk) {
    ASSERT_TRUE(h.m_tmp.MakeDir("data/Docs"));
    ASSERT_TRUE(h.m_tmp.MakeDir("data/docs/sub"));
    auto r = RunAuto(h.m_tmp.Path("data/Docs"), h.m_tmp.Path("data/docs/sub"));
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
}

TEST_F(NestedTest, AFolderThatCannotBeResolvedIsRefusedWithItsOwnText) {
    ASSERT_TRUE(h.m_tmp.MakeDir("gone"));
    job.SetSideFolder(1, h.m_tmp.Path("gone"));
    int failedSide = -1, kind = 0;
    CWideString err;
    ASSERT_TRUE(job.ConnectSides(failedSide, kind, err)) << ToU8(err);
    ASSERT_EQ(rmdir(h.m_tmp.NativeSub("gone").c_str()), 0);
    EXPECT_FALSE(job.PrepareRun(kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    const std::string text = ToU8(err);
    EXPECT_EQ(text.rfind("Cannot tell whether folders '", 0), 0u) << text;
    EXPECT_NE(text.find(h.m_tmp.NativeSub("gone")), std::string::npos) << text;

    // The job list's form counts "cannot tell" as overlapping.
    CWideString a, b;
    EXPECT_TRUE(HasCommonFolder(job.m_Options.m_Dir1, job.m_Options.m_Dir2, a, b, nullptr));
    job.DisconnectSides();
}

TEST(HasCommonFolder, GivesTheResolvedFoldersWithoutTrailingSlash) {
    CTempFolder tmp;
    ASSERT_TRUE(tmp.MakeDir("a/b"));
    TvConnectInfo l, r;
    l.m_sUrl = tmp.Path("a") + u"/";
    r.m_sUrl = tmp.Path("a/b");
    CWideString ca, cb, err;
    bool bCannotTell = true;
    EXPECT_TRUE(HasCommonFolder(l, r, ca, cb, nullptr, bCannotTell, err));
    EXPECT_FALSE(bCannotTell);
    EXPECT_EQ(ca, tmp.Path("a"));
    EXPECT_EQ(cb, tmp.Path("a/b"));
    // Different user ids are different places.
    r.m_sUserID = u"someone";
    EXPECT_FALSE(HasCommonFolder(l, r, ca, cb, nullptr, bCannotTell, err));
}

// ---------------------------------------------------------------- tree access

TEST_F(RunTest, TheReadGuardHoldsOnlyOutsideTheRun) {
    CSyncPairsAndActions* tree = job.GetPairsUnchecked();
    job.m_nActivity.store(JA_ANALYZING);
    EXPECT_EQ(job.GetPairsForRead(), nullptr);
    EXPECT_EQ(job.GetPairsForWrite(), tree);
    job.m_nActivity.store(JA_SYNCING);
    EXPECT_EQ(job.GetPairsForRead(), tree);
    EXPECT_EQ(job.GetPairsForWrite(), tree);
    job.m_nActivity.store(JA_ANALYZED);
    EXPECT_EQ(job.GetPairsForRead(), tree);
    const long before = ZorAssertCount();
    EXPECT_EQ(job.GetPairsForWrite(), nullptr);
    EXPECT_EQ(ZorAssertCount(), before + 1);
}

// During an Analyze + Sync run the activity stays 3 from start to end; the
// stages reach the tree through the unchecked accessor.
TEST_F(RunTest, TheStagesOfARunReachTheTree) {
    class TreeJob : public CStagedJob {
    public:
        bool bSawTree = false;
        bool Sync(CWideString& s, int& k, CWideString& e) override {
            bSawTree = GetPairsUnchecked() != nullptr && m_nActivity.load() == JA_ANALYZING;
            return CStagedJob::Sync(s, k, e);
        }
    } tj;
    h.Attach(tj);
    tj.SetName(u"T");
    tj.SetSideFolder(0, h.m_tmp.Path("L"));
    tj.SetSideFolder(1, h.m_tmp.Path("R"));
    tj.bFindChanges = true;
    auto r = h.Run(tj, true, true);
    EXPECT_TRUE(r.bOk);
    EXPECT_TRUE(tj.bSawTree);
}

// ---------------------------------------------------------------- job setup and small services

TEST(InitNewJob, ChecksTypeAndName) {
    CSyncJob job;
    CWideString err;
    EXPECT_FALSE(InitNewJob(u"J", 3, u"", u"", &job, err));
    EXPECT_EQ(ToU8(err), "bad job type 3");
    err.Empty();
    EXPECT_FALSE(InitNewJob(u"", 1, u"", u"", &job, err));
    EXPECT_EQ(ToU8(err), "cannot create job with empty name");
    EXPECT_EQ(job.m_Options.m_nDirection, 1);
    err.Empty();
    EXPECT_TRUE(InitNewJob(u"J", 2, u"/l", u"", &job, err));
    EXPECT_EQ(ToU8(job.m_Options.m_sName), "J");
    EXPECT_EQ(ToU8(job.GetLeftFolder()), "/l");
    EXPECT_TRUE(job.GetRightFolder().IsEmpty());
}

TEST(JobServices, StopStarterAndFatalKinds) {
    CRecordingSink sink;
    CSyncJob job;
    job.SetProgressSink(&sink);
    int kind = 0;
    CWideString err;
    EXPECT_TRUE(job.CheckStop(kind, err));
    EXPECT_TRUE(job.IsNotStopped());
    sink.RequestStop();
    EXPECT_FALSE(job.CheckStop(kind, err));
    EXPECT_EQ(kind, FSE_STOPPED);
    EXPECT_EQ(ToU8(err), "Stopped by User");
    EXPECT_FALSE(job.IsNotStopped());

    EXPECT_EQ(ToU8(job.GetStarterText()), "User");
    job.m_nRunKind = RK_AUTOMATIC;
    job.m_sStarter = u"Scheduler";
    EXPECT_EQ(ToU8(job.GetStarterText()), "Scheduler");

    for (int k : {10, 1, 2, 9, 11, 8}) EXPECT_TRUE(IsFatalErrorKind(k)) << k;
    for (int k : {0, 3, 4, 5, 7}) EXPECT_FALSE(IsFatalErrorKind(k)) << k;

    CFileStamp a, b;
    a.m_sName = u"x";
    a.m_nSize = b.m_nSize = 5;
    a.m_nModTime = b.m_nModTime = 100;
    EXPECT_TRUE(a == b);
    b.m_nModTime = 101;
    EXPECT_FALSE(a == b);
    EXPECT_EQ(ToU8(a.Describe()).rfind("size=5 mod-time=", 0), 0u);

    EXPECT_TRUE(NarrowStartsWith("By: me", "By: "));
    EXPECT_FALSE(NarrowStartsWith("By", "By: "));
}

TEST(JobServices, SideConnectInfoIsNotChangedDuringARun) {
    CSyncJob job;
    job.m_nActivity.store(JA_ANALYZING);
    const long before = ZorAssertCount();
    job.SetSideFolder(0, u"/a");
    EXPECT_EQ(ZorAssertCount(), before + 1);
    job.m_nActivity.store(JA_NOT_ANALYZED);
    EXPECT_FALSE(job.SetSideConnectInfo(2, TvConnectInfo()));
    EXPECT_TRUE(job.GetSideFolder(5).IsEmpty());
}

} // namespace
