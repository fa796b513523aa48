// Path texts, path macros and the wildcard matcher.
#include "zor-path.h"

#include "zor-debug.h"
#include "zor-fold.h"
#include "zor-process.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

inline bool IsSep(char16_t c) {
    return c == u'/' || c == u'\\';
}

int LastSep(const CWideString& path) {
    for (int i = path.GetLength() - 1; i >= 0; --i)
        if (IsSep(path[i])) return i;
    return -1;
}

} // namespace

// ---------------------------------------------------------------- system form
CNarrowString ZorNativePath(const CWideString& path) {
    CWideString p = path;
    if (p.StartsWith(u"\\\\?\\")) {
        p.Delete(0, 4);
        if (p.StartsWithNoCase(u"UNC\\")) {
            p.Delete(0, 4);
            p.Insert(0, u"//");
        }
    }
    p.Replace(u'\\', u'/');
    return WideToUtf8(p);
}

CWideString ZorWidePath(const char* native) {
    return Utf8ToWide(native);
}
CWideString ZorWidePath(const CNarrowString& native) {
    return Utf8ToWide(native);
}

// ---------------------------------------------------------------- parts
CWideString GetPathFolder(const CWideString& path) {
    int i = LastSep(path);
    return i < 0 ? CWideString() : path.Left(i);
}

CWideString GetPathFileName(const CWideString& path) {
    int i = LastSep(path);
    return i < 0 ? path : path.Mid(i + 1);
}

CWideString GetUrlPathFolder(const CWideString& path) {
    int i = path.ReverseFind(u'/');
    return i < 0 ? CWideString() : path.Left(i);
}

CWideString GetUrlPathFileName(const CWideString& path) {
    int i = path.ReverseFind(u'/');
    return i < 0 ? path : path.Mid(i + 1);
}

// ---------------------------------------------------------------- separators
bool RemoveTrailingBackslash(CWideString& path) {
    int n = path.GetLength();
    if (n <= 1 || !IsSep(path[n - 1])) return false; // a lone root stays
    path.Truncate(n - 1);
    return true;
}

bool RemoveTrailingForwardSlash(CWideString& path) {
    if (path.GetLast() != u'/') return false;
    path.Truncate(path.GetLength() - 1);
    return true;
}

bool RemoveTrailingSlash(CWideString& path) {
    if (path.IsEmpty() || !IsSep(path.GetLast())) return false;
    path.Truncate(path.GetLength() - 1);
    return true;
}

bool RemoveTrailingSlashKeepScheme(CWideString& path) {
    if (path.EndsWith(u"://")) return false;
    return RemoveTrailingSlash(path);
}

void AddTrailingForwardSlash(CWideString& path) {
    if (path.IsEmpty() || !IsSep(path.GetLast())) path.AppendChar(u'/');
}

int ToForwardSlashes(CWideString& path, bool bCheck) {
    int n = path.Replace(u'\\', u'/');
    if (bCheck && n > 0) ZorAssertFailed(__FILE__, __LINE__, 0, "back-slash in path", n);
    return n;
}

int ToBackslashes(CWideString& path, bool bCheck) {
    int n = path.Replace(u'/', u'\\');
    if (bCheck && n > 0) ZorAssertFailed(__FILE__, __LINE__, 0, "forward slash in path", n);
    return n;
}

CWideString ChangeExtension(const CWideString& path, const CWideString& ext) {
    int sep = LastSep(path);
    int dot = path.ReverseFind(u'.');
    CWideString r = (dot > sep) ? path.Left(dot) : path;
    r += ext;
    return r;
}

// ---------------------------------------------------------------- macros
namespace {

// The value of an environment variable: the exact name first, then the first
// entry whose name equals it without regard to ASCII case.
bool FindEnv(const CNarrowString& name, CNarrowString& value) {
    if (name.IsEmpty()) return false;
    if (const char* v = getenv(name.GetString())) {
        value = v;
        return true;
    }
    for (char** e = environ; e && *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (!eq || (int)(eq - *e) != name.GetLength()) continue;
        if (CNarrowString(*e, (int)(eq - *e)).CompareNoCase(name.GetString()) == 0) {
            value = eq + 1;
            return true;
        }
    }
    return false;
}

CWideString CurrentUserName() {
    CNarrowString v;
    if (FindEnv("USER", v) && !v.IsEmpty()) return Utf8ToWide(v);
    struct passwd pw, *res = nullptr;
    char buf[4096];
    if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_name)
        return Utf8ToWide(res->pw_name);
    return CWideString();
}

bool MacroValue(const CWideString& name, const struct tm* ptm, CWideString& value) {
    if (ptm) {
        const struct tm& t = *ptm;
        if (name.EqualsNoCase(u"YYYY")) return value.Format(u"%04d", t.tm_year + 1900), true;
        if (name.EqualsNoCase(u"MM")) return value.Format(u"%02d", t.tm_mon + 1), true;
        if (name.EqualsNoCase(u"DD")) return value.Format(u"%02d", t.tm_mday), true;
        if (name.EqualsNoCase(u"DOW")) return value.Format(u"%d", t.tm_wday + 1), true;
        if (name.EqualsNoCase(u"WOM")) return value.Format(u"%d", (t.tm_mday - 1) / 7 + 1), true;
        if (name.EqualsNoCase(u"HH")) return value.Format(u"%02d", t.tm_hour), true;
        if (name.EqualsNoCase(u"II")) return value.Format(u"%02d", t.tm_min), true;
    }
    CNarrowString v;
    if (FindEnv(WideToUtf8(name), v)) {
        value = Utf8ToWide(v);
        return true;
    }
    if (name.EqualsNoCase(u"COMPUTERNAME")) {
        value = GetComputerNameText();
        return true;
    }
    if (name.EqualsNoCase(u"USERNAME")) {
        value = CurrentUserName();
        return !value.IsEmpty();
    }
    return false;
}

} // namespace

void ExpandPathMacros(CWideString& path) {
    if (path.Find(u'%') < 0) return;
    struct tm t {};
    bool bTime = CZorTime::GetLocalTm(CZorTime::Now().GetTime(), t);
    CWideString out;
    int n = path.GetLength();
    int i = 0;
    while (i < n) {
        int open = path.Find(u'%', i);
        if (open < 0) break;
        int close = path.Find(u'%', open + 1);
        if (close < 0) break;
        out.Append(path.GetString() + i, open - i);
        CWideString name = path.Mid(open + 1, close - open - 1);
        CWideString value;
        if (!name.IsEmpty() && MacroValue(name, bTime ? &t : nullptr, value)) {
            out += value;
            i = close + 1;
        } else {
            // Unknown: keep the opening '%' and the name; the closing '%' may
            // open the next macro.
            out.Append(path.GetString() + open, close - open);
            i = close;
        }
    }
    out.Append(path.GetString() + i, n - i);
    path = out;
}

// ---------------------------------------------------------------- the system
CWideString GetProcessExeFolder() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return CWideString();
    CWideString exe = Utf8ToWide(buf.data(), (int)n);
    int i = LastSep(exe);
    if (i < 0) return exe;
    return i == 0 ? CWideString(u"/") : exe.Left(i);
}

namespace {

// Undoes the octal escapes (\040 and the like) of /proc/self/mountinfo.
std::string UnescapeMountField(const char* s, size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '\\' && i + 3 < n && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
            s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            r += (char)(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
            i += 3;
            continue;
        }
        r += s[i];
    }
    return r;
}

} // namespace

CWideString GetVolumeRoot(const CWideString& path) {
    CNarrowString native = ZorNativePath(path);
    if (native.IsEmpty() || native[0] != '/') return CWideString();
    // The nearest existing ancestor, resolved.
    std::string p(native.GetString(), native.GetLength());
    std::string real;
    for (;;) {
        char* r = realpath(p.c_str(), nullptr);
        if (r) {
            real = r;
            free(r);
            break;
        }
        size_t slash = p.find_last_of('/');
        if (slash == std::string::npos || p == "/") return CWideString();
        p = slash == 0 ? "/" : p.substr(0, slash);
    }
    FILE* f = fopen("/proc/self/mountinfo", "re");
    if (!f) return CWideString();
    std::string best;
    char* line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        // "id parent major:minor root mount-point options ..."
        const char* s = line;
        for (int field = 0; field < 4 && s; ++field) {
            s = strchr(s, ' ');
            if (s) ++s;
        }
        if (!s) continue;
        const char* e = strchr(s, ' ');
        if (!e) continue;
        std::string mp = UnescapeMountField(s, (size_t)(e - s));
        bool under =
            mp == "/" || real == mp ||
            (real.size() > mp.size() && real.compare(0, mp.size(), mp) == 0 && real[mp.size()] == '/');
        if (under && mp.size() >= best.size()) best = mp;
    }
    free(line);
    fclose(f);
    if (best.empty()) return CWideString();
    if (best.back() != '/') best += '/';
    return Utf8ToWide(best.c_str(), (int)best.size());
}

bool IsAbsoluteWinPath(const CWideString& path) {
    int n = path.GetLength();
    if (n >= 1 && IsSep(path[0])) return true; // "\\?\", "\\server", "/..."
    if (n >= 2 && path[1] == u':' &&
        ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z')))
        return true;
    return false;
}

bool IsPortableEdition() {
    CWideString folder = GetProcessExeFolder();
    if (folder.IsEmpty()) return false;
    struct stat st;
    CNarrowString p = ZorNativePath(folder + u"/Profile");
    return stat(p.GetString(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Percent-decodes a text into UTF-8 bytes and reads them back as UTF-8
// (Windows-1252 when they are not valid UTF-8). A '%' without two hex
// digits stays as it is.
CWideString PercentDecode(const CWideString& s) {
    CNarrowString bytes;
    CNarrowString utf8 = WideToUtf8(s);
    int n = utf8.GetLength();
    for (int i = 0; i < n; ++i) {
        char c = utf8[i];
        if (c == '%' && i + 2 < n) {
            int h = HexValue((char16_t)(unsigned char)utf8[i + 1]);
            int l = HexValue((char16_t)(unsigned char)utf8[i + 2]);
            if (h >= 0 && l >= 0) {
                bytes.AppendChar((char)(h * 16 + l));
                i += 2;
                continue;
            }
        }
        bytes.AppendChar(c);
    }
    return Utf8OrAnsiToWide(bytes);
}

} // namespace

CWideString UrlToLocalPath(const CWideString& url) {
    CWideString rest;
    if (!url.StartsWithTailNoCase(u"file:", rest)) return url;
    if (rest.StartsWith(u"//")) {
        rest.Delete(0, 2);
        int slash = rest.Find(u'/');
        CWideString host = slash < 0 ? rest : rest.Left(slash);
        CWideString tail = slash < 0 ? CWideString() : rest.Mid(slash);
        if (!host.IsEmpty() && !host.EqualsNoCase(u"localhost")) {
            rest = u"//" + host + tail; // a share on another host
        } else {
            rest = tail.IsEmpty() ? CWideString(u"/") : tail;
        }
    }
    CWideString path = PercentDecode(rest);
    // "/C:/x" -> "C:/x"
    if (path.GetLength() >= 3 && path[0] == u'/' && path[2] == u':' &&
        ((path[1] >= u'A' && path[1] <= u'Z') || (path[1] >= u'a' && path[1] <= u'z')))
        path.Delete(0, 1);
    return path;
}

// ---------------------------------------------------------------- wildcards
namespace {

constexpr char32_t kAnyRun = 0xFFFFFFFF; // '*' in a prepared mask
constexpr char32_t kAnyOne = 0xFFFFFFFE; // '?'

// Folds each unit, makes '/' into '\', and joins surrogate pairs into one
// character. With bMask, '*' and '?' become the wildcard values.
void Prepare(const char16_t* p, int n, bool bMask, std::u32string& r) {
    // At most one character per unit: written in place, then cut to size.
    r.resize(n > 0 ? (size_t)n : 0);
    char32_t* const d = r.data();
    size_t k = 0;
    for (int i = 0; i < n; ++i) {
        char16_t c = p[i];
        if (c < 0x80 && !(bMask && (c == u'*' || c == u'?'))) {
            d[k++] = c == u'/' ? U'\\' : (char32_t)ZorFoldAscii(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
            d[k++] = 0x10000 + (((char32_t)c - 0xD800) << 10) + ((char32_t)p[i + 1] - 0xDC00);
            ++i;
            continue;
        }
        if (bMask && c == u'*') {
            if (k == 0 || d[k - 1] != kAnyRun) d[k++] = kAnyRun; // "**" is "*"
            continue;
        }
        if (bMask && c == u'?') {
            d[k++] = kAnyOne;
            continue;
        }
        d[k++] = ZorFoldUnit(c);
    }
    r.resize(k);
}

// The mask piece [m, m+len) (no '*') matches the text at t.
bool PieceAt(const char32_t* t, const char32_t* m, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (m[i] != kAnyOne && m[i] != t[i]) return false;
    return true;
}

} // namespace

ZorWildcardMask::ZorWildcardMask(const CWideString& mask) {
    m_bAll = mask == u"*.*";
    Prepare(mask.GetString(), mask.GetLength(), true, m_Mask);
    // Split the mask into pieces between stars: the first is anchored at the
    // start, the last at the end, and each middle piece is taken at its
    // leftmost place (taking it further right never helps the pieces after it).
    uint32_t start = 0;
    m_bLiteral = !m_bAll;
    for (size_t i = 0; i <= m_Mask.size(); ++i) {
        if (i < m_Mask.size() && m_Mask[i] == kAnyOne) m_bLiteral = false;
        if (i == m_Mask.size() || m_Mask[i] == kAnyRun) {
            m_Pieces.emplace_back(start, (uint32_t)(i - start));
            start = (uint32_t)i + 1;
        }
    }
    if (m_Pieces.size() > 1) m_bLiteral = false;
}

void ZorWildcardMask::PrepareText(const char16_t* s, int n, std::u32string& out) {
    Prepare(s, n, false, out);
}

bool ZorWildcardMask::Matches(const std::u32string& t) const {
    if (m_bAll) return true;
    const char32_t* tp = t.data();
    const char32_t* mp = m_Mask.data();
    if (m_Pieces.size() == 1) return t.size() == m_Mask.size() && PieceAt(tp, mp, m_Mask.size());
    const auto& first = m_Pieces.front();
    const auto& last = m_Pieces.back();
    if ((size_t)first.second + last.second > t.size()) return false;
    if (!PieceAt(tp, mp + first.first, first.second)) return false;
    size_t end = t.size() - last.second;
    if (!PieceAt(tp + end, mp + last.first, last.second)) return false;
    size_t pos = first.second;
    for (size_t k = 1; k + 1 < m_Pieces.size(); ++k) {
        auto [off, len] = m_Pieces[k];
        bool found = false;
        while (pos + len <= end) {
            if (PieceAt(tp + pos, mp + off, len)) {
                found = true;
                break;
            }
            ++pos;
        }
        if (!found) return false;
        pos += len;
    }
    return true;
}

bool PathMatchesSpec(const CWideString& text, const CWideString& mask) {
    if (mask == u"*.*") return true;
    std::u32string t;
    ZorWildcardMask::PrepareText(text.GetString(), text.GetLength(), t);
    return ZorWildcardMask(mask).Matches(t);
}
