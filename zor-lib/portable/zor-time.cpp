// Time: the injectable clock, times and spans, formatting and parsing.
#include "zor-time.h"

#include "zor-unicode.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstring>
#include <thread>
#include <locale.h>
#include <time.h>

// ---------------------------------------------------------------- real clock
void ZorRealClock::Now(int64_t& nSeconds, int& nMs) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    nSeconds = (int64_t)ts.tv_sec;
    nMs = (int)(ts.tv_nsec / 1000000);
}

int64_t ZorRealClock::MonotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void ZorRealClock::SleepMs(int64_t nMs) {
    if (nMs <= 0) return;
    struct timespec req;
    req.tv_sec = (time_t)(nMs / 1000);
    req.tv_nsec = (long)(nMs % 1000) * 1000000;
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

// ---------------------------------------------------------------- test clock
ZorTestClock::ZorTestClock(int64_t nStartSeconds, int nStartMs)
    : m_nWallMs(nStartSeconds * 1000 + nStartMs), m_nMonoMs(1000000) {}

void ZorTestClock::Now(int64_t& nSeconds, int& nMs) {
    int64_t ms;
    {
        std::lock_guard<std::mutex> g(m_lock);
        ms = m_nWallMs;
    }
    // Floor division, so that times before 1970 keep 0 <= ms < 1000.
    nSeconds = ms / 1000;
    int64_t rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        nSeconds -= 1;
    }
    nMs = (int)rest;
}

int64_t ZorTestClock::MonotonicMs() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_nMonoMs;
}

void ZorTestClock::SleepMs(int64_t nMs) {
    m_nSleepCount.fetch_add(1);
    if (nMs <= 0) return;
    m_nSleptMs.fetch_add(nMs);
    if (m_bHeld.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(nMs < 5 ? nMs : 5));
        return;
    }
    Advance(nMs);
}

void ZorTestClock::Advance(int64_t nMs) {
    if (nMs <= 0) return;
    std::lock_guard<std::mutex> g(m_lock);
    m_nWallMs += nMs;
    m_nMonoMs += nMs;
}

void ZorTestClock::SetNow(int64_t nSeconds, int nMs) {
    std::lock_guard<std::mutex> g(m_lock);
    m_nWallMs = nSeconds * 1000 + nMs;
}

// ---------------------------------------------------------------- the clock in use
namespace {
std::atomic<ZorClock*> g_pClock{nullptr};

ZorRealClock& RealClock() {
    static ZorRealClock s_clock;
    return s_clock;
}

// The "C" locale for strftime, so that names are English whatever the process locale.
locale_t CLocale() {
    static locale_t s_loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return s_loc;
}

constexpr int kMaxFormatChars = 128;

CNarrowString FormatTm(const struct tm& tmv, const char* pattern) {
    if (!pattern || !*pattern) return CNarrowString();
    // Room for 128 characters of up to 4 UTF-8 bytes each.
    char buf[kMaxFormatChars * 4 + 1];
    size_t n;
    locale_t loc = CLocale();
    if (loc != (locale_t)0)
        n = strftime_l(buf, sizeof buf, pattern, &tmv, loc);
    else
        n = strftime(buf, sizeof buf, pattern, &tmv);
    if (n == 0) return CNarrowString();
    CNarrowString s(buf, (int)n);
    if (Utf8ToWide(s).GetLength() > kMaxFormatChars) return CNarrowString();
    return s;
}

bool IsLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int64_t y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && IsLeap(y)) return 29;
    return kDays[m - 1];
}

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
} // namespace

ZorClock* ZorSetClock(ZorClock* pClock) {
    ZorClock* prev = g_pClock.exchange(pClock);
    return prev ? prev : &RealClock();
}

ZorClock& ZorGetClock() {
    ZorClock* p = g_pClock.load();
    return p ? *p : RealClock();
}

int64_t ZorGetTickMs() {
    return ZorGetClock().MonotonicMs();
}

void ZorSleepMs(int64_t nMs) {
    ZorGetClock().SleepMs(nMs);
}

void ZorSleepSeconds(int64_t nSeconds) {
    if (nSeconds > 0) ZorGetClock().SleepMs(nSeconds * 1000);
}

// ---------------------------------------------------------------- CZorTime
CZorTime CZorTime::Now() {
    int64_t s;
    int ms;
    ZorGetClock().Now(s, ms);
    return CZorTime(s);
}

bool CZorTime::GetLocalTm(int64_t nTime, struct tm& out) {
    time_t t = (time_t)nTime;
    if ((int64_t)t != nTime) return false;
    return localtime_r(&t, &out) != nullptr;
}

bool CZorTime::GetGmtTm(int64_t nTime, struct tm& out) {
    time_t t = (time_t)nTime;
    if ((int64_t)t != nTime) return false;
    return gmtime_r(&t, &out) != nullptr;
}

int CZorTime::GetYear() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_year + 1900 : 0;
}
int CZorTime::GetMonth() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_mon + 1 : 0;
}
int CZorTime::GetDay() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_mday : 0;
}
int CZorTime::GetHour() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_hour : -1;
}
int CZorTime::GetMinute() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_min : -1;
}
int CZorTime::GetSecond() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_sec : -1;
}
int CZorTime::GetDayOfWeek() const {
    struct tm v;
    return GetLocalTm(v) ? v.tm_wday + 1 : 0;
}

CNarrowString CZorTime::FormatA(const char* pattern) const {
    struct tm v;
    if (!pattern || !GetLocalTm(v)) return CNarrowString();
    return FormatTm(v, pattern);
}

CNarrowString CZorTime::FormatGmtA(const char* pattern) const {
    struct tm v;
    if (!pattern || !GetGmtTm(v)) return CNarrowString();
    return FormatTm(v, pattern);
}

CWideString CZorTime::Format(const char16_t* pattern) const {
    if (!pattern) return CWideString();
    return Utf8ToWide(FormatA(WideToUtf8(pattern)));
}

CWideString CZorTime::FormatGmt(const char16_t* pattern) const {
    if (!pattern) return CWideString();
    return Utf8ToWide(FormatGmtA(WideToUtf8(pattern)));
}

// ---------------------------------------------------------------- formatters
CWideString FormatTimeWithPattern(const CZorTime& t, const char16_t* pattern) {
    return t.Format(pattern);
}

CWideString FormatTimeWithPattern(const CZorTime& t, const char* pattern) {
    return Utf8ToWide(t.FormatA(pattern));
}

CWideString FormatLocalDateTime(int64_t nTime) {
    if (nTime == 0) return CWideString();
    return CZorTime(nTime).Format(u"%Y-%m-%d %H:%M");
}

CWideString FormatTimeStandard(int64_t nTime) {
    return CZorTime(nTime).Format(u"%Y-%m-%d %H:%M:%S");
}

int64_t TimeDaysAgo(int nDays) {
    int64_t now = CZorTime::Now().GetTime();
    if (nDays <= 0) return now - 7200;
    return now - (int64_t)nDays * 86400;
}

int64_t TimeTFromFileTime(int64_t nFileTime) {
    if (nFileTime == 0) return 0;
    return (nFileTime - 116444736000000000LL) / 10000000LL;
}

int64_t FileTimeFromTimeT(int64_t nTime) {
    if (nTime == 0) return 0;
    return nTime * 10000000LL + 116444736000000000LL;
}

bool CheckTimeInRange(int64_t nTime, CWideString& err) {
    if (nTime == 0) return true;
    static const int64_t kLow = ZorTimeFromUtcParts(1980, 1, 1, 0, 0, 0);
    static const int64_t kHigh = ZorTimeFromUtcParts(2037, 12, 31, 23, 59, 59);
    if (nTime >= kLow && nTime <= kHigh) return true;
    err.AppendFormat(u"time is out of range [1980-2037]: %lld", (long long)nTime);
    return false;
}

int64_t ZorTimeFromUtcParts(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a proleptic Gregorian date (civil-from-days inverse).
    int64_t y = (int64_t)year - (month <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + (int64_t)hour * 3600 + (int64_t)minute * 60 + second;
}

// ---------------------------------------------------------------- parsers
namespace {
// Reads decimal digits at p (at least one, value <= limit); advances p.
bool ReadDigits(const char16_t*& p, int64_t limit, int64_t& value) {
    const char16_t* start = p;
    int64_t v = 0;
    while (*p >= u'0' && *p <= u'9') {
        int d = *p - u'0';
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
        ++p;
    }
    if (p == start) return false;
    value = v;
    return true;
}
} // namespace

bool ParseDateOrRelativeDays(const CWideString& text, int64_t& nTime) {
    if (text.IsEmpty()) return false;
    const char16_t* p = text.GetString();
    if (*p == u'+' || *p == u'-') {
        bool bMinus = *p == u'-';
        ++p;
        int64_t days;
        if (!ReadDigits(p, INT_MAX, days)) return false;
        if (*p == u'd') ++p;
        if (*p) return false;
        int64_t now = CZorTime::Now().GetTime();
        nTime = bMinus ? now - days * 86400 : now + days * 86400;
        return true;
    }
    int64_t y, m, d;
    if (!ReadDigits(p, 100000, y) || *p++ != u'/') return false;
    if (!ReadDigits(p, 100000, m) || *p++ != u'/') return false;
    if (!ReadDigits(p, 100000, d) || *p) return false;
    if (y < 1970 || y > 3000 || m < 1 || m > 12 || d < 1 || d > 31) return false;
    // A day that the month does not have (31 April) is refused rather than
    // moved into the next month.
    if (d > DaysInMonth(y, (int)m)) return false;
    struct tm v;
    std::memset(&v, 0, sizeof v);
    v.tm_year = (int)y - 1900;
    v.tm_mon = (int)m - 1;
    v.tm_mday = (int)d;
    v.tm_isdst = -1;
    time_t t = mktime(&v);
    if (t == (time_t)-1) return false;
    nTime = (int64_t)t;
    return true;
}

int64_t ParseSizeWithSuffix(const CWideString& text) {
    const int64_t kBad = INT64_MAX;
    int n = text.GetLength();
    if (n == 0) return 0;
    const char16_t* s = text.GetString();
    int64_t mult = 1;
    char16_t last = s[n - 1];
    if (last == u'K' || last == u'k') {
        mult = 1024;
        --n;
    } else if (last == u'M' || last == u'm') {
        mult = 1048576;
        --n;
    }
    if (n == 0) return kBad;
    int64_t v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < u'0' || s[i] > u'9') return kBad;
        int d = s[i] - u'0';
        if (v > (INT64_MAX - d) / 10) return kBad;
        v = v * 10 + d;
    }
    if (v > (INT64_MAX - 1) / mult) return kBad;
    return v * mult;
}

namespace {
// Splits "a,b" at its one comma; false with the matching message otherwise.
bool SplitRange(const CWideString& text, CWideString& a, CWideString& b, const char16_t* what,
                CWideString& err) {
    int comma = text.Find(u',');
    if (comma < 0) {
        err.AppendFormat(u"no comma in %s range: %s", what, text);
        return false;
    }
    if (text.Find(u',', comma + 1) >= 0) {
        err.AppendFormat(u"more than one comma in %s range: %s", what, text);
        return false;
    }
    a = text.Left(comma);
    b = text.Mid(comma + 1);
    return true;
}
} // namespace

bool ParseSizeRange(const CWideString& text, int64_t& nLow, int64_t& nHigh, CWideString& err) {
    CWideString a, b;
    if (!SplitRange(text, a, b, u"size", err)) return false;
    int64_t lo = ParseSizeWithSuffix(a);
    if (lo == INT64_MAX) {
        err.AppendFormat(u"first size bad in range: %s", a);
        return false;
    }
    int64_t hi = ParseSizeWithSuffix(b);
    if (hi == INT64_MAX) {
        err.AppendFormat(u"second size bad in range: %s", b);
        return false;
    }
    nLow = lo;
    nHigh = hi;
    return true;
}

bool ParseTimeRange(const CWideString& text, int64_t& nLow, int64_t& nHigh, CWideString& err) {
    CWideString a, b;
    if (!SplitRange(text, a, b, u"time", err)) return false;
    int64_t lo, hi;
    if (!ParseDateOrRelativeDays(a, lo)) {
        err.AppendFormat(u"first time bad in range: %s", a);
        return false;
    }
    if (!ParseDateOrRelativeDays(b, hi)) {
        err.AppendFormat(u"second time bad in range: %s", b);
        return false;
    }
    nLow = lo;
    nHigh = hi;
    return true;
}

// ---------------------------------------------------------------- internet time
bool FormatInternetTime(int64_t nTime, CNarrowString& out, CWideString& err) {
    if (nTime == 0) {
        err += u"bad null time";
        return false;
    }
    struct tm v;
    if (!CZorTime::GetGmtTm(nTime, v)) {
        err += u"bad null time";
        return false;
    }
    if (v.tm_wday < 0 || v.tm_wday > 6) {
        err += u"DOW out of range";
        return false;
    }
    if (v.tm_mon < 0 || v.tm_mon > 11) {
        err += u"month out of range";
        return false;
    }
    out.Format("%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[v.tm_wday], v.tm_mday, kMonthNames[v.tm_mon],
               v.tm_year + 1900, v.tm_hour, v.tm_min, v.tm_sec);
    return true;
}

namespace {
bool ReadNum(const char*& p, int nMin, int nMax, int& value) {
    int v = 0, n = 0;
    while (*p >= '0' && *p <= '9' && n < nMax) {
        v = v * 10 + (*p - '0');
        ++p;
        ++n;
    }
    if (n < nMin) return false;
    value = v;
    return true;
}

bool ReadExact(const char*& p, int nDigits, int& value) {
    return ReadNum(p, nDigits, nDigits, value);
}

bool MatchNoCase(const char* p, const char* word, int n) {
    for (int i = 0; i < n; ++i)
        if (ZorFoldUnit(p[i]) != ZorFoldUnit(word[i])) return false;
    return true;
}

// "+hh:mm", "+hhmm", "+hh" (or '-'): seconds east of UTC.
bool ReadNumericOffset(const char*& p, int& nOffset) {
    if (*p != '+' && *p != '-') return false;
    int sign = *p == '-' ? -1 : 1;
    ++p;
    int hh, mm = 0;
    if (!ReadExact(p, 2, hh)) return false;
    if (*p == ':') {
        ++p;
        if (!ReadExact(p, 2, mm)) return false;
    } else if (*p >= '0' && *p <= '9') {
        if (!ReadExact(p, 2, mm)) return false;
    }
    if (hh > 23 || mm > 59) return false;
    nOffset = sign * (hh * 3600 + mm * 60);
    return true;
}

bool ValidParts(int y, int mo, int d, int h, int mi, int s) {
    return y >= 1 && mo >= 1 && mo <= 12 && d >= 1 && d <= DaysInMonth(y, mo) && h >= 0 && h <= 23 &&
           mi >= 0 && mi <= 59 && s >= 0 && s <= 60;
}

// "2009-10-12T17:50:30", optional ".fff", then "Z", an offset or nothing (UTC).
bool ParseIso(const char* p, int64_t& nTime) {
    int y, mo, d, h, mi, s;
    if (!ReadExact(p, 4, y) || *p++ != '-' || !ReadExact(p, 2, mo) || *p++ != '-' || !ReadExact(p, 2, d))
        return false;
    if (*p != 'T' && *p != 't') return false;
    ++p;
    if (!ReadExact(p, 2, h) || *p++ != ':' || !ReadExact(p, 2, mi) || *p++ != ':' || !ReadExact(p, 2, s))
        return false;
    if (*p == '.' || *p == ',') {
        ++p;
        int frac;
        if (!ReadNum(p, 1, 9, frac)) return false;
        while (*p >= '0' && *p <= '9') ++p; // more precision than kept
    }
    int offset = 0;
    if (*p == 'Z' || *p == 'z') {
        ++p;
    } else if (*p == '+' || *p == '-') {
        if (!ReadNumericOffset(p, offset)) return false;
    }
    if (*p) return false;
    if (!ValidParts(y, mo, d, h, mi, s)) return false;
    nTime = ZorTimeFromUtcParts(y, mo, d, h, mi, s) - offset;
    return true;
}

// "Sun, 06 Nov 1994 08:49:37 GMT" (the day name optional; the zone GMT, UT,
// UTC, Z or a numeric offset "+hhmm"; no zone means GMT).
bool ParseRfc1123(const char* p, int64_t& nTime) {
    while (*p == ' ') ++p;
    if (((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))) {
        int wd = -1;
        for (int i = 0; i < 7; ++i)
            if (MatchNoCase(p, kDayNames[i], 3)) wd = i;
        if (wd < 0) return false;
        p += 3;
        if (*p++ != ',') return false;
    }
    while (*p == ' ') ++p;
    int d, y, h, mi, s, mo = -1;
    if (!ReadNum(p, 1, 2, d) || *p++ != ' ') return false;
    for (int i = 0; i < 12; ++i)
        if (MatchNoCase(p, kMonthNames[i], 3)) mo = i + 1;
    if (mo < 0) return false;
    p += 3;
    if (*p++ != ' ' || !ReadExact(p, 4, y) || *p++ != ' ') return false;
    if (!ReadExact(p, 2, h) || *p++ != ':' || !ReadExact(p, 2, mi) || *p++ != ':' || !ReadExact(p, 2, s))
        return false;
    int offset = 0;
    while (*p == ' ') ++p;
    if (*p == '+' || *p == '-') {
        if (!ReadNumericOffset(p, offset)) return false;
    } else if (*p) {
        const char* z = p;
        while (*p && *p != ' ') ++p;
        int n = (int)(p - z);
        bool bUtc = (n == 3 && (MatchNoCase(z, "GMT", 3) || MatchNoCase(z, "UTC", 3))) ||
                    (n == 2 && MatchNoCase(z, "UT", 2)) || (n == 1 && (*z == 'Z' || *z == 'z'));
        if (!bUtc) return false; // a named zone other than UTC is not guessed
    }
    while (*p == ' ') ++p;
    if (*p) return false;
    if (!ValidParts(y, mo, d, h, mi, s)) return false;
    nTime = ZorTimeFromUtcParts(y, mo, d, h, mi, s) - offset;
    return true;
}
} // namespace

bool ParseInternetTime(const char* text, int64_t& nTime, CWideString& err) {
    const char* p = text ? text : "";
    int64_t t;
    bool bIso = std::strlen(p) >= 10 && p[0] >= '0' && p[0] <= '9' && p[4] == '-';
    bool ok = bIso ? ParseIso(p, t) : ParseRfc1123(p, t);
    if (!ok) {
        err.AppendFormat(u"cannot parse inet time: %s", p);
        return false;
    }
    nTime = t;
    return true;
}
