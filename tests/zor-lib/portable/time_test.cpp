#include "zor-debug.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Str(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

// Sets TZ for the test's lifetime and restores the previous value.
class TzScope {
public:
    explicit TzScope(const char* tz) {
        const char* old = std::getenv("TZ");
        m_bHad = old != nullptr;
        if (old) m_sOld = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~TzScope() {
        if (m_bHad)
            setenv("TZ", m_sOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_bHad;
    std::string m_sOld;
};

// Output of a command (first line, without the line end).
std::string RunCommand(const std::string& cmd) {
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return "<popen failed>";
    char buf[512];
    std::string out;
    if (std::fgets(buf, sizeof buf, f)) out = buf;
    pclose(f);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::string DateFormat(int64_t t, const char* fmt) {
    return RunCommand("LC_ALL=C date -d @" + std::to_string(t) + " '+" + fmt + "'");
}

// DST changes of 2024 (UTC seconds): Berlin March and October, New York March and November.
const int64_t kTransitions[] = {1711846800, 1729990800, 1710054000, 1730613600};
const char* const kZones[] = {"Europe/Berlin", "America/New_York"};

} // namespace

// ---------------------------------------------------------------- the clock
TEST(ZorClockTest, TestClockSleepAdvancesVirtualTimeAtOnce) {
    ZorTestClock clock(1700000000, 250);
    ZorClockScope scope(&clock);
    int64_t mono0 = ZorGetTickMs();
    Stopwatch sw;
    EXPECT_EQ(sw.ElapsedMs(), 0);

    auto realStart = std::chrono::steady_clock::now();
    ZorSleepSeconds(30);
    ZorSleepMs(500);
    auto realMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart)
            .count();
    EXPECT_LT(realMs, 5000); // no real 30-second sleep

    EXPECT_EQ(ZorGetTickMs() - mono0, 30500);
    EXPECT_EQ(sw.ElapsedMs(), 30500);
    int64_t s;
    int ms;
    ZorGetClock().Now(s, ms);
    EXPECT_EQ(s, 1700000030);
    EXPECT_EQ(ms, 750);
    EXPECT_EQ(CZorTime::Now().GetTime(), 1700000030);
    EXPECT_EQ(clock.GetSleepCount(), 2);
    EXPECT_EQ(clock.GetSleptMs(), 30500);

    // A wall-clock jump backwards leaves the monotonic count alone.
    int64_t mono1 = ZorGetTickMs();
    clock.SetNow(1600000000);
    EXPECT_EQ(CZorTime::Now().GetTime(), 1600000000);
    EXPECT_EQ(ZorGetTickMs(), mono1);
}

TEST(ZorClockTest, TestClockIsThreadSafe) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    int64_t mono0 = ZorGetTickMs();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) {
                ZorSleepMs(3);
                (void)CZorTime::Now();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(ZorGetTickMs() - mono0, 8 * 1000 * 3);
    EXPECT_EQ(CZorTime::Now().GetTime(), 1700000000 + 24);
}

TEST(ZorClockTest, RealClockIsMonotonicAndSleeps) {
    ZorClock& c = ZorGetClock();
    EXPECT_FALSE(c.IsVirtual());
    int64_t a = ZorGetTickMs();
    ZorSleepMs(20);
    int64_t b = ZorGetTickMs();
    EXPECT_GE(b - a, 20);
    // The wall clock agrees with time().
    int64_t s;
    int ms;
    c.Now(s, ms);
    EXPECT_LE(std::llabs(s - (int64_t)time(nullptr)), 2);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1000);
    // Restoring with null gives back the real clock.
    ZorTestClock tc;
    ZorClock* prev = ZorSetClock(&tc);
    EXPECT_EQ(&ZorGetClock(), &tc);
    ZorSetClock(nullptr);
    EXPECT_EQ(&ZorGetClock(), prev);
}

// ---------------------------------------------------------------- spans and parts
TEST(ZorTimeTest, SpansAndSubtraction) {
    CTimeSpan64 sp(2, 3, 4, 5);
    EXPECT_EQ(sp.GetTimeSpan(), ((2 * 24 + 3) * 60 + 4) * 60 + 5);
    EXPECT_EQ(sp.GetTotalHours(), 51);
    EXPECT_EQ(sp.GetHours(), 3);
    EXPECT_EQ(sp.GetMinutes(), 4);
    EXPECT_EQ(sp.GetSeconds(), 5);
    EXPECT_TRUE(CTimeSpan64(0, 1, 0, 0) < CTimeSpan64(0, 0, 61, 0));
    EXPECT_TRUE(CTimeSpan64(1, 0, 0, 0) == CTimeSpan64(0, 24, 0, 0));

    CZorTime a(1700000000), b(1700000000 - 90061);
    CTimeSpan64 d = a.Subtract(b);
    EXPECT_EQ(d.GetTime(), 90061);
    EXPECT_EQ(d.GetTotalHours(), 25);
    EXPECT_EQ(b.Subtract(a).GetTime(), -90061);
    EXPECT_EQ((b + d).GetTime(), a.GetTime());
    EXPECT_TRUE(CZorTime().IsZero());
}

TEST(ZorTimeTest, FailedConversionGivesZeroDateAndMinusOneTime) {
    CZorTime bad(INT64_MAX);
    EXPECT_EQ(bad.GetYear(), 0);
    EXPECT_EQ(bad.GetMonth(), 0);
    EXPECT_EQ(bad.GetDay(), 0);
    EXPECT_EQ(bad.GetHour(), -1);
    EXPECT_EQ(bad.GetMinute(), -1);
    EXPECT_EQ(bad.GetSecond(), -1);
    struct tm v;
    EXPECT_FALSE(bad.GetLocalTm(v));
    EXPECT_FALSE(bad.GetGmtTm(v));
    EXPECT_TRUE(bad.Format(u"%Y").IsEmpty());
    EXPECT_TRUE(bad.FormatGmt(u"%Y").IsEmpty());
}

// ---------------------------------------------------------------- local time against date(1)
TEST(ZorTimeTest, LocalFormattingAcrossDstMatchesDateCommand) {
    for (const char* zone : kZones) {
        TzScope tz(zone);
        for (int64_t tr : kTransitions) {
            for (int64_t delta : {-3601LL, -1LL, 0LL, 1LL, 1799LL, 3599LL, 3600LL}) {
                int64_t t = tr + delta;
                SCOPED_TRACE(std::string(zone) + " @" + std::to_string(t));
                CZorTime zt(t);
                EXPECT_EQ(Str(zt.Format(u"%Y-%m-%d %H:%M:%S %Z %a %b")),
                          DateFormat(t, "%Y-%m-%d %H:%M:%S %Z %a %b"));
                EXPECT_EQ(Str(FormatTimeStandard(t)), DateFormat(t, "%Y-%m-%d %H:%M:%S"));
                EXPECT_EQ(Str(FormatTimeWithPattern(zt, u"%H%M%S")), DateFormat(t, "%H%M%S"));
                EXPECT_EQ(std::to_string(zt.GetYear()) + "-" + std::to_string(zt.GetMonth()) + "-" +
                              std::to_string(zt.GetDay()) + " " + std::to_string(zt.GetHour()) + ":" +
                              std::to_string(zt.GetMinute()) + ":" + std::to_string(zt.GetSecond()),
                          DateFormat(t, "%-Y-%-m-%-d %-H:%-M:%-S"));
                EXPECT_EQ(Str(zt.FormatGmt(u"%Y-%m-%d %H:%M:%S")),
                          RunCommand("LC_ALL=C date -u -d @" + std::to_string(t) + " '+%Y-%m-%d %H:%M:%S'"));
            }
        }
    }
}

TEST(ZorTimeTest, LocalDateParsingAcrossDstMatchesDateCommand) {
    const char* dates[] = {"2024/3/31", "2024/3/10", "2024/10/27", "2024/11/3", "2024/11/4",
                           "2024/7/1",  "2024/2/29", "1970/1/1",   "2037/12/31"};
    for (const char* zone : kZones) {
        TzScope tz(zone);
        for (const char* d : dates) {
            SCOPED_TRACE(std::string(zone) + " " + d);
            int64_t t = -1;
            ASSERT_TRUE(ParseDateOrRelativeDays(Utf8ToWide(d), t));
            std::string iso = d;
            for (char& c : iso)
                if (c == '/') c = '-';
            EXPECT_EQ(std::to_string(t), RunCommand("LC_ALL=C date -d '" + iso + " 00:00:00' +%s"));
            EXPECT_EQ(CZorTime(t).GetHour(), 0);
        }
    }
}

TEST(ZorTimeTest, EnglishNamesWhateverTheProcessLocale) {
    TzScope tz("UTC");
    const char* prev = std::setlocale(LC_ALL, nullptr);
    std::string saved = prev ? prev : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 not available";
    // 1994-11-06 was a Sunday ("So" in German).
    char buf[64];
    time_t t = 784111777;
    struct tm v;
    gmtime_r(&t, &v);
    strftime(buf, sizeof buf, "%a %b", &v);
    std::string german = buf;
    EXPECT_EQ(Str(CZorTime(784111777).FormatGmt(u"%a, %d %b %Y")), "Sun, 06 Nov 1994");
    EXPECT_EQ(Str(CZorTime(784111777).Format(u"%A %B")), "Sunday November");
    CNarrowString inet;
    CWideString err;
    EXPECT_TRUE(FormatInternetTime(784111777, inet, err));
    EXPECT_STREQ(inet.GetString(), "Sun, 06 Nov 1994 08:49:37 GMT");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_NE(german, "Sun Nov"); // the locale really was German
}

TEST(ZorTimeTest, PatternEdgeCases) {
    CZorTime t(1700000000);
    EXPECT_TRUE(FormatTimeWithPattern(t, (const char16_t*)nullptr).IsEmpty());
    EXPECT_TRUE(FormatTimeWithPattern(t, (const char*)nullptr).IsEmpty());
    EXPECT_TRUE(t.FormatGmt(nullptr).IsEmpty());
    // Non-ASCII literal text passes through.
    EXPECT_EQ(Str(t.FormatGmt(u"Jahr→%Y")), "Jahr→2023");
    // More than 128 characters of result gives an empty text.
    std::u16string longPat(129, u'x');
    EXPECT_TRUE(t.FormatGmt(longPat.c_str()).IsEmpty());
    std::u16string maxPat(128, u'x');
    EXPECT_EQ(t.FormatGmt(maxPat.c_str()).GetLength(), 128);
    EXPECT_TRUE(FormatLocalDateTime(0).IsEmpty());
    {
        TzScope tz("UTC");
        EXPECT_EQ(Str(FormatLocalDateTime(1700000000)), "2023-11-14 22:13");
    }
}

// ---------------------------------------------------------------- ranges and helpers
TEST(ZorTimeTest, CheckTimeInRangeBoundaries) {
    CWideString err;
    EXPECT_TRUE(CheckTimeInRange(0, err));
    EXPECT_TRUE(CheckTimeInRange(315532800, err));  // 1980-01-01 00:00:00 UTC
    EXPECT_TRUE(CheckTimeInRange(2145916799, err)); // 2037-12-31 23:59:59 UTC
    EXPECT_TRUE(err.IsEmpty());
    EXPECT_FALSE(CheckTimeInRange(315532799, err));
    EXPECT_EQ(Str(err), "time is out of range [1980-2037]: 315532799");
    err.Empty();
    EXPECT_FALSE(CheckTimeInRange(2145916800, err));
    EXPECT_FALSE(CheckTimeInRange(-5, err));
    EXPECT_EQ(ZorTimeFromUtcParts(1980, 1, 1, 0, 0, 0), 315532800);
    EXPECT_EQ(ZorTimeFromUtcParts(1969, 12, 31, 23, 59, 59), -1);
    EXPECT_EQ(ZorTimeFromUtcParts(2000, 3, 1, 0, 0, 0), 951868800);
}

TEST(ZorTimeTest, FileTimesAndDaysAgo) {
    EXPECT_EQ(TimeTFromFileTime(0), 0);
    EXPECT_EQ(TimeTFromFileTime(116444736000000000LL + 17000000000000000LL), 1700000000);
    EXPECT_EQ(TimeTFromFileTime(FileTimeFromTimeT(1234567890)), 1234567890);
    EXPECT_EQ(FileTimeFromTimeT(0), 0);

    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    EXPECT_EQ(TimeDaysAgo(3), 1700000000 - 3 * 86400);
    EXPECT_EQ(TimeDaysAgo(0), 1700000000 - 7200);
    EXPECT_EQ(TimeDaysAgo(-4), 1700000000 - 7200);
}

TEST(ZorTimeTest, ParseDateOrRelativeDays) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    int64_t t = 0;
    EXPECT_TRUE(ParseDateOrRelativeDays(u"+3d", t));
    EXPECT_EQ(t, 1700000000 + 3 * 86400);
    EXPECT_TRUE(ParseDateOrRelativeDays(u"-10d", t));
    EXPECT_EQ(t, 1700000000 - 10 * 86400);
    EXPECT_TRUE(ParseDateOrRelativeDays(u"-2", t));
    EXPECT_EQ(t, 1700000000 - 2 * 86400);
    for (const char16_t* bad :
         {u"", u"+", u"+d", u"+-3d", u"+3x", u"2024/2/30", u"2024/4/31", u"1969/12/31", u"3001/1/1",
          u"2024/13/1", u"2024/0/1", u"2024/1", u"2024/1/1x", u"abc", u"+99999999999d"}) {
        SCOPED_TRACE(Str(bad));
        t = 42;
        EXPECT_FALSE(ParseDateOrRelativeDays(bad, t));
        EXPECT_EQ(t, 42);
    }
}

TEST(ZorTimeTest, ParseSizes) {
    EXPECT_EQ(ParseSizeWithSuffix(u""), 0);
    EXPECT_EQ(ParseSizeWithSuffix(u"0"), 0);
    EXPECT_EQ(ParseSizeWithSuffix(u"12345"), 12345);
    EXPECT_EQ(ParseSizeWithSuffix(u"10K"), 10240);
    EXPECT_EQ(ParseSizeWithSuffix(u"10k"), 10240);
    EXPECT_EQ(ParseSizeWithSuffix(u"3M"), 3 * 1048576);
    EXPECT_EQ(ParseSizeWithSuffix(u"3m"), 3 * 1048576);
    EXPECT_EQ(ParseSizeWithSuffix(u"9223372036854775806"), INT64_MAX - 1);
    for (const char16_t* bad : {u"K", u"1.5K", u"-5", u" 5", u"5 ", u"5G", u"5KK", u"9223372036854775807",
                                u"99999999999999999999", u"9007199254740992K", u"8796093022208M"}) {
        SCOPED_TRACE(Str(bad));
        EXPECT_EQ(ParseSizeWithSuffix(bad), INT64_MAX);
    }

    int64_t lo = -1, hi = -1;
    CWideString err;
    EXPECT_TRUE(ParseSizeRange(u"1K,2M", lo, hi, err));
    EXPECT_EQ(lo, 1024);
    EXPECT_EQ(hi, 2097152);
    EXPECT_FALSE(ParseSizeRange(u"100", lo, hi, err));
    EXPECT_EQ(Str(err), "no comma in size range: 100");
    err.Empty();
    EXPECT_FALSE(ParseSizeRange(u"1,2,3", lo, hi, err));
    EXPECT_EQ(Str(err), "more than one comma in size range: 1,2,3");
    err.Empty();
    EXPECT_FALSE(ParseSizeRange(u"x,2", lo, hi, err));
    EXPECT_EQ(Str(err), "first size bad in range: x");
    err.Empty();
    EXPECT_FALSE(ParseSizeRange(u"1,y", lo, hi, err));
    EXPECT_EQ(Str(err), "second size bad in range: y");
}

TEST(ZorTimeTest, ParseTimeRanges) {
    ZorTestClock clock(1700000000);
    ZorClockScope scope(&clock);
    TzScope tz("UTC");
    int64_t lo = -1, hi = -1;
    CWideString err;
    EXPECT_TRUE(ParseTimeRange(u"2023/1/1,+1d", lo, hi, err));
    EXPECT_EQ(lo, 1672531200);
    EXPECT_EQ(hi, 1700000000 + 86400);
    EXPECT_FALSE(ParseTimeRange(u"2023/1/1", lo, hi, err));
    EXPECT_EQ(Str(err), "no comma in time range: 2023/1/1");
    err.Empty();
    EXPECT_FALSE(ParseTimeRange(u"+1d,+2d,+3d", lo, hi, err));
    EXPECT_EQ(Str(err), "more than one comma in time range: +1d,+2d,+3d");
    err.Empty();
    EXPECT_FALSE(ParseTimeRange(u",+2d", lo, hi, err));
    EXPECT_EQ(Str(err), "first time bad in range: ");
    err.Empty();
    EXPECT_FALSE(ParseTimeRange(u"+1d,2023/2/31", lo, hi, err));
    EXPECT_EQ(Str(err), "second time bad in range: 2023/2/31");
}

// ---------------------------------------------------------------- internet time
TEST(ZorTimeTest, InternetTimeFormatAndRoundTrip) {
    CNarrowString s;
    CWideString err;
    EXPECT_TRUE(FormatInternetTime(784111777, s, err));
    EXPECT_STREQ(s.GetString(), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_FALSE(FormatInternetTime(0, s, err));
    EXPECT_EQ(Str(err), "bad null time");

    // Local time zone must not matter.
    TzScope tz("America/New_York");
    for (int64_t t :
         {1LL, 951782400LL, 1255369830LL, 1711846800LL, 1730613599LL, 2145916799LL, 4102444800LL, -86400LL}) {
        SCOPED_TRACE(t);
        CNarrowString text;
        err.Empty();
        ASSERT_TRUE(FormatInternetTime(t, text, err));
        EXPECT_EQ(std::string(text.GetString()),
                  RunCommand("LC_ALL=C date -u -d @" + std::to_string(t) + " '+%a, %d %b %Y %H:%M:%S GMT'"));
        int64_t back = 0;
        ASSERT_TRUE(ParseInternetTime(text, back, err)) << Str(err);
        EXPECT_EQ(back, t);
        // The ISO form of the same instant.
        CNarrowString iso = CZorTime(t).FormatGmtA("%Y-%m-%dT%H:%M:%SZ");
        ASSERT_TRUE(ParseInternetTime(iso, back, err)) << iso.GetString();
        EXPECT_EQ(back, t);
    }
}

TEST(ZorTimeTest, ParseInternetTimeForms) {
    const int64_t kS3 = 1255369830; // 2009-10-12 17:50:30 UTC
    struct Case {
        const char* text;
        int64_t expected;
    } cases[] = {
        {"2009-10-12T17:50:30.000Z", kS3},
        {"2009-10-12T17:50:30Z", kS3},
        {"2009-10-12T17:50:30", kS3},
        {"2009-10-12T17:50:30.123456789Z", kS3},
        {"2009-10-12T19:50:30+02:00", kS3},
        {"2009-10-12T19:50:30.500+0200", kS3},
        {"2009-10-12T12:50:30-05:00", kS3},
        {"2009-10-12T13:50:30-04", kS3},
        {"2009-10-13T03:20:30+09:30", kS3},
        {"Mon, 12 Oct 2009 17:50:30 GMT", kS3},
        {"Mon, 12 Oct 2009 17:50:30 UTC", kS3},
        {"mon, 12 oct 2009 17:50:30 gmt", kS3},
        {"Mon, 12 Oct 2009 19:50:30 +0200", kS3},
        {"Mon, 12 Oct 2009 17:50:30", kS3},
        {"12 Oct 2009 17:50:30 GMT", kS3},
        {"2008-02-29T00:00:00Z", 1204243200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t t = 0;
        CWideString err;
        EXPECT_TRUE(ParseInternetTime(c.text, t, err)) << Str(err);
        EXPECT_EQ(t, c.expected);
    }
    for (const char* bad :
         {"", "2009", "2009-10-12", "2009-13-12T17:50:30Z", "2009-02-29T00:00:00Z", "2009-10-12T24:00:00Z",
          "2009-10-12T17:50:30.Z", "2009-10-12T17:50:30+2:00", "2009-10-12T17:50:30Zjunk",
          "Mon, 12 Oct 2009 17:50:30 EST", "Xyz, 12 Oct 2009 17:50:30 GMT", "Mon, 12 Foo 2009 17:50:30 GMT",
          "Mon, 32 Oct 2009 17:50:30 GMT", "Mon 12 Oct 2009 17:50:30 GMT", "garbage"}) {
        SCOPED_TRACE(bad);
        int64_t t = 7;
        CWideString err;
        EXPECT_FALSE(ParseInternetTime(bad, t, err));
        EXPECT_EQ(t, 7);
        EXPECT_EQ(Str(err), std::string("cannot parse inet time: ") + bad);
    }
    int64_t t;
    CWideString err;
    EXPECT_FALSE(ParseInternetTime((const char*)nullptr, t, err));
}
