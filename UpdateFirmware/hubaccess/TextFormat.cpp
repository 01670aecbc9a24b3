// Type-safe printf-style formatter for the system's wide texts (see
// TextFormat.h for the rules).
#include "hubaccess/TextFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace textfmt {
namespace {

// Appends to the output while the character budget lasts.
class Writer {
public:
    Writer(std::wstring& out, std::size_t maxChars) : out_(out), left_(maxChars) {}

    bool Full() const { return left_ == 0; }

    void Put(wchar_t c) {
        if (left_ == 0) return;
        out_.push_back(c);
        --left_;
    }
    void Fill(std::size_t n, wchar_t c) {
        n = std::min(n, left_);
        out_.append(n, c);
        left_ -= n;
    }
    void Put(const wchar_t* s, std::size_t n) {
        n = std::min(n, left_);
        out_.append(s, n);
        left_ -= n;
    }
    // Narrow characters are widened byte by byte (Latin-1).
    void PutNarrow(const char* s, std::size_t n) {
        n = std::min(n, left_);
        for (std::size_t k = 0; k < n; ++k)
            out_.push_back(static_cast<wchar_t>(static_cast<unsigned char>(s[k])));
        left_ -= n;
    }

private:
    std::wstring& out_;
    std::size_t left_;
};

enum class Length { None, hh, h, l, ll, j, z, t, L, I, I32, I64 };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // -1: none given
    bool widthFromArg = false;
    bool precisionFromArg = false;
    Length length = Length::None;
    wchar_t conversion = 0;
    // The directive as written, from '%' up to and including the conversion.
    const wchar_t* begin = nullptr;
    const wchar_t* end = nullptr;
};

bool IsInteger(const Arg& a) {
    return a.kind == Arg::Kind::Signed || a.kind == Arg::Kind::Unsigned;
}

// The argument's bits as an unsigned 64-bit value (two's complement).
std::uint64_t RawBits(const Arg& a) {
    return a.kind == Arg::Kind::Signed ? static_cast<std::uint64_t>(a.i) : a.u;
}

int IntegerBits(Length length, const Arg& a) {
    switch (length) {
        case Length::hh: return 8;
        case Length::h: return 16;
        case Length::ll:
        case Length::I64:
        case Length::j: return 64;
        case Length::I32: return 32;
        default: return a.bits == 64 ? 64 : 32;
    }
}

std::uint64_t Mask(int bits) {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

void PutMarker(Writer& w, const wchar_t* what, const Spec& s) {
    w.Put(L'<');
    for (const wchar_t* p = what; *p; ++p) w.Put(*p);
    w.Put(L' ');
    w.Put(s.begin, static_cast<std::size_t>(s.end - s.begin));
    w.Put(L" arg>", 5);
}

// Writes [prefix][zeros][body] padded to the field width: with spaces on the
// right when left-justified, otherwise with zeros (zeroPad) or spaces before.
template <class Body>
void PutField(Writer& w, const Spec& s, const char* prefix, std::size_t zeros, bool zeroPad,
              std::size_t bodyLen, Body&& putBody) {
    const std::size_t prefixLen = std::strlen(prefix);
    const std::size_t used = prefixLen + zeros + bodyLen;
    const std::size_t pad =
        static_cast<std::size_t>(s.width) > used ? static_cast<std::size_t>(s.width) - used : 0;
    if (!s.left && !zeroPad) w.Fill(pad, L' ');
    w.PutNarrow(prefix, prefixLen);
    if (!s.left && zeroPad) zeros += pad;
    w.Fill(zeros, L'0');
    putBody();
    if (s.left) w.Fill(pad, L' ');
}

void PutInteger(Writer& w, const Spec& s, const Arg& a) {
    const wchar_t c = s.conversion;
    const int bits = IntegerBits(s.length, a);
    const std::uint64_t raw = RawBits(a) & Mask(bits);

    bool negative = false;
    std::uint64_t magnitude = raw;
    if (c == L'd' || c == L'i') {
        // Sign-extend from the chosen width.
        if (bits < 64 && (raw >> (bits - 1)) != 0) {
            negative = true;
            magnitude = (Mask(bits) - raw) + 1;
        } else if (bits == 64 && (raw >> 63) != 0) {
            negative = true;
            magnitude = ~raw + 1;
        }
    }

    const unsigned base = (c == L'x' || c == L'X') ? 16 : (c == L'o') ? 8 : 10;
    const char* digitSet = c == L'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    std::size_t n = 0;
    for (std::uint64_t v = magnitude; v != 0; v /= base) digits[n++] = digitSet[v % base];
    std::reverse(digits, digits + n);

    // Precision: minimum number of digits; an explicit 0 prints nothing for 0.
    std::size_t minDigits = s.precision < 0 ? 1 : static_cast<std::size_t>(s.precision);
    if (base == 8 && s.alt && minDigits <= n) minDigits = n + 1;  // leading 0
    const std::size_t zeros = minDigits > n ? minDigits - n : 0;

    const char* prefix = "";
    if (c == L'd' || c == L'i') {
        prefix = negative ? "-" : s.plus ? "+" : s.space ? " " : "";
    } else if (base == 16 && s.alt && magnitude != 0) {
        prefix = c == L'X' ? "0X" : "0x";
    }
    const bool zeroPad = s.zero && s.precision < 0;
    PutField(w, s, prefix, zeros, zeroPad, n, [&] { w.PutNarrow(digits, n); });
}

void PutPointer(Writer& w, const Spec& s, const Arg& a) {
    constexpr int kDigits = static_cast<int>(sizeof(void*) * 2);
    std::uint64_t v = 0;
    if (a.kind == Arg::Kind::Pointer)
        v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(a.p));
    else if (IsInteger(a))
        v = RawBits(a) & Mask(kDigits * 4);
    char digits[16];
    for (int k = kDigits - 1; k >= 0; --k, v >>= 4) digits[k] = "0123456789ABCDEF"[v & 0xF];
    PutField(w, s, "", 0, false, kDigits,
             [&] { w.PutNarrow(digits, static_cast<std::size_t>(kDigits)); });
}

void PutChar(Writer& w, const Spec& s, const Arg& a) {
    const bool narrow = a.bits == 8 || s.length == Length::hh || s.length == Length::h;
    const auto ch = static_cast<wchar_t>(RawBits(a) & (narrow ? 0xFFu : 0xFFFFu));
    PutField(w, s, "", 0, s.zero, 1, [&] { w.Put(ch); });
}

template <class Ch>
std::size_t TextLength(const Ch* p, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && p[n] != Ch(0)) ++n;
    return n;
}

void PutText(Writer& w, const Spec& s, const Arg& a) {
    const std::size_t precision = s.precision < 0 ? std::wstring::npos : std::size_t(s.precision);
    const std::size_t limit = std::min(a.maxLen, precision);
    const bool isNull = a.kind == Arg::Kind::Null ||
                        (a.kind == Arg::Kind::WideText && a.wide == nullptr) ||
                        (a.kind == Arg::Kind::NarrowText && a.narrow == nullptr);
    if (isNull) {
        static const char kNull[] = "(null)";
        const std::size_t n = std::min(sizeof(kNull) - 1, precision);
        PutField(w, s, "", 0, s.zero, n, [&] { w.PutNarrow(kNull, n); });
    } else if (a.kind == Arg::Kind::WideText) {
        const std::size_t n = TextLength(a.wide, limit);
        PutField(w, s, "", 0, s.zero, n, [&] { w.Put(a.wide, n); });
    } else {
        const std::size_t n = TextLength(a.narrow, limit);
        PutField(w, s, "", 0, s.zero, n, [&] { w.PutNarrow(a.narrow, n); });
    }
}

// to_chars into buf; returns the length.
std::size_t ToChars(char* buf, std::size_t size, double v, std::chars_format fmt, int precision) {
    const auto r = std::to_chars(buf, buf + size, v, fmt, precision);
    return r.ec == std::errc() ? static_cast<std::size_t>(r.ptr - buf) : 0;
}

// Decimal exponent of v when written in e-style with `precision` digits after
// the point (after rounding).
int ScientificExponent(double v, int precision) {
    char tmp[kMaxFloatPrecision + 16];
    const std::size_t n = ToChars(tmp, sizeof tmp, v, std::chars_format::scientific, precision);
    const char* e = std::find(tmp, tmp + n, 'e');
    int x = 0;
    if (e != tmp + n) std::from_chars(e + (e[1] == '+' ? 2 : 1), tmp + n, x);
    return x;
}

// Inserts `c` at position `at` of the n characters in buf.
void InsertChar(char* buf, std::size_t& n, std::size_t at, char c) {
    std::memmove(buf + at + 1, buf + at, n - at);
    buf[at] = c;
    ++n;
}

void PutFloat(Writer& w, const Spec& s, double v) {
    const wchar_t c = s.conversion;
    const bool upper = c == L'F' || c == L'E' || c == L'G';
    const char* sign = std::signbit(v) ? "-" : s.plus ? "+" : s.space ? " " : "";

    if (!std::isfinite(v)) {
        const char* body = std::isnan(v) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
        PutField(w, s, sign, 0, false, 3, [&] { w.PutNarrow(body, 3); });
        return;
    }

    const double a = std::fabs(v);
    const int precision = s.precision < 0 ? 6 : std::min(s.precision, kMaxFloatPrecision);
    // Room for 309 integer digits, the point and the largest precision.
    char buf[kMaxFloatPrecision + 340];
    std::size_t n = 0;
    if (c == L'f' || c == L'F') {
        n = ToChars(buf, sizeof buf, a, std::chars_format::fixed, precision);
        if (s.alt && precision == 0) buf[n++] = '.';
    } else if (c == L'e' || c == L'E') {
        n = ToChars(buf, sizeof buf, a, std::chars_format::scientific, precision);
        if (s.alt && precision == 0) InsertChar(buf, n, 1, '.');
    } else {
        // %g: e-style when the exponent is below -4 or not below the
        // precision, f-style otherwise; trailing zeros go unless '#'.
        const int p = precision == 0 ? 1 : precision;
        const int x = ScientificExponent(a, p - 1);
        if (p > x && x >= -4)
            n = ToChars(buf, sizeof buf, a, std::chars_format::fixed, p - 1 - x);
        else
            n = ToChars(buf, sizeof buf, a, std::chars_format::scientific, p - 1);
        const std::size_t mantissaEnd = static_cast<std::size_t>(std::find(buf, buf + n, 'e') - buf);
        const bool hasPoint = std::find(buf, buf + mantissaEnd, '.') != buf + mantissaEnd;
        if (s.alt) {
            if (!hasPoint) InsertChar(buf, n, mantissaEnd, '.');
        } else if (hasPoint) {
            std::size_t keep = mantissaEnd;
            while (buf[keep - 1] == '0') --keep;
            if (buf[keep - 1] == '.') --keep;
            std::memmove(buf + keep, buf + mantissaEnd, n - mantissaEnd);
            n -= mantissaEnd - keep;
        }
    }
    if (upper) std::replace(buf, buf + n, 'e', 'E');
    PutField(w, s, sign, 0, s.zero, n, [&] { w.PutNarrow(buf, n); });
}

// Reads a decimal field (width or precision), capped at kMaxFieldWidth.
int ReadNumber(const wchar_t*& f) {
    int v = 0;
    for (; *f >= L'0' && *f <= L'9'; ++f) v = std::min(v * 10 + (*f - L'0'), kMaxFieldWidth);
    return v;
}

// Value of a '*' argument as an int, capped in magnitude at kMaxFieldWidth.
int StarValue(const Arg& a) {
    const std::int64_t raw = a.kind == Arg::Kind::Signed
                                 ? a.i
                                 : static_cast<std::int64_t>(std::min<std::uint64_t>(a.u, kMaxFieldWidth));
    return static_cast<int>(std::clamp<std::int64_t>(raw, -kMaxFieldWidth, kMaxFieldWidth));
}

// Parses flags, width, precision, length and the conversion character after
// the '%' at `f`. Returns false when the format ends inside the directive.
bool ParseDirective(const wchar_t*& f, Spec& s) {
    s.begin = f++;
    for (;; ++f) {
        if (*f == L'-') s.left = true;
        else if (*f == L'+') s.plus = true;
        else if (*f == L' ') s.space = true;
        else if (*f == L'#') s.alt = true;
        else if (*f == L'0') s.zero = true;
        else break;
    }
    if (*f == L'*') {
        s.widthFromArg = true;
        ++f;
    } else {
        s.width = ReadNumber(f);
    }
    if (*f == L'.') {
        ++f;
        if (*f == L'*') {
            s.precisionFromArg = true;
            ++f;
        } else {
            s.precision = ReadNumber(f);
        }
    }
    switch (*f) {
        case L'h':
            ++f;
            s.length = *f == L'h' ? (++f, Length::hh) : Length::h;
            break;
        case L'l':
            ++f;
            s.length = *f == L'l' ? (++f, Length::ll) : Length::l;
            break;
        case L'w': ++f; s.length = Length::l; break;  // "%ws": a wide string, as %ls
        case L'j': ++f; s.length = Length::j; break;
        case L'z': ++f; s.length = Length::z; break;
        case L't': ++f; s.length = Length::t; break;
        case L'L': ++f; s.length = Length::L; break;
        case L'I':
            ++f;
            if (f[0] == L'6' && f[1] == L'4') {
                f += 2;
                s.length = Length::I64;
            } else if (f[0] == L'3' && f[1] == L'2') {
                f += 2;
                s.length = Length::I32;
            } else {
                s.length = Length::I;
            }
            break;
        default: break;
    }
    if (*f == 0) return false;
    s.conversion = *f++;
    s.end = f;
    return true;
}

bool IsKnownConversion(wchar_t c) {
    switch (c) {
        case L'd': case L'i': case L'u': case L'x': case L'X': case L'o':
        case L'c': case L's': case L'S': case L'p':
        case L'f': case L'F': case L'e': case L'E': case L'g': case L'G':
        case L'%':
            return true;
        default:
            return false;
    }
}

// Whether `a` is the right kind of argument for the conversion.
bool Accepts(wchar_t c, const Arg& a) {
    switch (c) {
        case L'd': case L'i': case L'u': case L'x': case L'X': case L'o': case L'c':
            return IsInteger(a);
        case L's': case L'S':
            return a.kind == Arg::Kind::WideText || a.kind == Arg::Kind::NarrowText ||
                   a.kind == Arg::Kind::Null;
        case L'p':
            return a.kind == Arg::Kind::Pointer || a.kind == Arg::Kind::Null || IsInteger(a);
        default:
            return a.kind == Arg::Kind::Float;
    }
}

}  // namespace

void FormatArgs(std::wstring& out, std::size_t maxChars, const wchar_t* format, const Arg* args,
                std::size_t argCount) {
    Writer w(out, maxChars);
    if (format == nullptr) {
        w.Put(L"<null format>", 13);
        return;
    }
    std::size_t next = 0;
    auto take = [&]() -> const Arg* { return next < argCount ? &args[next++] : nullptr; };

    const wchar_t* f = format;
    while (*f != 0 && !w.Full()) {
        if (*f != L'%') {
            const wchar_t* run = f;
            while (*f != 0 && *f != L'%') ++f;
            w.Put(run, static_cast<std::size_t>(f - run));
            continue;
        }
        Spec s;
        if (!ParseDirective(f, s)) {
            // Incomplete directive at the end: copied through.
            w.Put(s.begin, static_cast<std::size_t>(f - s.begin));
            break;
        }
        if (!IsKnownConversion(s.conversion)) {
            w.Put(s.begin, static_cast<std::size_t>(s.end - s.begin));
            continue;
        }
        if (s.conversion == L'%') {
            w.Put(L'%');
            continue;
        }

        bool bad = false;
        bool missing = false;
        if (s.widthFromArg) {
            const Arg* a = take();
            if (a == nullptr) {
                missing = true;
            } else if (!IsInteger(*a)) {
                bad = true;
            } else {
                const int v = StarValue(*a);
                s.left = s.left || v < 0;
                s.width = v < 0 ? -v : v;
            }
        }
        if (s.precisionFromArg && !missing) {
            const Arg* a = take();
            if (a == nullptr) {
                missing = true;
            } else if (!IsInteger(*a)) {
                bad = true;
            } else {
                const int v = StarValue(*a);
                s.precision = v < 0 ? -1 : v;
            }
        }
        const Arg* value = missing ? nullptr : take();
        if (value == nullptr) {
            PutMarker(w, L"missing", s);
            continue;
        }
        if (bad || !Accepts(s.conversion, *value)) {
            PutMarker(w, L"bad", s);
            continue;
        }

        switch (s.conversion) {
            case L'c': PutChar(w, s, *value); break;
            case L's':
            case L'S': PutText(w, s, *value); break;
            case L'p': PutPointer(w, s, *value); break;
            case L'd': case L'i': case L'u': case L'x': case L'X': case L'o':
                PutInteger(w, s, *value);
                break;
            default: PutFloat(w, s, value->d); break;
        }
    }
}

}  // namespace textfmt
