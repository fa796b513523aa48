// The actions around a run (a program to start or e-mail recipients to send
// the run log to) and the end of every run: the run log is closed, copied
// into each side's data folder, and the post action runs.
#include "result-mail.h"
#include "syncjob.h"

#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-process.h"
#include "zor-unicode.h"

#include <stdio.h>

#include <vector>

namespace {

constexpr int kMailBodyMax = 8192;
constexpr const char* kMailBodyNote = "Only first 8Kb of log are shown here in the message body, the entire "
                                      "log file is hereby attached.\r\n\r\n";

// The four numbers of a run summary; -1 where the summary does not give one.
struct RunSummary {
    int nChanged = -1;
    int nErrors = -1;
    int nConflicts = -1;
    int nSyncOk = -1;
};

RunSummary ParseSummary(const CWideString& summary) {
    RunSummary r;
    const CNarrowString text = summary; // the summaries are plain ASCII
    int a = 0, b = 0, c = 0, d = 0;
    if (sscanf(text.GetString(), "Changed=%d Errors=%d Conflicts=%d", &a, &b, &c) == 3) {
        r.nChanged = a;
        r.nErrors = b;
        r.nConflicts = c;
    } else if (sscanf(text.GetString(), "SyncOk=%d ChangesOk=%d SyncErr=%d Conflicts=%d", &a, &b, &c, &d) ==
               4) {
        r.nSyncOk = a;
        r.nErrors = c;
        r.nConflicts = d;
    }
    return r;
}

CWideString Num(int n) {
    return CWideString::Formatted(u"%d", n);
}

// A folder setting as a local path, for the programs of the actions.
CWideString LocalFolderValue(const CWideString& url) {
    CWideString path = UrlToLocalPath(url);
    ExpandPathMacros(path);
    return path;
}

CWideString VolumeOfExecutable() {
    return GetVolumeRoot(GetProcessExeFolder());
}

struct Placeholder {
    const char16_t* name;
    CWideString value;
};

// Replaces every placeholder in one argument, left to right in a single
// pass: a value is inserted as it is and never searched again, so a value
// that itself holds a placeholder name stays what it is.
CWideString ExpandPlaceholders(const CWideString& arg, const std::vector<Placeholder>& table) {
    if (arg.Find(u'%') < 0) return arg;
    CWideString out;
    const char16_t* s = arg.GetString();
    const int n = arg.GetLength();
    int i = 0;
    while (i < n) {
        if (s[i] == u'%') {
            const Placeholder* hit = nullptr;
            for (const Placeholder& p : table) {
                if (StrStartsWith(s + i, p.name)) {
                    hit = &p;
                    break;
                }
            }
            if (hit) {
                out += hit->value;
                i += ZorStrLen(hit->name);
                continue;
            }
        }
        out.AppendChar(s[i]);
        ++i;
    }
    return out;
}

// The arguments as they are shown to the user: one blank between them, an
// argument that is empty or holds a blank or a quote in double quotes.
CWideString ShowArguments(const std::vector<CWideString>& args) {
    CWideString text;
    for (const CWideString& a : args) {
        if (!text.IsEmpty()) text += u" ";
        if (a.IsEmpty() || a.Find(u' ') >= 0 || a.Find(u'\t') >= 0 || a.Find(u'"') >= 0) {
            CWideString q = a;
            q.Replace(u"\"", u"\\\"");
            text += u"\"" + q + u"\"";
        } else {
            text += a;
        }
    }
    return text;
}

} // namespace

bool CSyncJob::SendEmailOrRunProgram(const CWideString& action, const CWideString& stage, bool bEndedNormally,
                                     CWideString errCopy, const CWideString& summary,
                                     const CWideString& logPath, int& nReturnCode, int& errKind,
                                     CWideString& errText) {
    if (bEndedNormally) errCopy.Empty();
    ZorGetProgramLog().Printf(
        u"SendEmailOrRunProgram: ['%s'] sWhat=%s rc_rxn=%d sErrFinal=%s sProgArgs=%s sLocalLogPath=%s\n",
        action, stage, bEndedNormally ? 1 : 0, errCopy, summary, logPath);

    nReturnCode = -1;
    CWideString line = action;
    line.Trim();
    bool bWait = true;
    if (line.StartsWith(u"nowait: ")) {
        bWait = false;
        line = line.Mid(8);
    }
    const RunSummary sum = ParseSummary(summary);
    bool bOnlyOnErrors = false;
    if (line.StartsWith(u"errors:")) {
        bOnlyOnErrors = true;
        line = line.Mid(7);
        line.TrimLeft();
    }
    if (bOnlyOnErrors && bEndedNormally && sum.nErrors < 1 && sum.nConflicts < 1) return true;

    if (line.Find(u'@') >= 0) {
        // E-mail: the beginning of the run log as the body, the whole log attached.
        // The subject in UTF-8, so that names and texts keep their accents.
        CWideString wideSubject;
        wideSubject.Format(u"Torvane Job='%s' Stage=%s Result='%s' %s", m_Options.m_sName, stage, errCopy, summary);
        CNarrowString subject = WideToUtf8(wideSubject);
        // A subject is one header line: an error text of several lines must
        // not add lines (or headers) to the message.
        subject.Replace('\r', ' ');
        subject.Replace('\n', ' ');
        CNarrowString body;
        std::vector<CWideString> attachments;
        uint64_t nSize = 0;
        int k = 0;
        CWideString e;
        if (!logPath.IsEmpty() && ZorGetFileSizeByName(logPath, nSize, k, e)) {
            CNarrowString head;
            CWideString readErr;
            if (!ReadWholeFile(logPath, kMailBodyMax, head, k, readErr)) {
                errText += u"Cannot read log file: " + readErr;
                errKind = FSE_GENERAL;
                return false;
            }
            body = nSize >= (uint64_t)kMailBodyMax ? CNarrowString(kMailBodyNote) + head : head;
            attachments.push_back(logPath);
        }
        if (!g_EngineOptions.m_bUseSmtpToEmail) {
            Notify(2, u"Sending email via MAPI to: " + line + u"\n");
            CActionScript msg;
            msg.m_sRecipients = line;
            msg.m_sSubject = Utf8ToWide(subject);
            msg.m_sBody = Utf8ToWide(body);
            msg.m_aAttachments = attachments;
            CWideString mailErr;
            if (!SendResultMapiMail(msg, mailErr)) {
                errText += u"Cannot email log file via MAPI: " + mailErr;
                errKind = FSE_GENERAL;
                return false;
            }
            Notify(2, u"Email has been sent via MAPI\n\n");
        } else {
            Notify(2, stage + u": Sending email via SMTP to: " + line + u"\n");
            int mailKind = 0;
            CWideString mailErr;
            if (!SendResultSmtpMail(g_EngineOptions.m_SmtpServerInfo, CNarrowString(line), body, subject,
                              attachments, mailKind, mailErr)) {
                errText += u"Cannot email log file via SMTP: " + mailErr;
                errKind = mailKind ? mailKind : FSE_GENERAL;
                return false;
            }
            Notify(2, u"Email has been sent via SMTP\n\n");
        }
        nReturnCode = 0;
        return true;
    }

    // A program line: the program path (a quoted path ends at its closing
    // quote), then the argument text after the first blank.
    CWideString program, argText;
    int nEnd = -1;
    if (line.StartsWith(u"\"")) {
        const int close = line.Find(u'"', 1);
        if (close < 0) {
            errText += u"Unclosed quote: " + action;
            errKind = FSE_GENERAL;
            return false;
        }
        nEnd = close + 1;
    } else {
        nEnd = 0;
    }
    const int blank = line.Find(u' ', nEnd);
    if (blank < 0) {
        program = line;
    } else {
        program = line.Left(blank);
        argText = line.Mid(blank + 1);
    }
    program.Trim();
    argText.Trim();

    // Split first, then fill in the values: a value is always exactly one
    // argument (or its part), whatever quotes, blanks or shell characters
    // it holds.
    const CWideString jobName = m_Options.m_sName;
    const CWideString lf = LocalFolderValue(GetLeftFolder());
    const CWideString rf = LocalFolderValue(GetRightFolder());
    std::vector<CWideString> args;
    if (argText == u"%ALLARGS%") {
        args = {jobName, errCopy, logPath, lf, rf};
        if (sum.nSyncOk < 0 && sum.nChanged >= 0) {
            args.push_back(Num(sum.nChanged));
            args.push_back(Num(sum.nErrors));
            args.push_back(Num(sum.nConflicts));
        } else if (sum.nSyncOk >= 0 && sum.nChanged < 0) {
            args.push_back(Num(sum.nSyncOk));
            args.push_back(Num(sum.nErrors));
            args.push_back(Num(sum.nConflicts));
        }
    } else {
        const std::vector<Placeholder> table = {
            {u"%JOBNAME%", jobName},
            {u"%RESULT%", errCopy},
            {u"%LOGPATH%", logPath},
            {u"%STAGE%", stage},
            {u"%LF_ACT%", m_apFs[0] ? m_apFs[0]->DisplayPath(CWideString()) : CWideString()},
            {u"%RF_ACT%", m_apFs[1] ? m_apFs[1]->DisplayPath(CWideString()) : CWideString()},
            {u"%LF%", lf},
            {u"%RF%", rf},
            {u"%CHANGED%", Num(sum.nChanged)},
            {u"%ERRORS%", Num(sum.nErrors)},
            {u"%CONFLICTS%", Num(sum.nConflicts)},
            {u"%SYNCOK%", Num(sum.nSyncOk)},
            {u"%TVDISK%", argText.Find(u"%TVDISK%") >= 0 ? VolumeOfExecutable() : CWideString()},
        };
        for (const CWideString& a : ZorSplitCommandLine(argText))
            args.push_back(ExpandPlaceholders(a, table));
    }
    if (program.Find(u"%TVDISK%") >= 0) program.Replace(u"%TVDISK%", VolumeOfExecutable().GetString());

    const CWideString shown = ShowArguments(args);
    Notify(2, stage + u": Running (" + stage + u"): " + program + u" " + shown + u"\n");
    uint32_t nExit = 0;
    CWideString startErr;
    if (!ZorShellEx(program, CWideString(), args, bWait, false, nullptr, &nExit, startErr)) {
        errText += u"Error running program: " + program + u" " + shown + u": " + startErr;
        nReturnCode = 0;
        errKind = FSE_GENERAL;
        return false;
    }
    Notify(2, u"Program returned control: " + program + u"\n\n");
    nReturnCode = bWait ? (int)nExit : 0;
    return true;
}

void CSyncJob::PostRun(bool bSyncRun, bool bEndedNormally, CWideString errCopy, const CWideString& summary) {
    if (bEndedNormally)
        errCopy.Empty();
    else if (!errCopy.IsEmpty())
        Log(1, 10011, errCopy + u"\n");
    if (m_aJobLog[0].IsOpen() || m_aJobLog[1].IsOpen()) {
        Log(0, 10021, u"\n");
        CloseRunLogs(true);
    }
    const CWideString localLog = m_aJobLog[0].GetFilePath();
    const CWideString sideCopy = CWideString(kDataFolderPath) + u"/" + m_aJobLog[0].GetFileName();
    ResetRunLogs();

    if (bSyncRun && !localLog.IsEmpty()) {
        for (int side = 0; side < 2; ++side) {
            TvFileSys* fs = m_apFs[side].get();
            // A side taken as not available gets nothing written into it.
            if (!fs || !fs->IsConnected() || CannotHaveDataFolder(side) || m_abNotAvailable[side] ||
                m_abUntrusted[side])
                continue;
            if (!fs->GetCapability(TVFS_CAP_LOCAL) && m_Options.m_bFastStop && IsStopped()) continue;
            if (!ZorFileExists(localLog)) continue;
            int kind = 0;
            CWideString err;
            // A local side whose data folder could not be made (a
            // read-only folder) gets no copy: the run said why already.
            bool bDataFolder = false;
            if (fs->GetCapability(TVFS_CAP_LOCAL) &&
                (!fs->IsFolder(kDataFolderPath, bDataFolder, kind, err) || !bDataFolder))
                continue;
            if (UseTempFile(side)) {
                const CWideString temp = CWideString(kDataFolderPath) + u"/" + OwnTempName(u"_log", fs);
                if (!fs->UploadFile(localLog, temp, kind, err)) {
                    Notify(1, u"Cannot upload log file: " + err + u"\n");
                    DeleteFileQuietly(fs, temp);
                } else if (!fs->MoveFile(temp, sideCopy, kind, err)) {
                    Notify(1, u"Cannot rename log file: " + err + u"\n");
                    DeleteFileQuietly(fs, temp);
                }
            } else if (!fs->UploadFile(localLog, sideCopy, kind, err)) {
                Notify(1, u"Cannot upload log file: " + err + u"\n");
            }
        }
    }

    // The post action. Its failure is reported and changes nothing of the run's outcome.
    CWideString postAction, stage;
    if (bSyncRun) {
        postAction = m_Options.m_sPostSyncScriptOrEmail;
        stage = u"Post-Sync";
    } else if (!m_bWorkRemains) {
        postAction = m_Options.m_sPostAnalyzeScriptOrEmail;
        stage = u"Post-Analyze";
    }
    if (!postAction.IsEmpty()) {
        int nCode = -1, kind = 0;
        CWideString err;
        if (!SendEmailOrRunProgram(postAction, stage, bEndedNormally, errCopy, summary, localLog, nCode, kind,
                                   err)) {
            Notify(1, err + u"\n");
            ReportProgress(0, err);
        }
    }
    DisconnectSides();
}
