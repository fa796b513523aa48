// What "torvane" shows: results on standard output; log lines, notices,
// progress and errors on standard error. On a terminal the progress is one
// live line (percent, current item, speed, remaining time), redrawn at most
// ten times a second, cut to the terminal's width and cleared before each
// log line; otherwise progress comes as plain lines now and then.
#pragma once

#include "sync-progress.h"
#include "zor-string.h"

#include <cstdint>
#include <mutex>
#include <string>

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
    // The live line as it would be drawn for a width (tests).
    static std::string FormatLiveLine(int percent, const CWideString& text, int nWidth);

private:
    void ClearLineLocked();
    void WriteErrLocked(const std::string& s);

    // One terminal for every console of the process (a watch has one per job).
    static std::mutex s_outLock;
    static bool s_bLineShown;
    bool m_bTerminal;
    int64_t m_nLastDrawMs = -1000000;
    int64_t m_nLastPlainMs = -1000000;
    std::string m_sLastPlain;
};
