// The change notifications of the cloud account by long poll: one
// subscription, the first population of the account cache, then a poll loop
// that keeps the cache in step with every notification and queues the
// change records the monitor collects. Runs on the monitor thread inside
// OrvanFS::WaitForChanges; the queue is shared with the job's threads.
#pragma once

#include "OrvanFileList.h"
#include "TvFsRecords.h"
#include "zor-coll.h"
#include "zor-json.h"
#include "zor-thread.h"

#include <atomic>

class OrvanFS;

// At most this many records wait in the queue; past it the queue becomes one
// whole-tree ChangeInFolder record (the job re-lists the side).
constexpr int kLongPollMaxQueued = 10000;

// The longest the poll waits for this program's changes in flight before it
// handles events that may echo them (an upload of a big file may take long).
constexpr int64_t kLongPollOwnChangeWaitMs = 15 * 60 * 1000;

// The subscription body: the quota resource, collections and assets, and
// their trashed, name and members sub-resources.
extern const char* const kLongPollSubscription;

class TsLongPoll : public ICopyProgress {
public:
    explicit TsLongPoll(OrvanFS* pOwner);
    ~TsLongPoll() override = default;

    bool OnProgress(bool, int64_t, int64_t, int&, CWideString&) override { return true; }
    void OnMessage(int, const CWideString&) override {}
    bool WantsLevel(int) const override { return false; }
    virtual void OnChangeRecord(ChangedItem&) {}
    virtual void OnEmptyResponse() {}
    virtual void QueueChanges(const CListT<ChangedItem>& items);

    // Subscribe, populate the cache, poll until a stop or an error.
    bool Run(int& errKind, CWideString& err);
    // The subscription alone (the long-poll connect subscribes before it
    // lists the account, then sets m_bPrimed for the first run).
    bool Subscribe(int& errKind, CWideString& err);
    bool Poll(int& errKind, CWideString& err);
    // Moves the queue into items (queue order).
    void Drain(CListT<ChangedItem>& items);
    int QueuedCount();

    CNarrowString m_sHeaders;
    CNarrowString m_sRegistrationId;
    OrvanFS* m_pOwner;
    CCritSection m_cs;
    CListT<ChangedItem> m_lstQueue{10};
    std::atomic<uint8_t> m_bPending{0};
    std::atomic<bool> m_bPrimed{false}; // subscribed and listed by the connect, no run yet

private:
    bool m_bCollapsed = false; // the queue holds the one whole-tree record
    bool HandleEvent(const ZorJsonValue* ev, CListT<ChangedItem>& out, bool& bMetadata, int& errKind,
                     CWideString& err);
    bool Members(const ZorJsonValue* ev, const CWideString& resource, CZorTime t, bool own,
                 CListT<ChangedItem>& out, int& errKind, CWideString& err);
    bool Restore(const CWideString& resource, const CWideString& id, CZorTime t, bool own,
                 CListT<ChangedItem>& out, int& errKind, CWideString& err);
    bool AddNew(const CWideString& id, const CWideString& parentId, OrvanFileItem item, bool bListFolder, CZorTime t,
                bool own, CListT<ChangedItem>& out, int& errKind, CWideString& err);
    void SetPopulationResult(int errKind, const CWideString& err);
    // False when a stop came while this program's changes begun before mark
    // were still in flight (see OrvanFileList::BeginOwnChange).
    bool WaitForOwnChanges(uint64_t mark);
};

// The registration id of a subscription reply: the parsed JSON member, else
// the text after the first `registration_id":"` up to the next quote.
bool ParseRegistrationId(const CNarrowString& body, CNarrowString& id);
