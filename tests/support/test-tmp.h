// Where tests make their temporary folders and files: under $TMPDIR when it
// is set, else /tmp.
#pragma once

#include <stdlib.h>

#include <istream>
#include <sstream>
#include <string>

// The template `name` (ending in XXXXXX, for mkdtemp or mkstemp) in the
// temporary folder.
inline std::string TvTmpPath(const std::string& name) {
    const char* base = getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/" + name;
}

// What is left of an open stream (a whole file), copied by the block: the
// stream's own copy, far quicker than character iterators in a build that
// does not optimise the test files.
inline std::string TvStreamText(std::istream& in) {
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
