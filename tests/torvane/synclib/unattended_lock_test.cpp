// An unattended run takes each side's lock while it reads the side. A side
// emptied with its data folder at that very moment (the folder goes before
// the lock is written) is met at the same point of every run here: the
// right side's file system empties it when the lock is uploaded.
#include "fake-fs.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

namespace {

// What the right side's file system does before an upload (its path).
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

class UnattendedLock : public ::testing::Test {
protected:
    CJobHarness h;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    std::shared_ptr<UploadHook> hook = std::make_shared<UploadHook>();
    const TvFileSys* proto = nullptr;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        auto p = std::make_unique<CHookedFs>(plan, hook);
        proto = p.get();
        RegisterFsPrototype(std::move(p));
    }
    void TearDown() override { UnregisterFsPrototype(proto); }

    // A job as the job list makes one per run, its right side through the hook.
    std::unique_ptr<CSyncJob> NewJob() {
        auto job = std::make_unique<CSyncJob>();
        h.Attach(*job);
        job->SetName(u"Docs");
        job->SetSideFolder(0, h.m_tmp.Path("L"));
        job->SetSideFolder(1, Utf8ToWide(("fakefs://" + h.m_tmp.NativeSub("R")).c_str()));
        return job;
    }
    std::string Get(const std::string& rel) const {
        std::ifstream in(h.m_tmp.NativeSub(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    size_t Files(const std::string& side) const {
        size_t n = 0;
        for (const std::string& name : h.m_tmp.List(side)) n += name != "_tvdata_";
        return n;
    }
};

} // namespace

TEST_F(UnattendedLock, DataFolderRemovedAsTheRunLocksEndsTheRunWhoseRetryFindsTheSideEmptied) {
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(h.m_tmp.WriteFileAt("L/f" + std::to_string(i), "x", 1600000000));
    {
        auto job = NewJob();
        ASSERT_TRUE(h.Run(*job, true, true, RK_AUTOMATIC).bOk) << h.m_sink.Dump();
        job->SetProgressSink(&g_DummyJobProgress);
    }
    ASSERT_EQ(Files("R"), 10u);
    // An edit the next run is to copy; without the right side's records it
    // would look like two new files that differ.
    ASSERT_TRUE(h.m_tmp.WriteFileAt("L/f0", "edited", 1600000100));

    // The right side is emptied, its data folder first: the folder is gone
    // when the run writes its lock, the files are still there to be listed.
    const std::string data = h.m_tmp.NativeSub("R/_tvdata_");
    bool bEmptied = false;
    *hook = [&](const std::string& path) {
        if (bEmptied || path.find("/_tvdata_/") == std::string::npos) return;
        bEmptied = true;
        std::filesystem::remove_all(data);
    };
    h.m_sink.ClearRecords();
    auto job = NewJob();
    auto r = h.Run(*job, true, true, RK_AUTOMATIC);
    *hook = nullptr;
    const std::string said = h.m_sink.Dump();
    job->SetProgressSink(&g_DummyJobProgress);
    // The run ends before it decides anything; it is tried again, as what
    // stopped it was no other owner's lock nor a refusal.
    ASSERT_TRUE(bEmptied) << said;
    EXPECT_FALSE(r.bOk) << said;
    EXPECT_NE(r.nErrKind, 0) << said;
    EXPECT_NE(r.nSub, RSS_REFUSED) << said;
    EXPECT_FALSE(job->m_bLockedByOther);
    EXPECT_EQ(said.find(": Conflict"), std::string::npos) << said;
    EXPECT_EQ(Files("L"), 10u) << said;
    EXPECT_EQ(Files("R"), 10u) << said;
    EXPECT_EQ(Get("L/f0"), "edited");
    EXPECT_EQ(Get("R/f0"), "x");

    // The emptying ends; the retry finds the side emptied with its data
    // folder, as of a drive that is not there, and changes nothing.
    for (int i = 0; i < 10; ++i) std::filesystem::remove(h.m_tmp.NativeSub("R/f" + std::to_string(i)));
    h.m_sink.ClearRecords();
    job = NewJob();
    r = h.Run(*job, true, true, RK_AUTOMATIC);
    const std::string retried = h.m_sink.Dump();
    job->SetProgressSink(&g_DummyJobProgress);
    EXPECT_EQ(r.nSub, RSS_REFUSED) << retried;
    EXPECT_NE(retried.find("taken as not available"), std::string::npos) << retried;
    EXPECT_EQ(Files("L"), 10u) << retried;
    EXPECT_EQ(Get("L/f0"), "edited");
    EXPECT_EQ(Files("R"), 0u) << retried;
}
