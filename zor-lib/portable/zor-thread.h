// Locks, threads and events.
//
// Timed waits follow the library clock (zor-time.h): with the real clock
// they block for real; with a virtual (test) clock a wait that is not
// satisfied at once advances the clock by its timeout and returns "timed
// out" at once. Waits without a time limit always block for real.
#pragma once

#include "zor-string.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

// ---------------------------------------------------------------- locks
// A re-entrant lock.
class CCritSection {
public:
    CCritSection() = default;
    CCritSection(const CCritSection&) = delete;
    CCritSection& operator=(const CCritSection&) = delete;
    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    bool TryLock() { return m_mutex.try_lock(); }
    // Aliases used by code written against the bare form.
    void Enter() { Lock(); }
    void Leave() { Unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Scoped lock: taken in the constructor, released in the destructor.
class CCritSectionLock {
public:
    explicit CCritSectionLock(CCritSection& cs) : m_cs(cs) { m_cs.Lock(); }
    explicit CCritSectionLock(CCritSection* cs) : m_cs(*cs) { m_cs.Lock(); }
    ~CCritSectionLock() { m_cs.Unlock(); }
    CCritSectionLock(const CCritSectionLock&) = delete;
    CCritSectionLock& operator=(const CCritSectionLock&) = delete;

private:
    CCritSection& m_cs;
};

// The bare critical section (also re-entrant) with its scoped guard.
class CCsObject : public CCritSection {};

class CCsGuard {
public:
    explicit CCsGuard(CCsObject& cs) : m_cs(cs) { m_cs.Lock(); }
    explicit CCsGuard(CCsObject* cs) : m_cs(*cs) { m_cs.Lock(); }
    ~CCsGuard() { m_cs.Unlock(); }
    CCsGuard(const CCsGuard&) = delete;
    CCsGuard& operator=(const CCsGuard&) = delete;

private:
    CCsObject& m_cs;
};

// ---------------------------------------------------------------- threads
// Thread priorities (the Windows scale); on Linux mapped to nice values,
// best effort (raising needs privileges and is silently skipped).
enum ZorThreadPriority : int {
    ZOR_THREAD_PRIORITY_IDLE = -15,
    ZOR_THREAD_PRIORITY_LOWEST = -2,
    ZOR_THREAD_PRIORITY_BELOW_NORMAL = -1,
    ZOR_THREAD_PRIORITY_NORMAL = 0,
    ZOR_THREAD_PRIORITY_ABOVE_NORMAL = 1,
    ZOR_THREAD_PRIORITY_HIGHEST = 2,
    ZOR_THREAD_PRIORITY_NONE = 0x7fffffff, // leave the priority as inherited
};

// The thread base: the thread handle, its thread id and a sequence number.
// Virtual operations in order: destructor, Start, Stop.
class ZorThread {
public:
    ZorThread();
    // Destroys the handle; a still joinable thread is detached (derived
    // classes stop their thread in their own destructor).
    virtual ~ZorThread();
    // Clears the stop request and starts the thread on the owner's body;
    // false with the reason appended to err when it could not start (or a
    // thread is already running).
    virtual bool Start(CWideString& err) = 0;
    // Sets the stop request and, when a thread exists, waits for it without
    // a time limit and closes its handle.
    virtual void Stop() = 0;

    // The handle is valid and the thread has not exited.
    bool IsRunning() const { return m_bHandle.load() && !m_bExited.load(); }
    // The kernel thread id (gettid) once started; 0 before.
    int GetThreadId() const { return m_nThreadId.load(); }
    // Process-wide sequence number, given at construction (1, 2, ...).
    uint32_t GetSequenceNumber() const { return m_nSequence; }
    // Priority applied when the thread starts (ZOR_THREAD_PRIORITY_NONE: none).
    void SetPriority(int nPriority) { m_nPriority = nPriority; }
    int GetPriority() const { return m_nPriority; }
    // True when called on this object's own thread.
    bool IsCurrentThread() const;

protected:
    // Starts a thread that runs pfnBody(this). The thread is held at a start
    // gate until its handle is stored and its priority set, then released.
    // With bDetach the handle is given up at once (auto-delete threads).
    bool StartThread(void (*pfnBody)(ZorThread*), bool bDetach, CWideString& err);
    // Waits for the thread (not from the thread itself) and closes the handle.
    void JoinThread();
    // Called by the body wrapper when the body has returned (before an auto-delete).
    void MarkExited() { m_bExited.store(true); }

private:
    static void Entry(ZorThread* pThis, void (*pfnBody)(ZorThread*), struct ZorStartGate* pGate);

    std::mutex m_handleLock; // guards m_thread against concurrent Start/Stop
    std::thread m_thread;
    std::atomic<bool> m_bHandle{false};
    std::atomic<bool> m_bExited{false};
    std::atomic<int> m_nThreadId{0};
    uint32_t m_nSequence;
    int m_nPriority = ZOR_THREAD_PRIORITY_NONE;
};

// The template over the owner class T. Two ways to give the body:
//  - T derives from ZorThreadImpl<T> and has "void ThreadBody()"; Start(err) runs it;
//  - any T: Start(pOwner, &T::Method, err) runs pOwner->Method().
// The stop request is polled by the body (IsStopRequested). With the
// auto-delete flag the thread deletes this object after the body returns;
// such a thread is detached and is never joined (Stop only sets the request).
// The destructor calls Stop; a class whose body uses its own members must
// call Stop in its own destructor, before those members go away.
template <class T> class ZorThreadImpl : public ZorThread {
public:
    using Body = void (T::*)();

    explicit ZorThreadImpl(bool bAutoDelete = false) : m_bAutoDelete(bAutoDelete) {}
    ~ZorThreadImpl() override { Stop(); }

    bool Start(CWideString& err) override {
        if constexpr (std::is_base_of_v<ZorThreadImpl<T>, T>) {
            return Start(static_cast<T*>(this), &T::ThreadBody, err);
        } else {
            err += u"thread has no body to run";
            return false;
        }
    }
    bool Start(T* pOwner, Body body, CWideString& err) {
        if (IsRunning()) {
            err += u"thread is already running";
            return false;
        }
        JoinThread(); // a finished earlier run
        m_bStopRequested.store(false);
        m_pOwner = pOwner;
        m_body = body;
        return StartThread(&ZorThreadImpl::Trampoline, m_bAutoDelete, err);
    }
    void Stop() override {
        m_bStopRequested.store(true);
        if (!m_bAutoDelete) JoinThread();
    }
    // Sets the stop request without waiting.
    void RequestStop() { m_bStopRequested.store(true); }
    bool IsStopRequested() const { return m_bStopRequested.load(); }
    bool IsAutoDelete() const { return m_bAutoDelete; }
    // Must be chosen before Start.
    void SetAutoDelete(bool b) { m_bAutoDelete = b; }

private:
    static void Trampoline(ZorThread* p) {
        ZorThreadImpl* self = static_cast<ZorThreadImpl*>(p);
        T* pOwner = self->m_pOwner;
        Body body = self->m_body;
        (pOwner->*body)();
        self->MarkExited();
        if (self->m_bAutoDelete) delete self;
    }

    std::atomic<bool> m_bStopRequested{false};
    bool m_bAutoDelete;
    T* m_pOwner = nullptr;
    Body m_body = nullptr;
};

// ---------------------------------------------------------------- events
struct ZorEventWaiter;

// An event, manual or auto reset. A manual-reset event stays signalled until
// Reset; an auto-reset event is consumed by the one wait that it satisfies.
class ZorEvent {
public:
    ZorEvent() = default;
    ~ZorEvent() { Close(); }
    ZorEvent(const ZorEvent&) = delete;
    ZorEvent& operator=(const ZorEvent&) = delete;

    // Opens the event (closing an open one first). The name is kept for
    // messages only (events are private to the process). Always true.
    bool Create(const CWideString& name, bool bManualReset, bool bInitiallySignalled);
    bool Create(bool bManualReset = false, bool bInitiallySignalled = false) {
        return Create(CWideString(), bManualReset, bInitiallySignalled);
    }
    // False with "cannot set closed event" on a closed event.
    bool Set(CWideString& err);
    bool Set();
    // False with "cannot reset closed event" on a closed event.
    bool Reset(CWideString& err);
    bool Reset();
    // Waits until signalled (true) or until nMs pass (-1: no limit). A timeout
    // gives false with no text and IsTimedOut() true. A closed event, or one
    // closed during the wait, gives false with "cannot wait for closed event".
    bool Wait(int64_t nMs, CWideString& err);
    bool Wait(int64_t nMs = -1);
    // Signalled now (does not consume an auto-reset event).
    bool IsSignalled() const;
    bool IsOpen() const;
    // Wakes every waiter (which then fails) and marks the event closed.
    void Close();

    bool IsWaiting() const { return m_bWaiting.load(); }
    bool IsTimedOut() const { return m_bTimedOut.load(); }
    bool IsManualReset() const { return m_bManual; }
    const CWideString& GetName() const { return m_sName; }

private:
    friend bool ZorWaitForEventsTimeout(ZorEvent* const*, int, int64_t, int&, int&, CWideString&);

    CWideString m_sName;
    std::atomic<bool> m_bWaiting{false};
    std::atomic<bool> m_bTimedOut{false};
    bool m_bOpen = false; // guarded by the event lock
    bool m_bManual = false;
    bool m_bSignalled = false;              // guarded by the event lock
    std::vector<ZorEventWaiter*> m_waiters; // guarded by the event lock
};

// The largest number of events one wait can take.
constexpr int ZOR_MAX_WAIT_EVENTS = 127;

// Waits without a time limit until one of the events is signalled and gives
// its index (the lowest signalled index when several are). An auto-reset
// event is consumed only by the wait that it satisfies. More than 127 events:
// false with "too many handles to wait for" and kind 5; an empty list, a null
// or a closed event: false with kind 5 and a message.
bool ZorWaitForEvents(ZorEvent* const* pEvents, int nCount, int& nIndex, int& nKind, CWideString& err);
inline bool ZorWaitForEvents(std::initializer_list<ZorEvent*> events, int& nIndex, int& nKind,
                             CWideString& err) {
    return ZorWaitForEvents(events.begin(), (int)events.size(), nIndex, nKind, err);
}
inline bool ZorWaitForEvents(const std::vector<ZorEvent*>& events, int& nIndex, int& nKind,
                             CWideString& err) {
    return ZorWaitForEvents(events.data(), (int)events.size(), nIndex, nKind, err);
}
// The same with a time limit in milliseconds (-1: none). A timeout gives
// false with nIndex -1, no text and the kind left unchanged.
bool ZorWaitForEventsTimeout(ZorEvent* const* pEvents, int nCount, int64_t nMs, int& nIndex, int& nKind,
                             CWideString& err);
inline bool ZorWaitForEventsTimeout(std::initializer_list<ZorEvent*> events, int64_t nMs, int& nIndex,
                                    int& nKind, CWideString& err) {
    return ZorWaitForEventsTimeout(events.begin(), (int)events.size(), nMs, nIndex, nKind, err);
}

// ---------------------------------------------------------------- OLE
// Per-thread OLE guard. There is no OLE on Linux: Init succeeds and does
// nothing, and Uninit undoes only what this guard's Init did.
class ZorOleInit {
public:
    explicit ZorOleInit(bool bInit = false) {
        if (bInit) {
            CWideString err;
            Init(err);
        }
    }
    ~ZorOleInit() { Uninit(); }
    ZorOleInit(const ZorOleInit&) = delete;
    ZorOleInit& operator=(const ZorOleInit&) = delete;
    bool Init(CWideString& err);
    void Uninit();
    bool IsInitialized() const { return m_bInitialized; }

private:
    bool m_bInitialized = false;
};
