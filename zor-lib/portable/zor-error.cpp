// System error texts and error kinds.
#include "zor-error.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstring>

namespace {

// The C library's message, or an empty text when it has none for the code.
CWideString SystemMessage(int code) {
    if (code <= 0) return CWideString();
    char buf[256];
    buf[0] = 0;
    // GNU strerror_r returns the message (maybe not in buf).
    const char* msg = strerror_r(code, buf, sizeof buf);
    if (!msg || !*msg || std::strncmp(msg, "Unknown error", 13) == 0) return CWideString();
    CWideString w = Utf8OrAnsiToWide(msg, ZorStrLen(msg));
    w.Trim();
    return w;
}

} // namespace

CWideString ZorErrorText(int code) {
    CWideString w = SystemMessage(code);
    if (!w.IsEmpty()) return w;
    if (code < 0) return CWideString::Formatted(u"(error 0x%0X)", (unsigned)code);
    return CWideString::Formatted(u"(error %d)", code);
}

CWideString GetWinErrorText(int code, const char* /*module*/) {
    CWideString w = SystemMessage(code);
    if (w.IsEmpty()) return CWideString::Formatted(u"(error %d)", code);
    w.AppendFormat(u" (error %d)", code);
    return w;
}

CWideString MakeErrorMessage(int code, int& kind, bool bNotFoundKind) {
    switch (code) {
        case ENOSPC:
        case EDQUOT:
            kind = ZEK_QUOTA;
            break;
        case ENOMEM:
            kind = ZEK_NO_MEMORY;
            break;
        case ETIMEDOUT:
            kind = ZEK_TIMEOUT;
            break;
        case ECONNRESET:
        case EPIPE:
            kind = ZEK_CONNECTION;
            break;
        case ENOENT:
        case ENOTDIR:
            kind = bNotFoundKind ? ZEK_NOT_FOUND : ZEK_GENERAL;
            break;
        default:
            kind = ZEK_GENERAL;
            break;
    }
    return GetWinErrorText(code);
}
