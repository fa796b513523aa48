// Writing a state file: in one run of records, or in segments that a later
// write of the same side can take again when their records did not change.
#include "state-file.h"

#include "zor-debug.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// A written record is collected here and handed to the stream in blocks.
constexpr int kWriteBlock = 64 * 1024;

} // namespace

// ---------------------------------------------------------------- writing
bool CStateFileIo::HasStateToWrite(int nSide, const CWideString& sFolderPath) {
    if (sFolderPath.IsEmpty()) return m_pTree != nullptr;
    CWideString e;
    CSyncTreeNode* pNode = CSyncTreeNode::LookupCS(m_pTree, sFolderPath, m_bCaseSensitive, nullptr, e);
    return pNode && pNode->GetItem().m_aOld[nSide].IsPresentBit();
}

CSyncTreeNode* CStateFileIo::BeginStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath,
                                              CWideString& err) {
    CSyncTreeNode* pNode = m_pTree;
    if (!sFolderPath.IsEmpty()) {
        CWideString e;
        pNode = CSyncTreeNode::LookupCS(m_pTree, sFolderPath, m_bCaseSensitive, nullptr, e);
    }
    if (!pNode) {
        err += u"null root";
        return nullptr;
    }
    if (pNode->GetParent() && !pNode->GetItem().m_aOld[nSide].IsPresentBit()) {
        // Such a file would hold the header alone.
        err += u"the folder has no state of its own on this side: ";
        err += sFolderPath;
        return nullptr;
    }
    if (!out.PutChar('^', err)) return nullptr;
    StateFileHeader hdr;
    hdr.m_nA = 9;
    hdr.m_nB = 2;
    hdr.m_nC = 9;
    hdr.m_nMajor = kStateFileVerMajor;
    hdr.m_nMinor = kStateFileVerMinor;
    hdr.m_bS = false;
    if (sFolderPath.IsEmpty()) hdr.m_nVerified = m_anWriteVerified[nSide & 1];
    return hdr.Write(out, err) ? pNode : nullptr;
}

bool CStateFileIo::WriteStateStream(ZorOutStream& out, int nSide, const CWideString& sFolderPath,
                                    CWideString& err) {
    CSyncTreeNode* pNode = BeginStateStream(out, nSide, sFolderPath, err);
    return pNode && WriteStateNode(out, nSide, pNode, err);
}

bool CStateFileIo::WriteStateNode(ZorOutStream& out, int nSide, CSyncTreeNode* pNode, CWideString& err) {
    std::string buf;
    buf.reserve(kWriteBlock + 4096);
    if (!WriteNodeInto(buf, out, nSide, pNode, err)) return false;
    return buf.empty() || out.Write(buf.data(), (int)buf.size(), err);
}

bool CStateFileIo::WriteNodeInto(std::string& buf, ZorOutStream& out, int nSide, CSyncTreeNode* pNode,
                                 CWideString& err) {
    const CSyncPairAndAction& item = pNode->GetItem();
    if (pNode->GetParent() && !item.m_aOld[nSide].IsPresentBit()) return true;
    buf.push_back('\n');
    AppendSideRecord(buf, item.m_aOld[nSide], pNode->GetNameRef(), item.GetSavedTime(nSide),
                     item.GetSavedLen(nSide), item.m_aGens[nSide], item.m_aOldIdent[nSide], item.Digest(nSide),
                     RecordMark(item, nSide));
    buf.push_back('<');
    if ((int)buf.size() >= kWriteBlock) {
        if (!out.Write(buf.data(), (int)buf.size(), err)) return false;
        buf.clear();
    }
    if (pNode->IsContainer()) {
        CSyncLevelIter it(pNode);
        for (bool b = it.IsValid(); b; b = it.Next())
            if (!WriteNodeInto(buf, out, nSide, it.GetNode(), err)) return false;
    }
    buf.push_back('>');
    return true;
}

// ---------------------------------------------------------------- segmented writing
//
// The file's text after the header is a run of records in tree order, each
// written as its owed ">"s (closings of the nodes before it), LF, the record
// and "<", then the closings of the last nodes. The run is cut into segments;
// a segment is kept as the values each of its records was written from. A
// later write whose records compare equal, field by written field and with
// the same closings, produces the same text for them, so that segment's
// compressed bytes stand for it.

namespace {
// Text bytes of a segment that is being written fresh: cut at the next
// record once it holds this much and no earlier segment can follow; cut at
// four times as much in any case.
constexpr size_t kSegmentBytes = 256 * 1024;
// Segments ahead of the next one looked at when a fresh segment seeks to
// meet the earlier write again.
constexpr size_t kSegmentLookAhead = 4;
} // namespace

struct CStateFileIo::SWriteSegments {
    struct SRec {
        CSideInfo rec;
        CWideString name;
        CGenArray gens;
        CSyncTime tSaved;
        CItemLen savedLen;
        uint32_t nIdent = 0;
        uint64_t nDigest = 0;
        uint32_t nMark = 0;
        uint32_t nCloses = 0; // ">" written before the record
        // The node written from: where a segment begins, it tells the same
        // record in another place (equal names in other folders) apart.
        const CSyncTreeNode* pNode = nullptr;
    };
    struct SSegment {
        std::vector<SRec> recs;
        std::shared_ptr<ZorGzBlockFileStream::Segment> pDeflated;
    };
    CWideString sFolder;
    std::vector<SSegment> segments;
};

namespace {

bool SameText(const CWideString& a, const CWideString& b) {
    return a.GetString() == b.GetString() || a == b;
}

} // namespace

class CStateFileIo::CSegmentWriter {
public:
    using SRec = SWriteSegments::SRec;
    using SSegment = SWriteSegments::SSegment;

    CSegmentWriter(ZorGzBlockFileStream& out, int nSide, SWriteSegments& old, CWideString& err)
        : m_out(out), m_nSide(nSide), m_old(old), m_err(err) {
        m_buf.reserve(kWriteBlock + 4096);
    }

    // Writes the node and its subtree (a node other than the first whose
    // record lacks its present bit is left out with its subtree).
    bool Walk(CSyncTreeNode* pNode, bool bFirst) {
        const CSyncPairAndAction& item = pNode->GetItem();
        if (!bFirst && !item.m_aOld[m_nSide].IsPresentBit()) return true;
        if (!Record(pNode)) return false;
        if (pNode->IsContainer()) {
            CSyncLevelIter it(pNode);
            for (bool b = it.IsValid(); b; b = it.Next())
                if (!Walk(it.GetNode(), false)) return false;
        }
        ++m_nOwedCloses;
        return true;
    }

    // Ends the last segment and writes the closings owed after it.
    bool Finish() {
        if (m_mode == kMatching && !FreshFromMatched()) return false;
        if (m_mode == kFresh && !EndFresh()) return false;
        m_buf.append(m_nOwedCloses, '>');
        m_nOwedCloses = 0;
        return FlushText();
    }

    SWriteSegments m_new; // what this write leaves for the next
    int m_nReused = 0;    // segments taken again

private:
    enum EMode { kBoundary, kMatching, kFresh };

    bool Same(const SRec& r, CSyncTreeNode* pNode, uint32_t nCloses) const {
        const CSyncPairAndAction& item = pNode->GetItem();
        const CSideInfo& o = item.m_aOld[m_nSide];
        return r.nCloses == nCloses && r.rec.m_tFile == o.m_tFile && r.rec.m_Len == o.m_Len &&
               r.rec.m_tAccu == o.m_tAccu && r.rec.m_nAttr == o.m_nAttr && r.rec.IsFolder() == o.IsFolder() &&
               r.rec.m_nStamp == o.m_nStamp && r.nIdent == item.m_aOldIdent[m_nSide] &&
               r.rec.GetFlag(SIF_DIGEST) == o.GetFlag(SIF_DIGEST) &&
               (!o.GetFlag(SIF_DIGEST) || r.nDigest == item.Digest(m_nSide)) &&
               r.nMark == RecordMark(item, m_nSide) &&
               r.tSaved == item.GetSavedTime(m_nSide) && r.savedLen == item.GetSavedLen(m_nSide) &&
               r.gens == item.m_aGens[m_nSide] && SameText(r.name, pNode->GetNameRef()) &&
               SameText(r.rec.m_sId, o.m_sId);
    }
    bool Usable(size_t i) const {
        if (i >= m_old.segments.size()) return false;
        const SSegment& s = m_old.segments[i];
        return !s.recs.empty() && s.pDeflated && s.pDeflated->IsComplete();
    }

    bool Record(CSyncTreeNode* pNode) {
        const uint32_t nCloses = m_nOwedCloses;
        m_nOwedCloses = 0;
        if (m_mode == kFresh) {
            // Meets the earlier write again where one of its next segments begins.
            bool bCut = false;
            for (size_t k = 0; k < kSegmentLookAhead && !bCut && m_iOld + k < m_old.segments.size(); ++k) {
                const SSegment* s = Usable(m_iOld + k) ? &m_old.segments[m_iOld + k] : nullptr;
                if (s && s->recs[0].pNode == pNode && Same(s->recs[0], pNode, nCloses)) {
                    m_iOld += k;
                    bCut = true;
                }
            }
            if (!bCut)
                bCut = m_nFreshBytes >= 4 * kSegmentBytes ||
                       (m_nFreshBytes >= kSegmentBytes && m_iOld >= m_old.segments.size());
            if (bCut && !EndFresh()) return false;
        }
        if (m_mode == kBoundary) {
            while (m_iOld < m_old.segments.size() && !Usable(m_iOld)) ++m_iOld;
            if (m_iOld < m_old.segments.size()) {
                m_mode = kMatching;
                m_nMatched = 0;
            } else if (!BeginFresh()) {
                return false;
            }
        }
        if (m_mode == kMatching) {
            SSegment& s = m_old.segments[m_iOld];
            if (Same(s.recs[m_nMatched], pNode, nCloses)) {
                if (++m_nMatched < s.recs.size()) return true;
                // The whole segment reads as before.
                if (!FlushText() || !m_out.PutSegment(s.pDeflated, m_err)) return false;
                m_new.segments.push_back(std::move(s));
                ++m_nReused;
                ++m_iOld;
                m_mode = kBoundary;
                return true;
            }
            if (!FreshFromMatched()) return false;
        }
        return AppendNode(pNode, nCloses);
    }

    // The records of the segment being compared that matched so far start
    // a fresh segment (the segment itself is not used any more).
    bool FreshFromMatched() {
        SSegment& s = m_old.segments[m_iOld++];
        if (!BeginFresh()) return false;
        for (size_t i = 0; i < m_nMatched; ++i) {
            SRec& r = s.recs[i];
            if (!AppendText(r.rec, r.name, r.tSaved, r.savedLen, r.gens, r.nIdent, r.nDigest, r.nMark, r.nCloses))
                return false;
            m_cur.recs.push_back(std::move(r));
        }
        m_nMatched = 0;
        return true;
    }

    bool AppendNode(CSyncTreeNode* pNode, uint32_t nCloses) {
        const CSyncPairAndAction& item = pNode->GetItem();
        SRec r;
        r.rec = item.m_aOld[m_nSide];
        r.name = pNode->GetNameRef();
        r.gens = item.m_aGens[m_nSide];
        r.tSaved = item.GetSavedTime(m_nSide);
        r.savedLen = item.GetSavedLen(m_nSide);
        r.nIdent = item.m_aOldIdent[m_nSide];
        r.nDigest = item.Digest(m_nSide);
        r.nMark = RecordMark(item, m_nSide);
        r.nCloses = nCloses;
        r.pNode = pNode;
        if (!AppendText(r.rec, r.name, r.tSaved, r.savedLen, r.gens, r.nIdent, r.nDigest, r.nMark, nCloses))
            return false;
        m_cur.recs.push_back(std::move(r));
        return true;
    }

    bool AppendText(const CSideInfo& rec, const CWideString& name, CSyncTime tSaved, const CItemLen& savedLen,
                    const CGenArray& gens, uint32_t nIdent, uint64_t nDigest, uint32_t nMark, uint32_t nCloses) {
        const size_t nBefore = m_buf.size();
        m_buf.append(nCloses, '>');
        m_buf.push_back('\n');
        AppendSideRecord(m_buf, rec, name, tSaved, savedLen, gens, nIdent, nDigest, nMark);
        m_buf.push_back('<');
        m_nFreshBytes += m_buf.size() - nBefore;
        return m_buf.size() < (size_t)kWriteBlock || FlushText();
    }

    bool FlushText() {
        if (m_buf.empty()) return true;
        const bool bOk = m_out.Write(m_buf.data(), (int)m_buf.size(), m_err);
        m_buf.clear();
        return bOk;
    }

    bool BeginFresh() {
        if (!FlushText() || !m_out.BeginSegment(m_err)) return false;
        m_cur = SSegment();
        m_nFreshBytes = 0;
        m_mode = kFresh;
        return true;
    }

    bool EndFresh() {
        if (!FlushText() || !m_out.EndSegment(m_cur.pDeflated, m_err)) return false;
        m_new.segments.push_back(std::move(m_cur));
        m_cur = SSegment();
        m_mode = kBoundary;
        return true;
    }

    ZorGzBlockFileStream& m_out;
    const int m_nSide;
    SWriteSegments& m_old;
    CWideString& m_err;
    std::string m_buf;          // text not yet handed to the stream
    uint32_t m_nOwedCloses = 0; // ">" owed before the next record
    EMode m_mode = kBoundary;
    size_t m_iOld = 0;        // the earlier segment looked at next
    size_t m_nMatched = 0;    // its records matched so far
    SSegment m_cur;           // the fresh segment being written
    size_t m_nFreshBytes = 0; // its text bytes
};

// Here, where the kept segments are a complete type.
CStateFileIo::CStateFileIo(CSyncPairsAndActions* pTree) : m_pTree(pTree) {}

CStateFileIo::~CStateFileIo() = default;

void CStateFileIo::DropWriteSegments() {
    m_apWriteSegments[0].reset();
    m_apWriteSegments[1].reset();
}

bool CStateFileIo::WriteStateStreamReusing(ZorGzBlockFileStream& out, int nSide,
                                           const CWideString& sFolderPath, CWideString& err) {
    nSide = nSide ? 1 : 0;
    CSyncTreeNode* pNode = BeginStateStream(out, nSide, sFolderPath, err);
    if (!pNode) return false;
    std::unique_ptr<SWriteSegments> pOld = std::move(m_apWriteSegments[nSide]);
    if (!pOld || pOld->sFolder != sFolderPath) pOld = std::make_unique<SWriteSegments>();
    CSegmentWriter writer(out, nSide, *pOld, err);
    m_anSegmentsReused[nSide] = 0;
    if (!writer.Walk(pNode, true) || !writer.Finish()) return false;
    m_anSegmentsReused[nSide] = writer.m_nReused;
    // Kept only after a whole write (a segment is taken again only once
    // every block of it reached the file).
    writer.m_new.sFolder = sFolderPath;
    m_apWriteSegments[nSide] = std::make_unique<SWriteSegments>(std::move(writer.m_new));
    return true;
}
