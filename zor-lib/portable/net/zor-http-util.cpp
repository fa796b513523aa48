#include "zor-http-util.h"

#include "zor-net-records.h"
#include "zor-unicode.h"

#include <cstring>

// ============================================================ media types
namespace {
struct MimeRow {
    const char* ext;
    const char* type;
};
// One row per extension, in alphabetical order (case and hyphens ignored).
const MimeRow kMimeTable[] = {
    {"323", "text/h323"},
    {"aaf", "application/octet-stream"},
    {"aca", "application/octet-stream"},
    {"accdb", "application/msaccess"},
    {"accde", "application/msaccess"},
    {"accdt", "application/msaccess"},
    {"acx", "application/internet-property-stream"},
    {"adf", "application/octet-stream"},
    {"adz", "application/octet-stream"},
    {"afm", "application/octet-stream"},
    {"ai", "application/postscript"},
    {"aif", "audio/x-aiff"},
    {"aifc", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"application", "application/x-ms-application"},
    {"art", "image/x-jg"},
    {"asd", "application/octet-stream"},
    {"asf", "video/x-ms-asf"},
    {"asi", "application/octet-stream"},
    {"asm", "text/plain"},
    {"asr", "video/x-ms-asf"},
    {"asx", "video/x-ms-asf"},
    {"atom", "application/atom+xml"},
    {"au", "audio/basic"},
    {"avi", "video/x-msvideo"},
    {"axs", "application/olescript"},
    {"bas", "text/plain"},
    {"bcpio", "application/x-bcpio"},
    {"bin", "application/octet-stream"},
    {"bmp", "image/bmp"},
    {"bz2", "application/x-bzip2"},
    {"c", "text/plain"},
    {"cab", "application/octet-stream"},
    {"calx", "application/vnd.ms-office.calx"},
    {"cat", "application/vnd.ms-pki.seccat"},
    {"cdf", "application/x-cdf"},
    {"cer", "application/x-x509-ca-cert"},
    {"chm", "application/octet-stream"},
    {"class", "application/x-java-applet"},
    {"clp", "application/x-msclip"},
    {"cmx", "image/x-cmx"},
    {"cnf", "text/plain"},
    {"cod", "image/cis-cod"},
    {"cpio", "application/x-cpio"},
    {"cpp", "text/plain"},
    {"crd", "application/x-mscardfile"},
    {"crl", "application/pkix-crl"},
    {"crt", "application/x-x509-ca-cert"},
    {"cs-cnf", "application/vnd.cloanto.cscnf"},
    {"csh", "application/x-csh"},
    {"css", "text/css"},
    {"csv", "application/octet-stream"},
    {"cur", "application/octet-stream"},
    {"dcr", "application/x-director"},
    {"deploy", "application/octet-stream"},
    {"der", "application/x-x509-ca-cert"},
    {"dib", "image/bmp"},
    {"dir", "application/x-director"},
    {"disco", "text/xml"},
    {"dll", "application/x-msdownload"},
    {"dll.config", "text/xml"},
    {"dlm", "text/dlm"},
    {"doc", "application/msword"},
    {"docm", "application/vnd.ms-word.document.macroEnabled.12"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"dot", "application/msword"},
    {"dotm", "application/vnd.ms-word.template.macroEnabled.12"},
    {"dotx", "application/vnd.openxmlformats-officedocument.wordprocessingml.template"},
    {"dsp", "application/octet-stream"},
    {"dtd", "text/xml"},
    {"dvi", "application/x-dvi"},
    {"dwf", "drawing/x-dwf"},
    {"dwp", "application/octet-stream"},
    {"dxr", "application/x-director"},
    {"eml", "message/rfc822"},
    {"emz", "application/octet-stream"},
    {"eot", "application/octet-stream"},
    {"eps", "application/postscript"},
    {"etx", "text/x-setext"},
    {"evy", "application/envoy"},
    {"exe", "application/octet-stream"},
    {"exe.config", "text/xml"},
    {"fdf", "application/vnd.fdf"},
    {"fif", "application/fractals"},
    {"fla", "application/octet-stream"},
    {"flr", "x-world/x-vrml"},
    {"flv", "video/x-flv"},
    {"gadget", "application/x-windows-gadget"},
    {"gg", "app/gg"},
    {"gif", "image/gif"},
    {"gtar", "application/x-gtar"},
    {"gz", "application/x-gzip"},
    {"h", "text/plain"},
    {"hdf", "application/x-hdf"},
    {"hdml", "text/x-hdml"},
    {"hhc", "application/x-oleobject"},
    {"hhk", "application/octet-stream"},
    {"hhp", "application/octet-stream"},
    {"hlp", "application/winhlp"},
    {"hqx", "application/mac-binhex40"},
    {"hta", "application/hta"},
    {"htaccess", "text/plain"},
    {"htc", "text/x-component"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"htt", "text/webviewhtml"},
    {"hxt", "text/html"},
    {"ico", "image/x-icon"},
    {"ics", "application/octet-stream"},
    {"ief", "image/ief"},
    {"iii", "application/x-iphone"},
    {"inf", "application/octet-stream"},
    {"ini", "application/octet-stream"},
    {"ins", "application/x-internet-signup"},
    {"iso", "application/octet-stream"},
    {"isp", "application/x-internet-signup"},
    {"IVF", "video/x-ivf"},
    {"jar", "application/java-archive"},
    {"java", "application/octet-stream"},
    {"jck", "application/liquidmotion"},
    {"jcz", "application/liquidmotion"},
    {"jfif", "image/pjpeg"},
    {"jpb", "application/octet-stream"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "application/x-javascript"},
    {"jsx", "text/jscript"},
    {"kml", "application/vnd.google-earth.kml+xml"},
    {"kmz", "application/vnd.google-earth.kmz"},
    {"latex", "application/x-latex"},
    {"lha", "application/octet-stream"},
    {"lit", "application/x-ms-reader"},
    {"lpk", "application/octet-stream"},
    {"lsf", "video/x-la-asf"},
    {"lsx", "video/x-la-asf"},
    {"lzh", "application/octet-stream"},
    {"m13", "application/x-msmediaview"},
    {"m14", "application/x-msmediaview"},
    {"m1v", "video/mpeg"},
    {"m3u", "audio/x-mpegurl"},
    {"m4v", "video/mp4"},
    {"man", "application/x-troff-man"},
    {"manifest", "application/x-ms-manifest"},
    {"map", "text/plain"},
    {"mdb", "application/x-msaccess"},
    {"mdp", "application/octet-stream"},
    {"me", "application/x-troff-me"},
    {"mht", "message/rfc822"},
    {"mhtml", "message/rfc822"},
    {"mid", "audio/mid"},
    {"midi", "audio/mid"},
    {"mix", "application/octet-stream"},
    {"mmf", "application/x-smaf"},
    {"mno", "text/xml"},
    {"mny", "application/x-msmoney"},
    {"mov", "video/quicktime"},
    {"movie", "video/x-sgi-movie"},
    {"mp2", "video/mpeg"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpa", "video/mpeg"},
    {"mpe", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mpp", "application/vnd.ms-project"},
    {"mpv2", "video/mpeg"},
    {"ms", "application/x-troff-ms"},
    {"msi", "application/octet-stream"},
    {"mso", "application/octet-stream"},
    {"mvb", "application/x-msmediaview"},
    {"mvc", "application/x-miva-compiled"},
    {"nc", "application/x-netcdf"},
    {"nsc", "video/x-ms-asf"},
    {"nws", "message/rfc822"},
    {"ocx", "application/octet-stream"},
    {"oda", "application/oda"},
    {"odc", "text/x-ms-odc"},
    {"ods", "application/oleobject"},
    {"one", "application/onenote"},
    {"onea", "application/onenote"},
    {"onepkg", "application/onenote"},
    {"onetmp", "application/onenote"},
    {"onetoc", "application/onenote"},
    {"onetoc2", "application/onenote"},
    {"p10", "application/pkcs10"},
    {"p12", "application/x-pkcs12"},
    {"p7b", "application/x-pkcs7-certificates"},
    {"p7c", "application/pkcs7-mime"},
    {"p7m", "application/pkcs7-mime"},
    {"p7r", "application/x-pkcs7-certreqresp"},
    {"p7s", "application/pkcs7-signature"},
    {"pbm", "image/x-portable-bitmap"},
    {"pcx", "application/octet-stream"},
    {"pcz", "application/octet-stream"},
    {"pdf", "application/pdf"},
    {"pfb", "application/octet-stream"},
    {"pfm", "application/octet-stream"},
    {"pfx", "application/x-pkcs12"},
    {"pgm", "image/x-portable-graymap"},
    {"pko", "application/vnd.ms-pki.pko"},
    {"pma", "application/x-perfmon"},
    {"pmc", "application/x-perfmon"},
    {"pml", "application/x-perfmon"},
    {"pmr", "application/x-perfmon"},
    {"pmw", "application/x-perfmon"},
    {"png", "image/png"},
    {"pnm", "image/x-portable-anymap"},
    {"pnz", "image/png"},
    {"pot", "application/vnd.ms-powerpoint"},
    {"potm", "application/vnd.ms-powerpoint.template.macroEnabled.12"},
    {"potx", "application/vnd.openxmlformats-officedocument.presentationml.template"},
    {"ppam", "application/vnd.ms-powerpoint.addin.macroEnabled.12"},
    {"ppm", "image/x-portable-pixmap"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ppsm", "application/vnd.ms-powerpoint.slideshow.macroEnabled.12"},
    {"ppsx", "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptm", "application/vnd.ms-powerpoint.presentation.macroEnabled.12"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"prf", "application/pics-rules"},
    {"prm", "application/octet-stream"},
    {"prx", "application/octet-stream"},
    {"ps", "application/postscript"},
    {"psd", "application/octet-stream"},
    {"psm", "application/octet-stream"},
    {"psp", "application/octet-stream"},
    {"pub", "application/x-mspublisher"},
    {"qt", "video/quicktime"},
    {"qtl", "application/x-quicktimeplayer"},
    {"qxd", "application/octet-stream"},
    {"ra", "audio/x-pn-realaudio"},
    {"ram", "audio/x-pn-realaudio"},
    {"rar", "application/octet-stream"},
    {"ras", "image/x-cmu-raster"},
    {"rf", "image/vnd.rn-realflash"},
    {"rgb", "image/x-rgb"},
    {"rm", "application/vnd.rn-realmedia"},
    {"rmi", "audio/mid"},
    {"roff", "application/x-troff"},
    {"rp2", "application/vnd.cloanto.rp2"},
    {"rp9", "application/vnd.cloanto.rp9"},
    {"rp-lib", "application/vnd.cloanto.rplib"},
    {"rpm", "audio/x-pn-realaudio-plugin"},
    {"rp-skin", "application/vnd.cloanto.rpskin"},
    {"rtf", "application/rtf"},
    {"rtx", "text/richtext"},
    {"scd", "application/x-msschedule"},
    {"sc-skin", "application/vnd.cloanto.scskin"},
    {"sct", "text/scriptlet"},
    {"sd-cnf", "application/vnd.cloanto.sdcnf"},
    {"sea", "application/octet-stream"},
    {"setpay", "application/set-payment-initiation"},
    {"setreg", "application/set-registration-initiation"},
    {"sgml", "text/sgml"},
    {"sh", "application/x-sh"},
    {"shar", "application/x-shar"},
    {"sit", "application/x-stuffit"},
    {"sldm", "application/vnd.ms-powerpoint.slide.macroEnabled.12"},
    {"sldx", "application/vnd.openxmlformats-officedocument.presentationml.slide"},
    {"smd", "audio/x-smd"},
    {"smi", "application/octet-stream"},
    {"smx", "audio/x-smd"},
    {"smz", "audio/x-smd"},
    {"snd", "audio/basic"},
    {"snp", "application/octet-stream"},
    {"spc", "application/x-pkcs7-certificates"},
    {"spl", "application/futuresplash"},
    {"src", "application/x-wais-source"},
    {"ssm", "application/streamingmedia"},
    {"sst", "application/vnd.ms-pki.certstore"},
    {"stl", "application/vnd.ms-pki.stl"},
    {"sv4cpio", "application/x-sv4cpio"},
    {"sv4crc", "application/x-sv4crc"},
    {"swf", "application/x-shockwave-flash"},
    {"t", "application/x-troff"},
    {"tar", "application/x-tar"},
    {"tcl", "application/x-tcl"},
    {"tex", "application/x-tex"},
    {"texi", "application/x-texinfo"},
    {"texinfo", "application/x-texinfo"},
    {"tgz", "application/x-compressed"},
    {"thmx", "application/vnd.ms-officetheme"},
    {"thn", "application/octet-stream"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"toc", "application/octet-stream"},
    {"torrent", "application/x-bittorrent"},
    {"tr", "application/x-troff"},
    {"trm", "application/x-msterminal"},
    {"tsv", "text/tab-separated-values"},
    {"ttf", "application/octet-stream"},
    {"txt", "text/plain"},
    {"u32", "application/octet-stream"},
    {"uls", "text/iuls"},
    {"ustar", "application/x-ustar"},
    {"vbs", "text/vbscript"},
    {"vcf", "text/x-vcard"},
    {"vcs", "text/plain"},
    {"vdx", "application/vnd.ms-visio.viewer"},
    {"vml", "text/xml"},
    {"vsd", "application/vnd.visio"},
    {"vss", "application/vnd.visio"},
    {"vst", "application/vnd.visio"},
    {"vsto", "application/x-ms-vsto"},
    {"vsw", "application/vnd.visio"},
    {"vsx", "application/vnd.visio"},
    {"vtx", "application/vnd.visio"},
    {"wav", "audio/wav"},
    {"wax", "audio/x-ms-wax"},
    {"wbmp", "image/vnd.wap.wbmp"},
    {"wcm", "application/vnd.ms-works"},
    {"wdb", "application/vnd.ms-works"},
    {"wdgt", "application/x-macbinary"},
    {"widget", "application/vnd.yahoo.widget"},
    {"wks", "application/vnd.ms-works"},
    {"wm", "video/x-ms-wm"},
    {"wma", "audio/x-ms-wma"},
    {"wmd", "application/x-ms-wmd"},
    {"wmf", "application/x-msmetafile"},
    {"wml", "text/vnd.wap.wml"},
    {"wmlc", "application/vnd.wap.wmlc"},
    {"wmls", "text/vnd.wap.wmlscript"},
    {"wmlsc", "application/vnd.wap.wmlscriptc"},
    {"wmp", "video/x-ms-wmp"},
    {"wmv", "video/x-ms-wmv"},
    {"wmx", "video/x-ms-wmx"},
    {"wmz", "application/x-ms-wmz"},
    {"wps", "application/vnd.ms-works"},
    {"wri", "application/x-mswrite"},
    {"wrl", "x-world/x-vrml"},
    {"wrz", "x-world/x-vrml"},
    {"wsdl", "text/xml"},
    {"wvx", "video/x-ms-wvx"},
    {"x", "application/directx"},
    {"xaf", "x-world/x-vrml"},
    {"xaml", "application/xaml+xml"},
    {"xap", "application/x-silverlight-app"},
    {"xbap", "application/x-ms-xbap"},
    {"xbm", "image/x-xbitmap"},
    {"xdr", "text/plain"},
    {"xla", "application/vnd.ms-excel"},
    {"xlam", "application/vnd.ms-excel.addin.macroEnabled.12"},
    {"xlc", "application/vnd.ms-excel"},
    {"xlm", "application/vnd.ms-excel"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsb", "application/vnd.ms-excel.sheet.binary.macroEnabled.12"},
    {"xlsm", "application/vnd.ms-excel.sheet.macroEnabled.12"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xlt", "application/vnd.ms-excel"},
    {"xltm", "application/vnd.ms-excel.template.macroEnabled.12"},
    {"xltx", "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
    {"xlw", "application/vnd.ms-excel"},
    {"xml", "text/xml"},
    {"xof", "x-world/x-vrml"},
    {"xpm", "image/x-xpixmap"},
    {"xps", "application/vnd.ms-xpsdocument"},
    {"xsd", "text/xml"},
    {"xsf", "text/xml"},
    {"xsl", "text/xml"},
    {"xslt", "text/xml"},
    {"xsn", "application/octet-stream"},
    {"xtp", "application/octet-stream"},
    {"xwd", "image/x-xwindowdump"},
    {"z", "application/x-compress"},
    {"zip", "application/x-zip-compressed"},
};
constexpr int kMimeRows = (int)(sizeof(kMimeTable) / sizeof(kMimeTable[0]));
} // namespace

int MimeTableSize() {
    return kMimeRows;
}
const char* MimeTableExtension(int i) {
    return (i >= 0 && i < kMimeRows) ? kMimeTable[i].ext : "";
}
const char* MimeTableType(int i) {
    return (i >= 0 && i < kMimeRows) ? kMimeTable[i].type : "";
}

bool MimeTypeByExtension(const CWideString& name, CNarrowString& type, CWideString& err) {
    int dot = name.ReverseFind(u'.');
    if (dot < 0 || dot + 1 >= name.GetLength()) {
        err += u"no extension in file name";
        return false;
    }
    CNarrowString ext = WideToUtf8(name.Mid(dot + 1, name.GetLength()));
    for (const MimeRow& r : kMimeTable) {
        if (ext == r.ext) {
            type += r.type;
            return true;
        }
    }
    err += u"not found";
    return false;
}

// ============================================================ numbers
namespace {
bool ParseDecimalBounded(const CNarrowString& text, uint64_t nMax, uint64_t& value, int& kind, CWideString& err) {
    uint64_t n = 0;
    const char* p = text.GetString();
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t d = (uint64_t)(*p - '0');
        if (n > (nMax - d) / 10) {
            p = nullptr;
            break;
        }
        n = n * 10 + d;
    }
    if (!p || !(*p == 0 || *p == ' ')) {
        kind = FSE_GENERAL;
        err += u"bad number: ";
        err += Utf8OrAnsiToWide(text);
        return false;
    }
    value = n;
    return true;
}
} // namespace

bool ParseDecimal32(const CNarrowString& text, uint32_t& value, int& kind, CWideString& err) {
    uint64_t n = 0;
    if (!ParseDecimalBounded(text, 0xFFFFFFFFull, n, kind, err)) return false;
    value = (uint32_t)n;
    return true;
}

bool ParseDecimal64(const CNarrowString& text, int64_t& value, int& kind, CWideString& err) {
    uint64_t n = 0;
    if (!ParseDecimalBounded(text, (uint64_t)INT64_MAX, n, kind, err)) return false;
    value = (int64_t)n;
    return true;
}

bool ParseDecimal64Loose(int64_t& value, const CNarrowString& text) {
    uint64_t n = 0;
    for (const char* p = text.GetString(); *p >= '0' && *p <= '9'; ++p) {
        uint64_t d = (uint64_t)(*p - '0');
        if (n > ((uint64_t)INT64_MAX - d) / 10) {
            n = (uint64_t)INT64_MAX;
            break;
        }
        n = n * 10 + d;
    }
    value = (int64_t)n;
    return true;
}

// ============================================================ headers
CNarrowString HttpCleanHeaderValue(const CNarrowString& text) {
    if (text.FindOneOf("\r\n") < 0 && (int)strlen(text.GetString()) == text.GetLength()) return text;
    CNarrowString r(text);
    for (int i = 0; i < r.GetLength(); ++i) {
        char c = r[i];
        if (c == '\r' || c == '\n' || c == 0) r.SetAt(i, ' ');
    }
    return r;
}

void AppendHeaderLine(CNarrowString& block, const char* name, const CNarrowString& value) {
    if (!name || !*name || value.IsEmpty()) return;
    block.AppendFormat("%s: %s\r\n", name, HttpCleanHeaderValue(value));
}

void HttpAddHeader(HttpHeaderMap& map, const CNarrowString& lowerName, const CNarrowString& value) {
    CNarrowString v(value);
    v.TrimRight(" ;");
    auto* p = map.LookupPair(lowerName);
    if (p) {
        p->m_value += "; ";
        p->m_value += v;
    } else {
        map.SetAt(lowerName, v);
    }
}

void HttpSetBodyText(CRsp& rsp, const CNarrowString& text) {
    rsp.m_sBody = text;
    rsp.m_nContentLength = text.GetLength();
    rsp.m_nBodyLength = text.GetLength();
    rsp.m_bBodyComplete = 1;
    if (rsp.m_bTempBodyFile && !rsp.m_sBodyFile.IsEmpty()) ZorDeleteFileQuiet(rsp.m_sBodyFile);
    rsp.m_bTempBodyFile = 0;
    rsp.m_sBodyFile.Empty();
}

CNarrowString CRsp::GetHeader(const char* lowerName) const {
    CNarrowString v;
    m_mapHeaders.Lookup(CNarrowString(lowerName), v);
    return v;
}

// ============================================================ cookies
namespace {
bool IsCookieAttribute(const CNarrowString& name) {
    static const char* const kAttrs[] = {"path",    "domain",   "comment", "max-age",
                                         "version", "httponly", "secure",  "expires"};
    for (const char* a : kAttrs)
        if (ZorStrICmpNarrow(name.GetString(), a) == 0) return true;
    return false;
}

// The cookie tokenizer: blanks and tabs are skipped; ';' and (in the '='
// mode) '=' are tokens by themselves; otherwise a run up to ';' (or '=').
CNarrowString CookieToken(const CNarrowString& text, int& pos, bool bEqMode) {
    int n = text.GetLength();
    while (pos < n && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos >= n) return CNarrowString();
    char c = text[pos];
    if (c == ';' || (bEqMode && c == '=')) {
        ++pos;
        return CNarrowString(c);
    }
    int start = pos;
    while (pos < n && text[pos] != ';' && !(bEqMode && text[pos] == '=')) ++pos;
    CNarrowString tok = text.Mid(start, pos - start);
    tok.TrimRight(" \t");
    return tok;
}
} // namespace

void ParseSetCookie(const CNarrowString& raw, HttpCookieMap& map, bool& bChanged) {
    // Cookie texts come from servers and from files: nothing that could end
    // a header line survives.
    CNarrowString text = HttpCleanHeaderValue(raw);
    int pos = 0;
    int n = text.GetLength();
    while (pos < n) {
        CNarrowString name = CookieToken(text, pos, true);
        if (name == ";") continue;
        if (name.IsEmpty()) break;
        CNarrowString value;
        int save = pos;
        CNarrowString tok = CookieToken(text, pos, true);
        if (tok == "=") {
            save = pos;
            value = CookieToken(text, pos, false);
            if (value == ";") {
                value.Empty();
                pos = save;
            }
        } else {
            pos = save;
        }
        // skip to the end of this item
        while (pos < n && text[pos] != ';') ++pos;
        if (name == "=" || IsCookieAttribute(name)) continue;
        CNarrowString old;
        if (!map.Lookup(name, old) || old != value) {
            map.SetAt(name, value);
            bChanged = true;
        }
    }
}

void HttpCookieText(const HttpCookieMap& map, CNarrowString& out) {
    bool first = true;
    for (ZorPosition pos = map.GetStartPosition(); pos;) {
        auto* p = map.GetNext(pos);
        if (!first) out += "; ";
        first = false;
        out.AppendFormat("%s=%s", p->m_key, p->m_value);
    }
}

// ============================================================ log texts
CNarrowString HttpLengthText(int64_t nLength) {
    if (nLength == kHttpNoLength) return CNarrowString("[unknown]");
    if (nLength == kHttpChunked) return CNarrowString("[chunked]");
    CNarrowString r;
    r.Format("%lld", (long long)nLength);
    return r;
}

namespace {
// Header names whose values never reach a log line, and the short name shown.
struct MaskedHeader {
    const char* name;
    const char* shown;
};
const MaskedHeader kMaskedRequest[] = {
    {"www-authenticate", "www-auth"}, {"proxy-authenticate", "proxy-auth"},
    {"authorization", "auth"},        {"proxy-authorization", "proxy-auth"},
    {"cookie", "cookie"},             {"set-cookie", "set-cookie"},
    {"ticket", "ticket"},
};
} // namespace

CNarrowString HttpRequestHeadersForLog(const CNarrowString& headers) {
    CNarrowString out;
    int n = headers.GetLength();
    int pos = 0;
    while (pos < n) {
        int end = pos;
        while (end < n && headers[end] != '\r' && headers[end] != '\n') ++end;
        CNarrowString line = headers.Mid(pos, end - pos);
        line.MakeLower();
        int colon = line.Find(':');
        if (colon > 0) {
            CNarrowString name = line.Left(colon);
            name.Trim(" \t");
            for (const MaskedHeader& m : kMaskedRequest) {
                if (name == m.name) {
                    line.Format("%s: ...", m.shown);
                    break;
                }
            }
        }
        out += line;
        // every line end (CR LF, a lone CR or LF) shows as one '|'
        if (end < n) {
            if (headers[end] == '\r' && end + 1 < n && headers[end + 1] == '\n') ++end;
            out += '|';
            ++end;
        }
        pos = end;
    }
    return out;
}

CNarrowString HttpRequestBodyForLog(const CRsp& rsp, bool bFileOpen) {
    CNarrowString r;
    if (rsp.m_pReqBodyFile) {
        r.Format("%s %s", bFileOpen ? "OpenedFile" : "UnopenedFile",
                 WideToUtf8(rsp.m_pReqBodyFile->GetOpenName()));
    } else if (!rsp.m_sReqBody.IsEmpty()) {
        r = HttpLengthText(rsp.m_sReqBody.GetLength());
    } else {
        r = "no-file";
    }
    return r;
}

CNarrowString HttpHeadersForLog(const HttpHeaderMap& map) {
    static const char* const kLeftOut[] = {"user-agent", "cache-control", "pragma", "date", "ticket", "host"};
    static const char* const kMasked[] = {"authorization", "proxy-authorization", "cookie",
                                          "set-cookie",    "www-authenticate",    "proxy-authenticate"};
    CNarrowString out;
    for (ZorPosition pos = map.GetStartPosition(); pos;) {
        auto* p = map.GetNext(pos);
        bool skip = false;
        for (const char* s : kLeftOut)
            if (p->m_key == s) skip = true;
        if (skip) continue;
        if (p->m_key == "authorization") {
            out += "auth=...|";
            continue;
        }
        bool masked = false;
        for (const char* s : kMasked)
            if (p->m_key == s) masked = true;
        if (masked)
            out.AppendFormat("%s=...|", p->m_key);
        else
            out.AppendFormat("%s=%s|", p->m_key, p->m_value);
    }
    return out;
}

CNarrowString HttpBodyDescription(const CRsp& rsp) {
    CNarrowString r;
    if (rsp.m_nContentLength == 0) return CNarrowString("[empty]");
    if (!rsp.m_bBodyComplete) {
        r.Format("not-complete len=%s", HttpLengthText(rsp.m_nContentLength));
    } else if (!rsp.m_sBodyFile.IsEmpty() &&
               (rsp.m_bTempBodyFile || (rsp.m_nStatus >= 200 && rsp.m_nStatus < 300))) {
        uint64_t size = 0;
        int kind = 0;
        CWideString err;
        ZorGetFileSizeByName(rsp.m_sBodyFile, size, kind, err);
        r.Format("complete-in-file[%lld-%s]", (long long)size, WideToUtf8(rsp.m_sBodyFile));
    } else if (rsp.m_nContentLength == kHttpNoLength || rsp.m_nContentLength == kHttpChunked ||
               rsp.m_nContentLength == rsp.m_sBody.GetLength()) {
        r.Format("complete-in-memory[%lld]", (long long)rsp.m_sBody.GetLength());
    } else {
        r.Format("? len=%s", HttpLengthText(rsp.m_nContentLength));
    }
    return r;
}

// ============================================================ ZorHttpBody
bool ZorHttpBody::Open(int& kind, CWideString& err) {
    m_nBufLen = m_nBufPos = 0;
    m_nPosition = 0;
    if (m_sFilePath.IsEmpty()) return true;
    m_hFile.CloseQuiet();
    return ZorOpenFileRead(m_sFilePath, m_hFile, kind, err);
}

bool ZorHttpBody::ReadByte(char& ch, bool& bEnd, int& kind, CWideString& err) {
    bEnd = false;
    if (!m_sFilePath.IsEmpty()) {
        if (m_nBufPos >= m_nBufLen) {
            if (!m_hFile.IsOpen() && !Open(kind, err)) return false;
            uint32_t got = 0;
            if (!m_hFile.Read(m_buf, sizeof(m_buf), got, kind, err)) return false;
            m_nBufLen = (int)got;
            m_nBufPos = 0;
            if (got == 0) {
                bEnd = true;
                return true;
            }
        }
        ch = m_buf[m_nBufPos++];
        return true;
    }
    if (m_nPosition >= m_nLength || m_nPosition >= m_sText.GetLength()) {
        bEnd = true;
        return true;
    }
    ch = m_sText[m_nPosition++];
    return true;
}

bool ZorHttpBody::ReadBytes(CNarrowString& out, int nCount, bool& bEnd, int& kind, CWideString& err) {
    bEnd = false;
    for (int i = 0; i < nCount; ++i) {
        char c;
        if (!ReadByte(c, bEnd, kind, err)) return false;
        if (bEnd) return true;
        out += c;
    }
    return true;
}

bool ZorHttpBody::ReadLine(CNarrowString& line, int nInitialSize, bool& bEnd, int& kind, CWideString& err) {
    line.Empty();
    line.Preallocate(nInitialSize > 0 && nInitialSize < kMaxLine ? nInitialSize : 256);
    bEnd = false;
    bool any = false;
    for (;;) {
        char c;
        bool end = false;
        if (!ReadByte(c, end, kind, err)) return false;
        if (end) {
            bEnd = true;
            break;
        }
        any = true;
        if (c == '\n') break;
        if (line.GetLength() >= kMaxLine) {
            kind = FSE_GENERAL;
            err += u"line too long";
            return false;
        }
        line += c;
    }
    if (line.GetLast() == '\r') line.Truncate(line.GetLength() - 1);
    // A last line without LF is returned with bEnd clear; the next call
    // reports the end.
    if (bEnd && any) bEnd = false;
    return true;
}
