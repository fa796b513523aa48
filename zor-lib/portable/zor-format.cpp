// The library's printf engine over captured, typed arguments.
#include "zor-debug.h"
#include "zor-string.h"
#include "zor-unicode.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1, prec = -1;
    int lenMod = 0; // 0 none, 1 h, 2 hh, 3 l/ll/L/I64/z/j/t
    char conv = 0;
};

template <typename T> void Pad(CStringT<T>& out, int n, T ch) {
    for (int i = 0; i < n; i++) out.AppendChar(ch);
}

// Appends narrow ASCII text to either string type.
template <typename T> void AppendAscii(CStringT<T>& out, const char* s, int n) {
    if constexpr (std::is_same_v<T, char>) {
        out.Append(s, n);
    } else {
        for (int i = 0; i < n; i++) out.AppendChar((char16_t)(unsigned char)s[i]);
    }
}

// Writes a body with width and the left flag; zero padding goes between the
// sign/prefix and the digits when zeroPad is set.
template <typename T>
void EmitPadded(CStringT<T>& out, const Spec& sp, const char* prefix, const char* body, int bodyLen,
                bool zeroPad) {
    int plen = (int)std::strlen(prefix);
    int total = plen + bodyLen;
    int pad = sp.width > total ? sp.width - total : 0;
    if (!sp.left && !zeroPad) Pad(out, pad, (T)' ');
    AppendAscii(out, prefix, plen);
    if (!sp.left && zeroPad) Pad(out, pad, (T)'0');
    AppendAscii(out, body, bodyLen);
    if (sp.left) Pad(out, pad, (T)' ');
}

template <typename T> void EmitInteger(CStringT<T>& out, const Spec& sp, const ZorFmtArg& a) {
    // Reinterpret the captured value by its own width, then by the length modifier.
    bool isSigned = (sp.conv == 'd' || sp.conv == 'i');
    // Types narrower than int are promoted to int, as through C varargs.
    int bits = a.size > 4 ? a.size * 8 : 32;
    if (sp.lenMod == 1) bits = 16;
    if (sp.lenMod == 2) bits = 8;
    uint64_t raw = a.kind == ZorFmtArg::Int ? (uint64_t)a.v.i : a.v.u;
    if (a.kind == ZorFmtArg::Pointer) raw = (uint64_t)(uintptr_t)a.v.p, bits = 64;
    if (a.kind == ZorFmtArg::Double) raw = (uint64_t)(int64_t)a.v.d, bits = 64;
    uint64_t mask = bits >= 64 ? ~0ULL : ((1ULL << bits) - 1);
    raw &= mask;
    bool neg = false;
    uint64_t mag = raw;
    if (isSigned && bits < 64 && (raw >> (bits - 1)) & 1) {
        neg = true;
        mag = ((~raw) & mask) + 1;
    } else if (isSigned && bits == 64 && (int64_t)raw < 0) {
        neg = true;
        mag = ~raw + 1;
    }
    unsigned base = 10;
    const char* dig = "0123456789abcdef";
    if (sp.conv == 'x' || sp.conv == 'p') base = 16;
    if (sp.conv == 'X') base = 16, dig = "0123456789ABCDEF";
    if (sp.conv == 'o') base = 8;
    char tmp[72];
    int nt = 0;
    uint64_t m = mag;
    while (m) {
        tmp[nt++] = dig[m % base];
        m /= base;
    }
    int prec = sp.prec;
    if (prec < 0) prec = 1;
    // '#' with 'o': the first digit is a zero.
    if (sp.conv == 'o' && sp.alt && prec <= nt) prec = nt + 1;
    // Precisions from '*' are not capped by the parser: cap them like written ones.
    if (prec > 100000) prec = 100000;
    int nd = 0;
    char small[96];
    std::string big;
    char* digits = small;
    if (prec > (int)sizeof(small)) {
        big.resize((size_t)prec);
        digits = big.data();
    }
    for (int i = nt; i < prec; i++) digits[nd++] = '0';
    for (int i = nt - 1; i >= 0; i--) digits[nd++] = tmp[i];
    const char* prefix = "";
    if (neg)
        prefix = "-";
    else if (isSigned && sp.plus)
        prefix = "+";
    else if (isSigned && sp.space)
        prefix = " ";
    if (sp.conv == 'p') prefix = "0x";
    if (sp.alt && mag != 0 && sp.conv == 'x') prefix = "0x";
    if (sp.alt && mag != 0 && sp.conv == 'X') prefix = "0X";
    bool zeroPad = sp.zero && !sp.left && sp.prec < 0;
    EmitPadded(out, sp, prefix, digits, nd, zeroPad);
}

template <typename T> void EmitDouble(CStringT<T>& out, const Spec& sp, const ZorFmtArg& a) {
    double d = 0;
    if (a.kind == ZorFmtArg::Double)
        d = a.v.d;
    else if (a.kind == ZorFmtArg::Int)
        d = (double)a.v.i;
    else if (a.kind == ZorFmtArg::UInt)
        d = (double)a.v.u;
    char fmt[32];
    int n = 0;
    fmt[n++] = '%';
    if (sp.left) fmt[n++] = '-';
    if (sp.plus) fmt[n++] = '+';
    if (sp.space) fmt[n++] = ' ';
    if (sp.alt) fmt[n++] = '#';
    if (sp.zero) fmt[n++] = '0';
    // Without a precision the C default applies (6, or exact for %a).
    n += std::snprintf(fmt + n, sizeof(fmt) - (size_t)n, sp.prec < 0 ? "*%c" : "*.*%c", sp.conv);
    int width = sp.width < 0 ? 0 : sp.width;
    auto run = [&](char* buf, size_t size) {
        return sp.prec < 0 ? std::snprintf(buf, size, fmt, width, d)
                           : std::snprintf(buf, size, fmt, width, sp.prec, d);
    };
    char buf[512];
    int len = run(buf, sizeof(buf));
    if (len < 0) return;
    if (len >= (int)sizeof(buf)) {
        // Very large values with a large precision: fall back to a heap buffer.
        std::string big((size_t)len + 1, '\0');
        run(big.data(), big.size());
        AppendAscii(out, big.data(), len);
        return;
    }
    AppendAscii(out, buf, len);
}

template <typename T> void EmitText(CStringT<T>& out, const Spec& sp, const T* s, int n) {
    if (sp.prec >= 0 && n > sp.prec) n = sp.prec;
    int pad = sp.width > n ? sp.width - n : 0;
    if (!sp.left) Pad(out, pad, (T)' ');
    out.Append(s, n);
    if (sp.left) Pad(out, pad, (T)' ');
}

template <typename T> void EmitString(CStringT<T>& out, const Spec& sp, const ZorFmtArg& a) {
    if (a.kind == ZorFmtArg::Narrow || a.kind == ZorFmtArg::Wide) {
        if (!a.v.p) {
            static const T nul[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
            EmitText(out, sp, nul, 6);
            return;
        }
    }
    if constexpr (std::is_same_v<T, char16_t>) {
        if (a.kind == ZorFmtArg::Wide) {
            const char16_t* s = (const char16_t*)a.v.p;
            EmitText(out, sp, s, a.len >= 0 ? a.len : ZorStrLen(s));
            return;
        }
        if (a.kind == ZorFmtArg::Narrow) {
            const char* s = (const char*)a.v.p;
            CWideString w = Utf8OrAnsiToWide(s, a.len >= 0 ? a.len : ZorStrLen(s));
            EmitText(out, sp, w.GetString(), w.GetLength());
            return;
        }
    } else {
        if (a.kind == ZorFmtArg::Narrow) {
            const char* s = (const char*)a.v.p;
            EmitText(out, sp, s, a.len >= 0 ? a.len : ZorStrLen(s));
            return;
        }
        if (a.kind == ZorFmtArg::Wide) {
            const char16_t* s = (const char16_t*)a.v.p;
            CNarrowString u = WideToUtf8(s, a.len >= 0 ? a.len : ZorStrLen(s));
            // Precision counts bytes here; do not cut a UTF-8 sequence in two.
            int n = u.GetLength();
            if (sp.prec >= 0 && n > sp.prec) {
                n = sp.prec;
                while (n > 0 && ((unsigned char)u[n] & 0xC0) == 0x80) n--;
            }
            Spec s2 = sp;
            s2.prec = -1;
            EmitText(out, s2, u.GetString(), n);
            return;
        }
    }
    ZorAssertFailed(__FILE__, __LINE__, 0, "printf: %s given a non-string argument");
    static const T bad[] = {'(', 'b', 'a', 'd', ')', 0};
    EmitText(out, sp, bad, 5);
}

template <typename T> void EmitChar(CStringT<T>& out, const Spec& sp, const ZorFmtArg& a) {
    uint64_t v = a.kind == ZorFmtArg::Int ? (uint64_t)a.v.i : a.v.u;
    T ch[4];
    int n = 1;
    if constexpr (std::is_same_v<T, char16_t>) {
        // A narrow character (char, signed) is a Latin-1 byte.
        if (a.kind == ZorFmtArg::Int && a.size == 1) v &= 0xFF;
        ch[0] = (char16_t)v;
    } else {
        if (a.kind == ZorFmtArg::UInt && a.size >= 2 && v > 0x7F) {
            char16_t w = (char16_t)v;
            CNarrowString u = WideToUtf8(&w, 1);
            n = u.GetLength() > 3 ? 3 : u.GetLength();
            for (int i = 0; i < n; i++) ch[i] = u[i];
        } else {
            ch[0] = (char)v;
        }
    }
    Spec s2 = sp;
    s2.prec = -1;
    EmitText(out, s2, ch, n);
}

} // namespace

template <typename T>
static void FormatInto(CStringT<T>& out, const T* fmt, const ZorFmtArg* args, int nArgs) {
    int next = 0;
    auto take = [&](ZorFmtArg& a) -> bool {
        if (next >= nArgs) {
            ZorAssertFailed(__FILE__, __LINE__, 0, "printf: too few arguments");
            return false;
        }
        a = args[next++];
        return true;
    };
    const T* p = fmt;
    while (*p) {
        const T* run = p;
        while (*p && *p != '%') p++;
        if (p > run) out.Append(run, (int)(p - run));
        if (!*p) break;
        const T* start = p++;
        if (*p == '%') {
            out.AppendChar('%');
            p++;
            continue;
        }
        Spec sp;
        for (;; p++) {
            if (*p == '-')
                sp.left = true;
            else if (*p == '+')
                sp.plus = true;
            else if (*p == ' ')
                sp.space = true;
            else if (*p == '#')
                sp.alt = true;
            else if (*p == '0')
                sp.zero = true;
            else
                break;
        }
        if (*p == '*') {
            ZorFmtArg a;
            if (take(a)) {
                int64_t w = a.kind == ZorFmtArg::Int ? a.v.i : (int64_t)a.v.u;
                if (w < 0) sp.left = true, w = -w;
                if (w > 100000 || w < 0) w = 100000;
                sp.width = (int)w;
            }
            p++;
        } else {
            while (*p >= '0' && *p <= '9') {
                sp.width = (sp.width < 0 ? 0 : sp.width) * 10 + (*p - '0');
                if (sp.width > 100000) sp.width = 100000;
                p++;
            }
        }
        if (*p == '.') {
            p++;
            sp.prec = 0;
            if (*p == '*') {
                ZorFmtArg a;
                if (take(a)) {
                    int pr = (int)(a.kind == ZorFmtArg::Int ? a.v.i : (int64_t)a.v.u);
                    sp.prec = pr < 0 ? -1 : pr;
                }
                p++;
            } else {
                while (*p >= '0' && *p <= '9') {
                    sp.prec = sp.prec * 10 + (*p - '0');
                    if (sp.prec > 100000) sp.prec = 100000;
                    p++;
                }
            }
        }
        // Length modifiers: sizes come from the typed argument, except h/hh.
        for (;;) {
            if (*p == 'h') {
                sp.lenMod = sp.lenMod == 1 ? 2 : 1;
                p++;
            } else if (*p == 'l' || *p == 'L' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'q') {
                sp.lenMod = 3;
                p++;
            } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
                sp.lenMod = 3;
                p += 3;
            } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
                p += 3;
            } else if (*p == 'w') {
                p++;
            } else {
                break;
            }
        }
        T c = *p;
        if (!c) {
            out.Append(start, (int)(p - start));
            break;
        }
        p++;
        sp.conv = (char)c;
        ZorFmtArg a;
        switch (c) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                if (take(a)) EmitInteger(out, sp, a);
                break;
            case 'p':
                if (take(a)) EmitInteger(out, sp, a);
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (take(a)) EmitDouble(out, sp, a);
                break;
            case 's':
            case 'S':
                if (take(a)) EmitString(out, sp, a);
                break;
            case 'c':
            case 'C':
                if (take(a)) EmitChar(out, sp, a);
                break;
            default:
                // Unknown conversion: keep the text as written.
                out.Append(start, (int)(p - start));
                break;
        }
    }
}

template <typename T> void ZorFormatArgs(CStringT<T>& out, const T* fmt, const ZorFmtArg* args, int nArgs) {
    if (!fmt) return;
    // Built aside: the format or an argument may live in out's own buffer,
    // which appending could move.
    CStringT<T> res;
    FormatInto(res, fmt, args, nArgs);
    if (out.IsEmpty() && out.Data()->nRefs.load(std::memory_order_relaxed) > 0)
        out = std::move(res); // nothing to keep: take the buffer as it is
    else
        out.Append(res);
}

template void ZorFormatArgs<char>(CStringT<char>&, const char*, const ZorFmtArg*, int);
template void ZorFormatArgs<char16_t>(CStringT<char16_t>&, const char16_t*, const ZorFmtArg*, int);
