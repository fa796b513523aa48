// The two text serialisations of stored data: "tic" typed values and the
// keyword text.
//
// Tic typed values. A value follows a one-byte tag (any byte; tags above 127
// are raw bytes, read as unsigned):
//   number   T "=" ["-"] decimal "|"            (PutTicInt32, PutTicUInt16/32)
//   flag     T "=" ("0" | "1") "|"               (PutTicBool)
//   text     T ":" byte length ":" bytes "|"     (PutTicString; no escapes)
//   record   T "[" tagged values "]"
//   list     T "<" untagged values ">"           (a line feed may precede each element)
//   array    T "{=" count "|" count x (untagged value "|") "}"
// Unsigned numbers write 0xFFFFFFFF (65535 for 16 bits) as "-1" and
// 0xFFFFFFFE as "-2"; readers map "-1", "-2" and "-3" back.
//
// Keyword text: one key and value per line, "Key = value", two blanks of
// indentation per level. Values: a flag "Yes"/"No", a signed decimal, a text
// in double quotes, a string list "( ... )", or a block "<Name> ... </Name>".
// Quoted texts escape '\' and '"' with a backslash, a line feed as "\n", and
// every byte outside 0x20..0x7F as "\<decimal>;", so the text is pure ASCII
// and holds no raw line feed.
//
// Readers return false at the first fault with a message appended to sErr;
// tic messages quote the in-stream position as "Posn %ld". Both readers are
// meant for untrusted input: lengths are checked before anything is
// allocated, memory grows only with bytes actually read, and nesting depth is
// bounded.
#pragma once

#include "zor-coll.h"
#include "zor-stream.h"
#include "zor-string.h"

#include <cstdint>

// Deepest nesting of records, lists and arrays that SkipTicValue follows, and
// of blocks and lists that SkipNameValue follows.
constexpr int kTicMaxDepth = 256;
// Longest tic text a reader accepts (bytes).
constexpr int kTicMaxStringLength = 64 * 1024 * 1024;
// Longest bare keyword token and longest quoted keyword text (bytes).
constexpr int kKeywordMaxToken = 127;
constexpr int kKeywordMaxString = 1024 * 1024;

// ---------------------------------------------------------------- tic writers
// Each writes through ZorOutStream::PutChar/Write and returns false on the
// first failed write.
bool PutTicText(ZorOutStream& out, const char* sText, CWideString& sErr); // the bytes, as they are
bool PutTicText(ZorOutStream& out, const CNarrowString& sText, CWideString& sErr);
bool PutTicBool(ZorOutStream& out, unsigned char tag, bool b, CWideString& sErr);       // T=1| T=0|
bool PutTicUInt16(ZorOutStream& out, unsigned char tag, uint16_t n, CWideString& sErr); // 65535 as -1
bool PutTicUInt32(ZorOutStream& out, unsigned char tag, uint32_t n, CWideString& sErr); // -1, -2
bool PutTicInt32(ZorOutStream& out, unsigned char tag, int32_t n, CWideString& sErr);   // T=%d|
// ":" length ":" bytes "|"; the caller writes the tag first.
bool PutTicString(ZorOutStream& out, const CNarrowString& s, CWideString& sErr);
// The UTF-8 form of the text, as PutTicString.
bool PutTicWString(ZorOutStream& out, const CWideString& s, CWideString& sErr);

// Records "[...]", lists "<...>" and counted arrays "{=n|...}" with or without a tag.
bool PutTicRecordBegin(ZorOutStream& out, unsigned char tag, CWideString& sErr);            // T[
bool PutTicRecordBegin(ZorOutStream& out, CWideString& sErr);                               // [
bool PutTicRecordEnd(ZorOutStream& out, CWideString& sErr);                                 // ]
bool PutTicListBegin(ZorOutStream& out, unsigned char tag, CWideString& sErr);              // T<
bool PutTicListBegin(ZorOutStream& out, CWideString& sErr);                                 // <
bool PutTicListEnd(ZorOutStream& out, CWideString& sErr);                                   // >
bool PutTicArrayBegin(ZorOutStream& out, unsigned char tag, int nCount, CWideString& sErr); // T{=n|
bool PutTicArrayElementEnd(ZorOutStream& out, CWideString& sErr); // | after each element
bool PutTicArrayEnd(ZorOutStream& out, CWideString& sErr);        // }

// ---------------------------------------------------------------- tic readers
// Reads one byte and requires it to be `expected`:
// "GetTicPrefix: Posn %ld: bad type '%c' (%X), '%c' expected".
[[gnu::cold]] void GetTicPrefixFailed(ZorInStream& in, bool bGot, unsigned char ch, unsigned char expected,
                                      CWideString& sErr);
inline bool GetTicPrefix(ZorInStream& in, unsigned char expected, CWideString& sErr) {
    unsigned char ch = 0;
    const bool bGot = in.GetChar(ch, sErr);
    if (bGot && ch == expected) [[likely]]
        return true;
    GetTicPrefixFailed(in, bGot, ch, expected, sErr);
    return false;
}
// After the tag: "=", "0" or "1", "|".
bool GetTicBool(ZorInStream& in, unsigned char tag, bool& b, CWideString& sErr);
bool GetTicBool(ZorInStream& in, unsigned char tag, unsigned char& b, CWideString& sErr);
// The prefix byte, an optional "-", decimal digits (signed 32-bit range) and the end byte.
bool GetTicInt32No(ZorInStream& in, unsigned char tag, unsigned char prefix, unsigned char end, int32_t& n,
                   CWideString& sErr);
// GetTicInt32No with "=" and "|".
bool GetTicInt32(ZorInStream& in, unsigned char tag, int32_t& n, CWideString& sErr);
// After the tag: "=", an optional "-", digits, "|". "-1", "-2", "-3" give the
// three largest values; other negatives and values out of range are refused.
bool GetTicUInt16(ZorInStream& in, unsigned char tag, uint16_t& n, CWideString& sErr);
bool GetTicUInt32(ZorInStream& in, unsigned char tag, uint32_t& n, CWideString& sErr);
// After the tag: ":" length ":" bytes "|". A negative length or one above
// kTicMaxStringLength is refused.
bool GetTicString(ZorInStream& in, unsigned char tag, CNarrowString& s, CWideString& sErr);
// GetTicString, then UTF-8 to UTF-16 (invalid sequences become U+FFFD).
bool GetTicWString(ZorInStream& in, unsigned char tag, CWideString& s, CWideString& sErr);
// Skips the one value of any form that follows a tag already read.
bool SkipTicValue(ZorInStream& in, unsigned char tag, CWideString& sErr);
// Skips one untagged value whose first byte `first` has been read (a list or
// array element); `tag` names the enclosing value in messages.
bool SkipTicElement(ZorInStream& in, unsigned char tag, unsigned char first, CWideString& sErr);

// Reads one byte inside a value; the end of the input there is an error
// ("Posn %ld: @%c: unexpected end of input").
bool GetTicChar(ZorInStream& in, unsigned char tag, unsigned char& ch, CWideString& sErr);
// Inside a record: reads the next tag, or the closing byte `end` (bEnd set).
[[gnu::cold]] void GetTicTagAtEnd(ZorInStream& in, unsigned char end, CWideString& sErr);
inline bool GetTicTag(ZorInStream& in, unsigned char end, unsigned char& tag, bool& bEnd, CWideString& sErr) {
    unsigned char ch;
    if (!in.GetChar(ch, sErr)) [[unlikely]] {
        GetTicTagAtEnd(in, end, sErr);
        return false;
    }
    bEnd = ch == end;
    tag = ch;
    return true;
}
// Inside a list (after "<"): consumes one line feed, then either consumes the
// closing ">" (bEnd set) or leaves the first byte of the next element unread.
bool GetTicListNext(ZorInStream& in, bool& bEnd, CWideString& sErr);
// After the array's tag: "{=" count "|"; a negative count is refused.
bool GetTicArrayBegin(ZorInStream& in, unsigned char tag, int& nCount, CWideString& sErr);
// The "|" after an element ("bad char after array element: ") and the closing
// "}" ("bad char after array: ").
bool GetTicArrayElementEnd(ZorInStream& in, CWideString& sErr);
bool GetTicArrayEnd(ZorInStream& in, CWideString& sErr);

// ---------------------------------------------------------------- keyword writers
// Indentation is two blanks per level. A null key writes the value alone.
// "Key = Yes" / "Key = No" without a line feed (the caller writes it).
bool PutNameValueBool(ZorOutStream& out, const char* sKey, int nLevel, bool b, CWideString& sErr);
// "Key = <decimal>" and a line feed.
bool PutNameValueInt(ZorOutStream& out, const char* sKey, int nLevel, int32_t n, CWideString& sErr);
// "Key = " and the quoted, escaped bytes, then a line feed.
bool PutNameValueString(ZorOutStream& out, const char* sKey, int nLevel, const CNarrowString& s,
                        CWideString& sErr);
// The UTF-8 form of the text, as PutNameValueString.
bool PutNameValueWString(ZorOutStream& out, const char* sKey, int nLevel, const CWideString& s,
                         CWideString& sErr);
// "Key = (" and a line feed (not indented), each element quoted on its own
// line at nLevel, then ") ".
bool PutNameValueStringList(ZorOutStream& out, const char* sKey, int nLevel, const CListT<CWideString>& list,
                            CWideString& sErr);
// The quoted, escaped form of the bytes (what PutNameValueString writes).
CNarrowString QuoteKeywordString(const CNarrowString& s);

// ---------------------------------------------------------------- keyword readers
// The next token after blanks, tabs, line feeds and carriage returns: a bare
// word (up to kKeywordMaxToken bytes, ended by white space or the end of the
// input) or a quoted text (bQuoted set; escapes undone; up to
// kKeywordMaxString bytes). False at the end of the input (in.IsEof() is then
// true) and on a malformed token.
bool ReadSettingsToken(ZorInStream& in, CNarrowString& sToken, bool& bQuoted, CWideString& sErr);
// An optional bare "=", then the bare token "<" + name + ">".
bool ReadObjectPrefix(ZorInStream& in, const char* sName, CWideString& sErr);
// "=" and a bare "T"/"Yes" (true) or "F"/"No" (false).
bool ReadNameValueBool(ZorInStream& in, const char* sKey, bool& b, CWideString& sErr);
bool ReadNameValueBool(ZorInStream& in, const char* sKey, unsigned char& b, CWideString& sErr);
// "=" and a bare signed decimal in the 32-bit range.
bool ReadNameValueInt(ZorInStream& in, int32_t& n, CWideString& sErr);
// "=" and a quoted text.
bool ReadNameValueString(ZorInStream& in, CNarrowString& s, CWideString& sErr);
// ReadNameValueString, then UTF-8 to UTF-16 (invalid sequences become U+FFFD).
bool ReadNameValueWString(ZorInStream& in, CWideString& s, CWideString& sErr);
// Skips "=" and the value of a key the reader does not know: one token, a
// string list, or a block with everything nested in it.
bool SkipNameValue(ZorInStream& in, const CNarrowString& sKey, CWideString& sErr);
// Clears the list, then reads "=", "(", quoted texts and ")".
bool ReadStringList(ZorInStream& in, CListT<CWideString>& list, CWideString& sErr);
