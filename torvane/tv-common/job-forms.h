// The stored forms of the job list.
//
// Typed form of one job: '[', 59 tagged values in a fixed order, ']' (the tag
// table is in job-forms.cpp; the newest ten tags are single bytes above 127).
// Typed form of the list: "[l<" then, per job, a line feed and the job's
// record, then ">]"; an empty list is "[l<>]".
// Keyword text of the list: each job's "Job" block followed by one more line
// feed. An empty or blank text is an empty list.
#pragma once

#include "job-list.h"
#include "zor-stream.h"
#include "zor-string.h"

// One job's options record in the typed form.
bool WriteJobOptionsTic(const CSyncJobOptions& opt, ZorOutStream& out, CWideString& sErr);
// Reads one typed record into a record that starts from the defaults. The
// legacy folder tags 'l' and 'r' fill an empty side URL; without a valid '@'
// FastPreAnalyzeWithStamps follows UsesVexaformOnline.
bool ReadJobOptionsTic(CSyncJobOptions& opt, ZorInStream& in, CWideString& sErr);
bool WriteJobTic(const CSyncJobFromList& job, ZorOutStream& out, CWideString& sErr);
bool ReadJobTic(CSyncJobFromList& job, ZorInStream& in, CWideString& sErr);
// One "Job" block into the job's options.
bool ReadJobTix(CSyncJobFromList& job, ZorInStream& in, CWideString& sErr);

// Side 2's URL, else side 1's, begins with the companion product's online
// account address (case-sensitive).
bool UsesVexaformOnline(const CSyncJobOptions& opt);
extern const char16_t* const kVexaformOnlineUrl;

// The whole list. The readers append to the settings' list (the typed
// reader clears it at its list tag); a failed read keeps the jobs read before.
bool WriteJobListTic(const CTorvaneSettings& settings, ZorOutStream& out, CWideString& sErr);
bool ReadJobListTic(CTorvaneSettings& settings, ZorInStream& in, CWideString& sErr);
bool WriteJobListTix(const CTorvaneSettings& settings, ZorOutStream& out, bool bFullDump, CWideString& sErr);
bool ReadJobListTix(CTorvaneSettings& settings, ZorInStream& in, CWideString& sErr);
