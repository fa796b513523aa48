// The command line of the host program "torvane": its grammar, the parsed
// form and the exit codes.
//
//   torvane [--profile DIR] job add NAME LEFT RIGHT [--type 0|1|2] [--set KEY=VALUE ...] [--password-stdin]
//   torvane [--profile DIR] job set NAME KEY=VALUE ...
//   torvane [--profile DIR] job list | job show NAME [--all] | job delete NAME | job keys
//   torvane [--profile DIR] [-v|-q] analyze NAME [--prefer SIDE (PATH ... | --all)]
//   torvane [--profile DIR] [-v|-q] sync NAME [--prefer SIDE (PATH ... | --all)]
//                                     [--force] [--max-delete PERCENT] [--override-locks]
//   (SIDE: left, right or newer; each --prefer settles the PATHs after it)
//   torvane [--profile DIR] [-v|-q] watch [NAME ...]
//   torvane -h | --help | --version
//
// Arguments are UTF-8. Options may stand before, between or after the
// operands; "--" ends the options.
#pragma once

#include <string>
#include <vector>

enum class ECliVerb { Help, Version, JobAdd, JobSet, JobList, JobShow, JobDelete, JobKeys, Analyze, Sync, Watch };

// Exit codes of the program.
enum ECliExit : int {
    CLI_EXIT_OK = 0,         // done (also nothing to do, or actions pending after analyze)
    CLI_EXIT_ERRORS = 1,     // errors, a failed run, bad arguments, unknown job
    CLI_EXIT_CONFLICTS = 2,  // conflicts left
    CLI_EXIT_REFUSED = 3,    // refused: folder locked by another owner, job or profile busy
    CLI_EXIT_HANGUP = 129,   // analyze, sync or watch ended by SIGHUP (128 + the signal), locks released
    CLI_EXIT_STOPPED = 130,  // analyze or sync stopped by SIGINT or SIGTERM (watch then ends with 0)
};

struct CCliArgs {
    ECliVerb m_verb = ECliVerb::Help;
    bool m_bHasProfile = false;
    std::string m_sProfile;
    std::string m_sName;
    std::string m_sLeft;
    std::string m_sRight;
    int m_nType = 0;
    std::vector<std::string> m_sets;  // "KEY=VALUE" of job add (--set) and job set
    // job add: the passwords of the sides whose URLs name a user without one
    // come from standard input (a prompt without echo on a terminal).
    bool m_bPasswordStdin = false;
    std::vector<std::string> m_names; // the jobs of watch (empty: all)
    // analyze and sync: the side that wins the conflicts left after the
    // analysis (empty: none is chosen), and where (empty: everywhere, which
    // --all must say).
    std::string m_sPrefer;             // "left", "right" or "newer" (the first --prefer)
    std::vector<std::string> m_paths;  // every path
    // Each --prefer with the paths that follow it (those before the first
    // --prefer go with the first); one entry per --prefer given.
    struct CPrefer {
        std::string m_sSide;
        std::vector<std::string> m_paths;
    };
    std::vector<CPrefer> m_prefers;
    // sync: the guard against mass deletion.
    bool m_bForce = false;  // no guard
    int m_nMaxDelete = 50;  // the share of a side's items a sync may delete, in percent
    // sync: another owner's lock on a side's folder is taken for a stale one
    // and deleted.
    bool m_bOverrideLocks = false;
    bool m_bAll = false; // job show --all: every option, defaults too; with --prefer: every conflict
    int m_nVerbosity = 0;             // -q -1, default 0, -v 1
};

// Parses argv[1..]. False with a one-line reason on a usage error.
bool ParseCliArgs(const std::vector<std::string>& args, CCliArgs& out, std::string& err);

// The text of --help.
const char* CliHelpText();
// The line of --version: "torvane 9.2.9.0 (x86_64 on Linux 6.1.0)".
std::string CliVersionText();
