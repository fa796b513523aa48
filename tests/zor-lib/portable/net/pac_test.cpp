// The proxy auto-config evaluator: the wildcard match, the functions scripts
// call (against pacparser on a generated table), the clock-driven ranges,
// and the time and memory limits of a script.
#include "zor-pac.h"
#include "zor-script-host.h"
#include "zor-time.h"
#include "zor-unicode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "net-test-util.h"

namespace {

std::string U8(const CWideString& s) {
    return std::string(WideToUtf8(s).GetString());
}

// Runs a script's FindProxyForURL; the result, or "ERR:" and the error.
std::string RunPac(const std::string& script, const std::string& url = "http://h/", const std::string& host = "h") {
    CJSProxy js;
    CWideString err;
    if (!js.Init(CNarrowString(script.c_str()), err)) return "ERR:" + U8(err);
    CNarrowString out;
    if (!js.Compute(CNarrowString(host.c_str()), CNarrowString(url.c_str()), out, err)) return "ERR:" + U8(err);
    return out.GetString();
}

std::string Expr(const std::string& e) {
    return RunPac("function FindProxyForURL(url, host) { return String(" + e + "); }");
}

} // namespace

TEST(PacTest, ShExpMatch) {
    const std::string longText(2084, 'a');
    std::string longPattern(2082, '?');
    struct Case {
        std::string text, pattern;
        bool match;
    } cases[] = {
        {"www.example.com", "*.example.com", true},
        {"example.com", "*.example.com", false},
        {"a.b", "a^.b", true},
        {"http://home.netscape.com/people/ari/index.html", "*/ari/*", true},
        {"http://home.netscape.com/people/montulli/index.html", "*/ari/*", false},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"ABC", "abc", false},
        {"", "*", true},
        {"", "", true},
        {"a", "", false},
        {"a", "a^.", true},       // end of the text
        {"ab", "a^.", false},
        {"ab", "a^?b", true},     // optional character absent
        {"axb", "a^?b", true},    // present
        {"a.b", "a^?b", false},   // but never a '.'
        {"axb", "a^*b", true},
        {"ab", "a^*b", false},
        {"a.b", "a^*b", false},
        {"a^b", "a^b", false},    // a caret before anything else spoils the pattern
        {"ab", "ab^", false},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*a*a*a*c", false},
        {std::string(2083, 'a'), "*", true},
        {longText, "*", false},
        {std::string(2082, 'b'), longPattern, true},
        {std::string(2083, 'b'), longPattern + "?", false}, // 2083 tokens
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShExpMatch(c.text.c_str(), c.pattern.c_str()), c.match) << c.text.substr(0, 40) << " ~ " << c.pattern.substr(0, 40);
}

TEST(PacTest, NetscapeExamples) {
    struct Case {
        const char* expr;
        const char* result;
    } cases[] = {
        {"isPlainHostName('www')", "true"},
        {"isPlainHostName('www.netscape.com')", "false"},
        {"dnsDomainIs('www.netscape.com', '.netscape.com')", "true"},
        {"dnsDomainIs('www', '.netscape.com')", "false"},
        {"dnsDomainIs('www.mcom.com', '.netscape.com')", "false"},
        {"dnsDomainIs('www.example.com', 'example')", "false"},
        {"dnsDomainIs('www.example.com.evil.net', '.example.com')", "false"},
        {"localHostOrDomainIs('www.netscape.com', 'www.netscape.com')", "true"},
        {"localHostOrDomainIs('www', 'www.netscape.com')", "true"},
        {"localHostOrDomainIs('www.mcom.com', 'www.netscape.com')", "false"},
        {"localHostOrDomainIs('home.netscape.com', 'www.netscape.com')", "false"},
        {"localHostOrDomainIs('ww', 'www.netscape.com')", "false"},
        {"isResolvable('127.0.0.1')", "true"},
        {"isInNet('198.95.249.79', '198.95.249.79', '255.255.255.255')", "true"},
        {"isInNet('198.95.6.8', '198.95.0.0', '255.255.0.0')", "true"},
        {"isInNet('198.96.6.8', '198.95.0.0', '255.255.0.0')", "false"},
        {"isInNet('10.1.2.3', '10.1.2.200', '255.255.255.0')", "true"}, // both sides masked
        {"isInNet('10.1.2.3', 'x', '255.0.0.0')", "false"},
        {"dnsResolve('localhost')", "127.0.0.1"},
        {"dnsResolve('10.2.3.4')", "10.2.3.4"},
        {"dnsDomainLevels('www')", "0"},
        {"dnsDomainLevels('www.netscape.com')", "2"},
        {"typeof myIpAddress()", "string"},
        {"shExpMatch('http://home.netscape.com/people/ari/index.html', '*/ari/*')", "true"},
        {"alert('from the script')", "true"},
        {"typeof ActiveXObject + typeof require", "undefinedundefined"},
    };
    for (const Case& c : cases) EXPECT_EQ(Expr(c.expr), c.result) << c.expr;
    EXPECT_NE(Expr("isPlainHostName()").find("wrong number of arguments"), std::string::npos);
}

TEST(PacTest, SameResultsAsPacparser) {
    if (system("/usr/bin/python3 -c 'import pacparser' 2>/dev/null") != 0) GTEST_SKIP() << "no pacparser";
    const char* hosts[] = {"127.0.0.1", "10.0.0.1", "10.20.30.40", "192.168.1.200", "localhost", "172.16.5.4"};
    const char* domains[] = {".0.1", "0.1", "127.0.0.1", ".1", "localhost", "host", ".20.30.40", "", "10.0"};
    const char* nets[][2] = {{"127.0.0.0", "255.0.0.0"},   {"10.0.0.0", "255.255.0.0"}, {"10.20.0.0", "255.255.0.0"},
                             {"192.168.1.0", "255.255.255.128"}, {"0.0.0.0", "0.0.0.0"}, {"172.16.5.4", "255.255.255.255"}};
    std::vector<std::string> exprs;
    uint32_t seed = 12345;
    auto rnd = [&](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (const char* h : hosts) {
        const std::string q = std::string("'") + h + "'";
        exprs.push_back("isPlainHostName(" + q + ")");
        exprs.push_back("isResolvable(" + q + ")");
        exprs.push_back("dnsResolve(" + q + ")");
        exprs.push_back("dnsDomainLevels(" + q + ")");
        for (const char* d : domains) {
            exprs.push_back("dnsDomainIs(" + q + ", '" + d + "')");
            exprs.push_back("localHostOrDomainIs(" + q + ", '" + d + "')");
            exprs.push_back("localHostOrDomainIs('" + std::string(d) + "', " + q + ")");
        }
        for (auto& n : nets) exprs.push_back("isInNet(" + q + ", '" + n[0] + "', '" + n[1] + "')");
        for (int i = 0; i < 40; ++i) {
            // patterns from '*', '?' and characters of the hosts
            const char alphabet[] = "**??..0127loca";
            std::string p;
            const uint32_t len = rnd(7);
            for (uint32_t k = 0; k < len; ++k) p += alphabet[rnd(sizeof(alphabet) - 1)];
            exprs.push_back("shExpMatch(" + q + ", '" + p + "')");
        }
    }
    std::string script = "function FindProxyForURL(url, host) {\n var r = [];\n";
    for (const std::string& e : exprs) script += " r.push(String(" + e + "));\n";
    script += " return r.join('|');\n}\n";
    ntest::TempDir dir;
    const std::string file = dir.Path() + "/table.pac";
    ntest::WriteFile(file, script);
    const std::string out = dir.Path() + "/pacparser.out";
    ASSERT_TRUE(ntest::Shell("/usr/bin/python3 -c \"import pacparser,sys; pacparser.init(); "
                             "pacparser.parse_pac_file(sys.argv[1]); "
                             "sys.stdout.write(pacparser.find_proxy('http://h/', 'h'))\" '" + file + "' > '" + out + "'"));
    const std::string theirs = ntest::ReadFile(out);
    const std::string ours = RunPac(script);
    ASSERT_EQ(ours.substr(0, 4), theirs.substr(0, 4)) << ours.substr(0, 200);
    // compare case by case so that a difference names its expression
    size_t a = 0, b = 0;
    for (const std::string& e : exprs) {
        const size_t ea = ours.find('|', a), eb = theirs.find('|', b);
        EXPECT_EQ(ours.substr(a, ea - a), theirs.substr(b, eb - b)) << e;
        a = ea == std::string::npos ? ea : ea + 1;
        b = eb == std::string::npos ? eb : eb + 1;
        if (a == std::string::npos || b == std::string::npos) break;
    }
    EXPECT_GT(exprs.size(), 300u);
}

TEST(PacTest, RangesFollowTheClock) {
    const char* oldTz = getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    ZorTestClock clock;
    ZorClockScope scope(&clock);
    struct Case {
        int64_t when; // UTC seconds
        const char* expr;
        bool result;
    } cases[] = {
        // 2025-12-31 Wednesday 23:30, 2026-01-04 Sunday 12:00, 2026-01-05 Monday 00:00:10
        {1767223800, "weekdayRange('MON', 'FRI')", true},
        {1767528000, "weekdayRange('MON', 'FRI')", false},
        {1767528000, "weekdayRange('SAT', 'MON')", true},
        {1767571210, "weekdayRange('SAT', 'MON')", true},
        {1767223800, "weekdayRange('SAT', 'MON')", false},
        {1767223800, "weekdayRange('WED')", true},
        {1767223800, "weekdayRange('wed')", false},
        {1767223800, "weekdayRange('WED', 'GMT')", true},
        {1767223800, "weekdayRange('MON', 'XYZ')", false},
        {1767223800, "dateRange(31)", true},
        {1767223800, "dateRange('DEC')", true},
        {1767223800, "dateRange(2025)", true},
        {1767223800, "dateRange(2026)", false},
        {1767223800, "dateRange('NOV', 'FEB')", true},   // across the year end
        {1767528000, "dateRange('NOV', 'FEB')", true},
        {1767528000, "dateRange('MAR', 'OCT')", false},
        {1767223800, "dateRange(30, 'DEC', 2, 'JAN')", true},
        {1767528000, "dateRange(30, 'DEC', 2, 'JAN')", false},
        {1767528000, "dateRange('DEC', 2025, 'JAN', 2026)", true},
        {1767528000, "dateRange('DEC', 2025, 'DEC', 2025)", false},
        {1767528000, "dateRange(1, 'JAN', 2026, 4, 'JAN', 2026, 'GMT')", true},
        {1767528000, "dateRange(1, 'DEC', 2025, 3, 'JAN', 2026)", false},
        {1767223800, "dateRange(28, 3)", true},
        {1767223800, "timeRange(23)", true},
        {1767223800, "timeRange(22, 2)", true},          // across midnight
        {1767528000, "timeRange(22, 2)", false},
        {1767528000, "timeRange(9, 17)", true},
        {1767528000, "timeRange(11, 59, 12, 0)", false},  // ends before its end minute
        {1767528000, "timeRange(12, 0, 12, 1, 'GMT')", true},
        {1767571210, "timeRange(0, 0, 0, 0, 0, 30)", true},
        {1767571210, "timeRange(0, 0, 0, 0, 0, 9)", false},
        {1767571210, "timeRange('x')", false},
    };
    for (const Case& c : cases) {
        clock.SetNow(c.when);
        EXPECT_EQ(Expr(c.expr), c.result ? "true" : "false") << c.expr << " at " << c.when;
    }
    if (oldTz) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST(PacTest, ScriptsEndInTimeAndInMemory) {
    const int64_t oldLimit = ZorScriptGetTimeLimitMs();
    ZorScriptSetTimeLimitMs(400);
    struct Case {
        const char* script;
        const char* expect; // in the error text
    } cases[] = {
        {"while (true) {}", "cannot init: err=80004005: RangeError"},
        {"function FindProxyForURL(u, h) { for (;;) {} }", "cannot translate: err=80004005: RangeError"},
        {"function FindProxyForURL(u, h) { var a = []; for (;;) a.push('x'.repeat(4096) + a.length); }",
         "cannot translate: err=80004005: "},
        {"var s = 'x'; for (;;) s = s + s;", "cannot init: err=80004005: Error: alloc failed"},
        // a catastrophic regular expression runs inside one instruction, and a
        // script's catch does not stop the limit
        {"for (var i = 0; i < 3; i++) { try { /(a+)+b/.test('aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'); } catch (e) {} }\n"
         "function FindProxyForURL(u, h) { return 'DIRECT'; }",
         "cannot init: err=80004005: RangeError: execution timeout"},
        {"function FindProxyForURL(u, h) { for (var i = 0; i < 3; i++) { try { /(x+x+)+y/.exec('xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'); } "
         "catch (e) {} } return 'DIRECT'; }",
         "cannot translate: err=80004005: RangeError: execution timeout"},
        {"function FindProxyForURL(u, h) { return h + ; }", "cannot init: err=80004005: SyntaxError"},
        {"var x = 1;", "cannot init: err=80020006"},
        {"function FindProxyForURL(u, h) { throw new Error('no proxy here'); }",
         "cannot translate: err=80004005: Error: no proxy here"},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const std::string r = RunPac(c.script);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_NE(r.find(c.expect), std::string::npos) << c.script << " -> " << r;
        EXPECT_LT(ms, 3000) << c.script;
    }
    // the limit covers the host's functions: a script that spends its time in them ends too
    {
        ZorScriptHost host;
        CWideString err;
        ASSERT_TRUE(host.Create(err));
        auto slow = [](const std::vector<CNarrowString>&, ZorScriptValue& r, CNarrowString&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            r = ZorScriptValue::Bool(true);
            return true;
        };
        ASSERT_TRUE(host.AddFunction("slow", 0, slow, err));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(host.Evaluate("for (var i = 0; i < 100; i++) slow();", err));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
        EXPECT_NE(WideToUtf8(err).Find("RangeError"), -1) << err;
    }
    // after all that, scripts still run; results of any type come back as text
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return 'PROXY ' + h + ':1; DIRECT'; }", "http://x/", "x"),
              "PROXY x:1; DIRECT");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return 42; }"), "42");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { }"), "");
    EXPECT_EQ(RunPac("function FindProxyForURL(u, h) { return u; }", "http://a/b?c"), "http://a/b?c");
    ZorScriptSetTimeLimitMs(oldLimit);
}
