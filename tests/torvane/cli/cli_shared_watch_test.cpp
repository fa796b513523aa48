// One folder as a side of two jobs of two profiles (a stick synced with two
// computers) while the first job runs under "watch", on exFAT (exfat-fuse)
// and ext4: a file that reached the stick in the second it was written, an
// edit of it, and a file put back on the stick with the size and time it
// had pass to every side, and no run makes a conflict of them.
#include "cli-test-run.h"
#include "job-harness.h"
#include "loop-disk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

namespace {

bool WaitFor(const std::function<bool()>& cond, int nMs) {
    for (int w = 0; w < nMs && !cond(); w += 20) usleep(20000);
    return cond();
}

// A file put back with the bytes given and the time the file there has:
// from an archive ("tar x", whole seconds) or a copy ("cp -a", the time as
// it stands), each on a new file where the old one was removed.
bool PutBack(const CTempFolder& tmp, const std::string& path, const std::string& bytes, bool bTar) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !tmp.WriteFile("archive/f", bytes)) return false;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    const std::string folder = path.substr(0, path.rfind('/')), tar = tmp.NativeSub("f.tar");
    const std::string cmd = bTar ? "tar -C " + tmp.NativeSub("archive") + " -cf " + tar + " f && rm " + path +
                                       " && tar -C " + folder + " -xf " + tar
                                 : "rm " + path + " && cp -a " + tmp.NativeSub("archive/f") + " " + path;
    return utimensat(AT_FDCWD, tmp.NativeSub("archive/f").c_str(), times, 0) == 0 && system(cmd.c_str()) == 0;
}

} // namespace

TEST(SharedSideRecordsUnderWatch, EachJobPassesOnWhatChangedSinceItsOwnSync) {
    // The second job syncs the stick once the file reached it, nPauseMs
    // before the edit (-1: not before it); the file is put back on the
    // stick with its size and time and the bytes given (by tar x; on ext4
    // by cp -a), then edited on the first computer (or on the stick).
    const struct Row {
        const char* name;
        ELoopDisk disk;
        int nPauseMs;
        const char* putBack;
        const char* edit;
        bool bEditOnStick = false;
    } rows[] = {
        {"exFAT, plain edit", ELoopDisk::Exfat, 1500, nullptr, "version 2, longer"},
        {"exFAT, edit in the second", ELoopDisk::Exfat, -1, nullptr, "version 2"},
        {"exFAT, put back, then edited", ELoopDisk::Exfat, 0, "version 1", "version 2"},
        {"exFAT, put back, then edited on it", ELoopDisk::Exfat, 0, "version 1", "version 2", true},
        {"ext4 -I 128, plain edit", ELoopDisk::Ext4Whole, 1500, nullptr, "version 2, longer"},
        {"ext4 -I 128, edit in the second", ELoopDisk::Ext4Whole, -1, nullptr, "version 2"},
        {"ext4 -I 128, put back, then edited", ELoopDisk::Ext4Whole, 0, "version 1", "version 2"},
        {"ext4 -I 128, put back, then edited on it", ELoopDisk::Ext4Whole, 0, "version 1", "version 2", true},
        // (On exFAT, size and time alone decide: other bytes put back so are not seen.)
        {"ext4 -I 128, other bytes put back", ELoopDisk::Ext4Whole, 0, "version 0", nullptr},
        {"ext4, other bytes put back", ELoopDisk::Ext4, 0, "version 0", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CTempFolder tmp;
        CLoopDisk disk(tmp.NativeSub("img"), tmp.NativeSub("disk"), row.disk);
        if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
        for (const char* d : {"p1", "p2", "disk/x", "archive"}) tmp.MakeDir(d);
        const std::string stick = tmp.NativeSub("disk/x");
        int nRun = 0;
        std::string said; // what every run of the second job said
        auto run = [&](const char* profile, std::vector<std::string> args) {
            args.insert(args.begin(), {CliProgram(), "--profile", tmp.NativeSub(profile)});
            const std::string n = std::to_string(nRun++);
            const CCliRun r = CliRunProgram(args, tmp.NativeSub("out" + n), tmp.NativeSub("err" + n));
            said += r.out + r.err;
            return r.code;
        };
        // While the watched job's run holds the stick, the other job is refused: it tries again.
        auto syncB = [&] {
            for (int i = 0; i < 100 && run("prof2", {"sync", "B"}) == 3; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        };
        ASSERT_EQ(run("prof1", {"job", "add", "A", tmp.NativeSub("p1"), stick, "--set", "OnFileChangeAction=1"}), 0);
        ASSERT_EQ(run("prof2", {"job", "add", "B", tmp.NativeSub("p2"), stick}), 0);
        for (const std::string d : {"p1", "p2", "disk/x"}) ASSERT_TRUE(tmp.WriteFile(d + "/own-" + d.substr(d.size() - 1), "own"));
        ASSERT_EQ(run("prof1", {"sync", "A"}) + run("prof2", {"sync", "B"}) + run("prof1", {"sync", "A"}), 0) << said;

        const std::string watchErr = tmp.NativeSub("watch.err");
        const pid_t watch = CliStartProgram({CliProgram(), "--profile", tmp.NativeSub("prof1"), "-v", "watch", "A"},
                                            tmp.NativeSub("watch.out"), watchErr);
        ASSERT_GT(watch, 0);
        struct CEnd {
            pid_t pid;
            ~CEnd() { (void)(pid > 0 && kill(pid, SIGKILL) == 0 && waitpid(pid, nullptr, 0)); }
        } end{watch};
        const auto watchSaid = [&] { return CliReadAll(watchErr); };
        ASSERT_TRUE(WaitFor([&] { return watchSaid().find("Analysis Completed") != std::string::npos; }, 20000))
            << watchSaid();
        const auto stickHolds = [&](const std::string& bytes) {
            return ReadWhole(stick + "/f") == bytes && !std::filesystem::exists(stick + "/_tvdata_/lock.tvl");
        };

        // The file is written at the start of a second; watch copies it within it.
        std::this_thread::sleep_for(std::chrono::seconds(1) -
                                    std::chrono::system_clock::now().time_since_epoch() % std::chrono::seconds(1));
        ASSERT_TRUE(tmp.WriteFile("p1/f", "version 1"));
        ASSERT_TRUE(WaitFor([&] { return stickHolds("version 1"); }, 20000)) << watchSaid();
        if (row.nPauseMs >= 0) syncB();
        usleep(std::max(row.nPauseMs, 0) * 1000);
        ASSERT_TRUE(!row.putBack || PutBack(tmp, stick + "/f", row.putBack, row.disk != ELoopDisk::Ext4));
        const std::string expected = row.edit ? row.edit : row.putBack;
        ASSERT_TRUE(!row.edit || tmp.WriteFile(row.bEditOnStick ? "disk/x/f" : "p1/f", expected));
        EXPECT_TRUE(WaitFor([&] { return stickHolds(expected) && ReadWhole(tmp.NativeSub("p1/f")) == expected; },
                            row.edit ? 20000 : 8000))
            << watchSaid();
        for (int i = 0; i < 2; i++) syncB();
        kill(watch, SIGTERM);
        int status = 0;
        ASSERT_TRUE(CliWaitLimited(watch, 10000, status));
        end.pid = -1;
        EXPECT_EQ(status, 0);
        for (const char* side : {"p1/f", "disk/x/f", "p2/f"}) EXPECT_EQ(ReadWhole(tmp.NativeSub(side)), expected) << side;
        const std::regex conflict("Conflict:|[1-9][0-9]* conflicts|Conflicts: [1-9]");
        EXPECT_FALSE(std::regex_search(said + watchSaid(), conflict)) << said << watchSaid();
    }
}
