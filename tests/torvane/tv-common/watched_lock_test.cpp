// A watched run takes each side's lock while it reads the side. A side
// emptied with its data folder while the run goes (the folder first, the
// files after) is met here at the same point of every run: the right data
// folder goes when the run writes its lock on the left, which it reads first.
#include "fake-fs.h"
#include "file-monitor.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

namespace {

// What the left side's file system does before an upload (its path).
using UploadHook = std::function<void(const std::string&)>;

class CHookedFs : public CFakeFs {
public:
    CHookedFs(std::shared_ptr<CFakeFsPlan> plan, std::shared_ptr<UploadHook> hook)
        : CFakeFs(std::move(plan)), m_hook(std::move(hook)) {}
    TvFileSys* NewInstance() const override { return new CHookedFs(Plan(), m_hook); }
    bool UploadFile(const CWideString& local, const CWideString& path, int& k, CWideString& e) override {
        if (*m_hook) (*m_hook)(ToU8(path));
        return CFakeFs::UploadFile(local, path, k, e);
    }

private:
    std::shared_ptr<UploadHook> m_hook;
};

class WatchedLock : public ::testing::Test {
protected:
    CJobHarness h;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    std::shared_ptr<UploadHook> hook = std::make_shared<UploadHook>();
    const TvFileSys* proto = nullptr;
    std::unique_ptr<CMonitoredJob> pJob;

    void SetUp() override {
        auto p = std::make_unique<CHookedFs>(plan, hook);
        proto = p.get();
        RegisterFsPrototype(std::move(p));
    }
    void TearDown() override {
        *hook = nullptr;
        EndJob();
        UnregisterFsPrototype(proto);
    }
    // A watched job over the folders left and right, its left side through the hook.
    CMonitoredJob& NewJob(const std::string& left, const std::string& right) {
        EndJob();
        EXPECT_TRUE(h.m_tmp.MakeDir(left));
        EXPECT_TRUE(h.m_tmp.MakeDir(right));
        pJob = std::make_unique<CMonitoredJob>();
        pJob->SetName(Utf8ToWide(left.c_str()));
        pJob->SetLeftFolder(Utf8ToWide(("fakefs://" + h.m_tmp.NativeSub(left)).c_str()));
        pJob->SetRightFolder(NormalizeUrl(h.m_tmp.Path(right)));
        pJob->m_Options.m_nOnFileChangeAction = 1;
        pJob->m_nRunKind = RK_AUTOMATIC;
        h.Attach(*pJob);
        return *pJob;
    }
    void EndJob() {
        if (!pJob) return;
        pJob->DisconnectSides();
        pJob->SetProgressSink(&g_DummyJobProgress);
        pJob.reset();
    }
    // One watched run, as the runner starts it and notes how it went.
    bool Run(bool bFull) {
        CMonitoredJob& job = *pJob;
        job.m_bAnalyze = 1;
        job.m_bSync = 1;
        job.m_bRunStarted = 0;
        job.m_nActivity.store(JA_ANALYZING);
        if (bFull) job.m_bFirstFullAnalyzePending = true;
        int k = 0;
        CWideString e;
        const bool ok = job.ChangeAnalyzeSyncWorker(nullptr, k, e);
        job.m_nActivity.store(ok ? JA_SYNCED : JA_NOT_ANALYZED);
        job.NoteRunOutcome(ok, k, e);
        return ok;
    }
    std::string Get(const std::string& rel) const {
        std::ifstream in(h.m_tmp.NativeSub(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string Notices() const {
        std::string s;
        for (const auto& n : h.m_sink.Notices()) s += ToU8(n.text);
        return s;
    }
    size_t Files(const std::string& side) const {
        size_t n = 0;
        for (const std::string& name : h.m_tmp.List(side)) n += name != "_tvdata_";
        return n;
    }
};

} // namespace

TEST_F(WatchedLock, DataFolderRemovedWhileTheRunLocksEndsTheRunWhoseRetryFindsTheSideEmptied) {
    // The run that meets it reads the whole tree, or only what changed.
    for (const bool bFull : {true, false}) {
        SCOPED_TRACE(bFull ? "full" : "on change");
        const std::string L = bFull ? "L1" : "L2", R = bFull ? "R1" : "R2";
        CMonitoredJob& job = NewJob(L, R);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(h.m_tmp.WriteFileAt(L + "/f" + std::to_string(i), "x", 1600000000));
        ASSERT_TRUE(Run(true)) << h.m_sink.Dump();
        ASSERT_EQ(Files(R), 10u);
        // An edit for the next run to copy; without the right side's records
        // it would look like two new files that differ.
        ASSERT_TRUE(h.m_tmp.WriteFileAt(L + "/f0", "edited", 1600000100));
        {
            CCritSectionLock lock(job.m_JobLock);
            job.m_aChanges[0].AddTail(ChangedItem(u"/f0", CIK_MODIFIED));
        }

        const std::string data = h.m_tmp.NativeSub(R + "/_tvdata_");
        bool bEmptied = false;
        *hook = [&](const std::string& path) {
            if (bEmptied || path.find("/_tvdata_/") == std::string::npos) return;
            bEmptied = true;
            std::filesystem::remove_all(data);
        };
        h.m_sink.ClearRecords();
        const bool ok = Run(bFull);
        *hook = nullptr;
        const std::string said = h.m_sink.Dump();
        // The run ends before it decides anything, and is tried again.
        ASSERT_TRUE(bEmptied) << said;
        EXPECT_FALSE(ok) << said;
        EXPECT_EQ(said.find(": Conflict"), std::string::npos) << said;
        const std::string told = Notices();
        EXPECT_NE(told.find("The run failed (Error analyzing " + h.m_tmp.NativeSub(R) + ": "), std::string::npos)
            << told;
        EXPECT_NE(told.find("it is tried again in 5 seconds"), std::string::npos) << told;
        EXPECT_EQ(Get(L + "/f0"), "edited");
        EXPECT_EQ(Get(R + "/f0"), "x");

        // The emptying ends; the retry finds the side emptied with its data
        // folder, as of a drive that is not there, and changes nothing.
        for (int i = 0; i < 10; ++i) std::filesystem::remove(h.m_tmp.NativeSub(R + "/f" + std::to_string(i)));
        h.m_clock.SleepMs(5000);
        ASSERT_TRUE(job.RetryDue());
        h.m_sink.ClearRecords();
        EXPECT_FALSE(Run(false));
        const std::string retried = h.m_sink.Dump();
        EXPECT_NE(retried.find("taken as not available"), std::string::npos) << retried;
        EXPECT_EQ(job.m_nRetryAt.load(), 0);
        EXPECT_EQ(Files(L), 10u) << retried;
        EXPECT_EQ(Get(L + "/f0"), "edited");
        EXPECT_EQ(Files(R), 0u) << retried;
    }
}
