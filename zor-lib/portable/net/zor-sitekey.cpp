// Site keys, the URL cracker and the per-site cookie files.
//
// Cracking:
//  - "about:blank" stays unparsed; a text starting with two slashes (either
//    kind) or a drive letter, ':' and a slash is a file path;
//  - otherwise the first ':' ends the scheme and must be followed by "//";
//  - file and scheme-less texts are a path (percent-decoded when holding '%');
//  - web and ftp URLs: user information before '@', the host up to the
//    first of '/', ';', '?', '#' with an optional ":port", then path,
//    parameters, query and fragment by their delimiters.
#include "zor-sitekey.h"

#include "zor-coll.h"
#include "zor-file.h"
#include "zor-unicode.h"

#include <mutex>

namespace {

using RegistryTable = CHashMapT<CWideString, CArrayT<CWideString>>;

struct RegistryRow {
    const char16_t* top;
    const char16_t* labels;
};

const RegistryRow kRegistryRows[] = {
    {u"com", u"eu au br cn de gb hu no ru sa se uk us uy za amer.csc"},
    {u"net", u"gb se uk nobelbiocare"},
    {u"org", u"eu"},
    {u"int", u"eu"},
    {u"uk", u"ltd me plc"},
    {u"ca", u"gc ab bc mb nb nf nl ns nt nu on pe qc sk yk"},
    {u"fr", u"tm asso nom prd presse"},
    {u"se", u"tm pp parti press"},
    {u"jp", u"ad ed gr lg"},
    {u"tw", u"idv game ebiz club"},
    {u"kr", u"pe re hs ms es sc kg seoul busan daegu incheon gwangju daejeon ulsan gyeonggi gangwon chungbuk "
            u"chungnam jeonbuk jeonnam gyeongbuk gyeongnam jeju"},
    {u"ru", u"sp pp nsc mhost caravan narod spb msk adygeya bashkiria ulan-ude buryatia dagestan nalchik "
            u"kalmykia kchr karelia ptz komi mari-el joshkar-ola mari mordovia yakutia vladikavkaz kazan "
            u"tatarstan tuva udmurtia izhevsk udm khakassia grozny chuvashia altai kuban krasnoyarsk marine "
            u"vladivostok stavropol stv khabarovsk khv amur arkhangelsk astrakhan belgorod bryansk vladimir "
            u"volgograd tsaritsyn vologda voronezh vrn cbg ivanovo irkutsk koenig kaluga kamchatka kemerovo "
            u"kirov vyatka kostroma kurgan kursk lipetsk magadan mosreg murmansk nnov nov nsk novosibirsk omsk "
            u"orenburg oryol penza perm pskov rnd ryazan samara saratov sakhalin yuzhno-sakhalinsk "
            u"yekaterinburg e-burg smolensk tambov tver tomsk tsk tom tula tyumen simbirsk chelyabinsk chel "
            u"chita yaroslavl bir jar palana dudinka surgut chukotka yamal amursk baikal cmw fareast jamal kms "
            u"k-uralsk kustanai kuzbass magnitka mytis nakhodka nkz norilsk snz oskol pyatigorsk rubtsovsk "
            u"syzran tagil vdonsk zgrad"},
    {u"in", u"firm gen ind res ernet"},
};

const char16_t* const kGenericSecondLevel[] = {u"co",  u"ac",   u"go",  u"or",   u"ne",  u"com", u"edu", u"gov",
                                               u"gouv", u"gob", u"info", u"int", u"mil", u"net", u"org"};

std::once_flag g_tableOnce;
RegistryTable* g_pTable = nullptr;

const RegistryTable& Table() {
    std::call_once(g_tableOnce, [] {
        auto* t = new RegistryTable(17, 0.75f, 0.25f, 2.25f, 10);
        for (const RegistryRow& r : kRegistryRows) {
            CArrayT<CWideString> labels;
            CWideString all(r.labels);
            int start = 0;
            for (;;) {
                CWideString l = all.Tokenize(u" ", start);
                if (start < 0) break;
                labels.Add(l);
            }
            t->SetAt(CWideString(r.top), labels);
        }
        g_pTable = t;
    });
    return *g_pTable;
}

bool TableLists(const CWideString& top, const CWideString& label) {
    const auto* p = Table().LookupPair(top);
    if (!p) return false;
    for (int i = 0; i < p->m_value.GetSize(); ++i)
        if (p->m_value[i] == label) return true;
    return false;
}

bool IsGenericSecondLevel(const CWideString& s) {
    for (const char16_t* g : kGenericSecondLevel)
        if (s == g) return true;
    return false;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool IsIpv4Literal(const CWideString& s) {
    if (s.IsEmpty()) return false;
    int parts = 1, digits = 0;
    for (int i = 0; i < s.GetLength(); ++i) {
        char16_t c = s[i];
        if (c == u'.') {
            if (digits == 0) return false;
            if (++parts > 4) return false;
            digits = 0;
        } else if (c >= u'0' && c <= u'9') {
            ++digits;
        } else {
            return false;
        }
    }
    return digits > 0;
}

// A dotted quad with every part 0..255 (the tail of an IPv6 literal).
bool IsDottedQuad(const CWideString& s) {
    int parts = 0, value = -1;
    for (int i = 0; i <= s.GetLength(); ++i) {
        char16_t c = i < s.GetLength() ? s[i] : u'.';
        if (c == u'.') {
            if (value < 0) return false;
            ++parts;
            value = -1;
        } else if (c >= u'0' && c <= u'9') {
            value = (value < 0 ? 0 : value * 10) + (c - u'0');
            if (value > 255) return false;
        } else {
            return false;
        }
    }
    return parts == 4;
}

bool IsIpv6Literal(CWideString s) {
    if (s.StartsWith(u"[")) {
        if (!s.EndsWith(u"]")) return false;
        s = s.Mid(1, s.GetLength() - 2);
    }
    if (s.GetLength() < 2 || s.Find(u':') < 0) return false;
    int dbl = s.Find(u"::");
    if (dbl >= 0 && s.Find(u"::", dbl + 1) >= 0) return false;
    // Split into groups; "::" stands for one or more zero groups.
    int groups = 0;
    int i = 0;
    const int n = s.GetLength();
    if (dbl == 0) i = 2;
    while (i < n) {
        int j = i;
        while (j < n && s[j] != u':') ++j;
        CWideString g = s.Mid(i, j - i);
        bool bLast = j >= n;
        if (g.IsEmpty()) return false;
        if (bLast && g.Find(u'.') >= 0) {
            if (!IsDottedQuad(g)) return false;
            groups += 2;
        } else {
            if (g.GetLength() > 4) return false;
            for (int k = 0; k < g.GetLength(); ++k)
                if (HexValue(g[k]) < 0) return false;
            ++groups;
        }
        if (bLast) break;
        i = j + 1;
        if (i < n && s[i] == u':') {
            if (i - 1 != dbl) return false;
            ++i;
        } else if (i >= n) {
            return false; // a single trailing ':'
        }
    }
    return dbl >= 0 ? groups <= 7 : groups == 8;
}

CWideString ProgramName(const CWideString& cmd) {
    CWideString t;
    if (cmd.StartsWith(u"\"")) {
        int e = cmd.Find(u'"', 1);
        t = e < 0 ? cmd.Mid(1) : cmd.Mid(1, e - 1);
    } else {
        int e = cmd.FindOneOf(u"/ ");
        t = e < 0 ? cmd : cmd.Left(e);
    }
    int slash = t.ReverseFind(u'\\');
    if (slash >= 0) t = t.Mid(slash + 1);
    return t;
}

std::mutex g_cookieLock;
CWideString g_sCookieFolder;

} // namespace

CWideString CrackerPercentDecode(const CWideString& text) {
    CWideString r;
    const int n = text.GetLength();
    int i = 0;
    while (i < n) {
        char16_t c = text[i];
        if (c != u'%') {
            r += c;
            ++i;
            continue;
        }
        if (i + 1 < n && text[i + 1] == u'%') {
            r += u'%';
            ++i; // the second '%' starts an escape again
            continue;
        }
        int h1 = i + 1 < n ? HexValue(text[i + 1]) : -1;
        if (h1 < 0) {
            ++i; // a lone '%' is dropped
            continue;
        }
        int h2 = i + 2 < n ? HexValue(text[i + 2]) : -1;
        if (h2 < 0) {
            r += (char16_t)h1;
            i += 2;
        } else {
            r += (char16_t)(h1 * 16 + h2);
            i += 3;
        }
    }
    return r;
}

bool IsIpLiteral(const CWideString& text) {
    return IsIpv4Literal(text) || IsIpv6Literal(text);
}

bool CrackUrl(const CWideString& url, CrackedUrl& out) {
    out = CrackedUrl();
    if (url.EqualsNoCase(u"about:blank")) return true;
    CWideString rest;
    bool bFilePath = (url.GetLength() >= 2 && (url[0] == u'/' || url[0] == u'\\') &&
                      (url[1] == u'/' || url[1] == u'\\')) ||
                     (url.GetLength() >= 3 && ((url[0] | 0x20) >= u'a' && (url[0] | 0x20) <= u'z') &&
                      url[1] == u':' && (url[2] == u'/' || url[2] == u'\\'));
    if (bFilePath) {
        out.m_sScheme = u"file";
        rest = url;
    } else {
        int colon = url.Find(u':');
        if (colon >= 0) {
            if (url.Mid(colon + 1, 2) != CWideString(u"//")) return false;
            out.m_sScheme = url.Left(colon);
            rest = url.Mid(colon + 3);
        } else {
            rest = url;
        }
    }
    const CWideString& sc = out.m_sScheme;
    if (sc.IsEmpty()) out.m_nScheme = CUS_MOZ_PROXY, out.m_nClass = CUC_NONE;
    else if (sc.EqualsNoCase(u"http")) out.m_nScheme = CUS_HTTP, out.m_nClass = CUC_WEB;
    else if (sc.EqualsNoCase(u"https")) out.m_nScheme = CUS_HTTPS, out.m_nClass = CUC_WEB;
    else if (sc.EqualsNoCase(u"ftp")) out.m_nScheme = CUS_FTP, out.m_nClass = CUC_FTP;
    else if (sc.EqualsNoCase(u"ftps")) out.m_nScheme = CUS_FTPS, out.m_nClass = CUC_FTP;
    else if (sc.EqualsNoCase(u"file")) out.m_nScheme = CUS_FILE, out.m_nClass = CUC_FILE;
    else if (sc.EqualsNoCase(u"moz-proxy")) out.m_nScheme = CUS_MOZ_PROXY, out.m_nClass = CUC_NONE;
    else out.m_nScheme = CUS_OTHER, out.m_nClass = CUC_WEB;

    if (out.m_nClass == CUC_FILE || out.m_nClass == CUC_NONE) {
        if (rest.Find(u'%') >= 0) {
            out.m_sPath = CrackerPercentDecode(rest);
            out.m_bDecoded = 1;
        } else {
            out.m_sPath = rest;
        }
    } else {
        int end = rest.FindOneOf(u"@/;?#");
        if (end >= 0 && rest[end] == u'@') {
            CWideString info = rest.Left(end);
            int c = info.Find(u':');
            if (c >= 0) {
                out.m_sUser = info.Left(c);
                out.m_sPassword = info.Mid(c + 1);
            } else {
                out.m_sUser = info;
            }
            rest = rest.Mid(end + 1);
        }
        end = rest.FindOneOf(u"/;?#");
        CWideString host = end < 0 ? rest : rest.Left(end);
        int portColon = host.StartsWith(u"[") ? host.Find(u':', std::max(0, host.Find(u']'))) : host.Find(u':');
        if (portColon >= 0) {
            CWideString p = host.Mid(portColon + 1);
            if (p.IsEmpty() || p.GetLength() > 5) return false;
            int v = 0;
            for (int i = 0; i < p.GetLength(); ++i) {
                if (p[i] < u'0' || p[i] > u'9') return false;
                v = v * 10 + (p[i] - u'0');
            }
            if (v > 65535) return false;
            out.m_nPort = v;
            host = host.Left(portColon);
        }
        out.m_sHost = host;
        if (end >= 0) {
            CWideString tail = rest.Mid(end);
            char16_t d = tail[0];
            tail = tail.Mid(1);
            auto upTo = [&](const char16_t* set, CWideString& part) {
                int e = tail.FindOneOf(set);
                part = e < 0 ? tail : tail.Left(e);
                if (e < 0) {
                    tail.Empty();
                    return char16_t(0);
                }
                char16_t next = tail[e];
                tail = tail.Mid(e + 1);
                return next;
            };
            if (d == u'/') {
                d = upTo(u";?#", out.m_sPath);
                out.m_sPath.Insert(0, u'/');
            }
            if (d == u';') d = upTo(u"?#", out.m_sParams);
            if (d == u'?') d = upTo(u"#", out.m_sQuery);
            if (d == u'#') out.m_sFragment = tail;
        }
    }
    out.m_sHost.MakeLower();
    if (out.m_sHost == u"127.0.0.1") out.m_sHost = u"localhost";
    if ((out.m_nClass == CUC_WEB || out.m_nClass == CUC_NONE) && out.m_nPort < 0) out.m_nPort = 80;
    out.m_bParsed = 1;
    return true;
}

void UrlSiteKey(const CWideString& url, bool withSuffix, bool withScheme, bool capitalise, CWideString& key) {
    (void)Table();
    key.Empty();
    if (url == u"{Win32Dlg}") {
        key = url;
        return;
    }
    CWideString u(url);
    u.MakeLower();
    if (u.StartsWith(u"about:") || u.StartsWith(u"javascript:") || u == u"http://") return;
    CWideString prefix, label, suffix, host;
    bool bDone = false;
    if (u.StartsWith(u"exe://")) {
        prefix = u"exe://";
        label = ProgramName(u.Mid(6));
        bDone = true;
    } else {
        CrackedUrl c;
        if (!CrackUrl(u, c)) {
            prefix = u"what://";
            label = u"(unparseable)";
            bDone = true;
        } else if (c.m_nClass == CUC_FILE) {
            prefix = u"file://";
            label = u"(file)";
            bDone = true;
        } else {
            prefix = c.m_nClass == CUC_FTP ? u"ftp://" : u"http://";
            host = c.m_sHost;
            if (host.IsEmpty() && c.m_nClass == CUC_NONE) host = c.m_sPath;
        }
    }
    if (!bDone && IsIpLiteral(host)) {
        label = host;
        bDone = true;
    }
    if (!bDone) {
        if (host.Find(u'.') >= 0 && (host.StartsWith(u"www") || host.StartsWith(u"cgi")))
            host = host.Mid(host.Find(u'.') + 1);
        int lastDot = host.ReverseFind(u'.');
        if (lastDot < 0) {
            label = host;
        } else {
            CWideString t = host.Mid(lastDot + 1);
            CWideString r = host.Left(lastDot);
            bool bHit = false;
            int rDot = r.ReverseFind(u'.');
            if (rDot >= 0) {
                CWideString s = r.Mid(rDot + 1);
                if (TableLists(t, s)) {
                    suffix = u"." + s + u"." + t;
                    host = r.Left(rDot);
                    bHit = true;
                } else {
                    int rDot2 = r.Left(rDot).ReverseFind(u'.');
                    if (rDot2 >= 0) {
                        CWideString two = r.Mid(rDot2 + 1);
                        if (TableLists(t, two)) {
                            suffix = u"." + two + u"." + t;
                            host = r.Left(rDot2);
                            bHit = true;
                        }
                    }
                }
            }
            if (!bHit) {
                suffix = u"." + t;
                host = r;
                int d = r.ReverseFind(u'.');
                if (t.GetLength() == 2 && d >= 0) {
                    CWideString s = r.Mid(d + 1);
                    if (t == u"us" || IsGenericSecondLevel(s)) {
                        suffix = u"." + s + suffix;
                        host = r.Left(d);
                    }
                }
            }
            int d = host.ReverseFind(u'.');
            label = d < 0 ? host : host.Mid(d + 1);
        }
    }
    if (capitalise && !label.IsEmpty()) label.SetAt(0, ZorUpperUnit(label[0]));
    if (!withSuffix) key = label;
    else if (withScheme) key = prefix + label + suffix;
    else key = label + suffix;
}

CWideString UrlSiteKey(const CWideString& url, bool withSuffix, bool withScheme, bool capitalise) {
    CWideString k;
    UrlSiteKey(url, withSuffix, withScheme, capitalise, k);
    return k;
}

// ---------------------------------------------------------------- cookie files
void SetCookieFolder(const CWideString& folder) {
    std::lock_guard<std::mutex> g(g_cookieLock);
    g_sCookieFolder = folder;
}

CWideString GetCookieFolder() {
    std::lock_guard<std::mutex> g(g_cookieLock);
    return g_sCookieFolder;
}

CWideString CookieFileName(const CNarrowString& host) {
    CWideString key = UrlSiteKey(CWideString(u"http://") + Utf8ToWide(host), true, false, false);
    if (key.IsEmpty()) return key;
    // Server host names choose the file name: keep it one plain name.
    CWideString name;
    for (int i = 0; i < key.GetLength() && name.GetLength() < 200; ++i) {
        char16_t c = ZorLowerUnit(key[i]);
        bool ok = (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'-';
        name += ok ? c : u'_';
    }
    if (name == u"." || name == u"..") name.Replace(u'.', u'_');
    return name + u".txt";
}

CWideString CookieFilePath(const CNarrowString& host) {
    CWideString folder = GetCookieFolder();
    CWideString name = CookieFileName(host);
    if (folder.IsEmpty() || name.IsEmpty()) return CWideString();
    if (!folder.EndsWith(u"/")) folder += u'/';
    return folder + name;
}

bool ReadCookieFile(const CNarrowString& host, CNarrowString& text, int& kind, CWideString& err) {
    text.Empty();
    CWideString path = CookieFilePath(host);
    if (path.IsEmpty() || !ZorFileExists(path)) return true;
    return ReadWholeFile(path, kCookieFileMaxBytes, text, kind, err);
}

bool WriteCookieFile(const CNarrowString& host, const CNarrowString& text, int& kind, CWideString& err) {
    CWideString path = CookieFilePath(host);
    if (path.IsEmpty()) return true;
    if (!ZorCreateFolderPath(GetCookieFolder(), false, kind, err)) return false;
    return WriteWholeFile(path, text, kind, err);
}
