// The host program "torvane": see cli-args.h for its command line.
#include "cli-commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return RunCli(args);
}
