#include "TvInetFileSys.h"

#include "zor-file.h"
#include "zor-unicode.h"
#include "zor-url.h"

TvInetFileSys::TvInetFileSys() {
    TvInetFileSys::Disconnect(true);
}

TvInetFileSys::~TvInetFileSys() {
    TvInetFileSys::Disconnect(true);
}

void TvInetFileSys::Disconnect(bool bFull) {
    m_Conn.Close();
    m_Params = HttpConnectParams();
    m_bReconnectAllowed = 0;
    TvFileSys::Disconnect(bFull);
}

ICopyProgress* TvInetFileSys::SetProgressCallback(ICopyProgress* p) {
    m_Conn.m_pProgress = p;
    return TvFileSys::SetProgressCallback(p);
}

bool TvInetFileSys::IsConnected() const {
    return m_Conn.m_bConnected != 0;
}

CWideString TvInetFileSys::MakeUrl() const {
    CWideString scheme = GetTypeInfo(TVFS_TI_SCHEME);
    if (GetCapability(TVFS_CAP_SECURE_SCHEME) && !GetCapability(TVFS_CAP_NO_SECURE_SCHEME) && m_Params.m_nTls) {
        ZOR_ASSERT(scheme.EndsWith(u"://"));
        if (scheme.EndsWith(u"://")) return scheme.Left(scheme.GetLength() - 3) + u"s://";
    }
    return scheme;
}

CWideString TvInetFileSys::MakeHostUrl() const {
    CWideString s = MakeUrl();
    s += Utf8ToWide(m_Params.m_sHost);
    if (m_Params.m_nPort != 0 && (uint16_t)m_Params.m_nPort != (uint16_t)GetDefaultPort())
        s.AppendFormat(u":%d", m_Params.m_nPort);
    return s;
}

bool TvInetFileSys::ParseConnectUrl(const TvConnectInfo& ci, const char* plainScheme, int plainPort,
                                    const char* secureScheme, int securePort, bool bKeepSlash,
                                    CWideString& outPath, CWideString& err) {
    ZorUrl url;
    if (!ParseUrl(ci.m_sUrl, url)) {
        err += u"Cannot parse URL " + ZorUrlForDisplay(ci.m_sUrl);
        return false;
    }
    outPath = url.GetPathAndExtra();
    if (bKeepSlash) {
        if (outPath.EndsWith(u"/") && !outPath.EndsWith(u"://")) outPath.Truncate(outPath.GetLength() - 1);
    } else if (outPath.GetLast() == u'/' || outPath.GetLast() == u'\\') {
        outPath.Truncate(outPath.GetLength() - 1);
    }
    m_Params.m_sUserID = url.GetUserName().IsEmpty() ? ci.m_sUserID : url.GetUserName();
    if (url.GetPassword().IsEmpty()) {
        CWideString clear;
        if (!ci.DecryptPassword(clear, err)) return false;
        m_Params.m_sPassword = clear;
    } else {
        m_Params.m_sPassword = url.GetPassword();
    }
    m_Params.m_bIgnoreBadCerts = ci.m_bIgnoreBadCerts;
    m_Params.m_bCookies = ci.m_bSendCookies;
    m_Params.m_bCookieFiles = 0;
    m_Params.m_bWinInet = ci.m_bWinInet;
    m_Params.m_bUseProxy = ci.m_bUseProxy;
    m_Params.m_nUrlMode = 1;
    CWideString plain(plainScheme ? plainScheme : ""), secure(secureScheme ? secureScheme : "");
    if (!plain.IsEmpty() && url.GetScheme().CompareNoCase(plain) == 0) {
        m_Params.m_nTls = 0;
        m_Params.m_nPort = plainPort;
    } else if (!secure.IsEmpty() && url.GetScheme().CompareNoCase(secure) == 0) {
        m_Params.m_nTls = 1;
        m_Params.m_nPort = securePort;
    } else {
        CWideString msg;
        msg.Format(u"URL must have %S:// or %S:// prefix", plain, secure);
        err += msg;
        return false;
    }
    if (url.GetPort() != 0) m_Params.m_nPort = url.GetPort();
    m_Params.m_sHost = WideToUtf8(url.GetHost());
    if (m_Params.m_sHost.IsEmpty()) {
        err += u"Host Name cannot be empty";
        return false;
    }
    m_Params.m_bProxyStyle = m_Params.m_nTls ? 0 : 1;
    m_Params.m_sUrl = MakeHostUrl();
    CWideString pe = url.GetPathAndExtra();
    if (!pe.IsEmpty()) {
        if (m_Params.m_sUrl.EndsWith(u"/")) m_Params.m_sUrl.Truncate(m_Params.m_sUrl.GetLength() - 1);
        m_Params.m_sUrl += pe;
    }
    return true;
}

bool TvInetFileSys::DownloadedLength(const CWideString& localFile, int64_t& nSize, int& errKind, CWideString& err) {
    uint64_t n = 0;
    if (!ZorGetFileSizeByName(localFile, n, errKind, err)) {
        ZorDeleteFileQuiet(localFile);
        return false;
    }
    nSize = (int64_t)n;
    return true;
}
