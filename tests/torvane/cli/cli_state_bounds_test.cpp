// The built "torvane" over a side whose data folder holds a planted state
// file (long names, millions of records, with the record count the job
// keeps set high): the run refuses the file and its peak memory stays
// bounded, measured on the child process; records of items on neither
// side reach neither side's state.
#include "cli-test-run.h"
#include "job-harness.h"

#include "zor-stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>

namespace {

struct CChildRun {
    int code = -1;
    int64_t nMaxRssBytes = 0;
};

// Runs the program with a cap on its address space (a run that goes past
// its bound ends there instead of taking the machine's memory) and gives
// its exit code and peak resident memory.
CChildRun RunMeasured(std::vector<std::string> argv, const std::string& outFile) {
    CChildRun r;
    const pid_t pid = fork();
    if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // their shadow memory needs far more
        const struct rlimit lim = {(rlim_t)3 << 30, (rlim_t)3 << 30};
        setrlimit(RLIMIT_AS, &lim);
#endif
        const int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> a;
        for (std::string& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid > 0 && wait4(pid, &status, 0, &ru) == pid) {
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.nMaxRssBytes = (int64_t)ru.ru_maxrss * 1024;
    }
    return r;
}

// A state file of the root and n records from name(i) and a body, written in pieces.
bool WriteStateFile(const std::string& path, int64_t n, const std::function<std::string(int64_t)>& name,
                    const std::string& body) {
    CAutoPtrT<ZorOutStream> out;
    CWideString err;
    if (!OpenFileWriter(Utf8ToWide(path.c_str()), true, out, err, true)) return false;
    std::string text = "^[a=9|b=2|c=9|1=4|2=1|s=0|]\n[f=1|N:0:|]<";
    for (int64_t i = 0; i < n; i++) {
        const std::string s = name(i);
        text += "\n[f=0|N:" + std::to_string(s.size()) + ":" + s + "|" + body + "]<>";
        if (text.size() > (4u << 20) || i + 1 == n) {
            if (!out->Write(text.data(), (int)text.size(), err)) return false;
            text.clear();
        }
    }
    text += ">";
    return out->Write(text.data(), (int)text.size(), err) && out->Close(err);
}

} // namespace

TEST(CliStateBounds, PlantedStateFilesAreRefusedWithinBoundedMemory) {
    CTempFolder tmp;
    const std::string prog = CliProgram(), profile = tmp.NativeSub("profile");
    const auto cli = [&](std::vector<std::string> args, const std::string& out) {
        args.insert(args.begin(), {prog, "--profile", profile});
        return RunMeasured(args, tmp.NativeSub(out));
    };
    ASSERT_TRUE(tmp.MakeDir("L/d") && tmp.MakeDir("R"));
    for (int i = 0; i < 10; i++) ASSERT_TRUE(tmp.WriteFile("L/f" + std::to_string(i), "x"));
    ASSERT_EQ(cli({"job", "add", "j", tmp.NativeSub("L"), tmp.NativeSub("R")}, "add").code, 0);
    ASSERT_EQ(cli({"sync", "j"}, "first").code, 0);
    const std::string state = tmp.NativeSub("R/_tvdata_/_file_state_v4._tv");
    const auto numbered = [](int64_t i) { return "f" + std::to_string(100000000 + i).substr(1); };
    struct Case {
        const char* what;
        int64_t nRecords;
        std::function<std::string(int64_t)> name;
        std::string logged; // in the run's output ("": a sync)
        std::string body = std::string();
    } cases[] = {
        {"names of 128 KiB", 2000,
         [](int64_t i) { return "n" + std::to_string(1000000 + i) + std::string((128 << 10) - 8, 'x'); },
         "longer than 255"},
        {"2 M records", 2000000, numbered, "its records are not used"},
        {"16 M records", 16000000, numbered, "its records are not used"},
        // Items on neither side, each with a generation: a sync neither
        // logs them one by one nor passes them into either side's state.
        {"items on neither side", 400, [](int64_t i) { return "phantom" + std::to_string(i); }, "",
         "l[h=0|l=5|]C[t=1600000000|]t[t=1600000000|]g[a{=1|[y=1790000000|]|}]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        if (c.nRecords > 2000000) continue; // the same refusal as 2 M, at eight times the cost
#endif
        ASSERT_TRUE(WriteStateFile(state, c.nRecords, c.name, c.body));
        // The count kept of the side's records, set as high as it may go,
        // with the stamp of the file it was counted in (the one the job
        // saved, not the planted one in its place).
        for (auto& e : std::filesystem::recursive_directory_iterator(profile))
            if (e.path().filename().string().rfind("_state_records_", 0) == 0) {
                std::string kept = CliReadAll(e.path().string());
                const size_t blank = kept.find(' ');
                ASSERT_NE(blank, std::string::npos) << kept;
                if (kept.rfind("16777216 ", 0) != 0) std::ofstream(e.path()) << "16777216" + kept.substr(blank);
            }
        const CChildRun r = cli({"-v", c.logged.empty() ? "sync" : "analyze", "j"}, "run");
        const std::string out = CliReadAll(tmp.NativeSub("run"));
        EXPECT_EQ(r.code, 0) << out.substr(0, 4000);
        EXPECT_NE(out.find(c.logged), std::string::npos) << out.substr(0, 4000);
        EXPECT_EQ(out.find("phantom"), std::string::npos) << out.substr(0, 4000);
        for (const char* side : {"L", "R"}) {
            CAutoPtrT<ZorInStream> in;
            CWideString err;
            std::string text;
            unsigned char ch;
            const std::string path = tmp.NativeSub(side + std::string("/_tvdata_/_file_state_v4._tv"));
            if (c.logged.empty() && OpenFileReader(Utf8ToWide(path.c_str()), true, in, err))
                while (in->GetChar(ch, err)) text += (char)ch;
            EXPECT_EQ(text.find("phantom"), std::string::npos) << side;
        }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) // their memory is their own
        EXPECT_LT(r.nMaxRssBytes, (int64_t)400 << 20) << "peak resident bytes";
#endif
        EXPECT_EQ(tmp.List("R").size(), 12u) << "the side as it was";
        std::cout << c.what << ": peak " << (r.nMaxRssBytes >> 20) << " MiB\n";
    }
}
