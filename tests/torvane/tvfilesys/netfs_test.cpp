// Windows shares mapped onto their mounts (with an injected mount table and
// gvfs folder), the shadow-copy provider, and bookmark files.
#include "test-tmp.h"
#include "CShadowProvider.h"
#include "TvBookmark.h"
#include "WinNetFileSys.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace {

std::string Narrow(const CWideString& w) {
    CNarrowString n = WideToUtf8(w);
    return std::string(n.GetString(), n.GetLength());
}
CWideString Wide(const std::string& s) {
    return Utf8ToWide(s.c_str(), (int)s.size());
}

void WriteText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

class ShareTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tvshare-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_base = tmpl;
        // A "mounted" share with a blank in its mount point, and a gvfs folder.
        m_mount = m_base + "/mnt/my share";
        m_gvfs = m_base + "/gvfs";
        ASSERT_EQ(system(("mkdir -p '" + m_mount + "/Docs/sub' '" + m_base + "/other' '" + m_gvfs +
                          "/smb-share:server=nas2,share=media%20files,user=me/films'")
                             .c_str()),
                  0);
        WriteText(m_mount + "/Docs/sub/file.txt", "hello");
        std::string mountPoint = m_base + "/mnt/my\\040share";
        WriteText(m_base + "/mountinfo", "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                         "36 22 0:50 / " +
                                             mountPoint +
                                             " rw,relatime shared:2 - cifs //FileSrv/Public rw,vers=3.0\n"
                                             "37 22 0:51 /deep " +
                                             m_base +
                                             "/other rw,relatime - smb3 //filesrv/Projects rw\n"
                                             "38 22 0:52 / /mnt/nfs rw - nfs4 filesrv:/Public rw\n");
        WinNetFileSys::SetMountSources(Wide(m_base + "/mountinfo"), Wide(m_gvfs));
    }
    void TearDown() override {
        WinNetFileSys::SetMountSources(CWideString(), CWideString());
        ASSERT_EQ(system(("rm -rf '" + m_base + "'").c_str()), 0);
    }
    std::string m_base, m_mount, m_gvfs;
};

TEST_F(ShareTest, ShareUrlMapsToItsMountAndIsServedLocally) {
    for (const char16_t* url :
         {u"\\\\filesrv\\public\\Docs", u"file://FILESRV/Public/Docs/", u"\\\\FileSrv\\Public\\Docs\\"}) {
        std::unique_ptr<TvFileSys> fs(NewFsForUrl(url));
        ASSERT_NE(fs, nullptr) << Narrow(url);
        EXPECT_NE(dynamic_cast<WinNetFileSys*>(fs.get()), nullptr);
        TvConnectInfo ci;
        ci.m_sUrl = url;
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(fs->Connect(ci, nullptr, kind, err)) << Narrow(err);
        EXPECT_EQ(Narrow(fs->GetRootDir()), m_mount + "/Docs");
        EXPECT_EQ(fs->m_nNetworkLocality, TVFS_LOC_LAN);
        EXPECT_EQ(fs->GetCapability(TVFS_CAP_MONITOR), 0); // others' changes on the server are not seen
        FsItemInfo info;
        bool bNotFound = true;
        ASSERT_TRUE(fs->GetInfo(u"/sub/file.txt", info, bNotFound, kind, err)) << Narrow(err);
        EXPECT_FALSE(bNotFound);
        EXPECT_EQ(info.m_nSize, 5);
    }
}

TEST_F(ShareTest, MountOfAFolderInsideTheShareAndGvfsMounts) {
    CWideString local, err;
    int kind = 0;
    // "//filesrv/Projects" mounted from its folder "deep".
    ASSERT_TRUE(WinNetFileSys::MapShareToMount(u"filesrv", u"projects", u"/Deep/x", local, kind, err))
        << Narrow(err);
    EXPECT_EQ(Narrow(local), m_base + "/other/x");
    EXPECT_FALSE(WinNetFileSys::MapShareToMount(u"filesrv", u"projects", u"/elsewhere", local, kind, err));
    // The desktop's mount, with an escaped share name.
    err.Empty();
    ASSERT_TRUE(WinNetFileSys::MapShareToMount(u"NAS2", u"Media Files", u"/films", local, kind, err))
        << Narrow(err);
    EXPECT_EQ(Narrow(local), m_gvfs + "/smb-share:server=nas2,share=media%20files,user=me/films");
}

TEST_F(ShareTest, ShareWithoutMountGivesAClearError) {
    std::unique_ptr<TvFileSys> fs(NewFsForUrl(u"\\\\filesrv\\Private\\x"));
    ASSERT_NE(fs, nullptr);
    TvConnectInfo ci;
    ci.m_sUrl = u"\\\\filesrv\\Private\\x";
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(fs->Connect(ci, nullptr, kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_NE(Narrow(err).find("\\\\filesrv\\Private"), std::string::npos) << Narrow(err);
    EXPECT_NE(Narrow(err).find("not mounted"), std::string::npos) << Narrow(err);
    EXPECT_FALSE(fs->IsConnected());
    // An NFS export of the same name is no share; a URL without a share is refused.
    err.Empty();
    ci.m_sUrl = u"file://filesrv";
    EXPECT_FALSE(fs->Connect(ci, nullptr, kind, err));
    EXPECT_NE(Narrow(err).find("no share named"), std::string::npos) << Narrow(err);
}

TEST_F(ShareTest, LocalUrlsStayWithTheLocalFileSystem) {
    for (const char16_t* url : {u"file:///tmp", u"/tmp", u"file://localhost/tmp"}) {
        TvFileSys* proto = FindFsForUrl(url);
        ASSERT_NE(proto, nullptr);
        EXPECT_EQ(dynamic_cast<WinNetFileSys*>(proto), nullptr) << Narrow(url);
    }
    TvFileSys* proto = FindFsForUrl(u"\\\\?\\C:\\x");
    EXPECT_TRUE(!proto || !dynamic_cast<WinNetFileSys*>(proto));
}

TEST(ShadowProviderTest, ReportsThatShadowCopiesAreNotAvailable) {
    CShadowProvider& p = GetShadowProvider();
    EXPECT_FALSE(p.IsAvailable());
    EXPECT_FALSE(p.IsNeededForLockedFiles());
    CWideString shadow, err;
    int kind = 0;
    EXPECT_FALSE(p.GetShadowPath(u"/tmp/x", shadow, kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_NE(Narrow(err).find("not available on this platform"), std::string::npos);
}

class BookmarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tvbm-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        const char* old = getenv("TORVANE_PROFILE_DIR");
        m_bHadOld = old != nullptr;
        if (old) m_old = old;
        setenv("TORVANE_PROFILE_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override {
        if (m_bHadOld)
            setenv("TORVANE_PROFILE_DIR", m_old.c_str(), 1);
        else
            unsetenv("TORVANE_PROFILE_DIR");
        ASSERT_EQ(system(("rm -rf '" + m_dir + "'").c_str()), 0);
    }
    std::string m_dir, m_old;
    bool m_bHadOld = false;
};

TEST_F(BookmarkTest, LocalAccountRoundTripsWithoutClearPassword) {
    TvBookmark bm;
    bm.m_sName = kLocalAccountBookmark;
    bm.m_sRegisteredName = u"My PC #1";
    bm.m_Account.m_sUserID = u"peer-user";
    CWideString err;
    ASSERT_TRUE(bm.m_Account.SetPasswordClear(u"s3cret pass", err)) << Narrow(err);
    ASSERT_TRUE(WriteBookmark(bm, err)) << Narrow(err);
    std::string file = m_dir + "/bookmarks/TvLocalAcct.tvb";
    FILE* f = fopen(file.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    buf[n] = 0;
    fclose(f);
    std::string text = buf;
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("<Bookmark>\n", 0), 0u) << text;

    TvConnectInfo ci;
    ci.m_sUrl = u"tvtp://127.0.0.1/file://";
    CWideString name;
    ASSERT_TRUE(ReadLocalAccountBookmark(ci, name, err)) << Narrow(err);
    EXPECT_EQ(Narrow(ci.m_sUserID), "peer-user");
    EXPECT_EQ(Narrow(ci.GetPasswordClear()), "s3cret pass");
    EXPECT_EQ(Narrow(ci.m_sUrl), "tvtp://127.0.0.1/file://"); // other settings kept
    EXPECT_EQ(Narrow(name), "my pc -1");
}

TEST_F(BookmarkTest, MissingOrBadBookmarksAreRefused) {
    TvConnectInfo ci;
    CWideString name, err;
    EXPECT_FALSE(ReadLocalAccountBookmark(ci, name, err));
    EXPECT_NE(Narrow(err).find("cannot read the local account bookmark"), std::string::npos) << Narrow(err);
    ASSERT_EQ(mkdir((m_dir + "/bookmarks").c_str(), 0700), 0);
    WriteText(m_dir + "/bookmarks/TvLocalAcct.tvb", "<Bookmark>\n  Name = \"TvLocalAcct\"\n");
    err.Empty();
    EXPECT_FALSE(ReadLocalAccountBookmark(ci, name, err));
    EXPECT_NE(Narrow(err).find("bad bookmark file"), std::string::npos) << Narrow(err);
    // Unknown keys are skipped.
    WriteText(
        m_dir + "/bookmarks/TvLocalAcct.tvb",
        "<Bookmark>\n  Future = \"x\"\n  Account = <ConnectInfo>\n    UserID = \"u\"\n  </ConnectInfo>\n"
        "</Bookmark>\n");
    err.Empty();
    EXPECT_TRUE(ReadLocalAccountBookmark(ci, name, err)) << Narrow(err);
    EXPECT_EQ(Narrow(ci.m_sUserID), "u");
    TvBookmark bm;
    bm.m_sName = u"../escape";
    EXPECT_FALSE(WriteBookmark(bm, err));
    EXPECT_NE(Narrow(err).find("bad bookmark name"), std::string::npos);
}

} // namespace
