// Sending a job's result e-mail: the message record and the two transports
// of the network layer (zor-mail.h): SMTP with the program's mail server
// settings, or the system's mail program. Tests may put their own transport
// behind both calls.
#pragma once

#include "engine-globals.h"
#include "zor-string.h"

#include <cstdint>
#include <vector>

// One mail message as the mail-client transport takes it.
struct CActionScript {
    CWideString m_sRecipients; // the e-mail target as the user wrote it
    CWideString m_sSubject;
    CWideString m_sBody;
    std::vector<CWideString> m_aAttachments; // local paths
    int32_t m_nWord = 1; // the no-dialog flag: the mail goes out without the composer
};

// Sends over SMTP: recipients, body and subject are 8-bit texts; each
// attachment becomes a MIME part. False with the error kind and text.
bool SendResultSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& attachments, int& errKind,
                  CWideString& errText);
// Sends through the system's mail client. False with the error text.
bool SendResultMapiMail(const CActionScript& msg, CWideString& errText);

// A replacement for both transports (tests). Null restores the default.
class IMailTransport {
public:
    virtual ~IMailTransport() = default;
    virtual bool SendSmtp(const SmtpServerInfo& server, const CNarrowString& recipients,
                          const CNarrowString& body, const CNarrowString& subject,
                          const std::vector<CWideString>& attachments, int& errKind,
                          CWideString& errText) = 0;
    virtual bool SendMapi(const CActionScript& msg, CWideString& errText) = 0;
};
void SetMailTransport(IMailTransport* pTransport);
