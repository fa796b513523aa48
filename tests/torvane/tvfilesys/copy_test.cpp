// Shared copy logic between real folders: the local back-end on one side and,
// as the remote side, a file system over a real folder that offers only
// descriptor I/O with block checksums (or only upload and download) and
// counts every byte that crosses between the two sides.
#include "test-tmp.h"
#include "TvFileCopy.h"
#include "WinFileSys.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Narrow(const CWideString& w) {
    CNarrowString n = WideToUtf8(w);
    return std::string(n.GetString(), n.GetLength());
}
CWideString Wide(const std::string& s) {
    return Utf8ToWide(s.c_str(), (int)s.size());
}

void WriteBytes(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    fclose(f);
}

std::string ReadBytes(const std::string& path) {
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return r;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
    fclose(f);
    return r;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = (char)(rng() & 0xFF);
    return s;
}

bool Cmp(const std::string& a, const std::string& b) {
    return system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* de = readdir(d))
            if (de->d_name[0] != '.' || (de->d_name[1] && (de->d_name[1] != '.' || de->d_name[2])))
                out.push_back(de->d_name);
        closedir(d);
    }
    return out;
}

// The remote side: real files, but no native paths for the copy logic, and
// every data byte read or written through it counted.
class RemoteDouble : public WinFileSys {
public:
    bool m_bBlockIo = true;
    bool m_bFailCrc = false;
    int64_t m_nRead = 0, m_nWritten = 0, m_nUploaded = 0, m_nDownloaded = 0;

    TvFileSys* NewInstance() const override { return new RemoteDouble(); }
    int GetCapability(int id) const override {
        if (id == TVFS_CAP_LOCAL) return 0;
        if (id == TVFS_CAP_BLOCK_IO) return m_bBlockIo ? 1 : 0;
        return WinFileSys::GetCapability(id);
    }
    bool OpenFile(int dix, const CWideString& path, uint32_t mode, int& errKind, CWideString& err) override {
        if (!m_bBlockIo) return NotImplemented("OpenFile", errKind, err);
        return WinFileSys::OpenFile(dix, path, mode, errKind, err);
    }
    bool ReadBuf(int dix, void* buf, uint32_t len, uint32_t& nRead, int& errKind, CWideString& err) override {
        bool ok = WinFileSys::ReadBuf(dix, buf, len, nRead, errKind, err);
        if (!m_bInCrc) m_nRead += nRead;
        return ok;
    }
    bool ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                    CWideString& err) override {
        if (m_bFailCrc) return NotImplemented("ReadBufCrc", errKind, err);
        m_bInCrc = true; // only the checksum crosses
        bool ok = WinFileSys::ReadBufCrc(dix, len, nRead, crc, errKind, err);
        m_bInCrc = false;
        return ok;
    }
    bool WriteBuf(int dix, const void* buf, uint32_t len, int& errKind, CWideString& err) override {
        m_nWritten += len;
        return WinFileSys::WriteBuf(dix, buf, len, errKind, err);
    }
    bool UploadFile(const CWideString& localFile, const CWideString& path, int& errKind,
                    CWideString& err) override {
        struct stat st;
        if (stat(Narrow(localFile).c_str(), &st) == 0) m_nUploaded += st.st_size;
        return WinFileSys::UploadFile(localFile, path, errKind, err);
    }
    bool DownloadFile(const CWideString& path, const CWideString& localFile, int64_t& nSize, int& errKind,
                      CWideString& err) override {
        bool ok = WinFileSys::DownloadFile(path, localFile, nSize, errKind, err);
        m_nDownloaded += nSize;
        return ok;
    }

private:
    bool m_bInCrc = false;
};

// Records messages; asks for a stop after a number of progress reports.
class TestProgress : public ICopyProgress {
public:
    int m_nStopAfter = -1;
    int m_nReports = 0;
    int64_t m_nLastDone = 0, m_nLastTotal = 0;
    std::vector<std::string> m_messages;
    bool OnProgress(bool, int64_t nDone, int64_t nTotal, int&, CWideString&) override {
        m_nLastDone = nDone;
        m_nLastTotal = nTotal;
        if (++m_nReports == m_nStopAfter) RequestStop();
        return true;
    }
    void OnMessage(int, const CWideString& text) override { m_messages.push_back(Narrow(text)); }
};

class CopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tvcopy-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_base = tmpl;
        m_local = m_base + "/local";
        m_remote = m_base + "/remote";
        ASSERT_EQ(mkdir(m_local.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_remote.c_str(), 0755), 0);
        Connect(m_fsL, m_local);
        Connect(m_fsR, m_remote);
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + m_base + "'").c_str()), 0); }
    void Connect(WinFileSys& fs, const std::string& dir) {
        TvConnectInfo ci;
        ci.m_sUrl = Wide("file://" + dir);
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(fs.Connect(ci, nullptr, kind, err)) << Narrow(err);
    }
    bool Copy(TvFileSys& s, const char* src, TvFileSys& t, bool bTemp, const char* write, const char* final,
              int64_t& size, ICopyProgress* p = nullptr) {
        m_kind = 0;
        m_err.Empty();
        return TvFileCopy(&s, Wide(src), &t, bTemp, Wide(write), Wide(final), size, p, m_kind, m_err);
    }

    std::string m_base, m_local, m_remote;
    WinFileSys m_fsL;
    RemoteDouble m_fsR;
    int m_kind = 0;
    CWideString m_err;
};

constexpr int B = kTvDeltaBlockSize;

TEST_F(CopyTest, DirectCopyReplacesTheFileAndLeavesNoTemporaryFile) {
    std::string data = RandomBytes(3 * 1024 * 1024 + 17, 1);
    WriteBytes(m_local + "/src.bin", data);
    WriteBytes(m_local + "/dst.bin", "old content");
    struct stat st;
    ASSERT_EQ(stat((m_local + "/src.bin").c_str(), &st), 0);
    int64_t size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/src.bin", m_fsL, false, "/dst.bin", "", size)) << Narrow(m_err);
    EXPECT_EQ(size, (int64_t)data.size());
    EXPECT_TRUE(Cmp(m_local + "/src.bin", m_local + "/dst.bin"));
    EXPECT_EQ(Names(m_local).size(), 2u);
    // The source's record as it was read.
    EXPECT_TRUE(m_fsL.m_LastRead.m_bValid);
    EXPECT_EQ(m_fsL.m_LastRead.m_nSize, (int64_t)data.size());
    EXPECT_EQ(m_fsL.m_LastRead.m_nFileTime, (int64_t)st.st_mtime);

    // A read-only source gives a read-only copy.
    ASSERT_EQ(chmod((m_local + "/src.bin").c_str(), 0444), 0);
    ASSERT_TRUE(Copy(m_fsL, "/src.bin", m_fsL, false, "/ro.bin", "", size)) << Narrow(m_err);
    ASSERT_EQ(stat((m_local + "/ro.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_TRUE(Cmp(m_local + "/src.bin", m_local + "/ro.bin"));

    // Local to remote and back, directly.
    size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/src.bin", m_fsR, false, "/r.bin", "", size)) << Narrow(m_err);
    EXPECT_TRUE(Cmp(m_local + "/src.bin", m_remote + "/r.bin"));
    EXPECT_EQ(Names(m_remote).size(), 1u);
    size = -1;
    ASSERT_TRUE(Copy(m_fsR, "/r.bin", m_fsL, false, "/back.bin", "", size)) << Narrow(m_err);
    EXPECT_TRUE(Cmp(m_local + "/src.bin", m_local + "/back.bin"));
}

TEST_F(CopyTest, CopyToTemporaryThenRenameLeavesNoTemporaryFile) {
    WriteBytes(m_local + "/src.txt", "new text");
    WriteBytes(m_remote + "/doc.txt", "old text");
    int64_t size = 8;
    ASSERT_TRUE(
        Copy(m_fsL, "/src.txt", m_fsR, true, "/0123456789abcdef0123456789abcdef._tvtmp", "/doc.txt", size))
        << Narrow(m_err);
    EXPECT_EQ(ReadBytes(m_remote + "/doc.txt"), "old text"); // untouched until the rename
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(m_fsR.MoveFile(u"/0123456789abcdef0123456789abcdef._tvtmp", u"/doc.txt", kind, err));
    EXPECT_EQ(ReadBytes(m_remote + "/doc.txt"), "new text");
    EXPECT_EQ(Names(m_remote), std::vector<std::string>{"doc.txt"});
}

TEST_F(CopyTest, StopMidCopyKeepsTheOldDestination) {
    std::string data = RandomBytes(5 * 1024 * 1024, 2);
    WriteBytes(m_local + "/big.bin", data);
    WriteBytes(m_local + "/dst.bin", "precious old version");
    WriteBytes(m_remote + "/dst.bin", "precious old version");
    for (int round = 0; round < 3; ++round) {
        TestProgress prog;
        prog.m_nStopAfter = 2;
        int64_t size = -1;
        bool ok = round == 0   ? Copy(m_fsL, "/big.bin", m_fsL, false, "/dst.bin", "", size, &prog)
                  : round == 1 ? Copy(m_fsL, "/big.bin", m_fsR, false, "/dst.bin", "", size, &prog)
                               : Copy(m_fsL, "/big.bin", m_fsR, true, "/t._tvtmp", "/dst.bin", size, &prog);
        EXPECT_FALSE(ok) << round;
        EXPECT_EQ(m_kind, FSE_STOPPED) << round;
        EXPECT_NE(Narrow(m_err).find("stopped by user"), std::string::npos);
    }
    EXPECT_EQ(ReadBytes(m_local + "/dst.bin"), "precious old version");
    EXPECT_EQ(ReadBytes(m_remote + "/dst.bin"), "precious old version");
    EXPECT_EQ(Names(m_local).size(), 2u);
    EXPECT_EQ(Names(m_remote), std::vector<std::string>{"dst.bin"});
}

TEST_F(CopyTest, ProgressCarriesDoneAndTotal) {
    WriteBytes(m_local + "/a.bin", RandomBytes(3 * B + 5, 3));
    TestProgress prog;
    int64_t size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/a.bin", m_fsR, false, "/a.bin", "", size, &prog)) << Narrow(m_err);
    EXPECT_EQ(prog.m_nReports, 4);
    EXPECT_EQ(prog.m_nLastDone, 3 * B + 5);
    EXPECT_EQ(prog.m_nLastTotal, 3 * B + 5);
    EXPECT_EQ(prog.m_nTotal, -1); // restored after the copy
}

// 10 MiB (plus a partial last block) with three blocks changed.
struct DeltaFiles {
    std::string oldData, newData;
    DeltaFiles() {
        oldData = RandomBytes(10 * 1024 * 1024 + 1000, 7);
        newData = oldData;
        for (int blk : {0, 17, 40}) newData[(size_t)blk * B + 5] ^= 0x5A; // 40 is the partial last block
    }
    static int64_t ChangedBytes() { return 2 * (int64_t)B + 1000; }
};

TEST_F(CopyTest, DeltaUploadSendsOnlyChangedBlocks) {
    DeltaFiles f;
    WriteBytes(m_local + "/v2.bin", f.newData);
    WriteBytes(m_remote + "/file.bin", f.oldData);
    int64_t size = (int64_t)f.newData.size();
    ASSERT_TRUE(Copy(m_fsL, "/v2.bin", m_fsR, true, "/w._tvtmp", "/file.bin", size)) << Narrow(m_err);
    EXPECT_TRUE(TvLastCopyStats().bDelta);
    EXPECT_EQ(m_fsR.m_nWritten, DeltaFiles::ChangedBytes());
    EXPECT_EQ(m_fsR.m_nRead, 0);
    EXPECT_EQ(TvLastCopyStats().nTransferred, DeltaFiles::ChangedBytes());
    EXPECT_EQ(size, (int64_t)f.newData.size());
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(m_fsR.MoveFile(u"/w._tvtmp", u"/file.bin", kind, err));
    EXPECT_TRUE(Cmp(m_local + "/v2.bin", m_remote + "/file.bin"));
    EXPECT_EQ(Names(m_remote), std::vector<std::string>{"file.bin"});
}

TEST_F(CopyTest, DeltaDownloadReadsOnlyChangedBlocks) {
    DeltaFiles f;
    WriteBytes(m_remote + "/v2.bin", f.newData);
    WriteBytes(m_local + "/file.bin", f.oldData);
    int64_t size = -1;
    ASSERT_TRUE(Copy(m_fsR, "/v2.bin", m_fsL, true, "/w._tvtmp", "/file.bin", size)) << Narrow(m_err);
    EXPECT_TRUE(TvLastCopyStats().bDelta);
    EXPECT_EQ(m_fsR.m_nRead, DeltaFiles::ChangedBytes());
    EXPECT_EQ(m_fsR.m_nWritten, 0);
    EXPECT_TRUE(Cmp(m_remote + "/v2.bin", m_local + "/w._tvtmp"));
    EXPECT_EQ(ReadBytes(m_local + "/file.bin"), f.oldData); // the base stays as it was
}

TEST_F(CopyTest, DeltaGrowsAndShrinksFiles) {
    std::string base = RandomBytes(4 * B, 9);
    std::string longer = base + RandomBytes(B / 2, 10);
    std::string shorter = base.substr(0, 2 * B + 3);
    for (const std::string& next : {longer, shorter}) {
        WriteBytes(m_remote + "/f.bin", base);
        WriteBytes(m_local + "/n.bin", next);
        m_fsR.m_nWritten = 0;
        int64_t size = -1;
        ASSERT_TRUE(Copy(m_fsL, "/n.bin", m_fsR, true, "/t._tvtmp", "/f.bin", size)) << Narrow(m_err);
        EXPECT_TRUE(TvLastCopyStats().bDelta);
        EXPECT_EQ(m_fsR.m_nWritten, (int64_t)(next.size() > base.size() ? B / 2 : 0));
        EXPECT_EQ(ReadBytes(m_remote + "/t._tvtmp"), next);
    }
}

TEST_F(CopyTest, DeltaFailureFallsBackToFullCopy) {
    DeltaFiles f;
    WriteBytes(m_local + "/v2.bin", f.newData);
    WriteBytes(m_remote + "/file.bin", f.oldData);
    m_fsR.m_bFailCrc = true;
    TestProgress prog;
    int64_t size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/v2.bin", m_fsR, true, "/w._tvtmp", "/file.bin", size, &prog)) << Narrow(m_err);
    EXPECT_FALSE(TvLastCopyStats().bDelta);
    EXPECT_EQ(m_fsR.m_nWritten, (int64_t)f.newData.size());
    EXPECT_EQ(ReadBytes(m_remote + "/w._tvtmp"), f.newData);
    ASSERT_FALSE(prog.m_messages.empty());
    EXPECT_NE(prog.m_messages.back().find("copying the whole file"), std::string::npos);

    // No file to update: a full copy as well; a small file never tries.
    m_fsR.m_bFailCrc = false;
    m_fsR.m_nWritten = 0;
    ASSERT_TRUE(Copy(m_fsL, "/v2.bin", m_fsR, true, "/w2._tvtmp", "/missing.bin", size)) << Narrow(m_err);
    EXPECT_EQ(ReadBytes(m_remote + "/w2._tvtmp"), f.newData);
    WriteBytes(m_local + "/small", std::string(B - 1, 'x'));
    WriteBytes(m_remote + "/small", std::string(B - 1, 'x'));
    m_fsR.m_nWritten = 0;
    size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/small", m_fsR, true, "/w3._tvtmp", "/small", size)) << Narrow(m_err);
    EXPECT_FALSE(TvLastCopyStats().bDelta);
    EXPECT_EQ(m_fsR.m_nWritten, B - 1);
}

TEST_F(CopyTest, DeltaDownloadRefusesABlockLongerThanAskedFor) {
    // A remote side that claims more bytes than the block it was asked for
    // must not make the copy read past its block buffer.
    class Overlong : public RemoteDouble {
    public:
        bool ReadBufCrc(int dix, uint32_t len, uint32_t& nRead, CNarrowString& crc, int& errKind,
                        CWideString& err) override {
            if (!RemoteDouble::ReadBufCrc(dix, len, nRead, crc, errKind, err)) return false;
            nRead = len + 4096;
            return true;
        }
    } fs;
    Connect(fs, m_remote);
    DeltaFiles f;
    WriteBytes(m_remote + "/v2.bin", f.newData);
    WriteBytes(m_local + "/file.bin", f.oldData);
    TestProgress prog;
    int64_t size = -1;
    ASSERT_TRUE(Copy(fs, "/v2.bin", m_fsL, true, "/w._tvtmp", "/file.bin", size, &prog)) << Narrow(m_err);
    EXPECT_FALSE(TvLastCopyStats().bDelta); // the whole file instead
    EXPECT_TRUE(Cmp(m_remote + "/v2.bin", m_local + "/w._tvtmp"));
    ASSERT_FALSE(prog.m_messages.empty());
    EXPECT_NE(prog.m_messages.back().find("at most 262144 were asked for"), std::string::npos)
        << prog.m_messages.back();
}

TEST_F(CopyTest, SideWithoutDescriptorIoUsesUploadAndDownload) {
    m_fsR.m_bBlockIo = false;
    std::string data = RandomBytes(B + 10, 4);
    WriteBytes(m_local + "/a.bin", data);
    WriteBytes(m_remote + "/a.bin", "old");
    int64_t size = -1;
    ASSERT_TRUE(Copy(m_fsL, "/a.bin", m_fsR, false, "/a.bin", "", size)) << Narrow(m_err);
    EXPECT_EQ(m_fsR.m_nUploaded, (int64_t)data.size());
    EXPECT_EQ(ReadBytes(m_remote + "/a.bin"), data);
    ASSERT_TRUE(Copy(m_fsR, "/a.bin", m_fsL, false, "/b.bin", "", size)) << Narrow(m_err);
    EXPECT_EQ(m_fsR.m_nDownloaded, (int64_t)data.size());
    EXPECT_EQ(size, (int64_t)data.size());
    EXPECT_EQ(ReadBytes(m_local + "/b.bin"), data);
    EXPECT_EQ(Names(m_remote), std::vector<std::string>{"a.bin"});

    // A download of another size or time than the caller listed is another
    // version of the source: the copy fails and leaves nothing behind.
    struct stat st;
    ASSERT_EQ(stat((m_remote + "/a.bin").c_str(), &st), 0);
    const int64_t n = (int64_t)data.size();
    for (auto [listed, when] : {std::pair{n - 1, 0L}, {n + 1, 0L}, {n, (long)st.st_mtime + 1}}) {
        size = listed;
        m_err.Empty();
        EXPECT_FALSE(TvFileCopy(&m_fsR, u"/a.bin", &m_fsL, false, u"/c.bin", u"", size, nullptr, m_kind, m_err, 0,
                                when));
        EXPECT_EQ(Narrow(m_err).rfind("Source file changed while copied: ", 0), 0u) << Narrow(m_err);
        std::vector<std::string> names = Names(m_local);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b.bin"}));
    }
    size = n;
    EXPECT_TRUE(TvFileCopy(&m_fsR, u"/a.bin", &m_fsL, false, u"/c.bin", u"", size, nullptr, m_kind, m_err, 0,
                           st.st_mtime)) << Narrow(m_err);
}

TEST_F(CopyTest, RefusesWhatItCannotCopy) {
    WriteBytes(m_local + "/a", "x");
    int64_t size = -1;
    WinFileSys notConnected;
    EXPECT_FALSE(Copy(notConnected, "/a", m_fsL, false, "/b", "", size));
    EXPECT_EQ(Narrow(m_err), "Source file system not ready.");
    EXPECT_FALSE(Copy(m_fsL, "/a", notConnected, false, "/b", "", size));
    EXPECT_EQ(Narrow(m_err), "Destination file system not ready.");
    EXPECT_FALSE(Copy(m_fsL, "a", m_fsL, false, "/b", "", size));
    EXPECT_EQ(Narrow(m_err), "Invalid source path: a");
    EXPECT_FALSE(Copy(m_fsL, "/a", m_fsL, false, "b", "", size));
    EXPECT_EQ(Narrow(m_err), "Invalid destination path: b");
    EXPECT_FALSE(Copy(m_fsL, "/missing", m_fsL, false, "/b", "", size));
    EXPECT_EQ(m_kind, FSE_NOT_FOUND);
    EXPECT_FALSE(Copy(m_fsL, "/", m_fsL, false, "/b", "", size));
    EXPECT_NE(Narrow(m_err).find("folder"), std::string::npos) << Narrow(m_err);
    EXPECT_EQ(Names(m_local), std::vector<std::string>{"a"});
}

TEST_F(CopyTest, NamedPipeIsRefusedInsteadOfWaitedOn) {
    // Opening a pipe for reading would wait for a writer forever.
    ASSERT_EQ(mkfifo((m_local + "/pipe").c_str(), 0644), 0);
    int64_t size = -1;
    EXPECT_FALSE(Copy(m_fsL, "/pipe", m_fsL, false, "/copy", "", size));
    EXPECT_NE(Narrow(m_err).find("Source is not a regular file: "), std::string::npos) << Narrow(m_err);
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(m_fsL.CopyFileFs(u"/pipe", u"/copy", kind, err));
    EXPECT_NE(Narrow(err).find("not a regular file"), std::string::npos) << Narrow(err);
    err.Empty();
    Md5Crc crc;
    EXPECT_FALSE(m_fsL.GetFileCrc(u"/pipe", crc, size, kind, err));
    EXPECT_NE(Narrow(err).find("not a regular file"), std::string::npos) << Narrow(err);
    EXPECT_EQ(Names(m_local), std::vector<std::string>{"pipe"});
}

TEST_F(CopyTest, MakeFolderRecursive) {
    int kind = 0;
    CWideString err;
    EXPECT_FALSE(MakeFolderRecursive(&m_fsL, u"x/y", false, kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_NE(Narrow(err).find("not absolute path specified"), std::string::npos);
    ASSERT_EQ(mkdir((m_local + "/x").c_str(), 0755), 0);
    ASSERT_TRUE(MakeFolderRecursive(&m_fsL, u"/x/y/z", false, kind, err)) << Narrow(err);
    ASSERT_TRUE(MakeFolderRecursive(&m_fsL, u"/x/y/z", false, kind, err)) << Narrow(err);
    ASSERT_TRUE(MakeFolderRecursive(&m_fsL, u"/p/q/file.txt", true, kind, err)) << Narrow(err);
    struct stat st;
    EXPECT_EQ(stat((m_local + "/x/y/z").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(stat((m_local + "/p/q").c_str(), &st), 0);
    EXPECT_NE(stat((m_local + "/p/q/file.txt").c_str(), &st), 0);
    WriteBytes(m_local + "/x/file", "f");
    err.Empty();
    EXPECT_FALSE(MakeFolderRecursive(&m_fsL, u"/x/file/sub", false, kind, err));
}

TEST_F(CopyTest, DeleteFolderRecursiveNeverFollowsLinks) {
    ASSERT_EQ(system(("mkdir -p '" + m_local + "/t/a/b' '" + m_base + "/keep'").c_str()), 0);
    WriteBytes(m_local + "/t/f1", "1");
    WriteBytes(m_local + "/t/a/b/f2", "2");
    WriteBytes(m_base + "/keep/precious", "p");
    ASSERT_EQ(symlink((m_base + "/keep").c_str(), (m_local + "/t/a/link").c_str()), 0);
    TestProgress prog;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(DeleteFolderRecursive(&m_fsL, u"/t", &prog, kind, err)) << Narrow(err);
    struct stat st;
    EXPECT_NE(lstat((m_local + "/t").c_str(), &st), 0);
    EXPECT_EQ(ReadBytes(m_base + "/keep/precious"), "p");
    int files = 0, folders = 0;
    for (auto& m : prog.m_messages) {
        if (m.rfind("Deleted file: ", 0) == 0) ++files;
        if (m.rfind("Deleted folder: ", 0) == 0) ++folders;
    }
    EXPECT_EQ(files, 3);                                                 // f1, f2 and the link
    EXPECT_EQ(folders, 3);                                               // t, a, b
    EXPECT_TRUE(DeleteFolderRecursive(&m_fsL, u"/t", &prog, kind, err)); // gone already
    // A single file.
    WriteBytes(m_local + "/single", "s");
    EXPECT_TRUE(DeleteFolderRecursive(&m_fsL, u"/single", nullptr, kind, err));
    EXPECT_NE(lstat((m_local + "/single").c_str(), &st), 0);
}

TEST_F(CopyTest, DeleteFolderRecursiveSeesAFolderReplacedByALinkAfterListing) {
    // Right after "/t" is listed, its folder "z" becomes a link to a folder
    // outside: the delete must remove the link, not what it points to.
    class Swapping : public WinFileSys {
    public:
        std::string m_sDir, m_sOutside;
        bool ListDir(const CWideString& path, CListT<FsItemInfo>& items, int& errKind,
                     CWideString& err) override {
            bool ok = WinFileSys::ListDir(path, items, errKind, err);
            if (path == u"/t" && !m_sDir.empty()) {
                EXPECT_EQ(system(("rm -rf '" + m_sDir + "/z'").c_str()), 0);
                EXPECT_EQ(symlink(m_sOutside.c_str(), (m_sDir + "/z").c_str()), 0);
            }
            return ok;
        }
    } fs;
    Connect(fs, m_local);
    ASSERT_EQ(system(("mkdir -p '" + m_local + "/t/z' '" + m_base + "/keep'").c_str()), 0);
    WriteBytes(m_local + "/t/z/f", "f");
    WriteBytes(m_base + "/keep/precious", "p");
    fs.m_sDir = m_local + "/t";
    fs.m_sOutside = m_base + "/keep";
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(DeleteFolderRecursive(&fs, u"/t", nullptr, kind, err)) << Narrow(err);
    struct stat st;
    EXPECT_NE(lstat((m_local + "/t").c_str(), &st), 0);
    EXPECT_EQ(ReadBytes(m_base + "/keep/precious"), "p");
}

TEST_F(CopyTest, MoveFolderChildByChildAndMoveFileByCopy) {
    // The double moves folders in one go; a side without that moves children.
    class NoFolderMove : public RemoteDouble {
    public:
        int GetCapability(int id) const override {
            return id == TVFS_CAP_MOVE_FOLDER ? 0 : RemoteDouble::GetCapability(id);
        }
    } fs;
    Connect(fs, m_remote);
    ASSERT_EQ(system(("mkdir -p '" + m_remote + "/from/sub'").c_str()), 0);
    WriteBytes(m_remote + "/from/a", "a");
    WriteBytes(m_remote + "/from/sub/b", "b");
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(MoveFolder(&fs, u"/from", u"/to", nullptr, kind, err)) << Narrow(err);
    EXPECT_EQ(ReadBytes(m_remote + "/to/a"), "a");
    EXPECT_EQ(ReadBytes(m_remote + "/to/sub/b"), "b");
    EXPECT_EQ(Names(m_remote), std::vector<std::string>{"to"});

    // Nothing that stands at a destination is replaced or merged into.
    ASSERT_EQ(system(("mkdir -p '" + m_remote + "/from2' '" + m_remote + "/to2'").c_str()), 0);
    WriteBytes(m_remote + "/from2/a", "moved");
    WriteBytes(m_remote + "/to2/a", "the user's own");
    EXPECT_FALSE(MoveFolder(&fs, u"/from2", u"/to2", nullptr, kind, err));
    EXPECT_NE(Narrow(err).find("the destination exists"), std::string::npos) << Narrow(err);
    EXPECT_EQ(ReadBytes(m_remote + "/to2/a"), "the user's own");
    EXPECT_EQ(ReadBytes(m_remote + "/from2/a"), "moved");
    err.Empty();

    ASSERT_TRUE(MoveFileByCopy(&fs, u"/to/a", u"/to/c", kind, err)) << Narrow(err);
    EXPECT_EQ(ReadBytes(m_remote + "/to/c"), "a");
    struct stat st;
    EXPECT_NE(stat((m_remote + "/to/a").c_str(), &st), 0);
    EXPECT_FALSE(MoveFileByCopy(&fs, u"/to/missing", u"/to/d", kind, err));
}

// A source rewritten in place (same size) while it is copied: whichever
// way the copy goes, it fails and leaves the destination as it was and no
// temporary file.
TEST_F(CopyTest, SourceWrittenToDuringTheCopyFailsTheCopy) {
    struct RewriteOnFirstReport : TestProgress {
        std::string path;
        bool OnProgress(bool up, int64_t nDone, int64_t nTotal, int& k, CWideString& e) override {
            if (m_nReports == 0) WriteBytes(path, std::string(65536, 'N') + m_data.substr(65536));
            return TestProgress::OnProgress(up, nDone, nTotal, k, e);
        }
        std::string m_data = RandomBytes(4 * 1024 * 1024, 11);
    };
    // From a remote side, or to one; through a temporary file; block by block.
    for (int bits : {0b0000, 0b1000, 0b0010, 0b1001, 0b1110, 0b1101}) {
        const bool bFromRemote = bits & 1, bToRemote = bits & 2, bDelta = bits & 4, bTemp = bits & 8;
        SCOPED_TRACE(bits);
        RewriteOnFirstReport prog;
        const std::string src = (bFromRemote ? m_remote : m_local) + "/src.bin";
        const std::string dst = (bToRemote ? m_remote : m_local) + "/dst.bin", old = prog.m_data.substr(1);
        WriteBytes(src, prog.m_data);
        WriteBytes(dst, old);
        const struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
        utimes(src.c_str(), tv); // a source seen through a file system is compared to the second
        prog.path = src;
        int64_t size = -1;
        EXPECT_FALSE(Copy(bFromRemote ? (TvFileSys&)m_fsR : m_fsL, "/src.bin",
                          bToRemote ? (TvFileSys&)m_fsR : m_fsL, bTemp, bTemp ? "/w._tvtmp" : "/dst.bin",
                          bDelta ? "/dst.bin" : "", size, &prog));
        EXPECT_EQ(TvLastCopyStats().bDelta, bDelta);
        EXPECT_NE(Narrow(m_err).find("Source file changed while copied: "), std::string::npos)
            << Narrow(m_err);
        EXPECT_TRUE(ReadBytes(dst) == old);
        EXPECT_EQ(Names(m_local).size() + Names(m_remote).size(), 2u);
        unlink(src.c_str());
        unlink(dst.c_str());
    }
}

TEST_F(CopyTest, GetLocalFileInfo) {
    WriteBytes(m_local + "/state", "12345");
    struct stat st;
    ASSERT_EQ(stat((m_local + "/state").c_str(), &st), 0);
    FsItemInfo info;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(GetLocalFileInfo(Wide(m_local + "/state"), info, kind, err)) << Narrow(err);
    EXPECT_EQ(info.m_nSize, 5);
    EXPECT_EQ(info.m_nModTime, (uint32_t)st.st_mtime);
    EXPECT_FALSE(GetLocalFileInfo(Wide(m_local), info, kind, err));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_EQ(Narrow(err), "state file cannot be a folder: " + m_local);
    err.Empty();
    EXPECT_FALSE(GetLocalFileInfo(Wide(m_local + "/none"), info, kind, err));
    EXPECT_EQ(kind, FSE_NOT_FOUND);
}

} // namespace
