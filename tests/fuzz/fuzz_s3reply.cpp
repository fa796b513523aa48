// Fuzzes the S3 reply reader: any bytes as a listing page (twice into one
// list, as the pages of one listing) and as an error document. Every listed
// name must be a single safe component, every size a possible one.
#include "S3ReplyReader.h"

#include "zor-debug.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

struct Quiet : ICopyProgress {
    bool OnProgress(bool, int64_t, int64_t, int&, CWideString&) override { return true; }
    void OnMessage(int, const CWideString&) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZorAssertHook s_prev = ZorSetAssertHook([](const char*) {});
    (void)s_prev;
    CNarrowString body((const char*)data, (int)size);
    Quiet q;
    S3ReplyReader r(&q);
    CListT<FsItemInfo> items;
    CWideString err;
    for (int page = 0; page < 2; page++) {
        r.ParseListing(body, items, u"b", u"/b/dir", u"/dir", err);
        for (ZorPosition p = items.GetHeadPosition(); p;) {
            const FsItemInfo& it = items.GetNext(p);
            Check(!IsUnsafeListedName(it.m_sName));
            // A bad entry (a size or time that cannot be true) says why.
            Check(it.IsFolder() || it.m_nAttributes == FSA_NORMAL || (it.IsBad() && !it.m_sNote.IsEmpty()));
            Check(it.IsBad() || (it.m_nSize >= 0 && it.m_nSize <= kS3MaxListedSize));
        }
    }
    r.Parse(body, err, true);
    (void)r.HasError();
    return 0;
}
