// Removal of a job's scheduled task.
//
// A task is a systemd user timer with its service, both named by systemd's
// escaping of the task name, in $XDG_CONFIG_HOME/systemd/user/. Deleting
// stops and disables them through "systemctl --user" when a user instance
// answers, then removes both unit files.
#pragma once

#include "zor-string.h"

#include <functional>
#include <vector>

// The scheduler behind TvDeleteTask (a fake in tests).
class ITvTaskScheduler {
public:
    virtual ~ITvTaskScheduler() = default;
    // Deletes the task; false with the reason in sErr ("task not found" when
    // there is none).
    virtual bool DeleteTask(const CWideString& taskName, CWideString& sErr) = 0;
};

// The systemd user-unit scheduler.
class CSystemdTaskScheduler : public ITvTaskScheduler {
public:
    // Runs "systemctl" with the arguments; true when it exited with 0.
    using Runner = std::function<bool(const std::vector<CWideString>& args)>;
    CSystemdTaskScheduler();
    explicit CSystemdTaskScheduler(Runner runner) : m_Runner(std::move(runner)) {}
    bool DeleteTask(const CWideString& taskName, CWideString& sErr) override;

    // $XDG_CONFIG_HOME/systemd/user (or ~/.config/systemd/user).
    static bool GetUnitFolder(CWideString& folder, CWideString& sErr);

private:
    Runner m_Runner;
};

// systemd's escaping of a name into a unit name: letters, digits, ':', '_'
// and '.' (not first) stay, '/' becomes '-', every other byte of the UTF-8
// text becomes "\xNN".
CWideString SystemdEscape(const CWideString& name);

// Installs a scheduler (null: the systemd one); returns the previous one.
ITvTaskScheduler* TvSetTaskScheduler(ITvTaskScheduler* p);

// Deletes the task: "Empty Job name" for an empty name; "Cannot delete task:
// %s" when the scheduler fails. The error text is replaced.
bool TvDeleteTask(const CWideString& taskName, CWideString& sErr);
