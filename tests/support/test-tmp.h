// Where tests make their temporary folders and files: under $TMPDIR when it
// is set, else /tmp.
#pragma once

#include <stdlib.h>

#include <string>

// The template `name` (ending in XXXXXX, for mkdtemp or mkstemp) in the
// temporary folder.
inline std::string TvTmpPath(const std::string& name) {
    const char* base = getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/" + name;
}
