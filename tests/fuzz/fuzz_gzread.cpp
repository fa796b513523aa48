// libFuzzer target of the gzip file reader. Any file must be read or refused
// without a crash or a leak, and exactly as a plain reading of the whole
// file with zlib gives it: member after member, each member's CRC and length
// checked, bytes after the last member that do not start another ignored.
#include "zor-stream.h"

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

constexpr size_t kMaxOut = 16 << 20; // a bounded part of a highly compressed input

bool Reference(const uint8_t* p, size_t n, std::string& out) {
    if (n < 2 || p[0] != 0x1F || p[1] != 0x8B) return false;
    size_t at = 0;
    for (;;) {
        z_stream zs{};
        if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
        zs.next_in = (Bytef*)p + at;
        zs.avail_in = (uInt)(n - at);
        const size_t nStart = out.size();
        int rc = Z_OK;
        while (rc == Z_OK && out.size() < kMaxOut) {
            unsigned char buf[65536];
            zs.next_out = buf;
            zs.avail_out = sizeof buf;
            rc = inflate(&zs, Z_NO_FLUSH);
            out.append((const char*)buf, sizeof buf - zs.avail_out);
        }
        const size_t nUsed = n - at - zs.avail_in;
        inflateEnd(&zs);
        if (out.size() >= kMaxOut) return true;
        if (rc != Z_STREAM_END || nUsed < 8) return false;
        at += nUsed;
        const uint8_t* t = p + at - 8;
        const uint32_t nCrc = t[0] | (uint32_t)t[1] << 8 | (uint32_t)t[2] << 16 | (uint32_t)t[3] << 24;
        const uint32_t nLen = t[4] | (uint32_t)t[5] << 8 | (uint32_t)t[6] << 16 | (uint32_t)t[7] << 24;
        const size_t nMember = out.size() - nStart;
        if (nCrc != (uint32_t)crc32(0, (const Bytef*)out.data() + nStart, (uInt)nMember) ||
            nLen != (uint32_t)nMember)
            return false;
        if (n - at < 2 || p[at] != 0x1F || p[at + 1] != 0x8B) return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    const int fd = memfd_create("gz", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != (ssize_t)size) {
        close(fd);
        return 0;
    }
    std::string want;
    const bool bWant = Reference(data, size, want);
    std::string got;
    bool bGot = false;
    {
        ZorGzFileStream in;
        CWideString err;
        if (in.OpenRead(u"/proc/self/fd/" + CWideString::Formatted(u"%d", (int64_t)fd), err)) {
            char buf[65536];
            int n;
            while ((n = in.ReadBytes(buf, sizeof buf, err)) > 0 && got.size() < kMaxOut) got.append(buf, (size_t)n);
            bGot = n == 0 || got.size() >= kMaxOut;
        }
    }
    close(fd);
    if (got.size() > kMaxOut) got.resize(kMaxOut);
    if (want.size() > kMaxOut) want.resize(kMaxOut);
    const bool bCut = want.size() >= kMaxOut;
    if (bCut ? got != want : (bGot != bWant || (bGot && got != want))) __builtin_trap();
    return 0;
}
