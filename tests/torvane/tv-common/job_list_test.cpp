// The settings object and its jobs: events, the current job, marks and
// counts, new and deleted jobs, names, and running jobs.
#include "job-forms.h"
#include "job-list.h"

#include "tv-common-test-util.h"
#include "zor-log.h"
#include "zor-registry.h"

#include <string>
#include <vector>

using tvtest::StoreTest;
using tvtest::U8;

namespace {

// Records every observer and listener event as one line.
class Recorder : public ISettingsObserver, public ISyncJobListener {
public:
    std::vector<std::string> m_Events;
    void Add(const std::string& s) { m_Events.push_back(s); }
    void OnSettingsJobAdded(CSyncJobFromList*, const CWideString& n) override { Add("added " + U8(n)); }
    void OnSettingsJobStateChanged(CSyncJobFromList*, const CWideString& n) override {
        Add("state " + U8(n));
    }
    void OnSettingsJobRenamed(const CWideString& a, const CWideString& b) override {
        Add("renamed " + U8(a) + ">" + U8(b));
    }
    void OnSettingsJobMarkChanged(CSyncJobFromList*, const CWideString& n) override { Add("mark " + U8(n)); }
    void OnSettingsJobDeleted(const CWideString& n) override { Add("deleted " + U8(n)); }
    void OnCurrentJobChanged(CSyncJobFromList* p, const CWideString& n) override {
        Add(std::string(p ? "current! " : "current ") + U8(n));
    }
    void OnJobStateChanged(CSyncJobFromList* p) override { Add("job-state " + U8(p->GetName())); }
    void OnJobFinished(CSyncJobFromList*) override {}
    void OnJobText(CSyncJobFromList*, int, const CWideString&) override {}
    void OnJobFlag(CSyncJobFromList*, int) override {}
    void OnJobRenamed(const CWideString& a, const CWideString& b) override {
        Add("job-renamed " + U8(a) + ">" + U8(b));
    }
    void OnJobMarkChanged(CSyncJobFromList* p) override { Add("job-mark " + U8(p->GetName())); }
};

class JobList : public StoreTest {
protected:
    CTorvaneSettings m_Settings;
    Recorder m_Rec;
    void SetUp() override {
        StoreTest::SetUp();
        m_Settings.AddObserver(&m_Rec);
    }
    void TearDown() override {
        m_Settings.RemoveObserver(&m_Rec);
        StoreTest::TearDown();
    }
    void New(const CWideString& name, int type = 0) {
        CWideString err;
        ASSERT_TRUE(NewJob(m_Settings, name, type, CWideString(), u"/l", u"/r", false, err)) << U8(err);
    }
    std::vector<std::string> Names() {
        std::vector<std::string> v;
        for (CSyncJobFromList* p : m_Settings.GetJobs()) v.push_back(U8(p->GetName()));
        return v;
    }
};

} // namespace

TEST_F(JobList, StateRequestAndMarkEmitOncePerChange) {
    New(u"A");
    CSyncJobFromList* p = m_Settings.FindJob(u"a");
    ASSERT_NE(p, nullptr);
    Recorder own;
    p->AddListener(&own);
    m_Rec.m_Events.clear();
    p->SetLiveRunState(3, 0);
    p->SetLiveRunState(3, 0);
    p->SetLiveRunState(3, 1);
    p->SetRequestedAction(2);
    p->SetRequestedAction(2);
    p->SetMark(true);
    p->SetMark(true);
    m_Settings.UnmarkJob(u"A");
    EXPECT_EQ(m_Rec.m_Events,
              (std::vector<std::string>{"state A", "state A", "state A", "mark A", "mark A"}));
    EXPECT_EQ(own.m_Events, (std::vector<std::string>{"job-state A", "job-state A", "job-state A",
                                                      "job-mark A", "job-mark A"}));
    p->RemoveListener(&own);

    // Counts follow the live state, the request and the marks.
    EXPECT_EQ(m_Settings.CountBusyJobs(), 1);
    p->SetRequestedAction(0);
    p->SetLiveRunState(4, 1);
    EXPECT_EQ(m_Settings.CountBusyJobs(), 0);
    m_Settings.MarkJob(u"A");
    EXPECT_EQ(m_Settings.CountMarkedJobs(), 1);
    EXPECT_TRUE(m_Settings.AnyMarkedJobIdle());
    EXPECT_FALSE(m_Settings.AnyMarkedJobRunning());
    p->RequestRun(1, u"Periodic Timer", 7);
    EXPECT_TRUE(IsRunRequested(p));
    EXPECT_EQ(p->GetRequestReason(), u"Periodic Timer");
    EXPECT_TRUE(p->m_bRequestedSinceLoad.load());
    EXPECT_FALSE(m_Settings.AnyMarkedJobIdle());
}

TEST_F(JobList, RemovingTheCurrentJobAnnouncesItsSuccessorFirst) {
    New(u"One");
    New(u"Two");
    New(u"Three");
    struct Step {
        const char* current;
        const char* remove;
        std::vector<std::string> events;
    };
    const Step steps[] = {
        {"Two", "two", {"current Two", "current Three", "deleted two"}},
        {"Three", "Three", {"current Three", "current One", "deleted Three"}},
        {"One", "One", {"current One", "current ", "deleted One"}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.remove);
        m_Rec.m_Events.clear();
        ASSERT_TRUE(m_Settings.SetCurrentJob(Utf8ToWide(s.current)));
        ASSERT_TRUE(m_Settings.RemoveJob(Utf8ToWide(s.remove)));
        EXPECT_EQ(m_Rec.m_Events, s.events);
    }
    EXPECT_EQ(m_Settings.GetJobCount(), 0);
    EXPECT_FALSE(m_Settings.SetCurrentJob(u"Nobody"));
}

TEST_F(JobList, NewJobChecksNamesAndTypes) {
    New(u"Docs");
    struct Case {
        CWideString name;
        int type;
        const char16_t* err;
    };
    const Case cases[] = {
        {u"DOCS", 0, u"Job 'DOCS' already exists."},
        {u"", 0, u"cannot create job with empty name"},
        {u"x", 3, u"bad job type 3"},
        {u"a/b", 0, nullptr},
        {u"a\\b", 0, nullptr},
        {u"..", 0, nullptr},
        {CWideString(u"tab\tname"), 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(U8(c.name));
        CWideString err;
        EXPECT_FALSE(NewJob(m_Settings, c.name, c.type, CWideString(), u"/l", u"/r", false, err));
        if (c.err) {
            EXPECT_EQ(err, c.err);
        }
        EXPECT_FALSE(err.IsEmpty());
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"Docs"});
    // A rename to an unsafe name is refused; a good one is announced.
    CSyncJobFromList* p = m_Settings.FindJob(u"Docs");
    m_Rec.m_Events.clear();
    p->SetName(u"../x");
    New(u"Other");
    m_Rec.m_Events.clear();
    p->SetName(u"OTHER"); // another job's name
    EXPECT_EQ(p->GetName(), u"Docs");
    p->SetName(u"Docs 2");
    EXPECT_EQ(p->GetName(), u"Docs 2");
    EXPECT_EQ(m_Rec.m_Events, std::vector<std::string>{"renamed Docs>Docs 2"});
}

TEST_F(JobList, NewJobFromTemplateKeepsTheCallersFolders) {
    CSyncJobFromList tmpl;
    tmpl.m_Options.m_sName = u"T";
    tmpl.m_Options.m_nWorkerThreads = 4;
    tmpl.m_Options.m_Dir1.m_sUrl = u"/tmpl/left";
    tmpl.m_Options.m_Dir2.m_sUrl = u"/tmpl/right";
    ZorStringOutStream out;
    CWideString err;
    ASSERT_TRUE(WriteJobTic(tmpl, out, err));
    std::string dir = ProfileFile("Templates");
    ASSERT_EQ(::mkdir(Profile().c_str(), 0700) == 0 || errno == EEXIST, true);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    wtest::WriteFile(dir + "/web.tvt", out.GetText().GetString());

    ASSERT_TRUE(NewJob(m_Settings, u"J", 1, u"web", u"/mine", CWideString(), true, err)) << U8(err);
    CSyncJobFromList* p = m_Settings.FindJob(u"J");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->m_Options.m_nWorkerThreads, 4);
    EXPECT_EQ(p->m_Options.m_Dir1.m_sUrl, u"/mine");
    EXPECT_EQ(p->m_Options.m_Dir2.m_sUrl, u"/tmpl/right");
    EXPECT_EQ(p->m_Options.m_Filters.m_lstIncluded.GetCount(), 1);
    EXPECT_EQ(p->m_Options.m_Filters.m_lstExcluded.GetCount(), 2);
    // A template name that is not one path component is ignored.
    ASSERT_TRUE(NewJob(m_Settings, u"K", 0, u"../Templates/web", u"/a", u"/b", false, err));
    EXPECT_EQ(m_Settings.FindJob(u"K")->m_Options.m_nWorkerThreads, 0);
}

TEST_F(JobList, DeleteJobCopiesTheNameBeforeTheJobGoes) {
    New(u"a.b");
    New(u"keep");
    CWideString err;
    ASSERT_TRUE(RegSetDwordValue(5, HKEY_CURRENT_USER, JobRegKey(u"a.b"), u"LastRunTime32", err));
    ZorGetProgramLog().SetFolder(Utf8ToWide(m_dir.Path().c_str()));
    ZorGetProgramLog().SetFileName(u"program.log");
    m_Scheduler.m_bSucceed = false;
    // The job's own name is passed in: it must outlive the job.
    CSyncJobFromList* p = m_Settings.FindJob(u"a.b");
    EXPECT_TRUE(DeleteJob(m_Settings, p, err)) << U8(err);
    ZorGetProgramLog().Close();
    EXPECT_EQ(Names(), std::vector<std::string>{"keep"});
    EXPECT_EQ(m_Scheduler.m_Asked, std::vector<CWideString>{u"Torvane - a_b"});
    std::string log = wtest::ReadFile(m_dir / "program.log");
    EXPECT_NE(log.find("Failed to delete scheduled task for 'a.b': Cannot delete task: task not found"),
              std::string::npos)
        << log;
    uint32_t n = 0;
    EXPECT_FALSE(RegGetDwordValue(n, HKEY_CURRENT_USER, JobRegKey(u"a.b"), u"LastRunTime32", err));
    // The saved list no longer holds it.
    CTorvaneSettings other;
    ASSERT_TRUE(other.LoadJobs(err)) << U8(err);
    EXPECT_EQ(other.GetJobCount(), 1);
    ZorGetProgramLog().SetFileName(CWideString());

    err.Empty();
    EXPECT_FALSE(DeleteJob(m_Settings, nullptr, err));
    EXPECT_EQ(err, u"Cannot delete, invalid job specified");
}

TEST_F(JobList, RunningJobsCannotBeRemovedOrReloaded) {
    New(u"busy");
    CSyncJobFromList* p = m_Settings.FindJob(u"busy");
    ASSERT_TRUE(m_Settings.BeginRun(p));
    EXPECT_FALSE(m_Settings.BeginRun(p)); // already running
    CWideString err;
    EXPECT_FALSE(DeleteJob(m_Settings, p, err));
    EXPECT_EQ(err, u"Job 'busy' is running");
    err.Empty();
    EXPECT_FALSE(m_Settings.LoadJobs(err));
    EXPECT_EQ(err, u"Job 'busy' is running");
    EXPECT_EQ(m_Settings.FindJob(u"busy"), p);
    m_Settings.EndRun(p);
    EXPECT_TRUE(m_Settings.RemoveJob(u"busy", err));
    EXPECT_TRUE(m_Scheduler.m_Asked.empty());
}

namespace {
CSyncTreeNode* AddPath(CSyncTreeNode* pRoot, const CWideString& path, bool bLastFolder) {
    CSyncTreeNode* p = pRoot;
    int start = 0;
    for (;;) {
        CWideString name = path.Tokenize(u"/", start);
        if (start < 0) break;
        bool bLast = start >= path.GetLength();
        CWideString err;
        CSyncTreeNode* pNext = p->LookupCS(name, false, nullptr, err);
        if (!pNext) pNext = p->AddItemCS(name, !bLast || bLastFolder, false, nullptr, err);
        if (!pNext) return nullptr;
        p = pNext;
    }
    return p;
}
} // namespace

TEST_F(JobList, ReapplyFiltersExcludesMatchesAndTheirChildren) {
    New(u"F");
    CSyncJobFromList* p = m_Settings.FindJob(u"F");
    p->m_Options.m_Filters.m_lstExcluded.AddTail(u"*.tmp");
    m_Settings.m_ProgramOptions.m_GlobalFilters.m_lstExcluded.AddTail(u"/cache");
    CSyncTreeNode* pRoot = p->GetPairsUnchecked();
    AddPath(pRoot, u"cache/c.txt", false);
    AddPath(pRoot, u"docs/a.txt", false);
    AddPath(pRoot, u"docs/b.tmp", false);
    CSyncTreeNode* pOld = AddPath(pRoot, u"x.tmp", false);
    pOld->GetItem().m_nFlags |= SPF_EXCLUDED;
    pOld->GetItem().SetReason(u"old");
    pRoot->GetItem().m_nFlags &= (uint8_t)~SPF_EXCLUDED;

    EXPECT_TRUE(m_Settings.ReapplyFilters(p));
    struct Expect {
        const char16_t* path;
        bool bExcluded;
    };
    for (const Expect& e : {Expect{u"cache", true}, Expect{u"cache/c.txt", true}, Expect{u"docs", false},
                            Expect{u"docs/a.txt", false}, Expect{u"docs/b.tmp", true}}) {
        CWideString err;
        CSyncTreeNode* pNode = pRoot->LookupCS(e.path, false, nullptr, err);
        ASSERT_NE(pNode, nullptr) << U8(e.path);
        EXPECT_EQ(pNode->GetItem().IsExcluded(), e.bExcluded) << U8(e.path);
        if (e.bExcluded) {
            EXPECT_EQ(pNode->GetItem().m_nSysAction, EA_NO_COPY);
        }
    }
    EXPECT_EQ(pOld->GetItem().GetReason(), u"old");
    // Nothing new to exclude the second time.
    EXPECT_FALSE(m_Settings.ReapplyFilters(p));
}

TEST_F(JobList, LoadedJobsTalkOnlyToTheirOwnListeners) {
    New(u"L");
    CWideString err;
    CTorvaneSettings loaded;
    Recorder obs;
    loaded.AddObserver(&obs);
    ASSERT_TRUE(loaded.LoadJobs(err)) << U8(err);
    CSyncJobFromList* p = loaded.FindJob(u"L");
    ASSERT_NE(p, nullptr);
    Recorder own;
    p->AddListener(&own);
    p->SetLiveRunState(5, 0);
    EXPECT_TRUE(obs.m_Events.empty());
    EXPECT_EQ(own.m_Events, std::vector<std::string>{"job-state L"});
    p->RemoveListener(&own);
    loaded.RemoveObserver(&obs);
}
