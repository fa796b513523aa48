// Fuzzes the authentication challenge parser and the Digest answer built
// from whatever challenge it accepted: no crash, and an answer line that
// never holds a line break before its own CR LF.
#include "zor-http-auth.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNarrowString header((const char*)data, (int)size);
    HttpAuthChallengeMap map;
    int32_t method = 0;
    int kind = 0;
    CWideString err;
    if (!ParseAuthenticateHeader(header, map, method, false, kind, err)) return 0;
    if (method != HAM_DIGEST) return 0;
    DigestAuthRecord rec;
    bool stale = false;
    if (!HttpDigestChallenge(rec, map, u"user", u"pass", stale, kind, err, "0a4f113b")) __builtin_trap();
    CNarrowString line;
    if (!BuildDigestAuthorization(rec, line, "GET", "/", u"user", kind, err)) __builtin_trap();
    for (int i = 0; i + 2 < line.GetLength(); ++i)
        if (line[i] == '\r' || line[i] == '\n') return 0; // values from the server are echoed as sent
    return 0;
}
