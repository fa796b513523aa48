#include "ExpatParser.h"

#include <cstring>

CExpatParserT::CExpatParserT() = default;

CExpatParserT::~CExpatParserT() {
    Destroy();
}

bool CExpatParserT::Create(int nNamespaceMode) {
    if (!m_pParser) {
        m_pParser = XML_ParserCreateNS(nullptr, '!');
        if (!m_pParser) return false;
    }
    m_nNamespaceMode = (uint8_t)nNamespaceMode;
    // A reset parser has no handlers and no user data: register them every
    // time, or the next document would parse silently with none.
    XML_SetUserData(m_pParser, this);
    XML_SetElementHandler(m_pParser, StartHandler, EndHandler);
    XML_SetCharacterDataHandler(m_pParser, CharHandler);
    // Never read external entities or an external DTD subset; a document
    // type is refused as soon as it starts, so no entity but the predefined
    // ones can stand in a document and its text is never longer than it.
    XML_SetParamEntityParsing(m_pParser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetStartDoctypeDeclHandler(m_pParser, DoctypeHandler);
    m_sRefusal.Empty();
    m_sText.Empty();
    m_lstElements.RemoveAll();
    return true;
}

void CExpatParserT::Destroy() {
    if (m_pParser) {
        XML_ParserFree(m_pParser);
        m_pParser = nullptr;
    }
    m_nNamespaceMode = 0;
    m_lstElements.RemoveAll();
    m_sText.Empty();
}

bool CExpatParserT::Parse(const char* data, int len, CWideString& err, bool bFinal) {
    if (!m_pParser) {
        err = u"CExpatParserT: Not initialized";
        return false;
    }
    // The open elements carry over between the pieces of one document; they
    // are emptied when a document ends (below) or a parser is made ready.
    XML_Status st = XML_Parse(m_pParser, data ? data : "", data ? len : 0, bFinal ? 1 : 0);
    if (st != XML_STATUS_OK) err = GetErrorText();
    if (bFinal) {
        XML_ParserReset(m_pParser, nullptr);
        m_lstElements.RemoveAll();
        Create(m_nNamespaceMode);
    }
    return st == XML_STATUS_OK;
}

CWideString CExpatParserT::GetErrorText() const {
    if (!m_pParser) return u"CExpatParserT: Not initialized";
    CWideString s;
    s.Format(u"XML Parser error %d at line %d col %d", (int)XML_GetErrorCode(m_pParser),
             (int)XML_GetCurrentLineNumber(m_pParser), (int)XML_GetCurrentColumnNumber(m_pParser));
    if (!m_sRefusal.IsEmpty()) s += u": " + m_sRefusal;
    return s;
}

bool CExpatParserT::IsAtPath(const char* path) const {
    // The tokens are walked from the last one outwards, without copies: this
    // runs for every piece of text of a reply.
    int end = path ? (int)std::strlen(path) : 0;
    ZorPosition ep = m_lstElements.GetTailPosition();
    bool bAnyToken = false;
    while (end > 0) {
        while (end > 0 && path[end - 1] == '/') end--;
        if (end == 0) break;
        int start = end;
        while (start > 0 && path[start - 1] != '/') start--;
        bAnyToken = true;
        if (!ep) return false; // more tokens than open elements
        const CNarrowString& e = m_lstElements.GetPrev(ep);
        int n = end - start;
        if (e.GetLength() != n) return false;
        for (int i = 0; i < n; i++)
            if (ZorFoldUnit(path[start + i]) != ZorFoldUnit(e[i])) return false;
        end = start;
    }
    return bAnyToken || m_lstElements.IsEmpty();
}

bool CExpatParserT::IsInside(const char* name) const {
    for (ZorPosition p = m_lstElements.GetHeadPosition(); p;)
        if (m_lstElements.GetNext(p).CompareNoCase(name) == 0) return true;
    return false;
}

CNarrowString CExpatParserT::GetCurrentPath() const {
    CNarrowString s;
    for (ZorPosition p = m_lstElements.GetHeadPosition(); p;) {
        if (!s.IsEmpty()) s += '/';
        s += m_lstElements.GetNext(p);
    }
    return s;
}

CNarrowString CExpatParserT::GetInnermost() const {
    return m_lstElements.IsEmpty() ? CNarrowString() : m_lstElements.GetTail();
}

void CExpatParserT::OnText(const CNarrowString&, const CListT<CNarrowString>&) {}
void CExpatParserT::OnStartElement(const CNarrowString&, const char**) {}
void CExpatParserT::OnEndElement(const CNarrowString&) {}

CNarrowString CExpatParserT::LocalName(const char* name) const {
    if (m_nNamespaceMode) {
        const char* bang = name ? std::strchr(name, '!') : nullptr;
        if (bang) return CNarrowString(bang + 1);
    }
    return CNarrowString(name);
}

void CExpatParserT::FlushText() {
    if (m_sText.IsEmpty()) return;
    CNarrowString text = std::move(m_sText);
    m_sText.Empty();
    OnText(text, m_lstElements);
}

void CExpatParserT::Refuse(const CWideString& why) {
    if (!m_sRefusal.IsEmpty()) return;
    m_sRefusal = why;
    XML_StopParser(m_pParser, XML_FALSE);
}

void XMLCALL CExpatParserT::DoctypeHandler(void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* self = (CExpatParserT*)user;
    if (self) self->Refuse(u"a reply may not declare a document type");
}

void XMLCALL CExpatParserT::StartHandler(void* user, const XML_Char* name, const XML_Char** attrs) {
    auto* self = (CExpatParserT*)user;
    if (!self || !self->m_sRefusal.IsEmpty()) return;
    if (self->m_lstElements.GetCount() >= kMaxDepth) {
        self->Refuse(CWideString::Formatted(u"elements nested deeper than %d", kMaxDepth));
        return;
    }
    CNarrowString local = self->LocalName(name);
    self->FlushText();
    self->m_lstElements.AddTail(local);
    self->OnStartElement(local, attrs);
}

void XMLCALL CExpatParserT::EndHandler(void* user, const XML_Char* name) {
    auto* self = (CExpatParserT*)user;
    if (!self || !self->m_sRefusal.IsEmpty()) return;
    CNarrowString local = self->LocalName(name);
    self->FlushText();
    self->OnEndElement(local);
    if (!self->m_lstElements.IsEmpty()) self->m_lstElements.RemoveTail();
}

void XMLCALL CExpatParserT::CharHandler(void* user, const XML_Char* s, int len) {
    auto* self = (CExpatParserT*)user;
    if (!self || len <= 0 || !self->m_sRefusal.IsEmpty()) return;
    self->m_sText.Append(s, len);
}
