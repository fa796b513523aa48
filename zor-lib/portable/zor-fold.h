// The case fold of names in the forms the fast paths take: one unit at a
// time and four UTF-16 units in a 64-bit word (the first unit in the low
// bits). The child maps' order, their hashes and the wildcard masks must all
// fold alike, so they take it from here; every form agrees with ZorFoldUnit.
#pragma once

#include "zor-string.h"

#include <cstdint>
#include <cstring>

// An ASCII capital to its small letter; any other value as it is.
constexpr unsigned ZorFoldAscii(unsigned c) {
    return c - u'A' < 26u ? c + 32 : c;
}

// One unit: ASCII inline, the others through ZorFoldUnit.
inline unsigned ZorFoldNameUnit(unsigned c) {
    return c < 0x80 ? ZorFoldAscii(c) : (unsigned)ZorFoldUnit((char16_t)c);
}

// ---------------------------------------------------------------- four units in a word
constexpr uint64_t kZorUnitOnes = 0x0001000100010001ull;
constexpr uint64_t kZorUnitHighs = 0x8000800080008000ull;

// The four units from p (which need not be aligned).
inline uint64_t ZorLoadUnits4(const char16_t* p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// Whether any of the four units is zero.
constexpr bool ZorAnyZeroUnit4(uint64_t w) {
    return ((w - kZorUnitOnes) & ~w & kZorUnitHighs) != 0;
}

// Whether all four units are ASCII.
constexpr bool ZorAllAscii4(uint64_t w) {
    return (w & 0xFF80FF80FF80FF80ull) == 0;
}

// Four ASCII units (ZorAllAscii4) folded in place: each capital gets its 0x20 bit.
constexpr uint64_t ZorFoldAscii4(uint64_t w) {
    const uint64_t atLeastA = w + kZorUnitOnes * (0x80 - u'A'), pastZ = w + kZorUnitOnes * (0x80 - u'Z' - 1);
    return w | ((atLeastA & ~pastZ & (kZorUnitOnes * 0x80)) >> 2);
}

// Four units folded as ZorFoldNameUnit folds each.
inline uint64_t ZorFoldNameUnits4(const char16_t* p) {
    const uint64_t w = ZorLoadUnits4(p);
    if (ZorAllAscii4(w)) return ZorFoldAscii4(w);
    uint64_t r = 0;
    for (int k = 0; k < 4; k++) r |= (uint64_t)ZorFoldNameUnit(p[k]) << (16 * k);
    return r;
}

// Where a and b (n units each) may first differ: the units before the
// result are equal, passed four at a time; the rest is the caller's to
// compare unit by unit.
inline int ZorSkipEqualUnits4(const char16_t* a, const char16_t* b, int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4)
        if (ZorLoadUnits4(a + i) != ZorLoadUnits4(b + i)) break;
    return i;
}
