// The folders the local back-end keeps open below its root.
#include "localfs-test-util.h"

using namespace localfs_test;

// Folders kept open while their items are worked on: a folder this object
// moves or deletes is looked up again, one that others swap for a link is
// never followed, and turning the keeping off sees others' changes.
TEST_F(LocalFs, KeptFoldersFollowThisObjectsMovesAndNeverALink) {
    mkdir(P("/outside").c_str(), 0755);
    m_fs.SetFollowLinksInPaths(false);
    struct Case {
        const char* name;
        std::function<void()> change; // after /d/old.txt was reached through /d
        bool bOldSeen;                // /d/old.txt is still found
    };
    const std::vector<Case> cases = {
        {"moved by this object",
         [&] {
             ASSERT_TRUE(m_fs.MoveFolder(u"/d", u"/moved", m_kind, m_err)) << m_err;
             ASSERT_TRUE(m_fs.MakeFolder(u"/d", m_kind, m_err)) << m_err;
         },
         false},
        {"deleted by this object",
         [&] {
             ASSERT_TRUE(m_fs.DeleteFile(u"/d/old.txt", m_kind, m_err)) << m_err;
             ASSERT_TRUE(m_fs.DeleteFolder(u"/d", m_kind, m_err)) << m_err;
             ASSERT_TRUE(m_fs.MakeFolder(u"/d", m_kind, m_err)) << m_err;
         },
         false},
        {"swapped for a link by others",
         [&] {
             ASSERT_EQ(rename(P("/d").c_str(), P("/moved").c_str()), 0);
             ASSERT_EQ(symlink(P("/outside").c_str(), P("/d").c_str()), 0);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunCapture("rm -rf " + Quote(P("/d")) + " " + Quote(P("/moved")));
        mkdir(P("/d").c_str(), 0755);
        WriteFile(P("/d/old.txt"), "old");
        m_fs.KeepFoldersOpen(true); // drops what the last case kept
        FsItemInfo info;
        bool bNotFound = true;
        ASSERT_TRUE(m_fs.GetInfo(u"/d/old.txt", info, bNotFound, m_kind, m_err)) << m_err;
        ASSERT_FALSE(bNotFound);
        c.change();
        ASSERT_TRUE(m_fs.GetInfo(u"/d/old.txt", info, bNotFound, m_kind, m_err)) << m_err;
        EXPECT_EQ(!bNotFound, c.bOldSeen);
        EXPECT_TRUE(m_fs.MakeFolder(u"/d/new", m_kind, m_err)) << m_err;
        EXPECT_EQ(access(P("/outside/new").c_str(), F_OK), -1);
    }
    // Off: the folder is looked up again, and the link is refused.
    m_fs.KeepFoldersOpen(false);
    FsItemInfo info;
    bool bNotFound = true;
    EXPECT_FALSE(m_fs.GetInfo(u"/d/old.txt", info, bNotFound, m_kind, m_err));
    EXPECT_NE(N(m_err).find("a folder in the path is a link, not followed"), std::string::npos) << m_err;
}

// The root folder moved away (and a link or a new folder put at its path)
// after the object first worked below it: every later operation fails, the
// object no longer counts as connected, and nothing lands at the new path.
// In a folder it had worked in already, the root's path is looked at again
// only when asked (ConfirmRoot): what is written before goes into the
// folder as first opened.
TEST_F(LocalFs, ReplacedRootStopsEveryOperation) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> replace;
    };
    const std::vector<Case> cases = {
        {"swapped for a link",
         [&](const std::string& r) { ASSERT_EQ(symlink(P("/../outside").c_str(), r.c_str()), 0); }},
        {"moved away", [](const std::string&) {}},
        {"a new folder in its place", [](const std::string& r) { ASSERT_EQ(mkdir(r.c_str(), 0755), 0); }},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 4; ++i) {
            const bool bFollow = i & 1, bSeen = i & 2;
            SCOPED_TRACE(std::string(c.name) + (bFollow ? ", links followed" : "") +
                         (bSeen ? ", folder seen" : ""));
            const std::string root = P("/root"), outside = P("/outside");
            ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
            ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
            WinFileSys fs;
            TvConnectInfo ci;
            ci.m_sUrl = NormalizeUrl(W(root));
            ASSERT_TRUE(fs.Connect(ci, nullptr, m_kind, m_err)) << m_err;
            fs.SetFollowLinksInPaths(bFollow);
            ASSERT_TRUE(fs.MakeFolder(u"/d", m_kind, m_err)) << m_err;
            if (bSeen) {
                ASSERT_TRUE(fs.MakeFolder(u"/d/s", m_kind, m_err)) << m_err;
            }
            ASSERT_EQ(rename(root.c_str(), (root + ".real").c_str()), 0);
            c.replace(root);
            WriteFile(P("/local.txt"), "data");
            CWideString err;
            int kind = 0;
            const bool bMoved = fs.MoveFileFromLocal(W(P("/local.txt")), u"/d/new.txt", kind, err);
            EXPECT_TRUE(bSeen || !bMoved);
            EXPECT_TRUE(!bMoved || access((root + ".real/d/new.txt").c_str(), F_OK) == 0);
            EXPECT_TRUE(!bSeen || !fs.ConfirmRoot(kind, err));
            EXPECT_NE(N(err).find("root folder was moved or replaced"), std::string::npos) << N(err);
            EXPECT_FALSE(fs.MakeFolder(u"/e", kind, err));
            EXPECT_FALSE(fs.IsConnected());
            EXPECT_EQ(RunCapture("ls -A " + Quote(root) + "/ 2>/dev/null"), "");
            fs.Disconnect(true);
            RunCapture("rm -rf " + Quote(root) + " " + Quote(root + ".real") + " " + Quote(outside));
        }
    }
}

// The data folder is never reached through a link, even where links in
// paths are followed, and the owner check refuses the link untouched.
TEST_F(LocalFs, DataFolderIsReachedThroughNoLinkWhateverTheLinkMode) {
    ASSERT_EQ(mkdir(P("/outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink(P("/outside").c_str(), P("/_tvdata_").c_str()), 0);
    ASSERT_EQ(symlink(P("/outside").c_str(), P("/lnk").c_str()), 0);
    m_fs.SetFollowLinksInPaths(true);
    EXPECT_TRUE(m_fs.MakeFolder(u"/lnk/chosen", m_kind, m_err)) << m_err; // a link the user put in the tree
    EXPECT_FALSE(m_fs.MakeFolder(u"/_tvdata_/_saved_", m_kind, m_err));
    EXPECT_EQ(m_fs.CheckOwnItem(u"/_tvdata_", TvFileSys::TVFS_OWN_CLOSE, m_kind, m_err), -1);
    EXPECT_EQ(RunCapture("ls -A " + Quote(P("/outside")) + "; stat -c %a " + Quote(P("/outside"))),
              "chosen\n755\n");
    // Swapped for another user's folder: nothing of the job's goes into it.
    if (geteuid() != 0) return;
    ASSERT_EQ(unlink(P("/_tvdata_").c_str()) + mkdir(P("/_tvdata_").c_str(), 0777), 0);
    ASSERT_EQ(chown(P("/_tvdata_").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(m_fs.MakeFolder(u"/_tvdata_/_saved_", m_kind, m_err));
    EXPECT_NE(N(m_err).find("is not the running user's own"), std::string::npos) << m_err;
    EXPECT_EQ(RunCapture("ls -A " + Quote(P("/_tvdata_"))), "");
}
