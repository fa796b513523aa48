// A job between a local folder and the cloud test account (tools/fake-cloud.py
// over HTTPS on 127.0.0.1), run the way the host runs it: the auto-run tick
// starts the monitors and asks for runs, the worker runs them. The first run
// uploads the tree, later runs upload only what changed, and another
// client's changes on the server (a restore from the trash too) reach the local folder through the long
// poll, the monitor and the incremental run.
#include "auto-run.h"
#include "job-harness.h"
#include "job-runner.h"
#include "test-tmp.h"
#include "tv-common-test-util.h"

#include "../tvfilesys/cloud-test-util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/time.h>

namespace {

using tvtest::U8;

bool WaitFor(const std::function<bool()>& cond, int nMaxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

void SetMtime(const std::string& path, time_t t) {
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    utimes(path.c_str(), tv);
}

struct Entry {
    bool dir = false;
    std::string data;
    int64_t modified = 0;
    bool operator==(const Entry& o) const { return dir == o.dir && data == o.data && modified == o.modified; }
};
using Tree = std::map<std::string, Entry>;

std::string Dump(const Tree& t) {
    std::string r;
    for (const auto& [p, e] : t)
        r += p + (e.dir ? "/" : " [" + e.data + "] " + std::to_string(e.modified)) + "\n";
    return r;
}

// The local folder without the engine's data folder.
Tree LocalTree(const std::string& root) {
    Tree t;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::string rel = it->path().string().substr(root.size());
        if (rel.rfind("/_tvdata_", 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        Entry e;
        e.dir = it->is_directory();
        if (!e.dir) {
            std::ifstream f(it->path(), std::ios::binary);
            e.data = TvStreamText(f);
            struct stat st {};
            stat(it->path().c_str(), &st);
            e.modified = st.st_mtime;
        }
        t[rel] = e;
    }
    return t;
}

// The account's tree from the control API (the data collection apart).
Tree ServerTree(CloudServer& srv, int* pDataItems = nullptr) {
    Tree t;
    std::istringstream in(srv.Ctl("tree", "", "GET"));
    std::string line;
    int nData = 0;
    while (std::getline(in, line)) {
        Entry e;
        std::string path;
        if (line.rfind("D ", 0) == 0) {
            e.dir = true;
            path = line.substr(2);
        } else if (line.rfind("F ", 0) == 0) {
            std::istringstream f(line.substr(2));
            std::string hex;
            f >> e.modified >> hex;
            std::getline(f, path);
            path = path.substr(1);
            for (size_t i = 1; i + 1 < hex.size(); i += 2) e.data += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
        } else {
            t["?" + line] = e;
            continue;
        }
        if (path.rfind("/tvdata_collection", 0) == 0) {
            nData++;
            continue;
        }
        t[path] = e;
    }
    if (pDataItems) *pDataItems = nData;
    return t;
}

class CloudJob : public tvtest::StoreTest {
protected:
    testsrv::TempDir m_srvDir;
    CloudServer m_srv;
    bool m_bReady = false;
    CTempFolder m_tmp;
    CRecordingSink m_sink;
    CEngineOptions m_saved = g_EngineOptions;
    PfnJobMayRun m_savedMayRun = g_pfnJobMayRun;
    ZorAssertHook m_prevHook = nullptr;

    void SetUp() override {
        tvtest::StoreTest::SetUp();
        testsrv::ClearProxyEnvironment();
        testsrv::RunCommand("mkdir -p '" + (m_srvDir / "pki") + "'");
        m_bReady = testsrv::RunCommand("bash '" TV_SOURCE_DIR "/tools/make-test-pki.sh' '" + (m_srvDir / "pki") +
                                       "' >/dev/null 2>&1") == 0 &&
                   m_srv.Start(m_srvDir / "pki");
        SetSslRootsFile(Utf8ToWide((m_srvDir / "pki/roots.pem").c_str()));
        HttpProxyOptions().m_bUseWinInetProxy = false;
        ClearPolicies();
        SetPolicy(u"KdxServer", m_srv.Host().c_str());
        GetOrvanFileList().ResetCache();
        GetOrvanFileList().InvalidateQuota();
        g_EngineOptions.m_sMirrorFolderRoot = m_tmp.Path("mirror-root");
        g_pfnJobMayRun = nullptr;
        m_prevHook = ZorSetAssertHook([](const char*) {});
    }
    void TearDown() override {
        for (CSyncJobFromList* j : g_Settings.GetJobs()) {
            j->GetProgressSink()->RequestStop();
            j->TurnOffFileMonitors(u"end of test");
            j->SetProgressSink(&g_DummyJobProgress);
        }
        CWideString err;
        EXPECT_TRUE(g_Settings.RemoveAllJobs(err)) << U8(err);
        GetOrvanFileList().ResetCache();
        ClearPolicies();
        SetSslRootsFile(CWideString());
        ZorSetAssertHook(m_prevHook);
        g_EngineOptions = m_saved;
        g_pfnJobMayRun = m_savedMayRun;
        tvtest::StoreTest::TearDown();
    }
    bool Tick() {
        bool b = false;
        AutoRunTick(b);
        return b;
    }
    // The host: ticks until the job asks for a run (bounded), then runs it
    // as the worker does. Returns the request's reason ("" if none came).
    std::string HostRun(CSyncJobFromList* j, int nMaxMs) {
        std::string reason;
        WaitFor(
            [&] {
                Tick();
                return IsRunRequested(j);
            },
            nMaxMs);
        if (!IsRunRequested(j)) return reason;
        reason = U8(j->GetRequestReason());
        const int32_t nAction = j->GetRequestedAction();
        j->SetRequestedAction(0);
        j->m_bAnalyze = 1;
        j->m_bSync = nAction == 2 ? 0 : 1;
        j->m_nRunKind = RK_AUTOMATIC;
        j->m_sStarter = Utf8ToWide(reason.c_str());
        j->GetProgressSink()->ResetStop();
        std::thread t([j] { JobWorkerThreadProc(j); });
        t.join();
        // The run kind goes back to the user's, as the host does after a worker.
        j->m_nRunKind = RK_USER;
        j->m_sStarter.Empty();
        return reason;
    }
    // Runs as the host until cond holds (bounded). The local monitor also
    // reports the previous run's own writes, so a run for those may come
    // before the one for the awaited change; every run must succeed.
    bool RunUntil(CSyncJobFromList* j, const std::function<bool()>& cond, int nMaxMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMaxMs);
        while (!cond() && std::chrono::steady_clock::now() < end) {
            const std::string reason = HostRun(j, 2000);
            if (reason.empty()) continue;
            EXPECT_EQ(reason, "On File Change Incremental") << Said();
            if (!j->m_bRunResult.load()) {
                ADD_FAILURE() << U8(j->m_sRunErrorText) << Said();
                return false;
            }
        }
        return cond();
    }
    // What the job and its monitors said, for failure messages.
    std::string Said() const {
        std::string r;
        for (const auto& n : m_sink.Notices()) r += "N: " + U8(n.text) + "\n";
        return r + m_sink.Dump();
    }
    int CountUploads(const std::string& log, const char* method, bool bNoEvents) {
        // one log entry per request: count the upload entries of the method
        int n = 0;
        for (size_t at = log.find("{\"method\": \"" + std::string(method) + "\", \"path\": \"/api/sync/files");
             at != std::string::npos;
             at = log.find("{\"method\": \"" + std::string(method) + "\", \"path\": \"/api/sync/files", at + 1)) {
            size_t end = log.find("{\"method\": ", at + 1);
            std::string entry = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (entry.find("\"upload\"") == std::string::npos) continue;
            const bool bNe = entry.find("X-Cirrolith-No-Events\", \"true\"") != std::string::npos;
            if (bNe == bNoEvents) n++;
        }
        return n;
    }
};

} // namespace

TEST_F(CloudJob, UploadsTheTreeThenFollowsBothSides) {
    if (!m_bReady) GTEST_SKIP() << "cannot start the test account";
    m_srv.Ctl("seed", "{\"tree\": []}");
    m_srv.Set("{\"poll_hold_s\": 1}");

    m_tmp.MakeDir("local/docs/deep");
    m_tmp.WriteFile("local/a.txt", "alpha");
    m_tmp.WriteFile("local/docs/b.md", "bravo text");
    m_tmp.WriteFile("local/docs/deep/c.bin", std::string("c\0c", 3) + "charlie");
    SetMtime(m_tmp.NativeSub("local/a.txt"), 1690000000);
    SetMtime(m_tmp.NativeSub("local/docs/b.md"), 1690000100);
    SetMtime(m_tmp.NativeSub("local/docs/deep/c.bin"), 1690000200);

    // The job as a user makes it: the cloud side with its user id and the
    // password kept encrypted.
    CSyncJobFromList def;
    def.SetName(u"cloud");
    def.SetLeftFolder(NormalizeUrl(m_tmp.Path("local")));
    TvConnectInfo ci = CloudInfo(m_srv.Host());
    ASSERT_TRUE(def.SetSideConnectInfo(1, ci));
    ASSERT_FALSE(def.m_Options.m_Dir2.m_sPassword.IsEmpty());
    EXPECT_EQ(def.m_Options.m_Dir2.m_sPassword.Find(u"secret"), -1);
    EXPECT_EQ(def.m_Options.m_Dir2.m_bLongPoll, 0);
    def.m_Options.m_nOnFileChangeAction = 1;
    def.m_Options.m_nOnFileChangeDelay = 0;
    def.m_Options.m_bSavePreviousVersion = 0;
    CSyncJobFromList* j = g_Settings.AddJob(def);
    j->SetProgressSink(&m_sink);

    // First run: a full one that uploads the tree; the data folder goes up
    // without events.
    ASSERT_EQ(HostRun(j, 10000), "On File Change 1st Full Analyze") << Said();
    ASSERT_TRUE(j->m_bRunResult.load()) << U8(j->m_sRunErrorText) << Said();
    int nData = 0;
    const Tree local = LocalTree(m_tmp.NativeSub("local"));
    EXPECT_EQ(Dump(ServerTree(m_srv, &nData)), Dump(local));
    EXPECT_EQ(local.size(), 5u) << Dump(local);
    std::string log = m_srv.Log();
    EXPECT_EQ(CountUploads(log, "POST", false), 3) << log;
    EXPECT_GE(CountUploads(log, "POST", true) + CountUploads(log, "PUT", true), 1) << log;
    EXPECT_GE(nData, 1);
    // The cloud has no copy within the account for the in-sync stamp; the
    // lock deleted instead is no error of a clean run.
    EXPECT_EQ(m_sink.Dump().find("\n1/"), std::string::npos) << Said();

    // The program's own uploads echo back through the long poll: no
    // cloud-side change is queued, no run is asked for.
    ASSERT_TRUE(WaitFor([&] { return j->m_aMonitor[1].m_bStarted.load(); }, 8000)) << Said();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    Tick();
    EXPECT_EQ(j->CountSideChanges(1), 0) << Dump(ServerTree(m_srv));
    EXPECT_FALSE(IsRunRequested(j)) << U8(j->GetRequestReason());

    // A full run with no changes uploads nothing.
    j->SetRequestedAction(1);
    {
        const std::string before = m_srv.Log();
        const int nPosts = CountUploads(before, "POST", false), nPuts = CountUploads(before, "PUT", false);
        j->m_bChangesOnlyRun = false;
        HostRun(j, 1000);
        ASSERT_TRUE(j->m_bRunResult.load()) << U8(j->m_sRunErrorText) << Said();
        const std::string after = m_srv.Log();
        EXPECT_EQ(CountUploads(after, "POST", false), nPosts);
        EXPECT_EQ(CountUploads(after, "PUT", false), nPuts);
    }

    // A local edit goes up as the replace of the file (a PUT), nothing else;
    // with previous versions kept, the old file moves into the data folder
    // and the new one is a new upload.
    for (const bool bKeep : {false, true}) {
        j->GetOptions().m_bSavePreviousVersion = bKeep;
        const std::string before = m_srv.Log();
        const int nPosts = CountUploads(before, "POST", false), nPuts = CountUploads(before, "PUT", false);
        const std::string text = bKeep ? "bravo, edited twice" : "bravo, edited";
        m_tmp.WriteFile("local/docs/b.md", text);
        SetMtime(m_tmp.NativeSub("local/docs/b.md"), bKeep ? 1690000900 : 1690000500);
        // (the user's full run rebuilt the tree: the next on-change run is a full one)
        const std::string reason = HostRun(j, 8000);
        if (!bKeep) {
            ASSERT_EQ(reason, "On File Change 1st Full Analyze") << Said();
        }
        ASSERT_FALSE(reason.empty()) << Said();
        ASSERT_TRUE(j->m_bRunResult.load()) << U8(j->m_sRunErrorText) << Said();
        const std::string after = m_srv.Log();
        EXPECT_EQ(CountUploads(after, "POST", false), nPosts + (bKeep ? 1 : 0)) << after;
        EXPECT_EQ(CountUploads(after, "PUT", false), nPuts + (bKeep ? 0 : 1)) << after;
        EXPECT_EQ(Dump(ServerTree(m_srv)), Dump(LocalTree(m_tmp.NativeSub("local"))));
        EXPECT_EQ(LocalTree(m_tmp.NativeSub("local"))["/docs/b.md"].data, text);
        const std::string tree = m_srv.Ctl("tree", "", "GET");
        EXPECT_EQ(tree.find("/tvdata_collection/_saved_/docs/b.md") != std::string::npos, bKeep) << tree;
    }
    j->GetOptions().m_bSavePreviousVersion = false;

    // Another client creates, renames and deletes on the server: each
    // reaches the local folder through the long poll and an incremental run.
    const std::string root = m_tmp.NativeSub("local");
    m_srv.Ctl("create", "{\"path\": \"/docs/new.txt\", \"data\": \"from afar\", \"modified\": 1695000000}");
    EXPECT_TRUE(RunUntil(j, [&] { return LocalTree(root)["/docs/new.txt"].data == "from afar"; }, 15000))
        << Said();

    m_srv.Ctl("rename", "{\"path\": \"/docs/new.txt\", \"name\": \"renamed.txt\"}");
    EXPECT_TRUE(RunUntil(j, [&] { return !m_tmp.Exists("local/docs/new.txt") && m_tmp.Exists("local/docs/renamed.txt"); },
                         15000))
        << Said() << Dump(ServerTree(m_srv));

    m_srv.Ctl("delete", "{\"path\": \"/docs/renamed.txt\"}");
    EXPECT_TRUE(RunUntil(j, [&] { return !m_tmp.Exists("local/docs/renamed.txt"); }, 15000)) << Said();

    // ... and restores it from the trash.
    m_srv.Ctl("restore", "{\"path\": \"/docs/renamed.txt\"}");
    EXPECT_TRUE(RunUntil(j, [&] { return LocalTree(root)["/docs/renamed.txt"].data == "from afar"; }, 15000))
        << Said();

    // Both sides agree at the end.
    EXPECT_EQ(Dump(ServerTree(m_srv)), Dump(LocalTree(m_tmp.NativeSub("local"))));
}
