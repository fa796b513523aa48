// Text helpers and encoders: file-name cleaning, MD5, Base64, URL
// percent-encoding, number parsing and formatting, GUID texts.
#pragma once

#include "zor-string.h"

#include <cstddef>
#include <cstdint>

// Replaces each of \ / : * ? " < > | CR LF TAB by '_', then every pair of
// underscores by one (one pass, as CWideString::Replace does).
void MakeValidFileName(CWideString& text);

// Every unit that is not an ASCII lower-case letter, an ASCII digit, '-',
// '_', a blank or a letter or digit outside ASCII becomes '-'.
void SanitizeName(CWideString& text);

// MD5 of the bytes as 32 lower-case hexadecimal digits; empty on failure.
CNarrowString Md5HexOfText(const CNarrowString& text);

// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
CNarrowString Base64Encode(const void* data, size_t len); // "--cannot encode base64--" on failure
CNarrowString Base64EncodeText(const CNarrowString& text);
// Strict decoding: length a multiple of 4, only alphabet characters, '='
// only as the last one or two characters, unused bits zero. False with
// "bad Base64 text: " and the reason on anything else; out gets the bytes.
bool Base64Decode(const char* text, int len, CNarrowString& out, CWideString& err);
inline bool Base64Decode(const CNarrowString& text, CNarrowString& out, CWideString& err) {
    return Base64Decode(text.GetString(), text.GetLength(), out, err);
}

// Mode flags of the URL encoders.
enum : int {
    URLENC_UTF8 = 1,           // UrlEncodeAny: convert a wide text to UTF-8 first
    URLENC_STOP_AT_QUERY = 32, // copy everything from the first '?' or '#' unchanged
    URLENC_PERCENT = 64,       // escape '%' too
};

// Percent-encodes ("%02X") the bytes below 33, 34-36, 38, 43, 44, 59-64,
// 91-94, 96, 123-125 and above 126; '%' (37) only with URLENC_PERCENT. With
// URLENC_STOP_AT_QUERY the text from the first '?' or '#' on is copied
// unchanged. out is replaced. False (out empty) for unknown mode bits.
bool UrlEncodeTo(const char* text, int len, CNarrowString& out, int mode);
inline bool UrlEncodeTo(const CNarrowString& text, CNarrowString& out, int mode) {
    return UrlEncodeTo(text.GetString(), text.GetLength(), out, mode);
}
// With URLENC_UTF8 a wide text is converted to UTF-8 first, otherwise to
// Latin-1 ('?' above 255); the other bits go to UrlEncodeTo.
bool UrlEncodeAny(const CWideString& text, CNarrowString& out, int mode);
bool UrlEncodeAny(const CNarrowString& text, CNarrowString& out, int mode);
// UrlEncodeTo in mode 64; a failure is an assertion report.
CNarrowString UrlEncode(const CNarrowString& text);
// The UTF-8 form of the text, encoded by UrlEncode.
CNarrowString UrlEncodeW(const CWideString& text);
// Percent-decodes (a '%' not followed by two hexadecimal digits stays as it
// is; '+' stays '+') and converts the UTF-8 result to UTF-16; false with the
// strict decoder's error text on bad UTF-8.
bool UrlDecodeToW(const CNarrowString& text, CWideString& out, CWideString& err);

// Decimal digits only (no sign, no blanks), at most 2^64-1; false with
// "bad number: " and the text otherwise (empty text included).
bool ParseUInt64(const char* text, uint64_t& value, CWideString& err);
inline bool ParseUInt64(const CNarrowString& text, uint64_t& value, CWideString& err) {
    return ParseUInt64(text.GetString(), value, err);
}

// Four one-byte version numbers and a text; text form "%d.%d.%d.%d" plus
// " %s" with the text when it is not empty.
struct CodeTextPair {
    uint8_t m_nVersion[4] = {0, 0, 0, 0};
    CNarrowString m_sText;

    CNarrowString ToText() const;
};

// A new random (version 4) GUID in registry form: "{XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX}",
// upper case. Empty (and an assertion report) when no random bytes can be had.
CNarrowString NewGuidString();

// 32 lower-case hexadecimal digits from the system's random source, for
// names nobody can know before they are made. Empty (and an assertion
// report) when no random bytes can be had.
CNarrowString NewRandomHex32();

// A byte size in short form: below 1024 "%llu bytes", then three significant
// digits, cut (not rounded), in units of 1024: "1.00 KB", "12.3 MB", "999 GB",
// "0.97 MB" for 1000 KB, up to EB.
CWideString FormatByteSize(uint64_t bytes);
// A number with digit grouping by thousands: "1,234,567".
CWideString FormatThousands(uint32_t n);
CWideString FormatThousands64(uint64_t n);
// A count in short form: below 1000 as it is, then three significant digits
// (cut) with K, M, G, T, P, E (powers of 1000): "999", "1.23K", "45.6M".
CWideString FormatCountShort(uint64_t n);
