// Whole runs over a state file that someone who can write a side's data
// folder planted: records of items on neither side reach neither side's
// state nor the log, and the count of records the job keeps lets through
// only the file it was counted in.
#include "job-harness.h"

#include "state-file.h"
#include "zor-stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <fstream>

namespace {

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

class StateBoundsRun : public ::testing::Test {
public:
    CJobHarness h;
    CRecordingSink sink;
    std::unique_ptr<CSyncJob> job;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L/d") && h.m_tmp.MakeDir("R"));
        for (int i = 0; i < 10; i++)
            ASSERT_TRUE(h.m_tmp.WriteFileAt("L/f" + std::to_string(i), "x", 1600000000));
        ASSERT_TRUE(Run().nState == RS_SYNCED) << sink.Dump();
    }
    void TearDown() override {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
        CSyncJob::s_nStateMinRecords = kStateMinRecordBudget;
    }
    CJobHarness::RunResult Run() {
        if (job) job->SetProgressSink(&g_DummyJobProgress);
        job = std::make_unique<CSyncJob>();
        job->SetProgressSink(&sink);
        job->SetName(u"Docs");
        job->SetSideFolder(0, W(h.m_tmp.NativeSub("L")));
        job->SetSideFolder(1, W(h.m_tmp.NativeSub("R")));
        sink.ClearRecords();
        return h.Run(*job, true, true);
    }
    bool Logged(const std::string& part) const { return sink.Dump().find(part) != std::string::npos; }
    // A state file of the root and n items that no side holds.
    void Plant(const std::string& side, int n) {
        std::string text = "^[a=9|b=2|c=9|1=4|2=1|s=0|]\n[f=1|N:0:|]<";
        for (int i = 0; i < n; i++) {
            const std::string name = "phantom" + std::to_string(100000 + i) + std::string(180, 'x');
            text += "\n[f=0|N:" + std::to_string(name.size()) + ":" + name +
                    "|l[h=0|l=5|]C[t=1600000000|]t[t=1600000000|]g[a{=1|[y=1699999000|]|}]]<>";
        }
        text += ">";
        CAutoPtrT<ZorOutStream> out;
        CWideString err;
        ASSERT_TRUE(OpenFileWriter(W(h.m_tmp.NativeSub(side + "/_tvdata_/_file_state_v4._tv")), true, out,
                                   err, true) &&
                    out->Write(text.data(), (int)text.size(), err) && out->Close(err))
            << ToU8(err);
    }
    // The text of a side's state file.
    std::string StateText(const std::string& side) {
        CAutoPtrT<ZorInStream> in;
        CWideString err;
        std::string text;
        if (!OpenFileReader(W(h.m_tmp.NativeSub(side + "/_tvdata_/_file_state_v4._tv")), true, in, err))
            return "<unreadable>";
        unsigned char ch;
        while (in->GetChar(ch, err)) text += (char)ch;
        return text;
    }
    // The count files the job keeps of its sides' records.
    std::vector<std::filesystem::path> CountFiles() {
        std::vector<std::filesystem::path> v;
        for (auto& e : std::filesystem::recursive_directory_iterator(ToU8(h.MirrorRoot())))
            if (e.path().filename().string().rfind(ToU8(CSyncJob::kStateRecordsName), 0) == 0)
                v.push_back(e.path());
        return v;
    }
};

} // namespace

TEST_F(StateBoundsRun, RecordsOfItemsOnNeitherSideReachNeitherStateNorTheLog) {
    Plant("R", 400);
    auto r = Run();
    EXPECT_TRUE(r.bOk && r.nSub == RSS_OK) << sink.Dump();
    EXPECT_FALSE(Logged("phantom1")) << "logged one by one";
    for (const char* side : {"L", "R"}) {
        const std::string text = StateText(side);
        EXPECT_EQ(text.find("phantom"), std::string::npos) << side << ": " << text.substr(0, 2000);
        EXPECT_NE(text.find("N:2:f9|"), std::string::npos) << side << ": the side's own items stay";
    }
    // What is kept of the sides' records is what they hold.
    const auto files = CountFiles();
    EXPECT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        std::ifstream in(f);
        int64_t n = -1;
        in >> n;
        EXPECT_EQ(n, 12) << f;
    }
    EXPECT_EQ(h.m_tmp.List("L").size(), 12u) << "nothing was copied or deleted";
}

TEST_F(StateBoundsRun, KeptRecordCountLetsThroughOnlyTheFileItWasCountedIn) {
    // A count set high, without the stamp of its file (as older versions
    // kept it, or as set by hand) or for the file that a planted one then
    // replaced: the
    // planted file is read within what the side's listing allows, and none
    // of its records is taken in.
    CSyncJob::s_nStateMinRecords = 20;
    struct stat st {};
    ASSERT_EQ(stat(h.m_tmp.NativeSub("R/_tvdata_/_file_state_v4._tv").c_str(), &st), 0);
    const std::string counts[] = {"16777216\n", "16777216 " + std::to_string(st.st_size) + " " +
                                                    std::to_string(st.st_mtim.tv_sec) + " 0 0 0\n"};
    for (const std::string& count : counts) {
        SCOPED_TRACE(count);
        for (const auto& f : CountFiles()) std::ofstream(f) << count;
        Plant("R", 500);
        auto r = Run();
        EXPECT_TRUE(r.bOk && r.nSub == RSS_OK) << sink.Dump();
        EXPECT_TRUE(Logged("its records are not used")) << sink.Dump();
        for (const char* side : {"L", "R"})
            EXPECT_EQ(StateText(side).find("phantom"), std::string::npos) << side;
        EXPECT_EQ(h.m_tmp.List("R").size(), 12u);
    }
}
