// Site keys and cookie files: the registrable domain a URL belongs to
// ("example.co.uk" for http://shop.example.co.uk), the URL cracker behind it,
// the IP literal test, and the per-site cookie files of the HTTP client.
#pragma once

#include "zor-string.h"

#include <cstdint>

// Scheme codes and classes of a cracked URL.
enum : int32_t {
    CUS_MOZ_PROXY = 0,
    CUS_HTTP = 1,
    CUS_HTTPS = 2,
    CUS_FTP = 3,
    CUS_FTPS = 4,
    CUS_FILE = 5,
    CUS_OTHER = 6,
};
enum : int32_t {
    CUC_NONE = 0,
    CUC_WEB = 1,
    CUC_FTP = 2,
    CUC_FILE = 3,
};

struct CrackedUrl {
    int32_t m_nScheme = CUS_MOZ_PROXY;
    int32_t m_nClass = CUC_NONE;
    CWideString m_sScheme, m_sUser, m_sPassword, m_sHost;
    int32_t m_nPort = -1; // -1 = not given
    CWideString m_sPath, m_sParams, m_sQuery, m_sFragment;
    int32_t m_bDecoded = 0; // the path was percent-decoded
    int32_t m_bParsed = 0;
};

// Splits a URL into its parts (see zor-sitekey.cpp for the rules). The host
// comes back lower-cased, "127.0.0.1" as "localhost", and a web URL (or one
// without a scheme) without a port gets port 80.
bool CrackUrl(const CWideString& url, CrackedUrl& out);

// Percent-decoding of the cracker: '%' with one or two hexadecimal digits
// gives that code; "%%" gives '%' and the second '%' starts an escape again;
// a '%' before anything else, or at the end, is dropped.
CWideString CrackerPercentDecode(const CWideString& text);

// An IPv4 literal (one to four dot-separated decimal parts) or an IPv6
// literal in the forms of RFC 4291 (with "::" compression and an IPv4 tail),
// optionally within '[' and ']'.
bool IsIpLiteral(const CWideString& text);

// The site key of a URL. withSuffix: label and registry suffix (else the
// bare label); withScheme: the scheme prefix ("http://", "ftp://",
// "file://", "exe://", "what://") before it; capitalise: the label's first
// letter upper-cased.
void UrlSiteKey(const CWideString& url, bool withSuffix, bool withScheme, bool capitalise, CWideString& key);
CWideString UrlSiteKey(const CWideString& url, bool withSuffix = true, bool withScheme = false,
                       bool capitalise = false);

// ---------------------------------------------------------------- cookie files
// The folder of the per-site cookie files (process-wide; empty turns cookie
// files off). Set once before use.
void SetCookieFolder(const CWideString& folder);
CWideString GetCookieFolder();

// Cookie files hold at most this many bytes that are read.
constexpr int kCookieFileMaxBytes = 8192;

// The file name of a server host's cookies: the site key of "http://" and
// the host, mapped to [a-z0-9.-] (anything else becomes '_'), at most 200
// bytes, never "." or "..", and ".txt". Empty when the host has no key.
CWideString CookieFileName(const CNarrowString& host);
// The cookie folder, '/', and the file name; empty when either is empty.
CWideString CookieFilePath(const CNarrowString& host);

// Reads the first 8192 bytes of the host's cookie file. A missing file (or
// no cookie folder) gives an empty text and success.
bool ReadCookieFile(const CNarrowString& host, CNarrowString& text, int& kind, CWideString& err);
// Writes the host's cookie file (the folder is created when missing).
bool WriteCookieFile(const CNarrowString& host, const CNarrowString& text, int& kind, CWideString& err);
