// The incremental on-change run against a full run, on a synced pair of
// 100,000 files per side (three folder levels of ten, 100 files per leaf,
// state files present, warm cache):
//  - baseline: a full run of the unchanged pair (full Analyze, nothing to sync);
//  - incremental: one file changed on the left, its change queued as the
//    monitor would, the run re-reads that path only and syncs it.
// Target: the incremental run within a quarter of the full run's time. The
// pair is generated once into /tmp and kept for later runs.
#include "bench-tree.h"
#include "file-monitor.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

namespace {

// Prints what a run says when TV_BENCH_VERBOSE is set.
class CPrintSink : public CbJobProgress {
public:
    void OnMessageLine(int, const CWideString& text, int) override { Print(text); }
    void OnNotice(int, const CWideString& text) override { Print(text); }
    void OnShowProgress(int, const CWideString&) override {}

private:
    static void Print(const CWideString& text) {
        if (getenv("TV_BENCH_VERBOSE"))
            fprintf(stderr, "%8.3f %s", std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
                    WideToUtf8(text).GetString());
    }
};
CPrintSink g_sink;

const char* const kBase = "/tmp/tv-incremental-bench-100k";
const char* const kMarker = "/tmp/tv-incremental-bench-100k.complete";

double g_bestFull = std::numeric_limits<double>::max();
double g_bestIncremental = std::numeric_limits<double>::max();

std::string Side(int side) {
    return std::string(kBase) + (side ? "/R" : "/L");
}

using benchtree::WriteSide;

void Setup(CMonitoredJob& job) {
    job.SetName(u"bench");
    job.SetSideFolder(0, Utf8ToWide(Side(0).c_str()));
    job.SetSideFolder(1, Utf8ToWide(Side(1).c_str()));
    job.m_Options.m_bSavePreviousVersion = false;
    job.m_Options.m_bEstimateRequiredSpace = false;
    job.SetProgressSink(&g_sink);
}

// One run as the runner makes it: live state 3 for its duration.
bool Run(CMonitoredJob& job, bool bFull, CWideString& err) {
    job.m_bAnalyze = 1;
    job.m_bSync = 1;
    job.m_bRunStarted = 0;
    job.m_nActivity.store(JA_ANALYZING);
    if (bFull) job.m_bFirstFullAnalyzePending = true;
    int kind = 0;
    const bool ok = job.ChangeAnalyzeSyncWorker(nullptr, kind, err);
    job.m_nActivity.store(JA_ANALYZED);
    return ok;
}

// Generates the pair and syncs it once (state files on both sides).
bool EnsurePair() {
    if (access(kMarker, F_OK) == 0) return true;
    if (system((std::string("rm -rf '") + kBase + "'").c_str()) != 0) return false;
    if (mkdir(kBase, 0755) != 0 || !WriteSide(Side(0)) || !WriteSide(Side(1))) return false;
    CMonitoredJob job;
    Setup(job);
    CWideString err;
    // The first run finds equal files without a state: it records them.
    job.m_Options.m_nDirection = JT_LEFT_TO_RIGHT;
    if (!Run(job, true, err)) {
        fprintf(stderr, "first run: %s\n", WideToUtf8(err).GetString());
        return false;
    }
    int fd = open(kMarker, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void BM_FullRunUnchangedPair(benchmark::State& state) {
    if (!EnsurePair()) {
        state.SkipWithError("cannot create the test pair");
        return;
    }
    CMonitoredJob job;
    Setup(job);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        CWideString err;
        if (!Run(job, true, err)) {
            state.SkipWithError(WideToUtf8(err).GetString());
            return;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < g_bestFull) g_bestFull = s;
        state.counters["synced"] = job.m_nSyncOk.load();
    }
}

void BM_IncrementalRunOneChangedFile(benchmark::State& state) {
    if (!EnsurePair()) {
        state.SkipWithError("cannot create the test pair");
        return;
    }
    CMonitoredJob job;
    Setup(job);
    CWideString err;
    if (!Run(job, true, err)) { // the first run after monitoring started is a full one
        state.SkipWithError(WideToUtf8(err).GetString());
        return;
    }
    const std::string rel = "/a3/b4/c5/file-042.dat";
    static int n = 0; // across repetitions: every write gives a new size
    for (auto _ : state) {
        state.PauseTiming();
        {
            const std::string path = Side(0) + rel;
            FILE* f = fopen(path.c_str(), "wb");
            ++n;
            const std::string content = "changed " + std::to_string(n) + std::string((size_t)n, 'z');
            fwrite(content.data(), 1, content.size(), f);
            fclose(f);
            struct timeval tv[2] = {{1600000000 + n * 10, 0}, {1600000000 + n * 10, 0}};
            (void)tv;
            CCritSectionLock lock(job.m_JobLock);
            job.m_aChanges[0].AddTail(ChangedItem(Utf8ToWide(rel.c_str()), CIK_MODIFIED));
        }
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        err.Empty();
        if (!Run(job, false, err)) {
            state.SkipWithError(WideToUtf8(err).GetString());
            return;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < g_bestIncremental) g_bestIncremental = s;
        if (job.m_nSyncOk.load() != 1) {
            fprintf(stderr, "synced %d items: %s\n", (int)job.m_nSyncOk.load(), WideToUtf8(err).GetString());
            state.SkipWithError("the changed file was not synced alone");
            return;
        }
    }
}

BENCHMARK(BM_FullRunUnchangedPair)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_IncrementalRunOneChangedFile)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    g_EngineOptions.m_sMirrorFolderRoot = u"/tmp/tv-incremental-bench-mirror";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double kNone = std::numeric_limits<double>::max();
    if (g_bestFull < kNone && g_bestIncremental < kNone)
        printf("incremental run (one changed file) / full run of the unchanged pair (best iterations): "
               "%.1f ms / %.1f ms = %.2f (target <= 0.25)\n",
               g_bestIncremental * 1000, g_bestFull * 1000, g_bestIncremental / g_bestFull);
    return 0;
}
