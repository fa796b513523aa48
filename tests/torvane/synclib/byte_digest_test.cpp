// Whole runs on real folders where a side's time and identity cannot prove
// its file unchanged, and the digest of the bytes its record keeps decides.
#include "TvByteDigest.h"
#include "job-harness.h"
#include "loop-disk.h"
#include "test-tmp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <regex>
#include <thread>

namespace {

struct CRuns {
    CJobHarness h;
    std::string Get(const std::string& rel) {
        std::ifstream f(h.m_tmp.NativeSub(rel), std::ios::binary);
        return f ? TvStreamText(f) : std::string("<none>");
    }
    void Rewrite(const std::string& rel, const std::string& text) { // in place
        std::fstream(h.m_tmp.NativeSub(rel), std::ios::in | std::ios::out | std::ios::binary) << text;
    }
    timespec MTime(const std::string& rel) {
        struct stat st {};
        return stat(h.m_tmp.NativeSub(rel).c_str(), &st) == 0 ? st.st_mtim : timespec{};
    }
    // Another file put in the place of rel, with the bytes given and rel's time.
    void Replace(const std::string& rel, const std::string& text) {
        const timespec t[2] = {MTime(rel), MTime(rel)};
        ASSERT_TRUE(h.m_tmp.WriteFile(rel + ".new", text));
        ASSERT_EQ(utimensat(AT_FDCWD, h.m_tmp.NativeSub(rel + ".new").c_str(), t, 0), 0);
        ASSERT_EQ(rename(h.m_tmp.NativeSub(rel + ".new").c_str(), h.m_tmp.NativeSub(rel).c_str()), 0);
    }
    // One sync; the conflicts it left. m_anOpens: the opens of the files
    // named f... in the two folders during it.
    int m_anOpens[2] = {0, 0};
    bool m_bLeftFat = false; // the left side set as a FAT disk
    bool m_bMd5 = false;     // the job compares files by their MD5
    int Sync(const std::string& l, const std::string& r) {
        const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const int wd[2] = {inotify_add_watch(fd, h.m_tmp.NativeSub(l).c_str(), IN_OPEN),
                           inotify_add_watch(fd, h.m_tmp.NativeSub(r).c_str(), IN_OPEN)};
        CSyncJob job;
        h.Attach(job);
        job.m_Options.m_Dir1.m_bFatLike = m_bLeftFat;
        job.m_Options.m_bCompareMD5crc = m_bMd5;
        job.SetSideFolder(0, h.m_tmp.Path(l));
        job.SetSideFolder(1, h.m_tmp.Path(r));
        h.m_sink.ClearRecords();
        EXPECT_TRUE(h.Run(job, true, true).bOk) << h.m_sink.Dump();
        job.SetProgressSink(&g_DummyJobProgress);
        alignas(inotify_event) char buf[8192];
        m_anOpens[0] = m_anOpens[1] = 0;
        for (ssize_t len; (len = read(fd, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + len; p += sizeof(inotify_event) + ((inotify_event*)p)->len) {
                const inotify_event* ev = (const inotify_event*)p;
                if (ev->len && !(ev->mask & IN_ISDIR) && ev->name[0] == 'f')
                    m_anOpens[ev->wd == wd[1] ? 1 : 0]++;
            }
        close(fd);
        return job.m_nConflicts.load();
    }
};

void WaitForNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::this_thread::sleep_for(std::chrono::seconds(1) - now % std::chrono::seconds(1) +
                                std::chrono::milliseconds(5));
}

// The state file as an older version wrote it (argv 2 "w": stamps and
// identities, "x": the stamp alone, "X": the same and no record racy, "-":
// neither), no digests and no change marks; on the copy's side (argv 3 "c")
// no record racy, as those versions marked no copy racy whose time they set.
const char kOlderForm[] =
    "import gzip,re,sys\n"
    "D='ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_'\n"
    "form,copy=sys.argv[2],sys.argv[3]=='c' or sys.argv[2]=='X'\n"
    "def put(stamp,ident):\n"
    "    stamp&=0x7FFFFFFF if copy else 0xFFFFFFFF\n"
    "    if form=='w' and ident is not None:\n"
    "        v=(stamp<<32)|ident\n"
    "        return 'w:11:'+''.join(D[(v>>(6*i))&63] for i in range(11))+'|'\n"
    "    return 'x=%d|'%stamp if form!='-' else ''\n"
    "def w(m):\n"
    "    v=sum(D.index(c)<<(6*i) for i,c in enumerate(m.group(1)))\n"
    "    return put(v>>32,v&0xFFFFFFFF)\n"
    "t=gzip.open(sys.argv[1]).read().decode()\n"
    "t=re.sub(r'h:11:[^|]*\\||k:[0-9]+:[^|]*\\|','',t)\n"
    "t=re.sub(r'x=([0-9]+)\\|',lambda m:put(int(m.group(1)),None),re.sub(r'w:11:([^|]*)\\|',w,t))\n"
    "gzip.open(sys.argv[1],'wb').write(t.encode())\n";

// On a disk of whole seconds, a file synced in the second it was written
// (its records racy), then its copy changed. The source still holds the
// copied bytes: the change passes on, 3 s later or within that second, also
// where only the copy's disk keeps whole seconds, or on exFAT. After an
// upgrade (records of an older version, without digests) a plain edit passes
// on, and an edit within that second is a conflict, never a silent
// difference nor an edit undone.
TEST(ByteDigest, WholeSecondRecordsLetTheCopysChangePassOn) {
    CRuns f;
    const std::string img = f.h.m_tmp.NativeSub("ext4.img"), dir = f.h.m_tmp.NativeSub("m");
    if (geteuid() != 0 || !f.h.m_tmp.MakeDir("m") ||
        system(("truncate -s 16M " + img + " && mkfs.ext4 -q -F -I 128 " + img +
                " >/dev/null 2>&1 && mount -o loop " + img + " " + dir)
                   .c_str()) != 0)
        GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device";
    struct Unmount {
        std::string d;
        ~Unmount() { umount2(d.c_str(), MNT_DETACH); }
    } unmount{dir};
    CLoopDisk exfat(f.h.m_tmp.NativeSub("exfat.img"), f.h.m_tmp.NativeSub("x"), ELoopDisk::Exfat);
    setenv("TV_FORM", kOlderForm, 1);
    struct Row {
        const char* name;
        const char* source; // the source's folder ("m/..." is whole seconds)
        int nDelayMs; // from the sync to the change of the copy; -1: in the second of the source's write
        char change;  // e: an edit of the same size, d: a delete, r: a rename
        const char* form = nullptr; // the state files made an older version's (kOlderForm)
        int nConflicts = 0;
        const char* copies = "m/R"; // the copy's folder ("x/..." is exFAT)
    };
    const Row rows[] = {
        {"edit 3 s later", "m/L", 3000, 'e'},
        {"edit in the second", "m/L", -1, 'e'},
        {"delete 3 s later", "m/L", 3000, 'd'},
        {"rename 3 s later", "m/L", 3000, 'r'},
        {"fine-time source, edit in the second", "fine/L", -1, 'e'},
        {"older, identities, edit 3 s later", "m/L", 3000, 'e', "w"},
        {"older, identities, edit in the second", "m/L", -1, 'e', "w", 1},
        {"exFAT, edit in the second", "x/L", -1, 'e', nullptr, 0, "x/R"},
        {"exFAT, older, edit 3 s later", "x/L", 3000, 'e', "x", 0, "x/R"},
        {"exFAT, older, edit in the second", "x/L", -1, 'e', "x", 1, "x/R"},
        {"exFAT, older, no record racy, edit in the second", "x/L", -1, 'e', "X", 1, "x/R"},
        {"older, stamps, edit 3 s later", "m/L", 3000, 'e', "x"},
        {"older, stamps, edit in the second", "m/L", -1, 'e', "x", 1},
        {"older, no stamps, edit 3 s later", "m/L", 3000, 'e', "-"},
    };
    int nRan = 0, nRow = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (*row.copies == 'x' && !exfat.Mounted()) continue;
        std::string L, R;
        bool bInTime = false;
        for (int i = 0; i < 3 && !bInTime; i++) {
            const std::string n = std::to_string(nRow) + "-" + std::to_string(i);
            L = row.source + n, R = row.copies + n;
            ASSERT_TRUE(f.h.m_tmp.MakeDir(L) && f.h.m_tmp.MakeDir(R));
            WaitForNextSecond();
            ASSERT_TRUE(f.h.m_tmp.WriteFile(L + "/f", "AAA" + std::to_string(i)));
            const timespec t = f.MTime(L + "/f");
            EXPECT_EQ(f.Sync(L, R), 0) << f.h.m_sink.Dump();
            ASSERT_EQ(f.Get(R + "/f"), f.Get(L + "/f"));
            for (const std::string& side : {L, R}) {
                const std::string state = f.h.m_tmp.NativeSub(side + "/_tvdata_/_file_state_v4._tv");
                const timespec t0 = f.MTime(side + "/_tvdata_/_file_state_v4._tv"), saved[2] = {t0, t0};
                if (!row.form) continue;
                const char* who = side == R ? " c" : " s"; // the copy's side or the source's
                ASSERT_EQ(system(("python3 -c \"$TV_FORM\" " + state + " " + row.form + who).c_str()), 0);
                utimensat(AT_FDCWD, state.c_str(), saved, 0);
            }
            if (row.nDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(row.nDelayMs));
            if (row.change == 'd')
                ASSERT_EQ(unlink(f.h.m_tmp.NativeSub(R + "/f").c_str()), 0);
            else if (row.change == 'r')
                ASSERT_EQ(
                    rename(f.h.m_tmp.NativeSub(R + "/f").c_str(), f.h.m_tmp.NativeSub(R + "/g").c_str()), 0);
            else
                f.Rewrite(R + "/f", "EDIT");
            bInTime = row.nDelayMs > 0 || f.MTime(R + (row.change == 'r' ? "/g" : "/f")).tv_sec == t.tv_sec;
        }
        ++nRow;
        if (!bInTime) continue; // each sync took more than its second
        ++nRan;
        EXPECT_EQ(f.Sync(L, R), row.nConflicts) << f.h.m_sink.Dump();
        if (row.nConflicts) {
            EXPECT_EQ(f.Get(L + "/f").substr(0, 3) + f.Get(R + "/f"), "AAAEDIT") << f.h.m_sink.Dump();
            EXPECT_EQ(f.Sync(L, R), row.nConflicts) << f.h.m_sink.Dump();
            continue;
        }
        EXPECT_EQ(f.Get(L + "/f") + f.Get(L + "/g"), f.Get(R + "/f") + f.Get(R + "/g")) << f.h.m_sink.Dump();
        EXPECT_NE(f.Get(L + "/f").substr(0, 3), "AAA") << f.h.m_sink.Dump();
        EXPECT_EQ(f.Sync(L, R), 0) << f.h.m_sink.Dump();
        EXPECT_EQ(f.h.m_sink.Dump().find("Conflict:"), std::string::npos) << f.h.m_sink.Dump();
    }
    if (nRan == 0) GTEST_SKIP() << "each sync took more than its second";
}

// A side restored from a copy (cp -a: other identities, the same bytes and
// times): the other side's edits pass on, only the edit made on both sides
// is a conflict; the restored side is read once, the other side not at all.
TEST(ByteDigest, RestoredSideIsReadOnceAndTheOtherSidesEditsPassOn) {
    CRuns f;
    constexpr int kFiles = 40;
    ASSERT_TRUE(f.h.m_tmp.MakeDir("L") && f.h.m_tmp.MakeDir("R"));
    for (int i = 0; i < kFiles; i++)
        ASSERT_TRUE(
            f.h.m_tmp.WriteFileAt("L/f" + std::to_string(i), "file " + std::to_string(i), 1600000000 + i));
    EXPECT_EQ(f.Sync("L", "R"), 0);
    ASSERT_EQ(system(("cp -a " + f.h.m_tmp.NativeSub("L") + " " + f.h.m_tmp.NativeSub("B")).c_str()), 0);
    // The edits carry times of their own well before the runs, so that no
    // copy of them falls in the second of the run that records it.
    for (int i : {1, 2, 3})
        ASSERT_TRUE(f.h.m_tmp.WriteFileAt("R/f" + std::to_string(i), "edited on R", 1600001000));
    ASSERT_TRUE(f.h.m_tmp.WriteFileAt("R/f4", "edited on R", 1600001000));
    ASSERT_TRUE(f.h.m_tmp.WriteFileAt("B/f4", "edited on the left", 1600001000));
    ASSERT_EQ(system(("rm -rf " + f.h.m_tmp.NativeSub("L") + " && cp -a " + f.h.m_tmp.NativeSub("B") + " " +
                      f.h.m_tmp.NativeSub("L"))
                         .c_str()),
              0);
    EXPECT_EQ(f.Sync("L", "R"), 1) << f.h.m_sink.Dump();
    for (int i : {1, 2, 3}) EXPECT_EQ(f.Get("L/f" + std::to_string(i)), "edited on R");
    EXPECT_EQ(f.Get("L/f4") + "|" + f.Get("R/f4"), "edited on the left|edited on R");
    EXPECT_EQ(f.Get("L/f9") + f.Get("R/f9"), "file 9file 9");
    EXPECT_LE(f.m_anOpens[0], kFiles) << "the restored side, once";
    EXPECT_LE(f.m_anOpens[1], 3) << "the other side: the copies only";
    EXPECT_EQ(f.Sync("L", "R"), 1);
    EXPECT_EQ(f.m_anOpens[0] + f.m_anOpens[1], 0);
}

// Another file in the place of a file the sync copied, with the recorded
// size and exact time: by its own bytes on each side.
TEST(ByteDigest, FilesReplacedWithTheRecordedSizeAndTimeAreJudgedByTheirBytes) {
    struct Row {
        const char* name;
        const char* left;  // the left's new bytes (empty: left as it was)
        const char* right; // the right's
        int nConflicts;
        const char* result;   // left "|" right afterwards
        bool bFilled = false; // the first sync met the file on both sides (no digest)
        // Before the change, the right put back with its bytes: a run reads
        // both files to settle it (its record then keeps their digest).
        bool bRestoredBefore = false;
    };
    const Row rows[] = {
        {"both, other bytes", "LLLL", "RRRR", 1, "LLLL|RRRR"},
        {"both, the same bytes", "SAME", "SAME", 0, "SAME|SAME"},
        {"left only", "LLLL", "", 0, "LLLL|LLLL"},
        {"right, the old bytes again", "", "AAAA", 0, "AAAA|AAAA"},
        // The two files differ: only the right's digest tells that the right
        // holds what it held (a restored copy), so the left's change goes on.
        {"left other bytes, right the old bytes again", "LLLL", "AAAA", 0, "LLLL|LLLL"},
        {"both, other bytes, no digest", "LLLL", "RRRR", 1, "LLLL|RRRR", true},
        {"no digest, right put back twice, left other bytes", "LLLL", "AAAA", 0, "LLLL|LLLL", true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CRuns f;
        ASSERT_TRUE(f.h.m_tmp.MakeDir("L") && f.h.m_tmp.MakeDir("R") && f.h.m_tmp.WriteFile("L/f", "AAAA"));
        const std::string cp = "cp -a " + f.h.m_tmp.NativeSub("L/f") + " " + f.h.m_tmp.NativeSub("R/f");
        ASSERT_TRUE(!row.bFilled || system(cp.c_str()) == 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(f.Sync("L", "R"), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (row.bRestoredBefore) {
            f.Replace("R/f", "AAAA");
            EXPECT_EQ(f.Sync("L", "R"), 0);
            EXPECT_EQ(f.m_anOpens[0] + f.m_anOpens[1], 2);
        }
        if (*row.left) f.Replace("L/f", row.left);
        if (*row.right) f.Replace("R/f", row.right);
        EXPECT_EQ(f.Sync("L", "R"), row.nConflicts) << f.h.m_sink.Dump();
        EXPECT_EQ(f.Get("L/f") + "|" + f.Get("R/f"), row.result) << f.h.m_sink.Dump();
        EXPECT_EQ(f.Sync("L", "R"), row.nConflicts);
    }
}

// The digest each record of a side's state file keeps, by name (tag h:
// eleven digits of six bits, the lowest first).
std::map<std::string, uint64_t> RecordedDigests(const std::string& side) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::map<std::string, uint64_t> digests;
    FILE* in = popen(("zcat '" + side + "/_tvdata_/_file_state_v4._tv'").c_str(), "r");
    std::string text;
    for (char buf[4096]; in && fgets(buf, sizeof buf, in);) text += buf;
    if (in) pclose(in);
    static const std::regex rec("N:[0-9]+:([^|]*)\\|[^\\n]*h:11:([A-Za-z0-9_-]{11})\\|");
    for (std::sregex_iterator it(text.begin(), text.end(), rec), end; it != end; ++it) {
        uint64_t v = 0;
        const std::string d = (*it)[2];
        for (int i = 0; i < 11; i++) v |= (uint64_t)kDigits.find(d[i]) << (6 * i);
        digests[(*it)[1]] = v;
    }
    return digests;
}

// A side set as a FAT disk, the job comparing by MD5. A file copied in the
// second it was written; the side's times then move by an hour while the
// other side loses two files, so that the shift holds for too few files and
// the two records of the file come to differ by that hour (their MD5 equal);
// the file is then rewritten in place with its time kept. The run that sets
// its time from the other side reads no bytes: its record keeps a digest
// only of bytes its file holds, whatever the other side's record keeps. The
// next run tells the two files apart by their MD5.
TEST(ByteDigest, TimeSetFromTheOtherSideGivesNoDigestOfOtherBytes) {
    CRuns f;
    f.m_bLeftFat = f.m_bMd5 = true;
    ASSERT_TRUE(f.h.m_tmp.MakeDir("R"));
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(
            f.h.m_tmp.WriteFileAt("L/f" + std::to_string(i), "AAA" + std::to_string(i), 1600000000 + 2 * i));
    EXPECT_EQ(f.Sync("L", "R"), 0);
    bool bInTime = false;
    for (int i = 0; i < 3 && !bInTime; i++) {
        WaitForNextSecond();
        ASSERT_TRUE(f.h.m_tmp.WriteFile("L/f2", "now" + std::to_string(i)));
        EXPECT_EQ(f.Sync("L", "R"), 0);
        bInTime = f.MTime("L/f2").tv_sec == time(nullptr);
    }
    if (!bInTime) GTEST_SKIP() << "each sync took more than its second";
    for (int i = 0; i < 4; i++) {
        const timespec t = f.MTime("L/f" + std::to_string(i));
        const struct timeval tv[2] = {{t.tv_sec + 3600, 0}, {t.tv_sec + 3600, 0}};
        ASSERT_EQ(utimes(f.h.m_tmp.NativeSub("L/f" + std::to_string(i)).c_str(), tv), 0);
    }
    ASSERT_EQ(rename(f.h.m_tmp.NativeSub("R/f0").c_str(), f.h.m_tmp.NativeSub("R/g0").c_str()), 0);
    ASSERT_EQ(unlink(f.h.m_tmp.NativeSub("R/f1").c_str()), 0);
    const timespec t = f.MTime("R/f2");
    const struct timeval tv[2] = {{t.tv_sec + 1, 0}, {t.tv_sec + 1, 0}};
    ASSERT_EQ(utimes(f.h.m_tmp.NativeSub("R/f2").c_str(), tv), 0);
    for (int run = 0; run < 2; run++) EXPECT_EQ(f.Sync("L", "R"), 0) << f.h.m_sink.Dump();
    const timespec kept = f.MTime("L/f2");
    f.Rewrite("L/f2", "NOW0");
    const timespec back[2] = {kept, kept};
    ASSERT_EQ(utimensat(AT_FDCWD, f.h.m_tmp.NativeSub("L/f2").c_str(), back, 0), 0);
    f.Sync("L", "R");
    EXPECT_NE(f.h.m_sink.Dump().find("Copy Mod Time of " + f.h.m_tmp.NativeSub("R/f2")), std::string::npos)
        << f.h.m_sink.Dump();
    for (const auto& [file, digest] : RecordedDigests(f.h.m_tmp.NativeSub("L"))) {
        const std::string bytes = f.Get("L/" + file);
        EXPECT_EQ(digest, TvByteDigest::Of(bytes.data(), bytes.size())) << file;
    }
    // Their MD5 tells the two files apart: neither is lost.
    EXPECT_EQ(f.Sync("L", "R"), 1) << f.h.m_sink.Dump();
    EXPECT_EQ(f.Get("L/f2"), "NOW0");
}

// A file renamed on one side is moved on the other: both records of the new
// name keep the digest of the bytes it holds.
TEST(ByteDigest, MovedFileKeepsItsDigest) {
    CRuns f;
    ASSERT_TRUE(f.h.m_tmp.MakeDir("L") && f.h.m_tmp.MakeDir("R") && f.h.m_tmp.WriteFile("L/f", "AAAA"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(f.Sync("L", "R"), 0);
    ASSERT_EQ(rename(f.h.m_tmp.NativeSub("L/f").c_str(), f.h.m_tmp.NativeSub("L/g").c_str()), 0);
    EXPECT_EQ(f.Sync("L", "R"), 0);
    EXPECT_EQ(f.Get("R/g"), "AAAA");
    for (const std::string side : {"L", "R"}) {
        const std::string cmd = "zcat " + f.h.m_tmp.NativeSub(side + "/_tvdata_/_file_state_v4._tv") +
                                " | grep -q 'N:1:g|.*h:11:'";
        EXPECT_EQ(system(cmd.c_str()), 0) << side;
    }
}

} // namespace
