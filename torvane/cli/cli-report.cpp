// The action list, counts, conflict choice and deletion guard of a user's
// analyze or sync.
#include "cli-report.h"

#include "cli-jobs.h"
#include "syncjob-analysis.h"
#include "zor-escape.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <filesystem>
#include <unordered_set>
#include <utility>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}
CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

// Tabs and line ends would break a line's columns: they and every other
// control are shown escaped, so a name stays whole on its line.
std::string Field(const CWideString& s) {
    std::string out = U8(EscapeControlChars(s));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

const char* Arrow(uint8_t eff) {
    return (eff & EA_BIT_TO_RIGHT) ? "\xE2\x86\x92" : "\xE2\x86\x90"; // → and ←
}

std::string ItemPath(const CWideString& path, bool bFolder) {
    return Field(path) + (bFolder ? "/" : "");
}

// Walks the tree in child-map order and collects the lines.
class CActionLister {
public:
    explicit CActionLister(std::vector<CCliActionLine>& out) : m_out(out) {}

    void Children(CSyncTreeNode* pNode, uint8_t nCarriedDelete, uint32_t* pCarried) {
        if (CSyncTreeNode::CChildMap* map = pNode->GetChildMap())
            for (auto* e = map->GetFirst(); e; e = map->GetNext(e)) {
                CSyncTreeNode::CChildMap::PrefetchFollowing(e);
                Visit(&e->GetValue(), nCarriedDelete, pCarried);
            }
    }

private:
    std::vector<CCliActionLine>& m_out;
    uint32_t* m_pTakenAlong = nullptr; // below a folder conflict: the count of the conflicts it takes along

    void Add(ECliLineKind kind, const std::string& word, const std::string& path, const std::string& detail,
             CSyncTreeNode* pNode) {
        CCliActionLine l;
        l.m_kind = kind;
        l.m_sWord = word;
        l.m_sPath = path;
        l.m_sDetail = detail;
        l.m_pNode = pNode;
        m_out.push_back(l);
    }

    // nCarriedDelete: the action of a folder deletion above, whose deletion
    // takes the same deletions below it along (counted in *pCarried).
    void Visit(CSyncTreeNode* pNode, uint8_t nCarriedDelete, uint32_t* pCarried) {
        CSyncPairAndAction& item = pNode->GetItem();
        const uint8_t eff = item.GetEffAction();
        const bool bFolder = item.IsFolder();
        if (item.IsExcluded()) {
            Children(pNode, nCarriedDelete, pCarried);
            return;
        }
        if (item.IsError() || eff == EA_ERROR) {
            Add(ECliLineKind::Error, "error", ItemPath(pNode->GetPath(), bFolder), Field(item.GetReason()),
                pNode);
            Children(pNode, 0, nullptr);
            return;
        }
        const int src = (eff & EA_BIT_TO_LEFT) ? 1 : 0;
        switch (eff) {
            case EA_CONFLICT: {
                if (m_pTakenAlong && item.GetReason() == kReasonParentFolderConflict) {
                    ++*m_pTakenAlong;
                    break;
                }
                const size_t at = m_out.size();
                Add(ECliLineKind::Conflict, "conflict", ItemPath(pNode->GetPath(), bFolder),
                    Field(item.GetReason()), pNode);
                if (!bFolder) break;
                // One line for the folder, with the count of what it takes along.
                uint32_t n = 0;
                uint32_t* const pOuter = std::exchange(m_pTakenAlong, &n);
                Children(pNode, 0, nullptr);
                m_pTakenAlong = pOuter;
                m_out[at].m_nTakenAlong = n;
                if (n)
                    m_out[at].m_sDetail += "; with it " + std::to_string(n) +
                                           (n == 1 ? " item inside is" : " items inside are") +
                                           " in conflict";
                return;
            }
            case EA_NAME_CASE_LEFT_TO_RIGHT:
            case EA_NAME_CASE_RIGHT_TO_LEFT:
                Add(ECliLineKind::Action, std::string("case ") + Arrow(eff),
                    ItemPath(pNode->GetPath(), bFolder), Field(CSyncJob::GetItemSideName(pNode, src)), pNode);
                break;
            case EA_TIME_LEFT_TO_RIGHT:
            case EA_TIME_RIGHT_TO_LEFT:
                Add(ECliLineKind::Action, std::string("time ") + Arrow(eff),
                    ItemPath(pNode->GetPath(), bFolder), "", pNode);
                break;
            case EA_COPY_LEFT_TO_RIGHT:
            case EA_COPY_RIGHT_TO_LEFT:
                if (!item.GetMove().IsEmpty()) {
                    // One line per move, on its new place; the old place and
                    // whatever a moved folder takes along ("=") get none.
                    if (item.GetMove()[0] == u'<') {
                        const CWideString from = item.GetMove().Mid(1);
                        const bool bSameFolder = GetUrlPathFolder(from) == GetUrlPathFolder(pNode->GetPath());
                        Add(ECliLineKind::Action, std::string(bSameFolder ? "rename " : "move ") + Arrow(eff),
                            ItemPath(from, bFolder), ItemPath(pNode->GetPath(), bFolder), pNode);
                    }
                } else if (item.IsDeleteAction()) {
                    if (nCarriedDelete == eff) {
                        ++*pCarried;
                        Children(pNode, nCarriedDelete, pCarried);
                        return;
                    }
                    const size_t at = m_out.size();
                    Add(ECliLineKind::Action, (eff & EA_BIT_TO_RIGHT) ? "delete right" : "delete left",
                        ItemPath(pNode->GetPath(), bFolder), "", pNode);
                    if (bFolder) {
                        uint32_t n = 0;
                        Children(pNode, eff, &n);
                        if (n)
                            m_out[at].m_sDetail =
                                std::to_string(n) + (n == 1 ? " item inside" : " items inside");
                        return;
                    }
                } else {
                    Add(ECliLineKind::Action, std::string("copy ") + Arrow(eff),
                        ItemPath(pNode->GetPath(), bFolder), "", pNode);
                }
                break;
            default: // no action, or only the remembered state changes
                break;
        }
        Children(pNode, 0, nullptr);
    }
};

std::string StripSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// The item a user's path names: a local path inside either side's folder
// (relative to the current folder), else a path in the job.
CSyncTreeNode* FindItem(CSyncJob* job, const std::string& arg, std::string& err) {
    namespace fs = std::filesystem;
    std::string rel = arg;
    std::error_code ec;
    const fs::path abs = fs::absolute(arg, ec).lexically_normal();
    for (int side = 0; side < 2 && !ec; ++side) {
        const CWideString url = job->GetSideFolder(side);
        if (!url.StartsWithNoCase(u"file://")) continue;
        const fs::path root = fs::path(StripSlashes(U8(UrlToLocalPath(url)))).lexically_normal();
        const fs::path r = fs::path(StripSlashes(abs.string())).lexically_relative(root);
        if (!r.empty() && *r.begin() != "..") {
            rel = r == "." ? std::string() : r.generic_string();
            break;
        }
    }
    CWideString path;
    size_t at = 0;
    while (at <= rel.size()) {
        size_t end = rel.find('/', at);
        if (end == std::string::npos) end = rel.size();
        const std::string part = rel.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            err = "the path leaves the job's folders: " + arg;
            return nullptr;
        }
        path += u"/" + W(part);
    }
    CSyncPairsAndActions* pRoot = job->GetPairsUnchecked();
    if (path.IsEmpty()) return pRoot;
    CWideString e;
    CSyncTreeNode* pNode = pRoot->LookupCS(path, true, nullptr, e);
    if (!pNode) err = "no item " + U8(path) + " in job '" + U8(job->m_Options.m_sName) + "'";
    return pNode;
}

struct CTally {
    long long nActions = 0, nConflicts = 0, nErrors = 0;
    long long anDeleted[2] = {0, 0}; // items a sync deleted on the left and on the right
};

// "1 conflict", "2 conflicts".
std::string Count(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Summary(const char* verb, const char* what, const CTally& t, const std::string& resolveCommand) {
    std::string s = std::string(verb) + ": " + std::to_string(t.nActions) + " " + what + ", " +
                    Count(t.nConflicts, "conflict", "conflicts") + ", " + Count(t.nErrors, "error", "errors");
    if (t.anDeleted[0] || t.anDeleted[1])
        s += "; deleted: " + Count(t.anDeleted[0], "item", "items") + " on the left, " +
             std::to_string(t.anDeleted[1]) + " on the right";
    if (t.nConflicts > 0) s += "; to resolve: " + resolveCommand + " PATH ..." + CliSideNote();
    return s;
}

// The exit code says what the summary says: a conflict the user resolved
// is none, although the item's analysis still calls it one.
int CodeOfTally(int code, const CTally& t) {
    if (code != CLI_EXIT_OK && code != CLI_EXIT_CONFLICTS) return code;
    return t.nErrors > 0 ? CLI_EXIT_ERRORS : t.nConflicts > 0 ? CLI_EXIT_CONFLICTS : CLI_EXIT_OK;
}

} // namespace

std::vector<CCliActionLine> CliListActions(CSyncJob* job) {
    std::vector<CCliActionLine> out;
    if (CSyncPairsAndActions* pRoot = job->GetPairsUnchecked())
        CActionLister(out).Children(pRoot, 0, nullptr);
    return out;
}

std::string CliFormatLine(const CCliActionLine& line, const std::string& resolveCommand) {
    std::string s = line.m_sWord + "\t" + line.m_sPath;
    if (line.m_kind == ECliLineKind::Conflict)
        return s + "\t" + line.m_sDetail + "\t" + resolveCommand + " " + CliShellWord(line.m_sPath);
    if (!line.m_sDetail.empty()) s += "\t" + line.m_sDetail;
    return s;
}

std::string CliResolveCommand(const CCliArgs& a, const std::string& profile, const std::string& path) {
    std::string s = "torvane";
    if (a.m_bHasProfile) s += " --profile " + CliShellWord(profile);
    s += " sync " + CliShellWord(a.m_sName) + " --prefer SIDE";
    if (!path.empty()) s += " " + CliShellWord(path);
    return s;
}

CCliDeleteCounts CliCountDeletes(CSyncJob* job) {
    CCliDeleteCounts c;
    CSyncPairsAndActions* pRoot = job->GetPairsUnchecked();
    if (!pRoot) return c;
    for (CSyncDepthFirstIter it(pRoot); it.IsValid(); it.Next()) {
        const CSyncPairAndAction& item = *it.GetItem();
        if (item.IsExcluded()) continue;
        for (int s = 0; s < 2; ++s)
            if (item.m_aCur[s].Exists()) c.m_anExisting[s]++;
        if (item.IsPlainDelete()) c.m_anDeletes[(item.GetEffAction() & EA_BIT_TO_RIGHT) ? 1 : 0]++;
    }
    return c;
}

bool CliTooManyDeletes(CSyncJob* job, int nMaxPercent, std::string& sMessage) {
    const CCliDeleteCounts c = CliCountDeletes(job);
    for (int s = 0; s < 2; ++s) {
        const uint64_t nDel = c.m_anDeletes[s], nAll = c.m_anExisting[s];
        if (nDel <= 6 || nDel * 100 <= nAll * (uint64_t)nMaxPercent) continue;
        sMessage = "it would delete " + std::to_string(nDel) + " of the " + std::to_string(nAll) +
                   " items on the " + (s ? "right" : "left") + " (" + CliUrlToText(job->GetSideFolder(s)) +
                   "), more than " + std::to_string(nMaxPercent) + "%";
        return true;
    }
    return false;
}

namespace {

// The conflicts still left at a node and below it.
int ConflictsLeft(CSyncTreeNode* pNode) {
    auto isConflict = [](const CSyncPairAndAction& i) { return !i.IsExcluded() && i.GetEffAction() == EA_CONFLICT; };
    int n = isConflict(pNode->GetItem()) ? 1 : 0;
    for (CSyncDepthFirstIter it(pNode); it.IsValid(); it.Next()) n += isConflict(*it.GetItem()) ? 1 : 0;
    return n;
}

} // namespace

bool CliResolveConflicts(CCliConsole& con, CSyncJob* job, const std::string& prefer,
                         const std::vector<std::string>& paths, bool bDryRun, std::string& err) {
    return CliResolveConflicts(con, job, std::vector<CCliArgs::CPrefer>{{prefer, paths}}, bDryRun, err);
}

bool CliResolveConflicts(CCliConsole& con, CSyncJob* job, const std::vector<CCliArgs::CPrefer>& prefers,
                         bool bDryRun, std::string& err) {
    // Every path with its --prefer; no path at all: the whole tree (--all).
    struct CEntry {
        size_t group;
        const std::string* path;
        CSyncTreeNode* node;
    };
    std::vector<CEntry> entries;
    for (size_t g = 0; g < prefers.size(); ++g) {
        for (const std::string& p : prefers[g].m_paths) {
            CSyncTreeNode* pNode = FindItem(job, p, err);
            if (!pNode) return false;
            entries.push_back({g, &p, pNode});
        }
        if (prefers[g].m_paths.empty()) entries.push_back({g, nullptr, job->GetPairsUnchecked()});
    }
    // Two sides for one item cannot both win: a path at or inside another
    // that another side settles is refused before anything is settled.
    auto within = [](const CSyncTreeNode* p, const CSyncTreeNode* outer) {
        for (; p; p = p->GetParent())
            if (p == outer) return true;
        return false;
    };
    for (const CEntry& a : entries)
        for (const CEntry& b : entries)
            if (a.path && b.path && &a != &b && prefers[a.group].m_sSide != prefers[b.group].m_sSide &&
                within(a.node, b.node)) {
                err = *a.path + " lies at or inside " + *b.path + ", which --prefer " + prefers[b.group].m_sSide +
                      " settles: --prefer " + prefers[a.group].m_sSide + " cannot settle it too";
                return false;
            }
    std::vector<int> counts(prefers.size(), 0), undecided(prefers.size(), 0);
    con.SetDryRun(bDryRun);
    for (const CEntry& e : entries) {
        const int mode = prefers[e.group].m_sSide == "left" ? 1 : prefers[e.group].m_sSide == "right" ? 2 : 0;
        const int nBefore = e.path ? ConflictsLeft(e.node) : 1;
        const int k = job->UserResolveConflicts(e.node, mode);
        // Newer wins only where the times differ: the engine names each
        // conflict whose times are the same on both sides.
        const int nLeft = mode == 0 ? ConflictsLeft(e.node) : 0;
        undecided[e.group] += nLeft;
        if (nBefore == 0) con.Error("torvane: no conflict at or under " + *e.path);
        counts[e.group] += k;
    }
    con.SetDryRun(false);
    for (size_t g = 0; g < prefers.size(); ++g) {
        const std::string& prefer = prefers[g].m_sSide;
        const int n = counts[g], nUndecided = undecided[g];
        const std::string who = prefer == "newer" ? "the newer side wins" : prefer + " wins";
        const std::string count = std::to_string(n) + (n == 1 ? " conflict" : " conflicts");
        if (n > 0 || nUndecided == 0)
            con.Error("torvane: " + count + (bDryRun ? " would be resolved by sync --prefer " + prefer + ", " + who +
                                                           " (analyze changes nothing)"
                                                     : " resolved, " + who));
        if (nUndecided > 0)
            con.Error("torvane: " + std::to_string(nUndecided) +
                      (nUndecided == 1 ? " conflict has" : " conflicts have") +
                      " the same time on both sides, so the newer cannot be told: --prefer left or right settles " +
                      (nUndecided == 1 ? "it" : "them"));
    }
    return true;
}

const char* CliReportHelpText() {
    return "\n"
           "Analyze and sync:\n"
           "  analyze NAME [--prefer SIDE (PATH ... | --all)]\n"
           "  sync NAME [--prefer SIDE (PATH ... | --all)] [--force] [--max-delete PERCENT]\n"
           "            [--override-locks]\n"
           "  --prefer SIDE   resolve the conflicts the analysis finds at or under each PATH\n"
           "                  (with --all: every conflict of the job) for the left, the\n"
           "                  right or the newer version: SIDE is left, right or newer;\n"
           "                  the losing version is kept in _tvdata_/_saved_ like any\n"
           "                  replaced version. PATH is a path in the job (/docs/a.txt) or\n"
           "                  a local path inside either folder. Without PATH or --all\n"
           "                  --prefer is refused. The commands torvane prints say SIDE\n"
           "                  where you choose: as printed they are refused. Several\n"
           "                  --prefer each settle the PATHs after them.\n"
           "  --force         sync even when it would delete most of a side, or when a\n"
           "                  side's folder stands empty where the last sync left items\n"
           "  --max-delete P  the share of a side's items (files plus folders) a sync may\n"
           "                  delete, in percent (default 50); up to 6 items always may go.\n"
           "                  Beyond it sync changes nothing and exits with 3; analyze\n"
           "                  says so (at 50) and exits with 3 too.\n"
           "  --override-locks  sync: a lock that another job or computer left on a\n"
           "                  folder is deleted (\"User Override Deleted Lock\" in the log);\n"
           "                  only when you are sure that no other sync of it runs\n"
           "  On analyze, --prefer shows what the sync with it would do and changes nothing.\n"
           "\n"
           "analyze prints one line per action, its fields separated by tabs:\n"
           "  copy \xE2\x86\x92 PATH            copy from the left to the right (\xE2\x86\x90: the other "
           "way)\n"
           "  delete left PATH       delete on the left (delete right: on the right); a\n"
           "                         folder's line counts the items inside that go with it\n"
           "  move \xE2\x86\x92 OLD NEW         move on the right as it was moved on the left\n"
           "  rename \xE2\x86\x92 OLD NEW       the same within one folder; what a moved or\n"
           "                         renamed folder holds goes with it\n"
           "  case \xE2\x86\x92 PATH NAME       change the letter case of the name to NAME\n"
           "  time \xE2\x86\x92 PATH            copy only the modification time\n"
           "  conflict PATH REASON COMMAND\n"
           "                         a conflict and why; COMMAND resolves it once SIDE is\n"
           "                         replaced by left, right or newer\n"
           "  error PATH REASON      an item that cannot be synced, and why\n"
           "Folders' paths end in \"/\". The summary (\"analyzed: N to do\", \"synced: N done\")\n"
           "counts these actions; remembering the sides' state is not counted.\n";
}

namespace {
// The --prefer choices of the command line (one with every path when the
// arguments were made without the split).
std::vector<CCliArgs::CPrefer> Prefers(const CCliArgs& a) {
    if (!a.m_prefers.empty()) return a.m_prefers;
    return {{a.m_sPrefer, a.m_paths}};
}
} // namespace

int CliRunAndReport(CCliRunConsole& con, CSyncJobFromList* job, const CCliArgs& a, const std::string& profile,
                    const std::function<void()>& run, const std::function<int()>& exitOfRun) {
    const bool bSync = a.m_verb == ECliVerb::Sync;
    const std::string resolve = CliResolveCommand(a, profile, std::string());
    std::vector<CCliActionLine> planned;
    std::vector<std::pair<const CSyncTreeNode*, int>> deletes; // the planned deletions and their sides
    bool bAsked = false;
    int nRefusal = CLI_EXIT_OK;
    std::string refusal;
    // Between the analysis and the sync: the user's choice for conflicts,
    // then the guard, on what the sync is about to do.
    con.m_beforeSync = [&]() {
        bAsked = true;
        if (!a.m_sPrefer.empty() && !CliResolveConflicts(con, job, Prefers(a), false, refusal)) {
            nRefusal = CLI_EXIT_ERRORS;
            return false;
        }
        planned = CliListActions(job);
        for (CSyncDepthFirstIter it(job->GetPairsUnchecked()); it.IsValid(); it.Next())
            if (!it.GetItem()->IsExcluded() && it.GetItem()->IsPlainDelete())
                deletes.emplace_back(it.GetNode(), (it.GetItem()->GetEffAction() & EA_BIT_TO_RIGHT) ? 1 : 0);
        std::string guard;
        const bool bGuard = !a.m_bForce && CliTooManyDeletes(job, a.m_nMaxDelete, guard);
        // A folder taken as not available is the refusal read first, with
        // the guard's beside it; the command shown names what it lifts.
        CWideString missing, asItStands;
        const int nMissing = a.m_bForce ? -1 : job->FindSideNotAvailable(0, missing, asItStands);
        if (nMissing >= 0) {
            job->m_abNotAvailable[nMissing] = 1;
            std::string force = "torvane";
            if (a.m_bHasProfile) force += " --profile " + CliShellWord(profile);
            force += " sync " + CliShellWord(a.m_sName) + " --force";
            refusal =
                "sync refused: " + U8(missing) +
                ": the folder is taken as not available (is its drive mounted?), so nothing was changed" +
                (bGuard ? "; and " + guard : std::string()) + ". If it was emptied on purpose, " + force +
                " syncs it as it stands: " + U8(asItStands);
            nRefusal = CLI_EXIT_REFUSED;
            return false;
        }
        if (bGuard) {
            refusal = "sync refused: " + guard +
                      ". Nothing was changed; --force goes on, --max-delete PERCENT "
                      "sets another share";
            nRefusal = CLI_EXIT_REFUSED;
            return false;
        }
        return true;
    };
    run();
    con.m_beforeSync = nullptr;
    const bool bRunOk = job->m_bRunResult.load();
    // An analysis alone takes the choice afterwards; so does a sync that
    // found nothing to do (its paths must still name items).
    if (bRunOk && !bAsked && !a.m_sPrefer.empty() &&
        !CliResolveConflicts(con, job, Prefers(a), !bSync, refusal))
        nRefusal = CLI_EXIT_ERRORS;
    if (nRefusal != CLI_EXIT_OK) {
        con.Error("torvane: " + refusal);
        con.Result(CliWithRunLog(job, nRefusal == CLI_EXIT_REFUSED ? "refused" : "failed"));
        return nRefusal;
    }
    int code = exitOfRun();
    CWideString errText;
    {
        CCritSectionLock l(job->m_JobLock);
        errText = job->m_sRunErrorText;
    }
    // The run's error, unless the run has shown it already; a stop is said
    // by the summary.
    if (code != CLI_EXIT_OK && code != CLI_EXIT_STOPPED && !errText.IsEmpty()) con.Error("torvane: " + U8(errText));
    // An analysis that says a sync would be refused still lists what it found.
    const bool bWouldRefuse = !bSync && bRunOk && code == CLI_EXIT_REFUSED;
    if (!bWouldRefuse && (code == CLI_EXIT_REFUSED || code == CLI_EXIT_STOPPED || !bRunOk)) {
        con.Result(CliWithRunLog(job, code == CLI_EXIT_REFUSED ? "refused"
                                      : code == CLI_EXIT_STOPPED ? "stopped"
                                                                 : "failed"));
        return code;
    }

    CTally t;
    // Errors of the sync that belong to no item (a state file not saved)
    // were said as they happened; the summary counts them too.
    const long long nRunErrors = bSync ? job->m_nRunErrors.load() : 0;
    if (!bSync || !bAsked) {
        // What a sync would do (a sync that found nothing to do did nothing).
        const std::vector<CCliActionLine> lines = CliListActions(job);
        // Quiet, the actions are only counted: errors and conflicts show.
        const bool bQuiet = CCliConsole::GetVerbosity() < 0;
        for (const CCliActionLine& l : lines) {
            if (bSync && l.m_kind == ECliLineKind::Action) continue;
            if ((!bQuiet || l.m_kind != ECliLineKind::Action) &&
                !(l.m_kind == ECliLineKind::Error && con.ShownWhereResultsGo(l.m_sDetail)))
                con.Result(CliFormatLine(l, resolve));
            (l.m_kind == ECliLineKind::Action     ? t.nActions
             : l.m_kind == ECliLineKind::Conflict ? t.nConflicts
                                                  : t.nErrors)++;
        }
        t.nErrors += nRunErrors;
        // A sync that the deletion guard would stop is refused, as one that
        // finds a folder not available is.
        std::string guard;
        const bool bGuard = !bSync && CliTooManyDeletes(job, 50, guard);
        if (bGuard) con.Error("torvane: a sync would stop here: " + guard);
        con.Result(CliWithRunLog(
            job, bSync                    ? Summary("synced", "done", CTally{0, t.nConflicts, t.nErrors}, resolve)
                 : bWouldRefuse || bGuard ? Summary("analyzed", "to do", t, resolve) + "; a sync would be refused"
                                          : Summary("analyzed", "to do", t, resolve)));
        return bGuard ? CLI_EXIT_REFUSED : CodeOfTally(code, t);
    }
    // What the sync did with the planned actions: those left undone show.
    std::unordered_set<const CSyncTreeNode*> heads;
    for (const CCliActionLine& l : planned) {
        heads.insert(l.m_pNode);
        const CSyncPairAndAction& item = l.m_pNode->GetItem();
        if (l.m_kind == ECliLineKind::Action) {
            if (item.m_nExecState == ESS_SYNCED_OK) {
                t.nActions++;
            } else if (item.m_nExecState == ESS_SYNCED_ERR) {
                t.nErrors++;
                if (!con.ShownWhereResultsGo(Field(item.GetReason())))
                    con.Result("error\t" + l.m_sPath + "\t" + l.m_sWord + ": " + Field(item.GetReason()));
            }
        } else {
            (l.m_kind == ECliLineKind::Conflict ? t.nConflicts : t.nErrors)++;
            if (!(l.m_kind == ECliLineKind::Error && con.ShownWhereResultsGo(l.m_sDetail)))
                con.Result(CliFormatLine(l, resolve));
        }
    }
    // Items a folder deletion carried, or state updates, that failed (a
    // move's other places fail with its line).
    for (CSyncDepthFirstIter it(job->GetPairsUnchecked()); it.IsValid(); it.Next()) {
        const CSyncPairAndAction& item = *it.GetItem();
        if (item.m_nExecState != ESS_SYNCED_ERR || item.IsExcluded() || heads.count(it.GetNode())) continue;
        if (!item.GetMove().IsEmpty() && item.GetMove()[0] != u'<') continue;
        t.nErrors++;
        if (!con.ShownWhereResultsGo(Field(item.GetReason())))
            con.Result("error\t" + ItemPath(it.GetNode()->GetPath(), item.IsFolder()) + "\t" +
                       Field(item.GetReason()));
    }
    for (const auto& [pNode, side] : deletes)
        if (pNode->GetItem().m_nExecState == ESS_SYNCED_OK) t.anDeleted[side]++;
    t.nErrors += nRunErrors;
    con.Result(CliWithRunLog(job, Summary("synced", "done", t, resolve)));
    return CodeOfTally(code, t);
}
