// What a user's run of "torvane" reports and decides between its analysis
// and its sync: the list of actions (one line per action a person would
// count), the counts of the summary, the choice of a side for conflicts and
// the guard against deleting most of a side.
#pragma once

#include "cli-args.h"
#include "cli-console.h"
#include "job-list.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class ECliLineKind { Action, Conflict, Error };

// One line of the action list. Its text, tab-separated:
//   WORD  PATH  [DETAIL]  [COMMAND]
// WORD is one of the words CliReportHelpText lists; folders' paths end in "/".
struct CCliActionLine {
    ECliLineKind m_kind = ECliLineKind::Action;
    std::string m_sWord;
    std::string m_sPath;
    std::string m_sDetail;            // new path, new name, reason or count of items inside
    CSyncTreeNode* m_pNode = nullptr; // the item whose execution tells the line's outcome
    uint32_t m_nTakenAlong = 0;       // a folder conflict: the conflicts below it that it takes along
};

// What a sync of the job's analysed tree would do, in tree order. Items a
// folder action carries (the content of a moved or deleted folder) get no
// line of their own, nor do the conflicts a folder's conflict takes along
// (its line counts them); state merges are not actions.
std::vector<CCliActionLine> CliListActions(CSyncJob* job);

// The line as text; a conflict line ends with the command that resolves it.
std::string CliFormatLine(const CCliActionLine& line, const std::string& resolveCommand);

// The command that resolves conflicts ("torvane [--profile DIR] sync NAME
// --prefer SIDE", and PATH when given), quoted for a shell. As printed it
// is refused: the user puts left, right or newer in place of SIDE.
std::string CliResolveCommand(const CCliArgs& a, const std::string& profile, const std::string& path);

// Items that exist on each side (not excluded) and the deletions a sync
// would make there (files plus folders; moves are not deletions).
struct CCliDeleteCounts {
    uint32_t m_anExisting[2] = {0, 0};
    uint32_t m_anDeletes[2] = {0, 0};
};
CCliDeleteCounts CliCountDeletes(CSyncJob* job);
// True when the deletions on a side pass nMaxPercent of its items and more
// than six would go; sMessage says the counts.
bool CliTooManyDeletes(CSyncJob* job, int nMaxPercent, std::string& sMessage);

// Resolves the conflicts of the analysed tree (all when paths is empty, as
// --all asks, or those at or under the paths) with the side of prefer
// ("left", "right", "newer"). Each
// path is a path in the job ("/docs/a.txt") or a local path inside either
// side's folder. False with the reason for a path that names no item.
// bDryRun: an analysis that only shows what the sync would do.
bool CliResolveConflicts(CCliConsole& con, CSyncJob* job, const std::string& prefer,
                         const std::vector<std::string>& paths, bool bDryRun, std::string& err);
// The same for several choices, each with its paths (--prefer SIDE PATH ...
// --prefer SIDE PATH ...); false, before anything is settled, when a path
// lies at or inside another path of another side.
bool CliResolveConflicts(CCliConsole& con, CSyncJob* job, const std::vector<CCliArgs::CPrefer>& prefers,
                         bool bDryRun, std::string& err);

// The console of a user's run, which is asked between the analysis and the
// sync whether the sync may go on.
class CCliRunConsole : public CCliConsole {
public:
    using CCliConsole::CCliConsole;
    bool ConfirmSync(int nArg) override { return !(nArg == 1 && m_beforeSync) || m_beforeSync(); }
    std::function<bool()> m_beforeSync;
};

// Options and words of analyze and sync, for --help.
const char* CliReportHelpText();

// A user's analyze or sync of one job with its report; returns the exit code
// of the run (ECliExit) as exitOfRun judges it, or the report's own refusal.
int CliRunAndReport(CCliRunConsole& con, CSyncJobFromList* job, const CCliArgs& a, const std::string& profile,
                    const std::function<void()>& run, const std::function<int()>& exitOfRun);
