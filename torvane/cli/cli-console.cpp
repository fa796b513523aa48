// Output of "torvane": results, log lines and the progress line.
#include "cli-console.h"

#include "cli-jobs.h"
#include "engine-globals.h"
#include "job-list.h"
#include "zor-escape.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kRedrawMs = 100;       // at most ten redraws a second
constexpr int64_t kPlainEveryMs = 2000;  // a plain progress line at most every two seconds

int TerminalWidth() {
    struct winsize ws {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 10) return ws.ws_col;
    return 80;
}

std::string ToUtf8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

std::string U8Name(const CSyncJob* job) {
    return ToUtf8(job->m_Options.m_sName);
}

// The text with control characters (line ends, tabs) made blanks and the
// other controls escaped.
CWideString OneLine(const CWideString& s) {
    CWideString out = EscapeControlCharsInLines(s);
    for (int i = 0; i < out.GetLength(); ++i)
        if (out[i] < 0x20) out.SetAt(i, u' ');
    out.Trim();
    return out;
}

// Cuts a line to nWidth characters (code points; wide characters count as one).
std::string CutToWidth(const CWideString& s, int nWidth) {
    int n = 0, i = 0;
    const int len = s.GetLength();
    while (i < len && n < nWidth) {
        const char16_t c = s[i];
        i += (c >= 0xD800 && c < 0xDC00 && i + 1 < len) ? 2 : 1;
        n++;
    }
    return ToUtf8(s.Left(i));
}

// A line that names a conflict (not the counts line, not the options line).
bool IsConflictLine(const CWideString& text) {
    if (text.StartsWith(u"Changes: ") || text.Find(u" <-> ") >= 0) return false;
    CWideString lower = text;
    lower.MakeLower();
    return lower.Find(u"conflict") >= 0 || text.Find(u" 1-Way job") >= 0;
}

// Whether a line tells that a run was stopped (the run's summary says so).
bool IsStopLine(const std::string& s) {
    std::string l = s;
    for (char& c : l) c = (char)tolower((unsigned char)c);
    return l.find("stopped by user") != std::string::npos || l.find("user stop") != std::string::npos;
}

// The openings of the lines that the engine's own texts continue on: a line
// end before one of them is the program's. Such texts escape what they
// carry from outside (names, a lock's owner, a server's words) themselves.
const char16_t* const kOwnLineStarts[] = {
    u"- ERROR: ",                     // an action's line and its error
    u"it was started by: ",           // a folder locked by another job
    u"Please try again later",        //
    u"If this is a read-only folder", // no data folder can be made
    u"How to Fix: ",                  // an S3 bucket of another region
    u"To fix, ",                      //
    u"State file: ",                  // a state file changed since Analyze
    u"new: [",                        //
    u"old: [",                        //
};

// The endings of the engine's own lines that a text from outside follows
// on the next line.
const char16_t* const kOwnLineEnds[] = {
    u"syncing folder with itself or its parent.", // one folder reached twice (a bind mount)
    u"Please Analyze again:",                      // a state file changed since Analyze
};

// A message with every control inside it escaped, except the line ends
// the program put between its own lines.
CWideString EscapeKeepingOwnLines(const CWideString& text) {
    CWideString out;
    int from = 0;
    for (int at = text.Find(u'\n'); at >= 0; at = text.Find(u'\n', at + 1)) {
        bool bOwn = false;
        const CWideString before = text.Mid(from, (at > from && text[at - 1] == u'\r' ? at - 1 : at) - from);
        for (const char16_t* end : kOwnLineEnds) bOwn = bOwn || before.EndsWith(end);
        for (const char16_t* start : kOwnLineStarts) {
            int i = 0;
            while (start[i] && at + 1 + i < text.GetLength() && text[at + 1 + i] == start[i]) i++;
            bOwn = bOwn || !start[i];
        }
        if (!bOwn) continue;
        const int end = at > from && text[at - 1] == u'\r' ? at - 1 : at;
        out += EscapeControlChars(text.Mid(from, end - from)) + u"\n";
        from = at + 1;
    }
    return out + EscapeControlChars(text.Mid(from));
}

void ReplaceAll(std::string& s, const std::string& what, const std::string& with) {
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
        s.replace(at, what.size(), with);
}

} // namespace

std::string CliShellWord(const std::string& s) {
    bool bPlain = !s.empty();
    for (char c : s)
        if (!isalnum((unsigned char)c) && !strchr("-_.,/:@+%=", c)) bPlain = false;
    if (bPlain) return s;
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string CliShownName(const std::string& name) {
    return EscapeControlChars(CNarrowString(name.c_str())).GetString();
}

std::string CliSideNote() {
    return " (SIDE: left, right or newer; --all in place of PATH ...: every conflict)";
}

std::mutex CCliConsole::s_outLock;
bool CCliConsole::s_bLineShown = false;
int CCliConsole::s_nVerbosity = 0;
std::string CCliConsole::s_sProfileArg;

// Off a terminal the first plain progress line comes after two seconds: a
// short run prints none.
CCliConsole::CCliConsole(bool bTerminal) : m_bTerminal(bTerminal), m_nLastPlainMs(ZorGetTickMs()) {}

bool CCliConsole::DropAnalysisResults(const CWideString& reason, bool bForced) {
    CSyncJobFromList* job = static_cast<CSyncJobFromList*>(GetJob());
    if (!job || (job->IsRunning() && !bForced)) return false;
    job->ResetTree();
    OnNotice(2, u"Analysis results of this job were dropped: " + reason);
    return true;
}

CCliConsole::~CCliConsole() {
    EndLiveLine();
}

std::string CCliConsole::FormatLiveLine(int percent, const CWideString& text, int nWidth) {
    CWideString item = text, status;
    const int sep = text.Find(kProgressPartSep);
    if (sep >= 0) {
        item = text.Left(sep);
        status = text.Mid(sep + 1);
    }
    CWideString line = CWideString::Formatted(u"%3d%% ", percent < 0 ? 0 : percent > 100 ? 100 : percent);
    line += OneLine(item);
    status = OneLine(status);
    if (!status.IsEmpty()) line += u"  " + status;
    return CutToWidth(line, nWidth - 1);
}

void CCliConsole::WriteErrLocked(const std::string& s) {
    fwrite(s.data(), 1, s.size(), stderr);
    fflush(stderr);
}

void CCliConsole::ClearLineLocked() {
    if (!s_bLineShown) return;
    WriteErrLocked("\r\x1b[K");
    s_bLineShown = false;
}

std::string CCliConsole::RunLogPath() const {
    std::lock_guard<std::mutex> g(m_logLock);
    // Only a log that was written is named.
    return !m_sRunLogPath.empty() && ::access(m_sRunLogPath.c_str(), F_OK) == 0 ? m_sRunLogPath : std::string();
}

std::string CCliConsole::LostRunLogPath() const {
    std::lock_guard<std::mutex> g(m_logLock);
    return !m_sRunLogPath.empty() && ::access(m_sRunLogPath.c_str(), F_OK) != 0 ? m_sRunLogPath : std::string();
}

void CCliConsole::WriteRunLog(const CWideString& text) {
    CSyncJob* job = GetJob();
    std::lock_guard<std::mutex> g(m_logLock);
    if (job && !job->GetRunLogName().IsEmpty()) {
        // The engine names the run's log and puts the left side's log folder
        // in the profile when it connects that side.
        CZorLog& jobLog = job->GetJobLog(0);
        const CWideString folder = jobLog.GetFolder(), name = job->GetRunLogName();
        if (!folder.IsEmpty() && jobLog.GetFileName() == name) {
            const std::string path = ToUtf8(folder + u"/" + name);
            if (path != m_sRunLogPath) {
                m_bNewRun = true; // its errors are news again
                m_runLog.SetFolder(folder);
                m_runLog.SetFileName(name);
                m_sRunLogPath = path;
            }
        }
    }
    if (m_sRunLogPath.empty()) {
        if (m_held.size() < 10000) m_held.push_back(text);
        return;
    }
    for (const CWideString& h : m_held) m_runLog.WriteLine(h);
    m_held.clear();
    m_runLog.WriteLine(text);
}

bool CCliConsole::ShowsLine(int level, const CWideString& text, int mode) const {
    if (mode == MLM_PAST_FIFTH) return false;
    if (m_bDryRun && text.StartsWith(u"User resolved the conflict")) return false;
    if (s_nVerbosity > 0) return true;
    if (IsStopped() && IsStopLine(ToUtf8(text))) return false;
    if (level == 1) return true;
    // A user's run lists its conflicts in its report, each with the command
    // that settles it; a run that watch started has only the log lines, and
    // they are shown also when quiet: its job syncs nothing until they are
    // settled.
    const CSyncJob* job = GetJob();
    const bool bUserRun = !job || job->m_nRunKind == RK_USER;
    if (IsConflictLine(text)) return !bUserRun;
    // The same for the note that a run left items in error.
    if (text.Find(u"Click Errors button") >= 0) return !bUserRun;
    if (s_nVerbosity < 0) return false;
    if (text.StartsWith(u"** ")) return true;
    return level == 0 && !bUserRun;
}

std::string CCliConsole::CommandStart() {
    return s_sProfileArg.empty() ? "torvane" : "torvane --profile " + CliShellWord(s_sProfileArg);
}

std::string CCliConsole::ForTerminal(const std::string& utf8) const {
    const CSyncJob* job = GetJob();
    const std::string name = job ? CliShellWord(U8Name(job)) : std::string("NAME");
    const std::string log = RunLogPath();
    const std::string whole = log.empty() ? "run again with -v to see them" : "the whole log: " + log;
    const std::string cmd = CommandStart();
    // While watch runs the job is its own: the command has to wait for its end.
    const std::string after = job && job->m_nRunKind != RK_USER ? "end watch, then: " : "";
    const std::string settle = after + cmd + " sync " + name + " --prefer SIDE PATH ..." + CliSideNote();
    // The engine's words for a window, and what a terminal user types instead.
    const std::pair<const char*, std::string> texts[] = {
        {"select Job -> Open Left/Right Log to view the entire log", whole},
        {"Resolve Conflicts by selecting the correct sync direction, then click Sync",
         "To resolve them: " + settle},
        {"Click Conflicts button to see unresolved conflicts",
         after + cmd + " analyze " + name + " lists them; to resolve them: " + settle},
        {"click Sync to synchronize", "to synchronize: " + after + cmd + " sync " + name},
        {"Click Errors button to see all error items", "The items and why: " + whole},
        {"Click Errors button to see sync errors", "The errors and why: " + whole},
        {"then set this job to 1-way Forced ReadOnlySource in Job -> Options",
         "then make the job one-way from it, with a read-only source (the other side becomes its copy): " + cmd +
             " job set " + name + (utf8.find("_tvdata_ on Right") != std::string::npos ? " Direction=2" : " Direction=1") +
             " ReadOnlySource=Yes"},
        {"Specify correct S3 host name for this bucket or Turn On Host-Based addressing option.",
         "name the S3 host of the bucket's region in the side's URL (s3://KEYID@HOST/BUCKET)."},
        {"click Browse and turn On Host-Based Addressing option",
         "name the S3 host of the bucket's region in the side's URL (s3://KEYID@HOST/BUCKET)"},
        {"a sync with --force syncs it as it stands",
         after + cmd + " sync " + name + " --force syncs it as it stands"},
        {"Override locks if you are *sure* the other job has ended.",
         "if you are *sure* the other job has ended: " + after + cmd + " sync " + name + " --override-locks"},
        {"If it has, Override locks to remove its lock.",
         "If it has, remove its lock: " + after + cmd + " sync " + name + " --override-locks"},
        {"So the job will not synchronize automatically.",
         "So the job will not synchronize automatically. To sync it as it stands: " + after + cmd + " sync " +
             name + " (or raise the threshold: " + cmd + " job set " + name + " LimitChangesPercent=PERCENT)"},
    };
    std::string s = utf8;
    for (const auto& [window, terminal] : texts) ReplaceAll(s, window, terminal);
    return s;
}

bool CCliConsole::DropShownLines(std::string& utf8) {
    if (m_bNewRun.exchange(false)) m_shownErrors.clear();
    // A message of several lines shows whole while any of them is news:
    // lines it shares with another message (a lock's owner) stay in it.
    bool bAnyNew = false;
    size_t at = 0;
    while (at < utf8.size()) {
        size_t end = utf8.find('\n', at);
        if (end == std::string::npos) end = utf8.size();
        std::string line = utf8.substr(at, end - at);
        at = end + 1;
        // A message line shows a text's inner line ends escaped ("\\n"), an
        // error line shows the same text over several lines: both are
        // compared part by part.
        size_t partAt = 0;
        while (partAt <= line.size()) {
            size_t partEnd = line.find("\\n", partAt);
            if (partEnd == std::string::npos) partEnd = line.size();
            std::string key = line.substr(partAt, partEnd - partAt);
            partAt = partEnd + 2;
            for (const char* prefix : {"torvane: ", "- ERROR: "})
                if (key.rfind(prefix, 0) == 0) key = key.substr(strlen(prefix));
            while (!key.empty() && (key.back() == ' ' || key.back() == '\r')) key.pop_back();
            if (!key.empty() && m_shownErrors.insert(key).second) bAnyNew = true;
        }
    }
    return !bAnyNew;
}

bool CCliConsole::ShownWhereResultsGo(const std::string& text) const {
    static const bool bOnePlace = [] {
        struct stat o {}, e {};
        return fstat(STDOUT_FILENO, &o) == 0 && fstat(STDERR_FILENO, &e) == 0 && o.st_dev == e.st_dev &&
               o.st_ino == e.st_ino;
    }();
    if (!bOnePlace || text.empty()) return false;
    std::lock_guard<std::mutex> g(s_outLock);
    for (const std::string& shown : m_shownErrors)
        if (shown.find(text) != std::string::npos) return true;
    return false;
}

void CCliConsole::OnMessageLine(int level, const CWideString& rawText, int mode) {
    // A message keeps the line ends around it and those between the
    // program's own lines; any other inside it (a name's, a server's text's)
    // is escaped with every other control, so that a name stays on its line.
    int nFirst = 0, nEnd = rawText.GetLength();
    while (nFirst < nEnd && (rawText[nFirst] == u'\n' || rawText[nFirst] == u'\r')) nFirst++;
    while (nEnd > nFirst && (rawText[nEnd - 1] == u'\n' || rawText[nEnd - 1] == u'\r')) nEnd--;
    const CWideString text =
        rawText.Left(nFirst) + EscapeKeepingOwnLines(rawText.Mid(nFirst, nEnd - nFirst)) + rawText.Mid(nEnd);
    // The log holds every line of a group: the count of those the terminal
    // leaves out is the terminal's alone.
    if (mode != MLM_GROUP_SUMMARY) WriteRunLog(text);
    // A group's summary goes where the group's lines went.
    const bool bShow = mode == MLM_GROUP_SUMMARY ? m_bLastShown : ShowsLine(level, text, mode);
    if (mode == MLM_NORMAL) m_bLastShown = bShow;
    if (!bShow) return;
    std::string s = ToUtf8(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    s = ForTerminal(s);
    std::lock_guard<std::mutex> g(s_outLock);
    if (level == 1 && DropShownLines(s)) return;
    if (!m_sLinePrefix.empty()) {
        ReplaceAll(s, "\n", "\n" + m_sLinePrefix);
        s = m_sLinePrefix + s;
    }
    ClearLineLocked();
    WriteErrLocked(s + "\n");
}

void CCliConsole::OnNotice(int level, const CWideString& text) {
    OnMessageLine(level, text, MLM_NORMAL);
}

void CCliConsole::OnShowProgress(int percent, const CWideString& text) {
    if (s_nVerbosity < 0) return;
    const int64_t now = ZorGetTickMs();
    std::lock_guard<std::mutex> g(s_outLock);
    if (m_bTerminal) {
        if (now - m_nLastDrawMs < kRedrawMs) return;
        m_nLastDrawMs = now;
        const int nWidth = std::max(20, TerminalWidth() - (int)m_sLinePrefix.size());
        WriteErrLocked("\r" + m_sLinePrefix + FormatLiveLine(percent, text, nWidth) + "\x1b[K");
        s_bLineShown = true;
        return;
    }
    // Off a terminal a line stays where it was written. A status of the
    // moment ("** Connecting to folder ...", which a reconnect shows at 0% in
    // the middle of a run) is no progress: the connect's outcome is told by
    // the log lines; the other statuses (a lost connection) come without a
    // percent. A stopped run's last words are the summary's.
    if (text.StartsWith(u"** Connecting to folder ") || (IsStopped() && IsStopLine(ToUtf8(text)))) return;
    if (now - m_nLastPlainMs < kPlainEveryMs) return;
    std::string line =
        text.StartsWith(u"** ") ? CutToWidth(OneLine(text), 400) : FormatLiveLine(percent, text, 400);
    if (line == m_sLastPlain) return;
    m_nLastPlainMs = now;
    m_sLastPlain = line;
    WriteErrLocked(m_sLinePrefix + ForTerminal(line) + "\n");
}

void CCliConsole::Result(const std::string& utf8) {
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
    std::string s = EscapeControlCharsInLines(CNarrowString(utf8.data(), (int)utf8.size())).GetString();
    s += "\n";
    fwrite(s.data(), 1, s.size(), stdout);
    fflush(stdout);
}

void CCliConsole::Result(const CWideString& text) {
    Result(ToUtf8(text));
}

void CCliConsole::Error(const std::string& utf8) {
    std::string s = ForTerminal(EscapeControlCharsInLines(CNarrowString(utf8.data(), (int)utf8.size())).GetString());
    std::lock_guard<std::mutex> g(s_outLock);
    if (DropShownLines(s)) return;
    ClearLineLocked();
    WriteErrLocked(s + "\n");
}

void CCliConsole::EndLiveLine() {
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
}
