// A 256 MiB file with one changed block copied to the peer file server of
// tools/ on 127.0.0.1: the block delta against the full copy (the baseline)
// in the same run. Counters: bytes moved between the two sides.
#include "TvFileCopy.h"
#include "WinFileSys.h"
#include "tvsp-test-util.h"

#include <benchmark/benchmark.h>

using namespace tvsptest;

namespace {

constexpr size_t kSize = 256u << 20;

struct Setup {
    PeerEnv env;
    PeerServer srv;
    testsrv::TempDir local;
    TvspFileSys peer;
    WinFileSys lfs;
    std::string base, changed;
    bool ok = false;

    Setup() {
        base.resize(kSize);
        uint32_t x = 12345;
        for (size_t i = 0; i < kSize; ++i) {
            x = x * 1103515245u + 12345u;
            base[i] = (char)(x >> 16);
        }
        changed = base;
        for (size_t i = 0; i < 64; ++i) changed[77 * kTvDeltaBlockSize + i] ^= 0x33;
        if (!srv.Start({"--max-seconds", "900"})) return;
        testsrv::WriteFileText(local / "f.bin", changed);
        int k = 0;
        CWideString e;
        TvConnectInfo lci;
        lci.m_sUrl = NormalizeUrl(Utf8ToWide(local.Path().c_str()));
        ok = peer.Connect(Info(srv.Url()), nullptr, k, e) && lfs.Connect(lci, nullptr, k, e);
    }
};

Setup& Shared() {
    static Setup s;
    return s;
}

void Copy(benchmark::State& state, bool bDelta) {
    Setup& s = Shared();
    if (!s.ok) {
        state.SkipWithError("peer server not started");
        return;
    }
    int64_t moved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testsrv::WriteFileText(s.srv.Root() + "/f.bin", s.base);
        state.ResumeTiming();
        int64_t n = -1;
        int k = 0;
        CWideString e;
        // without a file to replace, the copy moves every byte
        bool ok = TvFileCopy(&s.lfs, u"/f.bin", &s.peer, true, u"/f.bin.tmp", bDelta ? u"/f.bin" : u"", n, nullptr, k, e);
        if (!ok) {
            state.SkipWithError(WideToUtf8(e).GetString());
            return;
        }
        moved = TvLastCopyStats().nTransferred;
    }
    state.counters["bytes_moved"] = (double)moved;
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kSize);
}

void BM_PeerFullCopy(benchmark::State& state) {
    Copy(state, false);
}
void BM_PeerDeltaOneBlock(benchmark::State& state) {
    Copy(state, true);
}
BENCHMARK(BM_PeerFullCopy)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_PeerDeltaOneBlock)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
