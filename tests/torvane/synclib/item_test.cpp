// Sync items, side records and their value types.
#include "sync-item.h"

#include "zor-time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <thread>

namespace {

// Counts assertion reports while alive and keeps them off the trace.
class AssertCounter {
public:
    AssertCounter() : m_nStart(ZorAssertCount()), m_prev(ZorSetAssertHook([](const char*) {})) {}
    ~AssertCounter() { ZorSetAssertHook(m_prev); }
    long Count() const { return ZorAssertCount() - m_nStart; }

private:
    long m_nStart;
    ZorAssertHook m_prev;
};

std::u16string S(const CWideString& s) {
    return std::u16string(s.GetString(), s.GetLength());
}

CItemLen Len(uint64_t n) {
    CItemLen l;
    l.SetValue(n);
    return l;
}

// A present file record of the given length.
CSideInfo File(uint64_t nLen, uint32_t t = 1000) {
    CSideInfo si;
    si.SetPresent(true);
    si.m_Len.SetValue(nLen);
    si.m_tFile = si.m_tAccu = CSyncTime(t);
    return si;
}

CSideInfo Folder() {
    CSideInfo si;
    si.SetPresent(true);
    si.SetFolder(true);
    si.m_Len.SetFolder();
    return si;
}

// An item with the given records (an absent side is a default record) and actions.
CSyncPairAndAction Item(bool bLeft, bool bRight, uint8_t nSys, uint8_t nUser = EA_USESYSTEM) {
    CSyncPairAndAction it;
    if (bLeft) it.m_aCur[0] = File(10);
    if (bRight) it.m_aCur[1] = File(10);
    it.m_nSysAction = nSys;
    it.m_nUserAction = nUser;
    return it;
}

TEST(SyncItem, NewItemDefaults) {
    CSyncPairAndAction it(ESS_SYNCING);
    EXPECT_EQ(it.m_nSysAction, EA_NO_COPY);
    EXPECT_EQ(it.m_nUserAction, EA_USESYSTEM);
    EXPECT_EQ(it.m_nExecState, ESS_SYNCING);
    EXPECT_EQ(it.m_nFlags, SPF_LISTED);
    for (int s = 0; s < 2; s++) {
        EXPECT_TRUE(it.m_aCur[s].m_Len.IsUndefined());
        EXPECT_TRUE(it.m_aOld[s].m_Len.IsUndefined());
        EXPECT_TRUE(it.GetSavedLen(s).IsUndefined());
        EXPECT_TRUE(it.GetSavedTime(s).IsZero());
        EXPECT_TRUE(it.m_aCur[s].m_tFile.IsZero());
        EXPECT_TRUE(it.m_aCur[s].m_tAccu.IsZero());
        EXPECT_EQ(it.m_aCur[s].m_nFlags, 0);
        EXPECT_TRUE(it.m_aGens[s].IsEmpty());
        EXPECT_EQ(it.m_aPendingGen[s], 0);
        EXPECT_EQ(it.m_aHoldsDataFolder[s], 0);
        EXPECT_TRUE(it.GetMd5(s).IsZero());
    }
    EXPECT_EQ(it.GetWorkBytes(), 0u);
    EXPECT_TRUE(it.GetReason().IsEmpty());
    EXPECT_TRUE(it.GetMove().IsEmpty());
    EXPECT_EQ(it.GetStats(), nullptr);
    EXPECT_FALSE(it.ExistsAnywhere());
    EXPECT_EQ(CSyncPairAndAction().m_nExecState, ESS_ANALYZED_OK);
}

TEST(SyncItem, PresenceWithSentinels) {
    CSideInfo si;
    EXPECT_FALSE(si.Exists());
    si.SetPresent(true); // undefined length
    EXPECT_TRUE(si.IsPresentBit());
    EXPECT_FALSE(si.Exists());
    si.m_Len.SetDeleted();
    EXPECT_FALSE(si.Exists());
    si.m_Len.SetFolder();
    EXPECT_TRUE(si.Exists());
    si.m_Len.SetValue(0); // an empty file is present
    EXPECT_TRUE(si.Exists());
    si.m_Len.SetRaw(0xFFFF, 0x12345678); // another value with the sentinel high part
    EXPECT_TRUE(si.Exists());
    si.SetPresent(false);
    EXPECT_FALSE(si.Exists());
    EXPECT_FALSE(si.IsPresentBit());
}

TEST(SyncItem, ItemLenValuesAndOrder) {
    CItemLen l;
    EXPECT_TRUE(l.IsUndefined());
    EXPECT_EQ(l.GetValue(), 0u);
    EXPECT_EQ(S(l.Format()), u"[undef]");
    l.SetDeleted();
    EXPECT_EQ(l.GetValue(), 0u);
    EXPECT_EQ(S(l.Format()), u"[del]");
    l.SetFolder();
    EXPECT_EQ(S(l.Format()), u"[folder]");
    EXPECT_EQ(l.GetValue(), 0xFFFFFFFFFFFDull); // a folder gives its raw value

    // 48 bits: bits above 47 are dropped.
    l.SetValue(0x0001'2345'6789'ABCDull);
    EXPECT_EQ(l.GetHigh(), 0x2345);
    EXPECT_EQ(l.GetLow(), 0x6789ABCDu);
    EXPECT_EQ(l.GetValue(), 0x2345'6789'ABCDull);
    EXPECT_EQ(S(Len(5000000000ull).Format()), u"5000000000");

    // High parts decide first; low parts compare unsigned.
    EXPECT_LT(Len(0xFFFFFFFFull), Len(0x1'00000000ull));
    EXPECT_LT(Len(0x7FFFFFFFull), Len(0x80000000ull));
    EXPECT_GT(Len(0x2'00000000ull), Len(0x1'FFFFFFFFull));
    EXPECT_LE(Len(7), Len(7));
    EXPECT_GE(Len(7), Len(7));
    EXPECT_EQ(Len(7), Len(7));
    EXPECT_NE(Len(7), Len(0x1'00000007ull));
    CItemLen del, undef;
    del.SetDeleted();
    EXPECT_NE(del, undef);
}

TEST(SyncItem, SyncTimeSameness) {
    EXPECT_TRUE(CSyncTime::IsSame(1000, 1002));
    EXPECT_TRUE(CSyncTime::IsSame(1002, 1000));
    EXPECT_FALSE(CSyncTime::IsSame(1000, 1003));
    EXPECT_FALSE(CSyncTime::IsSame(1003, 1000));
    // The extremes are far apart (a 32-bit difference would wrap to 1).
    EXPECT_FALSE(CSyncTime::IsSame(0, 0xFFFFFFFFu));
    EXPECT_FALSE(CSyncTime::IsSame(0xFFFFFFFFu, 0));
    EXPECT_FALSE(CSyncTime::IsSame(0x7FFFFFFFu, 0x80000000u + 5));
    EXPECT_TRUE(CSyncTime::IsSame(0x7FFFFFFFu, 0x80000001u));
    EXPECT_TRUE(CSyncTime(0xFFFFFFFFu).IsSame(0xFFFFFFFDu));
    // Exact comparisons and unsigned order.
    EXPECT_NE(CSyncTime(1000), CSyncTime(1001));
    EXPECT_LT(CSyncTime(0x7FFFFFFFu), CSyncTime(0x80000000u));
}

TEST(SyncItem, SyncTimeNowAndFormat) {
    ZorTestClock clock(0x1'2345'6789ll); // past 2106: the stored value keeps the low 32 bits
    ZorClockScope scope(&clock);
    CSyncTime t;
    t.StampNow();
    EXPECT_EQ(t.GetTime(), 0x23456789u);
    EXPECT_EQ(S(CSyncTime().Format()), u"(not seen before)");
    EXPECT_EQ(S(CSyncTime(1000000000).Format()), S(FormatTimeStandard(1000000000)));
}

TEST(SyncItem, GenArrayGrowthAndCopies) {
    CGenArray g;
    EXPECT_TRUE(g.IsEmpty());
    for (uint32_t i = 1; i <= 100; i++) ASSERT_TRUE(g.Add(CSyncTime(i * 10)));
    EXPECT_EQ(g.GetSize(), 100);
    EXPECT_GE(g.GetCapacity(), 100);
    for (int i = 0; i < 100; i++) ASSERT_EQ(g.GetAt(i).GetTime(), (uint32_t)(i + 1) * 10);

    CGenArray copy(g);
    EXPECT_EQ(copy, g);
    copy.ElementAt(5) = CSyncTime(1);
    EXPECT_NE(copy, g); // a deep copy
    EXPECT_EQ(g.GetAt(5).GetTime(), 60u);

    CGenArray small;
    small.Add(CSyncTime(7));
    small = g; // grows into new storage
    EXPECT_EQ(small, g);
    g = CGenArray();
    EXPECT_TRUE(g.IsEmpty());
    CGenArray moved(std::move(small));
    EXPECT_EQ(moved.GetSize(), 100);
    EXPECT_TRUE(small.IsEmpty());

    // Past the count: an assertion, a zero time, the array unchanged.
    AssertCounter asserts;
    EXPECT_TRUE(moved.ElementAt(100).IsZero());
    EXPECT_TRUE(moved.ElementAt(-1).IsZero());
    EXPECT_EQ(asserts.Count(), 2);
    EXPECT_EQ(moved.GetSize(), 100);
}

// Every pairing of inline (up to two) and heap histories through copy,
// move and both assignments keeps the values, and the source of a move ends empty.
TEST(SyncItem, GenArrayInlineAndHeapPairings) {
    auto make = [](int n) {
        CGenArray g;
        for (int i = 0; i < n; i++) g.Add(CSyncTime(1000u + (uint32_t)i));
        return g;
    };
    for (int a = 0; a <= 4; a++) {
        for (int b = 0; b <= 4; b++) {
            const CGenArray want = make(b);
            CGenArray x = make(a);
            x = want;
            EXPECT_EQ(x, want) << a << " = " << b;
            CGenArray y = make(a), src = make(b);
            y = std::move(src);
            EXPECT_EQ(y, want) << a << " <- " << b;
            EXPECT_TRUE(src.IsEmpty());
            EXPECT_TRUE(src.Add(CSyncTime(5))); // a moved-from array is usable
            CGenArray z(std::move(y));
            EXPECT_EQ(z, want);
            EXPECT_TRUE(z.Add(CSyncTime(9)));
            EXPECT_EQ(z.GetSize(), b + 1);
            EXPECT_EQ(z.GetLast().GetTime(), 9u);
            for (int i = 0; i < b; i++) EXPECT_EQ(z[i].GetTime(), 1000u + (uint32_t)i);
        }
    }
}

// An array keeps its values wherever it lies (on an 8-byte boundary or
// 4 bytes past one) through copies and moves between the two, and the
// address of a heap block sits in its 8-byte-aligned word, where a scan of
// memory for pointers finds it.
TEST(SyncItem, GenArrayOnEitherAlignment) {
    alignas(8) unsigned char a[16], b[16];
    for (int n = 0; n <= 5; n++) {
        for (int from = 0; from <= 4; from += 4) {
            for (int to = 0; to <= 4; to += 4) {
                SCOPED_TRACE(testing::Message() << n << " elements, " << from << " -> " << to);
                auto* src = new (a + from) CGenArray();
                for (int i = 0; i < n; i++) ASSERT_TRUE(src->Add(CSyncTime(100u + (uint32_t)i)));
                if (n > 2) {
                    const CSyncTime* p = &src->ElementAt(0);
                    EXPECT_EQ(std::memcmp(a + (from ? 8 : 0), &p, sizeof p), 0);
                }
                auto* copy = new (b + to) CGenArray(*src);
                EXPECT_EQ(*copy, *src);
                copy->~CGenArray();
                auto* moved = new (b + to) CGenArray(std::move(*src));
                EXPECT_TRUE(src->IsEmpty());
                ASSERT_EQ(moved->GetSize(), n);
                for (int i = 0; i < n; i++) EXPECT_EQ((*moved)[i].GetTime(), 100u + (uint32_t)i);
                EXPECT_TRUE(moved->Add(CSyncTime(7)));
                *src = *moved;
                EXPECT_EQ(src->GetLast().GetTime(), 7u);
                EXPECT_EQ(src->GetSize(), n + 1);
                moved->~CGenArray();
                src->~CGenArray();
            }
        }
    }
}

TEST(SyncItem, GenArrayCapsAt65535) {
    CGenArray g;
    for (int i = 0; i < CGenArray::kMaxCount; i++) ASSERT_TRUE(g.Add(CSyncTime((uint32_t)i + 1)));
    EXPECT_EQ(g.GetSize(), 65535);
    EXPECT_FALSE(g.Add(CSyncTime(1)));
    EXPECT_FALSE(AppendTimeIfNew(g, CSyncTime(0x7FFFFFFF)));
    EXPECT_EQ(g.GetSize(), 65535);
    EXPECT_EQ(g.GetLast().GetTime(), 65535u);
    EXPECT_EQ(g.GetAt(0).GetTime(), 1u);
}

TEST(SyncItem, AppendTimeIfNew) {
    CGenArray g;
    EXPECT_TRUE(AppendTimeIfNew(g, CSyncTime(1000)));
    EXPECT_FALSE(AppendTimeIfNew(g, CSyncTime(1000)));
    EXPECT_EQ(g.GetSize(), 1);
    // Exact difference, not IsSame: a time 1 second later is new.
    EXPECT_TRUE(AppendTimeIfNew(g, CSyncTime(1001)));
    EXPECT_TRUE(AppendTimeIfNew(g, CSyncTime(1000))); // only the last element counts
    EXPECT_EQ(g.GetSize(), 3);
}

TEST(SyncItem, NamesOfActionsAndStates) {
    EXPECT_EQ(std::u16string(GetActionName(EA_USESYSTEM)), u"USESYSTEM");
    EXPECT_EQ(std::u16string(GetActionName(0x12)), u"EA_COPY_STATE_MERGE_GENS");
    EXPECT_EQ(std::u16string(GetActionName(0x41)), u"COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(std::u16string(GetActionName(0x22)), u"NAME_CASE_RIGHT_TO_LEFT");
    EXPECT_EQ(std::u16string(GetActionName(0x24)), u"EA_COPY_STATE_RIGHT_TO_LEFT");
    EXPECT_EQ(std::u16string(GetExecStateName(ESS_ANALYZED_OK)), u"ESS_ANALYZED_OK");
    EXPECT_EQ(std::u16string(GetExecStateName(ESS_SYNCED_ERR)), u"ESS_SYNCED_ERR");

    // Unknown values: an assertion each, then a usable text.
    AssertCounter asserts;
    const char16_t* pAction = GetActionName(0x15);
    const char16_t* pState0 = GetExecStateName(0);
    const char16_t* pState6 = GetExecStateName(6);
    EXPECT_EQ(asserts.Count(), 3);
    ASSERT_NE(pAction, nullptr);
    ASSERT_NE(pState0, nullptr);
    ASSERT_NE(pState6, nullptr);
    CWideString s = CWideString::Formatted(u"[%s] [%s]", pAction, pState6);
    EXPECT_EQ(S(s), u"[UNKNOWN] [UNKNOWN]");

    // A dump of an item with a bad state still formats.
    CSyncPairAndAction it(9);
    CWideString dump = it.Dump();
    EXPECT_EQ(dump.Find(u"State=[UNKNOWN], Eff=[NO_COPY], Sys=[NO_COPY], User=[USESYSTEM]"), 0);
}

TEST(SyncItem, DumpFormats) {
    CSyncPairAndAction it;
    it.m_aCur[0] = File(1234, 1000000000);
    it.m_aCur[0].m_sId = u"Name.TXT";
    it.m_aCur[0].m_nTimeShift = -2;
    it.m_aCur[0].m_nAttr = 0x20;
    it.m_aOld[1] = Folder();
    it.m_nUserAction = EA_COPY_LEFT_TO_RIGHT;
    CWideString t = FormatTimeStandard(1000000000);
    std::u16string expected = u"State=[ESS_ANALYZED_OK], Eff=[COPY_LEFT_TO_RIGHT], Sys=[NO_COPY], "
                              u"User=[COPY_LEFT_TO_RIGHT]"
                              u"\r\n old_L=[ni= f=0 len=[undef] t-file=(not seen before) t-accu=(not seen "
                              u"before) ts-c=0 attr=0]"
                              u"\r\n new_L=[ni=Name.TXT f=0 len=1234 t-file=" +
                              S(t) + u" t-accu=" + S(t) +
                              u" ts-c=-2 attr=20]"
                              u"\r\n old_R=[ni= f=1 len=[folder] t-file=(not seen before) t-accu=(not seen "
                              u"before) ts-c=0 attr=0]"
                              u"\r\n new_R=[ni= f=0 len=[undef] t-file=(not seen before) t-accu=(not seen "
                              u"before) ts-c=0 attr=0]";
    EXPECT_EQ(S(it.Dump()), expected);
}

TEST(SyncItem, EffectiveAction) {
    CSyncPairAndAction it;
    EXPECT_EQ(it.GetEffAction(), EA_NO_COPY);
    it.m_nUserAction = EA_NAME_CASE_RIGHT_TO_LEFT;
    EXPECT_EQ(it.GetEffAction(), EA_NAME_CASE_RIGHT_TO_LEFT);
    it.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    EXPECT_EQ(it.GetEffAction(), EA_NAME_CASE_RIGHT_TO_LEFT);
    it.m_nUserAction = EA_USESYSTEM;
    EXPECT_EQ(it.GetEffAction(), EA_COPY_LEFT_TO_RIGHT);
}

TEST(SyncItem, DeleteOverwriteNewClassification) {
    struct Case {
        bool bLeft, bRight;
        uint8_t nEff;
        bool bDelete, bOverwrite, bNew, bNewRtoL, bDeleteRtoL;
    } cases[] = {
        {false, true, EA_COPY_LEFT_TO_RIGHT, true, false, false, false, false}, // delete on the right
        {true, true, EA_COPY_LEFT_TO_RIGHT, false, true, false, false, false},  // overwrite
        {true, false, EA_COPY_LEFT_TO_RIGHT, false, false, true, false, false}, // new copy
        {false, false, EA_COPY_LEFT_TO_RIGHT, false, false, false, false, false},
        {true, false, EA_COPY_RIGHT_TO_LEFT, true, false, false, false, true}, // delete on the left
        {true, true, EA_COPY_RIGHT_TO_LEFT, false, true, false, false, false},
        {false, true, EA_COPY_RIGHT_TO_LEFT, false, false, true, true, false},
        {true, false, EA_NO_COPY, false, false, false, false, false},
        {false, true, EA_TIME_LEFT_TO_RIGHT, false, false, false, false, false},
        {true, true, EA_CONFLICT, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "L=" << c.bLeft << " R=" << c.bRight << " eff=" << (int)c.nEff);
        // Through the user action over a different system action: the effective action counts.
        CSyncPairAndAction it = Item(c.bLeft, c.bRight, EA_NO_COPY, c.nEff);
        EXPECT_EQ(it.IsDeleteAction(), c.bDelete);
        EXPECT_EQ(it.IsOverwriteCopy(), c.bOverwrite);
        EXPECT_EQ(it.IsNewCopy(), c.bNew);
        EXPECT_EQ(it.IsNewCopyRtoL(), c.bNewRtoL);
        EXPECT_EQ(it.IsDeleteRtoL(), c.bDeleteRtoL);
        EXPECT_EQ(it.IsPlainDelete(), c.bDelete);
        it.SetMove(u">/elsewhere");
        EXPECT_FALSE(it.IsPlainDelete());
        EXPECT_EQ(it.IsDeleteAction(), c.bDelete);
    }
    // A record with the present bit but a deleted length does not count as present.
    CSyncPairAndAction it = Item(true, false, EA_COPY_LEFT_TO_RIGHT);
    it.m_aCur[1].SetPresent(true);
    it.m_aCur[1].m_Len.SetDeleted();
    EXPECT_TRUE(it.IsNewCopy());
    EXPECT_FALSE(it.IsOverwriteCopy());
}

TEST(SyncItem, SourceExistsDefaults) {
    // Only the left present.
    CSyncPairAndAction it = Item(true, false, EA_NO_COPY);
    EXPECT_TRUE(it.SrcExistsDefLeft());
    EXPECT_FALSE(it.SrcExistsDefRight());
    it.m_nSysAction = EA_COPY_RIGHT_TO_LEFT;
    EXPECT_FALSE(it.SrcExistsDefLeft());
    EXPECT_FALSE(it.SrcExistsDefRight());
    it.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    EXPECT_TRUE(it.SrcExistsDefLeft());
    EXPECT_TRUE(it.SrcExistsDefRight());
    EXPECT_TRUE(it.LeftExists());
    EXPECT_FALSE(it.RightExists());
    EXPECT_TRUE(it.ExistsAnywhere());
    EXPECT_FALSE(it.ExistsBoth());
}

TEST(SyncItem, FolderAndErrorPredicates) {
    CSyncPairAndAction it;
    EXPECT_FALSE(it.IsFolder());
    it.m_aCur[1].SetFolder(true); // either side's folder bit, present or not
    EXPECT_TRUE(it.IsFolder());
    for (uint8_t s = 1; s <= 5; s++) {
        it.m_nExecState = s;
        EXPECT_EQ(it.IsError(), s == ESS_ANALYZED_ERR || s == ESS_SYNCED_ERR) << (int)s;
    }
}

TEST(SyncItem, ActionTowards) {
    struct Case {
        uint8_t nSys, nUser, nRequest, nExpected;
    } cases[] = {
        // A request with no direction.
        {EA_COPY_LEFT_TO_RIGHT, 0, EA_NO_COPY, EA_NO_COPY},
        {EA_COPY_LEFT_TO_RIGHT, 0, EA_CONFLICT, EA_NO_COPY},
        // Towards the right.
        {EA_NO_COPY, 0, EA_COPY_LEFT_TO_RIGHT, EA_COPY_LEFT_TO_RIGHT},
        {EA_CONFLICT, 0, EA_COPY_LEFT_TO_RIGHT, EA_COPY_LEFT_TO_RIGHT},
        {EA_NAME_CASE_RIGHT_TO_LEFT, 0, EA_COPY_LEFT_TO_RIGHT, EA_NAME_CASE_LEFT_TO_RIGHT},
        {EA_TIME_RIGHT_TO_LEFT, 0, EA_TIME_LEFT_TO_RIGHT, EA_TIME_LEFT_TO_RIGHT},
        {EA_COPY_STATE_RIGHT_TO_LEFT, 0, EA_COPY_LEFT_TO_RIGHT, EA_COPY_STATE_LEFT_TO_RIGHT},
        {EA_TIME_LEFT_TO_RIGHT, 0, EA_COPY_LEFT_TO_RIGHT, EA_TIME_LEFT_TO_RIGHT},
        // Towards the left.
        {EA_NO_COPY, 0, EA_COPY_RIGHT_TO_LEFT, EA_COPY_RIGHT_TO_LEFT},
        {EA_NAME_CASE_LEFT_TO_RIGHT, 0, EA_COPY_RIGHT_TO_LEFT, EA_NAME_CASE_RIGHT_TO_LEFT},
        {EA_COPY_LEFT_TO_RIGHT, 0, EA_TIME_RIGHT_TO_LEFT, EA_COPY_RIGHT_TO_LEFT},
        {EA_COPY_RIGHT_TO_LEFT, 0, EA_COPY_RIGHT_TO_LEFT, EA_COPY_RIGHT_TO_LEFT},
        // A directed user action is the base.
        {EA_COPY_LEFT_TO_RIGHT, EA_TIME_LEFT_TO_RIGHT, EA_COPY_RIGHT_TO_LEFT, EA_TIME_RIGHT_TO_LEFT},
        // A user action without direction is not: the system action is.
        {EA_NAME_CASE_LEFT_TO_RIGHT, EA_NO_COPY, EA_COPY_RIGHT_TO_LEFT, EA_NAME_CASE_RIGHT_TO_LEFT},
        {EA_NO_COPY, EA_CONFLICT, EA_COPY_RIGHT_TO_LEFT, EA_COPY_RIGHT_TO_LEFT},
    };
    for (const Case& c : cases) {
        CSyncPairAndAction it = Item(true, true, c.nSys, c.nUser);
        EXPECT_EQ((int)it.GetActionTowards(c.nRequest), (int)c.nExpected)
            << std::hex << "sys=" << (int)c.nSys << " user=" << (int)c.nUser << " req=" << (int)c.nRequest;
    }
}

TEST(SyncItem, CanSetUserAction) {
    // Blocked states and exclusion.
    CSyncPairAndAction it = Item(true, true, EA_NO_COPY);
    EXPECT_TRUE(it.CanSetUserAction(EA_COPY_LEFT_TO_RIGHT));
    it.m_nExecState = ESS_SYNCED_OK;
    EXPECT_FALSE(it.CanSetUserAction(EA_NO_COPY));
    it.m_nExecState = ESS_ANALYZED_ERR;
    EXPECT_FALSE(it.CanSetUserAction(EA_NO_COPY));
    it.m_nExecState = ESS_ANALYZED_OK;
    it.m_nFlags |= SPF_EXCLUDED;
    EXPECT_FALSE(it.CanSetUserAction(EA_NO_COPY));

    // Copies of folders are refused.
    CSyncPairAndAction folder;
    folder.m_aCur[0] = Folder();
    EXPECT_FALSE(folder.CanSetUserAction(EA_COPY_RIGHT_TO_LEFT));
    EXPECT_TRUE(folder.CanSetUserAction(EA_NO_COPY));

    // Name case: equal lengths and the same second times (2-second tolerance).
    CSyncPairAndAction both = Item(true, true, EA_NO_COPY);
    both.m_aCur[1].m_tAccu = CSyncTime(1002);
    EXPECT_TRUE(both.CanSetUserAction(EA_NAME_CASE_LEFT_TO_RIGHT));
    both.m_aCur[1].m_tAccu = CSyncTime(1003);
    EXPECT_FALSE(both.CanSetUserAction(EA_NAME_CASE_LEFT_TO_RIGHT));
    EXPECT_TRUE(both.CanSetUserAction(EA_TIME_RIGHT_TO_LEFT)); // time: lengths only
    both.m_aCur[1].m_Len.SetValue(11);
    EXPECT_FALSE(both.CanSetUserAction(EA_TIME_RIGHT_TO_LEFT));
    EXPECT_TRUE(both.CanSetUserAction(EA_CONFLICT));

    // Neither side present: only actions that copy nothing on disk.
    CSyncPairAndAction gone;
    EXPECT_TRUE(gone.CanSetUserAction(EA_NO_COPY));
    EXPECT_TRUE(gone.CanSetUserAction(EA_COPY_STATE_MERGE_GENS));
    EXPECT_TRUE(gone.CanSetUserAction(EA_COPY_STATE_LEFT_TO_RIGHT));
    EXPECT_TRUE(gone.CanSetUserAction(EA_COPY_STATE_RIGHT_TO_LEFT));
    EXPECT_FALSE(gone.CanSetUserAction(EA_COPY_LEFT_TO_RIGHT));
    EXPECT_FALSE(gone.CanSetUserAction(EA_TIME_LEFT_TO_RIGHT));
}

TEST(SyncItem, AssignmentKeepsWhatItMustKeep) {
    CSyncPairAndAction src(ESS_SYNCED_ERR);
    src.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    src.m_nUserAction = EA_CONFLICT;
    src.m_nFlags = SPF_EXCLUDED | SPF_REINCLUDED | SPF_DONE; // 0x08 clear
    src.m_aCur[0] = File(5, 100);
    src.m_aCur[1] = Folder();
    src.m_aOld[0] = File(6, 200);
    src.m_aOld[1].m_sId = u"Old";
    src.m_aGens[0].Add(CSyncTime(1));
    src.SetMove(u"<src");
    src.SetReason(u"src reason");
    src.SetWorkBytes(99);

    CSyncPairAndAction dst;
    dst.m_nFlags = SPF_LISTED | SPF_EXECUTED | SPF_DIRECTION_SET; // no 0x02/0x04
    dst.SetReason(u"dst reason");
    dst.SetWorkBytes(1234);
    dst.EnsureStats().m_Members.m_nFiles = 3;
    dst.m_aGens[1].Add(CSyncTime(77));
    dst.m_aPendingGen[0] = 1;
    dst.m_aHoldsDataFolder[1] = 1;
    CItemLen savedLen;
    savedLen.SetValue(42);
    dst.SetSaved(0, CSyncTime(555), savedLen);
    Md5Crc md5;
    md5.m_bytes[0] = 0xAB;
    dst.SetMd5(1, md5);
    dst.SetMove(u">dst");

    dst = src;
    // Copied.
    EXPECT_EQ(dst.m_nExecState, ESS_SYNCED_ERR);
    EXPECT_EQ(dst.m_nSysAction, EA_COPY_LEFT_TO_RIGHT);
    EXPECT_EQ(dst.m_nUserAction, EA_CONFLICT);
    EXPECT_EQ(dst.m_nFlags, SPF_LISTED | SPF_EXECUTED | SPF_DIRECTION_SET | SPF_EXCLUDED | SPF_REINCLUDED);
    EXPECT_EQ(dst.m_aCur[0].m_Len.GetValue(), 5u);
    EXPECT_TRUE(dst.m_aCur[1].m_Len.IsFolder());
    EXPECT_EQ(dst.m_aOld[0].m_tAccu.GetTime(), 200u);
    EXPECT_EQ(S(dst.m_aOld[1].m_sId), u"Old");
    // Cleared.
    EXPECT_EQ(dst.GetWorkBytes(), 0u);
    EXPECT_TRUE(dst.GetReason().IsEmpty());
    EXPECT_EQ(dst.GetStats(), nullptr); // freed (the sanitizer build checks the leak)
    // Kept.
    EXPECT_TRUE(dst.m_aGens[0].IsEmpty());
    ASSERT_EQ(dst.m_aGens[1].GetSize(), 1);
    EXPECT_EQ(dst.m_aPendingGen[0], 1);
    EXPECT_EQ(dst.m_aHoldsDataFolder[1], 1);
    EXPECT_EQ(dst.GetSavedTime(0).GetTime(), 555u);
    EXPECT_EQ(dst.GetSavedLen(0).GetValue(), 42u);
    EXPECT_EQ(dst.GetMd5(1).m_bytes[0], 0xAB);
    EXPECT_TRUE(dst.GetMd5(0).IsZero());
    EXPECT_EQ(S(dst.GetMove()), u">dst");

    // Excluded flags are cleared by assigning from an item without them.
    CSyncPairAndAction plain;
    dst = plain;
    EXPECT_EQ(dst.m_nFlags, SPF_LISTED | SPF_EXECUTED | SPF_DIRECTION_SET);
}

TEST(SyncItem, SideRecordAssignmentAndFlags) {
    CSideInfo a = File(3, 50);
    a.SetFlag(SIF_LINK | SIF_VIA_LINK | SIF_CORRECTED, true);
    a.m_nFlags |= 0xC0; // bits outside the record
    a.m_nTimeShift = 3;
    a.m_nAttr = 0x11;
    a.m_sId = u"X";
    CSideInfo b;
    b = a;
    EXPECT_EQ(b.m_nFlags, SIF_PRESENT | SIF_LINK | SIF_VIA_LINK | SIF_CORRECTED);
    EXPECT_EQ(b.GetTimeShift(), 3);
    EXPECT_EQ(b.m_Len, a.m_Len);
    EXPECT_EQ(b.m_tFile, a.m_tFile);
    EXPECT_EQ(b.m_nAttr, 0x11u);
    EXPECT_EQ(S(b.m_sId), u"X");
    b.SetFolder(true);
    b.SetPresent(false);
    EXPECT_TRUE(b.IsFolder());
    EXPECT_FALSE(b.IsPresentBit());
    b.SetFolder(false);
    EXPECT_FALSE(b.IsFolder());
}

TEST(SyncItem, Md5StoredOnDemand) {
    CSyncPairAndAction it;
    it.SetMd5(0, Md5Crc()); // zero: nothing to store
    EXPECT_FALSE(it.HasMd5());
    Md5Crc md5;
    md5.m_bytes[15] = 7;
    it.SetMd5(1, md5);
    EXPECT_TRUE(it.HasMd5());
    EXPECT_EQ(it.GetMd5(1), md5);
    EXPECT_TRUE(it.GetMd5(0).IsZero());
    it.SetMd5(0, md5);
    it.SetMd5(1, Md5Crc());
    EXPECT_EQ(it.GetMd5(0), md5);
    EXPECT_TRUE(it.GetMd5(1).IsZero());
}

} // namespace

TEST(SyncItem, RareFieldsBlockComesAndGoes) {
    CSyncPairAndAction it;
    // Default values on an item without the block: nothing is allocated.
    it.SetReason(CWideString());
    it.ClearMove();
    it.SetSaved(1, CSyncTime(), CItemLen());
    it.FreeStats();
    EXPECT_FALSE(it.HasRareFields());
    // An assignment that clears the only set fields (reason, statistics) frees
    // the block; one that leaves a kept field (the move text) keeps it.
    const CSyncPairAndAction other;
    it.SetReason(u"why");
    it.EnsureStats().m_nCategory = 2;
    it = other;
    EXPECT_FALSE(it.HasRareFields());
    it.SetReason(u"why");
    it.SetMove(u">/b");
    it = other;
    EXPECT_TRUE(it.GetReason().IsEmpty());
    EXPECT_EQ(S(it.GetMove()), u">/b");
    // Two threads setting different fields of one item create one block
    // (the sanitizer builds check that neither block leaks nor races).
    for (int round = 0; round < 200; round++) {
        CSyncPairAndAction shared;
        std::thread t([&] { shared.SetReason(u"r"); });
        shared.SetMove(u"=/m");
        t.join();
        EXPECT_EQ(S(shared.GetReason()), u"r");
        EXPECT_EQ(S(shared.GetMove()), u"=/m");
    }
}

// Each side keeps its own digest where a record of it says so; the right
// side's own needs the rare-field block only while it differs from the
// left's, and a side that keeps none takes the value set on the other.
TEST(SyncItem, DigestsPerSide) {
    auto keep = [](CSyncPairAndAction& it, int s) { it.m_aOld[s].SetFlag(SIF_DIGEST, true); };
    CSyncPairAndAction it;
    it.NewDigest(5);
    keep(it, 0);
    keep(it, 1);
    EXPECT_FALSE(it.HasRareFields());
    it.SetSideDigest(0, 9); // the right side keeps 5
    EXPECT_EQ(it.Digest(0), 9u);
    EXPECT_EQ(it.Digest(1), 5u);
    EXPECT_FALSE(it.HasDigest(0));
    EXPECT_TRUE(it.HasDigest(1));
    EXPECT_TRUE(it.HasRareFields());
    keep(it, 0);
    const CSyncPairAndAction copy(it);
    EXPECT_EQ(copy.Digest(0), 9u);
    EXPECT_EQ(copy.Digest(1), 5u);
    it.SetSideDigest(1, 9); // equal again: the block goes at the next assignment
    EXPECT_EQ(it.Digest(1), 9u);
    EXPECT_TRUE(it.HasDigest(0));
    EXPECT_FALSE(it.HasDigest(1));
    it = CSyncPairAndAction();
    EXPECT_FALSE(it.HasRareFields());
    // Read as a state file gives them: the left side's first, then the right's.
    it.SetSideDigest(0, 3);
    keep(it, 0);
    it.SetSideDigest(1, 4);
    keep(it, 1);
    EXPECT_EQ(it.Digest(0), 3u);
    EXPECT_EQ(it.Digest(1), 4u);
    it = copy;
    EXPECT_EQ(it.Digest(0), 9u);
    EXPECT_EQ(it.Digest(1), 5u);
    it.NewDigest(5); // the right side's stays marked, the left's loses its mark
    EXPECT_FALSE(it.HasDigest(0));
    EXPECT_TRUE(it.HasDigest(1));
    EXPECT_EQ(it.Digest(0), 5u);
    EXPECT_EQ(it.Digest(1), 5u);
    // The right side keeps none: the left's value is taken by both.
    CSyncPairAndAction one;
    one.SetSideDigest(1, 6);
    EXPECT_EQ(one.Digest(0), 6u);
    EXPECT_FALSE(one.HasRareFields());
}

TEST(SyncItem, InvalidateMarksAPresentDeletedRecord) {
    CSideInfo r;
    r.SetFlag(SIF_LINK, true);
    r.Invalidate(true);
    EXPECT_TRUE(r.IsPresentBit());
    EXPECT_TRUE(r.IsFolder());
    EXPECT_FALSE(r.GetFlag(SIF_LINK));
    EXPECT_FALSE(r.Exists()); // deleted length
    EXPECT_EQ(r.m_nAttr, 0xFFFFFFFFu);
}
