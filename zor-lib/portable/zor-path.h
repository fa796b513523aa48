// Path texts: folder and name parts, separators, extensions, path macros,
// the executable's folder, volume roots, file URLs and the wildcard matcher.
//
// Local paths may be written with either separator: in the local-path
// helpers both '/' and '\' separate. At the system call a path becomes UTF-8
// with every '\' turned into '/' and a leading "\\?\" removed
// (ZorNativePath), so a name holding a literal backslash cannot be reached
// through these helpers. URL-path helpers (GetUrlPath*) know only '/'.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "zor-string.h"

// ---------------------------------------------------------------- system form
// The path as the system takes it: "\\?\" (and "\\?\UNC\" as "//") removed,
// every '\' made '/', UTF-8.
CNarrowString ZorNativePath(const CWideString& path);
// A path from the system (UTF-8 bytes) as a wide text.
CWideString ZorWidePath(const char* native);
CWideString ZorWidePath(const CNarrowString& native);

// ---------------------------------------------------------------- parts
// The text before the last '\' or '/'; empty when there is none.
CWideString GetPathFolder(const CWideString& path);
// The text after the last '\' or '/'; the whole text when there is none.
CWideString GetPathFileName(const CWideString& path);
// The text before the last '/'; empty when there is none.
CWideString GetUrlPathFolder(const CWideString& path);
// The text after the last '/'; the whole text when there is none.
CWideString GetUrlPathFileName(const CWideString& path);

// ---------------------------------------------------------------- separators
// Removes one trailing '\' or '/' from a local path; a path that is only a
// root ("/" or "\") keeps it. True when a separator was removed.
bool RemoveTrailingBackslash(CWideString& path);
// Removes one trailing '/'.
bool RemoveTrailingForwardSlash(CWideString& path);
// Removes one trailing '/' or '\'.
bool RemoveTrailingSlash(CWideString& path);
// Removes one trailing '/' or '\' unless the text ends with "://".
bool RemoveTrailingSlashKeepScheme(CWideString& path);
// Appends '/' unless the text already ends with '/' or '\'; an empty text becomes "/".
void AddTrailingForwardSlash(CWideString& path);
// Every '\' becomes '/' (ToForwardSlashes) or every '/' becomes '\'
// (ToBackslashes) in place; returns the count replaced. With bCheck set a
// replacement is also reported as a (non-fatal) assertion.
int ToForwardSlashes(CWideString& path, bool bCheck = false);
int ToBackslashes(CWideString& path, bool bCheck = false);

// The path without its extension (from the last '.' after the last
// separator) followed by ext as given (".bak", or "" to drop it).
CWideString ChangeExtension(const CWideString& path, const CWideString& ext);

// ---------------------------------------------------------------- macros
// Replaces in place every "%NAME%" whose name is known, in one pass from the
// left (names compare without regard to case):
//   date macros, from the library clock's local time: "%YYYY%" year,
//   "%MM%" month 01-12, "%DD%" day 01-31, "%DOW%" day of the week 1-7
//   (1 = Sunday), "%WOM%" week of the month 1-5 ((day-1)/7 + 1), "%HH%"
//   hour 00-23, "%II%" minute 00-59;
//   then the process's environment variables (exact name first, then any
//   case), with COMPUTERNAME (GetComputerNameText) and USERNAME (the user of
//   the process) supplied when the environment lacks them.
// Unknown names stay as written, percent signs included. No failure result.
void ExpandPathMacros(CWideString& path);

// ---------------------------------------------------------------- the system
// The folder of the running executable without a trailing separator.
CWideString GetProcessExeFolder();
// The mount point that holds the path, with a trailing '/' ("/" for the root
// file system); the nearest existing ancestor is used for a path that does
// not exist. Empty for an empty or relative path or when the mount table
// cannot be read.
CWideString GetVolumeRoot(const CWideString& path);
// True for "\\?\" paths, paths beginning with two separators, a drive letter
// and colon, or (local paths here) one leading '/' or '\'.
bool IsAbsoluteWinPath(const CWideString& path);
// True when the folder "Profile" stands beside the executable.
bool IsPortableEdition();

// The local path of a "file:" URL (percent-decoded, UTF-8; "file:///p" and
// "file://localhost/p" give "/p", "file:///C:/p" gives "C:/p", "file://host/s"
// gives "//host/s"); any other text is returned unchanged.
CWideString UrlToLocalPath(const CWideString& url);

// ---------------------------------------------------------------- wildcards
// Wildcard match of a whole text: '*' any run of characters (separators
// included), '?' exactly one character (a surrogate pair is one), letters
// through the library's case fold; '/' and '\' are the same character. The
// mask "*.*" matches every text, names without a dot included. A ';' in the
// mask is an ordinary character. Time is bounded by text length x mask
// length (no backtracking beyond the last '*').
bool PathMatchesSpec(const CWideString& text, const CWideString& mask);

// A wildcard mask prepared once for many texts (same rules as
// PathMatchesSpec). Texts are prepared with PrepareText, which folds each
// character once, so that one prepared text serves every mask.
class ZorWildcardMask {
public:
    ZorWildcardMask() = default;
    explicit ZorWildcardMask(const CWideString& mask);
    // Folds the text into out (cleared first): one character per element,
    // '/' read as '\'.
    static void PrepareText(const char16_t* s, int n, std::u32string& out);
    bool Matches(const std::u32string& text) const;
    // The mask holds no '*' or '?': it matches exactly its own folded text.
    bool IsLiteral() const { return m_bLiteral; }
    const std::u32string& Folded() const { return m_Mask; }

private:
    std::u32string m_Mask; // folded, with the wildcard values below
    std::vector<std::pair<uint32_t, uint32_t>> m_Pieces; // offset, length between stars
    bool m_bAll = false; // "*.*"
    bool m_bLiteral = false;
};
