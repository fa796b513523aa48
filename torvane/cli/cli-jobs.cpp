// The job commands of "torvane".
#include "cli-jobs.h"

#include "job-stores.h"
#include "syncjob-analysis.h"
#include "zor-path.h"
#include "zor-stream.h"
#include "zor-tic.h"
#include "zor-unicode.h"

#include <filesystem>
#include <map>
#include <set>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}
CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

const char* TypeName(int nDirection) {
    switch (nDirection) {
    case JT_LEFT_TO_RIGHT:
        return "left to right";
    case JT_RIGHT_TO_LEFT:
        return "right to left";
    default:
        return "two-way";
    }
}

enum class EKeyKind { Flag, Number, Text };

// The simple keys of the "Job" block and the kind of their values, read
// from a full dump of a fresh record.
const std::map<std::string, EKeyKind>& JobKeys() {
    static const std::map<std::string, EKeyKind> keys = [] {
        std::map<std::string, EKeyKind> m;
        CSyncJobOptions opt;
        ZorStringOutStream out;
        CWideString err;
        WriteJobOptions(opt, out, true, 1, err);
        const std::string text = out.GetText().GetString();
        size_t at = 0;
        int nDepth = 0; // inside a nested block (Dir1, Dir2, filter lists)
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(at, end - at);
            at = end + 1;
            const size_t b = line.find_first_not_of(' ');
            if (b == std::string::npos) continue;
            line = line.substr(b);
            if (line.rfind("</", 0) == 0 || line.find("</") != std::string::npos) {
                if (nDepth > 0) nDepth--;
                continue;
            }
            const size_t eq = line.find(" = ");
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
            if (value.empty() || value[0] == '<' || value[0] == '(') {
                if (value[0] == '<') nDepth++;
                continue;
            }
            if (nDepth > 0) continue;
            if (value[0] == '"')
                m[key] = EKeyKind::Text;
            else if (value == "Yes" || value == "No")
                m[key] = EKeyKind::Flag;
            else
                m[key] = EKeyKind::Number;
        }
        for (const char* k : {"Name", "Dir1", "Dir2", "FiltersIncluded", "FiltersExcluded"}) m.erase(k);
        return m;
    }();
    return keys;
}

} // namespace

CWideString CliFolderToUrl(const std::string& arg) {
    if (arg.find("://") != std::string::npos) return NormalizeUrl(W(arg));
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(arg, ec);
    std::string path = ec ? arg : p.lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return NormalizeUrl(W(path));
}

std::string CliUrlToText(const CWideString& url) {
    if (url.StartsWithNoCase(u"file://")) return U8(UrlToLocalPath(url));
    return U8(url);
}

bool CliApplyJobSettings(CSyncJobOptions& opt, const std::vector<std::string>& sets, std::string& err) {
    const auto& keys = JobKeys();
    for (const std::string& set : sets) {
        const size_t eq = set.find('=');
        const std::string key = set.substr(0, eq), value = set.substr(eq + 1);
        auto it = keys.find(key);
        if (it == keys.end()) {
            err = "--set: not an option of a job: " + key;
            return false;
        }
        CNarrowString valueText;
        if (it->second == EKeyKind::Text) {
            valueText = QuoteKeywordString(CNarrowString(value.c_str()));
        } else {
            if (value.empty() || value.find_first_of(" \t\r\n\"<>()=") != std::string::npos) {
                err = "--set: bad value for " + key + ": '" + value + "'";
                return false;
            }
            valueText = CNarrowString(value.c_str());
        }
        CNarrowString block = "<Job>\n";
        block += CNarrowString(key.c_str());
        block += " = ";
        block += valueText;
        block += "\n</Job>\n";
        ZorStringStream in(block);
        CWideString e;
        if (!ReadJobTix(opt, in, e)) {
            err = "--set: bad value for " + key + ": " + U8(e);
            return false;
        }
    }
    return true;
}

int CliJobAdd(CCliConsole& con, const CCliArgs& a) {
    const CWideString name = W(a.m_sName);
    CWideString e;
    if (!IsValidJobName(name, e)) {
        con.Error("torvane: bad job name '" + a.m_sName + "': " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    if (g_Settings.FindJob(name)) {
        con.Error("torvane: Job '" + a.m_sName + "' already exists.");
        return CLI_EXIT_ERRORS;
    }
    const CWideString left = CliFolderToUrl(a.m_sLeft), right = CliFolderToUrl(a.m_sRight);
    // Everything is tried on a scratch job first: nothing is stored unless
    // all of it is good.
    CSyncJobFromList scratch;
    if (!InitNewJob(name, a.m_nType, left, right, &scratch, e)) {
        con.Error("torvane: " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    std::string err;
    if (!CliApplyJobSettings(scratch.m_Options, a.m_sets, err)) {
        con.Error("torvane: " + err);
        return CLI_EXIT_ERRORS;
    }
    {
        CWideString ca, cb, reason;
        bool bCannotTell = false;
        if (HasCommonFolder(scratch.m_Options.m_Dir1, scratch.m_Options.m_Dir2, ca, cb, nullptr, bCannotTell,
                            reason)) {
            con.Error("torvane: the folders are the same or one is inside the other: " + U8(ca) + ", " + U8(cb));
            return CLI_EXIT_ERRORS;
        }
    }
    e.Empty();
    if (!NewJob(g_Settings, name, a.m_nType, CWideString(), left, right, false, e)) {
        con.Error("torvane: " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    CSyncJobFromList* job = g_Settings.FindJob(name);
    if (!job) {
        con.Error("torvane: the new job is not in the list");
        return CLI_EXIT_ERRORS;
    }
    if (!a.m_sets.empty()) {
        CliApplyJobSettings(job->m_Options, a.m_sets, err);
        e.Empty();
        if (!g_Settings.TvSaveJobs(false, u"Job options set", e)) {
            con.Error("torvane: cannot save the job list: " + U8(e));
            return CLI_EXIT_ERRORS;
        }
    }
    CWideString saveErr;
    // NewJob keeps its save's failure to itself: say it here.
    if (!g_Settings.TvSaveJobs(false, u"New Job created", saveErr)) {
        con.Error("torvane: cannot save the job list: " + U8(saveErr));
        return CLI_EXIT_ERRORS;
    }
    con.Result("added " + a.m_sName);
    return CLI_EXIT_OK;
}

int CliJobList(CCliConsole& con) {
    for (CSyncJobFromList* j : g_Settings.GetJobs())
        con.Result(U8(j->GetName()) + "\t" + TypeName(j->m_Options.m_nDirection) + "\t" +
                   CliUrlToText(j->GetLeftFolder()) + "\t" + CliUrlToText(j->GetRightFolder()));
    return CLI_EXIT_OK;
}

int CliJobShow(CCliConsole& con, CSyncJobFromList* job) {
    con.Result("Name: " + U8(job->GetName()));
    con.Result("Type: " + std::to_string(job->m_Options.m_nDirection) + " (" +
               TypeName(job->m_Options.m_nDirection) + ")");
    con.Result("Left: " + CliUrlToText(job->GetLeftFolder()));
    con.Result("Right: " + CliUrlToText(job->GetRightFolder()));
    ZorStringOutStream out;
    CWideString e;
    if (!WriteJobOptions(job->m_Options, out, false, 1, e)) {
        con.Error("torvane: " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    std::string text = out.GetText().GetString();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    con.Result(text);
    return CLI_EXIT_OK;
}

int CliJobDelete(CCliConsole& con, CSyncJobFromList* job) {
    const std::string name = U8(job->GetName());
    CWideString e;
    if (!DeleteJob(g_Settings, job, e)) {
        con.Error("torvane: cannot delete job '" + name + "': " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    con.Result("deleted " + name);
    return CLI_EXIT_OK;
}

std::string CliRunSummary(CSyncJobFromList* job, bool bSync) {
    auto cnt = [&](int c) { return (long long)job->m_Stats.m_aCounts[c].Total(); };
    char buf[256];
    if (!bSync || !job->m_bSync) {
        snprintf(buf, sizeof buf, "analyzed: %lld to do, %lld conflicts, %lld errors", cnt(CAT_CHANGED),
                 cnt(CAT_CONFLICT), cnt(CAT_ERROR));
    } else {
        snprintf(buf, sizeof buf, "synced: %d done, %d conflicts, %d errors", job->m_nSyncOk.load(),
                 job->m_nConflicts.load(), job->m_nSyncErr.load());
    }
    return buf;
}
