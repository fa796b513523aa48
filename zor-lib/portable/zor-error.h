// System error texts and the error kind that goes with a system error.
//
// On this platform the "system error code" of a failed call is errno; the
// texts come from the C library.
#pragma once

#include "zor-string.h"

// The system's message for an error code, trimmed, followed by " (error %d)".
// The module name (a message source on other systems) is accepted and unused.
CWideString GetWinErrorText(int code, const char* module = nullptr);

// The system's message for an error code, trimmed; "(error %d)" when the
// system has no message for it, "(error 0x%0X)" for a negative code (a
// packed result word). Never fails.
CWideString ZorErrorText(int code);

// The error text of GetWinErrorText and the library's error kind for an
// errno value: ENOSPC/EDQUOT quota (8), ENOMEM out of memory (9), ETIMEDOUT
// time-out (4), ECONNRESET/EPIPE connection lost (3), ENOENT/ENOTDIR not
// found (7) only when bNotFoundKind is set, otherwise general (5).
CWideString MakeErrorMessage(int code, int& kind, bool bNotFoundKind = false);
