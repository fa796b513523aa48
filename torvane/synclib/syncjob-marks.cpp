// Change marks: what a side's own file system tells of a file's inode
// (device, number and change time) as each record of it was taken. A
// record proves its file unchanged by the mark it keeps, never by when a
// state file was saved: other items, other runs and other jobs over the
// same folder save it as well.
#include "syncjob.h"

void CSyncJob::NoteChangeMark(CSyncPairAndAction& item, int side, const FsItemInfo& entry) {
    side &= 1;
    const bool bNoBirth = entry.m_nIdent && !(entry.m_nIdent & kIdentBirth);
    uint32_t m = entry.m_nChangeMark;
    // Taken clear of the clock tick of the look, the change time is one no
    // later change can show again. (Only file systems that keep their
    // files' numbers give marks: their change times are whole seconds at
    // the coarsest; finer ones move by a tick of the clock.)
    const int64_t nMarginNs = entry.m_nChangeNs % 1'000'000'000 ? 25'000'000 : 1'000'000'000;
    const int64_t nLookNs = m_aSideClock[side].nStartNs;
    if (m && nLookNs > 0 && entry.m_nChangeNs + nMarginNs <= nLookNs) m |= kMarkClear;
    const CSideInfo& old = item.m_aOld[side];
    const bool bOldFile = old.IsPresentBit() && old.Exists() && !old.IsFolder() && !old.GetFlag(SIF_LINK);
    item.m_aOld[side].SetFlag(SIF_UNMARKED, bOldFile && !item.m_aOldMark[side] && !item.HasDigest(side));
    item.SetNewMark(side, 0);
    // A side records the file's mark from the start (a record to come takes it).
    const int64_t nSavedNs = m_anIdentRecordedNs[side];
    if (!bOldFile) {
        item.m_aOldMark[side] = m;
        // (For a record of an older version met as this file's source in a
        // move, which keeps no mark: see below.)
        if (bNoBirth && nSavedNs > 0 && entry.m_nChangeNs > nSavedNs) item.m_aCurIdent[side] |= kIdentInodeChanged;
        return;
    }
    if (!m) return;
    const uint32_t om = item.m_aOldMark[side];
    if (om) {
        if (((om ^ m) & kMarkDigest) != 0) {
            // Another change time: the inode changed since the record
            // (written, its time set, renamed, or another file).
            item.SetNewMark(side, m);
                    if (bNoBirth) item.m_aCurIdent[side] |= kIdentInodeChanged;
        } else if (!(om & kMarkClear) && (m & kMarkClear)) {
            // The record was taken within the tick of that change time: a
            // change in the rest of the tick would show it again (a file
            // put on the freed inode, then moved, is no proven move then).
            // Seen clear of it now at the record's path, with the record's
            // size, time and stamp, the record takes the proof; where that
            // proof is the file's identity (no birth time), it is saved even
            // by a Sync with nothing else to do.
            item.m_aOldMark[side] = m;
            if (bNoBirth) m_abSettledRecords[side] = true;
        }
        return;
    }
    // A record of an older version, without a mark. Where no birth time
    // tells a new file, the inode proved the file where it changed no later
    // than the sync that saved the side's state, as that version had it
    // (the one use of that time, once: the record keeps a mark from now on).
    if (bNoBirth && nSavedNs > 0 && entry.m_nChangeNs > nSavedNs) {
        item.m_aCurIdent[side] |= kIdentInodeChanged;
        item.SetNewMark(side, m);
        return;
    }
    item.m_aOldMark[side] = m;
}
