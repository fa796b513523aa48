// The cloud account's id/path cache, its population from the service's
// listings, the pending transaction ids and the quota.
#include "OrvanFileList.h"

#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-log.h"
#include "zor-time.h"
#include "zor-unicode.h"

namespace {

CWideString AfterLastSlash(const CWideString& s) {
    int i = s.ReverseFind(u'/');
    return i < 0 ? s : s.Mid(i + 1);
}

std::u16string Folded(const CWideString& s) {
    std::u16string r;
    r.reserve(s.GetLength());
    for (int i = 0; i < s.GetLength(); i++) r.push_back(ZorFoldUnit(s[i]));
    return r;
}

std::u16string Key(const CWideString& s) {
    return std::u16string(s.GetString(), s.GetLength());
}

bool ReadString(const ZorJsonValue* node, const char* name, CWideString& out) {
    const ZorJsonValue* v = node ? node->GetMember(name) : nullptr;
    return v && v->IsScalar() && v->IsQuoted() && v->GetString(out);
}

constexpr int kIndexMinChildren = 32;

} // namespace

bool IsSafeCloudName(const CWideString& name) {
    if (name.IsEmpty() || name == u"." || name == u"..") return false;
    for (int i = 0; i < name.GetLength(); i++) {
        char16_t c = name[i];
        if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\') return false;
    }
    return true;
}

bool OrvanFileItem::HasMark(int32_t m) const {
    for (ZorPosition p = m_lstMarks.GetHeadPosition(); p;)
        if (m_lstMarks.GetNext(p) == m) return true;
    return false;
}

bool OrvanFileItem::RemoveMark(int32_t m) {
    for (ZorPosition p = m_lstMarks.GetHeadPosition(); p;) {
        ZorPosition cur = p;
        if (m_lstMarks.GetNext(p) == m) {
            m_lstMarks.RemoveAt(cur);
            return true;
        }
    }
    return false;
}

OrvanFileList& GetOrvanFileList() {
    static OrvanFileList s_list;
    return s_list;
}

OrvanFileList::OrvanFileList() = default;

// ---------------------------------------------------------------- items
OrvanFileItem* OrvanFileList::Find(const CWideString& id) {
    CCritSectionLock g(m_csCache);
    auto* p = m_mapItems.LookupPair(id);
    return p ? &p->m_value : nullptr;
}

OrvanFileItem* OrvanFileList::GetItem(const CWideString& id) {
    OrvanFileItem* p = Find(id);
    ZOR_ASSERT(p);
    return p;
}

bool OrvanFileList::Lookup(const CWideString& id, OrvanFileItem& out) {
    CCritSectionLock g(m_csCache);
    return m_mapItems.Lookup(id, out);
}

bool OrvanFileList::IsEmpty() {
    CCritSectionLock g(m_csCache);
    return m_mapItems.IsEmpty();
}

int OrvanFileList::GetCount() {
    CCritSectionLock g(m_csCache);
    return m_mapItems.GetCount();
}

bool OrvanFileList::ComputePath(const CWideString& id, OrvanFileItem& item, CWideString& err) {
    if (item.m_nRoot) {
        item.m_sPath.Empty();
        return true;
    }
    OrvanFileItem* parent = Find(item.FirstParent());
    if (!parent) {
        err.AppendFormat(u"parentid %s not found for %s", item.FirstParent(), id);
        return false;
    }
    CWideString p = parent->m_sPath;
    if (p.IsEmpty() || (p[p.GetLength() - 1] != u'/' && p[p.GetLength() - 1] != u'\\')) p += u"/";
    item.m_sPath = p + item.m_Info.m_sName;
    return true;
}

OrvanFileItem* OrvanFileList::Add(const CWideString& id, const OrvanFileItem& item) {
    CCritSectionLock g(m_csCache);
    ZOR_ASSERT(!id.IsEmpty());
    if (item.m_nRoot) {
        ZOR_ASSERT(m_mapItems.IsEmpty() && item.m_lstParents.IsEmpty() && item.m_Info.m_sName.IsEmpty());
    } else {
        ZOR_ASSERT(!item.m_Info.m_sName.IsEmpty() && item.m_lstParents.GetCount() == 1);
        OrvanFileItem* parent = Find(item.FirstParent());
        if (!parent) return nullptr;
        ZOR_ASSERT(parent->m_Info.IsFolder());
        DropIndex(item.FirstParent());
    }
    OrvanFileItem copy(item);
    // one place decides for every way in (listings, notifications, this
    // program's own changes): a name that may not stand in a path is hidden
    copy.m_bHidden = !item.m_nRoot && (item.m_bHidden || !IsSafeCloudName(item.m_Info.m_sName)) ? 1 : 0;
    CWideString err;
    if (!ComputePath(id, copy, err)) return nullptr;
    m_mapItems.SetAt(id, copy);
    if (item.m_nRoot) m_sRootId = id;
    return &m_mapItems.LookupPair(id)->m_value;
}

void OrvanFileList::DropIndex(const CWideString& folderId) {
    if (!m_nameIndex.empty()) m_nameIndex.erase(Key(folderId));
}

void OrvanFileList::AddChild(const CWideString& parentId, const CWideString& childId) {
    CCritSectionLock g(m_csCache);
    OrvanFileItem* parent = Find(parentId);
    if (!parent) return;
    for (ZorPosition p = parent->m_lstChildren.GetHeadPosition(); p;)
        if (parent->m_lstChildren.GetNext(p) == childId) return;
    parent->m_lstChildren.AddTail(childId);
    DropIndex(parentId);
}

bool OrvanFileList::RemoveChild(const CWideString& parentId, const CWideString& childId) {
    CCritSectionLock g(m_csCache);
    OrvanFileItem* parent = Find(parentId);
    if (!parent) return false;
    for (ZorPosition p = parent->m_lstChildren.GetHeadPosition(); p;) {
        ZorPosition cur = p;
        if (parent->m_lstChildren.GetNext(p) == childId) {
            parent->m_lstChildren.RemoveAt(cur);
            DropIndex(parentId);
            return true;
        }
    }
    return false;
}

const OrvanFileList::NameIndex* OrvanFileList::IndexOf(const CWideString& folderId, const OrvanFileItem& folder) {
    auto it = m_nameIndex.find(Key(folderId));
    if (it != m_nameIndex.end()) return &it->second;
    NameIndex ix;
    for (ZorPosition p = folder.m_lstChildren.GetHeadPosition(); p;) {
        const CWideString& cid = folder.m_lstChildren.GetNext(p);
        OrvanFileItem* c = Find(cid);
        if (!c) return nullptr; // the walk fails on it; no index
        ix.map[Folded(c->m_Info.m_sName)].push_back(cid);
    }
    return &(m_nameIndex[Key(folderId)] = std::move(ix));
}

bool OrvanFileList::FindIdByPath(const CWideString& path, CWideString& id) {
    CCritSectionLock g(m_csCache);
    id.Empty();
    if (m_mapItems.IsEmpty()) return false;
    if (path.IsEmpty()) {
        id = m_sRootId;
        return !id.IsEmpty();
    }
    CWideString rest = path;
    rest.TrimLeft(u'/');
    rest.TrimRight(u'/');
    if (rest.IsEmpty()) return true;
    CWideString cur = m_sRootId;
    int start = 0;
    while (start <= rest.GetLength()) {
        int slash = rest.Find(u'/', start);
        CWideString comp = rest.Mid(start, (slash < 0 ? rest.GetLength() : slash) - start);
        start = slash < 0 ? rest.GetLength() + 1 : slash + 1;
        OrvanFileItem* folder = Find(cur);
        if (!folder) return false;
        CWideString found;
        if (folder->m_lstChildren.GetCount() >= kIndexMinChildren) {
            const NameIndex* ix = IndexOf(cur, *folder);
            if (!ix) return false;
            auto it = ix->map.find(Folded(comp));
            if (it != ix->map.end()) {
                for (const CWideString& cid : it->second) {
                    OrvanFileItem* c = Find(cid);
                    if (c && !c->m_bHidden && !c->HasMark(ORVAN_MARK_DELETED)) {
                        found = cid;
                        break;
                    }
                }
            }
        } else {
            for (ZorPosition p = folder->m_lstChildren.GetHeadPosition(); p;) {
                const CWideString& cid = folder->m_lstChildren.GetNext(p);
                OrvanFileItem* c = Find(cid);
                if (!c) return false;
                if (!c->m_bHidden && !c->HasMark(ORVAN_MARK_DELETED) && EqualsNoCase(c->m_Info.m_sName, comp)) {
                    found = cid;
                    break;
                }
            }
        }
        if (found.IsEmpty()) {
            id.Empty();
            return true;
        }
        cur = found;
        id = found;
    }
    return true;
}

CWideString OrvanFileList::GetRootId() {
    CCritSectionLock g(m_csCache);
    ZOR_ASSERT(!m_mapItems.IsEmpty() && !m_sRootId.IsEmpty());
    return m_sRootId;
}

bool OrvanFileList::GetPathFromId(const CWideString& id, CWideString& path, CWideString& err, bool bUseAlt) {
    CCritSectionLock g(m_csCache);
    path.Empty();
    OrvanFileItem* item = Find(id);
    if (!item) {
        err = u"couldn't retrieve file info for id " + id;
        ZorGetProgramLog().Printf(u"OrvanFileList::GetPathFromId: sErr=%s\n", err);
        return false;
    }
    // a walk longer than the cache has items runs in a circle
    for (int steps = m_mapItems.GetCount(); steps >= 0; --steps) {
        if (item->m_lstParents.IsEmpty()) return true;
        if (bUseAlt && !item->m_sAltPath.IsEmpty()) {
            CWideString alt = item->m_sAltPath;
            if (alt.GetLength() && alt[alt.GetLength() - 1] == u'/') alt = alt.Left(alt.GetLength() - 1);
            path = alt + path;
            return true;
        }
        ZOR_ASSERT(item->m_lstParents.GetCount() == 1 && !item->m_Info.m_sName.IsEmpty());
        path = u"/" + item->m_Info.m_sName + path;
        CWideString pid = item->FirstParent();
        item = Find(pid);
        if (!item) {
            err.Format(u"parentid %s not found, current path=%s", pid, path);
            ZorGetProgramLog().Printf(u"OrvanFileList::GetPathFromId: sErr=%s\n", err);
            return false;
        }
    }
    err = u"cycle in the parents of id " + id;
    ZorGetProgramLog().Printf(u"OrvanFileList::GetPathFromId: sErr=%s\n", err);
    path.Empty();
    return false;
}

bool OrvanFileList::CheckRelationships(const CWideString& id, int& kind, CWideString& err) {
    CCritSectionLock g(m_csCache);
    const char16_t* msg = nullptr;
    OrvanFileItem* item = id.IsEmpty() ? nullptr : Find(id);
    if (id.IsEmpty())
        msg = u"Empty ID";
    else if (!item)
        msg = u"ID not in the cache";
    else if (item->m_lstParents.IsEmpty())
        msg = u"orphaned file in cache";
    if (msg) {
        kind = FSE_CLOUD_CACHE;
        err = msg;
        ZorGetProgramLog().Printf(u"OrvanFileList::CheckRelationships: sErr=%s\n", err);
        return false;
    }
    CWideString pid = item->FirstParent(), path, e;
    if (!GetPathFromId(pid, path, e)) {
        kind = FSE_NOT_FOUND;
        err = u"can't get path for id " + pid + u": " + e;
        return false;
    }
    return true;
}

bool OrvanFileList::IsValidItemName(const CWideString& id, CWideString& err) {
    CCritSectionLock g(m_csCache);
    OrvanFileItem* item = Find(id);
    if (!item || item->m_Info.m_sName.IsEmpty() || item->m_Info.m_sName.Find(u'/') >= 0) {
        err = u"filename empty or contains '/'";
        return false;
    }
    return true;
}

bool OrvanFileList::RenameInCache(const CWideString& id, const CWideString& newName, CWideString& err) {
    if (newName.Find(u'/') >= 0) {
        err.Format(u"New Name '%s' is invalid", newName);
        return false;
    }
    CCritSectionLock g(m_csCache);
    int budget = m_mapItems.GetCount();
    return RenameRec(id, newName, budget, err);
}

bool OrvanFileList::RenameRec(const CWideString& id, const CWideString& newName, int& budget, CWideString& err) {
    if (--budget < 0) {
        err = u"cycle in the children of id " + id;
        return false;
    }
    OrvanFileItem* item = Find(id);
    if (!item) {
        err.Format(u"id %s not found", id);
        return false;
    }
    if (item->m_nRoot) {
        err = u"can't rename root";
        return false;
    }
    if (item->m_lstParents.IsEmpty()) {
        err.Format(u"Cannot get parent for '%s'", id);
        return false;
    }
    OrvanFileItem* parent = Find(item->FirstParent());
    if (!parent) {
        err.Format(u"Cannot get path for '%s'", item->FirstParent());
        return false;
    }
    if (!newName.IsEmpty()) {
        item->m_Info.m_sName = newName;
        item->m_bHidden = IsSafeCloudName(newName) ? 0 : 1;
        DropIndex(item->FirstParent());
    }
    CWideString p = parent->m_sPath;
    if (p.IsEmpty() || (p[p.GetLength() - 1] != u'/' && p[p.GetLength() - 1] != u'\\')) p += u"/";
    item->m_sPath = p + item->m_Info.m_sName;
    CListT<CWideString> kids = item->m_lstChildren;
    CWideString myPath = item->m_sPath;
    for (ZorPosition pos = kids.GetHeadPosition(); pos;) {
        const CWideString& c = kids.GetNext(pos);
        CWideString e;
        if (!RenameRec(c, CWideString(), budget, e)) {
            err.Format(u"failed to rename child of '%s': %s", myPath, e);
            return false;
        }
    }
    return true;
}

bool OrvanFileList::RemoveFromCache(const CWideString& id, CWideString& err) {
    CCritSectionLock g(m_csCache);
    int budget = m_mapItems.GetCount();
    return RemoveRec(id, budget, err);
}

bool OrvanFileList::RemoveRec(const CWideString& id, int& budget, CWideString& err) {
    if (--budget < 0) {
        err = u"cycle in the children of id " + id;
        return false;
    }
    OrvanFileItem* item = Find(id);
    if (!item) {
        err.Format(u"id %s not found", id);
        return false;
    }
    if (item->m_nRoot) {
        err = u"can't remove root";
        return false;
    }
    CListT<CWideString> kids = item->m_lstChildren;
    for (ZorPosition pos = kids.GetHeadPosition(); pos;) {
        const CWideString& c = kids.GetNext(pos);
        CWideString e;
        if (!RemoveRec(c, budget, e)) {
            err.Format(u"failed to remove '%s': %s", Find(id) ? Find(id)->m_sPath : id, e);
            return false;
        }
    }
    item = Find(id);
    if (!item) {
        err.Format(u"id %s not found", id);
        return false;
    }
    CListT<CWideString> parents = item->m_lstParents;
    for (ZorPosition pos = parents.GetHeadPosition(); pos;) {
        const CWideString& pid = parents.GetNext(pos);
        if (!RemoveChild(pid, id)) {
            ZOR_ASSERT(false);
            err.Format(u"Asset ID '%s' not found in parent ID '%s'", id, pid);
            return false;
        }
    }
    DropIndex(id);
    if (!m_mapItems.RemoveKey(id)) {
        err.Format(u"RemoveKey for '%s' failed", id);
        return false;
    }
    return true;
}

bool OrvanFileList::CollectDescendantChanges(CZorTime t, const OrvanFileItem& item, CListT<ChangedItem>& out,
                                             int& kind, CWideString& err, bool bFolderGone, int nDeleted) {
    CCritSectionLock g(m_csCache);
    int budget = GetCount();
    return CollectRec(t, item, out, kind, err, bFolderGone, nDeleted, budget);
}

bool OrvanFileList::CollectRec(CZorTime t, const OrvanFileItem& item, CListT<ChangedItem>& out, int& kind,
                               CWideString& err, bool bFolderGone, int nDeleted, int& budget) {
    for (ZorPosition pos = item.m_lstChildren.GetHeadPosition(); pos;) {
        const CWideString& cid = item.m_lstChildren.GetNext(pos);
        if (--budget < 0) {
            kind = FSE_CLOUD_CACHE;
            err = u"cycle in the children of id " + cid;
            return false;
        }
        OrvanFileItem child;
        if (!Lookup(cid, child) || child.m_bHidden) continue; // a hidden item and its content are never reported
        if (bFolderGone && !CollectRec(t, child, out, kind, err, bFolderGone, nDeleted, budget)) return false;
        CWideString path, e;
        if (!GetPathFromId(cid, path, e, bFolderGone && nDeleted <= 0)) {
            kind = FSE_NOT_FOUND;
            err = u"couldn't get path from id " + cid;
            return false;
        }
        ZOR_ASSERT(!path.IsEmpty());
        uint32_t k = !bFolderGone ? CIK_MOVED_TO : (nDeleted > 0 ? CIK_DELETED : CIK_MOVED_FROM);
        out.AddTail(ChangedItem(path, k, t));
        if (!bFolderGone && !CollectRec(t, child, out, kind, err, bFolderGone, nDeleted, budget)) return false;
    }
    return true;
}

void OrvanFileList::GetAllIds(CListT<CWideString>& ids) {
    CCritSectionLock g(m_csCache);
    for (ZorPosition pos = m_mapItems.GetStartPosition(); pos;) ids.AddTail(m_mapItems.GetNext(pos)->m_key);
}

void OrvanFileList::Clear() {
    CCritSectionLock g(m_csCache);
    m_mapItems.RemoveAll();
    m_nameIndex.clear();
    m_sRootId.Empty();
}

void OrvanFileList::ResetCache() {
    Clear();
    CCritSectionLock g(m_csPending);
    m_mapPending.RemoveAll();
}

// ---------------------------------------------------------------- listing
bool OrvanFileList::ListNode(const CWideString& parentId, const ZorJsonValue* node, bool bRecursive,
                             IOrvanFolderFetch* pFetch, int depth, int& kind, CWideString& err) {
    CCritSectionLock g(m_csCache);
    if (!node || node->IsNull()) {
        kind = FSE_CLOUD_CACHE;
        err = u"Empty JSON response";
        return false;
    }
    if (depth > kOrvanMaxListDepth) {
        kind = FSE_CLOUD_CACHE;
        err.Format(u"listing deeper than %d levels", kOrvanMaxListDepth);
        return false;
    }
    CWideString sId, sName, sText;
    if (!ReadString(node, "id", sId)) {
        kind = FSE_CLOUD_CACHE;
        err = u"error getting \"id\" value from JSON entry";
        return false;
    }
    OrvanFileItem item;
    if (sId.StartsWith(u"/api/sync/directories"))
        item.m_Info.m_nAttributes = FSA_FOLDER;
    else if (sId.StartsWith(u"/api/sync/files"))
        item.m_Info.m_nAttributes = FSA_NORMAL;
    else {
        kind = FSE_CLOUD_CACHE;
        err = u"unexpected id: " + sId;
        return false;
    }
    CWideString id = AfterLastSlash(sId);
    if (id.IsEmpty()) {
        kind = FSE_CLOUD_CACHE;
        err = u"unexpected id: " + sId;
        return false;
    }
    // An id met twice would make the tree a graph (and an item its own
    // ancestor): the walks over it would never end.
    if (Find(id)) {
        kind = FSE_CLOUD_CACHE;
        err = u"id listed twice: " + id;
        return false;
    }
    if (!parentId.IsEmpty()) {
        if (!ReadString(node, "name", sName)) {
            kind = FSE_CLOUD_CACHE;
            err = u"couldn't get name from listing";
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s sId=%s", err, id);
            return false;
        }
        if (sName == u"tvdata_collection") sName = u"_tvdata_";
        item.m_bHidden = IsSafeCloudName(sName) ? 0 : 1;
        if (sName.IsEmpty()) sName = u"?"; // hidden; the cache keeps every item named
    }
    item.m_Info.m_sName = sName;
    CNarrowString t8;
    int64_t tMod = 0, tCre = 0;
    CWideString terr;
    if (!ReadString(node, "modified", sText)) {
        kind = FSE_CLOUD_CACHE;
        err = u"couldn't get modification time from listing";
        ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s sName=%s sId=%s", err, sName, id);
        return false;
    }
    if (!ParseInternetTime(WideToUtf8(sText), tMod, terr)) {
        kind = FSE_CLOUD_CACHE;
        err = terr;
        return false;
    }
    if (ReadString(node, "created", sText)) {
        if (!ParseInternetTime(WideToUtf8(sText), tCre, terr)) {
            kind = FSE_CLOUD_CACHE;
            err = terr;
            return false;
        }
    } else {
        tCre = tMod;
    }
    item.m_Info.m_nModTime = (uint32_t)tMod;
    item.m_Info.m_nCreateTime = (uint32_t)tCre;
    if (item.m_Info.m_nAttributes == FSA_NORMAL) {
        const ZorJsonValue* sz = node->GetMember("size");
        int64_t n = 0;
        if (!sz || !sz->GetInt64(n)) {
            kind = FSE_CLOUD_CACHE;
            err = u"couldn't get size from listing";
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s sName=%s sId=%s", err, sName, id);
            return false;
        }
        if (n < 0 || n > kOrvanMaxFileSize) {
            // Kept (the item's place in the tree stays known) but marked bad:
            // the scan reports it as an item in error instead of taking a
            // size that no file has.
            item.m_Info.m_bValid = 0;
            item.m_Info.m_sNote.Format(u"cloud listing: size %lld is not a valid file size", (long long)n);
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s sName=%s sId=%s", item.m_Info.m_sNote,
                                      EscapeControlChars(sName), EscapeControlChars(id));
            n = 0;
        }
        item.m_Info.m_nSize = n;
    }
    if (parentId.IsEmpty()) {
        item.m_nRoot = 1;
        if (!m_mapItems.IsEmpty()) {
            kind = FSE_CLOUD_CACHE;
            err = u"a second root in the listing: " + id;
            return false;
        }
    } else {
        item.m_lstParents.AddTail(parentId);
    }
    if (const ZorJsonValue* collab = node->GetMember("collaboration")) {
        CWideString rid;
        if (ReadString(collab, "root_id", rid) && AfterLastSlash(rid) == id) item.m_Info.m_nAttributes |= FSA_COLLAB_ROOT;
    }
    if (!parentId.IsEmpty()) {
        OrvanFileItem* parent = Find(parentId);
        if (!parent) {
            kind = FSE_NOT_FOUND;
            err = u"parent id not found";
            return false;
        }
        if (!parent->m_Info.IsFolder()) {
            kind = FSE_CLOUD_CACHE;
            err = u"parent is not a folder: " + parentId;
            return false;
        }
    }
    if (!Add(id, item)) {
        kind = FSE_NOT_FOUND;
        err = u"parent id not found";
        return false;
    }
    if (!parentId.IsEmpty()) {
        // The id was in no child list: it was not in the cache a moment ago,
        // and a child list names only items of the cache. So no scan of the
        // parent's children for it (a folder of n children would cost n^2).
        if (OrvanFileItem* parent = Find(parentId)) {
            parent->m_lstChildren.AddTail(id);
            DropIndex(parentId);
        }
    }
    const ZorJsonValue* kids = node->GetMember("children");
    if (!kids || !kids->IsArray()) return true;
    for (int i = 0; i < kids->GetCount(); i++) {
        const ZorJsonValue* c = kids->GetElement(i);
        if (bRecursive) {
            if (!ListNode(id, c, true, pFetch, depth + 1, kind, err)) return false;
            continue;
        }
        CWideString cid, ctype;
        if (!ReadString(c, "id", cid)) {
            kind = FSE_NOT_FOUND;
            err = u"couldn't read child id";
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s", err);
            return false;
        }
        if (!ReadString(c, "type", ctype)) {
            kind = FSE_NOT_FOUND;
            err = u"couldn't read child type";
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s", err);
            return false;
        }
        if (ctype != kOrvanCollectionType) {
            if (!ListNode(id, c, false, pFetch, depth + 1, kind, err)) return false;
            continue;
        }
        CWideString path = cid;
        path.TrimLeft(u"/api");
        ZorJsonValuePtr reply;
        if (!pFetch || !pFetch->FetchFolder(path, reply, kind, err)) {
            kind = FSE_NOT_FOUND;
            if (!pFetch) err = u"no folder fetch";
            return false;
        }
        const ZorJsonValue* first = reply && reply->IsArray() ? reply->GetElement(0) : reply.get();
        if (!first || first->IsArray() || (!first->IsObject())) {
            kind = FSE_NOT_FOUND;
            err = u"couldn't get root array for child listing";
            ZorGetProgramLog().Printf(u"OrvanFileList::ListNode: %s", err);
            return false;
        }
        if (!ListNode(id, first, false, pFetch, depth + 1, kind, err)) return false;
    }
    return true;
}

bool OrvanFileList::PopulateRoot(const ZorJsonValue* root, bool bRecursive, IOrvanFolderFetch* pFetch, int& kind,
                                 CWideString& err) {
    if (!ListNode(CWideString(), root, bRecursive, pFetch, 0, kind, err)) return false;
    if (m_sRootId.IsEmpty()) {
        kind = FSE_CLOUD_CACHE;
        err = u"no root element";
        return false;
    }
    return true;
}

bool OrvanFileList::PopulateFromIndex(const char* body, int len, int& kind, CWideString& err) {
    CCritSectionLock g(m_csCache);
    if (!PopulateFromIndexInner(body, len, kind, err)) {
        ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): error %s\n", err);
        ResetCache();
        return false;
    }
    ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): OK, items=%d\n", m_mapItems.GetCount());
    return true;
}

bool OrvanFileList::PopulateFromIndexInner(const char* body, int len, int& kind, CWideString& err) {
    Clear();
    kind = FSE_CLOUD_CACHE;
    ZorJsonValuePtr json;
    if (!JsonParseText(body, len, json, err)) return false;
    if (!json || (json->IsScalar() && json->IsNull())) {
        err = u"JSON response is empty";
        return false;
    }
    if (!json->IsArray() || json->GetCount() != 2) {
        err = u"JSON response should have two root elements";
        return false;
    }
    const ZorJsonValue* root = nullptr;
    const ZorJsonValue* coll = nullptr;
    for (int i = 0; i < 2; i++) {
        const ZorJsonValue* e = json->GetElement(i);
        if (!e) {
            err = u"JSON response count does not match";
            return false;
        }
        CWideString name;
        if (e->GetMember("tvdata") && !root)
            root = e;
        else if (!e->GetMember("tvdata") && ReadString(e, "name", name) && name == u"tvdata_collection" && !coll)
            coll = e;
        else
            ZorGetProgramLog().Printf(u"OrvanFileList::PopulateAccount(): warning! extra nodes at top level: '%s'\n",
                                      Utf8ToWide(JsonWriteText(*e).Left(200)));
    }
    if (!root || !coll) {
        err = u"JSON response should have both root elements";
        return false;
    }
    CWideString tvdata;
    if (!ReadString(root, "tvdata", tvdata)) {
        err = u"JSON response contains no tvdata property";
        return false;
    }
    CWideString tvId = AfterLastSlash(tvdata);
    if (!PopulateRoot(root, true, nullptr, kind, err)) return false;
    CWideString cname, cid;
    if (!ReadString(coll, "name", cname)) {
        kind = FSE_CLOUD_CACHE;
        err = u"JSON response contains invalid tvdata collection info";
        return false;
    }
    ReadString(coll, "id", cid);
    ZOR_ASSERT(AfterLastSlash(cid) == tvId);
    return ListNode(m_sRootId, coll, true, nullptr, 1, kind, err);
}

bool OrvanFileList::PopulateRootFromDirectories(const char* body, int len, bool bRecursive, IOrvanFolderFetch* pFetch,
                                                CWideString& tvdataId, int& kind, CWideString& err) {
    CCritSectionLock g(m_csCache);
    Clear();
    kind = FSE_CLOUD_CACHE;
    ZorJsonValuePtr json;
    if (!JsonParseText(body, len, json, err)) return false;
    if (!json || (json->IsScalar() && json->IsNull())) {
        err = u"empty JSON response";
        return false;
    }
    // the reply is the root object; an array holding it is taken as well
    const ZorJsonValue* root = json->IsArray() ? json->GetElement(0) : json.get();
    CWideString tvdata;
    if (!ReadString(root, "tvdata", tvdata)) {
        err = u"no tvdata property";
        return false;
    }
    tvdataId = AfterLastSlash(tvdata);
    return PopulateRoot(root, bRecursive, pFetch, kind, err);
}

bool OrvanFileList::PopulateCollection(const ZorJsonValue* reply, bool bRecursive, IOrvanFolderFetch* pFetch,
                                       int& kind, CWideString& err) {
    CCritSectionLock g(m_csCache);
    const ZorJsonValue* node = reply && reply->IsArray() ? reply->GetElement(0) : reply;
    return ListNode(m_sRootId, node, bRecursive, pFetch, 1, kind, err);
}

// ---------------------------------------------------------------- pending transaction ids
bool OrvanFileList::AddPendingTid(const CWideString& tid, const CWideString& text) {
    ZOR_ASSERT(!tid.IsEmpty());
    {
        CCritSectionLock g(m_csPending);
        ZOR_ASSERT(!m_mapPending.LookupPair(tid));
        PendingTid p;
        p.m_nRegistered = (uint32_t)ZorGetTickMs();
        p.m_sText = text;
        m_mapPending.SetAt(tid, p);
    }
    PurgePendingTids();
    return true;
}

bool OrvanFileList::OnTidNotified(const CWideString& tid, const CWideString& text) {
    {
        CCritSectionLock g(m_csPending);
        auto* p = m_mapPending.LookupPair(tid);
        if (!p) return false;
        p->m_value.m_nNotifications++;
        if (!text.IsEmpty()) ZOR_ASSERT(text == p->m_value.m_sText);
    }
    PurgePendingTids();
    return true;
}

void OrvanFileList::PurgePendingTids() {
    CCritSectionLock g(m_csPending);
    uint32_t now = (uint32_t)ZorGetTickMs();
    for (bool again = true; again;) {
        again = false;
        for (ZorPosition pos = m_mapPending.GetStartPosition(); pos;) {
            auto* p = m_mapPending.GetNext(pos);
            int32_t age = (int32_t)(now - p->m_value.m_nRegistered);
            if (age > 900000 || age < 0) {
                if (p->m_value.m_nNotifications == 0)
                    ZorGetProgramLog().Printf(u"Warning: No notification for tid=%s in %d ms\n", p->m_key, age);
                m_mapPending.RemoveKey(CWideString(p->m_key));
                again = true;
                break;
            }
        }
    }
}

int OrvanFileList::GetPendingCount() {
    CCritSectionLock g(m_csPending);
    return m_mapPending.GetCount();
}

// ---------------------------------------------------------------- own changes in flight
uint64_t OrvanFileList::BeginOwnChange() {
    CCritSectionLock g(m_csOwn);
    uint64_t t = m_nNextOwn++;
    m_ownInFlight.insert(t);
    return t;
}

void OrvanFileList::EndOwnChange(uint64_t ticket) {
    CCritSectionLock g(m_csOwn);
    m_ownInFlight.erase(ticket);
}

uint64_t OrvanFileList::NextOwnChange() {
    CCritSectionLock g(m_csOwn);
    return m_nNextOwn;
}

bool OrvanFileList::OwnChangeInFlightBefore(uint64_t ticket) {
    CCritSectionLock g(m_csOwn);
    return !m_ownInFlight.empty() && *m_ownInFlight.begin() < ticket;
}

// ---------------------------------------------------------------- quota
void OrvanFileList::InvalidateQuota() {
    CCritSectionLock g(m_csQuota);
    m_nQuotaTime = -1;
}

bool OrvanFileList::GetCachedQuota(int64_t& nFree, int64_t& nTotal, bool bForce) {
    CCritSectionLock g(m_csQuota);
    if (m_nQuotaTime < 0 && !bForce) return false;
    nFree = m_nQuotaFree;
    nTotal = m_nQuotaTotal;
    return true;
}

bool OrvanFileList::UpdateQuota(int64_t nFree, int64_t nTotal, int64_t nTimestamp) {
    if (nTimestamp < 0) return false;
    CCritSectionLock g(m_csQuota);
    if (nFree != m_nQuotaFree || nTotal != m_nQuotaTotal)
        ZorGetProgramLog().Printf(u"Quota Updated: ulFree=%lld ulTotal=%lld ulTimestamp=%lld\n", nFree, nTotal,
                                  nTimestamp);
    m_nQuotaFree = nFree;
    m_nQuotaTotal = nTotal;
    m_nQuotaTime = nTimestamp;
    return true;
}
