// Windows shares through their CIFS/SMB mounts.
#include "WinNetFileSys.h"

#include "zor-file.h"
#include "zor-path.h"
#include "zor-sysfolders.h"
#include "zor-unicode.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <vector>

namespace {

std::mutex g_sourcesLock;
CWideString g_sMountInfo; // empty: /proc/self/mountinfo
CWideString g_sGvfs;      // empty: $XDG_RUNTIME_DIR/gvfs, else /run/user/<uid>/gvfs

void GetSources(CWideString& mountInfo, CWideString& gvfs) {
    std::lock_guard<std::mutex> g(g_sourcesLock);
    mountInfo = g_sMountInfo.IsEmpty() ? CWideString(u"/proc/self/mountinfo") : g_sMountInfo;
    gvfs = g_sGvfs;
    if (gvfs.IsEmpty()) {
        const char* rt = getenv("XDG_RUNTIME_DIR");
        if (rt && rt[0] == '/') {
            gvfs = ZorWidePath(rt) + u"/gvfs";
        } else {
            gvfs.Format(u"/run/user/%u/gvfs", (unsigned)getuid());
        }
    }
}

// Path components ("a/b" -> {"a","b"}), empty ones dropped.
std::vector<CWideString> Components(const CWideString& path) {
    std::vector<CWideString> out;
    int start = 0;
    for (int i = 0; i <= path.GetLength(); ++i) {
        if (i == path.GetLength() || path[i] == u'/' || path[i] == u'\\') {
            if (i > start) out.push_back(path.Mid(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

// %xx escapes of a gvfs mount name.
CWideString PercentDecode(const CWideString& s) {
    CNarrowString in = WideToUtf8(s), out;
    for (int i = 0; i < in.GetLength(); ++i) {
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        if (in[i] == '%' && i + 2 < in.GetLength() && hex(in[i + 1]) >= 0 && hex(in[i + 2]) >= 0) {
            out.AppendChar((char)(hex(in[i + 1]) * 16 + hex(in[i + 2])));
            i += 2;
        } else {
            out.AppendChar(in[i]);
        }
    }
    return Utf8OrAnsiToWide(out);
}

bool IsShareFsType(const CWideString& type) {
    return type.EqualsNoCase(u"cifs") || type.EqualsNoCase(u"smb3") || type.EqualsNoCase(u"smbfs");
}

CWideString JoinRest(CWideString base, const std::vector<CWideString>& parts, size_t from) {
    while (base.GetLength() > 1 && base.EndsWith(u"/")) base.Truncate(base.GetLength() - 1);
    for (size_t i = from; i < parts.size(); ++i) {
        if (!base.EndsWith(u"/")) base += u"/";
        base += parts[i];
    }
    return base;
}

} // namespace

void WinNetFileSys::SetMountSources(const CWideString& mountInfoPath, const CWideString& gvfsFolder) {
    std::lock_guard<std::mutex> g(g_sourcesLock);
    g_sMountInfo = mountInfoPath;
    g_sGvfs = gvfsFolder;
}

TvFileSys* WinNetFileSys::NewInstance() const {
    return new WinNetFileSys();
}

bool WinNetFileSys::AcceptsUrl(const CWideString& url) const {
    if (url.StartsWith(u"\\\\")) return !url.StartsWith(u"\\\\?\\") && !url.StartsWith(u"\\\\.\\");
    CWideString rest;
    if (!url.StartsWithTailNoCase(u"file://", rest)) return false;
    if (rest.IsEmpty() || rest[0] == u'/') return false;
    CWideString host = rest.Left(rest.Find(u'/') < 0 ? rest.GetLength() : rest.Find(u'/'));
    return !host.EqualsNoCase(u"localhost");
}

int WinNetFileSys::GetCapability(int id) const {
    return id == TVFS_CAP_MONITOR ? 0 : WinFileSys::GetCapability(id);
}

CWideString WinNetFileSys::GetTypeInfo(int item) const {
    switch (item) {
        case TVFS_TI_NAME:
            return u"Network Folder";
        case TVFS_TI_DISPLAY_NAME:
            return IsConnected() ? u"Network: \\\\" + m_sServer + u"\\" + m_sShare + u" (" + m_sRootDir + u")"
                                 : CWideString(u"Disconnected");
        default:
            return WinFileSys::GetTypeInfo(item);
    }
}

bool WinNetFileSys::SplitShareUrl(const CWideString& url, CWideString& server, CWideString& share,
                                  CWideString& rest, CWideString& err) {
    CWideString p;
    if (url.StartsWith(u"\\\\")) {
        p = url.Mid(2);
    } else if (url.StartsWithNoCase(u"file://")) {
        p = UrlToLocalPath(url); // "//server/share/..." percent-decoded
        while (p.StartsWith(u"/")) p = p.Mid(1);
    } else {
        err += u"not a network share: " + url;
        return false;
    }
    std::vector<CWideString> parts = Components(p);
    if (parts.size() < 2) {
        err += u"no share named in " + url + u" (expected \\\\server\\share\\folder)";
        return false;
    }
    server = parts[0];
    share = parts[1];
    rest = JoinRest(CWideString(), parts, 2);
    return true;
}

bool WinNetFileSys::MapShareToMount(const CWideString& server, const CWideString& share,
                                    const CWideString& rest, CWideString& local, int& errKind,
                                    CWideString& err) {
    CWideString mountInfo, gvfs;
    GetSources(mountInfo, gvfs);
    std::vector<CWideString> want = Components(share + u"/" + rest);

    // 1. Kernel CIFS/SMB mounts: the longest matching share path wins; of
    //    equal ones the last mount, which is the visible one.
    CNarrowString text;
    int kind = 0;
    CWideString readErr;
    std::vector<ZorVolumeInfo> vols;
    if (ReadWholeFile(mountInfo, 16 * 1024 * 1024, text, kind, readErr)) {
        CWideString parseErr;
        if (!ZorParseMountInfo(text, vols, parseErr)) vols.clear();
    }
    size_t bestLen = 0;
    CWideString best;
    for (const ZorVolumeInfo& v : vols) {
        if (!IsShareFsType(v.sFsType)) continue;
        std::vector<CWideString> src = Components(v.sSource);
        if (src.size() < 2 || !src[0].EqualsNoCase(server)) continue;
        src.erase(src.begin());
        // A mount of a folder inside the share shows that folder.
        for (const CWideString& c : Components(v.sRoot)) src.push_back(c);
        if (src.size() > want.size()) continue;
        bool bMatch = true;
        for (size_t i = 0; i < src.size() && bMatch; ++i) bMatch = src[i].EqualsNoCase(want[i]);
        if (!bMatch || src.size() < bestLen) continue;
        bestLen = src.size();
        best = JoinRest(v.sMountPoint, want, src.size());
    }
    if (bestLen > 0) {
        local = best;
        return true;
    }

    // 2. The desktop's gvfs mounts.
    CNarrowString gvfsNative = ZorNativePath(gvfs);
    if (DIR* d = opendir(gvfsNative.GetString())) {
        while (struct dirent* de = readdir(d)) {
            CWideString name = Utf8OrAnsiToWide(de->d_name);
            CWideString keys;
            if (!name.StartsWithTailNoCase(u"smb-share:", keys)) continue;
            CWideString srv, shr;
            int start = 0;
            for (int i = 0; i <= keys.GetLength(); ++i) {
                if (i == keys.GetLength() || keys[i] == u',') {
                    CWideString kv = keys.Mid(start, i - start);
                    int eq = kv.Find(u'=');
                    if (eq > 0) {
                        CWideString k = kv.Left(eq), val = PercentDecode(kv.Mid(eq + 1));
                        if (k.EqualsNoCase(u"server")) srv = val;
                        if (k.EqualsNoCase(u"share")) shr = val;
                    }
                    start = i + 1;
                }
            }
            if (srv.EqualsNoCase(server) && shr.EqualsNoCase(share)) {
                local = JoinRest(gvfs + u"/" + name, want, 1);
                closedir(d);
                return true;
            }
        }
        closedir(d);
    }
    errKind = FSE_GENERAL;
    err += u"Cannot connect to \\\\" + server + u"\\" + share +
           u": the share is not mounted on this computer (no CIFS/SMB or desktop mount of it was found); "
           u"mount the share first";
    return false;
}

bool WinNetFileSys::ResolveRoot(const CWideString& url, CWideString& localRoot, int& errKind,
                                CWideString& err) {
    CWideString server, share, rest;
    if (!SplitShareUrl(url, server, share, rest, err)) {
        errKind = FSE_GENERAL;
        return false;
    }
    if (!MapShareToMount(server, share, rest, localRoot, errKind, err)) return false;
    m_sServer = server;
    m_sShare = share;
    return true;
}

bool WinNetFileSys::Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind,
                            CWideString& err) {
    if (!WinFileSys::Connect(ci, pProgress, errKind, err)) return false;
    m_nNetworkLocality = TVFS_LOC_LAN;
    m_sUrlPrefix = u"file://" + m_sServer;
    return true;
}
