// The S3 file system: object, connect, addressing, signing and the request
// with its retry rules. The file operations are in S3FileSysOps.cpp.
#include "S3FileSysZorSock.h"

#include "zor-escape.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

S3FileSysZorSock::S3FileSysZorSock() {
    S3FileSysZorSock::Disconnect(true);
}

S3FileSysZorSock::~S3FileSysZorSock() {
    S3FileSysZorSock::Disconnect(true);
}

TvFileSys* S3FileSysZorSock::NewInstance() const {
    return new (std::nothrow) S3FileSysZorSock();
}

bool S3FileSysZorSock::AcceptsUrl(const CWideString& url) const {
    return url.StartsWithNoCase(u"s3://") || url.StartsWithNoCase(u"s3s://");
}

int S3FileSysZorSock::GetCapability(int id) const {
    switch (id) {
    case 28: case 31: case 100: case 106: case 108: case 109: case 110: case 111: case 112:
    case 115: case 116: case 117: case 118: case 122: case 124: case 130: case 135: case 136:
        return 1;
    default:
        return 0;
    }
}

CWideString S3FileSysZorSock::GetTypeInfo(int item) const {
    switch (item) {
    case TVFS_TI_NAME: return u"Amazon S3";
    case TVFS_TI_SCHEME: return u"s3://";
    case TVFS_TI_BAD_NAME_CHARS: return u"*<>:|\\/";
    case TVFS_TI_DISPLAY_NAME: return IsConnected() ? u"Amazon S3" : u"Disconnected";
    case TVFS_TI_USER_LABEL: return u"AWS Access Key ID";
    case TVFS_TI_PASSWORD_LABEL: return u"AWS Secret Access Key";
    default: return CWideString();
    }
}

int S3FileSysZorSock::GetDefaultPort() const {
    return m_Params.m_nTls ? 443 : 80;
}

void S3FileSysZorSock::Disconnect(bool bFull) {
    m_sS3Host.Empty();
    TvInetFileSys::Disconnect(bFull);
}

void S3FileSysZorSock::Close() {
    Disconnect(false);
}

bool S3FileSysZorSock::SplitS3Path(const CWideString& path, CWideString& bucket, CWideString& key, CWideString& err,
                                   bool bTopLevelAllowed) {
    return S3SplitPath(m_sRootDir, path, m_ConnectInfo.m_bHostBasedAddr != 0, bucket, key, err, bTopLevelAllowed);
}

bool S3FileSysZorSock::Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) {
    Disconnect(false);
    m_ConnectInfo = ci;
    SetProgressCallback(pProgress);
    S3LoadHostSettings();

    CWideString root;
    if (!ParseConnectUrl(ci, "s3", 80, "s3s", 443, false, root, err)) {
        errKind = FSE_GENERAL;
        return false;
    }
    m_sRootDir = root;
    m_sCurRootDir = root;
    CWideString bucket, key;
    if (!SplitS3Path(u"/x", bucket, key, err, false)) return false;

    bool bHostBased = m_ConnectInfo.m_bHostBasedAddr != 0;
    m_sS3Host = m_Params.m_sHost;
    if (!EndsWithNoCase(m_sS3Host, g_sS3HostSuffix)) {
        CWideString msg;
        msg.Format(u"Non-canonic Amazon S3 host %S, we expect canonic URL in this format: s3://", m_sS3Host);
        msg += Utf8ToWide(g_sS3DefaultHost) + u"/bucket/folder-path";
        Message(2, msg);
        m_sUrlPrefix = MakeHostUrl();
    } else if (!bHostBased) {
        m_sUrlPrefix = MakeUrl() + Utf8ToWide(m_sS3Host);
    } else if (m_sS3Host.CompareNoCase(g_sS3DefaultHost) != 0) {
        CWideString msg;
        msg.Format(u"Non-canonic Amazon S3 host %S is ignored in host-based addressing, effective hostname is %s.%S",
                   m_sS3Host, bucket, g_sS3DefaultHost);
        Message(2, msg);
        m_sUrlPrefix = MakeUrl() + Utf8ToWide(m_sS3Host);
        m_sS3Host = g_sS3DefaultHost;
        m_Params.m_sHost = g_sS3DefaultHost;
    } else {
        m_sUrlPrefix = MakeUrl() + Utf8ToWide(m_sS3Host);
    }
    m_Params.m_sHost = (!bHostBased || bucket.IsEmpty()) ? m_sS3Host : WideToUtf8(bucket) + "." + m_sS3Host;

    if (m_Params.m_sUserID.IsEmpty()) {
        errKind = FSE_AUTH;
        err += u"Empty Access Key ID (UserID)";
        return false;
    }
    if (m_Params.m_sPassword.IsEmpty()) {
        errKind = FSE_AUTH;
        err += u"Empty Secret Access Key (Password)";
        return false;
    }
    // the secret key signs the requests; it never answers a server's challenge
    if (!HttpConfigureAndConnect(m_Conn, HttpWithoutServerCredentials(m_Params), m_pProgress, errKind, err)) return false;

    CRsp rsp;
    CWideString probeErr;
    int probeKind = 0;
    bool ok = SendS3Request(rsp, "GET", bucket, key, false, CNarrowString(), CNarrowString(), probeKind, probeErr);
    if (!ok && rsp.m_nStatus == 403) {
        errKind = probeKind;
        err += u"S3 rejects your Access Key ID (UserID) or Secret Access Key (Password): " + probeErr;
        return false;
    }
    if (ok || rsp.m_nStatus == 404) {
        m_bReconnectAllowed = 1;
        m_bConnected = true;
        return true;
    }
    errKind = probeKind;
    err += probeErr;
    return false;
}

bool S3FileSysZorSock::SignS3Request(const char* verb, const CWideString& bucket, const CNarrowString& encodedPath,
                                     const CNarrowString& contentType, const CNarrowString& date,
                                     const CNarrowString& extraHeaders, CNarrowString& authLine, CWideString& err) {
    CNarrowString resource = S3CanonicalResource(bucket, encodedPath, m_ConnectInfo.m_bHostBasedAddr != 0);
    CNarrowString toSign = S3StringToSign(verb, contentType, date, extraHeaders, resource);
    CNarrowString sig;
    if (!S3SignString(WideToUtf8(m_Params.m_sPassword), toSign, sig, err)) return false;
    authLine.Format("Authorization: AWS %s:%s", WideToUtf8(m_Params.m_sUserID), sig);
    return true;
}

bool S3FileSysZorSock::EnsureHost(const CNarrowString& host, int& errKind, CWideString& err) {
    if (host.CompareNoCase(m_Conn.m_sHost) == 0 && m_Conn.m_bConnected) return true;
    m_Conn.Close();
    m_Params.m_sHost = host;
    return HttpConfigureAndConnect(m_Conn, HttpWithoutServerCredentials(m_Params), m_pProgress, errKind, err);
}

bool S3FileSysZorSock::SendS3Request(CRsp& rsp, const char* verb, const CWideString& bucket, const CWideString& path,
                                     bool bPathEncoded, const CNarrowString& extraHeaders,
                                     const CNarrowString& contentType, int& errKind, CWideString& err) {
    bool bHostBased = m_ConnectInfo.m_bHostBasedAddr != 0;
    CNarrowString encoded;
    if (!S3EncodeRequestPath(bucket, path, bPathEncoded, bHostBased, encoded)) {
        errKind = FSE_GENERAL;
        err += u"cannot encode the request path";
        return false;
    }
    CNarrowString date = S3RequestDate(CZorTime::Now().GetTime());
    CNarrowString auth;
    if (!SignS3Request(verb, bucket, encoded, contentType, date, extraHeaders, auth, err)) {
        errKind = FSE_AUTH;
        return false;
    }
    // The caller's own unsigned lines (Range) stay in front.
    CNarrowString headers = rsp.m_sReqHeaders;
    headers.AppendFormat("Date: %s\r\n", date);
    if (!contentType.IsEmpty()) headers.AppendFormat("Content-Type: %s\r\n", contentType);
    headers += auth;
    headers += "\r\n";
    headers += extraHeaders;

    CNarrowString host =
        (!bHostBased || bucket.IsEmpty()) ? m_sS3Host : WideToUtf8(bucket) + "." + m_sS3Host;
    if (!EnsureHost(host, errKind, err)) return false;

    CWideString widePath(encoded);
    int nAttempts = 0;
    for (;;) {
        // A retry starts from a clean reply part: what a broken answer left
        // (its declared length) belongs to the closed connection.
        rsp.ResetResponse();
        rsp.m_sReqHeaders = headers;
        if (rsp.m_pReqBodyFile) {
            int k = 0;
            CWideString e;
            if (!rsp.m_pReqBodyFile->Rewind(k, e)) {
                errKind = k;
                err += e;
                return false;
            }
        }
        int kind = 0;
        CWideString e;
        if (rsp.RequestResponse(m_Conn, verb, widePath, kind, e)) return true;
        if (m_bReconnectAllowed && IsConnectionError(kind) && HttpMayResend(verb, rsp)) {
            if (++nAttempts < 3) {
                m_Conn.Close();
                if (m_pProgress) {
                    int wk = 0;
                    CWideString we;
                    if (!WaitAfterConnectionLost(m_pProgress, wk, we)) {
                        errKind = wk ? wk : kind;
                        err += e;
                        return false;
                    }
                }
                if (!EnsureHost(host, errKind, err)) return false;
                continue;
            }
        }
        errKind = kind;
        if (rsp.m_sBody.IsEmpty()) {
            err += e;
            return false;
        }
        S3ReplyReader reader(m_pProgress);
        CWideString pe;
        if (!reader.Parse(rsp.m_sBody, pe, true) || !reader.HasError()) {
            err += e;
            return false;
        }
        const CNarrowString& code = reader.GetErrorCodeA();
        if (code == "RequestTimeout" || code == "InternalError") {
            if (++nAttempts < 2) {
                m_Conn.Close();
                if (!EnsureHost(host, errKind, err)) return false;
                continue;
            }
        }
        err += e;
        err += u"; S3 says: " + EscapeControlChars(reader.GetErrorMessage());
        if (code == "PermanentRedirect")
            err += u"\nHow to Fix: Specify correct S3 host name for this bucket or Turn On Host-Based addressing "
                   u"option.";
        return false;
    }
}

bool S3FileSysZorSock::SendS3RequestChecked(CRsp& rsp, const char* verb, const CWideString& bucket,
                                            const CWideString& path, bool bPathEncoded,
                                            const CNarrowString& extraHeaders, const CNarrowString& contentType,
                                            int& errKind, CWideString& err) {
    if (!SendS3Request(rsp, verb, bucket, path, bPathEncoded, extraHeaders, contentType, errKind, err)) return false;
    if (rsp.m_nContentLength > 0 && !rsp.m_sBody.IsEmpty()) {
        S3ReplyReader reader(m_pProgress);
        CWideString pe;
        reader.Parse(rsp.m_sBody, pe, true);
        if (reader.HasError()) {
            errKind = FSE_NOT_FOUND;
            err += u"; Server said: " + EscapeControlChars(reader.GetErrorMessage());
            return false;
        }
    }
    return true;
}
