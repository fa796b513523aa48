// libFuzzer target of the lock-file reader: any bytes in a folder's lock file
// are read without a crash, the answer is one of the documented ones, and a
// lock is deleted only when it is this job's own (its owner this process, or
// an ended process of the same job, profile, computer, boot and PID
// namespace, or one of an earlier boot).
#include "WinFileSys.h"
#include "syncjob.h"

#include "zor-unicode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

std::string ReadFile(const std::string& path, bool& bExists) {
    std::ifstream in(path, std::ios::binary);
    bExists = (bool)in;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    static std::string s_dir;
    static WinFileSys* s_pFs = nullptr;
    if (!s_pFs) {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tvfuzzlock-XXXXXX";
        if (!mkdtemp(tmpl.data())) return 0;
        s_dir = tmpl;
        // The folder goes with the run (a run that crashes leaves it in the
        // TMPDIR that tools/test.sh gives the fuzzers, and removes).
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(s_dir, ec);
        });
        if (system(("mkdir -p '" + s_dir + "/_tvdata_'").c_str()) != 0) return 0;
        s_pFs = new WinFileSys();
        TvConnectInfo ci;
        ci.m_sUrl = Utf8ToWide(("file://" + s_dir).c_str());
        int k = 0;
        CWideString e;
        Check(s_pFs->Connect(ci, nullptr, k, e));
    }
    const std::string lock = s_dir + "/_tvdata_/lock.tvl";
    const std::string bytes((const char*)data, size);
    std::ofstream(lock, std::ios::binary | std::ios::trunc) << bytes;
    // This process's boot and PID namespace, as its owner text holds them:
    // the inputs may name them, another boot (abandoned only when written
    // before this one began) or another namespace (never abandoned).
    static const std::string place = [] {
        std::ifstream in("/proc/sys/kernel/random/boot_id");
        std::string boot;
        std::getline(in, boot);
        struct stat st = {};
        stat("/proc/self/ns/pid", &st);
        return ", boot " + boot + ", pid namespace " + std::to_string(st.st_ino);
    }();
    const std::string who = "By: J.u@h (profile 00000000";
    const CNarrowString owner = (who + place + ", process " + std::to_string(getpid()) + ")").c_str();
    int k = 0;
    CWideString e;
    const int32_t r = CSyncJob::ReadLockFile(CWideString(), s_pFs, CNarrowString(), owner, k, e);
    Check(r == 0 || r == 2);
    bool bExists = false;
    const std::string after = ReadFile(lock, bExists);
    // Another owner's lock stays as it was.
    if (r == 0) Check(bExists && after == bytes);
    // A deleted one named this job of this profile and computer, with a boot
    // and namespace.
    if (!bExists)
        Check((bytes.find(who + ", boot ") != std::string::npos && bytes.find(", pid namespace ") != std::string::npos) ||
              (size > 1 && data[1] == 0));
    return 0;
}
