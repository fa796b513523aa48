// The program-wide settings record ProgramOptions and its two stored forms.
//
// Typed form ("options.tic"): one record, every field written, in this order
//   [F[i[L<...>]x[L<...>]] z t j s l b o c f n e r M S[...] q T[...] a L N B]
// The default record is
//   [F[i[L<>]x[L<>]]z=0|t=1|j=0|s=0|l=1|b=1|o=1|c=1|f=0|n=2|e=0|r:0:|M=1|
//    S[a:0:|b=587|c=0|d:0:|e:0:|f:0:|]q=0|T[a=0|b:0:|c=3128|d:0:|e:0:|f=1|]
//    a=1|L=7|N:0:|B=0|]                                   (one line, no blanks)
// Readers skip tags they do not know with their values, accept any order and
// let the last occurrence win. A mask list also accepts the older form "l<...>"
// whose masks use '\' separators.
//
// Keyword text ("options.tix", the registry value "ProgOptionsTix"):
//   <ProgramOptions>
//   GlobalFilterIncluded = <FileMask> ... </FileMask>
//   GlobalFilterExcluded = <FileMask> ... </FileMask>
//   HideToTrayOnClose = No ...        (a key only when it differs from its default)
//   SmtpServer = <SmtpServer> ... </SmtpServer>
//   ProxyServer = <ProxyServer> ... </ProxyServer>
//   </ProgramOptions>
// Passwords are stored as the record holds them; the store files are
// therefore readable by their owner only.
#pragma once

#include "engine-globals.h"
#include "sync-filters.h"
#include "sync-options.h"
#include "zor-stream.h"
#include "zor-string.h"

#include <cstdint>

class ProgramOptions {
public:
    ProgramOptions();
    ProgramOptions(const ProgramOptions&) = default;
    ProgramOptions& operator=(const ProgramOptions&) = default;

    // Every field except the options file path takes its default again.
    void ResetToDefaults();
    // Field by field, the options file path excluded.
    bool operator==(const ProgramOptions& o) const;
    bool operator!=(const ProgramOptions& o) const { return !(*this == o); }

    // -- stores (job-stores.cpp)
    // Loads from the registry or from the options file; a missing file is
    // created with the defaults. A damaged file is renamed aside ("-bad"
    // before the extension) and the options are reset and saved again.
    // Loading the settings' own record (g_Settings) also hands its proxy to
    // the HTTP layer.
    bool LoadOptions(CWideString& sErr);
    // Saves to the registry or to the options file (temporary file, flush,
    // fsync, rename); false when any step fails, the old file then stays.
    bool SaveOptions(bool bFullDump, const CWideString& sReason, CWideString& sErr);
    // Adds the default masks to the global exclude list; true when one was added.
    bool AddDefaultGlobalFilters(bool bAll);
    // All default masks, then a save with reason "Initial Save".
    bool InitialSave(CWideString& sErr);

    CWideString m_sOptionsFile; // empty: the default name in the profile folder
    bool m_bShowTrayIcon = true;
    bool m_bHideToTrayOnClose = false;
    bool m_bCheckNewVersion = true;
    bool m_bCreateFolderIfNotFound = false;
    bool m_bAutoHideMiniWindow = true;
    bool m_bGroupSimilarLogLines = true;
    int32_t m_nLogLevel = 2;
    CWideString m_sLogFolder;
    int32_t m_nLogRetainDays = 7;
    CWideString m_sCompareProgramPath;
    bool m_bWarn_TimeOutOfRange = false;
    CProxyOptions m_ProxyServer; // Port 3128 in a fresh record
    SmtpServerInfo m_SmtpServer;
    bool m_bSmtpImported = false;
    bool m_bUseSmtpToEmail = true;
    bool m_bWarnAboutTrayOnClose = false;
    CJobFilters m_GlobalFilters; // GlobalFilterIncluded, GlobalFilterExcluded
    bool m_bShowJobListWindow = false;
    bool m_bShowFiltersWindow = false;
    bool m_bShowLogWindow = true;
    bool m_bShowStatusBar = true;
};

bool operator==(const SmtpServerInfo& a, const SmtpServerInfo& b);

// The whole record in each form. Readers do not reset the record first: a
// field that the input does not mention keeps its value. A failed read leaves
// the fields read before the fault with their new values.
bool WriteProgramOptionsTic(const ProgramOptions& opt, ZorOutStream& out, CWideString& sErr);
bool ReadProgramOptionsTic(ProgramOptions& opt, ZorInStream& in, CWideString& sErr);
bool WriteProgramOptionsTix(const ProgramOptions& opt, ZorOutStream& out, bool bFullDump, int nLevel,
                            CWideString& sErr);
bool ReadProgramOptionsTix(ProgramOptions& opt, ZorInStream& in, CWideString& sErr);

// The blocks. Each reader starts at the block's '[' (typed) or its optional
// "=" and "<Name>" (keyword text).
bool WriteSmtpServerTic(const SmtpServerInfo& smtp, ZorOutStream& out, CWideString& sErr);
bool ReadSmtpServerTic(SmtpServerInfo& smtp, ZorInStream& in, CWideString& sErr);
bool WriteProxyOptionsTic(const CProxyOptions& proxy, ZorOutStream& out, CWideString& sErr);
bool ReadProxyOptionsTic(CProxyOptions& proxy, ZorInStream& in, CWideString& sErr);
bool WriteJobFiltersTic(const CJobFilters& filters, ZorOutStream& out, CWideString& sErr);
bool ReadJobFiltersTic(CJobFilters& filters, ZorInStream& in, CWideString& sErr);
bool WriteFileMaskListTic(const CListT<CWideString>& list, ZorOutStream& out, CWideString& sErr);
bool ReadFileMaskListTic(CListT<CWideString>& list, ZorInStream& in, CWideString& sErr);
bool WriteSmtpServerTix(const SmtpServerInfo& smtp, ZorOutStream& out, bool bFullDump, int nLevel,
                        CWideString& sErr);
bool ReadSmtpServerTix(SmtpServerInfo& smtp, ZorInStream& in, CWideString& sErr);

// Appends the mask unless the list holds it already (exact compare); true
// when it was appended.
bool AddIfAbsent(CListT<CWideString>& list, const CWideString& mask);
