// Job progress sinks: how a running job reports progress, speeds, log lines,
// notices and item changes, enforces its bandwidth limits and answers the
// stop question.
//
// CbJobProgress is the one sink of a job. The job thread and every transfer
// worker report into it; its one lock serialises progress reports, log lines,
// display calls, the hand-off of a task to a worker and the byte accounting.
// The host program derives its own sink from it and implements the display
// operations OnMessageLine, OnNotice and OnShowProgress.
//
// Progress texts have two parts separated by the character U+0001 (kProgressPartSep):
// the current item (with its own percentage when it takes a second or more),
// and the remaining time with the two speeds (or "Computing Speed: <elapsed>").
//
// CbWorkerProgress is the small sink that each transfer worker hands to its
// file systems; it slows its worker down on request and forwards to the job's
// sink. CbDummyJobProgress shows nothing and never stops; its one global
// instance g_DummyJobProgress is the sink of jobs without a user interface
// and of idle workers.
//
// Stop flags: the job thread, the workers and the host's user-interface
// thread touch them without a lock, so both sinks keep them as atomics and
// override the four flag operations of ICopyProgress (the plain bytes of the
// base class are not used by these sinks).
#pragma once

#include "TvFsRecords.h"
#include "zor-string.h"
#include "zor-thread.h"
#include "zor-time.h"

#include <atomic>
#include <cstdint>

class CSyncJob;
class CSyncPairAndAction;
template <typename T> class FSTree;
using CSyncNode = FSTree<CSyncPairAndAction>;

// Separates the two parts of a progress text.
constexpr char16_t kProgressPartSep = u'\x0001';

// The operation kinds that BeforeItem and AfterItem receive.
enum EItemOperKind : int {
    IOK_NEW_COPY = 1,
    IOK_OVERWRITE = 2,
    IOK_DELETE = 3,
    IOK_KEEP_CONFLICT_LOSER = 4,
    IOK_MOVE_RENAME_CASE = 5,
    IOK_TIME_COPY = 6,
};

// Modes of OnMessageLine.
enum EMessageLineMode : int {
    MLM_NORMAL = 0,        // a normal line
    MLM_PAST_FIFTH = 1,    // a line past the fifth of a group: a display may drop it
    MLM_GROUP_SUMMARY = 2, // the summary of the lines of a group past the fifth
};

// Lines of one group past this count are passed as MLM_PAST_FIFTH.
constexpr int kMessageGroupShown = 5;
// A group lasts at most this many whole seconds from its first line.
constexpr int kMessageGroupSeconds = 3;

// ---------------------------------------------------------------- CbJobProgress
class CbJobProgress : public ICopyProgress {
public:
    CbJobProgress() = default;
    ~CbJobProgress() override = default;
    CbJobProgress(const CbJobProgress&) = delete;
    CbJobProgress& operator=(const CbJobProgress&) = delete;

    // -- the ICopyProgress operations
    // Progress report of a transfer on the job thread: under the lock, the
    // stop check (false on a stop), then, unless nDone is negative, item done
    // := nDone and ShowProgress. nTotal is not used: the execution sets the
    // item total itself.
    bool OnProgress(bool bUpload, int64_t nDone, int64_t nTotal, int& errKind, CWideString& err) override;
    bool IsStopped() const override { return m_bStop.load() && !m_bSuppress.load(); }
    void ResetStop() override {
        m_bStop.store(0);
        m_bSuppress.store(0);
    }
    void RequestStop() override { m_bStop.store(1); }
    void SetSuppressStop(bool b) override { m_bSuppress.store(b ? 1 : 0); }
    // File-system messages: levels 0 to 2 go to AddMessage with id -1 and a
    // line end appended; higher levels are dropped.
    void OnMessage(int level, const CWideString& text) override;
    bool Query() override { return true; }
    void Hook() override {}

    // -- display operations supplied by the host's sink
    // mode: EMessageLineMode.
    virtual void OnMessageLine(int level, const CWideString& text, int mode) = 0;
    // A notice of level 1, 2 or 3; CSyncJob::Notify calls it under the lock.
    virtual void OnNotice(int level, const CWideString& text) = 0;
    // The progress line: percent and the two-part text.
    virtual void OnShowProgress(int percent, const CWideString& text) = 0;

    // -- further operations with the answers of the base sink
    // Stop check: with a stop requested (and not suppressed) kind 10, "User
    // Stop" appended to err, false; else true.
    virtual bool CheckStop(int& errKind, CWideString& err);
    // Volume information of a side ("Required: ..."); nothing here.
    virtual void OnVolumeInfo(int side, const CWideString& text) {
        (void)side;
        (void)text;
    }
    virtual void Hook2(int nArg1, int nArg2) {
        (void)nArg1;
        (void)nArg2;
    }
    // Asked by the run driver before it goes on from Analyze to Sync.
    virtual bool ConfirmSync(int nArg) {
        (void)nArg;
        return true;
    }
    virtual bool QueryReady() { return true; }
    // Another job's Sync (or the job list) asks the display to drop this
    // job's analysis results (its tree); bForced also for a running job.
    // Nothing here; a host's sink that shows a tree lets it go.
    virtual bool DropAnalysisResults(const CWideString& reason, bool bForced) {
        (void)reason, (void)bForced;
        return true;
    }
    // Asked before an item operation (nOperKind: EItemOperKind); false means
    // "do not execute", with the reason in errKind/err.
    virtual bool BeforeItem(CSyncNode* pNode, int nEffAction, int nOperKind, const CWideString& path,
                            int& errKind, CWideString& err) {
        (void)pNode, (void)nEffAction, (void)nOperKind, (void)path, (void)errKind, (void)err;
        return true;
    }
    // Byte progress of the item a worker transfers.
    virtual void OnItemBytes(const CWideString& path, int64_t nItemTotal, int64_t nDone) {
        (void)path, (void)nItemTotal, (void)nDone;
    }
    // After an item operation.
    virtual void AfterItem(CSyncNode* pNode, int nEffAction, int nOperKind, const CWideString& path,
                           bool bSucceeded, int errKind, const CWideString& reason) {
        (void)pNode, (void)nEffAction, (void)nOperKind, (void)path, (void)bSucceeded, (void)errKind,
            (void)reason;
    }
    // Items processed (at most nAll), items in all, average speed (bytes/s).
    virtual void OnItemCounts(uint32_t nProcessed, uint32_t nAll, int64_t nAvgSpeed, void* pOut) {
        (void)nProcessed, (void)nAll, (void)nAvgSpeed, (void)pOut;
    }
    virtual void Hook3() {}
    // True cancels the current transfer of the item at that path.
    virtual bool HasItemChanged(const CWideString& path) {
        (void)path;
        return false;
    }
    virtual void OnItemChanged(CSyncNode* pNode) { (void)pNode; }

    // -- engine operations
    // The stop question under the name the engine uses.
    bool IsStopRequested() const { return IsStopped(); }

    // (high - low) * min(p, 100) / 100 + low in integer arithmetic (a p
    // above 100 counts as 100; a negative p is not raised).
    int ScaleProgress(int p) const;
    // Sets the stage range (0 <= low < high <= 100, else an assertion report
    // and no change) and forgets the last shown percentage.
    void SetProgressRange(int low, int high);
    // Builds and shows the progress line. The caller holds the lock. May
    // sleep (with the lock held) to keep the job under its bandwidth limit.
    void ShowProgress(bool bUpload);
    // The only way log lines reach OnMessageLine: groups runs of lines of the
    // same level and id (id -1 never groups).
    void AddMessage(int level, int id, const CWideString& text);
    // Starts message grouping afresh (the job calls it when a run starts).
    void ResetMessageRepeat();
    // Calls OnItemChanged, except (without bForce) for a file whose effective
    // action is NO_COPY. A null node is an assertion report.
    void NotifyItemChanged(CSyncNode* pNode, bool bForce);

    // Marks the start of a measured stage: the start time is now, and the
    // elapsed time of the stage is measured on the monotonic clock from here.
    void SetStartTimeNow();
    CZorTime GetStartTime() const { return m_tStart; }
    // The monotonic tick (ms) at the start of the stage.
    int64_t GetStartTick() const { return m_nStartTick; }

    void SetJob(CSyncJob* pJob) { m_pJob = pJob; }
    CSyncJob* GetJob() const { return m_pJob; }

    CCritSection& GetLock() { return m_lock; }
    void Lock() { m_lock.Lock(); }
    void Unlock() { m_lock.Unlock(); }

    // -- fields (the lock guards all but the stop flags)
protected:
    CCritSection m_lock;
    CSyncJob* m_pJob = nullptr; // may be null

public:
    int64_t m_nItemTotal = 0; // byte size of the current single transfer
    int64_t m_nItemDone = 0;  // bytes done of it (the last report)

protected:
    CZorTime m_tStart;        // start of the measured stage (wall clock)
    int64_t m_nStartTick = 0; // the same moment on the monotonic clock (ms)

public:
    int32_t m_nRangeLow = 0;      // percentage at which the stage starts
    int32_t m_nRangeHigh = 100;   // percentage at which the stage ends
    CWideString m_sItemText;      // text of the current item
    int64_t m_nTotalBytes = 0;    // bytes of the whole stage; no progress is shown while 0
    int64_t m_nLastShownDone = 0; // bytes done at the last shown progress
    int64_t m_nBaseDone = 0;      // bytes of transfers already finished in this stage
    int64_t m_nCounter1 = 0;
    int64_t m_nCounter2 = 0;
    int32_t m_nLastPercent = -1;  // percentage last shown
    int64_t m_nLastShowTime = 0;  // monotonic ms at the last shown progress; 0: none yet
    int64_t m_nAvgSpeed = 0;      // bytes per second over the whole stage
    int64_t m_nCurSpeed = 0;      // bytes per second since the last shown progress
    CWideString m_sSpeedText;     // the speed text that the progress line showed last
    int32_t m_nLastMsgId = 0;     // id of the last message group
    int32_t m_nLastMsgLevel = -1; // level of the last message group
    int64_t m_nLastMsgTime = 0;   // monotonic ms when the group began
    int32_t m_nRepeatCount = 0;   // messages in the current group

protected:
    std::atomic<uint8_t> m_bStop{0};
    std::atomic<uint8_t> m_bSuppress{0};
};

// ---------------------------------------------------------------- CbDummyJobProgress
// Shows nothing and never stops.
class CbDummyJobProgress : public CbJobProgress {
public:
    bool OnProgress(bool, int64_t, int64_t, int&, CWideString&) override { return true; }
    void OnMessage(int, const CWideString&) override {}
    void OnMessageLine(int, const CWideString&, int) override {}
    void OnNotice(int, const CWideString&) override {}
    void OnShowProgress(int, const CWideString&) override {}
    bool CheckStop(int&, CWideString&) override { return true; }
    void OnVolumeInfo(int, const CWideString&) override {}
    void Hook2(int, int) override {}
};

// The no-op sink of jobs without a user interface and of idle workers.
extern CbDummyJobProgress g_DummyJobProgress;

// ---------------------------------------------------------------- CbWorkerProgress
// The sink a transfer worker hands to its file systems.
class CbWorkerProgress : public ICopyProgress {
public:
    CbWorkerProgress() = default;
    ~CbWorkerProgress() override = default;
    CbWorkerProgress(const CbWorkerProgress&) = delete;
    CbWorkerProgress& operator=(const CbWorkerProgress&) = delete;

    // The worker's report: slow-down pause (outside any lock), the job
    // sink's stop check (unless this sink's suppress flag is set), the
    // changed-item question, item bytes, then under the job sink's lock the
    // item's percentage and the job's progress line.
    bool OnProgress(bool bUpload, int64_t nDone, int64_t nTotal, int& errKind, CWideString& err) override;
    bool IsStopped() const override { return m_bStop.load() && !m_bSuppress.load(); }
    void ResetStop() override {
        m_bStop.store(0);
        m_bSuppress.store(0);
    }
    void RequestStop() override { m_bStop.store(1); }
    void SetSuppressStop(bool b) override { m_bSuppress.store(b ? 1 : 0); }
    bool IsSuppressed() const { return m_bSuppress.load() != 0; }
    // As CbJobProgress::OnMessage, on the job sink.
    void OnMessage(int level, const CWideString& text) override;
    bool Query() override { return true; }
    void Hook() override {}

    bool IsStopRequested() const { return IsStopped(); }
    // A null sink is an assertion report and selects g_DummyJobProgress.
    void SetJobSink(CbJobProgress* pSink);
    CbJobProgress* GetJobSink() const { return m_pJobSink; }

    // The slow-down level of the job behind the job sink for a direction;
    // 0 when the sink has no job (the no-op sink).
    int GetSlowDownLevel(bool bUpload) const;

    CbJobProgress* m_pJobSink = &g_DummyJobProgress; // where everything is forwarded
    CSyncNode* m_pItemNode = nullptr;                // the item being transferred, set by the worker
    int64_t m_nItemTotal = 0;                        // byte size of the item's transfer (job sink's lock)
    int64_t m_nItemDone = 0;                         // bytes done, from the last report (job sink's lock)
    int64_t m_nLastCallTime = -1;                    // monotonic ms at the previous report
    int32_t m_nMeasuredInterval = -1; // average ms between reports (at most 500); -1 not measured
    uint32_t m_nSlowedCalls = 0;      // reports slowed since the last measurement
    uint32_t m_nMeasuredCalls = 0;    // reports counted by the running measurement
    int64_t m_nMeasuredSum = 0;       // ms summed by the running measurement
    uint8_t m_bStarted = 0;           // set by the first report

private:
    std::atomic<uint8_t> m_bStop{0};
    std::atomic<uint8_t> m_bSuppress{0};
};

// The slow-down factor by level 0..3 (level 0 never slows).
double GetSlowDownFactor(int level);

// The three icon numbers under which a display shows an item (left side,
// action, right side). All start at -1; a null item gives false.
bool GetItemIcons(const CSyncPairAndAction* pItem, int& nLeft, int& nAction, int& nRight);
