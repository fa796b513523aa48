// Windows shares: "\\server\share\path" and "file://server/share/path".
//
// This computer reaches a share through a CIFS/SMB mount of it: a mount of
// type cifs/smb3 whose source is "//server/share[/folder]" in the mount table
// (/proc/self/mountinfo), or the desktop's gvfs mount
// "<runtime folder>/gvfs/smb-share:server=NAME,share=NAME". Server and share
// names compare without regard to case. Once mapped, the share is served by
// the local file-system code with network locality 1 (local network). A share
// that is not mounted fails at connect with a message naming the share.
#pragma once

#include "WinFileSys.h"

class WinNetFileSys : public WinFileSys {
public:
    TvFileSys* NewInstance() const override;
    // "\\server\share..." and "file://server/share..." (a host that is not "localhost").
    bool AcceptsUrl(const CWideString& url) const override;
    CWideString GetTypeInfo(int item) const override;
    // As the local file system, except that changes cannot be monitored:
    // inotify on a CIFS/SMB mount sees only what this computer changes there,
    // not what others change on the server.
    int GetCapability(int id) const override;
    bool Connect(const TvConnectInfo& ci, ICopyProgress* pProgress, int& errKind, CWideString& err) override;

    // Splits a share URL into server, share and the path inside the share
    // ("" or "/a/b"); false with a message when no share is named.
    static bool SplitShareUrl(const CWideString& url, CWideString& server, CWideString& share,
                              CWideString& rest, CWideString& err);
    // The local folder of a share path through the mounts; false with the
    // "not mounted" message naming the share.
    static bool MapShareToMount(const CWideString& server, const CWideString& share, const CWideString& rest,
                                CWideString& local, int& errKind, CWideString& err);
    // Where the mounts are read from (tests): the mount table file and the
    // gvfs folder; empty texts restore the system's places.
    static void SetMountSources(const CWideString& mountInfoPath, const CWideString& gvfsFolder);

protected:
    bool ResolveRoot(const CWideString& url, CWideString& localRoot, int& errKind, CWideString& err) override;

    CWideString m_sServer;
    CWideString m_sShare;
};
