// Sending a job's result e-mail: the message record and the two transports
// (SMTP with the program's mail server settings, or the system's mail
// client). The transports belong to the network layer; until it provides
// them, the calls here fail with "e-mail is not available" (kind 5), so
// that an e-mail action is never reported as sent. Tests may put their own
// transport behind both calls.
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
    int32_t m_nWord = 1;
};

// Sends over SMTP: recipients, body and subject are 8-bit texts; each
// attachment becomes a MIME part. False with the error kind and text.
bool SendSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& attachments, int& errKind,
                  CWideString& errText);
// Sends through the system's mail client. False with the error text.
bool SendMapiMail(const CActionScript& msg, CWideString& errText);

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
