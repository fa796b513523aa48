// The option and job stores: first load, damaged files, backups, failed and
// interrupted saves, the registry store across processes, names, the daily
// clean-up and file modes.
#include "job-forms.h"
#include "job-runner.h"
#include "job-stores.h"

#include "tv-common-test-util.h"
#include "zor-file.h"
#include "zor-http.h"
#include "zor-registry.h"
#include "zor-time.h"

#include <csignal>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using tvtest::StoreTest;
using tvtest::U8;

namespace {

const char kFirstOptionsTic[] =
    "[F[i[L<>]x[L<:9:cache.vfo|:7:mru.vfo|:8:mpp*.vfo|:27:Vexaform Online Account.vfp|:13:name *._tvtmp|"
    ":26:/System Volume Information|:9:Thumbs.db|:9:.DS_Store|>]]z=0|t=1|j=0|s=0|l=1|b=1|o=1|c=1|f=0|n=2|e=0|"
    "r:0:|M=1|S[a:0:|b=587|c=0|d:0:|e:0:|f:0:|]q=0|T[a=0|b:0:|c=3128|d:0:|e:0:|f=1|]a=1|L=7|N:0:|B=0|]";

int Mode(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
}
bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

void AddJobs(CTorvaneSettings& s, int n, const char16_t* prefix = u"job") {
    for (int i = 0; i < n; i++) {
        CSyncJobFromList j;
        j.m_Options.m_sName.Format(u"%s%d", prefix, i);
        j.m_Options.m_Dir1.m_sUrl.Format(u"file:///data/%d", i);
        s.AppendLoadedJob(new CSyncJobFromList(j));
    }
}

std::vector<std::string> Names(const CTorvaneSettings& s) {
    std::vector<std::string> v;
    for (CSyncJobFromList* p : s.GetJobs()) v.push_back(U8(p->GetName()));
    return v;
}

class Stores : public StoreTest {};

} // namespace

TEST_F(Stores, FirstLoadWritesTheDefaultsWithEveryMask) {
    ProgramOptions o;
    CWideString err;
    ASSERT_TRUE(o.LoadOptions(err)) << U8(err);
    EXPECT_EQ(wtest::ReadFile(ProfileFile("options.tic")), kFirstOptionsTic);
    EXPECT_EQ(Mode(ProfileFile("options.tic")), 0600);
    EXPECT_FALSE(Exists(ProfileFile("options.tmp")));
    EXPECT_EQ(o.m_GlobalFilters.m_lstExcluded.GetCount(), 8);

    // A good file that lacks one of the first five masks gets it back and is
    // saved; one that lacks only "Thumbs.db" is left alone.
    struct Case {
        const char16_t* drop;
        bool bSaved;
    };
    for (const Case& c : {Case{u"name *._tvtmp", true}, Case{u"Thumbs.db", false}}) {
        SCOPED_TRACE(U8(c.drop));
        ProgramOptions w;
        w.AddDefaultGlobalFilters(true);
        for (ZorPosition pos = w.m_GlobalFilters.m_lstExcluded.GetHeadPosition(); pos;) {
            ZorPosition cur = pos;
            if (w.m_GlobalFilters.m_lstExcluded.GetNext(pos) == c.drop)
                w.m_GlobalFilters.m_lstExcluded.RemoveAt(cur);
        }
        ASSERT_TRUE(w.SaveOptions(false, u"test", err)) << U8(err);
        std::string before = wtest::ReadFile(ProfileFile("options.tic"));
        ProgramOptions r;
        ASSERT_TRUE(r.LoadOptions(err)) << U8(err);
        EXPECT_EQ(wtest::ReadFile(ProfileFile("options.tic")) != before, c.bSaved);
        EXPECT_EQ(r.m_GlobalFilters.m_lstExcluded.GetCount(), c.bSaved ? 8 : 7);
    }
}

TEST_F(Stores, KeywordSwitchAndRelativeTixPaths) {
    g_bKeywordTextFiles = true;
    ProgramOptions o;
    CWideString err;
    ASSERT_TRUE(o.LoadOptions(err)) << U8(err);
    std::string tix = wtest::ReadFile(ProfileFile("options.tix"));
    EXPECT_EQ(tix.rfind("<ProgramOptions>\n", 0), 0u);
    EXPECT_NE(tix.find("\"Thumbs.db\""), std::string::npos);
    g_bKeywordTextFiles = false;

    // A relative ".tix" jobs path is read as keyword text below the profile.
    wtest::WriteFile(ProfileFile("mine.tix"), "<Job>\nName = \"from tix\"\n</Job>\n");
    CTorvaneSettings s;
    s.m_sJobsFile = u"mine.tix";
    ASSERT_TRUE(s.LoadJobs(err)) << U8(err);
    EXPECT_EQ(Names(s), std::vector<std::string>{"from tix"});
    EXPECT_EQ(U8(s.m_sJobsFile), ProfileFile("mine.tix"));
    // No jobs file: an empty list.
    CTorvaneSettings none;
    ASSERT_TRUE(none.LoadJobs(err)) << U8(err);
    EXPECT_EQ(none.GetJobCount(), 0);
}

TEST_F(Stores, DamagedFilesAreRenamedAsideByteIdentical) {
    struct Case {
        const char* file;
        const char* bad;
        bool bOptions;
    };
    const Case cases[] = {
        {"options.tic", "options-bad.tic", true}, {"options.tix", "options-bad.tix", true},
        {"jobs.tic", "jobs-bad.tic", false},      {"jobs.tix", "jobs-bad.tix", false},
        {"my.tic", "my-bad.tic", false},          {"Jobs.TIC", "Jobs-bad.TIC", false},
    };
    ASSERT_EQ(::mkdir(Profile().c_str(), 0700), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string damaged = std::string("[l<\n[n:5:a|]\xff garbage ") + c.file;
        if (std::string(c.file).find(".tix") != std::string::npos)
            damaged = "<Job>\nName = \"a\"\n<<< " + damaged;
        wtest::WriteFile(ProfileFile(c.file), damaged);
        ::chmod(ProfileFile(c.file).c_str(), 0644);
        CWideString err;
        if (c.bOptions) {
            ProgramOptions o;
            o.m_sOptionsFile = Utf8ToWide(c.file);
            o.m_nLogLevel = 5;
            EXPECT_FALSE(o.LoadOptions(err));
            EXPECT_NE(U8(err).find("Bad options file has been renamed to " + ProfileFile(c.bad)),
                      std::string::npos)
                << U8(err);
            EXPECT_EQ(o.m_nLogLevel, 2);
            // A fresh file with the defaults and every mask replaces it.
            ProgramOptions again;
            again.m_sOptionsFile = o.m_sOptionsFile;
            ASSERT_TRUE(again.LoadOptions(err)) << U8(err);
            EXPECT_EQ(again.m_GlobalFilters.m_lstExcluded.GetCount(), 8);
        } else {
            CTorvaneSettings s;
            s.m_sJobsFile = Utf8ToWide(c.file);
            EXPECT_FALSE(s.LoadJobs(err));
            EXPECT_NE(U8(err).find("Bad jobs file has been renamed to " + ProfileFile(c.bad)),
                      std::string::npos)
                << U8(err);
            EXPECT_FALSE(Exists(ProfileFile(c.file)));
        }
        EXPECT_EQ(wtest::ReadFile(ProfileFile(c.bad)), damaged);
        EXPECT_EQ(Mode(ProfileFile(c.bad)), 0600);
    }
}

TEST_F(Stores, SecondSaveKeepsTheFirstAsBackup) {
    CTorvaneSettings s;
    AddJobs(s, 1, u"first");
    CWideString err;
    ASSERT_TRUE(s.TvSaveJobs(false, u"one", err)) << U8(err);
    std::string first = wtest::ReadFile(ProfileFile("jobs.tic"));
    AddJobs(s, 1, u"second");
    ASSERT_TRUE(s.TvSaveJobs(false, u"two", err)) << U8(err);
    EXPECT_EQ(wtest::ReadFile(ProfileFile("jobs.bak")), first);
    EXPECT_NE(wtest::ReadFile(ProfileFile("jobs.tic")), first);
    EXPECT_FALSE(Exists(ProfileFile("jobs.tmp")));
    for (const char* f : {"jobs.tic", "jobs.bak", "jobs.lock"})
        EXPECT_EQ(Mode(ProfileFile(f)), 0600) << f;
}

TEST_F(Stores, EmptyOrDamagedJobsFileIsSetAsideAndTheBackupTakesItsPlace) {
    struct Case {
        const char* file;
        const char* content; // what the jobs file is left with
    };
    for (const Case& c : {Case{"jobs.tix", ""}, Case{"jobs.tix", "<Job>\nName = \"x\"\n<<<"},
                          Case{"jobs.tic", ""}, Case{"jobs.tic", "[l<garbage"}}) {
        SCOPED_TRACE(std::string(c.file) + " '" + c.content + "'");
        const std::string bad = std::string(c.file).replace(4, 0, "-bad");
        for (const char* f : {c.file, "jobs.bak", bad.c_str()}) ::unlink(ProfileFile(f).c_str());
        CTorvaneSettings s;
        s.m_sJobsFile = Utf8ToWide(c.file);
        AddJobs(s, 2);
        CWideString err;
        ASSERT_TRUE(s.TvSaveJobs(false, u"one", err)) << U8(err);
        ASSERT_TRUE(s.TvSaveJobs(false, u"two", err)) << U8(err);
        const std::string good = wtest::ReadFile(ProfileFile(c.file));
        wtest::WriteFile(ProfileFile(c.file), c.content);

        CTorvaneSettings r;
        r.m_sJobsFile = s.m_sJobsFile;
        err.Empty();
        EXPECT_TRUE(r.LoadJobs(err)) << U8(err);
        EXPECT_EQ(Names(r), (std::vector<std::string>{"job0", "job1"}));
        EXPECT_NE(U8(err).find("has been taken from " + ProfileFile("jobs.bak")), std::string::npos) << U8(err);
        EXPECT_EQ(wtest::ReadFile(ProfileFile(bad)), c.content);
        EXPECT_EQ(wtest::ReadFile(ProfileFile(c.file)), good);
        EXPECT_EQ(wtest::ReadFile(ProfileFile("jobs.bak")), good);
        EXPECT_EQ(Mode(ProfileFile(c.file)), 0600);
    }

    // An emptied list is stored with content and loads without a word; a save
    // with no jobs file in place leaves the backup alone.
    CTorvaneSettings s;
    s.m_sJobsFile = u"jobs.tix";
    AddJobs(s, 1);
    CWideString err;
    ASSERT_TRUE(s.TvSaveJobs(false, u"one", err)) << U8(err);
    const std::string one = wtest::ReadFile(ProfileFile("jobs.tix"));
    ASSERT_TRUE(s.RemoveAllJobs(err));
    ASSERT_TRUE(s.TvSaveJobs(false, u"none", err)) << U8(err);
    EXPECT_EQ(wtest::ReadFile(ProfileFile("jobs.bak")), one);
    CTorvaneSettings r;
    r.m_sJobsFile = s.m_sJobsFile;
    err.Empty();
    EXPECT_TRUE(r.LoadJobs(err));
    EXPECT_EQ(r.GetJobCount(), 0);
    EXPECT_TRUE(err.IsEmpty()) << U8(err);
    ::unlink(ProfileFile("jobs.tix").c_str());
    ASSERT_TRUE(s.TvSaveJobs(false, u"again", err)) << U8(err);
    EXPECT_EQ(wtest::ReadFile(ProfileFile("jobs.bak")), one);
}

TEST_F(Stores, SaveBeyondTheFileSizeLimitFailsAndChangesNothing) {
    CTorvaneSettings s;
    AddJobs(s, 2);
    CWideString err;
    ASSERT_TRUE(s.m_ProgramOptions.SaveOptions(false, u"setup", err)) << U8(err);
    ASSERT_TRUE(s.TvSaveJobs(false, u"setup", err)) << U8(err);
    g_bSaveToRegistry = true;
    ASSERT_TRUE(s.TvSaveJobs(false, u"setup", err)) << U8(err);
    g_bSaveToRegistry = false;
    const std::string files[] = {ProfileFile("jobs.tic"), ProfileFile("options.tic"),
                                 m_dir.Path() + "/reg/user.reg"};
    std::vector<std::string> before;
    for (const std::string& f : files) before.push_back(wtest::ReadFile(f));

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &rl);
        AddJobs(s, 40, u"more");
        s.m_ProgramOptions.m_sLogFolder = CWideString(u'x', 4000);
        CWideString e;
        int code = 0;
        if (s.TvSaveJobs(false, u"big", e)) code |= 1;
        if (s.m_ProgramOptions.SaveOptions(false, u"big", e)) code |= 2;
        g_bSaveToRegistry = true;
        if (s.TvSaveJobs(false, u"big", e)) code |= 4;
        if (s.m_ProgramOptions.SaveOptions(false, u"big", e)) code |= 8;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a save past the limit reported success";
    for (size_t i = 0; i < 3; i++) EXPECT_EQ(wtest::ReadFile(files[i]), before[i]) << files[i];
    EXPECT_FALSE(Exists(ProfileFile("jobs.tmp")));
    EXPECT_FALSE(Exists(ProfileFile("options.tmp")));
}

TEST_F(Stores, KilledSaverLeavesTheOldOrTheNewList) {
    CTorvaneSettings a, b;
    AddJobs(a, 2, u"A");
    AddJobs(b, 30, u"B");
    CWideString err;
    ASSERT_TRUE(a.TvSaveJobs(false, u"start", err)) << U8(err);
    std::mt19937 rng(12345);
    for (int round = 0; round < 50; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; i++) {
                CWideString e;
                (i % 2 ? a : b).TvSaveJobs(false, u"loop", e);
            }
        }
        usleep(200 + rng() % 8000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        CTorvaneSettings r;
        ASSERT_TRUE(r.LoadJobs(err)) << "round " << round << ": " << U8(err);
        int n = r.GetJobCount();
        ASSERT_TRUE(n == 2 || n == 30) << "round " << round << ": " << n;
        EXPECT_EQ(U8(r.GetJobs().front()->GetName()), n == 2 ? "A0" : "B0");
    }
}

TEST_F(Stores, RegistryListSavedByOneProcessLoadsInAnother) {
    g_bSaveToRegistry = true;
    g_bLoadFromRegistry = true;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CTorvaneSettings s;
        AddJobs(s, 3, u"R\u00e9g ");
        s.FindJob(u"R\u00e9g 1")->m_Options.m_sPostSyncScriptOrEmail = u"line one\nline \u20ac";
        CWideString e;
        _exit(s.TvSaveJobs(false, u"child", e) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    CTorvaneSettings s;
    CWideString err;
    ASSERT_TRUE(s.LoadJobs(err)) << U8(err);
    EXPECT_EQ(Names(s), (std::vector<std::string>{"R\xc3\xa9g 0", "R\xc3\xa9g 1", "R\xc3\xa9g 2"}));
    EXPECT_EQ(s.FindJob(u"R\u00e9g 1")->m_Options.m_sPostSyncScriptOrEmail, u"line one\nline \u20ac");

    // A removed job keeps its key and last-run time but loses "tix".
    WriteLastRunTime(s.FindJob(u"R\u00e9g 0"));
    ASSERT_TRUE(s.RemoveJob(u"R\u00e9g 0", err));
    ASSERT_TRUE(s.TvSaveJobs(false, u"removed", err)) << U8(err);
    CTorvaneSettings t;
    ASSERT_TRUE(t.LoadJobs(err)) << U8(err);
    EXPECT_EQ(t.GetJobCount(), 2);
    uint32_t n = 0;
    EXPECT_TRUE(RegGetDwordValue(n, HKEY_CURRENT_USER, JobRegKey(u"R\u00e9g 0"), u"LastRunTime32", err));
    CSyncJobFromList j;
    j.m_Options.m_sName = u"R\u00e9g 0";
    ReadLastRunTime(&j);
    EXPECT_EQ((uint32_t)j.m_nLastRunTime.load(), n);
    // Options through the registry keep their line breaks as blanks.
    ProgramOptions o;
    o.m_sLogFolder = u"/logs";
    ASSERT_TRUE(o.SaveOptions(false, u"reg", err)) << U8(err);
    CWideString text;
    RegGetStringValueQuiet(text, HKEY_CURRENT_USER, kTorvaneRegKey, u"ProgOptionsTix");
    EXPECT_EQ(text.Find(u'\n'), -1);
    ProgramOptions p;
    ASSERT_TRUE(p.LoadOptions(err)) << U8(err);
    EXPECT_EQ(p.m_sLogFolder, u"/logs");
}

TEST_F(Stores, LoadedDuplicateAndUnsafeNamesAreRenamed) {
    ASSERT_EQ(::mkdir(Profile().c_str(), 0700), 0);
    wtest::WriteFile(ProfileFile("jobs.tix"), "<Job>\nName = \"A\"\n</Job>\n\n<Job>\nName = \"a\"\n</Job>\n\n"
                                              "<Job>\n</Job>\n\n<Job>\nName = \"x/y\"\n</Job>\n\n"
                                              "<Job>\nName = \"a (2)\"\n</Job>\n");
    CTorvaneSettings s;
    s.m_sJobsFile = u"jobs.tix";
    CWideString err;
    ASSERT_TRUE(s.LoadJobs(err)) << U8(err);
    EXPECT_EQ(Names(s), (std::vector<std::string>{"A", "a (3)", "Job (2)", "x_y (2)", "a (2)"}));
    EXPECT_NE(U8(err).find("Job 'a' has been renamed to 'a (3)'"), std::string::npos) << U8(err);
}

TEST_F(Stores, DailyCleanUpOfOldLogs) {
    ZorTestClock clock(1800000000);
    ZorClockScope scope(&clock);
    CWideString folder, err;
    ASSERT_TRUE(GetProfileFolder(folder, err)) << U8(err);
    struct Case {
        int64_t nAgo;
        int nRetain;
        bool bRuns;
        bool bDeletes;
    };
    const Case cases[] = {
        {86399, 7, false, false}, {86400, 7, true, true}, {0, 7, true, true}, {86400, 0, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nAgo);
        std::string log = ProfileFile("old.log");
        wtest::WriteFile(log, "x");
        int kind = 0;
        ASSERT_TRUE(SetFileModTime(Utf8ToWide(log.c_str()), 1800000000 - 30 * 86400, kind, err));
        uint32_t stamp = c.nAgo ? (uint32_t)(1800000000 - c.nAgo) : 0;
        RegSetDwordValueQuiet(stamp, HKEY_CURRENT_USER, kTorvaneRegKey, u"CleanUpTime");
        ProgramOptions o;
        o.m_nLogRetainDays = c.nRetain;
        CleanupOldGlobalLogs(o);
        uint32_t now = 0;
        RegGetDwordValueQuiet(now, HKEY_CURRENT_USER, kTorvaneRegKey, u"CleanUpTime");
        EXPECT_EQ(now, c.bRuns ? 1800000000u : stamp);
        EXPECT_EQ(Exists(log), !c.bDeletes);
    }
}

TEST_F(Stores, ManualProxyOfTheProgramOptionsReachesTheHttpLayer) {
    const CProxyOptions savedProxy = GetHttpProxyOptions();
    const CEngineOptions savedEngine = g_EngineOptions;
    const PfnJobMayRun savedMayRun = g_pfnJobMayRun;
    ProgramOptions& o = g_Settings.m_ProgramOptions;
    const ProgramOptions savedOptions = o;
    o.ResetToDefaults();
    o.m_sOptionsFile.Empty();
    o.m_ProxyServer.m_bUseWinInetProxy = false;
    o.m_ProxyServer.m_bUseProxyBelow = true;
    o.m_ProxyServer.m_sHost = "127.0.0.1";
    o.m_ProxyServer.m_nPort = 18123;
    o.m_ProxyServer.m_sUserID = "proxy-user";
    o.m_ProxyServer.m_sPassword = "proxy-secret";
    SetHttpProxyOptions(CProxyOptions());
    CWideString err;
    ASSERT_TRUE(InitEngineOptions(o, err)) << U8(err);
    EXPECT_TRUE(GetHttpProxyOptions() == o.m_ProxyServer);
    // A reload of the stored options brings the stored proxy back.
    ASSERT_TRUE(o.SaveOptions(false, u"test", err)) << U8(err);
    const CProxyOptions stored = o.m_ProxyServer;
    SetHttpProxyOptions(CProxyOptions());
    o.m_ProxyServer = CProxyOptions();
    ASSERT_TRUE(o.LoadOptions(err)) << U8(err);
    EXPECT_TRUE(GetHttpProxyOptions() == stored);
    EXPECT_EQ(std::string(GetHttpProxyOptions().m_sHost.GetString()), "127.0.0.1");
    // Another record is only read.
    ProgramOptions other;
    other.m_sOptionsFile = o.m_sOptionsFile;
    SetHttpProxyOptions(CProxyOptions());
    ASSERT_TRUE(other.LoadOptions(err)) << U8(err);
    EXPECT_TRUE(GetHttpProxyOptions() == CProxyOptions());

    o = savedOptions;
    SetHttpProxyOptions(savedProxy);
    g_EngineOptions = savedEngine;
    g_pfnJobMayRun = savedMayRun;
}
