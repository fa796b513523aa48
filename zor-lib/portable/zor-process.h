// Starting programs and documents, and the computer name.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <sys/types.h>
#include <vector>

// Splits a parameter text into arguments by the Windows command-line rules:
// blanks and tabs separate outside double quotes; 2n backslashes before a
// quote give n backslashes and the quote opens or closes a quoted part;
// 2n+1 backslashes before a quote give n backslashes and a literal quote;
// backslashes elsewhere are literal; inside a quoted part "" gives a literal
// quote and ends the part; "" outside gives an empty argument or nothing.
std::vector<CWideString> ZorSplitCommandLine(const CWideString& params);

// Starts a file with parameters, never through a shell. A file name in
// double quotes is taken without them. An executable file
// (a path with a separator, or a bare name found on PATH) is started with
// the parameters split by ZorSplitCommandLine; any other existing file or
// folder is opened with "xdg-open" (the parameters are then not used). The
// verb, the message-pump flag and the window are accepted for the callers'
// sake and have no effect here. With bWait the call waits for the process
// and stores its exit code (128 + the signal number when a signal ended it)
// in *pExitCode when given; without it the process is reaped in the
// background. False with the system's error text when the start fails.
bool ZorShellEx(const CWideString& file, const CWideString& verb, const CWideString& params, bool bWait,
                bool bPumpMessages, void* hWindow, uint32_t* pExitCode, CWideString& err);
inline bool ZorShellEx(const CWideString& file, const CWideString& verb, const CWideString& params,
                       bool bWait, CWideString& err) {
    return ZorShellEx(file, verb, params, bWait, false, nullptr, nullptr, err);
}
// The same with the arguments already split: each element of args reaches
// the program as one argument, byte for byte (UTF-8), whatever it holds. For
// callers that build arguments from values they do not control.
bool ZorShellEx(const CWideString& file, const CWideString& verb, const std::vector<CWideString>& args,
                bool bWait, bool bPumpMessages, void* hWindow, uint32_t* pExitCode, CWideString& err);

// Starts argv[0] (looked up on PATH with bSearchPath) with posix_spawn,
// default signal dispositions, and nStdinFd (when not -1) as its standard
// input. False with the system's error number in nErr.
bool ZorSpawnProcess(const std::vector<CNarrowString>& argv, bool bSearchPath, int nStdinFd, pid_t& pid, int& nErr);
// Waits for the process; its exit code, or 128 + the signal that ended it.
bool ZorWaitForExit(pid_t pid, uint32_t& nExitCode, int& nErr);

// The computer name: the environment's COMPUTERNAME when set, else the host
// name; "-UnknownComputer-" when neither can be had.
CWideString GetComputerNameText();
// The machine's architecture and operating system as uname reports them,
// "x86_64 on Linux 6.1.0-18-amd64"; "unknown" for a part it cannot tell.
CWideString GetSystemText();
