// The long poll of the cloud account's change notifications.
#include "TsLongPoll.h"

#include "OrvanFS.h"
#include "zor-debug.h"
#include "zor-log.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cstdio>

const char* const kLongPollSubscription =
    "{\"notification\":{\"type\":\"longpolling\",\"verbose\":true},\"resources\":[{\"uri\":\"^/api/v\\\\d+/"
    "(profile/quota|(collections|assets)(/([\\\\w\\\\-]+(/(?=(metadata/trashed|metadata/name|members)).*)?)?)?)$\"}]}";

namespace {

CWideString LastSeg(const CWideString& s) {
    int i = s.ReverseFind(u'/');
    return i < 0 ? s : s.Mid(i + 1);
}

// The item's path when every name on it may stand in a path (hidden items
// and everything below them are never reported).
bool VisiblePath(OrvanFileList& list, const CWideString& id, CWideString& path) {
    CWideString e, found;
    return list.GetPathFromId(id, path, e) && !path.IsEmpty() && list.FindIdByPath(path, found) && found == id;
}

bool Quit(int& errKind, CWideString& err, const CWideString& text, int kind = FSE_CLOUD_CACHE) {
    errKind = kind;
    err = text;
    ZorGetProgramLog().Printf(u"LongPoll::Poll: sErr=%s\n", err);
    return false;
}

} // namespace

bool ParseRegistrationId(const CNarrowString& body, CNarrowString& id) {
    ZorJsonValuePtr json;
    CWideString e;
    if (JsonParseText(body, json, e) && json) {
        const ZorJsonValue* v = json->GetMember("registration_id");
        if (v && v->IsScalar() && v->IsQuoted() && v->GetString(id) && !id.IsEmpty()) return true;
    }
    const char* key = "registration_id\":\"";
    int at = body.Find(key);
    if (at < 0) return false;
    at += (int)strlen(key);
    int end = body.Find('"', at);
    if (end < 0) return false;
    id = body.Mid(at, end - at);
    return !id.IsEmpty();
}

TsLongPoll::TsLongPoll(OrvanFS* pOwner) : m_pOwner(pOwner) {
    ZOR_ASSERT(pOwner);
}

void TsLongPoll::QueueChanges(const CListT<ChangedItem>& items) {
    CListT<ChangedItem> batch;
    for (ZorPosition p = items.GetHeadPosition(); p;) {
        ChangedItem copy = items.GetNext(p);
        OnChangeRecord(copy);
        batch.AddTail(copy);
    }
    if (batch.IsEmpty()) return;
    // One reply's records go in together: a drain never takes a move's
    // MovedFrom without its MovedTo.
    CCritSectionLock g(m_cs);
    for (ZorPosition p = batch.GetHeadPosition(); p && !m_bCollapsed;) {
        const ChangedItem& rec = batch.GetNext(p);
        if (m_lstQueue.GetCount() >= kLongPollMaxQueued) {
            // nobody drains: one record for the whole tree replaces the rest
            m_lstQueue.RemoveAll();
            m_lstQueue.AddTail(ChangedItem(CWideString(), CIK_CHANGE_IN_FOLDER, rec.m_tTime));
            m_bCollapsed = true;
            break;
        }
        m_lstQueue.AddTail(rec);
    }
    m_bPending = 1;
}

void TsLongPoll::Drain(CListT<ChangedItem>& items) {
    CCritSectionLock g(m_cs);
    items.RemoveAll();
    for (ZorPosition p = m_lstQueue.GetHeadPosition(); p;) items.AddTail(m_lstQueue.GetNext(p));
    m_lstQueue.RemoveAll();
    m_bCollapsed = false;
    m_bPending = 0;
}

int TsLongPoll::QueuedCount() {
    CCritSectionLock g(m_cs);
    return m_lstQueue.GetCount();
}

void TsLongPoll::SetPopulationResult(int errKind, const CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    CCritSectionLock g(list.Lock());
    list.m_bPopulationRequested = false;
    list.m_nPopulationErrKind = errKind;
    list.m_sPopulationErr = err;
}

bool TsLongPoll::Subscribe(int& errKind, CWideString& err) {
    errKind = 0;
    CRsp rsp;
    rsp.m_sReqHeaders = m_sHeaders;
    rsp.m_sReqBody = kLongPollSubscription;
    HttpConnectParams params = m_pOwner->m_Params;
    if (!m_pOwner->SendApiRequest(params, rsp, "POST", u"notification", this, errKind, err, true)) {
        err = u"Error subscribing for notifications: " + err;
        OrvanFS::AddApiError(rsp, errKind, err, true);
        if (!errKind) errKind = FSE_GENERAL;
        return false;
    }
    if (!ParseRegistrationId(rsp.m_sBody, m_sRegistrationId)) {
        errKind = FSE_CLOUD_CACHE;
        err = u"Registration ID not found in longpoll post response";
        return false;
    }
    return true;
}

bool TsLongPoll::Run(int& errKind, CWideString& err) {
    ZOR_ASSERT(m_pOwner);
    OrvanFileList& list = GetOrvanFileList();
    // The connect subscribed and then listed the account: the first run
    // polls on that subscription (nothing since the listing is missed).
    // A restarted run subscribes and lists anew.
    const bool primed = m_bPrimed.exchange(false);
    bool populate = !primed;
    {
        CCritSectionLock g(list.Lock());
        if (primed && list.IsEmpty()) populate = true; // emptied since (a failed change)
        if (populate) list.m_bPopulationRequested = true;
    }
    errKind = 0;
    if (!primed && !Subscribe(errKind, err)) {
        SetPopulationResult(errKind, err);
        return false;
    }
    if (populate) {
        int k = 0;
        CWideString e;
        bool ok = m_pOwner->PopulateAccount(this, k, e);
        SetPopulationResult(ok ? 0 : k, ok ? CWideString() : e);
        if (!ok) {
            errKind = k;
            err = u"Couldn't populate account: " + e;
            return false;
        }
    }
    return Poll(errKind, err);
}

bool TsLongPoll::Poll(int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    CWideString base = u"notification?registration_id=" + Utf8OrAnsiToWide(m_sRegistrationId);
    CWideString last;
    bool quit = false;
    errKind = 0;
    HttpConnectParams params = m_pOwner->m_Params;
    {
        CCritSectionLock g(list.Lock());
        list.m_nLongPollsLive++;
    }
    while (!IsStopped() && !quit && !m_pOwner->m_bStopMonitor.load()) {
        CWideString path = base;
        if (!last.IsEmpty()) path += u"&last_notification=" + last;
        CRsp rsp;
        if (!m_pOwner->SendApiRequest(params, rsp, "GET", path, this, errKind, err, true)) {
            if (rsp.m_nStatus == 502 || rsp.m_nStatus == 404) {
                CListT<ChangedItem> whole;
                whole.AddTail(ChangedItem(CWideString(), CIK_CHANGE_IN_FOLDER, CZorTime::Now()));
                QueueChanges(whole);
            }
            if (!errKind) errKind = FSE_CONN_CLOSED;
            quit = true;
            break;
        }
        // the changes of this program begun before these events arrived
        const uint64_t mark = list.NextOwnChange();
        ZorJsonValuePtr json;
        CWideString e;
        if (!JsonParseText(rsp.m_sBody, json, e) || !json) {
            quit = !Quit(errKind, err, u"Error parsing notification response");
            break;
        }
        const ZorJsonValue* uid = json->GetMember("uid");
        if (!uid || !uid->IsQuoted() || !uid->GetString(last)) {
            quit = !Quit(errKind, err, u"couldn't get notification uid");
            break;
        }
        const ZorJsonValue* events = json->GetMember("events");
        if (!events || !events->IsArray()) {
            quit = !Quit(errKind, err, u"couldn't get notification response events array");
            break;
        }
        if (events->GetCount() == 0) {
            OnEmptyResponse();
            continue;
        }
        if (!WaitForOwnChanges(mark)) {
            err.Empty();
            SetStoppedByUser(errKind, err);
            quit = true;
            break;
        }
        CListT<ChangedItem> out{10};
        bool metadata = false;
        for (int i = 0; i < events->GetCount() && !quit; i++)
            if (!HandleEvent(events->GetElement(i), out, metadata, errKind, err)) quit = true;
        QueueChanges(out);
    }
    {
        CCritSectionLock g(list.Lock());
        list.m_nLongPollsLive--;
    }
    if (quit) {
        ZOR_ASSERT(errKind != 0);
        ZorGetProgramLog().Printf(u"LongPoll Quit on error: %s\n", err);
    } else {
        ZorGetProgramLog().Printf(u"LongPoll Quit OK\n");
    }
    // unsubscribe; a stopped connection is let through for this one request
    CRsp del;
    int dk = 0;
    CWideString de;
    bool stopped = m_pOwner->m_bStopMonitor.load();
    ResetStop();
    if (stopped) m_pOwner->ResumeAfterStop();
    ICopyProgress* prog = m_pOwner->GetProgressCallback();
    if (stopped && prog) prog->SetSuppressStop(true);
    if (!m_pOwner->SendApiRequest(params, del, "DELETE", u"notification?registration_id=" +
                                                             Utf8OrAnsiToWide(m_sRegistrationId),
                                  nullptr, dk, de, false))
        err += u"; Couldn't delete notification: " + de;
    if (stopped && prog) prog->SetSuppressStop(false);
    return !quit;
}

bool TsLongPoll::WaitForOwnChanges(uint64_t mark) {
    OrvanFileList& list = GetOrvanFileList();
    const int64_t until = ZorGetTickMs() + kLongPollOwnChangeWaitMs;
    while (list.OwnChangeInFlightBefore(mark)) {
        if (IsStopped() || m_pOwner->m_bStopMonitor.load()) return false;
        if (ZorGetTickMs() >= until) {
            // the events go on; an echo among them counts as another client's change
            ZorGetProgramLog().Printf(u"LongPoll: a change of this program still in flight after %d ms\n",
                                      (int)kLongPollOwnChangeWaitMs);
            return true;
        }
        ZorSleepMs(5);
    }
    return true;
}

bool TsLongPoll::HandleEvent(const ZorJsonValue* ev, CListT<ChangedItem>& out, bool& bMetadata, int& errKind,
                             CWideString& err) {
    // Every touch of a cached item holds the cache lock: the job's threads
    // walk the same items (and a worker may empty the cache). Requests to the
    // service go out with the lock released.
    OrvanFileList& list = GetOrvanFileList();
    if (!ev) return true;
    int64_t ts = 0;
    const ZorJsonValue* tsv = ev->GetMember("timestamp");
    if (!tsv || !tsv->GetInt64(ts)) ZOR_ASSERT(false);
    CZorTime t(ts);
    CWideString event, resource, tid;
    ev->GetStringByPath("event", event);
    ev->GetStringByPath("resource", resource);
    ev->GetStringByPath("tid", tid);
    const bool own = !tid.IsEmpty() && list.OnTidNotified(tid, CWideString());
    auto add = [&](const CWideString& path, uint32_t kind) {
        if (!own) out.AddTail(ChangedItem(path, kind, t));
    };
    // the echo of this program's own delete queues nothing at all
    auto metadataOnce = [&] {
        if (own) return;
        if (!bMetadata) out.AddTail(ChangedItem(CWideString(), CIK_METADATA, t));
        bMetadata = true;
    };
    if (event == u"delete") {
        metadataOnce();
        CWideString id = LastSeg(resource), path;
        CCritSectionLock g(list.Lock());
        if (!list.Find(id)) {
            OnMessage(1, u"got delete notification for uncached id " + id + u", not notifying");
            return true;
        }
        if (VisiblePath(list, id, path)) add(path, CIK_DELETED);
        CWideString e;
        if (!list.RemoveFromCache(id, e)) return Quit(errKind, err, u"couldn't remove file " + id + u" from cache: " + e);
        return true;
    }
    if (event != u"update") return true;
    const ZorJsonValue* data = ev->GetMember("data");
    const ZorJsonValue* detail = data ? data->GetMember("detail") : nullptr;
    const ZorJsonValue* value = data ? data->GetMember("value") : nullptr;
    if (detail) return Members(ev, resource, t, own, out, errKind, err);
    if (value) {
        CWideString v;
        value->GetString(v);
        CWideString seg = LastSeg(resource);
        if (seg != u"name" && seg != u"trashed") return true;
        CWideString id = LastSeg(resource.Left(resource.GetLength() - (seg == u"name" ? 14 : 17)));
        if (seg == u"trashed" && !v.EqualsNoCase(u"true"))
            return Restore(resource.Left(resource.GetLength() - 17), id, t, own, out, errKind, err);
        CCritSectionLock g(list.Lock());
        OrvanFileItem* item = list.Find(id);
        if (!item) return Quit(errKind, err, u"info for existing id not found");
        if (seg == u"name") {
            if (item->HasMark(ORVAN_MARK_RENAMED)) {
                item->RemoveMark(ORVAN_MARK_RENAMED);
                return true;
            }
            CWideString oldPath, newPath, e;
            bool visible = VisiblePath(list, id, oldPath);
            if (!list.RenameInCache(id, v, e)) return Quit(errKind, err, u"can't get path for id " + id + u": " + e);
            if (visible) add(oldPath, CIK_MOVED_FROM);
            if (VisiblePath(list, id, newPath))
                add(newPath, CIK_MOVED_TO);
            else
                OnMessage(1, u"Illegal filename \"" + v + u"\", not notifying");
            return true;
        }
        if (item->HasMark(ORVAN_MARK_DELETED)) item->RemoveMark(ORVAN_MARK_DELETED);
        OrvanFileItem copy;
        list.Lookup(id, copy);
        CListT<ChangedItem> sub{10};
        CWideString path, e;
        int k = 0;
        if (!list.CollectDescendantChanges(t, copy, sub, k, e, true, 1)) return Quit(errKind, err, e, k);
        if (!own) out.AddTailList(sub);
        if (VisiblePath(list, id, path)) add(path, CIK_DELETED);
        if (!list.RemoveFromCache(id, e))
            return Quit(errKind, err, CWideString::Formatted(u"Couldn't remove id '%s' from cache: %s", id, e));
        return true;
    }
    if (resource.Find(u"metadata") >= 0) return true;
    if (resource.Find(u"profile/quota") >= 0) {
        CNarrowString used, quota;
        double u = 0, q = 0;
        if (!data || !data->GetStringByPath("storage_used", used) || !data->GetStringByPath("storage_quota", quota) ||
            sscanf(used.GetString(), "%lf", &u) != 1 || sscanf(quota.GetString(), "%lf", &q) != 1) {
            list.InvalidateQuota();
            return true;
        }
        const double gib = 1024.0 * 1024.0 * 1024.0;
        double freeBytes = (q - u) * gib;
        if (freeBytes < 0) freeBytes = 0; // more used than the quota: nothing free
        list.UpdateQuota((int64_t)freeBytes, (int64_t)(q * gib), ts);
        metadataOnce();
        return true;
    }
    // the content of an asset, or a collection's own resource: the fresh
    // information comes from the event's own resource
    CWideString id = LastSeg(resource), path, e;
    {
        CCritSectionLock g(list.Lock());
        if (!list.Find(id)) return Quit(errKind, err, u"Existing file not found in cache");
        if (VisiblePath(list, id, path)) add(path, CIK_MODIFIED);
    }
    FsItemInfo info;
    int k = 0;
    if (!m_pOwner->GetAssetMetadata(resource, info, k, e))
        return Quit(errKind, err, u"LongPoll::Poll: Couldn't get info for updated file: " + e, k ? k : FSE_CLOUD_CACHE);
    CCritSectionLock g(list.Lock());
    OrvanFileItem* item = list.Find(id);
    if (!item) return true; // gone meanwhile (a refresh of the cache)
    const CWideString oldName = item->m_Info.m_sName;
    item->m_Info = info;
    item->m_Info.m_sName = oldName; // a new name goes through the rename, which keeps the paths and the hidden mark
    if (info.m_sName != oldName && !list.RenameInCache(id, info.m_sName, e)) {
        ZorGetProgramLog().Printf(u"LongPoll::Poll: Illegal filename %s or path error, not notifying: %s\n",
                                  info.m_sName, e);
        return true;
    }
    CWideString newPath;
    if (VisiblePath(list, id, newPath)) add(newPath, CIK_MODIFIED);
    return true;
}

// An item back from the trash: its information and its parent are fetched,
// it is added under that parent, and a folder's content is listed with it.
bool TsLongPoll::Restore(const CWideString& resource, const CWideString& id, CZorTime t, bool own,
                         CListT<ChangedItem>& out, int& errKind, CWideString& err) {
    CWideString res = resource;
    if (res.Find(u"api/v1") < 0) {
        int at = res.Find(u"api/");
        if (at >= 0) res = res.Left(at) + u"api/v1/" + res.Mid(at + 4);
    }
    OrvanFileItem item;
    int k = 0;
    CWideString e;
    if (!m_pOwner->GetAssetMetadata(res, item.m_Info, k, e)) {
        ZorGetProgramLog().Printf(u"LongPoll::Poll: Couldn't get info for undeleted file: %s\n", e);
        errKind = k ? k : FSE_CLOUD_CACHE;
        err = u"Couldn't get info for undeleted file: " + e;
        return false;
    }
    const int at = res.Find(u"/api/");
    CRsp rsp;
    e.Empty();
    if (!m_pOwner->SendCachedApiRequest(m_pOwner->m_Params, rsp, "GET",
                                        (at < 0 ? res : res.Mid(at + 5)) + u"/metadata/rootcontext",
                                        m_pOwner->m_pProgress, k, e, false))
        return Quit(errKind, err, u"couldn't get rootcontext for id " + id + u": " + e, k ? k : FSE_CLOUD_CACHE);
    ZorJsonValuePtr json;
    if (!JsonParseText(rsp.m_sBody, json, e) || !json)
        return Quit(errKind, err, u"error parsing rootcontext JSON response");
    ZorJsonValueList parents;
    if (!json->GetArrayByPath("value", parents) || parents.empty())
        return Quit(errKind, err, u"couldn't get parents list from rootcontext JSON response");
    CWideString parentUri;
    parents.back()->GetStringByPath("id", parentUri);
    const CWideString parentId = LastSeg(parentUri);
    return AddNew(id, parentId, item, item.m_Info.IsFolder(), t, own, out, errKind, err);
}

// A new item under a cached folder: a folder is listed with its content (the
// listing adds the folder itself), anything else is added as it is. The
// records: the item's Created, then a folder's content as MovedTo.
bool TsLongPoll::AddNew(const CWideString& id, const CWideString& parentId, OrvanFileItem item, bool bListFolder,
                        CZorTime t, bool own, CListT<ChangedItem>& out, int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    {
        CCritSectionLock g(list.Lock());
        if (!list.Find(parentId))
            return Quit(errKind, err, u"update: parent collection " + parentId + u" not found in cache");
        if (list.Find(id)) return true; // already known (a listing caught it first)
    }
    int k = 0;
    CWideString e;
    if (bListFolder) {
        if (!m_pOwner->ListUndeletedFolder(id, parentId, k, e)) return Quit(errKind, err, e, k ? k : FSE_CLOUD_CACHE);
    }
    CCritSectionLock g(list.Lock());
    if (!bListFolder) {
        item.m_lstParents.RemoveAll();
        item.m_lstParents.AddTail(parentId);
        if (!list.Add(id, item)) return Quit(errKind, err, u"update: couldn't add id " + id + u" to the cache");
        list.AddChild(parentId, id);
    }
    CWideString path;
    if (!VisiblePath(list, id, path)) {
        list.GetPathFromId(id, path, e);
        OnMessage(1, CWideString::Formatted(u"Illegal filename \"%s\", not notifying: %s", item.m_Info.m_sName, path));
        return true;
    }
    if (!own) out.AddTail(ChangedItem(path, CIK_CREATED, t));
    if (item.m_Info.IsFolder()) {
        OrvanFileItem copy;
        list.Lookup(id, copy);
        CListT<ChangedItem> sub{10};
        if (!list.CollectDescendantChanges(t, copy, sub, k, e, false, 0)) return Quit(errKind, err, e, k);
        if (!own) out.AddTailList(sub);
    }
    return true;
}

bool TsLongPoll::Members(const ZorJsonValue* ev, const CWideString& resource, CZorTime t, bool own,
                         CListT<ChangedItem>& out, int& errKind, CWideString& err) {
    OrvanFileList& list = GetOrvanFileList();
    const CWideString prefix = u"/api/v1/collections/";
    if (resource.Left(prefix.GetLength()) != prefix)
        return Quit(errKind, err, u"update: unexpected resource url format: " + resource);
    CWideString rest = resource.Mid(prefix.GetLength());
    int slash = rest.Find(u'/');
    CWideString parentId = slash < 0 ? rest : rest.Left(slash);
    const bool members = resource.Right(8) == u"/members";
    CWideString detail, uri;
    ev->GetStringByPath("data.detail", detail);
    ev->GetStringByPath("data.uri", uri);
    CWideString id = LastSeg(uri);
    bool cachedNow = false;
    {
        CCritSectionLock g(list.Lock());
        if (!list.Find(parentId))
            return Quit(errKind, err, u"update: parent collection " + parentId + u" not found in cache");
        cachedNow = list.Find(id) != nullptr;
    }
    auto add = [&](const CWideString& path, uint32_t kind) {
        if (!own) out.AddTail(ChangedItem(path, kind, t));
    };
    if (detail == u"resource_added" && !cachedNow) {
        OrvanFileItem item;
        int k = 0;
        CWideString e;
        if (!GetAssetInfoFromNotification(ev, item.m_Info, k, e)) {
            ZorGetProgramLog().Printf(u"LongPoll::Poll: failed to get metadata from notification:%s\n", e);
            CWideString kindPath = item.m_Info.IsFolder() ? u"sync/directories/" : u"sync/files/";
            if (!m_pOwner->GetAssetMetadata(kindPath + id, item.m_Info, k, e))
                return Quit(errKind, err, u"LongPoll::Poll: Couldn't get info for a new file: " + e);
        }
        return AddNew(id, parentId, item, item.m_Info.IsFolder() && members, t, own, out, errKind, err);
    }
    CCritSectionLock g(list.Lock());
    if (detail == u"resource_added") {
        OrvanFileItem* cached = list.Find(id);
        if (!cached) return true; // gone meanwhile (a refresh of the cache)
        if (cached->HasMark(ORVAN_MARK_CREATED)) {
            cached->RemoveMark(ORVAN_MARK_CREATED);
            return true;
        }
        if (!cached->m_sAltPath.IsEmpty()) {
            cached->m_sAltPath.Empty();
            return true;
        }
        if (cached->FirstParent() == parentId) return true; // the echo of a change already in the cache
        // moved here by another client
        CWideString oldPath, e;
        int k = 0;
        if (!list.GetPathFromId(id, oldPath, e)) return Quit(errKind, err, u"can't get path for id " + id + u": " + e);
        bool visibleBefore = VisiblePath(list, id, oldPath);
        OrvanFileItem copy;
        list.Lookup(id, copy);
        CListT<ChangedItem> sub{10};
        if (!list.CollectDescendantChanges(t, copy, sub, k, e, true, 0)) return Quit(errKind, err, e, k);
        if (!own && visibleBefore) out.AddTailList(sub);
        if (visibleBefore) add(oldPath, CIK_MOVED_FROM);
        list.RemoveChild(copy.FirstParent(), id);
        if (OrvanFileItem* it = list.Find(id)) {
            it->m_lstParents.RemoveAll();
            it->m_lstParents.AddTail(parentId);
        }
        list.AddChild(parentId, id);
        if (!list.RenameInCache(id, CWideString(), e) || !list.CheckRelationships(id, k, e))
            return Quit(errKind, err, u"MOVE: cache error: " + e);
        CWideString newPath;
        if (!VisiblePath(list, id, newPath)) {
            OnMessage(1, u"Illegal filename \"" + copy.m_Info.m_sName + u"\" not notifying");
            return true;
        }
        add(newPath, CIK_MOVED_TO);
        list.Lookup(id, copy);
        sub.RemoveAll();
        if (!list.CollectDescendantChanges(t, copy, sub, k, e, false, 0)) return Quit(errKind, err, e, k);
        if (!own) out.AddTailList(sub);
        return true;
    }
    if (detail == u"resource_removed" && members) {
        if (!list.Find(id)) {
            OnMessage(1, u"got delete notification for un-cached id " + id + u", not notifying");
            return true;
        }
        CWideString path, e;
        if (VisiblePath(list, id, path)) add(path, CIK_DELETED);
        if (!list.RemoveFromCache(id, e)) return Quit(errKind, err, u"couldn't remove file " + id + u" from cache: " + e);
    }
    return true;
}
