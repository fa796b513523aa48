#include "test-tmp.h"
#include "zor-coll.h"
#include "zor-debug.h"
#include "zor-file.h"
#include "zor-log.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

class FileDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tv-file-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        (void)!system(("chmod -R u+w '" + m_dir + "' 2>/dev/null; rm -rf '" + m_dir + "'").c_str());
    }

    std::string P(const std::string& name) const { return m_dir + "/" + name; }
    CWideString W(const std::string& name) const { return Utf8ToWide(P(name).c_str()); }
    static void Put(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Get(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static std::set<std::string> List(const std::string& folder) {
        std::set<std::string> r;
        if (DIR* d = opendir(folder.c_str())) {
            while (dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) r.insert(e->d_name);
            closedir(d);
        }
        return r;
    }
    static bool Exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    static void Age(const std::string& path, int64_t nSecondsAgo) {
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(
            SetFileModTime(Utf8ToWide(path.c_str()), CZorTime::Now().GetTime() - nSecondsAgo, kind, err))
            << err;
    }
    // The file system of the temporary folder keeps user extended attributes.
    bool HasXattrs() const {
        std::string probe = P(".probe");
        Put(probe, "");
        bool ok = setxattr(probe.c_str(), "user.tv-probe", "1", 1, 0) == 0;
        unlink(probe.c_str());
        return ok;
    }
    static bool IsRoot() { return geteuid() == 0; }

    std::string m_dir;
};

} // namespace

TEST_F(FileDir, WholeFileRoundTripAndLimits) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += (char)i;
    bytes += bytes;
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(WriteWholeFile(W("a.bin"), CNarrowString(bytes.data(), (int)bytes.size()), kind, err)) << err;
    EXPECT_EQ(Get(P("a.bin")), bytes);
    EXPECT_EQ(List(m_dir), std::set<std::string>{"a.bin"}); // no temporary file left

    CNarrowString text;
    ASSERT_TRUE(ReadWholeFile(W("a.bin"), 1 << 20, text, kind, err)) << err;
    EXPECT_EQ(std::string(text.GetString(), text.GetLength()), bytes);
    ASSERT_TRUE(ReadWholeFile(W("a.bin"), 300, text, kind, err));
    EXPECT_EQ(std::string(text.GetString(), text.GetLength()), bytes.substr(0, 300));
    ASSERT_TRUE(ReadWholeFile(W("a.bin"), 0, text, kind, err));
    EXPECT_TRUE(text.IsEmpty());

    // The other argument order writes the same, and replaces the content whole.
    ASSERT_TRUE(WriteWholeFile(CNarrowString("short"), W("a.bin"), kind, err)) << err;
    EXPECT_EQ(Get(P("a.bin")), "short");
    ASSERT_TRUE(WriteWholeFile(W("empty"), CNarrowString(), kind, err));
    EXPECT_TRUE(Exists(P("empty")));
    EXPECT_EQ(Get(P("empty")), "");

    // A file whose size says 0 is still read to its end.
    ASSERT_TRUE(ReadWholeFile(u"/proc/self/status", 100000, text, kind, err)) << err;
    EXPECT_NE(text.Find("Pid:"), -1);

    err.Empty();
    EXPECT_FALSE(ReadWholeFile(W("missing"), 10, text, kind, err));
    EXPECT_TRUE(err.StartsWith(u"cannot open file to read: ")) << err;
    EXPECT_EQ(kind, ZEK_NOT_FOUND);
}

TEST_F(FileDir, FailedWritesLeaveTheOldFileAndNoTemporary) {
    Put(P("keep.txt"), "good content");
    int kind = 0;
    CWideString err;
    // Target folder missing.
    EXPECT_FALSE(WriteWholeFile(W("nosuch/keep.txt"), CNarrowString("x"), kind, err));
    EXPECT_TRUE(err.StartsWith(u"cannot create file to write: ")) << err;
    // A read-only target is refused and stays as it was.
    chmod(P("keep.txt").c_str(), 0444);
    err.Empty();
    EXPECT_FALSE(WriteWholeFile(W("keep.txt"), CNarrowString("new"), kind, err));
    EXPECT_EQ(Get(P("keep.txt")), "good content");
    chmod(P("keep.txt").c_str(), 0644);
    // A folder where the temporary file cannot be made.
    if (!IsRoot()) {
        chmod(m_dir.c_str(), 0555);
        err.Empty();
        EXPECT_FALSE(WriteWholeFile(W("keep.txt"), CNarrowString("new"), kind, err));
        chmod(m_dir.c_str(), 0755);
        EXPECT_EQ(Get(P("keep.txt")), "good content");
    }
    EXPECT_EQ(List(m_dir), std::set<std::string>{"keep.txt"});
}

TEST_F(FileDir, WritesKeepPermissionsAndFollowLinks) {
    Put(P("real.txt"), "old");
    chmod(P("real.txt").c_str(), 0640);
    ASSERT_EQ(symlink("real.txt", P("link.txt").c_str()), 0);
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(WriteWholeFile(W("link.txt"), CNarrowString("new"), kind, err)) << err;
    struct stat st;
    ASSERT_EQ(lstat(P("link.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Get(P("real.txt")), "new");
    ASSERT_EQ(stat(P("real.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FileDir, BackslashesSeparateAndFoldersAreCreatedWithParents) {
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(ZorCreateFolderPath(W("x\\y/z\\"), false, kind, err)) << err;
    struct stat st;
    ASSERT_EQ(stat(P("x/y/z").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(ZorCreateFolderPath(W("x/y"), err)); // existing: fine
    Put(P("file"), "");
    err.Empty();
    EXPECT_FALSE(ZorCreateFolderPath(W("file/sub"), err));
    EXPECT_TRUE(err.StartsWith(u"Cannot create folder ")) << err;
    // "\\?\" is dropped at the system call.
    EXPECT_TRUE(ZorFileExists(u"\\\\?\\" + W("x\\y")));
}

TEST_F(FileDir, AttributesFromTheFileSystem) {
    Put(P("plain.txt"), "abc");
    Put(P(".hidden"), "");
    mkdir(P("dir").c_str(), 0755);
    symlink("dir", P("dirlink").c_str());
    symlink("gone", P("dangling").c_str());
    EXPECT_EQ(ZorGetFileAttributes(W("plain.txt")), ZOR_FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ZorGetFileAttributes(W(".hidden")), ZOR_FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ZorGetFileAttributes(W("dir")), ZOR_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(ZorGetFileAttributes(W("dirlink")),
              ZOR_FILE_ATTRIBUTE_DIRECTORY | ZOR_FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(ZorGetFileAttributes(W("dangling")) & ZOR_FILE_ATTRIBUTE_REPARSE_POINT,
              ZOR_FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(ZorFileExists(W("dangling")));
    EXPECT_EQ(ZorGetFileAttributes(W("missing")), ZOR_INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(ZorFileExists(W("missing")));
    chmod(P("plain.txt").c_str(), 0444);
    EXPECT_EQ(ZorGetFileAttributes(W("plain.txt")), ZOR_FILE_ATTRIBUTE_READONLY);
}

TEST_F(FileDir, AttributeRoundTrips) {
    Put(P("f.txt"), "abc");
    mkdir(P("d").c_str(), 0755);
    int kind = 0;
    CWideString err;
    // Read-only is the owner's write permission.
    ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), ZOR_FILE_ATTRIBUTE_READONLY, kind, err)) << err;
    struct stat st;
    stat(P("f.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), ZOR_FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), ZOR_FILE_ATTRIBUTE_NORMAL, kind, err)) << err;
    stat(P("f.txt").c_str(), &st);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), ZOR_FILE_ATTRIBUTE_NORMAL);

    const uint32_t extra = ZOR_FILE_ATTRIBUTE_HIDDEN | ZOR_FILE_ATTRIBUTE_SYSTEM | ZOR_FILE_ATTRIBUTE_ARCHIVE;
    if (HasXattrs()) {
        // Bits the permissions cannot show live in our extended attribute,
        // also together with read-only (which takes the write permission away).
        ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), extra | ZOR_FILE_ATTRIBUTE_READONLY, kind, err)) << err;
        EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), extra | ZOR_FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), ZOR_FILE_ATTRIBUTE_ARCHIVE | ZOR_FILE_ATTRIBUTE_READONLY,
                                         kind, err))
            << err;
        EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), ZOR_FILE_ATTRIBUTE_ARCHIVE | ZOR_FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), 0, kind, err)) << err;
        EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), ZOR_FILE_ATTRIBUTE_NORMAL);
        char buf[16];
        EXPECT_LT(getxattr(P("f.txt").c_str(), ZOR_ATTRS_XATTR_NAME, buf, sizeof buf), 0); // removed when 0
        // A read-only folder stays usable: the bit is stored, not a permission.
        ASSERT_TRUE(ZorSetFileAttributes(W("d"), ZOR_FILE_ATTRIBUTE_READONLY | ZOR_FILE_ATTRIBUTE_DIRECTORY,
                                         kind, err))
            << err;
        EXPECT_EQ(ZorGetFileAttributes(W("d")), ZOR_FILE_ATTRIBUTE_READONLY | ZOR_FILE_ATTRIBUTE_DIRECTORY);
        Put(P("d/inside"), "ok");
        EXPECT_EQ(Get(P("d/inside")), "ok");
    } else {
        // Without extended attributes the extra bits are dropped quietly.
        ASSERT_TRUE(ZorSetFileAttributes(W("f.txt"), extra, kind, err)) << err;
        EXPECT_EQ(ZorGetFileAttributes(W("f.txt")), ZOR_FILE_ATTRIBUTE_NORMAL);
    }
    // Hidden on a dot name is the name itself.
    Put(P(".dot"), "");
    ASSERT_TRUE(ZorSetFileAttributes(W(".dot"), 0, kind, err));
    EXPECT_EQ(ZorGetFileAttributes(W(".dot")), ZOR_FILE_ATTRIBUTE_HIDDEN);
    err.Empty();
    EXPECT_FALSE(ZorSetFileAttributes(W("missing"), 0, kind, err));
    EXPECT_FALSE(err.IsEmpty());
}

TEST_F(FileDir, InfoDetailsSizesAndModTimes) {
    Put(P("f.txt"), std::string(1234, 'x'));
    int kind = 0;
    CWideString err;
    const int64_t t = 1600000000;
    ASSERT_TRUE(SetFileModTime(W("f.txt"), t, kind, err)) << err;
    ZorFileInfo info;
    ASSERT_TRUE(ZorGetFileInfo(W("f.txt"), info, err)) << err;
    EXPECT_EQ(info.nSize, 1234u);
    EXPECT_EQ(TimeTFromFileTime(info.nWriteTime), t);
    EXPECT_EQ(info.nAttributes, ZOR_FILE_ATTRIBUTE_NORMAL);
    EXPECT_GT(info.nCreationTime, 0);

    bool bExists = false;
    int64_t c = 0, a = 0, w = 0;
    uint64_t size = 0;
    ASSERT_TRUE(ZorGetFileDetails(W("f.txt"), bExists, c, a, w, size, kind, err)) << err;
    EXPECT_TRUE(bExists);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(w, info.nWriteTime);
    ASSERT_TRUE(ZorGetFileDetails(W("missing"), bExists, c, a, w, size, kind, err));
    EXPECT_FALSE(bExists);

    ASSERT_TRUE(ZorGetFileSizeByName(W("f.txt"), size, kind, err));
    EXPECT_EQ(size, 1234u);

    err.Empty();
    EXPECT_FALSE(ZorGetFileInfo(W("missing"), info, kind, err));
    EXPECT_EQ(err, u"cannot find file " + W("missing"));
    EXPECT_EQ(kind, ZEK_NOT_FOUND);
    err.Empty();
    EXPECT_FALSE(SetFileModTime(W("missing"), t, kind, err));
    EXPECT_TRUE(err.StartsWith(u"Cannot SetFileModTime (open): ")) << err;
}

TEST_F(FileDir, DeleteAndMove) {
    int kind = 0;
    CWideString err;
    Put(P("ro.txt"), "x");
    chmod(P("ro.txt").c_str(), 0444);
    EXPECT_TRUE(ZorDeleteFile(W("ro.txt"), kind, err)) << err;
    EXPECT_FALSE(Exists(P("ro.txt")));
    EXPECT_FALSE(ZorDeleteFile(W("ro.txt"), kind, err));
    EXPECT_TRUE(err.StartsWith(u"Cannot delete file (set attrs): ")) << err;
    ZorDeleteFileQuiet(W("ro.txt"));

    // A move replaces the target.
    Put(P("from.txt"), "new");
    Put(P("to.txt"), "old");
    err.Empty();
    ASSERT_TRUE(ZorMoveFile(W("from.txt"), W("to.txt"), err)) << err;
    EXPECT_EQ(Get(P("to.txt")), "new");
    EXPECT_FALSE(Exists(P("from.txt")));
    // Failures leave both sides alone.
    Put(P("from.txt"), "again");
    EXPECT_FALSE(ZorMoveFile(W("from.txt"), W("nosuch/to.txt"), kind, err));
    EXPECT_TRUE(err.StartsWith(u"Cannot move file ")) << err;
    EXPECT_EQ(Get(P("from.txt")), "again");
    EXPECT_EQ(Get(P("to.txt")), "new");
    EXPECT_EQ(List(m_dir), (std::set<std::string>{"from.txt", "to.txt"}));
}

TEST_F(FileDir, FailedDeleteKeepsTheFileReadOnly) {
    // An undeletable file: a read-only folder, or for root an immutable folder.
    mkdir(P("keep").c_str(), 0755);
    Put(P("keep/ro.txt"), "x");
    chmod(P("keep/ro.txt").c_str(), 0444);
    bool immutable = false;
    if (IsRoot()) {
        immutable = system(("chattr +i '" + P("keep") + "' 2>/dev/null").c_str()) == 0;
        if (!immutable) GTEST_SKIP() << "cannot make an undeletable file as root here";
    } else {
        chmod(P("keep").c_str(), 0555);
    }
    int kind = 0;
    CWideString err;
    bool ok = ZorDeleteFile(W("keep/ro.txt"), kind, err);
    if (immutable) (void)!system(("chattr -i '" + P("keep") + "'").c_str());
    chmod(P("keep").c_str(), 0755);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(err.StartsWith(u"Cannot delete file (2nd try): ")) << err;
    struct stat st;
    ASSERT_EQ(stat(P("keep/ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST_F(FileDir, MoveAcrossFileSystemsCopiesKeepsTimesAndLeavesNoTemporary) {
    struct stat a, b;
    if (stat("/dev/shm", &b) != 0 || stat(m_dir.c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    char tmpl[] = "/dev/shm/tv-move-XXXXXX";
    if (!mkdtemp(tmpl)) GTEST_SKIP() << "cannot use /dev/shm";
    std::string other = tmpl;
    Put(other + "/src.bin", std::string(3 << 20, 'q')); // larger than one copy block
    chmod((other + "/src.bin").c_str(), 0604);
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(SetFileModTime(Utf8ToWide((other + "/src.bin").c_str()), 1500000000, kind, err));
    Put(P("dst.bin"), "old");
    bool ok = ZorMoveFile(Utf8ToWide((other + "/src.bin").c_str()), W("dst.bin"), kind, err);
    bool srcLeft = Exists(other + "/src.bin");
    (void)!system(("rm -rf '" + other + "'").c_str());
    ASSERT_TRUE(ok) << err;
    EXPECT_FALSE(srcLeft);
    EXPECT_EQ(Get(P("dst.bin")), std::string(3 << 20, 'q'));
    struct stat st;
    stat(P("dst.bin").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(st.st_mtime, 1500000000);
    EXPECT_EQ(List(m_dir), std::set<std::string>{"dst.bin"});
}

TEST_F(FileDir, MoveAcrossFileSystemsKeepsStoredAttributes) {
    struct stat a, b;
    if (stat("/dev/shm", &b) != 0 || stat(m_dir.c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    if (!HasXattrs()) GTEST_SKIP() << "no user extended attributes here";
    char tmpl[] = "/dev/shm/tv-move-XXXXXX";
    if (!mkdtemp(tmpl)) GTEST_SKIP() << "cannot use /dev/shm";
    std::string other = tmpl;
    CWideString src = Utf8ToWide((other + "/src.bin").c_str());
    Put(other + "/src.bin", "data");
    int kind = 0;
    CWideString err;
    const uint32_t want =
        ZOR_FILE_ATTRIBUTE_HIDDEN | ZOR_FILE_ATTRIBUTE_ARCHIVE | ZOR_FILE_ATTRIBUTE_READONLY;
    bool bSet = ZorSetFileAttributes(src, want, kind, err);
    bool bStored = bSet && ZorGetFileAttributes(src) == want;
    bool ok = bStored && ZorMoveFile(src, W("dst.bin"), kind, err);
    (void)!system(("rm -rf '" + other + "'").c_str());
    ASSERT_TRUE(bSet) << err;
    if (!bStored) GTEST_SKIP() << "/dev/shm keeps no user extended attributes";
    ASSERT_TRUE(ok) << err;
    EXPECT_EQ(ZorGetFileAttributes(W("dst.bin")), want);
}

TEST_F(FileDir, TemporaryNames) {
    int kind = 0;
    CWideString err, a, b, c;
    ASSERT_TRUE(ZorGetTempFileName(W(""), nullptr, a, kind, err)) << err;
    ASSERT_TRUE(ZorGetTempFileName(W(""), u"", b, err)) << err;
    ASSERT_TRUE(ZorGetTempFileName(W(""), u"abc", c, kind, err)) << err;
    EXPECT_NE(a, b);
    for (const CWideString* n : {&a, &b}) {
        CWideString name = n->Mid(n->ReverseFind(u'/') + 1);
        EXPECT_TRUE(name.StartsWith(u"tvtm")) << name;
        EXPECT_TRUE(name.EndsWith(u".tmp")) << name;
        EXPECT_EQ(name.GetLength(), 14);
        EXPECT_TRUE(ZorFileExists(*n)); // created, empty
        EXPECT_EQ(Get(WideToUtf8(*n).GetString()), "");
        // What a temporary file will hold (a copy on its way up or down) is its owner's alone.
        struct stat st {};
        EXPECT_TRUE(::stat(WideToUtf8(*n).GetString(), &st) == 0 && (st.st_mode & 077) == 0) << st.st_mode;
    }
    EXPECT_TRUE(c.Mid(c.ReverseFind(u'/') + 1).StartsWith(u"abc"));
    err.Empty();
    EXPECT_FALSE(ZorGetTempFileName(W("nosuch"), nullptr, a, kind, err));
    EXPECT_TRUE(err.StartsWith(u"cannot get temp file name: ")) << err;
}

TEST_F(FileDir, FileHandles) {
    CFileHandle f;
    EXPECT_FALSE(f.IsOpen());
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(ZorOpenFileWrite(W("h.bin"), f, 0, kind, err)) << err;
    ASSERT_TRUE(f.WriteStringA("hello world", kind, err)) << err;
    ASSERT_TRUE(f.Sync(kind, err));
    ASSERT_TRUE(f.Close(kind, err));
    EXPECT_TRUE(f.Close(err)); // closing twice is fine

    ASSERT_TRUE(ZorOpenFileRead(W("h.bin"), f, kind, err)) << err;
    uint64_t size = 0;
    ASSERT_TRUE(f.GetSize(size, kind, err));
    EXPECT_EQ(size, 11u);
    ASSERT_TRUE(f.Seek(6, kind, err));
    char buf[32];
    uint32_t n = 0;
    ASSERT_TRUE(f.Read(buf, sizeof buf, n, kind, err));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(f.Read(buf, sizeof buf, n, kind, err));
    EXPECT_EQ(n, 0u);
    err.Empty();
    EXPECT_FALSE(f.Write("x", 1, kind, err)); // opened for reading
    EXPECT_TRUE(err.StartsWith(u"writing file " + W("h.bin"))) << err;
    f.CloseQuiet();

    // A full disk is reported with the quota kind.
    CFileHandle full;
    if (ZorOpenFileWrite(u"/dev/full", full, 0, kind, err)) {
        err.Empty();
        EXPECT_FALSE(full.Write("abc", 3, kind, err));
        EXPECT_EQ(kind, ZEK_QUOTA);
        EXPECT_TRUE(err.StartsWith(u"writing file /dev/full: ")) << err;
    }
    err.Empty();
    EXPECT_FALSE(ZorOpenFileRead(W("missing"), f, kind, err));
    EXPECT_TRUE(err.StartsWith(u"cannot open file to read: ")) << err;
}

TEST_F(FileDir, BufferedFileChunks) {
    std::string data;
    for (int i = 0; i < 70000; ++i) data += (char)('a' + i % 26);
    Put(P("body.bin"), data);
    int kind = 0;
    CWideString err;
    CBufferedFile none;
    EXPECT_EQ(none.m_hFile.GetHandle(), -1);
    EXPECT_EQ(none.m_nSize, -1);
    EXPECT_EQ(none.m_nChunkSize, 32768);
    EXPECT_FALSE(none.Open(kind, err));
    EXPECT_EQ(err, u"bad file to read");
    EXPECT_EQ(kind, ZEK_GENERAL);

    CBufferedFile bf(W("missing"));
    bf.m_sAltName = W("body.bin"); // the alternate name comes first
    err.Empty();
    ASSERT_TRUE(bf.Open(kind, err)) << err;
    EXPECT_EQ(bf.m_nSize, 70000);
    std::vector<int> sizes;
    std::string got;
    CNarrowString chunk;
    do {
        ASSERT_TRUE(bf.ReadChunk(chunk, kind, err)) << err;
        sizes.push_back(chunk.GetLength());
        got.append(chunk.GetString(), chunk.GetLength());
    } while (!chunk.IsEmpty());
    EXPECT_EQ(sizes, (std::vector<int>{32768, 32768, 4464, 0}));
    EXPECT_EQ(got, data);
    EXPECT_EQ(bf.m_nPosition, 70000);

    bf.SetReadBlock(50000);
    ASSERT_TRUE(bf.Rewind(kind, err));
    EXPECT_EQ(bf.m_nPosition, 0);
    ASSERT_TRUE(bf.ReadChunk(chunk, kind, err));
    EXPECT_EQ(chunk.GetLength(), 50000);
    ASSERT_TRUE(bf.Open(kind, err)); // an open file is rewound
    EXPECT_EQ(bf.m_nPosition, 0);
    ASSERT_TRUE(bf.ReadChunk(chunk, kind, err));
    EXPECT_EQ(std::string(chunk.GetString(), 5), data.substr(0, 5));
}

TEST_F(FileDir, TempFileHolderDeletesItsFile) {
    CWideString name;
    {
        CTempFileHolder holder(W(""));
        name = holder.GetFileName();
        ASSERT_FALSE(name.IsEmpty());
        EXPECT_TRUE(ZorFileExists(name));
        EXPECT_FALSE(holder.m_hFile.IsOpen());
        int kind = 0;
        CWideString err;
        ASSERT_TRUE(ZorOpenFileWrite(name, holder.m_hFile, 0, kind, err));
        ASSERT_TRUE(holder.m_hFile.WriteStringA("data", kind, err));
    }
    EXPECT_FALSE(ZorFileExists(name));
    ZorAssertHook prev = ZorSetAssertHook([](const char*) {});
    long before = ZorAssertCount();
    {
        CTempFileHolder bad(W("nosuch"));
        EXPECT_TRUE(bad.GetFileName().IsEmpty());
    }
    EXPECT_EQ(ZorAssertCount(), before + 1);
    ZorSetAssertHook(prev);
}

TEST_F(FileDir, CleanUpOldLogs) {
    const int64_t day = 86400;
    mkdir(P("sub").c_str(), 0755);
    mkdir(P("sub2").c_str(), 0755);
    mkdir(P("empty").c_str(), 0755);
    mkdir(P("outside").c_str(), 0755);
    for (const char* n : {"old.log", "OLD2.LOG", "new.log", "old.txt", "sub/old.log", "sub2/old.log",
                          "sub2/keep.txt", "outside/old.log"})
        Put(P(n), "x");
    for (const char* n : {"old.log", "OLD2.LOG", "old.txt", "sub/old.log", "sub2/old.log", "outside/old.log"})
        Age(P(n), 10 * day);
    Age(P("new.log"), 3 * day);
    mkdir(P("top").c_str(), 0755);
    rename(P("old.log").c_str(), P("top/old.log").c_str());
    rename(P("OLD2.LOG").c_str(), P("top/OLD2.LOG").c_str());
    rename(P("new.log").c_str(), P("top/new.log").c_str());
    rename(P("old.txt").c_str(), P("top/old.txt").c_str());
    rename(P("sub").c_str(), P("top/sub").c_str());
    rename(P("sub2").c_str(), P("top/sub2").c_str());
    rename(P("empty").c_str(), P("top/empty").c_str());
    symlink(P("outside").c_str(), P("top/link").c_str()); // never followed

    // Not recursive: only the top folder.
    std::vector<CWideString> deleted;
    int count = 0;
    CWideString err;
    ASSERT_TRUE(TvCleanUpLogs(W("top"), 7, false, count, err, &deleted)) << err;
    EXPECT_EQ(count, 2);
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, (std::vector<CWideString>{W("top/OLD2.LOG"), W("top/old.log")}));
    EXPECT_TRUE(Exists(P("top/sub/old.log")));

    // Recursive: sub-folders too; the emptied one goes, the others stay.
    CListT<CWideString> list;
    ASSERT_TRUE(TvCleanUpLogs(W("top"), 7, true, count, &list));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_FALSE(Exists(P("top/sub")));
    EXPECT_TRUE(Exists(P("top/sub2/keep.txt")));
    EXPECT_FALSE(Exists(P("top/sub2/old.log")));
    EXPECT_TRUE(Exists(P("top/empty")));
    EXPECT_TRUE(Exists(P("top/new.log")));
    EXPECT_TRUE(Exists(P("top/old.txt")));
    EXPECT_TRUE(Exists(P("outside/old.log")));

    // A younger limit takes the 3-day-old log as well.
    ASSERT_TRUE(TvCleanUpLogs(W("top"), 2, false, err, nullptr));
    EXPECT_FALSE(Exists(P("top/new.log")));
    // A missing folder has nothing to clean.
    EXPECT_TRUE(TvCleanUpLogs(W("nosuch"), 7, true, count, err, &deleted));
}

TEST_F(FileDir, CleanUpLogsLogsFilesItCannotDelete) {
    mkdir(P("logs").c_str(), 0755);
    mkdir(P("prog").c_str(), 0755);
    Put(P("logs/stuck.log"), "x");
    Age(P("logs/stuck.log"), 30 * 86400);
    // An undeletable file: a read-only folder, or for root an immutable file.
    bool immutable = false;
    if (IsRoot()) {
        immutable = system(("chattr +i '" + P("logs/stuck.log") + "' 2>/dev/null").c_str()) == 0;
        if (!immutable) GTEST_SKIP() << "cannot make an undeletable file as root here";
    } else {
        chmod(P("logs").c_str(), 0555);
    }
    CZorLog& log = ZorGetProgramLog();
    log.SetFolder(W("prog"));
    log.SetFileName(u"program.txt");
    int count = -1;
    CWideString err;
    EXPECT_TRUE(TvCleanUpLogs(W("logs"), 7, false, count, err, nullptr));
    log.SetEnabled(false);
    if (immutable) (void)!system(("chattr -i '" + P("logs/stuck.log") + "'").c_str());
    chmod(P("logs").c_str(), 0755);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(Exists(P("logs/stuck.log")));
    std::string text = Get(P("prog/program.txt"));
    EXPECT_NE(text.find("TvCleanUpLogs: cannot delete " + P("logs/stuck.log") + ": "), std::string::npos)
        << text;
}

TEST_F(FileDir, CleanUpTempFilesTakesOnlyOurOldNames) {
    const int64_t day = 86400;
    for (const char* n : {"tvtmAb12Z9.tmp", "tvtmQQQQQQ.tmp", "tvtmAb12Z.tmp", "other.tmp", "tvtmAb12Z9.tmpx",
                          "xtvtmAb12Z9.tmp"})
        Put(P(n), "");
    for (const char* n :
         {"tvtmAb12Z9.tmp", "tvtmAb12Z.tmp", "other.tmp", "tvtmAb12Z9.tmpx", "xtvtmAb12Z9.tmp"})
        Age(P(n), 3 * day);
    Age(P("tvtmQQQQQQ.tmp"), day); // not old enough
    mkdir(P("tvtmFOLDER.tmp").c_str(), 0755);
    Age(P("tvtmFOLDER.tmp"), 3 * day);
    std::vector<CWideString> deleted;
    ASSERT_TRUE(TvCleanUpTempFiles(W(""), &deleted));
    EXPECT_EQ(deleted, std::vector<CWideString>{W("tvtmAb12Z9.tmp")});
    EXPECT_EQ(List(m_dir), (std::set<std::string>{"tvtmQQQQQQ.tmp", "tvtmAb12Z.tmp", "other.tmp",
                                                  "tvtmAb12Z9.tmpx", "xtvtmAb12Z9.tmp", "tvtmFOLDER.tmp"}));
}

TEST(ZorFile, RememberedPathsKeepTheLast250) {
    for (int i = 0; i < 260; ++i) RememberFilePath(CWideString::Formatted(u"/p/%d", i));
    std::vector<CWideString> paths = GetRememberedFilePaths();
    ASSERT_EQ(paths.size(), 250u);
    EXPECT_EQ(paths.front(), u"/p/10");
    EXPECT_EQ(paths.back(), u"/p/259");
}
