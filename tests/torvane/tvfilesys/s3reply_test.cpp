// The XML reader over Expat and the S3 reply reader: the reference replies,
// the reader's path rules, bad entries, hostile names and duplicates.
#include "S3ReplyReader.h"
#include "s3-test-util.h"

#include "zor-debug.h"
#include "zor-time.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct QuietAsserts {
    ZorAssertHook prev = ZorSetAssertHook([](const char*) {});
    ~QuietAsserts() { ZorSetAssertHook(prev); }
};

std::string Describe(const CListT<FsItemInfo>& items) {
    std::string s;
    for (ZorPosition p = items.GetHeadPosition(); p;) {
        const FsItemInfo& it = items.GetNext(p);
        if (!s.empty()) s += "; ";
        s += WideToUtf8(it.m_sName).GetString();
        if (it.IsBad()) {
            s += " bad: " + std::string(WideToUtf8(it.m_sNote).GetString());
            continue;
        }
        s += it.IsFolder() ? " dir" : " file " + std::to_string(it.m_nSize);
        uint32_t t = it.IsFolder() ? it.m_nCreateTime : it.m_nModTime;
        if (t) s += " @" + std::string(CZorTime(t).FormatGmtA("%Y-%m-%d %H:%M:%S").GetString());
    }
    return s;
}

std::string ListingOf(S3ReplyReader& r, const std::string& body, const char16_t* bucket, const char16_t* folder,
                      CListT<FsItemInfo>* pItems = nullptr) {
    CListT<FsItemInfo> local;
    CListT<FsItemInfo>& items = pItems ? *pItems : local;
    CWideString err;
    if (!r.ParseListing(CNarrowString(body.c_str(), (int)body.size()), items, bucket, folder, u"/listed", err))
        return "error: " + std::string(WideToUtf8(err).GetString());
    return Describe(items);
}

std::string Contents(const char* key, const char* size = "3", const char* when = "2020-01-02T03:04:05.000Z") {
    std::string s = "<Contents><Key>";
    s += key;
    s += "</Key>";
    if (when) s += std::string("<LastModified>") + when + "</LastModified>";
    if (size) s += std::string("<Size>") + size + "</Size>";
    return s + "</Contents>";
}
std::string Prefix(const char* p) {
    return std::string("<CommonPrefixes><Prefix>") + p + "</Prefix></CommonPrefixes>";
}
std::string Page(const std::string& inner, const char* ns = " xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"") {
    return std::string("<?xml version=\"1.0\"?><ListBucketResult") + ns + "><Name>b</Name>" + inner +
           "</ListBucketResult>";
}

} // namespace

// The retyped reference replies: bucket list, plain and delimited listings,
// a truncated page, the multipart start and an error document.
TEST(S3ReplyReader, ReferenceReplies) {
    struct Case {
        const char* fixture;
        const char16_t* bucket;
        const char16_t* folder;
        std::string want;
        bool truncated;
        const char* nextMarker;
    } cases[] = {
        {"list-buckets.xml", u"", u"", "quotes dir @2006-02-03 16:45:09; samples dir @2006-02-03 16:41:58", false, ""},
        {"list-bucket.xml", u"bucket", u"bucket",
         "my-image.jpg file 434234 @2009-10-12 17:50:30; my-third-image.jpg file 64994 @2009-10-12 17:50:30", false,
         ""},
        // The marker "photos/2006/" is not listed; the prefixes become folders.
        {"list-delimiter.xml", u"example-bucket", u"/example-bucket/photos/2006/",
         "index.html file 1203 @2016-04-30 23:51:29; February dir; January dir", false, ""},
        {"list-truncated.xml", u"quotes", u"quotes", "Nelson file 5 @2006-01-01 12:00:00", true, "Nelson"},
        // Captured from s3rver: its folder marker docs/ is not listed.
        {"s3rver-list-docs.xml", u"tb", u"/tb/docs", "a b.txt file 5 @2026-12-07 08:30:59; sub dir; sub2 dir", false,
         ""},
        {"s3rver-list-buckets.xml", u"", u"", "tb dir @2026-12-07 08:30:55", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        S3ReplyReader r;
        std::string body = S3Fixture(c.fixture);
        ASSERT_FALSE(body.empty());
        EXPECT_EQ(ListingOf(r, body, c.bucket, c.folder), c.want);
        EXPECT_EQ(r.IsTruncated(), c.truncated);
        EXPECT_STREQ(r.m_sNextMarker.GetString(), c.nextMarker);
        EXPECT_FALSE(r.HasError());
    }

    S3ReplyReader r;
    CWideString err;
    std::string up = S3Fixture("initiate-multipart.xml");
    ASSERT_TRUE(r.Parse(up.c_str(), (int)up.size(), err, true)) << err;
    EXPECT_STREQ(r.m_sUploadId.GetString(), "VXBsb2FkIElEIGZvciA2aWWpbmcncyBteS1tb3ZpZS5tMnRzIHVwbG9hZA");
    std::string e = S3Fixture("error-nosuchkey.xml");
    ASSERT_TRUE(r.Parse(e.c_str(), (int)e.size(), err, true)) << err;
    EXPECT_TRUE(r.HasError());
    EXPECT_EQ(r.GetErrorCode(), u"NoSuchKey"_ws);
    EXPECT_EQ(r.GetErrorMessage(), u"The resource you requested does not exist"_ws);
    std::string up2 = S3Fixture("s3rver-initiate.xml");
    ASSERT_TRUE(r.Parse(up2.c_str(), (int)up2.size(), err, true)) << err;
    EXPECT_STREQ(r.m_sUploadId.GetString(), "15c53b7480e9c89e9ee9b9ce87241515");
    std::string e2 = S3Fixture("s3rver-error.xml");
    ASSERT_TRUE(r.Parse(e2.c_str(), (int)e2.size(), err, true)) << err;
    EXPECT_EQ(r.GetErrorCode(), u"NoSuchKey"_ws);
}

// The reader's rules one by one, each on a fresh reader.
TEST(S3ReplyReader, PathRulesAndBadEntries) {
    QuietAsserts quiet;
    struct Case {
        const char* what;
        std::string body;
        std::string want;
        bool truncated = false;
    } cases[] = {
        {"entity joined into one key", Page(Contents("a&amp;b")), "a&b file 3 @2020-01-02 03:04:05"},
        {"no namespace gives the same paths", Page(Contents("x"), ""), "x file 3 @2020-01-02 03:04:05"},
        {"prefixed namespace too",
         "<s3:ListBucketResult xmlns:s3=\"urn:x\"><s3:Contents><s3:Key>k</s3:Key><s3:Size>1</s3:Size>"
         "<s3:LastModified>2020-01-02T03:04:05Z</s3:LastModified></s3:Contents></s3:ListBucketResult>",
         "k file 1 @2020-01-02 03:04:05"},
        {"TRUE is truncated", Page("<IsTruncated>TRUE</IsTruncated>"), "", true},
        {"no or empty Size: listed bad",
         Page(Contents("nosize", nullptr) + Contents("empty", "") + Contents("ok")),
         "nosize bad: S3 listing: no Size; empty bad: S3 listing: no Size; ok file 3 @2020-01-02 03:04:05"},
        {"no or empty time: listed bad", Page(Contents("notime", "1", nullptr) + Contents("empty", "1", "")),
         "notime bad: S3 listing: no LastModified; empty bad: S3 listing: no LastModified"},
        {"times a stored time cannot hold: listed bad",
         Page(Contents("old", "1", "1800-01-01T00:00:00Z") + Contents("late", "1", "2106-02-07T06:28:16Z") +
              Contents("last", "1", "2106-02-07T06:28:15Z")),
         "old bad: S3 listing: time 1800-01-01T00:00:00Z is outside the years 1970 to 2106; late bad: S3 listing: "
         "time 2106-02-07T06:28:16Z is outside the years 1970 to 2106; last file 1 @2106-02-07 06:28:15"},
        {"no key or an empty one fails the listing", Page(Contents("a") + "<Contents><Size>1</Size></Contents>"),
         "error: S3 listing of /listed has an object without a key"},
        {"a folder marker is not listed", Page(Contents("m/", "0")), ""},
        {"bad sizes: listed bad",
         Page(Contents("neg", "-1") + Contents("big", "99999999999999999999") + Contents("pib", "1125899906842625") +
              Contents("top", "1125899906842624")),
         "neg bad: S3 listing: size -1 is not a valid object size; big bad: S3 listing: size 99999999999999999999 is "
         "not a valid object size; pib bad: S3 listing: size 1125899906842625 is not a valid object size; top file "
         "1125899906842624 @2020-01-02 03:04:05"},
        {"bad date: listed bad, next entry clean", Page(Contents("d", "1", "yester&#13;day") + Contents("e")),
         "d bad: S3 listing: time yester\\rday is not a valid time; e file 3 @2020-01-02 03:04:05"},
        {"empty key: the listing fails", Page(Contents("")), "error: S3 listing of /listed has an object without a key"},
        {"key outside the prefix keeps the bucket", Page(Contents("other")), ""},
        {"nested common prefix", Page(Prefix("dir/sub/") + Prefix("dir/sub2")), "sub dir; sub2 dir"},
        {"malformed", Page("<Contents>"), "error: XML Parser error 7 at line 1 col 113"},
        {"not XML at all", "HTTP/1.1 200 OK", "error: XML Parser error 4 at line 1 col 4"},
        {"empty body", "", "error: XML Parser error 3 at line 1 col 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        S3ReplyReader r;
        std::string body = c.body;
        // Keys below dir/ of bucket b, listed as the folder /b/dir.
        if (std::string(c.what).rfind("nested", 0) != 0 && std::string(c.what).rfind("key outside", 0) != 0) {
            EXPECT_EQ(ListingOf(r, body, u"b", u"b"), c.want);
        } else {
            EXPECT_EQ(ListingOf(r, body, u"b", u"/b/dir"), c.want);
        }
        EXPECT_EQ(r.IsTruncated(), c.truncated);
    }
}

// Names that would lead outside the listed folder are skipped with a notice;
// duplicates across pages are listed once with one notice.
TEST(S3ReplyReader, HostileNamesAndDuplicates) {
    QuietAsserts quiet;
    S3NoticeRecorder rec;
    S3ReplyReader r(&rec);
    CListT<FsItemInfo> items;
    std::string page1 = Page(Contents("d/..") + Contents("d/a\\b") + Contents("d/x/y") + Contents("d/tab&#9;") +
                             Contents("elsewhere") + Contents("d/.") + Prefix("d/../") + Prefix("d/docs/") +
                             Contents("d/ok.txt"));
    std::string page2 = Page(Prefix("d/docs/") + Contents("d/ok.txt") + Contents("d/ok.txt", "4"));
    EXPECT_EQ(ListingOf(r, page1, u"b", u"/b/d", &items), "docs dir; ok.txt file 3 @2020-01-02 03:04:05");
    EXPECT_EQ(rec.CountContaining("unusable name"), 7);
    EXPECT_EQ(rec.CountContaining("'b/elsewhere'"), 1);
    EXPECT_EQ(rec.CountContaining("name 'tab\\t'"), 1); // control characters shown as escapes
    EXPECT_EQ(ListingOf(r, page2, u"b", u"/b/d", &items),
              "docs dir; ok.txt file 3 @2020-01-02 03:04:05; ok.txt file 4 @2020-01-02 03:04:05");
    EXPECT_EQ(rec.CountContaining("Folder 'docs' is present already, skipping. Path: /listed"), 1);
    EXPECT_EQ(rec.CountContaining("File 'ok.txt' is present already, skipping. Path: /listed"), 1);
    for (auto& [lvl, t] : rec.m_notices) EXPECT_EQ(lvl, 2) << t;

    std::string buckets = "<ListAllMyBucketsResult><Buckets><Bucket><Name>..</Name></Bucket><Bucket><Name>ok</Name>"
                          "<CreationDate>bad</CreationDate></Bucket><Bucket><Name>ok</Name></Bucket></Buckets>"
                          "</ListAllMyBucketsResult>";
    CListT<FsItemInfo> b;
    EXPECT_EQ(ListingOf(r, buckets, u"", u"", &b), "ok dir");
    EXPECT_EQ(rec.CountContaining("Bucket 'ok' is present already"), 1);
}

// One reader parses document after document: the handlers survive the reset
// after each final parse, also after a malformed one.
TEST(S3ReplyReader, ReaderIsReusable) {
    S3ReplyReader r;
    CWideString err;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        EXPECT_EQ(ListingOf(r, Page(Contents("one")), u"b", u"b"), "one file 3 @2020-01-02 03:04:05");
        CNarrowString broken("<Error><Code>SlowDown");
        EXPECT_FALSE(r.Parse(broken, err, true));
        EXPECT_TRUE(r.Parse(CNarrowString("<Error><Code>InternalError</Code><Message>m</Message></Error>"), err, true));
        EXPECT_EQ(r.GetErrorCode(), u"InternalError"_ws);
    }
    // Text split over several non-final pieces reaches the hook joined.
    S3ReplyReader r2;
    EXPECT_TRUE(r2.Parse(CNarrowString("<Error><Code>Perm"), err, false));
    EXPECT_TRUE(r2.Parse(CNarrowString("anentRedirect</Code></Error>"), err, true));
    EXPECT_EQ(r2.GetErrorCode(), u"PermanentRedirect"_ws);

    // External entities are never read.
    S3ReplyReader r3;
    err.Empty();
    r3.Parse(CNarrowString("<!DOCTYPE Error [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
                           "<Error><Code>x&e;y</Code></Error>"),
             err, true);
    EXPECT_EQ(r3.GetErrorCode().Find(u"root"), -1) << r3.GetErrorCode();

    CExpatParserT none;
    EXPECT_FALSE(none.Parse(CNarrowString("<a/>"), err, true));
    EXPECT_EQ(err, u"CExpatParserT: Not initialized"_ws);
}

// Path matching against the innermost open elements.
TEST(S3ReplyReader, PathMatching) {
    struct Probe : CExpatParserT {
        std::vector<std::string> seen;
        void OnText(const CNarrowString& text, const CListT<CNarrowString>&) override {
            std::string s = std::string(GetCurrentPath().GetString()) + "=" + text.GetString();
            s += IsAtPath("contents/KEY") ? " +ck" : "";
            s += IsAtPath("a//b/contents/key") ? " +full" : "";
            s += IsAtPath("x/contents/key") ? " +x" : "";
            s += IsInside("B") ? " +inB" : "";
            seen.push_back(s);
        }
    } p;
    ASSERT_TRUE(p.Create(1));
    CWideString err;
    ASSERT_TRUE(p.Parse(CNarrowString("<a xmlns='u'><b><Contents><Key>k</Key></Contents></b>t</a>"), err, true));
    std::vector<std::string> want = {"a/b/Contents/Key=k +ck +full +inB", "a=t"};
    EXPECT_EQ(p.seen, want);
    EXPECT_TRUE(p.IsAtPath(""));
    EXPECT_FALSE(p.IsAtPath("a"));
}

// A reply stays near its own size in memory: a document type (and with it
// any entity of the reply's own) is refused, and so is nesting far deeper
// than any S3 reply; the predefined entities and character references work.
TEST(S3ReplyReader, RepliesMayNotGrowBeyondThemselves) {
    std::string refs, deep;
    for (int i = 0; i < 2000; i++) refs += "&e;";
    for (int i = 0; i < 40; i++) deep = "<a>" + deep + "</a>";
    const std::string ent = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"" + std::string(250, 'x') + "\">]>";
    struct Case {
        std::string body, want;
    } cases[] = {
        {ent + "<r><Contents><Key>k" + refs + "</Key></Contents></r>",
         "error: XML Parser error 35 at line 1 col 33: a reply may not declare a document type"},
        {Page(deep), "error: XML Parser error 35 at line 1 col 197: elements nested deeper than 32"},
        {Page(Contents("k&e;")), "error: XML Parser error 11 at line 1 col 117"},
        {Page(Contents("&lt;&#x41;&#66;&quot;")), "<AB\" file 3 @2020-01-02 03:04:05"},
    };
    for (const Case& c : cases) {
        S3ReplyReader r;
        EXPECT_EQ(ListingOf(r, c.body, u"b", u"b").substr(0, 100), c.want);
        EXPECT_EQ(ListingOf(r, Page(Contents("next")), u"b", u"b"), "next file 3 @2020-01-02 03:04:05");
    }
}
