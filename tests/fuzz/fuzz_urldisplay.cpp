// Fuzzes the display form of URLs and the escaping of outside texts: a URL
// shown or stripped never keeps a password, stripping keeps every other part,
// and an escaped text holds no control that could act on a terminal.
#include "zor-escape.h"
#include "zor-unicode.h"
#include "zor-url.h"

#include <cstddef>
#include <cstdint>

namespace {

void Check(bool cond) {
    if (!cond) __builtin_trap();
}

bool IsControl(uint32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200E ||
           c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CNarrowString utf8((const char*)data, (int)size);
    const CWideString text = Utf8OrAnsiToWide(utf8);

    const CWideString shown = ZorUrlForDisplay(text);
    Check(shown.GetLength() <= text.GetLength());
    CWideString stripped, password;
    ZorUrl before, after;
    if (ZorUrlTakePassword(text, stripped, password)) {
        Check(stripped == shown);
        Check(ParseUrl(text.GetString(), before) && ParseUrl(stripped.GetString(), after));
        Check(after.GetPassword().IsEmpty() && after.GetUserName() == before.GetUserName() &&
              after.GetHost() == before.GetHost() && after.GetPort() == before.GetPort() &&
              after.GetPathAndExtra() == before.GetPathAndExtra() && password == before.GetPassword());
    } else {
        Check(stripped == text && password.IsEmpty());
        // A password written with a '/' as it is: the rest is a URL with a user and no password.
        if (ZorUrlTakePassword(text, stripped, password, true)) {
            Check(stripped == shown && !password.IsEmpty());
            Check(ParseUrl(stripped.GetString(), after) && after.GetPassword().IsEmpty() &&
                  !after.GetUserName().IsEmpty());
        } else {
            Check(stripped == text && password.IsEmpty());
        }
    }
    if (ParseUrl(shown.GetString(), after)) Check(after.GetPassword().IsEmpty());

    const CWideString esc = EscapeControlChars(text), lines = EscapeControlCharsInLines(text);
    for (int i = 0; i < esc.GetLength(); i++) Check(!IsControl(esc[i]));
    for (int i = 0; i < lines.GetLength(); i++)
        Check(!IsControl(lines[i]) || lines[i] == u'\n' || lines[i] == u'\t' ||
              (lines[i] == u'\r' && i + 1 < lines.GetLength() && lines[i + 1] == u'\n'));
    const CNarrowString esc8 = EscapeControlChars(utf8);
    for (int i = 0; i < esc8.GetLength(); i++) Check((uint8_t)esc8[i] >= 0x20 && (uint8_t)esc8[i] != 0x7F);
    return 0;
}
