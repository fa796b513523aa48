// Memory of a Sync whose items all fail: N new files whose target folder
// was replaced by a file between Analyze and Sync (every rename into it
// fails, whoever runs the test), with 0 and 4 worker threads. Each failed
// item keeps its own reason only, so the peak resident memory stays flat in
// the number of failures. Reported: the peak RSS after the run (MB) and the
// longest item reason (characters).
//
// The pairs live in /tmp (or TV_BENCH_DIR) and are removed afterwards.
#include "bench-run.h"
#include "syncjob.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

class CQuietSink : public CbJobProgress {
public:
    void OnMessageLine(int, const CWideString&, int) override {}
    void OnNotice(int, const CWideString&) override {}
    void OnShowProgress(int, const CWideString&) override {}
};

using benchrun::RunOnce;

size_t LongestReason(CSyncTreeNode* node) {
    size_t n = (size_t)node->GetItem().GetReason().GetLength();
    if (CSyncTreeNode::CChildMap* map = node->GetChildMap())
        for (auto* e = map->GetFirst(); e; e = map->GetNext(e))
            n = std::max(n, LongestReason(&e->GetValue()));
    return n;
}

void BM_FailingItems(benchmark::State& state) {
    const int nItems = (int)state.range(0), nThreads = (int)state.range(1);
    const char* d = getenv("TV_BENCH_DIR");
    const std::string dir = std::string(d && *d ? d : "/tmp") + "/tv-failing-items-bench";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(dir);
        fs::create_directories(dir + "/L/sub");
        fs::create_directories(dir + "/R/sub");
        for (int i = 0; i < nItems; ++i) {
            const int fd = open((dir + "/L/sub/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
            if (fd < 0 || write(fd, "content", 7) != 7) state.SkipWithError("cannot write the pair");
            close(fd);
        }
        g_EngineOptions.m_sMirrorFolderRoot = Utf8ToWide((dir + "/mirror").c_str());
        CQuietSink sink;
        CSyncJob job;
        job.SetProgressSink(&sink);
        job.SetName(u"Failing");
        job.SetSideFolder(0, Utf8ToWide((dir + "/L").c_str()));
        job.SetSideFolder(1, Utf8ToWide((dir + "/R").c_str()));
        job.m_Options.m_nWorkerThreads = nThreads;
        RunOnce(job, true, false);
        fs::remove_all(dir + "/R/sub");
        const int fd = open((dir + "/R/sub").c_str(), O_WRONLY | O_CREAT, 0644);
        close(fd);
        state.ResumeTiming();
        RunOnce(job, false, true);
        state.PauseTiming();
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        state.counters["peak_rss_mb"] = (double)ru.ru_maxrss / 1024.0;
        state.counters["sync_errors"] = job.m_nSyncErr.load();
        state.counters["longest_reason"] = (double)LongestReason(job.GetPairsUnchecked());
        job.SetProgressSink(&g_DummyJobProgress);
        fs::remove_all(dir);
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_FailingItems)
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({10000, 4})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
