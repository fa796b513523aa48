// Removal of a job's scheduled task: unit names, the unit files, the
// manager's commands, and the errors.
#include "task-scheduler.h"

#include "tv-common-test-util.h"

#include <sys/stat.h>

using tvtest::U8;

namespace {

class Scheduler : public ::testing::Test {
protected:
    wtest::TempDir m_dir;
    wtest::EnvVar m_xdg{"XDG_CONFIG_HOME", m_dir.Path()};
    std::vector<std::string> m_Commands;
    bool m_bManager = true;
    CSystemdTaskScheduler m_Sched{[this](const std::vector<CWideString>& args) {
        std::string line;
        for (const CWideString& a : args) line += (line.empty() ? "" : " ") + U8(a);
        m_Commands.push_back(line);
        return m_bManager;
    }};
    std::string UnitDir() const { return m_dir.Path() + "/systemd/user"; }
    void MakeUnits(const std::string& unit) {
        ::mkdir((m_dir.Path() + "/systemd").c_str(), 0700);
        ::mkdir(UnitDir().c_str(), 0700);
        wtest::WriteFile(UnitDir() + "/" + unit + ".timer", "[Timer]\n");
        wtest::WriteFile(UnitDir() + "/" + unit + ".service", "[Service]\n");
    }
};

} // namespace

TEST(SchedulerNames, UnitNamesAreSystemdEscapes) {
    // The expected texts are what "systemd-escape" prints for the names.
    struct Case {
        CWideString name;
        const char* unit;
    };
    const Case cases[] = {
        {u"Torvane - a_b", "Torvane\\x20\\x2d\\x20a_b"},
        {u"Torvane - Fotos \u00e4\u00f6", "Torvane\\x20\\x2d\\x20Fotos\\x20\\xc3\\xa4\\xc3\\xb6"},
        {u"Torvane - .x/y", "Torvane\\x20\\x2d\\x20.x-y"},
        {u"Torvane - \u00e9:1_2.3", "Torvane\\x20\\x2d\\x20\\xc3\\xa9:1_2.3"},
        {u".hidden", "\\x2ehidden"},
    };
    for (const Case& c : cases) EXPECT_EQ(U8(SystemdEscape(c.name)), c.unit) << U8(c.name);
}

TEST_F(Scheduler, DeletingStopsDisablesAndRemovesBothUnits) {
    const std::string unit = "Torvane\\x20\\x2d\\x20a_b";
    for (bool bManager : {true, false}) {
        SCOPED_TRACE(bManager);
        m_bManager = bManager;
        m_Commands.clear();
        MakeUnits(unit);
        CWideString err;
        ASSERT_TRUE(m_Sched.DeleteTask(u"Torvane - a_b", err)) << U8(err);
        EXPECT_FALSE(::access((UnitDir() + "/" + unit + ".timer").c_str(), F_OK) == 0);
        EXPECT_FALSE(::access((UnitDir() + "/" + unit + ".service").c_str(), F_OK) == 0);
        std::vector<std::string> expected = {"--user show-environment"};
        if (bManager) {
            expected.push_back("--user disable --now " + unit + ".timer");
            expected.push_back("--user stop " + unit + ".service");
            expected.push_back("--user daemon-reload");
        }
        EXPECT_EQ(m_Commands, expected);
    }
}

TEST_F(Scheduler, MissingTaskAndEmptyName) {
    ITvTaskScheduler* pOld = TvSetTaskScheduler(&m_Sched);
    CWideString err;
    EXPECT_FALSE(TvDeleteTask(u"Torvane - none", err));
    EXPECT_EQ(err, u"Cannot delete task: task not found");
    EXPECT_TRUE(m_Commands.empty());
    err.Empty();
    EXPECT_FALSE(TvDeleteTask(CWideString(), err));
    EXPECT_EQ(err, u"Empty Job name");
    EXPECT_TRUE(m_Commands.empty());
    TvSetTaskScheduler(pOld);
}
