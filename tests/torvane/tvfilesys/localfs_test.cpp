// The local back-end against the real file system, checked with coreutils.
#include "WinFileSys.h"
#include "zor-file.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

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

namespace {

std::string RunCapture(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
}

std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

void WriteFile(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
}

std::string ReadFile(const std::string& path) {
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
    fclose(f);
    return r;
}

CWideString W(const std::string& utf8) {
    return Utf8ToWide(utf8.c_str());
}
std::string N(const CWideString& w) {
    CNarrowString s = WideToUtf8(w);
    return std::string(s.GetString(), s.GetLength());
}

class LocalFs : public ::testing::Test {
protected:
    std::string m_root;
    WinFileSys m_fs;
    int m_kind = 0;
    CWideString m_err;

    void SetUp() override {
        char tmpl[] = "/tmp/tvfs-local-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        TvConnectInfo ci;
        ci.m_sUrl = NormalizeUrl(W(m_root));
        ASSERT_TRUE(m_fs.Connect(ci, nullptr, m_kind, m_err)) << m_err;
    }
    void TearDown() override {
        m_fs.Disconnect(true);
        RunCapture("chmod -R u+w " + Quote(m_root) + " 2>/dev/null; rm -rf " + Quote(m_root));
    }
    std::string P(const std::string& rel) const { return m_root + rel; }
};

struct FindEntry {
    std::string size, mtime, type;
};

// Lists the tree through ListDir, recursing into real folders (not links).
void WalkTree(WinFileSys& fs, const CWideString& folder, std::map<std::string, FsItemInfo>& out) {
    CListT<FsItemInfo> items;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(fs.ListDir(folder, items, kind, err)) << err;
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& it = items.GetNext(pos);
        CWideString child = folder == u"/" ? u"/" + it.m_sName : folder + u"/" + it.m_sName;
        std::string key = N(child).substr(1);
        if (it.IsBad()) key = "BAD:" + N(it.m_sNote);
        out[key] = it;
        if (!it.IsBad() && it.IsFolder() && !it.IsLink()) WalkTree(fs, child, out);
    }
}

} // namespace

TEST_F(LocalFs, ListingMatchesCoreutils) {
    // A generated tree: files of several sizes and times, nested folders,
    // hidden names, non-ASCII names, links to a file, to a folder and to nothing.
    RunCapture(
        "cd " + Quote(m_root) +
        " && mkdir -p 'a/b/c' 'empty' 'd\xc3\xa9j\xc3\xa0' "
        "&& printf '' > zero && head -c 5000 /dev/urandom > a/five && head -c 1048577 /dev/zero > a/b/big "
        "&& echo hi > '.hidden' && echo x > 'd\xc3\xa9j\xc3\xa0/\xe6\x97\xa5\xe6\x9c\xac.txt' "
        "&& echo y > 'a/b/c/with space' && ln -s a/five link-file && ln -s a/b link-dir "
        "&& ln -s nowhere dangling && touch -d '2001-02-03 04:05:06.789' a/five "
        "&& touch -h -d '1999-12-31 23:59:59' link-file && touch -d '2030-01-01 00:00:00' a/b");
    std::map<std::string, FsItemInfo> ours;
    WalkTree(m_fs, u"/", ours);

    std::string find = RunCapture("find " + Quote(m_root) + " -mindepth 1 -printf '%P\\0%s\\0%T@\\0%y\\0'");
    std::vector<std::string> fields;
    for (size_t at = 0; at < find.size();) {
        size_t z = find.find('\0', at);
        fields.push_back(find.substr(at, z - at));
        at = z + 1;
    }
    ASSERT_EQ(fields.size() % 4, 0u);
    ASSERT_EQ(fields.size() / 4, 14u); // the whole generated tree
    ASSERT_EQ(fields.size() / 4, ours.size());
    for (size_t i = 0; i < fields.size(); i += 4) {
        const std::string& name = fields[i];
        SCOPED_TRACE(name);
        auto it = ours.find(name);
        ASSERT_NE(it, ours.end());
        const FsItemInfo& info = it->second;
        EXPECT_FALSE(info.IsBad());
        long long mtime = std::stoll(fields[i + 2].substr(0, fields[i + 2].find('.')));
        EXPECT_EQ((long long)info.m_nModTime, mtime);
        const std::string& type = fields[i + 3];
        if (type == "d") {
            EXPECT_TRUE(info.IsFolder());
            EXPECT_FALSE(info.IsLink());
            EXPECT_EQ(info.m_nSize, 0); // folders report no size
        } else if (type == "f") {
            EXPECT_FALSE(info.IsFolder());
            EXPECT_FALSE(info.IsLink());
            EXPECT_EQ(std::to_string(info.m_nSize), fields[i + 1]);
        } else {
            ASSERT_EQ(type, "l");
            EXPECT_TRUE(info.IsLink());
            EXPECT_EQ(std::to_string(info.m_nSize), fields[i + 1]);
            std::string target = RunCapture("readlink -n " + Quote(P("/" + name)));
            CWideString ourTarget;
            ASSERT_TRUE(m_fs.GetLinkInfo(W("/" + name), ourTarget, m_kind, m_err)) << m_err;
            EXPECT_EQ(N(ourTarget), target);
        }
        // Creation time: the birth time, or the modification time where the
        // file system keeps none (stat prints 0 then).
        long long birth = std::stoll(RunCapture("stat -c %W " + Quote(P("/" + name))));
        EXPECT_EQ((long long)info.m_nCreateTime, birth ? birth : mtime);
    }
    // Attributes: a link to a folder is a folder link, a dangling link a file link.
    EXPECT_TRUE(ours["link-dir"].IsFolder());
    EXPECT_FALSE(ours["dangling"].IsFolder());
    EXPECT_TRUE(ours[".hidden"].m_nAttributes & FSA_HIDDEN);
    EXPECT_EQ(ours["zero"].m_nAttributes, (uint32_t)FSA_NORMAL);

    // The target of a file link.
    FsItemInfo target;
    ASSERT_TRUE(m_fs.GetLinkTargetInfo(u"/link-file", target, m_kind, m_err)) << m_err;
    EXPECT_EQ(target.m_nSize, 5000);
    EXPECT_EQ(target.m_nModTime, ours["a/five"].m_nModTime);
    EXPECT_FALSE(m_fs.GetLinkTargetInfo(u"/dangling", target, m_kind, m_err));
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);
}

TEST_F(LocalFs, UnrepresentableNamesAreBadEntries) {
    WriteFile(P("/bad\xff\xfename"), "1");
    WriteFile(P("/back\\slash"), "2");
    WriteFile(P("/good"), "3");
    CListT<FsItemInfo> items;
    ASSERT_TRUE(m_fs.ListDir(u"/", items, m_kind, m_err)) << m_err;
    ASSERT_EQ(items.GetCount(), 3);
    int bad = 0;
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& it = items.GetNext(pos);
        if (it.m_sName == u"good") {
            EXPECT_FALSE(it.IsBad());
            continue;
        }
        ++bad;
        EXPECT_TRUE(it.IsBad());
        EXPECT_EQ(it.m_nAttributes, FSA_UNKNOWN);
        if (it.m_sNote.Find(u"UTF-8") >= 0)
            EXPECT_NE(it.m_sNote.Find(u"bad%FF%FEname"), -1) << it.m_sNote;
        else
            EXPECT_NE(it.m_sNote.Find(u"'\\'"), -1) << it.m_sNote;
    }
    EXPECT_EQ(bad, 2);
}

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

// A folder large enough to be listed in several buffers, with its metadata
// read by several threads: every entry is there once, in the folder's own
// order, and each agrees with GetInfo of the same path (stored attribute
// bits included).
TEST_F(LocalFs, LargeFolderListsLikeGetInfo) {
    ASSERT_EQ(mkdir(P("/big").c_str(), 0755), 0);
    const int nFiles = 1500;
    for (int i = 0; i < nFiles; i++) {
        char name[96];
        snprintf(name, sizeof name, "/big/a-rather-long-file-name-to-fill-the-buffer-%05d.dat", i);
        WriteFile(P(name), std::string((size_t)(i % 50), 'x'));
    }
    ASSERT_EQ(mkdir(P("/big/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub", P("/big/link").c_str()), 0);
    ASSERT_EQ(mkfifo(P("/big/fifo").c_str(), 0644), 0);
    // Bits with no POSIX form, set through the back-end.
    for (int i = 0; i < nFiles; i += 97) {
        char name[96];
        snprintf(name, sizeof name, "/big/a-rather-long-file-name-to-fill-the-buffer-%05d.dat", i);
        ASSERT_TRUE(m_fs.SetAttributes(W(name), FSA_HIDDEN | FSA_SYSTEM | FSA_ARCHIVE, m_kind, m_err))
            << m_err;
    }
    ASSERT_TRUE(m_fs.SetAttributes(u"/big/sub", FSA_SYSTEM, m_kind, m_err)) << m_err;

    CListT<FsItemInfo> items;
    ASSERT_TRUE(m_fs.ListDir(u"/big", items, m_kind, m_err)) << m_err;
    ASSERT_EQ(items.GetCount(), nFiles + 3);
    // The folder's own order, as ls -f gives it (without . and ..).
    std::string order;
    std::map<std::string, int> seen;
    int nStored = 0;
    for (ZorPosition pos = items.GetHeadPosition(); pos;) {
        const FsItemInfo& it = items.GetNext(pos);
        ASSERT_FALSE(it.IsBad()) << it.m_sNote;
        order += N(it.m_sName) + "\n";
        ASSERT_EQ(++seen[N(it.m_sName)], 1);
        FsItemInfo info;
        bool bNotFound = true;
        ASSERT_TRUE(m_fs.GetInfo(u"/big/" + it.m_sName, info, bNotFound, m_kind, m_err)) << m_err;
        ASSERT_FALSE(bNotFound);
        EXPECT_EQ(it.m_nAttributes, info.m_nAttributes) << N(it.m_sName);
        EXPECT_EQ(it.m_nSize, info.m_nSize) << N(it.m_sName);
        EXPECT_EQ(it.m_nModTime, info.m_nModTime) << N(it.m_sName);
        EXPECT_EQ(it.m_nCreateTime, info.m_nCreateTime) << N(it.m_sName);
        if (it.m_nAttributes & FSA_SYSTEM) nStored++;
    }
    EXPECT_EQ(nStored, (nFiles + 96) / 97 + 1);
    std::string ls = RunCapture("ls -f " + Quote(P("/big")) + " | grep -vx -e . -e ..");
    EXPECT_EQ(order, ls);

    // Listings on several threads at once share the helper threads and each
    // gets the whole folder.
    std::vector<std::string> orders(3);
    std::vector<std::thread> threads;
    for (std::string& out : orders)
        threads.emplace_back([&] {
            WinFileSys fs;
            TvConnectInfo ci;
            ci.m_sUrl = NormalizeUrl(W(m_root));
            int kind = 0;
            CWideString err;
            CListT<FsItemInfo> list;
            if (!fs.Connect(ci, nullptr, kind, err) || !fs.ListDir(u"/big", list, kind, err)) return;
            for (ZorPosition pos = list.GetHeadPosition(); pos;) out += N(list.GetNext(pos).m_sName) + "\n";
        });
    for (std::thread& t : threads) t.join();
    for (const std::string& out : orders) EXPECT_EQ(out, ls);
}

// A followed link reports its target's stored attribute bits (the link itself
// never holds any).
TEST_F(LocalFs, LinkTargetInfoCarriesTheTargetsStoredBits) {
    ASSERT_TRUE(WriteWholeFile(W(P("/t.txt")), CNarrowString("x"), m_kind, m_err)) << m_err;
    ASSERT_EQ(symlink("t.txt", P("/l").c_str()), 0);
    if (!m_fs.SetAttributes(u"/t.txt", FSA_SYSTEM | FSA_ARCHIVE, m_kind, m_err)) GTEST_SKIP() << m_err;
    FsItemInfo target;
    ASSERT_TRUE(m_fs.GetLinkTargetInfo(u"/l", target, m_kind, m_err)) << m_err;
    EXPECT_EQ(target.m_nAttributes & (FSA_SYSTEM | FSA_ARCHIVE), (uint32_t)(FSA_SYSTEM | FSA_ARCHIVE));
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
