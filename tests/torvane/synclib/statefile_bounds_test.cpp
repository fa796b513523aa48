// The state-file reader's bounds on what one record and one read may bring:
// names and paths no file system holds make the file damaged, and a read's
// records are bounded in memory as well as in number. Both reads (on two
// threads and on one) end alike, and leave the tree as it was.
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
// A tree-form file whose root holds the given nodes.
std::string TreeFile(const std::string& nodes) {
    return std::string(kHeader) + "\n[f=1|N:0:|]<" + nodes + ">";
}
// n nested folders of the given name, with a file named leaf in the deepest.
std::string Nested(const std::string& name, int n, const std::string& leaf) {
    return TreeFile(Repeat(Folder(name), n) + Rec(leaf) + std::string(n, '>'));
}
// A flat-form file of one record.
std::string FlatFile(const std::string& path) {
    return "<[N:" + std::to_string(path.size()) + ":" + path + "|l[h=0|l=1|]]>[1=4|]";
}

int CountNodes(CSyncTreeNode* pTree) {
    int n = 0;
    for (CSyncDepthFirstIter it(pTree); it.IsValid(); it.Next()) n++;
    return n;
}

// Reads a text below pFolder on two threads and, for the tree form, on one.
struct Outcome {
    bool ok = false;
    std::string err;
};
Outcome ReadBoth(CSyncPairsAndActions* pTree, CSyncTreeNode* pFolder, const std::string& text,
                 bool bOneThread) {
    Outcome o;
    TestIo io(pTree);
    CWideString err;
    if (!bOneThread) {
        int kind = 0;
        o.ok = ReadText(io, pFolder, text, kind, err);
    } else {
        ZorStringStream in(CNarrowString(text.data(), (int)text.size()));
        unsigned char ch = 0;
        StateFileHeader hdr;
        o.ok = in.GetChar(ch, err) && ch == '^' && hdr.Read(in, err) &&
               io.ReadStateNode(in, 0, 0, nullptr, pFolder, false, 0, err);
    }
    o.err = U8(err);
    return o;
}

} // namespace

TEST(StateFileBounds, NamesAndPathsNoFileSystemHoldsMakeTheFileDamaged) {
    const std::string a255(255, 'a'), a256(256, 'a');
    const std::string e2 = "\xc3\xa9", e4 = "\xf0\x9f\x98\x80"; // two and four UTF-8 bytes
    // A letter of 3 UTF-8 bytes whose composed form is two letters of 3.
    const std::string kQa1 = "\xe0\xa5\x98", kQa = "\xe0\xa4\x95\xe0\xa4\xbc";
    struct Case {
        const char* what;
        std::string text;
        std::string error; // empty: read
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
        // A side's name of 255 bytes whose composed form (the tree's key)
        // takes twice the bytes, as the engine writes it and the reader merges it.
        {"a key of 510 bytes", TreeFile(Rec(Repeat(kQa, 85), "i:255:" + Repeat(kQa1, 85) + "|")), ""},
        {"a key of 510 bytes without its side's form", TreeFile(Rec(Repeat(kQa, 85))), "a name of 510 bytes"},
        {"a side's name composed by the read", TreeFile(Rec(Repeat(kQa1, 85))), ""},
        {"a long component inside a name", TreeFile(Rec("d/" + a256)), "a name of 256 bytes"},
        {"a path of 4096 bytes", Nested(a255, 15, a255), ""},
        {"a path of 4352 bytes", Nested(a255, 16, a255), "a path of 4352 bytes, longer than 4096"},
        {"a flat path of 4096 bytes", FlatFile(Repeat(a255 + "/", 15) + a255), ""},
        {"a flat path of 4352 bytes", FlatFile(Repeat(a255 + "/", 16) + a255), "a path of 4352 bytes"},
        {"a flat path's long component", FlatFile("d/" + a256 + "/x"), "a name of 256 bytes"},
    };
    for (const Case& c : cases) {
        for (const bool bOneThread : {false, true}) {
            if (bOneThread && c.text[0] != '^') continue;
            SCOPED_TRACE(std::string(c.what) + (bOneThread ? " (one thread)" : ""));
            CSyncPairsAndActions tree;
            const int nBefore = CountNodes(&tree);
            const Outcome o = ReadBoth(&tree, &tree, c.text, bOneThread);
            if (c.error.empty()) {
                EXPECT_TRUE(o.ok) << o.err;
                EXPECT_GT(CountOldPresent(&tree), 0);
                // What is read is written so that it reads back.
                TestIo writer(&tree);
                CSyncPairsAndActions again;
                EXPECT_TRUE(ReadBoth(&again, &again, WriteText(writer), false).ok);
                EXPECT_EQ(CountOldPresent(&again), CountOldPresent(&tree));
            } else {
                EXPECT_FALSE(o.ok);
                EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
                EXPECT_TRUE(bOneThread || CountNodes(&tree) == nBefore) << "the nodes it made stay";
            }
        }
    }
    // Below a subfolder the folder's own path counts: 15 levels of 255
    // bytes leave room for a name of 255 bytes, not for a folder and a name.
    CSyncPairsAndActions tree;
    CSyncTreeNode* pFolder = &tree;
    for (int i = 0; i < 15; i++) pFolder = Add(pFolder, Utf8ToWide(a255.c_str()), FolderRec());
    const std::string sub = std::string(kHeader) + "\n[f=1|N:3:sub|]<";
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {sub + Rec(a255) + ">", ""}, {sub + Folder(a255) + Rec("x") + ">>", "a path of 4098 bytes"}}) {
        TestIo io(&tree);
        int kind = 0;
        CWideString err;
        EXPECT_EQ(ReadText(io, pFolder, text, kind, err), error.empty()) << U8(err);
        EXPECT_TRUE(error.empty() || U8(err).find(error) != std::string::npos) << U8(err);
        EXPECT_TRUE(error.empty() || io.HasLog(1, "cannot parse state file, its records are not used"));
    }
}

TEST(StateFileBounds, ReadIsBoundedInTheMemoryOfItsRecords) {
    // Records of long generation lists: few records, much memory each.
    std::string gens = "g[a{=1000|";
    for (int i = 0; i < 1000; i++) gens += "[y=" + std::to_string(1000000 + i) + "|]|";
    gens += "}]";
    std::string many, few;
    for (int i = 0; i < 40; i++) many += Rec("f" + std::to_string(i), gens);
    for (int i = 0; i < 40; i++) few += Rec("f" + std::to_string(i));
    struct Case {
        const char* what;
        std::string text;
        int64_t nMaxMemory;
        bool bOk;
    } cases[] = {
        {"long lists past the bound", TreeFile(many), 100000, false},
        {"long lists within it", TreeFile(many), 1 << 20, true},
        {"as many short records", TreeFile(few), 100000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleTree s;
        const int nBefore = CountOldPresent(&s.tree), nNodes = CountNodes(&s.tree);
        TestIo io(&s.tree);
        io.m_nMaxReadMemory = c.nMaxMemory;
        io.m_bQuietOverRecords = true;
        int kind = -1;
        CWideString err;
        EXPECT_EQ(ReadText(io, &s.tree, c.text, kind, err), c.bOk) << U8(err);
        EXPECT_EQ(io.WasOverMemory(), !c.bOk);
        EXPECT_EQ(io.WasOverRecords(), !c.bOk) << "the caller takes it as a file past its bound";
        if (!c.bOk) {
            EXPECT_NE(U8(err).find("state file records take more than 100000 bytes"), std::string::npos)
                << U8(err);
            EXPECT_EQ(CountOldPresent(&s.tree), nBefore);
            EXPECT_EQ(CountNodes(&s.tree), nNodes);
            EXPECT_TRUE(io.m_Logs.empty()) << "the caller says what it does with such a file";
        }
    }
}
