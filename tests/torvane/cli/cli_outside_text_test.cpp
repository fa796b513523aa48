// What reaches the terminal and the files of "torvane" from outside: the
// passwords of folder URLs never appear in clear, hostile names and server
// texts are escaped, the profile's logs are their owner's alone.
#include "cli-test-run.h"
#include "job-harness.h"

#include "../../zor-lib/portable/net/http-test-servers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <filesystem>

namespace {

const std::string kPy = "/usr/bin/python3";

class CliOutside : public ::testing::Test {
protected:
    CTempFolder m_tmp;
    int m_nRun = 0;
    std::string m_sShown; // every output of every run so far

    std::string Profile() const { return m_tmp.NativeSub("profile"); }
    // torvane with the test's profile; stdinText, when given, is its standard input.
    CCliRun Run(const std::vector<std::string>& args, const std::string& stdinText = "") {
        const std::string n = std::to_string(m_nRun++);
        std::vector<std::string> argv = {CliProgram(), "--profile", Profile()};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!stdinText.empty()) {
            m_tmp.WriteFile("in" + n, stdinText);
            std::string cmd = "exec";
            for (const std::string& a : argv) cmd += " '" + a + "'";
            argv = {"/bin/sh", "-c", cmd + " < '" + m_tmp.NativeSub("in" + n) + "'"};
        }
        CCliRun r = CliRunProgram(argv, m_tmp.NativeSub("out" + n), m_tmp.NativeSub("err" + n));
        m_sShown += r.out + r.err;
        return r;
    }
    // Every file below a folder with its content.
    static std::vector<std::pair<std::string, std::string>> Files(const std::string& root) {
        std::vector<std::pair<std::string, std::string>> v;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root))
            if (e.is_regular_file()) v.push_back({e.path().string(), CliReadAll(e.path().string())});
        return v;
    }
    static int Mode(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 0777) : -1;
    }
};

bool Has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// Whether a secret is in the text: plain, in hexadecimal (either case), in
// Base64 (but its last group) or percent-encoded.
bool Leaks(const std::string& text, const std::vector<std::string>& secrets) {
    static const char* kB64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (const std::string& secret : secrets) {
        std::string hex, HEX, pct, b64;
        for (unsigned char c : secret) {
            char h[8];
            snprintf(h, sizeof h, "%02x", c);
            hex += h;
            snprintf(h, sizeof h, "%02X", c);
            HEX += h;
            pct += isalnum(c) ? std::string(1, (char)c) : "%" + std::string(h);
        }
        for (size_t i = 0; i + 3 <= secret.size(); i += 3) {
            const uint32_t n = (unsigned char)secret[i] << 16 | (unsigned char)secret[i + 1] << 8 |
                               (unsigned char)secret[i + 2];
            for (int k = 18; k >= 0; k -= 6) b64 += kB64[n >> k & 63];
        }
        for (const std::string& form : {secret, hex, HEX, pct, b64})
            if (Has(text, form)) return true;
    }
    return false;
}

} // namespace

TEST_F(CliOutside, PasswordsOfFolderUrlsAreStoredEncryptedAndNeverShown) {
    // S3 secret keys hold '/' and '+'; in a URL the '/' is written %2F.
    const std::string kS3Secret = "S3cret/Key+OfThisTest", kS3Written = "S3cret%2FKey+OfThisTest",
                      kPeerPassword = "PeerPassw0rdOfThisTest";
    for (const char* d : {"s3left", "peerleft", "oldleft", "peerroot", "bad"}) m_tmp.MakeDir(d);
    for (const char* f : {"b.txt", "c.txt", "d.txt", "e.txt"})
        m_tmp.WriteFile(std::string("peerleft/") + f, "to the peer");
    ntest::Child s3, peer;
    auto port = [](ntest::Child& c, std::vector<std::string> argv) {
        std::string line;
        argv.insert(argv.begin(), {kPy, std::string(TV_SOURCE_DIR) + "/tools/" + argv[0]});
        argv.erase(argv.begin() + 2);
        return c.Start(argv) && c.WaitFor("", 10000, &line) ? std::to_string(atoi(line.c_str()))
                                                            : std::string();
    };
    const std::string s3Port = port(
        s3, {"fake-s3.py", "--key", "KEYID", "--secret", kS3Secret, "--bucket", "bkt", "--bucket", "old"});
    const std::string peerPort = port(peer, {"tvtp-peer-server.py", "--root", m_tmp.NativeSub("peerroot"),
                                             "--log", m_tmp.NativeSub("peer.jsonl"), "--auth", "digest",
                                             "--auth-user", "peeru", "--auth-password", kPeerPassword});
    ASSERT_NE(s3Port, "0");
    ASSERT_NE(peerPort, "0");
    const std::string peerUrl =
        "tvtp://peeru@127.0.0.1:" + peerPort + "/file://" + m_tmp.NativeSub("peerroot");

    // The password in a URL on the command line and from standard input (none there: refused).
    EXPECT_EQ(Run({"job", "add", "S3", m_tmp.NativeSub("s3left"),
                   "s3://KEYID:" + kS3Written + "@127.0.0.1:" + s3Port + "/bkt"})
                  .code,
              0)
        << m_sShown;
    EXPECT_EQ(Run({"job", "add", "Peer", m_tmp.NativeSub("peerleft"), peerUrl, "--password-stdin", "--set",
                   "ExcludeHidden=No", "--set", "SaveDaysPreviousVersion=90"},
                  kPeerPassword + "\n")
                  .code,
              0)
        << m_sShown;
    EXPECT_EQ(Run({"job", "add", "None", m_tmp.NativeSub("bad"), peerUrl, "--password-stdin"}).code, 1);
    EXPECT_EQ(
        Run({"job", "add", "Down", m_tmp.NativeSub("bad"), "s3://KEYID:" + kS3Written + "@127.0.0.1:1/b"})
            .code,
        0);
    // A URL that cannot be taken apart (a '/' written as it is, no user, a bad
    // host, a mistyped scheme) or names no folder is refused without showing its password.
    for (const std::string& bad :
         {"s3://KEYID:" + kS3Secret + "@127.0.0.1:" + s3Port + "/bkt",
          "s3://:" + kS3Written + "@127.0.0.1:1/b", "s3://KEYID:" + kS3Written + "@[::1/b",
          "s3:/KEYID:" + kS3Written + "@127.0.0.1/b", "file://u:" + kS3Written + "@localhost/none"})
        EXPECT_EQ(Run({"job", "add", "Bad", m_tmp.NativeSub("bad"), bad}).code, 1) << m_sShown;
    EXPECT_TRUE(Has(m_sShown, "65535)): s3://KEYID@127.0.0.1:" + s3Port +
                                  "/bkt; in a user name or password "
                                  "write '/' as %2F"))
        << m_sShown;
    EXPECT_TRUE(Has(m_sShown, "--password-stdin\n")) << m_sShown;
    // A list of an older version with the password in the URL, '/' and all, still works.
    m_tmp.WriteFile("profile/jobs.tix",
                    CliReadAll(Profile() + "/jobs.tix") +
                        "<Job>\nName = \"Old\"\nDir1 = <ConnectInfo>\n  Url = \"file://" +
                        m_tmp.NativeSub("oldleft") +
                        "\"\n</ConnectInfo>\nDir2 = <ConnectInfo>\n  Url = \"s3://KEYID:" + kS3Secret +
                        "@127.0.0.1:" + s3Port + "/old\"\n</ConnectInfo>\n</Job>\n");

    // The back-ends get the stored passwords; the failing one names its URL without it.
    for (const char* name : {"S3", "Peer", "Old"}) EXPECT_EQ(Run({"-v", "sync", name}).code, 0) << m_sShown;
    EXPECT_EQ(CliReadAll(m_tmp.NativeSub("peerroot/b.txt")), "to the peer");
    EXPECT_TRUE(Has(Run({"-v", "sync", "Down"}).err, "s3://KEYID@127.0.0.1:1/b")) << m_sShown;
    for (const char* name : {"S3", "Peer", "Old"}) EXPECT_EQ(Run({"job", "show", name, "--all"}).code, 0);
    EXPECT_EQ(Run({"job", "list"}).code, 0);
    EXPECT_TRUE(Has(m_sShown, "s3://KEYID@127.0.0.1:" + s3Port + "/old")) << m_sShown;

    // job set changes one option in place: every other option, the encrypted
    // password and the state stay, and the next sync goes on from the last (a
    // file deleted on the left is deleted on the peer, not copied back).
    const std::string shown = Run({"job", "show", "Peer", "--all"}).out,
                      list = CliReadAll(Profile() + "/jobs.tix");
    const auto state = Files(m_tmp.NativeSub("peerleft/_tvdata_"));
    EXPECT_EQ(Run({"job", "set", "Peer", "SavePastVersions=Yes", "SaveDaysPreviousVersion=lots"}).code, 1);
    EXPECT_EQ(CliReadAll(Profile() + "/jobs.tix"), list);
    EXPECT_EQ(Run({"job", "set", "Peer", "SavePastVersions=Yes"}).out,
              "Peer: SavePastVersions = Yes (was No)\n");
    std::string expected = shown;
    ASSERT_TRUE(Has(shown, "SaveDaysPreviousVersion = 90")) << shown;
    expected.replace(expected.find("SavePastVersions = No"), 21, "SavePastVersions = Yes");
    EXPECT_EQ(Run({"job", "show", "Peer", "--all"}).out, expected);
    // The encrypted password stays as it was stored (job show leaves it out: job set cannot change it).
    auto passwords = [](const std::string& text) {
        std::string lines;
        for (size_t at = text.find("Password = \""); at != std::string::npos; at = text.find("Password = \"", at + 1))
            lines += text.substr(at, text.find('\n', at) - at) + "\n";
        return lines;
    };
    EXPECT_FALSE(Has(shown, "Password = \"")) << shown;
    EXPECT_NE(passwords(list), "");
    EXPECT_EQ(passwords(CliReadAll(Profile() + "/jobs.tix")), passwords(list));
    EXPECT_EQ(Files(m_tmp.NativeSub("peerleft/_tvdata_")), state);
    std::filesystem::remove(m_tmp.NativeSub("peerleft/b.txt"));
    m_tmp.WriteFile("peerleft/.env", "hidden");
    EXPECT_EQ(Run({"sync", "Peer"}).code, 0) << m_sShown;
    EXPECT_FALSE(m_tmp.Exists("peerroot/b.txt"));
    EXPECT_EQ(CliReadAll(m_tmp.NativeSub("peerroot/.env")), "hidden");

    const std::vector<std::string> secrets = {kS3Secret, kS3Written, kPeerPassword};
    EXPECT_FALSE(Leaks(m_sShown, secrets)) << m_sShown;
    for (const char* root : {"profile", "s3left", "peerleft", "oldleft", "peerroot"})
        for (const auto& [path, content] : Files(m_tmp.NativeSub(root))) {
            EXPECT_FALSE(Leaks(content, secrets)) << path;
            EXPECT_TRUE(root != std::string("profile") || (Mode(path) & 077) == 0) << path;
        }
    EXPECT_EQ(Mode(Profile()), 0700);
    for (const auto& e : std::filesystem::recursive_directory_iterator(Profile()))
        EXPECT_TRUE(!e.is_directory() || (Mode(e.path().string()) & 077) == 0) << e.path();
}

TEST_F(CliOutside, NamesAndServerTextsReachTerminalAndLogsEscaped) {
    struct Name {
        const char* raw;
        const char* shown;
    } names[] = {
        {"esc\x1b[31mRED.txt", "esc\\x1B[31mRED.txt"},
        {"two\nlines.txt", "two\\nlines.txt"},
        {"c1\xc2\x9b"
         "2J\xc2\x85.txt",
         "c1\\x9B2J\\x85.txt"},
        {"rlo\xe2\x80\xaetxt.exe", "rlo\\u202Etxt.exe"},
        {"title\x1b]0;x\x07.txt", "title\\x1B]0;x\\x07.txt"},
    };
    m_tmp.MakeDir("left");
    m_tmp.MakeDir("right");
    for (const Name& n : names) m_tmp.WriteFile(std::string("left/") + n.raw, "x");
    ASSERT_EQ(Run({"job", "add", "J", m_tmp.NativeSub("left"), m_tmp.NativeSub("right")}).code, 0);
    const CCliRun an = Run({"analyze", "J"});
    const CCliRun sy = Run({"-v", "sync", "J"});
    EXPECT_EQ(sy.code, 0) << sy.err;

    // A server whose status line carries controls of its own.
    testsrv::ByteServer server;
    ASSERT_TRUE(server.Start(
        {testsrv::Conn().Request().Send("HTTP/1.1 500 Bad\x1b]0;owned\x07\xc2\x9b"
                                        "2J\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")}));
    ASSERT_EQ(Run({"job", "add", "S", m_tmp.NativeSub("right"),
                   "s3://K:V@127.0.0.1:" + std::to_string(server.Port()) + "/b"})
                  .code,
              0);
    const CCliRun bad = Run({"-v", "sync", "S"});
    EXPECT_NE(bad.code, 0);
    EXPECT_TRUE(Has(bad.err, "Bad\\x1B]0;owned\\x07\\x9B2J (status code 500)")) << bad.err;
    // A bucket of another region: the server's words escaped, the advice on
    // a line of its own and naming what the command can set.
    const std::string body = "<Error><Code>PermanentRedirect</Code><Message>Go\nelsewhere</Message></Error>";
    testsrv::ByteServer region;
    ASSERT_TRUE(region.Start({testsrv::Conn().Request().Send(
        "HTTP/1.1 301 Moved Permanently\r\nContent-Type: application/xml\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body)}));
    m_tmp.MakeDir("r3");
    ASSERT_EQ(Run({"job", "add", "R3", m_tmp.NativeSub("r3"),
                   "s3://K:V@127.0.0.1:" + std::to_string(region.Port()) + "/b"})
                  .code,
              0);
    const CCliRun moved = Run({"sync", "R3"});
    EXPECT_TRUE(Has(moved.err,
                    "Go\\nelsewhere\nHow to Fix: name the S3 host of the bucket's region in the side's URL"))
        << moved.err;

    // An item's error: the action and its error on lines of their own, the
    // name in both escaped.
    m_tmp.MakeDir("fifo");
    ASSERT_EQ(mkfifo(m_tmp.NativeSub("fifo/fi\nfo").c_str(), 0600), 0);
    m_tmp.MakeDir("fifo2");
    ASSERT_EQ(Run({"job", "add", "F", m_tmp.NativeSub("fifo"), m_tmp.NativeSub("fifo2")}).code, 0);
    const CCliRun fifo = Run({"sync", "F"});
    EXPECT_TRUE(Has(fifo.err, "/fi\\nfo'\n- ERROR: Copying file: Source is not a regular file: " +
                                  m_tmp.NativeSub("fifo/fi\\nfo\n")))
        << fifo.err;

    std::string logs;
    for (const auto& [path, content] : Files(Profile()))
        if (Has(path, ".log")) logs += content;
    for (const auto& [path, content] : Files(m_tmp.NativeSub("right/_tvdata_")))
        if (Has(path, ".log")) logs += content;
    for (const std::string& text : {an.out, sy.err, bad.err, fifo.err, logs}) {
        for (const char* raw : {"\x1b", "\xc2\x9b", "\xc2\x85", "\xe2\x80\xae", "\x07", "two\n"})
            EXPECT_FALSE(Has(text, raw)) << text;
    }
    for (const Name& n : names) {
        EXPECT_TRUE(Has(an.out, std::string("\t/") + n.shown + "\n")) << an.out;
        EXPECT_TRUE(Has(sy.err, std::string("/") + n.shown + "'")) << n.shown;
        EXPECT_TRUE(Has(logs, std::string("/") + n.shown + "'")) << n.shown;
    }
}

// A job name as long as a file name takes still gets its log (a copy in
// each data folder), and a bucket that refuses the state file makes an
// error the summary counts.
TEST_F(CliOutside, SummariesNameWrittenLogsAndCountEveryError) {
    for (const char* d : {"left", "right"}) m_tmp.MakeDir(d);
    m_tmp.WriteFile("left/a.txt", "a");
    const std::string name(240, 'n');
    ASSERT_EQ(Run({"job", "add", name, m_tmp.NativeSub("left"), m_tmp.NativeSub("right")}).code, 0);
    CCliRun sync = Run({"sync", name});
    const size_t at = sync.out.find("; log: ");
    ASSERT_NE(at, std::string::npos) << sync.out << sync.err;
    const std::string log = sync.out.substr(at + 7, sync.out.find('\n', at) - at - 7);
    EXPECT_EQ(Mode(log), 0600) << log;
    EXPECT_EQ(Mode(m_tmp.NativeSub("right/_tvdata_") + log.substr(log.rfind('/'))), 0600) << log;

    m_tmp.WriteFile("script.json", "[{\"method\": \"PUT\", \"path\": \"_file_state_upload\", \"times\": 9, \"status\": "
                                   "403, \"body\": \"<Error><Code>AccessDenied</Code></Error>\"}]");
    ntest::Child s3;
    std::string port;
    ASSERT_TRUE(s3.Start({kPy, std::string(TV_SOURCE_DIR) + "/tools/fake-s3.py", "--key", "K", "--secret", "V",
                          "--bucket", "b", "--script", m_tmp.NativeSub("script.json")}) &&
                s3.WaitFor("", 10000, &port));
    ASSERT_EQ(Run({"job", "add", "S", m_tmp.NativeSub("left"), "s3://K:V@127.0.0.1:" + std::to_string(atoi(port.c_str())) + "/b"}).code, 0);
    sync = Run({"sync", "S"});
    EXPECT_EQ(sync.code, 1);
    EXPECT_TRUE(Has(sync.err, "Cannot upload temp state file")) << sync.err;
    EXPECT_TRUE(Has(sync.out, "synced: 1 done, 0 conflicts, 1 error")) << sync.out;
}
