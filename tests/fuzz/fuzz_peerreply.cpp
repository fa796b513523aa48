// Fuzzes the peer back-end's readers of reply bodies: mediator server
// records and change records. Every change path handed on must be empty
// (the whole tree) or a chain of plain names.
#include "TvspFileSys.h"

#include "zor-debug.h"
#include "zor-stream.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZorAssertHook s_prev = ZorSetAssertHook([](const char*) {});
    (void)s_prev;
    CNarrowString body((const char*)data, (int)size);
    {
        ZorStringStream in(body);
        for (int i = 0; i < 10000; ++i) {
            PeerServerInfo r;
            CWideString err;
            if (!ReadPeerServerInfo(in, r, err)) break;
        }
    }
    ZorStringStream in(body);
    CListT<ChangedItem> items;
    CWideString err;
    ReadPeerChangeRecords(in, items, nullptr, err);
    for (auto pos = items.GetHeadPosition(); pos;) {
        const ChangedItem& c = items.GetNext(pos);
        if (c.m_sPath.IsEmpty() || c.m_sPath == u"/") continue;
        Check(c.m_sPath[0] == u'/');
        int from = 1;
        for (;;) {
            int slash = c.m_sPath.Find(u'/', from);
            CWideString comp = c.m_sPath.Mid(from, slash < 0 ? c.m_sPath.GetLength() - from : slash - from);
            Check(IsAcceptablePeerName(comp));
            if (slash < 0) break;
            from = slash + 1;
        }
    }
    return 0;
}
