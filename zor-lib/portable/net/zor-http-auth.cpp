// HTTP authentication: challenges, method choice, Digest answers.
#include "zor-http-auth.h"

#include "zor-text.h"
#include "zor-unicode.h"

#include <openssl/rand.h>

namespace {

bool IsWordEnd(char c, bool bEq) {
    return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '"' || (bEq && c == '=');
}

CNarrowString Lower(const CNarrowString& s) {
    CNarrowString r(s);
    r.MakeLower();
    return r;
}

// Escapes '"' and '\' for a quoted-string.
CNarrowString Quote(const CNarrowString& s) {
    CNarrowString r;
    for (int i = 0; i < s.GetLength(); ++i) {
        char c = s[i];
        if (c == '"' || c == '\\') r += '\\';
        r += c;
    }
    return r;
}

bool IsMd5Algorithm(const CNarrowString& alg) {
    return alg.IsEmpty() || alg.EqualsNoCase("MD5") || alg.EqualsNoCase("MD5-sess");
}

bool HasUnsafeUnit(const CWideString& s) {
    for (int i = 0; i < s.GetLength(); ++i) {
        char16_t c = s[i];
        if (c == u'\r' || c == u'\n' || c == 0) return true;
    }
    return false;
}

bool HasQopAuth(const CNarrowString& qop, bool& bAuthInt) {
    // qop-options is a comma-separated list: "auth", "auth-int" or both.
    bAuthInt = false;
    bool bAuth = false;
    int start = 0;
    for (;;) {
        CNarrowString t = qop.Tokenize(", \t", start);
        if (start < 0) break;
        if (t.EqualsNoCase("auth")) bAuth = true;
        else if (t.EqualsNoCase("auth-int")) bAuthInt = true;
    }
    return bAuth;
}

} // namespace

CNarrowString HttpAuthChallenge::GetParam(const char* lowerName) const {
    for (ZorPosition pos = m_mapParams.GetStartPosition(); pos;) {
        CNarrowString k, v;
        m_mapParams.GetNext(pos, k, v);
        if (k.EqualsNoCase(lowerName)) return v;
    }
    return CNarrowString();
}

HttpAuthTokenizer::Kind HttpAuthTokenizer::Next(CNarrowString& tok, bool bEq) {
    tok.Empty();
    const int n = m_sText.GetLength();
    const char* s = m_sText.GetString();
    while (m_nPos < n && (s[m_nPos] == ' ' || s[m_nPos] == '\t')) ++m_nPos;
    if (m_nPos >= n) return End;
    char c = s[m_nPos];
    if (c == ',') {
        ++m_nPos;
        return Comma;
    }
    if (c == ';') {
        ++m_nPos;
        return Semicolon;
    }
    if (bEq && c == '=') {
        ++m_nPos;
        return Equals;
    }
    if (c == '"') {
        ++m_nPos;
        while (m_nPos < n && s[m_nPos] != '"') {
            if (s[m_nPos] == '\\' && m_nPos + 1 < n) ++m_nPos; // quoted-pair
            tok += s[m_nPos++];
        }
        if (m_nPos < n) ++m_nPos; // the closing quote
        return Quoted;
    }
    int start = m_nPos;
    while (m_nPos < n && !IsWordEnd(s[m_nPos], bEq)) ++m_nPos;
    tok.SetString(s + start, m_nPos - start);
    return Word;
}

bool ParseAuthenticateHeader(const CNarrowString& header, HttpAuthChallengeMap& map, int32_t& nMethod, bool bReserved,
                             int& kind, CWideString& err) {
    (void)bReserved;
    map.RemoveAll();
    nMethod = HAM_NONE;
    if (header.IsEmpty()) {
        err = u"no auth header";
        kind = 2;
        return false;
    }
    HttpAuthTokenizer tz(header);
    CNarrowString tok;
    CNarrowString unsupportedDigest; // algorithm of a Digest challenge we cannot answer
    bool bHaveMd5Digest = false;
    auto fail = [&](const char16_t* text) {
        err = text;
        kind = 7;
        return false;
    };
    HttpAuthTokenizer::Kind k = tz.Next(tok, true);
    for (;;) {
        // A challenge starts with its scheme; empty list elements are skipped.
        while (k == HttpAuthTokenizer::Comma || k == HttpAuthTokenizer::Semicolon) k = tz.Next(tok, true);
        if (k == HttpAuthTokenizer::End) break;
        if (k != HttpAuthTokenizer::Word) return fail(u"bad = after name");
        CNarrowString scheme = Lower(tok);
        HttpAuthChallenge ch;
        ch.m_sScheme = tok;
        bool bTokenScheme = scheme == "ntlm" || scheme == "negotiate" || scheme == "kerberos";
        if (bTokenScheme) {
            k = tz.Next(tok, false);
            if (k == HttpAuthTokenizer::Word) {
                ch.m_sToken = tok;
                k = tz.Next(tok, true);
            }
        } else {
            // Parameters: name=value, separated by ','; a word after a ','
            // that is not followed by '=' starts the next challenge.
            k = tz.Next(tok, true);
            bool bAfterComma = false;
            for (;;) {
                if (k == HttpAuthTokenizer::End || k == HttpAuthTokenizer::Semicolon) break;
                if (k == HttpAuthTokenizer::Comma) {
                    bAfterComma = true;
                    k = tz.Next(tok, true);
                    continue;
                }
                if (k != HttpAuthTokenizer::Word) return fail(u"bad = after name");
                CNarrowString name = tok;
                int wordStart = tz.m_nPos - name.GetLength();
                k = tz.Next(tok, true);
                if (k != HttpAuthTokenizer::Equals) {
                    if (!bAfterComma) return fail(u"bad = after name");
                    tz.m_nPos = wordStart; // the next challenge's scheme
                    k = tz.Next(tok, true);
                    break;
                }
                k = tz.Next(tok, false);
                if (k != HttpAuthTokenizer::Word && k != HttpAuthTokenizer::Quoted) {
                    err = u"bad token after name =";
                    kind = 7;
                    return false;
                }
                ch.m_mapParams.SetAt(name, tok);
                k = tz.Next(tok, true);
                bAfterComma = false;
                if (k != HttpAuthTokenizer::End && k != HttpAuthTokenizer::Comma && k != HttpAuthTokenizer::Semicolon)
                    return fail(u"no , after name=value");
            }
        }
        if (scheme == "digest") {
            // Of several Digest challenges the MD5 one is answered.
            CNarrowString alg = ch.GetParam("algorithm");
            if (!IsMd5Algorithm(alg)) {
                if (unsupportedDigest.IsEmpty()) unsupportedDigest = alg;
                continue;
            }
            if (bHaveMd5Digest) continue;
            bHaveMd5Digest = true;
        }
        if (!map.LookupPair(scheme)) map.SetAt(scheme, ch);
    }
    if (map.IsEmpty() && unsupportedDigest.IsEmpty()) {
        err = u"no authentication methods";
        kind = 2;
        return false;
    }
    // Basic before NTLM: an NTLM answer fails where Basic succeeds.
    if (map.LookupPair("digest")) nMethod = HAM_DIGEST;
    else if (map.LookupPair("basic")) nMethod = HAM_BASIC;
    else if (map.LookupPair("ntlm")) nMethod = HAM_NTLM;
    else if (map.LookupPair("passport1.4")) nMethod = HAM_PASSPORT;
    if (nMethod == HAM_NONE && !unsupportedDigest.IsEmpty()) {
        err.Format(u"Digest algorithm not supported: %s", unsupportedDigest);
        kind = 2;
        return false;
    }
    return true;
}

bool CheckHeaderCredentials(const CWideString& userID, const CWideString& password, int& kind, CWideString& err) {
    if (HasUnsafeUnit(userID) || HasUnsafeUnit(password)) {
        err = u"credentials must not contain line breaks or NUL characters";
        kind = 2;
        return false;
    }
    return true;
}

bool HttpDigestChallenge(DigestAuthRecord& rec, const HttpAuthChallengeMap& map, const CWideString& userID,
                         const CWideString& password, bool& bStale, int& kind, CWideString& err,
                         const char* pszClientNonce) {
    rec = DigestAuthRecord();
    bStale = false;
    const auto* pair = map.LookupPair(CNarrowString("digest"));
    if (!pair) {
        err = u"no Digest challenge";
        kind = 2;
        return false;
    }
    if (!CheckHeaderCredentials(userID, password, kind, err)) return false;
    const HttpAuthChallenge& ch = pair->m_value;
    rec.m_sRealm = ch.GetParam("realm");
    rec.m_sNonce = ch.GetParam("nonce");
    rec.m_sOpaque = ch.GetParam("opaque");
    rec.m_bMd5Sess = ch.GetParam("algorithm").EqualsNoCase("MD5-sess") ? 1 : 0;
    CNarrowString qop = ch.GetParam("qop");
    bool bAuthInt = false;
    bool bAuth = HasQopAuth(qop, bAuthInt);
    rec.m_bQopOffered = qop.IsEmpty() ? 0 : 1;
    rec.m_nQop = (bAuthInt && !bAuth) ? 2 : 1;
    bStale = ch.GetParam("stale").EqualsNoCase("true");
    if (pszClientNonce) {
        rec.m_sClientNonce = pszClientNonce;
    } else {
        unsigned char rnd[8];
        if (RAND_bytes(rnd, sizeof rnd) != 1) {
            err = u"cannot make a client nonce";
            kind = 5;
            return false;
        }
        static const char kHex[] = "0123456789abcdef";
        for (unsigned char b : rnd) {
            rec.m_sClientNonce += kHex[b >> 4];
            rec.m_sClientNonce += kHex[b & 15];
        }
    }
    CNarrowString a1;
    a1.Format("%s:%s:%s", WideToUtf8(userID), rec.m_sRealm, WideToUtf8(password));
    rec.m_sCredHash = Md5HexOfText(a1);
    if (rec.m_bMd5Sess) {
        // RFC 2617 3.2.2.2: MD5(MD5(user:realm:password) ":" nonce ":" cnonce)
        CNarrowString s;
        s.Format("%s:%s:%s", rec.m_sCredHash, rec.m_sNonce, rec.m_sClientNonce);
        rec.m_sCredHash = Md5HexOfText(s);
    }
    return true;
}

bool BuildDigestAuthorization(DigestAuthRecord& rec, CNarrowString& line, const CNarrowString& method,
                              const CNarrowString& path, const CWideString& userID, int& kind, CWideString& err) {
    if (rec.m_sCredHash.IsEmpty()) {
        err = u"no Digest challenge to answer";
        kind = 5;
        return false;
    }
    if (!CheckHeaderCredentials(userID, CWideString(), kind, err)) return false;
    CNarrowString a2;
    a2.Format("%s:%s", method, path);
    CNarrowString ha2 = Md5HexOfText(a2);
    ++rec.m_nNonceCount;
    CNarrowString r;
    if (rec.m_bQopOffered) r.Format("%s:%s:%08x:%s:auth:%s", rec.m_sCredHash, rec.m_sNonce, rec.m_nNonceCount,
                                    rec.m_sClientNonce, ha2);
    else r.Format("%s:%s:%s", rec.m_sCredHash, rec.m_sNonce, ha2); // RFC 2069
    CNarrowString response = Md5HexOfText(r);
    line.Format("Authorization: Digest username=\"%s\",realm=\"%s\",uri=\"%s\",algorithm=%s,nonce=\"%s\"",
                Quote(WideToUtf8(userID)), Quote(rec.m_sRealm), Quote(path), rec.m_bMd5Sess ? "MD5-sess" : "MD5",
                Quote(rec.m_sNonce));
    if (rec.m_bQopOffered) line.AppendFormat(",cnonce=\"%s\"", rec.m_sClientNonce);
    if (!rec.m_sOpaque.IsEmpty()) line.AppendFormat(",opaque=\"%s\"", Quote(rec.m_sOpaque));
    if (rec.m_bQopOffered) line.AppendFormat(",qop=auth,nc=%08x", rec.m_nNonceCount);
    line.AppendFormat(",response=\"%s\"\r\n", response);
    return true;
}

bool BuildBasicAuthorization(bool bProxy, const CWideString& userID, const CWideString& password,
                             CNarrowString& line, int& kind, CWideString& err) {
    if (!CheckHeaderCredentials(userID, password, kind, err)) return false;
    CNarrowString pair = WideToUtf8(userID);
    pair += ':';
    pair += WideToUtf8(password);
    line = bProxy ? "Proxy-Authorization: Basic " : "Authorization: Basic ";
    line += Base64EncodeText(pair);
    line += "\r\n";
    return true;
}
