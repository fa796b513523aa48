// ZorUrl: splitting a URL into its parts.
#include "zor-url.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <arpa/inet.h>

namespace {

inline bool IsAsciiAlpha(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
inline bool IsAsciiDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
inline bool IsSchemeChar(char16_t c) {
    return IsAsciiAlpha(c) || IsAsciiDigit(c) || c == u'+' || c == u'-' || c == u'.';
}
inline int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Length of a scheme name at the start of s (0 when there is none).
int SchemeLength(const char16_t* s, int n) {
    if (n == 0 || !IsAsciiAlpha(s[0])) return 0;
    int i = 1;
    while (i < n && IsSchemeChar(s[i])) ++i;
    return i;
}

void AddError(CWideString* pErr, const char16_t* what, const CWideString& detail) {
    if (!pErr) return;
    pErr->AppendFormat(u"%s: %s", what, detail);
}

// Percent-decodes a user or password part and reads the bytes as UTF-8. A '%'
// not followed by two hexadecimal digits stays as it is.
bool PercentDecode(const CWideString& in, CWideString& out) {
    CNarrowString utf8 = WideToUtf8(in);
    CNarrowString bytes;
    const char* s = utf8.GetString();
    int n = utf8.GetLength();
    bytes.Preallocate(n);
    for (int i = 0; i < n; i++) {
        if (s[i] == '%' && i + 2 < n && HexValue((unsigned char)s[i + 1]) >= 0 &&
            HexValue((unsigned char)s[i + 2]) >= 0) {
            bytes.AppendChar(
                (char)(HexValue((unsigned char)s[i + 1]) * 16 + HexValue((unsigned char)s[i + 2])));
            i += 2;
        } else {
            bytes.AppendChar(s[i]);
        }
    }
    // Decoded control characters would reach protocol headers: refused.
    for (int i = 0; i < bytes.GetLength(); i++)
        if ((unsigned char)bytes[i] < 0x20 || bytes[i] == 0x7F) return false;
    CWideString err;
    return Utf8ToWideChecked(bytes, out, err);
}

// The inside of "[...]": an IPv6 address, optionally with a zone ("%25eth0"
// or "%eth0").
bool IsValidIPv6Literal(const CWideString& lit) {
    int pct = lit.Find(u'%');
    CWideString addr = pct >= 0 ? lit.Left(pct) : lit;
    if (pct >= 0) {
        CWideString zone = lit.Mid(pct + 1);
        if (zone.IsEmpty() || zone == u"25") return false;
        for (int i = 0; i < zone.GetLength(); i++) {
            char16_t c = zone[i];
            if (!(IsAsciiAlpha(c) || IsAsciiDigit(c) || c == u'%' || c == u'-' || c == u'.' || c == u'_' ||
                  c == u'~'))
                return false;
        }
    }
    if (addr.IsEmpty() || addr.GetLength() > 45) return false;
    char buf[48];
    for (int i = 0; i < addr.GetLength(); i++) {
        char16_t c = addr[i];
        if (!(HexValue(c) >= 0 || c == u':' || c == u'.')) return false;
        buf[i] = (char)c;
    }
    buf[addr.GetLength()] = 0;
    unsigned char bin[16];
    return inet_pton(AF_INET6, buf, bin) == 1;
}

} // namespace

ZorUrl::ZorUrl() : m_nScheme(ZURL_SCHEME_HTTP), m_sScheme(u"http") {}

void ZorUrl::ClearParts() {
    m_sHost.Empty();
    m_bIPv6 = false;
    m_nPort = 0;
    m_sUser.Empty();
    m_sPassword.Empty();
    m_sPath.Empty();
    m_sExtra.Empty();
    m_sFragment.Empty();
    m_bFragment = false;
}

void ZorUrl::Clear() {
    ClearParts();
    m_nScheme = ZURL_SCHEME_HTTP;
    m_sScheme = u"http";
}

bool ZorUrl::SetScheme(const char16_t* scheme) {
    int n = ZorStrLen(scheme);
    if (n == 0 || SchemeLength(scheme, n) != n) return false;
    m_sScheme.SetString(scheme, n);
    m_sScheme.MakeLower();
    if (m_sScheme == u"http")
        m_nScheme = ZURL_SCHEME_HTTP;
    else if (m_sScheme == u"https")
        m_nScheme = ZURL_SCHEME_HTTPS;
    else if (m_sScheme == u"file")
        m_nScheme = ZURL_SCHEME_FILE;
    else
        m_nScheme = ZURL_SCHEME_OTHER;
    return true;
}

bool ZorUrl::SetUserName(const char16_t* user) {
    if (!user) {
        ZOR_ASSERT(user != nullptr);
        return false;
    }
    int n = ZorStrLen(user);
    if (n > ZURL_MAX_USER_PASSWORD) return false;
    m_sUser.SetString(user, n);
    return true;
}

bool ZorUrl::SetPassword(const char16_t* password) {
    if (!password) {
        ZOR_ASSERT(password != nullptr);
        return false;
    }
    int n = ZorStrLen(password);
    if (n > ZURL_MAX_USER_PASSWORD) return false;
    if (n > 0 && m_sUser.IsEmpty()) return false;
    m_sPassword.SetString(password, n);
    return true;
}

CWideString ZorUrl::GetHostForUrl() const {
    if (!m_bIPv6) return m_sHost;
    return u"[" + m_sHost + u"]";
}

bool ZorUrl::Parse(const CNarrowString& utf8, CWideString* pErr) {
    CWideString w = Utf8ToWide(utf8);
    return Parse(w.GetString(), pErr);
}

bool ZorUrl::Parse(const char16_t* text, CWideString* pErr) {
    ClearParts();
    CWideString s(text ? text : u"");
    const char16_t* p = s.GetString();
    const int n = s.GetLength();
    if (n == 0) {
        AddError(pErr, u"bad URL", u"empty text"_ws);
        return false;
    }
    for (int i = 0; i < n; i++) {
        if (p[i] < 0x20 || p[i] == 0x7F) {
            AddError(pErr, u"bad URL", CWideString::Formatted(u"control character at position %d", i));
            return false;
        }
    }

    ZorUrl u(*this); // parts are filled here and kept only on success
    int pos = 0;

    // Scheme: a name followed by "://". Without "//", a name and ':' must be
    // a host and its port ("localhost:8080/x"); anything else ("mailto:x",
    // "urn:a:b", "C:/dir") is no URL.
    int sl = SchemeLength(p, n);
    if (sl > 0 && sl < n && p[sl] == u':') {
        if (sl + 2 < n && p[sl + 1] == u'/' && p[sl + 2] == u'/') {
            u.SetScheme(CWideString(p, sl).GetString());
            pos = sl + 3;
        } else if (!(sl + 1 < n && IsAsciiDigit(p[sl + 1]))) {
            // Only the scheme is named: the rest may hold a password.
            AddError(pErr, u"bad URL", u"scheme not followed by \"//\": " + CWideString(p, sl + 1));
            return false;
        }
    } else if (n >= 2 && p[0] == u'/' && p[1] == u'/') {
        pos = 2; // "//host/path": the scheme set before
    }

    // Authority: up to the first '/', '?' or '#'.
    int authEnd = pos;
    while (authEnd < n && p[authEnd] != u'/' && p[authEnd] != u'?' && p[authEnd] != u'#') ++authEnd;
    CWideString auth(p + pos, authEnd - pos);

    int at = auth.ReverseFind(u'@');
    CWideString hostPort = auth;
    if (at >= 0) {
        CWideString userInfo = auth.Left(at);
        hostPort = auth.Mid(at + 1);
        int colon = userInfo.Find(u':');
        CWideString rawUser = colon >= 0 ? userInfo.Left(colon) : userInfo;
        CWideString rawPassword = colon >= 0 ? userInfo.Mid(colon + 1) : CWideString();
        CWideString user, password;
        if (!PercentDecode(rawUser, user) || !PercentDecode(rawPassword, password)) {
            AddError(pErr, u"bad URL", u"bad UTF-8 or control character in user name or password"_ws);
            return false;
        }
        if (!u.SetUserName(user.GetString())) {
            AddError(pErr, u"bad URL",
                     CWideString::Formatted(u"user name longer than %d characters", ZURL_MAX_USER_PASSWORD));
            return false;
        }
        if (!u.SetPassword(password.GetString())) {
            if (password.GetLength() > ZURL_MAX_USER_PASSWORD)
                AddError(
                    pErr, u"bad URL",
                    CWideString::Formatted(u"password longer than %d characters", ZURL_MAX_USER_PASSWORD));
            else
                AddError(pErr, u"bad URL", u"password without a user name"_ws);
            return false;
        }
    }

    // Host and port.
    CWideString portText;
    bool bHavePort = false;
    if (!hostPort.IsEmpty() && hostPort[0] == u'[') {
        int close = hostPort.Find(u']');
        if (close < 0) {
            AddError(pErr, u"bad URL", u"unclosed '[' in host: " + hostPort);
            return false;
        }
        CWideString lit = hostPort.Mid(1, close - 1);
        if (!IsValidIPv6Literal(lit)) {
            AddError(pErr, u"bad URL", u"bad IPv6 address: " + lit);
            return false;
        }
        u.m_sHost = lit;
        u.m_bIPv6 = true;
        CWideString rest = hostPort.Mid(close + 1);
        if (!rest.IsEmpty()) {
            if (rest[0] != u':') {
                AddError(pErr, u"bad URL", u"text after the IPv6 address: " + rest);
                return false;
            }
            portText = rest.Mid(1);
            bHavePort = true;
        }
    } else {
        int colon = hostPort.Find(u':');
        CWideString host = colon >= 0 ? hostPort.Left(colon) : hostPort;
        if (colon >= 0) {
            portText = hostPort.Mid(colon + 1);
            bHavePort = true;
        }
        if (host.FindOneOf(u" <>[]\\^|") >= 0) {
            AddError(pErr, u"bad URL", u"bad character in host name: " + host);
            return false;
        }
        u.m_sHost = host;
    }
    if (bHavePort && !portText.IsEmpty()) {
        long port = 0;
        bool ok = portText.GetLength() <= 5;
        for (int i = 0; ok && i < portText.GetLength(); i++) {
            if (!IsAsciiDigit(portText[i]))
                ok = false;
            else
                port = port * 10 + (portText[i] - u'0');
        }
        if (!ok || port < 1 || port > 65535) {
            // Not quoted: after a password with a '/' written as it is, the
            // text taken for the port is the start of that password.
            AddError(pErr, u"bad URL", u"bad port number (a port is a number from 1 to 65535)"_ws);
            return false;
        }
        u.m_nPort = (uint16_t)port;
    }

    // Path, extra part (query) and fragment.
    int hash = s.Find(u'#', authEnd);
    int pathEnd = hash >= 0 ? hash : n;
    int q = s.Find(u'?', authEnd);
    if (q >= 0 && q < pathEnd) {
        u.m_sPath = s.Mid(authEnd, q - authEnd);
        u.m_sExtra = s.Mid(q, pathEnd - q);
    } else {
        u.m_sPath = s.Mid(authEnd, pathEnd - authEnd);
    }
    if (hash >= 0) {
        u.m_sFragment = s.Mid(hash + 1);
        u.m_bFragment = true;
    }

    *this = u;
    return true;
}

bool ParseUrl(const char16_t* text, ZorUrl& url, CWideString* pErr) {
    url.Clear();
    return url.Parse(text, pErr);
}

namespace {

// Whether text after a host's ':' is a port as a URL writes it (or none).
bool IsPortText(const char16_t* s, int n) {
    if (n > 5) return false;
    long port = 0;
    for (int i = 0; i < n; i++) {
        if (!IsAsciiDigit(s[i])) return false;
        port = port * 10 + (s[i] - u'0');
    }
    return n == 0 || (port >= 1 && port <= 65535);
}

// Where the password of the URL text stands: [nStart, nEnd), the ':' before
// it included. False when the user part has none. A text without a scheme
// counts only when it parses as a URL, and only with bAnyForm: a local path
// ("C:\\a:b@c", "dir:1@x") is never cut.
//
// bRunsOn: the password holds a '/', '?' or '#' written as it is, so the
// host part ends before it: that part has no '@' and its text after the
// first ':' is no port ("s3://KEY:ab/cd@host/b"). Such a password is taken
// to run up to the last '@' of the text (to the end when there is none): a
// path with an '@' is cut as well, but none of the password stays.
bool FindPasswordSpan(const CWideString& url, bool bAnyForm, int& nStart, int& nEnd, bool& bRunsOn) {
    bRunsOn = false;
    const int n = url.GetLength();
    int start = url.Find(u"://");
    if (start > 0 && SchemeLength(url.GetString(), start) == start) {
        start += 3;
    } else {
        ZorUrl parsed;
        if (!bAnyForm || !ParseUrl(url.GetString(), parsed)) return false;
        start = url.StartsWith(u"//") ? 2 : 0;
    }
    int authEnd = start;
    while (authEnd < n && url[authEnd] != u'/' && url[authEnd] != u'?' && url[authEnd] != u'#') ++authEnd;
    int at = -1, colon = -1;
    for (int i = start; i < authEnd; i++) {
        if (url[i] == u'@') at = i;
        if (url[i] == u':' && colon < 0) colon = i;
    }
    if (at < 0) {
        if (colon < 0 || url[start] == u'[' || IsPortText(url.GetString() + colon + 1, authEnd - colon - 1))
            return false;
        nStart = colon;
        nEnd = url.ReverseFind(u'@');
        if (nEnd < authEnd) nEnd = n;
        bRunsOn = true;
        return true;
    }
    for (int i = start; i < at; i++)
        if (url[i] == u':') {
            nStart = i;
            nEnd = at;
            return true;
        }
    return false;
}

} // namespace

CWideString ZorUrlForDisplay(const CWideString& url) {
    int nStart = 0, nEnd = 0;
    bool bRunsOn = false;
    if (!FindPasswordSpan(url, true, nStart, nEnd, bRunsOn)) return url;
    return url.Left(nStart) + url.Mid(nEnd);
}

bool ZorUrlTakePassword(const CWideString& url, CWideString& urlOut, CWideString& password, bool bAsWritten) {
    urlOut = url;
    password.Empty();
    ZorUrl parsed;
    int nStart = 0, nEnd = 0;
    bool bRunsOn = false;
    // The parser reads up to a NUL: a text with one inside is no URL here.
    if (url.Find(u'\0') >= 0 || !FindPasswordSpan(url, false, nStart, nEnd, bRunsOn)) return false;
    const CWideString rest = url.Left(nStart) + url.Mid(nEnd);
    if (!bRunsOn) {
        if (!ParseUrl(url.GetString(), parsed)) return false;
        password = parsed.GetPassword();
    } else {
        // The rest must be a URL with a user, and the password one it could hold.
        CWideString decoded;
        if (!bAsWritten || nEnd == url.GetLength() || !ParseUrl(rest.GetString(), parsed) ||
            parsed.GetUserName().IsEmpty() ||
            !PercentDecode(url.Mid(nStart + 1, nEnd - nStart - 1), decoded) || decoded.IsEmpty() ||
            !parsed.SetPassword(decoded.GetString()))
            return false;
        password = decoded;
    }
    urlOut = rest;
    return true;
}
