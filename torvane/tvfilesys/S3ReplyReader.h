// The reader of S3's XML replies: bucket lists, folder listings, the reply
// that starts a multipart upload, and error documents. It matches element
// paths as the text arrives and fills its fields and the caller's item list.
#pragma once

#include "ExpatParser.h"
#include "TvFsRecords.h"

#include <unordered_map>
#include <vector>

class S3ReplyReader : public CExpatParserT {
public:
    // Item flags of the entry being read.
    enum : uint8_t {
        S3F_NAMED = 4,
        S3F_TIME = 8,
        S3F_SIZE = 16,
        S3F_FOLDER = 32,
        S3F_BAD = 64,
        S3F_MARKER = 128, // a folder marker: nothing is listed for it
    };

    explicit S3ReplyReader(ICopyProgress* pProgress = nullptr);

    // Reads one listing document into items (appending; an item equal by
    // name, size and time to one already there is skipped with a notice).
    // bucket is put with '/' before each key, folder (with '/' appended,
    // leading '/' removed) is cut from the front of each name; listedPath is
    // quoted in notices. An object whose size or time is missing or cannot
    // be true (a time before 1970 or after 2106 included) is listed as a bad
    // entry (its note says why) with a notice. An object without a usable key
    // fails the parse, as malformed XML does: left out, it would look deleted.
    bool ParseListing(const CNarrowString& body, CListT<FsItemInfo>& items, const CWideString& bucket,
                      const CWideString& folder, const CWideString& listedPath, CWideString& err);

    bool IsTruncated() const { return m_bTruncated != 0; }
    bool HasError() const { return m_bErrorSeen != 0; }
    CWideString GetErrorCode() const { return CWideString(m_sErrorCode); }
    CWideString GetErrorMessage() const { return CWideString(m_sErrorMessage); }
    const CNarrowString& GetErrorCodeA() const { return m_sErrorCode; }

    CNarrowString m_sNextMarker; // "NextMarker" of the last listing page
    CNarrowString m_sUploadId;   // "InitiateMultipartUploadResult/UploadId"
    // The last raw "Contents/Key" and "CommonPrefixes/Prefix" texts of the
    // last listing page (where a page without NextMarker goes on from).
    CNarrowString m_sLastKey;
    CNarrowString m_sLastPrefix;

protected:
    void OnText(const CNarrowString& text, const CListT<CNarrowString>& elements) override;
    void OnEndElement(const CNarrowString& name) override;

private:
    CListT<FsItemInfo>* m_pItems = nullptr;
    ICopyProgress* m_pProgress = nullptr;
    FsItemInfo m_Item;
    CWideString m_sBucket;
    CWideString m_sFolderPrefix;
    CWideString m_sListedPath;
    uint8_t m_bTruncated = 0;
    uint8_t m_bErrorSeen = 0;
    CNarrowString m_sErrorCode;
    CNarrowString m_sErrorMessage;
    uint8_t m_nItemFlags = 0;
    // Why the entry's size or time cannot be used (empty when they can).
    CWideString m_sUnusable;
    // Why the listing cannot be used (an object without a usable key).
    CWideString m_sListingError;
    // Names already in the list (duplicate check without a scan of the list).
    std::unordered_map<CWideString, std::vector<ZorPosition>> m_mapNames;
    const CListT<FsItemInfo>* m_pIndexedList = nullptr;
    int m_nIndexedCount = 0;
    ZorPosition m_posIndexedTail = nullptr;

    bool SetNameFromKey(const CNarrowString& key);
    void Collect(const char* what);
    void ClearItem();
    void IndexList(CListT<FsItemInfo>& items);
};

// The largest size a listed object may have (1 PiB): far beyond any object
// a store holds, and far from the end of 64-bit sums of sizes.
constexpr int64_t kS3MaxListedSize = (int64_t)1 << 50;

// A listed name that cannot stand for one item inside the listed folder:
// empty, ".", "..", or holding '/', '\', NUL or a control character.
bool IsUnsafeListedName(const CWideString& name);
