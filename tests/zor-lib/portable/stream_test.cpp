// Streams: string reader and writer, buffered files, atomic writers and gzip
// files checked against the gzip command.
#include "test-tmp.h"
#include "zor-crc32.h"
#include "zor-gzblocks.h"
#include "zor-stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

class StreamFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmplPath = TvTmpPath("tv-stream-XXXXXX");
        char* tmpl = tmplPath.data();
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const char* name) const { return m_dir + "/" + name; }
    static CWideString W(const std::string& s) { return CWideString(CNarrowString(s.c_str())); }
    static std::string ReadRaw(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        return TvStreamText(f);
    }
    static void WriteRaw(const std::string& p, const std::string& data) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(data.data(), (std::streamsize)data.size());
    }
    static int Run(const std::string& cmd) { return std::system(cmd.c_str()); }
    int CountFiles() const {
        int n = 0;
        for (auto& e : fs::directory_iterator(m_dir)) (void)e, n++;
        return n;
    }

    // Reads a whole stream; false when a read error ended it.
    static bool ReadAll(ZorInStream& in, std::string& out, CWideString& err) {
        out.clear();
        unsigned char ch;
        while (in.GetChar(ch, err)) out.push_back((char)ch);
        return !in.HasError() && in.IsEof();
    }

    // Every byte value, then a pseudo-random tail long enough to cross the buffers.
    static std::string Sample(size_t n) {
        std::string s;
        for (int i = 0; i < 256; i++) s.push_back((char)i);
        uint32_t x = 12345;
        while (s.size() < n) {
            x = x * 1103515245u + 12345u;
            s.push_back((char)((x >> 16) % 7 == 0 ? (x >> 8) : 'a' + (x >> 20) % 26));
        }
        return s;
    }

    std::string m_dir;
};

} // namespace

TEST(StringStream, GetUngetPeekAndPosition) {
    ZorStringStream in(CNarrowString("ab\xC2", 3));
    CWideString err;
    unsigned char ch = 0;
    EXPECT_FALSE(in.IsEof());
    ASSERT_TRUE(in.PeekChar(ch, err));
    EXPECT_EQ(ch, 'a');
    EXPECT_EQ(in.GetPosn(), 0);
    ASSERT_TRUE(in.GetChar(ch, err));
    ASSERT_TRUE(in.GetChar(ch, err));
    EXPECT_EQ(in.GetPosn(), 2);
    in.UngetChar(ch);
    EXPECT_EQ(in.GetPosn(), 1);
    ASSERT_TRUE(in.GetChar(ch, err));
    EXPECT_EQ(ch, 'b');
    ASSERT_TRUE(in.GetChar(ch, err));
    EXPECT_EQ(ch, 0xC2); // bytes above 127 come out unsigned
    EXPECT_TRUE(in.IsEof());
    EXPECT_FALSE(in.GetChar(ch, err));
    EXPECT_TRUE(err.IsEmpty()); // the end is not an error
    EXPECT_FALSE(in.HasError());
    // A byte put back that differs from the text is returned next.
    in.UngetChar('z');
    EXPECT_FALSE(in.IsEof());
    char buf[8];
    EXPECT_EQ(in.ReadBytes(buf, 8, err), 1);
    EXPECT_EQ(buf[0], 'z');
}

TEST(StringStream, ReaderHolderAndWriter) {
    CAutoPtrT<ZorInStream> p;
    OpenStringReader(CNarrowString("xyz"), p);
    ASSERT_TRUE(p);
    CWideString err;
    char buf[4] = {};
    EXPECT_EQ(p->ReadBytes(buf, 4, err), 3);
    EXPECT_STREQ(buf, "xyz");
    p.Delete();
    EXPECT_TRUE(p.IsNull());

    ZorStringOutStream out;
    EXPECT_TRUE(out.PutChar(0xFF, err));
    EXPECT_TRUE(out.Write("\0q", 2, err));
    EXPECT_TRUE(out.Close(err));
    EXPECT_EQ(out.GetText(), CNarrowString("\xFF\0q", 3));
}

TEST_F(StreamFiles, PlainFileRoundTripAcrossBuffers) {
    std::string data = Sample(200000);
    CWideString err;
    CAutoPtrT<ZorOutStream> out;
    ASSERT_TRUE(OpenFileWriter(W(Path("a.bin")), false, out, err)) << err;
    ASSERT_TRUE(out->Write(data.data(), 100000, err));
    for (size_t i = 100000; i < data.size(); i++) ASSERT_TRUE(out->PutChar((unsigned char)data[i], err));
    ASSERT_TRUE(out->Close(err)) << err;
    EXPECT_TRUE(out->Close(err)); // the first result again
    EXPECT_EQ(ReadRaw(Path("a.bin")), data);

    CAutoPtrT<ZorInStream> in;
    ASSERT_TRUE(OpenFileReader(W(Path("a.bin")), false, in, err)) << err;
    std::string back(70000, '\0');
    ASSERT_EQ(in->ReadBytes(back.data(), 70000, err), 70000);
    unsigned char ch;
    ASSERT_TRUE(in->GetChar(ch, err));
    in->UngetChar(ch);
    EXPECT_EQ(in->GetPosn(), 70000);
    std::string rest;
    ASSERT_TRUE(ReadAll(*in, rest, err)) << err;
    EXPECT_EQ(back + rest, data);
    EXPECT_EQ(in->GetPosn(), (long)data.size());
}

// The same reads, put-backs (of the byte read and of another byte), peeks
// and block reads give the same bytes and positions from a file, whose
// buffer ends inside the sequence, as from a string.
TEST_F(StreamFiles, PutBackAndBlockReadsMatchAStringAcrossTheBufferEnd) {
    const std::string data = Sample(65536 + 64);
    WriteRaw(Path("p.bin"), data);
    CWideString err;
    CAutoPtrT<ZorInStream> file;
    ASSERT_TRUE(OpenFileReader(W(Path("p.bin")), false, file, err)) << err;
    ZorStringStream str(CNarrowString(data.data(), (int)data.size()));
    std::string skip(65536 - 8, '\0');
    ASSERT_EQ(file->ReadBytes(skip.data(), (int)skip.size(), err), (int)skip.size());
    ASSERT_EQ(str.ReadBytes(skip.data(), (int)skip.size(), err), (int)skip.size());
    for (int step = 0; step < 40; step++) {
        for (ZorInStream* in : {file.Get(), (ZorInStream*)&str}) {
            unsigned char ch = 0;
            char buf[5] = {};
            switch (step % 5) {
                case 0:
                    ASSERT_TRUE(in->GetChar(ch, err));
                    in->UngetChar(ch);
                    break;
                case 1:
                    ASSERT_TRUE(in->GetChar(ch, err));
                    in->UngetChar('#');
                    break;
                case 2:
                    ASSERT_TRUE(in->PeekChar(ch, err));
                    break;
                case 3:
                    ASSERT_EQ(in->ReadBytes(buf, 3, err), 3);
                    break;
                default:
                    ASSERT_TRUE(in->GetChar(ch, err));
                    break;
            }
        }
        unsigned char a = 0, b = 0;
        ASSERT_TRUE(file->GetChar(a, err));
        ASSERT_TRUE(str.GetChar(b, err));
        EXPECT_EQ(a, b) << "step " << step;
        EXPECT_EQ(file->GetPosn(), str.GetPosn()) << "step " << step;
    }
    std::string restFile, restStr;
    ASSERT_TRUE(ReadAll(*file, restFile, err)) << err;
    ASSERT_TRUE(ReadAll(str, restStr, err));
    EXPECT_EQ(restFile, restStr);
    EXPECT_TRUE(err.IsEmpty());
}

// A stream open for writing reads nothing, not even the bytes it still holds.
TEST_F(StreamFiles, WriterReadsNothing) {
    ZorFileStream f;
    CWideString err;
    ASSERT_TRUE(f.OpenWrite(W(Path("w.bin")), false, err)) << err;
    ASSERT_TRUE(f.Write("abc", 3, err));
    unsigned char ch = 0;
    char buf[4];
    EXPECT_FALSE(f.GetChar(ch, err));
    EXPECT_EQ(f.ReadBytes(buf, 3, err), 0);
    EXPECT_TRUE(f.Close(err)) << err;
    EXPECT_EQ(ReadRaw(Path("w.bin")), "abc");
}

TEST_F(StreamFiles, OpenErrorsAndEmptyFile) {
    CWideString err;
    CAutoPtrT<ZorInStream> in;
    EXPECT_FALSE(OpenFileReader(W(Path("missing")), false, in, err));
    EXPECT_TRUE(in.IsNull());
    EXPECT_TRUE(err.StartsWith(u"cannot open file to read: ")) << err;
    err.Empty();
    CAutoPtrT<ZorOutStream> out;
    EXPECT_FALSE(OpenFileWriter(W(Path("no/such/dir/f")), false, out, err, true));
    EXPECT_TRUE(err.StartsWith(u"cannot open file to write: ")) << err;

    WriteRaw(Path("empty"), "");
    ASSERT_TRUE(OpenFileReader(W(Path("empty")), false, in, err));
    EXPECT_TRUE(in->IsEof());
}

TEST_F(StreamFiles, WriteErrorIsReportedByClose) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    for (bool gz : {false, true}) {
        CWideString err;
        CAutoPtrT<ZorOutStream> out;
        ASSERT_TRUE(OpenFileWriter(u"/dev/full"_ws, gz, out, err)) << err;
        std::string data = Sample(1000);
        bool ok = out->Write(data.data(), (int)data.size(), err);
        ok = out->Close(err) && ok;
        EXPECT_FALSE(ok) << "compressed=" << gz;
        EXPECT_TRUE(err.Find(u"cannot write file: /dev/full") >= 0) << err;
    }
}

TEST_F(StreamFiles, AtomicWriterReplacesOnlyOnClose) {
    const std::string target = Path("jobs.tic");
    WriteRaw(target, "old content");
    for (bool gz : {false, true}) {
        CWideString err;
        CAutoPtrT<ZorOutStream> out;
        ASSERT_TRUE(OpenFileWriter(W(target), gz, out, err, true)) << err;
        std::string data = Sample(150000);
        ASSERT_TRUE(out->Write(data.data(), (int)data.size(), err));
        // Before Close the target is untouched and the data sits in a temporary file.
        EXPECT_EQ(ReadRaw(target), "old content");
        EXPECT_EQ(CountFiles(), 2);
        for (auto& e : fs::directory_iterator(m_dir)) {
            std::string name = e.path().filename().string();
            if (name != "jobs.tic") {
                // The name that the clean-up of leftover temporary files knows.
                EXPECT_EQ(name.size(), 14u);
                EXPECT_EQ(name.rfind("tvtm", 0), 0u) << name;
                EXPECT_EQ(name.substr(10), ".tmp");
            }
        }
        // Dropped without Close: the temporary file goes, the target stays.
        out.Delete();
        EXPECT_EQ(CountFiles(), 1);
        EXPECT_EQ(ReadRaw(target), "old content");
    }
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    CWideString err;
    CAutoPtrT<ZorOutStream> out;
    ASSERT_TRUE(OpenFileWriter(W(target), false, out, err, true));
    ASSERT_TRUE(out->Write("new", 3, err));
    EXPECT_EQ(ReadRaw(target), "old content");
    ASSERT_TRUE(out->Close(err)) << err;
    EXPECT_EQ(ReadRaw(target), "new");
    EXPECT_EQ(CountFiles(), 1);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(StreamFiles, DirectWriterDroppedWithoutCloseKeepsData) {
    CWideString err;
    CAutoPtrT<ZorOutStream> out;
    ASSERT_TRUE(OpenFileWriter(W(Path("d.txt")), false, out, err));
    ASSERT_TRUE(out->Write("kept", 4, err));
    out.Delete();
    EXPECT_EQ(ReadRaw(Path("d.txt")), "kept");
}

TEST_F(StreamFiles, GzipOurOutputReadByGzipCommand) {
    std::string data = Sample(300000);
    CWideString err;
    CAutoPtrT<ZorOutStream> out;
    ASSERT_TRUE(OpenFileWriter(W(Path("ours.gz")), true, out, err, true)) << err;
    ASSERT_TRUE(out->Write(data.data(), (int)data.size(), err));
    ASSERT_TRUE(out->Close(err)) << err;
    ASSERT_EQ(Run("gzip -t '" + Path("ours.gz") + "'"), 0);
    ASSERT_EQ(Run("gzip -dc '" + Path("ours.gz") + "' > '" + Path("ours.out") + "'"), 0);
    EXPECT_EQ(ReadRaw(Path("ours.out")), data);

    // An empty content is still a valid gzip file.
    ASSERT_TRUE(OpenFileWriter(W(Path("empty.gz")), true, out, err)) << err;
    ASSERT_TRUE(out->Close(err)) << err;
    EXPECT_EQ(Run("gzip -t '" + Path("empty.gz") + "'"), 0);
}

TEST_F(StreamFiles, GzipBlockWriterGivesOneMemberThatEveryReaderTakes) {
    // Contents around and across block edges, one and several threads, the
    // repetitive text of a state file and data that hardly compresses.
    std::string text;
    for (int i = 0; text.size() < 200000; i++) text += "[f=0|N:12:file-" + std::to_string(i % 1000) + ".dat|]<>\n";
    struct Case {
        size_t nSize;
        int nBlock, nThreads;
        bool bText;
    } cases[] = {{0, 4096, 4, true},     {1, 4096, 4, false},     {4095, 4096, 1, false},
                 {4096, 4096, 2, true},  {4097, 4096, 4, true},   {200000, 4096, 4, true},
                 {150000, 65536, 3, false}, {200000, 1 << 20, 4, true}};
    for (const Case& c : cases) {
        const std::string data = c.bText ? text.substr(0, c.nSize) : Sample(c.nSize).substr(0, c.nSize);
        const std::string where = std::to_string(c.nSize) + "/" + std::to_string(c.nBlock) + "/" +
                                  std::to_string(c.nThreads);
        const std::string path = Path("blocks.gz");
        CWideString err;
        {
            ZorGzBlockFileStream out;
            ASSERT_TRUE(out.OpenWrite(W(path), true, err, 1, c.nThreads, c.nBlock)) << err;
            // Small and large writes, as the callers make them.
            for (size_t at = 0; at < data.size();) {
                const size_t n = std::min(data.size() - at, at % 3 ? (size_t)7 : (size_t)10000);
                ASSERT_TRUE(out.Write(data.data() + at, (int)n, err)) << err;
                at += n;
            }
            ASSERT_TRUE(out.Close(err)) << where << ": " << err;
        }
        EXPECT_EQ(Run("gzip -t '" + path + "'"), 0) << where;
        EXPECT_EQ(Run("gzip -dc '" + path + "' > '" + Path("blocks.out") + "'"), 0) << where;
        EXPECT_EQ(ReadRaw(Path("blocks.out")), data) << where;
        CAutoPtrT<ZorInStream> in;
        std::string back;
        ASSERT_TRUE(OpenFileReader(W(path), true, in, err)) << err;
        ASSERT_TRUE(ReadAll(*in, back, err)) << where << ": " << err;
        EXPECT_EQ(back, data) << where;
        // One member: its trailer counts the whole content.
        const std::string raw = ReadRaw(path);
        ASSERT_GE(raw.size(), 18u);
        uint32_t nLen = 0;
        for (int i = 0; i < 4; i++) nLen |= (uint32_t)(unsigned char)raw[raw.size() - 4 + i] << (8 * i);
        EXPECT_EQ(nLen, (uint32_t)data.size()) << where;
        if (c.bText && c.nSize == 200000) {
            EXPECT_LT(raw.size(), data.size() / 8) << where;
        }
    }
}

TEST_F(StreamFiles, GzipSegmentsOfOneFileStandInAnother) {
    // Segments (small, empty, over several blocks) written in a first file
    // are taken as they are into a second one between other content.
    const std::string a = Sample(30000), b, c = Sample(100000).substr(5000, 90000);
    std::vector<std::shared_ptr<ZorGzBlockFileStream::Segment>> segs(3);
    CWideString err;
    auto write = [&](const std::string& path, bool bReuse, const std::string& around) {
        ZorGzBlockFileStream out;
        ASSERT_TRUE(out.OpenWrite(W(path), true, err, 1, 3, 16384)) << err;
        int i = 0;
        for (const std::string* part : {&a, &b, &c}) {
            ASSERT_TRUE(out.Write(around.data(), (int)around.size(), err));
            if (bReuse) {
                ASSERT_TRUE(segs[i]->IsComplete());
                ASSERT_TRUE(out.PutSegment(segs[i], err)) << err;
            } else {
                ASSERT_TRUE(out.BeginSegment(err)) << err;
                ASSERT_TRUE(out.Write(part->data(), (int)part->size(), err));
                ASSERT_TRUE(out.EndSegment(segs[i], err)) << err;
            }
            ++i;
        }
        ASSERT_TRUE(out.Close(err)) << err;
    };
    write(Path("first.gz"), false, "head");
    write(Path("second.gz"), true, "other text");
    EXPECT_EQ(Run("gzip -dc '" + Path("second.gz") + "' > '" + Path("second.out") + "'"), 0);
    EXPECT_EQ(ReadRaw(Path("second.out")), "other text" + a + "other text" + b + "other text" + c);
    std::string back;
    CAutoPtrT<ZorInStream> in;
    ASSERT_TRUE(OpenFileReader(W(Path("second.gz")), true, in, err)) << err;
    ASSERT_TRUE(ReadAll(*in, back, err)) << err;
    EXPECT_EQ(back, "other text" + a + "other text" + b + "other text" + c);
    // A segment inside a segment is refused, and the file is not written.
    ZorGzBlockFileStream bad;
    ASSERT_TRUE(bad.OpenWrite(W(Path("bad.gz")), true, err, 1, 2, 16384)) << err;
    EXPECT_TRUE(bad.BeginSegment(err));
    EXPECT_FALSE(bad.BeginSegment(err));
    EXPECT_FALSE(bad.Close(err));
    EXPECT_FALSE(std::filesystem::exists(Path("bad.gz")));
}

TEST_F(StreamFiles, GzipBlockWriterFailuresLeaveNoFile) {
    // Dropped without Close, the atomic writer's temporary file goes.
    WriteRaw(Path("keep.gz"), "old");
    CWideString err;
    {
        ZorGzBlockFileStream out;
        ASSERT_TRUE(out.OpenWrite(W(Path("keep.gz")), true, err, 1, 4, 4096)) << err;
        const std::string data = Sample(50000);
        ASSERT_TRUE(out.Write(data.data(), (int)data.size(), err));
    }
    EXPECT_EQ(ReadRaw(Path("keep.gz")), "old");
    EXPECT_EQ(CountFiles(), 1);
    // A full disk is an error of Write or Close, never a silent success.
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ZorGzBlockFileStream full;
    ASSERT_TRUE(full.OpenWrite(u"/dev/full"_ws, false, err, 1, 2, 4096)) << err;
    const std::string data = Sample(40000);
    bool ok = full.Write(data.data(), (int)data.size(), err);
    ok = full.Close(err) && ok;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(err.Find(u"cannot write file: /dev/full") >= 0) << err;
}

TEST_F(StreamFiles, GzipCommandOutputAndMultiMemberReadByUs) {
    std::string a = Sample(100000), b = "second member\n";
    WriteRaw(Path("a"), a);
    WriteRaw(Path("b"), b);
    ASSERT_EQ(Run("cd '" + m_dir +
                  "' && gzip -9 -c a > one.gz && gzip -1 -c b > two.gz && cat one.gz two.gz > multi.gz"),
              0);
    CWideString err;
    CAutoPtrT<ZorInStream> in;
    std::string back;
    ASSERT_TRUE(OpenFileReader(W(Path("one.gz")), true, in, err)) << err;
    ASSERT_TRUE(ReadAll(*in, back, err)) << err;
    EXPECT_EQ(back, a);
    ASSERT_TRUE(OpenFileReader(W(Path("multi.gz")), true, in, err)) << err;
    ASSERT_TRUE(ReadAll(*in, back, err)) << err;
    EXPECT_EQ(back, a + b);
    EXPECT_TRUE(err.IsEmpty()) << err;
    // Bytes after the last member that do not start another are ignored.
    WriteRaw(Path("tail.gz"), ReadRaw(Path("two.gz")) + "not gzip");
    ASSERT_TRUE(OpenFileReader(W(Path("tail.gz")), true, in, err)) << err;
    ASSERT_TRUE(ReadAll(*in, back, err)) << err;
    EXPECT_EQ(back, b);
}

// The folded CRC is zlib's at every length and alignment, continuing any CRC.
TEST(Crc32, SameAsZlib) {
    std::string buf(100000, 0);
    uint32_t x = 1;
    for (char& c : buf) c = (char)((x = x * 1103515245 + 12345) >> 16);
    for (size_t n : {0, 1, 15, 63, 64, 65, 127, 128, 1000, 4099, 99000})
        for (size_t off : {0, 1, 7}) {
            const uint32_t start = (uint32_t)(n * 2654435761u);
            EXPECT_EQ(ZorCrc32(start, buf.data() + off, n),
                      (uint32_t)crc32(start, (const Bytef*)buf.data() + off, (uInt)n))
                << n << " bytes at " << off;
        }
}

TEST_F(StreamFiles, DamagedGzipIsAnError) {
    std::string data = Sample(200000);
    WriteRaw(Path("src"), data);
    ASSERT_EQ(Run("cd '" + m_dir + "' && gzip -c src > good.gz"), 0);
    std::string gz = ReadRaw(Path("good.gz"));
    ASSERT_GT(gz.size(), 1000u);

    struct Case {
        const char* name;
        std::string bytes;
        const char16_t* text;
    };
    std::string corrupt = gz;
    corrupt[corrupt.size() / 2] ^= 0x55;
    std::string badCrc = gz;
    badCrc[badCrc.size() - 6] ^= 0x01;
    // a header with its own CRC (FHCRC): right, and one bit off
    std::string head("\x1f\x8b\x08\x02\0\0\0\0\0\x03", 10);
    const uint32_t headCrc = ZorCrc32(0, head.data(), head.size());
    ASSERT_EQ(gz[3], 0x08); // the name "src" follows the fixed part
    std::string deflated = gz.substr(14);
    std::string goodHeadCrc = head + (char)(headCrc & 0xFF) + (char)((headCrc >> 8) & 0xFF) + deflated;
    std::string badHeadCrc = head + (char)((headCrc & 0xFF) ^ 1) + (char)((headCrc >> 8) & 0xFF) + deflated;
    {
        WriteRaw(Path("hcrc.gz"), goodHeadCrc + goodHeadCrc);
        CWideString err;
        CAutoPtrT<ZorInStream> in;
        std::string back;
        ASSERT_TRUE(OpenFileReader(W(Path("hcrc.gz")), true, in, err) && ReadAll(*in, back, err)) << err;
        EXPECT_TRUE(back == data + data);
    }
    const Case cases[] = {
        {"bad header checksum", badHeadCrc, u"gzip: header crc mismatch"},
        {"bad header checksum in a second member", goodHeadCrc + badHeadCrc, u"gzip: header crc mismatch"},
        {"truncated in the middle", gz.substr(0, gz.size() / 2), u"unexpected end of file"},
        {"trailer cut", gz.substr(0, gz.size() - 4), u"unexpected end of file"},
        {"corrupt data", corrupt, u"gzip: "},
        {"bad checksum", badCrc, u"gzip: "},
        {"plain text", "just text\n", u"not a gzip file"},
        {"empty", "", u"not a gzip file"},
    };
    for (const Case& c : cases) {
        WriteRaw(Path("bad.gz"), c.bytes);
        CWideString err;
        CAutoPtrT<ZorInStream> in;
        std::string back;
        bool ok = OpenFileReader(W(Path("bad.gz")), true, in, err) && ReadAll(*in, back, err);
        EXPECT_FALSE(ok) << c.name;
        EXPECT_TRUE(err.Find(c.text) >= 0) << c.name << ": " << err;
        if (in) {
            EXPECT_TRUE(in->HasError()) << c.name;
            EXPECT_FALSE(in->IsEof()) << c.name;
        }
        // The gzip command agrees that these files are bad.
        EXPECT_NE(Run("gzip -t '" + Path("bad.gz") + "' 2>/dev/null"), 0) << c.name;
    }
}
