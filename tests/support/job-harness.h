// A small stand-in for the job list, for engine tests.
//
// CJobHarness does for a job what the job list does around a run: it sets
// the analyse and sync flags, the run kind and the activity word (3 for a
// run that analyses, 5 for a Sync-only run), clears the run-started flag,
// runs CSyncJob::RunJob on a thread of its own (the job's thread), and
// afterwards publishes the outcome into the activity word and sub-state.
// While it lives it installs a virtual test clock (every wait of the engine
// runs in no time and is counted), gives the engine a mirror root in a
// temporary folder, and restores g_EngineOptions and g_pfnJobMayRun when it
// goes. Its recording sink receives everything the job says.
#pragma once

#include "recording-sink.h"
#include "syncjob.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/time.h>

// A temporary folder, removed with its content.
class CTempFolder {
public:
    CTempFolder() {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tvjob-XXXXXX";
        if (mkdtemp(tmpl.data())) m_path = tmpl;
    }
    // What a test mounted below the folder and left (it failed before its
    // own unmount) is unmounted first, the deepest first.
    ~CTempFolder() {
        if (m_path.empty()) return;
        std::vector<std::string> mounts;
        std::ifstream info("/proc/self/mountinfo");
        for (std::string line; std::getline(info, line);) {
            std::istringstream fields(line);
            std::string id, parent, dev, root, point;
            fields >> id >> parent >> dev >> root >> point;
            if (point.rfind(m_path + "/", 0) == 0) mounts.push_back(point);
        }
        std::sort(mounts.begin(), mounts.end(), [](const std::string& a, const std::string& b) { return a > b; });
        for (const std::string& m : mounts) umount2(m.c_str(), MNT_DETACH);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    bool IsValid() const { return !m_path.empty(); }
    const std::string& Native() const { return m_path; }
    // The folder, or a path below it ("a/b").
    std::string NativeSub(const std::string& rel) const { return rel.empty() ? m_path : m_path + "/" + rel; }
    CWideString Path(const std::string& rel = std::string()) const {
        return Utf8ToWide(NativeSub(rel).c_str());
    }
    bool MakeDir(const std::string& rel) const {
        std::error_code ec;
        std::filesystem::create_directories(NativeSub(rel), ec);
        return !ec;
    }
    bool WriteFile(const std::string& rel, const std::string& content) const {
        std::ofstream f(NativeSub(rel), std::ios::binary);
        f << content;
        return (bool)f;
    }
    // Writes the file (its folders made first) with the given modification time.
    bool WriteFileAt(const std::string& rel, const std::string& content, time_t mtime) const {
        const size_t slash = rel.rfind('/');
        if (slash != std::string::npos && !MakeDir(rel.substr(0, slash))) return false;
        if (!WriteFile(rel, content)) return false;
        struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
        return utimes(NativeSub(rel).c_str(), tv) == 0;
    }
    bool Exists(const std::string& rel) const {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(NativeSub(rel), ec));
    }
    // Names directly inside a folder, sorted.
    std::vector<std::string> List(const std::string& rel) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(NativeSub(rel), ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string m_path;
};

class CJobHarness {
public:
    struct RunResult {
        bool bOk = false;
        int nErrKind = 0;
        CWideString sResult;
        int nState = 0;
        int nSub = 0;
    };

    CJobHarness() : m_clock(1700000000), m_clockScope(&m_clock), m_savedOptions(g_EngineOptions) {
        m_savedMayRun = g_pfnJobMayRun;
        g_pfnJobMayRun = nullptr;
        g_EngineOptions.m_sMirrorFolderRoot = m_tmp.Path("mirror-root");
        g_EngineOptions.m_bCreateFolderIfNotFound = 0;
    }
    ~CJobHarness() {
        g_EngineOptions = m_savedOptions;
        g_pfnJobMayRun = m_savedMayRun;
    }
    CJobHarness(const CJobHarness&) = delete;
    CJobHarness& operator=(const CJobHarness&) = delete;

    // Hands the harness's sink to the job.
    void Attach(CSyncJob& job) { job.SetProgressSink(&m_sink); }
    // Installs the job list's may-run callback (null: none).
    void SetMayRun(PfnJobMayRun pfn) { g_pfnJobMayRun = pfn; }
    void SetCreateFolderIfNotFound(bool b) { g_EngineOptions.m_bCreateFolderIfNotFound = b ? 1 : 0; }
    // The mirror root that the engine options point at.
    CWideString MirrorRoot() const { return g_EngineOptions.m_sMirrorFolderRoot; }

    // One run as the job list starts it, on a thread of its own.
    RunResult Run(CSyncJob& job, bool bAnalyze, bool bSync, int nRunKind = RK_USER,
                  const CSyncJob::GlobalFilters* pGlobal = nullptr) {
        job.m_bAnalyze = bAnalyze ? 1 : 0;
        job.m_bSync = bSync ? 1 : 0;
        job.m_nRunKind = nRunKind;
        job.m_bRunStarted = 0;
        job.SetRunState(0, 0);
        job.m_nActivity.store(bAnalyze ? JA_ANALYZING : JA_SYNCING);
        job.m_nActivitySub.store(0);
        RunResult r;
        std::thread t([&] { r.bOk = job.RunJob(pGlobal, r.nErrKind, r.sResult); });
        t.join();
        r.nState = job.GetRunState();
        r.nSub = job.GetRunSubState();
        // Publish the outcome as the job list does.
        job.m_nActivity.store(r.nState == RS_ANALYZED ? JA_ANALYZED
                              : r.nState == RS_SYNCED ? JA_SYNCED
                                                      : JA_NOT_ANALYZED);
        job.m_nActivitySub.store(r.nSub);
        return r;
    }

    CTempFolder m_tmp;
    ZorTestClock m_clock;
    ZorClockScope m_clockScope;
    CRecordingSink m_sink;

private:
    CEngineOptions m_savedOptions;
    PfnJobMayRun m_savedMayRun = nullptr;
};

// Text helpers for assertions.
inline std::string ToU8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}
