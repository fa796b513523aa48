// Cloud listings: a file whose size cannot be true stays in the cache as a
// bad entry that says why, so the scan reports it as an item in error.
#include "OrvanFileList.h"

#include "zor-unicode.h"

#include <gtest/gtest.h>

TEST(CloudSizes, ImpossibleSizesMakeBadEntries) {
    const char* cases[][2] = {{"-1", "cloud listing: size -1 is not a valid file size"},
                              {"9223372036854775807", "cloud listing: size 9223372036854775807 is not a valid file size"},
                              {"1125899906842625", "cloud listing: size 1125899906842625 is not a valid file size"},
                              {"1125899906842624", ""},
                              {"0", ""}};
    std::string json = "[{\"id\":\"/api/sync/directories/R\",\"modified\":\"2023-11-14T22:13:20Z\",\"tvdata\":"
                       "\"/api/sync/directories/T\",\"children\":[";
    for (int i = 0; i < 5; i++)
        json += std::string(i ? "," : "") + "{\"id\":\"/api/sync/files/f" + std::to_string(i) + "\",\"name\":\"f" +
                std::to_string(i) + "\",\"modified\":\"2023-11-14T22:13:20Z\",\"size\":" + cases[i][0] + "}";
    json += "]},{\"id\":\"/api/sync/directories/T\",\"name\":\"tvdata_collection\",\"modified\":"
            "\"2023-11-14T22:13:20Z\",\"children\":[]}]";
    OrvanFileList& list = GetOrvanFileList();
    list.ResetCache();
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(list.PopulateFromIndex(json.data(), (int)json.size(), kind, err)) << WideToUtf8(err).GetString();
    for (int i = 0; i < 5; i++) {
        OrvanFileItem item;
        ASSERT_TRUE(list.Lookup(CWideString::Formatted(u"f%d", i), item));
        EXPECT_EQ(item.m_Info.IsBad(), *cases[i][1] != 0) << cases[i][0];
        EXPECT_STREQ(WideToUtf8(item.m_Info.m_sNote).GetString(), cases[i][1]);
        EXPECT_TRUE(item.m_Info.m_nSize >= 0 && item.m_Info.m_nSize <= ((int64_t)1 << 50)) << cases[i][0];
    }
    list.ResetCache();
}
