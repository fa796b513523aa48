// The registry store with a job list of realistic size: 200 jobs of about
// 3 KB of keyword text each (a hive of some 600 KB).
#include "zor-registry.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct Hive {
    std::string dir;
    Hive() {
        char templ[] = "/tmp/tvregbench-XXXXXX";
        dir = mkdtemp(templ);
        setenv("TORVANE_REGISTRY_DIR", dir.c_str(), 1);
        CWideString tix, err;
        for (int i = 0; i < 100; ++i)
            tix.AppendFormat(u"Key%03d = \"value \\\\ with \\\"escapes\\\" %d\" ", i, i);
        for (int j = 0; j < 200; ++j) {
            CWideString key;
            key.Format(u"Software\\Zorvek Systems\\Torvane\\Jobs\\Job %d", j);
            RegSetStringValue(tix, HKEY_CURRENT_USER, key, u"tix", err);
            RegSetDwordValue((uint32_t)j, HKEY_CURRENT_USER, key, u"LastRunTime32", err);
        }
    }
    ~Hive() {
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
};

Hive& TheHive() {
    static Hive h;
    return h;
}

void BM_RegGetStringValue(benchmark::State& state) {
    TheHive();
    CWideString s;
    for (auto _ : state) {
        RegGetStringValueQuiet(s, HKEY_CURRENT_USER, u"Software\\Zorvek Systems\\Torvane\\Jobs\\Job 150",
                               u"tix");
        benchmark::DoNotOptimize(s);
    }
}
BENCHMARK(BM_RegGetStringValue)->Unit(benchmark::kMillisecond);

void BM_RegSetDwordValue(benchmark::State& state) {
    TheHive();
    CWideString err;
    uint32_t n = 0;
    for (auto _ : state) {
        RegSetDwordValue(++n, HKEY_CURRENT_USER, u"Software\\Zorvek Systems\\Torvane", u"CleanUpTime", err);
    }
}
BENCHMARK(BM_RegSetDwordValue)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
