// Crash safety of Sync: a run killed (SIGKILL) at a random moment of its
// Sync never loses or corrupts a file. The test program starts itself as a
// child that runs one Analyze + Sync and says over a pipe when Sync starts;
// the parent kills it after a delay drawn over an uninterrupted Sync's
// duration, runs the job again without a kill, and checks the trees against
// the fixture and against the uninterrupted run.
//
// TV_CRASH_TRIALS sets the number of trials (10 by default), TV_CRASH_SEED
// the first seed; the seed of each trial is printed.
#include "job-harness.h"
#include "test-tmp.h"

#include "state-file.h"
#include "zor-stream.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The sanitizer build runs everything several times slower: there one trial
// (against one reference run) checks the recovery path for memory faults,
// while the release build runs the trials that count.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDefaultTrials = 1, kReferenceRuns = 1;
#else
constexpr int kDefaultTrials = 10, kReferenceRuns = 3;
#endif

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

class CSignalSink : public CRecordingSink {
public:
    int fd = -1;
    bool bHoldAtFlush = false; // says so and waits to be killed where the copies are flushed
    bool ConfirmSync(int) override {
        if (fd >= 0) {
            const char c = 'S';
            (void)!write(fd, &c, 1);
        }
        return true;
    }
    void OnMessageLine(int level, const CWideString& text, int mode) override {
        CRecordingSink::OnMessageLine(level, text, mode);
        if (fd < 0 || !bHoldAtFlush || text.Find(u"Flushing the copied files to disk") < 0) return;
        const char c = 'F';
        (void)!write(fd, &c, 1);
        for (;;) pause();
    }
};

// One Analyze + Sync of dir/L and dir/R; returns the run's counters.
struct RunOutcome {
    CJobHarness::RunResult r;
    int changesOk = -1, syncOk = -1;
};
RunOutcome RunJobOn(const std::string& dir, int nThreads, int signalFd) {
    CJobHarness h;
    CSignalSink sink;
    sink.fd = signalFd;
    sink.bHoldAtFlush = getenv("TV_CRASH_CHILD_AT_FLUSH") != nullptr;
    CSyncJob job;
    job.SetProgressSink(&sink);
    job.SetName(u"Crash");
    job.SetSideFolder(0, W(dir + "/L"));
    job.SetSideFolder(1, W(dir + "/R"));
    job.m_Options.m_nWorkerThreads = nThreads;
    RunOutcome o;
    o.r = h.Run(job, true, true);
    o.changesOk = job.m_nChangesOk.load();
    o.syncOk = job.m_nSyncOk.load();
    job.SetProgressSink(&g_DummyJobProgress);
    return o;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return TvStreamText(f);
}

// Regular files below a side, outside the data folder: path -> content hash.
using Tree = std::map<std::string, size_t>;
Tree ReadTree(const fs::path& side, bool bWithData = false) {
    Tree t;
    if (!fs::exists(side)) return t;
    for (auto it = fs::recursive_directory_iterator(side); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), side).string();
        if (!bWithData && rel.rfind("_tvdata_", 0) == 0) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file()) t[rel] = std::hash<std::string>()(ReadAll(it->path()));
    }
    return t;
}

void Write(const fs::path& p, const std::string& content, time_t mtime) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
    utimes(p.c_str(), tv);
}

std::string Body(const std::string& tag, size_t n) {
    std::string s;
    s.reserve(n);
    while (s.size() < n) s += tag + ";";
    s.resize(n);
    return s;
}

// The moved-from path of a path in the renamed folder or the case change.
std::string MovedFrom(const std::string& p) {
    if (p.rfind("docs/renamed05/", 0) == 0) return "docs/d05/" + p.substr(15);
    if (p == "CASE.txt") return "Case.txt";
    return p;
}

class CrashTrial : public ::testing::Test {
protected:
    // The trees live in memory where the system offers it: a kill does not
    // depend on what reached the disk, and the trials stay quick.
    std::unique_ptr<CTempFolder> tmp;
    void SetUp() override {
        // A child ends with _exit or is killed: it makes no folder it would leave.
        if (getenv("TV_CRASH_CHILD_DIR")) return;
        const char* old = getenv("TMPDIR");
        const std::string saved = old ? old : "";
        if (access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
        tmp = std::make_unique<CTempFolder>();
        if (old)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    fs::path Root() const { return tmp->Native(); }

    // The base pair (synced once) and the fixture of every kind of change.
    void BuildFixture() {
        const fs::path base = Root() / "base";
        for (int d = 0; d < 20; ++d)
            for (int f = 0; f < 100; ++f) {
                const std::string rel = "docs/d" + std::string(d < 10 ? "0" : "") + std::to_string(d) + "/f" +
                                        std::to_string(f) + ".txt";
                Write(base / "L" / rel, Body(rel + " v1", 200 + f * 7), 1600000000);
            }
        for (int b = 0; b < 12; ++b) Write(base / "L" / ("big/b" + std::to_string(b) + ".bin"), Body("big v1", 4096), 1600000000);
        Write(base / "L/Case.txt", "case", 1600000000);
        fs::create_directories(base / "R");
        const RunOutcome o = RunJobOn(base.string(), 0, -1);
        ASSERT_TRUE(o.r.bOk);
        ASSERT_EQ(o.r.nSub, RSS_OK);

        const fs::path fx = Root() / "fixture";
        ASSERT_EQ(system(("cp -a " + base.string() + " " + fx.string()).c_str()), 0);
        std::mt19937 rng(7);
        auto file = [&](int d, int f) {
            return "docs/d" + std::string(d < 10 ? "0" : "") + std::to_string(d) + "/f" + std::to_string(f) + ".txt";
        };
        // Left changes, right changes and conflicts, in distinct folders.
        for (int f = 0; f < 100; ++f) {
            Write(fx / "L" / file(0, f), Body("left v2 " + file(0, f), 300 + f), 1600000100);
            Write(fx / "L" / file(1, f), Body("left v2 " + file(1, f), 300 + f), 1600000100);
            Write(fx / "L" / file(2, f), Body("left v2 " + file(2, f), 300 + f), 1600000100);
            Write(fx / "R" / file(3, f), Body("right v2 " + file(3, f), 310 + f), 1600000200);
            Write(fx / "R" / file(4, f), Body("right v2 " + file(4, f), 310 + f), 1600000200);
            Write(fx / "R" / file(6, f), Body("right v2 " + file(6, f), 310 + f), 1600000200);
            fs::remove(fx / "L" / file(7, f));
            fs::remove(fx / "R" / file(8, f));
            Write(fx / "L" / ("new/l" + std::to_string(f) + ".txt"), Body("new left", 100 + f), 1600000300);
            Write(fx / "L" / ("new/m" + std::to_string(f) + ".txt"), Body("new left m", 100 + f), 1600000300);
            Write(fx / "R" / ("newr/r" + std::to_string(f) + ".txt"), Body("new right", 100 + f), 1600000300);
        }
        for (int f = 0; f < 10; ++f) {
            Write(fx / "L" / file(9, f), Body("conflict left", 500), 1600000400);
            Write(fx / "R" / file(9, f), Body("conflict right", 600), 1600000500);
        }
        for (int b = 0; b < 12; ++b)
            Write(fx / "L" / ("big/b" + std::to_string(b) + ".bin"),
                  Body("big v2 " + std::to_string(b), (size_t)(1 + rng() % 8) << 20), 1600000600);
        fs::rename(fx / "L/docs/d05", fx / "L/docs/renamed05");
        fs::rename(fx / "L/Case.txt", fx / "L/CASE.txt");
        // Every version of every path in the fixture, by side and path.
        for (const char* side : {"L", "R"})
            for (const auto& [p, h] : ReadTree(fx / side)) versions[MovedFrom(p)].insert(h);
        for (const char* side : {"L", "R"}) fixture[side] = ReadTree(fx / side);
    }
    std::map<std::string, std::set<size_t>> versions;
    std::map<std::string, Tree> fixture;

    // Runs the child on dir; kills it delayMs after Sync started (negative:
    // never; kAtFlush: where it flushes its copies). Returns the ms from Sync
    // start to exit, or -1 when killed.
    static constexpr double kAtFlush = -2;
    double RunChild(const fs::path& dir, int nThreads, double delayMs, bool& bKilledInSync) {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        std::string self = fs::read_symlink("/proc/self/exe").string();
        // What a killed child made in its temporary folder goes with ours.
        const fs::path childTmp = Root() / "child-tmp";
        fs::create_directories(childTmp);
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
        env.push_back("TMPDIR=" + childTmp.string());
        env.push_back("TV_CRASH_CHILD_DIR=" + dir.string());
        env.push_back("TV_CRASH_CHILD_FD=" + std::to_string(p[1]));
        env.push_back("TV_CRASH_CHILD_THREADS=" + std::to_string(nThreads));
        if (delayMs == kAtFlush) env.push_back("TV_CRASH_CHILD_AT_FLUSH=1");
        std::vector<char*> envp;
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string filter = "--gtest_filter=CrashTrial.Child";
        char* argv[] = {self.data(), filter.data(), nullptr};
        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
        close(p[1]);
        char c = 0;
        const bool bStarted = read(p[0], &c, 1) == 1;
        const auto t0 = std::chrono::steady_clock::now();
        bKilledInSync = false;
        if (bStarted && delayMs == kAtFlush && read(p[0], &c, 1) == 1) {
            kill(pid, SIGKILL);
            bKilledInSync = true;
        } else if (bStarted && delayMs >= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds((int64_t)(delayMs * 1000)));
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                bKilledInSync = true;
            } else {
                pid = -1;
            }
        }
        if (pid > 0) waitpid(pid, nullptr, 0);
        close(p[0]);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
};

// The child side of a trial: only when started by the trial.
TEST_F(CrashTrial, Child) {
    const char* dir = getenv("TV_CRASH_CHILD_DIR");
    if (!dir) GTEST_SKIP() << "started by the crash trial only";
    RunJobOn(dir, atoi(getenv("TV_CRASH_CHILD_THREADS")), atoi(getenv("TV_CRASH_CHILD_FD")));
    _exit(0);
}

TEST_F(CrashTrial, KilledSyncNeverLosesOrCorruptsAFile) {
    if (getenv("TV_CRASH_CHILD_DIR")) GTEST_SKIP();
    ASSERT_TRUE(tmp->IsValid());
    BuildFixture();
    const fs::path fx = Root() / "fixture";
    // The uninterrupted run: its result, and its duration (the shortest of
    // three, so that the kills fall inside Sync on a busy machine too).
    const fs::path ref = Root() / "ref";
    bool bKilled = false;
    double durationMs = 1e9;
    for (int i = 0; i < kReferenceRuns; ++i) {
        fs::remove_all(ref);
        ASSERT_EQ(system(("cp -a " + fx.string() + " " + ref.string()).c_str()), 0);
        durationMs = std::min(durationMs, RunChild(ref, i == 1 ? 4 : 0, -1, bKilled));
    }
    const Tree refL = ReadTree(ref / "L"), refR = ReadTree(ref / "R");
    ASSERT_EQ(refL.count("docs/renamed05/f1.txt"), 1u);
    ASSERT_EQ(refR.count("docs/renamed05/f1.txt"), 1u);

    const int nTrials = getenv("TV_CRASH_TRIALS") ? atoi(getenv("TV_CRASH_TRIALS")) : kDefaultTrials;
    const uint32_t seed0 = getenv("TV_CRASH_SEED") ? (uint32_t)atol(getenv("TV_CRASH_SEED"))
                                                   : (uint32_t)std::random_device()();
    int nInSync = 0, nFailed = 0;
    for (int t = 0; t < nTrials; ++t) {
        const uint32_t seed = seed0 + (uint32_t)t;
        std::mt19937 rng(seed);
        const int nThreads = (t % 2) ? 4 : 0;
        const double delay = std::uniform_real_distribution<double>(0, durationMs)(rng);
        SCOPED_TRACE("seed " + std::to_string(seed) + " threads " + std::to_string(nThreads) + " kill after " +
                     std::to_string(delay) + " ms");
        const fs::path dir = Root() / ("trial" + std::to_string(t));
        ASSERT_EQ(system(("cp -a " + fx.string() + " " + dir.string()).c_str()), 0);
        bool bInSync = false;
        RunChild(dir, nThreads, delay, bInSync);
        nInSync += bInSync ? 1 : 0;
        const int failuresBefore = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();

        // Both state files parse.
        for (const char* side : {"L", "R"}) {
            CSyncPairsAndActions tree;
            CStateFileIo io(&tree);
            ZorGzFileStream in;
            int kind = 0;
            CWideString err;
            ASSERT_TRUE(in.OpenRead(W((dir / side / "_tvdata_/_file_state_v4._tv").string()), err)) << ToU8(err);
            EXPECT_TRUE(io.ReadStateStream(in, 0, &tree, false, 4, kind, err)) << side << ": " << ToU8(err);
        }
        // Every file is a fixture version of its path; no temporary file
        // stands among the user's files.
        for (const char* side : {"L", "R"})
            for (const auto& [p, h] : ReadTree(dir / side)) {
                EXPECT_EQ(p.find("._tvtmp"), std::string::npos) << side << "/" << p;
                if (p.find("._tvtmp") != std::string::npos) continue;
                EXPECT_TRUE(versions[MovedFrom(p)].count(h)) << "unknown content of " << side << "/" << p;
            }

        // The run without a kill, then the checks against the uninterrupted run.
        RunChild(dir, nThreads, -1, bKilled);
        for (const char* side : {"L", "R"}) {
            const Tree now = ReadTree(dir / side), all = ReadTree(dir / side, true);
            const Tree& want = std::string(side) == "L" ? refL : refR;
            if (now != want) {
                std::string diff;
                int n = 0;
                for (const auto& [p, h] : want)
                    if ((!now.count(p) || now.at(p) != h) && n++ < 10) diff += " " + p + (now.count(p) ? "(content)" : "(missing)");
                for (const auto& [p, h] : now)
                    if (!want.count(p) && n++ < 10) diff += " " + p + "(extra)";
                ADD_FAILURE() << side << ": the trees differ from the uninterrupted run's:" << diff;
            }
            // Each version that the uninterrupted run replaced or deleted is
            // in place or kept.
            for (const auto& [p, h] : fixture[side]) {
                auto it = want.find(p);
                if (it != want.end() && it->second == h) continue;
                const bool bMoved = p == "Case.txt" || p.rfind("docs/d05/", 0) == 0;
                if (bMoved) continue; // moved, and in the tree under its new name (compared above)
                auto kept = all.find("_tvdata_/_saved_/" + p);
                const bool bInPlace = now.count(p) && now.at(p) == h;
                EXPECT_TRUE(bInPlace || (kept != all.end() && kept->second == h))
                    << side << "/" << p << ": the replaced version is lost";
            }
        }
        const RunOutcome last = RunJobOn(dir.string(), nThreads, -1);
        EXPECT_EQ(last.changesOk, 0) << "the last run still found changes";
        const bool bFailed =
            ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() > failuresBefore;
        nFailed += bFailed ? 1 : 0;
        printf("crash trial %d: seed %u, %d threads, kill after %.1f of %.1f ms%s%s\n", t, seed, nThreads, delay,
               durationMs, bInSync ? " (inside Sync)" : " (after the run ended)", bFailed ? " FAILED" : "");
        fs::remove_all(dir);
    }
    printf("crash trials: %d, killed inside Sync: %d, failed: %d\n", nTrials, nInSync, nFailed);
}

// Killed after its copies, where they are flushed before anything records
// them: the state files are the old ones, no new file stands at its name yet
// (a name is given only to data on disk), and the next run copies them again
// to the same trees as the uninterrupted run.
TEST_F(CrashTrial, KilledBeforeTheCopiesAreFlushedRecordsThemAtTheNextRun) {
    if (getenv("TV_CRASH_CHILD_DIR")) GTEST_SKIP();
    ASSERT_TRUE(tmp->IsValid());
    BuildFixture();
    const fs::path fx = Root() / "fixture", ref = Root() / "ref";
    bool bKilled = false;
    ASSERT_EQ(system(("cp -a " + fx.string() + " " + ref.string()).c_str()), 0);
    RunChild(ref, 0, -1, bKilled);
    const RunOutcome refLast = RunJobOn(ref.string(), 0, -1);
    for (int nThreads : {0, 4}) {
        SCOPED_TRACE("threads " + std::to_string(nThreads));
        const fs::path dir = Root() / ("flush" + std::to_string(nThreads));
        ASSERT_EQ(system(("cp -a " + fx.string() + " " + dir.string()).c_str()), 0);
        RunChild(dir, nThreads, kAtFlush, bKilled);
        ASSERT_TRUE(bKilled) << "the run ended without flushing its copies";
        for (const char* side : {"L", "R"}) {
            const fs::path state = fs::path(side) / "_tvdata_/_file_state_v4._tv";
            EXPECT_EQ(ReadAll(dir / state), ReadAll(fx / state)) << side << ": a state file was written";
        }
        for (const char* name : {"R/new/l0.txt", "R/new/m99.txt", "L/newr/r5.txt"})
            EXPECT_FALSE(fs::exists(dir / name)) << name << ": a new file took its name before its data was flushed";
        const RunOutcome redo = RunJobOn(dir.string(), nThreads, -1);
        EXPECT_GE(redo.changesOk, 300) << "the new files were not copied again";
        for (const char* side : {"L", "R"}) EXPECT_EQ(ReadTree(dir / side), ReadTree(ref / side)) << side;
        const RunOutcome last = RunJobOn(dir.string(), nThreads, -1);
        EXPECT_EQ(last.changesOk, 0);
        EXPECT_EQ(last.syncOk, refLast.syncOk) << "the records differ from the uninterrupted run's";
    }
}

} // namespace
