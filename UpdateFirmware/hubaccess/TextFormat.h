// Type-safe printf-style formatting of the system's wide texts.
//
// The texts use the Windows wide-printf conventions (e.g.
// L"%s:%d: DeviceIoControl Failed, code = %x, dwError = %d",
// L"%d:%012S\r\n"). Arguments are captured by type, so the output does not
// depend on the platform's wchar_t or long sizes and a wrong argument can
// never be misread.
//
// Directives: %[flags][width][.precision][length]conversion
//   flags      - + space # 0
//   width      digits or * (taken from an integer argument; negative means
//              left-justified)
//   precision  .digits or .* (negative means none); width and precision are
//              capped at kMaxFieldWidth
//   length     hh h l ll j z t L I I32 I64 (accepted; see below for how
//              they choose the bit width of an integer)
//   conversion d i u x X o c s S p f F e E g G %
//
// Integers print the argument's own value reduced to a bit width W:
//   hh 8, h 16, ll/I64/j 64, I32 32,
//   none/l/z/t/I/L 32, but 64 when the argument's type is 64 bits wide.
// The value is cut to W bits and read as signed (d i) or unsigned (u x X o),
// so %d of 0xFFFFFFFFu gives -1 and %x of -1 gives ffffffff, as printf does.
// A precision turns the 0 flag off for integers.
//
// %s and %S (and %ws, the Windows wide-string form) take any text argument,
// wide or narrow. Narrow text is
// widened byte by byte (byte b becomes U+00bb). A null text pointer prints
// "(null)". Text stops at the first NUL or after `precision` characters.
// As with the Windows printf, the 0 flag pads texts and %c with zeros.
//
// %c takes an integer or character: a narrow char argument (or the hh/h
// modifier) gives the character of its low byte, otherwise the low 16 bits.
//
// %p takes a pointer or an integer and prints it as 2*sizeof(void*) upper-case
// hex digits (precision ignored).
//
// %f %e %g (and F E G) take a floating-point argument; the default precision
// is 6; infinity and NaN print as inf / nan (INF / NAN for the upper-case
// conversions). Precision is capped at kMaxFloatPrecision.
//
// Wrong arguments never crash and never read garbage:
//   - an argument of the wrong kind (text for %d, integer for %s, ...)
//     prints "<bad %d arg>" (the directive as written) and is consumed;
//   - a directive with no argument left prints "<missing %d arg>";
//   - extra arguments are ignored.
// Unknown conversions (including %n) are copied through as written, e.g.
// "%y" stays "%y", and consume no argument; a lone "%" at the end of the
// format is copied as well. A null format prints "<null format>".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace textfmt {

constexpr int kMaxFieldWidth = 10000;
constexpr int kMaxFloatPrecision = 500;

// One captured argument. Text arguments point at the caller's characters,
// which stay alive for the call.
struct Arg {
    enum class Kind : unsigned char {
        Signed,      // i
        Unsigned,    // u
        Float,       // d
        WideText,    // wide, maxLen
        NarrowText,  // narrow, maxLen
        Pointer,     // p
        Null,        // nullptr: a null text or a null pointer
    };

    Kind kind = Kind::Null;
    // Width in bits of an integer argument's type (8, 16, 32, 64).
    unsigned char bits = 0;
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
        const wchar_t* wide;
        const char* narrow;
        const void* p;
    };
    // Texts: at most this many characters are read (stopping at a NUL).
    std::size_t maxLen = 0;

    constexpr Arg() : u(0) {}

    static Arg Signed(std::int64_t v, unsigned bits) {
        Arg a;
        a.kind = Kind::Signed;
        a.bits = static_cast<unsigned char>(bits);
        a.i = v;
        return a;
    }
    static Arg Unsigned(std::uint64_t v, unsigned bits) {
        Arg a;
        a.kind = Kind::Unsigned;
        a.bits = static_cast<unsigned char>(bits);
        a.u = v;
        return a;
    }
    static Arg Float(double v) {
        Arg a;
        a.kind = Kind::Float;
        a.d = v;
        return a;
    }
    static Arg Wide(const wchar_t* s, std::size_t maxLen) {
        Arg a;
        a.kind = Kind::WideText;
        a.wide = s;
        a.maxLen = maxLen;
        return a;
    }
    static Arg Narrow(const char* s, std::size_t maxLen) {
        Arg a;
        a.kind = Kind::NarrowText;
        a.narrow = s;
        a.maxLen = maxLen;
        return a;
    }
    static Arg Pointer(const void* p) {
        Arg a;
        a.kind = Kind::Pointer;
        a.p = p;
        return a;
    }
};

namespace detail {
template <class T>
struct AlwaysFalse : std::false_type {};
}  // namespace detail

// Captures one argument. Unsupported types fail to compile.
template <class T>
Arg MakeArg(const T& v) {
    using D = std::decay_t<T>;
    constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();
    if constexpr (std::is_array_v<T>) {
        // A character array is read no further than its own end.
        using E = std::remove_cv_t<std::remove_extent_t<T>>;
        static_assert(std::is_same_v<E, wchar_t> || std::is_same_v<E, char>,
                      "textfmt: only wchar_t and char arrays can be formatted");
        if constexpr (std::is_same_v<E, wchar_t>)
            return Arg::Wide(v, std::extent_v<T>);
        else
            return Arg::Narrow(v, std::extent_v<T>);
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        return Arg();
    } else if constexpr (std::is_pointer_v<D>) {
        using P = std::remove_cv_t<std::remove_pointer_t<D>>;
        static_assert(!std::is_function_v<P>, "textfmt: function pointers cannot be formatted");
        if constexpr (std::is_same_v<P, wchar_t>)
            return Arg::Wide(v, kUnbounded);
        else if constexpr (std::is_same_v<P, char>)
            return Arg::Narrow(v, kUnbounded);
        else
            return Arg::Pointer(const_cast<const void*>(static_cast<const volatile void*>(v)));
    } else if constexpr (std::is_enum_v<D>) {
        return MakeArg(static_cast<std::underlying_type_t<D>>(v));
    } else if constexpr (std::is_integral_v<D>) {
        static_assert(sizeof(D) <= 8, "textfmt: integers wider than 64 bits are not supported");
        if constexpr (std::is_signed_v<D>)
            return Arg::Signed(static_cast<std::int64_t>(v), sizeof(D) * 8);
        else
            return Arg::Unsigned(static_cast<std::uint64_t>(v), sizeof(D) * 8);
    } else if constexpr (std::is_floating_point_v<D>) {
        return Arg::Float(static_cast<double>(v));
    } else if constexpr (std::is_same_v<D, std::wstring> || std::is_same_v<D, std::wstring_view>) {
        return Arg::Wide(v.data(), v.size());
    } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
        return Arg::Narrow(v.data(), v.size());
    } else {
        static_assert(detail::AlwaysFalse<T>::value, "textfmt: unsupported argument type");
        return Arg();
    }
}

// The formatter itself: appends at most `maxChars` characters to `out`
// (the rest is cut silently).
void FormatArgs(std::wstring& out, std::size_t maxChars, const wchar_t* format, const Arg* args,
                std::size_t argCount);

// Appends the formatted text to `out`; this call adds at most `maxChars`
// characters and cuts the rest silently.
template <class... A>
void FormatTo(std::wstring& out, std::size_t maxChars, const wchar_t* format, const A&... args) {
    const std::array<Arg, sizeof...(A)> captured{MakeArg(args)...};
    FormatArgs(out, maxChars, format, captured.data(), captured.size());
}

template <class... A>
std::wstring Format(const wchar_t* format, const A&... args) {
    std::wstring out;
    FormatTo(out, std::wstring::npos, format, args...);
    return out;
}

}  // namespace textfmt
