// ZorSignal: a lock-protected list of connected observers that an emit calls
// with its arguments (job events travel this way).
//
// Emit holds the signal's lock for the whole call and raises the emit counter
// while it runs, so a Disconnect on another thread waits until the emit has
// finished: once Disconnect returns, the observer is not called again and may
// be destroyed. The lock is re-entrant, so an observer may connect or
// disconnect (itself or others) from inside the emit. The emit walks a
// snapshot of the list taken when it started: observers connected during the
// emit are first called by the next one, and an observer disconnected during
// the emit is not called after its disconnection.
#pragma once

#include "zor-debug.h"
#include "zor-thread.h"

#include <atomic>
#include <vector>

// Holds a signal's emit counter raised for its lifetime.
class ZorSignalEmitGuard {
public:
    explicit ZorSignalEmitGuard(std::atomic<int>* pCounter) : m_pCounter(pCounter) {
        if (m_pCounter) m_pCounter->fetch_add(1, std::memory_order_acq_rel);
    }
    ~ZorSignalEmitGuard() {
        if (m_pCounter) m_pCounter->fetch_sub(1, std::memory_order_acq_rel);
    }
    ZorSignalEmitGuard(const ZorSignalEmitGuard&) = delete;
    ZorSignalEmitGuard& operator=(const ZorSignalEmitGuard&) = delete;

private:
    std::atomic<int>* m_pCounter;
};

template <typename TObserver> class ZorSignal {
public:
    ZorSignal() = default;
    ZorSignal(const ZorSignal&) = delete;
    ZorSignal& operator=(const ZorSignal&) = delete;
    ~ZorSignal() {
        // Destroying a signal while an emit walks its list is a programming error.
        ZOR_ASSERT(m_nEmitting.load() == 0);
    }

    // Connects an observer (a null observer is an assertion report). An
    // observer that is already connected stays connected once.
    bool Connect(TObserver* pObserver) {
        if (!pObserver) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "ZorSignal::Connect: null observer");
            return false;
        }
        CCritSectionLock lock(m_cs);
        for (TObserver* p : m_list)
            if (p == pObserver) return true;
        m_list.push_back(pObserver);
        m_nChanges++;
        return true;
    }
    // Disconnects an observer; false when it was not connected.
    bool Disconnect(TObserver* pObserver) {
        if (!pObserver) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "ZorSignal::Disconnect: null observer");
            return false;
        }
        CCritSectionLock lock(m_cs);
        for (size_t i = 0; i < m_list.size(); i++) {
            if (m_list[i] == pObserver) {
                m_list.erase(m_list.begin() + (ptrdiff_t)i);
                m_nChanges++;
                return true;
            }
        }
        return false;
    }
    void DisconnectAll() {
        CCritSectionLock lock(m_cs);
        m_list.clear();
        m_nChanges++;
    }

    // Calls pSlot with the arguments on every connected observer, in the
    // order they were connected.
    template <typename R, typename... P, typename... A> void Emit(R (TObserver::*pSlot)(P...), A&&... args) {
        CCritSectionLock lock(m_cs);
        ZorSignalEmitGuard guard(&m_nEmitting);
        if (m_list.empty()) return;
        // Snapshot; small lists stay on the stack.
        TObserver* local[8];
        std::vector<TObserver*> heap;
        TObserver** pSnap = local;
        size_t n = m_list.size();
        if (n > 8) {
            heap = m_list;
            pSnap = heap.data();
        } else {
            for (size_t i = 0; i < n; i++) local[i] = m_list[i];
        }
        uint64_t nChanges = m_nChanges;
        for (size_t i = 0; i < n; i++) {
            TObserver* p = pSnap[i];
            if (m_nChanges != nChanges && !IsConnectedLocked(p)) continue;
            (p->*pSlot)(args...);
        }
    }

    bool IsConnected(TObserver* pObserver) const {
        CCritSectionLock lock(m_cs);
        return IsConnectedLocked(pObserver);
    }
    int GetCount() const {
        CCritSectionLock lock(m_cs);
        return (int)m_list.size();
    }
    // True while any emit walks the list.
    bool IsEmitting() const { return m_nEmitting.load(std::memory_order_acquire) != 0; }
    std::atomic<int>* GetEmitCounter() { return &m_nEmitting; }

private:
    mutable CCritSection m_cs;
    std::atomic<int> m_nEmitting{0};
    uint64_t m_nChanges = 0; // bumped by every connect and disconnect
    std::vector<TObserver*> m_list;

    bool IsConnectedLocked(TObserver* pObserver) const {
        for (TObserver* p : m_list)
            if (p == pObserver) return true;
        return false;
    }
};
