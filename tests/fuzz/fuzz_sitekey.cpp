// Fuzzes the URL cracker, the site key and the cookie file name: no crash,
// and a cookie file name that is always one plain name within the folder.
#include "zor-sitekey.h"
#include "zor-unicode.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CNarrowString text((const char*)data, (int)size);
    CWideString url = Utf8ToWide(text);
    CrackedUrl c;
    (void)CrackUrl(url, c);
    (void)UrlSiteKey(url, true, true, true);
    (void)IsIpLiteral(url);
    CWideString name = CookieFileName(text);
    if (name.IsEmpty()) return 0;
    if (name.GetLength() > 204 || name == u"..txt" || name.Find(u'/') >= 0 || name.Find(u'\\') >= 0 ||
        name == u"." || name == u"..")
        __builtin_trap();
    for (int i = 0; i < name.GetLength(); ++i) {
        char16_t ch = name[i];
        bool ok = (ch >= u'a' && ch <= u'z') || (ch >= u'0' && ch <= u'9') || ch == u'.' || ch == u'-' || ch == u'_';
        if (!ok) __builtin_trap();
    }
    return 0;
}
