// The log-file writer and the one global program log.
//
// A log writes either one fixed file (SetFileName) or daily files
// "<base>-YYYY-MM-DD.log" (SetBaseName) in its folder; the date is the local
// date of the library clock at the time of each write, so the file rolls
// over at local midnight. Each entry is written as
//   "HHMMSS.mmm <text>" (local time of the clock)
// in UTF-8 with every line end written as CR LF, appended to the file under
// the log's lock. A file that cannot be opened turns the log off (until it is
// enabled again); a failed write closes the file (the next entry reopens it).
#pragma once

#include "zor-string.h"
#include "zor-thread.h"

#include <atomic>

// The program log's switch word: while it is 9 the program log writes
// nothing; the side scan adds its timing figures when it is 3 or more.
extern std::atomic<int> g_LogSwitch;

class CZorLog {
public:
    // bProgramLog: this is the global program log, which obeys g_LogSwitch.
    explicit CZorLog(bool bProgramLog = false);
    ~CZorLog();
    CZorLog(const CZorLog&) = delete;
    CZorLog& operator=(const CZorLog&) = delete;

    // A fixed file name (no daily files); closes the current file; enables
    // the log when the name is not empty.
    void SetFileName(const CWideString& name);
    // The folder of the files; closes the current file.
    void SetFolder(const CWideString& folder);
    // The base name of daily files (must not be empty: an empty name is an
    // assertion and is ignored); switches to daily files and closes the
    // current file.
    void SetBaseName(const CWideString& base);
    // Folder + "/" + current file name; empty when either is empty (a log
    // without a folder writes its file in the current folder). With
    // daily files the name is that of today (by the clock).
    CWideString GetFilePath() const;
    // A copy of the current file name (for daily files: today's).
    CWideString GetFileName() const;
    CWideString GetFolder() const;
    CWideString GetBaseName() const;
    // Closes the open file and sets the enabled flag; the next write opens
    // the file again.
    void SetEnabled(bool bEnabled);
    bool IsEnabled() const;
    // The log's file is open.
    bool IsOpen() const;
    // Closes the open file (the next write reopens it when enabled).
    void Close();

    // One printf-style entry (the library's type-safe format). A missing
    // final line end is added.
    template <typename... A> void Printf(const char16_t* fmt, const A&... args) {
        if (!WantsOutput()) return;
        CWideString s;
        s.Format(fmt, args...);
        WriteEntry(s);
    }
    template <typename... A> void Printf(const char* fmt, const A&... args) {
        if (!WantsOutput()) return;
        CNarrowString s;
        s.Format(fmt, args...);
        WriteEntryUtf8(s);
    }
    // One line of text (a line end is added when missing).
    void WriteLine(const CWideString& text);
    void WriteLine(const char16_t* text) { WriteLine(CWideString(text)); }
    void WriteLine(const CNarrowString& utf8Text);

private:
    bool WantsOutput() const;
    void WriteEntry(const CWideString& text);
    void WriteEntryUtf8(const CNarrowString& text);
    CWideString DailyName(int64_t nSeconds) const; // lock held
    CWideString CurrentFileNameLocked() const;
    bool OpenLocked(const CWideString& name);
    void CloseLocked();

    mutable CCritSection m_lock;
    bool m_bProgramLog;
    bool m_bEnabled = false;
    bool m_bDaily = true; // base-name mode; false after SetFileName
    CWideString m_sFolder;
    CWideString m_sBaseName;
    CWideString m_sFileName; // the fixed name (SetFileName)
    CWideString m_sOpenName; // name of the open file
    int m_nFd = -1;
    std::atomic<bool> m_bOpen{false};
};

// The one global program log.
CZorLog& ZorGetProgramLog();
// A copy of the folder of the program log.
CWideString GetLogFolder();
