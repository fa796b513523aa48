// Bookmark files.
#include "TvBookmark.h"

#include "zor-file.h"
#include "zor-stream.h"
#include "zor-sysfolders.h"
#include "zor-text.h"
#include "zor-tic.h"

namespace {

bool IsGoodBookmarkName(const CWideString& name) {
    if (name.IsEmpty() || name.GetLength() > 100 || name[0] == u'.') return false;
    for (int i = 0; i < name.GetLength(); ++i) {
        char16_t c = name[i];
        bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                  c == u'-' || c == u'_' || c == u'.';
        if (!ok) return false;
    }
    return true;
}

} // namespace

bool GetBookmarkPath(const CWideString& name, CWideString& path, CWideString& err) {
    if (!IsGoodBookmarkName(name)) {
        err += u"bad bookmark name: " + name;
        return false;
    }
    CWideString profile;
    bool bPortable = false;
    if (!ZorGetProfileFolder(profile, bPortable, err)) return false;
    path = profile + u"/bookmarks/" + name + u".tvb";
    return true;
}

bool FormatBookmark(const TvBookmark& bm, CNarrowString& text, CWideString& err) {
    ZorStringOutStream out;
    if (!PutTicText(out, "<Bookmark>\n", err) || !PutNameValueWString(out, "Name", 1, bm.m_sName, err))
        return false;
    if (!bm.m_sRegisteredName.IsEmpty() &&
        !PutNameValueWString(out, "RegisteredName", 1, bm.m_sRegisteredName, err))
        return false;
    if (!PutTicText(out, "  Account = ", err) || !bm.m_Account.WriteText(out, false, 2, err)) return false;
    if (!PutTicText(out, "</Bookmark>\n", err)) return false;
    text = out.GetText();
    return true;
}

bool ParseBookmark(const CNarrowString& text, TvBookmark& bm, CWideString& err) {
    ZorStringStream in(text);
    bm = TvBookmark();
    if (!ReadObjectPrefix(in, "Bookmark", err)) return false;
    for (;;) {
        CNarrowString token;
        bool bQuoted = false;
        if (!ReadSettingsToken(in, token, bQuoted, err)) {
            if (in.IsEof()) err += u"Unexpected EOF in Bookmark";
            return false;
        }
        if (bQuoted) {
            err += u"string where token expected in Bookmark";
            return false;
        }
        if (token == "</Bookmark>") return true;
        bool ok = token == "Name"             ? ReadNameValueWString(in, bm.m_sName, err)
                  : token == "RegisteredName" ? ReadNameValueWString(in, bm.m_sRegisteredName, err)
                  : token == "Account"        ? bm.m_Account.ReadText(in, err)
                                              : SkipNameValue(in, token, err);
        if (!ok) return false;
    }
}

bool WriteBookmark(const TvBookmark& bm, CWideString& err) {
    CWideString path;
    if (!GetBookmarkPath(bm.m_sName, path, err)) return false;
    CNarrowString text;
    if (!FormatBookmark(bm, text, err)) return false;
    int kind = 0;
    CWideString folder = path.Left(path.ReverseFind(u'/'));
    if (!ZorCreateFolderPath(folder, err)) return false;
    return WriteWholeFile(path, text, kind, err);
}

bool ReadBookmark(const CWideString& name, TvBookmark& bm, CWideString& err) {
    CWideString path;
    if (!GetBookmarkPath(name, path, err)) return false;
    CNarrowString text;
    int kind = 0;
    if (!ReadWholeFile(path, 1024 * 1024, text, kind, err)) return false;
    CWideString parseErr;
    if (!ParseBookmark(text, bm, parseErr)) {
        err += u"bad bookmark file " + path + u": " + parseErr;
        return false;
    }
    return true;
}

bool ReadLocalAccountBookmark(TvConnectInfo& ci, CWideString& registeredName, CWideString& err) {
    TvBookmark bm;
    CWideString e;
    if (!ReadBookmark(kLocalAccountBookmark, bm, e)) {
        err += u"cannot read the local account bookmark: " + e;
        return false;
    }
    ci.m_sUserID = bm.m_Account.m_sUserID;
    ci.m_sPassword = bm.m_Account.m_sPassword;
    registeredName = bm.m_sRegisteredName;
    registeredName.MakeLower();
    SanitizeName(registeredName);
    return true;
}
