// Fuzzes the cloud account population: any bytes as the index reply, and as
// a directory reply whose folders are fetched one by one (each fetch answers
// the same document). The population must end, and afterwards every cached
// item must have a path and no path look-up may find a hidden item.
#include "OrvanFileList.h"

#include "zor-debug.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

struct SameDocument : IOrvanFolderFetch {
    const char* data;
    int len;
    int calls = 0;
    bool FetchFolder(const CWideString&, ZorJsonValuePtr& reply, int& kind, CWideString& err) override {
        Check(++calls <= 100000);
        if (!JsonParseText(data, len, reply, err)) {
            kind = FSE_NOT_FOUND;
            return false;
        }
        return true;
    }
};

void CheckCache(OrvanFileList& list) {
    CListT<CWideString> ids;
    list.GetAllIds(ids);
    for (ZorPosition p = ids.GetHeadPosition(); p;) {
        const CWideString& id = ids.GetNext(p);
        CWideString path, err, found;
        Check(list.GetPathFromId(id, path, err));
        if (list.FindIdByPath(path, found) && !found.IsEmpty()) {
            OrvanFileItem it;
            Check(list.Lookup(found, it));
            Check(!it.m_bHidden);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZorAssertHook s_prev = ZorSetAssertHook([](const char*) {});
    (void)s_prev;
    OrvanFileList& list = GetOrvanFileList();
    int kind = 0;
    CWideString err;
    if (list.PopulateFromIndex((const char*)data, (int)size, kind, err))
        CheckCache(list);
    else
        Check(list.IsEmpty() && kind == FSE_CLOUD_CACHE);
    list.ResetCache();
    SameDocument fetch;
    fetch.data = (const char*)data;
    fetch.len = (int)size;
    CWideString tv;
    err.Empty();
    if (list.PopulateRootFromDirectories((const char*)data, (int)size, false, &fetch, tv, kind, err)) CheckCache(list);
    list.ResetCache();
    return 0;
}
