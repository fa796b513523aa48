// The state file: byte form of the writer, round trips through the reader
// (in memory and through a real gzip file and the gzip command), the merge of
// several files, generation ageing, and the reader's handling of damaged and
// hostile files (every failure is clean and leaves the tree as it was).
#include "test-tmp.h"
#include "statefile-test-util.h"
#include "zor-stream.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace statefile_test;

TEST(StateFile, OneFileExampleByteForByte) {
    CSyncPairsAndActions tree;
    tree.GetItem().m_aOld[0] = FolderRec();
    Add(&tree, u"a.txt", FileRec(5, 1700000000));
    TestIo io(&tree);
    EXPECT_EQ(WriteText(io),
              std::string(kHeader) +
                  "\n[f=1|N:0:|l[h=-1|l=4294967293|]a=0|C[t=0|]t[t=0|]p[t=0|]s[h=-1|l=-2|]i:0:|g[a{=0|}]]<"
                  "\n[f=0|N:5:a.txt|l[h=0|l=5|]a=0|C[t=1700000000|]t[t=1700000000|]p[t=0|]s[h=-1|l=-2|]"
                  "i:0:|g[a{=0|}]]<>>");
}

TEST(StateFile, RoundTripGivesTheSameOldRecords) {
    SampleTree s;
    CSyncTreeNode* skew = Add(&s.tree, u"skew.txt", FileRec(4, 1000, 1005));
    TestIo writer(&s.tree);
    const std::string text = WriteText(writer);
    EXPECT_EQ(text.find("notsaved"), std::string::npos);

    CSyncPairsAndActions fresh;
    TestIo reader(&fresh);
    int kind;
    CWideString err;
    ASSERT_TRUE(ReadText(reader, &fresh, text, kind, err)) << U8(err);

    int nCompared = 0;
    CSyncDepthFirstIter it(&s.tree);
    for (bool b = it.IsValid(); b; b = it.Next()) {
        const CSyncPairAndAction& a = *it.GetItem();
        const std::string path = U8(it.GetPath());
        CSyncTreeNode* p = Find(&fresh, it.GetPath());
        if (!a.m_aOld[0].IsPresentBit()) {
            EXPECT_TRUE(!p || !p->GetItem().m_aOld[0].IsPresentBit()) << path;
            continue;
        }
        ASSERT_NE(p, nullptr) << path;
        EXPECT_EQ(U8(p->GetNameRef()), U8(it.GetName())) << path;
        const CSyncPairAndAction& b2 = p->GetItem();
        CSideInfo want = a.m_aOld[0];
        if (it.GetNode() == skew) {
            // Times 3 seconds or more apart: the second takes the first, marked corrected.
            want.m_tAccu = want.m_tFile;
            want.SetFlag(SIF_CORRECTED, true);
        }
        ExpectSameRecord(b2.m_aOld[0], want, path);
        EXPECT_EQ(Vec(b2.m_aGens[0]), Vec(a.m_aGens[0])) << path;
        EXPECT_EQ(b2.GetSavedTime(0).GetTime(), a.GetSavedTime(0).GetTime()) << path;
        EXPECT_TRUE(b2.GetSavedLen(0) == a.GetSavedLen(0)) << path;
        EXPECT_TRUE(b2.m_aCur[0].m_sId.IsEmpty()) << path; // ids go onto the record being filled
        nCompared++;
    }
    EXPECT_EQ(nCompared, 12);
    EXPECT_EQ(CountOldPresent(&fresh), CountOldPresent(&s.tree));
    // The side's letter case of a name survives, the key stays.
    CSyncTreeNode* readme = Find(&fresh, u"/readme.txt");
    ASSERT_NE(readme, nullptr);
    EXPECT_EQ(U8(readme->GetNameRef()), "Readme.txt");
    EXPECT_EQ(U8(readme->GetItem().m_aOld[0].m_sId), "README.TXT");

    // Written again, the fresh tree gives the same bytes (apart from the corrected time).
    fresh.GetItem().m_aOld[0] = s.tree.GetItem().m_aOld[0];
    skew->GetItem().m_aOld[0].m_tAccu = 1000;
    skew->GetItem().m_aOld[0].SetFlag(SIF_CORRECTED, true);
    TestIo writer2(&fresh);
    EXPECT_EQ(WriteText(writer2), WriteText(writer));

    // On a side whose times may shift by whole hours nothing is corrected.
    CSyncPairsAndActions shifted;
    TestIo reader2(&shifted);
    ASSERT_TRUE(ReadText(reader2, &shifted, text, kind, err, true)) << U8(err);
    EXPECT_EQ(Find(&shifted, u"/skew.txt")->GetItem().m_aOld[0].m_tAccu.GetTime(), 1005u);
    EXPECT_EQ(Find(&shifted, u"/near.txt")->GetItem().m_aOld[0].m_tAccu.GetTime(), 1002u);
}

TEST(StateFile, GzipFileDecompressesWithGzipAndReadsBack) {
    SampleTree s;
    TestIo io(&s.tree);
    const std::string text = WriteText(io);

    std::string dirPath = TvTmpPath("tv-statefile-XXXXXX");
    char* dir = dirPath.data();
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/_file_state_v4._tv";
    CAutoPtrT<ZorOutStream> out;
    CWideString err;
    ASSERT_TRUE(OpenFileWriter(Utf8ToWide(path.c_str()), true, out, err, true)) << U8(err);
    ASSERT_TRUE(io.WriteStateStream(*out, 0, CWideString(), err)) << U8(err);
    ASSERT_TRUE(out->Close(err)) << U8(err);
    out.Delete();

    const std::string plain = path + ".txt";
    ASSERT_EQ(std::system(("gzip -dc '" + path + "' > '" + plain + "'").c_str()), 0);
    FILE* f = fopen(plain.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string got;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) got.append(buf, n);
    fclose(f);
    EXPECT_EQ(got, text);

    CAutoPtrT<ZorInStream> in;
    ASSERT_TRUE(OpenFileReader(Utf8ToWide(path.c_str()), true, in, err)) << U8(err);
    CSyncPairsAndActions fresh;
    TestIo reader(&fresh);
    int kind = -1;
    ASSERT_TRUE(reader.ReadStateStream(*in, 0, &fresh, false, 4, kind, err)) << U8(err);
    EXPECT_EQ(CountOldPresent(&fresh), CountOldPresent(&s.tree));
    in.Delete();

    // A truncated gzip file fails cleanly and merges nothing.
    FILE* g = fopen(path.c_str(), "rb");
    fseek(g, 0, SEEK_END);
    const long size = ftell(g);
    fclose(g);
    ASSERT_EQ(truncate(path.c_str(), size / 2), 0);
    ASSERT_TRUE(OpenFileReader(Utf8ToWide(path.c_str()), true, in, err)) << U8(err);
    CSyncPairsAndActions broken;
    TestIo reader3(&broken);
    CWideString err3;
    EXPECT_FALSE(reader3.ReadStateStream(*in, 0, &broken, false, 4, kind, err3));
    EXPECT_FALSE(err3.IsEmpty());
    EXPECT_EQ(CountOldPresent(&broken), 0);
    EXPECT_TRUE(reader3.HasLog(1, "cannot parse state file"));
    in.Delete();
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

TEST(StateFile, ReaderErrorTexts) {
    struct Case {
        std::string text;
        std::string error;
        int kind;
    };
    const std::string node = "\n[f=0|N:1:x|l[h=0|l=1|]C[t=5|]t[t=5|]";
    const std::vector<Case> cases = {
        {"", "bad 1st char of state file: end of input", 0},
        {"x[a=1|]", "bad 1st char of state file: x", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]x", "bad type 'x' (78), '<' expected", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<" + node + "g[a{=1|[y=5|]x}]]<>>",
         "bad char after array element: x", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<" + node + "g[a{=1|[y=5|]|x]]<>>", "bad char after array: x",
         0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<" + node + "a=-5|]<>>",
         "negative number -5 where unsigned expected", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<" + node + "]<>", "unexpected end of input, '>' expected", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<\n[f=1|N:2:..|]<>>",
         "Cannot add tree node: /..: SetNodeCS: bad name", 0},
        {std::string(kHeader) + "\n[f=1|N:0:|]<\n[f=1|N:7:\x1b[2J/..|]<>>",
         "Cannot add tree node: /\\x1B[2J/..: SetNodeCS: bad name: /\\x1B[2J/..", 0},
        {"^[a=9|b=2|c=9|1=5|2=0|s=0|]\n[f=1|N:0:|]<>",
         "State file format ver 5.0 is not handled by this Torvane who handles only ver 4.1, upgrade Torvane "
         "to the "
         "latest version",
         5},
        {"<" + node + "]\n>[a=0|1=5|2=1|]",
         "State file format ver 5.1 is not handled by this Torvane who handles only ver 4.1, upgrade Torvane "
         "to the "
         "latest version",
         5},
        {"<" + node + "]\n", "unexpected end of input, '>' expected", 0},
    };
    for (const Case& c : cases) {
        CSyncPairsAndActions tree;
        TestIo io(&tree);
        int kind;
        CWideString err;
        EXPECT_FALSE(ReadText(io, &tree, c.text, kind, err)) << c.text;
        EXPECT_NE(U8(err).find(c.error), std::string::npos) << c.text << "\n  got: " << U8(err);
        EXPECT_EQ(kind, c.kind) << c.text;
        EXPECT_EQ(CountOldPresent(&tree), 0) << c.text; // nothing merged stays behind
        EXPECT_EQ(io.HasLog(1, "cannot parse state file"), c.kind != 5) << c.text;
    }
}

// The records of the tree form are parsed on a second thread while the tree
// is built. For a file long enough to fill the hand-over between the threads
// many times, cut short at many places, damaged, or read with a stop
// request, the outcome, the error text and the tree are those of a read on
// one thread.
TEST(StateFile, ReadOnTwoThreadsMatchesTheOneThreadRead) {
    SampleTree s;
    for (int d = 0; d < 60; d++) {
        CSyncTreeNode* dir =
            Add(&s.tree, Utf8ToWide(("dir" + std::to_string(d)).c_str()), FolderRec(1600000000));
        for (int f = 0; f < 100; f++) {
            CSyncTreeNode* p =
                Add(dir, Utf8ToWide(("f" + std::to_string(f)).c_str()), FileRec(f, 1700000000 + f));
            if (f % 7 == 0) p->GetItem().m_aGens[0] = Gens({1000, 2000u + f});
        }
    }
    TestIo writer(&s.tree);
    const std::string text = WriteText(writer);

    auto dump = [](CSyncTreeNode* pTree) {
        std::string out;
        CSyncDepthFirstIter it(pTree);
        for (bool b = it.IsValid(); b; b = it.Next()) {
            const CSyncPairAndAction& a = *it.GetItem();
            out += U8(it.GetPath()) + " " + U8(a.m_aOld[0].Dump()) + " " + U8(a.m_aOld[0].m_sId);
            for (uint32_t t : Vec(a.m_aGens[0])) out += " " + std::to_string(t);
            out += "\n";
        }
        return out;
    };
    // The one-thread read: the header, then the tree form.
    auto oneThread = [](TestIo& io, CSyncTreeNode* pTree, const std::string& t, CWideString& err) {
        ZorStringStream in(CNarrowString(t.data(), (int)t.size()));
        unsigned char ch = 0, next = 0;
        StateFileHeader hdr;
        if (!in.GetChar(ch, err) || ch != '^' || !hdr.Read(in, err)) return false;
        if (!in.PeekChar(next, err)) return !in.HasError();
        return io.ReadStateNode(in, 0, 0, nullptr, pTree, false, 0, err);
    };

    std::vector<std::string> inputs = {text};
    const size_t nHeader = text.find('\n');
    // The file cut short at many points (fewer under the sanitizers, whose
    // reads of the same text take twenty times as long).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr size_t kCuts = 15;
#else
    constexpr size_t kCuts = 60;
#endif
    for (size_t n = nHeader; n < text.size(); n += text.size() / kCuts + 7) inputs.push_back(text.substr(0, n));
    for (size_t n = text.size() - 30; n < text.size(); n++) inputs.push_back(text.substr(0, n));
    std::string bad = text;
    bad[text.size() / 2] = '\x01';
    inputs.push_back(bad);
    bad = text;
    bad.insert(text.size() * 3 / 4, "\n[f=1|N:2:..|]<>");
    inputs.push_back(bad);

    for (const std::string& t : inputs) {
        for (bool bStop : {false, true}) {
            CSyncPairsAndActions piped, single;
            TestIo io1(&piped), io2(&single);
            io1.m_bStop = io2.m_bStop = bStop;
            int kind = 0;
            CWideString err1, err2;
            const bool ok1 = ReadText(io1, &piped, t, kind, err1);
            const bool ok2 = oneThread(io2, &single, t, err2);
            ASSERT_EQ(ok1, ok2) << t.size() << " bytes: " << U8(err1) << " / " << U8(err2);
            EXPECT_EQ(U8(err1), U8(err2)) << t.size() << " bytes";
            if (ok1) {
                EXPECT_EQ(dump(&piped), dump(&single)) << t.size() << " bytes";
            }
            if (bStop && t.size() > nHeader + 1) {
                EXPECT_EQ(kind, ZEK_STOPPED);
            }
        }
    }
    CSyncPairsAndActions whole;
    TestIo reader(&whole);
    int kind = 0;
    CWideString err;
    ASSERT_TRUE(ReadText(reader, &whole, text, kind, err)) << U8(err);
    EXPECT_EQ(CountOldPresent(&whole), CountOldPresent(&s.tree));
}

TEST(StateFile, NewerMinorVersionIsNoticedAndRead) {
    const std::string node = "\n[f=0|N:1:x|l[h=0|l=1|]C[t=5|]t[t=5|]]";
    const char* notice =
        "State file format ver 4.2 is newer than ver 4.1 handled by this Torvane, upgrade Torvane "
        "to the latest version\n";
    for (const std::string& text :
         {"^[a=9|b=2|c=9|1=4|2=2|s=0|]\n[f=1|N:0:|]<" + node + "<>>", "<" + node + "\n>[a=0|1=4|2=2|]"}) {
        CSyncPairsAndActions tree;
        TestIo io(&tree);
        int kind;
        CWideString err;
        EXPECT_TRUE(ReadText(io, &tree, text, kind, err)) << U8(err);
        EXPECT_TRUE(io.HasLog(2, notice)) << text;
        ASSERT_NE(Find(&tree, u"/x"), nullptr);
        EXPECT_TRUE(Find(&tree, u"/x")->GetItem().m_aOld[0].Exists());
    }
}

TEST(StateFile, HostileFilesFailCleanly) {
    auto expectFail = [](const std::string& text, const std::string& error) {
        CSyncPairsAndActions tree;
        TestIo io(&tree);
        int kind;
        CWideString err;
        EXPECT_FALSE(ReadText(io, &tree, text, kind, err));
        EXPECT_NE(U8(err).find(error), std::string::npos) << "got: " << U8(err);
        EXPECT_EQ(CountOldPresent(&tree), 0);
    };
    const std::string root = std::string(kHeader) + "\n[f=1|N:0:|]<";
    // Nesting far deeper than any scan goes.
    std::string deep = root;
    for (int i = 0; i < 300; i++) deep += "\n[f=1|N:1:d|l[h=-1|l=4294967293|]]<";
    deep += std::string(301, '>');
    expectFail(deep, "nested deeper than 256 levels");
    // One record's path creating hundreds of levels (flat form).
    std::string path;
    for (int i = 0; i < 600; i++) path += "a/";
    path += "x";
    expectFail("<[N:" + std::to_string(path.size()) + ":" + path + "|l[h=0|l=1|]]>[1=3|]",
               "SetNodeCS: ForceCreatePath: path nested deeper than 256 levels");
    // Huge lengths and counts announced by a short file.
    expectFail(root + "\n[N:200000:abc", "bad string length 200000");
    expectFail(root + "\n[N:99999999999:abc", "out of range");
    expectFail(root + "\n[N:1:x|g[a{=70000|[y=1|]|", "generation count 70000 above 65535");
    std::string list = root + "\n[N:1:x|g[l<";
    for (int i = 0; i < 65536; i++) list += "[y=5|]";
    expectFail(list + ">]]<>>", "more than 65535 generations");
    // A string that claims more bytes than the file holds.
    expectFail(root + "\n[N:50:abc", "unexpected end of input inside a string");
}

TEST(StateFile, HeaderOnlyFileIsAnEmptyStateAndIsNeverWritten) {
    CSyncPairsAndActions tree;
    CSyncTreeNode* sub = Add(&tree, u"sub", FolderRec());
    TestIo io(&tree);
    int kind;
    CWideString err;
    EXPECT_TRUE(ReadText(io, sub, kHeader, kind, err)) << U8(err);
    EXPECT_EQ(sub->GetChildCount(), 0);

    // A subfolder without its own old record has no state to write.
    CSyncTreeNode* other = Add(&tree, u"other", CSideInfo());
    Add(other, u"f.txt", FileRec(1, 5));
    EXPECT_FALSE(io.HasStateToWrite(0, u"/other"));
    ZorStringOutStream out;
    err.Empty();
    EXPECT_FALSE(io.WriteStateStream(out, 0, u"/other", err));
    EXPECT_TRUE(out.GetText().IsEmpty());
    EXPECT_TRUE(io.HasStateToWrite(0, u"/sub"));
    EXPECT_TRUE(io.HasStateToWrite(0, CWideString()));
    err.Empty();
    EXPECT_FALSE(io.WriteStateStream(out, 0, u"/missing", err));
    EXPECT_EQ(U8(err), "null root");
    // The tree root's record is written whatever its present bit.
    CSyncPairsAndActions empty;
    TestIo io2(&empty);
    EXPECT_EQ(WriteText(io2, 1).substr(0, sizeof(kHeader)), std::string(kHeader) + "\n");
}

TEST(StateFile, FailedReadTakesBackItsMergedRecordsAndIsLoggedAsError) {
    CSyncPairsAndActions tree;
    tree.GetItem().m_aOld[0] = FolderRec();
    CSyncTreeNode* sub = Add(&tree, u"sub", FolderRec());
    Add(sub, u"x.txt", FileRec(5, 100));
    TestIo writer(&tree);
    const std::string rootFile = WriteText(writer);

    CSyncPairsAndActions fresh;
    TestIo io(&fresh);
    int kind;
    CWideString err;
    ASSERT_TRUE(ReadText(io, &fresh, rootFile, kind, err)) << U8(err);
    CSyncTreeNode* freshSub = Find(&fresh, u"/sub");
    ASSERT_NE(freshSub, nullptr);

    // The subfolder's own file: it replaces x.txt and adds y.txt, then breaks.
    const std::string subFile = std::string(kHeader) +
                                "\n[f=1|N:3:sub|]<\n[f=0|N:5:x.txt|l[h=0|l=7|]C[t=200|]t[t=200|]]<>"
                                "\n[f=0|N:5:y.txt|l[h=0|l=1|]C[t=200|]t[t=200|]]<>\n[f=0|N:5:z.txt|l[h=0|l=";
    EXPECT_FALSE(ReadText(io, freshSub, subFile, kind, err));
    EXPECT_EQ(kind, 0);
    CSyncTreeNode* x = Find(&fresh, u"/sub/x.txt");
    EXPECT_EQ(x->GetItem().m_aOld[0].m_Len.GetValue(), 5u);
    EXPECT_EQ(x->GetItem().m_aOld[0].m_tAccu.GetTime(), 100u);
    CSyncTreeNode* y = Find(&fresh, u"/sub/y.txt");
    EXPECT_TRUE(!y || !y->GetItem().m_aOld[0].IsPresentBit());
    EXPECT_TRUE(io.HasLog(1, "Left: cannot parse state file"));

    // The same file complete: the deeper file (another job's) adds what the
    // root's lacks and leaves the root's own records as they are.
    err.Empty();
    ASSERT_TRUE(ReadText(io, freshSub, subFile.substr(0, subFile.rfind("\n[f=0|N:5:z")) + ">", kind, err))
        << U8(err);
    EXPECT_EQ(x->GetItem().m_aOld[0].m_Len.GetValue(), 5u);
    EXPECT_EQ(io.GetStateLevel(x), 2);
    EXPECT_TRUE(Find(&fresh, u"/sub/y.txt")->GetItem().m_aOld[0].Exists());

    // A stop request fails with its own text and kind, and is not an error line.
    TestIo stopped(&fresh);
    stopped.m_bStop = true;
    err.Empty();
    EXPECT_FALSE(ReadText(stopped, &fresh, rootFile, kind, err));
    EXPECT_EQ(U8(err), "Stopped by User");
    EXPECT_EQ(kind, 10);
    EXPECT_TRUE(stopped.m_Logs.empty());
}

TEST(StateFile, DuplicateRecordsOfOneLevelMergeGenerations) {
    // Flat form: the same name twice; the second record is of a deleted item.
    const std::string text = "<[N:1:a|l[h=0|l=5|]C[t=100|]t[t=100|]g[a{=1|[y=100|]|}]]\r\n"
                             "[N:1:a|g[a{=2|[y=100|]|[y=200|]|}]]\n>[a=0|1=3|]";
    CSyncPairsAndActions tree;
    TestIo io(&tree);
    int kind;
    CWideString err;
    ASSERT_TRUE(ReadText(io, &tree, text, kind, err, false, 0)) << U8(err);
    const CSyncPairAndAction& a = Find(&tree, u"/a")->GetItem();
    EXPECT_TRUE(a.m_aOld[0].Exists());
    EXPECT_EQ(a.m_aOld[0].m_Len.GetValue(), 5u);
    EXPECT_EQ(Vec(a.m_aGens[0]), (std::vector<uint32_t>{100, 200}));
    EXPECT_TRUE(a.m_aOld[0].GetFlag(SIF_CORRECTED));

    // Tree form: two names of one folder that the tree holds as one node.
    const std::string treeText = std::string(kHeader) +
                                 "\n[f=1|N:0:|]<\n[f=1|N:1:d|l[h=-1|l=4294967293|]]<"
                                 "\n[f=0|N:1:x|l[h=0|l=5|]C[t=100|]t[t=100|]g[a{=1|[y=100|]|}]]<>"
                                 "\n[f=0|N:1:X|g[a{=2|[y=100|]|[y=300|]|}]]<>>>";
    CSyncPairsAndActions tree1;
    TestIo io1(&tree1);
    ASSERT_TRUE(ReadText(io1, &tree1, treeText, kind, err)) << U8(err);
    ASSERT_EQ(Find(&tree1, u"/d")->GetChildCount(), 1);
    const CSyncPairAndAction& x = Find(&tree1, u"/d/x")->GetItem();
    EXPECT_EQ(x.m_aOld[0].m_Len.GetValue(), 5u);
    EXPECT_EQ(Vec(x.m_aGens[0]), (std::vector<uint32_t>{100, 300}));
    EXPECT_TRUE(x.m_aOld[0].GetFlag(SIF_CORRECTED));

    // Older record forms: a back-slash path, a 64-bit file time, a list of generations.
    const std::string old =
        "<[N:0:|n:5:d\\e.f|l[h=0|l=2|]C[h=30000000|l=0|]t[t=7|]g[l<\n[y=0|]\n[y=9|][t[t=11|]]>]]>[]";
    CSyncPairsAndActions tree2;
    TestIo io2(&tree2);
    ASSERT_TRUE(ReadText(io2, &tree2, old, kind, err, true, 0)) << U8(err);
    CSyncTreeNode* f = Find(&tree2, u"/d/e.f");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(Find(&tree2, u"/d")->GetItem().m_aOld[0].IsFolder());
    EXPECT_EQ(f->GetItem().m_aOld[0].m_tFile.GetTime(),
              (uint32_t)((((uint64_t)30000000 << 32) - 116444736000000000ULL) / 10000000));
    EXPECT_EQ(Vec(f->GetItem().m_aGens[0]), (std::vector<uint32_t>{9, 11}));
}

TEST(StateFile, AgeingForgetsOldDeletedRecords) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    CSyncPairsAndActions tree;
    tree.GetItem().m_aOld[0] = FolderRec();
    Add(&tree, u"old.txt", DeletedRec())->GetItem().m_aGens[0] = Gens({1600000000});
    Add(&tree, u"young.txt", DeletedRec())->GetItem().m_aGens[0] = Gens({1699999000});
    CSideInfo delFolder = DeletedRec();
    delFolder.SetFolder(true);
    CSyncTreeNode* dir = Add(&tree, u"dir", delFolder);
    Add(dir, u"kept.txt", FileRec(1, 5));
    TestIo writer(&tree);
    const std::string text = WriteText(writer);

    auto read = [&](bool bCleanup, int nMonths, CSyncPairsAndActions& out) {
        TestIo io(&out);
        io.m_bCleanupOldGenerations = bCleanup;
        io.m_nSaveMonthsOldGens = nMonths;
        int kind;
        CWideString err;
        EXPECT_TRUE(ReadText(io, &out, text, kind, err)) << U8(err);
    };
    CSyncPairsAndActions aged;
    read(true, 1, aged);
    EXPECT_FALSE(Find(&aged, u"/old.txt")->GetItem().m_aOld[0].IsPresentBit());
    EXPECT_EQ(Vec(Find(&aged, u"/old.txt")->GetItem().m_aGens[0]), (std::vector<uint32_t>{1600000000}));
    EXPECT_TRUE(Find(&aged, u"/young.txt")->GetItem().m_aOld[0].IsPresentBit());
    EXPECT_TRUE(Find(&aged, u"/dir")->GetItem().m_aOld[0].IsPresentBit()); // a present child keeps it
    TestIo rewriter(&aged);
    EXPECT_EQ(WriteText(rewriter).find("old.txt"), std::string::npos);

    CSyncPairsAndActions kept;
    read(false, 1, kept);
    EXPECT_TRUE(Find(&kept, u"/old.txt")->GetItem().m_aOld[0].IsPresentBit());
    // 1000 months is more seconds than 32 bits hold: nothing is aged here.
    CSyncPairsAndActions longAge;
    read(true, 1000, longAge);
    EXPECT_TRUE(Find(&longAge, u"/old.txt")->GetItem().m_aOld[0].IsPresentBit());
}

TEST(StateFile, SetNodeForListedItems) {
    CSyncPairsAndActions tree;
    TestIo io(&tree);
    bool dup = false;
    CWideString err;
    CSyncTreeNode* a = io.SetNodeCS(u"/A.txt", 0, &tree, 1, false, true, 0, FileRec(1, 5), dup, err);
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(dup);
    CSyncTreeNode* b = io.SetNodeCS(u"/a.txt", 0, &tree, 1, false, true, 0, FileRec(2, 5), dup, err);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(dup);
    EXPECT_EQ(U8(a->GetItem().GetReason()),
              "Two items on Left side are named the same after normalization and "
              "lower-casing: '/a.txt' vs '/A.txt'");
    // Two distinct files that share one node are an error even on a disk that
    // keeps names differing only in case apart: one of them could never sync.
    EXPECT_TRUE(io.HasLog(1, "Two items on Left side"));
    EXPECT_EQ(a->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    a->GetItem().m_nExecState = ESS_ANALYZED_OK;
    io.m_bCap25 = false;
    io.SetNodeCS(u"/a.txt", 0, &tree, 1, false, true, 0, FileRec(2, 5), dup, err);
    EXPECT_EQ(a->GetItem().m_nExecState, ESS_ANALYZED_ERR);
    EXPECT_TRUE(io.HasLog(1, "Two items on Left side"));

    EXPECT_EQ(io.SetNodeCS(u"/x/y", 1, &tree, 2, false, true, 0, FileRec(1, 5), dup, err), nullptr);
    EXPECT_EQ(U8(err), "Orphaned child, likely caused by corrupted file system on Right: /x/y\n");
    err.Empty();
    EXPECT_EQ(io.SetNodeCS(u"/", 0, &tree, 1, false, true, 0, FileRec(1, 5), dup, err), nullptr);
    EXPECT_EQ(U8(err), "SetNodeCS: empty name");
}

// The scan finds a listed entry's node from its folder's node: the same
// node, record, duplicate flag, reason and log as from the tree root, for
// names in other letter case, decomposed forms, duplicates, ids and folders
// that are not in the tree (those go the whole way from the root).
TEST(StateFile, SetNodeFromTheFolderNodeMatchesTheWholePath) {
    struct Entry {
        const char16_t* folder;
        const char16_t* name;
        bool bFolder;
    };
    const Entry entries[] = {
        {u"", u"Docs", true},          {u"/Docs", u"a.txt", false},   {u"/docs", u"A.TXT", false},
        {u"/Docs", u"e\u0301", false}, {u"/Docs", u"\u00e9", false},  {u"/Docs", u"Sub", true},
        {u"/Docs/Sub", u"x", false},   {u"/DOCS/sub", u"X", false},   {u"/Docs/Sub\u0301", u"y", false},
        {u"/missing", u"z", false},    {u"/Docs//Sub/", u"w", false}, {u"", u"Docs", true},
    };
    for (bool bCase : {false, true}) {
        CSyncPairsAndActions t1, t2;
        TestIo io1(&t1), io2(&t2);
        io1.m_bCaseSensitive = io2.m_bCaseSensitive = bCase;
        io1.m_bCap25 = io2.m_bCap25 = false;
        std::string dump1, dump2;
        for (const Entry& e : entries) {
            const CSideInfo rec = e.bFolder ? FolderRec(7) : FileRec(3, 9);
            bool dup1 = false, dup2 = false;
            CWideString err1, err2;
            CWideString whole = e.folder;
            whole += u"/";
            whole += e.name;
            CSyncTreeNode* n1 = io1.SetNodeCS(whole, 0, &t1, -1, false, true, 0, rec, dup1, err1);
            CSyncTreeNode* pFolder = io2.FindPathNode(e.folder, &t2);
            CSyncTreeNode* n2 = pFolder
                                    ? io2.SetNodeCS(e.name, 0, pFolder, -1, false, true, 0, rec, dup2, err2)
                                    : io2.SetNodeCS(whole, 0, &t2, -1, false, true, 0, rec, dup2, err2);
            const std::string where = U8(whole) + (bCase ? " (case-sensitive)" : "");
            ASSERT_EQ(n1 == nullptr, n2 == nullptr) << where;
            EXPECT_EQ(dup1, dup2) << where;
            EXPECT_EQ(U8(err1), U8(err2)) << where;
            if (n1) {
                EXPECT_EQ(U8(n1->GetPath()), U8(n2->GetPath())) << where;
            }
        }
        for (CSyncTreeNode* t : {(CSyncTreeNode*)&t1, (CSyncTreeNode*)&t2}) {
            std::string& d = t == &t1 ? dump1 : dump2;
            CSyncDepthFirstIter it(t);
            for (bool b = it.IsValid(); b; b = it.Next())
                d += U8(it.GetPath()) + " " + U8(it.GetItem()->m_aCur[0].Dump()) + " " +
                     U8(it.GetItem()->m_aCur[0].m_sId) + " " + std::to_string(it.GetItem()->m_nExecState) +
                     " " + U8(it.GetItem()->GetReason()) + "\n";
        }
        EXPECT_EQ(dump1, dump2);
        EXPECT_NE(dump1.find("Two items on Left side"), std::string::npos) << dump1;
        EXPECT_EQ(io1.m_Logs, io2.m_Logs);
    }
}

// Records read into a tree that has the nodes already (the second side's
// read) go where the full look-up of each puts them: beside case variants,
// records with the side's own form, missing and new names.
TEST(StateFile, RecordsMergedInFileOrderGoWhereTheLookUpPutsThem) {
    SampleTree s;
    CSyncTreeNode* docs = Find(&s.tree, u"docs");
    for (const char16_t* n : {u"b2.txt", u"c.txt", u"zz"}) Add(docs, n, FileRec(4, 1700000100));
    CWideString e;
    docs->AddItemCS(u"A.TXT", false, true, nullptr, e)->GetItem().m_aOld[0] = FileRec(6, 1700000200);
    TestIo writer(&s.tree);
    const std::string text = WriteText(writer);
    for (bool bCase : {false, true}) {
        std::string dump[2];
        for (int k = 0; k < 2; k++) {
            CSyncPairsAndActions tree;
            TestIo io(&tree);
            io.m_bCaseSensitive = bCase;
            io.m_bMergeInOrder = k == 0;
            // What the first side's scan left, in other letter cases too.
            CSyncTreeNode* d = tree.AddItemCS(u"docs", true, true, nullptr, e);
            for (const char16_t* n : {u"a.txt", u"A.TXT", u"A.txt", u"b.txt", u"big.bin", u"sub", u"zz"})
                d->AddItemCS(n, false, true, nullptr, e);
            for (const char16_t* n : {u"README.TXT", u"Readme.txt", u"\u00e9"})
                tree.AddItemCS(n, false, true, nullptr, e);
            int kind = 0;
            EXPECT_TRUE(ReadText(io, &tree, text, kind, e)) << U8(e);
            CSyncDepthFirstIter it(&tree);
            for (bool b = it.IsValid(); b; b = it.Next()) {
                const CSyncPairAndAction& a = *it.GetItem();
                dump[k] += U8(it.GetPath()) + " " + U8(a.m_aOld[0].Dump()) + " " + U8(a.m_aOld[0].m_sId) +
                           " " + std::to_string(a.m_nFlags) + " " + std::to_string(a.m_aGens[0].GetSize()) +
                           "\n";
            }
            for (auto& l : io.m_Logs) dump[k] += l.second;
        }
        EXPECT_EQ(dump[0], dump[1]) << bCase;
    }
}

// Files made to inflate far past what they hold on disk (a record repeated,
// one field of endless digits, more records than allowed) are refused with
// a clear error once the bound is reached, from a real gzip file, and leave
// the tree as it was (without the nodes they made). The bounds are lowered
// here; the reader's own lie far above any real tree.
TEST(StateFile, InflatingFilesAreRefusedAtTheBound) {
    std::string dirPath = TvTmpPath("tv-statebomb-XXXXXX");
    char* dir = dirPath.data();
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/_file_state_v4._tv";
    const std::string rec = "\n[f=0|N:5:a.txt|l[h=0|l=5|]a=0|C[t=1700000000|]t[t=1700000000|]]<>";
    std::string repeated = std::string(kHeader) + "\n[f=1|N:0:|]<", distinct = repeated;
    for (int i = 0; i < 200000; i++) repeated += rec;
    std::string flat = "<";
    for (int i = 0; i < 200000; i++) flat += "[N:1:x|]\n";
    for (int i = 0; i < 2000; i++) distinct += "\n[f=0|N:6:f" + std::to_string(100000 + i).substr(1) + "|]<>";
    const std::string digits =
        std::string(kHeader) + "\n[f=1|N:0:|]<\n[f=0|N:1:x|a=" + std::string(20 << 20, '0') + "1|]<>>>";
    struct Case {
        const char* what;
        std::string text;
        int64_t nMaxBytes, nMaxRecords;
        std::string error;
    } cases[] = {
        {"a record repeated", repeated + ">>", 4 << 20, kStateMaxRecords, "larger than 4194304 bytes"},
        {"flat form repeated", flat + ">[1=3|]", 1 << 16, kStateMaxRecords, "larger than 65536 bytes"},
        {"endless digits", digits, 4 << 20, kStateMaxRecords, "larger than 4194304 bytes"},
        {"too many records", distinct + ">>", kStateMaxTextBytes, 1000, "more than 1000 records"},
    };
    for (const Case& c : cases) {
        CAutoPtrT<ZorOutStream> out;
        CWideString err;
        ASSERT_TRUE(OpenFileWriter(Utf8ToWide(path.c_str()), true, out, err, true)) << U8(err);
        ASSERT_TRUE(out->Write(c.text.data(), (int)c.text.size(), err) && out->Close(err)) << U8(err);
        out.Delete();
        CAutoPtrT<ZorInStream> in;
        ASSERT_TRUE(OpenFileReader(Utf8ToWide(path.c_str()), true, in, err)) << U8(err);
        SampleTree s;
        const int nBefore = CountOldPresent(&s.tree);
        auto countNodes = [&] {
            int n = 0;
            for (CSyncDepthFirstIter it(&s.tree); it.IsValid(); it.Next()) n++;
            return n;
        };
        const int nNodesBefore = countNodes();
        TestIo io(&s.tree);
        io.m_nMaxReadBytes = c.nMaxBytes;
        io.m_nMaxReadRecords = c.nMaxRecords;
        int kind = -1;
        EXPECT_FALSE(io.ReadStateStream(*in, 0, &s.tree, false, 4, kind, err)) << c.what;
        EXPECT_NE(U8(err).find(c.error), std::string::npos) << c.what << ": " << U8(err);
        EXPECT_TRUE(io.HasLog(1, "cannot parse state file")) << c.what;
        EXPECT_EQ(CountOldPresent(&s.tree), nBefore) << c.what;
        EXPECT_EQ(countNodes(), nNodesBefore) << c.what << ": the nodes it made stay";
        in.Delete();
    }
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

// The digest of a record's bytes travels in tag h: read in place and by the
// general reader alike; where the value cannot be read, or under another
// tag (as a reader that does not know it sees it), the record is read
// without one.
TEST(StateFile, DigestTagReadsBackAndIsSkippedWhereNotUnderstood) {
    CSyncPairsAndActions tree;
    const uint64_t kDigests[] = {0xFFFFFFFFFFFFFFFFull, 0, 0x0123456789ABCDEFull};
    for (int i = 0; i < 3; i++) {
        CSideInfo rec = FileRec(7, 1700000000 + i);
        rec.SetFlag(SIF_DIGEST, true);
        CSyncPairAndAction& item = Add(&tree, CWideString::Formatted(u"d%d", (int64_t)i), rec)->GetItem();
        item.SetSideDigest(0, kDigests[i]);
        item.m_aOld[0].SetFlag(SIF_DIGEST, true);
    }
    Add(&tree, u"none", FileRec(7, 1700000000))->GetItem().SetSideDigest(0, 99);
    TestIo writer(&tree);
    const std::string text = WriteText(writer);
    ASSERT_NE(text.find("h:11:__________P|"), std::string::npos) << text;
    ASSERT_NE(text.find("h:11:AAAAAAAAAAA|"), std::string::npos) << text;
    struct Row {
        const char* name;
        std::string from, to; // replaced in the text
        int nLost;            // the record read without its digest (3: all)
    };
    const Row rows[] = {
        {"as written", "", "", -1},
        {"general reader", "}]h:", "}]z=1|h:", -1},
        {"value not understood", "h:11:AAAAAAAAAAA|", "h:3:AAA|", 1},
        {"tag not known", "h:11:", "q:11:", 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string t = text;
        for (size_t at; !row.from.empty() && (at = t.find(row.from)) != std::string::npos;)
            t.replace(at, row.from.size(), row.to);
        CSyncPairsAndActions fresh;
        TestIo reader(&fresh);
        int kind;
        CWideString err;
        ASSERT_TRUE(ReadText(reader, &fresh, t, kind, err)) << U8(err);
        for (int i = 0; i < 3; i++) {
            const CSyncPairAndAction& item =
                Find(&fresh, CWideString::Formatted(u"/d%d", (int64_t)i))->GetItem();
            const bool bWant = row.nLost != i && row.nLost != 3;
            EXPECT_EQ(item.HasDigest(0), bWant) << i;
            EXPECT_EQ(item.Digest(0), bWant ? kDigests[i] : item.Digest(0)) << i;
            EXPECT_EQ(item.m_aOld[0].m_tFile.GetTime(), 1700000000u + i);
        }
        EXPECT_FALSE(Find(&fresh, u"/none")->GetItem().HasDigest(0));
        EXPECT_EQ(WriteText(reader) == text, row.nLost < 0);
    }
}
