// The result e-mail transports until the network layer provides them.
#include "result-mail.h"

#include "TvFsRecords.h"

#include <atomic>

namespace {

std::atomic<IMailTransport*> g_pMailTransport{nullptr};

constexpr const char16_t* kMailNotAvailable = u"e-mail is not available";

} // namespace

void SetMailTransport(IMailTransport* pTransport) {
    g_pMailTransport.store(pTransport);
}

bool SendSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& attachments, int& errKind,
                  CWideString& errText) {
    if (IMailTransport* p = g_pMailTransport.load())
        return p->SendSmtp(server, recipients, body, subject, attachments, errKind, errText);
    errKind = FSE_GENERAL;
    errText += kMailNotAvailable;
    return false;
}

bool SendMapiMail(const CActionScript& msg, CWideString& errText) {
    if (IMailTransport* p = g_pMailTransport.load()) return p->SendMapi(msg, errText);
    errText += kMailNotAvailable;
    return false;
}
