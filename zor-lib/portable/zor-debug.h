// Non-fatal assertions, the debug trace and the error-kind word.
#pragma once

#include <cstdarg>
#include <cstdint>

// Error kinds carried beside an error text (the file-system layer names them
// as FsErrorKind; the numbers are shared by every layer).
enum ZorErrorKindValue : int {
    ZEK_NONE = 0,
    ZEK_AUTH = 1,         // authorisation failed
    ZEK_AUTH2 = 2,        // authorisation (second form)
    ZEK_CONNECTION = 3,   // connection lost (retried)
    ZEK_TIMEOUT = 4,      // connection timed out (retried)
    ZEK_GENERAL = 5,      // general failure
    ZEK_NOT_FOUND = 7,    // bad reply or item not found
    ZEK_QUOTA = 8,        // out of space / quota
    ZEK_NO_MEMORY = 9,    // out of memory
    ZEK_STOPPED = 10,     // stopped by the user
    ZEK_CLOUD_CACHE = 11, // cloud cache failure
};

// Stores an error kind into a caller's error-kind word. A null word is ignored.
inline void SetErrorKind(int* pKind, int kind) {
    if (pKind) *pKind = kind;
}
inline void SetErrorKind(int& kind, int value) {
    kind = value;
}

// Reports a failed assertion. Never aborts unless bFatal is set and no hook
// is installed. The report goes to the debug trace, or to the hook when one is set:
//   "!!!ASSERT: <file> (<line>): error=<error>, <text>(<extra>)\n\n"
void ZorAssertFailed(const char* file, int line, int error, const char* text, int extra = 0,
                     bool bFatal = false);

// The assertion hook receives the whole report text (UTF-8). Returns the previous hook.
using ZorAssertHook = void (*)(const char* report);
ZorAssertHook ZorSetAssertHook(ZorAssertHook hook);
// Number of assertion reports since the process started (tests read it).
long ZorAssertCount();

#define ZOR_ASSERT(cond) ((cond) ? (void)0 : ZorAssertFailed(__FILE__, __LINE__, 0, #cond))
#define ZOR_ASSERT_E(cond, err, text) ((cond) ? (void)0 : ZorAssertFailed(__FILE__, __LINE__, (err), (text)))

// Debug trace. The sink is chosen by the environment variable TORVANE_TRACE:
// unset or empty = off, "stderr" = standard error, anything else = a file path
// appended to. Each line is prefixed with the time ("%02d%02d%02d.%03d " once
// start-up has run, "%Y%m%d-%H%M%S: " before) and "t=%x: " (the thread id).
bool ZorTraceEnabled();
void ZorTraceText(const char* text); // one UTF-8 text, prefixed
// Switches the time prefix to the short form (start-up calls it once).
void ZorTraceSetStarted(bool started = true);
// Re-reads TORVANE_TRACE (tests change it).
void ZorTraceReconfigure();
