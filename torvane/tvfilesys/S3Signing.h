// S3 addressing and request signing (signature version 2): the split of a
// path into bucket and key, the default host and domain suffix, and the
// pieces of the string to sign.
#pragma once

#include "zor-string.h"

// The public default endpoint host and the service's domain suffix (with its
// leading dot). Both can be overridden by the string values "S3DefaultHost"
// and "S3HostSuffix" under the current user's "Software\Zorvek Systems\Torvane"
// (S3LoadHostSettings), or set directly.
extern CNarrowString g_sS3DefaultHost;
extern CNarrowString g_sS3HostSuffix;
// Reads the two registry values into the globals (absent values keep them);
// once per process, at the first connect.
void S3LoadHostSettings();

// Narrow case-insensitive suffix test; false when the suffix is longer.
bool EndsWithNoCase(const CNarrowString& text, const CNarrowString& suffix);

// Splits a path below the root folder into bucket and key (the key keeps its
// leading '/'). With bHostBased the bucket is lower-cased.
bool S3SplitPath(const CWideString& rootDir, const CWideString& path, bool bHostBased, CWideString& bucket,
                 CWideString& key, CWideString& err, bool bTopLevelAllowed);

// The request path: the path alone with host-based addressing or no bucket,
// else "/" bucket path; UTF-8 and percent-encoded (bEncoded: the path holds
// escapes and a query already). An empty result is "/".
bool S3EncodeRequestPath(const CWideString& bucket, const CWideString& path, bool bEncoded, bool bHostBased,
                         CNarrowString& out);

// Every CR LF becomes LF and every blank is removed.
CNarrowString S3CanonicalAmzHeaders(const CNarrowString& extraHeaders);
// "/" bucket encodedPath (host-based) or encodedPath, without a query other
// than "uploads", "partNumber..." or "uploadId...", with one leading "/".
CNarrowString S3CanonicalResource(const CWideString& bucket, const CNarrowString& encodedPath, bool bHostBased);
CNarrowString S3StringToSign(const char* verb, const CNarrowString& contentType, const CNarrowString& date,
                             const CNarrowString& extraHeaders, const CNarrowString& canonicalResource);
// Base64 of HMAC-SHA1(secret, text).
bool S3SignString(const CNarrowString& secretUtf8, const CNarrowString& text, CNarrowString& signature,
                  CWideString& err);
// The date of a request: "%a, %d %b %Y %X +0000" in UTC, English names.
CNarrowString S3RequestDate(int64_t nTime);
