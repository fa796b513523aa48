// The cloud account cache:
//  - populating a 100,000-item account from one index reply, against parsing
//    the same reply alone (target: under 1 s; bytes of reply per item are
//    reported as a counter), and the same number of files in one folder;
//  - a reply over 32 MiB read back from its temporary body file and populated
//    (the path a large account's index reply takes);
//  - GetInfo of every file of a 10,000-file folder (target: 0.1 s for all),
//    against the same number of look-ups in a plain hash map of the names.
#include "OrvanFS.h"

#include "zor-debug.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unordered_map>

namespace {

// An index reply: folders of filesPerFolder files under the root.
std::string MakeIndex(int folders, int filesPerFolder, int nameLen = 8) {
    std::string kids;
    kids.reserve((size_t)folders * filesPerFolder * 190);
    std::string pad(nameLen > 8 ? nameLen - 8 : 0, 'x');
    for (int d = 0; d < folders; d++) {
        if (d) kids += ',';
        kids += "{\"id\":\"/api/sync/directories/d" + std::to_string(d) + "\",\"name\":\"folder" + std::to_string(d) +
                "\",\"modified\":\"2023-11-14T22:13:20Z\",\"created\":\"2023-11-14T22:11:40Z\","
                "\"type\":\"application/vnd.orvan.cirrolith.collection\",\"children\":[";
        for (int f = 0; f < filesPerFolder; f++) {
            if (f) kids += ',';
            std::string id = std::to_string(d) + "_" + std::to_string(f);
            kids += "{\"id\":\"/api/sync/files/f" + id + "\",\"name\":\"file" + id + pad +
                    ".txt\",\"modified\":\"2023-11-14T22:13:20Z\",\"created\":\"2023-11-14T22:11:40Z\","
                    "\"size\":12345,\"type\":\"text/plain\"}";
        }
        kids += "]}";
    }
    return "[{\"id\":\"/api/sync/directories/R\",\"modified\":\"2023-11-14T22:13:20Z\",\"tvdata\":\"/api/sync/"
           "directories/T\",\"children\":[" +
           kids +
           "]},{\"id\":\"/api/sync/directories/T\",\"name\":\"tvdata_collection\",\"modified\":\"2023-11-14T22:13:"
           "20Z\",\"children\":[]}]";
}

const std::string& Index100k() {
    static std::string s = MakeIndex(100, 999); // 100 folders + 99,900 files + root + collection
    return s;
}

void BM_ParseIndexOnly(benchmark::State& st) {
    const std::string& text = Index100k();
    for (auto _ : st) {
        ZorJsonValuePtr v;
        CWideString err;
        benchmark::DoNotOptimize(JsonParseText(text.data(), (int)text.size(), v, err));
    }
}
BENCHMARK(BM_ParseIndexOnly)->Unit(benchmark::kMillisecond);

void BM_Populate100k(benchmark::State& st) {
    static ZorAssertHook prev = ZorSetAssertHook([](const char*) {});
    (void)prev;
    const std::string& text = Index100k();
    OrvanFileList& list = GetOrvanFileList();
    for (auto _ : st) {
        int kind = 0;
        CWideString err;
        if (!list.PopulateFromIndex(text.data(), (int)text.size(), kind, err)) st.SkipWithError("population failed");
        st.PauseTiming();
        st.counters["items"] = list.GetCount();
        st.counters["bytes_per_item"] = (double)text.size() / list.GetCount();
        list.ResetCache();
        st.ResumeTiming();
    }
}
BENCHMARK(BM_Populate100k)->Unit(benchmark::kMillisecond);

// The same number of items in one folder: the build stays near linear in a
// folder's child count (compare with BM_Populate100k, 100 folders).
void BM_Populate100kOneFolder(benchmark::State& st) {
    static std::string text = MakeIndex(1, 99999);
    OrvanFileList& list = GetOrvanFileList();
    for (auto _ : st) {
        int kind = 0;
        CWideString err;
        if (!list.PopulateFromIndex(text.data(), (int)text.size(), kind, err)) st.SkipWithError("population failed");
        st.PauseTiming();
        st.counters["items"] = list.GetCount();
        list.ResetCache();
        st.ResumeTiming();
    }
}
BENCHMARK(BM_Populate100kOneFolder)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PopulateFromBodyFileOver32MiB(benchmark::State& st) {
    static std::string text = MakeIndex(200, 999, 24);
    static std::string path = "/tmp/tv-cloud-bench-index.json";
    static bool written = [] {
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return false;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        return true;
    }();
    if (!written || text.size() <= 32u * 1024 * 1024) {
        st.SkipWithError("cannot write a reply over 32 MiB");
        return;
    }
    OrvanFileList& list = GetOrvanFileList();
    for (auto _ : st) {
        CNarrowString body;
        int kind = 0;
        CWideString err;
        if (!ReadWholeFile(Utf8ToWide(path.c_str()), INT32_MAX - 1, body, kind, err) ||
            !list.PopulateFromIndex(body.GetString(), body.GetLength(), kind, err))
            st.SkipWithError("population failed");
        st.PauseTiming();
        st.counters["MiB"] = text.size() / 1048576.0;
        st.counters["items"] = list.GetCount();
        list.ResetCache();
        st.ResumeTiming();
    }
}
BENCHMARK(BM_PopulateFromBodyFileOver32MiB)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_GetInfo10kFolder(benchmark::State& st) {
    static std::string text = MakeIndex(1, 10000);
    OrvanFileList& list = GetOrvanFileList();
    int kind = 0;
    CWideString err;
    list.ResetCache();
    if (!list.PopulateFromIndex(text.data(), (int)text.size(), kind, err)) {
        st.SkipWithError("population failed");
        return;
    }
    OrvanFS fs;
    std::vector<CWideString> paths;
    for (int f = 0; f < 10000; f++) paths.push_back(Utf8ToWide(("/folder0/file0_" + std::to_string(f) + ".txt").c_str()));
    for (auto _ : st) {
        for (const CWideString& p : paths) {
            FsItemInfo info;
            bool nf = false;
            if (!fs.GetInfo(p, info, nf, kind, err) || nf) st.SkipWithError("not found");
        }
    }
    list.ResetCache();
}
BENCHMARK(BM_GetInfo10kFolder)->Unit(benchmark::kMillisecond);

void BM_HashMapLookups10k(benchmark::State& st) {
    std::unordered_map<std::u16string, int> names;
    std::vector<std::u16string> keys;
    for (int f = 0; f < 10000; f++) {
        CWideString w = Utf8ToWide(("file0_" + std::to_string(f) + ".txt").c_str());
        keys.emplace_back(w.GetString(), w.GetLength());
        names[keys.back()] = f;
    }
    for (auto _ : st)
        for (const auto& k : keys) benchmark::DoNotOptimize(names.find(k));
}
BENCHMARK(BM_HashMapLookups10k)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
