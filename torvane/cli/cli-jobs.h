// The job commands of "torvane" (job add, set, list, show, delete) and the
// texts that describe jobs and runs.
#pragma once

#include "cli-args.h"
#include "cli-console.h"
#include "job-list.h"

#include <string>
#include <vector>

int CliJobAdd(CCliConsole& con, const CCliArgs& a);
int CliJobList(CCliConsole& con);
// bAll: every option, defaults included.
int CliJobShow(CCliConsole& con, CSyncJobFromList* job, bool bAll);
// Every option of a job with the value a new job starts with, what it
// allows and what it means.
int CliJobKeys(CCliConsole& con);
// The filters a job leaves items out by, and how to include hidden items.
void CliSayFilters(CCliConsole& con, CSyncJobFromList* job);
// Changes options of a job in place ("KEY=VALUE" as for job add --set),
// keeping every other option, its folders, passwords and state; says each
// change. An unknown key or a bad value changes nothing.
int CliJobSet(CCliConsole& con, CSyncJobFromList* job, const std::vector<std::string>& sets);
int CliJobDelete(CCliConsole& con, CSyncJobFromList* job);

// A folder argument as a side URL: a URL stays as it is (a file URL may be
// percent-encoded); a path, relative ones made absolute, becomes a file URL.
CWideString CliFolderToUrl(const std::string& arg);
// A side URL as plain text: the local path of a local URL, else the URL.
std::string CliUrlToText(const CWideString& url);
// Whether a LEFT or RIGHT argument names a folder that is there, or a URL of
// a kind a side can be (only a file URL is looked at). False with the reason.
bool CliCheckFolderArg(const std::string& arg, std::string& err);
// Applies "KEY=VALUE" settings of the "Job" block to an options record.
// Only keys of the block's simple values are taken (not Name, Dir1, Dir2 or
// the filter lists); a text value is taken as it stands, a flag is Yes or No
// (or true/false, on/off, 1/0), a number must lie in the key's range. False
// with a one-line reason (key, value, what is allowed) on the first unknown
// key or bad value.
bool CliApplyJobSettings(CSyncJobOptions& opt, const std::vector<std::string>& sets, std::string& err);
// An outcome ("failed", "stopped") with the file the run's whole log went to.
std::string CliWithRunLog(CSyncJobFromList* job, const std::string& outcome);
