// The result e-mail: MIME building, the SMTP dialogue and the hand-over to
// the system's mail program.
#include "zor-mail.h"

#include "zor-file.h"
#include "zor-log.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-sendmail.h"
#include "zor-socket.h"
#include "zor-ssl.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cstring>
#include <ctime>

// ------------------------------------------------------------ replies

bool CSmtpReplyReader::AddLine(const CNarrowString& line, bool& bDone, int& kind, CWideString& err) {
    bDone = false;
    const bool bReplyLine = line.GetLength() >= 4 && isdigit((unsigned char)line[0]) &&
                            isdigit((unsigned char)line[1]) && isdigit((unsigned char)line[2]) &&
                            (line[3] == ' ' || line[3] == '-');
    if (++m_nLines > kMaxLines || m_sText.GetLength() + line.GetLength() > kMaxText) {
        err += u"bad reply: too long";
        kind = FSE_NOT_FOUND;
        return false;
    }
    if (!m_sText.IsEmpty()) m_sText += '\n';
    if (!bReplyLine) {
        m_sText += line;
        return true;
    }
    m_nCode = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    m_sText += line.Mid(4);
    if (m_nCode == 421) {
        err += u"Server Timeout: " + Utf8ToWide(m_sText);
        kind = FSE_CONN_LOST;
        return false;
    }
    bDone = line[3] == ' ';
    return true;
}

bool ReadSmtpReply(ZorSocket& sock, int& code, CNarrowString& text, int& kind, CWideString& err) {
    CSmtpReplyReader r;
    code = 0;
    text.Empty();
    for (;;) {
        CNarrowString line;
        bool bEof = false, bDone = false;
        if (!sock.ReadLine(line, bEof, kind, err)) return false;
        if (bEof && line.IsEmpty()) {
            err += u"socket closed while reading reply";
            kind = FSE_CONN_LOST;
            return false;
        }
        const bool ok = r.AddLine(line, bDone, kind, err);
        code = r.m_nCode;
        text = r.m_sText;
        if (!ok || bDone) return ok;
        if (bEof) {
            err += u"socket closed while reading reply";
            kind = FSE_CONN_LOST;
            return false;
        }
    }
}

// ------------------------------------------------------------ addresses

void SplitMailAddress(const CWideString& text, CWideString& name, CWideString& address) {
    const int lt = text.Find(u'<');
    if (lt < 0) {
        name.Empty();
        address = text;
        address.Trim();
        return;
    }
    name = text.Left(lt);
    name.Trim();
    if (name.GetLength() >= 2 && name[0] == u'"' && name.GetLast() == u'"') name = name.Mid(1, name.GetLength() - 2);
    address = text.Mid(lt + 1);
    address.Trim();
    if (!address.IsEmpty() && address.GetLast() == u'>') address = address.Left(address.GetLength() - 1);
    address.Trim();
}

namespace {

bool HasLineBreakOrNul(const CNarrowString& s) {
    for (int i = 0; i < s.GetLength(); ++i)
        if (s[i] == '\r' || s[i] == '\n' || s[i] == 0) return true;
    return false;
}

bool IsAscii(const CNarrowString& s) {
    for (int i = 0; i < s.GetLength(); ++i)
        if ((unsigned char)s[i] >= 128 || (unsigned char)s[i] < 32) return false;
    return true;
}

// Encoded words (RFC 2047, UTF-8, Base64) of at most 45 bytes each, never
// splitting a character, separated by a folding line break.
CNarrowString EncodedWords(const CNarrowString& s) {
    CNarrowString out;
    int i = 0;
    while (i < s.GetLength()) {
        int end = i + 45 < s.GetLength() ? i + 45 : s.GetLength();
        while (end > i + 1 && end < s.GetLength() && ((unsigned char)s[end] & 0xC0) == 0x80) --end;
        if (!out.IsEmpty()) out += "\r\n ";
        out += "=?UTF-8?B?" + Base64Encode(s.GetString() + i, (size_t)(end - i)) + "?=";
        i = end;
    }
    return out;
}

// A header text as one line: CR, LF and NUL become blanks; non-ASCII or
// very long text goes as encoded words.
CNarrowString HeaderText(CNarrowString s) {
    for (int i = 0; i < s.GetLength(); ++i)
        if (s[i] == '\r' || s[i] == '\n' || s[i] == 0) s.SetAt(i, ' ');
    return IsAscii(s) && s.GetLength() <= 900 ? s : EncodedWords(s);
}

// A display name: quoted (with '"' and '\' escaped) or as encoded words.
CNarrowString DisplayName(const CNarrowString& name) {
    if (!IsAscii(name)) return EncodedWords(name);
    CNarrowString q = "\"";
    for (int i = 0; i < name.GetLength(); ++i) {
        if (name[i] == '"' || name[i] == '\\') q += '\\';
        q += name[i];
    }
    return q + "\"";
}

// filename="..." for a plain ASCII name, else filename*=UTF-8''%XX (RFC 2231).
CNarrowString FileNameParam(const CNarrowString& name) {
    bool plain = IsAscii(name);
    for (int i = 0; plain && i < name.GetLength(); ++i) plain = name[i] != '"' && name[i] != '\\';
    if (plain) return "filename=\"" + name + "\"";
    CNarrowString out = "filename*=UTF-8''";
    for (int i = 0; i < name.GetLength(); ++i) {
        const unsigned char c = (unsigned char)name[i];
        if (isalnum(c) || strchr("-._~", c)) out += (char)c;
        else out.AppendFormat("%%%02X", (unsigned)c);
    }
    return out;
}

// "12 Mar 2026 10:00:00 +0000" in UTC from the clock, English names whatever the locale.
CNarrowString MailDate() {
    static const char* const kMon[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const char* const kDay[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    int64_t sec = 0;
    int ms = 0;
    ZorGetClock().Now(sec, ms);
    const time_t t = (time_t)sec;
    tm u{};
    gmtime_r(&t, &u);
    CNarrowString s;
    s.Format("%s, %d %s %d %02d:%02d:%02d +0000", kDay[u.tm_wday], u.tm_mday, kMon[u.tm_mon], u.tm_year + 1900,
             u.tm_hour, u.tm_min, u.tm_sec);
    return s;
}

CNarrowString ComputerName() {
    CNarrowString n = WideToUtf8(GetComputerNameText());
    return n.IsEmpty() ? CNarrowString("-UnknownComputer-") : n;
}

// Every line end CR LF.
CNarrowString CrLfLines(const CNarrowString& s) {
    CNarrowString out;
    out.Preallocate(s.GetLength() + s.GetLength() / 16 + 2);
    for (int i = 0; i < s.GetLength(); ++i) {
        if (s[i] == '\r') {
            out += "\r\n";
            if (i + 1 < s.GetLength() && s[i + 1] == '\n') ++i;
        } else if (s[i] == '\n') {
            out += "\r\n";
        } else {
            out += s[i];
        }
    }
    return out;
}

CNarrowString StripGuidBraces(const CNarrowString& g) {
    CNarrowString s = g;
    s.Remove('{');
    s.Remove('}');
    return s;
}

} // namespace

bool SplitMailRecipients(const CNarrowString& text, std::vector<CNarrowString>& out, int& kind, CWideString& err) {
    out.clear();
    int start = 0;
    for (int i = 0; i <= text.GetLength(); ++i) {
        if (i < text.GetLength() && text[i] != ';' && text[i] != ',') continue;
        CNarrowString token = text.Mid(start, i - start);
        start = i + 1;
        if (HasLineBreakOrNul(token)) {
            err += u"bad recipient: line break in " + Utf8ToWide(token);
            kind = FSE_GENERAL;
            return false;
        }
        CWideString name, address;
        SplitMailAddress(Utf8ToWide(token), name, address);
        if (!address.IsEmpty()) out.push_back(WideToUtf8(address));
    }
    return true;
}

void EncodeQuotedPrintable(const char* data, size_t len, bool bText, CNarrowString& out) {
    static const char kHex[] = "0123456789ABCDEF";
    int col = 0;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = (unsigned char)data[i];
        if (bText && c == '\r' && i + 1 < len && data[i + 1] == '\n') {
            out += "\r\n";
            col = 0;
            ++i;
            continue;
        }
        bool literal = c >= 33 && c <= 126 && c != '=';
        if (c == ' ') {
            // a blank is kept unless a line break or the end follows it
            const bool atEnd = i + 1 == len || (bText && data[i + 1] == '\r' && i + 2 < len && data[i + 2] == '\n');
            literal = !atEnd;
        }
        const int width = literal ? 1 : 3;
        if (col + width > 75) {
            out += "=\r\n";
            col = 0;
        }
        if (literal) {
            out += (char)c;
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        col += width;
    }
}

bool BuildMailMessage(const ZorMailContent& mail, CNarrowString& out, int& kind, CWideString& err) {
    out.Empty();
    CNarrowString m;
    m.AppendFormat("Message-ID: <%s@%s>\r\n", NewGuidString(), ComputerName());
    if (!mail.m_sFromAddress.IsEmpty() || !mail.m_sFromName.IsEmpty()) {
        if (HasLineBreakOrNul(mail.m_sFromAddress) || HasLineBreakOrNul(mail.m_sFromName)) {
            err += u"sender rejected: line break in the sender";
            kind = FSE_GENERAL;
            return false;
        }
        m += "From: " + DisplayName(mail.m_sFromName.IsEmpty() ? mail.m_sFromAddress : mail.m_sFromName) + " <" +
             mail.m_sFromAddress + ">\r\n";
    }
    if (!mail.m_aTo.empty()) {
        m += "To: ";
        int col = 4;
        for (size_t i = 0; i < mail.m_aTo.size(); ++i) {
            if (HasLineBreakOrNul(mail.m_aTo[i])) {
                err += u"bad recipient: line break in " + Utf8ToWide(mail.m_aTo[i]);
                kind = FSE_GENERAL;
                return false;
            }
            if (i > 0) {
                m += col > 800 ? ",\r\n " : ", ";
                if (col > 800) col = 1;
            }
            m += "<" + mail.m_aTo[i] + ">";
            col += mail.m_aTo[i].GetLength() + 4;
        }
        m += "\r\n";
    }
    m += "Subject: " + HeaderText(mail.m_sSubject) + "\r\n";
    m += "Date: " + MailDate() + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    const CNarrowString textHeaders = "Content-Type: text/plain; charset=UTF-8\r\n"
                                      "Content-Transfer-Encoding: quoted-printable\r\n";
    const CNarrowString body = CrLfLines(mail.m_sBody);
    if (mail.m_aAttachments.empty()) {
        m += textHeaders + "\r\n";
        EncodeQuotedPrintable(body.GetString(), (size_t)body.GetLength(), true, m);
        if (m.Right(2) != "\r\n") m += "\r\n";
        out = m;
        return true;
    }
    const CNarrowString boundary = "=_tv_" + StripGuidBraces(NewGuidString());
    m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
    m += "--" + boundary + "\r\n" + textHeaders + "\r\n";
    EncodeQuotedPrintable(body.GetString(), (size_t)body.GetLength(), true, m);
    m += "\r\n";
    for (const CWideString& path : mail.m_aAttachments) {
        m += "--" + boundary + "\r\n";
        m += "Content-Type: text/plain; charset=UTF-8\r\n";
        m += "Content-Disposition: attachment; " + FileNameParam(WideToUtf8(GetPathFileName(path))) + "\r\n";
        m += "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
        CBufferedFile f(path);
        f.SetReadBlock(32768);
        int k = 0;
        CWideString e;
        if (!f.Open(k, e)) {
            err += e;
            kind = k == FSE_CONN_LOST || k == 0 ? FSE_GENERAL : k;
            return false;
        }
        // Blocks are encoded as one run: a block boundary must not count as
        // the end of the data (a blank there would be encoded needlessly, but
        // a soft break would land mid-line), so the encoder sees all bytes.
        CNarrowString all, chunk;
        for (;;) {
            if (!f.ReadChunk(chunk, k, e)) {
                err += e;
                kind = k == FSE_CONN_LOST || k == 0 ? FSE_GENERAL : k;
                return false;
            }
            if (chunk.IsEmpty()) break;
            all += chunk;
        }
        EncodeQuotedPrintable(all.GetString(), (size_t)all.GetLength(), false, m);
        m += "\r\n";
    }
    m += "--" + boundary + "--\r\n";
    out = m;
    return true;
}

// ------------------------------------------------------------ SMTP

namespace {

struct SmtpSession {
    ZorSocket sock;
    int code = 0;
    CNarrowString text;

    // Sends a command and reads the reply; on a failure the phrase goes first.
    bool Command(const CNarrowString& cmd, const char16_t* sendPhrase, const char16_t* recvPhrase, int& kind,
                 CWideString& err) {
        CWideString e;
        if (!sock.SendLine(cmd, kind, e)) {
            err += CWideString(sendPhrase) + e;
            return false;
        }
        if (!ReadSmtpReply(sock, code, text, kind, e)) {
            err += CWideString(recvPhrase) + e;
            return false;
        }
        return true;
    }
    bool Expect(int want, const char16_t* phrase, int failKind, int& kind, CWideString& err) {
        if (code == want) return true;
        err += CWideString(phrase) + Utf8ToWide(text);
        kind = failKind;
        return false;
    }
    bool Offers(const char* keyword) const {
        // one EHLO line per extension: the keyword, then its parameters
        const int kwLen = (int)strlen(keyword);
        int start = 0;
        for (int i = 0; i <= text.GetLength(); ++i) {
            if (i < text.GetLength() && text[i] != '\n') continue;
            CNarrowString line = text.Mid(start, i - start);
            start = i + 1;
            line.Trim();
            if (line.GetLength() >= kwLen && strncasecmp(line.GetString(), keyword, kwLen) == 0 &&
                (line.GetLength() == kwLen || line[kwLen] == ' '))
                return true;
        }
        return false;
    }
    bool Hello(int& kind, CWideString& err) {
        return Command("EHLO " + ComputerName(), u"send Hello: ", u"recv hello: ", kind, err) &&
               Expect(250, u"bad hello: ", FSE_NOT_FOUND, kind, err);
    }
};

// RFC 5321 transparency: a '.' at the start of a line gets another '.'.
CNarrowString DotStuffed(const CNarrowString& m) {
    CNarrowString out;
    out.Preallocate(m.GetLength() + 64);
    bool lineStart = true;
    for (int i = 0; i < m.GetLength(); ++i) {
        if (lineStart && m[i] == '.') out += '.';
        out += m[i];
        lineStart = m[i] == '\n';
    }
    return out;
}

} // namespace

bool SendSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& attachments, int& kind,
                  CWideString& err) {
    if (server.m_sHost.IsEmpty() || server.m_nPort == 0) {
        err += u"SMTP server is not specified, set it up in Tools -> Program Options -> Connect";
        kind = FSE_GENERAL;
        return false;
    }
    // Everything that goes into commands and headers is checked before any
    // connection is made.
    ZorMailContent mail;
    CWideString fromName, fromAddress;
    SplitMailAddress(server.m_sSenderEmail, fromName, fromAddress);
    mail.m_sFromName = WideToUtf8(fromName);
    mail.m_sFromAddress = WideToUtf8(fromAddress);
    if (HasLineBreakOrNul(WideToUtf8(server.m_sSenderEmail))) {
        err += u"sender rejected: line break in the sender";
        kind = FSE_GENERAL;
        return false;
    }
    if (!SplitMailRecipients(recipients, mail.m_aTo, kind, err)) return false;
    if (server.m_sSenderEmail.IsEmpty()) mail.m_sFromName = "Torvane";
    mail.m_sSubject = subject;
    mail.m_sBody = body;
    mail.m_aAttachments = attachments;
    CNarrowString message;
    if (!BuildMailMessage(mail, message, kind, err)) return false;

    SmtpSession s;
    const CNarrowString host = WideToUtf8(server.m_sHost);
    if (!ZorSocketConnect(s.sock, host, server.m_nPort, server.m_bSecureSSL != 0, false, kind, err)) return false;
    CWideString e;
    if (!ReadSmtpReply(s.sock, s.code, s.text, kind, e)) {
        err += e;
        return false;
    }
    if (!s.Expect(220, u"not welcome: ", FSE_AUTH, kind, err)) return false;
    if (!s.Hello(kind, err)) return false;
    if (!s.sock.m_bUseTls && s.Offers("STARTTLS")) {
        if (!s.Command("STARTTLS", u"send starttls: ", u"recv starttls: ", kind, err) ||
            !s.Expect(220, u"bad starttls reply: ", FSE_NOT_FOUND, kind, err))
            return false;
        bool bTransport = false;
        s.sock.m_bSkipServerCheck = 0;
        if (!StartSslOnSocket(s.sock, host, true, CWideString(), bTransport, kind, err)) return false;
        if (!s.Hello(kind, err)) return false;
    }
    if (!server.m_sUserID.IsEmpty()) {
        if (!s.sock.m_bUseTls)
            ZorGetProgramLog().Printf(u"SMTP %s: no TLS offered, user name and password go in clear\n",
                                      s.sock.DescribePeer());
        if (!s.Command("AUTH LOGIN", u"send auth: ", u"recv auth: ", kind, err) ||
            !s.Expect(334, u"bad auth login: ", FSE_AUTH, kind, err))
            return false;
        if (!s.Command(Base64EncodeText(WideToUtf8(server.m_sUserID)), u"send auth: ", u"recv auth: ", kind, err) ||
            !s.Expect(334, u"bad auth login: ", FSE_AUTH, kind, err))
            return false;
        if (!s.Command(Base64EncodeText(WideToUtf8(server.m_sPassword)), u"send auth: ", u"recv auth: ", kind,
                       err) ||
            !s.Expect(235, u"not authenticated: ", FSE_AUTH, kind, err))
            return false;
    } else {
        if (!s.Command("VRFY " + recipients, u"send vrfy: ", u"recv vrfy: ", kind, err)) return false;
    }
    if (!s.Command("MAIL FROM:<" + mail.m_sFromAddress + ">", u"send sender: ", u"recv sender: ", kind, err) ||
        !s.Expect(250, u"sender rejected: ", FSE_NOT_FOUND, kind, err))
        return false;
    for (const CNarrowString& to : mail.m_aTo)
        if (!s.Command("RCPT TO:<" + to + ">", u"send recipient: ", u"recv recipient: ", kind, err) ||
            !s.Expect(250, u"bad recipient: ", FSE_NOT_FOUND, kind, err))
            return false;
    if (!s.Command("DATA", u"send data: ", u"recv data: ", kind, err) ||
        !s.Expect(354, u"bad data reply: ", FSE_NOT_FOUND, kind, err))
        return false;
    const CNarrowString wire = DotStuffed(message) + ".\r\n";
    if (!s.sock.Write(wire.GetString(), wire.GetLength(), kind, err) || !s.sock.Flush(kind, err)) return false;
    if (!ReadSmtpReply(s.sock, s.code, s.text, kind, e)) {
        err += e;
        return false;
    }
    if (!s.Expect(250, u"bad body submit: ", FSE_NOT_FOUND, kind, err)) return false;
    // The mail is accepted: what happens at QUIT only goes to the log.
    int qk = 0;
    CWideString qe;
    if (!s.Command("QUIT", u"send quit: ", u"recv quit: ", qk, qe))
        ZorGetProgramLog().Printf(u"SMTP %s: after the mail was accepted: %s\n", s.sock.DescribePeer(), qe);
    s.sock.CloseQuietly();
    return true;
}

// ------------------------------------------------------------ mail program

bool SendMapiMail(const CMapiMailRecord& rec, CWideString& err) {
    if (rec.m_sRecipient.IsEmpty() || !rec.m_bNoDialog)
        return ZorOpenMailComposer(rec.m_sRecipient, rec.m_sSubject, rec.m_sBody, rec.m_aAttachments, err);
    ZorMailContent mail;
    int kind = 0;
    if (!SplitMailRecipients(WideToUtf8(rec.m_sRecipient), mail.m_aTo, kind, err)) return false;
    mail.m_sSubject = WideToUtf8(rec.m_sSubject);
    mail.m_sBody = WideToUtf8(rec.m_sBody);
    mail.m_aAttachments = rec.m_aAttachments;
    CNarrowString message;
    if (!BuildMailMessage(mail, message, kind, err)) return false;
    return ZorPipeToSendmail(message, err);
}
