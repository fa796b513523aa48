// Listing a folder of 10,000 keys from s3rver with the S3 back-end's ListDir
// (ten pages: signed requests, the reply reader, the duplicate check) against
// the same ten page requests sent and received without reading them (the
// HTTP and server floor). The keys are stored once into
// /tmp/tv-s3list-bench-data and kept for later runs.
#include "s3-test-util.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>

namespace {

const char* const kData = "/tmp/tv-s3list-bench-data";
constexpr int kKeys = 10000;
testsrv::Child* g_peer = nullptr;
int g_port = 0;

std::string Url() {
    return "s3://S3RVER:S3RVER@s3.localhost:" + std::to_string(g_port) + "/tb";
}

bool Connect(S3FileSysZorSock& fs) {
    int kind = 0;
    CWideString err;
    return fs.Connect(S3Settings(Url()), nullptr, kind, err);
}

bool StartPeer() {
    if (g_peer) return g_port > 0;
    testsrv::ClearProxyEnvironment();
    UseLocalS3Hosts();
    if (!S3rver::Available()) return false;
    std::string marker = std::string(kData) + "/.complete";
    bool bFilled = access(marker.c_str(), F_OK) == 0;
    if (!bFilled) testsrv::RunCommand(std::string("rm -rf '") + kData + "' && mkdir -p '" + kData + "'");
    g_peer = new testsrv::Child();
    if (!g_peer->Start({"/usr/bin/node", S3rver::Script(), "-a", "127.0.0.1", "-p", "0", "-s", "-d", kData,
                        "--service-endpoint", "localhost", "--configure-bucket", "tb"}))
        return false;
    for (int i = 0; i < 5 && g_port == 0; i++) {
        std::string line = g_peer->ReadLine(20000);
        size_t p = line.rfind(':');
        if (line.find("listening") != std::string::npos && p != std::string::npos) g_port = std::atoi(line.c_str() + p + 1);
    }
    if (g_port == 0 || bFilled) return g_port > 0;
    std::string one = std::string(kData) + "-one";
    testsrv::WriteFileText(one, "x");
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; t++)
        writers.emplace_back([&, t] {
            S3FileSysZorSock fs;
            if (!Connect(fs)) return;
            int kind = 0;
            CWideString err;
            for (int i = t; i < kKeys; i += 8)
                fs.UploadFile(Utf8ToWide(one.c_str()), CWideString::Formatted(u"/many/k%05d", i), kind, err);
        });
    for (auto& w : writers) w.join();
    testsrv::WriteFileText(marker, "");
    return true;
}

double g_bestList = 1e30, g_bestPages = 1e30;

void BM_S3PagesOnly(benchmark::State& state) {
    if (!StartPeer()) return state.SkipWithError("s3rver is not available");
    S3FileSysZorSock fs;
    if (!Connect(fs)) return state.SkipWithError("connect failed");
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int page = 0; page < kKeys / 1000; page++) {
            CNarrowString q("/?delimiter=/&prefix=many/");
            if (page) q.AppendFormat("&marker=many/k%05d", page * 1000 - 1);
            CRsp rsp;
            int kind = 0;
            CWideString err;
            if (!fs.SendS3Request(rsp, "GET", u"tb", CWideString(q), true, "", "", kind, err))
                return state.SkipWithError("request failed");
            benchmark::DoNotOptimize(rsp.m_sBody.GetLength());
        }
        g_bestPages = std::min(g_bestPages, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_S3ListDir10k(benchmark::State& state) {
    if (!StartPeer()) return state.SkipWithError("s3rver is not available");
    S3FileSysZorSock fs;
    if (!Connect(fs)) return state.SkipWithError("connect failed");
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        CListT<FsItemInfo> items;
        int kind = 0;
        CWideString err;
        if (!fs.ListDir(u"/many", items, kind, err) || items.GetCount() != kKeys)
            return state.SkipWithError("listing failed");
        g_bestList = std::min(g_bestList, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

} // namespace

BENCHMARK(BM_S3PagesOnly)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_S3ListDir10k)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (g_bestList < 1e30 && g_bestPages < 1e30)
        std::printf("best ListDir %.1f ms, best pages only %.1f ms, ratio %.2f\n", g_bestList * 1000,
                    g_bestPages * 1000, g_bestList / g_bestPages);
    delete g_peer;
    benchmark::Shutdown();
    return 0;
}
