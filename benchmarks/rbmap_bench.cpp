// Memory and speed of CRBLexMapT, the child map of every sync-tree node.
//
// BM_RBLexMapBytesPerEntry: heap bytes per entry (mallinfo2 before and after
// inserting 1,000,000 entries with short keys), counting the entry, its share
// of the entry blocks and the key's string buffer; the value is one pointer.
// BM_StdMapBytesPerEntry gives the same figure for std::map with
// std::u16string keys for comparison.
#include "rbmap-lex.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kEntries = 1000000;

// Short names: "f" and up to 5 hex digits (2 to 6 units), in a shuffled order.
std::vector<CWideString> MakeKeys(int n, unsigned seed) {
    std::vector<CWideString> keys;
    keys.reserve(n);
    for (int i = 0; i < n; i++) keys.push_back(CWideString::Formatted(u"f%x", i));
    std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
    return keys;
}

size_t HeapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

void BM_RBLexMapBytesPerEntry(benchmark::State& state) {
    for (auto _ : state) {
        size_t nKeyBytes = 0, nMapBytes = 0;
        {
            size_t h0 = HeapInUse();
            std::vector<CWideString> keys = MakeKeys(kEntries, 1);
            size_t h1 = HeapInUse();
            auto* pMap = new CRBLexMapT<void*>(10);
            for (auto& k : keys) pMap->SetAtCS(k, nullptr, false);
            keys.clear(); // the map now holds the only reference to each key
            keys.shrink_to_fit();
            size_t h2 = HeapInUse();
            nMapBytes = h2 - h0;
            nKeyBytes = h1 - h0;
            benchmark::DoNotOptimize(pMap->GetCount());
            delete pMap;
        }
        state.counters["bytes_per_entry"] = (double)nMapBytes / kEntries;
        state.counters["entry_slot_bytes"] = (double)CRBLexMapT<void*>::SlotSize();
        // Key buffers plus the key vector, measured before the insertion.
        state.counters["key_bytes_approx"] = (double)nKeyBytes / kEntries - sizeof(CWideString);
    }
}
BENCHMARK(BM_RBLexMapBytesPerEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_StdMapBytesPerEntry(benchmark::State& state) {
    for (auto _ : state) {
        size_t h0 = HeapInUse();
        auto* pMap = new std::map<std::u16string, void*>;
        for (int i = 0; i < kEntries; i++) {
            CWideString k = CWideString::Formatted(u"f%x", i);
            (*pMap)[std::u16string(k.GetString(), (size_t)k.GetLength())] = nullptr;
        }
        size_t h1 = HeapInUse();
        state.counters["bytes_per_entry"] = (double)(h1 - h0) / kEntries;
        delete pMap;
    }
}
BENCHMARK(BM_StdMapBytesPerEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

// Inserting 1,000,000 short keys in random order into an empty map.
void BM_RBLexMapInsert(benchmark::State& state) {
    std::vector<CWideString> keys = MakeKeys(kEntries, 2);
    bool bCaseSensitive = state.range(0) != 0;
    for (auto _ : state) {
        CRBLexMapT<void*> m(10);
        for (auto& k : keys) m.GetOrAddCS(k, bCaseSensitive);
        benchmark::DoNotOptimize(m.GetCount());
        state.PauseTiming();
        m.RemoveAll();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RBLexMapInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Look-ups of present keys (in another letter case for the case-insensitive
// form) in a map of range(1) entries.
void BM_RBLexMapLookup(benchmark::State& state) {
    int n = (int)state.range(1);
    std::vector<CWideString> keys = MakeKeys(n, 3);
    CRBLexMapT<void*> m(10);
    for (auto& k : keys) m.GetOrAddCS(k, true);
    bool bCaseSensitive = state.range(0) != 0;
    std::vector<CWideString> probes = MakeKeys(n, 4);
    if (!bCaseSensitive)
        for (auto& p : probes) p.MakeUpper();
    size_t i = 0, nFound = 0;
    for (auto _ : state) {
        const CWideString& k = probes[i++ % probes.size()];
        nFound += m.LookupCS(k, bCaseSensitive) != nullptr;
    }
    if (nFound != (size_t)state.iterations()) state.SkipWithError("look-up missed a key");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RBLexMapLookup)->Args({0, 1000})->Args({1, 1000})->Args({0, kEntries})->Args({1, kEntries});

// Walking all entries in key order.
void BM_RBLexMapIterate(benchmark::State& state) {
    std::vector<CWideString> keys = MakeKeys(kEntries, 5);
    CRBLexMapT<void*> m(10);
    for (auto& k : keys) m.GetOrAddCS(k, true);
    for (auto _ : state) {
        int n = 0;
        for (auto* e = m.GetFirst(); e; e = m.GetNext(e)) n++;
        benchmark::DoNotOptimize(n);
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RBLexMapIterate)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
