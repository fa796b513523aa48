// The decision rules on hand-built trees: generation comparison, the action
// table, time-shift arithmetic, move pairing, categories and the counting
// passes.
#include "fake-fs.h"
#include "job-harness.h"

#include "zor-debug.h"

namespace {

// A side record: a file of len bytes at time t, a folder (len -2), deleted
// (-1) or not listed (-3).
CSideInfo Rec(int64_t len, uint32_t t = 1000) {
    CSideInfo r;
    if (len == -3) return r;
    r.SetPresent(true);
    if (len == -2) {
        r.SetFolder(true);
        r.m_Len.SetFolder();
    } else if (len == -1) {
        r.m_Len.SetDeleted();
    } else {
        r.m_Len.SetValue((uint64_t)len);
    }
    r.m_tFile = r.m_tAccu = CSyncTime(t);
    return r;
}

CGenArray Gens(std::initializer_list<uint32_t> l) {
    CGenArray g;
    for (uint32_t t : l) g.Add(CSyncTime(t));
    return g;
}

class DecideTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.Attach(job);
        job.m_nActivity.store(JA_ANALYZING);
    }
    void TearDown() override { job.SetProgressSink(&g_DummyJobProgress); }

    CSyncTreeNode* Add(const CWideString& path, const CSideInfo& l, const CSideInfo& r) {
        CSyncTreeNode* p = &job.m_Tree;
        CWideString rest = path.Mid(1);
        for (;;) {
            const int i = rest.Find(u'/');
            const CWideString name = i < 0 ? rest : rest.Left(i);
            CWideString e;
            CSyncTreeNode* c = CSyncTreeNode::LookupCS(p, name, false, nullptr, e);
            if (!c) c = p->AddItemCS(name, i >= 0 || l.IsFolder() || r.IsFolder(), false, nullptr, e);
            p = c;
            if (i < 0) break;
            p->GetItem().m_aCur[0] = p->GetItem().m_aCur[1] = Rec(-2);
            rest = rest.Mid(i + 1);
        }
        p->GetItem().m_aCur[0] = l;
        p->GetItem().m_aCur[1] = r;
        return p;
    }
    std::string Act(CSyncTreeNode* p) { return ToU8(GetActionName(p->GetItem().GetEffAction())); }

    CJobHarness h;
    CSyncJob job;
};

// ---------------------------------------------------------------- generations

TEST(Generations, CompareGenerationsTable) {
    struct Row {
        CGenArray L, R;
        bool pL, pR, same;
        int result, how;
    } rows[] = {
        {Gens({10}), Gens({10}), false, false, false, 0, 0},
        {Gens({10}), Gens({10}), true, false, false, 1, 0},
        {Gens({10}), Gens({10}), false, true, false, -1, 0},
        {Gens({10}), Gens({10}), true, true, false, 2, 2},
        {Gens({}), Gens({}), true, true, false, 2, 1},
        {Gens({10}), Gens({11}), false, false, false, 0, 1},    // within 2 s: inexact
        {Gens({10}), Gens({20}), false, false, false, 2, 1},    // no common history
        {Gens({10, 20}), Gens({10}), false, false, false, 1, 0},
        {Gens({10, 20}), Gens({10, 30}), false, false, false, 2, 2},
        {Gens({10}), Gens({}), false, true, true, 1, 1},        // same now, right has no history
        {Gens({}), Gens({10}), true, false, true, -1, 1},
    };
    for (size_t i = 0; i < std::size(rows); i++) {
        const Row& r = rows[i];
        int result = 9, how = 9;
        CompareGenerations(r.L, r.R, r.pL, r.pR, r.same, result, how);
        EXPECT_EQ(result, r.result) << i;
        EXPECT_EQ(how, r.how) << i;
    }
}

TEST(Generations, MergeForCopyAndPendingGeneration) {
    CGenArray L = Gens({10, 30}), R = Gens({20, 30, 40});
    MergeGenerationsForCopy(L, R, false, false, -1, 1);
    EXPECT_EQ(R, Gens({10, 20, 30, 40}));
    EXPECT_EQ(L, Gens({10, 30}));
    CGenArray L2 = Gens({5}), R2;
    MergeGenerationsForCopy(L2, R2, false, true, -1, 1); // right had no history: takes the left's
    EXPECT_EQ(R2, Gens({5}));
    CGenArray L3, R3 = Gens({7});
    MergeGenerationsForCopy(L3, R3, true, false, 1, 0);
    EXPECT_EQ(L3, Gens({7}));

    CSyncJob job;
    job.m_aScanTime[1] = CSyncTime(99);
    CSyncPairAndAction item;
    item.m_aGens[1] = Gens({50});
    AddPendingGeneration(item, job, 1); // not pending: nothing
    EXPECT_EQ(item.m_aGens[1], Gens({50}));
    item.m_aPendingGen[1] = 1;
    AddPendingGeneration(item, job, 1);
    EXPECT_EQ(item.m_aGens[1], Gens({50, 99}));
    EXPECT_EQ(item.m_aPendingGen[1], 0);
}

// ---------------------------------------------------------------- decision table

TEST_F(DecideTest, DecisionRows) {
    struct Row {
        const char16_t* path;
        CSideInfo l, r;
        CGenArray gl, gr;
        bool pl, pr;
        const char* action;
        const char* reason;
    } rows[] = {
        {u"/same", Rec(5), Rec(5), Gens({10}), Gens({10}), false, false, "NO_COPY", ""},
        {u"/samePendL", Rec(5), Rec(5), Gens({10}), Gens({10}), true, false, "EA_COPY_STATE_MERGE_GENS", ""},
        {u"/sameFolder", Rec(-2), Rec(-2), Gens({10}), Gens({10}), false, false, "NO_COPY", ""},
        {u"/newFolders", Rec(-2), Rec(-2), Gens({}), Gens({}), true, true, "EA_COPY_STATE_MERGE_GENS", ""},
        {u"/changedL", Rec(6), Rec(5), Gens({10}), Gens({10}), true, false, "COPY_LEFT_TO_RIGHT", ""},
        {u"/both", Rec(6), Rec(7), Gens({10}), Gens({10}), true, true, "CONFLICT",
         "Conflict: File Modified on Both Sides"},
        {u"/newDiff", Rec(6), Rec(7), Gens({}), Gens({}), true, true, "CONFLICT", "Conflict: New files that differ"},
        {u"/newSame", Rec(6), Rec(6), Gens({}), Gens({}), true, true, "EA_COPY_STATE_MERGE_GENS", ""},
        {u"/delR", Rec(6), Rec(-1), Gens({10}), Gens({10}), false, true, "COPY_RIGHT_TO_LEFT", ""},
        // On neither side, recorded by one side's state alone: nothing is
        // passed on, and that record is not kept.
        {u"/onlyRightOld", Rec(-3), Rec(-1), Gens({}), Gens({10}), false, false, "NO_COPY", ""},
        {u"/inexact", Rec(5), Rec(5), Gens({10}), Gens({11}), false, false, "EA_COPY_STATE_MERGE_GENS", ""},
        {u"/hour", Rec(5, 1000), Rec(5, 4600), Gens({10}), Gens({10}), false, false, "TIME_RIGHT_TO_LEFT", ""},
        {u"/notHour", Rec(5, 1000), Rec(5, 4605), Gens({10}), Gens({10}), false, false, "CONFLICT",
         "Conflict: File Modified on Both Sides (but same generations)"},
    };
    for (Row& r : rows) {
        CSyncTreeNode* p = Add(r.path, r.l, r.r);
        CSyncPairAndAction& it = p->GetItem();
        it.m_aOld[0] = r.l.Exists() || r.l.IsPresentBit() ? Rec(5) : CSideInfo();
        it.m_aOld[1] = Rec(5);
        it.m_aGens[0] = r.gl;
        it.m_aGens[1] = r.gr;
        it.m_aPendingGen[0] = r.pl;
        it.m_aPendingGen[1] = r.pr;
    }
    CSyncTreeNode* pErr = Add(u"/err", Rec(5), Rec(5));
    pErr->GetItem().m_nExecState = ESS_ANALYZED_ERR;
    CSyncTreeNode* pExcl = Add(u"/excl", Rec(5), Rec(6));
    pExcl->GetItem().m_nFlags |= SPF_EXCLUDED;
    job.DecideActions(&job.m_Tree);
    for (const Row& r : rows) {
        CWideString e;
        CSyncTreeNode* p = job.m_Tree.LookupCS(r.path, false, nullptr, e);
        EXPECT_EQ(Act(p), r.action) << ToU8(r.path);
        EXPECT_EQ(ToU8(p->GetItem().GetReason()), r.reason) << ToU8(r.path);
    }
    EXPECT_EQ(Act(pErr), "ERROR");
    EXPECT_EQ(Act(pExcl), "NO_COPY");
    {
        CWideString e;
        const CSyncPairAndAction& only = job.m_Tree.LookupCS(u"/onlyRightOld", false, nullptr, e)->GetItem();
        EXPECT_FALSE(only.m_aOld[1].IsPresentBit() || only.m_aOld[0].IsPresentBit());
        EXPECT_TRUE(only.m_aGens[1].IsEmpty());
    }

    // MD5: equal size and time but different values conflict; an all-zero
    // value on either side disables the rule.
    job.m_Options.m_bCompareMD5crc = true;
    CSyncTreeNode* pMd5 = Add(u"/md5", Rec(5), Rec(5));
    pMd5->GetItem().m_aGens[0] = pMd5->GetItem().m_aGens[1] = Gens({10});
    Md5Crc a, b;
    a.m_bytes[0] = 1;
    b.m_bytes[0] = 2;
    pMd5->GetItem().SetMd5(0, a);
    pMd5->GetItem().SetMd5(1, b);
    job.DecideActions(&job.m_Tree);
    EXPECT_EQ(Act(pMd5), "CONFLICT");
    EXPECT_EQ(ToU8(pMd5->GetItem().GetReason()), "Same per size and mod time but different per MD5");
}

// ---------------------------------------------------------------- time shifts

TEST(TimeShift, WholeHoursKeysAndRounding) {
    struct Row {
        uint32_t a, b;
        bool bShift;
        int hours;
    } rows[] = {
        {3598, 0, true, 1},      {3602, 0, true, 1},       {3603, 0, false, 0},    {7202, 2, true, 2},
        {2, 7205, false, 0},     {0, 7200, true, -2},      {4, 0, false, 0},
        // Far apart: no 32-bit wrap turns these into a small shift.
        {0x7FFFFFFFu, 0, false, 0}, {0, 0xFFFFF1F0u, false, 0}, {0x7FFFFFFFu, 0x80001C20u, true, -2},
    };
    for (const Row& r : rows) {
        int h = 99;
        EXPECT_EQ(IsWholeHourShift(r.a, r.b, h), r.bShift) << r.a << " " << r.b;
        if (r.bShift) {
            EXPECT_EQ(h, r.hours) << r.a << " " << r.b;
        }
    }
    int type = 0, hours = 0;
    SplitTimeShiftKey(TimeShiftKey(2, -5), type, hours);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(hours, -5);
    EXPECT_EQ(TimeShiftKey(0, 8000), 0);
    EXPECT_NE(TimeShiftKey(1, 0), 0);

    // 12:00:00 against 12:00:37 is a type-1 shift of 0 hours once rounding is on.
    CTimeShiftTable t;
    int16_t keys[4] = {0, 0, 0, 0};
    CountTimeShiftKeys(43237, 43200, false, keys, t);
    EXPECT_TRUE(t.IsEmpty());
    CountTimeShiftKeys(43237, 43200, true, keys, t);
    int32_t n = 0;
    EXPECT_TRUE(t.Lookup(TimeShiftKey(1, 0), n));
    EXPECT_EQ(n, 1);
    EXPECT_EQ((uint16_t)keys[1], TimeShiftKey(1, 0));
}

TEST_F(DecideTest, NewOldShiftNeedsEnoughFiles) {
    struct Case {
        int nMoved;
        int64_t shift;
        bool bAccepted;
        const char* message;
    } cases[] = {
        {6, 3600, true, "Left: Old-New Time Shift of 1 hours detected for 12% (6/50) of files"},
        {4, 3600, false, "New-Old Time Shift of 1 hours at 4 files: drop because not enough files"},
        {10, 25 * 3600, false, ""},
    };
    auto plan = std::make_shared<CFakeFsPlan>();
    plan->SetCap(TVFS_CAP_EXPECTS_TIME_SHIFT, 1); // a fat-like side: accepted shifts are applied
    for (const Case& c : cases) {
        job.ResetTree();
        h.m_sink.ClearRecords();
        job.m_apFs[0].reset(new CFakeFs(plan));
        for (int i = 0; i < 50; i++) {
            CSyncTreeNode* p = Add(CWideString::Formatted(u"/f%d", (int64_t)i), Rec(10, 100000), CSideInfo());
            p->GetItem().m_aOld[0] = Rec(10, 100000);
            p->GetItem().m_aGens[0] = Gens({10});
            if (i < c.nMoved) p->GetItem().m_aCur[0].m_tFile = CSyncTime(100000 + (uint32_t)c.shift);
        }
        uint32_t nChanged = 0;
        CSyncTime t(5000);
        job.AnalyzeSideChanges(&job.m_Tree, &t, 0, nChanged);
        EXPECT_EQ(nChanged, c.bAccepted ? 0u : (uint32_t)c.nMoved) << c.nMoved;
        std::string all;
        for (const auto& l : h.m_sink.Lines()) all += ToU8(l.text);
        if (*c.message)
            EXPECT_NE(all.find(c.message), std::string::npos) << all;
        else
            EXPECT_EQ(all.find("Time Shift"), std::string::npos) << all; // 25 hours: dropped without a word
    }
}

// ---------------------------------------------------------------- conflicts resolved by time

TEST_F(DecideTest, NewerWinsUsesTheWholeTimeRange) {
    job.m_Options.m_nAutoResolveConflicts = 3;
    job.m_nRunKind = RK_AUTOMATIC;
    struct Row {
        uint32_t l, r;
        const char* action;
    } rows[] = {{0, 0xFFFFFF00u, "COPY_RIGHT_TO_LEFT"}, {0xFFFFFF00u, 0, "COPY_LEFT_TO_RIGHT"},
                {500, 500, "CONFLICT"}};
    for (const Row& r : rows) {
        job.ResetTree();
        h.m_sink.ClearRecords();
        CSyncTreeNode* p = Add(u"/c", Rec(5, r.l), Rec(6, r.r));
        p->GetItem().m_nSysAction = EA_CONFLICT;
        CAutoResolveConflicts pass;
        job.DoForSubtree(&job.m_Tree, pass, false);
        EXPECT_EQ(Act(p), r.action) << r.l;
    }
    EXPECT_EQ(h.m_sink.Lines().back().level, 1);
    EXPECT_EQ(ToU8(h.m_sink.Lines().back().text),
              "Cannot autoresolve the conflict because time is the same on both sides: /c\n");

    // The user's resolution: newer wins, equal times are refused.
    job.ResetTree();
    CSyncTreeNode* a = Add(u"/d/a", Rec(5, 100), Rec(6, 200));
    CSyncTreeNode* b = Add(u"/d/b", Rec(5, 300), Rec(6, 300));
    a->GetItem().m_nSysAction = b->GetItem().m_nSysAction = EA_CONFLICT;
    EXPECT_TRUE(job.ResolveConflictByUser(&job.m_Tree, 0));
    EXPECT_EQ(Act(a), "COPY_RIGHT_TO_LEFT");
    EXPECT_EQ(a->GetItem().m_nUserAction, EA_COPY_RIGHT_TO_LEFT);
    EXPECT_EQ(Act(b), "CONFLICT");
    EXPECT_EQ(ToU8(h.m_sink.Lines().back().text),
              "Cannot resolve conflict because time is the same on both sides: /d/b\n");
}

// ---------------------------------------------------------------- moves

TEST_F(DecideTest, MovePairingByFullLengthTimeAndName) {
    const uint64_t k4G = 1ull << 32;
    struct Row {
        const char16_t* path;
        int64_t len;
        bool bNew;
    } rows[] = {
        {u"/a/x.bin", 100, false}, {u"/b/x.bin", 100, true},      // same name wins over...
        {u"/a/y.bin", 100, false},                                // ...another delete of the same key
        {u"/c/n1", 7, true},       {u"/c/n2", 7, true},           // two new and two deleted with one key:
        {u"/c/o1", 7, false},      {u"/c/o2", 7, false},          // either could be either, none is linked
        {u"/d/small", 5, false},   {u"/d/big", (int64_t)(k4G + 5), true}, // 4 GiB apart: never paired
        {u"/e/z", 9, false},       {u"/f/z", 9, false},           // one name twice on each side:
        {u"/g/z", 9, true},        {u"/h/z", 9, true},            // the name decides nothing
    };
    for (const Row& r : rows) {
        CSyncTreeNode* p = r.bNew ? Add(r.path, Rec(r.len), CSideInfo()) : Add(r.path, CSideInfo(), Rec(r.len));
        CSyncPairAndAction& it = p->GetItem();
        it.m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
        if (!r.bNew) {
            it.m_aCur[0] = Rec(-1);
            it.m_aOld[1] = Rec(r.len);
        }
    }
    job.DetectMovesAndRenames(&job.m_Tree);
    auto mv = [&](const char16_t* path) {
        CWideString e;
        return ToU8(job.m_Tree.LookupCS(path, false, nullptr, e)->GetItem().GetMove());
    };
    EXPECT_EQ(mv(u"/b/x.bin"), "</a/x.bin");
    EXPECT_EQ(mv(u"/a/y.bin"), "");
    EXPECT_EQ(mv(u"/c/n1"), "");
    EXPECT_EQ(mv(u"/c/o1"), "");
    EXPECT_EQ(mv(u"/c/n2"), "");
    EXPECT_EQ(mv(u"/c/o2"), "");
    EXPECT_EQ(mv(u"/d/big"), "");
    EXPECT_EQ(mv(u"/d/small"), "");
    EXPECT_EQ(mv(u"/g/z"), "");
    EXPECT_EQ(mv(u"/h/z"), "");
}

// ---------------------------------------------------------------- categories

TEST_F(DecideTest, CategoriesAndFolderRecords) {
    CSyncTreeNode* f = Add(u"/dir/new.txt", Rec(5), CSideInfo());
    f->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    const std::vector<int> inNew = {0, 1, 4, 6, 9, 23, 24};
    for (int c = 0; c < CAT_COUNT; c++)
        EXPECT_EQ(ItemInCategory(&f->GetItem(), c), std::count(inNew.begin(), inNew.end(), c) == 1) << c;
    f->GetItem().SetMove(u"</x");
    EXPECT_TRUE(ItemInCategory(&f->GetItem(), CAT_MOVE_LTOR));
    EXPECT_FALSE(ItemInCategory(&f->GetItem(), CAT_NEW_COPY));
    f->GetItem().SetMove(u"=/x");
    EXPECT_FALSE(ItemInCategory(&f->GetItem(), CAT_MOVE_LTOR) || ItemInCategory(&f->GetItem(), CAT_COPY_LTOR));
    f->GetItem().ClearMove();

    CSyncTreeNode* e = Add(u"/excl.txt", Rec(5), CSideInfo());
    e->GetItem().m_nFlags |= SPF_EXCLUDED;
    e->GetItem().m_nExecState = ESS_ANALYZED_ERR;
    for (int c = 0; c < CAT_COUNT; c++)
        EXPECT_EQ(ItemInCategory(&e->GetItem(), c), c == 0 || c == 5 || c == 24) << c;
    CSyncTreeNode* t2 = Add(u"/t2", Rec(5, 1000), Rec(5, 1002));
    CSyncTreeNode* t3 = Add(u"/t3", Rec(5, 1000), Rec(5, 1003));
    EXPECT_FALSE(ItemInCategory(&t2->GetItem(), CAT_SAME_LEN_TIME_DIFFERS));
    EXPECT_TRUE(ItemInCategory(&t3->GetItem(), CAT_SAME_LEN_TIME_DIFFERS));

    CCategoryStats stats;
    FolderStatsRecord* root = ComputeCategoryStats(&job.m_Tree, stats, CAT_NEW_COPY);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->m_Members.m_nFiles, 1u);
    EXPECT_EQ(root->m_RightOper.m_nBytes, 5u);
    EXPECT_EQ(stats.m_aCounts[CAT_EXISTING].m_nFiles, 4u);
    EXPECT_EQ(stats.m_aCounts[CAT_EXISTING].m_nFolders, 1u);
    CSyncTreeNode* dir = f->GetParent();
    EXPECT_TRUE(IsInCategory(dir, CAT_NEW_COPY));
    // The folder's record was built for new copies: it says nothing about
    // other categories (a user edit there must not reach this folder).
    EXPECT_FALSE(IsInCategory(dir, CAT_CONFLICT));
    EXPECT_FALSE(IsInCategory(dir, CAT_DELETE));
    int n = 0;
    for (CCategoryIter it(&job.m_Tree, CAT_NEW_COPY); it.IsValid(); it.Next()) ++n;
    EXPECT_EQ(n, 2); // the folder and its file
}

// ---------------------------------------------------------------- counting

TEST_F(DecideTest, RequiredSpaceAndWorkBytes) {
    EXPECT_EQ(RoundUpToBlock(0, 0), 0u);
    EXPECT_EQ(RoundUpToBlock(1, 0), 1024u);
    EXPECT_EQ(RoundUpToBlock(1024, 1024), 1024u);
    EXPECT_EQ(RoundUpToBlock(1025, 1024), 2048u);

    struct Case {
        bool bPrev, bTemp;
        uint64_t required;
        int64_t running;
    } cases[] = {{true, true, 20480, 20480}, {false, false, 10240, 10240}};
    for (const Case& c : cases) {
        job.ResetTree();
        job.m_Options.m_bSavePreviousVersion = c.bPrev;
        job.m_Options.m_bSavePastVersions = false;
        job.m_Options.m_bCopyUsingTempFile = c.bTemp;
        CSyncTreeNode* p = Add(u"/over", Rec(20000), Rec(10000));
        p->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
        job.ComputeRequiredSpace();
        EXPECT_EQ(job.m_aDiskSpace[1].m_nRequired, c.required);
        EXPECT_EQ(job.m_aDiskSpace[1].m_nRunning, c.running);
        EXPECT_EQ(job.m_anRequiredBytes[1], (int64_t)c.required);
    }
    // A delete frees space; the required bytes never go down.
    CSyncTreeNode* d = Add(u"/zdel", Rec(-1), Rec(3000));
    d->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    job.ComputeRequiredSpace();
    EXPECT_EQ(job.m_aDiskSpace[1].m_nRequired, 10240u);
    EXPECT_EQ(job.m_aDiskSpace[1].m_nRunning, 10240 - 3072);

    job.ResetTree();
    CSyncTreeNode* one = Add(u"/one", Rec(1), CSideInfo());
    CSyncTreeNode* zero = Add(u"/zero", Rec(0), CSideInfo());
    CSyncTreeNode* moved = Add(u"/moved", CSideInfo(), Rec(4000));
    one->GetItem().m_nSysAction = zero->GetItem().m_nSysAction = EA_COPY_LEFT_TO_RIGHT;
    moved->GetItem().m_nSysAction = EA_COPY_RIGHT_TO_LEFT;
    moved->GetItem().SetMove(u"</x");
    CDoCountBytesOpers count;
    job.DoForSubtree(&job.m_Tree, count, false);
    EXPECT_EQ(one->GetItem().GetWorkBytes(), 512u);
    EXPECT_EQ(zero->GetItem().GetWorkBytes(), 0u);
    EXPECT_EQ(moved->GetItem().GetWorkBytes(), 512u);
    EXPECT_EQ(count.m_nOpers, 3u);
    EXPECT_EQ(count.m_nTotal, 1024u);
}

TEST_F(DecideTest, LockPassFindsANewNestedDataFolder) {
    ASSERT_TRUE(h.m_tmp.MakeDir("side/sub/_tvdata_"));
    TvConnectInfo ci;
    ci.m_sUrl = h.m_tmp.Path("side");
    job.m_Options.m_Dir1 = ci;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(job.ConnectSide(0, k, e)) << ToU8(e);
    CSyncTreeNode* sub = Add(u"/sub", Rec(-2), CSideInfo());
    CDoLockEmbeddedStates pass;
    pass.m_bRescan = 1;
    EXPECT_TRUE(pass.DoWithPair(sub, &job)) << ToU8(pass.m_sErrText);
    EXPECT_EQ(sub->GetItem().m_aHoldsDataFolder[0], 1);
    bool bSaw = false;
    for (const auto& n : h.m_sink.Notices()) bSaw |= ToU8(n.text).find("_TvData_ rescan detected new folder ") == 0;
    EXPECT_TRUE(bSaw);
    EXPECT_TRUE(job.m_HeldLocks.GetCount() == 1);
    job.UnlockFolders();
    job.DisconnectSides();
}

TEST_F(DecideTest, VerticalConflictsBetweenAFolderAndItsChild) {
    struct Row {
        uint8_t parent, child;
        const char* childReason;
    } rows[] = {
        {EA_COPY_LEFT_TO_RIGHT, EA_TIME_RIGHT_TO_LEFT,
         "Sync will Copy Folder /d from Left to Right, yet its child file /d/f will Copy from Right to Left "
         "(Vertical Conflict)"},
        {EA_COPY_RIGHT_TO_LEFT, EA_COPY_LEFT_TO_RIGHT,
         "Sync will Copy Folder /d from Right to Left, yet its child file /d/f will Copy from Left to Right "
         "(Vertical Conflict)"},
        {EA_COPY_RIGHT_TO_LEFT, EA_COPY_RIGHT_TO_LEFT, ""},
    };
    for (const Row& r : rows) {
        job.ResetTree();
        CSyncTreeNode* f = Add(u"/d/f", Rec(5), Rec(5));
        CSyncTreeNode* d = f->GetParent();
        d->GetItem().m_nSysAction = r.parent;
        f->GetItem().m_nSysAction = r.child;
        f->GetItem().m_aPendingGen[0] = 1;
        CDoDetectVerticalDeleteConflicts pass;
        job.DoForSubtree(&job.m_Tree, pass, false);
        EXPECT_EQ(ToU8(f->GetItem().GetReason()), r.childReason);
        if (*r.childReason) {
            EXPECT_EQ(Act(f), "CONFLICT");
            EXPECT_EQ(Act(d), "CONFLICT");
            EXPECT_EQ(f->GetItem().m_aPendingGen[0], 0);
        }
    }
}

} // namespace
