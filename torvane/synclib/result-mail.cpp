// The result e-mail transports: the network layer's, or a test's.
#include "result-mail.h"

#include "zor-mail.h"

#include <atomic>

namespace {

std::atomic<IMailTransport*> g_pMailTransport{nullptr};

} // namespace

void SetMailTransport(IMailTransport* pTransport) {
    g_pMailTransport.store(pTransport);
}

bool SendResultSmtpMail(const SmtpServerInfo& server, const CNarrowString& recipients, const CNarrowString& body,
                        const CNarrowString& subject, const std::vector<CWideString>& attachments, int& errKind,
                        CWideString& errText) {
    if (IMailTransport* p = g_pMailTransport.load())
        return p->SendSmtp(server, recipients, body, subject, attachments, errKind, errText);
    return SendSmtpMail(server, recipients, body, subject, attachments, errKind, errText);
}

bool SendResultMapiMail(const CActionScript& msg, CWideString& errText) {
    if (IMailTransport* p = g_pMailTransport.load()) return p->SendMapi(msg, errText);
    CMapiMailRecord rec;
    rec.m_sRecipient = msg.m_sRecipients;
    rec.m_sSubject = msg.m_sSubject;
    rec.m_sBody = msg.m_sBody;
    rec.m_aAttachments = msg.m_aAttachments;
    rec.m_bNoDialog = msg.m_nWord != 0 ? 1 : 0;
    return SendMapiMail(rec, errText);
}
