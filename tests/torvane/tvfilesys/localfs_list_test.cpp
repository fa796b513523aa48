// Listings of the local back-end against coreutils' view of the same tree.
#include "localfs-test-util.h"

#include <cstdlib>
#include <vector>

using namespace localfs_test;

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
