// The state-file reader's side of the job: the journal that takes a failed
// read back, the state levels, and the merge of a record into the sync tree.
// The parts of the state file live beside it: the record codec
// (state-file-record.cpp), the tree parser (state-file-parse.cpp), the
// writer (state-file-write.cpp) and the child-name index (state-file-index.cpp).
#include "state-file.h"

#include "sync-progress.h"
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-fold.h"
#include "zor-locstr.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Message kinds of the run messages written here.
constexpr int kMsgDuplicateName = 7142;

CWideString Nfc(const CWideString& s) {
    if (IsNameNfc(s)) return s;
    CWideString t = s;
    NormalizeNameNfc(t);
    return t;
}

// True when a component of the path is "." or "..", or the path holds a NUL:
// such names never come from a listing and must not reach the tree.
bool HasBadComponent(const CWideString& path) {
    const char16_t* p = path.GetString();
    const int n = path.GetLength();
    int start = 0;
    for (int i = 0; i <= n; i++) {
        if (i < n && p[i] == 0) return true;
        if (i == n || p[i] == u'/') {
            const int len = i - start;
            if ((len == 1 && p[start] == u'.') || (len == 2 && p[start] == u'.' && p[start + 1] == u'.'))
                return true;
            start = i + 1;
        }
    }
    return false;
}

// A name that is a component by itself: not empty, no separator, no NUL,
// not "." or "..", NFC. Below U+0300 every name is NFC. Four units are
// looked at in one step.
bool IsPlainName(const CWideString& name) {
    const char16_t* p = name.GetString();
    const int n = name.GetLength();
    if (n == 0 || (p[0] == u'.' && (n == 1 || (n == 2 && p[1] == u'.')))) return false;
    uint64_t nOr = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint64_t w = ZorLoadUnits4(p + i);
        if (ZorAnyZeroUnit4(w) || ZorAnyZeroUnit4(w ^ (kZorUnitOnes * u'/'))) return false;
        nOr |= w;
    }
    for (; i < n; i++) {
        const char16_t c = p[i];
        if (c == u'/' || c == 0) return false;
        nOr |= c;
    }
    nOr |= nOr >> 32;
    nOr |= nOr >> 16;
    return (nOr & 0xFFFF) < 0x100 || IsNameNfc(name);
}

int CountComponents(const CWideString& path) {
    int n = 0;
    bool bIn = false;
    for (int i = 0; i < path.GetLength(); i++) {
        if (path[i] == u'/') {
            bIn = false;
        } else if (!bIn) {
            bIn = true;
            n++;
        }
    }
    return n;
}

} // namespace

// ---------------------------------------------------------------- CStateFileIo
void CStateFileIo::Log(int nLevel, int nMsgKind, const CWideString& sText) {
    (void)nLevel;
    (void)nMsgKind;
    (void)sText;
}

void CStateFileIo::LogGlobal(const CWideString& sText) {
    if (ZorTraceEnabled()) ZorTraceText(WideToUtf8(sText));
}

bool CStateFileIo::SideAnswersCapability25(int nSide) {
    (void)nSide;
    return true;
}

bool CStateFileIo::IsStopRequested() {
    return m_pProgress && m_pProgress->IsStopRequested();
}

CWideString CStateFileIo::GetSideName(int nSide) {
    return GetLocalizedString(nSide ? IDS_Str_Right : IDS_Str_Left);
}

bool CStateFileIo::CheckStop(CWideString& err) {
    if (!IsStopRequested()) return true;
    err += GetLocalizedString(IDS_Str_Msg_StoppedByUser);
    m_bStopped = true;
    return false;
}

int32_t CStateFileIo::GetStateLevel(const CSyncTreeNode* pNode) const {
    if (!m_Levels.empty()) {
        auto it = m_Levels.find(&pNode->GetItem());
        if (it != m_Levels.end()) return it->second;
    }
    return pNode->GetDepth(nullptr);
}

void CStateFileIo::SetStateLevel(const CSyncTreeNode* pNode, int32_t nLevel) {
    if (nLevel != pNode->GetDepth(nullptr))
        m_Levels[&pNode->GetItem()] = nLevel;
    else if (!m_Levels.empty())
        m_Levels.erase(&pNode->GetItem());
}

void CStateFileIo::Remember(CSyncTreeNode* pNode, int nSide) {
    if (!m_bJournal) return;
    const CSyncPairAndAction& item = pNode->GetItem();
    // A node that holds a record already may be met again in the same read
    // (a file that repeats a record): its state before the read is kept
    // once, so that the journal grows with the nodes, not with the records.
    if (item.m_aOld[nSide].IsPresentBit() && !m_Journaled.insert(pNode).second) return;
    auto it = m_Levels.empty() ? m_Levels.end() : m_Levels.find(&item);
    m_Journal.push_back(SJournal{pNode, item.m_aOld[nSide], item.m_aGens[nSide], item.GetSavedTime(nSide),
                                 item.GetSavedLen(nSide), it == m_Levels.end() ? 0 : it->second,
                                 it != m_Levels.end(), item.m_nFlags, item.m_aOldIdent[nSide],
                                 item.m_aOldMark[nSide]});
}

void CStateFileIo::RememberFresh(CSyncTreeNode* pNode) {
    if (m_bJournal) m_Fresh.push_back(pNode);
}

void CStateFileIo::RollBack(int nSide) {
    for (auto it = m_Journal.rbegin(); it != m_Journal.rend(); ++it) {
        CSyncPairAndAction& item = it->pNode->GetItem();
        item.m_aOld[nSide] = it->old;
        item.m_aGens[nSide] = it->gens;
        item.SetSaved(nSide, it->tSaved, it->savedLen);
        item.m_nFlags = it->nItemFlags;
        item.m_aOldIdent[nSide] = it->nOldIdent;
        item.m_aOldMark[nSide] = it->nOldMark;
        // The digest the side had is not kept (a refused file is rare):
        // the side's record keeps none.
        item.m_aOld[nSide].SetFlag(SIF_DIGEST, false);
        if (it->bHadLevel)
            m_Levels[&item] = it->nLevel;
        else
            m_Levels.erase(&item);
    }
    // Nodes created by the read go again, so that a file that was refused
    // keeps none of what it took. Each was made after its parent (and the
    // nodes the read created have no other children): the last one first.
    for (auto it = m_Fresh.rbegin(); it != m_Fresh.rend(); ++it) {
        CSyncTreeNode* pNode = *it;
        m_Levels.erase(&pNode->GetItem());
        CSyncTreeNode* pParent = pNode->GetParent();
        if (pParent && pParent->GetChildMap())
            pParent->GetChildMap()->RemoveEntry(CSyncTreeNode::CChildMap::EntryFromValue(pNode));
    }
    m_Journal.clear();
    m_Fresh.clear();
}

CSyncTreeNode* CStateFileIo::FindPlainChild(CSyncTreeNode* pParent, const CWideString& name,
                                            const CSideInfo& rec, const CChildNameIndex* pIndex) const {
    CSyncTreeNode::CChildMap* pMap = pParent ? pParent->GetChildMap() : nullptr;
    if (!pMap || !rec.m_sId.IsEmpty() || !IsPlainName(name)) return nullptr;
    if (pIndex && pIndex->IsUsable()) return pIndex->Find(name, m_bCaseSensitive);
    CSyncTreeNode::CEntry* e = pMap->LookupCS(name, m_bCaseSensitive);
    return e ? &e->GetValue() : nullptr;
}

CSyncTreeNode* CStateFileIo::AddFreshChild(CSyncTreeNode* pParent, const CWideString& name, int nSide,
                                           const CSideInfo& rec) {
    if (!IsPlainName(name) || pParent->GetDepth(nullptr) >= kStateMaxDepth) return nullptr;
    CWideString e;
    // A new node's item is a new item: only the side's old record is set.
    // The file lists a folder's children in key order.
    CSyncTreeNode* pNode = pParent->AddItemCS(name, rec.IsFolder(), m_bCaseSensitive, nullptr, e, true);
    if (!pNode) return nullptr; // already there: the general way handles it
    pNode->GetItem().m_aOld[nSide] = rec;
    RememberFresh(pNode);
    if (CSyncJob::IsInExcludedSubtree(pNode)) pNode->GetItem().m_nFlags |= SPF_EXCLUDED;
    return pNode;
}

CSyncTreeNode* CStateFileIo::ReadMergeRecord(int nSide, CSyncTreeNode* pParent, int nDepth,
                                             const CWideString& name, StateFile& rec, CSyncTime tSaved,
                                             const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                             CWideString& err) {
    // The node this record's sibling before it merged into: the file keeps
    // the child-map order, so the child after that one is most likely this
    // record's. It is taken when it is what the look-up would give.
    CSyncTreeNode** ppMerged =
        nDepth >= 0 && (size_t)nDepth < m_MergedAt.size() ? &m_MergedAt[(size_t)nDepth] : nullptr;
    CSyncTreeNode* pNext = nullptr;
    if (ppMerged && *ppMerged && (*ppMerged)->GetParent() == pParent && rec.m_sId.IsEmpty() &&
        IsPlainName(name)) {
        CSyncTreeNode::CEntry* e =
            CSyncTreeNode::CChildMap::GetNext(CSyncTreeNode::CChildMap::EntryFromValue(*ppMerged));
        if (e && CChildNameIndex::NameMatches(name, e->GetKey(), m_bCaseSensitive) &&
            (m_bCaseSensitive || !CChildNameIndex::NameMatches(name, (*ppMerged)->GetNameRef(), false)))
            pNext = &e->GetValue();
    }
    CSyncTreeNode* pNode =
        ReadMergeInto(nSide, pParent, nDepth, name, rec, tSaved, savedLen, gens, bFresh, err, pNext);
    if (ppMerged) *ppMerged = pNode && pNode->GetParent() == pParent ? pNode : nullptr;
    return pNode;
}

CSyncTreeNode* CStateFileIo::ReadMergeInto(int nSide, CSyncTreeNode* pParent, int nDepth,
                                           const CWideString& name, StateFile& rec, CSyncTime tSaved,
                                           const CItemLen& savedLen, const CGenArray& gens, bool& bFresh,
                                           CWideString& err, CSyncTreeNode* pNext) {
    // The common case, a plain name already below the parent, is merged
    // directly: what SetNodeCS does for "/" + name that it finds.
    if (CSyncTreeNode* pFound = pNext ? pNext : FindPlainChild(pParent, name, rec)) {
        Remember(pFound, nSide);
        CSyncPairAndAction& item = pFound->GetItem();
        CSideInfo& old = item.m_aOld[nSide];
        const bool bDup = old.IsPresentBit();
        if (!bDup) old = rec;
        if (name != pFound->GetNameRef()) old.m_sId = name;
        if (CSyncJob::IsInExcludedSubtree(pFound)) item.m_nFlags |= SPF_EXCLUDED;
        bFresh = false;
        item.SetSaved(nSide, tSaved, savedLen);
        MergeOldRecord(pFound, nSide, bDup, nDepth, rec, gens);
        return pFound;
    }
    CWideString path = u"/";
    if (rec.m_sId.IsEmpty()) {
        path += name;
    } else {
        const CWideString nfcId = Nfc(rec.m_sId), nfcName = Nfc(name);
        if (nfcId == nfcName) {
            path += rec.m_sId;
        } else if (nfcId.CompareNoCase(nfcName) == 0) {
            // The side's own letter case: the node keeps its key, the
            // record keeps the side's form.
            path += name;
        } else {
            rec.m_sId = name;
            path += name;
        }
    }
    bool bDup = false;
    CWideString e;
    const size_t nFresh = m_Fresh.size();
    CSyncTreeNode* pNode = SetNodeCS(path, nSide, pParent, nDepth, true, false, 4, rec, bDup, e);
    if (!pNode) {
        err += u"Cannot add tree node: ";
        err += EscapeControlChars(path);
        err += u": ";
        err += e;
        return nullptr;
    }
    bFresh = m_Fresh.size() > nFresh && m_Fresh.back() == pNode;
    CSyncPairAndAction& item = pNode->GetItem();
    item.SetSaved(nSide, tSaved, savedLen);
    MergeOldRecord(pNode, nSide, bDup, nDepth, rec, gens);
    return pNode;
}

CSyncTreeNode* CStateFileIo::ForceCreatePath(CSyncTreeNode* pParent, const CWideString& path, int nSide,
                                             bool bIntoOld, CWideString& err) {
    if (!pParent) {
        err += u"no parent node";
        return nullptr;
    }
    if (pParent->GetDepth(nullptr) + CountComponents(path) > kStateMaxDepth) {
        err.AppendFormat(u"path nested deeper than %d levels", kStateMaxDepth);
        return nullptr;
    }
    CSideInfo folder;
    folder.SetPresent(true);
    folder.SetFolder(true);
    folder.m_Len.SetFolder();
    CSyncPairAndAction item;
    (bIntoOld ? item.m_aOld : item.m_aCur)[nSide] = folder;

    CSyncTreeNode* pCur = pParent;
    const int n = path.GetLength();
    int i = 0;
    for (;;) {
        while (i < n && path[i] == u'/') i++;
        const int nStart = i;
        while (i < n && path[i] != u'/') i++;
        if (i >= n) return pCur; // the last component is the caller's
        const CWideString comp = path.Mid(nStart, i - nStart);
        CWideString e;
        CSyncTreeNode* pNext = CSyncTreeNode::LookupCS(pCur, comp, m_bCaseSensitive, nullptr, e);
        if (!pNext) {
            pNext = pCur->AddItemCS(comp, true, m_bCaseSensitive, &item, err);
            if (!pNext) return nullptr;
            if (bIntoOld) {
                RememberFresh(pNext);
                SetStateLevel(pNext, 0); // a folder made for a path, not read from a record
            }
        }
        pCur = pNext;
    }
}

CSyncTreeNode* CStateFileIo::SetNodeCS(const CWideString& path, int nSide, CSyncTreeNode* pParent, int nDepth,
                                       bool bIntoOld, bool bPathMode, int nLevel, const CSideInfo& rec,
                                       bool& bDuplicate, CWideString& err) {
    (void)nDepth;
    ZOR_ASSERT(rec.IsPresentBit());
    bDuplicate = false;
    const int nSlash = path.ReverseFind(u'/');
    const CWideString name = nSlash >= 0 ? path.Mid(nSlash + 1) : path;
    if (bPathMode && name.IsEmpty()) {
        err += u"SetNodeCS: empty name";
        return nullptr;
    }
    if (!bPathMode && HasBadComponent(path)) {
        err += u"SetNodeCS: bad name: ";
        err += EscapeControlChars(path);
        return nullptr;
    }
    const CWideString nfcPath = Nfc(path);
    const CWideString nfcName = nSlash >= 0 ? Nfc(name) : nfcPath;

    CSyncTreeNode* pNode = nullptr;
    CSyncTreeNode* pDeep = nullptr;
    if (name.IsEmpty()) {
        pNode = pParent;
        pDeep = pParent ? pParent->GetParent() : nullptr;
    } else {
        CWideString e;
        pNode = CSyncTreeNode::LookupCS(pParent, nfcPath, m_bCaseSensitive, &pDeep, e);
        if (!pNode && !pDeep) {
            if (bPathMode && !bIntoOld) {
                err.AppendFormat(u"Orphaned child, likely caused by corrupted file system on %s: %s\n",
                                 GetSideName(nSide), path);
                return nullptr;
            }
            CWideString e2;
            pDeep = ForceCreatePath(pParent, nfcPath, nSide, bIntoOld, e2);
            if (!pDeep) {
                err += u"SetNodeCS: ForceCreatePath: ";
                err += e2;
                return nullptr;
            }
        }
    }
    if (!pNode) {
        if (!bPathMode && pDeep->GetDepth(nullptr) >= kStateMaxDepth) {
            // Every node a state file creates can be written and read again.
            err.AppendFormat(u"SetNodeCS: path nested deeper than %d levels", kStateMaxDepth);
            return nullptr;
        }
        CSyncPairAndAction item;
        (bIntoOld ? item.m_aOld : item.m_aCur)[nSide] = rec;
        pNode = pDeep->AddItemCS(nfcName, rec.IsFolder(), m_bCaseSensitive, &item, err);
        if (!pNode) return nullptr;
        if (bIntoOld) RememberFresh(pNode);
        // The side's own form of the name goes onto the record being filled.
        if (name != pNode->GetNameRef())
            (bIntoOld ? pNode->GetItem().m_aOld : pNode->GetItem().m_aCur)[nSide].m_sId = name;
    } else if (bIntoOld) {
        Remember(pNode, nSide);
        CSideInfo& old = pNode->GetItem().m_aOld[nSide];
        if (old.IsPresentBit())
            bDuplicate = true;
        else
            old = rec;
        if (nLevel >= 4 && !name.IsEmpty() && name != pNode->GetNameRef()) old.m_sId = name;
    } else {
        CSyncPairAndAction& item = pNode->GetItem();
        CSideInfo& cur = item.m_aCur[nSide];
        if (!cur.IsPresentBit()) {
            cur = rec;
            if (!name.IsEmpty() && name != pNode->GetNameRef()) cur.m_sId = name;
        } else if (bPathMode) {
            // Two listed items map to one node.
            bDuplicate = true;
            int nLogLevel = 2;
            if (!SideAnswersCapability25(nSide)) {
                item.m_nExecState = ESS_ANALYZED_ERR;
                nLogLevel = 1;
            }
            CWideString sNew = pDeep ? CSyncJob::GetItemSidePath(pDeep, nSide) : CWideString();
            sNew += u"/";
            sNew += name;
            const CWideString sOld = CSyncJob::GetItemSidePath(pNode, nSide);
            if (sNew != sOld) {
                // Two distinct items of the side (e.g. "README" and "readme" on a
                // case-sensitive disk) share one node: only one of them could be
                // synced, so the item is an error the user sees, never a quiet note.
                item.m_nExecState = ESS_ANALYZED_ERR;
                nLogLevel = 1;
                item.SetReason(CWideString::Formatted(u"Two items on %s side are named the same after "
                                                      u"normalization and lower-casing: '%s' vs '%s'",
                                                      GetSideName(nSide), EscapeControlChars(sNew),
                                                      EscapeControlChars(sOld)));
                Log(nLogLevel, kMsgDuplicateName, item.GetReason() + u"\n");
            } else {
                item.SetReason(u"same item name, but still dup -- call support");
            }
            CWideString g;
            g.Format(u"Duplicate item name error: %s: %s\n", sNew, item.GetReason());
            LogGlobal(g);
            return pNode;
        }
    }
    if (!bPathMode && CSyncJob::IsInExcludedSubtree(pNode)) pNode->GetItem().m_nFlags |= SPF_EXCLUDED;
    return pNode;
}

CSyncTreeNode* CStateFileIo::FindPathNode(const CWideString& path, CSyncTreeNode* pParent) const {
    bool bAllSeparators = true;
    for (int i = 0; i < path.GetLength() && bAllSeparators; i++) bAllSeparators = path[i] == u'/';
    if (bAllSeparators) return pParent;
    CWideString e;
    return CSyncTreeNode::LookupCS(pParent, Nfc(path), m_bCaseSensitive, nullptr, e);
}

void CStateFileIo::MergeOldRecord(CSyncTreeNode* pNode, int nSide, bool bDuplicate, int nLevel,
                                  const StateFile& rec, const CGenArray& gens) {
    CSyncPairAndAction& item = pNode->GetItem();
    // The digest goes with the record it is of, a file's (a deleted record
    // that an earlier version kept one on holds no bytes).
    auto takeDigest = [&] {
        const bool bDigest = rec.GetFlag(SIF_DIGEST) && rec.Exists() && !rec.IsFolder();
        if (bDigest) item.SetSideDigest(nSide, rec.m_nDigest);
        item.m_aOld[nSide & 1].SetFlag(SIF_DIGEST, bDigest);
    };
    if (!bDuplicate) {
        item.m_aOldIdent[nSide & 1] = rec.m_nIdent;
        item.m_aOldMark[nSide & 1] = rec.m_nMark;
        takeDigest();
        SetStateLevel(pNode, nLevel);
        item.m_aGens[nSide] = gens;
        return;
    }
    ++m_anDuplicates[nSide & 1];
    CSideInfo& old = item.m_aOld[nSide];
    // A record from another folder's state file: the side root's file, read
    // first, is this job's own history of the item; a data folder further
    // down belongs to a job over that subfolder, whose records and
    // generations tell what that job did, not what this one did. Taking
    // them over would hide a change from this job's comparison, or give its
    // side a generation the other side never gets.
    if (nLevel != GetStateLevel(pNode)) return;
    if (old.Exists() && !rec.Exists()) {
        bool bChanged = false;
        MergeGenerations(item.m_aGens[nSide], gens, bChanged);
        if (bChanged) old.SetFlag(SIF_CORRECTED, true);
        return;
    }
    // Replace.
    constexpr uint8_t kTaken = SIF_PRESENT | SIF_FOLDER | SIF_LINK;
    old.m_nFlags = (uint8_t)((old.m_nFlags & ~kTaken) | (rec.m_nFlags & kTaken));
    old.m_Len = rec.m_Len;
    old.m_tFile = rec.m_tFile;
    old.m_tAccu = rec.m_tAccu;
    old.m_nAttr = rec.m_nAttr;
    old.m_nStamp = rec.m_nStamp;
    old.m_sId = rec.m_sId;
    item.m_aOldIdent[nSide & 1] = rec.m_nIdent;
    item.m_aOldMark[nSide & 1] = rec.m_nMark;
    takeDigest();
    bool bChanged = false;
    MergeGenerations(item.m_aGens[nSide], gens, bChanged);
    if (bChanged) old.SetFlag(SIF_CORRECTED, true);
}
