// Folder locks: the lock file "/_tvdata_/lock" + suffix that a running Sync
// holds in each data folder it writes to, the check made while Analyze reads
// a side, the wait for (or the override of) a foreign lock, the check that
// no other Sync rewrote the state file since Analyze, and the in-sync stamp
// "/_tvdata_/_insync_v4.tvl" that a clean Sync leaves behind.
//
// Lock file bytes: the lock text (UTF-8) "By: <job>.<user>@<computer>
// (profile <tag>, boot <boot id>, pid namespace <inode>, process <pid>) at:
// YYYY.MM.DD hh:mm:ss GMT", a line feed,
// and the display path of the locked folder (UTF-8) with no line end after
// it. The file is shared with every other installation that syncs the same
// folder: an older one reads the owner (the text before the last " at: ")
// as another's, and its locks (without profile, boot, namespace and
// process) are another's here.
#include "syncjob.h"

#include "engine-globals.h"

#include "TvFileCopy.h"
#include "zor-debug.h"
#include "zor-escape.h"
#include "zor-file.h"
#include "zor-locstr.h"
#include "zor-path.h"
#include "zor-text.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <filesystem>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kLockReadMax = 512;
// The most a lock file may bring from a side: a server that sends more (or
// never ends) fails the download. Below the size from which S3 downloads
// in ranges.
constexpr int64_t kLockDownloadMax = 8 * 1048576;
constexpr int64_t kLockPollSeconds = 10;
constexpr int64_t kLockWaitMinutes = 20;

CWideString LockFilePath(const CWideString& folder, const TvFileSys* fs) {
    return folder + CSyncJob::kLockFileBase + CSyncJob::GetLockFileSuffix(fs);
}

// The folder for local copies of lock files on their way to and from a side.
CWideString LocalTempFolder() {
    const char* dir = getenv("TMPDIR");
    if (!dir || dir[0] != '/') dir = "/tmp";
    return Utf8ToWide(dir);
}

// The local copies of lock texts are named for the process that writes
// them ("tvlk<pid>-"), so that a later run can tell those of a process that
// was killed.
constexpr const char16_t* kLockTempPrefix = u"tvlk";
CWideString LockTempPrefix() {
    return CWideString::Formatted(u"%s%d-", kLockTempPrefix, (int)getpid());
}

// The process a local lock text was written by is gone.
bool IsLockTempOfDeadProcess(const std::string& name) {
    if (name.rfind("tvlk", 0) != 0 || name.size() < 10 || name.compare(name.size() - 4, 4, ".tmp") != 0)
        return false;
    size_t i = 4;
    long long pid = 0;
    while (i < name.size() && i < 16 && name[i] >= '0' && name[i] <= '9') pid = pid * 10 + (name[i++] - '0');
    if (i == 4 || i >= name.size() || name[i] != '-' || pid <= 0) return false;
    if (pid > INT32_MAX) return true;
    return kill((pid_t)pid, 0) != 0 && errno == ESRCH;
}

// "tvtm" and six letters or digits, ".tmp": a local atomic write's temporary file.
bool IsAtomicWriteTempName(const CWideString& name) {
    if (name.GetLength() != 14 || !name.StartsWith(ZOR_TEMP_PREFIX) || !name.EndsWith(u".tmp")) return false;
    for (int i = 4; i < 10; ++i) {
        const char16_t c = name[i];
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))) return false;
    }
    return true;
}

// 32 lower-case hexadecimal digits and the side's temporary suffix: a copy
// (or a lock) on its way through the data folder.
bool IsDataFolderCopyName(const CWideString& name, const CWideString& suffix) {
    if (name.GetLength() != 32 + suffix.GetLength() || !name.EndsWith(suffix.GetString())) return false;
    for (int i = 0; i < 32; ++i)
        if (!((name[i] >= u'0' && name[i] <= u'9') || (name[i] >= u'a' && name[i] <= u'f'))) return false;
    return true;
}

// A state file on its way into the data folder: the one name every job
// used once, or a job's own (CSyncJob::OwnTempName).
bool IsStateUploadName(const CWideString& name, const CWideString& suffix) {
    const CWideString base = CSyncJob::kStateUploadName;
    if (!name.StartsWith(base.GetString()) || !name.EndsWith(suffix.GetString())) return false;
    const int n = name.GetLength() - base.GetLength() - suffix.GetLength();
    if (n == 0) return true;
    if (n != 17 || name[base.GetLength()] != u'-') return false;
    for (int i = base.GetLength() + 1; i < base.GetLength() + 17; ++i)
        if (!((name[i] >= u'0' && name[i] <= u'9') || (name[i] >= u'a' && name[i] <= u'f'))) return false;
    return true;
}

// Downloads the lock file and reads its first kLockReadMax bytes; a file in
// UTF-16LE (second byte 0) is narrowed unit by unit ('?' above 0xFF). Gives
// -6 or -7 with the error set, 1 with the content.
int DownloadLockText(TvFileSys* fs, const CWideString& lockPath, CNarrowString& content, int& errKind,
                     CWideString& err) {
    CWideString local, e;
    if (!ZorGetTempFileName(LocalTempFolder(), LockTempPrefix(), local, errKind, e)) {
        err += u"downloading lock file: " + e;
        return -6;
    }
    int64_t nSize = kLockDownloadMax;
    if (!fs->DownloadFile(lockPath, local, nSize, errKind, e)) {
        ZorDeleteFileQuiet(local);
        err += u"downloading lock file: " + e;
        return -6;
    }
    CNarrowString raw;
    const bool bRead = ReadWholeFile(local, kLockReadMax, raw, errKind, e);
    ZorDeleteFileQuiet(local);
    if (!bRead) {
        err += u"reading lock file: " + e;
        return -7;
    }
    if (raw.GetLength() > 1 && raw[1] == 0) {
        CNarrowString narrowed;
        for (int i = 0; i + 1 < raw.GetLength(); i += 2) {
            const unsigned unit = (unsigned char)raw[i] | ((unsigned)(unsigned char)raw[i + 1] << 8);
            narrowed += unit > 0xFF ? '?' : (char)unit;
        }
        raw = narrowed;
    }
    content = raw;
    return 1;
}

// Splits the content at the first line feed.
void SplitLockText(const CNarrowString& content, CNarrowString& first, CNarrowString& rest) {
    const int nl = content.Find('\n');
    first = nl < 0 ? content : content.Left(nl);
    rest = nl < 0 ? CNarrowString() : content.Mid(nl + 1);
}

} // namespace

// ---------------------------------------------------------------- lock texts

namespace {
// The job's owner text without its process: "By: <job>.<user>@<computer>
// (profile <tag>", the tag telling apart the profiles (the folders of
// settings and mirror folders) that may hold a job of one name.
CNarrowString MakeOwnerText(const CWideString& jobName) {
    // The job name is put in as it is: only the user and computer macros
    // are expanded, never macros that a job name might hold.
    CWideString who = u"%USERNAME%@%COMPUTERNAME%";
    ExpandPathMacros(who);
    const CNarrowString profile = Md5HexOfText(WideToUtf8(g_EngineOptions.m_sProfileFolder)).Left(8);
    return WideToUtf8(u"By: " + jobName + u"." + who) + " (profile " + profile;
}

constexpr const char* kOwnerProcess = ", process ";
constexpr const char* kOwnerPidNamespace = ", pid namespace ";
constexpr const char* kOwnerBoot = ", boot ";

// The process's PID namespace (the inode of /proc/self/ns/pid) and the
// computer's boot ("<boot id>"): a process number means something only in
// both. Empty when they cannot be read.
struct CProcessPlace {
    CNarrowString ns, boot;
};
const CProcessPlace& ThisProcessPlace() {
    static const CProcessPlace place = [] {
        CProcessPlace p;
        struct stat st;
        if (stat("/proc/self/ns/pid", &st) == 0) p.ns = std::to_string((unsigned long long)st.st_ino).c_str();
        char buf[64] = {};
        const int fd = open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t n = read(fd, buf, sizeof buf - 1);
            close(fd);
            std::string id(buf, n > 0 ? (size_t)n : 0);
            while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
            bool bOk = !id.empty();
            for (char c : id) bOk &= (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-';
            if (bOk) p.boot = id.c_str();
        }
        return p;
    }();
    return place;
}

// When this boot began, seconds since 1970 (0: unknown).
int64_t BootTime() {
    static const int64_t t = [] {
        FILE* f = fopen("/proc/stat", "re");
        if (!f) return (int64_t)0;
        char line[256];
        long long v = 0;
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "btime %lld", &v) == 1) break;
        fclose(f);
        return (int64_t)v;
    }();
    return t;
}

// An owner text of this version ends in ", process <pid>)": splits it into
// what comes before and the process. False for any other form (an older
// version's "By: <job>.<user>@<computer>").
bool SplitOwnerProcess(const CNarrowString& owner, CNarrowString& who, long long& pid) {
    const int at = owner.ReverseFind(kOwnerProcess);
    if (at < 0 || owner.GetLength() < 2 || owner[owner.GetLength() - 1] != ')') return false;
    const int from = at + (int)strlen(kOwnerProcess), to = owner.GetLength() - 1;
    if (to <= from || to - from > 10) return false;
    pid = 0;
    for (int i = from; i < to; ++i) {
        if (owner[i] < '0' || owner[i] > '9') return false;
        pid = pid * 10 + (owner[i] - '0');
    }
    who = owner.Left(at);
    return pid > 0;
}

// Takes ", <key><value>" off the end of text; false when it does not end so
// or the value is empty or holds a comma.
bool TakeOwnerField(CNarrowString& text, const char* key, CNarrowString& value) {
    const int at = text.ReverseFind(key);
    if (at < 0) return false;
    value = text.Mid(at + (int)strlen(key));
    if (value.IsEmpty() || value.Find(',') >= 0 || value.Find(')') >= 0) return false;
    text = text.Left(at);
    return true;
}

// The UTC time of a lock line's " at: %Y.%m.%d %H:%M:%S GMT", seconds since
// 1970; false when it has none.
bool LockLineTime(const CNarrowString& line, int64_t& t) {
    const int at = line.ReverseFind(" at: ");
    if (at < 0) return false;
    int y, mo, d, h, mi, s;
    char tail[8] = {};
    if (sscanf(line.GetString() + at + 5, "%4d.%2d.%2d %2d:%2d:%2d %3s", &y, &mo, &d, &h, &mi, &s, tail) != 7 ||
        strcmp(tail, "GMT") != 0 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    struct tm tmv = {};
    tmv.tm_year = y - 1900;
    tmv.tm_mon = mo - 1;
    tmv.tm_mday = d;
    tmv.tm_hour = h;
    tmv.tm_min = mi;
    tmv.tm_sec = s;
    t = (int64_t)timegm(&tmv);
    return true;
}

// The lock's owner is this job of this profile on this computer, written
// by another process of it that is known to have ended: its lock was left
// behind. The process number is looked up only in the PID namespace and
// boot it was written in: a lock of another namespace (a container with
// this computer's name) is another owner's while that boot lasts; one
// written before this boot began is left over from it. A process that
// still runs, or cannot be told (a lock of an older version, without its
// namespace and boot), holds it.
bool IsOwnLockOfEndedProcess(const CNarrowString& lockLine, const CNarrowString& lockOwner,
                             const CNarrowString& owner) {
    CNarrowString lockWho, who, lockBoot, boot, lockNs, ns;
    long long lockPid = 0, pid = 0;
    if (!SplitOwnerProcess(lockOwner, lockWho, lockPid) || !SplitOwnerProcess(owner, who, pid) ||
        !TakeOwnerField(lockWho, kOwnerPidNamespace, lockNs) || !TakeOwnerField(lockWho, kOwnerBoot, lockBoot) ||
        !TakeOwnerField(who, kOwnerPidNamespace, ns) || !TakeOwnerField(who, kOwnerBoot, boot) || lockWho != who ||
        lockBoot == "unknown" || boot == "unknown" || lockNs == "unknown" || ns == "unknown")
        return false;
    if (lockBoot != boot) {
        int64_t t = 0;
        const int64_t booted = BootTime();
        return booted > 0 && LockLineTime(lockLine, t) && t < booted;
    }
    if (lockNs != ns || lockPid == pid) return false;
    if (lockPid > INT32_MAX) return true;
    return kill((pid_t)lockPid, 0) != 0 && errno == ESRCH;
}
} // namespace

const CNarrowString& CSyncJob::GetLockOwner() {
    // The process is named too: two processes never take each other's lock
    // for their own.
    if (m_sLockOwner.IsEmpty()) {
        // The boot and PID namespace come before the process, so that a
        // reader of an earlier version still finds its number at the end.
        const CProcessPlace& place = ThisProcessPlace();
        m_sLockOwner = MakeOwnerText(m_Options.m_sName) + kOwnerBoot +
                       (place.boot.IsEmpty() ? CNarrowString("unknown") : place.boot) + kOwnerPidNamespace +
                       (place.ns.IsEmpty() ? CNarrowString("unknown") : place.ns) + kOwnerProcess +
                       std::to_string(getpid()).c_str() + ")";
    }
    return m_sLockOwner;
}

void CSyncJob::ResetLockTexts() {
    m_sLockOwner.Empty();
    m_sLockText.Empty();
}

CNarrowString CSyncJob::MakeLockText(const CNarrowString& owner, const CZorTime& t) {
    return owner + t.FormatGmtA(" at: %Y.%m.%d %H:%M:%S GMT");
}

CNarrowString CSyncJob::MakeLockFileContent(const CNarrowString& lockText, const CWideString& display) {
    return lockText + "\n" + WideToUtf8(display);
}

void CSyncJob::SetStateFileStamp(int side, const CWideString& folder, const FsItemInfo& info) {
    m_aStateFileStamps[side ? 1 : 0].SetAt(folder, info);
}

void CSyncJob::ClearStateFileStamps() {
    m_aStateFileStamps[0].RemoveAll();
    m_aStateFileStamps[1].RemoveAll();
}

namespace {
// The stamp Analyze recorded for the folder; an empty record when none.
CFileStamp RecordedStamp(const CHashMapT<CWideString, FsItemInfo>& map, const CWideString& folder) {
    FsItemInfo info;
    return map.Lookup(folder, info) ? CFileStamp(info) : CFileStamp();
}
} // namespace

// ---------------------------------------------------------------- lock file

int32_t CSyncJob::ReadLockFile(const CWideString& folder, TvFileSys* fs, const CNarrowString& expected,
                               const CNarrowString& owner, int& errKind, CWideString& err) {
    const CWideString lockPath = LockFilePath(folder, fs);
    bool bExists = false;
    CWideString e;
    if (!fs->IsFile(lockPath, bExists, errKind, e)) {
        err += u"checking for lock file: " + e;
        return -5;
    }
    if (!bExists) return 1;
    CNarrowString content, first, rest;
    const int r = DownloadLockText(fs, lockPath, content, errKind, err);
    if (r < 0) return r;
    SplitLockText(content, first, rest);
    const CWideString firstW = Utf8OrAnsiToWide(first);
    // The time part never holds " at: ", a job name may: the owner ends at the last one.
    const int at = first.ReverseFind(" at: ");
    if (at < 0) {
        err += u"cannot parse lock file: " + firstW;
        return 2;
    }
    CNarrowString lockOwner = first.Left(at);
    lockOwner.Trim();
    // Only a lock of this very process, or of an ended one of the same job,
    // profile and computer, is ours; any other (an older version's too) is
    // another owner's.
    if (lockOwner != owner && !IsOwnLockOfEndedProcess(first, lockOwner, owner)) {
        err += firstW;
        return 0;
    }
    if (!expected.IsEmpty() && first == expected) {
        errKind = FSE_GENERAL;
        err +=
            CWideString::Formatted(u"Locking the already locked folder: means syncing folder with itself or "
                                   u"its parent.\n'%s' same as or parent/child of '%s'",
                                   fs->DisplayPath(folder), Utf8OrAnsiToWide(rest));
        return -8;
    }
    // Our own lock of an earlier run that did not end: abandoned.
    fs->Message(2, u"Delete abandoned lock file " + fs->DisplayPath(lockPath));
    e.Empty();
    if (!fs->DeleteFile(lockPath, errKind, e)) {
        err += u"cannot delete lock file: " + e;
        return -7;
    }
    err += firstW;
    return 2;
}

int32_t CSyncJob::WriteLockFile(CLockRecord& rec, const CWideString& folder, TvFileSys* fs, int side,
                                const CNarrowString& lockText, const CNarrowString& owner, int& errKind,
                                CWideString& err) {
    CWideString readErr;
    const int32_t r = ReadLockFile(folder, fs, lockText, owner, errKind, readErr);
    if (r <= 0) {
        err += readErr;
        return r;
    }
    rec.m_nSide = side;
    const CWideString lockPath = LockFilePath(folder, fs);
    const CNarrowString content = MakeLockFileContent(lockText, fs->DisplayPath(folder));
    CWideString local, e;
    if (!ZorGetTempFileName(LocalTempFolder(), LockTempPrefix(), local, errKind, e) ||
        !WriteWholeFile(local, content, errKind, e)) {
        if (!local.IsEmpty()) ZorDeleteFileQuiet(local);
        err += u"writing lock file: " + e;
        return -5;
    }
    if (fs->GetCapability(TVFS_CAP_ATOMIC_REPLACE)) {
        // The lock is made in one step that fails when any lock stands:
        // written under a temporary name, then linked to the lock's name.
        // The name is the job's own: one that a run killed meanwhile left
        // is removed by the next.
        CNarrowString who = owner;
        long long pid = 0;
        SplitOwnerProcess(owner, who, pid);
        const CWideString tmpPath = folder + u"/_tvdata_/_lock-" + Utf8ToWide(Md5HexOfText(who).Left(16)) +
                                    CSyncJob::GetTempFileSuffix(fs);
        DeleteFileQuietly(fs, tmpPath);
        const bool bUploaded = fs->UploadFile(local, tmpPath, errKind, e);
        ZorDeleteFileQuiet(local);
        if (!bUploaded) {
            DeleteFileQuietly(fs, tmpPath);
            err += u"uploading lock file: " + e;
            return -6;
        }
        bool bLinked = false;
        for (int attempt = 0;; ++attempt) {
            bool bExists = false;
            CWideString le;
            if (fs->LinkFile(tmpPath, lockPath, bExists, errKind, le)) {
                bLinked = true;
                break;
            }
            if (!bExists) break; // no second names here (a FAT drive): write and read back
            if (attempt > 0) {
                DeleteFileQuietly(fs, tmpPath);
                err += u"locked by another at the same moment";
                return 0;
            }
            // Someone's lock appeared since the check: foreign (0), our own
            // abandoned one or an unreadable one (deleted, try once more).
            CWideString re;
            const int32_t r2 = ReadLockFile(folder, fs, lockText, owner, errKind, re);
            if (r2 == 2 && re.StartsWith(u"cannot parse lock file: ")) DeleteFileQuietly(fs, lockPath);
            if (r2 != 2 && r2 != 1) {
                DeleteFileQuietly(fs, tmpPath);
                err += re;
                return r2;
            }
        }
        DeleteFileQuietly(fs, tmpPath);
        if (bLinked) {
            rec.m_sFolder = folder;
            rec.m_sText = lockText;
            return 1;
        }
        if (!WriteWholeFile(local, content, errKind, e)) {
            ZorDeleteFileQuiet(local);
            err += u"writing lock file: " + e;
            return -5;
        }
    }
    const bool bUploaded = fs->UploadFile(local, lockPath, errKind, e);
    ZorDeleteFileQuiet(local);
    if (!bUploaded) {
        err += u"uploading lock file: " + e;
        return -6;
    }
    // Two owners that found the folder free at the same moment both write;
    // only the one whose text stands in the file goes on.
    CNarrowString back, first, rest;
    const int rb = DownloadLockText(fs, lockPath, back, errKind, err);
    if (rb < 0) return rb;
    SplitLockText(back, first, rest);
    if (first != lockText) {
        err += Utf8OrAnsiToWide(first);
        return 0;
    }
    rec.m_sFolder = folder;
    rec.m_sText = lockText;
    return 1;
}

bool CSyncJob::DeleteLockFile(const CWideString& folder, TvFileSys* fs, int& errKind, CWideString& err) {
    return fs->DeleteFile(LockFilePath(folder, fs), errKind, err);
}

// ---------------------------------------------------------------- waiting for a foreign lock

bool CSyncJob::FailFolderLocked(const CWideString& display, const CWideString& lockLine, int& errKind,
                                CWideString& err) {
    // The lock's first line names its owner as "By: user@computer at: ...",
    // and the text says "started by:" already. Both parts come from outside
    // the program (a folder's name, another computer's file) and are
    // escaped: the text's own line ends are the only ones in it.
    CWideString owner = lockLine;
    if (owner.StartsWith(u"By: ")) owner = owner.Mid(4);
    // An older version wrote "By: <job>.<user>@<computer>" with neither
    // profile nor process: this very job's lock, of a run that cannot be
    // told to have ended.
    const CNarrowString ours = MakeOwnerText(m_Options.m_sName);
    const int tag = ours.Find(" (profile ");
    const CWideString oldOurs = tag > 0 ? Utf8ToWide(ours.Left(tag)) : CWideString();
    const int at = lockLine.ReverseFind(u" at: ");
    CWideString lockOwner = at >= 0 ? lockLine.Left(at) : CWideString();
    lockOwner.Trim();
    if (!oldOurs.IsEmpty() && lockOwner == oldOurs)
        err += CWideString::Formatted(u"The folder %s is locked by an older version of this program, for this job "
                                      u"of this user on this computer (%s): whether that run has ended cannot be "
                                      u"told. If it has, Override locks to remove its lock.",
                                      EscapeControlChars(display), EscapeControlChars(owner));
    else
        err += FormatLocalizedString(IDS_Str_Msg_FolderLocked, EscapeControlChars(display),
                                     EscapeControlChars(owner));
    m_bLockedByOther = 1;
    errKind = FSE_GENERAL;
    return false;
}

bool CSyncJob::WaitForForeignLock(const CWideString& display, const CWideString& lockLine, int64_t nStartTick,
                                  int64_t& nLastMinute, int& errKind, CWideString& err) {
    if (!m_Options.m_bWaitForLocks) return FailFolderLocked(display, lockLine, errKind, err);
    if (!CheckStop(errKind, err)) return false;
    const int64_t nMinutes = (ZorGetTickMs() - nStartTick) / 60000;
    if (nMinutes >= kLockWaitMinutes) return FailFolderLocked(display, lockLine, errKind, err);
    if (nMinutes != nLastMinute) {
        Log(2, 4510,
            CWideString::Formatted(u"** Folder Locked, waiting for %d min already, Folder='%s' Locked %s\n",
                                   (int)nMinutes, display, lockLine));
        nLastMinute = nMinutes;
    }
    ZorSleepSeconds(kLockPollSeconds);
    return true;
}

void CSyncJob::NoteForeignLock(const CWideString& folder, TvFileSys* fs) {
    if (!m_bLockedByOther || !fs) return;
    const CWideString lockPath = LockFilePath(folder, fs);
    CWideString local, e;
    int k = 0;
    m_bForeignLockLocal = fs->GetCapability(TVFS_CAP_LOCAL) && fs->GetFullPath(lockPath, local, k, e) ? 1 : 0;
    m_sForeignLockFile = m_bForeignLockLocal ? local : fs->DisplayPath(lockPath);
}

CWideString CSyncJob::OwnTempName(const CWideString& base, const TvFileSys* fs) const {
    // Built afresh: the two sides' savers call it at once.
    return base + u"-" + Utf8ToWide(Md5HexOfText(MakeOwnerText(m_Options.m_sName)).Left(16)) +
           GetTempFileSuffix(fs);
}

// ---------------------------------------------------------------- Analyze: check

bool CSyncJob::CheckLockFolder(const CWideString& folder, int side, int& errKind, CWideString& err) {
    side = side ? 1 : 0;
    TvFileSys* fs = m_apFs[side].get();
    if (!fs) {
        errKind = FSE_GENERAL;
        err += u"not connected";
        return false;
    }
    const CWideString display = fs->DisplayPath(folder);
    if (CannotHaveDataFolder(side)) {
        Log(2, 4511,
            CWideString::Formatted(u"Do not check-lock folder that cannot have _tvdata_: %s\n", display));
        return true;
    }
    if (m_nRunKind == RK_AUTOMATIC) {
        // A root the run is in doubt about is locked by Sync, if at all.
        if (folder.IsEmpty() && m_abRootInDoubt[side]) return true;
        return LockFolder(folder, side, false, errKind, err);
    }
    const CNarrowString& owner = GetLockOwner();
    const int64_t nStart = ZorGetTickMs();
    int64_t nLastMinute = -1;
    for (;;) {
        CWideString e;
        // No expected text: a lock of ours found now is always abandoned.
        const int32_t r = ReadLockFile(folder, fs, CNarrowString(), owner, errKind, e);
        if (r < 0) {
            err += e;
            return false;
        }
        if (r > 0) return true;
        if (m_bOverrideLocks) {
            int k = 0;
            CWideString de;
            if (DeleteLockFile(folder, fs, k, de))
                Log(2, 4512, CWideString::Formatted(u"User Override Deleted Lock at %s\n", display));
            else
                Log(1, 4513, CWideString::Formatted(u"Cannot Delete Lock at %s: %s\n", display, de));
            return true;
        }
        if (!WaitForForeignLock(display, e, nStart, nLastMinute, errKind, err)) {
            NoteForeignLock(folder, fs);
            return false;
        }
    }
}

// ---------------------------------------------------------------- Sync: lock

bool CSyncJob::LockFolder(const CWideString& folder, int side, bool bCheckStateFile, int& errKind,
                          CWideString& err) {
    TvFileSys* fs = (side == 0 || side == 1) ? m_apFs[side].get() : nullptr;
    if (!fs) {
        errKind = FSE_GENERAL;
        err += u"not connected";
        return false;
    }
    // A folder this run holds already (an unattended run locks while it
    // analyses) stays locked as it is.
    for (ZorPosition pos = m_HeldLocks.GetHeadPosition(); pos;) {
        const CLockRecord& held = m_HeldLocks.GetNext(pos);
        if (held.m_nSide == side && held.m_sFolder == folder) return true;
    }
    const CWideString display = fs->DisplayPath(folder);
    Log(3, 4520, CWideString::Formatted(u"Locking folder %s for write\n", display));
    if (CannotHaveDataFolder(side)) {
        errKind = FSE_GENERAL;
        err += u"cannot set-lock folder that cannot have _tvdata_: " + display;
        return false;
    }
    if (!CheckDataFolderTrust(folder, side, errKind, err)) return false;
    // From now on the folder does not claim to be in sync.
    DeleteFileQuietly(fs, folder + kInSyncStampV3Path);
    DeleteFileQuietly(fs, folder + kInSyncStampPath);

    if (m_sLockText.IsEmpty()) {
        // The first lock of this Sync: every lock it takes carries this text.
        m_sLockText = MakeLockText(GetLockOwner(), CZorTime::Now());
        m_bSyncEndedClean = 0;
    }
    m_bFoldersLocked = 1;
    const int64_t nStart = ZorGetTickMs();
    int64_t nLastMinute = -1;

    CLockRecord rec;
    int32_t r = 0;
    CWideString e;
    for (;;) {
        rec = CLockRecord();
        e.Empty();
        r = WriteLockFile(rec, folder, fs, side, m_sLockText, m_sLockOwner, errKind, e);
        if (r != 0) break;
        if (m_bOverrideLocks) break;
        if (!WaitForForeignLock(display, e, nStart, nLastMinute, errKind, err)) {
            NoteForeignLock(folder, fs);
            return false;
        }
    }

    bool bLocked = false;
    if (r == 0) {
        // The user's override: the foreign lock goes. A lock that cannot be
        // deleted stops the Sync: it never runs beside a live foreign lock.
        int k = 0;
        CWideString de;
        if (!DeleteLockFile(folder, fs, k, de)) {
            Log(1, 4513, CWideString::Formatted(u"Cannot Delete Lock at %s: %s\n", display, de));
            errKind = k ? k : FSE_GENERAL;
            err += CWideString::Formatted(u"Cannot Delete Lock at %s: %s", display, de);
            return false;
        }
        Log(2, 4512, CWideString::Formatted(u"User Override Deleted Lock at %s\n", display));
        rec = CLockRecord();
        e.Empty();
        r = WriteLockFile(rec, folder, fs, side, m_sLockText, m_sLockOwner, errKind, e);
        if (r < 1) {
            if (r == 0) errKind = FSE_GENERAL;
            err += u"Cannot lock folder after lock delete: " + e;
            return false;
        }
        m_HeldLocks.AddTail(rec);
        bLocked = true;
    } else if (r > 0) {
        m_HeldLocks.AddTail(rec);
        bLocked = true;
    } else if (r != -8 && m_abNothingToWrite[side]) {
        Log(1, 4521, CWideString::Formatted(u"Cannot Lock folder at %s: %s\n", display, e));
    } else {
        err += u"Error locking folder: " + e;
        return false;
    }

    // Has another Sync rewritten the state file since this job's Analyze?
    FsItemInfo info;
    bool bNotFound = false;
    CWideString stateFile = folder + kStateFilePath;
    e.Empty();
    if (!fs->GetInfo(stateFile, info, bNotFound, errKind, e)) {
        err += e;
        return false;
    }
    // A folder at the name is no state file (the reader went on to the older name).
    if (bNotFound || info.IsFolder()) {
        info = FsItemInfo();
        stateFile = folder + kStateFileV3Path;
        if (!fs->GetInfo(stateFile, info, bNotFound, errKind, e)) {
            err += e;
            return false;
        }
    }
    const CFileStamp now = bNotFound ? CFileStamp() : CFileStamp(info);
    const CFileStamp old = RecordedStamp(m_aStateFileStamps[side], folder);
    if (bCheckStateFile && now != old) {
        err +=
            CWideString::Formatted(u"State file has changed since Analyze, by another Sync. Please Analyze "
                                   u"again:\nState file: %s\nnew: [%s] != \nold: [%s]\n",
                                   fs->DisplayPath(stateFile), now.Describe(), old.Describe());
        if (bLocked) {
            int k = 0;
            CWideString de;
            DeleteLockFile(folder, fs, k, de);
            m_HeldLocks.RemoveTail();
        }
        errKind = FSE_GENERAL;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- leftovers

namespace {

// A temporary file lives for the moment of one write, and while a run holds
// the folder no other Sync writes there: one older than this margin on the
// file system's own clock has no writer any more (a lock attempt racing ours
// would fail either way).
constexpr int64_t kLeftoverAgeSeconds = 5;

// The temporary files in the data folder of a held (or soon held) folder
// that no writer can still be at; false when the folder cannot be listed.
bool ListLeftovers(TvFileSys* fs, const CWideString& dataFolder, CListT<CWideString>& names) {
    const int64_t nNow = fs->FileSystemNow();
    if (nNow <= 0) return false;
    CListT<FsItemInfo> items;
    int k = 0;
    CWideString e;
    if (!fs->ListDir(dataFolder, items, k, e)) return false;
    const CWideString suffix = CSyncJob::GetTempFileSuffix(fs);
    for (ZorPosition p = items.GetHeadPosition(); p;) {
        const FsItemInfo& entry = items.GetNext(p);
        if (entry.IsBad() || entry.IsFolder() ||
            !(IsAtomicWriteTempName(entry.m_sName) || IsDataFolderCopyName(entry.m_sName, suffix) ||
              IsStateUploadName(entry.m_sName, suffix)) ||
            (int64_t)entry.m_nModTime + kLeftoverAgeSeconds > nNow)
            continue;
        names.AddTail(entry.m_sName);
    }
    return true;
}

} // namespace

void CSyncJob::RemoveLeftoverTempFiles() {
    for (ZorPosition pos = m_HeldLocks.GetHeadPosition(); pos;) {
        const CLockRecord& rec = m_HeldLocks.GetNext(pos);
        TvFileSys* fs = (rec.m_nSide == 0 || rec.m_nSide == 1) ? m_apFs[rec.m_nSide].get() : nullptr;
        if (!fs) continue;
        const CWideString folder = rec.m_sFolder + kDataFolderPath;
        CListT<CWideString> names;
        if (!ListLeftovers(fs, folder, names)) continue;
        for (ZorPosition p = names.GetHeadPosition(); p;) {
            const CWideString path = folder + u"/" + names.GetNext(p);
            int k = 0;
            CWideString de;
            if (fs->DeleteFile(path, k, de))
                Log(3, 4536, u"Deleted leftover temporary file " + fs->DisplayPath(path) + u"\n");
        }
    }
    std::error_code ec;
    const std::string local = WideToUtf8(LocalTempFolder()).GetString();
    for (std::filesystem::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!IsLockTempOfDeadProcess(name)) continue;
        std::error_code re;
        if (std::filesystem::remove(it->path(), re))
            Log(3, 4536, u"Deleted leftover temporary file " + Utf8ToWide(it->path().c_str()) + u"\n");
    }
}

void CSyncJob::RemoveLeftoversWithoutWork() {
    // An unattended run holds its folders since it analysed; a user's run
    // takes the lock only of a folder where a killed run left something, and
    // only when no other owner holds it.
    if (m_HeldLocks.IsEmpty()) {
        ResetLockTexts();
        const uint8_t bLockedByOther = m_bLockedByOther;
        for (int side = 0; side < 2; ++side) {
            TvFileSys* fs = m_apFs[side].get();
            if (!fs || !fs->IsConnected() || CannotHaveDataFolder(side) || IsReadOnlySide(side)) continue;
            CListT<CWideString> names;
            if (!ListLeftovers(fs, kDataFolderPath, names) || names.IsEmpty()) continue;
            int k = 0;
            CWideString e;
            if (ReadLockFile(CWideString(), fs, CNarrowString(), GetLockOwner(), k, e) <= 0) continue;
            e.Empty();
            if (!LockFolder(CWideString(), side, true, k, e))
                Log(2, 4537, u"Cannot lock folder to delete leftover temporary files: " + e + u"\n");
        }
        m_bLockedByOther = bLockedByOther;
        // Nothing to do and nothing changed since Analyze: the folders are in
        // sync as a Sync without work would leave them.
        if (!m_HeldLocks.IsEmpty()) m_bSyncEndedClean = 1;
    }
    RemoveLeftoverTempFiles();
}

// ---------------------------------------------------------------- release

bool CSyncJob::UnlockFolders() {
    // Only a Sync that its driver declared clean, with no error and no
    // conflict, leaves the in-sync stamp; any other end just drops the lock.
    const bool bClean =
        m_bSyncEndedClean && m_nSyncOk.load() >= 0 && m_nSyncErr.load() == 0 && m_nConflicts.load() == 0;
    // A lock that could not be released, or that another took away while
    // this Sync ran, is an error of the run.
    auto lockError = [this](const CWideString& text) {
        Log(1, 4534, text + u"\n");
        m_nSyncErr++;
        m_nRunErrors++;
    };
    for (ZorPosition pos = m_HeldLocks.GetHeadPosition(); pos;) {
        const CLockRecord& rec = m_HeldLocks.GetNext(pos);
        if (rec.m_nSide != 0 && rec.m_nSide != 1) continue;
        TvFileSys* fs = m_apFs[rec.m_nSide].get();
        if (!fs || !fs->IsConnected()) continue;
        const CWideString lockPath = LockFilePath(rec.m_sFolder, fs);
        const CWideString stampPath = rec.m_sFolder + kInSyncStampPath;
        // The lock file must still be this Sync's: one that another wrote
        // after breaking ours is theirs to release. One that cannot be read
        // back (something else stands at its name) never becomes the stamp.
        bool bReadBack = true;
        {
            int k = 0;
            CWideString e;
            bool bExists = false;
            CNarrowString content, first, rest;
            if (rec.m_sText.IsEmpty()) {
            } else if (!fs->IsFile(lockPath, bExists, k, e) ||
                       (bExists && DownloadLockText(fs, lockPath, content, k, e) <= 0)) {
                lockError(u"The lock of this Sync at " + fs->DisplayPath(lockPath) +
                          u" cannot be read back, so the folder gets no in-sync stamp: " + e);
                bReadBack = false;
            } else {
                SplitLockText(content, first, rest);
                if (!bExists || first != rec.m_sText) {
                    lockError(CWideString::Formatted(u"The lock of this Sync at %s was broken while it ran%s",
                                                     fs->DisplayPath(lockPath),
                                                     bExists ? (u"; it now reads: " + Utf8OrAnsiToWide(first))
                                                             : CWideString(u"")));
                    continue;
                }
            }
        }
        bool bDeleteLock = !bClean || !bReadBack;
        // A file system without copies of its own (the cloud has none within
        // an account) cannot make the stamp from a copy; deleting the lock
        // still unlocks the folder, which then has no stamp: its next
        // analysis reads it in full. That is only worth an error line when the
        // lock stays too.
        CWideString copyErr;
        if (bClean && bReadBack) {
            const TvConnectInfo& ci = rec.m_nSide == 0 ? m_Options.m_Dir1 : m_Options.m_Dir2;
            int k = 0;
            CWideString e;
            if (fs->GetCapability(TVFS_CAP_DIRECT_DEST_OK) && !ci.m_bUseTmpDestFile &&
                !fs->GetCapability(TVFS_CAP_RENAME_LOCK_FILE)) {
                if (!MoveFileByCopy(fs, lockPath, stampPath, k, e)) {
                    copyErr = u"Cannot copy/delete lock file to stamp file: " + e + u"\n";
                    bDeleteLock = true;
                }
            } else {
                Log(3, 4531, u"Unlocking folder (set insync file) " + fs->DisplayPath(stampPath) + u"\n");
                if (!fs->MoveFile(lockPath, stampPath, k, e)) {
                    Log(1, 4532, u"Cannot rename lock file to stamp file: " + e + u"\n");
                    bDeleteLock = true;
                }
            }
        }
        if (bDeleteLock) {
            int k = 0;
            CWideString e;
            const bool bDeleted = fs->DeleteFile(lockPath, k, e);
            if (!copyErr.IsEmpty()) Log(bDeleted ? 3 : 1, 4530, copyErr);
            if (bDeleted)
                Log(3, 4533, u"Deleted lock file " + fs->DisplayPath(lockPath) + u"\n");
            else
                lockError(u"Cannot delete lock file: " + e);
        }
        int k = 0;
        CWideString e;
        if (fs->DeleteFile(rec.m_sFolder + kInSyncStampV3Path, k, e))
            Log(3, 4535,
                u"Deleted V3 stamp file " + fs->DisplayPath(rec.m_sFolder + kInSyncStampV3Path) + u"\n");
    }
    m_HeldLocks.RemoveAll();
    m_bSyncEndedClean = 0;
    return true;
}
