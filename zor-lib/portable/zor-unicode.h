// UTF-8 <-> UTF-16 conversion, Windows-1252, Unicode NFC.
#pragma once

#include "zor-string.h"

// Lenient UTF-8 -> UTF-16: each maximal invalid subpart becomes U+FFFD.
CWideString Utf8ToWide(const char* s, int len);
inline CWideString Utf8ToWide(const CNarrowString& s) {
    return Utf8ToWide(s.GetString(), s.GetLength());
}
inline CWideString Utf8ToWide(const char* s) {
    return Utf8ToWide(s, ZorStrLen(s));
}

// Strict UTF-8 -> UTF-16; false with "bad UTF-8 sequence at pos %d in string %s".
bool Utf8ToWideChecked(const char* s, int len, CWideString& out, CWideString& err);
inline bool Utf8ToWideChecked(const CNarrowString& s, CWideString& out, CWideString& err) {
    return Utf8ToWideChecked(s.GetString(), s.GetLength(), out, err);
}
// Decodes one UTF-8 sequence at s[i] (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF). Returns the code point, or -1 for an
// invalid sequence; adv gets the bytes consumed (the maximal invalid subpart).
int32_t Utf8DecodeOne(const unsigned char* s, int len, int i, int& adv);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(const char* s, int len);

// UTF-16 -> UTF-8; a lone surrogate becomes U+FFFD.
CNarrowString WideToUtf8(const char16_t* s, int len);
inline CNarrowString WideToUtf8(const CWideString& s) {
    return WideToUtf8(s.GetString(), s.GetLength());
}
inline CNarrowString WideToUtf8(const char16_t* s) {
    return WideToUtf8(s, ZorStrLen(s));
}
// Appends the UTF-8 form onto out.
void AppendWideAsUtf8(CNarrowString& out, const char16_t* s, int len);

// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1252 (the ANSI code page).
CWideString Utf8OrAnsiToWide(const char* s, int len);
inline CWideString Utf8OrAnsiToWide(const CNarrowString& s) {
    return Utf8OrAnsiToWide(s.GetString(), s.GetLength());
}
CWideString AnsiToWide(const char* s, int len); // Windows-1252
// Wide -> Windows-1252; units with no mapping become '?'.
CNarrowString WideToAnsi(const CWideString& s);

// Composes a file or path name to Unicode NFC in place. Returns false (and
// leaves the text unchanged) only when the normaliser is not available.
bool NormalizeNameNfc(CWideString& text);
// True when the text is already in NFC (quick check, exact).
bool IsNameNfc(const CWideString& text);

// Simple lower/upper mapping of one unit (locale-independent).
char16_t ZorLowerUnit(char16_t c);
char16_t ZorUpperUnit(char16_t c);
