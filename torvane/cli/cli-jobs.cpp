// The job commands of "torvane".
#include "cli-jobs.h"

#include "job-stores.h"
#include "sync-filters.h"
#include "zor-registry.h"
#include "TvFileSys.h"
#include "syncjob-analysis.h"
#include "zor-escape.h"
#include "zor-path.h"
#include "zor-stream.h"
#include "zor-tic.h"
#include "zor-unicode.h"
#include "zor-url.h"

#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <map>
#include <set>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}
CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

const char* TypeName(int nDirection) {
    switch (nDirection) {
    case JT_LEFT_TO_RIGHT:
        return "left to right";
    case JT_RIGHT_TO_LEFT:
        return "right to left";
    default:
        return "two-way";
    }
}

enum class EKeyKind { Flag, Number, Text, Rules };

// What a key of the "Job" block allows and means.
struct SKeyInfo {
    const char* key;
    int nMin, nMax; // numbers only
    const char* meaning;
};

constexpr int kMaxInt = 2147483647;

const SKeyInfo kKeyInfo[] = {
    {"Direction", 0, 2, "job type (set with --type): 0 two-way, 1 left to right, 2 right to left"},
    {"1wayMode", 0, 2, "one-way mode: 0 forced, 1 verified, 2 move"},
    {"PropagateDeletions", 0, 0, "an item deleted on one side is deleted on the other"},
    {"ReadOnlySource", 0, 0, "one-way: nothing is written to the source side, not even _tvdata_"},
    {"ConflictOnDiffItemsNoCommonHistory", 0, 0,
     "two different items of one name with no shared history are a conflict"},
    {"NoTvDataFolder", 0, 0, "a side keeps no _tvdata_ folder (its state lives in the profile)"},
    {"CompareMD5crc", 0, 0, "compare file contents by checksum (reads every file: slow)"},
    {"SavePreviousVersion", 0, 0, "keep a replaced or deleted file in _tvdata_/_saved_"},
    {"CleanupPreviousVersion", 0, 0, "delete kept previous versions after SaveDaysPreviousVersion days"},
    {"SaveDaysPreviousVersion", 0, 36500, "days previous versions are kept"},
    {"SavePastVersions", 0, 0, "keep every replaced version in _tvdata_/_history_"},
    {"NoSavePreviousPastVersionsLocal", 0, 0, "keep no versions on sides that keep their own"},
    {"CleanupPastVersions", 0, 0, "delete past versions after SaveDaysPastVersions days"},
    {"SaveDaysPastVersions", 0, 36500, "days past versions are kept"},
    {"CleanupOldGenerations", 0, 0, "forget deleted items in the state file after SaveMonthsOldGens months"},
    {"SaveMonthsOldGens", 0, 1200, "months deleted items stay in the state file"},
    {"EstimateRequiredSpace", 0, 0, "check free space on both sides before a sync"},
    {"AutoReconnect", 0, 0, "reconnect a side that dropped during a run"},
    {"ReconnectAttempts", 0, 100, "reconnect attempts per drop"},
    {"SpeedLimit", 0, kMaxInt, "download speed limit in KB/s (0: none)"},
    {"UpSpeedLimit", 0, kMaxInt, "upload speed limit in KB/s (0: none)"},
    {"ShowBalloon", 0, 2, "desktop notice after a run (kept for other hosts; unused here)"},
    {"CopyUsingTempFile", 0, 0, "write a copy under a temporary name, then rename it into place"},
    {"CopyACL", 0, 0, "copy POSIX ACLs"},
    {"CopyCreateTime", 0, 0, "copy creation times where the side keeps them"},
    {"SameBeforeSyncAsInAnalyze", 0, 0, "fail an item whose source or target changed since analyze"},
    {"CopyLockedFiles", 0, 0, "copy files that are in use"},
    {"FastPreAnalyzeWithStamps", 0, 0, "skip unchanged folders by their stamps (remote sides)"},
    {"WaitForLocks", 0, 0, "wait while another owner holds a folder lock, instead of refusing"},
    {"FastStop", 0, 0, "a stop abandons remote work at once"},
    {"DetectMovesAndRenames", 0, 0, "carry out a moved or renamed file as a move, not copy and delete"},
    {"DetectFolderMoves", 0, 0, "carry out a moved or renamed folder as one move"},
    {"WorkerThreads", 0, 127, "parallel copies (2 or more; 0 or 1: one at a time)"},
    {"FolderLinks", 0, 2, "symbolic links to folders: 0 skip, 1 copy the link, 2 follow"},
    {"FileLinks", 0, 2, "symbolic links to files: 0 skip, 1 copy the link, 2 follow"},
    {"FiltersIncluded", 0, 0, "sync only the items a rule matches (folders are entered to look for them)"},
    {"FiltersExcluded", 0, 0, "leave out the items a rule matches (an excluded folder with all inside)"},
    {"OnFileChangeAction", 0, 2, "watch: run on a change in the folders (0 off, 1 analyze + sync, 2 analyze)"},
    {"OnFileChangeDelay", 0, 86400, "watch: seconds to wait after a change"},
    {"OnStartAction", 0, 2, "watch: run when watch starts (0 off, 1 analyze + sync, 2 analyze)"},
    {"AutoStartDelay", 0, 86400, "watch: seconds after start before the start and timer runs"},
    {"OnTimerAction", 0, 2, "watch: run every TimerIntervalHours:Minutes (0 off, 1 analyze + sync, 2 analyze)"},
    {"TimerIntervalHours", 0, 8760, "watch: hours of the timer's interval"},
    {"TimerIntervalMinutes", 0, 59, "watch: minutes of the timer's interval"},
    {"OnFolderConnectAction", 0, 2, "watch: run when a folder appears (0 off, 1 analyze + sync, 2 analyze)"},
    {"OnLogoutAction", 0, 2, "run at logout (kept for other hosts; unused here)"},
    {"OnVexaformAction", 0, 2, "companion data refresh after a sync (kept for other hosts)"},
    {"AutoResolveConflicts", 0, 3, "settle conflicts: 0 no, 1 left wins, 2 right wins, 3 newer wins"},
    {"RenameLosingFile", 0, 0, "keep a conflict's losing file beside the winner, renamed"},
    {"LimitChangesPercent", 0, 100, "an automatic run does not sync when more than this percent changed"},
    {"AutoClearTree", 0, 0, "drop analysis results after a run (kept for other hosts)"},
    {"PreAnalyzeScriptOrEmail", 0, 0, "program to run (or address to mail) before analyze"},
    {"PostAnalyzeScriptOrEmail", 0, 0, "program to run (or address to mail) after analyze"},
    {"PostSyncScriptOrEmail", 0, 0, "program to run (or address to mail) after a sync"},
    {"ExcludeEmptyFolders", 0, 0, "leave out empty folders"},
    {"ExcludeHidden", 0, 0, "leave out hidden items (names beginning with '.')"},
    {"ExcludeSystem", 0, 0, "leave out system items"},
};

const SKeyInfo* FindKeyInfo(const std::string& key) {
    for (const SKeyInfo& k : kKeyInfo)
        if (key == k.key) return &k;
    return nullptr;
}

struct SJobKey {
    std::string key;
    EKeyKind kind;
    std::string value; // as a fresh two-way job has it
};

// The non-blank lines of a keyword text, without their indentation.
std::vector<std::string> TrimmedLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const size_t b = text.find_first_not_of(' ', at);
        if (b < end) lines.push_back(text.substr(b, end - b));
        at = end + 1;
    }
    return lines;
}

// The simple keys of the "Job" block in the block's order, with the kind
// of their values and the value of a new two-way job, read from a full dump.
const std::vector<SJobKey>& JobKeys() {
    static const std::vector<SJobKey> keys = [] {
        std::vector<SJobKey> m;
        CSyncJobOptions opt;
        opt.SetDirection(JT_TWO_WAY);
        ZorStringOutStream out;
        CWideString err;
        WriteJobOptions(opt, out, true, 1, err);
        const std::string text = out.GetText().GetString();
        int nDepth = 0; // inside a nested block (Dir1, Dir2, filter lists)
        for (const std::string& line : TrimmedLines(text)) {
            if (line.rfind("</", 0) == 0 || line.find("</") != std::string::npos) {
                if (nDepth > 0) nDepth--;
                continue;
            }
            const size_t eq = line.find(" = ");
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
            if (value.empty() || value[0] == '<' || value[0] == '(') {
                if (!value.empty() && value[0] == '<') nDepth++;
                continue;
            }
            if (nDepth > 0) continue;
            if (key == "Name" || key == "Dir1" || key == "Dir2" || key == "FiltersIncluded" ||
                key == "FiltersExcluded")
                continue;
            const EKeyKind kind = value[0] == '"'                     ? EKeyKind::Text
                                  : (value == "Yes" || value == "No") ? EKeyKind::Flag
                                                                      : EKeyKind::Number;
            m.push_back({key, kind, value});
            // The rule lists follow the links; a dump leaves them out while empty.
            if (key == "FileLinks")
                for (const char* rules : {"FiltersIncluded", "FiltersExcluded"})
                    m.push_back({rules, EKeyKind::Rules, "(none)"});
        }
        return m;
    }();
    return keys;
}

const SJobKey* FindJobKey(const std::string& key) {
    for (const SJobKey& k : JobKeys())
        if (k.key == key) return &k;
    return nullptr;
}

// What a key allows, for messages and the key list.
std::string Allowed(const SJobKey& k) {
    if (k.kind == EKeyKind::Flag) return "Yes or No";
    if (k.kind == EKeyKind::Text) return "any text";
    if (k.kind == EKeyKind::Rules) return "one rule per value; repeat the key for more, an empty value for none";
    const SKeyInfo* info = FindKeyInfo(k.key);
    if (!info) return "a whole number";
    return "a whole number from " + std::to_string(info->nMin) + " to " + std::to_string(info->nMax);
}

// A flag as the block writes it, from the usual ways of saying yes or no.
bool FlagValue(const std::string& v, std::string& out) {
    std::string l;
    for (char c : v) l += (char)tolower((unsigned char)c);
    if (l == "yes" || l == "true" || l == "on" || l == "1") out = "Yes";
    else if (l == "no" || l == "false" || l == "off" || l == "0") out = "No";
    else return false;
    return true;
}

bool NumberValue(const std::string& v, int nMin, int nMax, std::string& out) {
    size_t i = v.size() > 1 && v[0] == '-' ? 1 : 0;
    if (i >= v.size() || v.size() - i > 10) return false;
    for (size_t j = i; j < v.size(); ++j)
        if (!isdigit((unsigned char)v[j])) return false;
    const long long n = std::stoll(v);
    if (n < nMin || n > nMax) return false;
    out = std::to_string(n);
    return true;
}

// The options a user set on a job (job add --set, job set), kept with the
// job's values in the registry file, which a job's deletion removes: a
// change of the job's type keeps them, even where they equal a default.
constexpr const char16_t* kChosenValue = u"ChosenOptions";

std::set<std::string> ChosenKeys(const CWideString& job) {
    CWideString text;
    RegGetStringValueQuiet(text, HKEY_CURRENT_USER, JobRegKey(job), kChosenValue);
    std::set<std::string> keys;
    const std::string all = U8(text);
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find(',', at);
        if (end == std::string::npos) end = all.size();
        if (end > at) keys.insert(all.substr(at, end - at));
        at = end + 1;
    }
    return keys;
}

// bNew: the job was just added (what a former job of its name left goes).
void AddChosenKeys(CCliConsole& con, const CWideString& job, const std::vector<std::string>& sets,
                   bool bNew = false) {
    const std::set<std::string> before = ChosenKeys(job);
    std::set<std::string> keys = bNew ? std::set<std::string>() : before;
    for (const std::string& set : sets) {
        const std::string key = set.substr(0, set.find('='));
        const SJobKey* k = FindJobKey(key);
        if (k && key != "Direction" && (k->kind == EKeyKind::Flag || k->kind == EKeyKind::Number)) keys.insert(key);
    }
    if (keys == before) return;
    std::string text;
    for (const std::string& k : keys) text += (text.empty() ? "" : ",") + k;
    CWideString e;
    // Without it a later change of type may move these options again.
    if (!RegSetStringValue(W(text), HKEY_CURRENT_USER, JobRegKey(job), kChosenValue, e))
        con.Error("torvane: warning: the options set by hand on job '" + U8(EscapeControlChars(job)) +
                  "' are not recorded (" + U8(EscapeControlChars(e)) +
                  "): a change of its Direction may set them to the new type's defaults");
}

} // namespace

CWideString CliFolderToUrl(const std::string& arg) {
    if (arg.find("://") != std::string::npos) return NormalizeUrl(W(arg));
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(arg, ec);
    std::string path = ec ? arg : p.lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return NormalizeUrl(W(path));
}

std::string CliUrlToText(const CWideString& url) {
    if (url.StartsWithNoCase(u"file://")) return U8(EscapeControlChars(UrlToLocalPath(url)));
    return U8(EscapeControlChars(ZorUrlForDisplay(url)));
}

bool CliApplyJobSettings(CSyncJobOptions& opt, const std::vector<std::string>& sets, std::string& err) {
    // The values of a rule list's key in one command make its new list, in
    // their order; an empty value alone empties it.
    std::map<std::string, std::vector<std::string>> rules;
    for (const std::string& set : sets) {
        const size_t eq = set.find('=');
        const std::string key = set.substr(0, eq), value = set.substr(eq + 1);
        const SJobKey* k = FindJobKey(key);
        if (!k) {
            err = set + ": " + key + " is not an option of a job (see torvane job keys)";
            return false;
        }
        if (k->kind == EKeyKind::Rules) {
            CWideString problem;
            if (!value.empty() && !CheckFilterRule(W(value), problem)) {
                err = set + ": " + U8(EscapeControlChars(problem)) + " (see torvane job keys)";
                return false;
            }
            rules[key].push_back(value);
            continue;
        }
        CNarrowString valueText;
        std::string v;
        bool bOk = true;
        if (k->kind == EKeyKind::Text) {
            valueText = QuoteKeywordString(CNarrowString(value.c_str()));
        } else {
            const SKeyInfo* info = FindKeyInfo(key);
            bOk = k->kind == EKeyKind::Flag
                      ? FlagValue(value, v)
                      : NumberValue(value, info ? info->nMin : -kMaxInt - 1, info ? info->nMax : kMaxInt, v);
            valueText = CNarrowString(v.c_str());
        }
        if (!bOk) {
            err = set + ": " + key + " takes " + Allowed(*k) + " (see torvane job keys)";
            return false;
        }
        CNarrowString block = "<Job>\n";
        block += CNarrowString(key.c_str());
        block += " = ";
        block += valueText;
        block += "\n</Job>\n";
        ZorStringStream in(block);
        CWideString e;
        if (!ReadJobTix(opt, in, e)) {
            err = set + ": " + key + " takes " + Allowed(*k) + ": " + U8(e);
            return false;
        }
    }
    for (const auto& [key, values] : rules) {
        CListT<CWideString> list(10);
        for (const std::string& v : values) {
            if (v.empty() && values.size() > 1) {
                err = key + "=: an empty rule; give " + key + "= alone to empty the list";
                return false;
            }
            if (!v.empty()) list.AddTail(W(v));
        }
        (key == "FiltersIncluded" ? opt.m_Filters.m_lstIncluded : opt.m_Filters.m_lstExcluded) = list;
    }
    return true;
}

// A URL given on the command line as an error may name it: without a password, escaped.
static std::string ShownUrl(const CWideString& url) {
    return U8(EscapeControlChars(ZorUrlForDisplay(url)));
}

bool CliCheckFolderArg(const std::string& arg, std::string& err) {
    if (arg.empty()) {
        err = "a folder is empty: give a path or a URL";
        return false;
    }
    std::string path = arg;
    if (arg.find("://") != std::string::npos) {
        const CWideString url = CliFolderToUrl(arg);
        if (!url.StartsWithNoCase(u"file://")) {
            std::unique_ptr<TvFileSys> fs(NewFsForUrl(url));
            if (!fs) {
                err = "not a kind of URL torvane knows: " + U8(ZorUrlForDisplay(W(arg)));
                return false;
            }
            return true;
        }
        path = U8(UrlToLocalPath(url));
    }
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(st)) {
        // A mistyped URL ("s3:/KEY:SECRET@host/b") is taken for a path: one
        // with a user part is not shown, as it may hold a password.
        const size_t colon = arg.find(':'), at = arg.rfind('@');
        const char* kSchemeChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
        if (colon != std::string::npos && at != std::string::npos && colon < at &&
            arg.find_first_not_of(kSchemeChars) == colon) {
            err = "no such folder, and no URL either (a URL begins with scheme://; the text is not shown, "
                  "as it may hold a password)";
            return false;
        }
        err = "no such folder: " + ShownUrl(W(arg));
        return false;
    }
    if (!std::filesystem::is_directory(st)) {
        err = "not a folder: " + ShownUrl(W(arg));
        return false;
    }
    return true;
}

int CliJobKeys(CCliConsole& con) {
    size_t w = 0;
    for (const SJobKey& k : JobKeys()) w = std::max(w, k.key.size());
    con.Result("Options of a job (torvane job add ... --set KEY=VALUE, torvane job set NAME KEY=VALUE); the values "
               "a new two-way job starts with:");
    for (const SJobKey& k : JobKeys()) {
        const SKeyInfo* info = FindKeyInfo(k.key);
        std::string line = k.key + std::string(w + 2 - k.key.size(), ' ') + k.value;
        line += std::string(line.size() < w + 10 ? w + 10 - line.size() : 1, ' ');
        line += info ? info->meaning : "";
        line += " [" + Allowed(k) + "]";
        con.Result(line);
    }
    con.Result("One-way jobs (--type 1 or 2) start with ExcludeHidden=No, ExcludeSystem=No, "
               "LimitChangesPercent=100, CopyCreateTime=Yes.");
    con.Result("");
    con.Result("A rule of FiltersIncluded or FiltersExcluded is one or more conditions joined by ';', all of which "
               "must hold; a list holds when one of its rules does. Each value of the key is one rule, and the "
               "values of one command make the whole list (FiltersExcluded= empties it):");
    con.Result("  *.tmp                  a name (letters in any case; '*' any text, '?' one character)");
    con.Result("  node_modules;isfolder  every folder of that name, with all inside (isfile: files only)");
    con.Result("  /build                 that folder at the top, with all inside");
    con.Result("  /docs/*.bak            a whole path ('*' also covers '/'); path MASK and name MASK say which");
    con.Result("  size>100M, time<2020/1/1, time>=-7d, ishidden, existone: sizes (123, 10K, 2M), dates "
               "(YYYY/M/D, or days from now), attributes, presence");
    con.Result("Example: torvane job set NAME FiltersExcluded='node_modules;isfolder' FiltersExcluded='*.tmp'");
    return CLI_EXIT_OK;
}

void CliSayFilters(CCliConsole& con, CSyncJobFromList* job) {
    const CSyncJobOptions& o = job->m_Options;
    std::string left;
    auto add = [&](const std::string& what) { left += (left.empty() ? "" : "; ") + what; };
    if (o.m_bExcludeHidden)
        add("hidden items (names beginning with '.', such as .env or .git/)");
    if (o.m_bExcludeSystem) add("system items");
    if (o.m_bExcludeEmptyFolders) add("empty folders");
    std::string masks;
    auto addMasks = [&](const CListT<CWideString>& l) {
        for (ZorPosition pos = l.GetHeadPosition(); pos;) masks += (masks.empty() ? "" : ", ") + U8(l.GetNext(pos));
    };
    addMasks(g_Settings.m_ProgramOptions.m_GlobalFilters.m_lstExcluded);
    con.Result(left.empty() ? std::string("filters: hidden items, system items and empty folders are synced")
                            : "filters: left out: " + left);
    if (!masks.empty()) con.Result("filters: left out by name: " + masks);
    masks.clear();
    addMasks(o.m_Filters.m_lstExcluded);
    if (!masks.empty()) con.Result("filters: left out by the job's rules (FiltersExcluded): " + masks);
    masks.clear();
    addMasks(o.m_Filters.m_lstIncluded);
    if (!masks.empty()) con.Result("filters: only what the job's rules include (FiltersIncluded): " + masks);
    if (o.m_bExcludeHidden)
        con.Result("filters: to include hidden items: " + CCliConsole::CommandStart() + " job set " +
                   CliShellWord(U8(job->GetName())) + " ExcludeHidden=No");
}

namespace {

// One line of standard input: on a terminal after a prompt on standard
// error, without echo. False at the end of the input.
bool ReadSecretLine(const std::string& prompt, std::string& line) {
    const bool bTerminal = isatty(STDIN_FILENO) == 1;
    struct termios saved {};
    bool bEchoOff = false;
    if (bTerminal) {
        fprintf(stderr, "%s", prompt.c_str());
        fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            struct termios quiet = saved;
            quiet.c_lflag &= ~(tcflag_t)ECHO;
            bEchoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        }
    }
    line.clear();
    bool bGot = false;
    for (;;) {
        const int c = fgetc(stdin);
        if (c == EOF) break;
        bGot = true;
        if (c == '\n') break;
        line += (char)c;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (bEchoOff) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (bTerminal) fprintf(stderr, "\n");
    return bGot;
}

// The password of a side: taken out of its URL (which keeps the rest), or
// with --password-stdin read for a URL that names a user but none. bFromUrl
// tells that it stood on the command line.
bool TakeSidePassword(const CCliArgs& a, const char* side, CWideString& url, CWideString& password,
                      bool& bAsked, bool& bFromUrl, std::string& err) {
    bFromUrl = false;
    CWideString clean;
    if (ZorUrlTakePassword(url, clean, password)) {
        url = clean;
        bFromUrl = true;
        return true;
    }
    ZorUrl parsed;
    // A URL that cannot be taken apart would be stored as it is, a password
    // in it in clear (a '/' in the password ends the host part before its
    // '@'): it is refused, shown without anything that may be a password.
    CWideString parseErr;
    if (!url.StartsWithNoCase(u"file://") && !ParseUrl(url.GetString(), parsed, &parseErr)) {
        err = std::string(side) + ": cannot take the URL apart (" + U8(EscapeControlChars(parseErr)) +
              "): " + ShownUrl(url);
        if (ShownUrl(url) != U8(EscapeControlChars(url)))
            err += "; in a user name or password write '/' as %2F, '?' as %3F, '#' as %23, '@' as %40 and "
                   "'%' as %25 (s3://KEYID:ab%2Fcd@host/bucket for the secret ab/cd), or leave the password "
                   "out (s3://KEYID@host/bucket) and give it with --password-stdin";
        return false;
    }
    if (!a.m_bPasswordStdin || url.StartsWithNoCase(u"file://") || !ParseUrl(url.GetString(), parsed) ||
        parsed.GetUserName().IsEmpty())
        return true;
    bAsked = true;
    std::string line;
    if (!ReadSecretLine(std::string("Password for ") + side + " " + U8(EscapeControlChars(url)) + ": ", line)) {
        err = std::string("--password-stdin: no password for ") + side + " on standard input";
        return false;
    }
    password = W(line);
    return true;
}

} // namespace

int CliJobAdd(CCliConsole& con, const CCliArgs& a) {
    const CWideString name = W(a.m_sName);
    CWideString e;
    if (!IsValidJobName(name, e)) {
        con.Error("torvane: bad job name '" + CliShownName(a.m_sName) + "': " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    if (g_Settings.FindJob(name)) {
        con.Error("torvane: Job '" + CliShownName(a.m_sName) + "' already exists.");
        return CLI_EXIT_ERRORS;
    }
    for (const std::string* arg : {&a.m_sLeft, &a.m_sRight}) {
        std::string err;
        if (!CliCheckFolderArg(*arg, err)) {
            con.Error("torvane: " + std::string(arg == &a.m_sLeft ? "LEFT: " : "RIGHT: ") + err);
            return CLI_EXIT_ERRORS;
        }
    }
    // Passwords never stay in a URL: they are kept encrypted with the side.
    CWideString left = CliFolderToUrl(a.m_sLeft), right = CliFolderToUrl(a.m_sRight);
    CWideString passwords[2];
    bool bAsked = false;
    for (int side = 0; side < 2; side++) {
        bool bFromUrl = false;
        std::string err;
        if (!TakeSidePassword(a, side ? "RIGHT" : "LEFT", side ? right : left, passwords[side], bAsked, bFromUrl,
                              err)) {
            con.Error("torvane: " + err);
            return CLI_EXIT_ERRORS;
        }
        if (bFromUrl)
            con.Error(std::string("torvane: note: the password in the ") + (side ? "RIGHT" : "LEFT") +
                      " URL is stored encrypted with the job; as it stood on the command line, it may be in "
                      "your shell's history (--password-stdin reads it from standard input instead)");
    }
    if (a.m_bPasswordStdin && !bAsked) {
        con.Error("torvane: --password-stdin: neither URL names a user without a password "
                  "(give it as scheme://USER@host/...)");
        return CLI_EXIT_ERRORS;
    }
    // Everything is tried on a scratch job first: nothing is stored unless
    // all of it is good.
    CSyncJobFromList scratch;
    if (!InitNewJob(name, a.m_nType, left, right, &scratch, e)) {
        con.Error("torvane: " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    std::string err;
    if (!CliApplyJobSettings(scratch.m_Options, a.m_sets, err)) {
        con.Error("torvane: " + err);
        return CLI_EXIT_ERRORS;
    }
    {
        CWideString ca, cb, reason;
        bool bCannotTell = false;
        if (HasCommonFolder(scratch.m_Options.m_Dir1, scratch.m_Options.m_Dir2, ca, cb, nullptr, bCannotTell,
                            reason)) {
            con.Error("torvane: the folders are the same or one is inside the other: " + U8(ca) + ", " + U8(cb));
            return CLI_EXIT_ERRORS;
        }
    }
    e.Empty();
    if (!NewJob(g_Settings, name, a.m_nType, CWideString(), left, right, false, e)) {
        con.Error("torvane: " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    CSyncJobFromList* job = g_Settings.FindJob(name);
    if (!job) {
        con.Error("torvane: the new job is not in the list");
        return CLI_EXIT_ERRORS;
    }
    for (int side = 0; side < 2; side++) {
        if (passwords[side].IsEmpty()) continue;
        e.Empty();
        if (!(side ? job->m_Options.m_Dir2 : job->m_Options.m_Dir1).SetPasswordClear(passwords[side], e)) {
            con.Error("torvane: cannot store the password: " + U8(e));
            CWideString de;
            DeleteJob(g_Settings, job, de);
            return CLI_EXIT_ERRORS;
        }
    }
    if (!a.m_sets.empty()) {
        CliApplyJobSettings(job->m_Options, a.m_sets, err);
        e.Empty();
        if (!g_Settings.TvSaveJobs(false, u"Job options set", e)) {
            con.Error("torvane: cannot save the job list: " + U8(e));
            return CLI_EXIT_ERRORS;
        }
    }
    CWideString saveErr;
    // NewJob keeps its save's failure to itself: say it here.
    if (!g_Settings.TvSaveJobs(false, u"New Job created", saveErr)) {
        con.Error("torvane: cannot save the job list: " + U8(saveErr));
        return CLI_EXIT_ERRORS;
    }
    AddChosenKeys(con, name, a.m_sets, true);
    con.Result("added " + a.m_sName);
    CliSayFilters(con, job);
    return CLI_EXIT_OK;
}

int CliJobList(CCliConsole& con) {
    for (CSyncJobFromList* j : g_Settings.GetJobs())
        con.Result(U8(j->GetName()) + "\t" + TypeName(j->m_Options.m_nDirection) + "\t" +
                   CliUrlToText(j->GetLeftFolder()) + "\t" + CliUrlToText(j->GetRightFolder()));
    return CLI_EXIT_OK;
}

namespace {

// The lines of a full dump of the "Job" block, each with its place: the
// keys of the blocks it lies in and its own ("Dir1/Url").
struct SDumpLine {
    std::string place, text; // text without indentation
    int depth = 0;           // blocks it lies in, the "Job" block counted
    bool bOpens = false, bCloses = false;
    std::string rules; // a rule of this list, shown as "KEY = "rule"" (the text)
};

bool DumpJob(const CSyncJobOptions& opt, std::vector<SDumpLine>& out, std::string& err) {
    ZorStringOutStream stream;
    CWideString e;
    if (!WriteJobOptions(opt, stream, true, 0, e)) {
        err = U8(e);
        return false;
    }
    const std::string text = stream.GetText().GetString();
    std::vector<std::string> blocks;
    // A rule list's block is shown as one line per rule, in the form the
    // command takes it.
    std::string rules;
    int nRule = 0;
    for (const std::string& line : TrimmedLines(text)) {
        if (!rules.empty()) {
            if (line.find("</FileMask>") != std::string::npos) {
                rules.clear();
            } else if (line[0] == '"') {
                SDumpLine l;
                l.rules = rules;
                l.text = rules + " = " + line;
                l.depth = (int)blocks.size();
                for (const std::string& k : blocks) l.place += k + "/";
                l.place += rules + "#" + std::to_string(nRule++);
                out.push_back(l);
            }
            continue;
        }
        if (line.size() > 13 && line.compare(line.size() - 13, 13, " = <FileMask>") == 0) {
            rules = line.substr(0, line.size() - 13);
            nRule = 0;
            continue;
        }
        SDumpLine l;
        l.text = line;
        l.bCloses = line.rfind("</", 0) == 0;
        if (l.bCloses && !blocks.empty()) blocks.pop_back();
        l.depth = (int)blocks.size();
        const size_t eq = line.find(" = ");
        const std::string key = eq == std::string::npos ? line : line.substr(0, eq);
        for (const std::string& k : blocks) l.place += k + "/";
        l.place += key;
        l.bOpens = !l.bCloses && line.back() == '>' && line.find('<') != std::string::npos &&
                   line.find("</") == std::string::npos;
        if (l.bOpens) blocks.push_back(key);
        out.push_back(l);
    }
    return true;
}

// The keys of the "Job" block itself and their values, as a full dump writes them.
bool TopLevelValues(const CSyncJobOptions& opt, std::map<std::string, std::string>& out, std::string& err) {
    std::vector<SDumpLine> lines;
    if (!DumpJob(opt, lines, err)) return false;
    for (const SDumpLine& l : lines) {
        const size_t eq = l.text.find(" = ");
        if (l.depth == 1 && !l.bOpens && !l.bCloses && l.rules.empty() && eq != std::string::npos)
            out[l.text.substr(0, eq)] = l.text.substr(eq + 3);
    }
    return true;
}

// The values of a job as "job add" with the job's name and folders makes it, of the type given.
bool NewJobValues(CSyncJobFromList* job, int nDirection, std::map<std::string, std::string>& out,
                  std::string& err) {
    CSyncJobFromList scratch;
    CWideString e;
    if (!InitNewJob(job->GetName(), nDirection, job->GetLeftFolder(), job->GetRightFolder(), &scratch, e)) {
        err = U8(e);
        return false;
    }
    return TopLevelValues(scratch.m_Options, out, err);
}

} // namespace

int CliJobShow(CCliConsole& con, CSyncJobFromList* job, bool bAll) {
    con.Result("Name: " + U8(job->GetName()));
    con.Result("Type: " + std::to_string(job->m_Options.m_nDirection) + " (" +
               TypeName(job->m_Options.m_nDirection) + ")");
    con.Result("Left: " + CliUrlToText(job->GetLeftFolder()));
    con.Result("Right: " + CliUrlToText(job->GetRightFolder()));
    std::vector<SDumpLine> lines, fresh;
    std::string err;
    if (!DumpJob(job->m_Options, lines, err)) {
        con.Error("torvane: " + err);
        return CLI_EXIT_ERRORS;
    }
    // The defaults are those of the job as "job add" with its name, type
    // and folders makes it.
    std::map<std::string, std::string> defaults;
    if (!bAll) {
        CSyncJobFromList scratch;
        CWideString e;
        if (!InitNewJob(job->GetName(), job->m_Options.m_nDirection, job->GetLeftFolder(), job->GetRightFolder(),
                        &scratch, e) ||
            !DumpJob(scratch.m_Options, fresh, err)) {
            con.Error("torvane: " + (err.empty() ? U8(e) : err));
            return CLI_EXIT_ERRORS;
        }
        for (const SDumpLine& l : fresh)
            if (!l.bOpens && !l.bCloses) defaults[l.place] = l.text;
    }
    // The options "job set" takes, each line as the "Job" block writes it
    // (the name and the sides' connection settings come from "job add").
    std::vector<std::string> shown;
    for (const SDumpLine& l : lines) {
        if (l.depth != 1 || l.bOpens || l.bCloses) continue;
        const std::string key = l.rules.empty() ? l.text.substr(0, l.text.find(" = ")) : l.rules;
        if (l.rules.empty() && !FindJobKey(key)) continue;
        auto d = defaults.find(l.place);
        if (!bAll && d != defaults.end() && d->second == l.text) continue;
        shown.push_back(l.text);
        // A full dump leaves empty lists out: --all names them, as the empty
        // value that job set takes for none.
        if (bAll && key == "FileLinks")
            for (const char* rules : {"FiltersIncluded", "FiltersExcluded"}) {
                const auto& list = std::string(rules) == "FiltersIncluded" ? job->m_Options.m_Filters.m_lstIncluded
                                                                          : job->m_Options.m_Filters.m_lstExcluded;
                if (list.IsEmpty()) shown.push_back(std::string(rules) + " =");
            }
    }
    if (shown.empty()) {
        con.Result("(every option as a new job has it; --all shows them)");
        return CLI_EXIT_OK;
    }
    con.Result("<Job>");
    for (const std::string& l : shown) con.Result("  " + l);
    con.Result("</Job>");
    if (bAll)
        con.Result("(the name and the folders' connection settings are set by job add: to change them, delete the "
                   "job and add it again)");
    return CLI_EXIT_OK;
}

int CliJobSet(CCliConsole& con, CSyncJobFromList* job, const std::vector<std::string>& sets) {
    const std::string name = U8(job->GetName());
    // Tried on a copy first: nothing changes unless every setting is good.
    CSyncJobOptions changed = job->m_Options;
    std::string err;
    if (!CliApplyJobSettings(changed, sets, err)) {
        con.Error("torvane: job set " + CliShownName(name) + ": " + err + "; nothing was changed");
        return CLI_EXIT_ERRORS;
    }
    // A new type brings its own defaults for the options the job still has
    // at the old type's (one-way jobs include hidden items, for one); a value
    // the user chose, or sets in this command, stays.
    if (changed.m_nDirection != job->m_Options.m_nDirection) {
        std::map<std::string, std::string> current, oldDefaults, newDefaults;
        if (!TopLevelValues(job->m_Options, current, err) ||
            !NewJobValues(job, job->m_Options.m_nDirection, oldDefaults, err) ||
            !NewJobValues(job, changed.m_nDirection, newDefaults, err)) {
            con.Error("torvane: " + err);
            return CLI_EXIT_ERRORS;
        }
        std::set<std::string> given = ChosenKeys(job->GetName());
        for (const std::string& set : sets) given.insert(set.substr(0, set.find('=')));
        std::vector<std::string> typeSets;
        for (const auto& [key, value] : newDefaults) {
            const SJobKey* k = FindJobKey(key);
            if (!k || k->kind == EKeyKind::Text || k->kind == EKeyKind::Rules || given.count(key) || current[key] != oldDefaults[key] ||
                oldDefaults[key] == value)
                continue;
            typeSets.push_back(key + "=" + value);
        }
        if (!CliApplyJobSettings(changed, typeSets, err)) {
            con.Error("torvane: job set " + CliShownName(name) + ": " + err + "; nothing was changed");
            return CLI_EXIT_ERRORS;
        }
    }
    std::vector<SDumpLine> before, after;
    if (!DumpJob(job->m_Options, before, err) || !DumpJob(changed, after, err)) {
        con.Error("torvane: " + err);
        return CLI_EXIT_ERRORS;
    }
    std::map<std::string, std::string> was;
    for (const SDumpLine& l : before)
        if (!l.bOpens && !l.bCloses) was[l.place] = l.text;
    std::vector<std::string> said;
    // A rule list is said whole, with the list it replaced.
    for (const char* key : {"FiltersIncluded", "FiltersExcluded"}) {
        auto listOf = [&](const std::vector<SDumpLine>& lines) {
            std::string list;
            for (const SDumpLine& l : lines)
                if (l.rules == key) list += (list.empty() ? "" : ", ") + l.text.substr(l.rules.size() + 3);
            return list.empty() ? std::string("none") : list;
        };
        const std::string old = listOf(before), now = listOf(after);
        if (old != now) said.push_back(std::string(key) + " = " + now + " (was " + old + ")");
    }
    for (const SDumpLine& l : after) {
        if (l.bOpens || l.bCloses || !l.rules.empty()) continue;
        auto w = was.find(l.place);
        if (w != was.end() && w->second == l.text) continue;
        const size_t eq = w == was.end() ? std::string::npos : w->second.find(" = ");
        said.push_back(l.text + (eq == std::string::npos ? "" : " (was " + w->second.substr(eq + 3) + ")"));
    }
    if (said.empty()) {
        AddChosenKeys(con, job->GetName(), sets);
        con.Result(name + ": nothing changed (the job has these values already)");
        return CLI_EXIT_OK;
    }
    // Only the options change: the folders, the passwords and the job's state
    // (its state files and mirror folder) stay as they are.
    CSyncJobOptions kept = job->m_Options;
    job->m_Options = changed;
    CWideString e;
    if (!g_Settings.TvSaveJobs(false, u"Job options set", e)) {
        job->m_Options = kept;
        con.Error("torvane: cannot save the job list: " + U8(e) + "; nothing was changed");
        return CLI_EXIT_ERRORS;
    }
    AddChosenKeys(con, job->GetName(), sets);
    for (const std::string& l : said) con.Result(name + ": " + l);
    return CLI_EXIT_OK;
}

int CliJobDelete(CCliConsole& con, CSyncJobFromList* job) {
    const std::string name = U8(job->GetName());
    CWideString e;
    if (!DeleteJob(g_Settings, job, e)) {
        con.Error("torvane: cannot delete job '" + CliShownName(name) + "': " + U8(e));
        return CLI_EXIT_ERRORS;
    }
    con.Result("deleted " + name);
    return CLI_EXIT_OK;
}

std::string CliWithRunLog(CSyncJobFromList* job, const std::string& outcome) {
    CCliConsole* con = dynamic_cast<CCliConsole*>(job->GetProgressSink());
    const std::string lost = con ? con->LostRunLogPath() : std::string();
    if (!lost.empty()) con->Error("torvane: warning: the run's log could not be written: " + lost);
    const std::string log = con ? con->RunLogPath() : std::string();
    return log.empty() ? outcome : outcome + "; log: " + log;
}
