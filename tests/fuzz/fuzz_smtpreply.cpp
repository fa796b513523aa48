// The SMTP reply reader on arbitrary server lines: it must end every reply
// (whole, 421, or too long) without unbounded growth.
#include "zor-mail.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CSmtpReplyReader r;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != '\n') continue;
        CNarrowString line((const char*)data + start, (int)(i - start));
        start = i + 1;
        bool done = false;
        int kind = 0;
        CWideString err;
        if (!r.AddLine(line, done, kind, err)) break;
        if (r.m_sText.GetLength() > CSmtpReplyReader::kMaxText + 1) __builtin_trap();
        if (done) r = CSmtpReplyReader();
    }
    return 0;
}
