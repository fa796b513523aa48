// The digest of a file's bytes that a side record keeps: XXH3, 64 bits,
// taken wherever the bytes pass through anyway (a copy, a comparison).
#pragma once

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(__x86_64__) || defined(__i386__)
// The library's vector code for the processor it runs on (AVX2 where there
// is one), chosen at run time.
#include <xxh_x86dispatch.h>
#endif

#include <cstddef>
#include <cstdint>

class TvByteDigest {
public:
    TvByteDigest() { Reset(); }
    TvByteDigest(const TvByteDigest&) = delete;
    TvByteDigest& operator=(const TvByteDigest&) = delete;

    void Reset() { XXH3_64bits_reset(&m_State); }
    void Update(const void* p, size_t n) {
        if (n) XXH3_64bits_update(&m_State, p, n);
    }
    uint64_t Value() const { return XXH3_64bits_digest(&m_State); }
    // The digest of a whole buffer.
    static uint64_t Of(const void* p, size_t n) { return XXH3_64bits(p, n); }

private:
    XXH3_state_t m_State;
};
