// Time shifts: file systems whose times move by whole hours (or lose
// precision) without the files changing. The New-Old stage compares each
// side with its last synced state; the Left-Right stage compares the two
// sides of files that are about to be copied.
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"

#include <vector>

namespace {

int64_t Abs64(int64_t v) {
    return v < 0 ? -v : v;
}

// Rounds d two seconds away from zero, so that 3598..3602 seconds give one hour.
int64_t Widen(int64_t d) {
    return d >= 0 ? d + 2 : d - 2;
}

CWideString Num(int64_t n) {
    return CWideString::Formatted(u"%d", n);
}

} // namespace

uint16_t TimeShiftKey(int type, int hours) {
    if (hours >= 8000 || hours <= -8000) return 0;
    return (uint16_t)((type & 3) | ((hours & 0x3FFF) << 2));
}

void SplitTimeShiftKey(uint16_t key, int& type, int& hours) {
    type = key & 3;
    int h = (key >> 2) & 0x3FFF;
    if (h & 0x2000) h -= 0x4000;
    hours = h;
}

bool IsWholeHourShift(uint32_t a, uint32_t b, int& hours) {
    // In 64 bits: times far apart must not wrap into a small difference.
    const int64_t d = Widen((int64_t)a - (int64_t)b);
    hours = Abs64(d % 3600) < 5 ? (int)(d / 3600) : 0;
    if (Abs64(d) < 5) {
        hours = 0;
        return false;
    }
    return hours != 0;
}

void CountTimeShiftKeys(uint32_t a, uint32_t b, bool bRounding, int16_t keys[4], CTimeShiftTable& table) {
    int h = 0;
    if (IsWholeHourShift(a, b, h)) {
        const uint16_t key = TimeShiftKey(0, h);
        if (key) {
            keys[0] = (int16_t)key;
            table[key] += 1;
        }
    }
    if (!bRounding) return;
    for (int type = 1; type <= 3; type++) {
        int64_t d = 0;
        if (type == 1) {
            if (b % 60) continue;
            d = (int64_t)(a - a % 60) - (int64_t)b;
        } else if (type == 2) {
            if (a % 60) continue;
            d = (int64_t)(b - b % 60) - (int64_t)a;
        } else {
            if (a % 86400) continue;
            d = (int64_t)(b - b % 86400) - (int64_t)a;
        }
        const int64_t w = Widen(d);
        if (Abs64(w % 3600) >= 5) continue;
        const int64_t hh = w / 3600;
        if (hh >= 8000 || hh <= -8000) continue;
        const uint16_t key = TimeShiftKey(type, (int)hh);
        if (key) {
            keys[type] = (int16_t)key;
            table[key] += 1;
        }
    }
}

bool ExpectsTimeShift(const TvFileSys* pFs) {
    return pFs && (!pFs->GetCapability(TVFS_CAP_MOD_TIMES) || pFs->GetCapability(TVFS_CAP_ROUNDED_TIMES) ||
                   pFs->GetCapability(TVFS_CAP_EXPECTS_TIME_SHIFT));
}

bool MayHaveRoundingShift(const TvFileSys* pFs) {
    return pFs && pFs->GetCapability(TVFS_CAP_ROUNDED_TIMES);
}

// ---------------------------------------------------------------- New-Old

bool CSyncJob::DetectNewOldTimeShift(CSyncTreeNode* pRoot, int side, CTimeShiftTable& table, uint32_t* pChanged) {
    side &= 1;
    const TvFileSys* fs = m_apFs[side].get();
    const bool bMay = MayHaveTimeShift(fs);
    const bool bRounding = MayHaveRoundingShift(fs);
    const bool bExpects = ExpectsTimeShift(fs);
    const CWideString title = GetLocalizedString(side ? IDS_Str_Right : IDS_Str_Left);
    int32_t n = 0;
    // Items whose change marking looks the keys up in the final table.
    std::vector<CSyncTreeNode*> awaiting;
    // A node is filtered before its own work, after its parent's.
    const std::function<void(CSyncTreeNode*)> filterStep = std::move(m_fnStateFilterStep);
    m_fnStateFilterStep = nullptr;
    CSyncDepthFirstIter it(pRoot);
    for (; it.IsValid(); it.Next()) {
        if (IsStopped()) return false;
        CSyncTreeNode* pNode = it.GetNode();
        if (filterStep) filterStep(pNode);
        CSyncPairAndAction& item = pNode->GetItem();
        for (int k = 0; k < 4; k++) item.SetTimeShiftKey(k, 0);
        CSideInfo& cur = item.m_aCur[side];
        const CSideInfo& old = item.m_aOld[side];
        if (!item.IsExcluded() && cur.IsPresentBit() && old.IsPresentBit() && cur.Exists() && old.Exists() &&
            !cur.IsFolder() && !old.IsFolder()) {
            ++n;
            if (bMay && CSyncTime::IsSame(cur.m_tFile, old.m_tFile)) {
                cur.m_tAccu = old.m_tAccu;
            } else {
                cur.m_tAccu = cur.m_tFile;
                // Without rounding, equal times count no shift: the common
                // unchanged file is not counted at all.
                if (cur.m_Len == old.m_Len && (bRounding || cur.m_tFile.GetTime() != old.m_tFile.GetTime())) {
                    int16_t keys[4] = {0, 0, 0, 0};
                    CountTimeShiftKeys(cur.m_tFile.GetTime(), old.m_tFile.GetTime(), bRounding, keys, table);
                    for (int k = 0; k < 4; k++) item.SetTimeShiftKey(k, keys[k]);
                    if (m_pChanged && item.GetWorkBytes() != 0) m_pChanged->NoteNode(pNode);
                }
            }
        }
        if (!pChanged) continue;
        if (bExpects && item.GetWorkBytes() != 0)
            awaiting.push_back(pNode);
        else
            MarkSideChange(pNode, side, table, bExpects, *pChanged);
    }
    for (ZorPosition pos = table.GetStartPosition(); pos;) {
        auto* p = table.GetNext(pos);
        int type = 0, hours = 0;
        SplitTimeShiftKey(p->m_key, type, hours);
        const int32_t count = p->m_value;
        const CWideString pct = CWideString::Formatted(u"%d%% (%d/%d)", (int64_t)count * 100 / (n ? n : 1),
                                                       (int64_t)count, (int64_t)n);
        const bool bByShare = count >= 10 || (count >= 3 && (int64_t)count * 10 >= n);
        if (type == 0) {
            if (!bByShare) {
                Log(2, 6328,
                    CWideString::Formatted(
                        u"New-Old Time Shift of %d hours at %d files: drop because not enough files\n",
                        (int64_t)hours, (int64_t)count));
                p->m_value = 0;
            } else if (hours < 24 && hours > -24) {
                Log(2, 6321, FormatLocalizedString(IDS_Str_Msg_OldNewWholeHour_TimeShift, title, Num(hours), pct) +
                                 u"\n");
            } else {
                p->m_value = 0;
            }
            continue;
        }
        if (!bRounding) {
            p->m_value = 0;
            continue;
        }
        const bool bCommon = hours == 0 || hours == 1 || hours == -1 || hours == 24 || hours == -24;
        if (bCommon ? count >= 3 : bByShare) {
            Log(2, bCommon ? 6292 : 6301,
                FormatLocalizedString(IDS_Str_Msg_OldNewRounding_TimeShift, title, Num(hours), Num(type), pct) +
                    u"\n");
        } else {
            p->m_value = 0;
        }
    }
    if (!table.IsEmpty() && !bMay && !ExpectsTimeShift(fs))
        Log(2, 6336,
            u"You have time shift on file system that should not produce them. If time shift comes back after "
            u"Sync, consider setting FAT option on this file system.\n");
    for (CSyncTreeNode* pNode : awaiting) {
        if (IsStopped()) return false;
        MarkSideChange(pNode, side, table, bExpects, *pChanged);
    }
    return true;
}

// ---------------------------------------------------------------- Left-Right

bool CDoAnalyzeLeftRightTimeShift::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    for (int k = 0; k < 4; k++) item.SetTimeShiftKey(k, 0);
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    // Only files of equal length are examined: folders have no length, and
    // excluded items take no part in the sync.
    if (item.IsExcluded() || item.IsFolder() || !L.Exists() || !R.Exists() || L.m_Len != R.m_Len) return true;
    ++m_nExamined;
    if (item.m_nSysAction != EA_COPY_LEFT_TO_RIGHT && item.m_nSysAction != EA_COPY_RIGHT_TO_LEFT) return true;
    int16_t keys[4] = {0, 0, 0, 0};
    CTimeShiftTable probe(1, 0.75f, 0.25f, 2.25f, 4);
    CountTimeShiftKeys(L.m_tAccu.GetTime(), R.m_tAccu.GetTime(), m_bRounding, keys, probe);
    if (probe.IsEmpty()) return true;
    // A shift only moves times: a copy whose contents differ where that can
    // be told cheaply is an edit, and stays a copy.
    if (pJob && pJob->CompareSideContents(pNode) == 0) return true;
    for (int k = 0; k < 4; k++) {
        item.SetTimeShiftKey(k, keys[k]);
        if (keys[k]) m_Table[(uint16_t)keys[k]] += 1;
    }
    return true;
}

CDoImplementLeftRightTimeShift::CDoImplementLeftRightTimeShift(const CTimeShiftTable& table) : m_Table(table) {}

bool CDoImplementLeftRightTimeShift::DoWithPair(CSyncTreeNode* pNode, CSyncJob* pJob) {
    CSyncPairAndAction& item = pNode->GetItem();
    bool bMatch = false;
    for (int k = 0; k < 4 && !bMatch; k++) {
        const uint16_t key = (uint16_t)item.GetTimeShiftKey(k);
        int32_t n = 0;
        bMatch = key != 0 && m_Table.Lookup(key, n) && n != 0;
    }
    if (!bMatch) return true;
    const CSideInfo& L = item.m_aCur[0];
    const CSideInfo& R = item.m_aCur[1];
    if (L.m_nTimeShift != 0) {
        item.m_nSysAction = EA_TIME_RIGHT_TO_LEFT;
        pJob->Log(3, 8422, u"Copy time RtoL (L:OldNew + L-R): " + pNode->GetPath() + u"\n");
    } else if (R.m_nTimeShift != 0) {
        item.m_nSysAction = EA_TIME_LEFT_TO_RIGHT;
        pJob->Log(3, 8428, u"Copy time LtoR (R:OldNew + L-R): " + pNode->GetPath() + u"\n");
    } else if (L.m_tAccu >= R.m_tAccu) {
        item.m_nSysAction = EA_TIME_LEFT_TO_RIGHT;
        pJob->Log(3, 8440, u"Change Copy File LtoR into Copy Time LtoR based on time: " + pNode->GetPath() + u"\n");
    } else {
        item.m_nSysAction = EA_TIME_RIGHT_TO_LEFT;
        pJob->Log(3, 8445, u"Change Copy File RtoL into Copy Time RtoL based on time: " + pNode->GetPath() + u"\n");
    }
    return true;
}
