// Downloads of 1 GiB from Apache over loopback into a file, plain and TLS:
// the HTTP client on its own sockets and over its libcurl transport, against
// the curl command line ("curl -o") measured in the same run.
#include "zor-http.h"

#include "http-test-servers.h"
#include "zor-ssl.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

constexpr int64_t kBytes = 1LL << 30;

testsrv::Apache* SharedApache() {
    static testsrv::Apache* s_apache = [] {
        testsrv::ClearProxyEnvironment();
        auto* a = new testsrv::Apache();
        if (!a->Start()) {
            delete a;
            return (testsrv::Apache*)nullptr;
        }
        testsrv::RunCommand("truncate -s " + std::to_string(kBytes) + " '" + a->Dir() + "/htdocs/files/big.bin'");
        SetSslRootsFile(Utf8ToWide(a->RootsFile().c_str()));
        atexit([] { delete s_apache; });
        return a;
    }();
    return s_apache;
}

std::string OutFile() {
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/tv-http-bench.bin";
}

void Download(benchmark::State& state, bool tls, bool curlTransport) {
    testsrv::Apache* a = SharedApache();
    if (!a) {
        state.SkipWithError("apache2 did not start");
        return;
    }
    HttpProxyOptions().m_bUseWinInetProxy = false;
    for (auto _ : state) {
        HttpConnectParams p;
        p.m_sHost = "127.0.0.1";
        p.m_nPort = tls ? a->TlsPort() : a->Port();
        p.m_nTls = tls;
        p.m_bProxyStyle = !tls;
        p.m_bUseProxy = 0;
        p.m_bWinInet = curlTransport;
        ZorHttpConn conn;
        int kind = 0;
        CWideString err;
        CRsp rsp;
        rsp.m_sBodyFile = Utf8ToWide(OutFile().c_str());
        if (!HttpConfigureAndConnect(conn, p, nullptr, kind, err) ||
            !rsp.RequestResponse(conn, "GET", u"/files/big.bin", kind, err)) {
            state.SkipWithError(WideToUtf8(err).GetString());
            break;
        }
    }
    unlink(OutFile().c_str());
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void CurlCommand(benchmark::State& state, bool tls) {
    testsrv::Apache* a = SharedApache();
    if (!a) {
        state.SkipWithError("apache2 did not start");
        return;
    }
    std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" +
                      std::to_string(tls ? a->TlsPort() : a->Port()) + "/files/big.bin";
    std::string cmd = "curl -s --noproxy '*' --cacert '" + a->RootsFile() + "' -o '" + OutFile() + "' " + url;
    for (auto _ : state) {
        if (testsrv::RunCommand(cmd) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    unlink(OutFile().c_str());
    state.SetBytesProcessed(state.iterations() * kBytes);
}

void BM_OwnSocketsPlain(benchmark::State& s) { Download(s, false, false); }
void BM_OwnSocketsTls(benchmark::State& s) { Download(s, true, false); }
void BM_LibcurlTransportPlain(benchmark::State& s) { Download(s, false, true); }
void BM_LibcurlTransportTls(benchmark::State& s) { Download(s, true, true); }
void BM_CurlCommandPlain(benchmark::State& s) { CurlCommand(s, false); }
void BM_CurlCommandTls(benchmark::State& s) { CurlCommand(s, true); }

BENCHMARK(BM_CurlCommandPlain)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OwnSocketsPlain)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibcurlTransportPlain)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlCommandTls)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OwnSocketsTls)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibcurlTransportTls)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
