// The commands of "torvane": start-up, dispatch and exit codes.
#pragma once

#include <string>
#include <vector>

// Runs the program with argv[1..] and returns its exit code (ECliExit).
int RunCli(const std::vector<std::string>& args);
