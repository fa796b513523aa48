// Locks, threads and events.
#include "zor-thread.h"

#include "zor-debug.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace {
int CurrentTid() {
    return (int)syscall(SYS_gettid);
}

// Windows-scale priority to a nice increment.
int NiceDelta(int nPriority) {
    if (nPriority <= ZOR_THREAD_PRIORITY_IDLE) return 19;
    switch (nPriority) {
        case ZOR_THREAD_PRIORITY_LOWEST:
            return 10;
        case ZOR_THREAD_PRIORITY_BELOW_NORMAL:
            return 5;
        case ZOR_THREAD_PRIORITY_NORMAL:
            return 0;
        case ZOR_THREAD_PRIORITY_ABOVE_NORMAL:
            return -5;
        default:
            return nPriority > 0 ? -10 : 10;
    }
}

std::atomic<uint32_t> g_nThreadSequence{0};
} // namespace

// The gate a new thread waits at until its creator has stored the handle and
// set the priority (the "created suspended, priority set, resumed" start).
struct ZorStartGate {
    std::mutex lock;
    std::condition_variable cv;
    int nTid = 0;
    bool bOpen = false;
};

// ---------------------------------------------------------------- ZorThread
ZorThread::ZorThread() : m_nSequence(g_nThreadSequence.fetch_add(1) + 1) {}

ZorThread::~ZorThread() {
    std::lock_guard<std::mutex> g(m_handleLock);
    if (m_thread.joinable()) m_thread.detach();
}

bool ZorThread::IsCurrentThread() const {
    int tid = m_nThreadId.load();
    return tid != 0 && tid == CurrentTid();
}

void ZorThread::Entry(ZorThread* pThis, void (*pfnBody)(ZorThread*), ZorStartGate* pGate) {
    {
        std::unique_lock<std::mutex> lk(pGate->lock);
        pGate->nTid = CurrentTid();
        pGate->cv.notify_all();
        pGate->cv.wait(lk, [&] { return pGate->bOpen; });
    }
    pfnBody(pThis); // may delete pThis (auto-delete)
}

bool ZorThread::StartThread(void (*pfnBody)(ZorThread*), bool bDetach, CWideString& err) {
    auto gate = std::make_shared<ZorStartGate>();
    {
        std::lock_guard<std::mutex> g(m_handleLock);
        if (m_thread.joinable()) {
            err += u"thread is already started";
            return false;
        }
        m_bExited.store(false);
        m_nThreadId.store(0);
        try {
            m_thread = std::thread([this, pfnBody, gate] { Entry(this, pfnBody, gate.get()); });
        } catch (const std::system_error& e) {
            err.AppendFormat(u"cannot create thread: %s", e.what());
            return false;
        }
        int tid;
        {
            std::unique_lock<std::mutex> lk(gate->lock);
            gate->cv.wait(lk, [&] { return gate->nTid != 0; });
            tid = gate->nTid;
        }
        m_nThreadId.store(tid);
        if (m_nPriority != ZOR_THREAD_PRIORITY_NONE) {
            // Best effort: a nice value relative to the creator's; a refused
            // change (raising needs privileges) leaves the inherited priority.
            errno = 0;
            int base = getpriority(PRIO_PROCESS, (id_t)CurrentTid());
            if (errno == 0) {
                int nice = base + NiceDelta(m_nPriority);
                if (nice > 19) nice = 19;
                if (nice < -20) nice = -20;
                setpriority(PRIO_PROCESS, (id_t)tid, nice);
            }
        }
        m_bHandle.store(true);
        if (bDetach) m_thread.detach();
    }
    // Open the gate last: from here on an auto-delete thread may delete this
    // object, so nothing below touches it.
    {
        std::lock_guard<std::mutex> lk(gate->lock);
        gate->bOpen = true;
    }
    gate->cv.notify_all();
    return true;
}

void ZorThread::JoinThread() {
    std::lock_guard<std::mutex> g(m_handleLock);
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach(); // a thread cannot wait for itself
        else
            m_thread.join();
        m_bHandle.store(false);
    }
}

// ---------------------------------------------------------------- events
struct ZorEventWaiter {
    std::condition_variable cv;
};

namespace {
// One lock for the state of every event, so that a wait for several events
// checks and consumes them atomically.
std::mutex& EventLock() {
    static std::mutex s_lock;
    return s_lock;
}

void WakeWaiters(std::vector<ZorEventWaiter*>& waiters) {
    for (ZorEventWaiter* w : waiters) w->cv.notify_all();
}
} // namespace

bool ZorEvent::Create(const CWideString& name, bool bManualReset, bool bInitiallySignalled) {
    Close();
    std::lock_guard<std::mutex> g(EventLock());
    m_sName = name;
    m_bManual = bManualReset;
    m_bSignalled = bInitiallySignalled;
    m_bOpen = true;
    m_bTimedOut.store(false);
    return true;
}

bool ZorEvent::Set(CWideString& err) {
    std::lock_guard<std::mutex> g(EventLock());
    if (!m_bOpen) {
        err += u"cannot set closed event";
        return false;
    }
    m_bSignalled = true;
    WakeWaiters(m_waiters);
    return true;
}

bool ZorEvent::Set() {
    CWideString err;
    return Set(err);
}

bool ZorEvent::Reset(CWideString& err) {
    std::lock_guard<std::mutex> g(EventLock());
    if (!m_bOpen) {
        err += u"cannot reset closed event";
        return false;
    }
    m_bSignalled = false;
    return true;
}

bool ZorEvent::Reset() {
    CWideString err;
    return Reset(err);
}

bool ZorEvent::IsSignalled() const {
    std::lock_guard<std::mutex> g(EventLock());
    return m_bOpen && m_bSignalled;
}

bool ZorEvent::IsOpen() const {
    std::lock_guard<std::mutex> g(EventLock());
    return m_bOpen;
}

void ZorEvent::Close() {
    std::lock_guard<std::mutex> g(EventLock());
    if (!m_bOpen) return;
    m_bOpen = false;
    m_bSignalled = false;
    WakeWaiters(m_waiters);
    m_waiters.clear(); // the woken waiters see the event closed
    m_bWaiting.store(false);
}

bool ZorEvent::Wait(int64_t nMs, CWideString& err) {
    ZorEvent* self = this;
    int index = -1, kind = 0;
    m_bTimedOut.store(false);
    bool ok = ZorWaitForEventsTimeout(&self, 1, nMs, index, kind, err);
    if (!ok && index < 0 && kind == 0) m_bTimedOut.store(true);
    return ok;
}

bool ZorEvent::Wait(int64_t nMs) {
    CWideString err;
    return Wait(nMs, err);
}

bool ZorWaitForEvents(ZorEvent* const* pEvents, int nCount, int& nIndex, int& nKind, CWideString& err) {
    return ZorWaitForEventsTimeout(pEvents, nCount, -1, nIndex, nKind, err);
}

bool ZorWaitForEventsTimeout(ZorEvent* const* pEvents, int nCount, int64_t nMs, int& nIndex, int& nKind,
                             CWideString& err) {
    nIndex = -1;
    if (nCount > ZOR_MAX_WAIT_EVENTS) {
        err += u"too many handles to wait for";
        SetErrorKind(nKind, ZEK_GENERAL);
        return false;
    }
    if (nCount <= 0 || !pEvents) {
        err += u"no events to wait for";
        SetErrorKind(nKind, ZEK_GENERAL);
        return false;
    }
    // A limit beyond any real wait (about 34 years) means no limit; this also
    // keeps the deadline arithmetic from overflowing.
    if (nMs > ((int64_t)1 << 40)) nMs = -1;
    std::unique_lock<std::mutex> lk(EventLock());

    // Checks the list: -2 when an event is closed, else the lowest signalled
    // index (consuming an auto-reset event), else -1.
    auto check = [&]() -> int {
        for (int i = 0; i < nCount; ++i)
            if (!pEvents[i] || !pEvents[i]->m_bOpen) return -2;
        for (int i = 0; i < nCount; ++i) {
            ZorEvent* e = pEvents[i];
            if (e->m_bSignalled) {
                if (!e->m_bManual) e->m_bSignalled = false;
                return i;
            }
        }
        return -1;
    };
    auto closedFailure = [&]() {
        err += u"cannot wait for closed event";
        SetErrorKind(nKind, ZEK_GENERAL);
        return false;
    };

    int found = check();
    if (found == -2) return closedFailure();
    if (found >= 0) {
        nIndex = found;
        return true;
    }
    if (nMs == 0) return false;

    ZorClock& clock = ZorGetClock();
    if (nMs > 0 && clock.IsVirtual()) {
        // Virtual time: a wait not satisfied now advances the clock by its
        // timeout and times out at once (after letting other threads run).
        lk.unlock();
        std::this_thread::yield();
        clock.SleepMs(nMs);
        lk.lock();
        found = check();
        if (found == -2) return closedFailure();
        if (found >= 0) {
            nIndex = found;
            return true;
        }
        return false;
    }

    ZorEventWaiter waiter;
    for (int i = 0; i < nCount; ++i) {
        pEvents[i]->m_waiters.push_back(&waiter);
        pEvents[i]->m_bWaiting.store(true);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs > 0 ? nMs : 0);
    bool bTimedOut = false;
    for (;;) {
        if (nMs < 0) {
            waiter.cv.wait(lk);
        } else if (waiter.cv.wait_until(lk, deadline) == std::cv_status::timeout) {
            bTimedOut = true;
        }
        found = check();
        if (found != -1) break;
        if (bTimedOut) break;
    }
    // Unregister from the events that are still open (Close clears its list).
    for (int i = 0; i < nCount; ++i) {
        ZorEvent* e = pEvents[i];
        if (!e) continue;
        auto& w = e->m_waiters;
        for (size_t k = 0; k < w.size(); ++k) {
            if (w[k] == &waiter) {
                w.erase(w.begin() + (long)k);
                break;
            }
        }
        if (w.empty()) e->m_bWaiting.store(false);
    }
    if (found == -2) return closedFailure();
    if (found >= 0) {
        nIndex = found;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- OLE
bool ZorOleInit::Init(CWideString& /*err*/) {
    m_bInitialized = true;
    return true;
}

void ZorOleInit::Uninit() {
    m_bInitialized = false;
}
