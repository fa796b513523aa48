// The sleep inhibitor without a usable system bus: no bus at all, and a bus
// socket that accepts but never answers. Neither may fail the caller or hang.
#include "zor-power.h"
#include "zor-unicode.h"

#include "windows-test-util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

std::string N(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

TEST(SleepInhibitor, NoSystemBusHoldsNothingAndSaysWhy) {
    wtest::TempDir dir;
    wtest::EnvVar bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir / "no-bus");
    ZorSleepInhibitor inhibitor;
    CWideString err;
    EXPECT_FALSE(inhibitor.Acquire(u"Torvane", u"job is running", err));
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(err.IsEmpty());
    inhibitor.Release();
    EXPECT_FALSE(inhibitor.IsHeld());
}

TEST(SleepInhibitor, SilentBusGivesUpWithinTheTimeout) {
    wtest::TempDir dir;
    const std::string path = dir / "bus";
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(s, (sockaddr*)&addr, sizeof addr), 0);
    ASSERT_EQ(::listen(s, 4), 0);
    // Takes the connection and never says a word.
    std::atomic<int> accepted{-1};
    std::thread server([&] { accepted = ::accept(s, nullptr, nullptr); });
    wtest::EnvVar bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path);
    ZorSleepInhibitor inhibitor;
    CWideString err;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(inhibitor.Acquire(u"Torvane", u"job is running", err, 300));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_FALSE(inhibitor.IsHeld());
    EXPECT_FALSE(err.IsEmpty()) << N(err);
    ::shutdown(s, SHUT_RDWR);
    server.join();
    if (accepted >= 0) ::close(accepted);
    ::close(s);
}

} // namespace
