// The sleep inhibitor without a usable system bus (no bus at all, a bus
// socket that accepts but never answers: neither may fail the caller or
// hang), and with a stand-in login manager on a private bus.
#include "zor-power.h"
#include "zor-unicode.h"

#include "windows-test-util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <sys/un.h>
#include <thread>
#include <vector>
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

// A private bus with a stand-in login manager: the block is asked for as
// "sleep" / who / why / "block" and lasts exactly as long as it is held.
namespace {

struct FakeLogin {
    std::atomic<bool> bStop{false};
    std::atomic<bool> bReady{false};
    std::vector<std::string> args;
    int readEnd = -1; // the login manager's end of the block
};

int OnInhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
    FakeLogin& f = *static_cast<FakeLogin*>(userdata);
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    f.args = {what, who, why, mode};
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return -errno;
    f.readEnd = p[0];
    r = sd_bus_reply_method_return(m, "h", p[1]);
    ::close(p[1]);
    return r;
}

const sd_bus_vtable kLoginVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

void ServeLogin(const std::string& address, FakeLogin* f) {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kLoginVtable, f) >= 0 &&
        sd_bus_request_name(bus, "org.freedesktop.login1", 0) >= 0) {
        f->bReady = true;
        while (!f->bStop.load()) {
            if (sd_bus_process(bus, nullptr) > 0) continue;
            sd_bus_wait(bus, 100000);
        }
    }
    f->bReady = true;
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 1000) > 0;
}

} // namespace

TEST(SleepInhibitor, LoginManagerBlockLastsWhileHeld) {
    if (!wtest::HaveTool("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    wtest::TempDir dir;
    const std::string sock = dir / "bus";
    wtest::WriteFile(dir / "bus.conf",
                     "<busconfig><type>system</type><listen>unix:path=" + sock +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                         "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                         "</policy></busconfig>\n");
    const pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        const std::string conf = "--config-file=" + (dir / "bus.conf");
        execlp("dbus-daemon", "dbus-daemon", conf.c_str(), "--nofork", "--nopidfile", (char*)nullptr);
        _exit(127);
    }
    struct Reap {
        pid_t pid;
        ~Reap() {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{daemon};
    for (int i = 0; i < 100 && ::access(sock.c_str(), F_OK) != 0; ++i) ::usleep(50000);
    ASSERT_EQ(::access(sock.c_str(), F_OK), 0) << "the private bus did not start";
    const std::string address = "unix:path=" + sock;
    FakeLogin login;
    std::thread server(ServeLogin, address, &login);
    for (int i = 0; i < 100 && !login.bReady.load(); ++i) ::usleep(50000);
    {
        wtest::EnvVar bus("DBUS_SYSTEM_BUS_ADDRESS", address);
        ZorSleepInhibitor inhibitor;
        CWideString err;
        EXPECT_TRUE(inhibitor.Acquire(u"Torvane", u"Döcs is running", err)) << N(err);
        EXPECT_TRUE(inhibitor.IsHeld());
        EXPECT_EQ(login.args, (std::vector<std::string>{"sleep", "Torvane", "Döcs is running", "block"}));
        ASSERT_GE(login.readEnd, 0);
        EXPECT_FALSE(Readable(login.readEnd)); // still held
        inhibitor.Release();
        EXPECT_FALSE(inhibitor.IsHeld());
        EXPECT_TRUE(Readable(login.readEnd)); // the end of the block
    }
    login.bStop = true;
    server.join();
    if (login.readEnd >= 0) ::close(login.readEnd);
}
