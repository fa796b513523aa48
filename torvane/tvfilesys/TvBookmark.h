// Bookmark files: a named, stored set of connection settings.
//
// A bookmark lives in the profile folder (ZorGetProfileFolder) as
// "bookmarks/<name>.tvb", written atomically (temporary file, fsync, rename).
// Its content is keyword text:
//
//   <Bookmark>
//     Name = "TvLocalAcct"
//     RegisteredName = "my-computer"
//     Account = <ConnectInfo>
//       UserID = "me"
//       Password = "..."          (the encrypted form, never the clear text)
//     </ConnectInfo>
//   </Bookmark>
//
// Account holds the TvConnectInfo keyword-text block (TvFsRecords.h).
// RegisteredName is the name under which this computer is registered with
// the peer file service (may be absent). Unknown keys are skipped with their
// values, so later versions can add keys. A bookmark name may hold letters,
// digits, '-', '_' and '.', and does not begin with '.'.
#pragma once

#include "TvFsRecords.h"

// The name of the bookmark that holds this computer's own peer account.
constexpr const char16_t* kLocalAccountBookmark = u"TvLocalAcct";

struct TvBookmark {
    CWideString m_sName;
    CWideString m_sRegisteredName;
    TvConnectInfo m_Account;
};

// The file of a named bookmark; false for a bad name or no profile folder.
bool GetBookmarkPath(const CWideString& name, CWideString& path, CWideString& err);
bool WriteBookmark(const TvBookmark& bm, CWideString& err);
// Reads "bookmarks/<name>.tvb"; false when it is missing or malformed.
bool ReadBookmark(const CWideString& name, TvBookmark& bm, CWideString& err);
// The text form and its reader (used by the two above).
bool FormatBookmark(const TvBookmark& bm, CNarrowString& text, CWideString& err);
bool ParseBookmark(const CNarrowString& text, TvBookmark& bm, CWideString& err);

// Reads the bookmark "TvLocalAcct": its user id and password go into ci, and
// the registered name, sanitised (lower case; any character other than a
// letter, digit, '-', '_' or blank becomes '-'), into registeredName. False
// with a message when the bookmark cannot be read.
bool ReadLocalAccountBookmark(TvConnectInfo& ci, CWideString& registeredName, CWideString& err);
