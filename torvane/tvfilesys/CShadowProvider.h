// Copies of files that another program holds open.
//
// On this platform file locks are advisory: a file another program has open
// (or locked) can always be opened for reading, so copying a locked file needs
// no volume shadow copy. The provider exists so that the copy-locked-files
// option of a side has its counterpart: it reports that shadow copies are not
// available here, and the option is accepted and has nothing to do.
#pragma once

#include "zor-string.h"

class CShadowProvider {
public:
    // Always false on this platform.
    bool IsAvailable() const { return false; }
    // Whether copying locked files needs a shadow copy here: never.
    bool IsNeededForLockedFiles() const { return false; }
    // Would make a shadow copy of the volume that holds path and give the path
    // of the same file inside it. Here: false, kind 5, "shadow copies are not
    // available on this platform (locked files are read directly)".
    bool GetShadowPath(const CWideString& path, CWideString& shadowPath, int& errKind, CWideString& err);
    // Releases shadow copies made (none here).
    void ReleaseAll() {}
};

// The process's shadow-copy provider.
CShadowProvider& GetShadowProvider();
