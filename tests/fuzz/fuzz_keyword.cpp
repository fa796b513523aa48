// Fuzzes the keyword-text readers: tokens, blocks with typed values, string
// lists and skipping, and the write-then-read identity of every text read.
#include "zor-tic.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

void CheckQuotedRoundTrip(const CNarrowString& s) {
    ZorStringOutStream out;
    CWideString err;
    Check(PutNameValueString(out, "K", 1, s, err));
    ZorStringStream in(out.GetText());
    CNarrowString key, back;
    bool q = true;
    Check(ReadSettingsToken(in, key, q, err) && !q && key == "K");
    Check(ReadNameValueString(in, back, err) && back == s);
}

// Reads one block: keys chosen by their first letter select the reader.
bool ReadBlock(ZorInStream& in, const char* name, int depth, CWideString& err) {
    if (!ReadObjectPrefix(in, name, err)) return false;
    CNarrowString close;
    close.Format("</%s>", name);
    for (int n = 0; n < 100000; n++) {
        CNarrowString key;
        bool q;
        if (!ReadSettingsToken(in, key, q, err)) return false;
        if (q) {
            err += u"string where token expected";
            return false;
        }
        if (key == close) return true;
        bool ok;
        bool b;
        int32_t i;
        CNarrowString s;
        CWideString w;
        CListT<CWideString> list;
        switch (key[0]) {
            case 'B':
                ok = ReadNameValueBool(in, key, b, err);
                break;
            case 'I':
                ok = ReadNameValueInt(in, i, err);
                break;
            case 'S':
                ok = ReadNameValueString(in, s, err);
                if (ok) CheckQuotedRoundTrip(s);
                break;
            case 'W':
                ok = ReadNameValueWString(in, w, err);
                break;
            case 'L':
                ok = ReadStringList(in, list, err);
                break;
            case 'N':
                ok = depth < 32 ? ReadBlock(in, "N", depth + 1, err) : SkipNameValue(in, key, err);
                break;
            default:
                ok = SkipNameValue(in, key, err);
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
        // Every token; quoted ones must survive writing and reading.
        ZorStringStream in(text);
        CWideString err;
        CNarrowString tok;
        bool q;
        while (ReadSettingsToken(in, tok, q, err)) {
            Check(q || (tok.GetLength() > 0 && tok.GetLength() <= kKeywordMaxToken));
            if (q) CheckQuotedRoundTrip(tok);
        }
    }
    {
        // Blocks, one after another, as a job list holds them.
        ZorStringStream in(text);
        CWideString err;
        for (int n = 0; n < 1000 && !in.IsEof(); n++) {
            if (!ReadBlock(in, "Job", 0, err)) {
                Check(!err.IsEmpty());
                break;
            }
        }
    }
    return 0;
}
