// A streaming XML reader over Expat. It builds no tree: it keeps the names of
// the open elements (outermost first) and hands each run of character data,
// joined across Expat's pieces, to a text hook while the element it belongs
// to is still the innermost one. Derived readers match paths such as
// "Contents/Key" against the innermost open elements.
#pragma once

#include "zor-coll.h"
#include "zor-string.h"

#include <expat.h>

class CExpatParserT {
public:
    CExpatParserT();
    virtual ~CExpatParserT();
    CExpatParserT(const CExpatParserT&) = delete;
    CExpatParserT& operator=(const CExpatParserT&) = delete;

    // Creates the parser when there is none (namespace separator '!') and
    // (re)registers the handlers and this object as user data; clears any
    // text left over from an earlier document. False when Expat cannot make
    // a parser.
    bool Create(int nNamespaceMode = 1);
    // Frees the parser; the element list is emptied.
    void Destroy();
    // Feeds bytes. With bFinal the document ends: the parser is reset and
    // made ready for the next document, whatever the outcome. On a parse
    // error err is replaced by GetErrorText().
    bool Parse(const char* data, int len, CWideString& err, bool bFinal);
    bool Parse(const CNarrowString& text, CWideString& err, bool bFinal) {
        return Parse(text.GetString(), text.GetLength(), err, bFinal);
    }
    // "XML Parser error %d at line %d col %d" (with ": " and the reason when
    // the reader refused the document), or "CExpatParserT: Not initialized".
    CWideString GetErrorText() const;

    // Deepest nesting of elements a document may have.
    static constexpr int kMaxDepth = 32;

    // Path matching against the innermost open elements, ignoring case:
    // "Contents/Key" matches ..., "Contents", "Key". Empty tokens drop out
    // ("a//b" is "a/b"); an empty path matches only when nothing is open.
    bool IsAtPath(const char* path) const;
    // Any open element has this name (ignoring case).
    bool IsInside(const char* name) const;
    // The open elements joined with '/', outermost first, no leading '/'.
    CNarrowString GetCurrentPath() const;
    // The innermost open element (empty when none).
    CNarrowString GetInnermost() const;
    int GetDepth() const { return m_lstElements.GetCount(); }

protected:
    // Hooks for the derived reader. The text hook sees the open elements as
    // they are when the text ends (at the next start or end tag).
    virtual void OnText(const CNarrowString& text, const CListT<CNarrowString>& elements);
    virtual void OnStartElement(const CNarrowString& name, const char** attrs);
    virtual void OnEndElement(const CNarrowString& name);

private:
    uint8_t m_nNamespaceMode = 1;
    XML_Parser m_pParser = nullptr;
    CListT<CNarrowString> m_lstElements;
    CNarrowString m_sText;
    // Why the document was refused (the parser was stopped); empty otherwise.
    CWideString m_sRefusal;

    CNarrowString LocalName(const char* name) const;
    void FlushText();
    void Refuse(const CWideString& why);
    static void XMLCALL DoctypeHandler(void* user, const XML_Char* name, const XML_Char* sysid,
                                       const XML_Char* pubid, int hasInternalSubset);
    static void XMLCALL StartHandler(void* user, const XML_Char* name, const XML_Char** attrs);
    static void XMLCALL EndHandler(void* user, const XML_Char* name);
    static void XMLCALL CharHandler(void* user, const XML_Char* s, int len);
};
