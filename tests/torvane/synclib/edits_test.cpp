// A user's edits of the analysed tree: the choice for one item and the
// passes that carry it up and down the tree.
#include "job-harness.h"
#include "test-tmp.h"

#include "syncjob.h"
#include "zor-debug.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/time.h>

namespace {

// A file item present on the sides asked for (length 10), or a folder.
CSyncPairAndAction Item(uint8_t sys, bool bLeft = true, bool bRight = true, bool bFolder = false,
                        uint8_t state = ESS_ANALYZED_OK) {
    CSyncPairAndAction item;
    for (int side = 0; side < 2; ++side) {
        if (!(side ? bRight : bLeft)) continue;
        CSideInfo& s = item.m_aCur[side];
        s.SetPresent(true);
        s.SetFolder(bFolder);
        if (bFolder)
            s.m_Len.SetFolder();
        else
            s.m_Len.SetValue(10);
    }
    item.m_nSysAction = sys;
    item.m_nExecState = state;
    item.SetMove(u">/b.txt");
    return item;
}

class EditsTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    void SetUp() override {
        h.Attach(job);
        job.SetName(u"J");
    }
    int32_t Change(CSyncPairAndAction& item, uint8_t req) {
        uint8_t r = 0;
        return ChangeUserAction(item, &job, req, r, u"/a.txt");
    }
};

TEST_F(EditsTest, RefusalsAndChoices) {
    struct Case {
        const char* what;
        CSyncPairAndAction item;
        uint8_t user; // the user action before
        uint8_t req;
        int32_t nResult;
        uint8_t nUserAfter;
    };
    CSyncPairAndAction longer = Item(EA_COPY_LEFT_TO_RIGHT);
    longer.m_aCur[1].m_Len.SetValue(11);
    Case cases[] = {
        {"a synced file cannot be edited", Item(EA_COPY_LEFT_TO_RIGHT, true, true, false, ESS_SYNCED_OK), 0,
         EA_BIT_TO_LEFT, 0, 0},
        {"nor one that failed analysis", Item(EA_COPY_LEFT_TO_RIGHT, true, true, false, ESS_ANALYZED_ERR), 0,
         EA_BIT_TO_LEFT, 0, 0},
        {"a synced folder can", Item(EA_COPY_LEFT_TO_RIGHT, true, false, true, ESS_SYNCED_OK), 0,
         EA_BIT_NO_DIRECTION, 1, EA_NO_COPY},
        {"do-not-copy on a conflict clears the earlier choice", Item(EA_CONFLICT), EA_COPY_LEFT_TO_RIGHT,
         EA_BIT_NO_DIRECTION, 1, 0},
        {"copy-time with different lengths", longer, 0, EA_TIME_LEFT_TO_RIGHT, 0, 0},
        {"copy-time on a folder", Item(EA_NO_COPY, true, true, true), 0, EA_TIME_RIGHT_TO_LEFT, 1, 0},
        {"an item in sync keeps its action", Item(EA_NO_COPY), 0, EA_BIT_TO_RIGHT, 1, 0},
        {"a direction", Item(EA_CONFLICT), 0, EA_BIT_TO_RIGHT, 1, EA_COPY_LEFT_TO_RIGHT},
        {"back to the system's own", Item(EA_COPY_RIGHT_TO_LEFT), EA_COPY_LEFT_TO_RIGHT, EA_BIT_TO_LEFT, 1,
         0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.item.m_nUserAction = c.user;
        EXPECT_EQ(Change(c.item, c.req), c.nResult);
        EXPECT_EQ(c.item.m_nUserAction, c.nUserAfter);
        // Past the state test an edit, even a refused one, breaks a detected move.
        EXPECT_EQ(c.item.GetMove().IsEmpty(), &c - cases >= 2);
    }
    EXPECT_EQ(cases[7].item.m_aPendingGen[0], 1); // the left wins
    EXPECT_EQ(cases[7].item.m_aPendingGen[1], 0);
    EXPECT_EQ(
        h.m_sink.Dump(),
        "2/0: === User Changed Action from 'COPY_LEFT_TO_RIGHT' to 'NO_COPY' on item /a.txt\n"
        "2/0: === User Changed Action from 'CONFLICT' to 'COPY_LEFT_TO_RIGHT' on item /a.txt\n"
        "2/0: === User Reverts Action form 'COPY_LEFT_TO_RIGHT' to 'COPY_RIGHT_TO_LEFT' on item /a.txt\n");
}

TEST_F(EditsTest, ExclusionFollowsTheDirection) {
    // An excluded file inside a folder that is deleted on the left: the
    // deletion pass included it (flag 0x04) with the folder's action.
    CSyncPairAndAction item = Item(EA_COPY_LEFT_TO_RIGHT, false, true);
    item.m_nFlags |= SPF_REINCLUDED;
    item.SetReason(u"why");
    // A real copy (right to left, the right present) excludes it again.
    ASSERT_EQ(Change(item, EA_BIT_TO_LEFT), 1);
    EXPECT_TRUE(item.IsExcluded());
    EXPECT_EQ(item.m_nUserAction, EA_NO_COPY);
    EXPECT_EQ(ToU8(item.GetReason()), "excluded again: why");
    // The deleting direction includes it again.
    ASSERT_EQ(Change(item, EA_BIT_TO_RIGHT), 1);
    EXPECT_FALSE(item.IsExcluded());
    EXPECT_EQ(item.GetEffAction(), EA_COPY_LEFT_TO_RIGHT);
    EXPECT_EQ(ToU8(item.GetReason()), "included again: excluded again: why");
}

// ---------------------------------------------------------------- edits of an analysed tree

class EditRunTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.MakeDir("L/d"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R/d"));
        h.Attach(job);
        job.SetName(u"J");
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
    }
    CSyncTreeNode* Node(const char16_t* path) {
        CWideString e;
        return CSyncTreeNode::LookupCS(&job.m_Tree, path, false, nullptr, e);
    }
    std::string Act(const char16_t* path) {
        CSyncTreeNode* p = Node(path);
        return p ? ToU8(GetActionName(p->GetItem().GetEffAction())) : "<no node>";
    }
    void Put(const std::string& rel, const std::string& text, int64_t t = 1600000000) {
        ASSERT_TRUE(h.m_tmp.WriteFile(rel, text));
        struct timeval tv[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
        ASSERT_EQ(utimes(h.m_tmp.NativeSub(rel).c_str(), tv), 0);
    }
    std::string Read(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return TvStreamText(f);
    }
};

TEST_F(EditRunTest, FolderEditReachesTheSelectedCategoryAndDoNotCopyIsProposedAgain) {
    Put("L/d/x.txt", "only left");
    Put("L/d/y.txt", "left");
    Put("R/d/y.txt", "right side");
    ASSERT_TRUE(h.Run(job, true, false).bOk) << h.m_sink.Dump();
    ASSERT_EQ(Act(u"/d/y.txt"), "CONFLICT");
    ASSERT_EQ(Act(u"/d/x.txt"), "COPY_LEFT_TO_RIGHT");

    // Not while a run works on the tree.
    job.m_nViewWord = CAT_CONFLICT;
    const int nActivity = job.m_nActivity.load();
    job.m_nActivity.store(JA_ANALYZING);
    const long nAsserts = ZorAssertCount();
    job.UserChangeActionOnSubtree(Node(u"/d"), EA_BIT_TO_LEFT, false);
    EXPECT_EQ(ZorAssertCount(), nAsserts + 1);
    EXPECT_EQ(Act(u"/d/y.txt"), "CONFLICT");
    job.m_nActivity.store(nActivity);

    h.m_sink.ClearRecords();
    job.UserChangeActionOnSubtree(Node(u"/d"), EA_BIT_TO_LEFT, false);
    EXPECT_EQ(Act(u"/d/y.txt"), "COPY_RIGHT_TO_LEFT");
    EXPECT_EQ(Act(u"/d/x.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(h.m_sink.Dump(),
              "2/0: === User Changed Action from 'CONFLICT' to 'COPY_RIGHT_TO_LEFT' on item /d/y.txt\n"
              "2/0: Done\n");
    EXPECT_TRUE(job.GetRunLogName().EndsWith(u"-user-action.log"));

    // Do-not-copy on a copy: the target stays as it is, the next Analyze proposes the copy again.
    job.UserChangeActionOnSubtree(Node(u"/d/x.txt"), EA_BIT_NO_DIRECTION, false);
    EXPECT_EQ(Act(u"/d/x.txt"), "NO_COPY");
    EXPECT_EQ(h.Run(job, false, true).nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_FALSE(h.m_tmp.Exists("R/d/x.txt"));
    EXPECT_EQ(Read("L/d/y.txt"), "right side");
    ASSERT_TRUE(h.Run(job, true, false).bOk);
    EXPECT_EQ(Act(u"/d/x.txt"), "COPY_LEFT_TO_RIGHT");
}

TEST_F(EditRunTest, ForgottenStateThenTheUsersDirectionCarriedOutBySyncOnly) {
    Put("L/a.txt", "same");
    Put("R/a.txt", "same");
    Put("L/b.txt", "same");
    Put("R/b.txt", "same");
    ASSERT_EQ(h.Run(job, true, true).nSub, RSS_OK) << h.m_sink.Dump();
    int failed = 0, k = 0;
    CWideString e;
    ASSERT_TRUE(job.ConnectSides(failed, k, e)) << ToU8(e);
    job.ForgetSideState(0);
    job.ForgetSideState(1);
    job.DisconnectSides();
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_file_state_v4._tv"));
    EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_/_insync_v4.tvl"));
    Put("L/a.txt", "changed on the left", 1600000100);

    auto r = h.Run(job, true, false);
    ASSERT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(Act(u"/a.txt"), "CONFLICT");
    EXPECT_EQ(ToU8(Node(u"/a.txt")->GetItem().GetReason()), "Conflict: New files that differ");
    EXPECT_EQ(Act(u"/b.txt"), "EA_COPY_STATE_MERGE_GENS");

    h.m_sink.ClearRecords();
    job.UserChangeActionOnSubtree(Node(u"/a.txt"), EA_BIT_TO_RIGHT, false);
    EXPECT_NE(h.m_sink.Dump().find(
                  "=== User Changed Action from 'CONFLICT' to 'COPY_LEFT_TO_RIGHT' on item /a.txt\n"),
              std::string::npos);
    r = h.Run(job, false, true);
    EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_EQ(Read("R/a.txt"), "changed on the left");
    EXPECT_EQ(Read("R/_tvdata_/_saved_/a.txt"), "same");
}

TEST_F(EditRunTest, AFolderConflictResolvedLeftWinsThenSyncOnly) {
    Put("L/d/x.txt", "x");
    Put("R/d/x.txt", "x");
    Put("L/d/y.txt", "y");
    Put("R/d/y.txt", "y");
    ASSERT_EQ(h.Run(job, true, true).nSub, RSS_OK) << h.m_sink.Dump();
    // The folder goes on the right while its file changes on the left.
    std::filesystem::remove_all(h.m_tmp.NativeSub("R/d"));
    Put("L/d/x.txt", "x changed", 1600000100);
    ASSERT_TRUE(h.Run(job, true, false).bOk);
    ASSERT_EQ(Act(u"/d"), "CONFLICT");
    ASSERT_EQ(Act(u"/d/y.txt"), "CONFLICT");

    ASSERT_TRUE(job.ResolveConflictByUser(Node(u"/d"), 1));
    EXPECT_EQ(Act(u"/d"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Act(u"/d/x.txt"), "COPY_LEFT_TO_RIGHT");
    EXPECT_EQ(Act(u"/d/y.txt"), "COPY_LEFT_TO_RIGHT");
    auto r = h.Run(job, false, true);
    EXPECT_EQ(r.nSub, RSS_OK) << h.m_sink.Dump();
    EXPECT_EQ(Read("R/d/x.txt"), "x changed");
    EXPECT_EQ(Read("R/d/y.txt"), "y");
    EXPECT_EQ(Read("L/d/y.txt"), "y");
}

} // namespace
