// Strings, the printf engine, UTF conversion, NFC and the case-insensitive compare.
#include "zor-string.h"
#include "zor-text.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

static void BM_CopyShared(benchmark::State& st) {
    CWideString s(u"C:\\Users\\someone\\Documents\\Projects\\report-2024-final.docx");
    for (auto _ : st) {
        CWideString c = s;
        benchmark::DoNotOptimize(c.GetString());
    }
}
BENCHMARK(BM_CopyShared);

static void BM_CopyAndWrite(benchmark::State& st) {
    CWideString s(u"C:\\Users\\someone\\Documents\\Projects\\report-2024-final.docx");
    for (auto _ : st) {
        CWideString c = s;
        c.Replace(u'\\', u'/');
        benchmark::DoNotOptimize(c.GetString());
    }
}
BENCHMARK(BM_CopyAndWrite);

static void BM_FormatMixed(benchmark::State& st) {
    CWideString name(u"Documents/report.docx");
    CNarrowString host("server.example");
    for (auto _ : st) {
        CWideString r;
        r.Format(u"%s: copied %S, %d of %llu bytes (%5.1f%%) %08x", name, host, 4096, 1234567890123ULL, 42.5,
                 0xBEEFu);
        benchmark::DoNotOptimize(r.GetString());
    }
}
BENCHMARK(BM_FormatMixed);

static CNarrowString MixedUtf8(int n) {
    CNarrowString s;
    while (s.GetLength() < n) s += "Photos/\xc3\x89t\xc3\xa9 2024/\xe6\x97\xa5\xe6\x9c\xac/img_0001.jpg ";
    return s.Left(n);
}

static void BM_Utf8ToWide(benchmark::State& st) {
    CNarrowString s = MixedUtf8((int)st.range(0));
    for (auto _ : st) benchmark::DoNotOptimize(Utf8ToWide(s).GetLength());
    st.SetBytesProcessed((int64_t)st.iterations() * s.GetLength());
}
BENCHMARK(BM_Utf8ToWide)->Arg(64)->Arg(4096);

static void BM_WideToUtf8(benchmark::State& st) {
    CWideString w = Utf8ToWide(MixedUtf8((int)st.range(0)));
    for (auto _ : st) benchmark::DoNotOptimize(WideToUtf8(w).GetLength());
    st.SetBytesProcessed((int64_t)st.iterations() * w.GetLength() * 2);
}
BENCHMARK(BM_WideToUtf8)->Arg(64)->Arg(4096);

static void BM_NfcAscii(benchmark::State& st) {
    CWideString w(u"Projects/2024/report-final-version.docx");
    for (auto _ : st) {
        CWideString c = w;
        NormalizeNameNfc(c);
        benchmark::DoNotOptimize(c.GetString());
    }
}
BENCHMARK(BM_NfcAscii);

static void BM_NfcDecomposed(benchmark::State& st) {
    CWideString w(u"Photos/E\u0301te\u0301 2024/Cafe\u0301 de\u0301j\u00e0.jpg");
    for (auto _ : st) {
        CWideString c = w;
        NormalizeNameNfc(c);
        benchmark::DoNotOptimize(c.GetString());
    }
}
BENCHMARK(BM_NfcDecomposed);

static void BM_CompareNoCase(benchmark::State& st) {
    CWideString a(u"Photos/\u00c9T\u00c9 2024/IMG_0001.JPG"), b(u"photos/\u00e9t\u00e9 2024/img_0001.jpg");
    for (auto _ : st) benchmark::DoNotOptimize(a.CompareNoCase(b));
}
BENCHMARK(BM_CompareNoCase);

static void BM_Md5Hex4K(benchmark::State& st) {
    CNarrowString s = MixedUtf8(4096);
    for (auto _ : st) benchmark::DoNotOptimize(Md5HexOfText(s).GetLength());
    st.SetBytesProcessed((int64_t)st.iterations() * s.GetLength());
}
BENCHMARK(BM_Md5Hex4K);

static void BM_UrlEncodeW(benchmark::State& st) {
    CWideString w(u"/Shared Files/\u00c9t\u00e9 2024/report #3 (final) & notes.txt");
    for (auto _ : st) benchmark::DoNotOptimize(UrlEncodeW(w).GetLength());
}
BENCHMARK(BM_UrlEncodeW);
BENCHMARK_MAIN();
