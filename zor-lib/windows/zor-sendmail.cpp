// The sendmail pipe and the mail composer.
#include "zor-sendmail.h"

#include "zor-process.h"
#include "zor-unicode.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace {

std::mutex g_lock;
CWideString g_sCommand = u"/usr/sbin/sendmail -t -oi";

} // namespace

void ZorSetSendmailCommand(const CWideString& command) {
    std::lock_guard<std::mutex> g(g_lock);
    g_sCommand = command;
}

CWideString ZorGetSendmailCommand() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_sCommand;
}

bool ZorPipeToSendmail(const CNarrowString& message, CWideString& err) {
    std::vector<CNarrowString> argv;
    for (const CWideString& a : ZorSplitCommandLine(ZorGetSendmailCommand())) argv.push_back(WideToUtf8(a));
    if (argv.empty() || (argv[0].Find('/') >= 0 && access(argv[0].GetString(), X_OK) != 0)) {
        err += u"Cannot find email sender";
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        err += u"Cannot find email sender";
        return false;
    }
    pid_t pid = 0;
    int nErr = 0;
    const bool started = ZorSpawnProcess(argv, argv[0].Find('/') < 0, fds[0], pid, nErr);
    close(fds[0]);
    if (!started) {
        close(fds[1]);
        err += u"Cannot find email sender";
        return false;
    }
    // A program that stops reading early must not end this process.
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const char* p = message.GetString();
    size_t left = (size_t)message.GetLength();
    bool bWriteFailed = false;
    while (left > 0) {
        const ssize_t n = write(fds[1], p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            bWriteFailed = true;
            break;
        }
        p += n;
        left -= (size_t)n;
    }
    close(fds[1]);
    if (bWriteFailed) {
        // drop a SIGPIPE raised by the write before unblocking
        timespec zero{0, 0};
        sigtimedwait(&pipeSet, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    uint32_t code = 0;
    if (!ZorWaitForExit(pid, code, nErr)) code = 255;
    // exit code 127: the program was not found on PATH
    if (code == 127 && argv[0].Find('/') < 0) {
        err += u"Cannot find email sender";
        return false;
    }
    if (code != 0 || bWriteFailed) {
        CWideString e;
        e.Format(u"Cannot send email, sendmail exit %d", (int)code);
        err += e;
        return false;
    }
    return true;
}

bool ZorOpenMailComposer(const CWideString& recipient, const CWideString& subject, const CWideString& body,
                         const std::vector<CWideString>& attachments, CWideString& err) {
    std::vector<CWideString> args = {u"--utf8", u"--subject", subject, u"--body", body};
    for (const CWideString& a : attachments) {
        args.push_back(u"--attach");
        args.push_back(a);
    }
    if (!recipient.IsEmpty()) args.push_back(recipient);
    CWideString e;
    if (!ZorShellEx(u"xdg-email", CWideString(), args, false, false, nullptr, nullptr, e)) {
        err += u"Cannot find email sender";
        return false;
    }
    return true;
}
