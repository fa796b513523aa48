// Typed (tic) and keyword-text forms of the connection settings and of
// FsItemInfo, and the password operations of the connection settings. The
// forms are described in TvFsRecords.h.
#include "TvFsRecords.h"

#include "zor-secret.h"
#include "zor-tic.h"
#include "zor-unicode.h"

namespace {

const char kBlockName[] = "ConnectInfo";

// One text field of the connection settings.
struct TextField {
    unsigned char tag;
    const char* key;
    CWideString TvConnectInfo::*member;
};
// One flag field.
struct FlagField {
    unsigned char tag;
    const char* key;
    uint8_t TvConnectInfo::*member;
};

const TextField kTextFields[] = {
    {'u', "Url", &TvConnectInfo::m_sUrl},
    {'i', "UserID", &TvConnectInfo::m_sUserID},
    {'p', "Password", &TvConnectInfo::m_sPassword},
    {'a', "AccessPolicy", &TvConnectInfo::m_sAccessPolicy},
    {'S', "ServerProfile", &TvConnectInfo::m_sServerProfile},
    {'K', "PrivateKey", &TvConnectInfo::m_sPrivateKey},
};

const FlagField kFlagFields[] = {
    {'F', "FatLike", &TvConnectInfo::m_bFatLike},
    {'E', "Encrypt", &TvConnectInfo::m_bEncrypt},
    {'D', "Decrypt", &TvConnectInfo::m_bDecrypt},
    {'C', "Compress", &TvConnectInfo::m_bCompress},
    {'U', "Uncompress", &TvConnectInfo::m_bUncompress},
    {'x', "UseProxy", &TvConnectInfo::m_bUseProxy},
    {'w', "WinInet", &TvConnectInfo::m_bWinInet},
    {'o', "SendCookies", &TvConnectInfo::m_bSendCookies},
    {'8', "Utf8", &TvConnectInfo::m_bUtf8},
    {'t', "TmpDest", &TvConnectInfo::m_bUseTmpDestFile},
    {'h', "HostBasedAddr", &TvConnectInfo::m_bHostBasedAddr},
    {'I', "Implicit", &TvConnectInfo::m_bImplicit},
    {'A', "Active", &TvConnectInfo::m_bActive},
    {'m', "Mdtm", &TvConnectInfo::m_bMdtm},
    {'g', "PingControl", &TvConnectInfo::m_bPingControl},
    {'b', "IgnoreBadCerts", &TvConnectInfo::m_bIgnoreBadCerts},
    {'r', "ReducedRedundancy", &TvConnectInfo::m_bReducedRedundancy},
    {'s', "ServerSideEncryption", &TvConnectInfo::m_bServerSideEncryption},
    {'l', "CopyLockedFiles", &TvConnectInfo::m_bCopyLockedFiles},
    {'L', "CopyACL", &TvConnectInfo::m_bCopyACL},
    {'n', "NoDataFolder", &TvConnectInfo::m_bNoDataFolder},
    {'q', "Flag1", &TvConnectInfo::m_bFlag1},
    {'Q', "LongPoll", &TvConnectInfo::m_bLongPoll},
    {'R', "Flag3", &TvConnectInfo::m_bFlag3},
};

const unsigned char kChunkTag = 'c';
const char kChunkKey[] = "ChunkSize";
const int32_t kDefaultChunkSize = 262144;

bool PutIndent(ZorOutStream& out, int level, CWideString& err) {
    for (int i = 0; i < level * 2; ++i)
        if (!out.PutChar(' ', err)) return false;
    return true;
}

bool PutWideList(ZorOutStream& out, unsigned char tag, const CListT<CWideString>& list, CWideString& err) {
    if (!PutTicListBegin(out, tag, err)) return false;
    for (ZorPosition pos = list.GetHeadPosition(); pos;)
        if (!PutTicWString(out, list.GetNext(pos), err)) return false;
    return PutTicListEnd(out, err);
}

bool GetWideList(ZorInStream& in, unsigned char tag, CListT<CWideString>& list, CWideString& err) {
    list.RemoveAll();
    if (!GetTicPrefix(in, '<', err)) return false;
    for (;;) {
        bool bEnd = false;
        if (!GetTicListNext(in, bEnd, err)) return false;
        if (bEnd) return true;
        CWideString s;
        if (!GetTicWString(in, tag, s, err)) return false;
        list.AddTail(s);
    }
}

bool ListsEqual(const CListT<CWideString>& a, const CListT<CWideString>& b) {
    if (a.GetCount() != b.GetCount()) return false;
    ZorPosition pa = a.GetHeadPosition(), pb = b.GetHeadPosition();
    while (pa && pb)
        if (a.GetNext(pa) != b.GetNext(pb)) return false;
    return true;
}

// Strict signed 64-bit decimal.
bool ParseInt64Text(const CNarrowString& s, int64_t& v) {
    int n = s.GetLength(), i = 0;
    bool neg = false;
    if (n > 0 && s[0] == '-') {
        neg = true;
        i = 1;
    }
    if (i >= n || n - i > 19) return false;
    unsigned __int128 acc = 0;
    for (; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        acc = acc * 10 + (unsigned)(s[i] - '0');
    }
    if (!neg && acc > (unsigned __int128)INT64_MAX) return false;
    if (neg && acc > (unsigned __int128)INT64_MAX + 1) return false;
    v = neg ? (int64_t)(0 - (uint64_t)acc) : (int64_t)(uint64_t)acc;
    return true;
}

} // namespace

// ============================================================ TvConnectInfo: tic
bool TvConnectInfo::WriteTicFields(ZorOutStream& out, CWideString& err) const {
    for (const TextField& f : kTextFields) {
        if (!out.PutChar(f.tag, err) || !PutTicWString(out, this->*f.member, err)) return false;
    }
    if (!PutTicInt32(out, kChunkTag, m_nChunkSize, err)) return false;
    for (const FlagField& f : kFlagFields)
        if (!PutTicBool(out, f.tag, (this->*f.member) != 0, err)) return false;
    return true;
}

bool TvConnectInfo::WriteTic(ZorOutStream& out, CWideString& err) const {
    return PutTicRecordBegin(out, err) && WriteTicFields(out, err) && WriteTicExtra(out, err) &&
           PutTicRecordEnd(out, err);
}

bool TvConnectInfo::ReadTicField(ZorInStream& in, int tag, bool& bKnown, CWideString& err) {
    bKnown = true;
    for (const TextField& f : kTextFields)
        if (f.tag == tag) return GetTicWString(in, (unsigned char)tag, this->*f.member, err);
    for (const FlagField& f : kFlagFields)
        if (f.tag == tag) return GetTicBool(in, (unsigned char)tag, this->*f.member, err);
    if (tag == kChunkTag) return GetTicInt32(in, kChunkTag, m_nChunkSize, err);
    bKnown = false;
    return true;
}

bool TvConnectInfo::ReadTic(ZorInStream& in, CWideString& err) {
    if (!GetTicPrefix(in, '[', err)) return false;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
        if (bEnd) return true;
        bool bKnown = false;
        if (!ReadTicField(in, tag, bKnown, err)) return false;
        if (!bKnown && !ReadTicExtra(in, tag, bKnown, err)) return false;
        if (!bKnown && !SkipTicValue(in, tag, err)) return false;
    }
}

bool TvConnectInfo::WriteTicExtra(ZorOutStream&, CWideString&) const {
    return true;
}
bool TvConnectInfo::ReadTicExtra(ZorInStream&, int, bool& bKnown, CWideString&) {
    bKnown = false;
    return true;
}

// ============================================================ TvConnectInfo: keyword text
bool TvConnectInfo::WriteTextFields(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const {
    for (const TextField& f : kTextFields) {
        const CWideString& v = this->*f.member;
        if ((bFullDump || !v.IsEmpty()) && !PutNameValueWString(out, f.key, level, v, err)) return false;
    }
    if ((bFullDump || m_nChunkSize != kDefaultChunkSize) &&
        !PutNameValueInt(out, kChunkKey, level, m_nChunkSize, err))
        return false;
    for (const FlagField& f : kFlagFields) {
        uint8_t v = this->*f.member;
        if (!bFullDump && v == 0) continue;
        if (!PutNameValueBool(out, f.key, level, v != 0, err) || !out.PutChar('\n', err)) return false;
    }
    return true;
}

bool TvConnectInfo::WriteText(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const {
    if (!PutTicText(out, "<ConnectInfo>\n", err)) return false;
    if (!WriteTextFields(out, bFullDump, level, err) || !WriteTextExtra(out, bFullDump, level, err))
        return false;
    return PutIndent(out, level > 0 ? level - 1 : 0, err) && PutTicText(out, "</ConnectInfo>\n", err);
}

bool TvConnectInfo::ReadTextField(ZorInStream& in, const CNarrowString& key, bool& bKnown, CWideString& err) {
    bKnown = true;
    for (const TextField& f : kTextFields)
        if (key == f.key) return ReadNameValueWString(in, this->*f.member, err);
    for (const FlagField& f : kFlagFields)
        if (key == f.key) return ReadNameValueBool(in, f.key, this->*f.member, err);
    if (key == kChunkKey) return ReadNameValueInt(in, m_nChunkSize, err);
    bKnown = false;
    return true;
}

bool TvConnectInfo::ReadText(ZorInStream& in, CWideString& err) {
    if (!ReadObjectPrefix(in, kBlockName, err)) return false;
    CNarrowString closing = CNarrowString("</") + kBlockName + ">";
    for (;;) {
        CNarrowString token;
        bool bQuoted = false;
        if (!ReadSettingsToken(in, token, bQuoted, err)) {
            if (in.IsEof()) err += u"Unexpected EOF in ConnectInfo";
            return false;
        }
        if (bQuoted) {
            err += u"string where token expected: ";
            err += Utf8ToWide(token);
            return false;
        }
        if (token == closing) return true;
        bool bKnown = false;
        if (!ReadTextField(in, token, bKnown, err)) return false;
        if (!bKnown && !ReadTextExtra(in, token, bKnown, err)) return false;
        if (!bKnown && !SkipNameValue(in, token, err)) return false;
    }
}

bool TvConnectInfo::WriteTextExtra(ZorOutStream&, bool, int, CWideString&) const {
    return true;
}
bool TvConnectInfo::ReadTextExtra(ZorInStream&, const CNarrowString&, bool& bKnown, CWideString&) {
    bKnown = false;
    return true;
}

bool TvConnectInfo::EqualFields(const TvConnectInfo& o) const {
    for (const TextField& f : kTextFields)
        if (this->*f.member != o.*f.member) return false;
    for (const FlagField& f : kFlagFields)
        if (this->*f.member != o.*f.member) return false;
    return m_nChunkSize == o.m_nChunkSize;
}

// ============================================================ passwords
bool TvConnectInfo::SetPasswordClear(const CWideString& clear, CWideString& err) {
    if (clear.IsEmpty()) {
        m_sPassword.Empty();
        return true;
    }
    CWideString stored;
    if (!ZorEncryptString(clear, stored, err)) return false;
    m_sPassword = stored;
    return true;
}

bool TvConnectInfo::DecryptPassword(CWideString& clear, CWideString& err) const {
    clear.Empty();
    if (m_sPassword.IsEmpty()) return true;
    return ZorDecryptString(m_sPassword, clear, err);
}

CWideString TvConnectInfo::GetPasswordClear() const {
    CWideString clear, err;
    if (!DecryptPassword(clear, err)) clear.Empty();
    return clear;
}

// ============================================================ TvConnectInfoEx
bool TvConnectInfoEx::WriteTicExtra(ZorOutStream& out, CWideString& err) const {
    return out.PutChar('N', err) && PutTicWString(out, m_sName, err) && out.PutChar('G', err) &&
           PutTicWString(out, m_sUniqueID, err) && PutWideList(out, '+', m_lstIncluded, err) &&
           PutWideList(out, '-', m_lstExcluded, err);
}

bool TvConnectInfoEx::ReadTicExtra(ZorInStream& in, int tag, bool& bKnown, CWideString& err) {
    bKnown = true;
    switch (tag) {
        case 'N':
            return GetTicWString(in, 'N', m_sName, err);
        case 'G':
            return GetTicWString(in, 'G', m_sUniqueID, err);
        case '+':
            return GetWideList(in, '+', m_lstIncluded, err);
        case '-':
            return GetWideList(in, '-', m_lstExcluded, err);
        default:
            bKnown = false;
            return true;
    }
}

bool TvConnectInfoEx::WriteTextExtra(ZorOutStream& out, bool bFullDump, int level, CWideString& err) const {
    if ((bFullDump || !m_sName.IsEmpty()) && !PutNameValueWString(out, "Name", level, m_sName, err))
        return false;
    if ((bFullDump || !m_sUniqueID.IsEmpty()) &&
        !PutNameValueWString(out, "UniqueID", level, m_sUniqueID, err))
        return false;
    if (bFullDump || !m_lstIncluded.IsEmpty()) {
        if (!PutNameValueStringList(out, "Included", level, m_lstIncluded, err) || !out.PutChar('\n', err))
            return false;
    }
    if (bFullDump || !m_lstExcluded.IsEmpty()) {
        if (!PutNameValueStringList(out, "Excluded", level, m_lstExcluded, err) || !out.PutChar('\n', err))
            return false;
    }
    return true;
}

bool TvConnectInfoEx::ReadTextExtra(ZorInStream& in, const CNarrowString& key, bool& bKnown,
                                    CWideString& err) {
    bKnown = true;
    if (key == "Name") return ReadNameValueWString(in, m_sName, err);
    if (key == "UniqueID") return ReadNameValueWString(in, m_sUniqueID, err);
    if (key == "Included") return ReadStringList(in, m_lstIncluded, err);
    if (key == "Excluded") return ReadStringList(in, m_lstExcluded, err);
    bKnown = false;
    return true;
}

bool TvConnectInfoEx::operator==(const TvConnectInfoEx& o) const {
    return EqualFields(o) && m_sName == o.m_sName && m_sUniqueID == o.m_sUniqueID &&
           ListsEqual(m_lstIncluded, o.m_lstIncluded) && ListsEqual(m_lstExcluded, o.m_lstExcluded);
}

// ============================================================ FsItemInfo
bool WriteItemInfoTic(ZorOutStream& out, const FsItemInfo& info, CWideString& err) {
    if (!PutTicRecordBegin(out, err)) return false;
    if (!out.PutChar('n', err) || !PutTicWString(out, info.m_sName, err)) return false;
    if (!PutTicUInt32(out, 'a', info.m_nAttributes, err)) return false;
    if (info.m_nSize != 0) {
        CNarrowString s;
        s.Format("%lld", (long long)info.m_nSize);
        if (!out.PutChar('s', err) || !PutTicString(out, s, err)) return false;
    }
    if (info.m_nModTime && !PutTicUInt32(out, 'm', info.m_nModTime, err)) return false;
    if (info.m_nCreateTime && !PutTicUInt32(out, 'c', info.m_nCreateTime, err)) return false;
    if (info.m_nKind && !PutTicUInt32(out, 'k', info.m_nKind, err)) return false;
    if (!info.m_bValid && !PutTicBool(out, 'v', false, err)) return false;
    if (!info.m_sNote.IsEmpty() && (!out.PutChar('e', err) || !PutTicWString(out, info.m_sNote, err)))
        return false;
    if (!info.m_sDisplayName.IsEmpty() &&
        (!out.PutChar('d', err) || !PutTicWString(out, info.m_sDisplayName, err)))
        return false;
    return PutTicRecordEnd(out, err);
}

bool ReadItemInfoTic(ZorInStream& in, FsItemInfo& info, CWideString& err) {
    info.Clear();
    unsigned char ch = 0;
    for (;;) {
        if (!in.PeekChar(ch, err)) {
            if (in.IsEof()) err += u"ReadItemInfoTic: end of input before a record";
            return false;
        }
        if (ch != ' ' && ch != '\n' && ch != '\r' && ch != '\t') break;
        in.GetChar(ch, err);
    }
    if (!GetTicPrefix(in, '[', err)) return false;
    for (;;) {
        unsigned char tag = 0;
        bool bEnd = false;
        if (!GetTicTag(in, ']', tag, bEnd, err)) return false;
        if (bEnd) return true;
        bool ok = true;
        switch (tag) {
            case 'n':
                ok = GetTicWString(in, tag, info.m_sName, err);
                break;
            case 'a':
                ok = GetTicUInt32(in, tag, info.m_nAttributes, err);
                break;
            case 's': {
                CNarrowString s;
                ok = GetTicString(in, tag, s, err);
                if (ok && !ParseInt64Text(s, info.m_nSize)) {
                    err.AppendFormat(u"Posn %ld: @s: bad size '%s'", in.GetPosn(), s);
                    ok = false;
                }
                break;
            }
            case 'm':
                ok = GetTicUInt32(in, tag, info.m_nModTime, err);
                break;
            case 'c':
                ok = GetTicUInt32(in, tag, info.m_nCreateTime, err);
                break;
            case 'k':
                ok = GetTicUInt32(in, tag, info.m_nKind, err);
                break;
            case 'v':
                ok = GetTicBool(in, tag, info.m_bValid, err);
                break;
            case 'e':
                ok = GetTicWString(in, tag, info.m_sNote, err);
                break;
            case 'd':
                ok = GetTicWString(in, tag, info.m_sDisplayName, err);
                break;
            default:
                ok = SkipTicValue(in, tag, err);
                break;
        }
        if (!ok) return false;
    }
}
