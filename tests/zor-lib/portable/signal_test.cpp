#include "zor-signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class AssertCounter {
public:
    AssertCounter() : m_nStart(ZorAssertCount()), m_prev(ZorSetAssertHook([](const char*) {})) {}
    ~AssertCounter() { ZorSetAssertHook(m_prev); }
    long Count() const { return ZorAssertCount() - m_nStart; }

private:
    long m_nStart;
    ZorAssertHook m_prev;
};

struct IListener {
    virtual ~IListener() = default;
    virtual void OnEvent(int n, const std::string& s) = 0;
};

using Signal = ZorSignal<IListener>;

struct Recorder : IListener {
    std::string m_sName;
    std::vector<std::string>* m_pLog;
    std::function<void()> m_fn; // extra action inside the event
    Recorder(std::string name, std::vector<std::string>* log) : m_sName(std::move(name)), m_pLog(log) {}
    void OnEvent(int n, const std::string& s) override {
        m_pLog->push_back(m_sName + ":" + std::to_string(n) + s);
        if (m_fn) m_fn();
    }
};

} // namespace

TEST(ZorSignal, EmitCallsObserversInConnectOrder) {
    Signal sig;
    std::vector<std::string> log;
    Recorder a("a", &log), b("b", &log), c("c", &log);
    EXPECT_TRUE(sig.Connect(&b));
    EXPECT_TRUE(sig.Connect(&a));
    EXPECT_TRUE(sig.Connect(&c));
    EXPECT_TRUE(sig.Connect(&a)); // already connected: stays once
    EXPECT_EQ(sig.GetCount(), 3);
    sig.Emit(&IListener::OnEvent, 1, std::string("x"));
    EXPECT_EQ(log, (std::vector<std::string>{"b:1x", "a:1x", "c:1x"}));
    EXPECT_TRUE(sig.Disconnect(&a));
    EXPECT_FALSE(sig.Disconnect(&a));
    log.clear();
    sig.Emit(&IListener::OnEvent, 2, std::string(""));
    EXPECT_EQ(log, (std::vector<std::string>{"b:2", "c:2"}));
}

TEST(ZorSignal, NullObserverIsAnAssertion) {
    AssertCounter ac;
    Signal sig;
    EXPECT_FALSE(sig.Connect(nullptr));
    EXPECT_FALSE(sig.Disconnect(nullptr));
    EXPECT_EQ(ac.Count(), 2);
    EXPECT_EQ(sig.GetCount(), 0);
    sig.Emit(&IListener::OnEvent, 1, std::string());
}

TEST(ZorSignal, ConnectAndDisconnectDuringEmit) {
    Signal sig;
    std::vector<std::string> log;
    // Enough observers that the snapshot leaves the stack buffer.
    std::vector<std::unique_ptr<Recorder>> obs;
    for (int i = 0; i < 12; i++) obs.push_back(std::make_unique<Recorder>("o" + std::to_string(i), &log));
    for (auto& o : obs) sig.Connect(o.get());
    Recorder late("late", &log);
    // o1 disconnects itself and o5 (not yet called) and connects a new observer.
    obs[1]->m_fn = [&] {
        sig.Disconnect(obs[1].get());
        sig.Disconnect(obs[5].get());
        sig.Connect(&late);
        EXPECT_TRUE(sig.IsEmitting());
    };
    sig.Emit(&IListener::OnEvent, 1, std::string());
    std::vector<std::string> want{"o0:1", "o1:1"};
    for (int i = 2; i < 12; i++)
        if (i != 5) want.push_back("o" + std::to_string(i) + ":1");
    EXPECT_EQ(log, want);
    EXPECT_FALSE(sig.IsEmitting());
    // The next emit reaches the newcomer, last.
    log.clear();
    obs[1]->m_fn = nullptr;
    sig.Emit(&IListener::OnEvent, 2, std::string());
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log.back(), "late:2");
}

TEST(ZorSignal, NestedEmitFromAnObserver) {
    Signal sig;
    std::vector<std::string> log;
    Recorder a("a", &log);
    int depth = 0;
    a.m_fn = [&] {
        if (depth++ == 0) sig.Emit(&IListener::OnEvent, 9, std::string("n"));
    };
    sig.Connect(&a);
    sig.Emit(&IListener::OnEvent, 1, std::string());
    EXPECT_EQ(log, (std::vector<std::string>{"a:1", "a:9n"}));
}

TEST(ZorSignal, DisconnectFromAnotherThreadWaitsForTheEmit) {
    // Once Disconnect returns the observer is never called again, so it can be
    // destroyed at once (a late call would be a use after free under ASan).
    struct Counter : IListener {
        std::atomic<int> n{0};
        void OnEvent(int, const std::string&) override { n++; }
    };
    Signal sig;
    Counter keep;
    sig.Connect(&keep);
    std::atomic<bool> stop{false};
    std::thread emitter([&] {
        while (!stop) sig.Emit(&IListener::OnEvent, 0, std::string());
    });
    for (int i = 0; i < 200; i++) {
        auto c = std::make_unique<Counter>();
        sig.Connect(c.get());
        while (c->n == 0 && keep.n < 1000000) std::this_thread::yield();
        ASSERT_TRUE(sig.Disconnect(c.get()));
        int n = c->n;
        std::this_thread::yield();
        EXPECT_EQ(c->n, n);
    }
    stop = true;
    emitter.join();
    EXPECT_EQ(sig.GetCount(), 1);
}

TEST(ZorSignal, EmitGuardCountsForItsLifetime) {
    std::atomic<int> counter{0};
    {
        ZorSignalEmitGuard g1(&counter);
        {
            ZorSignalEmitGuard g2(&counter);
            EXPECT_EQ(counter.load(), 2);
        }
        EXPECT_EQ(counter.load(), 1);
    }
    EXPECT_EQ(counter.load(), 0);
    Signal sig;
    {
        ZorSignalEmitGuard g(sig.GetEmitCounter());
        EXPECT_TRUE(sig.IsEmitting());
    }
    EXPECT_FALSE(sig.IsEmitting());
}
