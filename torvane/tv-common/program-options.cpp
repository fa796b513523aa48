#include "program-options.h"

#include "zor-tic.h"

#include <cstring>

namespace {

bool PutLine(ZorOutStream& out, CWideString& sErr) {
    return PutTicText(out, "\n", sErr);
}

bool PutFlagLine(ZorOutStream& out, const char* sKey, int nLevel, bool b, CWideString& sErr) {
    return PutNameValueBool(out, sKey, nLevel, b, sErr) && PutLine(out, sErr);
}

// A tic text value of a wide field: the tag, then ':' length ':' UTF-8 '|'.
bool PutTicWText(ZorOutStream& out, unsigned char tag, const CWideString& s, CWideString& sErr) {
    return out.PutChar(tag, sErr) && PutTicWString(out, s, sErr);
}
bool PutTicNText(ZorOutStream& out, unsigned char tag, const CNarrowString& s, CWideString& sErr) {
    return out.PutChar(tag, sErr) && PutTicString(out, s, sErr);
}

// Reads a typed record after its '[' has been checked: readTag(tag, bKnown)
// reads the value of a tag it knows; other tags are skipped with their values.
template <typename F> bool ReadTicRecordBody(ZorInStream& in, CWideString& sErr, F&& readTag) {
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, sErr)) return false;
        if (bEnd) return true;
        bool bKnown = false;
        if (!readTag(tag, bKnown)) return false;
        if (!bKnown && !SkipTicValue(in, tag, sErr)) return false;
    }
}

// One flag field of the options record with its key, tag and default.
struct FlagField {
    const char* key;
    unsigned char tag;
    bool ProgramOptions::*p;
};
using P = ProgramOptions;
// The flags in keyword-text order (the typed form has its own order).
const FlagField kFlagKeys[] = {
    {"HideToTrayOnClose", 'z', &P::m_bHideToTrayOnClose},
    {"WarnAboutTrayOnClose", 'e', &P::m_bWarnAboutTrayOnClose},
    {"ShowTrayIcon", 't', &P::m_bShowTrayIcon},
    {"ShowJobListWindow", 'j', &P::m_bShowJobListWindow},
    {"ShowFiltersWindow", 's', &P::m_bShowFiltersWindow},
    {"ShowLogWindow", 'l', &P::m_bShowLogWindow},
    {"ShowStatusBar", 'b', &P::m_bShowStatusBar},
    {"AutoHideMiniWindow", 'a', &P::m_bAutoHideMiniWindow},
    {"Warn_TimeOutOfRange", 'B', &P::m_bWarn_TimeOutOfRange},
    {"GroupSimilarLogLines", 'o', &P::m_bGroupSimilarLogLines},
    {"CheckNewVersion", 'c', &P::m_bCheckNewVersion},
    {"CreateFolderIfNotFound", 'f', &P::m_bCreateFolderIfNotFound},
    {"UseSmtpToEmail", 'M', &P::m_bUseSmtpToEmail},
    {"SmtpImported", 'q', &P::m_bSmtpImported},
};

const ProgramOptions& Defaults() {
    static const ProgramOptions s_def;
    return s_def;
}

} // namespace

// ---------------------------------------------------------------- record
ProgramOptions::ProgramOptions() {
    m_ProxyServer.m_nPort = 3128;
}

void ProgramOptions::ResetToDefaults() {
    CWideString sFile = m_sOptionsFile;
    *this = ProgramOptions();
    m_sOptionsFile = sFile;
}

bool operator==(const SmtpServerInfo& a, const SmtpServerInfo& b) {
    return a.m_sHost == b.m_sHost && a.m_nPort == b.m_nPort && a.m_bSecureSSL == b.m_bSecureSSL &&
           a.m_sUserID == b.m_sUserID && a.m_sPassword == b.m_sPassword &&
           a.m_sSenderEmail == b.m_sSenderEmail;
}

bool ProgramOptions::operator==(const ProgramOptions& o) const {
    for (const FlagField& f : kFlagKeys)
        if (this->*f.p != o.*f.p) return false;
    return m_nLogLevel == o.m_nLogLevel && m_sLogFolder == o.m_sLogFolder &&
           m_nLogRetainDays == o.m_nLogRetainDays && m_sCompareProgramPath == o.m_sCompareProgramPath &&
           m_ProxyServer == o.m_ProxyServer && m_SmtpServer == o.m_SmtpServer &&
           m_GlobalFilters == o.m_GlobalFilters;
}

bool AddIfAbsent(CListT<CWideString>& list, const CWideString& mask) {
    for (ZorPosition pos = list.GetHeadPosition(); pos;)
        if (list.GetNext(pos) == mask) return false;
    list.AddTail(mask);
    return true;
}

// ---------------------------------------------------------------- typed blocks
bool WriteFileMaskListTic(const CListT<CWideString>& list, ZorOutStream& out, CWideString& sErr) {
    if (!PutTicRecordBegin(out, sErr) || !PutTicListBegin(out, 'L', sErr)) return false;
    for (ZorPosition pos = list.GetHeadPosition(); pos;)
        if (!PutTicWString(out, list.GetNext(pos), sErr)) return false;
    return PutTicListEnd(out, sErr) && PutTicRecordEnd(out, sErr);
}

namespace {
// 'L' or 'l' has been read: '<', text values, '>' into the list (cleared first).
bool ReadMaskListValues(ZorInStream& in, unsigned char tag, CListT<CWideString>& list, CWideString& sErr) {
    list.RemoveAll();
    if (!GetTicPrefix(in, '<', sErr)) return false;
    for (;;) {
        bool bEnd = false;
        if (!GetTicListNext(in, bEnd, sErr)) return false;
        if (bEnd) return true;
        CWideString s;
        if (!GetTicWString(in, tag, s, sErr)) return false;
        list.AddTail(s);
    }
}
} // namespace

bool ReadFileMaskListTic(CListT<CWideString>& list, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    CListT<CWideString> legacy;
    bool bOk = ReadTicRecordBody(in, sErr, [&](unsigned char tag, bool& bKnown) {
        bKnown = tag == 'L' || tag == 'l';
        if (!bKnown) return true;
        return ReadMaskListValues(in, tag, tag == 'L' ? list : legacy, sErr);
    });
    if (!bOk) return false;
    if (list.IsEmpty()) {
        for (ZorPosition pos = legacy.GetHeadPosition(); pos;) {
            CWideString s = legacy.GetNext(pos);
            s.Replace(u'\\', u'/');
            list.AddTail(s);
        }
    }
    return true;
}

bool WriteJobFiltersTic(const CJobFilters& filters, ZorOutStream& out, CWideString& sErr) {
    return PutTicRecordBegin(out, sErr) && out.PutChar('i', sErr) &&
           WriteFileMaskListTic(filters.m_lstIncluded, out, sErr) && out.PutChar('x', sErr) &&
           WriteFileMaskListTic(filters.m_lstExcluded, out, sErr) && PutTicRecordEnd(out, sErr);
}

bool ReadJobFiltersTic(CJobFilters& filters, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    return ReadTicRecordBody(in, sErr, [&](unsigned char tag, bool& bKnown) {
        bKnown = tag == 'i' || tag == 'x';
        if (!bKnown) return true;
        return ReadFileMaskListTic(tag == 'i' ? filters.m_lstIncluded : filters.m_lstExcluded, in, sErr);
    });
}

bool WriteSmtpServerTic(const SmtpServerInfo& smtp, ZorOutStream& out, CWideString& sErr) {
    return PutTicRecordBegin(out, sErr) && PutTicWText(out, 'a', smtp.m_sHost, sErr) &&
           PutTicInt32(out, 'b', smtp.m_nPort, sErr) && PutTicBool(out, 'c', smtp.m_bSecureSSL != 0, sErr) &&
           PutTicWText(out, 'd', smtp.m_sUserID, sErr) && PutTicWText(out, 'e', smtp.m_sPassword, sErr) &&
           PutTicWText(out, 'f', smtp.m_sSenderEmail, sErr) && PutTicRecordEnd(out, sErr);
}

bool ReadSmtpServerTic(SmtpServerInfo& smtp, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    return ReadTicRecordBody(in, sErr, [&](unsigned char tag, bool& bKnown) {
        bKnown = true;
        switch (tag) {
            case 'a':
                return GetTicWString(in, tag, smtp.m_sHost, sErr);
            case 'b':
                return GetTicInt32(in, tag, smtp.m_nPort, sErr);
            case 'c':
                return GetTicBool(in, tag, smtp.m_bSecureSSL, sErr);
            case 'd':
                return GetTicWString(in, tag, smtp.m_sUserID, sErr);
            case 'e':
                return GetTicWString(in, tag, smtp.m_sPassword, sErr);
            case 'f':
                return GetTicWString(in, tag, smtp.m_sSenderEmail, sErr);
            default:
                bKnown = false;
                return true;
        }
    });
}

bool WriteProxyOptionsTic(const CProxyOptions& proxy, ZorOutStream& out, CWideString& sErr) {
    return PutTicRecordBegin(out, sErr) && PutTicBool(out, 'a', proxy.m_bUseProxyBelow, sErr) &&
           PutTicNText(out, 'b', proxy.m_sHost, sErr) && PutTicInt32(out, 'c', proxy.m_nPort, sErr) &&
           PutTicNText(out, 'd', proxy.m_sUserID, sErr) && PutTicNText(out, 'e', proxy.m_sPassword, sErr) &&
           PutTicBool(out, 'f', proxy.m_bUseWinInetProxy, sErr) && PutTicRecordEnd(out, sErr);
}

bool ReadProxyOptionsTic(CProxyOptions& proxy, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    return ReadTicRecordBody(in, sErr, [&](unsigned char tag, bool& bKnown) {
        bKnown = true;
        switch (tag) {
            case 'a':
                return GetTicBool(in, tag, proxy.m_bUseProxyBelow, sErr);
            case 'b':
                return GetTicString(in, tag, proxy.m_sHost, sErr);
            case 'c':
                return GetTicInt32(in, tag, proxy.m_nPort, sErr);
            case 'd':
                return GetTicString(in, tag, proxy.m_sUserID, sErr);
            case 'e':
                return GetTicString(in, tag, proxy.m_sPassword, sErr);
            case 'f':
                return GetTicBool(in, tag, proxy.m_bUseWinInetProxy, sErr);
            default:
                bKnown = false;
                return true;
        }
    });
}

// ---------------------------------------------------------------- typed record
bool WriteProgramOptionsTic(const ProgramOptions& o, ZorOutStream& out, CWideString& sErr) {
    if (!PutTicRecordBegin(out, sErr) || !out.PutChar('F', sErr) ||
        !WriteJobFiltersTic(o.m_GlobalFilters, out, sErr))
        return false;
    const struct {
        unsigned char tag;
        bool P::*p;
    } flags[] = {{'z', &P::m_bHideToTrayOnClose},     {'t', &P::m_bShowTrayIcon},
                 {'j', &P::m_bShowJobListWindow},     {'s', &P::m_bShowFiltersWindow},
                 {'l', &P::m_bShowLogWindow},         {'b', &P::m_bShowStatusBar},
                 {'o', &P::m_bGroupSimilarLogLines},  {'c', &P::m_bCheckNewVersion},
                 {'f', &P::m_bCreateFolderIfNotFound}};
    for (const auto& f : flags)
        if (!PutTicBool(out, f.tag, o.*f.p, sErr)) return false;
    return PutTicInt32(out, 'n', o.m_nLogLevel, sErr) &&
           PutTicBool(out, 'e', o.m_bWarnAboutTrayOnClose, sErr) &&
           PutTicWText(out, 'r', o.m_sCompareProgramPath, sErr) &&
           PutTicBool(out, 'M', o.m_bUseSmtpToEmail, sErr) && out.PutChar('S', sErr) &&
           WriteSmtpServerTic(o.m_SmtpServer, out, sErr) && PutTicBool(out, 'q', o.m_bSmtpImported, sErr) &&
           out.PutChar('T', sErr) && WriteProxyOptionsTic(o.m_ProxyServer, out, sErr) &&
           PutTicBool(out, 'a', o.m_bAutoHideMiniWindow, sErr) &&
           PutTicInt32(out, 'L', o.m_nLogRetainDays, sErr) && PutTicWText(out, 'N', o.m_sLogFolder, sErr) &&
           PutTicBool(out, 'B', o.m_bWarn_TimeOutOfRange, sErr) && PutTicRecordEnd(out, sErr);
}

bool ReadProgramOptionsTic(ProgramOptions& o, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    return ReadTicRecordBody(in, sErr, [&](unsigned char tag, bool& bKnown) {
        bKnown = true;
        for (const FlagField& f : kFlagKeys)
            if (f.tag == tag) return GetTicBool(in, tag, o.*f.p, sErr);
        switch (tag) {
            case 'F':
                return ReadJobFiltersTic(o.m_GlobalFilters, in, sErr);
            case 'n':
                return GetTicInt32(in, tag, o.m_nLogLevel, sErr);
            case 'N':
                return GetTicWString(in, tag, o.m_sLogFolder, sErr);
            case 'L':
                return GetTicInt32(in, tag, o.m_nLogRetainDays, sErr);
            case 'r':
                return GetTicWString(in, tag, o.m_sCompareProgramPath, sErr);
            case 'S':
                return ReadSmtpServerTic(o.m_SmtpServer, in, sErr);
            case 'T':
                return ReadProxyOptionsTic(o.m_ProxyServer, in, sErr);
            default:
                bKnown = false;
                return true;
        }
    });
}

// ---------------------------------------------------------------- keyword text
bool WriteSmtpServerTix(const SmtpServerInfo& smtp, ZorOutStream& out, bool bFull, int nLevel,
                        CWideString& sErr) {
    if (!PutTicText(out, "<SmtpServer>\n", sErr)) return false;
    if ((bFull || !smtp.m_sHost.IsEmpty()) && !PutNameValueWString(out, "Host", nLevel, smtp.m_sHost, sErr))
        return false;
    if ((bFull || smtp.m_nPort != 0) && !PutNameValueInt(out, "Port", nLevel, smtp.m_nPort, sErr))
        return false;
    if ((bFull || !smtp.m_sUserID.IsEmpty()) &&
        !PutNameValueWString(out, "UserID", nLevel, smtp.m_sUserID, sErr))
        return false;
    if ((bFull || !smtp.m_sPassword.IsEmpty()) &&
        !PutNameValueWString(out, "Password", nLevel, smtp.m_sPassword, sErr))
        return false;
    if ((bFull || smtp.m_bSecureSSL) && !PutFlagLine(out, "SecureSSL", nLevel, smtp.m_bSecureSSL != 0, sErr))
        return false;
    if ((bFull || !smtp.m_sSenderEmail.IsEmpty()) &&
        !PutNameValueWString(out, "SenderEmail", nLevel, smtp.m_sSenderEmail, sErr))
        return false;
    return PutTicText(out, "</SmtpServer>\n", sErr);
}

bool ReadSmtpServerTix(SmtpServerInfo& smtp, ZorInStream& in, CWideString& sErr) {
    if (!ReadObjectPrefix(in, "SmtpServer", sErr)) return false;
    return ReadKeywordBlockBody(in, "SmtpServer", sErr, [&](const CNarrowString& key, bool& bKnown) {
        bKnown = true;
        if (key == "Host") return ReadNameValueWString(in, smtp.m_sHost, sErr);
        if (key == "Port") return ReadNameValueInt(in, smtp.m_nPort, sErr);
        if (key == "UserID") return ReadNameValueWString(in, smtp.m_sUserID, sErr);
        if (key == "Password") return ReadNameValueWString(in, smtp.m_sPassword, sErr);
        if (key == "SecureSSL") return ReadNameValueBool(in, "SecureSSL", smtp.m_bSecureSSL, sErr);
        if (key == "SenderEmail") return ReadNameValueWString(in, smtp.m_sSenderEmail, sErr);
        bKnown = false;
        return true;
    });
}

bool WriteProgramOptionsTix(const ProgramOptions& o, ZorOutStream& out, bool bFull, int nLevel,
                            CWideString& sErr) {
    const ProgramOptions& d = Defaults();
    if (!PutTicText(out, "<ProgramOptions>\n", sErr)) return false;
    if (!PutTicText(out, "GlobalFilterIncluded = ", sErr) ||
        !WriteFileMasks(o.m_GlobalFilters.m_lstIncluded, out, bFull, nLevel + 1, sErr) ||
        !PutTicText(out, "GlobalFilterExcluded = ", sErr) ||
        !WriteFileMasks(o.m_GlobalFilters.m_lstExcluded, out, bFull, nLevel + 1, sErr))
        return false;
    auto flag = [&](const char* key) {
        for (const FlagField& f : kFlagKeys)
            if (!strcmp(f.key, key))
                return (!bFull && o.*f.p == d.*f.p) || PutFlagLine(out, key, nLevel, o.*f.p, sErr);
        return false;
    };
    auto number = [&](const char* key, int32_t n, int32_t def) {
        return (!bFull && n == def) || PutNameValueInt(out, key, nLevel, n, sErr);
    };
    auto text = [&](const char* key, const CWideString& s) {
        return (!bFull && s.IsEmpty()) || PutNameValueWString(out, key, nLevel, s, sErr);
    };
    bool bOk =
        flag("HideToTrayOnClose") && flag("WarnAboutTrayOnClose") && flag("ShowTrayIcon") &&
        flag("ShowJobListWindow") && flag("ShowFiltersWindow") && flag("ShowLogWindow") &&
        flag("ShowStatusBar") && flag("AutoHideMiniWindow") &&
        number("LogLevel", o.m_nLogLevel, d.m_nLogLevel) && text("LogFolder", o.m_sLogFolder) &&
        flag("Warn_TimeOutOfRange") && number("LogRetainDays", o.m_nLogRetainDays, d.m_nLogRetainDays) &&
        flag("GroupSimilarLogLines") && flag("CheckNewVersion") && flag("CreateFolderIfNotFound") &&
        text("CompareProgramPath", o.m_sCompareProgramPath) && flag("UseSmtpToEmail") && flag("SmtpImported");
    if (!bOk) return false;
    return PutTicText(out, "SmtpServer = ", sErr) &&
           WriteSmtpServerTix(o.m_SmtpServer, out, bFull, nLevel + 1, sErr) &&
           PutTicText(out, "ProxyServer = ", sErr) &&
           WriteProxyOptions(o.m_ProxyServer, out, bFull, nLevel + 1, sErr) &&
           PutTicText(out, "</ProgramOptions>\n", sErr);
}

bool ReadProgramOptionsTix(ProgramOptions& o, ZorInStream& in, CWideString& sErr) {
    // The opening may be preceded by its key: "ProgramOptions = <ProgramOptions>".
    unsigned char ch;
    while (in.GetChar(ch, sErr) && (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n')) {
    }
    if (in.HasError()) return false;
    if (!in.IsEof()) in.UngetChar(ch);
    static const char kKey[] = "ProgramOptions";
    if (ch == 'P') {
        CNarrowString tok;
        bool bQuoted = false;
        if (!ReadSettingsToken(in, tok, bQuoted, sErr)) return false;
        if (bQuoted || tok != kKey) {
            sErr.AppendFormat(u"Bad object prefix '%S', '%S' expected", tok,
                              CNarrowString("<ProgramOptions>"));
            return false;
        }
    }
    if (!ReadObjectPrefix(in, kKey, sErr)) return false;
    return ReadKeywordBlockBody(in, "ProgramOptions", sErr, [&](const CNarrowString& key, bool& bKnown) {
        bKnown = true;
        for (const FlagField& f : kFlagKeys)
            if (key == f.key) return ReadNameValueBool(in, f.key, o.*f.p, sErr);
        if (key == "GlobalFilterIncluded") return ReadFileMasks(o.m_GlobalFilters.m_lstIncluded, in, sErr);
        if (key == "GlobalFilterExcluded") return ReadFileMasks(o.m_GlobalFilters.m_lstExcluded, in, sErr);
        if (key == "LogLevel") return ReadNameValueInt(in, o.m_nLogLevel, sErr);
        if (key == "LogFolder") return ReadNameValueWString(in, o.m_sLogFolder, sErr);
        if (key == "LogRetainDays") return ReadNameValueInt(in, o.m_nLogRetainDays, sErr);
        if (key == "CompareProgramPath") return ReadNameValueWString(in, o.m_sCompareProgramPath, sErr);
        if (key == "SmtpServer") return ReadSmtpServerTix(o.m_SmtpServer, in, sErr);
        if (key == "ProxyServer") return ReadProxyOptions(o.m_ProxyServer, in, sErr);
        bKnown = false;
        return true;
    });
}
