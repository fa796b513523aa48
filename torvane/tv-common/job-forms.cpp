#include "job-forms.h"

#include "TvFileSys.h"
#include "zor-tic.h"

const char16_t* const kVexaformOnlineUrl = u"https://online.vexaform.net/users/";

namespace {

enum FieldKind { FK_TEXT, FK_DIR1, FK_DIR2, FK_FILTERS, FK_NUMBER, FK_FLAG, FK_FAST_PRE };

// One field of the typed job record.
struct TicField {
    unsigned char tag;
    FieldKind kind;
    int32_t CSyncJobOptions::*pNumber;
    bool CSyncJobOptions::*pFlag;
    CWideString CSyncJobOptions::*pText;
};

using O = CSyncJobOptions;
constexpr TicField N(unsigned char t, int32_t O::*p) {
    return {t, FK_NUMBER, p, nullptr, nullptr};
}
constexpr TicField B(unsigned char t, bool O::*p) {
    return {t, FK_FLAG, nullptr, p, nullptr};
}
constexpr TicField T(unsigned char t, CWideString O::*p) {
    return {t, FK_TEXT, nullptr, nullptr, p};
}
constexpr TicField K(unsigned char t, FieldKind k) {
    return {t, k, nullptr, nullptr, nullptr};
}

// The 59 values of a job record in the order they are written.
const TicField kJobTicFields[] = {
    T('n', &O::m_sName),
    K('0', FK_DIR1),
    K('1', FK_DIR2),
    K('F', FK_FILTERS),
    N('d', &O::m_nTimerIntervalHours),
    N('e', &O::m_nTimerIntervalMinutes),
    B('m', &O::m_bExcludeEmptyFolders),
    B('H', &O::m_bExcludeHidden),
    B('S', &O::m_bExcludeSystem),
    B('h', &O::m_bSameBeforeSyncAsInAnalyze),
    B('f', &O::m_bSavePreviousVersion),
    B('a', &O::m_bCopyUsingTempFile),
    B('u', &O::m_bEstimateRequiredSpace),
    N('v', &O::m_nAutoResolveConflicts),
    N('j', &O::m_nShowBalloon),
    N('%', &O::m_nLimitChangesPercent),
    N('q', &O::m_nOnFolderConnectAction),
    N('w', &O::m_nOnStartAction),
    N('z', &O::m_nOnTimerAction),
    N('y', &O::m_nOnLogoutAction),
    N('Q', &O::m_nOnVexaformAction),
    N('o', &O::m_nDirection),
    N('k', &O::m_n1wayMode),
    B('s', &O::m_bReadOnlySource),
    B('p', &O::m_bPropagateDeletions),
    B('L', &O::m_bCopyLockedFiles),
    B('V', &O::m_bAutoReconnect),
    T('M', &O::m_sPostSyncScriptOrEmail),
    N('U', &O::m_nSpeedLimit),
    N('A', &O::m_nReconnectAttempts),
    T('B', &O::m_sPostAnalyzeScriptOrEmail),
    T('J', &O::m_sPreAnalyzeScriptOrEmail),
    B('$', &O::m_bCopyACL),
    B('i', &O::m_bAutoClearTree),
    K('@', FK_FAST_PRE),
    B('^', &O::m_bSavePastVersions),
    N('&', &O::m_nFileLinks),
    N('*', &O::m_nFolderLinks),
    N('!', &O::m_nAutoStartDelay),
    N('D', &O::m_nOnFileChangeAction),
    N('c', &O::m_nSaveDaysPreviousVersion),
    N('X', &O::m_nSaveDaysPastVersions),
    B('b', &O::m_bCleanupPreviousVersion),
    B('Y', &O::m_bCleanupPastVersions),
    B('/', &O::m_bCompareMD5crc),
    B('?', &O::m_bNoTvDataFolder),
    B('#', &O::m_bWaitForLocks),
    B('.', &O::m_bCopyCreateTime),
    B('Z', &O::m_bNoSavePreviousPastVersionsLocal),
    B(0xC2, &O::m_bFastStop),
    N(0xC3, &O::m_nUpSpeedLimit),
    B(0xC4, &O::m_bRenameLosingFile),
    B(0xC5, &O::m_bConflictOnDiffItemsNoCommonHistory),
    B(0xC7, &O::m_bDetectMovesAndRenames),
    B(0xC8, &O::m_bCleanupOldGenerations),
    B(0xCA, &O::m_bDetectFolderMoves),
    N(0xCB, &O::m_nOnFileChangeDelay),
    N(0xCC, &O::m_nSaveMonthsOldGens),
    N(0xCD, &O::m_nWorkerThreads),
};
static_assert(sizeof(kJobTicFields) / sizeof(kJobTicFields[0]) == 59, "a job record has 59 values");

const TicField* FindTicField(unsigned char tag) {
    for (const TicField& f : kJobTicFields)
        if (f.tag == tag) return &f;
    return nullptr;
}

// Skips blanks, line feeds and carriage returns; bEnd at the end of the input.
bool SkipBlankLines(ZorInStream& in, bool& bEnd, CWideString& sErr) {
    bEnd = false;
    unsigned char ch;
    for (;;) {
        if (!in.GetChar(ch, sErr)) {
            if (in.HasError()) return false;
            bEnd = true;
            return true;
        }
        if (ch != ' ' && ch != '\n' && ch != '\r' && ch != '\t') {
            in.UngetChar(ch);
            return true;
        }
    }
}

} // namespace

bool UsesVexaformOnline(const CSyncJobOptions& opt) {
    const CWideString& url = !opt.m_Dir2.m_sUrl.IsEmpty() ? opt.m_Dir2.m_sUrl : opt.m_Dir1.m_sUrl;
    return url.StartsWith(kVexaformOnlineUrl);
}

bool WriteJobOptionsTic(const CSyncJobOptions& o, ZorOutStream& out, CWideString& sErr) {
    if (!PutTicRecordBegin(out, sErr)) return false;
    for (const TicField& f : kJobTicFields) {
        bool bOk = true;
        switch (f.kind) {
            case FK_TEXT:
                bOk = out.PutChar(f.tag, sErr) && PutTicWString(out, o.*f.pText, sErr);
                break;
            case FK_DIR1:
                bOk = out.PutChar(f.tag, sErr) && o.m_Dir1.WriteTic(out, sErr);
                break;
            case FK_DIR2:
                bOk = out.PutChar(f.tag, sErr) && o.m_Dir2.WriteTic(out, sErr);
                break;
            case FK_FILTERS:
                bOk = out.PutChar(f.tag, sErr) && WriteJobFiltersTic(o.m_Filters, out, sErr);
                break;
            case FK_NUMBER:
                bOk = PutTicInt32(out, f.tag, o.*f.pNumber, sErr);
                break;
            case FK_FLAG:
                bOk = PutTicBool(out, f.tag, o.*f.pFlag, sErr);
                break;
            case FK_FAST_PRE:
                bOk = PutTicInt32(out, f.tag, o.m_bFastPreAnalyzeWithStamps ? 1 : 0, sErr);
                break;
        }
        if (!bOk) return false;
    }
    return PutTicRecordEnd(out, sErr);
}

bool ReadJobOptionsTic(CSyncJobOptions& o, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    CWideString sLegacy1, sLegacy2;
    int32_t nFastPre = -1;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, sErr)) return false;
        if (bEnd) break;
        bool bOk = true;
        if (tag == 'l' || tag == 'r') {
            bOk = GetTicWString(in, tag, tag == 'l' ? sLegacy1 : sLegacy2, sErr);
        } else if (const TicField* f = FindTicField(tag)) {
            switch (f->kind) {
                case FK_TEXT:
                    bOk = GetTicWString(in, tag, o.*f->pText, sErr);
                    break;
                case FK_DIR1:
                    bOk = o.m_Dir1.ReadTic(in, sErr);
                    break;
                case FK_DIR2:
                    bOk = o.m_Dir2.ReadTic(in, sErr);
                    break;
                case FK_FILTERS:
                    bOk = ReadJobFiltersTic(o.m_Filters, in, sErr);
                    break;
                case FK_NUMBER:
                    bOk = GetTicInt32(in, tag, o.*f->pNumber, sErr);
                    break;
                case FK_FLAG:
                    bOk = GetTicBool(in, tag, o.*f->pFlag, sErr);
                    break;
                case FK_FAST_PRE:
                    bOk = GetTicInt32(in, tag, nFastPre, sErr);
                    break;
            }
        } else {
            bOk = SkipTicValue(in, tag, sErr);
        }
        if (!bOk) return false;
    }
    if (!sLegacy1.IsEmpty() && o.m_Dir1.m_sUrl.IsEmpty()) o.m_Dir1.m_sUrl = NormalizeUrl(sLegacy1);
    if (!sLegacy2.IsEmpty() && o.m_Dir2.m_sUrl.IsEmpty()) o.m_Dir2.m_sUrl = NormalizeUrl(sLegacy2);
    if (nFastPre >= 0)
        o.m_bFastPreAnalyzeWithStamps = nFastPre == 1;
    else
        o.m_bFastPreAnalyzeWithStamps = UsesVexaformOnline(o);
    return true;
}

bool WriteJobTic(const CSyncJobFromList& job, ZorOutStream& out, CWideString& sErr) {
    return WriteJobOptionsTic(job.m_Options, out, sErr);
}

bool ReadJobTic(CSyncJobFromList& job, ZorInStream& in, CWideString& sErr) {
    return ReadJobOptionsTic(job.m_Options, in, sErr);
}

bool ReadJobTix(CSyncJobFromList& job, ZorInStream& in, CWideString& sErr) {
    return ReadJobTix(job.m_Options, in, sErr);
}

bool WriteJobListTic(const CTorvaneSettings& settings, ZorOutStream& out, CWideString& sErr) {
    if (!PutTicRecordBegin(out, sErr) || !PutTicListBegin(out, 'l', sErr)) return false;
    bool bOk = true;
    settings.ForEachJob([&](CSyncJobFromList* p) {
        bOk = out.PutChar('\n', sErr) && WriteJobTic(*p, out, sErr);
        return bOk;
    });
    return bOk && PutTicListEnd(out, sErr) && PutTicRecordEnd(out, sErr);
}

bool ReadJobListTic(CTorvaneSettings& settings, ZorInStream& in, CWideString& sErr) {
    if (!GetTicPrefix(in, '[', sErr)) return false;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, sErr)) return false;
        if (bEnd) return true;
        if (tag != 'l') {
            if (!SkipTicValue(in, tag, sErr)) return false;
            continue;
        }
        {
            std::unique_lock<std::shared_mutex> lock(settings.m_ListLock);
            settings.DeleteAllJobsLocked();
        }
        if (!GetTicPrefix(in, '<', sErr)) return false;
        for (;;) {
            unsigned char ch;
            if (!GetTicChar(in, tag, ch, sErr)) return false;
            if (ch == '>') break;
            // A line feed comes before each job; a record that follows
            // without one is taken as it stands.
            if (ch != '\n') in.UngetChar(ch);
            auto* pJob = new CSyncJobFromList;
            if (!ReadJobTic(*pJob, in, sErr)) {
                delete pJob;
                return false;
            }
            settings.AppendLoadedJob(pJob);
        }
    }
}

bool WriteJobListTix(const CTorvaneSettings& settings, ZorOutStream& out, bool bFullDump, CWideString& sErr) {
    bool bOk = true;
    settings.ForEachJob([&](CSyncJobFromList* p) {
        bOk = p->WriteOptions(out, bFullDump, 0, sErr) && out.PutChar('\n', sErr);
        return bOk;
    });
    return bOk;
}

bool ReadJobListTix(CTorvaneSettings& settings, ZorInStream& in, CWideString& sErr) {
    for (;;) {
        // An empty or blank text is an empty list.
        bool bEnd = false;
        if (!SkipBlankLines(in, bEnd, sErr)) return false;
        if (bEnd) return true;
        auto* pJob = new CSyncJobFromList;
        if (!ReadJobTix(*pJob, in, sErr)) {
            delete pJob;
            return false;
        }
        settings.AppendLoadedJob(pJob);
    }
}
