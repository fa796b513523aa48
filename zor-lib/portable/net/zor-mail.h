// The result e-mail: one MIME message (a text body and files attached) sent
// over SMTP with the program's mail-server settings, or handed to the
// system's mail program (zor-sendmail.h).
#pragma once

#include "zor-net-records.h"
#include "zor-string.h"

#include <cstdint>
#include <vector>

class ZorSocket;

// One SMTP reply, read line by line: the code of the last line and the text
// of the lines (from their fifth character) joined by LF. A 421 line fails at
// once ("Server Timeout: ", kind 3); a reply of more than 64 KiB or 1,000
// lines fails with "bad reply: too long" (kind 7).
class CSmtpReplyReader {
public:
    static constexpr int kMaxText = 64 * 1024;
    static constexpr int kMaxLines = 1000;
    int m_nCode = 0;
    CNarrowString m_sText;
    // Takes the next line (without its line end); bDone once the reply is whole.
    bool AddLine(const CNarrowString& line, bool& bDone, int& kind, CWideString& err);

private:
    int m_nLines = 0;
};

// Reads one reply from the socket; the data ending early fails with "socket
// closed while reading reply" (kind 3).
bool ReadSmtpReply(ZorSocket& sock, int& code, CNarrowString& text, int& kind, CWideString& err);

// Splits "Name <address>" at its first '<': the name trimmed and unquoted,
// the address trimmed without its '>'. Without '<' the whole text is the address.
void SplitMailAddress(const CWideString& text, CWideString& name, CWideString& address);

// The pieces of one message. Texts are UTF-8.
struct ZorMailContent {
    CNarrowString m_sFromName;    // empty: no display name
    CNarrowString m_sFromAddress; // empty: no From header
    std::vector<CNarrowString> m_aTo;
    CNarrowString m_sSubject;
    CNarrowString m_sBody;
    std::vector<CWideString> m_aAttachments; // file paths
};

// The recipient addresses of a list separated by ';' or ','. A recipient that
// holds CR, LF or NUL fails (kind 5).
bool SplitMailRecipients(const CNarrowString& text, std::vector<CNarrowString>& out, int& kind, CWideString& err);

// The whole message with CR LF line ends (no SMTP dot-stuffing): headers,
// then the body alone or a multipart/mixed of the body and the attachments,
// every part quoted-printable. A file that cannot be read fails with the file
// layer's message (kind 5).
bool BuildMailMessage(const ZorMailContent& mail, CNarrowString& out, int& kind, CWideString& err);

// Quoted-printable: soft line breaks keep lines within 76 characters. In text
// mode CR LF pairs stay line breaks; otherwise every byte outside '!'..'~'
// (and '=') is encoded, CR and LF included, so the decoded bytes are the
// original ones.
void EncodeQuotedPrintable(const char* data, size_t len, bool bText, CNarrowString& out);

// Sends over SMTP: recipients, body and subject are UTF-8 texts; each
// attachment goes as a part of its own.
bool SendSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& attachments, int& kind,
                  CWideString& err);

// A message for the system's mail program.
struct CMapiMailRecord {
    CWideString m_sRecipient;
    CWideString m_sBody;
    CWideString m_sSubject;
    std::vector<CWideString> m_aAttachments;
    uint8_t m_bNoDialog = 1;
};

// With a recipient and the no-dialog flag the message goes to the sendmail
// command; otherwise the desktop's mail composer opens it.
bool SendMapiMail(const CMapiMailRecord& mail, CWideString& err);
