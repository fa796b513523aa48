// Every form of the name fold agrees with ZorFoldUnit: one unit, four units
// in a word (ASCII and not), and the equal-prefix skip with the comparison
// unit by unit.
#include "zor-fold.h"

#include <gtest/gtest.h>

#include <random>

TEST(Fold, EveryFormAgreesWithTheUnitFold) {
    for (uint32_t c = 0; c < 0x10000; c++)
        ASSERT_EQ(ZorFoldNameUnit(c), (unsigned)ZorFoldUnit((char16_t)c)) << c;
    // Words of ASCII units around the letters, and words with one unit from
    // anywhere (which take the unit-by-unit way).
    std::mt19937 rng(7);
    const char16_t edges[] = {0, u'@', u'A', u'M', u'Z', u'[', u'`', u'a', u'z', u'{', 0x7F};
    for (int round = 0; round < 200000; round++) {
        char16_t w[4];
        for (char16_t& u : w) u = round & 1 ? edges[rng() % std::size(edges)] : (char16_t)(rng() % 0x80);
        if (round % 3 == 0) w[rng() % 4] = (char16_t)rng();
        uint64_t want = 0;
        for (int k = 0; k < 4; k++) want |= (uint64_t)ZorFoldUnit(w[k]) << (16 * k);
        ASSERT_EQ(ZorFoldNameUnits4(w), want) << round;
        bool bZero = false;
        for (char16_t u : w) bZero |= u == 0;
        ASSERT_EQ(ZorAnyZeroUnit4(ZorLoadUnits4(w)), bZero) << round;
    }
    const char16_t a[] = u"abcdefghijklmnop", b[] = u"abcdefghiXklmnop";
    for (int n = 0; n <= 16; n++) EXPECT_EQ(ZorSkipEqualUnits4(a, b, n), n < 12 ? n / 4 * 4 : 8) << n;
}
