// The job commands of "torvane" (job add, list, show, delete) and the
// texts that describe jobs and runs.
#pragma once

#include "cli-args.h"
#include "cli-console.h"
#include "job-list.h"

#include <string>
#include <vector>

int CliJobAdd(CCliConsole& con, const CCliArgs& a);
int CliJobList(CCliConsole& con);
int CliJobShow(CCliConsole& con, CSyncJobFromList* job);
int CliJobDelete(CCliConsole& con, CSyncJobFromList* job);

// A folder argument as a side URL: a URL stays as it is (a file URL may be
// percent-encoded); a path, relative ones made absolute, becomes a file URL.
CWideString CliFolderToUrl(const std::string& arg);
// A side URL as plain text: the local path of a local URL, else the URL.
std::string CliUrlToText(const CWideString& url);
// Applies "KEY=VALUE" settings of the "Job" block to an options record.
// Only keys of the block's simple values are taken (not Name, Dir1, Dir2 or
// the filter lists); a text value is taken as it stands. False with the
// reason on the first unknown key or bad value.
bool CliApplyJobSettings(CSyncJobOptions& opt, const std::vector<std::string>& sets, std::string& err);
// The one-line outcome of a run.
std::string CliRunSummary(CSyncJobFromList* job, bool bSync);
