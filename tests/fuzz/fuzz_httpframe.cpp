// Fuzzes the HTTP reader of our own sockets: status line, header lines,
// bodies by length, chunks (with extensions and trailers) and to the close,
// twice on one connection. The bytes arrive through one end of a socket pair.
#include "zor-http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int buf = 1 << 20;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    size_t off = 0;
    while (off < size) {
        ssize_t n = write(fds[0], data + off, size - off);
        if (n <= 0) break;
        off += (size_t)n;
    }
    shutdown(fds[0], SHUT_WR);
    ZorSocket sock;
    sock.m_hSocket = fds[1];
    sock.m_sHost = "fuzz";
    sock.m_nTimeout = 1;
    for (int round = 0; round < 2 && sock.IsOpen(); ++round) {
        int64_t length = 0;
        HttpHeaderMap map;
        int status = 0;
        CNarrowString reason;
        bool close = false;
        int kind = 0;
        CWideString err;
        if (!HttpReadStatusAndHeaders(sock, length, map, status, reason, close, kind, err)) break;
        CNarrowString v;
        // framing headers never reach the map
        if (map.Lookup("content-length", v) || map.Lookup("transfer-encoding", v) || map.Lookup("connection", v))
            __builtin_trap();
        if (length < 0) __builtin_trap();
        CNarrowString body;
        HttpBodyTarget t;
        t.pText = &body;
        t.nMemoryLimit = 1 << 20;
        bool ok = HttpReadBodyTo(sock, nullptr, close || round == 1, length, t, kind, err);
        if (body.GetLength() > t.nMemoryLimit) __builtin_trap();
        if (ok && length >= 0 && length != kHttpNoLength && length != kHttpChunked && body.GetLength() != length)
            __builtin_trap();
        if (!ok || close) break;
    }
    close(fds[0]);
    return 0;
}
