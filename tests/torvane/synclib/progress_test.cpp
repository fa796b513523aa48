// Job progress sinks: message grouping, progress scaling and texts, the
// bandwidth pause, worker slow-down, stop answers and item changes.
#include "recording-sink.h"

#include "engine-globals.h"
#include "sync-progress.h"
#include "sync-tree.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;
constexpr int64_t GiB = 1024 * MiB;

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

// The execution's way of showing progress: under the sink's lock.
void ShowLocked(CbJobProgress& sink, bool bUpload = false) {
    CCritSectionLock lock(sink.GetLock());
    sink.ShowProgress(bUpload);
}

class ProgressTest : public ::testing::Test {
protected:
    ZorTestClock m_clock;
    ZorClockScope m_scope{&m_clock};
    uint8_t m_bSavedGroup = g_EngineOptions.m_bGroupSimilarLogLines;

    void SetUp() override { g_EngineOptions.m_bGroupSimilarLogLines = 1; }
    void TearDown() override { g_EngineOptions.m_bGroupSimilarLogLines = m_bSavedGroup; }

    static std::vector<int> Modes(const CRecordingSink& s) {
        std::vector<int> v;
        for (auto& l : s.Lines()) v.push_back(l.mode);
        return v;
    }
};

// ---------------------------------------------------------------- grouping
TEST_F(ProgressTest, SixSimilarLinesThenAnotherKindGiveTheSummary) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    for (int i = 0; i < 6; ++i) {
        sink.AddMessage(1, 7, CWideString(u"Cannot copy\n"));
        m_clock.Advance(100);
    }
    sink.AddMessage(1, 8, CWideString(u"other\n"));
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 8u) << sink.Dump();
    EXPECT_EQ(Modes(sink), (std::vector<int>{0, 0, 0, 0, 0, 1, 2, 0}));
    EXPECT_EQ(lines[6].level, 1);
    EXPECT_EQ(U8(lines[6].text), "... and 1 more similar log lines are skipped here (select Job -> Open "
                                 "Left/Right Log to view the entire log)\n");
    EXPECT_EQ(U8(lines[7].text), "other\n");
}

TEST_F(ProgressTest, SummaryCarriesTheGroupsLevelAndCount) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    for (int i = 0; i < 9; ++i) sink.AddMessage(2, 5, CWideString(u"x\n"));
    // Same id, other level: a new group; the summary is at the old level.
    sink.AddMessage(1, 5, CWideString(u"y\n"));
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[9].mode, 2);
    EXPECT_EQ(lines[9].level, 2);
    EXPECT_EQ(U8(lines[9].text).rfind("... and 4 more similar", 0), 0u);
    EXPECT_EQ(lines[10].mode, 0);
    EXPECT_EQ(lines[10].level, 1);
}

TEST_F(ProgressTest, GroupWindowIsThreeSecondsFromTheFirstLine) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    sink.AddMessage(2, 9, CWideString(u"a\n"));
    m_clock.Advance(2999); // still inside the window: same group
    sink.AddMessage(2, 9, CWideString(u"b\n"));
    m_clock.Advance(1); // 3.0 s after the group began: a new group
    for (int i = 0; i < 6; ++i) sink.AddMessage(2, 9, CWideString(u"c\n"));
    // Repeats did not extend the window of the first group, so the new group
    // counts from "c": its sixth line is past the fifth.
    EXPECT_EQ(Modes(sink), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST_F(ProgressTest, FewerThanSixLinesGiveNoSummary) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    for (int i = 0; i < 5; ++i) sink.AddMessage(2, 3, CWideString(u"x\n"));
    sink.AddMessage(2, 4, CWideString(u"y\n"));
    EXPECT_EQ(Modes(sink), (std::vector<int>{0, 0, 0, 0, 0, 0}));
}

TEST_F(ProgressTest, FileSystemMessagesNeverGroupAndDetailsAreDropped) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    for (int i = 0; i < 8; ++i) sink.OnMessage(2, CWideString(u"fs says"));
    sink.OnMessage(3, CWideString(u"detail"));
    sink.OnMessage(-1, CWideString(u"bad level"));
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 8u);
    for (auto& l : lines) {
        EXPECT_EQ(l.mode, 0);
        EXPECT_EQ(U8(l.text), "fs says\n");
    }
}

TEST_F(ProgressTest, EmptyTextStartsAGroupSilently) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    for (int i = 0; i < 7; ++i) sink.AddMessage(1, 1, CWideString(u"x\n"));
    sink.AddMessage(1, 2, CWideString());
    auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), 8u); // seven lines and the summary, no empty line
    EXPECT_EQ(lines[7].mode, 2);
}

TEST_F(ProgressTest, WithoutGroupingEveryLineIsNormal) {
    CRecordingSink sink;
    sink.ResetMessageRepeat();
    // A long group formed while grouping was on must not make later lines
    // look droppable once grouping is off.
    for (int i = 0; i < 7; ++i) sink.AddMessage(1, 1, CWideString(u"x\n"));
    sink.ClearRecords();
    g_EngineOptions.m_bGroupSimilarLogLines = 0;
    for (int i = 0; i < 7; ++i) sink.AddMessage(1, 1, CWideString(u"x\n"));
    EXPECT_EQ(Modes(sink), (std::vector<int>(7, 0)));
}

// ---------------------------------------------------------------- scaling and texts
TEST_F(ProgressTest, ScaleProgressIntoTheStageRange) {
    CRecordingSink sink;
    EXPECT_EQ(sink.ScaleProgress(50), 50);
    sink.SetProgressRange(20, 60);
    EXPECT_EQ(sink.ScaleProgress(50), 40);
    EXPECT_EQ(sink.ScaleProgress(150), 60);
    EXPECT_EQ(sink.ScaleProgress(100), 60);
    EXPECT_EQ(sink.ScaleProgress(0), 20);
    EXPECT_EQ(sink.ScaleProgress(-10), 16); // a negative p is not raised

    long before = ZorAssertCount();
    sink.SetProgressRange(60, 60); // low must be below high
    sink.SetProgressRange(-1, 50);
    sink.SetProgressRange(10, 101);
    EXPECT_EQ(ZorAssertCount() - before, 3);
    EXPECT_EQ(sink.m_nRangeLow, 20);
    EXPECT_EQ(sink.m_nRangeHigh, 60);
}

TEST_F(ProgressTest, NoProgressLineWhileTotalIsZero) {
    CRecordingSink sink;
    int kind = 0;
    CWideString err;
    sink.SetStartTimeNow();
    m_clock.Advance(5000);
    for (int64_t d : {int64_t(0), int64_t(100), 5 * GiB})
        EXPECT_TRUE(sink.OnProgress(false, d, -1, kind, err));
    EXPECT_TRUE(sink.ProgressLines().empty());
}

TEST_F(ProgressTest, PercentOfSizesBeyond32And64BitProducts) {
    CRecordingSink sink;
    int kind = 0;
    CWideString err;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 10 * GiB;
    ASSERT_TRUE(sink.OnProgress(false, 5 * GiB, -1, kind, err));
    ASSERT_EQ(sink.ProgressLines().size(), 1u);
    EXPECT_EQ(sink.ProgressLines().back().percent, 50);

    // done * 100 would overflow 64 bits here.
    CRecordingSink big;
    big.SetStartTimeNow();
    big.SetProgressRange(0, 50);
    big.m_nTotalBytes = INT64_C(1) << 62;
    big.m_nBaseDone = INT64_C(3) << 59; // 3/8 of the total
    ASSERT_TRUE(big.OnProgress(false, 0, -1, kind, err));
    ASSERT_EQ(big.ProgressLines().size(), 1u);
    EXPECT_EQ(big.ProgressLines().back().percent, 18); // 37 % scaled into 0..50
    // Never above the top of the range.
    big.m_nBaseDone = INT64_MAX - 1;
    m_clock.Advance(1000);
    ASSERT_TRUE(big.OnProgress(false, 0, -1, kind, err));
    EXPECT_EQ(big.ProgressLines().back().percent, 50);
}

TEST_F(ProgressTest, ProgressTextItemPartAndRemainingTime) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.m_nItemsToProcess = 5;
    int kind = 0;
    CWideString err;

    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 10 * MiB;
    sink.m_nItemTotal = 10 * MiB;
    sink.m_sItemText = u"Copy a.bin";

    // In the first two seconds there is no speed yet.
    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 1 * MiB, -1, kind, err));
    auto p = sink.ProgressLines().back();
    EXPECT_EQ(p.percent, 10);
    EXPECT_EQ(U8(p.ItemPart()), "Copy a.bin");
    EXPECT_EQ(U8(p.StatusPart()), "Computing Speed: 1");

    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 4 * MiB, -1, kind, err));
    p = sink.ProgressLines().back();
    EXPECT_EQ(p.percent, 40);
    // 2 MiB/s over the stage; the item (10 MiB) takes more than a second.
    EXPECT_EQ(U8(p.ItemPart()), "Copy a.bin 40%");
    // 6 MiB left at 2 MiB/s; the current speed: 3 MiB in the last second.
    EXPECT_EQ(U8(p.StatusPart()), "Remaining 00:00:03, Speed 2.00 MB/s (3.00 MB/s)");
    EXPECT_EQ(U8(sink.m_sSpeedText), "2.00 MB/s (3.00 MB/s)");
    ASSERT_FALSE(sink.ItemCounts().empty());
    EXPECT_EQ(sink.ItemCounts().back().processed, 1u);
    EXPECT_EQ(sink.ItemCounts().back().all, 5u);
    EXPECT_EQ(sink.ItemCounts().back().avgSpeed, 2 * MiB);

    // Processed items are capped at the count to process.
    job.m_nSyncOk = 4;
    job.m_nSyncErr = 2;
    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 5 * MiB, -1, kind, err));
    EXPECT_EQ(sink.ItemCounts().back().processed, 5u);

    // A small item (done within a second at this speed) shows no percentage.
    sink.m_nBaseDone = 5 * MiB; // the first item is finished
    sink.m_nItemTotal = 100 * KiB;
    sink.m_sItemText = u"Copy b.txt";
    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 50 * KiB, -1, kind, err));
    EXPECT_EQ(U8(sink.ProgressLines().back().ItemPart()), "Copy b.txt");

    // Hours in the remaining time.
    sink.m_nTotalBytes = 100 * GiB;
    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 60 * KiB, -1, kind, err));
    std::string status = U8(sink.ProgressLines().back().StatusPart());
    EXPECT_EQ(status.rfind("Remaining ", 0), 0u);
    EXPECT_NE(status.find(":"), std::string::npos);
    EXPECT_GT(std::stoi(status.substr(10)), 9); // more than nine hours left
}

TEST_F(ProgressTest, SamePercentWithinASecondIsNotShownAgain) {
    CRecordingSink sink;
    int kind = 0;
    CWideString err;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 1000;
    ASSERT_TRUE(sink.OnProgress(false, 100, -1, kind, err));
    m_clock.Advance(500);
    ASSERT_TRUE(sink.OnProgress(false, 105, -1, kind, err)); // still 10 %
    EXPECT_EQ(sink.ProgressLines().size(), 1u);
    ASSERT_TRUE(sink.OnProgress(false, 200, -1, kind, err)); // 20 %: shown
    EXPECT_EQ(sink.ProgressLines().size(), 2u);
    m_clock.Advance(1000);
    ASSERT_TRUE(sink.OnProgress(false, 201, -1, kind, err)); // a second later: shown
    EXPECT_EQ(sink.ProgressLines().size(), 3u);
    // Negative byte counts change nothing.
    m_clock.Advance(2000);
    ASSERT_TRUE(sink.OnProgress(false, -1, -1, kind, err));
    EXPECT_EQ(sink.ProgressLines().size(), 3u);
    EXPECT_EQ(sink.m_nItemDone, 201);
}

TEST_F(ProgressTest, ParallelTransfersSumTheWorkersAndShowNoItemPart) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.ResizeWorkers(3);
    for (int i = 0; i < 3; ++i) job.GetWorker(i).m_Progress.SetJobSink(&sink);
    job.m_bWorkersRunning = 1;
    job.GetWorker(0).m_Progress.m_nItemDone = 100;
    job.GetWorker(2).m_Progress.m_nItemDone = 200;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 1000;
    sink.m_nBaseDone = 200;
    sink.m_nItemTotal = 1000;
    sink.m_sItemText = u"ignored";
    m_clock.Advance(3000);
    ShowLocked(sink);
    auto p = sink.ProgressLines().back();
    EXPECT_EQ(p.percent, 50);
    EXPECT_TRUE(p.ItemPart().IsEmpty());
}

// ---------------------------------------------------------------- bandwidth limit
// A clock that requests a stop on a sink at its n-th sleep.
class StoppingClock : public ZorTestClock {
public:
    ICopyProgress* m_pSink = nullptr;
    int m_nStopAtSleep = 0;
    int m_nSleeps = 0;
    std::vector<int64_t> m_sleeps;
    void SleepMs(int64_t nMs) override {
        m_sleeps.push_back(nMs);
        ZorTestClock::SleepMs(nMs);
        if (++m_nSleeps == m_nStopAtSleep && m_pSink) m_pSink->RequestStop();
    }
};

// Brings the sink to "shown once, one second ago, with this many bytes done".
void PrimeForLimit(CRecordingSink& sink, ZorTestClock& clock, int64_t done) {
    int kind = 0;
    CWideString err;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 1000 * MiB;
    clock.Advance(2000);
    ASSERT_TRUE(sink.OnProgress(false, done, -1, kind, err));
    clock.Advance(1000);
}

TEST_F(ProgressTest, BandwidthLimitPausesTheReportingThread) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.m_Options.m_nSpeedLimit = 100; // KB/s
    PrimeForLimit(sink, m_clock, 1000000);

    int kind = 0;
    CWideString err;
    int64_t sleeps = m_clock.GetSleepCount(), slept = m_clock.GetSleptMs();
    // 512,000 bytes in one second need 5 s at 100 KB/s: 4 s of pause.
    ASSERT_TRUE(sink.OnProgress(false, 1000000 + 512000, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleepCount() - sleeps, 8);
    EXPECT_EQ(m_clock.GetSleptMs() - slept, 4000);

    // Uploads follow their own limit (none here).
    m_clock.Advance(1000);
    sleeps = m_clock.GetSleepCount();
    ASSERT_TRUE(sink.OnProgress(true, 1000000 + 2 * 512000, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleepCount() - sleeps, 0);

    // Within the limit: no pause.
    m_clock.Advance(1000);
    sleeps = m_clock.GetSleepCount();
    ASSERT_TRUE(sink.OnProgress(false, 1000000 + 2 * 512000 + 50000, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleepCount() - sleeps, 0);
}

TEST_F(ProgressTest, BandwidthPauseIsCappedAndNeedsAJob) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.m_Options.m_nUpSpeedLimit = 1; // KB/s
    PrimeForLimit(sink, m_clock, 1000);
    int kind = 0;
    CWideString err;
    int64_t slept = m_clock.GetSleptMs();
    // 100 MB at 1 KB/s would need more than a minute: the pause becomes 500 ms.
    ASSERT_TRUE(sink.OnProgress(true, 1000 + 100 * MiB, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleptMs() - slept, 500);

    // A sink without a job has no limits.
    CRecordingSink lone;
    PrimeForLimit(lone, m_clock, 1000);
    slept = m_clock.GetSleptMs();
    ASSERT_TRUE(lone.OnProgress(true, 1000 + 100 * MiB, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleptMs() - slept, 0);
}

TEST(ProgressStop, StopDuringBandwidthPauseEndsTheSlicesButSleepsTheRemainder) {
    StoppingClock clock;
    ZorClockScope scope(&clock);
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.m_Options.m_nSpeedLimit = 100;
    PrimeForLimit(sink, clock, 1000000);
    clock.m_sleeps.clear();
    clock.m_pSink = &sink;
    clock.m_nStopAtSleep = clock.m_nSleeps + 3;

    int kind = 0;
    CWideString err;
    // need 5250 ms, 1000 ms passed: 4250 ms = 8 slices + 250; stopped after 3.
    ASSERT_TRUE(sink.OnProgress(false, 1000000 + 537600, -1, kind, err));
    EXPECT_EQ(clock.m_sleeps, (std::vector<int64_t>{500, 500, 500, 250}));

    // The next report answers the stop.
    EXPECT_FALSE(sink.OnProgress(false, 1000000 + 600000, -1, kind, err));
    EXPECT_EQ(kind, 10);
    EXPECT_EQ(U8(err), "User Stop");
}

// ---------------------------------------------------------------- stop answers
TEST_F(ProgressTest, StopRequestIsAnsweredWithKind10) {
    CRecordingSink sink;
    int kind = 0;
    CWideString err;
    EXPECT_TRUE(sink.CheckStop(kind, err));
    sink.RequestStop();
    EXPECT_TRUE(sink.IsStopRequested());
    EXPECT_FALSE(sink.CheckStop(kind, err));
    EXPECT_EQ(kind, 10);
    EXPECT_EQ(U8(err), "User Stop");

    kind = 0;
    err.Empty();
    sink.m_nTotalBytes = 100;
    EXPECT_FALSE(sink.OnProgress(false, 50, -1, kind, err));
    EXPECT_EQ(kind, 10);
    EXPECT_EQ(U8(err), "User Stop");
    EXPECT_TRUE(sink.ProgressLines().empty());

    // Suppressed (data folders being prepared, state files being written).
    sink.SetSuppressStop(true);
    kind = 0;
    EXPECT_TRUE(sink.CheckStop(kind, err));
    EXPECT_TRUE(sink.OnProgress(false, 50, -1, kind, err));
    EXPECT_EQ(kind, 0);
    sink.SetSuppressStop(false);
    EXPECT_TRUE(sink.IsStopped());
    sink.ResetStop();
    EXPECT_FALSE(sink.IsStopped());
}

TEST_F(ProgressTest, DummySinkNeverStopsAndShowsNothing) {
    CbDummyJobProgress dummy;
    dummy.RequestStop();
    int kind = 0;
    CWideString err;
    EXPECT_TRUE(dummy.CheckStop(kind, err));
    dummy.m_nTotalBytes = 100;
    EXPECT_TRUE(dummy.OnProgress(false, 50, -1, kind, err));
    EXPECT_EQ(kind, 0);
    EXPECT_TRUE(err.IsEmpty());
    dummy.AddMessage(1, 1, CWideString(u"nothing\n")); // no display: nothing to crash on
}

// ---------------------------------------------------------------- workers
TEST_F(ProgressTest, WorkerWithTheDefaultSinkReadsSlowDownZero) {
    CbWorkerProgress worker; // job sink: g_DummyJobProgress, which has no job
    EXPECT_EQ(worker.GetJobSink(), &g_DummyJobProgress);
    EXPECT_EQ(worker.GetSlowDownLevel(false), 0);
    EXPECT_EQ(worker.GetSlowDownLevel(true), 0);
    int kind = 0;
    CWideString err;
    int64_t sleeps = m_clock.GetSleepCount();
    for (int i = 0; i < 300; ++i) {
        m_clock.Advance(10);
        ASSERT_TRUE(worker.OnProgress(i & 1, i * 100, -1, kind, err));
    }
    EXPECT_EQ(m_clock.GetSleepCount(), sleeps);
    EXPECT_EQ(worker.m_nMeasuredInterval, -1);

    long before = ZorAssertCount();
    worker.SetJobSink(nullptr);
    EXPECT_EQ(ZorAssertCount() - before, 1);
    EXPECT_EQ(worker.GetJobSink(), &g_DummyJobProgress);
}

TEST_F(ProgressTest, WorkerSlowDownMeasuresThenPausesByTheLevelFactor) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.SetSlowDownLevels(/*upload*/ 3, /*download*/ 2);
    CbWorkerProgress worker;
    worker.SetJobSink(&sink);
    int kind = 0;
    CWideString err;

    ASSERT_TRUE(worker.OnProgress(false, 0, -1, kind, err)); // the first only starts
    for (int i = 1; i <= 100; ++i) {
        m_clock.Advance(30);
        ASSERT_TRUE(worker.OnProgress(false, i, -1, kind, err));
    }
    EXPECT_EQ(worker.m_nMeasuredInterval, 30);
    int64_t slept = m_clock.GetSleptMs();
    ASSERT_TRUE(worker.OnProgress(false, 101, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleptMs() - slept, 60); // level 2: twice the interval
    slept = m_clock.GetSleptMs();
    ASSERT_TRUE(worker.OnProgress(true, 102, -1, kind, err));
    EXPECT_EQ(m_clock.GetSleptMs() - slept, 120); // level 3 for uploads: four times

    // Out-of-range levels count as the nearest end.
    job.SetSlowDownLevels(9, -4);
    EXPECT_EQ(job.GetSlowDownLevel(true), 3);
    EXPECT_EQ(job.GetSlowDownLevel(false), 0);

    // The interval is measured again after 1000 slowed reports.
    job.SetSlowDownLevels(1, 1);
    for (int i = 0; i < 998; ++i) ASSERT_TRUE(worker.OnProgress(false, 200, -1, kind, err));
    EXPECT_EQ(worker.m_nMeasuredInterval, -1);
}

TEST_F(ProgressTest, WorkerStopAndChangedItem) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    CbWorkerProgress worker;
    worker.SetJobSink(&sink);
    int kind = 0;
    CWideString err;

    sink.RequestStop();
    EXPECT_FALSE(worker.OnProgress(false, 10, -1, kind, err));
    EXPECT_EQ(kind, 10);
    EXPECT_EQ(U8(err), "User Stop");
    // While the worker's own suppress flag is set the job's stop is not asked.
    worker.SetSuppressStop(true);
    kind = 0;
    EXPECT_TRUE(worker.OnProgress(false, 10, -1, kind, err));
    worker.ResetStop();
    sink.ResetStop();

    CWideString e;
    CSyncNode* node = job.m_Tree.AddItemCS(CWideString(u"a.bin"), false, false, nullptr, e);
    ASSERT_NE(node, nullptr) << U8(e);
    worker.m_pItemNode = node;
    worker.m_nItemTotal = 1000;
    sink.SetChangedPath(CWideString(u"/a.bin"));
    kind = 0;
    err.Empty();
    EXPECT_FALSE(worker.OnProgress(false, 10, -1, kind, err));
    EXPECT_EQ(kind, 5);
    EXPECT_EQ(U8(err), "File transfer canceled by change");
}

TEST_F(ProgressTest, WorkerReportUpdatesItemPercentAndJobProgress) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.ResizeWorkers(2);
    job.m_bWorkersRunning = 1;
    CbWorkerProgress& worker = job.GetWorker(1).m_Progress;
    worker.SetJobSink(&sink);

    CWideString e;
    CSyncNode* node = job.m_Tree.AddItemCS(CWideString(u"big.iso"), false, false, nullptr, e);
    ASSERT_NE(node, nullptr);
    node->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    worker.m_pItemNode = node;
    worker.m_nItemTotal = 8 * GiB;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = 16 * GiB;

    int kind = 0;
    CWideString err;
    m_clock.Advance(4000);
    ASSERT_TRUE(worker.OnProgress(false, 6 * GiB, -1, kind, err));
    EXPECT_EQ(worker.m_nItemDone, 6 * GiB);
    EXPECT_EQ(U8(node->GetItem().GetReason()), "75%");
    ASSERT_EQ(sink.ChangedItems().size(), 1u);
    EXPECT_EQ(sink.ChangedItems()[0], node);
    ASSERT_FALSE(sink.ProgressLines().empty());
    EXPECT_EQ(sink.ProgressLines().back().percent, 37); // 6 of 16 GiB

    // The same percentage again: the item is not reported as changed again.
    m_clock.Advance(10);
    ASSERT_TRUE(worker.OnProgress(false, 6 * GiB + 1, -1, kind, err));
    EXPECT_EQ(sink.ChangedItems().size(), 1u);
}

TEST_F(ProgressTest, WorkersAndJobThreadReportConcurrentlyUntilAStop) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.SetSlowDownLevels(1, 1);
    constexpr int kWorkers = 4;
    job.ResizeWorkers(kWorkers);
    job.m_bWorkersRunning = 1;
    sink.SetStartTimeNow();
    sink.m_nTotalBytes = kWorkers * 100000;
    std::vector<std::thread> threads;
    std::atomic<int> stoppedWithKind10{0};
    for (int w = 0; w < kWorkers; ++w) {
        CbWorkerProgress& wp = job.GetWorker(w).m_Progress;
        wp.SetJobSink(&sink);
        wp.m_nItemTotal = 100000;
        threads.emplace_back([&wp, &stoppedWithKind10] {
            int kind = 0;
            CWideString err;
            for (int64_t d = 0; d <= 100000; d += 10) {
                if (!wp.OnProgress(false, d, -1, kind, err)) {
                    if (kind == 10) stoppedWithKind10++;
                    return;
                }
            }
        });
    }
    // The job thread logs meanwhile and then asks for the stop.
    for (int i = 0; i < 200; ++i) job.Log(2, 42, CWideString(u"working\n"));
    sink.RequestStop();
    for (auto& t : threads) t.join();
    job.m_bWorkersRunning = 0;
    // Every worker either finished or was stopped with kind 10; nothing else.
    int64_t done = job.GetWorkersItemDone();
    EXPECT_LE(done, kWorkers * 100000);
    EXPECT_EQ(sink.Lines().size(), 200u);
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(job.GetWorker(0).m_Progress.OnProgress(false, 5, -1, kind, err));
    EXPECT_EQ(kind, 10);
    for (auto& p : sink.ProgressLines()) {
        EXPECT_GE(p.percent, 0);
        EXPECT_LE(p.percent, 100);
    }
}

// ---------------------------------------------------------------- item changes and icons
TEST_F(ProgressTest, NotifyItemChangedSkipsUnchangedFilesUnlessForced) {
    CRecordingSink sink; // a sink outlives its job
    CSyncJob job;
    CWideString e;
    CSyncNode* file = job.m_Tree.AddItemCS(CWideString(u"f"), false, false, nullptr, e);
    CSyncNode* folder = job.m_Tree.AddItemCS(CWideString(u"d"), true, false, nullptr, e);
    ASSERT_TRUE(file && folder);
    folder->GetItem().m_aCur[0].SetFolder(true);

    sink.NotifyItemChanged(file, false); // NO_COPY file: not reported
    sink.NotifyItemChanged(file, true);
    sink.NotifyItemChanged(folder, false);
    file->GetItem().m_nUserAction = EA_COPY_RIGHT_TO_LEFT;
    sink.NotifyItemChanged(file, false);
    EXPECT_EQ(sink.ChangedItems(), (std::vector<CSyncNode*>{file, folder, file}));

    long before = ZorAssertCount();
    sink.NotifyItemChanged(nullptr, true);
    EXPECT_EQ(ZorAssertCount() - before, 1);
    EXPECT_EQ(sink.ChangedItems().size(), 3u);
}

TEST(ProgressIcons, IconNumbersOfTypicalItems) {
    int l, a, r;
    EXPECT_FALSE(GetItemIcons(nullptr, l, a, r));
    EXPECT_EQ(l, -1);

    CSyncPairAndAction it;
    it.m_nFlags |= SPF_EXCLUDED;
    ASSERT_TRUE(GetItemIcons(&it, l, a, r));
    EXPECT_EQ((std::vector<int>{l, a, r}), (std::vector<int>{-1, 25, -1}));

    CSyncPairAndAction folder;
    folder.m_aCur[0].SetFolder(true);
    ASSERT_TRUE(GetItemIcons(&folder, l, a, r));
    EXPECT_EQ((std::vector<int>{l, a, r}), (std::vector<int>{8, 17, 34}));

    // A new file copied from left to right.
    CSyncPairAndAction copy;
    copy.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    copy.m_aCur[0].SetPresent(true);
    copy.m_aCur[0].m_Len.SetValue(10);
    ASSERT_TRUE(copy.LeftExists());
    ASSERT_TRUE(GetItemIcons(&copy, l, a, r));
    EXPECT_EQ((std::vector<int>{l, a, r}), (std::vector<int>{3, 19, 26}));
    copy.m_nExecState = ESS_SYNCED_ERR;
    ASSERT_TRUE(GetItemIcons(&copy, l, a, r));
    EXPECT_EQ((std::vector<int>{l, a, r}), (std::vector<int>{3, 23, 32}));
    copy.m_nExecState = ESS_SYNCING;
    ASSERT_TRUE(GetItemIcons(&copy, l, a, r));
    EXPECT_EQ(a, 24);
    copy.m_nExecState = ESS_ANALYZED_OK;
    copy.m_nUserAction = EA_NO_COPY; // a user skipped the copy
    ASSERT_TRUE(GetItemIcons(&copy, l, a, r));
    EXPECT_EQ(a, 17);

    CSyncPairAndAction conflict;
    conflict.m_nSysAction = EA_CONFLICT;
    ASSERT_TRUE(GetItemIcons(&conflict, l, a, r));
    EXPECT_EQ(a, 22);

    CSyncPairAndAction time;
    time.m_nSysAction = EA_TIME_RIGHT_TO_LEFT;
    ASSERT_TRUE(GetItemIcons(&time, l, a, r));
    EXPECT_EQ(l, 11);
}

// ---------------------------------------------------------------- the job's side
TEST_F(ProgressTest, JobLogNotifyAndProgressGoThroughItsSink) {
    CSyncJob job;
    EXPECT_EQ(job.GetProgressSink(), &g_DummyJobProgress);
    job.Log(1, 100, CWideString(u"to nowhere\n")); // the no-op sink

    CRecordingSink sink;
    ASSERT_TRUE(job.SetProgressSink(&sink));
    EXPECT_EQ(sink.GetJob(), &job);
    sink.ResetMessageRepeat();
    for (int i = 0; i < 7; ++i) job.Log(1, 100, CWideString(u"Cannot read folder\n"));
    EXPECT_EQ(Modes(sink), (std::vector<int>{0, 0, 0, 0, 0, 1, 1}));

    job.Notify(2, CWideString(u"Expanded 'a' to 'b'\n"));
    ASSERT_EQ(sink.Notices().size(), 1u);
    EXPECT_EQ(sink.Notices()[0].level, 2);

    job.ReportProgress(0, CWideString(u"Synchronization Started"));
    sink.SetProgressRange(0, 95);
    job.SetProgress(100, CWideString(u"done"), true);
    job.SetProgress(100, CWideString(u"done again"), true); // throttled
    m_clock.Advance(1000);
    job.SetProgress(100, CWideString(u"a second later"), true);
    job.SetProgress(100, CWideString(u"unthrottled"), false);
    auto p = sink.ProgressLines();
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].percent, 0);
    EXPECT_EQ(p[1].percent, 95);
    EXPECT_EQ(U8(p[2].text), "a second later");
    EXPECT_EQ(U8(p[3].text), "unthrottled");

    long before = ZorAssertCount();
    job.SetProgressSink(nullptr);
    EXPECT_EQ(ZorAssertCount() - before, 1);
    EXPECT_EQ(job.GetProgressSink(), &g_DummyJobProgress);
}

TEST_F(ProgressTest, DestroyedJobUnlinksItsSink) {
    CRecordingSink sink;
    {
        CSyncJob job;
        job.SetProgressSink(&sink);
        job.SetName(CWideString(u"Docs"));
        EXPECT_EQ(U8(job.m_Options.m_sName), "Docs");
        long before = ZorAssertCount();
        job.SetName(CWideString());
        EXPECT_EQ(ZorAssertCount() - before, 1);
        EXPECT_EQ(U8(job.m_Options.m_sName), "Docs");

        CSyncJob copy(job); // copies only the options
        EXPECT_EQ(U8(copy.m_Options.m_sName), "Docs");
        EXPECT_EQ(copy.GetProgressSink(), &g_DummyJobProgress);
    }
    EXPECT_EQ(sink.GetJob(), nullptr);
}

} // namespace
