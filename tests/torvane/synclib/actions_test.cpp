// The actions around a run: programs with their placeholders, e-mail
// targets, the pre- and post-run stages, and the run-log upload.
#include "fake-fs.h"
#include "job-harness.h"

#include "result-mail.h"
#include "zor-sendmail.h"
#include "syncjob.h"
#include "zor-file.h"
#include "zor-path.h"
#include "zor-process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A transport that records what it was asked to send: via, to, subject, body, attachment.
class CRecordingMail : public IMailTransport {
public:
    std::vector<std::vector<std::string>> sent;
    bool SendSmtp(const SmtpServerInfo&, const CNarrowString& to, const CNarrowString& body,
                  const CNarrowString& subject, const std::vector<CWideString>& att, int&,
                  CWideString&) override {
        sent.push_back(
            {"smtp", to.GetString(), subject.GetString(), body.GetString(), att.empty() ? "" : ToU8(att[0])});
        return true;
    }
    bool SendMapi(const CActionScript& m, CWideString&) override {
        sent.push_back({"mapi", ToU8(m.m_sRecipients), ToU8(m.m_sSubject),
                        CNarrowString(m.m_sBody).GetString(),
                        m.m_aAttachments.empty() ? "" : ToU8(m.m_aAttachments[0])});
        return true;
    }
};

class ActionsTest : public ::testing::Test {
protected:
    CJobHarness h;
    CSyncJob job;
    std::string marker;

    void SetUp() override {
        ASSERT_TRUE(h.m_tmp.IsValid());
        h.Attach(job);
        job.SetName(u"J");
        ASSERT_TRUE(h.m_tmp.MakeDir("L"));
        ASSERT_TRUE(h.m_tmp.MakeDir("R"));
        job.SetSideFolder(0, h.m_tmp.Path("L"));
        job.SetSideFolder(1, h.m_tmp.Path("R"));
        marker = h.m_tmp.NativeSub("marker.txt");
    }
    // A program that appends its arguments, one per line, to the marker
    // file, then a line "--", and exits with the code.
    std::string MakeProgram(const std::string& rel, int nExit = 0) {
        const std::string path = h.m_tmp.NativeSub(rel);
        h.m_tmp.WriteFile(rel, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + marker +
                                   "'; done\nprintf -- '--\\n' >> '" + marker + "'\nexit " +
                                   std::to_string(nExit) + "\n");
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string WaitForMarker() {
        for (int i = 0; i < 500; ++i) {
            std::string s = ReadAll(marker);
            if (s.size() >= 3 && s.compare(s.size() - 3, 3, "--\n") == 0) return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ReadAll(marker);
    }
    struct Outcome {
        bool bOk;
        int nCode;
        int nKind;
        std::string err;
    };
    Outcome Act(const std::string& action, const CWideString& summary, bool bNormal = true,
                const CWideString& err = CWideString(), const CWideString& logPath = CWideString(),
                const CWideString& stage = u"Post-Sync") {
        Outcome o{false, 99, 0, ""};
        CWideString e;
        o.bOk = job.SendEmailOrRunProgram(Utf8ToWide(action.c_str()), stage, bNormal, err, summary, logPath,
                                          o.nCode, o.nKind, e);
        o.err = ToU8(e);
        return o;
    }
    bool SawNotice(int level, const std::string& prefix) const {
        for (const auto& n : h.m_sink.Notices())
            if (n.level == level && ToU8(n.text).rfind(prefix, 0) == 0) return true;
        return false;
    }
};

const CWideString kCleanSync = u"SyncOk=3 ChangesOk=3 SyncErr=0 Conflicts=0";
const CWideString kSyncWithConflict = u"SyncOk=2 ChangesOk=2 SyncErr=0 Conflicts=1";

// ---------------------------------------------------------------- programs

TEST_F(ActionsTest, ProgramLines) {
    const std::string prog = MakeProgram("prog"), prog3 = MakeProgram("exit3", 3);
    const std::string missing = h.m_tmp.NativeSub("missing");
    struct Case {
        std::string action;
        CWideString summary;
        bool bNormal;
        bool bOk;
        int nCode;
        std::string marker; // the arguments the program got, or an error prefix when !bOk
    };
    const Case cases[] = {
        {"errors:" + prog + " x", kCleanSync, true, true, -1, ""}, // nothing to report: not run
        {"errors:" + prog + " %RESULT%", kCleanSync, false, true, 0,
         "boom\n--\n"}, // a failed run always reports
        {prog3 + " a", kCleanSync, true, true, 3, "a\n--\n"},
        {"\"" + prog + "\" %ALLARGS%", u"Changed=4 Errors=1 Conflicts=2", false, true, 0,
         "J\nboom\n/l.log\n" + h.m_tmp.NativeSub("L") + "\n" + h.m_tmp.NativeSub("R") + "\n4\n1\n2\n--\n"},
        // "nowait: " counts only at the very start: here the program is "nowait:".
        {"errors:nowait: " + prog, kSyncWithConflict, true, false, 0, "Error running program: nowait: "},
        {"\"" + prog + " a b", kCleanSync, true, false, -1, "Unclosed quote: \"" + prog + " a b"},
        {missing + " a", kCleanSync, true, false, 0, "Error running program: " + missing + " a: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        unlink(marker.c_str());
        Outcome o = Act(c.action, c.summary, c.bNormal, u"boom", u"/l.log");
        EXPECT_EQ(o.bOk, c.bOk) << o.err;
        EXPECT_EQ(o.nCode, c.nCode);
        if (c.bOk) {
            EXPECT_EQ(ReadAll(marker), c.marker);
        } else {
            EXPECT_EQ(o.nKind, FSE_GENERAL);
            EXPECT_EQ(o.err.rfind(c.marker, 0), 0u) << o.err;
        }
    }
}

TEST_F(ActionsTest, ValuesNeverSplitOrAddArguments) {
    const std::string prog = MakeProgram("prog");
    const std::string hostile = "it's \"a\" job; $(touch pwned) `touch pwned` %RESULT% \\";
    job.SetName(Utf8ToWide(hostile.c_str()));
    Outcome o = Act(prog + " %JOBNAME% \"--stage=%STAGE%\" x%CHANGED%y %SYNCOK% 100% %TVDISK%", kCleanSync);
    ASSERT_TRUE(o.bOk) << o.err;
    EXPECT_EQ(ReadAll(marker), hostile + "\n--stage=Post-Sync\nx-1y\n3\n100%\n" +
                                   ToU8(GetVolumeRoot(GetProcessExeFolder())) + "\n--\n");
    EXPECT_FALSE(h.m_tmp.Exists("pwned"));
    EXPECT_NE(access("pwned", F_OK), 0);
    EXPECT_TRUE(SawNotice(2, "Post-Sync: Running (Post-Sync): " + prog + " "));
    EXPECT_TRUE(SawNotice(2, "Program returned control: " + prog));
}

// ---------------------------------------------------------------- e-mail

TEST_F(ActionsTest, MailTargets) {
    // A transport that cannot send fails the action clearly: no mail server
    // set up, or no mail program. "@" makes an e-mail target even when the
    // text looks like a program line.
    const CWideString oldSendmail = ZorGetSendmailCommand();
    ZorSetSendmailCommand(u"/nonexistent/sendmail -t -oi");
    g_EngineOptions.m_SmtpServerInfo.m_sHost.Empty();
    for (int smtp = 0; smtp < 2; ++smtp) {
        g_EngineOptions.m_bUseSmtpToEmail = (uint8_t)smtp;
        Outcome o = Act("/bin/true admin@example.com", kCleanSync);
        EXPECT_FALSE(o.bOk);
        EXPECT_EQ(o.nKind, FSE_GENERAL);
        EXPECT_EQ(o.err, smtp ? "Cannot email log file via SMTP: SMTP server is not specified, set it up in Tools "
                                "-> Program Options -> Connect"
                              : "Cannot email log file via MAPI: Cannot find email sender");
    }
    ZorSetSendmailCommand(oldSendmail);
    CRecordingMail mail;
    SetMailTransport(&mail);
    const std::string note = "Only first 8Kb of log are shown here in the message body, the entire log file "
                             "is hereby attached.\r\n\r\n";
    for (int nBytes : {10000, 100}) {
        const bool bSmtp = nBytes == 100; // the use-SMTP flag picks the transport
        g_EngineOptions.m_bUseSmtpToEmail = bSmtp ? 1 : 0;
        std::string content;
        for (int i = 0; i < nBytes; ++i) content += (char)('a' + i % 26);
        h.m_tmp.WriteFile("run.log", content);
        mail.sent.clear();
        Outcome o = Act("ops@example.com", kCleanSync, true, CWideString(), h.m_tmp.Path("run.log"));
        ASSERT_TRUE(o.bOk) << o.err;
        EXPECT_EQ(o.nCode, 0);
        const std::string body = bSmtp ? content : note + content.substr(0, 8192);
        EXPECT_EQ(mail.sent, (std::vector<std::vector<std::string>>{
                                 {bSmtp ? "smtp" : "mapi", "ops@example.com",
                                  "Torvane Job='J' Stage=Post-Sync Result='' " + ToU8(kCleanSync), body,
                                  h.m_tmp.NativeSub("run.log")}}));
        EXPECT_TRUE(SawNotice(2, bSmtp ? "Email has been sent via SMTP" : "Email has been sent via MAPI"));
    }
    // A failed run's text of several lines stays on the subject's one line.
    mail.sent.clear();
    ASSERT_TRUE(Act("ops@example.com", u"x", false, u"a\r\nBcc: b@example.com").bOk);
    ASSERT_EQ(mail.sent.size(), 1u);
    EXPECT_EQ(mail.sent[0][2], "Torvane Job='J' Stage=Post-Sync Result='a  Bcc: b@example.com' x");
    SetMailTransport(nullptr);
}

// ---------------------------------------------------------------- the stages of a run

// A host sink that writes what the job says into the job's run logs.
class CLogWritingSink : public CRecordingSink {
public:
    CSyncJob* pJob = nullptr;
    void OnMessageLine(int level, const CWideString& text, int mode) override {
        CRecordingSink::OnMessageLine(level, text, mode);
        for (int side = 0; side < 2; ++side)
            if (!pJob->GetJobLog(side).GetFolder().IsEmpty()) pJob->GetJobLog(side).WriteLine(text);
    }
};

class ActionRunTest : public ActionsTest {
protected:
    CLogWritingSink sink; // outlives the job, which unlinks it when it goes
    CSyncJob rjob;
    std::shared_ptr<CFakeFsPlan> plan = std::make_shared<CFakeFsPlan>();
    CFakeFsRegistration reg{plan};
    void SetUp() override {
        ActionsTest::SetUp();
        sink.pJob = &rjob;
        rjob.SetProgressSink(&sink);
        rjob.SetName(u"J");
        rjob.SetSideFolder(0, u"fakefs://" + h.m_tmp.Path("L"));
        rjob.SetSideFolder(1, u"fakefs://" + h.m_tmp.Path("R"));
    }
    void Put(const std::string& rel, const std::string& text) { ASSERT_TRUE(h.m_tmp.WriteFile(rel, text)); }
    bool Noticed(int level, const std::string& prefix) const {
        for (const auto& n : sink.Notices())
            if (n.level == level && ToU8(n.text).rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::vector<std::string> Logs(const std::string& side) const {
        std::vector<std::string> v;
        for (const std::string& n : h.m_tmp.List(side + "/_tvdata_"))
            if (n.find(".log") != std::string::npos || n.find("_log") != std::string::npos) v.push_back(n);
        return v;
    }
};

TEST_F(ActionRunTest, PreAnalyzeExitCodeRefusesTheAnalyze) {
    rjob.m_Options.m_sPreAnalyzeScriptOrEmail = Utf8ToWide(MakeProgram("pre", 3).c_str());
    auto r = h.Run(rjob, true, true);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(ToU8(r.sResult), "Pre-Analyze script returned error code 3, so do not Analyze");
    EXPECT_EQ(r.nState, RS_ANALYZED);
    EXPECT_EQ(r.nSub, RSS_FAILED);
    EXPECT_FALSE(h.m_tmp.Exists("L/_tvdata_"));
    EXPECT_FALSE(h.m_tmp.Exists("R/_tvdata_"));
}

TEST_F(ActionRunTest, PostSyncActionsSeeTheSyncSummary) {
    // A quoted path with blanks and all values, after a clean sync of 3 items.
    ASSERT_TRUE(h.m_tmp.MakeDir("my tools"));
    const std::string prog2 = MakeProgram("my tools/all args");
    rjob.m_Options.m_sPostSyncScriptOrEmail = Utf8ToWide(("\"" + prog2 + "\" %ALLARGS%").c_str());
    for (const char* n : {"L/c.txt", "L/d.txt", "L/e.txt"}) Put(n, n);
    auto r = h.Run(rjob, true, true);
    ASSERT_EQ(r.nSub, RSS_OK) << sink.Dump();
    const std::string log = ToU8(rjob.GetJobLog(0).GetFolder()) + "/" + ToU8(rjob.GetRunLogName());
    EXPECT_EQ(ReadAll(marker), "J\n\n" + log + "\nfakefs://" + h.m_tmp.NativeSub("L") + "\nfakefs://" +
                                   h.m_tmp.NativeSub("R") + "\n3\n0\n0\n--\n");

    // Errors only, without waiting: not after a clean sync, after one with a conflict.
    unlink(marker.c_str());
    const std::string prog = MakeProgram("post");
    rjob.m_Options.m_sPostSyncScriptOrEmail =
        Utf8ToWide(("nowait: errors:" + prog + " %JOBNAME% %CONFLICTS%").c_str());
    Put("L/a.txt", "a");
    ASSERT_EQ(h.Run(rjob, true, true).nSub, RSS_OK) << sink.Dump();
    EXPECT_FALSE(h.m_tmp.Exists("marker.txt"));
    Put("L/b.txt", "one");
    Put("R/b.txt", "the other");
    r = h.Run(rjob, true, true);
    EXPECT_EQ(r.nState, RS_SYNCED);
    EXPECT_EQ(WaitForMarker(), "J\n1\n--\n");
}

TEST_F(ActionRunTest, PostAnalyzeRunsOnlyWhenTheAnalyzeFoundNothing) {
    const std::string prog = MakeProgram("post");
    rjob.m_Options.m_sPostAnalyzeScriptOrEmail = Utf8ToWide((prog + " %STAGE% %CHANGED%").c_str());
    // Whatever the last Sync left behind, the Analyze decides.
    rjob.m_bWorkRemains = 1;
    ASSERT_TRUE(h.Run(rjob, true, false).bOk);
    EXPECT_EQ(ReadAll(marker), "Post-Analyze\n0\n--\n");
    unlink(marker.c_str());
    rjob.m_bWorkRemains = 0;
    Put("L/a.txt", "a");
    ASSERT_TRUE(h.Run(rjob, true, false).bOk);
    EXPECT_FALSE(h.m_tmp.Exists("marker.txt"));
}

TEST_F(ActionRunTest, AFailingPostActionIsOnlyANotice) {
    rjob.m_Options.m_sPostSyncScriptOrEmail = u"\"/no/closing quote";
    Put("L/a.txt", "a");
    auto r = h.Run(rjob, true, true);
    EXPECT_TRUE(r.bOk) << ToU8(r.sResult);
    EXPECT_EQ(r.nSub, RSS_OK);
    EXPECT_TRUE(Noticed(1, "Unclosed quote: \"/no/closing quote\n"));
    bool bProgress = false;
    for (const auto& p : sink.ProgressLines())
        bProgress |= p.percent == 0 && ToU8(p.text).rfind("Unclosed quote: ", 0) == 0;
    EXPECT_TRUE(bProgress);
}

TEST_F(ActionRunTest, RunLogIsUploadedToEachSideThatMayHoldADataFolder) {
    Put("L/a.txt", "a");
    ASSERT_TRUE(h.Run(rjob, true, true).bOk) << sink.Dump();
    const std::string name = ToU8(rjob.GetRunLogName());
    ASSERT_EQ(name.substr(name.size() - 6), "-J.log");
    ASSERT_EQ(name.size(), 16 + 1 + ToU8(GetComputerNameText()).size() + 6);
    const std::string local = ReadAll(ToU8(rjob.GetJobLog(0).GetFolder()) + "/" + name);
    ASSERT_NE(local.find("Sync Completed"), std::string::npos);
    for (const char* side : {"L", "R"}) {
        EXPECT_EQ(Logs(side), std::vector<std::string>{name}); // no "_log._tvtmp" left
        EXPECT_EQ(ReadAll(h.m_tmp.NativeSub(std::string(side) + "/_tvdata_/" + name)), local);
    }
    // An Analyze-only run uploads nothing.
    h.m_clock.Advance(10000);
    ASSERT_TRUE(h.Run(rjob, true, false).bOk);
    EXPECT_EQ(Logs("L").size(), 1u);

    // A failed upload is only a notice: the right side has a folder where the log should go.
    h.m_clock.Advance(10000);
    rjob.OpenRunLog(false, false); // the name the next run takes
    const std::string blocked = "R/_tvdata_/" + ToU8(rjob.GetRunLogName());
    ASSERT_TRUE(h.m_tmp.MakeDir(blocked + "/x"));
    Put("L/b.txt", "b");
    auto r = h.Run(rjob, true, true);
    EXPECT_EQ(r.nSub, RSS_OK) << sink.Dump();
    EXPECT_TRUE(Noticed(1, "Cannot rename log file: ")); // uploaded under a temporary name first
    EXPECT_EQ(Logs("L").size(), 2u);
    EXPECT_EQ(Logs("R").size(), 2u); // the old one and the blocking folder; no temporary left
    std::filesystem::remove_all(h.m_tmp.NativeSub(blocked));

    // A side that may not hold a data folder never gets it.
    rjob.m_Options.m_bNoTvDataFolder = true;
    rjob.m_Options.m_nNoTvDataFolderSide = 1;
    Put("L/c.txt", "c");
    h.m_clock.Advance(10000);
    r = h.Run(rjob, true, true);
    EXPECT_TRUE(r.bOk) << sink.Dump();
    EXPECT_EQ(Logs("L").size(), 3u);
    EXPECT_EQ(Logs("R").size(), 1u);
}

} // namespace
