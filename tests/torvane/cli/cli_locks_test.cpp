// Folder locks between processes: two profiles whose jobs share a folder,
// one job watched while the other process syncs.
#include "cli-test-run.h"
#include "job-harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

struct CProc {
    pid_t pid = -1;
    std::string err;
    std::string Err() const { return CliReadAll(err); }
    int Wait() {
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

class CliLocks : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;
    std::vector<CProc*> m_live;

    void TearDown() override {
        for (CProc* p : m_live)
            if (p->pid > 0) {
                kill(p->pid, SIGCONT);
                kill(p->pid, SIGKILL);
                p->Wait();
            }
    }
    std::string P(const std::string& rel) const { return m_tmp.NativeSub(rel); }
    CProc Start(const std::string& profile, const std::vector<std::string>& args) {
        CProc c;
        const int n = m_nRun++;
        c.err = P("err" + std::to_string(n));
        std::vector<std::string> all = {CliProgram(), "--profile", P(profile)};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : all) argv.push_back(s.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        return c;
    }
    int Code(const std::string& profile, const std::vector<std::string>& args) {
        CProc c = Start(profile, args);
        const int code = c.Wait();
        EXPECT_EQ(code, 0) << c.Err();
        return code;
    }
    static bool WaitFor(const std::function<bool()>& cond, int nMs, int nStepUs = 20000) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
             std::chrono::steady_clock::now() < end;) {
            if (cond()) return true;
            usleep(nStepUs);
        }
        return cond();
    }
    bool Exists(const std::string& rel) const { return std::filesystem::exists(P(rel)); }
};

} // namespace

// Job ab (A-B) is watched in one process; job bc (B-C) of another profile
// syncs by hand and holds B's lock. An on-change run of ab neither writes
// into B nor saves B's state while that lock stands, and runs once it goes.
TEST_F(CliLocks, OnChangeRunStopsAtAnotherProcesssLockAndRunsWhenItGoes) {
    m_tmp.MakeDir("A");
    m_tmp.MakeDir("C");
    m_tmp.WriteFile("A/a.txt", "a");
    m_tmp.MakeDir("B");
    {
        // What bc copies while it holds B's lock: large enough to stop it there.
        std::ofstream big(P("B/big.bin"), std::ios::binary);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 96; ++i) big << block;
    }
    Code("p1", {"job", "add", "ab", P("A"), P("B"), "--set", "OnFileChangeAction=1"});
    Code("p2", {"job", "add", "bc", P("B"), P("C")});
    Code("p1", {"sync", "ab"});
    CProc watch = Start("p1", {"-v", "watch", "ab"});
    m_live.push_back(&watch);
    ASSERT_TRUE(WaitFor([&] { return watch.Err().find(" Completed. Time ") != std::string::npos; }, 20000))
        << watch.Err();

    // B's state file as another process's earlier sync left it: ab reads it again.
    const std::string state = P("B/_tvdata_/_file_state_v4._tv");
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, state.c_str(), times, 0), 0);

    CProc bc = Start("p2", {"sync", "bc"});
    m_live.push_back(&bc);
    ASSERT_TRUE(WaitFor([&] { return Exists("B/_tvdata_/lock.tvl"); }, 20000, 100)) << bc.Err();
    kill(bc.pid, SIGSTOP);
    ASSERT_TRUE(Exists("B/_tvdata_/lock.tvl")) << "bc ended before it could be held: " << bc.Err();

    const size_t mark = watch.Err().size();
    m_tmp.WriteFile("A/new.txt", "new");
    ASSERT_TRUE(WaitFor(
        [&] { return Exists("B/new.txt") || watch.Err().find("Another job is Syncing", mark) != std::string::npos; },
        20000))
        << watch.Err().substr(mark);
    usleep(500000);
    EXPECT_FALSE(Exists("B/new.txt"));
    struct stat st {};
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);

    kill(bc.pid, SIGCONT);
    EXPECT_EQ(bc.Wait(), 0) << bc.Err();
    EXPECT_EQ(CliReadAll(P("C/big.bin")).size(), 96u << 20);
    // Nothing changed in A or B since: only the lock's release starts ab again.
    ASSERT_TRUE(WaitFor([&] { return Exists("B/new.txt"); }, 20000)) << watch.Err().substr(mark);
    kill(watch.pid, SIGTERM);
    EXPECT_EQ(watch.Wait(), 0) << watch.Err();
}
