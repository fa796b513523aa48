// ZorUrl: a URL split into scheme, user, password, host, port, path, extra
// part (the query, with its '?') and fragment.
//
// Form accepted by Parse:
//   [scheme "://"] [user [":" password] "@"] host [":" port] [path] ["?" query] ["#" fragment]
//   - The scheme is letters, digits, '+', '-', '.' starting with a letter,
//     and is kept in lower case. "http", "https" and "file" get their scheme
//     index; any other scheme (tvtp, s3, luds, ...) keeps its text with index
//     ZURL_SCHEME_OTHER. A text without "://" keeps the scheme set before
//     (http after construction or Clear).
//   - The user part ends at the last '@' before the path; user and password
//     are percent-decoded (UTF-8) and hold at most ZURL_MAX_USER_PASSWORD
//     UTF-16 units each. A password without a user name is refused.
//   - The host is kept as written; an IPv6 literal stands in brackets
//     ("[::1]", "[fe80::1%25eth0]") and is kept without them.
//   - The port is decimal 1..65535; 0 means the URL names none (an empty port
//     after ':' names none as well). Port 0 written out is refused.
//   - Path, query and fragment are kept as written (still percent-encoded).
//     The fragment is never part of GetPathAndExtra.
//   - Control characters (below 0x20 and 0x7F) are refused anywhere.
#pragma once

#include "zor-string.h"

#include <cstdint>

enum ZorUrlScheme : int {
    ZURL_SCHEME_OTHER = 0, // a scheme kept by its text only
    ZURL_SCHEME_HTTP = 2,
    ZURL_SCHEME_HTTPS = 3,
    ZURL_SCHEME_FILE = 4,
};

constexpr int ZURL_MAX_USER_PASSWORD = 128;

class ZorUrl {
public:
    ZorUrl(); // empty, scheme http

    // Empties every part and sets the scheme back to http.
    void Clear();
    // Sets the scheme by its text (case-insensitive; kept in lower case);
    // false for a text that is not a scheme name.
    bool SetScheme(const char16_t* scheme);

    // Parses text into this object. Every part but the scheme is reset first;
    // the scheme set before stays when the text names none. False when the
    // text is not a URL; a reason is appended to pErr when given.
    bool Parse(const char16_t* text, CWideString* pErr = nullptr);
    bool Parse(const CNarrowString& utf8, CWideString* pErr = nullptr);

    // -- parts
    ZorUrlScheme GetSchemeIndex() const { return m_nScheme; }
    const CWideString& GetScheme() const { return m_sScheme; }
    const CWideString& GetHost() const { return m_sHost; }
    // The host as it stands in a URL: an IPv6 literal in brackets.
    CWideString GetHostForUrl() const;
    bool IsIPv6Host() const { return m_bIPv6; }
    uint16_t GetPort() const { return m_nPort; }
    const CWideString& GetUserName() const { return m_sUser; }
    const CWideString& GetPassword() const { return m_sPassword; }
    const CWideString& GetPath() const { return m_sPath; }
    // The query with its leading '?'; empty when the URL has none.
    const CWideString& GetExtra() const { return m_sExtra; }
    bool HasExtra() const { return !m_sExtra.IsEmpty(); }
    const CWideString& GetFragment() const { return m_sFragment; }
    bool HasFragment() const { return m_bFragment; }
    // The path followed by the extra part when one is present.
    CWideString GetPathAndExtra() const { return m_sPath + m_sExtra; }

    // At most ZURL_MAX_USER_PASSWORD units, else false and unchanged.
    bool SetUserName(const char16_t* user);
    // At most ZURL_MAX_USER_PASSWORD units; a non-empty password is refused
    // while the user name is empty. A null argument is a programming error.
    bool SetPassword(const char16_t* password);

private:
    ZorUrlScheme m_nScheme;
    CWideString m_sScheme;
    CWideString m_sHost;
    bool m_bIPv6 = false;
    uint16_t m_nPort = 0;
    CWideString m_sUser;
    CWideString m_sPassword;
    CWideString m_sPath;
    CWideString m_sExtra;
    CWideString m_sFragment;
    bool m_bFragment = false;

    void ClearParts();
};

// Clears url and parses text into it (the scheme defaults to http); false
// when the text is not a URL.
bool ParseUrl(const char16_t* text, ZorUrl& url, CWideString* pErr = nullptr);

// The URL as it may be shown or logged: the password of its user part is
// left out ("s3://KEY:SECRET@host/b" gives "s3://KEY@host/b"); everything
// else stays as written. Works on the text, so also on one that does not
// parse. A password holding a '/', '?' or '#' written as it is, which ends
// the host part before its '@' ("s3://KEY:ab/cd@host/b"), is taken to run
// up to the last '@' of the text, or to the end when there is none.
CWideString ZorUrlForDisplay(const CWideString& url);
// Takes the password out of a URL that has a scheme and parses: urlOut is
// the text without it (as ZorUrlForDisplay gives it) and password the
// decoded password. With bAsWritten, also a password that holds a '/', '?'
// or '#' written as it is (as ZorUrlForDisplay finds it), when the rest is
// a URL with a user. False, with urlOut the URL as it is, when the URL names
// no password (or one that cannot be taken out).
bool ZorUrlTakePassword(const CWideString& url, CWideString& urlOut, CWideString& password,
                        bool bAsWritten = false);
