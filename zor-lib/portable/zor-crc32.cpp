#include "zor-crc32.h"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZOR_CRC32_CLMUL 1
#endif

namespace {

uint32_t Crc32Zlib(uint32_t crc, const unsigned char* p, size_t n) {
    while (n > 0) {
        const uInt chunk = n > 0x40000000u ? 0x40000000u : (uInt)n;
        crc = (uint32_t)crc32(crc, p, chunk);
        p += chunk;
        n -= chunk;
    }
    return crc;
}

#ifdef ZOR_CRC32_CLMUL
// One 128-bit lane carried over the distance its constants stand for: its
// low half times the low constant and its high half times the high one.
__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// n >= 64. The register (the complement of crc) goes into the first four
// bytes; what is left of the folding is 16 bytes whose CRC from a zero
// register is the register after them.
__attribute__((target("pclmul,sse4.1"))) uint32_t Crc32Clmul(uint32_t crc, const unsigned char* p, size_t n) {
    // x^(4*128+32) and x^(4*128-32) mod P for four lanes; x^(128+32) and
    // x^(128-32) mod P for one (bit-reflected, shifted one place).
    const __m128i k4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    auto load = [](const unsigned char* q) { return _mm_loadu_si128((const __m128i*)q); };
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128((int)~crc));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x0 = _mm_xor_si128(Fold(x0, k4), load(p));
        x1 = _mm_xor_si128(Fold(x1, k4), load(p + 16));
        x2 = _mm_xor_si128(Fold(x2, k4), load(p + 32));
        x3 = _mm_xor_si128(Fold(x3, k4), load(p + 48));
    }
    x0 = _mm_xor_si128(Fold(x0, k1), x1);
    x0 = _mm_xor_si128(Fold(x0, k1), x2);
    x0 = _mm_xor_si128(Fold(x0, k1), x3);
    for (; n >= 16; p += 16, n -= 16) x0 = _mm_xor_si128(Fold(x0, k1), load(p));
    alignas(16) unsigned char last[16];
    _mm_store_si128((__m128i*)last, x0);
    const uint32_t reg = ~(uint32_t)crc32(0xFFFFFFFFu, last, 16);
    return Crc32Zlib(~reg, p, n);
}

bool HaveClmul() {
    static const bool b = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return b;
}
#endif

} // namespace

uint32_t ZorCrc32(uint32_t crc, const void* pv, size_t n) {
    const unsigned char* p = (const unsigned char*)pv;
#ifdef ZOR_CRC32_CLMUL
    if (n >= 64 && HaveClmul()) return Crc32Clmul(crc, p, n);
#endif
    return Crc32Zlib(crc, p, n);
}
