// The pair comparison: per-side change marking, the generation comparison,
// the decision of every item's system action, the generation-list upkeep,
// the pass runners and the exclusion passes of the filter step.
#include "syncjob.h"
#include "state-file.h"
#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-unicode.h"

#include <algorithm>

namespace {

// Where users report an internal error of the decision.
const char16_t kIssuePage[] = u"the Torvane issue tracker";

CWideString NfcName(const CWideString& name) {
    CWideString s = name;
    NormalizeNameNfc(s);
    return s;
}

// A side whose files a content comparison reads itself (a local one).
bool ReadsLocally(const TvFileSys* fs) {
    return fs && fs->GetCapability(TVFS_CAP_LOCAL) && fs->GetCapability(TVFS_CAP_BLOCK_IO);
}

// The two names differ once both are in NFC (equal texts need no normalising).
bool NamesDifferNfc(const CWideString& a, const CWideString& b) {
    return a != b && NfcName(a) != NfcName(b);
}

// The item's name on a side (now, or in the old record), without a copy.
const CWideString& SideNameRef(const CSyncTreeNode* pNode, const CSideInfo& rec) {
    return rec.m_sId.IsEmpty() ? pNode->GetNameRef() : rec.m_sId;
}

// cur becomes the deleted copy of old.
void MakeDeletedCopy(CSideInfo& cur, const CSideInfo& old) {
    cur = old;
    cur.SetFlag(SIF_DIGEST, false);
    cur.m_Len.SetDeleted();
    cur.m_nAttr = 0xFFFFFFFF;
    cur.m_tFile = CSyncTime();
    cur.m_tAccu = CSyncTime();
}

} // namespace

// ---------------------------------------------------------------- pending bytes

void SetPending(CSyncPairAndAction& item, int side) {
    side &= 1;
    ZOR_ASSERT(!item.m_aPendingGen[side]);
    item.m_aPendingGen[side] = 1;
}

void AssertNotPending(const CSyncPairAndAction& item, int side) {
    ZOR_ASSERT(!item.m_aPendingGen[side & 1]);
}

void SetWinningSide(CSyncPairAndAction& item, int side) {
    side &= 1;
    item.m_aPendingGen[side] = 1;
    item.m_aPendingGen[1 - side] = 0;
}

void ClearPending(CSyncPairAndAction& item) {
    item.m_aPendingGen[0] = item.m_aPendingGen[1] = 0;
}

// ---------------------------------------------------------------- comparison

bool IsSameSideInfo(const CSideInfo& a, const CSideInfo& b) {
    if (a.IsFolder() != b.IsFolder() || a.Exists() != b.Exists()) return false;
    if ((a.IsFolder() && b.IsFolder()) || !a.Exists()) return true;
    return a.m_Len == b.m_Len && CSyncTime::IsSame(a.m_tAccu, b.m_tAccu);
}

void CompareGenerations(const CGenArray& L, const CGenArray& R, bool pL, bool pR, bool bSameNow, int& result,
                        int& how) {
    how = 0;
    const int nL = L.GetSize(), nR = R.GetSize();
    if (bSameNow && nL >= 1 && nR == 0 && pR) {
        how = 1;
        result = 1;
        return;
    }
    if (bSameNow && nR >= 1 && nL == 0 && pL) {
        how = 1;
        result = -1;
        return;
    }
    int i = 0, j = 0, lastL = -1, lastR = -1;
    bool bInexact = false, bSkipped = false;
    while (i < nL && j < nR) {
        const CSyncTime a = L[i], b = R[j];
        if (a == b) {
            lastL = i++;
            lastR = j++;
        } else if (CSyncTime::IsSame(a, b)) {
            lastL = i++;
            lastR = j++;
            bInexact = true;
        } else if (a < b) {
            bSkipped = true;
            i++;
        } else {
            bSkipped = true;
            j++;
        }
    }
    const int effL = nL + (pL ? 1 : 0), effR = nR + (pR ? 1 : 0);
    if (i < effL) {
        if (lastR < 0) {
            result = 2;
            how = 1;
        } else if (lastR >= effR - 1) {
            result = 1;
            how = 0;
        } else {
            result = 2;
            how = 2;
        }
        return;
    }
    if (j < effR) {
        if (lastL < 0) {
            result = 2;
            how = 1;
        } else if (lastL >= nL - 1) {
            result = -1;
            how = 0;
        } else {
            result = 2;
            how = 2;
        }
        return;
    }
    result = 0;
    how = (bInexact || bSkipped) ? 1 : 0;
}

// ---------------------------------------------------------------- generation lists

bool MergeGenerationsForCopy(CGenArray& L, CGenArray& R, bool pL, bool pR, int hint, int destSide) {
    if (!L.IsEmpty() && R.IsEmpty() && pR && hint <= 0) {
        if (destSide == 1) R = L;
        return true;
    }
    if (!R.IsEmpty() && L.IsEmpty() && pL && (hint == -1 || hint == 1)) {
        if (destSide == 0) L = R;
        return true;
    }
    CGenArray u;
    int i = 0, j = 0;
    const int nL = L.GetSize(), nR = R.GetSize();
    while (i < nL && j < nR) {
        const CSyncTime a = L[i], b = R[j];
        if (a == b) {
            AppendTimeIfNew(u, a);
            i++;
            j++;
        } else if (a < b) {
            AppendTimeIfNew(u, a);
            i++;
        } else {
            AppendTimeIfNew(u, b);
            j++;
        }
    }
    for (; i < nL; i++) AppendTimeIfNew(u, L[i]);
    for (; j < nR; j++) AppendTimeIfNew(u, R[j]);
    if (destSide == 0)
        L = std::move(u);
    else if (destSide == 1)
        R = std::move(u);
    else
        ZorAssertFailed(__FILE__, __LINE__, 0, "MergeGenerationsForCopy: bad side", destSide);
    return true;
}

void AddPendingGeneration(CSyncPairAndAction& item, const CSyncJob& job, int side) {
    side &= 1;
    if (!item.m_aPendingGen[side]) return;
    item.m_aPendingGen[side] = 0;
    // A new generation comes after every one the side has: a run in the
    // same second as the one before (this job's or another's over the same
    // folder) must not record its new content as the old generation.
    CGenArray& gens = item.m_aGens[side];
    CSyncTime t = job.m_aScanTime[side];
    if (!gens.IsEmpty() && t <= gens.GetLast() && gens.GetLast().GetTime() < 0xFFFFFFFEu)
        t = CSyncTime(gens.GetLast().GetTime() + 1);
    AppendTimeIfNew(gens, t);
}

CSyncTime LastGeneration(const CGenArray& gens) {
    return gens.IsEmpty() ? CSyncTime() : gens.GetLast();
}

void RemoveDuplicateGenerations(CGenArray& gens) {
    if (gens.GetSize() < 2) return;
    CGenArray out;
    for (CSyncTime t : gens) AppendTimeIfNew(out, t);
    if (out.GetSize() != gens.GetSize()) gens = std::move(out);
}

CSyncTime CurrentSyncTime() {
    return CSyncTime::Now();
}

void MarkRacyRecord(CSideInfo& rec, const CSyncJob& job, const TvFileSys* fs) {
    // A record with a stamp got its racy mark from the listing that read it.
    if (rec.FileStamp()) return;
    if (!fs || ExpectsTimeShift(fs) || !rec.Exists() || rec.IsFolder() || rec.GetFlag(SIF_LINK)) return;
    // The left scan starts first: the right one may carry a later time.
    const CSyncTime scan = job.m_aScanTime[0];
    if (scan.IsZero() || rec.m_tFile < scan || rec.m_tFile > CSyncTime::Now() || rec.m_tFile.GetTime() <= 1)
        return;
    rec.m_tFile = CSyncTime(rec.m_tFile.GetTime() - 1);
}

bool IsRacyTime(uint32_t nSeconds, uint32_t nNanoseconds, const CSideClock& clock, int64_t nNowNs) {
    if (clock.nStartNs <= 0 || nSeconds <= 1) return false;
    // A file system's clock ticks more coarsely than the nanoseconds it
    // shows (a few milliseconds): the margin covers one tick and the moment
    // the side's clock was read in. A side that keeps coarser times keeps a
    // file's time through the whole step of it.
    constexpr int64_t kTickNs = 25'000'000;
    int64_t nStep = clock.nStepNs;
    if (nStep == 0) nStep = nNanoseconds == 0 ? 2'000'000'000 : 0;
    const int64_t nMargin = std::max<int64_t>(nStep, kTickNs);
    const int64_t t = (int64_t)nSeconds * 1'000'000'000 + nNanoseconds;
    if (t + nMargin <= clock.nStartNs) return false;
    // A time ahead of the side's clock is no time a write now would give.
    return nNowNs <= 0 || t <= nNowNs + clock.nSkewNs + nMargin;
}

uint32_t IdentSeenAt(const FsItemInfo& info, int64_t nSeenMs) {
    if (!info.m_nIdent) return 0;
    // One tick of the file system's clock and the millisecond of nSeenMs,
    // as for racy times.
    constexpr int64_t kMarginNs = 25'000'000;
    const int64_t nLookNs = nSeenMs > 0 ? nSeenMs * 1'000'000 - kMarginNs : 0;
    const uint32_t d = info.m_nIdent & kIdentDigest;
    if (info.m_nIdent & kIdentBirth) {
        // The birth time took part: no later file can show this identity.
        const int64_t nBirthNs = (int64_t)info.m_nCreateTime * 1'000'000'000 + info.m_nCreateTimeNs;
        return nLookNs > 0 && nBirthNs < nLookNs ? d | kIdentBirth : d;
    }
    // No birth time: a freed inode number goes to the next file with
    // nothing to tell it apart, except that its inode changed when it was
    // made; the change marks tell (CSyncJob::NoteChangeMark).
    return d;
}

namespace {

// The sub-second parts of two stamped records differ (both stamps known).
bool StampTimesDiffer(const CSideInfo& a, const CSideInfo& b) {
    return a.FileStamp() && b.FileStamp() && ((a.m_nStamp ^ b.m_nStamp) & kStampTimeBits) != 0;
}

// Two present files carry one and the same full time: equal seconds and,
// where both sides tell them, equal sub-second parts.
bool SameFullTime(const CSideInfo& a, const CSideInfo& b) {
    return a.m_tAccu == b.m_tAccu && !StampTimesDiffer(a, b);
}

// The side's file is not the one its old record was taken of, or its inode
// changed since (another identity; another change time than the record's
// mark).
bool OtherInode(const CSyncPairAndAction& item, int s, bool bNoBirth) {
    return IdentsDiffer(item.m_aOldIdent[s], item.m_aCurIdent[s], bNoBirth) || item.NewMark(s) != 0;
}

// The side's old record is one an older version kept: without an identity
// where the file system gives one now, or without a digest and a change mark.
bool IsOlderRecord(const CSyncPairAndAction& item, int s) {
    return (!item.m_aOldIdent[s] && item.m_aCurIdent[s]) || item.m_aOld[s].GetFlag(SIF_UNMARKED);
}

// The record was kept a second back by MarkRacyRecord (records without a
// stamp) and the file still has the time it had then.
bool IsKeptBack(const CSideInfo& cur, const CSideInfo& old) {
    return cur.m_tFile == old.m_tAccu && old.m_tFile.GetTime() + 1 == old.m_tAccu.GetTime();
}

// How a side's own file tells that it changed since its record, for a plain
// file of the same length and name then and now:
enum ESoftChange {
    SOFT_NONE = 0,   // not at all, or by more than its time
    SOFT_MOVED = 1,  // its time moved, inside the tolerance or inside one second
    SOFT_RACY = 2,   // its time and identity are the record's, but the record
                     // was taken within the clock tick of that time
};
int SoftChange(const CSyncTreeNode* pNode, const CSideInfo& cur, const CSideInfo& old, bool bOtherFile) {
    if (!old.IsPresentBit() || !old.Exists() || old.IsFolder() || old.GetFlag(SIF_LINK) || !cur.Exists() ||
        cur.IsFolder() || cur.GetFlag(SIF_LINK) || cur.m_Len != old.m_Len ||
        NamesDifferNfc(SideNameRef(pNode, cur), SideNameRef(pNode, old)))
        return SOFT_NONE;
    if (cur.m_tFile == old.m_tFile) {
        // Another file at the path, of the record's size and full time (a
        // rename over it, files swapped): its bytes decide.
        if (StampTimesDiffer(cur, old) || bOtherFile) return SOFT_MOVED;
        // After a record taken clear of its file's time, a write would have
        // moved that time: another identity alone is the same file put
        // back with its time (or a file system that numbers its files anew
        // at each mount). Within the tick, a new identity is a rewrite.
        if (!old.IsRacy() || !cur.FileStamp()) return SOFT_NONE;
        return cur.FileStamp() == old.FileStamp() ? SOFT_RACY : SOFT_MOVED;
    }
    if (IsKeptBack(cur, old)) return SOFT_RACY;
    return CSyncTime::IsSame(cur.m_tFile, old.m_tFile) ? SOFT_MOVED : SOFT_NONE;
}

// Both sides hold the files the last sync left them, and that sync left
// them as one: unchanged since (no change marked, each file as its record),
// of one history and one length. Times that differ are then the ones each
// disk keeps (a disk that cannot keep the time a copy set).
bool BothAsLastSyncLeftThem(const CSyncPairAndAction& item) {
    if (item.m_aPendingGen[0] || item.m_aPendingGen[1] || item.m_aGens[0].IsEmpty() ||
        !(item.m_aGens[0] == item.m_aGens[1]))
        return false;
    for (int s = 0; s < 2; s++) {
        const CSideInfo &cur = item.m_aCur[s], &old = item.m_aOld[s];
        if (!cur.Exists() || cur.IsFolder() || cur.GetFlag(SIF_LINK) || !old.Exists() || old.IsFolder() ||
            cur.m_Len != old.m_Len || cur.m_tFile != old.m_tFile || cur.m_tAccu != old.m_tAccu)
            return false;
    }
    return item.m_aCur[0].m_Len == item.m_aCur[1].m_Len;
}

// The side's record takes what its file holds now: it did not change.
void SettleUnchanged(CSyncPairAndAction& item, int s) {
    CSideInfo& old = item.m_aOld[s];
    const CSideInfo& cur = item.m_aCur[s];
    old.m_tFile = cur.m_tFile;
    old.m_tAccu = cur.m_tAccu;
    old.m_nStamp = cur.m_nStamp;
    item.m_aOldIdent[s] = item.m_aCurIdent[s];
    item.RenewMark(s);
    item.m_aPendingGen[s] = 0;
    // Bytes read to prove it keep their digest.
    if (cur.GetFlag(SIF_DIGEST)) old.SetFlag(SIF_DIGEST, true);
    if (old.GetFlag(SIF_DIGEST) || item.m_aOldMark[s]) old.SetFlag(SIF_UNMARKED, false);
}

} // namespace

void CSyncJob::SettleMovedTimes(const CSyncTreeNode* pNode, CSyncPairAndAction& item, const bool bExact[2],
                                bool& bSameNow) {
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    const bool bFiles = bSameNow && L.Exists() && R.Exists() && !L.IsFolder() && !R.IsFolder();
    int nSame = -2; // not compared yet
    auto same = [&] {
        if (nSame == -2) nSame = bFiles ? CompareSideContents(pNode) : -1;
        return nSame;
    };
    // Whether a side changed is its own file's word. Comparing its content
    // with the other side's tells something only while that side is known
    // unchanged since the last sync, and that sync was the one both records
    // come from (the same history on both sides; a folder that another job
    // syncs too may carry a record of that job's): then both held the same
    // bytes then.
    // (As the side's own file tells it before this decision settles either
    // side: a side settled here is no evidence for the other.)
    const bool bSameHistory = item.m_aGens[0] == item.m_aGens[1];
    const bool abOtherUnchanged[2] = {bSameHistory && !item.m_aPendingGen[1], bSameHistory && !item.m_aPendingGen[0]};
    auto otherUnchanged = [&](int s) { return abOtherUnchanged[s]; };
    int soft[2] = {0, 0};
    for (int s = 0; s < 2; s++)
        if (bExact[s] && item.m_aPendingGen[s])
            soft[s] = SoftChange(pNode, item.m_aCur[s], item.m_aOld[s], OtherInode(item, s, m_abIdentNoBirth[s]));
    // A side whose record its contents settle: the proof is kept (the state
    // is saved even by a Sync with nothing else to do).
    auto settle = [&](int s) {
        SettleUnchanged(item, s);
        m_abSettledRecords[s] = true;
    };
    // A racy record whose file still shows its time and identity: changed
    // when the other side, unchanged, now holds other bytes. With the other
    // side changed as well, bytes equal to its bytes settle it; so does a
    // stamp with a sub-second time where the other side's record is not
    // racy (an unseen write would have come within one tick of the clock).
    // A stamp without one (whole-second times, a record of an older state
    // file) is no such proof, nor is either stamp where both records are
    // racy: with other bytes the item is changed on both sides.
    // A side whose record keeps the digest of its bytes is judged by its own
    // bytes, whatever the other side holds: the recorded bytes, it did not
    // change (a restored copy, a racy record whose file was not written
    // again); other bytes, it changed (another file of the recorded size and
    // time put in its place, a write within the tick).
    bool abByBytes[2] = {false, false};
    for (int s = 0; s < 2; s++) {
        if (soft[s] == SOFT_NONE) continue;
        const int n = SideMatchesDigest(const_cast<CSyncTreeNode*>(pNode), s);
        if (n < 0) continue;
        soft[s] = SOFT_NONE;
        if (n > 0)
            settle(s);
        else
            abByBytes[s] = true;
    }
    const bool abRacy[2] = {soft[0] == SOFT_RACY, soft[1] == SOFT_RACY};
    // A side changed beyond doubt: by more than its time within the tolerance.
    const bool abPlain[2] = {item.m_aPendingGen[0] && soft[0] == SOFT_NONE,
                             item.m_aPendingGen[1] && soft[1] == SOFT_NONE};
    for (int s = 0; s < 2; s++) {
        if (!abRacy[s]) continue;
        soft[s] = SOFT_NONE;
        const bool bSubSecond = (item.m_aOld[s].m_nStamp & kStampTimeBits) != 0;
        // A record that an older version kept (IsOlderRecord) can
        // show no more than that it may have been written again in its
        // second: against a plain change of the other side, that version's
        // word (unchanged) stands; against a change within the second, the
        // bytes decide.
        const bool bUpgraded = IsOlderRecord(item, s) && abPlain[1 - s];
        if (otherUnchanged(s) ? same() != 0 : (!abRacy[1 - s] && (bSubSecond || bUpgraded)) || same() > 0)
            settle(s);
    }
    // A time that moved by less than the tolerance: the bytes decide, where
    // the other side is unchanged; with both sides changed it stays a change.
    for (int s = 0; s < 2; s++) {
        if (soft[s] != SOFT_MOVED || !otherUnchanged(s)) continue;
        if (same() > 0) settle(s);
    }
    if (nSame == 0) {
        bSameNow = false;
        return;
    }
    if (bFiles && (abByBytes[0] || abByBytes[1])) {
        // Against a side that holds the recorded bytes (unchanged since the
        // record of the same sync), other bytes differ without a read;
        // else the two files' bytes tell, and bytes that cannot be read
        // are taken as different.
        const int s = abByBytes[0] ? 0 : 1;
        const bool bOtherHoldsRecord =
            !abByBytes[1 - s] && !item.m_aPendingGen[1 - s] && (item.HasDigest(1 - s) || bSameHistory);
        if (bOtherHoldsRecord || same() <= 0) bSameNow = false;
        return;
    }
    // (Two histories that differ want a look too: the other job over a
    // shared folder may have brought new bytes of the same size.)
    const bool bChanged = item.m_aPendingGen[0] || item.m_aPendingGen[1];
    if (!bFiles || (!bChanged && bSameHistory)) return;
    // Each side unchanged since its record, and each record keeps the digest
    // of its bytes (records of two jobs' syncs): the digests tell, no read.
    if (!bSameHistory && !bChanged && item.HasDigest(0) && item.HasDigest(1)) {
        if (item.Digest(0) != item.Digest(1)) bSameNow = false;
        return;
    }
    if (!bChanged && !bExact[0] && !bExact[1]) return;
    // Two files of one length within the tolerance of each other, at least
    // one of them changed since the last sync (both, where a side is not
    // local: its bytes come only through requests): the same file only when
    // their bytes are. One size and time is no proof (two edits given one
    // time, the old time put back, two writes in one tick of the clock, a
    // time given by a tool). Equal full times that cannot be checked stay
    // the same file (as a copy that a run stopped before its record was
    // saved leaves them, or a side that cannot be read). The first sync of
    // two filled folders takes length and time, as reading every file would
    // take too long; after it, two files new on both sides are one file only
    // when their bytes are.
    const bool bLocalBytes = ReadsLocally(m_apFs[0].get()) && ReadsLocally(m_apFs[1].get());
    const bool bTimesDiffer = !SameFullTime(L, R);
    const bool bBothNew = !item.m_aOld[0].Exists() && !item.m_aOld[1].Exists();
    const bool bFirstSync = bBothNew && !SyncedBefore();
    const bool bLook = bLocalBytes ? bChanged : item.m_aPendingGen[0] && item.m_aPendingGen[1];
    if (!bTimesDiffer && (!bLook || bFirstSync)) return;
    const int n = same();
    if (n == 0 || (n < 0 && (bExact[0] || bExact[1]) && (bTimesDiffer || (bBothNew && !bFirstSync))))
        bSameNow = false;
}

bool CSyncJob::NewFilesHoldOneContent(const CSyncTreeNode* pNode) {
    const CSyncPairAndAction& item = pNode->GetItem();
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    if (!L.Exists() || !R.Exists() || L.IsFolder() || R.IsFolder() || L.GetFlag(SIF_LINK) ||
        R.GetFlag(SIF_LINK) || L.m_Len != R.m_Len)
        return false;
    return CompareSideContents(pNode) > 0;
}

bool CSyncJob::SyncedBefore() const {
    for (int s = 0; s < 2; s++) {
        FsItemInfo info;
        if (m_aStateFileStamps[s].Lookup(CWideString(), info) && info.m_nSize > 0) return true;
    }
    return false;
}

void SetOldSideInfo(CSyncPairAndAction& item, int side, const CSideInfo& rec, const CGenArray& gens) {
    side &= 1;
    CSideInfo& old = item.m_aOld[side];
    constexpr uint8_t kTaken = SIF_PRESENT | SIF_FOLDER | SIF_LINK;
    old.m_nFlags = (uint8_t)((old.m_nFlags & ~kTaken) | (rec.m_nFlags & kTaken));
    old.m_Len = rec.m_Len;
    old.m_tFile = rec.m_tFile;
    old.m_tAccu = rec.m_tAccu;
    old.m_nAttr = rec.m_nAttr;
    old.m_nStamp = rec.m_nStamp;
    old.m_sId = rec.m_sId;
    bool bChanged = false;
    MergeGenerations(item.m_aGens[side], gens, bChanged);
    if (bChanged) old.SetFlag(SIF_CORRECTED, true);
}

// ---------------------------------------------------------------- runners

bool CSyncJob::DoForSubtreeChildrenFirst(CSyncTreeNode* pNode, CDoSmthWithPair& pass) {
    if (!pNode) return false;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next())
        if (!DoForSubtreeChildrenFirst(it.GetNode(), pass)) return false;
    return pass.DoWithPair(pNode, this);
}

uint32_t CSyncJob::DoForParents(CSyncTreeNode* pNode, CDoSmthWithPair& pass) {
    if (!pNode) return 0;
    uint32_t n = 0;
    for (CSyncTreeNode* p = pNode->GetParent(); p; p = p->GetParent()) {
        if (!pass.DoWithPair(p, this)) break;
        ++n;
    }
    return n;
}

// ---------------------------------------------------------------- change marking

void CSyncJob::TakeStamplessRecord(CSyncTreeNode* pNode, int side) {
    CSyncPairAndAction& item = pNode->GetItem();
    CSideInfo& old = item.m_aOld[side];
    const CSideInfo& cur = item.m_aCur[side];
    if (!old.Exists() || old.IsFolder() || old.GetFlag(SIF_LINK) || cur.IsFolder() || cur.GetFlag(SIF_LINK) ||
        cur.m_Len != old.m_Len || (cur.m_tFile != old.m_tFile && !IsKeptBack(cur, old)))
        return;
    // A record that an older state file holds without a stamp, of a file
    // that still shows its length and second. Written clearly before that
    // file was saved, a later write would have moved its second: the file's
    // stamp is the record's.
    FsItemInfo saved;
    if (!m_aStateFileStamps[side].Lookup(CWideString(), saved) || saved.m_nModTime == 0) return;
    const int64_t nSavedNs = (int64_t)saved.m_nModTime * 1'000'000'000 + saved.m_nModTimeNs;
    if (((int64_t)old.m_tAccu.GetTime() + 2) * 1'000'000'000 <= nSavedNs) return;
    // Else it may have been written again within that second, after the
    // sync read it: only a change time before the save shows that it was not
    // (it cannot come from an edit of the other side). Without that proof
    // the record keeps the file's identity alone, racy: its contents decide.
    FsItemInfo info;
    bool bNotFound = false;
    int k = 0;
    CWideString e;
    TvFileSys* fs = m_apFs[side].get();
    const bool bStat = fs && fs->GetInfo(GetItemSidePath(pNode, side), info, bNotFound, k, e) && !bNotFound &&
                       info.m_nChangeNs > 0;
    const bool bFine = saved.m_nModTimeNs != 0 || info.m_nChangeNs % 1'000'000'000 != 0;
    const bool bBefore =
        bStat && (bFine ? info.m_nChangeNs < nSavedNs : info.m_nChangeNs + 1'000'000'000 <= nSavedNs);
    old.m_tFile = cur.m_tFile;
    if (bBefore) {
        old.m_tAccu = cur.m_tAccu;
        old.m_nStamp = cur.FileStamp();
        return;
    }
    uint32_t id = cur.FileStamp() & kStampIdBits;
    if (!id) id = kStampTimeBits + 1;
    old.m_nStamp = id | kStampRacy;
}

void CSyncJob::MarkSideChange(CSyncTreeNode* pNode, int side, const CTimeShiftTable& table, bool bExpects,
                              uint32_t& nChanged) {
    CSyncPairAndAction& item = pNode->GetItem();
    CSideInfo& cur = item.m_aCur[side];
    const CSideInfo& old = item.m_aOld[side];
    if (item.IsExcluded() || (!cur.IsPresentBit() && !old.IsPresentBit())) return;
    if (cur.IsPresentBit() && cur.Exists() && !old.IsPresentBit()) {
        SetPending(item, side);
        ++nChanged;
    } else if (!cur.IsPresentBit()) {
        // Not listed on this side now: deleted since the last sync.
        MakeDeletedCopy(cur, old);
        if (old.Exists()) {
            SetPending(item, side);
            ++nChanged;
        }
    } else if (cur.IsFolder() != old.IsFolder()) {
        SetPending(item, side);
        ++nChanged;
    } else if (cur.Exists() && !old.Exists()) {
        SetPending(item, side);
        ++nChanged;
    } else if (!cur.Exists() && !old.Exists()) {
        AssertNotPending(item, side);
    } else if (!cur.Exists()) {
        MakeDeletedCopy(cur, old);
        SetPending(item, side);
        ++nChanged;
    } else {
        const bool bNamesDiffer = NamesDifferNfc(SideNameRef(pNode, cur), SideNameRef(pNode, old));
        if (cur.IsFolder()) {
            if (CSyncTime::IsSame(cur.m_tFile, old.m_tFile) && !CSyncTime::IsSame(cur.m_tAccu, old.m_tAccu))
                cur.m_tAccu = old.m_tAccu;
            if (bNamesDiffer) {
                SetPending(item, side);
                ++nChanged;
            } else {
                AssertNotPending(item, side);
            }
        } else {
            bool bShift = false;
            if (bExpects) {
                for (int k = 0; k < 4 && !bShift; k++) {
                    const uint16_t key = (uint16_t)item.GetTimeShiftKey(k);
                    int32_t n = 0;
                    bShift = key != 0 && table.Lookup(key, n) && n != 0;
                }
            }
            if (bShift) {
                cur.m_tAccu = old.m_tAccu;
                cur.m_nTimeShift = 0;
                AssertNotPending(item, side);
            } else {
                item.SetTimeShiftKey(0, 0);
                if (!old.FileStamp() && cur.FileStamp() && !bExpects) TakeStamplessRecord(pNode, side);
                // So is a whole-second record of an older version (no
                // identity where this file system gives one; no digest and no
                // change mark): it marked no copy racy whose time it set
                // within the second it recorded it in.
                else if (old.FileStamp() && !old.IsRacy() && !(old.m_nStamp & kStampTimeBits) &&
                         IsOlderRecord(item, side) && !bExpects)
                    TakeStamplessRecord(pNode, side);
                // Where the side's times are exact, a time inside the
                // tolerance is no proof that nothing changed: a same-size
                // file whose own time moved at all is taken as changed, and
                // the decision compares its content with the other side's.
                // So is a file whose own sub-second time moved within the
                // second, one whose record was taken within the tick of its
                // time, and, where the file system keeps its files' numbers
                // (a file's identity is only known there), another file at
                // the path (decided with the other side, see SettleMovedTimes).
                // Elsewhere size and time alone tell.
                const bool bExact = !bExpects && m_apFs[side];
                const bool bMoved = bExact && (cur.m_tFile != old.m_tFile || StampTimesDiffer(cur, old) ||
                                               (old.IsRacy() && cur.FileStamp()) ||
                                               OtherInode(item, side, m_abIdentNoBirth[side]));
                if (!IsSameSideInfo(cur, old) || bMoved || bNamesDiffer) {
                    SetPending(item, side);
                    ++nChanged;
                } else if (!old.FileStamp() && cur.FileStamp()) {
                    // A record of an older state file takes the stamp of
                    // the file it matches.
                    item.m_aOld[side].m_nStamp = cur.m_nStamp;
                }
                if (!item.m_aOldIdent[side] && item.m_aCurIdent[side] && !item.m_aPendingGen[side])
                    item.m_aOldIdent[side] = item.m_aCurIdent[side]; // so does its identity
                // A record taken within the tick of its file's birth (a file
                // the sync had just written) takes the proof back once the
                // file shows itself unchanged beyond that tick (kept with the
                // next save of the side's state).
                if (!item.m_aPendingGen[side] &&
                    IdentRegainsProof(item.m_aOldIdent[side], item.m_aCurIdent[side], m_abIdentNoBirth[side]))
                    item.m_aOldIdent[side] = item.m_aCurIdent[side];
            }
        }
    }
    if (cur.IsPresentBit() && cur.Exists() && item.m_aGens[side].IsEmpty() && !item.m_aPendingGen[side])
        item.m_aPendingGen[side] = 1;
    if (m_pChanged && item.m_aPendingGen[side]) m_pChanged->NoteNode(pNode);
}

bool CSyncJob::MarkSideChanges(CSyncTreeNode* pRoot, int side, const CTimeShiftTable& table,
                               uint32_t& nChanged) {
    side &= 1;
    const bool bExpects = ExpectsTimeShift(m_apFs[side].get());
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) {
        if (IsStopped()) return false;
        MarkSideChange(it.GetNode(), side, table, bExpects, nChanged);
    }
    return true;
}

void CSyncJob::AnalyzeSideChanges(CSyncTreeNode* pRoot, CSyncTime* pScanTime, int side, uint32_t& nChanged) {
    nChanged = 0;
    side &= 1;
    if (pScanTime) m_aScanTime[side] = *pScanTime;
    if (!m_apFs[side] || !pRoot) return;
    CTimeShiftTable table(17, 0.75f, 0.25f, 2.25f, 10);
    // One walk: the change marking goes along with the time-shift count.
    DetectNewOldTimeShift(pRoot, side, table, &nChanged);
}

// ---------------------------------------------------------------- decision

bool CSyncJob::IsOneWayForced() const {
    const int d = m_Options.m_nDirection, m = m_Options.m_n1wayMode;
    return (d == JT_LEFT_TO_RIGHT || d == JT_RIGHT_TO_LEFT) && (m == OWM_FORCED || m == OWM_MOVE);
}

void CSyncJob::DecideActions(CSyncTreeNode* pRoot) {
    const TvFileSys* fsL = m_apFs[0].get();
    const TvFileSys* fsR = m_apFs[1].get();
    const bool bExpectsL = ExpectsTimeShift(fsL), bExpectsR = ExpectsTimeShift(fsR);
    const bool bForced = IsOneWayForced();
    const bool bMd5 = m_Options.m_bCompareMD5crc;
    const bool bExact[2] = {fsL && !bExpectsL, fsR && !bExpectsR};
    // Two local sides whose bytes a comparison reads, whatever their times.
    const bool bReadsBoth = ReadsLocally(fsL) && ReadsLocally(fsR);
    auto decide = [&](CSyncTreeNode* pNode, CSyncPairAndAction& item) {
        if (item.IsExcluded()) return;
        if (item.m_nExecState == ESS_ANALYZED_ERR) {
            item.m_nSysAction = EA_ERROR;
            return;
        }
        CSideInfo& L = item.m_aCur[0];
        CSideInfo& R = item.m_aCur[1];
        const CSideInfo& LO = item.m_aOld[0];
        const CSideInfo& RO = item.m_aOld[1];
        if (!L.IsPresentBit() && !R.IsPresentBit()) return;
        if (ForgetRecordOfNeitherSide(item)) {
            item.m_nSysAction = EA_NO_COPY;
            return;
        }
        auto path = [&] { return pNode->GetPath(); };
        auto logReason = [&](int kind) { Log(2, kind, path() + u": " + item.GetReason() + u"\n"); };
        const bool bKnownL = (L.IsPresentBit() || LO.IsPresentBit()) && (L.Exists() || !item.m_aGens[0].IsEmpty());
        const bool bKnownR = (R.IsPresentBit() || RO.IsPresentBit()) && (R.Exists() || !item.m_aGens[1].IsEmpty());
        uint8_t act = EA_NO_COPY;
        // A folder that other jobs sync too: an item this job never synced
        // may carry a record of theirs on the side that holds it. A change
        // that only its time or identity tells (a record taken within the
        // tick of its file's time) is decided by its own bytes, so that the
        // copy across adds no generation that the other jobs never had.
        for (int s = 0; s < 2; s++)
            if ((s ? bKnownR && !bKnownL : bKnownL && !bKnownR) && bExact[s] && item.m_aPendingGen[s] &&
                item.HasDigest(s) &&
                SoftChange(pNode, item.m_aCur[s], item.m_aOld[s], OtherInode(item, s, m_abIdentNoBirth[s])) !=
                    SOFT_NONE &&
                SideMatchesDigest(pNode, s) > 0) {
                SettleUnchanged(item, s);
                m_abSettledRecords[s] = true;
            }
        if (bKnownR && !bKnownL) {
            act = R.Exists() ? EA_COPY_RIGHT_TO_LEFT : EA_COPY_STATE_RIGHT_TO_LEFT;
        } else if (bKnownL && !bKnownR) {
            act = L.Exists() ? EA_COPY_LEFT_TO_RIGHT : EA_COPY_STATE_LEFT_TO_RIGHT;
        } else {
            bool bSameNow = IsSameSideInfo(L, R) || BothAsLastSyncLeftThem(item);
            if (bExact[0] || bExact[1] || bReadsBoth) SettleMovedTimes(pNode, item, bExact, bSameNow);
            int result = 0, how = 0;
            CompareGenerations(item.m_aGens[0], item.m_aGens[1], item.m_aPendingGen[0], item.m_aPendingGen[1],
                               bSameNow, result, how);
            // Two files that no common history relates (new on both sides,
            // or each known from another sync) and whose times differ: one
            // file when their bytes are.
            if (!bSameNow && result == 2 && how == 1 && NewFilesHoldOneContent(pNode)) {
                bSameNow = true;
                CompareGenerations(item.m_aGens[0], item.m_aGens[1], item.m_aPendingGen[0], item.m_aPendingGen[1],
                                   bSameNow, result, how);
            }
            const bool bNamesDiffer = NamesDifferNfc(SideNameRef(pNode, L), SideNameRef(pNode, R));
            const bool bCorrected = LO.GetFlag(SIF_CORRECTED) || RO.GetFlag(SIF_CORRECTED);
            const Md5Crc &mL = item.GetMd5(0), &mR = item.GetMd5(1);
            const bool bMd5Usable = bMd5 && !mL.IsZero() && !mR.IsZero();
            if (bSameNow && !(L.Exists() && R.Exists() && bNamesDiffer)) {
                if (L.IsFolder() || R.IsFolder() || !L.Exists() || !R.Exists()) {
                    if (!L.Exists() && !R.Exists()) {
                        act = (result == 0 && how == 0) ? EA_NO_COPY : EA_COPY_STATE_MERGE_GENS;
                    } else if (L.Exists() && R.Exists() && L.IsFolder() && R.IsFolder()) {
                        if (result != 0) {
                            act = EA_COPY_STATE_MERGE_GENS;
                        } else if (item.m_aGens[0].IsEmpty() && item.m_aGens[1].IsEmpty()) {
                            act = EA_COPY_STATE_MERGE_GENS;
                            item.m_aPendingGen[0] = item.m_aPendingGen[1] = 1;
                        } else if (how == 0 && !bCorrected) {
                            act = EA_NO_COPY;
                        } else {
                            act = EA_COPY_STATE_MERGE_GENS;
                            item.m_aPendingGen[0] = item.m_aPendingGen[1] = 1;
                        }
                    } else {
                        ZorAssertFailed(__FILE__, __LINE__, 0, "DecideActions: same but not comparable");
                        act = EA_ERROR;
                        item.m_nExecState = ESS_ANALYZED_ERR;
                        item.SetReason(CWideString(u"Algorithm error, report to ") + kIssuePage);
                    }
                } else if (bMd5Usable && mL != mR) {
                    act = EA_CONFLICT;
                    ClearPending(item);
                    // Only the digests tell: the records must not let a
                    // later time change on one side settle it. Both count as
                    // changed until the conflict is resolved or the bytes
                    // are equal.
                    for (CSideInfo* old : {&item.m_aOld[0], &item.m_aOld[1]}) {
                        if (!old->Exists() || old->IsFolder()) continue;
                        old->m_tFile = old->m_tAccu = CSyncTime();
                        old->m_nStamp = 0;
                    }
                    item.SetReason(u"Same per size and mod time but different per MD5");
                    logReason(6913);
                } else if (result == 0 && how == 0 && !bCorrected) {
                    act = EA_NO_COPY;
                } else if (L.m_nTimeShift != 0 && !bExpectsR) {
                    act = EA_TIME_RIGHT_TO_LEFT;
                    Log(2, 6931, u"Left New-Old time shift causes CopyTime RtoL: " + path() + u"\n");
                } else if (R.m_nTimeShift == 0 || bExpectsL) {
                    act = EA_COPY_STATE_MERGE_GENS;
                } else {
                    act = EA_TIME_LEFT_TO_RIGHT;
                    Log(2, 6936, u"Right New-Old time shift causes CopyTime LtoR: " + path() + u"\n");
                }
                item.m_nSysAction = act;
                goto final_adjust;
            }
            const bool bAny = L.Exists() || R.Exists();
            switch (result) {
                case -1:
                    act = bAny ? EA_COPY_RIGHT_TO_LEFT : EA_COPY_STATE_RIGHT_TO_LEFT;
                    break;
                case 1:
                    act = bAny ? EA_COPY_LEFT_TO_RIGHT : EA_COPY_STATE_LEFT_TO_RIGHT;
                    break;
                case 2:
                    if (!bAny) {
                        act = EA_COPY_STATE_MERGE_GENS;
                        break;
                    }
                    act = EA_CONFLICT;
                    ClearPending(item);
                    if (!bForced) {
                        // Changed on one side, deleted on the other: said as it is.
                        const bool bDeletedOnOne = how != 1 && L.Exists() != R.Exists();
                        const char16_t* kind = item.IsFolder() ? u"Folder" : u"File";
                        item.SetReason(bDeletedOnOne
                                           ? CWideString::Formatted(u"Conflict: %s %s on Left, %s on Right", kind,
                                                                    L.Exists() ? u"Modified" : u"Deleted",
                                                                    L.Exists() ? u"Deleted" : u"Modified")
                                           : GetLocalizedString(how == 1 ? IDS_Str_Msg_Conflict_NewFilesDiff
                                                                         : IDS_Str_Msg_Conflict_BothChanged));
                        logReason(how == 1 ? 7100 : 7104);
                    }
                    break;
                default: {
                    if (!bAny) {
                        act = EA_COPY_STATE_MERGE_GENS;
                        break;
                    }
                    int h = 0;
                    if (L.Exists() && R.Exists() && L.m_Len == R.m_Len &&
                        IsWholeHourShift(L.m_tAccu.GetTime(), R.m_tAccu.GetTime(), h)) {
                        const char16_t* fmt = nullptr;
                        if (bExpectsL && !bExpectsR) {
                            act = EA_TIME_RIGHT_TO_LEFT;
                            fmt = u"Resolve mis-matched generations as time-shift[%d] RtoL: %s\n";
                        } else if (bExpectsR && !bExpectsL) {
                            act = EA_TIME_LEFT_TO_RIGHT;
                            fmt = u"Resolve mis-matched generations as time-shift[%d] LtoR: %s\n";
                        } else if (L.m_tAccu >= R.m_tAccu) {
                            act = EA_TIME_LEFT_TO_RIGHT;
                            fmt = u"Resolve mis-matched generations as time-shift(%d) LtoR: %s\n";
                        } else {
                            act = EA_TIME_RIGHT_TO_LEFT;
                            fmt = u"Resolve mis-matched generations as time-shift(%d) RtoL: %s\n";
                        }
                        Log(2, 7069, CWideString::Formatted(fmt, (int64_t)h, path()));
                    } else {
                        act = EA_CONFLICT;
                        ClearPending(item);
                        if (!bForced) {
                            item.SetReason(u"Conflict: File Modified on Both Sides (but same generations)");
                            logReason(7078);
                        }
                    }
                    break;
                }
            }
            if (bMd5Usable && mL == mR && act != EA_COPY_STATE_MERGE_GENS && act != EA_COPY_STATE_LEFT_TO_RIGHT &&
                act != EA_COPY_STATE_RIGHT_TO_LEFT && act != EA_NO_COPY) {
                act = EA_COPY_STATE_MERGE_GENS;
                item.SetReason(u"Different per generations but the same per MD5");
                logReason(7126);
            }
        }
        item.m_nSysAction = act;
    final_adjust:
        if (item.m_nSysAction == EA_NO_COPY) {
            if (item.m_aPendingGen[0])
                item.m_nSysAction = EA_COPY_STATE_LEFT_TO_RIGHT;
            else if (item.m_aPendingGen[1])
                item.m_nSysAction = EA_COPY_STATE_RIGHT_TO_LEFT;
        }
    };
    // The walk also does for the Left-Right time-shift analysis what it
    // needs from every item: its keys cleared, the files it examines counted.
    m_nLeftRightExamined = 0;
    m_nItemsDecided = 0;
    auto visit = [&](CSyncTreeNode* pNode) {
        CSyncPairAndAction& item = pNode->GetItem();
        for (int k = 0; k < 4; k++) item.SetTimeShiftKey(k, 0);
        if (IsLeftRightExamined(item)) ++m_nLeftRightExamined;
        decide(pNode, item);
        ++m_nItemsDecided;
        if (m_pActiveFolders && !IsQuietItem(item)) NoteFolderToEnter(pNode);
    };
    // Only the visited subtrees: the items outside them were left by the
    // last Analyze as this decision would leave them (m_nLeftRightExamined
    // then counts the visited items only).
    if (m_pVisited) {
        ForVisitedSubtrees(pRoot, visit);
        return;
    }
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) visit(it.GetNode());
}

void CSyncJob::ForVisitedSubtrees(CSyncTreeNode* pNode, const std::function<void(CSyncTreeNode*)>& fn) {
    CSyncTreeNode::CChildMap* pMap = pNode->GetChildMap();
    if (!pMap) return;
    for (CSyncTreeNode::CEntry* e = pMap->GetFirst(); e; e = CSyncTreeNode::CChildMap::GetNext(e)) {
        CSyncTreeNode* pChild = &e->GetValue();
        if (m_pVisited->IsRoot(pChild)) {
            fn(pChild);
            CSyncDepthFirstIter it(pChild);
            for (; it.IsValid(); it.Next()) fn(it.GetNode());
        } else if (m_pVisited->IsAbove(pChild)) {
            fn(pChild);
            ForVisitedSubtrees(pChild, fn);
        }
    }
}

bool ForgetRecordOfNeitherSide(CSyncPairAndAction& item) {
    // An item on neither side that one side's state file alone records:
    // nothing is to be done for it, and nothing of it is passed on (a record
    // placed in one side's data folder never reaches the other's state, nor
    // a log line). Its record is not saved again.
    if (item.m_aCur[0].Exists() || item.m_aCur[1].Exists()) return false;
    const bool bL = item.m_aOld[0].IsPresentBit(), bR = item.m_aOld[1].IsPresentBit();
    if (bL == bR) return false;
    // As if that side had never recorded it, also for a later decision
    // over the same tree.
    const int side = bL ? 0 : 1;
    item.m_aOld[side] = CSideInfo();
    item.m_aOldMark[side] = 0;
    item.m_aGens[side].RemoveAll();
    item.m_aPendingGen[0] = item.m_aPendingGen[1] = 0;
    return true;
}

bool IsLeftRightExamined(const CSyncPairAndAction& item) {
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    return !item.IsExcluded() && !item.IsFolder() && L.Exists() && R.Exists() && L.m_Len == R.m_Len;
}

// ---------------------------------------------------------------- the passes after the decision

void CSyncJob::RunDecisionPasses() {
    CSyncTreeNode* pRoot = GetPairsUnchecked();
    const TvFileSys* fsL = m_apFs[0].get();
    const TvFileSys* fsR = m_apFs[1].get();
    {
        CDoAnalyzeLeftRightTimeShift analyze(MayHaveRoundingShift(fsL) || MayHaveRoundingShift(fsR));
        DoForEntered(pRoot, analyze);
        // The quiet files left out were counted by the decision; one that
        // visited some subtrees only counted those, and the count matters
        // only once a shift is seen.
        if (m_pActiveFolders) analyze.m_nExamined = m_nLeftRightExamined;
        if (m_pVisited && !analyze.m_Table.IsEmpty()) {
            analyze.m_nExamined = 0;
            CSyncDepthFirstIter it(pRoot);
            for (; it.IsValid(); it.Next())
                if (IsLeftRightExamined(*it.GetItem())) ++analyze.m_nExamined;
        }
        const int32_t N = analyze.m_nExamined;
        int32_t nMin = (N - 1) / 4 + 1;
        if (nMin < 3) nMin = 3;
        bool bAccepted = false;
        for (ZorPosition pos = analyze.m_Table.GetStartPosition(); pos;) {
            auto* p = analyze.m_Table.GetNext(pos);
            int type = 0, hours = 0;
            SplitTimeShiftKey(p->m_key, type, hours);
            const int32_t count = p->m_value;
            if (count < nMin) {
                Log(2, 8912,
                    CWideString::Formatted(
                        u"Left-Right Time Shift of %d hours at %d files: drop because not enough files\n",
                        (int64_t)hours, (int64_t)count));
                p->m_value = 0;
            } else if (hours < 24 && hours > -24) {
                Log(2, 8903,
                    FormatLocalizedString(IDS_Str_Msg_LeftRight_TimeShift, CWideString::Formatted(u"%d", (int64_t)hours),
                                          CWideString::Formatted(u"%d", (int64_t)type),
                                          CWideString::Formatted(u"%d", (int64_t)count)) +
                        u"\n");
                bAccepted = true;
            } else {
                Log(2, 8907,
                    CWideString::Formatted(
                        u"Left-Right Time Shift of %d hours at %d files: drop because too many hours\n",
                        (int64_t)hours, (int64_t)count));
                p->m_value = 0;
            }
        }
        if (bAccepted) {
            CDoImplementLeftRightTimeShift implement(analyze.m_Table);
            DoForEntered(pRoot, implement);
        }
    }
    const int dir = m_Options.m_nDirection;
    if (dir != 0) {
        if (m_Options.m_n1wayMode == OWM_FORCED || m_Options.m_n1wayMode == OWM_MOVE) {
            CDoOneWayForced pass(dir);
            DoForEntered(pRoot, pass);
        } else if (m_Options.m_n1wayMode == OWM_VERIFIED) {
            CDoOneWayVerified pass;
            DoForEntered(pRoot, pass);
        }
    }
    if (!m_Options.m_bPropagateDeletions) {
        if (dir == 0) {
            CDoNotPropagateDels2way pass;
            DoForEntered(pRoot, pass);
        } else {
            CDoNotPropagateDels1way pass;
            DoForEntered(pRoot, pass);
        }
    }
    {
        CDoDetectVerticalDeleteConflicts pass;
        DoForEntered(pRoot, pass);
    }
    if (m_nRunKind != 0 && dir == 0 && m_Options.m_nAutoResolveConflicts != 0) {
        CAutoResolveConflicts pass;
        DoForEntered(pRoot, pass);
    }
    {
        CScanDeleteFolders pass; // as ScanDeleteFolders(pRoot, false)
        pass.DoWithPair(pRoot, this);
        DoForEntered(pRoot, pass);
    }
    {
        CDeleteExcludedFilesInFolders pass;
        DoForEntered(pRoot, pass);
    }
    if (m_Options.m_bDetectMovesAndRenames) DetectMovesAndRenames(pRoot);
    {
        CDoWarnAboutOldFileWins pass;
        DoForEntered(pRoot, pass);
    }
    m_pEnteredBefore = std::move(m_pActiveFolders);
}

// ---------------------------------------------------------------- exclusion passes

bool CIncludeParentsOfIncluded::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncTreeNode* pParent = pNode->GetParent();
    if (!pParent || pNode->GetItem().IsExcluded()) return true;
    CSyncPairAndAction& parent = pParent->GetItem();
    if (!pParent->GetParent() || !parent.IsExcluded()) return true;
    parent.m_nFlags &= (uint8_t)~SPF_EXCLUDED;
    parent.SetReason(u"re-included by child include, was: " + parent.GetReason());
    return true;
}

namespace {

// The filter step over one subtree (the node first, then its children, each
// followed by the re-inclusion of its parent), as the filter loop over every
// item followed by the children-first re-inclusion pass would do.
struct CBothSidesFilter {
    CSyncJob& job;
    bool bRules;       // there are rules to apply
    bool bTrustScan;   // the scans' judgements stand where they judged alike
    bool bIncludesAll; // no include rules
    bool bRestricted;  // below the node only the visited subtrees (job.m_pVisited)
    CIncludeParentsOfIncluded include;

    // The scan judged the item on its path in the tree with a record of its
    // kind: the filters over both sides decide alike when every side record
    // the item has is of that kind (the kind conditions look at both), and,
    // for a folder, no include rule is left out on one side.
    bool JudgedAlike(const CSyncPairAndAction& item) const {
        int kinds = 0;
        for (const CSideInfo& rec : item.m_aCur)
            if (rec.IsPresentBit()) kinds |= rec.IsFolder() ? 2 : 1;
        return kinds == 1 || (kinds == 2 && bIncludesAll);
    }

    void Node(CSyncTreeNode* pNode, bool bIsRoot) {
        CSyncPairAndAction& item = pNode->GetItem();
        const bool bJudged = (item.m_nFlags & SPF_FILTER_JUDGED) != 0;
        item.m_nFlags &= (uint8_t)~SPF_FILTER_JUDGED;
        if (bRules && !bIsRoot && !item.IsExcluded() && !(bJudged && bTrustScan && JudgedAlike(item))) {
            CWideString reason;
            if (job.m_FilterMatcher.IsExcluded(pNode->GetPath(), true, item.m_aCur[0], item.m_aCur[1], reason)) {
                item.m_nFlags |= SPF_EXCLUDED;
                item.SetReason(reason);
            }
        }
        CSyncTreeNode::CChildMap* pMap = pNode->GetChildMap();
        if (!pMap) return;
        const CSyncJob::CVisitedSubtrees* pVisited = bRestricted ? job.m_pVisited.get() : nullptr;
        for (CSyncTreeNode::CEntry* e = pMap->GetFirst(); e; e = CSyncTreeNode::CChildMap::GetNext(e)) {
            CSyncTreeNode::CChildMap::PrefetchFollowing(e);
            CSyncTreeNode* pChild = &e->GetValue();
            // Outside the visited subtrees the filters judge as in the last
            // Analyze and change nothing; the child still includes its parent.
            if (pVisited && pVisited->IsRoot(pChild)) {
                bRestricted = false;
                Node(pChild, false);
                bRestricted = true;
            } else if (!pVisited || pVisited->IsAbove(pChild)) {
                Node(pChild, false);
            }
            include.DoWithPair(pChild, &job);
        }
    }
};

void ClearFilterJudgements(CSyncTreeNode* pRoot) {
    pRoot->GetItem().m_nFlags &= (uint8_t)~SPF_FILTER_JUDGED;
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) it.GetItem()->m_nFlags &= (uint8_t)~SPF_FILTER_JUDGED;
}

} // namespace

void CSyncJob::FilterOverBothSides(CSyncTreeNode* pRoot) {
    if (!pRoot) return;
    CBothSidesFilter f{*this,
                       !m_FilterMatcher.IsEmpty(),
                       !m_bFilterEveryItem && !m_FilterMatcher.NeedsBothSides(),
                       m_FilterMatcher.IncludesAll(),
                       m_pVisited != nullptr,
                       {}};
    f.Node(pRoot, true);
    m_bFilterJudging = 0;
}

void CSyncJob::BeginFilterJudging(CSyncTreeNode* pRoot) {
    if (m_bFilterJudging && pRoot) ClearFilterJudgements(pRoot); // left by a run that ended early
    m_bFilterJudging = 1;
}

bool CExcludeChildren::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    item.m_nFlags |= SPF_EXCLUDED;
    item.SetReason(GetLocalizedString(IDS_Str_ExclBy_ChildOfExcl));
    item.m_nSysAction = EA_NO_COPY;
    item.m_nUserAction = EA_USESYSTEM;
    if (m_pSink) m_pSink->NotifyItemChanged(pNode, true);
    return true;
}

void CSyncJob::ExcludeEmptyFolders(CSyncTreeNode* pNode, bool bExcludeEmpty, bool bIsRoot) {
    if (!pNode) {
        ZOR_ASSERT(pNode != nullptr);
        return;
    }
    if (bIsRoot && bExcludeEmpty && m_pVisited) {
        ExcludeEmptyFoldersVisited(pNode, true);
        return;
    }
    CSyncPairAndAction& item = pNode->GetItem();
    if (!bIsRoot && !item.IsFolder()) return;
    int nCounted = 0;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        const CSyncPairAndAction& child = pChild->GetItem();
        if (child.IsFolder()) ExcludeEmptyFolders(pChild, bExcludeEmpty, false);
        if (!child.IsExcluded() && child.ExistsAnywhere()) ++nCounted;
    }
    ExcludeIfEmpty(pNode, nCounted, bExcludeEmpty, bIsRoot);
}

void CSyncJob::ExcludeEmptyFoldersVisited(CSyncTreeNode* pNode, bool bIsRoot) {
    if (!bIsRoot && !pNode->GetItem().IsFolder()) return;
    // A folder outside the visited subtrees keeps what the last Analyze gave it.
    int nCounted = 0;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        const CSyncPairAndAction& child = pChild->GetItem();
        if (child.IsFolder()) {
            if (m_pVisited->IsRoot(pChild))
                ExcludeEmptyFolders(pChild, true, false);
            else if (m_pVisited->IsAbove(pChild))
                ExcludeEmptyFoldersVisited(pChild, false);
        }
        if (!child.IsExcluded() && child.ExistsAnywhere()) ++nCounted;
    }
    ExcludeIfEmpty(pNode, nCounted, true, bIsRoot);
}

void CSyncJob::ExcludeIfEmpty(CSyncTreeNode* pNode, int nCounted, bool bExcludeEmpty, bool bIsRoot) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (nCounted == 0 && bExcludeEmpty && !bIsRoot && !item.IsExcluded()) {
        item.m_nFlags |= SPF_EXCLUDED;
        item.m_nSysAction = EA_NO_COPY;
        item.SetReason(GetLocalizedString(IDS_Str_ExclBy_EmptyFolder));
        CExcludeChildren pass;
        DoForSubtree(pNode, pass, false);
    }
}
