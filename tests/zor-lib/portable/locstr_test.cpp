#include "zor-debug.h"
#include "zor-locstr.h"

#include <gtest/gtest.h>

#include <string>

TEST(LocalizedString, TextsByIdAndByKey) {
    long before = ZorAssertCount();
    EXPECT_EQ(GetLocalizedString(IDS_Str_Left), u"Left");
    EXPECT_EQ(GetLocalizedString(10490), u"Right");
    EXPECT_EQ(GetLocalizedString("Str_Left"), u"Left");
    EXPECT_EQ(GetLocalizedString(10523), u"Reading State File %1");
    EXPECT_EQ(GetLocalizedString(10597), u"Analysis Stopped by User");
    EXPECT_EQ(CLocalizedString::Instance().IdOfKey("Str_Status_AnalyzeStopped"), 10597);
    EXPECT_EQ(GetLocalizedString(IDS_Str_ExclBy_NoMatchName),
              u"not included: no match "); // trailing blank kept
    EXPECT_EQ(
        GetLocalizedString("Str_Msg_CannotCreateTvdata"),
        u"Cannot create Torvane State Folder _tvdata_ on %1: %2\nIf this is a read-only folder then set "
        u"this job to 1-way Forced ReadOnlySource in Job -> Options");
    EXPECT_EQ(GetLocalizedString(IDS_Msg_JobScheduledToRun), u"----- Job '%1': Scheduled to run by %2");
    EXPECT_EQ(ZorAssertCount(), before); // building the tables reported nothing (ids unique, in range)
}

TEST(LocalizedString, EveryKeyMatchesItsId) {
    const CLocalizedString& t = CLocalizedString::Instance();
    int keys = 0;
    for (int id = 10000; id <= 11127; id++) {
        CWideString byId;
        if (!t.Lookup(id, byId)) continue;
        EXPECT_FALSE(byId.IsEmpty()) << id;
        keys++;
    }
    EXPECT_GE(keys, 100);
    for (const char* key :
         {"Str_Right", "Str_Status_Remaining_Speed", "Str_Msg_FolderLocked", "Str_Msg_CannotDelete"}) {
        int id = t.IdOfKey(key);
        ASSERT_NE(id, 0) << key;
        CWideString a, b;
        EXPECT_TRUE(t.Lookup(id, a));
        EXPECT_TRUE(t.Lookup(key, b));
        EXPECT_EQ(a, b);
    }
    EXPECT_EQ(t.IdOfKey("Str_Status_Remaining_Speed"), 10611);
    EXPECT_EQ(t.IdOfKey("Str_Msg_AndMoreSimilarLogLines"), 10633);
    EXPECT_EQ(t.IdOfKey("Str_NoSuchKey"), 0);
}

TEST(LocalizedString, Substitution) {
    EXPECT_EQ(FormatLocalizedString(IDS_Str_Status_OneSideStats, u"Left", u"10", u"2", u"3", u"0"),
              u"Left: Files: 10 (excluded 2). Folders: 3 (excluded 0).");
    EXPECT_EQ(FormatLocalizedString("Str_Msg_CannotDelete", u"/a/b", u"Permission denied"),
              u"Cannot delete /a/b: Permission denied");
    // "%%" gives "%"; arguments are not scanned again; a missing one is empty.
    const CWideString* args[] = {nullptr, nullptr};
    CWideString a1(u"50%1"), a2(u"x");
    args[0] = &a1;
    args[1] = &a2;
    EXPECT_EQ(CLocalizedString::Substitute(u"%1 done, %2%%, %% %3%6 %d %"_ws, args, 2),
              u"50%1 done, x%, % %6 %d %");
    EXPECT_EQ(CLocalizedString::Substitute(u"%2-%1-%2"_ws, args, 2), u"x-50%1-x");
    EXPECT_EQ(FormatLocalizedString(IDS_Str_Status_ConflictsCnt), u"Conflicts: ");
}

TEST(LocalizedString, UnknownIdIsReported) {
    static int reports = 0;
    reports = 0;
    auto prev = ZorSetAssertHook([](const char* r) {
        if (std::string(r).find("no localised text for id(9999)") != std::string::npos) reports++;
    });
    EXPECT_TRUE(GetLocalizedString(9999).IsEmpty());
    ZorSetAssertHook(prev);
    EXPECT_EQ(reports, 1);
}
