// Throughput of the tic writers and readers on state-file-like node records,
// in memory and through a gzip file.
#include "zor-stream.h"
#include "zor-tic.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr int kRecords = 20000;

bool WriteNode(ZorOutStream& out, int i, CWideString& err) {
    CNarrowString name;
    name.Format("document-%06d.txt", i);
    return PutTicText(out, "\n", err) && PutTicRecordBegin(out, err) && PutTicBool(out, 'f', false, err) &&
           PutTicText(out, "N", err) && PutTicString(out, name, err) && PutTicRecordBegin(out, 'l', err) &&
           PutTicUInt16(out, 'h', 0, err) && PutTicUInt32(out, 'l', (uint32_t)i * 37, err) &&
           PutTicRecordEnd(out, err) && PutTicUInt32(out, 'a', 32, err) && PutTicRecordBegin(out, 't', err) &&
           PutTicUInt32(out, 't', 1700000000u + (uint32_t)i, err) && PutTicRecordEnd(out, err) &&
           PutTicRecordBegin(out, 'g', err) && PutTicArrayBegin(out, 'a', 0, err) &&
           PutTicArrayEnd(out, err) && PutTicRecordEnd(out, err) && PutTicRecordEnd(out, err) &&
           PutTicText(out, "<>", err);
}

// Reads the records back with the typed readers (skipping what a reader would not know).
bool ReadNodes(ZorInStream& in, int& nRecords, CWideString& err) {
    nRecords = 0;
    unsigned char ch;
    while (in.GetChar(ch, err)) {
        if (ch != '\n' || !GetTicPrefix(in, '[', err)) return false;
        for (;;) {
            unsigned char tag;
            bool bEnd = false;
            if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
            if (bEnd) break;
            bool b;
            uint32_t u;
            CNarrowString s;
            bool ok = tag == 'f'   ? GetTicBool(in, tag, b, err)
                      : tag == 'N' ? GetTicString(in, tag, s, err)
                      : tag == 'a' ? GetTicUInt32(in, tag, u, err)
                                   : SkipTicValue(in, tag, err);
            if (!ok) return false;
        }
        if (!GetTicPrefix(in, '<', err) || !GetTicPrefix(in, '>', err)) return false;
        nRecords++;
    }
    return !in.HasError();
}

CNarrowString MakeText() {
    ZorStringOutStream out;
    CWideString err;
    for (int i = 0; i < kRecords; i++) WriteNode(out, i, err);
    return out.GetText();
}

} // namespace

static void BM_TicWriteMemory(benchmark::State& st) {
    int64_t bytes = 0;
    for (auto _ : st) {
        ZorStringOutStream out;
        CWideString err;
        for (int i = 0; i < kRecords; i++) WriteNode(out, i, err);
        bytes += out.GetText().GetLength();
    }
    st.SetBytesProcessed(bytes);
    st.counters["records/s"] =
        benchmark::Counter((double)kRecords * (double)st.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TicWriteMemory)->Unit(benchmark::kMillisecond);

static void BM_TicReadMemory(benchmark::State& st) {
    CNarrowString text = MakeText();
    for (auto _ : st) {
        ZorStringStream in(text);
        CWideString err;
        int n = 0;
        if (!ReadNodes(in, n, err) || n != kRecords) st.SkipWithError("read failed");
    }
    st.SetBytesProcessed((int64_t)text.GetLength() * (int64_t)st.iterations());
    st.counters["records/s"] =
        benchmark::Counter((double)kRecords * (double)st.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TicReadMemory)->Unit(benchmark::kMillisecond);

static void BM_TicGzipFileRoundTrip(benchmark::State& st) {
    char tmpl[] = "/tmp/tv-ticbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        st.SkipWithError("no temp folder");
        return;
    }
    std::string path = std::string(tmpl) + "/state._tv";
    CWideString wpath = CWideString(CNarrowString(path.c_str()));
    CNarrowString text = MakeText();
    for (auto _ : st) {
        CWideString err;
        CAutoPtrT<ZorOutStream> out;
        if (!OpenFileWriter(wpath, true, out, err, true) || !out->Write(text, text.GetLength(), err) ||
            !out->Close(err)) {
            st.SkipWithError("write failed");
            break;
        }
        CAutoPtrT<ZorInStream> in;
        int n = 0;
        if (!OpenFileReader(wpath, true, in, err) || !ReadNodes(*in, n, err) || n != kRecords) {
            st.SkipWithError("read failed");
            break;
        }
    }
    st.SetBytesProcessed((int64_t)text.GetLength() * (int64_t)st.iterations());
    unlink(path.c_str());
    rmdir(tmpl);
}
BENCHMARK(BM_TicGzipFileRoundTrip)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
