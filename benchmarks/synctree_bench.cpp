// Memory and speed of the sync tree (CSyncPairsAndActions) at the size a
// large job reaches: 1,000,000 files.
//
// BM_SyncTreeBytesPerItem/<files per folder>: heap bytes per file item
// (mallinfo2 before and after building the tree, after malloc_trim), counting
// the node with its item, its child-map entry and block share, the key's
// string buffer, and the folders' own nodes and child maps spread over the
// files. Every file has both current records (as after scanning both sides)
// and both old records with one generation per side (as after reading the
// state files). Names are 15 units ("file-000123.txt"). The target is at most
// 400 bytes per item.
//
// BM_SyncTreePreOrderWalk: a pre-order walk of the same tree (items per second).
#include "sync-tree.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>

namespace {

constexpr int kFiles = 1000000;

size_t HeapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

CSideInfo FileRecord(uint64_t nLen, uint32_t t) {
    CSideInfo si;
    si.SetPresent(true);
    si.m_Len.SetValue(nLen);
    si.m_tFile = si.m_tAccu = CSyncTime(t);
    si.m_nAttr = 0x20;
    return si;
}

// Builds the tree: kFiles files in folders of nPerFolder files each.
std::unique_ptr<CSyncPairsAndActions> BuildTree(int nPerFolder) {
    auto pTree = std::make_unique<CSyncPairsAndActions>();
    CWideString err;
    CSyncTreeNode* pFolder = nullptr;
    for (int i = 0; i < kFiles; i++) {
        if (i % nPerFolder == 0) {
            pFolder = pTree->AddItemCS(CWideString::Formatted(u"folder-%06d", i / nPerFolder), true, false,
                                       nullptr, err);
            for (int s = 0; s < 2; s++) {
                CSideInfo& si = pFolder->GetItem().m_aCur[s];
                si.SetPresent(true);
                si.SetFolder(true);
                si.m_Len.SetFolder();
                pFolder->GetItem().m_aOld[s] = si;
            }
        }
        CSyncTreeNode* pNode =
            pFolder->AddItemCS(CWideString::Formatted(u"file-%06d.txt", i), false, false, nullptr, err);
        CSyncPairAndAction& item = pNode->GetItem();
        for (int s = 0; s < 2; s++) {
            item.m_aCur[s] = FileRecord(1000 + i, 1700000000u + (uint32_t)i);
            item.m_aOld[s] = item.m_aCur[s];
            item.m_aGens[s].Add(CSyncTime(1690000000u));
        }
    }
    return pTree;
}

void BM_SyncTreeBytesPerItem(benchmark::State& state) {
    const int nPerFolder = (int)state.range(0);
    for (auto _ : state) {
        size_t h0 = HeapInUse();
        auto pTree = BuildTree(nPerFolder);
        size_t h1 = HeapInUse();
        benchmark::DoNotOptimize(pTree->GetChildCount());
        state.counters["bytes_per_item"] = (double)(h1 - h0) / kFiles;
        pTree.reset();
    }
    state.counters["item_bytes"] = (double)sizeof(CSyncPairAndAction);
    state.counters["node_bytes"] = (double)sizeof(CSyncTreeNode);
    state.counters["entry_slot_bytes"] = (double)CSyncTreeNode::CChildMap::SlotSize();
}
BENCHMARK(BM_SyncTreeBytesPerItem)->Arg(1000)->Arg(20)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SyncTreePreOrderWalk(benchmark::State& state) {
    auto pTree = BuildTree(1000);
    int64_t nVisited = 0;
    for (auto _ : state) {
        CSyncDepthFirstIter it(pTree.get());
        int n = 0;
        for (bool ok = it.IsValid(); ok; ok = it.Next()) {
            benchmark::DoNotOptimize(it.GetItem()->m_nSysAction);
            n++;
        }
        nVisited += n;
    }
    state.SetItemsProcessed(nVisited);
}
BENCHMARK(BM_SyncTreePreOrderWalk)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
