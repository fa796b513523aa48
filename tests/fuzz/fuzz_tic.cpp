// Fuzzes the tic readers: skipping values of any form, the typed readers
// chosen by tag, and the write-then-read identity of every value read.
#include "zor-tic.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

// A value that was read must be written and read back unchanged.
void CheckStringRoundTrip(const CNarrowString& s) {
    ZorStringOutStream out;
    CWideString err;
    Check(PutTicString(out, s, err));
    ZorStringStream in(out.GetText());
    CNarrowString back;
    Check(GetTicString(in, 'x', back, err));
    Check(back == s);
    Check(in.IsEof());
}

void CheckUInt32RoundTrip(uint32_t v) {
    ZorStringOutStream out;
    CWideString err;
    Check(PutTicUInt32(out, 0xC8, v, err));
    ZorStringStream in(out.GetText());
    unsigned char tag = 0;
    uint32_t back = 0;
    Check(in.GetChar(tag, err) && tag == 0xC8 && GetTicUInt32(in, tag, back, err) && back == v);
}

// Reads a record's tagged values with the reader the tag selects.
bool ReadTyped(ZorInStream& in, int depth, CWideString& err) {
    for (int n = 0; n < 10000; n++) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
        if (bEnd) return true;
        bool b;
        uint16_t u16;
        uint32_t u32;
        int32_t i32;
        CNarrowString s;
        CWideString w;
        int count = 0;
        bool ok = true;
        switch (tag % 10) {
            case 0:
                ok = GetTicBool(in, tag, b, err);
                break;
            case 1:
                ok = GetTicUInt16(in, tag, u16, err);
                break;
            case 2:
                ok = GetTicUInt32(in, tag, u32, err);
                if (ok) CheckUInt32RoundTrip(u32);
                break;
            case 3:
                ok = GetTicInt32(in, tag, i32, err);
                break;
            case 4:
                ok = GetTicString(in, tag, s, err);
                if (ok) CheckStringRoundTrip(s);
                break;
            case 5:
                ok = GetTicWString(in, tag, w, err);
                break;
            case 6:
                if (depth < 64)
                    ok = GetTicPrefix(in, '[', err) && ReadTyped(in, depth + 1, err);
                else
                    ok = SkipTicValue(in, tag, err);
                break;
            case 7:
                ok = GetTicArrayBegin(in, tag, count, err);
                for (int i = 0; ok && i < count; i++) {
                    unsigned char first;
                    ok = GetTicChar(in, tag, first, err) && SkipTicElement(in, tag, first, err) &&
                         GetTicArrayElementEnd(in, err);
                }
                ok = ok && GetTicArrayEnd(in, err);
                break;
            case 8:
                ok = GetTicPrefix(in, '<', err);
                for (int i = 0; ok && i < 100000; i++) {
                    bool bListEnd = false;
                    ok = GetTicListNext(in, bListEnd, err);
                    if (!ok || bListEnd) break;
                    ok = GetTicString(in, tag, s, err);
                }
                break;
            default:
                ok = SkipTicValue(in, tag, err);
                break;
        }
        if (!ok) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (size_t)INT32_MAX) return 0;
    const CNarrowString text((const char*)data, (int)size);
    {
        // A sequence of tagged values, skipped.
        ZorStringStream in(text);
        CWideString err;
        unsigned char tag = 0;
        while (in.GetChar(tag, err)) {
            long before = in.GetPosn();
            if (!SkipTicValue(in, tag, err)) {
                Check(!err.IsEmpty());
                break;
            }
            Check(in.GetPosn() > before);
        }
    }
    {
        // One record read by type.
        ZorStringStream in(text);
        CWideString err;
        if (!(GetTicPrefix(in, '[', err) && ReadTyped(in, 0, err))) Check(!err.IsEmpty());
    }
    return 0;
}
