// The proxy auto-config evaluator and its functions.
#include "zor-pac.h"

#include "zor-log.h"
#include "zor-script-host.h"
#include "zor-time.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ------------------------------------------------------------ ShExpMatch

namespace {

enum TokKind : uint8_t { kTokChar, kTokStar, kTokOne, kTokDotOrEnd, kTokOptNonDot, kTokNonDot };

struct Tok {
    TokKind kind;
    char ch;
};

constexpr size_t kMaxPatternTokens = 2082;
constexpr size_t kMaxTextLength = 2084;

bool CompilePattern(const char* p, std::vector<Tok>& toks) {
    for (; *p; ++p) {
        if (toks.size() >= kMaxPatternTokens) return false;
        switch (*p) {
        case '*':
            toks.push_back({kTokStar, 0});
            break;
        case '?':
            toks.push_back({kTokOne, 0});
            break;
        case '^':
            ++p;
            if (*p == '.') toks.push_back({kTokDotOrEnd, 0});
            else if (*p == '?') toks.push_back({kTokOptNonDot, 0});
            else if (*p == '*') toks.push_back({kTokNonDot, 0});
            else return false;
            break;
        default:
            toks.push_back({kTokChar, *p});
        }
    }
    return true;
}

} // namespace

bool ShExpMatch(const char* text, const char* pattern) {
    if (!text || !pattern) return false;
    const size_t n = strlen(text);
    if (n >= kMaxTextLength) return false;
    std::vector<Tok> toks;
    if (!CompilePattern(pattern, toks)) return false;
    // next[i]: the rest of the tokens matches text[i..]; computed from the
    // last token back (no exponential backtracking on many '*').
    std::vector<char> next(n + 1, 0), cur(n + 1, 0);
    next[n] = 1;
    for (size_t j = toks.size(); j-- > 0;) {
        const Tok& t = toks[j];
        for (size_t i = n + 1; i-- > 0;) {
            const bool more = i < n;
            const char c = more ? text[i] : 0;
            bool m = false;
            switch (t.kind) {
            case kTokStar:
                m = next[i] || (more && cur[i + 1]);
                break;
            case kTokOne:
                m = more && next[i + 1];
                break;
            case kTokDotOrEnd:
                m = more ? (c == '.' && next[i + 1]) : next[n];
                break;
            case kTokOptNonDot:
                m = next[i] || (more && c != '.' && next[i + 1]);
                break;
            case kTokNonDot:
                m = more && c != '.' && next[i + 1];
                break;
            case kTokChar:
                m = more && c == t.ch && next[i + 1];
                break;
            }
            cur[i] = m ? 1 : 0;
        }
        next.swap(cur);
    }
    return next[0] != 0;
}

// ------------------------------------------------------------ ResolveHostName

int ResolveHostName(const char* host, char* buffer, uint32_t& nSize) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc == 0) {
        freeaddrinfo(res);
        const uint32_t need = (uint32_t)strlen(host) + 1;
        if (need > nSize) {
            nSize = need;
            return 122;
        }
        memcpy(buffer, host, need);
        return 0;
    }
    if (rc == EAI_MEMORY) return 8;
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return 12007;
    int out = 12007;
    for (addrinfo* a = res; a; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char tmp[NI_MAXHOST];
        if (getnameinfo(a->ai_addr, a->ai_addrlen, tmp, sizeof(tmp), nullptr, 0, NI_NUMERICHOST) == 0) {
            const uint32_t need = (uint32_t)strlen(tmp) + 1;
            if (need > nSize) {
                nSize = need;
                out = 122;
            } else {
                memcpy(buffer, tmp, need);
                out = 0;
            }
        }
        break;
    }
    freeaddrinfo(res);
    return out;
}

// ------------------------------------------------------------ the functions

namespace {

using Args = std::vector<CNarrowString>;

// The resolver runs on a thread of its own, so that the script's time limit
// covers it: a lookup still running when the limit ends is left behind.
bool Resolve(const CNarrowString& host, CNarrowString& dotted) {
    struct Lookup {
        std::mutex lock;
        std::condition_variable done;
        bool bDone = false;
        int rc = 12007;
        char buf[254];
    };
    auto l = std::make_shared<Lookup>();
    std::string name(host.GetString(), (size_t)host.GetLength());
    std::thread([l, name] {
        uint32_t n = sizeof(l->buf);
        char buf[254];
        int rc = ResolveHostName(name.c_str(), buf, n);
        std::lock_guard<std::mutex> g(l->lock);
        memcpy(l->buf, buf, sizeof(buf));
        l->rc = rc;
        l->bDone = true;
        l->done.notify_all();
    }).detach();
    const int64_t left = ZorScriptTimeLeftMs();
    std::unique_lock<std::mutex> g(l->lock);
    if (left < 0) l->done.wait(g, [&] { return l->bDone; });
    else if (!l->done.wait_for(g, std::chrono::milliseconds(left), [&] { return l->bDone; })) return false;
    if (l->rc != 0) return false;
    dotted = l->buf;
    return true;
}

bool ParseIPv4(const CNarrowString& s, uint32_t& v) {
    in_addr a{};
    if (inet_pton(AF_INET, s.GetString(), &a) != 1) return false;
    v = ntohl(a.s_addr);
    return true;
}

bool EndsWith(const CNarrowString& s, const CNarrowString& suffix) {
    return s.GetLength() >= suffix.GetLength() &&
           memcmp(s.GetString() + s.GetLength() - suffix.GetLength(), suffix.GetString(), suffix.GetLength()) == 0;
}

// The clock's time broken down, in UTC or local time.
tm NowParts(bool bGmt) {
    int64_t sec = 0;
    int ms = 0;
    ZorGetClock().Now(sec, ms);
    const time_t t = (time_t)sec;
    tm parts{};
    if (bGmt) gmtime_r(&t, &parts);
    else localtime_r(&t, &parts);
    return parts;
}

bool IsGmt(const CNarrowString& s) {
    return strcasecmp(s.GetString(), "GMT") == 0;
}

const char* const kDays[7] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

int DayIndex(const CNarrowString& s) {
    for (int i = 0; i < 7; ++i)
        if (s == kDays[i]) return i;
    return -1;
}

// Inclusive range test; a range whose start lies after its end wraps round.
bool InRange(long v, long lo, long hi) {
    return lo <= hi ? (v >= lo && v <= hi) : (v >= lo || v <= hi);
}

bool ParseNumber(const CNarrowString& s, long& v) {
    if (s.IsEmpty()) return false;
    char* end = nullptr;
    v = strtol(s.GetString(), &end, 10);
    return end && *end == 0;
}

bool WeekdayRange(const Args& a) {
    if (a.empty() || a.size() > 3) return false;
    const bool bGmt = a.size() == 3 || (a.size() == 2 && (a[1].Left(1) == "G" || a[1].Left(1) == "g"));
    const int today = NowParts(bGmt).tm_wday;
    const int d1 = DayIndex(a[0]);
    const bool bTwoDays = a.size() == 3 || (a.size() == 2 && !bGmt);
    if (!bTwoDays) return d1 == today;
    const int d2 = DayIndex(a[1]);
    if (d1 < 0 || d2 < 0) return false;
    return InRange(today, d1, d2);
}

// One argument of dateRange: a month name, a day (1-31) or a year.
struct DatePart {
    enum Kind { kDay, kMonth, kYear } kind;
    long v;
};

bool ParseDatePart(const CNarrowString& s, DatePart& p) {
    for (int i = 0; i < 12; ++i)
        if (strcasecmp(s.GetString(), kMonths[i]) == 0) {
            p = {DatePart::kMonth, i};
            return true;
        }
    long v = 0;
    if (!ParseNumber(s, v) || v < 1) return false;
    p = {v > 31 ? DatePart::kYear : DatePart::kDay, v};
    return true;
}

bool DateRange(Args a) {
    bool bGmt = false;
    if (!a.empty() && IsGmt(a.back())) {
        bGmt = true;
        a.pop_back();
    }
    std::vector<DatePart> p(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (!ParseDatePart(a[i], p[i])) return false;
    const tm now = NowParts(bGmt);
    const long day = now.tm_mday, month = now.tm_mon, year = now.tm_year + 1900L;
    auto value = [&](DatePart::Kind k) { return k == DatePart::kDay ? day : k == DatePart::kMonth ? month : year; };
    using K = DatePart::Kind;
    switch (p.size()) {
    case 1:
        return value(p[0].kind) == p[0].v;
    case 2:
        if (p[0].kind != p[1].kind) return false;
        if (p[0].kind == K::kYear) return year >= p[0].v && year <= p[1].v;
        return InRange(value(p[0].kind), p[0].v, p[1].v);
    case 4:
        if (p[0].kind == K::kDay && p[1].kind == K::kMonth && p[2].kind == K::kDay && p[3].kind == K::kMonth)
            return InRange(month * 100 + day, p[1].v * 100 + p[0].v, p[3].v * 100 + p[2].v);
        if (p[0].kind == K::kMonth && p[1].kind == K::kYear && p[2].kind == K::kMonth && p[3].kind == K::kYear) {
            const long v = year * 12 + month;
            return v >= p[1].v * 12 + p[0].v && v <= p[3].v * 12 + p[2].v;
        }
        return false;
    case 6:
        if (p[0].kind == K::kDay && p[1].kind == K::kMonth && p[2].kind == K::kYear && p[3].kind == K::kDay &&
            p[4].kind == K::kMonth && p[5].kind == K::kYear) {
            const long v = (year * 12 + month) * 32 + day;
            return v >= (p[2].v * 12 + p[1].v) * 32 + p[0].v && v <= (p[5].v * 12 + p[4].v) * 32 + p[3].v;
        }
        return false;
    default:
        return false;
    }
}

bool TimeRange(Args a) {
    bool bGmt = false;
    if (!a.empty() && IsGmt(a.back())) {
        bGmt = true;
        a.pop_back();
    }
    std::vector<long> v(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (!ParseNumber(a[i], v[i]) || v[i] < 0) return false;
    const tm now = NowParts(bGmt);
    const long h = now.tm_hour, secOfDay = (now.tm_hour * 60L + now.tm_min) * 60 + now.tm_sec;
    // Ranges end before their end hour or minute and include their end second.
    auto within = [](long x, long lo, long hiExcl) { return lo <= hiExcl ? (x >= lo && x < hiExcl) : (x >= lo || x < hiExcl); };
    switch (v.size()) {
    case 1:
        return h == v[0];
    case 2:
        return v[0] == v[1] ? h == v[0] : within(h, v[0], v[1]);
    case 4:
        return within(secOfDay / 60, v[0] * 60 + v[1], v[2] * 60 + v[3]);
    case 6:
        return InRange(secOfDay, (v[0] * 60 + v[1]) * 60 + v[2], (v[3] * 60 + v[4]) * 60 + v[5]);
    default:
        return false;
    }
}

struct PacFunction {
    const char* name;
    int nMin, nMax; // argument counts; nMax -1 any
    bool (*fn)(const Args& a, ZorScriptValue& r);
};

ZorScriptValue AddressOrFalse(const CNarrowString& host) {
    CNarrowString d;
    return Resolve(host, d) ? ZorScriptValue::String(d) : ZorScriptValue::Bool(false);
}

const PacFunction kPacFunctions[13] = {
    {"isPlainHostName", 1, 1,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(a[0].Find('.') < 0);
         return true;
     }},
    {"dnsDomainIs", 2, 2,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(EndsWith(a[0], a[1]));
         return true;
     }},
    {"localHostOrDomainIs", 2, 2,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(a[0] == a[1] || a[1].Left(a[0].GetLength() + 1) == a[0] + ".");
         return true;
     }},
    {"isResolvable", 1, 1,
     [](const Args& a, ZorScriptValue& r) {
         CNarrowString d;
         r = ZorScriptValue::Bool(Resolve(a[0], d));
         return true;
     }},
    {"isInNet", 3, 3,
     [](const Args& a, ZorScriptValue& r) {
         CNarrowString d;
         uint32_t addr = 0, pat = 0, mask = 0;
         r = ZorScriptValue::Bool(Resolve(a[0], d) && ParseIPv4(d, addr) && ParseIPv4(a[1], pat) &&
                                  ParseIPv4(a[2], mask) && (addr & mask) == (pat & mask));
         return true;
     }},
    {"dnsResolve", 1, 1,
     [](const Args& a, ZorScriptValue& r) {
         r = AddressOrFalse(a[0]);
         return true;
     }},
    {"myIpAddress", 0, 0,
     [](const Args&, ZorScriptValue& r) {
         char name[255] = {};
         r = gethostname(name, 254) == 0 ? AddressOrFalse(name) : ZorScriptValue::Bool(false);
         return true;
     }},
    {"dnsDomainLevels", 1, 1,
     [](const Args& a, ZorScriptValue& r) {
         int n = 0;
         for (int i = 0; i < a[0].GetLength(); ++i) n += a[0][i] == '.';
         r = ZorScriptValue::Int(n);
         return true;
     }},
    {"shExpMatch", 2, 2,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(ShExpMatch(a[0].GetString(), a[1].GetString()));
         return true;
     }},
    {"weekdayRange", 1, 3,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(WeekdayRange(a));
         return true;
     }},
    {"dateRange", 0, -1,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(DateRange(a));
         return true;
     }},
    {"timeRange", 0, -1,
     [](const Args& a, ZorScriptValue& r) {
         r = ZorScriptValue::Bool(TimeRange(a));
         return true;
     }},
    {"alert", 1, 1,
     [](const Args& a, ZorScriptValue& r) {
         ZorGetProgramLog().Printf("auto-proxy script alert: %s\n", a[0]);
         r = ZorScriptValue::Bool(true);
         return true;
     }},
};

} // namespace

// ------------------------------------------------------------ CJSProxy

CJSProxy::CJSProxy() = default;

CJSProxy::~CJSProxy() {
    Release();
}

void CJSProxy::Release() {
    m_pHost.reset();
    m_bInitialized = false;
}

bool CJSProxy::Init(const CNarrowString& script, CWideString& err) {
    Release();
    m_pHost = std::make_unique<ZorScriptHost>();
    CWideString e;
    bool ok = m_pHost->Create(e);
    for (const PacFunction& f : kPacFunctions) {
        if (!ok) break;
        const PacFunction* pf = &f;
        ok = m_pHost->AddFunction(
            f.name, ZorScriptHost::kAnyArgs,
            [pf](const Args& a, ZorScriptValue& r, CNarrowString& fnErr) {
                if ((int)a.size() < pf->nMin || (pf->nMax >= 0 && (int)a.size() > pf->nMax)) {
                    fnErr.Format("%s: wrong number of arguments", pf->name);
                    return false;
                }
                return pf->fn(a, r);
            },
            e);
    }
    if (ok) ok = m_pHost->Evaluate(script, e);
    if (ok && !m_pHost->HasFunction("FindProxyForURL")) {
        err += u"cannot init: err=80020006: FindProxyForURL is not defined";
        Release();
        return false;
    }
    if (!ok) {
        err += u"cannot init: err=80004005: " + e;
        Release();
        return false;
    }
    m_bInitialized = true;
    return true;
}

bool CJSProxy::Compute(const CNarrowString& host, const CNarrowString& url, CNarrowString& result,
                       CWideString& err) {
    if (!m_bInitialized) {
        err += u"not initialized";
        return false;
    }
    CWideString e;
    if (!m_pHost->Call("FindProxyForURL", {url, host}, result, e)) {
        err += u"cannot translate: err=80004005: " + e;
        return false;
    }
    return true;
}
