// The host changes the job list while workers walk it, start and end runs
// and save it. Bounded; meant to run under ThreadSanitizer too (TV_TSAN).
#include "job-list.h"
#include "job-stores.h"

#include "tv-common-test-util.h"

#include <atomic>
#include <thread>
#include <vector>

using tvtest::StoreTest;
using tvtest::U8;

namespace {
class Concurrency : public StoreTest {};
} // namespace

TEST_F(Concurrency, HostChangesWhileWorkersWalkRunAndSave) {
    CTorvaneSettings s;
    CWideString err;
    for (int i = 0; i < 4; i++) {
        CWideString name;
        name.Format(u"base%d", i);
        ASSERT_TRUE(NewJob(s, name, i % 3, CWideString(), u"/l", u"/r", false, err)) << U8(err);
    }
    std::atomic<bool> bStop{false};
    std::atomic<int> nRuns{0}, nSaves{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; w++) {
        workers.emplace_back([&, w] {
            int i = 0;
            while (!bStop.load()) {
                // The may-run walk, a run of some job, and its save.
                int nBusy = s.CountBusyJobs();
                (void)nBusy;
                std::vector<CSyncJobFromList*> jobs;
                s.ForEachJob([&](CSyncJobFromList* p) {
                    if (!p->GetName().IsEmpty()) jobs.push_back(p);
                    return true;
                });
                if (jobs.empty()) continue;
                CSyncJobFromList* p = jobs[(size_t)(i++ + w) % jobs.size()];
                // The pointer may be gone by now: BeginRun checks it under the lock.
                if (!s.BeginRun(p)) continue;
                p->SetLiveRunState(3, 0);
                p->SetLiveRunState(4, 1);
                CWideString e;
                if (s.TvSaveJobs(false, u"worker", e)) nSaves++;
                nRuns++;
                s.EndRun(p);
            }
        });
    }
    int nRefused = 0;
    for (int round = 0; round < 60; round++) {
        CWideString name, e;
        name.Format(u"host%d", round);
        EXPECT_TRUE(NewJob(s, name, 0, CWideString(), u"/a", u"/b", false, e)) << U8(e);
        s.SetCurrentJob(name);
        s.MarkJob(name);
        if (CSyncJobFromList* p = s.FindJob(round % 2 ? name : CWideString(u"base1"))) {
            if (!DeleteJob(s, p, e)) {
                EXPECT_NE(U8(e).find("is running"), std::string::npos) << U8(e);
                nRefused++;
            }
        }
        if (round % 20 == 19) {
            e.Empty();
            if (!s.LoadJobs(e)) nRefused++;
        }
    }
    bStop = true;
    for (std::thread& t : workers) t.join();
    EXPECT_GT(nRuns.load(), 0);
    EXPECT_GT(nSaves.load(), 0);
    // Whatever interleaving happened, the saved list loads and matches.
    ASSERT_TRUE(s.TvSaveJobs(false, u"end", err)) << U8(err);
    CTorvaneSettings back;
    ASSERT_TRUE(back.LoadJobs(err)) << U8(err);
    EXPECT_EQ(back.GetJobCount(), s.GetJobCount());
}
