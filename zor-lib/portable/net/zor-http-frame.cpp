// HTTP/1.1 message framing on the program's own sockets: the request head,
// status line and header lines, and bodies (declared length, chunked, to the
// end of the stream; into memory or a file) in both directions.
#include "zor-http.h"

#include "zor-file.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-unicode.h"
#include "zor-winsock.h"

#include <sys/stat.h>

// ============================================================ request head
bool HttpWriteRequestHead(ZorSocket& s, const CNarrowString& requestLine, const CNarrowString& headers,
                          const CNarrowString& hostLine, bool bChunked, int64_t nLength, int& kind, CWideString& err) {
    CNarrowString head;
    head.Preallocate(requestLine.GetLength() + headers.GetLength() + 256);
    head += requestLine;
    head += "\r\n";
    if (bChunked)
        head += "Transfer-Encoding: chunked\r\n";
    else
        head.AppendFormat("Content-Length: %lld\r\n", (long long)nLength);
    head += headers;
    if (!hostLine.IsEmpty()) head.AppendFormat("Host: %s\r\n", hostLine);
    head += "Connection: Keep-Alive\r\n";
    head += "Pragma: no-cache\r\n";
    head += "Cache-Control: no-cache\r\n";
    if (g_sHttpUserAgent.IsEmpty())
        head.AppendFormat("User-Agent: ZorSocket/%d.%d.%d.%d (%s)\r\n", 9, 2, 9, 0, g_sHttpSystemInfo);
    else
        head.AppendFormat("User-Agent: %s (%s)\r\n", g_sHttpUserAgent, g_sHttpSystemInfo);
    head += "\r\n";
    return s.Write(head.GetString(), head.GetLength(), kind, err);
}

// ============================================================ header lines
namespace {

struct HeaderState {
    int64_t nLength = kHttpNoLength;
    bool bLengthSeen = false;
    bool bChunked = false;
    bool bClose = false;
    int nLines = 0;
    int nBytes = 0;
};

bool Fail(int& kind, CWideString& err, int k, const CWideString& text) {
    kind = k;
    err += text;
    return false;
}

CWideString LineText(const CNarrowString& line) {
    return Utf8OrAnsiToWide(line);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// One header line (after the status line) into the state and the map.
bool ApplyHeaderLine(const CNarrowString& line, HeaderState& st, HttpHeaderMap& map, int& kind, CWideString& err) {
    if (++st.nLines > kHttpMaxHeaderLines)
        return Fail(kind, err, FSE_NOT_FOUND,
                    CWideString::Formatted(u"Too many HTTP header lines: more than %d", kHttpMaxHeaderLines));
    st.nBytes += line.GetLength() + 2;
    if (st.nBytes > kHttpMaxHeaderSection)
        return Fail(kind, err, FSE_NOT_FOUND,
                    CWideString::Formatted(u"HTTP header too long: more than %d bytes", kHttpMaxHeaderSection));
    int colon = line.Find(':');
    if (colon < 0) return Fail(kind, err, FSE_NOT_FOUND, CWideString::Formatted(u"Bad HTTP header line: '%s'", LineText(line)));
    CNarrowString name = line.Left(colon);
    name.MakeLower();
    CNarrowString value = line.Mid(colon + 1, line.GetLength());
    value.Trim(" \t");
    if (name == "content-length") {
        if (st.bChunked) return true;
        if (st.bLengthSeen)
            return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"Duplicate Content-Length line in HTTP header"));
        int i = 0;
        int64_t n = 0;
        int n1 = value.GetLength();
        // 18 digits never overflow; a 19th is refused before it is added
        while (i < n1 && value[i] >= '0' && value[i] <= '9' && i < 19) {
            if (i < 18) n = n * 10 + (value[i] - '0');
            ++i;
        }
        int digits = i;
        while (i < n1 && IsBlank(value[i])) ++i;
        if (digits == 0 || digits > 18 || i != n1)
            return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"Bad Content-Length HTTP header: ") + LineText(value));
        st.bLengthSeen = true;
        st.nLength = n;
        return true;
    }
    if (name == "transfer-encoding") {
        // chunked is the only coding the reader knows: a body coded any other
        // way (or chunked twice) cannot be framed, least of all by a length
        if (!EqualsNoCase(value, CNarrowString("chunked")) || st.bChunked)
            return Fail(kind, err, FSE_NOT_FOUND,
                        CWideString(u"Unsupported Transfer-Encoding in HTTP header: ") + LineText(value));
        st.bChunked = true;
        st.nLength = kHttpChunked;
        return true;
    }
    if (name == "connection" || name == "proxy-connection") {
        if (EqualsNoCase(value, CNarrowString("close"))) st.bClose = true;
        return true;
    }
    HttpAddHeader(map, name, value);
    return true;
}

// Reads one line ending in LF (a CR must come right before the LF). bAny
// tells whether a byte arrived; bEof a close before the LF.
bool ReadHeaderLine(ZorSocket& s, CNarrowString& line, bool& bAny, bool& bEof, int& kind, CWideString& err,
                    bool& bReadError) {
    char buf[kHttpMaxHeaderLine];
    int n = 0;
    bool cr = false;
    bAny = false;
    bEof = false;
    bReadError = false;
    for (;;) {
        uint8_t b = 0;
        bool eof = false;
        if (!s.ReadByte(b, eof, kind, err)) {
            bReadError = true;
            return false;
        }
        if (eof) {
            bEof = true;
            return true;
        }
        bAny = true;
        if (cr) {
            if (b != '\n') return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"No LF after CR at the end of line of HTTP header"));
            break;
        }
        if (b == '\n') break;
        if (b == '\r') {
            cr = true;
            continue;
        }
        if (n >= kHttpMaxHeaderLine) return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"line too long"));
        buf[n++] = (char)b;
    }
    line.SetString(buf, n);
    return true;
}

bool ParseStatusLine(const CNarrowString& line, int& nStatus, CNarrowString& reason, int& kind, CWideString& err) {
    auto bad = [&]() {
        return Fail(kind, err, FSE_NOT_FOUND, CWideString::Formatted(u"Bad HTTP header Status-Line: '%s'", LineText(line)));
    };
    int n = line.GetLength();
    if (n < 9 || !line.StartsWith("HTTP/1.") || line[7] < '0' || line[7] > '9' || line[8] != ' ') return bad();
    int i = 9;
    int status = 0;
    while (i < n && line[i] >= '0' && line[i] <= '9') {
        if (i - 9 >= 9) return bad();
        status = status * 10 + (line[i] - '0');
        ++i;
    }
    if (i < n) {
        if (line[i] != ' ') return bad();
        reason = line.Mid(i + 1, n);
    }
    nStatus = status;
    return true;
}

} // namespace

bool HttpReadStatusAndHeaders(ZorSocket& s, int64_t& nLength, HttpHeaderMap& map, int& nStatus,
                              CNarrowString& reason, bool& bClose, int& kind, CWideString& err) {
    nLength = kHttpNoLength;
    map.RemoveAll();
    nStatus = 0;
    reason.Empty();
    bClose = false;
    HeaderState st;
    CNarrowString statusLine;
    bool first = true;
    s.m_nLastReadError = 0;
    for (;;) {
        CNarrowString line;
        bool any = false, eof = false, readError = false;
        CWideString lineErr;
        if (!ReadHeaderLine(s, line, any, eof, kind, lineErr, readError)) {
            if (readError) {
                err += u"receiving HTTP header: ";
                err += lineErr;
                // nothing of the answer arrived and the connection ended or was
                // reset: the server dropped a kept-alive connection. A time-out
                // stays a lost connection (kind 3), and a stop keeps its kind.
                if (first && !any && kind != FSE_STOPPED && s.m_nLastReadError != ZWSA_ETIMEDOUT)
                    kind = FSE_CONN_CLOSED;
            } else {
                err += lineErr;
            }
            return false;
        }
        if (eof) {
            kind = (first && !any) ? FSE_CONN_CLOSED : FSE_CONN_LOST;
            err += u"socket closed while receiving HTTP header";
            return false;
        }
        if (first) {
            if (line.IsEmpty()) return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"No HTTP Request-Line/Status-Line received"));
            statusLine = line;
            first = false;
            continue;
        }
        if (line.IsEmpty()) break;
        if (!ApplyHeaderLine(line, st, map, kind, err)) return false;
    }
    if (!ParseStatusLine(statusLine, nStatus, reason, kind, err)) return false;
    nLength = st.nLength;
    bClose = st.bClose;
    return true;
}

bool HttpParseRawHeaders(const CNarrowString& raw, int64_t& nLength, HttpHeaderMap& map, bool& bClose, int& kind,
                         CWideString& err) {
    nLength = kHttpNoLength;
    map.RemoveAll();
    bClose = false;
    HeaderState st;
    int pos = 0;
    int n = raw.GetLength();
    bool first = true;
    while (pos < n) {
        int end = raw.Find('\n', pos);
        if (end < 0) end = n;
        CNarrowString line = raw.Mid(pos, end - pos);
        if (line.GetLast() == '\r') line.Truncate(line.GetLength() - 1);
        pos = end + 1;
        if (first) {
            first = false;
            continue;
        }
        if (line.IsEmpty()) break;
        if (line.GetLength() > kHttpMaxHeaderLine) return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"line too long"));
        if (!ApplyHeaderLine(line, st, map, kind, err)) return false;
    }
    nLength = st.nLength;
    bClose = st.bClose;
    return true;
}

bool HttpParseChunkSize(const CNarrowString& line, int64_t& nSize, int& kind, CWideString& err) {
    int n = line.GetLength();
    int i = 0;
    int64_t v = 0;
    while (i < n) {
        char c = line[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        if (i >= 15) break; // 15 hexadecimal digits never overflow
        v = v * 16 + d;
        ++i;
    }
    int digits = i;
    while (i < n && IsBlank(line[i])) ++i;
    // a chunk extension (";name[=value]") carries nothing we use
    bool tailOk = i == n || line[i] == ';';
    bool tooLong = digits == 15 && digits < n &&
                   ((line[15] >= '0' && line[15] <= '9') || (line[15] >= 'a' && line[15] <= 'f') ||
                    (line[15] >= 'A' && line[15] <= 'F'));
    if (digits == 0 || tooLong || !tailOk)
        return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"bad chunk length: ") + LineText(line));
    nSize = v;
    return true;
}

// ============================================================ body sink
HttpBodySink::HttpBodySink(HttpBodyTarget& t, ZorHttpConn* pConn) : m_t(t), m_pConn(pConn) {}
HttpBodySink::~HttpBodySink() {
    m_file.CloseQuiet();
}

bool HttpBodySink::Open(int& kind, CWideString& err) {
    m_bMemory = m_t.sFile.IsEmpty();
    if (m_bMemory) return true;
    return OpenFile(m_t.sFile, kind, err);
}

bool HttpBodySink::Announce(int64_t nLength, int& kind, CWideString& err) {
    if (!WithinLimit(nLength, kind, err)) return false;
    if (IsFile() || nLength < m_t.nMemoryLimit) return true;
    return Overflow(nLength, kind, err);
}

bool HttpBodySink::WithinLimit(int64_t nTotal, int& kind, CWideString& err) {
    if (m_t.nMaxBytes < 0 || nTotal <= m_t.nMaxBytes) return true;
    kind = FSE_NOT_FOUND;
    err += CWideString::Formatted(u"Response body is longer than %lld bytes", (long long)m_t.nMaxBytes);
    return false;
}

bool HttpBodySink::Put(const char* p, int n, int& kind, CWideString& err) {
    if (!WithinLimit(m_t.nReceived + n, kind, err)) return false;
    if (!IsFile()) {
        if ((int64_t)m_t.pText->GetLength() + n > m_t.nMemoryLimit) {
            if (!Overflow(m_t.nReceived + n, kind, err)) return false;
        } else {
            m_t.pText->Append(p, n);
            m_t.nReceived += n;
            return true;
        }
    }
    m_t.nReceived += n;
    while (n > 0) {
        int take = std::min(n, (int)sizeof(m_buf) - m_nBuf);
        memcpy(m_buf + m_nBuf, p, take);
        m_nBuf += take;
        p += take;
        n -= take;
        if (m_nBuf == (int)sizeof(m_buf) && !FlushFile(kind, err)) return false;
    }
    return true;
}

bool HttpBodySink::Finish(int& kind, CWideString& err) {
    if (!IsFile()) return true;
    if (!FlushFile(kind, err)) return false;
    return m_file.Close(kind, err);
}

bool HttpBodySink::OpenFile(const CWideString& path, int& kind, CWideString& err) {
    if (!ZorOpenFileWrite(path, m_file, 0, kind, err)) return false;
    if (path.EndsWithNoCase(u"._tvtmp")) {
        int k = 0;
        CWideString e;
        ZorSetFileAttributes(path, ZorGetFileAttributes(path) | ZOR_FILE_ATTRIBUTE_HIDDEN, k, e);
    }
    return true;
}

bool HttpBodySink::Overflow(int64_t nBytes, int& kind, CWideString& err) {
    if (!m_t.bSpillAllowed) {
        kind = FSE_GENERAL;
        m_t.bRefused = true;
        err += CWideString::Formatted(u"Response body is too long for memory, %lld bytes", (long long)nBytes);
        return false;
    }
    CWideString name;
    // Made owner-only; no mode is given by its name.
    if (!ZorGetTempFileName(m_t.sSpillFolder, nullptr, name, kind, err)) return false;
    m_t.sFile = name;
    m_t.bSpilled = true;
    if (!OpenFile(name, kind, err)) return false;
    CNarrowString held = std::move(*m_t.pText);
    m_t.pText->Empty();
    int64_t before = m_t.nReceived;
    m_t.nReceived = 0; // the held bytes are counted once
    if (!held.IsEmpty() && !Put(held.GetString(), held.GetLength(), kind, err)) return false;
    m_t.nReceived = before;
    return true;
}

bool HttpBodySink::FlushFile(int& kind, CWideString& err) {
    if (m_nBuf == 0) return true;
    if (!m_file.Write(m_buf, (uint32_t)m_nBuf, kind, err)) return false;
    m_nBuf = 0;
    if (m_pConn) {
        m_pConn->Touch();
        if (!ICopyProgress::Report(m_pConn->m_pProgress, false, m_t.nReceived, kind, err)) return false;
    }
    return true;
}

int64_t HttpBodyLimit(const CRsp& rsp, int nStatus, bool bCallerFile) {
    if (rsp.m_nMaxBody >= 0 && nStatus >= 200 && nStatus < 300) return rsp.m_nMaxBody;
    return bCallerFile ? -1 : kHttpSpillLimit;
}

// ============================================================ body reading
namespace {

struct BodyTexts {
    const char16_t* closedExact;
    const char16_t* closedChunked;
    const char16_t* readError;
};
const BodyTexts kMemoryTexts = {u"socket closed while receiving message body",
                                u"socket closed while receiving chunked content", u"receiving body: "};
const BodyTexts kFileTexts = {u"Premature end of file while reading remote file",
                              u"socket closed while receiving chunked body", u"Downloading file: "};

// Reads exactly n bytes (or, with n < 0, to the end of the stream).
bool ReadCount(ZorSocket& s, int64_t n, HttpBodySink& sink, const BodyTexts& texts, bool bChunk, int& kind,
               CWideString& err) {
    char buf[32768];
    int64_t left = n;
    while (n < 0 || left > 0) {
        int want = (int)((n < 0 || left > (int64_t)sizeof(buf)) ? sizeof(buf) : left);
        int got = 0;
        bool eof = false;
        CWideString e;
        if (!s.Read(buf, want, got, eof, kind, e)) {
            err += texts.readError;
            err += e;
            return false;
        }
        if (got > 0 && !sink.Put(buf, got, kind, err)) return false;
        if (eof) {
            if (n < 0) return true;
            kind = FSE_CONN_LOST;
            err += bChunk ? texts.closedChunked : texts.closedExact;
            return false;
        }
        left -= got;
    }
    return true;
}

// A line of the chunked framing (size line, closing line, trailer).
bool ReadFramingLine(ZorSocket& s, CNarrowString& line, const BodyTexts& texts, int& kind, CWideString& err) {
    bool any = false, eof = false, readError = false;
    CWideString e;
    if (!ReadHeaderLine(s, line, any, eof, kind, e, readError)) {
        if (readError) err += texts.readError;
        err += e;
        return false;
    }
    if (eof) {
        kind = FSE_CONN_LOST;
        err += texts.closedChunked;
        return false;
    }
    return true;
}

bool ReadChunked(ZorSocket& s, HttpBodySink& sink, const BodyTexts& texts, int& kind, CWideString& err) {
    for (;;) {
        CNarrowString line;
        if (!ReadFramingLine(s, line, texts, kind, err)) return false;
        int64_t size = 0;
        if (!HttpParseChunkSize(line, size, kind, err)) return false;
        if (size == 0) break;
        // a chunk that memory cannot take is refused (or spilled) before it is read
        if (!sink.IsFile() && !sink.Announce(size, kind, err)) return false;
        if (!ReadCount(s, size, sink, texts, true, kind, err)) return false;
        if (!ReadFramingLine(s, line, texts, kind, err)) return false;
        if (!line.IsEmpty()) return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"bad chunk closing: ") + LineText(line));
    }
    // Trailer lines up to the empty line, so that the next answer on a kept
    // connection starts at its status line.
    HeaderState st;
    HttpHeaderMap ignored;
    for (;;) {
        CNarrowString line;
        if (!ReadFramingLine(s, line, texts, kind, err)) return false;
        if (line.IsEmpty()) return true;
        if (++st.nLines > kHttpMaxHeaderLines || (st.nBytes += line.GetLength() + 2) > kHttpMaxHeaderSection)
            return Fail(kind, err, FSE_NOT_FOUND, CWideString(u"HTTP trailer too long"));
    }
}

} // namespace

bool HttpReadBodyTo(ZorSocket& s, ZorHttpConn* pConn, bool bReadToClose, int64_t nLength, HttpBodyTarget& target,
                    int& kind, CWideString& err) {
    target.nReceived = 0;
    target.bSpilled = false;
    CNarrowString scratch;
    if (!target.pText) target.pText = &scratch;
    HttpBodySink sink(target, pConn);
    const BodyTexts& texts = target.sFile.IsEmpty() ? kMemoryTexts : kFileTexts;
    bool ok = sink.Open(kind, err);
    if (ok) {
        if (nLength == kHttpChunked) {
            ok = ReadChunked(s, sink, texts, kind, err);
        } else if (nLength == kHttpNoLength) {
            if (bReadToClose) ok = ReadCount(s, -1, sink, texts, false, kind, err);
        } else if (nLength > 0) {
            // a memory read that may hold up to the chunk limit refuses more with
            // its own message; smaller limits refuse through the sink
            if (!sink.IsFile() && nLength >= kHttpChunkLimit && !target.bSpillAllowed &&
                target.nMemoryLimit >= kHttpChunkLimit - 1) {
                kind = FSE_GENERAL;
                err += CWideString::Formatted(u"chunk too long: %lld", (long long)nLength);
                ok = false;
            } else {
                ok = sink.Announce(nLength, kind, err) && ReadCount(s, nLength, sink, texts, false, kind, err);
            }
        }
    }
    if (ok) ok = sink.Finish(kind, err);
    if (!ok) s.CloseQuietly();
    if (target.pText == &scratch) target.pText = nullptr;
    return ok;
}

bool HttpReadBody(ZorSocket& s, bool bReadToClose, int64_t nLength, CNarrowString& text, int& kind,
                  CWideString& err) {
    HttpBodyTarget t;
    t.pText = &text;
    t.nMemoryLimit = kHttpChunkLimit - 1;
    return HttpReadBodyTo(s, nullptr, bReadToClose, nLength, t, kind, err);
}

bool HttpDownloadToFile(ZorHttpConn& conn, const CWideString& file, CRsp& rsp, int& kind, CWideString& err) {
    ICopyProgress* p = conn.m_pProgress;
    if (p && p->m_nDivisor != 0 && rsp.m_nContentLength != kHttpChunked && rsp.m_nContentLength != kHttpNoLength)
        p->m_nTotal = rsp.m_nContentLength;
    HttpBodyTarget t;
    t.sFile = file;
    t.nMaxBytes = HttpBodyLimit(rsp, rsp.m_nStatus, true);
    return HttpReadBodyTo(conn.m_sock, &conn, true, rsp.m_nContentLength, t, kind, err);
}

bool HttpDrainBody(CRsp& rsp, ZorSocket& s, int& kind, CWideString& err) {
    int64_t len = rsp.m_nContentLength;
    if (len == 0 || len == kHttpNoLength || rsp.m_bBodyComplete || !s.IsOpen()) return true;
    if (len == kHttpChunked) {
        // read through the chunked framing; the bytes are forgotten
        HttpBodyTarget t;
        CNarrowString dropped;
        t.pText = &dropped;
        bool ok = HttpReadBodyTo(s, nullptr, false, len, t, kind, err);
        rsp.m_bBodyComplete = 1;
        return ok;
    }
    char buf[32768];
    while (len > 0) {
        int got = 0;
        bool eof = false;
        if (!s.Read(buf, (int)std::min<int64_t>(len, (int64_t)sizeof(buf)), got, eof, kind, err)) {
            s.CloseQuietly();
            return false;
        }
        if (eof) {
            s.CloseQuietly();
            break;
        }
        len -= got;
    }
    rsp.m_bBodyComplete = 1;
    return true;
}

// ============================================================ body sending
bool HttpWriteChunk(ZorSocket& s, const void* data, int len, int& kind, CWideString& err) {
    CNarrowString head;
    head.Format("%x\r\n", len);
    return s.Write(head.GetString(), head.GetLength(), kind, err) && (len == 0 || s.Write(data, len, kind, err)) &&
           s.Write("\r\n", 2, kind, err);
}

bool HttpUploadBody(ZorHttpConn& conn, CBufferedFile& source, bool bChunked, CRsp& rsp, int& kind,
                    CWideString& err) {
    if (!source.Rewind(kind, err)) {
        if (kind == FSE_CONN_LOST) kind = FSE_GENERAL;
        return false;
    }
    int64_t sent = 0;
    for (;;) {
        CNarrowString data;
        if (!source.ReadChunk(data, kind, err)) {
            if (kind == FSE_CONN_LOST) kind = FSE_GENERAL;
            return false;
        }
        if (data.IsEmpty()) break;
        // a source that grew since its length was promised: nothing past the
        // promise goes out, and the connection ends short of it
        if (!bChunked && sent + data.GetLength() > rsp.m_nBodyLength) {
            conn.m_sock.CloseQuietly();
            kind = FSE_NOT_FOUND;
            err += CWideString::Formatted(u"Uploaded file longer than promised: expected %lld, actual %lld bytes",
                                          (long long)rsp.m_nBodyLength, (long long)(sent + data.GetLength()));
            return false;
        }
        CWideString e;
        bool ok = bChunked ? HttpWriteChunk(conn.m_sock, data.GetString(), data.GetLength(), kind, e)
                           : conn.m_sock.Write(data.GetString(), data.GetLength(), kind, e);
        if (!ok) {
            err += bChunked ? u"Cannot write chunk: " : u"Cannot write remote file: ";
            err += e;
            return false;
        }
        sent += data.GetLength();
        conn.Touch();
        if (!ICopyProgress::Report(conn.m_pProgress, true, sent, kind, err)) return false;
    }
    if (bChunked) {
        CWideString e;
        if (!HttpWriteChunk(conn.m_sock, "", 0, kind, e)) {
            err += u"Cannot write chunk: ";
            err += e;
            return false;
        }
    }
    int64_t promised = rsp.m_nBodyLength;
    if (sent != promised) {
        kind = FSE_NOT_FOUND;
        err += CWideString::Formatted(sent < promised ? u"Uploaded file shorter than promised: expected %lld, actual %lld bytes"
                                                      : u"Uploaded file longer than promised: expected %lld, actual %lld bytes",
                                      (long long)promised, (long long)sent);
        return false;
    }
    return true;
}
