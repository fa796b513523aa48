// The state-file reader's bounds on what one record and one read may bring:
// names and paths no file system holds make the file damaged, and a read's
// records are bounded in memory as well as in number. Both reads (on two
// threads and on one) end alike; a refused read leaves the tree as it was,
// an accepted one is written so that it reads back.
#include "statefile-test-util.h"

#include <gtest/gtest.h>

using namespace statefile_test;

namespace {

std::string Rec(const std::string& name, const std::string& more = "") {
    return "\n[f=0|N:" + std::to_string(name.size()) + ":" + name + "|l[h=0|l=1|]C[t=5|]t[t=5|]" + more +
           "]<>";
}
std::string Folder(const std::string& name) {
    return "\n[f=1|N:" + std::to_string(name.size()) + ":" + name + "|l[h=-1|l=4294967293|]]<";
}
std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; i++) r += s;
    return r;
}
std::string TreeFile(const std::string& nodes) {
    return std::string(kHeader) + "\n[f=1|N:0:|]<" + nodes + ">";
}
// n nested folders of one name, with a file in the deepest.
std::string Nested(const std::string& name, int n, const std::string& leaf) {
    return TreeFile(Repeat(Folder(name), n) + Rec(leaf) + std::string(n, '>'));
}
std::string FlatFile(const std::string& path) {
    return "<[N:" + std::to_string(path.size()) + ":" + path + "|l[h=0|l=1|]]>[1=4|]";
}
int CountNodes(CSyncTreeNode* pTree) {
    int n = 0;
    for (CSyncDepthFirstIter it(pTree); it.IsValid(); it.Next()) n++;
    return n;
}

} // namespace

TEST(StateFileBounds, NamesPathsAndMemoryOfARead) {
    const std::string a255(255, 'a'), a256(256, 'a');
    const std::string e2 = "\xc3\xa9", e4 = "\xf0\x9f\x98\x80"; // two and four UTF-8 bytes
    // A letter of 3 UTF-8 bytes whose composed form is two letters of 3.
    const std::string kQa1 = "\xe0\xa5\x98", kQa = "\xe0\xa4\x95\xe0\xa4\xbc";
    std::string gens = "g[a{=1000|";
    for (int i = 0; i < 1000; i++) gens += "[y=" + std::to_string(1000000 + i) + "|]|";
    std::string longLists;
    for (int i = 0; i < 40; i++) longLists += Rec("f" + std::to_string(i), gens + "}]");
    struct Case {
        const char* what;
        std::string text;
        std::string error; // empty: read
        int64_t nMaxMemory = kStateMaxReadMemory;
    } cases[] = {
        {"a name of 255 bytes", TreeFile(Rec(a255)), ""},
        {"a name of 256 bytes", TreeFile(Rec(a256)), "a name of 256 bytes, longer than 255: aaaa"},
        {"254 bytes in two-byte letters", TreeFile(Rec(Repeat(e2, 127))), ""},
        {"256 bytes in two-byte letters", TreeFile(Rec(Repeat(e2, 128))), "a name of 256 bytes"},
        {"252 bytes in four-byte letters", TreeFile(Rec(Repeat(e4, 63))), ""},
        {"256 bytes in four-byte letters", TreeFile(Rec(Repeat(e4, 64))), "a name of 256 bytes"},
        {"a name of 128 KiB", TreeFile(Rec(std::string(128 << 10, 'x'))), "a name of 131072 bytes"},
        {"the side's own form too long", TreeFile(Rec(a256, "i:256:" + a256 + "|")), "a name of 256 bytes"},
        {"another name beside it too long", TreeFile(Rec(a256, "i:1:x|")), "a name of 256 bytes"},
        {"a long component inside a name", TreeFile(Rec("d/" + a256)), "a name of 256 bytes"},
        // A side's name of 255 bytes whose composed form (the tree's key)
        // takes twice the bytes, as the engine writes it and as it is read.
        {"a key of 510 bytes", TreeFile(Rec(Repeat(kQa, 85), "i:255:" + Repeat(kQa1, 85) + "|")), ""},
        {"a key of 510 bytes alone", TreeFile(Rec(Repeat(kQa, 85))), "a name of 510 bytes"},
        {"a side's name composed by the read", TreeFile(Rec(Repeat(kQa1, 85))), ""},
        {"a path of 4096 bytes", Nested(a255, 15, a255), ""},
        {"a path of 4352 bytes", Nested(a255, 16, a255), "a path of 4352 bytes, longer than 4096"},
        {"a flat path of 4096 bytes", FlatFile(Repeat(a255 + "/", 15) + a255), ""},
        {"a flat path of 4352 bytes", FlatFile(Repeat(a255 + "/", 16) + a255), "a path of 4352 bytes"},
        {"a flat path's long component", FlatFile("d/" + a256 + "/x"), "a name of 256 bytes"},
        // Few records of much memory each.
        {"long lists within the memory bound", TreeFile(longLists), "", 1 << 20},
        {"long lists past it", TreeFile(longLists), "state file records take more than 100000 bytes", 100000},
    };
    for (const Case& c : cases) {
        for (const bool bOneThread : {false, true}) {
            if (bOneThread && c.text[0] != '^') continue;
            SCOPED_TRACE(std::string(c.what) + (bOneThread ? " (one thread)" : ""));
            SampleTree s;
            const int nBefore = CountNodes(&s.tree), nOld = CountOldPresent(&s.tree);
            TestIo io(&s.tree);
            io.m_nMaxReadMemory = c.nMaxMemory;
            io.m_bQuietOverRecords = true;
            CWideString err;
            bool ok = false;
            if (!bOneThread) {
                int kind = 0;
                ok = ReadText(io, &s.tree, c.text, kind, err);
            } else {
                ZorStringStream in(CNarrowString(c.text.data(), (int)c.text.size()));
                unsigned char ch = 0;
                StateFileHeader hdr;
                ok = in.GetChar(ch, err) && hdr.Read(in, err) &&
                     io.ReadStateNode(in, 0, 0, nullptr, &s.tree, false, 0, err);
            }
            EXPECT_EQ(ok, c.error.empty()) << U8(err);
            EXPECT_TRUE(c.error.empty() || U8(err).find(c.error) != std::string::npos) << U8(err);
            if (bOneThread) continue;
            EXPECT_EQ(io.WasOverMemory() && io.WasOverRecords(), c.nMaxMemory == 100000);
            if (ok) {
                TestIo writer(&s.tree);
                CSyncPairsAndActions again;
                TestIo reader(&again);
                int kind = 0;
                EXPECT_TRUE(ReadText(reader, &again, WriteText(writer), kind, err)) << U8(err);
                EXPECT_EQ(CountOldPresent(&again), CountOldPresent(&s.tree));
            } else {
                EXPECT_EQ(CountNodes(&s.tree), nBefore) << "the nodes it made stay";
                EXPECT_EQ(CountOldPresent(&s.tree), nOld);
            }
        }
    }
    // Below a subfolder the folder's own path counts: 15 levels of 255
    // bytes leave room for a name of 255 bytes, not for a folder and a name.
    CSyncPairsAndActions tree;
    CSyncTreeNode* pFolder = &tree;
    for (int i = 0; i < 15; i++) pFolder = Add(pFolder, Utf8ToWide(a255.c_str()), FolderRec());
    const std::string sub = std::string(kHeader) + "\n[f=1|N:3:sub|]<";
    for (const std::string& text : {sub + Rec(a255) + ">", sub + Folder(a255) + Rec("x") + ">>"}) {
        TestIo io(&tree);
        int kind = 0;
        CWideString err;
        const bool bFits = text.size() < sub.size() + 300;
        EXPECT_EQ(ReadText(io, pFolder, text, kind, err), bFits) << U8(err);
        EXPECT_TRUE(bFits || U8(err).find("a path of 4098 bytes") != std::string::npos) << U8(err);
        EXPECT_TRUE(bFits || io.HasLog(1, "cannot parse state file, its records are not used"));
    }
}
