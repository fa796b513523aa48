// Renames and moves: a file that went to a new name or folder on one side
// looks like a new file plus a deleted one; pairing them lets the sync move
// the file on the other side instead of copying it again. Whole folders that
// moved, and names whose only change is letter case, are found here too.
#include "syncjob.h"
#include "zor-debug.h"
#include "zor-path.h"
#include "zor-unicode.h"

#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

CSyncTreeNode* Find(CSyncTreeNode* pRoot, const CWideString& path) {
    if (!pRoot || path.IsEmpty()) return nullptr;
    CWideString e;
    return CSyncTreeNode::LookupCS(pRoot, path, false, nullptr, e);
}

void ClearMove(CSyncPairAndAction& item) {
    item.ClearMove();
    item.ClearReason();
}

CWideString NfcName(const CWideString& name) {
    CWideString s = name;
    NormalizeNameNfc(s);
    return s;
}

// The two names differ once both are in NFC (equal texts need no normalising).
bool NamesDifferNfc(const CWideString& a, const CWideString& b) {
    return a != b && NfcName(a) != NfcName(b);
}

} // namespace

CMoveKey MoveKey(const CSideInfo& rec) {
    CMoveKey k;
    k.m_nLen = rec.m_Len.GetValue();
    k.m_nTime = rec.IsFolder() ? 0 : rec.m_tAccu.GetTime();
    return k;
}

bool IsNewCopyLtoR(const CSyncPairAndAction& item) {
    return item.GetEffAction() == EA_COPY_LEFT_TO_RIGHT && item.LeftExists() && !item.RightExists();
}

bool IsDeleteLtoR(const CSyncPairAndAction& item) {
    return item.GetEffAction() == EA_COPY_LEFT_TO_RIGHT && !item.LeftExists() && item.RightExists();
}

// One direction's table: the new and deleted items of each key (in the order
// the keys were first met), and per key and file name how many of each kind
// it holds. Files of one size and time are common (extracted archives,
// copied trees), so a key alone says little: a new item is linked to a
// deleted one only when nothing else could have been its source. Counting
// through the names keeps the pass linear where many files share one key.
struct CDetectFileRenamesAndMoves::CTable {
    struct CItem {
        CSyncTreeNode* pNode;
        size_t nSlot;
        bool bNew;
    };
    struct CKeyItems {
        std::vector<CItem> items;
        size_t nNew = 0, nDel = 0;
    };
    struct CSlotKey {
        size_t nKey;
        std::u16string_view name; // the node's own name, alive for the whole pass
        bool operator==(const CSlotKey& o) const { return nKey == o.nKey && name == o.name; }
    };
    struct CSlotHash {
        size_t operator()(const CSlotKey& s) const {
            return std::hash<std::u16string_view>()(s.name) ^ (s.nKey * 0x9E3779B97F4A7C15ull);
        }
    };
    // The items of one key under one name: how many of each kind, and the
    // last of each (the only one where the count is 1); the same for those
    // whose folder is itself new, or deleted, in this direction.
    struct CSlot {
        uint32_t nNew = 0, nDel = 0, nNewInFolder = 0, nDelInFolder = 0;
        CSyncTreeNode* pNew = nullptr;
        CSyncTreeNode* pDel = nullptr;
        CSyncTreeNode* pNewInFolder = nullptr;
        CSyncTreeNode* pDelInFolder = nullptr;
        bool bFolderLinked = false;
    };
    struct CFolderPairHash {
        size_t operator()(const std::pair<const CSyncTreeNode*, const CSyncTreeNode*>& p) const {
            return std::hash<const void*>()(p.first) ^ (std::hash<const void*>()(p.second) * 31);
        }
    };

    // Every item placed, in order, so that the items left unpaired can be
    // placed again into a table of their own.
    struct CPlaced {
        CMoveKey key;
        std::u16string_view name;
        CSyncTreeNode* pNode;
        bool bNew, bInFolder;
    };
    std::vector<CPlaced> placed;
    std::unordered_map<CMoveKey, size_t, CMoveKeyHash> index;
    std::vector<CKeyItems> keys;
    std::unordered_map<CSlotKey, size_t, CSlotHash> slotIndex;
    std::vector<CSlot> slots;
    // Per new or deleted folder, the items placed from it.
    std::unordered_map<const CSyncTreeNode*, size_t> folderItems;

    void Place(const CMoveKey& key, std::u16string_view name, CSyncTreeNode* pNode, bool bNew, bool bInFolder) {
        placed.push_back(CPlaced{key, name, pNode, bNew, bInFolder});
        const auto ins = index.emplace(key, keys.size());
        if (ins.second) keys.emplace_back();
        const size_t nKey = ins.first->second;
        const auto sins = slotIndex.emplace(CSlotKey{nKey, name}, slots.size());
        if (sins.second) slots.emplace_back();
        CSlot& slot = slots[sins.first->second];
        CKeyItems& k = keys[nKey];
        k.items.push_back(CItem{pNode, sins.first->second, bNew});
        ++(bNew ? k.nNew : k.nDel);
        ++(bNew ? slot.nNew : slot.nDel);
        (bNew ? slot.pNew : slot.pDel) = pNode;
        if (!bInFolder) return;
        ++(bNew ? slot.nNewInFolder : slot.nDelInFolder);
        (bNew ? slot.pNewInFolder : slot.pDelInFolder) = pNode;
        ++folderItems[pNode->GetParent()];
    }

    // A name that several items of a key hold decides nothing by itself, but
    // a folder that went as a whole and a new one can: when every item of
    // each (two at least: one alone says no more than its name) is matched
    // by name to one in the other, and in each such name it is the only
    // candidate from a new or deleted folder (a folder renamed while files
    // of its names and sizes went elsewhere).
    void MatchFolders() {
        std::unordered_map<std::pair<const CSyncTreeNode*, const CSyncTreeNode*>, size_t, CFolderPairHash> matched;
        for (const CSlot& s : slots)
            if (s.nNewInFolder == 1 && s.nDelInFolder == 1)
                ++matched[{s.pDelInFolder->GetParent(), s.pNewInFolder->GetParent()}];
        for (CSlot& s : slots) {
            if (s.nNewInFolder != 1 || s.nDelInFolder != 1 || (s.nNew == 1 && s.nDel == 1)) continue;
            const CSyncTreeNode *pFrom = s.pDelInFolder->GetParent(), *pTo = s.pNewInFolder->GetParent();
            const size_t n = matched[{pFrom, pTo}];
            s.bFolderLinked = n >= 2 && n == folderItems[pFrom] && n == folderItems[pTo];
        }
    }
};

CDetectFileRenamesAndMoves::CDetectFileRenamesAndMoves() : m_pTables{new CTable, new CTable} {}

CDetectFileRenamesAndMoves::~CDetectFileRenamesAndMoves() {
    delete m_pTables[0];
    delete m_pTables[1];
}

bool CDetectFileRenamesAndMoves::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!item.GetMove().IsEmpty()) ClearMove(item);
    if (item.IsFolder() && CSyncJob::AnyIncludedChildExists(pNode)) return true;
    const std::u16string_view name = pNode->GetNameRef().View();
    const CSyncTreeNode* pParent = pNode->GetParent();
    const CSyncPairAndAction* pFolder = pParent && pParent->GetParent() ? &pParent->GetItem() : nullptr;
    if (IsNewCopyLtoR(item))
        m_pTables[0]->Place(MoveKey(item.m_aCur[0]), name, pNode, true, pFolder && IsNewCopyLtoR(*pFolder));
    else if (item.IsNewCopyRtoL())
        m_pTables[1]->Place(MoveKey(item.m_aCur[1]), name, pNode, true, pFolder && pFolder->IsNewCopyRtoL());
    else if (IsDeleteLtoR(item))
        m_pTables[0]->Place(MoveKey(item.m_aOld[1]), name, pNode, false, pFolder && IsDeleteLtoR(*pFolder));
    else if (item.IsDeleteRtoL())
        m_pTables[1]->Place(MoveKey(item.m_aOld[0]), name, pNode, false, pFolder && pFolder->IsDeleteRtoL());
    return true;
}

namespace {

void LinkNodes(CSyncTreeNode* pFrom, CSyncTreeNode* pTo) {
    if (!CSyncJob::HasOnlyFolderAncestors(pFrom) || !CSyncJob::HasOnlyFolderAncestors(pTo)) return;
    const CWideString from = pFrom->GetPath(), to = pTo->GetPath();
    pTo->GetItem().SetMove(u"<" + from);
    pTo->GetItem().SetReason(u"Rename from " + from);
    pFrom->GetItem().SetMove(u">" + to);
    pFrom->GetItem().SetReason(u"Rename to " + to);
}

// Links each new file of a key to the deleted one its side's identity proves
// it is (proven: 1 proven, else not linked); true when any was linked. Two
// deleted files of one identity (a hard link, a digest that collides) prove
// nothing.
template <class Proven>
bool PairByIdentity(CDetectFileRenamesAndMoves::CTable& table, int src, const Proven& proven) {
    bool bAny = false;
    std::unordered_map<uint32_t, CSyncTreeNode*> dels;
    for (const auto& k : table.keys) {
        if (!k.nNew || !k.nDel) continue;
        dels.clear();
        for (const auto& it : k.items) {
            if (it.bNew || it.pNode->GetItem().IsFolder()) continue;
            const uint32_t id = it.pNode->GetItem().m_aOldIdent[src];
            if (!id) continue;
            const auto ins = dels.emplace(id & kIdentDigest, it.pNode);
            if (!ins.second) ins.first->second = nullptr;
        }
        if (dels.empty()) continue;
        for (const auto& it : k.items) {
            if (!it.bNew || it.pNode->GetItem().IsFolder()) continue;
            const auto f = dels.find(it.pNode->GetItem().m_aCurIdent[src] & kIdentDigest);
            if (f == dels.end() || !f->second || proven(f->second, it.pNode) <= 0) continue;
            LinkNodes(f->second, it.pNode);
            bAny = bAny || !it.pNode->GetItem().GetMove().IsEmpty();
            f->second = nullptr;
        }
    }
    return bAny;
}

} // namespace

void CSyncJob::LinkMovePair(CSyncTreeNode* pRoot, const CWideString& from, const CWideString& to) {
    CSyncTreeNode* pFrom = Find(pRoot, from);
    CSyncTreeNode* pTo = Find(pRoot, to);
    if (!pFrom || !pTo) {
        ZorAssertFailed(__FILE__, __LINE__, 0, "LinkMovePair: path not found");
        return;
    }
    LinkNodes(pFrom, pTo);
}

void CSyncJob::DetectMovesAndRenames(CSyncTreeNode* pRoot) {
    {
        CDetectFileRenamesAndMoves detect;
        DoForEntered(pRoot, detect);
        const bool bMd5 = m_Options.m_bCompareMD5crc;
        for (int t = 0; t < 2; ++t) {
            CDetectFileRenamesAndMoves::CTable& all = *detect.m_pTables[t];
            // The new item's source side and the side whose copy would move.
            const int src = t, dst = 1 - t;
            // With digests, the file that would move must hold what the new one holds.
            // Without them, between local sides the two files are read: a file
            // deleted and another of its size written in the same second are
            // no move.
            // The new file is the deleted one where its own side proves
            // so: the same inode and birth time (which no file born later
            // can show; without birth times, an inode that has not changed
            // since the last sync), with the same size and full time (a
            // rename keeps them all). Nothing needs reading then. A record
            // taken within the tick of its time may hide a rewrite, and an
            // inode number, a size and a time alone are no proof (a freed
            // inode goes to the next file, tools set whole-second times).
            // 1: proven, 0: proven but the digests tell other bytes, -1: no proof.
            auto proven = [&](const CSyncTreeNode* pDel, const CSyncTreeNode* pNew) {
                const CSideInfo& was = pDel->GetItem().m_aOld[src];
                const CSideInfo& now = pNew->GetItem().m_aCur[src];
                if (!was.FileStamp() || was.IsRacy() || was.FileStamp() != now.FileStamp() ||
                    was.m_Len != now.m_Len || was.m_tFile != now.m_tFile)
                    return -1;
                // Without birth times the inode proves the file where it has
                // not changed since the record: the change mark it kept,
                // taken clear of the tick of that change (a record of an
                // older version keeps none: see NoteChangeMark).
                const uint32_t nOld = pDel->GetItem().m_aOldIdent[src], nCur = pNew->GetItem().m_aCurIdent[src];
                const uint32_t om = pDel->GetItem().m_aOldMark[src], cm = pNew->GetItem().CurMark(src);
                if (m_abIdentNoBirth[src] && om) {
                    if (!nOld || ((nOld ^ nCur) & kIdentDigest) != 0 || !(om & kMarkClear) ||
                        ((om ^ cm) & kMarkDigest) != 0)
                        return -1;
                } else if (!IdentProvesSameFile(nOld, nCur, m_abIdentNoBirth[src])) {
                    return -1;
                }
                return !bMd5 || pNew->GetItem().GetMd5(src).IsZero() || pDel->GetItem().GetMd5(dst).IsZero() ||
                               pNew->GetItem().GetMd5(src) == pDel->GetItem().GetMd5(dst)
                           ? 1
                           : 0;
            };
            auto sameContent = [&](const CSyncTreeNode* pDel, const CSyncTreeNode* pNew) {
                if (pNew->GetItem().IsFolder()) return true;
                const int p = proven(pDel, pNew);
                if (p >= 0) return p > 0;
                if (!bMd5) return CompareFileContents(pDel, dst, pNew, src, false) != 0;
                const Md5Crc &mNew = pNew->GetItem().GetMd5(src), &mDel = pDel->GetItem().GetMd5(dst);
                return !mNew.IsZero() && mNew == mDel;
            };
            // A proven identity pairs a move whatever other files share its
            // size and time (a folder of photos renamed one by one); the
            // items left are paired by their names and folders.
            std::unique_ptr<CDetectFileRenamesAndMoves::CTable> pRest;
            if (PairByIdentity(all, src, proven)) {
                pRest = std::make_unique<CDetectFileRenamesAndMoves::CTable>();
                for (const auto& p : all.placed)
                    if (p.pNode->GetItem().GetMove().IsEmpty())
                        pRest->Place(p.key, p.name, p.pNode, p.bNew, p.bInFolder);
            }
            CDetectFileRenamesAndMoves::CTable& table = pRest ? *pRest : all;
            table.MatchFolders();
            using CSlot = CDetectFileRenamesAndMoves::CTable::CSlot;
            auto byName = [](const CSlot& slot) { return slot.nNew == 1 && slot.nDel == 1; };
            for (const CDetectFileRenamesAndMoves::CTable::CKeyItems& k : table.keys) {
                if (!k.nNew || !k.nDel) continue;
                // A name held by one new and one deleted item of the key: the
                // names decide (a move to another folder). Any other name
                // held more than once decides nothing, unless the folders do.
                size_t nPaired = 0;
                for (const auto& it : k.items) {
                    const CSlot& slot = table.slots[it.nSlot];
                    if (!it.bNew) continue;
                    if (byName(slot)) {
                        if (sameContent(slot.pDel, slot.pNew)) LinkNodes(slot.pDel, slot.pNew);
                    } else if (slot.bFolderLinked && it.pNode == slot.pNewInFolder) {
                        if (sameContent(slot.pDelInFolder, slot.pNewInFolder))
                            LinkNodes(slot.pDelInFolder, slot.pNewInFolder);
                    } else {
                        continue;
                    }
                    ++nPaired;
                }
                // What is left is one deleted and one new item of different
                // names: a rename. More on either side could pair in more than
                // one way; those stay copies and deletes.
                if (k.nNew - nPaired != 1 || k.nDel - nPaired != 1) continue;
                CSyncTreeNode *pNew = nullptr, *pDel = nullptr;
                for (const auto& it : k.items) {
                    const CSlot& slot = table.slots[it.nSlot];
                    if (byName(slot) || (slot.bFolderLinked && (it.pNode == slot.pNewInFolder ||
                                                                it.pNode == slot.pDelInFolder)))
                        continue;
                    (it.bNew ? pNew : pDel) = it.pNode;
                }
                if (pNew && pDel && sameContent(pDel, pNew)) LinkNodes(pDel, pNew);
            }
        }
    }
    if (m_apFs[0] && m_apFs[1])
        m_bBothMoveFolders = (m_apFs[0]->GetCapability(TVFS_CAP_MOVE_FOLDER) &&
                              m_apFs[1]->GetCapability(TVFS_CAP_MOVE_FOLDER))
                                 ? 1
                                 : 0;
    if (m_Options.m_bDetectFolderMoves && m_bBothMoveFolders) {
        CExamineFolderRenamesAndMoves examine;
        examine.m_pRoot = pRoot;
        DoForEnteredChildrenFirst(pRoot, examine);
        CCommitFolderRenamesAndMoves commit;
        commit.m_pRoot = pRoot;
        DoForEnteredChildrenFirst(pRoot, commit);
    }
    CDetectCaseChanges cases;
    DoForEnteredChildrenFirst(pRoot, cases);
}

bool CExamineFolderRenamesAndMoves::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!pNode->GetParent() || !item.IsFolder()) return true;
    int d = -1;
    if (IsNewCopyLtoR(item) || IsDeleteLtoR(item))
        d = 1;
    else if (item.IsNewCopyRtoL() || item.IsDeleteRtoL())
        d = 0;
    if (d < 0) {
        item.ClearMove();
        return true;
    }
    char16_t mark = 0;
    // The first counted child sets the target; it may be the root (empty).
    CWideString target;
    bool bFirst = true;
    CSyncLevelIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncTreeNode* pChild = it.GetNode();
        const CSyncPairAndAction& child = pChild->GetItem();
        if (!child.ExistsAnywhere() || (child.m_nFlags & (SPF_EXCLUDED | SPF_REINCLUDED))) continue;
        const CWideString& mv = child.GetMove();
        if (mv.IsEmpty() || (mv[0] != u'<' && mv[0] != u'>') || (mark && mv[0] != mark)) {
            mark = 0;
            break;
        }
        if (!mark) mark = mv[0];
        CSyncTreeNode* pOther = Find(m_pRoot, mv.Mid(1));
        if (!pOther) {
            mark = 0;
            break;
        }
        const CWideString other = CSyncJob::GetItemSidePath(pOther, d);
        if (bFirst) target = GetUrlPathFolder(other);
        bFirst = false;
        if (other != target + u"/" + CSyncJob::GetItemSideName(pChild, d)) {
            mark = 0;
            break;
        }
    }
    if (mark) {
        item.SetMove(CWideString(mark) + target);
    } else if (!target.IsEmpty()) {
        CSyncTreeNode* pTarget = Find(m_pRoot, target);
        if (pTarget && !pTarget->GetItem().GetMove().IsEmpty()) ClearMove(pTarget->GetItem());
    }
    return true;
}

bool CCommitFolderRenamesAndMoves::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!item.IsFolder() || item.GetMove().IsEmpty()) return true;
    const char16_t mark = item.GetMove()[0];
    const CWideString target = item.GetMove().Mid(1);
    const CSyncTreeNode* pTarget = Find(m_pRoot, target);
    bool bOk = false;
    if (pTarget && (mark == u'<' || mark == u'>')) {
        const CWideString& tm = pTarget->GetItem().GetMove();
        const char16_t opposite = mark == u'<' ? u'>' : u'<';
        bOk = !tm.IsEmpty() && (tm[0] == opposite || tm[0] == u'=') && tm.Mid(1) == pNode->GetPath();
    }
    if (!bOk) {
        ClearMove(item);
        return true;
    }
    item.SetReason((mark == u'<' ? u"Rename Folder from " : u"Rename Folder to ") + target);
    CSyncDepthFirstIter it(pNode);
    for (; it.IsValid(); it.Next()) {
        CSyncPairAndAction& below = *it.GetItem();
        if (below.GetMove().IsEmpty()) continue;
        below.SetMove(u"=" + below.GetMove().Mid(1));
        below.SetReason(u"parent folder renamed");
    }
    return true;
}

bool CDetectCaseChanges::DoWithPair(CSyncTreeNode* pNode, CSyncJob*) {
    CSyncPairAndAction& item = pNode->GetItem();
    if (!pNode->GetParent() || !item.ExistsBoth()) return true;
    const uint8_t eff = item.GetEffAction();
    if (eff != EA_COPY_RIGHT_TO_LEFT && eff != EA_COPY_LEFT_TO_RIGHT) return true;
    if (!IsSameSideInfo(item.m_aCur[0], item.m_aCur[1])) return true;
    if (!NamesDifferNfc(CSyncJob::GetItemSideName(pNode, 0), CSyncJob::GetItemSideName(pNode, 1))) return true;
    const uint8_t act = eff == EA_COPY_RIGHT_TO_LEFT ? EA_NAME_CASE_RIGHT_TO_LEFT : EA_NAME_CASE_LEFT_TO_RIGHT;
    (item.m_nUserAction ? item.m_nUserAction : item.m_nSysAction) = act;
    return true;
}
