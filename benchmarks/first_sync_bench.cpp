// The first Sync into an empty side: 20,000 and 100,000 files of 100 B to
// 4 KB in three folder levels, against `rsync -a` and `cp -a` of the same
// tree in the same run (rsync is skipped where it is not installed).
// Target: the first Sync of 100,000 files at most 1.5 times `rsync -a`.
//
// The source tree is generated once into /tmp (or TV_BENCH_DIR) and kept for
// later runs; every timed run starts after a `sync` and a pause, so that no
// run pays for the deletions and the write-back of the one before. TV_FIRST_SYNC_ONLY=1 makes the job
// runs only (for tracing the system calls of one Sync).
#include "syncjob.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string BenchDir() {
    const char* d = getenv("TV_BENCH_DIR");
    return d && *d ? d : "/tmp";
}

bool Sh(const std::string& cmd) {
    return system(cmd.c_str()) == 0;
}

// n files: folders a-NN/b-NN, 50 files per folder, 100 B .. 4 KB each.
std::string Source(int n) {
    const std::string dir = BenchDir() + "/tv-first-sync-" + std::to_string(n);
    const std::string marker = dir + ".complete";
    if (access(marker.c_str(), F_OK) == 0) return dir;
    Sh("rm -rf '" + dir + "'");
    std::string body;
    for (int i = 0; i < n; ++i) {
        char rel[64];
        snprintf(rel, sizeof rel, "/a-%02d/b-%02d", i / 2000, i / 50 % 40);
        const std::string folder = dir + rel;
        if (i % 50 == 0) fs::create_directories(folder);
        body.assign((size_t)(100 + (i * 7919) % 3997), (char)('a' + i % 26));
        const std::string path = folder + "/f-" + std::to_string(i) + ".dat";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, body.data(), body.size()) != (ssize_t)body.size()) return std::string();
        close(fd);
        struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
        utimes(path.c_str(), tv);
    }
    Sh("sync");
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) close(fd);
    return dir;
}

std::string Target() {
    return BenchDir() + "/tv-first-sync-target";
}

// Leaves the source as generated and the target absent, all on disk. The
// wait lets the freed inodes age: a file system without a journal passes
// over inodes freed in the last seconds one by one when it makes new ones,
// which would slow down whichever run comes right after a deletion.
bool Reset(const std::string& src) {
    return Sh("rm -rf '" + src + "/_tvdata_' '" + Target() + "' && sync && sleep 11");
}

// Shows nothing; TV_BENCH_TRACE=1 prints the log lines with their times.
class CQuietSink : public CbJobProgress {
public:
    void OnMessageLine(int level, const CWideString& text, int) override {
        if (getenv("TV_BENCH_TRACE") && level <= 3 && text.Find(u"Copy New") < 0)
            fprintf(
                stderr, "%8.0f ms %s",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
                    .count(),
                WideToUtf8(text).GetString());
    }
    void OnNotice(int, const CWideString&) override {}
    void OnShowProgress(int, const CWideString&) override {}
};

bool RunSync(const std::string& src) {
    if (!Sh("mkdir -p '" + Target() + "'")) return false;
    g_EngineOptions.m_sMirrorFolderRoot = Utf8ToWide((BenchDir() + "/tv-first-sync-mirror").c_str());
    CQuietSink sink;
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.SetName(u"FirstSync");
    job.SetSideFolder(0, Utf8ToWide(src.c_str()));
    job.SetSideFolder(1, Utf8ToWide(Target().c_str()));
    job.m_bAnalyze = true;
    job.m_bSync = true;
    job.m_nRunKind = RK_USER;
    job.m_nActivity.store(JA_ANALYZING);
    int kind = 0;
    CWideString result;
    const bool ok = job.RunJob(nullptr, kind, result) && job.GetRunState() == RS_SYNCED;
    job.SetProgressSink(&g_DummyJobProgress);
    return ok;
}

std::map<std::string, double> g_best;

void Timed(benchmark::State& state, const char* what, bool (*body)(const std::string&)) {
    const int n = (int)state.range(0);
    const std::string src = Source(n);
    if (src.empty()) {
        state.SkipWithError("cannot create the source tree");
        return;
    }
    double& best = g_best[std::string(what) + " " + std::to_string(n)];
    if (best == 0) best = std::numeric_limits<double>::max();
    for (auto _ : state) {
        state.PauseTiming();
        const bool bReady = Reset(src);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = bReady && body(src);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) {
            state.SkipWithError("the run failed");
            break;
        }
        best = std::min(best, s);
    }
    Reset(src);
}

bool Only() {
    return getenv("TV_FIRST_SYNC_ONLY") != nullptr;
}

void BM_FirstSync(benchmark::State& state) {
    Timed(state, "sync", RunSync);
}
void BM_RsyncBaseline(benchmark::State& state) {
    if (Only() || !Sh("command -v rsync >/dev/null 2>&1")) {
        state.SkipWithError("rsync is not installed");
        return;
    }
    Timed(state, "rsync",
          [](const std::string& src) { return Sh("rsync -a '" + src + "/' '" + Target() + "/'"); });
}
void BM_CpBaseline(benchmark::State& state) {
    if (Only()) {
        state.SkipWithError("job runs only");
        return;
    }
    Timed(state, "cp", [](const std::string& src) { return Sh("cp -a '" + src + "' '" + Target() + "'"); });
}

BENCHMARK(BM_RsyncBaseline)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CpBaseline)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FirstSync)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int n : {20000, 100000}) {
        const auto get = [&](const char* what) {
            auto it = g_best.find(std::string(what) + " " + std::to_string(n));
            return it == g_best.end() || it->second == std::numeric_limits<double>::max() ? -1.0 : it->second;
        };
        const double s = get("sync"), r = get("rsync"), c = get("cp");
        if (s < 0) continue;
        printf("first sync of %d files: %.1f s; rsync -a %.1f s; cp -a %.1f s", n, s, r, c);
        if (r > 0) printf("; sync / rsync = %.2fx (target <= 1.5x)", s / r);
        printf("\n");
    }
    return 0;
}
