// libFuzzer target of the state-file reader. Any input must be read or
// refused without a crash, a leak or unbounded memory; a refused input must
// leave the tree as it was; an accepted one must write a state file that
// reads back. The input read as one record gives the same in memory (read in
// place) as handed over a byte at a time (the general reader).
#include "state-file.h"

#include "zor-stream.h"

#include <cstddef>
#include <cstdint>

namespace {

int CountOldPresent(CSyncTreeNode* pTree) {
    int n = 0;
    CSyncDepthFirstIter it(pTree);
    for (bool b = it.IsValid(); b; b = it.Next())
        if (it.GetItem()->m_aOld[0].IsPresentBit()) n++;
    return n;
}

class ByteStream : public ZorInStream {
public:
    ByteStream(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    void UngetChar(unsigned char) override { --m_nAt, --m_nPosn; }
    bool IsEof() override { return m_nAt >= m_n; }

protected:
    bool GetCharSlow(unsigned char& ch, CWideString&) override {
        if (m_nAt >= m_n) return false;
        ch = m_p[m_nAt++];
        ++m_nPosn;
        return true;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_nAt = 0;
};

CWideString ReadOneRecord(ZorInStream& in, bool& ok) {
    StateFile rec;
    CWideString name, err;
    CSyncTime tSaved;
    CItemLen savedLen;
    CGenArray gens;
    ok = rec.ReadNode(in, name, tSaved, savedLen, gens, err);
    CWideString r = name + u"|" + rec.Dump() + u"|" + rec.m_sId + u"|" + err;
    r.AppendFormat(u"|%u|%u|%u|%ld", tSaved.GetTime(), (unsigned)savedLen.GetHigh(), savedLen.GetLow(),
                   ok ? in.GetPosn() : 0L);
    r.AppendFormat(u"|%u|%u|%d|%llu|%u", rec.m_nStamp, rec.m_nIdent, (int)rec.GetFlag(SIF_DIGEST),
                   (unsigned long long)rec.m_nDigest, rec.m_nMark);
    for (CSyncTime t : gens) r.AppendFormat(u",%u", t.GetTime());
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    {
        ZorStringStream mem(CNarrowString((const char*)data, (int)size));
        ByteStream bytes(data, size);
        bool ok1 = false, ok2 = false;
        if (ReadOneRecord(mem, ok1) != ReadOneRecord(bytes, ok2) || ok1 != ok2) __builtin_trap();
    }
    CSyncPairsAndActions tree;
    // A record from an earlier file, so that merges meet existing nodes.
    CWideString err;
    CSyncTreeNode* pSub = tree.AddItemCS(u"sub", true, false, nullptr, err);
    pSub->GetItem().m_aOld[0].SetPresent(true);
    pSub->GetItem().m_aOld[0].SetFolder(true);
    pSub->GetItem().m_aOld[0].m_Len.SetFolder();

    CStateFileIo io(&tree);
    io.m_bCleanupOldGenerations = (size & 1) != 0;
    io.m_nSaveMonthsOldGens = 1;
    ZorStringStream in(CNarrowString((const char*)data, (int)size));
    int kind = 0;
    const bool bIntoSub = size > 0 && (data[size - 1] & 1);
    if (!io.ReadStateStream(in, 0, bIntoSub ? pSub : &tree, false, 4, kind, err)) {
        if (CountOldPresent(&tree) != 1) __builtin_trap();
        return 0;
    }
    ZorStringOutStream out;
    err.Empty();
    if (!io.WriteStateStream(out, 0, CWideString(), err)) __builtin_trap();
    CSyncPairsAndActions tree2;
    CStateFileIo io2(&tree2);
    ZorStringStream in2(out.GetText());
    if (!io2.ReadStateStream(in2, 0, &tree2, false, 4, kind, err)) __builtin_trap();
    return 0;
}
