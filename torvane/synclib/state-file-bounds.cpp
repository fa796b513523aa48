// The bounds of a state file's records: the length of their names and
// paths, and the memory that a read's records take.
#include "state-file.h"

#include "zor-escape.h"
#include "zor-unicode.h"

#include <algorithm>

namespace {

int64_t Utf8Bytes(const char16_t* p, int len) {
    int64_t n = 0;
    for (int i = 0; i < len; i++) {
        const char16_t c = p[i];
        if (c < 0x80)
            n += 1;
        else if (c < 0x800)
            n += 2;
        else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            n += 4; // a surrogate pair
            i++;
        } else
            n += 3;
    }
    return n;
}

} // namespace

int64_t StateUtf8Bytes(const CWideString& s) {
    return Utf8Bytes(s.GetString(), s.GetLength());
}

namespace {

// The start of a name too long to be shown whole.
CWideString NameStart(const CWideString& s) {
    return EscapeControlChars(s.GetLength() > 40 ? s.Left(40) + u"..." : s);
}

// Checks the components of a path (a single name has one) against a
// length and adds the bytes of each, with its separator, to nBytes.
bool CheckComponents(const CWideString& path, int64_t nMax, int64_t& nBytes, long nPosn, CWideString& err) {
    const char16_t* p = path.GetString();
    const int len = path.GetLength();
    for (int nStart = 0; nStart < len;) {
        int nEnd = nStart;
        while (nEnd < len && p[nEnd] != u'/') nEnd++;
        if (nEnd > nStart) {
            const int64_t n = Utf8Bytes(p + nStart, nEnd - nStart);
            if (n > nMax) {
                err.AppendFormat(u"Posn %ld: a name of %lld bytes, longer than %lld: ", nPosn, (long long)n,
                                 (long long)nMax);
                err += NameStart(path.Mid(nStart, nEnd - nStart));
                return false;
            }
            nBytes += 1 + n;
        }
        nStart = nEnd + 1;
    }
    return true;
}

} // namespace

bool CheckStateRecordPath(const CWideString& name, const CWideString& id, int64_t nParentBytes,
                          int64_t& nPathBytes, long nPosn, CWideString& err) {
    // The side's own form is the id where the record keeps one (it is the
    // name composed, or in another letter case): the name is then the
    // tree's key, which may take up to three times the bytes of the side's.
    // An id that is another name altogether gives way to the name (as the
    // merge has it).
    bool bOwnId = false;
    if (!id.IsEmpty()) {
        CWideString nfcId = id, nfcName = name;
        if (!IsNameNfc(nfcId)) NormalizeNameNfc(nfcId);
        if (!IsNameNfc(nfcName)) NormalizeNameNfc(nfcName);
        bOwnId = nfcId.CompareNoCase(nfcName) == 0;
    }
    const CWideString& own = bOwnId ? id : name;
    nPathBytes = nParentBytes;
    if (!CheckComponents(own, kStateMaxNameBytes, nPathBytes, nPosn, err)) return false;
    int64_t nKey = nParentBytes;
    if (bOwnId && !CheckComponents(name, 3 * kStateMaxNameBytes, nKey, nPosn, err)) return false;
    if (nPathBytes > kStateMaxPathBytes) {
        err.AppendFormat(u"Posn %ld: a path of %lld bytes, longer than %d, ending in: ", nPosn,
                         (long long)nPathBytes, kStateMaxPathBytes);
        err += NameStart(own);
        return false;
    }
    return true;
}

int64_t StateRecordBytes(const CWideString& name, const CSideInfo& rec, const CGenArray& gens) {
    return kStateRecordBaseBytes + 2 * ((int64_t)name.GetLength() + rec.m_sId.GetLength()) +
           (int64_t)sizeof(CSyncTime) * gens.GetSize();
}

void CStateReadBounds::Begin(CSyncTreeNode* pFolder, int64_t nMaxMemory) {
    m_nMemory = 0;
    m_nMaxMemory = nMaxMemory;
    m_bOverMemory = false;
    m_PathBytes.assign((size_t)kStateMaxDepth + 2, 0);
    m_PathBytes[0] = pFolder && pFolder->GetParent() ? StateUtf8Bytes(pFolder->GetPath()) : 0;
}

bool CStateReadBounds::Check(const ZorInStream& in, int nDepth, const CWideString& name, const CSideInfo& rec,
                             const CGenArray& gens, CWideString& err) {
    if (m_PathBytes.empty()) Begin(nullptr, kStateMaxReadMemory);
    // The file's first record stands for the read folder: its name is not
    // part of any path. A flat-form record (depth -1) holds its path below it.
    if (nDepth != 0) {
        const size_t nAt = nDepth < 0 ? 0 : std::min((size_t)nDepth, m_PathBytes.size() - 1);
        const int64_t nParent = m_PathBytes[nDepth < 0 ? 0 : nAt - 1];
        int64_t nPath = 0;
        if (!CheckStateRecordPath(name, rec.m_sId, nParent, nPath, in.GetPosn(), err)) return false;
        if (nDepth > 0) m_PathBytes[nAt] = nPath;
    }
    m_nMemory += StateRecordBytes(name, rec, gens);
    if (m_nMemory > m_nMaxMemory) {
        m_bOverMemory = true;
        err.AppendFormat(u"Posn %ld: state file records take more than %lld bytes, not read", in.GetPosn(),
                         (long long)m_nMaxMemory);
        return false;
    }
    return true;
}

bool CStateFileIo::CheckRecordBounds(const ZorInStream& in, int nDepth, const CWideString& name,
                                     const StateFile& rec, const CGenArray& gens, CWideString& err) {
    if (!m_bBoundsBegun) {
        m_Bounds.Begin(m_pBoundsFolder, m_nMaxReadMemory);
        m_bBoundsBegun = true;
    }
    if (m_Bounds.Check(in, nDepth, name, rec, gens, err)) return true;
    if (m_Bounds.IsOverMemory()) m_bOverMemory = true;
    return false;
}
