// Helpers shared by the source files of the local file system.
#pragma once

#include "WinFileSys.h"
#include "zor-string.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace winfs {

// Fills the error from errno e: the kind from the error, the text what +
// display + ": " + the system's message. Always false.
bool Fail(int e, const char16_t* what, const CWideString& display, int& errKind, CWideString& err,
          bool bNotFoundKind = false);
// Raw bytes of a name, percent-escaped where they are not printable ASCII.
CWideString EscapeRawName(const char* name);

} // namespace winfs

// The folder descriptors kept by NativeAt, most recently used first
// (WinFileSysFolders.cpp).
struct WinFileSys::FolderCache {
    static constexpr int kSlots = 8;
    std::mutex mutex;
    std::string aRel[kSlots]; // root-relative folder, no leading '/'
    int aFd[kSlots];
    int nUsed = 0;
    FolderCache() {
        for (int& fd : aFd) fd = -1;
    }
    ~FolderCache() {
        Clear(false);
        ForgetRoot(false);
    }
    void Clear(bool bHeld);
    // The root folder opened once and its identity; replaced: it changed since.
    int nRootFd = -1;
    uint64_t nRootDev = 0, nRootIno = 0;
    std::atomic<bool> bRootReplaced{false};
    void ForgetRoot(bool bHeld);
    // The folders (root-relative, "" the root) whose items were last reached
    // after the root's identity was confirmed, most recent first.
    std::string aConfirmed[kSlots];
    int nConfirmed = 0;
    bool WasConfirmed(const char* folder, size_t n); // and makes it the most recent
    void NoteConfirmed(const char* folder, size_t n);
    CWideString sRootWide; // the root these were made for, and its native form
    CNarrowString sRoot;
};
