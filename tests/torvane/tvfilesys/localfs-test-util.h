// Helpers of the local back-end tests: a connected file system on a fresh
// folder, files, and the tree as ListDir gives it.
#pragma once

#include "test-tmp.h"
#include "WinFileSys.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace localfs_test {

inline std::string RunCapture(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
}

inline std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        if (c == '\'')
            r += "'\\''";
        else
            r += c;
    }
    return r + "'";
}

inline void WriteFile(const std::string& path, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
}

inline std::string ReadFile(const std::string& path) {
    std::string r;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.append(buf, n);
    fclose(f);
    return r;
}

inline CWideString W(const std::string& utf8) {
    return Utf8ToWide(utf8.c_str());
}
inline std::string N(const CWideString& w) {
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
        std::string tmplPath = TvTmpPath("tvfs-local-XXXXXX");
        char* tmpl = tmplPath.data();
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
inline void WalkTree(WinFileSys& fs, const CWideString& folder, std::map<std::string, FsItemInfo>& out) {
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

} // namespace localfs_test
