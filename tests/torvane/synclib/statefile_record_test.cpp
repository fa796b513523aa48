// The state file's record codec: the byte form of a record, the in-place
// read against the general reader, and the ageing and merge of generation lists.
#include "statefile-test-util.h"

#include "zor-time.h"

#include <cstring>

using namespace statefile_test;

TEST(StateFile, RecordByteForms) {
    // Sentinels, 64-bit lengths, saved versions, generations, the largest
    // times and names outside ASCII (lengths count UTF-8 bytes).
    CItemLen saved;
    saved.SetValue(123456);
    CSideInfo accented = FileRec(77, 1234567890);
    accented.m_sId = u"e\u0301";
    struct Case {
        CSideInfo rec;
        CWideString name;
        CSyncTime tSaved;
        CItemLen savedLen;
        CGenArray gens;
        std::string want;
    } cases[] = {
        {FileRec((1ULL << 40) + 7, 1700000001, 0, 0x20), u"big.bin", CSyncTime(), CItemLen(), CGenArray(),
         "[f=0|N:7:big.bin|l[h=256|l=7|]a=32|C[t=1700000001|]t[t=1700000001|]p[t=0|]s[h=-1|l=-2|]i:0:|"
         "g[a{=0|}]]"},
        {DeletedRec(), u"gone.txt", CSyncTime(), CItemLen(), Gens({1500, 0xFFFFFFFFu}),
         "[f=0|N:8:gone.txt|l[h=-1|l=-1|]a=-1|C[t=0|]t[t=0|]p[t=0|]s[h=-1|l=-2|]i:0:|"
         "g[a{=2|[y=1500|]|[y=-1|]|}]]"},
        {FolderRec(1600000000), u"docs", CSyncTime(), CItemLen(), Gens({7}),
         "[f=1|N:4:docs|l[h=-1|l=4294967293|]a=0|C[t=1600000000|]t[t=1600000000|]p[t=0|]s[h=-1|l=-2|]i:0:|"
         "g[a{=1|[y=7|]|}]]"},
        {accented, u"\u65e5\u672c.txt", CSyncTime(1690000000), saved, CGenArray(),
         "[f=0|N:10:\xe6\x97\xa5\xe6\x9c\xac.txt|l[h=0|l=77|]a=0|C[t=1234567890|]t[t=1234567890|]"
         "p[t=1690000000|]s[h=0|l=123456|]i:3:e\xcc\x81|g[a{=0|}]]"},
        {FileRec(1, 0xFFFFFFFEu, 0xFFFFFFFDu, 0xFFFFFFFEu), u"\U0001F600.txt", CSyncTime(), CItemLen(),
         CGenArray(),
         "[f=0|N:8:\xf0\x9f\x98\x80.txt|l[h=0|l=1|]a=-2|C[t=-2|]t[t=4294967293|]p[t=0|]s[h=-1|l=-2|]i:0:|"
         "g[a{=0|}]]"},
    };
    for (const Case& c : cases) {
        std::string out = "x";
        AppendSideRecord(out, c.rec, c.name, c.tSaved, c.savedLen, c.gens);
        EXPECT_EQ(out, "x" + c.want);
        StateFile rec;
        static_cast<CSideInfo&>(rec) = c.rec;
        std::string viaRecord;
        rec.AppendRecord(viaRecord, c.name, c.tSaved, c.savedLen, c.gens);
        EXPECT_EQ(viaRecord, c.want);
    }
}

TEST(StateFile, PruneAndMergeGenerations) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    CGenArray g = Gens({10, 20, 30, 40, 1699999950, 1700000100});
    EXPECT_FALSE(PruneGenerations(g, 100)); // the last is at now + age: dropped
    EXPECT_EQ(Vec(g), (std::vector<uint32_t>{20, 30, 40, 1699999950}));
    g = Gens({10, 20});
    EXPECT_TRUE(PruneGenerations(g, 100));
    EXPECT_EQ(Vec(g), (std::vector<uint32_t>{10, 20}));
    g = Gens({});
    EXPECT_TRUE(PruneGenerations(g, 100));
    // Entries within 3 seconds collapse; a young entry is still young after that.
    g = Gens({10, 12, 1699999990});
    EXPECT_FALSE(PruneGenerations(g, 100));
    EXPECT_EQ(Vec(g), (std::vector<uint32_t>{10, 1699999990}));
    g = Gens({1699999990, 10, 10});
    EXPECT_FALSE(PruneGenerations(g, 100));
    EXPECT_EQ(Vec(g), (std::vector<uint32_t>{10, 1699999990}));

    bool changed = false;
    CGenArray t = Gens({100, 200});
    MergeGenerations(t, Gens({100, 250, 300}), changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(Vec(t), (std::vector<uint32_t>{100, 200, 250, 300}));
    changed = false;
    t = Gens({100, 300});
    MergeGenerations(t, Gens({100, 200}), changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(Vec(t), (std::vector<uint32_t>{100, 200}));
    changed = false;
    t = Gens({});
    MergeGenerations(t, Gens({5}), changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(Vec(t), (std::vector<uint32_t>{5}));
    MergeGenerations(t, Gens({}), changed);
    EXPECT_EQ(Vec(t), (std::vector<uint32_t>{5}));
}

// Hands the bytes over one at a time, none ready in memory: a record is
// then always read by the general reader.
class ByteStream : public ZorInStream {
public:
    explicit ByteStream(std::string s) : m_s(std::move(s)) {}
    void UngetChar(unsigned char) override { --m_nAt, --m_nPosn; }
    bool IsEof() override { return m_nAt >= m_s.size(); }

protected:
    bool GetCharSlow(unsigned char& ch, CWideString&) override {
        if (m_nAt >= m_s.size()) return false;
        ch = (unsigned char)m_s[m_nAt++], ++m_nPosn;
        return true;
    }

private:
    std::string m_s;
    size_t m_nAt = 0;
};

// A record read in place from memory gives what the general reader gives,
// for the writer's own records and for forms it must leave to that reader.
TEST(StateFile, RecordReadInPlaceMatchesTheGeneralReader) {
    std::vector<std::string> records;
    CSideInfo withId = FileRec(123456789012ULL, 1700000000, 1700000002, 0x21), gone = FileRec(5, 9, 9, ~0u);
    withId.m_sId = u"Readme";
    gone.m_Len.SetDeleted();
    for (auto [rec, name] : {std::pair{withId, u"README"},
                             {FolderRec(16), u"Docs"},
                             {gone, u"gone"},
                             {FileRec(1, 2), u"d\u00e9j\u00e0"}}) {
        StateFile f;
        static_cast<CSideInfo&>(f) = rec;
        f.AppendRecord(records.emplace_back(), name, CSyncTime(77), CItemLen(), Gens({1000, 2000, 0}));
    }
    // A stamp with the file's identity, in one compact value.
    StateFile stamped;
    static_cast<CSideInfo&>(stamped) = FileRec(4, 1700000000);
    stamped.m_nStamp = 0x8003FFFFu;
    stamped.m_nIdent = 0xDEADBEEFu;
    stamped.AppendRecord(records.emplace_back(), u"s", CSyncTime(), CItemLen(), CGenArray());
    const std::string stampedText = records.back();
    for (const char* bad : {"w:11:_0000000000|", "w:11:!0000000000|", "w:10:0000000000|", "w:11:00000000000|"}) {
        std::string r = stampedText;
        const size_t at = r.find("w:11:");
        ASSERT_NE(at, std::string::npos) << r;
        records.push_back(r.replace(at, 17, bad));
    }
    for (auto [from, to] : {std::pair{"f=0|", "f=00|"},
                            {"f=0|", "f=-1|"},
                            {"a=33|", "a=-3|"},
                            {"a=33|", "a=-4|"},
                            {"a=33|", "a=4294967296|"},
                            {"a=33|", "a=-0|"},
                            {"N:6:", "N:06:"},
                            {"README|", "READM|"},
                            {"{=3|", "{=-1|"},
                            {"{=3|", "{=4|"},
                            {"[y=0|]", "[y=-2|]"},
                            {"p[t=77|]", ""},
                            {"}]]", "}]|]"},
                            {"}]]", "}]"},
                            // Numbers of every length around the eight taken at once.
                            {"a=33|", "a=12345678|"},
                            {"a=33|", "a=1234567|"},
                            {"a=33|", "a=123456789|"},
                            {"a=33|", "a=0000004294967295|"},
                            {"a=33|", "a=000000000000000033|"},
                            {"a=33|", "a=0000000000000000033|"},
                            {"a=33|", "a=1234567:|"},
                            {"a=33|", "a=12345678/|"},
                            {"C[t=1700000000|]", "C[t=17000000|]"},
                            {"C[t=1700000000|]", "C[t=170000000a|]"}}) {
        std::string r = records.front();
        records.push_back(r.replace(r.find(from), strlen(from), to));
    }
    // Numbers of every length up to past the most digits taken.
    for (size_t n = 1; n <= 20; n++) {
        std::string r = records.front();
        records.push_back(r.replace(r.find("a=33|"), 5, "a=" + std::string("98765432109876543210", n) + "|"));
    }
    for (const std::string& text : records) {
        std::string dump[2];
        for (int k = 0; k < 2; k++) {
            ZorStringStream mem(CNarrowString(text.data(), (int)text.size()));
            ByteStream bytes(text);
            ZorInStream& in = k == 0 ? (ZorInStream&)mem : (ZorInStream&)bytes;
            StateFile rec;
            CWideString name, err;
            CSyncTime tSaved;
            CItemLen saved;
            CGenArray gens;
            const bool ok = rec.ReadNode(in, name, tSaved, saved, gens, err);
            if (text == stampedText) {
                EXPECT_EQ(rec.m_nStamp, 0x8003FFFFu);
                EXPECT_EQ(rec.m_nIdent, 0xDEADBEEFu);
            }
            dump[k] = U8(name) + " " + U8(rec.Dump()) + " id=" + U8(rec.m_sId) + " " + U8(err) +
                      std::to_string(rec.m_nStamp) + "/" + std::to_string(rec.m_nIdent) + " " +
                      std::to_string(ok ? in.GetPosn() : -1) + " " + std::to_string(tSaved.GetTime()) + " " +
                      std::to_string(saved.GetHigh()) + "/" + std::to_string(saved.GetLow());
            for (uint32_t t : Vec(gens)) dump[k] += " " + std::to_string(t);
        }
        EXPECT_EQ(dump[0], dump[1]) << text;
    }
}
