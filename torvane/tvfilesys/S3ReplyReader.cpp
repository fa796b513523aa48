#include "S3ReplyReader.h"

#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

bool IsUnsafeListedName(const CWideString& name) {
    if (name.IsEmpty() || name == u"." || name == u"..") return true;
    for (int i = 0; i < name.GetLength(); i++) {
        char16_t c = name[i];
        if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\') return true;
    }
    return false;
}

namespace {

// A value from the reply as a message quotes it: escaped, and cut short.
CWideString Quoted(const CNarrowString& text) {
    return EscapeControlChars(Utf8ToWide(text.GetLength() > 64 ? text.Left(64) + "..." : text));
}

} // namespace

S3ReplyReader::S3ReplyReader(ICopyProgress* pProgress) : m_pProgress(pProgress) {
    Create(1);
}

void S3ReplyReader::ClearItem() {
    m_Item.Clear();
    m_nItemFlags = 0;
    m_sUnusable.Empty();
}

bool S3ReplyReader::SetNameFromKey(const CNarrowString& key) {
    if (key.IsEmpty()) {
        m_Item.m_sNote = u"Empty name";
        m_nItemFlags |= S3F_BAD;
        return false;
    }
    CWideString name, err;
    if (!Utf8ToWideChecked(key, name, err)) {
        m_Item.m_sNote = u"Cannot decode UTF-8";
        m_nItemFlags |= S3F_BAD;
        return false;
    }
    if (name.GetLast() == u'/' && IsInside("Contents")) {
        // A folder marker: nothing is listed for it.
        m_Item.Clear();
        m_nItemFlags |= S3F_MARKER;
        return true;
    }
    if (!m_sBucket.IsEmpty()) name = m_sBucket + u"/" + name;
    if (!m_sFolderPrefix.IsEmpty() && name.StartsWithNoCase(m_sFolderPrefix))
        name.Delete(0, m_sFolderPrefix.GetLength());
    m_Item.m_sName = name;
    return true;
}

void S3ReplyReader::OnText(const CNarrowString& text, const CListT<CNarrowString>& elements) {
    if (elements.IsEmpty()) return;
    // Most text (ETag, Owner, StorageClass, the blanks between elements)
    // belongs to no rule: only these innermost names are looked at further.
    static const char* const kLeaves[] = {"UploadId",     "IsTruncated", "NextMarker", "Key",  "LastModified", "Size",
                                          "Prefix",       "Name",        "CreationDate", "Code", "Message"};
    const CNarrowString& leaf = elements.GetTail();
    bool bLeaf = false;
    for (const char* l : kLeaves)
        if (leaf.CompareNoCase(l) == 0) {
            bLeaf = true;
            break;
        }
    if (!bLeaf) return;
    CWideString err;
    if (IsAtPath("InitiateMultipartUploadResult/UploadId")) {
        m_sUploadId = text;
    } else if (elements.GetTail().CompareNoCase("IsTruncated") == 0) {
        m_bTruncated = text.CompareNoCase("true") == 0 ? 1 : 0;
    } else if (IsAtPath("NextMarker")) {
        m_sNextMarker = text;
    } else if (IsAtPath("Contents/Key")) {
        m_sLastKey = text;
        if (!SetNameFromKey(text)) {
            m_Item.m_nAttributes = FSA_UNKNOWN;
        } else if (!m_Item.m_sName.IsEmpty()) {
            m_Item.m_nAttributes = FSA_NORMAL;
            m_nItemFlags |= S3F_NAMED;
        }
    } else if (IsAtPath("Contents/LastModified")) {
        int64_t t = 0;
        if (ParseInternetTime(text, t, err)) {
            // A stored time holds the seconds from 1970 to early 2106; others
            // would wrap into another time.
            if (t >= 0 && t <= (int64_t)UINT32_MAX)
                m_Item.m_nModTime = (uint32_t)t;
            else
                m_sUnusable = u"time " + Quoted(text) + u" is outside the years 1970 to 2106";
            m_nItemFlags |= S3F_TIME;
        } else {
            m_sUnusable = u"time " + Quoted(text) + u" is not a valid time";
            m_nItemFlags |= S3F_TIME;
        }
    } else if (IsAtPath("Contents/Size")) {
        uint64_t n = 0;
        if (ParseUInt64(text, n, err) && n <= (uint64_t)kS3MaxListedSize) {
            m_Item.m_nSize = (int64_t)n;
        } else {
            m_Item.m_nSize = 0;
            m_sUnusable = u"size " + Quoted(text) + u" is not a valid object size";
        }
        m_nItemFlags |= S3F_SIZE;
    } else if (IsAtPath("CommonPrefixes/Prefix")) {
        m_sLastPrefix = text;
        if (!SetNameFromKey(text)) {
            m_Item.m_nAttributes = FSA_UNKNOWN;
            m_Item.m_bValid = 0;
        } else {
            if (m_Item.m_sName.GetLast() == u'/') m_Item.m_sName.Truncate(m_Item.m_sName.GetLength() - 1);
            m_Item.m_nAttributes = FSA_FOLDER;
            m_nItemFlags |= S3F_NAMED | S3F_FOLDER;
        }
    } else if (IsAtPath("Bucket/Name")) {
        CWideString name;
        if (!Utf8ToWideChecked(text, name, err)) {
            m_Item.m_sNote = err;
            m_nItemFlags |= S3F_BAD;
            m_Item.m_nAttributes = FSA_UNKNOWN;
            m_Item.m_bValid = 0;
        } else {
            if (name.GetLast() == u'/') name.Truncate(name.GetLength() - 1);
            m_Item.m_sName = name;
            m_Item.m_nAttributes = FSA_FOLDER;
            m_nItemFlags |= S3F_NAMED | S3F_FOLDER;
        }
    } else if (IsAtPath("Bucket/CreationDate")) {
        int64_t t = 0;
        if (ParseInternetTime(text, t, err) && t >= 0 && t <= (int64_t)UINT32_MAX) {
            m_Item.m_nCreateTime = (uint32_t)t;
            m_nItemFlags |= S3F_TIME;
        }
        if (m_nItemFlags & S3F_TIME)
            m_nItemFlags &= (uint8_t)~S3F_BAD;
        else
            m_nItemFlags |= S3F_BAD;
    } else if (IsAtPath("Error/Code")) {
        m_bErrorSeen = 1;
        m_sErrorCode = text;
    } else if (IsAtPath("Error/Message")) {
        m_bErrorSeen = 1;
        m_sErrorMessage = text;
    }
}

void S3ReplyReader::OnEndElement(const CNarrowString& name) {
    if (!m_pItems) return;
    if (IsAtPath("ListAllMyBucketsResult/Buckets/Bucket")) {
        Collect("Bucket");
    } else if (IsAtPath("CommonPrefixes/Prefix")) {
        Collect("Folder");
    } else if (name.CompareNoCase("Contents") == 0) {
        Collect("File");
    }
}

void S3ReplyReader::Collect(const char* what) {
    bool bFolderEntry = CNarrowString(what) != "File";
    bool bTake = false;
    if (bFolderEntry) {
        bTake = !m_Item.m_sName.IsEmpty() && (m_nItemFlags & S3F_FOLDER);
        if (!bTake) ZOR_ASSERT(!"S3 listing: folder entry without a name");
    } else if (m_Item.m_sName.IsEmpty()) {
        // Only a folder marker goes unlisted: an object that cannot be named
        // fails the listing, which left out would make it look deleted.
        if (!(m_nItemFlags & S3F_MARKER) && m_sListingError.IsEmpty()) {
            m_sListingError = u"S3 listing of " + EscapeControlChars(m_sListedPath) + u" has an object without a " +
                              ((m_nItemFlags & S3F_BAD) ? u"usable key: " + m_Item.m_sNote : CWideString(u"key"));
        }
    } else if (!(m_nItemFlags & S3F_FOLDER)) {
        // An object without its size or time is listed as a bad entry.
        if (!(m_nItemFlags & S3F_SIZE))
            m_sUnusable = u"no Size";
        else if (!(m_nItemFlags & S3F_TIME))
            m_sUnusable = u"no LastModified";
        bTake = true;
    }
    if (bTake && IsUnsafeListedName(m_Item.m_sName)) {
        // Such a name would stand for a path outside the listed folder.
        CWideString msg;
        msg.Format(u"Skipping listed item with an unusable name '%s'. Path: %s", EscapeControlChars(m_Item.m_sName),
                   EscapeControlChars(m_sListedPath));
        ICopyProgress::Message(m_pProgress, 2, msg);
        bTake = false;
    }
    if (bTake && !m_sUnusable.IsEmpty()) {
        // Listed as a bad entry: the scan makes it an item in error, so the
        // object is neither lost in silence nor taken for a real size.
        m_Item.SetBad(u"S3 listing: " + m_sUnusable);
        CWideString msg;
        msg.Format(u"Skipping S3 item '%s': %s. Path: %s", EscapeControlChars(m_Item.m_sName), m_sUnusable,
                   EscapeControlChars(m_sListedPath));
        ICopyProgress::Message(m_pProgress, 2, msg);
    }
    if (bTake) {
        auto& slots = m_mapNames[m_Item.m_sName];
        bool bDup = false;
        for (ZorPosition p : slots)
            if (m_pItems->GetAt(p).IsSame(m_Item)) {
                bDup = true;
                break;
            }
        if (bDup) {
            CWideString msg;
            msg.Format(u"%s '%s' is present already, skipping. Path: %s", what, EscapeControlChars(m_Item.m_sName),
                       EscapeControlChars(m_sListedPath));
            ICopyProgress::Message(m_pProgress, 2, msg);
        } else {
            slots.push_back(m_pItems->AddTail(m_Item));
            m_nIndexedCount = m_pItems->GetCount();
            m_posIndexedTail = m_pItems->GetTailPosition();
        }
    }
    ClearItem();
}

void S3ReplyReader::IndexList(CListT<FsItemInfo>& items) {
    // The next page of the same listing reuses the index.
    if (m_pIndexedList == &items && m_nIndexedCount == items.GetCount() && m_posIndexedTail == items.GetTailPosition())
        return;
    m_mapNames.clear();
    for (ZorPosition p = items.GetHeadPosition(); p;) {
        ZorPosition here = p;
        m_mapNames[items.GetNext(p).m_sName].push_back(here);
    }
    m_pIndexedList = &items;
    m_nIndexedCount = items.GetCount();
    m_posIndexedTail = items.GetTailPosition();
}

bool S3ReplyReader::ParseListing(const CNarrowString& body, CListT<FsItemInfo>& items, const CWideString& bucket,
                                 const CWideString& folder, const CWideString& listedPath, CWideString& err) {
    if (m_pItems) {
        ZOR_ASSERT(!"S3ReplyReader: a listing parse is under way");
        return false;
    }
    IndexList(items);
    m_pItems = &items;
    m_sBucket = bucket;
    m_sFolderPrefix = folder;
    if (m_sFolderPrefix.GetLast() != u'/') m_sFolderPrefix += u'/';
    m_sFolderPrefix.TrimLeft(u'/');
    m_sListedPath = listedPath;
    m_nItemFlags = 0;
    m_bTruncated = 0;
    m_sNextMarker.Empty();
    m_sLastKey.Empty();
    m_sLastPrefix.Empty();
    m_sListingError.Empty();
    ClearItem();
    bool ok = Parse(body, err, true);
    if (ok && !m_sListingError.IsEmpty()) {
        err += m_sListingError;
        ok = false;
    }
    m_pItems = nullptr;
    m_sBucket.Empty();
    m_sFolderPrefix.Empty();
    ClearItem();
    return ok;
}
