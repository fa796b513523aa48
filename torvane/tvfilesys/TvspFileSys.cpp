// The peer back-end: the request exchange and the file-system verbs.
#include "TvspFileSys.h"

#include "TvBookmark.h"

#include "zor-escape.h"
#include "zor-file.h"
#include "zor-http-util.h"
#include "zor-stream.h"
#include "zor-text.h"
#include "zor-tic.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <ctime>

namespace {

constexpr int kMaxWaitSeconds = 120;

bool Fail(int& errKind, CWideString& err, int kind, const CWideString& text) {
    errKind = kind;
    err += text;
    return false;
}

int64_t NowSec() {
    int64_t s = 0;
    int ms = 0;
    ZorGetClock().Now(s, ms);
    return s;
}

// The reply header as a number; an absent one is reported by the caller.
bool HeaderPresent(const CRsp& rsp, const char* name, CNarrowString& value) {
    return rsp.m_mapHeaders.Lookup(CNarrowString(name), value);
}

CWideString MissingField(const char* name) {
    return CWideString(u"field '") + CWideString(name) + u"' is missing in response";
}

} // namespace

bool GetReplyUInt32(const CRsp& rsp, const char* name, bool bRequired, uint32_t& value, int& errKind,
                    CWideString& err) {
    value = 0;
    CNarrowString v;
    if (!HeaderPresent(rsp, name, v)) {
        if (!bRequired) return true;
        return Fail(errKind, err, FSE_NOT_FOUND, MissingField(name));
    }
    return ParseDecimal32(v, value, errKind, err);
}

bool GetReplyInt64(const CRsp& rsp, const char* name, int64_t& value, int& errKind, CWideString& err) {
    value = 0;
    CNarrowString v;
    if (!HeaderPresent(rsp, name, v)) return Fail(errKind, err, FSE_NOT_FOUND, MissingField(name));
    return ParseDecimal64(v, value, errKind, err);
}

bool IsAcceptablePeerName(const CWideString& name) {
    if (name.IsEmpty() || name == u"." || name == u"..") return false;
    for (int i = 0; i < name.GetLength(); ++i) {
        char16_t c = name[i];
        if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// The largest file size a peer's listing is taken at (1 PiB): far beyond
// any real file, and far from the end of 64-bit sums of sizes.
constexpr int64_t kPeerMaxListedSize = (int64_t)1 << 50;

// A listed file whose size no file has is kept as a bad entry: the scan
// makes it an item in error instead of taking that size.
void MarkUnusableSize(FsItemInfo& info) {
    if (info.IsFolder() || info.IsBad() || (info.m_nSize >= 0 && info.m_nSize <= kPeerMaxListedSize)) return;
    CWideString note;
    note.Format(u"peer listing: size %lld is not a valid file size", (long long)info.m_nSize);
    info.SetBad(note);
    info.m_nSize = 0;
}

bool ReadPeerChangeRecords(ZorInStream& in, CListT<ChangedItem>& items, ICopyProgress* pProgress,
                           CWideString& err) {
    for (;;) {
        unsigned char ch = 0;
        for (;;) {
            CWideString e;
            if (!in.PeekChar(ch, e)) return in.IsEof() ? true : (err += e, false);
            if (ch != ' ' && ch != '\n' && ch != '\r' && ch != '\t') break;
            in.GetChar(ch, e);
        }
        if (!GetTicPrefix(in, '[', err)) return false;
        CWideString path;
        int32_t kind = CIK_UNKNOWN;
        for (;;) {
            unsigned char tag = 0;
            bool bEnd = false;
            if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
            if (bEnd) break;
            if (tag == 'n') {
                if (!GetTicWString(in, tag, path, err)) return false;
            } else if (tag == 't') {
                if (!GetTicInt32(in, tag, kind, err)) return false;
            } else if (!SkipTicValue(in, tag, err)) {
                return false;
            }
        }
        // Every component must be a plain name; anything else could reach
        // outside the monitored tree, so the whole tree is looked at instead.
        CWideString rel = path.StartsWith(u"/") ? path.Mid(1) : path;
        bool ok = !path.IsEmpty();
        for (int pos = 0; ok && !rel.IsEmpty();) {
            int slash = rel.Find(u'/', pos);
            ok = IsAcceptablePeerName(rel.Mid(pos, slash < 0 ? rel.GetLength() - pos : slash - pos));
            if (slash < 0) break;
            pos = slash + 1;
        }
        if (ok) {
            items.AddTail(ChangedItem(CWideString(u"/") + rel, (uint32_t)kind));
        } else {
            ICopyProgress::Message(pProgress, 2, CWideString(u"Change of an unacceptable path '") + path +
                                                     u"' reported by the server; checking the whole tree");
            items.AddTail(ChangedItem(CWideString(), CIK_CHANGE_IN_FOLDER));
        }
    }
}

// ============================================================ construction
TvspFileSys::TvspFileSys() {
    TvspFileSys::Disconnect(true);
}

TvspFileSys::~TvspFileSys() {
    TvspFileSys::Disconnect(true);
}

bool TvspFileSys::AcceptsUrl(const CWideString& url) const {
    return url.StartsWithNoCase(u"tvtp://") || url.StartsWithNoCase(u"tvtps://");
}

int TvspFileSys::GetCapability(int id) const {
    switch (id) {
    case 20: case 21: case 22: case 34: case 107:
        return 0;
    case 27: case 100: case 102: case 106: case 108: case 111: case 118: case 125: case 130:
        return 1;
    default:
        break;
    }
    bool v = false;
    if (m_mapCaps.Lookup(id, v)) return v ? 1 : 0;
    switch (id) {
    case 26: case 29: case 30: case 31: case 32: case 35: case 37: case 39:
        return 1;
    default:
        return 0;
    }
}

CWideString TvspFileSys::GetTypeInfo(int item) const {
    switch (item) {
    case 0: return u"Torvane Connect";
    case 1: return u"tvtp://";
    case 2: return u"!*<>?\\|/";
    case 4: return m_sServerInfo;
    default: return CWideString();
    }
}

bool TvspFileSys::BreakURL(const CWideString& url, CWideString& server, CWideString& path, CWideString& err) {
    int from = 0;
    if (url.StartsWithNoCase(u"tvtp://"))
        from = 7;
    else if (url.StartsWithNoCase(u"tvtps://"))
        from = 8;
    else {
        err += u"not TVTP URL";
        return false;
    }
    int slash = url.Find(u'/', from);
    if (slash < 0) {
        server = url;
        path.Empty();
        return true;
    }
    server = url.Left(slash);
    path = url.Mid(slash + 1);
    if (path.IsEmpty() || path[0] == u'/') return true;
    TvFileSys* inner = FindFsForUrl(path);
    if (!inner) {
        err += CWideString(u"BreakURL: no file system for ") + path;
        return false;
    }
    std::unique_ptr<TvFileSys> fs(inner->NewInstance());
    CWideString s2, p2;
    if (!fs->BreakURL(path, s2, p2, err)) return false;
    server = server + u"/" + s2;
    path = p2;
    return true;
}

static void DropTrailingSlash(CWideString& s) {
    if (s.EndsWith(u"/") && !s.EndsWith(u"://")) s.Truncate(s.GetLength() - 1);
}

bool TvspFileSys::GetFullPath(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const {
    if (!path.IsEmpty() && path[0] != u'/' && path[0] != u'\\')
        return Fail(errKind, err, FSE_GENERAL, CWideString(u"path must begin with '/': ") + path);
    full = m_sRootDir;
    if (m_sHomeFolder.IsEmpty())
        DropTrailingSlash(full);
    else
        AddTrailingForwardSlash(full);
    CWideString p = path;
    p.Replace(u"\\", u"/");
    if (full.EndsWith(u"/") && p.StartsWith(u"/")) p = p.Mid(1);
    full += p;
    DropTrailingSlash(full);
    return true;
}

bool TvspFileSys::FullPath(const CWideString& path, CWideString& full, int& errKind, CWideString& err) const {
    return GetFullPath(path, full, errKind, err);
}

// ============================================================ the exchange
bool TvspFileSys::SendRecvTvtpReq(CRsp& rsp, const char* verb, const CWideString& path, int& errKind,
                                  CWideString& err) {
    return SendReq(rsp, verb, path, errKind, err);
}

bool TvspFileSys::SendReq(CRsp& rsp, const char* verb, const CWideString& path, int& errKind, CWideString& err) {
    if (!IsConnected() && m_Params.m_sHost.IsEmpty())
        return Fail(errKind, err, FSE_CONN_LOST, u"TVTP client not connected");
    CNarrowString uri = UrlEncodeW(path);
    CNarrowString verbText(verb);
    rsp.m_bExpectAllowed = 0;
    CNarrowString& h = rsp.m_sReqHeaders;
    AppendHeaderLine(h, "caller", m_sCaller);
    CWideString reqPath;
    ++m_nSeqNo;
    if (m_sForwarderHost.IsEmpty()) {
        AppendHeaderLine(h, "x-zor-session", m_sSessionId);
        h.AppendFormat("x-zor-seqno: %d\r\n", m_nSeqNo);
        reqPath = CWideString(u"/") + Utf8ToWide(verbText);
        AppendHeaderLine(h, "uri", uri);
    } else {
        AppendHeaderLine(h, "verb", verbText);
        AppendHeaderLine(h, "uri", uri);
        AppendHeaderLine(h, "x-zor-session", m_sSessionId);
        h.AppendFormat("x-zor-seqno: %d\r\n", m_nSeqNo);
        AppendHeaderLine(h, "user", WideToUtf8(m_sUserName));
        AppendHeaderLine(h, "computer", WideToUtf8(m_sComputerName));
        AppendHeaderLine(h, "ticket", m_sTicket);
        if (m_bSendClientAddress && !m_sClientAddress.IsEmpty() && m_nClientPort != 0) {
            AppendHeaderLine(h, "client-ip", m_sClientAddress);
            h.AppendFormat("client-port: %d\r\n", m_nClientPort);
        }
        reqPath = u"/SendReq";
    }
    int64_t start = NowSec();
    int attempts = 0;
    bool bReconnected = false;
    for (;;) {
        int kind = 0;
        CWideString e;
        rsp.ResetResponse();
        if (rsp.RequestResponse(m_Conn, "POST", reqPath, kind, e)) {
            if (bReconnected)
                ICopyProgress::Message(m_pProgress, 2, u"Recovered the connecttion, continuing operations");
            return true;
        }
        if (m_bReconnectAllowed && IsConnectionError(kind) && rsp.m_nTotalTime < 60 && ++attempts < 3) {
            m_Conn.Close();
            if (!m_pProgress) continue;
            bReconnected = true;
            int wk = 0;
            CWideString we;
            if (!WaitAfterConnectionLost(m_pProgress, wk, we)) return Fail(errKind, err, kind, e);
            continue;
        }
        if (rsp.m_nStatus == 519 && !rsp.m_bNoRetry) {
            bReconnected = true;
            if (!WaitForServerProgress(rsp.GetHeader("progress"), start, attempts, errKind, err)) return false;
            continue;
        }
        return Fail(errKind, err, kind, e);
    }
}

bool TvspFileSys::WaitForServerProgress(const CNarrowString& progress, int64_t start, int& attempts, int& errKind,
                                        CWideString& err) {
    --attempts;
    int64_t now = NowSec();
    int elapsed = (int)(now - start);
    if (elapsed >= kMaxWaitSeconds)
        return Fail(errKind, err, FSE_CONN_LOST, CWideString::Formatted(u"no reply after %d-sec timeout", kMaxWaitSeconds));
    if (m_pProgress) {
        time_t t = (time_t)now;
        struct tm lt {};
        localtime_r(&t, &lt);
        m_pProgress->OnMessage(2, CWideString::Formatted(u"%02d-%02d-%02d: Waiting: %d/%d sec: %S ...", lt.tm_hour,
                                                         lt.tm_min, lt.tm_sec, elapsed, kMaxWaitSeconds,
                                                         Utf8OrAnsiToWide(progress)));
    }
    for (int i = 0; i < 5; ++i) {
        if (ICopyProgress::Stopped(m_pProgress)) {
            SetStoppedByUser(errKind, err);
            return false;
        }
        ZorSleepSeconds(1);
    }
    return true;
}

bool TvspFileSys::SendReqToLocalServer(CRsp& rsp, const char* verb, const CWideString& localPath, int& errKind,
                                       CWideString& err) {
    if (!IsConnected()) {
        TvConnectInfo ci;
        CWideString name;
        if (!ReadLocalAccountBookmark(ci, name, err)) {
            errKind = FSE_GENERAL;
            return false;
        }
        ci.m_sUrl = u"tvtp://127.0.0.1/file://";
        if (!Connect(ci, m_pProgress, errKind, err)) return false;
    }
    return SendReq(rsp, verb, MakeLocalServerPath(localPath), errKind, err);
}

// ============================================================ verbs
bool TvspFileSys::Verb(CRsp& rsp, const char* verb, const CWideString& path, int& errKind, CWideString& err) {
    CWideString full;
    if (!FullPath(path, full, errKind, err)) return false;
    return SendReq(rsp, verb, full, errKind, err);
}

bool TvspFileSys::PathVerb(const char* verb, const CWideString& path, const CNarrowString& lines, int& errKind,
                           CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders = lines;
    return Verb(rsp, verb, path, errKind, err);
}

bool TvspFileSys::StartMonitoring(const CWideString& path, int& errKind, CWideString& err) {
    m_bReconnectAllowed = 0;
    if (!m_sForwarderHost.IsEmpty())
        return Fail(errKind, err, FSE_GENERAL, u"do not monitor when connecting via forwarder");
    return PathVerb("StartMonitoring", path, CNarrowString(), errKind, err);
}

void TvspFileSys::StopMonitoring() {
    CRsp rsp;
    int k = 0;
    CWideString e;
    SendReq(rsp, "StopMonitoring", CWideString(), k, e);
}

bool TvspFileSys::GetChangedItems(CListT<ChangedItem>& items, int& errKind, CWideString& err) {
    m_bReconnectAllowed = 0;
    CRsp rsp;
    rsp.m_bAcceptFileBody = 1;
    bool ok = SendReq(rsp, "GetChangedItems", CWideString(), errKind, err);
    if (ok) {
        if (rsp.m_bTempBodyFile && !rsp.m_sBodyFile.IsEmpty()) {
            ZorFileStream fs;
            ok = fs.OpenRead(rsp.m_sBodyFile, err) && ReadPeerChangeRecords(fs, items, m_pProgress, err);
        } else {
            ZorStringStream ss(rsp.m_sBody);
            ok = ReadPeerChangeRecords(ss, items, m_pProgress, err);
        }
        if (!ok) errKind = FSE_NOT_FOUND;
    }
    if (!ok) Close();
    return ok;
}

bool TvspFileSys::GetFreeDiskSpace(const CWideString&, int64_t& nFreeToCaller, int64_t& nTotalFree, int64_t& nTotal,
                                   int& errKind, CWideString& err) {
    nFreeToCaller = nTotalFree = nTotal = 0;
    CRsp rsp;
    if (!SendReq(rsp, "GetFreeDiskSpace", CWideString(), errKind, err)) return false;
    return GetReplyInt64(rsp, "available", nFreeToCaller, errKind, err) &&
           GetReplyInt64(rsp, "free", nTotalFree, errKind, err) && GetReplyInt64(rsp, "total", nTotal, errKind, err);
}

static CNarrowString DestLine(const char* name, const CWideString& full) {
    CNarrowString s;
    AppendHeaderLine(s, name, UrlEncodeW(full));
    return s;
}

bool TvspFileSys::MoveFile(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CWideString dest;
    if (!FullPath(to, dest, errKind, err)) return false;
    return PathVerb("MoveFile", from, DestLine("dest", dest), errKind, err);
}

bool TvspFileSys::MoveFolder(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CWideString dest;
    if (!FullPath(to, dest, errKind, err)) return false;
    return PathVerb("MoveFolder", from, DestLine("dest", dest), errKind, err);
}

bool TvspFileSys::CopyFileFs(const CWideString& from, const CWideString& to, int& errKind, CWideString& err) {
    CWideString dest;
    if (!FullPath(to, dest, errKind, err)) return false;
    return PathVerb("CopyFileFs", from, DestLine("dest", dest), errKind, err);
}

bool TvspFileSys::DeleteFile(const CWideString& path, int& errKind, CWideString& err) {
    return PathVerb("DeleteFile", path, CNarrowString(), errKind, err);
}

bool TvspFileSys::DeleteFolder(const CWideString& path, int& errKind, CWideString& err) {
    return PathVerb("DeleteFolder", path, CNarrowString(), errKind, err);
}

bool TvspFileSys::MakeFolder(const CWideString& path, int& errKind, CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "MakeFolder", path, errKind, err)) return false;
    m_bFolderExisted = rsp.GetHeader("created-already") == "1" ? 1 : 0;
    return true;
}

bool TvspFileSys::IsFile(const CWideString& path, bool& bExists, int& errKind, CWideString& err) {
    bExists = false;
    CRsp rsp;
    if (!Verb(rsp, "IsFile", path, errKind, err)) return false;
    CNarrowString v;
    if (!HeaderPresent(rsp, "is-file", v))
        return Fail(errKind, err, FSE_NOT_FOUND, u"no 'is-file' header in server response");
    bExists = v == "True";
    return true;
}

bool TvspFileSys::IsFolder(const CWideString& path, bool& bExists, int& errKind, CWideString& err) {
    bExists = false;
    CRsp rsp;
    if (!Verb(rsp, "IsFolder", path, errKind, err)) return false;
    CNarrowString v;
    if (!HeaderPresent(rsp, "is-folder", v))
        return Fail(errKind, err, FSE_NOT_FOUND, u"no 'is-folder' header in server response");
    bExists = v == "True";
    return true;
}

bool TvspFileSys::ReadItemBody(CRsp& rsp, CListT<FsItemInfo>* pList, FsItemInfo* pOne, int& errKind,
                               CWideString& err) {
    ZorFileStream fs;
    ZorStringStream ss(rsp.m_sBody);
    ZorInStream* in = &ss;
    if (rsp.m_bTempBodyFile && !rsp.m_sBodyFile.IsEmpty()) {
        if (!fs.OpenRead(rsp.m_sBodyFile, err)) return Fail(errKind, err, FSE_GENERAL, CWideString());
        in = &fs;
    }
    for (;;) {
        // the end of the body (blanks and line ends aside) ends the list
        unsigned char ch = 0;
        CWideString e;
        bool more = false;
        for (;;) {
            if (!in->PeekChar(ch, e)) break;
            if (ch != ' ' && ch != '\n' && ch != '\r' && ch != '\t') {
                more = true;
                break;
            }
            in->GetChar(ch, e);
        }
        if (!more) return true;
        FsItemInfo info;
        if (!ReadItemInfoTic(*in, info, err)) return Fail(errKind, err, FSE_NOT_FOUND, CWideString());
        MarkUnusableSize(info);
        if (pOne) {
            *pOne = info;
            return true;
        }
        if (!IsAcceptablePeerName(info.m_sName)) {
            ICopyProgress::Message(m_pProgress, 2,
                                   CWideString(u"Skipped an entry with an unacceptable name '") +
                                       EscapeControlChars(info.m_sName) +
                                       u"' listed by the server");
            continue;
        }
        pList->AddTail(info);
    }
}

bool TvspFileSys::ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind, CWideString& err) {
    errKind = 0;
    CRsp rsp;
    rsp.m_sReqHeaders = "single-file: false\r\n";
    rsp.m_bAcceptFileBody = 1;
    if (!Verb(rsp, "ListDir", path, errKind, err)) return false;
    return ReadItemBody(rsp, &items, nullptr, errKind, err);
}

bool TvspFileSys::GetInfo(const CWideString& path, FsItemInfo& info, bool& bNotFound, int& errKind,
                          CWideString& err) {
    info.Clear();
    bNotFound = false;
    CRsp rsp;
    if (!Verb(rsp, "GetInfo", path, errKind, err)) return false;
    if (rsp.GetHeader("not-found") == "1") {
        bNotFound = true;
        return true;
    }
    return ReadItemBody(rsp, nullptr, &info, errKind, err);
}

bool TvspFileSys::GetLinkInfo(const CWideString& path, CWideString& target, int& errKind, CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "GetLinkInfo", path, errKind, err)) return false;
    CNarrowString v;
    if (!HeaderPresent(rsp, "target-path", v))
        return Fail(errKind, err, FSE_NOT_FOUND, u"no 'target-path' header in server response");
    if (!UrlDecodeToW(v, target, err)) return Fail(errKind, err, FSE_NOT_FOUND, CWideString());
    return true;
}

bool TvspFileSys::GetLinkTargetInfo(const CWideString& path, FsItemInfo& info, int& errKind, CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "GetLinkTargetInfo", path, errKind, err)) return false;
    return ReadItemBody(rsp, nullptr, &info, errKind, err);
}

bool TvspFileSys::CreateLink(const CWideString& path, bool bFolder, const CWideString& target, int& errKind,
                             CWideString& err) {
    CNarrowString lines = CNarrowString("target: ") + UrlEncodeW(target) + "\r\n";
    lines.AppendFormat("is-folder: %d\r\n", bFolder ? 1 : 0);
    return PathVerb("CreateLink", path, lines, errKind, err);
}

bool TvspFileSys::ReadLockedHeaders(CRsp& rsp, bool bOpen, const CWideString& path, int& errKind, CWideString& err) {
    CNarrowString v;
    if (HeaderPresent(rsp, "locked-length", v)) {
        if (bOpen) m_sLockedFilePath = DisplayPath(path);
        if (!ParseDecimal64(v, m_nLockedFileLength, errKind, err)) return false;
    }
    if (HeaderPresent(rsp, "locked-modtime", v)) {
        uint32_t t = 0;
        if (!ParseDecimal32(v, t, errKind, err)) return false;
        m_tLockedFileModTime = CZorTime((int64_t)t);
        ICopyProgress::Message(m_pProgress, 2,
                               CWideString(bOpen ? u"Opened Locked file " : u"Downloaded Locked file ") +
                                   m_sLockedFilePath);
        m_bUsedLockedCopy = 1;
    }
    return true;
}

bool TvspFileSys::DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                               CWideString& err) {
    m_sLockedFilePath.Empty();
    CRsp rsp;
    rsp.m_sBodyFile = localFile;
    // The size the caller expects (its listing's, 0 included) is the most the
    // body may bring; only a negative size sets no limit.
    if (nSize >= 0) rsp.m_nMaxBody = nSize;
    CWideString e;
    if (!Verb(rsp, "DownloadFile", path, errKind, e)) {
        ZorDeleteFileQuiet(localFile); // no part of a failed download stays
        err += CWideString(u"Downloading file: ") + e;
        return false;
    }
    if (!DownloadedLength(localFile, nSize, errKind, err)) return false;
    return ReadLockedHeaders(rsp, false, path, errKind, err);
}

bool TvspFileSys::UploadFile(const CWideString& localFile, const CWideString& path, int& errKind, CWideString& err) {
    CBufferedFile src(localFile);
    if (!src.Open(errKind, err)) return false;
    CRsp rsp;
    rsp.m_pReqBodyFile = &src;
    return Verb(rsp, "UploadFile", path, errKind, err);
}

bool TvspFileSys::GetFileCrc(const CWideString& path, Md5Crc& crc, int64_t& nLength, int& errKind,
                             CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "GetFileCrc", path, errKind, err)) return false;
    if (!GetReplyInt64(rsp, "read", nLength, errKind, err)) return false;
    CNarrowString v;
    if (!HeaderPresent(rsp, "crc", v)) return Fail(errKind, err, FSE_NOT_FOUND, u"no crc header");
    if (!crc.FromText(v, err)) return Fail(errKind, err, FSE_NOT_FOUND, CWideString());
    return true;
}

bool TvspFileSys::OpenLockedFile(int dix, const CWideString& path, int& errKind, CWideString& err) {
    m_sLockedFilePath.Empty();
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\n", dix);
    if (!Verb(rsp, "OpenLockedFile", path, errKind, err)) return false;
    return ReadLockedHeaders(rsp, true, path, errKind, err);
}

bool TvspFileSys::OpenFile(int dix, const CWideString& path, uint32_t mode, int& errKind, CWideString& err) {
    CNarrowString lines;
    lines.Format("dix: %d\r\nrw-mode: %u\r\n", dix, mode);
    return PathVerb("OpenFile", path, lines, errKind, err);
}

bool TvspFileSys::CloseFile(int dix, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\n", dix);
    return SendReq(rsp, "CloseFile", CWideString(), errKind, err);
}

bool TvspFileSys::GetFilePosn(int dix, int64_t& pos, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\n", dix);
    if (!SendReq(rsp, "GetFilePosn", CWideString(), errKind, err)) return false;
    return GetReplyInt64(rsp, "position", pos, errKind, err);
}

bool TvspFileSys::SetFilePosn(int dix, int64_t pos, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nposition: %lld\r\n", dix, (long long)pos);
    return SendReq(rsp, "SetFilePosn", CWideString(), errKind, err);
}

bool TvspFileSys::SetFileLength(int dix, int64_t length, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nlength: %lld\r\n", dix, (long long)length);
    return SendReq(rsp, "SetFileLength", CWideString(), errKind, err);
}

// The body goes into the caller's buffer only after both checks: it is not
// longer than asked (the request's body limit refuses a longer one from its
// announced length, before any of it is read), and "read" does not claim
// more than the body holds.
bool TvspFileSys::ReadBufReply(CRsp& rsp, void* buf, uint32_t len, uint32_t& nRead, int& errKind,
                               CWideString& err) {
    nRead = 0;
    if (rsp.m_sBody.GetLength() > (int64_t)len) return Fail(errKind, err, FSE_NOT_FOUND, u"returned buffer too long");
    uint32_t n = 0;
    if (!GetReplyUInt32(rsp, "read", true, n, errKind, err)) return false;
    if (n > (uint32_t)rsp.m_sBody.GetLength())
        return Fail(errKind, err, FSE_NOT_FOUND,
                    CWideString::Formatted(u"server claims %u bytes read but sent %d", n, rsp.m_sBody.GetLength()));
    if (n) memcpy(buf, rsp.m_sBody.GetString(), n);
    nRead = n;
    return true;
}

bool TvspFileSys::ReadBuf(int dix, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nlength: %d\r\n", dix, (int)len);
    rsp.m_nMaxBody = len;
    nRead = 0;
    if (!SendReq(rsp, "ReadBuf", CWideString(), errKind, err)) return false;
    return ReadBufReply(rsp, buf, len, nRead, errKind, err);
}

bool TvspFileSys::ReadBufPosn(int dix, void* buf, uint32_t len, int64_t pos, uint32_t& nRead, int& errKind,
                              CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nlength: %d\r\nposition: %lld\r\n", dix, (int)len, (long long)pos);
    rsp.m_nMaxBody = len;
    nRead = 0;
    if (!SendReq(rsp, "ReadBufPosn", CWideString(), errKind, err)) return false;
    return ReadBufReply(rsp, buf, len, nRead, errKind, err);
}

bool TvspFileSys::ReadCrcReply(CRsp& rsp, bool bCrcFirst, uint32_t& nRead, CNarrowString& crc, int& errKind,
                               CWideString& err) {
    CNarrowString v;
    if (bCrcFirst) {
        if (!HeaderPresent(rsp, "crc", v)) return Fail(errKind, err, FSE_NOT_FOUND, u"no crc header");
        crc = v;
        return GetReplyUInt32(rsp, "read", true, nRead, errKind, err);
    }
    if (!GetReplyUInt32(rsp, "read", true, nRead, errKind, err)) return false;
    if (!HeaderPresent(rsp, "crc", v)) return Fail(errKind, err, FSE_NOT_FOUND, u"no crc header");
    crc = v;
    return true;
}

bool TvspFileSys::ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                             CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nlength: %d\r\n", dix, (int)len);
    if (!SendReq(rsp, "ReadBufCrc", CWideString(), errKind, err)) return false;
    return ReadCrcReply(rsp, false, nRead, crc, errKind, err);
}

bool TvspFileSys::ReadBufCrcPosn(int dix, uint32_t len, int64_t pos, uint32_t& nRead, CNarrowString& crc,
                                 int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nlength: %d\r\nposition: %lld\r\n", dix, (int)len, (long long)pos);
    if (!SendReq(rsp, "ReadBufCrcPosn", CWideString(), errKind, err)) return false;
    return ReadCrcReply(rsp, true, nRead, crc, errKind, err);
}

bool TvspFileSys::WriteBuf(int dix, const void* buf, uint32_t len, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\n", dix);
    rsp.m_sReqBody = CNarrowString((const char*)buf, (int)len);
    return SendReq(rsp, "WriteBuf", CWideString(), errKind, err);
}

bool TvspFileSys::WriteBufPosn(int dix, const void* buf, uint32_t len, int64_t pos, int& errKind, CWideString& err) {
    CRsp rsp;
    rsp.m_sReqHeaders.Format("dix: %d\r\nposition: %lld\r\n", dix, (long long)pos);
    rsp.m_sReqBody = CNarrowString((const char*)buf, (int)len);
    return SendReq(rsp, "WriteBufPosn", CWideString(), errKind, err);
}

bool TvspFileSys::GetAttributes(const CWideString& path, uint32_t& attrs, int& errKind, CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "GetAttributes", path, errKind, err)) return false;
    return GetReplyUInt32(rsp, "attributes", true, attrs, errKind, err);
}

bool TvspFileSys::SetAttributes(const CWideString& path, uint32_t attrs, int& errKind, CWideString& err) {
    CNarrowString lines;
    lines.Format("attributes: %u\r\n", attrs);
    return PathVerb("SetAttributes", path, lines, errKind, err);
}

bool TvspFileSys::ReadTimes(CRsp& rsp, uint32_t& modTime, uint32_t& createTime, int& errKind, CWideString& err) {
    return GetReplyUInt32(rsp, "mod-time", true, modTime, errKind, err) &&
           GetReplyUInt32(rsp, "cre-time", false, createTime, errKind, err);
}

bool TvspFileSys::GetFileModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                                 CWideString& err) {
    CRsp rsp;
    return Verb(rsp, "GetFileModTime", path, errKind, err) && ReadTimes(rsp, modTime, createTime, errKind, err);
}

bool TvspFileSys::GetFolderModTime(const CWideString& path, uint32_t& modTime, uint32_t& createTime, int& errKind,
                                   CWideString& err) {
    CRsp rsp;
    return Verb(rsp, "GetFolderModTime", path, errKind, err) && ReadTimes(rsp, modTime, createTime, errKind, err);
}

bool TvspFileSys::SetFileModTime(const CWideString& path, uint32_t modTime, uint32_t createTime, int& errKind,
                                 CWideString& err) {
    CNarrowString lines;
    lines.Format("mod-time: %u\r\ncre-time: %u\r\n", modTime, createTime);
    return PathVerb("SetFileModTime", path, lines, errKind, err);
}

bool TvspFileSys::SetFolderModTime(const CWideString& path, uint32_t modTime, uint32_t createTime, int& errKind,
                                   CWideString& err) {
    CNarrowString lines;
    lines.Format("mod-time: %u\r\ncre-time: %u\r\n", modTime, createTime);
    return PathVerb("SetFolderModTime", path, lines, errKind, err);
}

bool TvspFileSys::GetSecurityDescr(const CWideString& path, CWideString& sd, int& errKind, CWideString& err) {
    CRsp rsp;
    if (!Verb(rsp, "GetSecurityDescr", path, errKind, err)) return false;
    CNarrowString v = rsp.GetHeader("sec-descr");
    sd.Empty();
    for (int i = 0; i < v.GetLength(); ++i) sd += (char16_t)(unsigned char)v[i];
    return true;
}

bool TvspFileSys::SetSecurityDescr(const CWideString& path, const CWideString& sd, int& errKind, CWideString& err) {
    CNarrowString lines = "sec-descr: ";
    for (int i = 0; i < sd.GetLength(); ++i) lines += (char)(sd[i] > 255 ? '?' : sd[i]);
    lines += "\r\n";
    return PathVerb("SetSecurityDescr", path, lines, errKind, err);
}

bool TvspFileSys::SetRootDir(const CWideString& path, int& errKind, CWideString& err) {
    CWideString root = path;
    DropTrailingSlash(root);
    CRsp rsp;
    if (!SendReq(rsp, "SetRootDir", root, errKind, err)) return false;
    if (!m_sRootDir.IsEmpty() && m_ConnectInfo.m_sUrl.EndsWith(m_sRootDir.GetString()))
        m_ConnectInfo.m_sUrl = m_ConnectInfo.m_sUrl.Left(m_ConnectInfo.m_sUrl.GetLength() - m_sRootDir.GetLength()) + root;
    m_sRootDir = root;
    m_sCurRootDir = root;
    CNarrowString info;
    if (HeaderPresent(rsp, "g-server-info", info)) {
        CWideString w;
        if (!UrlDecodeToW(info, w, err)) return Fail(errKind, err, FSE_NOT_FOUND, CWideString());
        m_sServerInfo = w;
    }
    return true;
}
