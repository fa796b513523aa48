// The job list's forms: the typed record's tag table, whole lists through
// both forms byte for byte, and the readers' decisions.
#include "job-forms.h"

#include "TvFileSys.h"
#include "tv-common-test-util.h"
#include "zor-tic.h"

#include <string>
#include <vector>

using tvtest::StoreTest;
using tvtest::U8;

namespace {

// A job whose every option differs from its default.
void ChangeEveryOption(CSyncJobOptions& o, int nType, const CWideString& name) {
    o.SetDirection(nType);
    o.m_sName = name;
    o.m_Dir1.m_sUrl = CWideString(u"file:///home/\u00e9l\u00e8ve/") + name;
    o.m_Dir1.m_sUserID = u"user";
    o.m_Dir1.m_sPassword = u"enc:abc";
    o.m_Dir1.m_nChunkSize = 4096;
    o.m_Dir1.m_bUseProxy = 1;
    o.m_Dir1.m_sName = u"left \u65e5";
    o.m_Dir1.m_lstIncluded.AddTail(u"/in");
    o.m_Dir2.m_sUrl = u"s3://bucket/\u00fc";
    o.m_Dir2.m_bHostBasedAddr = 1;
    o.m_Dir2.m_lstExcluded.AddTail(u"*.tmp");
    using O = CSyncJobOptions;
    for (bool O::*f : {&O::m_bPropagateDeletions,
                       &O::m_bReadOnlySource,
                       &O::m_bConflictOnDiffItemsNoCommonHistory,
                       &O::m_bNoTvDataFolder,
                       &O::m_bCompareMD5crc,
                       &O::m_bSavePreviousVersion,
                       &O::m_bCleanupPreviousVersion,
                       &O::m_bSavePastVersions,
                       &O::m_bNoSavePreviousPastVersionsLocal,
                       &O::m_bCleanupPastVersions,
                       &O::m_bCleanupOldGenerations,
                       &O::m_bEstimateRequiredSpace,
                       &O::m_bAutoReconnect,
                       &O::m_bCopyUsingTempFile,
                       &O::m_bCopyACL,
                       &O::m_bCopyCreateTime,
                       &O::m_bSameBeforeSyncAsInAnalyze,
                       &O::m_bCopyLockedFiles,
                       &O::m_bFastPreAnalyzeWithStamps,
                       &O::m_bWaitForLocks,
                       &O::m_bFastStop,
                       &O::m_bDetectMovesAndRenames,
                       &O::m_bDetectFolderMoves,
                       &O::m_bRenameLosingFile,
                       &O::m_bAutoClearTree})
        o.*f = !(o.*f);
    for (int32_t O::*n : {&O::m_n1wayMode,
                          &O::m_nSaveDaysPreviousVersion,
                          &O::m_nSaveDaysPastVersions,
                          &O::m_nSaveMonthsOldGens,
                          &O::m_nReconnectAttempts,
                          &O::m_nSpeedLimit,
                          &O::m_nUpSpeedLimit,
                          &O::m_nShowBalloon,
                          &O::m_nWorkerThreads,
                          &O::m_nFolderLinks,
                          &O::m_nFileLinks,
                          &O::m_nOnFileChangeAction,
                          &O::m_nOnFileChangeDelay,
                          &O::m_nOnStartAction,
                          &O::m_nAutoStartDelay,
                          &O::m_nOnTimerAction,
                          &O::m_nTimerIntervalHours,
                          &O::m_nTimerIntervalMinutes,
                          &O::m_nOnFolderConnectAction,
                          &O::m_nOnLogoutAction,
                          &O::m_nOnVexaformAction,
                          &O::m_nAutoResolveConflicts,
                          &O::m_nLimitChangesPercent})
        o.*n += 7;
    o.m_sPreAnalyzeScriptOrEmail = u"pre \"q\" \\ x";
    o.m_sPostAnalyzeScriptOrEmail = u"mailto:a@b";
    o.m_sPostSyncScriptOrEmail = u"/bin/run \u00e4";
    o.m_bExcludeEmptyFolders = true;
    o.m_bExcludeHidden = !o.m_bExcludeHidden;
    o.m_bExcludeSystem = !o.m_bExcludeSystem;
    o.m_Filters.m_lstIncluded.AddTail(u"*.d\u00f6c");
    o.m_Filters.m_lstExcluded.AddTail(u"name \"x\\y\"");
}

std::string Bytes(const ZorStringOutStream& out) {
    return std::string(out.GetText().GetString(), (size_t)out.GetText().GetLength());
}

bool ReadListText(CTorvaneSettings& s, const std::string& text, bool bTix, CWideString& err) {
    ZorStringStream in(CNarrowString(text.c_str(), (int)text.size()));
    return bTix ? ReadJobListTix(s, in, err) : ReadJobListTic(s, in, err);
}

class JobForms : public StoreTest {};

} // namespace

TEST(JobFormsTags, TypedRecordFollowsTheTagTable) {
    std::string table =
        wtest::ReadFile(std::string(TV_SOURCE_DIR) + "/tests/torvane/tv-common/data/job-tags.bin");
    ASSERT_EQ(table.size(), 59u);
    CSyncJobFromList job;
    ChangeEveryOption(job.m_Options, 1, u"T");
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(WriteJobTic(job, out, err));
    // Walk the record: each tag, then its value skipped.
    std::string rec = Bytes(out), tags;
    ZorStringStream in(out.GetText());
    ASSERT_TRUE(GetTicPrefix(in, '[', err));
    for (;;) {
        unsigned char tag;
        bool bEnd = false;
        ASSERT_TRUE(GetTicTag(in, ']', tag, bEnd, err)) << U8(err);
        if (bEnd) break;
        tags += (char)tag;
        ASSERT_TRUE(SkipTicValue(in, tag, err)) << U8(err);
    }
    EXPECT_EQ(tags, table);
    EXPECT_NE(rec.find("@=1|"), std::string::npos); // the flag is written as a number
}

TEST_F(JobForms, ThreeJobsRoundTripByteIdenticalThroughBothFiles) {
    for (const char* file : {"jobs.tic", "jobs.tix"}) {
        SCOPED_TRACE(file);
        CTorvaneSettings s;
        s.m_sJobsFile = Utf8ToWide(file);
        const CWideString names[] = {u"Fotos \u00e4\u00f6\u00fc", u"\u65e5\u672c\u8a9e", u"plain"};
        for (int t = 0; t < 3; t++) {
            CSyncJobFromList job;
            ChangeEveryOption(job.m_Options, t, names[t]);
            s.AppendLoadedJob(new CSyncJobFromList(job));
        }
        CWideString err;
        ASSERT_TRUE(s.TvSaveJobs(false, u"test", err)) << U8(err);
        std::string first = wtest::ReadFile(ProfileFile(file));
        CTorvaneSettings back;
        back.m_sJobsFile = s.m_sJobsFile;
        ASSERT_TRUE(back.LoadJobs(err)) << U8(err);
        ASSERT_EQ(back.GetJobCount(), 3);
        for (int t = 0; t < 3; t++) {
            CSyncJobFromList* p = back.FindJob(names[t]);
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(p->m_Options.m_nDirection, t);
            EXPECT_TRUE(p->m_Options.m_bFastPreAnalyzeWithStamps);
            EXPECT_EQ(p->m_Options.m_Dir1, s.FindJob(names[t])->m_Options.m_Dir1);
        }
        ASSERT_TRUE(back.TvSaveJobs(false, u"again", err)) << U8(err);
        EXPECT_EQ(wtest::ReadFile(ProfileFile(file)), first);
    }
}

TEST_F(JobForms, ReadersDecideLegacyFoldersAndTheFastFlag) {
    const std::string online = U8(kVexaformOnlineUrl);
    auto url = [](const std::string& u) { return ":" + std::to_string(u.size()) + ":" + u + "|"; };
    struct Case {
        const char* name;
        std::string record;
        bool bFast;
        const char16_t* url1;
    };
    const Case cases[] = {
        {"no @, online side 1", "[0[u" + url(online + "me") + "]]", true, nullptr},
        {"@=0 whatever the URL", "[0[u" + url(online + "me") + "]@=0|]", false, nullptr},
        {"@=2 is off", "[@=2|]", false, nullptr},
        {"@=1 is on", "[@=1|]", true, nullptr},
        {"legacy l fills an empty URL", "[l" + url("/home/u/d") + "]", false, u"file:///home/u/d"},
        {"legacy l ignored when set", "[0[u" + url("file:///x") + "]l" + url("/home/u/d") + "]", false,
         u"file:///x"},
        {"unknown tags skipped", "[\xee[x=1|]\xef=5|@=1|]", true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSyncJobFromList job;
        CWideString err;
        ZorStringStream in(CNarrowString(c.record.c_str(), (int)c.record.size()));
        ASSERT_TRUE(ReadJobTic(job, in, err)) << U8(err);
        EXPECT_EQ(job.m_Options.m_bFastPreAnalyzeWithStamps, c.bFast);
        if (c.url1) {
            EXPECT_EQ(job.m_Options.m_Dir1.m_sUrl, c.url1);
        }
    }
    // The keyword text has no rule for the flag: absent keeps it off.
    CSyncJobFromList job;
    CWideString err;
    ZorStringStream in(CNarrowString(
        ("<Job>\nDir2 = <ConnectInfo>\nUrl = \"" + online + "x\"\n</ConnectInfo>\n</Job>\n").c_str()));
    ASSERT_TRUE(ReadJobTix(job, in, err)) << U8(err);
    EXPECT_FALSE(job.m_Options.m_bFastPreAnalyzeWithStamps);
}

TEST_F(JobForms, ListFramings) {
    struct Case {
        const char* name;
        std::string text;
        bool bTix;
        bool bOk;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"empty typed list", "[l<>]", false, true, {}},
        {"typed without l keeps the list", "[x=1|]", false, true, {"keep"}},
        {"two typed jobs", "[l<\n[n:1:a|]\n[n:1:b|]>]", false, true, {"a", "b"}},
        {"typed job fails midway", "[l<\n[n:1:a|]\n[n:9:b|]>]", false, false, {"a"}},
        {"empty keyword text", "", true, true, {"keep"}},
        {"blank keyword text", " \r\n\n", true, true, {"keep"}},
        {"blocks with blank lines",
         "<Job>\nName = \"a\"\n</Job>\n\r\n\r\n\n<Job>\nName = \"b\"\n</Job>\n  \n",
         true,
         true,
         {"keep", "a", "b"}},
        {"nested unknown block skipped",
         "<Job>\nName = \"a\"\nFuture = <Thing>\n  Inner = <Deeper>\n  </Deeper>\n</Thing>\n</Job>\n",
         true,
         true,
         {"keep", "a"}},
        {"truncated block", "<Job>\nName = \"a\"\n", true, false, {"keep"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTorvaneSettings s;
        CSyncJobFromList keep;
        keep.m_Options.m_sName = u"keep";
        s.AppendLoadedJob(new CSyncJobFromList(keep));
        CWideString err;
        EXPECT_EQ(ReadListText(s, c.text, c.bTix, err), c.bOk) << U8(err);
        std::vector<std::string> names;
        for (CSyncJobFromList* p : s.GetJobs()) names.push_back(U8(p->GetName()));
        EXPECT_EQ(names, c.names);
    }
    // An empty list writes "[l<>]" and nothing at all as keyword text.
    CTorvaneSettings empty;
    ZorStringOutStream tic, tix;
    CWideString err;
    ASSERT_TRUE(WriteJobListTic(empty, tic, err));
    ASSERT_TRUE(WriteJobListTix(empty, tix, false, err));
    EXPECT_EQ(Bytes(tic), "[l<>]");
    EXPECT_EQ(Bytes(tix), "");
}

TEST_F(JobForms, FindJobIgnoresCaseAndTheFirstMatchWins) {
    CTorvaneSettings s;
    for (const char16_t* n : {u"Docs", u"DOCS", u"other"}) {
        CSyncJobFromList j;
        j.m_Options.m_sName = n;
        s.AppendLoadedJob(new CSyncJobFromList(j));
    }
    CSyncJobFromList* p = FindJob(s, u"docs");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetName(), u"Docs");
    EXPECT_EQ(FindJobPosition(s, u"OTHER") != nullptr, true);
    EXPECT_EQ(FindJob(s, u"none"), nullptr);
}
