#include "task-scheduler.h"

#include "zor-file.h"
#include "zor-log.h"
#include "zor-process.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

bool RunSystemctl(const std::vector<CWideString>& args) {
    CWideString params;
    for (const CWideString& a : args) {
        if (!params.IsEmpty()) params += u' ';
        if (a.Find(u' ') >= 0)
            params += CWideString(u"\"") + a + u"\"";
        else
            params += a;
    }
    uint32_t nExit = 1;
    CWideString err;
    if (!ZorShellEx(u"systemctl", CWideString(), params, true, false, nullptr, &nExit, err)) return false;
    return nExit == 0;
}

CSystemdTaskScheduler g_SystemdScheduler;
std::atomic<ITvTaskScheduler*> g_pScheduler{&g_SystemdScheduler};

} // namespace

CWideString SystemdEscape(const CWideString& name) {
    CNarrowString utf8 = WideToUtf8(name);
    CWideString out;
    for (int i = 0; i < utf8.GetLength(); i++) {
        unsigned char c = (unsigned char)utf8[i];
        bool bKeep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                     c == '_' || (c == '.' && i > 0);
        if (c == '/')
            out += u'-';
        else if (bKeep)
            out += (char16_t)c;
        else
            out.AppendFormat(u"\\x%02x", (unsigned)c);
    }
    return out;
}

CSystemdTaskScheduler::CSystemdTaskScheduler() : m_Runner(RunSystemctl) {}

bool CSystemdTaskScheduler::GetUnitFolder(CWideString& folder, CWideString& sErr) {
    CWideString base;
    if (!ZorGetAppDataFolder(base, sErr)) return false;
    folder = base + u"/systemd/user";
    return true;
}

bool CSystemdTaskScheduler::DeleteTask(const CWideString& taskName, CWideString& sErr) {
    CWideString folder;
    if (!GetUnitFolder(folder, sErr)) return false;
    CWideString unit = SystemdEscape(taskName);
    CWideString timer = unit + u".timer", service = unit + u".service";
    // Unit names hold backslashes: the paths go to the system as they are,
    // not through the library's path conversion (which reads '\' as '/').
    CNarrowString timerPath = WideToUtf8(folder + u"/" + timer),
                  servicePath = WideToUtf8(folder + u"/" + service);
    bool bTimer = ::access(timerPath, F_OK) == 0, bService = ::access(servicePath, F_OK) == 0;
    if (!bTimer && !bService) {
        sErr = u"task not found";
        return false;
    }
    // A user instance that answers is told first, so nothing stays loaded.
    bool bManager = m_Runner && m_Runner({u"--user", u"show-environment"});
    if (bManager) {
        m_Runner({u"--user", u"disable", u"--now", timer});
        m_Runner({u"--user", u"stop", service});
    }
    for (const CNarrowString& path : {timerPath, servicePath}) {
        if (::unlink(path) != 0 && errno != ENOENT) {
            sErr.Format(u"cannot remove %s: %s", Utf8ToWide(path), CWideString(strerror(errno)));
            return false;
        }
    }
    if (bManager) m_Runner({u"--user", u"daemon-reload"});
    return true;
}

ITvTaskScheduler* TvSetTaskScheduler(ITvTaskScheduler* p) {
    return g_pScheduler.exchange(p ? p : &g_SystemdScheduler);
}

bool TvDeleteTask(const CWideString& taskName, CWideString& sErr) {
    ZorGetProgramLog().Printf(u"TvDeleteTask: delete task %s\n", taskName);
    if (taskName.IsEmpty()) {
        sErr = u"Empty Job name";
        return false;
    }
    CWideString err;
    if (!g_pScheduler.load()->DeleteTask(taskName, err)) {
        sErr.Format(u"Cannot delete task: %s", err);
        return false;
    }
    return true;
}
