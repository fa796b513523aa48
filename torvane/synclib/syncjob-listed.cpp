// One listed entry of a side scan becomes a node of the sync tree.
#include "state-file.h"
#include "syncjob.h"
#include "zor-escape.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cstring>

namespace {

// What a file system shows for the parts of a bad entry's name it could not
// convert, and the unit the entry's key in the tree holds in their place.
constexpr char16_t kShownForBadUnit = 0xFFFD;
constexpr char16_t kBadUnitKey = 0xDCFD;

// A listed file: present, not a folder, not a link, its size, both times its
// modification time, its attributes. Bit 3 (reached through a link) stays.
void SetListedFile(CSideInfo& rec, int64_t nSize, uint32_t nModTime, uint32_t nAttr) {
    rec.SetPresent(true);
    rec.SetFolder(false);
    rec.SetFlag(SIF_LINK, false);
    rec.m_Len.SetValue((uint64_t)nSize);
    rec.m_tFile.SetTime(nModTime);
    rec.m_tAccu.SetTime(nModTime);
    rec.m_nAttr = nAttr;
}

// A listed folder: present and folder bits, the folder length, both times
// the folder's creation time, its attributes.
void SetListedFolder(CSideInfo& rec, uint32_t nCreateTime, uint32_t nAttr) {
    rec.SetPresent(true);
    rec.SetFolder(true);
    rec.m_Len.SetFolder();
    rec.m_tFile.SetTime(nCreateTime);
    rec.m_tAccu.SetTime(nCreateTime);
    rec.m_nAttr = nAttr;
}

// The display path lies in the mirror root folder (or is it): the prefix
// must be followed by a separator, so that a sibling whose name merely
// begins like the root is not taken for it.
bool IsInMirrorRoot(const CWideString& display, const CWideString& root) {
    const int n = root.GetLength();
    if (n == 0 || display.GetLength() < n) return false;
    if (display.Left(n) != root) return false;
    if (display.GetLength() == n) return true;
    const char16_t c = display[n];
    return c == u'/' || c == u'\\';
}

// The name this job gives a copy on its way to a file in the user's own
// folder: 32 lower-case hexadecimal digits and "._tvtmp".
bool IsCopyOnItsWay(const CWideString& name) {
    if (name.GetLength() != 39 || !name.EndsWith(u"._tvtmp")) return false;
    for (int i = 0; i < 32; ++i)
        if (!((name[i] >= u'0' && name[i] <= u'9') || (name[i] >= u'a' && name[i] <= u'f'))) return false;
    return true;
}

} // namespace

bool CSyncJob::IsReadOnlySide(int side) const {
    return m_Options.m_bReadOnlySource && ((m_Options.m_nDirection == JT_LEFT_TO_RIGHT && side == 0) ||
                                           (m_Options.m_nDirection == JT_RIGHT_TO_LEFT && side == 1));
}

bool CSyncJob::AddListedItems(const CWideString& entryPath, const FsItemInfo& entry, int side, bool bFullScan,
                              bool bParentExcluded, CListT<CSyncTreeNode*>& queue, CSyncTreeNode* pRoot,
                              CSyncTreeNode*& pNode, int& errKind, CWideString& errText,
                              CSyncTreeNode* pFolder, const CChildNameIndex* pChildIndex) {
    side &= 1;
    TvFileSys* fs = m_apFs[side].get();
    pNode = nullptr;
    if (!fs) {
        errText += u"no file system mounted";
        errKind = FSE_GENERAL;
        return false;
    }
    // The listed name is the path's last component (shared, not copied).
    const int nName = entry.m_sName.GetLength(), nPath = entryPath.GetLength();
    const bool bNameIsLast = nName > 0 && entry.m_sName.Find(u'/') < 0 &&
                             (nPath == nName || (nPath > nName && entryPath[nPath - nName - 1] == u'/')) &&
                             memcmp(entryPath.GetString() + nPath - nName, entry.m_sName.GetString(),
                                    sizeof(char16_t) * (size_t)nName) == 0;
    CWideString nameOfPath;
    const CWideString& name = bNameIsLast ? entry.m_sName : (nameOfPath = GetUrlPathFileName(entryPath));
    CStateFileIo& io = GetStateFileIo();
    // The display path and the NFC form are made only when needed (most
    // entries need neither).
    CWideString displayBuf;
    auto display = [&]() -> const CWideString& {
        if (displayBuf.IsEmpty()) displayBuf = fs->DisplayPath(entryPath);
        return displayBuf;
    };
    // The filters kept the entry, judged on the path the filter step judges
    // it on: its NFC form is itself and its path in the tree.
    bool bKeptOnTreePath = false;
    auto onTreePath = [&]() {
        return pFolder ? pFolder == m_pScanPlainFolder && pNode->GetParent() == pFolder &&
                             entry.m_sName == pNode->GetNameRef()
                       : pNode->GetPath() == entryPath;
    };
    auto filtered = [&](const CSideInfo& rec, CWideString& reason) {
        if (m_FilterMatcher.IsEmpty()) return false;
        // The NFC form is made only when it differs and a rule looks at it.
        CWideString nfcPath;
        const bool bOwnForm = !m_FilterMatcher.LooksAtPath() || IsNameNfc(entryPath);
        // The other side's record kept the item, judged on its path in the
        // tree with a record of this kind (both sides' records are of it):
        // the scan's judgement depends on nothing else, so it stands.
        if (m_bFilterJudging && !m_bFilterEveryItem && bOwnForm && pNode) {
            const CSyncPairAndAction& item = pNode->GetItem();
            auto ofKind = [&](const CSideInfo& r) { return r.IsPresentBit() && r.IsFolder() == rec.IsFolder(); };
            if ((item.m_nFlags & SPF_FILTER_JUDGED) && ofKind(item.m_aCur[0]) && ofKind(item.m_aCur[1]) &&
                onTreePath()) {
                bKeptOnTreePath = true;
                return false;
            }
        }
        if (!bOwnForm) {
            nfcPath = entryPath;
            NormalizeNameNfc(nfcPath);
        }
        const CWideString& judged = bOwnForm ? entryPath : nfcPath;
        if (m_FilterMatcher.IsExcluded(judged, false, rec, CSideInfo(), reason)) return true;
        bKeptOnTreePath = m_bFilterJudging && (bOwnForm || nfcPath == entryPath);
        return false;
    };
    // The filter step need not judge the item again when the side's record
    // is the kind judged and the path judged is the item's path in the tree.
    auto markJudged = [&](const CSideInfo& rec) {
        if (!bKeptOnTreePath || !pNode) return;
        CSyncPairAndAction& item = pNode->GetItem();
        const CSideInfo& cur = item.m_aCur[side];
        if (!cur.IsPresentBit() || cur.IsFolder() != rec.IsFolder()) return;
        if (onTreePath()) item.m_nFlags |= SPF_FILTER_JUDGED;
    };

    // Makes (or finds) the entry's node and fills the side's current record.
    auto setNode = [&](const CSideInfo& rec, const char16_t* what) -> bool {
        bool bDup = false;
        CWideString e;
        // A plain name whose node has no current record of the side yet
        // takes the record at once (what SetNodeCS does for it).
        pNode = !bFullScan || !pFolder ? nullptr
                : m_bScanChildLooked && rec.m_sId.IsEmpty()
                    ? m_pScanChild // the stored bits' look-up found it
                    : io.FindPlainChild(pFolder, entry.m_sName, rec, pChildIndex);
        if (pNode && !pNode->GetItem().m_aCur[side].IsPresentBit()) {
            CSideInfo& cur = pNode->GetItem().m_aCur[side];
            cur = rec;
            if (entry.m_sName != pNode->GetNameRef()) cur.m_sId = entry.m_sName;
            return true;
        }
        pNode = bFullScan && pFolder
                    ? io.SetNodeCS(entry.m_sName, side, pFolder, -1, false, true, 0, rec, bDup, e)
                    : io.SetNodeCS(entryPath, side, pRoot, -1, false, bFullScan, 0, rec, bDup, e);
        if (!pNode) {
            errText += what;
            errText += EscapeControlChars(entryPath);
            errText += u": ";
            errText += e;
            errKind = FSE_NOT_FOUND;
            return false;
        }
        CSideInfo& cur = pNode->GetItem().m_aCur[side];
        if (!cur.IsPresentBit()) cur = rec;
        return true;
    };
    auto exclude = [&](const CWideString& reason, uint32_t& counter) {
        CSyncPairAndAction& item = pNode->GetItem();
        item.m_nFlags |= SPF_EXCLUDED;
        item.SetReason(reason);
        ++counter;
        return true;
    };

    // Unknown attributes: an item in error (full scan), or whatever the tree
    // already knows of it (incremental scan).
    uint32_t nAttributes = entry.m_nAttributes;
    if (entry.m_bValid == 0 && name.Find(kShownForBadUnit) >= 0) {
        // The name of a bad entry shows what could not be converted as
        // U+FFFD, which a valid name may hold as itself. The bad entry takes
        // a node of its own, keyed with a unit that no valid name holds (a
        // lone surrogate, shown as U+FFFD again), so that its error never
        // lands on the file of the valid name.
        FsItemInfo own = entry;
        own.m_sName = name;
        own.m_sName.Replace(kShownForBadUnit, kBadUnitKey);
        const CWideString ownPath = entryPath.Left(entryPath.GetLength() - name.GetLength()) + own.m_sName;
        return AddListedItems(ownPath, own, side, bFullScan, bParentExcluded, queue, pRoot, pNode, errKind, errText,
                              pFolder, pChildIndex);
    }
    // A bad entry keyed apart (above) is an error in every scan, never a
    // file: a look-up of its path finds, if anything, the valid name's file.
    const bool bBadKey = name.Find(kBadUnitKey) >= 0;
    if (entry.m_bValid == 0 || bBadKey || nAttributes == FSA_UNKNOWN) {
        CSideInfo rec;
        SetListedFile(rec, 0, entry.m_nModTime, 0);
        if (!setNode(rec, u"Cannot add inv-attr node: ")) return false;
        if (bFullScan || bBadKey) {
            CSyncPairAndAction& item = pNode->GetItem();
            item.m_nExecState = ESS_ANALYZED_ERR;
            if (!entry.m_sNote.IsEmpty() || !bBadKey)
                item.SetReason(entry.m_sNote);
            else if (item.GetReason().IsEmpty())
                item.SetReason(u"file name cannot be read without loss, cannot be synchronized");
            return true;
        }
        nAttributes = pNode->IsContainer() ? (uint32_t)FSA_FOLDER : 0u;
    }

    if (nAttributes & FSA_FOLDER) {
        const bool bLink = (nAttributes & FSA_LINK) != 0;
        CWideString timeErr;
        if (g_EngineOptions.m_bWarnTimeOutOfRange && !CheckTimeInRange(entry.m_nCreateTime, timeErr))
            Log(2, 5117, CWideString::Formatted(u"Folder %s: %s", display(), timeErr) + u"\n");
        CSideInfo rec;
        SetListedFolder(rec, entry.m_nCreateTime, nAttributes);
        if (!setNode(rec, u"Cannot add folder node: ")) return false;
        if (!bLink || m_Options.m_nFolderLinks == 2) queue.AddTail(pNode);

        CWideString mirrorRoot;
        {
            int k = 0;
            CWideString e;
            if (!MakeMirrorFolderPath(true, CWideString(), false, mirrorRoot, k, e)) mirrorRoot.Empty();
        }
        CWideString reason;
        if (name.EqualsNoCase(kDataFolderName) || name.EqualsNoCase(u"_RERIZUR"))
            return exclude(GetLocalizedString(IDS_Str_ExclBy_SyncFolder), m_nScanFoldersExcluded);
        if (name.EqualsNoCase(u"_tvdata_mirrors_"))
            return exclude(u"Exclude _tvdata_ mirrors in Torvane profile", m_nScanFoldersExcluded);
        if (IsInMirrorRoot(display(), mirrorRoot))
            return exclude(u"Torvane mirror folder", m_nScanFoldersExcluded);
        if (bParentExcluded)
            return exclude(GetLocalizedString(IDS_Str_ExclBy_FolderAbove), m_nScanFoldersExcluded);
        if (m_Options.m_bExcludeHidden && (nAttributes & FSA_HIDDEN))
            return exclude(GetLocalizedString(IDS_Str_ExclBy_HiddenFolder), m_nScanFoldersExcluded);
        if (name.EqualsNoCase(u"System Volume Information") ||
            (m_Options.m_bExcludeSystem && (nAttributes & FSA_SYSTEM)))
            return exclude(GetLocalizedString(IDS_Str_ExclBy_SystemFolder), m_nScanFoldersExcluded);
        if (filtered(rec, reason)) return exclude(reason, m_nScanFoldersExcluded);

        if (!bLink) {
            markJudged(rec);
            ++m_nScanFoldersListed;
            return true;
        }

        // A folder link.
        CSyncPairAndAction& item = pNode->GetItem();
        CSideInfo& cur = item.m_aCur[side];
        cur.SetFolder(false);
        cur.m_Len.SetValue(0);
        cur.SetFlag(SIF_LINK, true);
        CWideString target;
        bool bResolved = true;
        {
            int k = 0;
            CWideString e;
            if (!fs->GetLinkInfo(entryPath, target, k, e)) {
                bResolved = false;
                item.SetReason(u"Cannot resolve link: " + e);
                target = u"Unknown: " + e;
            }
        }
        if (m_Options.m_nFolderLinks == 0 || !fs->GetCapability(TVFS_CAP_LINKS)) {
            ++m_nScanFoldersExcluded;
            const CWideString msg =
                FormatLocalizedString(IDS_Str_Msg_SkipFolderLink, display() + u" -> " + target);
            Log(2, 5221, msg + u"\n");
            item.m_nFlags |= SPF_EXCLUDED;
            item.m_nExecState = ESS_ANALYZED_ERR;
            item.SetReason(msg);
            m_aSkippedFolderLinks.push_back(pNode->GetPath());
        } else if (m_Options.m_nFolderLinks == 2) {
            // Drill down: entered like any folder (queued above).
            cur.SetFolder(true);
            cur.SetFlag(SIF_LINK, false);
            cur.SetFlag(SIF_VIA_LINK, true);
            cur.m_Len.SetFolder();
            item.SetReason(u"Drill down to: " + target);
            if (bResolved)
                Log(2, 5235, u"Folder Link: Drill Down to: " + display() + u" -> " + target + u"\n");
            ++m_nScanFoldersListed;
        } else if (!bResolved) {
            item.m_nExecState = ESS_ANALYZED_ERR;
            Log(1, 5254, item.GetReason() + u"\n");
        } else {
            item.SetReason(u"Folder link to: " + target);
            cur.m_Len.SetValue(0);
        }
        return true;
    }

    // A file.
    const bool bLink = (nAttributes & FSA_LINK) != 0;
    CWideString timeErr;
    if (g_EngineOptions.m_bWarnTimeOutOfRange && !CheckTimeInRange(entry.m_nModTime, timeErr))
        Log(2, 5288, CWideString::Formatted(u"File %s: %s", display(), timeErr) + u"\n");

    // Leftover temporary files never become items; aged ones are deleted,
    // except on a side that the job only reads.
    // Only a name ending in "._tvtmp" or of 36 units can be one (the test is
    // not made for other names: it builds an error text for each).
    if (name.GetLength() == 36 || (ZorFoldUnit(name.GetLast()) == u'p' && name.EndsWithNoCase(u"._tvtmp"))) {
        CWideString e;
        if (IsTempFileName(name, e)) {
            const int64_t nNow = CZorTime::Now().GetTime();
            const int64_t nCutoff = nNow - (fs->GetCapability(TVFS_CAP_MD5) ? 86400 : 7200);
            // Where this job copies beside the target, a copy that a killed
            // run left there goes at the next run, whatever its age.
            const bool bOwnLeftover =
                IsCopyOnItsWay(name) && (!UseTempFile(side) || CannotHaveDataFolder(side));
            if ((bOwnLeftover || (int64_t)entry.m_nModTime < nCutoff) && !IsReadOnlySide(side)) {
                int k = 0;
                CWideString de;
                if (fs->DeleteFile(entryPath, k, de)) Log(2, 5302, u"Delete temp file: " + display() + u"\n");
            }
            return true;
        }
    }

    CSideInfo rec;
    SetListedFile(rec, entry.m_nSize, entry.m_nModTime, nAttributes);
    if (entry.m_nStamp && !bLink) {
        rec.m_nStamp = entry.m_nStamp & kStampFileBits;
        rec.m_nStamp |= RacyMark(side, entry.m_nModTime, entry.m_nModTimeNs);
    }
    if (!setNode(rec, u"Cannot add file node: ")) return false;
    CSyncPairAndAction& item = pNode->GetItem();
    if (!bLink) {
        item.m_aCurIdent[side] = IdentSeenAt(entry, m_anFsScanStartMs[side]);
        if (entry.m_nIdent && !(entry.m_nIdent & kIdentBirth)) m_abIdentNoBirth[side] = true;
        NoteChangeMark(item, side, entry);
    }

    if (name.EqualsNoCase(kDataFolderName)) {
        const CWideString msg = u"Files cannot have name _tvdata_ as it is used for Torvane state folder";
        item.m_nFlags &= (uint8_t)~SPF_EXCLUDED;
        item.m_nExecState = ESS_ANALYZED_ERR;
        item.SetReason(msg);
        Log(1, 5336, msg + u"\n");
        return true;
    }

    CWideString reason;
    if (bParentExcluded) return exclude(GetLocalizedString(IDS_Str_ExclBy_FolderAbove), m_nScanFilesExcluded);
    if (m_Options.m_bExcludeHidden && (nAttributes & FSA_HIDDEN))
        return exclude(GetLocalizedString(IDS_Str_ExclBy_HiddenFile), m_nScanFilesExcluded);
    if (m_Options.m_bExcludeSystem && (nAttributes & FSA_SYSTEM))
        return exclude(GetLocalizedString(IDS_Str_ExclBy_SystemFile), m_nScanFilesExcluded);
    if (filtered(rec, reason)) return exclude(reason, m_nScanFilesExcluded);

    if (!bLink) {
        markJudged(rec);
        if (m_Options.m_bCompareMD5crc) {
            if (fs->GetCapability(TVFS_CAP_MD5)) {
                Md5Crc md5;
                int64_t nLen = 0;
                int k = 0;
                CWideString e;
                if (fs->GetFileCrc(entryPath, md5, nLen, k, e)) {
                    item.SetMd5(side, md5);
                } else {
                    // Only this item is in error; the folder stays readable.
                    // A stop still ends the scan.
                    item.m_nExecState = ESS_ANALYZED_ERR;
                    item.SetReason(u"Cannot get MD5 checksum: " + e);
                    if (k == ZEK_STOPPED || IsConnectionError(k)) {
                        errKind = k;
                        errText += e;
                        return false;
                    }
                }
            } else {
                Log(2, 5479,
                    u"Not computing MD5 of this remote file system, as it will be too slow. MD5 is available "
                    u"on "
                    u"local file systems and TV server: " +
                        fs->BasePath(CWideString()) + u"\n");
                m_Options.m_bCompareMD5crc = false;
            }
        }
        ++m_nScanFilesListed;
        return true;
    }

    // A file link.
    CSideInfo& cur = item.m_aCur[side];
    cur.SetFlag(SIF_LINK, true);
    CWideString target;
    bool bResolved = true;
    {
        int k = 0;
        CWideString e;
        if (!fs->GetLinkInfo(entryPath, target, k, e)) {
            bResolved = false;
            item.SetReason(u"Cannot resolve link: " + e);
            target = u"Unknown: " + e;
        }
    }
    if (m_Options.m_nFileLinks == 0 || !fs->GetCapability(TVFS_CAP_LINKS)) {
        ++m_nScanFilesExcluded;
        const CWideString msg = FormatLocalizedString(IDS_Str_Msg_SkipFileLink, display() + u" -> " + target);
        Log(2, 5407, msg + u"\n");
        item.m_nFlags |= SPF_EXCLUDED;
        item.m_nExecState = ESS_ANALYZED_ERR;
        item.SetReason(msg);
    } else if (m_Options.m_nFileLinks == 2) {
        // Follow: the record takes the target's size, time and attributes.
        ++m_nScanFilesListed;
        int k = 0;
        CWideString e;
        FsItemInfo linked = entry;
        const bool bTarget = fs->GetLinkTargetInfo(entryPath, linked, k, e);
        cur.SetFlag(SIF_VIA_LINK, true);
        SetListedFile(cur, linked.m_nSize, linked.m_nModTime, linked.m_nAttributes);
        if (bTarget) {
            item.SetReason(u"Drill down to: " + target);
        } else {
            // The item in error keeps the reason why.
            item.m_nExecState = ESS_ANALYZED_ERR;
            // The job follows file links (FileLinks=2): the option that
            // syncs a link that points nowhere is named with the error.
            const CWideString msg = u"Cannot get link target info: " + e +
                                    u" (the job follows links to files: FileLinks=1 copies the link itself, "
                                    u"FileLinks=0 leaves links out)";
            item.SetReason(msg);
            Log(2, 5423, msg + u"\n");
        }
    } else if (!bResolved) {
        item.m_nExecState = ESS_ANALYZED_ERR;
        Log(1, 5435, item.GetReason() + u"\n");
    } else {
        cur.m_Len.SetValue(0);
        item.SetReason(u"File link to: " + target);
    }
    return true;
}

void CSyncJob::KeepSkippedLinksFacingItemsAsErrors(CSyncTreeNode* pRoot) {
    const std::vector<CWideString> paths = std::move(m_aSkippedFolderLinks);
    m_aSkippedFolderLinks.clear();
    for (const CWideString& path : paths) {
        CWideString e;
        CSyncTreeNode* pNode = CSyncTreeNode::LookupCS(pRoot, path, false, nullptr, e);
        if (!pNode || !pNode->GetParent()) continue;
        CSyncPairAndAction& item = pNode->GetItem();
        if (!item.IsExcluded() || item.m_nExecState != ESS_ANALYZED_ERR) continue;
        for (int side = 0; side < 2; ++side) {
            const CSideInfo& link = item.m_aCur[side];
            if (!link.GetFlag(SIF_LINK) || link.IsFolder() || !item.m_aCur[1 - side].Exists()) continue;
            // Left out, the other side's folder would be forgotten run after
            // run with nothing said.
            item.m_nFlags &= (uint8_t)~SPF_EXCLUDED;
            CDoPropagateExclusionsDown pass; // the folder in error takes its content out
            DoForSubtree(pNode, pass, false);
            break;
        }
    }
}
