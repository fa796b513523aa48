// Reading and saving state files on real folders: the older file name, the
// mirror copies of remote saves, failed existence checks, leftover temporary
// names, and a save killed half-way.
#include "fake-fs.h"
#include "job-harness.h"
#include "state-file.h"
#include "zor-file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kHeader[] = "[a=9|b=2|c=9|1=4|2=1|s=0|]";
const char kV4[] = "/_tvdata_/_file_state_v4._tv";

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

// Runs a shell command and gives its output.
std::string Shell(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

class StateSaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        for (const char* d : {"L/_tvdata_", "R/_tvdata_"}) ASSERT_TRUE(h.m_tmp.MakeDir(d));
        Open(job);
    }
    void TearDown() override {
        job.DisconnectSides();
        job.SetProgressSink(&g_DummyJobProgress);
    }
    // Connects a job's sides through the test file system, ready to analyse.
    void Open(CSyncJob& j) {
        j.SetProgressSink(&h.m_sink);
        j.SetName(u"Docs");
        j.SetSideFolder(0, W("fakefs://" + h.m_tmp.NativeSub("L")));
        j.SetSideFolder(1, W("fakefs://" + h.m_tmp.NativeSub("R")));
        int failed = 0, kind = 0;
        CWideString err;
        ASSERT_TRUE(j.ConnectSides(failed, kind, err)) << ToU8(err);
        j.m_nActivity.store(JA_ANALYZING);
    }
    // A record on a side's old state below a node.
    CSyncTreeNode* AddOld(CSyncTreeNode* parent, const CWideString& name, bool bFolder, int side = 0) {
        CWideString e;
        CSyncTreeNode* n = parent->AddItemCS(name, bFolder, false, nullptr, e);
        CSideInfo& r = n->GetItem().m_aOld[side];
        r.SetPresent(true);
        r.SetFolder(bFolder);
        bFolder ? r.m_Len.SetFolder() : r.m_Len.SetValue(5);
        r.m_tFile = r.m_tAccu = CSyncTime(1700000000);
        return n;
    }
    bool Read(CSyncJob& j, int side = 0, const CWideString& folder = CWideString()) {
        kind = -1;
        err.Empty();
        count = 0;
        return j.ReadStateFile(folder, side, false, &count, kind, err);
    }
    bool Write(CSyncJob& j, int side = 0, const CWideString& folder = CWideString()) {
        kind = 0;
        err.Empty();
        return j.WriteStateFile(side, folder, kind, err);
    }
    static bool HasOld(CSyncJob& j, const char16_t* path, int side = 0) {
        CWideString e;
        CSyncTreeNode* n = CSyncTreeNode::LookupCS(j.GetPairsUnchecked(), path, false, nullptr, e);
        return n && n->GetItem().m_aOld[side].IsPresentBit();
    }
    void WriteGz(const std::string& rel, const std::string& text) {
        ASSERT_TRUE(h.m_tmp.WriteFile(rel + ".txt", text));
        const std::string p = h.m_tmp.NativeSub(rel);
        ASSERT_EQ(system(("gzip -c '" + p + ".txt' > '" + p + "' && rm '" + p + ".txt'").c_str()), 0);
    }
    std::string Gunzip(const std::string& rel) { return Shell("gzip -dc '" + h.m_tmp.NativeSub(rel) + "'"); }
    // The side's mirror folder (native).
    std::string Mirror(CSyncJob& j, int side) {
        CWideString m, e;
        int k = 0;
        EXPECT_TRUE(MakeMirrorFolderPath(false, j.m_apFs[side]->DisplayPath(u""), false, m, k, e));
        return ToU8(m);
    }
    // Ends a second job of the test; the sink goes back to the main job.
    void Close(CSyncJob& j) {
        j.DisconnectSides();
        j.SetProgressSink(&g_DummyJobProgress);
        job.SetProgressSink(&h.m_sink);
    }
    bool Logged(const std::string& part) const { return h.m_sink.Dump().find(part) != std::string::npos; }

    CJobHarness h;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    CFakeFsRegistration reg{plan};
    CSyncJob job;
    int kind = 0;
    int32_t count = 0;
    CWideString err;
};

} // namespace

TEST(StateSaveNames, TempFileNames) {
    CWideString e;
    EXPECT_TRUE(CSyncJob::IsTempFileName(u"0123456789abcdef0123456789abcdef.tmp", e));
    EXPECT_TRUE(CSyncJob::IsTempFileName(u"x._TVTMP", e));
    EXPECT_TRUE(e.IsEmpty());
    const std::pair<const char16_t*, const char*> bad[] = {
        {u"0123456789ABCDEF0123456789ABCDEF.tmp", "bad name"},
        {u"0123456789abcdef0123456789abcdef.bak", "bad suffix"},
        {u"0123456789abcdef0123456789abcdef", "bad suffix"},
        {u"short.tmp", "bad name"},
    };
    for (const auto& [name, text] : bad) {
        e.Empty();
        EXPECT_FALSE(CSyncJob::IsTempFileName(name, e)) << ToU8(name);
        EXPECT_EQ(ToU8(e), text) << ToU8(name);
    }
}

TEST_F(StateSaveTest, OlderFileIsReadAndReplacedByTheCurrentFormatOnSave) {
    const std::string legacy = "<\n[f=0|N:5:a.txt|l[h=0|l=5|]a=0|C[t=1700000000|]t[t=1700000000|]]>"
                               "[a=9|b=2|c=9|1=3|2=0|s=0|]";
    WriteGz("L/_tvdata_/_file_state._tv", legacy);
    ASSERT_TRUE(Read(job)) << ToU8(err);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(HasOld(job, u"/a.txt"));

    AddOld(job.GetPairsUnchecked(), u"b.txt", false);
    ASSERT_TRUE(Write(job)) << ToU8(err);
    const std::string v4 = Gunzip(std::string("L") + kV4);
    EXPECT_EQ(v4.rfind(std::string("^") + kHeader + "\n[f=", 0), 0u) << v4;
    EXPECT_NE(v4.find("N:5:b.txt|"), std::string::npos);
    // Written through a temporary name; the older file is never written.
    EXPECT_EQ(h.m_tmp.List("L/_tvdata_"),
              (std::vector<std::string>{"_file_state._tv", "_file_state_v4._tv"}));
    EXPECT_EQ(Gunzip("L/_tvdata_/_file_state._tv"), legacy);

    // The next run reads the current file, not the older one.
    CSyncJob next;
    Open(next);
    ASSERT_TRUE(Read(next)) << ToU8(err);
    EXPECT_TRUE(HasOld(next, u"/a.txt"));
    EXPECT_TRUE(HasOld(next, u"/b.txt"));
    Close(next);
}

TEST_F(StateSaveTest, ReadOutcomesAndErrorKinds) {
    // No file: kind 0, the scan goes on without state.
    EXPECT_FALSE(Read(job));
    EXPECT_EQ(kind, FSE_NONE);
    EXPECT_EQ(ToU8(err),
              "Left: State file does not exist: " + h.m_tmp.NativeSub("L/_tvdata_/_file_state_v4._tv"));

    // A failed existence check is never "no state file": it keeps its kind
    // (a kind-less failure becomes 5), and nothing is downloaded.
    const std::pair<int, const char16_t*> checks[] = {
        {FSE_CONN_LOST, u"connection reset by peer"}, {FSE_GENERAL, u"GetInfo not implemented"}, {0, u"odd"}};
    for (const auto& [k, text] : checks) {
        plan->Fail("GetInfo", k, text);
        EXPECT_FALSE(Read(job));
        EXPECT_EQ(kind, k ? k : FSE_GENERAL) << ToU8(text);
        EXPECT_EQ(ToU8(err), "Cannot determine state file status: " + ToU8(text));
    }
    EXPECT_EQ(plan->Calls("DownloadFile"), 0);

    // A header-only file is an empty state; damaged and newer files fail.
    WriteGz(std::string("L") + kV4, std::string("^") + kHeader);
    EXPECT_TRUE(Read(job)) << ToU8(err);
    EXPECT_EQ(count, 1);
    WriteGz(std::string("L") + kV4, "x");
    EXPECT_FALSE(Read(job));
    EXPECT_EQ(kind, FSE_NONE);
    EXPECT_EQ(ToU8(err), "cannot parse state file: bad 1st char of state file: x");
    WriteGz(std::string("L") + kV4, "<>[a=9|b=2|c=9|1=5|2=0|s=0|]");
    EXPECT_FALSE(Read(job));
    EXPECT_EQ(kind, FSE_GENERAL);
    EXPECT_NE(ToU8(err).find("upgrade Torvane"), std::string::npos) << ToU8(err);
}

TEST_F(StateSaveTest, RemoteSaveKeepsAMirrorCopyUntilTheUploadLands) {
    plan->SetCap(TVFS_CAP_LOCAL, 0); // every transfer goes through the back-end
    AddOld(job.GetPairsUnchecked(), u"old.txt", false);
    ASSERT_TRUE(Write(job)) << ToU8(err);
    const std::string before = Gunzip(std::string("L") + kV4);
    ASSERT_TRUE(Read(job)) << ToU8(err); // the stamp of the side's file
    const std::string mirror = Mirror(job, 0);
    const std::string copy = mirror + "/_file_state_v4._tv", tvi = mirror + "/_file_state_v4.tvi";
    EXPECT_FALSE(ZorFileExists(W(copy)));

    // The upload fails: the side keeps its previous file whole, the mirror
    // copy and the description of the side's file stay for the next read.
    AddOld(job.GetPairsUnchecked(), u"new.txt", false);
    plan->Fail("UploadFile", FSE_GENERAL, u"disk full");
    EXPECT_FALSE(Write(job));
    EXPECT_EQ(ToU8(err), "Cannot upload temp state file: disk full");
    EXPECT_EQ(Gunzip(std::string("L") + kV4), before);
    ASSERT_TRUE(ZorFileExists(W(copy)));
    FsItemInfo side;
    bool nf = false;
    int k = 0;
    CWideString e;
    ASSERT_TRUE(job.m_apFs[0]->GetInfo(W(kV4), side, nf, k, e));
    EXPECT_EQ(Shell("cat '" + tvi + "'"), ToU8(DescribeFileInfo(side)));

    // Within 3 hours the copy stands for the side's file (no download).
    auto readFresh = [&](int64_t nAge) {
        CWideString se;
        int sk = 0;
        EXPECT_TRUE(SetFileModTime(W(copy), 1700000000 - nAge, sk, se)) << ToU8(se);
        CSyncJob j;
        Open(j);
        const bool ok = Read(j);
        const bool bNew = HasOld(j, u"/new.txt");
        Close(j);
        EXPECT_TRUE(ok) << ToU8(err);
        return bNew;
    };
    const int nDownloads = plan->Calls("DownloadFile");
    EXPECT_TRUE(readFresh(3 * 3600 - 60));
    EXPECT_EQ(plan->Calls("DownloadFile"), nDownloads);
    EXPECT_TRUE(Logged(
        "Found mirror state file (left by unfinished sync), use it instead of remote state file: " + copy));
    // From 3 hours on the side's file is downloaded instead.
    EXPECT_FALSE(readFresh(3 * 3600));
    EXPECT_EQ(plan->Calls("DownloadFile"), nDownloads + 1);
    EXPECT_TRUE(ZorFileExists(W(copy)));

    // Someone else rewrote the side's file: the copy is dropped at the read.
    WriteGz(std::string("L") + kV4, std::string("^") + kHeader);
    EXPECT_FALSE(readFresh(60));
    EXPECT_FALSE(ZorFileExists(W(copy)));
    EXPECT_TRUE(Logged("Deleting old mirror state file (left by unfinished sync): " + copy));
    EXPECT_TRUE(
        Logged("Not using cached state file, because remote state file has changed since last Sync:"));

    // Lost connections: up to 3 uploads with reconnects in between; a
    // complete save removes the copy and its description, and leaves no
    // temporary file on the side.
    plan->Disconnect("UploadFile", 0, 2);
    const int nUploads = plan->Calls("UploadFile");
    ASSERT_TRUE(Write(job)) << ToU8(err);
    EXPECT_EQ(plan->Calls("UploadFile") - nUploads, 3);
    EXPECT_NE(Gunzip(std::string("L") + kV4).find("N:7:new.txt|"), std::string::npos);
    EXPECT_FALSE(ZorFileExists(W(copy)));
    EXPECT_FALSE(ZorFileExists(W(tvi)));
    EXPECT_EQ(h.m_tmp.List("L/_tvdata_"), std::vector<std::string>{"_file_state_v4._tv"});
}

TEST_F(StateSaveTest, FirstRemoteSaveThatFailedIsFoundByTheNextRead) {
    // No state file on the side yet (none of either name): the copy of the
    // failed first upload still carries the state the sync produced.
    plan->SetCap(TVFS_CAP_LOCAL, 0);
    AddOld(job.GetPairsUnchecked(), u"first.txt", false);
    plan->Fail("UploadFile", FSE_GENERAL, u"disk full");
    EXPECT_FALSE(Write(job));
    CWideString se;
    int sk = 0;
    ASSERT_TRUE(SetFileModTime(W(Mirror(job, 0) + "/_file_state_v4._tv"), 1700000000 - 60, sk, se));
    CSyncJob next;
    Open(next);
    EXPECT_TRUE(Read(next)) << ToU8(err);
    EXPECT_TRUE(HasOld(next, u"/first.txt"));
    Close(next);
}

TEST_F(StateSaveTest, SideWithoutDataFolderKeepsItsStateInTheMirror) {
    job.m_Options.m_bNoTvDataFolder = true;
    job.m_Options.m_nNoTvDataFolderSide = 1;
    EXPECT_FALSE(Read(job, 1));
    EXPECT_EQ(kind, FSE_NONE);
    EXPECT_NE(ToU8(err).find("Right: State file does not exist in mirror: "), std::string::npos) << ToU8(err);

    AddOld(job.GetPairsUnchecked(), u"r.txt", false, 1);
    ASSERT_TRUE(Write(job, 1)) << ToU8(err);
    EXPECT_TRUE(h.m_tmp.List("R/_tvdata_").empty());
    EXPECT_EQ(Shell("ls '" + Mirror(job, 1) + "'"), "_file_state_v4._tv\n");
    CSyncJob next;
    Open(next);
    next.m_Options = job.m_Options;
    ASSERT_TRUE(Read(next, 1)) << ToU8(err);
    EXPECT_TRUE(HasOld(next, u"/r.txt", 1));
    EXPECT_TRUE(Logged("Right: Read state from mirror (read-only or no-tvdata side) "));
    Close(next);
}

TEST_F(StateSaveTest, SaveKilledHalfWayLeavesThePreviousFileReadable) {
    CSyncTreeNode* root = job.GetPairsUnchecked();
    CSyncTreeNode* big = AddOld(root, u"big", true);
    const int nFiles = 60000;
    for (int i = 0; i < nFiles; ++i) AddOld(big, CWideString::Formatted(u"file-%06d.dat", i), false);
    ASSERT_TRUE(Write(job)) << ToU8(err);

    const std::string temp =
        h.m_tmp.NativeSub("L/_tvdata_/" + ToU8(job.OwnTempName(CSyncJob::kStateUploadName, nullptr)));
    for (int attempt = 0; attempt < 3; ++attempt) {
        unlink(temp.c_str());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) {
                int k = 0;
                CWideString e;
                job.WriteStateFile(0, CWideString(), k, e);
            }
        }
        // Kill the child once its temporary file holds part of the content.
        bool bSeen = false;
        struct stat st;
        for (int i = 0; i < 200000 && !bSeen; ++i) {
            bSeen = stat(temp.c_str(), &st) == 0 && st.st_size > 0;
            if (!bSeen) usleep(50);
        }
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(bSeen);
        // Killed half-way: the leftover is not a whole gzip stream.
        EXPECT_NE(system(("gzip -t '" + temp + "' 2>/dev/null").c_str()), 0);

        CSyncJob next;
        Open(next);
        EXPECT_TRUE(Read(next)) << ToU8(err);
        EXPECT_TRUE(HasOld(next, u"/big/file-059999.dat"));
        Close(next);
    }
}

TEST_F(StateSaveTest, SavingANestedFolderTracksItsOwnSavedCopies) {
    // The saved copies of a folder with its own data folder lie in the side
    // root's "_saved_" under their full paths: the tracking started at that
    // folder's save looks them up from the tree root, and never gives one
    // item's copy to another item whose path merely repeats the folder name.
    job.m_Tree.InitRoot();
    job.m_Options.m_bCleanupPreviousVersion = true;
    job.m_Options.m_nSaveDaysPreviousVersion = 30;
    CSyncTreeNode* sub = AddOld(job.GetPairsUnchecked(), u"sub", true);
    sub->GetItem().m_aHoldsDataFolder[0] = 1;
    CSyncTreeNode* x = AddOld(sub, u"x.txt", false);
    CSyncTreeNode* inner = AddOld(AddOld(sub, u"sub", true), u"x.txt", false);
    ASSERT_TRUE(h.m_tmp.MakeDir("L/sub/_tvdata_"));
    ASSERT_TRUE(h.m_tmp.MakeDir("L/_tvdata_/_saved_/sub"));
    ASSERT_TRUE(h.m_tmp.WriteFile("L/_tvdata_/_saved_/sub/x.txt", "12345"));
    EXPECT_TRUE(job.SaveStateFiles(sub, kind, err));
    EXPECT_FALSE(x->GetItem().GetSavedTime(0).IsZero());
    EXPECT_EQ(x->GetItem().GetSavedLen(0).GetValue(), 5u);
    EXPECT_TRUE(inner->GetItem().GetSavedTime(0).IsZero());
    EXPECT_FALSE(Logged("Cannot init PrevSyncTime"));
}

TEST_F(StateSaveTest, BothSidesSavedAtOnceKeepTheirOwnRecordsAndSideOrder) {
    // Two local sides save at the same time: each file holds its own side's
    // records, each side's expired saved copy goes, and the run log reads as
    // a sequential save (the left side's lines first).
    job.m_Options.m_bCleanupPreviousVersion = true;
    job.m_Options.m_nSaveDaysPreviousVersion = 30;
    for (int round = 0; round < 3; ++round) {
        job.ResetTree();
        CSyncTreeNode* root = job.GetPairsUnchecked();
        root->GetItem().m_aHoldsDataFolder[0] = root->GetItem().m_aHoldsDataFolder[1] = 1;
        for (int i = 0; i < 3000; ++i) {
            AddOld(root, W("left-" + std::to_string(i)), false, 0);
            AddOld(root, W("right-" + std::to_string(i)), false, 1);
        }
        for (int side = 0; side < 2; ++side) {
            const std::string name = side ? "old-right.txt" : "old-left.txt";
            CSyncTreeNode* n = AddOld(root, W(name), false, side);
            CItemLen len;
            len.SetValue(5);
            n->GetItem().SetSaved(side, CSyncTime(1600000000), len);
            ASSERT_TRUE(h.m_tmp.MakeDir(side ? "R/_tvdata_/_saved_" : "L/_tvdata_/_saved_"));
            ASSERT_TRUE(h.m_tmp.WriteFile((side ? "R/_tvdata_/_saved_/" : "L/_tvdata_/_saved_/") + name, "12345"));
        }
        h.m_sink.ClearRecords();
        EXPECT_TRUE(job.SaveStateFiles(root, kind, err));
        EXPECT_EQ(job.m_nSyncErr.load(), 0);
        const std::string log = h.m_sink.Dump();
        const size_t delL = log.find("old-left.txt"), saveL = log.find("L/_tvdata_/_file_state_v4._tv");
        const size_t delR = log.find("old-right.txt"), saveR = log.find("R/_tvdata_/_file_state_v4._tv");
        ASSERT_NE(saveR, std::string::npos) << log;
        EXPECT_TRUE(delL < saveL && saveL < delR && delR < saveR) << log;
        EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_/_saved_/old-left.txt"));
        EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_/_saved_/old-right.txt"));

        CSyncJob next;
        Open(next);
        for (int side = 0; side < 2; ++side) {
            ASSERT_TRUE(Read(next, side)) << ToU8(err);
            EXPECT_EQ(count, 1);
            EXPECT_TRUE(HasOld(next, side ? u"/right-2999" : u"/left-2999", side));
            EXPECT_FALSE(HasOld(next, side ? u"/left-0" : u"/right-0", side));
        }
        Close(next);
    }
}

TEST_F(StateSaveTest, SaveAfterAFewChangesReadsAsAWholeNewWrite) {
    // Each save takes again the compressed stretches that did not change;
    // the file always holds what a whole new write of the tree holds.
    job.m_bKeepStateSegments = true;
    CSyncTreeNode* root = job.GetPairsUnchecked();
    root->GetItem().m_aOld[0].SetPresent(true);
    std::vector<CSyncTreeNode*> folders, files;
    for (int d = 0; d < 30; ++d) {
        folders.push_back(AddOld(root, W("folder-" + std::to_string(d)), true));
        for (int f = 0; f < 200; ++f) files.push_back(AddOld(folders.back(), W("file-" + std::to_string(f)), false));
    }
    auto item = [&](size_t i) -> CSyncPairAndAction& { return files[i]->GetItem(); };
    struct Case {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"first save", [] {}},
        {"unchanged", [] {}},
        {"one length", [&] { item(3100).m_aOld[0].m_Len.SetValue(77); }},
        {"generation", [&] { item(10).m_aGens[0].Add(CSyncTime(1700000100)); }},
        {"saved version", [&] { item(5999).SetSaved(0, CSyncTime(1700000200), item(5999).GetSavedLen(0)); }},
        {"own name", [&] { item(4000).m_aOld[0].m_sId = u"FILE-0"; }},
        {"new file", [&] { AddOld(folders[12], u"inserted", false); }},
        {"file left out", [&] { item(2500).m_aOld[0].SetPresent(false); }},
        {"folder left out", [&] { folders[20]->GetItem().m_aOld[0].SetPresent(false); }},
        {"root record", [&] { root->GetItem().m_aOld[0].m_nAttr = 16; }},
        {"unchanged again", [] {}},
    };
    for (const Case& c : cases) {
        c.change();
        ASSERT_TRUE(Write(job)) << c.what << ": " << ToU8(err);
        ZorStringOutStream whole;
        ASSERT_TRUE(job.WriteStateStream(whole, 0, CWideString(), err)) << ToU8(err);
        const CNarrowString& text = whole.GetText();
        EXPECT_EQ(Gunzip("L/_tvdata_/_file_state_v4._tv"), std::string(text.GetString(), text.GetLength()))
            << c.what;
        const int reused = job.GetStateFileIo().m_anSegmentsReused[0];
        if (c.what == cases[0].what)
            EXPECT_EQ(reused, 0);
        else
            EXPECT_GE(reused, 2) << c.what;
    }
}
