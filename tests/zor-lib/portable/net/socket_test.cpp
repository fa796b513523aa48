// The TCP socket against servers on 127.0.0.1 run by the test itself.
#include "zor-socket.h"
#include "zor-unicode.h"
#include "zor-winsock.h"

#include "net-test-util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sys/resource.h>
#include <netdb.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A server thread that accepts one connection and runs a script on it.
class OneShotServer {
public:
    template <typename F> explicit OneShotServer(F f) {
        m_thread = std::thread([this, f] {
            int c = m_listener.Accept(10000);
            if (c >= 0) {
                f(c);
                ::close(c);
            }
        });
    }
    ~OneShotServer() {
        if (m_thread.joinable()) m_thread.join();
    }
    int Port() const { return m_listener.Port(); }

private:
    ntest::Listener m_listener;
    std::thread m_thread;
};

TEST(Socket, MessagesAndAddresses) {
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(ZorSocketErrorText(12345, "sending data", CWideString(u"h:80"), kind, err));
    EXPECT_EQ(err, CWideString(u"[sending data h:80]: Socket error 12345"));
    EXPECT_EQ(kind, 3);
    ZorSocketErrorText(ZorWsaFromErrno(EPIPE), "sending data", CWideString(u"h:80"), kind, err);
    EXPECT_EQ(err, CWideString(u"[sending data h:80]: Connection was reset by remote machine"));
    ZorSocketErrorText(ZorWsaFromErrno(ETIMEDOUT), "receiving data", CWideString(u"h:80"), kind, err);
    EXPECT_EQ(err, CWideString(u"[receiving data h:80]: Time out"));
    ZorSocketErrorText(ZorWsaFromEai(EAI_NONAME, 0), "resolving IP name", CWideString(u"x"), kind, err);
    EXPECT_EQ(err, CWideString(u"[resolving IP name x]: Host not found (Server name incorrect or No connection to "
                               u"Internet)"));

    sockaddr_in a{};
    CNarrowString dotted;
    ASSERT_TRUE(ZorResolveAddress("127.0.0.1", 81, a, dotted, kind, err));
    EXPECT_STREQ(dotted.GetString(), "127.0.0.1");
    EXPECT_EQ(ntohs(a.sin_port), 81);
    // "localhost" may list ::1 first; the IPv4 socket asks for IPv4 only.
    ASSERT_TRUE(ZorResolveAddress("localhost", 80, a, dotted, kind, err)) << U8(err);
    EXPECT_STREQ(dotted.GetString(), "127.0.0.1");
    kind = 0;
    EXPECT_FALSE(ZorResolveAddress("", 80, a, dotted, kind, err));
    EXPECT_EQ(err, CWideString(u"empty IP name"));
    EXPECT_EQ(kind, 5);
}

TEST(Socket, RefusedAndTimedOutConnects) {
    int port;
    {
        ntest::Listener gone;
        port = gone.Port();
    }
    ZorSocket s;
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(s.Connect("127.0.0.1", port, false, false, kind, err));
    EXPECT_EQ(err, CWideString::Formatted(u"[connecting 127.0.0.1:%d]: Connection refused", port));
    EXPECT_EQ(kind, 3);
    EXPECT_FALSE(s.IsOpen());
    s.m_nConnectTimeout = 2;
    EXPECT_FALSE(s.Connect("127.0.0.1", port, false, false, kind, err));
    EXPECT_EQ(err, CWideString::Formatted(u"[establishing connection 127.0.0.1:%d]: Connection refused", port));

    // A listener whose backlog is full drops further handshakes; start from a
    // descriptor number above 1024, which a select-based wait would corrupt.
    ntest::Listener full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)full.Port());
        ::connect(fd, (sockaddr*)&a, sizeof a);
        fillers.push_back(fd);
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 100) == 0) break; // this one hangs: the queue is full
    }
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rlimit raised = rl;
    if (raised.rlim_cur < 2048 && raised.rlim_max >= 2048) raised.rlim_cur = 2048;
    setrlimit(RLIMIT_NOFILE, &raised);
    std::vector<int> pads;
    if (raised.rlim_cur >= 2048)
        while (pads.empty() || pads.back() < 1030) pads.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    s.m_nConnectTimeout = 2;
    auto t0 = Clock::now();
    EXPECT_FALSE(s.Connect("127.0.0.1", full.Port(), false, false, kind, err));
    int64_t ms = MsSince(t0);
    EXPECT_EQ(err, CWideString(u"Connection timeout"));
    EXPECT_EQ(kind, 3);
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 4000);
    EXPECT_TRUE(s.IsOpen()); // kept until the next connect or close
    if (!pads.empty()) {
        EXPECT_GT(s.m_hSocket, 1024);
    }
    s.CloseQuietly();
    for (int fd : pads) ::close(fd);
    for (int fd : fillers) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &rl);
}

TEST(Socket, LinesTailsAndSettingsKeptAcrossReconnects) {
    struct LineCase {
        const char* bytes;
        bool ok;
        const char* line;
        bool eof;
        const char16_t* error;
    } cases[] = {
        {"abc\r\ndef", true, "abc", false, nullptr},
        {"abc\ndef", true, "abc", false, nullptr},
        {"abc\rX", false, "abc", false, u"No LF after CR at the end of line"},
        {"ab", true, "ab", true, nullptr},
        {"", true, "", true, nullptr},
    };
    for (const LineCase& c : cases) {
        std::string bytes = c.bytes;
        OneShotServer srv([bytes](int fd) {
            if (!bytes.empty()) ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        });
        ZorSocket s;
        s.m_nTimeout = 5;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(s.Connect("127.0.0.1", srv.Port(), false, false, kind, err)) << U8(err);
        CNarrowString line;
        bool eof = false;
        EXPECT_EQ(s.ReadLine(line, eof, kind, err), c.ok) << c.bytes;
        EXPECT_STREQ(line.GetString(), c.line) << c.bytes;
        if (c.ok) {
            EXPECT_EQ(eof, c.eof) << c.bytes;
        } else {
            EXPECT_EQ(err, CWideString(c.error));
            EXPECT_EQ(kind, 7);
        }
    }
    // An over-long line, then the tail of a stream.
    OneShotServer srv([](int fd) {
        std::string big(40000, 'x');
        big += "\r\nrest of it";
        ::send(fd, big.data(), big.size(), MSG_NOSIGNAL);
    });
    ZorSocket s;
    s.m_nTimeout = 5;
    s.m_nConnectTimeout = 3;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.Port(), false, false, kind, err));
    CNarrowString line, tail;
    bool eof = false;
    EXPECT_FALSE(s.ReadLine(line, eof, kind, err));
    EXPECT_EQ(err, CWideString(u"line too long"));
    EXPECT_EQ(line.GetLength(), 32768);
    ASSERT_TRUE(s.ReadToEnd(tail, kind, err)) << U8(err);
    EXPECT_EQ(tail.GetLength(), 40000 - 32769 + 2 + 10); // the byte that overflowed the line is gone
    // A close keeps the caller's settings for the next connect.
    s.CloseQuietly();
    EXPECT_EQ(s.m_nTimeout, 5);
    EXPECT_EQ(s.m_nConnectTimeout, 3);
}

TEST(Socket, BufferedWritesLeaveInBlocks) {
    std::atomic<int> got{0};
    std::atomic<bool> done{false};
    OneShotServer srv([&](int fd) {
        char buf[65536];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got += (int)n;
            if (got >= 70000) break;
        }
        done = true;
    });
    ZorSocket s;
    int kind = 0;
    CWideString err;
    uint64_t sentBefore = g_nZorSocketBytesSent.load();
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.Port(), false, false, kind, err));
    std::string data(70000, 'd');
    ASSERT_TRUE(s.Write(data.data(), (int)data.size(), kind, err));
    EXPECT_EQ(s.m_nSendCount, 4464u);
    for (int i = 0; i < 100 && got < 65536; ++i) ::usleep(10000);
    ::usleep(100000);
    EXPECT_EQ(got.load(), 65536);
    ASSERT_TRUE(s.Flush(kind, err));
    for (int i = 0; i < 200 && !done; ++i) ::usleep(10000);
    EXPECT_EQ(got.load(), 70000);
    EXPECT_GE(g_nZorSocketBytesSent.load() - sentBefore, 70000u);

    // A stop request fails the next send, and survives the close.
    s.RequestStop();
    kind = 0;
    EXPECT_FALSE(s.SendLine("x", kind, err));
    EXPECT_EQ(err, CWideString(u"stopped by user"));
    EXPECT_EQ(kind, 10);
    EXPECT_EQ(s.m_nStop.load(), 1);
}

TEST(Socket, StopEndsABlockedReceive) {
    std::atomic<bool> release{false};
    OneShotServer srv([&](int) {
        for (int i = 0; i < 500 && !release; ++i) ::usleep(10000);
    });
    ZorSocket s;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.Port(), false, false, kind, err));
    std::thread stopper([&] {
        ::usleep(300000);
        s.RequestStop();
    });
    auto t0 = Clock::now();
    uint8_t b = 0;
    bool eof = false;
    EXPECT_FALSE(s.ReadByte(b, eof, kind, err));
    int64_t ms = MsSince(t0);
    stopper.join();
    release = true;
    EXPECT_EQ(err, CWideString(u"stopped by user"));
    EXPECT_EQ(kind, 10);
    EXPECT_LT(ms, 1500);
}

TEST(Socket, PeerThatGoesAwayDoesNotKillTheProcess) {
    OneShotServer srv([](int fd) {
        linger l{1, 0}; // reset on close
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    ZorSocket s;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(s.Connect("127.0.0.1", srv.Port(), false, false, kind, err));
    auto old = ::signal(SIGPIPE, SIG_DFL); // our sends must not rely on it being ignored
    ::usleep(100000);
    std::string block(32768, 'p');
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) failed = !s.Send(block.data(), (int)block.size(), kind, err);
    ::signal(SIGPIPE, old);
    EXPECT_TRUE(failed);
    EXPECT_EQ(kind, 3);
    EXPECT_TRUE(U8(err).find("[sending data 127.0.0.1:") == 0) << U8(err);
    EXPECT_FALSE(s.IsOpen());
}

} // namespace
