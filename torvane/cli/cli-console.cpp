// Output of "torvane": results, log lines and the progress line.
#include "cli-console.h"

#include "job-list.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

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

// The text with control characters (line ends, tabs) made blanks.
CWideString OneLine(const CWideString& s) {
    CWideString out = s;
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

} // namespace

std::mutex CCliConsole::s_outLock;
bool CCliConsole::s_bLineShown = false;

CCliConsole::CCliConsole(bool bTerminal) : m_bTerminal(bTerminal) {}

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

void CCliConsole::OnMessageLine(int level, const CWideString& text, int mode) {
    (void)level;
    if (mode == MLM_PAST_FIFTH) return;
    std::string s = ToUtf8(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
    WriteErrLocked(s + "\n");
}

void CCliConsole::OnNotice(int level, const CWideString& text) {
    OnMessageLine(level, text, MLM_NORMAL);
}

void CCliConsole::OnShowProgress(int percent, const CWideString& text) {
    const int64_t now = ZorGetTickMs();
    std::lock_guard<std::mutex> g(s_outLock);
    if (m_bTerminal) {
        if (now - m_nLastDrawMs < kRedrawMs) return;
        m_nLastDrawMs = now;
        WriteErrLocked("\r" + FormatLiveLine(percent, text, TerminalWidth()) + "\x1b[K");
        s_bLineShown = true;
        return;
    }
    if (now - m_nLastPlainMs < kPlainEveryMs) return;
    std::string line = FormatLiveLine(percent, text, 400);
    if (line == m_sLastPlain) return;
    m_nLastPlainMs = now;
    m_sLastPlain = line;
    WriteErrLocked(line + "\n");
}

void CCliConsole::Result(const std::string& utf8) {
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
    std::string s = utf8 + "\n";
    fwrite(s.data(), 1, s.size(), stdout);
    fflush(stdout);
}

void CCliConsole::Result(const CWideString& text) {
    Result(ToUtf8(text));
}

void CCliConsole::Error(const std::string& utf8) {
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
    WriteErrLocked(utf8 + "\n");
}

void CCliConsole::EndLiveLine() {
    std::lock_guard<std::mutex> g(s_outLock);
    ClearLineLocked();
}
