// The state file of a side with 100,000 items (1,000 folders of 100 files,
// each with one or two generations): written into a gzip file through a
// temporary name, and read back into a fresh tree. Target: write + read
// together at most 0.2 s.
//
// BM_StateFileBytesPerPair1M: the heap a tree of 1,000,000 pairs takes when
// both sides' state files are read into it (mallinfo2 before and after),
// per pair, beside the bare size of the names (UTF-8 bytes per name, as the
// state file holds them). Target: at most 300 bytes per pair.
#include "state-file.h"

#include "zor-gzblocks.h"
#include "zor-stream.h"
#include "zor-unicode.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 99; // with the folders: 100,000 items

std::unique_ptr<CSyncPairsAndActions> MakeTree() {
    auto tree = std::make_unique<CSyncPairsAndActions>();
    CSideInfo folder;
    folder.SetPresent(true);
    folder.SetFolder(true);
    folder.m_Len.SetFolder();
    tree->GetItem().m_aOld[0] = folder;
    CWideString err;
    for (int d = 0; d < kFolders; d++) {
        CWideString name;
        name.Format(u"Folder %04d", d);
        CSyncTreeNode* pDir = tree->AddItemCS(name, true, false, nullptr, err);
        pDir->GetItem().m_aOld[0] = folder;
        for (int f = 0; f < kFilesPerFolder; f++) {
            name.Format(u"document-%05d.txt", f);
            CSyncTreeNode* p = pDir->AddItemCS(name, false, false, nullptr, err);
            CSyncPairAndAction& item = p->GetItem();
            CSideInfo& r = item.m_aOld[0];
            r.SetPresent(true);
            r.m_Len.SetValue(1000 + 37 * (uint64_t)(d * kFilesPerFolder + f));
            r.m_tFile = r.m_tAccu = 1600000000u + (uint32_t)(d * 1000 + f);
            r.m_nAttr = 0x20;
            item.m_aGens[0].Add(CSyncTime(1650000000u + f));
            if (f % 3 == 0) item.m_aGens[0].Add(CSyncTime(1660000000u + f));
        }
    }
    return tree;
}

std::string TempFile() {
    char dir[] = "/tmp/tv-statefile-bench-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    return std::string(dir) + "/_file_state_v4._tv";
}

bool WriteFile(CStateFileIo& io, const CWideString& path, int nSide = 0) {
    CAutoPtrT<ZorOutStream> out;
    CWideString err;
    return OpenFileWriter(path, true, out, err, true) &&
           io.WriteStateStream(*out, nSide, CWideString(), err) && out->Close(err);
}

// Reads into a fresh tree that the caller destroys (outside the timing).
bool ReadFile(const CWideString& path, std::unique_ptr<CSyncPairsAndActions>& tree) {
    tree = std::make_unique<CSyncPairsAndActions>();
    CAutoPtrT<ZorInStream> in;
    CWideString err;
    if (!OpenFileReader(path, true, in, err)) return false;
    CStateFileIo io(tree.get());
    int kind = 0;
    return io.ReadStateStream(*in, 0, tree.get(), false, 4, kind, err);
}

void RemoveTemp(const std::string& path) {
    unlink(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
}

} // namespace

static void BM_StateFileWriteRead100k(benchmark::State& st) {
    auto tree = MakeTree();
    CStateFileIo io(tree.get());
    const std::string path = TempFile();
    const CWideString wpath = Utf8ToWide(path.c_str());
    for (auto _ : st) {
        std::unique_ptr<CSyncPairsAndActions> fresh;
        if (!WriteFile(io, wpath) || !ReadFile(wpath, fresh))
            st.SkipWithError("state file write or read failed");
        st.PauseTiming();
        fresh.reset();
        st.ResumeTiming();
    }
    st.counters["items"] = kFolders * (kFilesPerFolder + 1);
    RemoveTemp(path);
}
BENCHMARK(BM_StateFileWriteRead100k)->Unit(benchmark::kMillisecond)->MinTime(2.0);

static void BM_StateFileWrite100k(benchmark::State& st) {
    auto tree = MakeTree();
    CStateFileIo io(tree.get());
    const std::string path = TempFile();
    const CWideString wpath = Utf8ToWide(path.c_str());
    for (auto _ : st)
        if (!WriteFile(io, wpath)) st.SkipWithError("state file write failed");
    RemoveTemp(path);
}
BENCHMARK(BM_StateFileWrite100k)->Unit(benchmark::kMillisecond);

// As a job writes its side's file after a Sync: block-compressed (fastest
// level, four threads), the whole process's CPU. Arg 0: a whole new write
// each time; arg 1: segmented, one record changed before each write (the
// earlier write's unchanged segments are taken again); arg 2: segmented
// with nothing kept from before. Counter: file bytes.
static void BM_StateFileJobWrite100k(benchmark::State& st) {
    auto tree = MakeTree();
    CStateFileIo io(tree.get());
    const std::string path = TempFile();
    const CWideString wpath = Utf8ToWide(path.c_str());
    const bool bSegmented = st.range(0) != 0;
    CWideString lookupErr;
    CSyncTreeNode* pChanged =
        CSyncTreeNode::LookupCS(tree.get(), u"/Folder 0500/document-00050.txt", false, nullptr, lookupErr);
    uint64_t n = 0;
    for (auto _ : st) {
        if (pChanged) pChanged->GetItem().m_aOld[0].m_Len.SetValue(++n);
        if (st.range(0) == 2) io.DropWriteSegments();
        ZorGzBlockFileStream out;
        CWideString err;
        const bool ok = out.OpenWrite(wpath, true, err, 1, 4) &&
                        (bSegmented ? io.WriteStateStreamReusing(out, 0, CWideString(), err)
                                    : io.WriteStateStream(out, 0, CWideString(), err)) &&
                        out.Close(err);
        if (!ok) st.SkipWithError("state file write failed");
    }
    struct stat sb {};
    stat(path.c_str(), &sb);
    st.counters["file_bytes"] = (double)sb.st_size;
    RemoveTemp(path);
}
BENCHMARK(BM_StateFileJobWrite100k)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

static void BM_StateFileRead100k(benchmark::State& st) {
    auto tree = MakeTree();
    CStateFileIo io(tree.get());
    const std::string path = TempFile();
    const CWideString wpath = Utf8ToWide(path.c_str());
    if (!WriteFile(io, wpath)) st.SkipWithError("state file write failed");
    for (auto _ : st) {
        std::unique_ptr<CSyncPairsAndActions> fresh;
        if (!ReadFile(wpath, fresh)) st.SkipWithError("state file read failed");
        st.PauseTiming();
        fresh.reset();
        st.ResumeTiming();
    }
    RemoveTemp(path);
}
BENCHMARK(BM_StateFileRead100k)->Unit(benchmark::kMillisecond);

namespace {

constexpr int kPairFolders = 10000;
constexpr int kPairFilesPerFolder = 99; // with the folders: 1,000,000 pairs

size_t HeapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

// One side's state: the folders and files of the 1,000,000-pair tree, one
// generation each, written through a tree that is gone before the reading.
bool WriteSideState(int nSide, const CWideString& path, size_t& nNameBytes) {
    auto tree = std::make_unique<CSyncPairsAndActions>();
    CSideInfo folder;
    folder.SetPresent(true);
    folder.SetFolder(true);
    folder.m_Len.SetFolder();
    tree->GetItem().m_aOld[nSide] = folder;
    CWideString err, name;
    nNameBytes = 0;
    for (int d = 0; d < kPairFolders; d++) {
        name.Format(u"Folder %05d", d);
        nNameBytes += (size_t)name.GetLength();
        CSyncTreeNode* pDir = tree->AddItemCS(name, true, false, nullptr, err);
        pDir->GetItem().m_aOld[nSide] = folder;
        pDir->GetItem().m_aGens[nSide].Add(CSyncTime(1650000000u));
        for (int f = 0; f < kPairFilesPerFolder; f++) {
            name.Format(u"document-%05d.txt", f);
            nNameBytes += (size_t)name.GetLength();
            CSyncPairAndAction& item = pDir->AddItemCS(name, false, false, nullptr, err)->GetItem();
            CSideInfo& r = item.m_aOld[nSide];
            r.SetPresent(true);
            r.m_Len.SetValue(1000 + 37 * (uint64_t)(d * kPairFilesPerFolder + f));
            r.m_tFile = r.m_tAccu = 1600000000u + (uint32_t)(d * 1000 + f);
            r.m_nAttr = 0x20;
            item.m_aGens[nSide].Add(CSyncTime(1650000000u + f));
        }
    }
    CStateFileIo io(tree.get());
    return WriteFile(io, path, nSide);
}

} // namespace

static void BM_StateFileBytesPerPair1M(benchmark::State& st) {
    const std::string paths[2] = {TempFile(), TempFile()};
    size_t nNameBytes = 0;
    for (int s = 0; s < 2; s++)
        if (!WriteSideState(s, Utf8ToWide(paths[s].c_str()), nNameBytes))
            st.SkipWithError("state file write failed");
    const double nPairs = (double)kPairFolders * (kPairFilesPerFolder + 1);
    for (auto _ : st) {
        const size_t h0 = HeapInUse();
        auto tree = std::make_unique<CSyncPairsAndActions>();
        for (int s = 0; s < 2; s++) {
            CAutoPtrT<ZorInStream> in;
            CWideString err;
            CStateFileIo io(tree.get());
            int kind = 0;
            if (!OpenFileReader(Utf8ToWide(paths[s].c_str()), true, in, err) ||
                !io.ReadStateStream(*in, s, tree.get(), false, 4, kind, err))
                st.SkipWithError("state file read failed");
        }
        const size_t h1 = HeapInUse();
        st.counters["bytes_per_pair"] = (double)(h1 - h0) / nPairs;
        st.counters["name_bytes_per_pair"] = (double)nNameBytes / nPairs;
        st.counters["item_bytes"] = (double)sizeof(CSyncPairAndAction);
        st.PauseTiming();
        tree.reset();
        st.ResumeTiming();
    }
    for (const std::string& p : paths) RemoveTemp(p);
}
BENCHMARK(BM_StateFileBytesPerPair1M)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
