#include "zor-debug.h"
#include "zor-thread.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string Str(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

// A thread class in the derived form: counts loops until a stop is requested.
class CountingThread : public ZorThreadImpl<CountingThread> {
public:
    ~CountingThread() override { Stop(); }
    void ThreadBody() {
        m_nTid.store((int)syscall(SYS_gettid));
        m_nNice.store(getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid)));
        while (!IsStopRequested()) {
            m_nLoops.fetch_add(1);
            m_evTick.Set();
            ZorSleepMs(1);
        }
    }
    std::atomic<int> m_nLoops{0};
    std::atomic<int> m_nTid{0};
    std::atomic<int> m_nNice{0};
    ZorEvent m_evTick;
};

// An owner that is not a thread class itself.
struct Owner {
    std::atomic<int> nCalls{0};
    void Work() { nCalls.fetch_add(1); }
};

// A self-deleting thread that reports its destruction.
class SelfDeleting : public ZorThreadImpl<SelfDeleting> {
public:
    SelfDeleting(ZorEvent* pGone, std::atomic<int>* pBodies)
        : ZorThreadImpl(true), m_pGone(pGone), m_pBodies(pBodies) {}
    ~SelfDeleting() override { m_pGone->Set(); }
    void ThreadBody() {
        m_pBodies->fetch_add(1);
        m_data.assign(1000, 7); // memory that ASan would report if it were not freed
    }

private:
    ZorEvent* m_pGone;
    std::atomic<int>* m_pBodies;
    std::vector<int> m_data;
};

} // namespace

// ---------------------------------------------------------------- locks
TEST(ZorLockTest, CritSectionIsReentrantAndExclusive) {
    CCritSection cs;
    std::atomic<bool> otherGot{true};
    {
        CCritSectionLock a(cs);
        CCritSectionLock b(cs); // the same thread enters again
        std::thread t([&] { otherGot = cs.TryLock(); });
        t.join();
        EXPECT_FALSE(otherGot.load());
    }
    std::thread t([&] {
        otherGot = cs.TryLock();
        if (otherGot) cs.Unlock();
    });
    t.join();
    EXPECT_TRUE(otherGot.load());

    CCsObject bare;
    int counter = 0;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int k = 0; k < 10000; ++k) {
                CCsGuard g(bare);
                CCsGuard again(&bare);
                ++counter;
            }
        });
    for (auto& th : ts) th.join();
    EXPECT_EQ(counter, 40000);
}

// ---------------------------------------------------------------- events
TEST(ZorEventTest, ManualAndAutoReset) {
    ZorEvent autoEv, manual;
    CWideString err;
    ASSERT_TRUE(autoEv.Create(u"auto"_ws, false, true));
    ASSERT_TRUE(manual.Create(u"manual"_ws, true, false));
    EXPECT_TRUE(autoEv.IsOpen());
    EXPECT_EQ(Str(autoEv.GetName()), "auto");

    EXPECT_TRUE(autoEv.Wait(0, err));  // initially signalled
    EXPECT_FALSE(autoEv.Wait(0, err)); // consumed by that wait
    EXPECT_TRUE(autoEv.IsTimedOut());
    EXPECT_TRUE(err.IsEmpty()); // a timeout carries no text

    EXPECT_FALSE(manual.Wait(0, err));
    EXPECT_TRUE(manual.Set(err));
    EXPECT_TRUE(manual.Wait(0, err));
    EXPECT_TRUE(manual.Wait(-1, err)); // stays signalled
    EXPECT_FALSE(manual.IsTimedOut());
    EXPECT_TRUE(manual.Reset(err));
    EXPECT_FALSE(manual.Wait(10, err));
    EXPECT_TRUE(err.IsEmpty());

    manual.Close();
    EXPECT_FALSE(manual.IsOpen());
    EXPECT_FALSE(manual.Set(err));
    EXPECT_EQ(Str(err), "cannot set closed event");
    err.Empty();
    EXPECT_FALSE(manual.Wait(0, err));
    EXPECT_EQ(Str(err), "cannot wait for closed event");
    ZorEvent never;
    EXPECT_FALSE(never.IsOpen());
    EXPECT_FALSE(never.Set());
}

TEST(ZorEventTest, SetWakesBlockedWaiterAndCloseFailsIt) {
    ZorEvent ev;
    ev.Create(false, false);
    std::atomic<int> result{-1};
    std::thread t([&] { result = ev.Wait(INT64_MAX) ? 1 : 0; });  // a huge limit is no limit
    while (!ev.IsWaiting()) std::this_thread::yield();
    ev.Set();
    t.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_FALSE(ev.IsSignalled()); // the waiter consumed it

    CWideString err;
    std::thread t2([&] { result = ev.Wait(-1, err) ? 1 : 0; });
    while (!ev.IsWaiting()) std::this_thread::yield();
    ev.Close();
    t2.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(Str(err), "cannot wait for closed event");
}

TEST(ZorEventTest, TimedWaitsFollowTheTestClock) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    ZorEvent a, b;
    a.Create(false, false);
    b.Create(true, false);
    int64_t t0 = ZorGetTickMs();
    auto real0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(a.Wait(30000));
    EXPECT_TRUE(a.IsTimedOut());
    int index = 5, kind = 0;
    CWideString err;
    EXPECT_FALSE(ZorWaitForEventsTimeout({&a, &b}, 60000, index, kind, err));
    EXPECT_EQ(index, -1);
    EXPECT_EQ(kind, 0);
    EXPECT_TRUE(err.IsEmpty());
    EXPECT_EQ(ZorGetTickMs() - t0, 90000);
    EXPECT_EQ(CZorTime::Now().GetTime(), 1700000090);
    EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::seconds(5));
    // A signalled event is taken without advancing the clock.
    b.Set();
    EXPECT_TRUE(ZorWaitForEventsTimeout({&a, &b}, 60000, index, kind, err));
    EXPECT_EQ(index, 1);
    EXPECT_EQ(ZorGetTickMs() - t0, 90000);
}

TEST(ZorEventTest, WaitForEventsLowestIndexAndLimits) {
    ZorEvent evs[4];
    for (auto& e : evs) e.Create(false, false);
    evs[3].Set();
    evs[1].Set();
    evs[2].Set();
    int index = -1, kind = 0;
    CWideString err;
    ZorEvent* list[] = {&evs[0], &evs[1], &evs[2], &evs[3]};
    ASSERT_TRUE(ZorWaitForEvents(list, 4, index, kind, err));
    EXPECT_EQ(index, 1);
    ASSERT_TRUE(ZorWaitForEvents(list, 4, index, kind, err));
    EXPECT_EQ(index, 2);
    ASSERT_TRUE(ZorWaitForEvents(list, 4, index, kind, err));
    EXPECT_EQ(index, 3);
    EXPECT_FALSE(ZorWaitForEventsTimeout(list, 4, 0, index, kind, err)); // all consumed

    std::vector<std::unique_ptr<ZorEvent>> many;
    std::vector<ZorEvent*> ptrs;
    for (int i = 0; i < 128; ++i) {
        many.push_back(std::make_unique<ZorEvent>());
        many.back()->Create(true, false);
        ptrs.push_back(many.back().get());
    }
    many[126]->Set();
    ASSERT_TRUE(ZorWaitForEvents(ptrs.data(), 127, index, kind, err)); // 127 is allowed
    EXPECT_EQ(index, 126);
    EXPECT_TRUE(err.IsEmpty());
    EXPECT_FALSE(ZorWaitForEvents(ptrs, index, kind, err));
    EXPECT_EQ(Str(err), "too many handles to wait for");
    EXPECT_EQ(kind, 5);

    kind = 0;
    err.Empty();
    ZorEvent closed;
    EXPECT_FALSE(ZorWaitForEvents({&evs[0], &closed}, index, kind, err));
    EXPECT_EQ(Str(err), "cannot wait for closed event");
    EXPECT_EQ(kind, 5);
}

// Producers each own an auto-reset event and set it again only after a
// consumer acknowledged it, so every set must satisfy exactly one wait.
TEST(ZorEventTest, WaitAnyAutoResetUnderContention) {
    constexpr int kProducers = 8, kConsumers = 4, kRounds = 300;
    ZorEvent work[kProducers], ack[kProducers], stop;
    std::atomic<int> pending[kProducers];
    std::atomic<int> taken[kProducers];
    for (int i = 0; i < kProducers; ++i) {
        work[i].Create(false, false);
        ack[i].Create(false, false);
        pending[i] = 0;
        taken[i] = 0;
    }
    stop.Create(true, false);
    std::vector<ZorEvent*> waitList;
    for (auto& w : work) waitList.push_back(&w);
    waitList.push_back(&stop);

    std::atomic<int> doubleTakes{0}, errors{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c)
        consumers.emplace_back([&] {
            for (;;) {
                int index = -1, kind = 0;
                CWideString err;
                if (!ZorWaitForEvents(waitList, index, kind, err)) {
                    errors.fetch_add(1);
                    return;
                }
                if (index == kProducers) return; // stop
                if (pending[index].exchange(0) != 1) doubleTakes.fetch_add(1);
                taken[index].fetch_add(1);
                ack[index].Set();
            }
        });
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            std::mt19937 rng((unsigned)p);
            for (int r = 0; r < kRounds; ++r) {
                pending[p].store(1);
                work[p].Set();
                if (rng() % 4 == 0) std::this_thread::yield();
                if (!ack[p].Wait(-1)) errors.fetch_add(1);
            }
        });
    for (auto& t : producers) t.join();
    stop.Set();
    for (auto& t : consumers) t.join();
    EXPECT_EQ(doubleTakes.load(), 0);
    EXPECT_EQ(errors.load(), 0);
    for (int i = 0; i < kProducers; ++i) {
        EXPECT_EQ(taken[i].load(), kRounds) << "event " << i;
        EXPECT_FALSE(work[i].IsSignalled());
    }
}

// ---------------------------------------------------------------- threads
TEST(ZorThreadTest, StartStopJoinAndRestart) {
    CountingThread th;
    EXPECT_FALSE(th.IsRunning());
    EXPECT_EQ(th.GetThreadId(), 0);
    th.m_evTick.Create(false, false);
    CWideString err;
    ASSERT_TRUE(th.Start(err)) << Str(err);
    EXPECT_TRUE(th.IsRunning());
    ASSERT_TRUE(th.m_evTick.Wait(-1));
    EXPECT_FALSE(th.Start(err)); // already running
    EXPECT_EQ(Str(err), "thread is already running");
    EXPECT_NE(th.GetThreadId(), 0);
    EXPECT_EQ(th.GetThreadId(), th.m_nTid.load());
    EXPECT_NE(th.GetThreadId(), (int)syscall(SYS_gettid));
    EXPECT_FALSE(th.IsCurrentThread());

    th.Stop(); // sets the request and joins
    EXPECT_TRUE(th.IsStopRequested());
    EXPECT_FALSE(th.IsRunning());
    int loops = th.m_nLoops.load();
    EXPECT_GT(loops, 0);
    ZorSleepMs(5);
    EXPECT_EQ(th.m_nLoops.load(), loops); // really stopped
    th.Stop();                            // a second stop is harmless

    err.Empty();
    th.m_evTick.Reset(); // the first run's last tick must not count for the second
    ASSERT_TRUE(th.Start(err)) << Str(err); // restart clears the request
    EXPECT_FALSE(th.IsStopRequested());
    ASSERT_TRUE(th.m_evTick.Wait(-1));
    th.Stop();
    EXPECT_GT(th.m_nLoops.load(), loops);
}

TEST(ZorThreadTest, OwnerBodyAndSequenceNumbers) {
    Owner owner;
    ZorThreadImpl<Owner> a, b;
    EXPECT_GT(b.GetSequenceNumber(), a.GetSequenceNumber());
    CWideString err;
    ASSERT_TRUE(a.Start(&owner, &Owner::Work, err));
    ASSERT_TRUE(b.Start(&owner, &Owner::Work, err));
    a.Stop();
    b.Stop();
    EXPECT_EQ(owner.nCalls.load(), 2);
    EXPECT_FALSE(a.IsRunning());
    // The plain Start has no body for a non-thread owner.
    ZorThreadImpl<Owner> c;
    EXPECT_FALSE(c.Start(err));
}

TEST(ZorThreadTest, PriorityIsSetBeforeTheBodyRuns) {
    int base = getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid));
    if (base > 14) GTEST_SKIP() << "process already runs at low priority";
    CountingThread th;
    th.m_evTick.Create(false, false);
    th.SetPriority(ZOR_THREAD_PRIORITY_BELOW_NORMAL);
    CWideString err;
    ASSERT_TRUE(th.Start(err));
    ASSERT_TRUE(th.m_evTick.Wait(-1));
    th.Stop();
    // Seen by the body at its first instruction: the start gate held it.
    EXPECT_EQ(th.m_nNice.load(), base + 5);
}

TEST(ZorThreadTest, AutoDeleteThreadsFreeThemselves) {
    std::atomic<int> bodies{0};
    std::vector<std::unique_ptr<ZorEvent>> gone;
    for (int i = 0; i < 16; ++i) {
        gone.push_back(std::make_unique<ZorEvent>());
        gone.back()->Create(true, false);
        auto* t = new SelfDeleting(gone.back().get(), &bodies);
        CWideString err;
        ASSERT_TRUE(t->Start(err)) << Str(err);
        // t may already be gone here; it must not be touched again.
    }
    for (auto& g : gone) EXPECT_TRUE(g->Wait(-1));
    EXPECT_EQ(bodies.load(), 16);
}

TEST(ZorOleInitTest, GuardSucceedsAndUndoesOnlyItsOwnInit) {
    ZorOleInit none;
    EXPECT_FALSE(none.IsInitialized());
    ZorOleInit guard(true);
    EXPECT_TRUE(guard.IsInitialized());
    CWideString err;
    ZorOleInit manual;
    EXPECT_TRUE(manual.Init(err));
    EXPECT_TRUE(err.IsEmpty());
    manual.Uninit();
    EXPECT_FALSE(manual.IsInitialized());
}
