#include "S3Signing.h"

#include "zor-crypt.h"
#include "zor-registry.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <mutex>

CNarrowString g_sS3DefaultHost("s3.amazonaws.com");
CNarrowString g_sS3HostSuffix(".amazonaws.com");

void S3LoadHostSettings() {
    // Once per process, before the first connect: connects of several
    // workers run at the same time and only read the two strings.
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        static const CWideString kKey(u"Software\\Zorvek Systems\\Torvane");
        CWideString host, suffix;
        RegGetStringValueQuiet(host, HKEY_CURRENT_USER, kKey, u"S3DefaultHost");
        RegGetStringValueQuiet(suffix, HKEY_CURRENT_USER, kKey, u"S3HostSuffix");
        if (!host.IsEmpty()) g_sS3DefaultHost = WideToUtf8(host);
        if (!suffix.IsEmpty()) g_sS3HostSuffix = WideToUtf8(suffix);
    });
}

bool EndsWithNoCase(const CNarrowString& text, const CNarrowString& suffix) {
    if (suffix.GetLength() > text.GetLength()) return false;
    return text.Right(suffix.GetLength()).CompareNoCase(suffix) == 0;
}

bool S3SplitPath(const CWideString& rootDir, const CWideString& path, bool bHostBased, CWideString& bucket,
                 CWideString& key, CWideString& err, bool bTopLevelAllowed) {
    bucket.Empty();
    key.Empty();
    if (!path.IsEmpty() && path[0] != u'/' && path[0] != u'\\') {
        err += u"relative paths deprecated: " + path;
        return false;
    }
    CWideString full;
    if (path.IsEmpty()) {
        full = rootDir;
    } else {
        full = rootDir;
        if (full.GetLast() == u'/' || full.GetLast() == u'\\') full.Truncate(full.GetLength() - 1);
        full += path;
    }
    if (full.GetLast() == u'/' || full.GetLast() == u'\\') full.Truncate(full.GetLength() - 1);
    full.Replace(u'\\', u'/');
    if (!bTopLevelAllowed && (full.GetLength() < 2 || full[0] != u'/')) {
        err += u"S3 path must contain bucket name: " + full;
        return false;
    }
    int p = full.GetLength() > 1 ? full.Find(u'/', 1) : -1;
    if (p >= 0) {
        bucket = full.Mid(1, p - 1);
        key = full.Mid(p);
    } else {
        bucket = full.Mid(1);
    }
    if (bHostBased) bucket.MakeLower();
    return true;
}

bool S3EncodeRequestPath(const CWideString& bucket, const CWideString& path, bool bEncoded, bool bHostBased,
                         CNarrowString& out) {
    CWideString req = (bHostBased || bucket.IsEmpty()) ? path : u"/" + bucket + path;
    if (!UrlEncodeTo(WideToUtf8(req), out, bEncoded ? URLENC_STOP_AT_QUERY : URLENC_PERCENT)) return false;
    if (out.IsEmpty()) out = "/";
    return true;
}

CNarrowString S3CanonicalAmzHeaders(const CNarrowString& extraHeaders) {
    CNarrowString s = extraHeaders;
    s.Replace("\r\n", "\n");
    s.Remove(' ');
    return s;
}

CNarrowString S3CanonicalResource(const CWideString& bucket, const CNarrowString& encodedPath, bool bHostBased) {
    CNarrowString r = bHostBased ? "/" + WideToUtf8(bucket) + encodedPath : encodedPath;
    int q = r.Find('?');
    if (q >= 0) {
        CNarrowString query = r.Mid(q + 1);
        if (!query.StartsWith("uploads") && !query.StartsWith("partNumber") && !query.StartsWith("uploadId"))
            r.Truncate(q);
    }
    r.TrimLeft('/');
    return "/" + r;
}

CNarrowString S3StringToSign(const char* verb, const CNarrowString& contentType, const CNarrowString& date,
                             const CNarrowString& extraHeaders, const CNarrowString& canonicalResource) {
    CNarrowString s;
    s.Format("%s\n\n%s\n%s\n", verb, contentType, date);
    s += S3CanonicalAmzHeaders(extraHeaders);
    s += canonicalResource;
    return s;
}

bool S3SignString(const CNarrowString& secretUtf8, const CNarrowString& text, CNarrowString& signature,
                  CWideString& err) {
    uint8_t mac[ZOR_SHA1_LEN];
    if (!ZorHmacSha1(secretUtf8.GetString(), (size_t)secretUtf8.GetLength(), text.GetString(),
                     (size_t)text.GetLength(), mac)) {
        err += u"HMAC-SHA1 failed";
        return false;
    }
    signature = Base64Encode(mac, sizeof(mac));
    return true;
}

CNarrowString S3RequestDate(int64_t nTime) {
    return CZorTime(nTime).FormatGmtA("%a, %d %b %Y %X +0000");
}
