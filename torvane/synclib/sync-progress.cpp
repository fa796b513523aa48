// Job progress sinks and message grouping.
#include "sync-progress.h"

#include "engine-globals.h"
#include "filetree.h"
#include "sync-item.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-locstr.h"
#include "zor-text.h"

#include <algorithm>

CbDummyJobProgress g_DummyJobProgress;

namespace {

constexpr int64_t kPauseSliceMs = 500;
constexpr int64_t kMaxPauseMs = 60000;

// Sleeps nMs in slices of 500 ms through the library clock, leaving the
// slices early when a stop is requested on p; the remainder nMs % 500 is
// slept in any case.
void PauseInSlices(const ICopyProgress& p, int64_t nMs) {
    for (int64_t i = nMs / kPauseSliceMs; i > 0; --i) {
        if (p.IsStopped()) break;
        ZorSleepMs(kPauseSliceMs);
    }
    if (nMs % kPauseSliceMs > 0) ZorSleepMs(nMs % kPauseSliceMs);
}

// done * 100 / total, at most 100, without overflow for any 64-bit sizes.
int PercentOf(int64_t done, int64_t total) {
    if (total <= 0) return 0;
    __int128 p = (__int128)done * 100 / total;
    if (p > 100) p = 100;
    if (p < INT32_MIN) p = INT32_MIN;
    return (int)p;
}

} // namespace

// ---------------------------------------------------------------- CbJobProgress
bool CbJobProgress::OnProgress(bool bUpload, int64_t nDone, int64_t nTotal, int& errKind, CWideString& err) {
    (void)nTotal;
    CCritSectionLock lock(m_lock);
    if (!CheckStop(errKind, err)) return false;
    if (nDone < 0) return true;
    m_nItemDone = nDone;
    ShowProgress(bUpload);
    return true;
}

void CbJobProgress::OnMessage(int level, const CWideString& text) {
    if (level < 0 || level > 2) return;
    CWideString line(text);
    line += u"\n";
    AddMessage(level, -1, line);
}

bool CbJobProgress::CheckStop(int& errKind, CWideString& err) {
    if (!IsStopped()) return true;
    errKind = ZEK_STOPPED;
    err += u"User Stop";
    return false;
}

int CbJobProgress::ScaleProgress(int p) const {
    if (p > 100) p = 100;
    return (int)((int64_t)(m_nRangeHigh - m_nRangeLow) * p / 100 + m_nRangeLow);
}

void CbJobProgress::SetProgressRange(int low, int high) {
    if (!(low >= 0 && low <= 100 && high >= 0 && high <= 100 && low < high)) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "SetProgressRange: bad range", low * 1000 + high);
        return;
    }
    CCritSectionLock lock(m_lock);
    m_nRangeLow = low;
    m_nRangeHigh = high;
    m_nLastPercent = -1;
}

void CbJobProgress::SetStartTimeNow() {
    CCritSectionLock lock(m_lock);
    m_tStart = CZorTime::Now();
    m_nStartTick = ZorGetTickMs();
}

void CbJobProgress::ShowProgress(bool bUpload) {
    if (m_nTotalBytes <= 0) return;

    const bool bParallel = m_pJob && m_pJob->AreWorkersRunning();
    int64_t done = m_nBaseDone + (bParallel ? m_pJob->GetWorkersItemDone() : m_nItemDone);
    int percent = ScaleProgress(PercentOf(done, m_nTotalBytes));

    const int64_t nowMs = ZorGetTickMs();
    const int64_t elapsed = (nowMs - m_nStartTick) / 1000;

    if (elapsed > 1) {
        m_nAvgSpeed = done / elapsed;
        if (m_nAvgSpeed > 0 && done > m_nLastShownDone && m_nLastShowTime != 0 && m_pJob) {
            int64_t ms = nowMs - m_nLastShowTime;
            if (ms > 0) {
                const int64_t delta = done - m_nLastShownDone;
                m_nCurSpeed = (int64_t)((__int128)delta * 1000 / ms);
                const int64_t limitKB = m_pJob->GetSpeedLimit(bUpload);
                if (limitKB > 0) {
                    if (ms > kMaxPauseMs) ms = 0;
                    const int64_t need = (int64_t)((__int128)delta * 1000 / ((__int128)limitKB * 1024));
                    if (need > ms) {
                        int64_t pause = need - ms;
                        if (pause > kMaxPauseMs) pause = kPauseSliceMs;
                        PauseInSlices(*this, pause);
                    }
                }
            }
        }
    }

    if (percent == m_nLastPercent && (nowMs - m_nLastShowTime) < 1000) return;
    m_nLastShowTime = nowMs;
    m_nLastShownDone = done;
    m_nLastPercent = percent;

    CWideString text;
    if (m_pJob && !bParallel && m_nItemTotal > 0) {
        const int itemPct = PercentOf(m_nItemDone, m_nItemTotal);
        if (itemPct >= 1 && m_nAvgSpeed > 0 && (double)m_nItemTotal / (double)m_nAvgSpeed >= 1.0)
            text.Format(u"%s %02d%%", m_sItemText, itemPct);
        else
            text = m_sItemText;
    }

    if (m_nAvgSpeed <= 0) {
        text += kProgressPartSep;
        text.AppendFormat(u"Computing Speed: %d", (long long)elapsed);
    } else {
        text += kProgressPartSep;
        double rem = (double)(m_nTotalBytes - done) / (double)m_nAvgSpeed;
        if (rem < 0) rem = 0;
        if (rem > 1e15) rem = 1e15; // keeps the conversion below defined
        const int64_t remaining = (int64_t)rem;
        CWideString eta;
        eta.Format(u"%02d:%02d:%02d", (long long)(remaining / 3600), (int)(remaining / 60 % 60),
                   (int)(remaining % 60));
        if (m_pJob) {
            const uint32_t nAll = m_pJob->GetItemsToProcess();
            const uint32_t nProcessed =
                (uint32_t)std::min<uint64_t>((uint64_t)m_pJob->GetProcessedItemCount() + 1, nAll);
            OnItemCounts(nProcessed, nAll, m_nAvgSpeed, nullptr);
        }
        CWideString speed = FormatByteSize((uint64_t)m_nAvgSpeed);
        speed += u"/s (";
        speed += FormatByteSize((uint64_t)std::max<int64_t>(m_nCurSpeed, 0));
        speed += u"/s)";
        m_sSpeedText = speed;
        text += FormatLocalizedString(IDS_Str_Status_Remaining_Speed, eta, speed);
    }
    OnShowProgress(percent, text);
}

void CbJobProgress::AddMessage(int level, int id, const CWideString& text) {
    CCritSectionLock lock(m_lock);
    if (!g_EngineOptions.m_bGroupSimilarLogLines) {
        // Without grouping nothing is ever past the fifth line of a group.
        OnMessageLine(level, text, MLM_NORMAL);
        return;
    }
    const int64_t nowMs = ZorGetTickMs();
    if (level == m_nLastMsgLevel && id != -1 && id == m_nLastMsgId &&
        (nowMs - m_nLastMsgTime) / 1000 < kMessageGroupSeconds) {
        ++m_nRepeatCount;
        OnMessageLine(level, text, m_nRepeatCount > kMessageGroupShown ? MLM_PAST_FIFTH : MLM_NORMAL);
        return;
    }
    if (m_nRepeatCount > kMessageGroupShown) {
        CWideString n;
        n.Format(u"%d", m_nRepeatCount - kMessageGroupShown);
        CWideString summary = FormatLocalizedString(IDS_Str_Msg_AndMoreSimilarLogLines, n);
        summary += u"\n";
        OnMessageLine(m_nLastMsgLevel, summary, MLM_GROUP_SUMMARY);
    }
    m_nLastMsgLevel = level;
    m_nLastMsgId = id;
    m_nRepeatCount = 1;
    m_nLastMsgTime = nowMs;
    if (!text.IsEmpty()) OnMessageLine(level, text, MLM_NORMAL);
}

void CbJobProgress::ResetMessageRepeat() {
    CCritSectionLock lock(m_lock);
    m_nLastMsgLevel = -1;
    m_nLastMsgId = 0;
    m_nRepeatCount = 1;
    m_nLastMsgTime = ZorGetTickMs();
}

void CbJobProgress::NotifyItemChanged(CSyncNode* pNode, bool bForce) {
    if (!pNode) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "NotifyItemChanged: null node");
        return;
    }
    if (!bForce) {
        const CSyncPairAndAction& item = pNode->GetItem();
        if (!item.IsFolder() && item.GetEffAction() == EA_NO_COPY) return;
    }
    OnItemChanged(pNode);
}

// ---------------------------------------------------------------- CbWorkerProgress
double GetSlowDownFactor(int level) {
    static const double kFactors[4] = {0, 1.333333, 2.0, 4.0};
    if (level < 0 || level > 3) return 0;
    return kFactors[level];
}

void CbWorkerProgress::SetJobSink(CbJobProgress* pSink) {
    if (!pSink) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "CbWorkerProgress: null job sink");
        pSink = &g_DummyJobProgress;
    }
    m_pJobSink = pSink;
}

int CbWorkerProgress::GetSlowDownLevel(bool bUpload) const {
    const CSyncJob* pJob = m_pJobSink ? m_pJobSink->GetJob() : nullptr;
    return pJob ? pJob->GetSlowDownLevel(bUpload) : 0;
}

void CbWorkerProgress::OnMessage(int level, const CWideString& text) {
    if (level < 0 || level > 2) return;
    CWideString line(text);
    line += u"\n";
    m_pJobSink->AddMessage(level, -1, line);
}

bool CbWorkerProgress::OnProgress(bool bUpload, int64_t nDone, int64_t nTotal, int& errKind,
                                  CWideString& err) {
    (void)nTotal;
    const int64_t nowMs = ZorGetTickMs();
    const int64_t gap = nowMs - m_nLastCallTime;
    const int level = GetSlowDownLevel(bUpload);

    if (!m_bStarted) {
        m_bStarted = 1;
    } else if (level > 0) {
        if (m_nMeasuredInterval >= 0) {
            ++m_nSlowedCalls;
            int64_t pause = (int64_t)(m_nMeasuredInterval * GetSlowDownFactor(level));
            PauseInSlices(*this, pause);
            if (m_nSlowedCalls >= 1000) m_nMeasuredInterval = -1;
        } else {
            ++m_nMeasuredCalls;
            m_nMeasuredSum += gap;
            if (m_nMeasuredCalls >= 100) {
                m_nMeasuredInterval = (int32_t)std::clamp<int64_t>(m_nMeasuredSum / 100, 0, 500);
                m_nSlowedCalls = 0;
                m_nMeasuredCalls = 0;
                m_nMeasuredSum = 0;
            }
        }
    }
    m_nLastCallTime = ZorGetTickMs();

    if (!IsSuppressed() && !m_pJobSink->CheckStop(errKind, err)) return false;

    if (m_pItemNode) {
        const CWideString path = m_pItemNode->GetPath();
        if (m_pJobSink->HasItemChanged(path)) {
            errKind = ZEK_GENERAL;
            err += u"File transfer canceled by change";
            return false;
        }
        if (nDone >= 0) m_pJobSink->OnItemBytes(path, m_nItemTotal, nDone);
    }
    if (nDone < 0) return true;

    CCritSectionLock lock(m_pJobSink->GetLock());
    m_nItemDone = nDone;
    if (m_nItemTotal > 0 && m_nItemDone > 0) {
        CWideString text;
        text.Format(u"%02d%%", PercentOf(m_nItemDone, m_nItemTotal));
        m_pJobSink->ShowProgress(bUpload);
        if (m_pItemNode) {
            CSyncPairAndAction& item = m_pItemNode->GetItem();
            if (item.GetReason() != text) {
                item.SetReason(text);
                m_pJobSink->NotifyItemChanged(m_pItemNode, false);
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------- item icons
bool GetItemIcons(const CSyncPairAndAction* pItem, int& nLeft, int& nAction, int& nRight) {
    nLeft = nAction = nRight = -1;
    if (!pItem) return false;
    const CSyncPairAndAction& it = *pItem;
    if (it.IsExcluded()) {
        nAction = 25;
        return true;
    }
    const uint8_t eff = it.GetEffAction();
    const uint8_t sys = it.m_nSysAction;
    const uint8_t state = it.m_nExecState;
    const bool folder = it.IsFolder();
    const bool inErr = state == ESS_ANALYZED_ERR || state == ESS_SYNCED_ERR;

    if (state == ESS_SYNCED_OK || sys == EA_NO_COPY) {
        if (folder) {
            nLeft = 8;
            nAction = 17;
            nRight = 34;
        } else {
            nAction = eff == EA_CONFLICT ? 22 : 14;
        }
    } else {
        if (eff == EA_CONFLICT)
            nAction = 22;
        else if (inErr)
            nAction = 23;
        else if (!(sys & EA_BIT_NO_DIRECTION))
            nAction = (eff & EA_BIT_NO_DIRECTION) ? 17 : 19;
        else
            nAction = (eff & EA_BIT_NO_DIRECTION) ? 16 : 18;

        if (!(eff & EA_BIT_TO_LEFT)) {
            nLeft = folder ? 8 : ((sys & EA_BIT_TO_LEFT) ? 2 : 3);
        } else if (inErr) {
            nLeft = folder ? 10 : 6;
        } else if (eff == EA_NAME_CASE_RIGHT_TO_LEFT) {
            nLeft = 12;
        } else if (eff == EA_COPY_STATE_RIGHT_TO_LEFT) {
            nLeft = 13;
        } else if (eff == EA_TIME_RIGHT_TO_LEFT) {
            nLeft = 11;
        } else {
            const bool x = it.LeftExists() && !it.RightExists();
            if (folder)
                nLeft = x ? 9 : 7;
            else if (sys & EA_BIT_TO_LEFT)
                nLeft = x ? 4 : 0;
            else
                nLeft = x ? 5 : 1;
        }

        if (!(eff & EA_BIT_TO_RIGHT)) {
            nRight = folder ? 34 : ((sys & EA_BIT_TO_RIGHT) ? 28 : 29);
        } else if (inErr) {
            nRight = folder ? 36 : 32;
        } else if (eff == EA_NAME_CASE_LEFT_TO_RIGHT) {
            nRight = 38;
        } else if (eff == EA_COPY_STATE_LEFT_TO_RIGHT) {
            nRight = 39;
        } else if (eff == EA_TIME_LEFT_TO_RIGHT) {
            nRight = 37;
        } else {
            const bool y = it.RightExists() && !it.LeftExists();
            if (folder)
                nRight = y ? 35 : 33;
            else if (sys & EA_BIT_TO_RIGHT)
                nRight = y ? 30 : 26;
            else
                nRight = y ? 31 : 27;
        }
    }

    if (state == ESS_SYNCING) nAction = 24;
    if (it.m_nUserAction == EA_NO_COPY && (sys == EA_COPY_RIGHT_TO_LEFT || sys == EA_COPY_LEFT_TO_RIGHT ||
                                           sys == EA_CONFLICT || sys == EA_ERROR))
        nAction = 17;
    return true;
}
