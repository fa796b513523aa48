// The sync item and its side records.
#include "sync-item.h"

#include "zor-locstr.h"
#include "zor-time.h"

#include <cstring>
#include <new>

// ---------------------------------------------------------------- names

namespace {
const char16_t kUnknownName[] = u"UNKNOWN";
}

const char16_t* GetActionName(uint8_t nAction) {
    switch (nAction) {
        case EA_USESYSTEM:
            return u"USESYSTEM";
        case EA_NO_COPY:
            return u"NO_COPY";
        case EA_COPY_STATE_MERGE_GENS:
            return u"EA_COPY_STATE_MERGE_GENS";
        case EA_CONFLICT:
            return u"CONFLICT";
        case EA_ERROR:
            return u"ERROR";
        case EA_COPY_LEFT_TO_RIGHT:
            return u"COPY_LEFT_TO_RIGHT";
        case EA_COPY_RIGHT_TO_LEFT:
            return u"COPY_RIGHT_TO_LEFT";
        case EA_NAME_CASE_LEFT_TO_RIGHT:
            return u"NAME_CASE_LEFT_TO_RIGHT";
        case EA_NAME_CASE_RIGHT_TO_LEFT:
            return u"NAME_CASE_RIGHT_TO_LEFT";
        case EA_TIME_LEFT_TO_RIGHT:
            return u"TIME_LEFT_TO_RIGHT";
        case EA_TIME_RIGHT_TO_LEFT:
            return u"TIME_RIGHT_TO_LEFT";
        case EA_COPY_STATE_LEFT_TO_RIGHT:
            return u"EA_COPY_STATE_LEFT_TO_RIGHT";
        case EA_COPY_STATE_RIGHT_TO_LEFT:
            return u"EA_COPY_STATE_RIGHT_TO_LEFT";
        default:
            break;
    }
    ZorAssertFailed(__FILE__, __LINE__, 0, "GetActionName: unknown action code", nAction);
    return kUnknownName;
}

const char16_t* GetExecStateName(uint8_t nState) {
    switch (nState) {
        case ESS_ANALYZED_OK:
            return u"ESS_ANALYZED_OK";
        case ESS_ANALYZED_ERR:
            return u"ESS_ANALYZED_ERR";
        case ESS_SYNCING:
            return u"ESS_SYNCING";
        case ESS_SYNCED_OK:
            return u"ESS_SYNCED_OK";
        case ESS_SYNCED_ERR:
            return u"ESS_SYNCED_ERR";
        default:
            break;
    }
    ZorAssertFailed(__FILE__, __LINE__, 0, "GetExecStateName: unknown execution state", nState);
    return kUnknownName;
}

// ---------------------------------------------------------------- CItemLen

CWideString CItemLen::Format() const {
    if (IsDeleted()) return u"[del]";
    if (IsFolder()) return u"[folder]";
    if (IsUndefined()) return u"[undef]";
    return CWideString::Formatted(u"%llu", (unsigned long long)GetValue());
}

// ---------------------------------------------------------------- CSyncTime

CSyncTime CSyncTime::Now() {
    return CSyncTime((uint32_t)CZorTime::Now().GetTime());
}

void CSyncTime::StampNow() {
    *this = Now();
}

CWideString CSyncTime::Format() const {
    if (m_nTime == 0) return u"(" + GetLocalizedString(IDS_Str_NotSeenBefore) + u")";
    return FormatTimeStandard((int64_t)m_nTime);
}

// ---------------------------------------------------------------- CGenArray

CGenArray::CGenArray(const CGenArray& o) : CGenArray() {
    *this = o;
}

CGenArray& CGenArray::operator=(const CGenArray& o) {
    if (this == &o) return *this;
    const int n = o.Count();
    if (n <= GetCapacity()) {
        // Fits in the storage we have.
        std::memcpy((void*)Data(), o.Data(), sizeof(CSyncTime) * n);
        SetSizes(n, Capacity());
        return *this;
    }
    auto* p = (CSyncTime*)::operator new(sizeof(CSyncTime) * n, std::nothrow);
    if (!p) {
        ZorAssertFailed(__FILE__, __LINE__, ZEK_NO_MEMORY, "CGenArray: out of memory");
        throw std::bad_alloc();
    }
    std::memcpy((void*)p, o.Data(), sizeof(CSyncTime) * n);
    RemoveAll();
    SetHeapBlock(p);
    SetSizes(n, n);
    return *this;
}

CSyncTime& CGenArray::ElementAt(int i) {
    if (i < 0 || i >= Count()) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CGenArray::ElementAt: index out of range", i);
        static thread_local CSyncTime s_bad;
        s_bad = CSyncTime();
        return s_bad;
    }
    return Data()[i];
}

bool CGenArray::Add(CSyncTime t) {
    const int n = Count();
    if (n >= kMaxCount) return false;
    if (n == GetCapacity()) {
        int nCap = n * 2;
        if (nCap > kMaxCount) nCap = kMaxCount;
        auto* p = (CSyncTime*)::operator new(sizeof(CSyncTime) * (size_t)nCap, std::nothrow);
        if (!p) return false;
        std::memcpy((void*)p, Data(), sizeof(CSyncTime) * n);
        if (!IsInline()) ::operator delete(HeapBlock());
        SetHeapBlock(p);
        SetSizes(n, nCap);
    }
    Data()[n] = t;
    SetSizes(n + 1, Capacity());
    return true;
}

bool CGenArray::operator==(const CGenArray& o) const {
    if (Count() != o.Count()) return false;
    for (int i = 0; i < Count(); i++)
        if (Data()[i] != o.Data()[i]) return false;
    return true;
}

bool AppendTimeIfNew(CGenArray& gens, CSyncTime t) {
    if (!gens.IsEmpty() && gens.GetLast() == t) return false;
    return gens.Add(t);
}

// ---------------------------------------------------------------- CSideInfo

CWideString CSideInfo::Dump() const {
    return CWideString::Formatted(u"ni=%s f=%d len=%s t-file=%s t-accu=%s ts-c=%d attr=%x", m_sId,
                                  IsFolder() ? 1 : 0, m_Len.Format(), m_tFile.Format(), m_tAccu.Format(),
                                  (int)m_nTimeShift, m_nAttr);
}

// ---------------------------------------------------------------- CSyncPairAndAction

bool CItemExtra::IsDefault() const {
    for (int i = 0; i < 2; i++)
        if (!m_aSavedTime[i].IsZero() || !m_aSavedLen[i].IsUndefined()) return false;
    return m_sReason.IsEmpty() && m_sMove.IsEmpty() && !m_pStats && !m_pMd5 && !m_aNewMark[0] && !m_aNewMark[1] &&
           !m_bRightDigest;
}

CSyncPairAndAction::CSyncPairAndAction(uint8_t nExecState)
    : m_nSysAction(EA_NO_COPY), m_nUserAction(EA_USESYSTEM), m_nExecState(nExecState),
      m_nFlags(SPF_LISTED), m_aPendingGen{0, 0}, m_aHoldsDataFolder{0, 0} {
    m_u.m_nWorkBytes = 0;
}

CSyncPairAndAction::CSyncPairAndAction(const CSyncPairAndAction& o) : CSyncPairAndAction(ESS_ANALYZED_OK) {
    *this = o;
}

CSyncPairAndAction::~CSyncPairAndAction() {
    delete m_pExtra.load(std::memory_order_relaxed);
}

CItemExtra& CSyncPairAndAction::EnsureExtra() {
    CItemExtra* p = m_pExtra.load(std::memory_order_acquire);
    if (p) return *p;
    auto* pNew = new CItemExtra();
    if (m_pExtra.compare_exchange_strong(p, pNew, std::memory_order_acq_rel, std::memory_order_acquire))
        return *pNew;
    delete pNew; // another thread created it first: p holds its block
    return *p;
}

void CSyncPairAndAction::SetSaved(int nSide, CSyncTime t, const CItemLen& len) {
    CItemExtra* p = Extra();
    if (!p) {
        if (t.IsZero() && len.IsUndefined()) return;
        p = &EnsureExtra();
    }
    p->m_aSavedTime[nSide ? 1 : 0] = t;
    p->m_aSavedLen[nSide ? 1 : 0] = len;
}

static const CWideString& EmptyText() {
    static const CWideString s_empty;
    return s_empty;
}

const CWideString& CSyncPairAndAction::GetReason() const {
    const CItemExtra* p = Extra();
    return p ? p->m_sReason : EmptyText();
}

void CSyncPairAndAction::SetReason(const CWideString& s) {
    CItemExtra* p = Extra();
    if (!p) {
        if (s.IsEmpty()) return;
        p = &EnsureExtra();
    }
    p->m_sReason = s;
}

const CWideString& CSyncPairAndAction::GetMove() const {
    const CItemExtra* p = Extra();
    return p ? p->m_sMove : EmptyText();
}

void CSyncPairAndAction::SetMove(const CWideString& s) {
    CItemExtra* p = Extra();
    if (!p) {
        if (s.IsEmpty()) return;
        p = &EnsureExtra();
    }
    p->m_sMove = s;
}

FolderStatsRecord& CSyncPairAndAction::EnsureStats() {
    CItemExtra& x = EnsureExtra();
    if (!x.m_pStats) x.m_pStats = new FolderStatsRecord();
    return *x.m_pStats;
}

void CSyncPairAndAction::FreeStats() {
    CItemExtra* p = Extra();
    if (!p) return;
    delete p->m_pStats;
    p->m_pStats = nullptr;
}

const Md5Crc& CSyncPairAndAction::GetMd5(int nSide) const {
    static const Md5Crc s_zero;
    const CItemExtra* p = Extra();
    return p && p->m_pMd5 ? p->m_pMd5[nSide ? 1 : 0] : s_zero;
}

void CSyncPairAndAction::SetNewMark(int nSide, uint32_t m) {
    CItemExtra* p = Extra();
    if (!p) {
        if (!m) return;
        p = &EnsureExtra();
    }
    p->m_aNewMark[nSide & 1] = m;
}

void CSyncPairAndAction::SetSideDigest(int nSide, uint64_t d) {
    nSide &= 1;
    if (d != Digest(nSide)) {
        m_aCur[nSide].SetFlag(SIF_DIGEST, false);
        m_aOld[nSide].SetFlag(SIF_DIGEST, false);
    }
    const int other = 1 - nSide;
    CItemExtra* p = Extra();
    const bool bRightOwn = p && p->m_bRightDigest;
    // A side none of whose records is of its digest has a value that means
    // nothing: it takes the one set.
    const bool bOtherKeeps = m_aOld[other].GetFlag(SIF_DIGEST) || m_aCur[other].GetFlag(SIF_DIGEST);
    uint64_t nRight = d;
    if (nSide == 0) {
        if (bOtherKeeps) nRight = Digest(1);
        m_nDigest = d;
    } else if (!bOtherKeeps) {
        m_nDigest = d;
    }
    if (nRight != m_nDigest) {
        p = &EnsureExtra();
        p->m_bRightDigest = true;
        p->m_nRightDigest = nRight;
    } else if (bRightOwn) {
        p->m_bRightDigest = false;
        p->m_nRightDigest = 0;
    }
}

void CSyncPairAndAction::NewDigest(uint64_t d) {
    for (int i = 0; i < 2; i++)
        if (d != Digest(i)) {
            m_aCur[i].SetFlag(SIF_DIGEST, false);
            m_aOld[i].SetFlag(SIF_DIGEST, false);
        }
    m_nDigest = d;
    if (CItemExtra* p = Extra()) {
        p->m_bRightDigest = false;
        p->m_nRightDigest = 0;
    }
}

void CSyncPairAndAction::SetMd5(int nSide, const Md5Crc& md5) {
    CItemExtra* p = Extra();
    if (!p || !p->m_pMd5) {
        if (md5.IsZero()) return;
        p = &EnsureExtra();
        if (!p->m_pMd5) p->m_pMd5 = new Md5Crc[2];
    }
    p->m_pMd5[nSide ? 1 : 0] = md5;
}

CSyncPairAndAction& CSyncPairAndAction::operator=(const CSyncPairAndAction& o) {
    if (this == &o) return *this;
    constexpr uint8_t kCopied = SPF_EXCLUDED | SPF_REINCLUDED;
    m_nExecState = o.m_nExecState;
    m_nFlags = (uint8_t)((m_nFlags & ~kCopied) | (o.m_nFlags & kCopied));
    m_nUserAction = o.m_nUserAction;
    m_nSysAction = o.m_nSysAction;
    for (int i = 0; i < 2; i++) {
        m_aCur[i] = o.m_aCur[i];
        m_aOld[i] = o.m_aOld[i];
        m_aCurIdent[i] = o.m_aCurIdent[i];
        m_aOldIdent[i] = o.m_aOldIdent[i];
        m_aOldMark[i] = o.m_aOldMark[i];
        SetNewMark(i, o.NewMark(i));
    }
    m_nDigest = o.m_nDigest;
    {
        const CItemExtra* q = o.Extra();
        CItemExtra* p = Extra();
        if (q && q->m_bRightDigest) p = &EnsureExtra();
        if (p) {
            p->m_bRightDigest = q && q->m_bRightDigest;
            p->m_nRightDigest = p->m_bRightDigest ? q->m_nRightDigest : 0;
        }
    }
    m_u.m_nWorkBytes = 0;
    if (CItemExtra* p = Extra()) {
        p->m_sReason.Empty();
        delete p->m_pStats;
        p->m_pStats = nullptr;
        // An assignment writes the whole item (no other thread holds it), so
        // the block can go once nothing in it is left set.
        if (p->IsDefault()) {
            m_pExtra.store(nullptr, std::memory_order_release);
            delete p;
        }
    }
    return *this;
}

bool CSyncPairAndAction::IsDeleteAction() const {
    uint8_t eff = GetEffAction();
    if (RightExists()) return eff == EA_COPY_LEFT_TO_RIGHT && !LeftExists();
    return eff == EA_COPY_RIGHT_TO_LEFT && LeftExists();
}

bool CSyncPairAndAction::IsNewCopy() const {
    uint8_t eff = GetEffAction();
    if (eff == EA_COPY_LEFT_TO_RIGHT) return LeftExists() && !RightExists();
    if (eff == EA_COPY_RIGHT_TO_LEFT) return RightExists() && !LeftExists();
    return false;
}

bool CSyncPairAndAction::IsOverwriteCopy() const {
    uint8_t eff = GetEffAction();
    return (eff == EA_COPY_LEFT_TO_RIGHT || eff == EA_COPY_RIGHT_TO_LEFT) && ExistsBoth();
}

bool CSyncPairAndAction::SrcExistsDefLeft() const {
    return GetEffAction() == EA_COPY_RIGHT_TO_LEFT ? RightExists() : LeftExists();
}

bool CSyncPairAndAction::SrcExistsDefRight() const {
    return GetEffAction() == EA_COPY_LEFT_TO_RIGHT ? LeftExists() : RightExists();
}

bool CSyncPairAndAction::IsNewCopyRtoL() const {
    return GetEffAction() == EA_COPY_RIGHT_TO_LEFT && RightExists() && !LeftExists();
}

bool CSyncPairAndAction::IsDeleteRtoL() const {
    return GetEffAction() == EA_COPY_RIGHT_TO_LEFT && !RightExists() && LeftExists();
}

bool CSyncPairAndAction::CanSetUserAction(uint8_t nAction) const {
    if (IsError() || (m_nFlags & SPF_EXCLUDED) || m_nExecState == ESS_SYNCED_OK) return false;
    if (ExistsAnywhere()) {
        switch (nAction) {
            case EA_COPY_LEFT_TO_RIGHT:
            case EA_COPY_RIGHT_TO_LEFT:
                return !IsFolder();
            case EA_NAME_CASE_LEFT_TO_RIGHT:
            case EA_NAME_CASE_RIGHT_TO_LEFT:
                return m_aCur[0].m_Len == m_aCur[1].m_Len && m_aCur[0].m_tAccu.IsSame(m_aCur[1].m_tAccu);
            case EA_TIME_LEFT_TO_RIGHT:
            case EA_TIME_RIGHT_TO_LEFT:
                return m_aCur[0].m_Len == m_aCur[1].m_Len;
            default:
                return true;
        }
    }
    return nAction == EA_NO_COPY || nAction == EA_COPY_STATE_MERGE_GENS ||
           nAction == EA_COPY_STATE_LEFT_TO_RIGHT || nAction == EA_COPY_STATE_RIGHT_TO_LEFT;
}

uint8_t CSyncPairAndAction::GetActionTowards(uint8_t nRequest) const {
    if (nRequest & EA_BIT_NO_DIRECTION) return EA_NO_COPY;
    uint8_t base = (m_nUserAction && !(m_nUserAction & EA_BIT_NO_DIRECTION)) ? m_nUserAction : m_nSysAction;
    uint8_t kind = base & EA_KIND_MASK;
    if (!(nRequest & EA_BIT_TO_LEFT)) { // towards the right
        if (base & EA_BIT_NO_DIRECTION) return EA_COPY_LEFT_TO_RIGHT;
        if (base & EA_BIT_TO_LEFT) return (uint8_t)(EA_BIT_TO_RIGHT | kind);
        return base;
    }
    if (base & EA_BIT_NO_DIRECTION) return EA_COPY_RIGHT_TO_LEFT;
    if (base & EA_BIT_TO_RIGHT) return (uint8_t)(EA_BIT_TO_LEFT | kind);
    return base;
}

CWideString CSyncPairAndAction::Dump() const {
    CWideString s;
    s.Format(u"State=[%s], Eff=[%s], Sys=[%s], User=[%s]", GetExecStateName(m_nExecState),
             GetActionName(GetEffAction()), GetActionName(m_nSysAction), GetActionName(m_nUserAction));
    s.AppendFormat(u"\r\n old_L=[%s]\r\n new_L=[%s]\r\n old_R=[%s]\r\n new_R=[%s]", m_aOld[0].Dump(),
                   m_aCur[0].Dump(), m_aOld[1].Dump(), m_aCur[1].Dump());
    return s;
}
