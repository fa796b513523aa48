// Block allocation and the bin-count table of the collections.
#include "zor-coll.h"

#include <algorithm>
#include <iterator>

CPlexBlock* CPlexBlock::Create(CPlexBlock*& pHead, size_t nMax, size_t cbElement) {
    if (nMax == 0 || cbElement == 0 || nMax > (SIZE_MAX - sizeof(CPlexBlock)) / cbElement) return nullptr;
    auto* p = (CPlexBlock*)std::malloc(sizeof(CPlexBlock) + nMax * cbElement);
    if (!p) return nullptr;
    p->m_pNext = pHead;
    pHead = p;
    return p;
}

void CPlexBlock::FreeDataChain() {
    CPlexBlock* p = this;
    while (p) {
        CPlexBlock* pNext = p->m_pNext;
        std::free(p);
        p = pNext;
    }
}

namespace zor_detail {

void CollOutOfMemory(const char* file, int line) {
    ZorAssertFailed(file, line, ZEK_NO_MEMORY, "out of memory");
    throw std::bad_alloc();
}

// Primes growing by about 30 % from 17.
static const uint32_t s_hashPrimes[] = {
    17,          23,         29,        37,        53,        67,        83,         107,        139,
    181,         239,        307,       397,       521,       673,       877,        1151,       1471,
    1913,        2503,       3251,      4201,      5471,      7103,      9227,       12007,      15601,
    20287,       26357,      34261,     44543,     57901,     75277,     97859,      127217,     165379,
    214987,      279481,     363329,    472331,    614041,    798227,    1037741,    1349003,    1753733,
    2279839,     2963777,    3852889,   5008807,   6511387,   8464811,   11004263,   14305523,   18597191,
    24176333,    31429207,   40857967,  53115367,  69049973,  89764937,  116694421,  151702739,  197213573,
    256377643,   333290911,  433278199, 563261639, 732240139, 951912167, 1237485857, 1608731567, 2091351043,
    2718756349u, 3534383299u};

size_t PickHashBinCount(size_t n) {
    const uint32_t* e = std::end(s_hashPrimes);
    const uint32_t* p = std::lower_bound(std::begin(s_hashPrimes), e, n);
    return p == e ? e[-1] : *p;
}

} // namespace zor_detail
