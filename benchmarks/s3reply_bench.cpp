// The S3 reply reader on a 1,000-entry listing page (the service's page
// size) against a bare Expat parse of the same bytes without handlers (the
// floor any reader over Expat pays). A second run parses ten such pages into
// one list, as a 10,000-key listing does: with the name index the cost per
// page stays flat instead of growing with the list.
#include "S3ReplyReader.h"

#include <benchmark/benchmark.h>
#include <expat.h>

#include <cstdio>
#include <string>

namespace {

std::string Page(int first, int count) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult "
                    "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>bench</Name><Prefix>docs/</Prefix>"
                    "<Marker></Marker><MaxKeys>1000</MaxKeys><Delimiter>/</Delimiter><IsTruncated>false"
                    "</IsTruncated>";
    char buf[512];
    for (int i = first; i < first + count; i++) {
        std::snprintf(buf, sizeof buf,
                      "<Contents><Key>docs/file-%06d.dat</Key><LastModified>2024-05-06T07:08:%02d.000Z"
                      "</LastModified><ETag>&quot;0123456789abcdef0123456789abcdef&quot;</ETag><Size>%d</Size>"
                      "<Owner><ID>75aa57f09aa0c8caeab4f8c24e99d10f8e7faeebf76c078efc7c6caea54ba06a</ID>"
                      "<DisplayName>owner</DisplayName></Owner><StorageClass>STANDARD</StorageClass></Contents>",
                      i, i % 60, i * 7);
        s += buf;
    }
    return s + "</ListBucketResult>";
}

void BM_ReaderPage(benchmark::State& state) {
    CNarrowString body(Page(0, 1000).c_str());
    for (auto _ : state) {
        S3ReplyReader r;
        CListT<FsItemInfo> items;
        CWideString err;
        if (!r.ParseListing(body, items, u"bench", u"/bench/docs", u"/docs", err) || items.GetCount() != 1000)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(items.GetCount());
    }
    state.SetBytesProcessed(state.iterations() * body.GetLength());
    state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_BareExpatPage(benchmark::State& state) {
    std::string body = Page(0, 1000);
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreateNS(nullptr, '!');
        if (XML_Parse(p, body.data(), (int)body.size(), 1) != XML_STATUS_OK) state.SkipWithError("parse failed");
        XML_ParserFree(p);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)body.size());
    state.SetItemsProcessed(state.iterations() * 1000);
}

void BM_ReaderTenPagesOneList(benchmark::State& state) {
    std::vector<CNarrowString> pages;
    for (int i = 0; i < 10; i++) pages.emplace_back(Page(i * 1000, 1000).c_str());
    for (auto _ : state) {
        S3ReplyReader r;
        CListT<FsItemInfo> items;
        CWideString err;
        for (const CNarrowString& body : pages) r.ParseListing(body, items, u"bench", u"/bench/docs", u"/docs", err);
        if (items.GetCount() != 10000) state.SkipWithError("lost items");
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}

} // namespace

BENCHMARK(BM_BareExpatPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReaderPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReaderTenPagesOneList)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
