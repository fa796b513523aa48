// The post-run e-mail of a real run between two local folders, sent to the
// SMTP test server (tools/smtp-server.py) or through msmtp as the sendmail
// command, and read back with Python's email package.
#include "job-harness.h"
#include "../../zor-lib/portable/net/smtp-fixture.h"
#include "syncjob.h"
#include "zor-sendmail.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

std::string U8(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

// Writes what the job says into its run logs; the first line is preceded by
// a filler of the chosen size, so that the log reaches a size of interest.
class CPaddedLogSink : public CRecordingSink {
public:
    CSyncJob* pJob = nullptr;
    size_t nFiller = 0;
    void OnMessageLine(int level, const CWideString& text, int mode) override {
        CRecordingSink::OnMessageLine(level, text, mode);
        CZorLog& log = pJob->GetJobLog(0);
        if (log.GetFolder().IsEmpty()) return;
        if (nFiller) {
            log.WriteLine(CNarrowString(std::string(nFiller, 'f').c_str()) + "\n");
            nFiller = 0;
        }
        log.WriteLine(text);
    }
};

const std::string kNote =
    "Only first 8Kb of log are shown here in the message body, the entire log file is hereby attached.\r\n\r\n";

} // namespace

TEST(PostRunMail, RunResultsByMail) {
    smtptest::Server::ClearProxyEnvironment();
    if (system("/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null") != 0) GTEST_SKIP() << "no aiosmtpd";
    smtptest::Server good, refusing;
    ASSERT_TRUE(good.Start({}));
    ASSERT_TRUE(refusing.Start({"--fail-at", "rcpt"}));
    ntest::TempDir conf;
    const std::string rc = conf / "msmtprc";
    ntest::WriteFile(rc, "account default\nhost 127.0.0.1\nport " + std::to_string(good.Port()) +
                             "\nfrom tv@example.test\nauth off\ntls off\n");
    chmod(rc.c_str(), 0600);
    const CWideString oldSendmail = ZorGetSendmailCommand();
    const bool bMsmtp = access("/usr/bin/msmtp", X_OK) == 0;

    CPaddedLogSink sink; // outlives the job
    CJobHarness h;
    CSyncJob job;
    sink.pJob = &job;
    job.SetProgressSink(&sink);
    job.SetName(u"Caf\u00e9 \u00e9t\u00e9");
    ASSERT_TRUE(h.m_tmp.MakeDir("L"));
    ASSERT_TRUE(h.m_tmp.MakeDir("R"));
    job.SetSideFolder(0, h.m_tmp.Path("L"));
    job.SetSideFolder(1, h.m_tmp.Path("R"));
    job.m_Options.m_sPostSyncScriptOrEmail = u"ops@example.test";

    struct Case {
        const char* what;
        size_t nFiller;
        bool bSmtp;
        smtptest::Server* pServer; // where the mail should arrive; null: nowhere
        const char* action;
        bool bNote;
    } cases[] = {
        {"log of 10,000 bytes", 10000, true, &good, "ops@example.test", true},
        {"small log", 0, true, &good, "ops@example.test", false},
        {"errors only after a clean run", 0, true, nullptr, "errors: ops@example.test", false},
        {"through sendmail", 0, false, &good, "ops@example.test", false},
        {"refused by the server", 0, true, nullptr, "ops@example.test", false},
    };
    int nGood = 0;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        if (!c.bSmtp && !bMsmtp) continue;
        smtptest::Server& srv = c.pServer ? *c.pServer : (i == 4 ? refusing : good);
        g_EngineOptions.m_bUseSmtpToEmail = c.bSmtp ? 1 : 0;
        g_EngineOptions.m_SmtpServerInfo.m_sHost = u"127.0.0.1";
        g_EngineOptions.m_SmtpServerInfo.m_nPort = srv.Port();
        g_EngineOptions.m_SmtpServerInfo.m_sSenderEmail = u"Torvane <tv@example.test>";
        ZorSetSendmailCommand(Utf8ToWide(("/usr/bin/msmtp -C \"" + rc + "\" -t -oi").c_str()));
        job.m_Options.m_sPostSyncScriptOrEmail = Utf8ToWide(c.action);
        sink.nFiller = c.nFiller;
        ASSERT_TRUE(h.m_tmp.WriteFile("L/file" + std::to_string(i) + ".txt", "x"));
        sink.ClearRecords();
        h.m_clock.Advance(2000); // a run log of its own for each run
        auto r = h.Run(job, true, true);
        // whatever the mail did, the run's outcome stands
        EXPECT_TRUE(r.bOk) << U8(r.sResult);
        EXPECT_EQ(r.nSub, RSS_OK);
        bool bRefusedNotice = false;
        for (const auto& n : sink.Notices())
            bRefusedNotice |= n.level == 1 && U8(n.text).rfind("Cannot email log file via SMTP: ", 0) == 0;
        EXPECT_EQ(bRefusedNotice, i == 4);
        if (!c.pServer) {
            EXPECT_FALSE(good.HasMessage(nGood + 1));
            continue;
        }
        ++nGood;
        ASSERT_TRUE(good.HasMessage(nGood));
        const std::string log =
            ntest::ReadFile(U8(job.GetJobLog(0).GetFolder()) + "/" + U8(job.GetRunLogName()));
        smtptest::Parsed m;
        ASSERT_TRUE(smtptest::ParseMessage(good.Path("msg-" + std::to_string(nGood) + ".eml"), m));
        const std::string subject = "Torvane Job='Caf\xc3\xa9 \xc3\xa9t\xc3\xa9' Stage=Post-Sync Result='' SyncOk=";
        EXPECT_EQ(m.headers["subject"].substr(0, subject.size()), subject);
        EXPECT_EQ(m.headers["to"], "ops@example.test");
        ASSERT_EQ(m.parts.size(), 2u);
        // the body part comes with CR LF line ends
        std::string expected = c.bNote ? kNote + log.substr(0, 8192) : log;
        std::string crlf;
        for (size_t k = 0; k < expected.size(); ++k) {
            if (expected[k] == '\n' && (k == 0 || expected[k - 1] != '\r')) crlf += '\r';
            crlf += expected[k];
        }
        EXPECT_EQ(c.bNote, log.size() >= 8192);
        EXPECT_EQ(m.parts[0].bytes, crlf);
        EXPECT_EQ(m.parts[1].filename, U8(job.GetRunLogName()));
        EXPECT_EQ(m.parts[1].bytes, log);
    }
    ZorSetSendmailCommand(oldSendmail);
}
