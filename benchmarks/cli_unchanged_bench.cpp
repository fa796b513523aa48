// `torvane sync` of an unchanged, synced pair of 100,000 files per side (the
// shared three-level tree), as a user runs it: a new process each time, the
// job list read, both state files read, both sides scanned, nothing to do.
// Beside it in the same run: a bare readdir + statx walk of both sides (in
// this process) and `rsync -a -n --delete` of the pair (skipped where rsync is
// not installed). Targets: the command's CPU time at most twice the bare
// walk's, its wall time below rsync's dry run.
//
// The pair is made once into /tmp (or TV_BENCH_DIR) by the command itself (a
// first sync of the generated left side into an empty right side) and kept.
// It is then used once more, as a pair in use is: some seconds after the
// first sync, one file changes and a sync saves the state files again (from
// then on they vouch for the stored attribute bits of every file the first
// sync wrote, which the scans then take from the records).
//
// Pairs of a million files and more, with other builds of the command side
// by side: tools/bench-unchanged-big.sh.
#include "bench-tree.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Base() {
    const char* d = getenv("TV_BENCH_DIR");
    return std::string(d && *d ? d : "/tmp") + "/tv-cli-bench-100k";
}

struct Best {
    double wall = std::numeric_limits<double>::max();
    double cpu = std::numeric_limits<double>::max();
    void Take(double w, double c) {
        if (w < wall) wall = w;
        if (c < cpu) cpu = c;
    }
    bool Have() const { return wall < std::numeric_limits<double>::max(); }
};
Best g_bare, g_bareAttrs, g_torvane, g_rsync;

double CpuOf(const struct rusage& ru) {
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

// Runs argv with stdout and stderr to /dev/null (or to a log file); the exit
// code, the wall time and the child's CPU time.
int Spawn(const std::vector<std::string>& args, double& wall, double& cpu, const char* log = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    struct rusage ru {};
    if (wait4(pid, &status, 0, &ru) != pid) return -1;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = CpuOf(ru);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Torvane(std::initializer_list<std::string> words) {
    std::vector<std::string> v{TV_TORVANE_BIN, "--profile", Base() + "/profile"};
    v.insert(v.end(), words);
    return v;
}

// One later sync of the pair, some seconds after the first.
bool UsePairOnce() {
    const std::string marker = Base() + ".in-use";
    if (access(marker.c_str(), F_OK) == 0) return true;
    struct stat st {};
    if (stat((Base() + ".complete").c_str(), &st) != 0) return false;
    const time_t ready = st.st_mtime + 12;
    while (time(nullptr) < ready) sleep(1);
    FILE* f = fopen((Base() + "/L/a0/b0/c0/file-000.dat").c_str(), "ab");
    if (!f) return false;
    fputc('+', f);
    fclose(f);
    double w = 0, c = 0;
    const std::string log = Base() + "/setup.log";
    if (Spawn(Torvane({"sync", "bench"}), w, c, log.c_str()) != 0) {
        fprintf(stderr, "the later sync of the pair failed; see %s\n", log.c_str());
        return false;
    }
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// Makes the pair with the command: the job, then its first sync.
bool EnsurePair() {
    const std::string marker = Base() + ".complete";
    setenv("XDG_CONFIG_HOME", (Base() + "/config").c_str(), 1);
    if (access(marker.c_str(), F_OK) == 0) return UsePairOnce();
    if (system(("rm -rf '" + Base() + "' '" + Base() + ".in-use'").c_str()) != 0) return false;
    if (mkdir(Base().c_str(), 0755) != 0 || !benchtree::WriteSide(Base() + "/L") ||
        mkdir((Base() + "/R").c_str(), 0755) != 0)
        return false;
    double w = 0, c = 0;
    const std::string log = Base() + "/setup.log";
    if (Spawn(Torvane({"job", "add", "bench", Base() + "/L", Base() + "/R"}), w, c, log.c_str()) != 0 ||
        Spawn(Torvane({"sync", "bench"}), w, c, log.c_str()) != 0) {
        fprintf(stderr, "making the pair failed; see %s\n", log.c_str());
        return false;
    }
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    close(fd);
    return UsePairOnce();
}

using benchtree::BareWalk;

void WalkBothSides(benchmark::State& state, bool bAttrs, Best& best) {
    if (!EnsurePair()) return state.SkipWithError("cannot make the pair");
    for (auto _ : state) {
        struct rusage r0, r1;
        getrusage(RUSAGE_SELF, &r0);
        const auto t0 = std::chrono::steady_clock::now();
        const size_t n = BareWalk(Base() + "/L", bAttrs) + BareWalk(Base() + "/R", bAttrs);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        getrusage(RUSAGE_SELF, &r1);
        const double cpu = CpuOf(r1) - CpuOf(r0);
        best.Take(wall, cpu);
        state.SetIterationTime(wall);
        state.counters["cpu_ms"] = cpu * 1000;
        state.counters["items"] = (double)n;
    }
}

void BM_BareWalkBothSides(benchmark::State& state) {
    WalkBothSides(state, false, g_bare);
}

// The same walk reading each entry's stored attribute bits too: the least
// any scan of a job must ask the kernel for.
void BM_BareWalkWithAttrsBothSides(benchmark::State& state) {
    WalkBothSides(state, true, g_bareAttrs);
}

void RunChild(benchmark::State& state, const std::vector<std::string>& args, Best& best) {
    if (!EnsurePair()) return state.SkipWithError("cannot make the pair");
    for (auto _ : state) {
        double wall = 0, cpu = 0;
        const int rc = Spawn(args, wall, cpu);
        if (rc != 0) return state.SkipWithError(("exit code " + std::to_string(rc)).c_str());
        best.Take(wall, cpu);
        state.SetIterationTime(wall);
        state.counters["cpu_ms"] = cpu * 1000;
    }
}

void BM_TorvaneSyncUnchanged(benchmark::State& state) {
    RunChild(state, Torvane({"sync", "bench"}), g_torvane);
}

void BM_RsyncDryRun(benchmark::State& state) {
    if (system("command -v rsync >/dev/null 2>&1") != 0) return state.SkipWithError("rsync is not installed");
    RunChild(state, {"rsync", "-a", "-n", "--delete", Base() + "/L/", Base() + "/R/"}, g_rsync);
}

BENCHMARK(BM_BareWalkBothSides)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_BareWalkWithAttrsBothSides)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_TorvaneSyncUnchanged)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);
BENCHMARK(BM_RsyncDryRun)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_torvane.Have() && g_bare.Have())
        printf("torvane sync (unchanged) CPU / bare walk of both sides CPU (best iterations): %.0f ms / %.0f ms = "
               "%.2fx (target <= 2)\n",
               g_torvane.cpu * 1000, g_bare.cpu * 1000, g_torvane.cpu / g_bare.cpu);
    if (g_torvane.Have() && g_bareAttrs.Have())
        printf("torvane sync (unchanged) CPU / bare walk reading the stored attributes too, CPU (best iterations): "
               "%.0f ms / %.0f ms = %.2fx\n",
               g_torvane.cpu * 1000, g_bareAttrs.cpu * 1000, g_torvane.cpu / g_bareAttrs.cpu);
    if (g_torvane.Have() && g_rsync.Have())
        printf("torvane sync (unchanged) wall / rsync -a -n --delete wall (best iterations): %.0f ms / %.0f ms = "
               "%.2fx (target < 1); rsync CPU %.0f ms\n",
               g_torvane.wall * 1000, g_rsync.wall * 1000, g_torvane.wall / g_rsync.wall, g_rsync.cpu * 1000);
    return 0;
}
