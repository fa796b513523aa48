// The log-file writer and the global program log.
#include "zor-log.h"

#include "zor-escape.h"

#include "zor-debug.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> g_LogSwitch{0};

CZorLog::CZorLog(bool bProgramLog) : m_bProgramLog(bProgramLog) {}

CZorLog::~CZorLog() {
    CCritSectionLock g(m_lock);
    CloseLocked();
}

void CZorLog::SetFileName(const CWideString& name) {
    CCritSectionLock g(m_lock);
    CloseLocked();
    m_sFileName = name;
    m_bDaily = false;
    if (!name.IsEmpty()) m_bEnabled = true;
}

void CZorLog::SetFolder(const CWideString& folder) {
    CCritSectionLock g(m_lock);
    CloseLocked();
    m_sFolder = folder;
    // A trailing separator is dropped so that paths get exactly one.
    while (m_sFolder.GetLength() > 1 && (m_sFolder.GetLast() == u'/' || m_sFolder.GetLast() == u'\\'))
        m_sFolder.Truncate(m_sFolder.GetLength() - 1);
}

void CZorLog::SetBaseName(const CWideString& base) {
    ZOR_ASSERT(!base.IsEmpty());
    if (base.IsEmpty()) return;
    CCritSectionLock g(m_lock);
    CloseLocked();
    m_sBaseName = base;
    m_bDaily = true;
}

CWideString CZorLog::DailyName(int64_t nSeconds) const {
    struct tm v;
    if (m_sBaseName.IsEmpty() || !CZorTime::GetLocalTm(nSeconds, v)) return CWideString();
    return CWideString::Formatted(u"%s-%04d-%02d-%02d.log", m_sBaseName, v.tm_year + 1900, v.tm_mon + 1,
                                  v.tm_mday);
}

CWideString CZorLog::CurrentFileNameLocked() const {
    if (!m_bDaily) return m_sFileName;
    return DailyName(CZorTime::Now().GetTime());
}

CWideString CZorLog::GetFilePath() const {
    CCritSectionLock g(m_lock);
    CWideString name = CurrentFileNameLocked();
    if (m_sFolder.IsEmpty() || name.IsEmpty()) return CWideString();
    return m_sFolder + u"/" + name;
}

CWideString CZorLog::GetFileName() const {
    CCritSectionLock g(m_lock);
    return CurrentFileNameLocked();
}

CWideString CZorLog::GetFolder() const {
    CCritSectionLock g(m_lock);
    return m_sFolder;
}

CWideString CZorLog::GetBaseName() const {
    CCritSectionLock g(m_lock);
    return m_sBaseName;
}

void CZorLog::SetEnabled(bool bEnabled) {
    CCritSectionLock g(m_lock);
    CloseLocked();
    m_bEnabled = bEnabled;
}

bool CZorLog::IsEnabled() const {
    CCritSectionLock g(m_lock);
    return m_bEnabled;
}

bool CZorLog::IsOpen() const {
    return m_bOpen.load();
}

void CZorLog::Close() {
    CCritSectionLock g(m_lock);
    CloseLocked();
}

void CZorLog::CloseLocked() {
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
    m_bOpen.store(false);
}

bool CZorLog::OpenLocked(const CWideString& name) {
    if (name.IsEmpty()) return false;
    CWideString path = m_sFolder.IsEmpty() ? name : m_sFolder + u"/" + name;
    CNarrowString p8 = WideToUtf8(path);
    int fd;
    // A link at the log's name is never followed, and a FIFO there cannot
    // hold the open.
    do {
        fd =
            ::open(p8.GetString(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // A plain file takes them only when it is our own and has no other name
    // (a hard link someone put there would carry the lines elsewhere); a
    // FIFO or socket (which anyone can make) never. A device, which only
    // the system can make, is where the user sent the log.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) ||
        (S_ISREG(st.st_mode) && (st.st_nlink != 1 || st.st_uid != ::geteuid()))) {
        ::close(fd);
        return false;
    }
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Logs are their owner's alone, also one an older version left readable.
    if (S_ISREG(st.st_mode) && (st.st_mode & 077) != 0) (void)::fchmod(fd, st.st_mode & 0700);
    m_nFd = fd;
    m_bOpen.store(true);
    return true;
}

bool CZorLog::WantsOutput() const {
    return !(m_bProgramLog && g_LogSwitch.load() == 9);
}

void CZorLog::WriteEntry(const CWideString& text) {
    WriteEntryUtf8(WideToUtf8(text));
}

void CZorLog::WriteLine(const CWideString& text) {
    if (!WantsOutput()) return;
    WriteEntryUtf8(WideToUtf8(text));
}

void CZorLog::WriteLine(const CNarrowString& utf8Text) {
    if (!WantsOutput()) return;
    WriteEntryUtf8(utf8Text);
}

void CZorLog::WriteEntryUtf8(const CNarrowString& text) {
    CCritSectionLock g(m_lock);
    if (!m_bEnabled) return;
    int64_t nSeconds;
    int nMs;
    ZorGetClock().Now(nSeconds, nMs);
    struct tm v;
    if (!CZorTime::GetLocalTm(nSeconds, v)) std::memset(&v, 0, sizeof v);

    CWideString name = m_bDaily ? DailyName(nSeconds) : m_sFileName;
    if (m_nFd >= 0 && m_bDaily && name != m_sOpenName) CloseLocked(); // a new day
    if (m_nFd < 0) {
        if (!OpenLocked(name)) {
            m_bEnabled = false; // a log that cannot be opened is turned off
            return;
        }
        m_sOpenName = name;
    }

    // Entries carry names and server texts: nothing in them may act on the
    // terminal that shows the file or forge a line of its own beyond the
    // entry's line ends.
    const CNarrowString safe = EscapeControlCharsInLines(text);
    CNarrowString line;
    line.Preallocate(safe.GetLength() + 16);
    line.Format("%02d%02d%02d.%03d ", v.tm_hour, v.tm_min, v.tm_sec, nMs);
    // Every line end becomes CR LF; the entry always ends with one.
    const char* s = safe.GetString();
    int n = safe.GetLength();
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] == '\n') {
            int end = (i > start && s[i - 1] == '\r') ? i - 1 : i;
            line.Append(s + start, end - start);
            line.Append("\r\n", 2);
            start = i + 1;
        }
    }
    if (start < n) {
        line.Append(s + start, n - start);
        line.Append("\r\n", 2);
    } else if (n == 0) {
        line.Append("\r\n", 2);
    }

    const char* p = line.GetString();
    size_t left = (size_t)line.GetLength();
    while (left > 0) {
        ssize_t w = ::write(m_nFd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            CloseLocked(); // a failed write closes the file; the next entry reopens it
            return;
        }
        p += w;
        left -= (size_t)w;
    }
}

CZorLog& ZorGetProgramLog() {
    // Never destroyed, so that code running at exit may still log.
    static CZorLog* s_pLog = new CZorLog(true);
    return *s_pLog;
}

CWideString GetLogFolder() {
    return ZorGetProgramLog().GetFolder();
}
