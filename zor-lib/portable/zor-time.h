// Time: the injectable clock, 64-bit times and spans, local and UTC
// formatting, internet dates, range parsers, sleeping and the stopwatch.
//
// Every "now", every delay and every timed wait of the library goes through
// the one process-wide clock (ZorGetClock). Tests install a ZorTestClock, on
// which a sleep advances virtual time and returns at once, so that 30-second
// waits and daily roll-overs run in milliseconds.
#pragma once

#include "zor-string.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

// ---------------------------------------------------------------- the clock
class ZorClock {
public:
    virtual ~ZorClock() = default;
    // Wall-clock time: whole seconds since 1970-01-01 UTC and the milliseconds
    // (0..999) within that second.
    virtual void Now(int64_t& nSeconds, int& nMs) = 0;
    // A monotonic count of milliseconds (arbitrary origin, never goes back).
    virtual int64_t MonotonicMs() = 0;
    // Blocks the calling thread for nMs milliseconds (0 or less: returns at once).
    virtual void SleepMs(int64_t nMs) = 0;
    // True for a clock whose time only moves when told to (tests): timed waits
    // then do not block for real but advance the clock by their timeout.
    virtual bool IsVirtual() const { return false; }

    // Wall-clock time in milliseconds since 1970.
    int64_t NowMs() {
        int64_t s;
        int ms;
        Now(s, ms);
        return s * 1000 + ms;
    }
};

// The system clock: CLOCK_REALTIME, CLOCK_MONOTONIC and nanosleep.
class ZorRealClock : public ZorClock {
public:
    void Now(int64_t& nSeconds, int& nMs) override;
    int64_t MonotonicMs() override;
    void SleepMs(int64_t nMs) override;
};

// A virtual clock for tests. Thread-safe. SleepMs advances both the wall and
// the monotonic time by the given amount and returns at once.
class ZorTestClock : public ZorClock {
public:
    // Starts at the given wall time (seconds since 1970 and milliseconds);
    // the monotonic count starts at 1000000.
    explicit ZorTestClock(int64_t nStartSeconds = 1700000000, int nStartMs = 0);
    void Now(int64_t& nSeconds, int& nMs) override;
    int64_t MonotonicMs() override;
    void SleepMs(int64_t nMs) override;
    bool IsVirtual() const override { return true; }

    // Moves wall and monotonic time forward (a negative amount is ignored).
    void Advance(int64_t nMs);
    // Sets the wall time (may jump backwards, like a user changing the
    // system clock); the monotonic count is not changed.
    void SetNow(int64_t nSeconds, int nMs = 0);
    // While held, sleeps take a moment of real time and leave the clock
    // where it is: a test that steps the clock itself is not overtaken by
    // threads that wait on it.
    void SetHeld(bool bHeld) { m_bHeld.store(bHeld); }
    // Number of SleepMs calls and their total milliseconds since construction.
    int64_t GetSleepCount() const { return m_nSleepCount.load(); }
    int64_t GetSleptMs() const { return m_nSleptMs.load(); }

private:
    mutable std::mutex m_lock;
    int64_t m_nWallMs; // ms since 1970
    int64_t m_nMonoMs;
    std::atomic<int64_t> m_nSleepCount{0};
    std::atomic<int64_t> m_nSleptMs{0};
    std::atomic<bool> m_bHeld{false};
};

// Installs a clock for the whole process (null restores the real clock) and
// returns the previous one. The caller keeps ownership and must keep the
// clock alive while it is installed.
ZorClock* ZorSetClock(ZorClock* pClock);
ZorClock& ZorGetClock();

// Installs a clock for the lifetime of the object (tests).
class ZorClockScope {
public:
    explicit ZorClockScope(ZorClock* pClock) : m_pPrev(ZorSetClock(pClock)) {}
    ~ZorClockScope() { ZorSetClock(m_pPrev); }
    ZorClockScope(const ZorClockScope&) = delete;
    ZorClockScope& operator=(const ZorClockScope&) = delete;

private:
    ZorClock* m_pPrev;
};

// The process clock in milliseconds for short intervals: the clock's
// monotonic count (never the C library's clock(), which is CPU time).
int64_t ZorGetTickMs();
// Sleep the calling thread through the clock.
void ZorSleepMs(int64_t nMs);
void ZorSleepSeconds(int64_t nSeconds);

// ---------------------------------------------------------------- spans
// A span of whole seconds (64-bit, may be negative).
class CTimeSpan64 {
public:
    CTimeSpan64() : m_nSpan(0) {}
    explicit CTimeSpan64(int64_t nSeconds) : m_nSpan(nSeconds) {}
    // ((days*24 + hours)*60 + minutes)*60 + seconds.
    CTimeSpan64(int64_t nDays, int nHours, int nMinutes, int nSeconds)
        : m_nSpan(((nDays * 24 + nHours) * 60 + nMinutes) * 60 + nSeconds) {}

    int64_t GetTimeSpan() const { return m_nSpan; }
    int64_t GetTime() const { return m_nSpan; } // whole seconds, as for CZorTime
    int64_t GetDays() const { return m_nSpan / 86400; }
    int64_t GetTotalHours() const { return m_nSpan / 3600; }
    int64_t GetTotalMinutes() const { return m_nSpan / 60; }
    int64_t GetTotalSeconds() const { return m_nSpan; }
    int GetHours() const { return (int)(GetTotalHours() - GetDays() * 24); } // 0..23 (sign of the span)
    int GetMinutes() const { return (int)(GetTotalMinutes() - GetTotalHours() * 60); } // 0..59
    int GetSeconds() const { return (int)(m_nSpan - GetTotalMinutes() * 60); }         // 0..59

    CTimeSpan64 operator+(CTimeSpan64 o) const { return CTimeSpan64(m_nSpan + o.m_nSpan); }
    CTimeSpan64 operator-(CTimeSpan64 o) const { return CTimeSpan64(m_nSpan - o.m_nSpan); }
    bool operator==(CTimeSpan64 o) const { return m_nSpan == o.m_nSpan; }
    bool operator!=(CTimeSpan64 o) const { return m_nSpan != o.m_nSpan; }
    bool operator<(CTimeSpan64 o) const { return m_nSpan < o.m_nSpan; }
    bool operator<=(CTimeSpan64 o) const { return m_nSpan <= o.m_nSpan; }
    bool operator>(CTimeSpan64 o) const { return m_nSpan > o.m_nSpan; }
    bool operator>=(CTimeSpan64 o) const { return m_nSpan >= o.m_nSpan; }

private:
    int64_t m_nSpan;
};

// ---------------------------------------------------------------- times
// Seconds since 1970-01-01 UTC, 64-bit. 0 is the "no time" value.
class CZorTime {
public:
    CZorTime() : m_nTime(0) {}
    CZorTime(int64_t nTime) : m_nTime(nTime) {}

    static CZorTime Now(); // through the clock

    int64_t GetTime() const { return m_nTime; }
    // The 32-bit form stored in sync records (seconds since 1970).
    int32_t GetTime32() const { return (int32_t)m_nTime; }
    bool IsZero() const { return m_nTime == 0; }

    // this - other.
    CTimeSpan64 Subtract(const CZorTime& other) const { return CTimeSpan64(m_nTime - other.m_nTime); }
    CTimeSpan64 operator-(const CZorTime& other) const { return Subtract(other); }
    CZorTime operator+(CTimeSpan64 span) const { return CZorTime(m_nTime + span.GetTimeSpan()); }
    CZorTime operator-(CTimeSpan64 span) const { return CZorTime(m_nTime - span.GetTimeSpan()); }
    bool operator==(const CZorTime& o) const { return m_nTime == o.m_nTime; }
    bool operator!=(const CZorTime& o) const { return m_nTime != o.m_nTime; }
    bool operator<(const CZorTime& o) const { return m_nTime < o.m_nTime; }
    bool operator<=(const CZorTime& o) const { return m_nTime <= o.m_nTime; }
    bool operator>(const CZorTime& o) const { return m_nTime > o.m_nTime; }
    bool operator>=(const CZorTime& o) const { return m_nTime >= o.m_nTime; }

    // Broken-down local time (the TZ of the process) and UTC; false when the
    // conversion fails.
    static bool GetLocalTm(int64_t nTime, struct tm& out);
    static bool GetGmtTm(int64_t nTime, struct tm& out);
    bool GetLocalTm(struct tm& out) const { return GetLocalTm(m_nTime, out); }
    bool GetGmtTm(struct tm& out) const { return GetGmtTm(m_nTime, out); }

    // Local-time parts. On a failed conversion the date parts give 0 and the
    // time parts give -1.
    int GetYear() const;      // e.g. 2026
    int GetMonth() const;     // 1..12
    int GetDay() const;       // 1..31
    int GetHour() const;      // 0..23
    int GetMinute() const;    // 0..59
    int GetSecond() const;    // 0..60
    int GetDayOfWeek() const; // 1 = Sunday .. 7 = Saturday; 0 on failure

    // strftime patterns, at most 128 characters of result, English day and
    // month names whatever the process locale; an empty text when the
    // conversion or the formatting fails or the pattern is null.
    CWideString Format(const char16_t* pattern) const;    // local time
    CWideString FormatGmt(const char16_t* pattern) const; // UTC
    CNarrowString FormatA(const char* pattern) const;     // local time, UTF-8
    CNarrowString FormatGmtA(const char* pattern) const;  // UTC, UTF-8

private:
    int64_t m_nTime;
};

// Local broken-down time of t formatted with a strftime pattern into at most
// 128 characters; empty when the pattern is null or formatting fails.
CWideString FormatTimeWithPattern(const CZorTime& t, const char16_t* pattern);
CWideString FormatTimeWithPattern(const CZorTime& t, const char* pattern);
// Local short date and time joined by a blank ("%Y-%m-%d %H:%M"); empty for 0.
CWideString FormatLocalDateTime(int64_t nTime);
// Local time as "%Y-%m-%d %H:%M:%S".
CWideString FormatTimeStandard(int64_t nTime);

// Now minus nDays * 86400 seconds; for nDays <= 0, now minus 7200 seconds.
int64_t TimeDaysAgo(int nDays);
// Windows file time (100 ns since 1601) to seconds since 1970; 0 stays 0.
int64_t TimeTFromFileTime(int64_t nFileTime);
// Seconds since 1970 to a Windows file time; 0 stays 0.
int64_t FileTimeFromTimeT(int64_t nTime);
// True for 0 and for times from 1980-01-01 00:00:00 to 2037-12-31 23:59:59 UTC;
// otherwise false with "time is out of range [1980-2037]: " and the time appended.
bool CheckTimeInRange(int64_t nTime, CWideString& err);

// "+Nd" / "-Nd": now plus or minus N days of 86400 seconds; "Y/M/D" (year
// 1970..3000, month 1..12, day 1..31): 00:00:00 local time of that date.
// An empty or malformed text fails.
bool ParseDateOrRelativeDays(const CWideString& text, int64_t& nTime);
// Decimal number with an optional last letter K/k (x1024) or M/m (x1048576);
// empty gives 0; anything else, and a value that does not fit, gives
// INT64_MAX, the "does not parse" value.
int64_t ParseSizeWithSuffix(const CWideString& text);
// "low,high": exactly one comma ("no comma in size range: ", "more than one
// comma in size range: ", "first size bad in range: ", "second size bad in range: ").
bool ParseSizeRange(const CWideString& text, int64_t& nLow, int64_t& nHigh, CWideString& err);
// The same with ParseDateOrRelativeDays ("no comma in time range: ", "more
// than one comma in time range: ", "first time bad in range: ", "second time bad in range: ").
bool ParseTimeRange(const CWideString& text, int64_t& nLow, int64_t& nHigh, CWideString& err);

// RFC 1123 in UTC: "Sun, 06 Nov 1994 08:49:37 GMT". Fails with "bad null
// time" for 0, "DOW out of range" or "month out of range".
bool FormatInternetTime(int64_t nTime, CNarrowString& out, CWideString& err);
// Accepts RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT") and ISO 8601
// ("2009-10-12T17:50:30Z", with optional fractional seconds ".mmm" and a
// "Z", "+hh:mm", "+hhmm" or "+hh" offset, which is applied). False with
// "cannot parse inet time: " and the text otherwise.
bool ParseInternetTime(const char* text, int64_t& nTime, CWideString& err);
inline bool ParseInternetTime(const CNarrowString& text, int64_t& nTime, CWideString& err) {
    return ParseInternetTime(text.GetString(), nTime, err);
}

// UTC broken-down date to seconds since 1970 (no range limit, proleptic Gregorian).
int64_t ZorTimeFromUtcParts(int year, int month, int day, int hour, int minute, int second);

// ---------------------------------------------------------------- stopwatch
// Milliseconds since Start, from the clock's monotonic count. Starts on construction.
class Stopwatch {
public:
    Stopwatch() { Start(); }
    void Start() { m_nStart = ZorGetTickMs(); }
    int64_t ElapsedMs() const { return ZorGetTickMs() - m_nStart; }

private:
    int64_t m_nStart;
};
