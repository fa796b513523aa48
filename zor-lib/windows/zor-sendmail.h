// The system's mail program: a finished message piped to a sendmail command
// (no shell), or the desktop's mail composer opened with it.
#pragma once

#include "zor-string.h"

#include <vector>

// The command, a process-wide setting split like a command line
// (default "/usr/sbin/sendmail -t -oi").
void ZorSetSendmailCommand(const CWideString& command);
CWideString ZorGetSendmailCommand();

// Writes the message to the command's standard input and waits for it. A
// command that cannot be started gives "Cannot find email sender"; a non-zero
// exit "Cannot send email, sendmail exit %d".
bool ZorPipeToSendmail(const CNarrowString& message, CWideString& err);

// Opens the composer (xdg-email) with recipient, subject, body and files.
bool ZorOpenMailComposer(const CWideString& recipient, const CWideString& subject, const CWideString& body,
                         const std::vector<CWideString>& attachments, CWideString& err);
