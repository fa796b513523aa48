// The process-wide id/path cache of the cloud account: every item of the
// account by its service id, with its parent, children and path, filled by a
// first listing of the whole account and kept current by the cloud file
// system's own changes and the change notifications. Also holds the pending
// transaction ids of this program's own changes and the last known quota.
//
// Listings from the service are untrusted: an id that repeats, an item that
// would become its own ancestor, an unknown id prefix or a listing deeper
// than kOrvanMaxListDepth fails the population (kind 11, cache emptied).
// Names that could leave the sync root (empty, ".", "..", or holding '/',
// '\', NUL or a control character) are kept but hidden: path look-ups never
// find them or anything below them.
#pragma once

#include "TvFsRecords.h"
#include "zor-coll.h"
#include "zor-json.h"
#include "zor-string.h"
#include "zor-thread.h"

#include <atomic>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

// Item marks: echoes awaited from this program's own changes.
enum OrvanMark : int32_t {
    ORVAN_MARK_CREATED = 0,
    ORVAN_MARK_DELETED = 1,
    ORVAN_MARK_RENAMED = 2,
};

constexpr int kOrvanMaxListDepth = 256;
// The largest file size the service's answers are taken at (1 PiB).
constexpr int64_t kOrvanMaxFileSize = (int64_t)1 << 50;
constexpr const char16_t* kOrvanCollectionType = u"application/vnd.orvan.cirrolith.collection";

// True for a name that may stand in a path below the sync root.
bool IsSafeCloudName(const CWideString& name);

struct OrvanFileItem {
    FsItemInfo m_Info;
    CWideString m_sPath;
    CListT<CWideString> m_lstParents{10};
    CListT<CWideString> m_lstChildren{10};
    int32_t m_nRoot = 0;
    CWideString m_sAltPath;
    CListT<int32_t> m_lstMarks{10};
    uint8_t m_bHidden = 0; // the name is unsafe: never found by path

    bool HasMark(int32_t m) const;
    bool RemoveMark(int32_t m); // the first one; false when absent
    CWideString FirstParent() const { return m_lstParents.IsEmpty() ? CWideString() : m_lstParents.GetHead(); }
};

struct PendingTid {
    uint32_t m_nRegistered = 0;
    CWideString m_sText;
    int32_t m_nNotifications = 0;
};

// Fetches the listing of one folder for the non-recursive population: the
// JSON reply of GET <path>. Implemented by the cloud file system.
class IOrvanFolderFetch {
public:
    virtual ~IOrvanFolderFetch() = default;
    virtual bool FetchFolder(const CWideString& path, ZorJsonValuePtr& reply, int& kind, CWideString& err) = 0;
};

class OrvanFileList {
public:
    OrvanFileList();
    OrvanFileList(const OrvanFileList&) = delete;
    OrvanFileList& operator=(const OrvanFileList&) = delete;

    CCritSection& Lock() { return m_csCache; }

    // -- items (all take the cache lock). A pointer from Find or GetItem is
    // used only while the caller holds Lock(): another thread may change or
    // remove the item (or empty the cache) as soon as it is released.
    OrvanFileItem* Add(const CWideString& id, const OrvanFileItem& item);
    OrvanFileItem* GetItem(const CWideString& id); // null when absent (asserted)
    OrvanFileItem* Find(const CWideString& id);    // null when absent, no assertion
    bool Lookup(const CWideString& id, OrvanFileItem& out);
    bool FindIdByPath(const CWideString& path, CWideString& id);
    CWideString GetRootId();
    bool GetPathFromId(const CWideString& id, CWideString& path, CWideString& err, bool bUseAlt = false);
    bool CheckRelationships(const CWideString& id, int& kind, CWideString& err);
    bool RenameInCache(const CWideString& id, const CWideString& newName, CWideString& err);
    bool RemoveFromCache(const CWideString& id, CWideString& err);
    bool IsValidItemName(const CWideString& id, CWideString& err);
    bool CollectDescendantChanges(CZorTime t, const OrvanFileItem& item, CListT<ChangedItem>& out, int& kind,
                                  CWideString& err, bool bFolderGone, int nDeleted);
    // Child-list changes that keep the name index right.
    void AddChild(const CWideString& parentId, const CWideString& childId);
    bool RemoveChild(const CWideString& parentId, const CWideString& childId);
    void GetAllIds(CListT<CWideString>& ids);
    void Clear();
    void ResetCache();
    bool IsEmpty();
    int GetCount();

    // -- listing nodes
    // Adds one listing node (and its children) under parentId (empty: the
    // root). bRecursive: children are complete nodes; otherwise folder
    // children are fetched one by one through pFetch.
    bool ListNode(const CWideString& parentId, const ZorJsonValue* node, bool bRecursive, IOrvanFolderFetch* pFetch,
                  int depth, int& kind, CWideString& err);
    // The population from a reply already read: the index reply (an array of
    // the root and the data collection), or the first directory reply (the
    // root with its "tvdata" member). The index form empties the cache (and
    // its pending ids) when it fails.
    bool PopulateFromIndex(const char* body, int len, int& kind, CWideString& err);
    bool PopulateRootFromDirectories(const char* body, int len, bool bRecursive, IOrvanFolderFetch* pFetch,
                                     CWideString& tvdataId, int& kind, CWideString& err);
    bool PopulateCollection(const ZorJsonValue* reply, bool bRecursive, IOrvanFolderFetch* pFetch, int& kind,
                            CWideString& err);

    // -- population state (under the cache lock)
    std::atomic<bool> m_bPopulationRequested{false}; // read without the lock by waiters
    bool m_bSecondFlag = false;
    int32_t m_nPopulationErrKind = 0;
    CWideString m_sPopulationErr;
    int32_t m_nOpenConnections = 0; // connected cloud file systems of the process
    int32_t m_nLongPollsLive = 0;   // long polls polling now: the cache is kept current

    // -- pending transaction ids
    bool AddPendingTid(const CWideString& tid, const CWideString& text);
    bool OnTidNotified(const CWideString& tid, const CWideString& text);
    void PurgePendingTids();
    int GetPendingCount();

    // -- this program's changes in flight
    // A change this program sends (delete, new folder, move, upload) is in
    // flight from before its request until its reply has marked the cache
    // (pending tid, marks, the new item). Its echo comes on the long poll's
    // own connection and may be there first: the poll lets the changes that
    // began before its events arrived end before it handles them, so an echo
    // is known as one. Tickets rise; NextOwnChange is the one to come.
    uint64_t BeginOwnChange();
    void EndOwnChange(uint64_t ticket);
    uint64_t NextOwnChange();
    bool OwnChangeInFlightBefore(uint64_t ticket);

    // -- quota (a lock of its own: the long poll writes it, workers read it)
    bool GetCachedQuota(int64_t& nFree, int64_t& nTotal, bool bForce);
    bool UpdateQuota(int64_t nFree, int64_t nTotal, int64_t nTimestamp);
    void InvalidateQuota();

private:
    CHashMapT<CWideString, OrvanFileItem> m_mapItems{17, 0.75f, 0.25f, 2.25f, 10};
    CHashMapT<CWideString, PendingTid> m_mapPending{17, 0.75f, 0.25f, 2.25f, 10};
    CCritSection m_csPending;
    CCritSection m_csOwn;
    uint64_t m_nNextOwn = 1;
    std::set<uint64_t> m_ownInFlight; // under m_csOwn
    CCritSection m_csQuota;
    int64_t m_nQuotaFree = -1;
    int64_t m_nQuotaTotal = -1;
    int64_t m_nQuotaTime = -1;
    CWideString m_sSpare;
    CCritSection m_csCache;
    CWideString m_sRootId;
    // Per-folder name index (folded name -> child ids in child-list order),
    // built on demand for large folders and dropped when the folder changes.
    struct NameIndex {
        std::unordered_map<std::u16string, std::vector<CWideString>> map;
    };
    std::unordered_map<std::u16string, NameIndex> m_nameIndex;

    void DropIndex(const CWideString& folderId);
    const NameIndex* IndexOf(const CWideString& folderId, const OrvanFileItem& folder);
    bool ComputePath(const CWideString& id, OrvanFileItem& item, CWideString& err);
    bool RemoveRec(const CWideString& id, int& budget, CWideString& err);
    bool RenameRec(const CWideString& id, const CWideString& newName, int& budget, CWideString& err);
    bool CollectRec(CZorTime t, const OrvanFileItem& item, CListT<ChangedItem>& out, int& kind, CWideString& err,
                    bool bFolderGone, int nDeleted, int& budget);
    bool PopulateFromIndexInner(const char* body, int len, int& kind, CWideString& err);
    bool PopulateRoot(const ZorJsonValue* root, bool bRecursive, IOrvanFolderFetch* pFetch, int& kind,
                      CWideString& err);
};

// The one cache of the process.
OrvanFileList& GetOrvanFileList();
