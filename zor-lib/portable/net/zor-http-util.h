// Small pieces around the HTTP client: the media type of a file name, number
// and header helpers, the cookie text parser and writer, the texts that the
// request and response log lines show, and the line-readable body source.
#pragma once

#include "zor-coll.h"
#include "zor-file.h"
#include "zor-string.h"

#include <cstdint>

class CRsp;

using HttpHeaderMap = CHashMapT<CNarrowString, CNarrowString>;
using HttpCookieMap = CHashMapT<CNarrowString, CNarrowString>;

// Content-length markers (the same values as CRsp::kNoLength / kChunked).
constexpr int64_t kHttpNoLength = 0x7FFFFFFFFFFFFFFFLL;
constexpr int64_t kHttpChunked = 0x7FFFFFFFFFFFFFFELL;

// ---------------------------------------------------------------- media types
// The media type of the extension after the last '.' of the name (exact,
// case-sensitive) is appended to type. "no extension in file name" or
// "not found" otherwise.
bool MimeTypeByExtension(const CWideString& name, CNarrowString& type, CWideString& err);
// The table itself, in its order.
int MimeTableSize();
const char* MimeTableExtension(int i);
const char* MimeTableType(int i);

// ---------------------------------------------------------------- numbers
// Decimal digits from the start, then the end of the text or a blank.
// "bad number: " and the text (kind 5) otherwise, and on overflow. An empty
// text is 0.
bool ParseDecimal32(const CNarrowString& text, uint32_t& value, int& kind, CWideString& err);
bool ParseDecimal64(const CNarrowString& text, int64_t& value, int& kind, CWideString& err);
// Digits from the start up to the first other character; saturates at the
// largest 64-bit value. Always true.
bool ParseDecimal64Loose(int64_t& value, const CNarrowString& text);

// ---------------------------------------------------------------- headers
// Appends "name: value\r\n" when both are non-empty. CR, LF and NUL in the
// value become blanks, so a value can never start another header line.
void AppendHeaderLine(CNarrowString& block, const char* name, const CNarrowString& value);
// The text with CR, LF and NUL replaced by blanks.
CNarrowString HttpCleanHeaderValue(const CNarrowString& text);
// Adds a header to a map: a name already present gets "; " and the value
// appended. Trailing blanks and semicolons are trimmed from the stored value.
void HttpAddHeader(HttpHeaderMap& map, const CNarrowString& lowerName, const CNarrowString& value);
// Puts text into the reply part of the record as a complete in-memory body.
void HttpSetBodyText(CRsp& rsp, const CNarrowString& text);

// ---------------------------------------------------------------- cookies
// "name=value" items separated by ';'; the attributes path, domain, comment,
// max-age, version, httponly, secure and expires are skipped. A new or
// changed cookie sets bChanged. Names and values lose CR, LF and NUL.
void ParseSetCookie(const CNarrowString& text, HttpCookieMap& map, bool& bChanged);
// The map's entries as "name=value" joined by "; ", appended to out.
void HttpCookieText(const HttpCookieMap& map, CNarrowString& out);

// ---------------------------------------------------------------- log texts
// "[unknown]", "[chunked]" or the decimal length.
CNarrowString HttpLengthText(int64_t nLength);
// The request header lines, lower-cased, with every credential, challenge,
// cookie and ticket value replaced by "...", CR LF shown as '|'.
CNarrowString HttpRequestHeadersForLog(const CNarrowString& headers);
// The body part of the request log line.
CNarrowString HttpRequestBodyForLog(const CRsp& rsp, bool bFileOpen);
// "name=value|" per header; credentials, challenges and cookies masked,
// user-agent, cache-control, pragma, date, ticket and host left out.
CNarrowString HttpHeadersForLog(const HttpHeaderMap& map);
// "[empty]", "complete-in-memory[n]", "complete-in-file[n-path]", "? len=..."
// or "not-complete len=...".
CNarrowString HttpBodyDescription(const CRsp& rsp);

// ---------------------------------------------------------------- body source
// Bytes and lines from a memory text or, when a path is set, from a file.
class ZorHttpBody {
public:
    int64_t m_nLength = 0; // bytes in m_sText
    CNarrowString m_sText;
    CWideString m_sFilePath;
    int32_t m_nPosition = 0;

    // Lines longer than this fail with "line too long".
    static constexpr int kMaxLine = 1000000;

    bool Open(int& kind, CWideString& err);
    bool ReadByte(char& ch, bool& bEnd, int& kind, CWideString& err);
    bool ReadBytes(CNarrowString& out, int nCount, bool& bEnd, int& kind, CWideString& err);
    // One line without its LF (a final CR is dropped too). The last line
    // may end without LF; bEnd is set once nothing is left.
    bool ReadLine(CNarrowString& line, int nInitialSize, bool& bEnd, int& kind, CWideString& err);

private:
    CFileHandle m_hFile;
    char m_buf[32768];
    int m_nBufLen = 0;
    int m_nBufPos = 0;
};
