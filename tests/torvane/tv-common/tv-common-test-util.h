// Shared set-up of the job-list tests: a private profile folder and registry
// per test, the store switches reset, and a scheduler fake.
#pragma once

#include "job-list.h"
#include "job-stores.h"
#include "task-scheduler.h"
#include "zor-unicode.h"

#include "../../zor-lib/windows/windows-test-util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tvtest {

inline std::string U8(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

// A scheduler that records what it was asked and answers as told.
class FakeScheduler : public ITvTaskScheduler {
public:
    bool DeleteTask(const CWideString& name, CWideString& err) override {
        m_Asked.push_back(name);
        if (!m_bSucceed) err = u"task not found";
        return m_bSucceed;
    }
    std::vector<CWideString> m_Asked;
    bool m_bSucceed = true;
};

// Each test gets its own profile folder and registry hive; the store
// switches are cleared and the profile folder is found anew.
class StoreTest : public ::testing::Test {
protected:
    wtest::TempDir m_dir;
    wtest::EnvVar m_reg{"TORVANE_REGISTRY_DIR", m_dir.Path() + "/reg"};
    wtest::EnvVar m_prof{"TORVANE_PROFILE_DIR", m_dir.Path() + "/profile"};
    wtest::EnvVar m_xdg{"XDG_CONFIG_HOME", m_dir.Path() + "/config"};
    FakeScheduler m_Scheduler;
    ITvTaskScheduler* m_pOldScheduler = nullptr;

    void SetUp() override {
        g_bLoadFromRegistry = false;
        g_bSaveToRegistry = false;
        g_bKeywordTextFiles = false;
        ResetProfileFolder();
        m_pOldScheduler = TvSetTaskScheduler(&m_Scheduler);
    }
    void TearDown() override {
        TvSetTaskScheduler(m_pOldScheduler);
        g_bLoadFromRegistry = false;
        g_bSaveToRegistry = false;
        g_bKeywordTextFiles = false;
        ResetProfileFolder();
    }
    std::string Profile() const { return m_dir.Path() + "/profile"; }
    std::string ProfileFile(const std::string& name) const { return Profile() + "/" + name; }
};

} // namespace tvtest
