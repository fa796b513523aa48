// The state file's tree parser (on a thread of its own beside the merge)
// and the reading of a whole state file into the sync tree.
#include "state-file.h"

#include "sync-progress.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-locstr.h"
#include "zor-tic.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Message kinds of the run messages written here.
constexpr int kMsgStateNewer = 7140;
constexpr int kMsgStateParseFailed = 7141;

bool AnyChildPresent(CSyncTreeNode* pNode, int nSide) {
    CSyncLevelIter it(pNode);
    for (bool b = it.IsValid(); b; b = it.Next())
        if (it.GetItem()->m_aOld[nSide].IsPresentBit()) return true;
    return false;
}

// The text of a state file, read in place from another stream's buffer, up
// to a number of bytes: a file whose text goes on past them fails with an
// error (whatever the reader was reading then), so that no field of it,
// however long, is read past the bound. On destruction the other stream is
// left after the bytes taken.
class CBoundedInStream : public ZorInStream {
public:
    CBoundedInStream(ZorInStream& in, int64_t nMax) : m_In(in), m_nMax(nMax), m_nLeft(nMax) {}
    ~CBoundedInStream() override { Settle(); }
    CBoundedInStream(const CBoundedInStream&) = delete;
    CBoundedInStream& operator=(const CBoundedInStream&) = delete;

    void UngetChar(unsigned char ch) override {
        if (m_nPosn > 0) --m_nPosn;
        if (m_pRd > m_pStart) {
            --m_pRd; // in the window borrowed
            return;
        }
        Settle();
        m_In.UngetChar(ch);
        ++m_nLeft;
    }
    bool IsEof() override {
        if (m_pRd < m_pRdEnd) return false;
        Settle();
        return m_In.IsEof();
    }

protected:
    bool GetCharSlow(unsigned char& ch, CWideString& err) override {
        Settle();
        if (m_nLeft <= 0) {
            unsigned char next;
            if (m_In.PeekChar(next, err)) {
                err.AppendFormat(u"Posn %ld: state file text is larger than %lld bytes, not read", m_nPosn,
                                 (long long)m_nMax);
                m_bError = true;
            } else {
                m_bError = m_In.HasError();
            }
            return false;
        }
        if (!m_In.GetChar(ch, err)) {
            m_bError = m_In.HasError();
            return false;
        }
        ++m_nPosn;
        --m_nLeft;
        // What the stream has ready now is borrowed, up to the bound.
        int n = 0;
        const unsigned char* p = m_In.GetReady(n);
        if ((int64_t)n > m_nLeft) n = (int)m_nLeft;
        m_pStart = m_pRd = p;
        m_pRdEnd = p + n;
        return true;
    }

private:
    // Takes the bytes read from the borrowed window from the stream.
    void Settle() {
        const int n = (int)(m_pRd - m_pStart);
        if (n > 0) {
            m_In.TakeReady(n);
            m_nLeft -= n;
        }
        m_pStart = m_pRd = m_pRdEnd = nullptr;
    }

    ZorInStream& m_In;
    const int64_t m_nMax;
    int64_t m_nLeft; // bytes that may still be taken, not counting the window's
    const unsigned char* m_pStart = nullptr;
};

} // namespace

bool CStateFileIo::CountRecord(const ZorInStream& in, CWideString& err) {
    if (++m_nReadRecords <= m_nMaxReadRecords) return true;
    m_bOverRecords = true;
    err.AppendFormat(u"Posn %ld: state file holds more than %lld records, not read", in.GetPosn(),
                     (long long)m_nMaxReadRecords);
    return false;
}

// ---------------------------------------------------------------- pipelined tree read
// Parses the tree form on its own thread while the caller merges what was
// parsed into the sync tree. The steps come in file order: a record, the end
// of a record's children, or the parse error that ended the parse. Each step
// carries the error text the parse appended before it, so that the caller's
// text grows exactly as in a read on one thread. The stream belongs to the
// parsing thread until the parser is destroyed.
class CStateFileIo::CTreeParser {
public:
    struct Step {
        enum Kind : uint8_t { kRecord, kEnd, kError };
        Kind nKind = kError;
        StateFile rec;
        CWideString name;
        CSyncTime tSaved;
        CItemLen savedLen;
        CGenArray gens;
        CWideString err;
    };

    CTreeParser(ZorInStream& in, int64_t nMaxRecords, CSyncTreeNode* pFolder, int64_t nMaxMemory)
        : m_In(in), m_nMaxRecords(nMaxRecords) {
        m_Bounds.Begin(pFolder, nMaxMemory);
    }
    ~CTreeParser() {
        {
            std::lock_guard<std::mutex> l(m_Mutex);
            m_bCancel = true;
        }
        m_Cv.notify_all();
        if (m_Thread.joinable()) m_Thread.join();
    }
    // False when no thread could be started (nothing was read).
    bool Start(int nDepth) {
        try {
            m_Thread = std::thread([this, nDepth] {
                ParseNode(nDepth);
                Flush(true);
            });
        } catch (...) {
            return false;
        }
        return true;
    }
    // The next step (waiting for it); it stays valid until Pop.
    Step& Peek() {
        if (m_nAt >= m_Batch.size()) {
            // The batch taken goes back to the parsing thread, which empties
            // it there (what its steps still hold was allocated there) and
            // fills it again.
            std::vector<Step> spent = std::move(m_Batch);
            m_Batch.clear();
            m_nAt = 0;
            std::unique_lock<std::mutex> l(m_Mutex);
            if (spent.capacity() != 0 && !m_bDone) m_Spent.push_back(std::move(spent));
            if (m_Ready.empty() && !m_bDone) {
                m_bReaderWaits = true;
                m_Cv.wait(l, [&] { return !m_Ready.empty() || m_bDone; });
                m_bReaderWaits = false;
            }
            if (m_Ready.empty()) {
                // Cannot happen: the parse ends with the file's last step.
                m_Batch.emplace_back();
                m_Batch.back().err = u"state file parse ended early";
            } else {
                m_Batch = std::move(m_Ready.front());
                m_Ready.pop_front();
                m_nReadyBytes -= m_ReadyBytes.front();
                m_ReadyBytes.pop_front();
                if (m_bParserWaits) m_Cv.notify_all();
            }
        }
        return m_Batch[m_nAt];
    }
    void Pop() { ++m_nAt; }
    // Whether the parse ended at the record bound, or at the memory bound
    // (once the parse ended).
    bool IsOverRecords() const { return m_bOverRecords; }
    bool IsOverMemory() const { return m_bOverMemory; }

private:
    // The first batches are small, so that the reader starts soon; later
    // ones are larger, so that the threads wake each other less often.
    static constexpr size_t kFirstBatch = 128;
    static constexpr size_t kMaxBatch = 4096;
    static constexpr size_t kMaxBatches = 4;
    // The same in the memory their records take (StateRecordBytes): a
    // batch is handed over at kMaxBatchBytes, and the parse waits while
    // kMaxReadyBytes are not yet taken.
    static constexpr int64_t kMaxBatchBytes = 4 << 20;
    static constexpr int64_t kMaxReadyBytes = 16 << 20;

    Step& Add(Step::Kind nKind) {
        if (m_Out.capacity() < m_nBatch + 1) m_Out.reserve(m_nBatch + 1); // a batch never moves its steps
        m_Out.emplace_back();
        Step& s = m_Out.back();
        s.nKind = nKind;
        s.err = std::move(m_Err); // leaves it empty
        return s;
    }
    // Hands the collected steps over; false when the reader is gone.
    bool Flush(bool bLast) {
        std::unique_lock<std::mutex> l(m_Mutex);
        if (!m_Out.empty()) {
            const auto full = [&] {
                return !m_Ready.empty() && (m_Ready.size() >= kMaxBatches || m_nReadyBytes >= kMaxReadyBytes);
            };
            if (!m_bCancel && full()) {
                m_bParserWaits = true;
                m_Cv.wait(l, [&] { return m_bCancel || !full(); });
                m_bParserWaits = false;
            }
            if (!m_bCancel) {
                m_Ready.push_back(std::move(m_Out));
                m_ReadyBytes.push_back(m_nOutBytes);
                m_nReadyBytes += m_nOutBytes;
            }
            m_Out.clear();
            m_nOutBytes = 0;
            if (m_nBatch < kMaxBatch) m_nBatch *= 2;
        }
        if (bLast) m_bDone = true;
        if (m_bReaderWaits || bLast || m_bCancel) m_Cv.notify_all();
        const bool bOk = !m_bCancel;
        std::vector<Step> next;
        if (!m_Spent.empty()) {
            next = std::move(m_Spent.back());
            m_Spent.pop_back();
        }
        l.unlock();
        next.clear();
        m_Out = std::move(next);
        return bOk;
    }
    bool Fail() {
        Add(Step::kError);
        return false;
    }
    // The grammar of ReadNodeTree.
    bool ParseNode(int nDepth) {
        if (nDepth > kStateMaxDepth) {
            m_Err.AppendFormat(u"Posn %ld: state file nodes nested deeper than %d levels", m_In.GetPosn(),
                               kStateMaxDepth);
            return Fail();
        }
        unsigned char ch;
        if (m_In.GetChar(ch, m_Err)) {
            if (ch != '\n') m_In.UngetChar(ch);
        } else if (m_In.HasError()) {
            return Fail();
        }
        if (++m_nRecords > m_nMaxRecords) {
            m_bOverRecords = true;
            m_Err.AppendFormat(u"Posn %ld: state file holds more than %lld records, not read", m_In.GetPosn(),
                               (long long)m_nMaxRecords);
            return Fail();
        }
        {
            Step& s = Add(Step::kRecord);
            if (!s.rec.ReadNode(m_In, s.name, s.tSaved, s.savedLen, s.gens, m_Err) ||
                !m_Bounds.Check(m_In, nDepth, s.name, s.rec, s.gens, m_Err)) {
                if (m_Bounds.IsOverMemory()) m_bOverMemory = true;
                s.nKind = Step::kError; // the text so far, then what the record's parse added
                s.err += m_Err;
                m_Err.Empty();
                return false;
            }
            m_nOutBytes += StateRecordBytes(s.name, s.rec, s.gens);
        }
        if ((m_Out.size() >= m_nBatch || m_nOutBytes >= kMaxBatchBytes) && !Flush(false)) return false;
        if (!GetTicPrefix(m_In, '<', m_Err)) return Fail();
        for (;;) {
            if (!m_In.GetChar(ch, m_Err)) {
                if (!m_In.HasError())
                    m_Err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", m_In.GetPosn());
                return Fail();
            }
            if (ch == '>') break;
            m_In.UngetChar(ch);
            if (!ParseNode(nDepth + 1)) return false;
        }
        Add(Step::kEnd);
        return true;
    }

    CStateReadBounds m_Bounds; // parsing thread
    ZorInStream& m_In;
    const int64_t m_nMaxRecords;
    int64_t m_nRecords = 0;
    std::atomic<bool> m_bOverRecords{false};
    std::atomic<bool> m_bOverMemory{false};
    CWideString m_Err;       // appended since the last step
    std::vector<Step> m_Out; // parsing thread: steps not yet handed over
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::deque<std::vector<Step>> m_Ready;
    std::deque<int64_t> m_ReadyBytes; // the memory of each ready batch's records
    int64_t m_nReadyBytes = 0;
    int64_t m_nOutBytes = 0;                // parsing thread: of the steps in m_Out
    std::vector<std::vector<Step>> m_Spent; // taken by the reader, to be filled again
    size_t m_nBatch = kFirstBatch;          // parsing thread: steps in the next batch
    bool m_bDone = false;
    bool m_bCancel = false;
    bool m_bReaderWaits = false, m_bParserWaits = false;
    std::vector<Step> m_Batch; // reader: the batch being taken
    size_t m_nAt = 0;
    std::thread m_Thread;
};

bool CStateFileIo::ParseStateFile(ZorInStream& inFile, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                                  StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    bVersionError = false;
    m_bStopped = false;
    const int nErrStart = err.GetLength();
    m_Journal.clear();
    m_Journaled.clear();
    m_Fresh.clear();
    m_MergedAt.assign(m_bMergeInOrder ? (size_t)kStateMaxDepth + 2 : 0, nullptr);
    m_bJournal = true;
    m_nReadRecords = 0;
    m_bOverRecords = false;
    m_bOverMemory = false;
    m_bBoundsBegun = false;
    m_pBoundsFolder = pFolder;
    CBoundedInStream in(inFile, m_nMaxReadBytes);
    m_nAgeLimit =
        m_bCleanupOldGenerations ? std::max<int64_t>(0, m_nSaveMonthsOldGens) * kStateSecondsPerMonth : 0;

    bool ok = false;
    unsigned char ch = 0;
    if (!pFolder) {
        err += u"null folder node";
    } else if (!in.GetChar(ch, err)) {
        if (!in.HasError()) err += u"bad 1st char of state file: end of input";
    } else if (ch == '^') {
        if (hdr.Read(in, err)) {
            if (!pFolder->GetParent()) m_anReadVerified[nSide & 1] = hdr.m_nVerified;
            if (CheckVersion(hdr, bVersionError, err)) {
                unsigned char next;
                if (!in.PeekChar(next, err)) {
                    // Nothing after the header: a folder without state.
                    ok = !in.HasError();
                } else {
                    // The records are parsed on a second thread while this
                    // one merges them into the tree.
                    CTreeParser parser(in, m_nMaxReadRecords, pFolder, m_nMaxReadMemory);
                    if (parser.Start(0)) {
                        ok = ReadNodeTreePiped(parser, nSide, m_nAgeLimit, nullptr, pFolder, bMayShift, 0,
                                               false, err);
                        if (!ok && parser.IsOverRecords()) m_bOverRecords = true;
                        if (!ok && parser.IsOverMemory()) m_bOverMemory = true;
                    } else
                        ok = ReadStateNode(in, nSide, m_nAgeLimit, nullptr, pFolder, bMayShift, 0, err);
                }
            }
        }
    } else if (ch == '<') {
        ok = ParseFlat(in, nSide, pFolder, bMayShift, hdr, bVersionError, err);
    } else {
        err += u"bad 1st char of state file: ";
        err.AppendChar((char16_t)ch);
    }

    m_bJournal = false;
    // A read past its memory is one past its records to the caller.
    if (!ok && m_bOverMemory) m_bOverRecords = true;
    if (!ok) {
        if (pFolder && !pFolder->GetParent()) m_anReadVerified[nSide & 1] = 0;
        RollBack(nSide);
        if (!bVersionError && !m_bStopped && !(m_bOverRecords && m_bQuietOverRecords)) {
            CWideString s = GetSideName(nSide);
            s += u": cannot parse state file, its records are not used: ";
            s += err.Mid(nErrStart);
            s += u"\n";
            Log(1, kMsgStateParseFailed, s);
        }
    }
    m_Journal.clear();
    m_Journal.shrink_to_fit();
    m_Journaled = {};
    m_Fresh.clear();
    m_Fresh.shrink_to_fit();
    m_MergedAt.clear();     // the nodes may go before the next read
    m_bBoundsBegun = false; // a read begun otherwise starts below the tree root
    m_pBoundsFolder = nullptr;
    return ok;
}

bool CStateFileIo::ReadStateStream(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                                   int nPresetA, int& errKind, CWideString& err) {
    StateFileHeader hdr;
    hdr.m_nA = (uint16_t)nPresetA;
    bool bVersionError = false;
    if (ParseStateFile(in, nSide, pFolder, bMayShift, hdr, bVersionError, err)) return true;
    errKind = bVersionError ? ZEK_GENERAL : m_bStopped ? ZEK_STOPPED : ZEK_NONE;
    return false;
}

bool CStateFileIo::ParseFlat(ZorInStream& in, int nSide, CSyncTreeNode* pFolder, bool bMayShift,
                             StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    const int64_t nAge = std::max<int64_t>(0, m_nSaveMonthsOldGens) * kStateSecondsPerMonth;
    for (;;) {
        unsigned char ch;
        bool bEnd = false;
        for (int k = 0; k < 3; k++) {
            if (!in.GetChar(ch, err)) {
                if (!in.HasError())
                    err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", in.GetPosn());
                return false;
            }
            if (ch == '>') {
                bEnd = true;
                break;
            }
            if (k < 2 && (ch == '\n' || ch == '\r')) continue;
            in.UngetChar(ch);
            break;
        }
        if (bEnd) break;
        if (!CheckStop(err)) return false;

        StateFile rec;
        CWideString name;
        CSyncTime tSaved;
        CItemLen savedLen;
        CGenArray gens;
        if (!CountRecord(in, err) || !rec.ReadNode(in, name, tSaved, savedLen, gens, err) ||
            !CheckRecordBounds(in, -1, name, rec, gens, err))
            return false;
        if (m_bCleanupOldGenerations && PruneGenerations(gens, nAge) && !rec.Exists() && !rec.IsFolder())
            continue;
        if (rec.Exists() && !bMayShift && rec.m_tFile != rec.m_tAccu) {
            rec.m_tAccu = rec.m_tFile;
            rec.SetFlag(SIF_CORRECTED, true);
        }
        bool bDup = false;
        CWideString e;
        CSyncTreeNode* pNode = SetNodeCS(name, nSide, pFolder, -1, true, false, hdr.m_nA, rec, bDup, e);
        if (!pNode) {
            err += u"Cannot add tree node: ";
            err += EscapeControlChars(name);
            err += u": ";
            err += e;
            return false;
        }
        CSyncPairAndAction& item = pNode->GetItem();
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pNode, nSide, bDup, pNode->GetDepth(pFolder), rec, gens);
    }
    return hdr.Read(in, err) && CheckVersion(hdr, bVersionError, err);
}

bool CStateFileIo::CheckVersion(const StateFileHeader& hdr, bool& bVersionError, CWideString& err) {
    if (hdr.m_nMajor > kStateFileVerMajor) {
        err.AppendFormat(
            u"State file format ver %d.%d is not handled by this Torvane who handles only ver %d.%d, "
            u"upgrade Torvane to the latest version",
            hdr.m_nMajor, hdr.m_nMinor, kStateFileVerMajor, kStateFileVerMinor);
        bVersionError = true;
        return false;
    }
    if (hdr.m_nMajor == kStateFileVerMajor && hdr.m_nMinor > kStateFileVerMinor) {
        CWideString s;
        s.Format(u"State file format ver %d.%d is newer than ver %d.%d handled by this Torvane, upgrade "
                 u"Torvane to "
                 u"the latest version",
                 hdr.m_nMajor, hdr.m_nMinor, kStateFileVerMajor, kStateFileVerMinor);
        Log(2, kMsgStateNewer, s + u"\n");
    }
    return true;
}

bool CStateFileIo::ReadStateNode(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                                 CSyncTreeNode* pFolder, bool bMayShift, int nDepth, CWideString& err) {
    return ReadNodeTree(in, nSide, nAgeLimit, pParent, pFolder, bMayShift, nDepth, false, err);
}

bool CStateFileIo::ReadNodeTree(ZorInStream& in, int nSide, int64_t nAgeLimit, CSyncTreeNode* pParent,
                                CSyncTreeNode* pFolder, bool bMayShift, int nDepth, bool bParentFresh,
                                CWideString& err) {
    if (nDepth > kStateMaxDepth) {
        err.AppendFormat(u"Posn %ld: state file nodes nested deeper than %d levels", in.GetPosn(),
                         kStateMaxDepth);
        return false;
    }
    unsigned char ch;
    if (in.GetChar(ch, err)) {
        if (ch != '\n') in.UngetChar(ch);
    } else if (in.HasError()) {
        return false;
    }
    StateFile rec;
    CWideString name;
    CSyncTime tSaved;
    CItemLen savedLen;
    CGenArray gens;
    if (!CountRecord(in, err) || !rec.ReadNode(in, name, tSaved, savedLen, gens, err) ||
        !CheckRecordBounds(in, nDepth, name, rec, gens, err))
        return false;
    if (!CheckStop(err)) return false;

    bool bFresh = false;
    CSyncTreeNode* pNode = ApplyTreeRecord(nSide, pParent, pFolder, bMayShift, nDepth, bParentFresh, rec,
                                           name, tSaved, savedLen, gens, bFresh, err);
    if (!pNode) return false;
    if (!GetTicPrefix(in, '<', err)) return false;
    for (;;) {
        if (!in.GetChar(ch, err)) {
            if (!in.HasError())
                err.AppendFormat(u"Posn %ld: unexpected end of input, '>' expected", in.GetPosn());
            return false;
        }
        if (ch == '>') break;
        in.UngetChar(ch);
        if (!ReadNodeTree(in, nSide, nAgeLimit, pNode, pFolder, bMayShift, nDepth + 1, bFresh, err))
            return false;
    }
    PruneAgedRecord(nSide, nAgeLimit, pNode, rec, gens);
    return true;
}

CSyncTreeNode* CStateFileIo::ApplyTreeRecord(int nSide, CSyncTreeNode* pParent, CSyncTreeNode* pFolder,
                                             bool bMayShift, int nDepth, bool bParentFresh, StateFile& rec,
                                             const CWideString& name, CSyncTime tSaved,
                                             const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                             CWideString& err) {
    bFresh = false;
    if (!pParent) return pFolder;
    if (rec.Exists() && !rec.IsFolder() && !bMayShift && !CSyncTime::IsSame(rec.m_tFile, rec.m_tAccu)) {
        rec.m_tAccu = rec.m_tFile;
        rec.SetFlag(SIF_CORRECTED, true);
    }
    // Below a node this read created, a plain name is most likely new:
    // it is added at once (what SetNodeCS does for a new node).
    CSyncTreeNode* pNode =
        bParentFresh && rec.m_sId.IsEmpty() ? AddFreshChild(pParent, name, nSide, rec) : nullptr;
    if (pNode) {
        bFresh = true;
        CSyncPairAndAction& item = pNode->GetItem();
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pNode, nSide, false, nDepth, rec, gens);
        return pNode;
    }
    return ReadMergeRecord(nSide, pParent, nDepth, name, rec, tSaved, savedLen, gens, bFresh, err);
}

void CStateFileIo::PruneAgedRecord(int nSide, int64_t nAgeLimit, CSyncTreeNode* pNode, const StateFile& rec,
                                   const CGenArray& gens) {
    if (nAgeLimit != 0 && !rec.Exists()) {
        CGenArray pruned = gens;
        if (PruneGenerations(pruned, nAgeLimit) && !AnyChildPresent(pNode, nSide)) {
            Remember(pNode, nSide);
            pNode->GetItem().m_aOld[nSide].SetPresent(false);
        }
    }
}

bool CStateFileIo::ReadNodeTreePiped(CTreeParser& parser, int nSide, int64_t nAgeLimit,
                                     CSyncTreeNode* pParent, CSyncTreeNode* pFolder, bool bMayShift,
                                     int nDepth, bool bParentFresh, CWideString& err) {
    CTreeParser::Step& step = parser.Peek();
    if (!step.err.IsEmpty()) err += step.err;
    if (step.nKind != CTreeParser::Step::kRecord) return false;
    // Kept here: the step goes when the next batch is taken. The name is
    // only read before that (by ApplyTreeRecord), so it is not copied: the
    // parsing thread, which made it, frees it, and a copy would write its
    // count from this thread.
    ++m_nReadRecords; // the parsing thread holds them to the bound
    StateFile rec = std::move(step.rec);
    const CWideString& name = step.name;
    const CSyncTime tSaved = step.tSaved;
    const CItemLen savedLen = step.savedLen;
    const CGenArray gens = std::move(step.gens);
    parser.Pop();
    if (!CheckStop(err)) return false;

    bool bFresh = false;
    CSyncTreeNode* pNode = ApplyTreeRecord(nSide, pParent, pFolder, bMayShift, nDepth, bParentFresh, rec,
                                           name, tSaved, savedLen, gens, bFresh, err);
    if (!pNode) return false;
    for (;;) {
        CTreeParser::Step& next = parser.Peek();
        const CTreeParser::Step::Kind nKind = next.nKind;
        if (nKind != CTreeParser::Step::kRecord) {
            if (!next.err.IsEmpty()) err += next.err;
            parser.Pop();
            if (nKind == CTreeParser::Step::kError) return false;
            break;
        }
        if (!ReadNodeTreePiped(parser, nSide, nAgeLimit, pNode, pFolder, bMayShift, nDepth + 1, bFresh, err))
            return false;
    }
    PruneAgedRecord(nSide, nAgeLimit, pNode, rec, gens);
    return true;
}
