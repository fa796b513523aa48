// Where program options and jobs are kept: the registry of the current user
// or files in the profile folder.
//
// Registry (HKEY_CURRENT_USER):
//   Software\Zorvek Systems\Torvane            "ProgOptionsTix", "CleanUpTime"
//   Software\Zorvek Systems\Torvane\Jobs\<job> "tix", "LastRunTime32", "LastSyncTime32"
// Keyword texts are stored with every line feed turned into a blank, one
// byte per UTF-16 unit.
//
// Files: "options.tic"/"options.tix" and "jobs.tic"/"jobs.tix" in the
// profile folder (or the paths the host sets). Every write goes to the path
// with the extension ".tmp" (mode 0600), is flushed, synced and renamed over
// the file, under an exclusive lock on the path with ".lock", so two
// processes never write the same temporary file. Before the jobs file is
// replaced, ".bak" becomes a hard link to the previous file (never to an
// empty one: an empty list is stored as one blank line); a load encrypts the
// passwords that the URLs of the list and of its ".bak" still hold. A file that
// cannot be read is renamed aside with "-bad" before its extension
// ("options-bad.tic", "my-bad.tic") and never overwritten; an empty or
// unreadable jobs file is replaced by its ".bak" when that holds jobs, and
// the load succeeds with a warning in its error text.
#pragma once

#include "job-list.h"
#include "zor-string.h"

#include <atomic>
#include <cstdint>

// The store switches, set by the host before it loads.
extern std::atomic<bool> g_bLoadFromRegistry;
extern std::atomic<bool> g_bSaveToRegistry;
extern std::atomic<bool> g_bKeywordTextFiles; // default names end in ".tix"

// The profile folder found by GetProfileFolder (kept for the process; a host
// may set it before first use, tests reset it) and the portable flag.
extern CWideString g_sProfileFolder;
extern std::atomic<bool> g_bPortable;

// "TorvaneRoam" when portable, else "Torvane".
CWideString GetAppName();
bool GetProfileFolder(CWideString& folder, CWideString& sErr);
// Forgets the profile folder found before (tests).
void ResetProfileFolder();
// Whether the profile folder may hold the jobs, options and logs: reached
// through no link of another user, it and every folder above it belong to
// the running user or root, and no other user can write them (a folder
// above it may be sticky; a group of the user's own alone may write; a
// mount no other user can reach, such as a FUSE mount of the user's without
// allow_other, has no other writers). False with err naming the folder, its
// owner and mode, and what to do. pFd (when given and the folder exists)
// gets a descriptor of the checked folder, reached without links.
bool CheckProfileFolderSafe(const CWideString& folder, CWideString& err, int* pFd = nullptr);

// Whether a store file's read failed because the file is not the running
// user's own (another user's, a link, a named pipe, one with a second name).
bool StoreFileRefused(const CWideString& err);

// The store path of a file: empty gives the profile folder and the default
// name; a relative path is taken below the profile folder.
bool ResolveStorePath(const CWideString& path, const char16_t* baseName, CWideString& resolved,
                      CWideString& sErr);
// The path with "-bad" inserted before the extension of its file name.
CWideString MakeBadFileName(const CWideString& path);

// The user's registry file (which keeps, among others, the options set on
// each job by hand) when it cannot be read: it is set aside ("-bad") and a
// new one starts, for nothing may be written over it. False when it was
// sound or missing; true with sSaid telling what was done (or why it
// could not be done).
bool SetAsideDamagedRegistry(CWideString& sSaid);
// The path with the extension of its file name replaced (ext with its dot).
CWideString ReplaceExtension(const CWideString& path, const char16_t* ext);

// Reads "LastRunTime32" into a job whose last-run time is zero, and
// "LastSyncTime32" into one whose last-sync time is not known.
void ReadLastRunTime(CSyncJobFromList* pJob);
// Sets the last-run time to now and stores its low 32 bits; so too the
// last-sync time after a run whose Sync carried out its actions. The
// last-sync time, once known, is stored with every run.
void WriteLastRunTime(CSyncJobFromList* pJob);

// Deletes old logs at most once a day ("CleanUpTime"); LogRetainDays <= 0
// keeps every log.
void CleanupOldGlobalLogs(const ProgramOptions& opt);
