// Start-up of "torvane" and the dispatch of its commands.
#include "cli-commands.h"

#include "cli-args.h"
#include "cli-console.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

void UsageError(const std::string& err) {
    fprintf(stderr, "torvane: %s (see torvane --help)\n", err.c_str());
}

// --profile DIR stands for both folder variables, so that every store of
// this process (options, jobs, registry values, logs) lives there.
bool ApplyProfile(const CCliArgs& a, std::string& err) {
    if (!a.m_bHasProfile) return true;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(a.m_sProfile, ec);
    if (!ec) std::filesystem::create_directories(p, ec);
    if (ec || !std::filesystem::is_directory(p)) {
        err = "cannot use profile folder " + a.m_sProfile + (ec ? ": " + ec.message() : std::string());
        return false;
    }
    const std::string dir = p.lexically_normal().string();
    setenv("TORVANE_PROFILE_DIR", dir.c_str(), 1);
    setenv("TORVANE_REGISTRY_DIR", dir.c_str(), 1);
    return true;
}

} // namespace

int RunCli(const std::vector<std::string>& args) {
    CCliArgs a;
    std::string err;
    if (!ParseCliArgs(args, a, err)) {
        UsageError(err);
        return CLI_EXIT_ERRORS;
    }
    if (a.m_verb == ECliVerb::Help) {
        fputs(CliHelpText(), stdout);
        return CLI_EXIT_OK;
    }
    if (!ApplyProfile(a, err)) {
        fprintf(stderr, "torvane: %s\n", err.c_str());
        return CLI_EXIT_ERRORS;
    }
    CCliConsole console(isatty(STDERR_FILENO) != 0);
    console.Error("torvane: the job list is not available in this build");
    return CLI_EXIT_ERRORS;
}
