// The file the test programs' shared precompiled header is built with; it
// holds nothing of its own.
