// Plain records of the network layer: ICopyProgress scaling, the response
// record's resets, the proxy settings' comparison.
#include "zor-net-records.h"

#include "zor-path.h"

#include <unistd.h>

// ============================================================ ICopyProgress
ICopyProgress::~ICopyProgress() = default;

static int64_t Scale128(int64_t pos, int64_t off, int64_t mul, int64_t div, int64_t base) {
    __int128 v = ((__int128)pos + off) * mul / div + base;
    if (v > (__int128)INT64_MAX) return INT64_MAX;
    if (v < (__int128)INT64_MIN) return INT64_MIN;
    return (int64_t)v;
}

int64_t ICopyProgress::ScalePosition(int64_t nPos) const {
    if (m_nDivisor == 0) return nPos;
    return Scale128(nPos, m_nOffset, m_nMultiplier, m_nDivisor, m_nBase);
}

bool ICopyProgress::ReportProgress(bool bFlag, int64_t nPos, int& errKind, CWideString& err) {
    int64_t total = m_nTotal;
    if (m_nDivisor != 0) {
        nPos = ScalePosition(nPos);
        if (total >= 0) total = ScalePosition(total);
    }
    return OnProgress(bFlag, nPos, total, errKind, err);
}

void SetStoppedByUser(int& errKind, CWideString& err) {
    errKind = FSE_STOPPED;
    err += u"stopped by user";
}

// ============================================================ CRsp
CRsp::~CRsp() {
    ResetResponse();
}

void CRsp::ResetResponse() {
    if (m_bTempBodyFile && !m_sBodyFile.IsEmpty()) {
        ::unlink(ZorNativePath(m_sBodyFile).GetString());
        m_sBodyFile.Empty();
    }
    m_bTempBodyFile = 0;
    m_nStatus = 0;
    m_sReason.Empty();
    m_sServer.Empty();
    m_ServerVersion = CodeTextPair();
    m_mapHeaders.RemoveAll();
    m_nContentLength = kNoLength;
    m_nBodyLength = 0;
    m_sBody.Empty();
    m_bBodyComplete = 0;
    m_bSentWhole = 0;
    m_nTotalTime = 0;
    m_nWaitTime = 0;
}

void CRsp::Reset() {
    ResetResponse();
    m_sReqHeaders.Empty();
    m_sReqBody.Empty();
    m_pReqBodyFile = nullptr;
    m_sBodyPrefix.Empty();
    m_sBodySuffix.Empty();
    m_bExpectAllowed = 0;
    m_bNoRetry = 0;
    m_sBodyFile.Empty();
    m_bAcceptFileBody = 0;
    m_nRspOptions = 0;
    m_nMaxBody = -1;
    m_sSessionID.Empty();
    m_nSeqNo = 0;
}

// ============================================================ proxy
bool CProxyOptions::operator==(const CProxyOptions& o) const {
    return m_bUseWinInetProxy == o.m_bUseWinInetProxy && m_bUseProxyBelow == o.m_bUseProxyBelow &&
           m_sHost == o.m_sHost && m_nPort == o.m_nPort && m_sUserID == o.m_sUserID &&
           m_sPassword == o.m_sPassword;
}

