// HTTP authentication: the challenge parser for "www-authenticate" and
// "proxy-authenticate", the choice of method, the Digest state of a
// connection (MD5 and MD5-sess) and the "Authorization" lines.
#pragma once

#include "zor-coll.h"
#include "zor-string.h"

#include <cstdint>

// Authentication state of a connection (and of its proxy: 0 or 1 only).
enum HttpAuthState : int32_t {
    HAS_NONE = 0,
    HAS_BASIC = 1,
    HAS_DIGEST = 2,
};

// Methods ParseAuthenticateHeader chooses.
enum HttpAuthMethod : int32_t {
    HAM_NONE = 0,
    HAM_BASIC = 1,
    HAM_DIGEST = 2,
    HAM_NTLM = 3,
    HAM_PASSPORT = 6,
};

// One challenge: the scheme as sent, the token of NTLM/Negotiate/Kerberos
// challenges, and the parameters (names as sent, looked up lower-case).
struct HttpAuthChallenge {
    CNarrowString m_sScheme;
    CNarrowString m_sToken;
    CHashMapT<CNarrowString, CNarrowString> m_mapParams;

    // The value of a parameter, its name compared without case; empty when absent.
    CNarrowString GetParam(const char* lowerName) const;
};

// Lower-case scheme name -> challenge.
using HttpAuthChallengeMap = CHashMapT<CNarrowString, HttpAuthChallenge>;

// The Digest state of one connection.
struct DigestAuthRecord {
    uint32_t m_nQop = 0;      // 0 before a challenge; 2 "auth-int" offered, else 1
    uint8_t m_bQopOffered = 0; // the challenge carried "qop" (else the RFC 2069 answer)
    uint8_t m_bMd5Sess = 0;
    CNarrowString m_sRealm;
    CNarrowString m_sNonce;
    CNarrowString m_sOpaque;
    uint32_t m_nNonceCount = 0; // 0 after each challenge, raised before each use
    CNarrowString m_sClientNonce;
    CNarrowString m_sCredHash; // lower-case hex MD5 of the credentials (HA1)
};

// Reads a challenge header into the map (cleared first) and chooses the
// method: Digest (an MD5 or MD5-sess challenge), then Basic, then NTLM, then
// Passport; Negotiate, Kerberos and unknown schemes are never chosen (method
// 0). Challenges may be separated by ";" (joined header lines) or by ","
// (several challenges in one line). A Digest offer with no MD5 algorithm and
// nothing else to answer fails with "Digest algorithm not supported: %s".
// bReserved is accepted and ignored.
bool ParseAuthenticateHeader(const CNarrowString& header, HttpAuthChallengeMap& map, int32_t& nMethod,
                             bool bReserved, int& kind, CWideString& err);

// Takes the "digest" challenge of the map into the record: realm, nonce,
// opaque, algorithm, qop, stale; a fresh random client nonce (or the one
// given, for tests); the credential hash. Credentials holding CR, LF or NUL
// are refused (kind 2).
bool HttpDigestChallenge(DigestAuthRecord& rec, const HttpAuthChallengeMap& map, const CWideString& userID,
                         const CWideString& password, bool& bStale, int& kind, CWideString& err,
                         const char* pszClientNonce = nullptr);

// The "Authorization: Digest ..." line (ending in CR LF) for one request;
// raises the nonce count. False (kind 5) without a credential hash.
bool BuildDigestAuthorization(DigestAuthRecord& rec, CNarrowString& line, const CNarrowString& method,
                              const CNarrowString& path, const CWideString& userID, int& kind, CWideString& err);

// "Authorization: Basic " (or "Proxy-Authorization: Basic ") and the Base64
// of UTF-8 user ":" password, CR LF. Credentials holding CR, LF or NUL are
// refused (kind 2).
bool BuildBasicAuthorization(bool bProxy, const CWideString& userID, const CWideString& password,
                             CNarrowString& line, int& kind, CWideString& err);

// False (kind 2, "credentials must not contain line breaks or NUL
// characters") when a user id or password cannot travel in a header.
bool CheckHeaderCredentials(const CWideString& userID, const CWideString& password, int& kind, CWideString& err);

// The tokenizer over a challenge header, exposed for tests.
struct HttpAuthTokenizer {
    enum Kind { End, Word, Quoted, Equals, Comma, Semicolon };
    const CNarrowString& m_sText;
    int m_nPos = 0;
    explicit HttpAuthTokenizer(const CNarrowString& text) : m_sText(text) {}
    // The next token; with bEqualsIsSeparator a '=' ends a word and is a
    // token of its own. Quoted strings come back without quotes and with
    // quoted-pairs ("\x") unescaped.
    Kind Next(CNarrowString& tok, bool bEqualsIsSeparator);
};
