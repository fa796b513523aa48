// The result e-mail against the SMTP fixture (tools/smtp-server.py): the
// dialogue with STARTTLS, implicit TLS and AUTH LOGIN, the failure variants,
// the message structure as Python's email package reads it, and the sendmail
// pipe through msmtp.
#include "zor-mail.h"
#include "zor-sendmail.h"
#include "zor-ssl.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <clocale>
#include <regex>

#include "net-test-util.h"
#include "smtp-fixture.h"

namespace {

std::string U8(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

CWideString W(const std::string& s) {
    return Utf8ToWide(s.c_str());
}

class MailTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        smtptest::Server::ClearProxyEnvironment();
        s_pki = new ntest::TempDir();
        s_bPki = ntest::Shell("bash '" TV_SOURCE_DIR "/tools/make-test-pki.sh' '" + s_pki->Path() + "'");
    }
    static void TearDownTestSuite() {
        SetSslRootsFile(CWideString());
        delete s_pki;
        s_pki = nullptr;
    }
    void SetUp() override {
        if (!s_bPki) GTEST_SKIP() << "cannot make test certificates";
        if (system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") != 0) GTEST_SKIP() << "no aiosmtpd";
        SetSslRootsFile(W(*s_pki / "roots.pem"));
    }
    static std::vector<std::string> Tls(const std::string& cert) {
        return {"--tls", *s_pki / (cert + ".pem"), *s_pki / (cert + ".key")};
    }
    SmtpServerInfo Settings(int port, bool bTls, const char* user = "tv-user") {
        SmtpServerInfo s;
        s.m_sHost = u"localhost";
        s.m_nPort = port;
        s.m_bSecureSSL = bTls ? 1 : 0;
        s.m_sUserID = W(user);
        s.m_sPassword = u"pa:ss wörd";
        s.m_sSenderEmail = u"Backup <backup@example.test>";
        return s;
    }
    static ntest::TempDir* s_pki;
    static bool s_bPki;
};

ntest::TempDir* MailTest::s_pki = nullptr;
bool MailTest::s_bPki = false;

} // namespace

TEST(MailParts, RepliesAddressesAndEncoding) {
    struct ReplyCase {
        std::vector<std::string> lines;
        bool ok;
        int code;
        std::string text; // or the error
    } replies[] = {
        {{"250-first", "250 second"}, true, 250, "first\nsecond"},
        {{"220 ready"}, true, 220, "ready"},
        {{"a banner line", "220 ready"}, true, 220, "a banner line\nready"},
        {{"250-x", "421 going away"}, false, 3, "Server Timeout: x\ngoing away"},
        {std::vector<std::string>(1001, "250-more"), false, 7, "bad reply: too long"},
        {{"250-" + std::string(40000, 'a'), "250-" + std::string(30000, 'b')}, false, 7, "bad reply: too long"},
    };
    for (const ReplyCase& c : replies) {
        CSmtpReplyReader r;
        int kind = 0;
        CWideString err;
        bool ok = true, done = false;
        for (const std::string& l : c.lines) {
            ok = r.AddLine(CNarrowString(l.c_str()), done, kind, err);
            if (!ok || done) break;
        }
        EXPECT_EQ(ok, c.ok) << c.lines[0];
        if (ok) {
            EXPECT_TRUE(done);
            EXPECT_EQ(r.m_nCode, c.code);
            EXPECT_EQ(std::string(r.m_sText.GetString()), c.text);
        } else {
            EXPECT_EQ(kind, c.code);
            EXPECT_EQ(U8(err), c.text);
        }
    }
    struct AddrCase {
        const char16_t *text, *name, *address;
    } addrs[] = {
        {u"Backup <backup@x.test>", u"Backup", u"backup@x.test"},
        {u" \"Ops Team\" <ops@x.test> ", u"Ops Team", u"ops@x.test"},
        {u"bare@x.test", u"", u"bare@x.test"},
        {u"<only@x.test>", u"", u"only@x.test"},
    };
    for (const AddrCase& c : addrs) {
        CWideString name, address;
        SplitMailAddress(c.text, name, address);
        EXPECT_EQ(name, CWideString(c.name));
        EXPECT_EQ(address, CWideString(c.address));
    }
    struct QpCase {
        std::string in;
        bool bText;
        std::string out;
    } qps[] = {
        {"a=b\tc", false, "a=3Db=09c"},
        {"x \r\ny ", true, "x=20\r\ny=20"},
        {"a\rb\nc", false, "a=0Db=0Ac"},
        {std::string(80, 'z'), false, std::string(75, 'z') + "=\r\n" + std::string(5, 'z')},
        {"\xc3\xa9", true, "=C3=A9"},
    };
    for (const QpCase& c : qps) {
        CNarrowString out;
        EncodeQuotedPrintable(c.in.data(), c.in.size(), c.bText, out);
        EXPECT_EQ(std::string(out.GetString()), c.out);
    }
}

TEST_F(MailTest, StartTlsAuthAndMessageStructure) {
    smtptest::Server srv;
    std::vector<std::string> opts = Tls("san");
    opts.insert(opts.end(), {"--auth", "tv-user:pa:ss wörd"});
    ASSERT_TRUE(srv.Start(opts));
    const std::string oldLocale = setlocale(LC_TIME, nullptr);
    setlocale(LC_TIME, "de_DE.UTF-8"); // when the machine has it
    ntest::TempDir files;
    std::string logBytes = std::string(2000, 'L') + "\n" + "bare\rcr\nbare lf\r\nend  \n.dot line\n=eq \xc3\xa9 \x01";
    ntest::WriteFile(files / "run log.txt", logBytes);
    ntest::WriteFile(files / "second.bin", std::string("\0\xff.\r\n.\r\n", 8));
    std::vector<CWideString> attachments = {W(files / "run log.txt"), W(files / "second.bin")};
    int kind = 0;
    CWideString err;
    const std::string subject = "Torvane Job='Caf\xc3\xa9' Result='line1\r\nBcc: evil@x.test' SyncOk=1";
    ASSERT_TRUE(SendSmtpMail(Settings(srv.Port(), false), "a@x.test; b@y.test", "a\nb\r\n.x\nend",
                             CNarrowString(subject.c_str()), attachments, kind, err))
        << U8(err);
    setlocale(LC_TIME, oldLocale.c_str());
    ASSERT_TRUE(srv.HasMessage());
    const std::string facts = ntest::ReadFile(srv.Path("msg-1.json"));
    EXPECT_NE(facts.find("\"tls_at_auth\": true"), std::string::npos) << facts;
    EXPECT_NE(facts.find("\"login\": \"tv-user\""), std::string::npos) << facts;
    EXPECT_NE(facts.find("\"mail_from\": \"backup@example.test\""), std::string::npos) << facts;
    EXPECT_NE(facts.find("\"rcpt_tos\": [\"a@x.test\", \"b@y.test\"]"), std::string::npos) << facts;
    // The wire before TLS: EHLO and STARTTLS only; no password in clear.
    const std::string raw = srv.Raw();
    ASSERT_NE(raw.find("STARTTLS\r\n"), std::string::npos);
    EXPECT_LT(raw.find("STARTTLS\r\n"), raw.find("AUTH LOGIN"));
    EXPECT_LT(raw.find("STARTTLS\r\n"), raw.find("EHLO", raw.find("STARTTLS"))); // EHLO again after TLS
    const std::string eml = ntest::ReadFile(srv.Path("msg-1.eml"));
    EXPECT_FALSE(smtptest::HasBareLf(eml));
    for (size_t p = 0, e; (e = eml.find("\r\n", p)) != std::string::npos; p = e + 2) EXPECT_LE(e - p, 998u);
    EXPECT_NE(eml.find("\r\n.x\r\n"), std::string::npos); // un-stuffed by the server
    EXPECT_EQ(eml.find("\r\nBcc:"), std::string::npos);

    smtptest::Parsed m;
    ASSERT_TRUE(smtptest::ParseMessage(srv.Path("msg-1.eml"), m));
    EXPECT_EQ(m.headers["subject"], "Torvane Job='Caf\xc3\xa9' Result='line1  Bcc: evil@x.test' SyncOk=1");
    EXPECT_EQ(m.headers["from"], "Backup <backup@example.test>");
    EXPECT_EQ(m.headers["to"], "a@x.test, b@y.test");
    EXPECT_EQ(m.headers["mime-version"], "1.0");
    // English day and month names whatever the locale: Python reads the date
    EXPECT_TRUE(std::regex_match(m.headers["date"],
                                 std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d{1,2} "
                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} "
                                            "\\d\\d:\\d\\d:\\d\\d \\+0000")))
        << m.headers["date"];
    ASSERT_EQ(m.parts.size(), 3u);
    EXPECT_EQ(m.parts[0].type, "text/plain");
    EXPECT_EQ(m.parts[0].bytes, "a\r\nb\r\n.x\r\nend");
    EXPECT_EQ(m.parts[1].filename, "run log.txt");
    EXPECT_EQ(m.parts[1].bytes, logBytes);
    EXPECT_EQ(m.parts[2].filename, "second.bin");
    EXPECT_EQ(m.parts[2].bytes, std::string("\0\xff.\r\n.\r\n", 8));
    // A message without attachments: one part with its charset.
    ASSERT_TRUE(SendSmtpMail(Settings(srv.Port(), false), "\"Ops\" <ops@x.test>", "just text\n", "plain", {}, kind,
                             err))
        << U8(err);
    smtptest::Parsed single;
    ASSERT_TRUE(smtptest::ParseMessage(srv.Path("msg-2.eml"), single));
    EXPECT_EQ(single.headers["content-type"], "text/plain; charset=\"UTF-8\"");
    EXPECT_EQ(single.headers["to"], "ops@x.test");
    ASSERT_EQ(single.parts.size(), 1u);
    EXPECT_EQ(single.parts[0].bytes, "just text\r\n");
}

TEST_F(MailTest, ServerVariantsAndRefusals) {
    struct Case {
        const char* what;
        std::vector<std::string> options;
        bool bImplicitTls;
        const char* user;
        const char* recipients;
        bool ok;
        const char* error; // start of the error text
        int kind;
        const char* onWire; // in the client's bytes (plain connections), "" for no check
    } cases[] = {
        {"implicit TLS", {"--implicit-tls"}, true, "tv-user", "a@x.test", true, "", 0, ""},
        {"no TLS: AUTH in clear", {"--no-starttls"}, false, "tv-user", "a@x.test", true, "", 0, "AUTH LOGIN\r\n"},
        {"no user: VRFY, no AUTH", {}, false, "", "a@x.test", true, "", 0, "VRFY a@x.test\r\nMAIL FROM:<"},
        {"two-line EHLO", {"--ehlo-two-lines"}, false, "", "a@x.test", true, "", 0, "MAIL FROM:<backup@example.test>"},
        {"no QUIT reply", {"--no-quit-reply"}, false, "", "a@x.test", true, "", 0, "QUIT\r\n"},
        {"421 at EHLO", {"--fail-at", "ehlo"}, false, "", "a@x.test", false, "recv hello: Server Timeout: ", 3, ""},
        {"421 at MAIL", {"--fail-at", "mail"}, false, "", "a@x.test", false, "recv sender: Server Timeout: ", 3, ""},
        {"421 at RCPT", {"--fail-at", "rcpt"}, false, "", "a@x.test", false, "recv recipient: Server Timeout: ", 3, ""},
        {"421 at DATA", {"--fail-at", "data"}, false, "", "a@x.test", false, "recv data: Server Timeout: ", 3, ""},
        {"421 after the body", {"--fail-at", "body"}, false, "", "a@x.test", false, "Server Timeout: ", 3, ""},
        {"wrong password", {"--auth", "tv-user:other"}, false, "tv-user", "a@x.test", false, "not authenticated: ", 2, ""},
        {"injected recipient", {}, false, "", "a@x.test\r\nRCPT TO:<evil@x.test>", false, "bad recipient: ", 5, ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        smtptest::Server srv;
        std::vector<std::string> opts = c.options;
        const bool bNoStartTls = !opts.empty() && opts[0] == "--no-starttls";
        if (bNoStartTls) opts.erase(opts.begin());
        if (!bNoStartTls) {
            std::vector<std::string> t = Tls("san");
            opts.insert(opts.end(), t.begin(), t.end());
        }
        if (std::string(c.user) == "tv-user" && std::find(opts.begin(), opts.end(), "--auth") == opts.end())
            opts.insert(opts.end(), {"--auth", "tv-user:pa:ss wörd"});
        ASSERT_TRUE(srv.Start(opts));
        int kind = 0;
        CWideString err;
        const bool ok = SendSmtpMail(Settings(srv.Port(), c.bImplicitTls, c.user), c.recipients, "body", "subject", {},
                                     kind, err);
        EXPECT_EQ(ok, c.ok) << U8(err);
        if (!ok && *c.error) {
            EXPECT_EQ(U8(err).substr(0, strlen(c.error)), c.error) << U8(err);
            EXPECT_EQ(kind, c.kind);
        }
        if (*c.onWire) {
            EXPECT_NE(srv.Raw().find(c.onWire), std::string::npos) << srv.Raw();
        }
        EXPECT_EQ(srv.HasMessage(), ok);
    }
    // A NUL inside a recipient is refused before any connection.
    {
        smtptest::Server srv;
        ASSERT_TRUE(srv.Start({}));
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(SendSmtpMail(Settings(srv.Port(), false, ""), CNarrowString("a@x.test\0b", 10), "b", "s", {},
                                  kind, err));
        EXPECT_EQ(kind, 5);
        EXPECT_TRUE(srv.Raw().empty());
    }
    // Certificates from an unknown CA are refused, with STARTTLS before AUTH
    // and with implicit TLS; the password never leaves.
    for (bool bImplicit : {false, true}) {
        smtptest::Server srv;
        std::vector<std::string> opts = Tls("self");
        opts.insert(opts.end(), {"--auth", "tv-user:pa:ss wörd"});
        if (bImplicit) opts.push_back("--implicit-tls");
        ASSERT_TRUE(srv.Start(opts));
        int kind = 0;
        CWideString err;
        EXPECT_FALSE(SendSmtpMail(Settings(srv.Port(), bImplicit), "a@x.test", "b", "s", {}, kind, err));
        EXPECT_EQ(srv.Raw().find("AUTH"), std::string::npos);
        EXPECT_FALSE(srv.HasMessage());
    }
    int kind = 0;
    CWideString err;
    SmtpServerInfo none;
    none.m_sHost = u"";
    EXPECT_FALSE(SendSmtpMail(none, "a@x.test", "b", "s", {}, kind, err));
    EXPECT_EQ(U8(err), "SMTP server is not specified, set it up in Tools -> Program Options -> Connect");
}

TEST_F(MailTest, SendmailPipe) {
    if (!ntest::HaveCommand("msmtp")) GTEST_SKIP() << "no msmtp";
    smtptest::Server srv;
    ASSERT_TRUE(srv.Start({}));
    ntest::TempDir dir;
    const std::string conf = dir / "msmtprc";
    ntest::WriteFile(conf, "account default\nhost 127.0.0.1\nport " + std::to_string(srv.Port()) +
                               "\nfrom tv@example.test\nauth off\ntls off\n");
    chmod(conf.c_str(), 0600);
    ntest::WriteFile(dir / "run.log", "line one\r\nline two\n");
    const CWideString oldCommand = ZorGetSendmailCommand();
    ZorSetSendmailCommand(W("msmtp -C \"" + conf + "\" -t -oi"));
    CMapiMailRecord rec;
    rec.m_sRecipient = u"ops@example.test";
    rec.m_sSubject = u"Torvane Job='Café'";
    rec.m_sBody = u"body\n.\nend";
    rec.m_aAttachments = {W(dir / "run.log")};
    CWideString err;
    EXPECT_TRUE(SendMapiMail(rec, err)) << U8(err);
    ASSERT_TRUE(srv.HasMessage());
    smtptest::Parsed m;
    ASSERT_TRUE(smtptest::ParseMessage(srv.Path("msg-1.eml"), m));
    EXPECT_EQ(m.headers["subject"], "Torvane Job='Caf\xc3\xa9'");
    EXPECT_EQ(m.headers["to"], "ops@example.test");
    ASSERT_EQ(m.parts.size(), 2u);
    EXPECT_EQ(m.parts[0].bytes, "body\r\n.\r\nend");
    EXPECT_EQ(m.parts[1].filename, "run.log");
    EXPECT_EQ(m.parts[1].bytes, "line one\r\nline two\n");

    struct Case {
        std::string command, error;
    } cases[] = {
        {"/nonexistent/sendmail -t -oi", "Cannot find email sender"},
        {"no-such-sendmail-program -t", "Cannot find email sender"},
        {"/bin/sh -c \"cat >/dev/null; exit 3\"", "Cannot send email, sendmail exit 3"},
    };
    for (const Case& c : cases) {
        ZorSetSendmailCommand(W(c.command));
        CWideString e;
        EXPECT_FALSE(SendMapiMail(rec, e));
        EXPECT_EQ(U8(e), c.error);
    }
    ZorSetSendmailCommand(oldCommand);
}
