// Rename and move detection (CSyncJob::DetectMovesAndRenames) over decided
// trees whose files share one size and time, against the same trees with a
// size of their own per file (the baseline: every key holds one file).
//
// BM_Moves/<files>/<equal>: half the files moved from folders old-N to
// folders new-N under their own names (each one a deleted and a new item),
// the other half new files. <equal> 1: all files of one size and time; 0:
// every file of its own size. Target: 150,000 files of one size and time
// within 2 s, and within a small factor of the baseline.
//
// BM_AnalyzeNewFiles/<equal>: a whole Analyze of a left side of 150,000
// empty files in 300 folders, the right side empty, no state files: every
// file is a new copy. <equal> 1: one time for all; 0: a time per file. The
// sides are made once in /tmp and kept for later runs.
#include "syncjob.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

constexpr int kPerFolder = 500;

CSideInfo File(uint64_t nLen) {
    CSideInfo r;
    r.SetPresent(true);
    r.m_Len.SetValue(nLen);
    r.m_tFile = r.m_tAccu = CSyncTime(1600000000);
    return r;
}

CSideInfo Folder() {
    CSideInfo r;
    r.SetPresent(true);
    r.SetFolder(true);
    r.m_Len.SetFolder();
    return r;
}

CSyncTreeNode* AddFolder(CSyncTreeNode* pParent, const CWideString& name) {
    CWideString e;
    CSyncTreeNode* p = pParent->AddItemCS(name, true, false, nullptr, e);
    p->GetItem().m_aCur[0] = p->GetItem().m_aCur[1] = p->GetItem().m_aOld[0] = p->GetItem().m_aOld[1] =
        Folder();
    return p;
}

// The decided tree of a left side whose files moved or are new.
void BuildTree(CSyncJob& job, int nFiles, bool bEqual) {
    job.ResetTree();
    CSyncTreeNode* pRoot = &job.m_Tree;
    CSyncTreeNode *pOld = nullptr, *pNew = nullptr;
    CWideString e;
    for (int i = 0; i < nFiles; ++i) {
        const bool bMoved = i % 2 == 0;
        if (i % kPerFolder == 0) {
            pOld = AddFolder(pRoot, CWideString::Formatted(u"old-%05d", i / kPerFolder));
            pNew = AddFolder(pRoot, CWideString::Formatted(u"new-%05d", i / kPerFolder));
        }
        const uint64_t nLen = bEqual ? 4096 : 4096 + (uint64_t)i;
        const CWideString name = CWideString::Formatted(u"file-%06d.dat", i);
        CSyncPairAndAction& to = pNew->AddItemCS(name, false, false, nullptr, e)->GetItem();
        to.m_aCur[0] = File(nLen);
        to.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
        if (!bMoved) continue;
        CSyncPairAndAction& from = pOld->AddItemCS(name, false, false, nullptr, e)->GetItem();
        from.m_aCur[0].SetPresent(true);
        from.m_aCur[0].m_Len.SetDeleted();
        from.m_aCur[1] = from.m_aOld[0] = from.m_aOld[1] = File(nLen);
        from.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    }
}

std::map<std::pair<int, int>, double> g_best;

void BM_Moves(benchmark::State& state) {
    const int nFiles = (int)state.range(0);
    const bool bEqual = state.range(1) != 0;
    auto job = std::make_unique<CSyncJob>();
    job->m_nActivity.store(JA_ANALYZING);
    job->m_Options.m_bDetectFolderMoves = false;
    BuildTree(*job, nFiles, bEqual);
    double& best = g_best.emplace(std::make_pair(nFiles, (int)bEqual), 1e300).first->second;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        job->DetectMovesAndRenames(&job->m_Tree);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    // Every moved file is linked: one "<" and one ">" each.
    int nLinked = 0;
    CSyncDepthFirstIter it(&job->m_Tree);
    for (; it.IsValid(); it.Next())
        if (!it.GetItem()->GetMove().IsEmpty()) ++nLinked;
    state.counters["linked"] = nLinked;
    if (nLinked != nFiles / 2 * 2) state.SkipWithError("not every move was linked");
}

constexpr int kDiskFiles = 150000;

std::string DiskBase(bool bEqual) {
    return bEqual ? "/tmp/tv-moves-bench-equal" : "/tmp/tv-moves-bench-own";
}

bool EnsureSides(bool bEqual) {
    const std::string base = DiskBase(bEqual), marker = base + ".complete";
    if (access(marker.c_str(), F_OK) == 0) return true;
    if (system(("rm -rf '" + base + "'").c_str()) != 0) return false;
    if (mkdir(base.c_str(), 0755) != 0 || mkdir((base + "/L").c_str(), 0755) != 0 ||
        mkdir((base + "/R").c_str(), 0755) != 0)
        return false;
    char path[512];
    for (int i = 0; i < kDiskFiles; ++i) {
        if (i % kPerFolder == 0) {
            snprintf(path, sizeof path, "%s/L/d%04d", base.c_str(), i / kPerFolder);
            if (mkdir(path, 0755) != 0) return false;
        }
        snprintf(path, sizeof path, "%s/L/d%04d/f%06d", base.c_str(), i / kPerFolder, i);
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return false;
        close(fd);
        const time_t t = bEqual ? 1600000000 : 1600000000 + i;
        struct timeval tv[2] = {{t, 0}, {t, 0}};
        if (utimes(path, tv) != 0) return false;
    }
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::map<int, double> g_bestAnalyze;

void BM_AnalyzeNewFiles(benchmark::State& state) {
    const bool bEqual = state.range(0) != 0;
    if (!EnsureSides(bEqual)) {
        state.SkipWithError("cannot create the sides");
        return;
    }
    CSyncJob job;
    job.SetName(u"bench");
    job.m_nActivity.store(JA_ANALYZING);
    job.SetSideFolder(0, Utf8ToWide((DiskBase(bEqual) + "/L").c_str()));
    job.SetSideFolder(1, Utf8ToWide((DiskBase(bEqual) + "/R").c_str()));
    double& best = g_bestAnalyze.emplace((int)bEqual, 1e300).first->second;
    for (auto _ : state) {
        job.ResetTree();
        const auto t0 = std::chrono::steady_clock::now();
        int failed = 0, kind = 0;
        CWideString err, summary;
        const bool ok = job.ConnectSides(failed, kind, err) &&
                        job.Analyze(nullptr, false, true, true, summary, kind, err);
        job.DisconnectSides();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok) {
            state.SkipWithError(WideToUtf8(err).GetString());
            break;
        }
        if (s < best) best = s;
        state.counters["new"] = job.m_Stats.m_aCounts[CAT_NEW_COPY].m_nFiles;
    }
}

BENCHMARK(BM_AnalyzeNewFiles)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK(BM_Moves)
    ->Args({40000, 0})
    ->Args({40000, 1})
    ->Args({150000, 0})
    ->Args({150000, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    g_EngineOptions.m_sMirrorFolderRoot = u"/tmp/tv-moves-bench-mirror";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int n : {40000, 150000}) {
        auto eq = g_best.find({n, 1}), own = g_best.find({n, 0});
        if (eq != g_best.end() && own != g_best.end())
            printf("%d files, one size and time / each its own size (best iterations): %.1f ms / %.1f ms = "
                   "%.2fx%s\n",
                   n, eq->second * 1000, own->second * 1000, eq->second / own->second,
                   n == 150000 ? " (target: <= 2000 ms)" : "");
    }
    auto eq = g_bestAnalyze.find(1), own = g_bestAnalyze.find(0);
    if (eq != g_bestAnalyze.end() && own != g_bestAnalyze.end())
        printf("Analyze of %d new files, one time / a time each (best iterations): %.1f ms / %.1f ms = %.2fx "
               "(target: <= 2000 ms)\n",
               kDiskFiles, eq->second * 1000, own->second * 1000, eq->second / own->second);
    return 0;
}
