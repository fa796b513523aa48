// What "torvane" shows: results on standard output; log lines, notices,
// progress and errors on standard error. On a terminal the progress is one
// live line (percent, current item, speed, remaining time), redrawn at most
// ten times a second, cut to the terminal's width and cleared before each
// log line; otherwise progress comes as plain lines now and then.
//
// Every log line of a run goes to the job's run log, a file in the profile
// (the left side's log folder, "_tvdata_mirrors_/..."); the terminal gets
// what the verbosity asks for:
//   quiet (-q)     errors and, for runs watch started, the conflicts and
//                  the note of items in error; no progress;
//   default        errors and warnings, the progress line, and for runs a
//                  trigger started (watch) the conflicts and the lines that
//                  open and close each run (a user's run lists its conflicts
//                  in its report instead);
//   verbose (-v)   the whole log.
// Where an engine text tells a person to click or select something in a
// window, the terminal's copy names the command or file to use instead. An
// error is shown once per run however often it is passed on; a stopped
// run's "stopped by user" lines are left to the run's summary.
#pragma once

#include "sync-progress.h"
#include "zor-log.h"
#include "zor-string.h"

#include <set>
#include <vector>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// A word for a shell command line: quoted when it holds more than letters,
// digits and a few safe marks.
std::string CliShellWord(const std::string& s);
// A name from the command line in a message: its control characters escaped
// ("\n"), so that the message stays on its lines.
std::string CliShownName(const std::string& name);
// What follows a printed "--prefer SIDE PATH ...": the values of SIDE and
// the word that settles every conflict.
std::string CliSideNote();

class CCliConsole : public CbJobProgress {
public:
    // bTerminal: standard error is a terminal (live line).
    explicit CCliConsole(bool bTerminal);
    ~CCliConsole() override;

    void OnMessageLine(int level, const CWideString& text, int mode) override;
    void OnNotice(int level, const CWideString& text) override;
    void OnShowProgress(int percent, const CWideString& text) override;
    // Nobody is asked: a command runs unattended once started.
    bool ConfirmSync(int) override { return true; }
    // Another job's Sync drops this job's results: an idle job's tree goes.
    bool DropAnalysisResults(const CWideString& reason, bool bForced) override;

    // A result line on standard output (a line end is added).
    void Result(const CWideString& text);
    void Result(const std::string& utf8);
    // An error or note on standard error.
    void Error(const std::string& utf8);
    // Removes the live line (before the program ends).
    void EndLiveLine();

    bool IsTerminal() const { return m_bTerminal; }
    // What each log and progress line of this console's job starts with on
    // the terminal (watch names the job when it runs several).
    void SetLinePrefix(const std::string& s) { m_sLinePrefix = s; }
    // The live line as it would be drawn for a width (tests).
    static std::string FormatLiveLine(int percent, const CWideString& text, int nWidth);

    // Verbosity of every console of the process: -1 quiet, 0 default, 1 verbose.
    static void SetVerbosity(int n) { s_nVerbosity = n; }
    // The profile folder the user named with --profile (empty: none), which
    // the commands suggested to the user repeat.
    static void SetProfileArg(const std::string& s) { s_sProfileArg = s; }
    // "torvane", with the --profile the user named.
    static std::string CommandStart();
    // A user's analyze that settles conflicts only to show the outcome: the
    // engine's notes of resolved conflicts stay off the terminal.
    void SetDryRun(bool b) { m_bDryRun = b; }
    static int GetVerbosity() { return s_nVerbosity; }
    // Standard output and error go to one place (a terminal, or one file),
    // and this run showed a message there that holds the text: a result
    // line that repeats it would show it twice.
    bool ShownWhereResultsGo(const std::string& text) const;
    // The file the run's whole log went to (empty before a run wrote one).
    std::string RunLogPath() const;
    // The path of the run's log when none could be written there (else empty).
    std::string LostRunLogPath() const;

private:
    void ClearLineLocked();
    void WriteErrLocked(const std::string& s);
    // Whether a log line of this level and text is shown on the terminal.
    bool ShowsLine(int level, const CWideString& text, int mode) const;
    // The text with the command or file to use where it names a window's
    // button or menu.
    std::string ForTerminal(const std::string& utf8) const;
    // True when this run has shown every line of an error text already (it
    // is dropped); else the text is shown whole and its lines are remembered.
    bool DropShownLines(std::string& utf8);
    // Appends a line to the job's run log (held back until the run has named
    // its log and the log's folder is known).
    void WriteRunLog(const CWideString& text);

    // One terminal for every console of the process (a watch has one per job).
    static std::mutex s_outLock;
    static bool s_bLineShown;
    static int s_nVerbosity;
    static std::string s_sProfileArg;
    bool m_bTerminal;
    std::string m_sLinePrefix;
    int64_t m_nLastDrawMs = -1000000;
    int64_t m_nLastPlainMs = -1000000;
    std::string m_sLastPlain;
    bool m_bLastShown = false; // the last normal log line went to the terminal
    bool m_bDryRun = false;
    std::set<std::string> m_shownErrors; // error lines this run has shown (under s_outLock)
    std::atomic<bool> m_bNewRun{false};   // a new run log: the shown lines are forgotten

    // The run log: this console's writer of the job's run-log file.
    mutable std::mutex m_logLock;
    CZorLog m_runLog;
    std::string m_sRunLogPath;
    std::vector<CWideString> m_held; // lines before the run log's folder is known
};
