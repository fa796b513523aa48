// The file operations of the S3 file system: listing, information,
// download (ranged above 10 MiB), upload (multipart above 10 MiB), delete,
// folders as markers, copy, move and content types.
#include "S3FileSysZorSock.h"

#include "zor-escape.h"
#include "zor-file.h"
#include "zor-http-util.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <string_view>

namespace {

const CNarrowString kDefaultContentType("application/octet-stream");

CWideString LastComponent(const CWideString& path) {
    CWideString p(path);
    p.Replace(u'\\', u'/');
    while (p.GetLast() == u'/') p.Truncate(p.GetLength() - 1);
    int i = p.ReverseFind(u'/');
    return i >= 0 ? p.Mid(i + 1) : p;
}

bool EndsWithSeparator(const CWideString& s) {
    return s.GetLast() == u'/' || s.GetLast() == u'\\';
}

// Unsigned byte order, as S3 orders its keys.
bool ByteLess(const CNarrowString& a, const CNarrowString& b) {
    return a.View().compare(b.View()) < 0;
}

} // namespace

int64_t S3PartSizeFor(int64_t nFileSize) {
    if (nFileSize <= kS3PartSize * kS3MaxParts) return kS3PartSize;
    const int64_t mib = 1048576;
    int64_t per = (nFileSize + kS3MaxParts - 1) / kS3MaxParts;
    return (per + mib - 1) / mib * mib;
}

// ------------------------------------------------------------ listing
bool S3FileSysZorSock::ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) {
    errKind = 0;
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, true)) {
        errKind = FSE_GENERAL;
        return false;
    }
    CNarrowString query;
    if (bucket.IsEmpty()) {
        query = "/";
    } else {
        query = "/?delimiter=/";
        if (!key.IsEmpty()) query.AppendFormat("&prefix=%S/", UrlEncodeW(key.Mid(1)));
    }
    CWideString full;
    if (!GetFullPath(path, full, errKind, err)) return false;

    S3ReplyReader reader(m_pProgress);
    int64_t nReceived = 0;
    CNarrowString marker;
    for (int page = 0;; page++) {
        CNarrowString q = query;
        if (page > 0) q += "&marker=" + UrlEncode(marker);
        CRsp rsp;
        if (!SendS3RequestChecked(rsp, "GET", bucket, CWideString(q), true, CNarrowString(), CNarrowString(), errKind,
                                  err))
            return false;
        nReceived += rsp.m_sBody.GetLength();
        if (!reader.ParseListing(rsp.m_sBody, items, bucket, full, path, err)) {
            errKind = FSE_NOT_FOUND;
            return false;
        }
        if (!reader.IsTruncated()) return true;
        if (page + 1 >= m_nMaxListPages) {
            errKind = FSE_NOT_FOUND;
            err.AppendFormat(u"S3 listing of %s stopped after %d pages: the server keeps saying there is more",
                             EscapeControlChars(DisplayPath(path)), page + 1);
            return false;
        }
        if (items.GetCount() >= m_nMaxListItems) {
            errKind = FSE_NOT_FOUND;
            err.AppendFormat(u"S3 listing of %s stopped at %lld entries: more than a folder can hold",
                             EscapeControlChars(DisplayPath(path)), (long long)items.GetCount());
            return false;
        }
        if (m_pProgress && !m_pProgress->ReportProgress(false, nReceived, errKind, err)) return false;
        // A page without NextMarker goes on after the greater of its last key
        // and its last common prefix; a marker that does not move on would
        // ask for the same page for ever.
        CNarrowString next = reader.m_sNextMarker;
        if (next.IsEmpty()) next = ByteLess(reader.m_sLastKey, reader.m_sLastPrefix) ? reader.m_sLastPrefix
                                                                                      : reader.m_sLastKey;
        if (next.IsEmpty() || (page > 0 && !ByteLess(marker, next))) {
            errKind = FSE_NOT_FOUND;
            err += u"S3 listing of " + EscapeControlChars(DisplayPath(path)) + u" does not advance after marker '" +
                   EscapeControlChars(Utf8ToWide(next)) + u"'";
            return false;
        }
        marker = next;
    }
}

// ------------------------------------------------------------ information
bool S3FileSysZorSock::GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                               CWideString& err) {
    info.Clear();
    bNotFound = false;
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, true)) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (bucket.IsEmpty() && key.IsEmpty()) {
        info.m_nAttributes = FSA_FOLDER;
        info.m_nKind = FSK_NO_FILES;
        return true;
    }
    info.m_sName = LastComponent(path.IsEmpty() ? m_sRootDir : path);
    if (key.IsEmpty()) {
        CRsp rsp;
        CWideString e;
        int k = 0;
        if (SendS3Request(rsp, "GET", bucket, u"/", false, CNarrowString(), CNarrowString(), k, e)) {
            if (rsp.m_nStatus == 200) {
                info.m_nAttributes = FSA_FOLDER;
                return true;
            }
            errKind = FSE_NOT_FOUND;
            err.AppendFormat(u"Unexpected bucket status code %d received", rsp.m_nStatus);
            return false;
        }
        if (rsp.m_nStatus == 404) {
            bNotFound = true;
            return true;
        }
        errKind = k;
        err += e;
        return false;
    }

    CRsp rsp;
    CWideString e;
    int k = 0;
    if (SendS3Request(rsp, "HEAD", bucket, key, false, CNarrowString(), CNarrowString(), k, e)) {
        if (rsp.m_nStatus != 200) {
            errKind = FSE_NOT_FOUND;
            err.AppendFormat(u"Unexpected status code %d received", rsp.m_nStatus);
            return false;
        }
        int64_t t = 0;
        if (!ParseInternetTime(rsp.GetHeader("last-modified"), t, err)) {
            errKind = FSE_NOT_FOUND;
            return false;
        }
        if (t < 0 || t > (int64_t)UINT32_MAX) {
            // Such a time would wrap into another one.
            errKind = FSE_NOT_FOUND;
            err += u"S3 gives " + EscapeControlChars(DisplayPath(path)) + u" the time '" +
                   EscapeControlChars(Utf8ToWide(rsp.GetHeader("last-modified"))) +
                   u"', outside the years 1970 to 2106";
            return false;
        }
        info.m_nAttributes = FSA_NORMAL;
        info.m_nSize = rsp.m_nContentLength >= 0 && rsp.m_nContentLength < CRsp::kChunked ? rsp.m_nContentLength : 0;
        info.m_nModTime = (uint32_t)t;
        info.m_nCreateTime = (uint32_t)t;
        return true;
    }
    if (rsp.m_nStatus == 301) {
        errKind = FSE_NOT_FOUND;
        err += e + u"\nTo fix, click Browse and turn On Host-Based Addressing option";
        return false;
    }
    if (rsp.m_nStatus != 404) {
        errKind = FSE_NOT_FOUND;
        err += e;
        return false;
    }
    CRsp marker;
    e.Empty();
    if (SendS3Request(marker, "HEAD", bucket, key + u"/", false, CNarrowString(), CNarrowString(), k, e)) {
        if (marker.m_nStatus != 200) {
            errKind = k;
            err.AppendFormat(u"Unexpected folder status code %d received", marker.m_nStatus);
            return false;
        }
        info.m_nAttributes = FSA_FOLDER;
        return true;
    }
    if (marker.m_nStatus != 404) {
        errKind = k;
        err += e;
        return false;
    }
    // A folder with objects but no marker (made by another client).
    CListT<FsItemInfo> items;
    CWideString le;
    int lk = 0;
    if (!ListDir(path, items, lk, le)) {
        // Not "not found": a failed listing says nothing about the folder.
        errKind = lk;
        err += le;
        return false;
    }
    if (items.IsEmpty()) {
        bNotFound = true;
        return true;
    }
    CWideString me;
    int mk = 0;
    if (m_bOnlyReads) {
        // Only a run that writes stores the marker.
    } else if (!MakeFolder(path, mk, me)) {
        // Read-only credentials cannot store the marker; the folder is there all the same.
        Message(2, u"Cannot create folder marker: " + me);
    }
    info.m_nAttributes = FSA_FOLDER;
    return true;
}

// ------------------------------------------------------------ download
namespace {

// The object's version as an answer gives it: its "last-modified" time (0
// when missing or outside what a stored time can hold).
int64_t AnswerTime(const CRsp& rsp) {
    int64_t t = 0;
    CWideString e;
    if (!ParseInternetTime(rsp.GetHeader("last-modified"), t, e) || t < 0 || t > (int64_t)UINT32_MAX) return 0;
    return t;
}

} // namespace

void S3FileSysZorSock::NoteDownloaded(const CRsp& rsp, int64_t nSize) {
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = nSize;
    m_LastRead.m_nFileTime = AnswerTime(rsp);
}

bool S3FileSysZorSock::DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize,
                                    int& errKind, CWideString& err) {
    errKind = 0;
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, false)) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (nSize < kS3SingleRequestLimit) {
        CRsp rsp;
        rsp.m_sBodyFile = localFile;
        // The size the caller expects (its listing's, 0 included) is the most
        // the body may bring; only a negative size sets no limit.
        if (nSize >= 0) rsp.m_nMaxBody = nSize;
        if (!SendS3Request(rsp, "GET", bucket, key, false, CNarrowString(), CNarrowString(), errKind, err)) {
            ZorDeleteFileQuiet(localFile); // no part of a failed download stays
            return false;
        }
        if (!DownloadedLength(localFile, nSize, errKind, err)) return false;
        NoteDownloaded(rsp, nSize);
        return true;
    }
    if (RangedDownload(path, bucket, key, localFile, nSize, errKind, err)) return true;
    ZorDeleteFileQuiet(localFile);
    return false;
}

bool S3FileSysZorSock::RangedDownload(const CWideString& path, const CWideString& bucket, const CWideString& key,
                                      const CWideString& localFile, int64_t& nSize, int& errKind, CWideString& err) {
    CFileHandle file;
    if (!ZorOpenFileWrite(localFile, file, 0, errKind, err)) return false;
    const int64_t limit = nSize; // the listed size: the most the download may bring
    int64_t expected = nSize, pos = 0;
    // The first answer names the version: every later range must be of the
    // same one (same ETag, same total), else the file would join two versions.
    CNarrowString etag;
    int64_t firstTotal = -1, firstTime = 0;
    auto changed = [&]() {
        errKind = FSE_GENERAL;
        err += u"Source file changed while copied: " + DisplayPath(path);
        nSize = pos;
        return false;
    };
    while (pos < expected) {
        int64_t len = expected - pos < kS3PartSize ? expected - pos : kS3PartSize;
        CRsp rsp;
        rsp.m_sReqHeaders.Format("Range: bytes=%lld-%lld\r\n", (long long)pos, (long long)(pos + len - 1));
        if (!etag.IsEmpty()) rsp.m_sReqHeaders += "If-Match: " + etag + "\r\n";
        rsp.m_nMaxBody = len; // a range answer brings no more than was asked
        const int errLength = err.GetLength();
        if (!SendS3Request(rsp, "GET", bucket, key, false, CNarrowString(), CNarrowString(), errKind, err)) {
            if (rsp.m_nStatus == 412 && firstTotal >= 0) {
                err.Truncate(errLength); // the refused precondition says only this
                return changed();
            }
            nSize = pos;
            return false;
        }
        // Only the asked bytes may reach the file: a server that ignored the
        // range or answers another one fails here. An object that shrank
        // since it was listed ends early: its last range is cut at its total.
        CNarrowString range = rsp.GetHeader("content-range");
        long long a = -1, b = -1, total = -1;
        int used = 0;
        bool bRangeOk = rsp.m_nStatus == 206 &&
                        std::sscanf(range.GetString(), "bytes %lld-%lld/%lld%n", &a, &b, &total, &used) == 3 &&
                        used == range.GetLength() && a == pos && total > a &&
                        b == (total < pos + len ? total : pos + len) - 1;
        if (bRangeOk && firstTotal >= 0) {
            CNarrowString tag = rsp.GetHeader("etag");
            if (total != firstTotal || (!etag.IsEmpty() && !tag.IsEmpty() && tag != etag)) return changed();
        }
        if (bRangeOk) len = b - a + 1;
        if (!bRangeOk || rsp.m_sBody.GetLength() != len) {
            errKind = FSE_NOT_FOUND;
            err.AppendFormat(u"S3 answered the range %lld-%lld of %s with status %d, content-range '%s' and %d bytes",
                             (long long)pos, (long long)(pos + len - 1), EscapeControlChars(DisplayPath(key)),
                             rsp.m_nStatus, EscapeControlChars(range),
                             rsp.m_sBody.GetLength());
            nSize = pos;
            return false;
        }
        if (firstTotal < 0) {
            // An object that grew since it was listed is not the listed one.
            if (total > limit) return changed();
            firstTotal = total;
            etag = rsp.GetHeader("etag");
            firstTime = AnswerTime(rsp);
        }
        if (!file.Write(rsp.m_sBody.GetString(), (uint32_t)len, errKind, err)) {
            nSize = pos;
            return false;
        }
        expected = total;
        pos += len;
        if (m_pProgress && !m_pProgress->ReportProgress(false, pos, errKind, err)) {
            nSize = pos;
            return false;
        }
    }
    if (!file.Close(errKind, err)) return false;
    nSize = pos;
    m_LastRead.m_bValid = 1;
    m_LastRead.m_nSize = pos;
    m_LastRead.m_nFileTime = firstTime;
    return true;
}

// ------------------------------------------------------------ upload
CNarrowString S3FileSysZorSock::UploadHeaders() const {
    CNarrowString h;
    if (!m_ConnectInfo.m_sAccessPolicy.IsEmpty())
        h += "x-amz-acl: " + WideToUtf8(m_ConnectInfo.m_sAccessPolicy) + "\r\n";
    if (m_ConnectInfo.m_bServerSideEncryption) h += "x-amz-server-side-encryption: AES256\r\n";
    if (m_ConnectInfo.m_bReducedRedundancy) h += "x-amz-storage-class: REDUCED_REDUNDANCY\r\n";
    return h;
}

bool S3FileSysZorSock::UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                                  CWideString& err) {
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, false)) {
        errKind = FSE_GENERAL;
        return false;
    }
    CNarrowString extra = UploadHeaders();
    CBufferedFile src(localFile);
    if (!src.Open(errKind, err)) return false;
    if (src.m_nSize < kS3SingleRequestLimit) {
        CRsp rsp;
        rsp.m_pReqBodyFile = &src;
        return SendS3Request(rsp, "PUT", bucket, key, false, extra, kDefaultContentType, errKind, err);
    }
    return MultipartUpload(src, bucket, key, extra, errKind, err);
}

void S3FileSysZorSock::AbortUpload(const CWideString& bucket, const CNarrowString& encodedKey,
                                   const CNarrowString& uploadId) {
    CRsp rsp;
    int k = 0;
    CWideString e;
    SendS3Request(rsp, "DELETE", bucket, CWideString(encodedKey + "?uploadId=" + uploadId), true, CNarrowString(),
                  CNarrowString(), k, e);
}

bool S3FileSysZorSock::MultipartUpload(CBufferedFile& src, const CWideString& bucket, const CWideString& key,
                                       const CNarrowString& extra, int& errKind, CWideString& err) {
    CNarrowString encKey = UrlEncodeW(key);
    CRsp start;
    if (!SendS3Request(start, "POST", bucket, CWideString(encKey + "?uploads"), true, extra, kDefaultContentType,
                       errKind, err))
        return false;
    S3ReplyReader reader(m_pProgress);
    CListT<FsItemInfo> scratch;
    if (!reader.ParseListing(start.m_sBody, scratch, CWideString(), CWideString(), CWideString(), err)) {
        errKind = FSE_NOT_FOUND;
        return false;
    }
    CNarrowString uploadId = reader.m_sUploadId;
    if (uploadId.IsEmpty()) {
        errKind = FSE_NOT_FOUND;
        err += u"S3 started a multipart upload without an UploadId";
        return false;
    }

    const int64_t size = src.m_nSize;
    const int64_t partSize = S3PartSizeFor(size);
    if (m_pProgress) {
        m_pProgress->m_nDivisor = size;
        m_pProgress->m_nMultiplier = size;
        m_pProgress->m_nOffset = 0;
    }
    auto fail = [&]() {
        if (m_pProgress) m_pProgress->m_nDivisor = 0;
        AbortUpload(bucket, encKey, uploadId);
        return false;
    };
    CListT<CNarrowString> etags;
    int64_t pos = 0;
    for (int part = 1; pos < size; part++) {
        int64_t want = size - pos < partSize ? size - pos : partSize;
        CRsp rsp;
        if (!src.m_hFile.Seek(pos, errKind, err)) return fail();
        char* buf = rsp.m_sReqBody.GetBufferSetLength((int)want);
        int64_t got = 0;
        while (got < want) {
            uint32_t n = 0;
            if (!src.m_hFile.Read(buf + got, (uint32_t)(want - got), n, errKind, err)) {
                rsp.m_sReqBody.ReleaseBuffer((int)got);
                return fail();
            }
            if (n == 0) break;
            got += n;
        }
        rsp.m_sReqBody.ReleaseBuffer((int)got);
        if (got == 0) {
            // The file shrank: without this the loop would send empty parts for ever.
            errKind = FSE_GENERAL;
            err.AppendFormat(u"%s ended at %lld bytes, %lld were expected", src.GetOpenName(), (long long)pos,
                             (long long)size);
            return fail();
        }
        if (m_pProgress) m_pProgress->m_nOffset = pos;
        CNarrowString q;
        q.Format("%s?partNumber=%d&uploadId=%s", encKey, part, uploadId);
        if (!SendS3Request(rsp, "PUT", bucket, CWideString(q), true, CNarrowString(), CNarrowString(), errKind, err))
            return fail();
        etags.AddTail(rsp.GetHeader("etag"));
        pos += got;
    }
    if (m_pProgress) m_pProgress->m_nDivisor = 0;

    CRsp done;
    done.m_sReqBody = "<CompleteMultipartUpload>";
    int n = 1;
    for (ZorPosition p = etags.GetHeadPosition(); p; n++)
        done.m_sReqBody.AppendFormat("<Part>\t<PartNumber>%d</PartNumber>\t<ETag>%s</ETag></Part>", n,
                                     etags.GetNext(p));
    done.m_sReqBody += "</CompleteMultipartUpload>";
    CWideString e;
    if (!SendS3RequestChecked(done, "POST", bucket, CWideString(encKey + "?uploadId=" + uploadId), true,
                              CNarrowString(), kDefaultContentType, errKind, e)) {
        err += u"Commit failed: " + e;
        AbortUpload(bucket, encKey, uploadId);
        return false;
    }
    return true;
}

// ------------------------------------------------------------ delete and folders
bool S3FileSysZorSock::DeleteFile(const CWideString& path, int& errKind, CWideString& err) {
    return DeleteObject(path, false, errKind, err);
}

bool S3FileSysZorSock::DeleteFolder(const CWideString& path, int& errKind, CWideString& err) {
    return DeleteObject(path, true, errKind, err);
}

bool S3FileSysZorSock::DeleteObject(const CWideString& path, bool bFolder, int& errKind, CWideString& err) {
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, false)) {
        errKind = FSE_GENERAL;
        return false;
    }
    // The split drops a trailing separator of the path, so the marker's '/'
    // goes on the key (as MakeFolder does).
    if (bFolder && !EndsWithSeparator(key)) key += u'/';
    CRsp rsp;
    if (!SendS3Request(rsp, "DELETE", bucket, key, false, CNarrowString(), CNarrowString(), errKind, err))
        return false;
    if (rsp.m_nStatus == 204) return true;
    errKind = FSE_NOT_FOUND;
    err.AppendFormat(u"Unexpected DELETE status %d", rsp.m_nStatus);
    return false;
}

bool S3FileSysZorSock::MakeFolder(const CWideString& path, int& errKind, CWideString& err) {
    CWideString bucket, key;
    if (!SplitS3Path(path, bucket, key, err, false)) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (!EndsWithSeparator(key)) key += u'/';
    CRsp rsp;
    return SendS3Request(rsp, "PUT", bucket, key, false, CNarrowString(), CNarrowString(), errKind, err);
}

bool S3FileSysZorSock::CheckNewPath(const CWideString& path, bool bIsFolder, int& errKind, CWideString& err) {
    uint8_t saved = m_ConnectInfo.m_bHostBasedAddr;
    m_ConnectInfo.m_bHostBasedAddr = 0;
    CWideString bucket, key;
    bool ok = SplitS3Path(path, bucket, key, err, true);
    m_ConnectInfo.m_bHostBasedAddr = saved;
    if (!ok) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (!key.IsEmpty()) return true;
    if (!bIsFolder) {
        errKind = FSE_GENERAL;
        err += u"Files cannot be created at the top level of S3 server, only the buckets can";
        return false;
    }
    CWideString lower(bucket);
    lower.MakeLower();
    if (lower != bucket) {
        errKind = FSE_GENERAL;
        err += u"Only buckets can be created at the top level and their names must be lower-case, not " + bucket;
        return false;
    }
    return true;
}

// ------------------------------------------------------------ copy and move
bool S3FileSysZorSock::CopyObject(const CWideString& from, const CWideString& to, bool bIsFile,
                                  const CNarrowString& contentType, int& errKind, CWideString& err) {
    CWideString sb, sk, tb, tk;
    if (!SplitS3Path(from, sb, sk, err, false) || !SplitS3Path(to, tb, tk, err, false)) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (!bIsFile) {
        sk += u'/';
        tk += u'/';
    }
    if (sb != tb) {
        errKind = FSE_GENERAL;
        err += u"source and destination buckets are not the same";
        return false;
    }
    CNarrowString h;
    if (!m_ConnectInfo.m_sAccessPolicy.IsEmpty())
        h += "x-amz-acl: " + WideToUtf8(m_ConnectInfo.m_sAccessPolicy) + "\r\n";
    h.AppendFormat("x-amz-copy-source: /%S%s\r\n", sb, UrlEncodeW(sk));
    if (!contentType.IsEmpty()) h += "x-amz-metadata-directive: REPLACE\r\n";
    if (m_ConnectInfo.m_bServerSideEncryption) h += "x-amz-server-side-encryption: AES256\r\n";
    if (m_ConnectInfo.m_bReducedRedundancy) h += "x-amz-storage-class: REDUCED_REDUNDANCY\r\n";
    CRsp rsp;
    return SendS3RequestChecked(rsp, "PUT", tb, tk, false, h, contentType, errKind, err);
}

bool S3FileSysZorSock::CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    return CopyObject(from, to, true, CNarrowString(), errKind, err);
}

bool S3FileSysZorSock::MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CWideString e;
    if (!CopyObject(from, to, true, CNarrowString(), errKind, e)) {
        err += u"copy when moving: " + e;
        return false;
    }
    e.Empty();
    if (!DeleteFile(from, errKind, e)) {
        err += u"delete when moving: " + e;
        return false;
    }
    return true;
}

bool S3FileSysZorSock::MoveFolderItselfOnly(const CWideString& from, const CWideString& to, int& errKind,
                                            CWideString& err) {
    CWideString e;
    if (!MakeFolder(to, errKind, e)) {
        err += u"make folder when moving: " + e;
        return false;
    }
    e.Empty();
    if (!DeleteFolder(from, errKind, e)) {
        err += u"delete when moving: " + e;
        return false;
    }
    return true;
}

bool S3FileSysZorSock::ApplyFileOptions(const CWideString& path, TvFileSys*, CWideString&, int& errKind,
                                        CWideString& err, const CWideString&) {
    CNarrowString type;
    if (!MimeTypeByExtension(LastComponent(path), type, err)) return true;
    if (type == kDefaultContentType) return true;
    return CopyObject(path, path, true, type, errKind, err);
}

bool S3FileSysZorSock::ListServers(const TvConnectInfo&, CListT<ServerEntry>& servers, ICopyProgress*,
                                   CWideString&) {
    ServerEntry e;
    e.m_sName = Utf8ToWide(g_sS3DefaultHost);
    servers.AddTail(e);
    return true;
}
