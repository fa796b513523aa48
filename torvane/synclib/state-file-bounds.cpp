// The bounds of a state file's records: the length of their names and
// paths, and the memory that a read's records take.
#include "state-file.h"

#include "zor-escape.h"
#include "zor-unicode.h"

#include <algorithm>

int64_t StateUtf8Bytes(const CWideString& s) {
    int64_t n = 0;
    const char16_t* p = s.GetString();
    const int len = s.GetLength();
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

namespace {

// The start of a name too long to be shown whole.
CWideString NameStart(const CWideString& s) {
    return EscapeControlChars(s.GetLength() > 40 ? s.Left(40) + u"..." : s);
}

// Checks the components of a path (a single name has one) against a
// length and adds the bytes of each, with its separator, to nBytes.
bool CheckComponents(const CWideString& path, int64_t nMax, int64_t& nBytes, long nPosn, CWideString& err) {
    int nStart = 0;
    const int len = path.GetLength();
    while (nStart <= len) {
        int nEnd = path.Find(u'/', nStart);
        if (nEnd < 0) nEnd = len;
        if (nEnd > nStart) {
            const CWideString part = path.Mid(nStart, nEnd - nStart);
            const int64_t n = StateUtf8Bytes(part);
            if (n > nMax) {
                err.AppendFormat(u"Posn %ld: a name of %lld bytes, longer than %lld: ", nPosn, (long long)n,
                                 (long long)nMax);
                err += NameStart(part);
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

void CStateFileIo::BeginRecordBounds(CSyncTreeNode* pFolder) {
    m_nReadMemory = 0;
    m_bOverMemory = false;
    m_PathBytes.assign((size_t)kStateMaxDepth + 2, 0);
    m_PathBytes[0] = pFolder && pFolder->GetParent() ? StateUtf8Bytes(pFolder->GetPath()) : 0;
}

bool CStateFileIo::CheckRecordBounds(const ZorInStream& in, int nDepth, const CWideString& name,
                                     const StateFile& rec, const CGenArray& gens, CWideString& err) {
    if (m_PathBytes.empty()) BeginRecordBounds(nullptr);
    // The file's first record stands for the read folder: its name is not
    // part of any path. A flat-form record (depth -1) holds its path below it.
    if (nDepth != 0) {
        const size_t nAt = nDepth < 0 ? 0 : std::min((size_t)nDepth, m_PathBytes.size() - 1);
        const int64_t nParent = m_PathBytes[nDepth < 0 ? 0 : nAt - 1];
        int64_t nPath = 0;
        if (!CheckStateRecordPath(name, rec.m_sId, nParent, nPath, in.GetPosn(), err)) return false;
        if (nDepth > 0) m_PathBytes[nAt] = nPath;
    }
    m_nReadMemory += StateRecordBytes(name, rec, gens);
    if (m_nReadMemory > m_nMaxReadMemory) {
        m_bOverMemory = true;
        err.AppendFormat(u"Posn %ld: state file records take more than %lld bytes, not read", in.GetPosn(),
                         (long long)m_nMaxReadMemory);
        return false;
    }
    return true;
}
