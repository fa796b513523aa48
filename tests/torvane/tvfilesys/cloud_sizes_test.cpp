// Cloud listings: a file whose size cannot be true stays in the cache as a
// bad entry that says why, so the scan reports it as an item in error.
#include "OrvanFileList.h"

#include "zor-debug.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <string>

TEST(CloudSizes, ImpossibleSizesMakeBadEntries) {
    ZorAssertHook prev = ZorSetAssertHook([](const char*) {});
    OrvanFileList& list = GetOrvanFileList();
    list.ResetCache();
    auto file = [](const std::string& id, const std::string& size) {
        return "{\"id\":\"/api/sync/files/" + id + "\",\"name\":\"" + id +
               "\",\"modified\":\"2023-11-14T22:13:20Z\",\"size\":" + size + "}";
    };
    struct Case {
        const char* id;
        const char* size;
        const char* note; // empty: a good entry
    } cases[] = {
        {"neg", "-1", "cloud listing: size -1 is not a valid file size"},
        {"max", "9223372036854775807", "cloud listing: size 9223372036854775807 is not a valid file size"},
        {"pib", "1125899906842625", "cloud listing: size 1125899906842625 is not a valid file size"},
        {"zero", "0", ""},
        {"big", "1125899906842624", ""},
    };
    std::string kids;
    for (const Case& c : cases) kids += (kids.empty() ? "" : ",") + file(c.id, c.size);
    std::string json = "[{\"id\":\"/api/sync/directories/R\",\"modified\":\"2023-11-14T22:13:20Z\","
                       "\"tvdata\":\"/api/sync/directories/T\",\"children\":[" + kids + "]},"
                       "{\"id\":\"/api/sync/directories/T\",\"name\":\"tvdata_collection\","
                       "\"modified\":\"2023-11-14T22:13:20Z\",\"children\":[]}]";
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(list.PopulateFromIndex(json.data(), (int)json.size(), kind, err)) << WideToUtf8(err).GetString();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        OrvanFileItem item;
        ASSERT_TRUE(list.Lookup(Utf8ToWide(c.id), item));
        EXPECT_EQ(item.m_Info.IsBad(), *c.note != 0);
        EXPECT_STREQ(WideToUtf8(item.m_Info.m_sNote).GetString(), c.note);
        EXPECT_TRUE(item.m_Info.m_nSize >= 0 && item.m_Info.m_nSize <= ((int64_t)1 << 50));
    }
    list.ResetCache();
    ZorSetAssertHook(prev);
}
