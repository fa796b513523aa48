// The local back-end against the real file system, checked with coreutils.
#include "WinFileSys.h"
#include "zor-file.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "localfs-test-util.h"

using namespace localfs_test;

TEST_F(LocalFs, RelativePathsUnknownSchemesAndLongNamesAreRefused) {
    CListT<FsItemInfo> items;
    EXPECT_FALSE(m_fs.ListDir(u"relative", items, m_kind, m_err));
    EXPECT_EQ(m_kind, FSE_GENERAL);
    EXPECT_EQ(m_err, CWideString(u"path must begin with a separator: relative"));

    WinFileSys other;
    TvConnectInfo ci;
    ci.m_sUrl = u"some/relative/dir";
    m_err.Empty();
    EXPECT_FALSE(other.Connect(ci, nullptr, m_kind, m_err));
    EXPECT_NE(m_err.Find(u"relative path is not allowed"), -1) << m_err;
    EXPECT_FALSE(other.IsConnected());

    int kind = 0;
    CWideString err;
    EXPECT_EQ(NewFsForUrl(u"gopher://x/y", kind, err), nullptr);
    EXPECT_NE(err.Find(u"unknown URL scheme 'gopher'"), -1) << err;

    std::string longName(300, 'n');
    m_err.Empty();
    EXPECT_FALSE(m_fs.MakeFolder(W("/" + longName), m_kind, m_err));
    EXPECT_NE(m_err.Find(u"name too long for the file system (300 bytes, at most 255)"), -1) << m_err;
}

TEST_F(LocalFs, EncryptAndCompressFailAtConnect) {
    WinFileSys fs;
    TvConnectInfo ci;
    ci.m_sUrl = W(m_root);
    ci.m_bEncrypt = 1;
    EXPECT_FALSE(fs.Connect(ci, nullptr, m_kind, m_err));
    EXPECT_NE(m_err.Find(u"encryption (EFS) is not available"), -1) << m_err;
    ci.m_bEncrypt = 0;
    ci.m_bCompress = 1;
    m_err.Empty();
    EXPECT_FALSE(fs.Connect(ci, nullptr, m_kind, m_err));
    EXPECT_NE(m_err.Find(u"compression is not available"), -1) << m_err;
    ci.m_bCompress = 0;
    ci.m_bDecrypt = ci.m_bUncompress = 1; // nothing to undo: accepted
    ASSERT_TRUE(fs.Connect(ci, nullptr, m_kind, m_err)) << m_err;
    EXPECT_TRUE(fs.DecryptFile(u"/x", m_kind, m_err));
    EXPECT_EQ(fs.m_nNetworkLocality, TVFS_LOC_THIS_COMPUTER);
    // Truthful answers for a Linux disk.
    EXPECT_FALSE(fs.GetCapability(TVFS_CAP_CREATE_TIMES));
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_MOD_TIMES));
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_MONITOR));
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_CASE_SENSITIVE));
    EXPECT_FALSE(fs.GetCapability(TVFS_CAP_EXPECTS_TIME_SHIFT));
    EXPECT_FALSE(fs.GetCapability(TVFS_CAP_ROUNDED_TIMES));
    EXPECT_EQ(fs.GetCapability(12345), 0);
    ci.m_bFatLike = 1;
    ASSERT_TRUE(fs.Connect(ci, nullptr, m_kind, m_err));
    EXPECT_TRUE(fs.GetCapability(TVFS_CAP_EXPECTS_TIME_SHIFT));
    // A fat-like local side expects whole-hour shifts but never rounds times.
    EXPECT_FALSE(fs.GetCapability(TVFS_CAP_ROUNDED_TIMES));
}

TEST_F(LocalFs, FileAndFolderOperations) {
    ASSERT_TRUE(m_fs.MakeFolder(u"/dir", m_kind, m_err)) << m_err;
    EXPECT_EQ(m_fs.m_bFolderExisted, 0);
    ASSERT_TRUE(m_fs.MakeFolder(u"/dir", m_kind, m_err));
    EXPECT_EQ(m_fs.m_bFolderExisted, 1);

    // Upload and download copy through a temporary file: no leftovers.
    std::string content(3 * 1024 * 1024 + 5, 'q');
    std::string local = m_root + "-src";
    WriteFile(local, content);
    ASSERT_TRUE(m_fs.UploadFile(W(local), u"/dir/up.bin", m_kind, m_err)) << m_err;
    EXPECT_EQ(ReadFile(P("/dir/up.bin")), content);
    int64_t size = 0;
    std::string back = m_root + "-back";
    ASSERT_TRUE(m_fs.DownloadFile(u"/dir/up.bin", W(back), size, m_kind, m_err)) << m_err;
    EXPECT_EQ(size, (int64_t)content.size());
    EXPECT_EQ(RunCapture("cmp " + Quote(local) + " " + Quote(back) + " && echo same"), "same\n");
    EXPECT_EQ(m_fs.m_LastRead.m_bValid, 1);
    EXPECT_EQ(m_fs.m_LastRead.m_nSize, (int64_t)content.size());
    EXPECT_EQ(RunCapture("ls -a " + Quote(P("/dir")) + " | grep -c tmp"), "0\n");
    unlink(local.c_str());
    unlink(back.c_str());

    // MD5 against md5sum.
    Md5Crc crc;
    int64_t len = 0;
    ASSERT_TRUE(m_fs.GetFileCrc(u"/dir/up.bin", crc, len, m_kind, m_err)) << m_err;
    std::string md5 = RunCapture("md5sum " + Quote(P("/dir/up.bin")) + " | cut -c1-32 | tr a-f A-F");
    EXPECT_EQ(std::string(crc.ToText().GetString()) + "\n", md5);
    EXPECT_EQ(len, (int64_t)content.size());

    // Times: modification time set, read back; creation time stays.
    ASSERT_TRUE(m_fs.SetFileModTime(u"/dir/up.bin", 1000000000u, 0, m_kind, m_err)) << m_err;
    uint32_t mt = 0, ct = 0;
    ASSERT_TRUE(m_fs.GetFileModTime(u"/dir/up.bin", mt, ct, m_kind, m_err));
    EXPECT_EQ(mt, 1000000000u);
    EXPECT_EQ(RunCapture("stat -c %Y " + Quote(P("/dir/up.bin"))), "1000000000\n");

    // Moves: a file replaces a file; a folder never replaces anything.
    WriteFile(P("/other"), "old");
    ASSERT_TRUE(m_fs.CopyFileFs(u"/dir/up.bin", u"/copy.bin", m_kind, m_err)) << m_err;
    ASSERT_TRUE(m_fs.MoveFile(u"/copy.bin", u"/other", m_kind, m_err)) << m_err;
    EXPECT_EQ(ReadFile(P("/other")).size(), content.size());
    ASSERT_TRUE(m_fs.MakeFolder(u"/empty", m_kind, m_err));
    m_err.Empty();
    EXPECT_FALSE(m_fs.MoveFolder(u"/dir", u"/empty", m_kind, m_err));
    EXPECT_NE(m_err.Find(u"the destination exists"), -1) << m_err;
    ASSERT_TRUE(m_fs.MoveFolder(u"/dir", u"/moved", m_kind, m_err)) << m_err;
    bool bExists = false;
    ASSERT_TRUE(m_fs.IsFolder(u"/moved", bExists, m_kind, m_err));
    EXPECT_TRUE(bExists);
    ASSERT_TRUE(m_fs.IsFile(u"/moved", bExists, m_kind, m_err));
    EXPECT_FALSE(bExists);
    m_err.Empty();
    EXPECT_FALSE(m_fs.MoveFile(u"/moved", u"/x", m_kind, m_err));

    // Info of a missing path: success with the not-found flag.
    FsItemInfo info;
    bool bNotFound = false;
    ASSERT_TRUE(m_fs.GetInfo(u"/missing/x", info, bNotFound, m_kind, m_err));
    EXPECT_TRUE(bNotFound);

    // Links, attributes, deletion.
    ASSERT_TRUE(m_fs.CreateLink(u"/lnk", false, u"moved/up.bin", m_kind, m_err)) << m_err;
    EXPECT_EQ(RunCapture("readlink -n " + Quote(P("/lnk"))), "moved/up.bin");
    ASSERT_TRUE(m_fs.SetAttributes(u"/other", FSA_READONLY, m_kind, m_err)) << m_err;
    uint32_t attrs = 0;
    ASSERT_TRUE(m_fs.GetAttributes(u"/other", attrs, m_kind, m_err));
    EXPECT_TRUE(attrs & FSA_READONLY);
    ASSERT_TRUE(m_fs.SetAttributes(u"/other", FSA_NORMAL, m_kind, m_err));
    ASSERT_TRUE(m_fs.DeleteFile(u"/other", m_kind, m_err)) << m_err;
    m_err.Empty();
    EXPECT_FALSE(m_fs.DeleteFile(u"/other", m_kind, m_err));
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);
    EXPECT_FALSE(m_fs.DeleteFolder(u"/moved", m_kind, m_err)); // not empty
    ASSERT_TRUE(m_fs.DeleteItem(u"/empty", true, m_kind, m_err)) << m_err;

    int64_t avail = 0, freeB = 0, total = 0;
    ASSERT_TRUE(m_fs.GetFreeDiskSpace(u"/not/there/yet", avail, freeB, total, m_kind, m_err)) << m_err;
    EXPECT_GT(total, 0);
    EXPECT_LE(avail, freeB);
    EXPECT_LE(freeB, total);
}

TEST_F(LocalFs, SecurityDescriptorCopiesModeAndAcl) {
    WriteFile(P("/src"), "s");
    WriteFile(P("/dst"), "d");
    chmod(P("/src").c_str(), 0640);
    chmod(P("/dst").c_str(), 0666);
    CWideString sd;
    ASSERT_TRUE(m_fs.GetSecurityDescr(u"/src", sd, m_kind, m_err)) << m_err;
    EXPECT_TRUE(sd.StartsWith(u"posix1;mode=0640")) << sd;
    ASSERT_TRUE(m_fs.SetSecurityDescr(u"/dst", sd, m_kind, m_err)) << m_err;
    EXPECT_EQ(RunCapture("stat -c %a " + Quote(P("/dst"))), "640\n");

    // ApplyFileOptions copies it from a local source when the side asks for ACLs.
    WinFileSys other;
    TvConnectInfo ci;
    ci.m_sUrl = W(m_root);
    ci.m_bCopyACL = 1;
    ASSERT_TRUE(other.Connect(ci, nullptr, m_kind, m_err));
    chmod(P("/dst").c_str(), 0600);
    CWideString log;
    ASSERT_TRUE(other.ApplyFileOptions(u"/src", &m_fs, log, m_kind, m_err)) << m_err;
    EXPECT_NE(log.Find(u"ACL copied"), -1);
}

// Owner, ACLs and mode are never set through a link at the name, on a
// second name of a file, or on a named pipe (not waited for); reading
// follows a link to a file only.
TEST_F(LocalFs, SecurityIsNeverSetThroughALink) {
    m_fs.SetFollowLinksInPaths(false);
    WriteFile(P("/victim"), "v");
    ASSERT_EQ(chmod(P("/victim").c_str(), 0600) | mkdir(P("/victim-dir").c_str(), 0700) |
                  mkfifo(P("/pipe").c_str(), 0644) | symlink(P("/victim").c_str(), P("/to-file").c_str()) |
                  symlink(P("/victim-dir").c_str(), P("/to-dir").c_str()) |
                  link(P("/victim").c_str(), P("/second-name").c_str()),
              0);
    const CWideString sd =
        W("posix1;mode=0777;uid=" + std::to_string(getuid()) + ";gid=" + std::to_string(getgid()));
    const struct {
        const char16_t *path, *said;
        bool bReadable;
    } cases[] = {{u"/to-file", u"a link, not followed", true},
                 {u"/to-dir", u"a link, not followed", false},
                 {u"/second-name", u"a file with 2 names", true},
                 {u"/pipe", u"neither a file nor a folder", false}};
    for (const auto& c : cases) {
        m_err.Empty();
        EXPECT_FALSE(m_fs.SetSecurityDescr(c.path, sd, m_kind, m_err));
        EXPECT_NE(m_err.Find(c.said), -1) << m_err;
        CWideString got;
        EXPECT_EQ(m_fs.GetSecurityDescr(c.path, got, m_kind, m_err), c.bReadable) << m_err;
    }
    EXPECT_EQ(RunCapture("stat -c %a " + Quote(P("/victim")) + " " + Quote(P("/victim-dir"))), "600\n700\n");
}

TEST_F(LocalFs, DescriptorIoAndBlockChecksums) {
    std::string block(100000, 'b');
    ASSERT_TRUE(m_fs.OpenFile(0, u"/f", TVFS_OPEN_WRITE, m_kind, m_err)) << m_err;
    ASSERT_TRUE(m_fs.WriteBuf(0, block.data(), (uint32_t)block.size(), m_kind, m_err));
    ASSERT_TRUE(m_fs.WriteBufPosn(0, "XYZ", 3, 10, m_kind, m_err));
    int64_t pos = 0;
    ASSERT_TRUE(m_fs.GetFilePosn(0, pos, m_kind, m_err));
    EXPECT_EQ(pos, 13);
    m_err.Empty();
    EXPECT_FALSE(m_fs.OpenFile(0, u"/g", TVFS_OPEN_WRITE, m_kind, m_err)); // index in use
    EXPECT_NE(m_err.Find(u"already open"), -1);
    ASSERT_TRUE(m_fs.CloseFile(0, m_kind, m_err));
    m_err.Empty();
    uint32_t nRead = 0;
    EXPECT_FALSE(m_fs.ReadBuf(0, nullptr, 0, nRead, m_kind, m_err)); // closed
    EXPECT_FALSE(m_fs.OpenFile(99, u"/f", TVFS_OPEN_READ, m_kind, m_err));

    ASSERT_TRUE(m_fs.OpenFile(3, u"/f", TVFS_OPEN_READ, m_kind, m_err)) << m_err;
    CNarrowString crc;
    ASSERT_TRUE(m_fs.ReadBufCrcPosn(3, 65536, 0, nRead, crc, m_kind, m_err)) << m_err;
    EXPECT_EQ(nRead, 65536u);
    std::string md5 = RunCapture("head -c 65536 " + Quote(P("/f")) + " | md5sum | cut -c1-32 | tr a-f A-F");
    EXPECT_EQ(std::string(crc.GetString()) + "\n", md5);
    ASSERT_TRUE(m_fs.ReadBufCrc(3, 65536, nRead, crc, m_kind, m_err));
    EXPECT_EQ(nRead, 100000u - 65536u); // the rest of the file
    char buf[8] = {};
    ASSERT_TRUE(m_fs.ReadBufPosn(3, buf, 5, 9, nRead, m_kind, m_err));
    EXPECT_EQ(std::string(buf, nRead), "bXYZb");
    ASSERT_TRUE(m_fs.CloseFile(3, m_kind, m_err));
}

namespace {
class StopAfter : public ICopyProgress {
public:
    int nLeft;
    explicit StopAfter(int n) : nLeft(n) {}
    bool OnProgress(bool, int64_t, int64_t, int&, CWideString&) override {
        if (--nLeft <= 0) RequestStop();
        return true;
    }
    void OnMessage(int, const CWideString&) override {}
};
} // namespace

TEST_F(LocalFs, StoppedUploadKeepsTheOldFile) {
    std::string local = m_root + "-src";
    WriteFile(local, std::string(5 * 1024 * 1024, 'n'));
    WriteFile(P("/target"), "old content");
    StopAfter stop(2);
    m_fs.SetProgressCallback(&stop);
    EXPECT_FALSE(m_fs.UploadFile(W(local), u"/target", m_kind, m_err));
    m_fs.SetProgressCallback(nullptr);
    EXPECT_EQ(m_kind, FSE_STOPPED);
    EXPECT_EQ(m_err, CWideString(u"stopped by user"));
    EXPECT_EQ(ReadFile(P("/target")), "old content");
    EXPECT_EQ(RunCapture("ls -A " + Quote(m_root)), "target\n"); // no temporary file left
    unlink(local.c_str());
}

// A block checksum over any requested length is computed piecewise: a huge
// length (a peer may ask for one) reads to the end of the file, never
// allocating that much.
TEST_F(LocalFs, BlockChecksumOfAHugeLengthReadsToTheEnd) {
    std::string data(600000, 'q');
    for (size_t i = 0; i < data.size(); i += 4099) data[i] = (char)('a' + i % 26);
    ASSERT_TRUE(WriteWholeFile(W(P("/big")), CNarrowString(data.data(), (int)data.size()), m_kind, m_err));
    ASSERT_TRUE(m_fs.OpenFile(2, u"/big", TVFS_OPEN_READ, m_kind, m_err)) << m_err;
    uint32_t nRead = 0;
    CNarrowString crc;
    ASSERT_TRUE(m_fs.ReadBufCrcPosn(2, 0xFFFFFFF0u, 0, nRead, crc, m_kind, m_err)) << m_err;
    EXPECT_EQ(nRead, 600000u);
    std::string md5 = RunCapture("md5sum < " + Quote(P("/big")) + " | cut -c1-32 | tr a-f A-F");
    EXPECT_EQ(std::string(crc.GetString()) + "\n", md5);
    ASSERT_TRUE(m_fs.CloseFile(2, m_kind, m_err));
}

TEST_F(LocalFs, ACopyErrorNamesTheFolderNotItsDescriptor) {
    // A file system inside the side that cannot take the copy: read-only, or full.
    const struct {
        unsigned long flags;
        size_t size;
        const char16_t* says;
    } cases[] = {{MS_RDONLY, 10, u"Cannot make a temporary file in "}, {0, 256 << 10, u"writing file "}};
    for (const auto& c : cases) {
        ASSERT_TRUE(m_fs.MakeFolder(u"/full", m_kind, m_err)) << m_err;
        if (mount("tmpfs", P("/full").c_str(), "tmpfs", c.flags, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
        WriteFile(P("/a.txt"), std::string(c.size, 'a'));
        m_err.Empty();
        const bool bCopied = m_fs.CopyFileFs(u"/a.txt", u"/full/b.txt", m_kind, m_err);
        umount2(P("/full").c_str(), MNT_DETACH);
        ASSERT_FALSE(bCopied);
        EXPECT_EQ(m_err.Find(u"/proc/self/fd/"), -1) << m_err;
        EXPECT_NE(m_err.Find(c.says + W(P("/full"))), -1) << m_err;
    }
}
