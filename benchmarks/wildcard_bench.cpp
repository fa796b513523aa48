// The wildcard matcher: ordinary filter masks, and masks that make a
// backtracking matcher take exponential time. The time per call must grow
// no faster than text length x mask length.
#include "zor-path.h"

#include <benchmark/benchmark.h>

static void BM_MatchTypicalMask(benchmark::State& st) {
    CWideString text(u"/Projects/Clients/2024/Report Final (copy).DOCX");
    CWideString mask(u"/projects/*/report*.docx");
    for (auto _ : st) benchmark::DoNotOptimize(PathMatchesSpec(text, mask));
}
BENCHMARK(BM_MatchTypicalMask);

// Text of n 'a's against "*a*a...*a*b" with 20 stars: no match.
static void BM_MatchPathological(benchmark::State& st) {
    CWideString text(u'a', (int)st.range(0));
    CWideString mask;
    for (int i = 0; i < 20; ++i) mask += u"*a";
    mask += u"*b";
    for (auto _ : st) benchmark::DoNotOptimize(PathMatchesSpec(text, mask));
    st.SetComplexityN(st.range(0));
}
BENCHMARK(BM_MatchPathological)->RangeMultiplier(4)->Range(64, 16384)->Complexity();
BENCHMARK_MAIN();
