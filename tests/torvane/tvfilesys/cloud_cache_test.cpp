// The cloud account cache: population from listings (good, malformed and
// hostile), path and id look-ups, renames and removals, pending transaction
// ids on the injected clock.
#include "OrvanFileList.h"

#include "zor-debug.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string U8(const CWideString& s) {
    return WideToUtf8(s).GetString();
}

std::string Node(const std::string& id, const std::string& name, const std::string& extra = "") {
    std::string n = "{\"id\":\"" + id + "\",\"modified\":\"2023-11-14T22:13:20Z\"";
    if (!name.empty()) n += ",\"name\":" + name;
    return n + extra + "}";
}
std::string Dir(const std::string& id, const std::string& name, const std::string& kids) {
    return Node("/api/sync/directories/" + id, "\"" + name + "\"",
                ",\"type\":\"application/vnd.orvan.cirrolith.collection\",\"children\":[" + kids + "]");
}
std::string File(const std::string& id, const std::string& name, int size = 5) {
    return Node("/api/sync/files/" + id, "\"" + name + "\"", ",\"size\":" + std::to_string(size));
}
std::string Index(const std::string& rootKids, const std::string& rootExtra = "") {
    return "[" +
           Node("/api/sync/directories/R", "", ",\"tvdata\":\"/api/sync/directories/T\",\"children\":[" + rootKids +
                                                   "]" + rootExtra) +
           "," + Dir("T", "tvdata_collection", File("tf", "state.dat")) + "]";
}

class CloudCache : public ::testing::Test {
protected:
    void SetUp() override {
        m_prevHook = ZorSetAssertHook([](const char*) {});
        L().ResetCache();
    }
    void TearDown() override {
        L().ResetCache();
        ZorSetAssertHook(m_prevHook);
    }
    static OrvanFileList& L() { return GetOrvanFileList(); }
    bool Populate(const std::string& json, int& kind, CWideString& err) {
        return L().PopulateFromIndex(json.data(), (int)json.size(), kind, err);
    }
    std::string IdOf(const char16_t* path) {
        CWideString id;
        if (!L().FindIdByPath(path, id)) return "<fail>";
        return U8(id);
    }
    ZorAssertHook m_prevHook = nullptr;
};

TEST_F(CloudCache, LooksUpPathsAndIdsOfAPopulatedAccount) {
    int kind = 0;
    CWideString err;
    std::string tree =
        Dir("a", "Docs", File("f1", "x.txt") + "," + File("f2", "X.TXT") + "," + Dir("s", "sub", File("d", "deep"))) +
        "," + Dir("c", "shared", "") ;
    tree.insert(tree.rfind('}'), ",\"collaboration\":{\"root_id\":\"/api/sync/directories/c\"}");
    ASSERT_TRUE(Populate(Index(tree), kind, err)) << U8(err);
    EXPECT_EQ(L().GetCount(), 9);

    struct Case {
        const char16_t* path;
        const char* id;
    } cases[] = {
        {u"", "R"},          {u"///", ""},          {u"/docs/x.txt", "f1"}, {u"docs/X.txt/", "f1"},
        {u"/DOCS/SUB/deep", "d"}, {u"/docs/none", ""},  {u"/_tvdata_/state.dat", "tf"},
        {u"/tvdata_collection", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(IdOf(c.path), c.id) << U8(c.path);

    CWideString path;
    EXPECT_TRUE(L().GetPathFromId(u"d", path, err));
    EXPECT_EQ(U8(path), "/Docs/sub/deep");
    OrvanFileItem item;
    ASSERT_TRUE(L().Lookup(u"c", item));
    EXPECT_EQ(item.m_Info.m_nAttributes, (uint32_t)(FSA_FOLDER | FSA_COLLAB_ROOT));
    ASSERT_TRUE(L().Lookup(u"f1", item));
    EXPECT_EQ(item.m_Info.m_nSize, 5);
    EXPECT_EQ(item.m_Info.m_nModTime, 1700000000u);
    EXPECT_EQ(item.m_Info.m_nCreateTime, 1700000000u); // no "created": the modification time

    // a deletion mark hides the first sibling; the one differing in case is found
    L().Find(u"f1")->m_lstMarks.AddTail(ORVAN_MARK_DELETED);
    EXPECT_EQ(IdOf(u"/docs/x.txt"), "f2");

    // the changes below a moved or deleted folder
    struct {
        bool gone;
        int deleted;
        const char* dump;
    } collect[] = {{false, 0, "MovedTo /Docs/x.txt|MovedTo /Docs/X.TXT|MovedTo /Docs/sub|MovedTo /Docs/sub/deep|"},
                   {true, 1, "Deleted /Docs/x.txt|Deleted /Docs/X.TXT|Deleted /Docs/sub/deep|Deleted /Docs/sub|"},
                   {true, 0, "MovedFrom /Docs/x.txt|MovedFrom /Docs/X.TXT|MovedFrom /Docs/sub/deep|MovedFrom /Docs/sub|"}};
    ASSERT_TRUE(L().Lookup(u"a", item));
    for (auto& c : collect) {
        CListT<ChangedItem> out;
        ASSERT_TRUE(L().CollectDescendantChanges(CZorTime(), item, out, kind, err, c.gone, c.deleted));
        std::string dump;
        for (ZorPosition p = out.GetHeadPosition(); p;) {
            const ChangedItem& ch = out.GetNext(p);
            dump += U8(ChangedItemKindText(ch.m_nKind)) + " " + U8(ch.m_sPath) + "|";
        }
        EXPECT_EQ(dump, c.dump);
    }

    // rename recomputes the descendants; removing a folder removes its tree
    EXPECT_TRUE(L().RenameInCache(u"a", u"Papers", err)) << U8(err);
    EXPECT_TRUE(L().GetPathFromId(u"d", path, err));
    EXPECT_EQ(U8(path), "/Papers/sub/deep");
    ASSERT_TRUE(L().Lookup(u"d", item));
    EXPECT_EQ(U8(item.m_sPath), "/Papers/sub/deep");
    EXPECT_FALSE(L().RenameInCache(u"a", u"x/y", err));
    EXPECT_TRUE(L().RemoveFromCache(u"a", err)) << U8(err);
    EXPECT_EQ(L().GetCount(), 4);
    err.Empty();
    EXPECT_FALSE(L().RemoveFromCache(u"R", err));
    EXPECT_EQ(U8(err), "can't remove root");
}

TEST_F(CloudCache, LargeFolderKeepsTheFirstInListRule) {
    std::string kids;
    for (int i = 0; i < 100; i++) kids += (i ? "," : "") + File("f" + std::to_string(i), "n" + std::to_string(i));
    kids += "," + File("dupA", "Twin") + "," + File("dupB", "twin");
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(Populate(Index(Dir("big", "big", kids)), kind, err)) << U8(err);
    EXPECT_EQ(IdOf(u"/big/N57"), "f57");
    EXPECT_EQ(IdOf(u"/big/TWIN"), "dupA");
    L().Find(u"dupA")->m_lstMarks.AddTail(ORVAN_MARK_DELETED);
    EXPECT_EQ(IdOf(u"/big/twin"), "dupB");
    EXPECT_TRUE(L().RenameInCache(u"f3", u"renamed", err));
    EXPECT_EQ(IdOf(u"/big/n3"), "");
    EXPECT_EQ(IdOf(u"/big/Renamed"), "f3");
    EXPECT_TRUE(L().RemoveFromCache(u"f4", err));
    EXPECT_EQ(IdOf(u"/big/n4"), "");
}

TEST_F(CloudCache, MalformedListingsFailAndLeaveTheCacheEmpty) {
    std::string deep = File("leaf", "leaf");
    for (int i = 0; i < 300; i++) deep = Dir("d" + std::to_string(i), "d", deep);
    struct Case {
        const char* what;
        std::string json;
        const char* text;
    } cases[] = {
        {"not JSON", "<html>", "JSON parse error"},
        {"one root element", "[" + Node("/api/sync/directories/R", "", ",\"tvdata\":\"x/T\"") + "]",
         "two root elements"},
        {"file without size", Index(Node("/api/sync/files/f", "\"f\"")), "couldn't get size from listing"},
        {"unknown id prefix", Index(Node("/api/sync/other/z", "\"z\"")), "unexpected id: /api/sync/other/z"},
        {"duplicate id", Index(File("f", "a") + "," + File("f", "b")), "id listed twice: f"},
        {"own ancestor", Index(Dir("a", "a", Dir("R", "loop", ""))), "id listed twice: R"},
        {"no tvdata", "[" + Node("/api/sync/directories/R", "", ",\"tvdata\":null") + "," +
                          Dir("T", "tvdata_collection", "") + "]",
         "no tvdata property"},
        {"bad time", Index(Node("/api/sync/files/f", "\"f\"", ",\"size\":1,\"created\":\"yesterday\"")),
         "cannot parse inet time"},
        {"too deep", Index(deep), ""},
    };
    for (const Case& c : cases) {
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(Populate(c.json, kind, err)) << c.what;
        EXPECT_EQ(kind, FSE_CLOUD_CACHE) << c.what;
        EXPECT_NE(U8(err).find(c.text), std::string::npos) << c.what << ": " << U8(err);
        EXPECT_TRUE(L().IsEmpty()) << c.what;
    }
}

TEST_F(CloudCache, HostileNamesStayCachedButHidden) {
    std::string kids;
    const char* names[] = {"..", ".", "a/b", "a\\\\b", "n\\u0000ul", "tab\\there", ""};
    for (int i = 0; i < 7; i++)
        kids += std::string(i ? "," : "") + Dir("h" + std::to_string(i), names[i], File("in" + std::to_string(i), "inner"));
    kids += "," + Dir("ok", "fine", "");
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(Populate(Index(kids), kind, err)) << U8(err);
    EXPECT_EQ(L().GetCount(), 3 + 7 * 2 + 1);
    for (const char16_t* p : {u"/..", u"/../inner", u"/./inner", u"/a/b/inner", u"/a\\b", u"/tab\there/inner"})
        EXPECT_EQ(IdOf(p), "") << U8(p);
    EXPECT_EQ(IdOf(u"/fine"), "ok");
    OrvanFileItem item;
    ASSERT_TRUE(L().Lookup(u"h0", item));
    EXPECT_TRUE(item.m_bHidden);
}

struct ChainFetch : IOrvanFolderFetch {
    int calls = 0;
    bool FetchFolder(const CWideString& path, ZorJsonValuePtr& reply, int& kind, CWideString& err) override {
        ++calls;
        // "sync/directories/c<k>": a folder holding the next one
        int k = std::stoi(U8(path.Mid(path.ReverseFind(u'c') + 1)));
        std::string next = "{\"id\":\"/api/sync/directories/c" + std::to_string(k + 1) +
                           "\",\"type\":\"application/vnd.orvan.cirrolith.collection\"}";
        std::string doc = "[" + Dir("c" + std::to_string(k), "c", next) + "]";
        if (!JsonParseText(doc.data(), (int)doc.size(), reply, err)) kind = FSE_NOT_FOUND;
        return reply != nullptr;
    }
};

TEST_F(CloudCache, NonRecursiveChainStopsAtTheDepthCap) {
    std::string root = Node("/api/sync/directories/R", "",
                            ",\"tvdata\":\"/api/sync/directories/T\",\"children\":[{\"id\":\"/api/sync/"
                            "directories/c0\",\"type\":\"application/vnd.orvan.cirrolith.collection\"}]");
    ChainFetch fetch;
    int kind = 0;
    CWideString err, tv;
    EXPECT_FALSE(L().PopulateRootFromDirectories(root.data(), (int)root.size(), false, &fetch, tv, kind, err));
    EXPECT_EQ(kind, FSE_CLOUD_CACHE);
    EXPECT_NE(U8(err).find("deeper than 256"), std::string::npos) << U8(err);
    EXPECT_LE(fetch.calls, 257);
}

TEST_F(CloudCache, PendingTidsArePurgedAfter900Seconds) {
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    EXPECT_TRUE(L().AddPendingTid(u"t1", u"id1"));
    EXPECT_FALSE(L().OnTidNotified(u"unknown", u""));
    clock.Advance(600000);
    EXPECT_TRUE(L().AddPendingTid(u"t2", u"id2"));
    EXPECT_TRUE(L().OnTidNotified(u"t1", u"id1"));
    EXPECT_EQ(L().GetPendingCount(), 2);
    clock.Advance(300001); // t1 is 900.001 s old, t2 300.001 s
    L().PurgePendingTids();
    EXPECT_EQ(L().GetPendingCount(), 1);
    EXPECT_FALSE(L().OnTidNotified(u"t1", u""));
    EXPECT_TRUE(L().OnTidNotified(u"t2", u""));
    L().ResetCache();
    EXPECT_EQ(L().GetPendingCount(), 0);
}

} // namespace
