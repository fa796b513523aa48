// Job options record: defaults, SetDirection, the "Job" block writer (exact
// bytes, full dump, the keys that are always written), the reader
// (round trip of every keyed field, skipping, errors), the "ProxyServer"
// block and the small text helpers.
#include "sync-options.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Str(const CNarrowString& s) {
    return std::string(s.GetString(), (size_t)s.GetLength());
}
CNarrowString N(const std::string& s) {
    return CNarrowString(s.data(), (int)s.size());
}

std::string Write(const CSyncJobOptions& o, bool bFull = false, int nLevel = 0) {
    ZorStringOutStream out;
    CWideString err;
    EXPECT_TRUE(WriteJobOptions(o, out, bFull, nLevel, err)) << err;
    return Str(out.GetText());
}

bool Read(const std::string& text, CSyncJobOptions& o, CWideString& err) {
    ZorStringStream in(N(text));
    return ReadJobTix(o, in, err);
}

CSyncJobOptions RoundTrip(const CSyncJobOptions& o, bool bFull) {
    CSyncJobOptions r;
    CWideString err;
    EXPECT_TRUE(Read(Write(o, bFull), r, err)) << err;
    return r;
}

// The keys of the block's lines in order (the word before " = " of every
// line that has one and is not inside a nested block).
std::vector<std::string> TopLevelKeys(const std::string& text) {
    std::vector<std::string> keys;
    size_t pos = 0;
    int depth = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos) continue;
        line = line.substr(first);
        size_t eq = line.find(" = ");
        if (depth == 1 && eq != std::string::npos) keys.push_back(line.substr(0, eq));
        // Count the block tags on the line.
        for (size_t i = 0; (i = line.find('<', i)) != std::string::npos; ++i)
            depth += line.compare(i, 2, "</") == 0 ? -1 : 1;
    }
    return keys;
}

// An output stream that fails once it has taken nLimit bytes.
class LimitedOutStream : public ZorOutStream {
public:
    explicit LimitedOutStream(int nLimit) : m_nLimit(nLimit) {}
    bool PutChar(unsigned char, CWideString& sErr) override {
        if (m_nCount >= m_nLimit) {
            sErr += u"disk full";
            return false;
        }
        ++m_nCount;
        return true;
    }
    bool Close(CWideString&) override { return true; }

private:
    int m_nLimit;
    int m_nCount = 0;
};

const char* const kDefaultBlock = "<Job>\n"
                                  "Dir1 = <ConnectInfo>\n"
                                  "</ConnectInfo>\n"
                                  "Dir2 = <ConnectInfo>\n"
                                  "</ConnectInfo>\n"
                                  "Direction = 0\n"
                                  "1wayMode = 0\n"
                                  "CleanupOldGenerations = Yes\n"
                                  "FolderLinks = 0\n"
                                  "FileLinks = 2\n"
                                  "ReconnectAttempts = 3\n"
                                  "TimerIntervalHours = 2\n"
                                  "DetectMovesAndRenames = Yes\n"
                                  "DetectFolderMoves = Yes\n"
                                  "</Job>\n";

// Every key of the block in its written order, filters included.
const std::vector<std::string> kAllKeys = {
    "Name",
    "Dir1",
    "Dir2",
    "Direction",
    "1wayMode",
    "ReadOnlySource",
    "PropagateDeletions",
    "SavePreviousVersion",
    "CleanupPreviousVersion",
    "SaveDaysPreviousVersion",
    "CompareMD5crc",
    "ConflictOnDiffItemsNoCommonHistory",
    "NoTvDataFolder",
    "SavePastVersions",
    "CleanupPastVersions",
    "SaveDaysPastVersions",
    "CleanupOldGenerations",
    "SaveMonthsOldGens",
    "CopyUsingTempFile",
    "EstimateRequiredSpace",
    "CopyLockedFiles",
    "SameBeforeSyncAsInAnalyze",
    "CopyACL",
    "CopyCreateTime",
    "FastPreAnalyzeWithStamps",
    "WaitForLocks",
    "FolderLinks",
    "FileLinks",
    "FiltersIncluded",
    "FiltersExcluded",
    "ExcludeEmptyFolders",
    "ExcludeHidden",
    "ExcludeSystem",
    "SpeedLimit",
    "UpSpeedLimit",
    "AutoReconnect",
    "ReconnectAttempts",
    "PreAnalyzeScriptOrEmail",
    "PostAnalyzeScriptOrEmail",
    "PostSyncScriptOrEmail",
    "LimitChangesPercent",
    "ShowBalloon",
    "OnFolderConnectAction",
    "OnFileChangeAction",
    "OnStartAction",
    "OnTimerAction",
    "TimerIntervalHours",
    "TimerIntervalMinutes",
    "OnLogoutAction",
    "OnVexaformAction",
    "AutoResolveConflicts",
    "RenameLosingFile",
    "AutoClearTree",
    "AutoStartDelay",
    "OnFileChangeDelay",
    "NoSavePreviousPastVersionsLocal",
    "FastStop",
    "DetectMovesAndRenames",
    "DetectFolderMoves",
    "WorkerThreads",
};

// Every keyed field away from its default (and the two keyless ones too).
void SetEverything(CSyncJobOptions& o) {
    o.m_sName = u"Docs \"\u00e9t\u00e9\" \\ \U0001F600";
    o.m_Dir1.m_sUrl = u"file:///home/me/docs";
    o.m_Dir1.m_nChunkSize = 65536;
    o.m_Dir2.m_sUrl = u"file:///mnt/backup/docs";
    o.m_Dir2.m_bFatLike = 1;
    o.m_nDirection = 2;
    o.m_n1wayMode = 1;
    o.m_bPropagateDeletions = false;
    o.m_bReadOnlySource = true;
    o.m_bConflictOnDiffItemsNoCommonHistory = true;
    o.m_bNoTvDataFolder = true;
    o.m_nNoTvDataFolderSide = 0;
    o.m_bCompareMD5crc = true;
    o.m_bSavePreviousVersion = false;
    o.m_bCleanupPreviousVersion = false;
    o.m_nSaveDaysPreviousVersion = 31;
    o.m_bSavePastVersions = true;
    o.m_bNoSavePreviousPastVersionsLocal = true;
    o.m_bCleanupPastVersions = true;
    o.m_nSaveDaysPastVersions = 32;
    o.m_bCleanupOldGenerations = false;
    o.m_nSaveMonthsOldGens = 25;
    o.m_bEstimateRequiredSpace = false;
    o.m_bAutoReconnect = false;
    o.m_nReconnectAttempts = 7;
    o.m_nSpeedLimit = 100;
    o.m_nUpSpeedLimit = 200;
    o.m_nShowBalloon = 0;
    o.m_bCopyUsingTempFile = false;
    o.m_bCopyACL = true;
    o.m_bCopyCreateTime = true;
    o.m_bSameBeforeSyncAsInAnalyze = true;
    o.m_bCopyLockedFiles = false;
    o.m_bFastPreAnalyzeWithStamps = true;
    o.m_bWaitForLocks = true;
    o.m_bFastStop = true;
    o.m_bDetectMovesAndRenames = false;
    o.m_bDetectFolderMoves = false;
    o.m_nWorkerThreads = 4;
    o.m_nFolderLinks = 1;
    o.m_nFileLinks = -5;
    o.m_nOnFileChangeAction = 3;
    o.m_nOnFileChangeDelay = 4;
    o.m_nOnStartAction = 5;
    o.m_nAutoStartDelay = 6;
    o.m_nOnTimerAction = 7;
    o.m_nTimerIntervalHours = 0;
    o.m_nTimerIntervalMinutes = 9;
    o.m_nOnFolderConnectAction = 10;
    o.m_nOnLogoutAction = 11;
    o.m_nOnVexaformAction = 12;
    o.m_nAutoResolveConflicts = 13;
    o.m_bRenameLosingFile = true;
    o.m_sConflictCopyName = u" (mine)";
    o.m_nLimitChangesPercent = -2147483647 - 1;
    o.m_bAutoClearTree = true;
    o.m_sPreAnalyzeScriptOrEmail = u"nowait: \"/usr/bin/my tool\" %JOBNAME%";
    o.m_sPostAnalyzeScriptOrEmail = u"me@example.com";
    o.m_sPostSyncScriptOrEmail = u"errors: /bin/echo \"line\nbreak\"";
    o.m_bExcludeEmptyFolders = true;
    o.m_bExcludeHidden = true;
    o.m_bExcludeSystem = true;
    o.m_Filters.m_lstIncluded.AddTail(u"/Docs");
    o.m_Filters.m_lstIncluded.AddTail(u"*.\u00e9\"x\\y");
    o.m_Filters.m_lstExcluded.AddTail(u"size>1M;name *.log");
}

void ExpectEverything(const CSyncJobOptions& o) {
    EXPECT_EQ(o.m_sName, CWideString(u"Docs \"\u00e9t\u00e9\" \\ \U0001F600"));
    EXPECT_EQ(o.m_Dir1.m_sUrl, CWideString(u"file:///home/me/docs"));
    EXPECT_EQ(o.m_Dir1.m_nChunkSize, 65536);
    EXPECT_EQ(o.m_Dir2.m_sUrl, CWideString(u"file:///mnt/backup/docs"));
    EXPECT_EQ(o.m_Dir2.m_bFatLike, 1);
    EXPECT_EQ(o.m_nDirection, 2);
    EXPECT_EQ(o.m_n1wayMode, 1);
    EXPECT_FALSE(o.m_bPropagateDeletions);
    EXPECT_TRUE(o.m_bReadOnlySource);
    EXPECT_TRUE(o.m_bConflictOnDiffItemsNoCommonHistory);
    EXPECT_TRUE(o.m_bNoTvDataFolder);
    EXPECT_TRUE(o.m_bCompareMD5crc);
    EXPECT_FALSE(o.m_bSavePreviousVersion);
    EXPECT_FALSE(o.m_bCleanupPreviousVersion);
    EXPECT_EQ(o.m_nSaveDaysPreviousVersion, 31);
    EXPECT_TRUE(o.m_bSavePastVersions);
    EXPECT_TRUE(o.m_bNoSavePreviousPastVersionsLocal);
    EXPECT_TRUE(o.m_bCleanupPastVersions);
    EXPECT_EQ(o.m_nSaveDaysPastVersions, 32);
    EXPECT_FALSE(o.m_bCleanupOldGenerations);
    EXPECT_EQ(o.m_nSaveMonthsOldGens, 25);
    EXPECT_FALSE(o.m_bEstimateRequiredSpace);
    EXPECT_FALSE(o.m_bAutoReconnect);
    EXPECT_EQ(o.m_nReconnectAttempts, 7);
    EXPECT_EQ(o.m_nSpeedLimit, 100);
    EXPECT_EQ(o.m_nUpSpeedLimit, 200);
    EXPECT_EQ(o.m_nShowBalloon, 0);
    EXPECT_FALSE(o.m_bCopyUsingTempFile);
    EXPECT_TRUE(o.m_bCopyACL);
    EXPECT_TRUE(o.m_bCopyCreateTime);
    EXPECT_TRUE(o.m_bSameBeforeSyncAsInAnalyze);
    EXPECT_FALSE(o.m_bCopyLockedFiles);
    EXPECT_TRUE(o.m_bFastPreAnalyzeWithStamps);
    EXPECT_TRUE(o.m_bWaitForLocks);
    EXPECT_TRUE(o.m_bFastStop);
    EXPECT_FALSE(o.m_bDetectMovesAndRenames);
    EXPECT_FALSE(o.m_bDetectFolderMoves);
    EXPECT_EQ(o.m_nWorkerThreads, 4);
    EXPECT_EQ(o.m_nFolderLinks, 1);
    EXPECT_EQ(o.m_nFileLinks, -5);
    EXPECT_EQ(o.m_nOnFileChangeAction, 3);
    EXPECT_EQ(o.m_nOnFileChangeDelay, 4);
    EXPECT_EQ(o.m_nOnStartAction, 5);
    EXPECT_EQ(o.m_nAutoStartDelay, 6);
    EXPECT_EQ(o.m_nOnTimerAction, 7);
    EXPECT_EQ(o.m_nTimerIntervalHours, 0);
    EXPECT_EQ(o.m_nTimerIntervalMinutes, 9);
    EXPECT_EQ(o.m_nOnFolderConnectAction, 10);
    EXPECT_EQ(o.m_nOnLogoutAction, 11);
    EXPECT_EQ(o.m_nOnVexaformAction, 12);
    EXPECT_EQ(o.m_nAutoResolveConflicts, 13);
    EXPECT_TRUE(o.m_bRenameLosingFile);
    EXPECT_EQ(o.m_nLimitChangesPercent, -2147483647 - 1);
    EXPECT_TRUE(o.m_bAutoClearTree);
    EXPECT_EQ(o.m_sPreAnalyzeScriptOrEmail, CWideString(u"nowait: \"/usr/bin/my tool\" %JOBNAME%"));
    EXPECT_EQ(o.m_sPostAnalyzeScriptOrEmail, CWideString(u"me@example.com"));
    EXPECT_EQ(o.m_sPostSyncScriptOrEmail, CWideString(u"errors: /bin/echo \"line\nbreak\""));
    EXPECT_TRUE(o.m_bExcludeEmptyFolders);
    EXPECT_TRUE(o.m_bExcludeHidden);
    EXPECT_TRUE(o.m_bExcludeSystem);
    CJobFilters f;
    f.m_lstIncluded.AddTail(u"/Docs");
    f.m_lstIncluded.AddTail(u"*.\u00e9\"x\\y");
    f.m_lstExcluded.AddTail(u"size>1M;name *.log");
    EXPECT_TRUE(o.m_Filters == f);
}

} // namespace

TEST(JobOptions, DefaultsAndSetDirection) {
    CSyncJobOptions o;
    EXPECT_EQ(o.m_nNoTvDataFolderSide, 1);
    EXPECT_EQ(o.m_sConflictCopyName,
              CWideString(u" (Conflicted copy from %COMPUTERNAME% on %YYYY%-%MM%-%DD%)"));
    EXPECT_TRUE(o.m_Filters.IsEmpty());

    o.m_bPropagateDeletions = o.m_bCopyLockedFiles = false;
    o.m_nLimitChangesPercent = 25;
    o.m_bCopyCreateTime = true;
    o.SetDirection(0);
    EXPECT_TRUE(o.m_bPropagateDeletions && o.m_bCopyLockedFiles && o.m_bExcludeHidden && o.m_bExcludeSystem);
    EXPECT_FALSE(o.m_bCopyCreateTime);
    EXPECT_EQ(o.m_nLimitChangesPercent, 25); // two-way keeps the threshold

    o.m_n1wayMode = 2;
    o.SetDirection(1);
    EXPECT_EQ(o.m_nDirection, 1);
    EXPECT_EQ(o.m_n1wayMode, 0);
    EXPECT_EQ(o.m_nLimitChangesPercent, 100);
    EXPECT_TRUE(o.m_bCopyCreateTime);
    EXPECT_FALSE(o.m_bExcludeHidden || o.m_bExcludeSystem);
}

TEST(JobOptionsWrite, DefaultBlockIsByteExact) {
    EXPECT_EQ(Write(CSyncJobOptions()), kDefaultBlock);
}

TEST(JobOptionsWrite, OffValuesOfOnByDefaultKeysAreWrittenAndSurviveReload) {
    CSyncJobOptions o;
    o.m_bCleanupOldGenerations = false;
    o.m_nTimerIntervalHours = 0;
    o.m_bDetectMovesAndRenames = false;
    o.m_bDetectFolderMoves = false;
    std::string text = Write(o);
    EXPECT_NE(text.find("CleanupOldGenerations = No\n"), std::string::npos);
    EXPECT_NE(text.find("TimerIntervalHours = 0\n"), std::string::npos);
    EXPECT_NE(text.find("DetectMovesAndRenames = No\n"), std::string::npos);
    EXPECT_NE(text.find("DetectFolderMoves = No\n"), std::string::npos);
    CSyncJobOptions r = RoundTrip(o, false);
    EXPECT_FALSE(r.m_bCleanupOldGenerations);
    EXPECT_EQ(r.m_nTimerIntervalHours, 0);
    EXPECT_FALSE(r.m_bDetectMovesAndRenames);
    EXPECT_FALSE(r.m_bDetectFolderMoves);
}

TEST(JobOptionsWrite, FlagsAndNamePlacement) {
    CSyncJobOptions o;
    o.m_bFastPreAnalyzeWithStamps = true;
    o.m_sName = u"Docs";
    std::string text = Write(o);
    EXPECT_EQ(text.find("<Job>\nName = \"Docs\"\nDir1 = <ConnectInfo>\n"), 0u) << text;
    EXPECT_NE(text.find("FileLinks = 2\n"), std::string::npos);
    // Between the CopyCreateTime and WaitForLocks positions of the order.
    EXPECT_NE(text.find("CleanupOldGenerations = Yes\nFastPreAnalyzeWithStamps = Yes\nFolderLinks = 0\n"),
              std::string::npos)
        << text;
    o.m_bWaitForLocks = true;
    o.m_bCopyCreateTime = true;
    text = Write(o);
    EXPECT_NE(text.find("CopyCreateTime = Yes\nFastPreAnalyzeWithStamps = Yes\nWaitForLocks = Yes\n"),
              std::string::npos)
        << text;
}

TEST(JobOptionsWrite, FilterListsAsFileMaskBlocks) {
    CSyncJobOptions o;
    o.m_Filters.m_lstIncluded.AddTail(u"/Docs");
    o.m_Filters.m_lstIncluded.AddTail(u"*.txt");
    std::string text = Write(o);
    EXPECT_NE(text.find("FileLinks = 2\n"
                        "FiltersIncluded = <FileMask>\n"
                        "Matches = (\n"
                        "  \"/Docs\"\n"
                        "  \"*.txt\"\n"
                        ") </FileMask>\n"
                        "ReconnectAttempts = 3\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("FiltersExcluded"), std::string::npos);
}

TEST(JobOptionsWrite, NestedLevelIndentsKeysButNotTheTags) {
    CSyncJobOptions o;
    o.m_sName = u"J";
    o.m_Dir1.m_sUrl = u"file:///a";
    std::string text = Write(o, false, 1);
    EXPECT_EQ(
        text.find("<Job>\n  Name = \"J\"\nDir1 = <ConnectInfo>\n    Url = \"file:///a\"\n  </ConnectInfo>\n"),
        0u)
        << text;
    EXPECT_NE(text.find("\n  Direction = 0\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 7), "</Job>\n");
}

TEST(JobOptionsWrite, FullDumpWritesEveryKeyInOrder) {
    CSyncJobOptions o;
    std::string text = Write(o, true);
    std::vector<std::string> expected;
    for (const std::string& k : kAllKeys)
        if (k != "FiltersIncluded" && k != "FiltersExcluded") expected.push_back(k);
    EXPECT_EQ(TopLevelKeys(text), expected) << text;
    EXPECT_NE(text.find("Name = \"\"\n"), std::string::npos);
    EXPECT_NE(text.find("PostSyncScriptOrEmail = \"\"\n"), std::string::npos);
    EXPECT_NE(text.find("PropagateDeletions = Yes\n"), std::string::npos);

    o.m_Filters.m_lstIncluded.AddTail(u"a");
    o.m_Filters.m_lstExcluded.AddTail(u"b");
    EXPECT_EQ(TopLevelKeys(Write(o, true)), kAllKeys);
    // A full dump reads back to the same record.
    CSyncJobOptions all;
    SetEverything(all);
    ExpectEverything(RoundTrip(all, true));
}

TEST(JobOptionsWrite, FailedWriteIsReported) {
    CSyncJobOptions o;
    SetEverything(o);
    const int n = (int)Write(o).size();
    for (int limit = 0; limit < n; ++limit) {
        LimitedOutStream out(limit);
        CWideString err;
        ASSERT_FALSE(WriteJobOptions(o, out, false, 0, err)) << limit;
        EXPECT_EQ(err, CWideString(u"disk full"));
    }
    LimitedOutStream out(n);
    CWideString err;
    EXPECT_TRUE(WriteJobOptions(o, out, false, 0, err)) << err;
}

TEST(JobOptionsRead, EveryKeyedFieldRoundTrips) {
    CSyncJobOptions o;
    SetEverything(o);
    std::string text = Write(o);
    CSyncJobOptions r = RoundTrip(o, false);
    ExpectEverything(r);
    // The keyless fields are never written and keep the reader's values.
    EXPECT_EQ(r.m_nNoTvDataFolderSide, 1);
    EXPECT_EQ(r.m_sConflictCopyName, CSyncJobOptions().m_sConflictCopyName);
    EXPECT_EQ(text.find("Conflicted"), std::string::npos);
    EXPECT_EQ(text.find("mine"), std::string::npos);
    // Writing the read record gives the same text.
    EXPECT_EQ(Write(r), text);
}

TEST(JobOptionsRead, DefaultsAbsentKeysAndOrder) {
    CSyncJobOptions r;
    CWideString err;
    ASSERT_TRUE(Read(kDefaultBlock, r, err)) << err;
    EXPECT_EQ(Write(r), kDefaultBlock);

    // "=" before the block, keys in any order, the last occurrence wins,
    // absent keys keep the record's values.
    CSyncJobOptions o;
    o.m_nSpeedLimit = 55;
    ASSERT_TRUE(Read("= <Job>\r\n\tWorkerThreads = 3 Direction = 1\nWorkerThreads = 5\n</Job>\n", o, err))
        << err;
    EXPECT_EQ(o.m_nWorkerThreads, 5);
    EXPECT_EQ(o.m_nDirection, 1);
    EXPECT_EQ(o.m_nSpeedLimit, 55);
    EXPECT_FALSE(o.m_bFastPreAnalyzeWithStamps);
}

TEST(JobOptionsRead, UnknownKeysAreSkippedWithNestedBlocks) {
    CSyncJobOptions o;
    CWideString err;
    ASSERT_TRUE(Read("<Job>\n"
                     "Future = <Thing>\nInner = <Deeper>\nX = 1\n</Deeper>\nList = (\n\"a\"\n) </Thing>\n"
                     "FutureList = (\n  \"</Job>\"\n) \n"
                     "FutureText = \"x\"\n"
                     "SpeedLimit = 9\n"
                     "FiltersExcluded = <FileMask>\nOther = 1\nMatches = (\n\"*.tmp\"\n) </FileMask>\n"
                     "</Job>\n",
                     o, err))
        << err;
    EXPECT_EQ(o.m_nSpeedLimit, 9);
    ASSERT_EQ(o.m_Filters.m_lstExcluded.GetCount(), 1);
    EXPECT_EQ(o.m_Filters.m_lstExcluded.GetHead(), CWideString(u"*.tmp"));
}

TEST(JobOptionsRead, Errors) {
    struct Case {
        const char* text;
        const char16_t* error; // the start of the error text
    };
    const Case cases[] = {
        {"<Job>\nSpeedLimit = 1\n", u"Unexpected EOF"},
        {"<Job>\n", u"Unexpected EOF"},
        {"", u"unexpected end of input"},
        {"<Job>\n\"SpeedLimit\" = 1\n</Job>\n", u"string where token expected"},
        {"<Jobs>\n</Jobs>\n", u"Bad object prefix '<Jobs>', '<Job>' expected"},
        {"<Job>\nSpeedLimit = fast\n</Job>\n", u"bad number: fast"},
        {"<Job>\nFastStop = Maybe\n</Job>\n", u"Name FastStop = Bool: bad value Maybe"},
        {"<Job>\nName = Docs\n</Job>\n", u"got non-string token where string expected"},
        {"<Job>\nFiltersIncluded = <FileMask>\nMatches = (\n\"a\"\n", u"unexpected end of input"},
        {"<Job>\nFiltersIncluded = <FileMask>\n\"Matches\" = (\n) </FileMask>\n</Job>\n",
         u"string where token expected"},
        {"<Job>\nFiltersIncluded = <FileMask>\nMatches = (\n) \n", u"Unexpected EOF"},
        {"<Job>\nDir1 = <Other>\n</Job>\n", u"Bad object prefix"},
    };
    for (const Case& c : cases) {
        CSyncJobOptions o;
        CWideString err;
        EXPECT_FALSE(Read(c.text, o, err)) << c.text;
        EXPECT_TRUE(err.StartsWith(c.error)) << c.text << " -> " << WideToUtf8(err).GetString();
    }
    // The fields read before the fault keep their values.
    CSyncJobOptions o;
    CWideString err;
    EXPECT_FALSE(Read("<Job>\nSpeedLimit = 8\nUpSpeedLimit = x\n", o, err));
    EXPECT_EQ(o.m_nSpeedLimit, 8);
}

TEST(FileMasks, ReadReplacesTheList) {
    CListT<CWideString> list;
    list.AddTail(u"old");
    ZorStringStream in(N("= <FileMask>\nMatches = (\n  \"a b\"\n  \"\\195;\\169;\"\n) </FileMask>\n"));
    CWideString err;
    ASSERT_TRUE(ReadFileMasks(list, in, err)) << err;
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetHead(), CWideString(u"a b"));
    EXPECT_EQ(list.GetTail(), CWideString(u"\u00e9"));
}

TEST(ProxyOptions, BlockWithDefaultsAndWithPort) {
    CProxyOptions p;
    EXPECT_TRUE(p.m_bUseWinInetProxy);
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(WriteProxyOptions(p, out, false, 1, err));
    EXPECT_EQ(Str(out.GetText()), "<ProxyServer>\n</ProxyServer>\n");

    p.m_nPort = 8080;
    ZorStringOutStream out2;
    ASSERT_TRUE(WriteProxyOptions(p, out2, false, 1, err));
    EXPECT_EQ(Str(out2.GetText()), "<ProxyServer>\n  Port = 8080\n</ProxyServer>\n");

    CProxyOptions r;
    ZorStringStream in(out2.GetText());
    ASSERT_TRUE(ReadProxyOptions(r, in, err)) << err;
    EXPECT_TRUE(r == p);
}

TEST(ProxyOptions, FullDumpRoundTripAndSkipping) {
    CProxyOptions p;
    p.m_bUseWinInetProxy = false;
    p.m_bUseProxyBelow = true;
    p.m_sHost = "proxy.example";
    p.m_nPort = 3128;
    p.m_sUserID = "me";
    p.m_sPassword = "p\"w";
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(WriteProxyOptions(CProxyOptions(), out, true, 0, err));
    EXPECT_EQ(Str(out.GetText()),
              "<ProxyServer>\nUseWinInetProxy = Yes\nUseProxyBelow = No\nHost = \"\"\nPort = 0\n"
              "UserID = \"\"\nPassword = \"\"\n</ProxyServer>\n");
    ZorStringOutStream out2;
    ASSERT_TRUE(WriteProxyOptions(p, out2, false, 0, err));
    std::string text = Str(out2.GetText());
    text.insert(text.find("Port"), "Mode = <X>\n</X>\nTimeout = 5\n");
    CProxyOptions r;
    ZorStringStream in(N(text));
    ASSERT_TRUE(ReadProxyOptions(r, in, err)) << err;
    EXPECT_TRUE(r == p);
}

TEST(ProxyOptions, ReadErrors) {
    CProxyOptions r;
    CWideString err;
    ZorStringStream in(N("<ProxyServer>\nPort = 8080\n"));
    EXPECT_FALSE(ReadProxyOptions(r, in, err));
    EXPECT_EQ(err, CWideString(u"Unexpected EOF"));
    EXPECT_EQ(r.m_nPort, 8080);

    err.Empty();
    ZorStringStream in2(N("<ProxyServer>\n\"Host\" = \"x\"\n</ProxyServer>\n"));
    EXPECT_FALSE(ReadProxyOptions(r, in2, err));
    EXPECT_EQ(err, CWideString(u"string where token expected"));

    err.Empty();
    ZorStringStream in3(N("<Proxy>\n</Proxy>\n"));
    EXPECT_FALSE(ReadProxyOptions(r, in3, err));
    EXPECT_TRUE(err.StartsWith(u"Bad object prefix")) << WideToUtf8(err).GetString();
}

TEST(OptionTexts, SplitAtCharAndCopyToBuffer) {
    CWideString a, b;
    EXPECT_TRUE(SplitAtChar(u"key=value=x", u'=', a, b));
    EXPECT_EQ(a, CWideString(u"key"));
    EXPECT_EQ(b, CWideString(u"value=x"));
    EXPECT_FALSE(SplitAtChar(u"novalue", u'=', a, b));
    EXPECT_EQ(a, CWideString(u"novalue"));
    EXPECT_TRUE(b.IsEmpty());
    CWideString s = u"x:y";
    EXPECT_TRUE(SplitAtChar(s, u':', s, b)); // output aliases the input
    EXPECT_EQ(s, CWideString(u"x"));
    EXPECT_EQ(b, CWideString(u"y"));

    char16_t buf[4] = {u'?', u'?', u'?', u'?'};
    EXPECT_TRUE(CopyWideToBuffer(buf, 4, u"abc"));
    EXPECT_EQ(CWideString(buf), CWideString(u"abc"));
    EXPECT_FALSE(CopyWideToBuffer(buf, 4, u"abcd")); // no room for the zero
    EXPECT_EQ(buf[0], 0);
    EXPECT_FALSE(CopyWideToBuffer(buf, 0, u""));
    EXPECT_FALSE(CopyWideToBuffer(nullptr, 4, u"a"));
}
