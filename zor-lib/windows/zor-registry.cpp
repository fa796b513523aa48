// The registry store: hive files in the regedit text layout (see zor-registry.h).
#include "zor-registry.h"

#include "zor-file.h"
#include "zor-sysfolders.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <stdio.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kHeader[] = "TORVANE REGISTRY 1";
// A writer waits this long for another process's lock before giving up.
const int64_t kLockWaitMs = 60000;

std::atomic<ZorRegWriteHook> g_writeHook{nullptr};

void CallHook(const char* stage) {
    if (ZorRegWriteHook h = g_writeHook.load()) h(stage);
}

CWideString ErrnoText(int e) {
    return Utf8ToWide(std::strerror(e));
}

// ---------------------------------------------------------------- the tree

struct RegValue {
    CWideString sName;
    bool bDword = false;
    CWideString sText;
    uint32_t nDword = 0;
};

struct RegNode {
    CWideString sName;
    std::vector<RegValue> values;                   // in case-fold order
    std::vector<std::unique_ptr<RegNode>> children; // in case-fold order

    // Index of the first entry not below name; bFound when it matches.
    template <typename V, typename F>
    static size_t Seek(const std::vector<V>& v, const CWideString& name, F nameOf, bool& bFound) {
        size_t lo = 0, hi = v.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (ZorStrICmp(nameOf(v[mid]).GetString(), name.GetString()) < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        bFound = lo < v.size() && ZorStrICmp(nameOf(v[lo]).GetString(), name.GetString()) == 0;
        return lo;
    }
    static const CWideString& ChildName(const std::unique_ptr<RegNode>& p) { return p->sName; }
    static const CWideString& ValueName(const RegValue& v) { return v.sName; }

    RegNode* FindChild(const CWideString& name) const {
        bool bFound;
        size_t i = Seek(children, name, ChildName, bFound);
        return bFound ? children[i].get() : nullptr;
    }
    RegNode* GetOrAddChild(const CWideString& name) {
        bool bFound;
        size_t i = Seek(children, name, ChildName, bFound);
        if (bFound) return children[i].get();
        auto p = std::make_unique<RegNode>();
        p->sName = name;
        RegNode* r = p.get();
        children.insert(children.begin() + (ptrdiff_t)i, std::move(p));
        return r;
    }
    bool RemoveChild(const CWideString& name) {
        bool bFound;
        size_t i = Seek(children, name, ChildName, bFound);
        if (bFound) children.erase(children.begin() + (ptrdiff_t)i);
        return bFound;
    }
    const RegValue* FindValue(const CWideString& name) const {
        bool bFound;
        size_t i = Seek(values, name, ValueName, bFound);
        return bFound ? &values[i] : nullptr;
    }
    // The value of that name, created when missing (an existing value keeps the case of its name).
    RegValue& SetValue(const CWideString& name) {
        bool bFound;
        size_t i = Seek(values, name, ValueName, bFound);
        if (!bFound) {
            RegValue v;
            v.sName = name;
            values.insert(values.begin() + (ptrdiff_t)i, std::move(v));
        }
        return values[i];
    }
    bool RemoveValue(const CWideString& name) {
        bool bFound;
        size_t i = Seek(values, name, ValueName, bFound);
        if (bFound) values.erase(values.begin() + (ptrdiff_t)i);
        return bFound;
    }
};

// ---------------------------------------------------------------- key paths

bool IsBadNameUnit(char16_t c) {
    return c < 0x20 || c == 0x7F;
}

// Splits a sub-key path at backslashes. An empty path is the root; a trailing
// backslash is allowed; empty parts and control characters are not.
bool SplitKeyPath(const CWideString& path, std::vector<CWideString>& parts, CWideString& reason) {
    parts.clear();
    int n = path.GetLength();
    if (n > 0 && path[n - 1] == u'\\') --n;
    if (n == 0) return true;
    int start = 0;
    for (int i = 0; i <= n; ++i) {
        if (i == n || path[i] == u'\\') {
            if (i == start) {
                reason = u"bad key path (empty key name)";
                return false;
            }
            parts.push_back(path.Mid(start, i - start));
            start = i + 1;
        } else if (IsBadNameUnit(path[i])) {
            reason = u"bad key path (control character in a key name)";
            return false;
        } else if (path[i] >= 0xD800 && path[i] <= 0xDFFF) {
            bool bPair = path[i] <= 0xDBFF && i + 1 < n && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF;
            if (!bPair) {
                reason = u"bad key path (unpaired surrogate in a key name)";
                return false;
            }
            ++i;
        }
    }
    return true;
}

RegNode* FindNode(const RegNode& root, const std::vector<CWideString>& parts) {
    const RegNode* p = &root;
    for (const CWideString& s : parts) {
        p = p->FindChild(s);
        if (!p) return nullptr;
    }
    return const_cast<RegNode*>(p);
}

RegNode* GetOrAddNode(RegNode& root, const std::vector<CWideString>& parts) {
    RegNode* p = &root;
    for (const CWideString& s : parts) p = p->GetOrAddChild(s);
    return p;
}

// ---------------------------------------------------------------- text form

bool IsLoneSurrogateAt(const char16_t* p, int n, int i) {
    char16_t c = p[i];
    if (c < 0xD800 || c > 0xDFFF) return false;
    if (c <= 0xDBFF) return !(i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF);
    return !(i > 0 && p[i - 1] >= 0xD800 && p[i - 1] <= 0xDBFF);
}

void AppendQuoted(CNarrowString& out, const CWideString& s) {
    out.AppendChar('"');
    const char16_t* p = s.GetString();
    int n = s.GetLength();
    char buf[16];
    int i = 0;
    while (i < n) {
        // A run that needs no escape goes out in one conversion.
        int end = i;
        while (end < n && p[end] >= 0x20 && p[end] != 0x7F && p[end] != u'\\' && p[end] != u'"' &&
               !IsLoneSurrogateAt(p, n, end))
            ++end;
        if (end > i) {
            AppendWideAsUtf8(out, p + i, end - i);
            i = end;
            continue;
        }
        char16_t c = p[i++];
        if (c == u'\\') {
            out.Append("\\\\");
        } else if (c == u'"') {
            out.Append("\\\"");
        } else if (c == u'\n') {
            out.Append("\\n");
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", (unsigned)c);
            out.Append(buf);
        } else {
            std::snprintf(buf, sizeof buf, "\\u%04X", (unsigned)c); // lone surrogate, kept exactly
            out.Append(buf);
        }
    }
    out.AppendChar('"');
}

CNarrowString SerializeHive(const char* rootName, const RegNode& root) {
    CNarrowString out(kHeader);
    out.AppendChar('\n');
    char buf[32];
    std::function<void(const RegNode&, const CNarrowString&, bool)> walk =
        [&](const RegNode& node, const CNarrowString& path, bool bIsRoot) {
            if (!bIsRoot || !node.values.empty()) {
                out.Append("\n[");
                out.Append(path);
                out.Append("]\n");
                for (const RegValue& v : node.values) {
                    if (v.sName.IsEmpty())
                        out.AppendChar('@');
                    else
                        AppendQuoted(out, v.sName);
                    out.AppendChar('=');
                    if (v.bDword) {
                        std::snprintf(buf, sizeof buf, "dword:%08x", (unsigned)v.nDword);
                        out.Append(buf);
                    } else {
                        AppendQuoted(out, v.sText);
                    }
                    out.AppendChar('\n');
                }
            }
            for (const auto& c : node.children) {
                CNarrowString sub(path);
                sub.AppendChar('\\');
                sub.Append(WideToUtf8(c->sName));
                walk(*c, sub, false);
            }
        };
    walk(root, CNarrowString(rootName), true);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const char* line, int len, int& pos, CWideString& out, CWideString& reason) {
    out.Empty();
    ++pos;
    // The text's UTF-8 bytes with the ASCII escapes resolved; only a \u
    // escape (a lone surrogate, which UTF-8 cannot carry) splits it.
    CNarrowString run;
    CWideString conv, convErr;
    auto flush = [&]() -> bool {
        if (run.IsEmpty()) return true;
        if (!Utf8ToWideChecked(run, conv, convErr)) {
            reason = u"bad UTF-8 in a quoted text";
            return false;
        }
        out.Append(conv);
        run.Empty();
        return true;
    };
    while (pos < len) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return flush();
        }
        if (c != '\\') {
            int end = pos + 1;
            while (end < len && line[end] != '"' && line[end] != '\\') ++end;
            run.Append(line + pos, end - pos);
            pos = end;
            continue;
        }
        if (pos + 1 >= len) break;
        char e = line[pos + 1];
        pos += 2;
        if (e == '\\' || e == '"') {
            run.AppendChar(e);
        } else if (e == 'n') {
            run.AppendChar('\n');
        } else if (e == 'x' || e == 'u') {
            int nDigits = e == 'x' ? 2 : 4;
            unsigned v = 0;
            for (int k = 0; k < nDigits; ++k) {
                int d = pos < len ? HexDigit(line[pos]) : -1;
                if (d < 0) {
                    reason = u"bad \\x or \\u escape";
                    return false;
                }
                v = v * 16 + (unsigned)d;
                ++pos;
            }
            if (e == 'x') {
                if (v > 0x7F) {
                    reason = u"bad \\x escape (above 7F)";
                    return false;
                }
                run.AppendChar((char)v);
            } else {
                if (!flush()) return false;
                out.AppendChar((char16_t)v);
            }
        } else {
            reason.Format(u"unknown escape '\\%c'", e);
            return false;
        }
    }
    reason = u"quoted text not closed";
    return false;
}

// Parses a whole hive file. Every flaw is an error naming the line.
bool ParseHive(const CNarrowString& text, const char* rootName, const CNarrowString& filePath, RegNode& root,
               CWideString& err) {
    root = RegNode();
    int lineNo = 0;
    CWideString reason;
    auto fail = [&](const CWideString& why) {
        err.AppendFormat(u"registry file '%s' is damaged at line %d: %s", filePath, lineNo, why);
        return false;
    };
    if (text.IsEmpty()) {
        lineNo = 1;
        return fail(u"the file is empty (header missing)");
    }
    if (text.GetLast() != '\n') {
        lineNo = 1;
        for (int i = 0; i < text.GetLength(); ++i)
            if (text[i] == '\n') ++lineNo;
        return fail(u"the last line is incomplete");
    }
    const char* p = text.GetString();
    const int total = text.GetLength();
    int lineStart = 0;
    RegNode* cur = nullptr;
    const int rootLen = (int)std::strlen(rootName);
    while (lineStart < total) {
        ++lineNo;
        const char* nl = (const char*)std::memchr(p + lineStart, '\n', (size_t)(total - lineStart));
        int lineEnd = (int)(nl - p);
        const char* line = p + lineStart;
        int len = lineEnd - lineStart;
        lineStart = lineEnd + 1;
        if (len > 0 && line[len - 1] == '\r') --len;
        if (lineNo == 1) {
            if (len != (int)sizeof(kHeader) - 1 || std::memcmp(line, kHeader, (size_t)len) != 0)
                return fail(CWideString::Formatted(u"the header line \"%s\" is missing", kHeader));
            continue;
        }
        if (len == 0) continue;
        if (line[0] == '[') {
            if (line[len - 1] != ']') return fail(u"section line not closed by ']'");
            CNarrowString inner(line + 1, len - 2);
            if (inner.GetLength() < rootLen ||
                std::memcmp(inner.GetString(), rootName, (size_t)rootLen) != 0 ||
                (inner.GetLength() > rootLen && inner[rootLen] != '\\'))
                return fail(CWideString::Formatted(u"section outside %s", rootName));
            CWideString wide, convErr;
            if (!Utf8ToWideChecked(inner.Mid(rootLen), wide, convErr))
                return fail(u"bad UTF-8 in a key name");
            std::vector<CWideString> parts;
            if (!wide.IsEmpty()) {
                if (wide.GetLength() == 1 || wide.GetLast() == u'\\')
                    return fail(u"bad key path (empty key name)");
                if (!SplitKeyPath(wide.Mid(1), parts, reason)) return fail(reason);
            }
            cur = GetOrAddNode(root, parts);
            continue;
        }
        if (!cur) return fail(u"value before the first section");
        int pos = 0;
        CWideString name;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!ParseQuoted(line, len, pos, name, reason)) return fail(reason);
            if (name.IsEmpty()) return fail(u"empty value name (the default value is written @)");
        } else {
            return fail(u"expected a section, a quoted value name or @");
        }
        if (pos >= len || line[pos] != '=') return fail(u"'=' expected after the value name");
        ++pos;
        if (cur->FindValue(name)) return fail(u"value given twice in one key");
        RegValue v;
        v.sName = name;
        if (pos < len && line[pos] == '"') {
            if (!ParseQuoted(line, len, pos, v.sText, reason)) return fail(reason);
        } else if (len - pos >= 6 && std::memcmp(line + pos, "dword:", 6) == 0) {
            if (len - pos != 14) return fail(u"bad dword value (8 hex digits expected)");
            uint32_t n = 0;
            for (int k = pos + 6; k < len; ++k) {
                int d = HexDigit(line[k]);
                if (d < 0) return fail(u"bad dword value (8 hex digits expected)");
                n = n * 16 + (uint32_t)d;
            }
            v.bDword = true;
            v.nDword = n;
            pos = len;
        } else {
            return fail(u"a quoted text or dword:xxxxxxxx expected");
        }
        if (pos != len) return fail(u"unexpected characters after the value");
        cur->SetValue(name) = std::move(v);
    }
    return true;
}

// ---------------------------------------------------------------- files

enum class Hive { User, Machine };

bool HiveOf(HKEY root, Hive& h) {
    if (root == HKEY_CURRENT_USER) {
        h = Hive::User;
        return true;
    }
    if (root == HKEY_LOCAL_MACHINE) {
        h = Hive::Machine;
        return true;
    }
    return false;
}

CNarrowString FolderOf(const CNarrowString& path) {
    int i = path.ReverseFind('/');
    return i <= 0 ? CNarrowString("/") : path.Left(i);
}

// Creates a folder and its missing parents (mode 0700 for new ones).
bool MakeFolders(const CNarrowString& path, CWideString& err) {
    struct stat st;
    if (stat(path.GetString(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        err.AppendFormat(u"'%s' is not a folder", path);
        return false;
    }
    CNarrowString parent = FolderOf(path);
    if (parent != path && !MakeFolders(parent, err)) return false;
    if (mkdir(path.GetString(), 0700) != 0 && errno != EEXIST) {
        err.AppendFormat(u"cannot create folder '%s': %s", path, ErrnoText(errno));
        return false;
    }
    return true;
}

void TooLarge(const CNarrowString& path, long long nBytes, CWideString& err) {
    err.AppendFormat(u"registry file '%s' is too large: %lld bytes, more than the %lld a registry file may hold",
                     path, nBytes, (long long)kZorRegMaxHiveFileBytes);
}

bool ReadFileText(const CNarrowString& path, CNarrowString& text, bool& bMissing, CWideString& err) {
    bMissing = false;
    text.Empty();
    // Below the profile: only a file of the running user with one name.
    CWideString why;
    int fd = ZorOpenFileForReading(path, why);
    if (fd < 0) {
        if (errno == ENOENT) {
            bMissing = true;
            return true;
        }
        if (!why.IsEmpty())
            err.AppendFormat(u"registry file '%s' refused, as %s: remove it or put a file of your own there",
                             path, why);
        else
            err.AppendFormat(u"cannot open registry file '%s': %s", path, ErrnoText(errno));
        return false;
    }
    // A hive beyond the limit is refused before any of it is read: its text
    // and parsed tree would take many times its size in memory.
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err.AppendFormat(u"cannot read registry file '%s': %s", path, ErrnoText(errno));
        close(fd);
        return false;
    }
    if (st.st_size > kZorRegMaxHiveFileBytes) {
        TooLarge(path, (long long)st.st_size, err);
        close(fd);
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            err.AppendFormat(u"cannot read registry file '%s': %s", path, ErrnoText(errno));
            close(fd);
            return false;
        }
        if (n == 0) break;
        text.Append(buf, (int)n);
        // A file that grows while it is read stops at the limit as well.
        if (text.GetLength() > kZorRegMaxHiveFileBytes) {
            TooLarge(path, (long long)text.GetLength(), err);
            text.Empty();
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

bool LoadHive(HKEY root, RegNode& tree, CWideString& err) {
    CNarrowString path;
    if (!ZorRegHiveFilePath(root, path, err)) return false;
    CNarrowString text;
    bool bMissing;
    if (!ReadFileText(path, text, bMissing, err)) return false;
    if (bMissing) {
        tree = RegNode();
        return true;
    }
    return ParseHive(text, ZorRegRootName(root), path, tree, err);
}

// Readers keep the last parsed hive per file and reuse it while the file's
// bytes are the same (reading and comparing costs far less than parsing).
struct HiveCache {
    std::mutex lock;
    CNarrowString path, text;
    std::shared_ptr<const RegNode> tree;
};

std::shared_ptr<const RegNode> LoadHiveShared(HKEY root, CWideString& err) {
    static HiveCache caches[2];
    CNarrowString path;
    if (!ZorRegHiveFilePath(root, path, err)) return nullptr;
    CNarrowString text;
    bool bMissing;
    if (!ReadFileText(path, text, bMissing, err)) return nullptr;
    if (bMissing) return std::make_shared<const RegNode>();
    HiveCache& c = caches[root == HKEY_CURRENT_USER ? 0 : 1];
    {
        std::lock_guard<std::mutex> g(c.lock);
        if (c.tree && c.path == path && c.text == text) return c.tree;
    }
    auto tree = std::make_shared<RegNode>();
    if (!ParseHive(text, ZorRegRootName(root), path, *tree, err)) return nullptr;
    std::lock_guard<std::mutex> g(c.lock);
    c.path = path;
    c.text = text;
    c.tree = tree;
    return tree;
}

bool WriteAll(int fd, const char* p, size_t n) {
    size_t done = 0;
    return ZorWriteAllFd(fd, p, n, done);
}

// Holds the exclusive writer lock of a hive for its lifetime.
class HiveLock {
public:
    ~HiveLock() {
        if (m_fd >= 0) close(m_fd); // releases the flock
    }
    bool Take(const CNarrowString& lockPath, CWideString& err) {
        m_fd = open(lockPath.GetString(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (m_fd < 0) {
            err.AppendFormat(u"cannot open registry lock file '%s': %s", lockPath, ErrnoText(errno));
            return false;
        }
        int64_t start = ZorGetTickMs();
        for (;;) {
            if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) return true;
            if (errno != EWOULDBLOCK && errno != EINTR) {
                err.AppendFormat(u"cannot lock registry file '%s': %s", lockPath, ErrnoText(errno));
                return false;
            }
            if (ZorGetTickMs() - start > kLockWaitMs) {
                err.AppendFormat(u"registry file is locked by another process for too long ('%s')", lockPath);
                return false;
            }
            ZorSleepMs(5);
        }
    }

private:
    int m_fd = -1;
};

// One write transaction: lock, re-read, let change() modify the tree (it
// sets bChanged when it did), write the temporary file, fsync, rename.
bool ModifyHive(HKEY root, uint32_t nAccess, const std::function<bool(RegNode&, bool&, CWideString&)>& change,
                CWideString& reason) {
    Hive h;
    if (!HiveOf(root, h)) {
        reason = u"unknown root key";
        return false;
    }
    if (h == Hive::Machine) {
        reason = u"access denied (the machine hive is read-only)";
        return false;
    }
    if (!(nAccess & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))) {
        reason = u"access denied (the key was not opened for writing)";
        return false;
    }
    CNarrowString path;
    if (!ZorRegHiveFilePath(root, path, reason)) return false;
    if (!MakeFolders(FolderOf(path), reason)) return false;
    HiveLock lock;
    if (!lock.Take(path + ".lock", reason)) return false;
    CallHook("locked");
    RegNode tree;
    if (!LoadHive(root, tree, reason)) return false;
    bool bChanged = false;
    if (!change(tree, bChanged, reason)) return false;
    if (!bChanged) return true;
    CNarrowString text = SerializeHive(ZorRegRootName(root), tree);
    CNarrowString tmp = path + ".tmp";
    // In the profile, the names are taken in the folder that was checked.
    int dirFd = AT_FDCWD;
    CNarrowString tmpName = tmp, name = path;
    if (ZorPrivateFolderAt(tmp, dirFd, tmpName)) {
        if (dirFd < 0) {
            reason.AppendFormat(u"cannot create '%s': %s", tmp, ErrnoText(errno));
            return false;
        }
        name = path.Mid(path.ReverseFind('/') + 1);
    } else {
        dirFd = AT_FDCWD;
    }
    struct CloseDir {
        int fd;
        ~CloseDir() {
            if (fd >= 0) close(fd);
        }
    } closeDir{dirFd};
    // A new file: what stands at the name is removed, never written through.
    int fd = ZorCreateNewFileAt(dirFd, tmpName.GetString(), O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason.AppendFormat(u"cannot create '%s': %s", tmp, ErrnoText(errno));
        return false;
    }
    if (!WriteAll(fd, text.GetString(), (size_t)text.GetLength()) || fsync(fd) != 0) {
        int e = errno;
        close(fd);
        unlinkat(dirFd, tmpName.GetString(), 0);
        reason.AppendFormat(u"cannot write '%s': %s", tmp, ErrnoText(e));
        return false;
    }
    if (close(fd) != 0) {
        int e = errno;
        unlinkat(dirFd, tmpName.GetString(), 0);
        reason.AppendFormat(u"cannot write '%s': %s", tmp, ErrnoText(e));
        return false;
    }
    CallHook("temp-written");
    if (renameat(dirFd, tmpName.GetString(), dirFd, name.GetString()) != 0) {
        int e = errno;
        unlinkat(dirFd, tmpName.GetString(), 0);
        reason.AppendFormat(u"cannot replace '%s': %s", path, ErrnoText(e));
        return false;
    }
    if (dirFd >= 0) {
        fsync(dirFd); // makes the rename durable; a failure here loses nothing already written
    } else if (int dfd = open(FolderOf(path).GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    CallHook("renamed");
    return true;
}

bool SetAsideDamagedHive(HKEY root, CNarrowString& badPath, CWideString& why, CWideString& err) {
    badPath.Empty();
    CNarrowString path;
    if (!ZorRegHiveFilePath(root, path, err)) return false;
    CNarrowString text;
    bool bMissing = false;
    if (!ReadFileText(path, text, bMissing, err)) return false;
    if (bMissing) return true;
    RegNode tree;
    if (ParseHive(text, ZorRegRootName(root), path, tree, why)) {
        why.Empty();
        return true;
    }
    // No writer runs meanwhile: none could replace the file between the
    // check and the rename, nor take the damaged one for a new hive.
    HiveLock lock;
    if (!lock.Take(path + ".lock", err)) return false;
    CNarrowString again;
    if (!ReadFileText(path, again, bMissing, err)) return false;
    if (bMissing || again != text) {
        // Another process set it aside (or wrote a sound one) meanwhile.
        why.Empty();
        return true;
    }
    const CNarrowString base = path.Right(4) == ".reg" ? path.Left(path.GetLength() - 4) : path;
    for (int n = 1; n < 1000; ++n) {
        char tail[32];
        if (n > 1) snprintf(tail, sizeof tail, "-bad-%d.reg", n);
        else snprintf(tail, sizeof tail, "-bad.reg");
        const CNarrowString candidate = base + tail;
        if (renameat2(AT_FDCWD, path.GetString(), AT_FDCWD, candidate.GetString(), RENAME_NOREPLACE) == 0) {
            (void)chmod(candidate.GetString(), 0600);
            badPath = candidate;
            return true;
        }
        if (errno != EEXIST) {
            err.AppendFormat(u"cannot rename '%s' to '%s': %s", path, candidate, ErrnoText(errno));
            return false;
        }
    }
    err.AppendFormat(u"cannot rename '%s': too many damaged copies beside it", path);
    return false;
}

CWideString KeyText(HKEY root, const CWideString& sSubKey) {
    CWideString s(Utf8ToWide(ZorRegRootName(root)));
    if (!sSubKey.IsEmpty()) {
        s.AppendChar(u'\\');
        s.Append(sSubKey);
    }
    return s;
}

void OpenError(CWideString& err, HKEY root, const CWideString& sSubKey, const CWideString& reason) {
    err.AppendFormat(u"Cannot open registry key '%s' in '%s': %s", sSubKey, ZorRegRootName(root), reason);
}

// Finds the key for reading. Messages as CSafeRegKey::Open.
bool ReadKey(HKEY root, const CWideString& sSubKey, std::shared_ptr<const RegNode>& tree,
             const RegNode*& node, CWideString& err) {
    Hive h;
    CWideString reason;
    std::vector<CWideString> parts;
    if (!HiveOf(root, h)) {
        reason = u"unknown root key";
    } else if (SplitKeyPath(sSubKey, parts, reason) && (tree = LoadHiveShared(root, reason))) {
        node = FindNode(*tree, parts);
        if (node) return true;
        reason = u"the key does not exist";
    }
    OpenError(err, root, sSubKey, reason);
    return false;
}

bool ReadValue(HKEY root, const CWideString& sSubKey, const CWideString& sName, bool bDword, RegValue& out,
               CWideString& err) {
    std::shared_ptr<const RegNode> tree;
    const RegNode* node = nullptr;
    if (!ReadKey(root, sSubKey, tree, node, err)) return false;
    const RegValue* v = node->FindValue(sName);
    const char16_t* reason = nullptr;
    if (!v)
        reason = u"the value does not exist";
    else if (v->bDword != bDword)
        reason = bDword ? u"the value is not a DWORD" : u"the value is not a string";
    if (reason) {
        err.AppendFormat(u"Cannot read registry value '%s' of '%s': %s", sName, KeyText(root, sSubKey),
                         reason);
        return false;
    }
    out = *v;
    return true;
}

bool WriteValue(HKEY root, const CWideString& sSubKey, const CWideString& sName, const RegValue& value,
                uint32_t nAccess, CWideString& err) {
    CWideString reason;
    bool ok = ModifyHive(
        root, nAccess,
        [&](RegNode& tree, bool& bChanged, CWideString& why) {
            std::vector<CWideString> parts;
            if (!SplitKeyPath(sSubKey, parts, why)) return false;
            for (int i = 0; i < sName.GetLength(); ++i) {
                // A value name may hold anything but NUL; the file escapes the rest.
                if (sName[i] == 0) {
                    why = u"bad value name (NUL character)";
                    return false;
                }
            }
            RegValue& v = GetOrAddNode(tree, parts)->SetValue(sName);
            v.bDword = value.bDword;
            v.nDword = value.nDword;
            v.sText = value.sText;
            bChanged = true;
            return true;
        },
        reason);
    if (!ok)
        err.AppendFormat(u"Cannot write registry value '%s' of '%s': %s", sName, KeyText(root, sSubKey),
                         reason);
    return ok;
}

} // namespace

// ---------------------------------------------------------------- public

const char* ZorRegRootName(HKEY root) {
    if (root == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    return "(unknown root key)";
}

bool ZorRegHiveFilePath(HKEY root, CNarrowString& path, CWideString& err) {
    Hive h;
    if (!HiveOf(root, h)) {
        err.Append(u"unknown root key");
        return false;
    }
    const char* fileName = h == Hive::User ? "user.reg" : "machine.reg";
    const char* dir = std::getenv("TORVANE_REGISTRY_DIR");
    if (dir && *dir) {
        path = dir;
        if (path.GetLast() != '/') path.AppendChar('/');
        path.Append(fileName);
        return true;
    }
    if (h == Hive::Machine) {
        path = "/etc/torvane/registry/machine.reg";
        return true;
    }
    CWideString appData;
    if (!ZorGetAppDataFolder(appData, err)) return false;
    path = WideToUtf8(appData);
    if (path.GetLast() != '/') path.AppendChar('/');
    path.Append("torvane/registry/");
    path.Append(fileName);
    return true;
}

bool ZorRegSetAsideDamagedHive(HKEY root, CNarrowString& badPath, CWideString& why, CWideString& err) {
    return SetAsideDamagedHive(root, badPath, why, err);
}

bool CSafeRegKey::Open(HKEY root, const CWideString& sSubKey, CWideString& err, uint32_t nAccess) {
    m_bOpen = false;
    Hive h;
    if (HiveOf(root, h) && h == Hive::Machine && (nAccess & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))) {
        OpenError(err, root, sSubKey, u"access denied (the machine hive is read-only)");
        return false;
    }
    std::shared_ptr<const RegNode> tree;
    const RegNode* node = nullptr;
    if (!ReadKey(root, sSubKey, tree, node, err)) return false;
    m_hRoot = root;
    m_sPath = sSubKey;
    m_nAccess = nAccess;
    m_bOpen = true;
    return true;
}

bool CSafeRegKey::EnumSubKeys(std::vector<CWideString>& names, CWideString& err) const {
    names.clear();
    if (!m_bOpen) {
        err.Append(u"Cannot list registry sub-keys: the key is not open");
        return false;
    }
    std::shared_ptr<const RegNode> tree;
    const RegNode* node = nullptr;
    if (!ReadKey(m_hRoot, m_sPath, tree, node, err)) return false;
    names.reserve(node->children.size());
    for (const auto& c : node->children) names.push_back(c->sName);
    return true;
}

bool RegGetStringValue(CWideString& sValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                       CWideString& err, uint32_t) {
    RegValue v;
    if (!ReadValue(root, sSubKey, sName, false, v, err)) return false;
    sValue = v.sText;
    return true;
}

void RegGetStringValueQuiet(CWideString& sValue, HKEY root, const CWideString& sSubKey,
                            const CWideString& sName, uint32_t nAccess) {
    CWideString err;
    RegGetStringValue(sValue, root, sSubKey, sName, err, nAccess);
}

bool RegGetDwordValue(uint32_t& nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                      CWideString& err, uint32_t) {
    RegValue v;
    if (!ReadValue(root, sSubKey, sName, true, v, err)) return false;
    nValue = v.nDword;
    return true;
}

void RegGetDwordValueQuiet(uint32_t& nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                           uint32_t nAccess) {
    CWideString err;
    RegGetDwordValue(nValue, root, sSubKey, sName, err, nAccess);
}

bool RegSetStringValue(const CWideString& sText, HKEY root, const CWideString& sSubKey,
                       const CWideString& sName, CWideString& err, uint32_t nAccess) {
    RegValue v;
    v.sText = sText;
    return WriteValue(root, sSubKey, sName, v, nAccess, err);
}

bool RegSetDwordValue(uint32_t nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                      CWideString& err, uint32_t nAccess) {
    RegValue v;
    v.bDword = true;
    v.nDword = nValue;
    return WriteValue(root, sSubKey, sName, v, nAccess, err);
}

void RegSetDwordValueQuiet(uint32_t nValue, HKEY root, const CWideString& sSubKey, const CWideString& sName,
                           uint32_t nAccess) {
    CWideString err;
    RegSetDwordValue(nValue, root, sSubKey, sName, err, nAccess);
}

bool RegDeleteValue(HKEY root, const CWideString& sSubKey, const CWideString& sName, CWideString& err,
                    uint32_t nAccess) {
    CWideString reason;
    bool ok = ModifyHive(
        root, nAccess,
        [&](RegNode& tree, bool& bChanged, CWideString& why) {
            std::vector<CWideString> parts;
            if (!SplitKeyPath(sSubKey, parts, why)) return false;
            RegNode* node = FindNode(tree, parts);
            bChanged = node && node->RemoveValue(sName);
            return true;
        },
        reason);
    if (!ok)
        err.AppendFormat(u"Cannot delete registry value '%s' of '%s': %s", sName, KeyText(root, sSubKey),
                         reason);
    return ok;
}

void RegDeleteValueQuiet(HKEY root, const CWideString& sSubKey, const CWideString& sName, uint32_t nAccess) {
    CWideString err;
    RegDeleteValue(root, sSubKey, sName, err, nAccess);
}

bool RegDeleteKeyTree(HKEY root, const CWideString& sKey, const CWideString& sSubKey, CWideString& err,
                      uint32_t nAccess) {
    CWideString reason;
    bool ok = ModifyHive(
        root, nAccess,
        [&](RegNode& tree, bool& bChanged, CWideString& why) {
            std::vector<CWideString> parts, subParts;
            if (!SplitKeyPath(sKey, parts, why) || !SplitKeyPath(sSubKey, subParts, why)) return false;
            RegNode* node = FindNode(tree, parts);
            if (!node) return true;
            if (subParts.empty()) { // empty the key itself
                bChanged = !node->values.empty() || !node->children.empty();
                node->values.clear();
                node->children.clear();
                return true;
            }
            CWideString last = subParts.back();
            subParts.pop_back();
            RegNode* parent = FindNode(*node, subParts);
            bChanged = parent && parent->RemoveChild(last);
            return true;
        },
        reason);
    if (!ok) {
        CWideString full(sKey);
        if (!sSubKey.IsEmpty()) full.Append(full.IsEmpty() ? u"" : u"\\").Append(sSubKey);
        err.AppendFormat(u"Cannot delete registry key '%s' in '%s': %s", full, ZorRegRootName(root), reason);
    }
    return ok;
}

void RegDeleteKeyTreeQuiet(HKEY root, const CWideString& sKey, const CWideString& sSubKey, uint32_t nAccess) {
    CWideString err;
    RegDeleteKeyTree(root, sKey, sSubKey, err, nAccess);
}

ZorRegWriteHook ZorRegSetWriteHook(ZorRegWriteHook hook) {
    return g_writeHook.exchange(hook);
}
